#include "clock/clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

TEST(ManualClock, SleepAdvancesTimeAndRunsCallbacksInTimeOrder) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    std::vector<std::string> order;
    manual.Schedule(30, [&] { order.push_back("30@" + std::to_string(clk::TickCountMs())); });
    manual.Schedule(10, [&] {
        order.push_back("10@" + std::to_string(clk::TickCountMs()));
        // A callback may schedule more work that falls due inside the same sleep.
        manual.Schedule(5, [&] { order.push_back("15@" + std::to_string(clk::TickCountMs())); });
    });
    manual.Schedule(10, [&] { order.push_back("10b"); });
    int64_t start = clk::QueryPerformanceCounter();
    clk::Sleep(100);
    EXPECT_EQ(clk::ElapsedMsSince(start), 100);
    EXPECT_FLOAT_EQ(clk::ElapsedMsFloat(start), 100.0f);
    EXPECT_EQ(order, (std::vector<std::string>{"10@10", "10b", "15@15", "30@30"}));
    EXPECT_EQ(manual.PendingCallbacks(), 0u);
}

TEST(ManualClock, CallbacksBeyondTheSleepWait) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    bool ran = false;
    manual.Schedule(2000, [&] { ran = true; });
    clk::Sleep(1999);
    EXPECT_FALSE(ran);
    clk::Sleep(1);
    EXPECT_TRUE(ran);
}

TEST(ManualClock, WallTimeMovesWithTheCounter) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    auto before = clk::WallNow();
    clk::Sleep(1500);
    EXPECT_EQ(std::chrono::duration_cast<std::chrono::milliseconds>(clk::WallNow() - before).count(), 1500);
}

TEST(ManualClock, SleepUntilReachesTheCounterAndNeverGoesBack) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    bool ran = false;
    manual.Schedule(3, [&] { ran = true; });
    clk::SleepUntil(25'001);  // 2.5001 ms: the clock moves in microseconds, never short of it
    EXPECT_FALSE(ran);
    EXPECT_GE(clk::QueryPerformanceCounter(), 25'001);
    EXPECT_EQ(manual.NowMicros(), 2501);
    clk::SleepUntil(0);  // passed: at once
    EXPECT_EQ(manual.NowMicros(), 2501);
    clk::SleepUntil(30'000);
    EXPECT_TRUE(ran);
    EXPECT_EQ(manual.NowMicros(), 3000);
}

TEST(DoEvents, RunsTheInstalledHandlerOnly) {
    int calls = 0;
    clk::DoEvents();  // no handler: nothing happens
    auto previous = clk::SetDoEventsHandler([&] { ++calls; });
    clk::DoEvents();
    clk::DoEvents();
    clk::SetDoEventsHandler(previous);
    clk::DoEvents();
    EXPECT_EQ(calls, 2);
}

TEST(RealClock, SleepUntilNeverEndsEarly) {
    for (const int64_t ticks : {int64_t(0), int64_t(1'000), int64_t(20'000), int64_t(100'000)}) {
        const int64_t end = clk::QueryPerformanceCounter() + ticks;
        clk::SleepUntil(end);
        EXPECT_GE(clk::QueryPerformanceCounter(), end) << ticks;
    }
}

TEST(RealClock, ScheduledCallbackRuns) {
    std::atomic<bool> ran{false};
    clk::Current().Schedule(1, [&] { ran = true; });
    for (int i = 0; i < 2000 && !ran; ++i) clk::Sleep(1);
    EXPECT_TRUE(ran);
}

}  // namespace
