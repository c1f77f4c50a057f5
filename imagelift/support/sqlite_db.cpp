#include "support/sqlite_db.h"

#include <sqlite3.h>

#include "clock/clock.h"
#include "vbrt/error.h"

namespace sqlite {

namespace {
// The error number for an engine result: a file that is not a database, or whose schema is
// damaged, is told apart from one that merely cannot be opened now (locked, unreadable).
int32_t numberFor(int rc, int32_t otherwise) {
    switch (rc & 0xFF) {
        case SQLITE_NOTADB:
        case SQLITE_CORRUPT: return kDbNotADatabase;
        case SQLITE_CANTOPEN: return kDbCannotOpen;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return kDbLocked;
        default: return otherwise;
    }
}

// Another process may hold the file's lock for a moment (a tool reading the status log, the
// switch to the write-ahead log while someone reads). A statement that meets the lock waits for
// it, on the program's clock, for at most kBusyTries * kBusyStepMs, instead of failing at once
// and losing the log line or the setting it carried.
constexpr int kBusyTries = 200;
constexpr uint32_t kBusyStepMs = 10;
int waitWhileBusy(void*, int tries) {
    if (tries >= kBusyTries) return 0;
    clk::Sleep(kBusyStepMs);
    return 1;
}

[[noreturn]] void raise(sqlite3* db, int rc, const std::string& what) {
    const int32_t number = numberFor(rc, kDbEngineError);
    std::string text = db ? sqlite3_errmsg(db) : sqlite3_errstr(rc);
    vb::Raise(number, "clsDbManager", what + ": " + text);
}
}  // namespace

Database::Database(const std::filesystem::path& path, Mode mode) {
    int flags = SQLITE_OPEN_NOMUTEX;
    switch (mode) {
        case Mode::ReadWrite: flags |= SQLITE_OPEN_READWRITE; break;
        case Mode::ReadWriteCreate: flags |= SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE; break;
        case Mode::ReadOnly: flags |= SQLITE_OPEN_READONLY; break;
    }
    const std::string name = path.string();
    int rc = sqlite3_open_v2(name.c_str(), &db_, flags, nullptr);
    if (rc == SQLITE_OK) {
        sqlite3_extended_result_codes(db_, 1);
        sqlite3_busy_handler(db_, waitWhileBusy, nullptr);
        // The engine reads the file lazily; read its schema now so that a file which is not a
        // database (or is damaged) is refused here and not at the first write.
        rc = sqlite3_exec(db_, "SELECT count(*) FROM sqlite_master", nullptr, nullptr, nullptr);
    }
    if (rc != SQLITE_OK) {
        std::string text = db_ ? sqlite3_errmsg(db_) : sqlite3_errstr(rc);
        sqlite3_close_v2(db_);
        db_ = nullptr;
        vb::Raise(numberFor(rc, kDbCannotOpen), "clsDbManager",
                  "The database engine cannot open the file '" + name + "': " + text);
    }
}

Database::~Database() {
    if (db_) sqlite3_close_v2(db_);
}

void Database::Exec(const std::string& sql) {
    char* err = nullptr;
    const int rc = sqlite3_exec(db_, sql.c_str(), nullptr, nullptr, &err);
    if (rc != SQLITE_OK) {
        std::string text = err ? err : sqlite3_errstr(rc);
        sqlite3_free(err);
        vb::Raise(numberFor(rc, kDbEngineError), "clsDbManager", text);
    }
}

void Database::WaitWhenBusy(bool wait) {
    if (wait)
        sqlite3_busy_handler(db_, waitWhileBusy, nullptr);
    else
        sqlite3_busy_handler(db_, nullptr, nullptr);
}

bool Database::ReadOnly() const { return sqlite3_db_readonly(db_, "main") != 0; }

int64_t Database::Changes() const { return sqlite3_changes(db_); }

std::string Database::ErrorMessage() const { return sqlite3_errmsg(db_); }

Statement::Statement(Database& db, const std::string& sql) : db_(db) {
    const int rc = sqlite3_prepare_v2(db.Handle(), sql.c_str(), int(sql.size()), &stmt_, nullptr);
    if (rc != SQLITE_OK) raise(db.Handle(), rc, "Cannot prepare '" + sql + "'");
}

Statement::~Statement() { sqlite3_finalize(stmt_); }

Statement& Statement::Bind(int index, int64_t value) {
    const int rc = sqlite3_bind_int64(stmt_, index, value);
    if (rc != SQLITE_OK) raise(db_.Handle(), rc, "Cannot bind");
    return *this;
}

Statement& Statement::Bind(int index, const std::string& value) {
    const int rc = sqlite3_bind_text(stmt_, index, value.data(), int(value.size()), SQLITE_TRANSIENT);
    if (rc != SQLITE_OK) raise(db_.Handle(), rc, "Cannot bind");
    return *this;
}

bool Statement::Step() {
    const int rc = sqlite3_step(stmt_);
    if (rc == SQLITE_ROW) return true;
    if (rc == SQLITE_DONE) return false;
    const std::string text = sqlite3_errmsg(db_.Handle());
    sqlite3_reset(stmt_);
    vb::Raise(numberFor(rc, kDbEngineError), "clsDbManager", text);
}

void Statement::Run() {
    while (Step()) {
    }
    sqlite3_reset(stmt_);
}

void Statement::Reset() {
    sqlite3_reset(stmt_);
    sqlite3_clear_bindings(stmt_);
}

int64_t Statement::ColumnInt(int column) const { return sqlite3_column_int64(stmt_, column); }

std::optional<std::string> Statement::ColumnText(int column) const {
    if (sqlite3_column_type(stmt_, column) == SQLITE_NULL) return std::nullopt;
    const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
    const int n = sqlite3_column_bytes(stmt_, column);
    return std::string(p ? p : "", size_t(n));
}

}  // namespace sqlite
