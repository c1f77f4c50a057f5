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

// Tests: hosts these buses in this process (bus i answers "\\.\1394BUS" + its own index);
// an empty list goes back to the bus service. Close every handle first.
void HostBuses(const std::vector<sim::Bus*>& buses);
// Handles open now.
int OpenHandles();

}  // namespace busdev
