// Many programs reading at once: 16 clients, each on its own connection to the bus service,
// read config ROM quadlets of a full bus (the local host, a Lumarel 460 and 61 foreign nodes).
// Beside it, in the same run, a bare Unix-socket echo between two processes with 16
// connections that move the same bytes per exchange (a read request frame out, its answer back),
// one thread per connection on the serving side as in the service. Both report reads per second
// over all clients and the 99th percentile of one exchange.
#include <benchmark/benchmark.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include <nlohmann/json.hpp>

#include "bus/codes.h"
#include "clock/clock.h"
#include "service/client.h"
#include "service/protocol.h"

namespace {

namespace fsys = std::filesystem;

constexpr int kClients = 16;
constexpr int kNodes = 63;
// A 4-byte read: request frame (header, node, offset high and low, count, time-out) and its
// answer (header, understood, result code, byte count, the quadlet).
constexpr size_t kRequestBytes = bussvc::kHeaderBytes + 4 + 2 + 4 + 4 + 4;
constexpr size_t kAnswerBytes = bussvc::kHeaderBytes + 1 + 4 + 4 + 4;

// ------------------------------------------------------------------------------ the echo

// The echo's serving process is started before main, while this process has one thread, so
// that it may start threads of its own. It ends with this process.
struct EchoPeer {
    std::array<int, kClients> fds{};
    EchoPeer() {
        std::array<int, kClients> other{};
        for (int i = 0; i < kClients; ++i) {
            int sv[2];
            if (::socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0) std::abort();
            fds[size_t(i)] = sv[0];
            other[size_t(i)] = sv[1];
        }
        const pid_t parent = ::getpid();
        if (::fork() != 0) {
            for (int fd : other) ::close(fd);
            return;
        }
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(0);
        // A session of its own, as the service has (its starter detaches it): the scheduler
        // then treats the two serving processes alike.
        ::setsid();
        for (int fd : fds) ::close(fd);
        std::vector<std::thread> threads;
        for (int fd : other)
            threads.emplace_back([fd] {
                std::array<uint8_t, kRequestBytes> in{};
                std::array<uint8_t, kAnswerBytes> out{};
                for (;;) {
                    for (size_t got = 0; got < in.size();) {
                        ssize_t k = ::read(fd, in.data() + got, in.size() - got);
                        if (k <= 0) ::_exit(0);
                        got += size_t(k);
                    }
                    if (::write(fd, out.data(), out.size()) != ssize_t(out.size())) ::_exit(0);
                }
            });
        for (auto& t : threads) t.join();
        ::_exit(0);
    }
};
EchoPeer echoPeer;

// Reads per second and the 99th percentile of one exchange in microseconds.
class Latencies {
public:
    Latencies() { ticks_.reserve(1 << 20); }
    void Add(int64_t t) {
        if (ticks_.size() < ticks_.capacity()) ticks_.push_back(t);
    }
    void Report(benchmark::State& state) {
        if (ticks_.empty()) return;
        const size_t at = ticks_.size() * 99 / 100;
        std::nth_element(ticks_.begin(), ticks_.begin() + long(at), ticks_.end());
        const double us = double(ticks_[at]) * 1e6 / double(clk::QueryPerformanceFrequency());
        state.counters["p99_us"] = benchmark::Counter(us, benchmark::Counter::kAvgThreads);
        state.counters["reads"] = benchmark::Counter(double(state.iterations()), benchmark::Counter::kIsRate);
    }

private:
    std::vector<int64_t> ticks_;
};

void SocketEcho16(benchmark::State& state) {
    const int fd = echoPeer.fds[size_t(state.thread_index())];
    std::array<uint8_t, kRequestBytes> out{};
    std::array<uint8_t, kAnswerBytes> in{};
    Latencies lat;
    for (auto _ : state) {
        const int64_t t0 = clk::QueryPerformanceCounter();
        if (::write(fd, out.data(), out.size()) != ssize_t(out.size())) {
            state.SkipWithError("the echo is gone");
            break;
        }
        for (size_t got = 0; got < in.size();) {
            ssize_t k = ::read(fd, in.data() + got, in.size() - got);
            if (k <= 0) {
                state.SkipWithError("the echo is gone");
                return;
            }
            got += size_t(k);
        }
        lat.Add(clk::QueryPerformanceCounter() - t0);
    }
    lat.Report(state);
}

// --------------------------------------------------------------------------- the service

// A platform root of the benchmark's own with a full bus; one client stays connected so that
// the service lives from the first run to the last, and is told to end at exit.
class Root {
public:
    Root() {
        dir_ = fsys::temp_directory_path() / ("vsk-load-bench-" + std::to_string(::getpid()));
        fsys::create_directories(dir_);
        nlohmann::json nodes = nlohmann::json::array();
        nodes.push_back({{"id", "host"}, {"kind", "host"}});
        nodes.push_back({{"id", "lumarel"}, {"kind", "lumarel460"}});
        for (int i = 2; i < kNodes; ++i) {
            char guid[17];
            std::snprintf(guid, sizeof guid, "0A3C7E10%08X", unsigned(i));
            nodes.push_back({{"id", "foreign" + std::to_string(i)}, {"kind", "foreign"}, {"guid", guid},
                             {"vendor", "NRX"}, {"model", "Other"}});
        }
        std::ofstream(dir_ / "bus.json") << nlohmann::json{{"nodes", nodes}}.dump();
        ::setenv("LUMAREL_ROOT", dir_.c_str(), 1);
        ::setenv("LUMAREL_BUS_DESCRIPTION", (dir_ / "bus.json").c_str(), 1);
        ::setenv("LUMAREL_BUS_SERVICE", LUMAREL_BUS_PROGRAM, 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "2000", 1);
        try {
            keep_ = bussvc::ConnectToService(nullptr);
        } catch (const std::exception&) {
        }
    }
    ~Root() {
        if (keep_) {
            std::string reply;
            keep_->Control(R"({"cmd":"shutdown"})", reply);
            keep_.reset();
        }
        std::error_code ec;
        fsys::remove_all(dir_, ec);
    }
    bool Up() const { return keep_ != nullptr; }

private:
    fsys::path dir_;
    std::unique_ptr<bussvc::Access> keep_;
};

Root& root() {
    static Root r;
    return r;
}

void ServiceRead16(benchmark::State& state) {
    static std::once_flag once;
    std::call_once(once, [] { root(); });
    if (!root().Up()) {
        state.SkipWithError("no bus service");
        return;
    }
    std::unique_ptr<bussvc::Access> client;
    try {
        client = bussvc::ConnectToService(nullptr);
    } catch (const std::exception& e) {
        state.SkipWithError(e.what());
        return;
    }
    // Each client reads the ROM of its own node, spread over the bus.
    const int node = 1 + state.thread_index() * (kNodes - 1) / kClients;
    uint8_t quadlet[4];
    if (client->Read(node, 0xFFFF, 0xF0000400u, 4, 0, quadlet) != sim::kResultSuccess) {
        state.SkipWithError("the bus does not answer");
        return;
    }
    Latencies lat;
    for (auto _ : state) {
        const int64_t t0 = clk::QueryPerformanceCounter();
        int32_t r = client->Read(node, 0xFFFF, 0xF0000400u, 4, 0, quadlet);
        benchmark::DoNotOptimize(r);
        lat.Add(clk::QueryPerformanceCounter() - t0);
    }
    lat.Report(state);
}

BENCHMARK(ServiceRead16)->Threads(kClients)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();
BENCHMARK(SocketEcho16)->Threads(kClients)->Repetitions(3)->ReportAggregatesOnly(true)->UseRealTime();

}  // namespace
