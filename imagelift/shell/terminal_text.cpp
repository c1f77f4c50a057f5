#include "shell/terminal_text.h"

#include <algorithm>

namespace imagelift_shell {

namespace {

constexpr uint8_t kBackspace = 8;
constexpr size_t kRingSize = size_t(basBootloader::kShellBufferSize);

bool ringIsWhole(const ByteArray& ring, int32_t writePos) {
    return ring.size() == kRingSize && writePos >= 0 && size_t(writePos) < kRingSize;
}

}  // namespace

ShellOutputEdit ComposeShellOutput(const ByteArray& bytes) {
    ShellOutputEdit edit;
    if (bytes.size() == 1 && bytes[0] == 0) return edit;
    // `count` is the read's net length so far; once the read's own text is used up, a further
    // backspace reaches back into the box, never further than the lowest count reached.
    //
    // The text never holds a CR except in front of an LF, or a trailing one left when a
    // backspace took the LF of a line break; the next character drops that one. This keeps
    // the rule "drop every CR, make every LF a CR LF" without rescanning the text per byte.
    int32_t count = 0;
    std::string& text = edit.Text;
    text.reserve(bytes.size() + bytes.size() / 8);
    for (uint8_t b : bytes) {
        if (b == kBackspace) {
            --count;
            if (!text.empty()) text.pop_back();
            else edit.BackReach = std::min(edit.BackReach, count);
            continue;
        }
        ++count;
        if (!text.empty() && text.back() == '\r') text.pop_back();
        if (b == '\r') continue;
        if (b == '\n') {
            text += "\r\n";
        } else {
            text += b == 0 ? ' ' : char(b);
        }
    }
    return edit;
}

int32_t ShellOutputStart(int32_t boxLength, const ShellOutputEdit& edit) {
    return int32_t(std::max<int64_t>(0, int64_t(boxLength) + edit.BackReach));
}

void AppendToShellRing(ByteArray& ring, int32_t& writePos, const ByteArray& bytes) {
    if (!ringIsWhole(ring, writePos)) {
        ring.assign(kRingSize, 0);
        writePos = 0;
    }
    size_t pos = size_t(writePos);
    for (uint8_t b : bytes) {
        ring[pos] = b == 0 ? uint8_t(' ') : b;
        if (++pos == kRingSize) pos = 0;
    }
    writePos = int32_t(pos);
}

std::vector<ByteArray> ShellRingHistory(const ByteArray& ring, int32_t writePos) {
    std::vector<ByteArray> pieces;
    if (!ringIsWhole(ring, writePos)) return pieces;
    const auto at = ring.begin() + writePos;
    // Every byte ever written is nonzero, so a written byte at the write position means the
    // ring has wrapped and that byte is the oldest one kept.
    if (*at != 0) pieces.emplace_back(at, ring.end());
    if (writePos > 0 && ring[0] != 0) pieces.emplace_back(ring.begin(), at);
    return pieces;
}

}  // namespace imagelift_shell
