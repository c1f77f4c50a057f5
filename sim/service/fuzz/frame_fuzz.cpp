// Fuzz target: the bus service's frame decoder. The input is what a client sends on one
// connection, arriving on a socket pair: the greeting read on its own (as the service reads
// it), then frames through a connection's buffered reader, each payload taken apart with the
// field layout of its operation. Every frame the decoder hands out must be exactly the bytes
// sent, in order, whatever the buffer did in between.
#include "service/protocol.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using namespace bussvc;

// The request layouts, one letter a field: 1, 2, 4, 8 a number of that many bytes, s a text,
// b a byte block. The greeting has one of two layouts (decodeHello).
const char* layoutOf(uint16_t op) {
    switch (Op(op)) {
    case Op::Hello: return "";  // read by decodeHello: its last field depends on its role
    case Op::Read: return "42444";
    case Op::Write: return "4244b";
    case Op::TopologyMap:
    case Op::LocalNode:
    case Op::ResetBus:
    case Op::Control: return "s";
    case Op::VirtualDevices: return "";
    case Op::AddVirtual:
    case Op::RemoveVirtual: return "48s";
    case Op::AllocRange: return "s24444";
    case Op::FreeRange: return "s4";
    case Op::BusDevice: return "44b";
    case Op::AudioUnits: return "";
    case Op::AudioRequest: return "s4b4";
    case Op::Notice: return "4";
    case Op::Reply: return "1s";
    case Op::Transfers: return "";  // read by DecodeTransfers: its blocks follow its count
    }
    return "b";
}

// A greeting as the service reads it: protocol version, process, role (0 request, 1 notice),
// client id, and on a notice connection the token its request connection was given.
void decodeHello(Reader& r) {
    r.U32();
    r.U32();
    const uint8_t role = r.U8();
    r.U32();
    if (role == 1) r.U64();
}

void decodePayload(uint16_t op, const std::vector<uint8_t>& payload) {
    Reader r(payload);
    if (Op(op) == Op::Hello) {
        decodeHello(r);
        return;
    }
    if (Op(op) == Op::Transfers) {
        std::vector<Transfer> transfers;
        std::vector<uint8_t> buffer;
        if (DecodeTransfers(r, transfers, buffer)) {
            // Every transfer points inside the buffer, within its bounds.
            for (const Transfer& t : transfers)
                if (t.data < buffer.data() || t.data + t.count > buffer.data() + buffer.size()) std::abort();
        }
        return;
    }
    for (const char* f = layoutOf(op); *f; ++f) {
        switch (*f) {
        case '1': r.U8(); break;
        case '2': r.U16(); break;
        case '4': r.U32(); break;
        case '8': r.U64(); break;
        case 's': r.Str(4096); break;
        case 'b': r.Bytes(); break;
        }
    }
}

// The frame must be the next bytes of the input.
void expectSent(const uint8_t* data, size_t size, size_t& at, const FrameHeader& h,
                const std::vector<uint8_t>& payload) {
    if (payload.size() != h.length || h.length > kMaxPayload) std::abort();
    if (size - at < kHeaderBytes + payload.size()) std::abort();
    uint32_t length = 0;
    uint16_t op = 0, reserved = 0;
    std::memcpy(&length, data + at, 4);
    std::memcpy(&op, data + at + 4, 2);
    std::memcpy(&reserved, data + at + 6, 2);
    if (length != h.length || op != h.op || reserved != h.reserved) std::abort();
    if (!payload.empty() && std::memcmp(data + at + kHeaderBytes, payload.data(), payload.size()) != 0)
        std::abort();
    at += kHeaderBytes + payload.size();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fd[2];
    if (::socketpair(AF_UNIX, SOCK_STREAM, 0, fd) != 0) return 0;
    // The client sends everything, then closes its side. What the socket takes at once goes
    // straight in; a longer input is sent on by a thread while the service side reads.
    size_t sent = 0;
    while (sent < size) {
        ssize_t k = ::send(fd[0], data + sent, size - sent, MSG_NOSIGNAL | MSG_DONTWAIT);
        if (k <= 0) break;
        sent += size_t(k);
    }
    std::thread client;
    if (sent < size) {
        client = std::thread([&data, size, sent, &fd] {
            size_t at = sent;
            while (at < size) {
                ssize_t k = ::send(fd[0], data + at, size - at, MSG_NOSIGNAL);
                if (k <= 0) break;
                at += size_t(k);
            }
            ::shutdown(fd[0], SHUT_WR);
        });
    } else {
        ::shutdown(fd[0], SHUT_WR);
    }

    size_t at = 0;
    FrameHeader h;
    std::vector<uint8_t> payload;
    if (RecvFrame(fd[1], h, payload, 10000) == RecvStatus::Ok) {
        expectSent(data, size, at, h, payload);
        decodePayload(h.op, payload);
        FrameReader frames(fd[1]);
        while (frames.Next(h, payload) == RecvStatus::Ok) {
            expectSent(data, size, at, h, payload);
            decodePayload(h.op, payload);
        }
    }
    // The reader stopped (closed or malformed); closing its side ends a client still sending.
    ::close(fd[1]);
    if (client.joinable()) client.join();
    ::close(fd[0]);
    return 0;
}
