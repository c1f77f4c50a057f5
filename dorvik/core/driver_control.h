// The mixer's two handles on the Lumarel 460's audio driver and the records they carry.
//
// DriverApiDevice is the overlapped handle on the driver's first interface of the class
// {006902CB-E626-45B4-8A62-2EAAD63F8D12}; it carries the 1394 AV/C command request only.
// ControlDevice is the plain handle on the driver's control device; it carries the driver's own
// requests (clock, latencies, stream and channel lists, channel names). Both start closed and
// are opened and closed by attachment. Results are 0, a platform error number, or one of the
// codes below. Replies are never trusted: a record is taken only when the driver returned all
// of it, and a count in a reply is held to the room of its list and to the bytes returned.
#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "audiodrv/audiodrv.h"

namespace dorvik {

// The driver's interface class in its binary form and in the two text forms the mixer hands
// out (the fourth group written "45b4" with a lower-case b).
inline constexpr audiodrv::Guid kInterfaceClass = audiodrv::kAudioInterfaceClass;
inline constexpr const char* kInterfaceClassText = "{006902CB-E626-45b4-8A62-2EAAD63F8D12}";
inline constexpr const char* kControlDevicePath = "\\\\.\\{006902CB-E626-45b4-8A62-2EAAD63F8D12}";

// Error codes of the two handles.
inline constexpr uint32_t kErrOperationFailed = 0xE0000001;
inline constexpr uint32_t kErrOutOfMemory = 0xE0000100;
inline constexpr uint32_t kErrDeviceNotFound = 0xE0008001;
inline constexpr uint32_t kErrDeviceNotOpen = 0xE0008002;
inline constexpr uint32_t kErrInvalidParameter = 0xE0008008;
inline constexpr uint32_t kErrNoSuchInstance = 0xE0008010;
inline constexpr uint32_t kErrAllocationFailed = 0xE0008020;

// Request codes.
inline constexpr uint32_t kIoctlRecord2004 = 0x80882004;
inline constexpr uint32_t kIoctlQueryInfo = 0x80882020;
inline constexpr uint32_t kIoctlReadClock = 0x80882030;
inline constexpr uint32_t kIoctlWriteClock = 0x80882034;
inline constexpr uint32_t kIoctlStreamIds = 0x80882040;
inline constexpr uint32_t kIoctlStreamEntry = 0x80882044;
inline constexpr uint32_t kIoctlChannelIds = 0x80882050;
inline constexpr uint32_t kIoctlChannelRead = 0x80882054;
inline constexpr uint32_t kIoctlChannelWrite = 0x80882058;
inline constexpr uint32_t kIoctlStreamInfo = 0x80882090;
inline constexpr uint32_t kIoctlNotifyC0 = 0x808820C0;
inline constexpr uint32_t kIoctlNotifyC4 = 0x808820C4;
inline constexpr uint32_t kIoctlRecord2100 = 0x80882100;
inline constexpr uint32_t kIoctlReadAsio = 0x80882108;
inline constexpr uint32_t kIoctlWriteAsio = 0x8088210C;
inline constexpr uint32_t kIoctlReadWdm = 0x80882110;
inline constexpr uint32_t kIoctlWriteWdm = 0x80882114;
inline constexpr uint32_t kIoctlRecord2208 = 0x80882208;
inline constexpr uint32_t kIoctlAvcCommand = 0x80883004;

// Clock record (8 bytes): source 0 internal, 1 external; sample rate in Hz.
struct ClockRecord {
    uint32_t source = 0;
    uint32_t rate = 0;
};
// Latency record (16 bytes, ASIO and WDM alike): microseconds, then three words the driver
// keeps (written back as read).
struct LatencyRecord {
    std::array<uint32_t, 4> words{};
};
// Records the mixer reads but does not interpret.
using Record2004 = std::array<uint8_t, 8>;
using Record2100 = std::array<uint32_t, 4>;
using InfoRecord = std::array<uint8_t, 8>;
using StreamEntry = std::array<uint8_t, 88>;  // dword 0: stream id

// One driver channel (92 bytes): the name at bytes 52-91 (at most 39 characters and a NUL); the
// rest goes back to the driver unchanged.
struct ChannelRecord {
    static constexpr size_t kSize = 92;
    static constexpr size_t kNameAt = 52;
    static constexpr size_t kNameRoom = 40;
    std::array<uint8_t, kSize> bytes{};
    uint32_t Id() const;
    std::string Name() const;
    // Copies at most 39 characters and a terminating NUL.
    void SetName(const std::string& name);
};

// Sizes of the id replies and their rooms.
inline constexpr size_t kStreamIdReply = 260;
inline constexpr size_t kStreamIdRoom = 64;
inline constexpr size_t kChannelIdReply = 2056;
inline constexpr size_t kChannelIdRoom = 256;
inline constexpr size_t kChannelList2At = 1028;

// The ids of a list in a reply: the count at `at`, then the ids; held to `room` and to the ids
// that lie within the `returned` bytes.
std::vector<uint32_t> IdsInReply(const uint8_t* reply, size_t returned, size_t at, size_t room);

// The present interfaces of the class; 0 when the platform gives no set.
audiodrv::Handle OpenInterfaceList(const audiodrv::Guid& guid);
void CloseInterfaceList(audiodrv::Handle set);

class DriverApiDevice {
public:
    DriverApiDevice() = default;
    virtual ~DriverApiDevice();
    DriverApiDevice(const DriverApiDevice&) = delete;
    DriverApiDevice& operator=(const DriverApiDevice&) = delete;

    // Opens interface `index` of the list. 0 at once when already open.
    uint32_t Open(uint32_t index, audiodrv::Handle set, const audiodrv::Guid* guid);
    void Close();
    bool IsOpen() const { return handle_ != 0; }
    audiodrv::Handle handle() const { return handle_; }
    const std::string& devicePath() const { return detail_; }
    uint32_t IoctlSync(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                       uint32_t* bytesReturned);
    // The AV/C command request: 520 bytes in, up to 516 out.
    uint32_t SendAvcCommand(const uint8_t* request, uint8_t* reply, uint32_t* bytesReturned);

private:
    audiodrv::Handle handle_ = 0;
    audiodrv::Overlapped overlapped_{};
    // One overlapped record and event serve every request: one request at a time.
    std::mutex lock_;
    std::string detail_;  // the device path of the interface opened
};

class ControlDevice {
public:
    ControlDevice() = default;
    ~ControlDevice();
    ControlDevice(const ControlDevice&) = delete;
    ControlDevice& operator=(const ControlDevice&) = delete;

    uint32_t Open();
    // Empties the stream list and closes the handle. The handle is forgotten even when the
    // platform refuses the close: a handle the driver will not close is of no further use, and
    // keeping it would stop the next attachment from opening afresh.
    void Close();
    bool IsOpen() const { return handle_ != 0; }
    uint32_t Ioctl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                   uint32_t* bytesReturned);

    uint32_t ReadRecord2004(Record2004& record);
    uint32_t QueryInfo();
    uint32_t ReadClock(ClockRecord& record);
    uint32_t WriteClock(const ClockRecord& record);
    uint32_t ReadStreams();
    // which 1: list 1 of the reply (inputs); otherwise list 2 (outputs).
    uint32_t ReadChannels(std::vector<ChannelRecord>& list, int which);
    uint32_t WriteChannels(const std::vector<ChannelRecord>& list);
    uint32_t ReadStreamInfo(uint32_t streamId);
    uint32_t NotifyC0();
    uint32_t NotifyC4();
    uint32_t ReadRecord2100(Record2100& record);
    uint32_t ReadAsioLatency(LatencyRecord& record);
    uint32_t WriteAsioLatency(const LatencyRecord& record);
    uint32_t ReadWdmLatency(LatencyRecord& record);
    uint32_t WriteWdmLatency(const LatencyRecord& record);
    uint32_t ReadRecord2208();

    const InfoRecord& info() const { return info_; }
    const std::vector<StreamEntry>& streams() const { return streams_; }
    std::vector<ChannelRecord> inputs, outputs;

private:
    uint32_t readWords(uint32_t code, uint32_t* words, size_t count);
    uint32_t writeWords(uint32_t code, const uint32_t* words, size_t count);

    audiodrv::Handle handle_ = 0;
    InfoRecord info_{};
    std::vector<StreamEntry> streams_;
};

}  // namespace dorvik
