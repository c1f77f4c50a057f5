// frmShell: a terminal on the UART console of one bootloader target (the 1394 shell), an MDI
// child of the frame captioned "Vaskonel 1394 Shell Window".
//
// The window is bound to one device handle at a time, and at most one window shows a handle:
// binding a handle closes every other shell window that shows it. Its timer polls the target
// for console output (up to three reads a tick), shows what arrives in a read-only box and keeps
// it in the target's history ring, so that a window attached to the target later replays it;
// every key typed goes to the target, with no local echo. Its menus carry the device commands
// of the main window for this target.
//
// The main window's shell command creates it, loads it, gives it its slot in basApp::ShellWindows
// and then its handle. Closing it keeps the object in its slot; showing it again loads it afresh
// with the handle it had.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "bootloader/records.h"
#include "forms/controls.h"
#include "forms/form.h"
#include "forms/list_controls.h"
#include "forms/menu.h"
#include "support/debug_log.h"

class clsLayoutManager;

class frmShell : public forms::Form {
public:
    frmShell();
    ~frmShell() override;

    // ------------------------------------------------------------ menus
    forms::Menu mnuFile{this, "mnuFile", "&File"};
    forms::Menu mnuClose{&mnuFile, "mnuClose", "&Close"};

    forms::Menu mnuCommand{this, "mnuCommand", "&Command"};
    forms::Menu mnuSwitchTo1394shell{&mnuCommand, "mnuSwitchTo1394shell", "&Switch to 1394 Shell"};
    forms::Menu mnuReset{&mnuCommand, "mnuReset", "&Reset"};
    forms::Menu mnuHalt{&mnuCommand, "mnuHalt", "&Halt"};
    forms::Menu mnuStartDebugger{&mnuCommand, "mnuStartDebugger", "Start &Debugger"};
    forms::Menu mnuStartApplication{&mnuCommand, "mnuStartApplication", "Start &Application"};
    forms::Menu mnuGetDebugGUID{&mnuCommand, "mnuGetDebugGUID", "&GetDebugGUID"};
    forms::Menu mnuInitializePersistentParameters{&mnuCommand, "mnuInitializePersistentParameters",
                                                  "&Initialize Persistent Parameters"};
    forms::Menu mnuFirmwareCRCs{&mnuCommand, "mnuFirmwareCRCs", "Get Firmware &CRCs..."};

    forms::Menu mnuView{this, "mnuView", "&View"};
    forms::Menu mnuAlwaysOnTop{&mnuView, "mnuAlwaysOnTop", "Always On &Top"};
    forms::Menu mnuBufferWrapNotices{&mnuView, "mnuBufferWrapNotices", "&Buffer Wrap Notices"};

    forms::Menu mnuSettings{this, "mnuSettings", "&Settings"};
    forms::Menu mnuPollingRate{&mnuSettings, "mnuPollingRate", "&Polling Rate"};

    forms::Menu mnuWindow{this, "mnuWindow", "&Window"};
    forms::Menu mnuTile{&mnuWindow, "mnuTile", "&Tile"};
    forms::Menu mnuCascade{&mnuWindow, "mnuCascade", "&Cascade"};

    forms::Menu mnuAbout{this, "mnuAbout", "&About"};

    // ------------------------------------------------------------ controls (in tab order)
    forms::Frame fraDeviceDetails{this, "fraDeviceDetails"};
    // One line per element of the target list, so that a list index is a target index.
    forms::ComboBox cmbDeviceDetails{&fraDeviceDetails, "cmbDeviceDetails"};
    // Exactly one of the two is visible: they show Connected.
    forms::Image imgConnected{&fraDeviceDetails, "imgConnected"};
    forms::Image imgNotConnected{&fraDeviceDetails, "imgNotConnected"};

    // Its lower right corner is the window's client size on load.
    forms::Frame fraRawInterface{this, "fraRawInterface"};
    // Only received output changes it; typed keys go to the target.
    forms::TextBox txtShell{&fraRawInterface, "txtShell", forms::TextBox::MultiLine | forms::TextBox::VerticalScroll};
    // Shown only while the polling timer is off.
    forms::CommandButton cmdCheckForData{&fraRawInterface, "cmdCheckForData"};

    forms::Timer tmrPollForShellData{this, "tmrPollForShellData"};

    // ------------------------------------------------------------ public members
    // The window's slot in basApp::ShellWindows.
    int32_t WindowIndex = 0;

    // The check mark of "Always On Top"; setting it also calls the always-on-top hook.
    bool AlwaysOnTop() const;
    void AlwaysOnTop(bool onTop);

    // True shows imgConnected, False imgNotConnected.
    bool Connected() const;
    void Connected(bool connected);

    // Rebuilds the device list, enables or disables the commands, and for a valid target
    // replays its history into the box.
    void RefreshDeviceList();

    // The device handle shown (0: none). Setting a new handle closes every other shell window
    // showing it and clears the box; any setting rebuilds the device list.
    int32_t CurrentHandle() const { return currentHandle_; }
    void CurrentHandle(int32_t hDevice);

    // Logs through the central logger under "frmShell" (TRACE when no level is given).
    void StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level = {});

    // ------------------------------------------------------------ handlers
    void tmrPollForShellData_Timer();
    // Shows received bytes at the end of the box (see terminal_text.h).
    void ShellOutput(const basBootloader::ByteArray& bytes);
    void txtShell_KeyDown(int32_t& KeyCode, int32_t Shift);
    void txtShell_KeyPress(int32_t& KeyAscii);
    void cmbDeviceDetails_Click();
    void cmbDeviceDetails_Change();
    void cmbDeviceDetails_KeyUp(int32_t& KeyCode, int32_t Shift);
    void cmdCheckForData_Click();

    void mnuClose_Click();
    void mnuSwitchTo1394shell_Click();
    void mnuReset_Click();
    void mnuHalt_Click();
    void mnuStartDebugger_Click();
    void mnuStartApplication_Click();
    void mnuGetDebugGUID_Click();
    void mnuInitializePersistentParameters_Click();
    void mnuFirmwareCRCs_Click();
    void mnuAlwaysOnTop_Click();
    void mnuBufferWrapNotices_Click();
    void mnuPollingRate_Click();
    void mnuTile_Click();
    void mnuCascade_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Unload(int32_t& Cancel) override;
    void Form_Resize() override;
    void Form_KeyPress(int32_t& KeyAscii) override;

private:
    // What staying on top means is not settled for this window: the hook keeps only the mark.
    void alwaysOnTopHook(bool onTop);
    // Enables or disables the re-enable button and every Command item.
    void enableCommands(bool enable);
    // Shows or hides the re-enable button by the timer's state.
    void showPollingButton();
    // Sets the box to a notice of the poll tick and rebuilds the list when validity changed.
    void invalidTick(const std::string& notice);
    void startImage(int32_t imageType);

    int32_t currentHandle_ = 0;
    // Whether the previous poll found a valid node; the device list is rebuilt only when this
    // changes. Cleared at every load, so a window shown again replays its target's history.
    bool validNode_ = false;
    std::unique_ptr<clsLayoutManager> LayoutManager;
};
