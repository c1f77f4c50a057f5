// The transaction wrappers, the text-to-address conversion, the module log filter and the
// loader's failure paths, on the fake library.
#include <gtest/gtest.h>

#include "bus1394/access_library.h"
#include "bus1394/transactions.h"
#include "tests/bus_fixture.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace bustest {
namespace {

using namespace bas1394;

Address48 RomBase() {
    Address48 a;
    a.OffsetHigh = -1;
    a.OffsetLow = static_cast<int32_t>(0xF0000400u);
    return a;
}

class TransactionsTest : public BusTest {
protected:
    void SetUp() override {
        BusTest::SetUp();
        Fake().AddRom(2, std::vector<uint32_t>(600, 0x01020304));
    }
    int32_t Read(const NodeRecord& node, int32_t length, bool quadlets = false) {
        return AsyncReadWrapperVB(node, RomBase(), length, quadlets, -1, data_);
    }
    std::vector<uint8_t> data_;
};

TEST_F(TransactionsTest, ReadRefusalsMakeNoRequest) {
    struct Case {
        int16_t node;
        int32_t length;
        bool link;
        const char* line;
    };
    const Case cases[] = {
        {63, 4, true, nullptr},
        {-1, 4, true, nullptr},
        {2, 0, true, "AsyncRead failure: (addr 0xFFFFF0000400, node 2): invalid size of requested payload: 0.  "
                     "The maximum payload is 2048.  Exiting abnormally"},
        {2, 2049, true, "invalid size of requested payload: 2049."},
        {2, 4, false, "AsyncRead failure: node 2 has an inactive LLC (according to the SelfID packet).  "
                      "Exiting abnormally"},
    };
    for (const Case& c : cases) {
        ClearLines();
        EXPECT_EQ(Read(Node(c.node, c.link), c.length), -1) << c.node << " " << c.length;
        if (c.line) {
            ASSERT_TRUE(Find(c.line)) << c.line;
            EXPECT_EQ(Find(c.line)->level, basDebug::WARNING);
        } else {
            EXPECT_TRUE(Messages("bas1394").empty());
        }
    }
    EXPECT_EQ(Fake().calls["AsyncReadWrapper"], 0);
}

TEST_F(TransactionsTest, LengthsRoundUpToWholeQuadlets) {
    EXPECT_EQ(Read(Node(2), 5), 1);
    EXPECT_EQ(data_, (std::vector<uint8_t>{1, 2, 3, 4, 1, 2, 3, 4}));
    EXPECT_EQ(Read(Node(2), 2048), 1);
    EXPECT_EQ(data_.size(), 2048u);
    EXPECT_EQ(Fake().readTimeouts.back(), 200);  // a negative time-out means the default
    const auto line = Find("AsyncRead of 0xFFFFF0000400, node 2 succeeded.   function call time=0ms. Exiting normally.");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::DETAIL);
}

TEST_F(TransactionsTest, ReadResultsAndTheirLines) {
    struct Case {
        int32_t code;
        bool pendingBefore;
        int32_t result;
        const char* line;
    };
    const Case cases[] = {
        {121, false, 121, "AsyncRead of 0xFFFFF0000400, node 2 failed, code 0x79: Node did not respond.  "
                          "function call time=0ms. Exiting abnormally"},
        {121, true, -105, "Node did not respond."},
        {kLibBusReset, false, -105, "AsyncRead failure: a bus reset has interrupted the transaction in progress "
                                    "from within the DLL layer.  function call time=0ms.  Exiting abnormally"},
        {kLibTimedOut, false, kLibTimedOut, "AsyncRead of 0xFFFFF0000400, node 2 timed out. function call "
                                            "time=0ms.  Exiting abnormally"},
        {kLibShutdown, false, kLibShutdown, "AsyncRead failure: the Application Shutdown Event has somehow become "
                                            "set in the Vsk1394api.dll.  No multithreaded transactions can complete."},
        {kLibUnknownError, false, kLibUnknownError,
         "AsyncRead failure (addr 0xFFFFF0000400, node 2): common unknown error, code 0x8000013D .  TODO: "
         "determine if this is caused by an error response packet or no response.  function call time=0ms.  "
         "Exiting abnormally"},
        {kLibResponseError, true, -105, "AsyncRead failure (addr 0xFFFFF0000400, node 2): 1394 response error, "
                                        "code 0x80000017 .  This is caused by an address error rcode"},
        {5, false, 5, "AsyncRead of 0xFFFFF0000400, node 2 failed, code 0x5 function call time=0ms. Exiting abnormally"},
    };
    for (const Case& c : cases) {
        ClearLines();
        State.BusResetPending = c.pendingBefore;
        Fake().onRead = [&](int32_t, uint32_t, int32_t) { return std::optional<int32_t>(c.code); };
        EXPECT_EQ(Read(Node(2), 4), c.result) << c.code;
        ASSERT_TRUE(Find(c.line)) << c.line;
        EXPECT_EQ(Find(c.line)->level, basDebug::WARNING);
        if (c.code == kLibBusReset) {
            EXPECT_TRUE(State.BusResetPending);
        }
    }
}

TEST_F(TransactionsTest, DriverKinds) {
    NodeRecord klmd = Node(2);
    klmd.DriverType = "klmd";
    EXPECT_EQ(Read(klmd, 4), kOtherDriverKind);
    EXPECT_TRUE(Find("failed, code 0xEE000200 function call time="));
    NodeRecord other = Node(2);
    other.DriverType = "VDEV";  // compared exactly
    EXPECT_EQ(Read(other, 4), 0);
    EXPECT_EQ(Fake().calls["AsyncReadWrapper"], 0);

    int32_t timeout = 0;
    std::vector<uint8_t> data{1, 2, 3, 4};
    EXPECT_EQ(AsyncWriteWrapperVB(klmd, RomBase(), 0, timeout, data), -1);
    EXPECT_TRUE(Find("AsyncWriteWrapperVB: code 0xEE000200 is an unknown error response."));
    EXPECT_EQ(AsyncWriteWrapperVB(other, RomBase(), 0, timeout, data), -1);
    EXPECT_EQ(Find("AsyncWriteWrapperVB: Unknown Driver error.  Exiting abnormally.")->level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(Fake().calls["AsyncWriteWrapper"], 0);
}

TEST_F(TransactionsTest, QuadletModeStopsAtTheFailingQuadletAndLetsEventsRunBetween) {
    Fake().onRead = [](int32_t, uint32_t address, int32_t bytes) -> std::optional<int32_t> {
        EXPECT_EQ(bytes, 4);
        if (address == 0xF000040Cu) return kLibResponseError;
        return std::nullopt;
    };
    EXPECT_EQ(Read(Node(2), 32, true), kLibResponseError);
    EXPECT_EQ(Fake().reads.size(), 4u);
    EXPECT_EQ(doEvents_, 3);
    EXPECT_TRUE(Find("AsyncRead failure (addr 0xFFFFF000040C, node 2): 1394 response error"));

    Fake().onRead = nullptr;
    doEvents_ = 0;
    ClearLines();
    EXPECT_EQ(Read(Node(2), 12, true), 1);
    EXPECT_EQ(doEvents_, 2);
    EXPECT_TRUE(Find("AsyncRead of 0xFFFFF000040C, node 2 succeeded."));  // index reached = length
}

TEST_F(TransactionsTest, WritePadsSendsAndJudges) {
    int32_t timeout = -5;
    std::vector<uint8_t> data{1, 2, 3, 4, 5, 6};
    EXPECT_EQ(AsyncWriteWrapperVB(Node(63), RomBase(), 0, timeout, data), 1);  // broadcast is sent
    EXPECT_EQ(data, (std::vector<uint8_t>{1, 2, 3, 4, 5, 6, 0, 0}));
    EXPECT_EQ(timeout, 200);
    EXPECT_EQ(Fake().writes.back().size(), 8u);

    EXPECT_EQ(AsyncWriteWrapperVB(Node(64), RomBase(), 0, timeout, data), -1);
    EXPECT_EQ(AsyncWriteWrapperVB(Node(2, false), RomBase(), 0, timeout, data), -1);
    EXPECT_TRUE(Find("AsyncWrite failure: node 2 has an inactive LLC (according to the SelfID packet).  "
                     "Exiting abnormally"));

    std::vector<uint8_t> big(2049, 0);
    EXPECT_EQ(AsyncWriteWrapperVB(Node(2), RomBase(), 0, timeout, big), -1);
    EXPECT_EQ(big.size(), 2052u);  // padded before it was refused
    EXPECT_EQ(Find(" in bas1394.AsyncWriteWrapperVB")->level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(Fake().calls["AsyncWriteWrapper"], 1);

    struct Case {
        int32_t code;
        bool pending;
        int32_t result;
        const char* why;
    };
    const Case cases[] = {
        {kLibResponseError, false, -1, " indicates that a response error packet was received from the target."},
        {kLibUnknownError, true, -105, " indicates that no response packet was received from the target.  TODO: verify this."},
        {121, false, -1, " is an unknown error response."},
    };
    for (const Case& c : cases) {
        ClearLines();
        State.BusResetPending = c.pending;
        Fake().onWrite = [&](int32_t, uint32_t, int32_t) { return std::optional<int32_t>(c.code); };
        EXPECT_EQ(AsyncWriteWrapperVB(Node(2), RomBase(), 0, timeout, data), c.result);
        EXPECT_FALSE(State.BusResetPending && !c.pending);  // a write never sets the flag
        EXPECT_TRUE(Find("AsyncWriteWrapperVB: call to AsyncWrite failed, code" + std::to_string(c.code) + "(0x" +
                         vb::Hex(c.code) + "), node 2, address 0xFFFFF0000400, call time = 0 ms"));
        EXPECT_TRUE(Find("AsyncWriteWrapperVB: code 0x" + vb::Hex(c.code) + c.why));
    }
}

// A sequence gives what its steps give one call each (results, requests, lines), whether the
// library takes it in one call or not, and stops after the first step that fails.
TEST_F(TransactionsTest, ASequenceGivesWhatItsStepsGiveOneByOne) {
    struct Case {
        const char* name;
        int32_t failingCall;  // 0 none; else the 1-based call that fails
        int32_t code;
        bool pending;
        int32_t done;
    };
    const Case cases[] = {
        {"all succeed", 0, 1, false, 3},
        {"first write answered with an error", 1, kLibResponseError, false, 1},
        {"second write unanswered after a reset", 2, kLibUnknownError, true, 2},
        {"read unanswered", 3, 121, false, 3},
        {"read cut off by a reset", 3, kLibBusReset, false, 3},
    };
    struct Outcome {
        int32_t done;
        std::vector<int32_t> results;
        std::vector<std::vector<uint8_t>> writes, data;
        std::vector<std::pair<int32_t, uint32_t>> reads;
        std::vector<std::pair<std::string, int32_t>> lines;
        bool pending;
    };
    auto run = [&](const Case& c, bool offered) {
        OfferSequence(offered);
        Fake().writes.clear();
        Fake().reads.clear();
        ClearLines();
        State.BusResetPending = c.pending;
        int call = 0;
        auto inject = [&](int32_t, uint32_t, int32_t) {
            return ++call == c.failingCall ? std::optional<int32_t>(c.code) : std::nullopt;
        };
        Fake().onWrite = inject;
        Fake().onRead = inject;
        std::vector<uint8_t> payload{1, 2, 3, 4, 5, 6}, header{7, 8, 9, 10}, answer;
        Address48 at = RomBase();
        TransferStep steps[] = {{.address = at, .write = true, .data = &payload},
                                {.address = at, .write = true, .timeoutMs = -1, .data = &header},
                                {.address = at, .length = 10, .data = &answer}};
        Outcome o;
        o.done = AsyncSequenceVB(Node(2), steps, 3);
        for (int i = 0; i < o.done; ++i) o.results.push_back(steps[i].result);
        o.writes = Fake().writes;
        o.reads = Fake().reads;
        o.data = {payload, header, answer};
        for (const Line& l : status_.lines) o.lines.emplace_back(l.message, l.level);
        o.pending = State.BusResetPending;
        return o;
    };
    for (const Case& c : cases) {
        const Outcome oneByOne = run(c, false);
        EXPECT_EQ(Fake().calls["AsyncTransferSequence"], 0) << c.name;
        const Outcome together = run(c, true);
        EXPECT_EQ(Fake().calls["AsyncTransferSequence"], 1) << c.name;
        Fake().calls.clear();
        EXPECT_EQ(together.done, c.done) << c.name;
        EXPECT_EQ(together.done, oneByOne.done) << c.name;
        EXPECT_EQ(together.results, oneByOne.results) << c.name;
        EXPECT_EQ(together.writes, oneByOne.writes) << c.name;
        EXPECT_EQ(together.reads, oneByOne.reads) << c.name;
        EXPECT_EQ(together.data, oneByOne.data) << c.name;
        EXPECT_EQ(together.lines, oneByOne.lines) << c.name;
        EXPECT_EQ(together.pending, oneByOne.pending) << c.name;
    }
    // A step its wrapper would refuse sends the whole sequence one call at a time.
    OfferSequence(true);
    Fake().onWrite = nullptr;
    Fake().onRead = nullptr;
    std::vector<uint8_t> payload{1, 2, 3, 4}, big(2049, 0);
    TransferStep steps[] = {{.address = RomBase(), .write = true, .data = &payload},
                            {.address = RomBase(), .write = true, .data = &big}};
    EXPECT_EQ(AsyncSequenceVB(Node(2), steps, 2), 2);
    EXPECT_EQ(steps[1].result, -1);
    EXPECT_EQ(Find(" in bas1394.AsyncWriteWrapperVB")->level, basDebug::ERROR_LEVEL);
    EXPECT_EQ(Fake().calls["AsyncTransferSequence"], 0);
}

TEST_F(TransactionsTest, HexString2Address) {
    struct Case {
        const char* text;
        int16_t high;
        uint32_t low;
    };
    for (const Case& c : {Case{"0xffffc8029000", -1, 0xC8029000u}, Case{"0x40ab", 0, 0x40ABu},
                          Case{"1234", 0, 0x1234u}, Case{"0x ffff c802 9000", -1, 0xC8029000u},
                          Case{"0xffff", 0, 0xFFFFu}}) {
        Address48 a;
        EXPECT_EQ(HexString2Address(c.text, a), 1) << c.text;
        EXPECT_EQ(a.OffsetHigh, c.high) << c.text;
        EXPECT_EQ(static_cast<uint32_t>(a.OffsetLow), c.low) << c.text;
    }
    Address48 a;
    EXPECT_THROW(HexString2Address("0x1234567890123", a), vb::Error);  // 13 digits
    ctx_.AutomationMode = true;
    try {
        HexString2Address("zz", a);
        FAIL();
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), 14592);
        EXPECT_EQ(e.Source(), "basUtils");
        EXPECT_EQ(e.Description(), "What are you trying to do with the address?  Try again!  Use '0x' for Hex!");
    }
}

TEST_F(TransactionsTest, LogFilterWhileDownloading) {
    ctx_.DownloadInProgress = true;
    for (const char* level : {"DETAIL", "TRACE", "WARNING", "WATCH", "ERROR", "USER"}) LogMsg(level, level);
    LogMsg("missing");
    EXPECT_EQ(Messages("bas1394"), (std::vector<std::string>{"WATCH", "ERROR", "USER"}));
}

TEST_F(TransactionsTest, MissingLibraryFile) {
    lib::Unload();
    ctx_.App.Path = root_.string();
    EXPECT_EQ(LoadVsk1394Dll(77), 0);
    const auto line = Find("ERROR loading Vsk1394api.dll!  Call to LoadLibrary returned 0.  The app will generate "
                           "numerous errors and the 1394 interface will not be enabled.");
    ASSERT_TRUE(line);
    EXPECT_EQ(line->level, basDebug::ERROR_LEVEL);
    EXPECT_TRUE(Find("About to load 'Vsk1394api.dll'..."));
    EXPECT_TRUE(Find("App path = '" + root_.string() + "'"));
    EXPECT_TRUE(Find("Dir(Vsk1394api.dll) = ''"));
    EXPECT_EQ(State.ClientWindow, 77);
    try {
        lib::RegisterClient(1);
        FAIL();
    } catch (const vb::Error& e) {
        EXPECT_EQ(e.Number(), 53);
        EXPECT_NE(e.Description().find("Vsk1394api.dll"), std::string::npos);
    }
    // A read then fails through the wrapper's failure path.
    EXPECT_EQ(AsyncReadWrapperVB(Node(2), RomBase(), 4, false, 0, data_), -1);
    EXPECT_TRUE(Find("Error #53: File not found: Vsk1394api.dll in bas1394.AsyncReadWrapperVB"));
}

TEST_F(TransactionsTest, MessageLevelGoesToTheRegisteredWindow) {
    State.ClientWindow = 41;
    Fake().debugSpewResult = 87;  // whatever the library answers is handed back
    EXPECT_EQ(SetDllMessageLevel(13), 87);
    EXPECT_EQ(Fake().spewWindow, 41);
    EXPECT_EQ(Fake().spewLevel, 13);
}

TEST_F(TransactionsTest, UnloadFreesHeldRangesAndDeregisters) {
    State.AddressRanges.assign(3, AddressRangeRecord{});
    State.AddressRanges[0].Handle = 11;
    State.AddressRanges[2].Handle = 13;
    Fake().freeResult = 5;  // freed or not, the handle is let go
    UnloadVsk1394Dll();
    EXPECT_EQ(Fake().freed, (std::vector<int32_t>{11, 13}));
    EXPECT_EQ(State.AddressRanges[0].Handle, 0);
    EXPECT_EQ(State.AddressRanges[2].Handle, 0);
    EXPECT_EQ(Fake().calls["DeRegisterClient"], 1);
}

}  // namespace
}  // namespace bustest
