// The transaction layer: one request written into the target's request area, its answer polled
// from the response area, both under the machine-wide transaction mutex; raw payload writes and
// reads for the commands that move bulk data.
#include "bootloader/transaction.h"
#include "bootloader/internal.h"

#include "bus1394/transactions.h"
#include "clock/clock.h"
#include "kernel/mutex.h"
#include "support/program_context.h"
#include "user/user.h"

namespace basBootloader {

namespace {
constexpr uint32_t kWmPaint = 0x000F;
constexpr int32_t kPauseAfterReadMs = 10;
constexpr int32_t kPauseBetweenPollsMs = 100;

bool validNode(int16_t n) { return n >= 0 && n <= 62; }

std::string pair(int64_t request, const std::string& requestHex, int64_t response,
                 const std::string& responseHex) {
    return "(request = " + Str(request) + " (0x" + requestHex + "), response = " + Str(response) +
           " (0x" + responseHex + ")";
}

// Numbers the request and lays it out as it goes into the request area: version (4 bytes),
// sequence (2), command (1), operand quadlets (1), the operands.
ByteArray requestBytes(BootPacket& request, int32_t version) {
    ++State.CommandSequence;
    if (State.CommandSequence >= 32767) State.CommandSequence = 1;
    request.ProtocolVersion = version;
    request.Sequence = int16_t(State.CommandSequence);
    if (request.Command < 0 || request.Command > 255) vb::Raise(6);  // does not fit the byte
    ByteArray bytes;
    bytes.reserve(8 + request.Operands.size());
    basUtils::AppendU32(bytes, uint32_t(version), ByteOrder::Little);
    basUtils::AppendU16(bytes, uint16_t(request.Sequence), ByteOrder::Little);
    bytes.push_back(uint8_t(request.Command));
    bytes.push_back(request.OperandCount);
    if (request.OperandCount > 0) bytes.insert(bytes.end(), request.Operands.begin(), request.Operands.end());
    return bytes;
}

// The checks SendRequest makes before it writes, made without a word: the protocol version of
// the request when they all pass, else 0.
int32_t quietRequestVersion(int32_t handle, const BootPacket& request, const bas1394::NodeRecord& node) {
    if (handle < 1 || !validNode(node.NodeNumber)) return 0;
    const int32_t index = GetDeviceIndex(handle);
    if (index < 0) return 0;
    const int32_t version = State.TargetList[index].Info.ProtocolVersion;
    if (version > 255 || request.Command < 0 || request.Command > 255) return 0;
    return version;
}

void logPayloadWriteFailed(int32_t result, const bas1394::NodeRecord& node) {
    Log("bas1394.WriteRequestBuffer failed: AsyncWriteWrapper failed, code " + Str(result) +
        "  params: NodeNum=" + Str(node.NodeNumber));
}

void logRequestWriteFailed(int32_t result) { Log("SendRequest failed: AsyncWriteWrapper failed, code " + Str(result)); }

std::function<void()> g_pauseWork;

// The pause the target needs after each read of its response area. Work given for it runs first;
// the pause then ends 10 ms after it began, to the microsecond, never sooner.
void pauseAfterRead() {
    const int64_t end = clk::QueryPerformanceCounter() + kPauseAfterReadMs * (clk::kCounterFrequency / 1000);
    if (g_pauseWork) {
        try {
            g_pauseWork();
        } catch (...) {
            // Display work that failed takes nothing from the exchange.
        }
    }
    clk::SleepUntil(end);
}

// The answer read from the response area (`result` of the read), after the pause the target
// needs after each read of it.
int32_t takeResponse(int32_t result, ByteArray& data, BootPacket& response) {
    pauseAfterRead();
    if (result != 1) {
        Log("GetResponse failed in AsyncReadWrapper, code " + Str(result), basDebug::WARNING);
        return result;
    }
    data.resize(std::max<size_t>(data.size(), kResponseHeaderReadBytes), 0);
    response.ProtocolVersion = basUtils::ReadI32(data, 0, ByteOrder::Little);
    response.Sequence = int16_t(basUtils::ReadU16(data, 4, ByteOrder::Little));
    response.Command = data[6];
    response.OperandCount = data[7];
    if (response.OperandCount > kMaxOperandQuadlets) {
        Log("GetResponse Error: invalid number of quadlets returned: " + Str(response.OperandCount),
            basDebug::ERROR_LEVEL);
        return -1;
    }
    if (response.OperandCount > 0) {
        const size_t n = size_t(response.OperandCount) * 4;
        response.Operands.assign(n, 0);
        std::copy_n(data.begin() + 8, std::min(n, data.size() - 8), response.Operands.begin());
    }
    return 1;
}
}  // namespace

PauseWorkScope::PauseWorkScope(std::function<void()> work) : previous_(std::move(g_pauseWork)) {
    g_pauseWork = std::move(work);
}

PauseWorkScope::~PauseWorkScope() { g_pauseWork = std::move(previous_); }

MutexHold::~MutexHold() {
    if (handle_ != 0) kernel::ReleaseMutex(handle_);
}

bool TakeTransactionMutex(MutexHold& hold, const char* who) {
    uint32_t wait = kernel::WaitForSingleObject(State.TransactionMutexHandle, uint32_t(State.MutexWaitMs));
    if (wait == kernel::WAIT_OBJECT_0) {
        hold.Adopt(State.TransactionMutexHandle);
        return true;
    }
    if (wait == kernel::WAIT_ABANDONED) kernel::ReleaseMutex(State.TransactionMutexHandle);
    Log(std::string(who ? who : "Function SessionLayerTransaction") + " failed to take the Transaction Mutex, code=" +
            Str(wait),
        basDebug::ERROR_LEVEL);
    return false;
}

bool MutexHold::Release() {
    int32_t h = handle_;
    handle_ = 0;
    return kernel::ReleaseMutex(h);
}

int32_t SendRequest(int32_t handle, BootPacket& request) {
    int32_t result = -1;
    try {
        if (handle < 1) {
            Log("SendRequest failed: invalid device handle: " + Str(handle), basDebug::WARNING);
            return -1;
        }
        bas1394::NodeRecord node = GetNodeNum(handle);
        if (!validNode(node.NodeNumber)) {
            Log("SendRequest failed: invalid nodenum (" + Str(node.NodeNumber) + ") for device handle " +
                    Str(handle),
                basDebug::WARNING);
            return -1;
        }
        int32_t index = GetDeviceIndex(handle);
        if (index < 0) {
            Log("SendRequest failed: invalid device index (" + Str(index) + ")for device handle " +
                    Str(handle),
                basDebug::WARNING);
            return -1;
        }
        int32_t version = State.TargetList[index].Info.ProtocolVersion;
        if (version > 255) {
            Log("Invalid protocol version determined in SendRequest: " + Str(version) + "(0x" +
                    vb::Hex(version) + ")!  Setting protocol version to 1.",
                basDebug::ERROR_LEVEL);
            version = 1;
        }
        ByteArray bytes = requestBytes(request, version);
        int32_t timeout = 0;
        result = bas1394::AsyncWriteWrapperVB(node, RegionAddress(kRequestHeaderOffset), 0, timeout, bytes);
        if (result != 1) logRequestWriteFailed(result);
        return result;
    } catch (...) {
        LogTrapped(" in basBootloader.SendRequest.  Exiting...");
        return result;
    }
}

int32_t GetResponse(int32_t handle, BootPacket& response) {
    bas1394::NodeRecord node = GetNodeNum(handle);
    if (!validNode(node.NodeNumber)) {
        Log("GetResponse failed: invalid nodenum (" + Str(node.NodeNumber) + " for device handle " + Str(handle));
    }
    ByteArray data;
    int32_t result = bas1394::AsyncReadWrapperVB(node, RegionAddress(kResponseHeaderOffset),
                                                 kResponseHeaderReadBytes, false, 0, data);
    return takeResponse(result, data, response);
}

PayloadExchange SendWithPayload(int32_t handle, ByteArray& payload, BootPacket& request, BootPacket& response) {
    PayloadExchange out;
    const bas1394::NodeRecord node = GetNodeNum(handle);
    const int32_t version = quietRequestVersion(handle, request, node);
    if (version == 0) {
        // One of the calls has something to say: each says it as it always does.
        out.payload = WriteRequestBuffer(handle, payload);
        if (out.payload != 1) return out;
        out.request = SendRequest(handle, request);
        if (out.request != 1) return out;
        out.response = GetResponse(handle, response);
        return out;
    }
    ByteArray header = requestBytes(request, version), answer;
    bas1394::TransferStep steps[] = {
        {.address = RegionAddress(kRequestPayloadOffset), .write = true, .data = &payload},
        {.address = RegionAddress(kRequestHeaderOffset), .write = true, .data = &header},
        {.address = RegionAddress(kResponseHeaderOffset), .length = kResponseHeaderReadBytes, .data = &answer}};
    bas1394::AsyncSequenceVB(node, steps, 3);
    out.payload = steps[0].result;
    if (out.payload != 1) {
        logPayloadWriteFailed(out.payload, node);
        return out;
    }
    out.request = steps[1].result;
    if (out.request != 1) {
        logRequestWriteFailed(out.request);
        return out;
    }
    out.response = takeResponse(steps[2].result, answer, response);
    return out;
}

int32_t ValidateResponse(const BootPacket& request, const BootPacket& response) {
    int32_t result = 1;
    if (request.Command != response.Command) {
        Log("ValidateResponse failed, invalid command code " +
                pair(request.Command, vb::Hex(request.Command), response.Command, vb::Hex(response.Command)),
            basDebug::WARNING);
        result = -1;
    }
    if (request.ProtocolVersion != response.ProtocolVersion) {
        Log("ValidateResponse failed, invalid protocol version " +
                pair(request.ProtocolVersion, vb::Hex(request.ProtocolVersion), response.ProtocolVersion,
                     vb::Hex(response.ProtocolVersion)),
            basDebug::WARNING);
        result = -1;
    }
    if (request.ProtocolVersion != 1 && request.ProtocolVersion != 3) {
        if (request.ProtocolVersion == 2) {
            Log("ValidateResponse failed: Protocol Version 2 is not yet implemented", basDebug::WARNING);
        } else {
            Log("ValidateResponse failed: invalid protocol version of request (" +
                    Str(request.ProtocolVersion) + ")",
                basDebug::WARNING);
        }
        result = -1;
    }
    if (request.Sequence != response.Sequence) {
        Log("ValidateResponse failed: invalid command ID " +
                pair(request.Sequence, vb::Hex(request.Sequence), response.Sequence, vb::Hex(response.Sequence)),
            basDebug::WARNING);
        result = -1;
    }
    return result;
}

int32_t SessionLayerTransaction(int32_t handle, BootPacket& request, BootPacket& response,
                                int32_t timeoutMs, IProgressBar* progressBar, int32_t window) {
    return Transact(handle, request, response, timeoutMs, progressBar, window, nullptr);
}

int32_t Transact(int32_t handle, BootPacket& request, BootPacket& response, int32_t timeoutMs,
                 IProgressBar* progressBar, int32_t window, bool* sent) {
    if (sent) *sent = false;
    if (handle < 1) {
        Log("Transaction failed: invalid device handle: " + Str(handle), basDebug::WATCH);
        return -1;
    }
    int64_t start = clk::QueryPerformanceCounter();
    IProgressBar* bar = (progressBar && progressBar->TypeName() == "ProgressBar") ? progressBar : nullptr;
    if (bar) {
        bar->SetMin(0);
        bar->SetMax(float(timeoutMs) / 100.0f);
    }
    const bool logMutex = LogKeeps(basDebug::MUTEX);
    const std::string mutexText = logMutex ? ", Mutex handle " + Str(State.TransactionMutexHandle) : std::string();
    if (logMutex)
        Log("Transaction taking the Transaction Mutex (command code " + Str(request.Command) + ", command ID " +
                Str(request.Sequence) + mutexText + ", CurrentThreadId=" + Str(kernel::GetCurrentThreadId()) +
                ")...",
            basDebug::MUTEX);
    uint32_t wait = kernel::WaitForSingleObject(State.TransactionMutexHandle, uint32_t(State.MutexWaitMs));
    if (wait != kernel::WAIT_OBJECT_0) {
        if (wait == kernel::WAIT_ABANDONED) kernel::ReleaseMutex(State.TransactionMutexHandle);
        Log("Function SessionLayerTransaction failed to take the Transaction Mutex, code=" + Str(wait),
            basDebug::ERROR_LEVEL);
        return -1;
    }
    MutexHold hold(State.TransactionMutexHandle);
    if (logMutex)
        Log("Transaction took the Transaction Mutex (command code " + Str(request.Command) + ", command ID " +
                Str(request.Sequence) + mutexText + ", WaitResult=" + Str(wait) + ")...",
            basDebug::MUTEX);

    int32_t result = SendRequest(handle, request);
    if (result != 1) {
        Log("Transaction failed: SendRequest failed, code " + Str(result), basDebug::WARNING);
    } else {
        if (sent) *sent = true;
        float elapsed = 0;
        do {
            result = GetResponse(handle, response);
            if (result == bas1394::kNoResponse) {
                Log("Transaction failed (likely a timout error): GetResponse returned error code " +
                        Str(result) + " (0x" + vb::Hex(result) + ")",
                    basDebug::WARNING);
            } else if (result != 1) {
                Log("Transaction failed: GetResponse returned error code " + Str(result) + " (0x" +
                        vb::Hex(result) + ")",
                    basDebug::WARNING);
            } else {
                result = ValidateResponse(request, response);
                if (result != 1) {
                    Log("Transaction failed: Validate response failed, code " + Str(result) + " (0x" +
                            vb::Hex(result) + ")",
                        basDebug::WARNING);
                }
            }
            // A resetting target does not answer.
            if (request.Command == kCmdReset && result != 1) result = 1;
            elapsed = imagelift::ElapsedMs(start);
            if (result != 1 && result != -2) {
                clk::Sleep(kPauseBetweenPollsMs);
                if (bar) {
                    if (elapsed <= 0) {
                        bar->SetValue(bar->Min());
                    } else {
                        float v = float(vb::CInt(double(elapsed) / 100.0));
                        bar->SetValue(v > bar->Max() ? bar->Max() : v);
                    }
                }
                if (window != 0) user::SendMessage(window, kWmPaint, 0, 0);
            }
            elapsed = imagelift::ElapsedMs(start);
        } while (!(elapsed >= float(timeoutMs) || result == 1 || result == -2));
    }

    if (hold.Release()) {
        if (logMutex)
            Log("Transaction released the Transaction Mutex (command code " + Str(request.Command) +
                    ", command ID " + Str(request.Sequence) + mutexText + ")...",
                basDebug::MUTEX);
    } else {
        Log("Transaction failed to release the Transaction Mutex.", basDebug::ERROR_LEVEL);
    }
    return result;
}

int32_t WriteRequestBuffer(int32_t handle, ByteArray& data) {
    if (handle == 0) {
        Log("WriteRequestBuffer failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
        return -101;
    }
    bas1394::NodeRecord node = GetNodeNum(handle);
    if (!validNode(node.NodeNumber)) {
        Log("WriteRequestBuffer failed: invalid nodenum (" + Str(node.NodeNumber) + " for device handle " +
            Str(handle));
    }
    int32_t timeout = 0;
    int32_t result = bas1394::AsyncWriteWrapperVB(node, RegionAddress(kRequestPayloadOffset), 0, timeout, data);
    if (result != 1) logPayloadWriteFailed(result, node);
    return result;
}

int32_t ReadResponseBuffer(int32_t handle, int32_t count, ByteArray& data) {
    if (handle == 0) {
        Log("ReadResponseBuffer failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
        return -101;
    }
    bas1394::NodeRecord node = GetNodeNum(handle);
    if (!validNode(node.NodeNumber)) {
        Log("ReadResponseBuffer failed: invalid nodenum (" + Str(node.NodeNumber) + " for device handle " +
            Str(handle));
    }
    bas1394::Address48 address = RegionAddress(kResponsePayloadOffset);
    int32_t result = bas1394::AsyncReadWrapperVB(node, address, count, false,
                                                 imagelift::Ctx().Default1394TransactionTimeout, data);
    if (result != 1) {
        Log("bas1394.AsyncReadWrapper failed, code " + Str(result) + "  params: NodeNum=" +
            Str(node.NodeNumber) + " addr=" + vb::Hex(address.OffsetHigh) + vb::Hex(address.OffsetLow) +
            " numbytes=" + Str(count));
    }
    return result;
}

}  // namespace basBootloader
