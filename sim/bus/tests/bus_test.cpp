#include "bus/bus.h"
#include "bus/json_codec.h"

#include <atomic>
#include <thread>

#include "tests/fixture.h"

namespace {

using namespace sim;
using simtest::MemoryNode;

class Topology : public simtest::BusFixture {};
class Transactions : public simtest::BusFixture {};
class Faults : public simtest::BusFixture {};
class Resets : public simtest::BusFixture {};
class HostRanges : public simtest::BusFixture {};
class VirtualDevices : public simtest::BusFixture {};

// Program-style reading of the topology map: one entry per node, an extended packet skipped.
std::vector<uint32_t> FirstPackets(const std::vector<uint8_t>& map) {
    uint16_t selfIdCount = uint16_t(map[10] | map[11] << 8);
    std::vector<uint32_t> out;
    size_t at = 12;
    for (uint16_t i = 0; i < selfIdCount; ++i) {
        uint32_t q = uint32_t(map.at(at)) << 24 | uint32_t(map.at(at + 1)) << 16 | uint32_t(map.at(at + 2)) << 8 | map.at(at + 3);
        out.push_back(q);
        at += (q & 1) ? 8 : 4;
    }
    return out;
}

TEST_F(Topology, SelfIdsOfADaisyChainWithTheHostLast) {
    Load(R"({"nodes": [ {"id": "a", "kind": "foreign"}, {"id": "b", "kind": "minimal", "vendor_id": "0x0A3C7E"},
                        {"id": "host", "kind": "host"} ]})");
    EXPECT_EQ(bus.Generation(), 1u);
    EXPECT_EQ(bus.LocalHostPhy(), 2);
    EXPECT_EQ(bus.LocalNodeId(), 0xFFC2);
    // 10 phy 1 L gap=63 sp=S400 | ports: parent / child / not connected; the host is the
    // root (no parent), a contender with power class 4.
    EXPECT_EQ(bus.SelfIds(), (std::vector<uint32_t>{0x807F8094, 0x817F80B4, 0x827F8C74}));

    std::vector<uint8_t> map = bus.TopologyMap();
    ASSERT_EQ(map.size(), 12u + 12u);
    EXPECT_EQ(map[0] | map[1] << 8, 2 + 3);                           // quadlets after the first
    EXPECT_EQ(uint32_t(map[4] | map[5] << 8 | map[6] << 16 | map[7] << 24), 1u);  // generation
    EXPECT_EQ(map[8] | map[9] << 8, 3);                               // node count
    EXPECT_EQ(map[10] | map[11] << 8, 3);                             // self-ID count
    EXPECT_EQ(map[12], 0x80);                                         // packets MSB first
    EXPECT_EQ(map[15], 0x94);
    std::vector<uint32_t> covered{1, 0x00030003, 0x807F8094, 0x817F80B4, 0x827F8C74};
    EXPECT_EQ(map[2] | map[3] << 8, Crc16Quadlets(covered));
}

TEST_F(Topology, PhySettingsInactiveLinksAndExtendedPackets) {
    Load(R"({"nodes": [
        {"id": "host", "kind": "host"},
        {"id": "dev", "kind": "foreign", "link_active": false,
         "phy": {"gap_count": 5, "speed": 1, "delay": 2, "contender": true, "power_class": 3,
                 "ports": ["child", "parent", "none", "child", "not_connected"]}},
        {"id": "last", "kind": "foreign", "phy": {"extended": true}} ]})");
    // dev: L=0 gap=5 sp=1 del=2 c=1 pwr=3 p0=child p1=parent p2=none m=1; then the extended
    // packet with port 3 child, port 4 not connected, the rest not present.
    EXPECT_EQ(bus.SelfIdsOf(1), (std::vector<uint32_t>{0x81056BE1, 0x81834000}));
    EXPECT_EQ(bus.SelfIdsOf(2), (std::vector<uint32_t>{0x827F8075, 0x82800000}));
    std::vector<uint8_t> map = bus.TopologyMap();
    EXPECT_EQ(map[10] | map[11] << 8, 3);  // nodes, not packets
    std::vector<uint32_t> first = FirstPackets(map);
    ASSERT_EQ(first.size(), 3u);
    for (int k = 0; k < 3; ++k) EXPECT_EQ((first[size_t(k)] >> 24) & 0x3F, uint32_t(k));
    EXPECT_EQ(first[1] & 0x00400000, 0u);  // link inactive

    // A node with an inactive link never acknowledges.
    int32_t code;
    ReadQuadlet(1, kConfigRomBase, &code);
    EXPECT_EQ(code, kResultNoResponse);
    bus.SetLinkActive("dev", true);
    EXPECT_NE(bus.SelfIdsOf(1)[0] & 0x00400000, 0u);
    ReadQuadlet(1, kConfigRomBase, &code);
    EXPECT_EQ(code, kResultSuccess);
}

TEST_F(Topology, HostAnywhereUpToSixtyThreeNodes) {
    for (int i = 0; i < 62; ++i) ASSERT_EQ(bus.AddNode("n" + std::to_string(i), std::make_unique<PlainNode>("x"), -1, true, false), kResultSuccess);
    ASSERT_EQ(bus.AddNode("host", std::make_unique<PlainNode>("host"), 30, true, false), kResultSuccess);
    bus.SetLocalHost("host");
    bus.Reset();
    EXPECT_EQ(bus.NodeCount(), 63);
    EXPECT_EQ(bus.LocalHostPhy(), 30);
    EXPECT_EQ(bus.IdAt(31), "n30");
    EXPECT_EQ(bus.AddNode("too-many", std::make_unique<PlainNode>("x")), kResultNoRoom);
    EXPECT_EQ(bus.AddNode("spare", std::make_unique<PlainNode>("x"), -1, false), kResultSuccess);
    EXPECT_FALSE(bus.Plug("spare"));
    EXPECT_EQ(bus.AddNode("n0", std::make_unique<PlainNode>("x")), kResultInvalidParameter);
    // Unplugged nodes are bounded too: a control client cannot grow the known list without end.
    int spares = 1;
    while (bus.AddNode("spare" + std::to_string(spares), std::make_unique<PlainNode>("x"), -1, false) == kResultSuccess)
        ++spares;
    EXPECT_EQ(63 + spares, kMaxKnownNodes);
}

TEST_F(Transactions, ConfigRomReadsByQuadletAndBlock) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign"} ]})");
    std::vector<uint32_t> rom;
    bus.WithNode("dev", [&](Node& n) { rom = n.ConfigRom(); });
    ASSERT_GT(rom.size(), 10u);
    int32_t code;
    for (size_t i = 0; i < rom.size(); ++i) {
        EXPECT_EQ(ReadQuadlet(1, kConfigRomBase + uint32_t(4 * i), &code), rom[i]);
        EXPECT_EQ(code, kResultSuccess);
    }
    std::vector<uint8_t> block(4 * rom.size());
    ASSERT_EQ(bus.Read(1, kCsrHigh, kConfigRomBase, uint32_t(block.size()), block.data(), 100), kResultSuccess);
    EXPECT_EQ(block[0], rom[0] >> 24);
    EXPECT_EQ(block[block.size() - 1], rom.back() & 0xFF);
    // The host reads its own ROM by loopback, also addressed by full node ID.
    EXPECT_EQ(ReadQuadlet(0xFFC0, kConfigRomBase + 4, &code), 0x31333934u);
    EXPECT_EQ(code, kResultSuccess);
}

TEST_F(Transactions, ResultCodesOfRefusedAndFailedRequests) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign"},
                        {"id": "dead", "kind": "unreadable"}, {"id": "refuses", "kind": "unreadable", "error": "address_error"} ]})");
    uint8_t buf[kMaxPayload + 8] = {};
    struct Case {
        int node;
        uint32_t low;
        uint32_t count;
        int32_t read;
        int32_t write;
    } cases[] = {
        {1, kConfigRomBase, 4, kResultSuccess, kResultResponseError},     // the ROM is read-only
        {1, 0xC8020000, 4, kResultResponseError, kResultResponseError},   // nothing mapped
        {1, kConfigRomBase + 0x3FC, 4, kResultResponseError, kResultResponseError},  // past the image
        {1, kConfigRomBase + 2, 4, kResultResponseError, kResultResponseError},      // not a quadlet address
        {1, kConfigRomBase, 0, kResultInvalidParameter, kResultInvalidParameter},
        {1, kConfigRomBase, 6, kResultInvalidParameter, kResultInvalidParameter},
        {1, kConfigRomBase, kMaxPayload + 4, kResultInvalidParameter, kResultInvalidParameter},
        {2, kConfigRomBase, 4, kResultNoResponse, kResultNoResponse},      // unreadable ROM
        {3, kConfigRomBase, 4, kResultResponseError, kResultResponseError},
        {4, kConfigRomBase, 4, kResultNoResponse, kResultNoResponse},      // nobody there
        {62, kConfigRomBase, 4, kResultNoResponse, kResultNoResponse},
        {64, kConfigRomBase, 4, kResultInvalidParameter, kResultInvalidParameter},
        {-1, kConfigRomBase, 4, kResultInvalidParameter, kResultInvalidParameter},
        {0xFFC1, kConfigRomBase, 4, kResultSuccess, kResultResponseError},  // full node ID
        {0x1FFC1, kConfigRomBase, 4, kResultInvalidParameter, kResultInvalidParameter},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(bus.Read(c.node, kCsrHigh, c.low, c.count, buf, 100), c.read) << "read node " << c.node << " count " << c.count;
        EXPECT_EQ(bus.Write(c.node, kCsrHigh, c.low, c.count, buf, 100), c.write) << "write node " << c.node << " count " << c.count;
    }
    // 2048 bytes is the largest payload; a block across the end of the mapped space fails.
    bus.WithNode("dev", [](Node& n) { n.MapRegion(Region{kCsrHigh, 0xC8020000, 4096, [](const Access&, std::span<uint8_t>) { return Reply::Ok(); }, {}}); });
    EXPECT_EQ(bus.Read(1, kCsrHigh, 0xC8020000, kMaxPayload, buf, 100), kResultSuccess);
    EXPECT_EQ(bus.Read(1, kCsrHigh, 0xC8020000 + 4096 - 1024, kMaxPayload, buf, 100), kResultResponseError);
    EXPECT_EQ(bus.Write(1, kCsrHigh, 0xC8020000, 4, buf, 100), kResultResponseError);  // read-only region
    EXPECT_EQ(bus.Read(kBroadcastNode, kCsrHigh, kConfigRomBase, 4, buf, 100), kResultInvalidParameter);
}

TEST_F(Transactions, RegistersAndBroadcastWrites) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"},
        {"id": "p1", "kind": "plain", "registers": [ {"address": "0xFFFFF0000800", "value": "0x12345678"},
                                                     {"address": "0xFFFFF0000A00", "writable": true} ]},
        {"id": "p2", "kind": "plain", "registers": [ {"address": "0xFFFFF0000A00", "writable": true} ]} ]})");
    int32_t code;
    EXPECT_EQ(ReadQuadlet(1, 0xF0000800, &code), 0x12345678u);
    const uint8_t v[4] = {0xDE, 0xAD, 0xBE, 0xEF};
    EXPECT_EQ(bus.Write(1, kCsrHigh, 0xF0000800, 4, v, 0), kResultResponseError);  // read-only
    // A broadcast write reaches every other node and is not answered.
    EXPECT_EQ(bus.Write(kBroadcastNode, kCsrHigh, 0xF0000A00, 4, v, 0), kResultSuccess);
    EXPECT_EQ(ReadQuadlet(1, 0xF0000A00, &code), 0xDEADBEEFu);
    EXPECT_EQ(ReadQuadlet(2, 0xF0000A00, &code), 0xDEADBEEFu);
}

TEST_F(Transactions, LateAnswersRunOnTheClock) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"} ]})");
    auto mem = std::make_unique<MemoryNode>();
    MemoryNode* node = mem.get();
    bus.AddNode("mem", std::move(mem));
    node->mem[0] = 0x42;
    uint8_t buf[4];

    node->delayMs = 30;
    int64_t t0 = clock.NowMicros();
    EXPECT_EQ(bus.Read(1, kCsrHigh, MemoryNode::kBase, 4, buf, 100), kResultSuccess);
    EXPECT_EQ(buf[0], 0x42);
    EXPECT_EQ((clock.NowMicros() - t0) / 1000, 30);

    node->delayMs = 150;
    t0 = clock.NowMicros();
    EXPECT_EQ(bus.Read(1, kCsrHigh, MemoryNode::kBase, 4, buf, 100), kResultTimedOut);
    EXPECT_EQ((clock.NowMicros() - t0) / 1000, 100);
    t0 = clock.NowMicros();
    EXPECT_EQ(bus.Write(1, kCsrHigh, MemoryNode::kBase, 4, buf, 0), kResultTimedOut);  // 0: the default
    EXPECT_EQ((clock.NowMicros() - t0) / 1000, int64_t(kDefaultTimeoutMs));
    EXPECT_EQ(bus.Read(1, kCsrHigh, MemoryNode::kBase, 4, buf, 200), kResultSuccess);

    // A reset while the request waits for its answer cuts it.
    node->delayMs = 50;
    clock.Schedule(20, [this] { bus.Reset(); });
    EXPECT_EQ(bus.Read(1, kCsrHigh, MemoryNode::kBase, 4, buf, 100), kResultResetOccurred);
}

TEST_F(Faults, EachFaultGivesItsResultCode) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign"} ]})");
    struct Case {
        const char* fault;
        int32_t code;
    } cases[] = {
        {R"({"kind": "no_response"})", kResultNoResponse},
        {R"({"kind": "address_error"})", kResultResponseError},
        {R"({"kind": "late_answer"})", kResultTimedOut},
        {R"({"kind": "late_answer", "delay_ms": 20})", kResultSuccess},
        {R"({"kind": "late_answer", "delay_ms": 120})", kResultTimedOut},
        {R"({"kind": "unknown_error"})", kResultUnknownError},
        {R"({"kind": "code", "code": "0x80000002"})", kResultShutdown},
        {R"({"kind": "code", "code": -2})", -2},
        {R"({"kind": "reset_after", "after": 1})", kResultResetOccurred},
    };
    for (const auto& c : cases) {
        bus.ClearAllFaults();
        ASSERT_TRUE(bus.AddFault("dev", FaultFromJson(nlohmann::json::parse(c.fault))));
        uint32_t before = bus.Generation();
        int32_t code;
        ReadQuadlet(1, kConfigRomBase, &code);
        EXPECT_EQ(code, c.code) << c.fault;
        EXPECT_EQ(bus.Generation() - before, c.code == kResultResetOccurred ? 1u : 0u) << c.fault;
    }
}

TEST_F(Faults, AddressWindowsDirectionCountsAndResetAfterTheNthRequest) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign",
             "faults": [ {"kind": "address_error", "address": "0xFFFFF0000408", "length": 4, "count": 2},
                         {"kind": "no_response", "direction": "write"} ]} ]})");
    int32_t code;
    ReadQuadlet(1, kConfigRomBase, &code);
    EXPECT_EQ(code, kResultSuccess);
    uint8_t block[16];
    EXPECT_EQ(bus.Read(1, kCsrHigh, kConfigRomBase, 16, block, 0), kResultResponseError);  // overlaps the window
    ReadQuadlet(1, kConfigRomBase + 8, &code);
    EXPECT_EQ(code, kResultResponseError);
    ReadQuadlet(1, kConfigRomBase + 8, &code);  // the count is used up
    EXPECT_EQ(code, kResultSuccess);
    EXPECT_EQ(bus.Write(1, kCsrHigh, 0xC0000000, 4, block, 0), kResultNoResponse);
    EXPECT_EQ(bus.Faults("dev").size(), 1u);

    bus.ClearFaults("dev");
    FaultSpec reset;
    reset.kind = FaultSpec::Kind::ResetAfter;
    reset.afterRequests = 3;
    bus.AddFault("dev", reset);
    events.clear();
    for (int i = 1; i <= 4; ++i) {
        ReadQuadlet(1, kConfigRomBase, &code);
        EXPECT_EQ(code, i == 3 ? kResultResetOccurred : kResultSuccess) << "request " << i;
    }
    EXPECT_EQ(Count(EventKind::BusReset), 1);
    EXPECT_EQ(events.back().cause, ResetCause::Fault);
    EXPECT_TRUE(bus.Faults("dev").empty());
}

TEST_F(Faults, NoticesAndStorms) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"} ]})");
    events.clear();
    bus.InjectNotice(EventKind::DriverError);
    bus.InjectNotice(EventKind::OtherDriverReset);
    bus.ResetStorm(5);
    ASSERT_EQ(events.size(), 7u);
    EXPECT_EQ(events[0].kind, EventKind::DriverError);
    EXPECT_EQ(events[1].kind, EventKind::OtherDriverReset);
    EXPECT_EQ(events[6].generation, bus.Generation());
    EXPECT_EQ(bus.Generation(), 6u);
}

TEST_F(Resets, GenerationsCausesAndNodesSeeTheirNewPhyId) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "a", "kind": "foreign"} ]})");
    auto mem = std::make_unique<MemoryNode>();
    MemoryNode* node = mem.get();
    events.clear();
    bus.AddNode("mem", std::move(mem), 1);  // joins between host and a
    EXPECT_EQ(node->resets.back(), (std::pair<uint32_t, int>{2, 1}));
    EXPECT_EQ(bus.PhyOf("a"), 2);
    bus.Unplug("host");
    EXPECT_EQ(node->resets.back(), (std::pair<uint32_t, int>{3, 0}));
    EXPECT_EQ(bus.LocalHostPhy(), -1);
    int32_t code;
    ReadQuadlet(0, kConfigRomBase, &code);  // the host's adapter is off the bus
    EXPECT_EQ(code, kResultNoResponse);
    bus.Plug("host");
    bus.SetLinkActive("a", false);
    bus.WithNode("mem", [](Node& n) { n.bus()->Reset(ResetCause::NodeRequest, &n); });  // a mode switch
    bus.RemoveNode("a");
    bus.Reset();
    std::vector<ResetCause> causes;
    for (const auto& e : events) {
        ASSERT_EQ(e.kind, EventKind::BusReset);
        causes.push_back(e.cause);
    }
    EXPECT_EQ(causes, (std::vector<ResetCause>{ResetCause::NodeJoined, ResetCause::NodeLeft, ResetCause::NodeJoined,
                                               ResetCause::LinkChanged, ResetCause::NodeRequest, ResetCause::NodeLeft,
                                               ResetCause::Request}));
    EXPECT_EQ(events.back().generation, 8u);
    // The initiator's self-ID carries the "initiated reset" bit for that reset only.
    bus.WithNode("mem", [](Node& n) { n.bus()->Reset(ResetCause::NodeRequest, &n); });
    EXPECT_EQ(bus.SelfIdsOf(1)[0] & 2, 2u);
    bus.Reset();
    EXPECT_EQ(bus.SelfIdsOf(1)[0] & 2, 0u);
}

TEST_F(Resets, ListenersRunAfterTheNewTopologyAndRomsAreReadable) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"} ]})");
    std::vector<int32_t> codes;
    std::vector<uint16_t> nodeCounts;
    bus.AddListener([&](const BusEvent& e) {
        if (e.kind != EventKind::BusReset) return;
        std::vector<uint8_t> map = bus.TopologyMap();  // calls back into the bus
        nodeCounts.push_back(uint16_t(map[8] | map[9] << 8));
        int32_t code;
        ReadQuadlet(nodeCounts.back() - 1, kConfigRomBase, &code);
        codes.push_back(code);
    });
    bus.AddNode("dev", std::make_unique<PlainNode>("x", MinimalRom(0x0A3C7E)));
    bus.Unplug("dev");
    EXPECT_EQ(nodeCounts, (std::vector<uint16_t>{2, 1}));
    EXPECT_EQ(codes, (std::vector<int32_t>{kResultSuccess, kResultSuccess}));
}

// A node that switches "mode" while the bus tells it about a reset: the change shows in one
// more reset instead of a nested one.
class ModeSwitcher : public Node {
public:
    ModeSwitcher() : Node("switcher") { SetConfigRom(MinimalRom(1)); }
    void OnBusReset(uint32_t, int) override {
        if (switchOnce) {
            switchOnce = false;
            SetConfigRom(MinimalRom(2));
            bus()->Reset(ResetCause::NodeRequest, this);
        }
    }
    bool switchOnce = false;
};

TEST_F(Resets, ResetAskedForDuringAResetFollowsIt) {
    auto sw = std::make_unique<ModeSwitcher>();
    ModeSwitcher* node = sw.get();
    bus.AddNode("sw", std::move(sw));
    events.clear();
    node->switchOnce = true;
    bus.Reset();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].cause, ResetCause::NodeRequest);
    EXPECT_EQ(events[0].generation, bus.Generation());
    EXPECT_EQ(bus.Generation(), 3u);
}

TEST_F(Resets, ANodeAskingAtEveryResetGetsABoundedStorm) {
    class Restless : public Node {
    public:
        Restless() : Node("restless") {}
        void OnBusReset(uint32_t, int) override { bus()->Reset(ResetCause::NodeRequest, this); }
    };
    bus.AddNode("r", std::make_unique<Restless>());
    EXPECT_LE(bus.Generation(), 20u);
    EXPECT_EQ(Count(EventKind::BusReset), 1);
}

TEST_F(Resets, ScheduledNodeWorkIsDroppedOnceTheNodeIsRemoved) {
    auto a = std::make_unique<MemoryNode>();
    auto b = std::make_unique<MemoryNode>();
    MemoryNode* kept = b.get();
    bus.AddNode("a", std::move(a));
    bus.AddNode("b", std::move(b));
    int ran = 0;
    bus.WithNode("a", [&](Node& n) { n.Schedule(10, [&] { ++ran; }); });
    bus.WithNode("b", [&](Node& n) { n.Schedule(10, [&] { ++ran; kept->mem[0] = 7; }); });
    bus.RemoveNode("a");
    clock.Advance(20);
    EXPECT_EQ(ran, 1);
    EXPECT_EQ(kept->mem[0], 7);
}

TEST_F(Resets, ConcurrentRequestsAndTopologyChanges) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"}, {"id": "a", "kind": "foreign"}, {"id": "b", "kind": "foreign"} ]})");
    std::atomic<bool> stop{false};
    std::atomic<int> unexpected{0}, done{0};
    std::vector<std::thread> readers;
    for (int t = 0; t < 4; ++t) {
        readers.emplace_back([&] {
            uint8_t buf[64];
            while (!stop) {
                int32_t r = bus.Read(1 + int(done % 2), kCsrHigh, kConfigRomBase, 16, buf, 0);
                if (r != kResultSuccess && r != kResultNoResponse) ++unexpected;
                ++done;
            }
        });
    }
    for (int i = 0; i < 300; ++i) {
        bus.Unplug("a");
        bus.Plug("a");
        bus.Reset();
    }
    while (done < 1000) std::this_thread::yield();
    stop = true;
    for (auto& t : readers) t.join();
    EXPECT_EQ(unexpected, 0);
    EXPECT_EQ(bus.Generation(), 1u + 900u);
    EXPECT_EQ(Count(EventKind::BusReset), 901);
}

TEST_F(HostRanges, NodeWritesIntoAnAllocatedRangeRaiseIncomingData) {
    Load(R"({"nodes": [ {"id": "dev", "kind": "foreign"}, {"id": "host", "kind": "host"} ]})");
    RangeResult r = bus.AllocateRange(0xFFFF, 0xC8029000, 0x40);
    ASSERT_EQ(r.status, 0);
    EXPECT_NE(r.handle, 0);
    EXPECT_EQ(bus.AllocateRange(0xFFFF, 0xC8029020, 0x40).status, kResultRangeInUse);
    EXPECT_EQ(bus.AllocateRange(0xFFFF, 0xC8029000, 0).status, kResultInvalidParameter);
    // A length the host cannot keep (or one running past the 32-bit offset) is refused.
    EXPECT_EQ(bus.AllocateRange(0xFFFE, 0, 0xFFFFFFFFu).status, kResultInvalidParameter);
    EXPECT_EQ(bus.AllocateRange(0xFFFE, 0, kMaxRangeLength + 4).status, kResultInvalidParameter);
    EXPECT_EQ(bus.AllocateRange(0xFFFE, 0x10, 0xFFFFFFF0u + 4).status, kResultInvalidParameter);
    RangeResult other = bus.AllocateRange(0xFFFF, 0xC8029040, 8, kAccessWrite, 0);
    ASSERT_EQ(other.status, 0);
    EXPECT_NE(other.handle, r.handle);

    events.clear();
    const uint8_t cb[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC8029008, 8, cb), kResultSuccess);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::IncomingData);
    EXPECT_EQ(events[0].rangeHandle, r.handle);
    EXPECT_EQ(events[0].source, 0);
    EXPECT_EQ(events[0].offsetLow, 0xC8029008u);
    EXPECT_EQ(events[0].data, std::vector<uint8_t>(cb, cb + 8));
    std::vector<uint8_t> held = bus.Ranges()[0].data;
    EXPECT_EQ(std::vector<uint8_t>(held.begin() + 8, held.begin() + 16), events[0].data);

    // A range without notification takes the write silently; reads follow the access flags.
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC8029040, 8, cb), kResultSuccess);
    uint8_t back[8];
    EXPECT_EQ(bus.ReadFrom(0, 1, 0xFFFF, 0xC8029040, 8, back), kResultResponseError);
    EXPECT_EQ(bus.ReadFrom(0, 1, 0xFFFF, 0xC8029008, 8, back), kResultSuccess);
    EXPECT_EQ(events.size(), 2u);  // the read of a notify-on-read range
    // Outside every range, or across a range's end, the host answers an address error.
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC8029100, 4, cb), kResultResponseError);
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC802903C, 8, cb), kResultResponseError);

    // A broadcast reaches only a range that takes broadcasts (access flag bit 3).
    size_t before = events.size();
    const uint8_t nines[4] = {9, 9, 9, 9};
    EXPECT_EQ(bus.WriteFrom(0, kBroadcastNode, 0xFFFF, 0xC8029040, 4, nines), kResultSuccess);
    EXPECT_EQ(bus.Ranges()[1].data[0], 1);  // the earlier write, not overwritten
    EXPECT_EQ(events.size(), before);
    RangeResult wide = bus.AllocateRange(0xFFFF, 0xC8029100, 8, kAccessWrite | kAccessBroadcast, kNotifyWrite);
    ASSERT_EQ(wide.status, 0);
    EXPECT_EQ(bus.WriteFrom(0, kBroadcastNode, 0xFFFF, 0xC8029100, 4, cb), kResultSuccess);
    EXPECT_EQ(events.size(), before + 1);
    EXPECT_EQ(bus.FreeRange(wide.handle), 0);

    // A writer that is off the bus or has its link off sends nothing.
    bus.SetLinkActive("dev", false);
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC8029008, 8, cb), kResultNoResponse);
    EXPECT_EQ(bus.WriteFrom(5, 1, 0xFFFF, 0xC8029008, 8, cb), kResultNoResponse);
    bus.SetLinkActive("dev", true);

    EXPECT_EQ(bus.FreeRange(r.handle), 0);
    EXPECT_EQ(bus.FreeRange(r.handle), kResultNotFound);
    EXPECT_EQ(bus.FreeRange(0), kResultNotFound);
    EXPECT_EQ(bus.WriteFrom(0, 1, 0xFFFF, 0xC8029008, 8, cb), kResultResponseError);
    EXPECT_EQ(Count(EventKind::IncomingData), 3);
}

TEST_F(VirtualDevices, OneListAddingResetsTheBus) {
    Load(R"({"nodes": [ {"id": "host", "kind": "host"} ]})");
    EXPECT_EQ(bus.BusDeviceName(), "\\\\.\\1394BUS0");
    events.clear();
    EXPECT_EQ(bus.AddVirtualDevice("1394_VIRTUAL_DEVICE", 0), 0);
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0].kind, EventKind::DeviceChange);
    EXPECT_EQ(events[1].kind, EventKind::BusReset);
    EXPECT_EQ(events[1].cause, ResetCause::VirtualDevice);
    // The same device again (e.g. the update utility after the downloader) changes nothing.
    EXPECT_EQ(bus.AddVirtualDevice("1394_VIRTUAL_DEVICE", 0), 0);
    EXPECT_EQ(events.size(), 2u);
    ASSERT_EQ(bus.VirtualDevices().size(), 1u);

    for (int i = 1; i < kMaxVirtualDevices; ++i) EXPECT_EQ(bus.AddVirtualDevice("dev" + std::to_string(i)), 0);
    EXPECT_EQ(bus.AddVirtualDevice("one-too-many"), kResultNoRoom);
    EXPECT_EQ(bus.AddVirtualDevice(""), kResultInvalidParameter);
    EXPECT_EQ(bus.AddVirtualDevice(std::string(256, 'x')), kResultInvalidParameter);

    events.clear();
    EXPECT_EQ(bus.RemoveVirtualDevice("1394_VIRTUAL_DEVICE", 0), 0);
    EXPECT_EQ(bus.RemoveVirtualDevice("1394_VIRTUAL_DEVICE", 0), kResultNotFound);
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0].kind, EventKind::DeviceChange);
    EXPECT_EQ(bus.VirtualDevices().size(), size_t(kMaxVirtualDevices - 1));
}

}  // namespace
