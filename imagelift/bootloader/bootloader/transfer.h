// The block transfer of one package image into a target: download start (the target erases its
// flash, which takes a while), the image in blocks of at most 1024 bytes (each block tried at
// most three times in a row), and download end, whose answer says whether the target found the
// image's CRC good. The end command goes out however the blocks went: it closes the target's
// download session.
//
// The loop is the same for every caller; what each shows (log lines, a window's status text,
// its progress bar) goes through a TransferReporter.
#pragma once

#include <cstdint>

#include "bootloader/progress_bar.h"
#include "bootloader/records.h"

namespace basBootloader {

// A progress bar's scale for downloads: one unit per 128 kB, so that a bar's range stays small.
inline constexpr double kTransferProgressUnit = 131072.0;
// How often one block is tried in a row before the transfer gives up.
inline constexpr int32_t kTransferAttemptsPerBlock = 3;

// What a transfer tells its caller as it goes. Every call comes from the transfer's own thread.
class TransferReporter {
public:
    virtual ~TransferReporter() = default;
    // Download start has answered with `code` (1 = the target is ready).
    virtual void StartAnswered(int32_t code) = 0;
    // Download start answered a block size below one byte; nothing more is sent.
    virtual void BadBlockSize(int32_t maxBlockSize) = 0;
    // The blocks begin: `length` bytes in all.
    virtual void BlocksBegin(int64_t length) = 0;
    // Before each attempt at a block: `sent` bytes have gone so far.
    virtual void Sending(int64_t sent) = 0;
    // In the pause the target needs after each read of a block's answer, which lasts its 10 ms
    // whatever this takes: room for short work the transfer should not wait for (a repaint of
    // its progress). It must not start another exchange with a target.
    virtual void Paused() {}
    // The block at `fileOffset` could not be taken from the package.
    virtual void CopyFailed(int32_t blockSize, int32_t fileOffset) = 0;
    // A block attempt failed with `code`; `last` when it was the block's final attempt.
    virtual void BlockFailed(int32_t code, int32_t address, bool last) = 0;
    // Download end failed as a command.
    virtual void EndFailed() = 0;
    // Download end answered, but the target found the image's CRC bad.
    virtual void CrcFailed(int32_t crc, int32_t validity) = 0;
};

// One image to send: the package's header and bytes, the image's record in it, and where it goes.
struct TransferRequest {
    int32_t handle = 0;
    int32_t imageType = 0;
    const FwpHeader* header = nullptr;
    const ByteArray* fileData = nullptr;
    FwpImageRecord record;
    int32_t targetAddress = 0;
    // Shown while download start waits for the target's erase.
    IProgressBar* startProgress = nullptr;
    int32_t window = 0;
};

struct TransferResult {
    // 1 when every block went and the target reported a good CRC; otherwise the code that ended
    // the transfer (that of download start, of the failing block, or of download end).
    int32_t code = -1;
    // False when the transfer stopped at download start (it failed, or gave no usable block
    // size): the reporter has said why, and no block and no download end went out.
    bool reachedBlocks = false;
};

TransferResult TransferImage(const TransferRequest& request, TransferReporter& reporter);

}  // namespace basBootloader
