// Unattended runs on the simulated bus hosted in the test: a manual clock, the real access
// library and bootloader layer, Lumarel 460s, packages from the package builder, and the
// automation module reset for each case.
#pragma once

#include <filesystem>
#include <fstream>
#include <string>

#include "app/program_state.h"
#include "automation/automation.h"
#include "tests/boot_fixture.h"
#include "bootloader/state.h"
#include "fwpbuild/package_builder.h"

namespace autotest {

namespace fsys = std::filesystem;

class AutomationTest : public boottest::BootTest {
protected:
    void SetUp() override {
        // Every record of the program as program start leaves it; the bootloader layer's fixture
        // then installs its context and binds the library.
        imagelift::ProgramState::ResetRecords();
        BootTest::SetUp();
        ctx_.StatusWindow0 = &all_;  // every module's lines, not the bootloader layer's alone
        basAutomation::InitializeCommandLineOptions();
        previousCwd_ = fsys::current_path();
        fsys::create_directories(root_ + "/work");
        fsys::current_path(root_ + "/work");
        previousOpener_ = basAutomation::SetExternalOpener([this](const std::string& p) { opened_.push_back(p); });
    }
    void TearDown() override {
        basAutomation::SetExternalOpener(previousOpener_);
        fsys::current_path(previousCwd_);
        BootTest::TearDown();
        imagelift::ProgramState::ResetRecords();
    }

    static basBootloader::ByteArray Pattern(size_t n, uint8_t seed = 1) {
        basBootloader::ByteArray b(n);
        for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + seed + i / 251);
        return b;
    }
    // Writes a package into the current folder under `name`.
    static void Package(const fwp::PackageBuilder& b, const std::string& name) {
        fsys::create_directories((fsys::current_path() / name).parent_path());
        b.WriteTo(fsys::current_path() / name);
    }
    static void Text(const std::string& name, const std::string& text) {
        fsys::create_directories((fsys::current_path() / name).parent_path());
        std::ofstream(fsys::current_path() / name, std::ios::binary) << text;
    }

    // Lets the device finish a reset and rebuilds the node table and target list.
    void SettleAndRescan() {
        clock_.Advance(200);
        ASSERT_EQ(Rescan(), 1);
    }

    sim::lumarel::Mode ModeOf(const std::string& id) {
        sim::lumarel::Mode m{};
        Dev(id, [&](sim::lumarel::Lumarel460& d) { m = d.mode(); });
        return m;
    }

    std::vector<std::string> Messages() const { return all_.Messages(); }
    std::optional<boottest::Line> Find(const std::string& part) const { return all_.Find(part); }
    int Count(const std::string& part) const { return all_.Count(part); }
    void ClearLines() { all_.lines.clear(); }

    supporttest::RecordingStatusWindow all_;
    fsys::path previousCwd_;
    basAutomation::ExternalOpener previousOpener_;
    std::vector<std::string> opened_;
};

// An application image installed on the device so that it can run its application.
inline void InstallApplication(sim::lumarel::Lumarel460& d, const basBootloader::ByteArray& bytes) {
    sim::lumarel::ImageInfo info;
    info.announcedCrc = fwp::ImageCrc(bytes);
    d.InstallImage(0, bytes, info);
}

}  // namespace autotest
