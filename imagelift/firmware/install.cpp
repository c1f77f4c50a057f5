// Installs the download windows into the program layer's seams.
#include "firmware/install.h"

#include <memory>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/text_viewer.h"
#include "firmware/crc_window.h"
#include "firmware/about_box.h"
#include "firmware/download_guard.h"
#include "firmware/select_firmware.h"
#include "firmware/text_view.h"

namespace imagelift_firmware {

void InstallDownloadWindows() {
    MDIForm1::SetDownloadWindowMaker([](int32_t windowIndex) {
        auto window = std::make_shared<frmSelectFirmware>();
        window->Load();
        window->WindowIndex = windowIndex;
        return window;
    });
    MDIForm1::SetAboutBoxOpener([](MDIForm1& owner) {
        frmAbout about;
        about.Show(forms::vbModal, &owner);
    });
    auto& seam = basApp::UpperWindows();
    seam.DownloadForm = [](frmSelectFirmware& w) -> forms::Form& { return w; };
    seam.SetDownloadFirmwareType = [](frmSelectFirmware& w, int32_t type) { w.FirmwareType(type); };
    seam.SetDownloadDevice = [](frmSelectFirmware& w, int32_t handle) { w.hDevice(handle); };
    seam.DownloadRunning = [] { return DownloadRunning(); };
    // The shell window's "Get Firmware CRCs...": read before the dialog shows, then discarded.
    seam.ShowFirmwareCrcs = [](int32_t hDevice, const std::string& deviceDetails) {
        frmCRCs crcs;
        crcs.Load();
        crcs.hDevice(hDevice);
        crcs.txtDeviceDetails.Text = deviceDetails;
        crcs.Show(forms::vbModal, basApp::Frame());
    };
    // A package's configuration data, formatted, in the program's text viewer.
    SetConfigTextOpener([](const std::string& caption, const std::string& text) { frmConfig::Open(text, caption); });
}

}  // namespace imagelift_firmware
