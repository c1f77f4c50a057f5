// The bootloader layer's state: everything the module keeps between calls, in one record. The
// record starts as program start leaves it, and module start (Initialize) resets it as a whole
// before it opens the mutexes, so nothing of an earlier start (or an earlier test) stays behind.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "bootloader/records.h"
#include "bus1394/node_records.h"

namespace basBootloader {

struct ModuleState {
    // Element 0 is the first target ever created; targets are never removed.
    std::vector<BootloaderTarget> TargetList = std::vector<BootloaderTarget>(1);
    std::vector<DebuggerNode> DebuggerNodes = std::vector<DebuggerNode>(1);

    int32_t TransactionMutexHandle = 0;  // "ShellTransactionMutex", machine-wide
    int32_t TargetListMutexHandle = 0;   // guards TargetList
    int32_t MutexWaitMs = 2000;
    int32_t CommandSequence = 0;         // last sequence number sent (1 .. 32766)
    int32_t NextDeviceHandle = 63;       // next device handle to give out
    bas1394::Address48 ProtocolRegionBase{kRegionHigh, 0, int32_t(kRegionLow)};

    // False while a bus-reset pass rebuilds the list; True when it is complete.
    std::array<bool, 3> BootloaderListReady{false, false, false};
    // Set when a new bus reset makes the running scan pointless.
    bool DiscoveryInterrupted = false;

    // Device handle whose download block is in flight (0: none). While a block waits for its
    // answer the program lets window messages run; the shell transport must not exchange with
    // that target then, since its request and payload areas hold the block.
    int32_t DownloadBlockInFlight = 0;

    // The last debug GUID handed out for a target without one (all zero: none yet). Generated
    // GUIDs count down from FF FF FF FF FF FF FF FE.
    ByteArray NextDebugGuid = ByteArray(8, 0);
};

extern ModuleState State;

}  // namespace basBootloader
