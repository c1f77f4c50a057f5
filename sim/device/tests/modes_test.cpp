// Restarts (reset modes, starting images), config ROMs per mode, the debugger, and the state
// folder.
#include <cstring>
#include <fstream>
#include <set>

#include "device/crc32.h"
#include "device/node_kinds.h"
#include "tests/device_bus.h"

namespace sim::lumarel::testing {
namespace {

// The ROM's bytes as text, to look for its descriptor texts.
std::string RomBytes(const std::vector<uint32_t>& rom) {
    std::string s;
    for (uint32_t q : rom)
        for (int i = 3; i >= 0; --i) s.push_back(char(q >> (8 * i)));
    return s;
}

void InstallApplication(DeviceBus& d, size_t size = 4096) {
    d.Dev([&](Lumarel460& dev) {
        ImageInfo info;
        info.softwareVersion = 0x02000001;
        dev.InstallImage(kApplicationImage, std::vector<uint8_t>(size, 0x5A), info);
    });
}

class Modes : public ::testing::Test {
protected:
    void SetUp() override {
        token_ = d.bus.AddListener([this](const BusEvent& e) {
            if (e.kind == EventKind::BusReset) ++resets;
        });
    }
    void TearDown() override { d.bus.RemoveListener(token_); }
    Mode DeviceMode() {
        Mode m{};
        d.Dev([&](Lumarel460& dev) { m = dev.mode(); });
        return m;
    }

    TempRoot root;
    DeviceBus d;
    int resets = 0;

private:
    int token_ = 0;
};

TEST_F(Modes, ResetLeavesAndJoinsTheBusInTheChosenMode) {
    // Mode 0 without a valid application: the device comes back in its bootloader.
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToApplication, 0, 0, 0}).answered);
    d.clock.Advance(4);
    EXPECT_GE(d.bus.PhyOf("dev"), 0);   // the answer can still be read
    d.clock.Advance(1);
    EXPECT_EQ(d.bus.PhyOf("dev"), -1);  // gone from the bus while it restarts
    d.clock.Advance(100);
    EXPECT_GE(d.bus.PhyOf("dev"), 0);
    EXPECT_EQ(resets, 2);
    EXPECT_EQ(DeviceMode(), Mode::Bootloader);
    EXPECT_NE(RomBytes(d.Rom()).find("LUMA Rel Bootloader"), std::string::npos);

    // With an application and a new GUID: the application's ROM carries the new GUID, its
    // info registers show bootloader version 0, and it serves only reset and shell.
    InstallApplication(d);
    EXPECT_TRUE(d.Command(uint8_t(Command::ProgramGuid), {0x10, 0x7E, 0x3C, 0x0A, 0x99, 0, 1, 0}).answered);
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToApplication, 0, 0, 0}).answered);
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Application);
    const auto rom = d.Rom();
    EXPECT_EQ(rom[3], 0x0A3C7E10u);
    EXPECT_EQ(rom[4], 0x00010099u);
    EXPECT_NE(RomBytes(rom).find("LUMA Rel"), std::string::npos);
    EXPECT_EQ(RomBytes(rom).find("Bootloader"), std::string::npos);
    EXPECT_TRUE(CheckConfigRom(rom).empty());
    EXPECT_EQ(d.ReadOk(kRegionBase + 12, 4), std::vector<uint8_t>(4, 0));
    EXPECT_FALSE(d.Command(uint8_t(Command::Halt)).answered);
    EXPECT_TRUE(d.Command(uint8_t(Command::ShellRead)).answered);

    // Mode 1 brings the bootloader back.
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToBootloader, 0, 0, 0}).answered);
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Bootloader);
    EXPECT_EQ(resets, 6);
    EXPECT_TRUE(d.Command(uint8_t(Command::Halt)).answered);
}

TEST_F(Modes, SwitchedOffDuringARestartStaysOff) {
    // Off in the middle of a reset, and off in the middle of a power cycle: the restart that
    // was pending must not bring the device back by itself.
    for (bool cycle : {false, true}) {
        if (cycle) d.Dev([](Lumarel460& dev) { dev.PowerCycle(); });
        else EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToBootloader, 0, 0, 0}).answered);
        d.clock.Advance(2);
        d.Dev([](Lumarel460& dev) { dev.PowerOff(); });
        d.clock.Advance(1000);
        EXPECT_EQ(d.bus.PhyOf("dev"), -1);
        d.Dev([](Lumarel460& dev) { EXPECT_FALSE(dev.Online()); });
        d.Dev([](Lumarel460& dev) { dev.PowerCycle(); });  // switched on again
        d.clock.Advance(100);
        EXPECT_GE(d.bus.PhyOf("dev"), 0);
    }
}

TEST_F(Modes, ALoadedBootloaderRunsAfterTheNextRestart) {
    d.Dev([](Lumarel460& dev) {
        ImageInfo info;
        std::memcpy(info.date.data(), "20270102", 8);
        std::memcpy(info.time.data(), "083000", 6);
        info.softwareVersion = 0x02000001;
        dev.InstallImage(kBootloaderImage, std::vector<uint8_t>(512, 0xB0), info);
    });
    EXPECT_EQ(GetLe(d.ReadOk(kRegionBase + 12, 4).data()), DeviceConfig{}.bootloaderVersion);
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToBootloader, 0, 0, 0}).answered);
    d.clock.Advance(100);
    const auto info = d.ReadOk(kRegionBase, 104);
    EXPECT_EQ(GetLe(&info[12]), 0x02000001u);
    EXPECT_EQ(std::string(info.begin() + 64, info.begin() + 72), "20270102");
    EXPECT_EQ(std::string(info.begin() + 72, info.begin() + 78), "083000");
}

TEST(DeviceAnnouncement, BootloaderWritesIntoTheHostAfterARestart) {
    TempRoot root;
    DeviceConfig config;
    config.announceBoot = true;
    DeviceBus d(config);
    ASSERT_EQ(d.bus.AllocateRange(kRegionHigh, kHostAnnounceAddress, 0x40).status, 0);
    std::vector<std::vector<uint8_t>> incoming;
    const int token = d.bus.AddListener([&](const BusEvent& e) {
        if (e.kind == EventKind::IncomingData) incoming.push_back(e.data);
    });
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToBootloader, 0, 0, 0}).answered);
    d.clock.Advance(100);
    d.bus.RemoveListener(token);
    ASSERT_EQ(incoming.size(), 1u);
    ASSERT_GE(incoming[0].size(), 8u);
    EXPECT_EQ(std::string(incoming[0].begin(), incoming[0].begin() + 4), "BOOT");
    EXPECT_EQ(GetLe(&incoming[0][4]), config.bootloaderVersion);
}

TEST_F(Modes, StartImageNeedsAValidImage) {
    Response r = d.Command(uint8_t(Command::StartImage), Le32s({kApplicationImage}));
    EXPECT_EQ(int32_t(r.Op(0)), kStartNoImage);
    r = d.Command(uint8_t(Command::StartImage), Le32s({kBootloaderImage}));
    EXPECT_EQ(int32_t(r.Op(0)), kStartNoImage);
    r = d.Command(uint8_t(Command::StartImage), Le32s({kDebuggerImage}));
    EXPECT_EQ(int32_t(r.Op(0)), kStartBadDebugger);
    InstallApplication(d);
    d.Dev([](Lumarel460& dev) { dev.CorruptSlot(kApplicationImage); });
    r = d.Command(uint8_t(Command::ReadImageCrc), {kApplicationImage, 0, 0, 0});
    EXPECT_EQ(r.Op(1), kCrcInvalid);
    EXPECT_EQ(int32_t(d.Command(uint8_t(Command::StartImage), Le32s({0})).Op(0)), kStartNoImage);
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Bootloader);

    InstallApplication(d);
    EXPECT_EQ(int32_t(d.Command(uint8_t(Command::StartImage), Le32s({0})).Op(0)), kStartOk);
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Application);
}

TEST_F(Modes, DebuggerImageAndDebuggerNodeAnswerTheProbe) {
    d.Dev([](Lumarel460& dev) { dev.InstallImage(kDebuggerImage, std::vector<uint8_t>(64, 1), ImageInfo{}); });
    EXPECT_EQ(int32_t(d.Command(uint8_t(Command::StartImage), Le32s({kDebuggerImage})).Op(0)), kStartOk);
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Debugger);
    EXPECT_EQ(d.Rom(), std::vector<uint32_t>{0x010A3C7Eu});

    d.bus.AddNode("dbg", std::make_unique<DebuggerNode>());
    const std::vector<uint8_t> pattern = {1, 1, 0, 0, 0x80, 0x80, 1, 0};
    for (const char* id : {"dev", "dbg"}) {
        SCOPED_TRACE(id);
        const int phy = d.bus.PhyOf(id);
        std::vector<uint8_t> echo(8);
        EXPECT_EQ(d.bus.Write(phy, kRegionHigh, kProbeWriteAddress, 8, pattern.data(), 0), kResultSuccess);
        EXPECT_EQ(d.bus.Read(phy, kRegionHigh, kProbeReadAddress, 8, echo.data(), 0), kResultSuccess);
        std::vector<uint8_t> expected = pattern;
        expected[2] = kProbeMarker;
        EXPECT_EQ(echo, expected);
        // No protocol region on a debugger.
        EXPECT_EQ(d.bus.Read(phy, kRegionHigh, kRegionBase, 12, echo.data(), 0), kResultResponseError);
    }
    // A power cycle brings the device back (the debugger was started, not booted).
    d.Dev([](Lumarel460& dev) { dev.PowerCycle(); });
    d.clock.Advance(100);
    EXPECT_EQ(DeviceMode(), Mode::Bootloader);
}

TEST_F(Modes, StateFolderKeepsEverythingAndRefusesATornState) {
    InstallApplication(d, 10000);
    EXPECT_TRUE(d.Command(uint8_t(Command::ProgramGuid), {0x10, 0x7E, 0x3C, 0x0A, 0x44, 0x33, 0x22, 0x11}).answered);
    EXPECT_TRUE(d.Command(uint8_t(Command::ProgramMac), {4, 3, 2, 1, 0, 0, 6, 5}).answered);
    EXPECT_TRUE(d.Command(uint8_t(Command::SetDebugGuid), {9, 9, 9, 9, 9, 9, 9, 9}).answered);
    EXPECT_TRUE(d.Command(uint8_t(Command::Reset), {kResetToApplication, 0, 0, 0}).answered);
    d.clock.Advance(100);
    const std::filesystem::path dir = root.path() / "state" / "dev";
    nlohmann::json saved;
    uint64_t serial = 0;
    d.bus.WithNode("dev", [&](Node& n) {
        auto& dev = static_cast<Lumarel460Node&>(n).device();
        dev.SetKey(std::string("k\xE9y", 3), {1, 2, 3});
        n.SaveState(dir);
        saved = n.Describe();
        serial = n.StateSerial();
    });
    EXPECT_GT(serial, 1u);

    DeviceBus other;
    other.bus.WithNode("dev", [&](Node& n) {
        n.LoadState(dir);
        const nlohmann::json loaded = n.Describe();
        for (const char* field : {"mode", "guid", "mac", "debug_guid", "slots", "keys", "persistent", "bootloader"})
            EXPECT_EQ(loaded[field], saved[field]) << field;
        EXPECT_EQ(n.ConfigRom()[4], 0x11223344u);
    });

    // A later save writes what changed since (and only that matters to the next load).
    const std::vector<uint8_t> replacement(10, 0x11);
    d.bus.WithNode("dev", [&](Node& n) {
        static_cast<Lumarel460Node&>(n).device().InstallImage(kApplicationImage, replacement, ImageInfo{});
        n.SaveState(dir);
    });
    DeviceBus fourth;
    fourth.Dev([&](Lumarel460& dev) {
        dev.LoadState(dir);
        EXPECT_EQ(dev.slot(kApplicationImage).bytes, replacement);
        EXPECT_EQ(dev.keys().size(), 1u);
    });

    // A slot file that no longer matches its record: refused, nothing changes.
    {
        std::ifstream in(dir / "state.json");
        const std::string slot0 = nlohmann::json::parse(in)["slots"][0].value("file", "");
        ASSERT_FALSE(slot0.empty());
        std::ofstream torn(dir / slot0, std::ios::binary | std::ios::trunc);
        torn << "short";
    }
    DeviceBus third;
    third.bus.WithNode("dev", [&](Node& n) {
        auto& dev = static_cast<Lumarel460Node&>(n).device();
        const nlohmann::json before = dev.Describe();
        EXPECT_THROW(dev.LoadState(dir), std::runtime_error);
        EXPECT_EQ(dev.Describe(), before);
        // The node keeps running on its defaults and moves the unreadable state aside.
        n.LoadState(dir);
        EXPECT_NE(n.Describe().value("state_error", "").find("slot0-"), std::string::npos);
        EXPECT_FALSE(std::filesystem::exists(dir));
        EXPECT_TRUE(std::filesystem::exists(dir.string() + ".unreadable"));
    });
}

// A save is whole or not at all: one cut short (a full disk) leaves the state saved before it
// loadable, with every file it names; the next save that succeeds leaves only its own files. A
// folder of the older layout (fixed file names, the audio settings apart) still loads.
TEST_F(Modes, ASaveCutShortLeavesThePreviousStateWhole) {
    InstallApplication(d, 5000);
    const std::filesystem::path dir = root.path() / "state" / "dev";
    const auto folderFiles = [&] {
        std::set<std::string> names;
        for (const auto& e : std::filesystem::directory_iterator(dir)) names.insert(e.path().filename().string());
        return names;
    };
    nlohmann::json saved;
    d.bus.WithNode("dev", [&](Node& n) {
        n.SaveState(dir);
        saved = n.Describe();
    });
    const std::set<std::string> savedFiles = folderFiles();
    EXPECT_EQ(savedFiles.size(), 6u) << "state.json, four slots and the live configuration";

    // New GUID and a new application image; then the disk is (nearly) full. Each failure
    // stage: the image's file, then the state file itself.
    d.bus.WithNode("dev", [&](Node& n) {
        auto& dev = static_cast<Lumarel460Node&>(n).device();
        dev.SetGuid({0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x00, 0x77, 0x77});
        dev.InstallImage(kApplicationImage, std::vector<uint8_t>(3000, 0x5A), ImageInfo{});
        dev.faults().stateDiskFree = 2999;
        EXPECT_THROW(n.SaveState(dir), std::runtime_error);
        EXPECT_EQ(dev.faults().stateDiskFree, 2999);  // the part written is removed again
        dev.faults().stateDiskFree = 3000;             // room for the image, not for the state file
        EXPECT_THROW(n.SaveState(dir), std::runtime_error);
    });
    // The folder is as the last save left it: the image file the second save wrote went again.
    EXPECT_EQ(folderFiles(), savedFiles);
    DeviceBus other;
    other.bus.WithNode("dev", [&](Node& n) {
        n.LoadState(dir);
        const nlohmann::json loaded = n.Describe();
        EXPECT_FALSE(loaded.contains("state_error")) << loaded.value("state_error", "");
        for (const char* field : {"guid", "slots", "keys", "persistent"}) EXPECT_EQ(loaded[field], saved[field]) << field;
    });

    // The disk has room again: the next save is whole and the old files go.
    d.bus.WithNode("dev", [&](Node& n) {
        auto& dev = static_cast<Lumarel460Node&>(n).device();
        dev.faults().stateDiskFree = -1;
        n.SaveState(dir);
        saved = n.Describe();
    });
    const std::set<std::string> after = folderFiles();
    EXPECT_EQ(after.size(), 6u);
    EXPECT_EQ(after.count("state.json"), 1u);
    DeviceBus third;
    third.bus.WithNode("dev", [&](Node& n) {
        n.LoadState(dir);
        EXPECT_EQ(n.Describe()["guid"], "0A3C7E1000007777");
        EXPECT_EQ(n.Describe()["slots"], saved["slots"]);
    });

    // The older layout: "slot<n>.bin", "liveconfig.bin", no file names in state.json.
    nlohmann::json state;
    {
        std::ifstream in(dir / "state.json");
        state = nlohmann::json::parse(in);
    }
    for (int t = 0; t < kSlotCount; ++t) {
        auto& e = state["slots"][size_t(t)];
        std::filesystem::rename(dir / e["file"].get<std::string>(), dir / ("slot" + std::to_string(t) + ".bin"));
        e.erase("file");
    }
    std::filesystem::rename(dir / state["persistent"]["live_config_file"].get<std::string>(), dir / "liveconfig.bin");
    state["persistent"].erase("live_config_file");
    state.erase("node");
    std::ofstream(dir / "state.json") << state.dump();
    DeviceBus fourth;
    fourth.bus.WithNode("dev", [&](Node& n) {
        n.LoadState(dir);
        EXPECT_FALSE(n.Describe().contains("state_error"));
        EXPECT_EQ(n.Describe()["guid"], "0A3C7E1000007777");
        EXPECT_EQ(n.Describe()["slots"], saved["slots"]);
    });
}

TEST(DeviceDescription, BuildsFromJsonAndRefusesBadFields) {
    TempRoot root;
    const std::filesystem::path image = root.path() / "app.bin";
    {
        std::ofstream out(image, std::ios::binary);
        out << std::string(2000, 'A');
    }
    const nlohmann::json nodeDesc = {{"mode", "application"},
                                 {"protocol", "2be"},
                                 {"guid", "0A3C7E1000010ABC"},
                                 {"images", {{{"type", "application"}, {"file", image.string()}}}},
                                 {"keys", {{"serial", "414243"}}},
                                 {"timing", {{"reset_time_ms", 10}}},
                                 {"device_faults", {{"ignore_debug_guid", true}}}};
    auto node = MakeLumarel460(nodeDesc);
    const nlohmann::json j = node->Describe();
    EXPECT_EQ(j["mode"], "application");
    EXPECT_EQ(j["protocol"], "2be");
    EXPECT_EQ(j["guid"], "0A3C7E1000010ABC");
    EXPECT_EQ(j["slots"][0]["length"], 2000);
    EXPECT_EQ(j["slots"][0]["valid"], true);
    EXPECT_EQ(j["keys"][0]["data"], "414243");
    EXPECT_EQ(j["timing"]["reset_time_ms"], 10);
    EXPECT_EQ(j["faults"]["ignore_debug_guid"], true);

    const nlohmann::json bad[] = {
        {{"guid", "0A3C"}},
        {{"protocol", 4}},
        {{"mode", "application"}},  // no application image
        {{"images", {{{"type", 7}, {"file", image.string()}}}}},
        {{"images", {{{"file", image.string()}}}}},                      // a raw image names its slot
        {{"images", {{{"file", image.string()}, {"type", nullptr}}}}},
        {{"timing", {{"erase_time_ms", "soon"}}}},
        {{"images", {{{"package", image.string()}}}}},  // not a package
        {{"device_faults", {{"explode", true}}}},
        {{"shell_ring_size", 100}},
    };
    for (const auto& b : bad) EXPECT_THROW(MakeLumarel460(b), std::invalid_argument) << b.dump();

    // Control commands are checked whole before anything applies.
    std::string error;
    Lumarel460& dev = node->device();
    EXPECT_FALSE(ApplyDeviceCommand(dev, {{"timing", {{"erase_time_ms", 5}}}, {"corrupt_slot", 9}}, error));
    EXPECT_EQ(dev.timing().eraseTimeMs, 0u);
    EXPECT_TRUE(ApplyDeviceCommand(dev, {{"device_faults", {{"flash_write_failures", -1}}}, {"corrupt_slot", 0}}, error));
    EXPECT_EQ(dev.faults().flashWriteFailures, -1);
    EXPECT_FALSE(dev.slot(0).Valid());
}

}  // namespace
}  // namespace sim::lumarel::testing
