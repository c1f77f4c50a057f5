// A status window on a real X server: what the server shows after the grid's partial repaints
// and scrolling must be what a full render of the window shows. Offscreen, a picture is always a
// full render, so only a screen read back from the server can show a row drawn out of step.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <filesystem>
#include <memory>
#include <string>

#include "forms/forms.h"
#include "tests/frame_fixture.h"
#include "windows/status_window.h"

namespace {

class StatusWindowOnScreen : public apptest::FrameTest {
protected:
    void SetUp() override {
        FrameTest::SetUp();
        ASSERT_EQ(QGuiApplication::platformName(), "xcb") << "this test needs a real X server";
    }

    // Lets every pending paint reach the server and the server's answers come back: a round
    // trip to the server (it handles one client's requests in order), then events again.
    static void settle() {
        for (int i = 0; i < 3; ++i) {
            forms::DoEvents();
            QGuiApplication::sync();
        }
    }
    void waitExposed() {
        QWindow* window = frame_->WindowWidget()->windowHandle();
        ASSERT_NE(window, nullptr);
        for (int i = 0; i < 200 && !window->isExposed(); ++i) settle();
        ASSERT_TRUE(window->isExposed());
        settle();
    }

    // The window as the server shows it, and as a full render paints it.
    static QImage onScreen(QWidget* w) {
        QWidget* top = w->window();
        const QPoint at = w->mapTo(top, QPoint(0, 0));
        return top->windowHandle()
            ->screen()
            ->grabWindow(top->winId(), at.x(), at.y(), w->width(), w->height())
            .toImage()
            .convertToFormat(QImage::Format_RGB32);
    }
    static QImage rendered(QWidget* w) { return w->grab().toImage().convertToFormat(QImage::Format_RGB32); }

    void post(frmStatus& w, int n) {
        int32_t priority = 7;
        ++posted_;
        w.PostMessage("message " + std::to_string(posted_) + (n % 3 ? "" : " with a longer text"), float(posted_ * 37),
                      priority, "module" + std::to_string(posted_ % 4));
    }

    // Compares the screen with the full render; on a difference both are saved for a look.
    void expectScreenIsTheRender(frmStatus& w, const std::string& name) {
        settle();
        QWidget* widget = w.WindowWidget();
        const QImage screen = onScreen(widget);
        const QImage render = rendered(widget);
        const char* bin = std::getenv("LUMAREL_BIN");
        const std::filesystem::path out =
            bin ? std::filesystem::path(bin) / ".." / "test-output" : std::filesystem::path(root_) / "test-output";
        std::filesystem::create_directories(out);
        screen.save(QString::fromStdString((out / (name + "_screen.png")).string()));
        render.save(QString::fromStdString((out / (name + "_render.png")).string()));
        ASSERT_EQ(screen.size(), render.size());
        int differing = 0;
        for (int y = 0; y < screen.height(); ++y)
            for (int x = 0; x < screen.width(); ++x) differing += screen.pixel(x, y) != render.pixel(x, y);
        EXPECT_EQ(differing, 0) << name << ": the screen differs from the full render (pictures in " << out << ")";
    }

    int posted_ = 0;
};

TEST_F(StatusWindowOnScreen, ShowsWhatAFullRenderShowsAsItFillsInBurstsAndSingleLines) {
    frmStatus w;
    w.Show();
    w.DebugMessageLevel = 1;
    waitExposed();
    // Bursts (a bus scan logs several lines per node) past the window's height...
    for (int burst = 0; burst < 6; ++burst) {
        for (int i = 0; i < 7; ++i) post(w, i);
        settle();
    }
    expectScreenIsTheRender(w, "status_screen_bursts");
    // ...then single lines, each painted before the next comes...
    for (int i = 0; i < 25; ++i) {
        post(w, i);
        settle();
    }
    expectScreenIsTheRender(w, "status_screen_lines");
    // ...and both again once the oldest rows go (the window keeps 500 rows).
    while (w.mfgStatus.Rows() < w.MaxStatusRows) post(w, 0);
    settle();
    for (int i = 0; i < 12; ++i) {
        post(w, i);
        settle();
    }
    for (int i = 0; i < 9; ++i) post(w, i);
    settle();
    EXPECT_EQ(w.mfgStatus.Rows(), w.MaxStatusRows);
    expectScreenIsTheRender(w, "status_screen_full");
    w.Unload();
}

}  // namespace
