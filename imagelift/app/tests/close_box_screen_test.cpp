// The close box of every kind of child window, clicked with a person's mouse on a real X server:
// the pointer moves onto the box (its place taken from the title bar's style), the button goes
// down and up, and the program goes on without the window. A close box unloads its window from
// inside the sub-window's own mouse release, which goes on once the close returns: a window
// deleted there takes the program down. The dialogs of their own (the CRC window and the
// download preferences) get the close a window manager's close box sends them. At the end the
// program still ends its normal way and leaves its store compacted.
#include <gtest/gtest.h>

#include <QApplication>
#include <QGuiApplication>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QPointer>
#include <QTimer>
#include <QWindow>

#include <filesystem>
#include <functional>
#include <memory>
#include <string>

#include "firmware/download_guard.h"
#include "firmware/memory_viewer.h"
#include "forms/tests/real_input.h"
#include "fwpbuild/package_builder.h"
#include "tests/program_on_bus.h"
#include "windows/config_rom_viewer.h"
#include "windows/help_window.h"
#include "windows/status_window.h"
#include "windows/text_viewer.h"

namespace {

using apptest::ProgramOnBus;

class CloseBoxes : public ProgramOnBus {
protected:
    void SetUp() override {
        ProgramOnBus::SetUp();
        forms::EnsureApplication();
        ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "this test needs a real X server (scripts/xvfb_test)";
        ASSERT_TRUE(input_.Ready()) << "no fake input on the display";
        packages_ = std::filesystem::path(root_) / "packages";
        std::filesystem::create_directories(packages_);
        Start();
        QWindow* frame = basApp::Frame()->WindowWidget()->windowHandle();
        ASSERT_NE(frame, nullptr);
        ASSERT_TRUE(input_.SettleUntil([&] { return frame->isExposed(); }));
    }

    // The program is still up: its frame and main window are loaded and nothing ended it.
    void ExpectAlive() {
        EXPECT_TRUE(ends_.empty());
        ASSERT_NE(basApp::Frame(), nullptr);
        EXPECT_TRUE(basApp::Frame()->IsLoaded());
        EXPECT_TRUE(Main().IsLoaded());
    }

    // Clicks the close box of an MDI child `form` and checks that the window went.
    void CloseByItsBox(forms::Form& form) {
        QMdiSubWindow* sub = form.SubWindow();
        ASSERT_NE(sub, nullptr) << form.Name << " is not in the frame";
        ASSERT_TRUE(input_.SettleUntil([&] { return sub->isVisible(); }));
        // Brought to the front first, as a person does with a window that others cover.
        form.ZOrder(0);
        input_.Settle();
        const QPoint box = formstest::CloseBoxOf(*sub);
        ASSERT_FALSE(box.isNull()) << form.Name << ": the style gives no close box";
        // Nothing else lies over the box.
        QWidget* there = QApplication::widgetAt(box);
        if (there != sub) {
            QWidget* frame = basApp::Frame()->WindowWidget();
            frame->grab().save(QString::fromStdString((PictureFolder() / ("close_box_" + form.Name + ".png")).string()));
        }
        ASSERT_EQ(there, sub) << form.Name << ": " << (there ? there->metaObject()->className() : "nothing") << " at "
                              << box.x() << "," << box.y();
        const QPointer<QMdiSubWindow> watched(sub);
        input_.Click(box);
        EXPECT_TRUE(input_.SettleUntil([&] { return !form.IsLoaded(); })) << form.Name << " stayed open";
        EXPECT_EQ(form.SubWindow(), nullptr);
        EXPECT_FALSE(basApp::Frame()->Area()->subWindowList().contains(sub));
        // Its sub-window goes once control is back in the event loop.
        EXPECT_TRUE(input_.SettleUntil([&] { return watched.isNull(); }));
        ExpectAlive();
    }

    // Runs `open`, which shows a modal dialog and returns once it has closed; the dialog gets the
    // window manager's close as soon as it is on screen. Returns whether it closed that way.
    bool CloseModalByItsBox(const std::function<void()>& open) {
        auto attempt = std::make_shared<ModalAttempt>();
        QTimer::singleShot(0, [this, attempt] { closeModal(attempt); });
        open();
        attempt->over = true;
        input_.Settle();
        ExpectAlive();
        return attempt->sent && !attempt->forced;
    }

    // A download window on the Lumarel 460 (node 1) listing the packages folder, with `package`
    // selected.
    frmSelectFirmware& DownloadWindow(const std::string& package) {
        EXPECT_TRUE(SelectNode(1));
        Main().mnuUpdateApplicationFirmware.Choose();
        frmSelectFirmware* w = nullptr;
        for (const auto& d : basApp::DownloadWindows)
            if (d && d->IsLoaded()) w = d.get();
        if (!w) throw std::runtime_error("no download window");
        w->Dir1.Path = packages_.string();
        for (int32_t i = 1; i <= w->ListView1.ListItems.Count(); ++i) {
            forms::ListItem& item = w->ListView1.ListItems.Item(i);
            if (item.Text() == package) {
                w->ListView1.SetSelectedItem(&item);
                w->ListView1_ItemClick(item);
            }
        }
        return *w;
    }

    // The program ends its normal way (by default File > Exit): one end with code 0, the store
    // compacted.
    void ExpectCleanEnd(const std::function<void()>& end = [] { basApp::Frame()->mnuExit.Choose(); }) {
        end();
        input_.Settle();
        EXPECT_EQ(ends_, std::vector<int>{0});
        EXPECT_FALSE(std::filesystem::exists(program_ / "db1.mdb-wal")) << "the store was left uncompacted";
    }

    static std::vector<uint8_t> Image(size_t size, uint8_t seed) {
        std::vector<uint8_t> bytes(size);
        for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + seed);
        return bytes;
    }

    formstest::RealInput input_;
    std::filesystem::path packages_;

private:
    struct ModalAttempt {
        bool over = false;    // the dialog's opener has returned
        bool sent = false;    // the close went to the dialog
        bool forced = false;  // the dialog had to be hidden for the test to go on
        int waits = 0;
    };

    // Runs inside the dialog's own loop: waits for the dialog, then closes it.
    void closeModal(const std::shared_ptr<ModalAttempt>& attempt) {
        if (attempt->over) return;
        QWidget* modal = QApplication::activeModalWidget();
        if (!modal || !modal->windowHandle() || !modal->windowHandle()->isExposed()) {
            if (++attempt->waits < 1000) QTimer::singleShot(0, [this, attempt] { closeModal(attempt); });
            else if (modal) modal->hide();  // it never came on screen: end its loop all the same
            return;
        }
        input_.CloseWindow(*modal);
        attempt->sent = true;
        const QPointer<QWidget> dialog(modal);
        if (!input_.SettleUntil([&] { return dialog.isNull() || !dialog->isVisible(); })) {
            // The close went unheard: the dialog's loop must still end, and the test fails.
            attempt->forced = true;
            if (dialog) dialog->hide();
        }
    }
};

bool StartsWith(const std::string& text, const std::string& start) { return text.rfind(start, 0) == 0; }

TEST_F(CloseBoxes, EveryChildWindowClosesByItsCloseBoxAndTheProgramGoesOn) {
    fwp::PackageBuilder().Image1(Image(600, 1), 0x10000000).Config(Image(64, 2)).WriteTo(packages_ / "cfg.fwp");

    // The download window, and what it opens: its preferences, a memory viewer and a text viewer.
    frmSelectFirmware& download = DownloadWindow("cfg.fwp");
    EXPECT_TRUE(CloseModalByItsBox([&] { download.cmdPreferences_Click(); })) << "preferences";
    EXPECT_TRUE(download.IsLoaded());
    download.cmdViewConfig_Click();
    ASSERT_FALSE(basApp::MemoryWindows.empty());
    std::shared_ptr<frmViewMemory> memory = basApp::MemoryWindows[0];
    ASSERT_TRUE(memory);
    frmConfig* text = Newest<frmConfig>();
    ASSERT_NE(text, nullptr);
    {
        SCOPED_TRACE("text viewer");
        CloseByItsBox(*text);
    }
    {
        SCOPED_TRACE("memory viewer");
        CloseByItsBox(*memory);
    }
    {
        SCOPED_TRACE("download window");
        CloseByItsBox(download);
    }

    // The shell window, and the CRC window its menu opens.
    Main().mnuLaunchShell.Choose();
    ASSERT_FALSE(basApp::ShellWindows.empty());
    std::shared_ptr<frmShell> shell = basApp::ShellWindows[0];
    ASSERT_TRUE(shell);
    EXPECT_TRUE(CloseModalByItsBox([&] { shell->mnuFirmwareCRCs.Choose(); })) << "CRC window";
    {
        SCOPED_TRACE("shell window");
        CloseByItsBox(*shell);
    }

    Main().mnuViewConfigROM.Choose();
    frmConfigROM* rom = Newest<frmConfigROM>();
    ASSERT_NE(rom, nullptr);
    {
        SCOPED_TRACE("config ROM viewer");
        CloseByItsBox(*rom);
    }

    basApp::Frame()->mnuUserGuide.Choose();
    frmHelp* help = Newest<frmHelp>();
    ASSERT_NE(help, nullptr);
    {
        SCOPED_TRACE("help window");
        CloseByItsBox(*help);
    }

    basApp::Frame()->mnuStatusWindow.Choose();
    frmStatus* status = nullptr;
    for (const auto& s : basApp::StatusWindows)
        if (s && s->IsLoaded()) status = s.get();
    ASSERT_NE(status, nullptr);
    {
        SCOPED_TRACE("status window");
        CloseByItsBox(*status);
    }

    // The main window's close box ends the program.
    ExpectCleanEnd([&] {
        QMdiSubWindow* sub = Main().SubWindow();
        ASSERT_NE(sub, nullptr);
        Main().ZOrder(0);
        input_.Settle();
        input_.Click(formstest::CloseBoxOf(*sub));
    });
}

TEST_F(CloseBoxes, DuringADownloadTheDownloadWindowSaysItCannotCloseAndTheProgramGoesOn) {
    fwp::PackageBuilder().Image1(Image(6000, 3), 0x10000000).WriteTo(packages_ / "app.fwp");
    frmSelectFirmware& download = DownloadWindow("app.fwp");
    QMdiSubWindow* sub = download.SubWindow();
    ASSERT_NE(sub, nullptr);
    ASSERT_TRUE(input_.SettleUntil([&] { return sub->isVisible(); }));
    download.ZOrder(0);

    // While the download lets events run, the close box is clicked.
    bool clicked = false, stayed = false;
    QTimer::singleShot(0, [&] {
        EXPECT_TRUE(download.Downloading());
        const QPoint box = formstest::CloseBoxOf(*sub);
        ASSERT_FALSE(box.isNull());
        input_.Click(box);
        clicked = true;
        EXPECT_TRUE(input_.SettleUntil([&] { return Logged("cannot close while").has_value(); }));
        stayed = download.IsLoaded() && download.SubWindow() == sub && sub->isVisible();
    });
    download.cmdLoadSelected_Click();
    ASSERT_TRUE(clicked);
    EXPECT_TRUE(stayed) << "the download window closed under its download";
    EXPECT_TRUE(StartsWith(download.lblStatus.Caption(), "Successfully loaded new Application Image"))
        << download.lblStatus.Caption();
    ExpectAlive();

    // Once the download has ended, the close box closes it.
    CloseByItsBox(download);
    ExpectCleanEnd();
}

}  // namespace
