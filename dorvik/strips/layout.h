// Where everything of the mixer panel's client area stands, how big it is and what colour it
// draws in. The skin generator paints the background artwork from these same numbers, so a
// control's captured background always holds the groove, button or dial drawn for it.
// Plain constants only: the generator and the strip set both include it.
#pragma once

#include <cstdint>

namespace dorvik::layout {

struct Rect {
    int x, y, w, h;
};

// The client area is the background bitmap.
inline constexpr int kBackWidth = 555;
inline constexpr int kBackHeight = 347;

// Strip tops and reference columns.
inline constexpr int kStripTop = 91;
inline constexpr int kPanPair = 4;
// Reference column of each pair's strip (pairs 0-6).
inline constexpr int kStripColumn[7] = {256, 312, 368, 424, 54, 125, 181};

// Faders: 17 x 180, positions 79 (-48 dB) to 127 (0 dB).
inline constexpr int kFaderWidth = 17;
inline constexpr int kFaderHeight = 180;
inline constexpr int kFaderMinimum = 79;
inline constexpr int kFaderMaximum = 127;
// The thumb: narrower than the fader, its top-left pixel the transparent key colour.
inline constexpr int kThumbWidth = 17;
inline constexpr int kThumbHeight = 22;

// Level fields 28 x 16, half a strip each, the two of a strip and those of neighbouring strips
// side by side: the widest level of the fader's scale (" -48dB") keeps a pixel clear of the box's
// edge on each side in their font. Toggles take the size of their "on" bitmap.
inline constexpr int kLevelFieldWidth = 28;
inline constexpr int kLevelFieldHeight = 16;
inline constexpr int kMuteWidth = 23;
inline constexpr int kMuteHeight = 14;
inline constexpr int kLinkWidth = 17;
inline constexpr int kLinkHeight = 12;

// Pan knobs (pair 4): 30 x 30, positions -127..127, indicator on a circle of radius 12.
inline constexpr int kKnobSize = 30;
inline constexpr int kKnobRange = 127;
inline constexpr int kKnobRadius = 12;
inline constexpr int kPointSize = 5;

// Offsets from a strip's reference column and top, per side (left, right).
struct StripGeometry {
    int faderX[2];
    int fieldX[2];
    int muteX[2];
    int linkX;
};
inline constexpr StripGeometry kPlainStrip{{-8, 21}, {-12, 16}, {-10, 18}, 7};
inline constexpr StripGeometry kPanStrip{{-8, 30}, {-12, 25}, {-10, 27}, 11};
inline constexpr int kFieldDy = 210;
inline constexpr int kMuteDy = 182;
inline constexpr int kLinkDy = 226;
inline constexpr int kKnobDx[2] = {-19, 28};
inline constexpr int kKnobDy = -37;

constexpr const StripGeometry& Geometry(int pair) { return pair == kPanPair ? kPanStrip : kPlainStrip; }
constexpr Rect FaderRect(int pair, int side) {
    return {kStripColumn[pair] + Geometry(pair).faderX[side], kStripTop, kFaderWidth, kFaderHeight};
}
constexpr Rect LevelFieldRect(int pair, int side) {
    return {kStripColumn[pair] + Geometry(pair).fieldX[side], kStripTop + kFieldDy, kLevelFieldWidth, kLevelFieldHeight};
}
constexpr Rect MuteRect(int pair, int side) {
    return {kStripColumn[pair] + Geometry(pair).muteX[side], kStripTop + kMuteDy, kMuteWidth, kMuteHeight};
}
constexpr Rect LinkRect(int pair) {
    return {kStripColumn[pair] + Geometry(pair).linkX, kStripTop + kLinkDy, kLinkWidth, kLinkHeight};
}
constexpr Rect KnobRect(int side) {
    return {kStripColumn[kPanPair] + kKnobDx[side], kStripTop + kKnobDy, kKnobSize, kKnobSize};
}

// Readouts at the right: the clock, the WDM and ASIO latencies and their labels.
inline constexpr Rect kClockField{494, 106, 60, 12};
inline constexpr Rect kWdmField{524, 175, 30, 15};
inline constexpr Rect kAsioField{524, 194, 30, 15};
inline constexpr Rect kWdmLabel{494, 175, 30, 15};
inline constexpr Rect kAsioLabel{494, 194, 30, 15};

// Colours as 0xRRGGBB.
inline constexpr uint32_t kFieldColour = 0x54A8C6;  // level, value and clock readouts: RGB(84, 168, 198)
inline constexpr uint32_t kLabelColour = 0xFF0000;  // the "WDM" and "ASIO" labels: red
inline constexpr uint32_t kThumbKeyColour = 0xFF00FF;  // the thumb's transparent colour

// The text font of the readouts. Heights are character cells (ascent and descent together). A
// level readout has at most the room of half a strip, 28 pixels, and the widest level text
// (" -48dB") takes 32 in the readouts' font: the levels under the faders take a font whose cell
// is two pixels lower, in which the ink of "-48dB" (a field leaves out the blanks) takes 24 of the
// 26 inside the box's edges.
inline constexpr const char* kFontFamily = "Arial";
inline constexpr int kFontHeight = 12;
inline constexpr int kLevelFontHeight = 10;
inline constexpr int kFontWeight = 400;

// Sizes of the remaining pictures: the window and tray icon and the About picture.
inline constexpr int kIconSize = 32;
inline constexpr int kAboutWidth = 64;
inline constexpr int kAboutHeight = 64;

}  // namespace dorvik::layout
