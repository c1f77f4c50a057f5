// The config ROM viewer: the tree of a node's config ROM, filled by the config ROM formatter of
// the bus layer through the tree view's node collection.
#include "app/config_rom_viewer.h"

#include "bus1394/config_rom_tree.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace {

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

frmConfigROM::frmConfigROM() : forms::Form("frmConfigROM", true) {}

void frmConfigROM::Form_Design() {
    Caption = "Config ROM";
    Move(0, 0, 9000, 6000);
    fraConfigRomAppleFormat.Move(120, 120, 8640, 5280);
    trvConfigRomAppleFormat.Move(120, 240, 8400, 4920);
    trvConfigRomAppleFormat.FontName = "Courier New";
    trvConfigRomAppleFormat.FontSize = 8.25;
}

void frmConfigROM::StatusDisplay(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::DebugLog(message, level, std::string("frmConfigROM"));
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
