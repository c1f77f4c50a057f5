// AV/C volume and balance of the device's feature function blocks.
//
// Volume is the AV/C volume, a signed 16-bit number in 1/256 dB sent high byte first; the panel
// passes v and the device receives v + 1 (so a level L, passed as L*256 + 255, arrives as
// (L + 1)*256: 255 is 0 dB, 207 is -48 dB). Balance is a signed byte in the first data byte.
#include <cstdio>
#include <cstring>

#include "core/bytes.h"
#include "core/panel.h"

namespace dorvik {

namespace {
constexpr uint32_t kAvcTimeoutMs = 2000;
constexpr uint32_t kAvcFrameLength = 12;
// A reply: the response length, then the frame (response code, subunit, opcode, the operands).
constexpr size_t kReplyCodeAt = 4;
constexpr size_t kReplyData1At = 14;
constexpr size_t kReplyFull = 16;
}  // namespace

AvcRequest BuildAvcRequest(uint8_t ctype, uint8_t functionBlock, uint8_t audioChannel, uint8_t selector,
                           uint8_t data1, uint8_t data2) {
    AvcRequest r{};
    PutLe32(r.data(), kAvcTimeoutMs);
    PutLe32(r.data() + 4, kAvcFrameLength);
    const uint8_t frame[12] = {ctype, 0x08, 0xB8, 0x81, functionBlock, 0x10, 2, audioChannel, selector, 2, data1, data2};
    std::memcpy(r.data() + 8, frame, sizeof frame);
    return r;
}

bool AvcReplyData(uint8_t ctype, const uint8_t* reply, size_t returned, uint8_t& data1, uint8_t& data2) {
    if (returned < kReplyFull || GetLe32(reply) < kAvcFrameLength) return false;
    uint8_t expected = ctype == kCtypeControl ? kResponseAccepted : kResponseStable;
    if (reply[kReplyCodeAt] != expected) return false;
    data1 = reply[kReplyData1At];
    data2 = reply[kReplyData1At + 1];
    return true;
}

bool MapChannel(int feature, int channel, bool volume, uint32_t appliedRate, uint8_t& functionBlock,
                uint8_t& audioChannel) {
    if (channel < 0 || channel > 13) return false;
    if (feature == 0) {
        if (channel > 7) return false;  // the main block has eight channels
        // At 176.4 and 192 kHz the device runs block 1 only, and carries the main levels there.
        functionBlock = volume && IsHighRate(appliedRate) ? 1 : 4;
        audioChannel = uint8_t(channel + 1);
        return true;
    }
    if (channel < 8) return false;
    functionBlock = uint8_t(channel / 2 - 3);  // 8-9: 1, 10-11: 2, 12-13: 3
    audioChannel = uint8_t(channel % 2 + 1);
    return true;
}

int Panel::avc(uint8_t ctype, uint8_t functionBlock, uint8_t audioChannel, uint8_t selector, uint8_t d1, uint8_t d2,
               uint8_t& r1, uint8_t& r2) {
    if (!control_.IsOpen()) return 0;
    AvcRequest request = BuildAvcRequest(ctype, functionBlock, audioChannel, selector, d1, d2);
    AvcReply reply{};
    uint32_t returned = 0;
    if (driverApi_.SendAvcCommand(request.data(), reply.data(), &returned) != 0) return 0;
    return AvcReplyData(ctype, reply.data(), returned, r1, r2) ? 1 : 0;
}

int Panel::SendVolume(int feature, int channel, uint32_t v, uint32_t& out) {
    uint8_t fb = 0, ch = 0, r1 = 0, r2 = 0;
    if (!control_.IsOpen() || !MapChannel(feature, channel, true, uint32_t(applied.sampleRate), fb, ch)) return 0;
    uint16_t value = uint16_t(v + 1);
    if (!avc(kCtypeControl, fb, ch, kSelectorVolume, uint8_t(value >> 8), uint8_t(value), r1, r2)) return 0;
    out = (uint32_t(r1) * 256 + r2) - 1;
    return 1;
}

int Panel::SetMasterVolume(int functionBlock, uint32_t v, uint32_t& out) {
    if (!control_.IsOpen() || IsHighRate(uint32_t(applied.sampleRate))) return 0;
    uint8_t r1 = 0, r2 = 0;
    uint16_t value = uint16_t(v + 1);
    if (!avc(kCtypeControl, uint8_t(functionBlock), 0, kSelectorVolume, uint8_t(value >> 8), uint8_t(value), r1, r2))
        return 0;
    out = (uint32_t(r1) * 256 + r2) - 1;
    return 1;
}

int Panel::ReadVolume(int feature, int channel, uint32_t& out) {
    uint8_t fb = 0, ch = 0, r1 = 0, r2 = 0;
    if (!control_.IsOpen() || !MapChannel(feature, channel, true, uint32_t(applied.sampleRate), fb, ch)) return 0;
    if (!avc(kCtypeStatus, fb, ch, kSelectorVolume, 0, 0, r1, r2)) return 0;
    uint32_t r = uint32_t(r1) * 256 + r2;
    out = r == 0 ? 0xFFFF : r - 1;
    return 1;
}

int Panel::SendBalance(int feature, int channel, int32_t balance, uint32_t& out) {
    uint8_t fb = 0, ch = 0, r1 = 0, r2 = 0;
    if (!control_.IsOpen() || !MapChannel(feature, channel, false, uint32_t(applied.sampleRate), fb, ch)) return 0;
    if (!avc(kCtypeControl, fb, ch, kSelectorBalance, uint8_t(balance), 0, r1, r2)) return 0;
    out = r1;
    return 1;
}

int Panel::ReadBalance(int feature, int channel, uint32_t& out) {
    uint8_t fb = 0, ch = 0, r1 = 0, r2 = 0;
    if (!control_.IsOpen() || !MapChannel(feature, channel, false, uint32_t(applied.sampleRate), fb, ch)) return 0;
    if (!avc(kCtypeStatus, fb, ch, kSelectorBalance, 0, 0, r1, r2)) return 0;
    // -128 is outside the balance range: it reads as the left stop.
    out = r1 == 0x80 ? 0x81 : r1;
    return 1;
}

std::string InfoText(const DeviceInfoRecord& record, size_t at, size_t room) {
    if (at >= record.size()) return {};
    const char* p = reinterpret_cast<const char*>(record.data() + at);
    return std::string(p, strnlen(p, std::min(room, record.size() - at)));
}

std::string FormatDateTime(const std::string& date, const std::string& time) {
    // Each part shows the characters there are, in their places of the form.
    auto shape = [](const std::string& text, size_t length, const char* marks) {
        std::string out;
        for (size_t i = 0; i < length && i < text.size(); ++i) {
            out += text[i];
            if (marks[i] != ' ' && i + 1 < text.size() && i + 1 < length) out += marks[i];
        }
        return out;
    };
    std::string d = date.empty() ? "" : shape(date, 8, "   / /  ");
    std::string t = time.empty() ? "" : shape(time, 6, " : :  ");
    return d + "  " + t;
}

std::string GuidText(const DeviceInfoRecord& record) {
    std::string s = "0x";
    char buf[4];
    for (size_t i = 0; i < 8; ++i) {
        std::snprintf(buf, sizeof buf, "%02X", record[kInfoGuidAt + i]);
        s += buf;
    }
    return s;
}

}  // namespace dorvik
