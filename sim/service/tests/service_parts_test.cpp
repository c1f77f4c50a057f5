// The pieces of the bus service on their own: frames on a socket pair, and a bus host with
// several sessions on the manual clock.
#include <gtest/gtest.h>
#include <malloc.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <filesystem>
#include <fstream>
#include <functional>
#include <mutex>
#include <thread>

#include "bus/description.h"
#include "bus/wire.h"
#include "device/audio_unit.h"
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
    FrameReader quick(s.fd[1]);  // a peer gone is found by the receives that do not wait
    EXPECT_EQ(quick.Next(h, p, 5000, -1, 50), RecvStatus::Closed);
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

// Bytes sent so far of a frame that never completes, for both ways of receiving: nothing
// sent is a wait that ran out before a frame began; anything of a frame, a stall inside it.
TEST(Frames, APeerSilentMidFrameIsStalledNotWaitedFor) {
    std::vector<uint8_t> whole = Writer().U32(8).U16(uint16_t(Op::Read)).U16(0).U64(42).Take();
    struct Case {
        size_t sent;
        RecvStatus expected;
    } cases[] = {
        {0, RecvStatus::TimedOut}, {3, RecvStatus::Stalled}, {8, RecvStatus::Stalled},
        {11, RecvStatus::Stalled}, {whole.size(), RecvStatus::Ok},
    };
    for (const Case& c : cases) {
        // Unbuffered, buffered, and buffered with receives that do not wait tried first.
        for (int quickTries : {-1, 0, 50}) {
            const bool buffered = quickTries >= 0;
            SocketPair s;
            ASSERT_EQ(::send(s.fd[0], whole.data(), c.sent, 0), ssize_t(c.sent));
            FrameHeader h;
            std::vector<uint8_t> p;
            FrameReader frames(s.fd[1]);
            // A long wait for the frame to begin, a short one inside it: a stall ends on the
            // short one, and a frame that never began on the long one.
            const int begin = c.sent == 0 ? 20 : 60000;
            RecvStatus got = buffered ? frames.Next(h, p, begin, 20, std::max(quickTries, 0))
                                      : RecvFrame(s.fd[1], h, p, begin, 20);
            EXPECT_EQ(got, c.expected) << c.sent << " bytes sent, quick tries " << quickTries;
            if (c.expected == RecvStatus::Ok) {
                EXPECT_EQ(Reader(p).U64(), 42u);
            }
        }
    }
}

// A header that announces the largest frame and one byte after it cost the receiver about
// what arrived, not the announced 8 MiB.
TEST(Frames, MemoryFollowsTheBytesThatArriveNotTheAnnouncedLength) {
    SocketPair s;
    std::vector<uint8_t> start = Writer().U32(kMaxPayload).U16(uint16_t(Op::Write)).U16(0).U8(7).Take();
    constexpr size_t kMuch = 1u << 20;

    ASSERT_EQ(::send(s.fd[0], start.data(), start.size(), 0), ssize_t(start.size()));
    FrameHeader h;
    std::vector<uint8_t> p;
    EXPECT_EQ(RecvFrame(s.fd[1], h, p, 1000, 20), RecvStatus::Stalled);
    EXPECT_EQ(h.length, kMaxPayload);
    EXPECT_LT(p.capacity(), kMuch);

    ASSERT_EQ(::send(s.fd[0], start.data(), start.size(), 0), ssize_t(start.size()));
    const size_t before = ::mallinfo2().uordblks;
    {
        FrameReader frames(s.fd[1]);
        EXPECT_EQ(frames.Next(h, p, 1000, 20), RecvStatus::Stalled);
        EXPECT_LT(::mallinfo2().uordblks - before, kMuch);
    }

    // The same frame sent whole, in pieces, arrives whole.
    std::vector<uint8_t> big(kMaxPayload);
    for (size_t i = 0; i < big.size(); ++i) big[i] = uint8_t(i * 13 + (i >> 16));
    std::thread writer([&] { SendFrame(s.fd[0], Op::Write, big); });
    FrameReader frames(s.fd[1]);
    EXPECT_EQ(frames.Next(h, p, 10000, 10000), RecvStatus::Ok);
    writer.join();
    EXPECT_TRUE(p == big);
}

// A stand-in for the bus service on a root of its own: it greets every connection (the
// request connection and the notice connection of a client) and hands it to `serve` on a
// thread of its own, with its role (0 requests, 1 notices) and how many of that role came
// before it.
class FakeService {
public:
    using Serve = std::function<void(int fd, uint8_t role, int index)>;
    FakeService(const std::string& name, Serve serve) : serve_(std::move(serve)) {
        root_ = std::filesystem::temp_directory_path() / ("bus-" + name + "-" + std::to_string(::getpid()));
        std::filesystem::create_directories(ServiceFolder(root_.string()));
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = SocketPath(root_.string());
        std::memcpy(addr.sun_path, path.c_str(), std::min(path.size() + 1, sizeof addr.sun_path - 1));
        listener_ = ::socket(AF_UNIX, SOCK_STREAM, 0);
        listening_ = ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
                     ::listen(listener_, 8) == 0;
        accept_ = std::thread([this] {
            for (int fd; (fd = ::accept(listener_, nullptr, nullptr)) >= 0;) {
                FrameHeader h;
                std::vector<uint8_t> p;
                if (RecvFrame(fd, h, p, 5000) != RecvStatus::Ok || h.op != uint16_t(Op::Hello)) {
                    ::close(fd);  // e.g. a client looking whether the service still listens
                    continue;
                }
                Reader r(p);
                r.U32();
                r.U32();
                uint8_t role = r.U8() ? 1 : 0;
                int index = greetings_[role]++;
                SendFrame(fd, Op::Reply, role == 0 ? OkReply(Writer().U32(7).U64(77)) : OkReply(Writer().U32(7)));
                fds_.push_back(fd);
                workers_.emplace_back([this, fd, role, index] { serve_(fd, role, index); });
            }
        });
    }
    ~FakeService() {
        ::shutdown(listener_, SHUT_RDWR);  // ends the accept loop
        accept_.join();
        ::close(listener_);
        for (int fd : fds_) ::shutdown(fd, SHUT_RDWR);
        for (auto& t : workers_) t.join();
        for (int fd : fds_) ::close(fd);
        std::filesystem::remove_all(root_);
    }
    bool Listening() const { return listening_; }
    int Greetings(uint8_t role) const { return greetings_[role]; }
    ServiceOptions Options(int replyTimeoutMs) const {
        ServiceOptions o;
        o.root = root_.string();
        o.replyTimeoutMs = replyTimeoutMs;
        return o;
    }

    // Reads whatever comes until the connection closes, answering nothing.
    static void Ignore(int fd) {
        FrameReader frames(fd);
        FrameHeader h;
        std::vector<uint8_t> p;
        while (frames.Next(h, p) == RecvStatus::Ok) {
        }
    }

private:
    Serve serve_;
    std::filesystem::path root_;
    int listener_ = -1;
    bool listening_ = false;
    std::thread accept_;
    std::atomic<int> greetings_[2] = {0, 0};
    std::vector<int> fds_;             // accept thread only, until it is joined
    std::vector<std::thread> workers_;  // likewise
};

// A service that greets its clients and then never answers (hung): each request ends after
// the reply time-out with 0x80000102 instead of hanging the program, and the next connects again.
TEST(Client, AHungServiceEndsRequestsWithATimeOut) {
    FakeService hung("hung", [](int fd, uint8_t, int) { FakeService::Ignore(fd); });
    ASSERT_TRUE(hung.Listening());
    auto a = ConnectToService(nullptr, hung.Options(50));
    uint8_t q[4];
    EXPECT_EQ(a->Read(1, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultTimedOut);
    EXPECT_EQ(a->Read(1, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultTimedOut);  // asked afresh
    EXPECT_EQ(hung.Greetings(0), 2);
    std::string reply;
    EXPECT_NE(a->Control(R"({"cmd":"state"})", reply), kControlOk);
    EXPECT_NE(reply.find("did not answer"), std::string::npos) << reply;
}

// The service closes the notice connection of a client that does not take its notices. The
// client hears of it as a bus reset and connects afresh before its next request, so that
// notices flow again.
TEST(Client, NoticesDroppedByARunningServiceAreTakenUpAgain) {
    FakeService service("notices", [](int fd, uint8_t role, int index) {
        if (role == 1) {
            if (index == 0) ::shutdown(fd, SHUT_RDWR);  // the first notice connection is dropped
            else FakeService::Ignore(fd);
            return;
        }
        FrameReader frames(fd);
        FrameHeader h;
        std::vector<uint8_t> p;
        const uint8_t quadlet[4] = {1, 2, 3, 4};
        while (frames.Next(h, p) == RecvStatus::Ok) {  // every request is a read that succeeds
            SendFrame(fd, Op::Reply, OkReply(Writer().I32(sim::kResultSuccess).Bytes(quadlet, 4)));
        }
    });
    ASSERT_TRUE(service.Listening());
    std::mutex m;
    std::condition_variable cv;
    std::vector<uint32_t> notices;
    auto a = ConnectToService(
        [&](uint32_t message) {
            std::lock_guard<std::mutex> lock(m);
            notices.push_back(message);
            cv.notify_all();
        },
        service.Options(5000));
    {
        std::unique_lock<std::mutex> lock(m);
        ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return !notices.empty(); }));
        EXPECT_EQ(notices[0], 0x52Eu);
    }
    uint8_t q[4] = {};
    EXPECT_EQ(a->Read(1, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultSuccess);
    EXPECT_EQ(q[3], 4);
    EXPECT_EQ(service.Greetings(1), 2);  // a fresh notice connection
    EXPECT_EQ(service.Greetings(0), 2);
    a.reset();
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

// One greedy client cannot take the service's memory: its host address ranges are bounded, and
// all clients' together; a refusal is a clear code and a log line, and what is freed (or goes
// with its session) can be taken again.
TEST_F(Host, HostAddressRangesAreBoundedPerClientAndInTotal) {
    std::vector<std::string> log;
    host_.SetLogger([&](const std::string& line) { log.push_back(line); });
    constexpr uint32_t kRange = sim::kMaxRangeLength;  // 1 MiB each
    uint32_t nextLow = 0x10000000u;
    // Ranges of `client` until one is refused; returns how many were given.
    const auto fill = [&](Access& client, std::vector<uint32_t>& handles) {
        for (uint32_t handle = 0;; nextLow += kRange) {
            const int32_t code = client.AllocateRange("1394_VIRTUAL_DEVICE", 0x0001, nextLow, kRange, 11, 3, handle);
            if (code != 0) {
                EXPECT_EQ(code, sim::kResultNoRoom);
                return handles.size();
            }
            handles.push_back(handle);
        }
    };
    std::vector<std::unique_ptr<Access>> clients;
    std::vector<std::vector<uint32_t>> handles;
    uint64_t given = 0;
    while (given < kMaxRangeBytesInTotal && clients.size() < 16) {
        clients.push_back(host_.Open(nullptr));
        handles.emplace_back();
        const size_t n = fill(*clients.back(), handles.back());
        EXPECT_LE(n * kRange, kMaxRangeBytesPerClient);
        EXPECT_GT(n, 0u);
        given += n * kRange;
    }
    EXPECT_EQ(given, kMaxRangeBytesInTotal);
    ASSERT_FALSE(log.empty());
    EXPECT_NE(log.front().find("refused a host address range of 1048576 bytes"), std::string::npos) << log.front();
    EXPECT_EQ(bus_.Ranges().size(), size_t(kMaxRangeBytesInTotal / kRange));

    // A client with nothing yet is refused while all clients together hold the most.
    auto small = host_.Open(nullptr);
    uint32_t handle = 0;
    EXPECT_EQ(small->AllocateRange("1394_VIRTUAL_DEVICE", 0x0002, 0, 4, 11, 3, handle), sim::kResultNoRoom);
    EXPECT_NE(log.back().find("for all clients"), std::string::npos) << log.back();

    // Freed and ended ranges are taken off the count.
    ASSERT_EQ(clients[0]->FreeRange("1394_VIRTUAL_DEVICE", handles[0][0]), 0);
    EXPECT_EQ(small->AllocateRange("1394_VIRTUAL_DEVICE", 0x0002, 0, kRange, 11, 3, handle), 0);
    clients.clear();
    EXPECT_EQ(bus_.Ranges().size(), 1u);
    // Small ranges are bounded by their number.
    for (uint32_t i = 1; i < kMaxRangesPerClient; ++i)
        ASSERT_EQ(small->AllocateRange("1394_VIRTUAL_DEVICE", 0x0003, i * 4, 4, 11, 3, handle), 0) << i;
    EXPECT_EQ(small->AllocateRange("1394_VIRTUAL_DEVICE", 0x0003, 0x1000, 4, 11, 3, handle), sim::kResultNoRoom);
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

// The audio side and the device commands reach a node's device model only when the node has
// one; a command the model refuses comes back as the model's message.
TEST(HostAudio, OnlyADeviceModelAnswersAudioAndDeviceCommands) {
    namespace fsys = std::filesystem;
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    const fsys::path image = fsys::temp_directory_path() / ("bus-audio-" + std::to_string(::getpid()) + ".bin");
    std::ofstream(image, std::ios::binary) << std::string(4096, 'A');
    sim::Bus bus;
    BusHost host(bus);
    const json description = {{"nodes",
                               {{{"id", "host"}, {"kind", "host"}},
                                {{"id", "other"}, {"kind", "foreign"}},
                                {{"id", "dev"},
                                 {"kind", "lumarel460"},
                                 {"images", {{{"file", image.string()}, {"type", "application"}}}},
                                 {"mode", "application"}}}}};
    host.Load(&description);
    fsys::remove(image);
    auto session = host.Open(nullptr);

    std::vector<AudioUnitInfo> units;
    ASSERT_EQ(session->AudioUnits(units), 0);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_EQ(units[0].node, "dev");
    EXPECT_TRUE(units[0].controlOpenable);
    std::string guid;
    for (uint8_t b : units[0].guid) guid += "0123456789abcdef"[b >> 4], guid += "0123456789abcdef"[b & 15];
    std::string identifier = units[0].identifier;
    for (char& c : identifier) c = char(std::tolower(static_cast<unsigned char>(c)));
    EXPECT_EQ(units[0].interfacePath, "\\\\?\\1394#" + identifier + "#" + guid + "#{006902cb-e626-45b4-8a62-2eaad63f8d12}");

    std::string reply;
    ASSERT_EQ(session->Control(R"({"cmd": "audio", "id": "dev", "audio_faults": {"control_unopenable": true}})", reply),
              kControlOk) << reply;
    EXPECT_EQ(json::parse(reply)["audio"]["present"], true);
    ASSERT_EQ(session->AudioUnits(units), 0);
    ASSERT_EQ(units.size(), 1u);
    EXPECT_FALSE(units[0].controlOpenable);

    const struct {
        const char* command;
        const char* error;  // a part of the refusal
    } refused[] = {
        {R"({"cmd": "audio", "id": "other"})", "\"other\" is not a Lumarel 460"},
        {R"({"cmd": "audio", "id": "dev", "channels": 5})", "\"channels\" must be an object"},
        {R"({"cmd": "device", "id": "dev", "timing": 5})", "timing"},
    };
    for (const auto& r : refused) {
        EXPECT_EQ(session->Control(r.command, reply), kControlFailed) << r.command;
        EXPECT_NE(json::parse(reply).value("error", "").find(r.error), std::string::npos) << r.command << " -> " << reply;
    }
    uint32_t error = 0;
    std::vector<uint8_t> output;
    EXPECT_EQ(session->AudioRequest("other", 1, {}, 16, error, output), sim::kResultNotFound);
}

// A write is acknowledged only once the device state it changed is saved: when the state
// cannot be written, the write answers a failure instead of a success that a restart would lose.
TEST(HostState, AWriteWhoseStateCannotBeSavedIsNotAcknowledged) {
    namespace fsys = std::filesystem;
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    fsys::path state = fsys::temp_directory_path() / ("bus-state-" + std::to_string(::getpid()));
    fsys::remove_all(state);
    sim::Bus bus;
    BusHost host(bus, state);
    host.Load(nullptr);  // the default bus: the host and a Lumarel 460
    auto session = host.Open(nullptr);
    fsys::path folder = host.NodeStateFolder(bus.IdAt(1));
    // Program a new GUID through the device's request area (header, then the GUID operands).
    const std::vector<uint8_t> request = {0, 0, 0, 1, 0, 1, 10, 2, 0x10, 0x7E, 0x3C, 0x0A, 0x99, 0x00, 0x01, 0x00};
    fsys::remove_all(folder);
    fsys::create_directories(folder.parent_path());
    std::ofstream(folder) << "a file where the device's folder belongs";
    // The answer header in the response area: what a host polls for once its request is written.
    const auto answered = [&] {
        clock.Advance(1000);  // past any answer latency
        uint8_t header[8] = {};
        EXPECT_EQ(session->Read(1, 0xFFFF, 0xC8029000u, 8, 0, header), sim::kResultSuccess);
        return header[6] == 10 && header[7] == 0;
    };
    EXPECT_EQ(session->Write(1, 0xFFFF, 0xC8021000u, request.data(), uint32_t(request.size()), 0),
              sim::kResultUnknownError);
    EXPECT_FALSE(answered());  // the dropped change is not reported done by the device either
    fsys::remove(folder);
    EXPECT_EQ(session->Write(1, 0xFFFF, 0xC8021000u, request.data(), uint32_t(request.size()), 0),
              sim::kResultSuccess);
    EXPECT_TRUE(fsys::is_directory(folder));
    EXPECT_TRUE(answered());

    // Likewise a virtual device the list file cannot take (a folder in the file's place).
    fsys::create_directories(state / "virtual_devices.json" / "x");
    EXPECT_EQ(session->AddVirtualDevice(0, 0, "1394_VIRTUAL_DEVICE"), 29);
    EXPECT_EQ(host.BusDeviceRequest(0, 0x220400, [] {
        std::vector<uint8_t> r(24 + 8, 0);
        r[0] = 1;
        std::memcpy(r.data() + 24, "SECOND", 6);
        return r;
    }()), 29);
    fsys::remove_all(state / "virtual_devices.json");
    EXPECT_EQ(session->RemoveVirtualDevice(0, 0, "1394_VIRTUAL_DEVICE"), 0);
    session.reset();
    fsys::remove_all(state);
}

// Two clients program two devices at once (MAC and GUID, through the request area as a
// downloader writes it): one device's disk is full, the other's has room. Each write's answer
// is the outcome of its own change's save, given only once that save is done: a success finds
// the value it wrote on disk, a failure the value before. A third client reading the full
// device's GUID meanwhile never sees a value that was not saved.
TEST(HostState, ConcurrentWritersEachGetTheOutcomeOfTheirOwnSave) {
    namespace fsys = std::filesystem;
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    const fsys::path state = fsys::temp_directory_path() / ("bus-concurrent-" + std::to_string(::getpid()));
    fsys::remove_all(state);
    sim::Bus bus;
    BusHost host(bus, state);
    const json description = {
        {"nodes",
         {{{"id", "host"}, {"kind", "host"}},
          {{"id", "full"}, {"kind", "lumarel460"}, {"guid", "0A3C7E1000010001"}, {"mac", "00A0DE000001"},
           {"device_faults", {{"state_disk_free", 0}}}},
          {{"id", "fine"}, {"kind", "lumarel460"}, {"guid", "0A3C7E1000010002"}, {"mac", "00A0DE000002"}}}}};
    host.Load(&description);

    struct Device {
        std::string id;
        std::string guid, mac;  // as saved last (hex): what a failed write leaves on disk
        int successes = 0, failures = 0;
    };
    Device full{"full", "0A3C7E1000010001", "00A0DE000001"};
    Device fine{"fine", "0A3C7E1000010002", "00A0DE000002"};
    // Nothing saved yet: the device runs on what its description gave it.
    const auto onDisk = [&](const Device& d, const char* field, const std::string& factory) {
        std::ifstream in(host.NodeStateFolder(d.id) / "state.json");
        const json j = json::parse(in, nullptr, false);
        return j.is_object() ? j.value(field, std::string("(none)")) : factory;
    };
    constexpr int kWrites = 150;
    std::atomic<bool> writing{true};
    const auto writer = [&](Device& d) {
        const std::string factoryGuid = d.guid, factoryMac = d.mac;
        auto session = host.Open(nullptr);
        const int node = bus.PhyOf(d.id);
        for (int i = 1; i <= kWrites; ++i) {
            // Header: version 1, sequence, command (10 GUID, 11 MAC), two operand quadlets.
            const bool guid = i % 2 == 0;
            std::vector<uint8_t> request = {0, 0, 0, 1, uint8_t(i >> 8), uint8_t(i), uint8_t(guid ? 10 : 11), 2};
            std::string written;
            if (guid) {
                uint8_t g[8] = {0x0A, 0x3C, 0x7E, 0x20, 0x00, uint8_t(node), uint8_t(i >> 8), uint8_t(i)};
                written = sim::wire::Hex(g, 8);
                sim::wire::SwapQuadlets(g, 8);
                request.insert(request.end(), g, g + 8);
            } else {
                const uint8_t m[6] = {0x02, 0x11, uint8_t(node), 0x00, uint8_t(i >> 8), uint8_t(i)};
                written = sim::wire::Hex(m, 6);
                const uint8_t op[8] = {m[3], m[2], m[1], m[0], 0, 0, m[5], m[4]};
                request.insert(request.end(), op, op + 8);
            }
            const int32_t code =
                session->Write(node, 0xFFFF, 0xC8021000u, request.data(), uint32_t(request.size()), 0);
            std::string& saved = guid ? d.guid : d.mac;
            const char* field = guid ? "guid" : "mac";
            if (code == sim::kResultSuccess) {
                ++d.successes;
                saved = written;
            } else {
                ++d.failures;
                EXPECT_EQ(code, sim::kResultUnknownError) << d.id << " write " << i;
            }
            EXPECT_EQ(onDisk(d, field, guid ? factoryGuid : factoryMac), saved) << d.id << " write " << i << " answered " << code;
        }
    };
    // The GUID registers of the info area, as the full device shows its factory GUID.
    auto readerSession = host.Open(nullptr);
    uint8_t factory[8];
    ASSERT_EQ(readerSession->Read(bus.PhyOf("full"), 0xFFFF, 0xC8020010u, 8, 0, factory), sim::kResultSuccess);
    std::vector<std::string> unsavedSeen;
    std::thread reader([&] {
        const int node = bus.PhyOf("full");
        uint8_t now[8];
        while (writing) {
            if (readerSession->Read(node, 0xFFFF, 0xC8020010u, 8, 0, now) == sim::kResultSuccess &&
                std::memcmp(now, factory, 8) != 0 && unsavedSeen.size() < 5)
                unsavedSeen.push_back(sim::wire::Hex(now, 8));
        }
    });
    std::thread first([&] { writer(full); });
    std::thread second([&] { writer(fine); });
    first.join();
    second.join();
    writing = false;
    reader.join();
    EXPECT_EQ(full.successes, 0);
    EXPECT_EQ(fine.failures, 0);
    EXPECT_EQ(unsavedSeen, std::vector<std::string>{});
    fsys::remove_all(state);
}

// The local host and one Lumarel 460 running its application from a 4 KB image, on a bus whose
// device state lives in a fresh folder that goes with the test.
struct AppDeviceOnDisk {
    explicit AppDeviceOnDisk(const std::string& prefix)
        : state(MakeFolder(std::filesystem::temp_directory_path() / (prefix + std::to_string(::getpid())))),
          host(bus, state / "bus") {
        const json description = {{"nodes",
                                   {{{"id", "host"}, {"kind", "host"}},
                                    {{"id", "dev"},
                                     {"kind", "lumarel460"},
                                     {"images", {{{"file", (state / "app.bin").string()}, {"type", "application"}}}},
                                     {"mode", "application"}}}}};
        host.Load(&description);
        session = host.Open(nullptr);
    }
    ~AppDeviceOnDisk() {
        session.reset();
        std::filesystem::remove_all(state);
    }
    static std::filesystem::path MakeFolder(const std::filesystem::path& folder) {
        std::filesystem::remove_all(folder);
        std::filesystem::create_directories(folder);
        std::ofstream(folder / "app.bin", std::ios::binary) << std::string(4096, 'A');
        return folder;
    }
    const std::filesystem::path state;
    sim::Bus bus;
    BusHost host;
    std::unique_ptr<Access> session;
};

// An audio setting the driver takes is kept like the rest of the device's state: when it cannot
// be saved, the request fails and the setting is dropped (the unit keeps what its folder holds),
// and the next one that can be saved is taken.
TEST(HostState, AnAudioSettingThatCannotBeSavedIsRefusedAndDropped) {
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    AppDeviceOnDisk device("bus-audio-state-");
    auto& session = device.session;
    const auto rate = [&](uint32_t write) {
        uint32_t error = 0;
        std::vector<uint8_t> in(8, 0), out;
        sim::wire::PutLe32(in.data() + 4, write);
        EXPECT_EQ(session->AudioRequest("dev", sim::lumarel::audio::kWriteClock, in, 0, error, out), 0);
        const uint32_t written = error;
        EXPECT_EQ(session->AudioRequest("dev", sim::lumarel::audio::kReadClock, {}, 8, error, out), 0);
        EXPECT_EQ(out.size(), 8u);
        return std::pair{written, out.size() == 8 ? sim::wire::Le32(out.data() + 4) : 0u};
    };
    std::string reply;
    const auto diskFree = [&](int bytes) {
        const json command = {{"cmd", "device"}, {"id", "dev"}, {"device_faults", {{"state_disk_free", bytes}}}};
        ASSERT_EQ(session->Control(command.dump(), reply), kControlOk) << reply;
    };
    diskFree(0);
    EXPECT_EQ(rate(44100), std::pair(29u, 48000u));
    diskFree(-1);
    EXPECT_EQ(rate(44100), std::pair(0u, 44100u));
}

// Reads save nothing unless a node reported a change, but a change the device makes on its own
// time (here: its restart into the bootloader, some time after the reset command was answered)
// is on disk before the answer to the next read goes out: a host learns of such work by
// reading, and a service killed after that answer must not lose it.
TEST(HostState, DeviceWorkFinishedOnItsOwnIsSavedBeforeTheNextReadIsAnswered) {
    namespace fsys = std::filesystem;
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    AppDeviceOnDisk device("bus-later-");
    BusHost& host = device.host;
    auto& session = device.session;
    const fsys::path saved = host.NodeStateFolder("dev") / "state.json";
    auto savedMode = [&] {
        std::ifstream in(saved);
        json j = json::parse(in, nullptr, false);
        return j.is_object() ? j.value("mode", "") : std::string("(nothing saved)");
    };
    uint8_t q[4];
    ASSERT_EQ(session->Read(0, 0xFFFF, 0xF0000400u, 4, 0, q), sim::kResultSuccess);
    EXPECT_FALSE(fsys::exists(saved));  // nothing changed, nothing written

    // Reset into the bootloader: answered at once, the restart follows on the clock.
    const std::vector<uint8_t> reset = {0, 0, 0, 1, 0, 2, 2, 1, 1, 0, 0, 0};
    ASSERT_EQ(session->Write(1, 0xFFFF, 0xC8021000u, reset.data(), uint32_t(reset.size()), 0), sim::kResultSuccess);
    clock.Advance(1000);
    EXPECT_NE(savedMode(), "bootloader");  // done by the device, not yet seen by anyone
    session->Read(0, 0xFFFF, 0xF0000400u, 4, 0, q);
    EXPECT_EQ(savedMode(), "bootloader");
}

// A relative platform root names the folder below the current one when it is read, so a
// program that changes folder afterwards still reaches the same service.
TEST(Paths, ARelativeRootIsTakenFromTheCurrentFolder) {
    const char* before = std::getenv("LUMAREL_ROOT");
    std::string saved = before ? before : "";
    ::setenv("LUMAREL_ROOT", "relative-root", 1);
    std::string root = PlatformRoot();
    ::setenv("LUMAREL_ROOT", saved.c_str(), 1);
    EXPECT_EQ(root, (std::filesystem::current_path() / "relative-root").string());
}

// A saved virtual device entry of the wrong shape is skipped with a line in the log; the service
// still starts and brings back the others.
TEST(HostState, AVirtualDeviceEntryOfTheWrongTypeIsSkippedAndLogged) {
    namespace fsys = std::filesystem;
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    fsys::path state = fsys::temp_directory_path() / ("bus-vdevs-" + std::to_string(::getpid()));
    fsys::remove_all(state);
    fsys::create_directories(state);
    std::ofstream(state / "virtual_devices.json")
        << R"([{"name": "1394_VIRTUAL_DEVICE", "instance": "one"}, {"name": 5}, {"name": "1394_VIRTUAL_DEVICE", "instance": -1},
              {"name": "1394_VIRTUAL_DEVICE2", "instance": 0}, "text", {"name": "1394_VIRTUAL_DEVICE3"}])";
    sim::Bus bus;
    BusHost host(bus, state);
    std::vector<std::string> log;
    host.SetLogger([&](const std::string& line) { log.push_back(line); });
    ASSERT_NO_THROW(host.Load(nullptr));
    std::vector<std::string> names;
    for (const auto& d : bus.VirtualDevices()) names.push_back(d.name);
    EXPECT_EQ(names, (std::vector<std::string>{"1394_VIRTUAL_DEVICE2", "1394_VIRTUAL_DEVICE3"}));
    int skipped = 0;
    for (const auto& line : log) skipped += line.find("skipping a virtual device entry") != std::string::npos;
    EXPECT_EQ(skipped, 4);
    fsys::remove_all(state);
}

}  // namespace
