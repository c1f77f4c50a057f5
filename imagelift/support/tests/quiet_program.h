// Test support for fuzz targets: the program's windows as the device-facing layers see them,
// reduced to what a run of millions of inputs can afford. Status window 0 only counts the bytes
// logged (every line is still formed and posted, nothing is kept), and the main window exists
// (the layers log only while one does) and ignores its calls.
#pragma once

#include <cstddef>
#include <optional>
#include <string>

#include "support/program_context.h"

namespace supporttest {

class CountingStatusWindow : public imagelift::IStatusWindow {
public:
    void PostMessage(const std::string& message, float, int32_t&, const std::optional<std::string>&) override {
        bytes += message.size();
    }
    size_t bytes = 0;
};

class QuietMainWindow : public imagelift::IMainChildForm {
public:
    void IEEE1394Bus_NodesChanged() override {}
    void IEEE1394Bus_ResetComplete() override {}
    void IEEE1394IncomingDataHandler() override {}
};

}  // namespace supporttest
