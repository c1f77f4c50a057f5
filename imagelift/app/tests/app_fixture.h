// Shared set-up of the program layer's tests: a temporary platform root, a manual clock, a fresh
// program context whose first status window records its lines, and scripted message boxes.
#pragma once

#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/program_context.h"
#include "recording_status.h"
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
        ctx_.StatusWindow0 = &status_;
        ctx_.DebugLoggingLevel = 17;  // nothing to a store
        imagelift::InstallContext(&ctx_);
        forms::SetPresenter(&boxes_);
    }

    void TearDown() override {
        forms::SetPresenter(nullptr);
        imagelift::InstallContext(nullptr);
        clk::Install(nullptr);
        TempRootTest::TearDown();
    }

    clk::ManualClock clock_;
    imagelift::ProgramContext ctx_;
    supporttest::RecordingStatusWindow status_;
    forms::ScriptedPresenter boxes_;
};

}  // namespace apptest
