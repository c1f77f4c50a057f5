#include "support/program_context.h"

#include <atomic>

#include "clock/clock.h"
#include "support/db_manager.h"

namespace imagelift {

ProgramContext::ProgramContext() = default;
ProgramContext::~ProgramContext() = default;

namespace {
ProgramContext& defaultContext() {
    static ProgramContext ctx;
    return ctx;
}
std::atomic<ProgramContext*> installed{nullptr};
}  // namespace

ProgramContext& Ctx() {
    ProgramContext* c = installed.load(std::memory_order_acquire);
    return c ? *c : defaultContext();
}

void InstallContext(ProgramContext* ctx) { installed.store(ctx, std::memory_order_release); }

ScopedContext::~ScopedContext() { InstallContext(previous_); }

void WriteStatusFileLine(const std::string& line) {
    auto* sink = Ctx().StatusFile;
    if (!sink) return;
    try {
        sink->WriteStatusFileLine(line);
    } catch (...) {
        // A status file that cannot be written must never stop the run.
    }
}

float ElapsedMs(int64_t& startCounter) {
    // The access library answers from the same performance counter; before the program has
    // loaded it (and in tools without it) the counter is read here, so that the run time of
    // the first log lines is real. A bound library that has been unloaded again raises 53.
    auto& query = Ctx().QueryElapsedTimeMsLongInt;
    if (!query) return static_cast<float>(clk::ElapsedMsSince(startCounter));
    return static_cast<float>(query(&startCounter));
}

}  // namespace imagelift
