#include "bus/bus.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

#include "bus/bus_state.h"
#include "bus/config_rom.h"
#include "bus/json_codec.h"
#include "clock/clock.h"

namespace sim {

using detail::BusState;
using detail::Slot;

namespace {

std::string Hex(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

nlohmann::json DescribeSlot(const BusState& bus, const Slot& s) {
    nlohmann::json j;
    j["id"] = s.id;
    j["kind"] = s.node->Kind();
    j["plugged"] = s.plugged;
    int phy = s.node->PhyId();
    j["phy_id"] = phy;
    if (phy >= 0) j["node_id"] = Hex(NodeIdOf(phy), 4);
    j["link_active"] = s.node->LinkActive();
    j["local_host"] = s.id == bus.localHost;
    nlohmann::json ids = nlohmann::json::array();
    for (uint32_t q : s.selfIds) ids.push_back(Hex(q, 8));
    j["self_ids"] = ids;
    j["phy"] = PhyToJson(s.node->Phy());
    nlohmann::json faults = nlohmann::json::array();
    for (const auto& f : s.faults) faults.push_back(FaultToJson(f.fault));
    j["faults"] = faults;
    try {
        j["state"] = s.node->Describe();
    } catch (const std::exception& e) {
        j["state"] = {{"error", e.what()}};
    }
    return j;
}

}  // namespace

const char* ResetCauseName(ResetCause cause) {
    switch (cause) {
    case ResetCause::Request: return "request";
    case ResetCause::NodeJoined: return "node joined";
    case ResetCause::NodeLeft: return "node left";
    case ResetCause::LinkChanged: return "link changed";
    case ResetCause::NodeRequest: return "node request";
    case ResetCause::VirtualDevice: return "virtual device added";
    case ResetCause::Fault: return "injected";
    case ResetCause::Configuration: return "configuration";
    }
    return "?";
}

// --------------------------------------------------------------------------------- bus

Bus::Bus(int busIndex) : busIndex_(busIndex), impl_(std::make_shared<BusState>(*this)) {}

Bus::~Bus() {
    BusState::Lock lock(*impl_);
    for (auto& s : impl_->slots) impl_->Detach(*s);
    impl_->slots.clear();
    impl_->byId.clear();
    impl_->byPhy.clear();
}

std::string Bus::BusDeviceName() const { return "\\\\.\\1394BUS" + std::to_string(busIndex_); }

int32_t Bus::AddNode(const std::string& id, std::unique_ptr<Node> node, int position, bool plugged, bool resetNow) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    if (id.empty() || !node || s.Find(id) || node->bus_) return kResultInvalidParameter;
    if (plugged && s.PluggedCount() >= kMaxNodes) return kResultNoRoom;
    if (s.slots.size() >= size_t(kMaxKnownNodes)) return kResultNoRoom;
    auto slot = std::make_unique<Slot>();
    slot->id = id;
    slot->node = std::move(node);
    slot->plugged = plugged;
    slot->node->anchor_ = impl_;
    s.Attach(*slot);
    size_t at = position < 0 || size_t(position) > s.slots.size() ? s.slots.size() : size_t(position);
    s.byId[id] = slot.get();
    s.slots.insert(s.slots.begin() + long(at), std::move(slot));
    if (plugged && resetNow) s.Reset(ResetCause::NodeJoined, nullptr);
    return kResultSuccess;
}

bool Bus::RemoveNode(const std::string& id) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    auto it = std::find_if(s.slots.begin(), s.slots.end(), [&](const auto& p) { return p->id == id; });
    if (it == s.slots.end()) return false;
    bool wasOnBus = (*it)->node->PhyId() >= 0;
    s.Detach(**it);
    s.byPhy.erase(std::remove(s.byPhy.begin(), s.byPhy.end(), it->get()), s.byPhy.end());
    s.byId.erase(id);
    s.slots.erase(it);
    if (s.localHost == id) s.localHost.clear();
    if (wasOnBus) s.Reset(ResetCause::NodeLeft, nullptr);
    return true;
}

void Bus::Clear() {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    for (auto& slot : s.slots) s.Detach(*slot);
    s.slots.clear();
    s.byId.clear();
    s.byPhy.clear();
    s.localHost.clear();
    s.ranges.clear();
    s.vdevs.clear();
}

bool Bus::Plug(const std::string& id) {
    BusState::Lock lock(*impl_);
    Slot* slot = impl_->Find(id);
    if (!slot) return false;
    if (slot->plugged) return true;
    if (impl_->PluggedCount() >= kMaxNodes) return false;
    slot->plugged = true;
    impl_->Reset(ResetCause::NodeJoined, nullptr);
    return true;
}

bool Bus::Unplug(const std::string& id) {
    BusState::Lock lock(*impl_);
    Slot* slot = impl_->Find(id);
    if (!slot) return false;
    if (!slot->plugged) return true;
    slot->plugged = false;
    impl_->Detach(*slot);
    impl_->Reset(ResetCause::NodeLeft, nullptr);
    return true;
}

bool Bus::SetLocalHost(const std::string& id) {
    BusState::Lock lock(*impl_);
    if (!impl_->Find(id)) return false;
    impl_->localHost = id;
    return true;
}

int Bus::LocalHostPhy() const {
    BusState::Lock lock(*impl_);
    Slot* h = impl_->Find(impl_->localHost);
    return h ? h->node->PhyId() : -1;
}

uint16_t Bus::LocalNodeId() const { return NodeIdOf(std::max(LocalHostPhy(), 0)); }

std::string Bus::LocalHostId() const {
    BusState::Lock lock(*impl_);
    return impl_->localHost;
}

bool Bus::SetLinkActive(const std::string& id, bool active) {
    BusState::Lock lock(*impl_);
    Slot* slot = impl_->Find(id);
    if (!slot) return false;
    if (slot->node->LinkActive() == active) return true;
    slot->node->SetLinkActiveFlag(active);
    if (slot->plugged) impl_->Reset(ResetCause::LinkChanged, slot->node.get());
    return true;
}

bool Bus::SetPhyConfig(const std::string& id, const PhyConfig& phy) {
    BusState::Lock lock(*impl_);
    Slot* slot = impl_->Find(id);
    if (!slot) return false;
    slot->node->SetPhy(phy);
    if (slot->plugged) impl_->Reset(ResetCause::LinkChanged, slot->node.get());
    return true;
}

uint32_t Bus::Reset(ResetCause cause, const Node* initiator) {
    BusState::Lock lock(*impl_);
    return impl_->Reset(cause, initiator);
}

uint32_t Bus::Generation() const { return impl_->generation.load(); }

int Bus::NodeCount() const {
    BusState::Lock lock(*impl_);
    return int(impl_->byPhy.size());
}

std::vector<std::string> Bus::NodeIds() const {
    BusState::Lock lock(*impl_);
    std::vector<std::string> ids;
    for (const auto& s : impl_->slots) ids.push_back(s->id);
    return ids;
}

int Bus::PhyOf(const std::string& id) const {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->Find(id);
    return s ? s->node->PhyId() : -1;
}

std::string Bus::IdAt(int phyId) const {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->AtPhy(phyId);
    return s ? s->id : std::string();
}

std::vector<uint32_t> Bus::SelfIds() const {
    BusState::Lock lock(*impl_);
    return impl_->AllPackets();
}

std::vector<uint32_t> Bus::SelfIdsOf(int phyId) const {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->AtPhy(phyId);
    return s ? s->selfIds : std::vector<uint32_t>();
}

std::vector<uint8_t> Bus::TopologyMap() const {
    BusState::Lock lock(*impl_);
    std::vector<uint32_t> packets = impl_->AllPackets();
    uint16_t nodes = uint16_t(impl_->byPhy.size());
    uint32_t gen = impl_->generation.load();
    // The CRC covers what follows the first quadlet, as in the bus's own topology map.
    std::vector<uint32_t> covered{gen, uint32_t(nodes) << 16 | nodes};
    covered.insert(covered.end(), packets.begin(), packets.end());
    uint16_t length = uint16_t(covered.size());
    uint16_t crc = Crc16Quadlets(covered);
    std::vector<uint8_t> map;
    map.reserve(12 + 4 * packets.size());
    auto le16 = [&map](uint16_t v) {
        map.push_back(uint8_t(v));
        map.push_back(uint8_t(v >> 8));
    };
    le16(length);
    le16(crc);
    le16(uint16_t(gen));
    le16(uint16_t(gen >> 16));
    le16(nodes);
    le16(nodes);  // one entry per node; an extended packet follows its node's first packet
    for (uint32_t q : packets) {
        map.push_back(uint8_t(q >> 24));
        map.push_back(uint8_t(q >> 16));
        map.push_back(uint8_t(q >> 8));
        map.push_back(uint8_t(q));
    }
    return map;
}

int32_t Bus::Read(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, uint8_t* dst, uint32_t timeoutMs,
                  const RequestHooks* around) {
    if (!dst) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    int32_t r = impl_->Transact(node, offsetHigh, offsetLow, byteCount, false, buf.data(), timeoutMs, around);
    if (r == kResultSuccess) std::memcpy(dst, buf.data(), byteCount);
    return r;
}

int32_t Bus::Write(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, const uint8_t* src, uint32_t timeoutMs,
                   const RequestHooks* around) {
    if (!src) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    if (byteCount <= kMaxPayload) std::memcpy(buf.data(), src, byteCount);
    return impl_->Transact(node, offsetHigh, offsetLow, byteCount, true, buf.data(), timeoutMs, around);
}

int32_t Bus::ReadFrom(int sourcePhy, int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, uint8_t* dst) {
    if (!dst) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    int32_t r = impl_->TransactFrom(sourcePhy, node, offsetHigh, offsetLow, byteCount, false, buf.data());
    if (r == kResultSuccess) std::memcpy(dst, buf.data(), byteCount);
    return r;
}

int32_t Bus::WriteFrom(int sourcePhy, int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, const uint8_t* src) {
    if (!src) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    if (byteCount <= kMaxPayload) std::memcpy(buf.data(), src, byteCount);
    return impl_->TransactFrom(sourcePhy, node, offsetHigh, offsetLow, byteCount, true, buf.data());
}

RangeResult Bus::AllocateRange(uint16_t offsetHigh, uint32_t offsetLow, uint32_t length, uint32_t accessFlags, uint32_t notifyFlags) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    if (length == 0 || length > kMaxRangeLength || uint64_t(offsetLow) + length > 0x100000000ull)
        return {kResultInvalidParameter, 0};
    bool partial = false;
    if (s.FindRange(offsetHigh, offsetLow, length, &partial) || partial) return {kResultRangeInUse, 0};
    AddressRange r;
    r.handle = s.nextHandle++;
    if (s.nextHandle <= 0) s.nextHandle = 1;
    r.offsetHigh = offsetHigh;
    r.offsetLow = offsetLow;
    r.length = length;
    r.accessFlags = accessFlags;
    r.notifyFlags = notifyFlags;
    r.data.assign((size_t(length) + 3) / 4 * 4, 0);
    s.ranges.push_back(std::move(r));
    return {0, s.ranges.back().handle};
}

int32_t Bus::FreeRange(int32_t handle) {
    BusState::Lock lock(*impl_);
    auto& r = impl_->ranges;
    auto it = std::find_if(r.begin(), r.end(), [&](const AddressRange& a) { return a.handle == handle; });
    if (handle == 0 || it == r.end()) return kResultNotFound;
    r.erase(it);
    return 0;
}

std::vector<AddressRange> Bus::Ranges() const {
    BusState::Lock lock(*impl_);
    return impl_->ranges;
}

int32_t Bus::AddVirtualDevice(const std::string& name, uint64_t instance) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    if (name.empty() || name.size() > 255 || name.find('\0') != std::string::npos) return kResultInvalidParameter;
    for (const auto& v : s.vdevs)
        if (v.name == name && v.instance == instance) return 0;
    if (int(s.vdevs.size()) >= kMaxVirtualDevices) return kResultNoRoom;
    s.vdevs.push_back({name, instance});
    BusEvent e;
    e.kind = EventKind::DeviceChange;
    e.generation = s.generation.load();
    s.Post(std::move(e));
    s.Reset(ResetCause::VirtualDevice, nullptr);
    return 0;
}

int32_t Bus::RemoveVirtualDevice(const std::string& name, uint64_t instance) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    auto it = std::find_if(s.vdevs.begin(), s.vdevs.end(),
                           [&](const VirtualDevice& v) { return v.name == name && v.instance == instance; });
    if (it == s.vdevs.end()) return kResultNotFound;
    s.vdevs.erase(it);
    BusEvent e;
    e.kind = EventKind::DeviceChange;
    e.generation = s.generation.load();
    s.Post(std::move(e));
    return 0;
}

std::vector<VirtualDevice> Bus::VirtualDevices() const {
    BusState::Lock lock(*impl_);
    return impl_->vdevs;
}

bool Bus::AddFault(const std::string& nodeId, const FaultSpec& fault) {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->Find(nodeId);
    if (!s || fault.count == 0) return false;
    s->faults.push_back({fault, 0});
    return true;
}

bool Bus::ClearFaults(const std::string& nodeId) {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->Find(nodeId);
    if (!s) return false;
    s->faults.clear();
    return true;
}

void Bus::ClearAllFaults() {
    BusState::Lock lock(*impl_);
    for (auto& s : impl_->slots) s->faults.clear();
}

std::vector<FaultSpec> Bus::Faults(const std::string& nodeId) const {
    BusState::Lock lock(*impl_);
    std::vector<FaultSpec> out;
    if (Slot* s = impl_->Find(nodeId))
        for (const auto& f : s->faults) out.push_back(f.fault);
    return out;
}

void Bus::InjectNotice(EventKind kind) {
    BusState::Lock lock(*impl_);
    BusEvent e;
    e.kind = kind;
    e.generation = impl_->generation.load();
    impl_->Post(std::move(e));
}

void Bus::ResetStorm(int count) {
    BusState::Lock lock(*impl_);
    for (int i = 0; i < count; ++i) impl_->Reset(ResetCause::Fault, nullptr);
}

int Bus::AddListener(Listener listener) {
    std::lock_guard<std::mutex> g(impl_->listenerMutex);
    int token = impl_->nextToken++;
    impl_->listeners.emplace_back(token, std::move(listener));
    return token;
}

void Bus::RemoveListener(int token) {
    std::lock_guard<std::mutex> g(impl_->listenerMutex);
    auto& l = impl_->listeners;
    l.erase(std::remove_if(l.begin(), l.end(), [&](const auto& p) { return p.first == token; }), l.end());
}

void Bus::Locked(const std::function<void()>& fn) {
    BusState::Lock lock(*impl_);
    fn();
}

bool Bus::WithNode(const std::string& id, const std::function<void(Node&)>& fn) {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->Find(id);
    if (!s) return false;
    fn(*s->node);
    return true;
}

Node* Bus::FindNode(const std::string& id) const {
    BusState::Lock lock(*impl_);
    Slot* s = impl_->Find(id);
    return s ? s->node.get() : nullptr;
}

uint64_t Bus::StateChanges() const { return impl_->stateChanges.load(); }

nlohmann::json Bus::Describe() const {
    BusState::Lock lock(*impl_);
    const auto& s = *impl_;
    nlohmann::json j;
    j["bus"] = BusDeviceName();
    j["generation"] = s.generation.load();
    j["local_host"] = s.localHost;
    Slot* h = s.Find(s.localHost);
    if (h && h->node->PhyId() >= 0) j["local_node_id"] = Hex(NodeIdOf(h->node->PhyId()), 4);
    j["node_count"] = s.byPhy.size();
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto& slot : s.slots) nodes.push_back(DescribeSlot(s, *slot));
    j["nodes"] = nodes;
    nlohmann::json vdevs = nlohmann::json::array();
    for (const auto& v : s.vdevs) vdevs.push_back({{"name", v.name}, {"instance", v.instance}});
    j["virtual_devices"] = vdevs;
    nlohmann::json ranges = nlohmann::json::array();
    for (const auto& r : s.ranges)
        ranges.push_back({{"handle", r.handle},
                          {"address", HexText(uint64_t(r.offsetHigh) << 32 | r.offsetLow, 12)},
                          {"length", r.length},
                          {"access_flags", r.accessFlags},
                          {"notify_flags", r.notifyFlags}});
    j["ranges"] = ranges;
    return j;
}

// ---------------------------------------------------------------------- node state

void Node::StateChanged() {
    if (auto s = std::static_pointer_cast<BusState>(anchor_.lock())) s->stateChanges.fetch_add(1);
}

// ------------------------------------------------------------------------ node timers

void Node::Schedule(uint32_t delayMs, std::function<void()> fn) {
    std::weak_ptr<BusState> anchor = std::static_pointer_cast<BusState>(anchor_.lock());
    bool onBus = !anchor.expired();
    std::weak_ptr<int> alive = token_;
    clk::Current().Schedule(delayMs, [anchor, alive, onBus, fn = std::move(fn)]() {
        if (!onBus) {
            if (!alive.expired()) fn();
            return;
        }
        std::shared_ptr<BusState> s = anchor.lock();
        if (!s) return;
        BusState::Lock lock(*s);
        // Nodes are destroyed only under this lock, so a live token here means a live node.
        if (alive.expired()) return;
        fn();
    });
}

}  // namespace sim
