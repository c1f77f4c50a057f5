// The settings-and-log store of Imagelift (clsDbManager).
//
// One small SQLite database, "db1.mdb", in the folder start-up gives the store: table
// tblSettings holds every setting as text under (application title, section, key), table
// tblStatus holds the status log (at most 2000 rows, oldest removed first). Without "db1.mdb"
// the clean template "db1_clean.mdb" of the same folder is copied; without either the user is
// told and the program runs without a store (reads give their defaults, writes do nothing).
// A "db1.mdb" that is no store (an empty file, not a database, without both tables, with
// damaged pages, or with tables that cannot take the store's statements) is renamed aside to
// "db1.mdb.bad" (or "db1.mdb.bad2", ... when taken), never deleted, and treated like a missing
// one; a WARNING line in the new store says so. A file that still cannot take the statements
// when it is opened (another program's lock) is not used at all: the program runs without a
// store and tells the user.
// Releasing the store closes the database and compacts it into a temporary file that then
// replaces "db1.mdb" in one rename, so a failure never loses the original.
//
// The store only stores. Where a line goes (a status window, the status file of an unattended
// run, its status log) is the logger's decision: the store hands its own lines (opening,
// closing, failures) to the reporter it is given, and the program gives it the logger's.
#pragma once

#include <cstdint>
#include <deque>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/log_levels.h"

namespace sqlite {
class Database;
class Statement;
}
namespace forms {
class MAPISession;
class MAPIMessages;
}

class clsDbManager {
public:
    static constexpr const char* kDatabaseFile = "db1.mdb";
    static constexpr const char* kTemplateFile = "db1_clean.mdb";
    static constexpr const char* kCompactedFile = "db1-compacted.mdb";
    static constexpr const char* kErrorReportCopy = "debug_log.mdb";
    static constexpr int32_t kMaxStatusRows = 2000;
    static constexpr size_t kMaxMessageChars = 250;
    static constexpr size_t kMaxModuleChars = 50;

    // Receives each of the store's own lines with its level (basDebug's levels); `store` is the
    // reporting store, which may not yet (or no longer) be the program's. The program passes
    // basDebug::ReportStoreLine.
    using Reporter = std::function<void(clsDbManager& store, const std::string& message, int32_t level)>;

    // Class_Initialize: opens (or first copies from the template) "db1.mdb" in `folder`. Its
    // own lines go to `report` (an empty one drops them).
    clsDbManager(std::filesystem::path folder, Reporter report);
    // Class_Terminate: closes and compacts the database.
    ~clsDbManager();
    clsDbManager(const clsDbManager&) = delete;
    clsDbManager& operator=(const clsDbManager&) = delete;

    bool ysnDeleteStatusLogOnStartup() const { return deleteStatusLogOnStartup_; }
    void ysnDeleteStatusLogOnStartup(bool value) { deleteStatusLogOnStartup_ = value; }

    // Stores DownloadType under "frmSelectFirmware"/"DefaultLoadBehavior"; 0.
    int32_t SetDefaultDownloadBehavior(int16_t DownloadType);
    // The number stored there (default 0); 0 when it cannot be read as a number.
    int16_t GetDefaultDownloadBehavior();

    // The stored value; DefaultValue when the value is missing or empty and a default is
    // given; else "".
    std::string GetSetting(const std::string& AppName, const std::string& Section,
                           const std::string& Key,
                           const std::optional<std::string>& DefaultValue = std::nullopt);
    std::string GetSetting(const std::string& AppName, const std::string& Section,
                           const std::string& Key, int32_t DefaultValue);
    // Stores Value (an empty Value keeps an existing value, or stores "" for a new key).
    // Always returns "". While another program holds the store's lock the setting is kept in
    // memory and written with the held log lines (see below).
    std::string SaveSetting(const std::string& AppName, const std::string& Section,
                            const std::string& Key, const std::string& Value);
    // 1 when a row was deleted, -1 when none matched or the store cannot be changed.
    int32_t RemoveSetting(const std::string& AppName, const std::string& Section,
                          const std::string& Key);

    // Adds one status-log row (message cut to 250 characters, module to 50) and keeps the table
    // at most 2000 rows. Nothing else: the status file of an unattended run is the logger's.
    // While another program holds the store's lock the row is kept in memory (see below); a row
    // the database cannot take (a full disk) is lost, which is said once.
    void AppendToLog(const std::string& Message, int32_t Level, const std::string& Module,
                     int32_t RunTime);

    // Copies the database to strFilename (asks before overwriting an existing file; "*" is
    // removed from the name); 1 on success, -1 otherwise.
    int32_t MakeCopy(std::string strFilename);

    // Sends the status log to the maker's support: a mail with a copy of the store, through the
    // main window's mail controls, its compose window shown. The support address is the setting
    // "Settings"/"SupportEmailAddress" (offered for entry when blank). 1 when the mail was
    // handed to the mail program, -1 otherwise: the user is told why (unless they cancelled the
    // mail themselves) and the failure is logged through the store's own lines.
    int32_t SendErrorReport(forms::MAPISession& MAPISession1, forms::MAPIMessages& MAPIMessages1);

    // The files the store keeps in `folder`: the database, the engine's side files beside it
    // (write-ahead log and its index, rollback journal), the compacted copy that replaces the
    // database when the program ends, and the clean template. Whatever else writes one of them
    // loses its data, or the store's.
    static std::vector<std::filesystem::path> StoreFiles(const std::filesystem::path& folder);

    // --- for start-up, tests and tools ---
    bool IsOpen() const;
    const std::filesystem::path& Folder() const { return folder_; }
    std::filesystem::path DatabasePath() const { return folder_ / kDatabaseFile; }

private:
    int32_t ReopenDatabase();
    int32_t CompactDatabase();
    void StatusDisplay(const std::string& Message, int32_t Level = basDebug::TRACE);
    bool OpenDatabase();   // opens without creating; false (and logs) when it cannot
    void CloseDatabase();
    bool Updatable() const;
    void LogOpened();

    std::filesystem::path folder_;
    Reporter report_;
    bool deleteStatusLogOnStartup_ = false;
    std::unique_ptr<sqlite::Database> db_;
    std::unique_ptr<sqlite::Statement> insertStatus_;
    std::unique_ptr<sqlite::Statement> deleteOldest_;
    std::unique_ptr<sqlite::Statement> begin_;
    std::unique_ptr<sqlite::Statement> commit_;
    int64_t statusRows_ = 0;  // rows of tblStatus, counted when the database opens

    // Status-log lines and settings held while another connection keeps the store's write lock.
    // After the first wait for the lock that fails (an append or a save), the user is told once;
    // the lines wait here (the newest kMaxHeldLines, older ones counted as lost), the settings
    // too (the latest value of each key, which reads see), and they go in, in order, with the
    // first write that finds the lock free. No write waits for the lock in the meantime; the
    // store's end gives them one last wait.
    struct HeldLine {
        std::string Message;
        int32_t Level;
        std::string Module;
        int32_t RunTime;
    };
    struct HeldSetting {
        std::string AppName;
        std::string Section;
        std::string Key;
        std::string Value;
    };
    enum class Appended { Done, Locked, Failed };
    Appended appendLines(const std::deque<HeldLine>& lines);
    Appended saveSettings(const std::deque<HeldSetting>& settings);
    void holdLine(HeldLine line);
    void holdSetting(HeldSetting setting);
    bool writeHeld(bool wait);
    void lockMet();
    // A status-log line the database did not take for a reason other than the lock (a full
    // disk): counted, and said once (standard error and the logger at ERROR, so an unattended
    // run's status file has it); the count goes in with the first line the log takes again.
    void linesLost(size_t count);
    std::deque<HeldLine> held_;
    std::deque<HeldSetting> heldSettings_;
    size_t heldDropped_ = 0;
    bool storeLocked_ = false;
    bool lockReported_ = false;
    bool appending_ = false;
    std::string lastFailure_;  // the engine's words for the last write that failed
    size_t lostLines_ = 0;
    bool lossReported_ = false;

public:
    static constexpr size_t kMaxHeldLines = 2000;
};

namespace dbschema {
// The schema of a clean store: both tables, no rows.
extern const char* const kSchemaSql;
// Writes a clean store to `path` (through a temporary file and a rename, so a half-written
// template never exists). Raises vb::Error on failure.
void CreateCleanDatabase(const std::filesystem::path& path);
}  // namespace dbschema
