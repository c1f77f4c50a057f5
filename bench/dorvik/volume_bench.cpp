// A fader step as the mixer sends it: one AV/C volume command from the mixer core through the
// audio driver client and the bus service to the simulated unit's AV/C unit, and its answer
// back. Reports the 50th and 99th percentile of the round trip in milliseconds; a fader drag
// keeps up with the screen while the 99th stays under 2 ms.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <vector>

#include <nlohmann/json.hpp>

#include "audiodrv/audiodrv.h"
#include "clock/clock.h"
#include "core/panel.h"
#include "service/client.h"

namespace {

namespace fsys = std::filesystem;

// A platform root of the benchmark's own with a unit that runs its application; its service
// ends with the program.
struct Root {
    fsys::path dir = fsys::temp_directory_path() / ("dorvik-bench-" + std::to_string(::getpid()));
    Root() {
        fsys::create_directories(dir);
        std::ofstream(dir / "app.bin", std::ios::binary) << std::string(256, '\x5A');
        nlohmann::json d = {{"nodes",
                             {{{"id", "host"}, {"kind", "host"}},
                              {{"id", "unit"},
                               {"kind", "lumarel460"},
                               {"mode", "application"},
                               {"images", {{{"type", 0}, {"file", (dir / "app.bin").string()}}}}}}}};
        std::ofstream(dir / "bus.json") << d.dump();
        ::setenv("LUMAREL_ROOT", dir.c_str(), 1);
        ::setenv("LUMAREL_BUS_SERVICE", LUMAREL_BUS_PROGRAM, 1);
        ::setenv("LUMAREL_BUS_DESCRIPTION", (dir / "bus.json").c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "2000", 1);
    }
    ~Root() {
        audiodrv::HostBus(nullptr);
        if (auto a = bussvc::ConnectToRunningService(nullptr)) {
            std::string reply;
            a->Control(R"({"cmd":"shutdown"})", reply);
        }
        std::error_code ec;
        fsys::remove_all(dir, ec);
    }
};

void VolumeRoundTrip(benchmark::State& state) {
    static Root root;
    dorvik::MixerUi ui;
    dorvik::Panel panel(ui);
    panel.AttachDevice();
    if (!panel.Attached()) {
        state.SkipWithError("the unit's audio driver was not found");
        return;
    }
    panel.applied.sampleRate = int32_t(panel.clock.rate);
    std::vector<double> ms;
    ms.reserve(100000);
    int32_t level = 207;
    for (auto _ : state) {
        const int64_t start = clk::QueryPerformanceCounter();
        uint32_t out = 0;
        if (!panel.SendVolume(0, 0, dorvik::VolumeForLevel(level), out)) {
            state.SkipWithError("the volume command failed");
            break;
        }
        const double took = double(clk::QueryPerformanceCounter() - start) / double(clk::QueryPerformanceFrequency());
        state.SetIterationTime(took);
        ms.push_back(took * 1000.0);
        level = level == 255 ? 207 : level + 1;  // a fader drag over its travel
    }
    if (ms.empty()) return;
    std::sort(ms.begin(), ms.end());
    state.counters["p50_ms"] = ms[ms.size() / 2];
    state.counters["p99_ms"] = ms[std::min(ms.size() - 1, ms.size() * 99 / 100)];
}
BENCHMARK(VolumeRoundTrip)->UseManualTime()->Unit(benchmark::kMicrosecond)->MinTime(1.0);

}  // namespace
