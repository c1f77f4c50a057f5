// Replies of the audio driver (AV/C responses and id lists) and stored settings blocks.
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "core/mixer_settings.h"
#include "core/driver_control.h"
#include "core/panel.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace dorvik;
    uint8_t d1 = 0, d2 = 0;
    AvcReplyData(kCtypeControl, data, size, d1, d2);
    AvcReplyData(kCtypeStatus, data, size, d1, d2);
    for (size_t at : {size_t(0), kChannelList2At})
        if (IdsInReply(data, size, at, kChannelIdRoom).size() > kChannelIdRoom) __builtin_trap();
    if (IdsInReply(data, size, 0, kStreamIdRoom).size() > kStreamIdRoom) __builtin_trap();
    SettingsBytes b{};
    std::memcpy(b.data(), data, std::min(size, b.size()));
    if (ToBytes(FromBytes(b)) != b) __builtin_trap();
    DeviceInfoRecord record{};
    std::memcpy(record.data(), data, std::min(size, record.size()));
    if (FormatDateTime(InfoText(record, kInfoSoftwareDateAt), InfoText(record, kInfoSoftwareTimeAt)).size() > 24) __builtin_trap();
    return 0;
}
