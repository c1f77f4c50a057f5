// Status-log append rate: lines per second through clsDbManager::AppendToLog (one transaction
// per line, the 2000-line cap in force) beside the engine's best case, a raw prepared insert
// loop inside one transaction, on the same machine and file system.
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "support/db_manager.h"
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
    clsDbManager store(temp.Folder());
    // Start at the cap, so every line also removes the oldest one.
    for (int i = 0; i < clsDbManager::kMaxStatusRows; ++i) store.AppendToLog(kMessage, 5, "basBootloader", i);
    int32_t runTime = 0;
    for (auto _ : state) store.AppendToLog(kMessage, 5, "basBootloader", ++runTime);
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_AppendToLogWithCap)->Unit(benchmark::kMicrosecond)->UseRealTime();

void BM_RawPreparedInsertOneTransaction(benchmark::State& state) {
    TempStore temp;
    sqlite::Database db(temp.Folder() / clsDbManager::kDatabaseFile, sqlite::Database::Mode::ReadWrite);
    db.Exec("PRAGMA journal_mode=WAL; PRAGMA synchronous=NORMAL;");
    sqlite::Statement insert(db, "INSERT INTO tblStatus (lngRuntime, Level, Message, strModule) VALUES (?1, ?2, ?3, ?4)");
    db.Exec("BEGIN");
    int64_t runTime = 0;
    for (auto _ : state) {
        insert.Reset();
        insert.Bind(1, ++runTime).Bind(2, int64_t(5)).Bind(3, kMessage).Bind(4, std::string("basBootloader"));
        insert.Run();
    }
    db.Exec("COMMIT");
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_RawPreparedInsertOneTransaction)->Unit(benchmark::kMicrosecond)->UseRealTime();

}  // namespace
