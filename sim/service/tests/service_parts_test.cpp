// The pieces of the bus service on their own: frames on a socket pair, and a bus host with
// several sessions on the manual clock.
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <filesystem>
#include <thread>

#include "bus/description.h"
#include "clock/clock.h"
#include "service/client.h"
#include "service/host.h"
#include "service/protocol.h"

namespace {

using namespace bussvc;
using nlohmann::json;

struct SocketPair {
    int fd[2];
    SocketPair() { ::socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~SocketPair() {
        ::close(fd[0]);
        ::close(fd[1]);
    }
};

TEST(Frames, BackToBackLargeAndBrokenFrames) {
    SocketPair s;
    std::vector<uint8_t> big(100000);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 7);
    // Three frames in a row, the middle one larger than the reader's buffer.
    ASSERT_TRUE(SendFrame(s.fd[0], Op::Notice, Writer().U32(0x52E).Data()));
    std::thread writer([&] { SendFrame(s.fd[0], Op::Reply, big); });
    FrameReader frames(s.fd[1]);
    FrameHeader h;
    std::vector<uint8_t> p;
    ASSERT_EQ(frames.Next(h, p, 5000), RecvStatus::Ok);
    EXPECT_EQ(h.op, uint16_t(Op::Notice));
    EXPECT_EQ(Reader(p).U32(), 0x52Eu);
    ASSERT_EQ(frames.Next(h, p, 5000), RecvStatus::Ok);
    writer.join();
    EXPECT_EQ(p, big);
    ASSERT_TRUE(SendFrame(s.fd[0], Op::Notice, Writer().U32(0x52F).Data()));
    ASSERT_EQ(frames.Next(h, p, 5000), RecvStatus::Ok);
    EXPECT_EQ(Reader(p).U32(), 0x52Fu);

    // A length no frame may have.
    uint8_t bad[8] = {0xFF, 0xFF, 0xFF, 0xFF, 2, 0, 0, 0};
    ASSERT_EQ(::send(s.fd[0], bad, sizeof bad, 0), 8);
    EXPECT_EQ(frames.Next(h, p, 5000), RecvStatus::Malformed);
    ::shutdown(s.fd[0], SHUT_WR);
    EXPECT_EQ(RecvFrame(s.fd[1], h, p, 5000), RecvStatus::Closed);
}

TEST(Frames, ReaderStopsAtTheEndOfThePayload) {
    std::vector<uint8_t> payload = Writer().U32(7).Str("abc").Take();
    Reader ok(payload);
    EXPECT_EQ(ok.U32(), 7u);
    EXPECT_EQ(ok.Str(), "abc");
    EXPECT_TRUE(ok.Complete());

    Reader overrun(payload);
    overrun.U32();
    overrun.U64();  // more than is left
    EXPECT_FALSE(overrun.Ok());

    std::vector<uint8_t> lying = Writer().U32(1000).U8('x').Take();  // says 1000 bytes, has one
    Reader r(lying);
    EXPECT_EQ(r.Str(), "");
    EXPECT_FALSE(r.Ok());

    Reader leftover(payload);
    leftover.U32();
    EXPECT_FALSE(leftover.Complete());
}

// A service that greets its clients and then never answers (hung): each request ends after
// the reply time-out with 0x80000102 instead of hanging the program, and the next connects again.
TEST(Client, AHungServiceEndsRequestsWithATimeOut) {
    namespace fsys = std::filesystem;
    fsys::path root = fsys::temp_directory_path() / ("bus-hung-" + std::to_string(::getpid()));
    fsys::create_directories(ServiceFolder(root.string()));
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::string path = SocketPath(root.string());
    ASSERT_LT(path.size(), sizeof addr.sun_path);
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int listener = ::socket(AF_UNIX, SOCK_STREAM, 0);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    ASSERT_EQ(::listen(listener, 8), 0);
    std::vector<int> held;
    std::thread silent([&] {
        for (int fd; (fd = ::accept(listener, nullptr, nullptr)) >= 0;) {
            FrameHeader h;
            std::vector<uint8_t> p;
            if (RecvFrame(fd, h, p, 5000) == RecvStatus::Ok && h.op == uint16_t(Op::Hello))
                SendFrame(fd, Op::Reply, OkReply(Writer().U32(7)));
            held.push_back(fd);  // kept open, never answered again
        }
    });

    ServiceOptions options;
    options.root = root.string();
    options.replyTimeoutMs = 50;
    auto a = ConnectToService(nullptr, options);
    uint8_t q[4];
    EXPECT_EQ(a->Read(1, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultTimedOut);
    EXPECT_EQ(a->Read(1, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultTimedOut);  // asked afresh
    std::string reply;
    EXPECT_NE(a->Control(R"({"cmd":"state"})", reply), kControlOk);
    EXPECT_NE(reply.find("did not answer"), std::string::npos) << reply;
    a.reset();

    ::shutdown(listener, SHUT_RDWR);  // ends the accept loop
    silent.join();
    ::close(listener);
    for (int fd : held) ::close(fd);
    fsys::remove_all(root);
}

class Host : public ::testing::Test {
protected:
    void SetUp() override {
        sim::LoadDescription(bus_, json::parse(R"({"nodes": [
            {"id": "host", "kind": "host"}, {"id": "dev", "kind": "foreign"}],
            "virtual_devices": ["1394_VIRTUAL_DEVICE"]})"));
    }
    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    sim::Bus bus_;
    BusHost host_{bus_};
};

TEST_F(Host, IncomingDataGoesToTheRangesOwnerAndRangesEndWithTheirSession) {
    std::vector<uint32_t> seenA, seenB;
    auto a = host_.Open([&](uint32_t m) { seenA.push_back(m); });
    auto b = host_.Open([&](uint32_t m) { seenB.push_back(m); });
    uint32_t handle = 0;
    ASSERT_EQ(a->AllocateRange("1394_VIRTUAL_DEVICE", 0xFFFF, 0xC8029000u, 64, 11, 3, handle), 0);
    EXPECT_NE(b->FreeRange("1394_VIRTUAL_DEVICE", handle), 0);  // not b's to free
    uint32_t other = 0;
    EXPECT_NE(b->AllocateRange("NOT_A_DEVICE", 0xFFFF, 0xC8030000u, 64, 11, 3, other), 0);

    uint8_t data[4] = {1, 2, 3, 4};
    ASSERT_EQ(bus_.WriteFrom(1, 0, 0xFFFF, 0xC8029000u, 4, data), sim::kResultSuccess);
    EXPECT_EQ(seenA, std::vector<uint32_t>{0x52F});
    EXPECT_TRUE(seenB.empty());

    seenA.clear();
    bus_.Reset();
    EXPECT_EQ(seenA, std::vector<uint32_t>{0x52E});  // resets go to everyone
    EXPECT_EQ(seenB, std::vector<uint32_t>{0x52E});

    a.reset();  // the client goes away: its range with it
    EXPECT_EQ(host_.Sessions(), 1);
    EXPECT_EQ(b->AllocateRange("1394_VIRTUAL_DEVICE", 0xFFFF, 0xC8029000u, 64, 11, 3, other), 0);
}

TEST_F(Host, BadControlCommandsAreRefusedAndChangeNothing) {
    auto s = host_.Open(nullptr);
    uint32_t generation = bus_.Generation();
    const char* bad[] = {
        "[1,2]", R"({"cmd": 5})", R"({"cmd": "frobnicate"})", R"({"cmd": "plug"})",
        R"({"cmd": "plug", "id": "nobody"})", R"({"cmd": "link", "id": "dev", "active": "yes"})",
        R"({"cmd": "fault", "id": "dev", "fault": {"kind": "sometimes"}})",
        R"({"cmd": "reset_storm", "count": 0})", R"({"cmd": "reset_storm", "count": 1e20})",
        R"({"cmd": "reset_storm", "count": 2.5})", R"({"cmd": "node_read", "id": "dev", "address": 0, "length": 1e12})",
        R"({"cmd": "node_write", "id": "dev", "address": "0xFFFFC8029000", "data": "XYZ"})",
        R"({"cmd": "add_node", "node": {"id": "dev", "kind": "foreign"}})",
        R"({"cmd": "device", "id": "dev", "power_cycle": true})", R"({"cmd": "shutdown"})"};
    for (const char* c : bad) {
        std::string reply;
        EXPECT_NE(s->Control(c, reply), kControlOk) << c;
        EXPECT_TRUE(json::parse(reply).contains("error")) << c << " -> " << reply;
    }
    EXPECT_EQ(bus_.Generation(), generation);
    EXPECT_EQ(bus_.NodeIds().size(), 2u);
    EXPECT_TRUE(bus_.Faults("dev").empty());
}

}  // namespace
