// frmSelectFirmwarePreferences: the modal dialog "Firmware Update Preferences" of the download
// window. It sets what a double-click on a package downloads (stored), the program-wide switch
// that lets a download go past the hardware-model test (for this run only) and the hidden
// "AlwaysLoadConfig" setting. Every change applies at once; the dialog has only a close button.
#pragma once

#include <cstdint>

#include "forms/controls.h"
#include "forms/form.h"

class frmSelectFirmwarePreferences : public forms::Form {
public:
    frmSelectFirmwarePreferences();

    forms::Frame fraDefaultLoadBehavior{this, "fraDefaultLoadBehavior"};
    forms::OptionButton optDefaultLoadImage{&fraDefaultLoadBehavior, "optDefaultLoadImage"};
    forms::OptionButton optDefaultLoadConfig{&fraDefaultLoadBehavior, "optDefaultLoadConfig"};
    forms::OptionButton optDefaultLoadImageAndConfig{&fraDefaultLoadBehavior, "optDefaultLoadImageAndConfig"};
    forms::CheckBox chkOverrideHardwareCompatibility{this, "chkOverrideHardwareCompatibility"};
    forms::CheckBox chkAlwaysLoadConfig{this, "chkAlwaysLoadConfig"};
    forms::CommandButton cmdClose{this, "cmdClose"};

    void optDefaultLoadImage_Click();
    void optDefaultLoadConfig_Click();
    void optDefaultLoadImageAndConfig_Click();
    void chkOverrideHardwareCompatibility_Click();
    void chkAlwaysLoadConfig_Click();
    void chkAlwaysLoadConfig_KeyPress(int32_t& KeyAscii);
    void cmdClose_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
};
