#include "audiodrv/audiodrv.h"

#include <algorithm>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <variant>
#include <vector>

#include "service/host.h"
#include "service/open_bus.h"

namespace audiodrv {

namespace {

// The control device's name as the driver publishes it.
constexpr const char* kControlDeviceName = "\\\\.\\{006902CB-E626-45b4-8A62-2EAAD63F8D12}";

struct InterfaceSet {
    std::vector<std::string> paths;
};
struct Device {
    std::string node;
    bool overlapped = false;
};
struct Event {
    bool manualReset = false;
    bool set = false;
};
using Object = std::variant<InterfaceSet, Device, Event>;

struct Pending {
    Handle device = 0;
    uint32_t error = 0;
    std::vector<uint8_t> reply;
    void* out = nullptr;
};

struct State {
    std::mutex m;
    std::map<Handle, Object> objects;
    Handle next = 0x100;
    std::map<uint32_t, Pending> pending;
    uint32_t nextPending = 1;
    std::unique_ptr<bussvc::BusHost> host;
    std::shared_ptr<bussvc::Access> access;
    bool pendingMode = false;
    int failEvents = 0;
    bool failCloses = false;
};

State& state() {
    static State* s = new State;  // outlives every static object that may still close handles
    return *s;
}

thread_local uint32_t lastError = 0;

bool fail(uint32_t error) {
    lastError = error;
    return false;
}

bool sameText(const std::string& a, const std::string& b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// The way to the bus: the bus hosted here, else the bus service (started when none runs).
std::shared_ptr<bussvc::Access> access() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (!s.access) s.access = bussvc::OpenBus(s.host.get(), nullptr);
    return s.access;
}

std::vector<bussvc::AudioUnitInfo> units() {
    std::vector<bussvc::AudioUnitInfo> list;
    auto a = access();
    if (!a || a->AudioUnits(list) != 0) list.clear();
    return list;
}

Handle add(Object o) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    Handle h = s.next++;
    s.objects.emplace(h, std::move(o));
    return h;
}

}  // namespace

uint32_t GetLastError() { return lastError; }
void SetLastError(uint32_t error) { lastError = error; }

Handle GetClassDevs(const Guid& classGuid, uint32_t flags) {
    InterfaceSet set;
    // Only the audio driver's class has interfaces here, and only present devices have them.
    if (classGuid == kAudioInterfaceClass && (flags & kDigcfDeviceInterface))
        for (const auto& u : units()) set.paths.push_back(u.interfacePath);
    return add(std::move(set));
}

bool EnumDeviceInterface(Handle set, const Guid& classGuid, uint32_t index, std::string& devicePath) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.objects.find(set);
    if (it == s.objects.end() || !std::holds_alternative<InterfaceSet>(it->second)) return fail(kErrorInvalidHandle);
    const auto& paths = std::get<InterfaceSet>(it->second).paths;
    if (!(classGuid == kAudioInterfaceClass) || index >= paths.size()) return fail(kErrorNoMoreItems);
    devicePath = paths[index];
    return true;
}

bool DestroyDeviceInfoList(Handle set) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.objects.find(set);
    if (it == s.objects.end() || !std::holds_alternative<InterfaceSet>(it->second)) return fail(kErrorInvalidHandle);
    s.objects.erase(it);
    return true;
}

Handle CreateFile(const std::string& path, uint32_t flags) {
    Device d;
    d.overlapped = (flags & kFileFlagOverlapped) != 0;
    for (const auto& u : units()) {
        if (sameText(path, kControlDeviceName) ? u.controlOpenable : sameText(path, u.interfacePath)) {
            d.node = u.node;
            break;
        }
    }
    if (d.node.empty()) {
        lastError = kErrorFileNotFound;
        return kInvalidHandle;
    }
    return add(std::move(d));
}

Handle CreateEvent(bool manualReset, bool initialState) {
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        if (s.failEvents > 0) {
            --s.failEvents;
            lastError = kErrorNotEnoughMemory;
            return 0;
        }
    }
    return add(Event{manualReset, initialState});
}

bool CloseHandle(Handle h) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.objects.find(h);
    if (it == s.objects.end()) return fail(kErrorInvalidHandle);
    if (std::holds_alternative<Device>(it->second)) {
        if (s.failCloses) return fail(kErrorGenFailure);
        for (auto p = s.pending.begin(); p != s.pending.end();)
            p = p->second.device == h ? s.pending.erase(p) : std::next(p);
    }
    s.objects.erase(it);
    return true;
}

bool DeviceIoControl(Handle h, uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                     uint32_t* bytesReturned, Overlapped* overlapped) {
    Device d;
    bool pendingMode = false;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.objects.find(h);
        if (it == s.objects.end() || !std::holds_alternative<Device>(it->second)) return fail(kErrorInvalidHandle);
        d = std::get<Device>(it->second);
        pendingMode = s.pendingMode;
    }
    if (d.overlapped && !overlapped) return fail(kErrorInvalidParameter);
    if (inSize > bussvc::kMaxAudioBytes || (inSize && !in) || (outSize && !out)) return fail(kErrorInvalidParameter);
    std::vector<uint8_t> input(static_cast<const uint8_t*>(in), static_cast<const uint8_t*>(in) + inSize);
    std::vector<uint8_t> reply;
    uint32_t error = 0;
    auto a = access();
    if (!a || a->AudioRequest(d.node, code, input, outSize, error, reply) != 0) return fail(kErrorDeviceNotConnected);
    if (reply.size() > outSize) reply.resize(outSize);
    if (d.overlapped && pendingMode) {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        uint32_t id = s.nextPending++;
        s.pending[id] = Pending{h, error, std::move(reply), out};
        overlapped->pendingId = id;
        return fail(kErrorIoPending);
    }
    if (!reply.empty()) std::memcpy(out, reply.data(), reply.size());
    if (bytesReturned) *bytesReturned = uint32_t(reply.size());
    if (error) return fail(error);
    return true;
}

bool GetOverlappedResult(Handle h, Overlapped* overlapped, uint32_t* bytesReturned, bool wait) {
    (void)wait;  // a pending request here has its answer already: waiting costs nothing
    if (!overlapped) return fail(kErrorInvalidParameter);
    Pending p;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.pending.find(overlapped->pendingId);
        if (it == s.pending.end() || it->second.device != h) return fail(kErrorInvalidParameter);
        p = std::move(it->second);
        s.pending.erase(it);
        overlapped->pendingId = 0;
    }
    if (!p.reply.empty()) std::memcpy(p.out, p.reply.data(), p.reply.size());
    if (bytesReturned) *bytesReturned = uint32_t(p.reply.size());
    if (p.error) return fail(p.error);
    return true;
}

void HostBus(sim::Bus* bus) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.access.reset();
    s.host.reset();
    if (bus) s.host = std::make_unique<bussvc::BusHost>(*bus);
}

void SetPendingCompletion(bool pending) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.pendingMode = pending;
}

void FailEventCreations(int n) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.failEvents = n;
}

void FailCloses(bool fail) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    s.failCloses = fail;
}

int OpenHandles() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    return int(s.objects.size());
}

}  // namespace audiodrv
