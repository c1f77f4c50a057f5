// The bootloader command set: one procedure per command (1 = success).
#pragma once

#include <cstdint>

#include "bootloader/progress_bar.h"
#include "bootloader/records.h"

namespace basBootloader {

int32_t Haltbootloader(int32_t handle);
int32_t ResetDevice(int32_t handle, uint8_t resetMode);
int32_t ReadImageCRC(int32_t handle, uint8_t imageType, int32_t& crc, int32_t& crcValidity);
int32_t DownloadStart(int32_t handle, uint8_t imageType, const ByteArray& date, const ByteArray& time,
                      int32_t softwareId, int32_t softwareVersion, int32_t targetAddress,
                      int32_t length, int32_t crc, int32_t& maxBlockSize, int32_t timeoutMs = 0,
                      IProgressBar* progressBar = nullptr, int32_t window = 0);
int32_t DownloadBlock(int32_t handle, int32_t blockNumber, int32_t blockAddress, int32_t blockLength,
                      ByteArray& data);
int32_t DownloadEnd(int32_t handle, int32_t& crc, int32_t& crcValidity, int32_t timeoutMs = 3000,
                    IProgressBar* progressBar = nullptr, int32_t window = 0);
int32_t SwitchTo1394Shell(int32_t handle, int32_t value1, int32_t value2);
int32_t ProgramGUID(int32_t handle, const ByteArray& guid);
int32_t ProgramMAC(int32_t handle, const ByteArray& mac);
int32_t InitializePersistentParams(int32_t handle);
int32_t InitializeConfigToFactoryDefaults(int32_t handle);
int32_t SetDebugGUID(int32_t handle, const ByteArray& guid);
int32_t GetDebugGUID(int32_t handle, ByteArray& guid);
int32_t StartImage(int32_t handle, int32_t imageType, int32_t& startResult);

}  // namespace basBootloader
