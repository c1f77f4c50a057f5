// The main window offscreen over the simulated unit in this process: menus drive the driver
// requests and AV/C commands the unit journals; showing, hiding, saving and Exit; the tray icon,
// the message of a second start and the About box.
#include <gtest/gtest.h>
#include <poll.h>

#include <QAction>
#include <QApplication>
#include <QFontMetrics>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QScreen>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <filesystem>
#include <set>

#include "app/about_box.h"
#include "core/bytes.h"
#include "strips/controls.h"
#include "forms/form.h"
#include "app/main_window.h"
#include "core/mixer_commands.h"
#include "registry/values.h"
#include "core/strip_commands.h"
#include "strips/layout.h"
#include "tests/unit_bus.h"
#include "user/window_mailbox.h"
#include "user/window_registry.h"

namespace dorvik::testing {
namespace {

// Records what the window asks of the notification area and clicks for the test.
class FakeTray : public TrayIcon {
public:
    struct Log {
        bool added = false, removed = false;
        std::string tip;
        bool iconNull = true;
        std::function<void(uint32_t)> click;
    };
    explicit FakeTray(Log& log, bool available = true) : log_(log), available_(available) {}
    bool Add(const QImage& icon, const std::string& tip, std::function<void(uint32_t)> onMouse) override {
        log_.added = available_;
        log_.tip = tip;
        log_.iconNull = icon.isNull();
        log_.click = std::move(onMouse);
        return available_;
    }
    void Remove() override { log_.removed = true; }

private:
    Log& log_;
    bool available_;
};

class PanelWindow : public UnitBus {
protected:
    void SetUp() override {
        UnitBus::SetUp();
        forms::EnsureApplication();
        RegisterControlClasses();
    }
    void TearDown() override {
        window.reset();
        UnregisterControlClasses();
        UnitBus::TearDown();
    }
    void Open(bool trayAvailable = true) {
        window = std::make_unique<MainWindow>(std::make_unique<FakeTray>(tray, trayAvailable));
        Journal();
    }
    void Choose(int id) {
        QAction* a = window->Action(id);
        ASSERT_NE(a, nullptr) << id;
        a->trigger();
    }
    // Posted window messages and queued events are delivered.
    void Deliver() { forms::DoEvents(); }
    // Waits (bounded, in real time: the mailbox's reader runs on its own thread) for `done`.
    bool WaitFor(const std::function<bool()>& done) {
        for (int i = 0; i < 2000; ++i) {
            Deliver();
            if (done()) return true;
            ::poll(nullptr, 0, 5);
        }
        return false;
    }
    // The WDM and ASIO value fields' texts (the first two fields of the shared id).
    std::vector<std::string> ValueTexts() {
        std::vector<std::string> texts;
        for (QWidget* w : window->strips()->Controls())
            if (auto* f = dynamic_cast<TextField*>(w); f && f->id() == ControlId(kKindValueField, 0) && texts.size() < 2)
                texts.push_back(f->text());
        return texts;
    }
    std::string ClockText() {
        auto* f = dynamic_cast<TextField*>(window->strips()->Control(ControlId(kKindClockField, 0)));
        return f ? f->text() : "";
    }
    bool Marked(int id) { return window->Action(id)->isChecked(); }
    std::vector<int> MarkedOf(std::initializer_list<int> ids) {
        std::vector<int> on;
        for (int id : ids)
            if (Marked(id)) on.push_back(id);
        return on;
    }
    std::vector<uint8_t> Stored(const std::string& name) {
        registry::Value v;
        if (registry::QueryValue(registry::Hive::LocalMachine, kRegistryKey, name, v) != registry::kRegOk) return {};
        return v.data;
    }
    int32_t StoredInt(const std::string& name) {
        std::vector<uint8_t> b = Stored(name);
        return b.size() == 4 ? int32_t(GetLe32(b.data())) : INT32_MIN;
    }
    void StoreInt(const std::string& name, int32_t v) {
        uint8_t b[4];
        PutLe32(b, uint32_t(v));
        registry::SetValue(registry::Hive::LocalMachine, kRegistryKey, name, registry::kRegBinary, b, 4);
    }
    std::optional<user::TopWindow> Published() { return user::FindTopWindow(std::string(kWindowClass), std::nullopt); }

    // The requests since the last look, one line each.
    std::vector<std::string> Requests() {
        std::vector<std::string> lines;
        char line[96];
        for (const Request& r : Journal()) {
            const uint8_t* in = r.input.data();
            switch (r.code) {
            case kIoctlWriteClock:
                std::snprintf(line, sizeof line, "write clock %u %u", GetLe32(in), GetLe32(in + 4));
                break;
            case kIoctlReadClock: std::snprintf(line, sizeof line, "read clock"); break;
            case kIoctlNotifyC4: std::snprintf(line, sizeof line, "C4"); break;
            case kIoctlNotifyC0: std::snprintf(line, sizeof line, "C0"); break;
            case kIoctlWriteAsio: std::snprintf(line, sizeof line, "write asio %u", GetLe32(in)); break;
            case kIoctlReadAsio: std::snprintf(line, sizeof line, "read asio"); break;
            case kIoctlWriteWdm: std::snprintf(line, sizeof line, "write wdm %u", GetLe32(in)); break;
            case kIoctlReadWdm: std::snprintf(line, sizeof line, "read wdm"); break;
            case kIoctlAvcCommand: {
                const uint8_t* f = in + 8;  // ctype, subunit, opcode, fb type, fb, attribute, 2, channel, selector, 2, data
                if (f[8] == kSelectorBalance)
                    std::snprintf(line, sizeof line, "balance fb%d ch%d %02X", f[4], f[7], f[10]);
                else
                    std::snprintf(line, sizeof line, "volume fb%d ch%d %02X%02X", f[4], f[7], f[10], f[11]);
                break;
            }
            default: std::snprintf(line, sizeof line, "request %08X", r.code);
            }
            lines.push_back(line);
        }
        return lines;
    }
    static std::string Volume(int fb, int ch, uint16_t data) {
        char line[64];
        std::snprintf(line, sizeof line, "volume fb%d ch%d %04X", fb, ch, data);
        return line;
    }
    static std::string Balance(int fb, int ch, uint8_t data) {
        char line[64];
        std::snprintf(line, sizeof line, "balance fb%d ch%d %02X", fb, ch, data);
        return line;
    }
    // The device value of a level (level*256 + 255, plus one).
    static uint16_t Level(int level) { return uint16_t(level * 256 + 256); }

    FakeTray::Log tray;
    std::unique_ptr<MainWindow> window;
};

TEST_F(PanelWindow, StartsHiddenWithItsMenuTitleAndTrayIcon) {
    Open();
    EXPECT_FALSE(window->isVisible());
    EXPECT_EQ(window->windowTitle().toStdString(), "Lumarel 460 v1.15");
    auto published = Published();
    ASSERT_TRUE(published);
    EXPECT_FALSE(published->visible);
    EXPECT_EQ(published->caption, "Lumarel 460 v1.15");
    EXPECT_TRUE(tray.added);
    EXPECT_EQ(tray.tip, "Lumarel 460 v1.15");
    EXPECT_EQ(window->Client()->size(), QSize(555, 347));

    // The menu as the user sees it: texts, ids and separators, in order.
    std::vector<std::string> items;
    std::function<void(QMenu*, const std::string&)> walk = [&](QMenu* m, const std::string& path) {
        for (QAction* a : m->actions()) {
            if (a->isSeparator()) items.push_back(path + "-");
            else if (a->menu()) walk(a->menu(), path + a->text().toStdString() + ">");
            else items.push_back(path + a->text().toStdString() + "=" + std::to_string(a->data().toInt()));
        }
    };
    for (QAction* top : window->menuBar()->actions()) {
        if (top->menu()) walk(top->menu(), top->text().toStdString() + ">");
        else items.push_back(top->text().toStdString() + "=" + std::to_string(top->data().toInt()));
    }
    const std::vector<std::string> expected = {
        "&File>Close &Window\tALT-F4=32803", "&File>E&xit=105",
        "&Config>&Mouse Wheel>Step &1=32772", "&Config>&Mouse Wheel>Step &2=32778",
        "&Config>&Mouse Wheel>Step &4=32773", "&Config>&Mouse Wheel>Step &8=32774", "&Config>-",
        "&Config>&ASIO Latency>2 ms=32784", "&Config>&ASIO Latency>4 ms=32785", "&Config>&ASIO Latency>8 ms=32786",
        "&Config>&ASIO Latency>10 ms=32801", "&Config>&ASIO Latency>12 ms=32789", "&Config>&ASIO Latency>16 ms=32790",
        "&Config>&WDM Latency>2 ms=32795", "&Config>&WDM Latency>4 ms=32796", "&Config>&WDM Latency>8 ms=32797",
        "&Config>&WDM Latency>10 ms=32800", "&Config>&WDM Latency>12 ms=32798", "&Config>&WDM Latency>16 ms=32799",
        "&Config>-", "&Config>&Factory Default=32776", "&Config>-", "&Config>Always on &Top=32777", "&Config>-",
        "&Config>SampleRate>44.1 kHz=6913", "&Config>SampleRate>48.0 kHz=6914", "&Config>SampleRate>88.2 kHz=6915",
        "&Config>SampleRate>96.0 kHz=6916", "&Config>SampleRate>176.4kHz=6917", "&Config>SampleRate>192.0kHz=6918",
        "&About=104"};
    EXPECT_EQ(items, expected);
    // The unit runs at 48 kHz; the wheel step is the factory one.
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6914});
    EXPECT_EQ(MarkedOf({32772, 32778, 32773, 32774}), std::vector<int>{32772});
}

TEST_F(PanelWindow, TheTrayIconAndASecondStartBringThePanelUp) {
    Open();
    // A left or right press on the icon shows the panel; other mouse messages do not.
    tray.click(0x200);
    Deliver();
    EXPECT_FALSE(window->isVisible());
    for (uint32_t press : {kWmLButtonDown, kWmRButtonDown}) {
        window->hide();
        tray.click(press);
        Deliver();
        EXPECT_TRUE(window->isVisible()) << press;
        EXPECT_TRUE(Published()->visible);
    }

    // A second start posts 0x405 to the published window through its mailbox; it alone gets in.
    window->hide();
    auto published = Published();
    ASSERT_TRUE(published);
    EXPECT_FALSE(published->visible);
    EXPECT_TRUE(user::PostToTopWindow(*published, kWmTrayIcon, kTrayIconId, kWmLButtonDown));  // filtered out
    EXPECT_TRUE(user::PostToTopWindow(*published, kWmShowPanel, 0, 0x203));
    EXPECT_TRUE(WaitFor([&] { return window->isVisible(); }));
    EXPECT_TRUE(Published()->visible);
}

TEST_F(PanelWindow, WithoutANotificationAreaThePanelStillStartsHidden) {
    Open(false);
    EXPECT_TRUE(window->NoTray());
    EXPECT_FALSE(window->isVisible());
    ASSERT_TRUE(Published());
}

TEST_F(PanelWindow, RisingTo192kHzMovesTheMainChannelsToBlock1AndHidesThePanStrips) {
    Open();
    Choose(6918);
    std::vector<std::string> expected = {"write clock 0 192000", "read clock", "C4", "C0"};
    for (int ch = 0; ch < 8; ++ch) expected.push_back(Volume(1, ch + 1, Level(249)));
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(Audio()["clock"]["rate"], 192000);
    EXPECT_EQ(window->panel().clock.rate, 192000u);
    EXPECT_EQ(window->panel().applied.sampleRate, 192000);
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6918});
    EXPECT_EQ(ClockText(), "192000 Hz");
    QWidget* knob = window->strips()->Control(ControlId(kKindKnob, 8));
    ASSERT_NE(knob, nullptr);
    EXPECT_FALSE(knob->isEnabled());
    EXPECT_TRUE(knob->isHidden());
    QWidget* fader0 = window->strips()->Control(ControlId(kKindFader, 0));
    ASSERT_NE(fader0, nullptr);
    EXPECT_FALSE(fader0->isHidden());

    // Back to 48 kHz: the masters of blocks 1-3 to 0 dB, then every channel, pair 4 with its
    // balance (pairs 4-6 muted by the factory settings).
    Choose(6914);
    expected = {"write clock 0 48000", "read clock", "C4", "C0", Volume(1, 0, 0), Volume(2, 0, 0), Volume(3, 0, 0)};
    for (int ch = 0; ch < 8; ++ch) expected.push_back(Volume(4, ch + 1, Level(249)));
    expected.push_back(Balance(1, 1, 0x81));
    expected.push_back(Volume(1, 1, 0x8100));
    expected.push_back(Balance(1, 2, 0x7F));
    expected.push_back(Volume(1, 2, 0x8100));
    for (int ch = 10; ch < 14; ++ch) expected.push_back(Volume(ch < 12 ? 2 : 3, ch % 2 + 1, 0x8100));
    EXPECT_EQ(Requests(), expected);
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6914});
    EXPECT_TRUE(knob->isEnabled());
    EXPECT_FALSE(knob->isHidden());
    // The balance replies keep their sign.
    EXPECT_EQ(window->panel().working.pairs[4].pan[0], -127);
    EXPECT_EQ(window->panel().applied.pairs[4].pan[0], -127);

    // The same rate again sends nothing, and its mark stays.
    Choose(6914);
    EXPECT_EQ(Requests(), std::vector<std::string>{});
    EXPECT_TRUE(Marked(6914));

    // The external clock (a command no item carries): no rate marked, no levels sent.
    window->MainWndProc(window->hwnd(), kWmCommand, kCmdExternalClock, 0);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"write clock 1 0", "read clock", "C4", "C0"}));
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{});
    EXPECT_EQ(ClockText(), "EXT Clock");
}

// The keyboard follows the mouse over the panel in front: a fader takes it as the mouse moves
// over it, a clicked knob keeps it while the mouse moves over the knob, and the background takes
// it back, so the arrow keys turn nothing the mouse has left.
TEST_F(PanelWindow, TheKeyboardFollowsTheMouseOverThePanelInFront) {
    Open();
    window->show();
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    QWidget* knob = window->strips()->Control(ControlId(kKindKnob, 8));
    QWidget* fader = window->strips()->Control(ControlId(kKindFader, 0));
    ASSERT_TRUE(knob && fader);
    ASSERT_TRUE(knob->isVisible() && fader->isVisible());
    // A spot of bare background beside the fader.
    QWidget* client = window->Client();
    QPoint bare;
    for (int x = fader->geometry().right() + 1; x < client->width() && bare.isNull(); ++x)
        if (!client->childAt(x, fader->geometry().center().y())) bare = QPoint(x, fader->geometry().center().y());
    ASSERT_FALSE(bare.isNull());

    QTest::mouseMove(fader, fader->rect().center());
    EXPECT_TRUE(fader->hasFocus());
    QTest::mouseClick(knob, Qt::LeftButton, {}, knob->rect().center());
    QTest::mouseMove(knob, knob->rect().center() + QPoint(1, 1));
    EXPECT_TRUE(knob->hasFocus());
    Journal();
    QTest::keyClick(knob, Qt::Key_Up);
    EXPECT_FALSE(Requests().empty());  // the knob turned: its balance went to the unit

    QTest::mouseMove(client, bare);
    EXPECT_FALSE(knob->hasFocus());
    EXPECT_EQ(QApplication::focusWidget(), window.get());
    QTest::keyClick(window.get(), Qt::Key_Up);
    EXPECT_TRUE(Requests().empty());
}

TEST_F(PanelWindow, ARefusedClockKeepsTheRateItsMarkAndItsChannels) {
    Open();
    Audio({{"audio_faults", {{"refuse_rate", 192000}}}});
    Journal();
    Choose(6918);
    EXPECT_EQ(Requests(), std::vector<std::string>{"write clock 0 192000"});
    EXPECT_EQ(window->panel().working.sampleRate, 48000);
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6914});
    // Later level commands still reach the main channels' block (pair 0 is linked: both sides).
    OnFaderScroll(window->panel(), ControlId(kKindFader, 0), 100);
    EXPECT_EQ(Requests(), (std::vector<std::string>{Volume(4, 1, Level(228)), Volume(4, 2, Level(228))}));
}

TEST_F(PanelWindow, StripsShowOnlyWhileAUnitIsAttached) {
    PowerOff();
    Open();
    EXPECT_EQ(window->windowTitle().toStdString(), "Lumarel 460 Disable");
    QWidget* fader0 = window->strips()->Control(ControlId(kKindFader, 0));
    QWidget* fader8 = window->strips()->Control(ControlId(kKindFader, 8));
    QWidget* clockField = window->strips()->Control(ControlId(kKindClockField, 0));
    ASSERT_TRUE(fader0 && fader8 && clockField);
    EXPECT_TRUE(fader0->isHidden());
    EXPECT_TRUE(fader8->isHidden());
    // A rate chosen meanwhile refreshes the menu and the clock field, not the strips.
    Choose(6913);
    EXPECT_EQ(Requests(), std::vector<std::string>{});
    EXPECT_TRUE(Marked(6913));
    EXPECT_TRUE(fader0->isHidden());
    EXPECT_TRUE(fader8->isHidden());
    EXPECT_TRUE(clockField->isHidden());

    // The unit comes: the panel's look at the driver finds it, sends its settings and shows
    // the strips.
    PowerOn();
    clock.Advance(kDeviceCheckMs);
    Deliver();
    EXPECT_EQ(window->windowTitle().toStdString(), "Lumarel 460 v1.15");
    EXPECT_FALSE(fader0->isHidden());
    EXPECT_FALSE(fader8->isHidden());
    EXPECT_TRUE(Marked(6914));  // the unit's own rate
    PowerOff();
    clock.Advance(kDeviceCheckMs);
    Deliver();
    EXPECT_EQ(window->windowTitle().toStdString(), "Lumarel 460 Disable");
    EXPECT_TRUE(fader0->isHidden());
    EXPECT_TRUE(fader8->isHidden());
}

TEST_F(PanelWindow, WithoutAUnitTheStoredSettingsShowFromTheStart) {
    MixerSettings stored;
    SetFactoryDefaults(stored);
    stored.sampleRate = 96000;
    stored.asioLatency = 40;
    stored.wdmLatency = 160;
    stored.wheelStep = 8;
    const SettingsBytes block = ToBytes(stored);
    registry::SetValue(registry::Hive::LocalMachine, kRegistryKey, "MixerSetting", registry::kRegBinary, block.data(),
                       uint32_t(block.size()));
    SetWheelStep(1);
    PowerOff();
    Open();
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6916});
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32785});
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{32799});
    EXPECT_EQ(MarkedOf({32772, 32778, 32773, 32774}), std::vector<int>{32774});
    EXPECT_EQ(WheelStep(), 8);  // the controls step by it before any command
    EXPECT_EQ(ClockText(), " 96000 Hz");
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{"16ms", " 4ms"}));
    EXPECT_TRUE(window->strips()->Control(ControlId(kKindFader, 0))->isHidden());
}

TEST_F(PanelWindow, WithoutAUnitEveryChoiceSticksUntilAUnitComes) {
    PowerOff();
    Open();
    struct Case {
        int id;
        int32_t rate, external;
        std::vector<int> marked;
        std::string clockText;
    } cases[] = {
        {6914, 48000, 0, {6914}, " 48000 Hz"},  {6915, 88200, 0, {6915}, " 88200 Hz"},
        {6916, 96000, 0, {6916}, " 96000 Hz"},  {6918, 192000, 0, {6918}, "192000 Hz"},
        {kCmdExternalClock, 0, 1, {}, "EXT Clock"}, {6913, 44100, 0, {6913}, " 44100 Hz"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.id);
        window->MainWndProc(window->hwnd(), kWmCommand, user::WPARAM(c.id), 0);
        EXPECT_EQ(window->panel().working.sampleRate, c.rate);
        EXPECT_EQ(window->panel().working.externalClock, c.external);
        EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), c.marked);
        EXPECT_EQ(ClockText(), c.clockText);
    }
    Choose(kCmdAsio4);
    Choose(kCmdWdm16);
    Choose(kCmdAsio8);
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32786});
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{32799});
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{"16ms", " 8ms"}));
    EXPECT_EQ(Requests(), std::vector<std::string>{});

    // The unit comes: its own clock and latencies (1 ms, which no item carries) are read back.
    PowerOn();
    clock.Advance(kDeviceCheckMs);
    Deliver();
    ASSERT_TRUE(window->panel().Attached());
    EXPECT_EQ(window->panel().working.sampleRate, 48000);
    EXPECT_EQ(window->panel().working.asioLatency, 10);
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6914});
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{});
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{});
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{" 1ms", " 1ms"}));
}

TEST_F(PanelWindow, ARefusedLatencyIsTakenBackFromTheMenu) {
    Open();
    Choose(kCmdAsio10);
    Choose(kCmdWdm10);
    Audio({{"audio_faults", {{"refuse_latency", 4000}}}});
    Journal();
    Choose(kCmdAsio4);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"write asio 4000", "read asio"}));
    Choose(kCmdWdm4);
    EXPECT_EQ(Requests(), std::vector<std::string>{"write wdm 4000"});  // the first failure ends it
    EXPECT_EQ(window->panel().working.asioLatency, 100);
    EXPECT_EQ(window->panel().working.wdmLatency, 100);
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32801});
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{32800});
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{"10ms", "10ms"}));

    // After Factory Default no latency is applied: a refused one returns to the driver's.
    Audio({{"audio_faults", {{"refuse_latency", 0}}}});
    Choose(kCmdAsio8);
    Choose(kCmdWdm8);
    Audio({{"audio_faults", {{"refuse_latency", 10000}}}});
    Choose(kCmdFactoryDefault);
    EXPECT_EQ(window->panel().working.asioLatency, 80);
    EXPECT_EQ(window->panel().working.wdmLatency, 80);
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32786});
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{32797});
    EXPECT_EQ(Audio()["asio_latency_us"], 8000);
}

TEST_F(PanelWindow, CommandsNoItemCarriesReachTheUnitOrOnlyTheSettings) {
    Open();
    Panel& panel = window->panel();
    const std::vector<std::string> none;
    const std::vector<std::string> to32k = {"write clock 0 32000", "read clock", "C4", "C0"};
    const std::vector<std::string> to48k = {"write clock 0 48000", "read clock", "C4", "C0"};
    struct Case {
        const char* what;
        int id;
        const std::vector<std::string>& requests;
        std::function<bool()> holds;
    } cases[] = {
        {"6912: 32 kHz, which no item marks", 6912, to32k,
         [&] { return panel.working.sampleRate == 32000 && MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}).empty() &&
                      ClockText() == " 32000 Hz"; }},
        {"7168: rate commands off", kCmdFlipRateCommands, none, [&] { return panel.working.rateCommandsEnabled == 0; }},
        {"a rate command while they are off keeps the rate", 6914, none,
         [&] { return panel.working.sampleRate == 32000; }},
        {"7168 again: on", kCmdFlipRateCommands, none, [&] { return panel.working.rateCommandsEnabled == 1; }},
        {"the rate command now goes", 6914, to48k, [&] { return Marked(6914); }},
        {"0x1300 flips flag 28", kCmdFlipFlag28, none, [&] { return panel.working.flag28 == 1; }},
        {"0x4100: record mode", kCmdRecordMode1, none, [&] { return panel.working.recordMode == 1; }},
        {"a link toggle then flips record 2's word 4", ControlId(kKindLink, 2), none,
         [&] { return panel.working.records[2].words[4] == 0 && panel.working.pairs[2].link == 1; }},
        {"0x4000: pairs again", kCmdRecordMode0, none, [&] { return panel.working.recordMode == 0; }},
        {"a link toggle flips the pair's link", ControlId(kKindLink, 2), none,
         [&] { return panel.working.pairs[2].link == 0 && panel.working.records[2].words[4] == 0; }},
        {"32775: wheel step 16, which no item marks", kCmdWheel16, none,
         [&] { return panel.working.wheelStep == 16 && WheelStep() == 16 && MarkedOf({32772, 32778, 32773, 32774}).empty(); }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        window->MainWndProc(window->hwnd(), kWmCommand, user::WPARAM(c.id), 0);
        EXPECT_EQ(Requests(), c.requests);
        EXPECT_TRUE(c.holds());
    }
    // What only the settings hold is kept with them.
    Choose(kCmdCloseWindow);
    const std::vector<uint8_t> block = Stored("MixerSetting");
    ASSERT_EQ(block.size(), kMixerSettingsSize);
    SettingsBytes bytes{};
    std::copy(block.begin(), block.end(), bytes.begin());
    const MixerSettings saved = FromBytes(bytes);
    EXPECT_EQ(saved.flag28, 1);
    EXPECT_EQ(saved.wheelStep, 16);
    EXPECT_EQ(saved.records[2].words[4], 0);
    EXPECT_EQ(saved.pairs[2].link, 0);
}

TEST_F(PanelWindow, LatenciesReachTheDriverAndShowInTheirMenus) {
    Open();
    Choose(kCmdAsio10);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"write asio 10000", "read asio"}));
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32801});
    Choose(kCmdWdm16);
    EXPECT_EQ(Requests(), (std::vector<std::string>{"write wdm 16000", "C4", "C0", "read wdm"}));
    EXPECT_EQ(MarkedOf({32795, 32796, 32797, 32800, 32798, 32799}), std::vector<int>{32799});
    EXPECT_EQ(Audio()["wdm_latency_us"], 16000);
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{"16ms", "10ms"}));

    // A stored latency no item carries: no mark.
    window->panel().working.asioLatency = 30;
    window->panel().SyncSettingsToUi();
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{});
    EXPECT_EQ(ValueTexts(), (std::vector<std::string>{"16ms", " 3ms"}));
}

TEST_F(PanelWindow, FactoryDefaultBringsEveryFactorySettingToTheUnit) {
    SetDeviceClock(0, 96000);
    Open();
    Choose(kCmdWheel8);
    Choose(kCmdAsio4);
    Journal();
    Choose(kCmdFactoryDefault);
    std::vector<std::string> expected = {"write asio 10000", "read asio", "write wdm 10000", "C4", "C0", "read wdm",
                                         "write clock 0 44100", "read clock", "C4", "C0",
                                         // the applied block is all 0xFF bytes: every channel again
                                         Volume(1, 0, 0), Volume(2, 0, 0), Volume(3, 0, 0)};
    std::vector<std::string> channels;
    for (int ch = 0; ch < 8; ++ch) channels.push_back(Volume(4, ch + 1, Level(249)));
    for (int ch : {8, 9}) {
        channels.push_back(Balance(1, ch - 7, ch == 8 ? 0x81 : 0x7F));
        channels.push_back(Volume(1, ch - 7, 0x8100));
    }
    for (int ch = 10; ch < 14; ++ch) channels.push_back(Volume(ch < 12 ? 2 : 3, ch % 2 + 1, 0x8100));
    expected.insert(expected.end(), channels.begin(), channels.end());
    expected.insert(expected.end(), channels.begin(), channels.end());  // then what differs from the applied block
    EXPECT_EQ(Requests(), expected);
    const MixerSettings& s = window->panel().working;
    EXPECT_EQ(s.sampleRate, 44100);
    EXPECT_EQ(s.asioLatency, 100);
    EXPECT_EQ(s.wheelStep, 1);
    EXPECT_EQ(s.pairs[4].pan[0], -127);
    EXPECT_EQ(s.pairs[4].pan[1], 127);
    EXPECT_EQ(DeviceBalance(1, 1), -127);
    EXPECT_EQ(MarkedOf({6913, 6914, 6915, 6916, 6917, 6918}), std::vector<int>{6913});
    EXPECT_EQ(MarkedOf({32772, 32778, 32773, 32774}), std::vector<int>{32772});
    EXPECT_EQ(MarkedOf({32784, 32785, 32786, 32801, 32789, 32790}), std::vector<int>{32801});
}

TEST_F(PanelWindow, TheStartPositionIsTheStoredOneWhenItLiesOnTheScreen) {
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QPoint centre((screen.width() - 555) / 2, (screen.height() - 347) / 2);
    struct Case {
        int32_t x, y;
        QPoint expected;
    };
    for (const Case& c : {Case{40, 30, {40, 30}}, Case{-20, 30, {centre.x(), 30}},
                          Case{screen.width() - 554, -1, centre}}) {
        StoreInt("WinX", c.x);
        StoreInt("WinY", c.y);
        Open();
        EXPECT_EQ(window->pos(), c.expected) << c.x << "," << c.y;
        window.reset();
    }
}

TEST_F(PanelWindow, CloseWindowTheCloseBoxAndAltF4HideAndSave) {
    Open();
    const std::vector<std::pair<const char*, std::function<void()>>> ways = {
        {"Close Window", [&] { Choose(kCmdCloseWindow); }},
        {"close box", [&] { window->close(); }},
        {"system close", [&] { window->MainWndProc(window->hwnd(), kWmSysCommand, kScClose, 0); }},
        {"Alt+F4",
         [&] {
             QApplication::setActiveWindow(window.get());
             QTest::keyClick(window.get(), Qt::Key_F4, Qt::AltModifier);
         }},
    };
    int x = 10;
    for (const auto& [what, close] : ways) {
        window->show();
        window->move(x, 20);
        close();
        EXPECT_FALSE(window->isVisible()) << what;
        EXPECT_FALSE(window->Destroyed()) << what;
        EXPECT_EQ(StoredInt("WinX"), x) << what;
        EXPECT_EQ(Stored("MixerSetting").size(), kMixerSettingsSize);
        x += 10;
    }
}

TEST_F(PanelWindow, AlwaysOnTopFlipsInPlaceAndTheSessionsEndSaves) {
    Open();
    window->show();
    window->move(60, 70);
    Choose(kCmdAlwaysOnTop);
    EXPECT_TRUE(window->AlwaysOnTop());
    EXPECT_TRUE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_TRUE(Marked(kCmdAlwaysOnTop));
    EXPECT_TRUE(window->isVisible());
    EXPECT_EQ(window->pos(), QPoint(60, 70));
    Choose(kCmdAlwaysOnTop);
    EXPECT_FALSE(window->windowFlags() & Qt::WindowStaysOnTopHint);
    EXPECT_FALSE(Marked(kCmdAlwaysOnTop));

    // The session ends: the settings are kept, the panel stays as it is.
    window->MainWndProc(window->hwnd(), kWmEndSession, 1, 0);
    EXPECT_EQ(StoredInt("WinX"), 60);
    EXPECT_EQ(StoredInt("WinY"), 70);
    EXPECT_TRUE(window->isVisible());
    EXPECT_FALSE(window->Destroyed());
}

TEST_F(PanelWindow, ExitSavesThePositionTheWindowHadAndLeavesNothingPublished) {
    Open();
    window->show();
    window->move(123, 45);
    Choose(kCmdWheel4);
    Choose(kCmdExit);
    EXPECT_TRUE(window->Destroyed());
    EXPECT_FALSE(window->isVisible());
    EXPECT_TRUE(tray.removed);
    EXPECT_FALSE(Published());
    EXPECT_EQ(StoredInt("WinX"), 123);
    EXPECT_EQ(StoredInt("WinY"), 45);
    std::vector<uint8_t> block = Stored("MixerSetting");
    ASSERT_EQ(block.size(), kMixerSettingsSize);
    EXPECT_EQ(GetLe32(&block[16]), 4u);  // the wheel step
    // The window takes no more commands.
    Choose(kCmdWheel8);
    EXPECT_EQ(window->panel().working.wheelStep, 4);
}

TEST_F(PanelWindow, AltQuestionMarkOpensTheAboutBox) {
    Open();
    window->show();
    QApplication::setActiveWindow(window.get());
    bool opened = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<AboutBox*>(w); b && b->isVisible()) opened = true, b->accept();
    });
    QTest::keyClick(window.get(), Qt::Key_Question, Qt::AltModifier);
    EXPECT_TRUE(opened);
}

// A request to end from outside while the About box is up closes the box and ends the program
// as Exit does (the settings saved with the window's position).
TEST_F(PanelWindow, ARequestToEndClosesTheAboutBoxAndEndsAsExitDoes) {
    Open();
    window->show();
    window->move(40, 50);
    QApplication::setActiveWindow(window.get());
    int quit = -1;
    window->SetQuitHandler([&quit](int code) { quit = code; });
    bool wasOpen = false;
    QTimer::singleShot(0, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<AboutBox*>(w); b && b->isVisible()) wasOpen = true;
        window->EndFromOutside();
    });
    // Should the box stay up, it is closed after a while, so that the test fails instead of
    // waiting for ever.
    bool stayedUp = false;
    QTimer fallback;
    fallback.setSingleShot(true);
    QObject::connect(&fallback, &QTimer::timeout, [&] {
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<AboutBox*>(w); b && b->isVisible()) stayedUp = true, b->reject();
    });
    fallback.start(5000);
    QTest::keyClick(window.get(), Qt::Key_Question, Qt::AltModifier);
    EXPECT_TRUE(wasOpen);
    EXPECT_FALSE(stayedUp);
    EXPECT_TRUE(window->Destroyed());
    EXPECT_EQ(quit, 0);
    EXPECT_EQ(StoredInt("WinX"), window->pos().x());
    EXPECT_EQ(StoredInt("WinY"), window->pos().y());
    EXPECT_FALSE(Published());
}

TEST_F(PanelWindow, AboutShowsTheUnitsGuidAndFirmwareDates) {
    Open();
    std::string guid, software, bootloader, caption;
    int result = -1;
    QTimer::singleShot(0, [&] {
        AboutBox* box = nullptr;
        for (QWidget* w : QApplication::topLevelWidgets())
            if (auto* b = dynamic_cast<AboutBox*>(w); b && b->isVisible()) box = b;
        if (!box) return;
        caption = box->windowTitle().toStdString();
        guid = box->Field(kAboutGuidField)->text().toStdString();
        software = box->Field(kAboutSoftwareField)->text().toStdString();
        bootloader = box->Field(kAboutBootloaderField)->text().toStdString();
        box->reject();
        result = box->result();
    });
    Choose(kCmdAbout);
    EXPECT_EQ(caption, "Lumarel 460");
    EXPECT_EQ(guid, "0x0A3C7E1000010001");
    EXPECT_EQ(software, "2004/06/23  13:05:00");
    EXPECT_EQ(bootloader.substr(0, 10), "2004/06/08");
    EXPECT_EQ(result, 2);
}

// Every readout shows each text it can show whole: the widest one of each kind is measured in the
// field's own font against the field, and its ink, as the field draws it, keeps at least a pixel
// free on each side inside the field's box. The levels are those of the faders' scale (79 to 127).
TEST_F(PanelWindow, EveryReadoutShowsItsWidestTextWhole) {
    Open();
    ASSERT_TRUE(window->panel().Attached());
    std::set<std::string> cut, seen;
    const auto face = [](TextField* f) { return f->grab().toImage().convertToFormat(QImage::Format_RGB32); };
    auto measure = [&] {
        for (QWidget* w : window->strips()->Controls()) {
            auto* f = dynamic_cast<TextField*>(w);
            if (!f) continue;
            const std::string text = f->text();
            seen.insert(text);
            const std::string where = " in a field of " + std::to_string(f->width()) + " x " + std::to_string(f->height());
            const QFontMetrics metrics(f->font());
            const int need = metrics.horizontalAdvance(QString::fromLatin1(text.c_str()));
            if (need > f->width() || metrics.height() > f->height())
                cut.insert('"' + text + "\" needs " + std::to_string(need) + " x " + std::to_string(metrics.height()) +
                           " px" + where);
            // The ink: the columns where the field differs from its face without the text.
            f->SetText("");
            const QImage empty = face(f);
            f->SetText(text);
            const QImage shown = face(f);
            int left = shown.width(), right = -1;
            for (int y = 0; y < shown.height(); ++y)
                for (int x = 0; x < shown.width(); ++x)
                    if (shown.pixel(x, y) != empty.pixel(x, y)) left = std::min(left, x), right = std::max(right, x);
            // The readouts stand in boxes with an edge a pixel wide; the labels "WDM" and "ASIO" on
            // the bare panel.
            const int edge = text == "WDM" || text == "ASIO" ? 0 : 1;
            if (right >= 0 && (left < edge + 1 || right > f->width() - 2 - edge))
                cut.insert('"' + text + "\" is inked from column " + std::to_string(left) + " to " +
                           std::to_string(right) + where);
        }
    };
    measure();  // as the panel came up, and the labels
    for (const ValueCommand& c : kRateCommands) {
        window->panel().working.sampleRate = c.value;
        window->panel().SyncSettingsToUi();
        measure();
    }
    window->MainWndProc(window->hwnd(), kWmCommand, kCmdExternalClock, 0);
    measure();
    for (const ValueCommand& c : kAsioCommands) {
        window->panel().working.asioLatency = window->panel().working.wdmLatency = c.value;
        window->panel().SyncSettingsToUi();
        measure();
    }
    for (int32_t level = layout::kFaderMinimum; level <= layout::kFaderMaximum; ++level) {
        for (ChannelPair& pair : window->panel().working.pairs) pair.level[0] = pair.level[1] = level;
        window->panel().SyncSettingsToUi();
        measure();
    }
    EXPECT_TRUE(cut.empty()) << ::testing::PrintToString(cut);
    // The widest texts were among them.
    for (const char* text : {" -48dB", "192000 Hz", "EXT Clock", "16ms", "WDM", "ASIO"})
        EXPECT_TRUE(seen.count(text)) << text << " not among " << ::testing::PrintToString(seen);
}

TEST_F(PanelWindow, APictureOfThePanel) {
    Open();
    window->show();
    Deliver();
    const char* folder = std::getenv("DORVIK_SCREENSHOTS");
    const std::filesystem::path dir = folder ? folder : root_;
    std::filesystem::create_directories(dir);
    const std::filesystem::path file = dir / "dorvik_panel.png";
    ASSERT_TRUE(window->grab().save(QString::fromStdString(file.string()), "PNG"));
    EXPECT_GT(std::filesystem::file_size(file), 0u);
}

}  // namespace
}  // namespace dorvik::testing
