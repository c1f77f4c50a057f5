// Bus descriptions: a JSON text naming the nodes of a bus in order, and the registry of
// node kinds that builds each node from its entry.
//
//   {
//     "nodes": [
//       {"id": "host", "kind": "host"},
//       {"id": "dev", "kind": "lumarel460", ...kind parameters...,
//        "link_active": true, "plugged": true,
//        "phy": {"gap_count": 63, "speed": 2, "contender": false, "power_class": 0,
//                "delay": 0, "ports": ["parent", "child", "none"], "extended": false},
//        "faults": [{"kind": "no_response", "address": "0xFFFFF0000400", "length": 4,
//                    "direction": "read", "count": 1, "delay_ms": 0, "after": 3,
//                    "code": "0x80000002"}]}
//     ],
//     "local_host": 0,               (optional: the host's place in the list, which is its
//                                     PHY ID when every node before it is plugged; without
//                                     a node of kind "host" a default host goes there, with
//                                     one it must agree)
//     "virtual_devices": ["1394_VIRTUAL_DEVICE"]   (optional)
//   }
//
// Built-in kinds:
//   "host"        the local host: "guid", "vendor" (text leaf), "rom_readable" (true)
//   "foreign"     another vendor's node: "guid", "vendor_id", "vendor", "model_id", "model",
//                 "specifier_id", "version" (a unit directory), or "rom" (config_rom.h JSON)
//   "minimal"     a minimal ROM: "vendor_id"
//   "raw"         "quadlets": the ROM as listed, taken as it is (CRCs included)
//   "unreadable"  a node whose ROM reads fail: "error": "no_response" | "address_error"
//   "plain"       "rom" (config_rom.h JSON or a quadlet list) and "registers":
//                 [{"address": "0xFFFFF0000800", "value": "0x12345678", "writable": false}]
// Other kinds (the audio interface "lumarel460", its debugger node ...) register themselves.
#pragma once

#include <filesystem>
#include <functional>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/bus.h"
#include "bus/node.h"

namespace sim {

// A description that cannot be used; what() names the node and field.
class DescriptionError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a factory gets for one node entry.
struct NodeContext {
    const nlohmann::json& nodeDesc;          // the node's entry (all its keys)
    std::string id;                      // the node's id
    std::filesystem::path stateDir;      // this node's state folder (may be empty: none)
};
// Builds the node or throws (DescriptionError or std::invalid_argument) with a clear message.
using NodeFactory = std::function<std::unique_ptr<Node>(const NodeContext& context)>;

// Registers (or replaces) a kind. Thread-safe; the built-in kinds are always registered.
void RegisterNodeKind(const std::string& kind, NodeFactory factory);
bool IsNodeKindRegistered(const std::string& kind);
std::vector<std::string> NodeKinds();
// Builds one node of a registered kind (throws DescriptionError for an unknown kind).
std::unique_ptr<Node> MakeNode(const std::string& kind, const NodeContext& context);

// The name of a node's state folder: its id with every character outside [A-Za-z0-9_-]
// replaced by '_', so that no id reaches outside the state root.
std::string StateFolderName(const std::string& id);
// The id among `ids` (other than `id` itself) whose state folder is the one of `id`: ids that
// differ only in characters outside [A-Za-z0-9_-] ("u.1" and "u_1") would share one, and one
// device would come back with the other's state. Empty when there is none. A bus refuses the
// second of two such nodes, so every node keeps its own folder under its usual name.
std::string StateFolderSharedWith(const std::vector<std::string>& ids, const std::string& id);

// Replaces everything on the bus by the description's nodes and virtual devices and resets
// the bus once (cause Configuration). Nodes get the state folder stateRoot / StateFolderName(id) when
// stateRoot is not empty. Throws DescriptionError and leaves the bus as it was when the
// description is bad (two ids that would share a state folder included).
void LoadDescription(Bus& bus, const nlohmann::json& description,
                     const std::filesystem::path& stateRoot = {});
// Reads a JSON file (DescriptionError when it is missing or not JSON) and loads it.
void LoadDescriptionFile(Bus& bus, const std::filesystem::path& file,
                         const std::filesystem::path& stateRoot = {});

}  // namespace sim
