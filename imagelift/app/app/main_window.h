// frmMain: the downloader's main window, "Available Devices", an MDI child of the frame that
// stays open for the whole run.
//
// It holds the device grid (one row per node of the local bus, refilled after every bus reset)
// and the detail pane of the selected row, the menu bar the frame shows while it is active, the
// notice text box the 1394 access library writes its debug text into and posts its notices to,
// and the three timers that drive all work that is not a user action: the bus-reset pump and
// the incoming-data pump (20 ms each, on from load) and the unattended-run scheduler (1000 ms,
// switched on by the automation layer). Closing it closes the frame and so the program.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "forms/controls.h"
#include "forms/form.h"
#include "forms/grid.h"
#include "forms/mail.h"
#include "forms/menu.h"
#include "app/device_list.h"
#include "bus1394/host_resources.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "windows/kit.h"

class clsLayoutManager;

namespace bas1394 {
struct NodeRecord;
}
namespace basBootloader {
struct BootloaderTarget;
}

class frmMain : public forms::Form,
                public imagelift::IMainChildForm,
                public bas1394::IBusPumpTimers,
                public basApp::IMainWindow {
public:
    frmMain();
    ~frmMain() override;

    // ------------------------------------------------------------ menus
    forms::Menu mnuFile{this, "mnuFile", "&File"};
    forms::Menu mnuExit{&mnuFile, "mnuExit", "E&xit"};

    forms::Menu mnuView{this, "mnuView", "&View"};
    forms::Menu mnuLaunchShell{&mnuView, "mnuLaunchShell", "&Shell Window"};
    forms::Menu mnuLaunchShellApp{&mnuView, "mnuLaunchShellApp", "&Launch Shell App"};
    forms::Menu mnuStatusWindow{&mnuView, "mnuStatusWindow", "S&tatus Window"};
    forms::Menu mnuViewConfigROM{&mnuView, "mnuViewConfigROM", "&Config ROM"};
    forms::Menu mnuDebugMessageLevel{&mnuView, "mnuDebugMessageLevel", "Debug &Message Level"};

    forms::Menu mnuCommand{this, "mnuCommand", "&Command"};
    forms::Menu mnuReset{&mnuCommand, "mnuReset", "&Reset Selected Device Hardware"};
    forms::Menu mnuResetToBootloader{&mnuCommand, "mnuResetToBootloader",
                                     "Run Selected Device in &Firmware Download Mode"};
    forms::Menu mnuResetBus{&mnuCommand, "mnuResetBus", "Reset &Bus"};
    forms::Menu mnuRescanBus{&mnuCommand, "mnuRescanBus", "Res&can Bus"};
    forms::Menu mnuStartApplication{&mnuCommand, "mnuStartApplication", "Start &Application"};
    forms::Menu mnuStartDebugger{&mnuCommand, "mnuStartDebugger", "Start &Debugger"};

    forms::Menu mnuBootloader{this, "mnuBootloader", "&Bootloader Expert Menu"};
    forms::Menu mnuSetBootloaderGUID{&mnuBootloader, "mnuSetBootloaderGUID", "&Set Bootloader GUID"};
    forms::Menu mnuSetMACaddress{&mnuBootloader, "mnuSetMACaddress", "Set &MAC address"};
    forms::Menu mnuInitializePersistentParameters{&mnuBootloader, "mnuInitializePersistentParameters",
                                                  "&Initialize Persistent Parameters"};
    forms::Menu mnuFactoryDefaults{&mnuBootloader, "mnuFactoryDefaults", "&Factory Default Settings (experimental)"};
    forms::Menu mnuBootloaderSep1{&mnuBootloader, "mnuBootloaderSep1", "-"};
    forms::Menu mnuUpdateApplicationFirmware{&mnuBootloader, "mnuUpdateApplicationFirmware",
                                             "&Update Application Firmware"};
    forms::Menu mnuBootloaderSep2{&mnuBootloader, "mnuBootloaderSep2", "-"};
    forms::Menu mnuUpdateBootloaderFirmware{&mnuBootloader, "mnuUpdateBootloaderFirmware",
                                            "U&pdate Bootloader Firmware"};
    forms::Menu mnuBootloaderSep3{&mnuBootloader, "mnuBootloaderSep3", "-"};
    forms::Menu mnuUpdateDebuggerFirmware{&mnuBootloader, "mnuUpdateDebuggerFirmware", "Up&date Debugger Firmware"};

    forms::Menu mnuApplicationExpertMenu{this, "mnuApplicationExpertMenu", "&Application Expert Menu"};
    forms::Menu mnuDebugLoggingLevel{&mnuApplicationExpertMenu, "mnuDebugLoggingLevel", "Debug &Logging Level"};
    forms::Menu mnuRemove1394VirtualDriverOnShutdown{&mnuApplicationExpertMenu, "mnuRemove1394VirtualDriverOnShutdown",
                                                     "&Remove 1394 Virtual Driver on Shutdown"};
    forms::Menu mnuDefault1394TransactionTimeout{&mnuApplicationExpertMenu, "mnuDefault1394TransactionTimeout",
                                                 "&Default 1394 Transaction Timeout"};
    forms::Menu mnuUseVskMarquentDriver{&mnuApplicationExpertMenu, "mnuUseVskMarquentDriver",
                                        "&Use Vsk-Marquent Driver"};
    forms::Menu mnuDllDebugging{&mnuApplicationExpertMenu, "mnuDllDebugging", "DLL De&bugging"};
    forms::Menu mnuShowDllMessages{&mnuDllDebugging, "mnuShowDllMessages", "&Show DLL Debug Messages"};
    forms::Menu mnu1394DLLdebugLevel{&mnuDllDebugging, "mnu1394DLLdebugLevel", "Set DLL Debug &Level"};
    forms::Menu mnuSwitchTo1394Shell{&mnuApplicationExpertMenu, "mnuSwitchTo1394Shell", "Switch to &1394 Shell"};

    forms::Menu mnuTest{this, "mnuTest", "&Test"};
    forms::Menu mnuExecuteKeyBatch{&mnuTest, "mnuExecuteKeyBatch", "&Execute keybatch.html"};

    forms::Menu mnuWindow{this, "mnuWindow", "&Window"};
    forms::Menu mnuWindowSep{&mnuWindow, "mnuWindowSep", "-"};
    forms::Menu mnuAutoScaleChildren{&mnuWindow, "mnuAutoScaleChildren", "&Auto-Scale Children"};
    forms::Menu mnuTile{&mnuWindow, "mnuTile", "&Tile"};
    forms::Menu mnuCascade{&mnuWindow, "mnuCascade", "&Cascade"};

    forms::Menu mnuHelp{this, "mnuHelp", "&Help"};
    forms::Menu mnuUserGuide{&mnuHelp, "mnuUserGuide", "&Online User Guide"};
    forms::Menu mnuSendErrorReport{&mnuHelp, "mnuSendErrorReport", "&Send Error Report"};
    forms::Menu mnuReleaseNotes{&mnuHelp, "mnuReleaseNotes", "&Release Notes"};
    forms::Menu mnuAbout{&mnuHelp, "mnuAbout", "&About"};

    // ------------------------------------------------------------ device list and detail pane
    forms::Frame fraDeviceList{this, "fraDeviceList"};
    forms::MSFlexGrid mfgDevices{&fraDeviceList, "mfgDevices"};

    forms::Frame fraSelectedDevice{this, "fraSelectedDevice"};
    forms::Label lblDriver{&fraSelectedDevice, "lblDriver"};
    forms::Label lblNode{&fraSelectedDevice, "lblNode"};
    forms::Label lblGUID{&fraSelectedDevice, "lblGUID"};
    forms::Label lblDeviceState{&fraSelectedDevice, "lblDeviceState"};
    forms::Label lblHardwareVersion{&fraSelectedDevice, "lblHardwareVersion"};
    forms::Label lblManufacturer{&fraSelectedDevice, "lblManufacturer"};
    forms::Label lblModelID{&fraSelectedDevice, "lblModelID"};
    forms::Label lblModelName{&fraSelectedDevice, "lblModelName"};
    forms::Label lblBootloaderGuidInfo{&fraSelectedDevice, "lblBootloaderGuidInfo"};
    forms::Label lblBootloaderGuidGet{&fraSelectedDevice, "lblBootloaderGuidGet"};
    forms::Label lblApplicationImage{&fraSelectedDevice, "lblApplicationImage"};
    forms::TextBox txtApplicationImageVersion{&fraSelectedDevice, "txtApplicationImageVersion"};
    forms::CommandButton cmdUpdateApplicationImage{&fraSelectedDevice, "cmdUpdateApplicationImage"};
    forms::Label lblBootloader{&fraSelectedDevice, "lblBootloader"};
    forms::TextBox txtBootloaderVersion{&fraSelectedDevice, "txtBootloaderVersion"};
    forms::CommandButton cmdUpdateBootloader{&fraSelectedDevice, "cmdUpdateBootloader"};
    forms::Label lblDebugMonitor{&fraSelectedDevice, "lblDebugMonitor"};
    forms::TextBox txtDebugMonitorVersion{&fraSelectedDevice, "txtDebugMonitorVersion"};
    forms::CommandButton cmdUpdateDebugMonitor{&fraSelectedDevice, "cmdUpdateDebugMonitor"};

    // The access library's text lines and notices arrive here (hidden; subclassed at load).
    forms::TextBox txtDebugSpew{this, "txtDebugSpew", forms::TextBox::MultiLine};

    // The mail controls the error report goes out through.
    forms::MAPISession MAPISession1{"MAPISession1"};
    forms::MAPIMessages MAPIMessages1{"MAPIMessages1"};

    // ------------------------------------------------------------ timers
    forms::Timer tmrBusReset{this, "tmrBusReset"};
    forms::Timer tmrIncomingData{this, "tmrIncomingData"};
    forms::Timer tmrAutomationScheduler{this, "tmrAutomationScheduler"};

    // ------------------------------------------------------------ window-level state
    // The device list the grid shows: its rows, the current row and the chosen device.
    imagelift::DeviceList Devices;
    // The ID column's text of the chosen device, carried over a refill of the grid.
    std::string& SelectedDeviceId = Devices.SelectedDeviceId;
    // Counters that persist across scheduler ticks.
    struct SchedulerCounters {
        bool Busy = false;
        int16_t TickCount = 0;
        int32_t ResetAttempts = 0;
        int32_t TicksWithoutAttempt = 0;  // since the run started or its last attempt
    };
    SchedulerCounters SchedulerState;

    // ------------------------------------------------------------ public members
    void ResizeMFG(forms::MSFlexGrid& grid);
    void Form_Resize() override;
    void IEEE1394Bus_NodesChanged() override;
    void IEEE1394Bus_ResetComplete() override;
    void IEEE1394IncomingDataHandler() override;
    // The bus layer switches the pumps on once a virtual device exists.
    void EnableBusResetTimer() override;
    void EnableIncomingDataTimer() override;
    // Shows a message in every open status window and stores it in the status log. `Level` is a
    // level number or a text holding a level word (missing or unknown: TRACE); `Module` missing
    // gives "unspecified".
    void StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level = {},
                       const std::optional<std::string>& Module = std::nullopt) override;
    // What the windows it opens may do with it: take its input away and give it back, start
    // the unattended run's scheduler.
    void EnableInput(bool enabled) override { Enabled = enabled; }
    void StartAutomationScheduler() override { tmrAutomationScheduler.Enabled = true; }

    // Ends an unattended run: scheduler off, the window repainted, two seconds' wait, then the
    // frame unloads (which ends the program).
    void ExitAfterAutomation();

    // The height (twips) the window's load gives it before its saved layout is restored: the
    // height at which its controls stand as designed.
    double DesignHeight() const { return designHeight_; }

    // ------------------------------------------------------------ device grid and detail pane
    int32_t RefreshDeviceList(const std::vector<bas1394::NodeRecord>& Nodes,
                              const std::vector<basBootloader::BootloaderTarget>& Targets);
    void ClearDetailPane();
    void DrawScreen();
    void mfgDevices_RowColChange();
    // The device handle of the selected row's target while its bootloader runs, else 0.
    int32_t GetSelectedBootloaderHandle();
    // The selected device's record as the node table now holds it (the empty record, node
    // number 128, once the node has gone); with no device row current, error 13.
    bas1394::NodeRecord SelectedNode() const;

    // ------------------------------------------------------------ handlers
    void txtDebugSpew_Change();
    void tmrBusReset_Timer();
    void tmrIncomingData_Timer();
    // One scheduler tick with the automation layer's operations.
    void tmrAutomationScheduler_Timer();
    // What a scheduler tick runs of an unattended run: whether the command line names an
    // operation, and one attempt of the operations (1 done, 2 again after the next device list,
    // 0 nothing performed, another value a failure).
    struct UnattendedRun {
        std::function<bool(const std::vector<std::string>& tokens)> HasOperationOption;
        std::function<int32_t(const std::vector<std::string>& tokens)> PerformUnattendedOperations;
    };
    // One tick: waits for a complete device list (three ticks more), then makes an attempt.
    void SchedulerTick(const UnattendedRun& automation);

    void mnuExit_Click();
    void mnuStatusWindow_Click();
    void mnuDebugMessageLevel_Click();
    void mnuDebugLoggingLevel_Click();
    void mnuDefault1394TransactionTimeout_Click();
    void mnu1394DLLdebugLevel_Click();
    void mnuAutoScaleChildren_Click();
    void mnuTile_Click();
    void mnuCascade_Click();
    void mnuUserGuide_Click();
    void mnuReleaseNotes_Click();
    void mnuAbout_Click();

    // ------------------------------------------------------------ device commands
    // Each acts on the device of the selected grid row (or on the bus) and ends in one
    // bootloader command; failures are logged through StatusDisplay unless said otherwise.
    void cmdUpdateApplicationImage_Click();
    void cmdUpdateBootloader_Click();
    void cmdUpdateDebugMonitor_Click();
    void mnuUpdateApplicationFirmware_Click();
    void mnuUpdateBootloaderFirmware_Click();
    void mnuUpdateDebuggerFirmware_Click();
    void mnuReset_Click();
    void mnuResetToBootloader_Click();
    void mnuRescanBus_Click();
    void mnuResetBus_Click();
    void mnuStartApplication_Click();
    void mnuStartDebugger_Click();
    void mnuSwitchTo1394Shell_Click();
    void mnuSetBootloaderGUID_Click();
    void mnuSetMACaddress_Click();
    void mnuInitializePersistentParameters_Click();
    void mnuFactoryDefaults_Click();
    void mnuLaunchShell_Click();
    void mnuLaunchShellApp_Click();
    void mnuViewConfigROM_Click();
    void mnuExecuteKeyBatch_Click();
    void mnuSendErrorReport_Click();
    void mnuRemove1394VirtualDriverOnShutdown_Click();
    void mnuShowDllMessages_Click();
    void mnuUseVskMarquentDriver_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Unload(int32_t& Cancel) override;
    void Form_KeyPress(int32_t& KeyAscii) override;

private:
    // The grid's selection event and key down: keep the selected row's ID (device commands
    // build on it).
    void mfgDevices_SelChange();
    void mfgDevices_KeyDown(int32_t& KeyCode, int32_t Shift);
    void keepSelection();
    // Makes the grid's current row the device list's current row (raising no grid events).
    void showCurrentDevice();

    // The device commands' buttons and menu items get their handlers (device_commands.cpp).
    void connectDeviceCommands();
    // Opens a download window for image type 0 (application), 2 (debugger) or 3 (bootloader)
    // bound to the selected row's target: 1 when one was opened, -1 otherwise.
    int32_t UpdateImage(int32_t imageType);
    // Resets the selected row's target: mode 0 into its application, 1 into its bootloader to
    // take a firmware download.
    void ResetSelectedDevice(uint8_t resetMode);
    // Starts image type 0 (application) or 2 (debugger) on the selected target.
    void startImage(int32_t imageType);

    std::unique_ptr<clsLayoutManager> LayoutManager;
    double designHeight_ = 0;
    bool refilling_ = false;           // RefreshDeviceList is filling the grid
    bool showingCurrentDevice_ = false;  // the grid's row follows the device list's
    // The width each grid column's widest text needs, as the last refill measured it.
    std::array<double, imagelift::kDeviceColumns> columnNeed_{};
};
