// The Lumarel 460's audio driver as programs reach it: the interface list of its device class,
// its device handles and their control requests.
//
// The driver publishes one interface of the class {006902CB-E626-45B4-8A62-2EAAD63F8D12} per
// audio interface whose application runs, and one control device under the fixed name
// "\\.\{006902CB-E626-45b4-8A62-2EAAD63F8D12}" (names compare without regard to case). A handle
// is opened plain or overlapped; requests on it go to the unit through the bus service (or a bus
// hosted in this process, for tests). Results follow the platform: a call returns true or false
// and leaves its error number for GetLastError.
//
// Overlapped requests complete at once by default. A test switch makes them return false with
// ERROR_IO_PENDING, to be finished by GetOverlappedResult, as a driver that queues them would.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace sim {
class Bus;
}

namespace audiodrv {

using Handle = uintptr_t;  // 0: none
inline constexpr Handle kInvalidHandle = ~Handle(0);

struct Guid {
    uint32_t data1 = 0;
    uint16_t data2 = 0, data3 = 0;
    std::array<uint8_t, 8> data4{};
    bool operator==(const Guid&) const = default;
};
// The audio driver's device interface class.
inline constexpr Guid kAudioInterfaceClass{0x006902CB, 0xE626, 0x45B4, {0x8A, 0x62, 0x2E, 0xAA, 0xD6, 0x3F, 0x8D, 0x12}};

// Flags of GetClassDevs and CreateFile.
inline constexpr uint32_t kDigcfPresent = 0x02;
inline constexpr uint32_t kDigcfDeviceInterface = 0x10;
inline constexpr uint32_t kFileFlagOverlapped = 0x40000000;

// Error numbers.
inline constexpr uint32_t kErrorFileNotFound = 2;
inline constexpr uint32_t kErrorInvalidHandle = 6;
inline constexpr uint32_t kErrorNotEnoughMemory = 8;
inline constexpr uint32_t kErrorGenFailure = 31;
inline constexpr uint32_t kErrorInvalidParameter = 87;
inline constexpr uint32_t kErrorInsufficientBuffer = 122;
inline constexpr uint32_t kErrorNoMoreItems = 259;
inline constexpr uint32_t kErrorIoIncomplete = 996;
inline constexpr uint32_t kErrorIoPending = 997;
inline constexpr uint32_t kErrorDeviceNotConnected = 1167;

uint32_t GetLastError();
void SetLastError(uint32_t error);

// The overlapped record of a request: the event set when it completes, and what the driver
// keeps while it is pending.
struct Overlapped {
    Handle event = 0;
    uint32_t pendingId = 0;  // the driver's, 0 when nothing is pending
};

// --- interface list ---
// The present interfaces of a class: a set handle, or kInvalidHandle (error set).
Handle GetClassDevs(const Guid& classGuid, uint32_t flags);
// The device path of the set's interface at `index`; false with kErrorNoMoreItems past the end.
bool EnumDeviceInterface(Handle set, const Guid& classGuid, uint32_t index, std::string& devicePath);
bool DestroyDeviceInfoList(Handle set);

// --- handles ---
// Opens a device path (an interface path from the list, or the control device's name):
// a handle, or kInvalidHandle with kErrorFileNotFound.
Handle CreateFile(const std::string& path, uint32_t flags);
// An auto-reset or manual-reset event, initially set or not (0 with an error when none).
Handle CreateEvent(bool manualReset, bool initialState);
// Closes a device handle, an event or a set.
bool CloseHandle(Handle h);
// A control request. With an overlapped handle `overlapped` must be given; the request may end
// pending (false, kErrorIoPending): the reply lands in `out` when it completes.
bool DeviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned, Overlapped* overlapped);
// The outcome of an overlapped request; with wait false a request still pending gives
// kErrorIoIncomplete.
bool GetOverlappedResult(Handle h, Overlapped* overlapped, uint32_t* bytesReturned, bool wait);

// --- test switches ---
// Hosts `bus` in this process (nullptr: back to the bus service). Close every handle first.
void HostBus(sim::Bus* bus);
// Overlapped requests end pending and complete in GetOverlappedResult.
void SetPendingCompletion(bool pending);
// The next n event creations fail (out of resources).
void FailEventCreations(int n);
// Closing a device handle fails (the handle stays valid) while set.
void FailCloses(bool fail);
// Handles (devices, events, sets) open now.
int OpenHandles();

}  // namespace audiodrv
