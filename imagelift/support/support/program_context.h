// Program-wide values of Imagelift and the small interfaces through which the device-facing
// modules reach the windows and the automation.
//
// Everything the original program kept in module-level globals (the download flag, the logging
// level, the time-outs, the settings store, the first status window ...) lives in one
// ProgramContext. The program owns one; tests make a fresh one per case and install it with
// ScopedContext. Code reaches the one in force through imagelift::Ctx().
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class clsDbManager;

namespace imagelift {

// The first status window (frmStatus.PostMessage). The window shows the line when `priority`
// reaches its own message level; it may change `priority` (a window turns 0 into 5), and the
// caller then goes on with the changed level.
class IStatusWindow {
public:
    virtual ~IStatusWindow() = default;
    virtual void PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                             const std::optional<std::string>& module) = 0;
};

// The automation status file (basAutomation.WriteStatusFileLine). Writes the line followed by
// CR LF while the file is open, else nothing; never fails towards the caller.
class IStatusFile {
public:
    virtual ~IStatusFile() = default;
    virtual void WriteStatusFileLine(const std::string& line) = 0;
};

// The main window as the bus and bootloader modules call it.
class IMainChildForm {
public:
    virtual ~IMainChildForm() = default;
    // Redraws the device grid from the node table and the target list, lets messages run.
    virtual void IEEE1394Bus_NodesChanged() = 0;
    // End of a completed bus-reset pass.
    virtual void IEEE1394Bus_ResetComplete() = 0;
    // Broadcasts the bootloader halt command and logs its outcome.
    virtual void IEEE1394IncomingDataHandler() = 0;
};

// Message-box button sets and answers, as the platform numbers them.
enum MsgBoxStyle : int32_t { vbOKOnly = 0, vbOKCancel = 1, vbYesNo = 4 };
enum MsgBoxResult : int32_t { vbNoAnswer = 0, vbOK = 1, vbCancel = 2, vbYes = 6, vbNo = 7 };

// The one presenter of message boxes (a dialog for a person, a scripted answer in tests).
class IMessageBox {
public:
    virtual ~IMessageBox() = default;
    virtual MsgBoxResult MsgBox(const std::string& prompt, MsgBoxStyle buttons,
                                const std::string& title) = 0;
};

// What the program knows about itself (the App object of the original platform).
struct AppInfo {
    std::string Title = "Imagelift";
    std::string EXEName = "Imagelift";  // file name without extension
    std::string Path;                   // program folder, as text
    int32_t Major = 1;
    int32_t Minor = 8;
    int32_t Revision = 41;
};

// basApp.ElapsedMs reads elapsed time through the 1394 access library once the bus layer has
// bound the library's QueryElapsedTimeMsLongInt here, and straight from the platform clock
// before that. Arguments: the address of a 64-bit performance-counter start value; result:
// whole milliseconds since that value.
using QueryElapsedTimeMsLongIntFn = std::function<int32_t(int64_t* startCounter)>;

struct ProgramContext {
    ProgramContext();
    ~ProgramContext();
    ProgramContext(const ProgramContext&) = delete;
    ProgramContext& operator=(const ProgramContext&) = delete;

    // --- switches (16-bit Booleans of the original; bool in memory) ---
    bool DownloadInProgress = false;             // image blocks are being sent
    bool OverrideHardwareCompatibility = false;  // skip the hardware-model test of a download
    bool AutomationMode = false;                 // the run is driven by the command line

    // --- levels and time-outs ---
    int32_t DebugLoggingLevel = 5;               // lowest level written to the status log
    int32_t DebugMessageLevel = 7;               // message level of new status windows
    int32_t DllMessageLevel = 7;                 // message level handed to the access library
    int32_t Default1394TransactionTimeout = 200; // ms
    int32_t ConfigRomTimeout = 200;              // ms
    int32_t BusResetSettleDelay = 200;           // ms

    // --- neighbours (not owned unless said) ---
    std::unique_ptr<clsDbManager> DbManager;     // owned; empty before start-up and after shut-down
    IStatusWindow* StatusWindow0 = nullptr;      // element 0 of StatusWindows; may be empty
    IMainChildForm* MainChildForm = nullptr;     // empty before the main window has loaded
    IStatusFile* StatusFile = nullptr;           // the automation status file, when open
    IMessageBox* MessageBox = nullptr;           // without one, every box answers vbNoAnswer

    // Sounds the system beep once (the logger beeps three times at FATAL and above).
    std::function<void()> Beep;

    // --- run-time clock ---
    // Performance-counter value of the first log line; never changes afterwards. (A flag marks
    // the start, because a manual clock may well read 0 at that moment.)
    int64_t RunTimeClockStart = 0;
    bool RunTimeClockStarted = false;
    // Bound by the bus layer; while empty, basApp::ElapsedMs reads the platform clock itself.
    QueryElapsedTimeMsLongIntFn QueryElapsedTimeMsLongInt;

    AppInfo App;
};

// The context in force: the installed one, else a process-wide default.
ProgramContext& Ctx();
// Installs a context (nullptr restores the default). The caller keeps ownership.
void InstallContext(ProgramContext* ctx);

// Installs a context for the lifetime of a scope (tests, tools).
class ScopedContext {
public:
    explicit ScopedContext(ProgramContext& ctx) : previous_(&Ctx()) { InstallContext(&ctx); }
    ~ScopedContext();
    ScopedContext(const ScopedContext&) = delete;
    ScopedContext& operator=(const ScopedContext&) = delete;

private:
    ProgramContext* previous_;
};

}  // namespace imagelift

// The status-file line of the automation (the module that owns the file installs its sink in
// the context; without one, or while the file is closed, nothing is written).
namespace basAutomation {
void WriteStatusFileLine(const std::string& line);
}

// Elapsed milliseconds for log lines, time-outs and throughput.
namespace basApp {
// Whole milliseconds since `startCounter` (a performance-counter value taken earlier), as read
// by the bound access library, or from the platform clock while none is bound. A bound library
// that is gone raises vb::Error 53 naming "vsk1394api.dll"; the logger then stamps time 0.
float ElapsedMs(int64_t& startCounter);
}
