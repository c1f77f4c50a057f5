// The state behind a Bus: its nodes in bus order, the topology of the last reset, the local
// host's address ranges, the virtual devices, and the queue of events waiting for the bus lock
// to be let go. Bus (bus.h) is the public face; node models reach this state only through it.
//
// Every member is used with the bus lock `m` held (take it with BusState::Lock), except the
// event queue and the listeners, which have locks of their own, and `generation`, which a
// waiting requester reads without the bus lock.
#pragma once

#include <atomic>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#include "bus/bus.h"
#include "bus/fault.h"
#include "bus/node.h"

namespace sim::detail {

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

// What Submit decided about one request.
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
    std::unordered_map<std::string, Slot*> byId;  // the same nodes by name
    std::vector<Slot*> byPhy;                  // plugged nodes as of the last reset
    std::string localHost;
    std::atomic<uint32_t> generation{0};
    bool resetting = false;
    bool resetAgain = false;
    ResetCause againCause = ResetCause::Request;
    std::vector<AddressRange> ranges;
    int32_t nextHandle = 1;
    std::vector<VirtualDevice> vdevs;
    // Reports of nodes that their saved state changed (read without the lock).
    std::atomic<uint64_t> stateChanges{0};

    // Events wait here until the thread that caused them lets go of the bus lock.
    std::mutex queueMutex;
    std::deque<BusEvent> queue;
    std::atomic<bool> queued{false};
    std::recursive_mutex dispatchMutex;
    std::mutex listenerMutex;
    std::vector<std::pair<int, Listener>> listeners;
    int nextToken = 1;

    // ---------------------------------------------------------------- locking and events

    // Holds the bus lock; the outermost one delivers the events queued meanwhile once it has
    // let go.
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

    void Post(BusEvent e);
    void Dispatch();

    // ------------------------------------------------------------------------- topology

    Slot* Find(const std::string& id) const;
    Slot* AtPhy(int phyId) const { return phyId >= 0 && phyId < int(byPhy.size()) ? byPhy[size_t(phyId)] : nullptr; }
    std::vector<uint32_t> AllPackets() const;
    int PluggedCount() const;
    uint32_t Reset(ResetCause cause, const Node* initiator);
    void Attach(Slot& s);
    void Detach(Slot& s);

    // ---------------------------------------------------------------------- transactions

    AddressRange* FindRange(uint16_t high, uint32_t low, uint32_t length, bool* partial);
    bool HostRange(const Access& a, bool write, uint8_t* buf, Reply* reply);
    Reply Deliver(Slot& target, const Access& a, bool write, uint8_t* buf);
    Outcome Submit(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf);
    int32_t Transact(int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf, uint32_t timeoutMs,
                     const RequestHooks* around);
    int32_t TransactFrom(int source, int node, uint16_t high, uint32_t low, uint32_t count, bool write, uint8_t* buf);
};

}  // namespace sim::detail
