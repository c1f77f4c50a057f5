// MDIForm1: the downloader's MDI frame. Every other window of the program is its child or is
// owned by it; closing it ends the program.
//
// Its load builds the caption the setup program looks for, gives each child-window array of
// basApp its one empty slot, loads the main window and status window 0 and stacks them; its
// unload closes the main window, the download, shell and status windows in that order and then
// runs basApp::ShutDown. It carries the menu items for the log levels, the transaction time-out,
// status windows, the arrangement of its children and help; the main window's items of the same
// names forward to the public handlers here.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "forms/form.h"
#include "forms/menu.h"
#include "support/debug_log.h"
#include "windows/kit.h"

class frmMain;

class MDIForm1 : public forms::MDIForm, public basApp::IFrameWindow {
public:
    MDIForm1();
    ~MDIForm1() override;

    // ------------------------------------------------------------ the frame's own menu bar
    forms::Menu mnuFile{this, "mnuFile", "&File"};
    forms::Menu mnuExit{&mnuFile, "mnuExit", "E&xit"};
    forms::Menu mnuView{this, "mnuView", "&View"};
    forms::Menu mnuStatusWindow{&mnuView, "mnuStatusWindow", "&Status Window"};
    forms::Menu mnuDebugLoggingLevel{&mnuView, "mnuDebugLoggingLevel", "Debug &Logging Level"};
    forms::Menu mnuDebugMessageLevel{&mnuView, "mnuDebugMessageLevel", "Debug &Message Level"};
    forms::Menu mnuWindow{this, "mnuWindow", "&Window"};
    // Checked: the children are rescaled whenever the frame's size changes.
    forms::Menu mnuAutoScaleChildren{&mnuWindow, "mnuAutoScaleChildren", "&Auto-Scale Children"};
    forms::Menu mnuTile{&mnuWindow, "mnuTile", "&Tile"};
    forms::Menu mnuCascade{&mnuWindow, "mnuCascade", "&Cascade"};
    forms::Menu mnuHelp{this, "mnuHelp", "&Help"};
    forms::Menu mnuUserGuide{&mnuHelp, "mnuUserGuide", "&User Guide"};
    forms::Menu mnuReleaseNotes{&mnuHelp, "mnuReleaseNotes", "&Release Notes"};
    forms::Menu mnuAbout{&mnuHelp, "mnuAbout", "&About"};

    // ------------------------------------------------------------ public members
    // False while the frame loads and unloads, True from the end of its load: the resize
    // handler rescales the children only while it is True.
    bool AutosizeChildren = false;

    // Opens a download window when `windowType` is "frmSelectFirmware": takes a slot of
    // basApp::DownloadWindows, creates and loads the window there with the slot as its
    // WindowIndex, and returns the slot. Any other kind gives -1 and creates nothing.
    int32_t CreateDownloadWindow(const std::string& windowType);

    // 1 tiles (the main window three shares of the client height, each visible status window
    // one share, stacked below it), 2 rescales every visible child by the change of the client
    // size since the last rescale (the first one only records), anything else does nothing.
    void ArrangeChildren(int16_t arrangementType) override;

    // Rescales the children (ArrangeChildren 2) while AutosizeChildren is True, the main window
    // exists, the frame is not minimised and auto-scaling is checked.
    void MDIForm_Resize() override;
    bool AutoScalesChildren() const override { return mnuAutoScaleChildren.Checked(); }

    void mnuAutoScaleChildren_Click();
    void mnuDebugLoggingLevel_Click();
    void mnuDebugMessageLevel_Click();
    void mnuDefault1394TransactionTimeout_Click();
    void mnuDllMessageLevel_Click();
    void mnuExit_Click();
    void mnuReleaseNotes_Click();
    void mnuStatusWindow_Click();
    void mnuUserGuide_Click();
    void mnuTile_Click();
    void mnuAbout_Click();

    // Opens a new help window on `link` (a page address, see HelpLink) captioned `caption`.
    void ShowHelp(const std::string& link, const std::string& caption);

    // The frame's logger: the central logger under the module "MDIForm1".
    void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);

    // The main window this frame loaded (nullptr before the load).
    frmMain* MainWindow() const { return mainWindow_.get(); }

    // The address of a help page: `path` (from "/", an anchor may follow) below the "help"
    // folder beside the program.
    static std::string HelpLink(const std::string& path);

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_QueryUnload(int32_t& Cancel, int32_t UnloadMode) override;
    void Form_Unload(int32_t& Cancel) override;
    void Form_Resize() override;

private:
    // Closes the children in the frame's order: the main window, every download window, every
    // shell window, every status window. Each step runs whatever the one before it did.
    void unloadChildrenInOrder();
    // The main window as a form, while it is loaded (nullptr otherwise).
    forms::Form* mainForm() const;
    // Opens a further status window in the first free slot.
    void openStatusWindow();

    std::unique_ptr<frmMain> mainWindow_;
    // Client size recorded by the last rescale (0 until the first).
    int32_t rescaleHeight_ = 0;
    int32_t rescaleWidth_ = 0;
};
