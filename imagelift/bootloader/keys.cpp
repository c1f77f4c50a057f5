// Keys: named byte strings the target keeps in its persistent store. A key name travels in the
// request operands, a piece per exchange; key data comes back through the response payload area
// (read) or goes out through the request payload area in 128-byte quadlet-reversed chunks
// (write). Each exchange is one transaction.
#include "bootloader/keys.h"
#include "bootloader/transaction.h"
#include "bootloader/internal.h"

#include "support/byte_utils.h"

namespace basBootloader {

namespace {

constexpr int32_t kKeyChunk = 128;
constexpr int32_t kNameBytesForChunk = 37;  // a data chunk goes along once fewer name bytes remain

// The name as single-byte characters with its terminating zero.
ByteArray nameBytes(const std::string& name) {
    ByteArray b = vb::TextToBytes(name);
    b.push_back(0);
    return b;
}

// Name quadlets announced per exchange: the name length in characters / 4, rounded up, capped.
int32_t nameQuadlets(const std::string& name, int32_t cap) {
    int32_t n = int32_t((name.size() + 3) / 4);
    return n > cap ? cap : n;
}

// Operands: the leading values, then the name bytes from the name offset to the end (they may
// run past the announced count; the request is written whole), at least `count` quadlets.
ByteArray keyOperands(std::initializer_list<int32_t> values, const ByteArray& name, int32_t nameOffset,
                      int32_t count) {
    ByteArray ops;
    for (int32_t v : values) basUtils::AppendU32(ops, v, ByteOrder::Little);
    if (nameOffset < int32_t(name.size())) ops.insert(ops.end(), name.begin() + nameOffset, name.end());
    if (ops.size() < size_t(count) * 4) ops.resize(size_t(count) * 4, 0);
    return ops;
}

}  // namespace

int32_t ReadKey(int32_t handle, const std::string& keyName, ByteArray& data) {
    int32_t result = -1;
    try {
        if (handle == 0) {
            Log("ReadKey failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
            return -101;
        }
        const ByteArray name = nameBytes(keyName);
        const int32_t length = int32_t(name.size());
        const int32_t n = nameQuadlets(keyName, 10);
        int32_t nameOffset = 0, dataOffset = 0, size = 0;
        for (;;) {
            BootPacket request, response;
            request.Command = kCmdReadKey;
            request.OperandCount = uint8_t(3 + n);
            request.Operands = keyOperands({length, nameOffset, dataOffset}, name, nameOffset, 3 + n);
            // The answer and the chunk it announces are read under one hold of the mutex.
            MutexHold exchange;
            result = TakeTransactionMutex(exchange) ? SessionLayerTransaction(handle, request, response, 0) : -1;
            if (result != 1) {
                Log("ReadKey failed: Transaction failed, code " + Str(result), basDebug::ERROR_LEVEL);
                return result;
            }
            if (response.OperandCount != 4) {
                Log("ReadKey failure: expected 4 operands, received " + Str(response.OperandCount),
                    basDebug::ERROR_LEVEL);
                return -1;
            }
            int32_t status = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
            size = basUtils::ReadI32(response.Operands, 4, ByteOrder::Little);
            int32_t chunk = basUtils::ReadI32(response.Operands, 8, ByteOrder::Little);
            int32_t start = basUtils::ReadI32(response.Operands, 12, ByteOrder::Little);
            Log("ReadKey: status=" + Str(status) + ", SizeOfKeyData=" + Str(size) + ", ResponseBufferSize=" +
                Str(chunk) + ", StartByteOfKeyData=" + Str(start));
            if (size < 1) {
                Log("ReadKey: size of key data for key '" + keyName + "' is 0!", basDebug::ERROR_LEVEL);
                return -1;
            }
            const bool sentName = nameOffset < length;
            // A chunk of 0 is nothing to read (the target has sent everything already).
            if (chunk > 0) {
                ByteArray received;
                result = ReadResponseBuffer(handle, chunk, received);
                if (result != 1) {
                    Log("ReadKey: Failed to read key from the Response Buffer, code " + Str(result) + "(0x" +
                            vb::Hex(result) + ").",
                        basDebug::WARNING);
                    return -1;
                }
                received.resize(size_t(chunk), 0);
                // Room for the key's size + 1 bytes, but only as far as data has arrived: a
                // target announcing a huge key must not make the host allocate it up front.
                data.resize(size_t(std::min<int64_t>(size, int64_t(dataOffset) + chunk)) + 1, 0);
                basUtils::CopyBytes(received, 0, chunk, data, dataOffset);
                Log("ReadKey (" + keyName + "): returned '" + vb::BytesToText(received));
                dataOffset += chunk;
            }
            nameOffset += 4 * n;
            if (nameOffset > length - 1 && dataOffset >= size) break;
            if (!sentName && chunk <= 0) {
                // Neither name nor data moved: the target will not send the rest.
                Log("ReadKey failure: key '" + keyName + "' stopped at " + Str(dataOffset) + " of " + Str(size) +
                        " bytes",
                    basDebug::ERROR_LEVEL);
                return -1;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.ReadKey.  Exiting...");
    }
    return result;
}

int32_t WriteKey(int32_t handle, const std::string& keyName, const ByteArray& data) {
    int32_t result = -1;
    try {
        if (handle == 0) {
            Log("WriteKey failed, INVALID_HANDLE_ERROR", basDebug::ERROR_LEVEL);
            return -101;
        }
        const ByteArray name = nameBytes(keyName);
        const int32_t length = int32_t(name.size());
        const int32_t total = int32_t(data.size());
        const int32_t n = nameQuadlets(keyName, 9);
        int32_t nameOffset = 0, dataOffset = 0, targetSize = 0;
        for (;;) {
            BootPacket request, response;
            request.Command = kCmdWriteKey;
            request.OperandCount = uint8_t(4 + n);
            request.Operands = keyOperands({length, nameOffset, total, dataOffset}, name, nameOffset, 4 + n);
            int32_t chunkSent = 0;
            // The chunk and the request that announces it go under one hold of the mutex.
            MutexHold exchange;
            const bool held = TakeTransactionMutex(exchange);
            if (held && length - nameOffset < kNameBytesForChunk) {
                chunkSent = std::max(0, std::min(kKeyChunk, total - dataOffset));
                ByteArray buffer(kKeyChunk, 0);
                std::copy(data.begin() + dataOffset, data.begin() + dataOffset + chunkSent, buffer.begin());
                basUtils::ChangeEndian(buffer);
                int32_t w = WriteRequestBuffer(handle, buffer);
                if (w != 1) {
                    Log("WriteKey Error: WriteRequestBuffer failed, code 0x" + vb::Hex(w), basDebug::ERROR_LEVEL);
                    return w;
                }
            }
            result = held ? SessionLayerTransaction(handle, request, response, 0) : -1;
            if (result != 1) {
                Log("WriteKey failed: Transaction failed, code " + Str(result), basDebug::ERROR_LEVEL);
                return result;
            }
            if (response.OperandCount != 3) {
                Log("WriteKey failure: expected 3 operands, received " + Str(response.OperandCount),
                    basDebug::ERROR_LEVEL);
                return -1;
            }
            int32_t status = basUtils::ReadI32(response.Operands, 0, ByteOrder::Little);
            if (status != 0) {
                Log("WriteKey failure: target indicates error code 0x" + vb::Hex(status), basDebug::ERROR_LEVEL);
                return -1;
            }
            targetSize = basUtils::ReadI32(response.Operands, 4, ByteOrder::Little);
            const bool sentName = nameOffset < length;
            dataOffset += chunkSent;
            nameOffset += 4 * n;
            if (nameOffset > length - 1 && dataOffset >= targetSize) break;
            if (!sentName && chunkSent == 0) {
                // The target wants more data than the key has: nothing new can be sent.
                Log("WriteKey failure: target expects " + Str(targetSize) + " bytes of key data for key '" +
                        keyName + "', the host has " + Str(total),
                    basDebug::ERROR_LEVEL);
                return -1;
            }
        }
    } catch (...) {
        LogTrapped(" in basBootloader.WriteKey.  Exiting...");
    }
    return result;
}

}  // namespace basBootloader
