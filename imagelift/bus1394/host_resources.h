// The local host's side of the bus: the virtual devices through which the bus is reached,
// the topology map, the local node and bus number, host address ranges that remote nodes may
// write into, bus reset requests.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/library_records.h"
#include "bus1394/node_records.h"

namespace bas1394 {


// The virtual devices the library reported at the last refresh. Slot 0 is the device name
// passed to every library call that names a device.
extern VirtualDeviceListRecord VirtualDeviceList;
// The first virtual device name: slot 0 of VirtualDeviceList (256 bytes).
const char* FirstVirtualDeviceName();

// Host address ranges held; element 0 with Handle 0 = none.
extern std::vector<AddressRangeRecord> AddressRanges;

// The local host's topology map, one decoded self-ID entry per node (entry k = node k).
struct TopologyMapRecord {
    int32_t Length = 0;
    int32_t Crc = 0;
    int32_t Generation = 0;
    int16_t NodeCount = 0;
    int16_t SelfIdCount = 0;
    std::vector<TopologyNodeEntry> Entries = std::vector<TopologyNodeEntry>(1);
};
extern TopologyMapRecord TopologyMap;

extern int32_t BusNumber;                    // local bus number found by the last rebuild
extern std::string CurrentVirtualDeviceName; // last name read by the refresh
extern bool NoBusInterface;                  // no virtual device even after adding one
extern int32_t PreviousVirtualDeviceCount;   // count found by the last refresh

inline constexpr char kVirtualDeviceName[] = "1394_VIRTUAL_DEVICE";

// The main window's pump timers, when the main window offers them (the refresh switches them
// on once a virtual device exists). The main window implements this beside its other members.
class IBusPumpTimers {
public:
    virtual ~IBusPumpTimers() = default;
    virtual void EnableBusResetTimer() = 0;      // tmrBusReset.Enabled = True
    virtual void EnableIncomingDataTimer() = 0;  // tmrIncomingData.Enabled = True
};

// Allocates a host range (e.g. "0xffffc8029000", "0x40"): 1 = allocated, -1 = not (a failed
// allocation leaves no element behind).
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
