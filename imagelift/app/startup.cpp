// Start and end of the downloader.
//
// Main runs every start-up step in order on the user-interface thread, then returns to the event
// loop, which runs the program from the main window's timers and the user's actions. ShutDown is
// the last step of the frame's unload and ends the process.
#include "app/bas_app.h"
#include "app/internal.h"

#include <functional>
#include <iostream>
#include <memory>

#include "app/frame.h"
#include "app/main_window.h"
#include "automation/automation.h"
#include "bootloader/module.h"
#include "bus1394/access_library.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "forms/control.h"
#include "forms/dialogs.h"
#include "forms/form.h"
#include "kernel/mutex.h"
#include "support/db_manager.h"
#include "support/date_text.h"
#include "support/file_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

namespace basApp {

namespace {

struct RunState {
    std::unique_ptr<MDIForm1> frame;        // the frame Main loaded
    kernel::Handle instanceMutex = 0;       // held for the life of the process
    bool shutDownRan = false;
};
RunState& run() {
    static RunState s;
    return s;
}

// While an unattended run is asked for but not yet started, message and input boxes are held
// as lines and answered at once as in an unattended run; otherwise they go to the presenter that
// was in force.
class HoldingPresenter final : public forms::DialogPresenter {
public:
    explicit HoldingPresenter(forms::DialogPresenter& next) : next_(next) {}
    int32_t MessageBox(const forms::MessageBoxRequest& request) override {
        if (!internal::HoldingUserMessages()) return next_.MessageBox(request);
        internal::HoldUserMessage(request.prompt);
        return forms::UnattendedAnswer(request.buttons);
    }
    std::optional<std::string> InputBox(const forms::InputBoxRequest& request) override {
        if (!internal::HoldingUserMessages()) return next_.InputBox(request);
        internal::HoldUserMessage(request.prompt);
        return std::nullopt;
    }
    std::string FileDialog(const forms::FileDialogRequest& request) override {
        if (!internal::HoldingUserMessages()) return next_.FileDialog(request);
        return "";
    }

private:
    forms::DialogPresenter& next_;
};

const char* const kDataFolders[] = {"\\Program Files\\Downloader", "\\Program Files\\Imagelift"};

// The program's own folder, as the platform gives it ("\\server\share\..." for a network path).
std::string programFolder() { return fs::ProgramFolder(); }

// Step 3: the current folder, where the store opens its database.
void chooseCurrentFolder() {
    const std::string folder = imagelift::Ctx().App.Path;
    if (folder.rfind("\\\\", 0) != 0) {
        fs::ChDir(folder);
        return;
    }
    // Run from a network path: the data lives on a local drive.
    std::string found;
    for (const char* dataFolder : kDataFolders) {
        for (char letter = 'C'; letter <= 'Z' && found.empty(); ++letter) {
            const std::string path = std::string(1, letter) + ":" + dataFolder;
            if (basWinAPI::DirExists(path)) {
                fs::ChDir(path);
                StatusDisplay("The current directory is set to " + path + ".", basDebug::WATCH);
                found = path;
            }
        }
        if (!found.empty()) break;
    }
    if (!found.empty())
        StatusDisplay("Using " + found + " for the local data path.", basDebug::USER);
    else
        StatusDisplay(std::string("Could not find an install path on the local PC that contains the downloader information.  ") +
                          "The application might not operate properly under these circumstances.",
                      basDebug::USER);
}

// Step 5: one "Global" value. A value that is not a number keeps the default; the warning is
// logged once logging reaches a window.
int32_t globalSetting(const std::string& key, int32_t defaultValue, std::vector<std::string>& warnings) {
    auto& ctx = imagelift::Ctx();
    const std::string text = ctx.DbManager->GetSetting(ctx.App.Title, "Global", key, vb::CStr(defaultValue));
    try {
        return vb::CLng(text);
    } catch (const vb::Error& e) {
        warnings.push_back("The stored setting \"Global\", \"" + key + "\" = \"" + text + "\" is not a number (Error #" +
                           vb::CStr(e.Number()) + ": " + e.Description() + ").  Using " + vb::CStr(defaultValue) +
                           " instead.");
        return defaultValue;
    }
}

void logHeldMessages() {
    for (const auto& line : internal::TakeHeldUserMessages())
        basDebug::DebugLog(line, basDebug::ERROR_LEVEL, std::string("basApp"));
}

// The main window as a form (found among the frame's children by its name), while it exists.
forms::Form* mainWindowForm() {
    MDIForm1* frame = Frame();
    if (!frame || !MainChildForm) return nullptr;
    for (forms::Form* f : frame->ChildForms())
        if (f->Name == "frmMain") return f;
    return nullptr;
}

std::string localTimeText() { return basUtils::FormatSystemTime(fs::LocalTimeNow(), "yyyy-mm-dd hh:nn:ss"); }

}  // namespace

MDIForm1* Frame() { return dynamic_cast<MDIForm1*>(forms::MDIForm::Current()); }

void Main(const std::string& commandLine) {
    internal::StartProgramClock();
    auto& ctx = imagelift::Ctx();
    auto& state = run();
    state.shutDownRan = false;
    ctx.App.Path = programFolder();
    {
        std::string folder, file;
        basUtils::SplitPath(fs::ProgramFileName(), folder, file);
        const auto dot = file.rfind('.');
        // The update utility runs the program renamed "Imagelift.exe": the name stays "Imagelift".
        if (dot != std::string::npos && vb::UCase(file.substr(dot)) == ".EXE") file = file.substr(0, dot);
        if (!file.empty()) ctx.App.EXEName = file;
    }

    // A command line that names an operation asks for an unattended run: until that run is known
    // to start, nothing may wait for an answer nobody gives.
    bool unattendedAsked = false;
    {
        std::string text = vb::UCase(vb::Trim(commandLine));
        std::vector<std::string> tokens;
        internal::CutCommandLine(text, tokens, [](const std::string&) {});
        unattendedAsked = basAutomation::HasOperationOption(tokens);
    }
    forms::DialogPresenter& previous = forms::Presenter();
    HoldingPresenter holding(previous);
    forms::SetPresenter(&holding);
    internal::HoldUserMessages(unattendedAsked);
    // However start-up ends, boxes go straight to the presenter again afterwards.
    struct EndHolding {
        forms::DialogPresenter& previous;
        ~EndHolding() {
            internal::HoldUserMessages(false);
            forms::SetPresenter(&previous);
        }
    } endHolding{previous};

    bool frameLoaded = false;
    bool ended = false;  // a step ended the process (a test's end hook returns here)
    std::vector<std::string> settingWarnings;
    std::string lastFailure;  // the line of the step that ended start-up

    // An unattended run that cannot start ends with a failure, and the status file that an earlier
    // run left (its "Successfully ..." lines) is replaced by one with this run's reasons: the
    // caller reads that file as the run's own. The held messages go to standard error too.
    auto endFailedStart = [&](std::vector<std::string> reasons) {
        internal::HoldUserMessages(false);
        std::vector<std::string> held = internal::TakeHeldUserMessages();
        for (const auto& line : held) std::cerr << line << "\n";
        held.insert(held.end(), reasons.begin(), reasons.end());
        if (unattendedAsked) {
            chooseCurrentFolder();  // where the run would have written it
            basAutomation::ReplaceStatusFileOfFailedStart(commandLine, held);
        }
        ended = true;
        internal::EndProcess(1);
    };

    // Runs one step. Error 5 is logged and start-up goes on; any other failure ends start-up
    // (and, before the frame exists, the process).
    auto step = [&](const std::function<void()>& fn) {
        try {
            fn();
            return !ended;
        } catch (...) {
            const vb::Error e = vb::CurrentException();
            if (e.Number() == 5) {
                StatusDisplay(vb::ErrorLine("ERROR #", e, " in Main.  Aborting current operation on moving onto the next."),
                              basDebug::WARNING);
                return true;
            }
            lastFailure = vb::ErrorLine("ERROR #", e, " in Main.  Exiting initialization abnormally.");
            StatusDisplay(lastFailure, basDebug::ERROR_LEVEL);
            return false;
        }
    };
    auto abort = [&] {
        if (!frameLoaded) {
            endFailedStart({lastFailure});
        } else {
            internal::HoldUserMessages(false);
            logHeldMessages();
            // An unattended run that cannot finish its start-up would wait for ever for a device
            // list that never comes: it ends now, through the frame's unload, with a failure.
            if (ctx.AutomationMode) {
                if (MDIForm1* frame = Frame()) frame->Unload();
            }
        }
    };

    // 1. One instance at a time.
    {
        const std::string name = ctx.App.Title + ".Instance";
        state.instanceMutex = kernel::CreateMutex(false, name);
        if (state.instanceMutex == 0) {
            // Without the mutex the program cannot tell whether another instance runs: its
            // platform root may not be used, or the disk has no room for the mutex's file.
            const std::string reason = "The program cannot start: its instance mutex \"" + name +
                                       "\" cannot be created (" + kernel::LastErrorDetail() + ").";
            std::cerr << "Imagelift: " << reason << "\n";
            if (!unattendedAsked) forms::MsgBox(reason, forms::vbOKOnly | forms::vbCritical, ctx.App.Title);
            endFailedStart({reason});
            return;
        }
        if (kernel::GetLastError() == kernel::ERROR_ALREADY_EXISTS) {
            forms::MsgBox("There is already an instance of " + ctx.App.Title + " running.  Cannot run a second instance.",
                          forms::vbOKOnly, "Multiple Instances of " + ctx.App.Title);
            kernel::CloseHandle(state.instanceMutex);
            state.instanceMutex = 0;
            for (const auto& line : internal::TakeHeldUserMessages()) std::cerr << line << "\n";
            internal::HoldUserMessages(false);
            // A caller that asked for an operation must not read the running program's status
            // file as this run's success.
            internal::EndProcess(unattendedAsked ? 1 : 0);
            return;
        }
    }

    const bool ok =
        // 2. Initial values.
        step([&] {
            ctx.DownloadInProgress = false;
            ctx.OverrideHardwareCompatibility = false;
            ctx.DebugMessageLevel = 7;
            ctx.DebugLoggingLevel = 5;
            ctx.DllMessageLevel = 7;
            bas1394::State.EmptyNodeRecord.NodeNumber = bas1394::kNoNode;
        }) &&
        // 3. The current folder.
        step(chooseCurrentFolder) &&
        // 4. The settings-and-log store, in the current folder.
        step([&] { ctx.DbManager = std::make_unique<clsDbManager>(fs::CurDir(), basDebug::ReportStoreLine); }) &&
        // 5. The "Global" levels and time-out.
        step([&] {
            ctx.DllMessageLevel = globalSetting("DllMessageLevel", ctx.DllMessageLevel, settingWarnings);
            ctx.DebugMessageLevel = globalSetting("DebugMessageLevel", 7, settingWarnings);
            ctx.DebugLoggingLevel = globalSetting("DebugLoggingLevel", 5, settingWarnings);
            const int32_t t = globalSetting("Default1394TransactionTimeout", 200, settingWarnings);
            ctx.Default1394TransactionTimeout = t >= 0 ? t : 200;
            ctx.BusResetSettleDelay = 200;
            ctx.ConfigRomTimeout = ctx.Default1394TransactionTimeout;
        }) &&
        // 6. The frame, which loads the main window and status window 0.
        step([&] {
            state.frame = std::make_unique<MDIForm1>();
            state.frame->Show();
            frameLoaded = true;
            for (const auto& w : settingWarnings) StatusDisplay(w, basDebug::WARNING);
        }) &&
        // 7. The command line.
        step([&] {
            CommandLineRawText = commandLine;
            CommandLineText = vb::UCase(vb::Trim(commandLine));
            if (ParseCommandLine(CommandLineText) == 1) {
                const bool options = basAutomation::InitializeCommandLineOptions() == 1;
                if (!options) {
                    ctx.AutomationMode = false;
                } else if (basAutomation::HasOperationOption(CommandLineTokens)) {
                    const int32_t started = basAutomation::Initialize();
                    if (started != 1) {
                        // The unattended run could not start: its caller must not wait on a
                        // program that now waits for a user. The held messages are kept in the
                        // status log, and the program ends with a failure without its shut-down.
                        std::cerr << "Imagelift: the unattended run could not start.\n";
                        internal::HoldUserMessages(false);
                        const std::vector<std::string> held = internal::TakeHeldUserMessages();
                        for (const auto& line : held) basDebug::DebugLog(line, basDebug::ERROR_LEVEL, std::string("basApp"));
                        std::vector<std::string> reasons = held;
                        reasons.push_back("The unattended run could not start.");
                        basAutomation::ReplaceStatusFileOfFailedStart(commandLine, reasons);
                        ended = true;
                        internal::EndProcess(1);
                        return;
                    }
                } else {
                    ctx.AutomationMode = false;
                }
            } else {
                StatusDisplay("Error processing command line!", basDebug::ERROR_LEVEL);
            }
            // From here on the run is known: held messages are logged (an unattended run's status
            // file has them), new ones show or go to the status file as usual.
            internal::HoldUserMessages(false);
            logHeldMessages();
        }) &&
        // 8. The start lines.
        step([&] {
            StatusDisplay("Started " + ctx.App.EXEName + " version " + vb::CStr(ctx.App.Major) + "." +
                              vb::CStr(ctx.App.Minor) + "." + vb::CStr(ctx.App.Revision) + " at " + localTimeText(),
                          basDebug::USER);
            if (!commandLine.empty())
                StatusDisplay("Command line options = \"" + commandLine + "\"", basDebug::USER);
            StatusDisplay("Default 1394 transaction timeout = " + vb::CStr(ctx.Default1394TransactionTimeout),
                          basDebug::WATCH);
        }) &&
        // 9. The supporting files (only logged).
        step(VerifySupportingFiles) &&
        // 10. The bootloader module: its mutexes and target tables.
        step(basBootloader::Initialize) &&
        // 11. The 1394 tables, empty.
        step([] {
            bas1394::ResetNodeTable();
            bas1394::State.AddressRanges.assign(1, bas1394::AddressRangeRecord{});
        }) &&
        // 12. The access library, with the notice text box as its client.
        step([&] {
            forms::Form* main = mainWindowForm();
            forms::Control* box = main ? main->FindControl("txtDebugSpew") : nullptr;
            if (!box) vb::Raise(91, "Main");  // no main window with its notice text box
            const user::HWND notices = box->hWnd();
            if (bas1394::LoadVsk1394Dll(notices, MainChildForm) != 0) {
                InitializeBootloaderModule();
                InitializeDebuggerModule();
            }
        }) &&
        // 13. The library's message level.
        step([&] { bas1394::SetDllMessageLevel(ctx.DllMessageLevel); }) &&
        // 14. The first device list comes with the bus-reset timer's next tick.
        step([] {
            bas1394::State.BusResetPending = true;
            bas1394::State.TopologyReady = false;
        }) &&
        // 15. The focus to the main window.
        step([&] {
            forms::Form* main = mainWindowForm();
            if (main && main->Visible() && main->Enabled()) main->SetFocus();
        });

    if (!ok && !ended) abort();
}

void ShutDown() {
    auto& state = run();
    if (state.shutDownRan) return;
    state.shutDownRan = true;
    auto& ctx = imagelift::Ctx();
    // Every step runs, whatever the one before it did.
    vb::ResumeNext steps;
    steps.Run([] { basBootloader::Terminate(); });
    steps.Run([] { bas1394::UnloadVsk1394Dll(); });
    steps.Run([&] {
        if (ctx.AutomationMode) basAutomation::Shutdown();
    });
    // An unattended run ends the process with its outcome, for the script that started it.
    int exitCode = 0;
    steps.Run([&] {
        if (ctx.AutomationMode) exitCode = basAutomation::ExitCode();
    });
    // The store's end closes and compacts the database.
    steps.Run([&] { ctx.DbManager.reset(); });
    internal::EndProcess(exitCode);
}

namespace internal {

void ForgetRun() {
    auto& state = run();
    if (state.frame) {
        state.frame->Unload();
        state.frame.reset();
    }
    if (state.instanceMutex != 0) kernel::CloseHandle(state.instanceMutex);
    state.instanceMutex = 0;
    state.shutDownRan = false;
    ReleaseRetiredWindows();
}

}  // namespace internal

// ---------------------------------------------------------------- module hooks

void InitializeModule(std::vector<uint8_t>& moduleName) {
    if (moduleName.empty() || moduleName.back() != 0) moduleName.push_back(0);
    StatusDisplay("Calling HookSystemModule...", basDebug::WATCH);
    const int32_t r = bas1394::lib::HookSystemModule(reinterpret_cast<const char*>(moduleName.data()));
    if (r != 1)
        StatusDisplay("HookSystemModule failed, code " + vb::CStr(r) + "(0x" + vb::Hex(r) + " in InitializeModule",
                      basDebug::ERROR_LEVEL);
}

void InitializeBootloaderModule() {
    StatusDisplay("Initializing the bootloader module...", basDebug::WATCH);
    std::vector<uint8_t> name = vb::TextToBytes("Bootloader");
    InitializeModule(name);
    StatusDisplay("The bootloader module has been initialized.", basDebug::WATCH);
}

void InitializeDebuggerModule() {
    StatusDisplay("Initializing the debugger module...", basDebug::WATCH);
    std::vector<uint8_t> name = vb::TextToBytes("1394debugger");
    InitializeModule(name);
    StatusDisplay("The debugger module has been initialized.", basDebug::WATCH);
}

}  // namespace basApp
