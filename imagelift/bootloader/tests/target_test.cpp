// The target list, info registers and the command set against simulated Lumarel 460s on the
// in-process bus.
#include "tests/boot_fixture.h"
#include "bootloader/commands.h"
#include "bootloader/info_registers.h"
#include "bootloader/keys.h"
#include "bootloader/shell.h"
#include "bootloader/target_list.h"

#include "kernel/mutex.h"

#include <atomic>
#include <thread>

namespace boottest {
namespace {

using namespace basBootloader;
using sim::lumarel::ProtocolVariant;

class Targets : public BootTest {};

ByteArray Guid(std::initializer_list<uint8_t> b) { return ByteArray(b); }

TEST_F(Targets, HandlesStartAtSixtyThreeAndSurviveRenumbering) {
    AddDevice("a", Config(ProtocolVariant::V1, 1));
    AddDevice("b", Config(ProtocolVariant::V3, 2));
    ASSERT_EQ(Rescan(), 1);
    EXPECT_TRUE(State.BootloaderListReady[0]);
    ASSERT_EQ(State.TargetList.size(), 2u);
    EXPECT_EQ(State.TargetList[0].Handle, 63) << "the first target lands in element 0";
    EXPECT_EQ(State.TargetList[1].Handle, 64);
    EXPECT_EQ(HandleOf("a"), 63);
    EXPECT_EQ(HandleOf("b"), 64);
    EXPECT_TRUE(Find("Scanning 3 nodes on the bus for compatibility..."));
    EXPECT_TRUE(Find("Node #0 is the local host adapter."));
    EXPECT_TRUE(Find("Node #1 is firmware-upgradable via 1394."));
    EXPECT_TRUE(Find("Node #2 is capable of sending and receiving debugging information via the 1394 shell."));
    EXPECT_TRUE(Find("BuildBootloaderDeviceList completed: 2 compatible nodes found on the bus."));
    EXPECT_EQ(State.TargetList[0].Guid, State.TargetList[0].Info.Guid) << "debug GUID brought into line";

    // A foreign node joins in front of both: every node number changes, no handle does.
    bus_.AddNode("foreign", std::make_unique<sim::PlainNode>("foreign", sim::MinimalRom(0x00ABCD)), 1);
    ASSERT_EQ(Rescan(), 1);
    EXPECT_EQ(State.TargetList.size(), 2u);
    EXPECT_EQ(GetNodeNum(63).NodeNumber, 2);
    EXPECT_EQ(GetNodeNum(64).NodeNumber, 3);
    EXPECT_EQ(HandleOf("a"), 63);

    // The lookups under the windows' names.
    EXPECT_EQ(GetBootloaderDevice(64).NodeNumber, 3);
    EXPECT_EQ(GetBootloaderDevice(0).NodeNumber, 128);
    EXPECT_EQ(GetTargetIndex(64), 1);
    EXPECT_EQ(GetTargetIndex(99), -1);
    bas1394::NodeRecord onNode;
    onNode.NodeNumber = 3;
    EXPECT_EQ(GetTargetIndexByNode(onNode), 64) << "the handle, not the index";
    onNode.NodeNumber = 1;
    EXPECT_EQ(GetTargetIndexByNode(onNode), 0) << "the foreign node has no target";
    const ByteArray guidA = State.TargetList[0].Info.Guid;
    EXPECT_EQ(GetTargetHandleByGuid(guidA), 63);
    EXPECT_EQ(GetTargetHandleByGuid(guidA, std::string("63")), 0) << "the only target with it is passed over";
    EXPECT_EQ(GetTargetHandleByGuid(guidA, std::string("64")), 63);
    EXPECT_EQ(GetTargetHandleByGuid(ByteArray(guidA.begin(), guidA.begin() + 4)), 0) << "the sizes differ";

    // A target that leaves keeps its element and handle, off the bus.
    bus_.Unplug("a");
    ASSERT_EQ(Rescan(), 1);
    EXPECT_EQ(GetDeviceIndex(63), 0);
    EXPECT_EQ(GetNodeNum(63).NodeNumber, 128);
    bas1394::NodeRecord gone;
    gone.DriverType = "vdev";
    gone.NodeNumber = 2;
    EXPECT_EQ(OpenBootloaderDevice(gone), 64) << "node 2 is now b";
    gone.NodeNumber = 9;
    EXPECT_EQ(OpenBootloaderDevice(gone), -101);
    EXPECT_EQ(CloseBootloaderDevice(63), 1);
    EXPECT_EQ(CloseBootloaderDevice(0), -1);
    EXPECT_EQ(CloseBootloaderDevice(-101), -1);
    EXPECT_EQ(GetDeviceIndex(63), 0);
    EXPECT_EQ(Count("Allocating range of 1394 memory for bootloader callbacks..."), 1)
        << "the callback range is allocated once, not on every reset";
}

TEST_F(Targets, InfoRegistersInEveryProtocolVersion) {
    struct Case {
        ProtocolVariant protocol;
        int32_t version;
        const char* line;
    };
    for (Case c : {Case{ProtocolVariant::V1, 1, nullptr}, Case{ProtocolVariant::V3, 3, "The protocol version is 3"},
                   Case{ProtocolVariant::V2, 2, nullptr},
                   Case{ProtocolVariant::V2BigEndian, kProtocolV2BigEndian,
                        "ReadInfoRegisters: Protocol version 2 is implemented as BigEndian"}}) {
        SCOPED_TRACE(int(c.protocol));
        bus_.RemoveNode("d");
        AddDevice("d", Config(c.protocol, 7));
        ClearLines();
        bas1394::NodeRecord node;
        node.DriverType = "vdev";
        node.NodeNumber = int16_t(bus_.PhyOf("d"));
        node.Topology.LinkActive = 1;
        InfoRegisters info;
        ASSERT_EQ(ReadInfoRegisters(node, info), 1);
        EXPECT_EQ(info.ProtocolVersion, c.version);
        EXPECT_EQ(info.Guid, Guid({0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x07}));
        EXPECT_EQ(info.BootloaderVersion, 0x01000005);
        EXPECT_EQ(info.HardwareModelId, 460);
        EXPECT_EQ(info.HardwareRevision, 1);
        EXPECT_EQ(std::string(info.BootloaderDate.begin(), info.BootloaderDate.end()), "20260105");
        if (c.line) {
            EXPECT_TRUE(Find(c.line)) << c.line;
        }
        auto summary = Find("Node #1: bootloader version=16777221, hardware version=460.1, software version=");
        ASSERT_TRUE(summary);
        EXPECT_EQ(summary->level, basDebug::USER);
    }
}

TEST_F(Targets, InfoRegistersReadTwiceWhenTheNodeDoesNotAnswer) {
    AddDevice("d");
    bas1394::NodeRecord node;
    node.DriverType = "vdev";
    node.NodeNumber = 1;
    node.Topology.LinkActive = 1;
    sim::FaultSpec once;
    once.kind = sim::FaultSpec::Kind::NoResponse;
    once.count = 1;
    bus_.AddFault("d", once);
    InfoRegisters info;
    EXPECT_EQ(ReadInfoRegisters(node, info), 1);
    sim::FaultSpec always;
    always.kind = sim::FaultSpec::Kind::NoResponse;
    bus_.AddFault("d", always);
    ClearLines();
    EXPECT_EQ(ReadInfoRegisters(node, info), 121);
    EXPECT_EQ(Count("bas1394.AsyncReadWrapper failed in ReadInfoRegisters, code 121  params: NodeNum=1 "
                    "addr=FFFFC8020000 numbytes=12 addr=FFFFC8020000"),
              2);
}

TEST_F(Targets, Compatibility) {
    struct Case {
        const char* vendor;
        int32_t version;
        bool ok;
        const char* line;
    };
    for (Case c : {Case{"VasKonEL", 1, true, nullptr}, Case{"vaskonel", 3, true, nullptr},
                   Case{"vaskonel", kProtocolV2BigEndian, true, "VerifyCompatibility: Protocol Version 2 is implemented as Big Endian"},
                   Case{"vaskonel", 4, false, "VerifyCompatibility: invalid protocol version: (app=1, 2, target=4)"},
                   Case{"vaskone1", 1, false,
                        "VerifyCompatibility: Vaskonel IDs do not match, Vaskonel ID asc('vaskonEl'), device returned "
                        "{76 61 73 6B 6F 6E 65 31}"}}) {
        InfoRegisters info;
        info.VendorId.assign(c.vendor, c.vendor + 8);
        info.ProtocolVersion = c.version;
        EXPECT_EQ(VerifyCompatibility(info), c.ok) << c.vendor << " " << c.version;
        if (c.line) {
            EXPECT_TRUE(Find(c.line)) << c.line;
        }
    }
}

TEST_F(Targets, CommandSet) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    const int32_t h = HandleOf("d");
    ASSERT_EQ(h, 63);
    ClearLines();

    int32_t crc = 0, validity = 0;
    EXPECT_EQ(ReadImageCRC(h, 0, crc, validity), 1);
    EXPECT_NE(validity, 0) << "an empty slot";
    EXPECT_TRUE(Find("ReadImageCRC warning: target indicates invalid CRC value: 0x"));
    EXPECT_EQ(ReadImageCRC(0, 0, crc, validity), -101);

    // GUID and MAC go as the callers pass them: each quadlet reversed.
    EXPECT_EQ(ProgramGUID(h, {0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}), 1);
    EXPECT_TRUE(Find("Setting GUID to 0A 3C 7E 10 00 01 00 02..."));
    EXPECT_EQ(ProgramMAC(h, {0x11, 0x3C, 0x0A, 0x00, 0x00, 0x00, 0x33, 0x22}), 1);
    auto mac = Find("Setting MAC address to ");
    ASSERT_TRUE(mac);
    EXPECT_EQ(mac->message, "Setting MAC address to 00 0A 3C 11 22 33...");
    EXPECT_TRUE(Find("Successfully set MAC address to the new value."));
    Dev("d", [](sim::lumarel::Lumarel460& d) {
        EXPECT_EQ(d.guid(), (sim::lumarel::Guid{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02}));
        EXPECT_EQ(d.mac(), (sim::lumarel::Mac{0x00, 0x0A, 0x3C, 0x11, 0x22, 0x33}));
    });

    EXPECT_EQ(SetDebugGUID(h, {1, 2, 3, 4, 5, 6, 7, 8}), 1);
    ByteArray debug;
    EXPECT_EQ(GetDebugGUID(h, debug), 1);
    EXPECT_EQ(debug, Guid({1, 2, 3, 4, 5, 6, 7, 8}));
    EXPECT_EQ(GetDebugGUID(0, debug), 0);

    EXPECT_EQ(InitializePersistentParams(h), 1);
    EXPECT_TRUE(Find("InitializePersistentParams succeeded"));
    EXPECT_EQ(InitializeConfigToFactoryDefaults(h), 1);
    EXPECT_EQ(SwitchTo1394Shell(h, 0, 0), 1);
    int32_t started = 0;
    EXPECT_EQ(StartImage(h, 2, started), 1) << "no debugger image: the target answers -1";
    EXPECT_EQ(started, -1);
    EXPECT_TRUE(Find("StartImage Failed: bad CRC of debugger image on embedded target!"));
    Dev("d", [](sim::lumarel::Lumarel460& d) {
        EXPECT_EQ(d.persistent().initializations, 1u);
        EXPECT_EQ(d.persistent().factoryDefaultLoads, 1u);
        EXPECT_TRUE(d.ShellRouted());
    });
    EXPECT_EQ(Haltbootloader(h), 1);
    EXPECT_TRUE(Find("Sent halt command to node #1"));
    EXPECT_EQ(ResetDevice(h, kResetStayInBootloader), 1);
    EXPECT_TRUE(Find("Resetting bootloader device 0x63"));
}

TEST_F(Targets, FactoryDefaultsWithoutAnAnswerOnlyWhenTheRequestWentOut) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.faults().silentFactoryDefaults = true; });
    EXPECT_EQ(InitializeConfigToFactoryDefaults(63), 1);
    auto line = Find("InitializeConfigToFactoryDefaults: bootloader does not respond to this command, assuming "
                     "success, transaction code -1");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::USER);
    // Off the bus the request cannot be sent: that is a failure.
    bus_.Unplug("d");
    ClearLines();
    EXPECT_NE(InitializeConfigToFactoryDefaults(63), 1);
    EXPECT_FALSE(Find("assuming success"));
}

TEST_F(Targets, KeysRoundTrip) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    struct Case {
        std::string name;
        size_t size;
    };
    for (const Case& c : {Case{"serial", 300}, Case{"abcd", 20}, Case{"twelve_chars", 5},
                          Case{std::string(45, 'k'), 200}}) {
        SCOPED_TRACE(c.name);
        ByteArray data(c.size);
        for (size_t i = 0; i < c.size; ++i) data[i] = uint8_t(i * 7 + 1);
        uint64_t before = 0;
        Dev("d", [&](sim::lumarel::Lumarel460& d) { before = d.RequestsTaken(); });
        ASSERT_EQ(WriteKey(63, c.name, data), 1);
        Dev("d", [&](sim::lumarel::Lumarel460& d) {
            ASSERT_TRUE(d.keys().count(c.name));
            EXPECT_EQ(d.keys().at(c.name), data);
            if (c.name == "serial") {
                EXPECT_EQ(d.RequestsTaken() - before, 3u) << "chunks of 128, 128 and 44";
            }
        });
        ByteArray back;
        ASSERT_EQ(ReadKey(63, c.name, back), 1);
        ASSERT_EQ(back.size(), c.size + 1) << "indexes 0 to the key's size";
        EXPECT_EQ(ByteArray(back.begin(), back.end() - 1), data);
    }
    ByteArray none;
    EXPECT_EQ(ReadKey(63, "missing", none), -1);
    EXPECT_TRUE(Find("ReadKey: size of key data for key 'missing' is 0!"));
    EXPECT_EQ(ReadKey(0, "x", none), -101);
    EXPECT_EQ(WriteKey(0, "x", none), -101);
}

TEST_F(Targets, BootloaderVersionZeroIsOpenedButNotConnected) {
    auto config = Config();
    AddDevice("d", config);
    Dev("d", [](sim::lumarel::Lumarel460& d) {
        sim::lumarel::ImageInfo info;
        d.InstallImage(0, ByteArray(64, 1), info);
        d.SetMode(sim::lumarel::Mode::Application);
    });
    clock_.Advance(100);
    ASSERT_EQ(Rescan(), 1);
    ASSERT_EQ(HandleOf("d"), 63);
    EXPECT_EQ(State.TargetList[0].Info.BootloaderVersion, 0);
    EXPECT_TRUE(Find("BuildBootloaderDeviceList: failed to connect to bootloader target, node #1"));
    EXPECT_FALSE(Find("is firmware-upgradable"));
    EXPECT_EQ(State.TargetList[0].Guid, ByteArray(1, 0)) << "no debug GUID read, no GUID pass";
}

TEST_F(Targets, GuidPasses) {
    AddDevice("a", Config(ProtocolVariant::V1, 1));
    AddDevice("b", Config(ProtocolVariant::V1, 2));
    ASSERT_EQ(Rescan(), 1);
    ClearLines();

    // Two targets reporting one debug GUID get the first two generated values.
    State.TargetList[0].Guid = State.TargetList[1].Guid = Guid({9, 9, 9, 9, 9, 9, 9, 9});
    EXPECT_EQ(HandleDuplicateGUIDs(), 1);
    EXPECT_EQ(State.TargetList[0].Guid, Guid({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFE}));
    EXPECT_EQ(State.TargetList[1].Guid, Guid({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFD}));

    // A null debug GUID gets the next one.
    State.TargetList[1].Guid = ByteArray(8, 0);
    EXPECT_EQ(HandleNullGUIDs(), 1);
    EXPECT_EQ(State.TargetList[1].Guid, Guid({0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    EXPECT_TRUE(Find("Null bootloader GUID found on node #2, set Debug GUID to FF FF FF FF FF FF FF FC"));
    Dev("b", [](sim::lumarel::Lumarel460& d) {
        EXPECT_EQ(d.debugGuid(), (std::array<uint8_t, 8>{0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFC}));
    });

    // Synchronisation brings them back; a target that ignores it fails the pass and stops the rest.
    EXPECT_EQ(SynchronizeGUIDs(), 1);
    EXPECT_EQ(State.TargetList[1].Guid, State.TargetList[1].Info.Guid);
    AddDevice("c", Config(ProtocolVariant::V1, 3));
    Dev("c", [](sim::lumarel::Lumarel460& d) { d.faults().ignoreDebugGuid = true; });
    ClearLines();
    ASSERT_EQ(Rescan(), 1);
    EXPECT_TRUE(Find("BuildDeviceList error: SynchronizeGUIDs failed, code -1"));
    EXPECT_FALSE(Find("Null bootloader GUID found")) << "the later passes do not run";
}

TEST_F(Targets, ASecondTargetNeverWipesATargetWithANullBootloaderGuid) {
    bas1394::NodeRecord n1, n2;
    n1.DriverType = n2.DriverType = "vdev";
    n1.NodeNumber = 1;
    n2.NodeNumber = 2;
    InfoRegisters info;
    info.VendorId.assign({'v', 'a', 's', 'k', 'o', 'n', 'e', 'l'});
    info.ProtocolVersion = 1;
    info.BootloaderVersion = 5;  // null GUID: a factory-fresh board
    ASSERT_EQ(CreateBootloaderDevice(n1, info), 0);
    EXPECT_EQ(OpenBootloaderDevice(n1), 63);
    info.Guid = Guid({0x0A, 0x3C, 0x7E, 0, 0, 0, 0, 9});
    ASSERT_EQ(CreateBootloaderDevice(n2, info), 1);
    EXPECT_EQ(OpenBootloaderDevice(n2), 64);
    EXPECT_EQ(GetDeviceIndex(63), 0);
    EXPECT_EQ(GetNodeNum(63).NodeNumber, 1);
    EXPECT_EQ(State.TargetList[1].Guid, ByteArray(8, 0));
    EXPECT_EQ(State.TargetList[1].ShellBuffer.size(), size_t(kShellBufferSize));
    EXPECT_EQ(State.TargetList[1].State, 2);
}

TEST_F(Targets, ABusResetDuringTheScanInterruptsIt) {
    AddDevice("d");
    ASSERT_EQ(Rescan(), 1);
    sim::FaultSpec cut;
    cut.kind = sim::FaultSpec::Kind::ResetAfter;
    cut.afterRequests = 1;
    bus_.AddFault("d", cut);
    const int refreshes = main_.nodesChanged;
    ClearLines();
    EXPECT_EQ(BusResetHandler(), 1);
    EXPECT_TRUE(Find("The bootloader discovery process has been interrupted by another bus reset!"));
    EXPECT_FALSE(Find("BuildBootloaderDeviceList completed"));
    EXPECT_EQ(main_.nodesChanged, refreshes);
    EXPECT_TRUE(State.BootloaderListReady[0]);
    EXPECT_EQ(GetDeviceIndex(63), 0) << "the target stays in the list";
}

TEST_F(Targets, EmptyNodeTableAndBusyList) {
    bas1394::ResetNodeTable();
    EXPECT_EQ(BusResetHandler(), 1);
    EXPECT_TRUE(State.BootloaderListReady[2]);
    EXPECT_FALSE(Find("Scanning"));

    std::atomic<bool> held{false}, release{false};
    std::thread other([&] {
        kernel::WaitForSingleObject(State.TargetListMutexHandle, 0);
        held = true;
        while (!release) std::this_thread::yield();
        kernel::ReleaseMutex(State.TargetListMutexHandle);
    });
    while (!held) std::this_thread::yield();
    EXPECT_EQ(BusResetHandler(), -100);
    EXPECT_FALSE(State.BootloaderListReady[0]);
    EXPECT_TRUE(Find("BusResetHandler failed: Timed out waiting for TargetList mutex"));
    ByteArray chars;
    EXPECT_EQ(ReadShellCharacters(63, chars, false), -100);
    EXPECT_EQ(WriteShellCharacters(63, {'a'}), -100);
    release = true;
    other.join();
}

TEST_F(Targets, DebuggerProbe) {
    ASSERT_EQ(bus_.AddNode("dbg", std::make_unique<sim::lumarel::DebuggerNode>()), sim::kResultSuccess);
    AddDevice("d");
    bas1394::NodeRecord node;
    node.DriverType = "vdev";
    node.NodeNumber = int16_t(bus_.PhyOf("dbg"));
    node.Topology.LinkActive = 1;
    node.ConfigRom.BusInfo.RawBytes = {0x01, 0x0A, 0x3C, 0x7E};
    EXPECT_TRUE(CheckForDebugSupport(node, 1000)) << "byte 2 of the answer is not checked";
    EXPECT_TRUE(DetectDebugger(node));
    EXPECT_EQ(State.DebuggerNodes[0].Device.NodeNumber, node.NodeNumber);
    EXPECT_TRUE(Find("Debugger is running on node #1"));
    // A node without the probe refuses the pattern: no answer is awaited.
    node.NodeNumber = int16_t(bus_.PhyOf("d"));
    const int64_t t0 = clock_.NowMicros();
    EXPECT_FALSE(CheckForDebugSupport(node, 1000));
    EXPECT_EQ(clock_.NowMicros(), t0);
    EXPECT_TRUE(Find("CheckForDebugSupport failed: AsyncWriteWrapper failed, code -1"));
}

}  // namespace
}  // namespace boottest
