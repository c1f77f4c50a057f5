// The work behind the library's functions: hardware IDs read from INF files, device nodes found,
// counted and removed by hardware ID, INF files found and deleted by hardware ID, and the
// system's re-enumeration. Failures are reported through results and log lines only.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices/install_calls.h"
#include "drvkit/installer_log.h"

namespace drvkit {

class DeviceInstaller : public Logger {
public:
    // Appends the INF's hardware IDs: for each line of [Manufacturer], the second field of each
    // line of the models section it names. False only when the INF cannot be opened.
    bool readInfHardwareIds(const std::string& infPath, std::vector<std::string>& ids);
    bool infContainsHardwareId(const std::string& infPath, const std::string& hardwareId);
    // The strings of a text or multi-string property of one element.
    bool getDeviceRegistryStrings(devices::HDEVINFO set, devices::SP_DEVINFO_DATA* element, uint32_t property,
                                  std::vector<std::string>& strings);
    bool deviceHasHardwareId(devices::HDEVINFO set, devices::SP_DEVINFO_DATA* element,
                             const std::string& hardwareId);
    // The caller destroys `set` when its handle is valid, whatever the result.
    bool findDevNodes(devices::HDEVINFO& set, std::vector<devices::SP_DEVINFO_DATA>& matches,
                      const std::string& hardwareId, int32_t scanMode);
    int32_t enumerateDevNodes(const std::string& hardwareId, int32_t scanMode);
    bool deleteDevNodes(const std::string& hardwareId, int32_t scanMode);
    bool findInfFiles(const std::string& hardwareId, int32_t scanMode, std::vector<std::string>& paths);
    bool deleteInfFiles(const std::string& hardwareId, int32_t scanMode);

    bool deleteInfFilesByHardwareIDs(const std::string& infPath, int32_t scanMode);
    bool deleteDevNodesByHardwareIDs(const std::string& infPath, int32_t scanMode);
    bool updateDriverByHardwareIDs(const std::string& infPath);
    int32_t enumerateDevNodesByHardwareIDs(const std::string& infPath, int32_t scanMode);

    bool rescan();

private:
    void destroySet(devices::HDEVINFO set);
    // Reads the INF's hardware IDs and runs `step` on each between its "start"/"done" log lines
    // ("start <activity> hardware ID ..."); false when the INF cannot be read or any step failed.
    bool forEachInfHardwareId(const std::string& infPath, const char* activity,
                              const std::function<bool(const std::string& id)>& step);
};

}  // namespace drvkit
