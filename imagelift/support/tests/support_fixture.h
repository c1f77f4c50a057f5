// Shared set-up of the support layer's tests: a temporary platform root that is also the
// current folder, a fresh program context on a manual clock, and fakes of the neighbours the
// logger and the store talk to.
#pragma once

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "clock/clock.h"
#include "forms/dialogs.h"
#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "support/sqlite_db.h"

namespace supporttest {

namespace stdfs = std::filesystem;

struct PostedLine {
    std::string message;
    float elapsed;
    int32_t priority;
    std::optional<std::string> module;
};

class FakeStatusWindow : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float elapsedMs, int32_t& priority,
                     const std::optional<std::string>& module) override {
        lines.push_back({message, elapsedMs, priority, module});
    }
    std::vector<PostedLine> lines;
};

class FakeStatusFile : public imagelift::IStatusFile {
public:
    void WriteStatusFileLine(const std::string& line) override { lines.push_back(line); }
    std::vector<std::string> lines;
};

class FakeMainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

inline void WriteFile(const stdfs::path& p, const std::string& bytes) {
    std::ofstream(p, std::ios::binary) << bytes;
}

inline std::string ReadFile(const stdfs::path& p) {
    std::ifstream in(p, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

class SupportTest : public ::testing::Test {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/lumarel-support-XXXXXX";
        root_ = ::mkdtemp(tmpl);
        if (const char* old = std::getenv("LUMAREL_ROOT")) oldRoot_ = old;
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        oldCwd_ = stdfs::current_path();
        stdfs::current_path(root_);
        ctx_.StatusWindow0 = &window_;
        ctx_.Beep = [this] { ++beeps_; };
        ctx_.QueryElapsedTimeMsLongInt = [](int64_t* start) { return clk::ElapsedMsSince(*start); };
        ctx_.App.Path = root_.string();
    }
    void TearDown() override {
        ctx_.DbManager.reset();
        stdfs::current_path(oldCwd_);
        if (oldRoot_)
            ::setenv("LUMAREL_ROOT", oldRoot_->c_str(), 1);
        else
            ::unsetenv("LUMAREL_ROOT");
        std::error_code ec;
        stdfs::remove_all(root_, ec);
    }
    // The store in the test's folder, opened as the program opens it: its own lines go through
    // the logger.
    clsDbManager& Open() {
        ctx_.DbManager = std::make_unique<clsDbManager>(root_, basDebug::ReportStoreLine);
        return *ctx_.DbManager;
    }

    stdfs::path root_;
    clk::ManualClock clock_;
    clk::ScopedClock scopedClock_{clock_};
    imagelift::ProgramContext ctx_;
    imagelift::ScopedContext scopedCtx_{ctx_};
    FakeStatusWindow window_;
    FakeStatusFile statusFile_;
    FakeMainWindow mainWindow_;
    // Message boxes are answered from a script (unscripted: as in an unattended run).
    forms::ScriptedPresenter boxes_;
    forms::ScopedPresenter scopedBoxes_{boxes_};
    int beeps_ = 0;

private:
    std::optional<std::string> oldRoot_;
    stdfs::path oldCwd_;
};

}  // namespace supporttest
