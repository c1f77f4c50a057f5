// Number and text conversions with the run time's own rules, which the programs' texts,
// settings and logs depend on:
// - CLng/CInt read a number the way the run time reads numeric text (blanks trimmed, sign,
//   decimals, exponent, "&H"/"&O" literals), round half to even, and raise 6 (Overflow) when
//   the value does not fit and 13 (Type mismatch) for text that is not a number.
// - Val reads the leading number of a text and never fails on trailing rubbish.
// - Hex prints upper case without leading zeros; negative values print their two's complement.
// - CStr of a Single prints up to 7 significant digits, CStr of a Double up to 15.
// - Texts are 8-bit strings in the Windows-1252 code page; the string helpers (InStr, UCase,
//   Trim, Left/Mid/Right ...) work on those bytes. Win1252ToUtf8/Utf8ToWin1252 cross to the
//   UTF-8 world (window toolkit, native file names).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace vb {

// ---- numbers from text --------------------------------------------------------------------

// Rounds half to even (the run time's rounding for every integer conversion).
double RoundHalfEven(double value);

// 32-bit integer of a number or numeric text. Error 6 when out of range, 13 when not a number.
// "&HFFFF" is 65535 here; "&HFFFFFFFF" is -1.
int32_t CLng(double value);
int32_t CLng(std::string_view text);
// 16-bit integer. "&HFFFF" is -1 here (a four-digit hex literal is a 16-bit pattern).
int16_t CInt(double value);
int16_t CInt(std::string_view text);
// Double of numeric text (the same reading as CLng without rounding); 13 when not a number.
double CDbl(std::string_view text);
// True when CDbl would succeed.
bool IsNumeric(std::string_view text);
// Boolean of a setting text: "True"/"False" (any case) or any number (0 = False); else 13.
bool CBool(std::string_view text);

// The leading number of a text, 0 when there is none. Blanks, tabs and line feeds are skipped
// anywhere, as the run time does; reading stops at the first other character that cannot
// continue the number ("7 WARNING" is 7). "&H"/"&O" literals up to &HFFFF are a 16-bit
// pattern ("&HFFFF" is -1), larger ones up to &HFFFFFFFF a 32-bit pattern; wider ones raise 6.
double Val(std::string_view text);

// ---- numbers to text ----------------------------------------------------------------------

// Hex digits, upper case, no leading zeros; negative values give the two's complement pattern
// of their width: Hex(int16_t(-1)) is "FFFF", Hex(int32_t(-1)) is "FFFFFFFF".
std::string Hex(int32_t value);
std::string Hex(int16_t value);
std::string Hex(uint32_t value);
// Octal digits in the same manner.
std::string Oct(int32_t value);

// Default texts of numbers: decimal integers; a Single with up to 7 significant digits, a
// Double with up to 15, no trailing zeros, "E+nn"/"E-nn" notation below 1E-4 and from 1E+7
// (Single) or 1E+15 (Double) on: 0.1f gives "0.1", 1e-5f gives "1E-05", 123456789.0f gives
// "1.234568E+08". Booleans are "True" and "False".
std::string CStr(int32_t value);
std::string CStr(int64_t value);
std::string CStr(float value);
std::string CStr(double value);
std::string CStr(bool value);

// Zero-padded decimal as Format(value, "000"): the pattern is a run of "0" characters giving
// the minimum digit count; the sign goes before the padding (-1 with "000" gives "-001").
// A pattern that is not all zeros raises 5.
std::string Format(int64_t value, std::string_view zeros);

// ---- Windows-1252 ------------------------------------------------------------------------

// Unicode code point of a Windows-1252 byte (the five unassigned bytes map to U+0081 etc.).
char32_t Win1252ToUnicode(uint8_t byte);
// Windows-1252 byte of a code point, or -1 when the code page has no such character.
int UnicodeToWin1252(char32_t codePoint);
// 8-bit text to UTF-8.
std::string Win1252ToUtf8(std::string_view text);
// UTF-8 to 8-bit text; nullopt when a character has no byte in the code page or the input is
// not valid UTF-8.
std::optional<std::string> Utf8ToWin1252(std::string_view utf8);
// True when the bytes are well-formed UTF-8.
bool IsValidUtf8(std::string_view text);

// 8-bit text <-> bytes (one byte per character, as the code page stores it).
std::vector<uint8_t> TextToBytes(std::string_view text);
std::string BytesToText(const std::vector<uint8_t>& bytes);

// The character of a code (0..255) and the code of a text's first character (error 5 for an
// empty text or a code out of range).
std::string Chr(int32_t code);
int32_t Asc(std::string_view text);

// ---- strings ------------------------------------------------------------------------------

enum class Compare { Binary, Text };  // Text: without regard to case (Windows-1252 letters)

std::string UCase(std::string_view text);
std::string LCase(std::string_view text);

// Blanks (" ") only; tabs and line ends stay.
std::string Trim(std::string_view text);
std::string LTrim(std::string_view text);
std::string RTrim(std::string_view text);

// Left/Right: error 5 for a negative length; a length beyond the text gives the whole text.
std::string Left(std::string_view text, int64_t length);
std::string Right(std::string_view text, int64_t length);
// Mid: 1-based start; error 5 for start < 1 or a negative length; a start beyond the text
// gives "". Without a length, to the end.
std::string Mid(std::string_view text, int64_t start);
std::string Mid(std::string_view text, int64_t start, int64_t length);

// 1-based position of `find` in `text` from `start` (default 1), 0 when absent. An empty
// `find` gives `start` (0 when start is beyond the text). Error 5 for start < 1.
int32_t InStr(std::string_view text, std::string_view find, Compare compare = Compare::Binary);
int32_t InStr(int64_t start, std::string_view text, std::string_view find,
              Compare compare = Compare::Binary);
// Case-insensitive shorthand: InStr(text, find, Compare::Text).
int32_t InStrText(std::string_view text, std::string_view find);
// Last occurrence, 1-based, 0 when absent.
int32_t InStrRev(std::string_view text, std::string_view find, Compare compare = Compare::Binary);

// Replaces every occurrence from left to right (the replacement text is not searched again).
std::string Replace(std::string_view text, std::string_view find, std::string_view with,
                    Compare compare = Compare::Binary);

// Equality with the given comparison.
bool StrEqual(std::string_view a, std::string_view b, Compare compare = Compare::Binary);

}  // namespace vb
