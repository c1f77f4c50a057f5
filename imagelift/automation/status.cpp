// Automation start, the status file, the module's logger, its end and the exit code; the opener
// that shows a file with the desktop's program.
#include "automation/automation.h"
#include "automation/status_file.h"

#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iostream>

#include "windows/kit.h"
#include "fs/fs.h"
#include "support/file_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basAutomation {

ModuleState State;

// ---------------------------------------------------------------- status file

bool StatusFile::Open(const std::string& nativePath) {
    Close();
    path_ = nativePath;
    failed_ = false;
    // Never through a symbolic link: the file is the run's own, not one a link points at.
    const int fd = ::open(nativePath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666);
    if (fd < 0) return false;
    file_ = ::fdopen(fd, "wb");
    if (!file_) ::close(fd);
    return file_ != nullptr;
}

std::string StatusFile::EscapeControls(const std::string& line) {
    std::string out;
    out.reserve(line.size());
    for (const char c : line) {
        const auto u = static_cast<unsigned char>(c);
        if (u >= 0x20 && u != 0x7F) {
            out += c;
        } else if (c == '\r') {
            out += "\\r";
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else {
            out += (u < 0x10 ? "\\x0" : "\\x") + vb::Hex(int32_t(u));
        }
    }
    return out;
}

void StatusFile::WriteStatusFileLine(const std::string& line) {
    if (!file_) return;
    // A CR or LF inside a message (a file name from the command line) would forge a line of
    // its own for the script that reads the file.
    const std::string text = EscapeControls(line) + "\r\n";
    const bool written = std::fwrite(text.data(), 1, text.size(), file_) == text.size();
    if (std::fflush(file_) != 0 || !written) fail(errno);
}

void StatusFile::Close() {
    if (!file_) return;
    if (std::fclose(file_) != 0) fail(errno);
    file_ = nullptr;
}

void StatusFile::fail(int error) {
    if (failed_) return;
    failed_ = true;
    // The calling script reads this file to learn how the run went: a file that cannot hold the
    // lines (a full disk) is said on standard error, once, and the run fails.
    std::cerr << "Imagelift: the status file '" << path_ << "' cannot be written (" << std::strerror(error ? error : EIO)
              << ").\n";
}

void WriteStatusFileLine(const std::string& text) {
    if (State.Status) State.Status->WriteStatusFileLine(text);
}

namespace {

// Opens the status file of that name empty, its folder (with any folders above it) made first;
// no command is started for it. A symbolic link in its place (dangling or not) is removed,
// never written through. Null when it cannot be opened.
std::shared_ptr<StatusFile> openFreshStatusFile(const std::string& name) {
    std::string folder, file;
    basUtils::SplitPath(name, folder, file);
    folder = vb::Trim(folder);
    if (!folder.empty() && (folder.back() == '\\' || folder.back() == '/')) folder.pop_back();
    if (!folder.empty() && !fs::DirExists(folder)) fs::CreatePrivateFolders(fs::ToNativePath(folder));
    std::error_code ec;
    const std::filesystem::path statusPath = fs::ToNativePath(name);
    if (std::filesystem::exists(std::filesystem::symlink_status(statusPath, ec)))
        std::filesystem::remove(statusPath);
    auto status = std::make_shared<StatusFile>();
    if (!status->Open(statusPath.string())) return nullptr;
    return status;
}

}  // namespace

std::string StatusFileNameFor(const std::string& commandLine) {
    const std::string line = vb::UCase(vb::Trim(commandLine));
    return (line == "/A" || line == "/F") ? "1394_WRITE_STATUS\\1394_write_status.txt"
                                          : "script-data\\1394_write_status.txt";
}

void ReplaceStatusFileOfFailedStart(const std::string& commandLine, const std::vector<std::string>& reasons) {
    const std::string name = StatusFileNameFor(commandLine);
    try {
        if (auto status = openFreshStatusFile(name)) {
            for (const std::string& reason : reasons) {
                if (reason.empty()) continue;
                status->WriteStatusFileLine(basDebug::RunTimeText(0) + ", " +
                                            basDebug::LevelName(basDebug::ERROR_LEVEL) + ", basApp, " + reason);
            }
            status->Close();
            if (!status->Failed()) return;
        }
    } catch (...) {
        // Removed below.
    }
    std::error_code ec;
    std::filesystem::remove(fs::ToNativePath(name), ec);
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
        s.StatusFileName = StatusFileNameFor(basApp::CommandLineText);
        if (s.Status) Shutdown();

        auto status = openFreshStatusFile(s.StatusFileName);
        if (!status) vb::Raise(75, "Initialize");
        s.Status = status;
        ctx.StatusFile = status.get();

        basApp::IMainWindow* main = basApp::MainWindow();
        if (!main) vb::Raise(91, "Initialize");  // no main window to run the scheduler
        main->EnableInput(false);
        main->StartAutomationScheduler();
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
    if (State.Status) {
        State.Status->Close();
        if (State.Status->Failed()) State.StatusFileFailed = true;
    }
    State.Status.reset();
}

int ExitCode() {
    const bool statusFailed = State.StatusFileFailed || (State.Status && State.Status->Failed());
    return State.LastResult == 1 && !State.OperationFailed && !statusFailed ? 0 : 1;
}

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
        // The viewer is a courtesy after the run's result is fixed: failing to start it changes nothing.
    }
}

void ShowStatusFile() {
    // Every line is flushed as it is written: the viewer sees the whole file so far.
    OpenWithDesktop(State.StatusFileName);
}

}  // namespace basAutomation
