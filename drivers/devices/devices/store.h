// The device store: the machine's device nodes, its INF folder and its drivers, kept as files
// under the platform root so that every program sharing one root sees the same devices.
//
//   $LUMAREL_ROOT/devices/<serial>.dev   one device node a file; enumeration runs in ascending
//                                        serial order
//   $LUMAREL_ROOT/devices/.lock          taken (flock) around every change
//   $LUMAREL_ROOT/devices/.generation    bumped on every change, for whoever follows the store
//   $LUMAREL_ROOT/devices/counters       how often some calls ran ("sets", "rescans", ...)
//   $LUMAREL_ROOT/devices/faults         failures to inject, one rule a line (see below)
//   $LUMAREL_ROOT/drives/c/WINDOWS/inf/  the INF folder: test INFs and installed oem<N>.inf with
//                                        their compiled companions oem<N>.pnf
//
// A node file is plain text, one "Key=value" a line, in this order when written:
//
//   InstanceId=1394\HALVORIN_INC&LUMA_REL\0A3C7E1000010ABC
//   HardwareId=1394\Halvorin_Inc&LUMA_Rel     repeatable: the multi-string, in order; no line at
//                                             all means the node has no hardware-ID property
//   HardwareIdType=7                          optional registry type of that property (1 text,
//                                             3 binary, 7 multi-string, the default)
//   HardwareIdBytes=41420043                  optional raw value of the property in hex, taking
//                                             the place of the composed multi-string
//   Present=1
//   Interface={006902CB-E626-45B4-8A62-2EAAD63F8D12} \\.\LUMAREL_AVC0   repeatable
//   Driver=oem3.inf                           the installed INF bound to the node
//
// Any other key is kept as it stands, in its order, for the node's other readers.
//
// A fault rule reads "<Operation>[:<subject>]=<code>", for example
// "SetupDiCallClassInstaller:1394\X=5" or "DeleteFile:oem7.inf=5"; the code is decimal or 0x-hex.
// A rule without a subject hits every call of the operation; with one, the calls whose subject
// (a hardware ID, an instance ID or a file name, as each operation says) equals it without
// regard to case.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace devices {

inline constexpr uint32_t REG_SZ = 1;
inline constexpr uint32_t REG_BINARY = 3;
inline constexpr uint32_t REG_MULTI_SZ = 7;

struct DeviceNode {
    std::string serial;  // the file's name without ".dev"; given by the store when empty
    std::string instanceId;
    std::vector<std::string> hardwareIds;
    uint32_t hardwareIdType = REG_MULTI_SZ;
    std::optional<std::vector<uint8_t>> hardwareIdBytes;
    bool present = true;
    std::vector<std::string> interfaces;
    std::string driver;
    std::vector<std::pair<std::string, std::string>> other;

    // The hardware-ID property as the registry holds it (raw bytes when given, otherwise the
    // IDs as a multi-string, or the first one alone for a text value); empty when the node has
    // no such property.
    std::vector<uint8_t> HardwareIdValue() const;
    bool HasHardwareIdProperty() const { return hardwareIdBytes || !hardwareIds.empty(); }
};

// The store's folder ($LUMAREL_ROOT/devices); not created here.
std::filesystem::path StoreFolder();
// The Windows folder as programs see it ("C:\WINDOWS") and its native folder.
inline constexpr const char* kWindowsFolder = "C:\\WINDOWS";
std::filesystem::path WindowsFolderNative();
// The native INF folder (<Windows folder>/inf).
std::filesystem::path InfFolderNative();
// Creates the store's and the INF folder's folders when missing.
bool EnsureFolders();

// A node file's text and back. Parsing fails (nullopt) for a text that is not key=value lines
// or is larger than the store ever writes.
std::optional<DeviceNode> ParseNode(std::string_view text);
std::string FormatNode(const DeviceNode& node);

// Every node, in ascending serial order. Unreadable or malformed files are passed over.
std::vector<DeviceNode> ListNodes();
std::optional<DeviceNode> ReadNode(const std::string& serial);
// Writes a node; an empty serial gets the next free one. The serial used, or empty on failure.
std::string WriteNode(DeviceNode node);
bool RemoveNode(const std::string& serial);
// Bumped on every change of the nodes.
uint64_t Generation();

// The whole of a file no larger than `limit` bytes; nullopt when it cannot be read or is larger.
std::optional<std::string> ReadBoundedFile(const std::filesystem::path& path, std::uintmax_t limit);

// Two hardware IDs match when they are equal after white space is removed at both ends,
// without regard to case.
std::string TrimWhite(std::string_view text);
bool SameHardwareId(std::string_view a, std::string_view b);

// The name of an installed driver package in the INF folder: oem<N>.inf (without regard to
// case), a bare file name.
bool IsInstalledInfName(const std::string& name);
// Binds every present node that has no driver yet to the first installed oem<N>.inf (in name
// order) that lists one of its hardware IDs. The number of nodes bound.
int BindDrivers();
// True while the node is bound to an installed oem<N>.inf of the INF folder that lists one of
// its hardware IDs: its driver can run. A driver name of a package since deleted (or of anything
// else) is not one.
bool HasInstalledDriver(const DeviceNode& node);

// ---- fault injection and counters ---------------------------------------------------------

// The code of the first fault rule of `operation` that matches one of the subjects (or has
// none); nullopt when no rule applies.
std::optional<uint32_t> InjectedFault(std::string_view operation,
                                      const std::vector<std::string>& subjects = {});
// Appends a rule to the fault file.
void AddFault(const std::string& rule);

void BumpCounter(const std::string& name);
uint64_t Counter(const std::string& name);

}  // namespace devices
