// frmConfigROM: the config ROM viewer, an MDI child that shows one bus node's config ROM as a
// tree of text lines (one per ROM quadlet, nested as the ROM's directories and leaves nest).
//
// The main window's command creates one per request, sets NodeNum and shows it; the tree is
// filled once, when NodeNum is set, from the node table as the last bus-reset pass left it.
#pragma once

#include <cstdint>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"
#include "forms/views.h"
#include "support/debug_log.h"

class frmConfigROM : public forms::Form {
public:
    frmConfigROM();

    forms::Frame fraConfigRomAppleFormat{this, "fraConfigRomAppleFormat"};
    forms::TreeView trvConfigRomAppleFormat{&fraConfigRomAppleFormat, "trvConfigRomAppleFormat"};

    // Fills the tree with the config ROM of the node with that node number: the "Invalid Node
    // Number" line when the node table holds no such node, nothing for a minimal config ROM or
    // one that was not read, else the formatter's lines.
    void NodeNum(int32_t NewNodeNum);

protected:
    void Form_Design() override;

private:
    void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);
};
