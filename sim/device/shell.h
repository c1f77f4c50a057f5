// The Lumarel 460's UART console and the ways its characters travel over 1394.
//
// The console echoes what it receives and hands each complete line (ended by CR or LF) to a
// line handler, whose answer it prints. Its output goes to the transmit side of the 1394 shell,
// which looks different per protocol version:
//   - versions 1 and 3: a FIFO that command 8 drains into the response payload;
//   - version 2: a ring mirrored in the response payload (status, mask, head, ring), written
//     as head += 1; ring[head & mask] = c, with a free-running 16-bit head.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <string>
#include <vector>

namespace sim::lumarel {

class ShellConsole {
public:
    // Answers one input line (without its line end); the text returned is printed as it is.
    using LineHandler = std::function<std::string(const std::string& line)>;
    using Sink = std::function<void(const uint8_t* data, size_t n)>;

    void SetSink(Sink sink) { sink_ = std::move(sink); }
    void SetEcho(bool echo) { echo_ = echo; }
    bool Echo() const { return echo_; }
    void SetLineHandler(LineHandler handler) { handler_ = std::move(handler); }

    // Characters received from the host.
    void Input(const uint8_t* data, size_t n);
    // Output produced by the firmware (tests inject text this way).
    void Emit(const std::string& text);

    // Everything received so far (tests read it), and the line being typed.
    const std::string& Received() const { return received_; }

private:
    void Out(const uint8_t* data, size_t n) {
        if (sink_) sink_(data, n);
    }

    Sink sink_;
    bool echo_ = true;
    LineHandler handler_;
    std::string line_;
    std::string received_;
    bool lastWasCr_ = false;
};

// Transmit FIFO of protocols 1 and 3.
class ShellFifo {
public:
    explicit ShellFifo(size_t capacity = 8192) : capacity_(capacity) {}
    void Put(const uint8_t* data, size_t n);
    // Moves up to max characters out, oldest first.
    std::vector<uint8_t> Take(size_t max);
    size_t Pending() const { return fifo_.size(); }
    // Characters dropped because the FIFO was full since the last report; reading resets it.
    uint32_t TakeCharsLost() {
        uint32_t lost = charsLost_;
        charsLost_ = 0;
        return lost;
    }
    uint32_t TotalIn() const { return totalIn_; }
    uint32_t TotalOut() const { return totalOut_; }
    size_t Capacity() const { return capacity_; }
    void Clear() { fifo_.clear(); charsLost_ = 0; }

private:
    size_t capacity_;
    std::deque<uint8_t> fifo_;
    uint32_t charsLost_ = 0;
    uint32_t totalIn_ = 0;
    uint32_t totalOut_ = 0;
};

// Ring of protocol 2.
class ShellRing {
public:
    // size: a power of two from 4 to 1024 (header and ring fit one 2048-byte read).
    explicit ShellRing(uint16_t size = 1024);
    void Put(const uint8_t* data, size_t n);
    uint16_t Head() const { return head_; }
    uint16_t Mask() const { return uint16_t(ring_.size() - 1); }
    const std::vector<uint8_t>& Ring() const { return ring_; }
    // The payload image: status (4), mask (2), head (2), ring; fields in the device's order.
    void Render(uint8_t* out, bool bigEndian) const;
    size_t RenderedSize() const { return 8 + ring_.size(); }
    void Clear();

private:
    std::vector<uint8_t> ring_;
    uint16_t head_ = 0;
};

}  // namespace sim::lumarel
