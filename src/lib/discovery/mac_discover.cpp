// MAC discovery: one raw socket and one receive thread per interface, a broadcast
// probe, and a shared device list filled for the listening time.
//
// Lifetime rules. Each discovery has one shared Discovery object (device list, its
// mutex, open/closed state); each interface has one shared thread record. A receive
// thread holds references to both, so whatever it touches stays valid until the
// thread itself has ended, even when the caller gave up waiting for it. The list is
// handed to the caller under the mutex, after which the discovery is closed and a
// late receive thread adds nothing.
#include "mac_discover.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <list>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <system_error>
#include <thread>
#include <vector>

#include "byte_io.h"
#include "raw_socket.h"

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// A full-size frame, with room for an 802.1Q tag put back after reception.
constexpr size_t kFrameBufferSize = 1522;
// Longest wait of a thread or the caller before it looks at its flags again.
constexpr milliseconds kSlice{100};
// Floor of the wait for receive threads to stop after being told to: a thread
// notices within one slice, so a very short listening time must not cut it off.
constexpr milliseconds kStopWaitFloor{500};

constexpr INT8U kSnapProbe[8] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x01};
constexpr INT8U kSnapLegacyReply[8] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0C, 0x02};
constexpr INT8U kSnapAnnouncement[8] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B, 0x00};
constexpr INT8U kBootRomMagic[4] = {0x2D, 0x5A, 0xD2, 0xA5};
// Destination of the probe, and the destination that marks an announcement.
constexpr INT8U ituMACAddr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr INT8U broadcastMACAddr[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// Fields examined, relative to V (4 with a tag, else 0).
constexpr size_t kLegacyMinLength = 22;        // up to the end of the SNAP header
constexpr size_t kAnnouncementMinLength = 36;  // up to the end of the boot-ROM version
constexpr size_t kMagicOffset = 28;
constexpr size_t kRomVersionOffset = 34;

// One discovery: the shared device list and whether it still accepts devices.
struct Discovery {
    std::mutex mutex;
    std::condition_variable changed;  // a device was added or a thread ended
    t_device* firstDevice = nullptr;  // guarded by mutex
    unsigned deviceCount = 0;         // guarded by mutex
    bool open = true;                 // guarded by mutex; cleared at the hand-over
    bool multipleDevices = false;     // fixed before any thread starts

    Discovery() = default;
    Discovery(const Discovery&) = delete;
    Discovery& operator=(const Discovery&) = delete;
    ~Discovery() { DeviceListFree(firstDevice); }

    // Adds a device unless the discovery is closed, the device is known or the list
    // is full. Returns true when the list now holds at least one device.
    bool add(const INT8U* deviceMAC, const CHAR* interfaceName, const INT8U* hostMAC, t_deviceType type) {
        {
            std::lock_guard<std::mutex> lock(mutex);
            if (!open) return false;
            if (DeviceListFind(firstDevice, deviceMAC, interfaceName, hostMAC, type) == nullptr &&
                deviceCount < MACDISCOVER_MAX_DEVICES) {
                t_device* before = firstDevice;
                DeviceListAdd(&firstDevice, deviceMAC, interfaceName, hostMAC, type);
                if (firstDevice != before) ++deviceCount;
            }
            if (firstDevice == nullptr) return false;
        }
        changed.notify_all();
        return true;
    }
    bool empty() {
        std::lock_guard<std::mutex> lock(mutex);
        return firstDevice == nullptr;
    }
};

// One interface being listened on.
struct s_discoverThread {
    // Raw socket. The receive thread closes it as its last step (closing a packet
    // socket waits for the network stack, so the threads do it in parallel); the
    // record closes it only when no thread was started.
    INT32S sc = -1;
    bool threadOwnsSocket = false;
    std::thread thread;
    std::atomic<bool> running{false};
    std::atomic<bool> keepAlive{false};
    std::string interfaceName;
    INT8U interfaceMAC[6] = {0, 0, 0, 0, 0, 0};
    milliseconds timeout{MACDISCOVER_DEFAULT_TIMEOUT_MS};
    std::shared_ptr<Discovery> discovery;

    s_discoverThread() = default;
    s_discoverThread(const s_discoverThread&) = delete;
    s_discoverThread& operator=(const s_discoverThread&) = delete;
    ~s_discoverThread() {
        if (!threadOwnsSocket && sc >= 0) close(sc);
    }
};
using t_discoverThread = s_discoverThread;

// Settings, and the state of the current discovery; guarded by settingsMutex.
std::mutex settingsMutex;
INT32U timeoutMs = MACDISCOVER_DEFAULT_TIMEOUT_MS;
BOOLEAN vlanEnabled = FALSE;
INT16U vlanId = 0;
INT8U vlanClass = 0;
// The last discovery whose list has not been handed out yet.
std::shared_ptr<Discovery> lastDiscovery;
bool lastFinished = false;

// Receive-thread records of the current discovery; touched by the calling thread only.
std::list<std::shared_ptr<t_discoverThread>> firstThread;

std::atomic<void (*)(void)> receiveHook{nullptr};

// Receives one frame without waiting, with its 802.1Q tag in place. Frames this host
// sent are skipped. Returns the frame length, 0 for a frame to skip, -1 when none is
// waiting.
ssize_t ReceiveFrame(int sc, INT8U* buf, size_t size) {
    kivo::RawFrameInfo info;
    ssize_t n = kivo::RawSocketRecv(sc, buf, size, MSG_DONTWAIT, &info);
    if (n < 0) return -1;
    if (info.outgoing) return 0;
    return n;
}

// Body of one receive thread: listens until the deadline, until told to stop, or,
// when only one device is wanted, until a device is found.
void ReceiveThreadFunction(std::shared_ptr<t_discoverThread> rec) {
    std::vector<INT8U> buffer;
    try {
        buffer.resize(kFrameBufferSize);
    } catch (const std::bad_alloc&) {
        std::fprintf(stderr, "Malloc error\n");
    }
    Discovery& discovery = *rec->discovery;
    const Clock::time_point deadline = Clock::now() + rec->timeout;
    bool done = buffer.empty();
    while (!done && rec->keepAlive.load()) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) break;
        auto slice = std::min<Clock::duration>(kSlice, deadline - now);
        // Round up so that a sub-millisecond remainder does not spin.
        int waitMs = static_cast<int>(std::chrono::ceil<milliseconds>(slice).count());
        struct pollfd pfd = {rec->sc, POLLIN, 0};
        int ready = poll(&pfd, 1, waitMs);
        if (ready < 0 && errno != EINTR) break;
        if (ready <= 0) continue;
        if (pfd.revents & (POLLERR | POLLNVAL)) break;
        // Drain everything that is waiting, while there is time and reason to listen.
        for (;;) {
            ssize_t n = ReceiveFrame(rec->sc, buffer.data(), buffer.size());
            if (n < 0) break;
            if (n == 0) continue;
            if (auto hook = receiveHook.load()) hook();
            t_deviceType type;
            if (!MACDiscoverFrameClassify(buffer.data(), static_cast<INT32U>(n), rec->interfaceMAC, &type))
                continue;
            bool found = discovery.add(buffer.data() + 6, rec->interfaceName.c_str(), rec->interfaceMAC, type);
            if (found && !discovery.multipleDevices) {
                done = true;
                break;
            }
            if (!rec->keepAlive.load() || Clock::now() >= deadline) break;
        }
    }
    close(rec->sc);
    {
        // Under the mutex so that the waiter cannot miss the change between its test
        // and its wait.
        std::lock_guard<std::mutex> lock(discovery.mutex);
        rec->running.store(false);
    }
    discovery.changed.notify_all();
}

void SendPacket(INT32S s, struct sockaddr_ll* socket_address, const INT8U* src_mac, const INT8U* dst_mac,
                t_macDiscoverErrorCode* result) {
    std::vector<INT8U> frame;
    try {
        frame.resize(kFrameBufferSize);
    } catch (const std::bad_alloc&) {
        *result = MACDISCOVER_ERROR_MALLOC;
        return;
    }
    INT32U len = MACDiscoverProbeBuild(src_mac, frame.data(), static_cast<INT32U>(frame.size()));
    std::memcpy(socket_address->sll_addr, dst_mac, 6);
    ssize_t sent = sendto(s, frame.data(), len, 0, reinterpret_cast<struct sockaddr*>(socket_address),
                          sizeof(*socket_address));
    if (sent != static_cast<ssize_t>(len)) {
        std::fprintf(stderr, "\nError sending the packet: %s\n", std::strerror(errno));
        *result = MACDISCOVER_ERROR_SENDTO;
        return;
    }
    *result = MACDISCOVER_ERROR_NONE;
}

// Opens the interface, starts its receive thread and sends the probe.
t_macDiscoverErrorCode CreateNewThread(const CHAR* interfaceName, const std::shared_ptr<Discovery>& discovery,
                                       milliseconds timeout) {
    std::shared_ptr<t_discoverThread> rec;
    try {
        rec = std::make_shared<t_discoverThread>();
        rec->interfaceName = interfaceName;
    } catch (const std::bad_alloc&) {
        return MACDISCOVER_ERROR_MALLOC;
    }
    rec->timeout = timeout;
    rec->discovery = discovery;

    // A name that does not fit ifr_name with its terminator would be cut short and
    // could name another interface.
    bool opened = strnlen(interfaceName, IFNAMSIZ) < IFNAMSIZ;
    struct ifreq ifr;
    int ifindex = 0;
    if (opened) {
        // Protocol 0 until bound: the socket receives nothing from other interfaces
        // in between, so no frame is credited to the wrong interface.
        rec->sc = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0);
        opened = rec->sc >= 0;
    }
    if (opened) {
        std::memset(&ifr, 0, sizeof(ifr));
        std::memcpy(ifr.ifr_name, interfaceName, std::strlen(interfaceName));
        opened = ioctl(rec->sc, SIOCGIFHWADDR, &ifr) == 0;
        if (opened) std::memcpy(rec->interfaceMAC, ifr.ifr_hwaddr.sa_data, 6);
    }
    if (opened) {
        opened = ioctl(rec->sc, SIOCGIFINDEX, &ifr) == 0;
        ifindex = ifr.ifr_ifindex;
    }
    struct sockaddr_ll addr;
    std::memset(&addr, 0, sizeof(addr));
    addr.sll_family = AF_PACKET;
    addr.sll_protocol = htons(ETH_P_ALL);
    addr.sll_ifindex = ifindex;
    if (opened) {
        opened = kivo::RawSocketEnableAuxdata(rec->sc) &&
                 bind(rec->sc, reinterpret_cast<struct sockaddr*>(&addr), sizeof(addr)) == 0;
    }
    if (!opened) {
        std::fprintf(stderr, "\nUnable to open the interface. %s is not supported by RAW sockets\n", interfaceName);
        return MACDISCOVER_ERROR_SOCKET_NOT_OPENED;  // the record closes the socket
    }

    // The socket is bound, so replies queue on it from now on: the probe can leave
    // before the receive thread runs without a quick reply being missed.
    addr.sll_halen = ETH_ALEN;
    t_macDiscoverErrorCode result;
    SendPacket(rec->sc, &addr, rec->interfaceMAC, ituMACAddr, &result);

    // A failed probe does not stop the listening: announcements need no probe.
    rec->keepAlive.store(true);
    rec->running.store(true);
    try {
        rec->threadOwnsSocket = true;
        rec->thread = std::thread(ReceiveThreadFunction, rec);
    } catch (const std::system_error&) {
        rec->threadOwnsSocket = false;
        rec->running.store(false);
        std::fprintf(stderr, "Error: cannot start the receive thread on %s\n", interfaceName);
        return MACDISCOVER_ERROR_THREAD_CREATE;
    }
    try {
        firstThread.push_front(rec);
    } catch (const std::bad_alloc&) {
        // Cannot keep the record: stop the thread and wait for it here.
        rec->keepAlive.store(false);
        rec->thread.join();
        return MACDISCOVER_ERROR_MALLOC;
    }
    return result;
}

// Releases the records of finished threads; tells whether any thread still runs.
bool IsAnyThreadRunning() {
    bool any = false;
    for (auto it = firstThread.begin(); it != firstThread.end();) {
        if ((*it)->running.load()) {
            any = true;
            ++it;
            continue;
        }
        if ((*it)->thread.joinable()) (*it)->thread.join();
        it = firstThread.erase(it);
    }
    return any;
}

void KillAllThreads() {
    for (auto& rec : firstThread) rec->keepAlive.store(false);
}

// Waits for the receive threads of the current discovery, in slices of at most
// 100 ms on a steady deadline.
void WaitForResult(Discovery& discovery, milliseconds timeout) {
    const Clock::time_point start = Clock::now();
    for (;;) {
        if (!IsAnyThreadRunning()) break;
        if (!discovery.multipleDevices && !discovery.empty()) break;
        Clock::time_point now = Clock::now();
        if (now - start >= timeout) break;
        auto slice = std::min<Clock::duration>(kSlice, start + timeout - now);
        std::unique_lock<std::mutex> lock(discovery.mutex);
        // Woken by a thread that ended or a device that was added.
        discovery.changed.wait_for(lock, slice, [&] {
            if (!discovery.multipleDevices && discovery.firstDevice != nullptr) return true;
            for (auto& rec : firstThread)
                if (rec->running.load()) return false;
            return true;
        });
    }
    KillAllThreads();
    const milliseconds stopWait = std::max(timeout, kStopWaitFloor);
    const Clock::time_point stopStart = Clock::now();
    while (IsAnyThreadRunning()) {
        Clock::time_point now = Clock::now();
        if (now - stopStart >= stopWait) {
            std::fprintf(stderr, "ERROR: Reception thread still alive!\n");
            // The thread keeps its own references to its record and the discovery;
            // it is let go and ends by itself.
            for (auto& rec : firstThread)
                if (rec->thread.joinable()) rec->thread.detach();
            firstThread.clear();
            break;
        }
        auto slice = std::min<Clock::duration>(kSlice, stopStart + stopWait - now);
        std::unique_lock<std::mutex> lock(discovery.mutex);
        discovery.changed.wait_for(lock, slice, [&] {
            for (auto& rec : firstThread)
                if (rec->running.load()) return false;
            return true;
        });
    }
}

}  // namespace

INT32U MACDiscoverProbeBuild(const INT8U* srcMAC, INT8U* frame, INT32U size) {
    if (srcMAC == nullptr || frame == nullptr) return 0;
    BOOLEAN tagged;
    INT16U tci;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        tagged = vlanEnabled;
        tci = static_cast<INT16U>((vlanClass << 13) | vlanId);
    }
    const INT32U length = MACDISCOVER_PROBE_LENGTH + (tagged ? 4 : 0);
    if (size < length) return 0;
    kivo::ByteWriter w(frame, length);
    w.bytes(ituMACAddr, 6);
    w.bytes(srcMAC, 6);
    if (tagged) {
        w.be16(ETH_P_8021Q);
        w.be16(tci);
    }
    w.be16(46);  // 802.3 length: the minimum payload
    w.bytes(kSnapProbe, sizeof(kSnapProbe));
    w.fill(0, w.remaining());
    return w.ok() ? length : 0;
}

BOOLEAN MACDiscoverFrameClassify(const INT8U* frame, INT32U length, const INT8U* interfaceMAC,
                                 t_deviceType* type) {
    if (frame == nullptr || interfaceMAC == nullptr || type == nullptr) return FALSE;
    kivo::ByteReader r(frame, length);
    INT8U dst[6];
    INT16U tpid = 0;
    if (!r.bytes(dst, 6) || !r.skip(6) || !r.be16(tpid)) return FALSE;
    const size_t v = (tpid == ETH_P_8021Q) ? 4 : 0;
    std::span<const INT8U> snap;
    if (!r.seek(14 + v) || !r.view(snap, 8)) return FALSE;
    if (std::memcmp(dst, interfaceMAC, 6) == 0 && std::memcmp(snap.data(), kSnapLegacyReply, 8) == 0 &&
        length >= kLegacyMinLength + v) {
        *type = DEVICE_TORVIX_SCP;
        return TRUE;
    }
    if (std::memcmp(dst, broadcastMACAddr, 6) != 0 || std::memcmp(snap.data(), kSnapAnnouncement, 8) != 0)
        return FALSE;
    if (length < kAnnouncementMinLength + v) return FALSE;
    std::span<const INT8U> magic;
    INT16U romVersion = 0;
    if (!r.seek(kMagicOffset + v) || !r.view(magic, 4) || !r.seek(kRomVersionOffset + v) || !r.le16(romVersion))
        return FALSE;
    if (std::memcmp(magic.data(), kBootRomMagic, 4) != 0) return FALSE;
    *type = romVersion == 3 ? DEVICE_TORVIX_ETH_BOOT_V3 : DEVICE_TORVIX_ETH_BOOT_V2;
    return TRUE;
}

t_macDiscoverErrorCode MACDiscoverVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    if (enable) {
        if (vid > 4094 || pcp > 7) return MACDISCOVER_ERROR_BAD_ARGS;
        vlanEnabled = TRUE;
        vlanId = vid;
        vlanClass = pcp;
    } else {
        vlanEnabled = FALSE;
    }
    return MACDISCOVER_ERROR_NONE;
}

t_macDiscoverErrorCode MACDiscoverTimeoutSet(INT32U timeout) {
    std::lock_guard<std::mutex> lock(settingsMutex);
    timeoutMs = timeout;
    return MACDISCOVER_ERROR_NONE;
}

void MACDiscoverReceiveHookSet(void (*hook)(void)) { receiveHook.store(hook); }

t_macDiscoverErrorCode MACDiscoverLastGet(t_device** device) {
    if (device == nullptr) return MACDISCOVER_ERROR_BAD_ARGS;
    std::shared_ptr<Discovery> discovery;
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        if (!lastFinished) {
            // No discovery has finished since the last hand-over.
            *device = nullptr;
            return MACDISCOVER_ERROR_NONE;
        }
        discovery = std::move(lastDiscovery);
        lastDiscovery.reset();
        lastFinished = false;
    }
    std::lock_guard<std::mutex> lock(discovery->mutex);
    *device = discovery->firstDevice;
    discovery->firstDevice = nullptr;
    discovery->deviceCount = 0;
    discovery->open = false;
    return MACDISCOVER_ERROR_NONE;
}

t_macDiscoverErrorCode MACDiscoverGet(CHAR* interfaceName, BOOLEAN multipleDeviceEnable, t_device** device) {
    // No place for the result: do not listen for nothing.
    if (device == nullptr) return MACDISCOVER_ERROR_BAD_ARGS;
    std::shared_ptr<Discovery> discovery;
    milliseconds timeout;
    try {
        discovery = std::make_shared<Discovery>();
    } catch (const std::bad_alloc&) {
        return MACDISCOVER_ERROR_MALLOC;
    }
    discovery->multipleDevices = multipleDeviceEnable ? true : false;
    {
        // Forget the previous discovery: its list, if any, was handed out or is
        // dropped with it.
        std::lock_guard<std::mutex> lock(settingsMutex);
        lastDiscovery = discovery;
        lastFinished = false;
        timeout = milliseconds(timeoutMs);
    }
    if (interfaceName != nullptr) {
        CreateNewThread(interfaceName, discovery, timeout);
        WaitForResult(*discovery, timeout);
    } else {
        t_interface* interfaces = nullptr;
        InterfaceListGet(&interfaces);
        if (interfaces == nullptr) {
            std::fprintf(stderr, "Error: Empty interface list (maybe you need to run as root)\n");
        } else {
            for (t_interface* i = interfaces; i != nullptr; i = i->next)
                if (i->name != nullptr) CreateNewThread(i->name, discovery, timeout);
            InterfaceListFree(interfaces);
            WaitForResult(*discovery, timeout);
        }
    }
    {
        std::lock_guard<std::mutex> lock(settingsMutex);
        if (lastDiscovery == discovery) lastFinished = true;
    }
    return MACDiscoverLastGet(device);
}
