// frmCRCs: the dialog "Firmware Image CRCs on Device". Setting hDevice reads the CRC of each of
// the four images a bootloader target holds (bootloader, application, configuration data,
// debugger) and shows the target's verdict on each. The shell window opens it modally after
// setting hDevice and filling txtDeviceDetails; the CRCs are not read again while it is open.
#pragma once

#include <cstdint>
#include <string>
#include <memory>

#include "forms/controls.h"
#include "forms/form.h"

class clsLayoutManager;

class frmCRCs : public forms::Form {
public:
    frmCRCs();
    ~frmCRCs() override;

    forms::Frame fraDeviceDetails{this, "fraDeviceDetails"};
    forms::TextBox txtDeviceDetails{&fraDeviceDetails, "txtDeviceDetails"};
    forms::Label lblBootloaderCRC{this, "lblBootloaderCRC"};
    forms::Label lblDebuggerCRC{this, "lblDebuggerCRC"};
    forms::Label lblApplicationCRC{this, "lblApplicationCRC"};
    forms::Label lblCNE_CRC{this, "lblCNE_CRC"};
    forms::CheckBox chkAlwaysOnTop{this, "chkAlwaysOnTop"};
    forms::CommandButton cmdClose{this, "cmdClose"};

    // The check box keeps its state only; nothing orders the window by it.
    bool AlwaysOnTop() const { return chkAlwaysOnTop.Value() == 1; }
    void AlwaysOnTop(bool onTop) { chkAlwaysOnTop.Value = onTop ? 1 : 0; }
    int32_t hDevice() const { return hDevice_; }
    void hDevice(int32_t handle);

    void cmdClose_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;

private:
    void ReadCRCs(int32_t handle);
    std::string ReadImageCRCText(int32_t imageType);

    int32_t hDevice_ = 0;
    std::unique_ptr<clsLayoutManager> layout_;
};

namespace imagelift_firmware {

// The shell window's "Get Firmware CRCs...": a CRC window for `hDevice`, read before it shows,
// shown modally over the frame with `deviceDetails` in its device-details box, then discarded.
void ShowFirmwareCrcs(int32_t hDevice, const std::string& deviceDetails);

}  // namespace imagelift_firmware
