// The whole program on a simulated bus inside the test: start-up with the real frame, main
// window and access library, the bus built from a description the test writes, the manual clock
// driving timers and the devices alike, with the real shell and download windows.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "automation/automation.h"
#include "firmware/select_firmware.h"
#include "shell/shell_window.h"
#include "windows/open_windows.h"
#include "tests/app_fixture.h"
#include "bootloader/module.h"
#include "bus/bus.h"
#include "bus1394/access_library.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "device/lumarel_node.h"
#include "forms/forms.h"
#include "support/db_manager.h"
#include "tests/app/imagelift_process.h"

namespace apptest {

namespace fsys = std::filesystem;

class ProgramOnBus : public AppTest {
protected:
    // The newest open window of that kind.
    template <class T>
    static T* Newest() {
        const auto& windows = basApp::OpenWindows();
        for (auto it = windows.rbegin(); it != windows.rend(); ++it)
            if (auto* w = dynamic_cast<T*>(it->get())) return w;
        return nullptr;
    }

    // The default bus: a foreign node at node 0 ahead of the Lumarel 460 at node 1, the local
    // host last (node 2). Extra device keys (images ...) come from `deviceExtra`.
    static std::string Description(const std::string& deviceExtra = "") {
        return R"({"nodes": [
            {"id": "other", "kind": "foreign", "vendor": "Other Maker", "model": "Camera"},
            {"id": "dev", "kind": "lumarel460", "mode": "bootloader")" +
               deviceExtra + R"(},
            {"id": "host", "kind": "host"}],
            "virtual_devices": ["1394_VIRTUAL_DEVICE"]})";
    }

    void SetUp() override {
        AppTest::SetUp();
        status_.lines.clear();
        ctx_.StatusWindow0 = nullptr;  // the program's own status window 0 takes the lines
        ctx_.DebugLoggingLevel = 5;
        cwd_ = fsys::current_path();
        program_ = fsys::path(root_) / "bin";
        fsys::create_directories(program_);
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr);
        bin_ = bin;
        fsys::copy_file(bin_ / "db1_clean.mdb", program_ / "db1_clean.mdb");
        fsys::create_symlink(bin_ / "Vsk1394api.dll", program_ / "Vsk1394api.dll");
        fsys::create_directory_symlink(bin_ / "help", program_ / "help");
        fs::OverrideProgramFolder(program_.string());
        basApp::SetEndProcess([this](int code) { ends_.push_back(code); });
    }

    void TearDown() override {
        if (MDIForm1* frame = basApp::Frame()) frame->mnuExit_Click();
        // The library is let go of only after the program has unloaded it.
        programState_.Teardown();
        if (library_) ::dlclose(library_);
        fs::OverrideProgramFolder("");
        ::unsetenv("LUMAREL_BUS_INPROCESS");
        fsys::current_path(cwd_);
        AppTest::TearDown();
    }

    // Starts the program on the described bus and waits for its first device list.
    void Start(const std::string& description = Description()) {
        const fsys::path file = fsys::path(root_) / "bus.json";
        std::ofstream(file) << description;
        ::setenv("LUMAREL_BUS_INPROCESS", file.c_str(), 1);
        basApp::Main("");
        ASSERT_TRUE(ends_.empty());
        ASSERT_TRUE(WaitForList()) << "no device list";
        library_ = ::dlopen((program_ / "Vsk1394api.dll").c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(library_, nullptr);
        auto inProcessBus = reinterpret_cast<void* (*)()>(::dlsym(library_, "Vsk1394InProcessBus"));
        ASSERT_NE(inProcessBus, nullptr);
        bus_ = static_cast<sim::Bus*>(inProcessBus());
        ASSERT_NE(bus_, nullptr);
    }

    // Lets the program run for `ms` of its clock: timers tick, posted messages are delivered,
    // the devices restart.
    void RunFor(int ms) {
        for (int t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            forms::DoEvents();
        }
    }

    // Runs until a rescan has completed (at most `ms`).
    bool WaitForList(int ms = 5000) {
        for (int t = 0; t < ms; t += 100) {
            RunFor(100);
            if (bas1394::State.TopologyReady && !bas1394::State.BusResetPending && Main().mfgDevices.Rows() > 1)
                return true;
        }
        return false;
    }

    frmMain& Main() { return *basApp::Frame()->MainWindow(); }

    // Selects the grid row of that node number; false when the grid has none.
    bool SelectNode(int32_t nodeNumber) {
        auto& grid = Main().mfgDevices;
        for (int32_t r = grid.FixedRows(); r < grid.Rows(); ++r)
            if (std::string(grid.TextMatrix(r, 1)) == std::to_string(nodeNumber)) {
                grid.Row = r;
                return true;
            }
        return false;
    }

    // The device model of node `id` under the bus lock.
    template <class F>
    void Dev(F&& f, const std::string& id = "dev") {
        ASSERT_TRUE(bus_->WithNode(id, [&](sim::Node& n) { f(static_cast<sim::lumarel::Lumarel460Node&>(n).device()); }));
    }

    std::vector<imagelifttest::LogRow> Log() const { return imagelifttest::ReadStatusLog(program_ / "db1.mdb"); }
    std::optional<imagelifttest::LogRow> Logged(const std::string& part) const {
        return imagelifttest::FindRow(Log(), part);
    }

    // Where tests leave pictures of windows.
    fsys::path PictureFolder() const {
        const fsys::path out = bin_ / ".." / "test-output";
        fsys::create_directories(out);
        return out;
    }

    fsys::path cwd_, program_, bin_;
    std::vector<int> ends_;
    void* library_ = nullptr;
    sim::Bus* bus_ = nullptr;
    // The shell windows made so far (a closed one keeps its slot).
    static int ShellWindowsMade() {
        int made = 0;
        for (const auto& w : basApp::ShellWindows) made += w ? 1 : 0;
        return made;
    }
};

}  // namespace apptest
