// Helper of the store's tests: appends status-log lines to the store in the given folder
// without end, writing one byte to its standard output after every hundred lines, until it is
// killed. It dies with its parent.
#include <signal.h>
#include <sys/prctl.h>
#include <unistd.h>

#include <string>

#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"

int main(int argc, char** argv) {
    ::prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (argc != 2) return 2;
    imagelift::ProgramContext ctx;
    imagelift::ScopedContext scoped(ctx);
    clsDbManager store(argv[1], basDebug::ReportStoreLine);
    if (!store.IsOpen()) return 3;
    for (int i = 0;; ++i) {
        store.AppendToLog("child line " + std::to_string(i) + std::string(100, '.'), 5, "child", i);
        if (i % 100 == 99 && ::write(1, "x", 1) != 1) return 1;
    }
}
