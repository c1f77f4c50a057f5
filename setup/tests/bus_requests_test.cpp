#include <gtest/gtest.h>

#include "bus/bus.h"
#include "setup/bus_requests.h"
#include "devices/bus_devices.h"

namespace setup {
namespace {

TEST(BusRequestRecord, AddAndRemoveLayout) {
    VirtualDevice device;
    device.instanceId = 0x0000000500000002ull;
    const auto add = BusRequestRecord(kRequestAdd, device);
    ASSERT_EQ(add.size(), 51u);
    EXPECT_EQ(add[0], 1);
    EXPECT_EQ(add[16], 2);
    EXPECT_EQ(add[20], 5);
    EXPECT_EQ(std::string(add.begin() + 24, add.begin() + 43), "1394_VIRTUAL_DEVICE");
    for (size_t i = 43; i < 51; ++i) EXPECT_EQ(add[i], 0) << i;
    const auto remove = BusRequestRecord(kRequestRemove, device);
    EXPECT_EQ(remove[0], 2);
    EXPECT_EQ(std::vector<uint8_t>(remove.begin() + 1, remove.end()),
              std::vector<uint8_t>(add.begin() + 1, add.end()));
}

class TwoBuses : public ::testing::Test {
protected:
    void SetUp() override { busdev::HostBuses({&bus0_, &bus1_}); }
    void TearDown() override { busdev::HostBuses({}); }
    sim::Bus bus0_{0}, bus1_{1};
};

TEST_F(TwoBuses, AddsOnEveryBusAndEndsAtTheFirstMissingOne) {
    EXPECT_EQ(ForEachBus(AddVirtualDevice), (std::vector<uint32_t>{0, 0, kNoSuchBus}));
    ASSERT_EQ(bus0_.VirtualDevices().size(), 1u);
    ASSERT_EQ(bus1_.VirtualDevices().size(), 1u);
    EXPECT_EQ(bus0_.VirtualDevices()[0].name, "1394_VIRTUAL_DEVICE");
    EXPECT_EQ(bus1_.VirtualDevices()[0].instance, 1u);
    EXPECT_EQ(busdev::OpenHandles(), 0);

    EXPECT_EQ(ForEachBus(RemoveVirtualDevice), (std::vector<uint32_t>{0, 0, kNoSuchBus}));
    EXPECT_TRUE(bus0_.VirtualDevices().empty());
    EXPECT_TRUE(bus1_.VirtualDevices().empty());
}

TEST_F(TwoBuses, AFailureOnOneBusDoesNotSkipTheNext) {
    // Bus 0 has no such device to remove; bus 1's is removed all the same.
    ASSERT_EQ(AddVirtualDevice(VirtualDevice{0, 1}, 1), 0u);
    const auto results = ForEachBus(RemoveVirtualDevice);
    ASSERT_EQ(results.size(), 3u);
    EXPECT_NE(results[0], 0u);
    EXPECT_EQ(results[1], 0u);
    EXPECT_TRUE(bus1_.VirtualDevices().empty());
}

TEST_F(TwoBuses, RemoveWithoutDeviceIdFailsBeforeOpening) {
    EXPECT_EQ(RemoveVirtualDevice(VirtualDevice{0, 0, nullptr}, 0), 87u);
    EXPECT_EQ(AddVirtualDevice(VirtualDevice{}, 7), kNoSuchBus);
}

TEST(BusDeviceNames, OnlyWellFormedNamesOpen) {
    sim::Bus bus{0};
    busdev::HostBuses({&bus});
    for (const char* bad : {"\\\\.\\1394BUS", "\\\\.\\1394BUS01", "\\\\.\\1394BUSX", "1394BUS0", "\\\\.\\1394BUS1"}) {
        EXPECT_EQ(busdev::CreateFile(bad), busdev::kInvalidHandle) << bad;
        EXPECT_EQ(busdev::GetLastError(), busdev::kErrorFileNotFound);
    }
    const busdev::Handle h = busdev::CreateFile("\\\\.\\1394bus0");
    ASSERT_NE(h, busdev::kInvalidHandle);
    EXPECT_TRUE(busdev::CloseHandle(h));
    EXPECT_FALSE(busdev::CloseHandle(h));
    busdev::HostBuses({});
}

}  // namespace
}  // namespace setup
