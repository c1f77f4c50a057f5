// Attaching the device: the requests in their order, the channel names, the title from the
// firmware information, arrival and removal, and reading the mixer back.
#include <gtest/gtest.h>

#include "registry/values.h"
#include "tests/unit_bus.h"

namespace dorvik::testing {
namespace {

class Attachment : public UnitBus {
protected:
    std::vector<uint32_t> Codes() {
        std::vector<uint32_t> codes;
        for (const Request& r : Journal()) codes.push_back(r.code);
        return codes;
    }
    // New firmware dates: the bootloader and the application are replaced and the unit restarts.
    void SetDates(const std::string& bootloader, const std::string& software) {
        bus_.WithNode("unit", [&](sim::Node& n) {
            auto& d = static_cast<sim::lumarel::Lumarel460Node&>(n).device();
            for (auto [slot, date] : {std::pair{3, bootloader}, {0, software}}) {
                sim::lumarel::ImageInfo info;
                std::copy(date.begin(), date.end(), info.date.begin());
                d.InstallImage(slot, std::vector<uint8_t>(64, uint8_t(slot)), info);
            }
            d.PowerCycle();
        });
        clock.Advance(1000);
    }
    uint64_t StateSerial() {
        uint64_t serial = 0;
        bus_.WithNode("unit", [&](sim::Node& n) { serial = n.StateSerial(); });
        return serial;
    }
    std::string Name(const nlohmann::json& list, size_t i) { return list[i]["name"].get<std::string>(); }
    // Stored levels the device does not have: 230 on every channel, pair 5 muted, pair 4 panned.
    void StoreLevels() {
        SetFactoryDefaults(panel->working);
        for (auto& p : panel->working.pairs) p.level[0] = p.level[1] = 230, p.mute[0] = p.mute[1] = 0;
        panel->working.pairs[5].mute[1] = 1;
        panel->working.pairs[4].pan[0] = -100;
        panel->applied = panel->working;
    }
};

TEST_F(Attachment, QueriesTheDriverInOrderAndNamesEveryChannel) {
    Audio({{"channels", {{"inputs", 8}, {"outputs", 14}}}});
    Journal();
    const uint64_t serial = StateSerial();
    panel->AttachDevice();
    std::vector<uint32_t> expected = {kIoctlRecord2004, kIoctlRecord2100, kIoctlReadAsio, kIoctlReadWdm, kIoctlQueryInfo,
                                      kIoctlStreamIds, kIoctlStreamEntry, kIoctlStreamEntry, kIoctlQueryInfo,
                                      kIoctlChannelIds};
    expected.insert(expected.end(), 8, kIoctlChannelRead);
    expected.push_back(kIoctlChannelIds);
    expected.insert(expected.end(), 14, kIoctlChannelRead);
    expected.insert(expected.end(), 2, kIoctlStreamInfo);
    expected.insert(expected.end(), 14 * 14 + 8 * 8, kIoctlChannelWrite);  // each naming sends its whole list
    expected.push_back(kIoctlRecord2208);
    expected.push_back(kIoctlReadClock);
    EXPECT_EQ(Codes(), expected);

    nlohmann::json audio = Audio();
    EXPECT_EQ(Name(audio["outputs"], 0), "NRX Lumarel 460 Out 1");
    EXPECT_EQ(Name(audio["outputs"], 8), "NRX Lumarel 460 SPDIF left");
    EXPECT_EQ(Name(audio["outputs"], 11), "NRX Lumarel 460 MIDI Out 2");
    EXPECT_EQ(Name(audio["outputs"], 12), "Lumarel Output 13");  // beyond the table: the driver's own
    EXPECT_EQ(Name(audio["inputs"], 4), "NRX Lumarel 460 SPDIF left");
    EXPECT_EQ(Name(audio["inputs"], 7), "NRX Lumarel 460 MIDI In 2");
    // Naming the channels, reading and writing back what the unit runs are no change worth
    // saving: the bus service writes no state for them.
    EXPECT_EQ(StateSerial(), serial);
    EXPECT_EQ(panel->outputsNamed, 14u);
    EXPECT_EQ(panel->inputsNamed, 8u);
    EXPECT_EQ(panel->clock.rate, 48000u);
    EXPECT_EQ(panel->asioRecord.words[0], 1000u);
    EXPECT_EQ(ui.title, "Lumarel 460 v1.15");
    EXPECT_EQ(GuidText(panel->deviceInfo), "0x0A3C7E1000010001");
    EXPECT_EQ(FormatDateTime(InfoText(panel->deviceInfo, kInfoSoftwareDateAt), InfoText(panel->deviceInfo, kInfoSoftwareTimeAt)),
              "2004/06/23  13:05:00");

    // A channel the driver cannot read is left out; the others are named.
    Audio({{"audio_faults", {{"fail_channel", 0x201}}}});
    panel->AttachDevice();
    EXPECT_EQ(panel->control().outputs.size(), 13u);
    EXPECT_EQ(panel->control().outputs[1].Name(), "NRX Lumarel 460 Out 2");
}

TEST_F(Attachment, TheTitleSaysWhetherTheFirmwareNeedsAnUpdate) {
    const std::string note = "Lumarel 460 v1.15 Note - you need to update the firmware!";
    struct Case {
        const char* bootloader;
        const char* software;
        std::string title;
    } cases[] = {
        {"20040607", "20040623", note},
        {"20040608", "20040623", "Lumarel 460 v1.15"},
        {"20040608", "20040622", note},
        {"20050101", "2004", note},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.bootloader) + " " + c.software);
        SetDates(c.bootloader, c.software);
        panel->AttachDevice();
        EXPECT_EQ(ui.title, c.title);
    }
}

TEST_F(Attachment, WithoutTheDeviceTheTitleSaysDisableAndTheRecordsAreReset) {
    panel->AttachDevice();
    PowerOff();
    panel->AttachDevice();
    EXPECT_FALSE(panel->Attached());
    EXPECT_EQ(ui.title, "Lumarel 460 Disable");
    EXPECT_EQ(panel->record2100, (Record2100{500, 500, 500, 500}));
    EXPECT_EQ(panel->asioRecord.words[0], 0u);
    EXPECT_EQ(panel->clock.rate, 0u);
    EXPECT_EQ(GuidText(panel->deviceInfo), "0x0000000000000000");

    // Back again while the firmware information lists no such device: the title says it is
    // present, not still "Disable".
    PowerOn();
    sim::Bus empty;
    VSKFWDL_HostBus(&empty);
    panel->AttachDevice();
    EXPECT_TRUE(panel->Attached());
    EXPECT_EQ(ui.title, "Lumarel 460 v1.15");
    VSKFWDL_HostBus(nullptr);
    // Nor can the list be read at all: present, without a note.
    panel->AttachDevice();
    EXPECT_EQ(ui.title, "Lumarel 460 v1.15");
    VSKFWDL_HostBus(&bus_);

    // The control device cannot be opened: detached.
    Audio({{"audio_faults", {{"control_unopenable", true}}}});
    panel->AttachDevice();
    EXPECT_FALSE(panel->Attached());
    EXPECT_EQ(ui.title, "Lumarel 460 Disable");
}

TEST_F(Attachment, RemovalThenArrivalSendsTheStoredLevelsBeforeReadingTheDeviceBack) {
    ASSERT_TRUE(panel->RegisterDeviceArrival(kInterfaceClass));
    EXPECT_FALSE(panel->CheckDeviceChange());
    panel->AttachDevice();
    StoreLevels();

    PowerOff();
    ui.calls.clear();
    EXPECT_TRUE(panel->CheckDeviceChange());
    EXPECT_EQ(ui.title, "Lumarel 460 Disable");
    EXPECT_EQ(ui.calls.back(), "strips");
    EXPECT_NE(std::find(ui.calls.begin(), ui.calls.end(), "hidden"), ui.calls.end());

    Journal();
    PowerOn();
    ui.calls.clear();
    EXPECT_TRUE(panel->CheckDeviceChange());
    EXPECT_TRUE(panel->Attached());
    EXPECT_EQ(ui.title, "Lumarel 460 v1.15");

    // Every CONTROL command (the stored state going out) comes before the first STATUS read.
    std::vector<uint8_t> ctypes;
    for (const Request& r : Journal())
        if (r.code == kIoctlAvcCommand) ctypes.push_back(r.input[8]);
    ASSERT_FALSE(ctypes.empty());
    auto firstStatus = std::find(ctypes.begin(), ctypes.end(), kCtypeStatus);
    EXPECT_TRUE(std::all_of(ctypes.begin(), firstStatus, [](uint8_t c) { return c == kCtypeControl; }));
    EXPECT_EQ(std::count(ctypes.begin(), firstStatus, kCtypeControl), 3 + 14 + 2 + 3);  // masters, channels, balances; masters again
    EXPECT_EQ(std::count(firstStatus, ctypes.end(), kCtypeStatus), 14 + 2);

    EXPECT_EQ(DeviceVolume(4, 1), int16_t(0xE700));   // level 230
    EXPECT_EQ(DeviceVolume(2, 2), int16_t(0x8100));   // channel 11 (pair 5 right, muted) is block 2, right
    EXPECT_EQ(DeviceBalance(1, 1), -100);
    // Read back: what was sent, and the pan sign-extended.
    EXPECT_EQ(panel->working.pairs[0].level[0], 230);
    EXPECT_EQ(panel->working.pairs[5].mute[1], 1);
    EXPECT_EQ(panel->working.pairs[4].pan[0], -100);
    EXPECT_EQ(panel->applied.pairs[4].pan[0], -100);
}

TEST_F(Attachment, ArrivalAtTheHighRatesLeavesTheOtherPairsAsStored) {
    SetDeviceClock(0, 192000);
    panel->AttachDevice();
    StoreLevels();
    panel->working.pairs[4].level[0] = 210;
    panel->applied = panel->working;
    Journal();
    panel->OnDeviceChange(kDeviceArrival);
    EXPECT_EQ(panel->applied.sampleRate, 192000);
    for (int p = 4; p <= 6; ++p) {
        EXPECT_EQ(panel->working.pairs[p].level[0], p == 4 ? 210 : 230) << p;
        EXPECT_EQ(panel->working.pairs[p].pan[0], p == 4 ? -100 : -127) << p;
    }
    // Only block 1 was addressed, on channels 1-8.
    for (const Request& r : Journal())
        if (r.code == kIoctlAvcCommand) {
            EXPECT_EQ(r.input[12], 1);
            EXPECT_TRUE(r.input[15] >= 1 && r.input[15] <= 8);
        }
    EXPECT_NE(std::find(ui.calls.begin(), ui.calls.end(), "knobs off"), ui.calls.end());
}

TEST_F(Attachment, ARejectedReadKeepsTheLevelsAndMutes) {
    panel->AttachDevice();
    StoreLevels();
    panel->working.sampleRate = panel->applied.sampleRate = 48000;
    Audio({{"audio_faults", {{"reject_avc", true}}}});
    panel->ReadMixerFromDevice();
    for (int p = 0; p < 7; ++p) {
        EXPECT_EQ(panel->working.pairs[p].level[0], 230);
        EXPECT_EQ(panel->working.pairs[p].mute[1], p == 5 ? 1 : 0);
    }
    // A balance the device does not answer keeps the stored pan, in the applied settings too,
    // and so in the saved block.
    EXPECT_EQ(panel->working.pairs[4].pan[0], -100);
    EXPECT_EQ(panel->applied.pairs[4].pan[0], -100);
    EXPECT_EQ(panel->applied.pairs[4].pan[1], 127);
    panel->SaveSettings();
    registry::Value v;
    ASSERT_EQ(registry::QueryValue(registry::Hive::LocalMachine, kRegistryKey, "MixerSetting", v), registry::kRegOk);
    ASSERT_EQ(v.data.size(), kMixerSettingsSize);
    SettingsBytes bytes{};
    std::copy(v.data.begin(), v.data.end(), bytes.begin());
    EXPECT_EQ(FromBytes(bytes).pairs[4].pan[0], -100);
}

TEST(FormatDateTime, ShowsWhatTheTextsHold) {
    EXPECT_EQ(FormatDateTime("20040622", "130500"), "2004/06/22  13:05:00");
    EXPECT_EQ(FormatDateTime("20040622", ""), "2004/06/22  ");
    EXPECT_EQ(FormatDateTime("", ""), "  ");
    EXPECT_EQ(FormatDateTime("200406", "13"), "2004/06  13");
}

}  // namespace
}  // namespace dorvik::testing
