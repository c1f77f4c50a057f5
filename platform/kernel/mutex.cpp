#include "kernel/mutex.h"

#include "clock/clock.h"
#include "fs/fs.h"

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <sys/file.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <fcntl.h>

namespace kernel {

namespace {

// One mutex object of this process. Handles to the same name share it. The in-process part
// (owner thread and recursion count) is guarded by State::lock; a named mutex also holds an
// exclusive lock on its lock file for as long as a thread of this process owns it, and a
// shared lock on its presence file for as long as a handle is open, so that other processes
// can tell that the name exists.
struct MutexObject {
    std::string key;        // lock-file path for a named mutex, empty for an unnamed one
    uint32_t ownerTid = 0;  // 0: not owned by a thread of this process
    uint32_t count = 0;
    bool abandoned = false;  // the owning thread ended without releasing
    int lockFd = -1;
    int presenceFd = -1;
    // The lock file's first byte mapped into memory: '1' while a thread of some process owns
    // the mutex, so that the next owner can tell that an owning process died. Set and cleared
    // once per take without a system call each (a download takes the mutex once per block).
    // Null where the file could not be mapped: the byte is then read and written.
    volatile char* mark = nullptr;
    int handles = 0;
};

char readMark(const MutexObject& m) {
    if (m.mark) return m.mark[0];
    char c = '0';
    return ::pread(m.lockFd, &c, 1, 0) == 1 ? c : '0';
}

void writeMark(MutexObject& m, char c) {
    if (m.mark) m.mark[0] = c;
    else (void)!::pwrite(m.lockFd, &c, 1, 0);
}

// Gives the lock file its byte on the disk, then maps it. The byte is reserved first: a file
// grown with ftruncate alone has no block behind it, and on a full disk the first write to the
// mapped page would end the process with SIGBUS instead of failing here. An earlier file made
// that way gets its block now as well. False (errno set) when the disk has no room; a file that
// cannot be mapped is read and written instead.
bool reserveAndMapMark(MutexObject& m) {
    const int rc = ::posix_fallocate(m.lockFd, 0, 1);
    if (rc != 0) {
        errno = rc;
        return false;
    }
    void* p = ::mmap(nullptr, 1, PROT_READ | PROT_WRITE, MAP_SHARED, m.lockFd, 0);
    if (p != MAP_FAILED) m.mark = static_cast<volatile char*>(p);
    return true;
}

struct State {
    std::mutex lock;
    std::map<Handle, std::shared_ptr<MutexObject>> handles;
    std::map<std::string, std::weak_ptr<MutexObject>> named;
    Handle next = 0x100;
};

State& state() {
    static State* s = new State;  // never destroyed: thread exits may still reach it
    return *s;
}

thread_local uint32_t t_lastError = ERROR_SUCCESS;
thread_local std::string t_lastErrorDetail;

// Mutexes owned by the calling thread; when the thread ends they are marked abandoned.
struct OwnedByThread {
    std::set<std::shared_ptr<MutexObject>> objects;
    ~OwnedByThread();
};
thread_local OwnedByThread t_owned;

void markReleased(MutexObject& m, bool abandonedMarker) {
    m.ownerTid = 0;
    m.count = 0;
    if (m.lockFd >= 0) {
        writeMark(m, abandonedMarker ? '1' : '0');
        ::flock(m.lockFd, LOCK_UN);
    }
}

OwnedByThread::~OwnedByThread() {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    for (auto& m : objects) {
        if (m->count > 0) {
            m->abandoned = true;
            markReleased(*m, true);
        }
    }
    objects.clear();
}

std::string sanitize(const std::string& name) {
    std::string out;
    for (unsigned char c : name) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '_' || c == '-' || c == '.';
        out += ok ? char(c) : '_';
    }
    return out;
}

// True when some handle (in any process) holds the presence file open.
bool someoneHasItOpen(const std::string& presencePath) {
    int fd = ::open(presencePath.c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) return false;
    bool busy = ::flock(fd, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK;
    if (!busy) ::flock(fd, LOCK_UN);
    ::close(fd);
    return busy;
}

Handle addHandle(State& s, const std::shared_ptr<MutexObject>& m) {
    Handle h = s.next++;
    s.handles[h] = m;
    ++m->handles;
    return h;
}

// A write that fails for want of room: a full disk, a quota, a file-size limit.
bool diskFull(int error) { return error == ENOSPC || error == EDQUOT || error == EFBIG; }

// Opens (or, with `create`, creates) the named object of this process. Caller holds s.lock.
// Null when it cannot: `error` and `detail` then say why.
std::shared_ptr<MutexObject> namedObject(State& s, const std::string& name, bool create, bool& existed,
                                         uint32_t& error, std::string& detail) {
    std::string folder = NamedObjectFolder();
    std::string base = folder + "/" + sanitize(name);
    std::string lockPath = base + ".lock";
    std::string presencePath = base + ".open";
    if (auto it = s.named.find(lockPath); it != s.named.end()) {
        if (auto m = it->second.lock()) {
            existed = true;
            return m;
        }
    }
    // The folder is the user's own, or no file in it is trusted (another user could have put a
    // link in place of a lock file). Only a mutex being created makes it.
    if (!create) {
        if (auto problem = fs::PrivateFolderProblem(folder)) {
            error = ERROR_ACCESS_DENIED;
            detail = *problem;
            return nullptr;
        }
    } else if (!fs::CreatePrivateFolders(folder, &detail)) {
        error = ERROR_ACCESS_DENIED;
        if (detail.empty()) {
            error = diskFull(errno) ? ERROR_DISK_FULL : ERROR_PATH_NOT_FOUND;
            detail = "the folder '" + folder + "' cannot be created (" + std::strerror(errno) + ")";
        }
        return nullptr;
    }
    existed = someoneHasItOpen(presencePath);
    if (!existed && !create) {
        error = ERROR_FILE_NOT_FOUND;
        return nullptr;
    }
    auto m = std::make_shared<MutexObject>();
    m->key = lockPath;
    // For the owner only, whatever the umask: the platform root is one user's machine.
    auto fail = [&](const std::string& file) {
        const int e = errno;
        error = diskFull(e) ? ERROR_DISK_FULL : e == ELOOP ? ERROR_ACCESS_DENIED : ERROR_INVALID_NAME;
        detail = e == ELOOP       ? "the file '" + file + "' is a symbolic link, not this mutex's own file"
                 : diskFull(e) ? "the disk has no room for the file '" + file + "' (" + std::strerror(e) + ")"
                               : "the file '" + file + "' cannot be used (" + std::strerror(e) + ")";
        if (m->lockFd >= 0) ::close(m->lockFd);
        if (m->presenceFd >= 0) ::close(m->presenceFd);
        return nullptr;
    };
    m->lockFd = fs::OpenPrivateFile(lockPath, O_RDWR | O_CREAT);
    if (m->lockFd < 0) return fail(lockPath);
    m->presenceFd = fs::OpenPrivateFile(presencePath, O_RDWR | O_CREAT);
    if (m->presenceFd < 0) return fail(presencePath);
    if (!reserveAndMapMark(*m)) return fail(lockPath);
    // A probe by another process holds the presence file exclusively for an instant only.
    while (::flock(m->presenceFd, LOCK_SH) != 0 && errno == EINTR) {
    }
    // A name nobody had open is a new mutex: an owner that died with the last handle left no
    // abandoned state behind.
    if (!existed && ::flock(m->lockFd, LOCK_EX | LOCK_NB) == 0) {
        writeMark(*m, '0');
        ::flock(m->lockFd, LOCK_UN);
    }
    s.named[lockPath] = m;
    return m;
}

void destroyObject(State& s, MutexObject& m) {
    if (m.key.empty()) return;
    if (m.count > 0) markReleased(m, false);
    if (m.mark) ::munmap(const_cast<char*>(m.mark), 1);
    m.mark = nullptr;
    if (m.lockFd >= 0) ::close(m.lockFd);
    if (m.presenceFd >= 0) ::close(m.presenceFd);
    m.lockFd = m.presenceFd = -1;
    s.named.erase(m.key);
}

// One attempt to own the mutex. Caller holds s.lock. Returns WAIT_OBJECT_0 / WAIT_ABANDONED
// when owned, WAIT_TIMEOUT when someone else owns it.
uint32_t tryTake(MutexObject& m, const std::shared_ptr<MutexObject>& sp, uint32_t tid) {
    if (m.count > 0) {
        if (m.ownerTid != tid) return WAIT_TIMEOUT;
        ++m.count;
        return WAIT_OBJECT_0;
    }
    bool abandoned = m.abandoned;
    if (m.lockFd >= 0) {
        if (::flock(m.lockFd, LOCK_EX | LOCK_NB) != 0) return WAIT_TIMEOUT;
        if (readMark(m) == '1') abandoned = true;  // owner process died
        writeMark(m, '1');
    }
    m.abandoned = false;
    m.ownerTid = tid;
    m.count = 1;
    t_owned.objects.insert(sp);
    return abandoned ? WAIT_ABANDONED : WAIT_OBJECT_0;
}

// The object of a handle; null (with ERROR_INVALID_HANDLE) for an unknown one. Caller holds
// s.lock.
std::shared_ptr<MutexObject> objectOf(State& s, Handle h) {
    auto it = s.handles.find(h);
    if (it != s.handles.end()) return it->second;
    t_lastError = ERROR_INVALID_HANDLE;
    return nullptr;
}

}  // namespace

std::string NamedObjectFolder() { return (fs::PlatformRoot() / "kernel" / "mutex").string(); }

uint32_t GetLastError() { return t_lastError; }

std::string LastErrorDetail() { return t_lastErrorDetail; }

uint32_t GetCurrentThreadId() { return uint32_t(::syscall(SYS_gettid)); }

Handle CreateMutex(bool initialOwner, const std::string& name) {
    State& s = state();
    Handle h = 0;
    bool existed = false;
    {
        std::lock_guard<std::mutex> g(s.lock);
        std::shared_ptr<MutexObject> m;
        if (name.empty()) {
            m = std::make_shared<MutexObject>();
        } else {
            uint32_t error = ERROR_INVALID_NAME;
            std::string detail;
            m = namedObject(s, name, true, existed, error, detail);
            if (!m) {
                t_lastError = error;
                t_lastErrorDetail = detail;
                return 0;
            }
        }
        h = addHandle(s, m);
    }
    t_lastError = existed ? ERROR_ALREADY_EXISTS : ERROR_SUCCESS;
    t_lastErrorDetail.clear();
    if (initialOwner && !existed) WaitForSingleObject(h, 0);
    return h;
}

Handle OpenMutex(uint32_t, bool, const std::string& name) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    if (name.empty()) {
        t_lastError = ERROR_INVALID_NAME;
        return 0;
    }
    bool existed = false;
    uint32_t error = ERROR_FILE_NOT_FOUND;
    std::string detail;
    auto m = namedObject(s, name, false, existed, error, detail);
    if (!m) {
        t_lastError = error;
        t_lastErrorDetail = detail;
        return 0;
    }
    t_lastError = ERROR_SUCCESS;
    t_lastErrorDetail.clear();
    return addHandle(s, m);
}

uint32_t WaitForSingleObject(Handle h, uint32_t ms) {
    State& s = state();
    const uint32_t tid = GetCurrentThreadId();
    const int64_t start = clk::QueryPerformanceCounter();
    for (;;) {
        {
            std::lock_guard<std::mutex> g(s.lock);
            auto m = objectOf(s, h);
            if (!m) return WAIT_FAILED;
            uint32_t r = tryTake(*m, m, tid);
            if (r != WAIT_TIMEOUT) return r;
        }
        int32_t elapsed = clk::ElapsedMsSince(start);
        if (ms != INFINITE && uint32_t(elapsed) >= ms) return WAIT_TIMEOUT;
        clk::Sleep(1);
    }
}

bool ReleaseMutex(Handle h) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto sp = objectOf(s, h);
    if (!sp) return false;
    MutexObject& m = *sp;
    if (m.count == 0 || m.ownerTid != GetCurrentThreadId()) {
        t_lastError = ERROR_NOT_OWNER;
        return false;
    }
    if (--m.count == 0) {
        markReleased(m, false);
        t_owned.objects.erase(sp);
    }
    t_lastError = ERROR_SUCCESS;
    return true;
}

bool CloseHandle(Handle h) {
    State& s = state();
    std::lock_guard<std::mutex> g(s.lock);
    auto m = objectOf(s, h);
    if (!m) return false;
    s.handles.erase(h);
    if (--m->handles == 0) destroyObject(s, *m);
    t_lastError = ERROR_SUCCESS;
    return true;
}

}  // namespace kernel
