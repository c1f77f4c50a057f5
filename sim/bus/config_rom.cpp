#include "bus/config_rom.h"

#include <cstdio>
#include <map>
#include <set>
#include <stdexcept>

#include "bus/json_codec.h"

namespace sim {

uint16_t Crc16(std::span<const uint8_t> bytes) {
    uint16_t crc = 0;
    for (uint8_t b : bytes) {
        crc ^= uint16_t(b) << 8;
        for (int i = 0; i < 8; ++i) crc = (crc & 0x8000) ? uint16_t((crc << 1) ^ 0x1021) : uint16_t(crc << 1);
    }
    return crc;
}

uint16_t Crc16Quadlets(std::span<const uint32_t> quadlets) {
    // Four bits at a time, as the 1212 standard gives it; the same result as the bytewise form.
    uint32_t crc = 0;
    for (uint32_t q : quadlets) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            uint32_t sum = ((crc >> 12) ^ (q >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
    }
    return uint16_t(crc);
}

// ------------------------------------------------------------------------------ leaves

std::shared_ptr<const RomLeaf> RomLeaf::Text(const std::string& text, bool terminate) {
    std::vector<uint32_t> body{0, 0};  // descriptor type/specifier ID; width/character set/language
    std::vector<uint8_t> bytes(text.begin(), text.end());
    if (terminate) bytes.push_back(0);
    while (bytes.size() % 4) bytes.push_back(0);
    for (size_t i = 0; i < bytes.size(); i += 4)
        body.push_back(uint32_t(bytes[i]) << 24 | uint32_t(bytes[i + 1]) << 16 | uint32_t(bytes[i + 2]) << 8 | bytes[i + 3]);
    return std::shared_ptr<const RomLeaf>(new RomLeaf(std::move(body)));
}

std::shared_ptr<const RomLeaf> RomLeaf::Eui64(uint64_t guid) {
    return std::shared_ptr<const RomLeaf>(new RomLeaf({uint32_t(guid >> 32), uint32_t(guid)}));
}

std::shared_ptr<const RomLeaf> RomLeaf::Raw(std::vector<uint32_t> body) {
    return std::shared_ptr<const RomLeaf>(new RomLeaf(std::move(body)));
}

// ------------------------------------------------------------------------- directories

RomDirectory& RomDirectory::Immediate(uint8_t keyId, uint32_t value) {
    entries_.push_back(Entry{uint8_t(keyId & 0x3F), KeyType::Immediate, value & 0xFFFFFF, false, nullptr, nullptr});
    return *this;
}

RomDirectory& RomDirectory::CsrOffset(uint8_t keyId, uint32_t value) {
    entries_.push_back(Entry{uint8_t(keyId & 0x3F), KeyType::CsrOffset, value & 0xFFFFFF, false, nullptr, nullptr});
    return *this;
}

RomDirectory& RomDirectory::Leaf(uint8_t keyId, LeafPtr leaf) {
    if (!leaf) throw std::invalid_argument("config ROM: leaf entry without a leaf");
    entries_.push_back(Entry{uint8_t(keyId & 0x3F), KeyType::Leaf, 0, false, std::move(leaf), nullptr});
    return *this;
}

RomDirectory& RomDirectory::Text(const std::string& text, bool terminate) {
    return Leaf(key::kTextualDescriptor, RomLeaf::Text(text, terminate));
}

RomDirectory& RomDirectory::Directory(uint8_t keyId, DirectoryPtr dir) {
    if (!dir) throw std::invalid_argument("config ROM: directory entry without a directory");
    entries_.push_back(Entry{uint8_t(keyId & 0x3F), KeyType::Directory, 0, false, nullptr, std::move(dir)});
    return *this;
}

RomDirectory& RomDirectory::Raw(uint32_t entry) {
    entries_.push_back(Entry{uint8_t((entry >> 24) & 0x3F), KeyType(entry >> 30), entry, true, nullptr, nullptr});
    return *this;
}

// ----------------------------------------------------------------------------- builder

std::vector<uint32_t> BuildConfigRom(const BusInfo& info, const RomDirectory& root) {
    // Order of blocks: root, further directories breadth first, then leaves by first reference.
    std::vector<const RomDirectory*> dirs{&root};
    std::vector<const RomLeaf*> leaves;
    std::set<const void*> seen{&root};
    for (size_t i = 0; i < dirs.size(); ++i) {
        for (const auto& e : dirs[i]->Entries()) {
            if (e.dir && seen.insert(e.dir.get()).second) {
                if (dirs.size() > 255) throw std::invalid_argument("config ROM: too many directories");
                dirs.push_back(e.dir.get());
            }
        }
    }
    for (const RomDirectory* d : dirs)
        for (const auto& e : d->Entries())
            if (e.leaf && seen.insert(e.leaf.get()).second) leaves.push_back(e.leaf.get());

    std::map<const void*, size_t> at;
    size_t pos = 5;  // header + four quadlets of bus information
    for (const RomDirectory* d : dirs) {
        at[d] = pos;
        pos += 1 + d->Entries().size();
    }
    for (const RomLeaf* l : leaves) {
        at[l] = pos;
        pos += 1 + l->Body().size();
    }
    if (pos > kConfigRomSpace / 4)
        throw std::invalid_argument("config ROM: " + std::to_string(pos) + " quadlets do not fit the 1 KiB ROM space");

    std::vector<uint32_t> rom(pos, 0);
    rom[1] = 0x31333934;  // "1394"
    rom[2] = uint32_t(info.irmc) << 31 | uint32_t(info.cmc) << 30 | uint32_t(info.isc) << 29 |
             uint32_t(info.bmc) << 28 | uint32_t(info.pmc) << 27 | uint32_t(info.cycClkAcc) << 16 |
             uint32_t(info.maxRec & 0xF) << 12 | uint32_t(info.maxRom & 0x3) << 8 |
             uint32_t(info.generation & 0xF) << 4 | uint32_t(info.linkSpeed & 0x7);
    rom[3] = uint32_t(info.guid >> 32);
    rom[4] = uint32_t(info.guid);

    auto block = [&rom](size_t start, size_t length) {
        std::span<const uint32_t> body(rom.data() + start + 1, length);
        rom[start] = uint32_t(length) << 16 | Crc16Quadlets(body);
    };
    for (const RomDirectory* d : dirs) {
        size_t start = at[d];
        size_t i = start + 1;
        for (const auto& e : d->Entries()) {
            uint32_t value = e.value;
            if (e.raw) {
                rom[i++] = value;
                continue;
            }
            if (e.leaf) value = uint32_t(at[e.leaf.get()] - i);
            if (e.dir) value = uint32_t(at[e.dir.get()] - i);  // a directory referring back gets
            if (e.dir && at[e.dir.get()] <= i)                  // no forward offset: refuse it
                throw std::invalid_argument("config ROM: a directory may not refer back to itself or an earlier one");
            rom[i++] = uint32_t(e.type) << 30 | uint32_t(e.keyId) << 24 | (value & 0xFFFFFF);
        }
        block(start, d->Entries().size());
    }
    for (const RomLeaf* l : leaves) {
        size_t start = at[l];
        std::copy(l->Body().begin(), l->Body().end(), rom.begin() + long(start) + 1);
        block(start, l->Body().size());
    }
    size_t crcLength = info.crcCoversWholeRom ? rom.size() - 1 : 4;
    rom[0] = 4u << 24 | uint32_t(crcLength) << 16 | Crc16Quadlets(std::span<const uint32_t>(rom.data() + 1, crcLength));
    return rom;
}

std::vector<uint32_t> MinimalRom(uint32_t vendorId) { return {0x01000000u | (vendorId & 0xFFFFFF)}; }

// ----------------------------------------------------------------------------- checker

namespace {

std::string Hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", v);
    return buf;
}

std::string At(size_t index) { return Hex(uint32_t(kConfigRomBase + 4 * index)); }

struct Checker {
    std::span<const uint32_t> rom;
    std::vector<std::string> problems;
    std::set<size_t> visited;

    bool CheckBlock(size_t start, const char* what) {
        if (start >= rom.size()) {
            problems.push_back(std::string(what) + " at " + At(start) + " lies past the image");
            return false;
        }
        size_t length = rom[start] >> 16;
        if (start + 1 + length > rom.size()) {
            problems.push_back(std::string(what) + " at " + At(start) + " runs past the image");
            return false;
        }
        uint16_t want = uint16_t(rom[start]);
        uint16_t got = Crc16Quadlets(rom.subspan(start + 1, length));
        if (want != got)
            problems.push_back(std::string(what) + " at " + At(start) + ": CRC " + Hex(want) + ", computed " + Hex(got));
        return true;
    }

    void Directory(size_t start, int depth) {
        if (!visited.insert(start).second || depth > 16) return;
        if (!CheckBlock(start, "directory")) return;
        size_t length = rom[start] >> 16;
        for (size_t i = start + 1; i <= start + length; ++i) {
            uint32_t e = rom[i];
            uint32_t type = e >> 30;
            size_t target = i + (e & 0xFFFFFF);
            if (type == 2 && visited.insert(target).second) CheckBlock(target, "leaf");
            if (type == 3) Directory(target, depth + 1);
        }
    }
};

}  // namespace

std::vector<std::string> CheckConfigRom(std::span<const uint32_t> rom) {
    Checker c{rom, {}, {}};
    if (rom.empty()) return {"empty ROM"};
    size_t infoLength = rom[0] >> 24;
    if (infoLength == 1) return {};  // minimal ROM: no CRC
    size_t crcLength = (rom[0] >> 16) & 0xFF;
    if (1 + crcLength > rom.size() || 1 + infoLength > rom.size()) return {"bus info block runs past the image"};
    uint16_t got = Crc16Quadlets(rom.subspan(1, crcLength));
    if (got != uint16_t(rom[0]))
        c.problems.push_back("bus info block: CRC " + Hex(uint16_t(rom[0])) + ", computed " + Hex(got));
    c.Directory(1 + infoLength, 0);
    return c.problems;
}

// -------------------------------------------------------------------------------- JSON

namespace {

uint8_t KeyOf(const nlohmann::json& v, const char* field) { return uint8_t(JsonUnsigned(v, field, 0x3F)); }

DirectoryPtr DirectoryFromJson(const nlohmann::json& entries, int depth);

void EntryFromJson(RomDirectory& d, const nlohmann::json& e, int depth) {
    if (!e.is_object()) throw std::invalid_argument("config ROM entry: expected an object, got " + QuoteJson(e));
    if (e.contains("immediate")) {
        d.Immediate(KeyOf(JsonField(e, "immediate"), "immediate"), uint32_t(JsonUnsigned(e.value("value", nlohmann::json(0)), "value", 0xFFFFFF)));
    } else if (e.contains("csr_offset")) {
        d.CsrOffset(KeyOf(JsonField(e, "csr_offset"), "csr_offset"), uint32_t(JsonUnsigned(e.value("value", nlohmann::json(0)), "value", 0xFFFFFF)));
    } else if (e.contains("text")) {
        if (!JsonField(e, "text").is_string()) throw std::invalid_argument("text: expected a text");
        d.Text(JsonField(e, "text").get<std::string>(), e.value("terminate", true));
    } else if (e.contains("leaf")) {
        uint8_t k = KeyOf(JsonField(e, "leaf"), "leaf");
        if (e.contains("eui64")) {
            d.Leaf(k, RomLeaf::Eui64(JsonU64(e["eui64"], "eui64")));
        } else if (e.contains("quadlets")) {
            std::vector<uint32_t> body;
            if (!JsonField(e, "quadlets").is_array()) throw std::invalid_argument("quadlets: expected a list");
            for (const auto& q : JsonField(e, "quadlets")) body.push_back(JsonU32(q, "quadlets"));
            d.Leaf(k, RomLeaf::Raw(std::move(body)));
        } else if (e.contains("string")) {
            d.Leaf(k, RomLeaf::Text(JsonField(e, "string").get<std::string>(), e.value("terminate", true)));
        } else {
            throw std::invalid_argument("leaf: needs \"eui64\", \"quadlets\" or \"string\"");
        }
    } else if (e.contains("directory")) {
        if (depth > 16) throw std::invalid_argument("directory: nested too deeply");
        d.Directory(KeyOf(JsonField(e, "directory"), "directory"), DirectoryFromJson(e.value("entries", nlohmann::json::array()), depth + 1));
    } else if (e.contains("raw")) {
        d.Raw(JsonU32(JsonField(e, "raw"), "raw"));
    } else {
        throw std::invalid_argument("config ROM entry " + QuoteJson(e) + ": needs one of immediate, csr_offset, text, leaf, directory, raw");
    }
}

DirectoryPtr DirectoryFromJson(const nlohmann::json& entries, int depth) {
    if (!entries.is_array()) throw std::invalid_argument("directory entries: expected a list");
    auto d = std::make_shared<RomDirectory>();
    for (const auto& e : entries) EntryFromJson(*d, e, depth);
    return d;
}

}  // namespace

std::vector<uint32_t> BuildConfigRomFromJson(const nlohmann::json& nodeDesc) {
    if (!nodeDesc.is_object()) throw std::invalid_argument("config ROM: expected an object");
    BusInfo info;
    if (nodeDesc.contains("guid")) info.guid = JsonU64(JsonField(nodeDesc, "guid"), "guid");
    if (nodeDesc.contains("bus_info")) {
        const auto& b = JsonField(nodeDesc, "bus_info");
        if (!b.is_object()) throw std::invalid_argument("bus_info: expected an object");
        info.irmc = b.value("irmc", info.irmc);
        info.cmc = b.value("cmc", info.cmc);
        info.isc = b.value("isc", info.isc);
        info.bmc = b.value("bmc", info.bmc);
        info.pmc = b.value("pmc", info.pmc);
        if (b.contains("cyc_clk_acc")) info.cycClkAcc = uint8_t(JsonUnsigned(JsonField(b, "cyc_clk_acc"), "cyc_clk_acc", 0xFF));
        if (b.contains("max_rec")) info.maxRec = uint8_t(JsonUnsigned(JsonField(b, "max_rec"), "max_rec", 0xF));
        if (b.contains("max_rom")) info.maxRom = uint8_t(JsonUnsigned(JsonField(b, "max_rom"), "max_rom", 3));
        if (b.contains("generation")) info.generation = uint8_t(JsonUnsigned(JsonField(b, "generation"), "generation", 0xF));
        if (b.contains("link_speed")) info.linkSpeed = uint8_t(JsonUnsigned(JsonField(b, "link_speed"), "link_speed", 7));
        info.crcCoversWholeRom = b.value("crc_whole_rom", false);
    }
    DirectoryPtr root = DirectoryFromJson(nodeDesc.value("root", nlohmann::json::array()), 0);
    return BuildConfigRom(info, *root);
}

}  // namespace sim
