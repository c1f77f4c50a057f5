#include "user/window_mailbox.h"

#include "fs/fs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <string>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <thread>
#include <unistd.h>

namespace user {

namespace {

std::string mailboxPath(const std::string& folder, pid_t pid, HWND hwnd) {
    return folder + "/" + std::to_string(pid) + "-" + std::to_string(hwnd) + ".mbox";
}

// The socket address of a path; false when the path does not fit.
bool socketAddress(const std::string& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) return false;
    std::memcpy(addr.sun_path, path.data(), path.size());
    return true;
}

void putLe(uint8_t* p, uint64_t v, int bytes) {
    for (int i = 0; i < bytes; ++i) p[i] = uint8_t(v >> (8 * i));
}

uint64_t getLe(const uint8_t* p, int bytes) {
    uint64_t v = 0;
    for (int i = 0; i < bytes; ++i) v |= uint64_t(p[i]) << (8 * i);
    return v;
}

}  // namespace

std::array<uint8_t, kMailboxMessageSize> EncodeMailboxMessage(const MailboxMessage& m) {
    std::array<uint8_t, kMailboxMessageSize> b{};
    putLe(&b[0], m.msg, 4);
    putLe(&b[4], uint64_t(m.wParam), 8);
    putLe(&b[12], uint64_t(m.lParam), 8);
    return b;
}

std::optional<MailboxMessage> DecodeMailboxMessage(const uint8_t* data, size_t size) {
    if (!data || size != kMailboxMessageSize) return std::nullopt;
    MailboxMessage m;
    m.msg = uint32_t(getLe(&data[0], 4));
    m.wParam = WPARAM(getLe(&data[4], 8));
    m.lParam = LPARAM(int64_t(getLe(&data[12], 8)));
    return m;
}

struct WindowMailbox::Impl {
    HWND hwnd = 0;
    std::function<bool(uint32_t)> accept;
    std::string path;
    int sock = -1;
    int stopPipe[2] = {-1, -1};
    std::thread reader;

    void run() {
        pollfd fds[2] = {{sock, POLLIN, 0}, {stopPipe[0], POLLIN, 0}};
        for (;;) {
            int r = ::poll(fds, 2, -1);
            if (r < 0) {
                if (errno == EINTR) continue;
                return;
            }
            if (fds[1].revents) return;
            if (!(fds[0].revents & POLLIN)) {
                if (fds[0].revents) return;
                continue;
            }
            // One byte more than a message: a longer datagram shows as too long and is dropped.
            uint8_t buffer[kMailboxMessageSize + 1];
            ssize_t n = ::recv(sock, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return;
            }
            auto m = DecodeMailboxMessage(buffer, size_t(n));
            if (!m || !accept || !accept(m->msg)) continue;
            PostMessage(hwnd, m->msg, m->wParam, m->lParam);
        }
    }
};

WindowMailbox::WindowMailbox(HWND hwnd, std::function<bool(uint32_t msg)> accept) : impl_(std::make_unique<Impl>()) {
    Impl& s = *impl_;
    s.hwnd = hwnd;
    s.accept = std::move(accept);
    const std::string folder = WindowRegistryFolder();
    if (!fs::CreatePrivateFolders(folder)) return;  // no mailbox in a folder another user may write
    s.path = mailboxPath(folder, ::getpid(), hwnd);
    sockaddr_un addr{};
    if (!socketAddress(s.path, addr)) return;
    int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return;
    ::unlink(s.path.c_str());  // what an ended process of the same number left
    if (::bind(sock, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0 || ::pipe2(s.stopPipe, O_CLOEXEC) != 0) {
        ::close(sock);
        ::unlink(s.path.c_str());
        s.stopPipe[0] = s.stopPipe[1] = -1;
        return;
    }
    ::chmod(s.path.c_str(), 0600);  // the user's own processes only
    s.sock = sock;
    s.reader = std::thread([&s] { s.run(); });
}

WindowMailbox::~WindowMailbox() {
    Impl& s = *impl_;
    if (s.sock < 0) return;
    char stop = 1;
    while (::write(s.stopPipe[1], &stop, 1) < 0 && errno == EINTR) {
    }
    s.reader.join();
    ::close(s.sock);
    ::close(s.stopPipe[0]);
    ::close(s.stopPipe[1]);
    ::unlink(s.path.c_str());
}

bool WindowMailbox::IsOpen() const { return impl_->sock >= 0; }

bool PostToTopWindow(const TopWindow& window, uint32_t msg, WPARAM wParam, LPARAM lParam) {
    sockaddr_un addr{};
    if (!socketAddress(mailboxPath(WindowRegistryFolder(), window.pid, window.hwnd), addr)) return false;
    int sock = ::socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) return false;
    auto bytes = EncodeMailboxMessage({msg, wParam, lParam});
    ssize_t n;
    do {
        n = ::sendto(sock, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    } while (n < 0 && errno == EINTR);
    ::close(sock);
    return n == ssize_t(bytes.size());
}

}  // namespace user
