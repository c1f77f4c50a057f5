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
// Always 0.
int32_t Terminate();
// Logs under the module name "basBootloader"; while a download sends blocks, lines below
// level 8 are dropped.
void Log(const std::string& message, const basDebug::LevelArg& level = {});

bas1394::NodeRecord GetNodeNum(int32_t handle);
int32_t GetDeviceHandleFromGuid(const ByteArray& guid, std::optional<int32_t> skipHandle = std::nullopt);
int32_t GetDeviceHandle(const bas1394::NodeRecord& node);
int32_t GetDeviceIndex(int32_t handle);

// The same lookups under the names the windows use.
// A copy of the node record of the target with that handle; the empty record (node number 128)
// when the handle is not positive or names no target.
bas1394::NodeRecord GetBootloaderDevice(int32_t handle);
// The index in TargetList of the target with that handle; -1 when there is none.
int32_t GetTargetIndex(int32_t handle);
// The device handle (not the index) of the first target on the record's node number; 0 when
// there is none.
int32_t GetTargetIndexByNode(const bas1394::NodeRecord& node);
// The handle of the first target whose info-register GUID equals `guid` (same size and bytes)
// and, when `handleText` is given, whose handle written as decimal text differs from it; 0
// when there is none.
int32_t GetTargetHandleByGuid(const ByteArray& guid, const std::optional<std::string>& handleText = std::nullopt);

}  // namespace basBootloader
