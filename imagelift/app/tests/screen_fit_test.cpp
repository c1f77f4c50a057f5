// Screen fitting: the frame is kept on the screen, a child inside the frame's client area, each
// 25 twips short of the bottom; comparisons are strict.
#include <gtest/gtest.h>

#include <cmath>

#include "app/bas_app.h"
#include "tests/app_fixture.h"
#include "forms/forms.h"

namespace {

class ScreenFit : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
    }
    void TearDown() override {
        forms::SetScreen(nullptr);
        AppTest::TearDown();
    }
    forms::FixedScreen screen_{1024, 768};
};

struct Rect {
    double top, left, width, height;
    bool operator==(const Rect&) const = default;
};
void PrintTo(const Rect& r, std::ostream* os) { *os << r.top << "," << r.left << " " << r.width << "x" << r.height; }

// Windows sit on whole pixels: rectangles compare in pixels.
Rect px(const Rect& r) {
    auto p = [](double twips) { return double(std::lround(twips / 15)); };
    return {p(r.top), p(r.left), p(r.width), p(r.height)};
}
Rect rectOf(const forms::Form& f) { return px({f.Top(), f.Left(), f.Width(), f.Height()}); }

TEST_F(ScreenFit, AChildStaysInsideTheFramesClientArea) {
    forms::MDIForm frame("MDIForm1");
    frame.Show();
    forms::Form child("frmStatus", true);
    child.Show();
    const forms::PixelRect c = frame.ClientRectPx();
    const double W = 15.0 * (c.right - c.left), H = 15.0 * (c.bottom - c.top) - 25;
    ASSERT_GT(H, 2000);
    struct Case {
        const char* name;
        Rect given, fitted;
    };
    const std::vector<Case> cases = {
        {"too low", {0, 0, 1500, 80}, {0, 0, 1500, 100}},
        {"too narrow", {0, 0, 60, 900}, {0, 0, 100, 900}},
        {"exactly as wide", {0, 0, W, 900}, {0, 0, W, 900}},
        {"wider", {0, 0, W + 15, 900}, {0, 0, W, 900}},
        {"left of the area", {0, -45, 1500, 900}, {0, 0, 1500, 900}},
        {"bottom past the area", {H - 600, 0, 1500, 900}, {H - 900, 0, 1500, 900}},
        {"bottom exactly at the area", {H - 900, 0, 1500, 900}, {H - 900, 0, 1500, 900}},
        {"right side past", {0, W - 1000, 1500, 900}, {0, W - 1500, 1500, 900}},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(k.name);
        child.Move(k.given.left, k.given.top, k.given.width, k.given.height);
        ASSERT_EQ(rectOf(child), px(k.given));
        basApp::FitFormToScreen(child);
        EXPECT_EQ(rectOf(child), px(k.fitted));
    }
    child.Unload();
    frame.Unload();
}

TEST_F(ScreenFit, TheFrameStaysOnTheScreen) {
    forms::MDIForm frame("MDIForm1");
    frame.Show();
    frame.Move(-450, -300, 9000, 6000);
    basApp::FitFormToScreen(frame);
    EXPECT_EQ(rectOf(frame), px({0, 0, 9000, 6000}));
    frame.Move(0, 10000, 9000, 6000);
    basApp::FitFormToScreen(frame);
    EXPECT_EQ(rectOf(frame), px({768 * 15 - 25 - 6000, 0, 9000, 6000}));
    frame.Unload();
}

}  // namespace
