// A stand-in for the 1394 access library, bound in place of the loaded file: nodes with their
// config ROMs and self-ID flags, a virtual device list, address ranges, and hooks through which
// a test injects result codes, bus resets and pending window events. It counts every call.
#pragma once

#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "bus1394/access_library.h"
#include "bus1394/library_records.h"
#include "clock/clock.h"

namespace bustest {

using bas1394::Address48;

struct FakeNode {
    std::map<uint32_t, uint32_t> space;  // quadlets by low address (high part 0xFFFF)
    bool linkActive = true;
    bool morePackets = false;            // self-ID followed by one extended packet
};

struct FakeLibrary {
    std::vector<FakeNode> nodes;
    int localNode = 0;
    std::vector<std::string> virtualDevices{"1394_VIRTUAL_DEVICE"};
    int32_t claimedDeviceCount = -1;     // >= 0: the count reported instead of the list size
    bool addDeviceWorks = true;
    int32_t nodeAddressResult = 0;
    uint16_t busId = 0x3FF;
    int32_t registerResult = 1;
    int32_t nextHandle = 0x100;
    int32_t allocateResult = 0;
    int32_t freeResult = 0;
    int32_t debugSpewResult = 0;
    int32_t spewWindow = 0, spewLevel = 0;  // arguments of the last SetDebugSpew

    // Called before every read/write request; a value overrides the outcome.
    std::function<std::optional<int32_t>(int32_t node, uint32_t address, int32_t bytes)> onRead;
    std::function<std::optional<int32_t>(int32_t node, uint32_t address, int32_t bytes)> onWrite;

    // Offers our library's sequence of transactions in one call (bound by OfferSequence).
    bool offersSequence = false;

    std::map<std::string, int> calls;
    std::vector<std::pair<int32_t, uint32_t>> reads;  // node and address of each read request
    std::vector<int32_t> readTimeouts;
    std::vector<std::vector<uint8_t>> writes;
    std::vector<bas1394::AddressRangeRecord> allocated;
    std::vector<int32_t> freed;
    std::vector<std::string> addedDevices, removedDevices;

    void Resize(size_t n) { nodes.resize(n); }
    void AddRom(int node, const std::vector<uint32_t>& quadlets, uint32_t base = 0xF0000400u) {
        if (static_cast<size_t>(node) >= nodes.size()) nodes.resize(static_cast<size_t>(node) + 1);
        for (size_t i = 0; i < quadlets.size(); ++i) {
            nodes[static_cast<size_t>(node)].space[base + 4 * uint32_t(i)] = quadlets[i];
        }
    }
};

inline FakeLibrary& Fake() {
    static FakeLibrary fake;
    return fake;
}

namespace fakefn {

inline constexpr int32_t kNoResponse = 121;
inline constexpr int32_t kAddressError = static_cast<int32_t>(0x80000017u);

inline int32_t RegisterClient(int32_t) { ++Fake().calls["RegisterClient"]; return Fake().registerResult; }
inline int32_t DeRegisterClient(int32_t) { ++Fake().calls["DeRegisterClient"]; return 0; }
inline int32_t SetDebugSpew(int32_t window, int32_t level) {
    FakeLibrary& f = Fake();
    ++f.calls["SetDebugSpew"];
    f.spewWindow = window;
    f.spewLevel = level;
    return f.debugSpewResult;
}

inline int32_t AsyncReadWrapper(int32_t node, const Address48* a, int32_t bytes, uint8_t* dst, int32_t timeout) {
    FakeLibrary& f = Fake();
    ++f.calls["AsyncReadWrapper"];
    const auto address = static_cast<uint32_t>(a->OffsetLow);
    f.reads.emplace_back(node, address);
    f.readTimeouts.push_back(timeout);
    if (f.onRead) {
        if (auto code = f.onRead(node, address, bytes)) return *code;
    }
    if (node < 0 || static_cast<size_t>(node) >= f.nodes.size()) return kNoResponse;
    const auto& space = f.nodes[static_cast<size_t>(node)].space;
    for (int32_t i = 0; i < bytes; i += 4) {
        const auto it = space.find(address + static_cast<uint32_t>(i));
        if (it == space.end()) return kAddressError;
        for (int b = 0; b < 4; ++b) dst[i + b] = static_cast<uint8_t>(it->second >> (24 - 8 * b));
    }
    return 1;
}

inline int32_t AsyncWriteWrapper(int32_t node, const Address48* a, int32_t bytes, const uint8_t* src, int32_t) {
    FakeLibrary& f = Fake();
    ++f.calls["AsyncWriteWrapper"];
    f.writes.emplace_back(src, src + bytes);
    if (f.onWrite) {
        if (auto code = f.onWrite(node, static_cast<uint32_t>(a->OffsetLow), bytes)) return *code;
    }
    return 1;
}

inline void FillSelfIds(bas1394::HostInfoRequest* r) {
    FakeLibrary& f = Fake();
    const auto count = static_cast<uint16_t>(f.nodes.size());
    r->Data[8] = r->Data[10] = static_cast<uint8_t>(count & 0xFF);
    r->Data[9] = r->Data[11] = static_cast<uint8_t>(count >> 8);
    size_t at = 12;
    for (size_t k = 0; k < f.nodes.size() && at + 8 <= sizeof(r->Data); ++k) {
        const uint32_t packet = 0x80000000u | (uint32_t(k) << 24) | (f.nodes[k].linkActive ? 0x00400000u : 0) |
                                0x00008800u | (f.nodes[k].morePackets ? 1u : 0u);
        for (int b = 0; b < 4; ++b) r->Data[at + b] = static_cast<uint8_t>(packet >> (24 - 8 * b));
        at += 4;
        if (f.nodes[k].morePackets) {
            for (int b = 0; b < 4; ++b) r->Data[at + b] = 0xEE;
            at += 4;
        }
    }
}

inline int32_t GetLocalHostInformation(int32_t, const char*, bas1394::HostInfoRequest* r, int32_t) {
    ++Fake().calls["GetLocalHostInformation"];
    FillSelfIds(r);
    return 0;
}
inline int32_t Get1394AddressFromDeviceObject(int32_t, const char*, bas1394::NodeAddressRequest* r) {
    FakeLibrary& f = Fake();
    ++f.calls["Get1394AddressFromDeviceObject"];
    if (f.nodeAddressResult == 0) r->NodeAddress = static_cast<uint16_t>((f.busId << 6) | f.localNode);
    return f.nodeAddressResult;
}
inline int32_t AddVirtualDriver(const int32_t*, bas1394::VirtualDeviceDescriptor* d, int32_t) {
    FakeLibrary& f = Fake();
    ++f.calls["AddVirtualDriver"];
    const std::string name(d->Name, strnlen(d->Name, 33));
    f.addedDevices.push_back(name);
    if (f.addDeviceWorks) f.virtualDevices.push_back(name);
    return f.addDeviceWorks ? 0 : 5;
}
inline int32_t RemoveVirtualDriver(const int32_t*, bas1394::VirtualDeviceDescriptor* d, int32_t) {
    ++Fake().calls["RemoveVirtualDriver"];
    Fake().removedDevices.emplace_back(d->Name, strnlen(d->Name, 33));
    return 0;
}
inline int32_t BusReset(const int32_t*, const char*, const int32_t*) { ++Fake().calls["BusReset"]; return 0; }
inline int32_t AllocateAddressRange(const int32_t*, const char*, bas1394::AddressRangeRecord* r, int32_t) {
    FakeLibrary& f = Fake();
    ++f.calls["AllocateAddressRange"];
    if (f.allocateResult != 0) return f.allocateResult;
    r->Handle = f.nextHandle++;
    f.allocated.push_back(*r);
    return 0;
}
inline int32_t FreeAddressRange(const int32_t*, const char*, int32_t handle) {
    ++Fake().calls["FreeAddressRange"];
    Fake().freed.push_back(handle);
    return Fake().freeResult;
}
inline int32_t GetVirtualDeviceList(bas1394::VirtualDeviceListRecord* list) {
    FakeLibrary& f = Fake();
    ++f.calls["GetVirtualDeviceList"];
    *list = bas1394::VirtualDeviceListRecord{};
    const size_t filled = std::min<size_t>(f.virtualDevices.size(), bas1394::kVirtualDeviceSlots);
    for (size_t i = 0; i < filled; ++i) {
        std::strncpy(list->Names[i], f.virtualDevices[i].c_str(), bas1394::kVirtualDeviceNameBytes - 1);
    }
    list->Count = f.claimedDeviceCount >= 0 ? f.claimedDeviceCount : static_cast<int32_t>(f.virtualDevices.size());
    return 0;
}
inline int32_t QueryElapsedTimeMsLongInt(const int64_t* start) { return clk::ElapsedMsSince(*start); }
inline int32_t HookSystemModule(const char*) { ++Fake().calls["HookSystemModule"]; return 1; }
// As the library does it: each transaction as its own call would carry it, up to the first that fails.
inline int32_t AsyncTransferSequence(bas1394::AsyncTransferRecord* t, int32_t count) {
    ++Fake().calls["AsyncTransferSequence"];
    int32_t done = 0;
    while (done < count) {
        bas1394::AsyncTransferRecord& r = t[done++];
        r.Result = r.Write ? AsyncWriteWrapper(r.Node, &r.Address, r.ByteCount, r.Buffer, r.TimeoutMs)
                           : AsyncReadWrapper(r.Node, &r.Address, r.ByteCount, r.Buffer, r.TimeoutMs);
        if (r.Result != 1) break;
    }
    return done;
}

}  // namespace fakefn

// Binds the fake in place of the library file (and resets its state).
inline void BindFakeLibrary() {
    Fake() = FakeLibrary{};
    static const std::map<std::string, void*> table = {
        {"RegisterClient", reinterpret_cast<void*>(&fakefn::RegisterClient)},
        {"DeRegisterClient", reinterpret_cast<void*>(&fakefn::DeRegisterClient)},
        {"SetDebugSpew", reinterpret_cast<void*>(&fakefn::SetDebugSpew)},
        {"AsyncReadWrapper", reinterpret_cast<void*>(&fakefn::AsyncReadWrapper)},
        {"AsyncWriteWrapper", reinterpret_cast<void*>(&fakefn::AsyncWriteWrapper)},
        {"GetLocalHostInformation", reinterpret_cast<void*>(&fakefn::GetLocalHostInformation)},
        {"Get1394AddressFromDeviceObject", reinterpret_cast<void*>(&fakefn::Get1394AddressFromDeviceObject)},
        {"AddVirtualDriver", reinterpret_cast<void*>(&fakefn::AddVirtualDriver)},
        {"RemoveVirtualDriver", reinterpret_cast<void*>(&fakefn::RemoveVirtualDriver)},
        {"BusReset", reinterpret_cast<void*>(&fakefn::BusReset)},
        {"AllocateAddressRange", reinterpret_cast<void*>(&fakefn::AllocateAddressRange)},
        {"FreeAddressRange", reinterpret_cast<void*>(&fakefn::FreeAddressRange)},
        {"GetVirtualDeviceList", reinterpret_cast<void*>(&fakefn::GetVirtualDeviceList)},
        {"QueryElapsedTimeMsLongInt", reinterpret_cast<void*>(&fakefn::QueryElapsedTimeMsLongInt)},
        {"HookSystemModule", reinterpret_cast<void*>(&fakefn::HookSystemModule)},
    };
    bas1394::lib::BindForTesting([](const char* name) -> void* {
        if (std::strcmp(name, "AsyncTransferSequence") == 0)
            return Fake().offersSequence ? reinterpret_cast<void*>(&fakefn::AsyncTransferSequence) : nullptr;
        const auto it = table.find(name);
        return it == table.end() ? nullptr : it->second;
    });
}

// Binds the fake again, offering the sequence call or not; its state stays.
inline void OfferSequence(bool offered) {
    FakeLibrary kept = std::move(Fake());
    kept.offersSequence = offered;
    BindFakeLibrary();
    Fake() = std::move(kept);
}

}  // namespace bustest
