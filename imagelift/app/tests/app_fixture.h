// The one fixture of the downloader's window tests: a temporary platform root, a manual clock, a
// fresh program state installed (its context's first status window records the lines), scripted
// message boxes, and at the end the program state's one teardown after the frame the test
// loaded (if any) has closed.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <string>

#include "app/frame.h"
#include "app/program_state.h"
#include "clock/clock.h"
#include "forms/dialogs.h"
#include "forms/app.h"
#include "support/program_context.h"
#include "tests/recording_status.h"
#include "testing/temp_root.h"

namespace apptest {

// The main window as the logger and the bus layer see it: while one is installed in the
// context, the program's modules log their lines instead of showing only their failures.
class RecordingMainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override { ++nodesChanged; }
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override { ++haltBroadcasts; }
    int nodesChanged = 0;
    int haltBroadcasts = 0;
};

class AppTest : public testing_support::TempRootTest {
protected:
    AppTest() : TempRootTest("app_test") {}

    void SetUp() override {
        TempRootTest::SetUp();
        clk::Install(&clock_);
        programState_.Install();
        ctx_.StatusWindow0 = &status_;
        ctx_.DebugLoggingLevel = 17;  // nothing to a store
        forms::SetPresenter(&boxes_);
    }

    void TearDown() override {
        if (frame_) frame_->Unload();
        frame_.reset();
        programState_.Teardown();
        forms::SetPresenter(nullptr);
        forms::SetScreen(nullptr);
        clk::Install(nullptr);
        TempRootTest::TearDown();
    }

    clk::ManualClock clock_;
    imagelift::ProgramState programState_;
    imagelift::ProgramContext& ctx_ = programState_.Context();
    supporttest::RecordingStatusWindow status_;
    forms::ScriptedPresenter boxes_;
    // The frame a test loads itself (start-up's own frame belongs to the run of Main).
    std::unique_ptr<MDIForm1> frame_;
};

}  // namespace apptest
