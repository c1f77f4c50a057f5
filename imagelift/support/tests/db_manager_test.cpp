#include "support/db_manager.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <functional>

#include "support/db_testing.h"
#include "support/sqlite_db.h"
#include "testing/file_size_limit.h"
#include "tests/support_fixture.h"
#include "vbrt/error.h"

namespace {

using supporttest::ReadFile;
using supporttest::SupportTest;
using supporttest::WriteFile;
namespace stdfs = std::filesystem;

const char* const kApp = "Imagelift";

class DbManagerTest : public SupportTest {
protected:
    stdfs::path Db() const { return root_ / "db1.mdb"; }
    void MakeTemplate() { dbschema::CreateCleanDatabase(root_ / "db1_clean.mdb"); }
    clsDbManager& OpenFresh() {
        MakeTemplate();
        return Open();
    }
    // One query's first column of every row, as text.
    std::vector<std::string> Column(const std::string& sql, const stdfs::path& file = {}) {
        sqlite::Database db(file.empty() ? Db() : file, sqlite::Database::Mode::ReadOnly);
        sqlite::Statement q(db, sql);
        std::vector<std::string> out;
        while (q.Step()) out.push_back(q.ColumnText(0).value_or("NULL"));
        return out;
    }
    int64_t Count(const std::string& sql) { return std::stoll(Column(sql).at(0)); }
};

// The template the build writes into the program folder holds both tables with their columns
// and no rows.
TEST(CleanTemplate, TheBuiltTemplateHasBothTablesAndNoRows) {
    sqlite::Database db(SUPPORT_CLEAN_TEMPLATE, sqlite::Database::Mode::ReadOnly);
    for (const char* table : {"tblSettings", "tblStatus"}) {
        sqlite::Statement cols(db, std::string("SELECT group_concat(name, ',') FROM pragma_table_info('") + table + "')");
        ASSERT_TRUE(cols.Step());
        EXPECT_EQ(*cols.ColumnText(0), std::string(table) == "tblSettings"
                                           ? "id,strAppName,strSection,strKeyName,strValue"
                                           : "id,lngRuntime,Level,Message,strModule");
        sqlite::Statement rows(db, std::string("SELECT COUNT(*) FROM ") + table);
        ASSERT_TRUE(rows.Step());
        EXPECT_EQ(rows.ColumnInt(0), 0);
    }
}

// --- opening -----------------------------------------------------------------------------

TEST_F(DbManagerTest, WithoutDatabaseOrTemplateTheUserIsToldAndNothingIsCreated) {
    clsDbManager& store = Open();
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].prompt,
              "The database file (db1.mdb or alternatively db1_clean.mdb) cannot be found.  "
              "This could have negative effects on the application.");
    EXPECT_EQ(boxes_.asked()[0].title, "Database not found");
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbOKOnly);
    EXPECT_FALSE(store.IsOpen());
    EXPECT_EQ(store.GetSetting(kApp, "Global", "DebugLoggingLevel", 5), "5");
    EXPECT_EQ(store.SaveSetting(kApp, "Global", "X", "1"), "");
    EXPECT_EQ(store.RemoveSetting(kApp, "Global", "X"), -1);
    store.AppendToLog("nowhere", 11, "m", 0);
    EXPECT_EQ(store.MakeCopy((root_ / "copy.mdb").string()), -1);
    ctx_.DbManager.reset();
    EXPECT_FALSE(stdfs::exists(Db()));
    EXPECT_FALSE(stdfs::exists(root_ / "db1-compacted.mdb"));
}

TEST_F(DbManagerTest, InAutomationTheMissingDatabaseIsAStatusLine) {
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &statusFile_;
    Open();
    EXPECT_TRUE(boxes_.asked().empty());
    ASSERT_EQ(statusFile_.lines.size(), 1u);
    EXPECT_EQ(statusFile_.lines[0].rfind("The database file (db1.mdb or alternatively db1_clean.mdb)", 0), 0u);
}

TEST_F(DbManagerTest, TheTemplateBecomesTheDatabaseAndTheOpeningIsLogged) {
    ctx_.DebugLoggingLevel = 17;  // the store's own start-up lines go in whatever the level
    clsDbManager& store = OpenFresh();
    EXPECT_TRUE(store.IsOpen());
    EXPECT_TRUE(boxes_.asked().empty());
    EXPECT_TRUE(stdfs::exists(Db()));
    const auto rows = Column("SELECT Level || '|' || lngRuntime || '|' || strModule || '|' || Message FROM tblStatus ORDER BY id");
    ASSERT_EQ(rows.size(), 2u);
    EXPECT_EQ(rows[0].rfind("13|-1|clsDbManager|Database initialized and status log opened on 2026-01-05 ", 0), 0u)
        << rows[0];
    EXPECT_EQ(rows[1], "13|-1|clsDbManager|App=Imagelift ver 1.8.41, EXE=" + root_.string() + "\\Imagelift");
    EXPECT_EQ(Column("PRAGMA journal_mode"), std::vector<std::string>{"wal"});
}

// A "db1.mdb" that is no store would open as working and drop every setting and log line. It
// is kept aside byte for byte, the template takes its place, and the new store says so.
// A statement that meets another connection's lock (a tool reading the log, say) waits for it
// on the program's clock instead of failing at once, and gives up after two seconds.
TEST_F(DbManagerTest, AStatementWaitsOnTheClockForAnotherConnectionsLock) {
    MakeTemplate();
    const stdfs::path file = root_ / "db1_clean.mdb";
    sqlite::Database holder(file, sqlite::Database::Mode::ReadWrite);
    sqlite::Database writer(file, sqlite::Database::Mode::ReadWrite);
    const std::string insert =
        "INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES ('A', 'S', 'K', 'v')";

    holder.Exec("BEGIN EXCLUSIVE");
    const int64_t start = clock_.NowMicros();
    clock_.Schedule(50, [&holder] { holder.Exec("COMMIT"); });
    writer.Exec(insert);
    EXPECT_GE(clock_.NowMicros() - start, 50000);
    EXPECT_EQ(Column("SELECT COUNT(*) FROM tblSettings", file), std::vector<std::string>{"1"});

    holder.Exec("BEGIN EXCLUSIVE");
    const int64_t second = clock_.NowMicros();
    EXPECT_THROW(writer.Exec(insert), vb::Error);
    EXPECT_GE(clock_.NowMicros() - second, 2000000);
    EXPECT_LT(clock_.NowMicros() - second, 2100000);
    holder.Exec("COMMIT");
}

// Another program holding the store's write lock for a whole run: after the first wait that
// fails, the user is told once (standard error and the status window), the log's lines are held
// in memory without a wait each, and they go in, in order, as soon as the lock is free.
TEST_F(DbManagerTest, LinesThatMeetAnotherProgramsLockAreHeldAndAddedWhenItIsFree) {
    ctx_.MainChildForm = &mainWindow_;
    clsDbManager& store = OpenFresh();
    sqlite::Database holder(Db(), sqlite::Database::Mode::ReadWrite);
    holder.Exec("BEGIN IMMEDIATE");
    ::testing::internal::CaptureStderr();
    const int64_t start = clock_.NowMicros();
    for (int i = 0; i < 20; ++i) store.AppendToLog("line " + std::to_string(i), 11, "m", i);
    const int64_t waited = clock_.NowMicros() - start;
    const std::string said = ::testing::internal::GetCapturedStderr();
    EXPECT_GE(waited, 2000000);
    EXPECT_LT(waited, 2100000) << "one wait for the lock, not one per line";
    const std::string notice = "Another program holds the lock on the database file '" + Db().string() +
                               "': status log lines (at most 2000) and settings are kept in memory and written when the lock is free.";
    EXPECT_EQ(said, "Imagelift: " + notice + "\n");
    size_t shown = 0;
    for (const auto& line : window_.lines) shown += line.message == notice;
    EXPECT_EQ(shown, 1u);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE strModule = 'm'"), 0);

    holder.Exec("COMMIT");
    store.AppendToLog("after", 11, "m", 20);
    std::vector<std::string> expected;
    for (int i = 0; i < 20; ++i) expected.push_back("line " + std::to_string(i));
    expected.push_back("after");
    EXPECT_EQ(Column("SELECT Message FROM tblStatus WHERE strModule = 'm' ORDER BY id"), expected);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE 'Another program holds the lock%'"), 1);

    // Held lines are bounded: the oldest go, and the log says how many.
    holder.Exec("BEGIN IMMEDIATE");
    ::testing::internal::CaptureStderr();
    const size_t many = clsDbManager::kMaxHeldLines + 10;
    for (size_t i = 0; i < many; ++i) store.AppendToLog("held " + std::to_string(i), 11, "h", 0);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "") << "said once only";
    holder.Exec("COMMIT");
    ctx_.DbManager.reset();  // the store's end adds what it still holds
    EXPECT_EQ(Column("SELECT Message FROM tblStatus WHERE strModule = 'h' ORDER BY id DESC LIMIT 1"),
              std::vector<std::string>{"held " + std::to_string(many - 1)});
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE '% status log lines were lost while another "
                    "program held the lock on the database file.'"),
              1);
}

// Settings saved while another program holds the store's lock: one wait for the whole run, the
// values held in memory (reads see them) and written, in order, once the lock is free.
TEST_F(DbManagerTest, SettingsThatMeetAnotherProgramsLockWaitOnceAndAreWrittenWhenItIsFree) {
    ctx_.MainChildForm = &mainWindow_;
    clsDbManager& store = OpenFresh();
    store.SaveSetting(kApp, "Win", "Kept", "stored");
    sqlite::Database holder(Db(), sqlite::Database::Mode::ReadWrite);
    holder.Exec("BEGIN IMMEDIATE");
    ::testing::internal::CaptureStderr();
    const int64_t start = clock_.NowMicros();
    for (int i = 0; i < 20; ++i) store.SaveSetting(kApp, "Win", "K" + std::to_string(i), "v" + std::to_string(i));
    store.AppendToLog("a line", 11, "m", 0);
    const int64_t waited = clock_.NowMicros() - start;
    EXPECT_GE(waited, 2000000);
    EXPECT_LT(waited, 2100000) << "one wait for the lock, not one per setting";
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Imagelift: Another program holds the lock on the database file '" + Db().string() +
                  "': status log lines (at most 2000) and settings are kept in memory and written when the lock is "
                  "free.\n");
    // Reads see the held values; an empty value keeps the one held, as it keeps a stored one.
    store.SaveSetting(kApp, "Win", "K3", "");
    EXPECT_EQ(store.GetSetting(kApp, "Win", "K3"), "v3");
    EXPECT_EQ(store.GetSetting(kApp, "Win", "Kept"), "stored");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblSettings WHERE strSection = 'Win'"), 1);

    holder.Exec("COMMIT");
    store.SaveSetting(kApp, "Win", "K20", "v20");  // finds the lock free: all of it goes in
    std::vector<std::string> expected{"Kept=stored"};
    for (int i = 0; i <= 20; ++i) expected.push_back("K" + std::to_string(i) + "=v" + std::to_string(i));
    EXPECT_EQ(Column("SELECT strKeyName || '=' || strValue FROM tblSettings WHERE strSection = 'Win' ORDER BY id"),
              expected);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message = 'a line'"), 1);

    // A removal drops a held value, which would otherwise bring the key back; the store's end
    // gives what it still holds one last wait.
    holder.Exec("BEGIN IMMEDIATE");
    store.SaveSetting(kApp, "Win", "Last", "1");
    store.SaveSetting(kApp, "Win", "Gone", "1");
    store.RemoveSetting(kApp, "Win", "Gone");
    holder.Exec("COMMIT");
    ctx_.DbManager.reset();
    EXPECT_EQ(Column("SELECT strKeyName FROM tblSettings WHERE strKeyName IN ('Last', 'Gone')"),
              std::vector<std::string>{"Last"});
}

// The disk under the store fills during a run (here a file-size limit, the signal it raises
// ignored, as a full disk refuses a write): the log's lost lines are said once, on standard
// error and in an unattended run's status file, and counted in the log once it takes lines again.
TEST_F(DbManagerTest, ALogThatCannotGrowSaysSoOnceAndCountsWhatItLost) {
    ctx_.MainChildForm = &mainWindow_;
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &statusFile_;
    clsDbManager& store = OpenFresh();
    store.AppendToLog("before", 11, "m", 0);
    const stdfs::path wal = Db().string() + "-wal";
    ASSERT_TRUE(stdfs::exists(wal));
    constexpr int kLines = 40;
    std::string said;
    {
        testing_support::FileSizeLimit limit(stdfs::file_size(wal) + 4096);
        ::testing::internal::CaptureStderr();
        for (int i = 0; i < kLines; ++i) store.AppendToLog("full " + std::to_string(i) + std::string(200, '.'), 11, "m", i);
        said = ::testing::internal::GetCapturedStderr();
    }
    const std::string head = "Imagelift: The status log in the database file '" + Db().string() + "' cannot take more lines (";
    const std::string tail = "): they are lost until it can.\n";
    EXPECT_EQ(said.rfind(head, 0), 0u) << said;
    EXPECT_TRUE(said.ends_with(tail)) << said;
    EXPECT_EQ(said.find(head, 1), std::string::npos) << "said once";
    size_t inStatusFile = 0;
    for (const auto& line : statusFile_.lines)
        inStatusFile += line.find(", ERROR, clsDbManager, The status log in the database file '") != std::string::npos;
    EXPECT_EQ(inStatusFile, 1u);

    store.AppendToLog("after", 11, "m", kLines);
    const int64_t kept = Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE 'full %'");
    EXPECT_LT(kept, kLines);
    const auto lost = Column("SELECT Message FROM tblStatus WHERE Message LIKE '% status log lines were lost while the "
                             "database file could not be written.'");
    ASSERT_EQ(lost.size(), 1u);
    // Every line is in the log or in the count (the notice itself among the lost ones).
    EXPECT_EQ(kept + std::stoll(lost[0]), kLines + 1);
    EXPECT_EQ(Column("SELECT Message FROM tblStatus ORDER BY id DESC LIMIT 1"), std::vector<std::string>{"after"});
}

TEST_F(DbManagerTest, AFileThatIsNoStoreIsKeptAsideAndReplacedByTheTemplate) {
    struct Case {
        const char* name;
        std::function<void(const stdfs::path&)> make;
        std::string reason;
    };
    const auto sqliteFile = [](const std::string& sql) {
        return [sql](const stdfs::path& p) {
            sqlite::Database(p, sqlite::Database::Mode::ReadWriteCreate).Exec(sql);
        };
    };
    const std::string fullStatus =
        "CREATE TABLE tblStatus (id INTEGER PRIMARY KEY, lngRuntime, Level, Message, strModule);";
    const Case cases[] = {
        {"empty", [](const stdfs::path& p) { WriteFile(p, ""); }, "the file is empty"},
        {"foreign bytes", [](const stdfs::path& p) { WriteFile(p, std::string(4096, '\x5A')); }, "not a database"},
        {"a damaged database", [](const stdfs::path& p) {
             dbschema::CreateCleanDatabase(p);
             std::string bytes = ReadFile(p);
             bytes.replace(100, 100, 100, '\xFF');  // the schema's page, after the file header
             WriteFile(p, bytes);
         }, "not a database"},
        // Rows fill pages 2 and on; pages 6 to 10 overwritten: the schema reads, the tables do not.
        {"damaged pages", [](const stdfs::path& p) {
             dbschema::CreateCleanDatabase(p);
             sqlite::Database(p, sqlite::Database::Mode::ReadWrite)
                 .Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
                       "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) "
                       "SELECT i, 13, printf('%.*c', 200, 'x'), 'm' FROM n;");
             std::string bytes = ReadFile(p);
             ASSERT_GT(bytes.size(), 10u * 1024);
             bytes.replace(5 * 1024, 5 * 1024, 5 * 1024, '\xA5');
             WriteFile(p, bytes);
         }, "the file is damaged: *** in database main *** Page 10: btreeInitPage() returns error code 11"},
        // A view has the columns, yet takes no rows.
        {"a view for a table",
         sqliteFile("CREATE TABLE tblSettings (strAppName, strSection, strKeyName, strValue);"
                    "CREATE VIEW tblStatus AS SELECT 1 AS id, 2 AS lngRuntime, 3 AS Level, 4 AS Message, 5 AS strModule;"),
         "its statements cannot be prepared: cannot modify tblStatus because it is a view"},
        {"other tables", sqliteFile("CREATE TABLE other (x);"), "tblSettings and tblStatus missing"},
        {"settings only", sqliteFile("CREATE TABLE tblSettings (strAppName, strSection, strKeyName, strValue);"),
         "tblStatus missing"},
        {"a column missing", sqliteFile("CREATE TABLE tblSettings (strAppName, strSection, strKeyName);" + fullStatus),
         "tblSettings missing"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const stdfs::path dir = root_ / c.name;
        stdfs::create_directories(dir);
        dbschema::CreateCleanDatabase(dir / "db1_clean.mdb");
        c.make(dir / "db1.mdb");
        const std::string original = ReadFile(dir / "db1.mdb");

        ctx_.DbManager = std::make_unique<clsDbManager>(dir, basDebug::ReportStoreLine);
        clsDbManager& store = *ctx_.DbManager;
        EXPECT_TRUE(store.IsOpen());
        EXPECT_TRUE(boxes_.asked().empty());
        EXPECT_EQ(ReadFile(dir / "db1.mdb.bad"), original);
        EXPECT_EQ(Column("SELECT Level || '|' || lngRuntime || '|' || strModule || '|' || Message FROM tblStatus "
                         "WHERE Level = 7",
                         dir / "db1.mdb"),
                  std::vector<std::string>{"7|-1|clsDbManager|The database file db1.mdb could not be used (" + c.reason +
                                           ").  It was kept as 'db1.mdb.bad' and replaced by a copy of db1_clean.mdb."});
        store.SaveSetting(kApp, "Global", "K", "kept");
        ctx_.DbManager.reset();
        EXPECT_EQ(clsDbManager(dir, {}).GetSetting(kApp, "Global", "K"), "kept");
        EXPECT_EQ(ReadFile(dir / "db1.mdb.bad"), original);
    }
}

// Earlier bad files keep their names: the next free number is taken, and the engine's side
// files of the bad file move with it, so none is replayed into the fresh copy.
TEST_F(DbManagerTest, ABadFileIsKeptUnderTheNextFreeNameWithItsSideFiles) {
    MakeTemplate();
    WriteFile(root_ / "db1.mdb.bad", "first");
    WriteFile(root_ / "db1.mdb.bad2-wal", "second's log");
    WriteFile(Db(), "");
    WriteFile(root_ / "db1.mdb-wal", std::string(4096, '\x11'));
    WriteFile(root_ / "db1.mdb-journal", std::string(512, '\x22'));
    clsDbManager& store = Open();
    ASSERT_TRUE(store.IsOpen());
    EXPECT_EQ(ReadFile(root_ / "db1.mdb.bad"), "first");
    EXPECT_EQ(ReadFile(root_ / "db1.mdb.bad2-wal"), "second's log");
    EXPECT_FALSE(stdfs::exists(root_ / "db1.mdb.bad2"));
    EXPECT_EQ(stdfs::file_size(root_ / "db1.mdb.bad3"), 0u);
    EXPECT_EQ(ReadFile(root_ / "db1.mdb.bad3-wal"), std::string(4096, '\x11'));
    EXPECT_EQ(ReadFile(root_ / "db1.mdb.bad3-journal"), std::string(512, '\x22'));
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE '%kept as ''db1.mdb.bad3''%'"), 1);
    ctx_.DbManager.reset();
    EXPECT_EQ(Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
}

// When the bad file cannot be moved, it stays exactly as it is and is never written to; the
// user is told and the program runs without a store.
TEST_F(DbManagerTest, ABadFileThatCannotBeMovedIsReportedAndLeftAlone) {
    MakeTemplate();
    struct Case { const char* name; std::string bytes; };
    const Case cases[] = {{"empty", ""}, {"foreign bytes", std::string(4096, '\x5A')}};
    struct HookGuard {
        dbtesting::FaultHook previous = dbtesting::SetFaultHook([](std::string_view step) {
            if (step == "aside.rename") vb::Raise(70, "test");
        });
        ~HookGuard() { dbtesting::SetFaultHook(previous); }
    } hook;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const size_t before = boxes_.asked().size();
        WriteFile(Db(), c.bytes);
        clsDbManager& store = Open();
        EXPECT_FALSE(store.IsOpen());
        ASSERT_EQ(boxes_.asked().size(), before + 1);
        const auto& box = boxes_.asked().back();
        EXPECT_EQ(box.title, "Database error");
        EXPECT_EQ(box.prompt.rfind("The database file '" + Db().string() + "' cannot be opened (", 0), 0u) << box.prompt;
        EXPECT_EQ(store.GetSetting(kApp, "Global", "K", std::string("d")), "d");
        store.SaveSetting(kApp, "Global", "K", "v");
        store.AppendToLog("x", 13, "m", 1);
        ctx_.DbManager.reset();
        EXPECT_EQ(ReadFile(Db()), c.bytes);
        EXPECT_FALSE(stdfs::exists(root_ / "db1.mdb.bad"));
    }
}

// A store that opens but cannot prepare its statements (another program's lock outlasting the
// wait, a file damaged after the start-up check) is not used: the user is told, and every read
// and write of the run answers as without a store, none of them on a statement never made.
TEST_F(DbManagerTest, AStoreWhoseStatementsCannotBePreparedIsNotUsedAndSaysSo) {
    MakeTemplate();
    struct HookGuard {
        dbtesting::FaultHook previous = dbtesting::SetFaultHook([](std::string_view step) {
            if (step == "open.statements") vb::Raise(sqlite::kDbLocked, "test", "database is locked");
        });
        ~HookGuard() { dbtesting::SetFaultHook(previous); }
    } hook;
    clsDbManager& store = Open();
    EXPECT_FALSE(store.IsOpen());
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].title, "Database error");
    EXPECT_EQ(boxes_.asked()[0].prompt, "The database file '" + Db().string() +
                                            "' cannot be used (database is locked).  The program runs without its "
                                            "settings and status log.");
    store.SaveSetting(kApp, "Global", "K", "v");
    store.AppendToLog("x", 13, "m", 1);
    EXPECT_EQ(store.RemoveSetting(kApp, "Global", "K"), -1);
    EXPECT_EQ(store.GetSetting(kApp, "Global", "K", std::string("d")), "d");
    EXPECT_EQ(store.SetDefaultDownloadBehavior(1), 0);
    ctx_.DbManager.reset();
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblSettings"), 0);
}

// --- settings ----------------------------------------------------------------------------

TEST_F(DbManagerTest, SettingsDefaultsEmptyValuesAndRemoval) {
    clsDbManager& s = OpenFresh();
    EXPECT_EQ(s.GetSetting(kApp, "Global", "DebugMessageLevel", 7), "7");
    EXPECT_EQ(s.GetSetting(kApp, "Global", "DebugMessageLevel"), "");

    s.SaveSetting(kApp, "Global", "Timeout", "300");
    EXPECT_EQ(s.GetSetting(kApp, "Global", "Timeout", 200), "300");
    s.SaveSetting(kApp, "Global", "Timeout", "");  // an empty value keeps the stored one
    EXPECT_EQ(s.GetSetting(kApp, "Global", "Timeout", 200), "300");
    EXPECT_EQ(s.GetSetting("Other", "Global", "Timeout", 200), "200");  // keys match exactly
    EXPECT_EQ(s.GetSetting(kApp, "global", "Timeout", 200), "200");

    s.SaveSetting(kApp, "frmShell", "New", "");  // a new key with an empty value reads as default
    EXPECT_EQ(s.GetSetting(kApp, "frmShell", "New", std::string("dflt")), "dflt");
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblSettings WHERE strKeyName = 'New' AND strValue = ''"), 1);

    EXPECT_EQ(s.RemoveSetting(kApp, "Global", "Timeout"), 1);
    EXPECT_EQ(s.RemoveSetting(kApp, "Global", "Timeout"), -1);
    EXPECT_EQ(s.GetSetting(kApp, "Global", "Timeout", 200), "200");
}

TEST_F(DbManagerTest, QuotesAndEightBitTextsAreStoredAsTheyAre) {
    clsDbManager& s = OpenFresh();
    const std::string key = "O'Brien's key'); DROP TABLE tblSettings; --";
    s.SaveSetting(kApp, "Sec'tion", key, "it's \xE9t\xE9");
    EXPECT_EQ(s.GetSetting(kApp, "Sec'tion", key), "it's \xE9t\xE9");
    EXPECT_EQ(Column("SELECT strValue FROM tblSettings WHERE strSection = 'Sec''tion'"),
              std::vector<std::string>{"it's \xC3\xA9t\xC3\xA9"});  // stored as UTF-8
    EXPECT_EQ(s.RemoveSetting(kApp, "Sec'tion", key), 1);
}

TEST_F(DbManagerTest, WhereSeveralRowsMatchTheFirstCounts) {
    MakeTemplate();
    {
        sqlite::Database raw(root_ / "db1_clean.mdb", sqlite::Database::Mode::ReadWrite);
        raw.Exec("INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES "
                 "('Imagelift','S','K','first'), ('Imagelift','S','K','second')");
    }
    clsDbManager& s = Open();
    EXPECT_EQ(s.GetSetting(kApp, "S", "K"), "first");
    s.SaveSetting(kApp, "S", "K", "changed");
    EXPECT_EQ(Column("SELECT strValue FROM tblSettings WHERE strKeyName = 'K' ORDER BY id"),
              (std::vector<std::string>{"changed", "second"}));
    EXPECT_EQ(s.RemoveSetting(kApp, "S", "K"), 1);
    EXPECT_EQ(s.GetSetting(kApp, "S", "K"), "second");
}

TEST_F(DbManagerTest, DefaultDownloadBehavior) {
    clsDbManager& s = OpenFresh();
    EXPECT_EQ(s.GetDefaultDownloadBehavior(), 0);
    EXPECT_EQ(s.SetDefaultDownloadBehavior(2), 0);
    EXPECT_EQ(s.GetSetting(kApp, "frmSelectFirmware", "DefaultLoadBehavior"), "2");
    EXPECT_EQ(s.GetDefaultDownloadBehavior(), 2);
    s.SaveSetting(kApp, "frmSelectFirmware", "DefaultLoadBehavior", "junk");
    EXPECT_EQ(s.GetDefaultDownloadBehavior(), 0);
}

// --- status log --------------------------------------------------------------------------

TEST_F(DbManagerTest, TheLogKeepsExactlyTheNewest2000Lines) {
    clsDbManager& s = OpenFresh();
    for (int i = 0; i < 2500; ++i) s.AppendToLog("line " + std::to_string(i), 5, "m", i);
    const auto rows = Column("SELECT Message FROM tblStatus ORDER BY id");
    ASSERT_EQ(rows.size(), 2000u);
    EXPECT_EQ(rows.front(), "line 500");
    EXPECT_EQ(rows.back(), "line 2499");
}

TEST_F(DbManagerTest, AnOverfullLogShrinksByOneRowPerLine) {
    MakeTemplate();
    {
        sqlite::Database raw(root_ / "db1_clean.mdb", sqlite::Database::Mode::ReadWrite);
        raw.Exec("WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 2010) "
                 "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) "
                 "SELECT i, 5, 'old ' || i, 'm' FROM n");
    }
    clsDbManager& s = Open();  // two opening lines: 2012 - 4 = 2008 rows
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus"), 2008);
    s.AppendToLog("new", 5, "m", 0);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus"), 2007);
    EXPECT_EQ(Column("SELECT Message FROM tblStatus ORDER BY id LIMIT 1"), std::vector<std::string>{"old 7"});
}

TEST_F(DbManagerTest, MessagesAndModulesAreCut) {
    clsDbManager& s = OpenFresh();
    s.AppendToLog(std::string(300, 'x'), 7, std::string(60, 'y'), 42);
    const auto rows = Column("SELECT length(Message) || ',' || length(strModule) || ',' || Level || ',' || lngRuntime "
                             "FROM tblStatus ORDER BY id DESC LIMIT 1");
    EXPECT_EQ(rows, std::vector<std::string>{"250,50,7,42"});
}

TEST_F(DbManagerTest, ItsOwnLinesBypassTheLoggerOnlyBeforeTheMainWindow) {
    ctx_.DebugLoggingLevel = 17;
    OpenFresh();
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus"), 2);
    ctx_.MainChildForm = &mainWindow_;
    ctx_.DbManager.reset();  // "Closing database..." goes through the logger now
    ASSERT_FALSE(window_.lines.empty());
    EXPECT_EQ(window_.lines.back().message, "Closing database...");
    EXPECT_EQ(window_.lines.back().module, "clsDbManager");
}

// --- copies ------------------------------------------------------------------------------

TEST_F(DbManagerTest, MakeCopyAsksBeforeOverwriting) {
    clsDbManager& s = OpenFresh();
    s.SaveSetting(kApp, "S", "K", "v");
    const stdfs::path copy = root_ / "debug_log.mdb";
    WriteFile(copy, "old copy");
    boxes_.AnswerMessage(forms::vbNo);
    EXPECT_EQ(s.MakeCopy(copy.string()), -1);
    ASSERT_EQ(boxes_.asked().size(), 1u);
    EXPECT_EQ(boxes_.asked()[0].prompt, "The file '" + copy.string() + "' already exists.  Overwrite?");
    EXPECT_EQ(boxes_.asked()[0].buttons, forms::vbYesNo);
    EXPECT_EQ(ReadFile(copy), "old copy");

    boxes_.AnswerMessage(forms::vbYes);
    EXPECT_EQ(s.MakeCopy(copy.string() + "*"), 1);  // the "*" is dropped from the name
    EXPECT_EQ(Column("SELECT strValue FROM tblSettings", copy), std::vector<std::string>{"v"});
    EXPECT_TRUE(s.IsOpen());
    s.AppendToLog("after copy", 5, "m", 1);
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message = 'after copy'"), 1);
    // The reopening is logged.
    EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE 'Database initialized%'"), 2);
}

TEST_F(DbManagerTest, AFailedCopyIsLoggedAndTheStoreReopened) {
    clsDbManager& s = OpenFresh();
    const stdfs::path copy = root_ / "x.mdb";
    auto previous = dbtesting::SetFaultHook([](std::string_view step) {
        if (step == "copy.file") throw std::filesystem::filesystem_error("copy", std::make_error_code(std::errc::no_space_on_device));
    });
    EXPECT_EQ(s.MakeCopy(copy.string()), -1);
    dbtesting::SetFaultHook(previous);
    EXPECT_TRUE(s.IsOpen());
    EXPECT_FALSE(stdfs::exists(copy));
    const auto lines = Column("SELECT Level || '|' || Message FROM tblStatus WHERE Message LIKE 'Error #%'");
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_EQ(lines[0].rfind("11|Error #61: ", 0), 0u) << lines[0];
    EXPECT_NE(lines[0].find(" in MakeCopy.  Could not create '" + copy.string() + "'  Exiting abnormally."),
              std::string::npos) << lines[0];
}

// A database that vanished while the program ran: the copy fails and so does the reopening;
// both failure lines reach the status file of an unattended run and the store goes on empty.
TEST_F(DbManagerTest, ACopyOfAVanishedDatabaseReportsTheCopyAndTheReopening) {
    clsDbManager& s = OpenFresh();
    ctx_.AutomationMode = true;
    ctx_.StatusFile = &statusFile_;
    for (const char* suffix : {"", "-wal", "-shm"}) stdfs::remove(Db().string() + suffix);
    const std::string copy = (root_ / "copy.mdb").string();
    EXPECT_EQ(s.MakeCopy(copy), -1);
    EXPECT_EQ(statusFile_.lines,
              (std::vector<std::string>{
                  "0:00:00.000, ERROR, clsDbManager, Error #3024: Couldn't find file '" + Db().string() +
                      "'. in ReopenDatabase.  Exiting abnormally.",
                  "0:00:00.000, ERROR, clsDbManager, Error #53: File not found in MakeCopy.  Could not create '" +
                      copy + "'  Exiting abnormally."}));
    EXPECT_FALSE(s.IsOpen());
    EXPECT_EQ(s.GetSetting(kApp, "S", "K", 1), "1");
}

// --- compaction at release -----------------------------------------------------------------

TEST_F(DbManagerTest, ReleaseCompactsInPlace) {
    clsDbManager& s = OpenFresh();
    for (int i = 0; i < 300; ++i) s.SaveSetting(kApp, "Bulk", "K" + std::to_string(i), std::string(2000, 'v'));
    for (int i = 0; i < 300; ++i) s.RemoveSetting(kApp, "Bulk", "K" + std::to_string(i));
    s.SaveSetting(kApp, "Keep", "K", "kept");
    ctx_.DbManager.reset();
    const auto before = stdfs::file_size(Db());
    EXPECT_FALSE(stdfs::exists(root_ / "db1-compacted.mdb"));
    EXPECT_FALSE(stdfs::exists(root_ / "db1.mdb-wal"));
    EXPECT_LT(before, 100000u);
    EXPECT_EQ(Column("SELECT strValue FROM tblSettings"), std::vector<std::string>{"kept"});
    EXPECT_EQ(Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
    EXPECT_EQ(Open().GetSetting(kApp, "Keep", "K"), "kept");
}

// The log keeps key data (a key written, a key read back): the store, its write-ahead log and
// index, and the compacted copy that replaces it at the end are their owner's alone, whatever
// the umask and the template's mode. A store made wider by an earlier version is narrowed.
TEST_F(DbManagerTest, TheStoreItsSideFilesAndItsCompactedCopyAreTheOwnersAlone) {
    const mode_t umaskBefore = ::umask(0);
    const auto mode = [](const stdfs::path& p) {
        struct stat st {};
        return ::lstat(p.c_str(), &st) == 0 ? st.st_mode & 07777 : 0u;
    };
    struct Case {
        const char* name;
        bool earlierStore;  // else the template is copied in
    };
    for (const Case c : {Case{"from the template", false}, Case{"an earlier, wider store", true}}) {
        SCOPED_TRACE(c.name);
        std::error_code ec;
        for (const char* f : {"db1.mdb", "db1.mdb-wal", "db1.mdb-shm", "db1_clean.mdb"}) stdfs::remove(root_ / f, ec);
        MakeTemplate();
        ::chmod((root_ / "db1_clean.mdb").c_str(), 0666);
        if (c.earlierStore) {
            stdfs::copy_file(root_ / "db1_clean.mdb", Db());
            ::chmod(Db().c_str(), 0644);
        }
        clsDbManager& s = Open();
        ASSERT_TRUE(s.IsOpen());
        s.AppendToLog("WriteKey (serial): data='534E2D30303432'", 11, "basAutomation", 0);
        for (const char* f : {"db1.mdb", "db1.mdb-wal", "db1.mdb-shm"}) EXPECT_EQ(mode(root_ / f), 0600u) << f;
        mode_t compacted = 0;
        auto previous = dbtesting::SetFaultHook([&](std::string_view step) {
            if (step == "compact.rename") compacted = mode(root_ / "db1-compacted.mdb");
        });
        ctx_.DbManager.reset();
        dbtesting::SetFaultHook(previous);
        EXPECT_EQ(compacted, 0600u);
        EXPECT_EQ(mode(Db()), 0600u);
        EXPECT_EQ(Count("SELECT COUNT(*) FROM tblStatus WHERE Message LIKE 'WriteKey%'"), 1);
    }
    ::umask(umaskBefore);
}

// Whatever step of the compaction fails, "db1.mdb" keeps every setting and no temporary file
// is left behind (a folder in the way stays as it was). The failure line reaches the status
// file of an unattended run, the one place it can still go at shut-down.
TEST_F(DbManagerTest, AFailedCompactionKeepsTheOriginal) {
    const std::string failed = " in clsDbManager.CompactDatabase.  EXITING ABNORMALLY.";
    struct Case { std::string failing, line; };
    const Case cases[] = {
        {"compact.vacuum", "Error #70: Permission denied" + failed},
        {"compact.rename", "Error #70: Permission denied" + failed},
        {"blocked", "Could not kill old compacted database'" + (root_ / "db1-compacted.mdb").string() +
                        "'.  Compact operation cannot complete."},
        // Another program still has the store open: its write-ahead log belongs to the old file.
        {"in use", "Error #3045: Could not use '" + Db().string() + "'; file already in use." + failed},
    };
    ctx_.StatusFile = &statusFile_;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.failing);
        std::error_code ec;
        stdfs::remove_all(Db(), ec);
        stdfs::remove_all(root_ / "db1-compacted.mdb", ec);
        ctx_.AutomationMode = false;
        clsDbManager& s = OpenFresh();
        s.SaveSetting(kApp, "S", "K", "precious");
        if (c.failing == "blocked") stdfs::create_directories(root_ / "db1-compacted.mdb" / "inside");
        std::optional<sqlite::Database> other;
        if (c.failing == "in use") other.emplace(Db(), sqlite::Database::Mode::ReadWrite);
        auto previous = dbtesting::SetFaultHook([&c](std::string_view step) {
            if (step == c.failing) vb::Raise(70, "test");
        });
        ctx_.AutomationMode = true;
        statusFile_.lines.clear();
        ctx_.DbManager.reset();
        dbtesting::SetFaultHook(previous);
        EXPECT_EQ(statusFile_.lines, std::vector<std::string>{"0:00:00.000, ERROR, clsDbManager, " + c.line});
        if (other) {
            sqlite::Statement q(*other, "SELECT strValue FROM tblSettings");
            ASSERT_TRUE(q.Step());
            EXPECT_EQ(q.ColumnText(0), "precious");
            other.reset();
        }
        EXPECT_EQ(Column("SELECT strValue FROM tblSettings"), std::vector<std::string>{"precious"});
        EXPECT_EQ(Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
        if (c.failing == "blocked")
            EXPECT_TRUE(stdfs::is_directory(root_ / "db1-compacted.mdb" / "inside"));
        else
            EXPECT_FALSE(stdfs::exists(root_ / "db1-compacted.mdb"));
    }
}

// --- a killed program ----------------------------------------------------------------------

// The appending helper program, killed (and reaped) at the latest when this goes out of scope.
class AppendingChild {
public:
    explicit AppendingChild(const std::string& folder) {
        int fds[2];
        if (::pipe(fds) != 0) return;
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, fds[1], 1);
        posix_spawn_file_actions_addclose(&actions, fds[0]);
        char* const args[] = {const_cast<char*>(SUPPORT_APPEND_CHILD), const_cast<char*>(folder.c_str()), nullptr};
        if (::posix_spawn(&pid_, SUPPORT_APPEND_CHILD, &actions, nullptr, args, environ) != 0) pid_ = 0;
        posix_spawn_file_actions_destroy(&actions);
        ::close(fds[1]);
        progress_ = fds[0];
    }
    ~AppendingChild() {
        Kill();
        ::close(progress_);
    }
    // Blocks until the child has appended another `hundreds` hundred lines; false if it ended.
    bool WaitForLines(int hundreds) {
        char buf;
        for (int got = 0; got < hundreds; ++got)
            if (::read(progress_, &buf, 1) != 1) return false;
        return true;
    }
    // Kills the child; true when it died of the signal.
    bool Kill() {
        if (pid_ <= 0) return false;
        ::kill(pid_, SIGKILL);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        pid_ = 0;
        return WIFSIGNALED(status);
    }

private:
    pid_t pid_ = 0;
    int progress_ = -1;
};

// A program killed in the middle of logging leaves a store that opens and keeps working.
TEST_F(DbManagerTest, AProcessKilledMidAppendLeavesAWorkingStore) {
    MakeTemplate();
    for (int round = 0; round < 3; ++round) {
        AppendingChild child(root_.string());
        // Later rounds let the child pass the cap before it dies in mid-stride.
        ASSERT_TRUE(child.WaitForLines(5 + round * 10));
        ASSERT_TRUE(child.Kill());

        EXPECT_EQ(Column("PRAGMA integrity_check"), std::vector<std::string>{"ok"});
        clsDbManager& s = Open();
        ASSERT_TRUE(s.IsOpen());
        s.AppendToLog("after the kill", 5, "parent", 0);
        EXPECT_LE(Count("SELECT COUNT(*) FROM tblStatus"), 2000);
        EXPECT_EQ(Column("SELECT Message FROM tblStatus ORDER BY id DESC LIMIT 1"),
                  std::vector<std::string>{"after the kill"});
        ctx_.DbManager.reset();
    }
}

}  // namespace
