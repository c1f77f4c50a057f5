#include "devices/inf.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <memory>
#include <mutex>
#include <set>
#include <unordered_map>

#include "devices/errors.h"
#include "devices/store.h"
#include "fs/fs.h"
#include "vbrt/convert.h"

namespace devices {

namespace {

bool EqualNoCase(std::string_view a, std::string_view b) { return vb::StrEqual(a, b, vb::Compare::Text); }

// The line up to a ";" that stands outside quotes.
std::string_view StripComment(std::string_view line) {
    bool quoted = false;
    for (size_t i = 0; i < line.size(); ++i) {
        if (line[i] == '"') quoted = !quoted;
        else if (line[i] == ';' && !quoted) return line.substr(0, i);
    }
    return line;
}

// Splits at `separator` where it stands outside quotes; `limit` parts at most (the last part
// keeps the rest).
std::vector<std::string_view> SplitOutsideQuotes(std::string_view text, char separator, size_t limit) {
    std::vector<std::string_view> parts;
    bool quoted = false;
    size_t start = 0;
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '"') quoted = !quoted;
        else if (text[i] == separator && !quoted && parts.size() + 1 < limit) {
            parts.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    parts.push_back(text.substr(start));
    return parts;
}

// Trims the raw field, then removes its quotes ("" inside quotes is one quote).
std::string Unquote(std::string_view raw) {
    std::string trimmed = TrimWhite(raw);
    std::string out;
    bool quoted = false;
    for (size_t i = 0; i < trimmed.size(); ++i) {
        char c = trimmed[i];
        if (c != '"') {
            out += c;
        } else if (quoted && i + 1 < trimmed.size() && trimmed[i + 1] == '"') {
            out += '"';
            ++i;
        } else {
            quoted = !quoted;
        }
    }
    return out;
}

// The texts of [Strings] by their names in lower case.
using Strings = std::unordered_map<std::string, std::string>;

std::string Substitute(const std::string& text, const Strings& strings) {
    if (text.find('%') == std::string::npos) return text;
    std::string out;
    size_t i = 0;
    while (i < text.size()) {
        size_t open = text.find('%', i);
        if (open == std::string::npos) break;
        size_t close = text.find('%', open + 1);
        if (close == std::string::npos) break;
        out.append(text, i, open - i);
        std::string name = text.substr(open + 1, close - open - 1);
        if (name.empty()) {
            out += '%';
        } else {
            auto it = strings.find(vb::LCase(name));
            out += it != strings.end() ? it->second : text.substr(open, close - open + 1);
        }
        i = close + 1;
    }
    out.append(text, i, std::string::npos);
    return out;
}

// One INF opened through the installer's calls; the handle is its address.
struct OpenInf {
    InfText text;
};

std::mutex g_openMutex;
std::set<const OpenInf*> g_open;

const OpenInf* Lookup(HINF inf) {
    std::lock_guard<std::mutex> lock(g_openMutex);
    auto it = g_open.find(static_cast<const OpenInf*>(inf));
    return it == g_open.end() ? nullptr : *it;
}

const InfLine* LineAt(const INFCONTEXT* context) {
    if (!context) return nullptr;
    const OpenInf* inf = Lookup(context->CurrentInf);
    if (!inf) return nullptr;
    const auto& sections = inf->text.Sections();
    if (context->Section >= sections.size()) return nullptr;
    const auto& lines = sections[context->Section].lines;
    return context->Line < lines.size() ? &lines[context->Line] : nullptr;
}

}  // namespace

InfText InfText::Parse(std::string_view text) {
    InfText inf;
    // Raw lines first, keys and fields not yet substituted: [Strings] may stand anywhere.
    size_t current = SIZE_MAX;  // the section being read
    std::string pending;  // the start of a line continued with "\"
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string_view::npos) j = text.size();
        std::string_view physical = text.substr(i, j - i);
        i = j + 1;
        if (!physical.empty() && physical.back() == '\r') physical.remove_suffix(1);

        std::string piece = TrimWhite(StripComment(physical));
        if (!piece.empty() && piece.back() == '\\' && i < text.size()) {
            piece.pop_back();
            pending += piece;
            continue;
        }
        std::string trimmed = pending.empty() ? std::move(piece) : TrimWhite(pending + piece);
        pending.clear();
        if (trimmed.empty()) continue;
        if (trimmed.front() == '[') {
            size_t close = trimmed.find(']');
            std::string name = TrimWhite(std::string_view(trimmed).substr(1, close == std::string::npos ? std::string::npos : close - 1));
            auto [it, added] = inf.index_.try_emplace(vb::LCase(name), inf.sections_.size());
            if (added) inf.sections_.push_back({name, {}});
            current = it->second;
            continue;
        }
        if (current == SIZE_MAX) continue;  // lines before the first section belong to none

        InfLine parsed;
        auto keyAndValue = SplitOutsideQuotes(trimmed, '=', 2);
        std::string_view value = trimmed;
        if (keyAndValue.size() == 2) {
            parsed.key = std::string(keyAndValue[0]);
            value = keyAndValue[1];
        }
        if (!TrimWhite(value).empty() || !parsed.key) {
            for (std::string_view field : SplitOutsideQuotes(value, ',', SIZE_MAX)) parsed.fields.emplace_back(field);
        }
        inf.sections_[current].lines.push_back(std::move(parsed));
    }

    // Then the texts of [Strings] (quotes removed), and every key and field with them.
    Strings strings;
    if (const InfSection* s = inf.Find("Strings")) {
        for (const InfLine& line : s->lines) {
            if (line.key && !line.fields.empty()) strings.try_emplace(vb::LCase(Unquote(*line.key)), Unquote(line.fields[0]));
        }
    }
    for (InfSection& section : inf.sections_) {
        bool isStrings = EqualNoCase(section.name, "Strings");
        for (InfLine& line : section.lines) {
            if (line.key) line.key = isStrings ? Unquote(*line.key) : Substitute(Unquote(*line.key), strings);
            for (std::string& field : line.fields) field = isStrings ? Unquote(field) : Substitute(Unquote(field), strings);
        }
    }
    return inf;
}

const InfSection* InfText::Find(std::string_view section) const {
    auto it = index_.find(vb::LCase(section));
    return it == index_.end() ? nullptr : &sections_[it->second];
}

bool InfText::IsWin4() const {
    const InfSection* version = Find("Version");
    if (!version) return false;
    for (const InfLine& line : version->lines) {
        if (!line.key || !EqualNoCase(*line.key, "Signature") || line.fields.empty()) continue;
        const std::string& signature = line.fields[0];
        if (EqualNoCase(signature, "$Windows NT$") || EqualNoCase(signature, "$Chicago$") ||
            EqualNoCase(signature, "$Windows 95$"))
            return true;
    }
    return false;
}

std::optional<std::vector<std::string>> InfModelHardwareIds(const std::string& path) {
    HINF inf = SetupOpenInfFileA(path.c_str(), nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) return std::nullopt;
    std::vector<std::string> ids;
    const InfText& text = Lookup(inf)->text;
    if (const InfSection* manufacturer = text.Find("Manufacturer")) {
        for (const InfLine& m : manufacturer->lines) {
            if (m.fields.empty()) continue;
            const InfSection* models = text.Find(m.fields[0]);
            if (!models) continue;
            for (const InfLine& line : models->lines)
                for (size_t f = 1; f < line.fields.size(); ++f) ids.push_back(line.fields[f]);
        }
    }
    SetupCloseInfFile(inf);
    return ids;
}

// ---- the installer's INF calls ------------------------------------------------------------

HINF SetupOpenInfFileA(const char* fileName, const char* /*infClass*/, uint32_t infStyle, uint32_t* errorLine) {
    if (errorLine) *errorLine = 0;
    if (!fileName || !*fileName) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::filesystem::path native = fs::ToNativePath(fileName);
    if (auto fault = InjectedFault("SetupOpenInfFile", {native.filename().string()})) {
        SetLastError(*fault);
        return INVALID_HANDLE_VALUE;
    }
    std::error_code ec;
    if (!std::filesystem::is_regular_file(native, ec)) {
        SetLastError(std::filesystem::is_directory(native.parent_path(), ec) ? ERROR_FILE_NOT_FOUND
                                                                              : ERROR_PATH_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    auto bytes = ReadBoundedFile(native, kMaxInfBytes);
    if (!bytes) {
        auto size = std::filesystem::file_size(native, ec);
        SetLastError(!ec && size > kMaxInfBytes ? ERROR_NOT_ENOUGH_MEMORY : ERROR_ACCESS_DENIED);
        return INVALID_HANDLE_VALUE;
    }

    auto opened = std::make_unique<OpenInf>(OpenInf{InfText::Parse(*bytes)});
    if ((infStyle & INF_STYLE_WIN4) && !(infStyle & INF_STYLE_OLDNT) && !opened->text.IsWin4()) {
        SetLastError(ERROR_WRONG_INF_STYLE);
        return INVALID_HANDLE_VALUE;
    }
    std::lock_guard<std::mutex> lock(g_openMutex);
    g_open.insert(opened.get());
    return opened.release();
}

void SetupCloseInfFile(HINF inf) {
    std::lock_guard<std::mutex> lock(g_openMutex);
    auto it = g_open.find(static_cast<const OpenInf*>(inf));
    if (it == g_open.end()) return;
    delete *it;
    g_open.erase(it);
}

bool SetupFindFirstLineA(HINF inf, const char* section, const char* key, INFCONTEXT* context) {
    const OpenInf* open = Lookup(inf);
    if (!open || !section || !context) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (const InfSection* found = open->text.Find(section)) {
        const uint32_t s = uint32_t(found - open->text.Sections().data());
        for (uint32_t l = 0; l < found->lines.size(); ++l) {
            if (key && !(found->lines[l].key && EqualNoCase(*found->lines[l].key, key))) continue;
            *context = INFCONTEXT{inf, inf, s, l};
            return true;
        }
    }
    SetLastError(ERROR_LINE_NOT_FOUND);
    return false;
}

bool SetupFindNextLine(const INFCONTEXT* in, INFCONTEXT* out) {
    if (!in || !out || !LineAt(in)) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    INFCONTEXT next = *in;
    ++next.Line;
    if (!LineAt(&next)) {
        SetLastError(ERROR_LINE_NOT_FOUND);
        return false;
    }
    *out = next;
    return true;
}

uint32_t SetupGetFieldCount(const INFCONTEXT* context) {
    const InfLine* line = LineAt(context);
    if (!line) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    return uint32_t(line->fields.size());
}

bool SetupGetStringFieldA(const INFCONTEXT* context, uint32_t index, char* buffer, uint32_t size,
                          uint32_t* requiredSize) {
    const InfLine* line = LineAt(context);
    if (!line || index > line->fields.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    const std::string& text = index == 0 ? line->key.value_or(std::string()) : line->fields[index - 1];
    const uint32_t needed = uint32_t(text.size() + 1);
    if (requiredSize) *requiredSize = needed;
    if (!buffer) return true;
    if (size < needed) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::memcpy(buffer, text.c_str(), needed);
    return true;
}

}  // namespace devices
