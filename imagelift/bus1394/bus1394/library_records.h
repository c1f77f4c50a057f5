// Records the program hands to the 1394 access library, in the byte layout the library reads
// (little-endian, x86-64). Pointer fields are native pointers, so a record that carries one is
// larger than it would be on a 32-bit host; nothing stored depends on that size.
#pragma once

#include <cstddef>
#include <cstdint>

#include "bus1394/node_records.h"

namespace bas1394 {

inline constexpr int kVirtualDeviceSlots = 10;
inline constexpr int kVirtualDeviceNameBytes = 256;

// Filled by GetVirtualDeviceList: a count and ten zero-filled 256-byte name slots.
struct VirtualDeviceListRecord {
    int32_t Count = 0;
    char Names[kVirtualDeviceSlots][kVirtualDeviceNameBytes] = {};
};
static_assert(sizeof(VirtualDeviceListRecord) == 4 + 10 * 256);

// One transaction of a sequence (passed to AsyncTransferSequence): Write 0 reads ByteCount bytes
// into Buffer, 1 writes them from it; the library sets Result once it was carried out.
inline constexpr int kMaxTransferSequence = 4;
struct AsyncTransferRecord {
    int32_t Write = 0;
    int32_t Node = 0;
    Address48 Address;
    int32_t ByteCount = 0;
    int32_t TimeoutMs = 0;
    uint8_t* Buffer = nullptr;
    int32_t Result = 0;
    int32_t Fill = 0;
};
static_assert(sizeof(AsyncTransferRecord) == 40);
static_assert(offsetof(AsyncTransferRecord, Address) == 8);
static_assert(offsetof(AsyncTransferRecord, ByteCount) == 16);
static_assert(offsetof(AsyncTransferRecord, TimeoutMs) == 20);
static_assert(offsetof(AsyncTransferRecord, Buffer) == 24);
static_assert(offsetof(AsyncTransferRecord, Result) == 32);

// One host address range (passed to AllocateAddressRange).
struct AddressRangeRecord {
    int32_t Word0 = 1;
    int32_t Word1 = 1;
    int32_t Length = 0;
    int32_t Word3 = 0;
    int32_t AccessFlags = 11;
    int32_t NotifyFlags = 3;
    Address48 Address;
    int32_t Handle = 0;  // filled by the library; 0 = element not in use
    uint8_t Data[516] = {};
};
static_assert(sizeof(AddressRangeRecord) == 552);
static_assert(offsetof(AddressRangeRecord, Address) == 24);
static_assert(offsetof(AddressRangeRecord, Handle) == 32);

// Request for the local host's topology map (information level 6 at CSR 0xFFFF:F0001000).
struct HostInfoRequest {
    int32_t Status = 0;
    int32_t Level = 6;
    int32_t BufferSize = 4096;
    int16_t CsrHigh = -1;
    uint16_t Fill = 0;
    int32_t CsrLow = static_cast<int32_t>(0xF0001000u);
    int32_t CsrLength = 1024;
    uint8_t Data[4096] = {};
};
static_assert(sizeof(HostInfoRequest) == 4120);
static_assert(offsetof(HostInfoRequest, CsrLow) == 16);
static_assert(offsetof(HostInfoRequest, Data) == 24);

// Asks for the local node's address: bits 0-5 node number, bits 6-15 bus number.
struct NodeAddressRequest {
    int32_t Flags = 1;
    uint16_t NodeAddress = 0;
    uint16_t Fill = 0;
};
static_assert(sizeof(NodeAddressRequest) == 8);

// Names a virtual device to add or remove; Name points at a 33-byte zero-filled buffer.
struct VirtualDeviceDescriptor {
    uint32_t Flags = 0;
    uint32_t Reserved = 0;
    uint32_t InstanceLow = 0;
    uint32_t InstanceHigh = 0;
    const char* Name = nullptr;
};
static_assert(offsetof(VirtualDeviceDescriptor, Name) == 16);
static_assert(sizeof(VirtualDeviceDescriptor) == 16 + sizeof(void*));  // 24 on 64-bit

}  // namespace bas1394
