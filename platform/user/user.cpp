#include "user/user.h"

#include <condition_variable>
#include <cstring>
#include <deque>
#include <exception>
#include <map>
#include <memory>
#include <mutex>

namespace user {

namespace {

struct Pending {
    HWND hwnd;
    uint32_t msg;
    WPARAM wParam;
    LPARAM lParam;
    std::optional<std::string> text;
    // Set for SendMessage from another thread.
    std::shared_ptr<struct SendSlot> slot;
};

struct SendSlot {
    bool done = false;
    LRESULT result = 0;
};

struct Window {
    std::string className;
    std::string text;
    WndProc proc;
    std::thread::id owner;
};

struct State {
    std::mutex m;
    std::condition_variable sent;
    std::map<HWND, Window> windows;
    std::map<std::thread::id, std::deque<Pending>> queues;
    std::map<std::thread::id, std::function<void()>> wake;
    HWND next = 0x1000;
};

State& state() {
    static State s;
    return s;
}

void finishSlot(const std::shared_ptr<SendSlot>& slot, LRESULT r) {
    if (!slot) return;
    State& s = state();
    {
        std::lock_guard<std::mutex> lock(s.m);
        slot->done = true;
        slot->result = r;
    }
    s.sent.notify_all();
}

bool enqueue(Pending p) {
    State& s = state();
    std::function<void()> wake;
    {
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.windows.find(p.hwnd);
        if (it == s.windows.end()) return false;
        auto owner = it->second.owner;
        s.queues[owner].push_back(std::move(p));
        auto w = s.wake.find(owner);
        if (w != s.wake.end()) wake = w->second;
    }
    if (wake) wake();
    return true;
}

LRESULT deliver(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    WndProc proc;
    {
        State& s = state();
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.windows.find(hwnd);
        if (it == s.windows.end()) return 0;
        proc = it->second.proc;
    }
    return CallWindowProc(proc, hwnd, msg, wParam, lParam);
}

}  // namespace

HWND CreateWindow(const std::string& className, const std::string& text, WndProc proc) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    HWND h = s.next++;
    s.windows[h] = Window{className, text, std::move(proc), std::this_thread::get_id()};
    return h;
}

bool DestroyWindow(HWND hwnd) {
    if (!IsWindow(hwnd)) return false;
    deliver(hwnd, WM_DESTROY, 0, 0);
    State& s = state();
    std::vector<std::shared_ptr<SendSlot>> abandoned;
    {
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.windows.find(hwnd);
        if (it == s.windows.end()) return false;
        auto& q = s.queues[it->second.owner];
        for (auto p = q.begin(); p != q.end();) {
            if (p->hwnd == hwnd) {
                if (p->slot) abandoned.push_back(p->slot);
                p = q.erase(p);
            } else {
                ++p;
            }
        }
        s.windows.erase(it);
    }
    for (auto& slot : abandoned) finishSlot(slot, 0);
    return true;
}

bool IsWindow(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    return s.windows.count(hwnd) != 0;
}

std::thread::id WindowThread(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    return it == s.windows.end() ? std::thread::id() : it->second.owner;
}

std::string GetClassName(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    return it == s.windows.end() ? std::string() : it->second.className;
}

std::string GetWindowText(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    return it == s.windows.end() ? std::string() : it->second.text;
}

void SetWindowTextDirect(HWND hwnd, const std::string& text) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    if (it != s.windows.end()) it->second.text = text;
}

bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    return enqueue(Pending{hwnd, msg, wParam, lParam, std::nullopt, nullptr});
}

bool PostMessageText(HWND hwnd, uint32_t msg, WPARAM wParam, const std::string& text) {
    return enqueue(Pending{hwnd, msg, wParam, 0, text, nullptr});
}

static LRESULT sendImpl(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam, std::optional<std::string> text) {
    auto owner = WindowThread(hwnd);
    if (owner == std::thread::id()) return 0;
    if (owner == std::this_thread::get_id()) {
        return deliver(hwnd, msg, wParam, text ? reinterpret_cast<LPARAM>(text->c_str()) : lParam);
    }
    auto slot = std::make_shared<SendSlot>();
    if (!enqueue(Pending{hwnd, msg, wParam, lParam, std::move(text), slot})) return 0;
    State& s = state();
    std::unique_lock<std::mutex> lock(s.m);
    s.sent.wait(lock, [&] { return slot->done; });
    return slot->result;
}

LRESULT SendMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    return sendImpl(hwnd, msg, wParam, lParam, std::nullopt);
}

LRESULT SendMessageText(HWND hwnd, uint32_t msg, WPARAM wParam, const std::string& text) {
    return sendImpl(hwnd, msg, wParam, 0, text);
}

WndProc SetWindowProc(HWND hwnd, WndProc proc) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    if (it == s.windows.end()) return {};
    std::swap(it->second.proc, proc);
    return proc;
}

WndProc GetWindowProc(HWND hwnd) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.windows.find(hwnd);
    return it == s.windows.end() ? WndProc() : it->second.proc;
}

LRESULT CallWindowProc(const WndProc& proc, HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    if (proc) return proc(hwnd, msg, wParam, lParam);
    return DefWindowProc(hwnd, msg, wParam, lParam);
}

LRESULT DefWindowProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    switch (msg) {
    case WM_SETTEXT:
        SetWindowTextDirect(hwnd, lParam ? reinterpret_cast<const char*>(lParam) : "");
        return 1;
    case WM_GETTEXTLENGTH:
        return LRESULT(GetWindowText(hwnd).size());
    case WM_GETTEXT: {
        if (wParam == 0 || lParam == 0) return 0;
        std::string t = GetWindowText(hwnd);
        size_t n = std::min<size_t>(t.size(), wParam - 1);
        std::memcpy(reinterpret_cast<char*>(lParam), t.data(), n);
        reinterpret_cast<char*>(lParam)[n] = '\0';
        return LRESULT(n);
    }
    default:
        return 0;
    }
}

size_t PumpMessages() {
    State& s = state();
    std::deque<Pending> batch;
    {
        std::lock_guard<std::mutex> lock(s.m);
        auto it = s.queues.find(std::this_thread::get_id());
        if (it == s.queues.end()) return 0;
        batch.swap(it->second);
    }
    size_t n = 0;
    // A procedure that throws must neither strand a sender waiting on another thread nor lose
    // the messages behind its own: the rest of the batch is delivered, then the first failure
    // goes to the caller.
    std::exception_ptr failure;
    for (auto& p : batch) {
        LPARAM l = p.text ? reinterpret_cast<LPARAM>(p.text->c_str()) : p.lParam;
        LRESULT r = 0;
        if (IsWindow(p.hwnd)) {
            try {
                r = deliver(p.hwnd, p.msg, p.wParam, l);
            } catch (...) {
                if (!failure) failure = std::current_exception();
            }
            ++n;
        }
        finishSlot(p.slot, r);
    }
    if (failure) std::rethrow_exception(failure);
    return n;
}

size_t PendingMessages() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    auto it = s.queues.find(std::this_thread::get_id());
    return it == s.queues.end() ? 0 : it->second.size();
}

void SetWakeHandler(std::thread::id owner, std::function<void()> wake) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    if (wake) s.wake[owner] = std::move(wake);
    else s.wake.erase(owner);
}

HWND FindWindow(const std::string& className, const std::optional<std::string>& text) {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    for (auto& [h, w] : s.windows) {
        if (!className.empty() && w.className != className) continue;
        if (text && w.text != *text) continue;
        return h;
    }
    return 0;
}

std::vector<HWND> AllWindows() {
    State& s = state();
    std::lock_guard<std::mutex> lock(s.m);
    std::vector<HWND> v;
    for (auto& [h, w] : s.windows) v.push_back(h);
    return v;
}

}  // namespace user
