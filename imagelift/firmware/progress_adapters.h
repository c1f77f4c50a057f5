// The download window's progress bar as the file reader and the bootloader's download commands
// drive it.
#pragma once

#include "bootloader/progress_bar.h"
#include "forms/controls.h"
#include "support/file_utils.h"

namespace imagelift_firmware {

class ReadProgress final : public basUtils::IProgressControl {
public:
    explicit ReadProgress(forms::ProgressBar& bar) : bar_(bar) {}
    std::string TypeName() const override { return bar_.TypeName(); }
    void SetMin(int32_t value) override { bar_.Min = double(value); }
    void SetMax(int32_t value) override { bar_.Max = double(value); }
    int32_t Max() const override { return int32_t(bar_.Max()); }
    void SetValue(int32_t value) override { bar_.Value = double(value); }

private:
    forms::ProgressBar& bar_;
};

class CommandProgress final : public basBootloader::IProgressBar {
public:
    explicit CommandProgress(forms::ProgressBar& bar) : bar_(bar) {}
    std::string TypeName() const override { return bar_.TypeName(); }
    void SetVisible(bool visible) override { bar_.Visible = visible; }
    float Min() const override { return float(bar_.Min()); }
    void SetMin(float v) override { bar_.Min = double(v); }
    float Max() const override { return float(bar_.Max()); }
    void SetMax(float v) override { bar_.Max = double(v); }
    float Value() const override { return float(bar_.Value()); }
    void SetValue(float v) override { bar_.Value = double(v); }

private:
    forms::ProgressBar& bar_;
};

}  // namespace imagelift_firmware
