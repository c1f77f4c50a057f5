#include "bus1394/config_rom_texts.h"

#include "bus1394/config_rom_reader.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"

namespace basConfigRom {
namespace {

bool IsNoText(const std::string& t) { return vb::InStrText(t, "no config") > 0; }

// A no-text answer for the model search: no text, or the requested directory is missing.
bool IsNoModelText(const std::string& t) {
    return IsNoText(t) || (t.rfind("DirectoryType 0x", 0) == 0 &&
                           t.size() >= 10 && t.compare(t.size() - 10, 10, " not found") == 0);
}

}  // namespace

std::string GetKeyText(int32_t directoryKey, int32_t key, const ConfigRomRecord& rom) {
    const auto& raw = rom.BusInfo.RawBytes;
    // A record that was never read (one byte, or no bytes at all).
    if (raw.size() <= 1) return "No Config ROM";
    if (raw[0] == 1) {
        // The company ID: the low 24 bits of the first quadlet (0 when it is not all there).
        const uint32_t first = basUtils::ReadU32(raw, 0, basUtils::ByteOrder::Big);
        const int32_t vendor = static_cast<int32_t>(first & 0xFFFFFF);
        return "Minimal ConfigRom (ven 0x" + vb::Hex(vendor) + ")";
    }
    const auto& dirs = rom.RootDirectory.Directories;
    if (dirs.at(0).Length <= 0) return "No root directory";

    size_t chosen = 0;
    if (directoryKey != 0) {
        bool found = false;
        for (const auto& entry : dirs[0].Entries) {
            if (entry.KeyType == 3 && entry.KeyId == directoryKey) {
                chosen = static_cast<size_t>(entry.TargetIndex);
                found = true;
                break;
            }
        }
        if (!found) return "DirectoryType 0x" + vb::Hex(directoryKey) + " not found";
    }
    const auto& dir = dirs.at(chosen);
    int32_t remembered = 0;
    for (const auto& entry : dir.Entries) {
        if (entry.KeyType == 0) remembered = entry.KeyId;
        if (entry.KeyType == 2 && entry.KeyId == 1 && remembered == key) {
            const auto& leaf = dir.Leaves.at(static_cast<size_t>(entry.TargetIndex));
            // A leaf that could not be read holds no text (its bytes are the single zero of
            // "nothing read"), whatever its empty Text would suggest.
            if (leaf.RawBytes.size() <= 1) break;
            return leaf.Text;
        }
    }
    return "No Config ROM Keytext";
}

std::string GetModelText(const ConfigRomRecord& rom) {
    std::string t = GetKeyText(0x11, 0x17, rom);
    if (IsNoModelText(t)) t = GetKeyText(0x03, 0x17, rom);
    if (IsNoModelText(t)) t = GetKeyText(0, 0x17, rom);
    if (IsNoText(t)) t = "<UNREADABLE CONFIG ROM MODEL TEXT>";
    return t;
}

std::string GetVendorText(const ConfigRomRecord& rom) {
    std::string t = GetKeyText(0, 0x03, rom);
    if (IsNoText(t)) t = GetKeyText(0, 0x08, rom);
    if (IsNoText(t)) t = "<UNREADABLE CONFIG ROM VENDOR TEXT>";
    return t;
}

std::string GetGuidText(const ConfigRomRecord& rom) {
    const auto& info = rom.BusInfo;
    return basUtils::FormatHex(info.NodeVendorId, "000000") +
           basUtils::FormatHex(info.ChipIdHi, "00") + " " +
           basUtils::FormatHex(info.ChipIdLo, "00000000");
}

std::string GetHardwareVersion(const ConfigRomRecord& rom) {
    if (!bas1394::State.TopologyReady) return "";
    std::string result;
    try {
        for (const auto& dir : rom.RootDirectory.Directories) {
            for (const auto& entry : dir.Entries) {
                if (entry.KeyId == 4) result += " MODULE_HW_VERSION=" + std::to_string(entry.Value);
                if (entry.KeyId == 9) result += " NODE_HW_VERSION=" + std::to_string(entry.Value);
            }
        }
    } catch (const std::exception& e) {
        LogMsg(bas1394::internal::FailureLine(e, "GetHardwareVersion"));
        return result;
    }
    return result.empty() ? "<not found>" : result;
}

}  // namespace basConfigRom
