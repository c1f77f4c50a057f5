// Key batches of 100 and 1000 reads, each into a data file of its own, carried out by the batch
// runner in this process on a simulated Lumarel 460 (the real access library hosting the bus),
// on the manual clock: the device's answers and the protocol's pauses cost no real time, so what
// is measured is the batch's own work (reading the batch, the reads, the report and the data
// files). A batch is linear in its entries: the reads per second ("items_per_second") stay the
// same from 100 to 1000 reads, and 1000 reads take no more than 12 times 100.
//
// The batch is named as an unattended command line gives it (upper case, "BATCH/KEYS.TXT"), so
// every file name is looked up in the folder without regard to case, as in a real run. Each
// iteration starts from a new folder with the batch alone.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "automation/automation.h"
#include "bootloader/module.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

namespace fsys = std::filesystem;

class MainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

// The downloader's lower layers on an in-process bus with one Lumarel 460 holding a key.
class Bench {
public:
    Bench() {
        char pattern[] = "/tmp/key-batch-bench-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        clk::Install(&clock_);
        const char* bin = std::getenv("LUMAREL_BIN");
        ctx_.App.Path = bin ? bin : LUMAREL_BIN_DIR;
        ctx_.MainChildForm = &main_;
        ctx_.DebugLoggingLevel = 17;  // nothing to a store
        imagelift::InstallContext(&ctx_);
        bas1394::ResetModuleState();

        bus_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus_.SetLocalHost("host");
        bus_.AddVirtualDevice(bas1394::kVirtualDeviceName);
        sim::lumarel::DeviceConfig config;
        config.factoryGuid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02};
        auto node = std::make_unique<sim::lumarel::Lumarel460Node>(config);
        node->device().SetKey("SERIAL", {'S', 'N', '-', '0', '0', '4', '2'});
        bus_.AddNode("dev", std::move(node));

        library_ = ::dlopen((ctx_.App.Path + "/" + bas1394::kAccessLibraryFile).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_) return;
        auto hostBus = reinterpret_cast<int32_t (*)(void*)>(::dlsym(library_, "Vsk1394HostBus"));
        if (!hostBus) return;
        hostBus(&bus_);
        window_ = user::CreateWindow("ThunderRT6TextBox", "");
        if (bas1394::LoadVsk1394Dll(window_) == 0) return;
        basBootloader::Initialize();
        bas1394::State.BusResetPending = false;
        ready_ = bas1394::BusResetHandler() == 1;
    }
    ~Bench() {
        fsys::current_path("/");
        basBootloader::Terminate();
        bas1394::UnloadVsk1394Dll();
        if (library_) {
            if (auto hostBus = reinterpret_cast<int32_t (*)(void*)>(::dlsym(library_, "Vsk1394HostBus"))) hostBus(nullptr);
            ::dlclose(library_);
        }
        if (window_) user::DestroyWindow(window_);
        imagelift::InstallContext(nullptr);
        clk::Install(nullptr);
        std::error_code ec;
        fsys::remove_all(root_, ec);
    }
    bool Ready() const { return ready_; }

    // A new current folder with a batch of `reads` reads alone in its folder "batch". Earlier
    // runs' files stay until the end: removing thousands of files between runs would make the
    // file system slower to create the next ones, which is no work of the batch's.
    void FreshBatch(int reads) {
        const fsys::path work = root_ / ("work" + std::to_string(++runs_));
        fsys::create_directories(work / "batch");
        fsys::current_path(work);
        std::ofstream out(work / "batch" / "keys.txt", std::ios::binary);
        for (int i = 1; i <= reads; ++i) out << "read 0A3C7E1000010002 SERIAL serial" << i << ".txt\r\n";
    }
    // The rows of the last report that succeeded.
    int Successes() const {
        std::ifstream in(fsys::current_path() / "batch" / "KEYS.out.txt", std::ios::binary);
        int n = 0;
        for (std::string line; std::getline(in, line);) n += line.find(" </td><td> SUCCESS </td><td> ") != std::string::npos;
        return n;
    }

private:
    fsys::path root_;
    clk::ManualClock clock_;
    imagelift::ProgramContext ctx_;
    MainWindow main_;
    sim::Bus bus_;
    void* library_ = nullptr;
    user::HWND window_ = 0;
    bool ready_ = false;
    int runs_ = 0;
};

Bench& bench() {
    static Bench b;
    return b;
}

void KeyBatchReads(benchmark::State& state) {
    const int reads = int(state.range(0));
    if (!bench().Ready()) {
        state.SkipWithError("the simulated bus did not come up");
        return;
    }
    for (auto _ : state) {
        state.PauseTiming();
        bench().FreshBatch(reads);
        basAutomation::ResetState();
        state.ResumeTiming();
        basAutomation::PerformKeyBatchOperation("BATCH/KEYS.TXT");
        state.PauseTiming();
        if (bench().Successes() != reads) {
            state.SkipWithError("not every read succeeded");
            return;
        }
        state.ResumeTiming();
    }
    state.SetItemsProcessed(int64_t(reads) * int64_t(state.iterations()));
}
BENCHMARK(KeyBatchReads)->Arg(100)->Arg(1000)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
