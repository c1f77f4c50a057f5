// A node record of the maker as a bus-reset pass leaves it in the node table: driver "vdev", a
// readable config ROM with the maker's company ID and an ID that ends in the node number.
#pragma once

#include <cstdint>

#include "bus1394/node_records.h"

namespace apptest {

inline bas1394::NodeRecord MakerNode(int16_t number) {
    bas1394::NodeRecord node;
    node.DriverType = bas1394::kDriverVdev;
    node.NodeNumber = number;
    node.ConfigRom.BusInfo.RawBytes.assign(20, 0);
    node.ConfigRom.BusInfo.RawBytes[0] = 4;
    node.ConfigRom.BusInfo.NodeVendorId = 0x0A3C7E;
    node.ConfigRom.BusInfo.ChipIdHi = 0x10;
    node.ConfigRom.BusInfo.ChipIdLo = 0x00010000 + number;
    return node;
}

}  // namespace apptest
