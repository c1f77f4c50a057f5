#include "bus/node.h"

#include <cstdio>
#include <cstring>

#include "bus/wire.h"

namespace sim {

namespace {

std::string Hex8(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%08X", v);
    return buf;
}

std::string Address(uint16_t high, uint32_t low) {
    char buf[24];
    std::snprintf(buf, sizeof buf, "0x%04X%08X", high, low);
    return buf;
}

// True when [low, low + length) lies inside [start, start + size) of the same high part.
bool Inside(uint32_t low, uint32_t length, uint32_t start, uint64_t size) {
    return low >= start && uint64_t(low - start) + length <= size;
}

}  // namespace

Node::Node(std::string kind) : kind_(std::move(kind)) {}
Node::~Node() = default;

void Node::SetRegister(uint16_t offsetHigh, uint32_t offsetLow, uint32_t value, bool writable) {
    registers_[{offsetHigh, offsetLow}] = Reg{value, writable};
}

bool Node::HasRegister(uint16_t offsetHigh, uint32_t offsetLow) const {
    return registers_.count({offsetHigh, offsetLow}) != 0;
}

uint32_t Node::RegisterValue(uint16_t offsetHigh, uint32_t offsetLow) const {
    auto it = registers_.find({offsetHigh, offsetLow});
    return it == registers_.end() ? 0 : it->second.value;
}

void Node::MapRegion(Region region) {
    Key k{region.offsetHigh, region.offsetLow};
    regions_[k] = std::move(region);
}

void Node::UnmapRegion(uint16_t offsetHigh, uint32_t offsetLow) {
    regions_.erase({offsetHigh, offsetLow});
}

const Region* Node::FindRegion(uint16_t offsetHigh, uint32_t offsetLow, uint32_t length) const {
    // The region starting at or below the address is the only candidate (regions do not nest).
    auto it = regions_.upper_bound({offsetHigh, offsetLow});
    if (it == regions_.begin()) return nullptr;
    --it;
    const Region& r = it->second;
    if (r.offsetHigh != offsetHigh) return nullptr;
    return Inside(offsetLow, length, r.offsetLow, r.length) ? &r : nullptr;
}

Reply Node::ReadRequest(const Access& a, std::span<uint8_t> out) {
    if (a.offsetHigh == kCsrHigh && Inside(a.offsetLow, a.length, kConfigRomBase, kConfigRomSpace)) {
        if (!romReadable_) return Reply::Error(Rcode::NoAck);
        // The ROM is read in whole quadlets at quadlet addresses.
        if ((a.offsetLow - kConfigRomBase) % 4) return Reply::Error(Rcode::AddressError);
        size_t first = (a.offsetLow - kConfigRomBase) / 4;
        size_t count = a.length / 4;
        if (first + count > rom_.size()) return Reply::Error(Rcode::AddressError);
        for (size_t i = 0; i < count; ++i) wire::PutBe32(out.data() + 4 * i, rom_[first + i]);
        return Reply::Ok();
    }
    if (!registers_.empty() && a.length == 4) {
        auto it = registers_.find({a.offsetHigh, a.offsetLow});
        if (it != registers_.end()) {
            wire::PutBe32(out.data(), it->second.value);
            return Reply::Ok();
        }
    }
    if (const Region* r = FindRegion(a.offsetHigh, a.offsetLow, a.length)) {
        if (!r->read) return Reply::Error(Rcode::TypeError);
        return r->read(a, out);
    }
    return Reply::Error(Rcode::AddressError);
}

Reply Node::WriteRequest(const Access& a, std::span<const uint8_t> data) {
    if (a.offsetHigh == kCsrHigh && Inside(a.offsetLow, a.length, kConfigRomBase, kConfigRomSpace)) {
        if (!romReadable_) return Reply::Error(Rcode::NoAck);
        return Reply::Error(Rcode::TypeError);  // the ROM is read-only
    }
    if (!registers_.empty() && a.length == 4) {
        auto it = registers_.find({a.offsetHigh, a.offsetLow});
        if (it != registers_.end()) {
            if (!it->second.writable) return Reply::Error(Rcode::TypeError);
            it->second.value = wire::Be32(data.data());
            return Reply::Ok();
        }
    }
    if (const Region* r = FindRegion(a.offsetHigh, a.offsetLow, a.length)) {
        if (!r->write) return Reply::Error(Rcode::TypeError);
        return r->write(a, data);
    }
    return Reply::Error(Rcode::AddressError);
}

void Node::OnBusReset(uint32_t, int) {}
void Node::OnUnplugged() {}

nlohmann::json Node::Describe() const {
    nlohmann::json j;
    j["kind"] = kind_;
    nlohmann::json rom = nlohmann::json::array();
    for (uint32_t q : rom_) rom.push_back(Hex8(q));
    j["rom"] = rom;
    j["rom_readable"] = romReadable_;
    if (!registers_.empty()) {
        nlohmann::json regs = nlohmann::json::array();
        for (const auto& [k, r] : registers_)
            regs.push_back({{"address", Address(k.first, k.second)}, {"value", Hex8(r.value)},
                            {"writable", r.writable}});
        j["registers"] = regs;
    }
    if (!regions_.empty()) {
        nlohmann::json regs = nlohmann::json::array();
        for (const auto& [k, r] : regions_)
            regs.push_back({{"address", Address(k.first, k.second)}, {"length", r.length}});
        j["regions"] = regs;
    }
    return j;
}

void Node::SaveState(const std::filesystem::path&) const {}
void Node::LoadState(const std::filesystem::path&) {}
uint64_t Node::StateSerial() const { return 0; }

std::string Node::StateError() const { return {}; }
void Node::MarkStateSaved() {}
void Node::RevertUnsavedState() {}

AudioDevice* Node::AsAudioDevice() { return nullptr; }

PlainNode::PlainNode(std::string kind, std::vector<uint32_t> rom) : Node(std::move(kind)) {
    SetConfigRom(std::move(rom));
}

}  // namespace sim
