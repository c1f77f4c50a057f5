// The Lumarel 460 end to end, as a downloader sees it: only the access library's C interface
// ("Vsk1394api.dll", loaded with dlopen, its records declared here from the interface), the bus
// service it starts, the package builder and the control tool as programs.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/wait.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace {

namespace fsys = std::filesystem;
using nlohmann::json;

// ---- the access library's records and calls (C linkage, 32-bit integers)
extern "C" {
struct Address48 {
    int16_t OffsetHigh;
    uint16_t Fill;
    int32_t OffsetLow;
};
struct HostInfoRequest {
    int32_t Status;
    int32_t Level;
    int32_t BufferSize;
    int16_t CsrHigh;
    uint16_t Fill;
    int32_t CsrLow;
    int32_t CsrLength;
    uint8_t Data[4096];
};
struct VirtualDeviceDescriptor {
    uint32_t Flags;
    uint32_t Reserved;
    uint32_t InstanceLow;
    uint32_t InstanceHigh;
    const char* Name;
};
using ReadFn = int32_t (*)(int32_t, const Address48*, int32_t, uint8_t*, int32_t);
using WriteFn = int32_t (*)(int32_t, const Address48*, int32_t, const uint8_t*, int32_t);
using HostInfoFn = int32_t (*)(int32_t, const char*, HostInfoRequest*, int32_t);
using AddVirtualFn = int32_t (*)(const int32_t*, VirtualDeviceDescriptor*, int32_t);
}
static_assert(sizeof(Address48) == 8 && sizeof(HostInfoRequest) == 4120);

constexpr char kVirtualDevice[] = "1394_VIRTUAL_DEVICE";
constexpr uint32_t kRom = 0xF0000400u;
constexpr uint32_t kRegion = 0xC8020000u;
constexpr uint32_t kRequest = kRegion + 0x1000, kRequestPayload = kRegion + 0x1040;
constexpr uint32_t kResponse = kRegion + 0x9000;
constexpr int32_t kOk = 1;

uint32_t Le(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); }
void PutLe(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}

// A short wait between polls of another process's progress (bounded by the callers).
void Breathe() { ::poll(nullptr, 0, 5); }

std::string RunCommand(const std::string& command, int* status = nullptr) {
    FILE* f = ::popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
    const int s = ::pclose(f);
    if (status) *status = WIFEXITED(s) ? WEXITSTATUS(s) : -1;
    return out;
}

class Downloader {
public:
    Downloader() {
        const char* bin = std::getenv("LUMAREL_BIN");
        if (!bin) return;
        lib_ = dlopen((std::string(bin) + "/Vsk1394api.dll").c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!lib_) return;
        read_ = reinterpret_cast<ReadFn>(dlsym(lib_, "AsyncReadWrapper"));
        write_ = reinterpret_cast<WriteFn>(dlsym(lib_, "AsyncWriteWrapper"));
        hostInfo_ = reinterpret_cast<HostInfoFn>(dlsym(lib_, "GetLocalHostInformation"));
        addVirtual_ = reinterpret_cast<AddVirtualFn>(dlsym(lib_, "AddVirtualDriver"));
    }
    ~Downloader() {
        if (lib_) dlclose(lib_);
    }
    bool Loaded() const { return lib_ && read_ && write_ && hostInfo_ && addVirtual_; }

    int32_t AddVirtualDevice() {
        VirtualDeviceDescriptor d{0, 0, 0, 0, kVirtualDevice};
        const int32_t hwnd = 0;
        return addVirtual_(&hwnd, &d, 0);
    }
    // Generation and node count from the topology map (0, 0 when unavailable).
    std::pair<uint32_t, int> Topology() {
        HostInfoRequest r{};
        r.Level = 6;
        r.BufferSize = 4096;
        r.CsrHigh = -1;
        r.CsrLow = int32_t(0xF0001000u);
        r.CsrLength = 1024;
        if (hostInfo_(0, kVirtualDevice, &r, 0) != 0) return {0, 0};
        return {Le(r.Data + 4), r.Data[8] | r.Data[9] << 8};
    }
    int32_t Read(int node, uint32_t low, std::vector<uint8_t>& out) {
        Address48 a{-1, 0, int32_t(low)};
        return read_(node, &a, int32_t(out.size()), out.data(), 0);
    }
    int32_t Write(int node, uint32_t low, std::vector<uint8_t> data) {
        while (data.size() % 4) data.push_back(0);
        Address48 a{-1, 0, int32_t(low)};
        return write_(node, &a, int32_t(data.size()), data.data(), 0);
    }

    // The config ROM quadlet by quadlet, as bytes, until a read fails.
    std::vector<uint8_t> Rom(int node) {
        std::vector<uint8_t> rom, q(4);
        for (uint32_t at = 0; at < 1024 && Read(node, kRom + at, q) == kOk; at += 4) rom.insert(rom.end(), q.begin(), q.end());
        return rom;
    }

    struct Answer {
        bool ok = false;
        std::vector<uint8_t> operands;
        uint32_t Op(size_t i) const { return i * 4 + 4 <= operands.size() ? Le(&operands[i * 4]) : 0xDEADBEEF; }
    };
    // One request: payload (optional), header, then polls of the 40-byte response header.
    Answer Command(int node, uint8_t command, const std::vector<uint8_t>& operands,
                   const std::vector<uint8_t>& payload = {}, int polls = 50) {
        Answer a;
        if (!payload.empty() && Write(node, kRequestPayload, payload) != kOk) return a;
        std::vector<uint8_t> req;
        PutLe(req, 1);
        ++sequence_;
        req.push_back(uint8_t(sequence_));
        req.push_back(uint8_t(sequence_ >> 8));
        req.push_back(command);
        req.push_back(uint8_t((operands.size() + 3) / 4));
        req.insert(req.end(), operands.begin(), operands.end());
        if (Write(node, kRequest, req) != kOk) return a;
        std::vector<uint8_t> h(40);
        for (int i = 0; i < polls; ++i) {
            if (Read(node, kResponse, h) == kOk && Le(h.data()) == 1 && (h[4] | h[5] << 8) == sequence_ &&
                h[6] == command) {
                a.ok = true;
                a.operands.assign(h.begin() + 8, h.begin() + 8 + std::min<size_t>(32, h[7] * 4u));
                return a;
            }
            Breathe();
        }
        return a;
    }

private:
    void* lib_ = nullptr;
    ReadFn read_ = nullptr;
    WriteFn write_ = nullptr;
    HostInfoFn hostInfo_ = nullptr;
    AddVirtualFn addVirtual_ = nullptr;
    uint16_t sequence_ = 0;
};

bool Contains(const std::vector<uint8_t>& bytes, const std::string& text) {
    return std::search(bytes.begin(), bytes.end(), text.begin(), text.end()) != bytes.end();
}

class DeviceEndToEnd : public ::testing::Test {
protected:
    void SetUp() override {
        root_ = fsys::temp_directory_path() / ("device-e2e-" + std::to_string(::getpid()));
        fsys::remove_all(root_);
        fsys::create_directories(root_);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "3000", 1);
        ::unsetenv("LUMAREL_BUS_DESCRIPTION");
        ::unsetenv("LUMAREL_BUS_INPROCESS");
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr) << "LUMAREL_BIN names the program folder";
        bin_ = bin;
    }
    void TearDown() override {
        RunCommand(bin_ + "/buscontrol stop");
        std::error_code ec;
        fsys::remove_all(root_, ec);
    }

    json DeviceState() {
        int status = 0;
        const std::string out = RunCommand(bin_ + "/buscontrol state", &status);
        EXPECT_EQ(status, 0) << out;
        const json bus = json::parse(out, nullptr, false);
        for (const json& n : bus.value("nodes", json::array()))
            if (n.value("kind", "") == "lumarel460") return n["state"];
        ADD_FAILURE() << "no lumarel460 in " << out;
        return {};
    }

    // Waits until the bus generation has moved past `after` and the device's ROM shows `text`.
    std::vector<uint8_t> WaitForRom(Downloader& d, uint32_t after, int node, const std::string& text,
                                    const std::string& absent) {
        for (int i = 0; i < 2000; ++i) {
            if (d.Topology().first > after) {
                const auto rom = d.Rom(node);
                if (Contains(rom, text) && (absent.empty() || !Contains(rom, absent))) return rom;
            }
            Breathe();
        }
        ADD_FAILURE() << "the device did not come back showing " << text;
        return {};
    }

    fsys::path root_;
    std::string bin_;
};

TEST_F(DeviceEndToEnd, DownloadGuidAndResetsThroughTheServiceSurviveARestart) {
    Downloader d;
    ASSERT_TRUE(d.Loaded());
    ASSERT_EQ(d.AddVirtualDevice(), 0);

    // Find the Lumarel 460 by its ROM: company identifier and the bootloader's model text.
    const int count = d.Topology().second;
    ASSERT_GE(count, 2);
    int node = -1;
    for (int n = 0; n < count && node < 0; ++n) {
        const auto rom = d.Rom(n);
        if (rom.size() >= 20 && rom[12] == 0x0A && rom[13] == 0x3C && rom[14] == 0x7E &&
            Contains(rom, "LUMA Rel Bootloader"))
            node = n;
    }
    ASSERT_GE(node, 0);

    // Info registers: 12 bytes, then all 104.
    std::vector<uint8_t> probe(12), info(104);
    ASSERT_EQ(d.Read(node, kRegion, probe), kOk);
    EXPECT_EQ(std::string(probe.begin(), probe.begin() + 8), "vaskonel");
    EXPECT_EQ(Le(&probe[8]), 1u);
    ASSERT_EQ(d.Read(node, kRegion, info), kOk);
    EXPECT_NE(Le(&info[12]), 0u);  // bootloader running
    EXPECT_TRUE(d.Command(node, 1, {}).ok);  // halt

    // A 300 KB application image in a package written by the builder.
    std::vector<uint8_t> image(300 * 1024);
    for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t((i * 2654435761u) >> 13);
    const uint32_t crc = uint32_t(crc32(0L, image.data(), uInt(image.size())));
    std::ofstream(root_ / "app.bin", std::ios::binary).write(reinterpret_cast<const char*>(image.data()),
                                                             std::streamsize(image.size()));
    int status = 0;
    const std::string built = RunCommand(bin_ + "/fwpbuild -o " + (root_ / "app.fwp").string() + " --image1 " +
                                      (root_ / "app.bin").string() + "@0x20000000 --model 460 --software-id 3" +
                                      " --software-version 1.4.0.2 --date 20260301 --time 101500",
                                  &status);
    ASSERT_EQ(status, 0) << built;
    std::ifstream in(root_ / "app.fwp", std::ios::binary);
    const std::vector<uint8_t> fwp((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    ASSERT_GE(fwp.size(), 352u);
    const uint32_t offset = Le(&fwp[48]), address = Le(&fwp[52]), length = Le(&fwp[56]), fwpCrc = Le(&fwp[60]);
    ASSERT_EQ(length, image.size());
    ASSERT_EQ(fwpCrc, crc);

    std::vector<uint8_t> start = {0, 0, 0, 0};
    start.insert(start.end(), fwp.begin() + 8, fwp.begin() + 24);  // date and time as in the package
    for (uint32_t v : {Le(&fwp[24]), Le(&fwp[28]), address, length, fwpCrc}) PutLe(start, v);
    const auto started = d.Command(node, 4, start);
    ASSERT_TRUE(started.ok);
    ASSERT_GE(started.Op(0), 1024u);
    for (uint32_t done = 0, number = 0; done < length; done += 1024, ++number) {
        const uint32_t n = std::min<uint32_t>(1024, length - done);
        std::vector<uint8_t> op;
        for (uint32_t v : {number, address + done, n}) PutLe(op, v);
        const auto block = d.Command(node, 5, op,
                                     std::vector<uint8_t>(fwp.begin() + offset + done, fwp.begin() + offset + done + n));
        ASSERT_TRUE(block.ok) << number;
        ASSERT_EQ(block.Op(0), number);
        ASSERT_EQ(block.Op(1), 0u) << number;
    }
    const auto end = d.Command(node, 6, {});
    ASSERT_TRUE(end.ok);
    EXPECT_EQ(end.Op(0), crc);
    EXPECT_EQ(end.Op(1), 0u);
    const auto check = d.Command(node, 3, {0, 0, 0, 0});
    EXPECT_EQ(check.Op(0), crc);
    EXPECT_EQ(check.Op(1), 0u);

    // New GUID 0A3C7E10 00010002, sent with each quadlet reversed, then into the application.
    EXPECT_TRUE(d.Command(node, 10, {0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}).ok);
    const uint32_t beforeApp = d.Topology().first;
    d.Command(node, 2, {0, 0, 0, 0}, {}, 1);  // a device that restarts need not answer
    auto rom = WaitForRom(d, beforeApp, node, "LUMA Rel", "Bootloader");
    ASSERT_GE(rom.size(), 20u);
    EXPECT_EQ(std::vector<uint8_t>(rom.begin() + 12, rom.begin() + 20),
              (std::vector<uint8_t>{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x02}));
    ASSERT_EQ(d.Read(node, kRegion, info), kOk);
    EXPECT_EQ(Le(&info[12]), 0u);                 // the application runs
    EXPECT_EQ(std::string(info.begin() + 32, info.begin() + 40), "20260301");
    EXPECT_EQ(Le(&info[52]), 0x01040002u);

    // And back into the bootloader.
    const uint32_t beforeBoot = d.Topology().first;
    d.Command(node, 2, {1, 0, 0, 0}, {}, 1);
    WaitForRom(d, beforeBoot, node, "LUMA Rel Bootloader", "");

    char crcText[16];
    std::snprintf(crcText, sizeof crcText, "0x%08X", crc);
    const auto expectState = [&](const json& s) {
        EXPECT_EQ(s.value("mode", ""), "bootloader");
        EXPECT_EQ(s.value("guid", ""), "0A3C7E1000010002");
        ASSERT_TRUE(s.contains("slots"));
        EXPECT_EQ(s["slots"][0].value("length", 0u), image.size());
        EXPECT_EQ(s["slots"][0].value("crc32", ""), crcText);
        EXPECT_EQ(s["slots"][0].value("valid", false), true);
    };
    const json before = DeviceState();
    expectState(before);

    // The service ends; the next call starts it again, and the device is as it was.
    RunCommand(bin_ + "/buscontrol stop");
    const json after = DeviceState();
    expectState(after);
    for (const char* field : {"guid", "mac", "debug_guid", "slots", "keys", "persistent"})
        EXPECT_EQ(after[field], before[field]) << field;
    // To the library the restart is a bus reset; reads succeed again after it.
    int32_t result = 0;
    for (int i = 0; i < 200 && (result = d.Read(node, kRegion, info)) != kOk; ++i) Breathe();
    ASSERT_EQ(result, kOk);
    EXPECT_EQ(std::vector<uint8_t>(info.begin() + 16, info.begin() + 24),
              (std::vector<uint8_t>{0x10, 0x7E, 0x3C, 0x0A, 0x02, 0x00, 0x01, 0x00}));
}

// A download whose image the disk under the service's state folder cannot take fails, and
// only that one: the device goes back to the state its folder holds, so the next download that
// fits is saved (it is not held up by the image that was not), and a restart shows it.
TEST_F(DeviceEndToEnd, ADownloadTooLargeForTheStateDiskFailsAloneAndTheNextOneIsSaved) {
    Downloader d;
    ASSERT_TRUE(d.Loaded());
    // The library may still hold the connection of a service an earlier test ended: its first
    // call then answers a bus reset, and the next starts a service for this test's root.
    int32_t added = d.AddVirtualDevice();
    if (added == int32_t(0x80000001u)) added = d.AddVirtualDevice();
    ASSERT_EQ(added, 0);
    constexpr int node = 1;  // the default bus: the host, then the Lumarel 460
    int status = 0;
    const std::string set = RunCommand(bin_ + "/buscontrol send '" +
                                           json{{"cmd", "device"}, {"id", "lumarel460"},
                                                {"device_faults", {{"state_disk_free", 24000}}}}
                                               .dump() +
                                           "'",
                                       &status);
    ASSERT_EQ(status, 0) << set;

    // DownloadStart, the blocks, DownloadEnd: true when every request went through and the
    // device found the image whole.
    const auto download = [&](size_t size, uint8_t seed) {
        std::vector<uint8_t> image(size);
        for (size_t i = 0; i < size; ++i) image[i] = uint8_t(i * 7 + seed);
        const uint32_t crc = uint32_t(crc32(0L, image.data(), uInt(image.size())));
        const uint32_t address = 0x10000000;
        std::vector<uint8_t> start = {0, 0, 0, 0};
        for (const char* text : {"20260301", "101500\0\0"}) start.insert(start.end(), text, text + 8);
        for (uint32_t v : {3u, 0x01000000u, address, uint32_t(size), crc}) PutLe(start, v);
        if (!d.Command(node, 4, start).ok) return false;
        for (uint32_t done = 0, number = 0; done < size; done += 1024, ++number) {
            const uint32_t n = std::min<uint32_t>(1024, uint32_t(size) - done);
            std::vector<uint8_t> op;
            for (uint32_t v : {number, address + done, n}) PutLe(op, v);
            const auto block = d.Command(node, 5, op, std::vector<uint8_t>(image.begin() + done, image.begin() + done + n));
            if (!block.ok || block.Op(1) != 0) return false;
        }
        const auto end = d.Command(node, 6, {});
        return end.ok && end.Op(0) == crc && end.Op(1) == 0;
    };
    const auto application = [&] { return DeviceState()["slots"][0].value("length", size_t(0)); };

    EXPECT_FALSE(download(40 * 1024, 1));
    EXPECT_EQ(application(), 0u);  // the image that could not be saved is not kept either
    EXPECT_TRUE(download(6 * 1024, 2));
    EXPECT_EQ(application(), 6u * 1024);
    EXPECT_TRUE(download(5 * 1024, 3));  // and so on
    EXPECT_EQ(application(), 5u * 1024);

    RunCommand(bin_ + "/buscontrol stop");
    EXPECT_EQ(application(), 5u * 1024);  // a new service loads what was saved
    std::ifstream log(root_ / "bus" / "service.log");
    const std::string text((std::istreambuf_iterator<char>(log)), {});
    EXPECT_NE(text.find("the change is dropped and the node is back to its saved state"), std::string::npos) << text;
}

}  // namespace
