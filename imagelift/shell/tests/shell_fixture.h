// Shared set-up of the shell window's tests: the program's one fixture (temporary root, manual
// clock, fresh context, scripted boxes), a settings store, the real access library hosting a
// simulated bus in this process (the local host and Lumarel 460s), the bootloader module, and the
// real frame with its main window. The shell windows are made as the main window's shell
// command makes them.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>

#include <QApplication>
#include <QKeyEvent>
#include <QWidget>
#include <cctype>
#include <filesystem>
#include <memory>
#include <string>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "tests/app_fixture.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/transactions.h"
#include "bus1394/state.h"
#include "device/lumarel_node.h"
#include "forms/forms.h"
#include "shell/shell_window.h"
#include "support/db_manager.h"
#include "user/user.h"

namespace shelltest {

using basBootloader::ByteArray;
using sim::lumarel::ProtocolVariant;

class ShellTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
        basApp::SetEndProcess([](int) {});
        const char* bin = std::getenv("LUMAREL_BIN");
        ASSERT_NE(bin, nullptr);
        ctx_.App.Path = bin;
        const std::filesystem::path folder = std::filesystem::path(root_) / "program";
        std::filesystem::create_directories(folder);
        dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);

        bus_.AddNode("host", std::make_unique<sim::PlainNode>("host", sim::MinimalRom(0x123456)));
        bus_.SetLocalHost("host");
        bus_.AddVirtualDevice(bas1394::kVirtualDeviceName);
        library_ = ::dlopen((ctx_.App.Path + "/" + bas1394::kAccessLibraryFile).c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(library_, nullptr) << ::dlerror();
        hostBus_ = reinterpret_cast<int32_t (*)(void*)>(::dlsym(library_, "Vsk1394HostBus"));
        ASSERT_NE(hostBus_, nullptr);
        hostBus_(&bus_);
        window_ = user::CreateWindow("ThunderRT6TextBox", "");
        ASSERT_NE(bas1394::LoadVsk1394Dll(window_), 0);
        basBootloader::Initialize();

        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        // The lines come here instead of the frame's status window 0.
        ctx_.StatusWindow0 = &status_;
    }

    void TearDown() override {
        // The frame's unload closes the shell windows and ends the module and the library.
        if (frame_) frame_->Unload();
        frame_.reset();
        // The library lets go of the bus only after the program has unloaded it.
        programState_.Teardown();
        if (hostBus_) hostBus_(nullptr);
        if (library_) ::dlclose(library_);
        if (window_) user::DestroyWindow(window_);
        AppTest::TearDown();
    }

    // Adds a Lumarel 460 under `id` and lists the bus again; its device handle.
    int32_t AddDevice(const std::string& id, ProtocolVariant protocol, uint8_t guidTail = 1) {
        sim::lumarel::DeviceConfig c;
        c.protocol = protocol;
        c.factoryGuid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, guidTail};
        EXPECT_EQ(bus_.AddNode(id, std::make_unique<sim::lumarel::Lumarel460Node>(std::move(c))), sim::kResultSuccess);
        Rescan();
        bas1394::NodeRecord r;
        r.NodeNumber = int16_t(bus_.PhyOf(id));
        return basBootloader::GetDeviceHandle(r);
    }
    // One whole bus-reset pass: node table, then the target list.
    void Rescan() {
        bas1394::State.BusResetPending = false;
        EXPECT_EQ(bas1394::BusResetHandler(), 1);
    }
    // Runs the device model under the bus lock.
    template <class F>
    void Dev(const std::string& id, F&& f) {
        ASSERT_TRUE(bus_.WithNode(id, [&](sim::Node& n) { f(static_cast<sim::lumarel::Lumarel460Node&>(n).device()); }));
    }
    void Emit(const std::string& id, const std::string& text) {
        Dev(id, [&](sim::lumarel::Lumarel460& d) { d.console().Emit(text); });
    }
    std::string Received(const std::string& id) {
        std::string r;
        Dev(id, [&](sim::lumarel::Lumarel460& d) { r = d.console().Received(); });
        return r;
    }
    uint64_t Requests(const std::string& id) {
        uint64_t n = 0;
        Dev(id, [&](sim::lumarel::Lumarel460& d) { n = d.RequestsTaken(); });
        return n;
    }

    // Opens the shell window of a device handle the way the main window's shell command does:
    // an existing window that shows the handle is shown again; otherwise a new window takes the
    // first free slot, gets its slot and then its handle, and is shown.
    frmShell& Launch(int32_t handle) {
        auto& windows = basApp::ShellWindows;
        if (windows[0]) {
            for (auto& w : windows) {
                if (w && w->CurrentHandle() == handle) {
                    w->Show();
                    w->ZOrder();
                    return *w;
                }
            }
        }
        const int32_t slot = basApp::TakeSlot(windows);
        auto w = std::make_shared<frmShell>();
        w->Load();
        windows[size_t(slot)] = w;
        w->WindowIndex = slot;
        w->CurrentHandle(handle);
        w->Top = slot * 20.0;
        w->Show();
        return *w;
    }

    // Lets the program run for `ms` of its clock: timers tick, posted messages are delivered.
    void RunFor(int ms) {
        for (int t = 0; t < ms; t += 5) {
            clock_.Advance(5);
            forms::DoEvents();
        }
    }

    // A key pressed and let go in a widget, as the keyboard delivers it.
    static void Key(QWidget* widget, int key, Qt::KeyboardModifiers mods = Qt::NoModifier, const QString& text = {}) {
        QKeyEvent press(QEvent::KeyPress, key, mods, text);
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, key, mods, text);
        QApplication::sendEvent(widget, &release);
    }
    // Types plain characters (letters, digits, blanks, Return as "\r") into a widget.
    static void Type(QWidget* widget, const std::string& text) {
        for (char c : text) {
            if (c == '\r') {
                Key(widget, Qt::Key_Return, Qt::NoModifier, "\r");
            } else if (std::isalpha(static_cast<unsigned char>(c))) {
                Key(widget, Qt::Key_A + (std::tolower(c) - 'a'), Qt::NoModifier, QString(QChar(c)));
            } else {
                Key(widget, c, Qt::NoModifier, QString(QChar(c)));
            }
        }
    }

    std::optional<supporttest::LogLine> Find(const std::string& part) const { return status_.Find(part); }
    int Count(const std::string& part) const { return status_.Count(part); }

    forms::FixedScreen screen_{1600, 1200};
    sim::Bus bus_;
    void* library_ = nullptr;
    int32_t (*hostBus_)(void*) = nullptr;
    user::HWND window_ = 0;
};

}  // namespace shelltest
