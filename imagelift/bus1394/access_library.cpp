#include "bus1394/access_library.h"

#include <dlfcn.h>

#include <array>

#include "vbrt/error.h"

namespace bas1394::lib {
namespace {

enum Fn {
    kRegisterClient,
    kDeRegisterClient,
    kSetDebugSpew,
    kAsyncReadWrapper,
    kAsyncWriteWrapper,
    kGetLocalHostInformation,
    kGet1394AddressFromDeviceObject,
    kAddVirtualDriver,
    kRemoveVirtualDriver,
    kBusReset,
    kAllocateAddressRange,
    kFreeAddressRange,
    kGetVirtualDeviceList,
    kQueryElapsedTimeMsLongInt,
    kHookSystemModule,
    kFnCount
};

constexpr std::array<const char*, kFnCount> kNames = {
    "RegisterClient",         "DeRegisterClient",
    "SetDebugSpew",           "AsyncReadWrapper",
    "AsyncWriteWrapper",      "GetLocalHostInformation",
    "Get1394AddressFromDeviceObject", "AddVirtualDriver",
    "RemoveVirtualDriver",    "BusReset",
    "AllocateAddressRange",   "FreeAddressRange",
    "GetVirtualDeviceList",   "QueryElapsedTimeMsLongInt",
    "HookSystemModule"};

struct Binding {
    void* module = nullptr;
    Resolver resolver;
    std::array<void*, kFnCount> bound{};
    // Optional exports of our own library, looked up once.
    bool sequenceLooked = false;
    void* sequence = nullptr;
};

Binding& TheBinding() {
    static Binding binding;
    return binding;
}

// Resolves a function on its first call: a library that lacks a function fails only when the
// program calls that function.
template <typename F>
F Get(Fn fn) {
    Binding& b = TheBinding();
    if (!b.resolver) {
        vb::Raise(53, "bas1394", std::string("File not found: ") + kAccessLibraryFile);
    }
    if (!b.bound[fn]) {
        b.bound[fn] = b.resolver(kNames[fn]);
        if (!b.bound[fn]) {
            vb::Raise(453, "bas1394",
                      std::string("Can't find DLL entry point ") + kNames[fn] + " in " +
                          kAccessLibraryFile);
        }
    }
    return reinterpret_cast<F>(b.bound[fn]);
}

// Our library's own reports of why it has no bus and of a bus other than the one named; a
// library without them simply has none.
constexpr const char* kBusErrorName = "Vsk1394BusError";
constexpr const char* kBusMismatchName = "Vsk1394BusMismatch";

std::string libraryReport(const char* name) {
    Binding& b = TheBinding();
    if (!b.resolver) return {};
    using Fn = int32_t (*)(char*, int32_t);
    auto fn = reinterpret_cast<Fn>(b.resolver(name));
    if (!fn) return {};
    char text[1200] = {};
    fn(text, int32_t(sizeof text));
    return text;
}

}  // namespace

int32_t Load(const std::string& path) {
    Unload();
    void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!module) return 0;
    Binding& b = TheBinding();
    b.module = module;
    b.resolver = [module](const char* name) { return dlsym(module, name); };
    // A 32-bit module handle for the log; never 0 for a loaded library.
    auto handle = static_cast<int32_t>(reinterpret_cast<uintptr_t>(module) & 0x7FFFFFF0u);
    return handle != 0 ? handle : 0x10;
}

void Unload() {
    Binding& b = TheBinding();
    if (b.module) dlclose(b.module);
    b = Binding{};
}

bool IsLoaded() { return static_cast<bool>(TheBinding().resolver); }

void BindForTesting(Resolver resolver) {
    Unload();
    TheBinding().resolver = std::move(resolver);
}

std::string BusUnavailableReason() { return libraryReport(kBusErrorName); }
std::string BusDescriptionMismatch() { return libraryReport(kBusMismatchName); }

int32_t RegisterClient(int32_t hwnd) {
    return Get<int32_t (*)(int32_t)>(kRegisterClient)(hwnd);
}
int32_t DeRegisterClient(int32_t hwnd) {
    return Get<int32_t (*)(int32_t)>(kDeRegisterClient)(hwnd);
}
int32_t SetDebugSpew(int32_t hwnd, int32_t level) {
    return Get<int32_t (*)(int32_t, int32_t)>(kSetDebugSpew)(hwnd, level);
}
int32_t AsyncReadWrapper(int32_t node, const Address48* address, int32_t byteCount, uint8_t* data,
                         int32_t timeoutMs) {
    return Get<int32_t (*)(int32_t, const Address48*, int32_t, uint8_t*, int32_t)>(
        kAsyncReadWrapper)(node, address, byteCount, data, timeoutMs);
}
int32_t AsyncWriteWrapper(int32_t node, const Address48* address, int32_t byteCount,
                          const uint8_t* data, int32_t timeoutMs) {
    return Get<int32_t (*)(int32_t, const Address48*, int32_t, const uint8_t*, int32_t)>(
        kAsyncWriteWrapper)(node, address, byteCount, data, timeoutMs);
}
namespace {
using SequenceFn = int32_t (*)(AsyncTransferRecord*, int32_t);
SequenceFn sequenceFn() {
    Binding& b = TheBinding();
    if (!b.resolver) return nullptr;
    if (!b.sequenceLooked) {
        b.sequence = b.resolver("AsyncTransferSequence");
        b.sequenceLooked = true;
    }
    return reinterpret_cast<SequenceFn>(b.sequence);
}
}  // namespace

bool HasAsyncTransferSequence() { return sequenceFn() != nullptr; }

int32_t AsyncTransferSequence(AsyncTransferRecord* transfers, int32_t count) {
    SequenceFn fn = sequenceFn();
    if (!fn) {
        vb::Raise(453, "bas1394",
                  std::string("Can't find DLL entry point AsyncTransferSequence in ") + kAccessLibraryFile);
    }
    return fn(transfers, count);
}

int32_t GetLocalHostInformation(int32_t hwnd, const char* deviceName, HostInfoRequest* request,
                                int32_t reserved) {
    return Get<int32_t (*)(int32_t, const char*, HostInfoRequest*, int32_t)>(
        kGetLocalHostInformation)(hwnd, deviceName, request, reserved);
}
int32_t Get1394AddressFromDeviceObject(int32_t hwnd, const char* deviceName,
                                       NodeAddressRequest* request) {
    return Get<int32_t (*)(int32_t, const char*, NodeAddressRequest*)>(
        kGet1394AddressFromDeviceObject)(hwnd, deviceName, request);
}
int32_t AddVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* descriptor,
                         int32_t reserved) {
    return Get<int32_t (*)(const int32_t*, VirtualDeviceDescriptor*, int32_t)>(kAddVirtualDriver)(
        hwnd, descriptor, reserved);
}
int32_t RemoveVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* descriptor,
                            int32_t reserved) {
    return Get<int32_t (*)(const int32_t*, VirtualDeviceDescriptor*, int32_t)>(
        kRemoveVirtualDriver)(hwnd, descriptor, reserved);
}
int32_t BusReset(const int32_t* hwnd, const char* deviceName, const int32_t* flags) {
    return Get<int32_t (*)(const int32_t*, const char*, const int32_t*)>(kBusReset)(
        hwnd, deviceName, flags);
}
int32_t AllocateAddressRange(const int32_t* hwnd, const char* deviceName, AddressRangeRecord* range,
                             int32_t reserved) {
    return Get<int32_t (*)(const int32_t*, const char*, AddressRangeRecord*, int32_t)>(
        kAllocateAddressRange)(hwnd, deviceName, range, reserved);
}
int32_t FreeAddressRange(const int32_t* hwnd, const char* deviceName, int32_t handle) {
    return Get<int32_t (*)(const int32_t*, const char*, int32_t)>(kFreeAddressRange)(
        hwnd, deviceName, handle);
}
int32_t GetVirtualDeviceList(VirtualDeviceListRecord* list) {
    return Get<int32_t (*)(VirtualDeviceListRecord*)>(kGetVirtualDeviceList)(list);
}
int32_t QueryElapsedTimeMsLongInt(const int64_t* startCounter) {
    return Get<int32_t (*)(const int64_t*)>(kQueryElapsedTimeMsLongInt)(startCounter);
}
int32_t HookSystemModule(const char* moduleName) {
    return Get<int32_t (*)(const char*)>(kHookSystemModule)(moduleName);
}

}  // namespace bas1394::lib
