#include "bus/description.h"

#include <fstream>

#include "tests/fixture.h"

namespace {

using namespace sim;
using json = nlohmann::json;

class Description : public simtest::BusFixture {};

TEST_F(Description, BuildsNodesInOrderWithKindsFlagsFaultsAndVirtualDevices) {
    Load(R"({
      "nodes": [
        {"id": "other", "kind": "foreign", "vendor": "Acme", "model": "Box", "guid": "0x00A0B0C0D0E0F001"},
        {"id": "boot", "kind": "minimal", "vendor_id": "0x0A3C7E"},
        {"id": "rawrom", "kind": "raw", "quadlets": ["0x0404BEEF", "0x31333934", "0", "0", "0"]},
        {"id": "gone", "kind": "unreadable", "plugged": false},
        {"id": "pc", "kind": "host", "guid": "0011223344556677"},
        {"id": "slow", "kind": "foreign", "faults": [ {"kind": "late_answer"} ]}
      ],
      "local_host": 4,
      "virtual_devices": ["1394_VIRTUAL_DEVICE"]
    })");
    EXPECT_EQ(bus.NodeIds(), (std::vector<std::string>{"other", "boot", "rawrom", "gone", "pc", "slow"}));
    EXPECT_EQ(bus.NodeCount(), 5);
    EXPECT_EQ(bus.LocalHostId(), "pc");
    EXPECT_EQ(bus.LocalHostPhy(), 3);
    ASSERT_EQ(bus.VirtualDevices().size(), 1u);
    EXPECT_EQ(bus.VirtualDevices()[0].name, "1394_VIRTUAL_DEVICE");

    int32_t code;
    EXPECT_EQ(ReadQuadlet(1, kConfigRomBase, &code), 0x010A3C7Eu);
    // Raw quadlets are served as they are, wrong CRC included.
    EXPECT_EQ(ReadQuadlet(2, kConfigRomBase, &code), 0x0404BEEFu);
    // The local host's own ROM: the usual adapter image for that GUID.
    std::vector<uint32_t> hostRom;
    bus.WithNode("pc", [&](Node& n) { hostRom = n.ConfigRom(); });
    EXPECT_EQ(hostRom, (std::vector<uint32_t>{0x0404568F, 0x31333934, 0xF000B223, 0x00112233, 0x44556677, 0x00049F57,
                                              0x0C0083C0, 0x03001122, 0x81000002, 0x17000001, 0x0005D132, 0x00000000,
                                              0x00000000, 0x53696D20, 0x486F7374, 0x00000000}));
    std::vector<uint32_t> foreignRom;
    bus.WithNode("other", [&](Node& n) { foreignRom = n.ConfigRom(); });
    EXPECT_TRUE(CheckConfigRom(foreignRom).empty());
    EXPECT_EQ(foreignRom[3], 0x00A0B0C0u);
    ReadQuadlet(4, kConfigRomBase, &code);
    EXPECT_EQ(code, kResultTimedOut);

    // The control tool's view names everything above.
    json d = bus.Describe();
    EXPECT_EQ(d["local_node_id"], "FFC3");
    EXPECT_EQ(d["nodes"][3]["plugged"], false);
    EXPECT_EQ(d["nodes"][5]["faults"][0]["kind"], "late_answer");
    EXPECT_EQ(d["nodes"][1]["state"]["rom"][0], "010A3C7E");
}

TEST_F(Description, DefaultHostAtAPositionAndRegisteredKinds) {
    RegisterNodeKind("test-device", [](const NodeContext& c) {
        auto n = std::make_unique<PlainNode>("test-device", MinimalRom(c.nodeDesc.value("vendor", 7u)));
        n->SetRegister(kCsrHigh, 0xF0000800, uint32_t(c.stateDir.filename().string().size()));
        return n;
    });
    EXPECT_TRUE(IsNodeKindRegistered("test-device"));
    sim::LoadDescription(bus, json::parse(R"({"nodes": [ {"id": "d1", "kind": "test-device", "vendor": 9},
                                                        {"id": "dev-two", "kind": "test-device"},
                                                        {"id": "../up", "kind": "test-device"} ],
                                             "local_host": 1})"),
                         root_ / "state");
    EXPECT_EQ(bus.NodeIds(), (std::vector<std::string>{"d1", "host", "dev-two", "../up"}));
    EXPECT_EQ(bus.LocalHostPhy(), 1);
    int32_t code;
    EXPECT_EQ(ReadQuadlet(0, kConfigRomBase, &code), 0x01000009u);
    EXPECT_EQ(ReadQuadlet(2, 0xF0000800, &code), 7u);  // its state folder is <root>/dev-two
    EXPECT_EQ(ReadQuadlet(3, 0xF0000800, &code), 5u);  // "___up", not a folder outside the root
}

TEST_F(Description, BadDescriptionsAreRefusedClearlyAndChangeNothing) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign"} ]})");
    json before = bus.Describe();
    events.clear();
    struct Case {
        const char* text;
        const char* message;
    } cases[] = {
        {R"([])", "expected a JSON object"},
        {R"({"nodes": {}})", "\"nodes\" must be a list"},
        {R"({"nodes": [], "extra": 1})", "unknown key \"extra\""},
        {R"({"nodes": [ {"kind": "host"} ]})", "node 0: \"id\""},
        {R"({"nodes": [ {"id": "a", "kind": "host"}, {"id": "a", "kind": "foreign"} ]})", "used twice"},
        {R"({"nodes": [ {"id": "a", "kind": "warp-drive"} ]})", "unknown kind \"warp-drive\""},
        {R"({"nodes": [ {"id": "a", "kind": "host"}, {"id": "b", "kind": "host"} ]})", "one local host"},
        {R"({"nodes": [ {"id": "a", "kind": "host"} ], "local_host": 1})", "kind \"host\" is at 0"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign"} ], "local_host": 5})", "local_host"},
        {R"({"nodes": [ {"id": "a", "kind": "minimal"} ]})", "vendor_id"},
        {R"({"nodes": [ {"id": "a", "kind": "raw", "quadlets": ["0xZZ"]} ]})", "quadlets"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "colour": "red"} ]})", "unknown key \"colour\""},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "link_active": "yes"} ]})", "link_active"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "phy": {"gap_count": 64}} ]})", "gap_count"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "phy": {"ports": ["up"]}} ]})", "ports"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "faults": [ {"kind": "gremlins"} ]} ]})", "gremlins"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "faults": [ {"kind": "no_response", "count": 0} ]} ]})", "count"},
        {R"({"nodes": [ {"id": "a", "kind": "foreign", "faults": [ {"kind": "code"} ]} ]})", "needs \"code\""},
        {R"({"nodes": [ {"id": "a", "kind": "unreadable", "error": "maybe"} ]})", "error"},
        {R"({"nodes": [], "virtual_devices": [""]})", "virtual_devices"},
        // Ids that would share one state folder: the second is refused, whatever kind it is.
        {R"({"nodes": [ {"id": "u.1", "kind": "foreign"}, {"id": "u_1", "kind": "foreign"} ]})",
         "node 1 (\"u_1\"): the id would share its state folder \"u_1\" with node \"u.1\""},
        {R"({"nodes": [ {"id": "u.1", "kind": "foreign"}, {"id": "u:1", "kind": "host"} ]})", "with node \"u.1\""},
    };
    for (const auto& c : cases) {
        try {
            Load(c.text);
            ADD_FAILURE() << c.text << " was accepted";
        } catch (const DescriptionError& e) {
            EXPECT_NE(std::string(e.what()).find(c.message), std::string::npos) << c.text << " -> " << e.what();
        }
    }
    json tooMany{{"nodes", json::array()}};
    for (int i = 0; i < 64; ++i) tooMany["nodes"].push_back({{"id", "n" + std::to_string(i)}, {"kind", "foreign"}});
    EXPECT_THROW(sim::LoadDescription(bus, tooMany), DescriptionError);

    EXPECT_EQ(bus.Describe(), before);
    EXPECT_TRUE(events.empty());
}

TEST_F(Description, FilesThatAreMissingOrNotJsonAreNamedInTheMessage) {
    auto file = root_ / "bus.json";
    try {
        LoadDescriptionFile(bus, file);
        ADD_FAILURE();
    } catch (const DescriptionError& e) {
        EXPECT_NE(std::string(e.what()).find("cannot be opened"), std::string::npos);
    }
    std::ofstream(file) << "{ \"nodes\": [ ";
    try {
        LoadDescriptionFile(bus, file);
        ADD_FAILURE();
    } catch (const DescriptionError& e) {
        EXPECT_NE(std::string(e.what()).find("not valid JSON"), std::string::npos);
        EXPECT_NE(std::string(e.what()).find("bus.json"), std::string::npos);
    }
    std::ofstream(file) << R"({ "nodes": [ {"id": "host", "kind": "host"} ] })";
    LoadDescriptionFile(bus, file);
    EXPECT_EQ(bus.NodeCount(), 1);
}

}  // namespace
