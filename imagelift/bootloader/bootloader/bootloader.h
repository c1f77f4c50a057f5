// basBootloader: the bootloader protocol of the Lumarel 460 and its relatives.
//
// A bootloader target is a 1394 node whose bootloader (or firmware) answers requests in a fixed
// region of its address space: info registers at the base, a request area the host writes, a
// response area the host polls. This module stamps and sends requests, polls and validates the
// answers under the machine-wide "ShellTransactionMutex", runs every bootloader command, keeps
// the list of targets with device handles that survive bus resets, reads firmware packages,
// downloads images block by block and carries the 1394 shell's characters.
//
// Everything runs on the program's user-interface thread. Results are 32-bit: 1 success, any
// other value a failure code.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "bootloader/records.h"
#include "bus1394/node_records.h"
#include "fs/fs.h"
#include "support/debug_log.h"

namespace basBootloader {

// A progress bar as the transaction and the download drive it (the window layer supplies it).
class IProgressBar {
public:
    virtual ~IProgressBar() = default;
    virtual std::string TypeName() const { return "ProgressBar"; }
    virtual void SetVisible(bool visible) = 0;
    virtual float Min() const = 0;
    virtual void SetMin(float v) = 0;
    virtual float Max() const = 0;
    virtual void SetMax(float v) = 0;
    virtual float Value() const = 0;
    virtual void SetValue(float v) = 0;
};

// ---------------------------------------------------------------- module state

extern std::vector<BootloaderTarget> TargetList;
extern std::vector<DebuggerNode> DebuggerNodes;

extern int32_t TransactionMutexHandle;  // "ShellTransactionMutex", machine-wide
extern int32_t TargetListMutexHandle;   // guards TargetList
extern int32_t MutexWaitMs;             // 2000
extern int32_t CommandSequence;         // last sequence number sent (1 .. 32766)
extern int32_t NextDeviceHandle;        // next device handle to give out (from 63)
extern bas1394::Address48 ProtocolRegionBase;

// False while a bus-reset pass rebuilds the list; True when it is complete.
extern std::array<bool, 3> BootloaderListReady;
// Set when a new bus reset makes the running scan pointless.
extern bool DiscoveryInterrupted;

// Device handle whose download block is in flight (0: none). While a block waits for its answer
// the program lets window messages run; the shell transport must not exchange with that target
// then, since its request and payload areas hold the block.
extern int32_t DownloadBlockInFlight;

// ---------------------------------------------------------------- module start, log

// Module start also installs the hook through which the bus layer's reset pass calls
// BusResetHandler; module end removes it.
void Initialize();
void Terminate();
void InstallBusResetHook();
void RemoveBusResetHook();
// Logs under the module name "basBootloader"; while a download sends blocks, lines below
// level 8 are dropped.
void Log(const std::string& message, const basDebug::LevelArg& level = {});

// ---------------------------------------------------------------- transactions

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

// ---------------------------------------------------------------- target records and lookups

bas1394::NodeRecord GetNodeNum(int32_t handle);
int32_t GetDeviceHandleFromGuid(const ByteArray& guid, std::optional<int32_t> skipHandle = std::nullopt);
int32_t GetDeviceHandle(const bas1394::NodeRecord& node);
int32_t GetDeviceIndex(int32_t handle);

// ---------------------------------------------------------------- info registers

int32_t ReadInfoRegisters(const bas1394::NodeRecord& node, InfoRegisters& info);
bool VerifyCompatibility(const InfoRegisters& info);
bool CheckForDebugSupport(const bas1394::NodeRecord& node, int32_t timeoutMs = 0);
// Decodes the 104 register bytes in the byte order of the protocol version (offset 8, read
// least significant byte first). Fewer bytes leave the missing fields zero.
InfoRegisters DecodeInfoRegisters(const ByteArray& bytes);

// ---------------------------------------------------------------- commands

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
int32_t ReadKey(int32_t handle, const std::string& keyName, ByteArray& data);
int32_t WriteKey(int32_t handle, const std::string& keyName, const ByteArray& data);

// ---------------------------------------------------------------- target list

int32_t BusResetHandler();
int16_t BuildBootloaderDeviceList();
int32_t CreateBootloaderDevice(const bas1394::NodeRecord& node, const InfoRegisters& info);
int32_t OpenBootloaderDevice(const bas1394::NodeRecord& node);
int32_t CloseBootloaderDevice(int32_t handle);
int32_t ConnectToBootloaderDevice(BootloaderTarget& target);
bool DetectDebugger(const bas1394::NodeRecord& node);
int32_t GetTargetIndexByGuid(const bas1394::NodeRecord& node, const InfoRegisters& info);
int32_t SynchronizeGUIDs();
int32_t HandleNullGUIDs();
int32_t HandleDuplicateGUIDs();
int32_t GetNextDebugGUID(ByteArray& guid);
// Forgets the generated debug GUIDs (module start does this; tests use it too).
void ResetDebugGUIDGenerator();

// ---------------------------------------------------------------- firmware packages

FwpStruct ByteArrayToFwpStruct(const ByteArray& data);
bool IsValidFwp(const FwpHeader& header);
bool IsValidFwp(const FwpStruct& package);
FwpHeader LoadFWPQuiet(const std::string& fileName);
FwpStruct LoadFWP(const std::string& fileName);
int32_t FwpDateTimeToDate(const ByteArray& date, const ByteArray& time, fs::SYSTEMTIME& st);
std::string VersionToString(int32_t version);
std::string FormatFwpDate(const ByteArray& date);
std::string FormatFwpTime(const ByteArray& time);
std::string FormatFwpLocalDateTime(const ByteArray& date, const ByteArray& time);

// ---------------------------------------------------------------- image download

// Writes one image of a package into a target. 1 when every block went and the target reported
// a good CRC, -1 otherwise. `configAddress` is where configuration data goes (the download
// window of the package browser sends it to 0, unattended runs to 0x201A0000).
int32_t DownloadImage(int32_t handle, int32_t imageType, const std::string& fileName,
                      IProgressBar* progressBar = nullptr, int32_t window = 0,
                      int32_t configAddress = kConfigDataAddress);

// ---------------------------------------------------------------- shell transport

int32_t ReadShellCharacters(int32_t handle, ByteArray& characters, bool wrapNotices);
int32_t WriteShellCharacters(int32_t handle, const ByteArray& characters);
int32_t ReadShellCharacters_Ver1(int32_t handle, ByteArray& characters);
int32_t ReadShellCharacters_Ver2(int32_t handle, ByteArray& characters, bool wrapNotices);

}  // namespace basBootloader
