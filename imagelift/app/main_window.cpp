// The main window: load and unload, the menus and their forwarders to the frame, the pump timers,
// the unattended-run scheduler, the message route to every status window and the access
// library's text lines.
#include "app/main_window.h"

#include <algorithm>

#include "app/bas_app.h"
#include "app/frame.h"
#include "automation/automation.h"
#include "windows/status_window.h"
#include "bootloader/commands.h"
#include "bootloader/state.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "clock/clock.h"
#include "forms/views.h"
#include "layout/layout_manager.h"
#include "support/db_manager.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "windows/ignore_failure.h"

namespace {

constexpr const char* kModule = "frmMain";

using basApp::ignoringFailure;

}  // namespace

frmMain::frmMain() : forms::Form("frmMain", true) {
    mnuExit.Click = [this] { mnuExit_Click(); };
    mnuStatusWindow.Click = [this] { mnuStatusWindow_Click(); };
    mnuDebugMessageLevel.Click = [this] { mnuDebugMessageLevel_Click(); };
    mnuDebugLoggingLevel.Click = [this] { mnuDebugLoggingLevel_Click(); };
    mnuDefault1394TransactionTimeout.Click = [this] { mnuDefault1394TransactionTimeout_Click(); };
    mnu1394DLLdebugLevel.Click = [this] { mnu1394DLLdebugLevel_Click(); };
    mnuAutoScaleChildren.Click = [this] { mnuAutoScaleChildren_Click(); };
    mnuTile.Click = [this] { mnuTile_Click(); };
    mnuCascade.Click = [this] { mnuCascade_Click(); };
    mnuUserGuide.Click = [this] { mnuUserGuide_Click(); };
    mnuReleaseNotes.Click = [this] { mnuReleaseNotes_Click(); };
    mnuAbout.Click = [this] { mnuAbout_Click(); };
    connectDeviceCommands();

    txtDebugSpew.Change = [this] { txtDebugSpew_Change(); };
    mfgDevices.RowColChange = [this] { mfgDevices_RowColChange(); };
    mfgDevices.SelChange = [this] { mfgDevices_SelChange(); };
    mfgDevices.KeyDown = [this](int32_t& KeyCode, int32_t Shift) { mfgDevices_KeyDown(KeyCode, Shift); };
    tmrBusReset.OnTimer = [this] { tmrBusReset_Timer(); };
    tmrIncomingData.OnTimer = [this] { tmrIncomingData_Timer(); };
    tmrAutomationScheduler.OnTimer = [this] { tmrAutomationScheduler_Timer(); };
}

frmMain::~frmMain() {
    if (bas1394::State.PumpTimers == this) bas1394::State.PumpTimers = nullptr;
    auto& ctx = imagelift::Ctx();
    if (ctx.MainChildForm == this) ctx.MainChildForm = nullptr;
    if (basApp::MainChildForm == this) basApp::MainChildForm = nullptr;
    if (basApp::MainWindow() == this) basApp::SetMainWindow(nullptr);
}

// ---------------------------------------------------------------- design and load

void frmMain::Form_Design() {
    Caption = "Available Devices";
    KeyPreview = true;

    // Device list on top, the selected device's details below it (twips).
    fraDeviceList.Caption = "Device List";
    fraDeviceList.Move(60, 0, 10800, 2520);
    mfgDevices.Move(120, 240, 10560, 2160);
    mfgDevices.ScrollBars = 2;
    mfgDevices.SelectionMode = forms::flexSelectionByRow;

    fraSelectedDevice.Caption = "Selected Device";
    fraSelectedDevice.Move(60, 2580, 10800, 3000);
    // The first row starts below the group's caption and its edge, which take about 260 twips
    // in the font in use.
    const double col1 = 120, col2 = 5460, w = 5220, h = 255;
    lblDriver.Move(col1, 300, w, h);
    lblNode.Move(col1, 560, w, h);
    lblGUID.Move(col1, 820, w, h);
    lblDeviceState.Move(col1, 1080, w, h);
    lblHardwareVersion.Move(col2, 300, w, h);
    lblManufacturer.Move(col2, 560, w, h);
    lblModelID.Move(col2, 820, w, h);
    lblModelName.Move(col2, 1080, w, h);
    lblBootloaderGuidInfo.Move(col1, 1340, w, h);
    lblBootloaderGuidGet.Move(col2, 1340, w, h);

    lblApplicationImage.Caption = "Application:";
    lblBootloader.Caption = "Bootloader:";
    lblDebugMonitor.Caption = "Debug Monitor:";
    cmdUpdateApplicationImage.Caption = "Update Application &Image...";
    cmdUpdateBootloader.Caption = "&Update Bootloader Image...";
    cmdUpdateDebugMonitor.Caption = "Update &Debug Monitor Image...";
    struct Line {
        forms::Label& label;
        forms::TextBox& text;
        forms::CommandButton& button;
    };
    double top = 1660;
    for (Line line : {Line{lblApplicationImage, txtApplicationImageVersion, cmdUpdateApplicationImage},
                      Line{lblBootloader, txtBootloaderVersion, cmdUpdateBootloader},
                      Line{lblDebugMonitor, txtDebugMonitorVersion, cmdUpdateDebugMonitor}}) {
        line.label.Move(col1, top + 40, 1500, h);
        line.text.Move(1680, top, 5880, 315);
        line.text.Locked = true;
        line.button.Move(7680, top, 3000, 315);
        line.button.Enabled = false;
        top += 420;
    }

    txtDebugSpew.Move(0, 0, 100, 100);
    txtDebugSpew.Visible = false;

    tmrBusReset.Interval = 20;
    tmrBusReset.Enabled = true;
    tmrIncomingData.Interval = 20;
    tmrIncomingData.Enabled = true;
    tmrAutomationScheduler.Interval = 1000;
    tmrAutomationScheduler.Enabled = false;

    mnuLaunchShell.Enabled = false;
    mnuReset.Enabled = false;
    mnuResetToBootloader.Enabled = false;
    mnuFactoryDefaults.Enabled = false;
    mnuUpdateApplicationFirmware.Enabled = false;
    mnuUpdateBootloaderFirmware.Enabled = false;
    mnuUpdateDebuggerFirmware.Enabled = false;
    mnuTest.Visible = false;
    mnuCascade.Visible = false;
    mnuWindow.WindowList = true;
}

void frmMain::Form_Load() {
    auto& ctx = imagelift::Ctx();
    SchedulerState = {};

    // The auto-scale tick follows the frame's own item.
    if (MDIForm1* frame = basApp::Frame()) mnuAutoScaleChildren.Checked = frame->mnuAutoScaleChildren.Checked();

    // The virtual-driver removal is read here and never written back: ticking it lasts for this run.
    bool removeDriver = false;
    if (ctx.DbManager) {
        const std::string stored = ctx.DbManager->GetSetting(ctx.App.Title, Name, "RemoveDriverOnShutdown", "0");
        try {
            removeDriver = vb::CBool(stored);
        } catch (const vb::Error&) {
            removeDriver = false;
        }
    }
    mnuRemove1394VirtualDriverOnShutdown.Checked = removeDriver;

    // The grid: the header row alone, seven columns.
    mfgDevices.Rows = 2;
    mfgDevices.Cols = 7;
    mfgDevices.FixedRows = 1;
    mfgDevices.FixedCols = 0;
    mfgDevices.Rows = 1;
    for (int32_t c = 0; c < 7; ++c) {
        mfgDevices.TextMatrix(0, c) = imagelift::kDeviceHeaders[size_t(c)];
        mfgDevices.ColAlignment(c) = c < 2 ? forms::flexAlignCenterCenter : forms::flexAlignLeftCenter;
    }
    ResizeMFG(mfgDevices);

    // The client area just holds the two frames.
    Height = fraSelectedDevice.Top() + fraSelectedDevice.Height() + (Height() - ScaleHeight());
    Width = fraDeviceList.Left() + fraDeviceList.Width() + (Width() - ScaleWidth());
    designHeight_ = Height();

    LayoutManager = std::make_unique<clsLayoutManager>();
    ignoringFailure([&] { LayoutManager->LayoutForm(*this); });

    ClearDetailPane();
    forms::DoEvents();

    txtDebugSpew.Text = std::string();
    basApp::HookWindow(txtDebugSpew, true);

    mnuLaunchShell.Enabled = false;
    mnuFactoryDefaults.Enabled = false;
    mnuReset.Enabled = false;
    mnuResetToBootloader.Enabled = false;

    ctx.MainChildForm = this;
}

void frmMain::Form_Unload(int32_t& /*Cancel*/) {
    auto& ctx = imagelift::Ctx();
    ignoringFailure([&] { StatusDisplay("Unloading main child form...", "TRACE"); });
    ignoringFailure([&] {
        if (mnuRemove1394VirtualDriverOnShutdown.Checked()) {
            int32_t window = int32_t(txtDebugSpew.hWnd());
            bas1394::RemoveVirtualDevice(window, bas1394::kVirtualDeviceName);
        }
    });
    // Releasing the layout manager saves the window's layout.
    ignoringFailure([&] { LayoutManager.reset(); });
    ignoringFailure([&] { basApp::HookWindow(txtDebugSpew, false); });
    if (basApp::MainChildForm == this) basApp::MainChildForm = nullptr;
    if (basApp::MainWindow() == this) basApp::SetMainWindow(nullptr);
    if (ctx.MainChildForm == this) ctx.MainChildForm = nullptr;
    // Closing the main window closes the program. The frame's unload unloads this window first;
    // a frame already unloading ignores this.
    ignoringFailure([&] {
        if (MDIForm1* frame = basApp::Frame()) frame->Unload();
    });
}

void frmMain::Form_KeyPress(int32_t& /*KeyAscii*/) { StatusDisplay("keypress", "WATCH"); }

void frmMain::EnableBusResetTimer() { tmrBusReset.Enabled = true; }
void frmMain::EnableIncomingDataTimer() { tmrIncomingData.Enabled = true; }

// ---------------------------------------------------------------- sizing

void frmMain::Form_Resize() {
    try {
        if (WindowState() == forms::vbMinimized || !LayoutManager) return;
        LayoutManager->ResizeForm();
        ResizeMFG(mfgDevices);
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmMain::ResizeMFG(forms::MSFlexGrid& /*grid*/) {
    static const std::vector<double> kShares = {0.02, 0.02, 0.2, 0.15, 0.23, 0.23, 0.15};
    const double usable = mfgDevices.Width() - 100;
    // Each column takes its share of the grid, but never less than its texts need in the font in
    // use.
    std::vector<double> need;
    for (int32_t c = 0; c < 7; ++c) need.push_back(mfgDevices.ColTextWidth(c));
    const std::vector<double> width = forms::ShareColumnWidths(kShares, need, usable);
    for (int32_t c = 0; c < 7; ++c)
        if (width[size_t(c)] > 0) mfgDevices.ColWidth(c) = vb::RoundHalfEven(width[size_t(c)]);
}

// ---------------------------------------------------------------- bus events

void frmMain::IEEE1394Bus_NodesChanged() {
    // A bus-reset pass calls this for every node it keeps: the window is painted once, when the
    // list and the pane are complete, not for every step of the refill, and only where they
    // changed (the changed cells, the pane): the events let run below paint it before returning.
    HoldRedraw(true);
    struct Release {
        frmMain& window;
        ~Release() { window.HoldRedraw(false); }
    };
    {
        Release release{*this};
        ClearDetailPane();
        RefreshDeviceList(bas1394::State.NodeTable, basBootloader::State.TargetList);
    }
    forms::DoEvents();
}

void frmMain::IEEE1394Bus_ResetComplete() {}

void frmMain::IEEE1394IncomingDataHandler() {
    const int32_t result = basBootloader::Haltbootloader(0);
    if (result == 1)
        StatusDisplay("Broadcasted bootloader halt command.", "TRACE");
    else
        StatusDisplay("WARNING: Failed to broadcast bootloader halt command, code " + vb::CStr(result), 7,
                      std::string(kModule));
}

// The pumps guard themselves: a tick that arrives while a pass runs (events are let through
// inside it) returns at once, and the timer never re-enters its own handler.
void frmMain::tmrBusReset_Timer() { bas1394::BusResetHandlerThread(); }
void frmMain::tmrIncomingData_Timer() { bas1394::IncomingDataThreadHandler(); }

// ---------------------------------------------------------------- messages

void frmMain::StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level,
                            const std::optional<std::string>& Module) {
    auto& ctx = imagelift::Ctx();
    int32_t level = 5;
    try {
        level = basDebug::LevelNumber(Level);
    } catch (...) {
        // StatusDisplay cannot log about itself: a failing step is dropped and the next one runs.
    }
    try {
        if (level >= 15) {
            for (int i = 0; i < 3; ++i) {
                if (ctx.Beep)
                    ctx.Beep();
                else
                    forms::Beep();
            }
        }
    } catch (...) {
        // StatusDisplay cannot log about itself: a failing step is dropped and the next one runs.
    }
    const std::string module = Module ? *Module : std::string("unspecified");
    // One program clock for every line, whichever route it takes.
    float elapsed = 0;
    try {
        elapsed = basApp::RunTimeMs();
    } catch (...) {
        // StatusDisplay cannot log about itself: a failing step is dropped and the next one runs.
    }
    const int32_t runtime = int32_t(vb::RoundHalfEven(elapsed));
    for (size_t i = 0; i < basApp::StatusWindows.size(); ++i) {
        try {
            // A window may empty its slot while a line is shown; hold it for the call.
            std::shared_ptr<frmStatus> window = basApp::StatusWindows[i];
            if (!window) continue;
            // A level of 0 comes back as 5, and is stored as such.
            window->PostMessage(Message, elapsed, level, module);
        } catch (...) {
            // StatusDisplay cannot log about itself: a failing step is dropped and the next one runs.
        }
    }
    try {
        basDebug::RecordLine(Message, level, module, runtime);
    } catch (...) {
        // StatusDisplay cannot log about itself: a failing step is dropped and the next one runs.
    }
}

void frmMain::txtDebugSpew_Change() {
    const std::string text = txtDebugSpew.Text();
    if (text.empty()) return;  // the emptying below raises this event again
    size_t position = 0;
    for (;;) {
        const size_t pair = text.find("\r\n", position);
        if (pair == std::string::npos) break;
        if (mnuShowDllMessages.Checked())
            basDebug::DebugLog(text.substr(position, pair - position), "DLL DEBUG SPEW");
        position = pair + 2;
    }
    // An incomplete line after the last CR LF goes with the rest.
    txtDebugSpew.Text = std::string();
}

// ---------------------------------------------------------------- unattended runs

void frmMain::tmrAutomationScheduler_Timer() {
    SchedulerTick({basAutomation::HasOperationOption, basAutomation::PerformUnattendedOperations});
}

void frmMain::SchedulerTick(const UnattendedRun& automation) {
    auto& s = SchedulerState;
    if (s.Busy) {
        StatusDisplay("tmrAutomationScheduler: ERROR - re-entering scheduler.  Aborting operation!", "WARNING");
        return;
    }
    s.Busy = true;
    struct ClearBusy {
        SchedulerCounters& s;
        ~ClearBusy() { s.Busy = false; }
    } clearBusy{s};

    // A device list that never completes (no bus, a bus that keeps resetting) must not keep an
    // unattended caller waiting for ever.
    s.TicksWithoutAttempt += 1;
    const int32_t waitLimit = basAutomation::State.AttemptWaitLimitTicks;
    if (s.TicksWithoutAttempt > waitLimit) {
        StatusDisplay("No complete device list after " + vb::CStr(waitLimit) +
                          " s; aborting unattended run.",
                      "ERROR");
        ExitAfterAutomation();
        return;
    }

    if (!bas1394::State.TopologyReady) {
        s.TickCount = 0;
        return;
    }
    s.TickCount = int16_t(s.TickCount + 1);
    if (s.TickCount <= 3) return;

    if (!automation.HasOperationOption || !automation.PerformUnattendedOperations ||
        !automation.HasOperationOption(basApp::CommandLineTokens)) {
        // Nothing to run: the program stays open for the user.
        tmrAutomationScheduler.Enabled = false;
        return;
    }
    s.TicksWithoutAttempt = 0;
    const int32_t result = automation.PerformUnattendedOperations(basApp::CommandLineTokens);
    if (result == 2) {
        // The target was reset into its bootloader: run again after the next device list.
        s.TickCount = 0;
        s.ResetAttempts += 1;
        if (s.ResetAttempts > 5) {
            StatusDisplay("Performed " + vb::CStr(s.ResetAttempts) +
                              " attempts to reset the device and resume the operation(s).  Aborting.",
                          "ERROR");
            ExitAfterAutomation();
        }
        return;
    }
    ExitAfterAutomation();
}

void frmMain::ExitAfterAutomation() {
    tmrAutomationScheduler.Enabled = false;
    // The program ends: the messages still pending are let through, but the pumps start no new
    // bus-reset or incoming-data pass (a full device list nobody would see).
    tmrBusReset.Enabled = false;
    tmrIncomingData.Enabled = false;
    forms::DoEvents();
    Refresh();
    clk::Sleep(2000);
    if (MDIForm1* frame = basApp::Frame()) frame->Unload();
}

// ---------------------------------------------------------------- forwarders to the frame

void frmMain::mnuExit_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuExit_Click();
}
void frmMain::mnuStatusWindow_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuStatusWindow_Click();
}
void frmMain::mnuDebugMessageLevel_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuDebugMessageLevel_Click();
}
void frmMain::mnuDebugLoggingLevel_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuDebugLoggingLevel_Click();
}
void frmMain::mnuDefault1394TransactionTimeout_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuDefault1394TransactionTimeout_Click();
}
void frmMain::mnu1394DLLdebugLevel_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuDllMessageLevel_Click();
}
void frmMain::mnuAutoScaleChildren_Click() {
    MDIForm1* frame = basApp::Frame();
    if (!frame) return;
    frame->mnuAutoScaleChildren_Click();
    mnuAutoScaleChildren.Checked = frame->mnuAutoScaleChildren.Checked();
}
void frmMain::mnuTile_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->ArrangeChildren(1);
}
void frmMain::mnuCascade_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->Arrange(0);
}
void frmMain::mnuUserGuide_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuUserGuide_Click();
}
void frmMain::mnuReleaseNotes_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuReleaseNotes_Click();
}
void frmMain::mnuAbout_Click() {
    if (MDIForm1* frame = basApp::Frame()) frame->mnuAbout_Click();
}
