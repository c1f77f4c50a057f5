// Window handles and window messages without a window system.
//
// A window here is a handle with a class name, a text and a window procedure, owned by the
// thread that created it. Messages posted from any thread queue up in order and are delivered
// on the owning thread when it pumps (the window layer pumps from its event loop; tests call
// PumpMessages). SendMessage runs the procedure at once on the owning thread, or waits for the
// owning thread to deliver it. Subclassing swaps the procedure and hands the old one back.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace user {

using HWND = int32_t;
using WPARAM = uintptr_t;
using LPARAM = intptr_t;
using LRESULT = intptr_t;
using WndProc = std::function<LRESULT(HWND, uint32_t, WPARAM, LPARAM)>;

inline constexpr uint32_t WM_NULL = 0x0000;
inline constexpr uint32_t WM_DESTROY = 0x0002;
inline constexpr uint32_t WM_SETTEXT = 0x000C;
inline constexpr uint32_t WM_GETTEXT = 0x000D;
inline constexpr uint32_t WM_GETTEXTLENGTH = 0x000E;
inline constexpr uint32_t WM_CLOSE = 0x0010;
inline constexpr uint32_t WM_USER = 0x0400;

// Creates a window owned by the calling thread. The procedure may be empty (messages are then
// answered with 0 after WM_SETTEXT/WM_GETTEXT handling of the window text).
HWND CreateWindow(const std::string& className, const std::string& text, WndProc proc = {});
// Destroys the window: it gets WM_DESTROY, then its pending messages are dropped.
bool DestroyWindow(HWND hwnd);
bool IsWindow(HWND hwnd);
std::thread::id WindowThread(HWND hwnd);

std::string GetClassName(HWND hwnd);
std::string GetWindowText(HWND hwnd);
// Sets the stored text without sending any message (what DefWindowProc does on WM_SETTEXT).
void SetWindowTextDirect(HWND hwnd, const std::string& text);

// Queues a message; false when the window does not exist. Any thread.
bool PostMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// Queues a message that carries a text: during delivery lParam points at a NUL-terminated
// copy of `text` (as WM_SETTEXT expects). Any thread.
bool PostMessageText(HWND hwnd, uint32_t msg, WPARAM wParam, const std::string& text);
// Delivers now when called on the owning thread; otherwise queues it and waits until the
// owning thread has delivered it (or the window is destroyed: result 0).
LRESULT SendMessage(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
LRESULT SendMessageText(HWND hwnd, uint32_t msg, WPARAM wParam, const std::string& text);

// Replaces the window procedure and returns the one it replaced (subclassing).
WndProc SetWindowProc(HWND hwnd, WndProc proc);
WndProc GetWindowProc(HWND hwnd);
// Calls a procedure; an empty procedure gets the default handling.
LRESULT CallWindowProc(const WndProc& proc, HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);
// The default handling: WM_SETTEXT stores the text, WM_GETTEXT/WM_GETTEXTLENGTH read it.
LRESULT DefWindowProc(HWND hwnd, uint32_t msg, WPARAM wParam, LPARAM lParam);

// Delivers the messages queued for windows of the calling thread, in the order they were
// queued; returns how many were delivered. Messages queued while pumping wait for the next call.
// When a procedure throws, the other messages are still delivered (a waiting sender gets 0 for
// its message) and the first exception is then rethrown to the caller.
size_t PumpMessages();
// Messages waiting for windows of the calling thread.
size_t PendingMessages();

// Called (on the posting thread) whenever a message is queued for a window owned by `owner`,
// so an event loop can wake and pump. One handler per owning thread; empty removes it.
void SetWakeHandler(std::thread::id owner, std::function<void()> wake);

// Windows of this process with the given class (empty: any) and exact text (nullopt: any).
HWND FindWindow(const std::string& className, const std::optional<std::string>& text);
std::vector<HWND> AllWindows();

}  // namespace user
