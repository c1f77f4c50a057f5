// The CRC window: each image's CRC as the target reads and judges it.
#include "firmware/crc_window.h"

#include <QFont>
#include <QWidget>

#include "windows/kit.h"
#include "bootloader/commands.h"
#include "bootloader/records.h"
#include "firmware/package_texts.h"
#include "layout/layout_manager.h"
#include "support/debug_log.h"
#include "vbrt/convert.h"

frmCRCs::frmCRCs() : forms::Form("frmCRCs") {
    cmdClose.Click = [this] { cmdClose_Click(); };
}

frmCRCs::~frmCRCs() = default;

void frmCRCs::Form_Design() {
    Caption = "Firmware Image CRCs on Device";
    Move(0, 0, 6600, 3600);
    fraDeviceDetails.Caption = "Device Details";
    fraDeviceDetails.Move(120, 60, 6240, 720);
    txtDeviceDetails.Move(120, 270, 6000, 315);
    txtDeviceDetails.Locked = true;
    // Fixed-width, so that the leading blanks of the texts line up their colons.
    forms::Label* labels[] = {&lblBootloaderCRC, &lblDebuggerCRC, &lblApplicationCRC, &lblCNE_CRC};
    QFont fixed("Courier New");
    fixed.setStyleHint(QFont::Monospace);
    for (size_t i = 0; i < std::size(labels); ++i) {
        labels[i]->Move(240, 960 + double(i) * 360, 6000, 300);
        labels[i]->Widget()->setFont(fixed);
    }
    chkAlwaysOnTop.Caption = "Always on &Top";
    chkAlwaysOnTop.Move(240, 2520, 2400, 300);
    cmdClose.Caption = "&Close";
    cmdClose.Move(5160, 2520, 1200, 375);
}

void frmCRCs::Form_Load() {
    layout_ = std::make_unique<clsLayoutManager>();
    layout_->LayoutForm(*this);
}

void frmCRCs::Form_Resize() {
    if (layout_) layout_->ResizeForm();
}

void frmCRCs::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    layout_.reset();
}

void frmCRCs::cmdClose_Click() { Unload(); }

void frmCRCs::hDevice(int32_t handle) {
    hDevice_ = handle;
    ReadCRCs(handle);
}

std::string frmCRCs::ReadImageCRCText(int32_t imageType) {
    int32_t crc = 0, flag = 0;
    const int32_t result = basBootloader::ReadImageCRC(hDevice_, uint8_t(imageType), crc, flag);
    return imagelift_firmware::CrcResultText(result, crc, flag);
}

void frmCRCs::ReadCRCs(int32_t handle) {
    lblApplicationCRC.Caption = " Application CRC: <failed to read>";
    lblBootloaderCRC.Caption = "  Bootloader CRC: <failed to read>";
    lblCNE_CRC.Caption = "Config (CNE) CRC: <failed to read>";
    lblDebuggerCRC.Caption = "    Debugger CRC: <failed to read>";
    if (handle <= 0) {
        const std::string line = "frmCRCs.ReadCRCs error: INVALID DEVICE HANDLE: " + vb::CStr(handle);
        if (basApp::IMainWindow* main = basApp::MainWindow()) main->StatusDisplay(line, basDebug::TRACE);
        else basDebug::DebugLog(line, basDebug::TRACE, std::string("frmCRCs"));
        return;
    }
    // One command each, in this order; a failed read leaves the others alone.
    lblBootloaderCRC.Caption = "  Bootloader: " + ReadImageCRCText(basBootloader::kImageBootloader);
    lblApplicationCRC.Caption = " Application: " + ReadImageCRCText(basBootloader::kImageApplication);
    lblCNE_CRC.Caption = "Config (CNE): " + ReadImageCRCText(basBootloader::kImageConfig);
    lblDebuggerCRC.Caption = "    Debugger: " + ReadImageCRCText(basBootloader::kImageDebugger);
}

namespace imagelift_firmware {

void ShowFirmwareCrcs(int32_t hDevice, const std::string& deviceDetails) {
    frmCRCs crcs;
    crcs.Load();
    crcs.hDevice(hDevice);
    crcs.txtDeviceDetails.Text = deviceDetails;
    crcs.Show(forms::vbModal, forms::MDIForm::Current());
}

}  // namespace imagelift_firmware
