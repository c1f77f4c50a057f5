// The platform root stands for one user's machine: the device store and INF folder (where a
// planted INF would install a driver), drive C, the registry, the window directory, the named
// mutexes and the bus service's socket and device state. Whatever the umask the programs run
// under, and whatever mode the user gave the root itself, every folder they create below it is
// for its owner only (0700) and every file 0600, so that no other user can write into them.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "app/imagelift_process.h"

namespace {

namespace fsys = std::filesystem;

mode_t ModeOf(const fsys::path& p) {
    struct stat st {};
    ::lstat(p.c_str(), &st);
    return st.st_mode;
}

std::string RunCommand(const std::string& command) {
    FILE* f = ::popen((command + " 2>&1").c_str(), "r");
    std::string out;
    char buf[4096];
    while (size_t n = std::fread(buf, 1, sizeof buf, f)) out.append(buf, n);
    ::pclose(f);
    return out;
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
}

}  // namespace
