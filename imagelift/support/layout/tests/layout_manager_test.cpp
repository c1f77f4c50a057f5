#include "layout/layout_manager.h"
#include "tests/layout_fixture.h"
#include "registry/registry.h"
#include "support/debug_log.h"

namespace {

using Settings = std::vector<std::pair<std::string, std::string>>;

Settings Stored(const std::string& section) { return registry::GetAllSettings("Imagelift", section); }

TEST_F(LayoutTest, RectangleIsSavedInTheNormalStateAndComesBackOnTheNextAttach) {
    FakeWindow shell("frmShell", 1500, 3000, 6000, 4500);
    {
        clsLayoutManager layout;
        layout.LayoutForm(shell);  // nothing stored yet: the window keeps its edges
        EXPECT_EQ(shell.top, 1500);
        EXPECT_EQ(shell.left, 3000);
        EXPECT_EQ(shell.width, 6000);
        EXPECT_EQ(shell.height, 4500);
        EXPECT_EQ(layout.SaveLayout(), 1);
        EXPECT_EQ(Stored("frmShell"), (Settings{{"Top", "100"}, {"Left", "200"}, {"Bottom", "400"}, {"Right", "600"}}));

        // Closed maximised or minimised: nothing is stored, the normal rectangle stays.
        shell.top = 0;
        for (int32_t state : {1, 2}) {
            shell.state = state;
            EXPECT_EQ(layout.SaveLayout(), -1);
        }
        EXPECT_EQ(Stored("frmShell")[0].second, "100");
        shell.state = 0;
        // A window whose rectangle cannot be read keeps the stored one too.
        shell.rectFails = true;
        EXPECT_EQ(layout.SaveLayout(), -1);
        EXPECT_EQ(Stored("frmShell")[0].second, "100");
        shell.rectFails = false;
        shell.top = 1500;
    }  // releasing the manager saves again

    // Two windows of one kind share the rectangle: the one closed last decides.
    FakeWindow first("frmShell", 0, 0, 3000, 3000), second("frmShell", 750, 1500, 4500, 3000);
    auto a = std::make_unique<clsLayoutManager>(), b = std::make_unique<clsLayoutManager>();
    a->LayoutForm(first);
    b->LayoutForm(second);
    EXPECT_EQ(first.top, 1500);  // both came back where the first window was closed
    EXPECT_EQ(second.left, 3000);
    second.top = 750, second.left = 1500, second.width = 4500;
    first.top = 0;
    b.reset();
    a.reset();
    FakeWindow third("frmShell", 0, 0, 100, 100);
    clsLayoutManager c;
    c.LayoutForm(third);
    EXPECT_EQ(third.top, 0);
    EXPECT_EQ(third.left, 3000);
    EXPECT_EQ(third.width, 6000);
}

TEST_F(LayoutTest, WithAStoreTheRectangleGoesToTheSettingsTable) {
    UseStore();
    FakeWindow crc("frmCRC", 1500, 3000, 6000, 4500);
    {
        clsLayoutManager layout;
        layout.LayoutForm(crc);
    }
    EXPECT_EQ(ctx_.DbManager->GetSetting("Imagelift", "frmCRC", "Bottom"), "400");
    EXPECT_TRUE(Stored("frmCRC").empty());
    ctx_.DbManager->SaveSetting("Imagelift", "frmCRC", "Top", "200");
    FakeWindow again("frmCRC", 0, 0, 15, 15);
    clsLayoutManager layout;
    layout.LayoutForm(again);
    EXPECT_EQ(again.top, 3000);
    EXPECT_EQ(again.height, 3000);  // bottom 400 - top 200 pixels
    EXPECT_EQ(again.width, 6000);
}

TEST_F(LayoutTest, ControlsScaleFromTheSnapshot) {
    // Client area: 6000/15 - 8 = 392 by 4500/15 - 34 = 266 pixels.
    FakeWindow w("frmMemory", 0, 0, 6000, 4500);
    FakeControl& txt = w.Add("TextBox", "txtMemory", 120, 240, 3000, 2000);
    FakeControl& cmb = w.Add("ComboBox", "cmbAddress", 60, 3360, 1200, 315);
    FakeControl& opt = w.Add("OptionButton", "optHex", 90, 90, 600, 300);
    FakeControl& tmr = w.Add("Timer", "tmrRefresh", 0, 0, 0, 0);
    cmb.readOnlyHeight = true;
    clsLayoutManager layout;
    layout.LayoutForm(w);
    ASSERT_EQ(layout.Records().size(), 3u);  // the placeholder and the two scaled kinds
    EXPECT_TRUE(layout.Records()[2].FixedHeight);

    w.width = (392 * 2 + 8) * 15;  // client twice as wide
    layout.ResizeForm();
    EXPECT_EQ(txt.left, 480);
    EXPECT_EQ(txt.width, 6000);
    EXPECT_EQ(txt.top, 120);
    EXPECT_EQ(txt.height, 2000);
    EXPECT_EQ(cmb.width, 2400);
    EXPECT_EQ(cmb.height, 315);  // never written
    EXPECT_TRUE(LinesContaining("Error #383").empty());
    EXPECT_EQ(opt.writes + tmr.writes, 0);  // other kinds never move

    w.width = 6000;
    layout.ResizeForm();
    EXPECT_EQ(txt.left, 240);
    EXPECT_EQ(txt.width, 3000);
    EXPECT_EQ(cmb.left, 3360);

    w.state = 1;  // minimised: nothing changes
    int before = txt.writes;
    w.width = 12000;
    EXPECT_EQ(layout.ResizeForm(), 0);
    EXPECT_EQ(txt.writes, before);

    w.typeName = "MDIForm";
    EXPECT_EQ(layout.ResizeForm(), -1);
}

TEST_F(LayoutTest, ControlsMatchTheirRecordsByOrderAndName) {
    FakeWindow w("frmShell", 0, 0, 6000, 4500);
    FakeControl& a0 = w.Add("CommandButton", "cmdSend", 0, 100, 1000, 300);
    FakeControl& a1 = w.Add("CommandButton", "cmdSend", 0, 1200, 1000, 300);
    FakeControl& lbl = w.Add("Label", "lblStatus", 400, 100, 2000, 300);
    clsLayoutManager layout;
    layout.LayoutForm(w);

    // A control added after the snapshot has no record; the ones after it still find theirs.
    auto late = std::make_unique<FakeControl>("TextBox", "txtLate", 0, 0, 100, 100);
    w.controls.insert(w.controls.begin() + 1, std::move(late));
    lbl.readOnlyHeight = true;  // a refused write is logged and the walk goes on
    w.width = (392 * 2 + 8) * 15;
    layout.ResizeForm();
    layout.ResizeForm();
    EXPECT_EQ(a0.left, 200);
    EXPECT_EQ(a1.left, 2400);  // the second member of the array matched the second record
    EXPECT_EQ(lbl.width, 4000);
    auto notFound = LinesContaining("Could not find control named");
    ASSERT_EQ(notFound.size(), 2u);  // once per resize
    EXPECT_EQ(notFound[0].message, "Error in frmMain.Resize.  Could not find control named 'txtLate'");
    EXPECT_EQ(notFound[0].level, basDebug::TRACE);
    EXPECT_EQ(notFound[0].module, "clsLayoutManager");
    auto refused = LinesContaining("Error #383");
    ASSERT_EQ(refused.size(), 2u);
    EXPECT_EQ(refused[0].message, "Error #383: lblStatus, type Label 'Height' property is read-only in ResizeForm");
    EXPECT_EQ(refused[0].level, basDebug::WARNING);
}

TEST_F(LayoutTest, VerifyFormPositionKeepsWindowsOnTheScreen) {
    // Screen: 15360 x 11520 twips; the usable height is 11520 - 25.
    struct Case {
        double top, left, width, height;
        double wantTop, wantLeft, wantWidth, wantHeight;
        const char* line;  // a line that must be logged ("" none)
        int32_t level;
    };
    const Case cases[] = {
        {0, 0, 3000, 90, 0, 0, 3000, 100, "The height of 'frmX' is below the minimum of 100.  Adjusting...", 5},
        {0, 0, 90, 3000, 0, 0, 100, 3000, "The width of 'frmX' is below the minimum of 100.  Adjusting...", 5},
        {0, 0, 100, 100, 0, 0, 100, 100, "", 0},
        {0, 0, 15360, 3000, 0, 0, 15360, 3000, "", 0},
        {0, 0, 15375, 3000, 0, 0, 15360, 3000, "'frmX' is wider than the screen.  Adjusting...", 7},
        {0, 0, 3000, 11520, 0, 0, 3000, 11495, "'frmX' is higher than the screen.  Adjusting...", 5},
        {-10, 0, 3000, 3000, 0, 0, 3000, 3000, "The top of 'frmX' is above the screen.  Adjusting...", 5},
        {0, -10, 3000, 3000, 0, 0, 3000, 3000, "The Left of 'frmX' is off the screen.  Adjusting...", 5},
        {9000, 0, 3000, 3000, 8495, 0, 3000, 3000, "The bottom of 'frmX' is off the screen.  Adjusting...", 5},
        {0, 13000, 3000, 3000, 0, 12360, 3000, 3000, "The right side of 'frmX' is off the screen.  Adjusting...", 5},
    };
    clsLayoutManager layout;
    for (const auto& c : cases) {
        lines_.clear();
        FakeWindow w("frmX", c.top, c.left, c.width, c.height);
        w.snapToPixels = false;
        layout.VerifyFormPosition(w);
        EXPECT_EQ(w.top, c.wantTop) << c.line;
        EXPECT_EQ(w.left, c.wantLeft) << c.line;
        EXPECT_EQ(w.width, c.wantWidth) << c.line;
        EXPECT_EQ(w.height, c.wantHeight) << c.line;
        if (*c.line) {
            ASSERT_EQ(lines_.size(), 1u) << c.line;
            EXPECT_EQ(lines_[0].message, c.line);
            EXPECT_EQ(lines_[0].level, c.level);
        } else {
            EXPECT_TRUE(lines_.empty());
        }
    }
    // A window that refuses (minimised) ends the checks with one ERROR line.
    lines_.clear();
    FakeWindow min("frmX", -10, -10, 90, 3000);
    min.state = 1;
    layout.VerifyFormPosition(min);
    ASSERT_EQ(lines_.size(), 2u);
    EXPECT_EQ(lines_[1].message,
              "ERROR #384: A form can't be moved or sized while minimized or maximized in VerifyFormPosition");
    EXPECT_EQ(lines_[1].level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(min.top, -10);
}

TEST_F(LayoutTest, ResetLayoutNeedsTheStoreAndPutsTheDesignBack) {
    FakeWindow w("frmMain", 1500, 1500, 6000, 4500);
    FakeControl& grid = w.Add("MSFlexGrid", "mfgDevices", 120, 120, 5000, 3000);
    clsLayoutManager layout;
    layout.LayoutForm(w);
    layout.SaveLayout();
    w.width = 9000;
    layout.ResizeForm();
    EXPECT_EQ(layout.ResetLayout(), -1);  // no store: nothing changes
    EXPECT_EQ(w.width, 9000);
    EXPECT_EQ(Stored("frmMain").size(), 4u);

    UseStore();
    layout.SaveLayout();
    EXPECT_EQ(ctx_.DbManager->GetSetting("Imagelift", "frmMain", "Top"), "100");
    EXPECT_EQ(layout.ResetLayout(), -1);
    EXPECT_EQ(ctx_.DbManager->GetSetting("Imagelift", "frmMain", "Top", std::string("gone")), "gone");
    EXPECT_EQ(w.top, 0);
    EXPECT_EQ(w.left, 0);
    EXPECT_EQ(w.width, 392 * 15);  // the snapshot's client size
    EXPECT_EQ(w.height, 266 * 15);
    EXPECT_EQ(grid.width, 5000);  // unscaled
    EXPECT_EQ(grid.left, 120);
}

TEST_F(LayoutTest, ChildWindowKeepsItsPlaceOverCloseAndReopen) {
    // The MDI client area's corner lies at (4, 50) on the screen.
    for (int cycle = 0; cycle < 3; ++cycle) {
        FakeWindow child("frmConfigROM", 1500, 3000, 6000, 4500);
        child.origin = {4, 50};
        if (cycle > 0) child.top = child.left = 0;  // a new window starts elsewhere
        clsLayoutManager layout;
        layout.LayoutForm(child);
        EXPECT_EQ(child.top, 1500) << "cycle " << cycle;
        EXPECT_EQ(child.left, 3000) << "cycle " << cycle;
        EXPECT_EQ(child.width, 6000);
        EXPECT_EQ(child.height, 4500);
    }
    EXPECT_EQ(Stored("frmConfigROM"), (Settings{{"Top", "100"}, {"Left", "200"}, {"Bottom", "400"}, {"Right", "600"}}));
}

TEST_F(LayoutTest, ASnapshotWithoutClientWidthLeavesThatAxisAlone) {
    FakeWindow w("frmText", 0, 0, 6000, 4500);
    w.zeroClient = true;
    FakeControl& txt = w.Add("TextBox", "txtText", 120, 240, 3000, 2000);
    clsLayoutManager layout;
    layout.LayoutForm(w);
    w.zeroClient = false;
    layout.ResizeForm();
    EXPECT_EQ(txt.left, 240);
    EXPECT_EQ(txt.width, 3000);
    EXPECT_EQ(txt.top, 120);
    EXPECT_EQ(txt.height, 2000);
    EXPECT_FALSE(LinesContaining("Error #11: Division by zero in ResizeForm").empty());
}

TEST_F(LayoutTest, AnUnusableStoredRectangleCountsAsAbsent) {
    const Settings broken[] = {
        {{"Top", "abc"}, {"Left", "200"}, {"Bottom", "400"}, {"Right", "600"}},
        {{"Top", "100"}, {"Left", "200"}, {"Bottom", ""}, {"Right", "600"}},
        {{"Top", "400"}, {"Left", "200"}, {"Bottom", "100"}, {"Right", "600"}},  // bottom above top
        {{"Top", "100"}, {"Left", "600"}, {"Bottom", "400"}, {"Right", "200"}},  // right left of left
        {{"Top", "99999999999"}, {"Left", "200"}, {"Bottom", "400"}, {"Right", "600"}},
    };
    for (const auto& stored : broken) {
        for (const auto& [key, value] : stored) registry::SaveSetting("Imagelift", "frmHelp", key, value);
        FakeWindow w("frmHelp", 750, 1500, 4500, 3000);
        clsLayoutManager layout;
        layout.LayoutForm(w);
        EXPECT_EQ(w.top, 750) << stored[0].second << " " << stored[2].second;
        EXPECT_EQ(w.left, 1500);
        EXPECT_EQ(w.width, 4500);
        EXPECT_EQ(w.height, 3000);
        layout.Release();
    }
    // A rounded number is fine, as the run time reads it.
    registry::SaveSetting("Imagelift", "frmHelp", "Top", " 100.4 ");
    FakeWindow w("frmHelp", 0, 0, 15, 15);
    clsLayoutManager layout;
    layout.LayoutForm(w);
    EXPECT_EQ(w.top, 1500);
}

}  // namespace
