// The notice window: each notice of the access library becomes its log line (or, before the main
// window exists, a message box for the lines that reach the user) and its bus flags; every
// message goes on to the text box's own procedure.
#include <gtest/gtest.h>

#include <QCoreApplication>
#include <thread>
#include <tuple>

#include "app/bas_app.h"
#include "tests/app_fixture.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/forms.h"

namespace {

class frmNoticeHost : public forms::Form {
public:
    frmNoticeHost() : forms::Form("frmNoticeHost") {}
    forms::TextBox txtDebugSpew{this, "txtDebugSpew", forms::TextBox::MultiLine};
};

class NoticeWindow : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        form_.Load();
        hwnd_ = form_.txtDebugSpew.hWnd();
        // The text box's own procedure, recorded: what the hook hands on arrives here.
        own_ = user::SetWindowProc(hwnd_, [this](user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) {
            forwarded_.push_back({msg, w});
            return user::CallWindowProc(own_, h, msg, w, l) + (msg == user::WM_USER + 7 ? 41 : 0);
        });
        clearFlags();
    }
    void TearDown() override {
        basApp::HookWindow(form_.txtDebugSpew, false);
        user::SetWindowProc(hwnd_, own_);
        form_.Unload();
        clearFlags();
        AppTest::TearDown();
    }
    static void clearFlags() {
        bas1394::State.BusResetPending = false;
        bas1394::State.TopologyReady = true;
        bas1394::State.IncomingDataPending = false;
    }

    frmNoticeHost form_;
    user::HWND hwnd_ = 0;
    user::WndProc own_;
    std::vector<std::pair<uint32_t, user::WPARAM>> forwarded_;
};

TEST_F(NoticeWindow, EachNoticeGivesItsLinesAndFlagsAndEveryMessageGoesOn) {
    basApp::HookWindow(form_.txtDebugSpew, true);
    struct Case {
        uint32_t msg;
        std::vector<std::string> boxes;  // lines of level ERROR and USER reach the user
        std::string title;
        bool reset, incoming;
    };
    const std::string vdev = "Bus Reset Message received from 1394 Virtual Device driver";
    const std::vector<Case> cases = {
        {0x52D, {}, "", false, false},  // device change: WATCH, not shown without the main window
        {0x52E, {vdev}, "basApp Message: USER level", true, false},
        {0x52F, {}, "", false, true},  // incoming data: WATCH
        {0x530,
         {"Error Message received from 1394 Virtual Device driver!",
          "  this error sometimes occurs in bus reset processing - treat it as a bus reset!"},
         "basApp Message: ERROR level",
         true,
         false},
        {0x414, {"Bus Reset Message received from KLMD driver"}, "basApp Message: USER level", true, false},
        {user::WM_USER + 7, {}, "", false, false},  // an ordinary message
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.msg);
        clearFlags();
        const size_t asked = boxes_.asked().size();
        forwarded_.clear();
        const user::LRESULT r = user::SendMessage(hwnd_, c.msg, 5, 0);
        ASSERT_EQ(boxes_.asked().size() - asked, c.boxes.size());
        for (size_t i = 0; i < c.boxes.size(); ++i) {
            EXPECT_EQ(boxes_.asked()[asked + i].prompt, c.boxes[i]);
            EXPECT_EQ(boxes_.asked()[asked + i].title, c.title);
        }
        EXPECT_EQ(bas1394::State.BusResetPending.load(), c.reset);
        EXPECT_EQ(bas1394::State.TopologyReady.load(), !c.reset);
        EXPECT_EQ(bas1394::State.IncomingDataPending.load(), c.incoming);
        // Handed on unchanged, with the text box's own result.
        EXPECT_EQ(forwarded_, (std::vector<std::pair<uint32_t, user::WPARAM>>{{c.msg, 5}}));
        if (c.msg == user::WM_USER + 7) {
            EXPECT_EQ(r, 41);
        }
    }
}

TEST_F(NoticeWindow, WithTheMainWindowEachNoticeIsLoggedUnderTheModule) {
    apptest::RecordingMainWindow main;
    ctx_.MainChildForm = &main;
    basApp::HookWindow(form_.txtDebugSpew, true);
    for (uint32_t msg : {0x52Du, 0x52Eu, 0x52Fu, 0x530u, 0x414u, uint32_t(user::WM_USER + 7)})
        user::SendMessage(hwnd_, msg, 0, 0);
    std::vector<std::tuple<int32_t, std::string, std::string>> lines;
    for (const auto& l : status_.lines) lines.emplace_back(l.level, l.module, l.message);
    const std::vector<std::tuple<int32_t, std::string, std::string>> expected = {
        {9, "basApp", "Device Change message from Windows."},
        {13, "basApp", "Bus Reset Message received from 1394 Virtual Device driver"},
        {9, "basApp",
         "Incoming Data Message received (likely from a Vaskonel bootloader target).  Broadcasting a halt command..."},
        {11, "basApp", "Error Message received from 1394 Virtual Device driver!"},
        {11, "basApp", "  this error sometimes occurs in bus reset processing - treat it as a bus reset!"},
        {13, "basApp", "Bus Reset Message received from KLMD driver"},
    };
    EXPECT_EQ(lines, expected);
    EXPECT_TRUE(boxes_.asked().empty());
    ctx_.MainChildForm = nullptr;
}

TEST_F(NoticeWindow, HooksOnceAndUnhooksTheHookedWindowWhateverControlIsNamed) {
    frmNoticeHost other;
    other.Load();
    // A notice before the hook reaches the text box alone.
    user::SendMessage(hwnd_, 0x52E, 0, 0);
    EXPECT_FALSE(bas1394::State.BusResetPending.load());

    basApp::HookWindow(form_.txtDebugSpew, true);
    basApp::HookWindow(form_.txtDebugSpew, true);  // a second hook changes nothing
    user::SendMessage(hwnd_, 0x52E, 0, 0);
    EXPECT_TRUE(bas1394::State.BusResetPending.load());
    EXPECT_EQ(forwarded_.size(), 2u) << "one hook: the message went on once";

    basApp::HookWindow(other.txtDebugSpew, false);
    clearFlags();
    forwarded_.clear();
    user::SendMessage(hwnd_, 0x52E, 0, 0);
    EXPECT_FALSE(bas1394::State.BusResetPending.load());
    EXPECT_EQ(forwarded_.size(), 1u);
    other.Unload();
}

TEST_F(NoticeWindow, NoticesPostedFromTheLibrarysThreadArriveInOrder) {
    basApp::HookWindow(form_.txtDebugSpew, true);
    std::thread library([this] {
        for (int i = 0; i < 100; ++i) user::PostMessage(hwnd_, i % 2 ? 0x414 : 0x52E, user::WPARAM(i), 0);
    });
    library.join();
    QCoreApplication::processEvents();
    ASSERT_EQ(forwarded_.size(), 100u);
    ASSERT_EQ(boxes_.asked().size(), 100u);
    for (int i = 0; i < 100; ++i) {
        EXPECT_EQ(forwarded_[size_t(i)].second, user::WPARAM(i));
        EXPECT_EQ(boxes_.asked()[size_t(i)].prompt, i % 2 ? "Bus Reset Message received from KLMD driver"
                                                          : "Bus Reset Message received from 1394 Virtual Device driver");
    }
}

}  // namespace
