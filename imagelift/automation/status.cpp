// Automation start, the status file, the module's logger, its end and the exit code; the opener
// that shows a file with the desktop's program.
#include "automation/automation.h"
#include "automation/status_file.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>

#include "app/bas_app.h"
#include "app/main_window.h"
#include "fs/fs.h"
#include "support/file_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basAutomation {

ModuleState State;

// ---------------------------------------------------------------- status file

bool StatusFile::Open(const std::string& nativePath) {
    Close();
    file_ = std::fopen(nativePath.c_str(), "wb");
    return file_ != nullptr;
}

void StatusFile::WriteStatusFileLine(const std::string& line) {
    if (!file_) return;
    std::fputs(line.c_str(), file_);
    std::fputs("\r\n", file_);
    std::fflush(file_);
}

void StatusFile::Close() {
    if (!file_) return;
    std::fclose(file_);
    file_ = nullptr;
}

void WriteStatusFileLine(const std::string& text) {
    if (State.Status) State.Status->WriteStatusFileLine(text);
}

void ResetState() {
    Shutdown();
    State = ModuleState{};
}

// ---------------------------------------------------------------- logger

void StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    if (basDebug::LevelNumber(level) <= basDebug::WARNING && imagelift::Ctx().DownloadInProgress) return;
    basDebug::DebugLog(message, level, std::string("basAutomation"));
}

// ---------------------------------------------------------------- start and end

int32_t Initialize() {
    auto& s = State;
    auto& ctx = imagelift::Ctx();
    try {
        InitializeCommandLineOptions();
        ctx.AutomationMode = false;
        s.ProgramGuidFromFileFlag = false;
        s.ProgramMacFromFileFlag = false;
        s.KeyBatchRequested = false;
        s.GuidFileName = "script-data\\GUID.txt";
        s.MacFileName = "script-data\\MACID.txt";
        const std::string line = vb::UCase(vb::Trim(basApp::CommandLineText));
        s.StatusFileName = (line == "/A" || line == "/F") ? "1394_WRITE_STATUS\\1394_write_status.txt"
                                                           : "script-data\\1394_write_status.txt";
        if (s.Status) Shutdown();

        std::string folder, file;
        basUtils::SplitPath(s.StatusFileName, folder, file);
        folder = vb::Trim(folder);
        if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
        // The folder, with any folders above it, is made here; no command is started for it.
        if (!folder.empty() && !fs::DirExists(folder)) std::filesystem::create_directories(fs::ToNativePath(folder));
        if (fs::FileExists(std::string_view(s.StatusFileName))) std::filesystem::remove(fs::ToNativePath(s.StatusFileName));

        auto status = std::make_shared<StatusFile>();
        if (!status->Open(fs::ToNativePath(s.StatusFileName).string())) vb::Raise(75, "Initialize");
        s.Status = status;
        ctx.StatusFile = status.get();

        frmMain* main = basApp::MainChildForm;
        if (!main) vb::Raise(91, "Initialize");  // no main window to run the scheduler
        main->Enabled = false;
        main->tmrAutomationScheduler.Enabled = true;
        ctx.AutomationMode = true;
        return 1;
    } catch (...) {
        const vb::Error e = vb::CurrentException();
        StatusDisplay(vb::ErrorLine("Error #", e, " in Initialize"), basDebug::ERROR_LEVEL);
        Shutdown();
        return -1;
    }
}

void Shutdown() {
    auto& ctx = imagelift::Ctx();
    if (State.Status && ctx.StatusFile == State.Status.get()) ctx.StatusFile = nullptr;
    if (State.Status) State.Status->Close();
    State.Status.reset();
}

int ExitCode() { return State.LastResult == 1 && !State.OperationFailed ? 0 : 1; }

// ---------------------------------------------------------------- desktop opener

namespace {

// A desktop session is there to show the file: never in continuous integration, never on the
// headless window platform, never without a display.
bool desktopPresent() {
    if (std::getenv("CI")) return false;
    const char* platform = std::getenv("QT_QPA_PLATFORM");
    if (platform && std::string(platform) == "offscreen") return false;
    return std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY");
}

// "xdg-open <path>" as a detached grandchild (reaped at once by its parent, so no zombie stays),
// its streams on the null device, the path as one argument: no shell, no quoting.
void xdgOpen(const std::string& nativePath) {
    if (!desktopPresent()) {
        StatusDisplay("External open suppressed: " + nativePath, basDebug::TRACE);
        return;
    }
    const pid_t child = ::fork();
    if (child < 0) return;
    if (child == 0) {
        ::setsid();
        if (::fork() != 0) ::_exit(0);
        const int null = ::open("/dev/null", O_RDWR);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
            ::dup2(null, 2);
        }
        const char* argv[] = {"xdg-open", nativePath.c_str(), nullptr};
        ::execvp("xdg-open", const_cast<char* const*>(argv));
        ::_exit(127);
    }
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
}

ExternalOpener& opener() {
    static ExternalOpener fn = xdgOpen;
    return fn;
}

}  // namespace

ExternalOpener SetExternalOpener(ExternalOpener fn) {
    ExternalOpener previous = std::move(opener());
    opener() = fn ? std::move(fn) : ExternalOpener(xdgOpen);
    return previous;
}

void OpenWithDesktop(const std::string& path) {
    try {
        const std::filesystem::path native = std::filesystem::absolute(fs::ToNativePath(path));
        if (opener()) opener()(native.string());
    } catch (...) {
    }
}

void ShowStatusFile() {
    // Every line is flushed as it is written: the viewer sees the whole file so far.
    OpenWithDesktop(State.StatusFileName);
}

}  // namespace basAutomation
