// The driver install that runs while the dialog opens: the virtual-device driver goes into the
// system unless one of its device nodes already runs a driver from an installed INF, every 1394
// bus gets a virtual device, and the worker waits (bounded, and only until told to stop) for that
// device's interface to come up.
#pragma once

#include <cstdint>
#include <stop_token>
#include <string>

#include "devices/bus_devices.h"

namespace setup {

inline constexpr char kVirtualDeviceInf[] = ".\\1394vdev.inf";
// The interface class the virtual device exposes once its driver runs.
inline constexpr const char* kVirtualDeviceInterface = busdev::kVirtualDeviceInterfaceClass;
// The audio interface's hardware ID: present means switched on and connected.
inline constexpr const char* kLumarelHardwareId = busdev::kLumarelHardwareId;

inline constexpr int kInterfacePolls = 101;
inline constexpr uint32_t kInterfacePollMs = 1000;

// Waits `ms` on the program's clock. False, at once, when a stop is requested before or during
// the wait.
bool WaitUnlessStopped(std::stop_token stop, uint32_t ms);

// True when a present device exposes the virtual device's interface class.
bool VirtualDeviceInterfacePresent();

// True when a device node of one of the INF's hardware IDs is bound to the driver of an installed
// INF, so that the driver is in the system already. A node of those IDs without such a driver
// does not count: the downloader adds its virtual device on every run and leaves it on the bus,
// and on a machine where the driver was never installed that node stays driverless (and without
// its interface) until the INF is installed, which then binds it as Plug and Play does.
bool InfDriverInstalledForItsDevices(const std::string& infPath);

struct InstallOutcome {
    bool stopped = false;      // a stop request ended the wait
    bool interfaceUp = false;  // the interface came up
    int polls = 0;             // waits made
};

// The worker's whole run. Failures of the install and of the bus requests are not reported:
// the update button is offered whatever happens here.
InstallOutcome InstallDriverAndVirtualDevices(std::stop_token stop);

}  // namespace setup
