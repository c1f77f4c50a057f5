// Status-log append rate: lines per second through clsDbManager::AppendToLog (one transaction
// per line, the 2000-line cap in force) beside the engine doing the same work by hand: prepared
// statements, one commit per line that inserts the line and removes the oldest one, on the same
// file settings, machine and file system. Their ratio is the store's own overhead.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <string>

#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "support/sqlite_db.h"

namespace {

namespace stdfs = std::filesystem;

// A temporary folder holding a clean store, removed at the end.
class TempStore {
public:
    TempStore() {
        char tmpl[] = "/tmp/lumarel-store-bench-XXXXXX";
        folder_ = ::mkdtemp(tmpl);
        dbschema::CreateCleanDatabase(folder_ / clsDbManager::kDatabaseFile);
    }
    ~TempStore() {
        std::error_code ec;
        stdfs::remove_all(folder_, ec);
    }
    const stdfs::path& Folder() const { return folder_; }

private:
    stdfs::path folder_;
};

const std::string kMessage =
    "Block 0x00012340 written, 1024 bytes, response code 0x00000001 after 2 polls";

void BM_AppendToLogWithCap(benchmark::State& state) {
    TempStore temp;
    imagelift::ProgramContext ctx;
    imagelift::ScopedContext scoped(ctx);
    clsDbManager store(temp.Folder(), basDebug::ReportStoreLine);
    // Start at the cap, so every line also removes the oldest one.
    for (int i = 0; i < clsDbManager::kMaxStatusRows; ++i) store.AppendToLog(kMessage, 5, "basBootloader", i);
    int32_t runTime = 0;
    for (auto _ : state) store.AppendToLog(kMessage, 5, "basBootloader", ++runTime);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendToLogWithCap)->Unit(benchmark::kMicrosecond)->UseRealTime();

// The store's file settings: a write-ahead log without a sync per commit, checkpointed every
// 4 MB.
void OpenAsTheStoreDoes(sqlite::Database& db) {
    db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    sqlite::Statement pageSize(db, "PRAGMA page_size");
    const int64_t bytes = pageSize.Step() ? pageSize.ColumnInt(0) : 4096;
    db.Exec("PRAGMA wal_autocheckpoint=" + std::to_string((int64_t(4) << 20) / std::max<int64_t>(bytes, 512)) + ";");
}

void BM_RawInsertAndTrimPerLine(benchmark::State& state) {
    TempStore temp;
    sqlite::Database db(temp.Folder() / clsDbManager::kDatabaseFile, sqlite::Database::Mode::ReadWrite);
    OpenAsTheStoreDoes(db);
    sqlite::Statement insert(db, "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)");
    sqlite::Statement deleteOldest(db, "DELETE FROM tblStatus WHERE id = (SELECT MIN(id) FROM tblStatus)");
    sqlite::Statement begin(db, "BEGIN");
    sqlite::Statement commit(db, "COMMIT");
    const std::string module = "basBootloader";
    auto insertLine = [&](int64_t runTime) {
        insert.Reset();
        insert.Bind(1, runTime).Bind(2, int64_t(5)).Bind(3, kMessage).Bind(4, module);
        insert.Run();
    };
    // Start at the cap, as the store's benchmark does.
    db.Exec("BEGIN");
    for (int i = 0; i < clsDbManager::kMaxStatusRows; ++i) insertLine(i);
    db.Exec("COMMIT");
    int64_t runTime = 0;
    for (auto _ : state) {
        begin.Run();
        insertLine(++runTime);
        deleteOldest.Run();
        commit.Run();
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawInsertAndTrimPerLine)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
