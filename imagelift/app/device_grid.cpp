// The main window's device grid and detail pane: one row per node of the local bus, refilled
// after every bus reset from the node table and the bootloader target list, the selection carried
// over a refill by the device's ID, and the pane of the selected row with the commands it allows.
//
// Everything here reads the bus and bootloader tables that the finished bus-reset pass left
// behind; nothing writes to the bus (the one handle opened for the pane is closed again).
#include "app/bas_app.h"
#include "app/main_window.h"
#include "bootloader/fwp.h"
#include "bootloader/module.h"
#include "bootloader/state.h"
#include "bootloader/target_list.h"
#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"
#include "windows/ignore_failure.h"

namespace {

constexpr const char* kModule = "frmMain";

using basApp::ignoringFailure;

constexpr const char* kLinkNotActive = "<link not active>";

// The target state the bootloader layer gives a target that is on the bus and answers.
constexpr int32_t kTargetRunning = 2;

bool linkActive(int16_t nodeNumber) {
    const auto& entries = bas1394::State.TopologyMap.Entries;
    if (nodeNumber < 0 || size_t(nodeNumber) >= entries.size()) return false;
    return entries[size_t(nodeNumber)].LinkActive != 0;
}

std::string errorLine(const std::string& where) {
    const vb::Error e = vb::CurrentException();
    return "Error #" + vb::CStr(e.Number()) + ": " + e.Description() + " in " + where;
}

// Sets a flag for the life of a scope.
struct Raised {
    bool& flag;
    explicit Raised(bool& f) : flag(f) { flag = true; }
    ~Raised() { flag = false; }
};

}  // namespace

// ---------------------------------------------------------------- the grid

// The grid keeps its rows from one refill to the next: the device list says which rows changed,
// only their cells that differ are written, and rows are added or cut at the end (the window is
// painted once, after the refill: IEEE1394Bus_NodesChanged holds its painting). A bus-reset pass
// refills after every node it keeps, so a refill costs what changed, not what the list holds.
int32_t frmMain::RefreshDeviceList(const std::vector<bas1394::NodeRecord>& Nodes,
                                   const std::vector<basBootloader::BootloaderTarget>& Targets) {
    const imagelift::DeviceSources sources{Nodes,
                                           Targets,
                                           basBootloader::State.DebuggerNodes,
                                           bas1394::State.TopologyMap.Entries,
                                           int16_t(bas1394::State.LocalHostNode.load()),
                                           basBootloader::State.BootloaderListReady[0]};
    const size_t before = Devices.Rows().size();
    const std::vector<size_t> changed = Devices.Replace(imagelift::BuildDeviceRows(sources));
    const std::vector<imagelift::DeviceRow>& rows = Devices.Rows();

    Raised refilling(refilling_);

    const int32_t fixedRows = mfgDevices.FixedRows();
    try {
        if (mfgDevices.Rows() != fixedRows + int32_t(rows.size())) mfgDevices.Rows = fixedRows + int32_t(rows.size());
    } catch (...) {
        StatusDisplay(errorLine("RefreshDeviceList"));
    }
    // A cell that cannot be written is left as it is.
    for (size_t index : changed) {
        const int32_t row = fixedRows + int32_t(index);
        for (size_t c = 0; c < imagelift::kDeviceColumns; ++c) {
            try {
                auto cell = mfgDevices.TextMatrix(row, int32_t(c));
                if (std::string(cell) != rows[index].Cells[c]) cell = rows[index].Cells[c];
            } catch (...) {
                // Left as it is (see above): the refill goes on with the next cell.
            }
        }
    }
    // The columns take the width of the texts they now hold. Their widths follow from the widest
    // text of each column alone, so when rows were only added, only the added rows are measured,
    // and the columns are sized again only when one of them holds a wider text than before.
    ignoringFailure([&] {
        const bool onlyAdded = rows.size() >= before && (changed.empty() || changed.front() >= before);
        bool wider = !onlyAdded;
        for (size_t index : onlyAdded ? changed : std::vector<size_t>{})
            for (size_t c = 0; c < imagelift::kDeviceColumns; ++c)
                if (mfgDevices.ColTextWidth(int32_t(c), fixedRows + int32_t(index)) > columnNeed_[c]) wider = true;
        if (!wider) return;
        ResizeMFG(mfgDevices);
        for (size_t c = 0; c < imagelift::kDeviceColumns; ++c) columnNeed_[c] = mfgDevices.ColTextWidth(int32_t(c));
    });

    Devices.CarrySelection([&](size_t index, bool running) {
        const imagelift::DeviceRow& device = rows[index];
        if (device.BadState)
            StatusDisplay("Invalid Bootloader state for node " + vb::CStr(int32_t(device.Node.NodeNumber)) + ": " +
                              vb::CStr(device.TargetState),
                          "ERROR", std::string(kModule));
        // A running row has taken the selection or left it on the chosen device: its pane is
        // drawn again either way.
        if (running) {
            ignoringFailure([&] { showCurrentDevice(); });
            mfgDevices_RowColChange();
        }
    });
    // The grid's current row ends where the list's is (the header row when no row runs).
    ignoringFailure([&] { showCurrentDevice(); });
    return 1;
}

void frmMain::showCurrentDevice() {
    const int32_t row = Devices.Current() == imagelift::DeviceList::kNone
                            ? 0
                            : mfgDevices.FixedRows() + Devices.Current();
    if (mfgDevices.Row() == row) return;
    Raised showing(showingCurrentDevice_);
    mfgDevices.Row = row;
}

bas1394::NodeRecord frmMain::SelectedNode() const {
    const imagelift::DeviceRow* row = Devices.Selected();
    // The header row names no node: its "#" is not a number.
    if (!row) vb::Raise(13);
    return bas1394::GetNodeRecord(row->Node.DriverType, row->Node.NodeNumber);
}

void frmMain::mfgDevices_SelChange() { keepSelection(); }

// A key goes down on the grid before it moves anything: the row the user has in front of them
// (the one a refill left current, when the chosen device has left the bus) becomes the choice.
void frmMain::mfgDevices_KeyDown(int32_t& /*KeyCode*/, int32_t /*Shift*/) { keepSelection(); }

void frmMain::keepSelection() {
    // Rows the refill itself moves to are not the user's choice: the device chosen before the
    // refill stays the one the refill looks for, so the selection comes back to it further down.
    if (refilling_ || showingCurrentDevice_) return;
    // Only a device ID is kept; a placeholder keeps the ID chosen before.
    Devices.SetCurrent(mfgDevices.Row() - mfgDevices.FixedRows());
    Devices.KeepSelected();
}

void frmMain::mfgDevices_RowColChange() {
    if (showingCurrentDevice_) return;
    // Outside a refill the grid's current row is the user's choice; inside one the device list
    // moves it.
    if (!refilling_) Devices.SetCurrent(mfgDevices.Row() - mfgDevices.FixedRows());
    ignoringFailure([&] {
        mfgDevices.Col = 0;
        mfgDevices.ColSel = mfgDevices.Cols() - 1;
    });
    for (forms::Control* c : std::initializer_list<forms::Control*>{
             &cmdUpdateApplicationImage, &cmdUpdateBootloader, &cmdUpdateDebugMonitor, &mnuUpdateApplicationFirmware,
             &mnuUpdateBootloaderFirmware, &mnuUpdateDebuggerFirmware})
        c->Enabled = false;
    ClearDetailPane();
    DrawScreen();
}

// ---------------------------------------------------------------- the detail pane

void frmMain::ClearDetailPane() {
    txtApplicationImageVersion.Text = std::string();
    txtBootloaderVersion.Text = std::string();
    txtDebugMonitorVersion.Text = std::string();
    lblDriver.Caption = "Driver: ";
    lblDriver.ToolTipText = lblDriver.Caption();
    lblNode.Caption = "Node: ";
    lblGUID.Caption = "ID (ConfigROM):   ";
    lblDeviceState.Caption = "Device State: ";
    lblHardwareVersion.Caption = "Hardware Version: ";
    lblManufacturer.Caption = "Manufacturer: ";
    lblModelID.Caption = "Model ID: ";
    lblModelName.Caption = "Model Name: ";
    lblBootloaderGuidInfo.Caption = "ID (InfoReg):    ";
    lblBootloaderGuidGet.Caption = "ID (Bootloader): ";
    mnuLaunchShell.Enabled = false;
    mnuReset.Enabled = false;
    mnuResetToBootloader.Enabled = false;
    mnuFactoryDefaults.Enabled = false;
    mnuBootloader.Enabled = false;
    Refresh();
}

void frmMain::DrawScreen() {
    int32_t handle = 0;
    try {
        if (Devices.Rows().empty()) return;
        // The node as the node table now has it: it may have gone since the row was filled.
        const bas1394::NodeRecord node = SelectedNode();
        const int16_t number = node.NodeNumber;
        const int16_t localHost = int16_t(bas1394::State.LocalHostNode.load());
        const bool onBus = number >= 0 && number <= 62 && number != localHost;

        int32_t index = -1;
        if (onBus) {
            handle = basBootloader::GetTargetIndexByNode(node);
            if (handle > 0) {
                index = basBootloader::GetTargetIndex(handle);
                if (index < 0)
                    StatusDisplay(std::string("WARNING: no handle to device ") + "with bus node #" +
                                      vb::CStr(int32_t(number)),
                                  "WARNING");
            }
        }

        if (onBus) {
            const std::string driver = "Driver: " + node.DriverType;
            lblDriver.Caption = driver;
            lblDriver.ToolTipText = driver;
            lblNode.Caption = "Node: " + vb::CStr(int32_t(number));
            if (linkActive(number)) {
                const auto& bus = node.ConfigRom.BusInfo;
                if (!bus.RawBytes.empty() && bus.RawBytes[0] == 1)
                    lblGUID.Caption = "1394 ID:  None - minimal Config ROM";
                else
                    lblGUID.Caption = "ID (ConfigROM):  " + basUtils::FormatHex(bus.NodeVendorId, "000000") +
                                      basUtils::FormatHex(bus.ChipIdHi, "00") + " " +
                                      basUtils::FormatHex(bus.ChipIdLo, "00000000");
                lblModelName.Caption = "Model Name: " + basConfigRom::GetModelText(node.ConfigRom);
                lblManufacturer.Caption = "Manufacturer: " + basConfigRom::GetVendorText(node.ConfigRom);
                lblHardwareVersion.Caption =
                    "Hardware Version (from config ROM): " + basConfigRom::GetHardwareVersion(node.ConfigRom);
                lblModelID.Caption = "Model ID (ConfigRom root): " + vb::CStr(node.ConfigRom.RootDirectory.ModelId);
            } else {
                lblGUID.Caption = kLinkNotActive;
            }

            if (index < 0) {
                lblDeviceState.Caption = "Device State: INCOMPATIBLE";
                for (forms::TextBox* box : {&txtApplicationImageVersion, &txtBootloaderVersion, &txtDebugMonitorVersion})
                    box->Text = box->Text() + " N/A";
            } else {
                const basBootloader::BootloaderTarget& target = basBootloader::State.TargetList.at(size_t(index));
                const basBootloader::InfoRegisters& info = target.Info;
                mnuFactoryDefaults.Enabled = true;
                mnuLaunchShell.Enabled = true;
                mnuReset.Enabled = true;
                mnuResetToBootloader.Enabled = true;
                lblDeviceState.Caption = "Device State: " + vb::CStr(target.State);

                for (forms::TextBox* box : {&txtApplicationImageVersion, &txtBootloaderVersion, &txtDebugMonitorVersion})
                    box->Text = std::string();
                const std::string version = info.SoftwareVersion == basBootloader::kPrivateBuildVersion
                                                ? std::string("<private build>")
                                                : "Ver=" + basBootloader::VersionToString(info.SoftwareVersion);
                txtApplicationImageVersion.Text =
                    " ID=0x" + vb::Hex(info.SoftwareRelease) + " " + version + " Date: " +
                    basBootloader::FormatFwpLocalDateTime(info.SoftwareDate, info.SoftwareTime);
                txtBootloaderVersion.Text = " Ver=" + basBootloader::VersionToString(info.BootloaderVersion) +
                                            " Date: " +
                                            basBootloader::FormatFwpLocalDateTime(info.BootloaderDate, info.BootloaderTime);
                // The debug monitor's date goes with its own time field (the eight bytes that
                // follow it), as the application's and the bootloader's do.
                txtDebugMonitorVersion.Text =
                    " ID=" + vb::CStr(info.DebugMonitorId) + " Ver=" +
                    basBootloader::VersionToString(info.DebugMonitorVersion) + " Date: " +
                    basBootloader::FormatFwpLocalDateTime(info.DebugMonitorDate, info.Reserved88);

                const std::string guid = basUtils::ByteArrayToHexString(info.Guid, 4);
                lblBootloaderGuidInfo.Caption = "ID (InfoReg):    " + guid;
                if (info.BootloaderVersion != 0) {
                    lblBootloaderGuidGet.Caption = "ID (Bootloader): " + guid;
                    for (forms::Control* c : std::initializer_list<forms::Control*>{
                             &cmdUpdateApplicationImage, &cmdUpdateBootloader, &cmdUpdateDebugMonitor, &mnuBootloader,
                             &mnuUpdateApplicationFirmware, &mnuUpdateBootloaderFirmware, &mnuUpdateDebuggerFirmware})
                        c->Enabled = true;
                } else {
                    lblBootloaderGuidGet.Caption = "ID (Bootloader): <not applicable>";
                }
                lblModelID.Caption = "Info Registers Hardware Model ID = " + vb::CStr(info.HardwareModelId) +
                                     " / Version: " + basBootloader::VersionToString(info.HardwareRevision);
            }
        } else if (number == localHost) {
            lblNode.Caption = "Node: " + vb::CStr(int32_t(number)) + " (Local 1394 Adapter Node)";
            lblGUID.Caption = "ID: None - No Config ROM on Local Node";
            lblModelName.Caption = "Model Name: <unknown>";
            lblManufacturer.Caption = "Manufacturer: <unknown>";
            lblDeviceState.Caption = "Device State: INCOMPATIBLE";
            lblHardwareVersion.Caption = "Hardware Version: <unknown>";
            lblModelID.Caption = "Model ID (ConfigRom root): <unknown>";
            lblBootloaderGuidInfo.Caption = "ID (InfoReg): <not applicable>";
            lblBootloaderGuidGet.Caption = "ID (Bootloader): <not applicable>";
        } else {
            lblNode.Caption = "The selected device has disappeared from the bus.";
        }
    } catch (...) {
        StatusDisplay(errorLine("DrawScreen"));
        return;
    }
    if (handle > 0) ignoringFailure([&] { basBootloader::CloseBootloaderDevice(handle); });
}

int32_t frmMain::GetSelectedBootloaderHandle() {
    try {
        if (Devices.Rows().empty()) return 0;
        const int32_t handle = basBootloader::OpenBootloaderDevice(SelectedNode());
        if (handle < 1) {
            StatusDisplay(Devices.SelectedTexts().InvalidNodeMessage(), "WARNING", std::string(kModule));
            return 0;
        }
        const int32_t index = basBootloader::GetTargetIndex(handle);
        if (index < 0) return 0;
        const auto& target = basBootloader::State.TargetList[size_t(index)];
        return target.State == kTargetRunning && target.Info.BootloaderVersion != 0 ? handle : 0;
    } catch (...) {
        return 0;
    }
}
