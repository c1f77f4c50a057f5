// The MDI frame: its load and unload, the arrangement of its children, its menus and the value
// dialogs for the log levels and the transaction time-out.
#include "app/frame.h"

#include "app/bas_app.h"
#include "windows/help_window.h"
#include "app/main_window.h"
#include "windows/open_windows.h"
#include "windows/status_window.h"
#include "bus1394/transactions.h"
#include "firmware/about_box.h"
#include "firmware/download_guard.h"
#include "firmware/select_firmware.h"
#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/byte_utils.h"
#include "support/db_manager.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

namespace {

// The help pages ship in the "help" folder beside the program; a page is named by its path
// below that folder.
constexpr const char* kHelpFolder = "help";
constexpr const char* kReleaseNotesPage = "/index.v1.1.6.html#Recent";
constexpr const char* kUserGuidePage = "/v1.8.1/index.html";

std::string appTitle() { return imagelift::Ctx().App.Title; }

void saveGlobal(const std::string& key, int32_t value) {
    auto& ctx = imagelift::Ctx();
    if (ctx.DbManager) ctx.DbManager->SaveSetting(ctx.App.Title, "Global", key, vb::CStr(value));
}

std::string storedGlobal(const std::string& key, int32_t current) {
    auto& ctx = imagelift::Ctx();
    if (!ctx.DbManager) return vb::CStr(current);
    return ctx.DbManager->GetSetting(ctx.App.Title, "Global", key, vb::CStr(current));
}

// The prompt of the level dialogs: the leading sentence, then the level table.
std::string levelPrompt(const std::string& lead) {
    static const std::pair<const char*, int32_t> levels[] = {
        {"LEVEL_DETAIL=", 1}, {"LEVEL_MUTEX=", 3}, {"LEVEL_TRACE=", 5},  {"LEVEL_WARNING=", 7},
        {"LEVEL_WATCH=", 9},  {"LEVEL_ERROR=", 11}, {"LEVEL_USER=", 13}, {"LEVEL_FATAL=", 15},
    };
    std::string prompt = lead + "A lower number means more messages.";
    for (const auto& [name, number] : levels) prompt += std::string("\r\n\t") + name + vb::CStr(number);
    return prompt + "\r\n\t" + "LEVEL_NONE=LEVEL_NONE ";
}

// The form of a window held in one of basApp's arrays: the frame's loaded child that is that
// very object (the arrays may hold kinds of windows this file does not know in full).
template <class T>
forms::Form* loadedChild(const std::shared_ptr<T>& window, const std::vector<forms::Form*>& children) {
    const void* object = window.get();
    if (!object) return nullptr;
    for (forms::Form* child : children)
        if (dynamic_cast<const void*>(child) == object) return child;
    return nullptr;
}

}  // namespace

MDIForm1::MDIForm1() : forms::MDIForm("MDIForm1") {
    mnuExit.Click = [this] { mnuExit_Click(); };
    mnuStatusWindow.Click = [this] { mnuStatusWindow_Click(); };
    mnuDebugLoggingLevel.Click = [this] { mnuDebugLoggingLevel_Click(); };
    mnuDebugMessageLevel.Click = [this] { mnuDebugMessageLevel_Click(); };
    mnuAutoScaleChildren.Click = [this] { mnuAutoScaleChildren_Click(); };
    mnuTile.Click = [this] { mnuTile_Click(); };
    // Cascade has no handler: choosing it does nothing.
    mnuUserGuide.Click = [this] { mnuUserGuide_Click(); };
    mnuReleaseNotes.Click = [this] { mnuReleaseNotes_Click(); };
    mnuAbout.Click = [this] { mnuAbout_Click(); };
}

MDIForm1::~MDIForm1() {
    // The children go before the frame's window does.
    auto& ctx = imagelift::Ctx();
    for (auto& w : basApp::StatusWindows)
        if (w && ctx.StatusWindow0 == w.get()) ctx.StatusWindow0 = nullptr;
    if (basApp::MainChildForm == mainWindow_.get()) basApp::MainChildForm = nullptr;
    if (basApp::MainWindow() == mainWindow_.get()) basApp::SetMainWindow(nullptr);
    mainWindow_.reset();
}

std::string MDIForm1::HelpLink(const std::string& path) {
    std::string folder = imagelift::Ctx().App.Path;
    if (folder.empty()) folder = fs::ProgramFolder();
    return "file://" + folder + "/" + kHelpFolder + path;
}

void MDIForm1::StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::DebugLog(message, level, std::string("MDIForm1"));
}

forms::Form* MDIForm1::mainForm() const {
    return mainWindow_ && mainWindow_->IsLoaded() ? mainWindow_.get() : nullptr;
}

// ---------------------------------------------------------------- load

void MDIForm1::Form_Design() { Caption = "Downloader / Shell Application"; }

void MDIForm1::Form_Load() {
    auto& ctx = imagelift::Ctx();
    AutosizeChildren = false;

    // Auto-scaling as the user left it at the end of an earlier run (a value that is neither
    // a number nor a truth word keeps it on).
    bool autoScale = true;
    if (ctx.DbManager) {
        const std::string stored = ctx.DbManager->GetSetting(appTitle(), Name, "AutoScaleChildForms", "1");
        try {
            autoScale = vb::CBool(stored);
        } catch (const vb::Error&) {
            StatusDisplay("The stored setting \"AutoScaleChildForms\" = \"" + stored +
                              "\" is neither a number nor a truth value.  Auto-scaling stays on.",
                          basDebug::WARNING);
        }
    }
    mnuAutoScaleChildren.Checked = autoScale;

    // The setup program finds the running downloader by this exact caption.
    Caption = Caption() + " v" + vb::CStr(ctx.App.Major) + "." + vb::CStr(ctx.App.Minor) + "." +
              vb::CStr(ctx.App.Revision);
    Caption = Caption() + " (Engineering Version)";
    Caption = Caption() + " (" + "NRX" + " Custom Build)";

    basApp::ShellWindows.assign(1, nullptr);
    basApp::MemoryWindows.assign(1, nullptr);
    basApp::DownloadWindows.assign(1, nullptr);

    mainWindow_ = std::make_unique<frmMain>();
    basApp::MainChildForm = mainWindow_.get();
    basApp::SetMainWindow(mainWindow_.get());
    frmMain& main = *mainWindow_;
    main.Load();

    // The frame's client area just holds the main window ...
    Height = Height - ScaleHeight + main.Height;
    Width = Width - ScaleWidth + main.Width;
    main.Show();
    main.Move(0, 0);

    // ... and status window 0 below it.
    basApp::StatusWindows.assign(1, nullptr);
    auto status = std::make_shared<frmStatus>();
    basApp::StatusWindows[0] = status;
    ctx.StatusWindow0 = status.get();
    status->Load();
    status->WindowIndex = 0;
    status->DebugMessageLevel = ctx.DebugMessageLevel;
    status->Move(0, main.Top + main.Height, main.Width);
    status->Show();
    Height = Height - ScaleHeight + status->Height + main.Height;
    // Windows left short would squeeze the main window's details onto each other and onto the
    // edges of their groups: the frame opens at least tall enough for the tiling below (three
    // shares of four to the main window) to give the main window its designed height.
    const double designed = main.DesignHeight() * 4 / 3;
    if (ScaleHeight() < designed) Height = Height - ScaleHeight + designed;

    ArrangeChildren(1);
    basApp::FitFormToScreen(*this);
    AutosizeChildren = true;
    MDIForm_Resize();
}

// ---------------------------------------------------------------- unload

void MDIForm1::Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) {
    (void)UnloadMode;
    if (imagelift_firmware::DownloadRunning()) {
        StatusDisplay("The program cannot close while a firmware download runs.  Close it again once the download "
                      "has ended.",
                      basDebug::WARNING);
        Cancel = 1;
        return;
    }
    // The children close here, in the frame's order, before the window layer would close what
    // is left of them (memory viewers end with the process).
    StatusDisplay("Unloading parent form...", basDebug::TRACE);
    AutosizeChildren = false;
    unloadChildrenInOrder();
}

void MDIForm1::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    basApp::ShutDown();
}

void MDIForm1::unloadChildrenInOrder() {
    vb::ResumeNext steps;
    // The main window's own unload unloads this frame again, which does nothing while the frame
    // is unloading.
    steps.Run([&] {
        if (forms::Form* main = mainForm()) main->Unload();
    });
    for (size_t i = 0; i < basApp::DownloadWindows.size(); ++i) {
        steps.Run([&] {
            if (forms::Form* w = loadedChild(basApp::DownloadWindows[i], ChildForms())) w->Unload();
            basApp::EmptySlot(basApp::DownloadWindows, int32_t(i));
        });
    }
    for (size_t i = 0; i < basApp::ShellWindows.size(); ++i) {
        steps.Run([&] {
            if (forms::Form* w = loadedChild(basApp::ShellWindows[i], ChildForms())) w->Unload();
        });
    }
    for (size_t i = 0; i < basApp::StatusWindows.size(); ++i) {
        steps.Run([&] {
            // Kept alive here: the window empties its own slot while it unloads.
            std::shared_ptr<frmStatus> w = basApp::StatusWindows[i];
            if (w) w->Unload();
        });
    }
}

// ---------------------------------------------------------------- arrangement

void MDIForm1::ArrangeChildren(int16_t arrangementType) {
    try {
        forms::Form* main = mainForm();
        if (!main) return;
        std::vector<frmStatus*> shown;
        for (auto& w : basApp::StatusWindows)
            if (w && w->Visible) shown.push_back(w.get());
        const double n = double(shown.size());

        if (arrangementType == 1) {
            // Three shares of the client height for the main window, one for each status window.
            const double clientHeight = ScaleHeight;
            main->Move(0, 0, ScaleWidth, clientHeight * 3 / (n + 3));
            double pos = main->Top + main->Height;
            for (frmStatus* s : shown) {
                s->Move(0, pos, main->Width, clientHeight * 1 / (n + 3));
                pos = vb::CLng(s->Top + s->Height);
            }
        } else if (arrangementType == 2) {
            const double clientHeight = ScaleHeight, clientWidth = ScaleWidth;
            auto rescale = [&](forms::Form& f) {
                if (rescaleHeight_ > 0) {
                    const double fH = clientHeight / rescaleHeight_;
                    f.Top = f.Top * fH;
                    f.Height = f.Height * fH;
                }
                if (rescaleWidth_ > 0) {
                    const double fW = clientWidth / rescaleWidth_;
                    f.Left = f.Left * fW;
                    f.Width = f.Width * fW;
                }
            };
            rescale(*main);
            for (frmStatus* s : shown) rescale(*s);
            rescaleHeight_ = vb::CLng(clientHeight);
            rescaleWidth_ = vb::CLng(clientWidth);
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ArrangeChildren"), basDebug::ERROR_LEVEL);
    }
}

void MDIForm1::MDIForm_Resize() {
    if (AutosizeChildren && mainForm() && WindowState != forms::vbMinimized && mnuAutoScaleChildren.Checked)
        ArrangeChildren(2);
}

void MDIForm1::Form_Resize() { MDIForm_Resize(); }

// ---------------------------------------------------------------- child windows

int32_t MDIForm1::CreateDownloadWindow(const std::string& windowType) {
    try {
        if (windowType != "frmSelectFirmware") return -1;
        const int32_t slot = basApp::TakeSlot(basApp::DownloadWindows);
        auto window = std::make_shared<frmSelectFirmware>();
        window->Load();
        window->WindowIndex = slot;
        basApp::DownloadWindows[size_t(slot)] = std::move(window);
        return slot;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in CreateDownloadWindow"),
                      basDebug::ERROR_LEVEL);
        return -1;
    }
}

void MDIForm1::openStatusWindow() {
    auto& ctx = imagelift::Ctx();
    const int32_t slot = basApp::TakeSlot(basApp::StatusWindows);
    auto status = std::make_shared<frmStatus>();
    basApp::StatusWindows[size_t(slot)] = status;
    if (slot == 0) ctx.StatusWindow0 = status.get();
    status->Load();
    status->WindowIndex = slot;
    status->DebugMessageLevel = ctx.DebugMessageLevel;
    status->Visible = true;
}

// ---------------------------------------------------------------- menus

void MDIForm1::mnuExit_Click() { Unload(); }

void MDIForm1::mnuStatusWindow_Click() {
    openStatusWindow();
    if (mnuAutoScaleChildren.Checked) ArrangeChildren(1);
}

void MDIForm1::mnuAutoScaleChildren_Click() {
    // The new state lasts for this run only.
    mnuAutoScaleChildren.Checked = !mnuAutoScaleChildren.Checked;
    if (mainForm() && mainWindow_->mnuAutoScaleChildren.Checked() != mnuAutoScaleChildren.Checked())
        mainWindow_->mnuAutoScaleChildren.Checked = mnuAutoScaleChildren.Checked();
    if (mnuAutoScaleChildren.Checked) ArrangeChildren(1);
}

void MDIForm1::mnuTile_Click() { ArrangeChildren(1); }

void MDIForm1::mnuAbout_Click() {
    frmAbout about;
    about.Show(forms::vbModal, this);
}

void MDIForm1::mnuReleaseNotes_Click() { ShowHelp(HelpLink(kReleaseNotesPage), "Release Notes"); }

void MDIForm1::mnuUserGuide_Click() { ShowHelp(HelpLink(kUserGuidePage), "User Guide v1.8.1"); }

void MDIForm1::ShowHelp(const std::string& link, const std::string& caption) {
    try {
        auto help = std::make_shared<frmHelp>();
        help->Load();
        basApp::KeepOpenWindow(help);
        help->WebBrowser1.Navigate(link);
        clk::Sleep(10);
        help->Visible = true;
        // The text box holds the focus while the page comes up, behind the browser.
        help->Text1.SetFocus();
        help->Text1.ZOrder(1);
        help->WebBrowser1.SetFocus();
        help->Caption = caption;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ShowHelp"), basDebug::ERROR_LEVEL);
    }
}

// ---------------------------------------------------------------- value dialogs
// An empty answer (or Cancel) changes nothing; an answer that is not a number is logged and
// changes nothing; a number outside the range is refused in a message box.

void MDIForm1::mnuDebugLoggingLevel_Click() {
    try {
        auto& ctx = imagelift::Ctx();
        const std::string answer = forms::InputBox(
            levelPrompt("Please enter the new level of messages to add to the debug log (1 to 15).  "),
            "Debug Logging Level", vb::CStr(ctx.DebugLoggingLevel));
        if (answer.empty()) return;
        const int32_t v = vb::CLng(answer);
        if (v >= 1 && v <= 17) {
            ctx.DebugLoggingLevel = v;
            saveGlobal("DebugLoggingLevel", v);
        } else {
            forms::MsgBox("Invalid result: " + vb::CStr(v) + ".  Debug Logging Level unchanged.", forms::vbOKOnly,
                          "Invalid Level");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuDebugLoggingLevel_Click"),
                      basDebug::ERROR_LEVEL);
    }
}

void MDIForm1::mnuDebugMessageLevel_Click() {
    try {
        auto& ctx = imagelift::Ctx();
        // The window whose filter changes: the active status window, else the only one open.
        frmStatus* chosen = dynamic_cast<frmStatus*>(ActiveForm());
        if (!chosen) {
            std::vector<frmStatus*> open;
            for (auto& w : basApp::StatusWindows)
                if (w) open.push_back(w.get());
            if (open.size() > 1) {
                forms::MsgBox("Select the specific status form for which you intend to set the message level for.",
                              forms::vbOKOnly, "Status Window not Specified");
                return;
            }
            if (open.empty()) {
                forms::MsgBox("You must have a status window open in order to set the debug message level that's to "
                              "be displayed within it.",
                              forms::vbOKOnly, "No Status Window");
                return;
            }
            chosen = open.front();
        }
        // Held across the dialog: the window may close while the question is open.
        std::shared_ptr<frmStatus> keep;
        for (auto& w : basApp::StatusWindows)
            if (w.get() == chosen) keep = w;

        const std::string answer = forms::InputBox(
            levelPrompt("Please enter the new level of messages to view on the screen (1 to 15).  "), "Message Level",
            vb::CStr(chosen->DebugMessageLevel));
        if (answer.empty()) return;
        const int32_t v = vb::CLng(answer);
        if (v >= 1 && v <= 15) {
            chosen->DebugMessageLevel = v;
            ctx.DebugMessageLevel = v;
            saveGlobal("DebugMessageLevel", v);
        } else {
            forms::MsgBox("Invalid result: " + vb::CStr(v) + ".  Message Level unchanged.", forms::vbOKOnly,
                          "Invalid Level");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuDebugMessageLevel_Click"),
                      basDebug::ERROR_LEVEL);
    }
}

void MDIForm1::mnuDllMessageLevel_Click() {
    try {
        auto& ctx = imagelift::Ctx();
        const std::string answer =
            forms::InputBox(levelPrompt("Please enter the new level of messages from the 1394 DLL (1 to 15).  "),
                            "DLL Message Level", storedGlobal("DllMessageLevel", ctx.DllMessageLevel));
        if (answer.empty()) return;
        const int32_t v = vb::CLng(answer);
        if (v >= 1 && v <= 15) {
            ctx.DllMessageLevel = v;
            bas1394::SetDllMessageLevel(v);
            saveGlobal("DllMessageLevel", v);
        } else {
            forms::MsgBox("Invalid result: " + vb::CStr(v) + ".  1394 DLL Debug level unchanged.", forms::vbOKOnly,
                          "Invalid Level");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuDllMessageLevel_Click"),
                      basDebug::ERROR_LEVEL);
    }
}

void MDIForm1::mnuDefault1394TransactionTimeout_Click() {
    try {
        auto& ctx = imagelift::Ctx();
        const std::string answer = forms::InputBox(
            std::string("Please enter the new value for the default 1394 transaction timeout (in milliseconds).  ") +
                "Note: a value of 0 causes the 1394 function calls to be made synchronously.",
            "Transaction Timeout Time",
            storedGlobal("Default1394TransactionTimeout", ctx.Default1394TransactionTimeout));
        if (answer.empty()) return;
        if (!basUtils::IsDigit(answer)) {
            forms::MsgBox("Invalid result: " + answer + ".  You must enter a number!  Default transaction time unchanged.",
                          forms::vbOKOnly, "Invalid Time Setting");
            return;
        }
        const int32_t t = vb::CLng(answer);
        if (t >= 0 && t <= 3000) {
            ctx.Default1394TransactionTimeout = t;
            ctx.ConfigRomTimeout = t;
            saveGlobal("Default1394TransactionTimeout", t);
        } else {
            forms::MsgBox("Invalid result: " + vb::CStr(t) + ".  Default transaction time unchanged.", forms::vbOKOnly,
                          "Invalid Time Setting");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuDefault1394TransactionTimeout_Click"),
                      basDebug::ERROR_LEVEL);
    }
}
