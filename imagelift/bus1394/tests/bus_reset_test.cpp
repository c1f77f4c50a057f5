// Bus-reset passes and the node table on the fake library: who is kept, how resets during a
// pass are handled, and what the main window and the bootloader layer are told.
#include <gtest/gtest.h>

#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "tests/bus_fixture.h"
#include "tests/rom_builder.h"
#include "vbrt/error.h"

namespace bustest {
namespace {

using namespace bas1394;
using B = romtest::RomBuilder;

class RecordingBootloader : public IBootloaderLayer {
public:
    int32_t BusResetHandler() override {
        ++passes;
        tableSeen = State.NodeTable;
        return result;
    }
    void ResetDiscoveryState() override { ++resets; }
    std::vector<BootloaderTargetSummary> Targets() override { return targets; }

    int passes = 0, resets = 0;
    int32_t result = 1;
    std::vector<NodeRecord> tableSeen;
    std::vector<BootloaderTargetSummary> targets;
};

class BusResetTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        SetBootloaderLayer(&bootloader_);
    }
    // Nodes in PHY order; the host's ROM at `host`.
    void Bus(const std::vector<std::vector<uint32_t>>& roms, int host) {
        Fake().nodes.clear();
        for (size_t i = 0; i < roms.size(); ++i) Fake().AddRom(static_cast<int>(i), roms[i]);
        Fake().localNode = host;
    }
    void Pump() {
        State.BusResetPending = true;
        BusResetHandlerThread();
    }
    std::vector<int16_t> TableNodes() const {
        std::vector<int16_t> out;
        for (const auto& n : State.NodeTable) out.push_back(n.NodeNumber);
        return out;
    }
    RecordingBootloader bootloader_;
};

TEST_F(BusResetTest, ForeignNodeIsLeftOut) {
    Bus({romtest::HostRom(), romtest::ForeignAvc()}, 0);
    const int64_t before = clock_.NowMicros();
    Pump();
    EXPECT_EQ(TableNodes(), std::vector<int16_t>{0});
    EXPECT_EQ(State.LocalHostNode, 0);
    EXPECT_EQ(main_.nodesChanged, 2);  // the kept host, then the end of the pump
    EXPECT_EQ(main_.resetComplete, 1);
    EXPECT_TRUE(State.TopologyReady);
    EXPECT_FALSE(State.BusResetPending);
    EXPECT_EQ(clock_.NowMicros() - before, 200'000);  // the settle delay
    EXPECT_EQ(bootloader_.passes, 1);
    EXPECT_EQ(bootloader_.resets, 1);
    const auto foreign = Find("Node #1: GUID='FFFFFFFF FFFFFFFF', Manufacturer='Vendor Name', Model='Model Name'");
    ASSERT_TRUE(foreign);
    EXPECT_EQ(foreign->level, basDebug::USER);
    EXPECT_TRUE(Find("Node #0: GUID='00112233 44556677', Manufacturer='Sim Host', "
                     "Model='<UNREADABLE CONFIG ROM MODEL TEXT>'"));
    EXPECT_TRUE(Find("BusResetHandler: the number of nodes on the bus has changed from 0 to 2"));
    EXPECT_TRUE(Find("BusResetHandlerThread complete."));

    ClearLines();
    Pump();
    EXPECT_TRUE(Find("BusResetHandler: the number of nodes on the bus is 2"));
}

// A module reset forgets all a pass left behind (the bus number and the last device name
// too): the next pass runs as the first one after program start.
TEST_F(BusResetTest, ModuleResetForgetsWhatThePassesLeft) {
    Bus({romtest::HostRom(), romtest::ForeignAvc()}, 0);
    Fake().busId = 5;
    ASSERT_EQ(Allocate1394Memory("0xffffc8029000", "0x40"), 1);
    Pump();
    ASSERT_EQ(State.BusNumber, 5);
    ASSERT_EQ(State.CurrentVirtualDeviceName.substr(0, 19), "1394_VIRTUAL_DEVICE");
    ASSERT_TRUE(State.TopologyReady);

    ResetModuleState();
    EXPECT_EQ(State.BusNumber, 0);
    EXPECT_EQ(State.CurrentVirtualDeviceName, "");
    EXPECT_EQ(State.PreviousNodeCount, 0);
    EXPECT_EQ(State.PreviousVirtualDeviceCount, 0);
    EXPECT_EQ(State.VirtualDeviceList.Count, 0);
    EXPECT_EQ(State.TopologyMap.Entries.size(), 1u);
    EXPECT_EQ(TableNodes(), std::vector<int16_t>{kNoNode});
    EXPECT_EQ(State.LocalHostNode, kNoNode);
    EXPECT_FALSE(State.TopologyReady);
    ASSERT_EQ(State.AddressRanges.size(), 1u);
    EXPECT_EQ(State.AddressRanges[0].Handle, 0);

    ClearLines();
    Pump();
    EXPECT_TRUE(Find("BusResetHandler: the number of nodes on the bus has changed from 0 to 2"));
    EXPECT_TRUE(Find("Virtual Device #0=1394_VIRTUAL_DEVICE"));
}

TEST_F(BusResetTest, HostBehindAForeignNodeAndAMakersNode) {
    // The foreign node carries root keys the maker's node lacks: nothing of it may stay behind
    // in the table element the maker's node takes over.
    B maker(0xE0648122, 0x0A3C7E10, 0x00000005);
    const int text = maker.AddTextLeaf("NRX");
    maker.Root({B::Imm(0x03, romtest::kMaker), B::LeafAt(0x01, text)});
    Bus({romtest::ForeignAvc(), maker.Build(), romtest::HostRom()}, 2);
    Pump();
    ASSERT_EQ(TableNodes(), (std::vector<int16_t>{1, 2}));
    const NodeRecord& m = State.NodeTable[0];
    EXPECT_EQ(m.ConfigRom.BusInfo.ChipIdLo, 5);
    EXPECT_EQ(m.ConfigRom.RootDirectory.ModelId, 0);
    for (bool flag : m.ConfigRom.RootDirectory.Capabilities) EXPECT_FALSE(flag);
    EXPECT_EQ(m.DriverType, "vdev");
    EXPECT_EQ(m.DeviceName.substr(0, 19), "1394_VIRTUAL_DEVICE");
    EXPECT_EQ(m.Topology.PhyId, 1);
    EXPECT_EQ(State.NodeTable[1].ConfigRom.BusInfo.ChipIdLo, 0x44556677);
    EXPECT_EQ(GetNodeRecord("vdev", 2).ConfigRom.BusInfo.ChipIdLo, 0x44556677);
    EXPECT_EQ(GetNodeRecord("vdev", 0).NodeNumber, kNoNode);
    EXPECT_EQ(GetNodeRecord("VDEV", 1).NodeNumber, kNoNode);
    EXPECT_EQ(bootloader_.tableSeen.size(), 2u);
}

TEST_F(BusResetTest, UnreadableDirectoryWithTheMakersCompanyIdStays) {
    const auto full = romtest::Lumarel460App();
    Bus({romtest::HostRom(), std::vector<uint32_t>(full.begin(), full.begin() + 7)}, 0);
    Pump();
    EXPECT_EQ(TableNodes(), (std::vector<int16_t>{0, 1}));
    EXPECT_FALSE(Find("Node #1: GUID="));
    EXPECT_EQ(main_.nodesChanged, 3);
}

TEST_F(BusResetTest, NodesTheTableLeavesOut) {
    // A maker's minimal ROM, an unreadable node and a maker's ROM with a short bus info block.
    Fake().nodes.clear();
    Bus({romtest::Minimal(), romtest::HostRom(), {}, {0x02020000, 0x31333934, 0x0A3C7E10}}, 1);
    Pump();
    EXPECT_EQ(TableNodes(), std::vector<int16_t>{1});
    EXPECT_TRUE(Find("BusResetHandler: unreadable config ROM on node #0.  bas1394.GetFormattedConfigRom returned code -1"));
    EXPECT_TRUE(Find("BusResetHandler: unreadable config ROM on node #2.  bas1394.GetFormattedConfigRom returned code -1"));
}

TEST_F(BusResetTest, LeftOutAtIndexZeroLeavesAnEmptyTable) {
    // The local host's node number is not on the bus: every node is left out.
    Bus({romtest::ForeignAvc()}, 5);
    Pump();
    EXPECT_EQ(TableNodes(), std::vector<int16_t>{kNoNode});
    EXPECT_EQ(State.NodeTable[0].ConfigRom.BusInfo.RawBytes, std::vector<uint8_t>{0});
}

TEST_F(BusResetTest, ResetNoticedAtTheNodeStepStartsAnotherPassNotANestedOne) {
    Bus({romtest::HostRom(), romtest::Lumarel460App()}, 0);
    int ticks = 0;
    onDoEvents_ = [&] {
        // The first time events are let through inside the rebuild, a reset notice arrives and
        // the 20 ms timer ticks.
        if (ticks++ == 0) {
            State.BusResetPending = true;
            State.TopologyReady = false;
            BusResetHandlerThread();
        }
    };
    Pump();
    EXPECT_EQ(Count("BusResetHandler called."), 2);
    EXPECT_EQ(Find("BusResetHandler: routine interrupted by bus topology change.")->level, basDebug::WATCH);
    EXPECT_EQ(Find("VdevBusResetHandler call failed, code -1(0xFFFFFFFF)")->level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(Find("BusResetHandlerThread: routine interrupted by another bus reset before completing.")->level,
              basDebug::WATCH);
    EXPECT_EQ(bootloader_.passes, 1);  // the interrupted pass gave up before the bootloader layer
    EXPECT_EQ(bootloader_.resets, 2);
    EXPECT_EQ(main_.resetComplete, 1);
    EXPECT_EQ(Count("BusResetHandlerThread complete."), 1);
    EXPECT_TRUE(State.TopologyReady);
    EXPECT_EQ(TableNodes(), (std::vector<int16_t>{0, 1}));
}

TEST_F(BusResetTest, TheResetAnnouncingANewVirtualDeviceIsSeenByTheSamePumpRun) {
    Bus({romtest::HostRom(), romtest::Lumarel460App()}, 0);
    Fake().virtualDevices.clear();
    bool announced = false;
    onDoEvents_ = [&] {
        // The bus driver announces the device it was asked to add while the pass waits for it.
        if (!Fake().addedDevices.empty() && !announced) {
            announced = true;
            State.BusResetPending = true;
            State.TopologyReady = false;
        }
    };
    State.BusResetPending = true;
    BusResetHandlerThread();
    EXPECT_EQ(Count("BusResetHandler called."), 2);
    EXPECT_TRUE(Find("BusResetHandlerThread: routine interrupted by another bus reset before completing."));
    EXPECT_TRUE(Find("BusResetHandlerThread: 1394 virtual device driver loaded on retry."));
    EXPECT_EQ(bootloader_.passes, 1);  // no empty device list before the real one
    EXPECT_EQ(main_.resetComplete, 1);
    EXPECT_TRUE(State.TopologyReady);
    EXPECT_EQ(TableNodes(), (std::vector<int16_t>{0, 1}));
}

TEST_F(BusResetTest, ResetDuringAConfigRomReadEndsThePassSilently) {
    Bus({romtest::HostRom(), romtest::Lumarel460App()}, 0);
    int events = 0;
    onDoEvents_ = [&] {
        if (++events == 3) State.BusResetPending = true;  // between quadlets of the host's ROM
    };
    State.BusResetPending = true;
    BusResetHandlerThread();
    EXPECT_FALSE(Find("routine interrupted by bus topology change."));
    EXPECT_TRUE(Find("BusResetHandlerThread: routine interrupted by another bus reset before completing."));
    EXPECT_EQ(Count("BusResetHandler called."), 2);
    EXPECT_TRUE(State.TopologyReady);
}

TEST_F(BusResetTest, NoVirtualDeviceStillRunsTheBootloaderPass) {
    Bus({romtest::HostRom()}, 0);
    Fake().virtualDevices.clear();
    Fake().addDeviceWorks = false;
    Pump();
    EXPECT_TRUE(Find("VdevBusResetHandler call failed, code -1(0xFFFFFFFF)"));
    EXPECT_EQ(bootloader_.passes, 1);
    EXPECT_TRUE(State.TopologyReady);
    EXPECT_EQ(TableNodes(), std::vector<int16_t>{kNoNode});
}

TEST_F(BusResetTest, BootloaderTargetsAreListedAfterThePass) {
    Bus({romtest::HostRom()}, 0);
    BootloaderTargetSummary t;
    t.Handle = 63;
    t.NodeNumber = 1;
    t.Guid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02};
    t.BootloaderVersion = 7;
    bootloader_.targets = {t};
    Pump();
    EXPECT_TRUE(Find("Bootloader #0: handle=63  node=1  GUID=0A3C7E1000010002  bl ver=7 "));

    bootloader_.result = -100;
    ClearLines();
    Pump();
    EXPECT_EQ(Find("tmrTopologyRefresh: failed call to basBootloader.BusResetHandler, code -100")->level,
              basDebug::WARNING);
    EXPECT_TRUE(State.TopologyReady);  // a failed bootloader pass does not stop the pass
}

TEST_F(BusResetTest, LocalNodeThatCannotBeFoundEndsTheRebuild) {
    Bus({romtest::HostRom()}, 0);
    Fake().nodeAddressResult = 9;
    Pump();
    EXPECT_EQ(Find("Error #6: Overflow in bas1394.VdevBusResetHandler")->level, basDebug::ERROR_LEVEL);
    EXPECT_TRUE(State.TopologyReady);
}

TEST_F(BusResetTest, FailurePathsNameTheirProcedures) {
    Bus({romtest::HostRom()}, 0);
    // The main window fails when the finished pump tells it about the new table.
    main_.onNodesChanged = [] {
        if (State.TopologyReady) vb::Raise(5, "frmMain");
    };
    Pump();
    const auto pump = Find(" in BusResetHandlerThread");
    ASSERT_TRUE(pump);
    EXPECT_EQ(pump->message.rfind("ERROR #5: ", 0), 0u) << pump->message;
    EXPECT_EQ(pump->level, basDebug::ERROR_LEVEL);
    EXPECT_FALSE(Find("BusResetHandlerThread complete."));

    // Without a main window the rebuild and the pass fail where they call it; the pump itself
    // looks for the window first.
    ClearLines();
    main_.onNodesChanged = nullptr;
    ctx_.MainChildForm = nullptr;
    Pump();
    for (const char* where : {" in bas1394.VdevBusResetHandler", " in bas1394.BusResetHandler"}) {
        const auto line = Find(where);
        ASSERT_TRUE(line) << where;
        EXPECT_EQ(line->message.rfind("Error #91: ", 0), 0u) << line->message;
        EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
    }
    EXPECT_TRUE(Find("BusResetHandlerThread: failed call to bas1394.BusResetHandler, code -1"));
    EXPECT_TRUE(Find("BusResetHandlerThread complete."));
    EXPECT_EQ(main_.nodesChanged, 2);  // only from the first pump
}

TEST_F(BusResetTest, PumpDoesNothingWithoutAPendingReset) {
    BusResetHandlerThread();
    EXPECT_EQ(bootloader_.resets, 0);
    EXPECT_EQ(main_.nodesChanged, 0);
}

TEST_F(BusResetTest, IncomingDataPumpRunsUntilNothingIsPending) {
    IncomingDataThreadHandler();
    EXPECT_EQ(main_.incoming, 0);
    int again = 1;
    main_.onIncoming = [&] {
        if (again-- > 0) State.IncomingDataPending = true;
        IncomingDataThreadHandler();  // a tick while the pump runs returns at once
    };
    State.IncomingDataPending = true;
    IncomingDataThreadHandler();
    EXPECT_EQ(main_.incoming, 2);
    EXPECT_FALSE(State.IncomingDataPending);
}

TEST_F(BusResetTest, MissingMainWindowIsAFailureOfTheIncomingPump) {
    ctx_.MainChildForm = nullptr;
    State.IncomingDataPending = true;
    IncomingDataThreadHandler();
    EXPECT_TRUE(Find(" in IncomingDataThreadHandler"));
}

}  // namespace
}  // namespace bustest
