// The program's binding to the 1394 access library and the two argument-checking transaction
// wrappers through which every asynchronous read and write of the program passes.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "bus1394/node_records.h"
#include "support/debug_log.h"

namespace bas1394 {

// Transaction results of the program's own (the library's codes pass through unchanged).
inline constexpr int32_t kSuccess = 1;
inline constexpr int32_t kRefused = -1;
inline constexpr int32_t kInterruptedByReset = -105;
// Library codes the wrappers tell apart.
inline constexpr int32_t kNoResponse = 121;
inline constexpr int32_t kLibBusReset = static_cast<int32_t>(0x80000001u);
inline constexpr int32_t kLibShutdown = static_cast<int32_t>(0x80000002u);
inline constexpr int32_t kLibResponseError = static_cast<int32_t>(0x80000017u);
inline constexpr int32_t kLibTimedOut = static_cast<int32_t>(0x80000102u);
inline constexpr int32_t kLibUnknownError = static_cast<int32_t>(0x8000013Du);
// A node served by the other driver kind: no request is made.
inline constexpr int32_t kOtherDriverKind = static_cast<int32_t>(0xEE000200u);

inline constexpr int32_t kMaxPayload = 2048;

class IBusPumpTimers;

// Loads the library from the program's folder and registers `window` for its notices (the
// window becomes ClientWindow, the handle LibraryModule of the bus layer's state). `timers` are
// the pumps of the bus-reset and incoming-data passes (PumpTimers), switched on once a virtual
// device exists; without them nothing is switched on. Returns the module handle, 0 when the
// library could not be loaded.
int32_t LoadVsk1394Dll(int32_t window, IBusPumpTimers* timers = nullptr);
// Frees every held address range, deregisters the window and unloads the library. Always 0
// (nothing for the caller to act on: the program is ending).
int32_t UnloadVsk1394Dll();
// Hands the library its debug-text level; returns SetDebugSpew's result.
int32_t SetDllMessageLevel(int32_t level);
// Lets imagelift::ElapsedMs read elapsed time through the bound library (done by the loader).
void BindElapsedTimeToLibrary();

// Reads `length` bytes (1..2048, rounded up to whole quadlets; `data` is re-made to that
// size) at `address` of `node`. Quadlet mode reads one quadlet per request and lets pending
// window events run between them. A negative time-out means Default1394TransactionTimeout.
// Returns 1, -1 (refused), -105 (bus reset) or the library's code.
int32_t AsyncReadWrapperVB(const NodeRecord& node, const Address48& address, int32_t length,
                           bool quadletMode, int32_t timeoutMs, std::vector<uint8_t>& data);
// Writes `data` (padded in place with zeros to whole quadlets; at most 2048 bytes) to
// `address` of `node`; node 63 broadcasts. A negative time-out is replaced, in the caller's
// variable, by the default. Returns 1, -1 or -105.
int32_t AsyncWriteWrapperVB(const NodeRecord& node, const Address48& address, int16_t mode,
                            int32_t& timeoutMs, std::vector<uint8_t>& data);

// One step of AsyncSequenceVB: a write of `data` (padded as AsyncWriteWrapperVB pads it) or a
// read of `length` bytes into `data` (re-made as AsyncReadWrapperVB makes it), at `address`.
struct TransferStep {
    Address48 address;
    bool write = false;
    int32_t length = 0;
    int32_t timeoutMs = 0;
    std::vector<uint8_t>* data = nullptr;
    int32_t result = 0;  // set for each step carried out
};
// Carries out the steps on `node` in order, each with the result and the log lines its wrapper
// gives, and stops after the first whose result is not 1. Through a library that takes a
// sequence of transactions in one call they reach the bus in that one call, each still a
// transaction of its own. Returns how many steps were carried out.
int32_t AsyncSequenceVB(const NodeRecord& node, TransferStep* steps, int32_t count);

// "0xffffc8029000" -> (0xFFFF, 0xC8029000); 1 = converted. Raises 14592 in automation for a
// text that is neither "0x"-prefixed nor a non-zero hex value; 6 for more than 12 digits.
int32_t HexString2Address(const std::string& text, Address48& address);

// The module's log procedure (module "bas1394"; lines below level 8 are dropped while a
// download sends blocks).
void LogMsg(const std::string& message, const basDebug::LevelArg& level = {});

}  // namespace bas1394
