// drvkit: installs and removes Plug and Play drivers by hardware ID.
//
// Thirteen functions with C linkage, exported by their plain names. Strings are 8-bit,
// NUL-terminated and owned by the caller; a null string counts as an empty one. Results are
// 32-bit: 1 or 0 for success or failure, a count or -1 for the two counting functions. Every
// function except DRVKIT_GetVersion and DRVKIT_KillProcess runs under one process-wide lock, so
// they run one at a time whatever thread calls them, and writes an enter and a leave line to the
// log file once DRVKIT_EnableLogging has opened one.
//
// Scan modes: for device nodes 0 is every node the system knows, 1 only present ones; for INF
// files 0 is every "*.inf" of the INF folder, 1 only "oem*.inf". Another value fails the call.
#pragma once

#include <stdint.h>

#if defined(__GNUC__)
#define DRVKIT_API __attribute__((visibility("default")))
#else
#define DRVKIT_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

// 0x00010001, always.
DRVKIT_API int32_t DRVKIT_GetVersion(void);
// Installs the INF into the system's INF folder as an OEM INF. 1 copied, 0 failed.
DRVKIT_API int32_t DRVKIT_CopyOEMInf(const char* infPath);
// Installs the INF's driver on the present devices with that hardware ID. 1 updated, 0 failed.
DRVKIT_API int32_t DRVKIT_UpdateDriver(const char* hardwareId, const char* infPath);
// The same for every hardware ID the INF lists. 1 when every one was updated.
DRVKIT_API int32_t DRVKIT_UpdateDriverByHardwareIDs(const char* infPath);
// Removes the device nodes with that hardware ID. 1 when the search ran.
DRVKIT_API int32_t DRVKIT_DeleteDevNodes(const char* hardwareId, int32_t scanMode);
DRVKIT_API int32_t DRVKIT_DeleteDevNodesByHardwareIDs(const char* infPath, int32_t scanMode);
// Deletes the INF files (with their compiled companions) that install that hardware ID.
DRVKIT_API int32_t DRVKIT_DeleteInfFiles(const char* hardwareId, int32_t scanMode);
DRVKIT_API int32_t DRVKIT_DeleteInfFilesByHardwareIDs(const char* infPath, int32_t scanMode);
// The number of device nodes with that hardware ID; -1 on failure.
DRVKIT_API int32_t DRVKIT_EnumerateDevNodes(const char* hardwareId, int32_t scanMode);
// The sum over the INF's hardware IDs; -1 when none could be counted.
DRVKIT_API int32_t DRVKIT_EnumerateDevNodesByHardwareIDs(const char* infPath, int32_t scanMode);
// Asks the system to re-enumerate its devices. 1 done, 0 failed.
DRVKIT_API int32_t DRVKIT_Rescan(void);
// Closes the log file and opens (appends to) this one. 1 when a log file is open afterwards.
DRVKIT_API int32_t DRVKIT_EnableLogging(const char* logFilePath);
// Ends every process whose executable has that name. 1 after the walk, 0 when the process list
// cannot be read.
DRVKIT_API int32_t DRVKIT_KillProcess(const char* exeName);

#ifdef __cplusplus
}
#endif
