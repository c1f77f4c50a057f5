// The main window's device commands: the buttons and menu items that act on the selected device
// of the device list, or on the bus. Every device command ends in one bootloader command.
//
// A command reaches its target in one of two ways:
//   - by row: the node record of the selected device's driver key and node number, as the
//     node table now holds it, and the bootloader target on that node (a handle below 1 when
//     there is none);
//   - by selection: GetSelectedBootloaderHandle, which gives a handle only while the selected
//     target's bootloader runs (and logs its own warning otherwise).
// The selected device is read from the device list before any question is asked: a bus reset
// may refill the list while a message or input box waits, and the command goes on with what it
// read.
#include <memory>
#include <optional>
#include <string>

#include "app/bas_app.h"
#include "windows/config_rom_viewer.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "windows/open_windows.h"
#include "automation/automation.h"
#include "firmware/select_firmware.h"
#include "shell/shell_window.h"
#include "bootloader/commands.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/dialogs.h"
#include "support/byte_utils.h"
#include "support/db_manager.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

constexpr const char* kModule = "frmMain";

// The target state the bootloader layer gives a target that is on the bus and answers.
constexpr int32_t kTargetConnected = 2;

// Node numbers a device on the bus can have (63 is the broadcast address).
bool onBus(int32_t nodeNumber) { return nodeNumber >= 0 && nodeNumber <= 62; }

std::string hex(int32_t value) { return vb::Hex(value); }

// The selected device as a command reads it from the device list: the texts its messages quote
// and the node it acts on.
struct SelectedRow {
    imagelift::DeviceTexts texts;
    const frmMain& window;

    std::string InvalidNodeMessage() const { return texts.InvalidNodeMessage(); }
    // The node's record as the node table now holds it (the empty record, node number 128,
    // once the node has gone); with no device row selected, error 13.
    bas1394::NodeRecord Record() const { return window.SelectedNode(); }
};

SelectedRow readRow(const frmMain& window) { return SelectedRow{window.Devices.SelectedTexts(), window}; }

// Identity answers: the user types hex bytes ("00 11 22 ..."); anything but exactly `count`
// bytes is refused before the user is asked to confirm, so a typo never reaches the device.
std::optional<basUtils::ByteArray> identityBytes(const std::string& answer, size_t count) {
    basUtils::ByteArray bytes;
    try {
        if (basUtils::HexString2Ascii(answer, bytes) != 1) return std::nullopt;
    } catch (const vb::Error&) {
        return std::nullopt;  // an odd number of hex digits
    }
    if (bytes.size() != count) return std::nullopt;
    return bytes;
}

}  // namespace

// ---------------------------------------------------------------- wiring

void frmMain::connectDeviceCommands() {
    cmdUpdateApplicationImage.Click = [this] { cmdUpdateApplicationImage_Click(); };
    cmdUpdateBootloader.Click = [this] { cmdUpdateBootloader_Click(); };
    cmdUpdateDebugMonitor.Click = [this] { cmdUpdateDebugMonitor_Click(); };
    mnuUpdateApplicationFirmware.Click = [this] { mnuUpdateApplicationFirmware_Click(); };
    mnuUpdateBootloaderFirmware.Click = [this] { mnuUpdateBootloaderFirmware_Click(); };
    mnuUpdateDebuggerFirmware.Click = [this] { mnuUpdateDebuggerFirmware_Click(); };
    mnuReset.Click = [this] { mnuReset_Click(); };
    mnuResetToBootloader.Click = [this] { mnuResetToBootloader_Click(); };
    mnuRescanBus.Click = [this] { mnuRescanBus_Click(); };
    mnuResetBus.Click = [this] { mnuResetBus_Click(); };
    mnuStartApplication.Click = [this] { mnuStartApplication_Click(); };
    mnuStartDebugger.Click = [this] { mnuStartDebugger_Click(); };
    mnuSwitchTo1394Shell.Click = [this] { mnuSwitchTo1394Shell_Click(); };
    mnuSetBootloaderGUID.Click = [this] { mnuSetBootloaderGUID_Click(); };
    mnuSetMACaddress.Click = [this] { mnuSetMACaddress_Click(); };
    mnuInitializePersistentParameters.Click = [this] { mnuInitializePersistentParameters_Click(); };
    mnuFactoryDefaults.Click = [this] { mnuFactoryDefaults_Click(); };
    mnuLaunchShell.Click = [this] { mnuLaunchShell_Click(); };
    mnuLaunchShellApp.Click = [this] { mnuLaunchShellApp_Click(); };
    mnuViewConfigROM.Click = [this] { mnuViewConfigROM_Click(); };
    mnuExecuteKeyBatch.Click = [this] { mnuExecuteKeyBatch_Click(); };
    mnuSendErrorReport.Click = [this] { mnuSendErrorReport_Click(); };
    mnuRemove1394VirtualDriverOnShutdown.Click = [this] { mnuRemove1394VirtualDriverOnShutdown_Click(); };
    mnuShowDllMessages.Click = [this] { mnuShowDllMessages_Click(); };
    mnuUseVskMarquentDriver.Click = [this] { mnuUseVskMarquentDriver_Click(); };
}

// ---------------------------------------------------------------- firmware updates

void frmMain::cmdUpdateApplicationImage_Click() { UpdateImage(basBootloader::kImageApplication); }
void frmMain::mnuUpdateApplicationFirmware_Click() { UpdateImage(basBootloader::kImageApplication); }
void frmMain::cmdUpdateBootloader_Click() { UpdateImage(basBootloader::kImageBootloader); }
void frmMain::mnuUpdateBootloaderFirmware_Click() { UpdateImage(basBootloader::kImageBootloader); }
void frmMain::cmdUpdateDebugMonitor_Click() { UpdateImage(basBootloader::kImageDebugger); }
void frmMain::mnuUpdateDebuggerFirmware_Click() { UpdateImage(basBootloader::kImageDebugger); }

int32_t frmMain::UpdateImage(int32_t imageType) {
    try {
        StatusDisplay("Updating firmare image (type = " + vb::CStr(imageType) + ")", "TRACE");
        const SelectedRow row = readRow(*this);
        const bas1394::NodeRecord record = row.Record();
        if (!onBus(record.NodeNumber)) {
            StatusDisplay("UpdateImage failed: Invalid node number in Device table: " + row.texts.Node, "ERROR");
            return -1;
        }
        int32_t handle = basBootloader::OpenBootloaderDevice(record);
        if (handle < 1) {
            StatusDisplay("Update Image error: failed to open device (node number " + vb::CStr(record.NodeNumber) +
                              " )",
                          "ERROR");
            return -1;
        }
        MDIForm1* frame = basApp::Frame();
        if (!frame) {
            StatusDisplay("UpdateImage: no download window is available.", "ERROR", std::string(kModule));
            basBootloader::CloseBootloaderDevice(handle);
            return -1;
        }
        // The frame gives -1 when it could not make a window: no slot to use.
        const int32_t slot = frame->CreateDownloadWindow("frmSelectFirmware");
        auto& windows = basApp::DownloadWindows;
        if (slot < 0 || size_t(slot) >= windows.size() || !windows[size_t(slot)]) {
            basBootloader::CloseBootloaderDevice(handle);
            return -1;
        }
        const std::shared_ptr<frmSelectFirmware> window = windows[size_t(slot)];
        window->FirmwareType(imageType);
        window->hDevice(handle);
        // Successive windows are staggered.
        window->Top = double(slot) * 20;
        window->Show();
        return 1;
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in UpdateImage"), "ERROR",
                      std::string(kModule));
        return -1;
    }
}

// ---------------------------------------------------------------- resets and starts

void frmMain::mnuReset_Click() {
    StatusDisplay("Reset to application mode commanded.", "TRACE", std::string(kModule));
    ResetSelectedDevice(basBootloader::kResetIntoApplication);
}

void frmMain::mnuResetToBootloader_Click() { ResetSelectedDevice(basBootloader::kResetStayInBootloader); }

void frmMain::ResetSelectedDevice(uint8_t resetMode) {
    try {
        const SelectedRow row = readRow(*this);
        const int32_t handle = basBootloader::OpenBootloaderDevice(row.Record());
        if (handle < 1) {
            // Nobody answers a message box in an unattended run: the line goes to its status file.
            if (imagelift::Ctx().AutomationMode)
                imagelift::WriteStatusFileLine(row.InvalidNodeMessage());
            else
                forms::MsgBox(row.InvalidNodeMessage(), forms::vbOKOnly, "");
            return;
        }
        const int32_t index = basBootloader::GetTargetIndex(handle);
        if (index < 0) {
            StatusDisplay("Reset error: could not get device index for handle " + vb::CStr(handle) + "!", "ERROR");
            return;
        }
        const basBootloader::BootloaderTarget& target = basBootloader::State.TargetList.at(size_t(index));
        if (target.State != kTargetConnected) return;
        // Read before the command: the device's reset starts a bus reset that rebuilds the list.
        const bool bootloaderRuns = target.Info.BootloaderVersion != 0;
        const int32_t result = basBootloader::ResetDevice(handle, resetMode);
        if (result == 1) return;
        if (bootloaderRuns)
            StatusDisplay("ResetDevice failure: basBootloader.ResetDevice call failed, code " + vb::CStr(result),
                          "ERROR");
        else
            StatusDisplay("cmdReset failure: ResetDevice call failed, code " + vb::CStr(result), "ERROR");
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in ResetSelectedDevice"), "ERROR",
                      std::string(kModule));
    }
}

void frmMain::mnuRescanBus_Click() {
    StatusDisplay("Rescan Bus Commanded", "WATCH", std::string(kModule));
    // The next tick of the bus-reset timer rebuilds the device list.
    bas1394::State.BusResetPending = true;
}

void frmMain::mnuResetBus_Click() {
    try {
        bas1394::ResetBus();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuResetBus"), "ERROR",
                      std::string(kModule));
    }
}

void frmMain::mnuStartApplication_Click() { startImage(basBootloader::kImageApplication); }
void frmMain::mnuStartDebugger_Click() { startImage(basBootloader::kImageDebugger); }

void frmMain::startImage(int32_t imageType) {
    try {
        const SelectedRow row = readRow(*this);
        const int32_t handle = GetSelectedBootloaderHandle();
        if (handle < 1) {
            StatusDisplay(row.InvalidNodeMessage(), "ERROR", std::string(kModule));
            return;
        }
        int32_t crcFlag = 0;
        const int32_t result = basBootloader::StartImage(handle, imageType, crcFlag);
        if (result == 1) return;
        if (imageType == basBootloader::kImageApplication)
            StatusDisplay(std::string("mnuStartApplication failure: ") + "StartApplication call failed, code " +
                              vb::CStr(result) + " (0x" + hex(result) + "), " + "CRC flag=" + vb::CStr(crcFlag) +
                              " (0x" + hex(crcFlag) + ").  Don't worry, this is probably because the bootloader "
                              "is no longer running in order to respond.",
                          "WARNING", std::string(kModule));
        else
            StatusDisplay(std::string("mnuStartDebugger failure: ") + "StartApplication call failed, code " +
                              vb::CStr(result) + ", " + "CRC flag=" + vb::CStr(crcFlag),
                          "ERROR", std::string(kModule));
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in StartImage"), "ERROR",
                      std::string(kModule));
    }
}

void frmMain::mnuSwitchTo1394Shell_Click() {
    try {
        const SelectedRow row = readRow(*this);
        const int32_t handle = basBootloader::OpenBootloaderDevice(row.Record());
        if (handle < 1) {
            StatusDisplay(row.InvalidNodeMessage(), "ERROR", std::string(kModule));
            return;
        }
        const int32_t result = basBootloader::SwitchTo1394Shell(handle, 0, 0);
        if (result != 1)
            StatusDisplay(std::string("mnuSwitchTo1394Shell failure: ") + "SwitchTo1394Shell call failed, code " +
                              vb::CStr(result),
                          "ERROR", std::string(kModule));
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuSwitchTo1394Shell"), "ERROR",
                      std::string(kModule));
    }
}

// ---------------------------------------------------------------- persistent state

void frmMain::mnuInitializePersistentParameters_Click() {
    try {
        const SelectedRow row = readRow(*this);
        const int32_t handle = GetSelectedBootloaderHandle();
        if (handle < 1) {
            StatusDisplay(row.InvalidNodeMessage(), "ERROR", std::string(kModule));
            return;
        }
        const int32_t result = basBootloader::InitializePersistentParams(handle);
        if (result != 1)
            StatusDisplay(std::string("mnuInitializePersistentParameters failure: ") +
                              "InitializePersistentParams call failed, code " + vb::CStr(result),
                          "ERROR", std::string(kModule));
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuInitializePersistentParameters"),
                      "ERROR", std::string(kModule));
    }
}

void frmMain::mnuFactoryDefaults_Click() {
    try {
        const int32_t handle = GetSelectedBootloaderHandle();
        if (handle < 1) {
            StatusDisplay("Failed to get a handle for the selected bootloader target.", "ERROR", std::string(kModule));
            return;
        }
        if (basBootloader::InitializeConfigToFactoryDefaults(handle) == 1)
            StatusDisplay("Initialized bootloader config to factory defaults.", "TRACE", std::string(kModule));
        else
            StatusDisplay("Failed to initialize bootloader config to factory defaults.", "ERROR", std::string(kModule));
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuFactoryDefaults"), "ERROR",
                      std::string(kModule));
    }
}

// ---------------------------------------------------------------- identity

void frmMain::mnuSetBootloaderGUID_Click() {
    try {
        const int32_t handle = GetSelectedBootloaderHandle();
        if (handle >= 1) {
            basUtils::ByteArray current;
            if (basBootloader::GetDebugGUID(handle, current) != 1) {
                StatusDisplay("SetBootloaderGUID: failed to get current GUID!  Exiting without changing GUID...",
                              "ERROR", std::string(kModule));
                return;
            }
            const std::string answer = forms::InputBox(
                "Please enter a new 8-byte value for the GUID in the hex format '00 00 00 00 00 00 00 00' "
                "(without quotes).  ",
                "Input New GUID", basUtils::ByteArrayToHexString(current));
            if (answer.empty()) return;
            // Exactly eight bytes or nothing: a shorter or longer answer would program a
            // different identity than the one confirmed.
            std::optional<basUtils::ByteArray> guid = identityBytes(answer, 8);
            if (!guid) {
                forms::MsgBox("'" + answer + "' is not a GUID: please enter exactly 8 bytes as 16 hex digits, "
                              "for example '00 11 22 33 44 55 66 77'.  The GUID was not changed.",
                              forms::vbOKOnly, "Input New GUID");
                return;
            }
            const std::string text = basUtils::ByteArrayToHexString(*guid);
            const std::string node = vb::CStr(int32_t(basBootloader::GetBootloaderDevice(handle).NodeNumber));
            const int32_t confirm =
                forms::MsgBox("Are you sure you want to set the GUID of node " + node + " to " + text + "?",
                              forms::vbYesNo, "Confirm New GUID for Node " + node);
            // The device takes the GUID one quadlet at a time, least significant byte first.
            basUtils::ChangeEndian(*guid);
            if (confirm == forms::vbYes) {
                const int32_t result = basBootloader::ProgramGUID(handle, *guid);
                if (result == 1)
                    StatusDisplay("Successfully set new GUID", "USER");
                else
                    StatusDisplay("ERROR: failed to set new GUID, code " + vb::CStr(result) + " (0x" + hex(result) +
                                      ")",
                                  "ERROR", std::string(kModule));
            }
        }
        // The device list shows the identity as it now is (also after No: the list is rebuilt
        // either way).
        StatusDisplay("Rescanning bus to refresh internal data structures after operation...", "USER",
                      std::string(kModule));
        bas1394::State.BusResetPending = true;
    } catch (...) {
        StatusDisplay(
            vb::ErrorLine("Error #", vb::CurrentException(), " in SetBootloaderGUID.  Exiting abnormally..."),
            "ERROR", std::string(kModule));
    }
}

void frmMain::mnuSetMACaddress_Click() {
    try {
        const int32_t handle = GetSelectedBootloaderHandle();
        if (handle < 1) return;
        const std::string answer = forms::InputBox(
            std::string("Please enter a new 6-byte value for a MAC address in the hex format '00 00 00 00 00 00' "
                        "(without quotes).  ") +
                "The current MAC is not available. " + "(no provision for this in the bootloader protocol)",
            "Input New MAC", "00 00 00 00 00 00");
        if (answer.empty()) return;
        std::optional<basUtils::ByteArray> mac = identityBytes(answer, 6);
        if (!mac) {
            forms::MsgBox("'" + answer + "' is not a MAC address: please enter exactly 6 bytes as 12 hex digits, "
                          "for example '00 0A 3C 00 00 01'.  The MAC address was not changed.",
                          forms::vbOKOnly, "Input New MAC");
            return;
        }
        const std::string text = basUtils::ByteArrayToHexString(*mac);
        const std::string node = vb::CStr(int32_t(basBootloader::GetBootloaderDevice(handle).NodeNumber));
        const int32_t confirm =
            forms::MsgBox("Are you sure you want to set the MAC address of node " + node + " to " + text + "?",
                          forms::vbYesNo, "Confirm New MAC for Node " + node);
        if (confirm != forms::vbYes) return;
        // Two zero bytes fill the second quadlet; each quadlet goes least significant byte first.
        mac->push_back(0);
        mac->push_back(0);
        basUtils::ChangeEndian(*mac);
        basBootloader::ProgramMAC(handle, *mac);
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in SetMACaddress.  Exiting abnormally..."),
                      "ERROR", std::string(kModule));
    }
}

// ---------------------------------------------------------------- windows

void frmMain::mnuLaunchShell_Click() {
    try {
        const SelectedRow row = readRow(*this);
        const bas1394::NodeRecord record = row.Record();
        if (!onBus(record.NodeNumber)) {
            forms::MsgBox(row.InvalidNodeMessage(), forms::vbOKOnly, "");
            return;
        }
        const int32_t handle = basBootloader::OpenBootloaderDevice(record);
        // A node without a bootloader target has no shell to talk to.
        if (handle < 1) {
            forms::MsgBox(row.InvalidNodeMessage(), forms::vbOKOnly, "");
            return;
        }
        // A device has one shell window: an existing one (open or closed) is shown again.
        auto& windows = basApp::ShellWindows;
        for (const auto& window : windows) {
            if (window && window->CurrentHandle() == handle) {
                window->Show();
                window->ZOrder(0);
                return;
            }
        }
        const int32_t slot = basApp::TakeSlot(windows);
        auto window = std::make_shared<frmShell>();
        window->Load();
        windows[size_t(slot)] = window;
        window->WindowIndex = slot;
        window->CurrentHandle(basBootloader::OpenBootloaderDevice(record));
        window->Top = double(slot) * 20;
        window->Show();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in cmdLaunchShell"));
    }
}

void frmMain::mnuLaunchShellApp_Click() { forms::MsgBox("Not implemented yet.", forms::vbOKOnly, ""); }

void frmMain::mnuViewConfigROM_Click() {
    try {
        const imagelift::DeviceRow* device = Devices.Selected();
        if (!device) return;
        const imagelift::DeviceTexts row = Devices.SelectedTexts();
        const int32_t nodeNumber = device->Node.NodeNumber;
        if (nodeNumber < 0 || nodeNumber > 255) return;
        auto viewer = std::make_shared<frmConfigROM>();
        viewer->Load();
        basApp::KeepOpenWindow(viewer);
        viewer->NodeNum(nodeNumber);
        viewer->Caption = std::string("Config ROM ") + "for Node " + vb::CStr(nodeNumber) + "  " + "ID=" + row.Id +
                          "  " + "mfg=" + row.Maker + "  " + "mdl=" + row.Model;
        viewer->Show();
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuViewConfigROM"), "ERROR",
                      std::string(kModule));
    }
}

// ---------------------------------------------------------------- key batch, error report, options

void frmMain::mnuExecuteKeyBatch_Click() {
    try {
        basAutomation::State.ShowStatusOnExit = true;
        std::string commandLine = vb::UCase(vb::Trim("/R batch-operations\\keybatch.html"));
        if (basApp::ParseCommandLine(commandLine) != 1) {
            StatusDisplay("mnuExecuteKeybatch_Click: Error processing command line!", "ERROR");
            return;
        }
        auto& ctx = imagelift::Ctx();
        if (basAutomation::HasOperationOption(basApp::CommandLineTokens)) {
            // Disables this window and starts the scheduler, whose tick runs the batch.
            const int32_t result = basAutomation::Initialize();
            // A batch that cannot start ends the program, as an unattended run does at start-up.
            if (ctx.AutomationMode && result != 1) basApp::internal::EndProcess(1);
        } else {
            ctx.AutomationMode = false;
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuExecuteKeyBatch"), "ERROR",
                      std::string(kModule));
    }
}

void frmMain::mnuSendErrorReport_Click() {
    try {
        auto& ctx = imagelift::Ctx();
        const int32_t result = ctx.DbManager ? ctx.DbManager->SendErrorReport(MAPISession1, MAPIMessages1) : -1;
        if (result != 1) StatusDisplay("Failed to send error report, code 0x" + hex(result), "ERROR");
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in mnuSendErrorReport"), "ERROR",
                      std::string(kModule));
    }
}

// Read when the window unloads.
void frmMain::mnuRemove1394VirtualDriverOnShutdown_Click() {
    mnuRemove1394VirtualDriverOnShutdown.Checked = !mnuRemove1394VirtualDriverOnShutdown.Checked();
}

// Read for every text line of the access library.
void frmMain::mnuShowDllMessages_Click() { mnuShowDllMessages.Checked = !mnuShowDllMessages.Checked(); }

// Only shows the choice: there is one driver on this platform.
void frmMain::mnuUseVskMarquentDriver_Click() { mnuUseVskMarquentDriver.Checked = !mnuUseVskMarquentDriver.Checked(); }
