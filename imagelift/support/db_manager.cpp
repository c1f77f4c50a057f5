#include "support/db_manager.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <iostream>
#include <system_error>

#include "forms/dialogs.h"
#include "fs/fs.h"
#include "support/db_testing.h"
#include "support/date_text.h"
#include "support/program_context.h"
#include "support/sqlite_db.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace fsys = std::filesystem;

namespace dbschema {

const char* const kSchemaSql =
    "CREATE TABLE tblSettings ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " strAppName TEXT, strSection TEXT, strKeyName TEXT, strValue TEXT);"
    "CREATE INDEX ixSettingsKey ON tblSettings (strAppName, strSection, strKeyName);"
    // Row ids only grow, so the smallest id is always the oldest line.
    "CREATE TABLE tblStatus ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " lngRuntime INTEGER, Level INTEGER, Message TEXT, strModule TEXT);";

void CreateCleanDatabase(const fsys::path& path) {
    fsys::path temp = path;
    temp += ".tmp";
    fsys::remove(temp);
    {
        sqlite::Database db(temp, sqlite::Database::Mode::ReadWriteCreate);
        // Small pages: a log line changes a few of them, and fewer bytes go through the log.
        db.Exec(std::string("PRAGMA page_size=1024; BEGIN;") + kSchemaSql + "COMMIT;");
    }
    fsys::rename(temp, path);
}

}  // namespace dbschema

namespace dbtesting {
namespace {
FaultHook& hook() {
    static FaultHook h;
    return h;
}
}  // namespace
FaultHook SetFaultHook(FaultHook h) {
    FaultHook previous = std::move(hook());
    hook() = std::move(h);
    return previous;
}
}  // namespace dbtesting

namespace {

// Tests make a step fail here; production installs no hook.
void faultPoint(std::string_view step) {
    if (auto& h = dbtesting::hook()) h(step);
}

// Text columns hold UTF-8; the program's texts are Windows-1252.
std::string toStore(const std::string& text) { return vb::Win1252ToUtf8(text); }
std::string fromStore(const std::optional<std::string>& text) {
    if (!text) return "";
    if (auto t = vb::Utf8ToWin1252(*text)) return *t;
    return *text;
}

// Makes a finished file durable before it replaces another in a rename.
void syncFile(const fsys::path& path) {
    const int fd = ::open(path.c_str(), O_RDONLY);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

// A message for the user: a line of the status file in an unattended run, else a box.
void TellUser(const std::string& text, const std::string& title) {
    if (imagelift::Ctx().AutomationMode)
        imagelift::WriteStatusFileLine(text);
    else
        forms::MsgBox(text, forms::vbOKOnly, title);
}

std::string nowText() {
    return basUtils::FormatSystemTime(fs::LocalTimeNow(), "yyyy-mm-dd hh:nn:ss");
}

constexpr int64_t kWalCheckpointBytes = 4 << 20;

// The engine's side files of a database: its write-ahead log and index, and its rollback
// journal. They belong to the file beside them and must move with it: a log or journal left
// behind would be replayed into whatever file takes that name next.
const char* const kSideFiles[] = {"-wal", "-shm", "-journal"};

fsys::path withSuffix(fsys::path path, const std::string& suffix) {
    path += suffix;
    return path;
}

// Both tables with every column the store reads and writes: nothing when they are there, else
// which are missing (a table without one of those columns counts as missing).
std::optional<std::string> missingTables(sqlite::Database& db) {
    sqlite::Statement q(
        db,
        "SELECT (SELECT COUNT(*) FROM pragma_table_info('tblSettings') WHERE name COLLATE NOCASE IN "
        "('strAppName', 'strSection', 'strKeyName', 'strValue')) = 4, "
        "(SELECT COUNT(*) FROM pragma_table_info('tblStatus') WHERE name COLLATE NOCASE IN "
        "('lngRuntime', 'Level', 'Message', 'strModule')) = 4");
    if (!q.Step()) return std::nullopt;
    const bool settings = q.ColumnInt(0) != 0, status = q.ColumnInt(1) != 0;
    if (settings && status) return std::nullopt;
    return std::string(settings ? "tblStatus" : status ? "tblSettings" : "tblSettings and tblStatus") + " missing";
}

// Opens the store's file for reading and writing; a file without both tables is refused before
// anything is written to it.
std::unique_ptr<sqlite::Database> openStoreFile(const fsys::path& path) {
    auto db = std::make_unique<sqlite::Database>(path, sqlite::Database::Mode::ReadWrite);
    if (const auto missing = missingTables(*db)) vb::Raise(sqlite::kDbNotADatabase, "clsDbManager", *missing);
    return db;
}

// The store's own statements on an open database, all of them or none (raises): every write of
// the store uses them.
struct StoreStatements {
    std::unique_ptr<sqlite::Statement> insertStatus, deleteOldest, begin, commit;
    int64_t statusRows = 0;
};
StoreStatements prepareStoreStatements(sqlite::Database& db) {
    StoreStatements s;
    s.insertStatus = std::make_unique<sqlite::Statement>(
        db, "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)");
    s.deleteOldest =
        std::make_unique<sqlite::Statement>(db, "DELETE FROM tblStatus WHERE id = (SELECT MIN(id) FROM tblStatus)");
    sqlite::Statement count(db, "SELECT COUNT(*) FROM tblStatus");
    s.statusRows = count.Step() ? count.ColumnInt(0) : 0;
    s.begin = std::make_unique<sqlite::Statement>(db, "BEGIN");
    s.commit = std::make_unique<sqlite::Statement>(db, "COMMIT");
    return s;
}

// Why the file at `path` cannot be the store, or nothing when it can. Only a file the engine
// reads and finds wanting is judged: one it cannot open now (locked by another program,
// unreadable, a folder) is left for the opening to report.
std::optional<std::string> whyNotAStore(const fsys::path& path) {
    // The engine takes an empty file for an empty database and throws away a log beside it;
    // judged here without opening, the log moves aside with the file instead.
    std::error_code ec;
    if (fsys::is_regular_file(path, ec) && fsys::file_size(path, ec) == 0 && !ec)
        return std::string("the file is empty");
    try {
        sqlite::Database db(path, sqlite::Database::Mode::ReadWrite);
        if (auto missing = missingTables(db)) return missing;
        // Damaged pages (overwritten, cut off) leave the schema readable, yet the store's own
        // statements fail on them: the engine's quick check reads every page once.
        {
            sqlite::Statement check(db, "PRAGMA quick_check(1)");
            const std::optional<std::string> verdict = check.Step() ? check.ColumnText(0) : std::nullopt;
            if (verdict && *verdict != "ok") return "the file is damaged: " + vb::Replace(*verdict, "\n", " ");
        }
        // Tables that hold the columns yet take no rows (a view in a table's place, say).
        try {
            prepareStoreStatements(db);
        } catch (const vb::Error& e) {
            if (e.Number() != sqlite::kDbLocked) return "its statements cannot be prepared: " + db.ErrorMessage();
        }
        return std::nullopt;
    } catch (const vb::Error& e) {
        if (e.Number() == sqlite::kDbNotADatabase) return std::string("not a database");
        return std::nullopt;
    }
}

// Renames a file that cannot be the store, with its side files, to the first free name of
// "db1.mdb.bad", "db1.mdb.bad2", "db1.mdb.bad3", ... beside it; nothing is ever deleted.
// Returns the new name. Raises when no name is free or a rename fails; the file itself is
// renamed last, so until then it stays where it was.
fsys::path setAside(const fsys::path& file) {
    constexpr int kMaxNames = 1000;
    std::error_code ec;
    for (int n = 1; n <= kMaxNames; ++n) {
        const fsys::path aside = withSuffix(file, n == 1 ? ".bad" : ".bad" + std::to_string(n));
        bool taken = fsys::exists(fsys::symlink_status(aside, ec));
        for (const char* side : kSideFiles)
            taken = taken || fsys::exists(fsys::symlink_status(withSuffix(aside, side), ec));
        if (taken) continue;
        faultPoint("aside.rename");
        for (const char* side : kSideFiles) {
            const fsys::path from = withSuffix(file, side);
            if (fsys::exists(fsys::symlink_status(from, ec))) fsys::rename(from, withSuffix(aside, side));
        }
        fsys::rename(file, aside);
        return aside;
    }
    vb::Raise(58, "clsDbManager", "No free name to keep '" + file.string() + "' aside.");
}

// The store keeps key data in its log lines (a key written, a key read back): the file and its
// side files are for their owner only. The engine gives the side files it creates the mode of the
// file beside them, so a store made wider by an earlier version is narrowed before it opens.
void keepToOwner(const fsys::path& db) {
    for (const char* suffix : {"", "-wal", "-shm", "-journal"}) {
        const fsys::path file = withSuffix(db, suffix);
        struct stat st {};
        if (::lstat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == ::geteuid() &&
            (st.st_mode & 077) != 0)
            ::chmod(file.c_str(), st.st_mode & 0700);
    }
}

// The file a compaction writes: made empty for its owner only before the engine fills it (the
// engine would create it with the mode it gives every new database, readable by others).
void makePrivateEmptyFile(const fsys::path& file) {
    const int fd = fs::OpenPrivateFile(file, O_WRONLY | O_CREAT | O_EXCL);
    if (fd < 0)
        vb::Raise(75, "clsDbManager", "Path/File access error: '" + file.string() + "' (" + std::strerror(errno) + ")");
    ::close(fd);
}

const char* const kSettingsWhere =
    " FROM tblSettings WHERE strAppName = ?1 AND strSection = ?2 AND strKeyName = ?3";

}  // namespace

clsDbManager::clsDbManager(fsys::path folder, Reporter report)
    : folder_(std::move(folder)), report_(std::move(report)) {
    auto& ctx = imagelift::Ctx();
    deleteStatusLogOnStartup_ = false;

    // A "db1.mdb" that is no store (empty, not a database, or without the tables) would open as
    // working and then drop every setting and log line: it is renamed aside, kept for whoever
    // wants to look into it, and the store starts again like one that was missing.
    std::optional<std::string> setAsideLine;
    try {
        std::error_code ec;
        const fsys::path db = DatabasePath();
        if (fsys::exists(fsys::symlink_status(db, ec))) {
            if (const auto why = whyNotAStore(db)) {
                const fsys::path aside = setAside(db);
                setAsideLine = std::string("The database file ") + kDatabaseFile + " could not be used (" + *why +
                               ").  It was kept as '" + aside.filename().string() + "' and replaced by a copy of " +
                               kTemplateFile + ".";
            }
        }
    } catch (...) {
        // A start-up step that fails is skipped without a word; the next one runs.
    }

    // Without a working database, start from the clean template; without either, tell the user
    // and run without a store.
    try {
        std::error_code ec;
        const fsys::path db = DatabasePath();
        if (!fsys::exists(db, ec)) {
            const fsys::path clean = folder_ / kTemplateFile;
            if (fsys::exists(clean, ec)) {
                // The store keeps key data in its log: it is its owner's alone from the first
                // byte, whatever mode the template has.
                fsys::path temp = db;
                temp += ".tmp";
                if (!fs::CopyToPrivateFile(clean, temp))
                    throw fsys::filesystem_error("cannot copy the template", clean, temp,
                                                 std::error_code(errno, std::generic_category()));
                fsys::rename(temp, db);
            } else {
                TellUser(std::string("The database file (db1.mdb or alternatively db1_clean.mdb) cannot be found.  ") +
                             "This could have negative effects on the application.",
                         "Database not found");
            }
        }
    } catch (...) {
        // A start-up step that fails is skipped without a word; the next one runs.
    }

    try {
        if (OpenDatabase()) {
            LogOpened();
            StatusDisplay("App=" + ctx.App.Title + " ver " + vb::CStr(ctx.App.Major) + "." +
                              vb::CStr(ctx.App.Minor) + "." + vb::CStr(ctx.App.Revision) +
                              ", EXE=" + (ctx.App.Path.empty() ? fs::ProgramFolder() : ctx.App.Path) +
                              "\\" + ctx.App.EXEName,
                          basDebug::USER);
            if (setAsideLine) StatusDisplay(*setAsideLine, basDebug::WARNING);
        }
    } catch (...) {
        // A start-up step that fails is skipped without a word; the store then works without a database.
    }
}

clsDbManager::~clsDbManager() {
    try {
        StatusDisplay("Closing database...");
        // Lines and settings held for a locked store get one last wait for the lock.
        if (!held_.empty() || !heldSettings_.empty()) {
            const size_t lines = held_.size(), settings = heldSettings_.size();
            if (!writeHeld(true))
                std::cerr << "Imagelift: " << lines << " status log lines and " << settings
                          << " settings could not be written to '" << DatabasePath().string()
                          << "': another program still holds its lock.\n";
        }
        CloseDatabase();
        CompactDatabase();
    } catch (...) {
        // Nothing may leave the destructor; a shut-down step that fails is skipped without a word.
    }
}

bool clsDbManager::OpenDatabase() {
    std::error_code ec;
    if (!fsys::exists(DatabasePath(), ec)) return false;
    keepToOwner(DatabasePath());
    try {
        db_ = openStoreFile(DatabasePath());
    } catch (const vb::Error& e) {
        // A file that could not be set aside, or one that went bad while the program ran, stays
        // as it is and is never written to: tell the user.
        TellUser("The database file '" + DatabasePath().string() + "' cannot be opened (" + e.Description() +
                     ").  The program runs without its settings and status log.",
                 "Database error");
        throw;
    }
    // Every log line is its own small transaction: a write-ahead log without a sync per commit
    // keeps the file consistent when the program is killed, and keeps logging cheap.
    try {
        db_->Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
        // Each checkpoint of the log into the file costs two flushes to the disk; letting the
        // log grow to 4 MB between them keeps a busy download's logging cheap.
        sqlite::Statement pageSize(*db_, "PRAGMA page_size");
        const int64_t bytes = pageSize.Step() ? pageSize.ColumnInt(0) : 4096;
        db_->Exec("PRAGMA wal_autocheckpoint=" + std::to_string(kWalCheckpointBytes / std::max<int64_t>(bytes, 512)) + ";");
    } catch (const vb::Error&) {
        // A read-only file keeps its journal mode; reads still work.
    }
    // The store's statements, all of them or none: every write uses them. A file that opens yet
    // cannot take them (damaged where the start-up check did not look, or damaged since) is not
    // used: the program runs without its store and says so.
    try {
        faultPoint("open.statements");
        StoreStatements statements = prepareStoreStatements(*db_);
        insertStatus_ = std::move(statements.insertStatus);
        deleteOldest_ = std::move(statements.deleteOldest);
        begin_ = std::move(statements.begin);
        commit_ = std::move(statements.commit);
        statusRows_ = statements.statusRows;
    } catch (const vb::Error& e) {
        CloseDatabase();
        TellUser("The database file '" + DatabasePath().string() + "' cannot be used (" + e.Description() +
                     ").  The program runs without its settings and status log.",
                 "Database error");
        throw;
    }
    return true;
}

void clsDbManager::CloseDatabase() {
    insertStatus_.reset();
    deleteOldest_.reset();
    begin_.reset();
    commit_.reset();
    db_.reset();
}

std::vector<fsys::path> clsDbManager::StoreFiles(const fsys::path& folder) {
    std::vector<fsys::path> files{folder / kDatabaseFile};
    for (const char* side : kSideFiles) files.push_back(withSuffix(folder / kDatabaseFile, side));
    files.push_back(folder / kCompactedFile);
    files.push_back(folder / kTemplateFile);
    return files;
}

bool clsDbManager::IsOpen() const { return db_ != nullptr; }

bool clsDbManager::Updatable() const { return db_ && !db_->ReadOnly(); }

void clsDbManager::LogOpened() {
    StatusDisplay("Database initialized and status log opened on " + nowText() + ".", basDebug::USER);
}

void clsDbManager::StatusDisplay(const std::string& Message, int32_t Level) {
    if (report_) report_(*this, Message, Level);
}

std::string clsDbManager::GetSetting(const std::string& AppName, const std::string& Section,
                                     const std::string& Key,
                                     const std::optional<std::string>& DefaultValue) {
    std::string result;
    // A value saved while another program held the lock is the setting's value already.
    for (auto it = heldSettings_.rbegin(); it != heldSettings_.rend() && result.empty(); ++it)
        if (it->AppName == AppName && it->Section == Section && it->Key == Key) result = it->Value;
    try {
        if (db_ && result.empty()) {
            sqlite::Statement q(*db_, std::string("SELECT strValue") + kSettingsWhere + " ORDER BY id LIMIT 1");
            q.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key));
            if (q.Step()) result = fromStore(q.ColumnText(0));
        }
    } catch (...) {
        // A read that fails gives the default, without a word.
    }
    if (result.empty() && DefaultValue) result = *DefaultValue;
    return result;
}

std::string clsDbManager::GetSetting(const std::string& AppName, const std::string& Section,
                                     const std::string& Key, int32_t DefaultValue) {
    return GetSetting(AppName, Section, Key, std::optional<std::string>(vb::CStr(DefaultValue)));
}

std::string clsDbManager::SaveSetting(const std::string& AppName, const std::string& Section,
                                      const std::string& Key, const std::string& Value) {
    try {
        if (!Updatable()) return "";
        HeldSetting setting{AppName, Section, Key, Value};
        if (storeLocked_) {
            // The lock was held a moment ago: one try without waiting, for what is held and this.
            holdSetting(std::move(setting));
            writeHeld(false);
            return "";
        }
        if (saveSettings({setting}) != Appended::Locked) return "";
        holdSetting(std::move(setting));
        lockMet();
    } catch (...) {
        // A write that fails changes nothing, without a word.
    }
    return "";
}

int32_t clsDbManager::RemoveSetting(const std::string& AppName, const std::string& Section,
                                    const std::string& Key) {
    try {
        if (!Updatable()) return -1;
        // A value held for a locked store would bring the setting back when the lock is free.
        std::erase_if(heldSettings_, [&](const HeldSetting& h) {
            return h.AppName == AppName && h.Section == Section && h.Key == Key;
        });
        // While another program holds the lock, no removal waits for it.
        struct NoWait {
            sqlite::Database& db;
            bool on;
            ~NoWait() {
                if (on) db.WaitWhenBusy(true);
            }
        } noWait{*db_, storeLocked_};
        if (noWait.on) db_->WaitWhenBusy(false);
        sqlite::Statement del(*db_, std::string("DELETE FROM tblSettings WHERE id = (SELECT id") +
                                        kSettingsWhere + " ORDER BY id LIMIT 1)");
        del.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key)).Run();
        return db_->Changes() > 0 ? 1 : -1;
    } catch (...) {
        return -1;
    }
}

int32_t clsDbManager::SetDefaultDownloadBehavior(int16_t DownloadType) {
    // SaveSetting skips a failed write itself.
    SaveSetting(imagelift::Ctx().App.Title, "frmSelectFirmware", "DefaultLoadBehavior", vb::CStr(int32_t(DownloadType)));
    return 0;
}

int16_t clsDbManager::GetDefaultDownloadBehavior() {
    try {
        return vb::CInt(GetSetting(imagelift::Ctx().App.Title, "frmSelectFirmware",
                                   "DefaultLoadBehavior", 0));
    } catch (...) {
        return 0;
    }
}

void clsDbManager::AppendToLog(const std::string& Message, int32_t Level, const std::string& Module,
                               int32_t RunTime) {
    if (!insertStatus_ || !Updatable()) return;
    HeldLine line{Message.substr(0, kMaxMessageChars), Level, Module.substr(0, kMaxModuleChars), RunTime};
    // A line the store's own report brings while it appends waits for the next append.
    if (appending_) {
        holdLine(std::move(line));
        return;
    }
    struct Appending {
        bool& flag;
        explicit Appending(bool& f) : flag(f) { flag = true; }
        ~Appending() { flag = false; }
    } appending{appending_};

    if (storeLocked_) {
        // The lock was held a moment ago: one try without waiting, for what is held and this.
        holdLine(std::move(line));
        writeHeld(false);
        return;
    }
    // Lines the store's own report brought during an earlier append go first; then, as a count,
    // the lines a failing database (a full disk) cost; then this line.
    std::deque<HeldLine> lines = held_;
    if (lostLines_ > 0)
        lines.push_back({std::to_string(lostLines_) + " status log lines were lost while the database file could not "
                         "be written.",
                         basDebug::WARNING, "clsDbManager", line.RunTime});
    lines.push_back(line);
    switch (appendLines(lines)) {
    case Appended::Done:
        held_.clear();
        lostLines_ = 0;
        return;
    case Appended::Failed: {
        const size_t count = held_.size() + 1;
        held_.clear();
        linesLost(count);
        return;
    }
    case Appended::Locked:
        holdLine(std::move(line));
        lockMet();
        return;
    }
}

void clsDbManager::lockMet() {
    storeLocked_ = true;
    if (lockReported_) return;
    lockReported_ = true;
    const std::string text = "Another program holds the lock on the database file '" + DatabasePath().string() +
                             "': status log lines (at most " + std::to_string(kMaxHeldLines) +
                             ") and settings are kept in memory and written when the lock is free.";
    // Standard error too: a run stalled by someone else's lock is never silent.
    std::cerr << "Imagelift: " << text << "\n";
    StatusDisplay(text, basDebug::WARNING);
}

void clsDbManager::linesLost(size_t count) {
    lostLines_ += count;
    if (lossReported_) return;
    lossReported_ = true;
    const std::string text = "The status log in the database file '" + DatabasePath().string() +
                             "' cannot take more lines (" + lastFailure_ + "): they are lost until it can.";
    // Said once, on standard error and to the logger at ERROR: an unattended run's status file
    // has it. The lines the status file takes are not lost; the run's result is not changed.
    std::cerr << "Imagelift: " << text << "\n";
    StatusDisplay(text, basDebug::ERROR_LEVEL);
}

void clsDbManager::holdLine(HeldLine line) {
    if (held_.size() >= kMaxHeldLines) {
        held_.pop_front();
        ++heldDropped_;
    }
    held_.push_back(std::move(line));
}

void clsDbManager::holdSetting(HeldSetting setting) {
    // One value per key, the latest; an empty value keeps the one held before it.
    for (HeldSetting& h : heldSettings_) {
        if (h.AppName == setting.AppName && h.Section == setting.Section && h.Key == setting.Key) {
            if (!setting.Value.empty()) h.Value = std::move(setting.Value);
            return;
        }
    }
    heldSettings_.push_back(std::move(setting));
}

bool clsDbManager::writeHeld(bool wait) {
    if (!db_) return true;
    if (!wait) db_->WaitWhenBusy(false);
    const Appended settings = heldSettings_.empty() ? Appended::Done : saveSettings(heldSettings_);
    Appended lines = Appended::Done;
    if (settings != Appended::Locked && !held_.empty()) {
        if (heldDropped_ > 0) {
            held_.push_back({std::to_string(heldDropped_) + " status log lines were lost while another program held the "
                             "lock on the database file.",
                             basDebug::WARNING, "clsDbManager", held_.back().RunTime});
        }
        lines = appendLines(held_);
        if (heldDropped_ > 0 && lines != Appended::Done) held_.pop_back();
    }
    if (!wait) db_->WaitWhenBusy(true);
    // Written, or refused for a reason of their own that keeping them would not mend.
    if (settings != Appended::Locked) heldSettings_.clear();
    if (settings == Appended::Locked || lines == Appended::Locked) return false;
    const size_t count = held_.size();
    held_.clear();
    heldDropped_ = 0;
    storeLocked_ = false;
    if (lines == Appended::Failed) linesLost(count);
    return true;
}

clsDbManager::Appended clsDbManager::saveSettings(const std::deque<HeldSetting>& settings) {
    bool inTransaction = false;
    try {
        // The write lock first: a transaction that has read before it asks for the lock is
        // refused at once by another writer, without the wait.
        db_->Exec("BEGIN IMMEDIATE");
        inTransaction = true;
        for (const HeldSetting& s : settings) {
            sqlite::Statement find(*db_, std::string("SELECT id") + kSettingsWhere + " ORDER BY id LIMIT 1");
            find.Bind(1, toStore(s.AppName)).Bind(2, toStore(s.Section)).Bind(3, toStore(s.Key));
            if (find.Step()) {
                // An empty value leaves the stored one as it is.
                if (!s.Value.empty()) {
                    sqlite::Statement update(*db_, "UPDATE tblSettings SET strValue = ?1 WHERE id = ?2");
                    update.Bind(1, toStore(s.Value)).Bind(2, find.ColumnInt(0)).Run();
                }
            } else {
                sqlite::Statement insert(
                    *db_, "INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES (?1, ?2, ?3, ?4)");
                insert.Bind(1, toStore(s.AppName)).Bind(2, toStore(s.Section)).Bind(3, toStore(s.Key));
                insert.Bind(4, toStore(s.Value)).Run();
            }
        }
        commit_->Run();
        return Appended::Done;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        if (inTransaction) {
            try {
                db_->Exec("ROLLBACK");
            } catch (...) {
                // The save has failed already; a failed rollback adds nothing the caller could act on.
            }
        }
        lastFailure_ = e.Description();
        return e.Number() == sqlite::kDbLocked ? Appended::Locked : Appended::Failed;
    }
}

clsDbManager::Appended clsDbManager::appendLines(const std::deque<HeldLine>& lines) {
    bool inTransaction = false;
    try {
        // One commit for the new lines and the removal of the oldest ones.
        begin_->Run();
        inTransaction = true;
        for (const HeldLine& line : lines) {
            insertStatus_->Reset();
            insertStatus_->Bind(1, int64_t(line.RunTime)).Bind(2, int64_t(line.Level));
            insertStatus_->Bind(3, toStore(line.Message));
            insertStatus_->Bind(4, toStore(line.Module));
            insertStatus_->Run();
            ++statusRows_;
            // At most two of the oldest rows go per line, so an over-full table shrinks gently.
            for (int i = 0; i < 2 && statusRows_ > kMaxStatusRows; ++i) {
                deleteOldest_->Run();
                if (db_->Changes() == 0) break;
                --statusRows_;
            }
        }
        commit_->Run();
        return Appended::Done;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        const bool locked = e.Number() == sqlite::kDbLocked;
        lastFailure_ = e.Description();
        if (inTransaction) {
            try {
                db_->Exec("ROLLBACK");
            } catch (...) {
                // The append has failed already; a failed rollback adds nothing the caller could act on.
            }
        }
        // The cached row count may no longer hold; read it again.
        try {
            sqlite::Statement count(*db_, "SELECT COUNT(*) FROM tblStatus");
            statusRows_ = count.Step() ? count.ColumnInt(0) : statusRows_;
        } catch (...) {
            // The cached count stays as it was.
        }
        return locked ? Appended::Locked : Appended::Failed;
    }
}

int32_t clsDbManager::ReopenDatabase() {
    try {
        if (!OpenDatabase()) vb::Raise(3024, "clsDbManager", "Couldn't find file '" + DatabasePath().string() + "'.");
        LogOpened();
        return 1;
    } catch (...) {
        CloseDatabase();
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ReopenDatabase.  Exiting abnormally."),
                      basDebug::ERROR_LEVEL);
        return -1;
    }
}

int32_t clsDbManager::MakeCopy(std::string strFilename) {
    bool closed = false;
    try {
        if (fs::FileExists(strFilename) &&
            forms::MsgBox("The file '" + strFilename + "' already exists.  Overwrite?", forms::vbYesNo) != forms::vbYes)
            return -1;
        if (db_) {
            CloseDatabase();
            closed = true;
        }
        faultPoint("copy.file");
        fsys::copy_file(DatabasePath(), fs::ToNativePath(strFilename), fsys::copy_options::overwrite_existing);
        ReopenDatabase();
        return 1;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        if (closed) ReopenDatabase();
        StatusDisplay(vb::ErrorLine("Error #", e,
                                    " in MakeCopy.  Could not create '" + strFilename + "'  Exiting abnormally."),
                      basDebug::ERROR_LEVEL);
        return -1;
    }
}

int32_t clsDbManager::CompactDatabase() {
    const fsys::path target = folder_ / kCompactedFile;
    if (db_) {
        StatusDisplay("Cannot compact a database that is currently open.  Compact operation cannot complete.",
                      basDebug::ERROR_LEVEL);
        return -1;
    }
    std::error_code ec;
    if (fsys::exists(target, ec)) {
        fsys::remove(target, ec);
        if (fsys::exists(target, ec)) {
            StatusDisplay("Could not kill old compacted database'" + target.string() +
                              "'.  Compact operation cannot complete.",
                          basDebug::ERROR_LEVEL);
            return -1;
        }
    }
    try {
        // Compact into a new file, then let it replace "db1.mdb" in one rename: until the
        // rename, the original stays whole, so a failure at any step loses nothing.
        {
            // A file that is not the store (one that could not be set aside) is left as it is.
            const auto source = openStoreFile(DatabasePath());
            makePrivateEmptyFile(target);
            faultPoint("compact.vacuum");
            sqlite::Statement vacuum(*source, "VACUUM INTO ?1");
            vacuum.Bind(1, target.string()).Run();
        }
        // The last connection to close removes the write-ahead log. When it is still there,
        // another program has the store open: a file renamed in under it would be paired with
        // that program's log, so the original stays.
        fsys::path wal = DatabasePath();
        wal += "-wal";
        if (fsys::exists(wal, ec))
            vb::Raise(3045, "clsDbManager", "Could not use '" + DatabasePath().string() + "'; file already in use.");
        syncFile(target);
        faultPoint("compact.rename");
        fsys::rename(target, DatabasePath());
        syncFile(folder_);
        return 1;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        fsys::remove(target, ec);
        StatusDisplay(vb::ErrorLine("Error #", e, " in clsDbManager.CompactDatabase.  EXITING ABNORMALLY."),
                      basDebug::ERROR_LEVEL);
        return -1;
    }
}
