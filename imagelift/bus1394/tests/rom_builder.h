// Builds config ROM images for tests: the ROM header and bus information block, then the root
// directory and every directory and leaf it refers to, each with its IEEE 1212 CRC-16. Entries
// that point at a block get their offset (in quadlets, from the entry's own quadlet) when the
// image is laid out; one block may be referred to from several entries.
#pragma once

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace romtest {

inline constexpr uint32_t kRomBase = 0xF0000400u;

// CRC-16 of IEEE 1212 (polynomial 0x1021) over quadlets, four bits at a time.
inline uint16_t Crc16(const uint32_t* quadlets, size_t count) {
    uint32_t crc = 0;
    for (size_t i = 0; i < count; ++i) {
        for (int shift = 28; shift >= 0; shift -= 4) {
            const uint32_t sum = ((crc >> 12) ^ (quadlets[i] >> shift)) & 0xF;
            crc = (crc << 4) ^ (sum << 12) ^ (sum << 5) ^ sum;
        }
    }
    return static_cast<uint16_t>(crc & 0xFFFF);
}

// Key types of a directory entry.
enum KeyType : uint8_t { kImmediate = 0, kCsrOffset = 1, kLeaf = 2, kDirectory = 3 };

class RomBuilder {
public:
    struct Entry {
        uint8_t type;
        uint8_t id;
        uint32_t value;  // immediate value or CSR offset; ignored for leaf/directory
        int target;      // block index for leaf/directory entries
    };

    static Entry Imm(uint8_t id, uint32_t value) { return {kImmediate, id, value, -1}; }
    static Entry Csr(uint8_t id, uint32_t value) { return {kCsrOffset, id, value, -1}; }
    static Entry LeafAt(uint8_t id, int block) { return {kLeaf, id, 0, block}; }
    static Entry DirAt(uint8_t id, int block) { return {kDirectory, id, 0, block}; }

    // Bus information block after the header: "1394", characteristics, GUID.
    // The root directory is block 0; set its entries with Root() once the blocks it points at
    // have been added.
    RomBuilder(uint32_t characteristics, uint32_t guidHi, uint32_t guidLo)
        : busInfo_{0x31333934u, characteristics, guidHi, guidLo}, blocks_{Block{true, {}, {}}} {}

    void Root(std::vector<Entry> entries) { SetEntries(0, std::move(entries)); }
    // A directory's entries, set once the blocks it points at exist (pointers go forward:
    // add the directory before the blocks it refers to).
    void SetEntries(int block, std::vector<Entry> entries) {
        blocks_[static_cast<size_t>(block)].entries = std::move(entries);
    }

    // Blocks are laid out in the order they were added, after the root directory (block 0).
    int AddDirectory(std::vector<Entry> entries) {
        blocks_.push_back(Block{true, std::move(entries), {}});
        return static_cast<int>(blocks_.size()) - 1;
    }
    int AddLeaf(std::vector<uint32_t> payload) {
        blocks_.push_back(Block{false, {}, std::move(payload)});
        return static_cast<int>(blocks_.size()) - 1;
    }
    // A textual descriptor leaf: type 0, specifier 0, width/character set/language 0, then the
    // text padded with zeros to whole quadlets (no terminating zero when it fills them).
    int AddTextLeaf(const std::string& text, uint32_t widthCharsetLanguage = 0) {
        std::vector<uint32_t> payload{0, widthCharsetLanguage};
        for (size_t i = 0; i < text.size(); i += 4) {
            uint32_t q = 0;
            for (size_t j = 0; j < 4; ++j) {
                q <<= 8;
                if (i + j < text.size()) q |= static_cast<uint8_t>(text[i + j]);
            }
            payload.push_back(q);
        }
        return AddLeaf(std::move(payload));
    }
    // Quadlets from 0xF0000400 on. crcLength 0 = the bus information block only (4).
    std::vector<uint32_t> Build(uint8_t crcLength = 4) const {
        std::vector<uint32_t> rom(5, 0);
        for (int i = 0; i < 4; ++i) rom[1 + i] = busInfo_[i];
        std::vector<size_t> start(blocks_.size());
        size_t at = rom.size();
        for (size_t b = 0; b < blocks_.size(); ++b) {
            start[b] = at;
            at += 1 + BodySize(blocks_[b]);
        }
        rom.resize(at, 0);
        for (size_t b = 0; b < blocks_.size(); ++b) {
            const Block& block = blocks_[b];
            const size_t h = start[b];
            if (block.directory) {
                for (size_t k = 0; k < block.entries.size(); ++k) {
                    const Entry& e = block.entries[k];
                    const size_t here = h + 1 + k;
                    uint32_t value = e.value & 0xFFFFFF;
                    if (e.type == kLeaf || e.type == kDirectory) {
                        value = static_cast<uint32_t>(start[static_cast<size_t>(e.target)] - here);
                    }
                    rom[here] = (uint32_t(e.type) << 30) | (uint32_t(e.id) << 24) | value;
                }
            } else {
                for (size_t k = 0; k < block.payload.size(); ++k) rom[h + 1 + k] = block.payload[k];
            }
            const size_t n = BodySize(block);
            rom[h] = (uint32_t(n) << 16) | Crc16(&rom[h + 1], n);
        }
        const uint8_t covered = crcLength == 0 ? 4 : crcLength;
        rom[0] = (4u << 24) | (uint32_t(covered) << 16) |
                 Crc16(&rom[1], std::min<size_t>(covered, rom.size() - 1));
        return rom;
    }

private:
    struct Block {
        bool directory;
        std::vector<Entry> entries;
        std::vector<uint32_t> payload;
    };
    static size_t BodySize(const Block& b) { return b.directory ? b.entries.size() : b.payload.size(); }

    uint32_t busInfo_[4];
    std::vector<Block> blocks_;
};

// ---- the fixtures --------------------------------------------------------------------------

inline constexpr uint32_t kMaker = 0x0A3C7E;
using R = RomBuilder;

// A minimal ROM: one quadlet, info_length 1 and the vendor's company identifier.
inline std::vector<uint32_t> Minimal(uint32_t vendor = kMaker) { return {0x01000000u | vendor}; }

// The Lumarel 460 running its application: vendor and model text, capabilities, hardware
// version, a CSR-offset register (0x200 -> 0xF0000800) and a unit directory (AV/C) whose model
// text is the very leaf the root's model entry uses.
inline std::vector<uint32_t> Lumarel460App(uint32_t guidHi = 0x0A3C7E10, uint32_t guidLo = 0x00010002) {
    R b(0xE0648122, guidHi, guidLo);
    const int vendorText = b.AddTextLeaf("NRX");
    const int unit = b.AddDirectory({});
    const int modelText = b.AddTextLeaf("Lumarel 460");
    b.SetEntries(unit, {R::Imm(0x12, 0x00A02D), R::Imm(0x13, 0x010001), R::Imm(0x17, 0x000460),
                        R::LeafAt(0x01, modelText)});
    b.Root({R::Imm(0x03, kMaker), R::LeafAt(0x01, vendorText), R::Imm(0x17, 0x000460),
            R::LeafAt(0x01, modelText), R::Imm(0x0C, 0x0083C0), R::Imm(0x04, 1),
            R::Csr(0x14, 0x000200), R::DirAt(0x11, unit)});
    return b.Build(0);
}

// The Lumarel 460 in its bootloader: an unrecognised root key (0x38), an EUI-64 leaf, no unit
// directory, and a vendor directory whose model text fills its quadlets with no final zero.
inline std::vector<uint32_t> Lumarel460Boot(uint32_t guidHi = 0x0A3C7E10, uint32_t guidLo = 0x00010002) {
    R b(0xE0648122, guidHi, guidLo);
    const int vendorText = b.AddTextLeaf("NRX");
    const int eui64 = b.AddLeaf({guidHi, guidLo});
    const int vendorDir = b.AddDirectory({});
    const int modelText = b.AddTextLeaf("Lumarel 460 Boot");
    b.SetEntries(vendorDir, {R::Imm(0x17, 0x000461), R::LeafAt(0x01, modelText)});
    b.Root({R::Imm(0x03, kMaker), R::LeafAt(0x01, vendorText), R::Imm(0x17, 0x000461),
            R::Imm(0x0C, 0x0083C0), R::Imm(0x38, 1), R::LeafAt(0x0D, eui64),
            R::DirAt(0x03, vendorDir)});
    return b.Build(0);
}

// A foreign AV/C device: another vendor's GUID, vendor and model text, capabilities and a unit
// directory after them (root keys 03, 81, 17, 81, 0C, D1).
inline std::vector<uint32_t> ForeignAvc() {
    R b(0xE0646102, 0xFFFFFFFF, 0xFFFFFFFF);
    const int vendorText = b.AddTextLeaf("Vendor Name");
    const int modelText = b.AddTextLeaf("Model Name");
    const int unit = b.AddDirectory({R::Imm(0x12, 0x00A02D), R::Imm(0x13, 0x010001)});
    b.Root({R::Imm(0x03, 0x001122), R::LeafAt(0x01, vendorText), R::Imm(0x17, 0x000001),
            R::LeafAt(0x01, modelText), R::Imm(0x0C, 0x0083C0), R::DirAt(0x11, unit)});
    return b.Build();
}

// The local host adapter: vendor text only.
inline std::vector<uint32_t> HostRom() {
    R b(0xF000B223, 0x00112233, 0x44556677);
    const int vendorText = b.AddTextLeaf("Sim Host");
    b.Root({R::Imm(0x0C, 0x0083C0), R::Imm(0x03, 0x001122), R::LeafAt(0x01, vendorText)});
    return b.Build();
}

// Index of the root directory's header quadlet in a ROM with a four-quadlet bus info block.
inline constexpr size_t kRootHeader = 5;

}  // namespace romtest
