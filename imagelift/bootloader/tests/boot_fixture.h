// Shared set-up of the bootloader tests: a temporary platform root, a manual clock, a fresh
// program context whose first status window and main window record what they get, and the real
// access library hosting a simulated bus in this process (the local host and Lumarel 460s).
#pragma once

#include <gtest/gtest.h>

#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "bootloader/module.h"
#include "bootloader/progress_bar.h"
#include "bootloader/records.h"
#include "bootloader/state.h"
#include "bus/bus.h"
#include "bus/config_rom.h"
#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "device/lumarel_node.h"
#include "forms/dialogs.h"
#include "kernel/mutex.h"
#include "tests/recording_status.h"
#include "support/program_context.h"
#include "user/user.h"

namespace boottest {

using basBootloader::ByteArray;

using Line = supporttest::LogLine;
using supporttest::RecordingStatusWindow;

class RecordingMainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {
        ++nodesChanged;
        if (onNodesChanged) onNodesChanged();
    }
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
    int nodesChanged = 0;
    std::function<void()> onNodesChanged;
};

// Another thread (standing for another process) holds the transaction mutex.
class MutexHolder {
public:
    MutexHolder() {
        thread_ = std::thread([this] {
            kernel::Handle h = kernel::OpenMutex(kernel::MUTEX_ALL_ACCESS, true, "ShellTransactionMutex");
            kernel::WaitForSingleObject(h, 0);
            held_ = true;
            while (!release_) std::this_thread::yield();
            kernel::ReleaseMutex(h);
            kernel::CloseHandle(h);
        });
        while (!held_) std::this_thread::yield();
    }
    ~MutexHolder() {
        release_ = true;
        thread_.join();
    }

private:
    std::atomic<bool> held_{false}, release_{false};
    std::thread thread_;
};

// A progress bar that records what the transaction or the download does with it.
class RecordingBar : public basBootloader::IProgressBar {
public:
    explicit RecordingBar(std::string type = "ProgressBar") : type_(std::move(type)) {}
    std::string TypeName() const override { return type_; }
    void SetVisible(bool v) override { visible.push_back(v); }
    float Min() const override { return min_; }
    void SetMin(float v) override { min_ = v; }
    float Max() const override { return max_; }
    void SetMax(float v) override { max_ = v; }
    float Value() const override { return values.empty() ? 0 : values.back(); }
    void SetValue(float v) override { values.push_back(v); }
    std::vector<bool> visible;
    std::vector<float> values;

private:
    std::string type_;
    float min_ = -1, max_ = -1;
};

inline sim::lumarel::DeviceConfig Config(sim::lumarel::ProtocolVariant protocol = sim::lumarel::ProtocolVariant::V1,
                                         uint8_t guidTail = 1) {
    sim::lumarel::DeviceConfig c;
    c.protocol = protocol;
    c.factoryGuid = {0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, guidTail};
    return c;
}

class BootTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/bootloader-test-XXXXXX";
        root_ = ::mkdtemp(pattern);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        clk::Install(&clock_);
        ctx_.StatusWindow0 = &status_;
        ctx_.MainChildForm = &main_;
        ctx_.DebugLoggingLevel = 17;  // nothing to the store
        const char* bin = std::getenv("LUMAREL_BIN");
        ctx_.App.Path = bin ? bin : "";
        imagelift::InstallContext(&ctx_);
        previousDoEvents_ = clk::SetDoEventsHandler([this] {
            ++doEvents_;
            if (onDoEvents_) onDoEvents_();
        });
        bas1394::ResetModuleState();

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
    }

    void TearDown() override {
        basBootloader::Terminate();
        bas1394::UnloadVsk1394Dll();
        if (hostBus_) hostBus_(nullptr);
        if (library_) ::dlclose(library_);
        user::DestroyWindow(window_);
        clk::SetDoEventsHandler(previousDoEvents_);
        imagelift::InstallContext(nullptr);
        clk::Install(nullptr);
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
    }

    // The root goes also when set-up or tear-down failed half-way (a missing library, say).
    ~BootTest() override {
        std::error_code ec;
        if (!root_.empty()) std::filesystem::remove_all(root_, ec);
    }

    // Adds a Lumarel 460 under `id` (a bus reset follows on the simulated bus).
    void AddDevice(const std::string& id, sim::lumarel::DeviceConfig config = Config(), int position = -1) {
        ASSERT_EQ(bus_.AddNode(id, std::make_unique<sim::lumarel::Lumarel460Node>(std::move(config)), position),
                  sim::kResultSuccess);
    }

    // Runs the device model under the bus lock.
    template <class F>
    void Dev(const std::string& id, F&& f) {
        ASSERT_TRUE(bus_.WithNode(id, [&](sim::Node& n) { f(static_cast<sim::lumarel::Lumarel460Node&>(n).device()); }));
    }

    // One whole bus-reset pass of the program: node table, then the target list.
    int32_t Rescan() {
        bas1394::State.BusResetPending = false;
        return bas1394::BusResetHandler();
    }

    // The device handle of the target on the node of simulated device `id` (0 when none).
    int32_t HandleOf(const std::string& id) {
        bas1394::NodeRecord r;
        r.NodeNumber = int16_t(bus_.PhyOf(id));
        return basBootloader::GetDeviceHandle(r);
    }

    std::vector<std::string> Messages() const { return status_.Messages(); }
    std::optional<Line> Find(const std::string& part) const { return status_.Find(part); }
    int Count(const std::string& part) const { return status_.Count(part); }
    void ClearLines() { status_.lines.clear(); }

    std::string root_;
    clk::ManualClock clock_;
    imagelift::ProgramContext ctx_;
    RecordingStatusWindow status_{"basBootloader"};
    RecordingMainWindow main_;
    forms::ScriptedPresenter box_;  // message boxes are answered from its script
    forms::ScopedPresenter boxScope_{box_};
    sim::Bus bus_;
    int doEvents_ = 0;
    std::function<void()> onDoEvents_;
    clk::DoEventsHandler previousDoEvents_;
    void* library_ = nullptr;
    int32_t (*hostBus_)(void*) = nullptr;
    user::HWND window_ = 0;
};

}  // namespace boottest
