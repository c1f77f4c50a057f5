// Model, vendor, GUID and hardware-version texts of parsed config ROMs.
#include <gtest/gtest.h>

#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_texts.h"
#include "tests/bus_fixture.h"
#include "tests/rom_builder.h"

namespace bustest {
namespace {

using namespace basConfigRom;
using bas1394::ConfigRomRecord;
using B = romtest::RomBuilder;

using ConfigRomTextsTest = BusTest;

TEST_F(ConfigRomTextsTest, ModelAndVendorTextsOfTheFixtures) {
    struct Case {
        const char* name;
        std::vector<uint32_t> rom;
        std::string model, vendor, guid;
    };
    const Case cases[] = {
        {"application", romtest::Lumarel460App(), "Lumarel 460", "NRX", "0A3C7E10 00010002"},
        {"bootloader: vendor directory", romtest::Lumarel460Boot(), "Lumarel 460 Boot", "NRX",
         "0A3C7E10 00010002"},
        {"foreign", romtest::ForeignAvc(), "Model Name", "Vendor Name", "FFFFFFFF FFFFFFFF"},
        {"host: no model text", romtest::HostRom(), "<UNREADABLE CONFIG ROM MODEL TEXT>", "Sim Host",
         "00112233 44556677"},
        {"minimal", {0x0100A02D}, "Minimal ConfigRom (ven 0xA02D)", "Minimal ConfigRom (ven 0xA02D)",
         "00000000 00000000"},
    };
    for (const Case& c : cases) {
        const ConfigRomRecord rom = Parse(c.rom);
        EXPECT_EQ(GetModelText(rom), c.model) << c.name;
        EXPECT_EQ(GetVendorText(rom), c.vendor) << c.name;
        EXPECT_EQ(GetGuidText(rom), c.guid) << c.name;
    }
}

TEST_F(ConfigRomTextsTest, TextLeafThatCouldNotBeReadGivesNoText) {
    // The application ROM's vendor text leaf is at 0xF0000438, its model text leaf (shared by
    // the root and the unit directory) at 0xF000045C; a header of 0x00400000 promises 64
    // quadlets where the ROM ends after a few.
    const auto headerOf = [](uint32_t address) { return (address - romtest::kRomBase) / 4; };
    // A unit directory whose model text will be damaged, and a root that has one of its own.
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int unit = b.AddDirectory({});
    const int rootText = b.AddTextLeaf("Root Model");
    const int unitText = b.AddTextLeaf("Unit Model");
    b.SetEntries(unit, {B::Imm(0x17, 1), B::LeafAt(0x01, unitText)});
    b.Root({B::Imm(0x17, 1), B::LeafAt(0x01, rootText), B::DirAt(0x11, unit)});
    const std::vector<uint32_t> twoTexts = b.Build();
    const auto unitLeaf = static_cast<uint32_t>(Parse(twoTexts).RootDirectory.Directories[1].Leaves[0].Address);

    struct Case {
        const char* name;
        std::vector<uint32_t> rom;
        size_t header;
        uint32_t value;
        std::string model, vendor;
    };
    const Case cases[] = {
        {"model text longer than the ROM", romtest::Lumarel460App(), headerOf(0xF000045Cu), 0x00400000,
         "<UNREADABLE CONFIG ROM MODEL TEXT>", "NRX"},
        {"vendor text longer than the ROM", romtest::Lumarel460App(), headerOf(0xF0000438u), 0x00400000,
         "Lumarel 460", "<UNREADABLE CONFIG ROM VENDOR TEXT>"},
        {"model text with a null header", romtest::Lumarel460App(), headerOf(0xF000045Cu), 0,
         "<UNREADABLE CONFIG ROM MODEL TEXT>", "NRX"},
        {"unit directory's text unreadable: the root's", twoTexts, headerOf(unitLeaf), 0x00400000, "Root Model",
         "<UNREADABLE CONFIG ROM VENDOR TEXT>"},
    };
    for (const Case& c : cases) {
        std::vector<uint32_t> rom = c.rom;
        rom.at(c.header) = c.value;
        const ConfigRomRecord record = Parse(rom);
        EXPECT_EQ(GetModelText(record), c.model) << c.name;
        EXPECT_EQ(GetVendorText(record), c.vendor) << c.name;
    }
}

TEST_F(ConfigRomTextsTest, NeverFilledRecordGivesTheUnreadableTexts) {
    const ConfigRomRecord never;
    EXPECT_EQ(GetKeyText(0, 0x17, never), "No Config ROM");
    EXPECT_EQ(GetModelText(never), "<UNREADABLE CONFIG ROM MODEL TEXT>");
    EXPECT_EQ(GetVendorText(never), "<UNREADABLE CONFIG ROM VENDOR TEXT>");
    EXPECT_EQ(GetGuidText(never), "00000000 00000000");
    ConfigRomRecord empty;
    empty.BusInfo.RawBytes.clear();
    EXPECT_EQ(GetKeyText(0, 0x17, empty), "No Config ROM");
}

TEST_F(ConfigRomTextsTest, KeyTextFollowsTheLatestImmediateEntry) {
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int early = b.AddTextLeaf("early");
    const int sub = b.AddDirectory({B::Imm(0x17, 0)});
    const int first = b.AddTextLeaf("first");
    const int second = b.AddTextLeaf("second");
    // A text before any immediate entry, then key 0x17, a directory entry, two texts.
    b.Root({B::LeafAt(0x01, early), B::Imm(0x17, 1), B::DirAt(0x14, sub), B::LeafAt(0x01, first),
            B::LeafAt(0x01, second)});
    const ConfigRomRecord rom = Parse(b.Build());
    EXPECT_EQ(GetKeyText(0, 0x17, rom), "first");
    EXPECT_EQ(GetKeyText(0, 0, rom), "early");  // the remembered key starts at 0
    EXPECT_EQ(GetKeyText(0, 0x03, rom), "No Config ROM Keytext");
    EXPECT_EQ(GetKeyText(0x11, 0x17, rom), "DirectoryType 0x11 not found");
    EXPECT_EQ(GetModelText(rom), "first");  // root fallback
    EXPECT_EQ(GetVendorText(rom), "<UNREADABLE CONFIG ROM VENDOR TEXT>");
}

TEST_F(ConfigRomTextsTest, RootWithoutEntriesAndNodeVendorFallback) {
    ConfigRomRecord rom = Parse(romtest::HostRom());
    rom.RootDirectory.Directories[0].Length = 0;
    EXPECT_EQ(GetKeyText(0, 0x03, rom), "No root directory");
    EXPECT_EQ(GetModelText(rom), "No root directory");

    B b(0xE0648122, 0x0A3C7E10, 1);
    const int text = b.AddTextLeaf("Node Vendor");
    b.Root({B::Imm(0x08, 0x123456), B::LeafAt(0x01, text)});
    EXPECT_EQ(GetVendorText(Parse(b.Build())), "Node Vendor");
}

TEST_F(ConfigRomTextsTest, GuidTextPadsAndCutsEachPart) {
    ConfigRomRecord rom;
    rom.BusInfo.NodeVendorId = 0x123456;
    rom.BusInfo.ChipIdHi = 0x01;
    rom.BusInfo.ChipIdLo = 0x123;
    EXPECT_EQ(GetGuidText(rom), "12345601 00000123");
    rom.BusInfo.ChipIdLo = -1;
    EXPECT_EQ(GetGuidText(rom), "12345601 FFFFFFFF");
}

TEST_F(ConfigRomTextsTest, HardwareVersionListsEveryOccurrenceOnceTheTopologyIsReady) {
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int unit = b.AddDirectory({B::Imm(0x04, 7), B::Imm(0x09, 3)});
    b.Root({B::Imm(0x04, 1), B::DirAt(0x11, unit)});
    const ConfigRomRecord rom = Parse(b.Build());
    bas1394::State.TopologyReady = false;
    EXPECT_EQ(GetHardwareVersion(rom), "");
    bas1394::State.TopologyReady = true;
    EXPECT_EQ(GetHardwareVersion(rom), " MODULE_HW_VERSION=1 MODULE_HW_VERSION=7 NODE_HW_VERSION=3");
    EXPECT_EQ(GetHardwareVersion(Parse(romtest::HostRom())), "<not found>");
}

}  // namespace
}  // namespace bustest
