// The target list: after every bus reset each node of the node table is asked for its info
// registers; every node that speaks the bootloader protocol becomes (or is found again as) a
// target with a device handle that it keeps across bus resets. Connected targets are halted and
// their debug GUIDs brought into line with their bootloader GUIDs.
#include "bootloader/target_list.h"
#include "bootloader/commands.h"
#include "bootloader/info_registers.h"
#include "bootloader/internal.h"

#include "bus1394/bus_reset.h"
#include "bus1394/config_rom_reader.h"
#include "bus1394/host_resources.h"
#include "bus1394/state.h"
#include "kernel/mutex.h"
#include "support/byte_utils.h"
#include "support/program_context.h"
#include "vbrt/resume_next.h"

namespace basBootloader {

namespace {

const ByteArray kNullGuid(8, 0);

constexpr uint32_t kCallbackRangeLow = 0xC8029000u;

bool isNull(const ByteArray& guid) { return basUtils::ByteArraysEqual(guid, kNullGuid); }

std::string node(const bas1394::NodeRecord& r) { return Str(r.NodeNumber); }

// The hook through which the bus layer's reset pass reaches this module.
class BootloaderLayer final : public bas1394::IBootloaderLayer {
public:
    int32_t BusResetHandler() override { return basBootloader::BusResetHandler(); }
    void ResetDiscoveryState() override {
        State.DiscoveryInterrupted = true;
        State.BootloaderListReady = {false, false, false};
    }
    std::vector<bas1394::BootloaderTargetSummary> Targets() override {
        std::vector<bas1394::BootloaderTargetSummary> out;
        for (const auto& t : State.TargetList) {
            bas1394::BootloaderTargetSummary s;
            s.Handle = t.Handle;
            s.NodeNumber = t.Device.NodeNumber;
            for (size_t i = 0; i < 8 && i < t.Info.Guid.size(); ++i) s.Guid[i] = t.Info.Guid[i];
            s.BootloaderVersion = t.Info.BootloaderVersion;
            out.push_back(s);
        }
        return out;
    }
};
BootloaderLayer g_layer;

}  // namespace

void InstallBusResetHook() { bas1394::SetBootloaderLayer(&g_layer); }
void RemoveBusResetHook() { bas1394::SetBootloaderLayer(nullptr); }

void ResetDebugGUIDGenerator() { State.NextDebugGuid.assign(8, 0); }

int32_t GetNextDebugGUID(ByteArray& guid) {
    if (isNull(State.NextDebugGuid)) State.NextDebugGuid.assign(8, 0xFF);
    for (int i = 7; i >= 0; --i) {
        if (State.NextDebugGuid[i] != 0) {
            --State.NextDebugGuid[i];
            break;
        }
        State.NextDebugGuid[i] = 0xFF;
    }
    basUtils::CopyBytes(State.NextDebugGuid, 0, 8, guid, 0);
    return 1;
}

int32_t BusResetHandler() {
    MutexHold hold;
    try {
        State.DiscoveryInterrupted = true;
        State.BootloaderListReady = {false, false, false};
        State.DebuggerNodes.assign(1, DebuggerNode{});
        State.DebuggerNodes[0].Device = bas1394::State.EmptyNodeRecord;
        State.DebuggerNodes[0].Device.NodeNumber = bas1394::kNoNode;
        for (auto& t : State.TargetList) t.Device.NodeNumber = bas1394::kNoNode;

        bool haveRange = false;
        for (const auto& r : bas1394::State.AddressRanges) {
            if (r.Handle != 0 && r.Address.OffsetHigh == kRegionHigh &&
                uint32_t(r.Address.OffsetLow) == kCallbackRangeLow) {
                haveRange = true;
            }
        }
        if (!haveRange) {
            Log("Allocating range of 1394 memory for bootloader callbacks...", basDebug::TRACE);
            bas1394::Allocate1394Memory("0xffffc8029000", "0x40");
        }

        Log("BusResetHandler is taking the TargetList mutex", basDebug::MUTEX);
        uint32_t wait = kernel::WaitForSingleObject(State.TargetListMutexHandle, uint32_t(State.MutexWaitMs));
        if (wait != kernel::WAIT_OBJECT_0) {
            if (wait == kernel::WAIT_ABANDONED) kernel::ReleaseMutex(State.TargetListMutexHandle);
            Log("BusResetHandler failed: Timed out waiting for TargetList mutex", basDebug::TRACE);
            return -100;
        }
        hold.Adopt(State.TargetListMutexHandle);

        if (!bas1394::State.NodeTable.empty() && bas1394::State.NodeTable[0].NodeNumber != bas1394::kNoNode) {
            int16_t r = BuildBootloaderDeviceList();
            if (r < 0) Log("BusResetHandler failed: call to BuildDeviceList failed, code " + Str(r), basDebug::TRACE);
        }
        State.BootloaderListReady = {true, true, true};

        if (hold.Release()) {
            Log("BusResetHandler released the TargetList Mutex.", basDebug::MUTEX);
        } else {
            Log("BusResetHandler failed to release the TargetList Mutex.", basDebug::ERROR_LEVEL);
        }
        return 1;
    } catch (...) {
        LogTrapped(" in basBootloader.BusResetHandler.  Exiting...");
        return -1;
    }
}

int16_t BuildBootloaderDeviceList() {
    vb::ResumeNext steps([](const vb::Error& e) {
        Log("ERROR #" + Str(e.Number()) + ": " + e.Description() +
                " in basBootloader.BuildBootloaderDeviceList.  Resuming next...",
            basDebug::WARNING);
    });
    State.DiscoveryInterrupted = false;
    int16_t count = 0;
    if (bas1394::State.NodeTable.empty() || bas1394::State.NodeTable[0].NodeNumber == bas1394::kNoNode) return -1;
    const size_t total = bas1394::State.NodeTable.size();
    if (total > 1) Log("Scanning " + Str(int64_t(total)) + " nodes on the bus for compatibility...", basDebug::USER);

    for (size_t i = 0; i < total && i < bas1394::State.NodeTable.size(); ++i) {
        const bas1394::NodeRecord record = bas1394::State.NodeTable[i];
        const std::string n = node(record);
        bool goOn = true, download = false, shell = false, debugger = false;

        steps.Run([&] {
            if (record.NodeNumber == int16_t(bas1394::State.LocalHostNode.load())) {
                Log("Node #" + n + " is the local host adapter.", basDebug::USER);
                goOn = false;
            }
        });
        if (goOn) {
            steps.Run([&] {
                if (basConfigRom::ConfigRomIsMinimal(record.ConfigRom)) goOn = false;
                if (int64_t(record.ConfigRom.BusInfo.RawBytes.size()) - 1 < 1) {
                    Log("Node #" + n +
                            ": failed to read any data from config ROM. This node is not a 1394-download-compatible "
                            "or a 1394-shell-compatible target.",
                        basDebug::TRACE);
                    goOn = false;
                }
            });
        }
        InfoRegisters registers;
        if (goOn) {
            steps.Run([&] {
                int32_t r = ReadInfoRegisters(record, registers);
                if (r != 1) {
                    Log("BuildBootloaderDeviceList warning: failed to read info registers for node " + n + ", code " +
                            Str(r) + "(0x" + vb::Hex(r) + ")",
                        basDebug::WARNING);
                    goOn = false;
                }
            });
        }
        if (goOn) {
            steps.Run([&] {
                if (!VerifyCompatibility(registers)) return;
                shell = true;
                ++count;
                if (isNull(registers.Guid)) {
                    Log("BuildBootloaderDeviceList: null GUID in info registers for Node #" + n, basDebug::WARNING);
                }
                int32_t index = GetTargetIndexByGuid(record, registers);
                if (index < 0) {
                    Log("BuildBootloaderDeviceList: creating bootloader device...", basDebug::TRACE);
                    index = CreateBootloaderDevice(record, registers);
                }
                if (index >= 0) {
                    Log("BuildBootloaderDeviceList: Opening bootloader device, nodenum=" + n + ", targetnum=" +
                            Str(index) + "...",
                        basDebug::TRACE);
                    State.TargetList[index].Info = registers;
                    State.TargetList[index].Handle = OpenBootloaderDevice(record);
                    Log("BuildBootloaderDeviceList: Opened bootloader device for node #" + n, basDebug::TRACE);
                    if (ConnectToBootloaderDevice(State.TargetList[index]) != 1) {
                        Log("BuildBootloaderDeviceList: failed to connect to bootloader target, node #" + n,
                            basDebug::WARNING);
                    } else {
                        download = true;
                    }
                }
            });
        }
        steps.Run([&] { debugger = DetectDebugger(record); });
        if (State.DiscoveryInterrupted || bas1394::State.BusResetPending.load()) {
            Log("The bootloader discovery process has been interrupted by another bus reset!", basDebug::USER);
            return 0;
        }
        if (download) Log("Node #" + n + " is firmware-upgradable via 1394.", basDebug::USER);
        if (shell) {
            Log("Node #" + n + " is capable of sending and receiving debugging information via the 1394 shell.",
                basDebug::USER);
        }
        if (debugger) Log("Node #" + n + " is running under control of the 1394 debugger.", basDebug::USER);
        if (!download && !shell) {
            Log("Node #" + n + " is not 1394-download-compatible or 1394-shell-compatible.", basDebug::TRACE);
        }
    }

    steps.Run([] {
        imagelift::IMainChildForm* form = imagelift::Ctx().MainChildForm;
        if (!form) vb::Raise(91);
        form->IEEE1394Bus_NodesChanged();
    });

    steps.Run([] {
        int32_t r = SynchronizeGUIDs();
        if (r != 1) {
            Log("BuildDeviceList error: SynchronizeGUIDs failed, code " + Str(r), basDebug::ERROR_LEVEL);
            return;
        }
        r = HandleNullGUIDs();
        if (r != 1) {
            Log("BuildDeviceList error: HandleNullGUIDs failed, code " + Str(r), basDebug::ERROR_LEVEL);
            return;
        }
        r = HandleDuplicateGUIDs();
        if (r != 1) Log("BuildDeviceList error: HandleDuplicateGUIDs failed, code " + Str(r), basDebug::ERROR_LEVEL);
    });

    Log("BuildBootloaderDeviceList completed: " + Str(count) + " compatible nodes found on the bus.", basDebug::USER);
    return count;
}

int32_t GetTargetIndexByGuid(const bas1394::NodeRecord& record, const InfoRegisters& info) {
    if (State.TargetList.empty() || State.TargetList[0].Handle == 0) return -1;
    for (size_t i = 0; i < State.TargetList.size(); ++i) {
        BootloaderTarget& t = State.TargetList[i];
        if (basUtils::ByteArraysEqual(t.Info.Guid, info.Guid) && t.Device.DriverType == record.DriverType) {
            t.Device = record;
            return int32_t(i);
        }
    }
    return -1;
}

int32_t CreateBootloaderDevice(const bas1394::NodeRecord& record, const InfoRegisters& info) {
    vb::ResumeNext steps([](const vb::Error& e) {
        Log("ERROR #" + Str(e.Number()) + ": " + e.Description() + " in basBootloader.CreateBootloaderDevice",
            basDebug::WARNING);
    });
    const std::string n = node(record);
    Log("CreateBootloaderDevice for node #" + n, basDebug::TRACE);
    Log("CreateBootloaderDevice: checking & redimensioning arrays...", basDebug::TRACE);
    steps.Run([&] {
        // Element 0 is free only until a target has been created in it; a target there whose
        // bootloader GUID is null is still a target with a handle that callers may hold.
        const bool elementZeroFree = State.TargetList.empty() || (State.TargetList[0].Handle == 0 && State.TargetList[0].State == 0);
        if (!elementZeroFree) {
            Log("CreateBootloaderDevice: redimensioning bootloader targets...", basDebug::TRACE);
            State.TargetList.emplace_back();
            Log("CreateBootloaderDevice: redimensioning bootloader GUID...", basDebug::TRACE);
            State.TargetList.back().Guid = ByteArray(8, 0);
        } else {
            State.TargetList.assign(1, BootloaderTarget{});
            State.TargetList[0].Guid = ByteArray(1, 0);
        }
    });
    Log("CreateBootloaderDevice: allocating shell buffer...", basDebug::TRACE);
    steps.Run([&] { State.TargetList.back().ShellBuffer.assign(kShellBufferSize, 0); });
    if (!VerifyCompatibility(info)) {
        Log("CreateBootloaderDevice failed: VerifyCompatibility support returned FALSE", basDebug::TRACE);
        return -1;
    }
    Log("CreateBootloaderDevice: compatibility verified...", basDebug::TRACE);
    BootloaderTarget& t = State.TargetList.back();
    if (t.State < 2) t.State = 2;
    t.Handle = kHandleCreated;
    t.Device = record;
    t.Info = info;
    Log("CreateBootloaderDevice: successfully created a new bootloader device (node=" + n + ", state=" +
            Str(t.State) + ")",
        basDebug::TRACE);
    return int32_t(State.TargetList.size()) - 1;
}

int32_t OpenBootloaderDevice(const bas1394::NodeRecord& record) {
    if (State.NextDeviceHandle < 1) State.NextDeviceHandle = 63;
    if (State.TargetList.empty()) return kHandleCreated;
    for (auto& t : State.TargetList) {
        if (t.Device.DriverType == record.DriverType && t.Device.NodeNumber == record.NodeNumber) {
            if (t.Handle <= 0) t.Handle = State.NextDeviceHandle++;
            return t.Handle;
        }
    }
    return kHandleCreated;
}

int32_t CloseBootloaderDevice(int32_t handle) {
    Log("CloseBootloaderDevice: this function is not completely implemented.", basDebug::TRACE);
    return handle > 0 ? 1 : -1;
}

int32_t ConnectToBootloaderDevice(BootloaderTarget& target) {
    if (target.Info.BootloaderVersion <= 0) return -1;
    int32_t r = Haltbootloader(target.Handle);
    if (r != 1) {
        Log("BuildDeviceList warning: failed to halt bootloader target (GUID=" +
                basUtils::ByteArrayToHexString(target.Info.Guid) + "), code " + Str(r),
            basDebug::WATCH);
    }
    r = GetDebugGUID(target.Handle, target.Guid);
    if (r != 1) {
        Log("ConnectToBootloaderDevice failure: GetDebugGUID failed, code " + Str(r), basDebug::ERROR_LEVEL);
    } else {
        Log("ConnectToBootloaderDevice: got debug guid for node #" + node(target.Device), basDebug::TRACE);
    }
    return 1;
}

bool DetectDebugger(const bas1394::NodeRecord& record) {
    if (!basConfigRom::ConfigRomIsMinimal(record.ConfigRom)) return false;
    if (!CheckForDebugSupport(record, 1000)) return false;
    if (State.DebuggerNodes[0].Device.NodeNumber == bas1394::kNoNode) {
        State.DebuggerNodes[0].Device = record;
    } else {
        State.DebuggerNodes.push_back(DebuggerNode{record});
    }
    Log("Debugger is running on node #" + node(record), basDebug::USER);
    return true;
}

int32_t SynchronizeGUIDs() {
    int32_t result = 1;
    for (size_t i = 0; i < State.TargetList.size(); ++i) {
        const int32_t handle = State.TargetList[i].Handle;
        if (handle < 1 || State.TargetList[i].Info.BootloaderVersion == 0) continue;
        if (basUtils::ByteArraysEqual(State.TargetList[i].Guid, State.TargetList[i].Info.Guid)) continue;
        const ByteArray bootGuid = State.TargetList[i].Info.Guid;
        if (SetDebugGUID(handle, bootGuid) != 1) {
            result = -1;
            continue;
        }
        ByteArray read;
        if (GetDebugGUID(handle, read) != 1) {
            result = -1;
            continue;
        }
        State.TargetList[i].Guid = read;
        if (!basUtils::ByteArraysEqual(State.TargetList[i].Guid, State.TargetList[i].Info.Guid)) result = -1;
    }
    return result;
}

int32_t HandleNullGUIDs() {
    for (size_t i = 0; i < State.TargetList.size(); ++i) {
        const int32_t handle = State.TargetList[i].Handle;
        if (handle <= 0 || State.TargetList[i].Info.BootloaderVersion == 0 || !isNull(State.TargetList[i].Guid)) continue;
        ByteArray generated;
        GetNextDebugGUID(generated);
        if (SetDebugGUID(handle, generated) != 1) continue;
        ByteArray read;
        if (GetDebugGUID(handle, read) != 1) continue;
        State.TargetList[i].Guid = read;
        if (basUtils::ByteArraysEqual(read, generated)) {
            Log("Null bootloader GUID found on node #" + node(State.TargetList[i].Device) + ", set Debug GUID to " +
                    basUtils::ByteArrayToHexString(generated),
                basDebug::USER);
        } else {
            State.TargetList[i].Guid = ByteArray(8, 0);
        }
    }
    return 1;
}

int32_t HandleDuplicateGUIDs() {
    for (size_t i = 0; i < State.TargetList.size(); ++i) {
        const size_t upper = State.TargetList.size();
        for (size_t j = i + 1; j < upper && j < State.TargetList.size(); ++j) {
            if (State.TargetList[i].Handle <= 0 || State.TargetList[i].Info.BootloaderVersion == 0) continue;
            if (!basUtils::ByteArraysEqual(State.TargetList[i].Guid, State.TargetList[j].Guid)) continue;
            ByteArray a, b;
            GetNextDebugGUID(a);
            GetNextDebugGUID(b);
            if (SetDebugGUID(State.TargetList[i].Handle, a) != 1) continue;
            if (SetDebugGUID(State.TargetList[j].Handle, b) != 1) continue;
            ByteArray read;
            if (GetDebugGUID(State.TargetList[i].Handle, read) != 1) continue;
            State.TargetList[i].Guid = read;
            if (GetDebugGUID(State.TargetList[j].Handle, read) == 1) State.TargetList[j].Guid = read;
        }
    }
    return 1;
}

}  // namespace basBootloader
