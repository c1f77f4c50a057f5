// Short texts for a node, taken from its parsed config ROM: model and vendor names (textual
// descriptor leaves that follow an immediate entry), the GUID and the hardware version.
#pragma once

#include <cstdint>
#include <string>

#include "bus1394/config_rom_record.h"

namespace basConfigRom {

using bas1394::ConfigRomRecord;

// The text of the first textual descriptor leaf (key ID 1) that follows the immediate entry
// `key` in the directory named by `directoryKey` (0 = the root directory), or one of the
// stand-ins "No Config ROM", "No Config ROM Keytext" (also when that leaf could not be read),
// "No root directory", "DirectoryType 0x.. not found", "Minimal ConfigRom (ven 0x..)".
std::string GetKeyText(int32_t directoryKey, int32_t key, const ConfigRomRecord& rom);
// Model name: unit directory, then vendor directory, then root; else
// "<UNREADABLE CONFIG ROM MODEL TEXT>".
std::string GetModelText(const ConfigRomRecord& rom);
// Vendor name: module vendor, then node vendor text of the root; else
// "<UNREADABLE CONFIG ROM VENDOR TEXT>".
std::string GetVendorText(const ConfigRomRecord& rom);
// "VVVVVVHH LLLLLLLL" from the bus information block (always 17 characters).
std::string GetGuidText(const ConfigRomRecord& rom);
// " MODULE_HW_VERSION=n" / " NODE_HW_VERSION=n" per occurrence, "<not found>" when none,
// empty while the topology is not ready.
std::string GetHardwareVersion(const ConfigRomRecord& rom);

}  // namespace basConfigRom
