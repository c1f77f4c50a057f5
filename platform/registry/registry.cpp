#include "registry.h"

#include "fs/fs.h"
#include "vbrt/error.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <sys/file.h>
#include <unistd.h>

namespace registry {

namespace {

struct Entry {
    std::string app, section, key, value;
};

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

std::vector<Entry> readAll(const std::string& path) {
    std::vector<Entry> entries;
    std::ifstream in(path, std::ios::binary);
    std::string line;
    while (std::getline(in, line)) {
        std::vector<std::string> f;
        size_t start = 0;
        for (size_t i = 0; i <= line.size(); ++i) {
            if (i == line.size() || line[i] == '\t') {
                f.push_back(unescape(line.substr(start, i - start)));
                start = i + 1;
            }
        }
        if (f.size() == 4) entries.push_back({f[0], f[1], f[2], f[3]});
    }
    return entries;
}

void writeAll(const std::string& path, const std::vector<Entry>& entries) {
    std::string tmp = path + ".tmp" + std::to_string(::getpid());
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        for (const auto& e : entries)
            out << escape(e.app) << '\t' << escape(e.section) << '\t' << escape(e.key) << '\t' << escape(e.value)
                << '\n';
        out.flush();
        if (!out) {
            std::remove(tmp.c_str());
            vb::Raise(75, "registry", "Path/File access error: " + path);
        }
    }
    if (std::rename(tmp.c_str(), path.c_str()) != 0) {
        std::remove(tmp.c_str());
        vb::Raise(75, "registry", "Path/File access error: " + path);
    }
}

// Holds the store's lock file for one read or read-modify-write.
class StoreLock {
public:
    explicit StoreLock(bool exclusive) {
        std::error_code ec;
        std::filesystem::create_directories(std::filesystem::path(SettingsFilePath()).parent_path(), ec);
        fd_ = ::open((SettingsFilePath() + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
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

private:
    int fd_ = -1;
};

bool matches(const Entry& e, const std::string& app, const std::string& section) {
    return sameName(e.app, app) && sameName(e.section, section);
}

}  // namespace

std::string SettingsFilePath() { return (fs::PlatformRoot() / "registry" / "settings.txt").string(); }

std::string GetSetting(const std::string& appName, const std::string& section, const std::string& key,
                       const std::string& defaultValue) {
    StoreLock lock(false);
    for (const auto& e : readAll(SettingsFilePath()))
        if (matches(e, appName, section) && sameName(e.key, key)) return e.value;
    return defaultValue;
}

void SaveSetting(const std::string& appName, const std::string& section, const std::string& key,
                 const std::string& value) {
    if (appName.empty() || section.empty() || key.empty()) vb::Raise(5, "registry");
    StoreLock lock(true);
    auto entries = readAll(SettingsFilePath());
    bool found = false;
    for (auto& e : entries) {
        if (matches(e, appName, section) && sameName(e.key, key)) {
            e.value = value;
            found = true;
            break;
        }
    }
    if (!found) entries.push_back({appName, section, key, value});
    writeAll(SettingsFilePath(), entries);
}

void DeleteSetting(const std::string& appName, const std::string& section, const std::string& key) {
    StoreLock lock(true);
    auto entries = readAll(SettingsFilePath());
    size_t before = entries.size();
    std::erase_if(entries, [&](const Entry& e) {
        return matches(e, appName, section) && (key.empty() || sameName(e.key, key));
    });
    if (entries.size() != before) writeAll(SettingsFilePath(), entries);
}

std::vector<std::pair<std::string, std::string>> GetAllSettings(const std::string& appName,
                                                                const std::string& section) {
    StoreLock lock(false);
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& e : readAll(SettingsFilePath()))
        if (matches(e, appName, section)) out.emplace_back(e.key, e.value);
    return out;
}

}  // namespace registry
