// The mixer panel as a process on the bus service with a Lumarel 460 running its application,
// offscreen, in real time: from the process's start to the panel shown. The window is published
// at once; the message a second start posts is taken once the window is built (unit attached,
// settings sent, strips made) and its event loop runs, so the panel is up when the window
// registry says it is visible. The service runs before the first start.
//
// Two settings of the unit in one run, side by side: as it is (its state counts as changed, and
// the service saves it, only when a write changes the clock or a latency) and saving on every
// write (each of the ~200 channel-name writes of an attachment costing a save of the whole
// device state), which is how the unit behaved before.
#include <benchmark/benchmark.h>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>

#include "clock/clock.h"
#include "bus/service_fixture.h"
#include "user/window_mailbox.h"
#include "user/window_registry.h"

namespace {

namespace fsys = std::filesystem;

int64_t RealNow() {
    static clk::RealClock real;
    return real.Counter();
}
double SecondsSince(int64_t start) { return double(RealNow() - start) / double(clk::kCounterFrequency); }

std::optional<user::TopWindow> Panel(pid_t pid) {
    for (const auto& w : user::EnumTopWindows())
        if (w.pid == pid && w.className == "Lumarel460Pannel") return w;
    return std::nullopt;
}

class Setting {
public:
    Setting() {
        ::setenv("LUMAREL_BIN", LUMAREL_BIN_DIR, 0);
        image_ = fsys::temp_directory_path() / ("dorvik-bench-image-" + std::to_string(::getpid()));
        std::ofstream(image_, std::ios::binary) << std::string(256, '\x5A');
        const nlohmann::json description = bustest::HostAndUnitInApplication(image_);
        service_ = std::make_unique<bustest::ServiceRoot>("dorvik-bench", &description, 60000);
        service_->Control(nlohmann::json{{"cmd", "state"}});  // the service runs from here on
    }
    ~Setting() {
        service_.reset();
        std::error_code ec;
        fsys::remove(image_, ec);
    }

    // Every write of the unit's audio driver counts as a change to save, or only a real change.
    bool SaveEveryWrite(bool on) {
        const nlohmann::json reply = service_->Control(
            {{"cmd", "audio"}, {"id", "unit"}, {"audio_faults", {{"save_every_write", on}}}});
        return !reply.contains("error");
    }

    // One run: the time to the panel shown.
    bool Run(double& shownSeconds) {
        const int64_t start = RealNow();
        pid_t child = ::fork();
        if (child == 0) {
            int null = ::open("/dev/null", O_WRONLY);
            ::dup2(null, 1);
            ::dup2(null, 2);
            ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
            ::execl(LUMAREL_BIN_DIR "/Dorvik", "Dorvik", nullptr);
            ::_exit(127);
        }
        bustest::KillOnExit guard(child);
        std::optional<user::TopWindow> w;
        for (int i = 0; i < 10000 && !w; ++i) {
            w = Panel(child);
            if (!w) bustest::Breathe();
        }
        if (!w) return false;
        user::PostToTopWindow(*w, user::WM_USER + 5, 0, 0x203);
        for (int i = 0; i < 10000; ++i) {
            w = Panel(child);
            if (w && w->visible) break;
            bustest::Breathe();
        }
        if (!w || !w->visible) return false;
        shownSeconds = SecondsSince(start);
        ::kill(child, SIGTERM);
        return bustest::WaitGone(child);
    }

private:
    fsys::path image_;
    std::unique_ptr<bustest::ServiceRoot> service_;
};

Setting& setting() {
    static Setting s;
    return s;
}

void StartToPanelShown(benchmark::State& state, bool saveEveryWrite) {
    if (!setting().SaveEveryWrite(saveEveryWrite)) {
        state.SkipWithError("the unit did not take the saving mode");
        return;
    }
    for (auto _ : state) {
        double shown = 0;
        if (!setting().Run(shown)) {
            state.SkipWithError("the panel did not come up");
            return;
        }
        state.SetIterationTime(shown);
    }
}
// Ten starts each; the aggregates give min, median and max (and mean and spread) of the ten.
void TenStarts(benchmark::internal::Benchmark* b) {
    b->UseManualTime()
        ->Unit(benchmark::kMillisecond)
        ->Iterations(1)
        ->Repetitions(10)
        ->ComputeStatistics("min", [](const std::vector<double>& v) { return *std::min_element(v.begin(), v.end()); })
        ->ComputeStatistics("max", [](const std::vector<double>& v) { return *std::max_element(v.begin(), v.end()); })
        ->DisplayAggregatesOnly(true);
}
BENCHMARK_CAPTURE(StartToPanelShown, SavesOnlyAChange, false)->Apply(TenStarts);
BENCHMARK_CAPTURE(StartToPanelShown, SavesEveryWrite, true)->Apply(TenStarts);

}  // namespace
