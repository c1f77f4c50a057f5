// The downloader as a process, from its start to its first complete device list, on buses of
// 2, 16, 32 and 63 nodes: the local host, one Lumarel 460 in its bootloader and the rest nodes
// that carry the maker's company ID (so every one of them is kept in the node table and shown
// in the grid). Each bus has its own bus service; as in the start-up benchmark, one run that is
// not measured has added the 1394 virtual device first, and every run starts from a fresh store.
//
// Each size reports the min, median and max of its runs, the median per node, and its median
// against the median of the 2-node bus measured first in the same run ("vs_2_nodes"): the list
// should cost in proportion to its nodes, so 63 nodes stay within a small factor of 2.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <vector>

#include "tests/app/imagelift_process.h"
#include "tests/bus/service_fixture.h"

namespace {

namespace fsys = std::filesystem;
using imagelifttest::ImageliftProcess;
using nlohmann::json;

constexpr int kRuns = 5;

// The host, the Lumarel 460 and `nodes` - 2 other nodes with the maker's company ID.
json MakerBus(int nodes) {
    json list = json::array({json{{"id", "host"}, {"kind", "host"}},
                             json{{"id", "dev"}, {"kind", "lumarel460"}, {"mode", "bootloader"}}});
    for (int i = 2; i < nodes; ++i) {
        char guid[32];
        std::snprintf(guid, sizeof guid, "0x0A3C7E20%08X", unsigned(i));
        list.push_back(json{{"id", "maker" + std::to_string(i)},
                            {"kind", "foreign"},
                            {"guid", guid},
                            {"vendor_id", "0x0A3C7E"},
                            {"vendor", "Maker Node"},
                            {"model_id", "0x000200"},
                            {"model", "Maker Module"}});
    }
    return json{{"nodes", list}};
}

class Bus {
public:
    explicit Bus(int nodes) {
        ::setenv("LUMAREL_BIN", LUMAREL_BIN_DIR, 0);
        const json description = MakerBus(nodes);
        service_ = std::make_unique<bustest::ServiceRoot>("imagelift-list-" + std::to_string(nodes), &description,
                                                          120000);
        folder_ = imagelifttest::MakeProgramFolder(service_->Root() / "program");
        service_->Control(json{{"cmd", "state"}});  // the service runs from here on
        double warm = 0;
        ready_ = Run(warm);
    }

    // One run: seconds from the start to the first complete device list; false when none came.
    bool Run(double& seconds) {
        std::error_code ec;
        fsys::remove(folder_ / "db1.mdb", ec);
        const int64_t start = imagelifttest::RealNow();
        ImageliftProcess program(folder_, {}, {"QT_QPA_PLATFORM=offscreen"});
        if (!imagelifttest::WaitForDeviceList(folder_ / "db1.mdb", imagelifttest::kLumarelInBootloader, 60000, 1))
            return false;
        seconds = double(imagelifttest::RealMsSince(start)) / 1000;
        program.Close();
        return program.WaitExit(30000) == 0;
    }
    bool Ready() const { return ready_; }

private:
    std::unique_ptr<bustest::ServiceRoot> service_;
    fsys::path folder_;
    bool ready_ = false;
};

double baselineMedian = 0;  // of the 2-node bus, measured first

void FirstDeviceList(benchmark::State& state) {
    const int nodes = int(state.range(0));
    std::vector<double> times;
    {
        Bus bus(nodes);  // one bus service at a time: each owns the platform root while it runs
        for (auto _ : state) {
            double seconds = 0;
            if (!bus.Ready() || !bus.Run(seconds)) {
                state.SkipWithError("the program gave no complete device list or did not end");
                return;
            }
            times.push_back(seconds);
            state.SetIterationTime(seconds);
        }
    }
    std::sort(times.begin(), times.end());
    const double median = times[times.size() / 2];
    if (nodes == 2) baselineMedian = median;
    state.counters["min_s"] = times.front();
    state.counters["median_s"] = median;
    state.counters["max_s"] = times.back();
    state.counters["median_per_node_ms"] = median * 1000 / nodes;
    if (baselineMedian > 0) state.counters["vs_2_nodes"] = median / baselineMedian;
}
BENCHMARK(FirstDeviceList)
    ->Arg(2)
    ->Arg(16)
    ->Arg(32)
    ->Arg(63)
    ->UseManualTime()
    ->Unit(benchmark::kMillisecond)
    ->Iterations(kRuns);

}  // namespace
