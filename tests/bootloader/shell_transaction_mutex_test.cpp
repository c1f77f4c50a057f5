// Two downloaders on one machine share the bus service and serialise their bootloader
// transactions through the named "ShellTransactionMutex": while one holds it the other waits,
// and neither's requests are mixed into the other's.
#include <gtest/gtest.h>

#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>
#include <vector>

#include "clock/clock.h"
#include "kernel/mutex.h"

extern char** environ;

namespace {

class Peers : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bootloader-peers-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "3000", 1);
        const char* bin = std::getenv("LUMAREL_BIN");
        bin_ = bin ? bin : "";
    }
    void TearDown() override {
        for (pid_t pid : pids_) {
            ::kill(pid, SIGKILL);
            ::waitpid(pid, nullptr, 0);
        }
        Run({bin_ + "/buscontrol", "stop"});
        // The service ends on its own once stopped; give it a moment before its folder goes.
        const auto socket = std::filesystem::path(root_) / "bus" / "bus.sock";
        for (int i = 0; i < 100 && std::filesystem::exists(socket); ++i) {
            clk::Sleep(20);
        }
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    pid_t Start(std::vector<std::string> args) {
        std::vector<char*> argv;
        for (auto& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        pid_t pid = 0;
        EXPECT_EQ(::posix_spawn(&pid, argv[0], nullptr, nullptr, argv.data(), environ), 0) << args[0];
        pids_.push_back(pid);
        return pid;
    }
    int Wait(pid_t pid) {
        int status = 0;
        ::waitpid(pid, &status, 0);
        pids_.erase(std::remove(pids_.begin(), pids_.end(), pid), pids_.end());
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    int Run(std::vector<std::string> args) { return Wait(Start(std::move(args))); }
    // True when the process is still running after `ms` of real time.
    bool StillRunning(pid_t pid, int ms) {
        clk::Sleep(uint32_t(ms));
        int status = 0;
        return ::waitpid(pid, &status, WNOHANG) == 0;
    }

    std::string root_, bin_;
    std::vector<pid_t> pids_;
};

TEST_F(Peers, OneWaitsWhileTheOtherHoldsTheTransactionMutex) {
    int toPeer[2], fromPeer[2];
    ASSERT_EQ(::pipe(toPeer), 0);
    ASSERT_EQ(::pipe(fromPeer), 0);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, toPeer[0], 0);
    posix_spawn_file_actions_adddup2(&actions, fromPeer[1], 1);
    std::vector<std::string> args = {BOOTLOADER_PEER, "waiting", "2", "handshake"};
    std::vector<char*> argv;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    pid_t peer = 0;
    ASSERT_EQ(::posix_spawn(&peer, argv[0], &actions, nullptr, argv.data(), environ), 0);
    posix_spawn_file_actions_destroy(&actions);
    pids_.push_back(peer);
    ::close(toPeer[0]);
    ::close(fromPeer[1]);
    FILE* out = ::fdopen(fromPeer[0], "r");
    char line[64] = {};
    ASSERT_TRUE(std::fgets(line, sizeof line, out));
    ASSERT_STREQ(line, "ready\n") << "the peer found its target";

    // This process holds the mutex: the peer's first exchange waits until it is released.
    kernel::Handle mutex = kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex");
    ASSERT_NE(mutex, 0) << "the peer has the machine-wide mutex open";
    ASSERT_EQ(kernel::WaitForSingleObject(mutex, 0), kernel::WAIT_OBJECT_0);
    ASSERT_EQ(::write(toPeer[1], "go\n", 3), 3);
    EXPECT_TRUE(StillRunning(peer, 600));
    ASSERT_TRUE(kernel::ReleaseMutex(mutex));
    ASSERT_TRUE(std::fgets(line, sizeof line, out));
    int firstMs = 0;
    ASSERT_EQ(std::sscanf(line, "first %d", &firstMs), 1) << line;
    EXPECT_GE(firstMs, 550) << "the first key write waited for the mutex";
    EXPECT_LT(firstMs, 2000) << "and went through once it was free";
    EXPECT_EQ(Wait(peer), 0);
    std::fclose(out);
    ::close(toPeer[1]);
    kernel::CloseHandle(mutex);
}

TEST_F(Peers, ConcurrentRoundTripsStayApart) {
    pid_t a = Start({BOOTLOADER_PEER, "alpha", "25"});
    pid_t b = Start({BOOTLOADER_PEER, "bravo_key", "25"});
    EXPECT_EQ(Wait(a), 0);
    EXPECT_EQ(Wait(b), 0);
}

}  // namespace
