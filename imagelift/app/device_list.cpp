// The device list's rows and its selection (see app/device_list.h).
#include "app/device_list.h"

#include <cctype>

#include "bootloader/fwp.h"
#include "bus1394/config_rom_texts.h"
#include "vbrt/convert.h"

namespace imagelift {

namespace {

// Column texts of a device row.
constexpr const char* kReadFailed = "<read failed>";
constexpr const char* kIncompatible = "Incompatible";
constexpr const char* kUnknown = "<unknown>";
constexpr const char* kLinkNotActive = "<link not active>";
constexpr const char* kScanning = "<scanning...>";

// The target states the bootloader layer gives: on the bus and answering, or gone missing.
constexpr int32_t kTargetRunning = 2;
constexpr int32_t kTargetMissing = 1;

bool linkActive(const DeviceSources& sources, int16_t nodeNumber) {
    if (nodeNumber < 0 || size_t(nodeNumber) >= sources.Topology.size()) return false;
    return sources.Topology[size_t(nodeNumber)].LinkActive != 0;
}

bool sameNode(const bas1394::NodeRecord& a, const bas1394::NodeRecord& b) {
    return a.DriverType == b.DriverType && a.NodeNumber == b.NodeNumber;
}

// The running image's version, date and time.
std::string firmwareText(const basBootloader::InfoRegisters& info, bool bootloaderRunning) {
    if (bootloaderRunning)
        return basBootloader::VersionToString(info.BootloaderVersion) + " " +
               basBootloader::FormatFwpDate(info.BootloaderDate) + " " +
               basBootloader::FormatFwpTime(info.BootloaderTime);
    return basBootloader::VersionToString(info.SoftwareVersion) + " " +
           basBootloader::FormatFwpDate(info.SoftwareDate) + " " + basBootloader::FormatFwpTime(info.SoftwareTime);
}

// A text lookup that fails gives an empty text.
template <typename F>
std::string textOf(F&& fn) {
    try {
        return fn();
    } catch (...) {
        return std::string();
    }
}

DeviceRow buildRow(const DeviceSources& sources, const bas1394::NodeRecord& node) {
    DeviceRow row;
    row.Node = node;
    DeviceCells& cell = row.Cells;
    const std::string model = textOf([&] { return basConfigRom::GetModelText(node.ConfigRom); });
    const std::string vendor = textOf([&] { return basConfigRom::GetVendorText(node.ConfigRom); });
    cell[0] = node.DriverType;
    cell[1] = vb::CStr(int32_t(node.NodeNumber));
    cell[2] = node.ConfigRom.BusInfo.RawBytes.size() >= 2
                  ? textOf([&] { return basConfigRom::GetGuidText(node.ConfigRom); })
                  : std::string(kReadFailed);
    cell[3] = kIncompatible;
    cell[6] = kUnknown;

    if (node.NodeNumber == sources.LocalHostNode) {
        cell[2] = std::string(" ") + kUnknown;
        cell[3] = "Local PC Node";
        cell[4] = "No Local Config ROM";
        cell[5] = "No Local Config ROM";
        return row;
    }
    if (!linkActive(sources, node.NodeNumber)) {
        for (size_t c = 2; c <= 5; ++c) cell[c] = kLinkNotActive;
        return row;
    }
    if (!sources.BootloaderListReady) {
        cell[3] = kScanning;
        cell[6] = kScanning;
        cell[4] = vendor;
        cell[5] = model;
        return row;
    }
    for (const basBootloader::BootloaderTarget& target : sources.Targets) {
        if (sameNode(target.Device, node)) {
            row.TargetState = target.State;
            if (target.State == kTargetMissing) {
                cell[3] = "missing";
            } else if (target.State == kTargetRunning) {
                const bool bootloader = target.Info.BootloaderVersion != 0;
                cell[3] = bootloader ? "Bootloader Running" : "App Running";
                cell[6] = textOf([&] { return firmwareText(target.Info, bootloader); });
                row.Running = true;
            } else {
                cell[3] = "error";
                row.BadState = true;
            }
            break;
        }
        // A node the bootloader layer found under its debugger (checked for each target passed).
        for (const basBootloader::DebuggerNode& debugger : sources.Debuggers)
            if (debugger.Device.NodeNumber == node.NodeNumber) cell[3] = "Debugger Running";
    }
    cell[4] = vendor;
    cell[5] = model;
    return row;
}

}  // namespace

const DeviceCells kDeviceHeaders = {"drv",          "#",          "ID",
                                    "State",        "Manufacterer", "Model Name",
                                    "Firmware Version"};

std::string DeviceTexts::InvalidNodeMessage() const {
    return "Invalid Node: " + Node + " " + " GUID=" + Id + " Mfg=" + Maker + " Model=" + Model;
}

bool IsDeviceId(const std::string& text) {
    std::string compact;
    for (char ch : text)
        if (ch != ' ') compact += ch;
    if (compact.size() != 16) return false;
    for (char ch : compact)
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    return true;
}

std::vector<DeviceRow> BuildDeviceRows(const DeviceSources& sources) {
    std::vector<DeviceRow> rows;
    for (const bas1394::NodeRecord& node : sources.Nodes) {
        if (node.NodeNumber == bas1394::kNoNode) break;
        rows.push_back(buildRow(sources, node));
    }
    return rows;
}

std::vector<size_t> DeviceList::Replace(std::vector<DeviceRow> rows) {
    std::vector<size_t> changed;
    for (size_t i = 0; i < rows.size(); ++i)
        if (i >= rows_.size() || !(rows[i] == rows_[i])) changed.push_back(i);
    rows_ = std::move(rows);
    current_ = kNone;
    return changed;
}

void DeviceList::SetCurrent(int32_t index) {
    current_ = index >= 0 && size_t(index) < rows_.size() ? index : kNone;
}

const DeviceRow* DeviceList::Selected() const { return current_ == kNone ? nullptr : &rows_[size_t(current_)]; }

DeviceTexts DeviceList::SelectedTexts() const {
    const DeviceRow* row = Selected();
    const DeviceCells& cells = row ? row->Cells : kDeviceHeaders;
    return DeviceTexts{cells[1], cells[2], cells[4], cells[5]};
}

void DeviceList::KeepSelected() {
    const DeviceRow* row = Selected();
    if (row && IsDeviceId(row->Id())) SelectedDeviceId = row->Id();
}

void DeviceList::CarrySelection(const std::function<void(size_t index, bool running)>& visit) {
    // Whether the chosen device is among the running rows: the selection moves down to it.
    // Otherwise (it has left the bus, or nothing is chosen yet) the first running row takes the
    // selection and keeps it.
    bool chosenRuns = false;
    for (const DeviceRow& row : rows_) chosenRuns |= row.Running && row.Id() == SelectedDeviceId;
    for (size_t i = 0; i < rows_.size(); ++i) {
        const bool running = rows_[i].Running;
        if (running) {
            const DeviceRow* current = Selected();
            const bool keep = current && (current->Id() == SelectedDeviceId || !chosenRuns);
            if (!keep) current_ = int32_t(i);
            if (SelectedDeviceId.empty()) KeepSelected();
        }
        visit(i, running);
    }
}

}  // namespace imagelift
