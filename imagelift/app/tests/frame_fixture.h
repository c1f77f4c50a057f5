// A bare MDI frame on a fixed 1280 x 1024 screen, for tests of the kit's child windows (status
// windows above all) without the rest of the program.
#pragma once

#include <memory>

#include "forms/forms.h"
#include "support/db_manager.h"
#include "tests/app_fixture.h"

namespace apptest {

class FrameTest : public AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
        frame_ = std::make_unique<forms::MDIForm>("MDIForm1");
        frame_->Show();
        frame_->Move(0, 0, 12000, 9000);
    }
    void TearDown() override {
        frame_->Unload();
        frame_.reset();
        ctx_.DbManager.reset();
        forms::SetScreen(nullptr);
        AppTest::TearDown();
    }

    forms::FixedScreen screen_{1280, 1024};
    std::unique_ptr<forms::MDIForm> frame_;
};

}  // namespace apptest
