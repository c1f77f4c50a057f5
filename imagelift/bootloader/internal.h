// Helpers shared by the parts of basBootloader; not for other modules.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "bootloader/module.h"
#include "bootloader/progress_bar.h"
#include "bootloader/records.h"
#include "bootloader/state.h"
#include "bus1394/node_records.h"
#include "support/byte_utils.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace basBootloader {

// Logs the failure being handled (inside a catch block) at WARNING as
// "ERROR #<number>: <description>" followed by `tail`.
void LogTrapped(const std::string& tail);

// Address of an area of the protocol region.
bas1394::Address48 RegionAddress(uint32_t offset);

std::string Str(int64_t v);

// True when the module's log keeps a line of `level` now (while a download sends blocks, the
// lines below level 8 are dropped): lines built per block are composed only when kept.
bool LogKeeps(const basDebug::LevelArg& level);

// SessionLayerTransaction that also tells whether the request reached the target's request
// area (false when the handle was refused, the mutex not obtained or the send failed).
int32_t Transact(int32_t handle, BootPacket& request, BootPacket& response, int32_t timeoutMs,
                 IProgressBar* progressBar, int32_t window, bool* sent);

// The three transactions that send a request with a payload and read its answer once: the
// payload into the request area, then the request, then the answer (GetResponse, with its
// pause). Each result as WriteRequestBuffer, SendRequest and GetResponse give it, with their log
// lines; one that was not reached stays 0. The three reach the access library in one call where
// it takes a sequence, so the block waits once for the bus instead of three times; the target
// sees the same transactions in the same order.
struct PayloadExchange {
    int32_t payload = 0;
    int32_t request = 0;
    int32_t response = 0;
};
PayloadExchange SendWithPayload(int32_t handle, ByteArray& payload, BootPacket& request, BootPacket& response);

// Work run in the pause after each read of a target's answer while the scope lasts (a transfer's
// blocks); the pause still lasts its 10 ms from the read, whatever the work took.
class PauseWorkScope {
public:
    explicit PauseWorkScope(std::function<void()> work);
    ~PauseWorkScope();
    PauseWorkScope(const PauseWorkScope&) = delete;
    PauseWorkScope& operator=(const PauseWorkScope&) = delete;

private:
    std::function<void()> previous_;
};

// Values of the bootloader protocol travel least significant byte first, unless a target
// declares the big-endian variant of protocol 2.
using basUtils::ByteOrder;

// Takes a mutex for a scope, releasing it on every way out (also when a failure ends the
// procedure) unless released earlier by hand.
class MutexHold {
public:
    MutexHold() = default;
    explicit MutexHold(int32_t handle) : handle_(handle) {}
    ~MutexHold();
    MutexHold(const MutexHold&) = delete;
    MutexHold& operator=(const MutexHold&) = delete;
    void Adopt(int32_t handle) { handle_ = handle; }
    // Releases now; false when the release failed.
    bool Release();

private:
    int32_t handle_ = 0;
};

// Takes the transaction mutex for an exchange that moves bulk data through a payload area
// besides its request: the payload and the request must come from one holder, or another
// process's exchange with the same target could overwrite the one or the other in between.
// False when the mutex was not obtained. Without `who` the failure is logged as the exchange's
// own transaction logs it ("Function SessionLayerTransaction failed to take ..."), and the
// caller goes on as if its transaction had failed with -1; with `who` (an exchange that runs
// no transaction) the line names `who`.
bool TakeTransactionMutex(MutexHold& hold, const char* who = nullptr);

}  // namespace basBootloader
