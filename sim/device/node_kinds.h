// The device kinds of this folder in bus descriptions, the default bus, and the device
// commands of the control tool.
//
// Kind "lumarel460" (every key optional):
//   "mode": "bootloader" | "application" | "debugger"   (application needs a valid image)
//   "protocol": 1 | 2 | 3 | "2be"                        (2be: protocol 2, big-endian)
//   "guid", "factory_guid": 16 hex digits; "mac", "factory_mac": 12 hex digits
//   "hardware_model_id", "hardware_revision", "bootloader_version", "max_block_size",
//   "shell_ring_size": numbers (or "0x.." texts)
//   "vendor", "model", "boot_model": config ROM texts
//   "announce_boot": true to write "BOOT" into the host at 0xFFFF:C8029000 after each restart
//                    into the bootloader (the host sees incoming data)
//   "images": [{"type": 0-3, "file": "image.bin"}, {"package": "firmware.fwp"}]
//       a raw image file goes into the slot of its type as a verified image; a package puts
//       its application image (or "type" given) and its configuration data into their slots;
//       each names a regular file (anything else, a FIFO included, is refused at once)
//   "keys": {"name": "hex bytes", ...}
//   "timing": {"answer_latency_ms", "erase_time_ms", "verify_time_ms", "persistent_init_ms",
//              "reset_time_ms"}
//   "device_faults": {"silent", "late_answer_ms", "flash_write_failures", "corrupt_image",
//                     "ignore_debug_guid", "silent_factory_defaults", "state_disk_free"}
// Kind "debugger1394": no parameters.
#pragma once

#include <string>

#include <nlohmann/json.hpp>

#include "bus/node.h"
#include "device/lumarel_node.h"

namespace sim::lumarel {

// Registers both kinds with the bus's kind registry (idempotent). The library also does this
// when it is loaded; programs that build buses call it to be sure the library is linked.
void RegisterNodeKinds();

// The embedded default bus of the bus service: the local host and one Lumarel 460 in its
// bootloader with its factory GUID and no application image.
nlohmann::json DefaultBusDescription();

// Builds a device from a "lumarel460" entry. Throws std::invalid_argument naming the field.
std::unique_ptr<Lumarel460Node> MakeLumarel460(const nlohmann::json& nodeDesc);

// Applies the device parts of a control command to the model (call with the bus lock held):
//   {"power_cycle": true}, {"power_off": true}, {"corrupt_slot": 0-3}, {"shell_emit": "text"},
//   {"timing": {...}}, {"device_faults": {...}} (keys as in descriptions)
// Returns false with a message, changing nothing, when the command is malformed.
bool ApplyDeviceCommand(Lumarel460& device, const nlohmann::json& command, std::string& error);

}  // namespace sim::lumarel
