#include "core/driver_control.h"

#include <algorithm>
#include <cstring>

#include "core/bytes.h"

namespace dorvik {

uint32_t ChannelRecord::Id() const { return GetLe32(bytes.data()); }

std::string ChannelRecord::Name() const {
    const char* p = reinterpret_cast<const char*>(bytes.data() + kNameAt);
    return std::string(p, strnlen(p, kNameRoom));
}

void ChannelRecord::SetName(const std::string& name) {
    size_t n = std::min(name.size(), kNameRoom - 1);
    std::memcpy(bytes.data() + kNameAt, name.data(), n);
    bytes[kNameAt + n] = 0;
}

std::vector<uint32_t> IdsInReply(const uint8_t* reply, size_t returned, size_t at, size_t room) {
    std::vector<uint32_t> ids;
    if (returned < at + 4) return ids;
    size_t count = std::min<size_t>(GetLe32(reply + at), room);
    count = std::min(count, (returned - at - 4) / 4);
    for (size_t i = 0; i < count; ++i) ids.push_back(GetLe32(reply + at + 4 + 4 * i));
    return ids;
}

audiodrv::Handle OpenInterfaceList(const audiodrv::Guid& guid) {
    audiodrv::Handle set = audiodrv::GetClassDevs(guid, audiodrv::kDigcfPresent | audiodrv::kDigcfDeviceInterface);
    return set == audiodrv::kInvalidHandle ? 0 : set;
}

void CloseInterfaceList(audiodrv::Handle set) {
    if (set) audiodrv::DestroyDeviceInfoList(set);
}

// ------------------------------------------------------------------------------ DriverApiDevice

DriverApiDevice::~DriverApiDevice() { Close(); }

uint32_t DriverApiDevice::Open(uint32_t index, audiodrv::Handle set, const audiodrv::Guid* guid) {
    if (handle_) return 0;
    if (!set || !guid) return kErrInvalidParameter;
    detail_.clear();
    std::string path;
    if (!audiodrv::EnumDeviceInterface(set, *guid, index, path)) {
        uint32_t e = audiodrv::GetLastError();
        return e == audiodrv::kErrorNoMoreItems ? kErrNoSuchInstance : e;
    }
    detail_ = path;
    audiodrv::Handle h = audiodrv::CreateFile(detail_, audiodrv::kFileFlagOverlapped);
    if (h == audiodrv::kInvalidHandle) return kErrDeviceNotFound;
    handle_ = h;
    overlapped_ = {};
    overlapped_.event = audiodrv::CreateEvent(false, false);
    if (!overlapped_.event) {
        Close();
        return kErrOutOfMemory;
    }
    return 0;
}

void DriverApiDevice::Close() {
    if (handle_) audiodrv::CloseHandle(handle_);
    if (overlapped_.event) audiodrv::CloseHandle(overlapped_.event);
    handle_ = 0;
    overlapped_ = {};
    detail_.clear();
}

uint32_t DriverApiDevice::IoctlSync(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                                    uint32_t* bytesReturned) {
    if (!handle_) return kErrDeviceNotOpen;
    uint32_t result = 0, transferred = 0;
    {
        std::lock_guard<std::mutex> lock(lock_);
        if (!audiodrv::DeviceIoControl(handle_, code, in, inSize, out, outSize, &transferred, &overlapped_)) {
            result = audiodrv::GetLastError();
            if (result == audiodrv::kErrorIoPending)
                result = audiodrv::GetOverlappedResult(handle_, &overlapped_, &transferred, true)
                             ? 0
                             : audiodrv::GetLastError();
        }
    }
    if (bytesReturned) *bytesReturned = transferred;
    return result;
}

uint32_t DriverApiDevice::SendAvcCommand(const uint8_t* request, uint8_t* reply, uint32_t* bytesReturned) {
    return IoctlSync(kIoctlAvcCommand, request, 520, reply, 516, bytesReturned);
}

// -------------------------------------------------------------------------------- ControlDevice

ControlDevice::~ControlDevice() { Close(); }

uint32_t ControlDevice::Open() {
    if (handle_) return 0;
    audiodrv::Handle h = audiodrv::CreateFile(kControlDevicePath, 0);
    if (h == audiodrv::kInvalidHandle) return kErrOperationFailed;
    handle_ = h;
    return 0;
}

void ControlDevice::Close() {
    streams_.clear();
    if (handle_) audiodrv::CloseHandle(handle_);
    handle_ = 0;
}

uint32_t ControlDevice::Ioctl(uint32_t code, const void* in, uint32_t inSize, void* out, uint32_t outSize,
                              uint32_t* bytesReturned) {
    if (!handle_) return kErrOperationFailed;
    uint32_t transferred = 0;
    bool ok = audiodrv::DeviceIoControl(handle_, code, in, inSize, out, outSize, &transferred, nullptr);
    if (bytesReturned) *bytesReturned = transferred;
    return ok ? 0 : audiodrv::GetLastError();
}

uint32_t ControlDevice::readWords(uint32_t code, uint32_t* words, size_t count) {
    std::array<uint8_t, 64> buf{};
    uint32_t n = 0;
    uint32_t r = Ioctl(code, nullptr, 0, buf.data(), uint32_t(count * 4), &n);
    // A record the driver did not return whole is not taken.
    if (r == 0 && n == count * 4)
        for (size_t i = 0; i < count; ++i) words[i] = GetLe32(buf.data() + 4 * i);
    return r;
}

uint32_t ControlDevice::writeWords(uint32_t code, const uint32_t* words, size_t count) {
    std::array<uint8_t, 64> buf{};
    for (size_t i = 0; i < count; ++i) PutLe32(buf.data() + 4 * i, words[i]);
    return Ioctl(code, buf.data(), uint32_t(count * 4), nullptr, 0, nullptr);
}

uint32_t ControlDevice::ReadRecord2004(Record2004& record) {
    Record2004 buf{};
    uint32_t n = 0;
    uint32_t r = Ioctl(kIoctlRecord2004, nullptr, 0, buf.data(), 8, &n);
    if (r == 0 && n == 8) record = buf;
    return r;
}

uint32_t ControlDevice::QueryInfo() {
    InfoRecord buf{};
    uint32_t n = 0;
    uint32_t r = Ioctl(kIoctlQueryInfo, nullptr, 0, buf.data(), 8, &n);
    if (r == 0 && n == 8) info_ = buf;
    return r;
}

uint32_t ControlDevice::ReadClock(ClockRecord& record) {
    uint32_t w[2] = {record.source, record.rate};
    uint32_t r = readWords(kIoctlReadClock, w, 2);
    record = {w[0], w[1]};
    return r;
}

uint32_t ControlDevice::WriteClock(const ClockRecord& record) {
    uint32_t w[2] = {record.source, record.rate};
    return writeWords(kIoctlWriteClock, w, 2);
}

uint32_t ControlDevice::ReadStreams() {
    streams_.clear();
    std::array<uint8_t, kStreamIdReply> reply{};
    uint32_t n = 0;
    uint32_t r = Ioctl(kIoctlStreamIds, nullptr, 0, reply.data(), kStreamIdReply, &n);
    if (r != 0) return r;
    for (uint32_t id : IdsInReply(reply.data(), std::min<size_t>(n, kStreamIdReply), 0, kStreamIdRoom)) {
        uint8_t in[4];
        PutLe32(in, id);
        StreamEntry e{};
        if (Ioctl(kIoctlStreamEntry, in, 4, e.data(), uint32_t(e.size()), nullptr) == 0) streams_.push_back(e);
    }
    return 0;
}

uint32_t ControlDevice::ReadChannels(std::vector<ChannelRecord>& list, int which) {
    list.clear();
    std::vector<uint8_t> reply(kChannelIdReply, 0);
    uint32_t n = 0;
    uint32_t r = Ioctl(kIoctlChannelIds, nullptr, 0, reply.data(), kChannelIdReply, &n);
    if (r != 0) return r;
    size_t at = which == 1 ? 0 : kChannelList2At;
    for (uint32_t id : IdsInReply(reply.data(), std::min<size_t>(n, kChannelIdReply), at, kChannelIdRoom)) {
        uint8_t in[4];
        PutLe32(in, id);
        ChannelRecord c;
        if (Ioctl(kIoctlChannelRead, in, 4, c.bytes.data(), ChannelRecord::kSize, nullptr) == 0) list.push_back(c);
    }
    return 0;
}

uint32_t ControlDevice::WriteChannels(const std::vector<ChannelRecord>& list) {
    for (const ChannelRecord& c : list) Ioctl(kIoctlChannelWrite, c.bytes.data(), ChannelRecord::kSize, nullptr, 0, nullptr);
    return 0;
}

uint32_t ControlDevice::ReadStreamInfo(uint32_t streamId) {
    uint8_t in[4];
    PutLe32(in, streamId);
    std::array<uint8_t, 84> out{};
    return Ioctl(kIoctlStreamInfo, in, 4, out.data(), 84, nullptr);
}

uint32_t ControlDevice::NotifyC0() { return Ioctl(kIoctlNotifyC0, nullptr, 0, nullptr, 0, nullptr); }
uint32_t ControlDevice::NotifyC4() { return Ioctl(kIoctlNotifyC4, nullptr, 0, nullptr, 0, nullptr); }

uint32_t ControlDevice::ReadRecord2100(Record2100& record) { return readWords(kIoctlRecord2100, record.data(), 4); }

uint32_t ControlDevice::ReadAsioLatency(LatencyRecord& record) {
    return readWords(kIoctlReadAsio, record.words.data(), 4);
}
uint32_t ControlDevice::WriteAsioLatency(const LatencyRecord& record) {
    return writeWords(kIoctlWriteAsio, record.words.data(), 4);
}
uint32_t ControlDevice::ReadWdmLatency(LatencyRecord& record) {
    return readWords(kIoctlReadWdm, record.words.data(), 4);
}
uint32_t ControlDevice::WriteWdmLatency(const LatencyRecord& record) {
    return writeWords(kIoctlWriteWdm, record.words.data(), 4);
}

uint32_t ControlDevice::ReadRecord2208() {
    std::array<uint8_t, 60> out{};
    return Ioctl(kIoctlRecord2208, nullptr, 0, out.data(), 60, nullptr);
}

}  // namespace dorvik
