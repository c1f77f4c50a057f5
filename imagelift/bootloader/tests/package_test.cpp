// Firmware packages: parsing, checks, the loaders and the date, time and version texts.
#include "tests/boot_fixture.h"
#include "bootloader/fwp.h"

#include "fwpbuild/package_builder.h"

namespace boottest {
namespace {

using namespace basBootloader;

class Packages : public BootTest {
protected:
    std::string Write(const fwp::PackageBuilder& b, const std::string& name = "p.fwp") {
        std::string path = root_ + "/" + name;
        b.WriteTo(path);
        return path;
    }
};

ByteArray Text(const std::string& s) { return ByteArray(s.begin(), s.end()); }

TEST_F(Packages, SizeAndMagicChecks) {
    ByteArray bytes = fwp::PackageBuilder().Build();
    ASSERT_EQ(bytes.size(), 352u);
    EXPECT_FALSE(IsValidFwp(ByteArrayToFwpStruct(bytes)));
    EXPECT_TRUE(Find("ERROR: not enough data passed into basBootloader.ByteArrayToFwpStruct!  ubound(bytData)=351!  "
                     "Exiting abnormally."));
    bytes.push_back(0);
    FwpStruct parsed = ByteArrayToFwpStruct(bytes);
    EXPECT_TRUE(IsValidFwp(parsed));
    EXPECT_EQ(parsed.FileData.size(), 353u);
    EXPECT_EQ(parsed.Header.HardwareModelId, 460);
    EXPECT_EQ(parsed.Header.VendorId, 0x0A3C7E);

    // A 352-byte file passes (the reader adds one byte), a 351-byte one does not.
    EXPECT_TRUE(IsValidFwp(LoadFWP(Write(fwp::PackageBuilder()))));
    EXPECT_FALSE(IsValidFwp(LoadFWP(Write(fwp::PackageBuilder().TruncateTo(351)))));

    FwpStruct foreign = ByteArrayToFwpStruct(fwp::PackageBuilder().BadMagic().Image1(ByteArray(8, 1), 0).Build());
    EXPECT_EQ(foreign.Header.Magic, 0x76536B64);
    EXPECT_FALSE(IsValidFwp(foreign));
    EXPECT_EQ(foreign.Header.SoftwareId, 0) << "nothing but the magic is read";
    EXPECT_FALSE(IsValidFwp(FwpHeader{}));
}

TEST_F(Packages, HeaderFieldsAndInfoText) {
    ByteArray image(100, 3), config(40, 4);
    auto b = fwp::PackageBuilder().SoftwareId(77).SoftwareVersion(0x01020304).InfoText("ABCDEFGHI").Image1(image, 0x10000000).Config(config);
    FwpStruct p = ByteArrayToFwpStruct(b.Build());
    EXPECT_EQ(p.Header.SoftwareId, 77);
    EXPECT_EQ(p.Header.Image1.FileOffset, 352);
    EXPECT_EQ(p.Header.Image1.TargetAddress, 0x10000000);
    EXPECT_EQ(p.Header.Image1.Length, 100);
    EXPECT_EQ(uint32_t(p.Header.Image1.Crc), fwp::ImageCrc(image));
    EXPECT_EQ(p.Header.Cne.Length, 40);
    EXPECT_EQ(p.Header.InfoText, std::string("ABCDEFGHI") + '\0');
    EXPECT_EQ(p.Header.InfoTextBytes.size(), 256u);
    EXPECT_EQ(std::string(p.Header.Date.begin(), p.Header.Date.end()), "20260105");

    FwpStruct full = ByteArrayToFwpStruct(fwp::PackageBuilder().InfoText(std::string(256, 'x')).Image1(image, 0).Build());
    EXPECT_EQ(full.Header.InfoText.size(), 256u);
    FwpStruct empty = ByteArrayToFwpStruct(fwp::PackageBuilder().Image1(image, 0).Build());
    EXPECT_EQ(empty.Header.InfoText, std::string(256, '\0'));
}

TEST_F(Packages, LoadersAndTheirLines) {
    const std::string good = Write(fwp::PackageBuilder().Image1(ByteArray(2000, 1), 0), "good.fwp");
    FwpStruct p = LoadFWP(good);
    EXPECT_TRUE(IsValidFwp(p));
    EXPECT_EQ(p.FileData.size(), 2353u);
    EXPECT_TRUE(Find("Reading '" + good + "'..."));
    EXPECT_TRUE(Find("FWP version:  software id = 1 (0x1),  software version = 16777216 (0x1000000),  date/time = "
                     "2026-01-05 12:00:00 utc"));
    EXPECT_EQ(LoadFWPQuiet(good).Image1.Length, 2000);

    ClearLines();
    const std::string bad = Write(fwp::PackageBuilder().BadMagic().Image1(ByteArray(10, 1), 0), "bad.fwp");
    EXPECT_FALSE(IsValidFwp(LoadFWP(bad)));
    EXPECT_TRUE(Find("Load FWP error: Failed to validate file '" + bad + "'!"));
    EXPECT_FALSE(Find("Reading '")) << "the whole file is read only after the header passed";
    EXPECT_FALSE(IsValidFwp(LoadFWPQuiet(bad)));
    EXPECT_TRUE(Find("Load FWP error: the currently selected image file is not valid!"));

    const std::string missing = root_ + "/missing.fwp";
    EXPECT_EQ(LoadFWP(missing).FileData.size(), 1u);
    EXPECT_TRUE(Find("Load FWP error: failed to load file '" + missing + "' into memory."));

    // A file too large for any package (sparse here) is refused after its header passed,
    // before it is read.
    const std::string huge = Write(fwp::PackageBuilder().Image1(ByteArray(10, 1), 0), "huge.fwp");
    std::filesystem::resize_file(huge, uint64_t(INT32_MAX) + 1);
    ClearLines();
    EXPECT_EQ(LoadFWP(huge).FileData.size(), 1u);
    EXPECT_TRUE(Find("Reading '" + huge + "'..."));
    EXPECT_TRUE(Find("Load FWP error: file '" + huge +
                     "' is too large for a firmware package (2147483648 bytes, at most 2147483647)."));
}

TEST_F(Packages, DateTimeAndVersionTexts) {
    EXPECT_EQ(VersionToString(-1), "255.255.255.255");
    EXPECT_EQ(VersionToString(0x01020304), "1.2.3.4");
    EXPECT_EQ(VersionToString(int32_t(0xFF000001)), "255.0.0.1");
    EXPECT_EQ(FormatFwpDate(Text("20040606")), "2004-06-06");
    EXPECT_EQ(FormatFwpTime(Text(std::string("134500") + '\0' + '\0')), "13:45:00 utc");
    EXPECT_EQ(FormatFwpTime(Text("1345")), "13:45: utc");
    // A field never written (an empty application slot) is blank, with no zero bytes in it.
    const std::string zeros(8, '\0');
    EXPECT_EQ(FormatFwpDate(Text(zeros)), "");
    EXPECT_EQ(FormatFwpTime(Text(zeros)), "");
    EXPECT_EQ(FormatFwpLocalDateTime(Text(zeros), Text(zeros)), " ");

    fs::SYSTEMTIME st;
    EXPECT_EQ(FwpDateTimeToDate(Text("2004060"), Text("13450000"), st), -1);
    ASSERT_EQ(FwpDateTimeToDate(Text("2004AB06"), Text("13450000"), st), 1);
    EXPECT_EQ(st.Year, 2004);
    EXPECT_EQ(st.Month, 0);
    EXPECT_EQ(st.Day, 6);
    EXPECT_EQ(st.Minute, 45);

    const char* tz = std::getenv("TZ");
    std::string saved = tz ? tz : "";
    ::setenv("TZ", "XYZ-2", 1);
    ::tzset();
    EXPECT_EQ(FormatFwpLocalDateTime(Text("20040606"), Text(std::string("134500") + '\0' + '\0')),
              "2004-06-06 13:45:00 utc / 15:45:00 (local)");
    EXPECT_EQ(FormatFwpLocalDateTime(Text("20041399"), Text(std::string("134500") + '\0' + '\0')),
              "2004-13-99 13:45:00 utc");
    // A year that no 16-bit field holds is no date, not a failure.
    EXPECT_EQ(FwpDateTimeToDate(Text("9e990606"), Text("13450000"), st), -1);
    EXPECT_EQ(FormatFwpLocalDateTime(Text("9e990606"), Text("13450000")), "9e99-06-06 13:45:00 utc");
    if (tz) {
        ::setenv("TZ", saved.c_str(), 1);
    } else {
        ::unsetenv("TZ");
    }
    ::tzset();
}

}  // namespace
}  // namespace boottest
