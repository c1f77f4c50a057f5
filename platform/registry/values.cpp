#include "registry/values.h"

#include "clock/clock.h"
#include "fs/fs.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sys/file.h>
#include <unistd.h>

namespace registry {

namespace {

namespace fsys = std::filesystem;

// A key file: the magic text, then per value: u32 name length, name, u32 type, u32 data
// length, data (little-endian numbers).
constexpr char kMagic[8] = {'L', 'R', 'K', 'E', 'Y', '1', '\n', 0};
constexpr size_t kMaxValues = 4096;
constexpr size_t kMaxFile = 8u << 20;

std::string lower(std::string s) {
    for (char& c : s)
        if (c >= 'A' && c <= 'Z') c = char(c - 'A' + 'a');
    return s;
}

// The folder of a key; empty for a path that names no key.
fsys::path keyFolder(Hive hive, const std::string& keyPath) {
    fsys::path dir = fs::PlatformRoot() / "registry" / (hive == Hive::LocalMachine ? "hklm" : "hkcu");
    size_t start = 0;
    int parts = 0;
    for (size_t i = 0; i <= keyPath.size(); ++i) {
        if (i < keyPath.size() && keyPath[i] != '\\') continue;
        std::string part = keyPath.substr(start, i - start);
        start = i + 1;
        if (part.empty()) continue;  // doubled or outer backslashes
        if (part == "." || part == ".." || part.find('/') != std::string::npos || part.size() > 255) return {};
        dir /= lower(part);
        ++parts;
    }
    return parts ? dir : fsys::path();
}

// How often a waiting call tries the lock again.
constexpr uint32_t kLockRetryMs = 10;

thread_local std::string t_busyHolder;

std::mutex& giveUpM() {
    static std::mutex m;
    return m;
}
std::function<bool()>& giveUpCheck() {
    static std::function<bool()> check;
    return check;
}

bool givingUp() {
    std::function<bool()> check;
    {
        std::lock_guard<std::mutex> lock(giveUpM());
        check = giveUpCheck();
    }
    return check && check();
}

// Holds a key's lock file for one read or read-modify-write. Waits at most kLockWaitMs for
// another process to let go of it; then Busy(), with the holder noted for BusyKeyHolder.
class KeyLock {
public:
    // A key in a folder that another user owns or may write is neither read nor written: the
    // lock is then not held.
    KeyLock(const fsys::path& dir, bool exclusive) {
        if (exclusive ? !fs::CreatePrivateFolders(dir) : bool(fs::PrivateFolderProblem(dir))) return;
        fd_ = fs::OpenPrivateFile(dir / "values.lock", O_RDWR | O_CREAT);
        if (fd_ < 0) return;
        const int64_t start = clk::QueryPerformanceCounter();
        for (;;) {
            if (::flock(fd_, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return;
            if (errno == EINTR) continue;
            if (errno != EWOULDBLOCK) return;  // a file system without locks: go on unlocked, as always
            if (clk::ElapsedMsSince(start) >= int32_t(kLockWaitMs) || givingUp()) break;
            clk::Sleep(kLockRetryMs);
        }
        const std::string holders = fs::LockHolders(fd_);
        t_busyHolder = holders.empty() ? "another process" : holders;
        busy_ = true;
    }
    ~KeyLock() {
        if (fd_ >= 0) ::close(fd_);
    }
    bool Held() const { return fd_ >= 0 && !busy_; }
    bool Busy() const { return busy_; }

private:
    int fd_ = -1;
    bool busy_ = false;
};

void put32(std::vector<uint8_t>& out, uint32_t v) {
    for (int i = 0; i < 4; ++i) out.push_back(uint8_t(v >> (8 * i)));
}

bool readKey(const fsys::path& dir, std::vector<std::pair<std::string, Value>>& values) {
    std::ifstream in(dir / "values.key", std::ios::binary);
    if (!in) return false;
    std::vector<uint8_t> bytes;
    char buf[65536];
    while (in.read(buf, sizeof buf) || in.gcount() > 0) {
        bytes.insert(bytes.end(), buf, buf + in.gcount());
        if (bytes.size() > kMaxFile) return false;
    }
    return ParseKeyFile(bytes.data(), bytes.size(), values);
}

int32_t find(Hive hive, const std::string& keyPath, const std::string& name, Value& value) {
    fsys::path dir = keyFolder(hive, keyPath);
    if (dir.empty() || name.size() > kMaxValueName) return kRegInvalidParameter;
    std::error_code ec;
    if (!fsys::is_directory(dir, ec)) return kRegFileNotFound;
    KeyLock lock(dir, false);
    if (lock.Busy()) return kRegBusy;
    if (!lock.Held() && fs::PrivateFolderProblem(dir)) return kRegAccessDenied;
    std::vector<std::pair<std::string, Value>> values;
    if (!readKey(dir, values)) return kRegFileNotFound;
    for (auto& [n, v] : values)
        if (lower(n) == lower(name)) {
            value = std::move(v);
            return kRegOk;
        }
    return kRegFileNotFound;
}

}  // namespace

bool ParseKeyFile(const uint8_t* data, size_t size, std::vector<std::pair<std::string, Value>>& values) {
    values.clear();
    if (size < sizeof kMagic || std::memcmp(data, kMagic, sizeof kMagic) != 0 || size > kMaxFile) return false;
    size_t pos = sizeof kMagic;
    auto u32 = [&](uint32_t& v) {
        if (size - pos < 4) return false;
        v = uint32_t(data[pos]) | uint32_t(data[pos + 1]) << 8 | uint32_t(data[pos + 2]) << 16 |
            uint32_t(data[pos + 3]) << 24;
        pos += 4;
        return true;
    };
    while (pos < size) {
        uint32_t nameLength = 0, type = 0, dataLength = 0;
        if (values.size() >= kMaxValues || !u32(nameLength) || nameLength > kMaxValueName || size - pos < nameLength) {
            values.clear();
            return false;
        }
        std::string name(reinterpret_cast<const char*>(data + pos), nameLength);
        pos += nameLength;
        if (!u32(type) || !u32(dataLength) || dataLength > kMaxValueData || size - pos < dataLength) {
            values.clear();
            return false;
        }
        Value v;
        v.type = type;
        v.data.assign(data + pos, data + pos + dataLength);
        pos += dataLength;
        values.emplace_back(std::move(name), std::move(v));
    }
    return true;
}

std::vector<uint8_t> FormatKeyFile(const std::vector<std::pair<std::string, Value>>& values) {
    std::vector<uint8_t> out(kMagic, kMagic + sizeof kMagic);
    for (const auto& [name, v] : values) {
        put32(out, uint32_t(name.size()));
        out.insert(out.end(), name.begin(), name.end());
        put32(out, v.type);
        put32(out, uint32_t(v.data.size()));
        out.insert(out.end(), v.data.begin(), v.data.end());
    }
    return out;
}

std::string BusyKeyHolder() { return t_busyHolder.empty() ? "another process" : t_busyHolder; }

void SetLockWaitGiveUp(std::function<bool()> giveUp) {
    std::lock_guard<std::mutex> lock(giveUpM());
    giveUpCheck() = std::move(giveUp);
}

int32_t QueryValue(Hive hive, const std::string& keyPath, const std::string& name, Value& value) {
    return find(hive, keyPath, name, value);
}

int32_t QueryValue(Hive hive, const std::string& keyPath, const std::string& name, uint32_t& type, void* buffer,
                   uint32_t& size) {
    Value v;
    int32_t r = find(hive, keyPath, name, v);
    if (r != kRegOk) return r;
    if (v.data.size() > size) {
        size = uint32_t(v.data.size());
        return kRegMoreData;
    }
    if (!buffer && !v.data.empty()) return kRegInvalidParameter;
    if (!v.data.empty()) std::memcpy(buffer, v.data.data(), v.data.size());
    type = v.type;
    size = uint32_t(v.data.size());
    return kRegOk;
}

int32_t SetValue(Hive hive, const std::string& keyPath, const std::string& name, uint32_t type, const void* data,
                 uint32_t size) {
    fsys::path dir = keyFolder(hive, keyPath);
    if (dir.empty() || name.size() > kMaxValueName || size > kMaxValueData || (size && !data))
        return kRegInvalidParameter;
    KeyLock lock(dir, true);
    if (lock.Busy()) return kRegBusy;
    if (!lock.Held()) return kRegAccessDenied;
    std::vector<std::pair<std::string, Value>> values;
    readKey(dir, values);  // an unreadable key starts afresh
    Value v;
    v.type = type;
    v.data.assign(static_cast<const uint8_t*>(data), static_cast<const uint8_t*>(data) + size);
    bool replaced = false;
    for (auto& [n, old] : values)
        if (lower(n) == lower(name)) {
            old = v;
            replaced = true;
        }
    if (!replaced) {
        if (values.size() >= kMaxValues) return kRegInvalidParameter;
        values.emplace_back(name, std::move(v));
    }
    std::vector<uint8_t> bytes = FormatKeyFile(values);
    fsys::path tmp = dir / ("values.key.tmp" + std::to_string(::getpid()));
    if (!fs::WritePrivateFile(tmp, std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()))) {
        std::error_code ec;
        fsys::remove(tmp, ec);
        return kRegAccessDenied;
    }
    std::error_code ec;
    fsys::rename(tmp, dir / "values.key", ec);
    if (ec) {
        fsys::remove(tmp, ec);
        return kRegAccessDenied;
    }
    return kRegOk;
}

int32_t DeleteKey(Hive hive, const std::string& keyPath) {
    fsys::path dir = keyFolder(hive, keyPath);
    if (dir.empty()) return kRegInvalidParameter;
    std::error_code ec;
    if (!fsys::exists(dir / "values.key", ec)) return kRegFileNotFound;
    KeyLock lock(dir, true);
    if (lock.Busy()) return kRegBusy;
    if (!lock.Held()) return kRegAccessDenied;
    fsys::remove(dir / "values.key", ec);
    return ec ? kRegAccessDenied : kRegOk;
}

}  // namespace registry
