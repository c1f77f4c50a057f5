// fwpbuild: writes a firmware package (".fwp") from image files and header values.
//
//   fwpbuild -o OUT.fwp [--image1 FILE[@ADDRESS]] [--image2 FILE[@ADDRESS]] [--config FILE]
//            [--date YYYYMMDD] [--time hhmmss] [--software-id N] [--software-version N|A.B.C.D]
//            [--model N] [--vendor N] [--format N] [--info TEXT]
//            [--break bad-magic|short[=BYTES]|past-end|negative-offset|bad-crc]
//
// Numbers are decimal or 0x-prefixed hex. --break writes a deliberately broken package (the
// record faults apply to Image1, or to the configuration data when there is no Image1).
// Prints each record; on bad arguments prints why, writes nothing and ends with status 2. -h
// prints the usage line; without arguments it goes to standard error, with status 2.
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "fwpbuild/package_builder.h"

namespace {

constexpr const char* kUsage =
    "usage: fwpbuild -o OUT.fwp [--image1 FILE[@ADDR]] [--image2 FILE[@ADDR]] "
    "[--config FILE] [--date YYYYMMDD] [--time hhmmss] [--software-id N] "
    "[--software-version N|A.B.C.D] [--model N] [--vendor N] [--format N] "
    "[--info TEXT] [--break bad-magic|short[=N]|past-end|negative-offset|bad-crc]\n";

struct UsageError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

uint32_t Number(const std::string& text, const std::string& option) {
    try {
        size_t used = 0;
        const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
        const unsigned long long v = std::stoull(hex ? text.substr(2) : text, &used, hex ? 16 : 10);
        if (used != text.size() - (hex ? 2 : 0) || v > 0xFFFFFFFFull || text[0] == '-') throw std::out_of_range("");
        return uint32_t(v);
    } catch (const std::logic_error&) {
        throw UsageError(option + ": not a 32-bit number: '" + text + "'");
    }
}

uint32_t Version(const std::string& text, const std::string& option) {
    if (text.find('.') == std::string::npos) return Number(text, option);
    uint32_t v = 0;
    size_t start = 0;
    for (int part = 0; part < 4; ++part) {
        const size_t dot = text.find('.', start);
        if ((part < 3) != (dot != std::string::npos)) throw UsageError(option + ": expected A.B.C.D: '" + text + "'");
        const uint32_t b = Number(text.substr(start, dot - start), option);
        if (b > 255) throw UsageError(option + ": each part is 0-255: '" + text + "'");
        v = v << 8 | b;
        start = dot + 1;
    }
    return v;
}

std::vector<uint8_t> ReadImage(const std::string& path, const std::string& option) {
    fwp::ImageFile file = fwp::ReadImageFile(path);
    switch (file.status) {
        case fwp::ImageFile::Status::CannotRead: throw UsageError(option + ": cannot read '" + path + "'");
        case fwp::ImageFile::Status::Empty: throw UsageError(option + ": '" + path + "' is empty");
        case fwp::ImageFile::Status::TooLarge: throw UsageError(option + ": '" + path + "' is larger than 64 MiB");
        case fwp::ImageFile::Status::Ok: break;
    }
    return std::move(file.bytes);
}

void Image(fwp::PackageBuilder& b, fwp::Record r, const std::string& arg, const std::string& option,
           uint32_t defaultAddress) {
    const size_t at = arg.rfind('@');
    const std::string file = at == std::string::npos ? arg : arg.substr(0, at);
    const uint32_t address = at == std::string::npos ? defaultAddress : Number(arg.substr(at + 1), option);
    b.Image(r, ReadImage(file, option), address);
}

int Run(int argc, char** argv) {
    // Without arguments there is nothing to write: the usage line says what to give.
    if (argc < 2) {
        std::cerr << kUsage;
        return 2;
    }
    fwp::PackageBuilder b;
    std::string out;
    std::string broken;
    bool anyImage1 = false, anyConfig = false;
    for (int i = 1; i < argc; ++i) {
        const std::string option = argv[i];
        if (option == "-h" || option == "--help") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) throw UsageError(option + ": missing value");
        const std::string value = argv[++i];
        if (option == "-o") out = value;
        else if (option == "--image1") { Image(b, fwp::Record::Image1, value, option, 0x20000000u); anyImage1 = true; }
        else if (option == "--image2") Image(b, fwp::Record::Image2, value, option, 0x20100000u);
        else if (option == "--config") { Image(b, fwp::Record::Config, value, option, fwp::kConfigAddress); anyConfig = true; }
        else if (option == "--date") {
            if (value.size() > 8) throw UsageError("--date: at most 8 characters");
            b.Date(value);
        } else if (option == "--time") {
            if (value.size() > 8) throw UsageError("--time: at most 8 characters");
            b.Time(value);
        } else if (option == "--software-id") b.SoftwareId(int32_t(Number(value, option)));
        else if (option == "--software-version") b.SoftwareVersion(int32_t(Version(value, option)));
        else if (option == "--model") b.HardwareModel(int32_t(Number(value, option)));
        else if (option == "--vendor") b.Vendor(int32_t(Number(value, option)));
        else if (option == "--format") b.FormatWord(int32_t(Number(value, option)));
        else if (option == "--info") {
            if (value.size() > fwp::kInfoTextSize) throw UsageError("--info: at most 256 characters");
            b.InfoText(value);
        } else if (option == "--break") broken = value;
        else throw UsageError("unknown option " + option);
    }
    if (out.empty()) throw UsageError("-o: no output file named");
    const fwp::Record target = anyImage1 || !anyConfig ? fwp::Record::Image1 : fwp::Record::Config;
    if (!broken.empty()) {
        const bool needsImage = broken == "past-end" || broken == "negative-offset" || broken == "bad-crc";
        if (needsImage && !anyImage1 && !anyConfig) throw UsageError("--break " + broken + ": needs an image");
        if (broken == "bad-magic") b.BadMagic();
        else if (broken == "past-end") b.PastEnd(target);
        else if (broken == "negative-offset") b.NegativeOffset(target);
        else if (broken == "bad-crc") b.WrongCrc(target);
        else if (broken == "short") b.TruncateTo(fwp::kHeaderSize - 1);
        else if (broken.rfind("short=", 0) == 0) b.TruncateTo(Number(broken.substr(6), "--break"));
        else throw UsageError("--break: unknown fault '" + broken + "'");
    }
    b.WriteTo(out);
    const char* names[] = {"Image1", "Image2", "Config"};
    for (int r = 0; r < 3; ++r) {
        const fwp::RecordFields f = b.Fields(fwp::Record(r));
        if (f.length == 0) continue;
        std::printf("%s: offset %d, address 0x%08X, length %d, CRC 0x%08X\n", names[r], f.fileOffset,
                    f.targetAddress, f.length, f.crc);
    }
    std::printf("wrote %s\n", out.c_str());
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    try {
        return Run(argc, argv);
    } catch (const UsageError& e) {
        std::fprintf(stderr, "fwpbuild: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "fwpbuild: %s\n", e.what());
        return 1;
    }
}
