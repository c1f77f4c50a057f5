// The simulated Lumarel 460: its bootloader and application as a 1394 node sees them.
//
// The model owns the device's identity (GUID, MAC, debug GUID), its flash (one slot per image
// type), its keys and persistent parameters, the UART console, and the protocol engine that
// serves the protocol region at 0xFFFF:C8020000. It knows nothing of the bus: the node adapter
// (lumarel_node.h) maps the region, schedules work on the clock and turns "leave" and "join"
// into bus resets through the small Env interface below. Every call into the model must be
// serialised by its owner (the bus lock); the model keeps no lock of its own.
//
// Behaviour the device chooses where the host leaves it open:
//   - A request is taken when a write starts at the request header; writes to the payload
//     alone only deposit data (except shell input on protocol 2, see below). The response
//     header is cleared the moment a request arrives, so an earlier answer can never be taken
//     for the new one. Answers echo the request's version bytes and sequence verbatim.
//   - Malformed requests (operand count over 14, fewer operands than the command needs, a
//     write shorter than the operands it announces, unknown commands including 16, commands
//     the running firmware does not serve) get no answer and change nothing.
//   - Download: DownloadStart refuses (answers no operands) an unknown image type or a length
//     of 0 or beyond the slot; otherwise it opens a session in a staging buffer and offers the
//     configured block size (1024 by default). Blocks outside the session, outside the image or
//     after a gap answer status 2; a block sent again is taken again. DownloadEnd answers the
//     CRC-32 of what arrived and validity 0 only when every byte arrived and the CRC equals the
//     one announced; only then is the slot replaced, so a failed download keeps the old image.
//     The configuration image's load address is not checked (hosts send 0x201A0000 or 0).
//   - Reset (command 2): mode 0 starts the application when its slot holds a valid image and
//     stays in the bootloader otherwise; any other mode stays in the bootloader. The answer
//     goes out first; 5 ms later the node leaves the bus and after the reset time it joins
//     again with a config ROM rebuilt from its identity, so the host sees bus resets.
//   - StartImage (command 17): type 0 starts a valid application, type 2 a valid debugger
//     (answer 0, then leave and join as for a reset); a debugger slot without a valid image
//     answers -1 (bad CRC), anything else that cannot start answers -2; both stay.
//   - In application mode the bootloader version reads 0 and only Reset and the shell
//     commands (7, 8, 9) are served.
//   - ProgramGUID takes the 8 operand bytes as the GUID with each quadlet byte-reversed (the
//     form the info registers show); the config ROM follows at the next join. ProgramMAC takes
//     wire bytes m4 m3 m2 m1 0 0 m6 m5. InitializePersistentParams restores the factory GUID and
//     MAC and clears the debug GUID; keys and images survive. InitializeConfigToFactoryDefaults
//     loads the configuration image into the live configuration.
//   - Keys: names up to 255 bytes, data up to 64 KiB, 256 keys. A read of an unknown key answers
//     status 1 and size 0; malformed key requests answer status 2. Up to eight key reads and
//     eight key writes may be in progress at once (hosts lock per exchange, not per key). A
//     later exchange finds its key by name length, offsets, total length and the rest of the
//     name, and where two keys still fit, by following the last exchange's sequence number;
//     an exchange that still fits two keys is refused with status 2 rather than guessed, so no
//     key ever takes another's data.
//   - Shell on protocol 2: a write to the request payload while no download session is open,
//     whose first six bytes are zero and whose count (bytes 6-7, in the device's byte order)
//     fits the bytes written, is console input. Key data read on a protocol-2 device replaces
//     the ring in the response payload until the next request.
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "device/debug_probe.h"
#include "device/protocol.h"
#include "device/shell.h"

namespace sim::lumarel {

enum class ProtocolVariant { V1, V2, V2BigEndian, V3 };
enum class Mode { Bootloader, Application, Debugger };

const char* ToString(ProtocolVariant v);
const char* ToString(Mode m);
std::optional<ProtocolVariant> ParseProtocol(const std::string& text);
std::optional<Mode> ParseMode(const std::string& text);

using Guid = std::array<uint8_t, 8>;  // EUI-64 in written order (company ID first)
using Mac = std::array<uint8_t, 6>;

// Time the device takes, on the platform clock. Answers of commands the host polls only once
// must come at once (latency 0), which is the default for everything but the reset.
struct Timing {
    uint32_t answerLatencyMs = 0;     // every answer
    uint32_t eraseTimeMs = 0;         // DownloadStart (flash erase) before its answer
    uint32_t verifyTimeMs = 0;        // DownloadEnd before its answer
    uint32_t persistentInitMs = 0;    // InitializePersistentParams before its answer
    uint32_t resetTimeMs = 50;        // from leaving the bus to joining it again
};

// Switches that make the device misbehave on purpose.
struct Faults {
    bool silent = false;               // takes no request at all and answers nothing
    uint32_t lateAnswerMs = 0;         // every answer this much later than it would come
    int32_t flashWriteFailures = 0;    // the next n blocks fail with -3 (-1: every block)
    bool corruptImage = false;         // blocks are stored with a flipped bit
    bool ignoreDebugGuid = false;      // SetDebugGUID is answered but not stored
    bool silentFactoryDefaults = false;  // command 13 is carried out but never answered
    // The room left on the disk under the state folder (-1: no limit). Saves take from it and
    // give back what they remove; a write past it fails as on a full disk.
    mutable int64_t stateDiskFree = -1;
};

struct DeviceConfig {
    ProtocolVariant protocol = ProtocolVariant::V1;
    Guid factoryGuid{0x0A, 0x3C, 0x7E, 0x10, 0x00, 0x01, 0x00, 0x01};
    Mac factoryMac{0x00, 0x0A, 0x3C, 0x00, 0x00, 0x01};
    uint32_t hardwareModelId = 460;
    uint32_t hardwareRevision = 1;
    // The bootloader the device left the factory with (until a bootloader image is loaded).
    uint32_t bootloaderVersion = 0x01000005;
    std::string bootloaderDate = "20260105";
    std::string bootloaderTime = "120000";
    uint32_t maxBlockSize = 1024;       // offered by DownloadStart (0 and 8192 test hosts)
    uint16_t shellRingSize = 1024;      // protocol 2
    // After each restart into the bootloader, write a short announcement ("BOOT" and the
    // bootloader version) into the local host's range at 0xFFFF:C8029000, where downloaders
    // take incoming data as a sign that a bootloader came up.
    bool announceBoot = false;
    std::string vendorText = "Halvorin Inc";
    std::string modelText = "LUMA Rel";               // config ROM in application mode
    std::string bootModelText = "LUMA Rel Bootloader";  // config ROM in bootloader mode
    Timing timing;
    Faults faults;
};

// Build information of an image, as DownloadStart announced it.
struct ImageInfo {
    std::array<uint8_t, 8> date{};
    std::array<uint8_t, 8> time{};
    uint32_t softwareId = 0;
    uint32_t softwareVersion = 0;
    uint32_t loadAddress = 0;
    uint32_t announcedCrc = 0;
};

struct FlashSlot {
    std::vector<uint8_t> bytes;
    ImageInfo info;
    uint32_t crc = 0;  // CRC-32 of bytes, kept current

    bool Empty() const { return bytes.empty(); }
    bool Valid() const { return !bytes.empty() && crc == info.announcedCrc; }
};

// Capacity of each slot in bytes.
uint32_t SlotCapacity(int type);
const char* SlotName(int type);

struct PersistentParams {
    uint32_t initializations = 0;       // InitializePersistentParams carried out
    uint32_t factoryDefaultLoads = 0;   // InitializeConfigToFactoryDefaults carried out
    std::vector<uint8_t> liveConfig;    // configuration in effect
};

class Lumarel460 {
public:
    // What the model needs from whoever hosts it.
    class Env {
    public:
        virtual ~Env() = default;
        // Runs fn after delayMs on the platform clock, serialised with every other call.
        virtual void Schedule(uint32_t delayMs, std::function<void()> fn) = 0;
        // The node leaves the bus / joins it again (each causes a bus reset).
        virtual void Leave() = 0;
        virtual void Join() = 0;
        // Writes bytes into the local host's address space (result ignored: nobody may listen).
        virtual void WriteToHost(uint32_t offsetLow, std::span<const uint8_t> data) = 0;
        // The state worth saving changed (StateSerial grew).
        virtual void StateChanged() {}
    };

    // Outcome of one access to the node's address space.
    enum class Access { Ok, AddressError, NoResponse };

    explicit Lumarel460(DeviceConfig config = {});
    ~Lumarel460();
    Lumarel460(const Lumarel460&) = delete;
    Lumarel460& operator=(const Lumarel460&) = delete;

    void SetEnv(Env* env) { env_ = env; }

    // 1394 reads and writes of the node's address space outside the config ROM: the protocol
    // region, and the debugger probe while the debugger runs. Addresses are 48-bit.
    Access Read(uint16_t high, uint32_t low, std::span<uint8_t> out);
    Access Write(uint16_t high, uint32_t low, std::span<const uint8_t> data);
    // True when [high:low, +length) touches what this model serves.
    static bool Serves(uint16_t high, uint32_t low, uint32_t length);

    // The config ROM for the current mode and identity (with valid CRCs).
    std::vector<uint32_t> ConfigRom() const;

    Mode mode() const { return mode_; }
    bool Online() const { return online_; }
    bool Halted() const { return halted_; }
    const DeviceConfig& config() const { return config_; }
    Faults& faults() { return config_.faults; }
    Timing& timing() { return config_.timing; }
    const Guid& guid() const { return guid_; }
    // Date and time texts (8 bytes, zero-padded) of the bootloader that runs.
    const std::array<uint8_t, 8>& runningBootDate() const { return runningBootDate_; }
    const std::array<uint8_t, 8>& runningBootTime() const { return runningBootTime_; }
    const Mac& mac() const { return mac_; }
    const std::array<uint8_t, 8>& debugGuid() const { return debugGuid_; }
    const FlashSlot& slot(int type) const { return slots_.at(size_t(type)); }
    const std::map<std::string, std::vector<uint8_t>>& keys() const { return keys_; }
    const PersistentParams& persistent() const { return persistent_; }
    bool ShellRouted() const { return shellRouted_; }
    bool DownloadOpen() const { return session_.open; }
    ShellConsole& console() { return console_; }

    // The 104 info-register bytes as the host reads them now.
    std::array<uint8_t, kInfoRegistersSize> InfoRegisters() const;

    // Set-up and control (bus description, control tool, tests).
    void SetGuid(const Guid& guid);
    void SetMac(const Mac& mac);
    // Places an image into a slot as if downloaded and verified (announced CRC = its CRC).
    void InstallImage(int type, std::vector<uint8_t> bytes, const ImageInfo& info);
    // Flips one bit of a stored image so that it no longer matches its CRC.
    void CorruptSlot(int type);
    void SetKey(const std::string& name, std::vector<uint8_t> data);
    // Sets the mode without a bus reset (before the node is on the bus).
    void SetMode(Mode mode);
    // Power off and on: leave, then join in the application when it is valid, else the
    // bootloader. Volatile state (session, halt, shell FIFO) is lost.
    void PowerCycle();
    // Power off: leave the bus and stay off. A restart or power-on still pending is cancelled,
    // so a device switched off in the middle of a reset does not come back by itself.
    void PowerOff();

    // The state as the control tool shows it.
    nlohmann::json Describe() const;
    // Persistence in a folder: state.json naming one file per image. A save is whole or not
    // at all (throws std::runtime_error, leaving the folder's previous state loadable); the
    // owner's own state `attached` goes with it. Load ignores a missing folder, refuses
    // (throws std::runtime_error, changing nothing) a state it cannot read, and returns what
    // was attached (null when nothing).
    void SaveState(const std::filesystem::path& dir, const nlohmann::json& attached = nullptr) const;
    nlohmann::json LoadState(const std::filesystem::path& dir);
    // The identity, images, keys and persistent parameters as the state folder holds them:
    // marked by a save that succeeded, by a load, or by the owner when it starts keeping the
    // state. RevertToSaved takes them back there after a save that failed (the mode and the
    // running bootloader are what the device runs now, and stay), and voids the answer that
    // reported the change.
    void MarkSaved() const;
    void RevertToSaved();
    // Grows whenever state worth saving changed.
    uint64_t StateSerial() const { return serial_; }

    // Requests taken and answers published (tests and benchmarks).
    uint64_t RequestsTaken() const { return requestsTaken_; }

private:
    struct Request {
        std::array<uint8_t, 4> version{};
        std::array<uint8_t, 2> sequence{};
        Command command{};
        uint8_t count = 0;
        const uint8_t* operands = nullptr;  // into the request area
        uint32_t written = 0;               // bytes of the write that carried the request
    };
    // Operand bytes of an answer (whole quadlets) and how long the device takes to give it.
    struct Answer {
        std::vector<uint8_t> operands;
        uint32_t delayMs = 0;
        Answer& Le(uint32_t v);
        Answer& Raw(const uint8_t* p, size_t n);
    };
    struct DownloadSession {
        bool open = false;
        uint8_t type = 0;
        ImageInfo info;
        uint32_t length = 0;
        std::vector<uint8_t> staged;
        uint32_t received = 0;  // bytes from the image start without a gap
    };
    // One key read or write in progress. Hosts hold their transaction lock for one exchange,
    // not for a whole key, so the exchanges of keys that different hosts (or programs on one
    // host) move can alternate at the device. A later exchange carries no name once the name
    // has gone out; the device finds its key again by what the exchange does carry: the name
    // length, the name offset (which grows by the announced name quadlets every exchange), the
    // rest of the name while some remains, and for a write the total length and the data
    // offset. Where that fits two keys alike, the request's sequence number decides: a host
    // numbers its requests one after another, and one key's exchanges follow each other.
    struct KeyExchange {
        std::vector<uint8_t> name;  // with its terminating zero (nameLength bytes)
        uint32_t nameLength = 0;
        uint32_t nextOffset = 0;    // name offset of this key's next exchange
        uint16_t lastSequence = 0;  // sequence number of this key's last exchange
        uint32_t total = 0;         // write: announced data length
        std::vector<uint8_t> data;  // write: data accepted so far
        uint64_t lastUse = 0;
    };
    // Where the fields of a key request lie.
    struct KeyRequest {
        uint32_t nameLength = 0;
        uint32_t nameOffset = 0;
        uint32_t nameAt = 0;  // byte of the request area where the name bytes begin
        uint32_t step = 0;    // name bytes announced per exchange
    };

    // Where an access lands in the protocol region: the area and the offset within it.
    struct Place {
        uint32_t area = 0;
        uint32_t within = 0;
    };
    // Refuses accesses while off the bus or outside the 0xFFFF space.
    std::optional<Access> Gate(uint16_t high) const;
    // Nothing when the access starts below the region or crosses the end of its area.
    static std::optional<Place> Locate(uint32_t low, size_t length);
    void TakeRequest(uint32_t written);
    std::optional<Answer> Handle(const Request& req);
    std::optional<Answer> HandleBootloader(const Request& req);
    void Publish(const Request& req, const Answer& answer);
    void WriteResponse(const std::array<uint8_t, 8>& header, const std::vector<uint8_t>& ops);
    void ShellInputV2(uint32_t written);

    Answer DoReset(uint8_t mode);
    Answer DoReadImageCrc(const Request& req);
    std::optional<Answer> DoDownloadStart(const Request& req);
    Answer DoDownloadBlock(const Request& req);
    Answer DoDownloadEnd();
    std::optional<Answer> DoShellRead();
    std::optional<Answer> DoShellWrite(const Request& req);
    Answer DoStartImage(const Request& req);
    Answer DoReadKey(const Request& req);
    Answer DoWriteKey(const Request& req);
    // The exchange a key request belongs to: a new one for name offset 0, else the one open
    // exchange it continues (`fits` adds the command's own test). Nullptr when the request is
    // malformed, continues nothing, or could continue more than one key.
    KeyExchange* KeyExchangeFor(std::vector<KeyExchange>& open, const Request& req, const KeyRequest& kr,
                                const std::function<bool(const KeyExchange&)>& fits);
    static void CloseKeyExchange(std::vector<KeyExchange>& open, const KeyExchange* ex);
    void Restart(Mode target);

    void ScheduleRestart(Mode target);
    void ConsoleOutput(const uint8_t* data, size_t n);
    // The console's answer to one typed line (console_commands.cpp).
    std::string ConsoleCommand(const std::string& line);
    void RenderRing();
    // Clears the answer header, and drops an answer still on its way.
    void VoidAnswer();
    void Changed() {
        ++serial_;
        if (env_) env_->StateChanged();
    }
    bool BigEndian() const { return config_.protocol == ProtocolVariant::V2BigEndian; }
    bool RingProtocol() const {
        return config_.protocol == ProtocolVariant::V2 || config_.protocol == ProtocolVariant::V2BigEndian;
    }

    DeviceConfig config_;
    Env* env_ = nullptr;
    Mode mode_ = Mode::Bootloader;
    bool online_ = true;
    bool halted_ = false;
    bool shellRouted_ = false;
    Guid guid_{};
    Mac mac_{};
    std::array<uint8_t, 8> debugGuid_{};
    std::array<FlashSlot, kSlotCount> slots_;
    // The bootloader that runs (changes from slot 3 at the next restart).
    uint32_t runningBootVersion_ = 0;
    std::array<uint8_t, 8> runningBootDate_{};
    std::array<uint8_t, 8> runningBootTime_{};
    std::map<std::string, std::vector<uint8_t>> keys_;
    PersistentParams persistent_;
    DownloadSession session_;
    std::vector<KeyExchange> readKeys_;
    std::vector<KeyExchange> writeKeys_;
    uint64_t keyUses_ = 0;
    ShellConsole console_;
    ShellFifo fifo_;
    ShellRing ring_;
    bool ringHidden_ = false;  // key data occupies the response payload
    DebugProbe probe_;
    std::vector<uint8_t> request_;   // kAreaSize bytes
    std::vector<uint8_t> response_;  // kAreaSize bytes
    uint64_t answerGeneration_ = 0;
    uint64_t restartGeneration_ = 0;
    uint64_t serial_ = 1;
    uint64_t requestsTaken_ = 0;
    // What the last save wrote, so that unchanged images are not written again: a stamp per
    // slot (and for the live configuration) that grows with every change of its bytes.
    std::array<uint64_t, kSlotCount + 1> contentStamp_{};
    // The file each holds them in, and the last number given to a new file.
    mutable std::filesystem::path savedDir_;
    mutable std::array<uint64_t, kSlotCount + 1> savedStamp_{};
    mutable std::array<std::string, kSlotCount + 1> savedFile_;
    mutable uint64_t saveNumber_ = 0;
    // What MarkSaved took (images copied only when their content stamp moved).
    struct Saved {
        Guid guid{};
        Mac mac{};
        std::array<uint8_t, 8> debugGuid{};
        std::array<FlashSlot, kSlotCount> images;
        std::map<std::string, std::vector<uint8_t>> keys;
        PersistentParams persistent;
        std::array<uint64_t, kSlotCount + 1> contentStamp{};
    };
    mutable Saved saved_;
};

}  // namespace sim::lumarel
