// Module start and end, the module's log procedure, its tables and the lookups that turn a
// device handle into a target.
#include "bootloader/bootloader.h"
#include "bootloader/internal.h"

#include "kernel/mutex.h"
#include "support/byte_utils.h"

namespace basBootloader {

std::vector<BootloaderTarget> TargetList(1);
std::vector<DebuggerNode> DebuggerNodes(1);
int32_t TransactionMutexHandle = 0;
int32_t TargetListMutexHandle = 0;
int32_t MutexWaitMs = 2000;
int32_t CommandSequence = 0;
int32_t NextDeviceHandle = 63;
bas1394::Address48 ProtocolRegionBase{kRegionHigh, 0, int32_t(kRegionLow)};
std::array<bool, 3> BootloaderListReady{false, false, false};
bool DiscoveryInterrupted = false;
int32_t DownloadBlockInFlight = 0;

namespace {
const char kShellTransactionMutexName[] = "ShellTransactionMutex";
}

void Log(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::ModuleLog(basDebug::kBootloaderRule, "basBootloader", message, level);
}

void LogTrapped(const std::string& tail) {
    vb::Error e = vb::CurrentException();
    Log("ERROR #" + std::to_string(e.Number()) + ": " + e.Description() + tail, basDebug::WARNING);
}

bas1394::Address48 RegionAddress(uint32_t offset) {
    bas1394::Address48 a = ProtocolRegionBase;
    a.OffsetLow = int32_t(uint32_t(a.OffsetLow) + offset);
    return a;
}

std::string Str(int64_t v) { return std::to_string(v); }

void Initialize() {
    MutexWaitMs = 2000;
    DebuggerNodes.assign(1, DebuggerNode{bas1394::EmptyNodeRecord});
    DebuggerNodes[0].Device.NodeNumber = bas1394::kNoNode;
    TargetList.assign(1, BootloaderTarget{});
    TargetList[0].Guid = ByteArray(1);
    NextDeviceHandle = 63;
    ProtocolRegionBase = bas1394::Address48{kRegionHigh, 0, int32_t(kRegionLow)};
    CommandSequence = 0;
    DownloadBlockInFlight = 0;
    ResetDebugGUIDGenerator();

    TargetListMutexHandle = kernel::CreateMutex(false);

    TransactionMutexHandle =
        kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, kShellTransactionMutexName);
    if (TransactionMutexHandle != 0) {
        Log("Opened Shell Transaction Mutex (handle=" + Str(TransactionMutexHandle) + ").",
            basDebug::TRACE);
    } else {
        Log("Creating Shell Transaction Mutex...", basDebug::TRACE);
        TransactionMutexHandle = kernel::CreateMutex(false, kShellTransactionMutexName);
        if (TransactionMutexHandle != 0) {
            Log("Created Shell Transaction Mutex (handle=" + Str(TransactionMutexHandle) + ").",
                basDebug::TRACE);
        }
    }
    InstallBusResetHook();
    if (TransactionMutexHandle == 0) {
        Log("Fatal 1394 error: cannot create Shell Transaction Mutex.", basDebug::FATAL);
    }
}

void Terminate() {
    RemoveBusResetHook();
    if (TargetListMutexHandle != 0) kernel::CloseHandle(TargetListMutexHandle);
    if (TransactionMutexHandle != 0) kernel::CloseHandle(TransactionMutexHandle);
    TargetListMutexHandle = 0;
    TransactionMutexHandle = 0;
}

// ---------------------------------------------------------------- lookups

bas1394::NodeRecord GetNodeNum(int32_t handle) {
    try {
        if (handle > 0) {
            for (const auto& t : TargetList) {
                if (t.Handle == handle) return t.Device;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetNodeNum.  Exiting...");
    }
    bas1394::NodeRecord empty = bas1394::EmptyNodeRecord;
    empty.NodeNumber = bas1394::kNoNode;
    return empty;
}

int32_t GetDeviceHandleFromGuid(const ByteArray& guid, std::optional<int32_t> skipHandle) {
    try {
        for (const auto& t : TargetList) {
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
        for (const auto& t : TargetList) {
            if (t.Device.NodeNumber == node.NodeNumber) return t.Handle;
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetDeviceHandle.  Exiting...");
    }
    return 0;
}

int32_t GetDeviceIndex(int32_t handle) {
    try {
        for (size_t i = 0; i < TargetList.size(); ++i) {
            if (TargetList[i].Handle == handle) return int32_t(i);
        }
    } catch (...) {
        LogTrapped(" in basBootloader.GetDeviceIndex.  Exiting...");
    }
    return -1;
}

}  // namespace basBootloader
