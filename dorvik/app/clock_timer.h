// A periodic tick on the window thread, timed by platform/clock: the clock schedules it, the
// event loop runs it. Ticks that fall due while one still waits merge into it.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>

class QObject;

namespace dorvik {

class ClockTimer {
public:
    // Ticks every intervalMs on the thread of `context` until stopped or destroyed.
    ClockTimer(QObject* context, uint32_t intervalMs, std::function<void()> tick);
    ~ClockTimer();
    ClockTimer(const ClockTimer&) = delete;
    ClockTimer& operator=(const ClockTimer&) = delete;
    void Stop();

    struct State;

private:
    std::shared_ptr<State> state_;
};

}  // namespace dorvik
