// Building stub; the implementation follows.
#include "bus/config_rom.h"

namespace sim {
uint16_t Crc16(std::span<const uint8_t>) { return 0; }
uint16_t Crc16Quadlets(std::span<const uint32_t>) { return 0; }
std::shared_ptr<const RomLeaf> RomLeaf::Text(const std::string&, bool) { return std::shared_ptr<const RomLeaf>(new RomLeaf({})); }
std::shared_ptr<const RomLeaf> RomLeaf::Eui64(uint64_t) { return std::shared_ptr<const RomLeaf>(new RomLeaf({})); }
std::shared_ptr<const RomLeaf> RomLeaf::Raw(std::vector<uint32_t> b) { return std::shared_ptr<const RomLeaf>(new RomLeaf(std::move(b))); }
RomDirectory& RomDirectory::Immediate(uint8_t, uint32_t) { return *this; }
RomDirectory& RomDirectory::CsrOffset(uint8_t, uint32_t) { return *this; }
RomDirectory& RomDirectory::Leaf(uint8_t, LeafPtr) { return *this; }
RomDirectory& RomDirectory::Text(const std::string&, bool) { return *this; }
RomDirectory& RomDirectory::Directory(uint8_t, DirectoryPtr) { return *this; }
RomDirectory& RomDirectory::Raw(uint32_t) { return *this; }
std::vector<uint32_t> BuildConfigRom(const BusInfo&, const RomDirectory&) { return {}; }
std::vector<uint32_t> MinimalRom(uint32_t vendorId) { return {0x01000000u | (vendorId & 0xFFFFFF)}; }
std::vector<std::string> CheckConfigRom(std::span<const uint32_t>) { return {}; }
std::vector<uint32_t> BuildConfigRomFromJson(const nlohmann::json&) { return {}; }
uint32_t JsonU32(const nlohmann::json&, const char*) { return 0; }
uint64_t JsonU64(const nlohmann::json&, const char*) { return 0; }
}  // namespace sim
