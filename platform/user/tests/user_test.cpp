#include "user/user.h"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>
#include <vector>

namespace {

using namespace user;

TEST(WindowMessages, PostedFromAnotherThreadArriveInOrderOnTheOwner) {
    std::vector<uint32_t> seen;
    std::thread::id deliveredOn;
    HWND h = CreateWindow("Edit", "", [&](HWND, uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        seen.push_back(msg);
        deliveredOn = std::this_thread::get_id();
        return 0;
    });
    std::thread poster([&] {
        for (uint32_t i = 0; i < 100; ++i) PostMessage(h, WM_USER + i, 0, 0);
    });
    poster.join();
    EXPECT_EQ(PendingMessages(), 100u);
    EXPECT_EQ(PumpMessages(), 100u);
    ASSERT_EQ(seen.size(), 100u);
    for (uint32_t i = 0; i < 100; ++i) EXPECT_EQ(seen[i], WM_USER + i);
    EXPECT_EQ(deliveredOn, std::this_thread::get_id());
    DestroyWindow(h);
}

TEST(WindowMessages, SubclassSeesMessagesFirstAndHandsThemOn) {
    std::vector<std::string> log;
    HWND h = CreateWindow("Edit", "start");
    WndProc previous = SetWindowProc(h, [&](HWND w, uint32_t msg, WPARAM wp, LPARAM lp) -> LRESULT {
        log.push_back("hook " + std::to_string(msg));
        return CallWindowProc(previous, w, msg, wp, lp);
    });
    PostMessageText(h, WM_SETTEXT, 0, "library line");
    PostMessage(h, 0x52E, 0, 0);
    PumpMessages();
    EXPECT_EQ(GetWindowText(h), "library line");
    EXPECT_EQ(log, (std::vector<std::string>{"hook 12", "hook 1326"}));
    SetWindowProc(h, previous);
    DestroyWindow(h);
}

TEST(WindowMessages, SendFromAnotherThreadWaitsForTheOwnerAndDestroyReleasesIt) {
    HWND h = CreateWindow("Edit", "", [](HWND, uint32_t msg, WPARAM, LPARAM) -> LRESULT { return msg + 1; });
    LRESULT result = -1;
    std::thread sender([&] { result = SendMessage(h, WM_USER, 0, 0); });
    while (PendingMessages() == 0) std::this_thread::yield();
    PumpMessages();
    sender.join();
    EXPECT_EQ(result, LRESULT(WM_USER + 1));
    EXPECT_EQ(SendMessage(h, 5, 0, 0), 6);  // same thread: at once

    std::thread late([&] { result = SendMessage(h, WM_USER, 0, 0); });
    while (PendingMessages() == 0) std::this_thread::yield();
    DestroyWindow(h);
    late.join();
    EXPECT_EQ(result, 0);
    EXPECT_FALSE(PostMessage(h, WM_USER, 0, 0));
}

TEST(WindowMessages, AThrowingProcedureLosesNoMessageAndStrandsNoSender) {
    std::vector<uint32_t> seen;
    HWND h = CreateWindow("Edit", "", [&](HWND, uint32_t msg, WPARAM, LPARAM) -> LRESULT {
        seen.push_back(msg);
        if (msg == WM_USER + 1) throw std::runtime_error("handler failed");
        return 7;
    });
    LRESULT result = -1;
    std::thread sender([&] { result = SendMessage(h, WM_USER + 1, 0, 0); });
    while (PendingMessages() == 0) std::this_thread::yield();
    PostMessage(h, WM_USER + 2, 0, 0);
    EXPECT_THROW(PumpMessages(), std::runtime_error);
    sender.join();  // released although its procedure threw
    EXPECT_EQ(result, 0);
    EXPECT_EQ(seen, (std::vector<uint32_t>{WM_USER + 1, WM_USER + 2}));
    EXPECT_EQ(PendingMessages(), 0u);
    DestroyWindow(h);
}

TEST(WindowMessages, FindWindowByClassAndExactText) {
    HWND a = CreateWindow("ThunderRT6Main", "Downloader");
    HWND b = CreateWindow("Other", "Downloader");
    EXPECT_EQ(FindWindow("ThunderRT6Main", std::nullopt), a);
    EXPECT_EQ(FindWindow("Other", std::string("Downloader")), b);
    EXPECT_EQ(FindWindow("Other", std::string("downloader")), 0);
    DestroyWindow(a);
    DestroyWindow(b);
    EXPECT_EQ(FindWindow("ThunderRT6Main", std::nullopt), 0);
}

}  // namespace
