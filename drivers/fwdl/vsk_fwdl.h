// The firmware-information library: which Lumarel 460 units are attached, and for each its
// identifier, GUID and the dates of the firmware it runs.
//
// Programs link it by its import table and call the two functions below; the answers come from
// the units on the bus (through the bus service, or a bus hosted in the test process).
#pragma once

#include <cstdint>

#define VSKFWDL_EXPORT __attribute__((visibility("default")))

// The device-information record VSKFWDL_GetDeviceInfo fills (468 bytes). Texts are
// NUL-terminated; the GUID is most significant byte first.
namespace vskfwdl {
inline constexpr int kRecordSize = 468;
inline constexpr int kIdentifierAt = 0, kIdentifierSize = 64;
inline constexpr int kInterfacePathAt = 64, kInterfacePathSize = 256;
inline constexpr int kGuidAt = 356;
inline constexpr int kSoftwareDateAt = 372, kSoftwareTimeAt = 384;
inline constexpr int kBootloaderDateAt = 412, kBootloaderTimeAt = 424;
inline constexpr int kDateTimeSize = 12;
}  // namespace vskfwdl

extern "C" {

// Counts the attached units whose driver exposes the interface class named by guidText
// ("{006902CB-E626-45b4-8A62-2EAAD63F8D12}", any case) and keeps their list for
// VSKFWDL_GetDeviceInfo. 0 on success; 87 for a missing argument; 2 when no bus can be reached.
VSKFWDL_EXPORT int32_t VSKFWDL_EnumerateDevices(const char* guidText, int32_t* count);
// Fills the 468-byte record of the unit at index (0-based) of the last enumeration. 0 on
// success; 87 for a null record; 259 for an index outside the list (the record is untouched).
VSKFWDL_EXPORT int32_t VSKFWDL_GetDeviceInfo(int32_t index, void* record);
// For test programs: hosts the given sim::Bus (passed as void*) in this process; nullptr goes
// back to the bus service. Returns 1.
VSKFWDL_EXPORT int32_t VSKFWDL_HostBus(void* bus);

}  // extern "C"
