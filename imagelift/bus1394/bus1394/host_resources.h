// The local host's side of the bus: the virtual devices through which the bus is reached,
// the topology map, the local node and bus number, host address ranges that remote nodes may
// write into, bus reset requests. What these calls find is kept in the bus layer's state
// (bus1394/state.h).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/library_records.h"
#include "bus1394/node_records.h"

namespace bas1394 {

// The first virtual device name: slot 0 of the virtual device list (256 bytes), passed to
// every library call that names a device.
const char* FirstVirtualDeviceName();

inline constexpr char kVirtualDeviceName[] = "1394_VIRTUAL_DEVICE";

// The pump timers that run the bus-reset and incoming-data passes (the main window's), given to
// the bus layer when the access library is loaded; the refresh switches them on once a virtual
// device exists.
class IBusPumpTimers {
public:
    virtual ~IBusPumpTimers() = default;
    virtual void EnableBusResetTimer() = 0;      // tmrBusReset.Enabled = True
    virtual void EnableIncomingDataTimer() = 0;  // tmrIncomingData.Enabled = True
};

// Allocates a host range (e.g. "0xffffc8029000", "0x40") and keeps it in AddressRanges:
// 1 = allocated, -1 = not (a failed allocation leaves no element behind).
int32_t Allocate1394Memory(const std::string& addressText, const std::string& lengthText);
int32_t AllocateAddressRangeVB(AddressRangeRecord& range);
int32_t FreeAddressRangeVB(int32_t handle);

// Reads the topology map into `map`; a map that runs past its buffer raises to the caller.
int32_t GetLocalHostInfo(TopologyMapRecord& map);
// Local node number 0..63, or -1.
int32_t GetLocalHostNode();
// Local bus number 0..1023, or -1.
int32_t GetBusNumber();

// Adds/removes a virtual device by name (at most 33 characters; longer raises error 9).
int32_t AddVirtualDevice(int32_t& window, const std::string& name);
int32_t RemoveVirtualDevice(int32_t& window, const std::string& name);
// Asks for a bus reset; the library reports it later with its bus-reset notice.
int32_t ResetBus();

// Re-reads the virtual device list, adding "1394_VIRTUAL_DEVICE" when there is none.
// Returns the library's count (at most ten slots are read whatever it says).
int32_t RefreshVirtualDeviceList();

}  // namespace bas1394
