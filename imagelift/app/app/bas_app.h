// basApp: the downloader's start and end, the access library's module hooks, the notice window
// and the command-line parser. The arrays of open child windows, the program clock and the command
// line as cut live in the shared window kit (windows/kit.h), which this header brings along.
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
#include "windows/kit.h"

namespace forms {
class Form;
class Control;
}

class MDIForm1;
class frmMain;

namespace basApp {

// The main window while it exists (set by the frame's load, cleared by the main window's
// unload). The frame owns it. The main window also stands in the program context
// (imagelift::Ctx().MainChildForm) for exactly as long: that is how the logger and the lower
// layers know that it exists.
extern frmMain* MainChildForm;

// The MDI frame of the program, whoever created it; nullptr when none exists.
MDIForm1* Frame();

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

// ---------------------------------------------------------------- command line

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
