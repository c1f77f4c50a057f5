#include "bus1394/host_resources.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "bus1394/access_library.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace bas1394 {

namespace {

constexpr int kNameBufferBytes = 33;

// Calls `fn` with a descriptor that points at the name in a zero-filled 33-byte buffer.
template <typename F>
int32_t WithDescriptor(const std::string& name, F fn) {
    if (name.size() > static_cast<size_t>(kNameBufferBytes)) vb::Raise(9, "bas1394");
    char buffer[kNameBufferBytes] = {};
    std::memcpy(buffer, name.data(), name.size());
    VirtualDeviceDescriptor descriptor;
    descriptor.Name = buffer;
    return fn(&descriptor);
}

std::string SlotText(int slot) {
    return std::string(State.VirtualDeviceList.Names[slot], kVirtualDeviceNameBytes);
}

// A slot's name up to its first zero byte, for log lines.
std::string SlotDisplayText(int slot) {
    const char* s = State.VirtualDeviceList.Names[slot];
    return std::string(s, strnlen(s, kVirtualDeviceNameBytes));
}

int32_t NodeAddress(uint16_t& address) {
    NodeAddressRequest request;
    const int32_t r =
        lib::Get1394AddressFromDeviceObject(State.ClientWindow, FirstVirtualDeviceName(), &request);
    address = request.NodeAddress;
    return r;
}

}  // namespace

const char* FirstVirtualDeviceName() { return State.VirtualDeviceList.Names[0]; }

int32_t Allocate1394Memory(const std::string& addressText, const std::string& lengthText) {
    if (State.AddressRanges.empty()) State.AddressRanges.resize(1);
    if (State.AddressRanges[0].Handle != 0) State.AddressRanges.emplace_back();
    AddressRangeRecord& range = State.AddressRanges.back();
    range.Word0 = 1;
    range.Word1 = 1;
    const std::string lengthNumber =
        vb::Replace(vb::Replace(lengthText, "0x", "&H"), " ", "");
    range.Length = static_cast<int32_t>(std::llround(vb::Val(lengthNumber)));
    range.Word3 = 0;
    range.AccessFlags = 11;
    range.NotifyFlags = 3;
    if (HexString2Address(addressText, range.Address) != 1) {
        LogMsg("ERROR: Failed to convert address in Allocate1394Memory.  Exiting abnormally", "ERROR");
        return -1;
    }
    if (AllocateAddressRangeVB(range) == 1) return 1;
    if (State.AddressRanges.size() > 1) {
        State.AddressRanges.pop_back();
    } else {
        State.AddressRanges.assign(1, AddressRangeRecord{});
    }
    return -1;
}

int32_t AllocateAddressRangeVB(AddressRangeRecord& range) {
    return lib::AllocateAddressRange(&State.ClientWindow, FirstVirtualDeviceName(), &range, 0) == 0 ? 1
                                                                                              : -1;
}

int32_t FreeAddressRangeVB(int32_t handle) {
    return lib::FreeAddressRange(&State.ClientWindow, FirstVirtualDeviceName(), handle) == 0 ? 1 : -1;
}

int32_t GetLocalHostInfo(TopologyMapRecord& map) {
    HostInfoRequest request;
    lib::GetLocalHostInformation(State.ClientWindow, FirstVirtualDeviceName(), &request, 0);
    const basUtils::ByteArray data(request.Data, request.Data + sizeof(request.Data));
    map.Length = basUtils::ByteArrayToLong(data, 0, 1);
    map.Crc = basUtils::ByteArrayToLong(data, 2, 3);
    map.Generation = basUtils::ByteArrayToLong(data, 4, 7);
    map.NodeCount = static_cast<int16_t>(basUtils::ByteArrayToLong(data, 8, 9));
    map.SelfIdCount = static_cast<int16_t>(basUtils::ByteArrayToLong(data, 10, 11));
    map.Entries.assign(1, TopologyNodeEntry{});
    size_t offset = 12;
    for (int32_t i = 0; i < map.SelfIdCount; ++i) {
        if (offset + 4 > data.size()) vb::Raise(9, "bas1394");
        map.Entries.resize(static_cast<size_t>(i) + 1);
        map.Entries[i] = DecodeSelfId(&data[offset]);
        offset += 4;
        // The one extended packet that follows is not an entry of its own.
        if (map.Entries[i].MorePackets != 0) offset += 4;
    }
    return 1;
}

namespace {

// One part of the local node address: (address >> shift) & mask, logged as "<label> = n";
// -1 with the procedure's WARNING when the library cannot give the address.
int32_t LocalAddressPart(const char* procedure, const char* label, int shift, uint16_t mask) {
    uint16_t address = 0;
    const int32_t r = NodeAddress(address);
    if (r != 0) {
        LogMsg(std::string(procedure) + " failed, Get1394AddressFromDeviceObject returned code " +
                   std::to_string(r),
               "WARNING");
        return -1;
    }
    const int32_t part = (address >> shift) & mask;
    LogMsg(std::string(label) + " = " + std::to_string(part), "TRACE");
    return part;
}

}  // namespace

int32_t GetLocalHostNode() { return LocalAddressPart("GetLocalHostNode", "LocalHostNode", 0, 0x3F); }

int32_t GetBusNumber() { return LocalAddressPart("GetBusNumber", "Bus Number", 6, 0x3FF); }

int32_t AddVirtualDevice(int32_t& window, const std::string& name) {
    const int32_t r = WithDescriptor(name, [&](VirtualDeviceDescriptor* d) {
        return lib::AddVirtualDriver(&window, d, 0);
    });
    if (r != 0) LogMsg("AddVirtualDevice: AddVirtualDriver failed, code 0x" + vb::Hex(r), "ERROR");
    return r;
}

int32_t RemoveVirtualDevice(int32_t& window, const std::string& name) {
    const int32_t r = WithDescriptor(name, [&](VirtualDeviceDescriptor* d) {
        return lib::RemoveVirtualDriver(&window, d, 0);
    });
    LogMsg("RemoveVirtualDriver returned code #" + std::to_string(r), "WATCH");
    return r;
}

int32_t ResetBus() {
    const int32_t flags = 0;
    return lib::BusReset(&State.ClientWindow, FirstVirtualDeviceName(), &flags);
}

namespace {
// The time the bus driver is given to create the virtual device, in steps between which window
// messages run.
constexpr int32_t kVirtualDeviceWaitMs = 500;
constexpr int32_t kVirtualDeviceWaitStepMs = 10;
}  // namespace

int32_t RefreshVirtualDeviceList() {
    try {
        lib::GetVirtualDeviceList(&State.VirtualDeviceList);
        if (State.VirtualDeviceList.Count < 1) {
            AddVirtualDevice(State.ClientWindow, kVirtualDeviceName);
            // The bus driver announces the new device with a bus reset straight away. Window
            // messages run while the driver is given its time, so that the notice is seen by
            // this pass: it then gives up at its next test of BusResetPending and the pump runs
            // the next pass at once, instead of first finishing an empty device list.
            const int64_t start = clk::QueryPerformanceCounter();
            for (int32_t waited = 0; waited < kVirtualDeviceWaitMs; waited = clk::ElapsedMsSince(start)) {
                clk::DoEvents();
                clk::Sleep(uint32_t(std::min(kVirtualDeviceWaitStepMs, kVirtualDeviceWaitMs - waited)));
            }
        }
        if (State.VirtualDeviceList.Count < 1) {
            LogMsg("BusResetHandlerThread: unable to load 1394 virtual device driver.  No "
                   "interface to the bus!",
                   "USER");
            State.NoBusInterface = true;
        } else {
            if (State.NoBusInterface) {
                LogMsg("BusResetHandlerThread: 1394 virtual device driver loaded on retry.", "USER");
            }
            State.NoBusInterface = false;
            if (IBusPumpTimers* timers = State.PumpTimers) {
                timers->EnableBusResetTimer();
                timers->EnableIncomingDataTimer();
            }
        }
        // The record has ten slots: a larger count is kept but only ten names exist.
        const int32_t slots = std::min(State.VirtualDeviceList.Count, kVirtualDeviceSlots);
        for (int32_t i = 0; i < slots; ++i) {
            State.CurrentVirtualDeviceName = SlotText(i);
            if (State.PreviousVirtualDeviceCount < 1) {
                LogMsg("Virtual Device #" + std::to_string(i) + "=" + SlotDisplayText(i), "WATCH");
            }
        }
        State.PreviousVirtualDeviceCount = State.VirtualDeviceList.Count;
        LogMsg("BusResetHandlerThread: " + std::to_string(State.VirtualDeviceList.Count) +
                   " virtual devices found and " + "0" + " diagnostic devices.",
               "TRACE");
        return State.VirtualDeviceList.Count;
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "bas1394.RefreshVirtualDeviceList"), "ERROR");
        return 0;
    }
}

}  // namespace bas1394
