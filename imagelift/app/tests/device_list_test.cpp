// The device list on plain node and target records: the rows it builds, which rows a refill
// changes, and how the selection finds its device again.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "app/device_list.h"
#include "bootloader/fwp.h"
#include "bus1394/config_rom_texts.h"
#include "tests/maker_node.h"

namespace {

using imagelift::DeviceList;
using imagelift::DeviceRow;
using V = std::vector<std::string>;

bas1394::NodeRecord Node(int16_t number) { return apptest::MakerNode(number); }

basBootloader::BootloaderTarget Target(const bas1394::NodeRecord& node, int32_t state, int32_t bootloaderVersion) {
    basBootloader::BootloaderTarget t;
    t.Handle = 63 + node.NodeNumber;
    t.Device = node;
    t.State = state;
    t.Info.BootloaderVersion = bootloaderVersion;
    t.Info.SoftwareVersion = 0x00010829;
    return t;
}

std::string Guid(const bas1394::NodeRecord& node) { return basConfigRom::GetGuidText(node.ConfigRom); }

// A bus of plain tables: node 0 is the local host, every link active unless cleared.
struct Bus {
    std::vector<bas1394::NodeRecord> nodes;
    std::vector<basBootloader::BootloaderTarget> targets = std::vector<basBootloader::BootloaderTarget>(1);
    std::vector<basBootloader::DebuggerNode> debuggers = std::vector<basBootloader::DebuggerNode>(1);
    std::vector<bas1394::TopologyNodeEntry> topology = std::vector<bas1394::TopologyNodeEntry>(63);
    bool listReady = true;

    Bus() {
        for (auto& entry : topology) entry.LinkActive = 1;
    }
    std::vector<DeviceRow> Rows() const {
        return imagelift::BuildDeviceRows({nodes, targets, debuggers, topology, 0, listReady});
    }
};

TEST(DeviceList, RowsShowEachNodeByWhatIsKnownOfIt) {
    Bus bus;
    const auto unread = [] {
        auto n = Node(7);
        n.ConfigRom.BusInfo.RawBytes.assign(1, 0);
        return n;
    }();
    bus.nodes = {Node(0), Node(1), Node(2), Node(3), Node(4), Node(5), Node(6), unread, bas1394::NodeRecord{}, Node(9)};
    bus.topology[1].LinkActive = 0;
    bus.targets.push_back(Target(Node(1), 2, 1));  // a dead link hides its target
    bus.targets.push_back(Target(Node(2), 1, 0));
    bus.targets.push_back(Target(Node(4), 2, 0));
    bus.targets.push_back(Target(Node(5), 2, 0x00020001));
    bus.targets.push_back(Target(Node(6), 7, 0));
    bus.debuggers.push_back({Node(3)});

    const auto rows = bus.Rows();
    ASSERT_EQ(rows.size(), 8u);  // the record without a node ends the table
    const std::string vendor = basConfigRom::GetVendorText(Node(2).ConfigRom);
    const std::string model = basConfigRom::GetModelText(Node(2).ConfigRom);
    const auto cells = [&](size_t i) { return V(rows[i].Cells.begin(), rows[i].Cells.end()); };
    EXPECT_EQ(cells(0), (V{"vdev", "0", " <unknown>", "Local PC Node", "No Local Config ROM", "No Local Config ROM",
                           "<unknown>"}));
    EXPECT_EQ(cells(1), (V{"vdev", "1", "<link not active>", "<link not active>", "<link not active>",
                           "<link not active>", "<unknown>"}));
    EXPECT_EQ(cells(2), (V{"vdev", "2", Guid(Node(2)), "missing", vendor, model, "<unknown>"}));
    EXPECT_EQ(rows[3].Cells[3], "Debugger Running");
    EXPECT_EQ(rows[4].Cells[3], "App Running");
    EXPECT_EQ(rows[4].Cells[6].substr(0, basBootloader::VersionToString(0x00010829).size()),
              basBootloader::VersionToString(0x00010829));
    EXPECT_EQ(rows[5].Cells[3], "Bootloader Running");
    EXPECT_EQ(rows[6].Cells[3], "error");
    EXPECT_TRUE(rows[6].BadState);
    EXPECT_EQ(rows[6].TargetState, 7);
    EXPECT_EQ(rows[7].Cells[2], "<read failed>");
    EXPECT_EQ(rows[7].Cells[3], "Incompatible");
    for (size_t i = 0; i < rows.size(); ++i) {
        EXPECT_EQ(rows[i].Running, i == 4 || i == 5) << i;
        EXPECT_EQ(rows[i].Node.NodeNumber, bus.nodes[i].NodeNumber);
    }

    // While the target list is being built, linked nodes are being scanned and none runs.
    bus.listReady = false;
    const auto scanning = bus.Rows();
    EXPECT_EQ(scanning[5].Cells[3], "<scanning...>");
    EXPECT_EQ(scanning[5].Cells[6], "<scanning...>");
    EXPECT_EQ(scanning[5].Cells[4], vendor);
    for (const auto& row : scanning) EXPECT_FALSE(row.Running);
}

TEST(DeviceList, ARefillNamesTheRowsThatChanged) {
    Bus bus;
    DeviceList list;
    bus.nodes = {Node(0)};
    EXPECT_EQ(list.Replace(bus.Rows()), (std::vector<size_t>{0}));
    // A bus-reset pass adds its nodes one at a time: only the new row is news.
    for (int16_t n = 1; n < 5; ++n) {
        bus.nodes.push_back(Node(n));
        EXPECT_EQ(list.Replace(bus.Rows()), (std::vector<size_t>{size_t(n)}));
    }
    // The target list completes: the rows of targets change, the others stay.
    bus.targets.push_back(Target(Node(3), 2, 1));
    EXPECT_EQ(list.Replace(bus.Rows()), (std::vector<size_t>{3}));
    // A node goes: the rows after it move up and all change; the list is shorter.
    bus.nodes.erase(bus.nodes.begin() + 2);
    EXPECT_EQ(list.Replace(bus.Rows()), (std::vector<size_t>{2, 3}));
    EXPECT_EQ(list.Rows().size(), 4u);
    EXPECT_EQ(list.Replace({}), (std::vector<size_t>{}));
}

TEST(DeviceList, TheSelectionFindsItsDeviceAgain) {
    Bus bus;
    bus.nodes = {Node(0), Node(1), Node(2), Node(3)};
    for (int16_t n = 1; n <= 3; ++n) bus.targets.push_back(Target(Node(n), 2, 1));
    DeviceList list;
    auto refill = [&] {
        list.Replace(bus.Rows());
        std::vector<size_t> panes;
        list.CarrySelection([&](size_t i, bool running) {
            if (running) panes.push_back(i);
        });
        return panes;
    };
    // Nothing chosen: the first running device becomes the choice and keeps the selection.
    EXPECT_EQ(refill(), (std::vector<size_t>{1, 2, 3}));
    EXPECT_EQ(list.Current(), 1);
    EXPECT_EQ(list.SelectedDeviceId, Guid(Node(1)));

    // The user picks another; a placeholder row keeps that choice.
    list.SetCurrent(2);
    list.KeepSelected();
    list.SetCurrent(0);  // the local host: " <unknown>"
    list.KeepSelected();
    EXPECT_EQ(list.SelectedDeviceId, Guid(Node(2)));
    refill();
    EXPECT_EQ(list.Current(), 2);
    EXPECT_EQ(list.SelectedTexts().Id, Guid(Node(2)));

    // Once it has gone the first running device is current, but the choice stays: back on the
    // bus, the device is selected again.
    bus.nodes = {Node(0), Node(1), Node(3)};
    EXPECT_EQ(refill(), (std::vector<size_t>{1, 2}));
    EXPECT_EQ(list.Current(), 1);
    EXPECT_EQ(list.Selected()->Node.NodeNumber, 1);
    EXPECT_EQ(list.SelectedDeviceId, Guid(Node(2)));
    bus.nodes = {Node(0), Node(1), Node(3), Node(2)};
    refill();
    EXPECT_EQ(list.Current(), 3);
    EXPECT_EQ(list.Selected()->Node.NodeNumber, 2);

    // No running device: no row is current, and the texts quoted are the header's.
    bus.listReady = false;
    refill();
    EXPECT_EQ(list.Current(), DeviceList::kNone);
    EXPECT_EQ(list.Selected(), nullptr);
    EXPECT_EQ(list.SelectedTexts().InvalidNodeMessage(), "Invalid Node: #  GUID=ID Mfg=Manufacterer Model=Model Name");
    list.SetCurrent(9);  // out of range: none
    EXPECT_EQ(list.Current(), DeviceList::kNone);
}

TEST(DeviceList, OnlyADeviceIdIsKeptAsTheChoice) {
    struct Case {
        const char* text;
        bool id;
    };
    for (const Case& c : {Case{"0A3C7E10 00010001", true}, Case{"0a3c7e1000010001", true},
                          Case{" <unknown>", false}, Case{"<link not active>", false}, Case{"<read failed>", false},
                          Case{"0A3C7E10 0001000", false}, Case{"0A3C7E10 0001000G", false}, Case{"", false}})
        EXPECT_EQ(imagelift::IsDeviceId(c.text), c.id) << c.text;
}

}  // namespace
