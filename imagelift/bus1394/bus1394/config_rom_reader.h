// Reading and parsing a node's configuration ROM (IEEE 1212 layout as 1394 nodes expose it):
// the ROM header and bus information block at 0xFFFF:F0000400, the root directory after it,
// and every directory, leaf and CSR-offset register reachable from the root. A node's ROM is read
// quadlet by quadlet through the read wrapper with the config ROM time-out; a ROM image in memory
// is parsed by the same walk.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bus1394/config_rom_record.h"
#include "bus1394/node_records.h"
#include "support/debug_log.h"

namespace basConfigRom {

using bas1394::BusInfoRecord;
using bas1394::ConfigRomRecord;
using bas1394::CsrOffsetRecord;
using bas1394::DirectoryEntry;
using bas1394::DirectoryRecord;
using bas1394::LeafRecord;
using bas1394::RootDirectoryRecord;

// A caller's message prefix; each procedure forms its own as prefix + "|" ("|" without one).
using Prefix = std::optional<std::string>;

// Results of the readers.
inline constexpr int32_t kRootNotRead = -20;
inline constexpr int32_t kNullHeader = -21;

// Masks that pick a block's length out of its header quadlet.
inline constexpr int32_t kRomHeaderLengthMask = static_cast<int32_t>(0xFF000000u);
inline constexpr int32_t kBlockLengthMask = static_cast<int32_t>(0xFFFF0000u);
inline constexpr int32_t kMaxBlockQuadlets = 512;

// A directory nested deeper than this below the root is not read (nor one already read in
// this ROM): pointers in a damaged ROM can otherwise lead round in circles.
inline constexpr int kMaxDirectoryDepth = 16;
// Nor is any directory beyond this many in one ROM (a real ROM holds a handful).
inline constexpr int kMaxDirectories = 256;

// A config ROM is at most 1 KB (256 quadlets), and a sound one costs about one quadlet read
// and one line of the text tree per quadlet (a leaf that several entries share is read once).
// Blocks that overlap, and many entries pointing at one block, can make a small ROM cost far
// more; so one ROM's reading is held to these totals, counting the bus information block and
// every directory, leaf and CSR-offset register, and past them the rest of the ROM is
// unreadable: its reads fail with kRomBoundReached, as a failed read would.
inline constexpr int kMaxRomQuadletReads = 1024;
inline constexpr int kMaxRomTreeNodes = 1024;
inline constexpr int32_t kRomBoundReached = -22;
// A read of a ROM image that does not lie wholly inside the image.
inline constexpr int32_t kOutsideRomImage = -23;

// Reads and parses the whole ROM of NodeTable(nodeIndex) into `rom`. 1 = everything read;
// -1 = bus information block not read, or the ROM is minimal; -20 = root directory not read.
int32_t GetFormattedConfigRom(int32_t nodeIndex, ConfigRomRecord& rom, const Prefix& prefix = {});
// Parses a ROM image, its bytes from the ROM's base (0xFFFF:F0000400) on, as GetFormattedConfigRom
// parses a node's ROM: the same results and bounds, with what lies outside the image unreadable.
int32_t ParseConfigRom(const std::vector<uint8_t>& image, ConfigRomRecord& rom);
// Reads and decodes the bus information block: 1 = decoded or minimal ROM; -1 = failure.
int32_t GetFormattedConfigRomBusInfoBlock(int32_t nodeIndex, ConfigRomRecord& rom,
                                          const Prefix& prefix = {});
// Reads one block (header quadlet, then length quadlets) into `data`: 1, -1 (bad node index or
// length), -21 (null header) or the read wrapper's code.
int32_t GetConfigRomEntry(int32_t nodeIndex, int32_t address, int32_t lengthMask,
                          std::vector<uint8_t>& data, const Prefix& prefix = {});
// Reads directory `directoryIndex` at `address` and walks everything below it. Within one
// call each leaf address is read once: further entries that point at it get the same bytes.
int32_t GetConfigRomDirectory(int32_t nodeIndex, int32_t address, int32_t directoryIndex,
                              ConfigRomRecord& rom, const Prefix& prefix = {});
// Reads one leaf (and, for a textual descriptor of key ID 1, its text).
void GetConfigRomLeaf(int32_t nodeIndex, int32_t address, const DirectoryEntry& entry,
                      LeafRecord& leaf);
// Stores one immediate root entry by its key ID (always 1).
int32_t DecodeRootDirectoryEntry(const DirectoryEntry& entry, ConfigRomRecord& rom);
// Appends a directory record below `parentIndex` (always 1).
int32_t AddDirectoryRecord(ConfigRomRecord& rom, int32_t parentIndex);
// True when the ROM header's info_length is 1 (a minimal ROM: vendor ID only).
bool ConfigRomIsMinimal(const ConfigRomRecord& rom);

// The module's log procedure: module "basConfigRom"; silent while the main window does not
// exist; a level given as the text "WARNING" is dropped while a download sends blocks.
void LogMsg(const std::string& message, const basDebug::LevelArg& level = {},
            const Prefix& prefix = {});

}  // namespace basConfigRom
