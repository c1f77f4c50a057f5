// INF files: the text files that describe a driver package.
//
// An INF is made of "[Section]" headers and lines below them. A line is an optional key before
// "=" and a list of fields separated by commas:
//
//   [Manufacturer]
//   %Mfg% = Models, NTx86          ; key "%Mfg%" (after substitution), fields "Models", "NTx86"
//   [Models]
//   %Desc% = Install, 1394\Halvorin_Inc&LUMA_Rel, 1394\A02D&10001
//
// Section names compare without regard to case, and a section that appears twice is one section
// with the lines of both. ";" starts a comment outside quotes; a "\" at the end of a line joins
// the next line to it. Fields are trimmed; double quotes around a field (or a part of it) are
// removed, and "" inside quotes stands for one quote. "%name%" is replaced by the value of
// "name" in [Strings] (without regard to case; an unknown name stays as written), "%%" by one
// "%". The texts are 8-bit, as the file holds them.
//
// Opened in the "Windows 4" style an INF must have a [Version] section whose Signature is
// "$Windows NT$", "$Chicago$" or "$Windows 95$" (any case).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace devices {

// An INF file larger than this is refused as a whole (ERROR_NOT_ENOUGH_MEMORY).
inline constexpr size_t kMaxInfBytes = 4u << 20;

struct InfLine {
    std::optional<std::string> key;
    std::vector<std::string> fields;  // after the key; none for "Key =" with nothing after it
};

struct InfSection {
    std::string name;
    std::vector<InfLine> lines;
};

class InfText {
public:
    // Parses the text of an INF (see above). Never fails: what cannot be read as a line is left
    // out.
    static InfText Parse(std::string_view text);

    // The section of that name (without regard to case), or null.
    const InfSection* Find(std::string_view section) const;
    const std::vector<InfSection>& Sections() const { return sections_; }
    // True when [Version] carries a "Windows 4" signature.
    bool IsWin4() const;

private:
    std::vector<InfSection> sections_;
    std::unordered_map<std::string, size_t> index_;  // lower-case name -> section
};

// The hardware IDs that the models sections of an INF name (every field after the first on each
// models line: the hardware ID and the compatible IDs), in file order; nullopt when the INF
// cannot be opened in the Windows 4 style.
std::optional<std::vector<std::string>> InfModelHardwareIds(const std::string& path);

// ---- the installer's INF calls ------------------------------------------------------------

using HINF = void*;
inline HINF const INVALID_HANDLE_VALUE = reinterpret_cast<HINF>(~uintptr_t(0));
inline constexpr uint32_t INF_STYLE_OLDNT = 0x1;
inline constexpr uint32_t INF_STYLE_WIN4 = 0x2;

// A position in an open INF: a section and a line in it.
struct INFCONTEXT {
    HINF Inf = nullptr;
    HINF CurrentInf = nullptr;
    uint32_t Section = 0;
    uint32_t Line = 0;
};

// Opens an INF (Windows-style path). INVALID_HANDLE_VALUE on failure: ERROR_FILE_NOT_FOUND or
// ERROR_PATH_NOT_FOUND for a missing file, ERROR_WRONG_INF_STYLE when the style is not met,
// ERROR_NOT_ENOUGH_MEMORY for a file beyond kMaxInfBytes. Fault subject: the file name.
HINF SetupOpenInfFileA(const char* fileName, const char* infClass, uint32_t infStyle, uint32_t* errorLine);
void SetupCloseInfFile(HINF inf);
// The first line of a section (with `key`, when given, the first line with that key).
// ERROR_LINE_NOT_FOUND when there is none (also for a missing section).
bool SetupFindFirstLineA(HINF inf, const char* section, const char* key, INFCONTEXT* context);
// The next line of the same section; ERROR_LINE_NOT_FOUND after the last.
bool SetupFindNextLine(const INFCONTEXT* in, INFCONTEXT* out);
// The number of fields after the key; 0 for a bad context.
uint32_t SetupGetFieldCount(const INFCONTEXT* context);
// Field `index` (0 is the key, empty when the line has none) as a NUL-terminated text. With no
// buffer only the size (with its NUL) is reported; a buffer too small fails with
// ERROR_INSUFFICIENT_BUFFER; an index past the last field with ERROR_INVALID_PARAMETER.
bool SetupGetStringFieldA(const INFCONTEXT* context, uint32_t index, char* buffer, uint32_t size,
                          uint32_t* requiredSize);

}  // namespace devices
