// The config ROM viewer: the tree of a node's config ROM, filled by the config ROM formatter of
// the bus layer through the tree view's node collection, and the report it copies and saves.
#include "windows/config_rom_viewer.h"

#include <fstream>

#include "windows/open_windows.h"
#include "bus1394/config_rom_tree.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "forms/dialogs.h"
#include "fs/fs.h"
#include "layout/layout_manager.h"
#include "support/date_text.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "vbrt/resume_next.h"

namespace {

constexpr const char* kModule = "frmConfigROM";
constexpr const char* kRule = "********************************************************";  // 56

// The tree view's nodes as the formatter adds them.
class TreeNodes final : public basConfigRom::IConfigRomTree {
public:
    explicit TreeNodes(forms::TreeView& tree) : tree_(tree) {}
    void ClearNodes() override { tree_.Nodes.Clear(); }
    int32_t AddNode(const std::optional<std::string>& relative, int32_t relationship,
                    const std::optional<std::string>& key, const std::string& text) override {
        return tree_.Nodes.Add(relative.value_or(""), relationship, key.value_or(""), text).Index();
    }
    void SetExpanded(int32_t index, bool expanded) override { tree_.Nodes.Item(index).Expanded = expanded; }
    int32_t NodeCount() const override { return tree_.Nodes.Count(); }
    std::string NodeText(int32_t index) const override { return tree_.Nodes.Item(index).Text(); }

private:
    forms::TreeView& tree_;
};

}  // namespace

frmConfigROM::frmConfigROM() : forms::Form("frmConfigROM", true) {
    cmdClose.Click = [this] { cmdClose_Click(); };
    cmdCopyConfigRomToClipboard.Click = [this] { cmdCopyConfigRomToClipboard_Click(); };
    cmdSaveToDisk.Click = [this] { cmdSaveToDisk_Click(); };
}

frmConfigROM::~frmConfigROM() = default;

void frmConfigROM::Form_Design() {
    Caption = "Config ROM";
    Move(0, 0, 9000, 6600);
    // The frame holds everything: the tree and, below it, the three buttons.
    fraConfigRomAppleFormat.Move(60, 0, 8760, 6000);
    trvConfigRomAppleFormat.Move(120, 240, 8520, 5100);
    trvConfigRomAppleFormat.FontName = "Courier New";
    trvConfigRomAppleFormat.FontSize = 8.25;
    cmdClose.Caption = "&Close";
    cmdCopyConfigRomToClipboard.Caption = "Copy to Clip&board";
    cmdSaveToDisk.Caption = "&Save to Disk";
    cmdCopyConfigRomToClipboard.Move(120, 5460, 2040, 375);
    cmdSaveToDisk.Move(2280, 5460, 2040, 375);
    cmdClose.Move(7320, 5460, 1320, 375);
}

void frmConfigROM::StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::DebugLog(message, level, std::string(kModule));
}

void frmConfigROM::Form_Load() {
    vb::ResumeNext steps([this](const vb::Error& e) {
        StatusDisplay(vb::ErrorLine("ERROR #", e, ".  Resuming next..."), "ERROR");
    });
    // The client area ends exactly at the frame's right and bottom edges.
    steps.Run([&] {
        Height = fraConfigRomAppleFormat.Top() + fraConfigRomAppleFormat.Height() + (Height() - ScaleHeight());
    });
    steps.Run([&] {
        Width = (Width() - ScaleWidth()) + fraConfigRomAppleFormat.Left() + fraConfigRomAppleFormat.Width();
    });
    steps.Run([&] { LayoutManager = std::make_unique<clsLayoutManager>(); });
    steps.Run([&] { LayoutManager->LayoutForm(*this); });
    steps.Run([&] { LayoutManager->RestoreLayout(); });
    steps.Run([&] { LayoutManager->VerifyFormPosition(*this); });
}

void frmConfigROM::Form_Resize() {
    try {
        if (LayoutManager) LayoutManager->ResizeForm();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmConfigROM::Form_Unload(int32_t& /*Cancel*/) {
    basApp::UnloadOpenWindow(this, LayoutManager, [this](const std::string& warning) { StatusDisplay(warning, "WARNING"); });
}

void frmConfigROM::NodeNum(int32_t NewNodeNum) {
    try {
        trvConfigRomAppleFormat.Nodes.Clear();
        // The node table keeps only the local host and the maker's nodes, so a node's place in
        // it is not its node number: the node is looked up by its number.
        const bas1394::NodeRecord* node = nullptr;
        if (NewNodeNum >= 0 && NewNodeNum < bas1394::kNoNode) {
            for (const auto& n : bas1394::State.NodeTable)
                if (n.NodeNumber == NewNodeNum) {
                    node = &n;
                    break;
                }
        }
        if (!node) {
            const std::string text = "frmConfigROM: Invalid Node Number: " + vb::CStr(NewNodeNum);
            trvConfigRomAppleFormat.Nodes.Add("", forms::tvwLast, "", text);
            StatusDisplay(text, "ERROR");
            return;
        }
        // A copy: the formatter lets window messages run, and a bus reset may rebuild the table.
        const bas1394::ConfigRomRecord rom = node->ConfigRom;
        const auto& bytes = rom.BusInfo.RawBytes;
        if (!bytes.empty() && bytes[0] == 1) {
            StatusDisplay("Minimal config rom on node # " + vb::CStr(NewNodeNum), "USER");
        } else if (bytes.size() >= 2) {
            TreeNodes tree(trvConfigRomAppleFormat);
            const int32_t r = basConfigRom::FormatConfigRomApple(tree, rom);
            if (r != 1) StatusDisplay("frmConfigROM: FormatConfigRomApple failed, code " + vb::CStr(r), "ERROR");
        }
    } catch (...) {
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in frmConfigROM.NodeNum"), "ERROR");
    }
}

std::string frmConfigROM::ReportText() const {
    std::string text;
    for (int32_t i = 1; i <= trvConfigRomAppleFormat.Nodes.Count(); ++i)
        text += trvConfigRomAppleFormat.Nodes(i).Text() + "\r\n";
    return text;
}

void frmConfigROM::cmdClose_Click() { Unload(); }

void frmConfigROM::cmdCopyConfigRomToClipboard_Click() {
    try {
        const std::string text = ReportText();
        forms::Clipboard::Clear();
        forms::Clipboard::SetText(text);
    } catch (...) {
        // The clipboard may be held by another program: the copy is lost, nothing else.
        StatusDisplay(vb::ErrorLine("Error #", vb::CurrentException(), " in cmdCopyConfigRomToClipboard"), "ERROR");
    }
}

void frmConfigROM::cmdSaveToDisk_Click() {
    try {
        CommonDialog1.FileName.clear();
        CommonDialog1.ShowSave();
        std::string fileName = CommonDialog1.FileName;
        // A cancelled dialog: the user chose not to save.
        if (fileName.empty()) return;
        if (fs::FileExists(fileName)) {
            const int32_t answer =
                forms::MsgBox("'" + fileName + "' exists.  Overwrite (y/n)?", forms::vbYesNo, "Overwrite");
            if (answer != forms::vbYes) return;
        }
        std::ofstream file(fs::ToNativePath(fileName), std::ios::binary | std::ios::trunc);
        if (!file) vb::Raise(75);
        const auto& app = imagelift::Ctx().App;
        auto line = [&](const std::string& text) {
            file << text << "\r\n";
            if (!file) vb::Raise(75);
        };
        line(kRule);
        line(Caption());
        line("Config Rom read on: " + basUtils::FormatSystemTime(fs::LocalTimeNow(), "yyyy-mm-dd hh:nn:ss"));
        line("App='" + app.EXEName + "' Ver=" + vb::CStr(app.Major) + "." + vb::CStr(app.Minor) + "." +
             vb::CStr(app.Revision));
        line(kRule);
        line("");
        for (int32_t i = 1; i <= trvConfigRomAppleFormat.Nodes.Count(); ++i)
            line(trvConfigRomAppleFormat.Nodes(i).Text());
    } catch (...) {
        StatusDisplay(vb::ErrorLine("ERROR #", vb::CurrentException(), " in cmdSaveToDisk.  Aborting operation..."),
                      "ERROR");
    }
}
