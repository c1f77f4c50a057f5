// The module data of basApp, its logger and the program clock.
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

WindowArray<frmShell> ShellWindows;
WindowArray<frmStatus> StatusWindows;
WindowArray<frmSelectFirmware> DownloadWindows;
WindowArray<frmViewMemory> MemoryWindows;
frmMain* MainChildForm = nullptr;

namespace {

std::vector<std::shared_ptr<void>>& retired() {
    static std::vector<std::shared_ptr<void>> windows;
    return windows;
}

EndProcessFn& endProcess() {
    static EndProcessFn fn;
    return fn;
}

}  // namespace

AutomationSeam& Automation() {
    static AutomationSeam seam;
    return seam;
}

UpperWindowSeam& UpperWindows() {
    static UpperWindowSeam seam;
    return seam;
}

void RetireWindow(std::shared_ptr<void> window) {
    if (window) retired().push_back(std::move(window));
}

void ReleaseRetiredWindows() {
    // Moved out first: a window's destructor may retire another.
    auto windows = std::move(retired());
    retired().clear();
    windows.clear();
}

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

// ---------------------------------------------------------------- logger

namespace basApp {

namespace {

struct HeldMessages {
    bool holding = false;
    std::vector<std::string> lines;
};
HeldMessages& held() {
    static HeldMessages h;
    return h;
}

}  // namespace

namespace internal {

void HoldUserMessages(bool hold) { held().holding = hold; }
bool HoldingUserMessages() { return held().holding; }
void HoldUserMessage(const std::string& line) { held().lines.push_back(line); }
std::vector<std::string> TakeHeldUserMessages() {
    auto lines = std::move(held().lines);
    held().lines.clear();
    return lines;
}

}  // namespace internal

void StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    try {
        if (imagelift::Ctx().MainChildForm) {
            basDebug::DebugLog(message, level, std::string("basApp"));
            return;
        }
        // Without the main window nothing shows a log line: only failures reach the user.
        const int32_t n = basDebug::LevelNumber(level);
        if (n < basDebug::ERROR_LEVEL) return;
        const std::string caption = "basApp Message: " + basDebug::LevelName(n) + " level";
        if (imagelift::Ctx().AutomationMode) {
            // Nobody is there to answer a box; the status file carries the message.
            imagelift::WriteStatusFileLine(caption + ": " + message);
        } else if (internal::HoldingUserMessages()) {
            internal::HoldUserMessage(message);
        } else {
            forms::MsgBox(message, forms::vbOKOnly, caption);
        }
    } catch (...) {
        // The logger never fails towards its caller.
    }
}

}  // namespace basApp

// ---------------------------------------------------------------- program clock

namespace basApp {

namespace internal {
void StartProgramClock() {
    auto& ctx = imagelift::Ctx();
    ctx.RunTimeClockStart = clk::QueryPerformanceCounter();
    ctx.RunTimeClockStarted = true;
}
}  // namespace internal

float ElapsedMs(int64_t& startCounter) { return imagelift::ElapsedMs(startCounter); }

float RunTimeMs() {
    auto& ctx = imagelift::Ctx();
    if (!ctx.RunTimeClockStarted) internal::StartProgramClock();
    return ElapsedMs(ctx.RunTimeClockStart);
}

}  // namespace basApp
