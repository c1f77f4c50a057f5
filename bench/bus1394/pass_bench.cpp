// Time of one whole bus-reset pass (virtual-device refresh, topology map, every node's config
// ROM, the node table) on a 63-node bus hosted in this process. The manual clock makes the
// settle delay and the bus's own timing free, so what is measured is the program's work and
// the simulator's bookkeeping, reported per node.
#include <benchmark/benchmark.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <string>

#include "bus1394/bus_reset.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/program_context.h"

namespace {

namespace fsys = std::filesystem;
constexpr int kNodes = 63;

class QuietStatus : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float, int32_t&, const std::optional<std::string>&) override {
        benchmark::DoNotOptimize(message.size());
    }
};

class QuietMain : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

// The local host, then Lumarel 460s in their bootloader and foreign AV/C nodes in turn.
std::string Description() {
    std::ostringstream d;
    d << R"({"virtual_devices": ["1394_VIRTUAL_DEVICE"], "nodes": [{"id": "host", "kind": "host"})";
    for (int i = 1; i < kNodes; ++i) {
        if (i % 2) {
            char guid[17];
            std::snprintf(guid, sizeof guid, "0A3C7E10%08X", 0x00010000u + unsigned(i));
            d << R"(, {"id": "dev)" << i << R"(", "kind": "lumarel460", "mode": "bootloader", "guid": ")" << guid
              << R"("})";
        } else {
            d << R"(, {"id": "foreign)" << i << R"(", "kind": "foreign"})";
        }
    }
    d << "]}";
    return d.str();
}

void BM_FullPass(benchmark::State& state) {
    const fsys::path root = fsys::temp_directory_path() / ("bus1394-bench-" + std::to_string(::getpid()));
    fsys::create_directories(root);
    ::setenv("LUMAREL_ROOT", root.c_str(), 1);
    std::ofstream(root / "bus.json") << Description();
    ::setenv("LUMAREL_BUS_INPROCESS", (root / "bus.json").c_str(), 1);

    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    imagelift::ProgramContext ctx;
    QuietStatus status;
    QuietMain main;
    ctx.StatusWindow0 = &status;
    ctx.MainChildForm = &main;
    const char* bin = std::getenv("LUMAREL_BIN");
    ctx.App.Path = bin ? bin : LUMAREL_BIN_DIR;
    imagelift::InstallContext(&ctx);
    bas1394::ResetNodeTable();
    if (bas1394::LoadVsk1394Dll(0) == 0) {
        state.SkipWithError("the access library could not be loaded");
        imagelift::InstallContext(nullptr);
        return;
    }

    for (auto _ : state) {
        bas1394::State.BusResetPending = true;
        bas1394::BusResetHandlerThread();
    }
    if (!bas1394::State.TopologyReady || bas1394::State.NodeTable.size() < kNodes / 2) {
        state.SkipWithError("the pass did not complete");
    }
    state.counters["nodes"] = kNodes;
    state.counters["us_per_node"] = benchmark::Counter(
        double(state.iterations()) * kNodes, benchmark::Counter::kIsRate | benchmark::Counter::kInvert);

    bas1394::UnloadVsk1394Dll();
    imagelift::InstallContext(nullptr);
    std::error_code ec;
    fsys::remove_all(root, ec);
}
BENCHMARK(BM_FullPass)->Unit(benchmark::kMillisecond);

}  // namespace
