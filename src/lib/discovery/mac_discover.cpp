// MAC discovery: one link-layer port and one receive thread per interface, a broadcast
// probe, and a shared device list filled for the listening time.
//
// Lifetime rules. Each run has one shared Devices object (device list, its mutex,
// open/closed state); each interface has one shared Listener record, which owns
// the port. A receive thread holds references to both, so whatever it touches stays
// valid until the thread itself has ended, even when the caller gave up waiting for
// it. The list is handed to the caller under the mutex, after which the discovery is
// closed and a late receive thread adds nothing. Nothing is shared between runs: the
// settings come with each MacDiscovery, and the listeners are the object's own.
#include "mac_discover.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>

#include "byte_io.h"
#include "clock.h"
#include "failpoint.h"
#include "log.h"
#include "port.h"
#include "status.h"

namespace kivo::discovery {
namespace {

using std::chrono::milliseconds;

// Longest wait of a thread or the caller before it looks at its flags again.
constexpr milliseconds kSlice{100};
// Floor of the wait for receive threads to stop after being told to: a thread
// notices within one slice, so a very short listening time must not cut it off.
constexpr milliseconds kStopWaitFloor{500};

// SNAP protocol ids of discovery.
constexpr uint16_t kPidProbe = 0x0C01;
constexpr uint16_t kPidLegacyReply = 0x0C02;
constexpr uint16_t kPidAnnouncement = 0x0B00;
// A boot-ROM announcement after its SNAP header: six bytes, the magic, the sub-version
// and the version (little-endian).
constexpr size_t kAnnouncementMagicOffset = 6;
constexpr size_t kAnnouncementVersionOffset = 12;
constexpr uint16_t kBootRomVersion3 = 3;

}  // namespace

// The shared device list of one run and whether it still accepts devices.
class MacDiscovery::Devices {
   public:
    explicit Devices(bool multipleDevices) : multipleDevices_(multipleDevices) {}
    Devices(const Devices&) = delete;
    Devices& operator=(const Devices&) = delete;
    ~Devices() { DeviceListFree(firstDevice_); }

    // Adds a device unless the discovery is closed, the device is known or the list
    // is full. Returns true when the list now holds at least one device.
    bool Add(const uint8_t* deviceMac, const CHAR* interfaceName, const uint8_t* hostMac, t_deviceType type) {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (!open_) return false;
            if (DeviceListFind(firstDevice_, deviceMac, interfaceName, hostMac, type) == nullptr &&
                deviceCount_ < MACDISCOVER_MAX_DEVICES) {
                t_device* before = firstDevice_;
                DeviceListAdd(&firstDevice_, deviceMac, interfaceName, hostMac, type);
                if (firstDevice_ != before) ++deviceCount_;
            }
            if (firstDevice_ == nullptr) return false;
        }
        changed_.notify_all();
        return true;
    }
    // Whether the caller can stop waiting: one device found when only one is wanted.
    bool SatisfiedLocked() const { return !multipleDevices_ && firstDevice_ != nullptr; }
    bool Satisfied() {
        std::lock_guard<std::mutex> lock(mutex_);
        return SatisfiedLocked();
    }
    // Hands the list over and closes the discovery.
    t_device* Take() {
        std::lock_guard<std::mutex> lock(mutex_);
        t_device* list = firstDevice_;
        firstDevice_ = nullptr;
        deviceCount_ = 0;
        open_ = false;
        return list;
    }
    bool multipleDevices() const { return multipleDevices_; }
    std::mutex& mutex() { return mutex_; }
    std::condition_variable& changed() { return changed_; }

   private:
    std::mutex mutex_;
    std::condition_variable changed_;  // a device was added or a thread ended
    t_device* firstDevice_ = nullptr;  // guarded by mutex_
    unsigned deviceCount_ = 0;         // guarded by mutex_
    bool open_ = true;                 // guarded by mutex_; cleared at the hand-over
    const bool multipleDevices_;
};

// One interface being listened on.
struct MacDiscovery::Listener {
    l2::Port port;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> keepAlive{false};
    std::string interfaceName;
    milliseconds timeout{MACDISCOVER_DEFAULT_TIMEOUT_MS};
    std::shared_ptr<Devices> devices;
};

namespace {

enum class Step { kOpen, kSend };

// The one translation of port outcomes into discovery results, worded for a failure
// people can act on.
Status ErrorOf(l2::PortStatus status, Step step, const CHAR* name) {
    if (status == l2::PortStatus::kOk) return MACDISCOVER_ERROR_NONE;
    return Status(step == Step::kOpen ? MACDISCOVER_ERROR_SOCKET_NOT_OPENED : MACDISCOVER_ERROR_SENDTO)
        .Explain(l2::PortFailure(status, name));
}

// Body of one receive thread: listens until the deadline, until told to stop, or,
// when only one device is wanted, until a device is found.
void Listen(std::shared_ptr<MacDiscovery::Listener> rec) {
    auto& devices = *rec->devices;
    const Deadline deadline = Deadline::After(rec->timeout);
    const uint8_t* hostMac = rec->port.mac().data();
    l2::FrameView frame;
    while (rec->keepAlive.load() && !deadline.passed()) {
        const Deadline slice(std::min(deadline.at(), SteadyClock::now() + kSlice));
        const l2::PortStatus status = rec->port.Recv(frame, slice);
        if (status == l2::PortStatus::kTimeout) continue;
        if (status != l2::PortStatus::kOk) {
            if (rec->port.lastErrno() == ENOMEM) Log(LogStream::kErr, "Malloc error\n");
            break;
        }
        FailPointHook("discovery.frame");
        t_deviceType type;
        if (!MACDiscoverFrameClassify(frame.data, static_cast<uint32_t>(frame.length), hostMac, &type))
            continue;
        if (devices.Add(frame.src(), rec->interfaceName.c_str(), hostMac, type) && !devices.multipleDevices())
            break;
    }
    {
        // Under the mutex so that the waiter cannot miss the change between its test
        // and its wait.
        std::lock_guard<std::mutex> lock(devices.mutex());
        rec->running.store(false);
    }
    devices.changed().notify_all();
}

}  // namespace

t_macDiscoverErrorCode Settings::VlanSet(bool enable, uint16_t vid, uint8_t pcp) {
    if (enable) {
        if (vid > 4094 || pcp > 7) return MACDISCOVER_ERROR_BAD_ARGS;
        vlanId = vid;
        vlanClass = pcp;
    }
    vlanEnabled = enable;
    return MACDISCOVER_ERROR_NONE;
}

MacDiscovery::~MacDiscovery() {
    // Run leaves no listener behind; one left by an interrupted run is stopped here.
    for (auto& rec : listeners_) {
        rec->keepAlive.store(false);
        if (rec->thread.joinable()) rec->thread.join();
    }
}

// Opens the interface, sends the probe and starts its receive thread.
Status MacDiscovery::StartListener(const CHAR* interfaceName, const std::shared_ptr<Devices>& devices) {
    std::shared_ptr<Listener> rec;
    try {
        rec = std::make_shared<Listener>();
        rec->interfaceName = interfaceName;
    } catch (const std::bad_alloc&) {
        return MACDISCOVER_ERROR_MALLOC;
    }
    rec->timeout = settings_.listenTime;
    rec->devices = devices;

    Status opened = ErrorOf(rec->port.Open(interfaceName), Step::kOpen, interfaceName);
    if (!opened.ok()) {
        Log(LogStream::kErr, "\nUnable to open the interface. %s is not supported by RAW sockets\n",
            interfaceName);
        return opened;
    }

    // The port is open, so replies queue on it from now on: the probe can leave
    // before the receive thread runs without a quick reply being missed.
    uint8_t probe[l2::kMinFrameLength + l2::kVlanTagLength];
    const uint32_t probeLength =
        MACDiscoverProbeBuild(settings_, rec->port.mac().data(), probe, sizeof(probe));
    Status result = ErrorOf(rec->port.SendFrame(probe, probeLength), Step::kSend, interfaceName);
    if (!result.ok())
        Log(LogStream::kErr, "\nError sending the packet: %s\n", std::strerror(rec->port.lastErrno()));

    // A failed probe does not stop the listening: announcements need no probe.
    rec->keepAlive.store(true);
    rec->running.store(true);
    try {
        rec->thread = std::thread(Listen, rec);
    } catch (const std::system_error&) {
        rec->running.store(false);
        Log(LogStream::kErr, "Error: cannot start the receive thread on %s\n", interfaceName);
        return result.Recode(MACDISCOVER_ERROR_THREAD_CREATE);
    }
    try {
        listeners_.push_front(rec);
    } catch (const std::bad_alloc&) {
        // Cannot keep the record: stop the thread and wait for it here.
        rec->keepAlive.store(false);
        rec->thread.join();
        return result.Recode(MACDISCOVER_ERROR_MALLOC);
    }
    return result;
}

// Releases the records of finished threads; tells whether any thread still runs.
bool MacDiscovery::IsAnyThreadRunning() {
    bool any = false;
    for (auto it = listeners_.begin(); it != listeners_.end();) {
        if ((*it)->running.load()) {
            any = true;
            ++it;
            continue;
        }
        if ((*it)->thread.joinable()) (*it)->thread.join();
        it = listeners_.erase(it);
    }
    return any;
}

bool MacDiscovery::NoneRunning() const {
    return std::none_of(listeners_.begin(), listeners_.end(),
                        [](const auto& rec) { return rec->running.load(); });
}

// Waits for the receive threads of the current run, in slices of at most 100 ms on a
// steady deadline.
void MacDiscovery::WaitForResult(Devices& devices) {
    const milliseconds timeout = settings_.listenTime;
    const Deadline end = Deadline::After(timeout);
    while (IsAnyThreadRunning() && !devices.Satisfied() && !end.passed()) {
        const auto slice = std::min<SteadyClock::time_point>(end.at(), SteadyClock::now() + kSlice);
        std::unique_lock<std::mutex> lock(devices.mutex());
        // Woken by a thread that ended or a device that was added.
        devices.changed().wait_until(lock, slice, [&] { return devices.SatisfiedLocked() || NoneRunning(); });
    }
    for (auto& rec : listeners_) rec->keepAlive.store(false);
    const Deadline stopEnd = Deadline::After(std::max(timeout, kStopWaitFloor));
    while (IsAnyThreadRunning()) {
        if (stopEnd.passed()) {
            Log(LogStream::kErr, "ERROR: Reception thread still alive!\n");
            // The thread keeps its own references to its record and the device list;
            // it is let go and ends by itself.
            for (auto& rec : listeners_)
                if (rec->thread.joinable()) rec->thread.detach();
            listeners_.clear();
            break;
        }
        const auto slice = std::min<SteadyClock::time_point>(stopEnd.at(), SteadyClock::now() + kSlice);
        std::unique_lock<std::mutex> lock(devices.mutex());
        devices.changed().wait_until(lock, slice, [&] { return NoneRunning(); });
    }
}

Status MacDiscovery::Run(const CHAR* interfaceName, bool multipleDevices, t_device** device) {
    // No place for the result: do not listen for nothing.
    if (device == nullptr) return MACDISCOVER_ERROR_BAD_ARGS;
    std::shared_ptr<Devices> devices;
    try {
        devices = std::make_shared<Devices>(multipleDevices);
    } catch (const std::bad_alloc&) {
        return MACDISCOVER_ERROR_MALLOC;
    }
    Status words;  // what went wrong on the first interface that failed; the run goes on
    if (interfaceName != nullptr) {
        words = StartListener(interfaceName, devices);
        WaitForResult(*devices);
    } else {
        t_interface* interfaces = nullptr;
        InterfaceListGet(&interfaces);
        if (interfaces == nullptr) {
            Log(LogStream::kErr, "Error: Empty interface list (maybe you need to run as root)\n");
        } else {
            for (t_interface* i = interfaces; i != nullptr; i = i->next)
                if (i->name != nullptr) words.Explain(StartListener(i->name, devices));
            InterfaceListFree(interfaces);
            WaitForResult(*devices);
        }
    }
    *device = devices->Take();
    if (*device == nullptr)
        words.Explain(Reason::kNoDevice,
                      "no device answered on %s within %lld s; check the cabling and that the devices are on",
                      interfaceName != nullptr ? interfaceName : "any interface",
                      static_cast<long long>((settings_.listenTime.count() + 999) / 1000));
    return words.Recode(MACDISCOVER_ERROR_NONE);
}

}  // namespace kivo::discovery

using namespace kivo::discovery;

kivo::Status MACDiscoverGet(const CHAR* interfaceName, BOOLEAN multipleDeviceEnable, t_device** device,
                            const Settings& settings) {
    MacDiscovery discovery(settings);
    return discovery.Run(interfaceName, multipleDeviceEnable != FALSE, device);
}

INT32U MACDiscoverProbeBuild(const Settings& settings, const INT8U* srcMAC, INT8U* frame, INT32U size) {
    if (srcMAC == nullptr || frame == nullptr) return 0;
    const kivo::l2::VlanTag tag = kivo::l2::VlanTag::Make(settings.vlanId, settings.vlanClass);
    uint8_t snap[kivo::l2::kSnapHeaderLength];
    kivo::ByteWriter w(snap, sizeof(snap));
    kivo::l2::SnapWrite(w, kPidProbe);
    // The 802.3 length field gives the minimum payload the probe is padded to.
    return static_cast<INT32U>(kivo::l2::FrameBuild(frame, size, kivo::l2::kBroadcastMac.data(), srcMAC,
                                                    settings.vlanEnabled ? &tag : nullptr,
                                                    kivo::l2::kMinPayloadLength, snap, sizeof(snap)));
}

BOOLEAN MACDiscoverFrameClassify(const INT8U* frame, INT32U length, const INT8U* interfaceMAC,
                                 t_deviceType* type) {
    using namespace kivo::l2;
    if (frame == nullptr || interfaceMAC == nullptr || type == nullptr) return FALSE;
    FrameView view;
    if (!FrameParse(frame, length, view)) return FALSE;
    kivo::ByteReader r = view.payloadReader();
    SnapHeader snap;
    if (!SnapRead(r, snap) || !snap.ours()) return FALSE;
    if (snap.pid == kPidLegacyReply && std::equal(view.eth.dst.begin(), view.eth.dst.end(), interfaceMAC)) {
        *type = DEVICE_TORVIX_SCP;
        return TRUE;
    }
    if (snap.pid != kPidAnnouncement || view.eth.dst != kBroadcastMac) return FALSE;
    std::array<uint8_t, 4> magic{};
    uint16_t version = 0;
    const size_t body = r.pos();
    if (!r.seek(body + kAnnouncementMagicOffset) || !r.bytes(magic.data(), magic.size()) ||
        !r.seek(body + kAnnouncementVersionOffset) || !r.le16(version) || magic != kBootRomMagic)
        return FALSE;
    *type = version == kBootRomVersion3 ? DEVICE_TORVIX_ETH_BOOT_V3 : DEVICE_TORVIX_ETH_BOOT_V2;
    return TRUE;
}
