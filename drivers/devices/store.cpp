#include "devices/store.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <fstream>
#include <sstream>

#include "devices/errors.h"
#include "devices/inf.h"
#include "fs/fs.h"
#include "vbrt/convert.h"

namespace devices {

namespace stdfs = std::filesystem;

namespace {

// Nothing the store writes comes near these; larger files are not ours.
constexpr std::uintmax_t kMaxNodeFileBytes = 64 * 1024;
constexpr std::uintmax_t kMaxSmallFileBytes = 64 * 1024;

thread_local uint32_t t_lastError = ERROR_SUCCESS;

// Holds the store's lock file for a change, so that processes sharing the root take turns.
class StoreLock {
public:
    // A store folder that another user owns or may write is not taken (nor written).
    StoreLock() {
        if (!fs::CreatePrivateFolders(StoreFolder())) return;
        fd_ = fs::OpenPrivateFile(StoreFolder() / ".lock", O_RDWR | O_CREAT);
        if (fd_ >= 0) ::flock(fd_, LOCK_EX);
    }
    bool Held() const { return fd_ >= 0; }
    ~StoreLock() {
        if (fd_ >= 0) ::close(fd_);  // closing releases the lock
    }
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;

private:
    int fd_ = -1;
};

// Writes through a temporary file and a rename: readers never see half a file.
bool WriteFileWhole(const stdfs::path& path, const std::string& text) {
    stdfs::path temp = path;
    temp += ".tmp";
    if (!fs::WritePrivateFile(temp, text)) return false;
    std::error_code ec;
    stdfs::rename(temp, path, ec);
    return !ec;
}

std::vector<std::string> SplitLines(std::string_view text) {
    std::vector<std::string> lines;
    size_t i = 0;
    while (i < text.size()) {
        size_t j = text.find('\n', i);
        if (j == std::string_view::npos) j = text.size();
        std::string line(text.substr(i, j - i));
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(std::move(line));
        i = j + 1;
    }
    return lines;
}

std::optional<uint32_t> ParseCode(std::string_view text) {
    std::string t = TrimWhite(text);
    if (t.empty()) return std::nullopt;
    int base = 10;
    if (t.size() > 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) {
        base = 16;
        t = t.substr(2);
    }
    try {
        size_t used = 0;
        unsigned long long v = std::stoull(t, &used, base);
        if (used != t.size() || v > 0xFFFFFFFFull) return std::nullopt;
        return uint32_t(v);
    } catch (...) {
        return std::nullopt;
    }
}

std::optional<std::vector<uint8_t>> ParseHexBytes(std::string_view text) {
    std::vector<uint8_t> bytes;
    std::string t = TrimWhite(text);
    if (t.size() % 2 != 0) return std::nullopt;
    for (size_t i = 0; i < t.size(); i += 2) {
        auto digit = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = digit(t[i]), lo = digit(t[i + 1]);
        if (hi < 0 || lo < 0) return std::nullopt;
        bytes.push_back(uint8_t(hi * 16 + lo));
    }
    return bytes;
}

void BumpGenerationLocked() {
    stdfs::path path = StoreFolder() / ".generation";
    uint64_t generation = 0;
    if (auto text = ReadBoundedFile(path, kMaxSmallFileBytes)) {
        if (auto v = ParseCode(*text)) generation = *v;
    }
    WriteFileWhole(path, std::to_string(generation + 1) + "\n");
}

bool IsNodeFile(const stdfs::directory_entry& entry) {
    return entry.is_regular_file() && entry.path().extension() == ".dev";
}

}  // namespace

std::optional<std::string> ReadBoundedFile(const stdfs::path& path, std::uintmax_t limit) {
    std::error_code ec;
    auto size = stdfs::file_size(path, ec);
    if (ec || size > limit) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text(size, '\0');
    in.read(text.data(), std::streamsize(size));
    text.resize(size_t(in.gcount()));
    return text;
}

uint32_t GetLastError() { return t_lastError; }
void SetLastError(uint32_t error) { t_lastError = error; }

std::vector<uint8_t> DeviceNode::HardwareIdValue() const {
    if (hardwareIdBytes) return *hardwareIdBytes;
    std::vector<uint8_t> value;
    for (const std::string& id : hardwareIds) {
        value.insert(value.end(), id.begin(), id.end());
        value.push_back(0);
        if (hardwareIdType == REG_SZ) return value;
    }
    if (!value.empty()) value.push_back(0);
    return value;
}

stdfs::path StoreFolder() { return fs::PlatformRoot() / "devices"; }
stdfs::path WindowsFolderNative() { return fs::DriveFolder('C') / "WINDOWS"; }
stdfs::path InfFolderNative() { return WindowsFolderNative() / "inf"; }

bool EnsureFolders() {
    // For the owner only, whatever the umask: another user writing here could plant a driver.
    const bool store = fs::CreatePrivateFolders(StoreFolder());
    return fs::CreatePrivateFolders(InfFolderNative()) && store;
}

std::optional<DeviceNode> ParseNode(std::string_view text) {
    if (text.size() > kMaxNodeFileBytes) return std::nullopt;
    DeviceNode node;
    for (const std::string& line : SplitLines(text)) {
        if (TrimWhite(line).empty()) continue;
        size_t eq = line.find('=');
        if (eq == std::string::npos) return std::nullopt;
        std::string key = TrimWhite(std::string_view(line).substr(0, eq));
        std::string value = line.substr(eq + 1);
        if (key == "InstanceId") {
            node.instanceId = value;
        } else if (key == "HardwareId") {
            node.hardwareIds.push_back(value);
        } else if (key == "HardwareIdType") {
            auto type = ParseCode(value);
            if (!type) return std::nullopt;
            node.hardwareIdType = *type;
        } else if (key == "HardwareIdBytes") {
            node.hardwareIdBytes = ParseHexBytes(value);
            if (!node.hardwareIdBytes) return std::nullopt;
        } else if (key == "Present") {
            node.present = TrimWhite(value) != "0";
        } else if (key == "Interface") {
            node.interfaces.push_back(value);
        } else if (key == "Driver") {
            node.driver = value;
        } else {
            node.other.emplace_back(key, value);
        }
    }
    return node;
}

std::string FormatNode(const DeviceNode& node) {
    std::ostringstream out;
    out << "InstanceId=" << node.instanceId << "\n";
    for (const std::string& id : node.hardwareIds) out << "HardwareId=" << id << "\n";
    if (node.hardwareIdType != REG_MULTI_SZ) out << "HardwareIdType=" << node.hardwareIdType << "\n";
    if (node.hardwareIdBytes) {
        out << "HardwareIdBytes=";
        static const char* digits = "0123456789ABCDEF";
        for (uint8_t b : *node.hardwareIdBytes) out << digits[b >> 4] << digits[b & 15];
        out << "\n";
    }
    out << "Present=" << (node.present ? 1 : 0) << "\n";
    for (const std::string& i : node.interfaces) out << "Interface=" << i << "\n";
    if (!node.driver.empty()) out << "Driver=" << node.driver << "\n";
    for (const auto& [key, value] : node.other) out << key << "=" << value << "\n";
    return out.str();
}

std::vector<DeviceNode> ListNodes() {
    std::vector<DeviceNode> nodes;
    // Nodes in a folder that another user owns or may write could be anyone's.
    if (fs::PrivateFolderProblem(StoreFolder())) return nodes;
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(StoreFolder(), ec)) {
        if (!IsNodeFile(entry)) continue;
        auto text = ReadBoundedFile(entry.path(), kMaxNodeFileBytes);
        if (!text) continue;
        auto node = ParseNode(*text);
        if (!node) continue;
        node->serial = entry.path().stem().string();
        nodes.push_back(std::move(*node));
    }
    std::sort(nodes.begin(), nodes.end(),
              [](const DeviceNode& a, const DeviceNode& b) { return a.serial < b.serial; });
    return nodes;
}

std::optional<DeviceNode> ReadNode(const std::string& serial) {
    if (serial.empty() || serial.find('/') != std::string::npos) return std::nullopt;
    if (fs::PrivateFolderProblem(StoreFolder())) return std::nullopt;
    auto text = ReadBoundedFile(StoreFolder() / (serial + ".dev"), kMaxNodeFileBytes);
    if (!text) return std::nullopt;
    auto node = ParseNode(*text);
    if (node) node->serial = serial;
    return node;
}

std::string WriteNode(DeviceNode node) {
    if (node.serial.find('/') != std::string::npos) return {};
    StoreLock lock;
    if (!lock.Held()) return {};
    if (node.serial.empty()) {
        // Serials are zero-padded numbers, so that name order is numeric order.
        uint64_t next = 1;
        std::error_code ec;
        for (const auto& entry : stdfs::directory_iterator(StoreFolder(), ec)) {
            if (!IsNodeFile(entry)) continue;
            if (auto v = ParseCode(entry.path().stem().string())) next = std::max<uint64_t>(next, *v + 1ull);
        }
        char name[16];
        std::snprintf(name, sizeof name, "%08llu", static_cast<unsigned long long>(next));
        node.serial = name;
    }
    if (!WriteFileWhole(StoreFolder() / (node.serial + ".dev"), FormatNode(node))) return {};
    BumpGenerationLocked();
    return node.serial;
}

bool RemoveNode(const std::string& serial) {
    if (serial.empty() || serial.find('/') != std::string::npos) return false;
    StoreLock lock;
    if (!lock.Held()) return false;
    std::error_code ec;
    bool removed = stdfs::remove(StoreFolder() / (serial + ".dev"), ec);
    if (removed) BumpGenerationLocked();
    return removed;
}

uint64_t Generation() {
    auto text = ReadBoundedFile(StoreFolder() / ".generation", kMaxSmallFileBytes);
    if (!text) return 0;
    return ParseCode(*text).value_or(0);
}

std::string TrimWhite(std::string_view text) {
    const char* blanks = " \t\r\n\v\f";
    size_t first = text.find_first_not_of(blanks);
    if (first == std::string_view::npos) return {};
    size_t last = text.find_last_not_of(blanks);
    return std::string(text.substr(first, last - first + 1));
}

bool SameHardwareId(std::string_view a, std::string_view b) {
    return vb::StrEqual(TrimWhite(a), TrimWhite(b), vb::Compare::Text);
}

bool IsInstalledInfName(const std::string& name) {
    const std::string lower = vb::LCase(name);
    return lower.size() > 7 && lower.starts_with("oem") && lower.ends_with(".inf") &&
           name.find_first_of("/\\") == std::string::npos;
}

namespace {

bool ListsOneOf(const std::vector<std::string>& listed, const std::vector<std::string>& mine) {
    return std::any_of(mine.begin(), mine.end(), [&](const std::string& id) {
        return std::any_of(listed.begin(), listed.end(),
                           [&](const std::string& theirs) { return SameHardwareId(id, theirs); });
    });
}

}  // namespace

int BindDrivers() {
    // The installed INFs and the hardware IDs each one lists, in name order.
    std::vector<std::pair<std::string, std::vector<std::string>>> installed;
    std::error_code ec;
    std::vector<std::string> names;
    for (const auto& entry : stdfs::directory_iterator(InfFolderNative(), ec)) {
        std::string name = entry.path().filename().string();
        if (entry.is_regular_file() && IsInstalledInfName(name)) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        auto ids = InfModelHardwareIds((InfFolderNative() / name).string());
        if (ids) installed.emplace_back(name, std::move(*ids));
    }

    int bound = 0;
    for (DeviceNode node : ListNodes()) {
        if (!node.present || !node.driver.empty()) continue;
        for (const auto& [name, ids] : installed) {
            if (!ListsOneOf(ids, node.hardwareIds)) continue;
            node.driver = name;
            if (!WriteNode(node).empty()) ++bound;
            break;
        }
    }
    return bound;
}

bool HasInstalledDriver(const DeviceNode& node) {
    if (!IsInstalledInfName(node.driver)) return false;
    const stdfs::path inf = InfFolderNative() / node.driver;
    std::error_code ec;
    if (!stdfs::is_regular_file(inf, ec)) return false;
    auto ids = InfModelHardwareIds(inf.string());
    return ids && ListsOneOf(*ids, node.hardwareIds);
}

// ---- fault injection and counters ---------------------------------------------------------

std::optional<uint32_t> InjectedFault(std::string_view operation, const std::vector<std::string>& subjects) {
    auto text = ReadBoundedFile(StoreFolder() / "faults", kMaxSmallFileBytes);
    if (!text) return std::nullopt;
    for (const std::string& line : SplitLines(*text)) {
        size_t eq = line.rfind('=');
        if (eq == std::string::npos) continue;
        std::string target = TrimWhite(std::string_view(line).substr(0, eq));
        auto code = ParseCode(std::string_view(line).substr(eq + 1));
        if (!code) continue;
        size_t colon = target.find(':');
        std::string op = target.substr(0, colon);
        if (op != operation) continue;
        if (colon == std::string::npos) return code;
        std::string subject = target.substr(colon + 1);
        for (const std::string& s : subjects)
            if (vb::StrEqual(subject, TrimWhite(s), vb::Compare::Text)) return code;
    }
    return std::nullopt;
}

void AddFault(const std::string& rule) {
    StoreLock lock;
    if (!lock.Held()) return;
    const int fd = fs::OpenPrivateFile(StoreFolder() / "faults", O_WRONLY | O_CREAT | O_APPEND);
    if (fd < 0) return;
    const std::string line = rule + "\n";
    (void)!::write(fd, line.data(), line.size());
    ::close(fd);
}

void BumpCounter(const std::string& name) {
    StoreLock lock;
    if (!lock.Held()) return;
    stdfs::path path = StoreFolder() / "counters";
    std::vector<std::pair<std::string, uint64_t>> counters;
    if (auto text = ReadBoundedFile(path, kMaxSmallFileBytes)) {
        for (const std::string& line : SplitLines(*text)) {
            size_t eq = line.find('=');
            if (eq == std::string::npos) continue;
            counters.emplace_back(line.substr(0, eq), ParseCode(line.substr(eq + 1)).value_or(0));
        }
    }
    auto it = std::find_if(counters.begin(), counters.end(), [&](const auto& c) { return c.first == name; });
    if (it == counters.end()) counters.emplace_back(name, 1);
    else ++it->second;
    std::string out;
    for (const auto& [key, value] : counters) out += key + "=" + std::to_string(value) + "\n";
    WriteFileWhole(path, out);
}

uint64_t Counter(const std::string& name) {
    auto text = ReadBoundedFile(StoreFolder() / "counters", kMaxSmallFileBytes);
    if (!text) return 0;
    for (const std::string& line : SplitLines(*text)) {
        size_t eq = line.find('=');
        if (eq != std::string::npos && line.substr(0, eq) == name)
            return ParseCode(line.substr(eq + 1)).value_or(0);
    }
    return 0;
}

}  // namespace devices
