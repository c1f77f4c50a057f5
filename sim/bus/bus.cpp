#include "bus/bus.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <deque>
#include <stdexcept>

#include "bus/config_rom.h"
#include "bus/description.h"
#include "clock/clock.h"

namespace sim {

namespace detail {

struct FaultState {
    FaultSpec fault;
    uint32_t seen = 0;  // matching requests so far (ResetAfter)
};

struct Slot {
    std::string id;
    std::unique_ptr<Node> node;
    bool plugged = true;
    std::vector<FaultState> faults;
    std::vector<uint32_t> selfIds;  // of the last reset while plugged
};

// What Issue decided about one request.
struct Outcome {
    int32_t code = kResultSuccess;
    bool pending = false;       // the answer comes later
    bool never = false;         // ... or not at all
    uint32_t delayMs = 0;
    uint32_t generation = 0;
};

struct BusState {
    explicit BusState(Bus& owner) : bus(owner) {}

    Bus& bus;
    std::recursive_mutex m;
    int depth = 0;  // lock depth of the thread holding m

    std::vector<std::unique_ptr<Slot>> slots;  // every known node, in bus order
    std::vector<Slot*> byPhy;                  // plugged nodes as of the last reset
    std::string localHost;
    std::atomic<uint32_t> generation{0};
    bool resetting = false;
    bool resetAgain = false;
    ResetCause againCause = ResetCause::Request;
    std::vector<AddressRange> ranges;
    int32_t nextHandle = 1;
    std::vector<VirtualDevice> vdevs;

    // Events wait here until the thread that caused them lets go of the bus lock.
    std::mutex queueMutex;
    std::deque<BusEvent> queue;
    std::atomic<bool> queued{false};
    std::recursive_mutex dispatchMutex;
    std::mutex listenerMutex;
    std::vector<std::pair<int, Listener>> listeners;
    int nextToken = 1;

    // ---------------------------------------------------------------- locking and events

    class Lock {
    public:
        explicit Lock(BusState& s) : s_(s) {
            s_.m.lock();
            ++s_.depth;
        }
        ~Lock() {
            bool outer = --s_.depth == 0;
            s_.m.unlock();
            if (outer) s_.Dispatch();
        }
        Lock(const Lock&) = delete;
        Lock& operator=(const Lock&) = delete;

    private:
        BusState& s_;
    };

    void Post(BusEvent e) {
        std::lock_guard<std::mutex> g(queueMutex);
        queue.push_back(std::move(e));
        queued.store(true, std::memory_order_release);
    }

    void Dispatch() {
        if (!queued.load(std::memory_order_acquire)) return;
        std::lock_guard<std::recursive_mutex> d(dispatchMutex);
        for (;;) {
            BusEvent e;
            {
                std::lock_guard<std::mutex> g(queueMutex);
                if (queue.empty()) {
                    queued.store(false, std::memory_order_release);
                    return;
                }
                e = std::move(queue.front());
                queue.pop_front();
            }
            std::vector<Listener> ls;
            {
                std::lock_guard<std::mutex> g(listenerMutex);
                for (const auto& [token, l] : listeners) ls.push_back(l);
            }
            for (const auto& l : ls) {
                try {
                    l(e);
                } catch (...) {
                    // A listener's failure must not stop the others or the bus.
                }
            }
        }
    }

    // ------------------------------------------------------------------------- topology

    Slot* Find(const std::string& id) const {
        for (const auto& s : slots)
            if (s->id == id) return s.get();
        return nullptr;
    }

    Slot* AtPhy(int phyId) const { return phyId >= 0 && phyId < int(byPhy.size()) ? byPhy[size_t(phyId)] : nullptr; }

    std::vector<uint32_t> AllPackets() const {
        std::vector<uint32_t> all;
        for (const Slot* s : byPhy) all.insert(all.end(), s->selfIds.begin(), s->selfIds.end());
        return all;
    }

    int PluggedCount() const {
        int n = 0;
        for (const auto& s : slots) n += s->plugged;
        return n;
    }

    static std::vector<PortState> Ports(const PhyConfig& phy, int phyId, int count) {
        if (!phy.ports.empty()) return phy.ports;
        // A daisy chain in bus order: the parent is the next node, the child the previous one.
        return {phyId < count - 1 ? PortState::Parent : PortState::NotConnected,
                phyId > 0 ? PortState::Child : PortState::NotConnected, PortState::NotConnected};
    }

    static std::vector<uint32_t> MakeSelfIds(const Node& n, int phyId, int count, bool initiated) {
        const PhyConfig& phy = n.Phy();
        std::vector<PortState> ports = Ports(phy, phyId, count);
        ports.resize(std::max<size_t>(ports.size(), 3), PortState::NotPresent);
        bool extended = ports.size() > 3 || phy.extendedPacket;
        auto p = [&ports](size_t i) { return i < ports.size() ? uint32_t(ports[i]) : 0u; };
        uint32_t q = 0x80000000u | uint32_t(phyId & 0x3F) << 24 | uint32_t(n.LinkActive()) << 22 |
                     uint32_t(phy.gapCount & 0x3F) << 16 | uint32_t(phy.speed & 3) << 14 |
                     uint32_t(phy.delay & 3) << 12 | uint32_t(phy.contender) << 11 |
                     uint32_t(phy.powerClass & 7) << 8 | p(0) << 6 | p(1) << 4 | p(2) << 2 |
                     uint32_t(initiated) << 1 | uint32_t(extended);
        std::vector<uint32_t> out{q};
        if (extended) {
            // Extended packet 0: ports 3 to 10, two bits each from bit 17 down.
            uint32_t x = 0x80000000u | uint32_t(phyId & 0x3F) << 24 | 1u << 23;
            for (size_t i = 3; i < 11; ++i) x |= p(i) << (16 - 2 * (i - 3));
            out.push_back(x);
        }
        return out;
    }

    static constexpr int kMaxResetPasses = 16;

    // A bus reset. Resets that nodes ask for while one runs are folded into one more pass.
    uint32_t Reset(ResetCause cause, const Node* initiator) {
        if (resetting) {
            resetAgain = true;
            againCause = cause;
            return generation.load() + 1;
        }
        resetting = true;
        for (int pass = 0;; ++pass) {
            resetAgain = false;
            uint32_t gen = generation.load() + 1;
            generation.store(gen);
            byPhy.clear();
            for (auto& s : slots) {
                if (s->plugged && int(byPhy.size()) < kMaxNodes) {
                    s->node->phyId_ = int(byPhy.size());
                    byPhy.push_back(s.get());
                } else {
                    s->node->phyId_ = -1;
                    s->selfIds.clear();
                }
            }
            int count = int(byPhy.size());
            for (int k = 0; k < count; ++k)
                byPhy[size_t(k)]->selfIds = MakeSelfIds(*byPhy[size_t(k)]->node, k, count, byPhy[size_t(k)]->node.get() == initiator);
            for (int k = 0; k < count; ++k) {
                try {
                    byPhy[size_t(k)]->node->OnBusReset(gen, k);
                } catch (...) {
                }
            }
            // A node that asks again at every reset gets a bounded storm, not a hang.
            if (!resetAgain || pass >= kMaxResetPasses) {
                BusEvent e;
                e.kind = EventKind::BusReset;
                e.generation = gen;
                e.cause = cause;
                Post(std::move(e));
                break;
            }
            // A node changed something during the reset: one more reset shows it.
            cause = againCause;
            initiator = nullptr;
        }
        resetting = false;
        return generation.load();
    }

    void Attach(Slot& s) {
        s.node->id_ = s.id;
        s.node->bus_ = &bus;
        s.node->phyId_ = -1;
    }

    void Detach(Slot& s) {
        if (s.node->phyId_ >= 0) {
            try {
                s.node->OnUnplugged();
            } catch (...) {
            }
        }
        s.node->phyId_ = -1;
    }

    // ---------------------------------------------------------------------- transactions

    static bool Overlaps(const FaultSpec& f, uint16_t high, uint32_t low, uint32_t length) {
        if (f.anyAddress) return true;
        if (f.offsetHigh != high) return false;
        uint64_t a0 = low, a1 = uint64_t(low) + length, b0 = f.offsetLow, b1 = uint64_t(f.offsetLow) + std::max<uint32_t>(f.length, 1);
        return a0 < b1 && b0 < a1;
    }

    static int32_t CodeOf(Rcode r) {
        switch (r) {
        case Rcode::Complete: return kResultSuccess;
        case Rcode::NoAck: return kResultNoResponse;
        default: return kResultResponseError;
        }
    }

    AddressRange* FindRange(uint16_t high, uint32_t low, uint32_t length, bool* partial) {
        *partial = false;
        for (auto& r : ranges) {
            if (r.offsetHigh != high) continue;
            uint64_t a0 = low, a1 = uint64_t(low) + length, b0 = r.offsetLow, b1 = uint64_t(r.offsetLow) + r.length;
            if (a0 >= b0 && a1 <= b1) return &r;
            if (a0 < b1 && b0 < a1) *partial = true;
        }
        return nullptr;
    }

    // A request at the local host that falls into an allocated range.
    bool HostRange(const Access& a, bool write, uint8_t* buf, Reply* reply) {
        bool partial = false;
        AddressRange* r = FindRange(a.offsetHigh, a.offsetLow, a.length, &partial);
        if (!r) {
            if (partial) *reply = Reply::Error(Rcode::AddressError);
            return partial;
        }
        // A broadcast write nobody answers: a range that does not take broadcasts ignores it.
        if (a.broadcast && !(r->accessFlags & kAccessBroadcast)) {
            *reply = Reply::Ok();
            return true;
        }
        uint32_t need = write ? kAccessWrite : kAccessRead;
        if (!(r->accessFlags & need)) {
            *reply = Reply::Error(Rcode::TypeError);
            return true;
        }
        size_t at = a.offsetLow - r->offsetLow;
        if (write) std::memcpy(r->data.data() + at, buf, a.length);
        else std::memcpy(buf, r->data.data() + at, a.length);
        if (r->notifyFlags & (write ? kNotifyWrite : kNotifyRead)) {
            BusEvent e;
            e.kind = EventKind::IncomingData;
            e.generation = generation.load();
            e.rangeHandle = r->handle;
            e.source = a.source;
            e.write = write;
            e.offsetHigh = a.offsetHigh;
            e.offsetLow = a.offsetLow;
            if (write) e.data.assign(buf, buf + a.length);
            Post(std::move(e));
        }
        *reply = Reply::Ok();
        return true;
    }

    Reply Deliver(Slot& target, const Access& a, bool write, uint8_t* buf) {
        Reply reply;
        if (target.id == localHost && HostRange(a, write, buf, &reply)) return reply;
        try {
            if (write) return target.node->WriteRequest(a, std::span<const uint8_t>(buf, a.length));
            return target.node->ReadRequest(a, std::span<uint8_t>(buf, a.length));
        } catch (...) {
            // A model that throws answers like a node in an unknown state.
            return Reply{Rcode::NoAck, 0};
        }
    }

    // One request, decided with the lock held. buf holds the data to write, or receives the
    // data read.
    Outcome Issue(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf) {
        Outcome o;
        o.generation = generation.load();
        if (count < 4 || count > kMaxPayload || count % 4) return {kResultInvalidParameter};
        if (node >= 0xFFC0 && node <= 0xFFFF) node &= 0x3F;  // a full node ID on the local bus
        if (node < 0 || node > kBroadcastNode) return {kResultInvalidParameter};
        if (uint64_t(low) + count > 0x100000000ull) return {kResultInvalidParameter};
        Access a{source, high, low, count, node == kBroadcastNode, o.generation};

        if (node == kBroadcastNode) {
            if (!write) return {kResultInvalidParameter};
            // Every other node with an active link gets the write; nobody answers.
            std::vector<Slot*> targets = byPhy;
            for (Slot* s : targets) {
                if (s->node->PhyId() == source || !s->node->LinkActive()) continue;
                std::vector<uint8_t> copy(buf, buf + count);
                Deliver(*s, a, true, copy.data());
            }
            return o;
        }
        Slot* found = AtPhy(node);
        if (!found) return {kResultNoResponse};
        Slot& target = *found;
        if (!target.node->LinkActive()) return {kResultNoResponse};

        uint32_t extraDelay = 0;
        bool late = false, never = false;
        for (size_t i = 0; i < target.faults.size();) {
            FaultState& f = target.faults[i];
            const FaultSpec& fault = f.fault;
            bool dirOk = fault.direction == FaultSpec::Direction::Any ||
                         (fault.direction == FaultSpec::Direction::Write) == write;
            if (!dirOk || !Overlaps(fault, high, low, count)) {
                ++i;
                continue;
            }
            if (fault.kind == FaultSpec::Kind::ResetAfter) {
                if (++f.seen >= std::max<uint32_t>(fault.afterRequests, 1)) {
                    target.faults.erase(target.faults.begin() + long(i));
                    Reset(ResetCause::Fault, nullptr);
                    return {kResultResetOccurred};
                }
                ++i;
                continue;
            }
            FaultSpec hit = fault;
            if (f.fault.count > 0 && --f.fault.count == 0) target.faults.erase(target.faults.begin() + long(i));
            switch (hit.kind) {
            case FaultSpec::Kind::NoResponse: return {kResultNoResponse};
            case FaultSpec::Kind::AddressError: return {kResultResponseError};
            case FaultSpec::Kind::UnknownError: return {kResultUnknownError};
            case FaultSpec::Kind::Code: return {hit.code};
            case FaultSpec::Kind::LateAnswer:
                late = true;
                if (hit.delayMs == 0) never = true;
                extraDelay = std::max(extraDelay, hit.delayMs);
                break;
            case FaultSpec::Kind::ResetAfter: break;
            }
            break;  // one fault per request
        }

        Reply r = Deliver(target, a, write, buf);
        o.code = CodeOf(r.rcode);
        if (r.rcode == Rcode::NoAck) return o;  // nothing acknowledged, nothing comes late
        uint32_t delay = std::max(r.delayMs, extraDelay);
        if (late || delay > 0) {
            o.pending = true;
            o.never = never;
            o.delayMs = delay;
        }
        return o;
    }

    // The requester's side: issue, then wait on the clock for a late answer.
    int32_t Transact(int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf, uint32_t timeoutMs) {
        Outcome o;
        {
            Lock lock(*this);
            int source = -1;
            if (Slot* h = Find(localHost)) {
                // With its adapter off the bus the host reaches nobody.
                source = h->node->PhyId();
                if (source < 0) return kResultNoResponse;
            }
            o = Issue(source, node, high, low, count, write, buf);
        }
        if (!o.pending) return o.code;
        if (timeoutMs == 0) timeoutMs = kDefaultTimeoutMs;
        bool inTime = !o.never && o.delayMs <= timeoutMs;
        uint32_t waitMs = inTime ? o.delayMs : timeoutMs;
        int64_t start = clk::QueryPerformanceCounter();
        for (;;) {
            if (generation.load() != o.generation) return kResultResetOccurred;
            int32_t elapsed = clk::ElapsedMsSince(start);
            if (uint32_t(elapsed) >= waitMs) break;
            clk::Sleep(1);
        }
        if (generation.load() != o.generation) return kResultResetOccurred;
        return inTime ? o.code : kResultTimedOut;
    }

    int32_t TransactFrom(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf) {
        Lock lock(*this);
        // Only a node on the bus with its link on can send a request.
        Slot* from = AtPhy(source);
        if (!from || !from->node->LinkActive()) return kResultNoResponse;
        Outcome o = Issue(source, node, high, low, count, write, buf);
        if (o.pending && o.never) return kResultTimedOut;
        return o.code;
    }

    nlohmann::json DescribeSlot(const Slot& s) const;
};

namespace {

std::string Hex(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
}

}  // namespace

nlohmann::json BusState::DescribeSlot(const Slot& s) const {
    nlohmann::json j;
    j["id"] = s.id;
    j["kind"] = s.node->Kind();
    j["plugged"] = s.plugged;
    int phy = s.node->PhyId();
    j["phy_id"] = phy;
    if (phy >= 0) j["node_id"] = Hex(NodeIdOf(phy), 4);
    j["link_active"] = s.node->LinkActive();
    j["local_host"] = s.id == localHost;
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

}  // namespace detail

using detail::BusState;
using detail::Slot;

// ------------------------------------------------------------------------------ faults

namespace {

struct KindName {
    FaultSpec::Kind kind;
    const char* name;
};
constexpr KindName kFaultKinds[] = {
    {FaultSpec::Kind::NoResponse, "no_response"},   {FaultSpec::Kind::AddressError, "address_error"},
    {FaultSpec::Kind::LateAnswer, "late_answer"},   {FaultSpec::Kind::ResetAfter, "reset_after"},
    {FaultSpec::Kind::UnknownError, "unknown_error"}, {FaultSpec::Kind::Code, "code"},
};

std::string HexText(uint64_t v, int width) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "0x%0*llX", width, static_cast<unsigned long long>(v));
    return buf;
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

nlohmann::json FaultToJson(const FaultSpec& f) {
    nlohmann::json j;
    for (const auto& k : kFaultKinds)
        if (k.kind == f.kind) j["kind"] = k.name;
    j["direction"] = f.direction == FaultSpec::Direction::Any ? "any" : f.direction == FaultSpec::Direction::Read ? "read" : "write";
    if (!f.anyAddress) {
        j["address"] = HexText(uint64_t(f.offsetHigh) << 32 | f.offsetLow, 12);
        j["length"] = f.length;
    }
    j["count"] = f.count;
    if (f.kind == FaultSpec::Kind::LateAnswer) j["delay_ms"] = f.delayMs;
    if (f.kind == FaultSpec::Kind::ResetAfter) j["after"] = f.afterRequests;
    if (f.kind == FaultSpec::Kind::Code) j["code"] = HexText(uint32_t(f.code), 8);
    return j;
}

FaultSpec FaultFromJson(const nlohmann::json& j) {
    if (!j.is_object()) throw std::invalid_argument("fault: expected an object, got " + j.dump());
    FaultSpec f;
    if (!j.contains("kind") || !j["kind"].is_string()) throw std::invalid_argument("fault: \"kind\" is missing");
    std::string kind = j["kind"].get<std::string>();
    bool known = false;
    for (const auto& k : kFaultKinds)
        if (kind == k.name) {
            f.kind = k.kind;
            known = true;
        }
    if (!known)
        throw std::invalid_argument("fault: unknown kind \"" + kind +
                                    "\" (no_response, address_error, late_answer, reset_after, unknown_error, code)");
    if (j.contains("direction")) {
        std::string d = j["direction"].is_string() ? j["direction"].get<std::string>() : "";
        if (d == "any") f.direction = FaultSpec::Direction::Any;
        else if (d == "read") f.direction = FaultSpec::Direction::Read;
        else if (d == "write") f.direction = FaultSpec::Direction::Write;
        else throw std::invalid_argument("fault: direction must be \"any\", \"read\" or \"write\"");
    }
    if (j.contains("address")) {
        uint64_t a = JsonU64(j["address"], "fault address");
        if (a >> 48) throw std::invalid_argument("fault address: more than 48 bits");
        f.anyAddress = false;
        f.offsetHigh = uint16_t(a >> 32);
        f.offsetLow = uint32_t(a);
        f.length = j.contains("length") ? JsonU32(j["length"], "fault length") : 4;
        if (f.length == 0) throw std::invalid_argument("fault length: must be at least 1");
    }
    if (j.contains("count")) {
        if (!j["count"].is_number_integer() || j["count"].get<int64_t>() < -1 || j["count"].get<int64_t>() == 0 ||
            j["count"].get<int64_t>() > INT32_MAX)
            throw std::invalid_argument("fault count: -1 (always) or a number of requests from 1");
        f.count = int32_t(j["count"].get<int64_t>());
    }
    if (j.contains("delay_ms")) f.delayMs = JsonU32(j["delay_ms"], "fault delay_ms");
    if (j.contains("after")) {
        f.afterRequests = JsonU32(j["after"], "fault after");
        if (f.afterRequests == 0) throw std::invalid_argument("fault after: must be at least 1");
    }
    if (f.kind == FaultSpec::Kind::Code) {
        if (!j.contains("code")) throw std::invalid_argument("fault: kind \"code\" needs \"code\"");
        const auto& c = j["code"];
        if (c.is_number_integer() && c.get<int64_t>() < 0) {
            if (c.get<int64_t>() < INT32_MIN) throw std::invalid_argument("fault code: out of range");
            f.code = int32_t(c.get<int64_t>());
        } else {
            f.code = int32_t(JsonU32(c, "fault code"));
        }
    }
    return f;
}

// --------------------------------------------------------------------------------- bus

Bus::Bus(int busIndex) : busIndex_(busIndex), impl_(std::make_shared<BusState>(*this)) {}

Bus::~Bus() {
    BusState::Lock lock(*impl_);
    for (auto& s : impl_->slots) impl_->Detach(*s);
    impl_->slots.clear();
    impl_->byPhy.clear();
}

std::string Bus::BusDeviceName() const { return "\\\\.\\1394BUS" + std::to_string(busIndex_); }

int32_t Bus::AddNode(const std::string& id, std::unique_ptr<Node> node, int position, bool plugged, bool resetNow) {
    BusState::Lock lock(*impl_);
    auto& s = *impl_;
    if (id.empty() || !node || s.Find(id) || node->bus_) return kResultInvalidParameter;
    if (plugged && s.PluggedCount() >= kMaxNodes) return kResultNoRoom;
    auto slot = std::make_unique<Slot>();
    slot->id = id;
    slot->node = std::move(node);
    slot->plugged = plugged;
    slot->node->anchor_ = impl_;
    s.Attach(*slot);
    size_t at = position < 0 || size_t(position) > s.slots.size() ? s.slots.size() : size_t(position);
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

int32_t Bus::Read(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, uint8_t* dst, uint32_t timeoutMs) {
    if (!dst) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    int32_t r = impl_->Transact(node, offsetHigh, offsetLow, byteCount, false, buf.data(), timeoutMs);
    if (r == kResultSuccess) std::memcpy(dst, buf.data(), byteCount);
    return r;
}

int32_t Bus::Write(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount, const uint8_t* src, uint32_t timeoutMs) {
    if (!src) return kResultInvalidParameter;
    std::array<uint8_t, kMaxPayload> buf;
    if (byteCount <= kMaxPayload) std::memcpy(buf.data(), src, byteCount);
    return impl_->Transact(node, offsetHigh, offsetLow, byteCount, true, buf.data(), timeoutMs);
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

nlohmann::json Bus::Describe() const {
    BusState::Lock lock(*impl_);
    const auto& s = *impl_;
    nlohmann::json j;
    j["bus"] = BusDeviceName();
    j["generation"] = s.generation.load();
    j["local_host"] = s.localHost;
    Slot* h = s.Find(s.localHost);
    if (h && h->node->PhyId() >= 0) j["local_node_id"] = detail::Hex(NodeIdOf(h->node->PhyId()), 4);
    j["node_count"] = s.byPhy.size();
    nlohmann::json nodes = nlohmann::json::array();
    for (const auto& slot : s.slots) nodes.push_back(s.DescribeSlot(*slot));
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
