// The library's exported functions: each takes the one lock, logs its enter line, runs its
// operation, logs its leave line with the result and returns that result.
#include <mutex>
#include <new>
#include <string>

#include "drvkit/device_installer.h"
#include "devices/errors.h"
#include "devices/processes.h"
#include "drvkit/drvkit.h"

namespace {

// The file's version record, as "strings" shows it.
[[maybe_unused]] __attribute__((used)) const char kVersionRecord[] =
    "Device Installation/Uninstallation support DLL, version 1.06.0.0";

// Built when the library loads and released when it unloads, the lock first: the installer's
// destruction closes the log file, which writes out what the stream still buffers.
drvkit::DeviceInstaller g_installer;
std::recursive_mutex g_exportLock;

// A null string is taken for an empty one; the operations then fail the usual way.
std::string Text(const char* s) { return s ? std::string(s) : std::string(); }

template <typename Operation, typename... EnterArgs>
int32_t RunLocked(int32_t failure, const char* leaveFormat, Operation&& operation, const char* enterFormat,
                  EnterArgs... enterArgs) {
    std::lock_guard<std::recursive_mutex> lock(g_exportLock);
    g_installer.log(drvkit::kLogInfo, enterFormat, enterArgs...);
    int32_t result = failure;
    try {
        result = operation();
    } catch (const std::bad_alloc&) {
        g_installer.log(drvkit::kLogError, "Insufficient Memory!\n");
    } catch (...) {
        // Nothing may leave a C export; the library's log names only a memory shortage.
    }
    g_installer.log(drvkit::kLogInfo, leaveFormat, result);
    return result;
}

}  // namespace

extern "C" {

DRVKIT_API int32_t DRVKIT_GetVersion(void) { return 0x00010001; }

DRVKIT_API int32_t DRVKIT_CopyOEMInf(const char* infPath) {
    const std::string path = Text(infPath);
    return RunLocked(0, "leave DRVKIT_CopyOEMInf returning %d\n", [&]() -> int32_t {
        if (!devices::SetupCopyOEMInfA(path.c_str(), nullptr, devices::SPOST_PATH, 0, nullptr, 0, nullptr, nullptr)) {
            g_installer.log(drvkit::kLogError, "DRVKIT_CopyOEMInf: SetupCopyOEMInf failed, error=0x%08X\n",
                            devices::GetLastError());
            return 0;
        }
        return 1;
    }, "enter DRVKIT_CopyOEMInf('%s')\n", path.c_str());
}

DRVKIT_API int32_t DRVKIT_UpdateDriver(const char* hardwareId, const char* infPath) {
    const std::string id = Text(hardwareId), path = Text(infPath);
    return RunLocked(0, "leave DRVKIT_UpdateDriver returning %d\n", [&]() -> int32_t {
        if (!devices::UpdateDriverForPlugAndPlayDevicesA(nullptr, id.c_str(), path.c_str(),
                                                         devices::INSTALLFLAG_FORCE, nullptr)) {
            g_installer.log(drvkit::kLogInfo,
                            "DRVKIT_UpdateDriver: UpdateDriverForPlugAndPlayDevices failed, error=0x%08X\n",
                            devices::GetLastError());
            return 0;
        }
        return 1;
    }, "enter DRVKIT_UpdateDriver('%s','%s')\n", id.c_str(), path.c_str());
}

DRVKIT_API int32_t DRVKIT_UpdateDriverByHardwareIDs(const char* infPath) {
    const std::string path = Text(infPath);
    return RunLocked(0, "leave DRVKIT_UpdateDriverByHardwareIDs returning %d\n",
                     [&] { return int32_t(g_installer.updateDriverByHardwareIDs(path)); },
                     "enter DRVKIT_UpdateDriverByHardwareIDs('%s')\n", path.c_str());
}

DRVKIT_API int32_t DRVKIT_DeleteDevNodes(const char* hardwareId, int32_t scanMode) {
    const std::string id = Text(hardwareId);
    return RunLocked(0, "leave DRVKIT_DeleteDevNodes returning %d\n",
                     [&] { return int32_t(g_installer.deleteDevNodes(id, scanMode)); },
                     "enter DRVKIT_DeleteDevNodes('%s',%d)\n", id.c_str(), scanMode);
}

DRVKIT_API int32_t DRVKIT_DeleteDevNodesByHardwareIDs(const char* infPath, int32_t scanMode) {
    const std::string path = Text(infPath);
    return RunLocked(0, "leave DRVKIT_DeleteDevNodesByHardwareIDs returning %d\n",
                     [&] { return int32_t(g_installer.deleteDevNodesByHardwareIDs(path, scanMode)); },
                     "enter DRVKIT_DeleteDevNodesByHardwareIDs('%s',%d)\n", path.c_str(), scanMode);
}

DRVKIT_API int32_t DRVKIT_DeleteInfFiles(const char* hardwareId, int32_t scanMode) {
    const std::string id = Text(hardwareId);
    return RunLocked(0, "leave DRVKIT_DeleteInfFiles returning %d\n",
                     [&] { return int32_t(g_installer.deleteInfFiles(id, scanMode)); },
                     "enter DRVKIT_DeleteInfFiles('%s',%d)\n", id.c_str(), scanMode);
}

DRVKIT_API int32_t DRVKIT_DeleteInfFilesByHardwareIDs(const char* infPath, int32_t scanMode) {
    const std::string path = Text(infPath);
    return RunLocked(0, "leave DRVKIT_DeleteInfFilesByHardwareIDs returning %d\n",
                     [&] { return int32_t(g_installer.deleteInfFilesByHardwareIDs(path, scanMode)); },
                     "enter DRVKIT_DeleteInfFilesByHardwareIDs('%s')\n", path.c_str());
}

DRVKIT_API int32_t DRVKIT_EnumerateDevNodes(const char* hardwareId, int32_t scanMode) {
    const std::string id = Text(hardwareId);
    return RunLocked(-1, "leave DRVKIT_EnumerateDevNodes returning %d\n",
                     [&] { return g_installer.enumerateDevNodes(id, scanMode); },
                     "enter DRVKIT_EnumerateDevNodes('%s','%d')\n", id.c_str(), scanMode);
}

DRVKIT_API int32_t DRVKIT_EnumerateDevNodesByHardwareIDs(const char* infPath, int32_t scanMode) {
    const std::string path = Text(infPath);
    return RunLocked(-1, "leave DRVKIT_EnumerateDevNodesByHardwareIDs returning %d\n",
                     [&] { return g_installer.enumerateDevNodesByHardwareIDs(path, scanMode); },
                     "enter DRVKIT_EnumerateDevNodesByHardwareIDs('%s','%d')\n", path.c_str(), scanMode);
}

DRVKIT_API int32_t DRVKIT_Rescan(void) {
    return RunLocked(0, "leave DRVKIT_Rescan returning %d\n", [&] { return int32_t(g_installer.rescan()); },
                     "enter DRVKIT_Rescan()\n");
}

DRVKIT_API int32_t DRVKIT_EnableLogging(const char* logFilePath) {
    const std::string path = Text(logFilePath);
    // The enter line goes to the file open before the call, the leave line to the new one.
    return RunLocked(0, "leave DRVKIT_EnableLogging returning %d\n",
                     [&] { return int32_t(g_installer.enableLogging(path)); },
                     "enter DRVKIT_EnableLogging('%s')\n", path.c_str());
}

DRVKIT_API int32_t DRVKIT_KillProcess(const char* exeName) {
    try {
        const std::string name = Text(exeName);
        auto processes = devices::ListProcesses();
        if (!processes || processes->empty()) return 0;
        for (const devices::ProcessEntry& process : *processes) {
            // A process that cannot be ended is passed over.
            if (devices::ExeNameMatches(name, process.exeName)) devices::EndProcess(process.pid);
        }
        return 1;
    } catch (...) {
        return 0;
    }
}

}  // extern "C"
