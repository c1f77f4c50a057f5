#include "shell/terminal_input.h"

#include <cmath>

#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace imagelift_shell {

namespace {

std::optional<int32_t> inRange(double ms) {
    if (!(ms >= kMinPollingMs && ms <= kMaxPollingMs)) return std::nullopt;
    return int32_t(ms);
}

}  // namespace

ByteArray ArrowKeySequence(int32_t keyCode) {
    constexpr uint8_t esc = 27, bracket = '[';
    switch (keyCode) {
    case vbKeyUp: return {esc, bracket, 'A'};
    case vbKeyDown: return {esc, bracket, 'B'};
    case vbKeyRight: return {esc, bracket, 'C'};
    case vbKeyLeft: return {esc, bracket, 'D'};
    default: return {};
    }
}

ByteArray TypedCharacterData(int32_t keyAscii, const std::string& clipboardText) {
    if (keyAscii == kPasteKey) return ByteArray(clipboardText.begin(), clipboardText.end());
    if (keyAscii < 0 || keyAscii > 255) return {};
    return ByteArray{uint8_t(keyAscii)};
}

std::optional<int32_t> PollingPeriodFromAnswer(const std::string& answer) {
    try {
        return inRange(vb::RoundHalfEven(vb::Val(answer)));
    } catch (const vb::Error&) {
        // A hexadecimal literal too wide for 32 bits.
        return std::nullopt;
    }
}

int32_t PollingPeriodFromSetting(const std::string& stored) {
    try {
        if (!vb::IsNumeric(stored)) return kDefaultPollingMs;
        return inRange(vb::RoundHalfEven(vb::CDbl(stored))).value_or(kDefaultPollingMs);
    } catch (const vb::Error&) {
        return kDefaultPollingMs;
    }
}

}  // namespace imagelift_shell
