#include "support/db_manager.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
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

const char* const kSettingsWhere =
    " FROM tblSettings WHERE strAppName = ?1 AND strSection = ?2 AND strKeyName = ?3";

}  // namespace

clsDbManager::clsDbManager(fsys::path folder, Reporter report)
    : folder_(std::move(folder)), report_(std::move(report)) {
    auto& ctx = imagelift::Ctx();
    deleteStatusLogOnStartup_ = false;

    // Without a working database, start from the clean template; without either, tell the user
    // and run without a store. A file that exists is never replaced here.
    try {
        std::error_code ec;
        const fsys::path db = DatabasePath();
        if (!fsys::exists(db, ec)) {
            const fsys::path clean = folder_ / kTemplateFile;
            if (fsys::exists(clean, ec)) {
                fsys::path temp = db;
                temp += ".tmp";
                fsys::copy_file(clean, temp, fsys::copy_options::overwrite_existing);
                fsys::rename(temp, db);
            } else {
                TellUser(std::string("The database file (db1.mdb or alternatively db1_clean.mdb) cannot be found.  ") +
                             "This could have negative effects on the application.",
                         "Database not found");
            }
        }
    } catch (...) {
    }

    try {
        if (OpenDatabase()) {
            LogOpened();
            StatusDisplay("App=" + ctx.App.Title + " ver " + vb::CStr(ctx.App.Major) + "." +
                              vb::CStr(ctx.App.Minor) + "." + vb::CStr(ctx.App.Revision) +
                              ", EXE=" + (ctx.App.Path.empty() ? fs::ProgramFolder() : ctx.App.Path) +
                              "\\" + ctx.App.EXEName,
                          basDebug::USER);
        }
    } catch (...) {
    }
}

clsDbManager::~clsDbManager() {
    try {
        StatusDisplay("Closing database...");
        CloseDatabase();
        CompactDatabase();
    } catch (...) {
    }
}

bool clsDbManager::OpenDatabase() {
    std::error_code ec;
    if (!fsys::exists(DatabasePath(), ec)) return false;
    try {
        db_ = std::make_unique<sqlite::Database>(DatabasePath(), sqlite::Database::Mode::ReadWrite);
    } catch (const vb::Error& e) {
        // A file of that name that is not one of our databases stays as it is: tell the user.
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
    // A store without a status table still keeps settings.
    try {
        insertStatus_ = std::make_unique<sqlite::Statement>(
            *db_, "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)");
        deleteOldest_ = std::make_unique<sqlite::Statement>(
            *db_, "DELETE FROM tblStatus WHERE id = (SELECT MIN(id) FROM tblStatus)");
        sqlite::Statement count(*db_, "SELECT COUNT(*) FROM tblStatus");
        statusRows_ = count.Step() ? count.ColumnInt(0) : 0;
        begin_ = std::make_unique<sqlite::Statement>(*db_, "BEGIN");
        commit_ = std::make_unique<sqlite::Statement>(*db_, "COMMIT");
    } catch (const vb::Error&) {
        insertStatus_.reset();
        deleteOldest_.reset();
        begin_.reset();
        commit_.reset();
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
    try {
        if (db_) {
            sqlite::Statement q(*db_, std::string("SELECT strValue") + kSettingsWhere + " ORDER BY id LIMIT 1");
            q.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key));
            if (q.Step()) result = fromStore(q.ColumnText(0));
        }
    } catch (...) {
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
        sqlite::Statement find(*db_, std::string("SELECT id") + kSettingsWhere + " ORDER BY id LIMIT 1");
        find.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key));
        if (find.Step()) {
            // An empty value leaves the stored one as it is.
            if (!Value.empty()) {
                sqlite::Statement update(*db_, "UPDATE tblSettings SET strValue = ?1 WHERE id = ?2");
                update.Bind(1, toStore(Value)).Bind(2, find.ColumnInt(0)).Run();
            }
        } else {
            sqlite::Statement insert(
                *db_, "INSERT INTO tblSettings (strAppName, strSection, strKeyName, strValue) VALUES (?1, ?2, ?3, ?4)");
            insert.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key));
            insert.Bind(4, toStore(Value)).Run();
        }
    } catch (...) {
    }
    return "";
}

int32_t clsDbManager::RemoveSetting(const std::string& AppName, const std::string& Section,
                                    const std::string& Key) {
    try {
        if (!Updatable()) return -1;
        sqlite::Statement del(*db_, std::string("DELETE FROM tblSettings WHERE id = (SELECT id") +
                                        kSettingsWhere + " ORDER BY id LIMIT 1)");
        del.Bind(1, toStore(AppName)).Bind(2, toStore(Section)).Bind(3, toStore(Key)).Run();
        return db_->Changes() > 0 ? 1 : -1;
    } catch (...) {
        return -1;
    }
}

int32_t clsDbManager::SetDefaultDownloadBehavior(int16_t DownloadType) {
    try {
        SaveSetting(imagelift::Ctx().App.Title, "frmSelectFirmware", "DefaultLoadBehavior",
                    vb::CStr(int32_t(DownloadType)));
    } catch (...) {
    }
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
    bool inTransaction = false;
    try {
        // One commit for the new line and the removal of the oldest ones.
        begin_->Run();
        inTransaction = true;
        insertStatus_->Reset();
        insertStatus_->Bind(1, int64_t(RunTime)).Bind(2, int64_t(Level));
        insertStatus_->Bind(3, toStore(Message.substr(0, kMaxMessageChars)));
        insertStatus_->Bind(4, toStore(Module.substr(0, kMaxModuleChars)));
        insertStatus_->Run();
        ++statusRows_;
        // At most two of the oldest rows go per line, so an over-full table shrinks gently.
        for (int i = 0; i < 2 && statusRows_ > kMaxStatusRows; ++i) {
            deleteOldest_->Run();
            if (db_->Changes() == 0) break;
            --statusRows_;
        }
        commit_->Run();
    } catch (...) {
        if (inTransaction) {
            try {
                db_->Exec("ROLLBACK");
            } catch (...) {
            }
            // The cached row count may no longer hold; read it again.
            try {
                sqlite::Statement count(*db_, "SELECT COUNT(*) FROM tblStatus");
                statusRows_ = count.Step() ? count.ColumnInt(0) : statusRows_;
            } catch (...) {
            }
        }
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
            sqlite::Database source(DatabasePath(), sqlite::Database::Mode::ReadWrite);
            faultPoint("compact.vacuum");
            sqlite::Statement vacuum(source, "VACUUM INTO ?1");
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
