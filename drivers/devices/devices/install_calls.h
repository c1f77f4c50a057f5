// The installer's calls over the device store: device information sets, the hardware-ID
// property, removing a node, installing a driver package, re-enumeration and the file calls the
// installer uses on the INF folder.
//
// They follow the platform's installer interface closely enough for a driver-install library to
// run its usual code on them: results are true/false (or a handle), and a failure leaves its
// reason in devices::GetLastError(). Every call that a fault rule can hit names its operation and
// subject below (see store.h for the rules).
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "devices/inf.h"

namespace devices {

using HDEVINFO = void*;
using DEVINST = uint32_t;

inline constexpr uint32_t DIGCF_PRESENT = 0x2;
inline constexpr uint32_t DIGCF_ALLCLASSES = 0x4;
inline constexpr uint32_t SPDRP_HARDWAREID = 0x1;
inline constexpr uint32_t DIF_REMOVE = 0x5;
inline constexpr uint32_t SPOST_PATH = 1;
inline constexpr uint32_t INSTALLFLAG_FORCE = 0x1;
inline constexpr uint32_t CM_LOCATE_DEVNODE_NORMAL = 0;
inline constexpr uint32_t CM_REENUMERATE_SYNCHRONOUS = 1;

// One element of a device information set, in the platform's 32-bit layout.
struct SP_DEVINFO_DATA {
    uint32_t cbSize = 0;       // must be 28
    uint8_t ClassGuid[16] = {};
    DEVINST DevInst = 0;       // identifies the element within its set
    uint32_t Reserved = 0;
};
static_assert(sizeof(SP_DEVINFO_DATA) == 28);

// ---- device information sets --------------------------------------------------------------

// A snapshot of the store's nodes: all of them, or with DIGCF_PRESENT only the present ones (a
// store that does not exist yet has none). Each set made counts in the counter "sets".
// INVALID_HANDLE_VALUE on failure. Fault: "SetupDiGetClassDevs".
HDEVINFO SetupDiGetClassDevsA(const void* classGuid, const char* enumerator, void* parentWindow, uint32_t flags);
// The element at `index`; ERROR_NO_MORE_ITEMS past the last, ERROR_INVALID_USER_BUFFER when
// the size field is not 28. Fault: "SetupDiEnumDeviceInfo", subject the element's instance ID.
bool SetupDiEnumDeviceInfo(HDEVINFO set, uint32_t index, SP_DEVINFO_DATA* element);
// The element's SPDRP_HARDWAREID property. With a buffer that is missing or too small it fails
// with ERROR_INSUFFICIENT_BUFFER and reports the size; a node without the property fails with
// ERROR_INVALID_DATA. Fault: "SetupDiGetDeviceRegistryProperty", subject the instance ID.
bool SetupDiGetDeviceRegistryPropertyA(HDEVINFO set, SP_DEVINFO_DATA* element, uint32_t property,
                                       uint32_t* valueType, uint8_t* buffer, uint32_t size,
                                       uint32_t* requiredSize);
// DIF_REMOVE removes the element's node from the store (counter "removals"); ERROR_NO_SUCH_DEVINST
// when it is gone already. Other functions do nothing. Fault: "SetupDiCallClassInstaller",
// subjects the node's instance ID and hardware IDs.
bool SetupDiCallClassInstaller(uint32_t function, HDEVINFO set, SP_DEVINFO_DATA* element);
// ERROR_INVALID_HANDLE for a handle that is no open set; the set is released all the same when
// a fault rule "SetupDiDestroyDeviceInfoList" fails the call.
bool SetupDiDestroyDeviceInfoList(HDEVINFO set);
// Sets still open in this process (tests check that callers release theirs).
int OpenDeviceInfoSets();

// ---- driver packages ----------------------------------------------------------------------

// Installs an INF into the INF folder: when an installed oem<N>.inf holds the same bytes
// nothing is copied; otherwise it lands as the lowest free oem<N>.inf with a compiled companion
// oem<N>.pnf. Present nodes without a driver that the INF lists are then bound to it. The source
// must open in the Windows 4 style (its error otherwise). Fault: "SetupCopyOEMInf", subject the
// source's file name.
bool SetupCopyOEMInfA(const char* sourceInf, const char* mediaRoot, uint32_t mediaType, uint32_t copyStyle,
                      char* destination, uint32_t destinationSize, uint32_t* requiredSize, char** fileNamePart);
// Installs the INF's driver on every present node with that hardware ID: the INF is installed as
// by SetupCopyOEMInfA and the nodes are bound to it, whatever driver they had. Fails with the
// INF's open error, ERROR_NO_SUCH_DEVINST when no present node has the ID, ERROR_NO_COMPAT_DRIVERS
// when the INF does not list it. Fault: "UpdateDriverForPlugAndPlayDevices", subject the ID.
bool UpdateDriverForPlugAndPlayDevicesA(void* parentWindow, const char* hardwareId, const char* infPath,
                                        uint32_t installFlags, bool* rebootRequired);

// ---- re-enumeration -----------------------------------------------------------------------

inline constexpr DEVINST kRootDevInst = 1;
// The root node for no device ID; CR_FAILURE for any other. Fault: "CM_Locate_DevNode".
uint32_t CM_Locate_DevNodeA(DEVINST* devInst, const char* deviceId, uint32_t flags);
// Re-enumerates the devices: the counter "rescans" grows, every enumerator registered in this
// process publishes its nodes, and nodes without a driver are bound to the installed INFs
// (whether or not an enumerator is registered).
// Fault: "CM_Reenumerate_DevNode".
uint32_t CM_Reenumerate_DevNode(DEVINST devInst, uint32_t flags);
// Something that knows which devices exist (a bus) and writes their nodes when asked.
using Enumerator = std::function<void()>;
// Every enumerator registered in this process publishes its nodes, and nodes without a driver
// are bound to the installed INFs; nothing happens when none is registered. Every device
// information set is made after this, so it sees the devices that exist now.
void RefreshNodes();
// Registers an enumerator; the returned number removes it again.
int RegisterEnumerator(Enumerator enumerator);
void UnregisterEnumerator(int id);

// ---- files --------------------------------------------------------------------------------

// The Windows folder ("C:\WINDOWS") and its length; 0 when the buffer is too small (the length
// needed is returned, with its NUL) or a fault rule "GetWindowsDirectory" fails it.
uint32_t GetWindowsDirectoryA(char* buffer, uint32_t size);
inline constexpr uint32_t FILE_ATTRIBUTE_READONLY = 0x1;
inline constexpr uint32_t FILE_ATTRIBUTE_NORMAL = 0x80;
// Read-only or writable. Fault: "SetFileAttributes", subject the file name.
bool SetFileAttributesA(const char* path, uint32_t attributes);
// Fault: "DeleteFile", subject the file name.
bool DeleteFileA(const char* path);
// The files of one folder whose names match the pattern ("*" and "?", without regard to case),
// as full paths in the caller's style ("C:\WINDOWS\inf\oem7.inf"), in name order. Only the last
// component of `pattern` may hold wildcards.
std::vector<std::string> FindFiles(const std::string& pattern);

}  // namespace devices
