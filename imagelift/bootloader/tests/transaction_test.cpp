// The transaction layer, the target lookups and the download block exchange, against a target
// whose answers each test scripts.
#include "tests/boot_fixture.h"
#include "bootloader/commands.h"
#include "bootloader/download.h"
#include "bootloader/info_registers.h"
#include "bootloader/keys.h"
#include "bootloader/shell.h"
#include "bootloader/transaction.h"
#include "tests/scripted_target.h"

#include "kernel/mutex.h"

#include <atomic>
#include <thread>

namespace boottest {
namespace {

using namespace basBootloader;

class Transaction : public BootTest {
protected:
    void SetUp() override {
        BootTest::SetUp();
        auto node = std::make_unique<ScriptedTarget>();
        target_ = node.get();
        ASSERT_EQ(bus_.AddNode("t", std::move(node)), sim::kResultSuccess);
        Attach(1);
        ClearLines();
    }

    // Makes the scripted node target 63 of the list with the given protocol version.
    void Attach(int32_t protocol) {
        BootloaderTarget t;
        t.Handle = 63;
        t.Device.DriverType = "vdev";
        t.Device.NodeNumber = int16_t(bus_.PhyOf("t"));
        t.Device.Topology.LinkActive = 1;
        t.Info.ProtocolVersion = protocol;
        t.Info.BootloaderVersion = 5;
        State.TargetList.assign(1, t);
    }

    void AnswerEverything() {
        target_->responder = [](const WireRequest&) { return WireAnswer{}; };
    }

    int64_t NowMs() const { return clock_.NowMicros() / 1000; }

    ScriptedTarget* target_ = nullptr;
};

BootPacket Request(int32_t command) {
    BootPacket p;
    p.Command = command;
    return p;
}

TEST_F(Transaction, TimeOutZeroMeansOneWriteAndOneRead) {
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response), -1);
    EXPECT_EQ(target_->requests.size(), 1u);
    EXPECT_EQ(target_->responseReads, 1);
    EXPECT_EQ(NowMs(), 110) << "10 ms after the read, 100 ms after an unanswered poll";
    EXPECT_EQ(Count("Transaction failed: Validate response failed, code -1 (0xFFFFFFFF)"), 1);
}

TEST_F(Transaction, UnansweredRequestPollsUntilTheTimeOut) {
    BootPacket request = Request(kCmdReadImageCrc), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response, 2000), -1);
    EXPECT_EQ(target_->responseReads, 19);
    EXPECT_EQ(NowMs(), 19 * 110);
    EXPECT_EQ(Count("Transaction failed: Validate response failed"), 19);
    ASSERT_TRUE(Find("Transaction released the Transaction Mutex (command code 3, command ID 1, Mutex handle "));
}

// Each command waits for its answer as long as its own time-out: 110 ms per unanswered poll.
TEST_F(Transaction, CommandTimeOuts) {
    struct Case {
        const char* name;
        std::function<int32_t()> run;
        int64_t ms;
        int32_t result = -1;
    };
    int32_t a = 0, b = 0;
    ByteArray guid;
    const std::vector<Case> cases = {
        {"halt", [] { return Haltbootloader(63); }, 110},
        {"image CRC, 2000 ms", [&] { return ReadImageCRC(63, 0, a, b); }, 19 * 110},
        {"download end, 3000 ms by default", [&] { return DownloadEnd(63, a, b); }, 28 * 110},
        {"persistent parameters, 10000 ms", [] { return InitializePersistentParams(63); }, 91 * 110},
        {"factory defaults, one poll, no answer taken as done", [] { return InitializeConfigToFactoryDefaults(63); },
         110, 1},
        {"debug GUID", [&] { return GetDebugGUID(63, guid); }, 110},
        {"start image", [&] { return StartImage(63, 0, a); }, 110},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        const int64_t t0 = NowMs();
        EXPECT_EQ(c.run(), c.result);
        EXPECT_EQ(NowMs() - t0, c.ms);
    }
}

// Commands whose answer carries no operands: the line of a failed exchange, and of an answer
// that does carry operands (the command still counts as done), each with its level.
TEST_F(Transaction, CommandsWithoutAnswerOperandsLogTheirOutcome) {
    struct Case {
        const char* name;
        std::function<int32_t()> run;
        std::string failed;  // "" : an unanswered request that went out counts as done
        int32_t failedLevel;
        std::string withOperands;
        int32_t withOperandsLevel;
    };
    const ByteArray eight(8, 1);
    const std::string node = std::to_string(bus_.PhyOf("t"));
    const std::vector<Case> cases = {
        {"switch to shell", [] { return SwitchTo1394Shell(63, 1, 2); },
         "SwitchTo1394Shell failed: Transaction failed, code -1", basDebug::TRACE,
         "SwitchTo1394Shell failure: expected 0 operands, received 1", basDebug::TRACE},
        {"program GUID", [&] { return ProgramGUID(63, eight); },
         "ProgramGUID failed: Transaction failed, code -1", basDebug::TRACE,
         "ProgramGUID failure: expected 0 operands, received 1", basDebug::TRACE},
        {"program MAC", [&] { return ProgramMAC(63, eight); },
         "ProgramMAC failed: Transaction failed, code -1", basDebug::TRACE,
         "ProgramMAC failure: expected 0 operands, received 1", basDebug::TRACE},
        {"persistent parameters", [] { return InitializePersistentParams(63); },
         "InitializePersistentParams failed: Transaction failed, code -1", basDebug::WARNING,
         "InitializePersistentParams warning: expected 0 operands, received 1", basDebug::WARNING},
        {"set debug GUID", [&] { return SetDebugGUID(63, eight); },
         "SetDebugGUID (node #" + node + ") failed: Transaction failed, code -1", basDebug::ERROR_LEVEL,
         "SetDebugGUID failure: expected 0 operands, received 1", basDebug::ERROR_LEVEL},
        {"factory defaults", [] { return InitializeConfigToFactoryDefaults(63); }, "", 0,
         "InitializeConfigToFactoryDefaults warning: expected 0 operands, received 1", basDebug::TRACE},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        target_->responder = nullptr;
        ClearLines();
        if (c.failed.empty()) {
            EXPECT_EQ(c.run(), 1);
        } else {
            EXPECT_EQ(c.run(), -1);
            const auto failed = Find(c.failed);
            ASSERT_TRUE(failed);
            EXPECT_EQ(failed->message, c.failed);
            EXPECT_EQ(failed->level, c.failedLevel);
        }

        target_->responder = [](const WireRequest&) { return WireAnswer::Quadlets({7}); };
        ClearLines();
        EXPECT_EQ(c.run(), 1);
        const auto extra = Find(c.withOperands);
        ASSERT_TRUE(extra);
        EXPECT_EQ(extra->message, c.withOperands);
        EXPECT_EQ(extra->level, c.withOperandsLevel);
        EXPECT_FALSE(Find("Successfully set"));
        EXPECT_FALSE(Find("succeeded"));
    }
}

TEST_F(Transaction, ResetNeedsNoAnswer) {
    BootPacket request = Request(kCmdReset), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response, 2000), 1);
    EXPECT_EQ(target_->responseReads, 1);
}

TEST_F(Transaction, HandlesBelowOneTouchNothing) {
    for (int32_t handle : {0, -5, -101}) {
        BootPacket request = Request(kCmdHalt), response;
        EXPECT_EQ(SessionLayerTransaction(handle, request, response, 2000), -1);
        ASSERT_TRUE(Find("Transaction failed: invalid device handle: " + std::to_string(handle)));
    }
    EXPECT_TRUE(target_->requests.empty());
    EXPECT_EQ(NowMs(), 0);
    // The halt broadcast of the incoming-data handler ends the same way.
    EXPECT_EQ(Haltbootloader(0), -1);
    EXPECT_TRUE(Find("Haltbootloader failed: Transaction failed, code -1"));
}

TEST_F(Transaction, SequenceRunsToThirtyTwoThousandSevenHundredSixtySixThenOne) {
    AnswerEverything();
    State.CommandSequence = 32765;
    std::vector<int16_t> stamped;
    for (int i = 0; i < 3; ++i) {
        BootPacket request = Request(kCmdHalt), response;
        ASSERT_EQ(SessionLayerTransaction(63, request, response), 1);
        stamped.push_back(request.Sequence);
    }
    EXPECT_EQ(stamped, (std::vector<int16_t>{32766, 1, 2}));
    ASSERT_EQ(target_->requests.size(), 3u);
    EXPECT_EQ(target_->requests[0].sequence, 32766);
    EXPECT_EQ(target_->requests[1].sequence, 1);
    EXPECT_EQ(target_->requests[0].version, 1u);
}

TEST_F(Transaction, AnswerOperandCounts) {
    struct Case {
        uint8_t count;
        int32_t result;
    };
    for (Case c : {Case{15, -1}, Case{12, 1}, Case{0, 1}}) {
        SCOPED_TRACE(int(c.count));
        target_->responder = [&](const WireRequest&) {
            WireAnswer a;
            a.count = c.count;
            a.operands.assign(56, 0xAB);
            return a;
        };
        BootPacket request = Request(kCmdGetDebugGuid), response;
        response.Operands = {7};
        EXPECT_EQ(SessionLayerTransaction(63, request, response), c.result);
        if (c.count == 15) {
            EXPECT_TRUE(Find("GetResponse Error: invalid number of quadlets returned: 15"));
        } else if (c.count == 12) {
            ASSERT_EQ(response.Operands.size(), 48u);
            EXPECT_EQ(response.Operands[31], 0xAB);
            EXPECT_EQ(std::count(response.Operands.begin() + 32, response.Operands.end(), 0), 16)
                << "only 40 header bytes are read";
        } else {
            EXPECT_EQ(response.Operands, ByteArray{7}) << "no operands leave the array as it was";
        }
    }
}

TEST_F(Transaction, ValidationRunsEveryCheck) {
    target_->responder = [](const WireRequest& r) {
        WireAnswer a;
        a.command = uint8_t(r.command + 1);
        a.sequence = uint16_t(r.sequence + 7);
        return a;
    };
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response), -1);
    EXPECT_TRUE(Find("ValidateResponse failed, invalid command code (request = 1 (0x1), response = 2 (0x2)"));
    EXPECT_TRUE(Find("ValidateResponse failed: invalid command ID (request = 1 (0x1), response = 8 (0x8)"));
}

TEST_F(Transaction, ProtocolVersionsOfTheTarget) {
    AnswerEverything();
    // Version 2 as stored little-endian: sent as 2, and no answer can validate.
    Attach(2);
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response), -1);
    EXPECT_EQ(target_->requests.back().version, 2u);
    EXPECT_TRUE(Find("ValidateResponse failed: Protocol Version 2 is not yet implemented"));
    // The big-endian variant reads as 0x02000000 and talks version 1.
    Attach(kProtocolV2BigEndian);
    request = Request(kCmdHalt);
    EXPECT_EQ(SessionLayerTransaction(63, request, response), 1);
    EXPECT_EQ(target_->requests.back().version, 1u);
    auto line = Find("Invalid protocol version determined in SendRequest: 33554432(0x2000000)!  Setting protocol "
                     "version to 1.");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
}

TEST_F(Transaction, MutexHeldElsewhereFailsAfterTwoSeconds) {
    AnswerEverything();
    {
        MutexHolder holder;
        BootPacket request = Request(kCmdHalt), response;
        EXPECT_EQ(SessionLayerTransaction(63, request, response, 5000), -1);
        EXPECT_GE(NowMs(), 2000);
        EXPECT_LT(NowMs(), 2010);
        auto line = Find("Function SessionLayerTransaction failed to take the Transaction Mutex, code=258");
        ASSERT_TRUE(line);
        EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
        EXPECT_TRUE(target_->requests.empty());
    }
    // The owner's thread takes it again at once; a transaction inside works.
    ASSERT_EQ(kernel::WaitForSingleObject(State.TransactionMutexHandle, 0), kernel::WAIT_OBJECT_0);
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response), 1);
    EXPECT_TRUE(kernel::ReleaseMutex(State.TransactionMutexHandle));
    EXPECT_FALSE(kernel::ReleaseMutex(State.TransactionMutexHandle)) << "the transaction released its own take";
}

TEST_F(Transaction, WhileDownloadingOnlyLinesFromEightUpAreLogged) {
    Attach(kProtocolV2BigEndian);
    ctx_.DownloadInProgress = true;
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response), -1);
    for (const auto& l : status_.lines) EXPECT_GE(l.level, 8) << l.message;
    EXPECT_TRUE(Find("Invalid protocol version determined in SendRequest"));
}

TEST_F(Transaction, Lookups) {
    BootloaderTarget a = State.TargetList[0], b = a;
    a.Info.Guid = {1, 2, 3, 4, 5, 6, 7, 8};
    b.Handle = 64;
    b.Device.NodeNumber = 5;
    b.Info.Guid = a.Info.Guid;
    State.TargetList = {a, b};
    EXPECT_EQ(GetDeviceIndex(64), 1);
    EXPECT_EQ(GetDeviceIndex(65), -1);
    bas1394::NodeRecord r;
    r.NodeNumber = 5;
    EXPECT_EQ(GetDeviceHandle(r), 64);
    r.NodeNumber = 9;
    EXPECT_EQ(GetDeviceHandle(r), 0);
    EXPECT_EQ(GetNodeNum(0).NodeNumber, 128);
    EXPECT_EQ(GetNodeNum(64).NodeNumber, 5);
    EXPECT_EQ(GetNodeNum(99).NodeNumber, 128);
    EXPECT_EQ(GetDeviceHandleFromGuid(a.Info.Guid), 63);
    EXPECT_EQ(GetDeviceHandleFromGuid(a.Info.Guid, 63), 64);
    EXPECT_EQ(GetDeviceHandleFromGuid(ByteArray(8, 9)), 0);
}

// Exchanges that move bulk data hold the transaction mutex from the payload to the answer;
// when another holder keeps it, they fail as their transaction would, and send nothing.
TEST_F(Transaction, PayloadExchangesWithoutTheMutexSendNothing) {
    AnswerEverything();
    struct Case {
        const char* name;
        int32_t protocol;
        std::function<int32_t()> run;
        const char* line;
        int32_t level;
    };
    ByteArray chars;
    const std::vector<Case> cases = {
        {"read key", 1, [&] { return ReadKey(63, "serial", chars); }, "ReadKey failed: Transaction failed, code -1",
         basDebug::ERROR_LEVEL},
        {"write key", 1, [] { return WriteKey(63, "serial", ByteArray(10, 1)); },
         "WriteKey failed: Transaction failed, code -1", basDebug::ERROR_LEVEL},
        {"shell read, protocol 1", 1, [&] { return ReadShellCharacters(63, chars, false); },
         "ReadShellCharacters failed: Transaction failed, code -1", basDebug::WARNING},
        {"shell read, protocol 3", 3, [&] { return ReadShellCharacters(63, chars, false); },
         "ReadShellCharacters failed: Transaction failed, code -1", basDebug::WARNING},
        {"shell write, protocol 1", 1, [] { return WriteShellCharacters(63, {'x'}); },
         "WriteShellCharacters failed: Transaction failed, code -1", basDebug::TRACE},
        {"shell read, protocol 2", 2, [&] { return ReadShellCharacters(63, chars, false); },
         "ReadShellCharacters failed to take the Transaction Mutex, code=258", basDebug::ERROR_LEVEL},
        {"shell write, protocol 2", 2, [] { return WriteShellCharacters(63, {'x'}); },
         "WriteShellCharacters failed to take the Transaction Mutex, code=258", basDebug::ERROR_LEVEL},
    };
    MutexHolder holder;
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Attach(c.protocol);
        ClearLines();
        EXPECT_EQ(c.run(), -1);
        auto line = Find(c.line);
        ASSERT_TRUE(line);
        EXPECT_EQ(line->level, c.level);
        if (c.protocol != 2) {
            EXPECT_TRUE(Find("Function SessionLayerTransaction failed to take the Transaction Mutex, code=258"));
        }
        EXPECT_TRUE(target_->requests.empty());
        EXPECT_TRUE(target_->payloadWrites.empty());
        EXPECT_EQ(target_->responseReads, 0);
    }
}

// The protocol-1 status block: three quadlets least significant byte first, then 16- and
// 32-bit fields most significant byte first, which are only logged.
TEST_F(Transaction, ShellStatusBlockOfProtocolOne) {
    struct Case {
        uint32_t received, lost;
        std::string characters;
    };
    const std::string notice = "\r\n\r\n << buffer overflow on target: 5 characters lost >>\r\n\r\n";
    for (const Case& c : {Case{3, 5, notice + "abc"}, Case{3, 0, "abc"}, Case{0, 5, std::string(1, '\0')}}) {
        SCOPED_TRACE(std::to_string(c.received) + "/" + std::to_string(c.lost));
        target_->responder = [&](const WireRequest&) {
            WireAnswer a = WireAnswer::Quadlets({c.received, 2, c.lost});
            for (uint8_t b : {0x80, 0x01, 0x00, 0x10, 0x00, 0x03, 0x7F, 0xFE, 0x80, 0x00, 0x00, 0x00, 0x01, 0x02,
                              0x00, 0x03}) {
                a.operands.push_back(b);
            }
            a.count = 7;
            return std::optional(a);
        };
        target_->SetResponsePayload({'a', 'b', 'c', 0});
        ClearLines();
        ByteArray chars;
        EXPECT_EQ(ReadShellCharacters(63, chars, false), 1);
        EXPECT_EQ(std::string(chars.begin(), chars.end()), c.characters);
        if (c.received > 0) {
            EXPECT_TRUE(Find("ReadShellCharacters: received=3 status=2 charsLost=" + std::to_string(c.lost)));
            EXPECT_TRUE(Find("ReadShellCharacters: head=0x8001  tail=0x7FFE  bufferStart=0x10  sizeOfPayload=0x3"));
            EXPECT_TRUE(Find("ReadShellCharacters:  maxPayload=0x80000000  numBytesCopied=0x3  txCharCount=0x102"));
        } else {
            EXPECT_FALSE(Find("ReadShellCharacters: received="));
        }
    }
}

// A progress bar counts the transaction's time in steps of 100 ms, and the window is repainted
// after every unanswered poll.
TEST_F(Transaction, ProgressBarAndRepaintWhilePolling) {
    int paints = 0;
    user::HWND picture = user::CreateWindow("PictureBox", "", [&](user::HWND, uint32_t msg, user::WPARAM, user::LPARAM) {
        if (msg == 0x000F) ++paints;
        return user::LRESULT(0);
    });
    RecordingBar bar, label("Label");
    BootPacket request = Request(kCmdHalt), response;
    EXPECT_EQ(SessionLayerTransaction(63, request, response, 500, &bar, picture), -1);
    EXPECT_EQ(bar.Min(), 0);
    EXPECT_EQ(bar.Max(), 5);
    // Polls at 10, 120, 230, 340 and 450 ms; 4.5 rounds to the even 4.
    EXPECT_EQ(bar.values, (std::vector<float>{0, 1, 2, 3, 4}));
    EXPECT_EQ(paints, 5);
    request = Request(kCmdHalt);
    EXPECT_EQ(SessionLayerTransaction(63, request, response, 0, &label, 0), -1);
    EXPECT_TRUE(label.values.empty()) << "only a progress bar is driven";
    user::DestroyWindow(picture);
}

// ---------------------------------------------------------------- download block and start

TEST_F(Transaction, DownloadBlockOutcomes) {
    struct Case {
        const char* name;
        int32_t block;
        std::function<std::optional<WireAnswer>(const WireRequest&)> answer;
        int32_t result;
        int reads;
    };
    auto echo = [](int32_t delta, uint32_t status) {
        return [=](const WireRequest& r) { return std::optional(WireAnswer::Quadlets({r.Op(0) + delta, status})); };
    };
    auto silent = [](const WireRequest&) { return std::optional<WireAnswer>(); };
    std::vector<Case> cases = {
        {"accepted", 3, echo(0, 0), 1, 1},
        {"wrong echo four times", 3, echo(1, 0), -102, 4},
        {"target status 5", 3, echo(0, 5), 5, 1},
        {"target status 1", 3, echo(0, 1), -101, 1},
        {"flash write failed", 3, echo(0, uint32_t(-3)), -3, 1},
        {"silent, block 0", 0, silent, -2, 4},
        {"silent, block 7", 7, silent, -102, 4},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        target_->responder = [&](const WireRequest& r) {
            return r.command == kCmdDownloadBlock ? c.answer(r) : std::optional(WireAnswer{});
        };
        target_->responseReads = 0;
        target_->requests.clear();
        doEvents_ = 0;
        int64_t t0 = NowMs();
        ByteArray data(1024, 0x5A);
        EXPECT_EQ(DownloadBlock(63, c.block, 0x10000400, 1024, data), c.result);
        EXPECT_EQ(target_->responseReads, c.reads);
        EXPECT_EQ(doEvents_, c.reads - 1) << "window messages run between polls";
        EXPECT_EQ(NowMs() - t0, c.reads * 10 + (c.reads - 1) * 20);
        ASSERT_EQ(target_->requests.size(), 1u);
        EXPECT_EQ(target_->requests[0].count, 3);
        EXPECT_EQ(target_->requests[0].Op(0), uint32_t(c.block));
        EXPECT_EQ(target_->requests[0].Op(1), 0x10000400u);
        EXPECT_EQ(target_->requests[0].Op(2), 1024u);
        EXPECT_EQ(target_->payloadWrites.back(), data);
        EXPECT_FALSE(kernel::ReleaseMutex(State.TransactionMutexHandle)) << "released after the block";
    }
}

TEST_F(Transaction, DownloadBlockWithoutTheMutexSendsNothing) {
    AnswerEverything();
    MutexHolder holder;
    ByteArray data(16, 1);
    EXPECT_EQ(DownloadBlock(63, 0, 0, 16, data), -1);
    EXPECT_TRUE(target_->requests.empty());
    EXPECT_TRUE(target_->payloadWrites.empty());
    auto line = Find("DownloadBlock failed to take the Transaction Mutex, code %#x (%s).  Continuing anyway.  "
                     "code = 258");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::WATCH);
    EXPECT_FALSE(Find("DownloadBlock failed to release"));
}

TEST_F(Transaction, DownloadStartBlockSizes) {
    struct Case {
        std::vector<uint32_t> answer;
        int32_t result;
        int32_t size;
        const char* line;
    };
    for (const Case& c : {Case{{1024}, 1, 1024, nullptr},
                          Case{{8192}, 1, 4096,
                               "Download start: Max Block size is 8192.  This seems awefully large.  Setting to 4096"},
                          Case{{0}, -1, 0,
                               "Bootloader returned invalid parameter to DownloadStart command!  MAX BLOCK SIZE = "
                               "0x0 0x0 0x0 0x0!"},
                          Case{{1024, 1}, -1, -7, "DownloadStart failure: expected 4 operands, received 2"}}) {
        target_->responder = [&](const WireRequest&) { return std::optional(WireAnswer::Quadlets(c.answer)); };
        int32_t size = -7;
        ByteArray date = {'2', '0', '2', '6', '0', '1', '0', '5'}, time = {'1', '2', '3', '4', '5', '6', 0, 0};
        EXPECT_EQ(DownloadStart(63, 1, date, time, 11, 12, 0x201A0000, 300, 0x1234, size, 40000), c.result);
        if (c.result == 1) {
            EXPECT_EQ(size, c.size);
        }
        if (c.line) {
            EXPECT_TRUE(Find(c.line)) << c.line;
        }
        const WireRequest& r = target_->requests.back();
        EXPECT_EQ(r.count, 10);
        EXPECT_EQ(r.Op(0), 1u);
        EXPECT_EQ(ByteArray(r.operands.begin() + 4, r.operands.begin() + 12), date);
        EXPECT_EQ(ByteArray(r.operands.begin() + 12, r.operands.begin() + 20), time);
        EXPECT_EQ(r.Op(5), 11u);
        EXPECT_EQ(r.Op(6), 12u);
        EXPECT_EQ(r.Op(7), 0x201A0000u);
        EXPECT_EQ(r.Op(8), 300u);
        EXPECT_EQ(r.Op(9), 0x1234u);
    }
}

}  // namespace
}  // namespace boottest

namespace boottest {
namespace {

using namespace basBootloader;

// Keys against targets that misreport sizes: the exchanges must end, not loop.
TEST_F(Transaction, KeyExchangesEndWhenNothingMoves) {
    // The target wants 1000 bytes while the host has 300.
    target_->responder = [](const WireRequest& r) -> std::optional<WireAnswer> {
        if (r.command == kCmdWriteKey) return WireAnswer::Quadlets({0, 1000, 0});
        return std::nullopt;
    };
    EXPECT_EQ(WriteKey(63, "serial", ByteArray(300, 7)), -1);
    EXPECT_EQ(target_->requests.size(), 4u) << "128, 128, 44, then nothing new to send";
    EXPECT_TRUE(Find("WriteKey failure: target expects 1000 bytes of key data for key 'serial', the host has 300"));
    // Each 128-byte chunk goes quadlet-reversed.
    ASSERT_GE(target_->payloadWrites.size(), 3u);
    EXPECT_EQ(target_->payloadWrites[2].size(), 128u);

    // A read whose target never hands over the rest.
    target_->requests.clear();
    target_->responder = [](const WireRequest& r) -> std::optional<WireAnswer> {
        if (r.command == kCmdReadKey) return WireAnswer::Quadlets({0, 50, 0, r.Op(2)});
        return std::nullopt;
    };
    ByteArray data;
    EXPECT_EQ(ReadKey(63, "abcd", data), -1);
    EXPECT_EQ(target_->requests.size(), 3u);

    // A target announcing a 256 MB key and handing over 4 bytes: the host holds 4 bytes.
    target_->requests.clear();
    target_->responder = [](const WireRequest& r) -> std::optional<WireAnswer> {
        return WireAnswer::Quadlets({0, 1u << 28, r.Op(2) == 0 ? 4u : 0u, r.Op(2)});
    };
    EXPECT_EQ(ReadKey(63, "ab", data), -1);
    EXPECT_EQ(data.size(), 5u);

    // A four-character name: the last exchange carries only the terminating zero and gets a
    // chunk of 0, which is nothing to read.
    target_->requests.clear();
    target_->SetResponsePayload({'v', 'a', 'l', 'u', 'e', 0, 0, 0});
    target_->responder = [](const WireRequest& r) -> std::optional<WireAnswer> {
        const uint32_t offset = r.Op(2);
        return WireAnswer::Quadlets({0, 5, offset >= 5 ? 0u : 5u, offset});
    };
    EXPECT_EQ(ReadKey(63, "abcd", data), 1);
    EXPECT_EQ(ByteArray(data.begin(), data.begin() + 5), ByteArray({'v', 'a', 'l', 'u', 'e'}));
    ASSERT_EQ(target_->requests.size(), 2u);
    EXPECT_EQ(target_->requests[0].count, 4) << "3 + one name quadlet";
    EXPECT_EQ(target_->requests[0].Op(0), 5u) << "name length with its zero";
    EXPECT_EQ(target_->requests[0].operands.size(), 20u) << "the zero goes as a fifth name byte, past the count";
    EXPECT_EQ(std::string(target_->requests[0].operands.begin() + 12, target_->requests[0].operands.begin() + 16), "abcd");
    EXPECT_EQ(target_->requests[1].Op(1), 4u) << "name offset of the second exchange";
}

TEST_F(Transaction, ImageGoesInKilobyteBlocksEvenWhenTheTargetOffersMore) {
    const std::string file = root_ + "/small.fwp";
    {
        ByteArray image(2500);
        for (size_t i = 0; i < image.size(); ++i) image[i] = uint8_t(i);
        ByteArray bytes(352, 0);
        const char magic[] = "vSkD";
        std::copy(magic, magic + 4, bytes.begin());
        auto put = [&](size_t at, uint32_t v) {
            for (int i = 0; i < 4; ++i) bytes[at + i] = uint8_t(v >> (8 * i));
        };
        put(48, 352);
        put(52, 0x10000000);
        put(56, 2500);
        bytes.insert(bytes.end(), image.begin(), image.end());
        std::ofstream(file, std::ios::binary).write(reinterpret_cast<const char*>(bytes.data()), std::streamsize(bytes.size()));
    }
    target_->responder = [](const WireRequest& r) -> std::optional<WireAnswer> {
        switch (r.command) {
        case kCmdDownloadStart: return WireAnswer::Quadlets({4096});
        case kCmdDownloadBlock: return WireAnswer::Quadlets({r.Op(0), 0});
        case kCmdDownloadEnd: return WireAnswer::Quadlets({0, 0});
        default: return std::nullopt;
        }
    };
    EXPECT_EQ(DownloadImage(63, kImageBootloader, file), 1);
    std::vector<std::vector<uint32_t>> blocks;
    for (const auto& r : target_->requests) {
        if (r.command == kCmdDownloadBlock) blocks.push_back({r.Op(0), r.Op(1), r.Op(2)});
    }
    EXPECT_EQ(blocks, (std::vector<std::vector<uint32_t>>{
                          {0, 0x10000000, 1024}, {1, 0x10000400, 1024}, {2, 0x10000800, 452}}));
    ASSERT_EQ(target_->payloadWrites.size(), 3u);
    EXPECT_EQ(target_->payloadWrites[2].size(), 452u);
    EXPECT_EQ(target_->payloadWrites[2][0], uint8_t(2048));
    EXPECT_TRUE(Find("Successfully loaded new Bootloader Image '" + file + "' onto target at "));
}

}  // namespace
}  // namespace boottest
