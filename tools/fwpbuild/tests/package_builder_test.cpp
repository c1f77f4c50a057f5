#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdlib>
#include <fstream>

#include "fwpbuild/package_builder.h"

namespace fwp {
namespace {

uint32_t Le(const std::vector<uint8_t>& f, size_t at) {
    return uint32_t(f[at] | f[at + 1] << 8 | f[at + 2] << 16 | uint32_t(f[at + 3]) << 24);
}
uint32_t Zlib(const std::vector<uint8_t>& v) { return uint32_t(crc32(0L, v.data(), uInt(v.size()))); }
std::vector<uint8_t> Pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) v[i] = uint8_t(i * 13 + seed);
    return v;
}

class TempDir {
public:
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "fwpbuild-XXXXXX").string();
        path_ = mkdtemp(pattern.data());
        setenv("LUMAREL_ROOT", path_.c_str(), 1);
    }
    ~TempDir() { std::filesystem::remove_all(path_); }
    std::filesystem::path operator/(const std::string& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

PackageBuilder Sample() {
    PackageBuilder b;
    b.Date("20040606").Time("134500").SoftwareId(0x1234).SoftwareVersion(0x01020304).HardwareModel(460)
        .InfoText("ABCDEFGHI").Image1(Pattern(2500, 1), 0x20000000).Config(Pattern(300, 2));
    return b;
}

TEST(PackageBuilder, LaysOutHeaderRecordsAndData) {
    TempDir root;
    const auto image = Pattern(2500, 1), cne = Pattern(300, 2);
    const std::vector<uint8_t> f = Sample().Build();
    ASSERT_EQ(f.size(), 352u + 2500 + 300);
    EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "vSkD");
    EXPECT_EQ(Le(f, 4), 1u);
    EXPECT_EQ(std::string(f.begin() + 8, f.begin() + 16), "20040606");
    EXPECT_EQ(std::string(f.begin() + 16, f.begin() + 24), std::string("134500\0\0", 8));
    EXPECT_EQ(Le(f, 24), 0x1234u);
    EXPECT_EQ(Le(f, 28), 0x01020304u);
    EXPECT_EQ(Le(f, 32), 460u);
    EXPECT_EQ(Le(f, 36), 0x0A3C7Eu);
    // Image1, no Image2, configuration data.
    const uint32_t expected[3][4] = {{352, 0x20000000, 2500, Zlib(image)},
                                     {0, 0, 0, 0},
                                     {352 + 2500, kConfigAddress, 300, Zlib(cne)}};
    for (int r = 0; r < 3; ++r)
        for (int k = 0; k < 4; ++k) EXPECT_EQ(Le(f, 48 + 16 * r + 4 * k), expected[r][k]) << r << "," << k;
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 352, f.begin() + 2852), image);
    EXPECT_EQ(std::vector<uint8_t>(f.begin() + 2852, f.end()), cne);
    EXPECT_EQ(std::string(f.begin() + 96, f.begin() + 106), std::string("ABCDEFGHI\0", 10));
    EXPECT_EQ(f[351], 0);
}

TEST(PackageBuilder, WritesDeliberatelyBrokenPackages) {
    TempDir root;
    const size_t full = 352 + 2500 + 300;
    struct Case {
        const char* what;
        PackageBuilder builder;
        std::function<void(const std::vector<uint8_t>&)> check;
    };
    std::vector<Case> cases;
    cases.push_back({"bad magic", Sample().BadMagic(),
                     [](auto& f) { EXPECT_EQ(std::string(f.begin(), f.begin() + 4), "vSkd"); }});
    cases.push_back({"short", Sample().TruncateTo(351), [](auto& f) { EXPECT_EQ(f.size(), 351u); }});
    cases.push_back({"past end", Sample().PastEnd(Record::Image1), [&](auto& f) {
                         EXPECT_EQ(f.size(), full);
                         EXPECT_EQ(Le(f, 48) + Le(f, 56), full + 1);
                     }});
    cases.push_back({"negative offset", Sample().NegativeOffset(Record::Config),
                     [](auto& f) { EXPECT_EQ(int32_t(Le(f, 80)), -2852); }});
    cases.push_back({"wrong crc", Sample().WrongCrc(Record::Image1),
                     [](auto& f) { EXPECT_NE(Le(f, 60), Zlib(Pattern(2500, 1))); }});
    cases.push_back({"wrong model", Sample().HardwareModel(461), [](auto& f) { EXPECT_EQ(Le(f, 32), 461u); }});
    for (Case& c : cases) {
        SCOPED_TRACE(c.what);
        c.check(c.builder.Build());
    }
}

// The size is checked while reading, so an endless source ends like an oversized file.
TEST(ImageFiles, AreReadWholeUpToTheLimitAndRefusedPastIt) {
    TempDir dir;
    const auto file = [&](const std::string& name, size_t n) {
        const std::vector<uint8_t> bytes = Pattern(n, 7);
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          std::streamsize(n));
        return dir / name;
    };
    std::filesystem::create_directory(dir / "folder");
    using S = ImageFile::Status;
    struct Case {
        std::filesystem::path path;
        size_t limit;
        S status;
        size_t bytes;
    };
    const Case cases[] = {
        {file("exact.bin", 1000), 1000, S::Ok, 1000},
        {file("chunks.bin", 150001), 200000, S::Ok, 150001},  // more than one read
        {file("over.bin", 1001), 1000, S::TooLarge, 0},
        {file("empty.bin", 0), 1000, S::Empty, 0},
        {dir / "missing.bin", 1000, S::CannotRead, 0},
        {dir / "folder", 1000, S::CannotRead, 0},
        {"/dev/zero", 1000, S::TooLarge, 0},
        {"/dev/zero", kMaxImageFileBytes, S::TooLarge, 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path.string() + " limit " + std::to_string(c.limit));
        const ImageFile f = ReadImageFile(c.path, c.limit);
        EXPECT_EQ(f.status, c.status);
        ASSERT_EQ(f.bytes.size(), c.bytes);
        if (c.bytes) {
            EXPECT_EQ(f.bytes, Pattern(c.bytes, 7));
        }
    }
}

TEST(FwpbuildCommand, RefusesAnEndlessImage) {
    const char* bin = std::getenv("LUMAREL_BIN");
    ASSERT_NE(bin, nullptr);
    TempDir dir;
    const std::string out = (dir / "out.fwp").string(), errors = (dir / "errors.txt").string();
    // A ceiling on the tool's memory, so that a tool that reads without end fails here instead of
    // exhausting the machine. The address sanitizer reserves more address space than any ceiling.
#if defined(__SANITIZE_ADDRESS__)
    const std::string ceiling;
#else
    const std::string ceiling = "ulimit -v 1048576; ";
#endif
    const int status = std::system(
        (ceiling + bin + "/fwpbuild -o " + out + " --image1 /dev/zero >/dev/null 2>" + errors).c_str());
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2) << status;
    std::ifstream in(errors);
    EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}),
              "fwpbuild: --image1: '/dev/zero' is larger than 64 MiB\n");
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(FwpbuildCommand, BuildsTheSamePackageAndRefusesBadArguments) {
    const char* bin = std::getenv("LUMAREL_BIN");
    ASSERT_NE(bin, nullptr);
    TempDir dir;
    const auto writeFile = [&](const std::string& name, const std::vector<uint8_t>& bytes) {
        std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()),
                                                          std::streamsize(bytes.size()));
        return (dir / name).string();
    };
    const std::string image = writeFile("app.bin", Pattern(2500, 1));
    const std::string cne = writeFile("cne.bin", Pattern(300, 2));
    const std::string out = (dir / "out.fwp").string();
    const std::string tool = std::string(bin) + "/fwpbuild";
    const std::string quiet = " >/dev/null 2>&1";
    const std::string good = tool + " -o " + out + " --image1 " + image + "@0x20000000 --config " + cne +
                             " --date 20040606 --time 134500 --software-id 0x1234 --software-version 1.2.3.4" +
                             " --model 460 --info ABCDEFGHI";
    ASSERT_EQ(std::system((good + quiet).c_str()), 0);
    std::ifstream in(out, std::ios::binary);
    const std::vector<uint8_t> written((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    EXPECT_EQ(written, Sample().Build());

    std::filesystem::remove(out);
    for (const std::string& args : {" --image1 " + (dir / "missing.bin").string(), std::string(" --model 46O"),
                                    std::string(" --software-version 1.2.300.4"), std::string(" --break sideways"),
                                    std::string(" --bogus 1"), std::string(" --model")}) {
        SCOPED_TRACE(args);
        const int status = std::system((tool + " -o " + out + args + quiet).c_str());
        EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 2);
        EXPECT_FALSE(std::filesystem::exists(out));
    }
}

TEST(FwpbuildCommand, WithoutArgumentsPrintsItsUsageLine) {
    const char* bin = std::getenv("LUMAREL_BIN");
    ASSERT_NE(bin, nullptr);
    TempDir dir;
    const std::string tool = std::string(bin) + "/fwpbuild";
    const auto text = [&](const std::string& name) {
        std::ifstream in(dir / name);
        return std::string(std::istreambuf_iterator<char>(in), {});
    };
    const int bare = std::system((tool + " >" + (dir / "bare.out").string() + " 2>" + (dir / "bare.err").string()).c_str());
    EXPECT_TRUE(WIFEXITED(bare) && WEXITSTATUS(bare) == 2) << bare;
    ASSERT_EQ(std::system((tool + " -h >" + (dir / "help.out").string()).c_str()), 0);
    EXPECT_EQ(text("bare.out"), "");
    EXPECT_EQ(text("bare.err"), text("help.out"));
    EXPECT_EQ(text("help.out").rfind("usage: fwpbuild -o OUT.fwp ", 0), 0u) << text("help.out");
}

}  // namespace
}  // namespace fwp
