#include "support/program_context.h"

#include <atomic>

#include "support/db_manager.h"
#include "vbrt/error.h"

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

}  // namespace imagelift

namespace basAutomation {
void WriteStatusFileLine(const std::string& line) {
    auto* sink = imagelift::Ctx().StatusFile;
    if (!sink) return;
    try {
        sink->WriteStatusFileLine(line);
    } catch (...) {
        // A status file that cannot be written must never stop the run.
    }
}
}  // namespace basAutomation

namespace basApp {
float ElapsedMs(int64_t& startCounter) {
    auto& query = imagelift::Ctx().QueryElapsedTimeMsLongInt;
    if (!query) vb::Raise(53, "basApp.ElapsedMs", "File not found: vsk1394api.dll");
    return static_cast<float>(query(&startCounter));
}
}  // namespace basApp
