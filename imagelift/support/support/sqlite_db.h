// A small RAII wrapper over the SQLite 3 C API: one connection, prepared statements with bound
// parameters. Failures raise vb::Error (number kDbEngineError, the engine's own message as the
// description; kDbNotADatabase when a file is not a database or its schema is damaged;
// kDbCannotOpen when a file cannot be opened for another reason; kDbLocked when another
// connection held the lock a statement needed for longer than the wait).
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

struct sqlite3;
struct sqlite3_stmt;

namespace sqlite {

inline constexpr int32_t kDbCannotOpen = 3051;   // "The database engine cannot open the file."
inline constexpr int32_t kDbNotADatabase = 3343;  // "Unrecognized database format."
inline constexpr int32_t kDbEngineError = 3146;  // any other engine failure
inline constexpr int32_t kDbLocked = 3218;        // "Could not update; currently locked."

class Database {
public:
    enum class Mode { ReadWrite, ReadWriteCreate, ReadOnly };
    // Opens `path` (never creating it unless asked) and reads its schema. Raises
    // kDbNotADatabase or kDbCannotOpen.
    Database(const std::filesystem::path& path, Mode mode);
    ~Database();
    Database(const Database&) = delete;
    Database& operator=(const Database&) = delete;

    // Runs one or more statements without results.
    void Exec(const std::string& sql);
    // Whether a statement that meets another connection's lock waits for it (on the clock, for
    // a bounded time) before failing with kDbLocked; on from the opening.
    void WaitWhenBusy(bool wait);
    bool ReadOnly() const;
    int64_t Changes() const;
    sqlite3* Handle() const { return db_; }
    std::string ErrorMessage() const;

private:
    sqlite3* db_ = nullptr;
};

class Statement {
public:
    Statement(Database& db, const std::string& sql);
    ~Statement();
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Parameters are numbered from 1.
    Statement& Bind(int index, int64_t value);
    Statement& Bind(int index, const std::string& value);
    // Steps once: true while a row is available.
    bool Step();
    // Runs to completion and resets (a statement without result rows).
    void Run();
    // Resets for the next run and clears the bindings.
    void Reset();

    int64_t ColumnInt(int column) const;
    // Text of a column; nullopt for NULL.
    std::optional<std::string> ColumnText(int column) const;

private:
    Database& db_;
    sqlite3_stmt* stmt_ = nullptr;
};

}  // namespace sqlite
