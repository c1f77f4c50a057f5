// The main window's device grid and detail pane: one row per node of the local bus, refilled
// after every bus reset from the node table and the bootloader target list, the selection carried
// over a refill by the device's ID, and the pane of the selected row with the commands it allows.
//
// Everything here reads the bus and bootloader tables that the finished bus-reset pass left
// behind; nothing writes to the bus (the one handle opened for the pane is closed again).
#include <cctype>

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
#include "ignore_failure.h"

namespace {

constexpr const char* kModule = "frmMain";

using app_detail::ignoringFailure;

// Column texts of a device row.
constexpr const char* kReadFailed = "<read failed>";
constexpr const char* kIncompatible = "Incompatible";
constexpr const char* kUnknown = "<unknown>";
constexpr const char* kLinkNotActive = "<link not active>";
constexpr const char* kScanning = "<scanning...>";

// The target state the bootloader layer gives a target that is on the bus and answers.
constexpr int32_t kTargetRunning = 2;
constexpr int32_t kTargetMissing = 1;

bool linkActive(int16_t nodeNumber) {
    const auto& entries = bas1394::State.TopologyMap.Entries;
    if (nodeNumber < 0 || size_t(nodeNumber) >= entries.size()) return false;
    return entries[size_t(nodeNumber)].LinkActive != 0;
}

bool sameNode(const bas1394::NodeRecord& a, const bas1394::NodeRecord& b) {
    return a.DriverType == b.DriverType && a.NodeNumber == b.NodeNumber;
}

std::string firmwareText(const basBootloader::InfoRegisters& info, bool bootloaderRunning) {
    if (bootloaderRunning)
        return basBootloader::VersionToString(info.BootloaderVersion) + " " +
               basBootloader::FormatFwpDate(info.BootloaderDate) + " " +
               basBootloader::FormatFwpTime(info.BootloaderTime);
    return basBootloader::VersionToString(info.SoftwareVersion) + " " +
           basBootloader::FormatFwpDate(info.SoftwareDate) + " " + basBootloader::FormatFwpTime(info.SoftwareTime);
}

// A device ID as the grid shows it: 16 hex digits once its blanks are removed, whatever digits
// it begins with. Placeholders ("<link not active>", " <unknown>", "<read failed>") are none.
bool isDeviceId(const std::string& text) {
    std::string compact;
    for (char ch : text)
        if (ch != ' ') compact += ch;
    if (compact.size() != 16) return false;
    for (char ch : compact)
        if (!std::isxdigit(static_cast<unsigned char>(ch))) return false;
    return true;
}

std::string errorLine(const std::string& where) {
    const vb::Error e = vb::CurrentException();
    return "Error #" + vb::CStr(e.Number()) + ": " + e.Description() + " in " + where;
}

}  // namespace

// ---------------------------------------------------------------- the grid

int32_t frmMain::RefreshDeviceList(const std::vector<bas1394::NodeRecord>& Nodes,
                                   const std::vector<basBootloader::BootloaderTarget>& Targets) {
    try {
        mfgDevices.Rows = mfgDevices.FixedRows();
    } catch (...) {
        StatusDisplay(errorLine("RefreshDeviceList"));
    }
    // A cell that cannot be written, or a text that cannot be had, is left as it is.
    auto set = [&](int32_t row, int32_t col, const std::string& text) {
        try {
            mfgDevices.TextMatrix(row, col) = text;
        } catch (...) {
            // Left as it is (see above): the refill goes on with the next cell.
        }
    };
    auto text = [](auto&& fn) -> std::string {
        try {
            return fn();
        } catch (...) {
            return std::string();
        }
    };

    const int16_t localHost = int16_t(bas1394::State.LocalHostNode.load());
    refilling_ = true;
    struct EndRefill {
        bool& flag;
        ~EndRefill() { flag = false; }
    } endRefill{refilling_};
    for (const bas1394::NodeRecord& node : Nodes) {
        if (node.NodeNumber == bas1394::kNoNode) break;
        const std::string model = text([&] { return basConfigRom::GetModelText(node.ConfigRom); });
        const std::string vendor = text([&] { return basConfigRom::GetVendorText(node.ConfigRom); });

        try {
            mfgDevices.Rows = mfgDevices.Rows() + 1;
        } catch (...) {
            continue;
        }
        const int32_t row = mfgDevices.Rows() - 1;
        set(row, 0, node.DriverType);
        set(row, 1, vb::CStr(int32_t(node.NodeNumber)));
        set(row, 2, node.ConfigRom.BusInfo.RawBytes.size() >= 2
                        ? text([&] { return basConfigRom::GetGuidText(node.ConfigRom); })
                        : std::string(kReadFailed));
        set(row, 3, kIncompatible);
        set(row, 6, kUnknown);

        if (node.NodeNumber == localHost) {
            set(row, 2, std::string(" ") + kUnknown);
            set(row, 3, "Local PC Node");
            set(row, 4, "No Local Config ROM");
            set(row, 5, "No Local Config ROM");
        } else if (!linkActive(node.NodeNumber)) {
            for (int32_t c = 2; c <= 5; ++c) set(row, c, kLinkNotActive);
        } else if (!basBootloader::State.BootloaderListReady[0]) {
            set(row, 3, kScanning);
            set(row, 6, kScanning);
            set(row, 4, vendor);
            set(row, 5, model);
        } else {
            for (const basBootloader::BootloaderTarget& target : Targets) {
                if (sameNode(target.Device, node)) {
                    if (target.State == kTargetMissing) {
                        set(row, 3, "missing");
                    } else if (target.State == kTargetRunning) {
                        const bool bootloader = target.Info.BootloaderVersion != 0;
                        set(row, 3, bootloader ? "Bootloader Running" : "App Running");
                        set(row, 6, text([&] { return firmwareText(target.Info, bootloader); }));
                        selectFilledRow(row);
                    } else {
                        StatusDisplay("Invalid Bootloader state for node " + vb::CStr(int32_t(node.NodeNumber)) +
                                          ": " + vb::CStr(target.State),
                                      "ERROR", std::string(kModule));
                        set(row, 3, "error");
                    }
                    break;
                }
                for (const basBootloader::DebuggerNode& debugger : basBootloader::State.DebuggerNodes)
                    if (debugger.Device.NodeNumber == node.NodeNumber) set(row, 3, "Debugger Running");
            }
            set(row, 4, vendor);
            set(row, 5, model);
        }
        // The columns take the width of the row's texts before it shows.
        ignoringFailure([&] { ResizeMFG(mfgDevices); });
        ignoringFailure([&] { Refresh(); });
    }
    return 1;
}

// A row that became "Bootloader Running" or "App Running" takes the selection unless the current
// row is the device selected before the refill. With no device chosen yet, the first running
// device becomes the choice, so the rows filled after it leave the selection there.
void frmMain::selectFilledRow(int32_t row) {
    try {
        const std::string currentId = mfgDevices.TextMatrix(mfgDevices.Row(), 2);
        if (currentId == SelectedDeviceId || mfgDevices.Row() == row)
            mfgDevices_RowColChange();
        else
            mfgDevices.Row = row;  // raises the row-change and selection events
        if (SelectedDeviceId.empty()) keepSelectedDevice();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmMain::keepSelectedDevice() {
    if (mfgDevices.Rows() <= mfgDevices.FixedRows()) return;
    const std::string id = mfgDevices.TextMatrix(mfgDevices.Row(), 2);
    if (isDeviceId(id)) SelectedDeviceId = id;
}

void frmMain::mfgDevices_SelChange() {
    // Rows the refill itself moves to are not the user's choice: the device chosen before the
    // refill stays the one the refill looks for, so the selection comes back to it further down.
    if (refilling_) return;
    // Only a device ID is kept; a placeholder text keeps the ID chosen before.
    try {
        keepSelectedDevice();
    } catch (...) {
        // A window event: failures are passed over and nothing may leave it.
    }
}

void frmMain::mfgDevices_RowColChange() {
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
        if (mfgDevices.Rows() <= mfgDevices.FixedRows()) return;
        const int32_t row = mfgDevices.Row();
        const bas1394::NodeRecord node = bas1394::GetNodeRecord(
            mfgDevices.TextMatrix(row, 0), vb::CInt(std::string(mfgDevices.TextMatrix(row, 1))));
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
        if (mfgDevices.Rows() <= mfgDevices.FixedRows()) return 0;
        const int32_t row = mfgDevices.Row();
        const bas1394::NodeRecord node = bas1394::GetNodeRecord(
            mfgDevices.TextMatrix(row, 0), vb::CInt(std::string(mfgDevices.TextMatrix(row, 1))));
        const int32_t handle = basBootloader::OpenBootloaderDevice(node);
        if (handle < 1) {
            StatusDisplay("Invalid Node: " + std::string(mfgDevices.TextMatrix(row, 1)) + " " + " GUID=" +
                              std::string(mfgDevices.TextMatrix(row, 2)) + " Mfg=" +
                              std::string(mfgDevices.TextMatrix(row, 4)) + " Model=" +
                              std::string(mfgDevices.TextMatrix(row, 5)),
                          "WARNING", std::string(kModule));
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
