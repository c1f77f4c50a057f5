// The downloader as a process on the bus service: a Lumarel 460 in its bootloader and another
// maker's node on the bus; the program starts, builds its first device list, is found by its
// windows from this (another) process, closes when asked, compacts its store and leaves nothing.
#include <gtest/gtest.h>

#include <dirent.h>

#include <fstream>

#include "bus/service_fixture.h"
#include "app/imagelift_process.h"
#include "app/x_server.h"

namespace {

namespace fsys = std::filesystem;
using imagelifttest::ImageliftProcess;
using nlohmann::json;

json TwoNodeBus() {
    return json{{"nodes",
                 json::array({json{{"id", "host"}, {"kind", "host"}},
                              json{{"id", "other"},
                                   {"kind", "foreign"},
                                   {"guid", "0x0050C2AA00000001"},
                                   {"vendor_id", "0x0050C2"},
                                   {"vendor", "Other Maker"},
                                   {"model_id", "0x000101"},
                                   {"model", "Camera"}},
                              json{{"id", "dev"}, {"kind", "lumarel460"}, {"mode", "bootloader"}}})}};
}

// A store with free pages, so that compaction shows: the file ends with none.
void StoreWithFreePages(const fsys::path& db, const fsys::path& clean) {
    fsys::copy_file(clean, db);
    sqlite3* h = nullptr;
    ASSERT_EQ(sqlite3_open(db.c_str(), &h), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(h,
                           "BEGIN; CREATE TABLE filler (x BLOB);"
                           "WITH RECURSIVE n(i) AS (SELECT 1 UNION ALL SELECT i + 1 FROM n WHERE i < 200) "
                           "INSERT INTO filler SELECT zeroblob(4000) FROM n; COMMIT; DROP TABLE filler;",
                           nullptr, nullptr, nullptr),
              SQLITE_OK);
    sqlite3_close(h);
}

int64_t FreePages(const fsys::path& db) {
    sqlite3* h = nullptr;
    int64_t n = -1;
    if (sqlite3_open_v2(db.c_str(), &h, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        if (sqlite3_prepare_v2(h, "PRAGMA freelist_count", -1, &st, nullptr) == SQLITE_OK && sqlite3_step(st) == SQLITE_ROW)
            n = sqlite3_column_int64(st, 0);
        sqlite3_finalize(st);
    }
    sqlite3_close(h);
    return n;
}

// Processes whose environment names this platform root.
std::vector<pid_t> ProcessesOfRoot(const fsys::path& root) {
    std::vector<pid_t> out;
    const std::string needle = "LUMAREL_ROOT=" + root.string();
    for (const auto& e : fsys::directory_iterator("/proc")) {
        const std::string name = e.path().filename();
        if (name.find_first_not_of("0123456789") != std::string::npos) continue;
        std::ifstream in(e.path() / "environ", std::ios::binary);
        std::string env((std::istreambuf_iterator<char>(in)), {});
        size_t pos = 0;
        while (pos < env.size()) {
            const size_t end = env.find('\0', pos);
            if (env.compare(pos, (end == std::string::npos ? env.size() : end) - pos, needle) == 0)
                out.push_back(pid_t(std::stol(name)));
            if (end == std::string::npos) break;
            pos = end + 1;
        }
    }
    return out;
}

TEST(ImageliftProcessTest, StartsListsTheBusIsFoundClosesAndCompactsItsStore) {
    const json description = TwoNodeBus();
    // The service must outlive a slow start (a sanitized build among many running tests takes
    // seconds to reach the bus): its idle end is not what this test is about.
    bustest::ServiceRoot service("imagelift-e2e", &description, 30000);
    const fsys::path folder = imagelifttest::MakeProgramFolder(service.Root() / "program");
    const fsys::path db = folder / "db1.mdb";
    StoreWithFreePages(db, folder / "db1_clean.mdb");
    ASSERT_GT(FreePages(db), 0);
    // The service runs before the program starts: the program meets it on the bus.
    ASSERT_FALSE(service.Control(json{{"cmd", "state"}}).is_discarded());

    ImageliftProcess program(folder, {}, {"QT_QPA_PLATFORM=offscreen"});
    ASSERT_TRUE(imagelifttest::WaitForDeviceList(db, imagelifttest::kLumarelInBootloader, 30000))
        << "no complete device list with the Lumarel 460; the status log ends:\n"
        << imagelifttest::StatusLogTail(db);

    // Found from another process: the frame by its exact caption, the hidden window by its class.
    const auto frame = user::FindTopWindow(std::nullopt, std::string(imagelifttest::kFrameCaption));
    ASSERT_TRUE(frame.has_value());
    EXPECT_EQ(frame->pid, program.Pid());
    const auto hidden = program.Window(std::string("ThunderRT6Main"), std::nullopt);
    ASSERT_TRUE(hidden.has_value());
    EXPECT_FALSE(hidden->visible);

    program.Close();
    const auto code = program.WaitExit(30000);
    ASSERT_TRUE(code.has_value()) << "the program did not end";
    EXPECT_EQ(*code, 0);
    EXPECT_FALSE(program.Window(std::nullopt, std::nullopt).has_value()) << "a window outlived the process";

    const auto rows = imagelifttest::ReadStatusLog(db);
    const auto started = imagelifttest::FindRow(rows, "Started Imagelift version 1.8.41 at ");
    ASSERT_TRUE(started.has_value());
    EXPECT_EQ(started->level, 13);
    // The device's node, by its config ROM; the other maker's node is seen but not kept.
    const auto node = imagelifttest::FindRow(rows, imagelifttest::kLumarelInBootloader);
    ASSERT_TRUE(node.has_value());
    EXPECT_EQ(node->level, 13);
    EXPECT_EQ(node->message.rfind("Node #", 0), 0u) << node->message;
    EXPECT_TRUE(imagelifttest::FindRow(rows, "Manufacturer='Other Maker'").has_value());

    // Compacted: no free pages left, no compaction file left behind.
    EXPECT_EQ(FreePages(db), 0);
    EXPECT_FALSE(fsys::exists(folder / "db1-compacted.mdb"));

    service.Stop();
    EXPECT_TRUE(ProcessesOfRoot(service.Root()).empty());
}

// A second start shows its box about the running instance and waits for a person: on a screen it
// does. A request to end from outside (SIGTERM as a session's end sends it, SIGINT as Ctrl-C in a
// terminal) ends it all the same, with the first instance untouched.
TEST(ImageliftProcessTest, ASecondStartEndsOnARequestWhileItsBoxWaits) {
    bustest::ServiceRoot service("imagelift-second", nullptr, 30000);
    imagelifttest::XServer screen;
    ASSERT_FALSE(screen.Display().empty()) << "no X server (Xvfb) came up";
    const fsys::path first = imagelifttest::MakeProgramFolder(service.Root() / "first");
    ImageliftProcess running(first, {});
    ASSERT_TRUE(imagelifttest::WaitForLogLine(first / "db1.mdb", "Started Imagelift version", 30000))
        << imagelifttest::StatusLogTail(first / "db1.mdb");

    const fsys::path second = imagelifttest::MakeProgramFolder(service.Root() / "second");
    for (int signal : {SIGTERM, SIGINT}) {
        SCOPED_TRACE(signal);
        ImageliftProcess program(second, {}, {"QT_QPA_PLATFORM=xcb", "DISPLAY=" + screen.Display()});
        const std::string box = "Multiple Instances of Imagelift";
        const int64_t start = imagelifttest::RealNow();
        while (!program.Window(std::string("#32770"), box) && imagelifttest::RealMsSince(start) < 30000 &&
               !program.WaitExit(0))
            imagelifttest::Breathe(10);
        ASSERT_TRUE(program.Window(std::string("#32770"), box)) << "the box did not come up";

        ::kill(program.Pid(), signal);
        // A bound for the wait (real time), so that a program that does not end fails the test.
        const auto code = program.WaitExit(10000);
        ASSERT_TRUE(code.has_value()) << "the second start did not end while its box waited";
        EXPECT_EQ(*code, 0);
        EXPECT_FALSE(program.Window(std::nullopt, std::nullopt).has_value()) << "a window outlived the process";
    }

    EXPECT_FALSE(running.WaitExit(0).has_value()) << "the first instance ended";
    running.Close();
    const auto code = running.WaitExit(30000);
    ASSERT_TRUE(code.has_value()) << "the first instance did not end";
    EXPECT_EQ(*code, 0);
}

}  // namespace
