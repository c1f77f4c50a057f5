// The target list: rebuilt on the node table after every bus reset; each target keeps its
// device handle across resets, and connected targets get their debug GUIDs in line.
#pragma once

#include <cstdint>

#include "bootloader/records.h"
#include "bus1394/node_records.h"

namespace basBootloader {

// The hook through which the bus layer's reset pass reaches this module (module start and end
// install and remove it).
void InstallBusResetHook();
void RemoveBusResetHook();

int32_t BusResetHandler();
int16_t BuildBootloaderDeviceList();
int32_t CreateBootloaderDevice(const bas1394::NodeRecord& node, const InfoRegisters& info);
int32_t OpenBootloaderDevice(const bas1394::NodeRecord& node);
int32_t CloseBootloaderDevice(int32_t handle);
int32_t ConnectToBootloaderDevice(BootloaderTarget& target);
bool DetectDebugger(const bas1394::NodeRecord& node);
int32_t GetTargetIndexByGuid(const bas1394::NodeRecord& node, const InfoRegisters& info);
int32_t SynchronizeGUIDs();
int32_t HandleNullGUIDs();
int32_t HandleDuplicateGUIDs();
int32_t GetNextDebugGUID(ByteArray& guid);
// Forgets the generated debug GUIDs (module start does this; tests use it too).
void ResetDebugGUIDGenerator();

}  // namespace basBootloader
