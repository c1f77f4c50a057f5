// The 1394 bus devices as programs reach them: "\\.\1394BUS" + bus index, opened like a file and
// sent control requests (the bus driver's "add/remove virtual device" request, 0x220400).
//
// A request goes to the bus of that index in the bus service (started on first use), or to buses
// hosted in this process for tests. Results follow the platform: a call returns true or false
// and leaves its error number for GetLastError.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {
class Bus;
}

namespace busdev {

using Handle = uintptr_t;
inline constexpr Handle kInvalidHandle = ~Handle(0);

inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;

// The bus driver's request code.
inline constexpr uint32_t kIoctlBusApiRequest = 0x220400;
// Bus indexes a name may carry (a machine has a handful of 1394 buses at most).
inline constexpr uint32_t kMaxBuses = 64;

uint32_t GetLastError();
void SetLastError(uint32_t error);

// Opens "\\.\1394BUS<n>" (the name without regard to case): a handle, or kInvalidHandle with
// kErrorFileNotFound when the name is no bus device or that bus does not exist.
Handle CreateFile(const std::string& name);
// Sends a request; no output is ever returned (bytesReturned gets 0). False with the bus
// driver's error on failure, kErrorInvalidHandle for a handle that is not open.
bool DeviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned);
bool CloseHandle(Handle h);

// ---- Plug and Play ------------------------------------------------------------------------
//
// The bus driver enumerates what its buses carry into the device store, as the system's Plug and
// Play manager would:
//   - a Lumarel 460 on a bus (plugged in and switched on) is the present node
//     "1394\HALVORIN_INC&LUMA_REL\<GUID>" with the hardware ID "1394\Halvorin_Inc&LUMA_Rel";
//     the node is the unit's whichever image it runs, so it stays while the unit restarts
//     between its bootloader and its application;
//   - a virtual device added on bus n is the node "V1394\<NAME>\<n>&<instance>" with the
//     hardware ID "V1394\<NAME>"; while the node is bound to the driver of an installed INF
//     (devices::HasInstalledDriver) it has the virtual device driver's interface
//     (kVirtualDeviceInterfaceClass, device path "\\.\VDEV<n>_<instance>"), which the driver
//     publishes once it runs.
// A new node is bound to the installed INFs as it appears (devices::BindDrivers).
// The nodes it writes carry "Enumerator=1394"; such a node whose device has gone (unplugged,
// switched off, removed) is taken out of the store. Nodes of anyone else stay as they are. When
// the buses cannot be reached the store is left alone.
inline constexpr const char* kLumarelHardwareId = "1394\\Halvorin_Inc&LUMA_Rel";
inline constexpr const char* kVirtualDeviceInterfaceClass = "{737613E5-69EA-4B96-9C2A-EEBC220F4C39}";

// Brings the store up to date with the buses once. False when the buses could not be reached.
bool EnumerateBusDevices();

// While one lives, the store follows the buses: every device information set, re-enumeration
// and devices::RefreshNodes() first enumerates them. Programs that read the store hold one.
class PlugAndPlay {
public:
    PlugAndPlay();
    ~PlugAndPlay();
    PlugAndPlay(const PlugAndPlay&) = delete;
    PlugAndPlay& operator=(const PlugAndPlay&) = delete;

private:
    int id_;
};

// Tests: hosts these buses in this process (bus i answers "\\.\1394BUS" + its own index);
// an empty list goes back to the bus service. Close every handle first.
void HostBuses(const std::vector<sim::Bus*>& buses);
// Handles open now.
int OpenHandles();

}  // namespace busdev
