// A second downloader for the cross-process tests: loads the access library (which reaches the
// bus service of LUMAREL_ROOT), builds the target list and runs key round trips with its own
// key name and data, on the real clock. Prints one line per failure; exit code 0 when every
// round trip gave back exactly what was written.
//
//   bootloader_peer NAME COUNT [handshake]
// With "handshake" the peer prints "ready" once it has its target, waits for a line on standard
// input, and prints "first <ms>": how long its first key write took.
#include <cstdio>
#include <cstdlib>
#include <optional>
#include <string>

#include "bootloader/keys.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bus1394/bus_reset.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

class MainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

// With BOOTLOADER_PEER_LOG set, every log line goes to standard error.
class StatusWindow : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                     const std::optional<std::string>& module) override {
        std::fprintf(stderr, "%10.1f %2d %s: %s\n", double(elapsedMs), priority, module.value_or("").c_str(),
                     message.c_str());
    }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string name = argv[1];
    const int count = std::atoi(argv[2]);
    imagelift::ProgramContext ctx;
    MainWindow main;
    ctx.MainChildForm = &main;
    StatusWindow status;
    if (std::getenv("BOOTLOADER_PEER_LOG")) ctx.StatusWindow0 = &status;
    ctx.DebugLoggingLevel = 17;
    const char* bin = std::getenv("LUMAREL_BIN");
    ctx.App.Path = bin ? bin : ".";
    imagelift::InstallContext(&ctx);

    basBootloader::Initialize();
    const user::HWND window = user::CreateWindow("ThunderRT6TextBox", "");
    if (bas1394::LoadVsk1394Dll(window) == 0) {
        std::printf("no access library\n");
        return 3;
    }
    // The first pass adds the virtual device (its reset notice would start the next pass).
    int32_t handle = 0;
    for (int pass = 0; pass < 3 && handle == 0; ++pass) {
        bas1394::State.BusResetPending = false;
        bas1394::BusResetHandler();
        for (const auto& t : basBootloader::State.TargetList) {
            if (t.Handle >= 63 && t.Device.NodeNumber != 128) handle = t.Handle;
        }
    }
    if (handle == 0) {
        std::printf("no target\n");
        return 5;
    }
    const bool handshake = argc > 3 && std::string(argv[3]) == "handshake";
    if (handshake) {
        std::printf("ready\n");
        std::fflush(stdout);
        char line[16];
        if (!std::fgets(line, sizeof line, stdin)) return 6;
    }
    int failures = 0;
    for (int i = 0; i < count; ++i) {
        const int64_t start = clk::QueryPerformanceCounter();
        basBootloader::ByteArray data(200 + i);
        for (size_t k = 0; k < data.size(); ++k) data[k] = uint8_t(name[k % name.size()] + i + k);
        int32_t w = basBootloader::WriteKey(handle, name, data);
        if (handshake && i == 0) {
            std::printf("first %d\n", clk::ElapsedMsSince(start));
            std::fflush(stdout);
        }
        basBootloader::ByteArray back;
        int32_t r = basBootloader::ReadKey(handle, name, back);
        if (w != 1 || r != 1 || back.size() != data.size() + 1 ||
            !std::equal(data.begin(), data.end(), back.begin())) {
            std::printf("round trip %d: write %d, read %d\n", i, w, r);
            ++failures;
        }
    }
    basBootloader::Terminate();
    bas1394::UnloadVsk1394Dll();
    std::printf("done %d\n", failures);
    return failures == 0 ? 0 : 1;
}
