#include "device/shell.h"

#include <algorithm>

#include "bus/wire.h"

namespace sim::lumarel {

void ShellConsole::Input(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        const uint8_t c = data[i];
        received_.push_back(char(c));
        const bool lineEnd = c == '\r' || c == '\n';
        // CR LF (or LF CR) ends one line, not two.
        if (lineEnd && lastWasCr_ && c == '\n') {
            lastWasCr_ = false;
            continue;
        }
        lastWasCr_ = c == '\r';
        if (lineEnd) {
            if (echo_) Out(reinterpret_cast<const uint8_t*>("\r\n"), 2);
            std::string line;
            line.swap(line_);
            if (handler_) {
                const std::string reply = handler_(line);
                Out(reinterpret_cast<const uint8_t*>(reply.data()), reply.size());
            }
            continue;
        }
        if (c == 0x08 || c == 0x7F) {  // backspace edits the line being typed
            if (!line_.empty()) line_.pop_back();
        } else {
            line_.push_back(char(c));
        }
        if (echo_) Out(&c, 1);
    }
}

void ShellConsole::Emit(const std::string& text) {
    Out(reinterpret_cast<const uint8_t*>(text.data()), text.size());
}

void ShellFifo::Put(const uint8_t* data, size_t n) {
    for (size_t i = 0; i < n; ++i) {
        ++totalIn_;
        if (fifo_.size() >= capacity_) {
            ++charsLost_;
            continue;
        }
        fifo_.push_back(data[i]);
    }
}

std::vector<uint8_t> ShellFifo::Take(size_t max) {
    const size_t n = std::min(max, fifo_.size());
    std::vector<uint8_t> out(fifo_.begin(), fifo_.begin() + std::ptrdiff_t(n));
    fifo_.erase(fifo_.begin(), fifo_.begin() + std::ptrdiff_t(n));
    totalOut_ += uint32_t(n);
    return out;
}

static uint16_t RingSize(uint16_t wanted) {
    uint16_t size = 4;
    while (size < wanted && size < 1024) size = uint16_t(size * 2);
    return size;
}

ShellRing::ShellRing(uint16_t size) : ring_(RingSize(size), 0) {}

void ShellRing::Put(const uint8_t* data, size_t n) {
    const uint16_t mask = Mask();
    for (size_t i = 0; i < n; ++i) {
        head_ = uint16_t(head_ + 1);
        ring_[head_ & mask] = data[i];
    }
}

void ShellRing::Render(uint8_t* out, bool bigEndian) const {
    wire::Put32(out, 0, bigEndian);  // status: the UART is fine
    wire::Put16(out + 4, Mask(), bigEndian);
    wire::Put16(out + 6, head_, bigEndian);
    std::copy(ring_.begin(), ring_.end(), out + 8);
}

void ShellRing::Clear() {
    std::fill(ring_.begin(), ring_.end(), 0);
    head_ = 0;
}

}  // namespace sim::lumarel
