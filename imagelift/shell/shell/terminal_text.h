// What the shell window does with the characters a target's console sends: how a read shows in
// the terminal box, and the per-target history ring that a window attached later replays.
//
// The box is an append-only terminal. A read is turned into one edit at the end of the box: the
// text to put there and how far back from the end it starts. A backspace takes back the last
// character of the read itself, or, when the read has none left, one character already shown.
// A CR is dropped and an LF becomes CR LF, so that CR LF, a lone LF and a lone CR each give at
// most one line break. A NUL inside a read shows as a blank (the box would otherwise stop at
// it); a read of exactly one NUL byte means "no characters" and shows nothing.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bootloader/records.h"

namespace imagelift_shell {

using basBootloader::ByteArray;

// One edit of the box: remove BackReach characters (zero or negative: -n removes n) from the
// end, then append Text.
struct ShellOutputEdit {
    int32_t BackReach = 0;
    std::string Text;
};

// The edit that shows `bytes`. Linear in the read's length.
ShellOutputEdit ComposeShellOutput(const ByteArray& bytes);

// Where the edit starts in a box holding `boxLength` characters (CR LF counting two): never
// before the box's start.
int32_t ShellOutputStart(int32_t boxLength, const ShellOutputEdit& edit);

// The history ring of a target (its ShellBuffer, 16534 bytes, and ShellWritePos).
//
// AppendToShellRing stores each byte at the write position and moves it on, wrapping to 0 at the
// ring's end; a NUL is stored as a blank, so a zero byte in the ring only ever means "never
// written". A ring of the wrong size or a write position outside it (neither happens to a
// target made by the target list) is first made whole: the ring cleared to its full size, the
// position set to 0.
void AppendToShellRing(ByteArray& ring, int32_t& writePos, const ByteArray& bytes);

// The ring's history, oldest byte first, in the two pieces the window replays: the older piece
// from the write position to the end (only once the ring has wrapped, i.e. the byte at the write
// position has been written), then the piece from 0 up to the write position. Empty pieces are
// left out.
std::vector<ByteArray> ShellRingHistory(const ByteArray& ring, int32_t writePos);

}  // namespace imagelift_shell
