#include "bus1394/config_rom_reader.h"

#include <map>

#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/resume_next.h"

namespace basConfigRom {
namespace {

using bas1394::NodeRecord;
using bas1394::State;
// Config ROMs hold their quadlets most significant byte first.
using basUtils::ByteOrder;

std::string FormPrefix(const Prefix& prefix) { return prefix.value_or("") + "|"; }

// The high part of every ROM address, as the messages print it.
const std::string kHighHex = vb::Hex(static_cast<int16_t>(-1));

bool ValidNodeIndex(int32_t nodeIndex) {
    return nodeIndex >= 0 && static_cast<size_t>(nodeIndex) < State.NodeTable.size();
}

// The fields of the node the read wrapper needs (its ROM is not copied along).
NodeRecord NodeForReading(int32_t nodeIndex) {
    const NodeRecord& n = State.NodeTable[static_cast<size_t>(nodeIndex)];
    NodeRecord copy;
    copy.DriverType = n.DriverType;
    copy.NodeNumber = n.NodeNumber;
    copy.Topology = n.Topology;
    return copy;
}

// The running totals of one ROM's reading, held to kMaxRomQuadletReads and kMaxRomTreeNodes:
// quadlet requests made, lines the text tree will show for what was kept, and every leaf block
// read so far by its address (with the read's result), so that a leaf is read once.
class RomWalk {
public:
    explicit RomWalk(int32_t nodeIndex) : nodeIndex_(nodeIndex) {}

    // Takes `quadlets` reads and `lines` tree lines from what is left. Once that would pass
    // either bound, the walk is spent: this and every later call answer false.
    bool Take(int quadlets, int lines) {
        if (!spent_ && reads_ + quadlets <= kMaxRomQuadletReads && lines_ + lines <= kMaxRomTreeNodes) {
            reads_ += quadlets;
            lines_ += lines;
            return true;
        }
        if (!spent_) {
            spent_ = true;
            LogMsg("GetConfigRomDirectory: the config rom of node index " + std::to_string(nodeIndex_) +
                       " needs more than " + std::to_string(kMaxRomQuadletReads) + " quadlet reads or " +
                       std::to_string(kMaxRomTreeNodes) + " tree lines; the rest of it is not read.",
                   "WARNING");
        }
        return false;
    }

    struct LeafBlock {
        int32_t result;
        std::vector<uint8_t> bytes;
    };
    std::map<int32_t, LeafBlock> leaves;

private:
    int32_t nodeIndex_;
    int reads_ = 0;
    int lines_ = 0;
    bool spent_ = false;
};

// Lines of the text tree that come before the root directory's own: the bus information block
// with its five quadlets, and the root directory's title.
constexpr int kFixedTreeLines = 7;
// Lines the text tree shows under a leaf entry, whether or not the leaf could be read (one that
// could not shows as unreadable): a textual descriptor's header, its two descriptor quadlets, its
// raw data and its text; any other leaf's header and data.
constexpr int kTextLeafLines = 5;
constexpr int kDataLeafLines = 2;

// Lines the text tree shows for directory `d` read as `raw`, all but those of its sub-directories
// (each counts its own when it is read): its header and one per entry, the flags under each
// node-capabilities entry of the root directory, the lines of each leaf entry and the data line
// of each CSR-offset entry. Taken before any of its entries is followed, so that whatever is
// kept of the ROM fits the text tree's bound whichever of its leaves and registers can be read.
int TreeLinesOf(const std::vector<uint8_t>& raw, int32_t d) {
    int lines = 1;
    for (size_t at = 4; at + 3 < raw.size(); at += 4) {
        ++lines;
        const int keyType = raw[at] >> 6;
        const int keyId = raw[at] & 0x3F;
        if (d == 0 && keyId == 0x0C) lines += bas1394::kCapabilityCount;
        if (keyType == 2) lines += keyId == 1 ? kTextLeafLines : kDataLeafLines;
        if (keyType == 1) lines += 1;
    }
    return lines;
}

// Where a ROM's quadlets come from: a node on the bus, or an image of its ROM in memory. Fetching
// and parsing are one walk, because each block's header says how much follows it and each entry
// where to read next; the walk asks its source for quadlets as it goes.
class RomSource {
public:
    explicit RomSource(int32_t index) : nodeIndex(index) {}
    virtual ~RomSource() = default;
    // False once the node is no longer in the node table (a bus reset during the walk).
    virtual bool Present() const = 0;
    virtual int16_t NodeNumber() const = 0;
    // Reads `bytes` (whole quadlets) at `address` of the ROM's 48-bit space (high part 0xFFFF).
    virtual int32_t Read(uint32_t address, int32_t bytes, std::vector<uint8_t>& out) = 0;
    // The node index the walk's messages name.
    const int32_t nodeIndex;
};

// The ROM of NodeTable(nodeIndex), quadlet by quadlet through the read wrapper.
class NodeRomSource final : public RomSource {
public:
    using RomSource::RomSource;
    bool Present() const override { return ValidNodeIndex(nodeIndex); }
    int16_t NodeNumber() const override { return State.NodeTable[static_cast<size_t>(nodeIndex)].NodeNumber; }
    int32_t Read(uint32_t address, int32_t bytes, std::vector<uint8_t>& out) override {
        bas1394::Address48 at;
        at.OffsetHigh = -1;
        at.OffsetLow = static_cast<int32_t>(address);
        return bas1394::AsyncReadWrapperVB(NodeForReading(nodeIndex), at, bytes, true,
                                           imagelift::Ctx().ConfigRomTimeout, out);
    }
};

// A ROM image: its bytes from the ROM's base on. A read that does not lie wholly inside it fails.
class ImageRomSource final : public RomSource {
public:
    explicit ImageRomSource(const std::vector<uint8_t>& image) : RomSource(0), image_(image) {}
    bool Present() const override { return true; }
    int16_t NodeNumber() const override { return 0; }
    int32_t Read(uint32_t address, int32_t bytes, std::vector<uint8_t>& out) override {
        const uint32_t base = static_cast<uint32_t>(bas1394::kConfigRomBase);
        const uint64_t from = uint64_t(address) - base;
        if (address < base || bytes < 0 || from + uint64_t(bytes) > image_.size()) {
            return kOutsideRomImage;
        }
        out.assign(image_.begin() + static_cast<std::ptrdiff_t>(from),
                   image_.begin() + static_cast<std::ptrdiff_t>(from + uint64_t(bytes)));
        return 1;
    }

private:
    const std::vector<uint8_t>& image_;
};

// Reads `bytes` at `address` from the source; within a ROM walk, only while it has reads left.
int32_t ReadRom(RomWalk* walk, RomSource& source, uint32_t address, int32_t bytes, std::vector<uint8_t>& out) {
    if (walk && !walk->Take(bytes / 4, 0)) return kRomBoundReached;
    return source.Read(address, bytes, out);
}

// Target of a leaf or directory entry: offsets count in quadlets from the entry's own quadlet.
// The sum is formed in 64 bits; a target beyond the 32-bit space cannot be read.
bool EntryTarget(const DirectoryEntry& entry, int32_t& target) {
    const uint64_t sum = uint64_t(static_cast<uint32_t>(entry.Address)) +
                         4 * uint64_t(static_cast<uint32_t>(entry.Value));
    target = static_cast<int32_t>(static_cast<uint32_t>(sum));
    return sum <= 0xFFFFFFFFull;
}

void LogUnreachable(int32_t nodeIndex, const DirectoryEntry& entry) {
    LogMsg("GetConfigRomDirectory: entry at address 0x" + kHighHex + vb::Hex(entry.Address) +
               " points beyond the config rom address space, node index " +
               std::to_string(nodeIndex) + ".",
           "WARNING");
}

int DepthOf(const ConfigRomRecord& rom, int32_t directoryIndex) {
    const auto& dirs = rom.RootDirectory.Directories;
    int depth = 0;
    for (int32_t d = directoryIndex; d > 0 && depth <= kMaxDirectoryDepth; ++depth) {
        d = dirs[static_cast<size_t>(d)].ParentIndex;
    }
    return depth;
}

// True when a directory of this ROM other than `directoryIndex` sits at the same address:
// that one has been (or is being) walked already.
bool AlreadyWalked(const ConfigRomRecord& rom, int32_t directoryIndex, int32_t address) {
    const auto& dirs = rom.RootDirectory.Directories;
    for (size_t e = 0; e < dirs.size(); ++e) {
        if (static_cast<int32_t>(e) != directoryIndex && dirs[e].Address == address) return true;
    }
    return false;
}

int32_t ReadEntry(RomWalk* walk, RomSource& source, int32_t address, int32_t lengthMask,
                  std::vector<uint8_t>& data, const Prefix& prefix);
int32_t ReadBusInfoBlock(RomWalk* walk, RomSource& source, ConfigRomRecord& rom, const Prefix& prefix);
int32_t WalkDirectory(RomWalk& walk, RomSource& source, int32_t address, int32_t d, ConfigRomRecord& rom);
void ReadLeaf(RomWalk& walk, RomSource& source, int32_t address, const DirectoryEntry& entry,
              LeafRecord& leaf);

}  // namespace

void LogMsg(const std::string& message, const basDebug::LevelArg& level, const Prefix& prefix) {
    basDebug::ModuleLog(basDebug::kConfigRomRule, "basConfigRom",
                        prefix ? *prefix + message : message, level);
}

int32_t GetConfigRomEntry(int32_t nodeIndex, int32_t address, int32_t lengthMask,
                          std::vector<uint8_t>& data, const Prefix& prefix) {
    NodeRomSource source(nodeIndex);
    return ReadEntry(nullptr, source, address, lengthMask, data, prefix);
}

int32_t GetFormattedConfigRomBusInfoBlock(int32_t nodeIndex, ConfigRomRecord& rom,
                                          const Prefix& prefix) {
    NodeRomSource source(nodeIndex);
    return ReadBusInfoBlock(nullptr, source, rom, prefix);
}

int32_t GetConfigRomDirectory(int32_t nodeIndex, int32_t address, int32_t d, ConfigRomRecord& rom,
                              const Prefix& /*prefix*/) {
    RomWalk walk(nodeIndex);
    NodeRomSource source(nodeIndex);
    return WalkDirectory(walk, source, address, d, rom);
}

void GetConfigRomLeaf(int32_t nodeIndex, int32_t address, const DirectoryEntry& entry,
                      LeafRecord& leaf) {
    RomWalk walk(nodeIndex);
    NodeRomSource source(nodeIndex);
    ReadLeaf(walk, source, address, entry, leaf);
}

namespace {

int32_t ReadEntry(RomWalk* walk, RomSource& source, int32_t address, int32_t lengthMask,
                  std::vector<uint8_t>& data, const Prefix& prefix) {
    const int32_t nodeIndex = source.nodeIndex;
    const Prefix own = FormPrefix(prefix);
    if (!source.Present()) {
        LogMsg("GetConfigRomEntry: invalid node index: " + std::to_string(nodeIndex) +
                   ".  Exiting abnomally.",
               "ERROR");
        return -1;
    }
    const std::string nodeText = std::to_string(source.NodeNumber());
    const std::string where = kHighHex + vb::Hex(address);
    data.assign(1, 0);

    std::vector<uint8_t> header;
    int32_t r = ReadRom(walk, source, static_cast<uint32_t>(address), 4, header);
    if (r != 1) {
        LogMsg("Could not read config rom data at address 0x" + where + " node " + nodeText +
                   ", code " + std::to_string(r) + "(0x" + vb::Hex(r) + ")!",
               "TRACE", own);
        return r;
    }
    const int32_t headerValue = basUtils::ReadI32(header, 0, ByteOrder::Big);
    if (headerValue == 0) {
        LogMsg("Null header quadlet at the base of the config rom entry, node " + nodeText +
                   ", address 0x" + where + ".",
               "TRACE", own);
        return kNullHeader;
    }
    const int32_t length = basUtils::GetBitField(headerValue, lengthMask);
    if (length < 1) {
        LogMsg("0 length of config rom entry header, node " + nodeText + ", address 0x" + where + "!",
               "WARNING", own);
        return -1;
    }
    if (length > kMaxBlockQuadlets) {
        LogMsg("Invalid length (" + std::to_string(length) +
                   ") indicated in header of config rom entry, node " + nodeText + ", address 0x" +
                   where + "!",
               "WARNING", own);
        return -1;
    }
    std::vector<uint8_t> body(1, 0);
    const bool minimal = header[0] == 1 && address == bas1394::kConfigRomBase;
    if (!minimal) {
        r = ReadRom(walk, source, static_cast<uint32_t>(address) + 4, length * 4, body);
        if (r != 1) {
            LogMsg("GetConfigRomEntry: second call to AsyncReadWrapper returned code " +
                       std::to_string(r) + "(0x" + vb::Hex(r) + ") node " + nodeText,
                   "WATCH", own);
            return r;
        }
    }
    data = std::move(header);
    data.insert(data.end(), body.begin(), body.end());
    return 1;
}

int32_t ReadBusInfoBlock(RomWalk* walk, RomSource& source, ConfigRomRecord& rom, const Prefix& prefix) {
    const int32_t nodeIndex = source.nodeIndex;
    const Prefix own = FormPrefix(prefix);
    const std::string index = std::to_string(nodeIndex);
    LogMsg("GetFormattedConfigRomBusInfoBlock: getting bus info block for node index #" + index +
               "...",
           "DETAIL", own);
    BusInfoRecord& info = rom.BusInfo;
    info.RawBytes.assign(1, 0);
    info.BaseAddress = bas1394::kConfigRomBase;

    // A bus reset during the read is tried again, three calls in all.
    int32_t r = 0;
    for (int attempt = 0; attempt < 3; ++attempt) {
        r = ReadEntry(walk, source, bas1394::kConfigRomBase, kRomHeaderLengthMask, info.RawBytes, {});
        if (r != bas1394::kInterruptedByReset) break;
    }
    if (r != 1) {
        LogMsg("GetFormattedConfigRomBusInfoBlock failed: call to GetConfigRomEntry (node index #" +
                   index + ") failed, code " + std::to_string(r),
               "TRACE", own);
        return -1;
    }
    const std::vector<uint8_t>& raw = info.RawBytes;
    if (raw.size() >= 20) {
        info.InfoLength = raw[0];
        info.CrcLength = raw[1];
        info.RomCrc = basUtils::ReadU16(raw, 2, ByteOrder::Big);
        info.IRMC = (raw[8] & 0x80) != 0;
        info.CMC = (raw[8] & 0x40) != 0;
        info.ISC = (raw[8] & 0x20) != 0;
        info.BMC = (raw[8] & 0x10) != 0;
        info.PMC = (raw[8] & 0x08) != 0;
        info.ADJ = (raw[8] & 0x04) != 0;
        info.CycClkAcc = raw[9];
        info.MaxRec = static_cast<uint8_t>(raw[10] >> 4);
        info.MaxRom = static_cast<uint8_t>(raw[10] & 0x03);
        info.Generation = static_cast<uint8_t>(raw[11] >> 4);
        info.LinkSpd = static_cast<uint8_t>(raw[11] & 0x07);
        info.NodeVendorId = static_cast<int32_t>(basUtils::ReadU32(raw, 12, ByteOrder::Big) >> 8);
        info.ChipIdHi = raw[15];
        info.ChipIdLo = basUtils::ReadI32(raw, 16, ByteOrder::Big);
        std::copy(raw.begin() + 12, raw.begin() + 20, info.Guid.begin());
        return 1;
    }
    if (raw[0] == 1) {
        LogMsg("Minimal config rom on Node index #" + index, "TRACE", own);
        return 1;
    }
    LogMsg("GetFormattedConfigRomBusInfoBlock warning: only " + std::to_string(raw.size()) +
               " bytes of data returned from call to get bus info block " +
               "in bas1394.GetFormattedConfigRomBusInfoBlock " + "(node index #" + index +
               ".  EXITING ABNORMALLY.",
           "WARNING", own);
    return -1;
}

}  // namespace

namespace {

// The whole walk: the bus information block, then the root directory and all below it.
int32_t FormatRom(RomSource& source, ConfigRomRecord& rom, const Prefix& prefix) {
    const int32_t nodeIndex = source.nodeIndex;
    const Prefix own = FormPrefix(prefix);
    const std::string index = std::to_string(nodeIndex);
    int32_t result = -1;
    bool done = false;
    RomWalk walk(nodeIndex);
    walk.Take(0, kFixedTreeLines);
    vb::ResumeNext steps([&](const vb::Error& e) {
        LogMsg(vb::ErrorLine("Error #", e, " in bas1394.GetConfigRomDirectory"), "ERROR", own);
    });
    steps.Run([&] {
        LogMsg("GetFormattedConfigRom: Re-dimensioning config ROM arrays for node index #" + index +
                   "...",
               "DETAIL", own);
    });
    steps.Run([&] {
        rom.RootDirectory.Directories.assign(1, DirectoryRecord{});
        rom.BusInfo.RawBytes.assign(1, 0);
    });
    steps.Run([&] {
        LogMsg("GetFormattedConfigRom: Config ROM arrays for node index #" + index +
                   " are re-dimensioned.",
               "DETAIL", own);
    });
    steps.Run([&] {
        if (ReadBusInfoBlock(&walk, source, rom, {}) != 1) {
            LogMsg("GetFormattedConfigRom: failed to read BusInfoBlock (nodeindex #" + index + ") " +
                       "in bas1394.GetFomattedConfigRom.",
                   "TRACE", own);
            done = true;
        }
    });
    if (done) return result;
    steps.Run([&] {
        rom.RootDirectory.Directories[0].Address = static_cast<int32_t>(
            static_cast<uint32_t>(rom.BusInfo.BaseAddress) +
            4u * static_cast<uint32_t>(rom.BusInfo.InfoLength) + 4u);
    });
    steps.Run([&] { done = rom.BusInfo.RawBytes.at(0) == 1; });
    if (done) return result;
    steps.Run([&] {
        result = WalkDirectory(walk, source, rom.RootDirectory.Directories[0].Address, 0, rom) == 1
                     ? 1
                     : kRootNotRead;
    });
    return result;
}

}  // namespace

int32_t GetFormattedConfigRom(int32_t nodeIndex, ConfigRomRecord& rom, const Prefix& prefix) {
    NodeRomSource source(nodeIndex);
    return FormatRom(source, rom, prefix);
}

int32_t ParseConfigRom(const std::vector<uint8_t>& image, ConfigRomRecord& rom) {
    ImageRomSource source(image);
    return FormatRom(source, rom, {});
}

namespace {

int32_t WalkDirectory(RomWalk& walk, RomSource& source, int32_t address, int32_t d, ConfigRomRecord& rom) {
    const int32_t nodeIndex = source.nodeIndex;
    if (!source.Present()) {
        LogMsg("GetConfigRomDirectory: invalid node index: " + std::to_string(nodeIndex) +
                   ".  Exiting abnomally.",
               "ERROR");
        return -1;
    }
    auto& dirs = rom.RootDirectory.Directories;
    const std::string index = std::to_string(nodeIndex);
    const std::string where = vb::Hex(-1) + vb::Hex(address);
    if (d > 0 && (d >= kMaxDirectories || DepthOf(rom, d) > kMaxDirectoryDepth ||
                  AlreadyWalked(rom, d, address))) {
        LogMsg("GetConfigRomDirectory: directory at address 0x" + kHighHex + vb::Hex(address) +
                   " is not read (read before, nested deeper than " +
                   std::to_string(kMaxDirectoryDepth) + " levels, or more than " +
                   std::to_string(kMaxDirectories) + " directories), node index " + index + ".",
               "WARNING");
        return -1;
    }

    std::vector<uint8_t> raw;
    int32_t r = ReadEntry(&walk, source, address, kBlockLengthMask, raw, {});
    if (r == 1 && !walk.Take(0, TreeLinesOf(raw, d))) {
        raw.assign(1, 0);
        r = kRomBoundReached;
    }
    dirs[static_cast<size_t>(d)].RawBytes = raw;
    if (r == bas1394::kLibTimedOut) {
        LogMsg("GetConfigRomDirectory: target failed to respond in the given time, node index " +
                   index + ", address 0x" + where + ".",
               "WARNING");
        return -1;
    }
    if (r != 1) {
        LogMsg("GetConfigRomDirectory: failed call to GetConfigRomEntry, code " + std::to_string(r) +
                   "(0x" + vb::Hex(r) + "), node " + index + ", address 0x" + where + ".",
               "WARNING");
        return -1;
    }

    {
        DirectoryRecord& dir = dirs[static_cast<size_t>(d)];
        dir.Address = address;
        const int32_t header = basUtils::ReadI32(raw, 0, ByteOrder::Big);
        dir.Length = basUtils::GetBitField(header, kBlockLengthMask);
        dir.Crc = header & 0xFFFF;
        dir.Entries.assign(1, DirectoryEntry{});
        for (size_t k = 0; 4 * (k + 1) + 3 < raw.size(); ++k) {
            dir.Entries.resize(k + 1);
            DirectoryEntry& entry = dir.Entries[k];
            const uint8_t first = raw[4 * (k + 1)];
            entry.Address = static_cast<int32_t>(static_cast<uint32_t>(address) + 4u * uint32_t(k + 1));
            entry.KeyType = first >> 6;
            entry.KeyId = first & 0x3F;
            entry.Value = basUtils::ReadI32(raw, 4 * (k + 1), ByteOrder::Big) & 0xFFFFFF;
            entry.TargetIndex = 0;
        }
        dir.Offsets.assign(1, CsrOffsetRecord{});
        dir.Leaves.assign(1, LeafRecord{});
    }

    int32_t described = 0;
    const size_t entryCount = dirs[static_cast<size_t>(d)].Entries.size();
    for (size_t k = 0; k < entryCount; ++k) {
        try {
            // Directories may grow while sub-directories are walked: look the entry up afresh.
            const DirectoryEntry entry = dirs[static_cast<size_t>(d)].Entries[k];
            int32_t targetIndex = 0;
            switch (entry.KeyType) {
            case 0:
                if (d == 0) DecodeRootDirectoryEntry(entry, rom);
                described = entry.KeyId;
                break;
            case 3: {
                AddDirectoryRecord(rom, d);
                const int32_t n = static_cast<int32_t>(dirs.size()) - 1;
                int32_t target = 0;
                const bool reachable = EntryTarget(entry, target);
                dirs[static_cast<size_t>(n)].Address = target;
                dirs[static_cast<size_t>(n)].DescribedKeyId = described;
                if (reachable) {
                    WalkDirectory(walk, source, target, n, rom);
                } else {
                    LogUnreachable(nodeIndex, entry);
                }
                targetIndex = n;
                break;
            }
            case 2: {
                auto& leaves = dirs[static_cast<size_t>(d)].Leaves;
                if (leaves[0].Address != 0) leaves.emplace_back();
                const int32_t m = static_cast<int32_t>(leaves.size()) - 1;
                LeafRecord& leaf = leaves.back();
                int32_t target = 0;
                const bool reachable = EntryTarget(entry, target);
                leaf.DescribedKeyId = described;
                leaf.Address = target;
                leaf.DirectoryIndex = d;
                if (reachable) {
                    ReadLeaf(walk, source, target, entry, leaf);
                } else {
                    LogUnreachable(nodeIndex, entry);
                }
                targetIndex = m;
                break;
            }
            case 1: {
                auto& offsets = dirs[static_cast<size_t>(d)].Offsets;
                if (offsets[0].Address != 0) offsets.emplace_back();
                const int32_t o = static_cast<int32_t>(offsets.size()) - 1;
                const uint32_t registerAddress =
                    static_cast<uint32_t>(bas1394::kCsrRegisterBase) + 4u * static_cast<uint32_t>(entry.Value);
                std::vector<uint8_t> quadlet;
                const int32_t rr = ReadRom(&walk, source, registerAddress, 4, quadlet);
                CsrOffsetRecord& offset = dirs[static_cast<size_t>(d)].Offsets[static_cast<size_t>(o)];
                offset.DescribedKeyId = described;
                offset.Address = static_cast<int32_t>(registerAddress);
                offset.Value = rr == 1 ? basUtils::ReadI32(quadlet, 0, ByteOrder::Big) : 0;
                targetIndex = o;
                break;
            }
            default:
                break;
            }
            dirs[static_cast<size_t>(d)].Entries[k].TargetIndex = targetIndex;
        } catch (const std::exception& e) {
            LogMsg(bas1394::internal::FailureLine(e, "bas1394.GetConfigRomDirectory"));
        }
    }
    return 1;
}

void ReadLeaf(RomWalk& walk, RomSource& source, int32_t address, const DirectoryEntry& entry,
              LeafRecord& leaf) {
    const int32_t nodeIndex = source.nodeIndex;
    try {
        if (!source.Present()) {
            LogMsg("GetConfigRomLeaf: invalid node index: " + std::to_string(nodeIndex) +
                       ".  Exiting abnomally.",
                   "ERROR");
            return;
        }
        const int16_t nodeNumber = source.NodeNumber();
        // A leaf already read for another entry of this ROM is taken as it was read then.
        int32_t r = kRomBoundReached;
        if (const auto known = walk.leaves.find(address); known != walk.leaves.end()) {
            r = known->second.result;
            leaf.RawBytes = known->second.bytes;
        } else {
            r = ReadEntry(&walk, source, address, kBlockLengthMask, leaf.RawBytes, {});
            walk.leaves.emplace(address, RomWalk::LeafBlock{r, leaf.RawBytes});
        }
        if (r != 1) {
            LogMsg("GetConfigRomLeaf: failed call to GetConfigRomEntry, node " +
                       std::to_string(nodeNumber) + ".",
                   "WARNING");
            return;
        }
        const std::vector<uint8_t>& raw = leaf.RawBytes;
        const int32_t header = basUtils::ReadI32(raw, 0, ByteOrder::Big);
        leaf.Length = basUtils::GetBitField(header, kBlockLengthMask);
        leaf.Crc = header & 0xFFFF;
        leaf.DescriptorType = raw.at(4);
        if (raw.size() >= 12) {
            leaf.SpecifierId = static_cast<int32_t>(basUtils::ReadU32(raw, 4, ByteOrder::Big) & 0xFFFFFF);
            leaf.Width = static_cast<uint8_t>(raw[8] >> 4);
            leaf.CharacterSet = static_cast<int16_t>((raw[8] & 0x0F) * 256 + raw[9]);
            // The language field is a 16-bit pattern; values from 0x8000 on read negative.
            leaf.Language = static_cast<int16_t>(basUtils::ReadU16(raw, 10, ByteOrder::Big));
        }
        if (entry.KeyId == 1 && raw.size() >= 13) {
            size_t end = 12;
            while (end < raw.size() && raw[end] != 0) ++end;
            leaf.Text.assign(raw.begin() + 12, raw.begin() + static_cast<std::ptrdiff_t>(end));
        }
    } catch (const std::exception& e) {
        LogMsg(bas1394::internal::FailureLine(e, "GetConfigRomLeaf"));
    }
}

}  // namespace

int32_t DecodeRootDirectoryEntry(const DirectoryEntry& entry, ConfigRomRecord& rom) {
    RootDirectoryRecord& root = rom.RootDirectory;
    switch (entry.KeyId) {
    case 0x17: root.ModelId = entry.Value; break;
    case 0x03: root.ModuleVendorId = entry.Value; break;
    case 0x04: root.ModuleHwVersion = entry.Value; break;
    case 0x05: root.ModuleSpecId = entry.Value; break;
    case 0x06: root.ModuleSwVersion = entry.Value; break;
    case 0x0C: {
        // Flags in order: bits 15..6, then 4..0 (bit 5 has no flag).
        static constexpr int kBits[bas1394::kCapabilityCount] = {15, 14, 13, 12, 11, 10, 9, 8,
                                                                 7,  6,  4,  3,  2,  1,  0};
        for (int i = 0; i < bas1394::kCapabilityCount; ++i) {
            root.Capabilities[static_cast<size_t>(i)] = ((entry.Value >> kBits[i]) & 1) != 0;
        }
        break;
    }
    case 0x08: root.NodeVendorId = entry.Value; break;
    case 0x09: root.NodeHwVersion = entry.Value; break;
    case 0x0A: root.NodeSpecId = entry.Value; break;
    case 0x0B: root.NodeSwVersion = entry.Value; break;
    default:
        LogMsg("Unrecognized KeyValue in GetFormattedConfigRom: " + std::to_string(entry.KeyId),
               "WARNING");
        break;
    }
    return 1;
}

int32_t AddDirectoryRecord(ConfigRomRecord& rom, int32_t parentIndex) {
    auto& dirs = rom.RootDirectory.Directories;
    dirs.emplace_back();
    const int32_t n = static_cast<int32_t>(dirs.size()) - 1;
    auto& children = dirs.at(static_cast<size_t>(parentIndex)).ChildIndices;
    if (children[0] != 0) children.push_back(0);
    children.back() = n;
    dirs.back().ParentIndex = parentIndex;
    return 1;
}

bool ConfigRomIsMinimal(const ConfigRomRecord& rom) {
    try {
        return rom.BusInfo.RawBytes.at(0) == 1;
    } catch (const std::exception& e) {
        LogMsg(bas1394::internal::FailureLine(e, "ConfigRomIsMinimal"), "WARNING");
        return false;
    }
}

}  // namespace basConfigRom
