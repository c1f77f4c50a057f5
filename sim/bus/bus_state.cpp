#include "bus/bus_state.h"

#include <algorithm>
#include <cstring>
#include <span>

#include "clock/clock.h"

namespace sim::detail {

namespace {

constexpr int kMaxResetPasses = 16;

std::vector<PortState> Ports(const PhyConfig& phy, int phyId, int count) {
    if (!phy.ports.empty()) return phy.ports;
    // A daisy chain in bus order: the parent is the next node, the child the previous one.
    return {phyId < count - 1 ? PortState::Parent : PortState::NotConnected,
            phyId > 0 ? PortState::Child : PortState::NotConnected, PortState::NotConnected};
}

std::vector<uint32_t> MakeSelfIds(const Node& n, int phyId, int count, bool initiated) {
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

bool Overlaps(const FaultSpec& f, uint16_t high, uint32_t low, uint32_t length) {
    if (f.anyAddress) return true;
    if (f.offsetHigh != high) return false;
    uint64_t a0 = low, a1 = uint64_t(low) + length, b0 = f.offsetLow, b1 = uint64_t(f.offsetLow) + std::max<uint32_t>(f.length, 1);
    return a0 < b1 && b0 < a1;
}

int32_t CodeOf(Rcode r) {
    switch (r) {
    case Rcode::Complete: return kResultSuccess;
    case Rcode::NoAck: return kResultNoResponse;
    default: return kResultResponseError;
    }
}

}  // namespace

// ---------------------------------------------------------------- locking and events

void BusState::Post(BusEvent e) {
    std::lock_guard<std::mutex> g(queueMutex);
    queue.push_back(std::move(e));
    queued.store(true, std::memory_order_release);
}

void BusState::Dispatch() {
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

Slot* BusState::Find(const std::string& id) const {
    auto it = byId.find(id);
    return it == byId.end() ? nullptr : it->second;
}

std::vector<uint32_t> BusState::AllPackets() const {
    std::vector<uint32_t> all;
    for (const Slot* s : byPhy) all.insert(all.end(), s->selfIds.begin(), s->selfIds.end());
    return all;
}

int BusState::PluggedCount() const {
    int n = 0;
    for (const auto& s : slots) n += s->plugged;
    return n;
}

// A bus reset. Resets that nodes ask for while one runs are folded into one more pass.
uint32_t BusState::Reset(ResetCause cause, const Node* initiator) {
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
                // A node model that fails must not stop the others' reset or the reset notice; the bus keeps no log.
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

void BusState::Attach(Slot& s) {
    s.node->id_ = s.id;
    s.node->bus_ = &bus;
    s.node->phyId_ = -1;
}

void BusState::Detach(Slot& s) {
    if (s.node->phyId_ >= 0) {
        try {
            s.node->OnUnplugged();
        } catch (...) {
            // Also called from the bus's destructor: nothing may leave it, and the bus keeps no log.
        }
    }
    s.node->phyId_ = -1;
}

// ---------------------------------------------------------------------- transactions

AddressRange* BusState::FindRange(uint16_t high, uint32_t low, uint32_t length, bool* partial) {
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
bool BusState::HostRange(const Access& a, bool write, uint8_t* buf, Reply* reply) {
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

Reply BusState::Deliver(Slot& target, const Access& a, bool write, uint8_t* buf) {
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
Outcome BusState::Submit(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf) {
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
int32_t BusState::Transact(int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf, uint32_t timeoutMs,
                           const RequestHooks* around) {
    Outcome o;
    {
        Lock lock(*this);
        if (around && around->before) around->before();
        int source = -1;
        bool reaches = true;
        if (Slot* h = Find(localHost)) {
            // With its adapter off the bus the host reaches nobody.
            source = h->node->PhyId();
            reaches = source >= 0;
        }
        if (reaches)
            o = Submit(source, node, high, low, count, write, buf);
        else
            o.code = kResultNoResponse;
        if (around && around->after) around->after();
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

int32_t BusState::TransactFrom(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf) {
    Lock lock(*this);
    // Only a node on the bus with its link on can send a request.
    Slot* from = AtPhy(source);
    if (!from || !from->node->LinkActive()) return kResultNoResponse;
    Outcome o = Submit(source, node, high, low, count, write, buf);
    if (o.pending && o.never) return kResultTimedOut;
    return o.code;
}

}  // namespace sim::detail
