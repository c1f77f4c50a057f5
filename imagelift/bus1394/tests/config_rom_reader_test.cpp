// Reading and parsing config ROMs from the fake library's nodes.
#include <gtest/gtest.h>

#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/config_rom_tree.h"
#include "tests/bus_fixture.h"
#include "tests/rom_builder.h"

namespace bustest {
namespace {

using basConfigRom::GetConfigRomEntry;
using basConfigRom::GetFormattedConfigRom;
using basConfigRom::RecordingTree;
using bas1394::ConfigRomRecord;
using bas1394::State;
namespace R = romtest;
using B = romtest::RomBuilder;

class ConfigRomReaderTest : public BusTest {
protected:
    // Serves `rom` as node 0 (table index 0) and reads it into the table element.
    int32_t Read(const std::vector<uint32_t>& rom) {
        Fake().AddRom(0, rom);
        Place(0, 0);
        return GetFormattedConfigRom(0, State.NodeTable[0].ConfigRom);
    }
    const ConfigRomRecord& Rom() const { return State.NodeTable[0].ConfigRom; }
    int ReadsAt(uint32_t address) const {
        return static_cast<int>(std::count_if(Fake().reads.begin(), Fake().reads.end(),
                                              [&](const auto& r) { return r.second == address; }));
    }
};

TEST_F(ConfigRomReaderTest, Lumarel460ApplicationRomParsesWhole) {
    Fake().AddRom(0, {0x12345678}, 0xF0000800u);  // the CSR-offset register
    ASSERT_EQ(Read(R::Lumarel460App()), 1);
    const auto& info = Rom().BusInfo;
    EXPECT_EQ(info.InfoLength, 4);
    EXPECT_EQ(info.CrcLength, 4);
    EXPECT_EQ(info.RomCrc, 0x080C);
    EXPECT_TRUE(info.IRMC && info.CMC && info.ISC);
    EXPECT_FALSE(info.BMC || info.PMC || info.ADJ);
    EXPECT_EQ(info.CycClkAcc, 0x64);
    EXPECT_EQ(info.MaxRec, 8);
    EXPECT_EQ(info.MaxRom, 1);
    EXPECT_EQ(info.Generation, 2);
    EXPECT_EQ(info.LinkSpd, 2);
    EXPECT_EQ(info.NodeVendorId, 0x0A3C7E);
    EXPECT_EQ(info.ChipIdHi, 0x10);
    EXPECT_EQ(info.ChipIdLo, 0x00010002);
    EXPECT_EQ(info.Guid, (std::array<uint8_t, 8>{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02}));
    EXPECT_EQ(info.RawBytes.size(), 20u);

    const auto& root = Rom().RootDirectory;
    EXPECT_EQ(root.ModelId, 0x460);
    EXPECT_EQ(root.ModuleVendorId, 0x0A3C7E);
    EXPECT_EQ(root.ModuleHwVersion, 1);
    ASSERT_EQ(root.Directories.size(), 2u);
    const auto& rootDir = root.Directories[0];
    EXPECT_EQ(rootDir.Address, static_cast<int32_t>(0xF0000414u));
    EXPECT_EQ(rootDir.Length, 8);
    ASSERT_EQ(rootDir.Entries.size(), 8u);
    EXPECT_EQ(rootDir.Leaves[0].Text, "NRX");
    EXPECT_EQ(rootDir.Leaves[0].DescribedKeyId, 0x03);
    EXPECT_EQ(rootDir.Leaves[1].Text, "Lumarel 460");
    EXPECT_EQ(rootDir.Leaves[1].DescribedKeyId, 0x17);
    EXPECT_EQ(rootDir.Offsets[0].Address, static_cast<int32_t>(0xF0000800u));
    EXPECT_EQ(rootDir.Offsets[0].Value, 0x12345678);
    EXPECT_EQ(rootDir.Offsets[0].DescribedKeyId, 0x04);
    EXPECT_EQ(rootDir.Entries[6].TargetIndex, 0);  // first offset entry
    EXPECT_EQ(rootDir.Entries[7].TargetIndex, 1);  // the unit directory
    const auto& unit = root.Directories[1];
    EXPECT_EQ(unit.DescribedKeyId, 0x04);
    EXPECT_EQ(unit.ParentIndex, 0);
    // The unit directory's model text is the same leaf as the root's.
    EXPECT_EQ(unit.Leaves[0].Text, "Lumarel 460");
    EXPECT_EQ(unit.Leaves[0].Address, rootDir.Leaves[1].Address);
    EXPECT_EQ(unit.Leaves[0].DirectoryIndex, 1);
    EXPECT_EQ(ReadsAt(0xF000045Cu), 1);  // and it is read once
}

TEST_F(ConfigRomReaderTest, ForeignAvcDeviceNumbersItsLeavesAndUnitDirectory) {
    ASSERT_EQ(Read(R::ForeignAvc()), 1);
    const auto& dirs = Rom().RootDirectory.Directories;
    ASSERT_EQ(dirs.size(), 2u);
    EXPECT_EQ(dirs[0].Leaves.size(), 2u);
    EXPECT_EQ(dirs[0].Leaves[0].DescribedKeyId, 0x03);
    EXPECT_EQ(dirs[0].Leaves[1].DescribedKeyId, 0x17);
    EXPECT_EQ(dirs[0].Entries[1].TargetIndex, 0);
    EXPECT_EQ(dirs[0].Entries[3].TargetIndex, 1);
    EXPECT_EQ(dirs[1].DescribedKeyId, 0x0C);
    EXPECT_EQ(dirs[1].ParentIndex, 0);
    EXPECT_EQ(dirs[0].ChildIndices, std::vector<int32_t>{1});
    const auto& caps = Rom().RootDirectory.Capabilities;  // 0x83C0: bits 15, 9, 8, 7, 6
    for (int i = 0; i < bas1394::kCapabilityCount; ++i) {
        EXPECT_EQ(caps[i], i == 0 || (i >= 6 && i <= 9)) << i;
    }
}

TEST_F(ConfigRomReaderTest, MinimalRomReadsOnlyItsHeader) {
    EXPECT_EQ(Read(R::Minimal()), -1);
    EXPECT_EQ(Fake().reads.size(), 1u);
    EXPECT_EQ(Rom().BusInfo.RawBytes, (std::vector<uint8_t>{0x01, 0x0A, 0x3C, 0x7E, 0x00}));
    EXPECT_TRUE(basConfigRom::ConfigRomIsMinimal(Rom()));
    ConfigRomRecord unread;
    unread.BusInfo.RawBytes.clear();  // a record whose block was never made
    EXPECT_FALSE(basConfigRom::ConfigRomIsMinimal(unread));
    EXPECT_EQ(Find("Error #9: Subscript out of range in ConfigRomIsMinimal")->level, basDebug::WARNING);
    EXPECT_TRUE(Find("|Minimal config rom on Node index #0"));
    ConfigRomRecord again;
    EXPECT_EQ(basConfigRom::GetFormattedConfigRomBusInfoBlock(0, again), 1);
}

TEST_F(ConfigRomReaderTest, BlockHeadersAreJudgedBeforeTheBodyIsRead) {
    struct Case {
        uint32_t header;
        int32_t result;
        const char* message;
    };
    const Case cases[] = {
        {0x00000000, -21, "Null header quadlet at the base of the config rom entry, node 0, address 0xFFFFF0001000."},
        {0x0000ABCD, -1, "0 length of config rom entry header, node 0, address 0xFFFFF0001000!"},
        {0x80010000, -1, "0 length of config rom entry header"},  // sign-extended length
        {0x02010000, -1, "Invalid length (513) indicated in header of config rom entry, node 0, address 0xFFFFF0001000!"},
        {0x02000000, 1, nullptr},
    };
    Fake().Resize(1);
    Place(0, 0);
    for (const Case& c : cases) {
        Fake().nodes[0].space.clear();
        Fake().AddRom(0, std::vector<uint32_t>(513, 0x11111111), 0xF0001000u);
        Fake().nodes[0].space[0xF0001000u] = c.header;
        ClearLines();
        std::vector<uint8_t> data{9, 9};
        EXPECT_EQ(GetConfigRomEntry(0, static_cast<int32_t>(0xF0001000u), basConfigRom::kBlockLengthMask, data),
                  c.result)
            << std::hex << c.header;
        if (c.message) {
            EXPECT_TRUE(Find(c.message)) << c.message;
            EXPECT_EQ(data, std::vector<uint8_t>{0});
        } else {
            EXPECT_EQ(data.size(), 4u + 2048u);
        }
    }
}

TEST_F(ConfigRomReaderTest, ReadFailuresAndTheirLines) {
    // A node that does not answer: each step reports its own failure, prefixed "|".
    Place(0, 0);
    ConfigRomRecord rom;
    EXPECT_EQ(GetFormattedConfigRom(0, rom), -1);
    const std::vector<std::pair<std::string, int32_t>> expected = {
        {"|GetFormattedConfigRom: Re-dimensioning config ROM arrays for node index #0...", basDebug::DETAIL},
        {"|GetFormattedConfigRom: Config ROM arrays for node index #0 are re-dimensioned.", basDebug::DETAIL},
        {"|GetFormattedConfigRomBusInfoBlock: getting bus info block for node index #0...", basDebug::DETAIL},
        {"|Could not read config rom data at address 0xFFFFF0000400 node 0, code 121(0x79)!", basDebug::TRACE},
        {"|GetFormattedConfigRomBusInfoBlock failed: call to GetConfigRomEntry (node index #0) failed, code 121",
         basDebug::TRACE},
        {"|GetFormattedConfigRom: failed to read BusInfoBlock (nodeindex #0) in bas1394.GetFomattedConfigRom.",
         basDebug::TRACE},
    };
    std::vector<std::pair<std::string, int32_t>> logged;
    for (const auto& l : status_.lines) {
        if (l.module == "basConfigRom") logged.emplace_back(l.message, l.level);
    }
    EXPECT_EQ(logged, expected);

    // The root directory's header, then its body, not answered in time.
    struct Case {
        uint32_t address;
        const char* entryLine;
        int32_t entryLevel;
    };
    const Case cases[] = {
        {0xF0000414u, "|Could not read config rom data at address 0xFFFFF0000414 node 0, code -2147483390(0x80000102)!",
         basDebug::TRACE},
        {0xF0000418u, "|GetConfigRomEntry: second call to AsyncReadWrapper returned code -2147483390(0x80000102) node 0",
         basDebug::WATCH},
    };
    for (const Case& c : cases) {
        ClearLines();
        Fake().onRead = [&](int32_t, uint32_t address, int32_t) -> std::optional<int32_t> {
            if (address == c.address) return bas1394::kLibTimedOut;
            return std::nullopt;
        };
        EXPECT_EQ(Read(R::Lumarel460App()), basConfigRom::kRootNotRead);
        ASSERT_TRUE(Find(c.entryLine)) << c.entryLine;
        EXPECT_EQ(Find(c.entryLine)->level, c.entryLevel);
        const auto line = Find("GetConfigRomDirectory: target failed to respond in the given time, node index 0, "
                               "address 0xFFFFFFFFF0000414.");
        ASSERT_TRUE(line);
        EXPECT_EQ(line->level, basDebug::WARNING);
        EXPECT_FALSE(Find("failed call to GetConfigRomEntry"));
    }
}

TEST_F(ConfigRomReaderTest, ShortBusInfoBlockIsRefused) {
    EXPECT_EQ(Read({0x02020000, 0x31333934, 0xE0648122}), -1);
    const auto line = Find("GetFormattedConfigRomBusInfoBlock warning: only 12 bytes");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::WARNING);
}

TEST_F(ConfigRomReaderTest, BusInfoReadInterruptedByResetsIsTriedThreeTimes) {
    for (int interrupted : {2, 3}) {
        Fake().reads.clear();
        bas1394::State.BusResetPending = false;
        int left = interrupted;
        Fake().onRead = [&](int32_t, uint32_t address, int32_t) -> std::optional<int32_t> {
            if (address == 0xF0000400u && left > 0) {
                --left;
                return bas1394::kLibBusReset;
            }
            return std::nullopt;
        };
        ClearLines();
        ConfigRomRecord rom;
        Fake().AddRom(0, R::Lumarel460App());
        Place(0, 0);
        const int32_t r = basConfigRom::GetFormattedConfigRomBusInfoBlock(0, rom);
        if (interrupted == 2) {
            EXPECT_EQ(r, 1);
        } else {
            EXPECT_EQ(r, -1);
            EXPECT_TRUE(Find("GetFormattedConfigRomBusInfoBlock failed: call to GetConfigRomEntry (node "
                             "index #0) failed, code -105"));
        }
        Fake().onRead = nullptr;
    }
}

TEST_F(ConfigRomReaderTest, DamagedRomsDegradeAsTheReaderPromises) {
    // CRCs are shown, never checked.
    auto badCrc = R::Lumarel460App();
    badCrc[R::kRootHeader] &= 0xFFFF0000u;
    EXPECT_EQ(Read(badCrc), 1);
    EXPECT_EQ(Rom().RootDirectory.Directories[0].Crc, 0);
    EXPECT_EQ(Rom().RootDirectory.Directories.size(), 2u);

    // Truncated: only the bus info block and the root's first entry answer.
    auto full = R::Lumarel460App();
    Fake().nodes[0].space.clear();
    EXPECT_EQ(Read(std::vector<uint32_t>(full.begin(), full.begin() + 7)), basConfigRom::kRootNotRead);
    EXPECT_TRUE(Find("GetConfigRomDirectory: failed call to GetConfigRomEntry, code -2147483625(0x80000017), "
                     "node 0, address 0xFFFFFFFFF0000414."));

    // Root directory longer than a block may be.
    auto oversize = R::Lumarel460App();
    oversize[R::kRootHeader] = 0x02010000;
    Fake().nodes[0].space.clear();
    EXPECT_EQ(Read(oversize), basConfigRom::kRootNotRead);
    EXPECT_TRUE(Find("Invalid length (513)"));
}

TEST_F(ConfigRomReaderTest, UnreadableLeavesSubDirectoriesAndRegistersDoNotStopTheWalk) {
    auto rom = R::Lumarel460App();
    rom[(0x45C - 0x400) / 4] = 0;                   // model text leaf header: null quadlet
    rom[(0x448 - 0x400) / 4] = 0x00FF0000;          // unit directory: body not served
    EXPECT_EQ(Read(rom), 1);  // the register at 0xF0000800 is not served either
    const auto& dirs = Rom().RootDirectory.Directories;
    EXPECT_EQ(dirs[0].Leaves[0].Text, "NRX");
    EXPECT_EQ(dirs[0].Leaves[1].Text, "");
    EXPECT_EQ(dirs[0].Leaves[1].Address, static_cast<int32_t>(0xF000045Cu));
    EXPECT_EQ(dirs[0].Offsets[0].Value, 0);
    ASSERT_EQ(dirs.size(), 2u);
    EXPECT_EQ(dirs[1].RawBytes, std::vector<uint8_t>{0});
    EXPECT_EQ(dirs[1].Address, static_cast<int32_t>(0xF0000448u));
    EXPECT_TRUE(Find("GetConfigRomLeaf: failed call to GetConfigRomEntry, node 0."));
}

TEST_F(ConfigRomReaderTest, LeafDecoding) {
    struct Case {
        uint8_t key;
        std::vector<uint32_t> payload;
        std::string text;
        int16_t language;
    };
    const Case cases[] = {
        {0x81, {0, 0, 0x41424344, 0x45460000}, "ABCDEF", 0},
        {0x81, {0, 0, 0x41424344, 0x45464748}, "ABCDEFGH", 0},  // no final zero: every byte
        {0x81, {0, 0, 0x00414243}, "", 0},
        {0x82, {0, 0, 0x41424344}, "", 0},                       // not key ID 1: no text
        {0x81, {0x00123456, 0x12348001, 0x4A610000}, "Ja", static_cast<int16_t>(0x8001)},
    };
    for (const Case& c : cases) {
        romtest::RomBuilder b(0xE0648122, 0x0A3C7E10, 1);
        const int leaf = b.AddLeaf(c.payload);
        b.Root({B::Imm(0x17, 1), {romtest::kLeaf, static_cast<uint8_t>(c.key & 0x3F), 0, leaf}});
        Fake().nodes.clear();
        ASSERT_EQ(Read(b.Build()), 1);
        const auto& l = Rom().RootDirectory.Directories[0].Leaves[0];
        EXPECT_EQ(l.Text, c.text);
        EXPECT_EQ(l.Language, c.language);
    }
    // The last case: every descriptor field.
    const auto& l = Rom().RootDirectory.Directories[0].Leaves[0];
    EXPECT_EQ(l.SpecifierId, 0x123456);
    EXPECT_EQ(l.Width, 1);
    EXPECT_EQ(l.CharacterSet, 0x234);
    EXPECT_EQ(l.DescribedKeyId, 0x17);
}

TEST_F(ConfigRomReaderTest, CapabilityFlags) {
    struct Case {
        uint32_t value;
        bool all;
    };
    for (const Case c : {Case{0x00FFFF, true}, Case{0x000020, false}, Case{0x010000, false}}) {
        bas1394::DirectoryEntry e;
        e.KeyId = 0x0C;
        e.Value = static_cast<int32_t>(c.value);
        ConfigRomRecord rom;
        basConfigRom::DecodeRootDirectoryEntry(e, rom);
        for (bool flag : rom.RootDirectory.Capabilities) EXPECT_EQ(flag, c.all) << std::hex << c.value;
    }
}

TEST_F(ConfigRomReaderTest, UnknownImmediateKeyIsReportedOnlyInTheRoot) {
    romtest::RomBuilder b(0xE0648122, 0x0A3C7E10, 1);
    const int unit = b.AddDirectory({B::Imm(0x38, 2)});
    b.Root({B::Imm(0x38, 1), B::DirAt(0x11, unit)});
    ASSERT_EQ(Read(b.Build()), 1);
    EXPECT_EQ(Count("Unrecognized KeyValue in GetFormattedConfigRom: 56"), 1);
    EXPECT_EQ(Find("Unrecognized KeyValue")->level, basDebug::WARNING);
}

TEST_F(ConfigRomReaderTest, InvalidNodeIndexReadsNothing) {
    ConfigRomRecord rom;
    std::vector<uint8_t> data;
    EXPECT_EQ(GetConfigRomEntry(3, static_cast<int32_t>(0xF0000400u), basConfigRom::kBlockLengthMask, data), -1);
    EXPECT_EQ(basConfigRom::GetConfigRomDirectory(3, static_cast<int32_t>(0xF0000414u), 0, rom), -1);
    bas1394::LeafRecord leaf;
    basConfigRom::GetConfigRomLeaf(3, static_cast<int32_t>(0xF0000430u), bas1394::DirectoryEntry{}, leaf);
    EXPECT_TRUE(Fake().reads.empty());
    for (const char* what : {"GetConfigRomEntry", "GetConfigRomDirectory", "GetConfigRomLeaf"}) {
        const auto line = Find(std::string(what) + ": invalid node index: 3.  Exiting abnomally.");
        ASSERT_TRUE(line) << what;
        EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
    }
}

TEST_F(ConfigRomReaderTest, NothingIsLoggedWithoutTheMainWindow) {
    ctx_.MainChildForm = nullptr;
    Read(R::Minimal());
    EXPECT_TRUE(Messages("basConfigRom").empty());
}

TEST_F(ConfigRomReaderTest, WarningTextsAreDroppedWhileDownloading) {
    ctx_.DownloadInProgress = true;
    basConfigRom::LogMsg("as text", "warning");
    basConfigRom::LogMsg("as number", 7);
    basConfigRom::LogMsg("error", "ERROR");
    basConfigRom::LogMsg("detail", "DETAIL", std::string("p|"));
    EXPECT_EQ(Messages("basConfigRom"), (std::vector<std::string>{"as number", "error", "p|detail"}));
}

// --- bounds of the directory walk -------------------------------------------------------------

TEST_F(ConfigRomReaderTest, DirectoryReferredToTwiceIsReadOnce) {
    romtest::RomBuilder b(0xE0648122, 0x0A3C7E10, 1);
    const int x = b.AddDirectory({});
    const int y = b.AddDirectory({B::Imm(0x17, 5)});
    b.SetEntries(x, {B::DirAt(0x14, y), B::DirAt(0x14, y)});
    b.Root({B::DirAt(0x11, x), B::DirAt(0x11, x)});
    const auto image = b.Build();
    ASSERT_EQ(Read(image), 1);
    const auto& dirs = Rom().RootDirectory.Directories;
    // Root, X with its two references to Y, and the second reference to X: five slots.
    ASSERT_EQ(dirs.size(), 5u);
    EXPECT_EQ(dirs[0].ChildIndices, (std::vector<int32_t>{1, 4}));
    EXPECT_EQ(dirs[1].ChildIndices, (std::vector<int32_t>{2, 3}));
    EXPECT_EQ(dirs[2].Entries[0].Value, 5);
    EXPECT_EQ(dirs[3].RawBytes, std::vector<uint8_t>{0});
    EXPECT_EQ(dirs[4].RawBytes, std::vector<uint8_t>{0});
    EXPECT_EQ(dirs[4].Address, dirs[1].Address);
    EXPECT_EQ(ReadsAt(static_cast<uint32_t>(dirs[2].Address)), 1);
}

TEST_F(ConfigRomReaderTest, NestingDeeperThanTheLimitStops) {
    romtest::RomBuilder b(0xE0648122, 0x0A3C7E10, 1);
    std::vector<int> chain;
    for (int i = 0; i < 20; ++i) chain.push_back(b.AddDirectory({B::Imm(0x17, uint32_t(i))}));
    for (int i = 0; i + 1 < 20; ++i) b.SetEntries(chain[i], {B::DirAt(0x14, chain[i + 1])});
    b.Root({B::DirAt(0x11, chain[0])});
    ASSERT_EQ(Read(b.Build()), 1);
    const auto& dirs = Rom().RootDirectory.Directories;
    // The root, sixteen levels read, and the seventeenth level's slot without its contents.
    ASSERT_EQ(dirs.size(), 1u + basConfigRom::kMaxDirectoryDepth + 1u);
    EXPECT_EQ(dirs.back().RawBytes, std::vector<uint8_t>{0});
    EXPECT_EQ(dirs[basConfigRom::kMaxDirectoryDepth].RawBytes.size(), 8u);
    EXPECT_TRUE(Find("is not read (read before, nested deeper than 16 levels, or more than 256 directories)"));
}

TEST_F(ConfigRomReaderTest, DirectoriesBeyondTheLimitAreNotRead) {
    // A root that names 300 distinct sub-directories.
    B b(0xE0648122, 0x0A3C7E10, 1);
    std::vector<B::Entry> entries;
    for (int i = 0; i < 300; ++i) entries.push_back(B::DirAt(0x14, b.AddDirectory({B::Imm(0x17, uint32_t(i))})));
    b.Root(entries);
    ASSERT_EQ(Read(b.Build()), 1);
    const auto& dirs = Rom().RootDirectory.Directories;
    ASSERT_EQ(dirs.size(), 301u);  // every entry keeps its slot
    EXPECT_EQ(dirs[basConfigRom::kMaxDirectories - 1].Entries[0].Value, basConfigRom::kMaxDirectories - 2);
    EXPECT_EQ(dirs[basConfigRom::kMaxDirectories].RawBytes, std::vector<uint8_t>{0});
    EXPECT_EQ(dirs[300].RawBytes, std::vector<uint8_t>{0});
}

TEST_F(ConfigRomReaderTest, OffsetPastTheTopOfTheAddressSpaceIsNotFollowed) {
    // Directories that hop towards the top of the 32-bit space; the last entry would wrap.
    Fake().Resize(1);
    const std::vector<std::pair<uint32_t, uint32_t>> hops = {
        {0xF4000000u, 0xF8000000u}, {0xF8000000u, 0xFC000000u}, {0xFC000000u, 0xFFFFFFF0u}};
    for (const auto& [at, to] : hops) {
        Fake().nodes[0].space[at] = 0x00010000;
        Fake().nodes[0].space[at + 4] = 0xD4000000u | ((to - (at + 4)) / 4);
    }
    Fake().nodes[0].space[0xFFFFFFF0u] = 0x00010000;
    Fake().nodes[0].space[0xFFFFFFF4u] = 0xD4000010u;  // 0xFFFFFFF4 + 64 = 0x1_00000034
    romtest::RomBuilder b(0xE0648122, 0x0A3C7E10, 1);
    b.Root({B::Imm(0x17, 1)});
    auto image = b.Build();
    image.push_back(0);  // room for the root's second entry
    image[R::kRootHeader] = 0x00020000;
    image[R::kRootHeader + 2] = 0xD1000000u | ((0xF4000000u - 0xF000041Cu) / 4);
    ASSERT_EQ(Read(image), 1);
    const auto& dirs = Rom().RootDirectory.Directories;
    ASSERT_EQ(dirs.size(), 6u);
    EXPECT_EQ(dirs[4].Address, static_cast<int32_t>(0xFFFFFFF0u));
    EXPECT_EQ(dirs[5].Address, 0x34);
    EXPECT_EQ(dirs[5].RawBytes, std::vector<uint8_t>{0});
    for (const auto& r : Fake().reads) EXPECT_GE(r.second, 0xF0000000u);
    EXPECT_TRUE(Find("points beyond the config rom address space"));
}

// Two 1 KB ROMs that cost far more than their size when every block is read for every entry
// that points at it. Quadlets from 0xF0000400 on; both have the usual bus information block.
std::vector<uint32_t> BusInfoOnly() { return {0x04040000, 0x31333934, 0xE0648122, 0x0A3C7E10, 0x00010002}; }

// 54 directories whose blocks overlap, each ending in the same 100 leaf entries, all of which
// point at one 40-quadlet text leaf (the root names the 54 directories).
constexpr size_t kAmpDirectories = 54, kAmpLeafEntries = 100, kAmpLeafLength = 40;
std::vector<uint32_t> SharedLeafAmplifier() {
    std::vector<uint32_t> rom = BusInfoOnly();
    const size_t root = rom.size();
    const size_t headers = root + 1 + kAmpDirectories;  // the directory headers, one after another
    const size_t entries = headers + kAmpDirectories;   // the leaf entries every directory ends in
    const size_t leaf = entries + kAmpLeafEntries;
    rom.resize(leaf + 1 + kAmpLeafLength, 0x41414141);  // the text: "AAAA..."
    rom[root] = uint32_t(kAmpDirectories) << 16;
    for (size_t k = 0; k < kAmpDirectories; ++k) {
        rom[root + 1 + k] = 0xD4000000u | uint32_t(headers + k - (root + 1 + k));
        rom[headers + k] = uint32_t(entries + kAmpLeafEntries - (headers + k + 1)) << 16;
    }
    for (size_t j = 0; j < kAmpLeafEntries; ++j) rom[entries + j] = 0x81000000u | uint32_t(leaf - (entries + j));
    rom[leaf] = uint32_t(kAmpLeafLength) << 16;
    rom[leaf + 1] = rom[leaf + 2] = 0;  // descriptor type, specifier, width, character set, language
    return rom;
}

// Ten data leaves whose 200-quadlet blocks overlap, each named once by the root.
std::vector<uint32_t> OverlappingLeaves() {
    std::vector<uint32_t> rom = BusInfoOnly();
    const size_t root = rom.size(), headers = root + 11;
    rom.resize(headers + 10 + 200, 0x12345678);
    rom[root] = 10u << 16;
    for (size_t k = 0; k < 10; ++k) {
        rom[root + 1 + k] = 0x8D000000u | uint32_t(headers + k - (root + 1 + k));
        rom[headers + k] = 200u << 16;
    }
    return rom;
}

TEST_F(ConfigRomReaderTest, AmplifyingRomsAreHeldToTheirBounds) {
    struct Case {
        const char* name;
        std::vector<uint32_t> rom;
        bool sharedLeaf;
    };
    const Case cases[] = {
        {"one leaf behind 5400 entries", SharedLeafAmplifier(), true},
        {"overlapping leaves", OverlappingLeaves(), false},
    };
    for (const Case& c : cases) {
        ASSERT_LE(c.rom.size(), 256u) << c.name;
        Fake().nodes.clear();
        Fake().reads.clear();
        ClearLines();
        EXPECT_EQ(Read(c.rom), 1) << c.name;
        EXPECT_LE(Fake().reads.size(), size_t(basConfigRom::kMaxRomQuadletReads)) << c.name;
        RecordingTree tree;
        basConfigRom::FormatConfigRomApple(tree, Rom());
        EXPECT_LE(tree.NodeCount(), basConfigRom::kMaxRomTreeNodes) << c.name;
        EXPECT_EQ(Count("the rest of it is not read."), 1) << c.name;

        // What fitted is kept whole; the rest reads as a failed read would.
        const auto& dirs = Rom().RootDirectory.Directories;
        if (c.sharedLeaf) {
            const uint32_t leaf = romtest::kRomBase + 4 * uint32_t(c.rom.size() - 1 - kAmpLeafLength);
            EXPECT_EQ(ReadsAt(leaf), 1);
            ASSERT_EQ(dirs.size(), 1 + kAmpDirectories);
            EXPECT_EQ(dirs[1].Leaves.size(), kAmpLeafEntries);
            EXPECT_EQ(dirs[1].Leaves.back().Text, std::string(4 * (kAmpLeafLength - 2), 'A'));
            // The second directory's lines, with those of its 100 text leaves, no longer fit.
            EXPECT_EQ(dirs[2].RawBytes, std::vector<uint8_t>{0});
            EXPECT_EQ(dirs[2].Leaves.back().RawBytes, std::vector<uint8_t>{0});
            EXPECT_EQ(dirs.back().RawBytes, std::vector<uint8_t>{0});
            EXPECT_TRUE(Find("GetConfigRomDirectory: failed call to GetConfigRomEntry, code -22(0xFFFFFFEA)"));
        } else {
            EXPECT_EQ(dirs[0].Leaves.front().RawBytes.size(), 4u * 201u);
            EXPECT_EQ(dirs[0].Leaves.back().RawBytes, std::vector<uint8_t>{0});
            EXPECT_TRUE(Find("GetConfigRomLeaf: failed call to GetConfigRomEntry, node 0."));
        }
    }
}

TEST_F(ConfigRomReaderTest, RecordCopiesAreWholeCopies) {
    ConfigRomRecord a;
    a.RootDirectory.Directories[0].Leaves[0].Text = "x";
    a.BusInfo.RawBytes = {1, 2, 3};
    const ConfigRomRecord b = a;
    a.RootDirectory.Directories[0].Leaves[0].Text = "y";
    a.BusInfo.RawBytes[0] = 9;
    a.RootDirectory.Directories.emplace_back();
    EXPECT_EQ(b.RootDirectory.Directories[0].Leaves[0].Text, "x");
    EXPECT_EQ(b.BusInfo.RawBytes[0], 1);
    EXPECT_EQ(b.RootDirectory.Directories.size(), 1u);
}

// The parser on ROM images alone: no node, no read of the bus.
std::vector<uint8_t> ImageBytes(const std::vector<uint32_t>& quadlets) {
    std::vector<uint8_t> bytes;
    for (uint32_t q : quadlets) {
        for (int shift = 24; shift >= 0; shift -= 8) bytes.push_back(uint8_t(q >> shift));
    }
    return bytes;
}

TEST_F(ConfigRomReaderTest, RomImagesParseWithoutTheBus) {
    const auto app = R::Lumarel460App();
    auto badCrc = app;
    badCrc[R::kRootHeader] &= 0xFFFF0000u;
    auto badLength = app;
    badLength[R::kRootHeader] = 0x02010000;
    // The root's vendor text entry (its second) points 0xFFFF quadlets on, far past the image.
    auto leafOutside = app;
    leafOutside[R::kRootHeader + 2] = 0x8100FFFFu;
    const char* const kNoVendor = "<UNREADABLE CONFIG ROM VENDOR TEXT>";
    const char* const kNoModel = "<UNREADABLE CONFIG ROM MODEL TEXT>";
    const char* const kNoRoot = "No root directory";
    const char* const kMinimal = "Minimal ConfigRom (ven 0xA3C7E)";
    auto oddBytes = ImageBytes(app);
    oddBytes.resize(oddBytes.size() - 2);  // the last leaf's last quadlet is cut
    struct Case {
        const char* name;
        std::vector<uint8_t> image;
        int32_t result;
        size_t directories;
        const char* vendorText;
        const char* modelText;
    } cases[] = {
        {"valid", ImageBytes(app), 1, 2, "NRX", "Lumarel 460"},
        {"CRC is shown, never checked", ImageBytes(badCrc), 1, 2, "NRX", "Lumarel 460"},
        {"leaf outside the image", ImageBytes(leafOutside), 1, 2, kNoVendor, "Lumarel 460"},
        {"last quadlet cut", oddBytes, 1, 2, "NRX", kNoModel},
        {"truncated after the root header", ImageBytes({app.begin(), app.begin() + 7}), basConfigRom::kRootNotRead, 1,
         kNoRoot, kNoRoot},
        {"root longer than a block may be", ImageBytes(badLength), basConfigRom::kRootNotRead, 1, kNoRoot, kNoRoot},
        {"bus information block cut", ImageBytes({app.begin(), app.begin() + 3}), -1, 1, kNoVendor, kNoModel},
        {"empty", {}, -1, 1, kNoVendor, kNoModel},
        {"minimal", ImageBytes(R::Minimal()), -1, 1, kMinimal, kMinimal},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ConfigRomRecord rom;
        EXPECT_EQ(basConfigRom::ParseConfigRom(c.image, rom), c.result);
        EXPECT_EQ(rom.RootDirectory.Directories.size(), c.directories);
        EXPECT_EQ(basConfigRom::GetVendorText(rom), c.vendorText);
        EXPECT_EQ(basConfigRom::GetModelText(rom), c.modelText);
    }
    EXPECT_TRUE(Fake().reads.empty());

    // A whole image parses to the tree a node serving it reads to (its CSR-offset register lies
    // outside both).
    ConfigRomRecord parsed;
    ASSERT_EQ(basConfigRom::ParseConfigRom(ImageBytes(app), parsed), 1);
    ASSERT_EQ(Read(app), 1);
    RecordingTree fromImage, fromNode;
    basConfigRom::FormatConfigRomApple(fromImage, parsed);
    basConfigRom::FormatConfigRomApple(fromNode, Rom());
    EXPECT_EQ(basConfigRom::ConfigRomReport(fromImage), basConfigRom::ConfigRomReport(fromNode));
}

}  // namespace
}  // namespace bustest
