// frmHelp: the help window, an MDI child whose browser fills it and shows one of the help pages
// that ship with the program (the "help" folder beside the executable). The frame's help menu
// opens one per request (MDIForm1::ShowHelp): it has the browser open the page, shows the window
// and gives it the page's caption.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"
#include "support/debug_log.h"

class clsLayoutManager;

class frmHelp : public forms::Form {
public:
    frmHelp();
    ~frmHelp() override;

    forms::WebBrowser WebBrowser1{this, "WebBrowser1"};
    // Takes the focus while the page loads; kept behind the browser.
    forms::TextBox Text1{this, "Text1"};

    // Logs under the module name "frmHelp".
    void StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level = {});

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;

private:
    std::unique_ptr<clsLayoutManager> LayoutManager;
};
