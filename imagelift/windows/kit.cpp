// The kit's module data: the window arrays, the retired windows, the main window in force, the
// command line, the logger of the windows and the program clock.
#include "windows/kit.h"

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "forms/form.h"
#include "support/program_context.h"
#include "windows/open_windows.h"

namespace basApp {

WindowArray<frmShell> ShellWindows;
WindowArray<frmStatus> StatusWindows;
WindowArray<frmSelectFirmware> DownloadWindows;
WindowArray<frmViewMemory> MemoryWindows;

std::string CommandLineText;
std::string CommandLineRawText;
std::vector<std::string> CommandLineTokens{""};
std::vector<std::string> CommandLineErrors{""};

namespace {

std::vector<std::shared_ptr<void>>& retired() {
    static std::vector<std::shared_ptr<void>> windows;
    return windows;
}

IMainWindow*& mainWindow() {
    static IMainWindow* window = nullptr;
    return window;
}

}  // namespace

void RetireWindow(std::shared_ptr<void> window) {
    if (window) retired().push_back(std::move(window));
}

void ReleaseRetiredWindows() {
    // Moved out first: a window's destructor may retire another.
    auto windows = std::move(retired());
    retired().clear();
    windows.clear();
}

IMainWindow* MainWindow() { return mainWindow(); }
void SetMainWindow(IMainWindow* window) { mainWindow() = window; }

IFrameWindow* FrameWindow() { return dynamic_cast<IFrameWindow*>(forms::MDIForm::Current()); }

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

void forgetHeldMessages() { held() = HeldMessages{}; }

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

// ---------------------------------------------------------------- reset

namespace basApp {

void ResetWindowKit() {
    ForgetOpenWindows();
    ShellWindows.clear();
    StatusWindows.clear();
    DownloadWindows.clear();
    MemoryWindows.clear();
    ReleaseRetiredWindows();
    SetMainWindow(nullptr);
    CommandLineText.clear();
    CommandLineRawText.clear();
    CommandLineTokens.assign(1, "");
    CommandLineErrors.assign(1, "");
    forgetHeldMessages();
}

}  // namespace basApp
