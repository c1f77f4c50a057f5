#include "registry/registry.h"

#include "fs/fs.h"
#include "vbrt/error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <optional>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace registry {

namespace {

using Entry = SettingsEntry;
using Line = SettingsLine;

bool sameName(const std::string& a, const std::string& b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        unsigned char x = a[i], y = b[i];
        if (x >= 'A' && x <= 'Z') x = x - 'A' + 'a';
        if (y >= 'A' && y <= 'Z') y = y - 'A' + 'a';
        if (x != y) return false;
    }
    return true;
}

// One entry per line, four fields separated by tabs; tab, line feed, carriage return and the
// backslash inside a field are escaped so any 8-bit text survives.
std::string escape(const std::string& s) {
    std::string out;
    for (char c : s) {
        switch (c) {
        case '\\': out += "\\\\"; break;
        case '\t': out += "\\t"; break;
        case '\n': out += "\\n"; break;
        case '\r': out += "\\r"; break;
        default: out += c;
        }
    }
    return out;
}

std::string unescape(const std::string& s) {
    std::string out;
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] != '\\' || i + 1 == s.size()) {
            out += s[i];
            continue;
        }
        char n = s[++i];
        out += n == 't' ? '\t' : n == 'n' ? '\n' : n == 'r' ? '\r' : n;
    }
    return out;
}

// The largest settings file read; a larger one is not the store's and is never rewritten.
constexpr std::streamoff kMaxSettingsBytes = std::streamoff(16) << 20;

// The store's file as read.
struct Contents {
    bool whole = true;  // false: the file exists but could not be read whole
    std::vector<Line> lines;
};

Contents readAll(const std::string& path) {
    Contents c;
    std::error_code ec;
    if (!std::filesystem::exists(path, ec) && !ec) return c;  // no settings yet
    std::ifstream in(path, std::ios::binary);
    in.seekg(0, std::ios::end);
    const std::streamoff size = in ? std::streamoff(in.tellg()) : -1;
    in.seekg(0);
    std::string text(size >= 0 && size <= kMaxSettingsBytes ? size_t(size) : 0, '\0');
    if (!in || size < 0 || size > kMaxSettingsBytes || !in.read(text.data(), size)) {
        c.whole = false;
        return c;
    }
    c.lines = ParseSettings(text);
    return c;
}

// Writes the lines back. A file that was not read whole is never rewritten: that would lose
// what it holds.
void writeAll(const std::string& path, const Contents& c) {
    if (!c.whole) vb::Raise(75, "registry", "Path/File access error: " + path + " could not be read whole");
    const std::string text = FormatSettings(c.lines);
    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    if (!fs::WritePrivateFile(tmp, text)) {
        std::remove(tmp.c_str());
        vb::Raise(75, "registry", "Path/File access error: " + path);
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        vb::Raise(75, "registry", "Path/File access error: " + path);
    }
}

// Holds the store's lock file for one read or read-modify-write.
class StoreLock {
public:
    // A folder that another user owns or may write is not used: `refused` then says why.
    explicit StoreLock(bool exclusive) {
        if (!fs::CreatePrivateFolders(std::filesystem::path(SettingsFilePath()).parent_path(), &refused)) {
            if (refused.empty()) refused = std::strerror(errno);
            return;
        }
        fd_ = fs::OpenPrivateFile(SettingsFilePath() + ".lock", O_RDWR | O_CREAT);
        if (fd_ >= 0) {
            while (::flock(fd_, exclusive ? LOCK_EX : LOCK_SH) != 0 && errno == EINTR) {
            }
        }
    }
    ~StoreLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

    std::string refused;

private:
    int fd_ = -1;
};

bool matches(const Entry& e, const std::string& app, const std::string& section) {
    return sameName(e.app, app) && sameName(e.section, section);
}

}  // namespace

std::vector<SettingsLine> ParseSettings(std::string_view text) {
    std::vector<SettingsLine> lines;
    for (size_t at = 0; at < text.size();) {
        size_t end = text.find('\n', at);
        if (end == std::string_view::npos) end = text.size();
        std::string line(text.substr(at, end - at));
        at = end + 1;
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t i = 0; i <= line.size() && f.size() <= 4; ++i) {
            if (i == line.size() || line[i] == '\t') {
                f.push_back(unescape(line.substr(start, i - start)));
                start = i + 1;
            }
        }
        if (f.size() == 4) lines.push_back({SettingsEntry{f[0], f[1], f[2], f[3]}, {}});
        else lines.push_back({std::nullopt, std::move(line)});
    }
    return lines;
}

std::string FormatSettings(const std::vector<SettingsLine>& lines) {
    std::string text;
    for (const SettingsLine& l : lines) {
        if (const auto& e = l.entry)
            text += escape(e->app) + '\t' + escape(e->section) + '\t' + escape(e->key) + '\t' + escape(e->value);
        else
            text += l.raw;
        text += '\n';
    }
    return text;
}

std::string SettingsFilePath() { return (fs::PlatformRoot() / "registry" / "settings.txt").string(); }

std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
    StoreLock lock(false);
    if (!lock.refused.empty()) return defaultValue;
    for (const Line& l : readAll(SettingsFilePath()).lines)
        if (l.entry && matches(*l.entry, appName, section) && sameName(l.entry->key, key)) return l.entry->value;
    return defaultValue;
}

void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                 const std::string& value) {
    if (appName.empty() || section.empty() || key.empty()) vb::Raise(5, "registry");
    StoreLock lock(true);
    if (!lock.refused.empty()) vb::Raise(70, "registry", "Permission denied: " + lock.refused);
    Contents c = readAll(SettingsFilePath());
    bool found = false;
    for (Line& l : c.lines) {
        if (l.entry && matches(*l.entry, appName, section) && sameName(l.entry->key, key)) {
            l.entry->value = value;
            found = true;
            break;
        }
    }
    if (!found) c.lines.push_back({Entry{appName, section, key, value}, {}});
    writeAll(SettingsFilePath(), c);
}

void DeleteSetting(const std::string& appName, const std::string& section, const std::string& key) {
    StoreLock lock(true);
    if (!lock.refused.empty()) vb::Raise(70, "registry", "Permission denied: " + lock.refused);
    Contents c = readAll(SettingsFilePath());
    const size_t removed = std::erase_if(c.lines, [&](const Line& l) {
        return l.entry && matches(*l.entry, appName, section) && (key.empty() || sameName(l.entry->key, key));
    });
    if (removed != 0) writeAll(SettingsFilePath(), c);
}

std::vector<std::pair<std::string, std::string>> GetAllSettings(const std::string& appName,
                                                                const std::string& section) {
    StoreLock lock(false);
    std::vector<std::pair<std::string, std::string>> out;
    if (!lock.refused.empty()) return out;
    for (const Line& l : readAll(SettingsFilePath()).lines)
        if (l.entry && matches(*l.entry, appName, section)) out.emplace_back(l.entry->key, l.entry->value);
    return out;
}

}  // namespace registry
