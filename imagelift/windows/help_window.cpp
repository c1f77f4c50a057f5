// The help window: a browser on the local help pages that always fills the window.
#include "windows/help_window.h"

#include "windows/open_windows.h"
#include "layout/layout_manager.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

frmHelp::frmHelp() : forms::Form("frmHelp", true) {}

frmHelp::~frmHelp() = default;

void frmHelp::Form_Design() {
    Caption = "User Guide";
    Move(0, 0, 9600, 7200);
    Text1.Move(120, 120, 1200, 285);
    Text1.Text = std::string("Text1");
    WebBrowser1.Move(0, 0, 9480, 6720);
}

void frmHelp::StatusDisplay(const std::string& Message, const basDebug::LevelArg& Level) {
    basDebug::DebugLog(Message, Level, std::string("frmHelp"));
}

void frmHelp::Form_Load() {
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("ERROR #", e, ".  Resuming next..."), "ERROR");
    });
    steps.Run([&] { LayoutManager = std::make_unique<clsLayoutManager>(); });
    steps.Run([&] { LayoutManager->LayoutForm(*this); });
    steps.Run([&] { LayoutManager->RestoreLayout(); });
    steps.Run([&] { LayoutManager->VerifyFormPosition(*this); });
}

void frmHelp::Form_Resize() {
    // The browser fills the client area; a minimised window has none to fill.
    try {
        if (WindowState() == forms::vbMinimized) return;
        WebBrowser1.Move(0, 0, ScaleWidth(), ScaleHeight());
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmHelp::Form_Unload(int32_t& /*Cancel*/) {
    basApp::UnloadOpenWindow(this, LayoutManager, [this](const std::string& warning) { StatusDisplay(warning, "WARNING"); });
}
