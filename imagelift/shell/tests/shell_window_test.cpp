// The shell window on real (offscreen) windows inside the frame, against simulated Lumarel 460s
// in every protocol version: typed keys reach the console, its output shows, the history comes
// back in a window opened later (also after the ring wrapped), paste, the menus' device commands,
// the device list, the polling period, and no exchange while a download block is in flight.
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTimer>
#include <algorithm>
#include <memory>

#include "tests/shell_fixture.h"

#include "bootloader/commands.h"
#include "bootloader/records.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"

namespace shelltest {
namespace {

constexpr ProtocolVariant kEveryProtocol[] = {ProtocolVariant::V1, ProtocolVariant::V2, ProtocolVariant::V2BigEndian,
                                               ProtocolVariant::V3};

TEST_F(ShellTest, KeysReachTheConsoleAndItsOutputShowsInEveryProtocolVersion) {
    uint8_t tail = 0;
    for (auto protocol : kEveryProtocol) {
        SCOPED_TRACE(sim::lumarel::ToString(protocol));
        const std::string id = "d" + std::to_string(++tail);
        const int32_t h = AddDevice(id, protocol, tail);
        ASSERT_GE(h, 63);
        Dev(id, [](sim::lumarel::Lumarel460& d) {
            d.console().SetLineHandler([](const std::string& line) { return "you said " + line + "\r\n> "; });
        });
        frmShell& w = Launch(h);
        EXPECT_EQ(w.Caption(), "Vaskonel 1394 Shell Window");
        EXPECT_EQ(w.tmrPollForShellData.Interval(), 200);
        // Loaded before it was shown, it still sized its client area to the terminal frame.
        EXPECT_EQ(w.ScaleWidth(), w.fraRawInterface.Left() + w.fraRawInterface.Width());
        EXPECT_EQ(w.ScaleHeight(), w.fraRawInterface.Top() + w.fraRawInterface.Height());
        EXPECT_EQ(w.txtShell.Width(), 9480);
        RunFor(250);
        EXPECT_TRUE(w.Connected());
        EXPECT_TRUE(w.mnuHalt.Enabled());
        EXPECT_EQ(w.txtShell.Text(), "");

        QWidget* box = w.txtShell.Widget();
        Type(box, "ver\r");
        Key(box, Qt::Key_Up);
        Key(box, Qt::Key_Left);
        Key(box, Qt::Key_Backspace, Qt::NoModifier, "\b");
        Key(box, Qt::Key_Tab, Qt::NoModifier, "\t");
        Key(box, Qt::Key_C, Qt::ControlModifier, "\x03");
        Key(box, Qt::Key_Delete);  // no character: nothing is sent
        EXPECT_EQ(Received(id), "ver\r\x1b[A\x1b[D\b\t\x03");
        EXPECT_EQ(w.txtShell.Text(), "") << "no local echo";

        Emit(id, "lone\nfeed");
        RunFor(250);
        // The echo: the line and its answer, the escape sequences, the backspace taking back
        // the last one shown, then the tab and Ctrl+C as they came, then the emitted text.
        EXPECT_EQ(w.txtShell.Text(), "ver\r\nyou said ver\r\n> \x1b[A\x1b[\t\x03lone\r\nfeed");
        w.Unload();
    }
}

TEST_F(ShellTest, AWindowOpenedAgainReplaysTheHistoryAlsoAfterTheRingWrapped) {
    uint8_t tail = 0;
    for (auto protocol : kEveryProtocol) {
        SCOPED_TRACE(sim::lumarel::ToString(protocol));
        const std::string id = "d" + std::to_string(++tail);
        const int32_t h = AddDevice(id, protocol, tail);
        frmShell& w = Launch(h);
        RunFor(250);
        // More than the history ring holds, in pieces the device's own buffers keep whole
        // between two polls.
        std::string sent;
        for (int i = 0; sent.size() < size_t(basBootloader::kShellBufferSize) + 3000; ++i) {
            std::string chunk;
            for (int j = 0; j < 900; ++j) chunk += char('a' + (i * 7 + j) % 26);
            chunk += std::string("\0", 1);  // kept in the history as a blank
            Emit(id, chunk);
            sent += chunk;
            RunFor(200);
        }
        RunFor(400);
        ASSERT_EQ(w.txtShell.Text().size(), sent.size());
        EXPECT_EQ(Count("Failed receiving data"), 0);

        w.mnuClose.Choose();
        EXPECT_FALSE(w.IsLoaded());
        EXPECT_TRUE(Find("destroying frmShell, index #" + vb::CStr(w.WindowIndex)));
        EXPECT_EQ(basApp::ShellWindows[size_t(w.WindowIndex)].get(), &w) << "the closed window keeps its slot";

        // The shell command finds the closed window by its handle and shows it again.
        EXPECT_EQ(&Launch(h), &w);
        EXPECT_EQ(w.txtShell.Text(), "") << "the first tick replays";
        RunFor(250);
        std::string expected = sent.substr(sent.size() - size_t(basBootloader::kShellBufferSize));
        for (char& c : expected)
            if (c == 0) c = ' ';
        EXPECT_EQ(w.txtShell.Text(), expected);
    }
}

TEST_F(ShellTest, PasteSendsTheClipboardInOneWrite) {
    std::string text;
    for (int i = 0; i < 300; ++i) text += char('A' + i % 26);
    text += "\r";
    uint8_t tail = 0;
    for (auto protocol : kEveryProtocol) {
        SCOPED_TRACE(sim::lumarel::ToString(protocol));
        const std::string id = "d" + std::to_string(++tail);
        const int32_t h = AddDevice(id, protocol, tail);
        frmShell& w = Launch(h);
        RunFor(250);
        QWidget* box = w.txtShell.Widget();
        forms::Clipboard::Clear();
        Key(box, Qt::Key_V, Qt::ControlModifier, "\x16");
        EXPECT_EQ(Received(id), "") << "an empty clipboard sends nothing";
        const int writes = Count("WriteShellCharacters is taking the TargetList mutex");
        forms::Clipboard::SetText(text);
        Key(box, Qt::Key_V, Qt::ControlModifier, "\x16");
        EXPECT_EQ(Received(id), text);
        EXPECT_EQ(Count("WriteShellCharacters is taking the TargetList mutex") - writes, 1) << "one write";
        RunFor(250);
        EXPECT_EQ(w.txtShell.Text(), text + "\nunknown command \"" + text.substr(0, 32) + "\" (type help)\r\n> ")
            << "the echo, then the console's answer";
        w.Unload();
    }
}

// The terminal's own menu (the window has no Select All of its own): Select All, then Copy, puts
// on the clipboard what the console sent, escapes and all, though the box shows those as nothing.
TEST_F(ShellTest, SelectAllAndCopyGiveTheConsolesOutputAsItCame) {
    const int32_t h = AddDevice("d", ProtocolVariant::V3);
    frmShell& w = Launch(h);
    RunFor(250);
    Emit("d", "> \x1b[1mbold\x1b[0m\x07\r\n> ");
    RunFor(250);
    ASSERT_EQ(w.txtShell.Text(), "> \x1b[1mbold\x1b[0m\x07\r\n> ");
    forms::Clipboard::Clear();
    for (const char* item : {"Select All", "Copy"}) {  // the menu opened once for each
        std::unique_ptr<QMenu> menu(qobject_cast<QPlainTextEdit*>(w.txtShell.Widget())->createStandardContextMenu());
        for (QAction* action : menu->actions())
            if (action->text().remove('&').section('\t', 0, 0) == QLatin1String(item)) action->trigger();
    }
    EXPECT_EQ(forms::Clipboard::GetText(), "> \x1b[1mbold\x1b[0m\x07\n> ");
    w.Unload();
}

TEST_F(ShellTest, TheCommandMenusReachTheDevice) {
    const int32_t h = AddDevice("d", ProtocolVariant::V1);
    frmShell& w = Launch(h);
    RunFor(250);
    // What the device model says, read under the bus lock.
    auto device = [&](auto read) {
        decltype(read(std::declval<sim::lumarel::Lumarel460&>())) value{};
        Dev("d", [&](sim::lumarel::Lumarel460& d) { value = read(d); });
        return value;
    };

    w.mnuSwitchTo1394shell.Choose();
    EXPECT_TRUE(device([](sim::lumarel::Lumarel460& d) { return d.ShellRouted(); }));

    w.mnuGetDebugGUID.Choose();
    const auto guid = device([](sim::lumarel::Lumarel460& d) { return d.debugGuid(); });
    auto line = Find("Bootloader debug GUID = ");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->message, "Bootloader debug GUID = " + basUtils::ByteArrayToHexString(ByteArray(guid.begin(), guid.end())));
    EXPECT_EQ(line->level, basDebug::USER);

    boxes_.AnswerMessage(forms::vbNo);
    w.mnuInitializePersistentParameters.Choose();
    EXPECT_EQ(device([](sim::lumarel::Lumarel460& d) { return d.persistent().initializations; }), 0u);
    boxes_.AnswerMessage(forms::vbYes);
    w.mnuInitializePersistentParameters.Choose();
    EXPECT_EQ(device([](sim::lumarel::Lumarel460& d) { return d.persistent().initializations; }), 1u);
    ASSERT_EQ(boxes_.asked().size(), 2u);
    EXPECT_EQ(boxes_.asked()[0].prompt,
              "Are you sure you want to overwrite the Config ROM GUID, the MAC, and a bunch of other stuff?");
    EXPECT_EQ(boxes_.asked()[0].title, "Initialize Persistent Parameters");
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbYesNo);

    // The target answers the start; its flag tells that it has no valid image to start.
    w.mnuStartApplication.Choose();
    line = Find("Program started successfully, CRCflag = ");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->message, "Program started successfully, CRCflag = -2");
    EXPECT_EQ(line->level, basDebug::USER);

    // The download layer's CRC window, modal: read from this window's target before it shows,
    // with this window's device details (closed here from a timer, as a user would).
    std::vector<std::string> crcTexts;
    QTimer::singleShot(0, [&] {
        for (QWidget* top : QApplication::topLevelWidgets()) {
            if (!top->isVisible() || top->windowTitle() != "Firmware Image CRCs on Device") continue;
            for (QLabel* label : top->findChildren<QLabel*>()) crcTexts.push_back(label->text().toStdString());
            for (QLineEdit* edit : top->findChildren<QLineEdit*>()) crcTexts.push_back(edit->text().toStdString());
            for (QTextEdit* edit : top->findChildren<QTextEdit*>())
                crcTexts.push_back(edit->toPlainText().toStdString());
            top->close();
        }
    });
    w.mnuFirmwareCRCs.Choose();
    const auto shown = [&](const std::string& part) {
        return std::any_of(crcTexts.begin(), crcTexts.end(),
                           [&](const std::string& t) { return t.find(part) != std::string::npos; });
    };
    EXPECT_TRUE(shown("Bootloader: ")) << "the CRCs were read from the window's target";
    EXPECT_FALSE(shown("<failed to read>"));
    EXPECT_TRUE(shown(w.cmbDeviceDetails.Text()));

    w.mnuHalt.Choose();
    EXPECT_TRUE(device([](sim::lumarel::Lumarel460& d) { return d.Halted(); }));

    // A reset takes the target off the bus: the next list shows it missing.
    w.mnuReset.Choose();
    EXPECT_FALSE(Find("cmdReset failed"));
    RunFor(20);
    EXPECT_FALSE(device([](sim::lumarel::Lumarel460& d) { return d.Online(); }));

    EXPECT_FALSE(boxes_.unscripted());
}

TEST_F(ShellTest, WrapNoticesFollowTheViewMenu) {
    const int32_t h = AddDevice("d", ProtocolVariant::V2);
    frmShell& w = Launch(h);
    RunFor(250);
    w.mnuBufferWrapNotices.Choose();
    EXPECT_TRUE(w.mnuBufferWrapNotices.Checked());
    Emit("d", std::string(1000, 'a'));
    RunFor(200);
    Emit("d", std::string(100, 'b'));
    RunFor(200);
    EXPECT_NE(w.txtShell.Text().find(" *** BUFFER WRAP *** "), std::string::npos);
    w.mnuAlwaysOnTop.Choose();
    EXPECT_TRUE(w.AlwaysOnTop());
    w.AlwaysOnTop(false);
    EXPECT_FALSE(w.mnuAlwaysOnTop.Checked());
}

TEST_F(ShellTest, TheDeviceListAndHandlesWithoutATarget) {
    const int32_t a = AddDevice("a", ProtocolVariant::V1, 1);
    const int32_t b = AddDevice("b", ProtocolVariant::V3, 2);
    Dev("b", [](sim::lumarel::Lumarel460& d) { d.SetMode(sim::lumarel::Mode::Application); });

    frmShell& w = Launch(0);
    RunFor(250);
    EXPECT_EQ(w.txtShell.Text(), "  <NO ACTIVE DEVICE HANDLE>");
    EXPECT_EQ(w.cmbDeviceDetails.Text(), "INVALID DEVICE HANDLE: 0x0");
    EXPECT_FALSE(w.mnuReset.Enabled());
    EXPECT_FALSE(w.Connected());
    const auto& targets = basBootloader::State.TargetList;
    ASSERT_EQ(w.cmbDeviceDetails.ListCount(), int32_t(targets.size()));
    const auto& ta = targets[size_t(basBootloader::GetTargetIndex(a))];
    EXPECT_EQ(w.cmbDeviceDetails.List(basBootloader::GetTargetIndex(a)),
              "Node=" + vb::CStr(int32_t(ta.Device.NodeNumber)) + "  Handle=" + vb::CStr(a) +
                  "  GUID=0A 3C 7E 10 00 01 00 01  State=bootloader running");

    // Picking a line binds its handle.
    w.cmbDeviceDetails.ListIndex = basBootloader::GetTargetIndex(b);
    EXPECT_EQ(w.CurrentHandle(), b);
    EXPECT_TRUE(w.mnuReset.Enabled());

    // A handle that names no target.
    w.CurrentHandle(999);
    EXPECT_EQ(w.cmbDeviceDetails.Text(), "INVALID DEVICE INDEX: -1");
    RunFor(250);
    EXPECT_EQ(w.txtShell.Text(), "  <INVALID NODE NUMBER FOR HANDLE 999>");

    // A target whose node has left the bus.
    w.CurrentHandle(a);
    RunFor(250);
    EXPECT_TRUE(w.Connected());
    bus_.RemoveNode("a");
    Rescan();
    RunFor(250);
    EXPECT_EQ(w.txtShell.Text(), "  <INVALID NODE NUMBER FOR HANDLE " + vb::CStr(a) + ">");
    w.RefreshDeviceList();
    EXPECT_EQ(w.cmbDeviceDetails.Text(),
              "Node has disappeared from the bus!  No current nodes match handle 0x" + vb::Hex(a));
    EXPECT_FALSE(w.mnuReset.Enabled());

    // The state words of the list.
    auto& target = basBootloader::State.TargetList[size_t(basBootloader::GetTargetIndex(b))];
    const std::pair<int32_t, const char*> words[] = {{1, "missing"}, {2, "app running"}, {3, "error"}, {0, "error"}};
    target.Info.BootloaderVersion = 0;
    for (const auto& [state, word] : words) {
        target.State = state;
        w.RefreshDeviceList();
        const std::string shown = w.cmbDeviceDetails.List(basBootloader::GetTargetIndex(b));
        EXPECT_EQ(shown.substr(shown.find("State=")), std::string("State=") + word);
    }
}

TEST_F(ShellTest, ASecondWindowOnAHandleClosesTheFirst) {
    const int32_t a = AddDevice("a", ProtocolVariant::V1, 1);
    const int32_t b = AddDevice("b", ProtocolVariant::V1, 2);
    frmShell& first = Launch(a);
    frmShell& second = Launch(b);
    EXPECT_EQ(second.WindowIndex, 1);
    second.CurrentHandle(a);
    EXPECT_FALSE(first.IsLoaded());
    EXPECT_TRUE(second.IsLoaded());
    second.CurrentHandle(a);  // the same handle again closes nothing
    EXPECT_TRUE(second.IsLoaded());

    // The frame's close closes the open shell windows; their slots keep them.
    frame_->Unload();
    EXPECT_FALSE(second.IsLoaded());
    EXPECT_EQ(Count("destroying frmShell, index #1"), 1);
    EXPECT_EQ(basApp::ShellWindows[1].get(), &second);
}

TEST_F(ShellTest, ThePollingPeriod) {
    const int32_t h = AddDevice("d", ProtocolVariant::V1);
    frmShell& w = Launch(h);
    EXPECT_FALSE(w.cmdCheckForData.Visible());
    EXPECT_EQ(w.txtShell.TabIndex(), 1);  // the load gives the terminal the second place in the tab order
    auto stored = [&] {
        return ctx_.DbManager->GetSetting(ctx_.App.Title, "frmShell", "ShellPollingInterval", std::string("<none>"));
    };

    struct Answer {
        std::optional<std::string> text;
        int32_t interval;
    };
    const Answer answers[] = {{"150.5", 150}, {"abc", 150}, {"70000", 150}, {"0", 150}, {std::nullopt, 150}, {"-5", 150},
                              {"65535", 65535}, {"20", 20}};
    for (const Answer& a : answers) {
        boxes_.AnswerInput(a.text);
        w.mnuPollingRate.Choose();
        EXPECT_EQ(w.tmrPollForShellData.Interval(), a.interval) << a.text.value_or("<cancel>");
    }
    EXPECT_EQ(stored(), "20");
    ASSERT_EQ(boxes_.asked().size(), std::size(answers));
    EXPECT_EQ(boxes_.asked()[0].prompt, "Enter the new polling period (in ms):");
    EXPECT_EQ(boxes_.asked()[0].title, "Polling Rate Input");
    EXPECT_EQ(boxes_.asked()[0].defaultText, "200");
    EXPECT_EQ(boxes_.asked()[1].defaultText, "150");

    // Every 20 ms now: output arrives within one period.
    RunFor(30);
    Emit("d", "quick");
    RunFor(20);
    EXPECT_EQ(w.txtShell.Text(), "quick");

    // The stored period comes back with the next window; a stored non-number gives 200.
    w.Unload();
    Launch(h);
    EXPECT_EQ(w.tmrPollForShellData.Interval(), 20);
    w.Unload();
    ctx_.DbManager->SaveSetting(ctx_.App.Title, "frmShell", "ShellPollingInterval", "fast");
    Launch(h);
    EXPECT_EQ(w.tmrPollForShellData.Interval(), 200);

    // Stopped polling shows the button that starts it again.
    RunFor(250);
    w.tmrPollForShellData.Enabled = false;
    w.cmdCheckForData.Visible = true;
    w.cmdCheckForData.Press();
    EXPECT_TRUE(w.tmrPollForShellData.Enabled());
    EXPECT_FALSE(w.cmdCheckForData.Visible());
}

TEST_F(ShellTest, NoExchangeWithATargetWhileOneOfItsDownloadBlocksIsInFlight) {
    const int32_t h = AddDevice("d", ProtocolVariant::V1);
    frmShell& w = Launch(h);
    boxes_.AnswerInput("5");
    w.mnuPollingRate.Choose();
    RunFor(20);

    int32_t maxBlock = 0;
    const ByteArray date(8, '0'), time(8, '0');
    ASSERT_EQ(basBootloader::DownloadStart(h, basBootloader::kImageApplication, date, time, 1, 1, 0x20000000, 1024, 0,
                                           maxBlock, 1000),
              1);
    Emit("d", "waiting for the block");
    // The block's answer comes late: the download lets window messages run while it waits, and
    // the shell's poll ticks in between.
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.faults().lateAnswerMs = 30; });
    const uint64_t before = Requests("d");
    ByteArray block(1024, 0x5A);
    EXPECT_EQ(basBootloader::DownloadBlock(h, 0, 0x20000000, 1024, block), 1);
    EXPECT_EQ(Requests("d") - before, 1u) << "only the block reached the target";
    EXPECT_GE(Count("download block in flight for device handle " + vb::CStr(h) + ", poll skipped"), 1);
    EXPECT_EQ(w.txtShell.Text(), "");

    Dev("d", [](sim::lumarel::Lumarel460& d) { d.faults().lateAnswerMs = 0; });
    RunFor(20);
    EXPECT_EQ(w.txtShell.Text(), "waiting for the block") << "polling goes on after the block";
}

TEST_F(ShellTest, TheUnitsOwnConsoleAnswersItsCommandsInEveryProtocolVersion) {
    uint8_t tail = 0;
    for (auto protocol : kEveryProtocol) {
        SCOPED_TRACE(sim::lumarel::ToString(protocol));
        const std::string id = "c" + std::to_string(++tail);
        frmShell& w = Launch(AddDevice(id, protocol, tail));
        RunFor(250);
        QWidget* box = w.txtShell.Widget();
        Type(box, "help\r");
        RunFor(250);
        Type(box, "ver\r");
        RunFor(250);
        Type(box, "flash\r");
        RunFor(250);
        const std::string shown = w.txtShell.Text();
        for (const std::string& part :
             {std::string("help\r\nCommands:\r\n  help     this list\r\n"), std::string("\r\n> ver\r\nLumarel 460 bootloader\r\n"),
              std::string("application: empty\r\n"), "shell protocol " + std::string(sim::lumarel::ToString(protocol)) + "\r\n> ",
              std::string("> flash\r\nunknown command \"flash\" (type help)\r\n> ")})
            EXPECT_NE(shown.find(part), std::string::npos) << part << "\nin: " << shown;
        w.Unload();
    }
}

TEST_F(ShellTest, PictureOfTheWindowWithDeviceOutput) {
    const int32_t h = AddDevice("d", ProtocolVariant::V1);
    frmShell& w = Launch(h);
    RunFor(250);
    // What a person sees after asking the unit for its commands and versions.
    Type(w.txtShell.Widget(), "help\r");
    RunFor(250);
    Type(w.txtShell.Widget(), "ver\r");
    RunFor(250);
    ASSERT_NE(w.txtShell.Text().find("shell protocol 1"), std::string::npos) << w.txtShell.Text();
    // An arrow key the unit echoes: the escape shows as nothing before "[A".
    Key(w.txtShell.Widget(), Qt::Key_Up);
    RunFor(250);
    ASSERT_NE(w.txtShell.Text().find("\x1b[A"), std::string::npos) << w.txtShell.Text();
    const char* bin = std::getenv("LUMAREL_BIN");
    const std::filesystem::path out =
        bin ? std::filesystem::path(bin) / ".." / "test-output" : std::filesystem::path(root_) / "test-output";
    std::filesystem::create_directories(out);
    EXPECT_TRUE(w.SaveImage((out / "shell_window.png").string()));
}

}  // namespace
}  // namespace shelltest
