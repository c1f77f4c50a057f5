// A node's configuration ROM as the downloader keeps it after reading and parsing it.
//
// Layout follows the IEEE 1212 ROM as 1394 nodes expose it at 0xFFFF:F0000400: the ROM header
// and bus information block, then the root directory and everything reachable from it. Every
// quadlet is held in the byte arrays as it arrives on the bus (most significant byte first).
// Addresses keep only their low 32 bits (the high 16 bits of a ROM address are always 0xFFFF).
//
// Arrays that "always hold one element" (directory leaves, offsets, child indices, raw bytes)
// keep that convention literally: element 0 with address (or value) 0 means "still empty", and
// a single zero byte means "nothing was read". Copies are whole copies.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace bas1394 {

inline constexpr int32_t kConfigRomBase = static_cast<int32_t>(0xF0000400u);
inline constexpr int32_t kCsrRegisterBase = static_cast<int32_t>(0xF0000000u);

struct BusInfoRecord {
    int32_t BaseAddress = 0;
    int32_t InfoLength = 0;
    int32_t CrcLength = 0;
    int32_t RomCrc = 0;
    // ROM header followed by info_length quadlets, as read; one zero byte = never read.
    std::vector<uint8_t> RawBytes = std::vector<uint8_t>(1, 0);
    bool IRMC = false;
    bool CMC = false;
    bool ISC = false;
    bool BMC = false;
    bool PMC = false;
    bool ADJ = false;
    uint8_t CycClkAcc = 0;
    uint8_t MaxRec = 0;
    uint8_t MaxRom = 0;
    uint8_t Generation = 0;
    uint8_t LinkSpd = 0;
    int32_t NodeVendorId = 0;  // 24-bit company identifier (bytes 12-14)
    uint8_t ChipIdHi = 0;
    int32_t ChipIdLo = 0;
    std::array<uint8_t, 8> Guid{};  // EUI-64, bytes 12-19
};

struct DirectoryEntry {
    int32_t Address = 0;
    int32_t KeyType = 0;  // 0 immediate, 1 CSR offset, 2 leaf, 3 directory
    int32_t KeyId = 0;
    int32_t Value = 0;    // 24-bit immediate value or offset in quadlets
    int32_t TargetIndex = 0;
};

struct LeafRecord {
    std::vector<uint8_t> RawBytes = std::vector<uint8_t>(1, 0);
    int32_t Address = 0;
    int32_t Length = 0;
    int32_t Crc = 0;
    int32_t DirectoryIndex = 0;
    int32_t DescribedKeyId = 0;
    uint8_t DescriptorType = 0;
    int32_t SpecifierId = 0;
    uint8_t Width = 0;
    int16_t CharacterSet = 0;
    // The 16-bit language field as a bit pattern: values of 0x8000 and above read negative.
    int16_t Language = 0;
    std::string Text;
};

struct CsrOffsetRecord {
    int32_t Address = 0;
    int32_t DescribedKeyId = 0;
    int32_t Value = 0;
};

struct DirectoryRecord {
    std::vector<uint8_t> RawBytes = std::vector<uint8_t>(1, 0);
    int32_t Address = 0;
    int32_t Length = 0;
    int32_t Crc = 0;
    int32_t DescribedKeyId = 0;
    std::vector<DirectoryEntry> Entries = std::vector<DirectoryEntry>(1);
    std::vector<LeafRecord> Leaves = std::vector<LeafRecord>(1);
    std::vector<CsrOffsetRecord> Offsets = std::vector<CsrOffsetRecord>(1);
    int32_t ParentIndex = 0;
    std::vector<int32_t> ChildIndices = std::vector<int32_t>(1, 0);
};

// Node capability flags of root key 0x0C, in flag order (index 0 = bit 15 ... 14 = bit 0).
inline constexpr int kCapabilityCount = 15;

struct RootDirectoryRecord {
    int32_t ModelId = 0;
    int32_t ModuleVendorId = 0;
    int32_t ModuleHwVersion = 0;
    int32_t ModuleSpecId = 0;
    int32_t ModuleSwVersion = 0;
    std::array<bool, kCapabilityCount> Capabilities{};
    int32_t NodeVendorId = 0;
    int32_t NodeHwVersion = 0;
    int32_t NodeSpecId = 0;
    int32_t NodeSwVersion = 0;
    std::vector<DirectoryRecord> Directories = std::vector<DirectoryRecord>(1);
};

struct ConfigRomRecord {
    BusInfoRecord BusInfo;
    RootDirectoryRecord RootDirectory;
};

}  // namespace bas1394
