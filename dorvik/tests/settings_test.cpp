// The settings block: its layout, factory settings, registry values and the refresh of the windows.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstring>

#include "core/bytes.h"
#include "registry/values.h"
#include "tests/unit_bus.h"

namespace dorvik::testing {
namespace {

class Settings : public testing_support::TempRootTest {
protected:
    Settings() : TempRootTest("dorvik_settings") {}
    void StoreBlob(const std::string& name, uint32_t type, const std::vector<uint8_t>& data) {
        ASSERT_EQ(registry::SetValue(registry::Hive::LocalMachine, kRegistryKey, name, type, data.data(), uint32_t(data.size())),
                  registry::kRegOk);
    }
    std::vector<uint8_t> Stored(const std::string& name) {
        registry::Value v;
        EXPECT_EQ(registry::QueryValue(registry::Hive::LocalMachine, kRegistryKey, name, v), registry::kRegOk);
        EXPECT_EQ(v.type, registry::kRegBinary);
        return v.data;
    }
    RecordingUi ui;
};

TEST_F(Settings, AFirstRunStartsFromTheFactorySettings) {
    Panel panel(ui);
    panel.LoadSettingsAndCreateStrips();  // no device, no key
    const MixerSettings& s = panel.working;
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.asioLatency, 100);
    EXPECT_EQ(s.wdmLatency, 100);
    EXPECT_EQ(s.wheelStep, 1);
    EXPECT_EQ(s.rateCommandsEnabled, 1);
    EXPECT_EQ(s.word32, 255);
    for (int p = 0; p < 10; ++p) {
        EXPECT_EQ(s.pairs[p].level[0], p < 7 ? 249 : 255) << p;
        EXPECT_EQ(s.pairs[p].mute[1], p >= 4 && p <= 6 ? 1 : 0) << p;
        EXPECT_EQ(s.pairs[p].pan[0], -127);
        EXPECT_EQ(s.pairs[p].pan[1], 127);
    }
    // Without a unit the settings still reach every menu, text and strip, which stay hidden.
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"create", "strips", "wheel", "asio", "wdm", "clock", "rate",
                                                  "knobs off", "hidden"}));

    // The stored form: little-endian words at the block's offsets.
    SettingsBytes b = ToBytes(s);
    EXPECT_EQ(GetLe32(&b[0]), 44100u);
    EXPECT_EQ(GetLe32(&b[40 + 4 * 28 + 8]), 1u);  // pair 4, mute left
    EXPECT_EQ(GetLe32(&b[40 + 20]), uint32_t(-127));
    EXPECT_EQ(GetLe32(&b[432]), 231u);
    EXPECT_EQ(GetLe32(&b[432 + 5 * 4]), uint32_t(-10));
    EXPECT_EQ(GetLe32(&b[680]), 0u);
}

TEST_F(Settings, TheAppliedBlockAndTheWindowPositionSaveAndLoadWhole) {
    {
        Panel panel(ui);
        panel.LoadSettingsAndCreateStrips();
        panel.working.pairs[8].level[1] = 16777215;  // a level read back from 0 dB
        panel.working.pairs[9].link = 0;
        panel.working.records[4].words[7] = 1;
        panel.working.reserved320[3] = -5;
        panel.working.reserved592[22] = 0x7FFFFFFF;
        panel.working.flag28 = 1;
        panel.SyncSettingsToUi();
        panel.working.pairs[0].level[0] = 100;  // not applied: not saved
        panel.SaveSettings();
    }
    EXPECT_EQ(Stored("WinX"), (std::vector<uint8_t>{0xEC, 0xFF, 0xFF, 0xFF}));
    EXPECT_EQ(Stored("WinY"), (std::vector<uint8_t>{0x2C, 0x01, 0, 0}));
    std::vector<uint8_t> blob = Stored("MixerSetting");
    ASSERT_EQ(blob.size(), kMixerSettingsSize);

    Panel again(ui);
    again.LoadSettingsAndCreateStrips();
    EXPECT_EQ(again.working.pairs[8].level[1], 16777215);
    EXPECT_EQ(again.working.pairs[9].link, 0);
    EXPECT_EQ(again.working.records[4].words[7], 1);
    EXPECT_EQ(again.working.reserved320[3], -5);
    EXPECT_EQ(again.working.reserved592[22], 0x7FFFFFFF);
    EXPECT_EQ(again.working.pairs[0].level[0], 249);
    SettingsBytes b = ToBytes(again.working);
    EXPECT_TRUE(std::equal(blob.begin(), blob.end(), b.begin()));
}

TEST_F(Settings, StoredValuesOfAnotherShapeAreReadOnlyAsFarAsTheyFit) {
    MixerSettings defaults;
    SetFactoryDefaults(defaults);
    const SettingsBytes factory = ToBytes(defaults);
    struct Case {
        const char* what;
        uint32_t type;
        size_t length;
        size_t taken;  // leading bytes that come from the stored value
    } cases[] = {
        {"a short block fills its own length", registry::kRegBinary, 100, 100},
        {"a whole block", registry::kRegBinary, 684, 684},
        {"a longer value is missing", registry::kRegBinary, 700, 0},
        {"another type is missing", registry::kRegDword, 684, 0},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        StoreBlob("MixerSetting", c.type, std::vector<uint8_t>(c.length, 0x42));
        Panel panel(ui);
        panel.LoadSettingsAndCreateStrips();
        SettingsBytes b = ToBytes(panel.working);
        for (size_t i = 0; i < kMixerSettingsSize; ++i)
            ASSERT_EQ(b[i], i < c.taken ? 0x42 : factory[i]) << "byte " << i;
    }
    // A failed read leaves the buffer as it was when it is its own default, and takes another
    // default whole.
    Panel panel(ui);
    uint8_t buf[4] = {1, 2, 3, 4};
    const uint8_t def[4] = {9, 9, 9, 9};
    EXPECT_EQ(panel.ReadRegistryValue("None", buf, buf, 4), 0);
    EXPECT_EQ(buf[3], 4);
    EXPECT_EQ(panel.ReadRegistryValue("None", buf, def, 4), 0);
    EXPECT_EQ(buf[0], 9);
}

TEST_F(Settings, SyncRefreshesOnlyWhatDiffersAndFactoryDefaultRefreshesEverything) {
    Panel panel(ui);
    panel.LoadSettingsAndCreateStrips();
    panel.SyncSettingsToUi();
    ui.calls.clear();
    panel.SyncSettingsToUi();
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"strips"}));

    ui.calls.clear();
    panel.working.wdmLatency = 30;
    panel.working.externalClock = 1;
    panel.SyncSettingsToUi();
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"strips", "wdm", "clock"}));
    EXPECT_EQ(panel.applied.wdmLatency, 30);

    ui.calls.clear();
    panel.ResetToFactoryDefaults();
    panel.SyncSettingsToUi();
    EXPECT_EQ(ui.calls, (std::vector<std::string>{"strips", "wheel", "asio", "wdm", "clock", "rate"}));
    EXPECT_EQ(std::memcmp(&panel.applied, &panel.working, sizeof(MixerSettings)), 0);
}

// Another process keeping the settings' key locked: the panel waits for it no longer than the
// registry's bound, once, and names the holder. It takes no factory settings in place of the
// stored ones (nothing reaches the windows or a unit) and saves nothing over them, even once the
// lock is free again.
TEST_F(Settings, SettingsLockedByAnotherProcessAreNeitherReplacedNorOverwritten) {
    const std::vector<uint8_t> stored(kMixerSettingsSize, 0x42), storedX = {1, 0, 0, 0};
    StoreBlob("MixerSetting", registry::kRegBinary, stored);
    StoreBlob("WinX", registry::kRegBinary, storedX);
    const std::string lockFile = root_ + "/registry/hklm/software/nrx/lumarel460/values.lock";
    const int holder = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    ASSERT_GE(holder, 0);
    ASSERT_EQ(::flock(holder, LOCK_EX), 0);

    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    Panel panel(ui);
    uint8_t x[4] = {7, 7, 7, 7};
    EXPECT_EQ(panel.ReadRegistryValue("WinX", x, x, 4), 0);
    EXPECT_EQ(x[0], 7);
    EXPECT_TRUE(panel.SettingsLocked());
    EXPECT_NE(panel.SettingsHolder().find("process " + std::to_string(::getpid())), std::string::npos)
        << panel.SettingsHolder();
    const int64_t waited = clock.NowMicros();
    EXPECT_GE(waited, int64_t(registry::kLockWaitMs) * 1000);
    ui.calls.clear();
    EXPECT_FALSE(panel.LoadSettingsAndCreateStrips());
    EXPECT_EQ(clock.NowMicros(), waited);  // known locked: no second wait
    EXPECT_EQ(ui.calls, std::vector<std::string>{"create"});

    ASSERT_EQ(::flock(holder, LOCK_UN), 0);
    ::close(holder);
    panel.SaveSettings();
    EXPECT_EQ(Stored("MixerSetting"), stored);
    EXPECT_EQ(Stored("WinX"), storedX);
}

}  // namespace
}  // namespace dorvik::testing
