// The program `Dorvik` as two processes on one platform root and the bus service: the second
// start shows the first one's panel and ends at once without a window of its own. The README's
// unit attaches, and a bus the service refuses is named on standard error. A settings key that
// another process keeps locked ends the program with a message instead of hanging it.
#include <gtest/gtest.h>

#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "app/x_server.h"
#include "bus/service_fixture.h"
#include "registry/values.h"
#include "user/window_registry.h"

namespace {

namespace fsys = std::filesystem;

std::string Program() {
    const char* bin = std::getenv("LUMAREL_BIN");
    return std::string(bin ? bin : ".") + "/Dorvik";
}

// Starts the program with its output in `log`, offscreen unless an X display is given.
pid_t Start(const fsys::path& log, const std::string& display = "") {
    pid_t child = ::fork();
    if (child == 0) {
        int fd = ::open(log.c_str(), O_WRONLY | O_CREAT | O_APPEND, 0600);
        if (fd >= 0) {
            ::dup2(fd, 1);
            ::dup2(fd, 2);
        }
        ::setenv("QT_QPA_PLATFORM", display.empty() ? "offscreen" : "xcb", 1);
        if (!display.empty()) ::setenv("DISPLAY", display.c_str(), 1);
        const std::string program = Program();
        ::execl(program.c_str(), "Dorvik", nullptr);
        ::_exit(127);
    }
    return child;
}

std::vector<user::TopWindow> Panels() {
    std::vector<user::TopWindow> found;
    for (const auto& w : user::EnumTopWindows())
        if (w.className == "Lumarel460Pannel") found.push_back(w);
    return found;
}

// Waits (bounded, in real time: another process acts) until `done`.
bool WaitFor(const std::function<bool()>& done, int ms = 15000) {
    for (int i = 0; i < ms / 5; ++i) {
        if (done()) return true;
        bustest::Breathe();
    }
    return done();
}

TEST(DorvikProgram, ASecondStartShowsTheFirstPanelAndEnds) {
    const auto image = fsys::temp_directory_path() / ("dorvik-program-image-" + std::to_string(::getpid()));
    std::ofstream(image, std::ios::binary) << std::string(256, '\x5A');
    const nlohmann::json description = bustest::HostAndUnitInApplication(image);
    bustest::ServiceRoot root("dorvik-program", &description);
    const fsys::path log = root.Root() / "dorvik.log";

    const pid_t first = Start(log);
    bustest::KillOnExit firstGuard(first);
    // Published hidden, then attached to the unit (its title).
    ASSERT_TRUE(WaitFor([&] {
        auto p = Panels();
        return p.size() == 1 && p[0].caption.rfind("Lumarel 460 v1.15", 0) == 0;
    })) << root.Log();
    EXPECT_EQ(Panels()[0].pid, first);
    EXPECT_FALSE(Panels()[0].visible);

    const pid_t second = Start(log);
    ASSERT_TRUE(bustest::WaitGone(second, 10000));
    EXPECT_EQ(bustest::ExitCode(second), 0);
    EXPECT_TRUE(WaitFor([&] {
        auto p = Panels();
        return p.size() == 1 && p[0].visible;
    }));
    ASSERT_EQ(Panels().size(), 1u);
    EXPECT_EQ(Panels()[0].pid, first);

    // The first still runs; it ends on a signal and leaves no window behind.
    EXPECT_EQ(::waitpid(first, nullptr, WNOHANG), 0);
    ::kill(first, SIGTERM);
    EXPECT_TRUE(bustest::WaitGone(first));
    EXPECT_TRUE(Panels().empty());
    // The finder swept the ended process's mailbox with its entry.
    for (const auto& e : fsys::directory_iterator(root.Root() / "windows")) EXPECT_NE(e.path().extension(), ".mbox") << e.path();
    root.Stop();
    EXPECT_EQ(root.ServicePid(), 0);
    std::error_code ec;
    fsys::remove(image, ec);
}

// The bus description the README gives for a unit in its application, as a user gets it from
// the heredoc there: its "$PWD" is the clone's top folder, and its "$PWD/build" the build folder,
// which here is the one this test was built in (BUILD_DIR and SANITIZE=1 build elsewhere).
std::string ReadmeUnitDescription() {
    std::ifstream in(std::string(LUMAREL_SOURCE_DIR) + "/README.md");
    std::string line, text;
    bool inside = false;
    while (std::getline(in, line)) {
        const std::string body = line.size() >= 4 ? line.substr(4) : "";
        if (!inside && body.starts_with("cat > /tmp/unit.json <<EOF")) {
            inside = true;
        } else if (inside && body == "EOF") {
            break;
        } else if (inside) {
            text += body + "\n";
        }
    }
    const std::string readmeBuild = "$PWD/build/";
    for (size_t at; (at = text.find(readmeBuild)) != std::string::npos;)
        text.replace(at, readmeBuild.size(), std::string(LUMAREL_BINARY_DIR) + "/");
    for (size_t at; (at = text.find("$PWD")) != std::string::npos;) text.replace(at, 4, LUMAREL_SOURCE_DIR);
    return text;
}

TEST(DorvikProgram, TheReadmesUnitAttaches) {
    const nlohmann::json description = nlohmann::json::parse(ReadmeUnitDescription(), nullptr, false);
    ASSERT_TRUE(description.is_object()) << ReadmeUnitDescription();
    bustest::ServiceRoot root("dorvik-readme", &description);
    const fsys::path log = root.Root() / "dorvik.log";
    const pid_t first = Start(log);
    bustest::KillOnExit guard(first);
    EXPECT_TRUE(WaitFor([&] {
        auto p = Panels();
        return p.size() == 1 && p[0].caption.rfind("Lumarel 460 v1.15", 0) == 0;
    })) << root.Log();
    ::kill(first, SIGTERM);
    EXPECT_TRUE(bustest::WaitGone(first));
    root.Stop();
}

TEST(DorvikProgram, ABusTheServiceRefusesIsNamedOnStandardError) {
    const nlohmann::json refused = {{"nodes", {{{"id", "host"}, {"kind", "host"}},
                                               {{"id", "unit"}, {"kind", "lumarel460"}, {"mode", "application"}}}}};
    bustest::ServiceRoot root("dorvik-refused", &refused);
    const fsys::path log = root.Root() / "dorvik.log";
    const pid_t first = Start(log);
    bustest::KillOnExit guard(first);
    auto output = [&] {
        std::ifstream in(log);
        std::stringstream all;
        all << in.rdbuf();
        return all.str();
    };
    const std::string serviceLog = (root.Root() / "bus" / "service.log").string();
    EXPECT_TRUE(WaitFor([&] {
        const std::string o = output();
        return o.find("could not start: ") != std::string::npos && o.find("\"mode\" needs a valid image") != std::string::npos &&
               o.find(serviceLog) != std::string::npos;
    })) << output();
    ::kill(first, SIGTERM);
    EXPECT_TRUE(bustest::WaitGone(first));
}

// A request to end from outside (SIGTERM as a session's end sends it, SIGINT as Ctrl-C in a
// terminal) ends the program as Exit does: its settings and window position are saved, and
// nothing of it stays published.
TEST(DorvikProgram, ARequestToEndFromOutsideEndsItAsExitDoes) {
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        bustest::ServiceRoot root("dorvik-end-" + std::to_string(signal));
        const fsys::path log = root.Root() / "dorvik.log";
        const pid_t program = Start(log);
        bustest::KillOnExit guard(program);
        ASSERT_TRUE(WaitFor([&] { return Panels().size() == 1; })) << root.Log();
        registry::Value position;
        const auto stored = [&] {
            return registry::QueryValue(registry::Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", position) ==
                   registry::kRegOk;
        };
        ASSERT_FALSE(stored());

        ::kill(program, signal);
        ASSERT_TRUE(bustest::WaitGone(program)) << "the program did not end";
        EXPECT_EQ(bustest::ExitCode(program), 0);
        EXPECT_TRUE(stored());
        EXPECT_TRUE(Panels().empty());
        root.Stop();
    }
}

// Stores a window position for the mixer, then holds its settings key's lock as another process
// would: the descriptor of the held lock file, or -1.
const uint8_t kStoredX[4] = {0x21, 0, 0, 0};
int StoreAPositionAndHoldItsKey(const bustest::ServiceRoot& root) {
    if (registry::SetValue(registry::Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", registry::kRegBinary,
                           kStoredX, 4) != registry::kRegOk)
        return -1;
    const fsys::path lockFile = root.Root() / "registry" / "hklm" / "software" / "nrx" / "lumarel460" / "values.lock";
    const int holder = ::open(lockFile.c_str(), O_RDWR | O_CLOEXEC);
    if (holder >= 0 && ::flock(holder, LOCK_EX) != 0) {
        ::close(holder);
        return -1;
    }
    return holder;
}

// Another process keeping the mixer settings' registry key locked at start-up: the program no
// longer waits for ever. Left alone, it names the holder and ends with exit code 1 once the
// registry's bound has passed; asked to end meanwhile, it ends at once (0, no message). Either
// way the stored settings stay as they were and nothing of it stays published.
TEST(DorvikProgram, ASettingsKeyLockedByAnotherProcessEndsItWithAMessageInsteadOfAHang) {
    struct Case {
        const char* what;
        bool terminate;
        int exitCode;
        bool message;
    };
    for (const Case& c : {Case{"left alone", false, 1, true}, Case{"asked to end", true, 0, false}}) {
        SCOPED_TRACE(c.what);
        bustest::ServiceRoot root(std::string("dorvik-locked-") + (c.terminate ? "end" : "alone"));
        const fsys::path log = root.Root() / "dorvik.log";
        const int holder = StoreAPositionAndHoldItsKey(root);
        ASSERT_GE(holder, 0);

        const pid_t program = Start(log);
        bustest::KillOnExit guard(program);
        // Published first (so that a second start finds it), then waiting for the key.
        ASSERT_TRUE(WaitFor([&] { return Panels().size() == 1; })) << root.Log();
        if (c.terminate) ::kill(program, SIGTERM);
        ASSERT_TRUE(bustest::WaitGone(program, 30000)) << "the program hangs";
        EXPECT_EQ(bustest::ExitCode(program), c.exitCode);
        std::ifstream in(log);
        std::stringstream output;
        output << in.rdbuf();
        const std::string expected = "The mixer settings cannot be read: the registry key "
                                     "HKEY_LOCAL_MACHINE\\Software\\NRX\\Lumarel460 is held by process " +
                                     std::to_string(::getpid()) + " (";
        EXPECT_EQ(output.str().find(expected) != std::string::npos, c.message) << output.str();
        EXPECT_TRUE(Panels().empty());

        ::close(holder);
        registry::Value x;
        ASSERT_EQ(registry::QueryValue(registry::Hive::LocalMachine, "Software\\NRX\\Lumarel460", "WinX", x),
                  registry::kRegOk);
        EXPECT_EQ(x.data, std::vector<uint8_t>(kStoredX, kStoredX + 4));
        root.Stop();
    }
}

// With a person at the screen the message is a box, up until it is answered; a request to end
// answers it, and the program ends (still 1: it never started).
TEST(DorvikProgram, ASettingsKeyLockedByAnotherProcessIsToldInABoxOnAScreen) {
    imagelifttest::XServer screen;
    ASSERT_FALSE(screen.Display().empty()) << "no X server (Xvfb) came up";
    bustest::ServiceRoot root("dorvik-locked-screen");
    const fsys::path log = root.Root() / "dorvik.log";
    const int holder = StoreAPositionAndHoldItsKey(root);
    ASSERT_GE(holder, 0);

    const pid_t program = Start(log, screen.Display());
    bustest::KillOnExit guard(program);
    const auto box = [&] {
        for (const auto& w : user::EnumTopWindows())
            if (w.pid == program && w.className == "#32770" && w.visible) return true;
        return false;
    };
    ASSERT_TRUE(WaitFor(box, 30000)) << "no box came up";
    EXPECT_TRUE(Panels().empty());  // withdrawn before the box: a second start does not find it
    EXPECT_EQ(::waitpid(program, nullptr, WNOHANG), 0);  // the box waits for its answer

    ::kill(program, SIGTERM);
    ASSERT_TRUE(bustest::WaitGone(program, 30000)) << "the program hangs";
    EXPECT_EQ(bustest::ExitCode(program), 1);
    EXPECT_FALSE(box());
    ::close(holder);
    root.Stop();
}

}  // namespace
