// Hosting a simulated bus for clients of the access library.
//
// A BusHost stands between one sim::Bus and its clients: each client opens a session (an Access)
// that checks the virtual device names it is given, owns the host address ranges it allocates
// (freed when the session ends; incoming-data notices go to the owner only) and receives the
// bus's notices. With a state folder, the host restores the nodes' saved state and the virtual
// device list when it starts and saves every changed node (and the list) before a request that
// changed them is answered, so nothing acknowledged is lost when the process ends.
//
// Clients run at once, so a request and the save of what it changed happen in one hold of the
// bus lock (what others changed meanwhile, such as a device's work on its own time, is saved
// first and its outcome only logged). A save's outcome thus goes to the request that caused it
// and to no other, and no request, a read included, ever sees a change that is not saved yet or
// is about to be dropped.
//
// The bus service runs one BusHost for all its connections; the access library runs one in the
// test process when a test hosts its bus in-process (on the manual clock).
#pragma once

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>

#include <nlohmann/json.hpp>

#include "bus/audio_device.h"
#include "bus/bus.h"
#include "service/access.h"

namespace bussvc {

// Host address ranges: what one client may hold, and all clients together. A range holds its
// length in memory; the downloader and the mixer each hold a few small ones.
inline constexpr uint32_t kMaxRangesPerClient = 64;
inline constexpr uint64_t kMaxRangeBytesPerClient = uint64_t(16) << 20;
inline constexpr uint32_t kMaxRangesInTotal = 256;
inline constexpr uint64_t kMaxRangeBytesInTotal = uint64_t(64) << 20;

// Control-command results.
inline constexpr int32_t kControlOk = 0;
inline constexpr int32_t kControlFailed = 1;

class BusHost {
public:
    // Hosts `bus` (not owned). With a state folder: loads what is saved there (call Restore)
    // and saves changes into it.
    explicit BusHost(sim::Bus& bus, std::filesystem::path stateFolder = {});
    ~BusHost();
    BusHost(const BusHost&) = delete;
    BusHost& operator=(const BusHost&) = delete;

    sim::Bus& Bus() { return bus_; }
    const std::filesystem::path& StateFolder() const { return state_; }
    // Folder of one node's saved state.
    std::filesystem::path NodeStateFolder(const std::string& nodeId) const;

    // Loads a description (nullptr: the default bus) with the nodes' state folders, then the
    // saved virtual device list. Throws sim::DescriptionError for a bad description. The
    // "description" control command answers with the file it was read from (`sourceFile`, empty
    // for none) and the fingerprint of what was loaded (sim::JsonFingerprint):
    // {"file": path or null, "fingerprint": text}, so that a program that names a description can
    // tell whether this bus is the one it names.
    void Load(const nlohmann::json* description, const std::string& sourceFile = {});
    // Saves every node whose state changed since it was last saved, and the virtual device
    // list when it changed. Returns false (and logs) when a save failed; a node whose save
    // failed is taken back to its saved state (Node::RevertUnsavedState), so the change that did
    // not fit is dropped and the next one is saved on its own. Cheap when nothing
    // changed: nodes report their changes to the bus (Node::StateChanged), so no node is
    // asked while none did.
    bool SaveChanges();

    // A new client session. Notices for it go to onNotice (any thread).
    std::unique_ptr<Access> Open(NoticeCallback onNotice);
    int Sessions() const;

    // A request to the bus device "\\.\1394BUS" + busIndex (see Access::BusDeviceRequest). A
    // machine may have several 1394 buses: requests for another index go to the host that
    // SetOtherBuses finds for it (6 when none).
    int32_t BusDeviceRequest(uint32_t busIndex, uint32_t controlCode, const std::vector<uint8_t>& input);
    void SetOtherBuses(std::function<BusHost*(uint32_t busIndex)> find);

    // The audio side of the Lumarel 460 nodes (see Access::AudioUnits and AudioRequest).
    int32_t AudioUnits(std::vector<AudioUnitInfo>& units);
    int32_t AudioRequest(const std::string& node, uint32_t code, const std::vector<uint8_t>& input,
                         uint32_t outSize, uint32_t& error, std::vector<uint8_t>& output);

    // A control command (see Access::Control). "shutdown" calls the handler set here; a
    // command with "bus": n goes to bus n of the service.
    int32_t Control(const std::string& request, std::string& reply);
    void SetShutdownHandler(std::function<void()> handler);
    // Where the host writes its log lines (the service's log file); default: nowhere.
    void SetLogger(std::function<void(const std::string&)> logger);
    void Log(const std::string& line);

private:
    class Session;
    friend class Session;
    void onEvent(const sim::BusEvent& event);
    nlohmann::json control(const nlohmann::json& request);
    // Runs a device command on a Lumarel 460 node; false when the node is not one.
    bool withDevice(const std::string& id, const nlohmann::json& command);
    // The "audio" control command: the audio side's state, faults and journal of a node.
    nlohmann::json audioCommand(const std::string& id, const nlohmann::json& command);
    // Runs fn on the device model behind node `id`, with the bus lock held; false when the node
    // models none. A failure of fn is thrown again (as std::invalid_argument) once the lock is
    // let go.
    bool onDevice(const std::string& id, const std::function<void(sim::AudioDevice&)>& fn);
    // Under the bus lock: saves every node whose state changed since it was last saved. False
    // when a save failed; that node is back at its saved state.
    bool saveNodes();
    // Under the bus lock: writes the virtual device list when it changed since it was saved.
    bool saveVirtualDevices();
    // Runs one request of a client (fn) in one hold of the bus lock with what it changed saved
    // before the lock is let go; what others left unsaved is saved first (logged, not reported).
    // False when the request's change could not be saved. A request on the virtual device list
    // (listRequest) also fails while the list on disk is behind the one in memory.
    bool settled(const std::function<void()>& fn, bool listRequest = false);
    // The same for a transaction (Bus::Read/Write): `saved` gets false when what the
    // transaction changed could not be saved.
    sim::RequestHooks settling(bool& saved);
    // A request on the virtual device list that ended with `code` (0 = done): a done request
    // whose change could not be saved ends with 29 instead, as it is not kept over a restart.
    int32_t listRequest(const std::function<int32_t()>& fn);
    // Starts (known) or stops keeping state for a node added or removed after Load.
    void trackNode(const std::string& id, bool known);
    void restoreVirtualDevices();

    sim::Bus& bus_;
    std::filesystem::path state_;
    int listener_ = 0;
    // Sessions, their ranges and the handlers. Never held while calling the bus, except by the
    // bus's own listener (which the bus calls without its lock).
    mutable std::recursive_mutex m_;
    std::vector<Session*> sessions_;
    uint32_t rangeCount_ = 0;  // ranges the sessions hold (or are allocating), and their bytes
    uint64_t rangeBytes_ = 0;
    // What was saved last. Used under the bus lock, which every save holds.
    std::map<std::string, uint64_t> savedSerial_;
    std::set<std::string> failingSaves_;  // nodes whose last save failed (said in the log)
    // The bus's count of state changes when every node's state was last saved.
    uint64_t savedChanges_ = 0;
    // The virtual device list changed since it was saved (set from bus events, which arrive
    // after the lock is let go, and by the list requests themselves).
    std::atomic<bool> devicesChanged_{false};
    std::function<void()> shutdown_;
    std::function<BusHost*(uint32_t)> otherBuses_;
    std::function<void(const std::string&)> logger_;
    // What Load loaded and where from (under m_).
    nlohmann::json description_;
    std::string descriptionFile_;
};

}  // namespace bussvc
