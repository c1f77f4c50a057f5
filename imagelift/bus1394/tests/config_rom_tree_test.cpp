// The config ROM text tree. The two golden reports below were written from the caption rules
// and the fixtures' quadlets, not produced by the formatter.
#include <gtest/gtest.h>

#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_tree.h"
#include "tests/bus_fixture.h"
#include "tests/rom_builder.h"

namespace bustest {
namespace {

using namespace basConfigRom;
using bas1394::ConfigRomRecord;
using B = romtest::RomBuilder;

class ConfigRomTreeTest : public BusTest {
protected:
    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& n : tree_.Nodes()) out.push_back(n.text);
        return out;
    }
    RecordingTree tree_;
};

const char* const kCaps[] = {"SplitTimeout", "BitAddressing64", "FixedAddressing", "LostBit", "DisableRequest"};

TEST_F(ConfigRomTreeTest, GoldenReportOfAForeignAvcDevice) {
    ASSERT_EQ(FormatConfigRomApple(tree_, Parse(romtest::ForeignAvc())), 1);
    const std::vector<std::string> golden = {
        "BUS INFO BLOCK",
        "0xF0000400   0x0404EABF  ROM Header (General), info_len=4 quadlets, crc_len=0x4 quadlets, crc=0xEABF",
        "0xF0000404   0x31333934  \"1394\"",
        "0xF0000408   0xE0646102  IRMC CMC ISC CycClkAcc=0x64 MaxRec=0x6 MaxRom=0x1 Generation=0x0 LinkSpd=0x2 ",
        "0xF000040C   0xFFFFFFFF  NodeVendorID = 0xFFFFFF, ChipIDHi = 0xFF",
        "0xF0000410   0xFFFFFFFF  ChipIdLow = 0xFFFFFFFF",
        "ROOT DIRECTORY",
        "0xF0000414   0x000661E4  Directory header, length=0x6 quadlets, crc=0x61E4",
        "0xF0000418   0x03001122  key type=0 (imm), key=0x03 value=MODULE VENDOR ID  data=0x1122",
        "0xF000041C   0x81000005  key type=2 (leaf),key=0x01 value=(Text)  data=0x5",
        "0xF0000430   0x0005C915  Leaf header, length=0x5 quadlets, crc=0xC915",
        "0xF0000434   0x00000000  DescriptorType=0x0  SpecifierID=0x0",
        "0xF0000438   0x00000000  width=0x0  CharacterSet=0x0  Language=0x0",
        "0xF000043C   56656E64 6F72204E 616D6500 ",
        "\"Vendor Name\"",
        "0xF0000420   0x17000001  key type=0 (imm), key=0x17 value=MODEL ID  data=0x1",
        "0xF0000424   0x81000009  key type=2 (leaf),key=0x01 value=(Text)  data=0x9",
        "0xF0000448   0x00057F16  Leaf header, length=0x5 quadlets, crc=0x7F16",
        "0xF000044C   0x00000000  DescriptorType=0x0  SpecifierID=0x0",
        "0xF0000450   0x00000000  width=0x0  CharacterSet=0x0  Language=0x0",
        "0xF0000454   4D6F6465 6C204E61 6D650000 ",
        "\"Model Name\"",
        "0xF0000428   0x0C0083C0  key type=0 (imm), key=0x0C value=NODE_CAPABILITIES  data=0x83C0",
        kCaps[0], kCaps[1], kCaps[2], kCaps[3], kCaps[4],
        "0xF000042C   0xD100000D  key type=3 (dir), key=0x11 value=UNIT_DIRECTORY_OFFSET  data=0xD",
        "0xF0000460   0x0002DD9E  Directory header, length=0x2 quadlets, crc=0xDD9E",
        "0xF0000464   0x1200A02D  key type=0 (imm), key=0x12 value=SPECIFIER_ID  data=0xA02D (AVC)",
        "0xF0000468   0x13010001  key type=0 (imm), key=0x13 value=VERSION  data=0x10001",
    };
    EXPECT_EQ(Texts(), golden);

    std::string report;
    for (const auto& line : golden) report += line + "\r\n";
    EXPECT_EQ(ConfigRomReport(tree_), report);

    // Nesting: leaves under their entries, the unit directory under its entry, flags under
    // the capabilities entry; parents by key.
    const auto parentKey = [&](const std::string& key) {
        const auto& n = tree_.Nodes()[static_cast<size_t>(tree_.Find(key)) - 1];
        return n.parent == 0 ? std::string() : *tree_.Nodes()[static_cast<size_t>(n.parent) - 1].key;
    };
    EXPECT_EQ(parentKey("DIRECTORY_000_KEY_001_LEAF_000"), "DIRECTORY_000_KEY_001");
    EXPECT_EQ(parentKey("DIRECTORY_000_KEY_003_LEAF_001"), "DIRECTORY_000_KEY_003");
    EXPECT_EQ(parentKey("DIRECTORY_000_KEY_003_LEAF_001_RAW_DATA"), "DIRECTORY_000_KEY_003");
    EXPECT_EQ(parentKey("DIRECTORY_HEADER_001"), "DIRECTORY_000_KEY_005");
    EXPECT_EQ(parentKey("DIRECTORY_001_KEY_001"), "DIRECTORY_000_KEY_005");
    EXPECT_EQ(parentKey("DIRECTORY_HEADER_000"), "ROOT_DIRECTORY");
    EXPECT_EQ(tree_.Nodes()[23].parent, tree_.Find("DIRECTORY_000_KEY_004"));  // SplitTimeout
    EXPECT_EQ(tree_.Nodes()[14].parent, tree_.Find("DIRECTORY_000_KEY_001_LEAF_000_RAW_DATA"));

    // Expanded: the block and its first three lines, not the vendor and chip lines.
    std::vector<bool> expanded;
    for (const auto& n : tree_.Nodes()) expanded.push_back(n.expanded);
    EXPECT_TRUE(expanded[0] && expanded[1] && expanded[2] && expanded[3]);
    EXPECT_FALSE(expanded[4] || expanded[5]);
    EXPECT_TRUE(expanded[6] && expanded[7] && expanded[9] && expanded[10] && expanded[13]);
    EXPECT_FALSE(expanded[11] || expanded[12] || expanded[14] || expanded[23]);
}

TEST_F(ConfigRomTreeTest, GoldenReportOfTheLumarel460InItsBootloader) {
    ASSERT_EQ(FormatConfigRomApple(tree_, Parse(romtest::Lumarel460Boot())), 1);
    const std::vector<std::string> golden = {
        "BUS INFO BLOCK",
        "0xF0000400   0x0404080C  ROM Header (General), info_len=4 quadlets, crc_len=0x4 quadlets, crc=0x80C",
        "0xF0000404   0x31333934  \"1394\"",
        "0xF0000408   0xE0648122  IRMC CMC ISC CycClkAcc=0x64 MaxRec=0x8 MaxRom=0x1 Generation=0x2 LinkSpd=0x2 ",
        "0xF000040C   0x0A3C7E10  NodeVendorID = 0xA3C7E, ChipIDHi = 0x10",
        "0xF0000410   0x00010002  ChipIdLow = 0x10002",
        "ROOT DIRECTORY",
        "0xF0000414   0x000768D5  Directory header, length=0x7 quadlets, crc=0x68D5",
        "0xF0000418   0x030A3C7E  key type=0 (imm), key=0x03 value=MODULE VENDOR ID  data=0xA3C7E",
        "0xF000041C   0x81000006  key type=2 (leaf),key=0x01 value=(Text)  data=0x6",
        "0xF0000434   0x00037B7E  Leaf header, length=0x3 quadlets, crc=0x7B7E",
        "0xF0000438   0x00000000  DescriptorType=0x0  SpecifierID=0x0",
        "0xF000043C   0x00000000  width=0x0  CharacterSet=0x0  Language=0x0",
        "0xF0000440   4E525800 ",
        "\"NRX\"",
        "0xF0000420   0x17000461  key type=0 (imm), key=0x17 value=MODEL ID  data=0x461",
        "0xF0000424   0x0C0083C0  key type=0 (imm), key=0x0C value=NODE_CAPABILITIES  data=0x83C0",
        kCaps[0], kCaps[1], kCaps[2], kCaps[3], kCaps[4],
        "0xF0000428   0x38000001  key type=0 (imm), key=0x38 value=UNKNOWN:0x38  data=0x1",
        "0xF000042C   0x8D000006  key type=2 (leaf),key=0x0D value=NODE_UNIQUE_ID  data=0x6",
        "0xF0000444   0x00024C8D  Leaf header, length=0x2 quadlets, crc=0x4C8D",
        "0A3C7E10 00010002 ",
        "0xF0000430   0xC3000008  key type=3 (dir), key=0x03 value=MODULE VENDOR ID  data=0x8",
        "0xF0000450   0x0002F42D  Directory header, length=0x2 quadlets, crc=0xF42D",
        "0xF0000454   0x17000461  key type=0 (imm), key=0x17 value=MODEL ID  data=0x461",
        "0xF0000458   0x81000001  key type=2 (leaf),key=0x01 value=(Text)  data=0x1",
        "0xF000045C   0x00065144  Leaf header, length=0x6 quadlets, crc=0x5144",
        "0xF0000460   0x00000000  DescriptorType=0x0  SpecifierID=0x0",
        "0xF0000464   0x00000000  width=0x0  CharacterSet=0x0  Language=0x0",
        "0xF0000468   4C756D61 72656C20 34363020 426F6F74 ",
        "\"Lumarel 460 Boot\"",
    };
    EXPECT_EQ(Texts(), golden);
    EXPECT_TRUE(tree_.Find("DIRECTORY_000_KEY_005_LEAF_001"));
    EXPECT_TRUE(tree_.Find("DIRECTORY_001_KEY_001_LEAF_000_RAW_DATA"));
}

TEST_F(ConfigRomTreeTest, KeyCaptionsAndMarkers) {
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int unit = b.AddDirectory({B::Imm(0x0C, 0x83C0), B::Imm(0x0E, 5), B::Imm(0x16, 6),
                                     B::Imm(0x13, 0x11), B::Csr(0x14, 1), B::Csr(0x14, 2),
                                     B::Csr(0x14, 3), B::Csr(0x14, 4)});
    b.Root({B::DirAt(0x11, unit)});
    ASSERT_EQ(FormatConfigRomApple(tree_, Parse(b.Build())), 1);
    const auto texts = Texts();
    const auto ends = [&](const std::string& key, const std::string& tail) {
        const int32_t i = tree_.Find(key);
        ASSERT_GT(i, 0) << key;
        const std::string& t = texts[static_cast<size_t>(i) - 1];
        EXPECT_TRUE(t.size() >= tail.size() && t.compare(t.size() - tail.size(), tail.size(), tail) == 0)
            << t;
    };
    ends("DIRECTORY_001_KEY_001", "value=UNKNOWN:0xE  data=0x5");
    ends("DIRECTORY_001_KEY_002", "value=UNKNOWN:0x16  data=0x6");
    ends("DIRECTORY_001_KEY_003", "value=VERSION  data=0x11 (AVC)");
    ends("DIRECTORY_001_KEY_004", "key type=1 (off), key=0x14 value=DEPENDENT_INFO  data=0x1");
    ends("DIRECTORY_001_OFFSET_003", "0xF0000010   0x00000000  (offset data)");
    // Capabilities are listed only under the root's entry.
    const int32_t caps = tree_.Find("DIRECTORY_001_KEY_000");
    for (const auto& n : tree_.Nodes()) EXPECT_NE(n.parent, caps);
}

TEST_F(ConfigRomTreeTest, ADirectoryReferredToAgainKeepsTheNumbersOfThoseAfterIt) {
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int x = b.AddDirectory({});
    const int y = b.AddDirectory({B::Imm(0x17, 0x0A)});
    b.SetEntries(x, {B::DirAt(0x14, y)});
    const int z = b.AddDirectory({B::Imm(0x17, 0x0C)});
    // Root: X (with Y), X again (a slot that is not read), then Z.
    b.Root({B::DirAt(0x11, x), B::DirAt(0x11, x), B::DirAt(0x11, z)});
    const ConfigRomRecord rom = Parse(b.Build());
    ASSERT_EQ(rom.RootDirectory.Directories.size(), 5u);
    ASSERT_EQ(FormatConfigRomApple(tree_, rom), 1);
    const auto texts = Texts();
    const auto textOf = [&](const std::string& key) {
        const int32_t i = tree_.Find(key);
        return i > 0 ? texts[static_cast<size_t>(i) - 1] : std::string("(missing ") + key + ")";
    };
    // Y is directory 2 and Z directory 4: each shows its own value; the repeated X adds nothing.
    EXPECT_NE(textOf("DIRECTORY_002_KEY_000").find("data=0xA"), std::string::npos) << textOf("DIRECTORY_002_KEY_000");
    EXPECT_NE(textOf("DIRECTORY_004_KEY_000").find("data=0xC"), std::string::npos) << textOf("DIRECTORY_004_KEY_000");
    EXPECT_EQ(tree_.Find("DIRECTORY_HEADER_003"), 0);
}

TEST_F(ConfigRomTreeTest, FailuresLeaveWhatWasBuilt) {
    // Bus info block never decoded: nothing is added.
    ConfigRomRecord never;
    tree_.AddNode(std::nullopt, 4, std::string("OLD"), "old");
    EXPECT_EQ(FormatConfigRomApple(tree_, never), -1);
    EXPECT_EQ(tree_.NodeCount(), 0);
    EXPECT_TRUE(Find("ERROR: Invalid config rom in FormatConfigRomApple!"));
    EXPECT_TRUE(Find("ERROR: Failed call to FormatConfigRomBusInfoBlockApple in FormatConfigRomApple.  "
                     "Exiting function abnormally!"));

    // Root directory not read: the bus info block and an empty ROOT DIRECTORY.
    ConfigRomRecord rom = Parse(romtest::Lumarel460App());
    rom.RootDirectory.Directories[0].RawBytes = {0};
    EXPECT_EQ(FormatConfigRomApple(tree_, rom), -1);
    EXPECT_EQ(tree_.NodeCount(), 7);
    EXPECT_EQ(tree_.NodeText(7), "ROOT DIRECTORY");
    EXPECT_TRUE(Find("ERROR: Failed call to FormatConfigRomDirectoryApple in FormatConfigRomApple."));
}

TEST_F(ConfigRomTreeTest, BrokenLeafEndsOnlyThatLeaf) {
    B b(0xE0648122, 0x0A3C7E10, 1);
    const int shortText = b.AddLeaf({0});        // textual leaf of length 1
    const int noText = b.AddLeaf({0, 0});        // length 2: no text quadlets
    b.Root({B::Imm(0x17, 1), B::LeafAt(0x01, shortText), B::LeafAt(0x01, noText), B::Imm(0x04, 1)});
    ASSERT_EQ(FormatConfigRomApple(tree_, Parse(b.Build())), 1);
    const auto texts = Texts();
    EXPECT_TRUE(tree_.Find("DIRECTORY_000_KEY_001_LEAF_000"));
    EXPECT_TRUE(Find("Error #30753: ") && Find(" in FormatConfigRomLeafApple"));
    // The length-2 leaf: its raw-data line is the address and three blanks.
    const int32_t raw = tree_.Find("DIRECTORY_000_KEY_002_LEAF_001_RAW_DATA");
    ASSERT_GT(raw, 0);
    EXPECT_EQ(texts[static_cast<size_t>(raw) - 1].size(), 13u);
    EXPECT_TRUE(tree_.Find("DIRECTORY_000_KEY_003"));
}

TEST_F(ConfigRomTreeTest, DuplicateKeyIsContainedInTheProcedureThatMetIt) {
    ConfigRomRecord rom = Parse(romtest::Lumarel460App());
    // A tree that already holds the key of the unit directory's header.
    tree_.ClearNodes();
    FormatConfigRomBusInfoBlockApple(tree_, rom);
    tree_.AddNode(std::nullopt, 4, std::string("ROOT_DIRECTORY"), "ROOT DIRECTORY");
    tree_.AddNode(std::nullopt, 4, std::string("DIRECTORY_HEADER_001"), "taken");
    EXPECT_EQ(FormatConfigRomDirectoryApple(tree_, "ROOT_DIRECTORY", rom, 0), 1);
    EXPECT_TRUE(Find("Error #35602: Key is not unique in collection in FormatConfigRomDirectoryApple"));
    EXPECT_TRUE(tree_.Find("DIRECTORY_000_KEY_007"));
}

}  // namespace
}  // namespace bustest
