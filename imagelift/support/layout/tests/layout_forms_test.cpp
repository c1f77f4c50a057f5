// The layout manager on real windows of the window layer (offscreen).
#include "forms/forms.h"
#include "layout/layout_manager.h"
#include "registry/registry.h"
#include "support/program_context.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <unistd.h>

namespace {

using namespace forms;

class frmFrame : public MDIForm {
public:
    frmFrame() : MDIForm("MDIForm1") {}
    Menu mnuFile{this, "mnuFile", "&File"};

protected:
    void Form_Design() override { Move(0, 0, 12000, 9000); }
};

// A child window that keeps itself in shape the way the program's windows do.
class frmText : public Form {
public:
    frmText() : Form("frmText", true) {}
    TextBox txtText{this, "txtText", TextBox::MultiLine};
    ComboBox cmbFind{this, "cmbFind"};
    CommandButton cmdClose{this, "cmdClose"};
    std::unique_ptr<clsLayoutManager> layout;

protected:
    void Form_Design() override {
        Caption = "Text";
        Move(0, 0, 6000, 4500);
        txtText.Move(120, 120, 5400, 3000);
        cmbFind.Move(120, 3240, 3000, 315);
        cmdClose.Move(4320, 3240, 1200, 375);
    }
    void Form_Load() override {
        layout = std::make_unique<clsLayoutManager>();
        layout->LayoutForm(*this);
        layout->RestoreLayout();
        layout->VerifyFormPosition(*this);
    }
    void Form_Resize() override {
        if (layout) layout->ResizeForm();
    }
    void Form_Unload(int32_t&) override { layout.reset(); }
};

TEST(LayoutOnForms, ChildKeepsItsPlaceAndControlsFollowTheWindow) {
    char tmpl[] = "/tmp/layout_forms_test_XXXXXX";
    std::string root = ::mkdtemp(tmpl);
    struct RemovedAtEnd {
        std::string path;
        ~RemovedAtEnd() {
            std::error_code ec;
            std::filesystem::remove_all(path, ec);
            ::unsetenv("LUMAREL_ROOT");
        }
    } removed{root};  // also when an assertion ends the test early
    ::setenv("LUMAREL_ROOT", root.c_str(), 1);
    // The design scale, 15 twips per pixel, whatever font the desktop has.
    forms::FixedScreen screen;
    forms::SetScreen(&screen);
    struct ScreenRestored {
        ~ScreenRestored() { forms::SetScreen(nullptr); }
    } restored;
    imagelift::ProgramContext ctx;
    imagelift::ScopedContext scoped(ctx);
    ctx.App.Title = "Imagelift";

    frmFrame frame;
    frame.Show();
    frmText text;
    text.Show();
    const double designWidth = text.txtText.Width();
    text.Move(1500, 750, 9000, 4500);  // the user moves and widens it
    DoEvents();
    EXPECT_GT(text.txtText.Width(), designWidth);
    const double comboHeight = text.cmbFind.Height();
    text.Height = 6000;
    DoEvents();
    EXPECT_EQ(text.cmbFind.Height(), comboHeight);  // a combo box keeps its height

    // The frame's menu bar puts the client area's corner below the frame's own.
    EXPECT_GT(text.ParentOriginPx().y, 0);
    for (int cycle = 0; cycle < 3; ++cycle) {
        text.Unload();
        text.Show();
        DoEvents();
        EXPECT_EQ(text.Left(), 1500) << "cycle " << cycle;
        EXPECT_EQ(text.Top(), 750) << "cycle " << cycle;
        EXPECT_EQ(text.Width(), 9000) << "cycle " << cycle;
    }
    // Stored in pixels relative to the frame's client area.
    EXPECT_EQ(registry::GetSetting("Imagelift", "frmText", "Left"), "100");
    EXPECT_EQ(registry::GetSetting("Imagelift", "frmText", "Top"), "50");
    frame.Unload();
}

}  // namespace
