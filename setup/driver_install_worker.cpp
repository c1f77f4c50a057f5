#include "setup/driver_install_worker.h"

#include <strings.h>

#include <condition_variable>
#include <memory>
#include <mutex>

#include "setup/bus_requests.h"
#include "clock/clock.h"
#include "devices/inf.h"
#include "devices/install_calls.h"
#include "devices/store.h"
#include "drvkit/drvkit.h"

namespace setup {

bool WaitUnlessStopped(std::stop_token stop, uint32_t ms) {
    // The clock says when the time is up (on the manual clock: when a test moves time past it);
    // a stop request wakes the wait early. The shared state outlives a wake that comes late.
    struct Wake {
        std::mutex m;
        std::condition_variable_any cv;
        bool due = false;
    };
    auto wake = std::make_shared<Wake>();
    clk::Current().Schedule(ms, [wake] {
        std::lock_guard<std::mutex> lock(wake->m);
        wake->due = true;
        wake->cv.notify_all();
    });
    std::unique_lock<std::mutex> lock(wake->m);
    wake->cv.wait(lock, stop, [&] { return wake->due; });
    return !stop.stop_requested();
}

bool VirtualDeviceInterfacePresent() {
    const std::string wanted = kVirtualDeviceInterface;
    devices::RefreshNodes();
    for (const devices::DeviceNode& node : devices::ListNodes()) {
        if (!node.present) continue;
        for (const std::string& entry : node.interfaces) {
            // "<class GUID> <device path>"
            const std::string guid = entry.substr(0, entry.find(' '));
            if (::strcasecmp(guid.c_str(), wanted.c_str()) == 0) return true;
        }
    }
    return false;
}

bool InfDriverInstalledForItsDevices(const std::string& infPath) {
    const auto ids = devices::InfModelHardwareIds(infPath);
    if (!ids) return false;
    for (const devices::DeviceNode& node : devices::ListNodes()) {
        if (!devices::HasInstalledDriver(node)) continue;
        for (const std::string& id : node.hardwareIds)
            for (const std::string& wanted : *ids)
                if (devices::SameHardwareId(id, wanted)) return true;
    }
    return false;
}

InstallOutcome InstallDriverAndVirtualDevices(std::stop_token stop) {
    InstallOutcome out;
    // No device node of the INF: the driver is not in the system. Nodes that exist but none of
    // which runs a driver from an installed INF (the downloader's own virtual device, left on the
    // bus by any earlier run): not either, and the install then binds them. A count that failed
    // (-1) is left alone.
    const int32_t nodes = DRVKIT_EnumerateDevNodesByHardwareIDs(kVirtualDeviceInf, 0);
    if (nodes == 0 || (nodes > 0 && !InfDriverInstalledForItsDevices(kVirtualDeviceInf)))
        DRVKIT_CopyOEMInf(kVirtualDeviceInf);
    ForEachBus(AddVirtualDevice);
    for (int i = 0; i < kInterfacePolls; ++i) {
        if (!WaitUnlessStopped(stop, kInterfacePollMs)) {
            out.stopped = true;
            return out;
        }
        ++out.polls;
        if (VirtualDeviceInterfacePresent()) {
            out.interfaceUp = true;
            break;
        }
    }
    return out;
}

}  // namespace setup
