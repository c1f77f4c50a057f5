// The bus layer's state: everything the layer keeps between calls, in one record. The record
// starts as program start leaves it, and ResetModuleState puts all of it back at once, so no
// part of it (the bus number, the last virtual device name ...) can outlive a reset.
//
// Two things are not data and stay outside the record, each with its own install and remove
// call: the bound access library (lib::Load / lib::Unload; it owns the loaded file) and the
// bootloader layer above (SetBootloaderLayer; it belongs to that layer).
#pragma once

#include <atomic>
#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/library_records.h"
#include "bus1394/node_records.h"

namespace bas1394 {

class IBusPumpTimers;

// A value that the access library's notices may set from another thread. Unlike std::atomic it
// copies (by value), so the record that holds it can be reset by assignment.
template <typename T>
class SharedValue {
public:
    SharedValue(T value = T{}) noexcept : value_(value) {}
    SharedValue(const SharedValue& other) noexcept : value_(other.load()) {}
    SharedValue& operator=(const SharedValue& other) noexcept {
        store(other.load());
        return *this;
    }
    SharedValue& operator=(T value) noexcept {
        store(value);
        return *this;
    }
    operator T() const noexcept { return load(); }
    T load() const noexcept { return value_.load(); }
    void store(T value) noexcept { value_.store(value); }

private:
    std::atomic<T> value_;
};

struct ModuleState {
    // ---- the node table
    // The record assigned to clear a node: node number 128, everything else empty.
    NodeRecord EmptyNodeRecord;
    // From index 0, in ascending node number: the local host adapter and every node that showed
    // the maker's company identifier. A node's index is not its node number once a node was
    // left out; element 0 with node number 128 means the table is empty.
    std::vector<NodeRecord> NodeTable = std::vector<NodeRecord>(1);
    // Node number of the local host adapter; 128 = none.
    SharedValue<uint8_t> LocalHostNode{kNoNode};
    // A rebuild is wanted (every long step of a pass tests it and gives up when it is set).
    SharedValue<bool> BusResetPending{false};
    // The node and target tables are complete.
    SharedValue<bool> TopologyReady{false};
    // The library has incoming data for the program (a halt broadcast is wanted).
    SharedValue<bool> IncomingDataPending{false};

    // ---- the local host
    // The virtual devices the library reported at the last refresh. Slot 0 is the device name
    // passed to every library call that names a device.
    VirtualDeviceListRecord VirtualDeviceList;
    // Host address ranges held; element 0 with Handle 0 = none.
    std::vector<AddressRangeRecord> AddressRanges = std::vector<AddressRangeRecord>(1);
    TopologyMapRecord TopologyMap;
    int32_t BusNumber = 0;                 // local bus number found by the last rebuild
    std::string CurrentVirtualDeviceName;  // last name read by the refresh
    bool NoBusInterface = false;           // no virtual device even after adding one
    int32_t PreviousVirtualDeviceCount = 0;  // count found by the last refresh

    // ---- the bus-reset pass
    int16_t PreviousNodeCount = 0;  // node count of the previous rebuild
    // True while a pump runs: a timer tick let through inside it must not start a second pass
    // that would rebuild the node table under the running one.
    bool BusResetPumpRunning = false;
    bool IncomingPumpRunning = false;

    // ---- the library binding
    int32_t ClientWindow = 0;   // window registered with the library (the notice text box)
    int32_t LibraryModule = 0;  // module handle of the loaded library; 0 = not loaded
    // The pump timers given with the library's load (the main window's), switched on once a
    // virtual device exists; none = nothing to switch on.
    IBusPumpTimers* PumpTimers = nullptr;
};

extern ModuleState State;

// Puts the whole record back as program start leaves it (a test starts from here).
void ResetModuleState();

}  // namespace bas1394
