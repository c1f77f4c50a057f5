#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <fstream>
#include <future>
#include <thread>

#include "bus/bus.h"
#include "clock/clock.h"
#include "devices/bus_devices.h"
#include "testing/store_fixture.h"
#include "setup/driver_install_worker.h"

namespace setup {
namespace {

// The program's folder holds the virtual-device INF; two buses are hosted here; time is manual
// and moved by the test while the worker runs on its own thread.
class WorkerTest : public devices::fixture::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        old_ = std::filesystem::current_path();
        std::filesystem::current_path(root_);
        std::ofstream("1394vdev.inf") << devices::fixture::InfListing({"V1394\\1394_VIRTUAL_DEVICE"});
        busdev::HostBuses({&bus0_, &bus1_});
    }
    void TearDown() override {
        busdev::HostBuses({});
        std::filesystem::current_path(old_);
        StoreTest::TearDown();
    }

    // Runs the worker on its own thread and moves time in 100 ms steps, but only while the
    // worker waits (its wake-up is on the clock beside `ownCallbacks()` of the test's own), until
    // it ends; once `stopAfterMs` has passed it is told to stop.
    InstallOutcome RunWorker(int64_t stopAfterMs = -1, std::function<size_t()> ownCallbacks = [] { return 0; }) {
        std::promise<InstallOutcome> result;
        auto done = result.get_future();
        std::jthread worker([&](std::stop_token stop) { result.set_value(InstallDriverAndVirtualDevices(stop)); });
        for (int64_t ms = 0; done.wait_for(std::chrono::milliseconds(1)) != std::future_status::ready;) {
            if (stopAfterMs >= 0 && ms >= stopAfterMs) worker.request_stop();
            if (clock_.PendingCallbacks() > ownCallbacks() && ms < 200'000) clock_.Advance(100), ms += 100;
        }
        return done.get();
    }

    void AddVirtualDeviceNode(bool withInterface) {
        devices::DeviceNode node;
        node.instanceId = "V1394\\1394_VIRTUAL_DEVICE\\0";
        node.hardwareIds = {"V1394\\1394_VIRTUAL_DEVICE"};
        if (withInterface) node.interfaces = {"{737613e5-69ea-4b96-9c2a-eebc220f4c39} \\\\.\\VDEV0"};
        devices::WriteNode(node);
    }

    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    std::filesystem::path old_;
    sim::Bus bus0_{0}, bus1_{1};
};

TEST_F(WorkerTest, InstallsTheDriverAddsOnEveryBusAndWaitsForTheInterface) {
    // The interface comes up during the third wait.
    std::atomic<bool> written{false};
    clock_.Schedule(2500, [&] {
        AddVirtualDeviceNode(true);
        written = true;
    });
    const InstallOutcome out = RunWorker(-1, [&] { return written ? size_t(0) : size_t(1); });
    EXPECT_TRUE(out.interfaceUp);
    EXPECT_FALSE(out.stopped);
    EXPECT_EQ(out.polls, 3);
    EXPECT_TRUE(InfExists("oem0.inf") || InfExists("oem1.inf"));
    EXPECT_EQ(bus0_.VirtualDevices().size(), 1u);
    EXPECT_EQ(bus1_.VirtualDevices().size(), 1u);
}

// The INF goes in unless one of its devices already runs a driver from an installed INF. A node
// of its hardware ID without one (the downloader's virtual device, left on the bus by an earlier
// run on a machine without the driver) does not keep it out. The wait is bounded either way (no
// interface comes up here: the store does not follow the buses in this test).
TEST_F(WorkerTest, TheInfGoesInUnlessADeviceOfItRunsAnInstalledDriverAndTheWaitIsBounded) {
    struct Case {
        const char* name;
        bool node;          // a node of the INF's hardware ID exists
        const char* bound;  // the INF its driver comes from, "" for none
        bool installs;
    };
    const Case cases[] = {
        {"no node of the INF", false, "", true},
        {"a node without a driver", true, "", true},
        {"a node bound to a package since deleted", true, "oem7.inf", true},
        {"a node bound to an installed INF", true, "oem3.inf", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        for (const auto& n : devices::ListNodes()) devices::RemoveNode(n.serial);
        for (const auto& e : std::filesystem::directory_iterator(devices::InfFolderNative())) std::filesystem::remove(e.path());
        if (c.node) {
            devices::DeviceNode node;
            node.instanceId = "V1394\\1394_VIRTUAL_DEVICE\\0";
            node.hardwareIds = {"V1394\\1394_VIRTUAL_DEVICE"};
            node.driver = c.bound;
            devices::WriteNode(node);
        }
        if (std::string(c.bound) == "oem3.inf") WriteInf("oem3.inf", devices::fixture::InfListing({"V1394\\1394_VIRTUAL_DEVICE"}));
        const auto before = std::distance(std::filesystem::directory_iterator(devices::InfFolderNative()), {});
        const InstallOutcome out = RunWorker();
        EXPECT_FALSE(out.interfaceUp);
        EXPECT_EQ(out.polls, kInterfacePolls);
        const auto after = std::distance(std::filesystem::directory_iterator(devices::InfFolderNative()), {});
        EXPECT_EQ(after > before, c.installs) << before << " -> " << after;
    }
}

TEST_F(WorkerTest, AStopEndsTheWaitAtOnce) {
    const InstallOutcome out = RunWorker(3050);
    EXPECT_TRUE(out.stopped);
    EXPECT_EQ(out.polls, 3);
    std::stop_source stopped;
    stopped.request_stop();
    EXPECT_FALSE(WaitUnlessStopped(stopped.get_token(), 1000));
}

}  // namespace
}  // namespace setup
