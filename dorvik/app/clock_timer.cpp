#include "app/clock_timer.h"

#include <QMetaObject>
#include <QObject>
#include <atomic>
#include <mutex>

#include "clock/clock.h"

namespace dorvik {

struct ClockTimer::State {
    std::mutex m;
    bool alive = true;
    std::atomic<bool> queued{false};
    QObject* context = nullptr;
    uint32_t interval = 0;
    std::function<void()> tick;
};

namespace {

void deliver(const std::weak_ptr<ClockTimer::State>& weak) {
    auto s = weak.lock();
    if (!s) return;
    s->queued.store(false);
    {
        std::lock_guard<std::mutex> lock(s->m);
        if (!s->alive) return;
    }
    s->tick();
}

void schedule(std::weak_ptr<ClockTimer::State> weak, uint32_t interval) {
    clk::Current().Schedule(interval, [weak, interval] {
        auto s = weak.lock();
        if (!s) return;
        {
            // The context lives while `alive` holds: it is only read under the lock.
            std::lock_guard<std::mutex> lock(s->m);
            if (!s->alive) return;
            if (!s->queued.exchange(true))
                QMetaObject::invokeMethod(s->context, [weak] { deliver(weak); }, Qt::QueuedConnection);
        }
        schedule(weak, interval);
    });
}

}  // namespace

ClockTimer::ClockTimer(QObject* context, uint32_t intervalMs, std::function<void()> tick)
    : state_(std::make_shared<State>()) {
    state_->context = context;
    state_->interval = intervalMs;
    state_->tick = std::move(tick);
    schedule(state_, intervalMs);
}

ClockTimer::~ClockTimer() { Stop(); }

void ClockTimer::Stop() {
    std::lock_guard<std::mutex> lock(state_->m);
    state_->alive = false;
}

}  // namespace dorvik
