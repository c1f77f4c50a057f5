// The bootloader command set: one procedure per command, each one transaction (the download
// block runs its own exchange under the transaction mutex).
#include "bootloader/commands.h"
#include "bootloader/transaction.h"
#include "bootloader/internal.h"

#include "clock/clock.h"
#include "kernel/mutex.h"
#include "support/byte_utils.h"

namespace basBootloader {

namespace {

BootPacket makeRequest(int32_t command, uint8_t operandCount, ByteArray operands = {}) {
    BootPacket p;
    p.Command = command;
    p.OperandCount = operandCount;
    p.Operands = std::move(operands);
    return p;
}

ByteArray exactly8(const ByteArray& b) {
    ByteArray out(8, 0);
    for (size_t i = 0; i < 8 && i < b.size(); ++i) out[i] = b[i];
    return out;
}

// Hex pairs of the bytes with the order of each quadlet reversed (the written order of a GUID
// or MAC that callers pass quadlet-swapped).
std::string unswappedPairs(const ByteArray& b) {
    ByteArray copy = b;
    basUtils::ChangeEndian(copy);
    return basUtils::ByteArrayToHexString(copy);
}

constexpr int32_t kDownloadBlockPolls = 4;
constexpr int32_t kDownloadBlockPollGapMs = 20;
constexpr int32_t kMaxBlockSizeUsed = 4096;

// A command whose answer carries no operands, and the lines its exchange logs. Every line
// starts with the procedure's name:
//   before the exchange:        the announce line, if any;
//   a failed exchange:          "<name> failed: Transaction failed, code <n>" (with
//                               failedNamesNode: "<name> (node #<node>) failed: ...");
//   an answer with operands:    "<name> <operandsWord>: expected 0 operands, received <n>"
//                               (the command still counts as done);
//   otherwise doneText, if any.
struct NoOperandCommand {
    const char* name;
    int32_t command;
    uint8_t operandCount = 0;
    ByteArray operands{};
    int32_t timeoutMs = 0;  // 0: one poll
    std::string (*announce)(const ByteArray& operands) = nullptr;
    basDebug::LevelArg announceLevel{};
    basDebug::LevelArg failedLevel{};
    bool failedNamesNode = false;
    const char* operandsWord = "failure";
    basDebug::LevelArg operandsLevel{};
    const char* doneText = nullptr;
    basDebug::LevelArg doneLevel{};
    // Older bootloaders carry the command out without answering it. That counts as done only
    // when the request did reach the target.
    bool unansweredIsDone = false;
    // A failure raised on the way is logged ("... in basBootloader.<name>.  Exiting...") and the
    // result stays what it was; false: it goes on to the caller.
    bool trapsFailures = true;
};

// One transaction of such a command; its result (1 when done).
int32_t runNoOperandCommand(int32_t handle, const NoOperandCommand& c) {
    const std::string name = c.name;
    int32_t result = -1;
    auto exchange = [&] {
        if (c.announce) Log(c.announce(c.operands), c.announceLevel);
        BootPacket request = makeRequest(c.command, c.operandCount, c.operands), response;
        bool sent = false;
        result = Transact(handle, request, response, c.timeoutMs, nullptr, 0, &sent);
        if (result != 1) {
            if (!c.unansweredIsDone) {
                const std::string node =
                    c.failedNamesNode ? " (node #" + Str(GetNodeNum(handle).NodeNumber) + ")" : "";
                Log(name + node + " failed: Transaction failed, code " + Str(result), c.failedLevel);
            } else if (sent) {
                Log(name + ": bootloader does not respond to this command, assuming success, transaction code " +
                        Str(result),
                    basDebug::USER);
                result = 1;
            } else {
                Log(name + " failed: the request was not sent, code " + Str(result), basDebug::WARNING);
            }
        } else if (response.OperandCount != 0) {
            Log(name + " " + c.operandsWord + ": expected 0 operands, received " + Str(response.OperandCount),
                c.operandsLevel);
        } else if (c.doneText) {
            Log(c.doneText, c.doneLevel);
        }
    };
    if (!c.trapsFailures) {
        exchange();
        return result;
    }
    try {
        exchange();
    } catch (...) {
        LogTrapped(" in basBootloader." + name + ".  Exiting...");
    }
    return result;
}

// Marks a target's download block as in flight for a scope.
class BlockInFlight {
public:
    explicit BlockInFlight(int32_t handle) : previous_(State.DownloadBlockInFlight) { State.DownloadBlockInFlight = handle; }
    ~BlockInFlight() { State.DownloadBlockInFlight = previous_; }

private:
    int32_t previous_;
};

}  // namespace

int32_t Haltbootloader(int32_t handle) {
    int32_t result = -1;
    try {
        BootPacket request = makeRequest(kCmdHalt, 0), response;
        result = SessionLayerTransaction(handle, request, response, 0);
        if (result != 1) {
            Log("Haltbootloader failed: Transaction failed, code " + Str(result), basDebug::WARNING);
        } else {
            Log("Sent halt command to node #" + Str(GetNodeNum(handle).NodeNumber), basDebug::TRACE);
        }
    } catch (...) {
        LogTrapped(" in basBootloader.HaltBootloader.  Exiting...");
    }
    return result;
}

int32_t ResetDevice(int32_t handle, uint8_t resetMode) {
    int32_t result = -1;
    try {
        Log("Resetting bootloader device 0x" + Str(handle), basDebug::TRACE);
        // One operand quadlet: the mode in byte 0; the write pads the rest with zeros.
        BootPacket request = makeRequest(kCmdReset, 1, ByteArray{resetMode}), response;
        result = SessionLayerTransaction(handle, request, response, 0);
        if (result != 1) Log("ResetDevice failed: Transaction failed, code " + Str(result));
    } catch (...) {
        LogTrapped(" in basBootloader.ResetDevice.  Exiting...");
    }
    return result;
}

int32_t ReadImageCRC(int32_t handle, uint8_t imageType, int32_t& crc, int32_t& crcValidity) {
    int32_t result = -1;
    try {
        if (handle < 1) {
            Log("ReadImageCRC failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
            return -101;
        }
        BootPacket request = makeRequest(kCmdReadImageCrc, 1, ByteArray{imageType, 0, 0, 0}), response;
        result = SessionLayerTransaction(handle, request, response, 2000);
        if (result != 1) {
            Log("ReadImageCRC failed: Transaction failed, code " + Str(result), basDebug::WARNING);
            return result;
        }
        if (response.OperandCount != 2) {
            Log("ReadImageCRC failure: expected 2 operands, received " + Str(response.OperandCount));
            return -1;
        }
        crc = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
        crcValidity = basUtils::ReadI32(response.Operands, 4, ByteOrder::Little);
        if (crcValidity != 0) {
            Log("ReadImageCRC warning: target indicates invalid CRC value: 0x" + vb::Hex(crcValidity));
        }
    } catch (...) {
        LogTrapped(" in basBootloader.ReadImageCRC.  Exiting...");
    }
    return result;
}

int32_t DownloadStart(int32_t handle, uint8_t imageType, const ByteArray& date, const ByteArray& time,
                      int32_t softwareId, int32_t softwareVersion, int32_t targetAddress, int32_t length,
                      int32_t crc, int32_t& maxBlockSize, int32_t timeoutMs, IProgressBar* progressBar,
                      int32_t window) {
    int32_t result = -1;
    try {
        ByteArray ops{imageType, 0, 0, 0};
        ByteArray d = exactly8(date), t = exactly8(time);
        ops.insert(ops.end(), d.begin(), d.end());
        ops.insert(ops.end(), t.begin(), t.end());
        for (int32_t v : {softwareId, softwareVersion, targetAddress, length, crc}) {
            basUtils::AppendU32(ops, v, ByteOrder::Little);
        }
        BootPacket request = makeRequest(kCmdDownloadStart, 10, ops), response;
        result = SessionLayerTransaction(handle, request, response, timeoutMs, progressBar, window);
        if (result != 1) {
            Log("DownloadStart failed: Transaction failed, code " + Str(result));
            return result;
        }
        if (response.OperandCount != 1) {
            Log("DownloadStart failure: expected 4 operands, received " + Str(response.OperandCount));
            return -1;
        }
        maxBlockSize = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
        if (maxBlockSize < 1) {
            std::string bytes;
            for (int i = 0; i < 4; ++i) {
                bytes += (i ? " 0x" : "0x") + vb::Hex(response.Operands[i]);
            }
            Log("Bootloader returned invalid parameter to DownloadStart command!  MAX BLOCK SIZE = " + bytes + "!",
                basDebug::ERROR_LEVEL);
            return -1;
        }
        if (maxBlockSize > kMaxBlockSizeUsed) {
            Log("Download start: Max Block size is " + Str(maxBlockSize) +
                    ".  This seems awefully large.  Setting to " + Str(kMaxBlockSizeUsed),
                basDebug::USER);
            maxBlockSize = kMaxBlockSizeUsed;
        }
    } catch (...) {
        LogTrapped(" in basBootloader.DownloadStart.  Exiting...");
    }
    return result;
}

int32_t DownloadBlock(int32_t handle, int32_t blockNumber, int32_t blockAddress, int32_t blockLength,
                      ByteArray& data) {
    int32_t result = -1;
    MutexHold hold;
    try {
        if (handle < 1) {
            Log("DownloadBlock failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
            return -101;
        }
        Log("DownloadBlock taking the Transaction Mutex...", basDebug::MUTEX);
        uint32_t wait = kernel::WaitForSingleObject(State.TransactionMutexHandle, uint32_t(State.MutexWaitMs));
        if (wait != kernel::WAIT_OBJECT_0) {
            // Writing the block without the mutex could interleave with another holder's
            // exchange with this very target; the download counts the block as a failed attempt.
            if (wait == kernel::WAIT_ABANDONED) kernel::ReleaseMutex(State.TransactionMutexHandle);
            Log("DownloadBlock failed to take the Transaction Mutex, code %#x (%s).  Continuing anyway.  code = " +
                    Str(wait),
                basDebug::WATCH);
            return -1;
        }
        hold.Adopt(State.TransactionMutexHandle);
        BlockInFlight inFlight(handle);

        ByteArray ops;
        ops.reserve(12);
        basUtils::AppendU32(ops, blockNumber, ByteOrder::Little);
        basUtils::AppendU32(ops, blockAddress, ByteOrder::Little);
        basUtils::AppendU32(ops, blockLength, ByteOrder::Little);
        BootPacket request = makeRequest(kCmdDownloadBlock, 3, std::move(ops)), response;
        // The payload, the request and the first read of the answer.
        const PayloadExchange first = SendWithPayload(handle, data, request, response);
        if (first.payload != 1) {
            Log("DownloadBlock failed, WriteRequestBuffer returned code " + Str(first.payload), basDebug::ERROR_LEVEL);
            result = -1;
        } else if (first.request != 1) {
            Log("DownloadBlock failed: SendRequest failed, code " + Str(first.request), basDebug::ERROR_LEVEL);
            result = first.request;
        } else {
            int32_t echo = 0, status = 0;
            for (int poll = 1; poll <= kDownloadBlockPolls; ++poll) {
                echo = 0;
                status = 0;
                if (poll == 1) {
                    result = first.response;
                } else {
                    response = BootPacket{};
                    result = GetResponse(handle, response);
                }
                if (result != 1) {
                    Log("DownloadBlock failed: GetResponse returned error code " + Str(result),
                        basDebug::ERROR_LEVEL);
                } else if ((result = ValidateResponse(request, response)) != 1) {
                    Log("DownloadBlock failed: Validate response failed, code " + Str(result),
                        basDebug::ERROR_LEVEL);
                } else if (response.OperandCount != 2) {
                    Log("DownloadBlock failure: expected 2 operands, received " + Str(response.OperandCount),
                        basDebug::ERROR_LEVEL);
                    result = -1;
                } else {
                    echo = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
                    status = basUtils::ReadI32(response.Operands, 4, ByteOrder::Little);
                    result = 1;
                    if (echo != blockNumber) result = -102;
                    if (status != 0) {
                        Log("DownloadBlock failure: Target returned error code " + Str(status) + " (0x" +
                                vb::Hex(status) + ")",
                            basDebug::ERROR_LEVEL);
                        result = -2;
                    }
                }
                if (result == 1 || result == -2) break;
                if (poll == kDownloadBlockPolls) {
                    result = -2;
                    break;
                }
                clk::DoEvents();
                clk::Sleep(kDownloadBlockPollGapMs);
            }
            if (result == -2) {
                if (echo != blockNumber) result = -102;
                if (status != 0) result = status == 1 ? -101 : status;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.DownloadBlock.  Exiting...");
    }
    if (hold.Release()) {
        Log("DownloadBlock released the Transaction Mutex.", basDebug::MUTEX);
    } else {
        Log("DownloadBlock failed to release the Transaction Mutex.", basDebug::ERROR_LEVEL);
    }
    return result;
}

int32_t DownloadEnd(int32_t handle, int32_t& crc, int32_t& crcValidity, int32_t timeoutMs,
                    IProgressBar* progressBar, int32_t window) {
    BootPacket request = makeRequest(kCmdDownloadEnd, 0), response;
    int32_t result = SessionLayerTransaction(handle, request, response, timeoutMs, progressBar, window);
    if (result != 1) {
        Log("DownloadEnd failed: Transaction failed, code " + Str(result));
        return result;
    }
    if (response.OperandCount != 2) {
        Log("DownloadEnd failure: expected 8 operands, received " + Str(response.OperandCount));
        return -1;
    }
    crc = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
    crcValidity = basUtils::ReadI32(response.Operands, 4, ByteOrder::Little);
    return result;
}

int32_t SwitchTo1394Shell(int32_t handle, int32_t value1, int32_t value2) {
    ByteArray ops;
    for (int32_t v : {value1, value2}) basUtils::AppendU32(ops, v, ByteOrder::Big);
    return runNoOperandCommand(handle, {.name = "SwitchTo1394Shell", .command = kCmdSwitchToShell,
                                        .operandCount = 2, .operands = ops, .trapsFailures = false});
}

int32_t ProgramGUID(int32_t handle, const ByteArray& guid) {
    return runNoOperandCommand(
        handle, {.name = "ProgramGUID", .command = kCmdProgramGuid, .operandCount = 2, .operands = exactly8(guid),
                 .announce = [](const ByteArray& ops) { return "Setting GUID to " + unswappedPairs(ops) + "..."; },
                 .announceLevel = basDebug::WATCH,
                 .doneText = "Successfully set the GUID to the new value.",
                 .doneLevel = basDebug::TRACE});
}

int32_t ProgramMAC(int32_t handle, const ByteArray& mac) {
    // Callers pass m1..m6 00 00 with each quadlet reversed; un-reversed, the MAC is the first
    // six pairs.
    return runNoOperandCommand(
        handle, {.name = "ProgramMAC", .command = kCmdProgramMac, .operandCount = 2, .operands = exactly8(mac),
                 .announce = [](const ByteArray& ops) {
                     return "Setting MAC address to " + unswappedPairs(ops).substr(0, 17) + "...";
                 },
                 .announceLevel = basDebug::USER,
                 .doneText = "Successfully set MAC address to the new value.",
                 .doneLevel = basDebug::USER});
}

int32_t InitializePersistentParams(int32_t handle) {
    return runNoOperandCommand(
        handle, {.name = "InitializePersistentParams", .command = kCmdInitPersistentParams, .timeoutMs = 10000,
                 .announce = [](const ByteArray&) { return std::string("InitializePersistentParams called"); },
                 .announceLevel = basDebug::TRACE,
                 .failedLevel = basDebug::WARNING,
                 .operandsWord = "warning",
                 .operandsLevel = basDebug::WARNING,
                 .doneText = "InitializePersistentParams succeeded",
                 .doneLevel = basDebug::TRACE});
}

int32_t InitializeConfigToFactoryDefaults(int32_t handle) {
    return runNoOperandCommand(handle, {.name = "InitializeConfigToFactoryDefaults",
                                        .command = kCmdFactoryDefaults,
                                        .operandsWord = "warning",
                                        .unansweredIsDone = true});
}

int32_t SetDebugGUID(int32_t handle, const ByteArray& guid) {
    return runNoOperandCommand(
        handle, {.name = "SetDebugGUID", .command = kCmdSetDebugGuid, .operandCount = 2, .operands = exactly8(guid),
                 .failedLevel = basDebug::ERROR_LEVEL,
                 .failedNamesNode = true,
                 .operandsLevel = basDebug::ERROR_LEVEL});
}

int32_t GetDebugGUID(int32_t handle, ByteArray& guid) {
    int32_t result = -1;
    try {
        if (handle < 1) {
            Log("GetDebugGUID failed: invalid device handle: " + Str(handle));
            return 0;
        }
        BootPacket request = makeRequest(kCmdGetDebugGuid, 0), response;
        result = SessionLayerTransaction(handle, request, response, 0);
        if (result != 1) {
            Log("GetDebugGUID failed: Transaction failed, code " + Str(result), basDebug::WARNING);
            return result;
        }
        if (response.OperandCount != 2) {
            Log("GetDebugGUID failure: expected 2 operands, received " + Str(response.OperandCount));
            return -1;
        }
        guid.assign(response.Operands.begin(), response.Operands.begin() + 8);
    } catch (...) {
        LogTrapped(" in basBootloader.GetDebugGUID.  Exiting...");
    }
    return result;
}

int32_t StartImage(int32_t handle, int32_t imageType, int32_t& startResult) {
    int32_t result = -1;
    try {
        ByteArray ops;
        basUtils::AppendU32(ops, imageType, ByteOrder::Little);
        BootPacket request = makeRequest(kCmdStartImage, 1, ops), response;
        result = SessionLayerTransaction(handle, request, response, 0);
        if (result != 1) {
            Log("StartImage failed: Transaction failed (this is probably due to the fact that the bootloader is no "
                "longer running), code " +
                    Str(result),
                basDebug::WARNING);
            return result;
        }
        if (response.OperandCount != 1) {
            Log("StartImage warning: expected 4 operands, received " + Str(response.OperandCount));
            return result;
        }
        startResult = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
        if (startResult == -1) {
            Log("StartImage Failed: bad CRC of debugger image on embedded target!", basDebug::ERROR_LEVEL);
        }
    } catch (...) {
        LogTrapped(" in basBootloader.StartImage.  Exiting...");
    }
    return result;
}

}  // namespace basBootloader
