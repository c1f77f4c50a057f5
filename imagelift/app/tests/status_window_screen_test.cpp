// A status window on a real X server: what the server shows after the grid's partial repaints
// and scrolling must be what a full render of the window shows. Offscreen, a picture is always a
// full render, so only a screen read back from the server can show a row drawn out of step.
#include <gtest/gtest.h>

#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QHeaderView>
#include <QScrollBar>
#include <QTableWidget>
#include <QScreen>
#include <QWidget>
#include <QWindow>
#include <filesystem>
#include <memory>
#include <string>

#include "forms/forms.h"
#include "forms/tests/real_input.h"
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

// The heading row "Time / Level / Module / Message" stays at the top of the grid however many
// lines have scrolled past, on screen and in a full render alike; and a click on a line (a
// person's, from the server) makes it current without moving the grid sideways: the grid has no
// horizontal scroll bar to move it back with.
TEST_F(StatusWindowOnScreen, KeepsItsHeadingRowAtTheTopAndAClickedLineMovesNothingSideways) {
    formstest::RealInput input;
    ASSERT_TRUE(input.Ready()) << "no fake input on the display";
    frmStatus w;
    w.Show();
    w.DebugMessageLevel = 1;
    waitExposed();
    forms::MSFlexGrid& g = w.mfgStatus;
    QWidget* grid = g.Widget();
    const auto rect = [&](int32_t row, int32_t col) {
        const forms::PixelRect r = g.CellRect(row, col);
        return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
    };
    // The headings of the time, level and module columns (the message column narrows as the
    // vertical scroll bar comes).
    const auto headings = [&](const QImage& picture) { return picture.copy(rect(0, 0).united(rect(0, 2))); };

    post(w, 0);  // the columns take their widths from the first line
    settle();
    const QRect headingsAt = rect(0, 0).united(rect(0, 2));
    ASSERT_FALSE(headingsAt.isEmpty());
    EXPECT_EQ(std::string(g.TextMatrix(0, 0)), "Time");
    const QImage screenBefore = headings(onScreen(grid)), renderBefore = headings(rendered(grid));
    EXPECT_EQ(screenBefore, renderBefore);

    for (int burst = 0; burst < 8; ++burst) {
        for (int i = 0; i < 7; ++i) post(w, 1);
        settle();
    }
    ASSERT_GT(g.TopRow(), 5) << "the lines did not scroll";
    EXPECT_EQ(rect(0, 0).united(rect(0, 2)), headingsAt);
    const QImage screenAfter = headings(onScreen(grid)), renderAfter = headings(rendered(grid));
    EXPECT_EQ(screenAfter, screenBefore) << "the heading row is not on screen";
    EXPECT_EQ(renderAfter, renderBefore) << "the heading row is not in the render";
    if (screenAfter != screenBefore) {
        const std::filesystem::path out = std::filesystem::path(std::getenv("LUMAREL_BIN")) / ".." / "test-output";
        screenAfter.save(QString::fromStdString((out / "status_headings_screen.png").string()));
    }

    // A click on the message of a line in the middle of the window.
    const int32_t row = g.TopRow() + 2;
    const QRect time = rect(row, 0), message = rect(row, 3);
    ASSERT_FALSE(time.isEmpty());
    ASSERT_FALSE(message.isEmpty());
    auto* table = static_cast<QTableWidget*>(grid);
    input.Click(grid->mapToGlobal(message.center()));
    ASSERT_TRUE(input.SettleUntil([&] { return g.Row() == row; })) << "the click did not reach the line";
    // A moment after a press (once no double click can follow) the view scrolls the pressed cell
    // into view, the wide message column's end included: that is done here at once.
    table->scrollTo(table->currentIndex());
    settle();
    EXPECT_EQ(rect(row, 0), time) << "the time column moved";
    EXPECT_EQ(table->horizontalScrollBar()->value(), 0);
    EXPECT_EQ(headings(onScreen(grid)), screenBefore);
    expectScreenIsTheRender(w, "status_screen_clicked");
    w.Unload();
}

}  // namespace
