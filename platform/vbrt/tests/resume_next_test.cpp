#include "vbrt/resume_next.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <string>
#include <vector>

namespace {

TEST(ResumeNext, HandsEachFailureOverAndGoesOn) {
    std::vector<std::string> lines;
    std::vector<int> ran;
    vb::ResumeNext steps([&](const vb::Error& e) {
        lines.push_back("ERROR #" + std::to_string(e.Number()) + ": " + e.Description() + "  Resuming next...");
    });
    EXPECT_FALSE(steps.Run([&] { vb::Raise(13, "basX"); }));
    EXPECT_TRUE(steps.Run([&] { ran.push_back(2); }));
    EXPECT_FALSE(steps.Run([&] { throw std::out_of_range("index"); }));
    EXPECT_FALSE(steps.Run([&] { throw 7; }));
    EXPECT_TRUE(steps.Run([&] { ran.push_back(5); }));

    EXPECT_EQ(ran, (std::vector<int>{2, 5}));
    EXPECT_EQ(lines, (std::vector<std::string>{
                         "ERROR #13: Type mismatch  Resuming next...",
                         "ERROR #9: Subscript out of range  Resuming next...",
                         "ERROR #5: Invalid procedure call or argument  Resuming next...",
                     }));
    EXPECT_EQ(steps.Failures(), 3);
    ASSERT_TRUE(steps.LastError().has_value());
    EXPECT_EQ(steps.LastError()->Number(), 5);
}

TEST(ResumeNext, RunsAListOfStepsWithoutAHandler) {
    int ran = 0;
    int failures = vb::RunResumingNext({[&] { vb::Raise(53); }, [&] { ++ran; }, [&] { vb::Raise(6); }, [&] { ++ran; }}, {});
    EXPECT_EQ(failures, 2);
    EXPECT_EQ(ran, 2);
}

}  // namespace
