// Info registers: the 104-byte block at the base of a target's protocol region, and the probe
// that tells whether a node runs the 1394 debugger.
#pragma once

#include <cstdint>

#include "bootloader/records.h"
#include "bus1394/node_records.h"

namespace basBootloader {

int32_t ReadInfoRegisters(const bas1394::NodeRecord& node, InfoRegisters& info);
bool VerifyCompatibility(const InfoRegisters& info);
bool CheckForDebugSupport(const bas1394::NodeRecord& node, int32_t timeoutMs = 0);
// Decodes the 104 register bytes in the byte order of the protocol version (offset 8, read
// least significant byte first). Fewer bytes leave the missing fields zero.
InfoRegisters DecodeInfoRegisters(const ByteArray& bytes);

}  // namespace basBootloader
