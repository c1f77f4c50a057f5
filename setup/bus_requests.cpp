#include "setup/bus_requests.h"

#include <cstring>
#include <string>

#include "devices/bus_devices.h"

namespace setup {
namespace {

void putLe32(std::vector<uint8_t>& b, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) b[at + i] = uint8_t(v >> (8 * i));
}

std::string busDeviceName(uint32_t busIndex) { return "\\\\.\\1394BUS" + std::to_string(busIndex); }

uint32_t send(uint32_t request, const VirtualDevice& device, uint32_t busIndex) {
    const busdev::Handle h = busdev::CreateFile(busDeviceName(busIndex));
    if (h == busdev::kInvalidHandle) return kNoSuchBus;
    const std::vector<uint8_t> record = BusRequestRecord(request, device);
    uint32_t returned = 0;
    uint32_t result = 0;
    if (!busdev::DeviceIoControl(h, busdev::kIoctlBusApiRequest, record.data(), uint32_t(record.size()), nullptr, 0,
                                 &returned))
        result = busdev::GetLastError();
    busdev::CloseHandle(h);
    return result;
}

}  // namespace

std::vector<uint8_t> BusRequestRecord(uint32_t request, const VirtualDevice& device) {
    const size_t n = device.deviceId ? std::strlen(device.deviceId) : 0;
    std::vector<uint8_t> record(n + 32, 0);
    putLe32(record, 0, request);
    putLe32(record, 4, request == kRequestAdd ? device.flags : 0);
    putLe32(record, 8, device.flags);
    putLe32(record, 16, uint32_t(device.instanceId));
    putLe32(record, 20, uint32_t(device.instanceId >> 32));
    if (n) std::memcpy(record.data() + 24, device.deviceId, n);
    return record;
}

uint32_t AddVirtualDevice(const VirtualDevice& device, uint32_t busIndex) {
    return send(kRequestAdd, device, busIndex);
}

uint32_t RemoveVirtualDevice(const VirtualDevice& device, uint32_t busIndex) {
    if (!device.deviceId || !*device.deviceId) return 87;
    return send(kRequestRemove, device, busIndex);
}

std::vector<uint32_t> ForEachBus(const std::function<uint32_t(const VirtualDevice&, uint32_t)>& call) {
    std::vector<uint32_t> results;
    for (uint32_t bus = 0; bus < kMaxBusLoop; ++bus) {
        VirtualDevice device;
        device.instanceId = bus;
        results.push_back(call(device, bus));
        if (results.back() == kNoSuchBus) break;
    }
    return results;
}

}  // namespace setup
