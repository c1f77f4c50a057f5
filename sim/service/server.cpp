#include "service/server.h"

#include <fcntl.h>
#include <sys/random.h>
#include <poll.h>
#include <signal.h>
#include <sys/eventfd.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <map>
#include <mutex>
#include <thread>

#include "bus/description.h"
#include "bus/json_codec.h"
#include "fs/fs.h"
#include "clock/clock.h"
#include "service/host.h"
#include "service/protocol.h"

namespace bussvc {

namespace {

namespace fsys = std::filesystem;

// A secret no other process can guess: the system's random source.
uint64_t NoticeToken() {
    uint64_t token = 0;
    while (token == 0) {
        if (::getrandom(&token, sizeof token, 0) != ssize_t(sizeof token)) token = 0;
    }
    return token;
}

// A connection's first frame must begin within this time and be a greeting of at most
// kMaxGreeting bytes.
constexpr int kGreetingWaitMs = 10000;
constexpr uint32_t kMaxGreeting = 256;

class Server {
public:
    explicit Server(const ServerOptions& o) : options_(o) {}
    ~Server() { releaseServiceLock(); }

    int Run();

private:
    struct Client {
        std::mutex sendM;
        int noticeFd = -1;
        // Given to the request connection in the answer to its greeting; the notice connection
        // presents it with the client id, proving it belongs to that client.
        uint64_t token = 0;
    };

    void log(const std::string& line);
    bool takeServiceLock();
    void tellNotReady(const std::string& why);
    void releaseServiceLock();
    bool listenOn(const std::string& path);
    // The socket file was removed (or replaced) since the service bound it.
    bool socketGone(const std::string& path) const;
    void serve(int fd);
    void serveRequests(int fd, uint32_t clientId, uint64_t token, uint32_t pid);
    void serveNotices(int fd, uint32_t clientId, uint64_t token);
    std::vector<uint8_t> dispatch(Access& session, const FrameHeader& h,
                                  const std::vector<uint8_t>& payload, uint32_t clientId);
    void notify(uint32_t clientId, uint32_t message);
    // Takes a new connection on (true) or answers that there are too many open (false).
    bool admit(int fd);
    // A connection taken on by admit has ended.
    void closed(int fd);
    // Wakes the accept loop at once (a stop was asked for, or the last client went).
    void wake();

    ServerOptions options_;
    std::string folder_;
    std::mutex logM_;
    std::ofstream logFile_;
    int lockFd_ = -1;
    int listenFd_ = -1;
    int wakeFd_ = -1;
    ino_t socketInode_ = 0;
    std::unique_ptr<sim::Bus> bus_;
    std::unique_ptr<BusHost> host_;
    std::vector<std::unique_ptr<sim::Bus>> otherBuses_;   // buses 1 ... n-1
    std::vector<std::unique_ptr<BusHost>> otherHosts_;

    std::atomic<bool> stop_{false};
    std::atomic<bool> stopRequested_{false};
    std::mutex connM_;
    std::condition_variable connCv_;
    std::map<int, bool> open_;            // every open connection
    bool refusing_ = false;               // the last connection was refused (logged once)
    int64_t lastActivityMs_ = 0;          // when the last connection closed
    std::map<uint32_t, std::shared_ptr<Client>> clients_;
    uint32_t nextClient_ = 1;
};

void Server::log(const std::string& line) {
    std::lock_guard<std::mutex> lock(logM_);
    if (!logFile_) return;
    std::time_t t = std::chrono::system_clock::to_time_t(clk::WallNow());
    std::tm tm{};
    gmtime_r(&t, &tm);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d %H:%M:%S", &tm);
    logFile_ << stamp << " [" << ::getpid() << "] " << line << '\n';
    logFile_.flush();
}

// The program that started the service waits on the ready descriptor: "1" when it listens;
// "0" and the reason when it cannot start (end of file alone says nothing).
void Server::tellNotReady(const std::string& why) {
    if (options_.readyFd < 0) return;
    const std::string text = "0" + why.substr(0, 1000);
    (void)!::write(options_.readyFd, text.data(), text.size());
    ::close(options_.readyFd);
    options_.readyFd = -1;
}

bool Server::takeServiceLock() {
    // Never through a symbolic link: the service writes its process id into the file it opens.
    lockFd_ = fs::OpenPrivateFile(folder_ + "/service.lock", O_RDWR | O_CREAT);
    if (lockFd_ < 0) return false;
    // A service that is just ending still holds the lock for a moment: wait a little for it.
    for (int i = 0; i < 100; ++i) {
        if (::flock(lockFd_, LOCK_EX | LOCK_NB) == 0) {
            // The holder's process id, for tools and tests that look for the service.
            std::string pid = std::to_string(::getpid()) + "\n";
            if (::ftruncate(lockFd_, 0) == 0) (void)!::pwrite(lockFd_, pid.data(), pid.size(), 0);
            return true;
        }
        clk::Sleep(50);
    }
    return false;
}

void Server::releaseServiceLock() {
    if (lockFd_ < 0) return;
    if (::ftruncate(lockFd_, 0) != 0) log("cannot clear the service lock");  // no holder any more
    ::close(lockFd_);
    lockFd_ = -1;
}

bool Server::listenOn(const std::string& path) {
    sockaddr_un addr{};
    if (path.size() >= sizeof(addr.sun_path)) {
        log("socket path too long: " + path);
        return false;
    }
    ::unlink(path.c_str());  // a socket left behind by a service that was killed
    listenFd_ = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    addr.sun_family = AF_UNIX;
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listenFd_, 64) != 0) {
        log("cannot listen on " + path + ": " + std::strerror(errno));
        return false;
    }
    ::chmod(path.c_str(), 0600);
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) socketInode_ = st.st_ino;
    return true;
}

bool Server::socketGone(const std::string& path) const {
    struct stat st {};
    return ::stat(path.c_str(), &st) != 0 || st.st_ino != socketInode_;
}

bool Server::admit(int fd) {
    bool logged = false;
    size_t open = 0;
    {
        std::lock_guard<std::mutex> lock(connM_);
        if (int(open_.size()) < options_.maxConnections) {
            open_[fd] = true;
            refusing_ = false;
            return true;
        }
        logged = refusing_;  // once per run of refusals, so a flood does not fill the log
        refusing_ = true;
        open = open_.size();
    }
    // Told so at once, in place of the answer to its greeting: a fresh socket takes a short
    // frame without waiting.
    SendFrame(fd, Op::Reply, ErrorReply("too many connections to the bus service"));
    if (!logged) log("refusing connections: " + std::to_string(open) + " are open");
    return false;
}

void Server::closed(int fd) {
    std::lock_guard<std::mutex> lock(connM_);
    open_.erase(fd);
    lastActivityMs_ = clk::TickCountMs();
    if (open_.empty()) wake();  // under connM_: the loop closes the wake-up only after this
    connCv_.notify_all();
}

void Server::wake() {
    uint64_t one = 1;
    if (wakeFd_ >= 0) (void)!::write(wakeFd_, &one, sizeof one);
}

void Server::notify(uint32_t clientId, uint32_t message) {
    std::shared_ptr<Client> c;
    {
        std::lock_guard<std::mutex> lock(connM_);
        auto it = clients_.find(clientId);
        if (it == clients_.end()) return;
        c = it->second;
    }
    std::lock_guard<std::mutex> lock(c->sendM);
    if (c->noticeFd < 0) return;
    // A notice is 12 bytes; a client whose socket buffer is full has stopped reading.
    uint8_t frame[kHeaderBytes + 4];
    uint32_t len = 4;
    uint16_t op = uint16_t(Op::Notice), r = 0;
    std::memcpy(frame, &len, 4);
    std::memcpy(frame + 4, &op, 2);
    std::memcpy(frame + 6, &r, 2);
    std::memcpy(frame + 8, &message, 4);
    ssize_t n = ::send(c->noticeFd, frame, sizeof frame, MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n != ssize_t(sizeof frame)) {
        log("client " + std::to_string(clientId) + " does not take its notices; closing them");
        ::shutdown(c->noticeFd, SHUT_RDWR);
        c->noticeFd = -1;
    }
}

void Server::serve(int fd) {
    FrameHeader h;
    std::vector<uint8_t> p;
    // A greeting is a few bytes: a longer frame is no greeting, whatever its header says.
    RecvStatus s = RecvFrame(fd, h, p, kGreetingWaitMs, options_.frameTimeoutMs, kMaxGreeting);
    if (s != RecvStatus::Ok || h.op != uint16_t(Op::Hello)) {
        if (s == RecvStatus::Ok || s == RecvStatus::Malformed) {
            log("refused a connection that did not begin with a greeting");
            SendFrame(fd, Op::Reply, ErrorReply("a connection begins with Hello"));
        } else if (s == RecvStatus::Stalled) {
            log("a connection fell silent in the middle of its greeting; closed");
        }
        return;
    }
    Reader r(p);
    uint32_t version = r.U32();
    uint32_t pid = r.U32();
    uint8_t role = r.U8();
    uint32_t clientId = r.U32();
    const uint64_t token = role == 1 ? r.U64() : 0;
    if (!r.Complete() || version != kProtocolVersion || role > 1) {
        log("refused a greeting (protocol version " + std::to_string(version) + ", role " +
            std::to_string(role) + ")");
        SendFrame(fd, Op::Reply, ErrorReply("unsupported greeting"));
        return;
    }
    if (stop_) return;  // ending: the client connects again to a new service
    if (role == 0) {
        std::shared_ptr<Client> c;
        {
            std::lock_guard<std::mutex> lock(connM_);
            clientId = nextClient_++;
            c = std::make_shared<Client>();
            c->token = NoticeToken();
            clients_[clientId] = c;
        }
        serveRequests(fd, clientId, c->token, pid);
        {
            std::lock_guard<std::mutex> lock(connM_);
            clients_.erase(clientId);
        }
        std::lock_guard<std::mutex> lock(c->sendM);
        if (c->noticeFd >= 0) ::shutdown(c->noticeFd, SHUT_RDWR);
        c->noticeFd = -1;
    } else {
        serveNotices(fd, clientId, token);
    }
}

void Server::serveRequests(int fd, uint32_t clientId, uint64_t token, uint32_t pid) {
    auto session = host_->Open([this, clientId](uint32_t m) { notify(clientId, m); });
    if (!SendFrame(fd, Op::Reply, OkReply(Writer().U32(clientId).U64(token)))) return;
    log("client " + std::to_string(clientId) + " (process " + std::to_string(pid) + ") connected");
    FrameHeader h;
    std::vector<uint8_t> payload;
    FrameReader frames(fd);
    for (;;) {
        // A client may wait as long as it likes between requests, not in the middle of one.
        RecvStatus s = frames.Next(h, payload, -1, options_.frameTimeoutMs);
        if (s == RecvStatus::Closed) break;
        if (s == RecvStatus::Malformed) {
            log("client " + std::to_string(clientId) + ": malformed frame (length " +
                std::to_string(h.length) + "); connection closed");
            SendFrame(fd, Op::Reply, ErrorReply("malformed frame"));
            break;
        }
        if (s != RecvStatus::Ok) {
            log("client " + std::to_string(clientId) + ": silent for " + std::to_string(options_.frameTimeoutMs) +
                " ms in the middle of a request; connection closed");
            break;
        }
        std::vector<uint8_t> reply;
        try {
            reply = dispatch(*session, h, payload, clientId);
        } catch (const std::exception& e) {
            log("client " + std::to_string(clientId) + ": request failed: " + e.what());
            reply = ErrorReply(std::string("request failed: ") + e.what());
        }
        if (!SendFrame(fd, Op::Reply, reply)) break;  // the client went away mid-request
        if (stopRequested_) {                           // "shutdown", answered first
            stop_ = true;
            wake();
        }
    }
    log("client " + std::to_string(clientId) + " disconnected");
}

void Server::serveNotices(int fd, uint32_t clientId, uint64_t token) {
    std::shared_ptr<Client> c;
    {
        std::lock_guard<std::mutex> lock(connM_);
        auto it = clients_.find(clientId);
        if (it != clients_.end()) c = it->second;
    }
    // Only the client's own notice connection, once: another process that names the id without
    // the token, or a second connection, would take the client's notices away from it.
    if (!c || c->token != token) {
        log("refused a notice connection for client " + std::to_string(clientId) + " that did not prove it is theirs");
        SendFrame(fd, Op::Reply, ErrorReply("unknown client"));
        return;
    }
    {
        std::lock_guard<std::mutex> lock(c->sendM);
        if (c->noticeFd >= 0) {
            log("refused a second notice connection for client " + std::to_string(clientId));
            SendFrame(fd, Op::Reply, ErrorReply("the client's notices are taken"));
            return;
        }
        if (!SendFrame(fd, Op::Reply, OkReply(Writer().U32(clientId)))) return;
        c->noticeFd = fd;
    }
    // Nothing is expected from the client here: whatever it sends is read and dropped (so it
    // holds no memory), until either side closes.
    uint8_t sink[256];
    for (;;) {
        ssize_t n = ::recv(fd, sink, sizeof sink, 0);
        if (n > 0 || (n < 0 && errno == EINTR)) continue;
        break;
    }
    std::lock_guard<std::mutex> lock(c->sendM);
    c->noticeFd = -1;
}

std::vector<uint8_t> Server::dispatch(Access& a, const FrameHeader& h,
                                      const std::vector<uint8_t>& payload, uint32_t clientId) {
    Reader r(payload);
    Writer w;
    auto refuse = [&](const std::string& why) {
        log("client " + std::to_string(clientId) + ": refused request " + std::to_string(h.op) +
            " (" + std::to_string(payload.size()) + " bytes): " + why);
        return ErrorReply(why);
    };
    switch (Op(h.op)) {
    case Op::Read: {
        int32_t node = int32_t(r.U32());
        uint16_t high = r.U16();
        uint32_t low = r.U32();
        uint32_t count = r.U32();
        int32_t timeout = r.I32();
        if (!r.Complete()) return refuse("malformed read");
        if (count < 4 || count > sim::kMaxPayload || count % 4) {
            w.I32(sim::kResultInvalidParameter);
            return OkReply(w);
        }
        uint8_t buf[sim::kMaxPayload];
        int32_t code = a.Read(node, high, low, count, timeout, buf);
        w.I32(code);
        if (code == sim::kResultSuccess) w.Bytes(buf, count);
        return OkReply(w);
    }
    case Op::Write: {
        int32_t node = int32_t(r.U32());
        uint16_t high = r.U16();
        uint32_t low = r.U32();
        int32_t timeout = r.I32();
        std::vector<uint8_t> data = r.Bytes();
        if (!r.Complete()) return refuse("malformed write");
        w.I32(a.Write(node, high, low, data.data(), uint32_t(data.size()), timeout));
        return OkReply(w);
    }
    case Op::Transfers: {
        std::vector<Transfer> transfers;
        std::vector<uint8_t> buffer;
        if (!DecodeTransfers(r, transfers, buffer)) return refuse("malformed transfer sequence");
        const size_t done = a.Transfers(transfers.data(), transfers.size());
        EncodeTransfersDone(w, transfers.data(), done);
        return OkReply(w);
    }
    case Op::TopologyMap: {
        std::string device = r.Str(4096);
        if (!r.Complete()) return refuse("malformed topology request");
        std::vector<uint8_t> map;
        int32_t code = a.TopologyMap(device, map);
        w.I32(code).Bytes(map);
        return OkReply(w);
    }
    case Op::LocalNode: {
        std::string device = r.Str(4096);
        if (!r.Complete()) return refuse("malformed local node request");
        uint16_t id = 0;
        int32_t code = a.LocalNodeAddress(device, id);
        w.I32(code).U16(id);
        return OkReply(w);
    }
    case Op::VirtualDevices: {
        if (!r.Complete()) return refuse("malformed virtual device list request");
        auto names = a.VirtualDevices();
        w.U32(uint32_t(names.size()));
        for (const auto& n : names) w.Str(n);
        return OkReply(w);
    }
    case Op::AddVirtual:
    case Op::RemoveVirtual: {
        uint32_t flags = r.U32();
        uint64_t instance = r.U64();
        std::string name = r.Str(4096);
        if (!r.Complete()) return refuse("malformed virtual device request");
        w.I32(Op(h.op) == Op::AddVirtual ? a.AddVirtualDevice(flags, instance, name)
                                         : a.RemoveVirtualDevice(flags, instance, name));
        return OkReply(w);
    }
    case Op::ResetBus: {
        std::string device = r.Str(4096);
        if (!r.Complete()) return refuse("malformed reset request");
        w.I32(a.ResetBus(device));
        return OkReply(w);
    }
    case Op::AllocRange: {
        std::string device = r.Str(4096);
        uint16_t high = r.U16();
        uint32_t low = r.U32(), length = r.U32(), access = r.U32(), notify = r.U32();
        if (!r.Complete()) return refuse("malformed range request");
        uint32_t handle = 0;
        int32_t code = a.AllocateRange(device, high, low, length, access, notify, handle);
        w.I32(code).U32(handle);
        return OkReply(w);
    }
    case Op::FreeRange: {
        std::string device = r.Str(4096);
        uint32_t handle = r.U32();
        if (!r.Complete()) return refuse("malformed range request");
        w.I32(a.FreeRange(device, handle));
        return OkReply(w);
    }
    case Op::BusDevice: {
        uint32_t bus = r.U32(), code = r.U32();
        std::vector<uint8_t> input = r.Bytes(4096);
        if (!r.Complete()) return refuse("malformed bus device request");
        w.I32(a.BusDeviceRequest(bus, code, input));
        return OkReply(w);
    }
    case Op::Control: {
        std::string text = r.Str();
        if (!r.Complete()) return refuse("malformed control request");
        std::string reply;
        int32_t code = a.Control(text, reply);
        if (code != kControlOk)
            log("client " + std::to_string(clientId) + ": control " + sim::QuoteText(text) + " -> " + sim::QuoteText(reply));
        w.I32(code).Str(reply);
        return OkReply(w);
    }
    case Op::AudioUnits: {
        if (!r.Complete()) return refuse("malformed audio unit list request");
        std::vector<AudioUnitInfo> units;
        int32_t code = a.AudioUnits(units);
        w.I32(code).U32(uint32_t(units.size()));
        for (const auto& u : units) {
            w.Str(u.node).Str(u.interfacePath).U8(u.controlOpenable ? 1 : 0).Bytes(u.guid.data(), u.guid.size());
            w.Str(u.identifier).Str(u.softwareDate).Str(u.softwareTime).Str(u.bootloaderDate).Str(u.bootloaderTime);
        }
        return OkReply(w);
    }
    case Op::AudioRequest: {
        std::string node = r.Str(4096);
        uint32_t code = r.U32();
        std::vector<uint8_t> input = r.Bytes(kMaxAudioBytes);
        uint32_t outSize = r.U32();
        if (!r.Complete()) return refuse("malformed audio request");
        uint32_t error = 0;
        std::vector<uint8_t> output;
        int32_t result = a.AudioRequest(node, code, input, std::min(outSize, kMaxAudioBytes), error, output);
        w.I32(result).U32(error).Bytes(output);
        return OkReply(w);
    }
    default:
        return refuse("unknown operation");
    }
}

// A path as the service keeps it: absolute, taken from the folder it was started in.
std::string absolutePath(const std::string& path) {
    std::error_code ec;
    const fsys::path absolute = fsys::absolute(path, ec);
    return ec ? path : absolute.lexically_normal().string();
}

int Server::Run() {
    // The service leaves the folder it was started in once it serves (see below), so every path
    // it keeps is made absolute first.
    options_.root = absolutePath(options_.root);
    if (!options_.descriptionFile.empty()) options_.descriptionFile = absolutePath(options_.descriptionFile);
    folder_ = ServiceFolder(options_.root);
    std::error_code ec;
    // The folder holds the socket, the lock and the device's state: one that another user owns
    // or may write (who could swap the socket or put a link in place of the lock) is not served.
    std::string problem;
    const bool made = fs::CreatePrivateFolders(folder_, &problem);
    if (made && problem.empty()) problem = fs::PrivateFolderProblem(folder_ + "/state").value_or("");
    if (!made || !problem.empty()) {
        const std::string why = problem.empty() ? "cannot create " + folder_ + ": " + std::strerror(errno) : problem;
        if (made || problem.empty()) std::cerr << "lumarel-bus: " << why << '\n';  // else said by the check
        tellNotReady(why);
        return 2;
    }
    // One earlier log is kept beside the current one, so the file does not grow without end.
    const std::string logPath = folder_ + "/service.log";
    if (fsys::file_size(logPath, ec) > 1'000'000 && !ec) fsys::rename(logPath, logPath + ".1", ec);
    // The log names devices and their state: for the owner only, and never through a link.
    if (const int fd = fs::OpenPrivateFile(logPath, O_WRONLY | O_CREAT | O_APPEND); fd >= 0) {
        ::close(fd);
        logFile_.open(logPath, std::ios::app);
    }
    if (!takeServiceLock()) {
        if (lockFd_ < 0) {  // no lock file to take: a symbolic link in its place, or no room
            const int error = errno;
            const std::string why = "cannot open " + folder_ + "/service.lock: " +
                                    (error == ELOOP ? "it is a symbolic link, not the service's own file"
                                                    : std::string(std::strerror(error)));
            log(why);
            std::cerr << "lumarel-bus: " << why << '\n';
            tellNotReady(why);
            return 2;
        }
        log("another bus service runs for this root; ending");
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = -1;
        return 0;
    }
    bus_ = std::make_unique<sim::Bus>(0);
    host_ = std::make_unique<BusHost>(*bus_, fsys::path(folder_) / "state");
    host_->SetLogger([this](const std::string& l) { log(l); });
    host_->SetShutdownHandler([this] { stopRequested_ = true; });
    try {
        if (options_.descriptionFile.empty()) {
            host_->Load(nullptr);
        } else {
            std::string why;
            nlohmann::json d = sim::ReadJsonFile(options_.descriptionFile, &why);
            if (d.is_discarded())
                throw sim::DescriptionError("the bus description " + options_.descriptionFile + ": " + why);
            host_->Load(&d, options_.descriptionFile);
        }
        const nlohmann::json hostOnly = {{"nodes", {{{"id", "host"}, {"kind", "host"}}}}};
        for (int b = 1; b < options_.buses; ++b) {
            otherBuses_.push_back(std::make_unique<sim::Bus>(b));
            otherHosts_.push_back(std::make_unique<BusHost>(
                *otherBuses_.back(), fsys::path(folder_) / "state" / ("bus" + std::to_string(b))));
            otherHosts_.back()->SetLogger([this](const std::string& l) { log(l); });
            otherHosts_.back()->Load(&hostOnly);
        }
        host_->SetOtherBuses([this](uint32_t index) -> BusHost* {
            return index >= 1 && index <= otherHosts_.size() ? otherHosts_[index - 1].get() : nullptr;
        });
    } catch (const std::exception& e) {
        log(std::string("cannot start: ") + e.what());
        std::cerr << "lumarel-bus: " << e.what() << '\n';
        tellNotReady(e.what());
        return 2;
    }
    const std::string sock = SocketPath(options_.root);
    if (!listenOn(sock)) {
        tellNotReady("cannot listen on " + sock);
        return 1;
    }
    log("serving " + sock + (options_.descriptionFile.empty() ? " (default bus)" : " with " + options_.descriptionFile) +
        ", idle period " + std::to_string(options_.idleMs) + " ms");
    // A service outlives the program that started it: kept as its current folder, that
    // program's folder would pin its file system (a removable disk or a tmpfs could not be
    // unmounted while the service runs). The description's files are read by now; files that
    // nodes added later name are best given absolute (a relative name starts at "/").
    if (::chdir("/") != 0) log(std::string("cannot leave the current folder: ") + std::strerror(errno));
    if (options_.readyFd >= 0) {
        char one = '1';
        (void)!::write(options_.readyFd, &one, 1);
        ::close(options_.readyFd);
    }
    lastActivityMs_ = clk::TickCountMs();
    wakeFd_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    while (!stop_) {
        pollfd pfd[2] = {{listenFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        int n = ::poll(pfd, wakeFd_ >= 0 ? 2 : 1, 100);
        if (n > 0 && (pfd[1].revents & POLLIN)) {
            uint64_t count;
            (void)!::read(wakeFd_, &count, sizeof count);
        }
        if (stop_) break;
        if (n > 0 && (pfd[0].revents & POLLIN)) {
            int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (fd < 0) continue;
            if (!admit(fd)) {
                ::close(fd);
                continue;
            }
            try {
                std::thread([this, fd] {
                    // A connection that fails in an unexpected way ends only itself.
                    try {
                        serve(fd);
                    } catch (const std::exception& e) {
                        try {
                            log(std::string("connection ended by an internal error: ") + e.what());
                        } catch (...) {
                            // The log could not take the line either; nothing may leave the connection's thread.
                        }
                    } catch (...) {
                        // Not a standard exception: no text to log, and nothing may leave the connection's thread.
                    }
                    closed(fd);
                    ::close(fd);
                }).detach();
            } catch (const std::exception& e) {  // no thread to be had: this connection only
                log(std::string("cannot serve a connection: ") + e.what());
                closed(fd);
                ::close(fd);
            }
            continue;
        }
        // Once the socket is gone (its root was removed, as a test removes its temporary root)
        // nobody can connect any more: end as soon as the last client has gone.
        bool orphaned = socketGone(sock);
        std::lock_guard<std::mutex> lock(connM_);
        if (!open_.empty()) continue;
        if (orphaned) {
            log("the socket " + sock + " is gone; ending");
            break;
        }
        if (clk::TickCountMs() - lastActivityMs_ >= options_.idleMs) {
            log("no client for " + std::to_string(options_.idleMs) + " ms; ending");
            break;
        }
    }
    // Stop taking connections first, so a client arriving now starts a new service.
    ::close(listenFd_);
    if (!socketGone(sock)) ::unlink(sock.c_str());  // never a newer service's socket
    {
        std::unique_lock<std::mutex> lock(connM_);
        for (auto& [fd, _] : open_) ::shutdown(fd, SHUT_RDWR);
        connCv_.wait(lock, [this] { return open_.empty(); });
        if (wakeFd_ >= 0) ::close(wakeFd_);
        wakeFd_ = -1;
    }
    // Every acknowledged change is saved already; this catches work a device finished on its
    // own since. A removed root stays removed.
    if (fsys::exists(folder_, ec)) host_->SaveChanges();
    log("ended");
    releaseServiceLock();
    return 0;
}

}  // namespace

int RunServer(const ServerOptions& options) {
    ::signal(SIGPIPE, SIG_IGN);
    Server s(options);
    return s.Run();
}

}  // namespace bussvc
