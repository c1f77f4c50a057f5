// The one owner of the downloader's state: install, reset and teardown in one order.
#include "app/program_state.h"

#include "app/bas_app.h"
#include "app/internal.h"
#include "automation/automation.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "support/db_manager.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"
#include "windows/kit.h"

namespace imagelift {

ProgramState::~ProgramState() {
    if (installed_) InstallContext(previous_);
}

void ProgramState::Install() {
    if (!installed_) previous_ = &Ctx();
    installed_ = true;
    InstallContext(&ctx_);
    ResetRecords();
}

void ProgramState::ResetRecords() {
    // The program's top first: what it unloads still finds the records below as they were.
    basApp::internal::ForgetRun();
    basApp::internal::ForgetNoticeHook();
    basApp::MainChildForm = nullptr;
    basApp::SetEndProcess(nullptr);
    basAutomation::ResetState();
    basApp::ResetWindowKit();
    basBootloader::State = basBootloader::ModuleState{};
    bas1394::ResetModuleState();
}

void ProgramState::Teardown() {
    if (!installed_) return;
    // A run's frame goes first (its unload ends the module and the library when it runs the
    // shut-down); whatever is still open after it is closed here. A failure of one step must not
    // keep the next from running.
    vb::ResumeNext steps([](const vb::Error& e) {
        basDebug::DebugLog(vb::ErrorLine("ERROR #", e, " in Teardown.  Resuming next..."), basDebug::WARNING,
                           std::string("ProgramState"));
    });
    steps.Run([] { basApp::internal::ForgetRun(); });
    steps.Run([] { basBootloader::Terminate(); });
    steps.Run([] {
        if (bas1394::State.LibraryModule != 0) bas1394::UnloadVsk1394Dll();
    });
    ResetRecords();
    ctx_.DbManager.reset();
    InstallContext(previous_);
    installed_ = false;
}

}  // namespace imagelift
