// Program-wide values of Imagelift and the small interfaces through which the device-facing
// modules reach the windows and the unattended run.
//
// The values that every module reads or sets (the download flag, the logging level, the
// time-outs, the settings store, the first status window ...) live together in one
// ProgramContext, so that a test starts from fresh ones and nothing leaks from one case into
// the next. The program owns one; tests make a fresh one per case and install it with
// ScopedContext. Code reaches the one in force through imagelift::Ctx().
//
// Message boxes are not part of the context: every module asks the one dialog presenter of the
// window layer (forms/dialogs.h), which a test scripts and an unattended run answers itself.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

class clsDbManager;

namespace imagelift {

// The first status window. The window shows the line when `priority`
// reaches its own message level; it may change `priority` (a window turns 0 into 5), and the
// caller then goes on with the changed level.
class IStatusWindow {
public:
    virtual ~IStatusWindow() = default;
    virtual void PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                             const std::optional<std::string>& module) = 0;
};

// The status file of an unattended run, installed by the run while its file is open. Writes the
// line followed by CR LF while the file is open, else nothing; never fails towards the caller.
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

// What the program knows about itself: its title, file name, folder and version.
struct AppInfo {
    std::string Title = "Imagelift";
    std::string EXEName = "Imagelift";  // file name without extension
    std::string Path;                   // program folder, as text
    int32_t Major = 1;
    int32_t Minor = 8;
    int32_t Revision = 41;
};

// ElapsedMs reads elapsed time through the 1394 access library once the bus layer has bound the
// library's QueryElapsedTimeMsLongInt here, and straight from the platform clock before that.
// Arguments: the address of a 64-bit performance-counter start value; result: whole
// milliseconds since that value.
using QueryElapsedTimeMsLongIntFn = std::function<int32_t(int64_t* startCounter)>;

struct ProgramContext {
    ProgramContext();
    ~ProgramContext();
    ProgramContext(const ProgramContext&) = delete;
    ProgramContext& operator=(const ProgramContext&) = delete;

    // --- switches (bool in memory; -1/0 where they are stored or sent) ---
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
    IStatusFile* StatusFile = nullptr;           // the unattended run's status file, when open

    // Sounds the system beep once (the logger beeps three times at FATAL and above).
    std::function<void()> Beep;

    // --- run-time clock ---
    // Performance-counter value of the first log line; never changes afterwards. (A flag marks
    // the start, because a manual clock may well read 0 at that moment.)
    int64_t RunTimeClockStart = 0;
    bool RunTimeClockStarted = false;
    // Bound by the bus layer; while empty, ElapsedMs reads the platform clock itself.
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

// The status-file line of an unattended run: written through the sink the run installed in
// the context; without one, or while its file is closed, nothing is written. Never fails
// towards the caller.
void WriteStatusFileLine(const std::string& line);

// Elapsed milliseconds for log lines, time-outs and throughput: whole milliseconds since
// `startCounter` (a performance-counter value taken earlier), as read by the bound access
// library, or from the platform clock while none is bound. A bound library that is gone raises
// vb::Error 53 naming "vsk1394api.dll"; the logger then stamps time 0.
float ElapsedMs(int64_t& startCounter);

}  // namespace imagelift
