// The MDI frame on real windows: its caption and child arrays, the arrangement of the main window
// and the status windows, the slot rule, the value dialogs with scripted answers, and the unload
// order with the shut-down run exactly once.
#include <gtest/gtest.h>

#include <QApplication>
#include <QMdiArea>
#include <QMenu>
#include <QMenuBar>
#include <QTest>

#include <cmath>
#include <cstring>
#include <filesystem>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "firmware/select_firmware.h"
#include "shell/shell_window.h"
#include "windows/status_window.h"
#include "tests/app_fixture.h"
#include "bus1394/access_library.h"
#include "bus1394/state.h"
#include "forms/forms.h"
#include "support/db_manager.h"
#include "vbrt/error.h"

// What was still open when a window closed.
struct UnloadProbe {
    std::vector<std::string> events;
    void Record(const std::string& who) {
        int statusOpen = 0;
        for (auto& w : basApp::StatusWindows)
            if (w && w->IsLoaded()) ++statusOpen;
        bool mainOpen = false;
        if (forms::MDIForm* frame = forms::MDIForm::Current())
            for (forms::Form* f : frame->ChildForms()) mainOpen |= f->Name == "frmMain" && f->IsLoaded();
        events.push_back(who + " (main window open: " + std::to_string(mainOpen) +
                         ", status windows open: " + std::to_string(statusOpen) + ")");
    }
};
UnloadProbe& Probe() {
    static UnloadProbe p;
    return p;
}

// The real download and shell windows, each recording its unload.
class ProbedDownloadWindow : public frmSelectFirmware {
protected:
    void Form_Unload(int32_t& cancel) override {
        Probe().Record("download " + std::to_string(WindowIndex));
        frmSelectFirmware::Form_Unload(cancel);
    }
};

class ProbedShellWindow : public frmShell {
protected:
    void Form_Unload(int32_t& cancel) override {
        Probe().Record("shell " + std::to_string(WindowIndex));
        frmShell::Form_Unload(cancel);
    }
};

namespace {

int32_t g_spewLevel = 0;
int32_t fakeSetDebugSpew(int32_t, int32_t level) {
    g_spewLevel = level;
    return 0;
}

class Frame : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
        basApp::SetEndProcess([this](int) {
            ++ended_;
            Probe().Record("end of process");
        });
        Probe().events.clear();
        OpenStore();
    }
    // The settings-and-log store (the shut-down releases it).
    void OpenStore() {
        const std::filesystem::path folder = std::filesystem::path(root_) / "program";
        std::filesystem::create_directories(folder);
        if (!std::filesystem::exists(folder / clsDbManager::kDatabaseFile))
            dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
    }
    void TearDown() override {
        if (frame_) frame_->Unload();
        frame_.reset();
        bas1394::lib::BindForTesting({});
        AppTest::TearDown();
    }

    MDIForm1& LoadFrame() {
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        return *frame_;
    }
    forms::Form& Main() {
        for (forms::Form* f : frame_->ChildForms())
            if (f->Name == "frmMain") return *f;
        throw std::runtime_error("no main window");
    }
    std::string Stored(const std::string& section, const std::string& key) {
        return ctx_.DbManager->GetSetting(ctx_.App.Title, section, key, std::string("<none>"));
    }
    // Whole pixels, as the windows sit on them.
    static long Px(double twips) { return std::lround(twips / 15); }

    forms::FixedScreen screen_{1280, 1024};
    int ended_ = 0;
};

TEST_F(Frame, LoadsWithItsCaptionTheMainWindowAndStatusWindowZero) {
    ctx_.DebugMessageLevel = 9;
    MDIForm1& frame = LoadFrame();
    EXPECT_EQ(frame.Caption(), "Downloader / Shell Application v1.8.41 (Engineering Version) (NRX Custom Build)");
    EXPECT_TRUE(frame.AutosizeChildren);
    EXPECT_TRUE(frame.mnuAutoScaleChildren.Checked());
    EXPECT_EQ(basApp::ShellWindows.size(), 1u);
    EXPECT_FALSE(basApp::ShellWindows[0]);
    EXPECT_EQ(basApp::MemoryWindows.size(), 1u);
    EXPECT_EQ(basApp::DownloadWindows.size(), 1u);
    ASSERT_EQ(basApp::StatusWindows.size(), 1u);
    frmStatus& status = *basApp::StatusWindows[0];
    EXPECT_TRUE(status.Visible());
    EXPECT_EQ(status.WindowIndex, 0);
    EXPECT_EQ(status.DebugMessageLevel, 9);
    EXPECT_EQ(ctx_.StatusWindow0, &status);
    // Stacked: the main window on top with three shares of the client height, the status window
    // below it with one.
    forms::Form& main = Main();
    EXPECT_EQ(main.Top(), 0);
    EXPECT_EQ(main.Left(), 0);
    EXPECT_NEAR(main.Height(), frame.ScaleHeight() * 3 / 4, 15);
    EXPECT_NEAR(status.Top(), main.Height(), 15);
    EXPECT_NEAR(status.Height(), frame.ScaleHeight() / 4, 15);
    EXPECT_EQ(status.Width(), main.Width());
    // The central logger reaches status window 0.
    basDebug::DebugLog("hello from the logger", basDebug::ERROR_LEVEL, std::string("basTest"));
    EXPECT_EQ(status.mfgStatus.TextMatrix(status.mfgStatus.Rows - 1, 3)(), "hello from the logger");
}

TEST_F(Frame, AutoScalingStartsAsStoredAndAToggleIsNotKept) {
    struct Case {
        const char* stored;  // nullptr: nothing stored
        bool checked;
        bool warned;
    };
    const std::vector<Case> cases = {{nullptr, true, false}, {"0", false, false}, {"1", true, false},
                                     {"True", true, false},  {"maybe", true, true}};
    for (const auto& k : cases) {
        SCOPED_TRACE(k.stored ? k.stored : "(none)");
        if (k.stored) ctx_.DbManager->SaveSetting(ctx_.App.Title, "MDIForm1", "AutoScaleChildForms", k.stored);
        status_.lines.clear();
        ctx_.StatusWindow0 = &status_;  // the frame's load logs before its status window exists
        MDIForm1& frame = LoadFrame();
        EXPECT_EQ(frame.mnuAutoScaleChildren.Checked(), k.checked);
        EXPECT_EQ(bool(status_.Find("AutoScaleChildForms")), k.warned);
        frame.mnuAutoScaleChildren.Choose();
        EXPECT_EQ(frame.mnuAutoScaleChildren.Checked(), !k.checked);
        frame.Unload();
        frame_.reset();
        basApp::internal::ForgetRun();
        OpenStore();
        EXPECT_EQ(Stored("MDIForm1", "AutoScaleChildForms"), k.stored ? k.stored : "<none>");
    }
}

TEST_F(Frame, TilingGivesTheMainWindowThreeSharesAndEachVisibleStatusWindowOne) {
    MDIForm1& frame = LoadFrame();
    frame.mnuStatusWindow_Click();
    frame.mnuStatusWindow_Click();
    ASSERT_EQ(basApp::StatusWindows.size(), 3u);
    auto& windows = basApp::StatusWindows;
    forms::Form& main = Main();
    struct Case {
        std::vector<bool> visible;
    };
    const std::vector<Case> cases = {{{false, false, false}}, {{true, false, false}}, {{true, false, true}},
                                     {{true, true, true}}};
    for (const auto& k : cases) {
        int n = 0;
        for (size_t i = 0; i < 3; ++i) {
            windows[i]->Visible = bool(k.visible[i]);
            n += k.visible[i];
        }
        SCOPED_TRACE(n);
        // A hidden window is not moved.
        windows[1]->Move(300, 450, 3000, 1500);
        std::vector<double> topsBefore;
        for (auto& w : windows) topsBefore.push_back(w->Top());
        frame.ArrangeChildren(1);
        const double H = frame.ScaleHeight();
        EXPECT_EQ(main.Top(), 0);
        EXPECT_EQ(Px(main.Width()), Px(frame.ScaleWidth()));
        EXPECT_NEAR(main.Height(), H * 3 / (n + 3), 15);
        double pos = main.Height();
        for (size_t i = 0; i < 3; ++i) {
            frmStatus& w = *windows[i];
            if (!k.visible[i]) {
                EXPECT_EQ(w.Top(), topsBefore[i]) << i;
                continue;
            }
            EXPECT_NEAR(w.Top(), pos, 15) << i;
            EXPECT_NEAR(w.Height(), H / (n + 3), 15) << i;
            EXPECT_EQ(w.Left(), 0);
            EXPECT_EQ(w.Width(), main.Width());
            pos = w.Top() + w.Height();
        }
    }
}

TEST_F(Frame, EachStartPutsTheWindowsWhereTheLastRunLeftThem) {
    // The main window and the status window keep their rectangles from one run to the next;
    // nothing grows or shrinks on its own from start to start.
    std::vector<std::vector<double>> runs;
    for (int run = 0; run < 3; ++run) {
        MDIForm1& frame = LoadFrame();
        forms::Form& main = Main();
        frmStatus& status = *basApp::StatusWindows[0];
        runs.push_back({main.Width(), main.Height(), status.Top(), status.Height(), frame.ScaleHeight()});
        frame.Unload();
        frame_.reset();
        basApp::internal::ForgetRun();
        OpenStore();
    }
    EXPECT_EQ(runs[1], runs[0]);
    EXPECT_EQ(runs[2], runs[0]);
}

TEST_F(Frame, RescalingFollowsTheClientAreaFromTheLastRescale) {
    MDIForm1& frame = LoadFrame();
    // The client area's scroll bars come and go with the children's extent and change the client
    // size between two resizes; without them the arithmetic shows plainly.
    frame.Area()->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frame.Area()->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    frame.ArrangeChildren(1);
    frame.ArrangeChildren(2);
    forms::Form& main = Main();
    frmStatus& status = *basApp::StatusWindows[0];
    const double mainHeight = main.Height(), statusTop = status.Top(), statusHeight = status.Height();
    const double width = main.Width();
    // Halving the client height halves every child's top and height; the width stays.
    frame.Height = frame.Height - frame.ScaleHeight / 2;
    EXPECT_NEAR(main.Height(), mainHeight / 2, 15);
    EXPECT_NEAR(status.Top(), statusTop / 2, 15);
    EXPECT_NEAR(status.Height(), statusHeight / 2, 15);
    EXPECT_EQ(main.Width(), width);
    // Without auto-scaling nothing moves.
    frame.mnuAutoScaleChildren.Checked = false;
    const double before = main.Height();
    frame.Height = frame.Height + 3000;
    EXPECT_EQ(main.Height(), before);
}

TEST_F(Frame, ANewStatusWindowTakesTheFirstFreeSlot) {
    MDIForm1& frame = LoadFrame();
    ctx_.DebugMessageLevel = 11;
    frame.mnuStatusWindow.Choose();
    frame.mnuStatusWindow.Choose();
    auto& windows = basApp::StatusWindows;
    ASSERT_EQ(windows.size(), 3u);
    windows[1]->Unload();
    EXPECT_FALSE(windows[1]);
    frame.mnuStatusWindow_Click();
    ASSERT_EQ(windows.size(), 3u);
    ASSERT_TRUE(windows[1]);
    EXPECT_EQ(windows[1]->WindowIndex, 1);
    EXPECT_EQ(windows[1]->DebugMessageLevel, 11);
    EXPECT_TRUE(windows[1]->Visible());
    // Slot 0 is the central logger's window: closing it leaves the logger without one, a new
    // window in slot 0 is the logger's again.
    windows[0]->Unload();
    EXPECT_EQ(ctx_.StatusWindow0, nullptr);
    frame.mnuStatusWindow_Click();
    EXPECT_EQ(ctx_.StatusWindow0, windows[0].get());
}

// The value dialogs, each with a scripted answer.
TEST_F(Frame, ValueDialogsApplyAndStoreAcceptedValuesOnly) {
    MDIForm1& frame = LoadFrame();
    bas1394::lib::BindForTesting([](const char* name) -> void* {
        return std::strcmp(name, "SetDebugSpew") == 0 ? reinterpret_cast<void*>(&fakeSetDebugSpew) : nullptr;
    });
    frmStatus& status = *basApp::StatusWindows[0];
    enum Dialog { Logging, Message, Dll, Timeout };
    struct Case {
        Dialog dialog;
        std::optional<std::string> answer;  // nullopt: Cancel
        int32_t value;                      // the value afterwards (starting from 5 / 7 / 7 / 200)
        const char* box;                    // the message box's text, or ""
        const char* logged;                 // part of an ERROR line, or ""
    };
    const std::vector<Case> cases = {
        {Logging, "17", 17, "", ""},
        {Logging, "16", 16, "", ""},
        {Logging, "18", 5, "Invalid result: 18.  Debug Logging Level unchanged.", ""},
        {Logging, "0", 5, "Invalid result: 0.  Debug Logging Level unchanged.", ""},
        {Logging, "", 5, "", ""},
        {Logging, std::nullopt, 5, "", ""},
        {Logging, "abc", 5, "", "Error #13: Type mismatch in mnuDebugLoggingLevel_Click"},
        {Logging, "99999999999", 5, "", "Error #6: Overflow in mnuDebugLoggingLevel_Click"},
        {Message, "15", 15, "", ""},
        {Message, "16", 7, "Invalid result: 16.  Message Level unchanged.", ""},
        {Message, "x1", 7, "", "Error #13: Type mismatch in mnuDebugMessageLevel_Click"},
        {Dll, "15", 15, "", ""},
        {Dll, "16", 7, "Invalid result: 16.  1394 DLL Debug level unchanged.", ""},
        {Dll, "seven", 7, "", "Error #13: Type mismatch in mnuDllMessageLevel_Click"},
        {Timeout, "3000", 3000, "", ""},
        {Timeout, "0", 0, "", ""},
        {Timeout, "3001", 200, "Invalid result: 3001.  Default transaction time unchanged.", ""},
        {Timeout, "-1", 200, "Invalid result: -1.  You must enter a number!  Default transaction time unchanged.", ""},
        {Timeout, "abc", 200, "Invalid result: abc.  You must enter a number!  Default transaction time unchanged.", ""},
        {Timeout, "12abc", 200, "", "Error #13: Type mismatch in mnuDefault1394TransactionTimeout_Click"},
    };
    const char* keys[] = {"DebugLoggingLevel", "DebugMessageLevel", "DllMessageLevel", "Default1394TransactionTimeout"};
    const char* boxTitles[] = {"Invalid Level", "Invalid Level", "Invalid Level", "Invalid Time Setting"};
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << keys[k.dialog] << " " << k.answer.value_or("(cancel)"));
        ctx_.DebugLoggingLevel = 5;
        ctx_.DebugMessageLevel = 7;
        ctx_.DllMessageLevel = 7;
        ctx_.Default1394TransactionTimeout = ctx_.ConfigRomTimeout = 200;
        status.DebugMessageLevel = 7;
        g_spewLevel = 0;
        for (const char* key : keys) ctx_.DbManager->RemoveSetting(ctx_.App.Title, "Global", key);
        status_.lines.clear();
        boxes_ = forms::ScriptedPresenter();
        boxes_.AnswerInput(k.answer);
        if (*k.box) boxes_.AnswerMessage(forms::vbOK);
        const int32_t rowsBefore = status.mfgStatus.Rows;

        switch (k.dialog) {
            case Logging: frame.mnuDebugLoggingLevel_Click(); break;
            case Message: frame.mnuDebugMessageLevel_Click(); break;
            case Dll: frame.mnuDllMessageLevel_Click(); break;
            case Timeout: frame.mnuDefault1394TransactionTimeout_Click(); break;
        }

        const int32_t values[] = {ctx_.DebugLoggingLevel, ctx_.DebugMessageLevel, ctx_.DllMessageLevel,
                                  ctx_.Default1394TransactionTimeout};
        EXPECT_EQ(values[k.dialog], k.value);
        const bool accepted = k.answer && !k.answer->empty() && !*k.box && !*k.logged;
        EXPECT_EQ(Stored("Global", keys[k.dialog]), accepted ? *k.answer : "<none>");
        if (k.dialog == Message) {
            EXPECT_EQ(status.DebugMessageLevel, k.value);
        }
        if (k.dialog == Dll) {
            EXPECT_EQ(g_spewLevel, accepted ? k.value : 0);
        }
        if (k.dialog == Timeout) {
            EXPECT_EQ(ctx_.ConfigRomTimeout, k.value);
        }
        ASSERT_GE(boxes_.asked().size(), 1u);
        EXPECT_EQ(boxes_.asked()[0].kind, forms::ScriptedPresenter::Asked::Input);
        if (*k.box) {
            ASSERT_EQ(boxes_.asked().size(), 2u);
            EXPECT_EQ(boxes_.asked()[1].prompt, k.box);
            EXPECT_EQ(boxes_.asked()[1].title, boxTitles[k.dialog]);
        } else {
            EXPECT_EQ(boxes_.asked().size(), 1u);
        }
        if (*k.logged) {
            const std::string last = status.mfgStatus.TextMatrix(status.mfgStatus.Rows - 1, 3);
            EXPECT_GT(status.mfgStatus.Rows(), rowsBefore);
            EXPECT_EQ(last, k.logged);
            EXPECT_EQ(status.mfgStatus.TextMatrix(status.mfgStatus.Rows - 1, 2)(), "MDIForm1");
        }
    }
}

TEST_F(Frame, LevelDialogsShowTheLevelTableAndTheirDefaults) {
    MDIForm1& frame = LoadFrame();
    ctx_.DebugLoggingLevel = 9;
    ctx_.DbManager->SaveSetting(ctx_.App.Title, "Global", "DllMessageLevel", "3");
    ctx_.DbManager->SaveSetting(ctx_.App.Title, "Global", "Default1394TransactionTimeout", "250");
    boxes_.AnswerInput(std::nullopt);
    boxes_.AnswerInput(std::nullopt);
    boxes_.AnswerInput(std::nullopt);
    frame.mnuDebugLoggingLevel_Click();
    frame.mnuDllMessageLevel_Click();
    frame.mnuDefault1394TransactionTimeout_Click();
    ASSERT_EQ(boxes_.asked().size(), 3u);
    EXPECT_EQ(boxes_.asked()[0].prompt,
              "Please enter the new level of messages to add to the debug log (1 to 15).  A lower number means more "
              "messages.\r\n\tLEVEL_DETAIL=1\r\n\tLEVEL_MUTEX=3\r\n\tLEVEL_TRACE=5\r\n\tLEVEL_WARNING=7\r\n\tLEVEL_WATCH="
              "9\r\n\tLEVEL_ERROR=11\r\n\tLEVEL_USER=13\r\n\tLEVEL_FATAL=15\r\n\tLEVEL_NONE=LEVEL_NONE ");
    EXPECT_EQ(boxes_.asked()[0].title, "Debug Logging Level");
    EXPECT_EQ(boxes_.asked()[0].defaultText, "9");
    EXPECT_EQ(boxes_.asked()[1].title, "DLL Message Level");
    EXPECT_EQ(boxes_.asked()[1].defaultText, "3");
    EXPECT_EQ(boxes_.asked()[2].prompt,
              "Please enter the new value for the default 1394 transaction timeout (in milliseconds).  Note: a value "
              "of 0 causes the 1394 function calls to be made synchronously.");
    EXPECT_EQ(boxes_.asked()[2].title, "Transaction Timeout Time");
    EXPECT_EQ(boxes_.asked()[2].defaultText, "250");
}

TEST_F(Frame, TheMessageLevelDialogChoosesItsStatusWindow) {
    MDIForm1& frame = LoadFrame();
    auto& windows = basApp::StatusWindows;
    // Only one window open: that one, whichever child is active.
    Main().SetFocus();
    boxes_.AnswerInput("9");
    frame.mnuDebugMessageLevel_Click();
    EXPECT_EQ(windows[0]->DebugMessageLevel, 9);
    // Two open: the active one ...
    frame.mnuStatusWindow_Click();
    windows[1]->SetFocus();
    ASSERT_EQ(frame.ActiveForm(), windows[1].get());
    boxes_.AnswerInput("11");
    frame.mnuDebugMessageLevel_Click();
    EXPECT_EQ(windows[1]->DebugMessageLevel, 11);
    EXPECT_EQ(windows[0]->DebugMessageLevel, 9);
    // ... and none active: the user is asked to pick one.
    Main().SetFocus();
    boxes_.AnswerMessage(forms::vbOK);
    frame.mnuDebugMessageLevel_Click();
    EXPECT_EQ(boxes_.asked().back().prompt,
              "Select the specific status form for which you intend to set the message level for.");
    EXPECT_EQ(boxes_.asked().back().title, "Status Window not Specified");
    // None open.
    windows[0]->Unload();
    windows[1]->Unload();
    boxes_.AnswerMessage(forms::vbOK);
    frame.mnuDebugMessageLevel_Click();
    EXPECT_EQ(boxes_.asked().back().prompt,
              "You must have a status window open in order to set the debug message level that's to be displayed "
              "within it.");
    EXPECT_EQ(boxes_.asked().back().title, "No Status Window");
    EXPECT_EQ(boxes_.unscripted(), 0);
}

TEST_F(Frame, CreateDownloadWindowOnlyMakesDownloadWindows) {
    MDIForm1& frame = LoadFrame();
    EXPECT_EQ(frame.CreateDownloadWindow("frmShell"), -1);
    EXPECT_EQ(frame.CreateDownloadWindow("frmSelectFirmware"), 0);
    EXPECT_EQ(frame.CreateDownloadWindow("frmSelectFirmware"), 1);
    ASSERT_EQ(basApp::DownloadWindows.size(), 2u);
    EXPECT_EQ(basApp::DownloadWindows[1]->WindowIndex, 1);
    basApp::DownloadWindows[0]->Unload();
    EXPECT_EQ(frame.CreateDownloadWindow("frmSelectFirmware"), 0);
}

// The children close in the frame's order (main window, download windows by slot, shell windows,
// status windows), then the shut-down runs once, however the unload started.
TEST_F(Frame, UnloadClosesTheChildrenInOrderThenShutsDownOnce) {
    enum Start { ExitMenu, CloseButton, MainWindowClosed };
    for (Start start : {ExitMenu, CloseButton, MainWindowClosed}) {
        SCOPED_TRACE(start);
        MDIForm1& frame = LoadFrame();
        frame.mnuStatusWindow_Click();
        // Download windows as the frame makes them, each recording its unload.
        const auto openDownloadWindow = [] {
            const int32_t slot = basApp::TakeSlot(basApp::DownloadWindows);
            auto w = std::make_shared<ProbedDownloadWindow>();
            w->Load();
            w->WindowIndex = slot;
            w->Show();
            basApp::DownloadWindows[size_t(slot)] = w;
        };
        for (int i = 0; i < 3; ++i) openDownloadWindow();
        basApp::DownloadWindows[1]->Unload();
        openDownloadWindow();  // opened last, in slot 1
        // A closed shell window keeps its slot; an open one is closed.
        auto closed = std::make_shared<ProbedShellWindow>();
        basApp::ShellWindows[0] = closed;
        auto open = std::make_shared<ProbedShellWindow>();
        open->WindowIndex = 1;
        basApp::ShellWindows.push_back(open);
        open->Show();
        std::shared_ptr<frmStatus> status0 = basApp::StatusWindows[0];
        status0->DebugMessageLevel = basDebug::TRACE;
        Probe().events.clear();

        if (start == ExitMenu) frame.mnuExit.Choose();
        else if (start == CloseButton) frame.HandleClose();
        else {
            // Open download windows take the main window's input; given back, its close box acts.
            Main().Enabled = true;
            Main().HandleClose();
        }

        EXPECT_FALSE(frame.IsLoaded());
        EXPECT_FALSE(frame.MainWindow()->IsLoaded());
        // Closed by its user, the main window is still finishing its own unload meanwhile.
        const std::string main = start == MainWindowClosed ? "1" : "0";
        EXPECT_EQ(Probe().events, (std::vector<std::string>{
                                      "download 0 (main window open: " + main + ", status windows open: 2)",
                                      "download 1 (main window open: " + main + ", status windows open: 2)",
                                      "download 2 (main window open: " + main + ", status windows open: 2)",
                                      "shell 1 (main window open: " + main + ", status windows open: 2)",
                                      "end of process (main window open: " + main + ", status windows open: 0)",
                                  }));
        EXPECT_EQ(ended_, 1);
        for (auto& w : basApp::DownloadWindows) EXPECT_FALSE(w);
        for (auto& w : basApp::StatusWindows) EXPECT_FALSE(w);
        EXPECT_EQ(basApp::ShellWindows[0], closed);  // shell slots keep their windows
        // The frame's first line is still in the last status window 0 showed.
        bool logged = false;
        for (int32_t r = 1; r < status0->mfgStatus.Rows; ++r)
            logged |= status0->mfgStatus.TextMatrix(r, 3)() == "Unloading parent form...";
        EXPECT_TRUE(logged);
        // A second unload does nothing.
        frame.Unload();
        EXPECT_EQ(ended_, 1);

        frame_.reset();
        ended_ = 0;
        basApp::internal::ForgetRun();
        basApp::ShellWindows.clear();
        OpenStore();
    }
}

// An unattended run (or an open download window) disables the main window. Ctrl+Tab still makes
// it the frame's active child, and the frame then shows its menus; they take no command, whether
// chosen, triggered from the menu bar or reached by their access keys, until it is enabled again.
TEST_F(Frame, ADisabledMainWindowTakesNoCommandsFromTheMenusTheFrameShows) {
    MDIForm1& frame = LoadFrame();
    frmMain& main = *frame.MainWindow();
    QMenuBar* bar = frame.MenuBar();
    // Every command of the main window is counted before it runs.
    int commands = 0;
    std::vector<forms::Menu*> items;
    for (forms::Control* c : main.Controls()) {
        auto* menu = dynamic_cast<forms::Menu*>(c);
        if (!menu) continue;
        items.push_back(menu);
        menu->Click = [&commands, run = menu->Click] {
            ++commands;
            if (run) run();
        };
    }
    const auto barTitles = [bar] {
        std::vector<std::string> titles;
        for (QAction* a : bar->actions()) titles.push_back(a->text().toStdString());
        return titles;
    };
    const auto pressAccessKeys = [&](Qt::Key menuKey, Qt::Key itemKey) {
        QTest::keyClick(frame.WindowWidget(), menuKey, Qt::AltModifier);
        QApplication::processEvents();
        if (QWidget* popup = QApplication::activePopupWidget()) {
            QTest::keyClick(popup, itemKey);
            QApplication::processEvents();
        }
        if (QWidget* popup = QApplication::activePopupWidget()) popup->close();
    };

    // The status window active: the frame shows its own menus.
    basApp::StatusWindows[0]->SetFocus();
    ASSERT_EQ(frame.ActiveForm(), basApp::StatusWindows[0].get());
    ASSERT_EQ(barTitles().front(), "&File");
    ASSERT_EQ(barTitles().size(), 4u);
    main.Enabled = false;
    QTest::keyClick(basApp::StatusWindows[0]->WindowWidget(), Qt::Key_Tab, Qt::ControlModifier);
    QApplication::processEvents();
    ASSERT_EQ(frame.ActiveForm(), &main);
    EXPECT_EQ(barTitles().at(2), "&Command");  // the main window's menus, greyed
    EXPECT_FALSE(bar->isEnabled());

    // Exit comes last: would it run, the windows would be gone.
    for (forms::Menu* item : items)
        if (item != &main.mnuExit) item->Choose();
    for (QAction* title : bar->actions())
        if (QMenu* menu = title->menu(); menu && title != main.mnuFile.Action())
            for (QAction* a : menu->actions()) a->trigger();
    pressAccessKeys(Qt::Key_C, Qt::Key_C);  // Command > Rescan Bus
    EXPECT_EQ(commands, 0);
    EXPECT_FALSE(bas1394::State.BusResetPending);
    main.mnuExit.Choose();
    main.mnuExit.Action()->trigger();
    pressAccessKeys(Qt::Key_F, Qt::Key_X);  // File > Exit
    ASSERT_TRUE(frame.IsLoaded());
    EXPECT_EQ(ended_, 0);
    EXPECT_EQ(commands, 0);

    // Enabled again, its menus work: by their access keys as well.
    main.Enabled = true;
    EXPECT_TRUE(bar->isEnabled());
    pressAccessKeys(Qt::Key_C, Qt::Key_C);
    EXPECT_EQ(commands, 1);
    EXPECT_TRUE(bas1394::State.BusResetPending);
    main.mnuTile.Choose();
    EXPECT_EQ(commands, 2);
}

}  // namespace
