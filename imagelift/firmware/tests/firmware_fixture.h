// Shared set-up of the download windows' tests: the real frame and main window (offscreen) with a
// settings store, and for the download tests the real access library hosting the default bus
// (the local host and one Lumarel 460 in its bootloader) in this process, on the manual clock.
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>

#include <filesystem>
#include <memory>
#include <string>

#include <nlohmann/json.hpp>

#include "app/bas_app.h"
#include "app/frame.h"
#include "app/internal.h"
#include "app/main_window.h"
#include "tests/app_fixture.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "firmware/select_firmware.h"
#include "forms/forms.h"
#include "fwpbuild/package_builder.h"
#include "support/db_manager.h"
#include "user/user.h"

namespace fwtest {

namespace fsys = std::filesystem;

// The windows inside a real frame, with a store and a fixed screen.
class WindowsTest : public apptest::AppTest {
protected:
    void SetUp() override {
        AppTest::SetUp();
        forms::SetScreen(&screen_);
        basApp::SetEndProcess([](int) {});
        const fsys::path program = fsys::path(root_) / "program";
        fsys::create_directories(program);
        dbschema::CreateCleanDatabase(program / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(program, basDebug::ReportStoreLine);
        const char* bin = std::getenv("LUMAREL_BIN");
        ctx_.App.Path = bin ? bin : "";
        frame_ = std::make_unique<MDIForm1>();
        frame_->Show();
        // The log lines of the windows come here (the frame made its own status window first).
        ctx_.StatusWindow0 = &status_;
        packages_ = fsys::path(root_) / "packages";
        fsys::create_directories(packages_);
    }

    // A package written by the package builder into the packages folder.
    std::string Write(const std::string& name, const fwp::PackageBuilder& builder) {
        builder.WriteTo(packages_ / name);
        return name;
    }

    // Saves a picture of `form` as build/test-output/<name>.png.
    void SavePicture(forms::Form& form, const std::string& name) {
        const char* bin = std::getenv("LUMAREL_BIN");
        const fsys::path out = bin ? fsys::path(bin) / ".." / "test-output" : fsys::path(root_) / "test-output";
        fsys::create_directories(out);
        EXPECT_TRUE(form.SaveImage((out / (name + ".png")).string()));
    }

    bool Logged(const std::string& part) const { return status_.Find(part).has_value(); }

    forms::FixedScreen screen_{1600, 1200};
    fsys::path packages_;
};

// An image of `size` bytes that differs from block to block.
inline std::vector<uint8_t> Image(size_t size, uint8_t seed = 1) {
    std::vector<uint8_t> bytes(size);
    for (size_t i = 0; i < size; ++i) bytes[i] = uint8_t(i * 7 + seed + i / 1024);
    return bytes;
}

// The download windows on the simulated bus.
class DownloadTest : public WindowsTest {
protected:
    void SetUp() override {
        ::setenv("LUMAREL_BUS_INPROCESS", busDescription_.c_str(), 1);
        WindowsTest::SetUp();
        bas1394::ResetModuleState();
        window_ = user::CreateWindow("ThunderRT6TextBox", "");
        ASSERT_NE(bas1394::LoadVsk1394Dll(window_), 0);
        basBootloader::Initialize();
        // The device joins the bus a moment after the bus comes up.
        for (int pass = 0; pass < 20 && handle_ == 0; ++pass) {
            clock_.Advance(100);
            Rescan();
            for (const auto& t : basBootloader::State.TargetList)
                if (t.Device.NodeNumber != bas1394::kNoNode) handle_ = basBootloader::OpenBootloaderDevice(t.Device);
        }
        ASSERT_GE(handle_, 63);
        library_ = ::dlopen((ctx_.App.Path + "/" + bas1394::kAccessLibraryFile).c_str(), RTLD_NOW | RTLD_NOLOAD);
        ASSERT_NE(library_, nullptr);
        control_ = reinterpret_cast<ControlFn>(::dlsym(library_, "Vsk1394Control"));
        ASSERT_NE(control_, nullptr);
    }

    void TearDown() override {
        if (frame_) frame_->Unload();
        frame_.reset();
        basBootloader::Terminate();
        if (library_) {
            // Let go of the bus this test hosted: the library may stay loaded after its unload
            // (the loader keeps some objects for good), and the next test wants a fresh device.
            using HostBusFn = int32_t (*)(void*);
            if (auto hostBus = reinterpret_cast<HostBusFn>(::dlsym(library_, "Vsk1394HostBus"))) hostBus(nullptr);
            ::dlclose(library_);
        }
        if (bas1394::State.LibraryModule != 0) bas1394::UnloadVsk1394Dll();
        user::DestroyWindow(window_);
        WindowsTest::TearDown();
        ::unsetenv("LUMAREL_BUS_INPROCESS");
    }

    void Rescan() {
        bas1394::State.BusResetPending = false;
        bas1394::BusResetHandler();
    }

    // A control command to the bus; its JSON answer.
    nlohmann::json Control(const nlohmann::json& command) {
        std::string reply(1 << 16, '\0');
        const int32_t code = control_(command.dump().c_str(), reply.data(), int32_t(reply.size()));
        EXPECT_EQ(code, 0) << reply.c_str();
        return nlohmann::json::parse(reply.c_str());
    }
    // The device's flash slot of an image type, as the bus's state shows it.
    nlohmann::json Slot(int type) {
        const nlohmann::json state = Control({{"cmd", "state"}});
        for (const auto& node : state["nodes"])
            if (node.contains("state") && node["state"].contains("slots")) return node["state"]["slots"][size_t(type)];
        ADD_FAILURE() << "no device in " << state.dump();
        return {};
    }
    static std::string Crc(const std::vector<uint8_t>& bytes) {
        char text[16];
        std::snprintf(text, sizeof text, "0x%08X", fwp::ImageCrc(bytes));
        return text;
    }

    // A download window as the main window's update command opens it, listing the packages.
    frmSelectFirmware& Open(int32_t type = 0, int32_t handle = 0) {
        const int32_t slot = frame_->CreateDownloadWindow("frmSelectFirmware");
        EXPECT_GE(slot, 0);
        frmSelectFirmware& w = *basApp::DownloadWindows[size_t(slot)];
        w.FirmwareType(type);
        w.hDevice(handle ? handle : handle_);
        w.Show();
        w.Dir1.Path = packages_.string();
        return w;
    }
    // Selects the list item of that name and clicks it.
    static void Select(frmSelectFirmware& w, const std::string& name) {
        for (int32_t i = 1; i <= w.ListView1.ListItems.Count(); ++i) {
            forms::ListItem& item = w.ListView1.ListItems.Item(i);
            if (item.Text() == name) {
                w.ListView1.SetSelectedItem(&item);
                w.ListView1_ItemClick(item);
                return;
            }
        }
        ADD_FAILURE() << name << " is not listed";
    }

    using ControlFn = int32_t (*)(const char*, char*, int32_t);
    // The bus the library hosts: its default, or a description file set before SetUp.
    std::string busDescription_ = "default";
    user::HWND window_ = 0;
    int32_t handle_ = 0;
    void* library_ = nullptr;
    ControlFn control_ = nullptr;
};

}  // namespace fwtest
