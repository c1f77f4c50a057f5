// The 1394 access library's binary interface: the records its callers pass and the functions
// it exports with C linkage.
//
// Callers load "Vsk1394api.dll" at run time and bind each function by name, so the argument
// order and the record layouts below are the contract. Every record is little-endian in memory
// at the byte offsets asserted here; the one pointer field (the virtual device's name) is a
// native pointer, 8 bytes on 64-bit. All integer arguments and results are 32-bit.
#pragma once

#include <cstddef>
#include <cstdint>

extern "C" {

// A 48-bit destination offset in a node's address space.
struct Address48 {
    int16_t OffsetHigh;  // high 16 bits (0xFFFF is -1)
    uint16_t Fill;
    int32_t OffsetLow;   // low 32 bits
};

inline constexpr int kVirtualDeviceSlots = 10;
inline constexpr int kVirtualDeviceNameBytes = 256;

// The virtual devices the bus driver created: a count and ten zero-filled 256-byte name slots.
struct VirtualDeviceList {
    int32_t Count;
    char Names[kVirtualDeviceSlots][kVirtualDeviceNameBytes];
};

// A range of the local host's own 1394 address space that remote nodes may read or write.
// AccessFlags: bit 0 reads accepted, bit 1 writes accepted, bit 3 broadcast writes accepted.
// NotifyFlags: bit 0 notify after a read, bit 1 notify after a write (incoming-data notice).
struct AddressRangeRecord {
    int32_t Word0;        // 1
    int32_t Word1;        // 1
    int32_t Length;       // bytes
    int32_t Word3;        // 0
    int32_t AccessFlags;  // 11
    int32_t NotifyFlags;  // 3
    Address48 Address;    // required start of the range
    int32_t Handle;       // out: non-zero range handle
    uint8_t Data[516];
};

// Information about the local host. Level 6 with the CSR address 0xFFFF:F0001000 asks for the
// topology map: u16 Length, u16 Crc, u32 Generation, u16 NodeCount, u16 SelfIdCount (each least
// significant byte first), then from byte 12 the self-ID quadlets most significant byte first,
// one packet per node in node order, a packet with its "more packets" bit set followed by its
// one extended packet (not counted in SelfIdCount).
struct HostInfoRequest {
    int32_t Status;      // 0
    int32_t Level;       // 6
    int32_t BufferSize;  // 4096
    int16_t CsrHigh;     // 0xFFFF
    uint16_t Fill;
    int32_t CsrLow;      // 0xF0001000
    int32_t CsrLength;   // 1024
    uint8_t Data[4096];
};

// Asks for the local node's address: bits 0-5 node number, bits 6-15 bus number (0x3FF local).
struct NodeAddressRequest {
    int32_t Flags;         // 1 = the local node
    uint16_t NodeAddress;  // out
    uint16_t Fill;
};

// A virtual device to add or remove: its name is a zero-filled 33-byte buffer, which a name of
// 33 characters fills with no terminating zero.
inline constexpr int kVirtualDeviceNameMax = 33;
struct VirtualDeviceDescriptor {
    uint32_t Flags;         // 0
    uint32_t Reserved;      // 0
    uint32_t InstanceLow;   // instance number, low 32 bits
    uint32_t InstanceHigh;  // high 32 bits
    const char* Name;
};

// One transaction of a sequence (AsyncTransferSequence): Write 0 reads ByteCount bytes into
// Buffer, 1 writes ByteCount bytes from it; Result is set once it was carried out.
inline constexpr int kMaxTransferSequence = 4;
struct AsyncTransfer {
    int32_t Write;
    int32_t Node;
    Address48 Address;
    int32_t ByteCount;
    int32_t TimeoutMs;
    uint8_t* Buffer;
    int32_t Result;  // out
    int32_t Fill;
};

static_assert(sizeof(Address48) == 8);
static_assert(offsetof(Address48, OffsetHigh) == 0);
static_assert(offsetof(Address48, Fill) == 2);
static_assert(offsetof(Address48, OffsetLow) == 4);

static_assert(sizeof(AsyncTransfer) == 40);
static_assert(offsetof(AsyncTransfer, Write) == 0);
static_assert(offsetof(AsyncTransfer, Node) == 4);
static_assert(offsetof(AsyncTransfer, Address) == 8);
static_assert(offsetof(AsyncTransfer, ByteCount) == 16);
static_assert(offsetof(AsyncTransfer, TimeoutMs) == 20);
static_assert(offsetof(AsyncTransfer, Buffer) == 24);
static_assert(offsetof(AsyncTransfer, Result) == 32);

static_assert(sizeof(VirtualDeviceList) == 2564);
static_assert(offsetof(VirtualDeviceList, Count) == 0);
static_assert(offsetof(VirtualDeviceList, Names) == 4);

static_assert(sizeof(AddressRangeRecord) == 552);
static_assert(offsetof(AddressRangeRecord, Word0) == 0);
static_assert(offsetof(AddressRangeRecord, Word1) == 4);
static_assert(offsetof(AddressRangeRecord, Length) == 8);
static_assert(offsetof(AddressRangeRecord, Word3) == 12);
static_assert(offsetof(AddressRangeRecord, AccessFlags) == 16);
static_assert(offsetof(AddressRangeRecord, NotifyFlags) == 20);
static_assert(offsetof(AddressRangeRecord, Address) == 24);
static_assert(offsetof(AddressRangeRecord, Handle) == 32);
static_assert(offsetof(AddressRangeRecord, Data) == 36);

static_assert(sizeof(HostInfoRequest) == 4120);
static_assert(offsetof(HostInfoRequest, Status) == 0);
static_assert(offsetof(HostInfoRequest, Level) == 4);
static_assert(offsetof(HostInfoRequest, BufferSize) == 8);
static_assert(offsetof(HostInfoRequest, CsrHigh) == 12);
static_assert(offsetof(HostInfoRequest, Fill) == 14);
static_assert(offsetof(HostInfoRequest, CsrLow) == 16);
static_assert(offsetof(HostInfoRequest, CsrLength) == 20);
static_assert(offsetof(HostInfoRequest, Data) == 24);

static_assert(sizeof(NodeAddressRequest) == 8);
static_assert(offsetof(NodeAddressRequest, Flags) == 0);
static_assert(offsetof(NodeAddressRequest, NodeAddress) == 4);
static_assert(offsetof(NodeAddressRequest, Fill) == 6);

static_assert(offsetof(VirtualDeviceDescriptor, Flags) == 0);
static_assert(offsetof(VirtualDeviceDescriptor, Reserved) == 4);
static_assert(offsetof(VirtualDeviceDescriptor, InstanceLow) == 8);
static_assert(offsetof(VirtualDeviceDescriptor, InstanceHigh) == 12);
static_assert(offsetof(VirtualDeviceDescriptor, Name) == 16);
static_assert(sizeof(VirtualDeviceDescriptor) == 16 + sizeof(void*));  // 24 on 64-bit

// Notices posted to every registered client window (WM_USER = 0x400).
inline constexpr uint32_t kNoticeDeviceChange = 0x52D;    // a virtual device came or went
inline constexpr uint32_t kNoticeBusReset = 0x52E;        // a bus reset completed
inline constexpr uint32_t kNoticeIncomingData = 0x52F;    // a node wrote into a host range
inline constexpr uint32_t kNoticeDriverError = 0x530;     // the bus driver reported an error
inline constexpr uint32_t kNoticeOtherDriverReset = 0x414;  // reset seen by the other driver kind
// Debug text is appended to a client window with this edit-control message: lParam points at
// whole lines, each ending in CR LF, inserted at the caret (the end of the text).
inline constexpr uint32_t kEditReplaceSel = 0x00C2;

// Transaction results.
inline constexpr int32_t kResultSuccess = 1;
inline constexpr int32_t kResultNoResponse = 121;
inline constexpr int32_t kResultBadParameter = 87;
inline constexpr int32_t kResultBusReset = int32_t(0x80000001u);
inline constexpr int32_t kResultShutdown = int32_t(0x80000002u);
inline constexpr int32_t kResultAddressError = int32_t(0x80000017u);
inline constexpr int32_t kResultTimeout = int32_t(0x80000102u);
inline constexpr int32_t kResultUnknown = int32_t(0x8000013Du);

// The library's default time-out, used when a caller passes 0 ms: the usual split time-out.
inline constexpr int32_t kDefaultTimeoutMs = 100;

#if defined(__GNUC__)
#define VSK1394_EXPORT __attribute__((visibility("default")))
#else
#define VSK1394_EXPORT
#endif

VSK1394_EXPORT int32_t RegisterClient(int32_t hwnd);
VSK1394_EXPORT int32_t DeRegisterClient(int32_t hwnd);
VSK1394_EXPORT int32_t SetDebugSpew(int32_t hwnd, int32_t level);
VSK1394_EXPORT int32_t AsyncReadWrapper(int32_t node, const Address48* address, int32_t byteCount,
                                        uint8_t* destination, int32_t timeoutMs);
VSK1394_EXPORT int32_t AsyncWriteWrapper(int32_t node, const Address48* address, int32_t byteCount,
                                         const uint8_t* source, int32_t timeoutMs);
// Carries out 1 to kMaxTransferSequence transactions in order, each exactly as AsyncReadWrapper
// or AsyncWriteWrapper carries it out, and stops after the first that does not succeed. Returns
// how many were carried out (each of those has its Result); 0 when the arguments are bad. A
// program's exchange of several transactions with a device reaches the bus in one call.
VSK1394_EXPORT int32_t AsyncTransferSequence(AsyncTransfer* transfers, int32_t count);
VSK1394_EXPORT int32_t GetLocalHostInformation(int32_t hwnd, const char* deviceName,
                                               HostInfoRequest* request, int32_t reserved);
VSK1394_EXPORT int32_t Get1394AddressFromDeviceObject(int32_t hwnd, const char* deviceName,
                                                      NodeAddressRequest* request);
VSK1394_EXPORT int32_t AddVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* device,
                                        int32_t reserved);
VSK1394_EXPORT int32_t RemoveVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* device,
                                           int32_t reserved);
VSK1394_EXPORT int32_t BusReset(const int32_t* hwnd, const char* deviceName, const int32_t* flags);
VSK1394_EXPORT int32_t AllocateAddressRange(const int32_t* hwnd, const char* deviceName,
                                            AddressRangeRecord* range, int32_t reserved);
VSK1394_EXPORT int32_t FreeAddressRange(const int32_t* hwnd, const char* deviceName,
                                        int32_t handle);
VSK1394_EXPORT int32_t GetVirtualDeviceList(VirtualDeviceList* list);
VSK1394_EXPORT int32_t QueryElapsedTimeMsLongInt(const int64_t* start);
VSK1394_EXPORT int32_t HookSystemModule(const char* moduleName);

}  // extern "C"
