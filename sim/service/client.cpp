#include "service/client.h"

#include <dlfcn.h>
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <thread>

#include <nlohmann/json.hpp>

#include "bus/codes.h"
#include "bus/json_codec.h"
#include "fs/fs.h"
#include "service/protocol.h"

namespace bussvc {

namespace {

namespace fsys = std::filesystem;

// A running service greets a new connection at once, yet a loaded machine may take its time to
// schedule the service's thread: the greeting gets at least this long (real time), however short
// the reply time-out of requests is set.
constexpr int kGreetingWaitMs = 10000;

int connectSocket(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof(addr)) != 0) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Sends Hello and returns the client id the service gives, or 0 when it did not answer (with
// *silent set when it did not answer within waitMs: a hung service, not an ending one). The
// request connection (role 0) receives the token in `token`; the notice connection (role 1)
// presents it.
uint32_t hello(int fd, uint8_t role, uint32_t clientId, uint64_t& token, int waitMs, bool* silent = nullptr) {
    Writer w;
    w.U32(kProtocolVersion).U32(uint32_t(::getpid())).U8(role).U32(clientId);
    if (role == 1) w.U64(token);
    if (!SendFrame(fd, Op::Hello, w.Data())) return 0;
    FrameHeader h;
    std::vector<uint8_t> p;
    RecvStatus s = RecvFrame(fd, h, p, waitMs);
    if (silent) *silent = s == RecvStatus::TimedOut || s == RecvStatus::Stalled;
    if (s != RecvStatus::Ok || h.op != uint16_t(Op::Reply)) return 0;
    Reader r(p);
    if (r.U8() != 1) return 0;
    uint32_t id = r.U32();
    if (role == 0) token = r.U64();
    return r.Complete() ? id : 0;
}

// Writes a line to standard error where the program's user looks, once per text and process.
void tellOnce(const std::string& message) {
    static std::mutex told;
    static std::set<std::string> toldBefore;
    std::lock_guard<std::mutex> lock(told);
    if (toldBefore.size() < 64 && toldBefore.insert(message).second)
        std::fprintf(stderr, "%s: %s\n", program_invocation_short_name, message.c_str());
}

std::string moduleFolder() {
    Dl_info info{};
    if (::dladdr(reinterpret_cast<void*>(&moduleFolder), &info) && info.dli_fname) {
        std::error_code ec;
        auto p = fsys::weakly_canonical(fsys::path(info.dli_fname), ec);
        if (!ec) return p.parent_path().string();
    }
    return {};
}

std::string findProgram(const ServiceOptions& o) {
    if (!o.program.empty()) return o.program;
    if (const char* e = std::getenv("LUMAREL_BUS_SERVICE"); e && *e) return e;
    std::string here = moduleFolder();
    if (!here.empty() && ::access((here + "/lumarel-bus").c_str(), X_OK) == 0)
        return here + "/lumarel-bus";
    if (const char* b = std::getenv("LUMAREL_BIN"); b && *b) return std::string(b) + "/lumarel-bus";
    return "lumarel-bus";
}

// Starts the service detached from this process (its own session, standard handles on
// /dev/null, no inherited descriptors) and waits until it listens or gives up.
bool startService(const std::string& root, const std::string& program, int timeoutMs, std::string& why) {
    int pipefd[2];
    if (::pipe2(pipefd, O_CLOEXEC) != 0) return false;
    std::string rootArg = root;
    const char* argv[] = {program.c_str(), "--root", rootArg.c_str(), "--ready-fd", "3", nullptr};
    pid_t child = ::fork();
    if (child < 0) {
        ::close(pipefd[0]);
        ::close(pipefd[1]);
        return false;
    }
    if (child == 0) {
        // Only async-signal-safe calls from here to exec.
        ::setsid();
        pid_t grandchild = ::fork();
        if (grandchild != 0) ::_exit(grandchild < 0 ? 1 : 0);
        int nul = ::open("/dev/null", O_RDWR);
        if (nul >= 0) {
            ::dup2(nul, 0);
            ::dup2(nul, 1);
            ::dup2(nul, 2);
        }
        ::dup2(pipefd[1], 3);  // dup2 clears close-on-exec on the copy
        ::close_range(4, ~0u, 0);
        ::signal(SIGPIPE, SIG_DFL);
        ::execv(program.c_str(), const_cast<char* const*>(argv));
        ::_exit(127);
    }
    ::close(pipefd[1]);
    int status = 0;
    while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    // The service writes one byte once it listens; end of file means it gave up (another one
    // holds the service lock) or could not start.
    // Once it cannot start it writes "0" and why before it ends.
    pollfd pfd{pipefd[0], POLLIN, 0};
    bool ready = false;
    for (;;) {
        int r = ::poll(&pfd, 1, timeoutMs);
        if (r < 0 && errno == EINTR) continue;
        if (r > 0) {
            char text[1024];
            ssize_t n = ::read(pipefd[0], text, sizeof text);
            ready = n >= 1 && text[0] == '1';
            if (n > 1 && text[0] == '0') {
                // The rest of the reason follows in as many reads as it takes.
                why.assign(text + 1, size_t(n - 1));
                while (why.size() < 1000 && (n = ::read(pipefd[0], text, sizeof text)) > 0) why.append(text, size_t(n));
            }
        } else if (r == 0) {
            why = "it did not answer within " + std::to_string(timeoutMs) + " ms";
        }
        break;
    }
    ::close(pipefd[0]);
    return ready;
}

class RemoteAccess final : public Access {
public:
    RemoteAccess(NoticeCallback onNotice, ServiceOptions options, bool startIfMissing)
        : onNotice_(std::move(onNotice)), options_(std::move(options)) {
        if (options_.root.empty()) options_.root = PlatformRoot();
        startIfMissing_ = startIfMissing;
    }

    ~RemoteAccess() override {
        std::lock_guard<std::mutex> lock(m_);
        disconnect();
    }

    // True when the last connect found a service that listens but did not greet: a hung one.
    bool SilentGreeting() const { return silentGreeting_; }

    // Connects the request and notice connections. Under m_.
    bool connect() {
        silentGreeting_ = false;
        refused_ = false;
        if (stopped_) return false;
        const std::string sock = SocketPath(options_.root);
        // A socket in a folder that another user owns or may write could be theirs, swapped in
        // for the service's: nothing is sent to it.
        if (auto problem = fs::PrivateFolderProblem(ServiceFolder(options_.root))) {
            startFailure_ = *problem;
            refused_ = true;
            return false;
        }
        for (int attempt = 0; attempt < 20; ++attempt) {
            int fd = connectSocket(sock);
            if (fd < 0) {
                if (!startIfMissing_) return false;
                // A service that could not start says why in its log; starting it again
                // would fail the same way.
                bool started = startLocked();
                fd = connectSocket(sock);
                if (fd < 0) {
                    if (!started) return false;
                    continue;
                }
            }
            bool silent = false;
            const int greetingWaitMs = std::max(options_.replyTimeoutMs, kGreetingWaitMs);
            uint64_t token = 0;
            uint32_t id = hello(fd, 0, 0, token, greetingWaitMs, &silent);
            if (id == 0) {
                ::close(fd);
                if (silent) {  // a hung service: asking again would hang as well
                    silentGreeting_ = true;
                    return false;
                }
                continue;  // the service was ending while we connected
            }
            int nfd = connectSocket(sock);
            if (nfd < 0 || hello(nfd, 1, id, token, greetingWaitMs) != id) {
                if (nfd >= 0) ::close(nfd);
                ::close(fd);
                continue;
            }
            requestFd_ = fd;
            replies_ = std::make_unique<FrameReader>(fd);
            noticeFd_ = nfd;
            noticesLost_ = false;
            noticeThread_ = std::thread([this, nfd] {
                // A notice loop that fails leaves notices missing, as a dropped connection
                // does: the next request takes the connection up again.
                try {
                    noticeLoop(nfd);
                } catch (...) {
                    noticesLost_ = true;
                }
            });
            checkDescription();
            return true;
        }
        return false;
    }

    int32_t Read(int32_t node, uint16_t high, uint32_t low, uint32_t count, int32_t timeoutMs,
                 uint8_t* out) override {
        Writer w;
        w.U32(uint32_t(node)).U16(high).U32(low).U32(count).I32(timeoutMs);
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(Op::Read, w, timeoutMs)) return *f;
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        if (code == sim::kResultSuccess) {
            if (!r.BytesInto(out, count)) return sim::kResultUnknownError;
        }
        return r.Complete() ? code : sim::kResultUnknownError;
    }

    int32_t Write(int32_t node, uint16_t high, uint32_t low, const uint8_t* data, uint32_t count,
                  int32_t timeoutMs) override {
        Writer w;
        w.U32(uint32_t(node)).U16(high).U32(low).I32(timeoutMs).Bytes(data, count);
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(Op::Write, w, timeoutMs)) return *f;
        return codeOnly();
    }

    size_t Transfers(Transfer* transfers, size_t count) override {
        count = std::min(count, kMaxSequence);
        if (count == 0) return 0;
        int32_t timeoutMs = 0;
        for (size_t i = 0; i < count; ++i) timeoutMs = std::max(timeoutMs, transfers[i].timeoutMs);
        Writer w;
        EncodeTransfers(w, transfers, count);
        std::lock_guard<std::mutex> lock(m_);
        // The service carries the transactions out one after another: its answer may take each
        // one's time-out.
        if (auto f = request(Op::Transfers, w, int32_t(std::min<int64_t>(int64_t(timeoutMs) * int64_t(count), INT32_MAX)))) {
            // Not carried out as a whole (refused, cut off, no service): to the caller the first
            // transaction failed with that code.
            transfers[0].code = *f;
            return 1;
        }
        Reader r(reply_.data() + 1, reply_.size() - 1);
        if (auto done = DecodeTransfersDone(r, transfers, count)) return *done;
        transfers[0].code = sim::kResultUnknownError;
        return 1;
    }

    int32_t TopologyMap(const std::string& device, std::vector<uint8_t>& map) override {
        Writer w;
        w.Str(device);
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(Op::TopologyMap, w)) return *f;
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        std::vector<uint8_t> bytes = r.Bytes();
        if (!r.Complete()) return sim::kResultUnknownError;
        if (code == 0) map = std::move(bytes);
        return code;
    }

    int32_t LocalNodeAddress(const std::string& device, uint16_t& nodeId) override {
        Writer w;
        w.Str(device);
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(Op::LocalNode, w)) return *f;
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        uint16_t id = r.U16();
        if (!r.Complete()) return sim::kResultUnknownError;
        if (code == 0) nodeId = id;
        return code;
    }

    std::vector<std::string> VirtualDevices() override {
        std::lock_guard<std::mutex> lock(m_);
        if (request(Op::VirtualDevices, Writer())) return {};
        Reader r(reply_.data() + 1, reply_.size() - 1);
        uint32_t n = r.U32();
        std::vector<std::string> names;
        for (uint32_t i = 0; i < n && r.Ok() && i < 64; ++i) names.push_back(r.Str(4096));
        if (!r.Complete()) return {};
        return names;
    }

    int32_t AddVirtualDevice(uint32_t flags, uint64_t instance, const std::string& name) override {
        return simpleCall(Op::AddVirtual, Writer().U32(flags).U64(instance).Str(name));
    }
    int32_t RemoveVirtualDevice(uint32_t flags, uint64_t instance, const std::string& name) override {
        return simpleCall(Op::RemoveVirtual, Writer().U32(flags).U64(instance).Str(name));
    }
    int32_t ResetBus(const std::string& device) override {
        return simpleCall(Op::ResetBus, Writer().Str(device));
    }

    int32_t AllocateRange(const std::string& device, uint16_t high, uint32_t low, uint32_t length,
                          uint32_t access, uint32_t notify, uint32_t& handle) override {
        std::lock_guard<std::mutex> lock(m_);
        uint32_t remote = 0;
        int32_t code = allocateLocked(device, high, low, length, access, notify, remote);
        if (code == 0) {
            handle = nextHandle_++;
            ranges_[handle] = Range{device, high, low, length, access, notify, remote};
        }
        return code;
    }

    int32_t FreeRange(const std::string& device, uint32_t handle) override {
        std::lock_guard<std::mutex> lock(m_);
        auto it = ranges_.find(handle);
        if (it == ranges_.end()) return sim::kResultNotFound;
        Writer w;
        w.Str(device).U32(it->second.remoteHandle);
        if (auto f = request(Op::FreeRange, w)) {
            if (*f == sim::kResultInvalidParameter) return *f;
            ranges_.erase(handle);  // a new service holds no such range any more
            return 0;
        }
        int32_t code = codeOnly();
        if (code == 0) ranges_.erase(it);
        return code;
    }

    int32_t BusDeviceRequest(uint32_t busIndex, uint32_t controlCode,
                             const std::vector<uint8_t>& input) override {
        return simpleCall(Op::BusDevice, Writer().U32(busIndex).U32(controlCode).Bytes(input));
    }

    int32_t AudioUnits(std::vector<AudioUnitInfo>& units) override {
        std::lock_guard<std::mutex> lock(m_);
        units.clear();
        if (auto f = request(Op::AudioUnits, Writer())) return *f;
        return DecodeAudioUnits(reply_.data() + 1, reply_.size() - 1, units);
    }

    int32_t AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output) override {
        Writer w;
        w.Str(node).U32(code).Bytes(input).U32(outSize);
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(Op::AudioRequest, w)) return *f;
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t result = r.I32();
        uint32_t e = r.U32();
        std::vector<uint8_t> bytes = r.Bytes(std::min(outSize, kMaxAudioBytes));
        if (!r.Complete()) return sim::kResultUnknownError;
        if (result == 0) {
            error = e;
            output = std::move(bytes);
        }
        return result;
    }

    int32_t Control(const std::string& request, std::string& reply) override {
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = this->request(Op::Control, Writer().Str(request))) {
            nlohmann::json e = {{"error", *f == sim::kResultInvalidParameter ? refusal()
                                          : *f == sim::kResultTimedOut      ? "the bus service did not answer"
                                          : *f == sim::kResultNoResponse    ? "no bus service"
                                                                            : "the bus service restarted"}};
            reply = e.dump();
            return *f;
        }
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        std::string text = r.Str();
        if (!r.Complete()) return sim::kResultUnknownError;
        reply = std::move(text);
        if (code == 0 && isShutdown(request)) {
            // This client ended the service on purpose: it does not start a new one.
            disconnect();
            stopped_ = true;
        }
        return code;
    }

    std::string DescriptionMismatch() override {
        std::lock_guard<std::mutex> lock(m_);
        return mismatch_;
    }

private:
    struct Range {
        std::string device;
        uint16_t high;
        uint32_t low, length, access, notify;
        uint32_t remoteHandle;
    };

public:
    // Why the service this client started could not start (empty when it did, or said nothing).
    const std::string& StartFailure() const { return startFailure_; }
    // True when the service's folder was refused: another user owns it or may write it.
    bool Refused() const { return refused_; }

private:
    bool startLocked() {
        const std::string folder = ServiceFolder(options_.root);
        if (!fs::CreatePrivateFolders(folder, &startFailure_)) return false;
        int lockFd = fs::OpenPrivateFile(folder + "/start.lock", O_RDWR | O_CREAT);
        if (lockFd < 0) {
            startFailure_ = "cannot open " + folder + "/start.lock: " + std::strerror(errno);
            return false;
        }
        while (::flock(lockFd, LOCK_EX) != 0 && errno == EINTR) {
        }
        bool ok = true;
        int probe = connectSocket(SocketPath(options_.root));
        if (probe >= 0) {
            ::close(probe);  // someone else started it meanwhile
        } else {
            ok = startService(options_.root, findProgram(options_), options_.startTimeoutMs, startFailure_);
        }
        ::close(lockFd);
        return ok;
    }

    void disconnect() {
        closing_ = true;
        if (noticeFd_ >= 0) ::shutdown(noticeFd_, SHUT_RDWR);
        if (noticeThread_.joinable()) noticeThread_.join();
        closing_ = false;
        if (noticeFd_ >= 0) ::close(noticeFd_);
        if (requestFd_ >= 0) ::close(requestFd_);
        noticeFd_ = requestFd_ = -1;
    }

    void noticeLoop(int fd) {
        FrameHeader h;
        std::vector<uint8_t> p;
        FrameReader frames(fd);
        while (frames.Next(h, p) == RecvStatus::Ok) {
            if (h.op != uint16_t(Op::Notice)) continue;
            Reader r(p);
            uint32_t msg = r.U32();
            if (r.Ok() && onNotice_) onNotice_(msg);
        }
        if (closing_) return;
        // The service went away (killed, or told to stop) while we did not hang up, or it
        // closed only this notice connection (it does so when notices are not taken). Either
        // way notices may be missing: to the program that is a bus reset. Its next request
        // finds out which: a gone service is replaced, a running one gets a fresh connection.
        noticesLost_ = true;
        if (onNotice_) onNotice_(0x52E);
    }

    // The running service closed this client's notice connection: connect afresh so that
    // notices flow again. The ranges move to the new session (freed here first, or the new
    // session could find them still held while the service lets go of the old one). The reply
    // at hand is kept for its caller.
    void renewNotices() {
        std::vector<uint8_t> answer = std::move(reply_);
        for (const auto& [handle, r] : ranges_) {
            Writer w;
            w.Str(r.device).U32(r.remoteHandle);
            if (exchange(Op::FreeRange, w) != Exchange::Ok) break;
        }
        reconnect();
        reply_ = std::move(answer);
    }

    // Sends a request and receives its reply into reply_ (under m_). Returns nullopt when the
    // reply is there to decode, else the code the operation ends with: 87 when the service
    // refused the request, 0x80000001 when the service went away and a new one was reached (the
    // request is not repeated: to the caller it was cut off by a bus reset), 0x80000102 when the
    // service did not answer in time (the connection is dropped), 121 when no service can be
    // reached at all. timeoutMs is the request's own time-out on the bus (0: none).
    std::optional<int32_t> request(Op op, const Writer& w, int32_t timeoutMs = 0) {
        if (requestFd_ < 0 && !connect()) return sim::kResultNoResponse;
        switch (exchange(op, w, timeoutMs)) {
        case Exchange::Ok:
            // Not after a free (the range would move along) or a control command (it may
            // have ended the service): the next request renews.
            if (noticesLost_ && op != Op::FreeRange && op != Op::Control) renewNotices();
            return std::nullopt;
        case Exchange::Refused: return sim::kResultInvalidParameter;
        case Exchange::Silent:
            disconnect();
            return sim::kResultTimedOut;
        case Exchange::Broken: break;
        }
        return reconnect() ? sim::kResultResetOccurred : sim::kResultNoResponse;
    }

    enum class Exchange { Ok, Refused, Broken, Silent };
    Exchange exchange(Op op, const Writer& w, int32_t timeoutMs = 0) {
        FrameHeader h;
        if (!SendFrame(requestFd_, op, w.Data())) return Exchange::Broken;
        int64_t wait = int64_t(options_.replyTimeoutMs) + std::max<int64_t>(timeoutMs, sim::kDefaultTimeoutMs);
        // A sequence of transactions is what a download sends once per block, after a pause in
        // which the processors went idle: its answer is taken without blocking first. Single
        // requests come back to back (a config ROM, many programs at once), where a client that
        // keeps its processor only takes it from the service.
        const int quickTries = op == Op::Transfers ? kQuickAnswerTries : 0;
        RecvStatus s = replies_->Next(h, reply_, int(std::min<int64_t>(wait, INT32_MAX)), -1, quickTries);
        // Silent before its answer or in the middle of it: either way a hung service.
        if (s == RecvStatus::TimedOut || s == RecvStatus::Stalled) return Exchange::Silent;
        if (s != RecvStatus::Ok) return Exchange::Broken;
        if (h.op != uint16_t(Op::Reply) || reply_.empty()) return Exchange::Broken;
        return reply_[0] == 1 ? Exchange::Ok : Exchange::Refused;
    }

    // Right after a connect (under m_): when the program names a bus description, whether the
    // service reached hosts that bus. A service that was started for this program read the same
    // description; one that was running already may host another bus, and the program then
    // says so instead of going on as if its description had been read. A service that does not
    // answer the "description" command (one of an older build) is not judged.
    void checkDescription() {
        mismatch_.clear();
        const char* named = std::getenv("LUMAREL_BUS_DESCRIPTION");
        if (!options_.checkDescription || !named || !*named) return;
        Writer w;
        w.Str(nlohmann::json{{"cmd", "description"}}.dump());
        if (exchange(Op::Control, w) != Exchange::Ok) return;
        Reader r(reply_.data() + 1, reply_.size() - 1);
        const int32_t code = r.I32();
        const nlohmann::json answer = sim::ParseJson(r.Str());
        if (!r.Complete() || code != 0 || !answer.is_object()) return;
        const nlohmann::json& fingerprint = sim::JsonField(answer, "fingerprint");
        const nlohmann::json& file = sim::JsonField(answer, "file");
        if (!fingerprint.is_string()) return;
        std::string unread;
        const nlohmann::json wanted = sim::ReadJsonFile(named, &unread);
        if (!wanted.is_discarded() && sim::JsonFingerprint(wanted) == fingerprint.get<std::string>()) return;
        std::error_code ec;
        const fsys::path absolute = fsys::absolute(named, ec);
        const std::string ours = ec ? std::string(named) : absolute.lexically_normal().string();
        const std::string theirs =
            file.is_string() ? "the bus description " + file.get<std::string>() + " (as it read it then)" : "the default bus";
        mismatch_ = "the bus description " + ours + " (LUMAREL_BUS_DESCRIPTION)" +
                    (wanted.is_discarded() ? ", which cannot be used (" + unread + ")," : "") +
                    " is not the bus of the running bus service of " + options_.root + ", which started with " +
                    theirs + "; a description is read only when the service starts: end the programs on the bus "
                    "and stop the service (buscontrol stop) to start it with " + ours;
        tellOnce(mismatch_);
    }

    // The refusal text of the last reply.
    std::string refusal() const {
        Reader r(reply_.data() + 1, reply_.size() - 1);
        std::string t = r.Str();
        return r.Ok() ? t : "malformed reply";
    }

    bool reconnect() {
        disconnect();
        if (!connect()) return false;
        // Restore this client's ranges under the handles the program holds.
        for (auto& [handle, r] : ranges_) {
            uint32_t remote = 0;
            if (allocateLocked(r.device, r.high, r.low, r.length, r.access, r.notify, remote) == 0)
                r.remoteHandle = remote;
        }
        if (onNotice_) onNotice_(0x52E);  // the new service's bus is a new bus generation
        return true;
    }

    int32_t allocateLocked(const std::string& device, uint16_t high, uint32_t low, uint32_t length,
                           uint32_t access, uint32_t notify, uint32_t& remote) {
        Writer w;
        w.Str(device).U16(high).U32(low).U32(length).U32(access).U32(notify);
        if (requestFd_ < 0 && !connect()) return sim::kResultNoResponse;
        switch (exchange(Op::AllocRange, w)) {
        case Exchange::Ok: break;
        case Exchange::Refused: return sim::kResultInvalidParameter;
        case Exchange::Silent:
            disconnect();
            return sim::kResultTimedOut;
        case Exchange::Broken: return sim::kResultNoResponse;
        }
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        uint32_t h = r.U32();
        if (!r.Complete()) return sim::kResultUnknownError;
        remote = h;
        return code;
    }

    int32_t simpleCall(Op op, const Writer& w) {
        std::lock_guard<std::mutex> lock(m_);
        if (auto f = request(op, w)) return *f;
        return codeOnly();
    }

    int32_t codeOnly() {
        Reader r(reply_.data() + 1, reply_.size() - 1);
        int32_t code = r.I32();
        return r.Ok() ? code : sim::kResultUnknownError;
    }

    static bool isShutdown(const std::string& request) {
        nlohmann::json j = sim::ParseJson(request);
        return j.is_object() && j.contains("cmd") && sim::JsonField(j, "cmd") == "shutdown";
    }

    NoticeCallback onNotice_;
    ServiceOptions options_;
    bool stopped_ = false;  // after this client's own "shutdown"
    bool startIfMissing_ = true;
    std::mutex m_;
    int requestFd_ = -1;
    std::unique_ptr<FrameReader> replies_;
    int noticeFd_ = -1;
    std::thread noticeThread_;
    std::atomic<bool> closing_{false};  // this side hangs up: the notice thread ends quietly
    std::atomic<bool> noticesLost_{false};  // the running service closed our notice connection
    bool silentGreeting_ = false;  // the last connect found a service that listens but does not greet
    std::vector<uint8_t> reply_;
    std::string startFailure_;
    bool refused_ = false;
    std::string mismatch_;  // see DescriptionMismatch
    std::map<uint32_t, Range> ranges_;
    uint32_t nextHandle_ = 1;
};

}  // namespace

std::unique_ptr<Access> ConnectToService(NoticeCallback onNotice, const ServiceOptions& options) {
    auto a = std::make_unique<RemoteAccess>(std::move(onNotice), options, true);
    if (!a->connect()) {
        const std::string root = options.root.empty() ? PlatformRoot() : options.root;
        // A service that listens but does not greet is hung; its log (if it has one) is its own.
        if (a->SilentGreeting())
            throw ServiceError("the bus service of " + root + " listens but did not greet within " +
                               std::to_string(std::max(options.replyTimeoutMs, kGreetingWaitMs)) + " ms");
        const std::string log = ServiceFolder(root) + "/service.log";
        const std::string message =
            a->Refused() ? "the bus service of " + root + " cannot be used: " + a->StartFailure()
            : a->StartFailure().empty()
                ? "cannot reach or start the bus service of " + root + " (see " + log + ")"
                : "the bus service of " + root + " could not start: " + a->StartFailure() + " (see " + log + ")";
        // The program that asked says so where its user looks, once per reason.
        tellOnce(message);
        throw ServiceError(message);
    }
    return a;
}

std::unique_ptr<Access> ConnectToRunningService(NoticeCallback onNotice,
                                                const ServiceOptions& options) {
    auto a = std::make_unique<RemoteAccess>(std::move(onNotice), options, false);
    if (!a->connect()) return nullptr;
    return a;
}

}  // namespace bussvc
