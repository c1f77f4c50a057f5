#include "bus1394/transactions.h"

#include <algorithm>
#include <exception>

#include "bus1394/access_library.h"
#include "bus1394/host_resources.h"
#include "bus1394/state.h"
#include "clock/clock.h"
#include "fs/fs.h"
#include "bus1394/internal.h"
#include "support/byte_utils.h"
#include "support/program_context.h"
#include "vbrt/convert.h"
#include "vbrt/error.h"

namespace bas1394 {

namespace {

using internal::FailureLine;

// Elapsed milliseconds of one request, as the program's clock helper gives them.
float Elapsed(int64_t start) { return imagelift::ElapsedMs(start); }

std::string TimeText(float ms) { return vb::CStr(ms); }

// One library request for the driver kind of the node: "vdev" nodes go through the library,
// "klmd" nodes get the other driver's code without a request, any other kind gives 0.
int32_t ReadRequest(const NodeRecord& node, const Address48& address, int32_t count,
                    uint8_t* buffer, int32_t timeoutMs) {
    if (node.DriverType == kDriverKlmd) return kOtherDriverKind;
    if (node.DriverType == kDriverVdev) {
        return lib::AsyncReadWrapper(node.NodeNumber, &address, count, buffer, timeoutMs);
    }
    return 0;
}

// True when the module's log drops a line of `level` now (a download drops its detail lines):
// a line built for every read is composed only when kept.
bool LogDrops(const basDebug::LevelArg& level) {
    try {
        return basDebug::ModuleLogDrops(basDebug::kBootloaderRule, level);
    } catch (...) {
        return true;  // the log would drop it as well
    }
}

void LogReadOutcome(int32_t code, const Address48& address, uint32_t offsetReached,
                    int16_t nodeNumber, float elapsedMs) {
    if (code == kSuccess && LogDrops("DETAIL")) return;
    const std::string h = basUtils::FormatHex(address.OffsetHigh, "0000");
    const std::string l = basUtils::FormatHex(static_cast<int32_t>(offsetReached), "00000000");
    const std::string lShort = vb::Hex(static_cast<int32_t>(offsetReached));
    const std::string n = std::to_string(nodeNumber);
    const std::string x = vb::Hex(code);
    const std::string t = TimeText(elapsedMs);
    switch (code) {
    case kSuccess:
        LogMsg("AsyncRead of 0x" + h + l + ", node " + n + " succeeded.  " + " function call time=" +
                   t + "ms. " + "Exiting normally.",
               "DETAIL");
        break;
    case kNoResponse:
        LogMsg("AsyncRead of 0x" + h + l + ", node " + n + " failed, code 0x" + x +
                   ": Node did not respond. " + " function call time=" + t + "ms. " +
                   "Exiting abnormally",
               "WARNING");
        break;
    case kLibTimedOut:
        LogMsg("AsyncRead of 0x" + h + lShort + ", node " + n + " timed out. " +
                   "function call time=" + t + "ms.  " + "Exiting abnormally",
               "WARNING");
        break;
    case kLibShutdown:
        LogMsg(std::string("AsyncRead failure: the Application Shutdown Event has somehow become set "
                           "in the Vsk1394api.dll.  ") +
                   "No multithreaded transactions can complete.  " + "function call time=" + t +
                   "ms.  " + "Exiting abnormally",
               "WARNING");
        break;
    case kLibBusReset:
        State.BusResetPending = true;
        LogMsg(std::string("AsyncRead failure: a bus reset has interrupted the transaction in "
                           "progress from within the DLL layer.  ") +
                   "function call time=" + t + "ms.  " + "Exiting abnormally",
               "WARNING");
        break;
    case kLibUnknownError:
        LogMsg("AsyncRead failure (addr 0x" + h + l + ", node " + n +
                   "): common unknown error, code 0x" + x + " .  " +
                   "TODO: determine if this is caused by an error response packet or no response.  " +
                   "function call time=" + t + "ms.  " + "Exiting abnormally",
               "WARNING");
        break;
    case kLibResponseError:
        LogMsg("AsyncRead failure (addr 0x" + h + l + ", node " + n +
                   "): 1394 response error, code 0x" + x + " .  " +
                   "This is caused by an address error rcode and possibly by other error "
                   "conditions.  " +
                   "function call time=" + t + "ms.  " + "Exiting abnormally",
               "WARNING");
        break;
    default:
        LogMsg("AsyncRead of 0x" + h + lShort + ", node " + n + " failed, code 0x" + x +
                   " function call time=" + t + "ms. " + "Exiting abnormally",
               "WARNING");
        break;
    }
}

// A read's result from the library's code, with its log line.
int32_t finishRead(const NodeRecord& node, const Address48& address, uint32_t reached, int32_t code, float elapsed) {
    LogReadOutcome(code, address, static_cast<uint32_t>(address.OffsetLow) + reached, node.NodeNumber, elapsed);
    if (code == kLibBusReset || (code != kSuccess && State.BusResetPending)) return kInterruptedByReset;
    return code;
}

// A write's result from the library's code: 1, else -105 after a bus reset or -1, with the
// failure's log lines.
int32_t finishWrite(const NodeRecord& node, const Address48& address, int32_t code, int64_t start) {
    if (code == kSuccess) return kSuccess;
    const float elapsed = Elapsed(start);
    const int32_t result = State.BusResetPending ? kInterruptedByReset : kRefused;
    const std::string x = vb::Hex(code);
    LogMsg("AsyncWriteWrapperVB: call to AsyncWrite failed, code" + std::to_string(code) + "(0x" + x + "), node " +
               std::to_string(node.NodeNumber) + ", address 0x" + vb::Hex(address.OffsetHigh) +
               vb::Hex(address.OffsetLow) + ", call time = " + TimeText(elapsed) + " ms",
           "TRACE");
    std::string why;
    if (code == kLibResponseError) {
        why = " indicates that a response error packet was received from the target.";
    } else if (code == kLibUnknownError) {
        why = " indicates that no response packet was received from the target.  TODO: verify this.";
    } else {
        why = " is an unknown error response.";
    }
    LogMsg("AsyncWriteWrapperVB: code 0x" + x + why, "TRACE");
    return result;
}

// True when the steps may go to the library as one sequence: the node is reached through it and
// every step passes the checks its own wrapper makes. Otherwise each step goes through its
// wrapper, which refuses it with the wrapper's own line.
bool sequenceFits(const NodeRecord& node, const TransferStep* steps, int32_t count) {
    if (count < 1 || count > kMaxTransferSequence || !lib::HasAsyncTransferSequence()) return false;
    if (node.NodeNumber < 0 || node.NodeNumber > 62 || node.Topology.LinkActive == 0) return false;
    if (node.DriverType != kDriverVdev) return false;
    for (int32_t i = 0; i < count; ++i) {
        const TransferStep& t = steps[i];
        if (!t.data) return false;
        const size_t bytes = t.write ? t.data->size() : size_t(t.length);
        if (t.write ? bytes == 0 : t.length < 1) return false;
        if (((bytes + 3) & ~size_t(3)) > size_t(kMaxPayload)) return false;
    }
    return true;
}

// Leading hex digits of a text as an unsigned value (0 when there are none).
uint64_t LeadingHexValue(const std::string& text) {
    uint64_t v = 0;
    for (char c : text) {
        int d;
        if (c >= '0' && c <= '9') d = c - '0';
        else if (c >= 'a' && c <= 'f') d = c - 'a' + 10;
        else if (c >= 'A' && c <= 'F') d = c - 'A' + 10;
        else break;
        v = (v << 4) | static_cast<uint64_t>(d);
        if (v > 0xFFFFFFFFFFFFull) vb::Raise(6, "bas1394");
    }
    return v;
}

}  // namespace

void LogMsg(const std::string& message, const basDebug::LevelArg& level) {
    basDebug::ModuleLog(basDebug::kBootloaderRule, "bas1394", message, level);
}

void BindElapsedTimeToLibrary() {
    imagelift::Ctx().QueryElapsedTimeMsLongInt = [](int64_t* start) {
        return lib::QueryElapsedTimeMsLongInt(start);
    };
}

int32_t LoadVsk1394Dll(int32_t window, IBusPumpTimers* timers) {
    int32_t result = 0;
    try {
        State.EmptyNodeRecord.NodeNumber = kNoNode;
        State.ClientWindow = window;
        State.PumpTimers = timers;
        std::string folder = imagelift::Ctx().App.Path;
        if (folder.empty()) folder = fs::ProgramFolder();
        LogMsg(std::string("About to load '") + kAccessLibraryFile + "'...", "TRACE");
        LogMsg("App path = '" + folder + "'", "TRACE");
        const std::string cur = fs::CurDir();
        LogMsg("CurDir = '" + cur + "'", "TRACE");
        std::string inCurDir = cur + "/" + kAccessLibraryFile;
        const bool present = fs::FileExists(inCurDir);
        LogMsg(std::string("Dir(") + kAccessLibraryFile + ") = '" +
                   (present ? std::string(kAccessLibraryFile) : std::string()) + "'",
               "TRACE");

        State.LibraryModule = lib::Load(fs::ToNativePath(folder + "/" + kAccessLibraryFile).string());
        if (State.LibraryModule == 0) {
            LogMsg(std::string("ERROR loading ") + kAccessLibraryFile +
                       "!  Call to LoadLibrary returned 0.  The app will generate numerous errors "
                       "and the 1394 interface will not be enabled.",
                   "ERROR");
            return 0;
        }
        BindElapsedTimeToLibrary();
        LogMsg("LoadLibrary call returned, module handle = 0x" + vb::Hex(State.LibraryModule), "TRACE");
        result = State.LibraryModule;
        if (window == 0) {
            LogMsg("No window passed to bas1394.LoadVsk1394Dll.  Receiving callbacks will not be "
                   "possible (Bus Reset and Incoming Transaction notices)",
                   "WARNING");
        } else {
            const int32_t r = lib::RegisterClient(window);
            if (r != 1) {
                LogMsg("RegisterClient failed in bas1394.LoadVsk1394Dll, code " + std::to_string(r),
                       "WARNING");
            }
            // Registering reaches the bus; without one no device will ever show.
            if (const std::string why = lib::BusUnavailableReason(); !why.empty()) {
                // (The bus client has said it on standard error already.)
                LogMsg("ERROR: no 1394 bus: " + why, "ERROR");
            }
            // A bus other than the one the program was started for: it goes on with the bus
            // there is, but its log says why the devices may not be the ones expected.
            if (const std::string other = lib::BusDescriptionMismatch(); !other.empty()) {
                LogMsg("ERROR: " + other, "ERROR");
            }
        }
    } catch (const std::exception& e) {
        LogMsg(FailureLine(e, "LoadVSk1394Dll"), "ERROR");
    }
    return result;
}

int32_t UnloadVsk1394Dll() {
    for (auto& range : State.AddressRanges) {
        if (range.Handle != 0) {
            FreeAddressRangeVB(range.Handle);
            range.Handle = 0;
        }
    }
    lib::DeRegisterClient(State.ClientWindow);
    if (State.LibraryModule != 0) {
        lib::Unload();
        State.LibraryModule = 0;
    }
    return 0;
}

int32_t SetDllMessageLevel(int32_t level) { return lib::SetDebugSpew(State.ClientWindow, level); }

int32_t AsyncReadWrapperVB(const NodeRecord& node, const Address48& address, int32_t length,
                           bool quadletMode, int32_t timeoutMs, std::vector<uint8_t>& data) {
    int32_t result = kRefused;
    try {
        if (node.NodeNumber < 0 || node.NodeNumber > 62) return kRefused;
        if (timeoutMs < 0) timeoutMs = imagelift::Ctx().Default1394TransactionTimeout;
        if (length < 1 || length > kMaxPayload) {
            LogMsg("AsyncRead failure: (addr 0x" + basUtils::FormatHex(address.OffsetHigh, "0000") +
                       basUtils::FormatHex(address.OffsetLow, "00000000") + ", node " +
                       std::to_string(node.NodeNumber) + "): " +
                       "invalid size of requested payload: " + std::to_string(length) + ".  " +
                       "The maximum payload is " + "2048" + ".  " + "Exiting abnormally",
                   "WARNING");
            return kRefused;
        }
        if (node.Topology.LinkActive == 0) {
            LogMsg("AsyncRead failure: node " + std::to_string(node.NodeNumber) +
                       " has an inactive LLC (according to the SelfID packet).  " +
                       "Exiting abnormally",
                   "WARNING");
            return kRefused;
        }
        const int32_t rounded = (length + 3) & ~3;
        data.assign(static_cast<size_t>(rounded), 0);

        int32_t code = 0;
        uint32_t reached = 0;
        int64_t start = clk::QueryPerformanceCounter();
        if (!quadletMode) {
            code = ReadRequest(node, address, rounded, data.data(), timeoutMs);
        } else {
            uint8_t quadlet[4];
            uint32_t i = 0;
            for (; i < static_cast<uint32_t>(rounded); i += 4) {
                start = clk::QueryPerformanceCounter();
                Address48 at = address;
                at.OffsetLow = static_cast<int32_t>(static_cast<uint32_t>(address.OffsetLow) + i);
                code = ReadRequest(node, at, 4, quadlet, timeoutMs);
                if (code != kSuccess) break;
                std::copy(quadlet, quadlet + 4, data.begin() + i);
                code = kSuccess;
                if (i + 4 < static_cast<uint32_t>(rounded)) clk::DoEvents();
            }
            reached = i;
        }
        result = finishRead(node, address, reached, code, Elapsed(start));
    } catch (const std::exception& e) {
        LogMsg(FailureLine(e, "bas1394.AsyncReadWrapperVB"), "ERROR");
    }
    return result;
}

int32_t AsyncWriteWrapperVB(const NodeRecord& node, const Address48& address, int16_t /*mode*/,
                            int32_t& timeoutMs, std::vector<uint8_t>& data) {
    int32_t result = kRefused;
    try {
        if (node.NodeNumber < 0 || node.NodeNumber > 63) return kRefused;
        if (timeoutMs < 0) timeoutMs = imagelift::Ctx().Default1394TransactionTimeout;
        if (node.Topology.LinkActive == 0) {
            LogMsg("AsyncWrite failure: node " + std::to_string(node.NodeNumber) +
                       " has an inactive LLC (according to the SelfID packet).  " +
                       "Exiting abnormally",
                   "WARNING");
            return kRefused;
        }
        // An array that was never sized has no upper bound to pad from.
        if (data.empty()) vb::Raise(9, "bas1394");
        while (data.size() % 4 != 0) data.push_back(0);
        if (data.size() > static_cast<size_t>(kMaxPayload)) {
            vb::Raise(5, "bas1394",
                      "invalid size of requested payload: " + std::to_string(data.size()) +
                          ".  The maximum payload is 2048.");
        }
        const int64_t start = clk::QueryPerformanceCounter();
        int32_t code;
        if (node.DriverType == kDriverKlmd) {
            code = kOtherDriverKind;
        } else if (node.DriverType == kDriverVdev) {
            code = lib::AsyncWriteWrapper(node.NodeNumber, &address,
                                          static_cast<int32_t>(data.size()), data.data(), timeoutMs);
        } else {
            LogMsg("AsyncWriteWrapperVB: Unknown Driver error.  Exiting abnormally.", "ERROR");
            return kRefused;
        }
        result = finishWrite(node, address, code, start);
    } catch (const std::exception& e) {
        LogMsg(FailureLine(e, "bas1394.AsyncWriteWrapperVB"), "ERROR");
    }
    return result;
}

int32_t AsyncSequenceVB(const NodeRecord& node, TransferStep* steps, int32_t count) {
    if (!sequenceFits(node, steps, count)) {
        int32_t done = 0;
        while (done < count) {
            TransferStep& t = steps[done++];
            t.result = t.write ? AsyncWriteWrapperVB(node, t.address, 0, t.timeoutMs, *t.data)
                               : AsyncReadWrapperVB(node, t.address, t.length, false, t.timeoutMs, *t.data);
            if (t.result != kSuccess) break;
        }
        return done;
    }
    try {
        AsyncTransferRecord records[kMaxTransferSequence];
        // A read's data is made anew only when the read is carried out: it lands here first.
        std::vector<uint8_t> room[kMaxTransferSequence];
        for (int32_t i = 0; i < count; ++i) {
            TransferStep& t = steps[i];
            if (t.timeoutMs < 0) t.timeoutMs = imagelift::Ctx().Default1394TransactionTimeout;
            if (t.write) {
                while (t.data->size() % 4 != 0) t.data->push_back(0);
            } else {
                room[i].assign(static_cast<size_t>((t.length + 3) & ~3), 0);
            }
            std::vector<uint8_t>& bytes = t.write ? *t.data : room[i];
            records[i].Write = t.write ? 1 : 0;
            records[i].Node = node.NodeNumber;
            records[i].Address = t.address;
            records[i].ByteCount = static_cast<int32_t>(bytes.size());
            records[i].TimeoutMs = t.timeoutMs;
            records[i].Buffer = bytes.data();
        }
        const int64_t start = clk::QueryPerformanceCounter();
        const int32_t done = std::clamp(lib::AsyncTransferSequence(records, count), 0, count);
        for (int32_t i = 0; i < done; ++i) {
            TransferStep& t = steps[i];
            if (!t.write) *t.data = std::move(room[i]);
            t.result = t.write ? finishWrite(node, t.address, records[i].Result, start)
                               : finishRead(node, t.address, 0, records[i].Result, Elapsed(start));
            if (t.result != kSuccess) return i + 1;
        }
        if (done > 0) return done;
        // Nothing carried out: the library refused the sequence as a whole.
        if (!steps[0].write) *steps[0].data = std::move(room[0]);
        steps[0].result = steps[0].write ? finishWrite(node, steps[0].address, kLibUnknownError, start)
                                         : finishRead(node, steps[0].address, 0, kLibUnknownError, Elapsed(start));
        return 1;
    } catch (const std::exception& e) {
        LogMsg(FailureLine(e, "bas1394.AsyncSequenceVB"), "ERROR");
        steps[0].result = kRefused;
        return 1;
    }
}

int32_t HexString2Address(const std::string& text, Address48& address) {
    if (text.rfind("0x", 0) != 0 && LeadingHexValue(text) == 0) {
        if (imagelift::Ctx().AutomationMode) {
            vb::Raise(14592, "basUtils",
                      "What are you trying to do with the address?  Try again!  Use '0x' for Hex!");
        }
        imagelift::WriteStatusFileLine("What are you trying to do with the address: " + text +
                                       "?  " + "Try again!  Use '0x' for Hex!");
    }
    std::string digits = vb::Replace(vb::Replace(vb::Replace(text, " ", ""), "0x", ""), "&H", "");
    if (digits.size() < 8) {
        address.OffsetLow = static_cast<int32_t>(static_cast<uint32_t>(LeadingHexValue(digits)));
        address.OffsetHigh = 0;
    } else {
        const std::string low = digits.substr(digits.size() - 8);
        const std::string high = digits.substr(0, digits.size() - 8);
        if (high.size() > 4) vb::Raise(6, "bas1394");
        address.OffsetLow = static_cast<int32_t>(static_cast<uint32_t>(LeadingHexValue(low)));
        address.OffsetHigh = static_cast<int16_t>(static_cast<uint16_t>(LeadingHexValue(high)));
    }
    return 1;
}

}  // namespace bas1394
