#include "fwpbuild/package_builder.h"

#include <algorithm>
#include <cstring>
#include <fstream>
#include <stdexcept>

#include "device/crc32.h"

namespace fwp {

namespace {

// 48 bytes of identity, three 16-byte image records, the information text.
static_assert(48 + 3 * 16 + kInfoTextSize == kHeaderSize, "package header is 352 bytes");

void PutLe32(std::vector<uint8_t>& file, size_t at, uint32_t v) {
    for (int i = 0; i < 4; ++i) file[at + size_t(i)] = uint8_t(v >> (8 * i));
}

void PutText(std::vector<uint8_t>& file, size_t at, size_t width, const std::string& text) {
    std::memcpy(&file[at], text.data(), std::min(width, text.size()));
}

}  // namespace

uint32_t ImageCrc(const std::vector<uint8_t>& bytes) { return sim::lumarel::Crc32(bytes); }

PackageBuilder& PackageBuilder::Image(Record r, std::vector<uint8_t> bytes, uint32_t address) {
    ImageSlot& p = slots_[size_t(r)];
    p.bytes = std::move(bytes);
    p.address = address;
    p.present = true;
    return *this;
}

RecordFields PackageBuilder::Fields(Record r) const {
    size_t offset = kHeaderSize;
    for (size_t i = 0; i < size_t(r); ++i)
        if (slots_[i].present) offset += slots_[i].bytes.size();
    const ImageSlot& p = slots_[size_t(r)];
    RecordFields f;
    if (!p.present) return f;
    f.fileOffset = int32_t(offset);
    f.targetAddress = p.address;
    f.length = int32_t(p.bytes.size());
    f.crc = ImageCrc(p.bytes);
    return f;
}

std::vector<uint8_t> PackageBuilder::Build() const {
    std::vector<uint8_t> file(kHeaderSize, 0);
    std::copy(magic_.begin(), magic_.end(), file.begin());
    PutLe32(file, 4, uint32_t(format_));
    PutText(file, 8, 8, date_);
    PutText(file, 16, 8, time_);
    PutLe32(file, 24, uint32_t(softwareId_));
    PutLe32(file, 28, uint32_t(softwareVersion_));
    PutLe32(file, 32, uint32_t(model_));
    PutLe32(file, 36, uint32_t(vendor_));
    std::copy(reservedBytes_.begin(), reservedBytes_.end(), file.begin() + 40);
    PutLe32(file, 44, uint32_t(reservedWord_));
    PutText(file, 96, kInfoTextSize, info_);
    for (const ImageSlot& p : slots_)
        if (p.present) file.insert(file.end(), p.bytes.begin(), p.bytes.end());
    for (size_t i = 0; i < slots_.size(); ++i) {
        RecordFields f = Fields(Record(i));
        if (slots_[i].present) {
            if (wrongCrc_[i]) f.crc ^= 0x00000001u;
            if (pastEnd_[i] != 0) f.length = int32_t(file.size()) - f.fileOffset + pastEnd_[i];
            if (negative_[i]) f.fileOffset = -f.fileOffset;
        }
        if (length_[i]) f.length = *length_[i];
        if (offset_[i]) f.fileOffset = *offset_[i];
        if (allOnes_[i]) f = RecordFields{-1, 0xFFFFFFFFu, -1, 0xFFFFFFFFu};
        const size_t at = RecordOffset(Record(i));
        PutLe32(file, at, uint32_t(f.fileOffset));
        PutLe32(file, at + 4, f.targetAddress);
        PutLe32(file, at + 8, uint32_t(f.length));
        PutLe32(file, at + 12, f.crc);
    }
    if (truncate_ && *truncate_ < file.size()) file.resize(*truncate_);
    return file;
}

ImageFile ReadImageFile(const std::filesystem::path& path, size_t limit) {
    ImageFile result;
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        result.status = ImageFile::Status::CannotRead;
        return result;
    }
    constexpr size_t kChunk = 64 * 1024;
    std::vector<uint8_t> bytes;
    while (bytes.size() <= limit) {
        const size_t at = bytes.size(), want = std::min(kChunk, limit + 1 - at);
        bytes.resize(at + want);
        in.read(reinterpret_cast<char*>(bytes.data() + at), std::streamsize(want));
        const size_t got = size_t(in.gcount());
        bytes.resize(at + got);
        if (got < want) break;
    }
    if (in.bad()) result.status = ImageFile::Status::CannotRead;  // a folder, a failing device
    else if (bytes.size() > limit) result.status = ImageFile::Status::TooLarge;
    else if (bytes.empty()) result.status = ImageFile::Status::Empty;
    else result.bytes = std::move(bytes);
    return result;
}

void PackageBuilder::WriteTo(const std::filesystem::path& path) const {
    const std::vector<uint8_t> file = Build();
    const std::filesystem::path tmp = path.string() + ".partial";
    {
        std::ofstream out(tmp, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(file.data()), std::streamsize(file.size()));
        out.flush();
        if (!out) {
            std::error_code ec;
            std::filesystem::remove(tmp, ec);
            throw std::runtime_error("cannot write " + path.string());
        }
    }
    std::error_code ec;
    std::filesystem::rename(tmp, path, ec);
    if (ec) {
        std::filesystem::remove(tmp, ec);
        throw std::runtime_error("cannot write " + path.string());
    }
}

}  // namespace fwp
