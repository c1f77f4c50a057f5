// Fonts as a window program asks for them: a face, a height in pixels and a weight.
#pragma once

#include <cstdint>
#include <string>

class QFont;

namespace forms {

// The font a program means by a face, a height and a weight (100 to 900, 400 normal).
// A positive height is the character cell: ascent and descent together, the height of a line of
// its text. A negative height is the em, the size the glyphs are designed on, which is what a
// pixel size names on this side (the cell of a face is some tenths taller than its em). Zero
// takes the desktop font's size. A cell height takes the largest whole em whose ascent and
// descent stay within it, so a text drawn in a box of that height shows whole. Fonts are measured
// by the desktop application, which must exist.
QFont LogicalFont(const std::string& face, int32_t height, int32_t weight = 400);

}  // namespace forms
