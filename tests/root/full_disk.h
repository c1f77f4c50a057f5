// A full disk under one folder of the platform root, for one started program alone: the program's
// process takes a mount namespace of its own, mounts a small file system on the folder and fills
// it, so that the program finds the folder empty and without room, while the test and every
// other process see the folder as it was. The namespace goes with the process.
#pragma once

#include <sched.h>
#include <sys/mount.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

namespace roottest {

// What a caller would find from an earlier unattended run that went well.
inline constexpr char kEarlierSuccess[] =
    "0:00:04.120, USER, basAutomation, Successfully programmed GUID 0A3C7E100001ABCD to the device.\r\n";

// Why a full disk cannot be made here, or empty when it can: mounting takes an administrator.
inline const char* FullDiskAbsent() {
    return ::geteuid() == 0 ? "" : "a small file system is mounted by an administrator only";
}

// Run in the started program's process, before it becomes the program: mounts a 64 KiB file
// system on `where` (which must exist) in a mount namespace of this process's own, and fills it.
// False when this machine gives no mount namespace (the program is then not started).
inline bool MountFullDisk(const std::filesystem::path& where) {
    if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
        ::mount("tmpfs", where.c_str(), "tmpfs", 0, "size=64k,mode=0755") != 0)
        return false;
    if (FILE* filler = std::fopen((where / "filler").c_str(), "wb")) {
        const std::string block(4096, 'x');
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size() && std::fflush(filler) == 0) {
        }
        std::fclose(filler);
    }
    return true;
}

}  // namespace roottest
