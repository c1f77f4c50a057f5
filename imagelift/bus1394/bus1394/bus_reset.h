// Bus-reset handling: after every bus reset the program rebuilds its picture of the bus (which
// nodes are there, which are the maker's devices, what their config ROMs say), then has the
// bootloader layer rebuild its target list on top of it. Two pumps run from the main window's
// 20 ms timers: the bus-reset pump (settle, rebuild, repeat while newer resets came in) and the
// incoming-data pump.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

namespace bas1394 {

// The maker's IEEE company identifier: nodes that show it in their bus information block stay
// in the node table.
inline constexpr int32_t kMakerCompanyId = 0x0A3C7E;

// One bootloader target as the pass logs it after the bootloader layer's rebuild.
struct BootloaderTargetSummary {
    int32_t Handle = 0;
    int16_t NodeNumber = 0;
    std::array<uint8_t, 8> Guid{};  // the bootloader GUID of the target's info registers
    int32_t BootloaderVersion = 0;
};

// The bootloader layer above this one. It installs itself at start; until then a stand-in
// answers 1 and lists no targets.
class IBootloaderLayer {
public:
    virtual ~IBootloaderLayer() = default;
    // basBootloader.BusResetHandler: rebuilds the target list on the new node table; 1 = done.
    virtual int32_t BusResetHandler() = 0;
    // At each reset: DiscoveryInterrupted := True and the three BootloaderListReady := False.
    virtual void ResetDiscoveryState() = 0;
    // Every element of the target list, in order.
    virtual std::vector<BootloaderTargetSummary> Targets() = 0;
};
// Installs the bootloader layer (nullptr restores the stand-in). The caller keeps ownership.
void SetBootloaderLayer(IBootloaderLayer* layer);

// Bus-reset pump, on every tick of the bus-reset timer. A tick that comes while a pass runs
// (through pending window events inside the pass) returns at once: the running pump's loop
// picks up the new reset.
void BusResetHandlerThread();
// TopologyReady := False and the bootloader layer's discovery flags reset.
void ResetBusState();
// One pass: node table rebuild, then the bootloader layer's rebuild. 1 = completed.
int32_t BusResetHandler();
// The node-table rebuild. 1 = rebuilt, -1 = interrupted or failed.
int32_t VdevBusResetHandler();
// Incoming-data pump, on every tick of the incoming-data timer.
void IncomingDataThreadHandler();

}  // namespace bas1394
