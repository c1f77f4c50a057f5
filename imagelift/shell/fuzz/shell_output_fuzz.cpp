// Fuzz target: what the shell window does with a target's console bytes. The input is cut into
// reads (the first byte of the input gives the largest read); each read is turned into the edit
// of the terminal box and appended to a history ring, and the ring's history is taken back.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "shell/terminal_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace imagelift_shell;
    if (size == 0) return 0;
    const size_t largest = size_t(data[0]) + 1;
    ByteArray ring;
    int32_t writePos = 0;
    int32_t box = 0;
    size_t total = 0;
    for (size_t at = 1; at < size;) {
        const size_t n = std::min(largest, size - at);
        const ByteArray read(data + at, data + at + n);
        at += n;

        const ShellOutputEdit edit = ComposeShellOutput(read);
        // Backspaces never reach further back than the read's length; CRs stand only before LFs
        // or, taken apart by a backspace, at the very end.
        if (edit.BackReach > 0 || -int64_t(edit.BackReach) > int64_t(n)) std::abort();
        for (size_t i = 0; i < edit.Text.size(); ++i)
            if (edit.Text[i] == '\r' && i + 1 < edit.Text.size() && edit.Text[i + 1] != '\n') std::abort();
        const int32_t start = ShellOutputStart(box, edit);
        if (start < 0 || start > box) std::abort();
        box = start + int32_t(edit.Text.size());

        AppendToShellRing(ring, writePos, read);
        total += n;
    }
    size_t replayed = 0;
    for (const ByteArray& piece : ShellRingHistory(ring, writePos)) {
        for (uint8_t b : piece)
            if (b == 0) std::abort();
        replayed += piece.size();
    }
    if (replayed != std::min<size_t>(total, size_t(basBootloader::kShellBufferSize))) std::abort();
    return 0;
}
