// Loads "Vsk1394api.dll" from the program folder (LUMAREL_BIN) with dlopen and binds its
// exports by name, as the downloader does.
#pragma once

#include <dlfcn.h>

#include <cstdlib>
#include <stdexcept>
#include <string>

#include "vsk1394/hosting.h"
#include "vsk1394/vsk1394api.h"

namespace vsktest {

struct Api {
    void* handle = nullptr;
    decltype(&::RegisterClient) RegisterClient = nullptr;
    decltype(&::DeRegisterClient) DeRegisterClient = nullptr;
    decltype(&::SetDebugSpew) SetDebugSpew = nullptr;
    decltype(&::AsyncReadWrapper) AsyncReadWrapper = nullptr;
    decltype(&::AsyncWriteWrapper) AsyncWriteWrapper = nullptr;
    decltype(&::AsyncTransferSequence) AsyncTransferSequence = nullptr;
    decltype(&::GetLocalHostInformation) GetLocalHostInformation = nullptr;
    decltype(&::Get1394AddressFromDeviceObject) Get1394AddressFromDeviceObject = nullptr;
    decltype(&::AddVirtualDriver) AddVirtualDriver = nullptr;
    decltype(&::RemoveVirtualDriver) RemoveVirtualDriver = nullptr;
    decltype(&::BusReset) BusReset = nullptr;
    decltype(&::AllocateAddressRange) AllocateAddressRange = nullptr;
    decltype(&::FreeAddressRange) FreeAddressRange = nullptr;
    decltype(&::GetVirtualDeviceList) GetVirtualDeviceList = nullptr;
    decltype(&::QueryElapsedTimeMsLongInt) QueryElapsedTimeMsLongInt = nullptr;
    decltype(&::HookSystemModule) HookSystemModule = nullptr;
    decltype(&::Vsk1394HostBus) HostBus = nullptr;
    decltype(&::Vsk1394InProcessBus) InProcessBus = nullptr;
    decltype(&::Vsk1394Control) Control = nullptr;
    decltype(&::Vsk1394BusError) BusError = nullptr;

    static std::string Path() {
        const char* bin = std::getenv("LUMAREL_BIN");
        return std::string(bin ? bin : ".") + "/Vsk1394api.dll";
    }

    Api() {
        handle = dlopen(Path().c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!handle) throw std::runtime_error(std::string("dlopen: ") + dlerror());
        bind(RegisterClient, "RegisterClient");
        bind(DeRegisterClient, "DeRegisterClient");
        bind(SetDebugSpew, "SetDebugSpew");
        bind(AsyncReadWrapper, "AsyncReadWrapper");
        bind(AsyncWriteWrapper, "AsyncWriteWrapper");
        bind(AsyncTransferSequence, "AsyncTransferSequence");
        bind(GetLocalHostInformation, "GetLocalHostInformation");
        bind(Get1394AddressFromDeviceObject, "Get1394AddressFromDeviceObject");
        bind(AddVirtualDriver, "AddVirtualDriver");
        bind(RemoveVirtualDriver, "RemoveVirtualDriver");
        bind(BusReset, "BusReset");
        bind(AllocateAddressRange, "AllocateAddressRange");
        bind(FreeAddressRange, "FreeAddressRange");
        bind(GetVirtualDeviceList, "GetVirtualDeviceList");
        bind(QueryElapsedTimeMsLongInt, "QueryElapsedTimeMsLongInt");
        bind(HookSystemModule, "HookSystemModule");
        bind(HostBus, "Vsk1394HostBus");
        bind(InProcessBus, "Vsk1394InProcessBus");
        bind(Control, "Vsk1394Control");
        bind(BusError, "Vsk1394BusError");
    }
    ~Api() {
        if (handle) dlclose(handle);
    }
    Api(const Api&) = delete;
    Api& operator=(const Api&) = delete;

    template <typename F>
    void bind(F& f, const char* name) {
        f = reinterpret_cast<F>(dlsym(handle, name));
        if (!f) throw std::runtime_error(std::string("missing export ") + name);
    }

    // Sends a control command; returns the answer text (and the code through `code`).
    std::string Command(const std::string& json, int32_t* code = nullptr) {
        char reply[65536];
        int32_t c = Control(json.c_str(), reply, sizeof reply);
        if (code) *code = c;
        return reply;
    }

    // Adds a virtual device the way the downloader does (33-byte zero-filled name buffer).
    int32_t AddDevice(const std::string& name, int32_t window = 0) {
        char buf[kVirtualDeviceNameMax] = {};
        name.copy(buf, sizeof buf);
        VirtualDeviceDescriptor d{0, 0, 0, 0, buf};
        return AddVirtualDriver(&window, &d, 0);
    }
};

inline Address48 At(uint16_t high, uint32_t low) { return Address48{int16_t(high), 0, int32_t(low)}; }

// A 256-byte name slot holding a virtual device name, as the downloader passes slot 0.
struct DeviceSlot {
    char name[kVirtualDeviceNameBytes] = {};
    explicit DeviceSlot(const std::string& n) { n.copy(name, sizeof name - 1); }
};

// The host range the bootloader layer allocates for its targets' callbacks.
inline AddressRangeRecord CallbackRange(uint32_t low = 0xC8029000u, int32_t length = 64) {
    AddressRangeRecord r{};
    r.Word0 = r.Word1 = 1;
    r.Length = length;
    r.AccessFlags = 11;
    r.NotifyFlags = 3;
    r.Address = At(0xFFFF, low);
    return r;
}

// The request for the local host's topology map.
inline HostInfoRequest TopologyRequest() {
    HostInfoRequest req{};
    req.Level = 6;
    req.BufferSize = 4096;
    req.CsrHigh = -1;
    req.CsrLow = int32_t(0xF0001000u);
    req.CsrLength = 1024;
    return req;
}

}  // namespace vsktest
