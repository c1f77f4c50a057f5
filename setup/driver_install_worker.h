// The driver install that runs while the dialog opens: the virtual-device driver goes into the
// system when none of its device nodes exist yet, every 1394 bus gets a virtual device, and the
// worker waits (bounded, and only until told to stop) for that device's interface to come up.
#pragma once

#include <cstdint>
#include <stop_token>

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

struct InstallOutcome {
    bool stopped = false;      // a stop request ended the wait
    bool interfaceUp = false;  // the interface came up
    int polls = 0;             // waits made
};

// The worker's whole run. Failures of the install and of the bus requests are not reported:
// the update button is offered whatever happens here.
InstallOutcome InstallDriverAndVirtualDevices(std::stop_token stop);

}  // namespace setup
