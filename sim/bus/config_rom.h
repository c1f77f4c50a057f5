// Config ROM images (IEEE 1212 layout as a 1394 node publishes it at 0xFFFF:F0000400).
//
// A ROM is a list of quadlets: the bus information block (header, "1394", capabilities,
// EUI-64), then the root directory and the blocks it refers to. Every directory and leaf starts
// with a header quadlet (length in quadlets << 16 | CRC-16 of those quadlets). The builder
// places the root directory, then every further directory in breadth-first order, then every
// leaf in the order it is first referred to; a leaf referred to twice is placed once.
#pragma once

#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/codes.h"

namespace sim {

// IEEE 1212 CRC-16 (polynomial 0x1021, initial value 0, most significant bit first).
uint16_t Crc16(std::span<const uint8_t> bytes);
// The same over quadlets, each taken most significant byte first.
uint16_t Crc16Quadlets(std::span<const uint32_t> quadlets);

// Key types of a directory entry (the top two bits of the key byte).
enum class KeyType : uint8_t { Immediate = 0, CsrOffset = 1, Leaf = 2, Directory = 3 };

// Common key IDs (the low six bits of the key byte).
namespace key {
inline constexpr uint8_t kTextualDescriptor = 0x01;
inline constexpr uint8_t kVendor = 0x03;
inline constexpr uint8_t kHardwareVersion = 0x04;
inline constexpr uint8_t kModule = 0x07;
inline constexpr uint8_t kNodeCapabilities = 0x0C;
inline constexpr uint8_t kEui64 = 0x0D;
inline constexpr uint8_t kUnit = 0x11;
inline constexpr uint8_t kSpecifierId = 0x12;
inline constexpr uint8_t kVersion = 0x13;
inline constexpr uint8_t kModel = 0x17;
}  // namespace key

// Bus information block of a general ROM.
struct BusInfo {
    bool irmc = true;
    bool cmc = true;
    bool isc = true;
    bool bmc = false;
    bool pmc = false;
    uint8_t cycClkAcc = 0x64;
    uint8_t maxRec = 8;        // 4 bits
    uint8_t maxRom = 1;        // 2 bits
    uint8_t generation = 2;    // 4 bits
    uint8_t linkSpeed = 2;     // 3 bits
    uint64_t guid = 0;         // company ID in the top 24 bits
    // Header's crc_length: the bus info block only (false) or the whole ROM (true).
    bool crcCoversWholeRom = false;
};

class RomLeaf {
public:
    // Textual descriptor leaf (descriptor type 0, specifier 0, minimal ASCII). The text is
    // followed by at least one zero byte when `terminate`, then zero-padded to a quadlet.
    static std::shared_ptr<const RomLeaf> Text(const std::string& text, bool terminate = true);
    // EUI-64 leaf (two quadlets).
    static std::shared_ptr<const RomLeaf> Eui64(uint64_t guid);
    // Any leaf body.
    static std::shared_ptr<const RomLeaf> Raw(std::vector<uint32_t> body);

    const std::vector<uint32_t>& Body() const { return body_; }

private:
    explicit RomLeaf(std::vector<uint32_t> body) : body_(std::move(body)) {}
    std::vector<uint32_t> body_;
};
using LeafPtr = std::shared_ptr<const RomLeaf>;

class RomDirectory;
using DirectoryPtr = std::shared_ptr<const RomDirectory>;

class RomDirectory {
public:
    // Each adds one entry; keyId is the six-bit key ID (the key type is set by the call).
    RomDirectory& Immediate(uint8_t keyId, uint32_t value);
    RomDirectory& CsrOffset(uint8_t keyId, uint32_t value);
    RomDirectory& Leaf(uint8_t keyId, LeafPtr leaf);
    RomDirectory& Text(const std::string& text, bool terminate = true);  // Leaf(0x01, Text(...))
    RomDirectory& Directory(uint8_t keyId, DirectoryPtr dir);
    // An entry quadlet taken as it is (offsets are not checked).
    RomDirectory& Raw(uint32_t entry);

    struct Entry {
        uint8_t keyId = 0;
        KeyType type = KeyType::Immediate;
        uint32_t value = 0;    // immediate value, CSR offset or raw entry
        bool raw = false;
        LeafPtr leaf;
        DirectoryPtr dir;
    };
    const std::vector<Entry>& Entries() const { return entries_; }

private:
    std::vector<Entry> entries_;
};

// Builds the whole image with every CRC computed. Throws std::invalid_argument when an
// offset does not fit 24 bits or the image exceeds the 1 KiB ROM space.
std::vector<uint32_t> BuildConfigRom(const BusInfo& info, const RomDirectory& root);
// A minimal ROM: one quadlet 0x01 << 24 | vendor ID.
std::vector<uint32_t> MinimalRom(uint32_t vendorId);

// Checks every block reachable from the header (bus info block, directories, leaves) and
// returns one line per problem (bad CRC, block past the image); empty when all verify.
std::vector<std::string> CheckConfigRom(std::span<const uint32_t> rom);

// A ROM from JSON:
//   {"guid": "0A3C7E1000010002", "bus_info": {"max_rec": 8, ..., "crc_whole_rom": false},
//    "root": [ {"immediate": 3, "value": "0x0A3C7E"}, {"text": "NRX"},
//              {"directory": 17, "entries": [...]}, {"leaf": 13, "eui64": "..."},
//              {"leaf": 2, "quadlets": ["0x..."]}, {"csr_offset": 20, "value": 512},
//              {"raw": "0x38000001"} ]}
// Numbers may be JSON numbers or texts ("0x.." or plain hex digits for "guid").
// Throws std::invalid_argument with a message naming the bad field.
std::vector<uint32_t> BuildConfigRomFromJson(const nlohmann::json& nodeDesc);

}  // namespace sim
