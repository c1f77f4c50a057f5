#include "bus1394/config_rom_tree.h"

#include "bus1394/config_rom_reader.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basConfigRom {

// ---- RecordingTree --------------------------------------------------------------------------

void RecordingTree::ClearNodes() {
    nodes_.clear();
    keys_.clear();
}

int32_t RecordingTree::AddNode(const std::optional<std::string>& relative, int32_t /*relationship*/,
                               const std::optional<std::string>& key, const std::string& text) {
    int32_t parent = 0;
    if (relative) {
        parent = Find(*relative);
        if (parent == 0) vb::Raise(35601, "MSComctlLib.Nodes", "Element not found");
    }
    if (key && keys_.count(*key)) vb::Raise(35602, "MSComctlLib.Nodes", "Key is not unique in collection");
    nodes_.push_back(Node{parent, key, text, false});
    const auto index = static_cast<int32_t>(nodes_.size());
    if (key) keys_[*key] = index;
    return index;
}

void RecordingTree::SetExpanded(int32_t index, bool expanded) {
    nodes_.at(static_cast<size_t>(index) - 1).expanded = expanded;
}

std::string RecordingTree::NodeText(int32_t index) const {
    return nodes_.at(static_cast<size_t>(index) - 1).text;
}

int32_t RecordingTree::Find(const std::string& key) const {
    const auto it = keys_.find(key);
    return it == keys_.end() ? 0 : it->second;
}

std::string ConfigRomReport(const IConfigRomTree& tree) {
    std::string report;
    for (int32_t i = 1; i <= tree.NodeCount(); ++i) report += tree.NodeText(i) + "\r\n";
    return report;
}

// ---- formatting -------------------------------------------------------------------------

namespace {

using basUtils::FormatHex;

std::string Key3(int32_t n) { return vb::Format(n, "000"); }

// "0xAAAAAAAA   0xVVVVVVVV  ": the quadlet's address and its value as read.
std::string QuadletPrefix(int32_t address, const std::vector<uint8_t>& raw, int32_t offset) {
    return FormatHex(address, "0x00000000") + "   " +
           FormatHex(basUtils::ByteArrayToLong(raw, offset, offset + 3, true), "0x00000000") + "  ";
}

int32_t AddExpanded(IConfigRomTree& tree, const std::optional<std::string>& relative,
                    const std::optional<std::string>& key, const std::string& text) {
    const int32_t node = tree.AddNode(relative, IConfigRomTree::tvwChild, key, text);
    tree.SetExpanded(node, true);
    return node;
}

void Add(IConfigRomTree& tree, const std::optional<std::string>& relative,
         const std::optional<std::string>& key, const std::string& text) {
    tree.AddNode(relative, IConfigRomTree::tvwChild, key, text);
}

std::string KeyIdText(int32_t keyId) {
    switch (keyId) {
    case 0x01: return "value=(Text)  data=0x";
    case 0x02: return "value=BUS DEPENDENT INFO  data=0x";
    case 0x03: return "value=MODULE VENDOR ID  data=0x";
    case 0x04: return "value=MODULE HW VERSION  data=0x";
    case 0x05: return "value=MODULE SPEC ID  data=0x";
    case 0x06: return "value=MODULE SW VERSION  data=0x";
    case 0x07: return "value=MODULE DEPENDENT INFO  data=0x";
    case 0x08: return "value=NODE VENDOR ID  data=0x";
    case 0x09: return "value=NODE HW VERSION  data=0x";
    case 0x0A: return "value=NODE SPEC ID  data=0x";
    case 0x0B: return "value=NODE SW VERSION  data=0x";
    case 0x0C: return "value=NODE_CAPABILITIES  data=0x";
    case 0x0D: return "value=NODE_UNIQUE_ID  data=0x";
    case 0x10: return "value=NODE DEPENDENT INFO  data=0x";
    case 0x11: return "value=UNIT_DIRECTORY_OFFSET  data=0x";
    case 0x12: return "value=SPECIFIER_ID  data=0x";
    case 0x13: return "value=VERSION  data=0x";
    case 0x14: return "value=DEPENDENT_INFO  data=0x";
    case 0x15: return "value=UNIT_LOCATION  data=0x";
    case 0x17: return "value=MODEL ID  data=0x";
    case 0x18: return "value=INSTANCE  data=0x";
    case 0x19: return "value=KEYWORD  data=0x";
    case 0x1A: return "value=FEATURE  data=0x";
    case 0x1B: return "value=EXTENDED_ROM  data=0x";
    case 0x1C: return "value=EXTENDED_KEY_SPECIFIER_ID  data=0x";
    case 0x1D: return "value=EXTENDED_KEY  data=0x";
    case 0x1E: return "value=EXTENDED_DATA  data=0x";
    case 0x1F: return "value=MODIFIABLE_DESCRIPTOR  data=0x";
    case 0x20: return "value=DIRECTORY_ID  data=0x";
    default: return "value=UNKNOWN:0x" + vb::Hex(keyId) + "  data=0x";
    }
}

const char* KeyTypeName(int32_t keyType) {
    switch (keyType) {
    case 0: return "(imm), ";
    case 1: return "(off), ";
    case 2: return "(leaf),";
    default: return "(dir), ";
    }
}

constexpr const char* kCapabilityCaptions[bas1394::kCapabilityCount] = {
    "SplitTimeout",    "MessagePassing", "InterruptRegisters", "ArgumentRegisters",
    "TestRegisters",   "PrivateSpace",   "BitAddressing64",    "FixedAddressing",
    "LostBit",         "DisableRequest", "ErrorLogRegister",   "AttentionBit",
    "OffBit",          "DeadState",      "InitializingState"};

// The 1394 Trade Association's specifier ID (AV/C units) and the version value marked AV/C.
constexpr int32_t kAvcSpecifierId = 0x00A02D;
constexpr int32_t kAvcVersionMarked = 0x000011;

void LogFailure(const std::exception& e, const char* procedure) {
    LogMsg(bas1394::internal::FailureLine(e, procedure));
}

}  // namespace

int32_t FormatConfigRomApple(IConfigRomTree& tree, const ConfigRomRecord& rom) {
    int32_t result = -1;
    try {
        tree.ClearNodes();
        if (FormatConfigRomBusInfoBlockApple(tree, rom) != 1) {
            LogMsg("ERROR: Failed call to FormatConfigRomBusInfoBlockApple in FormatConfigRomApple.  "
                   "Exiting function abnormally!",
                   "ERROR");
            return -1;
        }
        AddExpanded(tree, std::nullopt, std::string("ROOT_DIRECTORY"), "ROOT DIRECTORY");
        if (FormatConfigRomDirectoryApple(tree, "ROOT_DIRECTORY", rom, 0) != 1) {
            LogMsg("ERROR: Failed call to FormatConfigRomDirectoryApple in FormatConfigRomApple.  "
                   "Exiting function abnormally!",
                   "ERROR");
            return -1;
        }
        result = 1;
    } catch (const std::exception& e) {
        LogFailure(e, "FormatConfigRomApple");
    }
    return result;
}

int32_t FormatConfigRomBusInfoBlockApple(IConfigRomTree& tree, const ConfigRomRecord& rom) {
    int32_t result = -1;
    try {
        const auto& info = rom.BusInfo;
        if (info.InfoLength < 1) {
            LogMsg("ERROR: Invalid config rom in FormatConfigRomApple!", "ERROR");
            return -1;
        }
        const std::optional<std::string> block = std::string("BUS_INFO_BLOCK");
        AddExpanded(tree, std::nullopt, block, "BUS INFO BLOCK");
        const auto& raw = info.RawBytes;
        const auto at = [&](int k) { return QuadletPrefix(info.BaseAddress + 4 * k, raw, 4 * k); };

        AddExpanded(tree, block, std::string("BUS_INFO_BLOCK_HEADER"),
                    at(0) + "ROM Header (General), info_len=" + std::to_string(info.InfoLength) +
                        " quadlets, " + "crc_len=0x" + vb::Hex(info.CrcLength) + " quadlets, " +
                        "crc=0x" + vb::Hex(info.RomCrc));
        std::string name = at(1) + "\"";
        for (int i = 4; i < 8; ++i) name += static_cast<char>(raw.at(static_cast<size_t>(i)));
        AddExpanded(tree, block, std::string("BUS_NAME"), name + "\"");

        std::string characteristics = at(2);
        if (info.IRMC) characteristics += "IRMC ";
        if (info.CMC) characteristics += "CMC ";
        if (info.ISC) characteristics += "ISC ";
        if (info.BMC) characteristics += "BMC ";
        if (info.PMC) characteristics += "PMC ";
        if (info.ADJ) characteristics += "ADJ ";
        characteristics += "CycClkAcc=0x" + vb::Hex(info.CycClkAcc) + " " + "MaxRec=0x" + vb::Hex(info.MaxRec) +
                           " " + "MaxRom=0x" + vb::Hex(info.MaxRom) + " " + "Generation=0x" +
                           vb::Hex(info.Generation) + " " + "LinkSpd=0x" + vb::Hex(info.LinkSpd) + " ";
        AddExpanded(tree, block, std::string("BUS_CHARACTERISTICS"), characteristics);

        Add(tree, block, std::string("BUS_INFO_NODE_VENDOR_ID"),
            at(3) + "NodeVendorID = 0x" + vb::Hex(info.NodeVendorId) + ", ChipIDHi = 0x" + vb::Hex(info.ChipIdHi));
        Add(tree, block, std::string("BUS_INFO_CHIP_ID_LOW"), at(4) + "ChipIdLow = 0x" + vb::Hex(info.ChipIdLo));
        result = 1;
    } catch (const std::exception& e) {
        LogFailure(e, "FormatConfigRomBusInfoBlockApple");
    }
    return result;
}

int32_t FormatConfigRomDirectoryApple(IConfigRomTree& tree, const std::string& parentKey,
                                      const ConfigRomRecord& rom, int32_t d) {
    int32_t result = -1;
    try {
        int32_t leafCounter = 0;
        int32_t subCounter = 0;
        int32_t offsetCounter = 0;
        const auto& dir = rom.RootDirectory.Directories.at(static_cast<size_t>(d));
        const auto& raw = dir.RawBytes;
        if (raw.size() < 4) return -1;
        const std::optional<std::string> parent = parentKey;
        AddExpanded(tree, parent, "DIRECTORY_HEADER_" + Key3(d),
                    QuadletPrefix(dir.Address, raw, 0) + "Directory header, length=0x" +
                        vb::Hex(dir.Length) + " quadlets, " + "crc=0x" + vb::Hex(dir.Crc));

        for (size_t i = 0; i < dir.Entries.size(); ++i) {
            const auto& entry = dir.Entries[i];
            const int32_t offset = 4 + 4 * static_cast<int32_t>(i);
            std::string caption = QuadletPrefix(dir.Address + offset, raw, offset) + "key type=" +
                                  std::to_string(entry.KeyType) + " " + KeyTypeName(entry.KeyType) +
                                  "key=" + FormatHex(entry.KeyId, "0x00") + " " +
                                  KeyIdText(entry.KeyId) + vb::Hex(entry.Value);
            if ((entry.KeyId == 0x12 && entry.Value == kAvcSpecifierId) ||
                (entry.KeyId == 0x13 && entry.Value == kAvcVersionMarked)) {
                caption += " (AVC)";
            }
            const std::string entryKey = "DIRECTORY_" + Key3(d) + "_KEY_" + Key3(static_cast<int32_t>(i));
            AddExpanded(tree, parent, entryKey, caption);

            if (d == 0 && entry.KeyId == 0x0C) {
                const auto& caps = rom.RootDirectory.Capabilities;
                for (int c = 0; c < bas1394::kCapabilityCount; ++c) {
                    if (caps[static_cast<size_t>(c)]) Add(tree, entryKey, std::nullopt, kCapabilityCaptions[c]);
                }
            }
            switch (entry.KeyType) {
            case 1: {
                const auto& off = dir.Offsets.at(static_cast<size_t>(offsetCounter));
                AddExpanded(tree, parent, "DIRECTORY_" + Key3(d) + "_OFFSET_" + Key3(offsetCounter),
                            FormatHex(off.Address, "0x00000000") + "   " +
                                FormatHex(off.Value, "0x00000000") + "  (offset data)");
                ++offsetCounter;
                break;
            }
            case 3:
                FormatConfigRomDirectoryApple(tree, entryKey, rom,
                                              dir.ChildIndices.at(static_cast<size_t>(subCounter)));
                ++subCounter;
                break;
            case 2:
                FormatConfigRomLeafApple(tree, entryKey, leafCounter, entry.KeyId,
                                         dir.Leaves.at(static_cast<size_t>(leafCounter)));
                ++leafCounter;
                break;
            default:
                break;
            }
        }
        result = 1;
    } catch (const std::exception& e) {
        LogFailure(e, "FormatConfigRomDirectoryApple");
    }
    return result;
}

int32_t FormatConfigRomLeafApple(IConfigRomTree& tree, const std::string& parentKey,
                                 int32_t leafIndex, int32_t keyId, LeafRecord leaf) {
    int32_t result = -1;
    try {
        const auto& raw = leaf.RawBytes;
        const std::optional<std::string> parent = parentKey;
        const std::string headerKey = parentKey + "_LEAF_" + Key3(leafIndex);
        AddExpanded(tree, parent, headerKey,
                    QuadletPrefix(leaf.Address, raw, 0) + "Leaf header, length=0x" + vb::Hex(leaf.Length) +
                        " quadlets, " + "crc=0x" + vb::Hex(leaf.Crc));
        const int32_t last = static_cast<int32_t>(raw.size()) - 1;
        if (keyId == 1) {
            Add(tree, parent, std::nullopt,
                QuadletPrefix(leaf.Address + 4, raw, 4) + "DescriptorType=0x" +
                    vb::Hex(leaf.DescriptorType) + "  " + "SpecifierID=0x" + vb::Hex(leaf.SpecifierId));
            Add(tree, parent, std::nullopt,
                QuadletPrefix(leaf.Address + 8, raw, 8) + "width=0x" + vb::Hex(leaf.Width) + "  " +
                    "CharacterSet=0x" + vb::Hex(leaf.CharacterSet) + "  " + "Language=0x" +
                    vb::Hex(leaf.Language));
            std::string data = FormatHex(leaf.Address + 12, "0x00000000") + "   ";
            for (int32_t j = 12; j <= last; j += 4) {
                data += FormatHex(basUtils::ByteArrayToLong(raw, j, j + 3, true), "00000000") + " ";
            }
            const std::string rawKey = headerKey + "_RAW_DATA";
            AddExpanded(tree, parent, rawKey, data);
            Add(tree, rawKey, std::nullopt, "\"" + leaf.Text + "\"");
        } else {
            std::string data;
            for (int32_t j = 4; j <= last; j += 4) {
                data += FormatHex(basUtils::ByteArrayToLong(raw, j, j + 3, true), "00000000") + " ";
            }
            Add(tree, parent, std::nullopt, data);
        }
        result = 1;
    } catch (const std::exception& e) {
        LogFailure(e, "FormatConfigRomLeafApple");
    }
    return result;
}

}  // namespace basConfigRom
