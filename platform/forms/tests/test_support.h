// A fresh platform root and the manual clock for each window test.
#pragma once

#include "clock/clock.h"
#include "forms/app.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <unistd.h>

class TempRoot {
public:
    TempRoot() {
        char tmpl[] = "/tmp/forms_test_XXXXXX";
        path_ = ::mkdtemp(tmpl);
        ::setenv("LUMAREL_ROOT", path_.c_str(), 1);
    }
    ~TempRoot() {
        std::filesystem::remove_all(path_);
        ::unsetenv("LUMAREL_ROOT");
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

// Window tests measure in twips at the design scale, 15 to a pixel, whatever font the desktop
// has (the desktop's own scale has a test of its own).
class FormsTest : public ::testing::Test {
protected:
    FormsTest() { forms::SetScreen(&screen_); }
    ~FormsTest() override { forms::SetScreen(nullptr); }
    TempRoot root_;
    clk::ManualClock clock_;
    clk::ScopedClock scoped_{clock_};
    forms::FixedScreen screen_{1024, 768};
};
