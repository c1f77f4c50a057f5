// What the shell window sends to a target's console for the keys typed into it, and the polling
// period it accepts.
//
// Keys: the arrow keys go out as the terminal's escape sequences (ESC "[" "A" to "D"), one byte
// per write. Every other key that produces a character (letters, Return 13, Backspace 8, Tab 9,
// Esc 27, Ctrl+letter 1 to 26) goes out as that one byte; Ctrl+V (22) pastes instead: the
// clipboard's text in one write, nothing when the clipboard is empty. There is no local echo.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootloader/records.h"

namespace imagelift_shell {

using basBootloader::ByteArray;

// Key codes of the arrow keys.
inline constexpr int32_t vbKeyLeft = 37;
inline constexpr int32_t vbKeyUp = 38;
inline constexpr int32_t vbKeyRight = 39;
inline constexpr int32_t vbKeyDown = 40;
// The character of Ctrl+V.
inline constexpr int32_t kPasteKey = 22;

// The three characters an arrow key sends (each written on its own); empty for any other key.
ByteArray ArrowKeySequence(int32_t keyCode);

// The one write a typed character makes: the character itself, or for Ctrl+V the clipboard's
// text (8-bit text). Empty: nothing to send.
ByteArray TypedCharacterData(int32_t keyAscii, const std::string& clipboardText);

// The polling period, in milliseconds, that the platform's timer takes.
inline constexpr int32_t kMinPollingMs = 1;
inline constexpr int32_t kMaxPollingMs = 65535;
inline constexpr int32_t kDefaultPollingMs = 200;

// The period an answer to the polling-rate question asks for: its leading number rounded to a
// whole number (halves to even). Nothing when that is outside 1 to 65535 ms, or the answer
// holds no leading number: the period then stays as it was.
std::optional<int32_t> PollingPeriodFromAnswer(const std::string& answer);

// The period a stored setting gives: the stored text read as a whole number; the default 200 ms
// when it is not a number or lies outside 1 to 65535 ms.
int32_t PollingPeriodFromSetting(const std::string& stored);

}  // namespace imagelift_shell
