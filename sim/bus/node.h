// A node of the simulated 1394 bus: its PHY (what it says in its self-ID packets), its link
// state and its address space.
//
// A node's address space is served in this order:
//   1. the config ROM at 0xFFFF:F0000400 (quadlet and block reads; writes are refused),
//   2. quadlet CSR registers set with SetRegister,
//   3. regions a node model maps with MapRegion (e.g. a device's protocol region),
//   4. everything else answers with an address error.
// A model may override ReadRequest/WriteRequest to see every request first.
//
// Locking: the bus calls into a node only with the bus lock held, so a node model keeps its
// state under that lock and needs none of its own. Work a model schedules on the clock, or
// any call from another thread, enters through Bus::Locked / Bus::WithNode (or any public Bus
// function, which all take the lock). A model may call the bus from inside its handlers.
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/codes.h"

namespace sim {

class AudioDevice;
class Bus;
namespace detail {
struct BusState;
}

// Response code of a 1394 response packet, plus "no acknowledge" (the node never answered).
enum class Rcode : uint8_t {
    Complete = 0,
    ConflictError = 4,
    DataError = 5,
    TypeError = 6,
    AddressError = 7,
    NoAck = 0x10,
};

// What a node answers to one request.
struct Reply {
    Rcode rcode = Rcode::Complete;
    // The response leaves the node this many milliseconds (on the clock) after the request.
    // A delay past the requester's time-out makes the request time out.
    uint32_t delayMs = 0;

    static Reply Ok(uint32_t delayMs = 0) { return Reply{Rcode::Complete, delayMs}; }
    static Reply Error(Rcode code) { return Reply{code, 0}; }
};

// One request as the addressed node sees it.
struct Access {
    int source = 0;            // PHY ID of the requester
    uint16_t offsetHigh = 0;   // destination offset, high 16 bits
    uint32_t offsetLow = 0;    // destination offset, low 32 bits
    uint32_t length = 0;       // bytes, a multiple of 4
    bool broadcast = false;    // sent to node 63
    uint32_t generation = 0;   // bus generation the request was sent in
};

// Port state as reported in a self-ID packet.
enum class PortState : uint8_t { NotPresent = 0, NotConnected = 1, Parent = 2, Child = 3 };

// What the node's PHY reports in its self-ID packets.
struct PhyConfig {
    uint8_t gapCount = 63;     // 6 bits
    uint8_t speed = 2;         // 0 S100, 1 S200, 2 S400
    uint8_t delay = 0;         // 2 bits
    bool contender = false;
    uint8_t powerClass = 0;    // 3 bits
    // Up to 11 ports (3 in packet 0, 8 in the one extended packet). Empty: three ports, wired
    // as a daisy chain in bus order (port 0 to the parent = next node, port 1 to the child =
    // previous node; the last node is the root).
    std::vector<PortState> ports;
    // Send the extended packet even when no port beyond the third exists.
    bool extendedPacket = false;
};

// A request handler of a mapped region. `out`/`data` span exactly the request's bytes.
using RegionRead = std::function<Reply(const Access&, std::span<uint8_t> out)>;
using RegionWrite = std::function<Reply(const Access&, std::span<const uint8_t> data)>;

struct Region {
    uint16_t offsetHigh = kCsrHigh;
    uint32_t offsetLow = 0;
    uint32_t length = 0;       // bytes
    RegionRead read;           // empty: reads answer a type error
    RegionWrite write;         // empty: writes answer a type error
};

class Node {
public:
    virtual ~Node();
    Node(const Node&) = delete;
    Node& operator=(const Node&) = delete;

    // The node kind as the bus description names it ("host", "foreign", "lumarel460" ...).
    const std::string& Kind() const { return kind_; }
    // The node's name on the bus (unique; given when it is added).
    const std::string& Id() const { return id_; }
    // The bus it was added to (null before); its PHY ID now (-1 while unplugged).
    Bus* bus() const { return bus_; }
    int PhyId() const { return phyId_; }
    bool Plugged() const { return phyId_ >= 0; }

    // Config ROM quadlets served at 0xFFFF:F0000400 (empty: ROM reads answer an address error).
    const std::vector<uint32_t>& ConfigRom() const { return rom_; }
    void SetConfigRom(std::vector<uint32_t> quadlets) { rom_ = std::move(quadlets); }
    // An unreadable ROM does not acknowledge reads of the ROM space.
    void SetRomReadable(bool readable) { romReadable_ = readable; }
    bool RomReadable() const { return romReadable_; }

    // One quadlet CSR register (0xFFFF:F0000800 for a ROM's CSR offset entry, etc.).
    void SetRegister(uint16_t offsetHigh, uint32_t offsetLow, uint32_t value, bool writable = false);
    bool HasRegister(uint16_t offsetHigh, uint32_t offsetLow) const;
    uint32_t RegisterValue(uint16_t offsetHigh, uint32_t offsetLow) const;  // 0 when absent

    // Maps a region of the address space to handlers; replaces a region at the same start.
    void MapRegion(Region region);
    void UnmapRegion(uint16_t offsetHigh, uint32_t offsetLow);

    // PHY and link. Changes become visible on the bus at the next reset; use the Bus setters
    // (SetLinkActive, SetPhyConfig) to change them with a reset.
    const PhyConfig& Phy() const { return phy_; }
    void SetPhy(PhyConfig phy) { phy_ = std::move(phy); }
    bool LinkActive() const { return linkActive_; }
    void SetLinkActiveFlag(bool active) { linkActive_ = active; }

    // Requests addressed to this node. The defaults serve ROM, registers and regions.
    virtual Reply ReadRequest(const Access& access, std::span<uint8_t> out);
    virtual Reply WriteRequest(const Access& access, std::span<const uint8_t> data);

    // Called after each bus reset while plugged, with the new generation and the node's PHY ID
    // (a device rebuilds its ROM from its current identity here).
    virtual void OnBusReset(uint32_t generation, int phyId);
    // Called when the node leaves the bus (unplugged or removed).
    virtual void OnUnplugged();

    // The node's state as JSON for the control tool. The default lists kind, ROM and registers.
    virtual nlohmann::json Describe() const;
    // Persistence of the model's own state (flash, identity ...) in a folder the service owns.
    // StateSerial changes whenever the state to be saved changed (0 = nothing to save); the
    // model calls StateChanged each time it does, which is how a host learns there is
    // something to save without asking every node.
    virtual void SaveState(const std::filesystem::path& dir) const;
    virtual void LoadState(const std::filesystem::path& dir);
    virtual uint64_t StateSerial() const;
    // Why the last LoadState set the saved state aside (empty when it loaded or there was none).
    virtual std::string StateError() const;
    // The state its folder holds, for going back to it: a host marks the node's state as it is
    // when it starts keeping it (after LoadState, or as built while nothing is saved yet); a
    // SaveState that succeeds marks what it wrote. After a SaveState that failed, the host
    // reverts the node to the marked state: a change the disk could not take is dropped, as a
    // restart would drop it, instead of staying in memory to fail every later save with it.
    virtual void MarkStateSaved();
    virtual void RevertUnsavedState();

    // The device model behind a node that models one of our audio interfaces; null for others.
    virtual AudioDevice* AsAudioDevice();

    // Runs fn after delayMs on the clock, with the bus lock held, unless the node has been
    // removed from its bus (or the bus is gone) by then. A node model's later answers and
    // timed work (a reboot, a mode switch) go through here. Off a bus fn runs unlocked.
    void Schedule(uint32_t delayMs, std::function<void()> fn);

protected:
    explicit Node(std::string kind);
    // Tells the bus that the state to be saved changed (see StateSerial). Off a bus: nothing.
    void StateChanged();

private:
    friend class Bus;
    friend struct detail::BusState;
    struct Reg {
        uint32_t value = 0;
        bool writable = false;
    };
    using Key = std::pair<uint16_t, uint32_t>;
    const Region* FindRegion(uint16_t offsetHigh, uint32_t offsetLow, uint32_t length) const;

    std::string kind_;
    std::string id_;
    std::weak_ptr<void> anchor_;              // the bus's state while attached
    std::shared_ptr<int> token_ = std::make_shared<int>(0);  // expires with the node
    Bus* bus_ = nullptr;
    int phyId_ = -1;
    std::vector<uint32_t> rom_;
    bool romReadable_ = true;
    std::map<Key, Reg> registers_;
    std::map<Key, Region> regions_;
    PhyConfig phy_;
    bool linkActive_ = true;
};

// A node that is nothing but a config ROM and CSR registers (foreign nodes, the local host).
class PlainNode : public Node {
public:
    explicit PlainNode(std::string kind, std::vector<uint32_t> rom = {});
};

}  // namespace sim
