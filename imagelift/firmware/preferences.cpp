// The download preferences dialog.
#include "firmware/preferences.h"

#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

constexpr const char* kSection = "frmSelectFirmware";

void logTrapped(const char* handler) {
    basDebug::DebugLog(vb::ErrorLine("Error #", vb::CurrentException(), std::string(" in ") + handler),
                       basDebug::TRACE, std::string("frmSelectFirmwarePreferences"));
}

void setBehavior(int16_t behavior) {
    if (auto& store = imagelift::Ctx().DbManager) store->SetDefaultDownloadBehavior(behavior);
}

}  // namespace

frmSelectFirmwarePreferences::frmSelectFirmwarePreferences() : forms::Form("frmSelectFirmwarePreferences") {
    optDefaultLoadImage.Click = [this] { optDefaultLoadImage_Click(); };
    optDefaultLoadConfig.Click = [this] { optDefaultLoadConfig_Click(); };
    optDefaultLoadImageAndConfig.Click = [this] { optDefaultLoadImageAndConfig_Click(); };
    chkOverrideHardwareCompatibility.Click = [this] { chkOverrideHardwareCompatibility_Click(); };
    chkAlwaysLoadConfig.Click = [this] { chkAlwaysLoadConfig_Click(); };
    chkAlwaysLoadConfig.KeyPress = [this](int32_t& k) { chkAlwaysLoadConfig_KeyPress(k); };
    cmdClose.Click = [this] { cmdClose_Click(); };
}

void frmSelectFirmwarePreferences::Form_Design() {
    Caption = "Firmware Update Preferences";
    Move(0, 0, 5400, 3600);
    fraDefaultLoadBehavior.Caption = "Default Download Behavior (double-click, etc)";
    fraDefaultLoadBehavior.Move(120, 120, 5040, 1440);
    optDefaultLoadImage.Caption = "Load &Image";
    optDefaultLoadImage.Move(240, 300, 4560, 300);
    optDefaultLoadConfig.Caption = "Load &Config";
    optDefaultLoadConfig.Move(240, 660, 4560, 300);
    optDefaultLoadImageAndConfig.Caption = "Load Config &and Image";
    optDefaultLoadImageAndConfig.Move(240, 1020, 4560, 300);
    chkOverrideHardwareCompatibility.Caption = "&Override Hardware ID Incompatibility";
    chkOverrideHardwareCompatibility.Move(240, 1740, 4800, 300);
    chkAlwaysLoadConfig.Caption = "&Always Load Config with Application Image";
    chkAlwaysLoadConfig.Move(240, 2100, 4800, 300);
    chkAlwaysLoadConfig.Visible = false;
    cmdClose.Caption = "&Close";
    cmdClose.Move(3960, 2520, 1200, 375);
}

void frmSelectFirmwarePreferences::Form_Load() {
    try {
        auto& ctx = imagelift::Ctx();
        if (!ctx.DbManager) {
            Unload();
            return;
        }
        const std::string title = ctx.App.Title;
        chkAlwaysLoadConfig.Value = vb::CLng(vb::Val(ctx.DbManager->GetSetting(title, kSection, "AlwaysLoadConfig", "0")));
        switch (ctx.DbManager->GetDefaultDownloadBehavior()) {
        case 1: optDefaultLoadImage.Value = true; break;
        case 2: optDefaultLoadConfig.Value = true; break;
        case 0: optDefaultLoadImageAndConfig.Value = true; break;
        default: break;
        }
        if (ctx.OverrideHardwareCompatibility) chkOverrideHardwareCompatibility.Value = 1;
    } catch (...) {
        logTrapped("Form_Load");
    }
}

void frmSelectFirmwarePreferences::optDefaultLoadImage_Click() { setBehavior(1); }
void frmSelectFirmwarePreferences::optDefaultLoadConfig_Click() { setBehavior(2); }
void frmSelectFirmwarePreferences::optDefaultLoadImageAndConfig_Click() { setBehavior(0); }

void frmSelectFirmwarePreferences::chkOverrideHardwareCompatibility_Click() {
    try {
        imagelift::Ctx().OverrideHardwareCompatibility = chkOverrideHardwareCompatibility.Value == 1;
    } catch (...) {
        logTrapped("chkOverrideHardwareCompatibility_Click");
    }
}

void frmSelectFirmwarePreferences::chkAlwaysLoadConfig_Click() {
    auto& ctx = imagelift::Ctx();
    if (ctx.DbManager)
        ctx.DbManager->SaveSetting(ctx.App.Title, kSection, "AlwaysLoadConfig", chkAlwaysLoadConfig.Value == 1 ? "1" : "0");
}

void frmSelectFirmwarePreferences::chkAlwaysLoadConfig_KeyPress(int32_t& KeyAscii) {
    if (KeyAscii == 13 || KeyAscii == 27) Unload();
}

void frmSelectFirmwarePreferences::cmdClose_Click() { Unload(); }
