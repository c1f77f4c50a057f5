#include "drvkit/device_installer.h"

#include <cstring>
#include <new>

#include "devices/errors.h"
#include "devices/store.h"
#include "vbrt/convert.h"

namespace drvkit {

using devices::GetLastError;
using devices::HDEVINFO;
using devices::INVALID_HANDLE_VALUE;
using devices::SP_DEVINFO_DATA;

namespace {

// Hardware-ID property values are short lists of short strings; a size beyond this is no such
// value.
constexpr uint32_t kMaxPropertyBytes = 1u << 20;
// The most device nodes one search looks at.
constexpr uint32_t kMaxDeviceIndices = 100000;

bool SameText(const std::string& a, const std::string& b) { return vb::StrEqual(a, b, vb::Compare::Text); }

// Reads one text field of an INF line into `out`; the size is asked first.
enum class FieldRead { Ok, SizeFailed, ReadFailed };
FieldRead ReadField(const devices::INFCONTEXT& context, uint32_t index, std::string& out) {
    uint32_t size = 0;
    if (!devices::SetupGetStringFieldA(&context, index, nullptr, 0, &size)) return FieldRead::SizeFailed;
    std::vector<char> buffer(size + 1, '\0');
    if (!devices::SetupGetStringFieldA(&context, index, buffer.data(), size, nullptr)) return FieldRead::ReadFailed;
    out.assign(buffer.data(), strnlen(buffer.data(), size));
    return FieldRead::Ok;
}

}  // namespace

bool DeviceInstaller::readInfHardwareIds(const std::string& infPath, std::vector<std::string>& ids) {
    devices::HINF inf = devices::SetupOpenInfFileA(infPath.c_str(), nullptr, devices::INF_STYLE_WIN4, nullptr);
    if (inf == INVALID_HANDLE_VALUE) {
        log(kLogError, "error while opening '%s': error code 0x%08X\n", infPath.c_str(), GetLastError());
        return false;
    }
    devices::INFCONTEXT manufacturer;
    bool more = devices::SetupFindFirstLineA(inf, "Manufacturer", nullptr, &manufacturer);
    for (; more; more = devices::SetupFindNextLine(&manufacturer, &manufacturer)) {
        if (devices::SetupGetFieldCount(&manufacturer) == 0) {
            log(kLogError, "invalid line context for section \"Manufacturer\": error code %u\n", GetLastError());
            continue;
        }
        std::string models;
        FieldRead read = ReadField(manufacturer, 1, models);
        if (read == FieldRead::SizeFailed) {
            log(kLogError, "getting required field size in section \"Manufacturer\" failed: error code %u\n",
                GetLastError());
            continue;
        }
        if (read == FieldRead::ReadFailed) {
            log(kLogError, "getting subsection name under section \"Manufacturer\" failed: error code %u\n",
                GetLastError());
            continue;
        }
        devices::INFCONTEXT line;
        bool moreModels = devices::SetupFindFirstLineA(inf, models.c_str(), nullptr, &line);
        for (; moreModels; moreModels = devices::SetupFindNextLine(&line, &line)) {
            uint32_t fields = devices::SetupGetFieldCount(&line);
            if (fields == 0) {
                log(kLogError, "invalid line context: error code %u\n", GetLastError());
                continue;
            }
            if (fields == 1) continue;  // a model without a hardware ID
            std::string id;
            read = ReadField(line, 2, id);
            if (read == FieldRead::SizeFailed) {
                log(kLogError, "getting required field size failed: error code %u\n", GetLastError());
                continue;
            }
            if (read == FieldRead::ReadFailed) {
                log(kLogError, "getting hardware ID in current line failed: error code %u\n", GetLastError());
                continue;
            }
            ids.push_back(id);
        }
    }
    devices::SetupCloseInfFile(inf);
    return true;
}

bool DeviceInstaller::infContainsHardwareId(const std::string& infPath, const std::string& hardwareId) {
    if (hardwareId.empty()) {
        log(kLogError, "hardware ID is empty\n");
        return false;
    }
    const std::string wanted = devices::TrimWhite(hardwareId);
    std::vector<std::string> ids;
    if (!readInfHardwareIds(infPath, ids)) {
        log(kLogError, "couldn\xB4t open INF file \"%s\"\n", infPath.c_str());
        return false;
    }
    for (const std::string& id : ids) {
        if (SameText(devices::TrimWhite(id), wanted)) return true;
    }
    return false;
}

bool DeviceInstaller::getDeviceRegistryStrings(HDEVINFO set, SP_DEVINFO_DATA* element, uint32_t property,
                                               std::vector<std::string>& strings) {
    strings.clear();
    uint32_t type = 0;
    uint32_t size = 0;
    if (!devices::SetupDiGetDeviceRegistryPropertyA(set, element, property, &type, nullptr, 0, &size) &&
        GetLastError() != devices::ERROR_INSUFFICIENT_BUFFER)
        return false;
    std::vector<uint8_t> buffer;
    try {
        if (size > kMaxPropertyBytes) throw std::bad_alloc();
        buffer.assign(size, 0);
    } catch (const std::bad_alloc&) {
        log(kLogError, "Insufficient Memory!\n");
        return false;
    }
    if (!devices::SetupDiGetDeviceRegistryPropertyA(set, element, property, &type, buffer.data(), size, nullptr))
        return false;
    if (type != devices::REG_SZ && type != devices::REG_MULTI_SZ) return false;
    // Each string ends at its NUL or at the end of the value, whichever comes first: a value
    // without its closing NUL is not read past.
    const char* data = reinterpret_cast<const char*>(buffer.data());
    size_t pos = 0;
    while (pos < size && data[pos] != '\0') {
        size_t length = strnlen(data + pos, size - pos);
        std::string s(data + pos, length);
        log(kLogError, "Compare device ID: [%s]\n", s.c_str());
        strings.push_back(std::move(s));
        pos += length + 1;
    }
    return true;
}

bool DeviceInstaller::deviceHasHardwareId(HDEVINFO set, SP_DEVINFO_DATA* element, const std::string& hardwareId) {
    std::vector<std::string> ids;
    if (!getDeviceRegistryStrings(set, element, devices::SPDRP_HARDWAREID, ids)) {
        log(kLogError, "couldn't get hardware ID of the device information element from registry\n");
        return false;
    }
    const std::string wanted = vb::UCase(devices::TrimWhite(hardwareId));
    for (const std::string& id : ids) {
        const std::string value = vb::UCase(devices::TrimWhite(id));
        log(kLogError, "strPropertyValue = %s\n", value.c_str());
        if (SameText(value, wanted)) return true;
    }
    return false;
}

bool DeviceInstaller::findDevNodes(HDEVINFO& set, std::vector<SP_DEVINFO_DATA>& matches,
                                   const std::string& hardwareId, int32_t scanMode) {
    set = INVALID_HANDLE_VALUE;
    if (hardwareId.empty()) {
        log(kLogError, "hardware ID is empty\n");
        return false;
    }
    uint32_t flags = 0;
    if (scanMode == 0) flags = devices::DIGCF_ALLCLASSES;
    else if (scanMode == 1) flags = devices::DIGCF_ALLCLASSES | devices::DIGCF_PRESENT;
    else {
        log(kLogError, "value %d is an unexpected scan mode for device nodes\n", scanMode);
        return false;
    }
    set = devices::SetupDiGetClassDevsA(nullptr, nullptr, nullptr, flags);
    if (set == INVALID_HANDLE_VALUE) {
        log(kLogError, "SetupDiGetClassDevs failed: error code %u\n", GetLastError());
        return false;
    }
    for (uint32_t index = 0; index < kMaxDeviceIndices; ++index) {
        SP_DEVINFO_DATA element;
        element.cbSize = sizeof element;
        if (!devices::SetupDiEnumDeviceInfo(set, index, &element)) {
            if (GetLastError() == devices::ERROR_NO_MORE_ITEMS) break;
            log(kLogError, "SetupDiEnumDeviceInfo failed: error code %u\n", GetLastError());
            continue;
        }
        if (deviceHasHardwareId(set, &element, hardwareId)) matches.push_back(element);
    }
    return true;
}

void DeviceInstaller::destroySet(HDEVINFO set) {
    if (!devices::SetupDiDestroyDeviceInfoList(set))
        log(kLogError, "SetupDiDestroyDeviceInfoList failed: error code %u\n", GetLastError());
}

int32_t DeviceInstaller::enumerateDevNodes(const std::string& hardwareId, int32_t scanMode) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    std::vector<SP_DEVINFO_DATA> matches;
    if (!findDevNodes(set, matches, hardwareId, scanMode)) {
        log(kLogError, "searching device nodes for hardware ID %s and scan mode %d failed\n", hardwareId.c_str(),
            scanMode);
        if (set != INVALID_HANDLE_VALUE) devices::SetupDiDestroyDeviceInfoList(set);
        return -1;
    }
    destroySet(set);
    return int32_t(matches.size());
}

bool DeviceInstaller::deleteDevNodes(const std::string& hardwareId, int32_t scanMode) {
    HDEVINFO set = INVALID_HANDLE_VALUE;
    std::vector<SP_DEVINFO_DATA> matches;
    if (!findDevNodes(set, matches, hardwareId, scanMode)) {
        log(kLogError, "searching device nodes for hardware ID %s and scan mode %d failed\n", hardwareId.c_str(),
            scanMode);
        if (set != INVALID_HANDLE_VALUE) devices::SetupDiDestroyDeviceInfoList(set);
        return false;
    }
    for (SP_DEVINFO_DATA& element : matches) {
        log(kLogInfo, "deleting device node with hardware ID \"%s\" ...\n", hardwareId.c_str());
        if (!devices::SetupDiCallClassInstaller(devices::DIF_REMOVE, set, &element))
            log(kLogError, "SetupDiCallClassInstaller(DIF_REMOVE) failed for \"%s\": error code %u\n",
                hardwareId.c_str(), GetLastError());
    }
    destroySet(set);
    return true;
}

bool DeviceInstaller::findInfFiles(const std::string& hardwareId, int32_t scanMode, std::vector<std::string>& paths) {
    paths.clear();
    char windows[261] = {};
    uint32_t length = devices::GetWindowsDirectoryA(windows, 260);
    if (length == 0 || length > 260) {
        log(kLogError, "determining system root failed: error code %u\n", GetLastError());
        return false;
    }
    std::string folder(windows, strnlen(windows, length));
    while (!folder.empty() && folder.back() == '\\') folder.pop_back();
    folder += "\\inf\\";
    if (scanMode == 0) folder += "*.inf";
    else if (scanMode == 1) folder += "oem*.inf";
    else {
        log(kLogError, "value %d is an unexpected inf scan mode\n", scanMode);
        return false;
    }
    for (const std::string& path : devices::FindFiles(folder)) {
        if (infContainsHardwareId(path, hardwareId)) paths.push_back(path);
    }
    return true;
}

bool DeviceInstaller::deleteInfFiles(const std::string& hardwareId, int32_t scanMode) {
    if (hardwareId.empty()) {
        log(kLogError, "hardware ID is empty\n");
        return false;
    }
    std::vector<std::string> paths;
    if (!findInfFiles(hardwareId, scanMode, paths)) {
        log(kLogError, "error while seeking INF files that should be deleted\n");
        return false;
    }
    for (const std::string& path : paths) {
        // Only a name ending exactly in ".inf" is taken for an INF file.
        size_t dot = path.rfind('.');
        if (dot == std::string::npos || path.compare(dot, std::string::npos, ".inf") != 0) {
            log(kLogError, "\"%s\" is not an INF file and therefore will not deleted\n", path.c_str());
            continue;
        }
        if (!devices::SetFileAttributesA(path.c_str(), devices::FILE_ATTRIBUTE_NORMAL))
            log(kLogError, "error while setting normal attributes of file %s: error code %u\n", path.c_str(),
                GetLastError());
        if (!devices::DeleteFileA(path.c_str())) {
            log(kLogError, "couldn\xB4t delete file \"%s\"\n", path.c_str());
            continue;
        }
        log(kLogInfo, "file %s deleted\n", path.c_str());

        const std::string compiled = path.substr(0, dot) + ".pnf";
        if (!devices::SetFileAttributesA(compiled.c_str(), devices::FILE_ATTRIBUTE_NORMAL))
            log(kLogError, "error while setting normal attributes of file %s: error code %u\n", compiled.c_str(),
                GetLastError());
        if (devices::DeleteFileA(compiled.c_str())) log(kLogInfo, "file %s deleted\n", compiled.c_str());
        else log(kLogError, "couldn\xB4t delete file \"%s\"\n", compiled.c_str());
    }
    return true;
}

bool DeviceInstaller::forEachInfHardwareId(const std::string& infPath, const char* activity,
                                           const std::function<bool(const std::string& id)>& step) {
    std::vector<std::string> ids;
    if (!readInfHardwareIds(infPath, ids)) {
        log(kLogError, "couldn\xB4t open INF file \"%s\"\n", infPath.c_str());
        return false;
    }
    bool all = true;
    for (const std::string& id : ids) {
        log(kLogInfo, "start %s hardware ID \"%s\" ...\n", activity, id.c_str());
        if (!step(id)) all = false;
        log(kLogInfo, "done  %s hardware ID \"%s\" ...\n", activity, id.c_str());
    }
    return all;
}

bool DeviceInstaller::deleteInfFilesByHardwareIDs(const std::string& infPath, int32_t scanMode) {
    return forEachInfHardwareId(infPath, "searching for INF files with", [&](const std::string& id) {
        if (deleteInfFiles(id, scanMode)) return true;
        log(kLogError, "deleteInfFiles failed for %s, error=0x%08X\n", id.c_str(), GetLastError());
        return false;
    });
}

bool DeviceInstaller::deleteDevNodesByHardwareIDs(const std::string& infPath, int32_t scanMode) {
    return forEachInfHardwareId(infPath, "searching for device nodes with", [&](const std::string& id) {
        if (deleteDevNodes(id, scanMode)) return true;
        log(kLogError, "deleteDevNodes failed for %s, error=0x%08X\n", id.c_str(), GetLastError());
        return false;
    });
}

bool DeviceInstaller::updateDriverByHardwareIDs(const std::string& infPath) {
    return forEachInfHardwareId(infPath, "updating drivers for", [&](const std::string& id) {
        if (devices::UpdateDriverForPlugAndPlayDevicesA(nullptr, id.c_str(), infPath.c_str(), devices::INSTALLFLAG_FORCE,
                                                        nullptr))
            return true;
        log(kLogError, "UpdateDriverForPlugAndPlayDevices failed for %s, error=0x%08X\n", id.c_str(), GetLastError());
        return false;
    });
}

int32_t DeviceInstaller::enumerateDevNodesByHardwareIDs(const std::string& infPath, int32_t scanMode) {
    std::vector<std::string> ids;
    if (!readInfHardwareIds(infPath, ids)) {
        log(kLogError, "couldn\xB4t open INF file \"%s\"\n", infPath.c_str());
        return -1;
    }
    bool counted = false;
    int32_t sum = 0;
    for (const std::string& id : ids) {
        log(kLogInfo, "start enumerating device nodes with hardware ID \"%s\" ...\n", id.c_str());
        int32_t count = enumerateDevNodes(id, scanMode);
        if (count == -1) {
            log(kLogError, "enumerating device nodes failed for %s, error=0x%08X\n", id.c_str(), GetLastError());
            continue;
        }
        log(kLogInfo, "%d device nodes found for %s\n", count, id.c_str());
        sum += count;
        counted = true;
    }
    return counted ? sum : -1;
}

bool DeviceInstaller::rescan() {
    devices::DEVINST root = 0;
    uint32_t result = devices::CM_Locate_DevNodeA(&root, nullptr, devices::CM_LOCATE_DEVNODE_NORMAL);
    if (result != devices::CR_SUCCESS) {
        log(kLogError, "CM_Locate_DevNode failed with error code %u (defined in cfgmgr32.h)\n", result);
        return false;
    }
    result = devices::CM_Reenumerate_DevNode(root, devices::CM_REENUMERATE_SYNCHRONOUS);
    if (result != devices::CR_SUCCESS) {
        log(kLogError, "CM_Reenumerate_DevNode failed with error code %u (defined in cfgmgr32.h)\n", result);
        return false;
    }
    return true;
}

}  // namespace drvkit
