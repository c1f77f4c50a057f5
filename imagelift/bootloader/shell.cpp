// The 1394 shell: characters of the target's UART console carried through the protocol region.
// Protocol 1 asks with command 8 and gets a status block, protocol 3 asks with command 8 and
// gets a count; both hand characters over in the response payload area and take typed
// characters with command 9. Protocol 2 needs no command: the target mirrors its output ring in
// the response payload area and reads typed characters from the request payload area.
#include "bootloader/shell.h"
#include "bootloader/transaction.h"
#include "bootloader/internal.h"

#include "kernel/mutex.h"
#include "support/byte_utils.h"

namespace basBootloader {

namespace {

constexpr int32_t kShellPiece = 128;

ByteArray text(const std::string& s) { return ByteArray(s.begin(), s.end()); }

const std::string kCrLf = "\r\n";

// No characters: nothing, or the lone NUL a target sends when it has none.
bool holdsNoCharacters(const ByteArray& chars) { return chars.empty() || (chars.size() == 1 && chars[0] == 0); }

// The TargetList mutex around one shell read or write, with the procedure's MUTEX lines.
class TargetListHold {
public:
    explicit TargetListHold(const std::string& who) : who_(who) {
        Log(who_ + " is taking the TargetList mutex", basDebug::MUTEX);
        wait_ = kernel::WaitForSingleObject(State.TargetListMutexHandle, uint32_t(State.MutexWaitMs));
        // An abandoned mutex counts as a failure: give it up again.
        if (wait_ == kernel::WAIT_ABANDONED) kernel::ReleaseMutex(State.TargetListMutexHandle);
        if (wait_ == kernel::WAIT_OBJECT_0) hold_.Adopt(State.TargetListMutexHandle);
    }
    // 0 when taken, else the wait result.
    uint32_t WaitResult() const { return wait_; }
    void Release() {
        if (hold_.Release()) {
            Log(who_ + " released the TargetList Mutex.", basDebug::MUTEX);
        } else {
            Log(who_ + " failed to release the TargetList Mutex.", basDebug::ERROR_LEVEL);
        }
    }

private:
    std::string who_;
    uint32_t wait_ = kernel::WAIT_FAILED;
    MutexHold hold_;
};

// Command 8 of protocols 1 and 3: asks the target what it has. 1 with the answer's operands
// (at least one quadlet), or the failure code. `exchange` then holds the transaction mutex, so
// that the characters the answer announces are read before anyone else's exchange.
int32_t askForCharacters(int32_t handle, MutexHold& exchange, BootPacket& response) {
    BootPacket request;
    request.Command = kCmdReadShell;
    int32_t result = TakeTransactionMutex(exchange) ? SessionLayerTransaction(handle, request, response, 0) : -1;
    if (result != 1) {
        Log("ReadShellCharacters failed: Transaction failed, code " + Str(result), basDebug::WARNING);
        return result;
    }
    if (response.OperandCount == 0) {
        Log("ReadShellCharacters failed: no byte indicating size of Uart buffer");
        return -1;
    }
    return 1;
}

int32_t readShellVer3(int32_t handle, ByteArray& characters) {
    MutexHold exchange;
    BootPacket response;
    int32_t result = askForCharacters(handle, exchange, response);
    if (result != 1) return result;
    // The whole count matters: 256, 512 ... have a first byte of 0.
    const int32_t count = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
    if (count <= 0) return 1;
    ByteArray received;
    result = ReadResponseBuffer(handle, count, received);
    if (result == 1) {
        received.resize(size_t(count), 0);
        characters = received;
    }
    return result;
}

}  // namespace

int32_t ReadShellCharacters_Ver1(int32_t handle, ByteArray& characters) {
    try {
        MutexHold exchange;
        BootPacket response;
        int32_t result = askForCharacters(handle, exchange, response);
        if (result != 1) return result;
        const ByteArray& ops = response.Operands;
        // Operands the target did not send read as 0.
        const int32_t status = basUtils::ReadI32(ops, 4, ByteOrder::Little);
        const int32_t charsLost = basUtils::ReadI32(ops, 8, ByteOrder::Little);
        ByteArray notice;
        if (charsLost > 0) {
            notice = text(kCrLf + kCrLf + " << buffer overflow on target: " + Str(charsLost) + " characters lost >>" +
                          kCrLf + kCrLf);
        }
        if (ops.size() < 4) {
            Log("ReadShellCharacters: the target indicates that there is " + Str(response.OperandCount) +
                    " quadlets returned but the payload is empty.",
                basDebug::WARNING);
            return 1;
        }
        const int32_t received = basUtils::ReadI32(ops, 0, ByteOrder::Little);
        if (received <= 0) return 1;
        Log("ReadShellCharacters: received=" + Str(received) + " status=" + Str(status) + " charsLost=" +
                Str(charsLost),
            basDebug::DETAIL);
        // The status block's ring registers are kept most significant byte first.
        auto hex16 = [&](size_t at) { return vb::Hex(int16_t(basUtils::ReadU16(ops, at, ByteOrder::Big))); };
        if (ops.size() > 19) {
            Log("ReadShellCharacters: head=0x" + hex16(12) + "  tail=0x" + hex16(18) + "  bufferStart=0x" + hex16(14) +
                    "  sizeOfPayload=0x" + hex16(16),
                basDebug::DETAIL);
        }
        if (ops.size() > 27) {
            Log("ReadShellCharacters:  maxPayload=0x" + vb::Hex(basUtils::ReadI32(ops, 20, ByteOrder::Big)) + "  numBytesCopied=0x" + hex16(26) +
                    "  txCharCount=0x" + hex16(24),
                basDebug::DETAIL);
        }
        ByteArray bytes;
        result = ReadResponseBuffer(handle, received, bytes);
        if (result == 1) bytes.resize(size_t(received), 0);
        if (!notice.empty()) {
            if (result == 1) {
                notice.insert(notice.end(), bytes.begin(), bytes.end());
                characters = notice;
            } else {
                Log("Failed to read characters from the Response Buffer.", basDebug::WARNING);
            }
        } else if (result == 1) {
            characters = bytes;
        } else {
            Log("Failed to read characters from the Response Buffer, code " + Str(result) + "(0x" + vb::Hex(result) + ").",
                basDebug::WARNING);
        }
        return result;
    } catch (...) {
        LogTrapped(" in basBootloader.ReadShellCharacters_Ver1.  Exiting...");
        return -1;
    }
}

int32_t ReadShellCharacters_Ver2(int32_t handle, ByteArray& characters, bool wrapNotices) {
    try {
        const int32_t index = GetDeviceIndex(handle);
        if (index < 0) return -1;
        const ByteOrder order =
            State.TargetList[index].Info.ProtocolVersion == kProtocolV2BigEndian ? ByteOrder::Big : ByteOrder::Little;
        // The header and the ring must come from one moment of the target, with no other
        // holder's exchange (a key read replaces the ring) in between.
        MutexHold exchange;
        if (!TakeTransactionMutex(exchange, "ReadShellCharacters")) return -1;

        ByteArray header;
        int32_t result = ReadResponseBuffer(handle, 8, header);
        if (result != 1) return result;
        const int32_t size = int32_t(basUtils::ReadU16(header, 4, order)) + 1;
        int32_t head = int32_t(basUtils::ReadU16(header, 6, order));
        // Each target has its own read position: two shells never share one.
        int32_t& position = State.TargetList[index].ShellReadPosition;
        if (head == position) return 1;

        ByteArray ring;
        result = ReadResponseBuffer(handle, size + 8, ring);
        if (result != 1) return result;
        ring.resize(size_t(size) + 8, 0);
        const int32_t status = basUtils::ReadI32(ring, 0, order);
        const int32_t mask = int32_t(basUtils::ReadU16(ring, 4, order));
        head = int32_t(basUtils::ReadU16(ring, 6, order));
        if (mask != size - 1) {
            Log("ReadShellCharacters error: the target changed its ring size from " + Str(size) + " to " +
                    Str(mask + 1) + " bytes",
                basDebug::ERROR_LEVEL);
            return -1;
        }
        int32_t tail = position;

        int32_t fresh = 0;
        int32_t lost = -1;
        const int32_t distance = head - tail;
        if (distance >= size) {
            lost = distance - size;
        } else if (distance >= 0) {
            fresh = distance;
        } else {
            // The target's 16-bit head has passed 65535 and started again at 0, or the head is a
            // ring index that has wrapped.
            const int32_t wrapped = distance + 65536;
            if (wrapped < size) {
                fresh = wrapped;
            } else if (size - (tail - head) > 0) {
                fresh = size - (tail - head);
            } else {
                lost = wrapped - size;
            }
        }
        if (lost >= 0) {
            Log("ReadShellCharacters error: Overflow: loss of " + Str(lost) + " bytes", basDebug::ERROR_LEVEL);
            fresh = size;
            tail = head - size;
        }

        if (fresh > 0) {
            ByteArray out;
            const int32_t from = tail & mask;
            if (from + fresh < size) {
                for (int32_t i = 0; i < fresh; ++i) out.push_back(ring[8 + ((tail + 1 + i) & mask)]);
            } else {
                for (int32_t i = from + 1; i <= size - 1; ++i) out.push_back(ring[8 + i]);
                if (wrapNotices) {
                    ByteArray notice = text(kCrLf + " *** BUFFER WRAP *** " + kCrLf);
                    out.insert(out.end(), notice.begin(), notice.end());
                }
                for (int32_t i = 0; i <= (head & mask); ++i) out.push_back(ring[8 + i]);
            }
            characters = out;
        }
        position = head;

        if (fresh > 0) {
            if (characters.size() == 4) {
                const int32_t value = basUtils::ReadI32(characters, 0, order);
                if (value == int32_t(characters[3])) characters = ByteArray{characters[3]};
            }
            Log("ReadShellCharacters: response buffer header (status=0x" + vb::Hex(status) + ", head=" + Str(head) +
                    ", mask=" + Str(mask) + ")",
                basDebug::TRACE);
            Log("ReadShellCharacters: NumNewBytes=" + Str(fresh), basDebug::TRACE);
        }
        return 1;
    } catch (...) {
        LogTrapped(" in basBootloader.ReadShellCharacters_Ver2.  Exiting...");
        return -1;
    }
}

int32_t ReadShellCharacters(int32_t handle, ByteArray& characters, bool wrapNotices) {
    characters = ByteArray{0};
    if (handle == 0 || handle == kHandleCreated) {
        Log("ReadShellCharacters failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
        return -101;
    }
    TargetListHold hold("ReadShellCharacters");
    if (hold.WaitResult() != kernel::WAIT_OBJECT_0) {
        Log("ReadShellCharacters failed: Timed out waiting for TargetList mutex, code " + Str(hold.WaitResult()),
            basDebug::ERROR_LEVEL);
        return -100;
    }
    int32_t result = -1;
    try {
        const int32_t index = GetDeviceIndex(handle);
        if (index < 0) {
            Log("WARNING: no bootloader device with handle 0x" + vb::Hex(handle), basDebug::WATCH);
            result = 0;
        } else if (State.DownloadBlockInFlight == handle) {
            // The target's request and response areas belong to the block awaiting its answer.
            Log("ReadShellCharacters: download block in flight for device handle " + Str(handle) + ", poll skipped",
                basDebug::TRACE);
            result = 1;
        } else {
            const int32_t version = State.TargetList[index].Info.ProtocolVersion;
            switch (version) {
            case 1: result = ReadShellCharacters_Ver1(handle, characters); break;
            case 2:
            case kProtocolV2BigEndian: result = ReadShellCharacters_Ver2(handle, characters, wrapNotices); break;
            case 3: result = readShellVer3(handle, characters); break;
            default:
                Log("ReadShellCharacters failed: invalid protocol version: " + Str(version), basDebug::WATCH);
                result = 0;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.ReadShellCharacters.  Exiting...");
        result = -1;
    }
    hold.Release();
    return result;
}

int32_t WriteShellCharacters(int32_t handle, const ByteArray& characters) {
    if (handle == 0) {
        Log("WriteShellCharacters failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
        return -101;
    }
    TargetListHold hold("WriteShellCharacters");
    if (hold.WaitResult() != kernel::WAIT_OBJECT_0) {
        Log("WriteShellCharacters failed: Timed out waiting for TargetList mutex, code " + Str(hold.WaitResult()));
        return -100;
    }
    int32_t result = -1;
    try {
        const int32_t index = GetDeviceIndex(handle);
        if (holdsNoCharacters(characters)) {
            Log("Warning: WriteShellCharacters fail: no data to send", basDebug::WARNING);
            result = -1;
        } else if (index < 0) {
            result = 0;
        } else if (State.DownloadBlockInFlight == handle) {
            Log("WriteShellCharacters: download block in flight for device handle " + Str(handle) +
                    ", characters not sent",
                basDebug::WATCH);
            result = -1;
        } else {
            const int32_t version = State.TargetList[index].Info.ProtocolVersion;
            if (version == 1 || version == 3) {
                result = 1;
                for (size_t at = 0; at < characters.size(); at += kShellPiece) {
                    const size_t n = std::min<size_t>(kShellPiece, characters.size() - at);
                    ByteArray piece(characters.begin() + at, characters.begin() + at + n);
                    // The piece and the request that announces it go under one hold.
                    MutexHold exchange;
                    const bool held = TakeTransactionMutex(exchange);
                    int32_t r = held ? WriteRequestBuffer(handle, piece) : 1;
                    if (r != 1) {
                        Log("WriteShellCharacters failed: WriteRequestBuffer failed, code " + Str(r));
                        result = r;
                        break;
                    }
                    BootPacket request, response;
                    request.Command = kCmdWriteShell;
                    request.OperandCount = 1;
                    basUtils::AppendU32(request.Operands, uint32_t(n), ByteOrder::Little);
                    r = held ? SessionLayerTransaction(handle, request, response, 0) : -1;
                    if (r != 1) {
                        Log("WriteShellCharacters failed: Transaction failed, code " + Str(r));
                        result = r;
                        break;
                    }
                }
            } else if (version == 2 || version == kProtocolV2BigEndian) {
                // Six zero bytes, the count in the target's byte order, the characters, zeros
                // up to a whole quadlet.
                const ByteOrder order = version == kProtocolV2BigEndian ? ByteOrder::Big : ByteOrder::Little;
                ByteArray block(6, 0);
                basUtils::AppendU16(block, uint16_t(characters.size()), order);
                block.insert(block.end(), characters.begin(), characters.end());
                block.resize(block.size() + (4 - characters.size() % 4) % 4, 0);
                MutexHold exchange;
                result = TakeTransactionMutex(exchange, "WriteShellCharacters") ? WriteRequestBuffer(handle, block) : -1;
            } else {
                Log("WriteShellCharacters failed: invalid protocol version: " + Str(version), basDebug::WATCH);
                result = 0;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.WriteShellCharacters.  Exiting...");
        result = -1;
    }
    hold.Release();
    return result;
}

}  // namespace basBootloader
