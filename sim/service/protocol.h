// The bus service's wire protocol over its Unix stream socket.
//
// Every message is a frame: an 8-byte header (u32 payload length, u16 operation, u16 reserved,
// all least significant byte first) and the payload. A client opens two connections: a request
// connection on which it sends one request and waits for its reply, and a notice connection on
// which the service pushes bus notices (bus reset, incoming data, device change ...) as they
// happen. The reply to a request carries the operation kReply; its payload begins with one byte,
// 1 when the request was understood (the operation's answer follows) or 0 when it was refused
// (an error text follows). A refused request changes nothing.
#pragma once

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "service/access.h"

namespace bussvc {

inline constexpr uint32_t kProtocolVersion = 2;
// Largest payload either side accepts; a larger length is a malformed frame.
inline constexpr uint32_t kMaxPayload = 8u << 20;

enum class Op : uint16_t {
    Hello = 1,          // u32 version, u32 pid, u8 role (0 request, 1 notice), u32 client id,
                        // (notice) u64 token; answered u32 client id, (request) u64 token
    Read = 2,           // u32 node, u16 offset high, u32 offset low, u32 count, i32 timeout
    Write = 3,          // u32 node, u16 high, u32 low, i32 timeout, bytes data
    TopologyMap = 4,    // str device
    LocalNode = 5,      // str device
    VirtualDevices = 6, //
    AddVirtual = 7,     // u32 flags, u64 instance, str name
    RemoveVirtual = 8,  // u32 flags, u64 instance, str name
    ResetBus = 9,       // str device
    AllocRange = 10,    // str device, u16 high, u32 low, u32 length, u32 access, u32 notify
    FreeRange = 11,     // str device, u32 handle
    BusDevice = 12,     // u32 bus index, u32 control code, bytes input
    Control = 13,       // str JSON command
    AudioUnits = 14,    //
    AudioRequest = 15,  // str node, u32 control code, bytes input, u32 output size
    Transfers = 16,     // u32 n (1..kMaxSequence), n times: u8 write, u32 node, u16 high,
                        // u32 low, i32 timeout, then (write) bytes data or (read) u32 count;
                        // answered u32 carried out, each: i32 code, (read done) bytes data
    Reply = 0x8000,
    Notice = 0x8001,    // u32 message
};

struct FrameHeader {
    uint32_t length = 0;
    uint16_t op = 0;
    uint16_t reserved = 0;
};
inline constexpr size_t kHeaderBytes = 8;

// Builds a payload, least significant byte first.
class Writer {
public:
    // Room for a request or an answer of the common kinds, so that building one allocates once.
    Writer() { bytes_.reserve(64); }
    Writer& U8(uint8_t v) { bytes_.push_back(v); return *this; }
    Writer& U16(uint16_t v) { return Raw(&v, 2); }
    Writer& U32(uint32_t v) { return Raw(&v, 4); }
    Writer& I32(int32_t v) { return Raw(&v, 4); }
    Writer& U64(uint64_t v) { return Raw(&v, 8); }
    Writer& Str(const std::string& s) { U32(uint32_t(s.size())); return Raw(s.data(), s.size()); }
    Writer& Bytes(const uint8_t* p, size_t n) { U32(uint32_t(n)); return Raw(p, n); }
    Writer& Bytes(const std::vector<uint8_t>& v) { return Bytes(v.data(), v.size()); }
    const std::vector<uint8_t>& Data() const { return bytes_; }
    std::vector<uint8_t> Take() { return std::move(bytes_); }

private:
    Writer& Raw(const void* p, size_t n) {
        auto b = static_cast<const uint8_t*>(p);
        bytes_.insert(bytes_.end(), b, b + n);
        return *this;
    }
    std::vector<uint8_t> bytes_;
};

// Reads a payload with bounds checks: a read past the end marks the reader failed and yields
// zeros, so a decoder checks Ok() once at the end (and that nothing is left over).
class Reader {
public:
    Reader(const uint8_t* p, size_t n) : p_(p), n_(n) {}
    explicit Reader(const std::vector<uint8_t>& v) : Reader(v.data(), v.size()) {}
    uint8_t U8() { uint8_t v = 0; Raw(&v, 1); return v; }
    uint16_t U16() { uint16_t v = 0; Raw(&v, 2); return v; }
    uint32_t U32() { uint32_t v = 0; Raw(&v, 4); return v; }
    int32_t I32() { int32_t v = 0; Raw(&v, 4); return v; }
    uint64_t U64() { uint64_t v = 0; Raw(&v, 8); return v; }
    std::string Str(size_t max = kMaxPayload) {
        uint32_t n = U32();
        if (!ok_ || n > max || n > n_ - pos_) { ok_ = false; return {}; }
        std::string s(reinterpret_cast<const char*>(p_ + pos_), n);
        pos_ += n;
        return s;
    }
    std::vector<uint8_t> Bytes(size_t max = kMaxPayload) {
        uint32_t n = U32();
        if (!ok_ || n > max || n > n_ - pos_) { ok_ = false; return {}; }
        std::vector<uint8_t> v(p_ + pos_, p_ + pos_ + n);
        pos_ += n;
        return v;
    }
    // Copies a byte block of known length into dst (used for reads straight into a buffer).
    bool BytesInto(uint8_t* dst, size_t expected) {
        uint32_t n = U32();
        if (!ok_ || n != expected || n > n_ - pos_) { ok_ = false; return false; }
        std::memcpy(dst, p_ + pos_, n);
        pos_ += n;
        return true;
    }
    // Copies the next n bytes (no length before them) into dst.
    void RawInto(uint8_t* dst, size_t n) { Raw(dst, n); }
    // Bytes not yet read.
    size_t Left() const { return n_ - pos_; }
    bool Ok() const { return ok_; }
    bool AtEnd() const { return pos_ == n_; }
    // Understood completely: no overrun and nothing left over.
    bool Complete() const { return ok_ && pos_ == n_; }

private:
    void Raw(void* v, size_t n) {
        if (!ok_ || n > n_ - pos_) { ok_ = false; return; }
        std::memcpy(v, p_ + pos_, n);
        pos_ += n;
    }
    const uint8_t* p_;
    size_t n_;
    size_t pos_ = 0;
    bool ok_ = true;
};

// Socket helpers. All I/O retries on EINTR and never raises SIGPIPE.
// Sends a whole frame; false when the peer is gone.
bool SendFrame(int fd, Op op, const uint8_t* payload, size_t n);
inline bool SendFrame(int fd, Op op, const std::vector<uint8_t>& payload) {
    return SendFrame(fd, op, payload.data(), payload.size());
}
// Outcome of receiving a frame: Malformed for a length no frame may have, TimedOut when no
// frame began within the wait, Stalled when one began but the peer then stayed silent longer
// than the wait allowed mid-frame.
enum class RecvStatus { Ok, Closed, Malformed, TimedOut, Stalled };

// Receiving a frame takes memory as its bytes arrive, not as its header announces them: a
// peer that announces the largest frame and sends one byte costs a few kilobytes, not the
// announced length.
//
// Receives one frame into header and payload (payload resized). timeoutMs: how long to wait
// for the frame to begin (< 0: without end); midFrameMs: how long the peer may stay silent
// once it has begun (< 0: as timeoutMs). maxLength: the longest payload accepted here.
RecvStatus RecvFrame(int fd, FrameHeader& header, std::vector<uint8_t>& payload,
                     int timeoutMs = -1, int midFrameMs = -1, uint32_t maxLength = kMaxPayload);

// Receives frames from one connection through a buffer, so that a frame usually arrives with
// one system call and frames sent back to back are taken apart. Use it for a connection's whole
// life after its greeting (RecvFrame never reads ahead, so the two may follow each other).
// Receives a client may try before it blocks for an answer (FrameReader::Next): a few hundred
// microseconds' worth, more than the service takes to answer a transaction.
inline constexpr int kQuickAnswerTries = 200;

class FrameReader {
public:
    explicit FrameReader(int fd) : fd_(fd), buf_(kChunk) {}
    // As RecvFrame; the payload stays valid until the next call. With `quickTries`, before the
    // wait for the frame's first bytes blocks, this many receives that do not wait go first.
    RecvStatus Next(FrameHeader& header, std::vector<uint8_t>& payload, int timeoutMs = -1,
                    int midFrameMs = -1, int quickTries = 0);

private:
    static constexpr size_t kChunk = 16384;
    RecvStatus fill(size_t need, int timeoutMs, int midFrameMs, int quickTries);
    int fd_;
    int socketWaitMs_ = -1;  // the receive time-out the socket holds (-1: none)
    std::vector<uint8_t> buf_;
    size_t begin_ = 0, end_ = 0;
};

// Decodes the answer to AudioUnits (after the reply's first byte): the code, then at most
// kMaxAudioUnits units. A malformed answer gives 0x8000013D and no units.
int32_t DecodeAudioUnits(const uint8_t* p, size_t n, std::vector<AudioUnitInfo>& units);

// A sequence of transactions (Op::Transfers). The request: EncodeTransfers builds it from the
// caller's transfers; DecodeTransfers takes it apart for the service, pointing each transfer
// into `buffer` (a write's bytes, a read's room). Decoding fails, and nothing may be carried
// out, unless there are 1 to kMaxSequence transfers, each of 4 to 2048 bytes in whole quadlets
// (a write's bytes exactly its count), and nothing follows them.
void EncodeTransfers(Writer& w, const Transfer* transfers, size_t count);
bool DecodeTransfers(Reader& r, std::vector<Transfer>& transfers, std::vector<uint8_t>& buffer);
// The answer: how many were carried out, each one's code and a successful read's bytes.
void EncodeTransfersDone(Writer& w, const Transfer* transfers, size_t done);
// Reads the answer into the caller's transfers; how many were carried out, or nullopt when the
// answer does not fit the request.
std::optional<size_t> DecodeTransfersDone(Reader& r, Transfer* transfers, size_t count);

// Replies.
std::vector<uint8_t> OkReply(const Writer& body);
std::vector<uint8_t> ErrorReply(const std::string& text);

// The platform root (platform/fs's, LUMAREL_ROOT or its per-user default, made absolute) and
// the folder of the bus service below it.
std::string PlatformRoot();
std::string ServiceFolder(const std::string& root);
std::string SocketPath(const std::string& root);

}  // namespace bussvc
