// The text viewer: a read-only rich text box in a fixed-pitch font that fills the window.
#include "windows/text_viewer.h"

#include "windows/open_windows.h"
#include "layout/layout_manager.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

frmConfig::frmConfig() : forms::Form("frmConfig", true) {}

frmConfig::~frmConfig() = default;

void frmConfig::Form_Design() {
    Caption = "Config (CNE) Data from FWP";
    Move(0, 0, 9600, 6600);
    RTB1.Move(0, 0, 9480, 6120);
    RTB1.Locked = true;
    RTB1.Text = std::string("RTB1");
}

void frmConfig::StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::DebugLog(message, level, std::string("frmConfig"));
}

std::shared_ptr<frmConfig> frmConfig::Open(const std::string& text, const std::string& caption) {
    auto viewer = std::make_shared<frmConfig>();
    viewer->Load();
    basApp::KeepOpenWindow(viewer);
    viewer->RTB1.Text = text;
    if (!caption.empty()) viewer->Caption = caption;
    viewer->Show();
    return viewer;
}

void frmConfig::Form_Load() {
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("ERROR #", e, ".  Resuming next..."), "ERROR");
    });
    // The client area is exactly the text box; a saved rectangle then takes over.
    steps.Run([&] { Height = RTB1.Height() + (Height() - ScaleHeight()); });
    steps.Run([&] { Width = RTB1.Width() + (Width() - ScaleWidth()); });
    steps.Run([&] { LayoutManager = std::make_unique<clsLayoutManager>(); });
    steps.Run([&] { LayoutManager->LayoutForm(*this); });
    steps.Run([&] { LayoutManager->RestoreLayout(); });
    steps.Run([&] { LayoutManager->VerifyFormPosition(*this); });
    steps.Run([&] { RTB1.FontSize = 8; });
    steps.Run([&] { RTB1.FontName = std::string("Courier New"); });
}

void frmConfig::Form_Resize() {
    try {
        if (LayoutManager) LayoutManager->ResizeForm();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmConfig::Form_Unload(int32_t& /*Cancel*/) {
    basApp::UnloadOpenWindow(this, LayoutManager, [this](const std::string& warning) { StatusDisplay(warning, "WARNING"); });
}
