// Test support: a disk that fills up, without a small file system. While one of these is alive
// the process may not write past `bytes` in any file (the write fails with EFBIG instead of the
// process being killed by SIGXFSZ), which is what a writer sees of a full disk.
#pragma once

#include <sys/resource.h>

#include <csignal>

namespace testing_support {

class FileSizeLimit {
public:
    explicit FileSizeLimit(rlim_t bytes) {
        ::getrlimit(RLIMIT_FSIZE, &previous_);
        handler_ = ::signal(SIGXFSZ, SIG_IGN);
        rlimit small = previous_;
        small.rlim_cur = bytes;
        ::setrlimit(RLIMIT_FSIZE, &small);
    }
    ~FileSizeLimit() {
        ::setrlimit(RLIMIT_FSIZE, &previous_);
        ::signal(SIGXFSZ, handler_);
    }
    FileSizeLimit(const FileSizeLimit&) = delete;
    FileSizeLimit& operator=(const FileSizeLimit&) = delete;

private:
    rlimit previous_{};
    void (*handler_)(int) = SIG_DFL;
};

}  // namespace testing_support
