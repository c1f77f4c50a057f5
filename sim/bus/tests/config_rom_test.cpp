#include "bus/config_rom.h"

#include <gtest/gtest.h>

#include <cstring>

#include "tests/fixture.h"

namespace {

using namespace sim;

class RomCrc : public simtest::TempRoot {};
class ConfigRomBuilder : public simtest::TempRoot {};
class ConfigRomChecker : public simtest::TempRoot {};

TEST_F(RomCrc, MatchesTheCheckValueBytewiseAndByQuadlet) {
    const char* text = "123456789";
    EXPECT_EQ(Crc16(std::span<const uint8_t>(reinterpret_cast<const uint8_t*>(text), std::strlen(text))), 0x31C3);
    // "12345678" as two quadlets, most significant byte first, gives the bytewise result.
    const uint8_t bytes[] = {'1', '2', '3', '4', '5', '6', '7', '8'};
    const uint32_t quadlets[] = {0x31323334, 0x35363738};
    EXPECT_EQ(Crc16Quadlets(quadlets), Crc16(bytes));
    EXPECT_EQ(Crc16Quadlets(std::span<const uint32_t>()), 0);
}

// Images of an audio interface in application and bootloader mode, written out by hand
// quadlet for quadlet from the layout rules; the builder has to reproduce them exactly.
const std::vector<uint32_t> kApplicationRom = {
    0x041CEE31, 0x31333934, 0xE0648122, 0x0A3C7E10, 0x00010002, 0x0008690A, 0x030A3C7E, 0x8100000C,
    0x17000460, 0x8100000E, 0x0C0083C0, 0x04000001, 0x54000200, 0xD1000001, 0x0004D073, 0x1200A02D,
    0x13010001, 0x17000460, 0x81000005, 0x00037B7E, 0x00000000, 0x00000000, 0x4E525800, 0x0005145A,
    0x00000000, 0x00000000, 0x4C756D61, 0x72656C20, 0x34363000};

const std::vector<uint32_t> kBootloaderRom = {
    0x0404080C, 0x31333934, 0xE0648122, 0x0A3C7E10, 0x00010002, 0x00075AF3, 0x030A3C7E, 0x81000009,
    0x17000461, 0x0C0083C0, 0x38000001, 0x8D000009, 0xC3000001, 0x00026504, 0x17000461, 0x81000008,
    0x00037B7E, 0x00000000, 0x00000000, 0x4E525800, 0x00024C8D, 0x0A3C7E10, 0x00010002, 0x00065144,
    0x00000000, 0x00000000, 0x4C756D61, 0x72656C20, 0x34363020, 0x426F6F74};

TEST_F(ConfigRomBuilder, ReproducesAnApplicationRomWithASharedLeafAndWholeRomCrc) {
    BusInfo info;
    info.guid = 0x0A3C7E1000010002ull;
    info.crcCoversWholeRom = true;
    LeafPtr model = RomLeaf::Text("Lumarel 460");
    auto unit = std::make_shared<RomDirectory>();
    unit->Immediate(key::kSpecifierId, 0x00A02D).Immediate(key::kVersion, 0x010001).Immediate(key::kModel, 0x460).Leaf(1, model);
    RomDirectory root;
    root.Immediate(key::kVendor, 0x0A3C7E)
        .Text("NRX")
        .Immediate(key::kModel, 0x460)
        .Leaf(1, model)
        .Immediate(key::kNodeCapabilities, 0x0083C0)
        .Immediate(key::kHardwareVersion, 1)
        .CsrOffset(0x14, 0x200)
        .Directory(key::kUnit, unit);
    std::vector<uint32_t> rom = BuildConfigRom(info, root);
    EXPECT_EQ(rom, kApplicationRom);
    EXPECT_TRUE(CheckConfigRom(rom).empty());
}

TEST_F(ConfigRomBuilder, ReproducesABootloaderRomWithEui64LeafVendorDirectoryAndUnterminatedText) {
    BusInfo info;
    info.guid = 0x0A3C7E1000010002ull;
    auto vendorDir = std::make_shared<RomDirectory>();
    vendorDir->Immediate(key::kModel, 0x461).Text("Lumarel 460 Boot", false);
    RomDirectory root;
    root.Immediate(key::kVendor, 0x0A3C7E)
        .Text("NRX")
        .Immediate(key::kModel, 0x461)
        .Immediate(key::kNodeCapabilities, 0x0083C0)
        .Immediate(0x38, 1)
        .Leaf(key::kEui64, RomLeaf::Eui64(info.guid))
        .Directory(key::kVendor, vendorDir);
    std::vector<uint32_t> rom = BuildConfigRom(info, root);
    EXPECT_EQ(rom, kBootloaderRom);
    EXPECT_TRUE(CheckConfigRom(rom).empty());
}

TEST_F(ConfigRomBuilder, JsonFormBuildsTheSameImage) {
    auto nodeDesc = nlohmann::json::parse(R"({
      "guid": "0A3C7E1000010002",
      "root": [ {"immediate": 3, "value": "0x0A3C7E"}, {"text": "NRX"},
                {"immediate": 23, "value": "0x461"}, {"immediate": 12, "value": "0x0083C0"},
                {"raw": "0x38000001"}, {"leaf": 13, "eui64": "0x0A3C7E1000010002"},
                {"directory": 3, "entries": [ {"immediate": 23, "value": 1121},
                                              {"text": "Lumarel 460 Boot", "terminate": false} ]} ]
    })");
    EXPECT_EQ(BuildConfigRomFromJson(nodeDesc), kBootloaderRom);
}

TEST_F(ConfigRomBuilder, RefusesBadInputClearly) {
    struct Case {
        const char* json;
        const char* message;
    } cases[] = {
        {R"({"root": [ {"immediate": 64, "value": 1} ]})", "immediate"},
        {R"({"root": [ {"immediate": 3, "value": "0x1000000"} ]})", "value"},
        {R"({"root": [ {"bogus": 1} ]})", "needs one of"},
        {R"({"guid": "xyz"})", "guid"},
        {R"({"root": [ {"leaf": 2} ]})", "leaf"},
        {R"({"root": "no list"})", "directory entries"},
    };
    for (const auto& c : cases) {
        try {
            BuildConfigRomFromJson(nlohmann::json::parse(c.json));
            ADD_FAILURE() << c.json << " was accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << e.what();
        }
    }
    // More than fits the 1 KiB ROM space.
    RomDirectory big;
    for (int i = 0; i < 300; ++i) big.Immediate(0x38, uint32_t(i));
    EXPECT_THROW(BuildConfigRom(BusInfo{}, big), std::invalid_argument);
}

TEST_F(ConfigRomChecker, FindsBadCrcsAndBlocksPastTheImage) {
    std::vector<uint32_t> rom = kApplicationRom;
    rom[23] = 0x00050000;  // model leaf header with CRC 0
    auto problems = CheckConfigRom(rom);
    // The whole-ROM CRC of the bus info block and the leaf's own CRC both fail.
    ASSERT_EQ(problems.size(), 2u);
    EXPECT_NE(problems[1].find("leaf at 0xF000045C"), std::string::npos) << problems[1];

    std::vector<uint32_t> cut(kBootloaderRom.begin(), kBootloaderRom.begin() + 20);
    problems = CheckConfigRom(cut);
    ASSERT_FALSE(problems.empty());
    EXPECT_NE(problems.back().find("past the image"), std::string::npos);

    EXPECT_TRUE(CheckConfigRom(MinimalRom(0x0A3C7E)).empty());
    EXPECT_EQ(MinimalRom(0x0A3C7E), std::vector<uint32_t>{0x010A3C7E});
}

}  // namespace
