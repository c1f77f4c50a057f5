// Bus-reset passes through the real access library on a simulated bus hosted in the test
// process, driven by the manual clock: the library's notices reach a notice window whose
// procedure sets the flags, and pending window events are let through as the program does.
#include <gtest/gtest.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/bus.h"
#include "bus/description.h"
#include "bus1394/bus_reset.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "device/node_kinds.h"
#include "tests/rom_builder.h"
#include "support/program_context.h"
#include "user/user.h"

namespace {

namespace fsys = std::filesystem;
using namespace bas1394;

class Status : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float, int32_t&, const std::optional<std::string>&) override {
        lines.push_back(message);
    }
    bool Has(const std::string& part) const {
        for (const auto& l : lines) {
            if (l.find(part) != std::string::npos) return true;
        }
        return false;
    }
    std::vector<std::string> lines;
};

class MainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override { ++nodesChanged; }
    void IEEE1394Bus_ResetComplete() override { ++resetComplete; }
    void IEEE1394IncomingDataHandler() override {}
    int nodesChanged = 0, resetComplete = 0;
};

class InProcessPass : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fsys::temp_directory_path() /
                ("bus1394-inproc-" + std::to_string(::getpid()) + "-" +
                 ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fsys::create_directories(root_);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        clk::Install(&clock_);
        ctx_.StatusWindow0 = &status_;
        ctx_.MainChildForm = &main_;
        ctx_.App.Path = std::getenv("LUMAREL_BIN");
        imagelift::InstallContext(&ctx_);
        ResetModuleState();
        notices_ = user::CreateWindow("ThunderRT6TextBox", "", [](user::HWND h, uint32_t m, user::WPARAM w,
                                                                  user::LPARAM l) {
            if (m == 0x52E || m == 0x530 || m == 0x414) {
                State.BusResetPending = true;
                State.TopologyReady = false;
            }
            return user::DefWindowProc(h, m, w, l);
        });
        previous_ = clk::SetDoEventsHandler([this] {
            if (onEvents_) onEvents_();
            user::PumpMessages();
        });
    }

    // Hosts a bus of these nodes and loads the library as the program does.
    void Start(const std::string& nodes) {
        sim::lumarel::RegisterNodeKinds();
        sim::LoadDescription(bus_, nlohmann::json::parse(
                                       R"({"virtual_devices": ["1394_VIRTUAL_DEVICE"], "nodes": )" + nodes + "}"));
        const std::string file = std::string(std::getenv("LUMAREL_BIN")) + "/Vsk1394api.dll";
        library_ = dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr);
        auto host = reinterpret_cast<int32_t (*)(void*)>(dlsym(library_, "Vsk1394HostBus"));
        ASSERT_NE(host, nullptr);
        host(&bus_);
        ASSERT_NE(LoadVsk1394Dll(notices_), 0);
    }

    // Ticks of the bus-reset timer until the table is complete and no reset is pending.
    void Settle() {
        State.BusResetPending = true;
        for (int tick = 0; tick < 20 && (State.BusResetPending || !State.TopologyReady); ++tick) {
            BusResetHandlerThread();
            user::PumpMessages();
        }
        ASSERT_TRUE(State.TopologyReady);
    }

    std::vector<int16_t> TableNodes() const {
        std::vector<int16_t> out;
        for (const auto& n : State.NodeTable) out.push_back(n.NodeNumber);
        return out;
    }

    void TearDown() override {
        if (library_) {
            UnloadVsk1394Dll();
            reinterpret_cast<int32_t (*)(void*)>(dlsym(library_, "Vsk1394HostBus"))(nullptr);
            dlclose(library_);
        }
        clk::SetDoEventsHandler(previous_);
        user::DestroyWindow(notices_);
        imagelift::InstallContext(nullptr);
        clk::Install(nullptr);
        std::error_code ec;
        fsys::remove_all(root_, ec);
    }

    fsys::path root_;
    clk::ManualClock clock_;
    imagelift::ProgramContext ctx_;
    Status status_;
    MainWindow main_;
    sim::Bus bus_;
    user::HWND notices_ = 0;
    void* library_ = nullptr;
    clk::DoEventsHandler previous_;
    std::function<void()> onEvents_;
};

constexpr char kDevice[] =
    R"({"id": "dev", "kind": "lumarel460", "mode": "bootloader", "guid": "0A3C7E1000010002", "vendor": "NRX", "boot_model": "Lumarel 460 Boot"})";

TEST_F(InProcessPass, ForeignNodeBeforeTheMakersNodeAndTheHost) {
    Start(std::string("[") + R"({"id": "cam", "kind": "foreign"}, )" + kDevice + R"(, {"id": "host", "kind": "host"}])");
    Settle();
    ASSERT_EQ(TableNodes(), (std::vector<int16_t>{1, 2}));
    EXPECT_EQ(State.LocalHostNode, 2);
    EXPECT_EQ(basConfigRom::GetGuidText(State.NodeTable[0].ConfigRom), "0A3C7E10 00010002");
    EXPECT_EQ(basConfigRom::GetModelText(State.NodeTable[0].ConfigRom), "Lumarel 460 Boot");
    EXPECT_EQ(State.NodeTable[0].Topology.PhyId, 1);
    EXPECT_EQ(State.NodeTable[0].Topology.LinkActive, 1);
    EXPECT_TRUE(status_.Has("Node #1: GUID='0A3C7E10 00010002', Manufacturer='NRX', Model='Lumarel 460 Boot'"));
    EXPECT_GE(main_.resetComplete, 1);
}

TEST_F(InProcessPass, UnreadableDirectoryWithTheCompanyIdStays) {
    const auto full = romtest::Lumarel460App();
    nlohmann::json quadlets = nlohmann::json::array();
    for (size_t i = 0; i < 7; ++i) quadlets.push_back(full[i]);
    nlohmann::json cut = {{"id", "cut"}, {"kind", "raw"}, {"quadlets", quadlets}};
    Start(std::string(R"([{"id": "host", "kind": "host"}, )") + cut.dump() + "]");
    Settle();
    EXPECT_EQ(TableNodes(), (std::vector<int16_t>{0, 1}));
    EXPECT_FALSE(status_.Has("Node #1: GUID="));
}

TEST_F(InProcessPass, ResetDuringThePassStartsAnotherPass) {
    Start(std::string(R"([{"id": "host", "kind": "host"}, )") + kDevice + "]");
    Settle();
    status_.lines.clear();
    int events = 0;
    onEvents_ = [&] {
        if (++events == 5) {
            bus_.Reset();
            BusResetHandlerThread();  // a tick while the pass runs
        }
    };
    Settle();
    EXPECT_TRUE(status_.Has("BusResetHandlerThread: routine interrupted by another bus reset before completing."));
    EXPECT_EQ(TableNodes(), (std::vector<int16_t>{0, 1}));
    EXPECT_TRUE(State.TopologyReady);
}

}  // namespace
