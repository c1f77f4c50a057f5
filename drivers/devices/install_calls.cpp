#include "devices/install_calls.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <memory>
#include <mutex>
#include <set>

#include "devices/errors.h"
#include "devices/store.h"
#include "fs/fs.h"
#include "vbrt/convert.h"

namespace devices {

namespace stdfs = std::filesystem;

namespace {

struct DeviceInfoSet {
    std::vector<DeviceNode> nodes;
};

std::mutex g_setsMutex;
std::set<DeviceInfoSet*> g_sets;

std::mutex g_enumeratorsMutex;
std::vector<std::pair<int, Enumerator>> g_enumerators;
int g_nextEnumerator = 1;

DeviceInfoSet* LookupSet(HDEVINFO set) {
    std::lock_guard<std::mutex> lock(g_setsMutex);
    auto it = g_sets.find(static_cast<DeviceInfoSet*>(set));
    return it == g_sets.end() ? nullptr : *it;
}

// The node behind an element of a set; null (ERROR_INVALID_PARAMETER) for a wrong element.
const DeviceNode* NodeOf(HDEVINFO set, const SP_DEVINFO_DATA* element) {
    DeviceInfoSet* s = LookupSet(set);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return nullptr;
    }
    if (!element || element->cbSize != sizeof(SP_DEVINFO_DATA) || element->DevInst == 0 ||
        element->DevInst > s->nodes.size()) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    return &s->nodes[element->DevInst - 1];
}

std::vector<std::string> NodeSubjects(const DeviceNode& node) {
    std::vector<std::string> subjects{node.instanceId};
    subjects.insert(subjects.end(), node.hardwareIds.begin(), node.hardwareIds.end());
    return subjects;
}

std::string FileNameOf(const std::string& path) { return fs::ToNativePath(path).filename().string(); }

bool WildcardMatch(std::string_view pattern, std::string_view name) {
    size_t p = 0, n = 0, starP = std::string_view::npos, starN = 0;
    while (n < name.size()) {
        if (p < pattern.size() && (pattern[p] == '?' || pattern[p] == name[n])) {
            ++p;
            ++n;
        } else if (p < pattern.size() && pattern[p] == '*') {
            starP = p++;
            starN = n;
        } else if (starP != std::string_view::npos) {
            p = starP + 1;
            n = ++starN;
        } else {
            return false;
        }
    }
    while (p < pattern.size() && pattern[p] == '*') ++p;
    return p == pattern.size();
}

// Copies an INF that opened in the Windows 4 style into the INF folder unless an installed one
// holds the same bytes; the installed file's name, or empty (with the last error) on failure.
std::string InstallInf(const std::string& sourceInf) {
    auto bytes = ReadBoundedFile(fs::ToNativePath(sourceInf), kMaxInfBytes);
    if (!bytes) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return {};
    }
    std::error_code ec;
    // An INF folder that another user owns or may write is not installed into.
    if (!fs::CreatePrivateFolders(InfFolderNative())) {
        SetLastError(ERROR_ACCESS_DENIED);
        return {};
    }
    std::set<std::string> taken;
    std::vector<std::string> installed;
    for (const auto& entry : stdfs::directory_iterator(InfFolderNative(), ec)) {
        std::string name = entry.path().filename().string();
        taken.insert(vb::LCase(name));
        if (entry.is_regular_file() && IsInstalledInfName(name)) installed.push_back(name);
    }
    std::sort(installed.begin(), installed.end());
    for (const std::string& name : installed) {
        if (ReadBoundedFile(InfFolderNative() / name, kMaxInfBytes) == bytes) return name;
    }
    for (unsigned n = 0; n < 100000; ++n) {
        std::string stem = "oem" + std::to_string(n);
        if (taken.count(stem + ".inf") || taken.count(stem + ".pnf")) continue;
        if (!fs::WritePrivateFile(InfFolderNative() / (stem + ".inf"), *bytes) ||
            !fs::WritePrivateFile(InfFolderNative() / (stem + ".pnf"), "compiled " + stem + ".inf\n")) {
            SetLastError(ERROR_ACCESS_DENIED);
            return {};
        }
        return stem + ".inf";
    }
    SetLastError(ERROR_ACCESS_DENIED);
    return {};
}

bool OpensAsWin4(const char* path) {
    HINF inf = SetupOpenInfFileA(path, nullptr, INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) return false;
    SetupCloseInfFile(inf);
    return true;
}

}  // namespace

// Runs every registered enumerator (not again from inside one); false when none is registered.
static bool RunEnumerators() {
    thread_local bool running = false;
    if (running) return false;
    std::vector<Enumerator> enumerators;
    {
        std::lock_guard<std::mutex> lock(g_enumeratorsMutex);
        for (const auto& [id, e] : g_enumerators) enumerators.push_back(e);
    }
    if (enumerators.empty()) return false;
    struct Running {
        bool& flag;
        explicit Running(bool& f) : flag(f) { flag = true; }
        ~Running() { flag = false; }
    } scope(running);
    for (const Enumerator& e : enumerators) e();
    return true;
}

// ---- device information sets --------------------------------------------------------------

HDEVINFO SetupDiGetClassDevsA(const void* /*classGuid*/, const char* /*enumerator*/, void* /*parentWindow*/,
                              uint32_t flags) {
    if (auto fault = InjectedFault("SetupDiGetClassDevs")) {
        SetLastError(*fault);
        return INVALID_HANDLE_VALUE;
    }
    RefreshNodes();
    auto set = std::make_unique<DeviceInfoSet>();
    for (DeviceNode& node : ListNodes()) {
        if ((flags & DIGCF_PRESENT) && !node.present) continue;
        set->nodes.push_back(std::move(node));
    }
    BumpCounter("sets");
    std::lock_guard<std::mutex> lock(g_setsMutex);
    g_sets.insert(set.get());
    return set.release();
}

bool SetupDiEnumDeviceInfo(HDEVINFO set, uint32_t index, SP_DEVINFO_DATA* element) {
    DeviceInfoSet* s = LookupSet(set);
    if (!s) {
        SetLastError(ERROR_INVALID_HANDLE);
        return false;
    }
    if (!element || element->cbSize != sizeof(SP_DEVINFO_DATA)) {
        SetLastError(ERROR_INVALID_USER_BUFFER);
        return false;
    }
    if (index >= s->nodes.size()) {
        SetLastError(ERROR_NO_MORE_ITEMS);
        return false;
    }
    if (auto fault = InjectedFault("SetupDiEnumDeviceInfo", {s->nodes[index].instanceId})) {
        SetLastError(*fault);
        return false;
    }
    std::memset(element->ClassGuid, 0, sizeof element->ClassGuid);
    element->DevInst = index + 1;
    element->Reserved = 0;
    return true;
}

bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, uint32_t property,
                                       uint32_t* valueType, uint8_t* buffer, uint32_t size,
                                       uint32_t* requiredSize) {
    const DeviceNode* node = NodeOf(set, element);
    if (!node) return false;
    if (auto fault = InjectedFault("SetupDiGetDeviceRegistryProperty", {node->instanceId})) {
        SetLastError(*fault);
        return false;
    }
    if (property != SPDRP_HARDWAREID || !node->HasHardwareIdProperty()) {
        SetLastError(ERROR_INVALID_DATA);
        return false;
    }
    std::vector<uint8_t> value = node->HardwareIdValue();
    if (requiredSize) *requiredSize = uint32_t(value.size());
    if (valueType) *valueType = node->hardwareIdType;
    if (!buffer || size < value.size()) {
        SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return false;
    }
    std::copy(value.begin(), value.end(), buffer);
    return true;
}

bool SetupDiCallClassInstaller(uint32_t function, HDEVINFO set, SP_DEVINFO_DATA* element) {
    const DeviceNode* node = NodeOf(set, element);
    if (!node) return false;
    if (function != DIF_REMOVE) return true;
    BumpCounter("removals");
    if (auto fault = InjectedFault("SetupDiCallClassInstaller", NodeSubjects(*node))) {
        SetLastError(*fault);
        return false;
    }
    if (!RemoveNode(node->serial)) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return false;
    }
    return true;
}

bool SetupDiDestroyDeviceInfoList(HDEVINFO set) {
    std::unique_ptr<DeviceInfoSet> owned;
    {
        std::lock_guard<std::mutex> lock(g_setsMutex);
        auto it = g_sets.find(static_cast<DeviceInfoSet*>(set));
        if (it == g_sets.end()) {
            SetLastError(ERROR_INVALID_HANDLE);
            return false;
        }
        owned.reset(*it);
        g_sets.erase(it);
    }
    if (auto fault = InjectedFault("SetupDiDestroyDeviceInfoList")) {
        SetLastError(*fault);
        return false;
    }
    return true;
}

int OpenDeviceInfoSets() {
    std::lock_guard<std::mutex> lock(g_setsMutex);
    return int(g_sets.size());
}

// ---- driver packages ----------------------------------------------------------------------

bool SetupCopyOEMInfA(const char* sourceInf, const char* /*mediaRoot*/, uint32_t /*mediaType*/,
                      uint32_t /*copyStyle*/, char* destination, uint32_t destinationSize,
                      uint32_t* requiredSize, char** fileNamePart) {
    if (!sourceInf || !*sourceInf) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (auto fault = InjectedFault("SetupCopyOEMInf", {FileNameOf(sourceInf)})) {
        SetLastError(*fault);
        return false;
    }
    if (!OpensAsWin4(sourceInf)) return false;
    std::string name = InstallInf(sourceInf);
    if (name.empty()) return false;
    BindDrivers();

    std::string full = std::string(kWindowsFolder) + "\\inf\\" + name;
    if (requiredSize) *requiredSize = uint32_t(full.size() + 1);
    if (destination) {
        if (destinationSize < full.size() + 1) {
            SetLastError(ERROR_INSUFFICIENT_BUFFER);
            return false;
        }
        std::memcpy(destination, full.c_str(), full.size() + 1);
        if (fileNamePart) *fileNamePart = destination + (full.size() - name.size());
    }
    return true;
}

bool UpdateDriverForPlugAndPlayDevicesA(void* /*parentWindow*/, const char* hardwareId, const char* infPath,
                                        uint32_t /*installFlags*/, bool* rebootRequired) {
    if (rebootRequired) *rebootRequired = false;
    if (!hardwareId || !*hardwareId || !infPath || !*infPath) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (auto fault = InjectedFault("UpdateDriverForPlugAndPlayDevices", {hardwareId})) {
        SetLastError(*fault);
        return false;
    }
    if (!OpensAsWin4(infPath)) return false;
    std::vector<DeviceNode> matching;
    for (DeviceNode& node : ListNodes()) {
        if (!node.present) continue;
        if (std::any_of(node.hardwareIds.begin(), node.hardwareIds.end(),
                        [&](const std::string& id) { return SameHardwareId(id, hardwareId); }))
            matching.push_back(std::move(node));
    }
    if (matching.empty()) {
        SetLastError(ERROR_NO_SUCH_DEVINST);
        return false;
    }
    auto listed = InfModelHardwareIds(infPath);
    if (!listed || std::none_of(listed->begin(), listed->end(),
                                [&](const std::string& id) { return SameHardwareId(id, hardwareId); })) {
        SetLastError(ERROR_NO_COMPAT_DRIVERS);
        return false;
    }
    std::string name = InstallInf(infPath);
    if (name.empty()) return false;
    for (DeviceNode& node : matching) {
        node.driver = name;
        if (WriteNode(node).empty()) {
            SetLastError(ERROR_ACCESS_DENIED);
            return false;
        }
    }
    return true;
}

// ---- re-enumeration -----------------------------------------------------------------------

uint32_t CM_Locate_DevNodeA(DEVINST* devInst, const char* deviceId, uint32_t /*flags*/) {
    if (!devInst) return CR_FAILURE;
    if (auto fault = InjectedFault("CM_Locate_DevNode")) return *fault;
    if (deviceId && *deviceId) return CR_FAILURE;
    *devInst = kRootDevInst;
    return CR_SUCCESS;
}

uint32_t CM_Reenumerate_DevNode(DEVINST devInst, uint32_t /*flags*/) {
    if (devInst != kRootDevInst) return CR_FAILURE;
    if (auto fault = InjectedFault("CM_Reenumerate_DevNode")) return *fault;
    BumpCounter("rescans");
    RunEnumerators();
    BindDrivers();
    return CR_SUCCESS;
}

void RefreshNodes() {
    if (RunEnumerators()) BindDrivers();
}

int RegisterEnumerator(Enumerator enumerator) {
    std::lock_guard<std::mutex> lock(g_enumeratorsMutex);
    g_enumerators.emplace_back(g_nextEnumerator, std::move(enumerator));
    return g_nextEnumerator++;
}

void UnregisterEnumerator(int id) {
    std::lock_guard<std::mutex> lock(g_enumeratorsMutex);
    std::erase_if(g_enumerators, [id](const auto& e) { return e.first == id; });
}

// ---- files --------------------------------------------------------------------------------

uint32_t GetWindowsDirectoryA(char* buffer, uint32_t size) {
    if (auto fault = InjectedFault("GetWindowsDirectory")) {
        SetLastError(*fault);
        return 0;
    }
    const uint32_t length = uint32_t(std::strlen(kWindowsFolder));
    if (!buffer || size < length + 1) return length + 1;
    std::memcpy(buffer, kWindowsFolder, length + 1);
    return length;
}

bool SetFileAttributesA(const char* path, uint32_t attributes) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (auto fault = InjectedFault("SetFileAttributes", {FileNameOf(path)})) {
        SetLastError(*fault);
        return false;
    }
    stdfs::path native = fs::ToNativePath(path);
    struct stat st {};
    if (::stat(native.c_str(), &st) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND : ERROR_ACCESS_DENIED);
        return false;
    }
    mode_t mode = (attributes & FILE_ATTRIBUTE_READONLY) ? (st.st_mode & ~mode_t(0222)) : (st.st_mode | S_IWUSR);
    if (::chmod(native.c_str(), mode & 07777) != 0) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

bool DeleteFileA(const char* path) {
    if (!path || !*path) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return false;
    }
    if (auto fault = InjectedFault("DeleteFile", {FileNameOf(path)})) {
        SetLastError(*fault);
        return false;
    }
    stdfs::path native = fs::ToNativePath(path);
    struct stat st {};
    if (::lstat(native.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        SetLastError(ERROR_ACCESS_DENIED);
        return false;
    }
    if (::unlink(native.c_str()) != 0) {
        SetLastError(errno == ENOENT ? ERROR_FILE_NOT_FOUND
                     : errno == ENOTDIR ? ERROR_PATH_NOT_FOUND
                                        : ERROR_ACCESS_DENIED);
        return false;
    }
    return true;
}

std::vector<std::string> FindFiles(const std::string& pattern) {
    size_t cut = pattern.find_last_of("\\/");
    std::string folderText = cut == std::string::npos ? std::string() : pattern.substr(0, cut + 1);
    std::string namePattern = vb::LCase(cut == std::string::npos ? pattern : pattern.substr(cut + 1));
    std::vector<std::string> names;
    std::error_code ec;
    for (const auto& entry : stdfs::directory_iterator(fs::ToNativePath(folderText), ec)) {
        std::string name = entry.path().filename().string();
        if (entry.is_regular_file(ec) && WildcardMatch(namePattern, vb::LCase(name))) names.push_back(name);
    }
    std::sort(names.begin(), names.end());
    for (std::string& name : names) name = folderText + name;
    return names;
}

}  // namespace devices
