// Test scaffolding for the bus: a temporary platform root, the manual clock, a bus with an
// event recorder, and a small device-like node with a memory region.
#pragma once

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>
#include <vector>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus/description.h"
#include "clock/clock.h"

namespace simtest {

// Every test runs under its own temporary platform root.
class TempRoot : public ::testing::Test {
protected:
    TempRoot() {
        char tmpl[] = "/tmp/simbus-test-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
    }
    ~TempRoot() override {
        ::unsetenv("LUMAREL_ROOT");
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }
    std::filesystem::path root_;
};

class BusFixture : public TempRoot {
protected:
    BusFixture() {
        listener_ = bus.AddListener([this](const sim::BusEvent& e) { events.push_back(e); });
    }
    ~BusFixture() override { bus.RemoveListener(listener_); }

    // Loads a description given as JSON text.
    void Load(const std::string& text) { sim::LoadDescription(bus, nlohmann::json::parse(text)); }

    int Count(sim::EventKind kind) const {
        int n = 0;
        for (const auto& e : events) n += e.kind == kind;
        return n;
    }

    uint32_t ReadQuadlet(int node, uint32_t low, int32_t* code, uint16_t high = sim::kCsrHigh) {
        uint8_t b[4] = {};
        *code = bus.Read(node, high, low, 4, b, 0);
        return uint32_t(b[0]) << 24 | uint32_t(b[1]) << 16 | uint32_t(b[2]) << 8 | b[3];
    }

    clk::ManualClock clock;
    clk::ScopedClock scoped{clock};
    sim::Bus bus;
    std::vector<sim::BusEvent> events;
    int listener_ = 0;
};

// A node with 256 bytes of memory at 0xFFFF:C8020000 that answers after `delayMs`.
class MemoryNode : public sim::Node {
public:
    static constexpr uint32_t kBase = 0xC8020000u;
    MemoryNode() : sim::Node("memory") {
        SetConfigRom(sim::MinimalRom(0x123456));
        sim::Region r;
        r.offsetLow = kBase;
        r.length = uint32_t(mem.size());
        r.read = [this](const sim::Access& a, std::span<uint8_t> out) {
            std::copy_n(mem.begin() + (a.offsetLow - kBase), out.size(), out.begin());
            return sim::Reply::Ok(delayMs);
        };
        r.write = [this](const sim::Access& a, std::span<const uint8_t> in) {
            std::copy(in.begin(), in.end(), mem.begin() + (a.offsetLow - kBase));
            return sim::Reply::Ok(delayMs);
        };
        MapRegion(r);
    }
    void OnBusReset(uint32_t generation, int phyId) override {
        resets.push_back({generation, phyId});
    }
    std::array<uint8_t, 256> mem{};
    uint32_t delayMs = 0;
    std::vector<std::pair<uint32_t, int>> resets;
};

}  // namespace simtest
