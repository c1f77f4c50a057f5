// Every child window of the program fits the frame as the frame first sizes itself around the
// main window and status window 0: each visible control lies inside the frame's client area and
// inside every window and group that holds it, and a button or a one-line label shows its caption
// whole. The frame keeps no scroll bars once a window that reached past its client area has
// closed.
#include <gtest/gtest.h>

#include <QFontMetrics>
#include <QMdiArea>
#include <QMdiSubWindow>
#include <QScrollBar>

#include <sstream>

#include "firmware/crc_window.h"
#include "firmware/memory_viewer.h"
#include "firmware/preferences.h"
#include "forms/tests/text_fit.h"
#include "tests/program_on_bus.h"
#include "windows/config_rom_viewer.h"
#include "windows/help_window.h"
#include "windows/text_viewer.h"

namespace {

using apptest::ProgramOnBus;

class ChildWindows : public ProgramOnBus {
protected:
    QMdiArea& Area() { return *basApp::Frame()->Area(); }

    // The controls of `form` that are cut: by the frame's default client area (for a window
    // inside the frame; a dialog of its own must be no larger), by the window or a group holding
    // them, or a button or one-line label by its caption.
    std::vector<std::string> Cut(forms::Form& form) {
        std::vector<std::string> cut;
        QWidget* viewport = Area().viewport();
        const bool inside = form.SubWindow() != nullptr;
        QWidget* top = form.WindowWidget();
        if (!inside && (top->width() > client_.width() || top->height() > client_.height())) {
            std::ostringstream s;
            s << form.Name << " is " << top->width() << " x " << top->height() << " px";
            cut.push_back(s.str());
        }
        for (forms::Control* control : form.Controls()) {
            QWidget* w = control->Widget();
            if (!w || !w->isVisibleTo(top) || w->width() <= 0 || w->height() <= 0) continue;
            // The part of the control that its holders leave visible.
            QRect shown(QPoint(0, 0), w->size());
            for (QWidget* at = w; at != top && at->parentWidget(); at = at->parentWidget()) {
                shown.translate(at->pos());
                shown &= at->parentWidget()->rect();
            }
            if (inside) {
                const QPoint origin = top->mapTo(viewport, QPoint(0, 0));
                shown.translate(origin);
                shown &= client_;
            }
            const QRect whole = inside ? QRect(w->mapTo(viewport, QPoint(0, 0)), w->size())
                                       : QRect(w->mapTo(top, QPoint(0, 0)), w->size());
            if (shown != whole) {
                std::ostringstream s;
                s << form.Name << "." << control->Name << " at " << whole.x() << "," << whole.y() << " "
                  << whole.width() << " x " << whole.height() << " shows " << shown.width() << " x "
                  << shown.height();
                cut.push_back(s.str());
            }
            if (auto* button = dynamic_cast<forms::CommandButton*>(control)) {
                if (const auto fits = formstest::CaptionFits(*button); !fits)
                    cut.push_back(form.Name + "." + control->Name + ": " + fits.message());
            }
            // A label of one line shows its caption whole.
            if (auto* label = dynamic_cast<forms::Label*>(control); label && !label->WordWrap()) {
                const int need = QFontMetrics(w->font()).horizontalAdvance(QString::fromStdString(label->Caption()));
                if (need > w->width())
                    cut.push_back(form.Name + "." + control->Name + ": \"" + label->Caption() + "\" needs " +
                                  std::to_string(need) + " px, the label gives " + std::to_string(w->width()));
            }
        }
        return cut;
    }

    void Check(forms::Form& form, const std::string& picture) {
        forms::DoEvents();
        EXPECT_EQ(Cut(form), std::vector<std::string>{}) << form.Name;
        EXPECT_TRUE(form.SaveImage((PictureFolder() / (picture + ".png")).string()));
    }

    void SetUp() override {
        ProgramOnBus::SetUp();
        // The desktop the program gives itself without a display: 1024 x 768 pixels, twips at
        // the scale of the font in use.
        forms::EnsureApplication();
        screen_ = forms::FixedScreen{1024, 768, forms::DesktopTwipsPerPixelX(), forms::DesktopTwipsPerPixelY()};
        forms::SetScreen(&screen_);
        Start();
        client_ = QRect(QPoint(0, 0), Area().viewport()->size());
    }

    forms::FixedScreen screen_{1024, 768};
    QRect client_;  // the frame's default client area, in its viewport's pixels
};

TEST_F(ChildWindows, EachChildWindowFitsTheFramesDefaultClientArea) {
    ASSERT_GT(client_.width(), 0);
    ASSERT_TRUE(SelectNode(1));

    Main().mnuUpdateApplicationFirmware.Choose();
    ASSERT_FALSE(basApp::DownloadWindows.empty());
    std::shared_ptr<frmSelectFirmware> download = basApp::DownloadWindows[0];
    ASSERT_TRUE(download);
    Check(*download, "download_window_in_frame");
    EXPECT_FALSE(Area().horizontalScrollBar()->isVisible());
    EXPECT_FALSE(Area().verticalScrollBar()->isVisible());
    EXPECT_TRUE(basApp::Frame()->SaveImage((PictureFolder() / "frame_with_download_window.png").string()));
    {
        frmSelectFirmwarePreferences preferences;
        preferences.Load();
        preferences.Show();
        Check(preferences, "preferences_dialog");
        preferences.Unload();
    }
    const int32_t handle = download->DeviceHandle;
    download->cmdClose_Click();
    forms::DoEvents();

    {
        const int32_t slot = basApp::TakeSlot(basApp::MemoryWindows);
        auto viewer = std::make_shared<frmViewMemory>();
        basApp::MemoryWindows[size_t(slot)] = viewer;
        viewer->Load();
        viewer->WindowIndex(slot);
        viewer->ByteData(basBootloader::ByteArray(300, 0x5A));
        viewer->Show();
        Check(*viewer, "memory_viewer_in_frame");
        viewer->Unload();
    }
    {
        frmCRCs crcs;
        crcs.Load();
        crcs.hDevice(handle);
        crcs.Show();
        Check(crcs, "crc_window_dialog");
        crcs.Unload();
    }

    Main().mnuLaunchShell.Choose();
    ASSERT_FALSE(basApp::ShellWindows.empty());
    std::shared_ptr<frmShell> shell = basApp::ShellWindows[0];
    ASSERT_TRUE(shell);
    Check(*shell, "shell_window_in_frame");
    shell->Unload();

    Main().mnuViewConfigROM.Choose();
    frmConfigROM* rom = Newest<frmConfigROM>();
    ASSERT_NE(rom, nullptr);
    Check(*rom, "config_rom_viewer_in_frame");
    rom->Unload();

    std::shared_ptr<frmConfig> text = frmConfig::Open("[Config]\r\nSampleRate=48000");
    Check(*text, "text_viewer_in_frame");
    text->Unload();

    basApp::Frame()->mnuUserGuide.Choose();
    frmHelp* help = Newest<frmHelp>();
    ASSERT_NE(help, nullptr);
    Check(*help, "help_window_in_frame");
    help->Unload();
}

// A window moved past the frame's client area gives the frame scroll bars; they go with it.
TEST_F(ChildWindows, TheFramesScrollBarsGoWithTheWindowThatNeededThem) {
    std::shared_ptr<frmConfig> text = frmConfig::Open("[Config]");
    forms::DoEvents();
    ASSERT_FALSE(Area().horizontalScrollBar()->isVisible());
    text->Move(basApp::Frame()->ScaleWidth() - 1500, basApp::Frame()->ScaleHeight() - 1500, 6000, 4500);
    forms::DoEvents();
    EXPECT_TRUE(Area().horizontalScrollBar()->isVisible());
    EXPECT_TRUE(Area().verticalScrollBar()->isVisible());
    text->Unload();
    text.reset();
    forms::DoEvents();
    EXPECT_FALSE(Area().horizontalScrollBar()->isVisible());
    EXPECT_FALSE(Area().verticalScrollBar()->isVisible());
    EXPECT_EQ(Area().viewport()->size(), client_.size());
}

}  // namespace
