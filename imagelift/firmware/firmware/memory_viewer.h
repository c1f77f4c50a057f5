// frmViewMemory: the memory viewer, an MDI child that shows a byte array as a hex dump (address,
// bytes, characters) and re-flows it to as many columns (a multiple of four) as its width holds.
// The download window opens one for a package's configuration data, in a slot of
// basApp::MemoryWindows.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "forms/controls.h"
#include "forms/form.h"

class clsLayoutManager;

class frmViewMemory : public forms::Form {
public:
    frmViewMemory();
    ~frmViewMemory() override;

    forms::Frame fraBounding{this, "fraBounding"};
    forms::TextBox txtNodeMemory{&fraBounding, "txtNodeMemory", forms::TextBox::MultiLine | forms::TextBox::VerticalScroll};
    forms::CommandButton cmdClose{this, "cmdClose"};

    int32_t WindowIndex() const { return windowIndex_; }
    void WindowIndex(int32_t index) { windowIndex_ = index; }
    // The address of the first byte: it labels the dump's lines.
    int32_t BaseAddress() const { return baseAddress_; }
    void BaseAddress(int32_t address) { baseAddress_ = address; }
    // The bytes shown; setting them replaces the dump at once.
    const std::vector<uint8_t>& ByteData() const { return bytes_; }
    void ByteData(const std::vector<uint8_t>& NewByteArray);

    // The dump's column count for a text box `widthTwips` wide: (width - 800) / 480 whole
    // columns, lowered to a multiple of four, at least four.
    static int32_t ColumnsForWidth(double widthTwips);
    int32_t Columns() const { return columns_; }

    void cmdClose_Click();

protected:
    void Form_Design() override;
    void Form_Load() override;
    void Form_Activate() override;
    void Form_Resize() override;
    void Form_Unload(int32_t& Cancel) override;

private:
    void showDump();

    int32_t windowIndex_ = 0;
    int32_t baseAddress_ = 0;
    std::vector<uint8_t> bytes_ = std::vector<uint8_t>(1, 0);
    int32_t columns_ = 4;
    bool fitted_ = false;
    std::unique_ptr<clsLayoutManager> layout_;
};
