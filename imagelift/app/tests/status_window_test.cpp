// Status windows: the level filter, the time text, the 500-row cap and the remembered rectangle,
// on real windows inside an MDI frame.
#include <gtest/gtest.h>

#include <QTableWidget>
#include <algorithm>
#include <filesystem>

#include "windows/status_window.h"
#include "tests/frame_fixture.h"
#include "forms/forms.h"
#include "forms/tests/paint_counter.h"
#include "forms/tests/text_fit.h"
#include "support/db_manager.h"

namespace {

class StatusWindow : public apptest::FrameTest {
protected:
    void UseStore() {
        const std::filesystem::path folder = std::filesystem::path(root_) / "program";
        std::filesystem::create_directories(folder);
        dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
    }
    std::string stored(const std::string& key) {
        return ctx_.DbManager->GetSetting(ctx_.App.Title, "frmStatus", key, std::string("<none>"));
    }
    std::vector<std::string> row(frmStatus& w, int32_t r) {
        std::vector<std::string> cells;
        for (int32_t c = 0; c < 4; ++c) cells.push_back(w.mfgStatus.TextMatrix(r, c));
        return cells;
    }
};

TEST_F(StatusWindow, TimeTextIsHoursMinutesSecondsAndMilliseconds) {
    const std::vector<std::pair<float, std::string>> cases = {
        {0.0f, "0:00:00.000"},
        {3723004.0f, "1:02:03.004"},
        {90000000.0f, "25:00:00.000"},
        {59999.6f, "0:01:00.000"},
        {0.5f, "0:00:00.000"},  // halves go to the even millisecond
        {1.5f, "0:00:00.002"},
    };
    for (const auto& [ms, text] : cases) EXPECT_EQ(frmStatus::TimeText(ms), text) << ms;
}

TEST_F(StatusWindow, LoadsWithItsHeaderAndTheProgramsMessageLevel) {
    ctx_.DebugMessageLevel = 9;
    frmStatus w;
    w.Show();
    EXPECT_EQ(w.Caption(), "Status Window");
    EXPECT_EQ(w.DebugMessageLevel, 9);
    EXPECT_EQ(w.mfgStatus.Rows(), 1);
    EXPECT_EQ(w.mfgStatus.Cols(), 4);
    EXPECT_EQ(w.mfgStatus.FixedCols(), 0);
    EXPECT_EQ(row(w, 0), (std::vector<std::string>{"Time", "Level", "Module", "Message"}));
    for (int32_t c = 0; c < 4; ++c) EXPECT_EQ(w.mfgStatus.ColAlignment(c)(), forms::flexAlignLeftCenter);
    // The frame fills the client area, the grid the frame; the message column gets seven tenths.
    EXPECT_NEAR(w.fraApplicationStatus.Width(), w.ScaleWidth(), 15);
    EXPECT_NEAR(w.mfgStatus.Height(), w.fraApplicationStatus.Height(), 15);
    EXPECT_NEAR(w.mfgStatus.ColWidth(3)(), (w.mfgStatus.Width() - 100) * 0.7, 15);
    EXPECT_NEAR(w.mfgStatus.ColWidth(0)(), (w.mfgStatus.Width() - 100) * 0.1, 15);
    w.Unload();
}

TEST_F(StatusWindow, ANarrowWindowKeepsTimeLevelAndModuleWholeAndGivesTheMessageTheRest) {
    frmStatus w;
    w.Show();
    w.Width = 6000;
    forms::DoEvents();
    int32_t priority = basDebug::USER;
    w.PostMessage("first", 1234.0f, priority, std::string("basApp"));
    // A longer module and a time past ten hours arrive later: their columns widen.
    priority = basDebug::WARNING;
    w.PostMessage("second", 36001234.0f, priority, std::string("basBootloader"));
    EXPECT_TRUE(formstest::CellsFit(w.mfgStatus, 0, 2));
    double taken = 0;
    for (int32_t c = 0; c < 3; ++c) taken += w.mfgStatus.ColWidth(c)();
    EXPECT_NEAR(w.mfgStatus.ColWidth(3)(), std::max((w.mfgStatus.Width() - 100) * 0.7, w.mfgStatus.Width() - 100 - taken),
                30);
    w.Unload();
}

TEST_F(StatusWindow, ShowsOnlyLinesThatReachItsLevel) {
    frmStatus w;
    w.Show();
    struct Case {
        int32_t windowLevel, priority;
        bool shown;
        const char* levelCell;
        int32_t priorityAfter;
    };
    const std::vector<Case> cases = {
        {7, 5, false, "", 5},
        {7, 7, true, "WARNING(7)", 7},
        {7, 0, false, "", 5},  // no level reads as TRACE, and is filtered as TRACE
        {5, 0, true, "unspecified", 5},
        {1, 2, true, "unknown(2)", 2},
        {15, 17, true, "NONE(17)", 17},
    };
    for (const auto& k : cases) {
        SCOPED_TRACE(testing::Message() << k.windowLevel << "/" << k.priority);
        w.DebugMessageLevel = k.windowLevel;
        const int32_t rowsBefore = w.mfgStatus.Rows;
        int32_t priority = k.priority;
        w.PostMessage("hello", 3723004.0f, priority, std::string("basTest"));
        EXPECT_EQ(priority, k.priorityAfter);
        ASSERT_EQ(w.mfgStatus.Rows(), rowsBefore + (k.shown ? 1 : 0));
        if (k.shown) {
            EXPECT_EQ(row(w, w.mfgStatus.Rows - 1),
                      (std::vector<std::string>{"1:02:03.004", k.levelCell, "basTest", "hello"}));
        }
    }
    // The central logger's route: a missing module is an empty cell.
    w.DebugMessageLevel = 1;
    int32_t priority = 11;
    static_cast<imagelift::IStatusWindow&>(w).PostMessage("from the logger", 1.0f, priority, std::nullopt);
    EXPECT_EQ(row(w, w.mfgStatus.Rows - 1), (std::vector<std::string>{"0:00:00.001", "ERROR(11)", "", "from the logger"}));
    w.Unload();
}

TEST_F(StatusWindow, KeepsTheNewest499LinesBelowTheHeader) {
    frmStatus w;
    w.Show();
    w.DebugMessageLevel = 1;
    for (int i = 1; i <= 505; ++i) {
        int32_t priority = 5;
        w.PostMessage("line " + std::to_string(i), float(i), priority, std::string("m"));
    }
    EXPECT_EQ(w.mfgStatus.Rows(), 500);
    EXPECT_EQ(w.mfgStatus.TextMatrix(1, 3)(), "line 7");
    EXPECT_EQ(w.mfgStatus.TextMatrix(499, 3)(), "line 505");
    // Scrolled to the newest line (the grid stops at its last full page).
    EXPECT_GT(w.mfgStatus.TopRow(), 400);
    // A smaller cap set afterwards is reached two rows per line at most.
    w.MaxStatusRows = 496;
    int32_t priority = 5;
    w.PostMessage("line 506", 506.0f, priority, std::string("m"));
    EXPECT_EQ(w.mfgStatus.Rows(), 499);
    w.Unload();
}

TEST_F(StatusWindow, PastItsCapALinePaintsAboutARowOfTheGrid) {
    // The oldest line goes as each new one comes: the rows shown move up a row, and only the
    // new row is painted, not the whole grid.
    frmStatus w;
    w.Show();
    w.DebugMessageLevel = 1;
    auto post = [&](int i) {
        int32_t priority = 7;
        w.PostMessage("line " + std::to_string(i), float(i), priority, std::string("m"));
    };
    for (int i = 1; i <= 510; ++i) post(i);
    for (int i = 0; i < 3; ++i) forms::DoEvents();
    auto* table = static_cast<QTableWidget*>(w.mfgStatus.Widget());
    QWidget* view = table->viewport();
    for (int i = 511; i <= 515; ++i) {
        SCOPED_TRACE(i);
        formstest::PaintCounter counter(view);
        post(i);
        for (int j = 0; j < 3; ++j) forms::DoEvents();
        int area = 0;
        for (const QRect& r : counter.painted) area += r.width() * r.height();
        EXPECT_GT(area, 0);
        EXPECT_LE(area, 2 * table->rowHeight(1) * view->width());
    }
    EXPECT_EQ(w.mfgStatus.Rows(), 500);
    EXPECT_EQ(w.mfgStatus.TextMatrix(499, 3)(), "line 515");
    w.Unload();
}

TEST_F(StatusWindow, ABurstOfLinesIsPaintedOnceWhenEventsRun) {
    frmStatus w;
    w.Show();
    w.DebugMessageLevel = 1;
    forms::DoEvents();
    formstest::PaintCounter counter(w.WindowWidget());
    for (int i = 1; i <= 40; ++i) {
        int32_t priority = 7;
        w.PostMessage("line " + std::to_string(i), float(i), priority, std::string("m"));
    }
    EXPECT_EQ(counter.paints, 0);  // nothing painted while the lines come in
    forms::DoEvents();
    EXPECT_EQ(counter.paints, 1);
    EXPECT_EQ(w.mfgStatus.TextMatrix(w.mfgStatus.Rows - 1, 3)(), "line 40");
    w.Unload();
}

TEST_F(StatusWindow, AFailureWhilePostingShowsInTheCaption) {
    frmStatus w;
    w.Show();
    int32_t priority = 11;
    w.PostMessage("too late", 1e12f, priority, std::string("m"));  // beyond 32 bits of milliseconds
    EXPECT_EQ(w.mfgStatus.Rows(), 1);
    EXPECT_EQ(w.Caption(), "Status Window: Error #6: Overflow in PostMessage");
    w.ShowErrorInCaption("only a warning", basDebug::LevelArg(7));
    w.ShowErrorInCaption("fatal", "FATAL");
    EXPECT_EQ(w.Caption(), "Status Window: Error #6: Overflow in PostMessage: fatal");
    w.Unload();
}

TEST_F(StatusWindow, ComesBackWhereItWasClosed) {
    UseStore();
    {
        frmStatus w;
        w.Show();
        w.Move(1500, 900, 6000, 2400);
        w.Unload();
    }
    // Pixels within the frame's client area, the coordinates the window's Top and Left use.
    EXPECT_EQ(stored("Top"), "60");
    EXPECT_EQ(stored("Left"), "100");
    EXPECT_EQ(stored("Bottom"), "220");
    EXPECT_EQ(stored("Right"), "500");
    for (int round = 0; round < 3; ++round) {
        frmStatus w;
        w.Show();
        EXPECT_EQ(w.Top(), 900);
        EXPECT_EQ(w.Left(), 1500);
        EXPECT_EQ(w.Width(), 6000);
        EXPECT_EQ(w.Height(), 2400);
        w.Unload();
    }
}

TEST_F(StatusWindow, AMaximisedWindowLeavesTheSavedRectangleAlone) {
    UseStore();
    frmStatus w;
    w.Show();
    w.Move(1500, 900, 6000, 2400);
    ASSERT_EQ(w.SaveLayout(), 1);
    w.WindowState = forms::vbMaximized;
    EXPECT_EQ(w.SaveLayout(), -1);
    w.Unload();
    EXPECT_EQ(stored("Top"), "60");
    EXPECT_EQ(stored("Right"), "500");
}

TEST_F(StatusWindow, AStoredEdgeThatIsNotANumberIgnoresTheStoredRectangle) {
    UseStore();
    const std::pair<const char*, const char*> edges[] = {{"Top", "60"}, {"Left", "a lot"}, {"Bottom", "220"}, {"Right", "500"}};
    for (const auto& [key, value] : edges) ctx_.DbManager->SaveSetting(ctx_.App.Title, "frmStatus", key, value);
    frmStatus w;
    w.Show();
    EXPECT_TRUE(w.IsLoaded());
    EXPECT_NE(w.Top(), 900);
    EXPECT_NE(w.Width(), 6000);
    w.Unload();
    EXPECT_NE(stored("Left"), "a lot");  // the unload saved the window's real rectangle
}

}  // namespace
