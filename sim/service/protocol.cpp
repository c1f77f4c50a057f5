#include "service/protocol.h"

#include "fs/fs.h"

#include <cerrno>
#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

namespace bussvc {

namespace {

bool sendAll(int fd, const uint8_t* p, size_t n) {
    while (n > 0) {
        ssize_t k = ::send(fd, p, n, MSG_NOSIGNAL);
        if (k < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += k;
        n -= size_t(k);
    }
    return true;
}

// One wait (when a time-out is given) and one receive of up to n bytes.
RecvStatus recvSome(int fd, uint8_t* p, size_t n, int timeoutMs, size_t& got) {
    for (;;) {
        if (timeoutMs >= 0) {
            pollfd pfd{fd, POLLIN, 0};
            int r = ::poll(&pfd, 1, timeoutMs);
            if (r < 0) {
                if (errno == EINTR) continue;
                return RecvStatus::Closed;
            }
            if (r == 0) return RecvStatus::TimedOut;
        }
        ssize_t k = ::recv(fd, p, n, 0);
        if (k < 0) {
            if (errno == EINTR) continue;
            return RecvStatus::Closed;
        }
        if (k == 0) return RecvStatus::Closed;
        got = size_t(k);
        return RecvStatus::Ok;
    }
}

// As recvSome, with the wait kept by the socket (SO_RCVTIMEO) instead of a poll before each
// receive: one system call per receive instead of two, on the path every answer takes.
// `current` is the socket's time-out now (-1: none), so that it is set only when it changes.
RecvStatus recvTimed(int fd, uint8_t* p, size_t n, int timeoutMs, int& current, size_t& got) {
    if (timeoutMs != 0 && timeoutMs != current) {
        timeval tv{};  // zero: without end
        if (timeoutMs > 0) {
            tv.tv_sec = timeoutMs / 1000;
            tv.tv_usec = (timeoutMs % 1000) * 1000;
        }
        if (::setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv) != 0) return recvSome(fd, p, n, timeoutMs, got);
        current = timeoutMs;
    }
    for (;;) {
        // A zero wait only takes what is there.
        ssize_t k = ::recv(fd, p, n, timeoutMs == 0 ? MSG_DONTWAIT : 0);
        if (k < 0) {
            if (errno == EINTR) continue;
            if (errno == EAGAIN || errno == EWOULDBLOCK) return RecvStatus::TimedOut;
            return RecvStatus::Closed;
        }
        if (k == 0) return RecvStatus::Closed;
        got = size_t(k);
        return RecvStatus::Ok;
    }
}

// Reads exactly n bytes, each wait bounded by timeoutMs.
RecvStatus recvAll(int fd, uint8_t* p, size_t n, int timeoutMs) {
    while (n > 0) {
        size_t got = 0;
        RecvStatus s = recvSome(fd, p, n, timeoutMs, got);
        if (s != RecvStatus::Ok) return s;
        p += got;
        n -= got;
    }
    return RecvStatus::Ok;
}

// A wait that ran out once a frame had begun: the peer stalled in the middle of it.
RecvStatus midFrame(RecvStatus s) { return s == RecvStatus::TimedOut ? RecvStatus::Stalled : s; }

// Room a receive buffer starts with; it doubles as bytes arrive, up to the frame's length.
constexpr size_t kFirstRoom = 16384;

}  // namespace

bool SendFrame(int fd, Op op, const uint8_t* payload, size_t n) {
    if (n > kMaxPayload) return false;
    // Header and payload go out in one send so that a small request is one segment.
    uint8_t small[kHeaderBytes + 512];
    uint32_t len = uint32_t(n);
    uint16_t o = uint16_t(op), r = 0;
    if (n <= 512) {
        std::memcpy(small, &len, 4);
        std::memcpy(small + 4, &o, 2);
        std::memcpy(small + 6, &r, 2);
        if (n) std::memcpy(small + kHeaderBytes, payload, n);
        return sendAll(fd, small, kHeaderBytes + n);
    }
    std::vector<uint8_t> buf(kHeaderBytes + n);
    std::memcpy(buf.data(), &len, 4);
    std::memcpy(buf.data() + 4, &o, 2);
    std::memcpy(buf.data() + 6, &r, 2);
    std::memcpy(buf.data() + kHeaderBytes, payload, n);
    return sendAll(fd, buf.data(), buf.size());
}

RecvStatus RecvFrame(int fd, FrameHeader& header, std::vector<uint8_t>& payload, int timeoutMs,
                     int midFrameMs, uint32_t maxLength) {
    if (midFrameMs < 0) midFrameMs = timeoutMs;
    uint8_t h[kHeaderBytes];
    size_t got = 0;
    RecvStatus s = recvSome(fd, h, kHeaderBytes, timeoutMs, got);
    if (s != RecvStatus::Ok) return s;
    s = recvAll(fd, h + got, kHeaderBytes - got, midFrameMs);
    if (s != RecvStatus::Ok) return midFrame(s);
    std::memcpy(&header.length, h, 4);
    std::memcpy(&header.op, h + 4, 2);
    std::memcpy(&header.reserved, h + 6, 2);
    if (header.length > kMaxPayload || header.length > maxLength) return RecvStatus::Malformed;
    payload.clear();
    size_t have = 0;
    while (have < header.length) {
        if (have == payload.size())
            payload.resize(std::min<size_t>(header.length, std::max(2 * have, kFirstRoom)));
        s = recvSome(fd, payload.data() + have, payload.size() - have, midFrameMs, got);
        if (s != RecvStatus::Ok) return midFrame(s);
        have += got;
    }
    return RecvStatus::Ok;
}

// Makes at least `need` bytes available from begin_, reading as much as the socket has.
RecvStatus FrameReader::fill(size_t need, int timeoutMs, int midFrameMs, int quickTries) {
    if (end_ - begin_ >= need) return RecvStatus::Ok;
    if (begin_ > 0) {  // keep what is there at the front
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    while (end_ < need) {
        if (end_ == buf_.size()) buf_.resize(std::min(need, std::max(2 * buf_.size(), kFirstRoom)));
        // What is buffered belongs to the frame wanted: once it holds a byte, the frame has begun.
        const bool begun = end_ > 0;
        size_t got = 0;
        // An answer the service gives at once arrives within some microseconds. A thread that
        // blocks for it gives up its processor, and waking it again can cost more than the wait
        // (tenths of a millisecond in a virtual machine), so the caller may have a few receives
        // that do not wait go first. They are counted, not timed: the time-out below is kept
        // whatever they find.
        if (!begun && timeoutMs != 0) {
            for (int i = 0; i < quickTries && got == 0; ++i) {
                const ssize_t k = ::recv(fd_, buf_.data() + end_, buf_.size() - end_, MSG_DONTWAIT);
                if (k > 0) got = size_t(k);
                else if (k == 0) return RecvStatus::Closed;
                else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return RecvStatus::Closed;
            }
            if (got > 0) {
                end_ += got;
                continue;
            }
        }
        RecvStatus s =
            recvTimed(fd_, buf_.data() + end_, buf_.size() - end_, begun ? midFrameMs : timeoutMs, socketWaitMs_, got);
        if (s != RecvStatus::Ok) return begun ? midFrame(s) : s;
        end_ += got;
    }
    return RecvStatus::Ok;
}

RecvStatus FrameReader::Next(FrameHeader& header, std::vector<uint8_t>& payload, int timeoutMs,
                             int midFrameMs, int quickTries) {
    if (midFrameMs < 0) midFrameMs = timeoutMs;
    RecvStatus s = fill(kHeaderBytes, timeoutMs, midFrameMs, quickTries);
    if (s != RecvStatus::Ok) return s;
    const uint8_t* h = buf_.data() + begin_;
    std::memcpy(&header.length, h, 4);
    std::memcpy(&header.op, h + 4, 2);
    std::memcpy(&header.reserved, h + 6, 2);
    if (header.length > kMaxPayload) return RecvStatus::Malformed;
    s = fill(kHeaderBytes + header.length, timeoutMs, midFrameMs, 0);
    if (s != RecvStatus::Ok) return s;
    const uint8_t* p = buf_.data() + begin_ + kHeaderBytes;
    payload.assign(p, p + header.length);
    begin_ += kHeaderBytes + header.length;
    if (begin_ == end_) begin_ = end_ = 0;
    if (buf_.size() > 4 * kChunk && end_ - begin_ < kChunk) {  // after a large frame
        std::memmove(buf_.data(), buf_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
        buf_.resize(kChunk);
        buf_.shrink_to_fit();
    }
    return RecvStatus::Ok;
}

namespace {
bool transferCountFits(uint32_t count) { return count >= 4 && count <= sim::kMaxPayload && count % 4 == 0; }
}  // namespace

void EncodeTransfers(Writer& w, const Transfer* transfers, size_t count) {
    w.U32(uint32_t(count));
    for (size_t i = 0; i < count; ++i) {
        const Transfer& t = transfers[i];
        w.U8(t.write ? 1 : 0).U32(uint32_t(t.node)).U16(t.offsetHigh).U32(t.offsetLow).I32(t.timeoutMs);
        if (t.write) w.Bytes(t.data, t.count);
        else w.U32(t.count);
    }
}

bool DecodeTransfers(Reader& r, std::vector<Transfer>& transfers, std::vector<uint8_t>& buffer) {
    transfers.clear();
    const uint32_t n = r.U32();
    if (!r.Ok() || n < 1 || n > kMaxSequence) return false;
    // Room for every transfer at its largest, made once: the pointers below stay valid.
    buffer.assign(size_t(n) * sim::kMaxPayload, 0);
    for (uint32_t i = 0; i < n; ++i) {
        Transfer t;
        const uint8_t kind = r.U8();
        t.node = int32_t(r.U32());
        t.offsetHigh = r.U16();
        t.offsetLow = r.U32();
        t.timeoutMs = r.I32();
        t.data = buffer.data() + size_t(i) * sim::kMaxPayload;
        if (kind == 1) {
            t.write = true;
            t.count = r.U32();
            if (!r.Ok() || !transferCountFits(t.count) || t.count > r.Left()) return false;
            r.RawInto(t.data, t.count);
        } else if (kind == 0) {
            t.count = r.U32();
            if (!transferCountFits(t.count)) return false;
        } else {
            return false;
        }
        if (!r.Ok()) return false;
        transfers.push_back(t);
    }
    return r.Complete();
}

void EncodeTransfersDone(Writer& w, const Transfer* transfers, size_t done) {
    w.U32(uint32_t(done));
    for (size_t i = 0; i < done; ++i) {
        w.I32(transfers[i].code);
        if (!transfers[i].write && transfers[i].code == sim::kResultSuccess)
            w.Bytes(transfers[i].data, transfers[i].count);
    }
}

std::optional<size_t> DecodeTransfersDone(Reader& r, Transfer* transfers, size_t count) {
    const uint32_t done = r.U32();
    if (!r.Ok() || done > count) return std::nullopt;
    for (uint32_t i = 0; i < done; ++i) {
        Transfer& t = transfers[i];
        t.code = r.I32();
        if (!t.write && t.code == sim::kResultSuccess && !r.BytesInto(t.data, t.count)) return std::nullopt;
        // Only the last one carried out may have failed.
        if (t.code != sim::kResultSuccess && i + 1 != done) return std::nullopt;
    }
    if (!r.Complete()) return std::nullopt;
    return done;
}

std::vector<uint8_t> OkReply(const Writer& body) {
    std::vector<uint8_t> out;
    out.reserve(body.Data().size() + 1);
    out.push_back(1);
    out.insert(out.end(), body.Data().begin(), body.Data().end());
    return out;
}

std::vector<uint8_t> ErrorReply(const std::string& text) {
    Writer w;
    w.U8(0).Str(text);
    return w.Take();
}

std::string PlatformRoot() {
    // The platform's one root; a relative one is taken from the current folder now, so that a
    // program that changes folder later still meets the same service.
    std::filesystem::path root = fs::PlatformRoot();
    std::error_code ec;
    std::filesystem::path absolute = std::filesystem::absolute(root, ec);
    return ec ? root.string() : absolute.lexically_normal().string();
}

std::string ServiceFolder(const std::string& root) { return root + "/bus"; }
std::string SocketPath(const std::string& root) { return ServiceFolder(root) + "/bus.sock"; }

}  // namespace bussvc

namespace bussvc {

int32_t DecodeAudioUnits(const uint8_t* p, size_t n, std::vector<AudioUnitInfo>& units) {
    units.clear();
    Reader r(p, n);
    int32_t code = r.I32();
    uint32_t count = r.U32();
    if (!r.Ok() || count > kMaxAudioUnits) return int32_t(0x8000013Du);
    for (uint32_t i = 0; i < count && r.Ok(); ++i) {
        AudioUnitInfo u;
        u.node = r.Str(256);
        u.interfacePath = r.Str(512);
        u.controlOpenable = r.U8() != 0;
        std::vector<uint8_t> guid = r.Bytes(8);
        if (guid.size() != 8) return units.clear(), int32_t(0x8000013Du);
        std::copy(guid.begin(), guid.end(), u.guid.begin());
        u.identifier = r.Str(256);
        u.softwareDate = r.Str(64);
        u.softwareTime = r.Str(64);
        u.bootloaderDate = r.Str(64);
        u.bootloaderTime = r.Str(64);
        units.push_back(std::move(u));
    }
    if (!r.Complete()) {
        units.clear();
        return int32_t(0x8000013Du);
    }
    return code;
}

}  // namespace bussvc
