#include "bootloader/transfer.h"

#include <algorithm>

#include "bootloader/commands.h"
#include "bootloader/internal.h"
#include "support/byte_utils.h"

namespace basBootloader {

namespace {

constexpr int32_t kBlockLimit = 1024;
constexpr int32_t kDownloadStartTimeoutMs = 40000;
constexpr int32_t kDownloadEndTimeoutMs = 70000;

}  // namespace

TransferResult TransferImage(const TransferRequest& request, TransferReporter& reporter) {
    const FwpHeader& h = *request.header;
    const FwpImageRecord& record = request.record;
    int32_t maxBlockSize = 0;
    int32_t r = DownloadStart(request.handle, uint8_t(request.imageType & 0xFF), h.Date, h.Time, h.SoftwareId,
                              h.SoftwareVersion, request.targetAddress, record.Length, record.Crc, maxBlockSize,
                              kDownloadStartTimeoutMs, request.startProgress, request.window);
    reporter.StartAnswered(r);
    if (r != 1) return {.code = r};
    // A block size below one byte would never move the transfer on.
    if (maxBlockSize < 1) {
        reporter.BadBlockSize(maxBlockSize);
        return {};
    }
    const int32_t limit = std::min(maxBlockSize, kBlockLimit);
    const int64_t length = record.Length;
    reporter.BlocksBegin(length);

    int64_t sent = 0;
    int32_t fileOffset = record.FileOffset;
    int32_t blockNumber = 0;
    int32_t failures = 0;
    bool blocksFailed = false;
    int32_t blockResult = 1;
    ByteArray block;
    {
        // The blocks only: their pauses give the reporter its room.
        const PauseWorkScope pauses([&reporter] { reporter.Paused(); });
        while (sent < length) {
            const int32_t address = int32_t(uint32_t(request.targetAddress) + uint32_t(sent));
            reporter.Sending(sent);
            const int32_t blockSize = int32_t(std::min<int64_t>(length - sent, limit));
            if (basUtils::CopyBytes(*request.fileData, fileOffset, blockSize, block, 0) != 1) {
                reporter.CopyFailed(blockSize, fileOffset);
                blocksFailed = true;
                blockResult = -1;
                break;
            }
            block.resize(size_t(blockSize));
            r = DownloadBlock(request.handle, blockNumber, address, blockSize, block);
            if (r == 1) {
                failures = 0;
                ++blockNumber;
                sent += blockSize;
                fileOffset += blockSize;
                continue;
            }
            ++failures;
            const bool last = failures >= kTransferAttemptsPerBlock;
            reporter.BlockFailed(r, address, last);
            if (last) {
                blocksFailed = true;
                blockResult = r;
                break;
            }
        }
    }

    int32_t crc = record.Crc, validity = 0;
    int32_t endResult = DownloadEnd(request.handle, crc, validity, kDownloadEndTimeoutMs);
    if (endResult != 1) {
        reporter.EndFailed();
    } else if (validity != 0) {
        endResult = -1;
        reporter.CrcFailed(crc, validity);
    }
    return {.code = blocksFailed ? blockResult : endResult, .reachedBlocks = true};
}

}  // namespace basBootloader
