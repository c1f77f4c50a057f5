#include "devices/bus_devices.h"

#include <cctype>
#include <map>
#include <memory>
#include <mutex>

#include "service/host.h"
#include "service/open_bus.h"

namespace busdev {
namespace {

struct State {
    std::mutex m;
    std::map<Handle, uint32_t> open;  // handle -> bus index
    Handle next = 0x200;
    std::vector<std::unique_ptr<bussvc::BusHost>> hosts;
    std::shared_ptr<bussvc::Access> access;
};

State& state() {
    static State* s = new State;  // outlives static objects that may still close handles
    return *s;
}

thread_local uint32_t lastError = 0;

bool fail(uint32_t error) {
    lastError = error;
    return false;
}

// The bus index a device name names, or -1.
int64_t busIndexOf(const std::string& name) {
    static const std::string prefix = "\\\\.\\1394BUS";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 3) return -1;
    for (size_t i = 0; i < prefix.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(name[i])) != prefix[i]) return -1;
    int64_t index = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (!std::isdigit(static_cast<unsigned char>(name[i]))) return -1;
        index = index * 10 + (name[i] - '0');
    }
    if (name.size() > prefix.size() + 1 && name[prefix.size()] == '0') return -1;  // "01" names nothing
    return index < int64_t(kMaxBuses) ? index : -1;
}

// The way to the buses: the first hosted bus (which forwards to the others), else the service.
std::shared_ptr<bussvc::Access> access() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (!s.access) s.access = bussvc::OpenBus(s.hosts.empty() ? nullptr : s.hosts.front().get(), nullptr);
    return s.access;
}

// A request code no bus device takes: the bus answers "invalid function" when it exists and
// "invalid handle" when it does not, and changes nothing.
constexpr uint32_t kProbeCode = 0;

}  // namespace

uint32_t GetLastError() { return lastError; }
void SetLastError(uint32_t error) { lastError = error; }

Handle CreateFile(const std::string& name) {
    const int64_t index = busIndexOf(name);
    if (index < 0) {
        lastError = kErrorFileNotFound;
        return kInvalidHandle;
    }
    auto a = access();
    if (!a || a->BusDeviceRequest(uint32_t(index), kProbeCode, {}) == int32_t(kErrorInvalidHandle)) {
        lastError = kErrorFileNotFound;
        return kInvalidHandle;
    }
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    const Handle h = s.next++;
    s.open.emplace(h, uint32_t(index));
    return h;
}

bool DeviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned) {
    (void)out, (void)outSize;
    if (bytesReturned) *bytesReturned = 0;
    uint32_t index = 0;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.open.find(h);
        if (it == s.open.end()) return fail(kErrorInvalidHandle);
        index = it->second;
    }
    if (!in && inSize) return fail(kErrorInvalidParameter);
    const auto* p = static_cast<const uint8_t*>(in);
    std::vector<uint8_t> input(p, p + inSize);
    auto a = access();
    if (!a) return fail(kErrorGenFailure);
    const int32_t result = a->BusDeviceRequest(index, code, input);
    if (result != 0) return fail(uint32_t(result));
    return true;
}

bool CloseHandle(Handle h) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (s.open.erase(h) == 0) return fail(kErrorInvalidHandle);
    return true;
}

void HostBuses(const std::vector<sim::Bus*>& buses) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.access.reset();
    s.hosts.clear();
    for (sim::Bus* bus : buses) s.hosts.push_back(std::make_unique<bussvc::BusHost>(*bus));
    for (auto& host : s.hosts) {
        host->SetOtherBuses([&s](uint32_t index) -> bussvc::BusHost* {
            for (auto& h : s.hosts)
                if (uint32_t(h->Bus().BusIndex()) == index) return h.get();
            return nullptr;
        });
    }
}

int OpenHandles() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    return int(s.open.size());
}

}  // namespace busdev
