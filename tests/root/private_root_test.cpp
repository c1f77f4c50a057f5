// The platform root stands for one user's machine: the device store and INF folder (where a
// planted INF would install a driver), drive C, the registry, the window directory, the named
// mutexes and the bus service's socket and device state. Whatever the umask the programs run
// under, and whatever mode the user gave the root itself, every folder they create below it is
// for its owner only (0700) and every file 0600, so that no other user can write into them; the
// downloader's store, which keeps key data in its log, is its owner's alone as well. A root, or a
// folder in it, that another user owns or may write is refused with what to do about it, and a
// lock file is never opened through a symbolic link.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>

#include "app/imagelift_process.h"
#include "root/full_disk.h"

namespace {

namespace fsys = std::filesystem;

mode_t ModeOf(const fsys::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode;
}

struct Outcome {
    int exitCode = -1;
    std::string output;  // standard output and error together
};

Outcome RunCommand(const std::string& command) {
    FILE* f = ::popen((command + " 2>&1").c_str(), "r");
    Outcome o;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) o.output.append(buf, n);
    const int status = ::pclose(f);
    o.exitCode = WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    return o;
}

std::string ReadAll(const fsys::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Every path below `root`, in name order.
std::vector<std::string> Listing(const fsys::path& root) {
    std::vector<std::string> paths;
    for (const auto& e : fsys::recursive_directory_iterator(root)) paths.push_back(e.path().string());
    std::sort(paths.begin(), paths.end());
    return paths;
}

class PrivateRoot : public ::testing::Test {
protected:
    void SetUp() override {
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr) << "LUMAREL_BIN names the program folder";
        bin_ = bin;
        char tmpl[] = "/tmp/lumarel-private-XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        outside_ = tmpl;
        root_ = outside_ / "root";
        fsys::create_directory(root_);
        ::chmod(root_.c_str(), 0755);  // the user's own choice of mode for the root
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        ::setenv("LUMAREL_BUS_IDLE_MS", "3000", 1);
        ::unsetenv("LUMAREL_BUS_DESCRIPTION");
        ::unsetenv("LUMAREL_BUS_INPROCESS");
        umask_ = ::umask(0);
    }
    void TearDown() override {
        ::umask(umask_);
        RunCommand(bin_ + "/buscontrol stop");
        std::error_code ec;
        fsys::remove_all(outside_, ec);
    }

    std::string bin_;
    fsys::path outside_, root_;
    mode_t umask_ = 022;
};

TEST_F(PrivateRoot, EverythingTheProgramsCreateIsForTheOwnerWhateverTheUmask) {
    // The downloader's unattended run on the default bus: it adds the virtual device, puts its
    // driver stand-ins on drive C, keeps its settings, publishes its windows, takes its named
    // mutexes and starts the bus service, which saves the device it programs.
    const fsys::path program = imagelifttest::MakeProgramFolder(outside_ / "program");
    {
        imagelifttest::ImageliftProcess run(program, {"/G", "0A3C7E10", "0001ABCD"},
                                            {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR="});
        const auto exit = run.WaitExit(90000);
        ASSERT_TRUE(exit.has_value()) << "the downloader did not end";
        std::ifstream status(program / "script-data" / "1394_write_status.txt");
        EXPECT_EQ(*exit, 0) << std::string(std::istreambuf_iterator<char>(status), {});
    }

    // The driver library installs an INF and has the store follow the buses.
    const fsys::path inf = outside_ / "vdev.inf";
    std::ofstream(inf) << "[Version]\nSignature=\"$Windows NT$\"\nClass=1394\nProvider=%Mfg%\n"
                          "[Manufacturer]\n%Mfg%=Models\n[Models]\n%Desc%=Install,V1394\\1394_VIRTUAL_DEVICE\n"
                          "[Install]\n[Strings]\nMfg=\"Halvorin\"\nDesc=\"1394 Virtual Device\"\n";
    void* drvkit = ::dlopen((bin_ + "/libXDRVKIT.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(drvkit, nullptr) << ::dlerror();
    const auto copyInf = reinterpret_cast<int32_t (*)(const char*)>(::dlsym(drvkit, "DRVKIT_CopyOEMInf"));
    const auto rescan = reinterpret_cast<int32_t (*)()>(::dlsym(drvkit, "DRVKIT_Rescan"));
    ASSERT_TRUE(copyInf && rescan);
    EXPECT_EQ(copyInf(inf.c_str()), 1);
    EXPECT_EQ(rescan(), 1);

    for (const char* made : {"devices", "drives/c/WINDOWS/inf", "drives/c/WINDOWS/system32/drivers", "kernel",
                             "windows", "bus/state"})
        EXPECT_TRUE(fsys::is_directory(root_ / made)) << made << " was not made: the run did less than expected";
    EXPECT_EQ(ModeOf(root_) & 07777, 0755u);  // the root keeps the mode the user gave it
    int folders = 0, files = 0;
    for (const auto& e : fsys::recursive_directory_iterator(root_)) {
        const mode_t m = ModeOf(e.path());
        if (S_ISDIR(m)) {
            EXPECT_EQ(m & 07777, 0700u) << e.path();
            ++folders;
        } else {
            EXPECT_EQ(m & 07777, 0600u) << e.path();
            ++files;
        }
    }
    EXPECT_GT(folders, 10);
    EXPECT_GT(files, 10);
    // The store of the program folder (made from the template, compacted at the end).
    EXPECT_EQ(ModeOf(program / "db1.mdb") & 07777, 0600u);
}

// A root made wide by hand, a folder in it that another user owns, a service folder others may
// write (they could swap the socket) and a link in place of the service's lock file (the service
// would write its process id through it): the programs refuse them, say which folder or file and
// how to mend it, and write nothing into a refused folder or through the link. A refused
// unattended run replaces the earlier run's status file with its reason.
TEST_F(PrivateRoot, ARootAnotherUserCouldUseIsRefusedWithWhatToDo) {
    const fsys::path program = imagelifttest::MakeProgramFolder(outside_ / "program");
    const fsys::path status = program / "script-data" / "1394_write_status.txt";
    const fsys::path precious = outside_ / "precious.txt";
    struct Case {
        const char* name;
        bool needsRoot;                 // chown to another user
        std::function<void()> arrange;  // on a fresh root of mode 0755
        bool downloader;                // else the bus control tool
        std::vector<std::string> says;
        fsys::path refused;             // the folder that gets nothing (none for the link)
    };
    const std::string rootWord = "'" + root_.string() + "'";
    const Case cases[] = {
        {"the root writable by all", false, [&] { ::chmod(root_.c_str(), 0777); }, true,
         {"The folder " + rootWord + " of the platform root can be written by other users (mode 0777)",
          "Mend it with \"chmod go-w " + rootWord + "\"."},
         root_},
        {"a folder of another user", true,
         [&] {
             fsys::create_directory(root_ / "kernel");
             ASSERT_EQ(::chown((root_ / "kernel").c_str(), 65534, 65534), 0);
         },
         true,
         {"The folder '" + (root_ / "kernel").string() + "' of the platform root belongs to another user (uid 65534",
          "\"chown -R 0 '" + (root_ / "kernel").string() + "'\""},
         root_ / "kernel"},
        {"a service folder others may write", false,
         [&] {
             fsys::create_directory(root_ / "bus");
             ::chmod((root_ / "bus").c_str(), 0770);
         },
         false, {"Mend it with \"chmod go-w '" + (root_ / "bus").string() + "'\"."}, root_ / "bus"},
        {"a link in place of the service lock", false,
         [&] {
             fsys::create_directory(root_ / "bus");
             ::chmod((root_ / "bus").c_str(), 0700);
             fsys::create_symlink(precious, root_ / "bus" / "service.lock");
         },
         false, {(root_ / "bus" / "service.lock").string() + ": it is a symbolic link"}, {}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.needsRoot && ::geteuid() != 0) continue;  // only an administrator gives a folder away
        fsys::remove_all(root_);
        fsys::create_directory(root_);
        ::chmod(root_.c_str(), 0755);
        std::ofstream(precious) << "another user's file";
        c.arrange();
        const std::vector<std::string> before = c.refused.empty() ? std::vector<std::string>{} : Listing(c.refused);
        std::string said;
        if (c.downloader) {
            fsys::create_directories(status.parent_path());
            std::ofstream(status, std::ios::binary) << roottest::kEarlierSuccess;
            imagelifttest::ImageliftProcess run(program, {"/G", "0A3C7E10", "0001ABCD"},
                                                {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR="});
            EXPECT_EQ(run.WaitExit(60000), 1);
            said = ReadAll(status);
            EXPECT_EQ(said.find("Successfully"), std::string::npos) << said;
        } else {
            const Outcome o = RunCommand(bin_ + "/buscontrol state");
            EXPECT_EQ(o.exitCode, 1);
            said = o.output;
        }
        for (const std::string& part : c.says) EXPECT_NE(said.find(part), std::string::npos) << part << "\n" << said;
        EXPECT_EQ(ReadAll(precious), "another user's file");
        if (!c.refused.empty()) {
            EXPECT_EQ(Listing(c.refused), before);
        }
    }
}

// The first run on a root whose disk is full (a small file system, filled; no mutex folder yet):
// the downloader cannot give its instance mutex's lock file the byte it maps. It ends with a
// failure that says so, instead of dying of SIGBUS at the first write to a page the disk cannot
// hold, and the earlier run's status file, with its success, is replaced by this run's reason.
TEST_F(PrivateRoot, AFullDiskFailsTheFirstStartWithItsReasonInPlaceOfAnEarlierSuccess) {
    if (*roottest::FullDiskAbsent()) GTEST_SKIP() << roottest::FullDiskAbsent();
    const fsys::path program = imagelifttest::MakeProgramFolder(outside_ / "program");
    const fsys::path status = program / "script-data" / "1394_write_status.txt";
    fsys::create_directories(status.parent_path());
    std::ofstream(status, std::ios::binary) << roottest::kEarlierSuccess;

    imagelifttest::ImageliftProcess run(program, {"/G", "0A3C7E10", "0001ABCD"},
                                        {"QT_QPA_PLATFORM=offscreen", "XDG_RUNTIME_DIR="}, "Imagelift", {},
                                        [this] { return roottest::MountFullDisk(root_); });
    const std::optional<int> exitCode = run.WaitExit(60000);
    ASSERT_TRUE(exitCode.has_value()) << "the downloader did not end";
    if (exitCode == run.kNotStarted) GTEST_SKIP() << "no mount namespace here";
    EXPECT_EQ(exitCode, 1) << "135 is SIGBUS";
    const std::string said = ReadAll(status);
    EXPECT_EQ(said.find("Successfully"), std::string::npos) << said;
    EXPECT_NE(said.find(", ERROR, basApp, The program cannot start: its instance mutex \"Imagelift.Instance\" cannot be "
                        "created ("),
              std::string::npos)
        << said;
    EXPECT_NE(said.find("the disk has no room for the file '" +
                        (root_ / "kernel" / "mutex" / "Imagelift.Instance.lock").string() +
                        "' (No space left on device)"),
              std::string::npos)
        << said;
}

}  // namespace
