#include "vbrt/resume_next.h"

#include <gtest/gtest.h>

namespace {

TEST(ResumeNext, GoesOnAfterAFailingStep) {
    int ran = 0;
    int failures = vb::RunResumingNext({[&] { vb::Raise(13); }, [&] { ++ran; }}, {});
    EXPECT_EQ(failures, 1);
    EXPECT_EQ(ran, 1);
}

}  // namespace
