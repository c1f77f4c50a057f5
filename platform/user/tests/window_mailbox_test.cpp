#include "user/window_mailbox.h"

#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <condition_variable>
#include <mutex>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

namespace {

using namespace user;

struct Received {
    uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
    bool operator==(const Received&) const = default;
};

class Mailbox : public testing_support::TempRootTest {
protected:
    Mailbox() : TempRootTest("window_mailbox_test") {}
    void SetUp() override {
        TempRootTest::SetUp();
        hwnd_ = CreateWindow("MailboxTestClass", "target", [this](HWND, uint32_t msg, WPARAM w, LPARAM l) -> LRESULT {
            received_.push_back({msg, w, l});
            return 0;
        });
        PublishTopWindow(hwnd_, "MailboxTestClass", "target", false);
        SetWakeHandler(std::this_thread::get_id(), [this] {
            std::lock_guard<std::mutex> lock(m_);
            ++wakes_;
            cv_.notify_all();
        });
    }
    void TearDown() override {
        SetWakeHandler(std::this_thread::get_id(), {});
        WithdrawTopWindow(hwnd_);
        DestroyWindow(hwnd_);
        TempRootTest::TearDown();
    }
    // Waits (bounded, in real time: another thread and process deliver) for `n` posted
    // messages, then delivers what is queued.
    void WaitForPosts(int n) {
        std::unique_lock<std::mutex> lock(m_);
        cv_.wait_for(lock, std::chrono::seconds(10), [&] { return wakes_ >= n; });
        lock.unlock();
        PumpMessages();
    }
    TopWindow Target() {
        auto w = FindTopWindow("MailboxTestClass", std::nullopt);
        EXPECT_TRUE(w.has_value());
        return w.value_or(TopWindow{});
    }
    // Sends raw bytes to the window's mailbox socket.
    void SendRaw(const std::vector<uint8_t>& bytes) {
        sockaddr_un addr{};
        addr.sun_family = AF_UNIX;
        std::string path = WindowRegistryFolder() + "/" + std::to_string(::getpid()) + "-" + std::to_string(hwnd_) + ".mbox";
        std::snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
        int s = ::socket(AF_UNIX, SOCK_DGRAM, 0);
        ASSERT_EQ(::sendto(s, bytes.data(), bytes.size(), 0, reinterpret_cast<sockaddr*>(&addr), sizeof addr), ssize_t(bytes.size()));
        ::close(s);
    }

    HWND hwnd_ = 0;
    std::vector<Received> received_;
    std::mutex m_;
    std::condition_variable cv_;
    int wakes_ = 0;
};

TEST_F(Mailbox, AnotherProcessPostsToTheWindowThroughItsFilter) {
    WindowMailbox mailbox(hwnd_, [](uint32_t msg) { return msg == WM_USER + 5; });
    ASSERT_TRUE(mailbox.IsOpen());
    TopWindow target = Target();
    pid_t child = ::fork();
    if (child == 0) {
        bool ok = PostToTopWindow(target, WM_USER + 6, 1, 2);  // refused by the filter
        ok = PostToTopWindow(target, WM_USER + 5, 0, 0x203) && ok;
        ok = PostToTopWindow(target, WM_USER + 5, ~WPARAM(0), -1) && ok;
        ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_EQ(WEXITSTATUS(status), 0);
    WaitForPosts(2);
    EXPECT_EQ(received_, (std::vector<Received>{{WM_USER + 5, 0, 0x203}, {WM_USER + 5, ~WPARAM(0), -1}}));
}

TEST_F(Mailbox, DatagramsOfAnotherSizeAreDropped) {
    WindowMailbox mailbox(hwnd_, [](uint32_t) { return true; });
    auto good = EncodeMailboxMessage({WM_USER + 5, 7, 8});
    std::vector<uint8_t> longer(good.begin(), good.end());
    longer.push_back(0);
    SendRaw(longer);
    SendRaw(std::vector<uint8_t>(good.begin(), good.end() - 1));
    SendRaw(std::vector<uint8_t>(4096, 0x11));
    SendRaw({});
    SendRaw(std::vector<uint8_t>(good.begin(), good.end()));
    WaitForPosts(1);
    EXPECT_EQ(received_, (std::vector<Received>{{WM_USER + 5, 7, 8}}));
}

TEST_F(Mailbox, AClosedMailboxTakesNothingAndLeavesNoSocket) {
    TopWindow target = Target();
    EXPECT_FALSE(PostToTopWindow(target, WM_USER + 5, 0, 0));  // none opened yet
    {
        WindowMailbox mailbox(hwnd_, [](uint32_t) { return true; });
        EXPECT_TRUE(PostToTopWindow(target, WM_USER + 5, 0, 0));
        WaitForPosts(1);
    }
    EXPECT_FALSE(PostToTopWindow(target, WM_USER + 5, 0, 0));
    EXPECT_EQ(received_.size(), 1u);
    for (const auto& e : std::filesystem::directory_iterator(WindowRegistryFolder()))
        EXPECT_NE(e.path().extension(), ".mbox") << e.path();
}

}  // namespace
