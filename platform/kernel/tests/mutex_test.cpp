#include "kernel/mutex.h"

#include "clock/clock.h"

#include "testing/file_size_limit.h"
#include "testing/temp_root.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sys/stat.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

class KernelMutex : public testing_support::TempRootTest {
protected:
    KernelMutex() : TempRootTest("kernel_mutex") {}
};

TEST_F(KernelMutex, OwnerTakesAgainAndMustReleaseEachTake) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    for (std::string name : {"", "ShellTransactionMutex"}) {
        SCOPED_TRACE(name);
        kernel::Handle h = kernel::CreateMutex(false, name);
        ASSERT_NE(h, 0);
        EXPECT_EQ(kernel::WaitForSingleObject(h, 2000), kernel::WAIT_OBJECT_0);
        EXPECT_EQ(kernel::WaitForSingleObject(h, 2000), kernel::WAIT_OBJECT_0);
        EXPECT_EQ(manual.NowMicros(), 0) << "a re-entry must not wait";
        EXPECT_TRUE(kernel::ReleaseMutex(h));
        EXPECT_TRUE(kernel::ReleaseMutex(h));
        // A third release: not owned any more, fails cleanly.
        EXPECT_FALSE(kernel::ReleaseMutex(h));
        EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_NOT_OWNER);
        EXPECT_TRUE(kernel::CloseHandle(h));
        EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_FAILED);
        EXPECT_FALSE(kernel::ReleaseMutex(h));
    }
}

TEST_F(KernelMutex, AnotherThreadWaitsTheFullTimeOutOnTheClock) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    kernel::Handle h = kernel::CreateMutex(false);
    ASSERT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
    uint32_t result = 0;
    int64_t waitedUs = 0;
    bool releaseFailed = false;
    std::thread other([&] {
        int64_t t0 = manual.NowMicros();
        result = kernel::WaitForSingleObject(h, 2000);
        waitedUs = manual.NowMicros() - t0;
        releaseFailed = !kernel::ReleaseMutex(h);  // the other thread does not own it
    });
    other.join();
    EXPECT_EQ(result, kernel::WAIT_TIMEOUT);
    EXPECT_GE(waitedUs, 2000 * 1000);
    EXPECT_LT(waitedUs, 2100 * 1000);
    EXPECT_TRUE(releaseFailed);
    EXPECT_TRUE(kernel::ReleaseMutex(h));
    kernel::CloseHandle(h);
}

TEST_F(KernelMutex, WaiterGetsTheMutexOnceTheOwnerReleases) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    kernel::Handle h = kernel::CreateMutex(false);
    ASSERT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
    manual.Schedule(500, [&] { EXPECT_TRUE(kernel::ReleaseMutex(h)); });  // runs on this thread
    // The owner's own wait on the same thread succeeds at once; let time move through a sleep.
    clk::Sleep(600);
    uint32_t result = 0;
    std::thread other([&] {
        result = kernel::WaitForSingleObject(h, 10);
        kernel::ReleaseMutex(h);
    });
    other.join();
    EXPECT_EQ(result, kernel::WAIT_OBJECT_0);
    kernel::CloseHandle(h);
}

TEST_F(KernelMutex, MutexLeftByAnEndedThreadIsAbandoned) {
    clk::ManualClock manual;
    clk::ScopedClock scoped(manual);
    for (std::string name : {"", "Abandoned"}) {
        SCOPED_TRACE(name);
        kernel::Handle h = kernel::CreateMutex(false, name);
        std::thread([&] { EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0); }).join();
        EXPECT_EQ(kernel::WaitForSingleObject(h, 2000), kernel::WAIT_ABANDONED);
        EXPECT_TRUE(kernel::ReleaseMutex(h));  // the waiter owns it now
        EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
        EXPECT_TRUE(kernel::ReleaseMutex(h));
        kernel::CloseHandle(h);
    }
}

TEST_F(KernelMutex, NamedMutexExistsWhileAHandleIsOpen) {
    EXPECT_EQ(kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex"), 0);
    EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_FILE_NOT_FOUND);
    kernel::Handle a = kernel::CreateMutex(false, "ShellTransactionMutex");
    ASSERT_NE(a, 0);
    EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_SUCCESS);
    kernel::Handle b = kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex");
    ASSERT_NE(b, 0);
    // Both handles name one mutex: owning it through one, the thread owns it through the other.
    EXPECT_EQ(kernel::WaitForSingleObject(a, 0), kernel::WAIT_OBJECT_0);
    EXPECT_EQ(kernel::WaitForSingleObject(b, 0), kernel::WAIT_OBJECT_0);
    EXPECT_TRUE(kernel::ReleaseMutex(b));
    EXPECT_TRUE(kernel::ReleaseMutex(a));
    kernel::CloseHandle(a);
    kernel::CloseHandle(b);
    EXPECT_EQ(kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex"), 0);
}

// A child process owns the named mutex: this process times out, then gets it abandoned once the
// child ends without releasing. Real clock, short waits.
TEST_F(KernelMutex, NamedMutexIsMachineWide) {
    int toParent[2], toChild[2];
    ASSERT_EQ(::pipe(toParent), 0);
    ASSERT_EQ(::pipe(toChild), 0);
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kernel::Handle h = kernel::CreateMutex(false, "ShellTransactionMutex");
        char c = kernel::WaitForSingleObject(h, 0) == kernel::WAIT_OBJECT_0 ? 'y' : 'n';
        (void)!::write(toParent[1], &c, 1);
        (void)!::read(toChild[0], &c, 1);
        ::_exit(0);  // ends while owning it
    }
    char c = 0;
    ASSERT_EQ(::read(toParent[0], &c, 1), 1);
    ASSERT_EQ(c, 'y');
    kernel::Handle h = kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex");
    ASSERT_NE(h, 0) << "the child's mutex must be visible here";
    EXPECT_EQ(kernel::WaitForSingleObject(h, 30), kernel::WAIT_TIMEOUT);
    EXPECT_FALSE(kernel::ReleaseMutex(h));
    (void)!::write(toChild[1], &c, 1);
    int status = 0;
    ::waitpid(pid, &status, 0);
    EXPECT_EQ(kernel::WaitForSingleObject(h, 2000), kernel::WAIT_ABANDONED);
    EXPECT_TRUE(kernel::ReleaseMutex(h));
    EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
    EXPECT_TRUE(kernel::ReleaseMutex(h));
    kernel::CloseHandle(h);
    for (int fd : {toParent[0], toParent[1], toChild[0], toChild[1]}) ::close(fd);
}

// An owner that ended with the last handle leaves nothing behind: the name makes a new mutex.
TEST_F(KernelMutex, NamedMutexCreatedAfreshIsNotAbandoned) {
    pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        kernel::Handle h = kernel::CreateMutex(false, "ShellTransactionMutex");
        kernel::WaitForSingleObject(h, 0);
        ::_exit(0);
    }
    ::waitpid(pid, nullptr, 0);
    EXPECT_EQ(kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex"), 0);
    kernel::Handle h = kernel::CreateMutex(false, "ShellTransactionMutex");
    EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
    EXPECT_TRUE(kernel::ReleaseMutex(h));
    kernel::CloseHandle(h);
}

// A named mutex is refused, with its reason, where it cannot be what it claims: in a folder
// another user may write (who could put a link in place of its lock file), through a symbolic
// link, or on a disk without room for its lock file's byte (mapping a byte the disk cannot hold
// would end the process at the first write). Nothing outside the folder is touched.
TEST_F(KernelMutex, ANamedMutexIsRefusedWhereItsFilesCannotBeTrustedOrHeld) {
    namespace fsys = std::filesystem;
    const fsys::path folder = kernel::NamedObjectFolder();
    const fsys::path outside = fsys::path(root_) / "outside.txt";
    struct Case {
        const char* name;
        std::function<void()> arrange;
        uint32_t error;
        std::string detail;  // a part of LastErrorDetail
    };
    const Case cases[] = {
        {"a root others may write", [&] { ::chmod(root_.c_str(), 0777); }, kernel::ERROR_ACCESS_DENIED,
         "\"chmod go-w '" + root_ + "'\""},
        {"a mutex folder others may write",
         [&] {
             fsys::create_directories(folder);
             ::chmod(folder.c_str(), 0775);
         },
         kernel::ERROR_ACCESS_DENIED, "The folder '" + folder.string() + "' of the platform root can be written"},
        {"a link in place of the lock file",
         [&] {
             fsys::create_directories(folder);
             fsys::create_symlink(outside, folder / "Lumarel.Instance.lock");
         },
         kernel::ERROR_ACCESS_DENIED, "'" + (folder / "Lumarel.Instance.lock").string() + "' is a symbolic link"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        fsys::remove_all(fsys::path(root_) / "kernel");
        ::chmod(root_.c_str(), 0700);
        std::ofstream(outside) << "another's file";
        c.arrange();
        EXPECT_EQ(kernel::CreateMutex(false, "Lumarel.Instance"), 0);
        EXPECT_EQ(kernel::GetLastError(), c.error);
        EXPECT_NE(kernel::LastErrorDetail().find(c.detail), std::string::npos) << kernel::LastErrorDetail();
        std::ifstream in(outside);
        EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "another's file");
    }
    ::chmod(root_.c_str(), 0700);
    fsys::remove_all(fsys::path(root_) / "kernel");

    // The disk has no room for the byte (a file-size limit fails the reservation as a full disk
    // does). The mutex works once there is room again.
    {
        testing_support::FileSizeLimit full(0);
        EXPECT_EQ(kernel::CreateMutex(false, "Lumarel.Instance"), 0);
        EXPECT_EQ(kernel::GetLastError(), kernel::ERROR_DISK_FULL);
        EXPECT_NE(kernel::LastErrorDetail().find("Lumarel.Instance.lock"), std::string::npos)
            << kernel::LastErrorDetail();
    }
    const kernel::Handle h = kernel::CreateMutex(false, "Lumarel.Instance");
    ASSERT_NE(h, 0) << kernel::LastErrorDetail();
    EXPECT_EQ(kernel::LastErrorDetail(), "");
    EXPECT_EQ(kernel::WaitForSingleObject(h, 0), kernel::WAIT_OBJECT_0);
    EXPECT_TRUE(kernel::ReleaseMutex(h));
    kernel::CloseHandle(h);
}

}  // namespace
