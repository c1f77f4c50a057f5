// An unattended bootloader and application run ("/B boot.fwp /D app.fwp") on the embedded default
// bus (the local host and one Lumarel 460 in its bootloader), in real time from the process's
// start to its exit with code 0.
//
// The run cannot be quicker than its floor: the waits the program keeps on purpose (the first
// attempt on the fourth scheduler tick, one a second, after a complete device list; the 10 ms
// pause after each answer read of the other commands: start and end of three downloads, the
// factory defaults and the start of the application; two seconds between the last attempt and
// the end) and 10 ms for each block of its downloads. The counters give the floor and the
// measured time over it; the run should stay within 10% of the floor.
#include <benchmark/benchmark.h>

#include <cstdlib>
#include <filesystem>

#include "fwpbuild/package_builder.h"
#include "app/imagelift_process.h"
#include "bus/service_fixture.h"

namespace {

namespace fsys = std::filesystem;
using imagelifttest::ImageliftProcess;
using nlohmann::json;

constexpr size_t kBlock = 1024;
constexpr size_t kAppBytes = 64 * kBlock, kConfigBytes = 4 * kBlock, kBootBytes = 32 * kBlock;
constexpr double kBlocks = double(kAppBytes + kConfigBytes + kBootBytes) / kBlock;
constexpr double kOtherCommands = 3 * 2 + 2;
// Four scheduler ticks before the attempt, two seconds before the end, 10 ms a block and a
// command.
constexpr double kFloorMs = 4 * 1000 + 2000 + 10 * (kBlocks + kOtherCommands);

std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> b(n);
    for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + seed + i / 251);
    return b;
}

class Setting {
public:
    Setting() {
        ::setenv("LUMAREL_BIN", LUMAREL_BIN_DIR, 0);
        service_ = std::make_unique<bustest::ServiceRoot>("automation-bench", nullptr, 60000);
        folder_ = imagelifttest::MakeProgramFolder(service_->Root() / "program");
        fwp::PackageBuilder().Image1(Pattern(kAppBytes, 1), 0x10000000).Config(Pattern(kConfigBytes, 2)).WriteTo(folder_ / "app.fwp");
        fwp::PackageBuilder().Image1(Pattern(kBootBytes, 3), 0).WriteTo(folder_ / "boot.fwp");
        service_->Control(json{{"cmd", "state"}});  // the service runs from here on
        double ms = 0;
        ready_ = Run(ms);  // not measured: the first run adds the virtual device
    }

    // One run from a device in its bootloader; the time from start to exit.
    bool Run(double& ms) {
        if (!BackToBootloader()) return false;
        std::error_code ec;
        fsys::remove(folder_ / "db1.mdb", ec);
        const int64_t start = imagelifttest::RealNow();
        ImageliftProcess program(folder_, {"/B", "boot.fwp", "/D", "app.fwp"}, {"QT_QPA_PLATFORM=offscreen"});
        if (program.WaitExit(60000) != 0) return false;
        ms = double(imagelifttest::RealMsSince(start));
        return true;
    }
    bool Ready() const { return ready_; }

private:
    // The application image made invalid and the device restarted: it comes up in its bootloader.
    bool BackToBootloader() {
        const json device = FindDevice();
        if (device.value("mode", "") == "bootloader") return true;
        service_->Control(json{{"cmd", "device"}, {"id", "lumarel460"}, {"corrupt_slot", 0}, {"power_cycle", true}});
        const int64_t start = imagelifttest::RealNow();
        while (imagelifttest::RealMsSince(start) < 10000) {
            const json d = FindDevice();
            if (d.value("mode", "") == "bootloader" && d.value("online", false)) return true;
            imagelifttest::Breathe(5);
        }
        return false;
    }
    json FindDevice() {
        const json state = service_->Control(json{{"cmd", "state"}});
        for (const auto& node : state.value("nodes", json::array()))
            if (node.value("id", "") == "lumarel460") return node.value("state", json::object());
        return json::object();
    }

    std::unique_ptr<bustest::ServiceRoot> service_;
    fsys::path folder_;
    bool ready_ = false;
};

Setting& setting() {
    static Setting s;
    return s;
}

void UnattendedBootloaderAndApplication(benchmark::State& state) {
    double total = 0;
    for (auto _ : state) {
        double ms = 0;
        if (!setting().Ready() || !setting().Run(ms)) {
            state.SkipWithError("the unattended run did not end with exit code 0");
            return;
        }
        total += ms;
        state.SetIterationTime(ms / 1000);
    }
    const double mean = total / double(state.iterations());
    state.counters["floor_ms"] = kFloorMs;
    state.counters["over_floor"] = mean / kFloorMs - 1;  // 0.1 is the bound
}
BENCHMARK(UnattendedBootloaderAndApplication)->UseManualTime()->Unit(benchmark::kMillisecond)->Iterations(3);

}  // namespace
