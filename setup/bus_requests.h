// Virtual devices on the 1394 buses, through the bus driver's devices "\\.\1394BUS" + n.
//
// The update adds a "1394_VIRTUAL_DEVICE" on every bus so that the virtual-device driver loads
// and the downloader can reach the bus; every way out of the dialog removes them again.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <vector>

namespace setup {

inline constexpr char kVirtualDeviceId[] = "1394_VIRTUAL_DEVICE";

// One virtual device: flags (always 0), instance ID (the bus index), device ID.
struct VirtualDevice {
    uint32_t flags = 0;
    uint64_t instanceId = 0;
    const char* deviceId = kVirtualDeviceId;
};

inline constexpr uint32_t kRequestAdd = 1;
inline constexpr uint32_t kRequestRemove = 2;

// The bus driver's request record: 24 bytes of header (request, request flags, virtual-device
// flags, reserved, instance low, instance high; little-endian), the device ID without its NUL,
// then 8 zero bytes.
std::vector<uint8_t> BusRequestRecord(uint32_t request, const VirtualDevice& device);

// Results: 0 done; 6 when the bus device cannot be opened; otherwise the bus driver's error.
// RemoveVirtualDevice answers 87 before opening anything when the device has no device ID.
uint32_t AddVirtualDevice(const VirtualDevice& device, uint32_t busIndex);
uint32_t RemoveVirtualDevice(const VirtualDevice& device, uint32_t busIndex);

inline constexpr uint32_t kNoSuchBus = 6;
// Buses the loop tries at most.
inline constexpr uint32_t kMaxBusLoop = 64;

// Runs `call` for bus 0, 1, 2 ... with a device whose instance ID is the bus index, until a bus
// does not exist (6). A failure on one bus does not keep the next from its turn. The results,
// one per bus tried (the last is the 6 that ended the loop, unless the bound did).
std::vector<uint32_t> ForEachBus(const std::function<uint32_t(const VirtualDevice&, uint32_t)>& call);

}  // namespace setup
