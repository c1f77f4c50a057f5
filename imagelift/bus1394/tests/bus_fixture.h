// Shared set-up of the bus layer's tests: a temporary platform root, a manual clock, a fresh
// program context whose first status window and main window record what they get, the fake
// access library bound, and the module's state as start-up leaves it.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "bus1394/bus_reset.h"
#include "bus1394/config_rom_reader.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "tests/fake_library.h"
#include "tests/recording_status.h"
#include "support/program_context.h"

namespace bustest {

using Line = supporttest::LogLine;
using supporttest::RecordingStatusWindow;

class RecordingMainWindow : public imagelift::IMainChildForm, public bas1394::IBusPumpTimers {
public:
    void IEEE1394Bus_NodesChanged() override {
        ++nodesChanged;
        if (onNodesChanged) onNodesChanged();
    }
    void IEEE1394Bus_ResetComplete() override { ++resetComplete; }
    void IEEE1394IncomingDataHandler() override {
        ++incoming;
        if (onIncoming) onIncoming();
    }
    void EnableBusResetTimer() override { timers.push_back("tmrBusReset"); }
    void EnableIncomingDataTimer() override { timers.push_back("tmrIncomingData"); }

    int nodesChanged = 0, resetComplete = 0, incoming = 0;
    std::vector<std::string> timers;
    std::function<void()> onNodesChanged, onIncoming;
};

class BusTest : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = std::filesystem::temp_directory_path() /
                ("bus1394-" + std::to_string(::getpid()) + "-" + ::testing::UnitTest::GetInstance()->current_test_info()->name());
        std::filesystem::create_directories(root_);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        clk::Install(&clock_);
        ctx_.StatusWindow0 = &status_;
        ctx_.MainChildForm = &main_;
        imagelift::InstallContext(&ctx_);
        previousDoEvents_ = clk::SetDoEventsHandler([this] {
            ++doEvents_;
            if (onDoEvents_) onDoEvents_();
        });
        bas1394::ResetModuleState();
        bas1394::State.PumpTimers = &main_;
        BindFakeLibrary();
        bas1394::BindElapsedTimeToLibrary();
    }

    void TearDown() override {
        bas1394::lib::Unload();
        bas1394::SetBootloaderLayer(nullptr);
        clk::SetDoEventsHandler(previousDoEvents_);
        imagelift::InstallContext(nullptr);
        clk::Install(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // A "vdev" node record for node `number` with an active link.
    static bas1394::NodeRecord Node(int16_t number, bool linkActive = true) {
        bas1394::NodeRecord n;
        n.DriverType = "vdev";
        n.NodeNumber = number;
        n.Topology.LinkActive = linkActive ? 1 : 0;
        return n;
    }
    // Puts node `number` at table index `index` (growing the table).
    static void Place(size_t index, int16_t number) {
        if (bas1394::State.NodeTable.size() <= index) bas1394::State.NodeTable.resize(index + 1);
        bas1394::State.NodeTable[index] = Node(number);
    }

    // Serves `rom` as node 0 (table index 0 only) and parses it into a record of its own.
    static bas1394::ConfigRomRecord Parse(const std::vector<uint32_t>& rom) {
        Fake().nodes.clear();
        Fake().AddRom(0, rom);
        Place(0, 0);
        bas1394::ConfigRomRecord record;
        basConfigRom::GetFormattedConfigRom(0, record);
        return record;
    }

    std::vector<std::string> Messages(const std::string& module = "") const { return status_.Messages(module); }
    // The first line that contains `part`, if any.
    std::optional<Line> Find(const std::string& part) const { return status_.Find(part); }
    int Count(const std::string& part) const { return status_.Count(part); }
    void ClearLines() { status_.lines.clear(); }

    std::filesystem::path root_;
    clk::ManualClock clock_;
    imagelift::ProgramContext ctx_;
    RecordingStatusWindow status_;
    RecordingMainWindow main_;
    int doEvents_ = 0;
    std::function<void()> onDoEvents_;
    clk::DoEventsHandler previousDoEvents_;
};

}  // namespace bustest
