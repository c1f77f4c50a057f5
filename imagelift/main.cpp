// The downloader's entry: the hidden application window first (the update utility follows a run
// by it, from the first moment to the last), then the window layer, start-up and the event loop.
//
// A request to end from outside (SIGTERM, as a desktop session sends when it ends, or SIGINT
// from a terminal) closes the frame as its close button does, so the program shuts down the
// normal way: windows unloaded, library unloaded, store compacted. It is heard in a message box
// too: the second start's box about the running instance ends with it, and a request that comes
// before the frame exists closes it once start-up has made it.
//
// Before start-up it puts stand-ins for the 1394 stack's driver files into the simulated Windows
// folder where none exist, so that the supporting-file check finds what a real installation has.
//
// With IMAGELIFT_SCREENSHOT=<file.png> the frame is saved as a picture each time a device list
// is complete (the file shows the latest): the way to see the program where no display exists.
//
// Reading the downloader, from the top down:
//   1. app/app/program_state.h: every record the program keeps between calls, and the one place
//      that installs, resets and tears them down.
//   2. app/startup.cpp (basApp::Main, ShutDown): the start-up steps in order, and the end.
//   3. app/app/frame.h, app/app/main_window.h: the program's top. The main window's timers drive
//      all work that is not a user action (bus-reset pass, incoming data, unattended scheduler);
//      its commands open the download and shell windows.
//   4. windows/windows/kit.h: what every window below the top builds on (window arrays, logger,
//      clock, command line, the small views of the frame and the main window).
//   5. firmware/firmware/select_firmware.h, shell/shell/shell_window.h,
//      automation/automation/automation.h: the download windows, the shell, unattended runs.
//   6. bootloader/bootloader/state.h and bus1394/bus1394/state.h: the device protocol and the
//      bus layer underneath, each with its one state record.
#include <QTimer>
#include <cstdlib>
#include <string>

#include "app/bas_app.h"
#include "app/driver_stand_ins.h"
#include "app/frame.h"
#include "app/program_state.h"
#include "automation/automation.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/app.h"
#include "forms/form.h"
#include "support/program_context.h"

namespace {

// The frame closes as the desktop's task manager closes it; without a frame there is nothing
// to close yet.
void closeFrame() {
    if (MDIForm1* frame = basApp::Frame()) frame->Unload(forms::vbAppTaskManager);
}

// Saves the frame as a picture whenever a device list has become complete.
void screenshotWhenListed(const std::string& path) {
    auto* timer = new QTimer();
    QObject::connect(timer, &QTimer::timeout, [path, saved = false]() mutable {
        MDIForm1* frame = basApp::Frame();
        const bool complete = frame && bas1394::State.TopologyReady && !bas1394::State.BusResetPending;
        if (complete && !saved) frame->SaveImage(path);
        saved = complete;
    });
    timer->start(100);
}

}  // namespace

int main(int argc, char** argv) {
    // The program's state, installed once for the life of the process (the process ends inside
    // the shut-down, which closes what it holds).
    imagelift::ProgramState program;
    program.Install();

    auto& app = forms::App();
    const auto& info = imagelift::Ctx().App;
    app.Title = info.Title;
    app.Major = info.Major;
    app.Minor = info.Minor;
    app.Revision = info.Revision;
    forms::PublishApplicationWindow();

    forms::EnsureApplication();
    imagelift::Ctx().Beep = [] { forms::Beep(); };
    forms::EndOnRequest(closeFrame);
    if (const char* shot = std::getenv("IMAGELIFT_SCREENSHOT"); shot && *shot) screenshotWhenListed(shot);

    // The simulated platform has no 1394 stack installed: its driver files stand in place.
    imagelift::PlaceDriverStandIns();
    basApp::Main(basApp::RawCommandLine(argc, argv, basAutomation::OptionTakesValue));
    if (forms::EndRequested()) closeFrame();
    return forms::RunMessageLoop();
}
