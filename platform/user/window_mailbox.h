// Messages posted to a top-level window of another process.
//
// A published window (window_registry.h) that wants messages from other processes opens a
// mailbox: a datagram socket "<pid>-<hwnd>.mbox" beside its entry in the window registry folder.
// A message is one datagram of exactly kMailboxMessageSize bytes: the message number, wParam
// and lParam, little-endian (4 + 8 + 8 bytes). A reader thread takes each datagram (anything of
// another size is dropped unread beyond its room), lets the window's filter decide, and posts
// the message to the window, which receives it on its own thread like any posted message.
#pragma once

#include "user/user.h"
#include "user/window_registry.h"

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace user {

struct MailboxMessage {
    uint32_t msg = 0;
    WPARAM wParam = 0;
    LPARAM lParam = 0;
};
inline constexpr size_t kMailboxMessageSize = 20;

std::array<uint8_t, kMailboxMessageSize> EncodeMailboxMessage(const MailboxMessage& m);
// The message of a datagram; nullopt unless it is exactly kMailboxMessageSize bytes.
std::optional<MailboxMessage> DecodeMailboxMessage(const uint8_t* data, size_t size);

class WindowMailbox {
public:
    // Opens the mailbox of `hwnd` (a window of this process) in the current window registry
    // folder. Only messages for which `accept` answers true are posted to the window. When the
    // socket cannot be made the mailbox stays closed and the window gets nothing from outside.
    WindowMailbox(HWND hwnd, std::function<bool(uint32_t msg)> accept);
    // Stops the reader and removes the socket.
    ~WindowMailbox();
    WindowMailbox(const WindowMailbox&) = delete;
    WindowMailbox& operator=(const WindowMailbox&) = delete;

    bool IsOpen() const;

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

// Posts a message to a published window of any process (this one included) through its
// mailbox. False when the window has none or the datagram cannot be sent.
bool PostToTopWindow(const TopWindow& window, uint32_t msg, WPARAM wParam, LPARAM lParam);

}  // namespace user
