// The update utility's one dialog: a progress bar, a text and the update button.
//
// While it opens, a worker installs the virtual-device driver and adds a virtual device on each
// bus; its end enables the button. The button checks that the Lumarel 460 is on and starts the
// step machine, whose 100 ms timer runs the downloader twice; then it reads "Finish". When the
// virtual device's interface did not come up, a message box says so as the button is enabled.
// Every way out (Enter, Esc, the close box, "Finish", the hidden uninstall button) runs one
// cleanup: the worker is stopped and joined, a downloader this update renamed is renamed back
// when no run is in progress, the virtual devices are removed, the device store is brought up to
// date with the buses once more and the timer stops. While the dialog lives the device store
// follows the buses (the audio interface and the virtual devices come and go there as the bus
// service has them).
#pragma once

#include <cstdint>
#include <string>
#include <thread>

#include "devices/bus_devices.h"
#include "setup/environment.h"
#include "forms/controls.h"
#include "forms/form.h"
#include "forms/menu.h"
#include "setup/update_steps.h"

namespace setup {

inline constexpr char kDialogCaption[] = "Lumarel 460 Firmware Update Utillity";
inline constexpr char kNoteText[] =
    "Note: If a hardware wizard dialog appears to install the\n'1394 Virtual Device', please click 'Next' and then "
    "continue.\n \nTo continue, click the Update Firmware button.";
inline constexpr char kTurnOnText[] = "Please turn on Lumarel 460!!";
// Shown when the virtual device's interface did not come up while the dialog opened: its driver
// was not installed (or does not run), which the update would otherwise pass over in silence.
inline constexpr char kNoVirtualDeviceText[] =
    "The '1394 Virtual Device' did not start; its driver may not be installed.\nThe firmware update may fail.";

class SetupDialog : public forms::Form, private UpdateView {
public:
    SetupDialog();
    ~SetupDialog() override;

    forms::ProgressBar prgProgress{this, "prgProgress"};
    forms::Label lblMessage{this, "lblMessage"};
    forms::CommandButton cmdUpdate{this, "cmdUpdate"};
    forms::CommandButton cmdUninstall{this, "cmdUninstall"};
    forms::Timer tmrStep{this, "tmrStep"};

    void cmdUpdate_Click();
    void cmdUninstall_Click();
    void tmrStep_Timer();

    const UpdateSteps& Steps() const { return steps_; }
    // The worker's end has reached the dialog (which then enabled the button).
    bool WorkerDone() const { return workerDone_; }

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Unload(int32_t& Cancel) override;
    void Form_KeyDown(int32_t& KeyCode, int32_t Shift) override;

private:
    // UpdateView
    int32_t ProgressPos() override;
    void SetProgressPos(int32_t pos) override;
    void SetMessage(const std::string& text) override;
    void StartTimer() override;
    void StopTimer() override;
    void OfferFinish() override;

    void cleanUp();
    void stopWorker();

    busdev::PlugAndPlay plugAndPlay_;
    MachineEnvironment env_;
    UpdateSteps steps_;
    std::jthread worker_;
    bool workerDone_ = false;
    bool cleanedUp_ = false;
};

}  // namespace setup
