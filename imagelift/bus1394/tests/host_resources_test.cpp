// Virtual devices, host address ranges, the topology map and the local node address.
#include <gtest/gtest.h>

#include "bus1394/host_resources.h"
#include "tests/bus_fixture.h"
#include "vbrt/error.h"

namespace bustest {
namespace {

using namespace bas1394;

class HostResourcesTest : public BusTest {};

TEST_F(HostResourcesTest, RefreshAddsTheVirtualDeviceAndReportsTheRetry) {
    Fake().virtualDevices.clear();
    const int64_t before = clock_.NowMicros();
    EXPECT_EQ(RefreshVirtualDeviceList(), 0);
    EXPECT_EQ(Fake().addedDevices, std::vector<std::string>{"1394_VIRTUAL_DEVICE"});
    EXPECT_EQ(clock_.NowMicros() - before, 500'000);
    const auto none = Find("BusResetHandlerThread: unable to load 1394 virtual device driver.  No interface to the bus!");
    ASSERT_TRUE(none);
    EXPECT_EQ(none->level, basDebug::USER);
    EXPECT_TRUE(State.NoBusInterface);
    EXPECT_TRUE(main_.timers.empty());

    ClearLines();
    EXPECT_EQ(RefreshVirtualDeviceList(), 1);
    EXPECT_TRUE(Find("BusResetHandlerThread: 1394 virtual device driver loaded on retry."));
    EXPECT_EQ(Find("Virtual Device #0=1394_VIRTUAL_DEVICE")->level, basDebug::WATCH);
    EXPECT_TRUE(Find("BusResetHandlerThread: 1 virtual devices found and 0 diagnostic devices."));
    EXPECT_FALSE(State.NoBusInterface);
    EXPECT_EQ(main_.timers, (std::vector<std::string>{"tmrBusReset", "tmrIncomingData"}));
    EXPECT_EQ(State.CurrentVirtualDeviceName.size(), 256u);
    EXPECT_EQ(State.CurrentVirtualDeviceName.substr(0, 19), "1394_VIRTUAL_DEVICE");

    ClearLines();
    EXPECT_EQ(RefreshVirtualDeviceList(), 1);
    EXPECT_FALSE(Find("Virtual Device #"));
    EXPECT_FALSE(Find("loaded on retry"));
    EXPECT_EQ(Fake().addedDevices.size(), 1u);
}

TEST_F(HostResourcesTest, MoreThanTenDevicesKeepTheirCount) {
    Fake().virtualDevices.assign(10, "VDEV");
    Fake().claimedDeviceCount = 12;
    EXPECT_EQ(RefreshVirtualDeviceList(), 12);
    EXPECT_EQ(Count("Virtual Device #"), 10);
    EXPECT_TRUE(Find("BusResetHandlerThread: 12 virtual devices found"));
    EXPECT_FALSE(Find("Error #"));
}

TEST_F(HostResourcesTest, AllocatingAndFreeingHostRanges) {
    EXPECT_EQ(Allocate1394Memory("0xffffc8029000", "0x40"), 1);
    ASSERT_EQ(State.AddressRanges.size(), 1u);
    const AddressRangeRecord& r = State.AddressRanges[0];
    EXPECT_EQ(r.Length, 64);
    EXPECT_EQ(r.Address.OffsetHigh, -1);
    EXPECT_EQ(static_cast<uint32_t>(r.Address.OffsetLow), 0xC8029000u);
    EXPECT_EQ(r.Handle, 0x100);
    EXPECT_EQ(Fake().allocated[0].AccessFlags, 11);
    EXPECT_EQ(Fake().allocated[0].NotifyFlags, 3);

    EXPECT_EQ(Allocate1394Memory("0xffffc8030000", "64"), 1);  // element 0 in use: appended
    ASSERT_EQ(State.AddressRanges.size(), 2u);
    EXPECT_EQ(State.AddressRanges[1].Length, 64);

    Fake().allocateResult = 7;
    EXPECT_EQ(Allocate1394Memory("0xffffc8031000", "0x40"), -1);
    EXPECT_EQ(State.AddressRanges.size(), 2u);  // the failed element is removed again
    State.AddressRanges.assign(1, AddressRangeRecord{});
    EXPECT_EQ(Allocate1394Memory("0xffffc8031000", "0x40"), -1);
    ASSERT_EQ(State.AddressRanges.size(), 1u);
    EXPECT_EQ(State.AddressRanges[0].Handle, 0);

    EXPECT_EQ(FreeAddressRangeVB(0x100), 1);
    Fake().freeResult = 3;
    EXPECT_EQ(FreeAddressRangeVB(0x999), -1);
}

TEST_F(HostResourcesTest, TopologyMapHasOneEntryPerNode) {
    Fake().Resize(0);
    ASSERT_EQ(GetLocalHostInfo(State.TopologyMap), 1);
    EXPECT_EQ(State.TopologyMap.NodeCount, 0);
    ASSERT_EQ(State.TopologyMap.Entries.size(), 1u);
    EXPECT_EQ(State.TopologyMap.Entries[0].PhyId, 0);
    EXPECT_EQ(State.TopologyMap.Entries[0].LinkActive, 0);

    Fake().Resize(3);
    Fake().nodes[1].morePackets = true;  // its extended packet is skipped
    Fake().nodes[2].linkActive = false;
    ASSERT_EQ(GetLocalHostInfo(State.TopologyMap), 1);
    EXPECT_EQ(State.TopologyMap.SelfIdCount, 3);
    ASSERT_EQ(State.TopologyMap.Entries.size(), 3u);
    EXPECT_EQ(State.TopologyMap.Entries[1].MorePackets, 1);
    EXPECT_EQ(State.TopologyMap.Entries[2].PhyId, 2);
    EXPECT_EQ(State.TopologyMap.Entries[2].LinkActive, 0);
    EXPECT_EQ(State.TopologyMap.Entries[0].LinkActive, 1);

    Fake().Resize(1100);  // more self-IDs than the 4096-byte buffer holds
    EXPECT_THROW(GetLocalHostInfo(State.TopologyMap), vb::Error);
}

TEST_F(HostResourcesTest, SelfIdFieldsComeFromTheirBits) {
    const auto decode = [](uint32_t p) {
        const uint8_t b[4] = {uint8_t(p >> 24), uint8_t(p >> 16), uint8_t(p >> 8), uint8_t(p)};
        return DecodeSelfId(b);
    };
    EXPECT_EQ(decode(0x3F000000).PhyId, 0x3F);
    EXPECT_EQ(decode(0xC0000000).PacketId, 3);
    EXPECT_EQ(decode(0x003F0000).GapCount, 0x3F);
    EXPECT_EQ(decode(0x00400000).LinkActive, 1);
    EXPECT_TRUE(decode(0x00800000).Extended);
    EXPECT_EQ(decode(0x00000700).PowerClass, 7);
    EXPECT_EQ(decode(0x00000800).Contender, 1);
    EXPECT_EQ(decode(0x00003000).Delay, 3);
    EXPECT_EQ(decode(0x0000C000).Speed, 3);
    EXPECT_EQ(decode(0x00000001).MorePackets, 1);
    EXPECT_EQ(decode(0x00000002).InitiatedReset, 1);
    EXPECT_EQ(decode(0x0000000C).Port2, 3);
    EXPECT_EQ(decode(0x00000030).Port1, 3);
    EXPECT_EQ(decode(0x000000C0).Port0, 3);
    const TopologyNodeEntry none = decode(0x00000000);
    EXPECT_EQ(none.PhyId + none.LinkActive + none.Speed + none.Port0, 0);
    EXPECT_FALSE(none.Extended);
}

TEST_F(HostResourcesTest, LocalNodeAndBusNumber) {
    Fake().localNode = 2;  // node address 0xFFC2
    EXPECT_EQ(GetLocalHostNode(), 2);
    EXPECT_EQ(GetBusNumber(), 1023);
    EXPECT_TRUE(Find("LocalHostNode = 2"));
    EXPECT_TRUE(Find("Bus Number = 1023"));
    Fake().nodeAddressResult = 31;
    EXPECT_EQ(GetLocalHostNode(), -1);
    EXPECT_EQ(GetBusNumber(), -1);
    EXPECT_EQ(Find("GetLocalHostNode failed, Get1394AddressFromDeviceObject returned code 31")->level,
              basDebug::WARNING);
    EXPECT_TRUE(Find("GetBusNumber failed, Get1394AddressFromDeviceObject returned code 31"));
}

TEST_F(HostResourcesTest, VirtualDevicesByName) {
    int32_t window = 5;
    EXPECT_EQ(AddVirtualDevice(window, std::string(33, 'A')), 0);
    EXPECT_EQ(Fake().addedDevices.back(), std::string(33, 'A'));
    EXPECT_THROW(AddVirtualDevice(window, std::string(34, 'A')), vb::Error);
    Fake().addDeviceWorks = false;
    EXPECT_EQ(AddVirtualDevice(window, "X"), 5);
    EXPECT_EQ(Find("AddVirtualDevice: AddVirtualDriver failed, code 0x5")->level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(RemoveVirtualDevice(window, "1394_VIRTUAL_DEVICE"), 0);
    EXPECT_EQ(Fake().removedDevices.back(), "1394_VIRTUAL_DEVICE");
    EXPECT_EQ(Find("RemoveVirtualDriver returned code #0")->level, basDebug::WATCH);
    ResetBus();
    EXPECT_EQ(Fake().calls["BusReset"], 1);
}

}  // namespace
}  // namespace bustest
