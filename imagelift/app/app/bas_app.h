// basApp: the downloader's start and end, its logger before and after the windows, the arrays
// of open child windows, the command-line parser, screen fitting and the program clock.
//
// Main runs once on the user-interface thread before the event loop: it refuses a second
// instance, picks the data folder, opens the settings-and-log store, reads the "Global" levels
// and time-outs, loads the MDI frame (which loads the main window and status window 0), cuts the
// command line, checks the supporting files, starts the bootloader module, loads the 1394 access
// library with the main window's notice text box as its client and asks for the first device
// list. ShutDown runs once, as the last step of the frame's unload, and ends the process.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "fs/fs.h"
#include "support/debug_log.h"
#include "user/user.h"

namespace forms {
class Form;
class Control;
}

class MDIForm1;
class frmMain;
class frmStatus;
class frmShell;
class frmSelectFirmware;
class frmViewMemory;

namespace basApp {

// ---------------------------------------------------------------- child windows

// The open child windows of each kind. The frame's load gives each array one empty slot (index
// 0); a new window takes the first empty slot from index 0 up, or a new slot at the end, and
// keeps its index as its WindowIndex. Status, download and memory windows empty their slot when
// they unload (EmptySlot); a shell window's slot keeps the closed window.
template <class T>
using WindowArray = std::vector<std::shared_ptr<T>>;

extern WindowArray<frmShell> ShellWindows;
extern WindowArray<frmStatus> StatusWindows;
extern WindowArray<frmSelectFirmware> DownloadWindows;
extern WindowArray<frmViewMemory> MemoryWindows;

// The main window while it exists (set by the frame's load, cleared by the main window's
// unload). The frame owns it. The main window also stands in the program context
// (imagelift::Ctx().MainChildForm) for exactly as long: that is how the logger and the lower
// layers know that it exists.
extern frmMain* MainChildForm;

// The MDI frame of the program, whoever created it; nullptr when none exists.
MDIForm1* Frame();

// Keeps a window object alive until no handler of it can still be running: a window that
// empties its own slot inside its unload hands the object here. Released when the next slot is
// taken and at shut-down.
void RetireWindow(std::shared_ptr<void> window);
void ReleaseRetiredWindows();

// The slot a new window takes: the first empty one from index 0, else a new one at the end.
template <class T>
int32_t TakeSlot(WindowArray<T>& windows) {
    ReleaseRetiredWindows();
    for (size_t i = 0; i < windows.size(); ++i)
        if (!windows[i]) return int32_t(i);
    windows.emplace_back();
    return int32_t(windows.size() - 1);
}

// Empties slot `index` (nothing happens outside the array); the window object lives on until
// its own handlers have returned.
template <class T>
void EmptySlot(WindowArray<T>& windows, int32_t index) {
    if (index < 0 || size_t(index) >= windows.size() || !windows[size_t(index)]) return;
    RetireWindow(std::move(windows[size_t(index)]));
    windows[size_t(index)].reset();
}

// ---------------------------------------------------------------- start and end

// The program's entry: every start-up step in order. `commandLine` is the process's command
// line as one text (see RawCommandLine).
void Main(const std::string& commandLine = {});
// The last step of the frame's unload: closes the bootloader module's mutexes, unloads the
// access library, ends an unattended run, releases the store (which compacts the database),
// then ends the process. Runs once; later calls do nothing.
void ShutDown();

// The command line as the process received it, one text: the arguments joined with single
// blanks, an argument that holds a blank, a double quote or a "/" after its first character
// written in double quotes (so that its value stays one value for the parser). `takesValue`
// names the option letters that take a value: the argument after such a letter standing alone
// is its value even when it begins with "/" (an absolute path).
std::string RawCommandLine(int argc, const char* const* argv,
                           const std::function<bool(char letter)>& takesValue = {});

// How the process ends (default: at once, with `code`). Tests install a hook that records the
// end and returns; then ShutDown and Main return to their caller instead.
using EndProcessFn = std::function<void(int code)>;
EndProcessFn SetEndProcess(EndProcessFn fn);

// ---------------------------------------------------------------- unattended runs

// What start-up, the main window's scheduler tick and shut-down call of the automation layer,
// which fills these in when it is part of the program. While a member is empty, start-up and the
// scheduler act as for a command line that names no operation, and shut-down skips it.
struct AutomationSeam {
    // Builds the option table; 1 on success.
    std::function<int32_t()> InitializeCommandLineOptions;
    // True when the tokens name an operation (the run is then unattended).
    std::function<bool(const std::vector<std::string>& tokens)> HasOperationOption;
    // Starts the unattended run: status file, main window disabled, scheduler on; 1 on success.
    std::function<int32_t()> Initialize;
    // One attempt of the unattended operations: 1 done, 2 run again after the next device list,
    // 0 nothing performed, another value a failure.
    std::function<int32_t(const std::vector<std::string>& tokens)> PerformUnattendedOperations;
    // Ends the unattended run (closes the status file).
    std::function<void()> Shutdown;
    // Asks the run to show its status file when the program ends (ShowStatusOnExit).
    std::function<void()> SetShowStatusOnExit;
    // The exit code of the process after an unattended run: 0 when its last attempt succeeded.
    std::function<int()> ExitCode;
    // Scheduler ticks (one a second) an unattended run waits for an attempt, that is for a
    // complete device list, before it gives up.
    int32_t AttemptWaitLimitTicks = 120;
};
AutomationSeam& Automation();

// ---------------------------------------------------------------- windows of the layers above

// The shell and download windows live in the layers above this one (the shell window, the
// download windows), which fill these in when they are part of the program; the program's entry
// does. The main window's commands reach those windows only through them. While a member is
// empty, the command that needs it logs that the window is not available and does nothing.
struct UpperWindowSeam {
    // A new shell window, created and loaded; the caller sets its slot and handle next.
    std::function<std::shared_ptr<frmShell>()> MakeShellWindow;
    // The window as a form (to show, place and bring to the front).
    std::function<forms::Form&(frmShell&)> ShellForm;
    std::function<int32_t(const frmShell&)> GetShellWindowIndex;
    std::function<void(frmShell&, int32_t windowIndex)> SetShellWindowIndex;
    std::function<int32_t(const frmShell&)> GetShellHandle;
    std::function<void(frmShell&, int32_t hDevice)> SetShellHandle;
    // The firmware CRC window of the download-window layer for a device, shown modally and then
    // discarded; `deviceDetails` goes into its device-details box (the shell window's command).
    std::function<void(int32_t hDevice, const std::string& deviceDetails)> ShowFirmwareCrcs;

    // A download window's image type (FirmwareType) and device handle (hDevice); the frame's
    // CreateDownloadWindow makes the window through its download-window maker.
    std::function<forms::Form&(frmSelectFirmware&)> DownloadForm;
    std::function<void(frmSelectFirmware&, int32_t firmwareType)> SetDownloadFirmwareType;
    std::function<void(frmSelectFirmware&, int32_t hDevice)> SetDownloadDevice;
    // True while a download window sends an image to a device: the frame refuses to close then,
    // since closing would leave the device's flash half written.
    std::function<bool()> DownloadRunning;
};
UpperWindowSeam& UpperWindows();

// ---------------------------------------------------------------- logging and the clock

// This module's logger. With a main window: the central logger under the module "basApp".
// Without one: lines below ERROR are dropped, and an ERROR line or above is shown in a message
// box captioned "basApp Message: <LEVEL> level" (in an unattended run it becomes a status-file
// line instead).
void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);

// Milliseconds elapsed since a performance-counter reading taken earlier.
float ElapsedMs(int64_t& startCounter);
// Milliseconds since the program clock started: the one clock of every log line (the central
// logger's too), started at the start of Main (or by the first line logged, in a test without
// Main). Raises what ElapsedMs raises (53 once the access library is gone).
float RunTimeMs();

// Keeps `form` inside the visible area: the screen for the frame, the frame's client area for
// an MDI child; logs each correction.
void FitFormToScreen(forms::Form& form);

// ---------------------------------------------------------------- command line

// The command line as start-up hands it over: trimmed, then upper-cased.
extern std::string CommandLineText;
// The command line as the process received it (for reports that quote it).
extern std::string CommandLineRawText;
// Element 0 is always ""; the tokens (each "/" with its letter and value) follow from index 1.
extern std::vector<std::string> CommandLineTokens;
// Element 0 is always ""; one message per problem found, from index 1.
extern std::vector<std::string> CommandLineErrors;

// Cuts `text` (trimmed in place) into one token per "/" outside double quotes. 1 when cut, -1
// when the parse failed unexpectedly.
int32_t ParseCommandLine(std::string& text);
// Appends a parse problem to CommandLineErrors and logs it at ERROR.
void CommandLineError(const std::string& message);

// ---------------------------------------------------------------- supporting files

// One file whose presence and date start-up checks. A date member of 0 is not compared.
struct SupportingFile {
    std::string Path;
    int16_t Year = 0, Month = 0, Day = 0, Hour = 0, Minute = 0, Second = 0;
    bool InWindowsDir = false;
    bool InAppDir = false;
    bool EnforceMinimumDate = false;  // a file newer than the date is accepted
};

// Checks every file of the supporting-file table; results are only logged.
void VerifySupportingFiles();
// 0, or -1 when the Windows folder is not available or the file does not exist. May prefix the
// record's Path with "\".
int32_t VerifyFileDate(SupportingFile& file);

// ---------------------------------------------------------------- access-library module hooks

// Hands one module name (NUL-terminated here when it is not yet) to the library's
// HookSystemModule.
void InitializeModule(std::vector<uint8_t>& moduleName);
void InitializeBootloaderModule();
void InitializeDebuggerModule();

// ---------------------------------------------------------------- notice window

// The notices the access library posts to its client window.
inline constexpr uint32_t WM_DEVICE_CHANGE_NOTICE = user::WM_USER + 301;  // 0x52D
inline constexpr uint32_t WM_BUS_RESET_NOTICE = user::WM_USER + 302;      // 0x52E
inline constexpr uint32_t WM_INCOMING_DATA_NOTICE = user::WM_USER + 303;  // 0x52F
inline constexpr uint32_t WM_DRIVER_ERROR_NOTICE = user::WM_USER + 304;   // 0x530
inline constexpr uint32_t WM_KLMD_BUS_RESET_NOTICE = user::WM_USER + 20;  // 0x414

// Subclasses (enable) or restores (not enable) the window of the notice text box. Restoring
// always works on the control that was hooked, whatever control is passed. A second hook while
// one is in place does nothing.
void HookWindow(forms::Control& control, bool enable);
// The notice text box's procedure while hooked: logs a notice and sets the bus flags, then
// hands every message on to the text box's own procedure.
user::LRESULT WindowProc(user::HWND hwnd, uint32_t msg, user::WPARAM wParam, user::LPARAM lParam);

}  // namespace basApp

// File questions answered by the file layer (platform/fs), under the names the program uses.
namespace basWinAPI {
using fs::DirExists;
using fs::FileExists;
using fs::GetFileLastWriteTime;
using fs::GetFileSize64;
using fs::SystemTimeToLocalTime;

// The Windows folder ("C:\WINDOWS", drive C of the platform root) as GetWindowsDirectory gives
// it: written into `buffer` (at most `size` characters); the result is its length.
int32_t GetWindowsDirectory(std::string& buffer, int32_t size);
}  // namespace basWinAPI
