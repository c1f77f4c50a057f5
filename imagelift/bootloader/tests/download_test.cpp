// Image downloads from packages into the simulated Lumarel 460.
#include "tests/boot_fixture.h"
#include "bootloader/download.h"
#include "bootloader/fwp.h"
#include "bootloader/transfer.h"

#include "fwpbuild/package_builder.h"

#include <regex>

namespace boottest {
namespace {

using namespace basBootloader;

class Download : public BootTest {
protected:
    void SetUp() override {
        BootTest::SetUp();
        AddDevice("d");
        ASSERT_EQ(Rescan(), 1);
        ClearLines();
    }
    std::string Write(const fwp::PackageBuilder& b, const std::string& name = "p.fwp") {
        std::string path = root_ + "/" + name;
        b.WriteTo(path);
        return path;
    }
    static ByteArray Pattern(size_t n) {
        ByteArray b(n);
        for (size_t i = 0; i < n; ++i) b[i] = uint8_t(i * 31 + i / 251);
        return b;
    }
    uint64_t Requests() {
        uint64_t n = 0;
        Dev("d", [&](sim::lumarel::Lumarel460& d) { n = d.RequestsTaken(); });
        return n;
    }
    ByteArray Slot(int type) {
        ByteArray b;
        Dev("d", [&](sim::lumarel::Lumarel460& d) { b = d.slot(type).bytes; });
        return b;
    }
};

TEST_F(Download, ThreeHundredKilobytesInKilobyteBlocks) {
    const ByteArray image = Pattern(300 * 1024);
    const std::string file = Write(fwp::PackageBuilder().Image1(image, 0x10000000).Config(Pattern(300)));
    const uint64_t before = Requests();
    RecordingBar bar;
    EXPECT_EQ(DownloadImage(63, kImageApplication, file, &bar), 1);
    EXPECT_EQ(Slot(0), image);
    EXPECT_EQ(Requests() - before, 302u) << "start, 300 blocks, end";
    // Shown for the start, hidden when it returns, shown again for the blocks, which it counts
    // in units of 128 KB.
    EXPECT_EQ(bar.visible, (std::vector<bool>{true, false, true}));
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Max(), 300.0f / 128);
    ASSERT_EQ(bar.values.size(), 301u);
    EXPECT_EQ(bar.values.back(), 299.0f / 128);
    EXPECT_FALSE(ctx_.DownloadInProgress);
    auto line = Find("Successfully loaded new Application Image '" + file + "' onto target at ");
    ASSERT_TRUE(line);
    EXPECT_TRUE(std::regex_search(line->message, std::regex(" at [0-9]+\\.[0-9]{2} kB/sec\\.$"))) << line->message;
    EXPECT_TRUE(Find("Loading new Application Image(Image1) from '" + file + "' onto target.  First erasing flash..."));

    // The configuration data goes the same way from its own record.
    ClearLines();
    EXPECT_EQ(DownloadImage(63, kImageConfig, file), 1);
    EXPECT_EQ(Slot(1), Pattern(300));
    EXPECT_TRUE(Find("Loading new Config Data(CNE) from '" + file + "' onto target..."));
    EXPECT_TRUE(Find("Successfully loaded new Config Data '" + file + "'"));
}

// The reporter's work runs in the pause after each block's answer; the pause still lasts its
// 10 ms from the read, and the work is not added on top of it.
TEST_F(Download, WorkInTheBlockPausesLeavesEachPauseItsTenMilliseconds) {
    const ByteArray image = Pattern(4 * 1024);
    const FwpStruct fwp = LoadFWP(Write(fwp::PackageBuilder().Image1(image, 0x10000000)));
    struct Reporter final : TransferReporter {
        clk::ManualClock* clock = nullptr;
        std::vector<int64_t> pausedAt;
        void Paused() override {
            pausedAt.push_back(clock->NowMicros());
            clock->AdvanceMicros(2500);
        }
        void StartAnswered(int32_t) override {}
        void BadBlockSize(int32_t) override {}
        void BlocksBegin(int64_t) override {}
        void Sending(int64_t) override {}
        void CopyFailed(int32_t, int32_t) override {}
        void BlockFailed(int32_t, int32_t, bool) override {}
        void EndFailed() override {}
        void CrcFailed(int32_t, int32_t) override {}
    } reporter;
    reporter.clock = &clock_;
    const TransferResult result = TransferImage({.handle = 63,
                                                 .imageType = kImageApplication,
                                                 .header = &fwp.Header,
                                                 .fileData = &fwp.FileData,
                                                 .record = fwp.Header.Image1,
                                                 .targetAddress = fwp.Header.Image1.TargetAddress},
                                                reporter);
    EXPECT_EQ(result.code, 1);
    EXPECT_EQ(Slot(0), image);
    ASSERT_EQ(reporter.pausedAt.size(), 4u) << "one pause per block; none for start and end";
    for (size_t i = 1; i < reporter.pausedAt.size(); ++i) {
        const int64_t gap = reporter.pausedAt[i] - reporter.pausedAt[i - 1];
        EXPECT_GE(gap, 10000) << i;
        EXPECT_LT(gap, 12500) << i;
    }
}

TEST_F(Download, ADownloadTimedAtZeroMillisecondsStillReportsARate) {
    const std::string file = Write(fwp::PackageBuilder().Image1(Pattern(1024), 0x10000000).Config(Pattern(300)));
    // An elapsed time that reads 0: the rate is taken over 1 ms instead of dividing by 0.
    ctx_.QueryElapsedTimeMsLongInt = [](int64_t*) { return 0; };
    EXPECT_EQ(DownloadImage(63, kImageConfig, file), 1);
    ctx_.QueryElapsedTimeMsLongInt = nullptr;
    EXPECT_TRUE(Find("Successfully loaded new Config Data '" + file + "' onto target at 300.00 kB/sec."));
}

TEST_F(Download, CrcMismatchFailsTheDownload) {
    const std::string file = Write(fwp::PackageBuilder().Image1(Pattern(5000), 0).WrongCrc(fwp::Record::Image1));
    EXPECT_EQ(DownloadImage(63, kImageApplication, file), -1);
    EXPECT_TRUE(Find("CRC failure in Image Load process (CRC=0x"));
    EXPECT_TRUE(Find("Load new Application Image operation failed."));
    EXPECT_TRUE(Slot(0).empty()) << "the device keeps its old image";
    EXPECT_FALSE(ctx_.DownloadInProgress);
}

TEST_F(Download, ModelMismatch) {
    struct Case {
        bool override_, automation;
        int32_t answer;
        int32_t result;
        size_t boxes;
    };
    const std::string file = Write(fwp::PackageBuilder().HardwareModel(461).Image1(Pattern(3000), 0));
    for (Case c : {Case{false, true, forms::vbOK, -1, 0}, Case{false, false, forms::vbOK, -1, 1},
                   Case{true, true, forms::vbNo, 1, 0}, Case{true, false, forms::vbNo, -1, 1},
                   Case{true, false, forms::vbYes, 1, 1}}) {
        SCOPED_TRACE(std::to_string(c.override_) + std::to_string(c.automation) + std::to_string(c.answer));
        ctx_.OverrideHardwareCompatibility = c.override_;
        ctx_.AutomationMode = c.automation;
        box_ = forms::ScriptedPresenter();
        box_.AnswerMessage(c.answer);
        ClearLines();
        const uint64_t before = Requests();
        EXPECT_EQ(DownloadImage(63, kImageApplication, file), c.result);
        EXPECT_EQ(box_.asked().size(), c.boxes);
        if (c.result == -1) {
            EXPECT_EQ(Requests(), before) << "refused before the target is touched";
            EXPECT_TRUE(Find("Operation aborted due to hardware incompatibility"));
        }
        if (!c.override_) {
            EXPECT_TRUE(Find("Operation aborted due to hardware incompatibility: FWP Hardware ID = 461 (0x1CD)  Target "
                             "Hardware ID = 460(0x1CC)"));
        }
    }
    ASSERT_FALSE(box_.asked().empty());
    EXPECT_EQ(box_.asked().back().title, "Incompatible Image");
    EXPECT_EQ(box_.asked().back().prompt.rfind("The selected FWP file indicates hardware compatibility "
                                               "with Model ID 461.  \r\nThe selected hardware indicates a Model ID of 460.",
                                               0),
              0u);
}

// A record that holds an image but cannot be what it says refuses the whole package, whichever
// image is asked for.
TEST_F(Download, ImpossibleRecordsAreRefusedBeforeTheTargetErases) {
    struct Case {
        const char* name;
        fwp::PackageBuilder builder;
        const char* why;
    };
    std::vector<Case> cases = {
        {"past the end", fwp::PackageBuilder().Image1(Pattern(2000), 0).PastEnd(fwp::Record::Image1, 1),
         "its Image1 record (offset 352, length 2001) runs outside the file (2352 bytes)."},
        {"negative offset", fwp::PackageBuilder().Image1(Pattern(2000), 0).NegativeOffset(fwp::Record::Image1),
         "its Image1 record (offset -352, length 2000) runs outside the file (2352 bytes)."},
        {"application inside the header",
         fwp::PackageBuilder().Image1(Pattern(100), 0).Config(Pattern(100)).Offset(fwp::Record::Image1, 0),
         "its Image1 record (offset 0, length 100) starts inside the 352-byte package header."},
        {"configuration inside the header",
         fwp::PackageBuilder().Image1(Pattern(100), 0).Config(Pattern(100)).Offset(fwp::Record::Config, 351),
         "its CNE record (offset 351, length 100) starts inside the 352-byte package header."},
        {"past 4 GiB", fwp::PackageBuilder().Image1(Pattern(0x200), 0xFFFFFF00u),
         "its Image1 record (offset 352, length 512) runs past the end of the 4 GiB address space (target address "
         "0xFFFFFF00)."},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = Write(c.builder);
        for (const int32_t type : {kImageApplication, kImageConfig}) {
            ClearLines();
            const uint64_t before = Requests();
            EXPECT_EQ(DownloadImage(63, type, file), -1);
            EXPECT_EQ(Requests(), before);
            EXPECT_TRUE(Find("DownloadImage Error: '" + file + "': " + c.why + "  Nothing was sent to the target."));
            EXPECT_FALSE(ctx_.DownloadInProgress);
        }
    }
    // The last byte of the address space is the last an image may reach, the first byte after
    // the header the first it may start at; a record without an image (length 0 or less) may say
    // anything else.
    EXPECT_EQ(basBootloader::ImpossibleRecordReason({352, int32_t(0xFFFFFF00u), 256, 0}, 608, 0xFFFFFF00u), "");
    for (const FwpImageRecord& absent : {FwpImageRecord{5000, 0, 0, 0}, FwpImageRecord{-1, -1, -1, -1},
                                         FwpImageRecord{0, int32_t(0xFFFFFF00u), INT32_MIN, 0}})
        EXPECT_EQ(basBootloader::ImpossibleRecordReason(absent, 608, uint32_t(absent.TargetAddress)), "");
}

// A record of length 0 or less holds no image, whatever its other fields: the package's other
// image goes in, and asked for the absent one, the target hears nothing.
TEST_F(Download, ARecordOfLengthZeroOrLessIsAnAbsentImageWhateverItsOtherFields) {
    const ByteArray app = Pattern(700), config = Pattern(300);
    struct Case {
        const char* name;
        fwp::PackageBuilder builder;
        int32_t present, absent;
    };
    const std::vector<Case> cases = {
        {"configuration of all 0xFF", fwp::PackageBuilder().Image1(app, 0).AllOnes(fwp::Record::Config),
         kImageApplication, kImageConfig},
        {"application of all 0xFF", fwp::PackageBuilder().Config(config).AllOnes(fwp::Record::Image1), kImageConfig,
         kImageApplication},
        {"application of negative length", fwp::PackageBuilder().Config(config).Length(fwp::Record::Image1, -5),
         kImageConfig, kImageApplication},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const std::string file = Write(c.builder);
        ClearLines();
        EXPECT_EQ(DownloadImage(63, c.present, file), 1);
        EXPECT_EQ(Slot(c.present == kImageApplication ? 0 : 1), c.present == kImageApplication ? app : config);
        const uint64_t before = Requests();
        EXPECT_EQ(DownloadImage(63, c.absent, file), -1);
        EXPECT_EQ(Requests(), before);
        EXPECT_TRUE(Find(c.absent == kImageConfig ? "contains no CNE.  Exiting..." : "contains no image.  Exiting..."));
        EXPECT_FALSE(Find("DownloadImage Error"));
    }
}

TEST_F(Download, RefusalsWithoutTouchingTheTarget) {
    const std::string noImage = Write(fwp::PackageBuilder().Config(Pattern(10)), "cne-only.fwp");
    const std::string noCne = Write(fwp::PackageBuilder().Image1(Pattern(10), 0), "app-only.fwp");
    const uint64_t before = Requests();
    EXPECT_EQ(DownloadImage(63, 4, noImage), -1);
    EXPECT_TRUE(Find("DownloadImage Error: unknown ImageType '4'"));
    EXPECT_EQ(DownloadImage(63, kImageApplication, noImage), -1);
    EXPECT_TRUE(Find("DownloadImage: '" + noImage + "' contains no image.  Exiting..."));
    EXPECT_EQ(DownloadImage(63, kImageConfig, noCne), -1);
    EXPECT_TRUE(Find("DownloadImage (CNE): '" + noCne + "' contains no CNE.  Exiting..."));
    EXPECT_EQ(DownloadImage(63, kImageApplication, root_ + "/none.fwp"), -1);
    EXPECT_TRUE(Find("Load Application Image failed: could not load FWP file '"));
    EXPECT_EQ(Requests(), before);
}

TEST_F(Download, BlockRetries) {
    const ByteArray image = Pattern(4000);
    const std::string file = Write(fwp::PackageBuilder().Image1(image, 0));
    // Two failed writes of one block, then it goes: the transfer carries on.
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.faults().flashWriteFailures = 2; });
    EXPECT_EQ(DownloadImage(63, kImageApplication, file), 1);
    EXPECT_EQ(Slot(0), image);
    EXPECT_FALSE(Find("DownloadImage Warning")) << "warnings are not logged while blocks are sent";

    // Three in a row end it; the download is still closed.
    Dev("d", [](sim::lumarel::Lumarel460& d) { d.faults().flashWriteFailures = -1; });
    ClearLines();
    EXPECT_EQ(DownloadImage(63, kImageApplication, file), -1);
    EXPECT_TRUE(Find("DownloadImage ERROR: Failed to load '" + file +
                     "' onto target.  basBootloader.DownloadBlock returned code -3 after 3 retries.  Aborting "
                     "operation."));
    EXPECT_TRUE(Find("Load new Application Image operation failed."));
    bool open = true;
    Dev("d", [&](sim::lumarel::Lumarel460& d) { open = d.DownloadOpen(); });
    EXPECT_FALSE(open) << "DownloadEnd was sent";
}

TEST_F(Download, BlocksThatCannotTakeTheTransactionMutexAreFailedAttemptsAndSendNothing) {
    const ByteArray before = Slot(0);
    const std::string file = Write(fwp::PackageBuilder().Image1(Pattern(4000), 0));
    // Another program takes the transaction mutex once the target has accepted the download
    // start, as the bar is shown for the blocks.
    class TakingBar : public RecordingBar {
    public:
        void SetVisible(bool v) override {
            RecordingBar::SetVisible(v);
            if (visible.size() == 3) holder.emplace();
        }
        std::optional<MutexHolder> holder;
    } bar;
    const uint64_t requests = Requests();
    EXPECT_EQ(DownloadImage(63, kImageApplication, file, &bar), -1);
    EXPECT_EQ(bar.visible.size(), 3u) << "the blocks were reached";
    EXPECT_TRUE(Find("DownloadImage ERROR: Failed to load '" + file +
                     "' onto target.  basBootloader.DownloadBlock returned code -1 after 3 retries.  Aborting "
                     "operation."));
    EXPECT_EQ(Requests(), requests + 1) << "only the download start reached the target";
    EXPECT_EQ(Slot(0), before);
}

TEST_F(Download, BusResetInTheMiddle) {
    // Answers at once: the pass runs between two blocks. Answers after 15 ms: every block is
    // polled twice and the pass runs while a block waits for its answer (its exchanges take
    // the target's request area; the block is then sent again).
    for (uint32_t latency : {0u, 15u}) {
        SCOPED_TRACE(latency);
        Dev("d", [&](sim::lumarel::Lumarel460& d) { d.timing().answerLatencyMs = latency; });
        const ByteArray image = Pattern(64 * 1024 + int(latency));
        const std::string file = Write(fwp::PackageBuilder().Image1(image, 0));
        int calls = 0;
        bool inPass = false;
        // The bus-reset timer runs while the download lets window messages through.
        onDoEvents_ = [&] {
            if (inPass || ++calls != 21) return;
            inPass = true;
            bus_.Reset();
            EXPECT_EQ(Rescan(), 1);
            inPass = false;
        };
        EXPECT_EQ(DownloadImage(63, kImageApplication, file), 1);
        EXPECT_GE(calls, 21);
        EXPECT_EQ(Slot(0), image);
        EXPECT_EQ(HandleOf("d"), 63);
        onDoEvents_ = nullptr;
    }
}

}  // namespace
}  // namespace boottest
