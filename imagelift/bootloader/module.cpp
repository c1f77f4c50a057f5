// Module start and end, the module's log procedure, its state and the lookups that turn a
// device handle into a target.
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "bootloader/internal.h"

#include "bus1394/state.h"
#include "kernel/mutex.h"
#include "support/byte_utils.h"

namespace basBootloader {

ModuleState State;

namespace {
const char kShellTransactionMutexName[] = "ShellTransactionMutex";
}

void Log(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::ModuleLog(basDebug::kBootloaderRule, "basBootloader", message, level);
}

bool LogKeeps(const basDebug::LevelArg& level) {
    try {
        return !basDebug::ModuleLogDrops(basDebug::kBootloaderRule, level);
    } catch (...) {
        return false;  // the log would drop it as well
    }
}

void LogTrapped(const std::string& tail) {
    vb::Error e = vb::CurrentException();
    Log("ERROR #" + std::to_string(e.Number()) + ": " + e.Description() + tail, basDebug::WARNING);
}

bas1394::Address48 RegionAddress(uint32_t offset) {
    bas1394::Address48 a = State.ProtocolRegionBase;
    a.OffsetLow = int32_t(uint32_t(a.OffsetLow) + offset);
    return a;
}

std::string Str(int64_t v) { return std::to_string(v); }

void Initialize() {
    // Empty tables, handles from 63, no debug GUID handed out yet.
    State = ModuleState{};

    State.TargetListMutexHandle = kernel::CreateMutex(false);

    State.TransactionMutexHandle =
        kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, kShellTransactionMutexName);
    if (State.TransactionMutexHandle != 0) {
        Log("Opened Shell Transaction Mutex (handle=" + Str(State.TransactionMutexHandle) + ").",
            basDebug::TRACE);
    } else {
        Log("Creating Shell Transaction Mutex...", basDebug::TRACE);
        State.TransactionMutexHandle = kernel::CreateMutex(false, kShellTransactionMutexName);
        if (State.TransactionMutexHandle != 0) {
            Log("Created Shell Transaction Mutex (handle=" + Str(State.TransactionMutexHandle) + ").",
                basDebug::TRACE);
        }
    }
    InstallBusResetHook();
    if (State.TransactionMutexHandle == 0) {
        Log("Fatal 1394 error: cannot create Shell Transaction Mutex.", basDebug::FATAL);
    }
}

int32_t Terminate() {
    RemoveBusResetHook();
    if (State.TargetListMutexHandle != 0) kernel::CloseHandle(State.TargetListMutexHandle);
    if (State.TransactionMutexHandle != 0) kernel::CloseHandle(State.TransactionMutexHandle);
    State.TargetListMutexHandle = 0;
    State.TransactionMutexHandle = 0;
    return 0;
}

// ---------------------------------------------------------------- lookups

bas1394::NodeRecord GetNodeNum(int32_t handle) {
    try {
        if (handle > 0) {
            for (const auto& t : State.TargetList) {
                if (t.Handle == handle) return t.Device;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetNodeNum.  Exiting...");
    }
    bas1394::NodeRecord empty = bas1394::State.EmptyNodeRecord;
    empty.NodeNumber = bas1394::kNoNode;
    return empty;
}

int32_t GetDeviceHandleFromGuid(const ByteArray& guid, std::optional<int32_t> skipHandle) {
    try {
        for (const auto& t : State.TargetList) {
            if (skipHandle && t.Handle == *skipHandle) continue;
            if (basUtils::ByteArraysEqual(t.Info.Guid, guid)) return t.Handle;
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetDeviceHandleFromGuid.  Exiting...");
    }
    return 0;
}

int32_t GetDeviceHandle(const bas1394::NodeRecord& node) {
    try {
        for (const auto& t : State.TargetList) {
            if (t.Device.NodeNumber == node.NodeNumber) return t.Handle;
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetDeviceHandle.  Exiting...");
    }
    return 0;
}

int32_t GetDeviceIndex(int32_t handle) {
    try {
        for (size_t i = 0; i < State.TargetList.size(); ++i) {
            if (State.TargetList[i].Handle == handle) return int32_t(i);
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetDeviceIndex.  Exiting...");
    }
    return -1;
}

bas1394::NodeRecord GetBootloaderDevice(int32_t handle) { return GetNodeNum(handle); }

int32_t GetTargetIndex(int32_t handle) { return GetDeviceIndex(handle); }

int32_t GetTargetIndexByNode(const bas1394::NodeRecord& node) { return GetDeviceHandle(node); }

int32_t GetTargetHandleByGuid(const ByteArray& guid, const std::optional<std::string>& handleText) {
    try {
        for (const auto& t : State.TargetList) {
            if (handleText && Str(t.Handle) == *handleText) continue;
            if (basUtils::ByteArraysEqual(t.Info.Guid, guid)) return t.Handle;
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetTargetHandleByGuid.  Exiting...");
    }
    return 0;
}

}  // namespace basBootloader
