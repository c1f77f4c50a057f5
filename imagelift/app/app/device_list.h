// The device list behind the main window's grid: one row per node of the local bus, with the
// texts the grid shows, the node record the row came from and what the bootloader layer knows
// of its target, and the selection, which is kept by the device's ID (its GUID text) so that it
// finds its device again after a bus reset has rebuilt the list.
//
// Nothing here knows a window. The main window builds the rows from the bus and bootloader
// tables after every bus reset, lets the list carry the selection over, and shows the rows that
// changed; device commands take the selected device from here, never from the grid's texts.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "bootloader/records.h"
#include "bus1394/node_records.h"

namespace imagelift {

// Columns of a device row: "drv", "#", "ID", "State", "Manufacterer", "Model Name",
// "Firmware Version".
inline constexpr size_t kDeviceColumns = 7;
inline constexpr size_t kIdColumn = 2;
using DeviceCells = std::array<std::string, kDeviceColumns>;
// The header row's captions.
extern const DeviceCells kDeviceHeaders;

// What a refill reads: the node table, the target list and what the bus and bootloader layers
// know besides (all left unchanged).
struct DeviceSources {
    const std::vector<bas1394::NodeRecord>& Nodes;
    const std::vector<basBootloader::BootloaderTarget>& Targets;
    const std::vector<basBootloader::DebuggerNode>& Debuggers;
    const std::vector<bas1394::TopologyNodeEntry>& Topology;  // by node number
    int16_t LocalHostNode = bas1394::kNoNode;
    bool BootloaderListReady = false;  // the target list is complete
};

struct DeviceRow {
    DeviceCells Cells;
    bas1394::NodeRecord Node;  // the node-table record the row shows
    int32_t TargetState = 0;   // state of the target found on the node; 0 when none was found
    bool Running = false;      // "Bootloader Running" or "App Running": the row may take the selection
    bool BadState = false;     // a target in a state the list does not know ("error")

    const std::string& Id() const { return Cells[kIdColumn]; }
    bool operator==(const DeviceRow& other) const { return Cells == other.Cells; }
};

// A device ID as the grid shows it: 16 hex digits once its blanks are removed, whatever digits
// it begins with. Placeholders ("<link not active>", " <unknown>", "<read failed>") are none.
bool IsDeviceId(const std::string& text);

// The rows for the nodes of `sources`, in node-table order, up to the first record without a
// node. A text that cannot be had (a config ROM lookup that fails) is left empty.
std::vector<DeviceRow> BuildDeviceRows(const DeviceSources& sources);

// The texts of the selected row that the device commands quote.
struct DeviceTexts {
    std::string Node;   // "#"
    std::string Id;     // "ID"
    std::string Maker;  // "Manufacterer"
    std::string Model;  // "Model Name"

    // "Invalid Node: <#>  GUID=<ID> Mfg=<maker> Model=<model>"
    std::string InvalidNodeMessage() const;
};

class DeviceList {
public:
    static constexpr int32_t kNone = -1;  // no device row is current (the grid's header row)

    const std::vector<DeviceRow>& Rows() const { return rows_; }

    // Takes the rows of a refill and gives the indices of the rows whose texts differ from the
    // row at the same place before (every row beyond the old count included). The current row
    // goes back to none: a refill chooses it again (CarrySelection).
    std::vector<size_t> Replace(std::vector<DeviceRow> rows);

    // The current row (kNone or an index into Rows()); the grid's current row shows it.
    int32_t Current() const { return current_; }
    void SetCurrent(int32_t index);
    // The current row, or nullptr when there is none.
    const DeviceRow* Selected() const;

    // The current row's texts; with no current row, the header's (as the grid's current cell
    // then is the header row).
    DeviceTexts SelectedTexts() const;

    // The ID of the device the user chose: carried over every refill.
    std::string SelectedDeviceId;
    // Keeps the current row's ID as the chosen device when it is a device ID; a placeholder
    // keeps the ID chosen before.
    void KeepSelected();

    // Walks the rows of a refill in order and moves the current row as the refill shows them:
    // a running row takes the selection unless the current row holds the chosen device (then
    // it stays). When the chosen device runs on none of the rows (it has left the bus), the
    // first running device takes the selection and the rows after it leave it there; the choice
    // stays, so the device is selected again when it comes back. With no device chosen yet, the
    // first running device becomes the choice. `visit(i, running)` is called for every row
    // after its step; for a running row the pane of the current row is then due.
    void CarrySelection(const std::function<void(size_t index, bool running)>& visit);

private:
    std::vector<DeviceRow> rows_;
    int32_t current_ = kNone;
};

}  // namespace imagelift
