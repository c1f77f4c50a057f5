// Binding of the 1394 access library "Vsk1394api.dll", loaded at run time from the program's
// folder. Each function is looked up by name on its first call. A call while the library is
// not loaded raises run-time error 53 naming the file; a function the library lacks raises 453.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bus1394/library_records.h"

namespace bas1394 {

inline constexpr char kAccessLibraryFile[] = "Vsk1394api.dll";

namespace lib {

// Finds an exported function by name; nullptr when there is none.
using Resolver = std::function<void*(const char* name)>;

// Loads the library from `path`; returns the module handle (0 when it could not be loaded).
int32_t Load(const std::string& path);
// Frees the library (if loaded) and forgets every bound function.
void Unload();
bool IsLoaded();
// Binds a stand-in instead of a loaded file (tests inject result codes this way). An empty
// resolver leaves the binding unloaded.
void BindForTesting(Resolver resolver);

// Why the loaded library has no bus ("" when it has one, has not tried or cannot say).
std::string BusUnavailableReason();
// Why the loaded library's bus is not the one the program's bus description names ("" when it
// is, when none is named, or when the library cannot say).
std::string BusDescriptionMismatch();

int32_t RegisterClient(int32_t hwnd);
int32_t DeRegisterClient(int32_t hwnd);
int32_t SetDebugSpew(int32_t hwnd, int32_t level);
int32_t AsyncReadWrapper(int32_t node, const Address48* address, int32_t byteCount, uint8_t* data,
                         int32_t timeoutMs);
int32_t AsyncWriteWrapper(int32_t node, const Address48* address, int32_t byteCount,
                          const uint8_t* data, int32_t timeoutMs);
// Our library's sequence of transactions in one call (see AsyncTransferSequence in the library):
// how many were carried out. A library without it has HasAsyncTransferSequence() false.
bool HasAsyncTransferSequence();
int32_t AsyncTransferSequence(AsyncTransferRecord* transfers, int32_t count);
int32_t GetLocalHostInformation(int32_t hwnd, const char* deviceName, HostInfoRequest* request,
                                int32_t reserved);
int32_t Get1394AddressFromDeviceObject(int32_t hwnd, const char* deviceName,
                                       NodeAddressRequest* request);
int32_t AddVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* descriptor, int32_t reserved);
int32_t RemoveVirtualDriver(const int32_t* hwnd, VirtualDeviceDescriptor* descriptor,
                            int32_t reserved);
int32_t BusReset(const int32_t* hwnd, const char* deviceName, const int32_t* flags);
int32_t AllocateAddressRange(const int32_t* hwnd, const char* deviceName, AddressRangeRecord* range,
                             int32_t reserved);
int32_t FreeAddressRange(const int32_t* hwnd, const char* deviceName, int32_t handle);
int32_t GetVirtualDeviceList(VirtualDeviceListRecord* list);
int32_t QueryElapsedTimeMsLongInt(const int64_t* startCounter);
int32_t HookSystemModule(const char* moduleName);

}  // namespace lib
}  // namespace bas1394
