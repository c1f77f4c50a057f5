// Builder of firmware packages (".fwp") for tests, demos and the simulated device.
//
// Layout (offsets from the start of the file; 32-bit values least significant byte first):
//   0   4    magic "vSkD"
//   4   4    format word
//   8   8    build date, ASCII "YYYYMMDD" (UTC)
//   16  8    build time, ASCII "hhmmss" and two zero bytes (UTC)
//   24  4    software ID
//   28  4    software version
//   32  4    hardware model ID (the target's info registers must show the same)
//   36  4    vendor ID (24-bit company identifier)
//   40  4    reserved bytes
//   44  4    reserved word
//   48  16   Image1 record: file offset, target address, length, CRC-32
//   64  16   Image2 record (same form)
//   80  16   configuration data record (same form)
//   96  256  information text, NUL-padded
//   352 ...  image data, in the order Image1, Image2, configuration data
// A record with length 0 or less means the package holds no such image (this builder writes 0;
// all 0xFF is the other usual mark). The CRC is the CRC-32 the device checks each download with
// (the same as zlib's crc32).
//
// The builder can also write deliberately odd or broken packages: a wrong magic, a short file,
// a record past the end, at a negative or any other offset, of any length or all 0xFF, a wrong
// CRC (a wrong model is just another model ID).
#pragma once

#include <array>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

namespace fwp {

inline constexpr size_t kHeaderSize = 352;
inline constexpr size_t kInfoTextSize = 256;
inline constexpr uint32_t kConfigAddress = 0x201A0000u;
inline constexpr uint32_t kCompanyId = 0x0A3C7E;

enum class Record { Image1 = 0, Image2 = 1, Config = 2 };
// File offset of a record's first field.
inline constexpr size_t RecordOffset(Record r) { return 48 + 16 * size_t(r); }

struct RecordFields {
    int32_t fileOffset = 0;
    uint32_t targetAddress = 0;
    int32_t length = 0;
    uint32_t crc = 0;
};

class PackageBuilder {
public:
    PackageBuilder& FormatWord(int32_t v) { format_ = v; return *this; }
    // Texts are used as given (cut or zero-padded to their field), so odd dates can be built.
    PackageBuilder& Date(const std::string& yyyymmdd) { date_ = yyyymmdd; return *this; }
    PackageBuilder& Time(const std::string& hhmmss) { time_ = hhmmss; return *this; }
    PackageBuilder& SoftwareId(int32_t v) { softwareId_ = v; return *this; }
    PackageBuilder& SoftwareVersion(int32_t v) { softwareVersion_ = v; return *this; }
    PackageBuilder& HardwareModel(int32_t v) { model_ = v; return *this; }
    PackageBuilder& Vendor(int32_t v) { vendor_ = v; return *this; }
    PackageBuilder& ReservedBytes(std::array<uint8_t, 4> v) { reservedBytes_ = v; return *this; }
    PackageBuilder& ReservedWord(int32_t v) { reservedWord_ = v; return *this; }
    // Up to 256 bytes; longer texts are cut.
    PackageBuilder& InfoText(const std::string& text) { info_ = text; return *this; }

    PackageBuilder& Image1(std::vector<uint8_t> bytes, uint32_t address) { return Image(Record::Image1, std::move(bytes), address); }
    PackageBuilder& Image2(std::vector<uint8_t> bytes, uint32_t address) { return Image(Record::Image2, std::move(bytes), address); }
    PackageBuilder& Config(std::vector<uint8_t> bytes, uint32_t address = kConfigAddress) { return Image(Record::Config, std::move(bytes), address); }
    PackageBuilder& Image(Record r, std::vector<uint8_t> bytes, uint32_t address);

    // Deliberate faults, applied after the layout.
    PackageBuilder& BadMagic(std::array<uint8_t, 4> magic = {'v', 'S', 'k', 'd'}) { magic_ = magic; return *this; }
    PackageBuilder& WrongCrc(Record r) { wrongCrc_[size_t(r)] = true; return *this; }
    // The record's length runs `bytes` past the end of the file.
    PackageBuilder& PastEnd(Record r, int32_t bytes = 1) { pastEnd_[size_t(r)] = bytes; return *this; }
    PackageBuilder& NegativeOffset(Record r) { negative_[size_t(r)] = true; return *this; }
    // The record's length field says `length` (a negative one, say), whatever the record holds.
    PackageBuilder& Length(Record r, int32_t length) { length_[size_t(r)] = length; return *this; }
    // The record's offset field says `offset` (inside the header, say), whatever the record holds.
    PackageBuilder& Offset(Record r, int32_t offset) { offset_[size_t(r)] = offset; return *this; }
    // All four of the record's fields are 0xFFFFFFFF: the usual mark of an image the package does
    // not hold (its length reads as -1).
    PackageBuilder& AllOnes(Record r) { allOnes_[size_t(r)] = true; return *this; }
    // The file is cut to n bytes after everything else.
    PackageBuilder& TruncateTo(size_t n) { truncate_ = n; return *this; }

    std::vector<uint8_t> Build() const;
    // The record fields as Build lays them out (before deliberate faults).
    RecordFields Fields(Record r) const;
    // Writes the package; the file appears only once complete. Throws std::runtime_error.
    void WriteTo(const std::filesystem::path& path) const;

private:
    struct ImageSlot {
        std::vector<uint8_t> bytes;
        uint32_t address = 0;
        bool present = false;
    };

    int32_t format_ = 1;
    std::string date_ = "20260105";
    std::string time_ = "120000";
    int32_t softwareId_ = 1;
    int32_t softwareVersion_ = 0x01000000;
    int32_t model_ = 460;
    int32_t vendor_ = kCompanyId;
    std::array<uint8_t, 4> reservedBytes_{};
    int32_t reservedWord_ = 0;
    std::string info_;
    std::array<ImageSlot, 3> slots_;
    std::array<uint8_t, 4> magic_{'v', 'S', 'k', 'D'};
    std::array<bool, 3> wrongCrc_{};
    std::array<int32_t, 3> pastEnd_{};
    std::array<bool, 3> negative_{};
    std::array<std::optional<int32_t>, 3> length_{};
    std::array<std::optional<int32_t>, 3> offset_{};
    std::array<bool, 3> allOnes_{};
    std::optional<size_t> truncate_;
};

// CRC-32 of image bytes as package records carry it.
uint32_t ImageCrc(const std::vector<uint8_t>& bytes);

// The largest image file the fwpbuild command takes.
inline constexpr size_t kMaxImageFileBytes = size_t(64) << 20;

// An image file as read for a package.
struct ImageFile {
    enum class Status { Ok, CannotRead, Empty, TooLarge };
    Status status = Status::Ok;
    std::vector<uint8_t> bytes;  // the whole file when Ok, else empty
};
// Reads a whole image file of at most `limit` bytes. The size is checked while reading: no more
// than limit + 1 bytes are ever read or held, so an endless source (/dev/zero, a pipe) is
// refused as TooLarge like any oversized file.
ImageFile ReadImageFile(const std::filesystem::path& path, size_t limit = kMaxImageFileBytes);

}  // namespace fwp
