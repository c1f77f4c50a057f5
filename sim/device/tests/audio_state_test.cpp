// The audio side's state worth saving: which requests count as a change (and so cost the bus
// service a save of the device's state) and which do not.
#include <gtest/gtest.h>

#include <array>
#include <vector>

#include "device/audio_unit.h"

namespace sim::lumarel::testing {
namespace {

using namespace audio;

std::vector<uint8_t> Words(std::initializer_list<uint32_t> words, size_t size) {
    std::vector<uint8_t> in(size, 0);
    size_t at = 0;
    for (uint32_t w : words) {
        for (int i = 0; i < 4; ++i) in[at + size_t(i)] = uint8_t(w >> (8 * i));
        at += 4;
    }
    return in;
}

// A channel record as the host writes it back: the id, then the name at its place.
std::vector<uint8_t> Named(uint32_t id, const std::string& name) {
    std::vector<uint8_t> in = Words({id}, kChannelRecordSize);
    std::copy(name.begin(), name.end(), in.begin() + kChannelNameAt);
    return in;
}

TEST(AudioState, OnlyARealChangeOfClockOrLatencyCountsAsOne) {
    struct Case {
        const char* what;
        uint32_t code;
        std::vector<uint8_t> in;
        bool changes;
    } cases[] = {
        {"the clock it runs", kWriteClock, Words({0, 48000}, 8), false},
        {"another rate", kWriteClock, Words({0, 96000}, 8), true},
        {"the same rate again", kWriteClock, Words({0, 96000}, 8), false},
        {"the external clock", kWriteClock, Words({1, 0}, 8), true},
        {"the external clock again", kWriteClock, Words({1, 0}, 8), false},
        {"the ASIO latency it has", kWriteAsio, Words({1000}, 16), false},
        {"another ASIO latency", kWriteAsio, Words({2000}, 16), true},
        {"another word of the WDM record", kWriteWdm, Words({1000, 7}, 16), true},
        {"a channel named", kChannelWrite, Named(0x200, "Out 1"), false},
        {"a channel renamed", kChannelWrite, Named(0x200, "Out one"), false},
        {"a refused rate", kWriteClock, Words({0, 12345}, 8), false},
        {"a refused latency", kWriteWdm, Words({0}, 16), false},
        {"a read", kReadClock, {}, false},
    };
    AudioUnit unit;
    std::vector<uint8_t> out;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const uint64_t before = unit.Serial();
        unit.Request(c.code, c.in, 2056, out);
        EXPECT_EQ(unit.Serial() != before, c.changes);
    }
    EXPECT_EQ(unit.clockSource(), 1u);
    EXPECT_EQ(unit.rate(), 96000u);  // the external clock keeps the rate
}

TEST(AudioState, RefusedLatenciesAndSavingOnEveryWriteAreSwitches) {
    AudioUnit unit;
    std::vector<uint8_t> out;
    unit.Apply({{"audio_faults", {{"refuse_latency", 4000}, {"save_every_write", true}}}});
    EXPECT_EQ(unit.Request(kWriteAsio, Words({4000}, 16), 0, out), kErrGenFailure);
    EXPECT_EQ(unit.Request(kWriteWdm, Words({4000}, 16), 0, out), kErrGenFailure);
    EXPECT_EQ(unit.Request(kReadAsio, {}, 16, out), 0u);
    EXPECT_EQ(out[0] | out[1] << 8, 1000);  // as before

    // Every write that is taken counts, changed or not.
    for (uint32_t code : {kWriteClock, kWriteAsio, kChannelWrite}) {
        const uint64_t before = unit.Serial();
        const std::vector<uint8_t> in = code == kWriteClock   ? Words({0, 48000}, 8)
                                        : code == kWriteAsio ? Words({1000}, 16)
                                                             : Named(0x200, "Out 1");
        EXPECT_EQ(unit.Request(code, in, 0, out), 0u) << std::hex << code;
        EXPECT_NE(unit.Serial(), before) << std::hex << code;
    }
    EXPECT_THROW(unit.Apply({{"audio_faults", {{"save_every_write", 1}}}}), std::invalid_argument);
}

}  // namespace
}  // namespace sim::lumarel::testing
