// The access library loaded with dlopen as the downloader loads it, on a bus hosted in the test
// process and driven by the manual clock.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <vector>

#include "tests/api_loader.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus/description.h"
#include "clock/clock.h"
#include "user/user.h"

namespace {

using namespace vsktest;
namespace fsys = std::filesystem;

constexpr uint32_t kRom = 0xF0000400u;
constexpr char kDevice[] = "1394_VIRTUAL_DEVICE";

// Records what reaches a client window.
struct Window {
    user::HWND hwnd = 0;
    std::vector<uint32_t> notices;
    std::string text;

    Window() {
        hwnd = user::CreateWindow("Edit", "", [this](user::HWND h, uint32_t m, user::WPARAM w, user::LPARAM l) {
            if (m == kEditReplaceSel)
                text += reinterpret_cast<const char*>(l);
            else if (m >= user::WM_USER)
                notices.push_back(m);
            return user::DefWindowProc(h, m, w, l);
        });
    }
    ~Window() { user::DestroyWindow(hwnd); }
    std::vector<uint32_t> Take() {
        user::PumpMessages();
        auto n = std::move(notices);
        notices.clear();
        return n;
    }
};

class Library : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fsys::temp_directory_path() / ("vsk-lib-" + std::to_string(::getpid()));
        fsys::create_directories(root_);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        // Foreign node 0, the local host 1, a minimal ROM 2, a node with its link off 3.
        sim::LoadDescription(bus_, nlohmann::json::parse(R"({"nodes": [
            {"id": "a", "kind": "foreign"},
            {"id": "host", "kind": "host"},
            {"id": "mini", "kind": "minimal", "vendor_id": "0x0A3C7E"},
            {"id": "off", "kind": "foreign", "link_active": false}]})"));
        api_.HostBus(&bus_);
        ASSERT_EQ(api_.RegisterClient(win_.hwnd), 1);
        win_.Take();
    }
    void TearDown() override {
        api_.DeRegisterClient(win_.hwnd);
        api_.HostBus(nullptr);
        fsys::remove_all(root_);
    }

    int32_t read(int node, uint16_t high, uint32_t low, std::vector<uint8_t>& out, int32_t timeout = 0) {
        Address48 a = At(high, low);
        return api_.AsyncReadWrapper(node, &a, int32_t(out.size()), out.data(), timeout);
    }

    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    fsys::path root_;
    sim::Bus bus_;
    Api api_;
    Window win_;
};

TEST_F(Library, VirtualDeviceListIsOneWithTheBusAndAnnouncesChanges) {
    VirtualDeviceList list;
    std::memset(&list, 0xAB, sizeof list);
    api_.GetVirtualDeviceList(&list);
    EXPECT_EQ(list.Count, 0);
    EXPECT_EQ(list.Names[0][0], 0);  // zero-filled, not left as it was

    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    EXPECT_EQ(win_.Take(), (std::vector<uint32_t>{kNoticeDeviceChange, kNoticeBusReset}));
    api_.GetVirtualDeviceList(&list);
    ASSERT_EQ(list.Count, 1);
    EXPECT_STREQ(list.Names[0], kDevice);
    ASSERT_EQ(bus_.VirtualDevices().size(), 1u);  // the bus device path sees the same list

    // A 33-character name fills its buffer without a terminating zero and is read with a bound.
    char full[kVirtualDeviceNameMax];
    std::memset(full, 'X', sizeof full);
    VirtualDeviceDescriptor d{0, 0, 0, 0, full};
    int32_t window = win_.hwnd;
    ASSERT_EQ(api_.AddVirtualDriver(&window, &d, 0), 0);
    api_.GetVirtualDeviceList(&list);
    ASSERT_EQ(list.Count, 2);
    EXPECT_EQ(std::string(list.Names[1]), std::string(kVirtualDeviceNameMax, 'X'));

    EXPECT_EQ(api_.RemoveVirtualDriver(&window, &d, 0), 0);
    EXPECT_NE(api_.RemoveVirtualDriver(&window, &d, 0), 0);  // gone already
    VirtualDeviceDescriptor noName{0, 0, 0, 0, nullptr};
    EXPECT_NE(api_.AddVirtualDriver(&window, &noName, 0), 0);
    EXPECT_NE(api_.AddVirtualDriver(&window, nullptr, 0), 0);
    EXPECT_NE(api_.GetVirtualDeviceList(nullptr), 0);

    // Ten slots: the list never claims more than it filled.
    for (int i = 0; i < 12; ++i) api_.AddDevice("dev" + std::to_string(i));
    api_.GetVirtualDeviceList(&list);
    EXPECT_EQ(list.Count, kVirtualDeviceSlots);
}

TEST_F(Library, TopologyMapAndLocalNodeNeedAKnownDevice) {
    HostInfoRequest req = TopologyRequest();
    DeviceSlot slot(kDevice);
    const char* name = slot.name;

    // No virtual device yet: refused, the data area untouched.
    EXPECT_NE(api_.GetLocalHostInformation(win_.hwnd, name, &req, 0), 0);
    EXPECT_EQ(req.Data[10], 0);
    ASSERT_EQ(api_.AddDevice(kDevice), 0);

    ASSERT_EQ(api_.GetLocalHostInformation(win_.hwnd, name, &req, 0), 0);
    auto le16 = [&](int at) { return req.Data[at] | req.Data[at + 1] << 8; };
    EXPECT_EQ(le16(8), 4);   // NodeCount
    EXPECT_EQ(le16(10), 4);  // SelfIdCount: one per node
    uint32_t generation = req.Data[4] | req.Data[5] << 8 | req.Data[6] << 16 | uint32_t(req.Data[7]) << 24;
    EXPECT_EQ(generation, bus_.Generation());
    // Self-ID of node 3: bus order, PHY ID in byte 0, link-active bit (b1 bit 6) off.
    const uint8_t* node3 = req.Data + 12 + 3 * 4;
    EXPECT_EQ(node3[0] & 0x3F, 3);
    EXPECT_EQ(node3[1] & 0x40, 0);
    EXPECT_NE(req.Data[12 + 4 + 1] & 0x40, 0);

    // Another information level or CSR: refused, nothing written.
    HostInfoRequest other = req;
    std::memset(other.Data, 0x5A, sizeof other.Data);
    other.Level = 5;
    EXPECT_NE(api_.GetLocalHostInformation(win_.hwnd, name, &other, 0), 0);
    other.Level = 6;
    other.CsrLow = int32_t(0xF0000400u);
    EXPECT_NE(api_.GetLocalHostInformation(win_.hwnd, name, &other, 0), 0);
    EXPECT_EQ(other.Data[0], 0x5A);

    NodeAddressRequest node{1, 0, 0};
    ASSERT_EQ(api_.Get1394AddressFromDeviceObject(win_.hwnd, name, &node), 0);
    EXPECT_EQ(node.NodeAddress, 0xFFC1);  // the host is node 1 on the local bus 0x3FF
    NodeAddressRequest unknown{1, 0, 0};
    EXPECT_NE(api_.Get1394AddressFromDeviceObject(win_.hwnd, "NO_SUCH_DEVICE", &unknown), 0);
    EXPECT_EQ(unknown.NodeAddress, 0);
}

TEST_F(Library, ReadResultsAndArgumentChecks) {
    std::vector<uint8_t> q(4);
    ASSERT_EQ(read(0, 0xFFFF, kRom, q), kResultSuccess);
    EXPECT_EQ(q[0], 0x04);  // bus info block of 4 quadlets
    std::vector<uint8_t> rom(20);
    ASSERT_EQ(read(0, 0xFFFF, kRom, rom), kResultSuccess);
    EXPECT_EQ(std::string(rom.begin() + 4, rom.begin() + 8), "1394");
    EXPECT_EQ(read(2, 0xFFFF, kRom, q), kResultSuccess);  // minimal ROM: its one quadlet
    EXPECT_EQ(q[0], 0x01);

    EXPECT_EQ(read(9, 0xFFFF, kRom, q), kResultNoResponse);              // absent node
    EXPECT_EQ(read(0, 0xFFFF, 0xC8000000u, q), kResultAddressError);     // unmapped address
    EXPECT_EQ(read(3, 0xFFFF, kRom, q), kResultNoResponse);              // link off

    struct Bad { int32_t count; bool nullBuffer; bool nullAddress; } bad[] = {
        {0, false, false}, {2, false, false}, {6, false, false}, {2052, false, false},
        {4, true, false}, {4, false, true}};
    for (const auto& b : bad) {
        std::vector<uint8_t> buf(4096, 0xEE);
        Address48 a = At(0xFFFF, kRom);
        int32_t code = api_.AsyncReadWrapper(0, b.nullAddress ? nullptr : &a, b.count,
                                             b.nullBuffer ? nullptr : buf.data(), 0);
        EXPECT_EQ(code, kResultBadParameter) << b.count;
        EXPECT_EQ(buf[0], 0xEE);
        code = api_.AsyncWriteWrapper(0, b.nullAddress ? nullptr : &a, b.count, b.nullBuffer ? nullptr : buf.data(), 0);
        EXPECT_EQ(code, kResultBadParameter) << b.count;
    }
    std::vector<uint8_t> max(2048);
    EXPECT_EQ(read(0, 0xFFFF, kRom, max), kResultAddressError);  // 2048 accepted, past the ROM
    Address48 a = At(0xFFFF, kRom);
    EXPECT_EQ(api_.AsyncReadWrapper(63, &a, 4, q.data(), 0), kResultBadParameter);  // broadcast is write-only
    Address48 request = At(0xFFFF, 0xC8021000u);
    EXPECT_EQ(api_.AsyncWriteWrapper(63, &request, 4, q.data(), 0), kResultSuccess);  // sent, nobody answers
}

TEST_F(Library, FaultInjectionReachesEveryResultCode) {
    struct Case { const char* fault; int32_t timeout; int32_t code; } cases[] = {
        {R"({"kind":"no_response"})", 0, kResultNoResponse},
        {R"({"kind":"address_error"})", 0, kResultAddressError},
        {R"({"kind":"late_answer","delay_ms":150})", 0, kResultTimeout},      // past the default 100 ms
        {R"({"kind":"late_answer","delay_ms":150})", 200, kResultSuccess},    // within 200 ms
        {R"({"kind":"late_answer","delay_ms":50})", 0, kResultSuccess},       // 0 means 100 ms
        {R"({"kind":"reset_after","after":1})", 0, kResultBusReset},
        {R"({"kind":"unknown_error"})", 0, kResultUnknown},
        {R"({"kind":"code","code":"0x80000002"})", 0, kResultShutdown},
    };
    for (const auto& c : cases) {
        int32_t code = -1;
        std::string answer = api_.Command(std::string(R"({"cmd":"fault","id":"a","fault":)") + c.fault + "}", &code);
        ASSERT_EQ(code, 0) << answer;
        std::vector<uint8_t> q(4);
        int64_t before = clock_.NowMicros();
        EXPECT_EQ(read(0, 0xFFFF, kRom, q, c.timeout), c.code) << c.fault;
        EXPECT_LE(clock_.NowMicros() - before, 1000 * 200) << "waited on the manual clock";
        api_.Command(R"({"cmd":"clear_faults"})");
    }
    // Injected notices.
    win_.Take();
    api_.Command(R"({"cmd":"notice","kind":"driver_error"})");
    api_.Command(R"({"cmd":"notice","kind":"other_driver_reset"})");
    EXPECT_EQ(win_.Take(), (std::vector<uint32_t>{kNoticeDriverError, kNoticeOtherDriverReset}));
    int32_t code = 0;
    api_.Command(R"({"cmd":"fault","id":"nobody","fault":{"kind":"no_response"}})", &code);
    EXPECT_NE(code, 0);
    api_.Command("not json", &code);
    EXPECT_NE(code, 0);
}

TEST_F(Library, BusResetAndRangesPostTheirNotices) {
    ASSERT_EQ(api_.AddDevice(kDevice), 0);
    DeviceSlot slot(kDevice);
    const char* name = slot.name;
    int32_t window = win_.hwnd, zero = 0;
    win_.Take();
    uint32_t generation = bus_.Generation();
    api_.BusReset(&window, name, &zero);
    EXPECT_EQ(win_.Take(), std::vector<uint32_t>{kNoticeBusReset});
    EXPECT_EQ(bus_.Generation(), generation + 1);

    AddressRangeRecord r = CallbackRange();
    ASSERT_EQ(api_.AllocateAddressRange(&window, name, &r, 0), 0);
    EXPECT_NE(r.Handle, 0);
    AddressRangeRecord overlap = r;
    overlap.Address.OffsetLow += 32;
    EXPECT_NE(api_.AllocateAddressRange(&window, name, &overlap, 0), 0);
    AddressRangeRecord empty = r;
    empty.Length = 0;
    EXPECT_NE(api_.AllocateAddressRange(&window, name, &empty, 0), 0);

    // Node 0 writes its callback into the range.
    uint8_t data[8] = {1, 2, 3, 4, 5, 6, 7, 8};
    ASSERT_EQ(bus_.WriteFrom(0, 1, 0xFFFF, 0xC8029000u, 8, data), kResultSuccess);
    EXPECT_EQ(win_.Take(), std::vector<uint32_t>{kNoticeIncomingData});

    EXPECT_EQ(api_.FreeAddressRange(&window, name, r.Handle), 0);
    EXPECT_NE(api_.FreeAddressRange(&window, name, r.Handle), 0);
    EXPECT_EQ(bus_.WriteFrom(0, 1, 0xFFFF, 0xC8029000u, 8, data), kResultAddressError);
    EXPECT_TRUE(win_.Take().empty());
}

TEST_F(Library, ClockModulesAndDebugText) {
    int64_t start = clk::QueryPerformanceCounter();
    clock_.Advance(250);
    EXPECT_EQ(api_.QueryElapsedTimeMsLongInt(&start), 250);
    EXPECT_EQ(api_.QueryElapsedTimeMsLongInt(nullptr), 0);
    EXPECT_EQ(api_.HookSystemModule("Bootloader"), 1);
    EXPECT_EQ(api_.HookSystemModule(nullptr), 0);

    api_.SetDebugSpew(win_.hwnd, 3);
    std::vector<uint8_t> q(4);
    read(0, 0xFFFF, kRom, q);
    read(9, 0xFFFF, kRom, q);
    api_.SetDebugSpew(win_.hwnd, 0);
    read(0, 0xFFFF, kRom, q);
    user::PumpMessages();
    // Whole lines ending in CR LF; nothing after the level went back to 0.
    ASSERT_FALSE(win_.text.empty());
    EXPECT_EQ(win_.text.substr(win_.text.size() - 2), "\r\n");
    EXPECT_NE(win_.text.find("read node 9 0xFFFF:F0000400 4 bytes: code 0x79"), std::string::npos) << win_.text;
    size_t lines = 0;
    for (size_t p = 0; (p = win_.text.find("read node", p)) != std::string::npos; ++p) ++lines;
    EXPECT_EQ(lines, 2u);
}

// A test may name a description to host in-process instead of handing over a bus.
TEST(LibraryHosting, DescriptionNamedByTheEnvironment) {
    clk::ManualClock clock;
    clk::ScopedClock scoped(clock);
    fsys::path root = fsys::temp_directory_path() / ("vsk-desc-root-" + std::to_string(::getpid()));
    fsys::create_directories(root);
    struct RemovedAtEnd {
        fsys::path path;
        ~RemovedAtEnd() {
            std::error_code ec;
            fsys::remove_all(path, ec);
        }
    } removed{root};  // also when an assertion ends the test early
    ::setenv("LUMAREL_ROOT", root.c_str(), 1);
    fsys::path file = root / "description.json";
    std::ofstream(file) << R"({"nodes": [{"id": "host", "kind": "host"}, {"id": "cam", "kind": "foreign"}],
                              "virtual_devices": ["1394_VIRTUAL_DEVICE"]})";
    Api api;
    api.HostBus(nullptr);  // whatever an earlier test left: the next call reads the environment
    ::setenv("LUMAREL_BUS_INPROCESS", file.c_str(), 1);
    VirtualDeviceList list{};
    api.GetVirtualDeviceList(&list);
    ::unsetenv("LUMAREL_BUS_INPROCESS");
    EXPECT_EQ(list.Count, 1);
    auto* bus = static_cast<sim::Bus*>(api.InProcessBus());
    ASSERT_NE(bus, nullptr);
    EXPECT_EQ(bus->NodeIds(), (std::vector<std::string>{"host", "cam"}));
    api.HostBus(nullptr);
    EXPECT_EQ(api.InProcessBus(), nullptr);
}

// The log file is asked for by the environment when the library starts: checked in a fresh
// process (this test program again, running only the child half).
TEST(LibraryLog, ChildHalf) {
    if (!std::getenv("VSK_LOG_CHILD")) GTEST_SKIP() << "runs as the child of WritesVsk1394apiLog";
    Api api;
    EXPECT_EQ(api.HookSystemModule("1394debugger"), 1);
}

TEST(LibraryLog, WritesVsk1394apiLogInTheCurrentFolderWhenAsked) {
    fsys::path dir = fsys::temp_directory_path() / ("vsk-log-" + std::to_string(::getpid()));
    fsys::create_directories(dir);
    pid_t child = ::fork();
    if (child == 0) {
        if (::chdir(dir.c_str()) != 0) ::_exit(3);
        ::setenv("LUMAREL_ROOT", dir.c_str(), 1);
        ::setenv("VSK1394API_LOG", "1", 1);
        ::setenv("LUMAREL_BUS_INPROCESS", "default", 1);
        ::setenv("VSK_LOG_CHILD", "1", 1);
        ::execl("/proc/self/exe", "library_child", "--gtest_filter=LibraryLog.ChildHalf", nullptr);
        ::_exit(127);
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::ifstream in(dir / "vsk1394api.log");
    std::string all((std::istreambuf_iterator<char>(in)), {});
    EXPECT_NE(all.find("system module \"1394debugger\" hooked\r\n"), std::string::npos) << all;
    fsys::remove_all(dir);
}

}  // namespace
