// Test fixture: an in-process bus on the manual clock with the local host and one Lumarel 460,
// and a host side that talks to the device the way a downloader does (write the payload, write
// the request header, read 40 bytes of the response header).
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "device/protocol.h"

namespace sim::lumarel::testing {

// A fresh LUMAREL_ROOT for the test, removed afterwards.
class TempRoot {
public:
    TempRoot() {
        std::string pattern = (std::filesystem::temp_directory_path() / "simdevice-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        setenv("LUMAREL_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        std::error_code ec;
        std::filesystem::remove_all(path_, ec);
    }
    const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

inline void PutLe(std::vector<uint8_t>& v, uint32_t x) {
    for (int i = 0; i < 4; ++i) v.push_back(uint8_t(x >> (8 * i)));
}
inline std::vector<uint8_t> Le32s(std::initializer_list<uint32_t> values) {
    std::vector<uint8_t> v;
    for (uint32_t x : values) PutLe(v, x);
    return v;
}
inline uint32_t GetLe(const uint8_t* p) { return uint32_t(p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24); }

struct Response {
    bool answered = false;   // a header matching the request's version, sequence and command
    uint8_t count = 0;
    std::vector<uint8_t> operands;  // count x 4 bytes (at most 32 visible in a 40-byte read)
    uint32_t Op(size_t i) const { return i * 4 + 4 <= operands.size() ? GetLe(&operands[i * 4]) : 0xDEADBEEF; }
};

class DeviceBus {
public:
    explicit DeviceBus(DeviceConfig config = {}) : scope_(clock) {
        bus.AddNode("host", std::make_unique<PlainNode>("host", MinimalRom(0x123456)));
        bus.SetLocalHost("host");
        auto node = std::make_unique<Lumarel460Node>(std::move(config));
        bus.AddNode("dev", std::move(node));
    }

    int Phy() const { return bus.PhyOf("dev"); }

    int32_t Write(uint32_t low, std::vector<uint8_t> data) {
        while (data.size() % 4) data.push_back(0);
        return bus.Write(Phy(), kRegionHigh, low, uint32_t(data.size()), data.data(), 0);
    }
    int32_t Read(uint32_t low, uint32_t n, std::vector<uint8_t>& out) {
        out.assign(n, 0);
        return bus.Read(Phy(), kRegionHigh, low, n, out.data(), 0);
    }
    std::vector<uint8_t> ReadOk(uint32_t low, uint32_t n) {
        std::vector<uint8_t> out;
        EXPECT_EQ(Read(low, n, out), kResultSuccess);
        return out;
    }

    // Writes a request header with the next sequence number; count defaults to the operand
    // quadlets (operands are sent whole, padded to quadlets).
    int32_t Send(uint8_t command, std::vector<uint8_t> operands = {}, int count = -1) {
        std::vector<uint8_t> req;
        PutLe(req, version);
        sequence = sequence >= 32766 ? 1 : uint16_t(sequence + 1);  // as hosts number requests
        req.push_back(uint8_t(sequence));
        req.push_back(uint8_t(sequence >> 8));
        req.push_back(command);
        req.push_back(uint8_t(count >= 0 ? count : int((operands.size() + 3) / 4)));
        req.insert(req.end(), operands.begin(), operands.end());
        lastCommand = command;
        return Write(kRegionBase + kRequestArea, std::move(req));
    }

    // One 40-byte read of the response header, matched against the last request.
    Response Poll() {
        Response r;
        std::vector<uint8_t> h;
        if (Read(kRegionBase + kResponseArea, 40, h) != kResultSuccess) return r;
        r.answered = GetLe(h.data()) == version && (h[4] | h[5] << 8) == (sequence & 0xFFFF) &&
                     h[6] == lastCommand;
        r.count = h[7];
        if (r.count <= kMaxOperandQuadlets)
            r.operands.assign(h.begin() + 8, h.begin() + 8 + std::min<size_t>(32, r.count * 4u));
        return r;
    }

    Response Command(uint8_t command, std::vector<uint8_t> operands = {}, std::vector<uint8_t> payload = {},
                     int count = -1) {
        if (!payload.empty()) {
            EXPECT_EQ(Write(kRegionBase + kRequestArea + kPayloadOffset, payload), kResultSuccess);
        }
        EXPECT_EQ(Send(command, std::move(operands), count), kResultSuccess);
        return Poll();
    }

    // Runs f on the device model under the bus lock.
    template <class F>
    void Dev(F&& f) {
        ASSERT_TRUE(bus.WithNode("dev", [&](Node& n) { f(static_cast<Lumarel460Node&>(n).device()); }));
    }
    std::vector<uint32_t> Rom() {
        std::vector<uint32_t> rom;
        bus.WithNode("dev", [&](Node& n) { rom = n.ConfigRom(); });
        return rom;
    }

    clk::ManualClock clock;
    Bus bus;
    uint32_t version = 1;
    uint16_t sequence = 0;
    uint8_t lastCommand = 0;

private:
    clk::ScopedClock scope_;
};

inline std::vector<uint8_t> Bytes(const std::string& s) { return std::vector<uint8_t>(s.begin(), s.end()); }

}  // namespace sim::lumarel::testing
