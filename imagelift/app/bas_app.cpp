// The module data of basApp: the main window, the end of the process and the raw command line.
#include "app/bas_app.h"
#include "app/internal.h"

#include <unistd.h>

#include <cstdio>

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/program_context.h"
#include "user/window_registry.h"
#include "vbrt/convert.h"

namespace basApp {

frmMain* MainChildForm = nullptr;

namespace {

EndProcessFn& endProcess() {
    static EndProcessFn fn;
    return fn;
}

}  // namespace

EndProcessFn SetEndProcess(EndProcessFn fn) {
    EndProcessFn previous = std::move(endProcess());
    endProcess() = std::move(fn);
    return previous;
}

namespace internal {
void EndProcess(int code) {
    if (endProcess()) {
        endProcess()(code);
        return;
    }
    // Nothing of the program runs after this point: the store is closed, the library unloaded.
    // The published windows (the hidden application window among them) go with the process;
    // their entries are withdrawn so that nothing of this run stays behind.
    for (user::HWND hwnd : user::AllWindows()) user::WithdrawTopWindow(hwnd);
    std::fflush(nullptr);
    ::_exit(code);
}
}  // namespace internal

namespace {

// A value that would not stay one value on the command line (a blank, a quote or a "/" in it)
// goes in double quotes.
std::string quotedValue(const std::string& value) {
    if (value.find_first_of(" \"/") == std::string::npos) return value;
    std::string inner;
    for (char c : value)
        if (c != '"') inner += c;
    return '"' + inner + '"';
}

}  // namespace

std::string RawCommandLine(int argc, const char* const* argv, const std::function<bool(char letter)>& takesValue) {
    std::string line;
    bool valueDue = false;  // the argument before was a letter alone that takes a value
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i] ? argv[i] : "";
        if (!line.empty()) line += ' ';
        const bool letterAlone = arg.size() == 2 && arg[0] == '/';
        // "/D /tmp/x/app.fwp": a path that begins with "/" right after its option is that
        // option's value, not an option of its own. An option written together with its value
        // ("/BC:/X.FWP") keeps its "/" and letter in front of the quotes.
        if (arg.size() >= 2 && arg[0] == '/' && !(valueDue && !letterAlone))
            line += arg.substr(0, 2) + quotedValue(arg.substr(2));
        else
            line += quotedValue(arg);
        valueDue = letterAlone && takesValue && takesValue(arg[1]);
    }
    return line;
}

}  // namespace basApp

