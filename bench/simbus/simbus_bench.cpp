// In-process transactions on the simulated bus: what one request costs the access library
// when it hosts the bus itself (the goal is well over a million 4-byte reads a second).
#include <benchmark/benchmark.h>

#include <nlohmann/json.hpp>

#include "bus/bus.h"
#include "bus/description.h"

namespace {

sim::Bus& TestBus() {
    static sim::Bus bus;
    static bool loaded = [] {
        sim::LoadDescription(bus, nlohmann::json::parse(R"({"nodes": [ {"id": "host", "kind": "host"},
                                                                       {"id": "dev", "kind": "foreign"} ]})"));
        sim::RangeResult r = bus.AllocateRange(0xFFFF, 0xC8029000, 2048);
        return r.status == 0;
    }();
    (void)loaded;
    return bus;
}

void BM_ConfigRomQuadletRead(benchmark::State& state) {
    sim::Bus& bus = TestBus();
    uint8_t buf[4];
    for (auto _ : state) {
        int32_t r = bus.Read(1, sim::kCsrHigh, sim::kConfigRomBase + 8, 4, buf, 0);
        if (r != sim::kResultSuccess) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf);
    }
    state.SetItemsProcessed(state.iterations());
}
BENCHMARK(BM_ConfigRomQuadletRead);
BENCHMARK(BM_ConfigRomQuadletRead)->Threads(4);

void BM_ConfigRomBlockRead(benchmark::State& state) {
    sim::Bus& bus = TestBus();
    uint8_t buf[64];
    for (auto _ : state) {
        int32_t r = bus.Read(1, sim::kCsrHigh, sim::kConfigRomBase, 64, buf, 0);
        if (r != sim::kResultSuccess) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(buf);
    }
    state.SetBytesProcessed(state.iterations() * 64);
}
BENCHMARK(BM_ConfigRomBlockRead);

void BM_HostRangeWrite2048(benchmark::State& state) {
    sim::Bus& bus = TestBus();
    uint8_t buf[2048] = {};
    for (auto _ : state) {
        int32_t r = bus.WriteFrom(1, 0, 0xFFFF, 0xC8029000, 2048, buf);
        if (r != sim::kResultSuccess) state.SkipWithError("write failed");
    }
    state.SetBytesProcessed(state.iterations() * 2048);
}
BENCHMARK(BM_HostRangeWrite2048);

void BM_TopologyMap(benchmark::State& state) {
    sim::Bus& bus = TestBus();
    for (auto _ : state) benchmark::DoNotOptimize(bus.TopologyMap());
}
BENCHMARK(BM_TopologyMap);

}  // namespace
