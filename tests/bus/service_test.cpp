// The access library against the real bus service: loaded with dlopen as the downloader loads
// it, with other client processes, the control tool, restarts and misbehaving clients.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <linux/sockios.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/un.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <thread>

#include "bus/config_rom.h"
#include "service/protocol.h"
#include "bus/service_fixture.h"
#include "tests/api_loader.h"

namespace {

using namespace bustest;
using namespace vsktest;
using nlohmann::json;

constexpr uint32_t kRom = 0xF0000400u;
constexpr char kDevice[] = "1394_VIRTUAL_DEVICE";

json TestBus() {
    return json::parse(R"({"nodes": [
        {"id": "host", "kind": "host"},
        {"id": "dev", "kind": "foreign", "guid": "0A3C7E1000010002", "vendor": "NRX", "model": "Lumarel 460"},
        {"id": "mini", "kind": "minimal", "vendor_id": "0x0A3C7E"},
        {"id": "lumarel", "kind": "lumarel460"},
        {"id": "late", "kind": "foreign", "plugged": false}]})");
}

// The library, loaded once per test program, talks to the service of the current root; each
// test lets go of its connection at the end so the next one connects to its own root.
Api& Library() {
    static Api api;
    return api;
}

class Service : public ::testing::Test {
protected:
    void SetUp() override {
        json d = TestBus();
        root_ = std::make_unique<ServiceRoot>(::testing::UnitTest::GetInstance()->current_test_info()->name(), &d);
    }
    void TearDown() override {
        api_.DeRegisterClient(win_.Handle());
        api_.HostBus(nullptr);  // drop the connection
        root_.reset();
    }

    int32_t read(int node, uint32_t low, std::vector<uint8_t>& out, int32_t timeout = 0) {
        Address48 a = At(0xFFFF, low);
        return api_.AsyncReadWrapper(node, &a, int32_t(out.size()), out.data(), timeout);
    }

    // Runs the control tool with these arguments (as a shell would split them); its exit code,
    // -1 when it did not exit on its own (a crash).
    static int tool(const std::string& args, std::string* out = nullptr) {
        std::string bin = std::getenv("LUMAREL_BIN");
        FILE* f = ::popen((bin + "/buscontrol " + args + " 2>&1").c_str(), "r");
        std::string text;
        char buf[4096];
        while (size_t n = std::fread(buf, 1, sizeof buf, f)) text.append(buf, n);
        int status = ::pclose(f);
        if (out) *out = text;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    std::vector<std::string> devices() {
        VirtualDeviceList list{};
        api_.GetVirtualDeviceList(&list);
        std::vector<std::string> names;
        for (int i = 0; i < list.Count; ++i) names.emplace_back(list.Names[i]);
        return names;
    }

    std::unique_ptr<ServiceRoot> root_;
    Api& api_ = Library();
    NoticeWindow win_;
};

TEST_F(Service, DownloaderPathEndToEnd) {
    ASSERT_EQ(root_->ServicePid(), 0);
    ASSERT_EQ(api_.RegisterClient(win_.Handle()), 1);  // starts the service
    EXPECT_NE(root_->ServicePid(), 0);

    EXPECT_TRUE(devices().empty());
    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    EXPECT_TRUE(win_.WaitFor(kNoticeDeviceChange));
    EXPECT_TRUE(win_.WaitFor(kNoticeBusReset));
    ASSERT_EQ(devices(), std::vector<std::string>{kDevice});

    DeviceSlot slot(kDevice);
    const char* name = slot.name;
    HostInfoRequest req = TopologyRequest();
    ASSERT_EQ(api_.GetLocalHostInformation(win_.Handle(), name, &req, 0), 0);
    int nodes = req.Data[10] | req.Data[11] << 8;
    ASSERT_EQ(nodes, 4);
    NodeAddressRequest local{1, 0, 0};
    ASSERT_EQ(api_.Get1394AddressFromDeviceObject(win_.Handle(), name, &local), 0);
    EXPECT_EQ(local.NodeAddress, 0xFFC0);

    // Every node's config ROM, quadlet by quadlet as the downloader reads it; every CRC holds.
    for (int n = 0; n < nodes; ++n) {
        std::vector<uint32_t> rom;
        std::vector<uint8_t> q(4);
        for (uint32_t off = 0; off < 1024 && read(n, kRom + off, q) == kResultSuccess; off += 4)
            rom.push_back(uint32_t(q[0]) << 24 | q[1] << 16 | q[2] << 8 | q[3]);
        ASSERT_FALSE(rom.empty()) << "node " << n;
        if (rom[0] >> 24 == 1) continue;  // a minimal ROM is its one quadlet
        EXPECT_EQ(sim::CheckConfigRom(rom), std::vector<std::string>{}) << "node " << n;
    }
    std::vector<uint8_t> block(20);
    ASSERT_EQ(read(1, kRom, block), kResultSuccess);
    EXPECT_EQ(block[12], 0x0A);
    EXPECT_EQ(block[13], 0x3C);

    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(7, kRom, q), kResultNoResponse);
    EXPECT_EQ(read(1, 0xC8000000u, q), kResultAddressError);

    int32_t window = win_.Handle(), zero = 0;
    win_.Clear();
    api_.BusReset(&window, name, &zero);
    EXPECT_TRUE(win_.WaitFor(kNoticeBusReset));

    // A node joins: the bus resets and the new node answers.
    EXPECT_EQ(api_.Command(R"({"cmd":"plug","id":"late"})").find("error"), std::string::npos);
    EXPECT_TRUE(win_.WaitFor(kNoticeBusReset));
    EXPECT_EQ(read(4, kRom, q), kResultSuccess);

    // A node writes into a range this program allocated: incoming data.
    AddressRangeRecord r = CallbackRange();
    ASSERT_EQ(api_.AllocateAddressRange(&window, name, &r, 0), 0);
    int32_t code = -1;
    api_.Command(R"({"cmd":"node_write","id":"dev","address":"0xFFFFC8029000","data":"0102030405060708"})", &code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(win_.WaitFor(kNoticeIncomingData));
    EXPECT_EQ(api_.FreeAddressRange(&window, name, r.Handle), 0);

    // A program that ends the service itself does not start it again.
    pid_t pid = root_->ServicePid();
    api_.Command(R"({"cmd":"shutdown"})", &code);
    EXPECT_EQ(code, 0);
    EXPECT_TRUE(WaitGone(pid));
    EXPECT_EQ(read(1, kRom, q), kResultNoResponse);
    EXPECT_EQ(root_->ServicePid(), 0);
}

// Several transactions in one call reach the bus in order, each as a call of its own would, and
// the first that fails ends the sequence.
TEST_F(Service, ATransferSequenceRunsInOrderAndStopsAtTheFirstFailure) {
    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    constexpr int kLumarel = 3, kMissing = 7;
    constexpr uint32_t kScratch = 0xC8021080u;  // inside the device's request area
    std::vector<uint8_t> written{1, 2, 3, 4, 5, 6, 7, 8}, back(8), missing(4), never(4);
    auto step = [](int32_t write, int node, uint32_t low, std::vector<uint8_t>& bytes, int32_t count = -1) {
        return AsyncTransfer{write, node, At(0xFFFF, low), count < 0 ? int32_t(bytes.size()) : count, 0,
                             bytes.data(), -7, 0};
    };
    AsyncTransfer run[] = {step(1, kLumarel, kScratch, written), step(0, kLumarel, kScratch, back),
                           step(0, kMissing, kRom, missing), step(0, kLumarel, kScratch, never)};
    ASSERT_EQ(api_.AsyncTransferSequence(run, 4), 3);
    EXPECT_EQ(run[0].Result, kResultSuccess);
    EXPECT_EQ(run[1].Result, kResultSuccess);
    EXPECT_EQ(back, written);
    EXPECT_EQ(run[2].Result, kResultNoResponse);
    EXPECT_EQ(run[3].Result, -7);  // not carried out

    // A transaction with bad arguments fails as a call of its own would, after those before it.
    std::vector<uint8_t> again{9, 9, 9, 9, 9, 9, 9, 9}, odd(4);
    AsyncTransfer bad[] = {step(1, kLumarel, kScratch, again), step(0, kLumarel, kScratch, odd, 3)};
    ASSERT_EQ(api_.AsyncTransferSequence(bad, 2), 2);
    EXPECT_EQ(bad[0].Result, kResultSuccess);
    EXPECT_EQ(bad[1].Result, kResultBadParameter);
    EXPECT_EQ(api_.AsyncTransferSequence(bad, 0), 0);
    EXPECT_EQ(api_.AsyncTransferSequence(bad, kMaxTransferSequence + 1), 0);
    std::vector<uint8_t> q(8);
    EXPECT_EQ(read(kLumarel, kScratch, q), kResultSuccess);
    EXPECT_EQ(q, again);
}

TEST_F(Service, FaultsReachTheLibrary) {
    // The service runs in real time: the late answer is judged against a short time-out.
    struct Case { const char* fault; int32_t code; int32_t timeoutMs = 0; } cases[] = {
        {R"({"kind":"no_response"})", kResultNoResponse},
        {R"({"kind":"address_error"})", kResultAddressError},
        {R"({"kind":"late_answer","delay_ms":150})", kResultTimeout, 10},
        {R"({"kind":"reset_after","after":1})", kResultBusReset},
        {R"({"kind":"unknown_error"})", kResultUnknown},
        {R"({"kind":"code","code":"0x80000002"})", kResultShutdown},
    };
    for (const auto& c : cases) {
        int32_t code = -1;
        root_->Control(json{{"cmd", "fault"}, {"id", "dev"}, {"fault", json::parse(c.fault)}}, &code);
        ASSERT_EQ(code, 0);
        std::vector<uint8_t> q(4);
        EXPECT_EQ(read(1, kRom, q, c.timeoutMs), c.code) << c.fault;
        root_->Control(json{{"cmd", "clear_faults"}});
    }
}

// The update utility's path: add/remove requests on the bus device "\\.\1394BUS" + n land in
// the library's list.
TEST_F(Service, BusDeviceRequestsShareTheLibrarysList) {
    auto record = [](uint32_t request, uint32_t bus) {
        std::string id = kDevice;
        std::vector<uint8_t> r(id.size() + 32, 0);  // zero-filled, n + 32 bytes
        r[0] = uint8_t(request);
        r[16] = uint8_t(bus);
        std::memcpy(r.data() + 24, id.data(), id.size());
        return r;
    };
    ::setenv("LUMAREL_BUS_COUNT", "2", 1);  // a machine with two 1394 buses
    auto bus = bussvc::ConnectToService(nullptr);
    ::unsetenv("LUMAREL_BUS_COUNT");
    EXPECT_EQ(bus->BusDeviceRequest(0, 0x220400, record(1, 0)), 0);
    EXPECT_EQ(bus->BusDeviceRequest(1, 0x220400, record(1, 1)), 0);
    EXPECT_EQ(bus->BusDeviceRequest(2, 0x220400, record(1, 2)), 6);  // \\.\1394BUS2 does not exist
    EXPECT_EQ(devices(), std::vector<std::string>{kDevice});         // bus 0's list
    EXPECT_NE(bus->BusDeviceRequest(0, 0x220400, record(7, 0)), 0);  // no such request
    EXPECT_EQ(bus->BusDeviceRequest(0, 0x220400, {1, 0, 0}), 87);    // short record
    std::vector<uint8_t> noId(32, 0);
    noId[0] = 2;
    EXPECT_EQ(bus->BusDeviceRequest(0, 0x220400, noId), 87);        // a removal without a device ID
    EXPECT_EQ(bus->BusDeviceRequest(0, 0x220401, record(1, 0)), 1);  // another control code
    EXPECT_EQ(bus->BusDeviceRequest(0, 0x220400, record(2, 0)), 0);
    EXPECT_TRUE(devices().empty());
    EXPECT_EQ(bus->BusDeviceRequest(1, 0x220400, record(2, 1)), 0);
    EXPECT_EQ(bus->BusDeviceRequest(1, 0x220400, record(2, 1)), 1168);  // already gone
}

// --- other processes

TEST(Child, AddsADevice) {
    const char* name = std::getenv("BUS_CHILD_ADD");
    if (!name) GTEST_SKIP() << "child half of the multi-process tests";
    Api& api = Library();
    ASSERT_EQ(api.AddDevice(name), 0);
}

TEST(Child, HoldsARange) {
    if (!std::getenv("BUS_CHILD_HOLD")) GTEST_SKIP() << "child half of the multi-process tests";
    Api& api = Library();
    ASSERT_EQ(api.AddDevice(kDevice), 0);
    AddressRangeRecord r = CallbackRange();
    int32_t window = 0;
    ASSERT_EQ(api.AllocateAddressRange(&window, DeviceSlot(kDevice).name, &r, 0), 0);
    std::printf("ready\n");
    std::fflush(stdout);
    ::pause();  // until killed
}

TEST_F(Service, TwoProcessesMeetOnOneBusStartedOnce) {
    ASSERT_EQ(api_.RegisterClient(win_.Handle()), 1);
    pid_t a = SpawnSelf("Child.AddsADevice", {"BUS_CHILD_ADD=FROM_CHILD"});
    ASSERT_EQ(ExitCode(a), 0);
    EXPECT_TRUE(win_.WaitFor(kNoticeDeviceChange));  // told about the other program's change
    EXPECT_EQ(devices(), std::vector<std::string>{"FROM_CHILD"});
}

TEST_F(Service, ClientsStartingTogetherStartOneService) {
    std::vector<pid_t> kids;
    for (int i = 0; i < 4; ++i) kids.push_back(SpawnSelf("Child.AddsADevice", {"BUS_CHILD_ADD=DEV" + std::to_string(i)}));
    for (pid_t k : kids) EXPECT_EQ(ExitCode(k), 0);
    EXPECT_EQ(devices().size(), 4u);
    std::string log = root_->Log();
    size_t serving = 0;
    for (size_t p = 0; (p = log.find("serving ", p)) != std::string::npos; ++p) ++serving;
    EXPECT_EQ(serving, 1u) << log;
}

TEST_F(Service, AKilledClientLeavesTheServiceServingOthers) {
    int out[2];
    ASSERT_EQ(::pipe(out), 0);
    pid_t holder = SpawnSelf("Child.HoldsARange", {"BUS_CHILD_HOLD=1"}, out[1]);
    KillOnExit reap(holder);
    ::close(out[1]);
    // The child's output (test runner lines first) until it says it holds the range.
    std::string said;
    while (said.find("ready") == std::string::npos) {
        pollfd p{out[0], POLLIN, 0};
        char buf[256];
        ssize_t n = ::poll(&p, 1, 10000) > 0 ? ::read(out[0], buf, sizeof buf) : 0;
        ASSERT_GT(n, 0) << said;
        said.append(buf, size_t(n));
    }
    ::close(out[0]);
    ::kill(holder, SIGKILL);  // reaped on the way out

    // The range the killed client held is freed once the service sees it gone.
    DeviceSlot slot(kDevice);
    AddressRangeRecord r = CallbackRange();
    int32_t window = 0, code = -1;
    for (int i = 0; i < 2000 && code != 0; ++i) {
        code = api_.AllocateAddressRange(&window, slot.name, &r, 0);
        if (code != 0) Breathe();
    }
    EXPECT_EQ(code, 0);
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(1, kRom, q), kResultSuccess);
}

// --- the socket itself

int rawConnect(const fsys::path& root) {
    std::string path = bussvc::SocketPath(root.string());
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strcpy(addr.sun_path, path.c_str());
    int fd = ::socket(AF_UNIX, SOCK_STREAM, 0);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends raw bytes and returns whether an error answer came back.
bool refused(int fd, const std::vector<uint8_t>& bytes) {
    if (::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL) != ssize_t(bytes.size())) return false;
    bussvc::FrameHeader h;
    std::vector<uint8_t> payload;
    if (bussvc::RecvFrame(fd, h, payload, 10000) != bussvc::RecvStatus::Ok) return false;
    return h.op == uint16_t(bussvc::Op::Reply) && !payload.empty() && payload[0] == 0;
}

std::vector<uint8_t> frame(uint16_t op, const std::vector<uint8_t>& payload) {
    bussvc::Writer w;
    w.U32(uint32_t(payload.size())).U16(op).U16(0);
    std::vector<uint8_t> out = w.Take();
    out.insert(out.end(), payload.begin(), payload.end());
    return out;
}

std::vector<uint8_t> hello() {
    return frame(uint16_t(bussvc::Op::Hello),
                 bussvc::Writer().U32(bussvc::kProtocolVersion).U32(1).U8(0).U32(0).Take());
}

TEST_F(Service, MalformedRequestsAreRefusedAndChangeNothing) {
    ASSERT_EQ(api_.AddDevice(kDevice), 0);

    int fd = rawConnect(root_->Root());
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Read), {1, 2, 3})));  // no greeting first
    ::close(fd);

    fd = rawConnect(root_->Root());
    bussvc::FrameHeader h;
    std::vector<uint8_t> p;
    ASSERT_TRUE(::send(fd, hello().data(), hello().size(), MSG_NOSIGNAL) > 0);
    ASSERT_EQ(bussvc::RecvFrame(fd, h, p, 10000), bussvc::RecvStatus::Ok);
    // Each refused on a connection that stays usable.
    EXPECT_TRUE(refused(fd, frame(999, {})));                                             // unknown operation
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Read), {1, 2, 3})));                // short read request
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::RemoveVirtual), {0, 0, 0, 0, 0})));  // cut-off name
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::AddVirtual),                        // name longer than sent
                                  bussvc::Writer().U32(0).U64(0).U32(1000).U8('X').Take())));
    // Transfer sequences: none, too many, a write longer than a transaction, a bad kind.
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Transfers), bussvc::Writer().U32(0).Take())));
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Transfers), bussvc::Writer().U32(5).Take())));
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Transfers),
                                  bussvc::Writer().U32(1).U8(1).U32(3).U16(0xFFFF).U32(0xC8021080u).I32(0)
                                      .Bytes(std::vector<uint8_t>(4096, 0)).Take())));
    EXPECT_TRUE(refused(fd, frame(uint16_t(bussvc::Op::Transfers),
                                  bussvc::Writer().U32(1).U8(2).U32(3).U16(0xFFFF).U32(0xC8021080u).I32(0).U32(4).Take())));
    // A length beyond any frame: refused and the connection closed.
    EXPECT_TRUE(refused(fd, {0xFF, 0xFF, 0xFF, 0x7F, 2, 0, 0, 0}));
    ::close(fd);

    // A client that goes away in the middle of a frame.
    fd = rawConnect(root_->Root());
    ::send(fd, hello().data(), hello().size(), MSG_NOSIGNAL);
    bussvc::RecvFrame(fd, h, p, 10000);
    std::vector<uint8_t> half = frame(uint16_t(bussvc::Op::AddVirtual), bussvc::Writer().U32(0).U64(0).Str("HALF").Take());
    half.resize(half.size() - 3);
    ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
    ::close(fd);

    EXPECT_EQ(devices(), std::vector<std::string>{kDevice});
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(1, kRom, q), kResultSuccess);
    EXPECT_NE(root_->Log().find("refused request 999"), std::string::npos);
}

// A notice connection belongs to the request connection that greeted first: one that names a
// client's id without the token given to that client, or comes a second time, is refused, and
// the client keeps its notices.
TEST_F(Service, ANoticeConnectionMustProveItsClient) {
    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    const int requests = rawConnect(root_->Root());
    ASSERT_GE(requests, 0);
    bussvc::FrameHeader h;
    std::vector<uint8_t> p;
    ASSERT_TRUE(::send(requests, hello().data(), hello().size(), MSG_NOSIGNAL) > 0);
    ASSERT_EQ(bussvc::RecvFrame(requests, h, p, 10000), bussvc::RecvStatus::Ok);
    bussvc::Reader answer(p);
    ASSERT_EQ(answer.U8(), 1);
    const uint32_t id = answer.U32();
    const uint64_t token = answer.U64();
    ASSERT_TRUE(answer.Complete());

    const auto notices = [&](uint64_t presented) {
        const int fd = rawConnect(root_->Root());
        const auto greeting = frame(uint16_t(bussvc::Op::Hello),
                                    bussvc::Writer().U32(bussvc::kProtocolVersion).U32(2).U8(1).U32(id).U64(presented).Take());
        ::send(fd, greeting.data(), greeting.size(), MSG_NOSIGNAL);
        std::vector<uint8_t> reply;
        const bool taken = bussvc::RecvFrame(fd, h, reply, 10000) == bussvc::RecvStatus::Ok && !reply.empty() && reply[0] == 1;
        return std::pair{fd, taken};
    };
    const auto [guessed, guessTaken] = notices(token + 1);
    EXPECT_FALSE(guessTaken);
    const auto [own, ownTaken] = notices(token);
    EXPECT_TRUE(ownTaken);
    const auto [second, secondTaken] = notices(token);
    EXPECT_FALSE(secondTaken);
    EXPECT_NE(root_->Log().find("did not prove it is theirs"), std::string::npos);

    // The client's own notice connection still gets its notices.
    EXPECT_EQ(tool("reset"), 0);
    EXPECT_EQ(bussvc::RecvFrame(own, h, p, 10000), bussvc::RecvStatus::Ok);
    EXPECT_EQ(h.op, uint16_t(bussvc::Op::Notice));
    for (int fd : {guessed, own, second, requests}) ::close(fd);
}

// A value nested far deeper than any request needs would take the stack of whatever walks it
// (the refusal message prints the bad value): it is refused before it is parsed.
TEST_F(Service, ADeeplyNestedRequestIsRefusedAndTheServiceServesOn) {
    auto nested = [](size_t depth) { return std::string(depth, '[') + std::string(depth, ']'); };
    std::vector<uint8_t> q(4);
    ASSERT_EQ(read(0, kRom, q), kResultSuccess);
    const pid_t pid = root_->ServicePid();
    ASSERT_NE(pid, 0);
    std::string reply;
    {
        auto a = bussvc::ConnectToService(nullptr);
        int32_t code = a->Control(R"({"cmd":"fault","id":"host","fault":)" + nested(100000) + "}", reply);
        EXPECT_NE(code, 0);
        json answer = json::parse(reply, nullptr, false);
        ASSERT_TRUE(answer.is_object()) << reply.substr(0, 200);
        EXPECT_NE(answer.value("error", "").find("nested more than 64 levels"), std::string::npos) << reply;
        EXPECT_LT(reply.size(), 300u);
    }
    // The same service serves the next client, and the bus is as it was.
    EXPECT_EQ(read(0, kRom, q), kResultSuccess);
    json state = root_->Control(json{{"cmd", "state"}});
    EXPECT_TRUE(state["nodes"][0]["faults"].empty()) << state.dump();
    EXPECT_EQ(root_->ServicePid(), pid);

    // The control tool refuses the same kind of text itself (as deep as a command line takes).
    std::string out;
    EXPECT_EQ(tool("send '{\"cmd\":\"fault\",\"id\":\"host\",\"fault\":" + nested(65000) + "}'", &out), 2);
    EXPECT_NE(out.find("nested more than 64 levels"), std::string::npos) << out.substr(0, 300);
    EXPECT_LT(out.size(), 2000u);
}

// --- what hostile or stuck clients may cost the service

// The service's resident memory in bytes.
size_t residentBytes(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    for (std::string line; std::getline(in, line);)
        if (line.rfind("VmRSS:", 0) == 0) return size_t(std::stoull(line.substr(6))) * 1024;
    return 0;
}

// Bytes sent on a connection that the service has not read yet.
int unread(int fd) {
    int n = 0;
    return ::ioctl(fd, SIOCOUTQ, &n) == 0 ? n : 0;
}

// Greets on a fresh connection; true when the service takes it on.
bool greeted(int fd) {
    std::vector<uint8_t> h = hello();
    if (::send(fd, h.data(), h.size(), MSG_NOSIGNAL) != ssize_t(h.size())) return false;
    bussvc::FrameHeader header;
    std::vector<uint8_t> payload;
    return bussvc::RecvFrame(fd, header, payload, 10000) == bussvc::RecvStatus::Ok && !payload.empty() &&
           payload[0] == 1;
}

// Reads what the service still sends until it closes the connection; false when it has not
// closed it within the bound.
bool closedByService(int fd, int boundMs = 10000) {
    for (;;) {
        pollfd p{fd, POLLIN, 0};
        if (::poll(&p, 1, boundMs) <= 0) return false;
        char buf[256];
        if (::recv(fd, buf, sizeof buf, 0) <= 0) return true;
    }
}

// Sets an environment variable for the service a test starts; the old value comes back after.
class ScopedEnv {
public:
    ScopedEnv(const char* name, const char* value) : name_(name) {
        const char* old = std::getenv(name);
        if (old) old_ = old;
        ::setenv(name, value, 1);
    }
    ~ScopedEnv() {
        if (old_) ::setenv(name_, old_->c_str(), 1);
        else ::unsetenv(name_);
    }

private:
    const char* name_;
    std::optional<std::string> old_;
};

// A hundred connections announce the largest frame and send one byte of it, half before their
// greeting and half after. The service keeps about its idle size and serves on.
TEST_F(Service, AnnouncedFramesThatNeverComeCostTheServiceNoMemory) {
    std::vector<uint8_t> q(4);
    ASSERT_EQ(read(1, kRom, q), kResultSuccess);
    const pid_t pid = root_->ServicePid();
    ASSERT_NE(pid, 0);
    const size_t idle = residentBytes(pid);
    ASSERT_GT(idle, 0u);

    std::vector<int> fds;
    for (int i = 0; i < 100; ++i) {
        int fd = rawConnect(root_->Root());
        ASSERT_GE(fd, 0);
        fds.push_back(fd);
        const bool afterHello = i % 2 == 1;
        if (afterHello) {
            ASSERT_TRUE(greeted(fd));
        }
        std::vector<uint8_t> start =
            bussvc::Writer().U32(bussvc::kMaxPayload).U16(uint16_t(afterHello ? bussvc::Op::Write : bussvc::Op::Hello))
                .U16(0).U8(0x5A).Take();
        ASSERT_EQ(::send(fd, start.data(), start.size(), MSG_NOSIGNAL), ssize_t(start.size()));
    }
    for (int fd : fds)  // until the service has taken every byte
        for (int k = 0; k < 2000 && unread(fd) > 0; ++k) Breathe();

    const size_t now = residentBytes(pid);
    EXPECT_LT(now, idle + (32u << 20)) << "idle " << idle << " bytes, now " << now;
    EXPECT_EQ(read(1, kRom, q), kResultSuccess);
    for (int fd : fds) ::close(fd);
}

// A client silent in the middle of a frame is dropped, before its greeting and after; one that
// waits between requests is not. Past the cap on open connections one more is told so and
// closed, while those open are served on.
TEST_F(Service, StalledClientsAreDroppedAndConnectionsPastTheCapRefused) {
    ScopedEnv stall("LUMAREL_BUS_FRAME_TIMEOUT_MS", "100");
    ScopedEnv cap("LUMAREL_BUS_MAX_CONNECTIONS", "6");
    std::vector<uint8_t> q(4);
    ASSERT_EQ(read(1, kRom, q), kResultSuccess);  // this program now holds two connections

    for (bool afterHello : {false, true}) {
        int fd = rawConnect(root_->Root());
        ASSERT_GE(fd, 0);
        if (afterHello) {
            ASSERT_TRUE(greeted(fd));
        }
        std::vector<uint8_t> half = afterHello ? frame(uint16_t(bussvc::Op::Read), {1, 2, 3, 4}) : hello();
        half.resize(half.size() - 2);
        ::send(fd, half.data(), half.size(), MSG_NOSIGNAL);
        EXPECT_TRUE(closedByService(fd)) << (afterHello ? "after" : "before") << " the greeting";
        ::close(fd);
    }
    EXPECT_NE(root_->Log().find("in the middle of a request"), std::string::npos) << root_->Log();

    std::vector<int> held;
    for (int i = 0; i < 4; ++i) {
        held.push_back(rawConnect(root_->Root()));
        ASSERT_TRUE(greeted(held.back())) << i;
    }
    // Idle for longer than a frame may stall: still served.
    EXPECT_FALSE(closedByService(held[0], 300));
    EXPECT_TRUE(refused(held[0], frame(999, {})));

    int extra = rawConnect(root_->Root());
    ASSERT_GE(extra, 0);
    bussvc::FrameHeader h;
    std::vector<uint8_t> answer;
    ASSERT_EQ(bussvc::RecvFrame(extra, h, answer, 10000), bussvc::RecvStatus::Ok);
    bussvc::Reader r(answer);
    EXPECT_EQ(r.U8(), 0);
    EXPECT_EQ(r.Str(), "too many connections to the bus service");
    EXPECT_TRUE(closedByService(extra));
    ::close(extra);
    EXPECT_EQ(read(1, kRom, q), kResultSuccess);

    // Once one goes, a new one is taken on.
    ::close(held.back());
    held.pop_back();
    bool taken = false;
    for (int k = 0; k < 2000 && !taken; ++k) {
        int fd = rawConnect(root_->Root());
        taken = fd >= 0 && greeted(fd);
        if (taken) {
            held.push_back(fd);
        } else {
            if (fd >= 0) ::close(fd);
            Breathe();
        }
    }
    EXPECT_TRUE(taken);
    for (int fd : held) ::close(fd);
}

TEST_F(Service, AcknowledgedStateSurvivesAKilledService) {
    ASSERT_EQ(api_.RegisterClient(win_.Handle()), 1);
    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    ASSERT_EQ(api_.AddDevice("SECOND"), 0);
    pid_t first = root_->ServicePid();
    ASSERT_NE(first, 0);
    win_.Clear();
    ::kill(first, SIGKILL);
    ASSERT_TRUE(WaitGone(first));
    EXPECT_TRUE(win_.WaitFor(kNoticeBusReset));  // the program hears of it at once

    // The next call finds the service gone: it starts a new one, which restored the list.
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(1, kRom, q), kResultBusReset);  // to the program the restart is a bus reset
    EXPECT_NE(root_->ServicePid(), first);
    EXPECT_EQ(devices(), (std::vector<std::string>{kDevice, "SECOND"}));
    EXPECT_EQ(read(1, kRom, q), kResultSuccess);
}

TEST_F(Service, DeviceStateSurvivesAKilledService) {
    root_.reset();
    ServiceRoot def("device-state");  // the default bus: the host and a Lumarel 460
    api_.HostBus(nullptr);
    // Program a new GUID through the device's request area (header, then the GUID operands).
    std::vector<uint8_t> request = {0, 0, 0, 1, 0, 1, 10, 2, 0x10, 0x7E, 0x3C, 0x0A, 0x99, 0x00, 0x01, 0x00};
    Address48 a = At(0xFFFF, 0xC8021000u);
    ASSERT_EQ(api_.AsyncWriteWrapper(1, &a, int32_t(request.size()), request.data(), 0), kResultSuccess);
    auto guid = [&] { return def.Control(json{{"cmd", "state"}})["nodes"][1]["state"]["guid"]; };
    json written = guid();
    ASSERT_TRUE(written.is_string());
    EXPECT_NE(written, "0A3C7E1000010001");  // no longer the factory GUID

    pid_t pid = def.ServicePid();
    ::kill(pid, SIGKILL);
    ASSERT_TRUE(WaitGone(pid));
    EXPECT_EQ(guid(), written);  // a new service, the device as it was acknowledged
    api_.HostBus(nullptr);
}

// A node's state folder is named after its id, with characters outside [A-Za-z0-9_-] as '_':
// an id alone keeps that folder (what was saved there still loads), but a second node whose id
// would meet it there is refused, at start-up and when added, instead of sharing its state.
TEST_F(Service, IdsThatWouldShareAStateFolderAreRefused) {
    root_.reset();
    const json one = {{"nodes", {{{"id", "host"}, {"kind", "host"}}, {{"id", "u.1"}, {"kind", "lumarel460"}}}}};
    ServiceRoot root("shared-folder", &one);
    api_.HostBus(nullptr);
    std::vector<uint8_t> request = {0, 0, 0, 1, 0, 1, 10, 2, 0x10, 0x7E, 0x3C, 0x0A, 0x99, 0x00, 0x01, 0x00};
    Address48 a = At(0xFFFF, 0xC8021000u);
    ASSERT_EQ(api_.AsyncWriteWrapper(1, &a, int32_t(request.size()), request.data(), 0), kResultSuccess);
    EXPECT_TRUE(fsys::exists(root.Root() / "bus" / "state" / "nodes" / "u_1" / "state.json"));
    const auto guidOf = [&](const std::string& id) {
        for (const json& n : root.Control(json{{"cmd", "state"}}).value("nodes", json::array()))
            if (n.value("id", "") == id) return n["state"].value("guid", "");
        return std::string();
    };
    const std::string programmed = guidOf("u.1");
    ASSERT_NE(programmed, "0A3C7E1000010001");

    std::string out;
    EXPECT_EQ(tool(R"(add-node '{"id": "u_1", "kind": "lumarel460"}')", &out), 1) << out;
    EXPECT_NE(json::parse(out, nullptr, false).value("error", "").find(
                  "would share its state folder \"u_1\" with node \"u.1\""),
              std::string::npos)
        << out;
    EXPECT_EQ(tool(R"(add-node '{"id": "u-1", "kind": "lumarel460"}')", &out), 0) << out;  // a folder of its own

    root.Stop();
    EXPECT_EQ(guidOf("u.1"), programmed);  // the saved state loads from the folder it always had
    root.Stop();
    api_.HostBus(nullptr);

    const json both = {{"nodes", {{{"id", "host"}, {"kind", "host"}}, {{"id", "u.1"}, {"kind", "lumarel460"}},
                                  {{"id", "u_1"}, {"kind", "lumarel460"}}}}};
    std::ofstream(root.Root() / "bus.json") << both.dump();
    try {
        bussvc::ConnectToService(nullptr);
        ADD_FAILURE() << "a service started";
    } catch (const bussvc::ServiceError& e) {
        EXPECT_NE(std::string(e.what()).find("would share its state folder"), std::string::npos) << e.what();
    }
}

// The service's folder holds its socket and the device's keys: whatever the umask, its folders
// are for their owner only (0700) and its files (device state, the list, the log) 0600.
TEST_F(Service, TheServiceFolderIsPrivateWhateverTheUmask) {
    root_.reset();
    const mode_t umaskBefore = ::umask(0);
    {
        ServiceRoot def("private");  // the default bus: the host and a Lumarel 460
        api_.HostBus(nullptr);
        ASSERT_EQ(api_.AddDevice(kDevice), 0);
        std::vector<uint8_t> request = {0, 0, 0, 1, 0, 1, 10, 2, 0x10, 0x7E, 0x3C, 0x0A, 0x99, 0x00, 0x01, 0x00};
        Address48 a = At(0xFFFF, 0xC8021000u);
        ASSERT_EQ(api_.AsyncWriteWrapper(1, &a, int32_t(request.size()), request.data(), 0), kResultSuccess);
        const std::filesystem::path bus = def.Root() / "bus";
        int folders = 0, files = 0;
        bool stateSaved = false;
        const auto mode = [](const std::filesystem::path& p) {
            struct stat st {};
            ::lstat(p.c_str(), &st);
            return st.st_mode;
        };
        EXPECT_EQ(mode(bus) & 0777, 0700u);
        for (const auto& e : std::filesystem::recursive_directory_iterator(bus)) {
            const mode_t m = mode(e.path());
            if (S_ISDIR(m)) {
                EXPECT_EQ(m & 0777, 0700u) << e.path();
                ++folders;
            } else if (S_ISREG(m)) {
                EXPECT_EQ(m & 0777, 0600u) << e.path();
                ++files;
                stateSaved |= e.path().filename() == "state.json";
            }
        }
        EXPECT_GE(folders, 3);  // state, its nodes, the device's
        EXPECT_GE(files, 4);    // the log, the list, the device's state and images
        EXPECT_TRUE(stateSaved);
        EXPECT_TRUE(std::filesystem::exists(bus / "service.log"));
        api_.HostBus(nullptr);
    }
    ::umask(umaskBefore);
}

TEST_F(Service, ABadDescriptionStartsNoServiceAndSaysWhy) {
    root_.reset();
    json bad = json::parse(R"({"nodes": [{"id": "x", "kind": "no_such_kind"}]})");
    ServiceRoot broken("bad-description", &bad);
    api_.HostBus(nullptr);
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(0, kRom, q), kResultNoResponse);
    // The refused service says why before it ends: it may still be on its way out.
    if (const pid_t pid = broken.ServicePid()) {
        EXPECT_TRUE(WaitGone(pid)) << "the refused service keeps running";
    }
    EXPECT_NE(broken.Log().find("no_such_kind"), std::string::npos) << broken.Log();
    api_.HostBus(nullptr);
}

// Whoever asked for the bus learns why there is none: the client's error (which programs print
// on standard error) and the access library's own report name the reason and the service's log.
TEST_F(Service, AServiceThatCannotStartSaysWhyToWhoeverAsked) {
    root_.reset();
    struct Case {
        const char* name;
        std::string description;  // the file's text; empty: no file at all
        const char* why;
    };
    const Case cases[] = {
        {"unit-without-image", R"({"nodes": [{"id": "host", "kind": "host"},
                                             {"id": "unit", "kind": "lumarel460", "mode": "application"}]})",
         "\"mode\" needs a valid image"},
        {"not-json", "{\"nodes\": [", "bus description"},
        {"missing-file", "", "cannot be opened"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        ServiceRoot root(c.name);
        const fsys::path file = root.Root() / "bus.json";
        if (!c.description.empty()) std::ofstream(file) << c.description;
        ::setenv("LUMAREL_BUS_DESCRIPTION", file.c_str(), 1);
        try {
            bussvc::ConnectToService(nullptr);
            ADD_FAILURE() << "a service started";
        } catch (const bussvc::ServiceError& e) {
            const std::string what = e.what();
            EXPECT_NE(what.find("could not start: "), std::string::npos) << what;
            EXPECT_NE(what.find(c.why), std::string::npos) << what;
            EXPECT_NE(what.find((root.Root() / "bus" / "service.log").string()), std::string::npos) << what;
        }
        api_.HostBus(nullptr);
        std::vector<uint8_t> q(4);
        EXPECT_EQ(read(0, kRom, q), kResultNoResponse);
        char text[512];
        ASSERT_GT(api_.BusError(text, sizeof text), 0);
        EXPECT_NE(std::string(text).find(c.why), std::string::npos) << text;
        api_.HostBus(nullptr);
    }
}

// A file named by a bus description, or by a node added later, must be a regular file: a FIFO
// would hold the service in open(2) for ever (at start-up with the service lock held, so that
// no later start on the root could serve). It is refused at once with a clear error; the next
// start on the root serves, and a running service serves on.
TEST_F(Service, AFifoNamedForTheBusIsRefusedAtOnceAndTheServiceServesOn) {
    root_.reset();
    ServiceRoot root("fifo");
    const fsys::path fifo = root.Root() / "pipe";
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const auto unitWith = [&](const char* key) {
        return json{{"id", "unit"}, {"kind", "lumarel460"}, {"images", {{{"type", 0}, {key, fifo.string()}}}}};
    };
    const fsys::path withImage = root.Root() / "image.json", withPackage = root.Root() / "package.json";
    std::ofstream(withImage) << json{{"nodes", {unitWith("file")}}}.dump();
    std::ofstream(withPackage) << json{{"nodes", {unitWith("package")}}}.dump();
    const std::pair<fsys::path, const char*> descriptions[] = {
        {fifo, "is not a regular file"},
        {withImage, "\"images.file\" names something that is not a regular file"},
        {withPackage, "\"images.package\" names something that is not a regular file"},
    };
    for (const auto& [description, why] : descriptions) {
        SCOPED_TRACE(description);
        ::setenv("LUMAREL_BUS_DESCRIPTION", description.c_str(), 1);
        try {
            bussvc::ConnectToService(nullptr);
            ADD_FAILURE() << "a service started";
        } catch (const bussvc::ServiceError& e) {
            EXPECT_NE(std::string(e.what()).find(why), std::string::npos) << e.what();
        }
        EXPECT_NE(root.Log().find(why), std::string::npos);
    }
    ::unsetenv("LUMAREL_BUS_DESCRIPTION");
    std::string out;
    ASSERT_EQ(tool("state", &out), 0) << out;  // the default bus on the same root
    const pid_t pid = root.ServicePid();
    for (const char* key : {"file", "package"}) {
        EXPECT_EQ(tool("add-node '" + unitWith(key).dump() + "'", &out), 1) << out;
        EXPECT_NE(out.find("not a regular file"), std::string::npos) << out;
    }
    EXPECT_EQ(tool("state", &out), 0) << out;
    EXPECT_EQ(root.ServicePid(), pid);
    EXPECT_EQ(json::parse(out, nullptr, false).value("nodes", json::array()).size(), 2u);  // nothing added
}

// The service outlives the program that started it and must not pin that program's folder
// (its file system could not be unmounted): once it serves, its current folder is "/". A root
// and a description named relative to the folder it was started in still serve and save there.
TEST_F(Service, TheServiceLeavesTheFolderItWasStartedIn) {
    root_.reset();
    ServiceRoot root("cwd");
    const fsys::path work = root.Root() / "work";
    fsys::create_directories(work / "r");
    std::ofstream(work / "bus.json") << TestBus().dump();
    const auto cwdOf = [](pid_t pid) {
        std::error_code ec;
        return fsys::read_symlink("/proc/" + std::to_string(pid) + "/cwd", ec);
    };

    // Started by hand in `work`, with a relative root and description.
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    const std::string program = std::string(std::getenv("LUMAREL_BIN")) + "/lumarel-bus";
    const pid_t parent = ::getpid();
    const pid_t child = ::fork();
    if (child == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent || ::chdir(work.c_str()) != 0) ::_exit(1);
        ::dup2(ready[1], 3);
        ::execl(program.c_str(), "lumarel-bus", "--root", "r", "--description", "bus.json", "--ready-fd", "3",
                "--idle-ms", "3000", nullptr);
        ::_exit(127);
    }
    KillOnExit reaper(child);
    ::close(ready[1]);
    char byte = 0;
    EXPECT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    ASSERT_EQ(byte, '1');
    EXPECT_EQ(cwdOf(child), fsys::path("/"));
    ::setenv("LUMAREL_ROOT", (work / "r").c_str(), 1);
    std::string out;
    EXPECT_EQ(tool(std::string("vdev-add ") + kDevice, &out), 0) << out;
    EXPECT_TRUE(fsys::exists(work / "r" / "bus" / "state" / "virtual_devices.json"));
    EXPECT_EQ(tool("state", &out), 0) << out;
    EXPECT_EQ(json::parse(out, nullptr, false).value("nodes", json::array()).size(), 5u) << out;
    EXPECT_EQ(::kill(child, 0), 0) << "the service that was started ended meanwhile";
    EXPECT_EQ(tool("stop"), 0);
    EXPECT_TRUE(WaitGone(child));  // reaped by `reaper`

    // Started by a client, as programs start it.
    ::setenv("LUMAREL_ROOT", root.Root().c_str(), 1);
    ::unsetenv("LUMAREL_BUS_DESCRIPTION");
    EXPECT_EQ(tool("state", &out), 0) << out;
    const pid_t started = root.ServicePid();
    ASSERT_NE(started, 0);
    EXPECT_EQ(cwdOf(started), fsys::path("/"));
}

TEST_F(Service, EndsOnItsOwnWhenIdle) {
    root_.reset();
    ServiceRoot quick("idle", nullptr, 50);
    api_.HostBus(nullptr);
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(0, kRom, q), kResultSuccess);  // the default bus: the host is node 0
    pid_t pid = quick.ServicePid();
    ASSERT_NE(pid, 0);
    api_.HostBus(nullptr);  // the last client goes
    EXPECT_TRUE(WaitGone(pid, 10000));
    EXPECT_NE(quick.Log().find("ending"), std::string::npos);
    root_ = nullptr;
}

// A test removes its temporary root when it ends: the service of that root ends with its last
// client instead of waiting out its idle period, and does not make the folder again.
TEST_F(Service, EndsOnceItsRootIsRemoved) {
    root_.reset();
    ServiceRoot gone("root-removed", nullptr, 600000);  // an idle period no test waits for
    api_.HostBus(nullptr);
    std::vector<uint8_t> q(4);
    ASSERT_EQ(read(0, kRom, q), kResultSuccess);
    pid_t pid = gone.ServicePid();
    ASSERT_NE(pid, 0);
    std::error_code ec;
    fsys::remove_all(gone.Root(), ec);
    api_.HostBus(nullptr);  // the last client goes
    bool ended = WaitGone(pid, 5000);
    if (!ended) ::kill(pid, SIGKILL);
    EXPECT_TRUE(ended);
    EXPECT_FALSE(fsys::exists(gone.Root()));
}

// A description is read only when the service starts. The control tool, named (with
// LUMAREL_BUS_DESCRIPTION) a bus that the running service does not host, says so on standard error,
// naming both, sends nothing and exits 1; named the bus it hosts, from whatever file, or none, it
// does its work. "stop" ends the running service whatever was named.
TEST_F(Service, TheControlToolNamedAnotherBusThanTheRunningOneSaysSoAndSendsNothing) {
    const fsys::path started = root_->Root() / "bus.json";
    ASSERT_EQ(tool("state"), 0);
    const fsys::path other = root_->Root() / "other.json", copy = root_->Root() / "copy.json";
    std::ofstream(other) << json{{"nodes", json::array({json{{"id", "host"}, {"kind", "host"}}})}}.dump();
    fsys::copy_file(started, copy);
    struct Case {
        const char* name;
        fsys::path description;  // empty: none named
        bool named;              // the tool says the buses differ
    };
    const Case cases[] = {
        {"another bus", other, true},
        {"a file that cannot be read", root_->Root() / "missing.json", true},
        {"the file the service started with", started, false},
        {"the same bus in another file", copy, false},
        {"none", {}, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.description.empty()) ::unsetenv("LUMAREL_BUS_DESCRIPTION");
        else ::setenv("LUMAREL_BUS_DESCRIPTION", c.description.c_str(), 1);
        std::string out;
        EXPECT_EQ(tool("unplug dev", &out), c.named ? 1 : 0) << out;
        EXPECT_EQ(out.find("buscontrol: the bus description " + c.description.string() + " (LUMAREL_BUS_DESCRIPTION)"),
                  c.named ? 0 : std::string::npos)
            << out;
        EXPECT_EQ(out.find("which started with the bus description " + started.string()) != std::string::npos, c.named)
            << out;
        ::setenv("LUMAREL_BUS_DESCRIPTION", started.c_str(), 1);
        bool plugged = false;
        const json state = root_->Control({{"cmd", "state"}});
        for (const auto& n : state["nodes"])
            if (n["id"] == "dev") plugged = n["plugged"];
        EXPECT_EQ(plugged, c.named) << "sent nothing, or unplugged";
        if (!plugged) ASSERT_EQ(tool("plug dev", &out), 0) << out;
    }

    // A service of the default bus, met by a tool that names a description.
    api_.HostBus(nullptr);
    ASSERT_EQ(tool("stop"), 0);
    ::unsetenv("LUMAREL_BUS_DESCRIPTION");
    std::string out;
    ASSERT_EQ(tool("state", &out), 0) << out;
    ::setenv("LUMAREL_BUS_DESCRIPTION", started.c_str(), 1);
    EXPECT_EQ(tool("state", &out), 1) << out;
    EXPECT_NE(out.find("which started with the default bus"), std::string::npos) << out;
    EXPECT_EQ(out.find("\"nodes\""), std::string::npos) << "nothing printed of the running bus: " << out;
    const pid_t pid = root_->ServicePid();
    EXPECT_EQ(tool("stop", &out), 0) << out;
    EXPECT_EQ(out.find("LUMAREL_BUS_DESCRIPTION"), std::string::npos) << out;
    EXPECT_TRUE(WaitGone(pid));
}

TEST_F(Service, ControlToolPrintsAndChangesTheBus) {
    std::string out;
    ASSERT_EQ(tool("state", &out), 0) << out;
    json state = json::parse(out, nullptr, false);
    ASSERT_TRUE(state.is_object()) << out;
    EXPECT_EQ(state["nodes"].size(), 5u);

    EXPECT_EQ(tool("fault dev '{\"kind\":\"no_response\"}'"), 0);
    std::vector<uint8_t> q(4);
    EXPECT_EQ(read(1, kRom, q), kResultNoResponse);
    EXPECT_EQ(tool("clear-faults"), 0);
    EXPECT_EQ(tool("power dev off"), 0);
    EXPECT_EQ(read(3, kRom, q), kResultNoResponse);  // the nodes behind moved up, node 3 is gone
    EXPECT_EQ(tool("power dev on"), 0);
    EXPECT_EQ(read(3, kRom, q), kResultSuccess);

    EXPECT_EQ(tool("unplug nobody", &out), 1) << out;
    EXPECT_NE(out.find("no node"), std::string::npos);
    EXPECT_EQ(tool("frobnicate", &out), 2);
    api_.HostBus(nullptr);  // let go, or the library would start the service again
    pid_t pid = root_->ServicePid();
    EXPECT_EQ(tool("stop"), 0);
    // "stop" returns once the service has saved its state and let go of its root.
    const std::string log = root_->Log();
    EXPECT_EQ(log.rfind("ended\n"), log.size() - 6) << log;
    EXPECT_TRUE(WaitGone(pid));
}

}  // namespace
