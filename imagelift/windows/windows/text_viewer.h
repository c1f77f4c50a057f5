// frmConfig: the text viewer, an MDI child that shows a formatted text (a firmware package's
// configuration data, say) in a fixed-pitch font. Its opener writes the text into RTB1, may set
// its own caption, and shows it; each request opens another viewer.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "forms/controls.h"
#include "forms/form.h"
#include "support/debug_log.h"

class clsLayoutManager;

class frmConfig : public forms::Form {
public:
    frmConfig();
    ~frmConfig() override;

    forms::RichTextBox RTB1{this, "RTB1"};

    // Opens a new viewer showing `text` (lines apart with CR LF) under `caption` (the design
    // caption when empty) and keeps it until it closes.
    static std::shared_ptr<frmConfig> Open(const std::string& text, const std::string& caption = {});

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;

private:
    void StatusDisplay(const std::string& message, const basDebug::LevelArg& level);

    std::unique_ptr<clsLayoutManager> LayoutManager;
};
