// Test support: puts the bus layer's module-level data back to its values at program start, so
// each test begins on an empty node table with no library bound.
#pragma once

#include "bus1394/access_library.h"
#include "bus1394/bus_reset.h"
#include "bus1394/host_resources.h"
#include "bus1394/node_records.h"
#include "bus1394/transactions.h"

namespace bas1394::testing {

inline void ResetModuleState() {
    ResetNodeTable();
    LocalHostNode = kNoNode;
    BusResetPending = false;
    TopologyReady = false;
    IncomingDataPending = false;
    AddressRanges.assign(1, AddressRangeRecord{});
    VirtualDeviceList = VirtualDeviceListRecord{};
    TopologyMap = TopologyMapRecord{};
    NoBusInterface = false;
    PreviousVirtualDeviceCount = 0;
    PreviousNodeCount = 0;
    ClientWindow = 0;
    LibraryModule = 0;
}

}  // namespace bas1394::testing
