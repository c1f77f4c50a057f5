// The simulated IEEE 1394 bus.
//
// Up to 63 nodes in a chosen order; a node's PHY ID is its position among the plugged nodes,
// its node ID 0xFFC0 | PHY ID. One node is the local host: the access library issues its
// requests as that node, and its host address ranges receive the writes of other nodes.
//
// Every change of the topology goes through a bus reset: the generation counter steps, each
// plugged node sends its self-ID packets again, nodes are told (Node::OnBusReset), and once
// the new topology and every ROM are readable listeners get a BusReset event. Resets happen
// on request, when a node joins or leaves, when a link goes on or off, when a node model asks
// for one (a device switching between its application and its bootloader), when a virtual
// device is added, and by fault injection.
//
// Transactions are whole quadlets, 4 to 2048 bytes. A node may answer later on the clock
// (Reply::delayMs): the requester waits on clk (so a test's manual clock drives it) up to its
// time-out; a reset while it waits ends the request with kResultResetOccurred.
//
// Thread-safe: every public function takes the bus lock (recursive, so node models may call
// back in). Listeners run without the lock, one at a time, in the order events occurred, on
// the thread that lets go of the lock after the event (they may call the bus). A request
// that waits for a late answer holds no lock while it waits, unless its caller holds one
// (inside Locked/WithNode): keep waiting requests out of those.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/codes.h"
#include "bus/fault.h"
#include "bus/node.h"

namespace sim {

namespace detail {
struct BusState;
}

enum class ResetCause {
    Request,         // someone asked for it (BusReset, the control tool)
    NodeJoined,
    NodeLeft,
    LinkChanged,     // a link went on or off, or a PHY setting changed
    NodeRequest,     // a node model asked for it (mode change, new identity)
    VirtualDevice,   // a virtual device was added
    Fault,           // injected: reset after the n-th request, reset storms
    Configuration,   // a bus description was loaded
};
const char* ResetCauseName(ResetCause cause);

enum class EventKind {
    DeviceChange,      // a virtual device was added or removed
    BusReset,          // a reset completed; topology and ROMs are readable
    IncomingData,      // a node wrote (or read) an allocated host range
    DriverError,       // injected: the bus driver reports an error
    OtherDriverReset,  // injected: a reset notice from the other driver kind
};

struct BusEvent {
    EventKind kind = EventKind::BusReset;
    uint32_t generation = 0;
    ResetCause cause = ResetCause::Request;     // BusReset
    int32_t rangeHandle = 0;                    // IncomingData
    int source = -1;                            // IncomingData: PHY ID of the writer
    bool write = true;                          // IncomingData: write (true) or read
    uint16_t offsetHigh = 0;                    // IncomingData
    uint32_t offsetLow = 0;                     // IncomingData
    std::vector<uint8_t> data;                  // IncomingData: the bytes written
};
using Listener = std::function<void(const BusEvent&)>;

struct VirtualDevice {
    std::string name;
    uint64_t instance = 0;   // low 32 bits: the bus index the device was added on
};

// A range of the local host's address space that other nodes may write (and read).
struct AddressRange {
    int32_t handle = 0;
    uint16_t offsetHigh = 0;
    uint32_t offsetLow = 0;
    uint32_t length = 0;
    uint32_t accessFlags = 3;   // bit 0 read, bit 1 write, bit 3 broadcast writes taken
    uint32_t notifyFlags = 3;   // bit 0 notify after a read, bit 1 after a write
    std::vector<uint8_t> data;  // what nodes wrote into it
};
inline constexpr uint32_t kAccessRead = 1, kAccessWrite = 2, kAccessBroadcast = 8;
// Largest host range: the host keeps a range's bytes, so a length from a caller is bounded.
inline constexpr uint32_t kMaxRangeLength = 1u << 20;
inline constexpr uint32_t kNotifyRead = 1, kNotifyWrite = 2;

struct RangeResult {
    int32_t status = 0;   // 0 = allocated; kResultInvalidParameter, kResultRangeInUse
    int32_t handle = 0;   // non-zero when allocated
};

// What runs around the node's part of a request of the local host (see Bus::Read), with the bus
// lock held. A host that keeps its nodes' state saves there: before, what others changed; after,
// what this request changed, so that no other request sees a change before it is saved.
struct RequestHooks {
    std::function<void()> before;
    std::function<void()> after;
};

class Bus {
public:
    // busIndex names the bus device "\\.\1394BUS" + index.
    explicit Bus(int busIndex = 0);
    ~Bus();
    Bus(const Bus&) = delete;
    Bus& operator=(const Bus&) = delete;

    int BusIndex() const { return busIndex_; }
    std::string BusDeviceName() const;

    // ---- nodes and topology
    // Adds a node under a unique id at a position among all known nodes (-1 = last). A
    // plugged node joins with a bus reset (unless resetNow is false: loaders adding several
    // nodes reset once at the end). Returns kResultSuccess, kResultInvalidParameter (empty or
    // duplicate id, null node) or kResultNoRoom (63 plugged nodes, or
    // kMaxKnownNodes known ones).
    int32_t AddNode(const std::string& id, std::unique_ptr<Node> node, int position = -1,
                    bool plugged = true, bool resetNow = true);
    // Removes a node entirely (a reset when it was plugged). False for an unknown id.
    bool RemoveNode(const std::string& id);
    // Removes every node, range and virtual device (no reset, no events; the generation
    // keeps counting from where it was).
    void Clear();
    // Plug/unplug keep the node known in its place in the order; both reset the bus when
    // they change something. False for an unknown id (or no room to plug).
    bool Plug(const std::string& id);
    bool Unplug(const std::string& id);
    // The local host; its node must be known. False for an unknown id.
    bool SetLocalHost(const std::string& id);
    int LocalHostPhy() const;              // -1 when the host is unplugged or none was set
    uint16_t LocalNodeId() const;          // 0xFFC0 | LocalHostPhy()
    std::string LocalHostId() const;

    // Link-active flag and PHY settings: change the node and reset the bus.
    bool SetLinkActive(const std::string& id, bool active);
    bool SetPhyConfig(const std::string& id, const PhyConfig& phy);

    // A bus reset; returns the new generation. `initiator` (may be null) sets the "initiated
    // reset" bit in that node's self-ID.
    uint32_t Reset(ResetCause cause = ResetCause::Request, const Node* initiator = nullptr);
    uint32_t Generation() const;

    int NodeCount() const;                         // plugged nodes
    std::vector<std::string> NodeIds() const;      // every known node, in bus order
    int PhyOf(const std::string& id) const;        // -1: unknown or unplugged
    std::string IdAt(int phyId) const;             // empty when none
    // Self-ID packets of the last reset, in PHY ID order (packet 0, then the extended packet
    // of a node that sends one).
    std::vector<uint32_t> SelfIds() const;
    std::vector<uint32_t> SelfIdsOf(int phyId) const;
    // The topology map as the access library hands it to the program (little-endian header:
    // u16 length, u16 CRC, u32 generation, u16 node count, u16 self-ID count = number of
    // nodes; then the self-ID packets most significant byte first).
    std::vector<uint8_t> TopologyMap() const;

    // ---- transactions issued by the local host (the access library)
    // node: 0-62, 63 = broadcast (writes only), or a full node ID 0xFFC0 | n.
    // byteCount: 4 to 2048, a multiple of 4. timeoutMs 0 = kDefaultTimeoutMs.
    // While the local host is unplugged every request ends with kResultNoResponse.
    // `around` (optional) runs in the same hold of the bus lock as the node's part of the
    // request: before, just ahead of it; after, right behind it and before any wait for a late
    // answer. No other request, node timer or control call comes between the three.
    int32_t Read(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount,
                 uint8_t* dst, uint32_t timeoutMs, const RequestHooks* around = nullptr);
    int32_t Write(int node, uint16_t offsetHigh, uint32_t offsetLow, uint32_t byteCount,
                  const uint8_t* src, uint32_t timeoutMs, const RequestHooks* around = nullptr);

    // ---- transactions issued by a node model (no waiting: an answer that never comes is a
    // time-out, a delayed one counts as given). The source must be plugged with its link on
    // (else kResultNoResponse).
    int32_t ReadFrom(int sourcePhy, int node, uint16_t offsetHigh, uint32_t offsetLow,
                     uint32_t byteCount, uint8_t* dst);
    int32_t WriteFrom(int sourcePhy, int node, uint16_t offsetHigh, uint32_t offsetLow,
                      uint32_t byteCount, const uint8_t* src);

    // ---- host address ranges of the local host
    // length: 1 to kMaxRangeLength bytes, not past the end of the 48-bit space.
    RangeResult AllocateRange(uint16_t offsetHigh, uint32_t offsetLow, uint32_t length,
                              uint32_t accessFlags = kAccessRead | kAccessWrite,
                              uint32_t notifyFlags = kNotifyRead | kNotifyWrite);
    int32_t FreeRange(int32_t handle);     // 0 = freed, kResultNotFound
    std::vector<AddressRange> Ranges() const;

    // ---- virtual devices of this bus (the access library's list and the bus device's
    // add/remove requests are this one list)
    // Adding posts DeviceChange and resets the bus; adding one that exists changes nothing.
    // 0 = done; kResultInvalidParameter (empty name), kResultNoRoom (10 devices).
    int32_t AddVirtualDevice(const std::string& name, uint64_t instance = 0);
    // 0 = removed (DeviceChange posted); kResultNotFound.
    int32_t RemoveVirtualDevice(const std::string& name, uint64_t instance = 0);
    std::vector<VirtualDevice> VirtualDevices() const;

    // ---- fault injection
    bool AddFault(const std::string& nodeId, const FaultSpec& fault);
    bool ClearFaults(const std::string& nodeId);
    void ClearAllFaults();
    std::vector<FaultSpec> Faults(const std::string& nodeId) const;
    // Posts a DriverError or OtherDriverReset notice (no topology change).
    void InjectNotice(EventKind kind);
    // n bus resets in a row (cause Fault).
    void ResetStorm(int count);

    // ---- events
    int AddListener(Listener listener);
    void RemoveListener(int token);

    // ---- node access under the bus lock
    // Runs fn with the lock held; events it causes are delivered after it returns.
    void Locked(const std::function<void()>& fn);
    // Runs fn on the node with the lock held; false for an unknown id.
    bool WithNode(const std::string& id, const std::function<void(Node&)>& fn);
    // The node (nullptr when unknown). Only use it with the lock held (inside Locked,
    // WithNode, or a node handler).
    Node* FindNode(const std::string& id) const;
    // How many times nodes reported that their saved state changed (Node::StateChanged). A
    // host that saved every node at one count has nothing new to save while the count stays;
    // the count is read without the lock.
    uint64_t StateChanges() const;

    // The bus as JSON: generation, local host, nodes with self-IDs, faults and Describe(),
    // virtual devices and ranges.
    nlohmann::json Describe() const;

private:
    int busIndex_;
    std::shared_ptr<detail::BusState> impl_;
};

}  // namespace sim
