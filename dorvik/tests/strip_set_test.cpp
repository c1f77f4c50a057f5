// The strip set over a panel attached to the simulated unit: what a fader, knob or toggle does
// to the settings and the device, what the strips show afterwards, and the picture of them all.
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <iostream>

#include "core/panel.h"
#include "core/strip_commands.h"
#include "tests/strip_test_support.h"
#include "tests/unit_bus.h"

namespace dorvik::testing {
namespace {

namespace L = layout;

// The window's side of the panel: the strips follow every sync.
class StripUi : public MixerUi {
public:
    void UpdateMixerStrips() override {
        if (strips && panel) strips->UpdateMixerStrips(*panel);
    }
    StripSet* strips = nullptr;
    Panel* panel = nullptr;
};

// A volume or balance command as the unit took it.
struct Sent {
    int block, channel, selector;
    uint16_t value;
    bool operator==(const Sent&) const = default;
};
std::ostream& operator<<(std::ostream& os, const Sent& s) {
    return os << "{block " << s.block << ", channel " << s.channel << ", selector " << s.selector << ", 0x" << std::hex
              << s.value << std::dec << "}";
}

class Strips : public UnitBus {
protected:
    void SetUp() override {
        UnitBus::SetUp();
        panel = std::make_unique<Panel>(stripUi);
        RegisterControlClasses();
        SetWheelStep(1);
        strips = StripSet::CreateMixerStrips(&client, parent, 0, 0);
        stripUi.strips = strips.get();
        stripUi.panel = panel.get();
        // The main window's handlers.
        parent.forward = [this](const Notice& n) {
            if (n.kind == Notice::Fader) OnFaderScroll(*panel, n.id, n.position);
            if (n.kind == Notice::Knob) OnKnobScroll(*panel, n.id, n.position);
            if (n.kind == Notice::Toggle && OnToggleCommand(*panel, n.id)) panel->SyncSettingsToUi();
        };
        panel->AttachDevice();
        ASSERT_TRUE(panel->Attached());
        SetFactoryDefaults(panel->working);
        panel->working.sampleRate = 48000;
        panel->applied = AllOnes();
        panel->SyncSettingsToUi();
        client.show();
        Journal();
    }
    void TearDown() override {
        strips.reset();
        UnitBus::TearDown();
    }

    // The AV/C commands the unit took since the last look.
    std::vector<Sent> SentCommands() {
        std::vector<Sent> sent;
        for (const Request& r : Journal()) {
            if (r.code != kIoctlAvcCommand || r.input.size() < 20) continue;
            sent.push_back({r.input[12], r.input[15], r.input[16], uint16_t(r.input[18] << 8 | r.input[19])});
        }
        return sent;
    }
    // The block and audio channel that carry a mixer channel at 48 kHz.
    std::pair<int, int> Carrier(int channel) {
        uint8_t fb = 0, ch = 0;
        EXPECT_TRUE(MapChannel(channel >= 8 ? 1 : 0, channel, true, 48000, fb, ch));
        return {fb, ch};
    }
    Sent Volume(int channel, uint16_t value) {
        auto [fb, ch] = Carrier(channel);
        return {fb, ch, 2, value};
    }
    template <class T>
    T* Get(int kind, int index) {
        return static_cast<T*>(strips->Control(ControlId(kind, index)));
    }
    void SetPair(int pair, int32_t left, int32_t right, int32_t muteLeft, int32_t muteRight, int32_t link) {
        ChannelPair& p = panel->working.pairs[pair];
        p.level[0] = left, p.level[1] = right, p.mute[0] = muteLeft, p.mute[1] = muteRight, p.link = link;
        panel->SyncSettingsToUi();
        Journal();
    }

    StripUi stripUi;
    BackClient client;
    RecordingParent parent;
    std::unique_ptr<StripSet> strips;
};

TEST_F(Strips, FaderEndsReachTheDeviceAndTheReadout) {
    auto* fader = Get<Fader>(kKindFader, 0);
    auto* field = Get<TextField>(kKindLevelField, 0);
    SetPair(0, 249, 249, 0, 0, 0);
    EXPECT_EQ(fader->GetPos(), 121);
    EXPECT_EQ(field->text(), "  -6dB");

    fader->SetPos(80);
    Key(fader, Qt::Key_Down);
    EXPECT_EQ(SentCommands(), std::vector<Sent>{Volume(0, 0xD000)});
    EXPECT_EQ(panel->working.pairs[0].level[0], 207);
    EXPECT_EQ(field->text(), " -48dB");
    EXPECT_EQ(fader->GetPos(), 79);
    EXPECT_EQ(DeviceVolume(Carrier(0).first, Carrier(0).second), int16_t(0xD000));

    fader->SetPos(126);
    Key(fader, Qt::Key_Up);
    EXPECT_EQ(SentCommands(), std::vector<Sent>{Volume(0, 0x0000)});
    EXPECT_EQ(panel->working.pairs[0].level[0], 16777215);  // the 0 dB reply, as the device read-back gives it
    EXPECT_EQ(field->text(), "   0dB");
    EXPECT_EQ(fader->GetPos(), 127);
}

TEST_F(Strips, FaderMoveFollowsTheLinkAndTheMutes) {
    struct Case {
        const char* what;
        int32_t muteLeft, muteRight, link;
        int channel;
        std::vector<int> sentTo;
        int32_t left, right;  // working levels after
    };
    // Position 100 is level 228 (-27 dB), sent as 0xE500; the strip stood at 249 (0xFB00).
    const std::vector<Case> cases = {
        {"unlinked, muted: stored, nothing sent", 1, 0, 0, 0, {}, 228, 249},
        {"unlinked: that side sent", 0, 0, 0, 1, {1}, 249, 228},
        {"linked, both muted: both stored", 1, 1, 1, 1, {}, 228, 228},
        {"linked, left muted: left stored, right sent", 1, 0, 1, 0, {1}, 228, 228},
        {"linked, right muted: right stored, left sent", 0, 1, 1, 1, {0}, 228, 228},
        {"linked, neither muted: both sent", 0, 0, 1, 0, {0, 1}, 228, 228},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        SetPair(1, 249, 249, c.muteLeft, c.muteRight, c.link);
        auto* fader = Get<Fader>(kKindFader, 2 + c.channel);
        fader->SetPos(101);
        Key(fader, Qt::Key_Down);
        std::vector<Sent> expected;
        for (int side : c.sentTo) expected.push_back(Volume(2 + side, 0xE500));
        EXPECT_EQ(SentCommands(), expected);
        EXPECT_EQ(panel->working.pairs[1].level[0], c.left);
        EXPECT_EQ(panel->working.pairs[1].level[1], c.right);
        EXPECT_EQ(panel->applied.pairs[1].level[0], c.left);
        // The other fader of a linked pair follows.
        EXPECT_EQ(Get<Fader>(kKindFader, 2)->GetPos(), c.left & 127);
        EXPECT_EQ(Get<Fader>(kKindFader, 3)->GetPos(), c.right & 127);
        EXPECT_EQ(Get<TextField>(kKindLevelField, 3)->text(), c.right == 228 ? " -27dB" : "  -6dB");
    }

    // A send the unit refuses keeps the level that was.
    SetPair(5, 249, 249, 0, 0, 0);
    Audio({{"audio_faults", {{"reject_avc", true}}}});
    auto* fader = Get<Fader>(kKindFader, 10);
    Key(fader, Qt::Key_Down);
    EXPECT_EQ(panel->working.pairs[5].level[0], 249);
}

TEST_F(Strips, MuteTogglesOfALinkedPairFollowTheClickedSide) {
    SetPair(1, 230, 240, 1, 0, 1);
    auto* left = Get<Toggle>(kKindMute, 2);
    auto* right = Get<Toggle>(kKindMute, 3);
    EXPECT_TRUE(left->GetCheck());
    EXPECT_FALSE(right->GetCheck());

    // The left side was muted: both unmute, each with its own level as every fader move sends it.
    Click(left);
    EXPECT_EQ(SentCommands(), (std::vector<Sent>{Volume(2, 0xE700), Volume(3, 0xF100)}));
    EXPECT_EQ(panel->working.pairs[1].mute[0], 0);
    EXPECT_EQ(panel->working.pairs[1].mute[1], 0);
    EXPECT_FALSE(left->GetCheck());
    EXPECT_FALSE(right->GetCheck());

    Click(right);
    EXPECT_EQ(SentCommands(), (std::vector<Sent>{Volume(2, 0xC000), Volume(3, 0xC000)}));
    EXPECT_TRUE(left->GetCheck());
    EXPECT_TRUE(right->GetCheck());

    // Unlinked: one side, and the other blocks mute at -127 dB.
    SetPair(5, 249, 207, 0, 0, 0);
    Click(Get<Toggle>(kKindMute, 11));
    EXPECT_EQ(SentCommands(), std::vector<Sent>{Volume(11, 0x8100)});
    EXPECT_EQ(panel->working.pairs[5].mute[1], 1);
    EXPECT_EQ(panel->working.pairs[5].mute[0], 0);
    Click(Get<Toggle>(kKindMute, 11));
    EXPECT_EQ(SentCommands(), std::vector<Sent>{Volume(11, 0xD000)});
}

TEST_F(Strips, LinkAndRecordWordTogglesChangeOnlyTheSettings) {
    SetPair(2, 249, 249, 0, 0, 1);
    auto* link = Get<Toggle>(kKindLink, 2);
    EXPECT_TRUE(link->GetCheck());
    Click(link);
    EXPECT_EQ(panel->working.pairs[2].link, 0);
    EXPECT_FALSE(link->GetCheck());
    EXPECT_TRUE(SentCommands().empty());

    // In record mode the link toggles flip word 4 of their record; 0x27nn flips word 7.
    panel->working.recordMode = 1;
    const MixerSettings before = panel->working;
    EXPECT_TRUE(OnToggleCommand(*panel, ControlId(kKindLink, 3)));
    EXPECT_TRUE(OnToggleCommand(*panel, ControlId(kKindRecordWord, 4)));
    EXPECT_EQ(panel->working.records[3].words[4], 0);
    EXPECT_EQ(panel->working.records[4].words[7], 1);
    EXPECT_EQ(panel->working.pairs[3].link, before.pairs[3].link);
    // Pairs 5 and 6 have no record: nothing changes, the reserved words included.
    EXPECT_TRUE(OnToggleCommand(*panel, ControlId(kKindLink, 6)));
    EXPECT_TRUE(OnToggleCommand(*panel, ControlId(kKindRecordWord, 5)));
    MixerSettings expected = before;
    expected.records[3].words[4] = 0;
    expected.records[4].words[7] = 1;
    EXPECT_EQ(ToBytes(panel->working), ToBytes(expected));
    EXPECT_FALSE(OnToggleCommand(*panel, ControlId(kKindFader, 0)));
    EXPECT_TRUE(SentCommands().empty());
}

TEST_F(Strips, PanKnobsSendTheirBalanceOnlyWhenItChanges) {
    auto* knob = Get<Knob>(kKindKnob, 8);
    EXPECT_EQ(knob->GetPos(), -127);  // the factory pan of the left side
    EXPECT_EQ(Get<Knob>(kKindKnob, 9)->GetPos(), 127);
    knob->SetPos(0);
    SetWheelStep(8);
    Wheel(knob, 120);
    const auto sent = SentCommands();
    ASSERT_EQ(sent.size(), 1u);
    EXPECT_EQ(sent[0].selector, 3);
    EXPECT_EQ(panel->working.pairs[4].pan[0], 37);
    EXPECT_EQ(panel->applied.pairs[4].pan[0], 37);
    // Any other key re-reports the same position: nothing is sent.
    Key(knob, Qt::Key_Space);
    EXPECT_TRUE(SentCommands().empty());
    EXPECT_EQ(parent.notices.back(), (Notice{Notice::Knob, ControlId(kKindKnob, 8), 37u << 16 | 4, 37}));
    // Turned left past the centre: a negative balance in the command's byte.
    for (int i = 0; i < 2; ++i) Wheel(knob, -120);
    EXPECT_EQ(panel->working.pairs[4].pan[0], -37);
    EXPECT_EQ(DeviceBalance(Carrier(8).first, Carrier(8).second), -37);
    SetWheelStep(1);
}

TEST_F(Strips, StripsStartAsTheLayoutSaysAndShowAndHideByGroup) {
    // Creation order: pairs 0-6, the clock field, the two value fields, the two labels.
    const auto controls = strips->Controls();
    ASSERT_EQ(controls.size(), 7u * 7 + 2 + 5);
    EXPECT_EQ(static_cast<KitControl*>(controls[0])->id(), ControlId(kKindFader, 0));
    EXPECT_EQ(static_cast<KitControl*>(controls[51])->id(), ControlId(kKindClockField, 0));
    EXPECT_EQ(strips->Control(ControlId(kKindValueField, 0)), controls[52]);
    EXPECT_EQ(controls[52]->geometry(), ToQRect(L::kWdmField));

    struct Place {
        int id;
        QRect rect;
        const char* className;
    } places[] = {
        {ControlId(kKindFader, 0), QRect(248, 91, 17, 180), kFaderClass},
        {ControlId(kKindFader, 1), QRect(277, 91, 17, 180), kFaderClass},
        {ControlId(kKindFader, 9), QRect(84, 91, 17, 180), kFaderClass},
        {ControlId(kKindLevelField, 7), QRect(440, 301, 28, 16), kTextFieldClass},
        {ControlId(kKindMute, 8), QRect(44, 273, L::kMuteWidth, L::kMuteHeight), kToggleClass},
        {ControlId(kKindLink, 4), QRect(65, 317, L::kLinkWidth, L::kLinkHeight), kToggleClass},
        {ControlId(kKindLink, 6), QRect(188, 317, L::kLinkWidth, L::kLinkHeight), kToggleClass},
        {ControlId(kKindKnob, 8), QRect(35, 54, 30, 30), kKnobClass},
        {ControlId(kKindKnob, 9), QRect(82, 54, 30, 30), kKnobClass},
        {ControlId(kKindClockField, 0), QRect(494, 106, 60, 12), kTextFieldClass},
    };
    for (const Place& p : places) {
        auto* c = static_cast<KitControl*>(strips->Control(p.id));
        ASSERT_NE(c, nullptr) << std::hex << p.id;
        EXPECT_EQ(c->geometry(), p.rect) << std::hex << p.id;
        EXPECT_STREQ(c->className(), p.className);
    }
    // Fields start with "mute"; the labels are red.
    EXPECT_EQ(Get<TextField>(kKindClockField, 0)->text(), "mute");
    EXPECT_EQ(static_cast<TextField*>(controls[52])->text(), "mute");
    EXPECT_EQ(static_cast<TextField*>(controls[54])->text(), "WDM");
    EXPECT_EQ(static_cast<TextField*>(controls[55])->text(), "ASIO");
    EXPECT_EQ(static_cast<TextField*>(controls[55])->textColour(), 0xFF0000u);
    EXPECT_EQ(controls[55]->geometry(), ToQRect(L::kAsioLabel));
    strips->SetClockText("48.0kHz");
    strips->SetWdmText("10ms");
    strips->SetAsioText("3ms");
    EXPECT_EQ(Get<TextField>(kKindClockField, 0)->text(), "48.0kHz");
    EXPECT_EQ(static_cast<TextField*>(controls[53])->text(), "3ms");

    // Pairs 4-6 go with the pan knobs; pairs 0-3 and the readouts with the device; the labels stay.
    strips->EnablePanKnobs(false);
    EXPECT_FALSE(Get<Knob>(kKindKnob, 8)->isVisible());
    EXPECT_FALSE(Get<Fader>(kKindFader, 13)->isEnabled());
    EXPECT_TRUE(Get<Fader>(kKindFader, 0)->isVisible());
    strips->ShowMixerStrips(false);
    EXPECT_FALSE(Get<Fader>(kKindFader, 0)->isVisible());
    EXPECT_FALSE(Get<Toggle>(kKindLink, 3)->isEnabled());
    EXPECT_FALSE(controls[51]->isVisible());
    EXPECT_TRUE(controls[54]->isVisible());
    EXPECT_TRUE(controls[55]->isEnabled());
    strips->EnablePanKnobs(true);
    strips->ShowMixerStrips(true);
    EXPECT_TRUE(Get<Knob>(kKindKnob, 9)->isVisible());
    EXPECT_TRUE(controls[53]->isEnabled());

    strips->DestroyMixerStrips();
    EXPECT_FALSE(controls[0]->isVisible());
    EXPECT_EQ(strips->Control(ControlId(kKindFader, 0)), nullptr);
    EXPECT_EQ(strips->Controls().size(), 5u);
    strips->UpdateMixerStrips(*panel);  // nothing left to update
}

TEST_F(Strips, DamagedLevelsShowOnTheScale) {
    SetPair(3, -1, 16777215, 0, 0, 0);
    EXPECT_EQ(Get<Fader>(kKindFader, 6)->GetPos(), 127);
    EXPECT_EQ(Get<TextField>(kKindLevelField, 6)->text(), "   0dB");
    SetPair(3, -100, 0, 0, 0, 0);  // low seven bits 28: -99 dB, the fader at its bottom
    EXPECT_EQ(Get<TextField>(kKindLevelField, 6)->text(), " -99dB");
    EXPECT_EQ(Get<Fader>(kKindFader, 6)->GetPos(), 79);
    EXPECT_EQ(Get<TextField>(kKindLevelField, 7)->text(), "-127dB");
}

TEST_F(Strips, SevenStripsPicture) {
    SetPair(0, 255, 240, 0, 1, 1);
    SetPair(4, 220, 230, 1, 0, 0);
    strips->SetClockText(" 48000 Hz");
    strips->SetWdmText("10ms");
    strips->SetAsioText("10ms");
    const QImage picture = client.grab().toImage();
    EXPECT_EQ(picture.size(), QSize(555, 347));
    // Where a control stands, the picture is the control's own drawing.
    auto* mute = Get<Toggle>(kKindMute, 1);
    EXPECT_TRUE(SamePicture(picture.copy(mute->geometry()), GetBitmap("MUTE_ON")));

    const char* bin = std::getenv("LUMAREL_BIN");
    const std::filesystem::path out =
        bin ? std::filesystem::path(bin) / ".." / "test-output" : std::filesystem::path(root_) / "test-output";
    std::filesystem::create_directories(out);
    const std::filesystem::path png = out / "dorvik_strips.png";
    ASSERT_TRUE(picture.save(QString::fromStdString(png.string()), "PNG"));
    EXPECT_GT(std::filesystem::file_size(png), 1000u);
    std::cout << "Mixer strips saved to " << std::filesystem::weakly_canonical(png).string() << "\n";
}

}  // namespace
}  // namespace dorvik::testing
