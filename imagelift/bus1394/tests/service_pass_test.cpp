// A whole bus-reset pass through the real access library, loaded from the program folder as
// the downloader loads it, against the bus service with a simulated Lumarel 460 and a foreign
// node. Runs on the real clock: the service answers in real time.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "bus1394/bus_reset.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

namespace fsys = std::filesystem;
using namespace bas1394;

struct Logged {
    std::vector<std::string> lines;
};

class Status : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float, int32_t&, const std::optional<std::string>&) override {
        lines.push_back(message);
    }
    std::vector<std::string> lines;
};

class MainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override { ++nodesChanged; }
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
    int nodesChanged = 0;
};

// A temporary platform root with a bus description, and the program context the library logs
// into; both go when the test ends, also when an assertion ends it early.
class ServicePass : public ::testing::Test {
protected:
    void Start(const std::string& name, const std::string& busDescription) {
        const char* b = std::getenv("LUMAREL_BIN");
        ASSERT_NE(b, nullptr);
        bin = b;
        root = fsys::temp_directory_path() / (name + "-" + std::to_string(::getpid()));
        fsys::create_directories(root);
        ::setenv("LUMAREL_ROOT", root.c_str(), 1);
        const fsys::path description = root / "bus.json";
        std::ofstream(description) << busDescription;
        ::setenv("LUMAREL_BUS_DESCRIPTION", description.c_str(), 1);
        ctx.StatusWindow0 = &status;
        ctx.MainChildForm = &main;
        ctx.App.Path = bin;
        imagelift::InstallContext(&ctx);
        ResetModuleState();
    }
    void TearDown() override {
        // The library may stay loaded after its unload (the loader keeps some objects for good):
        // let go of this test's bus connection, so that the next test reaches its own service.
        if (void* lib = dlopen((bin + "/Vsk1394api.dll").c_str(), RTLD_NOW | RTLD_NOLOAD)) {
            using HostBusFn = int32_t (*)(void*);
            if (auto hostBus = reinterpret_cast<HostBusFn>(dlsym(lib, "Vsk1394HostBus"))) hostBus(nullptr);
            dlclose(lib);
        }
        imagelift::InstallContext(nullptr);
        ::unsetenv("LUMAREL_BUS_DESCRIPTION");
        std::error_code ec;
        if (!root.empty()) fsys::remove_all(root, ec);  // a service still running here ends once its root is gone
    }

    std::string bin;
    fsys::path root;
    imagelift::ProgramContext ctx;
    Status status;
    MainWindow main;
};

TEST_F(ServicePass, FindsTheLumarel460WithItsTexts) {
    ::setenv("LUMAREL_BUS_IDLE_MS", "3000", 1);
    Start("bus1394-service", R"({"nodes": [
        {"id": "host", "kind": "host"},
        {"id": "camera", "kind": "foreign", "vendor_id": "0x00A02D", "vendor": "Other Maker", "model": "Camera"},
        {"id": "dev", "kind": "lumarel460", "mode": "bootloader", "guid": "0A3C7E1000010002",
         "vendor": "NRX", "boot_model": "Lumarel 460 Boot"}],
      "virtual_devices": ["1394_VIRTUAL_DEVICE"]})");
    if (HasFatalFailure()) return;

    // The notice text box: bus-reset notices ask for a rebuild, as the main window's does.
    const user::HWND notices = user::CreateWindow("ThunderRT6TextBox", "", [](user::HWND h, uint32_t m,
                                                                             user::WPARAM w, user::LPARAM l) {
        if (m == 0x52E || m == 0x530 || m == 0x414) {
            State.BusResetPending = true;
            State.TopologyReady = false;
        }
        return user::DefWindowProc(h, m, w, l);
    });
    const auto previous = clk::SetDoEventsHandler([] { user::PumpMessages(); });

    ASSERT_NE(LoadVsk1394Dll(notices), 0);
    EXPECT_EQ(std::count(status.lines.begin(), status.lines.end(),
                         "RegisterClient failed in bas1394.LoadVsk1394Dll, code 0"), 0);

    // The first tick builds the table; ticks go on while resets keep coming in.
    State.BusResetPending = true;
    for (int tick = 0; tick < 50 && (State.BusResetPending || !State.TopologyReady); ++tick) {
        BusResetHandlerThread();
        user::PumpMessages();
    }
    EXPECT_TRUE(State.TopologyReady);

    std::optional<NodeRecord> device;
    for (const NodeRecord& n : State.NodeTable) {
        if (n.ConfigRom.BusInfo.NodeVendorId == kMakerCompanyId && n.NodeNumber == 2) device = n;
    }
    ASSERT_TRUE(device) << "Lumarel 460 not in the node table";
    EXPECT_EQ(basConfigRom::GetGuidText(device->ConfigRom), "0A3C7E10 00010002");
    EXPECT_EQ(basConfigRom::GetVendorText(device->ConfigRom), "NRX");
    EXPECT_EQ(basConfigRom::GetModelText(device->ConfigRom), "Lumarel 460 Boot");
    EXPECT_EQ(GetNodeRecord("vdev", 1).NodeNumber, kNoNode);  // the foreign node is left out
    EXPECT_EQ(GetNodeRecord("vdev", 0).NodeNumber, 0);        // the local host stays
    EXPECT_NE(std::find(status.lines.begin(), status.lines.end(),
                        "Node #2: GUID='0A3C7E10 00010002', Manufacturer='NRX', Model='Lumarel 460 Boot'"),
              status.lines.end());
    EXPECT_NE(std::find(status.lines.begin(), status.lines.end(),
                        "Node #1: GUID='FFFFFFFF FFFFFFFF', Manufacturer='Other Maker', Model='Camera'"),
              status.lines.end());

    // End the service this test started, then let go of the library.
    if (void* lib = dlopen((std::string(bin) + "/Vsk1394api.dll").c_str(), RTLD_NOW | RTLD_NOLOAD)) {
        using Control = int32_t (*)(const char*, char*, int32_t);
        if (auto control = reinterpret_cast<Control>(dlsym(lib, "Vsk1394Control"))) {
            char reply[256] = {};
            control(R"({"cmd": "shutdown"})", reply, sizeof reply);
        }
        dlclose(lib);
    }
    UnloadVsk1394Dll();
    clk::SetDoEventsHandler(previous);
    user::DestroyWindow(notices);
}

// A bus description the service refuses: loading the library says why in the status log,
// naming the service's log, since no device will ever show.
TEST_F(ServicePass, ABusTheServiceRefusesIsNamedInTheStatusLog) {
    Start("bus1394-refused", R"({"nodes": [{"id": "host", "kind": "host"},
                                                {"id": "dev", "kind": "lumarel460", "mode": "application"}]})");
    if (HasFatalFailure()) return;
    const user::HWND window = user::CreateWindow("ThunderRT6TextBox", "");

    ASSERT_NE(LoadVsk1394Dll(window), 0);
    const std::string serviceLog = (root / "bus" / "service.log").string();
    const auto line = std::find_if(status.lines.begin(), status.lines.end(), [&](const std::string& l) {
        return l.starts_with("ERROR: no 1394 bus: ") && l.find("\"mode\" needs a valid image") != std::string::npos &&
               l.find(serviceLog) != std::string::npos;
    });
    EXPECT_NE(line, status.lines.end()) << ::testing::PrintToString(status.lines);

    UnloadVsk1394Dll();
    user::DestroyWindow(window);
}

}  // namespace
