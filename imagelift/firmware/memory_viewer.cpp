// The memory viewer: a hex dump of a byte array that follows the window's width.
#include "firmware/memory_viewer.h"

#include <algorithm>
#include <cmath>

#include "windows/kit.h"
#include "layout/layout_manager.h"
#include "support/byte_utils.h"
#include "support/debug_log.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

frmViewMemory::frmViewMemory() : forms::Form("frmViewMemory", true) {
    cmdClose.Click = [this] { cmdClose_Click(); };
}

frmViewMemory::~frmViewMemory() = default;

void frmViewMemory::Form_Design() {
    Caption = "Memory Viewer";
    fraBounding.Move(120, 60, 7440, 4320);
    txtNodeMemory.Move(120, 240, 7200, 3960);
    txtNodeMemory.Locked = true;
    txtNodeMemory.FontName = "Courier New";
    txtNodeMemory.FontSize = 8.25;
    cmdClose.Caption = "&Close";
    cmdClose.Move(6360, 4440, 1200, 375);
}

int32_t frmViewMemory::ColumnsForWidth(double widthTwips) {
    const int32_t columns = (vb::CLng(widthTwips - 800) / 480) / 4 * 4;
    return std::max(columns, 4);
}

namespace {

// The dump row by row, its character column made printable: the dump writes a zero byte as the
// control character 21 and other control characters as they are, which a text box draws as
// boxes or (CR, LF) as broken rows; here each of them shows as a dot.
std::string printableDump(int32_t baseAddress, const std::vector<uint8_t>& bytes, int32_t columns) {
    const size_t perRow = columns < 1 ? 4 : size_t(columns);
    const std::string options = "<columnwidth = " + vb::CStr(int32_t(perRow)) + ">";
    std::string text;
    for (size_t at = 0; at < bytes.size(); at += perRow) {
        const std::vector<uint8_t> row(bytes.begin() + std::ptrdiff_t(at),
                                       bytes.begin() + std::ptrdiff_t(std::min(at + perRow, bytes.size())));
        std::string line = basUtils::HexDump(int32_t(uint32_t(baseAddress) + uint32_t(at)), row, options);
        // The row's characters stand just before its CR LF.
        for (size_t i = line.size() - 2 - row.size(); i < line.size() - 2; ++i) {
            const auto c = uint8_t(line[i]);
            if (c < 0x20 || c == 0x7F) line[i] = '.';
        }
        text += line;
    }
    return text;
}

}  // namespace

void frmViewMemory::showDump() { txtNodeMemory.Text = printableDump(baseAddress_, bytes_, columns_); }

void frmViewMemory::ByteData(const std::vector<uint8_t>& NewByteArray) {
    bytes_ = NewByteArray;
    showDump();
}

void frmViewMemory::Form_Load() {
    bytes_.assign(1, 0);
    columns_ = 4;
    fitted_ = false;
}

void frmViewMemory::Form_Activate() {
    // Sized when it first shows: only then does the window layer know its frame and inside.
    if (fitted_) return;
    fitted_ = true;
    // The client area just encloses the frame and the button below it.
    Height = (Height - ScaleHeight) + cmdClose.Top + cmdClose.Height + 60;
    Width = (Width - ScaleWidth) + fraBounding.Left + fraBounding.Width + 120;
    layout_ = std::make_unique<clsLayoutManager>();
    layout_->LayoutForm(*this);
    layout_->RestoreLayout();
    layout_->VerifyFormPosition(*this);
}

void frmViewMemory::Form_Resize() {
    try {
        if (layout_) layout_->ResizeForm();
        if (bytes_.size() < 2) return;
        const int32_t columns = ColumnsForWidth(txtNodeMemory.Width);
        if (columns != columns_) {
            columns_ = columns;
            showDump();
        }
    } catch (...) {
        basDebug::DebugLog(vb::ErrorLine("Error #", vb::CurrentException(), " in Form_Resize"), basDebug::ERROR_LEVEL,
                           std::string("frmViewMemory"));
    }
}

void frmViewMemory::Form_Unload(int32_t& Cancel) {
    (void)Cancel;
    try {
        if (layout_) layout_->SaveLayout();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
    layout_.reset();
    auto& windows = basApp::MemoryWindows;
    if (windowIndex_ >= 0 && size_t(windowIndex_) < windows.size() && windows[size_t(windowIndex_)].get() == this)
        basApp::EmptySlot(windows, windowIndex_);
}

void frmViewMemory::cmdClose_Click() { Unload(); }
