// basBootloader: the bootloader protocol of the Lumarel 460 and its relatives.
//
// A bootloader target is a 1394 node whose bootloader (or firmware) answers requests in a fixed
// region of its address space: info registers at the base, a request area the host writes, a
// response area the host polls. This module stamps and sends requests, polls and validates the
// answers under the machine-wide "ShellTransactionMutex", runs every bootloader command, keeps
// the list of targets with device handles that survive bus resets, reads firmware packages,
// downloads images block by block and carries the 1394 shell's characters.
//
// Everything runs on the program's user-interface thread. Results are 32-bit: 1 success, any
// other value a failure code.
//
// This header: module start and end, the module's log procedure and the lookups that turn a
// device handle into a target.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "bootloader/records.h"
#include "bus1394/node_records.h"
#include "support/debug_log.h"

namespace basBootloader {

// Module start resets the module's state, opens both mutexes and installs the hook through
// which the bus layer's reset pass calls BusResetHandler; module end removes the hook and
// closes the mutexes.
void Initialize();
void Terminate();
// Logs under the module name "basBootloader"; while a download sends blocks, lines below
// level 8 are dropped.
void Log(const std::string& message, const basDebug::LevelArg& level = {});

bas1394::NodeRecord GetNodeNum(int32_t handle);
int32_t GetDeviceHandleFromGuid(const ByteArray& guid, std::optional<int32_t> skipHandle = std::nullopt);
int32_t GetDeviceHandle(const bas1394::NodeRecord& node);
int32_t GetDeviceIndex(int32_t handle);

}  // namespace basBootloader
