// Numbers of the simulated 1394 bus: the result codes a transaction ends with (as the access
// library hands them to its callers), the fixed addresses of a node's CSR space, and limits.
#pragma once

#include <cstdint>

namespace sim {

// Result of an asynchronous read or write issued through the bus.
inline constexpr int32_t kResultSuccess = 1;
// The node did not acknowledge: no such node on the bus, its link is off, or it ignores us.
inline constexpr int32_t kResultNoResponse = 121;
// The node acknowledged but its response did not arrive within the time-out.
inline constexpr int32_t kResultTimedOut = int32_t(0x80000102u);
// The access library's shutdown event was set (only ever injected).
inline constexpr int32_t kResultShutdown = int32_t(0x80000002u);
// A bus reset happened while the request was outstanding.
inline constexpr int32_t kResultResetOccurred = int32_t(0x80000001u);
// Unknown failure (only ever injected).
inline constexpr int32_t kResultUnknownError = int32_t(0x8000013Du);
// The node answered with an error response (address error, type error ...).
inline constexpr int32_t kResultResponseError = int32_t(0x80000017u);
// A malformed request (byte count not 4..2048 in whole quadlets, bad node number, bad range).
inline constexpr int32_t kResultInvalidParameter = 87;
// An address range that overlaps one already held.
inline constexpr int32_t kResultRangeInUse = 183;
// Unknown handle or name.
inline constexpr int32_t kResultNotFound = 1168;
// No room left (63 nodes, 10 virtual devices).
inline constexpr int32_t kResultNoRoom = 8;

// The split time-out a request gets when its caller passes 0.
inline constexpr uint32_t kDefaultTimeoutMs = 100;

// Largest payload of one asynchronous request.
inline constexpr uint32_t kMaxPayload = 2048;

// A bus holds at most 63 nodes (PHY IDs 0-62); 63 addresses every node at once.
inline constexpr int kMaxNodes = 63;
// Nodes a bus knows at most, plugged or not: unplugged nodes keep their place and their state,
// and a control client must not be able to grow that list without end.
inline constexpr int kMaxKnownNodes = 4 * kMaxNodes;
inline constexpr int kBroadcastNode = 63;
// Bus ID of the local bus in a 16-bit node ID.
inline constexpr uint16_t kLocalBusId = 0x3FF;
inline constexpr uint16_t NodeIdOf(int phyId) { return uint16_t((kLocalBusId << 6) | (phyId & 0x3F)); }

// Every node's CSR space lives at the top of its 48-bit address space.
inline constexpr uint16_t kCsrHigh = 0xFFFF;
// The config ROM: 1 KiB at 0xFFFF:F0000400.
inline constexpr uint32_t kConfigRomBase = 0xF0000400u;
inline constexpr uint32_t kConfigRomSpace = 1024;
// The topology map the local host keeps of the bus.
inline constexpr uint32_t kTopologyMapBase = 0xF0001000u;

// Most virtual devices one bus carries (the access library's list has ten slots).
inline constexpr int kMaxVirtualDevices = 10;

}  // namespace sim
