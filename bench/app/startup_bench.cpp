// The downloader as a process on the embedded default bus (the local host and one Lumarel 460 in
// its bootloader), in real time: from the process's start to its first complete device list
// (the Lumarel 460 listed), and from the request to close to the end of its shut-down (windows
// unloaded, library unloaded, store compacted, process gone). The bus service runs before the
// first start, and one run that is not measured has added the 1394 virtual device (as any
// earlier run, or the update utility, leaves the machine): every measured run meets the bus as
// a program started later would. Each run starts from a fresh store.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "tests/app/imagelift_process.h"
#include "tests/bus/service_fixture.h"

namespace {

namespace fsys = std::filesystem;
using imagelifttest::ImageliftProcess;

class Setting {
public:
    Setting() {
        ::setenv("LUMAREL_BIN", LUMAREL_BIN_DIR, 0);
        service_ = std::make_unique<bustest::ServiceRoot>("imagelift-bench", nullptr, 60000);
        folder_ = imagelifttest::MakeProgramFolder(service_->Root() / "program");
        service_->Control(nlohmann::json{{"cmd", "state"}});  // the service runs from here on
        double first = 0, down = 0;
        ready_ = Run(first, down);
    }

    // One run: the time to the first complete device list and the time to shut down.
    bool Run(double& firstListSeconds, double& shutDownSeconds) {
        std::error_code ec;
        fsys::remove(folder_ / "db1.mdb", ec);
        const int64_t start = imagelifttest::RealNow();
        ImageliftProcess program(folder_, {}, {"QT_QPA_PLATFORM=offscreen"});
        if (!imagelifttest::WaitForDeviceList(folder_ / "db1.mdb", imagelifttest::kLumarelInBootloader, 30000, 1))
            return false;
        firstListSeconds = double(imagelifttest::RealMsSince(start)) / 1000;
        const int64_t close = imagelifttest::RealNow();
        program.Close();
        if (program.WaitExit(30000) != 0) return false;
        shutDownSeconds = double(imagelifttest::RealMsSince(close)) / 1000;
        return true;
    }
    bool Ready() const { return ready_; }

private:
    std::unique_ptr<bustest::ServiceRoot> service_;
    fsys::path folder_;
    bool ready_ = false;
};

Setting& setting() {
    static Setting s;
    return s;
}

// Runs the program once per iteration and reports the chosen one of its two times.
void Measure(benchmark::State& state, bool shutDown) {
    for (auto _ : state) {
        double first = 0, down = 0;
        if (!setting().Ready() || !setting().Run(first, down)) {
            state.SkipWithError("the program gave no device list or did not end");
            return;
        }
        state.SetIterationTime(shutDown ? down : first);
    }
}

void FirstDeviceList(benchmark::State& state) { Measure(state, false); }
void ShutDown(benchmark::State& state) { Measure(state, true); }
BENCHMARK(FirstDeviceList)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);
BENCHMARK(ShutDown)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
