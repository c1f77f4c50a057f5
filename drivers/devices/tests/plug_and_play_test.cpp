// The device store following the buses: a Lumarel 460 that is plugged in and switched on is a
// present node, a virtual device brings its interface, and each goes when its device goes.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "devices/bus_devices.h"
#include "devices/install_calls.h"
#include "testing/store_fixture.h"
#include "service/host.h"

namespace {

using devices::DeviceNode;

class PlugAndPlayTest : public devices::fixture::StoreTest {
protected:
    void SetUp() override {
        StoreTest::SetUp();
        bus0_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus0_.SetLocalHost("host");
        sim::lumarel::DeviceConfig config;
        config.factoryGuid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x07};
        ASSERT_EQ(bus0_.AddNode("dev", std::make_unique<sim::lumarel::Lumarel460Node>(config)), sim::kResultSuccess);
        busdev::HostBuses({&bus0_, &bus1_});
    }
    void TearDown() override {
        busdev::HostBuses({});
        StoreTest::TearDown();
    }

    // The present nodes as "<instance ID> | <hardware ID> | <interfaces>", after a refresh.
    std::vector<std::string> Present() {
        devices::RefreshNodes();
        std::vector<std::string> out;
        for (const DeviceNode& n : devices::ListNodes()) {
            if (!n.present) continue;
            std::string line = n.instanceId + " | " + (n.hardwareIds.empty() ? "" : n.hardwareIds[0]) + " |";
            for (const std::string& i : n.interfaces) line += " " + i;
            out.push_back(line);
        }
        std::sort(out.begin(), out.end());
        return out;
    }
    void Control(const std::string& request) {
        std::string reply;
        ASSERT_EQ(control_.Control(request, reply), bussvc::kControlOk) << reply;
    }
    // Lets the bus's timers (a device's start after power-on) run.
    void Settle() { clock_.Advance(5000); }
    // Adds or removes the virtual device (instance = the bus's index) through the bus device.
    bool VirtualDevice(uint32_t bus, bool add) {
        std::vector<uint8_t> request(24 + 20, 0);
        request[0] = add ? 1 : 2;
        request[16] = uint8_t(bus);
        const char name[] = "1394_VIRTUAL_DEVICE";
        std::copy(name, name + sizeof name - 1, request.begin() + 24);
        std::string path = "\\\\.\\1394BUS" + std::to_string(bus);
        busdev::Handle h = busdev::CreateFile(path);
        const bool ok = busdev::DeviceIoControl(h, busdev::kIoctlBusApiRequest, request.data(), uint32_t(request.size()),
                                                nullptr, 0, nullptr);
        busdev::CloseHandle(h);
        return ok;
    }

    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    sim::Bus bus0_{0}, bus1_{1};
    bussvc::BusHost control_{bus0_};
};

const std::string kUnit = "1394\\HALVORIN_INC&LUMA_REL\\0A3C7E1000010007 | 1394\\Halvorin_Inc&LUMA_Rel |";
const std::string kVirtual1NoDriver = "V1394\\1394_VIRTUAL_DEVICE\\1&1 | V1394\\1394_VIRTUAL_DEVICE |";
const std::string kVirtual1 = kVirtual1NoDriver + " {737613E5-69EA-4B96-9C2A-EEBC220F4C39} \\\\.\\VDEV1_1";

TEST_F(PlugAndPlayTest, TheStoreFollowsPlugPowerAndVirtualDevices) {
    // Without anyone following the buses the store stays as it is.
    EXPECT_TRUE(Present().empty());

    busdev::PlugAndPlay pnp;
    const std::string other = AddNode({"PCI\\OTHER"});  // someone else's node is left alone
    const std::string kOther = "PCI\\OTHER\\0 | PCI\\OTHER |";
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther}));

    Control(R"({"cmd": "unplug", "id": "dev"})");
    EXPECT_EQ(Present(), (std::vector<std::string>{kOther}));
    Control(R"({"cmd": "plug", "id": "dev"})");
    Settle();
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther}));

    Control(R"({"cmd": "power", "id": "dev", "on": false})");
    EXPECT_EQ(Present(), (std::vector<std::string>{kOther}));
    Control(R"({"cmd": "power", "id": "dev", "on": true})");
    Settle();
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther}));

    // A virtual device on bus 1 (instance 1) is a node at once, but its interface comes only
    // with a driver of an installed INF bound to the node, and goes with that INF.
    ASSERT_TRUE(VirtualDevice(1, true));
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther, kVirtual1NoDriver}));
    const auto inf = devices::InfFolderNative() / "oem0.inf";
    std::ofstream(inf) << devices::fixture::InfListing({"V1394\\1394_VIRTUAL_DEVICE"});
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther, kVirtual1}));
    bool bound = false;
    for (const DeviceNode& n : devices::ListNodes()) bound |= n.instanceId.starts_with("V1394") && n.driver == "oem0.inf";
    EXPECT_TRUE(bound);
    std::filesystem::remove(inf);
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther, kVirtual1NoDriver}));
    std::ofstream(inf) << devices::fixture::InfListing({"V1394\\1394_VIRTUAL_DEVICE"});
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther, kVirtual1}));
    // Removing the device takes its node, interface and all, away.
    ASSERT_TRUE(VirtualDevice(1, false));
    EXPECT_EQ(Present(), (std::vector<std::string>{kUnit, kOther}));
    EXPECT_TRUE(devices::ReadNode(other).has_value());
}

TEST_F(PlugAndPlayTest, TheInstallersViewFollowsAsWell) {
    busdev::PlugAndPlay pnp;
    auto presentUnits = [] {
        int count = 0;
        devices::HDEVINFO set = devices::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, devices::DIGCF_PRESENT |
                                                                                       devices::DIGCF_ALLCLASSES);
        devices::SP_DEVINFO_DATA element;
        element.cbSize = sizeof element;
        for (uint32_t i = 0; devices::SetupDiEnumDeviceInfo(set, i, &element); ++i) ++count;
        devices::SetupDiDestroyDeviceInfoList(set);
        return count;
    };
    EXPECT_EQ(presentUnits(), 1);
    Control(R"({"cmd": "unplug", "id": "dev"})");
    EXPECT_EQ(presentUnits(), 0);
}

}  // namespace
