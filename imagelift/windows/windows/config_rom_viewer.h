// frmConfigROM: the config ROM viewer, an MDI child that shows one bus node's config ROM as a
// tree of text lines (one per ROM quadlet, nested as the ROM's directories and leaves nest) and
// copies that text to the clipboard or saves it, with a short header, as a text file.
//
// The main window's command creates one per request, sets NodeNum and shows it; the tree is
// filled once, when NodeNum is set, from the node table as the last bus-reset pass left it.
// The copied and saved text is the tree's lines in the order they were added, one per line:
// the program's config ROM report.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "forms/controls.h"
#include "forms/file_controls.h"
#include "forms/form.h"
#include "forms/views.h"
#include "support/debug_log.h"

class clsLayoutManager;

class frmConfigROM : public forms::Form {
public:
    frmConfigROM();
    ~frmConfigROM() override;

    forms::Frame fraConfigRomAppleFormat{this, "fraConfigRomAppleFormat"};
    forms::TreeView trvConfigRomAppleFormat{&fraConfigRomAppleFormat, "trvConfigRomAppleFormat"};
    forms::CommandButton cmdClose{&fraConfigRomAppleFormat, "cmdClose"};
    forms::CommandButton cmdCopyConfigRomToClipboard{&fraConfigRomAppleFormat, "cmdCopyConfigRomToClipboard"};
    forms::CommandButton cmdSaveToDisk{&fraConfigRomAppleFormat, "cmdSaveToDisk"};
    forms::CommonDialog CommonDialog1{this, "CommonDialog1"};

    // Fills the tree with the config ROM of the node with that node number: the "Invalid Node
    // Number" line when the node table holds no such node, nothing for a minimal config ROM or
    // one that was not read, else the formatter's lines.
    void NodeNum(int32_t NewNodeNum);

    // The report: every tree line in the order of addition, each ended by CR LF.
    std::string ReportText() const;

    void cmdClose_Click();
    void cmdCopyConfigRomToClipboard_Click();
    void cmdSaveToDisk_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;

private:
    void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);

    std::unique_ptr<clsLayoutManager> LayoutManager;
};
