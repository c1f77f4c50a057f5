// The shell window: load and unload, the poll tick, the output to the box, the keys, the device
// list and the menus' device commands.
#include "shell/shell_window.h"

#include "windows/ignore_failure.h"
#include "windows/kit.h"
#include "firmware/crc_window.h"
#include "bootloader/commands.h"
#include "bootloader/module.h"
#include "bootloader/shell.h"
#include "bootloader/state.h"
#include "forms/dialogs.h"
#include "layout/layout_manager.h"
#include "shell/terminal_input.h"
#include "shell/terminal_text.h"
#include "support/byte_utils.h"
#include "support/db_manager.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

using basApp::ignoringFailure;
using basBootloader::ByteArray;

constexpr const char* kModule = "frmShell";
constexpr int32_t kReadsPerTick = 3;
constexpr int32_t kStateMissing = 1;
constexpr int32_t kStateConnected = 2;
constexpr int16_t kHighestNode = 62;

// The failure line of a procedure that ends on an error: "ERROR #n: description in <where>".
std::string errorLine(const std::string& where) {
    return vb::ErrorLine("ERROR #", vb::CurrentException(), " in " + where + ".  Exiting...");
}

// The state word of a target in the device list.
std::string stateWord(const basBootloader::BootloaderTarget& target) {
    if (target.State == kStateMissing) return "missing";
    if (target.State == kStateConnected) return target.Info.BootloaderVersion != 0 ? "bootloader running" : "app running";
    return "error";
}

std::string deviceLine(const basBootloader::BootloaderTarget& target) {
    return "Node=" + vb::CStr(int32_t(target.Device.NodeNumber)) + "  Handle=" + vb::CStr(target.Handle) +
           "  GUID=" + basUtils::ByteArrayToHexString(target.Info.Guid) + "  State=" + stateWord(target);
}

}  // namespace

frmShell::frmShell() : forms::Form("frmShell", true) {
    tmrPollForShellData.OnTimer = [this] { tmrPollForShellData_Timer(); };
    txtShell.KeyDown = [this](int32_t& code, int32_t shift) { txtShell_KeyDown(code, shift); };
    txtShell.KeyPress = [this](int32_t& ascii) { txtShell_KeyPress(ascii); };
    cmbDeviceDetails.Click = [this] { cmbDeviceDetails_Click(); };
    cmbDeviceDetails.Change = [this] { cmbDeviceDetails_Change(); };
    cmbDeviceDetails.KeyUp = [this](int32_t& code, int32_t shift) { cmbDeviceDetails_KeyUp(code, shift); };
    cmbDeviceDetails.GotFocus = [] {};
    cmdCheckForData.Click = [this] { cmdCheckForData_Click(); };

    mnuClose.Click = [this] { mnuClose_Click(); };
    mnuSwitchTo1394shell.Click = [this] { mnuSwitchTo1394shell_Click(); };
    mnuReset.Click = [this] { mnuReset_Click(); };
    mnuHalt.Click = [this] { mnuHalt_Click(); };
    mnuStartDebugger.Click = [this] { mnuStartDebugger_Click(); };
    mnuStartApplication.Click = [this] { mnuStartApplication_Click(); };
    mnuGetDebugGUID.Click = [this] { mnuGetDebugGUID_Click(); };
    mnuInitializePersistentParameters.Click = [this] { mnuInitializePersistentParameters_Click(); };
    mnuFirmwareCRCs.Click = [this] { mnuFirmwareCRCs_Click(); };
    mnuAlwaysOnTop.Click = [this] { mnuAlwaysOnTop_Click(); };
    mnuBufferWrapNotices.Click = [this] { mnuBufferWrapNotices_Click(); };
    mnuPollingRate.Click = [this] { mnuPollingRate_Click(); };
    mnuTile.Click = [this] { mnuTile_Click(); };
    mnuCascade.Click = [this] { mnuCascade_Click(); };
}

frmShell::~frmShell() = default;

// ---------------------------------------------------------------- design, load and unload

void frmShell::Form_Design() {
    Caption = "Vaskonel 1394 Shell Window";

    // Twips: the device line on top, the terminal below it.
    fraDeviceDetails.Caption = "Device Details";
    fraDeviceDetails.Move(60, 0, 9720, 720);
    cmbDeviceDetails.Move(120, 270, 8880, 315);
    imgConnected.Move(9180, 300, 240, 240);
    imgNotConnected.Move(9180, 300, 240, 240);
    // The pictures ship in the program folder; without them the two places stay blank.
    const std::string folder = imagelift::Ctx().App.Path;
    ignoringFailure([&] { imgConnected.Picture = folder + "/shell_connected.xpm"; });
    ignoringFailure([&] { imgNotConnected.Picture = folder + "/shell_not_connected.xpm"; });

    fraRawInterface.Caption = "Raw Command Interface";
    fraRawInterface.Move(60, 780, 9720, 5520);
    txtShell.Move(120, 270, 9480, 4620);
    txtShell.Locked = true;
    txtShell.FontName = "Courier New";
    cmdCheckForData.Caption = "Re-enable polling";
    cmdCheckForData.Move(120, 4980, 2160, 375);

    tmrPollForShellData.Interval = 100;

    enableCommands(false);
    mnuAbout.Enabled = false;
}

void frmShell::Form_Load() {
    auto& ctx = imagelift::Ctx();
    validNode_ = false;

    // The client area ends exactly at the terminal frame's right and bottom edges.
    Height = (Height() - ScaleHeight()) + fraRawInterface.Top() + fraRawInterface.Height();
    Width = (Width() - ScaleWidth()) + fraRawInterface.Left() + fraRawInterface.Width();

    LayoutManager = std::make_unique<clsLayoutManager>();
    ignoringFailure([&] {
        LayoutManager->LayoutForm(*this);
        LayoutManager->VerifyFormPosition(*this);
    });

    std::string stored = std::to_string(imagelift_shell::kDefaultPollingMs);
    ignoringFailure([&] {
        if (ctx.DbManager) stored = ctx.DbManager->GetSetting(ctx.App.Title, kModule, "ShellPollingInterval", stored);
    });
    tmrPollForShellData.Interval = imagelift_shell::PollingPeriodFromSetting(stored);
    tmrPollForShellData.Enabled = true;

    txtShell.Text = std::string();
    txtShell.TabIndex = 1;
    showPollingButton();

    Connected(false);
    alwaysOnTopHook(mnuAlwaysOnTop.Checked());
    StatusDisplay("frmShell created.", basDebug::WATCH);
}

void frmShell::Form_Unload(int32_t& /*Cancel*/) {
    ignoringFailure([&] { StatusDisplay("destroying frmShell, index #" + vb::CStr(WindowIndex), basDebug::WATCH); });
    ignoringFailure([&] { tmrPollForShellData.Enabled = false; });
    // Releasing the layout manager saves the window's layout.
    ignoringFailure([&] { LayoutManager.reset(); });
}

void frmShell::Form_Resize() {
    ignoringFailure([&] {
        if (LayoutManager) LayoutManager->ResizeForm();
    });
}

// ---------------------------------------------------------------- public members

bool frmShell::AlwaysOnTop() const { return mnuAlwaysOnTop.Checked(); }

void frmShell::AlwaysOnTop(bool onTop) {
    mnuAlwaysOnTop.Checked = onTop;
    alwaysOnTopHook(mnuAlwaysOnTop.Checked());
}

void frmShell::alwaysOnTopHook(bool /*onTop*/) {}

bool frmShell::Connected() const { return imgConnected.Visible(); }

void frmShell::Connected(bool connected) {
    imgConnected.Visible = connected;
    imgNotConnected.Visible = !connected;
}

void frmShell::StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level) {
    basDebug::DebugLog(Message, Level.IsMissing() ? basDebug::LevelArg(basDebug::TRACE) : Level, std::string(kModule));
}

void frmShell::CurrentHandle(int32_t hDevice) {
    if (hDevice != currentHandle_) {
        // At most one window shows a handle: the others that show this one close.
        const auto windows = basApp::ShellWindows;
        for (const auto& window : windows) {
            if (window && window.get() != this && window->currentHandle_ == hDevice && window->IsLoaded())
                window->Unload();
        }
        txtShell.Text = std::string();
    }
    currentHandle_ = hDevice;
    RefreshDeviceList();
}

// ---------------------------------------------------------------- device list

void frmShell::enableCommands(bool enable) {
    cmdCheckForData.Enabled = enable;
    for (forms::Menu* item : {&mnuSwitchTo1394shell, &mnuReset, &mnuHalt, &mnuStartDebugger, &mnuStartApplication,
                              &mnuGetDebugGUID, &mnuInitializePersistentParameters, &mnuFirmwareCRCs})
        item->Enabled = enable;
}

void frmShell::RefreshDeviceList() {
    enableCommands(false);

    // Copies: the list can be rebuilt while the window's own controls raise events.
    const std::vector<basBootloader::BootloaderTarget> targets = basBootloader::State.TargetList;
    cmbDeviceDetails.Clear();
    for (const auto& target : targets) cmbDeviceDetails.AddItem(deviceLine(target));

    Connected(false);
    const int32_t handle = currentHandle_;
    if (handle == 0) {
        const std::string notice = "INVALID DEVICE HANDLE: 0x" + vb::Hex(handle);
        txtShell.Text = "  " + notice;
        cmbDeviceDetails.ListIndex = -1;
        cmbDeviceDetails.Text = notice;
        return;
    }

    const int32_t index = basBootloader::GetTargetIndex(handle);
    if (index < 0 || size_t(index) >= targets.size()) {
        cmbDeviceDetails.ListIndex = -1;
        cmbDeviceDetails.Text = "INVALID DEVICE INDEX: " + vb::CStr(index);
    } else if (targets[size_t(index)].Device.NodeNumber > kHighestNode) {
        cmbDeviceDetails.ListIndex = -1;
        const std::string notice =
            "Node has disappeared from the bus!  No current nodes match handle 0x" + vb::Hex(targets[size_t(index)].Handle);
        if (cmbDeviceDetails.Text() != notice) cmbDeviceDetails.Text = notice;
    } else {
        const auto& target = targets[size_t(index)];
        txtShell.Text = std::string();
        enableCommands(true);
        for (const ByteArray& piece : imagelift_shell::ShellRingHistory(target.ShellBuffer, target.ShellWritePos))
            ShellOutput(piece);
        if (target.State == kStateConnected) Connected(true);
        cmbDeviceDetails.ListIndex = index;
        const std::string line = cmbDeviceDetails.List(index);
        if (cmbDeviceDetails.Text() != line) cmbDeviceDetails.Text = line;
    }
    Refresh();
}

void frmShell::cmbDeviceDetails_Click() {
    StatusDisplay("cmbDeviceDetails_Click", basDebug::TRACE);
    try {
        const std::string text = cmbDeviceDetails.Text();
        const int32_t at = vb::InStrText(text, "handle=");
        if (at == 0) return;
        std::string rest = vb::Mid(text, at + 7);
        const int32_t blank = vb::InStr(rest, " ");
        if (blank > 0) rest = vb::Left(rest, blank);
        const double picked = vb::Val(rest);
        if (picked != double(currentHandle_)) {
            CurrentHandle(vb::CLng(picked));
            txtShell.SetFocus();
        }
    } catch (...) {
        StatusDisplay(errorLine("cmbDeviceDetails_Click"), basDebug::WARNING);
    }
}

void frmShell::cmbDeviceDetails_Change() { StatusDisplay("cmbDeviceDetails_Change", basDebug::WATCH); }

void frmShell::cmbDeviceDetails_KeyUp(int32_t& /*KeyCode*/, int32_t /*Shift*/) {
    StatusDisplay("cmbDeviceDetails_Keypress", basDebug::WATCH);
    RefreshDeviceList();
}

// ---------------------------------------------------------------- polling and output

void frmShell::invalidTick(const std::string& notice) {
    txtShell.Text = notice;
    if (validNode_) RefreshDeviceList();
    validNode_ = false;
}

void frmShell::tmrPollForShellData_Timer() {
    try {
        Connected(false);
        if (currentHandle_ == 0) {
            invalidTick("  <NO ACTIVE DEVICE HANDLE>");
            return;
        }
        const int16_t node = basBootloader::GetBootloaderDevice(currentHandle_).NodeNumber;
        if (node < 0 || node > kHighestNode) {
            invalidTick("  <INVALID NODE NUMBER FOR HANDLE " + vb::CStr(currentHandle_) + ">");
            return;
        }
        if (!validNode_) RefreshDeviceList();
        validNode_ = true;

        for (int32_t read = 0; read < kReadsPerTick; ++read) {
            ByteArray bytes{0};
            // The read takes the target list's mutex itself. While a download block of this
            // target awaits its answer it exchanges nothing and brings no characters.
            const int32_t result =
                basBootloader::ReadShellCharacters(currentHandle_, bytes, mnuBufferWrapNotices.Checked());
            if (result != 1) {
                StatusDisplay("Failed receiving data from the UART, code " + vb::CStr(result), basDebug::WARNING);
                break;
            }
            Connected(true);
            if (bytes.empty()) break;
            if (bytes.size() > 1 || bytes[0] != 0) {
                StatusDisplay("tmrPollForShellData_Timer: Received " + vb::CStr(int32_t(bytes.size())) +
                                  " bytes from the UART.",
                              basDebug::TRACE);
                ShellOutput(bytes);
                // Looked up again: showing the bytes may have let the target list change.
                const int32_t index = basBootloader::GetTargetIndex(currentHandle_);
                if (index >= 0 && size_t(index) < basBootloader::State.TargetList.size()) {
                    auto& target = basBootloader::State.TargetList[size_t(index)];
                    imagelift_shell::AppendToShellRing(target.ShellBuffer, target.ShellWritePos, bytes);
                }
            }
            if (bytes[0] == 0) break;
        }
    } catch (...) {
        StatusDisplay(errorLine("tmrPollForShellData"), basDebug::WARNING);
    }
}

void frmShell::ShellOutput(const ByteArray& bytes) {
    try {
        const imagelift_shell::ShellOutputEdit edit = imagelift_shell::ComposeShellOutput(bytes);
        if (edit.Text.empty() && edit.BackReach == 0) return;
        // Replaces the end of the box: the text grows by appending, and backspaces beyond the
        // read's own text take back what the box already shows.
        const int32_t length = int32_t(txtShell.Text().size());
        const int32_t start = imagelift_shell::ShellOutputStart(length, edit);
        txtShell.SelStart = start;
        txtShell.SelLength = length - start;
        txtShell.SelText = edit.Text;
    } catch (...) {
        StatusDisplay(errorLine("ShellOutput"), basDebug::WARNING);
    }
}

void frmShell::cmdCheckForData_Click() {
    tmrPollForShellData.Enabled = true;
    showPollingButton();
}

void frmShell::showPollingButton() { cmdCheckForData.Visible = !tmrPollForShellData.Enabled(); }

// ---------------------------------------------------------------- keys

void frmShell::txtShell_KeyDown(int32_t& KeyCode, int32_t /*Shift*/) {
    for (uint8_t c : imagelift_shell::ArrowKeySequence(KeyCode)) {
        int32_t ascii = c;
        txtShell_KeyPress(ascii);
    }
}

void frmShell::txtShell_KeyPress(int32_t& KeyAscii) {
    const ByteArray data = imagelift_shell::TypedCharacterData(
        KeyAscii, KeyAscii == imagelift_shell::kPasteKey ? forms::Clipboard::GetText() : std::string());
    // The box shows only what the target sends back: the key itself never reaches it.
    KeyAscii = 0;
    if (data.empty()) return;
    const int32_t result = basBootloader::WriteShellCharacters(currentHandle_, data);
    if (result != 1)
        StatusDisplay("txtShell_KeyPress failed: WriteShellCharacters failed, code " + vb::CStr(result), basDebug::TRACE);
}

void frmShell::Form_KeyPress(int32_t& KeyAscii) { txtShell_KeyPress(KeyAscii); }

// ---------------------------------------------------------------- menus

void frmShell::mnuClose_Click() { Unload(); }

void frmShell::mnuSwitchTo1394shell_Click() {
    ignoringFailure([&] {
        const int32_t result = basBootloader::SwitchTo1394Shell(currentHandle_, 0, 0);
        if (result != 1)
            StatusDisplay("mnuSwitchTo1394Shell failure: SwitchTo1394Shell call failed, code " + vb::CStr(result),
                          basDebug::ERROR_LEVEL);
    });
}

void frmShell::mnuReset_Click() {
    const int32_t result = basBootloader::ResetDevice(currentHandle_, basBootloader::kResetIntoApplication);
    if (result != 1) StatusDisplay("cmdReset failed: ResetDevice returned code " + vb::CStr(result), basDebug::USER);
}

void frmShell::mnuHalt_Click() {
    const int32_t result = basBootloader::Haltbootloader(currentHandle_);
    if (result != 1) StatusDisplay("cmdHalt failed: Haltbootloader returned code " + vb::CStr(result), basDebug::TRACE);
}

void frmShell::startImage(int32_t imageType) {
    int32_t crcFlag = 0;
    const int32_t result = basBootloader::StartImage(currentHandle_, imageType, crcFlag);
    if (result == 1) {
        StatusDisplay("Program started successfully, CRCflag = " + vb::CStr(crcFlag), basDebug::USER);
    } else {
        StatusDisplay("Failed to start program image, code " + vb::CStr(result) + ", CRCflag = " + vb::CStr(crcFlag),
                      basDebug::TRACE);
    }
}

void frmShell::mnuStartDebugger_Click() { startImage(basBootloader::kImageDebugger); }

void frmShell::mnuStartApplication_Click() { startImage(basBootloader::kImageApplication); }

void frmShell::mnuGetDebugGUID_Click() {
    ByteArray guid(8, 0);
    const int32_t result = basBootloader::GetDebugGUID(currentHandle_, guid);
    if (result == 1) {
        StatusDisplay("Bootloader debug GUID = " + basUtils::ByteArrayToHexString(guid), basDebug::USER);
    } else {
        StatusDisplay("GetDebugGUID failed, code " + vb::CStr(result), basDebug::WARNING);
    }
}

void frmShell::mnuInitializePersistentParameters_Click() {
    const int32_t answer = forms::MsgBox(
        "Are you sure you want to overwrite the Config ROM GUID, the MAC, and a bunch of other stuff?", forms::vbYesNo,
        "Initialize Persistent Parameters");
    if (answer != forms::vbYes) return;
    const int32_t result = basBootloader::InitializePersistentParams(currentHandle_);
    if (result != 1)
        StatusDisplay("mnuInitializePersistentParameters failure: InitializePersistentParams call failed, code " +
                          vb::CStr(result),
                      basDebug::TRACE);
}

void frmShell::mnuFirmwareCRCs_Click() {
    imagelift_firmware::ShowFirmwareCrcs(currentHandle_, cmbDeviceDetails.Text());
}

void frmShell::mnuAlwaysOnTop_Click() { AlwaysOnTop(!mnuAlwaysOnTop.Checked()); }

void frmShell::mnuBufferWrapNotices_Click() { mnuBufferWrapNotices.Checked = !mnuBufferWrapNotices.Checked(); }

void frmShell::mnuPollingRate_Click() {
    const std::string answer = forms::InputBox("Enter the new polling period (in ms):", "Polling Rate Input",
                                               vb::CStr(tmrPollForShellData.Interval()));
    const std::optional<int32_t> period = imagelift_shell::PollingPeriodFromAnswer(answer);
    if (!period) {
        if (!answer.empty())
            StatusDisplay("The polling period stays " + vb::CStr(tmrPollForShellData.Interval()) +
                              " ms: enter a whole number of milliseconds from 1 to 65535.",
                          basDebug::WARNING);
        return;
    }
    tmrPollForShellData.Interval = *period;
    auto& ctx = imagelift::Ctx();
    if (ctx.DbManager) ctx.DbManager->SaveSetting(ctx.App.Title, kModule, "ShellPollingInterval", vb::CStr(*period));
}

void frmShell::mnuTile_Click() {
    if (forms::MDIForm* frame = forms::MDIForm::Current()) frame->Arrange(1);
}

void frmShell::mnuCascade_Click() {
    if (forms::MDIForm* frame = forms::MDIForm::Current()) frame->Arrange(0);
}
