#include "forms/forms.h"
#include "forms/tests/paint_counter.h"
#include "tests/test_support.h"
#include "user/window_registry.h"
#include "vbrt/error.h"

#include <QApplication>
#include <QAction>
#include <QFont>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QPixmap>
#include <QScreen>
#include <QScrollBar>
#include <QKeyEvent>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPlainTextEdit>
#include <QTableWidget>
#include <QTimer>
#include <QTreeWidget>
#include <QWidget>
#include <algorithm>
#include <cmath>
#include <map>
#include <memory>
#include <atomic>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

extern char** environ;

namespace {

using namespace forms;

int errorNumber(const std::function<void()>& fn) {
    try {
        fn();
    } catch (const vb::Error& e) {
        return e.Number();
    }
    return 0;
}

// A window holding one control of every kind, written the way the program's windows are.
class frmEverything : public Form {
public:
    frmEverything() : Form("frmEverything") {}

    Menu mnuFile{this, "mnuFile", "&File"};
    Menu mnuFileOpen{&mnuFile, "mnuFileOpen", "&Open..."};
    Menu mnuFileSep{&mnuFile, "mnuFileSep", "-"};
    Menu mnuFileExit{&mnuFile, "mnuFileExit", "E&xit"};
    Label lblTitle{this, "lblTitle"};
    TextBox txtName{this, "txtName"};
    TextBox txtLog{this, "txtLog", TextBox::MultiLine | TextBox::VerticalScroll};
    CommandButton cmdOK{this, "cmdOK"};
    Frame fraOptions{this, "fraOptions"};
    CheckBox chkVerbose{&fraOptions, "chkVerbose"};
    OptionButton optFast{&fraOptions, "optSpeed", 0};
    OptionButton optSlow{&fraOptions, "optSpeed", 1};
    ComboBox cmbPort{this, "cmbPort"};
    ListBox lstFiles{this, "lstFiles"};
    MSFlexGrid mfgDevices{this, "mfgDevices"};
    TreeView trvRom{this, "trvRom"};
    ListView lvwPackages{this, "lvwPackages"};
    RichTextBox RTB1{this, "RTB1"};
    ProgressBar pgbDownload{this, "pgbDownload"};
    Image imgLogo{this, "imgLogo"};
    DriveListBox Drive1{this, "Drive1"};
    DirListBox Dir1{this, "Dir1"};
    FileListBox File1{this, "File1"};
    WebBrowser WebBrowser1{this, "WebBrowser1"};
    Timer tmrPoll{this, "tmrPoll"};
    CommonDialog CommonDialog1{this, "CommonDialog1"};

    int loads = 0, unloads = 0, resizes = 0, cmdOKClicks = 0;
    int cancelUnload = 0;
    std::vector<std::string> changes;

protected:
    void Form_Design() override {
        Caption = "Everything";
        Move(0, 0, 9000, 7005);
        lblTitle.Move(120, 120, 3000, 300);
        lblTitle.Caption = "Devices";
        txtName.Move(120, 480, 3000, 300);
        txtLog.Move(120, 900, 3000, 1500);
        cmdOK.Move(3300, 120, 1200, 375);
        cmdOK.Caption = "&OK";
        fraOptions.Move(3300, 600, 2400, 1500);
        chkVerbose.Move(120, 240, 2000, 300);
        cmbPort.Move(6000, 120, 2000, 315);
        mfgDevices.Move(120, 2500, 5000, 1500);
        tmrPoll.Interval = 0;
    }
    void Form_Load() override {
        ++loads;
        cmdOK.Click = [this] { ++cmdOKClicks; };
        txtName.Change = [this] { changes.push_back(txtName.Text); };
    }
    void Form_Unload(int32_t& Cancel) override {
        ++unloads;
        Cancel = cancelUnload;
        // Unloading again from inside the unload does nothing.
        EXPECT_TRUE(Unload());
    }
    void Form_Resize() override { ++resizes; }
};

TEST_F(FormsTest, FormWithEveryControlLoadsResizesUnloadsAndLoadsAgain) {
    frmEverything f;
    const std::vector<std::pair<std::string, std::string>> expected = {
        {"mnuFile", "Menu"},           {"mnuFileOpen", "Menu"},      {"mnuFileSep", "Menu"},
        {"mnuFileExit", "Menu"},       {"lblTitle", "Label"},        {"txtName", "TextBox"},
        {"txtLog", "TextBox"},         {"cmdOK", "CommandButton"},   {"fraOptions", "Frame"},
        {"chkVerbose", "CheckBox"},    {"optSpeed", "OptionButton"}, {"optSpeed", "OptionButton"},
        {"cmbPort", "ComboBox"},       {"lstFiles", "ListBox"},      {"mfgDevices", "MSFlexGrid"},
        {"trvRom", "TreeView"},        {"lvwPackages", "ListView"},  {"RTB1", "RichTextBox"},
        {"pgbDownload", "ProgressBar"}, {"imgLogo", "Image"},        {"Drive1", "DriveListBox"},
        {"Dir1", "DirListBox"},        {"File1", "FileListBox"},     {"WebBrowser1", "WebBrowser"},
        {"tmrPoll", "Timer"},          {"CommonDialog1", "CommonDialog"}};
    ASSERT_EQ(f.Controls().size(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(f.Controls()[i]->Name, expected[i].first);
        EXPECT_EQ(f.Controls()[i]->TypeName(), expected[i].second);
    }
    EXPECT_EQ(f.optSlow.Index, 1);

    f.Show();
    EXPECT_TRUE(f.IsLoaded());
    EXPECT_EQ(f.loads, 1);
    EXPECT_EQ(f.Caption(), "Everything");
    // A separator keeps its caption "-" but is a bare line: no text beside it.
    for (Menu* separator : {&f.mnuFileSep, &f.mnuFileExit}) {
        if (separator == &f.mnuFileExit) separator->Caption = "-";
        EXPECT_TRUE(separator->Action()->isSeparator());
        EXPECT_TRUE(separator->Action()->text().isEmpty());
        EXPECT_EQ(separator->Caption(), "-");
    }
    f.mnuFileExit.Caption = "E&xit";
    EXPECT_FALSE(f.mnuFileExit.Action()->isSeparator());
    EXPECT_EQ(f.mnuFileExit.Caption(), "E&xit");
    EXPECT_EQ(f.Width(), 9000);
    EXPECT_EQ(f.Height(), 7005);
    // Twips snap to whole pixels (15 twips each).
    f.cmdOK.Left = 3307;
    EXPECT_EQ(f.cmdOK.Left(), 3300);
    EXPECT_EQ(f.fraOptions.Left(), 3300);
    EXPECT_EQ(f.chkVerbose.Left(), 120);  // from the frame's corner
    double frameWidth = f.Width() - f.ScaleWidth();
    EXPECT_GE(frameWidth, 0);
    EXPECT_LT(f.ScaleHeight(), 7005);  // less the menu bar
    EXPECT_GT(f.hWnd(), 0);

    int before = f.resizes;
    f.Width = 12000;
    DoEvents();
    EXPECT_GT(f.resizes, before);
    EXPECT_EQ(f.Width(), 12000);
    EXPECT_EQ(f.ScaleWidth(), 12000 - frameWidth);

    f.cmdOK.Press();
    EXPECT_EQ(f.cmdOKClicks, 1);
    f.txtName.Text = "abc";
    f.txtName.Text = "abc";  // same text: no Change
    EXPECT_EQ(f.changes, std::vector<std::string>{"abc"});

    f.cancelUnload = 1;
    EXPECT_FALSE(f.Unload());
    EXPECT_TRUE(f.IsLoaded());
    f.cancelUnload = 0;
    EXPECT_TRUE(f.Unload());
    EXPECT_FALSE(f.IsLoaded());
    EXPECT_EQ(f.hWnd(), 0);
    EXPECT_TRUE(f.Unload());  // not loaded: nothing happens
    EXPECT_EQ(f.unloads, 2);

    // The object outlives its window: showing it again loads it afresh.
    f.Show();
    EXPECT_EQ(f.loads, 2);
    EXPECT_EQ(f.Width(), 9000);
    EXPECT_TRUE(f.Unload());
}

TEST_F(FormsTest, TheWindowSystemsKnownNotesAreQuietAndOtherMessagesStillShow) {
    EnsureApplication();
    char path[] = "/tmp/forms_stderr_XXXXXX";
    const int file = ::mkstemp(path);
    ASSERT_GE(file, 0);
    std::fflush(stderr);
    const int saved = ::dup(2);
    ::dup2(file, 2);
    qWarning("This plugin does not support propagateSizeHints()");
    qWarning("xkbcommon: ERROR: failed to add default include path /usr/share/X11/xkb");
    qWarning("a real problem");
    std::fflush(stderr);
    ::dup2(saved, 2);
    ::close(saved);
    ::close(file);
    std::ifstream in(path);
    const std::string text((std::istreambuf_iterator<char>(in)), {});
    ::unlink(path);
    EXPECT_NE(text.find("a real problem"), std::string::npos) << text;
    EXPECT_EQ(text.find("propagateSizeHints"), std::string::npos) << text;
    EXPECT_EQ(text.find("xkbcommon"), std::string::npos) << text;
}

TEST_F(FormsTest, RefusedWritesRaiseTheirRunTimeErrors) {
    frmEverything f;
    f.Show();
    EXPECT_EQ(errorNumber([&] { f.cmbPort.Height = 600; }), 383);
    EXPECT_EQ(errorNumber([&] { f.Drive1.Height = 600; }), 383);
    EXPECT_EQ(errorNumber([&] { f.txtLog.MultiLineMode = false; }), 383);
    EXPECT_EQ(errorNumber([&] { f.ScaleWidth = 10; }), 383);
    EXPECT_EQ(errorNumber([&] { f.cmbPort.Width = 2500; }), 0);

    for (int32_t state : {vbMinimized, vbMaximized}) {
        f.WindowState = state;
        EXPECT_EQ(f.WindowState(), state);
        EXPECT_EQ(errorNumber([&] { f.Left = 10; }), 384);
        EXPECT_EQ(errorNumber([&] { f.Height = 3000; }), 384);
        EXPECT_EQ(errorNumber([&] { f.Move(0, 0); }), 384);
        f.WindowState = vbNormal;
    }
    EXPECT_EQ(errorNumber([&] { f.Left = 150; }), 0);
    EXPECT_EQ(f.Left(), 150);
    EXPECT_EQ(errorNumber([&] { f.pgbDownload.Value = 101; }), 380);
    f.Unload();
}

TEST_F(FormsTest, GridRaisesRowColChangeThenSelChangeWhenRowIsSetInCode) {
    frmEverything f;
    f.Show();
    MSFlexGrid& g = f.mfgDevices;
    g.Cols = 4;
    g.Rows = 1;  // heading only
    std::vector<std::string> events;
    g.RowColChange = [&] {
        events.push_back("RowColChange " + std::to_string(g.Row()) + "," + std::to_string(g.Col()));
        // The handler moves the current cell itself, as the device grid's does.
        g.Col = 0;
        g.ColSel = g.Cols() - 1;
    };
    g.SelChange = [&] { events.push_back("SelChange " + std::to_string(g.Row()) + "," + std::to_string(g.ColSel())); };

    g.Row = 0;  // only the heading row: nothing to report
    EXPECT_TRUE(events.empty());
    for (int i = 0; i < 3; ++i) g.AddItem("node " + std::to_string(i) + "\tx\ty\tz");
    EXPECT_EQ(g.Rows(), 4);
    EXPECT_EQ(g.TextMatrix(2, 0)(), "node 1");
    EXPECT_EQ(g.TextMatrix(2, 3)(), "z");

    g.Row = 2;
    // The handler's own moves raise their events inside it, before the outer SelChange.
    const std::vector<std::string> expected = {"RowColChange 2,1", "RowColChange 2,0", "SelChange 2,3",
                                               "SelChange 2,3", "SelChange 2,3"};
    EXPECT_EQ(events, expected);
    events.clear();
    g.Row = 2;  // unchanged: nothing
    EXPECT_TRUE(events.empty());

    // Cutting the rows back moves Row into range without events.
    g.Row = 3;
    events.clear();
    g.Rows = 2;
    EXPECT_EQ(g.Row(), 1);
    EXPECT_TRUE(events.empty());
    EXPECT_EQ(errorNumber([&] { g.RemoveItem(1); }), 30015);
    g.Text = "current";  // the current cell
    EXPECT_EQ(g.TextMatrix(1, g.Col())(), "current");
    EXPECT_EQ(errorNumber([&] { g.Row = 5; }), 30009);

    // A grid without rows has no current cell to read or write.
    g.FixedRows = 0;
    g.Rows = 0;
    EXPECT_EQ(errorNumber([&] { (void)g.Text(); }), 30009);
    EXPECT_EQ(errorNumber([&] { g.Text = "x"; }), 30009);
    EXPECT_EQ(g.Cols(), 4);  // the columns stay
    g.Rows = 2;
    g.FixedRows = 1;
    g.ColWidth(1) = 1500;
    EXPECT_EQ(g.ColWidth(1)(), 1500);
    g.ColAlignment(2) = flexAlignCenterCenter;
    EXPECT_EQ(g.ColAlignment(2)(), flexAlignCenterCenter);
    f.Unload();
}

TEST_F(FormsTest, TheLastRowMadeTheTopRowShowsWhole) {
    // A log grid appends a row and scrolls to it at once, without letting events run between.
    frmEverything f;
    f.Show();
    MSFlexGrid& g = f.mfgDevices;  // about six rows high
    g.Rows = 1;
    auto* table = static_cast<QTableWidget*>(g.Widget());
    for (int i = 0; i < 20; ++i) {
        g.AddItem("line " + std::to_string(i));
        g.TopRow = g.Rows() - 1;
        // The row's first cell that scrolls (the fixed column stays in its strip at the left).
        const QRect last = table->visualRect(table->model()->index(g.Rows() - 1, g.FixedCols()));
        ASSERT_TRUE(last.isValid()) << i;
        EXPECT_LE(last.bottom(), table->viewport()->height()) << i;
        EXPECT_GE(last.top(), 0) << i;
    }
    f.Unload();
}

TEST_F(FormsTest, AGridRepaintsTheRowsThatChangedAndAllWhenRowsMove) {
    // A grid about six rows high holding ten: what each change repaints when events next run.
    struct Case {
        const char* change;
        std::function<void(MSFlexGrid&)> apply;
        bool repaintsRow1;  // the first row, which only a write or a move changes
        bool repaintsRow4;  // a row further down, which only a write or a move changes
    };
    const std::vector<Case> cases = {
        {"a row added below the view", [](MSFlexGrid& g) { g.AddItem("new\tx"); }, false, false},
        {"rows added by Rows", [](MSFlexGrid& g) { g.Rows = g.Rows() + 3; }, false, false},
        {"a row added and the first written",
         [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             g.TextMatrix(1, 1) = "written";
         },
         true, true},
        {"a row added and the fourth written",
         [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             g.TextMatrix(4, 1) = "written";
         },
         false, true},
        {"a row inserted above", [](MSFlexGrid& g) { g.AddItem("new\tx", 3); }, true, true},
        {"a row removed", [](MSFlexGrid& g) { g.RemoveItem(3); }, true, true},
        {"rows cut back", [](MSFlexGrid& g) { g.Rows = 4; }, true, true},
        {"a column added with a row", [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             g.Cols = 3;
         }, true, true},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        frmEverything f;
        f.Show();
        MSFlexGrid& g = f.mfgDevices;
        g.Cols = 2;
        g.Rows = 1;
        for (int i = 1; i <= 10; ++i) g.AddItem("row " + std::to_string(i) + "\tcell");
        for (int i = 0; i < 3; ++i) DoEvents();  // the window is shown, activated and painted
        auto* table = static_cast<QTableWidget*>(g.Widget());
        // The rows' cells in the first column that scrolls: the fixed column has a strip of its own.
        const QRect row1 = table->visualRect(table->model()->index(1, g.FixedCols()));
        const QRect row4 = table->visualRect(table->model()->index(4, g.FixedCols()));
        ASSERT_TRUE(table->viewport()->rect().contains(row4));
        formstest::PaintCounter viewport(table->viewport());
        c.apply(g);
        for (int i = 0; i < 3; ++i) DoEvents();  // laid out, then painted
        EXPECT_EQ(viewport.painted.intersects(row1), c.repaintsRow1);
        EXPECT_EQ(viewport.painted.intersects(row4), c.repaintsRow4);
        f.Unload();
    }
}

// A window holding only a grid about six rows high, as a log window does: nothing lies over it.
class frmGridAlone : public Form {
public:
    frmGridAlone() : Form("frmGridAlone") {}
    MSFlexGrid mfgLog{this, "mfgLog"};

protected:
    void Form_Design() override {
        Move(0, 0, 5400, 2000);
        mfgLog.Move(120, 120, 5000, 1500);
    }
};

TEST_F(FormsTest, AGridScrolledToItsEndPaintsAboutARowPerChangeAndShowsItsRowsInLine) {
    // A log grid scrolled to its newest row: each change, followed by scrolling to the last row
    // as a log does, repaints about a row, and the window (read back from its backing store, as
    // the screen shows it) is what a full render paints.
    struct Case {
        const char* change;
        std::function<void(MSFlexGrid&)> apply;
        int rowsPainted = 2;  // at most, per change
    };
    const std::vector<Case> cases = {
        {"a row added", [](MSFlexGrid& g) { g.AddItem("new\tx"); }},
        {"a row added and the oldest removed (a log at its cap)",
         [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             g.RemoveItem(1);
         }},
        {"two rows added and the oldest two removed",
         [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             g.AddItem("newer\ty");
             g.RemoveItem(1);
             g.RemoveItem(1);
         }},
        {"a row added and written", [](MSFlexGrid& g) {
             g.AddItem("new");
             g.TextMatrix(g.Rows() - 1, 1) = "written";
         }},
        {"a row added, then the view scrolled up before it is laid out",
         [](MSFlexGrid& g) {
             g.AddItem("new\tx");
             QScrollBar* bar = static_cast<QTableWidget*>(g.Widget())->verticalScrollBar();
             bar->setValue(bar->value() - 1);
         }},
        {"a row inserted above the rows shown", [](MSFlexGrid& g) { g.AddItem("inserted\tx", 2); }},
        {"a row removed above the rows shown", [](MSFlexGrid& g) { g.RemoveItem(1); }},
        // The current row keeps its number, so its selection moves to the row that takes its
        // place (the old and the new selected rows are painted again).
        {"a row added and the oldest removed, a row shown being current",
         [](MSFlexGrid& g) {
             g.Row = g.Rows() - 3;
             g.AddItem("new\tx");
             g.RemoveItem(1);
         },
         4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.change);
        frmGridAlone f;
        f.Show();
        MSFlexGrid& g = f.mfgLog;
        g.Cols = 2;
        g.Rows = 1;
        for (int i = 1; i <= 40; ++i) g.AddItem("row " + std::to_string(i) + "\tcell");
        g.TopRow = g.Rows() - 1;
        for (int i = 0; i < 3; ++i) DoEvents();
        auto* table = static_cast<QTableWidget*>(g.Widget());
        QWidget* view = table->viewport();
        const int rowHeight = table->rowHeight(1);
        for (int step = 0; step < 6; ++step) {
            SCOPED_TRACE(step);
            formstest::PaintCounter counter(view);
            c.apply(g);
            g.TopRow = g.Rows() - 1;
            for (int i = 0; i < 3; ++i) DoEvents();
            int area = 0;
            for (const QRect& r : counter.painted) area += r.width() * r.height();
            EXPECT_LE(area, c.rowsPainted * rowHeight * view->width());
        }
        QWidget* top = view->window();
        const QPoint at = view->mapTo(top, QPoint(0, 0));
        const QImage shown = QGuiApplication::primaryScreen()
                                 ->grabWindow(top->winId(), at.x(), at.y(), view->width(), view->height())
                                 .toImage()
                                 .convertToFormat(QImage::Format_RGB32);
        EXPECT_EQ(shown, view->grab().toImage().convertToFormat(QImage::Format_RGB32));
        f.Unload();
    }
}

// A click of a person's mouse on whatever widget lies at `at` (in `top`'s pixels).
void clickAt(QWidget* top, QPoint at) {
    QWidget* w = top->childAt(at);
    if (!w) w = top;
    const QPointF local = w->mapFrom(top, at);
    const QPointF global = w->mapToGlobal(local);
    QMouseEvent press(QEvent::MouseButtonPress, local, global, Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
    QMouseEvent release(QEvent::MouseButtonRelease, local, global, Qt::LeftButton, Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(w, &press);
    QApplication::sendEvent(w, &release);
}

TEST_F(FormsTest, AGridsFixedRowsAndColumnsNeverScroll) {
    // Scrolled down and sideways, the fixed row stays at the top (its headings move sideways with
    // their columns), the fixed column at the left (its cells move up and down with their rows),
    // and their corner stays where it was.
    frmGridAlone f;
    f.Show();
    MSFlexGrid& g = f.mfgLog;  // one fixed row and one fixed column
    g.Cols = 6;
    g.Rows = 1;
    for (int32_t c = 0; c < g.Cols(); ++c) {
        g.TextMatrix(0, c) = "head " + std::to_string(c);
        g.ColWidth(c) = 1500;  // six of them are wider than the grid: it scrolls sideways too
    }
    for (int i = 1; i <= 40; ++i) g.AddItem("row " + std::to_string(i) + "\tcell\tcell\tcell\tcell\tcell");
    auto* table = static_cast<QTableWidget*>(g.Widget());
    const auto at = [&](int32_t row, int32_t col) {
        const PixelRect r = g.CellRect(row, col);
        return QRect(r.left, r.top, r.right - r.left, r.bottom - r.top);
    };
    const auto shot = [&](int32_t row, int32_t col) { return table->grab(at(row, col)).toImage(); };
    for (int i = 0; i < 3; ++i) DoEvents();
    const QRect corner = at(0, 0), heading = at(0, 2), row1Heading = at(1, 0), row1Cell = at(1, 1);
    ASSERT_FALSE(corner.isEmpty());
    ASSERT_FALSE(heading.isEmpty());
    ASSERT_FALSE(row1Heading.isEmpty());
    const QImage cornerShot = shot(0, 0), headingShot = shot(0, 2);
    EXPECT_NE(cornerShot, shot(1, 1)) << "the corner shows its heading";
    EXPECT_EQ(row1Cell.top(), corner.bottom() + 2) << "the first row follows the fixed row, past a grid line";

    g.TopRow = 30;
    table->horizontalScrollBar()->setValue(table->horizontalScrollBar()->value() + 1);
    for (int i = 0; i < 3; ++i) DoEvents();
    EXPECT_EQ(g.TopRow(), 30);
    EXPECT_TRUE(at(1, 2).isEmpty()) << "row 1 scrolled out";
    EXPECT_TRUE(at(30, 1).isEmpty()) << "column 1 scrolled out";
    EXPECT_EQ(at(30, 2).top(), row1Cell.top()) << "the top row shows below the fixed row";
    EXPECT_EQ(at(0, 0), corner);
    EXPECT_EQ(shot(0, 0), cornerShot);
    EXPECT_EQ(at(0, 2).top(), heading.top());
    EXPECT_LT(at(0, 2).left(), heading.left()) << "a heading moves sideways with its column";
    EXPECT_EQ(shot(0, 2), headingShot);
    EXPECT_EQ(at(30, 0).left(), row1Heading.left()) << "the fixed column stays at the left";
    EXPECT_EQ(at(30, 0).top(), at(30, 2).top());
    const std::string out = std::getenv("LUMAREL_BIN") ? std::string(std::getenv("LUMAREL_BIN")) + "/../test-output"
                                                      : root_.path() + "/test-output";
    std::filesystem::create_directories(out);
    EXPECT_TRUE(f.SaveImage(out + "/grid_scrolled_both_ways.png"));

    // A click on a heading reaches the grid's Click and leaves the current cell where it was.
    int clicks = 0, moves = 0;
    g.Click = [&] { ++clicks; };
    g.RowColChange = [&] { ++moves; };
    const int32_t row = g.Row();
    clickAt(table, at(0, 2).center());
    clickAt(table, at(0, 0).center());
    clickAt(table, at(31, 0).center());
    EXPECT_EQ(clicks, 3);
    EXPECT_EQ(moves, 0);
    EXPECT_EQ(g.Row(), row);
    // A click on a cell of the body makes it current.
    clickAt(table, at(31, 2).center());
    EXPECT_EQ(g.Row(), 31);
    EXPECT_EQ(g.Col(), 2);
    EXPECT_EQ(moves, 1);

    // Without a horizontal scroll bar the grid never moves sideways, though its columns are
    // wider than it: a cell of the widest column made current leaves them where they are.
    g.ScrollBars = 2;
    table->horizontalScrollBar()->setValue(0);
    for (int i = 0; i < 3; ++i) DoEvents();
    const QRect left = at(32, 1);
    g.ColWidth(2) = 9000;
    g.Row = 32;
    g.Col = 2;
    clickAt(table, at(33, 2).center());
    for (int i = 0; i < 3; ++i) DoEvents();
    EXPECT_EQ(g.Row(), 33);
    EXPECT_EQ(at(32, 1), left);
    EXPECT_EQ(table->horizontalScrollBar()->value(), 0);

    // Fewer fixed rows and columns show their former headings as ordinary cells.
    g.FixedRows = 0;
    g.FixedCols = 0;
    g.TopRow = 0;
    for (int i = 0; i < 3; ++i) DoEvents();
    EXPECT_EQ(at(0, 0).topLeft(), corner.topLeft());
    EXPECT_NE(shot(0, 0), cornerShot) << "no longer painted as a heading";
    f.Unload();
}

// The contrast of two colours as readers perceive it: 1 for the same colour, 21 for black on
// white; text wants at least 4.5.
double contrastRatio(QColor a, QColor b) {
    const auto luminance = [](QColor c) {
        const auto linear = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * linear(c.redF()) + 0.7152 * linear(c.greenF()) + 0.0722 * linear(c.blueF());
    };
    const double la = luminance(a), lb = luminance(b);
    return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

TEST_F(FormsTest, ADisabledGridKeepsItsTextReadable) {
    // A window disabled while it works (the main window during a download) still shows what its
    // columns are and what its rows hold: headings, the selected cell and the other cells.
    frmGridAlone f;
    f.Show();
    MSFlexGrid& g = f.mfgLog;
    g.Cols = 2;
    g.Rows = 3;
    g.FixedRows = 1;
    g.TextMatrix(0, 0) = "Heading";
    g.TextMatrix(0, 1) = "Other";
    g.TextMatrix(1, 1) = "selected";
    g.TextMatrix(2, 1) = "cell";
    ASSERT_EQ(g.Row(), 1);
    ASSERT_EQ(g.Col(), 1);
    auto* table = static_cast<QTableWidget*>(g.Widget());
    const auto colours = [&](int row, int col) {
        DoEvents();
        const PixelRect at = g.CellRect(row, col);
        const QImage cell = table->grab(QRect(at.left, at.top, at.right - at.left, at.bottom - at.top)).toImage();
        // The background is the commonest colour, the text the one furthest from it.
        std::map<QRgb, int> counts;
        for (int y = 0; y < cell.height(); ++y)
            for (int x = 0; x < cell.width(); ++x) ++counts[cell.pixel(x, y)];
        const QColor background(std::max_element(counts.begin(), counts.end(), [](auto& a, auto& b) {
                                    return a.second < b.second;
                                })->first);
        QColor text = background;
        for (const auto& [rgb, n] : counts)
            if (contrastRatio(QColor(rgb), background) > contrastRatio(text, background)) text = QColor(rgb);
        return std::pair{text, background};
    };
    const struct {
        const char* cell;
        int row, col;
    } cases[] = {{"a heading", 0, 0}, {"the selected cell", 1, 1}, {"an ordinary cell", 2, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.cell);
        f.Enabled = true;
        const auto [enabledText, enabledBackground] = colours(c.row, c.col);
        f.Enabled = false;
        const auto [text, background] = colours(c.row, c.col);
        // Headings keep their look whatever the grid's state.
        if (c.row == 0) {
            EXPECT_EQ(background, enabledBackground);
        }
        EXPECT_GE(contrastRatio(text, background), 4.5) << "text " << text.name().toStdString() << " on "
                                                        << background.name().toStdString();
    }
    f.Unload();
}

TEST_F(FormsTest, AGridCellShowsItsTextAsItChanges) {
    // Cells draw texts laid out once and kept: what shows must follow the text and the width.
    frmEverything f;
    f.Show();
    MSFlexGrid& g = f.mfgDevices;
    g.Cols = 2;
    g.Rows = 2;
    auto* table = static_cast<QTableWidget*>(g.Widget());
    const auto shot = [&] {
        DoEvents();
        return table->viewport()->grab(table->visualRect(table->model()->index(1, 1))).toImage();
    };
    g.TextMatrix(1, 1) = "first text";
    const QImage first = shot();
    g.TextMatrix(1, 1) = "second text";
    const QImage second = shot();
    EXPECT_NE(first, second);
    g.TextMatrix(1, 1) = "first text";
    EXPECT_EQ(shot(), first);
    // Narrowed, the text ends in an ellipsis instead of being cut; widened, it shows as before.
    const double width = g.ColWidth(1);
    g.ColWidth(1) = 600;
    const QImage narrow = shot();
    EXPECT_NE(narrow, first.copy(0, 0, narrow.width(), narrow.height()));
    g.ColWidth(1) = width;
    EXPECT_EQ(shot(), first);
    // The width a column needs follows its texts and the font.
    const double need = g.ColTextWidth(1);
    g.TextMatrix(1, 1) = "first text, longer";
    EXPECT_GT(g.ColTextWidth(1), need);
    const double longer = g.ColTextWidth(1);
    QFont larger = table->font();
    larger.setPointSizeF(larger.pointSizeF() * 2);
    table->setFont(larger);
    EXPECT_GT(g.ColTextWidth(1), longer);
    f.Unload();
}

TEST_F(FormsTest, PostedMessagesReachASubclassedTextBoxInOrderOnTheGuiThread) {
    frmEverything f;
    f.Show();
    f.txtLog.Text = "before the handle";
    user::HWND h = f.txtLog.hWnd();
    EXPECT_EQ(user::GetWindowText(h), "before the handle");  // the handle knows the text at once
    std::vector<uint32_t> seen;
    std::thread::id deliveredOn;
    user::WndProc previous = user::SetWindowProc(h, [&](user::HWND w, uint32_t msg, user::WPARAM wp, user::LPARAM lp) {
        seen.push_back(msg);
        deliveredOn = std::this_thread::get_id();
        return user::CallWindowProc(previous, w, msg, wp, lp);
    });
    std::thread library([&] {
        for (uint32_t i = 0; i < 50; ++i) user::PostMessage(h, user::WM_USER + 0x12E + (i % 3), i, 0);
        user::PostMessageText(h, user::WM_SETTEXT, 0, "library line\r\nsecond");
    });
    library.join();
    // The event loop was woken: running it alone (no explicit pump) delivers everything.
    QCoreApplication::processEvents();
    ASSERT_EQ(seen.size(), 51u);
    for (uint32_t i = 0; i < 50; ++i) EXPECT_EQ(seen[i], user::WM_USER + 0x12E + (i % 3));
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    // The text box's own procedure took the text.
    EXPECT_EQ(f.txtLog.Text(), "library line\r\nsecond");
    EXPECT_EQ(user::GetWindowText(h), "library line\r\nsecond");
    user::SetWindowProc(h, previous);
    f.Unload();
}

TEST_F(FormsTest, AWindowProcedureThatThrowsIsReportedAndNeverReachesTheEventLoop) {
    frmEverything f;
    f.Show();
    user::HWND h = f.txtName.hWnd();
    std::vector<std::string> reported;
    SetUnhandledErrorHandler([&](const std::string& line) { reported.push_back(line); });
    std::vector<uint32_t> seen;
    user::WndProc previous = user::SetWindowProc(h, [&](user::HWND w, uint32_t msg, user::WPARAM wp, user::LPARAM lp) {
        seen.push_back(msg);
        if (msg == user::WM_USER) vb::Raise(5, "txtName", "Invalid procedure call or argument");
        return user::CallWindowProc(previous, w, msg, wp, lp);
    });
    user::PostMessage(h, user::WM_USER, 0, 0);
    user::PostMessage(h, user::WM_USER + 1, 0, 0);
    EXPECT_NO_THROW(DoEvents());
    EXPECT_EQ(seen, (std::vector<uint32_t>{user::WM_USER, user::WM_USER + 1}));
    EXPECT_EQ(reported, (std::vector<std::string>{
                            "Unhandled error in WindowProc: Error #5: Invalid procedure call or argument"}));
    SetUnhandledErrorHandler(nullptr);
    user::SetWindowProc(h, previous);
    f.Unload();
}

TEST_F(FormsTest, HeldRedrawPaintsOnlyWhatChangedWhenEventsRun) {
    frmEverything f;
    f.Show();
    DoEvents();
    formstest::PaintCounter changed(f.cmdOK.Widget()), unchanged(f.cmbPort.Widget());
    f.HoldRedraw(true);
    f.cmdOK.Caption = "Changed";
    f.Refresh();
    f.HoldRedraw(false);
    EXPECT_EQ(changed.paints, 0);  // nothing painted inside the hold or on letting go
    DoEvents();
    EXPECT_GE(changed.paints, 1);
    EXPECT_EQ(unchanged.paints, 0);  // letting go did not ask for the whole window
    f.Refresh();  // outside a hold, a refresh paints all at once
    EXPECT_GE(unchanged.paints, 1);
    f.Unload();
}

TEST_F(FormsTest, TimerTicksInsideDoEventsWithoutReenteringItself) {
    frmEverything f;
    f.Show();
    int ticks = 0, depth = 0, maxDepth = 0;
    f.tmrPoll.OnTimer = [&] {
        ++ticks;
        maxDepth = std::max(maxDepth, ++depth);
        // Long work lets events run; the next tick is due meanwhile but must wait.
        clock_.Advance(50);
        DoEvents();
        --depth;
    };
    f.tmrPoll.Interval = 20;
    EXPECT_TRUE(f.tmrPoll.Enabled());
    DoEvents();
    EXPECT_EQ(ticks, 0);  // not due yet
    clock_.Advance(100);  // five ticks fall due: they merge into one
    DoEvents();
    EXPECT_EQ(ticks, 1);
    EXPECT_EQ(maxDepth, 1);
    clock_.Advance(20);
    DoEvents();
    EXPECT_EQ(ticks, 2);

    f.tmrPoll.Enabled = false;
    clock_.Advance(100);
    DoEvents();
    EXPECT_EQ(ticks, 2);
    f.tmrPoll.Enabled = true;
    clock_.Advance(20);
    DoEvents();
    EXPECT_EQ(ticks, 3);
    // Unloading stops the timer.
    f.Unload();
    clock_.Advance(100);
    DoEvents();
    EXPECT_EQ(ticks, 3);

    // A timer given its interval before the form loads runs once it loads, and again after
    // the form is shown anew.
    class frmPoll : public Form {
    public:
        frmPoll() : Form("frmPoll") {}
        Timer tmrPoll{this, "tmrPoll"};
    };
    frmPoll poll;
    int polls = 0;
    poll.tmrPoll.OnTimer = [&] { ++polls; };
    poll.tmrPoll.Interval = 20;
    for (int shown = 1; shown <= 2; ++shown) {
        poll.Show();
        clock_.Advance(20);
        DoEvents();
        EXPECT_EQ(polls, shown);
        poll.Unload();
    }
}

TEST_F(FormsTest, TextBoxCountsCrLfAndAppendsThroughSelText) {
    // The same whether the box shows or is hidden (a hidden box leaves its widget alone until it
    // is shown, and must then show what it was given).
    for (const bool hidden : {false, true}) {
        SCOPED_TRACE(hidden ? "hidden" : "shown");
        frmEverything f;
        f.Show();
        TextBox& t = f.txtLog;
        t.Visible = !hidden;
        int changes = 0;
        t.Change = [&] { ++changes; };
        t.Text = "one\r\ntwo";
        EXPECT_EQ(changes, 1);
        t.SelStart = int32_t(t.Text().size());
        t.SelText = "\r\nthree";
        EXPECT_EQ(t.Text(), "one\r\ntwo\r\nthree");
        EXPECT_EQ(t.SelStart(), 15);
        EXPECT_EQ(changes, 2);
        t.SelStart = 5;
        t.SelLength = 3;
        EXPECT_EQ(t.SelText(), "two");
        t.SelText = "2";
        EXPECT_EQ(t.Text(), "one\r\n2\r\nthree");
        t.SelStart = 0;
        t.SelLength = 3;
        EXPECT_EQ(user::GetWindowText(t.hWnd()), "one\r\n2\r\nthree");

        t.Visible = true;
        auto* edit = qobject_cast<QPlainTextEdit*>(t.Widget());
        ASSERT_TRUE(edit);
        EXPECT_EQ(edit->toPlainText().toStdString(), "one\n2\nthree");
        EXPECT_EQ(edit->textCursor().selectedText().toStdString(), "one");
        EXPECT_EQ(t.SelText(), "one");
        // Windows-1252 texts survive the widget.
        t.Text = "caf\xE9 \x80";
        EXPECT_EQ(t.Text(), "caf\xE9 \x80");
        f.Unload();
    }
}

// A console echoes an arrow key as ESC [ A: the box keeps the escape in its text, and shows it as
// nothing (not as a missing-glyph box), as it shows every control character it does not act on.
// An edit the user makes in the widget leaves those characters in the text.
TEST_F(FormsTest, ATextBoxShowsNoGlyphForAControlCharacterItDoesNotActOn) {
    frmEverything f;
    f.Show();
    for (TextBox* box : {&f.txtLog, &f.txtName}) {
        SCOPED_TRACE(box->Name);
        QWidget* w = box->Widget();
        auto* edit = qobject_cast<QPlainTextEdit*>(w);
        auto* line = qobject_cast<QLineEdit*>(w);
        ASSERT_TRUE(edit || line);
        QWidget* face = edit ? edit->viewport() : w;
        const auto picture = [&](const std::string& text) {
            box->Text = text;
            w->clearFocus();
            DoEvents();
            return face->grab().toImage().convertToFormat(QImage::Format_RGB32);
        };
        const std::string controls = "> \x1b[A\x03\x7f\x81\x1b[D";
        EXPECT_TRUE(picture(controls) == picture("> [A[D"));
        EXPECT_FALSE(picture(controls) == picture("> [A [D"));  // the pictures do tell texts apart
        picture(controls);
        EXPECT_EQ(box->Text(), controls);
        int changes = 0;
        box->Change = [&] { ++changes; };
        if (edit) {
            QTextCursor c = edit->textCursor();
            c.movePosition(QTextCursor::End);
            c.insertText("z");
            c.setPosition(1);
            c.deletePreviousChar();
        } else {
            line->end(false);
            line->insert("z");
            line->home(false);
            line->del();
        }
        EXPECT_EQ(box->Text(), " \x1b[A\x03\x7f\x81\x1b[Dz");
        EXPECT_EQ(changes, 2);
        box->Change = nullptr;
    }
    f.Unload();
}

// What leaves a box for the clipboard is the text it holds, not what it shows: the control
// characters it shows as nothing go out as themselves, by the copy and cut keys, by its context
// menu's Copy, and after its Select All.
TEST_F(FormsTest, CopyingFromATextBoxGivesTheClipboardTheControlCharactersItHolds) {
    frmEverything f;
    f.Show();
    const auto key = [](QWidget* w, Qt::Key k, char typed) {
        QKeyEvent press(QEvent::KeyPress, k, Qt::ControlModifier, QString(QChar(typed)));
        QApplication::sendEvent(w, &press);
    };
    const auto menu = [](QWidget* w, std::initializer_list<const char*> items) {
        for (const char* item : items) {  // the menu opened once for each, as a user does
            std::unique_ptr<QMenu> m;
            if (auto* edit = qobject_cast<QPlainTextEdit*>(w)) m.reset(edit->createStandardContextMenu());
            else m.reset(qobject_cast<QLineEdit*>(w)->createStandardContextMenu());
            const auto actions = m->actions();
            const auto action = std::find_if(actions.begin(), actions.end(), [&](QAction* a) {
                return a->text().remove('&').section('\t', 0, 0) == QLatin1String(item);
            });
            ASSERT_NE(action, actions.end()) << item;
            (*action)->trigger();
        }
    };
    struct Way {
        const char* name;
        std::function<void(QWidget*)> act;
        bool all;  // the whole text goes
        bool cut;
    };
    const Way ways[] = {
        {"Ctrl+C", [&](QWidget* w) { key(w, Qt::Key_C, '\x03'); }, false, false},
        {"Copy from the menu", [&](QWidget* w) { menu(w, {"Copy"}); }, false, false},
        {"Select All, then Copy from the menu", [&](QWidget* w) { menu(w, {"Select All", "Copy"}); }, true, false},
        {"Ctrl+X", [&](QWidget* w) { key(w, Qt::Key_X, '\x18'); }, false, true},
    };
    for (TextBox* box : {&f.txtLog, &f.txtName}) {
        const bool multi = box->MultiLineMode();
        // A multi-line box gives out its line ends as the widget has them.
        const std::string text = multi ? "> \x1b[A\x03 ok\x7f\r\nnext \x81" : "> \x1b[A\x03 ok\x7f next \x81";
        const std::string given = multi ? "> \x1b[A\x03 ok\x7f\nnext \x81" : text;
        for (const Way& way : ways) {
            SCOPED_TRACE(box->Name + ": " + way.name);
            box->Text = text;
            box->SelStart = 2;
            box->SelLength = 6;  // ESC [ A ^C " o"
            Clipboard::Clear();
            way.act(box->Widget());
            DoEvents();
            EXPECT_EQ(Clipboard::GetText(), way.all ? given : text.substr(2, 6));
            EXPECT_EQ(box->Text(), way.cut ? text.substr(0, 2) + text.substr(8) : text);
        }
    }
    f.Unload();
}

TEST_F(FormsTest, SmallControlsBehaveAsTheWindowsExpect) {
    frmEverything f;
    f.Show();
    // Choosing a menu item runs Click; ticking it is the handler's business.
    int opened = 0;
    f.mnuFileOpen.Click = [&] { ++opened; };
    f.mnuFileOpen.Checked = true;
    f.mnuFileOpen.Choose();
    EXPECT_EQ(opened, 1);
    EXPECT_TRUE(f.mnuFileOpen.Checked());
    f.mnuFileOpen.Enabled = false;
    f.mnuFileOpen.Choose();
    EXPECT_EQ(opened, 1);
    EXPECT_EQ(f.mnuFileOpen.Caption(), "&Open...");

    // Check box and option buttons raise Click when their value changes, also in code.
    int checks = 0, fast = 0;
    f.chkVerbose.Click = [&] { ++checks; };
    f.optFast.Click = [&] { ++fast; };
    f.chkVerbose.Value = 1;
    f.chkVerbose.Value = 1;
    EXPECT_EQ(checks, 1);
    f.optFast.Value = true;
    EXPECT_EQ(fast, 1);
    f.optSlow.Value = true;
    EXPECT_FALSE(f.optFast.Value());  // one of a container's options at a time

    int captions = 0;
    f.lblTitle.Change = [&] { ++captions; };
    f.lblTitle.Caption = "Devices";  // unchanged
    f.lblTitle.Caption = "2 devices";
    EXPECT_EQ(captions, 1);

    f.pgbDownload.Max = 2.5;
    f.pgbDownload.Value = 1.25;
    EXPECT_EQ(f.pgbDownload.Value(), 1.25);
    EXPECT_EQ(errorNumber([&] { f.pgbDownload.Min = 3; }), 380);

    EXPECT_EQ(errorNumber([&] { f.imgLogo.Picture = root_.path() + "/none.png"; }), 53);
    std::string html = root_.path() + "/help.html";
    std::ofstream(html) << "<html><body><h1>Imagelift help</h1><p>Downloads firmware.</p></body></html>";
    f.WebBrowser1.Navigate(html);
    EXPECT_NE(f.WebBrowser1.DocumentText().find("Downloads firmware."), std::string::npos);
    EXPECT_EQ(f.WebBrowser1.LocationURL(), html);

    f.RTB1.FontName = "Courier New";
    f.RTB1.FontSize = 8.25;
    int rtbChanges = 0;
    f.RTB1.Change = [&] { ++rtbChanges; };
    for (int i = 0; i < 2; ++i) f.RTB1.Text = "ROM\r\n0400 0000";  // the same text twice: one Change
    EXPECT_EQ(f.RTB1.Text(), "ROM\r\n0400 0000");
    EXPECT_EQ(rtbChanges, 1);
    f.Unload();
}

// The tab order starts as the declaration order; a control given a TabIndex takes that place,
// the others keep their order around it, and the keyboard walks the widgets the same way. A
// form's font is what its controls show unless they choose their own.
TEST_F(FormsTest, TabOrderAndTheFormsFont) {
    frmEverything f;
    f.Show();
    EXPECT_EQ(f.lblTitle.TabIndex(), 0);
    EXPECT_EQ(f.txtName.TabIndex(), 1);
    EXPECT_EQ(f.cmdOK.TabIndex(), 3);
    f.cmdOK.TabIndex = 1;
    EXPECT_EQ(f.lblTitle.TabIndex(), 0);
    EXPECT_EQ(f.cmdOK.TabIndex(), 1);
    EXPECT_EQ(f.txtName.TabIndex(), 2);
    EXPECT_EQ(f.txtLog.TabIndex(), 3);
    EXPECT_EQ(f.cmdOK.Widget()->nextInFocusChain(), f.txtName.Widget());
    f.txtLog.TabIndex = 1000;  // beyond the end: the last place among the controls with a window
    const auto windowed = std::count_if(f.Controls().begin(), f.Controls().end(), [](Control* c) { return c->Widget(); });
    EXPECT_EQ(f.txtLog.TabIndex(), int32_t(windowed) - 1);
    EXPECT_EQ(f.tmrPoll.TabIndex(), -1);  // a timer has no place in it
    EXPECT_EQ(errorNumber([&] { f.txtLog.TabIndex = -1; }), 380);

    f.FontName = "Courier New";
    EXPECT_EQ(f.FontName(), "Courier New");
    EXPECT_EQ(f.lblTitle.Widget()->font().family().toStdString(), "Courier New");
    f.Unload();
}

TEST_F(FormsTest, ListsOfItemsFoldersAndFiles) {
    frmEverything f;
    f.Show();
    ListBox& lst = f.lstFiles;
    lst.Sorted = true;
    for (auto [item, data] : {std::pair{"beta", 2}, {"Alpha", 1}, {"gamma", 3}}) {
        lst.AddItem(item);
        lst.ItemData(lst.NewIndex()) = data;
    }
    EXPECT_EQ(lst.List(0)(), "Alpha");
    EXPECT_EQ(lst.ItemData(0)(), 1);  // the data stays with its item
    EXPECT_EQ(lst.ItemData(1)(), 2);
    EXPECT_EQ(lst.List(2)(), "gamma");
    int clicks = 0;
    lst.Click = [&] { ++clicks; };
    lst.ListIndex = 1;
    EXPECT_EQ(lst.Text(), "beta");
    EXPECT_EQ(clicks, 1);
    lst.RemoveItem(0);
    EXPECT_EQ(lst.ListCount(), 2);
    EXPECT_EQ(errorNumber([&] { lst.RemoveItem(5); }), 5);

    ComboBox& cmb = f.cmbPort;
    cmb.AddItem("COM1");
    cmb.AddItem("COM2");
    cmb.ItemData(1) = 42;
    cmb.ListIndex = 1;
    EXPECT_EQ(cmb.Text(), "COM2");
    EXPECT_EQ(cmb.ItemData(1)(), 42);
    cmb.ListIndex = -1;
    EXPECT_EQ(cmb.Text(), "");
    int edits = 0;
    cmb.Change = [&] { ++edits; };
    for (int i = 0; i < 2; ++i) cmb.Text = "COM9";  // the same text twice: one Change
    EXPECT_EQ(cmb.Text(), "COM9");
    EXPECT_EQ(edits, 1);

    // Folders: List(-1) is the current folder, List(0..) its sub-folders.
    std::filesystem::path base = root_.path();
    std::filesystem::create_directories(base / "pkgs" / "Beta");
    std::filesystem::create_directories(base / "pkgs" / "alpha");
    std::ofstream(base / "pkgs" / "App.FWP") << "x";
    std::ofstream(base / "pkgs" / "boot.fwp") << "x";
    std::ofstream(base / "pkgs" / "notes.txt") << "x";
    int dirChanges = 0;
    f.Dir1.Change = [&] { ++dirChanges; };
    f.Dir1.Path = (base / "pkgs").string();
    f.Dir1.Path = (base / "pkgs" / ".").string();  // the same folder: no Change
    EXPECT_EQ(dirChanges, 1);
    EXPECT_EQ(f.Dir1.List(-1), (base / "pkgs").string());
    EXPECT_EQ(f.Dir1.List(-2), base.string());
    ASSERT_EQ(f.Dir1.ListCount(), 2);
    EXPECT_EQ(f.Dir1.List(0), (base / "pkgs" / "alpha").string());
    EXPECT_EQ(errorNumber([&] { f.Dir1.Path = (base / "missing").string(); }), 76);
    EXPECT_EQ(f.Drive1.ListCount() >= 1, true);
    f.Drive1.Drive = base.string();  // the file system holding the folder
    EXPECT_EQ(f.Drive1.List(0), "/");

    f.File1.Path = f.Dir1.Path();
    f.File1.Pattern = "*.fwp";  // without regard to case
    ASSERT_EQ(f.File1.ListCount(), 2);
    EXPECT_EQ(f.File1.List(0), "App.FWP");
    f.File1.Pattern = "*.txt;*.FWP";
    EXPECT_EQ(f.File1.ListCount(), 3);
    f.Unload();
}

TEST_F(FormsTest, TreeAndListViewsKeepKeysOrderAndSorting) {
    frmEverything f;
    f.Show();
    auto& nodes = f.trvRom.Nodes;
    nodes.Add("", tvwLast, "root", "Config ROM");
    nodes.Add("root", tvwChild, "bus", "Bus info block");
    nodes.Add("bus", tvwNext, "dir", "Root directory");
    nodes.Add("bus", tvwPrevious, "hdr", "Header");
    EXPECT_EQ(nodes.Count(), 4);
    EXPECT_EQ(nodes(3).Key(), "dir");
    EXPECT_EQ(nodes.Item("dir").Parent(), &nodes.Item("root"));
    EXPECT_EQ(nodes.Item("root").Children(), 3);
    EXPECT_EQ(errorNumber([&] { nodes.Add("", tvwLast, "bus", "again"); }), 35602);
    EXPECT_EQ(errorNumber([&] { nodes.Add("nowhere", tvwChild, "x", "x"); }), 35601);
    EXPECT_EQ(nodes.Count(), 4);

    nodes.Clear();
    EXPECT_EQ(nodes.Count(), 0);

    ListView& lv = f.lvwPackages;
    lv.ColumnHeaders.Add("File", 2400);
    lv.ColumnHeaders.Add("Version", 1200, lvwColumnRight);
    for (auto [file, version] : {std::pair{"b.fwp", "2"}, {"A.fwp", "3"}, {"c.fwp", "1"}})
        lv.ListItems.Add(file).SubItems(1) = version;
    EXPECT_EQ(lv.ListItems(1).Text(), "b.fwp");
    lv.Sorted = true;
    EXPECT_EQ(lv.ListItems(1).Text(), "A.fwp");  // without regard to case
    lv.SortKey = 1;
    lv.SortOrder = lvwDescending;
    EXPECT_EQ(lv.ListItems(1).Text(), "A.fwp");
    EXPECT_EQ(lv.ListItems(3).SubItems(1)(), "1");
    std::vector<std::string> clicked;
    lv.ItemClick = [&](ListItem& item) { clicked.push_back(item.Text()); };
    lv.SetSelectedItem(&lv.ListItems(2));
    EXPECT_EQ(lv.SelectedItem(), &lv.ListItems(2));
    EXPECT_TRUE(clicked.empty());  // selecting in code raises nothing
    // A click reports its item once, also a click on the item already selected.
    auto* tree = static_cast<QTreeWidget*>(lv.Widget());
    DoEvents();
    for (int row : {0, 0}) {
        QPoint at = tree->visualItemRect(tree->topLevelItem(row)).center();
        for (QEvent::Type type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QMouseEvent e(type, at, tree->viewport()->mapToGlobal(at), Qt::LeftButton,
                          type == QEvent::MouseButtonPress ? Qt::LeftButton : Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(tree->viewport(), &e);
        }
    }
    EXPECT_EQ(clicked, (std::vector<std::string>{"A.fwp", "A.fwp"}));
    DoEvents();
    QKeyEvent down(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier);
    QApplication::sendEvent(tree, &down);  // the keyboard moves the selection: reported too
    EXPECT_EQ(clicked, (std::vector<std::string>{"A.fwp", "A.fwp", "b.fwp"}));
    f.Unload();
}

TEST_F(FormsTest, TopLevelFormsArePublishedForOtherProcesses) {
    frmEverything f;
    f.Caption = "Published Window";
    auto foundByOtherProcess = [](const char* cls, const char* caption) {
        std::string program = FORMS_FIND_WINDOW;
        std::string clsArg = cls ? cls : "-", captionArg = caption ? caption : "-";
        char* argv[] = {program.data(), clsArg.data(), captionArg.data(), nullptr};
        pid_t pid = 0;
        if (::posix_spawn(&pid, program.c_str(), nullptr, nullptr, argv, environ) != 0) return false;
        int status = 0;
        ::waitpid(pid, &status, 0);
        return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    EXPECT_FALSE(foundByOtherProcess(nullptr, "Published Window"));
    f.Load();
    EXPECT_EQ(f.Caption(), "Everything");  // the design caption
    f.Caption = "Published Window";
    EXPECT_TRUE(foundByOtherProcess(nullptr, "Published Window"));
    EXPECT_TRUE(foundByOtherProcess("ThunderRT6FormDC", nullptr));
    EXPECT_FALSE(foundByOtherProcess(nullptr, "Published"));
    f.Unload();
    EXPECT_FALSE(foundByOtherProcess(nullptr, "Published Window"));

    // The program's hidden application window outlives its forms.
    App().Title = "Imagelift";
    EXPECT_FALSE(foundByOtherProcess("ThunderRT6Main", nullptr));
    user::HWND app = PublishApplicationWindow();
    EXPECT_EQ(PublishApplicationWindow(), app);
    EXPECT_TRUE(foundByOtherProcess("ThunderRT6Main", "Imagelift"));
    user::WithdrawTopWindow(app);
}

// The frame of the program and a child with a device grid.
class frmFrame : public MDIForm {
public:
    frmFrame() : MDIForm("MDIForm1") {}
    Menu mnuWindow{this, "mnuWindow", "&Window"};
    Menu mnuCascade{&mnuWindow, "mnuCascade", "&Cascade"};

protected:
    void Form_Design() override {
        Caption = "Downloader / Shell";
        Move(0, 0, 12000, 9000);
        mnuWindow.WindowList = true;
    }
};

class frmGrid : public Form {
public:
    frmGrid() : Form("frmGrid", true) {}
    std::vector<std::string> events;
    bool refuse = false;
    int resizes = 0;
    Menu mnuDevice{this, "mnuDevice", "&Device"};
    Menu mnuDeviceReset{&mnuDevice, "mnuDeviceReset", "&Reset"};
    MSFlexGrid mfgDevices{this, "mfgDevices"};

protected:
    void Form_Design() override {
        Caption = "Devices";
        Move(300, 450, 7500, 3000);
        mfgDevices.Move(0, 0, 7200, 2400);
        mfgDevices.Cols = 4;
        mfgDevices.FixedCols = 0;
        mfgDevices.TextMatrix(0, 0) = "Node";
        mfgDevices.TextMatrix(0, 1) = "GUID";
        mfgDevices.TextMatrix(0, 2) = "Vendor";
        mfgDevices.TextMatrix(0, 3) = "State";
        mfgDevices.ColWidth(1) = 2400;
        mfgDevices.TextMatrix(1, 0) = "0";
        mfgDevices.TextMatrix(1, 1) = "0A 3C 7E 10 00 01 00 02";
        mfgDevices.TextMatrix(1, 2) = "Lumarel";
        mfgDevices.TextMatrix(1, 3) = "Bootloader Running";
    }
    void Form_Resize() override {
        ++resizes;
        if (WindowState() != vbMinimized) mfgDevices.Width = std::max(0.0, ScaleWidth() - 120);
    }
    void Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) override {
        events.push_back("QueryUnload " + std::to_string(UnloadMode));
        Cancel = refuse;
    }
    void Form_Unload(int32_t&) override { events.push_back("Unload"); }
};

TEST_F(FormsTest, MdiChildPlacesFromTheClientAreaAndTheFrameSavesAsPng) {
    frmFrame frame;
    frmGrid child;
    child.Show();
    EXPECT_TRUE(frame.IsLoaded());  // the child loads its frame and shows it
    EXPECT_TRUE(frame.Visible());
    frame.Show();
    EXPECT_EQ(child.Left(), 300);
    EXPECT_EQ(child.Top(), 450);
    EXPECT_EQ(child.Width(), 7500);
    auto origin = child.ParentOriginPx();
    auto rect = child.WindowRectPx();
    EXPECT_EQ(rect.left - origin.x, 20);
    EXPECT_EQ(rect.top - origin.y, 30);
    EXPECT_EQ(frame.ActiveForm(), &child);
    EXPECT_EQ(frame.TypeName(), "MDIForm");
    // One change of size raises one Resize, though the child's frame and inside both report it.
    int before = child.resizes;
    child.Width = 8000;
    EXPECT_EQ(child.resizes - before, 1);
    DoEvents();
    child.Width = 8000;
    DoEvents();
    EXPECT_EQ(child.resizes - before, 1);
    child.Width = 7500;
    // The active child's menus stand in the frame's menu bar.
    auto barCaptions = [&] {
        std::vector<std::string> v;
        for (QAction* a : frame.MenuBar()->actions()) v.push_back(a->text().toStdString());
        return v;
    };
    EXPECT_EQ(barCaptions(), std::vector<std::string>{"&Device"});

    // Kept beside the build's programs for a person to look at; without them, in the test's own root.
    std::string dir = std::getenv("LUMAREL_BIN") ? std::string(std::getenv("LUMAREL_BIN")) + "/../test-output"
                                                 : root_.path() + "/test-output";
    std::filesystem::create_directories(dir);
    std::string png = std::filesystem::weakly_canonical(dir + "/mdi_frame_with_grid.png").string();
    DoEvents();
    ASSERT_TRUE(frame.SaveImage(png));
    std::cout << "Sample MDI frame saved to " << png << "\n";
    EXPECT_GT(std::filesystem::file_size(png), 1000u);

    child.Unload();
    EXPECT_EQ(barCaptions(), std::vector<std::string>{"&Window"});
    child.Show();

    // A child can keep the frame open; otherwise every child is asked, then unloads.
    child.refuse = true;
    child.events.clear();
    EXPECT_FALSE(frame.Unload());
    EXPECT_TRUE(frame.IsLoaded());
    EXPECT_TRUE(child.IsLoaded());
    child.refuse = false;
    EXPECT_TRUE(frame.Unload());
    EXPECT_EQ(child.events, (std::vector<std::string>{"QueryUnload 4", "QueryUnload 4", "Unload"}));
    EXPECT_FALSE(child.IsLoaded());
    EXPECT_TRUE(frame.ChildForms().empty());
}

TEST_F(FormsTest, TheFramesClientAreaLeavesOutTheScrollBarsItsChildrenBringAndGo) {
    frmFrame frame;
    frame.Show();
    frame.Move(0, 0, 12000, 6000);
    frmGrid child;
    child.Show();
    child.Move(0, 0, 7500, 3000);
    const double width = frame.ScaleWidth(), height = frame.ScaleHeight();
    child.Move(0, 6000);  // below the client area: the frame shows a scroll bar
    DoEvents();
    EXPECT_EQ(frame.ScaleWidth(), width);
    EXPECT_EQ(frame.ScaleHeight(), height);
    // Sized around the child while the scroll bar still shows, the frame holds it exactly.
    frame.Height = frame.Height() - frame.ScaleHeight() + 9000;
    EXPECT_EQ(frame.ScaleHeight(), 9000);
    DoEvents();
    EXPECT_EQ(frame.ScaleHeight(), 9000);
    child.Unload();
}

// A child that sizes itself around its controls while it loads, before it is shown, as the
// program's windows do: its client area must measure then what it measures on screen.
class frmSizedAtLoad : public Form {
public:
    frmSizedAtLoad() : Form("frmSizedAtLoad", true) {}
    Frame fraList{this, "fraList"};
    double loadScaleWidth = 0, loadScaleHeight = 0;

protected:
    void Form_Design() override {
        Move(0, 0, 4000, 3000);
        fraList.Move(0, 0, 9000, 6000);
    }
    void Form_Load() override {
        Height = fraList.Top() + fraList.Height() + (Height() - ScaleHeight());
        Width = fraList.Left() + fraList.Width() + (Width() - ScaleWidth());
        loadScaleWidth = ScaleWidth();
        loadScaleHeight = ScaleHeight();
    }
};

TEST_F(FormsTest, AnMdiChildMeasuresItsClientAreaBeforeItShows) {
    frmFrame frame;
    frame.Show();
    frame.Move(0, 0, 15000, 12000);
    frmSizedAtLoad child;
    child.Load();
    EXPECT_EQ(child.loadScaleWidth, 9000);
    EXPECT_EQ(child.loadScaleHeight, 6000);
    const double width = child.Width(), height = child.Height();
    EXPECT_GT(width, 9000);
    EXPECT_GT(height, 6000);
    child.Show();
    DoEvents();
    EXPECT_EQ(child.Width(), width);
    EXPECT_EQ(child.Height(), height);
    EXPECT_EQ(child.ScaleWidth(), 9000);
    EXPECT_EQ(child.ScaleHeight(), 6000);
    child.Unload();
}

// A child loaded before it is shown (as a window that gets its settings between load and show)
// sees its own client area in Form_Load and can size itself by it.
TEST_F(FormsTest, MdiChildLoadedBeforeItShowsKnowsItsClientArea) {
    class frmSized : public Form {
    public:
        frmSized() : Form("frmSized", true) {}
        Frame fraBox{this, "fraBox"};
        double clientWidthAtLoad = 0, clientHeightAtLoad = 0;

    protected:
        void Form_Design() override { fraBox.Move(60, 60, 6000, 3000); }
        void Form_Load() override {
            Height = (Height() - ScaleHeight()) + fraBox.Top() + fraBox.Height();
            Width = (Width() - ScaleWidth()) + fraBox.Left() + fraBox.Width();
            clientWidthAtLoad = ScaleWidth();
            clientHeightAtLoad = ScaleHeight();
        }
    };
    frmFrame frame;
    frame.Show();
    frmSized child;
    child.Load();
    EXPECT_EQ(child.clientWidthAtLoad, 6060);
    EXPECT_EQ(child.clientHeightAtLoad, 3060);
    child.Show();
    EXPECT_EQ(child.ScaleWidth(), 6060);
    EXPECT_EQ(child.ScaleHeight(), 3060);
    frame.Unload();
}

TEST_F(FormsTest, DialogsGoThroughThePresenter) {
    ScriptedPresenter scripted;
    ScopedPresenter use(scripted);
    App().Title = "Imagelift";
    scripted.AnswerMessage(vbYes);
    scripted.AnswerInput(std::string("  support@example.com "));
    EXPECT_EQ(MsgBox("Add one?", vbYesNo + vbQuestion), vbYes);
    EXPECT_EQ(InputBox("Enter the address:", "Support E-mail"), "  support@example.com ");
    EXPECT_EQ(InputBox("Again?"), "");  // nothing scripted: cancelled
    ASSERT_EQ(scripted.asked().size(), 3u);
    EXPECT_EQ(scripted.asked()[0].title, "Imagelift");  // an empty title is the program's
    EXPECT_EQ(scripted.asked()[0].buttons, vbYesNo + vbQuestion);
    EXPECT_EQ(scripted.asked()[1].title, "Support E-mail");
    EXPECT_EQ(scripted.unscripted(), 1);

    frmEverything f;
    f.Show();
    scripted.AnswerFile("/tmp/rom");
    f.CommonDialog1.DefaultExt = "txt";
    f.CommonDialog1.ShowSave();
    EXPECT_EQ(f.CommonDialog1.FileName, "/tmp/rom.txt");
    f.CommonDialog1.ShowSave();  // cancelled
    EXPECT_EQ(f.CommonDialog1.FileName, "");
    f.CommonDialog1.CancelError = true;
    EXPECT_EQ(errorNumber([&] { f.CommonDialog1.ShowOpen(); }), 32755);

    Clipboard::SetText("0A 3C");
    EXPECT_EQ(Clipboard::GetText(), "0A 3C");
    f.Unload();
}

TEST_F(FormsTest, WithoutADisplayDialogsAnswerAtOnce) {
    // Nobody can answer on the offscreen platform: the question is told and answered as
    // unattended instead of waiting for ever.
    EnsureApplication();
    ASSERT_EQ(QGuiApplication::platformName(), "offscreen");
    EXPECT_EQ(MsgBox("Overwrite?", vbYesNo), vbNo);
    EXPECT_EQ(MsgBox("Done."), vbOK);
    EXPECT_EQ(InputBox("Enter the address:", "Support E-mail", "x"), "");
    frmEverything f;
    f.Show();
    f.CommonDialog1.ShowOpen();
    EXPECT_EQ(f.CommonDialog1.FileName, "");
    f.Unload();
}

TEST_F(FormsTest, AModalDialogRunsPostedMessagesUntilItCloses) {
    class frmAbout : public Form {
    public:
        frmAbout() : Form("frmAbout") {}
        int queries = 0;

    protected:
        void Form_QueryUnload(int32_t&, int32_t UnloadMode) override {
            ++queries;
            EXPECT_EQ(UnloadMode, vbFormControlMenu);
        }
    };
    frmAbout about;
    about.Load();
    // Closing through the window's message, as another thread or program would.
    user::PostMessage(about.hWnd(), user::WM_CLOSE, 0, 0);
    QTimer lost;  // ends the dialog only if the message were lost
    lost.setSingleShot(true);
    QObject::connect(&lost, &QTimer::timeout, [&] { about.Hide(); });
    lost.start(10000);
    about.Show(vbModal);
    EXPECT_FALSE(about.IsLoaded());
    EXPECT_EQ(about.queries, 1);
}

TEST_F(FormsTest, KeyPreviewSeesKeysBeforeTheControl) {
    class frmKeys : public Form {
    public:
        frmKeys() : Form("frmKeys") {}
        TextBox Text1{this, "Text1"};
        std::vector<std::string> seen;

    protected:
        void Form_Design() override { KeyPreview = true; }
        void Form_Load() override {
            Text1.KeyPress = [this](int32_t& k) {
                seen.push_back("control " + std::to_string(k));
                if (k == 22) k = 0;  // no paste
            };
        }
        void Form_KeyPress(int32_t& KeyAscii) override {
            seen.push_back("form " + std::to_string(KeyAscii));
            if (KeyAscii == 'x') KeyAscii = 0;  // swallowed
            if (KeyAscii == 'b') KeyAscii = 'B';  // typed as another character
        }
    };
    frmKeys f;
    f.Show();
    for (auto [key, text, mods] : {std::tuple{Qt::Key_A, "a", Qt::NoModifier}, {Qt::Key_X, "x", Qt::NoModifier},
                                   {Qt::Key_V, "\x16", Qt::ControlModifier}, {Qt::Key_B, "b", Qt::NoModifier}}) {
        QKeyEvent press(QEvent::KeyPress, key, mods, QString::fromLatin1(text));
        QApplication::sendEvent(f.Text1.Widget(), &press);
    }
    const std::vector<std::string> expected = {"form 97", "control 97", "form 120", "form 22",
                                               "control 22", "form 98", "control 66"};
    EXPECT_EQ(f.seen, expected);
    EXPECT_EQ(f.Text1.Text(), "aB");
    f.Unload();
}

}  // namespace

namespace {

// A positive height names the character cell: the largest em whose ascent and descent fit it.
// A negative height names the em; zero leaves the desktop's size.
TEST_F(FormsTest, AFontHeightIsTheCellAndANegativeOneTheEm) {
    EnsureApplication();
    for (int32_t height = 8; height <= 24; ++height) {
        const QFont font = LogicalFont("Arial", height);
        EXPECT_LE(QFontMetrics(font).height(), height) << height;
        QFont larger = font;
        larger.setPixelSize(font.pixelSize() + 1);
        EXPECT_GT(QFontMetrics(larger).height(), height) << height;
        EXPECT_LT(font.pixelSize(), height) << "the em is smaller than the cell, " << height;
    }
    EXPECT_EQ(LogicalFont("Arial", -12).pixelSize(), 12);
    EXPECT_EQ(LogicalFont("Arial", 0).pixelSize(), QFont().pixelSize());
    EXPECT_EQ(LogicalFont("Arial", 12, 700).weight(), QFont::Bold);
    EXPECT_EQ(LogicalFont("Arial", 12, 0).weight(), QFont::Normal);
    EXPECT_EQ(LogicalFont("Arial", 12).family(), "Arial");
}

}  // namespace
