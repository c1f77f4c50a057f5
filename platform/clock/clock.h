// The one source of time and waiting for every program and the simulated bus.
//
// Code reads the performance counter, elapsed milliseconds and the wall time only through
// here, and waits only through clk::Sleep. Production runs on the real clock; tests install a
// ManualClock, on which Sleep advances time instantly and callbacks scheduled on the clock (the
// simulated device's answers, timer ticks) run in time order as time passes.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>

namespace clk {

// Counter ticks per second of both clocks (the platform's usual 10 MHz performance counter).
inline constexpr int64_t kCounterFrequency = 10'000'000;

class Clock {
public:
    virtual ~Clock() = default;
    // Performance counter in ticks of kCounterFrequency.
    virtual int64_t Counter() = 0;
    // Waits (real clock) or advances time (manual clock) by ms milliseconds. The real clock's
    // wait may end a little late (tenths of a millisecond in a virtual machine): fine for polls.
    virtual void Sleep(uint32_t ms) = 0;
    // Waits until the counter reaches `counter` (returns at once when it has). For pauses a
    // device's protocol counts, repeated over a long run of steps (the bootloader's pause after
    // each answer of a download): the real clock sleeps to just short of the end and spends the
    // last part on the CPU, so the pause ends within microseconds of its length, never before.
    virtual void SleepUntil(int64_t counter) = 0;
    // Wall time (UTC).
    virtual std::chrono::system_clock::time_point WallNow() = 0;
    // Runs fn once the clock has passed `delayMs` from now. On the real clock fn runs on a
    // helper thread; on the manual clock it runs inside Sleep/Advance of whoever moves time.
    virtual void Schedule(uint32_t delayMs, std::function<void()> fn) = 0;
    virtual bool IsManual() const { return false; }
};

// The clock in force. The real clock by default.
Clock& Current();
// Installs a clock (nullptr restores the real clock). The caller keeps ownership.
void Install(Clock* clock);

// Installs a clock for the lifetime of a scope (tests).
class ScopedClock {
public:
    explicit ScopedClock(Clock& c) { Install(&c); }
    ~ScopedClock() { Install(nullptr); }
    ScopedClock(const ScopedClock&) = delete;
    ScopedClock& operator=(const ScopedClock&) = delete;
};

// The performance counter and its frequency.
int64_t QueryPerformanceCounter();
int64_t QueryPerformanceFrequency();
// Whole milliseconds elapsed since an earlier counter value (negative never; wraps not).
int32_t ElapsedMsSince(int64_t startCounter);
// The same as a 32-bit float with sub-millisecond part.
float ElapsedMsFloat(int64_t startCounter);
// Milliseconds since the clock started (monotonic; what the platform's tick count gives).
int64_t TickCountMs();
void Sleep(uint32_t ms);
void SleepUntil(int64_t counter);
std::chrono::system_clock::time_point WallNow();

// The DoEvents seam: lets pending window messages and timer ticks run. Long work on the user
// interface thread calls it; the window layer installs the real handler, tests install theirs.
// Without a handler it does nothing.
void DoEvents();
using DoEventsHandler = std::function<void()>;
// Installs a handler and returns the previous one.
DoEventsHandler SetDoEventsHandler(DoEventsHandler handler);

class RealClock final : public Clock {
public:
    RealClock();
    ~RealClock() override;
    int64_t Counter() override;
    void Sleep(uint32_t ms) override;
    void SleepUntil(int64_t counter) override;
    std::chrono::system_clock::time_point WallNow() override;
    void Schedule(uint32_t delayMs, std::function<void()> fn) override;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Time moves only when someone sleeps or calls Advance. Thread-safe; scheduled callbacks run
// without the clock's lock held, on the thread that moves time, each with the clock set to its
// due time. Callbacks may schedule further callbacks and may themselves sleep.
class ManualClock final : public Clock {
public:
    // Starts at counter 0 and at the given wall time (default 2026-01-05 12:00:00 UTC).
    ManualClock();
    explicit ManualClock(std::chrono::system_clock::time_point wallStart);
    ~ManualClock() override;
    int64_t Counter() override;
    void Sleep(uint32_t ms) override;
    void SleepUntil(int64_t counter) override;
    std::chrono::system_clock::time_point WallNow() override;
    void Schedule(uint32_t delayMs, std::function<void()> fn) override;
    bool IsManual() const override { return true; }

    // Moves time forward by microseconds, running callbacks that fall due on the way.
    void AdvanceMicros(int64_t us);
    void Advance(uint32_t ms) { AdvanceMicros(int64_t(ms) * 1000); }
    // Runs callbacks due now (delay 0) without moving time.
    void RunDue();
    int64_t NowMicros() const;
    size_t PendingCallbacks() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace clk
