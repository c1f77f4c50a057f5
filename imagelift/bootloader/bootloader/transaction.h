// The transaction layer: one request written into the target's request area and its answer
// polled from the response area, under the machine-wide transaction mutex; raw payload writes
// and reads for the commands that move bulk data.
#pragma once

#include <cstdint>

#include "bootloader/progress_bar.h"
#include "bootloader/records.h"

namespace basBootloader {

int32_t SendRequest(int32_t handle, BootPacket& request);
int32_t GetResponse(int32_t handle, BootPacket& response);
int32_t ValidateResponse(const BootPacket& request, const BootPacket& response);
// One request and its answer under the transaction mutex. The time-out counts from before the
// mutex wait; 0 means one poll.
int32_t SessionLayerTransaction(int32_t handle, BootPacket& request, BootPacket& response,
                                int32_t timeoutMs = 0, IProgressBar* progressBar = nullptr,
                                int32_t window = 0);
int32_t WriteRequestBuffer(int32_t handle, ByteArray& data);
int32_t ReadResponseBuffer(int32_t handle, int32_t count, ByteArray& data);

}  // namespace basBootloader
