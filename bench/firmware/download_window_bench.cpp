// A 256 KB application image downloaded through the download window, through the real access
// library and the bus service, in real time; beside it the same image through the bootloader
// layer's own download, and the protocol's floor: every block's answer is read once and followed
// by the mandated 10 ms pause, so 256 blocks of 1024 bytes cannot go faster than 2.56 s. The
// window's procedure should reach the floor as closely as the bootloader layer does: its labels,
// progress bar and repaints cost nothing measurable per block.
//
// "of_floor_pct" is the floor against the mean run; min_pct, median_pct and max_pct the same
// for single runs.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bootloader/download.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "firmware/select_firmware.h"
#include "forms/form.h"
#include "fwpbuild/package_builder.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

namespace fsys = std::filesystem;

constexpr size_t kImageBytes = 256 * 1024;
constexpr double kBlockBytes = 1024;
constexpr double kBlocks = double(kImageBytes) / kBlockBytes;
constexpr double kPauseAfterReadMs = 10;

class MainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

// A downloader of the benchmark's own: platform root, program context, library, target list,
// and one download window inside a frame.
struct Downloader {
    fsys::path root = fsys::temp_directory_path() / ("firmware-bench-" + std::to_string(::getpid()));
    imagelift::ProgramContext ctx;
    MainWindow main;
    int32_t handle = 0;
    std::string folder;
    std::unique_ptr<forms::MDIForm> frame;
    std::shared_ptr<frmSelectFirmware> window;

    Downloader() {
        fsys::create_directories(root);
        ::setenv("LUMAREL_ROOT", root.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "3000", 1);
        if (!std::getenv("DISPLAY") && !std::getenv("WAYLAND_DISPLAY")) ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        const char* bin = std::getenv("LUMAREL_BIN");
        ctx.App.Path = bin ? bin : LUMAREL_BIN_DIR;
        ::setenv("LUMAREL_BIN", ctx.App.Path.c_str(), 0);
        ctx.MainChildForm = &main;
        ctx.DebugLoggingLevel = 17;
        imagelift::InstallContext(&ctx);
        basBootloader::Initialize();
        if (bas1394::LoadVsk1394Dll(user::CreateWindow("ThunderRT6TextBox", "")) == 0) return;
        for (int pass = 0; pass < 3 && handle == 0; ++pass) {
            bas1394::State.BusResetPending = false;
            bas1394::BusResetHandler();
            for (const auto& t : basBootloader::State.TargetList) {
                if (t.Device.NodeNumber != 128) handle = basBootloader::OpenBootloaderDevice(t.Device);
            }
        }
        std::vector<uint8_t> image(kImageBytes);
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i * 13 + i / 1024);
        folder = (root / "packages").string();
        fsys::create_directories(folder);
        fwp::PackageBuilder().Image1(image, 0x10000000).WriteTo(fsys::path(folder) / "bench.fwp");

        frame = std::make_unique<forms::MDIForm>("frmBenchFrame");
        frame->Show();
        window = std::make_shared<frmSelectFirmware>();
        window->Load();
        window->FirmwareType(basBootloader::kImageApplication);
        window->hDevice(handle);
        window->Show();
        window->Dir1.Path = folder;
    }

    ~Downloader() {
        if (window) window->Unload();
        window.reset();
        if (frame) frame->Unload();
        frame.reset();
        basBootloader::Terminate();
        // Stop the service this benchmark started.
        if (void* lib = ::dlopen((ctx.App.Path + "/" + bas1394::kAccessLibraryFile).c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            using Control = int32_t (*)(const char*, char*, int32_t);
            if (auto control = reinterpret_cast<Control>(::dlsym(lib, "Vsk1394Control"))) {
                char reply[256];
                control(R"({"cmd":"shutdown"})", reply, sizeof reply);
            }
            ::dlclose(lib);
        }
        bas1394::UnloadVsk1394Dll();
        imagelift::InstallContext(nullptr);
        std::error_code ec;
        fsys::remove_all(root, ec);
    }
};

// Made on first use and ended by main while the window system is still there: its window and
// frame cannot be torn down by a static destructor after the application object is gone.
std::unique_ptr<Downloader>& downloaderSlot() {
    static std::unique_ptr<Downloader> d;
    return d;
}
Downloader& downloader() {
    auto& d = downloaderSlot();
    if (!d) d = std::make_unique<Downloader>();
    return *d;
}

template <class Download>
void Measure(benchmark::State& state, Download&& download) {
    Downloader& d = downloader();
    if (d.handle == 0) {
        state.SkipWithError("no bootloader target on the bus service");
        return;
    }
    double totalMs = 0;
    std::vector<double> pct;  // of the floor, each run
    for (auto _ : state) {
        const int64_t start = clk::QueryPerformanceCounter();
        const int32_t result = download(d);
        const double runMs = clk::ElapsedMsFloat(start);
        totalMs += runMs;
        pct.push_back(100.0 * kBlocks * kPauseAfterReadMs / runMs);
        if (result != 1) {
            state.SkipWithError("download failed");
            return;
        }
    }
    const double ms = totalMs / double(state.iterations());
    const double floorMs = kBlocks * kPauseAfterReadMs;
    // kB/sec as the downloader reports it: bytes per millisecond.
    state.counters["kB_per_s"] = double(kImageBytes) / ms;
    state.counters["floor_kB_per_s"] = double(kImageBytes) / floorMs;
    state.counters["of_floor_pct"] = 100.0 * floorMs / ms;
    state.counters["ms_per_block"] = ms / kBlocks;
    std::sort(pct.begin(), pct.end());
    state.counters["min_pct"] = pct.front();
    state.counters["median_pct"] = pct[pct.size() / 2];
    state.counters["max_pct"] = pct.back();
}

// The download window's own procedure (what its download commands run).
void WindowDownload256K(benchmark::State& state) {
    Measure(state, [](Downloader& d) { return d.window->DownloadImage(basBootloader::kImageApplication, d.folder, "bench.fwp"); });
}

// The bootloader layer's download of the same package, for the per-block comparison.
void BootloaderDownload256K(benchmark::State& state) {
    Measure(state, [](Downloader& d) {
        return basBootloader::DownloadImage(d.handle, basBootloader::kImageApplication, d.folder + "/bench.fwp");
    });
}

BENCHMARK(WindowDownload256K)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();
BENCHMARK(BootloaderDownload256K)->Unit(benchmark::kMillisecond)->Iterations(5)->UseRealTime();

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    downloaderSlot().reset();  // stops the bus service it started
    return 0;
}
