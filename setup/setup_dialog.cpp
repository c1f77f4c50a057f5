#include "setup/setup_dialog.h"

#include "setup/bus_requests.h"
#include "setup/driver_install_worker.h"
#include "drvkit/drvkit.h"
#include "forms/dialogs.h"

namespace setup {
namespace {

// Posted by the worker to the dialog's window when it ends (wParam 1 when the virtual device's
// interface came up); the dialog's thread enables the button.
constexpr uint32_t kWorkerEnded = user::WM_USER + 1;

// The dialog is laid out in dialog units of its font.
double DuX(double du) { return forms::DialogUnitsX(du); }
double DuY(double du) { return forms::DialogUnitsY(du); }

}  // namespace

SetupDialog::SetupDialog()
    : forms::Form("CSetupDlg"),
      env_([](const std::string& text) { forms::MsgBox(text, forms::vbOKOnly | forms::vbExclamation); }),
      steps_(env_, *this) {
    cmdUpdate.Click = [this] { cmdUpdate_Click(); };
    cmdUninstall.Click = [this] { cmdUninstall_Click(); };
    tmrStep.OnTimer = [this] { tmrStep_Timer(); };
}

SetupDialog::~SetupDialog() { stopWorker(); }

void SetupDialog::Form_Design() {
    Caption = kDialogCaption;
    Move(0, 0, DuX(299), DuY(77));
    prgProgress.Move(DuX(7), DuY(7), DuX(285), DuY(10));
    lblMessage.Move(DuX(7), DuY(24), DuX(221), DuY(46));
    lblMessage.WordWrap = true;
    cmdUpdate.Caption = "Update Firmware";
    cmdUpdate.Move(DuX(231), DuY(41), DuX(61), DuY(29));
    cmdUninstall.Caption = "Uninstall Driver";
    cmdUninstall.Move(DuX(230), DuY(20), DuX(62), DuY(13));
    cmdUninstall.Visible = false;  // nothing shows it
    tmrStep.Enabled = false;
    tmrStep.Interval = 100;
}

void SetupDialog::Form_Load() {
    prgProgress.Min = 0;
    prgProgress.Max = 1000;
    lblMessage.Caption = kNoteText;
    cmdUpdate.Enabled = false;
    cleanedUp_ = false;
    workerDone_ = false;
    steps_.RecoverInterruptedUpdate();

    // The worker reaches the dialog only through a message to its window; the close stops and
    // joins it before anything it touched (the buses, the window) goes away.
    const user::HWND hwnd = hWnd();
    user::WndProc previous = user::GetWindowProc(hwnd);
    user::SetWindowProc(hwnd, [this, previous](user::HWND h, uint32_t msg, user::WPARAM w, user::LPARAM l) {
        if (msg == kWorkerEnded) {
            workerDone_ = true;
            if (cleanedUp_) return user::LRESULT(0);
            cmdUpdate.Enabled = true;
            // The update is still offered, but the user learns why it may not get through.
            if (w == 0) forms::MsgBox(kNoVirtualDeviceText, forms::vbOKOnly | forms::vbExclamation);
            return user::LRESULT(0);
        }
        return user::CallWindowProc(previous, h, msg, w, l);
    });
    worker_ = std::jthread([hwnd](std::stop_token stop) {
        const InstallOutcome outcome = InstallDriverAndVirtualDevices(stop);
        if (!stop.stop_requested()) user::PostMessage(hwnd, kWorkerEnded, outcome.interfaceUp ? 1 : 0, 0);
    });
}

void SetupDialog::cmdUpdate_Click() {
    if (steps_.Finished()) {
        Unload();
        return;
    }
    // Any answer but 0, a failed search (-1) included, counts as present.
    if (DRVKIT_EnumerateDevNodes(kLumarelHardwareId, 1) == 0) {
        forms::MsgBox(kTurnOnText, forms::vbOKOnly | forms::vbExclamation);
        return;
    }
    cmdUpdate.Enabled = false;
    steps_.Begin();
}

void SetupDialog::cmdUninstall_Click() {
    cleanUp();
    DRVKIT_DeleteDevNodesByHardwareIDs(kVirtualDeviceInf, 0);
    DRVKIT_DeleteInfFilesByHardwareIDs(kVirtualDeviceInf, 0);
    Unload();
}

void SetupDialog::tmrStep_Timer() { steps_.Tick(); }

void SetupDialog::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    cleanUp();
}

void SetupDialog::Form_KeyDown(int32_t& KeyCode, int32_t Shift) {
    (void)Shift;
    if (KeyCode == 13 || KeyCode == 27) {  // Enter and Esc close the dialog like its close box
        KeyCode = 0;
        Unload();
    }
}

void SetupDialog::stopWorker() {
    if (worker_.joinable()) {
        worker_.request_stop();
        worker_.join();
    }
}

void SetupDialog::cleanUp() {
    if (cleanedUp_) return;
    cleanedUp_ = true;
    // The worker first, so that no add of its own can follow the removals.
    stopWorker();
    tmrStep.Enabled = false;
    steps_.OnClose();
    ForEachBus(RemoveVirtualDevice);
    // The store follows the buses only while someone reads it; bring it up to date once more,
    // so that it does not go on listing the removed virtual devices (with their interface) or
    // the unit under the GUID it had before the update.
    busdev::EnumerateBusDevices();
}

int32_t SetupDialog::ProgressPos() { return int32_t(prgProgress.Value()); }
void SetupDialog::SetProgressPos(int32_t pos) { prgProgress.Value = double(pos); }
void SetupDialog::SetMessage(const std::string& text) { lblMessage.Caption = text; }
void SetupDialog::StartTimer() { tmrStep.Enabled = true; }
void SetupDialog::StopTimer() { tmrStep.Enabled = false; }
void SetupDialog::OfferFinish() {
    cmdUpdate.Caption = "Finish";
    cmdUpdate.Enabled = true;
}

}  // namespace setup
