// Cost of the simulated Lumarel 460 per download block, and the rate of a whole 1 MB image
// download, in process on the manual clock (no time passes; only the bus and the device model
// are measured).
//
// One block is what a downloader does for it: write the 1024 payload bytes, write the request
// header (command 5, three operands), read the 40-byte response header.
#include <benchmark/benchmark.h>

#include <cstring>
#include <memory>
#include <vector>

#include "bus/bus.h"
#include "bus/config_rom.h"
#include "clock/clock.h"
#include "device/crc32.h"
#include "device/lumarel_node.h"

namespace {

using namespace sim::lumarel;

constexpr uint32_t kBlock = 1024;
constexpr uint32_t kAddress = 0x20000000;

class Rig {
public:
    Rig() : scope_(clock_) {
        bus_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus_.SetLocalHost("host");
        bus_.AddNode("dev", std::make_unique<Lumarel460Node>());
        phy_ = bus_.PhyOf("dev");
    }

    // Sends one request and returns the first answer operand (0xFFFFFFFF when unanswered or
    // answered without operands, as a refused DownloadStart is).
    uint32_t Request(uint8_t command, const std::vector<uint32_t>& operands) {
        uint8_t req[8 + 4 * 14] = {1, 0, 0, 0};
        ++sequence_;
        req[4] = uint8_t(sequence_);
        req[5] = uint8_t(sequence_ >> 8);
        req[6] = command;
        req[7] = uint8_t(operands.size());
        std::memcpy(req + 8, operands.data(), operands.size() * 4);
        bus_.Write(phy_, kRegionHigh, kRegionBase + kRequestArea, uint32_t(8 + operands.size() * 4), req, 0);
        uint8_t answer[40];
        if (bus_.Read(phy_, kRegionHigh, kRegionBase + kResponseArea, 40, answer, 0) != sim::kResultSuccess ||
            answer[6] != command || (answer[4] | answer[5] << 8) != (sequence_ & 0xFFFF) || answer[7] < 1)
            return 0xFFFFFFFFu;
        uint32_t first;
        std::memcpy(&first, answer + 8, 4);
        return first;
    }

    // Opens a session; false unless the device took it and offers the block size sent here.
    bool Start(uint32_t length, uint32_t crc) {
        std::vector<uint32_t> op(10, 0);
        std::memcpy(&op[1], "20260105120000\0\0", 16);
        op[7] = kAddress;
        op[8] = length;
        op[9] = crc;
        return Request(4, op) == kBlock;
    }

    // One block; returns false when the device did not take it.
    bool Block(uint32_t number, const uint8_t* data, uint32_t length) {
        bus_.Write(phy_, kRegionHigh, kRegionBase + kRequestArea + kPayloadOffset, (length + 3) & ~3u, data, 0);
        return Request(5, {number, kAddress + number * kBlock, length}) == number;
    }

    uint32_t End() { return Request(6, {}); }

private:
    clk::ManualClock clock_;
    clk::ScopedClock scope_;
    sim::Bus bus_;
    int phy_ = -1;
    uint16_t sequence_ = 0;
};

std::vector<uint8_t> Image(size_t n) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 31 + 7);
    return v;
}

// Time per block inside an open session.
void BM_DownloadBlock(benchmark::State& state) {
    Rig rig;
    const std::vector<uint8_t> data = Image(kBlock);
    const uint32_t blocks = SlotCapacity(kApplicationImage) / kBlock;
    uint32_t number = blocks;
    for (auto _ : state) {
        if (number == blocks) {
            state.PauseTiming();
            if (!rig.Start(blocks * kBlock, 0)) {
                state.SkipWithError("download start refused");
                break;
            }
            number = 0;
            state.ResumeTiming();
        }
        if (!rig.Block(number, data.data(), kBlock)) state.SkipWithError("block refused");
        ++number;
    }
    state.SetItemsProcessed(state.iterations());
    state.SetBytesProcessed(int64_t(state.iterations()) * kBlock);
}
BENCHMARK(BM_DownloadBlock);

// A whole 1 MB application download: start, 1024 blocks, end with the CRC check.
void BM_Download1MB(benchmark::State& state) {
    Rig rig;
    const std::vector<uint8_t> image = Image(1u << 20);
    const uint32_t crc = Crc32(image);
    for (auto _ : state) {
        if (!rig.Start(uint32_t(image.size()), crc)) {
            state.SkipWithError("download start refused");
            break;
        }
        for (uint32_t n = 0; n * kBlock < image.size(); ++n)
            if (!rig.Block(n, image.data() + n * kBlock, kBlock)) state.SkipWithError("block refused");
        if (rig.End() != crc) state.SkipWithError("CRC differs");
    }
    state.SetBytesProcessed(int64_t(state.iterations()) * int64_t(image.size()));
    state.counters["us_per_block"] = benchmark::Counter(double(state.iterations()) * 1024,
                                                        benchmark::Counter::kIsRate | benchmark::Counter::kInvert,
                                                        benchmark::Counter::kIs1000);
}
BENCHMARK(BM_Download1MB)->Unit(benchmark::kMillisecond);

}  // namespace
