#include "vbrt/convert.h"

#include "vbrt/error.h"

#include <array>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <type_traits>

namespace vb {

namespace {

constexpr const char* kSource = "vbrt";

bool IsBlankOrTab(char c) { return c == ' ' || c == '\t'; }

std::string_view TrimBlanksAndTabs(std::string_view s) {
    while (!s.empty() && IsBlankOrTab(s.front())) s.remove_prefix(1);
    while (!s.empty() && IsBlankOrTab(s.back())) s.remove_suffix(1);
    return s;
}

int HexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

int DigitValue(char c, int radix) {
    int d = HexDigitValue(c);
    return (d >= 0 && d < radix) ? d : -1;
}

// A numeric literal read from text: either a radix literal ("&H..", "&O..") with its unsigned
// value, or a decimal number.
struct Literal {
    bool radix = false;
    uint64_t bits = 0;     // radix literal value (saturated above 64 bits)
    bool tooWide = false;  // radix literal wider than 32 bits
    double value = 0;      // decimal value
};

// Reads "&H"/"&O" digits from s (after the prefix). Returns the count of characters used.
size_t ReadRadixDigits(std::string_view s, int radix, Literal& lit) {
    size_t i = 0;
    for (; i < s.size(); ++i) {
        int d = DigitValue(s[i], radix);
        if (d < 0) break;
        if (lit.bits > (std::numeric_limits<uint64_t>::max() >> 4)) lit.tooWide = true;
        lit.bits = lit.bits * uint64_t(radix) + uint64_t(d);
    }
    if (lit.bits > 0xFFFFFFFFull) lit.tooWide = true;
    return i;
}

int RadixOf(std::string_view s) {
    if (s.size() >= 2 && s[0] == '&') {
        if (s[1] == 'H' || s[1] == 'h') return 16;
        if (s[1] == 'O' || s[1] == 'o') return 8;
    }
    return 0;
}

// Length of the longest decimal number at the start of s: [+-] digits [. digits] [E|D [+-] digits].
// Returns 0 when no digit is present; an exponent marker without digits is not part of it.
size_t ScanDecimal(std::string_view s) {
    size_t i = 0;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) ++i;
    size_t digits = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    if (i < s.size() && s[i] == '.') {
        ++i;
        while (i < s.size() && s[i] >= '0' && s[i] <= '9') ++i, ++digits;
    }
    if (digits == 0) return 0;
    if (i < s.size() && (s[i] == 'e' || s[i] == 'E' || s[i] == 'd' || s[i] == 'D')) {
        size_t j = i + 1;
        if (j < s.size() && (s[j] == '+' || s[j] == '-')) ++j;
        size_t expDigits = 0;
        while (j < s.size() && s[j] >= '0' && s[j] <= '9') ++j, ++expDigits;
        if (expDigits > 0) i = j;
    }
    return i;
}

double DecimalValue(std::string_view s) {
    std::string copy(s);
    for (char& c : copy)
        if (c == 'd' || c == 'D') c = 'e';
    return std::strtod(copy.c_str(), nullptr);
}

// The whole text as a number, as the run time's conversions read it; nullopt when it is not one.
std::optional<Literal> ParseWhole(std::string_view text) {
    std::string_view s = TrimBlanksAndTabs(text);
    Literal lit;
    if (int radix = RadixOf(s)) {
        std::string_view digits = s.substr(2);
        if (digits.empty() || ReadRadixDigits(digits, radix, lit) != digits.size()) return {};
        lit.radix = true;
        return lit;
    }
    size_t n = ScanDecimal(s);
    if (n == 0 || n != s.size()) return {};
    lit.value = DecimalValue(s);
    return lit;
}

Literal ParseWholeOrRaise(std::string_view text) {
    auto lit = ParseWhole(text);
    if (!lit) Raise(13, kSource);
    return *lit;
}

// The value of a radix literal as the run time gives it: up to 16 bits a 16-bit pattern.
double RadixValueWidthByValue(const Literal& lit) {
    if (lit.tooWide) Raise(6, kSource);
    if (lit.bits <= 0xFFFF) return double(int16_t(uint16_t(lit.bits)));
    return double(int32_t(uint32_t(lit.bits)));
}

// Windows-1252 bytes 0x80..0x9F.
constexpr std::array<char16_t, 32> kHighControls = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021,
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F,
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

uint8_t ToUpper1252(uint8_t c) {
    if (c >= 'a' && c <= 'z') return uint8_t(c - 0x20);
    if (c == 0x9A || c == 0x9C || c == 0x9E) return uint8_t(c - 0x10);  // š œ ž
    if (c == 0xFF) return 0x9F;                                       // ÿ
    if (c >= 0xE0 && c <= 0xFE && c != 0xF7) return uint8_t(c - 0x20);
    return c;
}

uint8_t ToLower1252(uint8_t c) {
    if (c >= 'A' && c <= 'Z') return uint8_t(c + 0x20);
    if (c == 0x8A || c == 0x8C || c == 0x8E) return uint8_t(c + 0x10);
    if (c == 0x9F) return 0xFF;
    if (c >= 0xC0 && c <= 0xDE && c != 0xD7) return uint8_t(c + 0x20);
    return c;
}

bool CharEqual(char a, char b, Compare compare) {
    if (compare == Compare::Binary) return a == b;
    return ToLower1252(uint8_t(a)) == ToLower1252(uint8_t(b));
}

// 0-based index of find in text at or after from; npos when absent.
size_t Find(std::string_view text, std::string_view find, size_t from, Compare compare) {
    if (find.size() > text.size()) return std::string_view::npos;
    for (size_t i = from; i + find.size() <= text.size(); ++i) {
        size_t k = 0;
        while (k < find.size() && CharEqual(text[i + k], find[k], compare)) ++k;
        if (k == find.size()) return i;
    }
    return std::string_view::npos;
}

// Decodes one UTF-8 sequence at s[i]; returns the code point and advances i, or -1 on bad input.
int64_t DecodeUtf8(std::string_view s, size_t& i) {
    auto b = uint8_t(s[i]);
    int len = b < 0x80 ? 1 : (b >> 5) == 0x6 ? 2 : (b >> 4) == 0xE ? 3 : (b >> 3) == 0x1E ? 4 : 0;
    if (len == 0 || i + len > s.size()) return -1;
    uint32_t cp = len == 1 ? b : len == 2 ? (b & 0x1F) : len == 3 ? (b & 0x0F) : (b & 0x07);
    for (int k = 1; k < len; ++k) {
        auto c = uint8_t(s[i + k]);
        if ((c & 0xC0) != 0x80) return -1;
        cp = (cp << 6) | (c & 0x3F);
    }
    static constexpr uint32_t kMin[] = {0, 0, 0x80, 0x800, 0x10000};
    if (cp < kMin[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return -1;
    i += len;
    return cp;
}

void AppendUtf8(std::string& out, char32_t cp) {
    if (cp < 0x80) {
        out += char(cp);
    } else if (cp < 0x800) {
        out += char(0xC0 | (cp >> 6));
        out += char(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += char(0xE0 | (cp >> 12));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    } else {
        out += char(0xF0 | (cp >> 18));
        out += char(0x80 | ((cp >> 12) & 0x3F));
        out += char(0x80 | ((cp >> 6) & 0x3F));
        out += char(0x80 | (cp & 0x3F));
    }
}

std::string FloatText(double value, int digits) {
    if (std::isnan(value)) return "-1.#IND";
    if (std::isinf(value)) return value > 0 ? "1.#INF" : "-1.#INF";
    if (value == 0) return "0";  // also negative zero
    char buf[64];
    std::snprintf(buf, sizeof buf, "%.*G", digits, value);
    return buf;
}

}  // namespace

// ---- numbers from text --------------------------------------------------------------------

double RoundHalfEven(double value) {
    if (!std::isfinite(value)) return value;
    double lower = std::floor(value);
    double diff = value - lower;
    if (diff < 0.5) return lower;
    if (diff > 0.5) return lower + 1;
    return std::fmod(lower, 2.0) == 0 ? lower : lower + 1;
}

namespace {

// Rounds half to even into Int; 6 when the result does not fit.
template <class Int>
Int RoundTo(double value) {
    double r = RoundHalfEven(value);
    if (!(r >= double(std::numeric_limits<Int>::min()) && r <= double(std::numeric_limits<Int>::max())))
        Raise(6, kSource);
    return Int(r);
}

// Numeric text into Int; a radix literal is the bit pattern of Int's width.
template <class Int>
Int TextTo(std::string_view text) {
    using UInt = std::make_unsigned_t<Int>;
    Literal lit = ParseWholeOrRaise(text);
    if (!lit.radix) return RoundTo<Int>(lit.value);
    if (lit.tooWide || lit.bits > std::numeric_limits<UInt>::max()) Raise(6, kSource);
    return Int(UInt(lit.bits));
}

}  // namespace

int32_t CLng(double value) { return RoundTo<int32_t>(value); }
int32_t CLng(std::string_view text) { return TextTo<int32_t>(text); }
int16_t CInt(double value) { return RoundTo<int16_t>(value); }
int16_t CInt(std::string_view text) { return TextTo<int16_t>(text); }

double CDbl(std::string_view text) {
    Literal lit = ParseWholeOrRaise(text);
    if (lit.radix) {
        if (lit.tooWide) Raise(6, kSource);
        return double(int32_t(uint32_t(lit.bits)));
    }
    if (std::isinf(lit.value)) Raise(6, kSource);
    return lit.value;
}

bool IsNumeric(std::string_view text) {
    auto lit = ParseWhole(text);
    return lit && !(lit->radix && lit->tooWide) && !std::isinf(lit->value);
}

bool CBool(std::string_view text) {
    std::string_view s = TrimBlanksAndTabs(text);
    if (StrEqual(s, "True", Compare::Text)) return true;
    if (StrEqual(s, "False", Compare::Text)) return false;
    return CDbl(s) != 0;
}

double Val(std::string_view text) {
    std::string s;
    s.reserve(text.size());
    for (char c : text)
        if (c != ' ' && c != '\t' && c != '\n') s += c;
    if (int radix = RadixOf(s)) {
        Literal lit;
        if (ReadRadixDigits(std::string_view(s).substr(2), radix, lit) == 0) return 0;
        return RadixValueWidthByValue(lit);
    }
    size_t n = ScanDecimal(s);
    if (n == 0) return 0;
    double v = DecimalValue(std::string_view(s).substr(0, n));
    if (std::isinf(v)) Raise(6, kSource);
    return v;
}

// ---- numbers to text ----------------------------------------------------------------------

std::string Hex(uint32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%X", value);
    return buf;
}

std::string Hex(int32_t value) { return Hex(uint32_t(value)); }

std::string Hex(int16_t value) { return Hex(uint32_t(uint16_t(value))); }

std::string Oct(int32_t value) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "%o", uint32_t(value));
    return buf;
}

std::string CStr(int32_t value) { return std::to_string(value); }
std::string CStr(int64_t value) { return std::to_string(value); }
std::string CStr(float value) { return FloatText(value, 7); }
std::string CStr(double value) { return FloatText(value, 15); }
std::string CStr(bool value) { return value ? "True" : "False"; }

std::string Format(int64_t value, std::string_view zeros) {
    if (zeros.find_first_not_of('0') != std::string_view::npos) Raise(5, kSource);
    uint64_t magnitude = value < 0 ? uint64_t(0) - uint64_t(value) : uint64_t(value);
    std::string digits = std::to_string(magnitude);
    if (digits.size() < zeros.size()) digits.insert(0, zeros.size() - digits.size(), '0');
    return value < 0 ? "-" + digits : digits;
}

// ---- Windows-1252 ------------------------------------------------------------------------

char32_t Win1252ToUnicode(uint8_t byte) {
    if (byte >= 0x80 && byte <= 0x9F) return kHighControls[byte - 0x80];
    return byte;
}

int UnicodeToWin1252(char32_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF)) return int(codePoint);
    for (size_t i = 0; i < kHighControls.size(); ++i)
        if (kHighControls[i] == codePoint) return int(0x80 + i);
    return -1;
}

std::string Win1252ToUtf8(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (char c : text) AppendUtf8(out, Win1252ToUnicode(uint8_t(c)));
    return out;
}

std::optional<std::string> Utf8ToWin1252(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (size_t i = 0; i < utf8.size();) {
        int64_t cp = DecodeUtf8(utf8, i);
        if (cp < 0) return std::nullopt;
        int b = UnicodeToWin1252(char32_t(cp));
        if (b < 0) return std::nullopt;
        out += char(b);
    }
    return out;
}

bool IsValidUtf8(std::string_view text) {
    for (size_t i = 0; i < text.size();)
        if (DecodeUtf8(text, i) < 0) return false;
    return true;
}

std::vector<uint8_t> TextToBytes(std::string_view text) { return {text.begin(), text.end()}; }

std::string BytesToText(const std::vector<uint8_t>& bytes) { return {bytes.begin(), bytes.end()}; }

std::string Chr(int32_t code) {
    if (code < 0 || code > 255) Raise(5, kSource);
    return std::string(1, char(code));
}

int32_t Asc(std::string_view text) {
    if (text.empty()) Raise(5, kSource);
    return uint8_t(text[0]);
}

// ---- strings ------------------------------------------------------------------------------

std::string UCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(ToUpper1252(uint8_t(c)));
    return out;
}

std::string LCase(std::string_view text) {
    std::string out(text);
    for (char& c : out) c = char(ToLower1252(uint8_t(c)));
    return out;
}

std::string LTrim(std::string_view text) {
    size_t i = text.find_first_not_of(' ');
    return i == std::string_view::npos ? std::string() : std::string(text.substr(i));
}

std::string RTrim(std::string_view text) {
    size_t i = text.find_last_not_of(' ');
    return i == std::string_view::npos ? std::string() : std::string(text.substr(0, i + 1));
}

std::string Trim(std::string_view text) { return LTrim(RTrim(text)); }

std::string Left(std::string_view text, int64_t length) {
    if (length < 0) Raise(5, kSource);
    return std::string(text.substr(0, size_t(std::min<int64_t>(length, int64_t(text.size())))));
}

std::string Right(std::string_view text, int64_t length) {
    if (length < 0) Raise(5, kSource);
    size_t n = size_t(std::min<int64_t>(length, int64_t(text.size())));
    return std::string(text.substr(text.size() - n));
}

std::string Mid(std::string_view text, int64_t start) {
    if (start < 1) Raise(5, kSource);
    if (start > int64_t(text.size())) return {};
    return std::string(text.substr(size_t(start - 1)));
}

std::string Mid(std::string_view text, int64_t start, int64_t length) {
    if (start < 1 || length < 0) Raise(5, kSource);
    if (start > int64_t(text.size())) return {};
    size_t from = size_t(start - 1);
    size_t n = size_t(std::min<int64_t>(length, int64_t(text.size() - from)));
    return std::string(text.substr(from, n));
}

int32_t InStr(int64_t start, std::string_view text, std::string_view find, Compare compare) {
    if (start < 1) Raise(5, kSource);
    if (start > int64_t(text.size())) return 0;
    if (find.empty()) return int32_t(start);
    size_t at = Find(text, find, size_t(start - 1), compare);
    return at == std::string_view::npos ? 0 : int32_t(at + 1);
}

int32_t InStr(std::string_view text, std::string_view find, Compare compare) {
    return InStr(1, text, find, compare);
}

int32_t InStrText(std::string_view text, std::string_view find) {
    return InStr(text, find, Compare::Text);
}

int32_t InStrRev(std::string_view text, std::string_view find, Compare compare) {
    if (find.empty()) return int32_t(text.size());
    if (find.size() > text.size()) return 0;
    for (size_t i = text.size() - find.size() + 1; i-- > 0;) {
        size_t k = 0;
        while (k < find.size() && CharEqual(text[i + k], find[k], compare)) ++k;
        if (k == find.size()) return int32_t(i + 1);
    }
    return 0;
}

std::string Replace(std::string_view text, std::string_view find, std::string_view with,
                    Compare compare) {
    if (find.empty()) return std::string(text);
    std::string out;
    size_t pos = 0;
    for (;;) {
        size_t at = Find(text, find, pos, compare);
        if (at == std::string_view::npos) break;
        out.append(text.substr(pos, at - pos));
        out.append(with);
        pos = at + find.size();
    }
    out.append(text.substr(pos));
    return out;
}

bool StrEqual(std::string_view a, std::string_view b, Compare compare) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (!CharEqual(a[i], b[i], compare)) return false;
    return true;
}

}  // namespace vb
