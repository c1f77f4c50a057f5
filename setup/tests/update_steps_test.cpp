#include <gtest/gtest.h>

#include <map>
#include <set>

#include "clock/clock.h"
#include "setup/update_steps.h"

namespace setup {
namespace {

int64_t NowMs() { return clk::Current().Counter() / (clk::kCounterFrequency / 1000); }

// How a faked downloader run behaves, in milliseconds after its start.
struct FakeRun {
    int64_t captionFrom = 1000;
    int64_t captionUntil = 5000;
    int64_t processUntil = 5200;
    std::string status;  // written when the process ends; empty: no status file
};

std::string OkLine(const std::string& message) { return "00:00:01.000, TRACE, basAutomation, " + message + "\r\n"; }

class FakeMachine : public UpdateEnvironment, public UpdateView {
public:
    std::set<std::string> files{kDownloaderApp};
    std::vector<FakeRun> script;  // one per run, in order
    std::vector<std::string> commandLines, messages;
    int32_t progress = 0;
    std::string text;
    bool timer = false, finishOffered = false;
    int lockedRenames = 0;  // the rename back fails this often (the file is still in use)

    struct Started {
        int64_t start;
        FakeRun run;
        bool wrote = false;
    };
    std::map<int64_t, Started> processes;

    void Advance() {
        for (auto& [pid, p] : processes)
            if (!p.wrote && NowMs() >= p.start + p.run.processUntil) {
                p.wrote = true;
                if (!p.run.status.empty()) files.insert(kStatusFile), statusText = p.run.status;
            }
    }
    std::string statusText;

    bool CaptionWindowExists() override {
        Advance();
        for (auto& [pid, p] : processes)
            if (NowMs() >= p.start + p.run.captionFrom && NowMs() < p.start + p.run.captionUntil) return true;
        return false;
    }
    bool HiddenWindowExists() override { return anyRunning(); }
    bool MoveFile(const std::string& from, const std::string& to) override {
        if (!files.count(from) || files.count(to)) return false;
        if (from == kDownloaderExe && (anyRunning() || lockedRenames-- > 0)) return false;
        files.erase(from);
        files.insert(to);
        return true;
    }
    bool DeleteFile(const std::string& path) override { return files.erase(path) > 0; }
    int64_t StartProcess(const std::string& commandLine) override {
        commandLines.push_back(commandLine);
        if (!files.count(kDownloaderExe) || commandLines.size() > script.size()) return 0;
        const int64_t pid = 100 + int64_t(commandLines.size());
        processes[pid] = {NowMs(), script[commandLines.size() - 1]};
        return pid;
    }
    bool ProcessRunning(int64_t pid) override {
        Advance();
        auto it = processes.find(pid);
        return it != processes.end() && NowMs() < it->second.start + it->second.run.processUntil;
    }
    std::optional<std::string> ReadStatusFile() override {
        Advance();
        if (!files.count(kStatusFile)) return std::nullopt;
        return statusText;
    }
    void ShowMessage(const std::string& t) override { messages.push_back(t); }
    void Log(const std::string& line) override { logged.push_back(line); }
    std::vector<std::string> logged;
    uint16_t NextRandom() override { return 0x7ABC; }

    int32_t ProgressPos() override { return progress; }
    void SetProgressPos(int32_t pos) override { progress = pos; }
    void SetMessage(const std::string& t) override { text = t; }
    void StartTimer() override { timer = true; }
    void StopTimer() override { timer = false; }
    void OfferFinish() override { finishOffered = true; }

    bool anyRunning() {
        for (auto& [pid, p] : processes)
            if (NowMs() < p.start + p.run.processUntil) return true;
        return false;
    }
};

class UpdateStepsTest : public ::testing::Test {
protected:
    // Ticks every 100 ms while the timer runs, at most `limitMs` of clock time.
    void RunTimer(int64_t limitMs = 30 * 60 * 1000) {
        const int64_t end = NowMs() + limitMs;
        while (m.timer && !steps.Finished() && NowMs() < end) {
            clock.Advance(100);
            steps.Tick();
        }
    }
    clk::ManualClock clock;
    clk::ScopedClock scoped{clock};
    FakeMachine m;
    UpdateSteps steps{m, m};
};

const std::string kDownloadOk = OkLine(kDownloadSuccessLine);
const std::string kGuidOk = OkLine(kGuidSuccessLine);

TEST_F(UpdateStepsTest, BothRunsInOrderThenFinish) {
    m.script = {{.status = kDownloadOk}, {.status = kGuidOk}};
    m.files.insert(kAccessLog);
    steps.Begin();
    EXPECT_EQ(m.text, kWaitText);
    RunTimer();
    ASSERT_TRUE(steps.Finished());
    EXPECT_EQ(m.commandLines, (std::vector<std::string>{kDownloadCommandLine, ".\\Imagelift.exe /G 0A3C7E10 00017ABC"}));
    EXPECT_FALSE(steps.Failed());
    EXPECT_EQ(m.text, kCompletedText);
    EXPECT_EQ(m.progress, 1000);
    EXPECT_TRUE(m.finishOffered);
    EXPECT_TRUE(m.files.count(kDownloaderApp));
    EXPECT_FALSE(m.files.count(kDownloaderExe));
    EXPECT_FALSE(m.files.count(kAccessLog));
    EXPECT_TRUE(m.messages.empty());
}

// The downloader left as ".\Imagelift.exe" by an update that ended during a run is renamed back
// when the dialog opens, and the update then runs; where it is in its place (or missing) nothing
// moves.
TEST_F(UpdateStepsTest, ADownloaderLeftRenamedIsRenamedBackAndTheUpdateRuns) {
    const struct {
        const char* name;
        std::set<std::string> files, after;
        bool recovered;
    } cases[] = {
        {"left renamed", {kDownloaderExe}, {kDownloaderApp}, true},
        {"in its place", {kDownloaderApp}, {kDownloaderApp}, false},
        {"both", {kDownloaderApp, kDownloaderExe}, {kDownloaderApp, kDownloaderExe}, false},
        {"missing", {}, {}, false},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        FakeMachine machine;
        machine.files = c.files;
        UpdateSteps recovering{machine, machine};
        EXPECT_EQ(recovering.RecoverInterruptedUpdate(), c.recovered);
        EXPECT_EQ(machine.files, c.after);
        EXPECT_EQ(machine.logged, c.recovered ? std::vector<std::string>{kRecoveredText} : std::vector<std::string>{});
    }

    m.files = {kDownloaderExe};
    m.script = {{.status = kDownloadOk}, {.status = kGuidOk}};
    ASSERT_TRUE(steps.RecoverInterruptedUpdate());
    steps.Begin();
    RunTimer();
    ASSERT_TRUE(steps.Finished());
    EXPECT_FALSE(steps.Failed());
    EXPECT_TRUE(m.messages.empty()) << m.messages.front();
    EXPECT_EQ(m.files, (std::set<std::string>{kDownloaderApp, kStatusFile}));
}

TEST(RunSucceeded, SuccessLineAndNoLineOfFailure) {
    const std::string ok = "00:00:08.301, USER, basAutomation, Successfully programmed new bootloader firmware image.\r\n";
    const struct {
        std::string text;
        bool succeeded;
    } cases[] = {
        {ok, true},
        {"", false},
        {"00:00:01.000, USER, basApp, Started\r\n", false},
        // A bus reset cut the bus layer's scan short; the run went on and succeeded.
        {"00:00:04.301, ERROR, bas1394, VdevBusResetHandler call failed, code -1(0xFFFFFFFF)\r\n" + ok, true},
        {ok + "00:00:09.000, ERROR, basBootloader, Operation aborted due to hardware incompatibility\r\n", false},
        {"00:00:02.000, ERROR, basAutomation, Failed to Download Image.\r\n" + ok, false},
        {ok + "00:00:09.000, FATAL, basApp, Out of memory\r\n", false},
        {"no fields at all\nSuccessfully programmed new bootloader firmware image.", true},
    };
    for (const auto& c : cases) EXPECT_EQ(RunSucceeded(c.text, kDownloadSuccessLine), c.succeeded) << c.text;
    EXPECT_FALSE(RunSucceeded(ok, kGuidSuccessLine));
}

TEST_F(UpdateStepsTest, FailedOrMissingStatusSkipsTheGuidRunAndStillFinishes) {
    for (const std::string& status :
         {std::string(), OkLine("started"), kDownloadOk + "00:00:02.000, ERROR, basAutomation, Error #5\r\n",
          kDownloadOk + "00:00:02.000, FATAL, x, y\r\n"}) {
        FakeMachine fresh;
        fresh.script = {{.status = status}, {.status = kGuidOk}};
        UpdateSteps s(fresh, fresh);
        s.Begin();
        const int64_t end = NowMs() + 60000;
        while (fresh.timer && !s.Finished() && NowMs() < end) clock.Advance(100), s.Tick();
        EXPECT_TRUE(s.Failed()) << status;
        EXPECT_EQ(fresh.commandLines.size(), 1u) << status;
        EXPECT_EQ(fresh.text, kFailedText);
        EXPECT_TRUE(fresh.finishOffered);
        EXPECT_TRUE(fresh.files.count(kDownloaderApp));
    }
}

TEST_F(UpdateStepsTest, AFailedGuidRunIsReported) {
    m.script = {{.status = kDownloadOk}, {.status = OkLine("nothing")}};
    steps.Begin();
    RunTimer();
    EXPECT_EQ(m.commandLines.size(), 2u);
    EXPECT_TRUE(steps.Failed());
    EXPECT_EQ(m.text, kFailedText);
}

TEST_F(UpdateStepsTest, ASlowStartIsWaitedFor) {
    // The caption shows only after 20 s; the GUID run must not start while the first still runs.
    m.script = {{.captionFrom = 20000, .captionUntil = 40000, .processUntil = 41000, .status = kDownloadOk},
                {.status = kGuidOk}};
    steps.Begin();
    RunTimer();
    ASSERT_EQ(m.commandLines.size(), 2u);
    EXPECT_GE(m.processes[102].start, 41000);
    EXPECT_FALSE(steps.Failed());
}

TEST_F(UpdateStepsTest, ARunThatNeverEndsFailsAfterTheLimit) {
    m.script = {{.captionFrom = 0, .captionUntil = 1000, .processUntil = int64_t(kRunLimitMs) * 2, .status = kDownloadOk}};
    steps.Begin();
    RunTimer();
    EXPECT_TRUE(steps.Finished());
    EXPECT_TRUE(steps.Failed());
    EXPECT_EQ(m.commandLines.size(), 1u);
    // The process still holds the file: the rename back gives up with a message naming both.
    ASSERT_EQ(m.messages.size(), 1u);
    EXPECT_NE(m.messages[0].find(".\\Imagelift.exe"), std::string::npos);
    EXPECT_NE(m.messages[0].find(".\\Imagelift.app"), std::string::npos);
}

TEST_F(UpdateStepsTest, MissingAppIsADeadEnd) {
    m.files.clear();
    steps.Begin();
    RunTimer();
    EXPECT_EQ(m.messages, std::vector<std::string>{kUncompressText});
    EXPECT_FALSE(m.timer);
    EXPECT_FALSE(steps.Finished());
    EXPECT_TRUE(m.commandLines.empty());
}

TEST_F(UpdateStepsTest, AWindowOpenBeforeTheFirstTickHoldsStepZero) {
    m.script = {{.status = kDownloadOk}, {.status = kGuidOk}};
    m.processes[1] = {0, {.captionFrom = 0, .captionUntil = 3000, .processUntil = 3000, .status = {}}};
    steps.Begin();
    RunTimer(2000);
    EXPECT_TRUE(m.commandLines.empty());
    EXPECT_EQ(m.progress, 0);  // step 0 does not move the bar
    RunTimer();
    EXPECT_EQ(m.commandLines.size(), 2u);
}

TEST_F(UpdateStepsTest, RenameBackIsRetriedBoundedly) {
    m.script = {{.status = kDownloadOk}, {.status = kGuidOk}};
    m.lockedRenames = kRenameAttempts - 1;
    steps.Begin();
    RunTimer();
    EXPECT_TRUE(m.files.count(kDownloaderApp));
    EXPECT_TRUE(m.messages.empty());
}

TEST_F(UpdateStepsTest, CloseMidRunLeavesTheRunAloneCloseAfterItRenamesBack) {
    m.script = {{.status = kDownloadOk}, {.status = kGuidOk}};
    steps.Begin();
    clock.Advance(100);
    steps.Tick();  // the download run starts
    ASSERT_TRUE(m.files.count(kDownloaderExe));
    steps.OnClose();  // still running: nothing renamed
    EXPECT_TRUE(m.files.count(kDownloaderExe));
    clock.Advance(10000);
    steps.OnClose();
    EXPECT_TRUE(m.files.count(kDownloaderApp));
    EXPECT_FALSE(m.files.count(kDownloaderExe));
}

TEST(GuidCommandLine, FourUpperCaseDigitsInTheGeneratorsRange) {
    EXPECT_EQ(GuidCommandLine(0), ".\\Imagelift.exe /G 0A3C7E10 00010000");
    EXPECT_EQ(GuidCommandLine(0x7FFF), ".\\Imagelift.exe /G 0A3C7E10 00017FFF");
    EXPECT_EQ(GuidCommandLine(0xabc), ".\\Imagelift.exe /G 0A3C7E10 00010ABC");
}

}  // namespace
}  // namespace setup
