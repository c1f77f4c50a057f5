// Plain stand-ins for a window, its controls and the screen, and a program context that
// records every log line.
#pragma once

#include "forms/app.h"
#include "forms/layout_window.h"
#include "support/db_manager.h"
#include "support/debug_log.h"
#include "support/program_context.h"
#include "vbrt/error.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <unistd.h>
#include <vector>

class FakeControl : public forms::ILayoutControl {
public:
    FakeControl(std::string type, std::string name, double top, double left, double width, double height)
        : top(top), left(left), width(width), height(height), type_(std::move(type)), name_(std::move(name)) {}
    std::string TypeName() const override { return type_; }
    std::string LayoutName() const override { return name_; }
    double LayoutTop() const override { return top; }
    double LayoutLeft() const override { return left; }
    double LayoutWidth() const override { return width; }
    double LayoutHeight() const override { return height; }
    void SetLayoutTop(double t) override { write("Top"), top = t; }
    void SetLayoutLeft(double l) override { write("Left"), left = l; }
    void SetLayoutWidth(double w) override { write("Width"), width = w; }
    void SetLayoutHeight(double h) override {
        if (readOnlyHeight) vb::Raise(383, "", "'Height' property is read-only");
        write("Height"), height = h;
    }
    double top, left, width, height;
    bool readOnlyHeight = false;
    int writes = 0;

private:
    void write(const char*) { ++writes; }
    std::string type_, name_;
};

// A window whose frame is 4 pixels wide on each side with a 30-pixel title bar; Top and Left
// count from `origin` (the MDI client area's screen corner for a child window).
class FakeWindow : public forms::ILayoutWindow {
public:
    FakeWindow(std::string name, double top, double left, double width, double height)
        : top(top), left(left), width(width), height(height), name_(std::move(name)) {}
    std::string LayoutName() const override { return name_; }
    std::string TypeName() const override { return typeName; }
    int32_t LayoutWindowState() const override { return state; }
    double LayoutTop() const override { return top; }
    double LayoutLeft() const override { return left; }
    double LayoutWidth() const override { return width; }
    double LayoutHeight() const override { return height; }
    void SetLayoutTop(double t) override { check(0), top = snap(t); }
    void SetLayoutLeft(double l) override { check(0), left = snap(l); }
    void SetLayoutWidth(double w) override { check(w), width = snap(w); }
    void SetLayoutHeight(double h) override { check(h), height = snap(h); }
    std::vector<forms::ILayoutControl*> LayoutControls() override {
        std::vector<forms::ILayoutControl*> v;
        for (auto& c : controls) v.push_back(c.get());
        return v;
    }
    forms::PixelRect WindowRectPx() const override {
        if (rectFails) vb::Raise(5, "");
        int32_t l = origin.x + px(left), t = origin.y + px(top);
        return {l, t, l + px(width), t + px(height)};
    }
    forms::PixelRect ClientRectPx() const override {
        if (zeroClient) return {0, 0, 0, 0};
        return {0, 0, std::max(px(width) - 8, 0), std::max(px(height) - 34, 0)};
    }
    forms::PixelPoint ParentOriginPx() const override { return origin; }

    FakeControl& Add(std::string type, std::string name, double top, double left, double width, double height) {
        controls.push_back(std::make_unique<FakeControl>(std::move(type), std::move(name), top, left, width, height));
        return *controls.back();
    }

    double top, left, width, height;
    int32_t state = 0;
    std::string typeName = "Form";
    forms::PixelPoint origin{};
    bool zeroClient = false;
    bool rectFails = false;  // the platform cannot tell the window's rectangle
    bool snapToPixels = true;  // as real windows do
    std::vector<std::unique_ptr<FakeControl>> controls;

private:
    static int32_t px(double twips) { return int32_t(std::lround(twips / 15)); }
    double snap(double twips) const { return snapToPixels ? std::lround(twips / 15) * 15.0 : twips; }
    void check(double size) const {
        if (state != 0) vb::Raise(384, "");
        if (size < 0) vb::Raise(380, "", "Invalid property value");
    }
    std::string name_;
};

struct LoggedLine {
    std::string message;
    int32_t level;
    std::string module;
};

class LayoutTest : public ::testing::Test, public imagelift::IStatusWindow {
protected:
    void SetUp() override {
        char tmpl[] = "/tmp/layout_test_XXXXXX";
        root_ = ::mkdtemp(tmpl);
        ::setenv("LUMAREL_ROOT", root_.c_str(), 1);
        ctx_.StatusWindow0 = this;
        ctx_.App.Title = "Imagelift";
        forms::SetScreen(&screen_);
    }
    void TearDown() override {
        ctx_.DbManager.reset();
        forms::SetScreen(nullptr);
        std::filesystem::remove_all(root_);
        ::unsetenv("LUMAREL_ROOT");
    }
    void PostMessage(const std::string& message, float, int32_t& priority,
                     const std::optional<std::string>& module) override {
        lines_.push_back({message, priority, module.value_or("")});
    }
    // A settings-and-log store in the temporary folder.
    void UseStore() {
        std::filesystem::path folder = std::filesystem::path(root_) / "program";
        std::filesystem::create_directories(folder);
        dbschema::CreateCleanDatabase(folder / clsDbManager::kDatabaseFile);
        ctx_.DbManager = std::make_unique<clsDbManager>(folder, basDebug::ReportStoreLine);
    }
    std::vector<LoggedLine> LinesContaining(const std::string& text) const {
        std::vector<LoggedLine> v;
        for (auto& l : lines_)
            if (l.message.find(text) != std::string::npos) v.push_back(l);
        return v;
    }

    std::string root_;
    imagelift::ProgramContext ctx_;
    imagelift::ScopedContext scoped_{ctx_};
    forms::FixedScreen screen_{1024, 768};
    std::vector<LoggedLine> lines_;
};
