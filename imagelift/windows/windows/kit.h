// The downloader's shared window kit: what every window of the program builds on, below the
// program's top (start-up, frame, main window) and below the download, shell and automation
// layers that the top opens. The arrays of open child windows and their slot rule, the two small
// views of the frame and the main window that lower windows may use, the logger of the windows
// without a main window, the program clock and the command line as start-up cut it.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "support/debug_log.h"

namespace forms {
class Form;
}

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

// ---------------------------------------------------------------- the frame and the main window

// The main window as the windows it opens see it. A download window takes its input away while
// it is open, an unattended run takes it away for good and starts the window's scheduler, and
// the CRC window logs through it.
class IMainWindow {
public:
    virtual ~IMainWindow() = default;
    // Shows a message in every open status window and stores it in the status log.
    virtual void StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level = {},
                               const std::optional<std::string>& Module = std::nullopt) = 0;
    // Lets the window take input (true) or not (false).
    virtual void EnableInput(bool enabled) = 0;
    // Switches on the unattended run's scheduler (one tick a second).
    virtual void StartAutomationScheduler() = 0;
};

// The main window while it is loaded (set by the frame's load, cleared by the main window's
// unload); nullptr otherwise.
IMainWindow* MainWindow();
void SetMainWindow(IMainWindow* window);

// The frame as a closing status window sees it: the tiling gives up that window's share.
class IFrameWindow {
public:
    virtual ~IFrameWindow() = default;
    // Rescales the children after a change of the client area (when auto-scaling is on).
    virtual void MDIForm_Resize() = 0;
    // True while "Auto-Scale Children" is checked.
    virtual bool AutoScalesChildren() const = 0;
    // 1 tiles the main window and the visible status windows; 2 rescales every child.
    virtual void ArrangeChildren(int16_t arrangementType) = 0;
};

// The program's frame: the MDI form in force when it is the program's frame, else nullptr.
IFrameWindow* FrameWindow();

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

// ---------------------------------------------------------------- reset

// Puts the kit's state back as program start leaves it: the window arrays empty, the retired
// and kept windows released, no main window, the command line empty, no held messages.
void ResetWindowKit();

namespace internal {

// Starts the program clock: every log line's run time counts from here.
void StartProgramClock();

// While an unattended run is asked for on the command line but not yet started, a message for
// the user (a box that would wait for an answer nobody gives) is held as a line instead; start-up
// logs the held lines at ERROR once the run's status file is open.
void HoldUserMessages(bool hold);
bool HoldingUserMessages();
void HoldUserMessage(const std::string& line);
std::vector<std::string> TakeHeldUserMessages();

}  // namespace internal

}  // namespace basApp
