// Kernel mutexes as the programs expect them of their platform.
//
// Two kinds: an unnamed mutex that lives in this process, and a named mutex that every process
// of the machine sharing one platform root (LUMAREL_ROOT) sees under the same name. Both are
// owned by a thread and may be taken again by the thread that owns them (each take needs its
// own release). Waits run on platform/clock, so on a manual clock a 2000 ms time-out costs no
// real time. A mutex whose owner ended (thread or process) without releasing it is handed to
// the next waiter with the result WAIT_ABANDONED.
#pragma once

#include <cstdint>
#include <string>

namespace kernel {

using Handle = int32_t;  // 0 is no handle

inline constexpr uint32_t WAIT_OBJECT_0 = 0;
inline constexpr uint32_t WAIT_ABANDONED = 0x80;
inline constexpr uint32_t WAIT_TIMEOUT = 258;
inline constexpr uint32_t WAIT_FAILED = 0xFFFFFFFFu;
inline constexpr uint32_t INFINITE = 0xFFFFFFFFu;

inline constexpr uint32_t MUTEX_ALL_ACCESS = 0x1F0001;
inline constexpr uint32_t SYNCHRONIZE = 0x100000;

// Error codes left by the calls below (GetLastError).
inline constexpr uint32_t ERROR_SUCCESS = 0;
inline constexpr uint32_t ERROR_FILE_NOT_FOUND = 2;
inline constexpr uint32_t ERROR_PATH_NOT_FOUND = 3;
inline constexpr uint32_t ERROR_ACCESS_DENIED = 5;
inline constexpr uint32_t ERROR_INVALID_HANDLE = 6;
inline constexpr uint32_t ERROR_DISK_FULL = 112;
inline constexpr uint32_t ERROR_INVALID_NAME = 123;
inline constexpr uint32_t ERROR_ALREADY_EXISTS = 183;
inline constexpr uint32_t ERROR_NOT_OWNER = 288;

// Creates a mutex. An empty name makes an unnamed one; a named one that exists already is
// opened (GetLastError then gives ERROR_ALREADY_EXISTS). Returns 0 on failure: ERROR_DISK_FULL
// when the disk has no room for the name's lock file, ERROR_ACCESS_DENIED when the folder of the
// names may not be trusted (another user owns it or may write it) or a symbolic link stands in
// place of a lock file; LastErrorDetail then says which file or folder.
Handle CreateMutex(bool initialOwner, const std::string& name = {});
// Opens an existing named mutex: one that some handle, in any process, holds open. Returns 0
// with ERROR_FILE_NOT_FOUND when none is open. The access mask and inheritance are accepted
// for the callers' sake; every handle has full access.
Handle OpenMutex(uint32_t desiredAccess, bool inheritHandle, const std::string& name);
// Waits at most `ms` (INFINITE for ever) to own the mutex. WAIT_OBJECT_0, WAIT_ABANDONED (now
// owned), WAIT_TIMEOUT or WAIT_FAILED (bad handle).
uint32_t WaitForSingleObject(Handle h, uint32_t ms);
// Gives up one take. False (ERROR_NOT_OWNER) when the calling thread does not own it.
bool ReleaseMutex(Handle h);
// Closes a handle. A mutex still owned by the calling thread through it stays owned until that
// thread releases it or ends.
bool CloseHandle(Handle h);

uint32_t GetLastError();
// The last failure of CreateMutex or OpenMutex on the calling thread in words, naming the file
// or folder and how to mend it where that is known; empty after a success.
std::string LastErrorDetail();
// The calling thread's system-wide identifier.
uint32_t GetCurrentThreadId();

// The folder under the platform root where named mutexes keep their lock files.
std::string NamedObjectFolder();

}  // namespace kernel
