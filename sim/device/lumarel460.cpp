#include "device/lumarel460.h"

#include <algorithm>
#include <cstring>

#include "device/crc32.h"
#include "bus/wire.h"

namespace sim::lumarel {

namespace {

constexpr uint32_t kSlotCapacities[kSlotCount] = {
    4u << 20,    // application
    256u << 10,  // configuration data
    1u << 20,    // debugger
    512u << 10,  // bootloader
};
constexpr const char* kSlotNames[kSlotCount] = {"application", "config", "debugger", "bootloader"};

// A device restart: the node leaves the bus this long after the command's answer went out, so
// the host can still read that answer.
constexpr uint32_t kLeaveDelayMs = 5;

template <size_t N>
std::array<uint8_t, N> TextField(const std::string& text) {
    std::array<uint8_t, N> field{};
    std::memcpy(field.data(), text.data(), std::min(N, text.size()));
    return field;
}

}  // namespace

const char* ToString(ProtocolVariant v) {
    switch (v) {
        case ProtocolVariant::V1: return "1";
        case ProtocolVariant::V2: return "2";
        case ProtocolVariant::V2BigEndian: return "2be";
        case ProtocolVariant::V3: return "3";
    }
    return "?";
}

const char* ToString(Mode m) {
    switch (m) {
        case Mode::Bootloader: return "bootloader";
        case Mode::Application: return "application";
        case Mode::Debugger: return "debugger";
    }
    return "?";
}

std::optional<ProtocolVariant> ParseProtocol(const std::string& text) {
    if (text == "1") return ProtocolVariant::V1;
    if (text == "2") return ProtocolVariant::V2;
    if (text == "2be") return ProtocolVariant::V2BigEndian;
    if (text == "3") return ProtocolVariant::V3;
    return std::nullopt;
}

std::optional<Mode> ParseMode(const std::string& text) {
    if (text == "bootloader") return Mode::Bootloader;
    if (text == "application") return Mode::Application;
    if (text == "debugger") return Mode::Debugger;
    return std::nullopt;
}

uint32_t SlotCapacity(int type) { return type >= 0 && type < kSlotCount ? kSlotCapacities[type] : 0; }
const char* SlotName(int type) { return type >= 0 && type < kSlotCount ? kSlotNames[type] : "?"; }

Lumarel460::Answer& Lumarel460::Answer::Le(uint32_t v) {
    uint8_t b[4];
    wire::PutLe32(b, v);
    return Raw(b, 4);
}

Lumarel460::Answer& Lumarel460::Answer::Raw(const uint8_t* p, size_t n) {
    operands.insert(operands.end(), p, p + n);
    return *this;
}

Lumarel460::Lumarel460(DeviceConfig config)
    : config_(std::move(config)),
      ring_(config_.shellRingSize),
      request_(kAreaSize, 0),
      response_(kAreaSize, 0) {
    guid_ = config_.factoryGuid;
    mac_ = config_.factoryMac;
    runningBootVersion_ = config_.bootloaderVersion;
    runningBootDate_ = TextField<8>(config_.bootloaderDate);
    runningBootTime_ = TextField<8>(config_.bootloaderTime);
    console_.SetSink([this](const uint8_t* data, size_t n) { ConsoleOutput(data, n); });
    console_.SetLineHandler([this](const std::string& line) { return ConsoleCommand(line); });
    if (RingProtocol()) RenderRing();
    MarkSaved();  // as it leaves the factory, until its owner marks otherwise
}

Lumarel460::~Lumarel460() = default;

// ---------------------------------------------------------------------------------------------
// Address space

bool Lumarel460::Serves(uint16_t high, uint32_t low, uint32_t length) {
    if (high != kRegionHigh) return false;
    const uint64_t end = uint64_t(low) + length;
    const auto overlaps = [&](uint32_t base, uint32_t size) { return low < uint64_t(base) + size && end > base; };
    return overlaps(kRegionBase, kRegionSize) || overlaps(kProbeWriteAddress, kProbeSize) ||
           overlaps(kProbeReadAddress, kProbeSize);
}

std::optional<Lumarel460::Access> Lumarel460::Gate(uint16_t high) const {
    if (!online_) return Access::NoResponse;
    if (high != kRegionHigh) return Access::AddressError;
    return std::nullopt;
}

std::optional<Lumarel460::Place> Lumarel460::Locate(uint32_t low, size_t length) {
    if (low < kRegionBase) return std::nullopt;
    const uint32_t offset = low - kRegionBase;
    Place p{offset & ~(kAreaSize - 1), offset & (kAreaSize - 1)};
    if (length > kAreaSize - p.within) return std::nullopt;  // an access stays inside one area
    return p;
}

Lumarel460::Access Lumarel460::Read(uint16_t high, uint32_t low, std::span<uint8_t> out) {
    if (const auto refused = Gate(high)) return *refused;
    if (mode_ == Mode::Debugger)
        return low >= kProbeReadAddress && probe_.Read(low - kProbeReadAddress, out) ? Access::Ok
                                                                                       : Access::AddressError;
    const auto place = Locate(low, out.size());
    if (!place) return Access::AddressError;
    const uint32_t area = place->area, within = place->within;
    if (area == kInfoArea) {
        // The registers, then zeros to the end of the area.
        const auto info = InfoRegisters();
        const size_t from = std::min<size_t>(within, info.size());
        const size_t copied = std::min(out.size(), info.size() - from);
        std::copy_n(info.begin() + from, copied, out.begin());
        std::fill(out.begin() + copied, out.end(), uint8_t(0));
        return Access::Ok;
    }
    if (area == kRequestArea) {
        std::copy_n(request_.begin() + within, out.size(), out.begin());
        return Access::Ok;
    }
    if (area == kResponseArea) {
        std::copy_n(response_.begin() + within, out.size(), out.begin());
        return Access::Ok;
    }
    return Access::AddressError;
}

Lumarel460::Access Lumarel460::Write(uint16_t high, uint32_t low, std::span<const uint8_t> data) {
    if (const auto refused = Gate(high)) return *refused;
    if (mode_ == Mode::Debugger)
        return low >= kProbeWriteAddress && probe_.Write(low - kProbeWriteAddress, data) ? Access::Ok
                                                                                          : Access::AddressError;
    const auto place = Locate(low, data.size());
    if (!place) return Access::AddressError;
    const uint32_t area = place->area, within = place->within;
    if (area == kInfoArea) return Access::Ok;  // read-only registers: the write is dropped
    if (area != kRequestArea) return Access::AddressError;
    std::copy(data.begin(), data.end(), request_.begin() + within);
    if (config_.faults.silent) return Access::Ok;
    if (within == 0) {
        TakeRequest(uint32_t(data.size()));
    } else if (within == kPayloadOffset && RingProtocol() && !session_.open) {
        ShellInputV2(uint32_t(data.size()));
    }
    return Access::Ok;
}

// ---------------------------------------------------------------------------------------------
// Requests and answers

void Lumarel460::TakeRequest(uint32_t written) {
    if (written < kHeaderSize) return;
    ++requestsTaken_;
    // A new request voids the previous answer at once, including one still on its way.
    VoidAnswer();

    Request req;
    std::copy_n(request_.begin(), 4, req.version.begin());
    std::copy_n(request_.begin() + 4, 2, req.sequence.begin());
    req.command = Command(request_[6]);
    req.count = request_[7];
    req.operands = request_.data() + kHeaderSize;
    req.written = written;
    if (req.count > kMaxOperandQuadlets) return;
    // Operands must come with the request; what an earlier request left in the area is not
    // taken for them. The key commands are the exception: hosts announce name quadlets that a
    // later exchange, with the name already sent, no longer writes (their handlers check what
    // they use against the bytes written).
    const bool keyCommand = req.command == Command::ReadKey || req.command == Command::WriteKey;
    if (!keyCommand && written < kHeaderSize + 4u * req.count) return;

    if (auto answer = Handle(req)) Publish(req, *answer);
}

std::optional<Lumarel460::Answer> Lumarel460::Handle(const Request& req) {
    switch (mode_) {
        case Mode::Bootloader:
            return HandleBootloader(req);
        case Mode::Application:
            // The application keeps only the reset and the shell of the protocol.
            switch (req.command) {
                case Command::Reset:
                case Command::SwitchToShell:
                case Command::ShellRead:
                case Command::ShellWrite:
                    return HandleBootloader(req);
                default:
                    return std::nullopt;
            }
        case Mode::Debugger:
            return std::nullopt;
    }
    return std::nullopt;
}

std::optional<Lumarel460::Answer> Lumarel460::HandleBootloader(const Request& req) {
    const uint8_t* op = req.operands;
    switch (req.command) {
        case Command::Halt:
            halted_ = true;
            return Answer{};
        case Command::Reset:
            // Without an operand the device stays in its bootloader, the safe choice.
            return DoReset(req.count >= 1 ? op[0] : kResetToBootloader);
        case Command::ReadImageCrc:
            if (req.count < 1) return std::nullopt;
            return DoReadImageCrc(req);
        case Command::DownloadStart:
            return DoDownloadStart(req);
        case Command::DownloadBlock:
            if (req.count < 3) return std::nullopt;
            return DoDownloadBlock(req);
        case Command::DownloadEnd:
            return DoDownloadEnd();
        case Command::SwitchToShell:
            shellRouted_ = true;
            return Answer{};
        case Command::ShellRead:
            return DoShellRead();
        case Command::ShellWrite:
            return DoShellWrite(req);
        case Command::ProgramGuid: {
            if (req.count < 2) return std::nullopt;
            Guid g;
            std::copy_n(op, 8, g.begin());
            wire::SwapQuadlets(g.data(), g.size());
            guid_ = g;
            Changed();
            return Answer{};
        }
        case Command::ProgramMac:
            if (req.count < 2) return std::nullopt;
            mac_ = Mac{op[3], op[2], op[1], op[0], op[7], op[6]};
            Changed();
            return Answer{};
        case Command::InitPersistentParams: {
            guid_ = config_.factoryGuid;
            mac_ = config_.factoryMac;
            debugGuid_.fill(0);
            ++persistent_.initializations;
            Changed();
            Answer a;
            a.delayMs = config_.timing.persistentInitMs;
            return a;
        }
        case Command::ConfigFactoryDefaults:
            persistent_.liveConfig = slots_[kConfigImage].bytes;
            ++contentStamp_[kSlotCount];
            ++persistent_.factoryDefaultLoads;
            Changed();
            if (config_.faults.silentFactoryDefaults) return std::nullopt;
            return Answer{};
        case Command::SetDebugGuid:
            if (req.count < 2) return std::nullopt;
            if (!config_.faults.ignoreDebugGuid) {
                std::copy_n(op, 8, debugGuid_.begin());
                Changed();
            }
            return Answer{};
        case Command::GetDebugGuid: {
            Answer a;
            a.Raw(debugGuid_.data(), debugGuid_.size());
            return a;
        }
        case Command::StartImage:
            if (req.count < 1) return std::nullopt;
            return DoStartImage(req);
        case Command::ReadKey:
            if (req.count < 3) return std::nullopt;
            return DoReadKey(req);
        case Command::WriteKey:
            if (req.count < 4) return std::nullopt;
            return DoWriteKey(req);
    }
    return std::nullopt;  // unknown command codes, 16 among them
}

void Lumarel460::VoidAnswer() {
    std::fill_n(response_.begin(), kPayloadOffset, uint8_t(0));
    ++answerGeneration_;
    if (ringHidden_) RenderRing();
}

void Lumarel460::Publish(const Request& req, const Answer& answer) {
    std::array<uint8_t, 8> header{};
    std::copy(req.version.begin(), req.version.end(), header.begin());
    std::copy(req.sequence.begin(), req.sequence.end(), header.begin() + 4);
    header[6] = uint8_t(req.command);
    header[7] = uint8_t(answer.operands.size() / 4);
    const uint32_t delay = answer.delayMs + config_.timing.answerLatencyMs + config_.faults.lateAnswerMs;
    if (delay == 0 || !env_) {
        WriteResponse(header, answer.operands);
        return;
    }
    const uint64_t generation = answerGeneration_;
    env_->Schedule(delay, [this, generation, header, ops = answer.operands] {
        if (generation == answerGeneration_) WriteResponse(header, ops);
    });
}

void Lumarel460::WriteResponse(const std::array<uint8_t, 8>& header, const std::vector<uint8_t>& ops) {
    std::copy(ops.begin(), ops.end(), response_.begin() + kHeaderSize);
    std::copy(header.begin(), header.end(), response_.begin());
}

// ---------------------------------------------------------------------------------------------
// Commands

Lumarel460::Answer Lumarel460::DoReset(uint8_t mode) {
    ScheduleRestart(mode == kResetToApplication ? Mode::Application : Mode::Bootloader);
    return Answer{};
}

Lumarel460::Answer Lumarel460::DoReadImageCrc(const Request& req) {
    const uint8_t type = req.operands[0];
    if (type >= kSlotCount) return Answer{};  // no such image: no CRC to report
    const FlashSlot& s = slots_[type];
    Answer a;
    a.Le(s.crc).Le(s.Valid() ? kCrcValid : kCrcInvalid);
    return a;
}

std::optional<Lumarel460::Answer> Lumarel460::DoDownloadStart(const Request& req) {
    if (req.count < 10) return Answer{};
    const uint8_t* op = req.operands;
    const uint8_t type = op[0];
    const uint32_t length = wire::Le32(op + 32);
    if (type >= kSlotCount || length == 0 || length > SlotCapacity(type)) return Answer{};
    session_ = DownloadSession{};
    session_.open = true;
    session_.type = type;
    std::copy_n(op + 4, 8, session_.info.date.begin());
    std::copy_n(op + 12, 8, session_.info.time.begin());
    session_.info.softwareId = wire::Le32(op + 20);
    session_.info.softwareVersion = wire::Le32(op + 24);
    session_.info.loadAddress = wire::Le32(op + 28);
    session_.info.announcedCrc = wire::Le32(op + 36);
    session_.length = length;
    session_.staged.assign(length, 0xFF);  // erased flash
    Answer a;
    a.Le(config_.maxBlockSize);
    a.delayMs = config_.timing.eraseTimeMs;
    return a;
}

Lumarel460::Answer Lumarel460::DoDownloadBlock(const Request& req) {
    const uint32_t number = wire::Le32(req.operands);
    const uint32_t address = wire::Le32(req.operands + 4);
    const uint32_t length = wire::Le32(req.operands + 8);
    int32_t status = kBlockGood;
    const uint32_t offset = address - session_.info.loadAddress;
    if (!session_.open || length == 0 || length > kPayloadSize || offset >= session_.length ||
        length > session_.length - offset || offset > session_.received) {
        status = kBlockRejected;
    } else if (config_.faults.flashWriteFailures != 0) {
        if (config_.faults.flashWriteFailures > 0) --config_.faults.flashWriteFailures;
        status = kBlockFlashWriteFailed;
    } else {
        std::copy_n(request_.begin() + kPayloadOffset, length, session_.staged.begin() + offset);
        if (config_.faults.corruptImage) session_.staged[offset] ^= 0x01;
        session_.received = std::max(session_.received, offset + length);
    }
    Answer a;
    a.Le(number).Le(uint32_t(status));
    return a;
}

Lumarel460::Answer Lumarel460::DoDownloadEnd() {
    Answer a;
    a.delayMs = config_.timing.verifyTimeMs;
    if (!session_.open) {
        a.Le(0).Le(kCrcInvalid);
        return a;
    }
    const uint32_t crc = Crc32Update(0, session_.staged.data(), session_.received);
    const bool valid = session_.received == session_.length && crc == session_.info.announcedCrc;
    if (valid) {
        FlashSlot& s = slots_[session_.type];
        session_.staged.resize(session_.length);
        s.bytes = std::move(session_.staged);
        s.info = session_.info;
        s.crc = crc;
        ++contentStamp_[session_.type];
        Changed();
    }
    session_ = DownloadSession{};
    a.Le(crc).Le(valid ? kCrcValid : kCrcInvalid);
    return a;
}

std::optional<Lumarel460::Answer> Lumarel460::DoShellRead() {
    if (RingProtocol()) return std::nullopt;  // protocol 2 mirrors its ring instead
    const std::vector<uint8_t> chars = fifo_.Take(kShellReadMax);
    std::copy(chars.begin(), chars.end(), response_.begin() + kPayloadOffset);
    const uint32_t n = uint32_t(chars.size());
    Answer a;
    a.Le(n);
    if (config_.protocol == ProtocolVariant::V3) return a;
    // Protocol 1: status words, the first three little-endian, the rest big-endian. The ring
    // fields describe the FIFO; the host only logs them.
    a.Le(0).Le(fifo_.TakeCharsLost());
    uint8_t rest[16];
    wire::PutBe16(rest + 0, uint16_t(fifo_.TotalIn()));          // head
    wire::PutBe16(rest + 2, 0);                                   // bufferStart
    wire::PutBe16(rest + 4, uint16_t(n));                         // sizeOfPayload
    wire::PutBe16(rest + 6, uint16_t(fifo_.TotalOut()));          // tail
    wire::PutBe32(rest + 8, kShellReadMax);                       // maxPayload
    wire::PutBe16(rest + 12, uint16_t(fifo_.TotalOut()));         // txCharCount
    wire::PutBe16(rest + 14, uint16_t(n));                        // numBytesCopied
    a.Raw(rest, sizeof rest);
    return a;
}

std::optional<Lumarel460::Answer> Lumarel460::DoShellWrite(const Request& req) {
    if (RingProtocol() || req.count < 1) return std::nullopt;
    const uint32_t n = wire::Le32(req.operands);
    if (n > kPayloadSize) return std::nullopt;
    console_.Input(request_.data() + kPayloadOffset, n);
    return Answer{};
}

Lumarel460::Answer Lumarel460::DoStartImage(const Request& req) {
    const uint32_t type = wire::Le32(req.operands);
    Answer a;
    if (type == kApplicationImage && slots_[kApplicationImage].Valid()) {
        ScheduleRestart(Mode::Application);
        return a.Le(uint32_t(kStartOk));
    }
    if (type == kDebuggerImage) {
        if (!slots_[kDebuggerImage].Valid()) return a.Le(uint32_t(kStartBadDebugger));
        ScheduleRestart(Mode::Debugger);
        return a.Le(uint32_t(kStartOk));
    }
    return a.Le(uint32_t(kStartNoImage));
}

void Lumarel460::ShellInputV2(uint32_t written) {
    const uint8_t* block = request_.data() + kPayloadOffset;
    if (written < 8 || std::any_of(block, block + 6, [](uint8_t b) { return b != 0; })) return;
    const uint16_t count = BigEndian() ? wire::Be16(block + 6) : wire::Le16(block + 6);
    // The block is exactly header, characters and padding to a quadlet.
    if (count == 0 || 8u + count > written || written != ((8u + count + 3u) & ~3u)) return;
    console_.Input(block + 8, count);
}

// ---------------------------------------------------------------------------------------------
// Restarts, console output

void Lumarel460::ScheduleRestart(Mode target) {
    const uint64_t generation = ++restartGeneration_;
    if (!env_) {
        Restart(target);
        return;
    }
    env_->Schedule(kLeaveDelayMs, [this, generation] {
        if (generation != restartGeneration_ || !online_) return;
        online_ = false;
        env_->Leave();
    });
    env_->Schedule(std::max(config_.timing.resetTimeMs, kLeaveDelayMs + 1), [this, generation, target] {
        if (generation != restartGeneration_) return;
        Restart(target);
        online_ = true;
        env_->Join();
        if (mode_ == Mode::Bootloader && config_.announceBoot) {
            uint8_t note[8] = {'B', 'O', 'O', 'T'};
            wire::PutLe32(note + 4, runningBootVersion_);
            env_->WriteToHost(kHostAnnounceAddress, note);
        }
    });
}

void Lumarel460::Restart(Mode target) {
    if (target == Mode::Application && !slots_[kApplicationImage].Valid()) target = Mode::Bootloader;
    if (target == Mode::Debugger && !slots_[kDebuggerImage].Valid()) target = Mode::Bootloader;
    if (mode_ != target) Changed();
    mode_ = target;
    // Whatever ran before is gone: session, halt, UART contents, pending answers.
    session_ = DownloadSession{};
    readKeys_.clear();
    writeKeys_.clear();
    halted_ = false;
    shellRouted_ = false;
    fifo_.Clear();
    ring_.Clear();
    ++answerGeneration_;
    std::fill(response_.begin(), response_.end(), uint8_t(0));
    if (RingProtocol()) RenderRing();
    // A bootloader image loaded earlier runs from now on.
    const FlashSlot& boot = slots_[kBootloaderImage];
    if (boot.Valid()) {
        runningBootVersion_ = boot.info.softwareVersion;
        runningBootDate_ = boot.info.date;
        runningBootTime_ = boot.info.time;
    }
}

void Lumarel460::ConsoleOutput(const uint8_t* data, size_t n) {
    if (RingProtocol()) {
        ring_.Put(data, n);
        if (!ringHidden_) RenderRing();
    } else {
        fifo_.Put(data, n);
    }
}

void Lumarel460::RenderRing() {
    ring_.Render(response_.data() + kPayloadOffset, BigEndian());
    ringHidden_ = false;
}

// ---------------------------------------------------------------------------------------------
// Info registers

std::array<uint8_t, kInfoRegistersSize> Lumarel460::InfoRegisters() const {
    std::array<uint8_t, kInfoRegistersSize> r{};
    const bool be = BigEndian();
    std::memcpy(r.data(), "vaskonel", 8);
    switch (config_.protocol) {
        case ProtocolVariant::V1: wire::PutLe32(&r[8], 1); break;
        case ProtocolVariant::V2: wire::PutLe32(&r[8], 2); break;
        case ProtocolVariant::V2BigEndian: wire::PutBe32(&r[8], 2); break;
        case ProtocolVariant::V3: wire::PutLe32(&r[8], 3); break;
    }
    wire::Put32(&r[12], mode_ == Mode::Bootloader ? runningBootVersion_ : 0, be);
    std::copy(guid_.begin(), guid_.end(), r.begin() + 16);
    if (!be) wire::SwapQuadlets(&r[16], 8);
    wire::Put32(&r[24], config_.hardwareModelId, be);
    wire::Put32(&r[28], config_.hardwareRevision, be);
    const FlashSlot& app = slots_[kApplicationImage];
    if (!app.Empty()) {
        std::copy(app.info.date.begin(), app.info.date.end(), r.begin() + 32);
        std::copy(app.info.time.begin(), app.info.time.end(), r.begin() + 40);
        wire::Put32(&r[48], app.info.softwareId, be);
        wire::Put32(&r[52], app.info.softwareVersion, be);
    }
    std::copy(runningBootDate_.begin(), runningBootDate_.end(), r.begin() + 64);
    std::copy(runningBootTime_.begin(), runningBootTime_.end(), r.begin() + 72);
    const FlashSlot& dbg = slots_[kDebuggerImage];
    if (!dbg.Empty()) {
        std::copy(dbg.info.date.begin(), dbg.info.date.end(), r.begin() + 80);
        std::copy(dbg.info.time.begin(), dbg.info.time.end(), r.begin() + 88);
        wire::Put32(&r[96], dbg.info.softwareId, be);
        wire::Put32(&r[100], dbg.info.softwareVersion, be);
    }
    return r;
}

// ---------------------------------------------------------------------------------------------
// Set-up and control

void Lumarel460::SetGuid(const Guid& guid) {
    guid_ = guid;
    Changed();
}

void Lumarel460::SetMac(const Mac& mac) {
    mac_ = mac;
    Changed();
}

void Lumarel460::InstallImage(int type, std::vector<uint8_t> bytes, const ImageInfo& info) {
    FlashSlot& s = slots_.at(size_t(type));
    s.crc = Crc32(bytes);
    s.bytes = std::move(bytes);
    s.info = info;
    s.info.announcedCrc = s.crc;
    ++contentStamp_[size_t(type)];
    Changed();
}

void Lumarel460::CorruptSlot(int type) {
    FlashSlot& s = slots_.at(size_t(type));
    if (s.bytes.empty()) return;
    s.bytes[s.bytes.size() / 2] ^= 0x01;
    s.crc = Crc32(s.bytes);
    ++contentStamp_[size_t(type)];
    Changed();
}

void Lumarel460::SetKey(const std::string& name, std::vector<uint8_t> data) {
    keys_[name] = std::move(data);
    Changed();
}

void Lumarel460::SetMode(Mode mode) {
    Restart(mode);
}

void Lumarel460::PowerOff() {
    ++restartGeneration_;
    online_ = false;
    if (env_) env_->Leave();
}

void Lumarel460::PowerCycle() {
    const uint64_t generation = ++restartGeneration_;
    online_ = false;
    if (env_) env_->Leave();
    const auto powerOn = [this, generation] {
        if (generation != restartGeneration_) return;
        Restart(Mode::Application);  // falls back to the bootloader without a valid application
        online_ = true;
        if (env_) env_->Join();
    };
    if (env_) env_->Schedule(std::max(config_.timing.resetTimeMs, 1u), powerOn);
    else powerOn();
}

}  // namespace sim::lumarel
