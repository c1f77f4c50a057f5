// The shell window under a console that prints without pause: 200 characters every 20 ms
// (10 kB/s, lines of 80) while the window polls every 20 ms, for a Lumarel 460 in each protocol version.
// Each iteration is one second on the program's clock (a manual clock: the device and the
// timers run exactly on schedule); the time measured is what that second costs the
// user-interface thread, which must stay well below one second for the window to keep up in
// real time. The counter chars_lost compares the box with everything the console printed: it
// must be 0.
#include <benchmark/benchmark.h>

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>

#include "app/bas_app.h"
#include "app/frame.h"
#include "bootloader/module.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "forms/app.h"
#include "forms/form.h"
#include "shell/shell_window.h"
#include "support/db_manager.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

namespace fsys = std::filesystem;
using sim::lumarel::ProtocolVariant;

constexpr int kPeriodMs = 20;
constexpr int kCharsPerPeriod = 200;

// Character `i` of what the console prints: lines of 78 letters ended by CR LF.
char StreamChar(int64_t i) {
    const int64_t column = i % 80;
    return column == 78 ? '\r' : column == 79 ? '\n' : char('a' + (i / 80 + column) % 26);
}

// A downloader of the benchmark's own: platform root, context, store, library hosting the bus,
// bootloader module, frame, and one shell window on one Lumarel 460.
class Program {
public:
    explicit Program(ProtocolVariant protocol) {
        ::setenv("QT_QPA_PLATFORM", "offscreen", 0);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        fsys::create_directories(root_ / "program");
        const char* bin = std::getenv("LUMAREL_BIN");
        ctx_.App.Path = bin ? bin : LUMAREL_BIN_DIR;
        ctx_.DebugLoggingLevel = basDebug::NONE;
        dbschema::CreateCleanDatabase(root_ / "program" / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(root_ / "program", basDebug::ReportStoreLine);
        imagelift::InstallContext(&ctx_);
        clk::Install(&clock_);
        basApp::SetEndProcess([](int) {});
        forms::EnsureApplication();

        bas1394::ResetModuleState();
        bus_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus_.SetLocalHost("host");
        bus_.AddVirtualDevice(bas1394::kVirtualDeviceName);
        library_ = ::dlopen((ctx_.App.Path + "/" + bas1394::kAccessLibraryFile).c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!library_) { fail("no access library"); return; }
        hostBus_ = reinterpret_cast<int32_t (*)(void*)>(::dlsym(library_, "Vsk1394HostBus"));
        if (!hostBus_ || hostBus_(&bus_) != 1) { fail("the library hosts no bus"); return; }
        if (bas1394::LoadVsk1394Dll(user::CreateWindow("ThunderRT6TextBox", "")) == 0) { fail("the library did not load"); return; }
        basBootloader::Initialize();
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        sim::lumarel::DeviceConfig config;
        config.protocol = protocol;
        bus_.AddNode("d", std::make_unique<sim::lumarel::Lumarel460Node>(config));
        bas1394::State.BusResetPending = false;
        bas1394::BusResetHandler();
        bas1394::NodeRecord node;
        node.NodeNumber = int16_t(bus_.PhyOf("d"));
        const int32_t handle = basBootloader::GetDeviceHandle(node);
        if (handle < 63) { fail("no target on the bus"); return; }

        window_ = std::make_shared<frmShell>();
        window_->Load();
        basApp::ShellWindows[0] = window_;
        window_->CurrentHandle(handle);
        window_->Show();
        window_->tmrPollForShellData.Interval = kPeriodMs;
        ready_ = true;
    }

    ~Program() {
        if (frame_) frame_->Unload();
        window_.reset();
        basApp::ShellWindows.clear();
        basApp::StatusWindows.clear();
        basApp::DownloadWindows.clear();
        basApp::MemoryWindows.clear();
        basApp::ReleaseRetiredWindows();
        frame_.reset();
        if (bas1394::State.LibraryModule != 0) bas1394::UnloadVsk1394Dll();
        if (hostBus_) hostBus_(nullptr);
        if (library_) ::dlclose(library_);
        clk::Install(nullptr);
        imagelift::InstallContext(nullptr);
        std::error_code ec;
        fsys::remove_all(root_, ec);
    }

    bool Ready() const { return ready_; }
    const std::string& Failure() const { return failure_; }

    // One second of the program's clock: the console prints a period's characters, then the
    // period passes with the window's events running.
    void RunOneSecond() {
        for (int period = 0; period < 1000 / kPeriodMs; ++period) {
            std::string chars(size_t(kCharsPerPeriod), ' ');
            for (char& c : chars) c = StreamChar(printed_++);
            bus_.WithNode("d", [&](sim::Node& n) {
                static_cast<sim::lumarel::Lumarel460Node&>(n).device().console().Emit(chars);
            });
            for (int t = 0; t < kPeriodMs; t += 5) {
                clock_.Advance(5);
                forms::DoEvents();
            }
        }
    }
    // Printed characters the box does not show (once the last poll has run).
    int64_t CharsLost() {
        for (int t = 0; t < 4 * kPeriodMs; t += 5) {
            clock_.Advance(5);
            forms::DoEvents();
        }
        const std::string shown = window_->txtShell.Text();
        int64_t lost = printed_ - int64_t(shown.size());
        for (size_t i = 0; i < shown.size(); ++i)
            if (shown[i] != StreamChar(int64_t(i))) return std::max<int64_t>(lost, 1);
        return lost;
    }
    int64_t Printed() const { return printed_; }

private:
    fsys::path root_ = fsys::temp_directory_path() / ("shell-bench-" + std::to_string(::getpid()));
    imagelift::ProgramContext ctx_;
    clk::ManualClock clock_;
    sim::Bus bus_;
    void* library_ = nullptr;
    int32_t (*hostBus_)(void*) = nullptr;
    std::unique_ptr<MDIForm1> frame_;
    std::shared_ptr<frmShell> window_;
    bool ready_ = false;
    std::string failure_;
    int64_t printed_ = 0;

    void fail(const std::string& why) { failure_ = why; }
};

void BM_SteadyConsoleOutput(benchmark::State& state) {
    Program program(static_cast<ProtocolVariant>(state.range(0)));
    if (!program.Ready()) {
        state.SkipWithError(("the program did not start on the simulated bus: " + program.Failure()).c_str());
        return;
    }
    for (auto _ : state) program.RunOneSecond();
    state.counters["chars_lost"] = double(program.CharsLost());
    state.counters["uart_bytes_per_s"] = double(kCharsPerPeriod) * 1000 / kPeriodMs;
    state.SetBytesProcessed(program.Printed());
    state.SetLabel(sim::lumarel::ToString(static_cast<ProtocolVariant>(state.range(0))));
}
BENCHMARK(BM_SteadyConsoleOutput)
    ->Arg(int(ProtocolVariant::V1))
    ->Arg(int(ProtocolVariant::V2))
    ->Arg(int(ProtocolVariant::V2BigEndian))
    ->Arg(int(ProtocolVariant::V3))
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);

}  // namespace
