// AV/C volume and balance: the frames the panel sends, the values it takes from the replies, and
// the replies it refuses.
#include <gtest/gtest.h>

#include "tests/unit_bus.h"

namespace dorvik::testing {
namespace {

class Avc : public UnitBus {
protected:
    void SetUp() override {
        UnitBus::SetUp();
        panel->AttachDevice();
        ASSERT_TRUE(panel->Attached());
        Journal();
    }
    // Bytes 8-19 of the one AV/C request sent since the last look (empty when none was sent).
    std::vector<uint8_t> SentFrame() {
        std::vector<uint8_t> frame;
        for (const Request& r : Journal()) {
            EXPECT_EQ(r.code, kIoctlAvcCommand);
            EXPECT_EQ(r.input.size(), kAvcRequestSize);
            EXPECT_TRUE(frame.empty()) << "more than one request";
            frame.assign(r.input.begin() + 8, r.input.begin() + 20);
            EXPECT_EQ(r.input[0] | r.input[1] << 8, 2000);  // time-out
            EXPECT_EQ(r.input[4], 12);                      // frame length
            EXPECT_TRUE(std::all_of(r.input.begin() + 20, r.input.end(), [](uint8_t b) { return b == 0; }));
        }
        return frame;
    }
};

TEST_F(Avc, RequestsCarryTheirBlockChannelAndValueAndRepliesDecode) {
    enum Op { Volume, Master, Balance };
    struct Case {
        const char* what;
        Op op;
        int feature, channel;  // function block for Master
        uint32_t value;
        uint32_t rate;
        std::vector<uint8_t> frame;  // ctype .. data 2
        uint32_t out;
    };
    const uint32_t r48 = 48000, r176 = 176400;
    const std::vector<Case> cases = {
        {"level 207 is -48 dB", Volume, 0, 3, VolumeForLevel(207), r48,
         {0x00, 0x08, 0xB8, 0x81, 4, 0x10, 2, 4, 2, 2, 0xD0, 0x00}, 0xCFFF},
        {"at 176.4 kHz the main channels go to block 1", Volume, 0, 3, VolumeForLevel(207), r176,
         {0x00, 0x08, 0xB8, 0x81, 1, 0x10, 2, 4, 2, 2, 0xD0, 0x00}, 0xCFFF},
        {"level 255 is 0 dB", Volume, 0, 0, VolumeForLevel(255), r48,
         {0x00, 0x08, 0xB8, 0x81, 4, 0x10, 2, 1, 2, 2, 0x00, 0x00}, 0xFFFFFFFF},
        {"a level read back as 0 dB sends 0 dB again", Volume, 0, 7, VolumeForLevel(16777215), r48,
         {0x00, 0x08, 0xB8, 0x81, 4, 0x10, 2, 8, 2, 2, 0x00, 0x00}, 0xFFFFFFFF},
        {"main mute is -64 dB", Volume, 0, 5, kMuteMain, r48,
         {0x00, 0x08, 0xB8, 0x81, 4, 0x10, 2, 6, 2, 2, 0xC0, 0x00}, 0xBFFF},
        {"other mute is -127 dB", Volume, 1, 13, kMuteOther, r48,
         {0x00, 0x08, 0xB8, 0x81, 3, 0x10, 2, 2, 2, 2, 0x81, 0x00}, 0x80FF},
        {"channel 10 is block 2, left", Volume, 1, 10, VolumeForLevel(254), r48,
         {0x00, 0x08, 0xB8, 0x81, 2, 0x10, 2, 1, 2, 2, 0xFF, 0x00}, 0xFEFF},
        {"master of block 2", Master, 0, 2, 0xFFFFFFFF, r48,
         {0x00, 0x08, 0xB8, 0x81, 2, 0x10, 2, 0, 2, 2, 0x00, 0x00}, 0xFFFFFFFF},
        {"balance hard left on channel 9", Balance, 1, 9, uint32_t(-127), r48,
         {0x00, 0x08, 0xB8, 0x81, 1, 0x10, 2, 2, 3, 2, 0x81, 0x00}, 0x81},
        {"balance right on channel 8", Balance, 1, 8, 100, r48,
         {0x00, 0x08, 0xB8, 0x81, 1, 0x10, 2, 1, 3, 2, 0x64, 0x00}, 0x64},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetDeviceClock(0, c.rate);
        panel->applied.sampleRate = int32_t(c.rate);
        Journal();
        uint32_t out = 0x12345678;
        int ok = c.op == Volume ? panel->SendVolume(c.feature, c.channel, c.value, out)
                 : c.op == Master ? panel->SetMasterVolume(c.channel, c.value, out)
                                  : panel->SendBalance(c.feature, c.channel, int32_t(c.value), out);
        EXPECT_EQ(ok, 1);
        EXPECT_EQ(SentFrame(), c.frame);
        EXPECT_EQ(out, c.out);
    }
}

TEST_F(Avc, StatusReadsDecodeTheDeviceValue) {
    panel->applied.sampleRate = 48000;
    uint32_t out = 0;
    struct Case {
        uint32_t sent;       // as the panel passes it
        uint32_t readBack;   // ReadVolume's result
    } volumes[] = {{0xFFFF, 0xFFFF} /* device 0x0000 */, {0xCFFF, 0xCFFF}, {kMuteMain, kMuteMain}};
    for (const auto& c : volumes) {
        ASSERT_EQ(panel->SendVolume(0, 2, c.sent, out), 1);
        ASSERT_EQ(panel->ReadVolume(0, 2, out), 1);
        EXPECT_EQ(out, c.readBack);
    }
    const std::vector<uint8_t> status = {0x01, 0x08, 0xB8, 0x81, 4, 0x10, 2, 3, 2, 2, 0x00, 0x00};
    Journal();
    panel->ReadVolume(0, 2, out);
    EXPECT_EQ(SentFrame(), status);

    // -128 lies outside the balance range: it reads as the left stop.
    for (auto [sent, read] : {std::pair{-128, 0x81u}, {-127, 0x81u}, {127, 0x7Fu}, {0, 0u}}) {
        ASSERT_EQ(panel->SendBalance(1, 8, sent, out), 1);
        ASSERT_EQ(panel->ReadBalance(1, 8, out), 1);
        EXPECT_EQ(out, read) << sent;
    }
    EXPECT_EQ(DeviceBalance(1, 1), 0);
}

TEST_F(Avc, RefusedOrShortRepliesLeaveTheCallersValue) {
    panel->applied.sampleRate = 48000;
    uint32_t out = 77;
    Audio({{"audio_faults", {{"reject_avc", true}}}});
    EXPECT_EQ(panel->SendVolume(0, 0, VolumeForLevel(230), out), 0);
    EXPECT_EQ(panel->ReadVolume(0, 0, out), 0);
    EXPECT_EQ(panel->ReadBalance(1, 8, out), 0);
    Audio({{"audio_faults", {{"reject_avc", false}, {"short_reply", kIoctlAvcCommand}}}});
    EXPECT_EQ(panel->ReadVolume(0, 0, out), 0);
    EXPECT_EQ(out, 77u);

    // At 192 kHz blocks 2 to 4 do not run: the device rejects them, and the panel's master
    // volume is not even sent.
    Audio({{"audio_faults", {{"short_reply", 0}}}});
    SetDeviceClock(0, 192000);
    panel->applied.sampleRate = 192000;
    Journal();
    EXPECT_EQ(panel->SetMasterVolume(1, 0xFFFFFFFF, out), 0);
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(panel->SendVolume(1, 10, VolumeForLevel(230), out), 0);
    EXPECT_EQ(out, 77u);
    EXPECT_EQ(panel->SendVolume(0, 0, VolumeForLevel(230), out), 1);  // block 1 runs
    EXPECT_EQ(DeviceVolume(1, 1), int16_t(0xE700));

    // A channel no block carries is not sent.
    Journal();
    EXPECT_EQ(panel->SendVolume(0, 9, 0, out), 0);
    EXPECT_EQ(panel->SendBalance(1, 3, 0, out), 0);
    EXPECT_TRUE(Journal().empty());
}

TEST_F(Avc, WithoutTheDeviceNothingIsSentAndNothingChanges) {
    panel->control().Close();
    uint32_t out = 5;
    EXPECT_EQ(panel->SendVolume(0, 0, 0, out), 0);
    EXPECT_EQ(panel->SetMasterVolume(1, 0, out), 0);
    EXPECT_EQ(panel->ReadVolume(0, 0, out), 0);
    EXPECT_EQ(panel->SendBalance(1, 8, 0, out), 0);
    EXPECT_EQ(panel->ReadBalance(1, 8, out), 0);
    EXPECT_EQ(out, 5u);
    EXPECT_TRUE(Journal().empty());
    EXPECT_EQ(panel->control().ReadClock(panel->clock), kErrOperationFailed);
    EXPECT_NE(panel->driverApi().IoctlSync(kIoctlAvcCommand, nullptr, 0, nullptr, 0, nullptr), kErrDeviceNotOpen);  // still open
    panel->driverApi().Close();
    EXPECT_EQ(panel->driverApi().IoctlSync(kIoctlAvcCommand, nullptr, 0, nullptr, 0, nullptr), kErrDeviceNotOpen);
}

TEST_F(Avc, HandlesOpenOnceCompletePendingRequestsAndAreForgottenWhenTheirCloseFails) {
    DriverApiDevice& api = panel->driverApi();
    const audiodrv::Handle before = api.handle();
    audiodrv::Handle list = OpenInterfaceList(kInterfaceClass);
    EXPECT_EQ(api.Open(0, list, &kInterfaceClass), 0u);
    EXPECT_EQ(api.handle(), before);
    CloseInterfaceList(list);

    // A driver that queues the request: the panel waits for its completion.
    audiodrv::SetPendingCompletion(true);
    panel->applied.sampleRate = 48000;
    uint32_t out = 0;
    EXPECT_EQ(panel->SendVolume(0, 1, VolumeForLevel(240), out), 1);
    EXPECT_EQ(out, 0xF0FFu);
    audiodrv::SetPendingCompletion(false);

    // A close the platform refuses still leaves the control device closed, so it opens again.
    audiodrv::FailCloses(true);
    panel->control().Close();
    EXPECT_FALSE(panel->control().IsOpen());
    audiodrv::FailCloses(false);
    EXPECT_EQ(panel->control().Open(), 0u);
    EXPECT_TRUE(panel->control().IsOpen());

    // Errors of the interface open.
    DriverApiDevice other;
    EXPECT_EQ(other.Open(0, 0, &kInterfaceClass), kErrInvalidParameter);
    list = OpenInterfaceList(kInterfaceClass);
    EXPECT_EQ(other.Open(1, list, &kInterfaceClass), kErrNoSuchInstance);
    audiodrv::FailEventCreations(1);
    EXPECT_EQ(other.Open(0, list, &kInterfaceClass), kErrOutOfMemory);
    EXPECT_FALSE(other.IsOpen());
    CloseInterfaceList(list);
}

TEST(IdsInReply, CountsAreHeldToTheRoomAndToTheBytesReturned) {
    std::vector<uint8_t> reply(kChannelIdReply, 0);
    auto put = [&](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i) reply[at + size_t(i)] = uint8_t(v >> (8 * i));
    };
    for (size_t i = 0; i < 256; ++i) put(4 + 4 * i, uint32_t(0x100 + i));
    struct Case {
        uint32_t count;
        size_t returned, at, room, expected;
    } cases[] = {
        {8, kChannelIdReply, 0, 256, 8},     // as the driver says
        {300, kChannelIdReply, 0, 256, 256}, // more than the list holds
        {300, 260, 0, 64, 64},               // the stream reply's room
        {8, 20, 0, 256, 4},                  // a reply cut short
        {8, 3, 0, 256, 0},                   // not even the count
        {8, 1030, 1028, 256, 0},             // the second list's count cut
    };
    for (const auto& c : cases) {
        put(c.at, c.count);
        EXPECT_EQ(IdsInReply(reply.data(), c.returned, c.at, c.room).size(), c.expected) << c.count << " " << c.returned;
    }
}

}  // namespace
}  // namespace dorvik::testing
