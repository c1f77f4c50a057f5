// The system's list of file locks, as /proc/locks gives it, read for the holders of one file.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fs/fs.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::vector<int> pids = fs::LockHolderPids(text, 0xfd, 1, 1234567);
    // Few, each a process id, none twice.
    if (pids.size() > fs::kMaxLockHolders) __builtin_trap();
    for (size_t i = 0; i < pids.size(); ++i) {
        if (pids[i] <= 0) __builtin_trap();
        if (std::find(pids.begin() + long(i) + 1, pids.end(), pids[i]) != pids.end()) __builtin_trap();
    }
    return 0;
}
