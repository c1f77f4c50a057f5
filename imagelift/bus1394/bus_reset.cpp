#include "bus1394/bus_reset.h"

#include <algorithm>
#include <cstring>

#include "bus1394/config_rom_reader.h"
#include "bus1394/config_rom_texts.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/state.h"
#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace bas1394 {

namespace {

class StandInBootloaderLayer final : public IBootloaderLayer {
public:
    int32_t BusResetHandler() override { return 1; }
    void ResetDiscoveryState() override {}
    std::vector<BootloaderTargetSummary> Targets() override { return {}; }
};

// The layer above, as SetBootloaderLayer installed it. It is wiring, not state of this layer:
// a module reset leaves it alone.
StandInBootloaderLayer standIn;
IBootloaderLayer* bootloader = &standIn;

// Marks a pump as running for a scope (State.BusResetPumpRunning, State.IncomingPumpRunning).
class Running {
public:
    explicit Running(bool& flag) : flag_(flag) { flag_ = true; }
    ~Running() { flag_ = false; }
    Running(const Running&) = delete;
    Running& operator=(const Running&) = delete;

private:
    bool& flag_;
};

// The main window, which the passes call without testing for it (a missing window is a
// run-time failure of the calling procedure).
imagelift::IMainChildForm& MainWindow() {
    imagelift::IMainChildForm* form = imagelift::Ctx().MainChildForm;
    if (!form) vb::Raise(91, "bas1394");
    return *form;
}

std::string DeviceNameSlot() { return std::string(FirstVirtualDeviceName(), kVirtualDeviceNameBytes); }

}  // namespace

void SetBootloaderLayer(IBootloaderLayer* layer) { bootloader = layer ? layer : &standIn; }

void ResetBusState() {
    try {
        State.TopologyReady = false;
        bootloader->ResetDiscoveryState();
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "bas1394.ResetBusState"), "ERROR");
    }
}

void BusResetHandlerThread() {
    if (!State.BusResetPending || State.BusResetPumpRunning) return;
    Running running(State.BusResetPumpRunning);
    try {
        do {
            ResetBusState();
            clk::Sleep(static_cast<uint32_t>(std::max(0, imagelift::Ctx().BusResetSettleDelay)));
            State.BusResetPending = false;
            const int32_t r = BusResetHandler();
            if (r != 1) {
                if (State.BusResetPending) {
                    LogMsg("BusResetHandlerThread: routine interrupted by another bus reset before "
                           "completing.",
                           "WATCH");
                } else {
                    LogMsg("BusResetHandlerThread: failed call to bas1394.BusResetHandler, code " +
                               std::to_string(r),
                           "WARNING");
                }
            }
        } while (State.BusResetPending);
        if (imagelift::IMainChildForm* form = imagelift::Ctx().MainChildForm) {
            form->IEEE1394Bus_NodesChanged();
        }
        LogMsg("BusResetHandlerThread complete.", "TRACE");
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "BusResetHandlerThread", "ERROR #"), "ERROR");
    }
}

int32_t BusResetHandler() {
    int32_t result = -1;
    try {
        State.LocalHostNode = kNoNode;
        LogMsg("BusResetHandler called.", "TRACE");
        State.EmptyNodeRecord.NodeNumber = kNoNode;
        State.NodeTable.assign(1, State.EmptyNodeRecord);
        if (State.BusResetPending) return -1;

        int32_t r = VdevBusResetHandler();
        if (r != 1) {
            LogMsg("VdevBusResetHandler call failed, code " + std::to_string(r) + "(0x" + vb::Hex(r) +
                       ")",
                   "ERROR");
        }
        if (State.BusResetPending) return -1;

        r = bootloader->BusResetHandler();
        if (r == 1) {
            const auto targets = bootloader->Targets();
            for (size_t i = 0; i < targets.size(); ++i) {
                const auto& t = targets[i];
                const std::string guid = basUtils::ByteArrayToHexString(
                    basUtils::ByteArray(t.Guid.begin(), t.Guid.end()), 8);
                LogMsg("Bootloader #" + std::to_string(i) + ":" + " handle=" + std::to_string(t.Handle) +
                           " " + " node=" + std::to_string(t.NodeNumber) + " " + " GUID=" + guid + " " +
                           " bl ver=" + std::to_string(t.BootloaderVersion) + " ",
                       "TRACE");
            }
        } else {
            LogMsg("tmrTopologyRefresh: failed call to basBootloader.BusResetHandler" +
                       std::string(", code ") + std::to_string(r),
                   "WARNING");
        }
        if (!State.BusResetPending) {
            State.TopologyReady = true;
            MainWindow().IEEE1394Bus_ResetComplete();
            result = 1;
        }
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "bas1394.BusResetHandler"), "ERROR");
    }
    return result;
}

int32_t VdevBusResetHandler() {
    int32_t result = -1;
    try {
        State.LocalHostNode = kNoNode;
        if (RefreshVirtualDeviceList() < 1) return -1;

        LogMsg("Getting a new topology map.", "DETAIL");
        if (GetLocalHostInfo(State.TopologyMap) != 1) {
            LogMsg("1394 Virtual Device Handler Error: failed to get topology map.  "
                   "All further communication with the bus is disrupted.",
                   "ERROR");
        }
        if (State.BusResetPending) return -1;

        const auto count = static_cast<int32_t>(State.TopologyMap.Entries.size());
        if (count == State.PreviousNodeCount) {
            LogMsg("BusResetHandler: the number of nodes on the bus is " + std::to_string(count), "TRACE");
        } else {
            LogMsg("BusResetHandler: the number of nodes on the bus has changed from " +
                       std::to_string(State.PreviousNodeCount) + " to " + std::to_string(count),
                   "TRACE");
        }
        State.PreviousNodeCount = static_cast<int16_t>(count);

        const int32_t local = GetLocalHostNode();
        if (local < 0 || local > 255) vb::Raise(6, "bas1394");  // does not fit the byte
        State.LocalHostNode = static_cast<uint8_t>(local);
        State.BusNumber = GetBusNumber();

        int32_t hidden = 0;
        for (int32_t k = 0; k < count; ++k) {
            const int32_t idx = k - hidden;
            clk::DoEvents();
            if (State.BusResetPending) {
                LogMsg("BusResetHandler: routine interrupted by bus topology change.", "WATCH");
                return -1;
            }
            if (idx > 0) State.NodeTable.resize(static_cast<size_t>(idx) + 1);
            // Every element starts empty: a node left out before may have used it.
            NodeRecord& node = State.NodeTable[static_cast<size_t>(idx)];
            node = State.EmptyNodeRecord;
            node.Topology = State.TopologyMap.Entries[static_cast<size_t>(k)];
            node.NodeNumber = static_cast<int16_t>(k);
            node.DriverType = kDriverVdev;
            node.DeviceName = DeviceNameSlot();

            LogMsg("Getting config rom for node #" + std::to_string(k) + "...", "TRACE");
            if (State.BusResetPending) return -1;
            // Read aside and store afterwards: window events run between the ROM's quadlets,
            // and nothing then may hold a reference into the table.
            ConfigRomRecord read;
            const int32_t r = basConfigRom::GetFormattedConfigRom(idx, read);
            State.NodeTable.at(static_cast<size_t>(idx)).ConfigRom = std::move(read);
            const ConfigRomRecord& rom = State.NodeTable[static_cast<size_t>(idx)].ConfigRom;
            if (r == 1) {
                LogMsg("Node #" + std::to_string(k) + ": " + "GUID='" + basConfigRom::GetGuidText(rom) +
                           "', " + "Manufacturer='" + basConfigRom::GetVendorText(rom) + "', " +
                           "Model='" + basConfigRom::GetModelText(rom) + "'",
                       "USER");
            } else if (r != basConfigRom::kRootNotRead) {
                LogMsg("BusResetHandler: unreadable config ROM on node #" + std::to_string(k) + ".  " +
                           "bas1394.GetFormattedConfigRom returned code " + std::to_string(r),
                       "TRACE");
            }
            if (State.BusResetPending) return -1;

            const bool keep = k == State.LocalHostNode ||
                              ((r == 1 || r == basConfigRom::kRootNotRead) &&
                               rom.BusInfo.NodeVendorId == kMakerCompanyId);
            if (keep) {
                MainWindow().IEEE1394Bus_NodesChanged();
            } else {
                ++hidden;
                if (idx > 0) {
                    State.NodeTable.resize(static_cast<size_t>(idx));
                } else {
                    State.NodeTable[0] = State.EmptyNodeRecord;  // the table holds no node so far
                }
            }
        }
        result = State.BusResetPending ? -1 : 1;
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "bas1394.VdevBusResetHandler"), "ERROR");
    }
    return result;
}

void IncomingDataThreadHandler() {
    if (!State.IncomingDataPending || State.IncomingPumpRunning) return;
    Running running(State.IncomingPumpRunning);
    try {
        do {
            State.IncomingDataPending = false;
            MainWindow().IEEE1394IncomingDataHandler();
        } while (State.IncomingDataPending);
    } catch (const std::exception& e) {
        LogMsg(internal::FailureLine(e, "IncomingDataThreadHandler"), "ERROR");
    }
}

}  // namespace bas1394
