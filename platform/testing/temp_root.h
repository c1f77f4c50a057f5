// Test support: every test gets its own platform root, so tests never see each other's (or the
// user's) windows, mutexes, settings or bus.
#pragma once

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

namespace testing_support {

// A fresh folder under /tmp named after `prefix`, exported as LUMAREL_ROOT while the test runs.
class TempRootTest : public ::testing::Test {
protected:
    explicit TempRootTest(std::string prefix = "lumarel_test") : prefix_(std::move(prefix)) {}
    void SetUp() override {
        std::string tmpl = "/tmp/" + prefix_ + "_XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl.data()), nullptr);
        root_ = tmpl;
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        std::filesystem::remove_all(root_, ec);
        ::unsetenv("LUMAREL_ROOT");
    }
    std::string root_;

private:
    std::string prefix_;
};

}  // namespace testing_support
