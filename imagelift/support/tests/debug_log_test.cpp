#include "support/debug_log.h"

#include <gtest/gtest.h>

#include "support/db_manager.h"
#include "tests/support_fixture.h"
#include "vbrt/error.h"

namespace {

using basDebug::LevelArg;
using supporttest::SupportTest;

TEST(LevelNumber, NumbersTextsAndWords) {
    struct Case { LevelArg level; int32_t expected; const char* why; };
    const Case cases[] = {
        {{}, 5, "missing"},
        {"", 5, "empty text"},
        {"no level here", 5, "no word"},
        {"11", 11, "numeric text"},
        {13, 13, "number"},
        {0, 0, "zero"},
        {-1, 5, "negative: its text does not begin with a digit"},
        {" 11", 5, "a leading blank is not a digit"},
        {"11.5", 12, "halves round to even"},
        {"7 WARNING", 7, "leading number of a digit-led text"},
        {"7abc", 7, "leading number"},
        {"99999999999", 2147483647, "clamped"},
        {"warning", 7, "lower case"},
        {"xx Warning yy", 7, "inside a text"},
        {"ERROR WATCH", 9, "WATCH is tried before ERROR"},
        {"USER ERROR", 11, "ERROR is tried before USER"},
        {"DLL DEBUG SPEW", 13, "library lines"},
        {"NONE", 17, "none"},
        {"errors", 11, "substring"},
        {"detail", 1, "detail"},
        {"mutex", 3, "mutex"},
        {"FATAL", 15, "fatal"},
    };
    for (const auto& c : cases) EXPECT_EQ(basDebug::LevelNumber(c.level), c.expected) << c.why;
}

TEST(LevelName, NamesOnlyTheOddLevels) {
    const char* names[] = {"DETAIL", "MUTEX", "TRACE", "WARNING", "WATCH", "ERROR", "USER", "FATAL", "NONE"};
    for (int i = 0; i < 9; ++i) EXPECT_EQ(basDebug::LevelName(1 + 2 * i), names[i]);
    for (int32_t other : {0, 2, 19, -1, 12}) EXPECT_EQ(basDebug::LevelName(other), "unknown");
}

TEST(RunTimeText, HoursMinutesSecondsMilliseconds) {
    EXPECT_EQ(basDebug::RunTimeText(3600000), "1:00:00.000");
    EXPECT_EQ(basDebug::RunTimeText(59999), "0:00:59.999");
    EXPECT_EQ(basDebug::RunTimeText(123 * 3600000 + 61001), "123:01:01.001");
    EXPECT_EQ(basDebug::RunTimeText(-1), "0:00:00.000");
}

// A store stand-in is the real store in the test's folder; lines reach tblStatus through it.
class DebugLogTest : public SupportTest {
protected:
    void OpenStore() {
        dbschema::CreateCleanDatabase(root_ / "db1.mdb");
        Open();
    }
    // Rows of the status log as "level|module|message|runtime", skipping the store's own lines.
    std::vector<std::string> LoggedRows() {
        std::vector<std::string> rows;
        sqlite::Database db(root_ / "db1.mdb", sqlite::Database::Mode::ReadOnly);
        sqlite::Statement q(db, "SELECT Level, strModule, Message, lngRuntime FROM tblStatus "
                                "WHERE strModule <> 'clsDbManager' ORDER BY id");
        while (q.Step())
            rows.push_back(std::to_string(q.ColumnInt(0)) + "|" + *q.ColumnText(1) + "|" +
                           *q.ColumnText(2) + "|" + std::to_string(q.ColumnInt(3)));
        return rows;
    }
};

TEST_F(DebugLogTest, RoutesByLoggingLevelAndStampsTheRunTime) {
    OpenStore();
    ctx_.DebugLoggingLevel = 5;
    basDebug::DebugLog("first");                // TRACE: both sinks; starts the clock
    clock_.Advance(1500);
    basDebug::DebugLog("detail", basDebug::DETAIL, std::string("modA"));  // window only
    clock_.Advance(2);
    basDebug::DebugLog("warn", "Warning", std::string("modB"));

    ASSERT_EQ(window_.lines.size(), 3u);
    EXPECT_EQ(window_.lines[0].module, "unspecified");
    EXPECT_EQ(window_.lines[1].priority, 1);
    EXPECT_FLOAT_EQ(window_.lines[1].elapsed, 1500.0f);
    EXPECT_EQ(LoggedRows(), (std::vector<std::string>{"5|unspecified|first|0", "7|modB|warn|1502"}));
    EXPECT_EQ(beeps_, 0);
}

TEST_F(DebugLogTest, EachSinkWorksWithoutTheOther) {
    // No first status window: the table still gets the line.
    OpenStore();
    ctx_.StatusWindow0 = nullptr;
    basDebug::DebugLog("to table", basDebug::ERROR_LEVEL);
    EXPECT_EQ(LoggedRows().size(), 1u);
    // No store: the window still gets it.
    ctx_.DbManager.reset();
    ctx_.StatusWindow0 = &window_;
    basDebug::DebugLog("to window", basDebug::ERROR_LEVEL);
    ASSERT_EQ(window_.lines.size(), 1u);
    EXPECT_EQ(window_.lines[0].message, "to window");
}

TEST_F(DebugLogTest, FatalAndNoneBeepThreeTimesWithoutAnySink) {
    ctx_.StatusWindow0 = nullptr;
    basDebug::DebugLog("fatal", "FATAL");
    EXPECT_EQ(beeps_, 3);
    basDebug::DebugLog("none", 17);
    EXPECT_EQ(beeps_, 6);
    basDebug::DebugLog("user", "USER");
    EXPECT_EQ(beeps_, 6);
}

// Before the access library is bound the run time comes from the platform clock; a library
// that is gone again (error 53 naming it) still lets the line through, at time 0; any other
// failure of the clock read ends the call silently.
TEST_F(DebugLogTest, TheRunTimeWithAndWithoutTheAccessLibrary) {
    OpenStore();
    ctx_.QueryElapsedTimeMsLongInt = nullptr;
    basDebug::DebugLog("start");
    clock_.Advance(5000);
    basDebug::DebugLog("no library yet", basDebug::WARNING);
    ASSERT_EQ(window_.lines.size(), 2u);
    EXPECT_EQ(window_.lines[1].elapsed, 5000.0f);

    ctx_.QueryElapsedTimeMsLongInt = [](int64_t*) -> int32_t {
        vb::Raise(53, "bas1394", "File not found: Vsk1394api.dll");
    };
    basDebug::DebugLog("library unloaded", basDebug::WARNING);
    ASSERT_EQ(window_.lines.size(), 3u);
    EXPECT_EQ(window_.lines[2].elapsed, 0.0f);
    EXPECT_EQ(LoggedRows(), (std::vector<std::string>{"5|unspecified|start|0", "7|unspecified|no library yet|5000",
                                                      "7|unspecified|library unloaded|0"}));

    ctx_.QueryElapsedTimeMsLongInt = [](int64_t*) -> int32_t { vb::Raise(5); };
    basDebug::DebugLog("lost", basDebug::WARNING);
    EXPECT_EQ(window_.lines.size(), 3u);
    EXPECT_EQ(LoggedRows().size(), 3u);
}

TEST_F(DebugLogTest, ADigitLedLevelTextKeepsTheLine) {
    OpenStore();
    basDebug::DebugLog("kept", "7 because of the fan");
    ASSERT_EQ(window_.lines.size(), 1u);
    EXPECT_EQ(window_.lines[0].priority, 7);
    EXPECT_EQ(LoggedRows().size(), 1u);
}

TEST_F(DebugLogTest, TheWindowMayRaiseTheLevelThatIsStored) {
    struct ZeroToFive : imagelift::IStatusWindow {
        void PostMessage(const std::string&, float, int32_t& priority,
                         const std::optional<std::string>&) override {
            if (priority == 0) priority = 5;
        }
    } window;
    ctx_.StatusWindow0 = &window;
    OpenStore();
    basDebug::DebugLog("zero", 0);
    EXPECT_EQ(LoggedRows(), (std::vector<std::string>{"5|unspecified|zero|0"}));
}

// In an unattended run every failure reaches the status file once, whatever level the
// status log keeps.
TEST_F(DebugLogTest, AutomationCopiesErrorLinesExactlyOnce) {
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &statusFile_;
    struct Case { bool store; int32_t loggingLevel; };
    const Case cases[] = {{true, 5}, {true, 17}, {false, 5}};
    for (const auto& c : cases) {
        ctx_.DbManager.reset();
        if (c.store) OpenStore();
        statusFile_.lines.clear();  // the store's own USER lines of opening
        ctx_.DebugLoggingLevel = c.loggingLevel;
        basDebug::DebugLog("broken", "ERROR", std::string("basX"));
        basDebug::DebugLog("warned", "WARNING", std::string("basX"));
        EXPECT_EQ(statusFile_.lines, (std::vector<std::string>{"0:00:00.000, ERROR, basX, broken"}))
            << "store " << c.store << " level " << c.loggingLevel;
    }
}

// A stamped line reaches the status file of an unattended run from ERROR up, with its run
// time and level name; the store keeps every line of the logging level and above.
TEST_F(DebugLogTest, RecordedLinesReachTheStatusFileOnlyInAutomation) {
    OpenStore();
    ctx_.StatusFile = &statusFile_;
    basDebug::RecordLine("not in automation", 11, "basX", 1);
    ctx_.AutomationMode = true;
    basDebug::RecordLine("failed", 11, "basX", 59999);
    basDebug::RecordLine("warned", 7, "basX", 60000);
    basDebug::RecordLine("detail", 1, "basX", 60001);
    EXPECT_EQ(statusFile_.lines, std::vector<std::string>{"0:00:59.999, ERROR, basX, failed"});
    EXPECT_EQ(LoggedRows(), (std::vector<std::string>{"11|basX|not in automation|1", "11|basX|failed|59999",
                                                      "7|basX|warned|60000"}));
}

TEST_F(DebugLogTest, ModuleRulesWhileDownloading) {
    ctx_.MainChildForm = &mainWindow_;
    struct Case { basDebug::ModuleLogRule rule; LevelArg level; bool downloading; bool dropped; };
    const Case cases[] = {
        {basDebug::kBootloaderRule, {}, true, true},
        {basDebug::kBootloaderRule, "TRACE", true, true},
        {basDebug::kBootloaderRule, 7, true, true},
        {basDebug::kBootloaderRule, "ERROR", true, false},
        {basDebug::kBootloaderRule, 11, true, false},
        {basDebug::kBootloaderRule, {}, false, false},
        {basDebug::kConfigRomRule, "warning", true, true},
        {basDebug::kConfigRomRule, 7, true, false},
        {basDebug::kConfigRomRule, "TRACE", true, false},
        {basDebug::kConfigRomRule, "WARNING", false, false},
        {basDebug::kPlainRule, 1, true, false},
    };
    for (const auto& c : cases) {
        ctx_.DownloadInProgress = c.downloading;
        EXPECT_EQ(basDebug::ModuleLogDrops(c.rule, c.level), c.dropped)
            << c.level.AsText() << " downloading " << c.downloading;
    }
    ctx_.DownloadInProgress = false;
    basDebug::ModuleLog(basDebug::kBootloaderRule, "basBootloader", "no level");
    ASSERT_EQ(window_.lines.size(), 1u);
    EXPECT_EQ(window_.lines[0].module, "basBootloader");
    EXPECT_EQ(window_.lines[0].priority, 5);

    // The config ROM module is silent until the main window exists.
    ctx_.MainChildForm = nullptr;
    basDebug::ModuleLog(basDebug::kConfigRomRule, "basConfigRom", "early", "ERROR");
    EXPECT_EQ(window_.lines.size(), 1u);
}

}  // namespace
