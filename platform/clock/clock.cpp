#include "clock/clock.h"

#include <sys/prctl.h>

#include <atomic>
#include <condition_variable>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace clk {

namespace {
RealClock& realClock() {
    static RealClock c;
    return c;
}
std::atomic<Clock*> g_current{nullptr};
std::mutex g_doEventsMutex;
DoEventsHandler g_doEvents;
}  // namespace

Clock& Current() {
    Clock* c = g_current.load(std::memory_order_acquire);
    return c ? *c : realClock();
}

void Install(Clock* clock) { g_current.store(clock, std::memory_order_release); }

int64_t QueryPerformanceCounter() { return Current().Counter(); }
int64_t QueryPerformanceFrequency() { return kCounterFrequency; }

int32_t ElapsedMsSince(int64_t startCounter) {
    int64_t d = Current().Counter() - startCounter;
    if (d < 0) d = 0;
    int64_t ms = d / (kCounterFrequency / 1000);
    return ms > INT32_MAX ? INT32_MAX : int32_t(ms);
}

float ElapsedMsFloat(int64_t startCounter) {
    int64_t d = Current().Counter() - startCounter;
    if (d < 0) d = 0;
    return float(double(d) * 1000.0 / double(kCounterFrequency));
}

int64_t TickCountMs() { return Current().Counter() / (kCounterFrequency / 1000); }
void Sleep(uint32_t ms) { Current().Sleep(ms); }
void SleepUntil(int64_t counter) { Current().SleepUntil(counter); }
std::chrono::system_clock::time_point WallNow() { return Current().WallNow(); }

void DoEvents() {
    DoEventsHandler h;
    {
        std::lock_guard<std::mutex> lock(g_doEventsMutex);
        h = g_doEvents;
    }
    if (h) h();
}

DoEventsHandler SetDoEventsHandler(DoEventsHandler handler) {
    std::lock_guard<std::mutex> lock(g_doEventsMutex);
    std::swap(g_doEvents, handler);
    return handler;
}

// ---------------------------------------------------------------- real clock

struct RealClock::Impl {
    std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
    std::mutex m;
    std::condition_variable cv;
    std::multimap<std::chrono::steady_clock::time_point, std::function<void()>> due;
    std::thread worker;
    bool stop = false;

    void run() {
        std::unique_lock<std::mutex> lock(m);
        while (!stop) {
            if (due.empty()) {
                cv.wait(lock);
                continue;
            }
            auto first = due.begin();
            if (cv.wait_until(lock, first->first) == std::cv_status::timeout ||
                std::chrono::steady_clock::now() >= due.begin()->first) {
                if (due.empty()) continue;
                auto it = due.begin();
                if (std::chrono::steady_clock::now() < it->first) continue;
                auto fn = std::move(it->second);
                due.erase(it);
                lock.unlock();
                // The worker thread has nobody to hand a failure to: a callback that throws
                // must not end the process or stop the callbacks due after it.
                try {
                    fn();
                } catch (...) {
                    // Dropped (see above): the worker thread has nobody to tell.
                }
                lock.lock();
            }
        }
    }
};

RealClock::RealClock() : impl_(std::make_unique<Impl>()) {}

RealClock::~RealClock() {
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        impl_->stop = true;
    }
    impl_->cv.notify_all();
    if (impl_->worker.joinable()) impl_->worker.join();
}

int64_t RealClock::Counter() {
    auto d = std::chrono::steady_clock::now() - impl_->start;
    return std::chrono::duration_cast<std::chrono::nanoseconds>(d).count() / 100;
}

namespace {
// The kernel's default timer slack (50 us per sleep) would add up where a short pause paces a
// long run of steps, such as a download's blocks.
void preciseTimers() {
    thread_local const bool precise = ::prctl(PR_SET_TIMERSLACK, 1UL, 0UL, 0UL, 0UL) == 0;
    (void)precise;
}
}  // namespace

void RealClock::Sleep(uint32_t ms) {
    preciseTimers();
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

void RealClock::SleepUntil(int64_t counter) {
    // Even with no slack a sleeper wakes some tens of microseconds late, up to two tenths of a
    // millisecond in a virtual machine; the sleep stops that much short and the rest is waited
    // out on the CPU.
    constexpr auto kSpin = std::chrono::microseconds(300);
    preciseTimers();
    const auto end = impl_->start + std::chrono::nanoseconds(counter * 100);
    if (end - std::chrono::steady_clock::now() > kSpin) std::this_thread::sleep_until(end - kSpin);
    while (std::chrono::steady_clock::now() < end) {
    }
}

std::chrono::system_clock::time_point RealClock::WallNow() { return std::chrono::system_clock::now(); }

void RealClock::Schedule(uint32_t delayMs, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(impl_->m);
    if (!impl_->worker.joinable()) impl_->worker = std::thread([this] { impl_->run(); });
    impl_->due.emplace(std::chrono::steady_clock::now() + std::chrono::milliseconds(delayMs), std::move(fn));
    impl_->cv.notify_all();
}

// -------------------------------------------------------------- manual clock

struct ManualClock::Impl {
    mutable std::mutex m;
    int64_t nowUs = 0;
    uint64_t nextSeq = 0;
    std::chrono::system_clock::time_point wallStart;
    // (due time, sequence) keeps callbacks of one due time in the order they were scheduled.
    std::map<std::pair<int64_t, uint64_t>, std::function<void()>> due;
};

ManualClock::ManualClock()
    : ManualClock(std::chrono::system_clock::time_point(std::chrono::seconds(1767614400))) {}

ManualClock::ManualClock(std::chrono::system_clock::time_point wallStart) : impl_(std::make_unique<Impl>()) {
    impl_->wallStart = wallStart;
}

ManualClock::~ManualClock() = default;

int64_t ManualClock::Counter() {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->nowUs * (kCounterFrequency / 1'000'000);
}

int64_t ManualClock::NowMicros() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->nowUs;
}

size_t ManualClock::PendingCallbacks() const {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->due.size();
}

void ManualClock::Sleep(uint32_t ms) { Advance(ms); }

void ManualClock::SleepUntil(int64_t counter) {
    constexpr int64_t kTicksPerUs = kCounterFrequency / 1'000'000;
    const int64_t us = (counter + kTicksPerUs - 1) / kTicksPerUs - NowMicros();
    if (us > 0) AdvanceMicros(us);
}

std::chrono::system_clock::time_point ManualClock::WallNow() {
    std::lock_guard<std::mutex> lock(impl_->m);
    return impl_->wallStart + std::chrono::microseconds(impl_->nowUs);
}

void ManualClock::Schedule(uint32_t delayMs, std::function<void()> fn) {
    std::lock_guard<std::mutex> lock(impl_->m);
    impl_->due.emplace(std::make_pair(impl_->nowUs + int64_t(delayMs) * 1000, impl_->nextSeq++), std::move(fn));
}

void ManualClock::AdvanceMicros(int64_t us) {
    int64_t target;
    {
        std::lock_guard<std::mutex> lock(impl_->m);
        target = impl_->nowUs + (us > 0 ? us : 0);
    }
    for (;;) {
        std::function<void()> fn;
        {
            std::lock_guard<std::mutex> lock(impl_->m);
            auto it = impl_->due.begin();
            if (it == impl_->due.end() || it->first.first > target) {
                if (impl_->nowUs < target) impl_->nowUs = target;
                return;
            }
            if (impl_->nowUs < it->first.first) impl_->nowUs = it->first.first;
            fn = std::move(it->second);
            impl_->due.erase(it);
        }
        fn();
    }
}

void ManualClock::RunDue() { AdvanceMicros(0); }

}  // namespace clk
