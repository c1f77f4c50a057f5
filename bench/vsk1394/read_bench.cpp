// Reads through the access library: to the bus service (4 and 2048 bytes) beside a bare Unix
// socket echo of the same size between two processes, and to a bus hosted in this process.
// Each runs several times and reports the median; the echo reports the median read through the
// library against itself as "read_vs_echo" (the reads run first).
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <vector>

#include "bus/bus.h"
#include "bus/description.h"
#include "tests/api_loader.h"

namespace {

namespace fsys = std::filesystem;
using vsktest::Api;

// The library the build put into the program folder, whatever folder the benchmark runs in:
// LUMAREL_BIN when set (as for the tests), the build's program folder otherwise.
Api& library() {
    static const bool located = ::setenv("LUMAREL_BIN", LUMAREL_BIN_DIR, 0) == 0;
    static Api api;
    (void)located;
    return api;
}

// A platform root of the benchmark's own, whose service ends with the program.
struct Root {
    fsys::path dir = fsys::temp_directory_path() / ("vsk-bench-" + std::to_string(::getpid()));
    Root() {
        library();  // made first, so it is still loaded when this root is cleaned up at exit
        fsys::create_directories(dir);
        ::setenv("LUMAREL_ROOT", dir.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "2000", 1);
    }
    ~Root() {
        char reply[256];
        library().Control(R"({"cmd":"shutdown"})", reply, sizeof reply);
        library().HostBus(nullptr);
        std::error_code ec;
        fsys::remove_all(dir, ec);
    }
};

Root& root() {
    static Root r;
    return r;
}

// Nanoseconds per read through the library, of each run, by size.
std::map<int64_t, std::vector<double>>& readTimes() {
    static std::map<int64_t, std::vector<double>> times;
    return times;
}

double NsPerIteration(std::chrono::steady_clock::time_point start, const benchmark::State& state) {
    return std::chrono::duration<double, std::nano>(std::chrono::steady_clock::now() - start).count() /
           double(state.iterations());
}

void ServiceRead(benchmark::State& state) {
    root();
    Api& api = library();
    std::vector<uint8_t> buf(size_t(state.range(0)));
    // The default bus: node 1 is the Lumarel 460, whose protocol region reads in any size.
    Address48 a = vsktest::At(0xFFFF, 0xC8020000u);
    if (api.AsyncReadWrapper(1, &a, int32_t(buf.size()), buf.data(), 0) != kResultSuccess) {
        state.SkipWithError("no bus service");
        return;
    }
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        int32_t r = api.AsyncReadWrapper(1, &a, int32_t(buf.size()), buf.data(), 0);
        benchmark::DoNotOptimize(r);
    }
    readTimes()[state.range(0)].push_back(NsPerIteration(start, state));
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

// The same exchange without the library or the service: one process writes n bytes, the other
// answers with them.
void SocketEcho(benchmark::State& state) {
    int sv[2];
    ::socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    const size_t n = size_t(state.range(0));
    pid_t child = ::fork();
    if (child == 0) {
        ::close(sv[0]);
        std::vector<uint8_t> b(n);
        for (;;) {
            size_t got = 0;
            while (got < n) {
                ssize_t k = ::read(sv[1], b.data() + got, n - got);
                if (k <= 0) ::_exit(0);
                got += size_t(k);
            }
            if (::write(sv[1], b.data(), n) != ssize_t(n)) ::_exit(0);
        }
    }
    ::close(sv[1]);
    std::vector<uint8_t> b(n, 0x5A);
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        if (::write(sv[0], b.data(), n) != ssize_t(n)) break;
        size_t got = 0;
        while (got < n) {
            ssize_t k = ::read(sv[0], b.data() + got, n - got);
            if (k <= 0) break;
            got += size_t(k);
        }
    }
    const double echoNs = NsPerIteration(start, state);
    std::vector<double> reads = readTimes()[state.range(0)];
    if (!reads.empty() && echoNs > 0) {
        std::sort(reads.begin(), reads.end());
        state.counters["read_vs_echo"] = reads[reads.size() / 2] / echoNs;
    }
    ::close(sv[0]);
    ::waitpid(child, nullptr, 0);
    state.SetBytesProcessed(int64_t(state.iterations()) * state.range(0));
}

// In-process: a foreign node's config ROM quadlet, on a bus hosted in this process.
void InProcessRead(benchmark::State& state) {
    sim::Bus bus;
    sim::LoadDescription(bus, nlohmann::json::parse(R"({"nodes":[{"id":"host","kind":"host"},{"id":"dev","kind":"foreign"}]})"));
    Api& api = library();
    api.HostBus(&bus);
    std::vector<uint8_t> buf(size_t(state.range(0)));
    Address48 a = vsktest::At(0xFFFF, 0xF0000400u);
    if (api.AsyncReadWrapper(1, &a, int32_t(buf.size()), buf.data(), 0) != kResultSuccess) {
        state.SkipWithError("the in-process bus does not answer");
        api.HostBus(nullptr);
        return;
    }
    for (auto _ : state) {
        int32_t r = api.AsyncReadWrapper(1, &a, int32_t(buf.size()), buf.data(), 0);
        benchmark::DoNotOptimize(r);
    }
    api.HostBus(nullptr);
    state.SetItemsProcessed(int64_t(state.iterations()));
}

BENCHMARK(ServiceRead)->Arg(4)->Arg(2048)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(SocketEcho)->Arg(4)->Arg(2048)->Repetitions(5)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(InProcessRead)->Arg(4)->Repetitions(5)->ReportAggregatesOnly(true);

}  // namespace
