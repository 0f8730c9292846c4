// L2 firmware server: the firmware transfer frames, the upgrade, the Ethernet boot
// and the server thread with its state, progress counters and settings.
#include "l2fwserver.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if_ether.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "byte_io.h"
#include "device.h"
#include "raw_socket.h"

namespace {

// ---- Module state -----------------------------------------------------------------------
// Written by the server thread, read by the request thread at any time (and the other
// way round for the cancellation flag and the settings): all atomics.

std::atomic<INT32S> serverState{L2FWSERVER_STATE_IDLE};
std::atomic<INT32S> serverError{L2FWSERVER_ERROR_NONE};
std::atomic<INT32U> totalBytesSent{0};
std::atomic<INT32U> totalBytes{0};
std::atomic<INT32U> totalRetransmissions{0};
std::atomic<bool> cancelUpgrade{false};
std::atomic<INT32S> testMode{L2FWSERVER_TEST_MODE_DISABLED};

std::atomic<INT32U> upgradeFlashEraseTimeout{360000};
std::atomic<INT32U> upgradeOsupTimeout{20000};
std::atomic<INT32U> upgradeRetransmissionTimeout{500};

// VLAN settings packed into one word so a frame never sees half of an update:
// bit 16 enabled, bits 13..15 priority, bits 0..11 identifier.
constexpr INT32U kVlanEnabledBit = 1u << 16;
std::atomic<INT32U> vlanSetting{0};

// Six address bytes in the low 48 bits; bit 63 marks "set" where that matters.
constexpr uint64_t kSetBit = 1ull << 63;
std::atomic<uint64_t> upgradeRomMac{0};
std::atomic<bool> upgradeRandomMac{false};
std::atomic<uint64_t> upgradeChipId{0};

// From the last boot-ROM announcement; kept across operations.
std::atomic<INT16U> rom_version{0};
std::atomic<INT16U> rom_subversion{0};
std::atomic<uint64_t> chip_id{0};  // the eight bytes at offsets 40..47, first byte lowest

// Start arguments and the server thread. Written by the starting thread only while no
// operation runs (after the previous thread has been joined), read by the thread it
// creates.
std::mutex controlMutex;
std::thread server;
std::string serverFile;
std::string serverEthLoaderFile;
std::string serverIfName;
INT32S serverTimeoutAnnouncement = 0;
INT8U serverDeviceMac[6] = {0, 0, 0, 0, 0, 0};
bool serverDeviceMacUsed = false;

const INT8U kBroadcastMac[6] = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
const INT8U kDefaultMac[6] = {0x00, 0x13, 0x9D, 0x00, 0x05, 0x00};
const INT8U kPoolMac[4] = {0x00, 0x13, 0x9D, 0x01};
const INT8U kSnapPrefix[6] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D};
const INT8U kBootRomMbr[4] = {0x2D, 0x5A, 0xD2, 0xA5};
const INT8U kFileRequestMbr[4] = {0x00, 0x00, 0x00, 0x00};
const INT8U kExpectedMagicWord[4] = {0xAA, 0x55, 0xAA, 0x55};

constexpr INT16U kLoaderFrameOlderRom = 222;
constexpr INT16U kLoaderFrameNewerRom = 990;
constexpr INT16U kControlFrameLength = 46;
constexpr int kControlFrameTries = 4;
constexpr INT32U kMaxResends = 4;

// Shortest frames (without tag) whose fields are read: an announcement up to its
// chip identifier, a data acknowledgement up to its sequence number.
constexpr size_t kMinAnnouncementLength = 48;
constexpr size_t kMinDataAckLength = 24;
constexpr size_t kMinChipIdLength = 46;
constexpr ssize_t kMinReadLength = 32;

uint64_t macToWord(const INT8U* mac) {
    uint64_t w = 0;
    for (int i = 0; i < 6; ++i) w |= static_cast<uint64_t>(mac[i]) << (8 * i);
    return w;
}
void wordToMac(uint64_t w, INT8U* mac) {
    for (int i = 0; i < 6; ++i) mac[i] = static_cast<INT8U>(w >> (8 * i));
}

bool isFinalOrIdle(INT32S state) {
    return state == L2FWSERVER_STATE_IDLE || state == L2FWSERVER_STATE_SUCCESSFUL ||
           state == L2FWSERVER_STATE_ERROR;
}

// Milliseconds, in 64 bits, from the seconds of an announcement time-out.
INT32U announcementMs(INT32S seconds) {
    if (seconds <= 0) return 0;
    uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<INT32U>(ms);
}

// ---- Descriptors and files ---------------------------------------------------------------

class Socket {
public:
    Socket() = default;
    ~Socket() { reset(); }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    bool open() {
        reset();
        fd_ = socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, htons(ETH_P_ALL));
        if (fd_ < 0) return false;
        // Tags stripped by the kernel are put back on receipt.
        kivo::RawSocketEnableAuxdata(fd_);
        // Our own frames are of no interest; not having them queued saves a wake-up
        // per frame sent (where the kernel cannot, they are skipped on receipt).
        int one = 1;
        setsockopt(fd_, SOL_PACKET, PACKET_IGNORE_OUTGOING, &one, sizeof(one));
        return true;
    }
    void reset() {
        if (fd_ >= 0) close(fd_);
        fd_ = -1;
    }
    int fd() const { return fd_; }

private:
    int fd_ = -1;
};

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Size of an open file, found by seeking to its end; the position is back at the start.
t_l2fwserverErrorCode fileSize(FILE* f, INT32U* size) {
    if (fseeko(f, 0, SEEK_END) != 0) return L2FWSERVER_ERROR_READING_FILE;
    off_t end = ftello(f);
    if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) return L2FWSERVER_ERROR_READING_FILE;
    if (fseeko(f, 0, SEEK_SET) != 0) return L2FWSERVER_ERROR_READING_FILE;
    *size = static_cast<INT32U>(end);
    return L2FWSERVER_ERROR_NONE;
}

// Index of the host interface, and the socket bound to it.
t_l2fwserverErrorCode bindToInterface(int s, const CHAR* if_name, struct sockaddr_ll* socket_address,
                                      const char* who) {
    std::memset(socket_address, 0, sizeof(*socket_address));
    socket_address->sll_family = AF_PACKET;
    socket_address->sll_protocol = htons(ETH_P_ALL);
    if (strnlen(if_name, IFNAMSIZ) >= IFNAMSIZ) return L2FWSERVER_ERROR_ETH_IF;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::memcpy(ifr.ifr_name, if_name, std::strlen(if_name));
    if (ioctl(s, SIOCGIFINDEX, &ifr) < 0) return L2FWSERVER_ERROR_ETH_IF;
    socket_address->sll_ifindex = ifr.ifr_ifindex;
    if (bind(s, reinterpret_cast<const struct sockaddr*>(socket_address), sizeof(*socket_address)) < 0) {
        std::fprintf(stderr, "%s: bind to interface %s (ifindex %d) error\n", who, if_name, ifr.ifr_ifindex);
        return L2FWSERVER_ERROR_ETH_IF;
    }
    return L2FWSERVER_ERROR_NONE;
}

// Ends an operation: the error code first, so that a reader who sees the final state
// also sees its code.
t_l2fwserverErrorCode finishOperation(t_l2fwserverErrorCode result) {
    serverError.store(result);
    serverState.store(result == L2FWSERVER_ERROR_NONE ? L2FWSERVER_STATE_SUCCESSFUL : L2FWSERVER_STATE_ERROR);
    return result;
}

void resetProgress() {
    totalBytesSent.store(0);
    totalBytes.store(0);
    totalRetransmissions.store(0);
}

// Control frame exchange: up to four sends, each waiting for its acknowledgement.
t_l2fwserverErrorCode controlExchange(int s, const struct sockaddr_ll* socket_address, const INT8U* dst_mac,
                                      const INT8U* frame, size_t length, INT8U ack_subtype) {
    t_l2fwserverErrorCode result = L2FWSERVER_ERROR_TIMEOUT;
    for (int attempt = 0; attempt < kControlFrameTries; ++attempt) {
        result = l2fw::SendPacket(s, socket_address, frame, static_cast<INT32S>(length));
        if (result != L2FWSERVER_ERROR_NONE) continue;
        result = l2fw::ReceivePacket(s, l2fw::kTypeFirmware, ack_subtype, upgradeRetransmissionTimeout.load(),
                                     dst_mac, nullptr);
        if (result == L2FWSERVER_ERROR_NONE) break;
    }
    return result;
}

// The data-frame loops of the upgrade image, the loader and the chunks share their
// shape and differ in the details below.
enum class DataKind { UpgradeFile, Loader, Chunk };

struct DataLoop {
    DataKind kind;
    INT16U frameLength;  // loader frames only
    INT32U size;         // bytes to send
    INT16U* sequence;    // numbered from *sequence on; left at the next number
};

t_l2fwserverErrorCode sendData(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                               const INT8U* dst_mac, FILE* f, const DataLoop& loop) {
    INT8U frame[l2fw::kFrameBufferSize];
    const size_t payloadOffset = loop.kind == DataKind::Loader ? l2fw::kLoaderPayloadOffset : l2fw::kFilePayloadOffset;
    const INT32U piece = loop.kind == DataKind::Loader ? static_cast<INT32U>(loop.frameLength) - 14u
                                                       : l2fw::kMaxFilePayload;
    const t_l2fwserverTestMode abortMode =
        loop.kind == DataKind::Loader ? L2FWSERVER_TEST_MODE_ABORT_ETHLOADER : L2FWSERVER_TEST_MODE_ABORT_FILE;

    totalBytes.store(loop.size);
    totalBytesSent.store(0);
    totalRetransmissions.store(0);
    INT32U sent = 0;
    INT32U retransmissions = 0;
    INT16U count = 0;
    size_t frameLength = 0;

    while (sent < loop.size) {
        if (cancelUpgrade.load()) return L2FWSERVER_ERROR_CANCELLED;
        if (retransmissions == 0) {
            std::memset(frame, 0, sizeof(frame));
            // Never more than the bytes still owed, so the transfer is exactly `size`
            // bytes even if the file grows meanwhile (and a chunk never takes bytes
            // of the next record).
            size_t want = std::min(piece, loop.size - sent);
            count = static_cast<INT16U>(std::fread(frame + payloadOffset, 1, want, f));
            if (count == 0) return L2FWSERVER_ERROR_READING_FILE;
            frameLength = loop.kind == DataKind::Loader
                              ? l2fw::FinishLoaderDataFrame(frame, src_mac, dst_mac, *loop.sequence, count,
                                                            loop.frameLength)
                              : l2fw::FinishFileDataFrame(frame, src_mac, dst_mac, *loop.sequence, count);
            if (frameLength == 0) return L2FWSERVER_ERROR_BAD_ARGS;
        }
        t_l2fwserverErrorCode r = l2fw::SendPacket(s, socket_address, frame, static_cast<INT32S>(frameLength));
        if (r != L2FWSERVER_ERROR_NONE) return r;

        INT32U timeout = upgradeRetransmissionTimeout.load();
        if (loop.kind == DataKind::UpgradeFile && retransmissions > 0) {
            if (*loop.sequence == 1)
                timeout = upgradeFlashEraseTimeout.load();
            else if (retransmissions >= 3)
                timeout = upgradeOsupTimeout.load();
        }
        if (l2fw::waitForCorrectAck(s, dst_mac, *loop.sequence, timeout)) {
            sent += count;
            totalBytesSent.store(sent);
            ++*loop.sequence;
            retransmissions = 0;
            if (testMode.load() == abortMode && sent >= loop.size / 2) return L2FWSERVER_ERROR_TEST_ABORT;
            continue;
        }
        if (loop.kind == DataKind::UpgradeFile) {
            // A frame is sent at most five times; the counter holds resends made.
            if (retransmissions >= kMaxResends) return L2FWSERVER_ERROR_TIMEOUT;
            ++retransmissions;
            totalRetransmissions.fetch_add(1);
        } else {
            // The loader and chunk loops count the unanswered fifth send as well.
            ++retransmissions;
            totalRetransmissions.fetch_add(1);
            if (retransmissions > kMaxResends) return L2FWSERVER_ERROR_TIMEOUT;
        }
    }
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace

// ==== Frame layer ============================================================================

namespace l2fw {

INT32U GetCurrentTimeInMs() {
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    uint64_t ms = static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<INT32U>(ms);
}

INT16U RomVersionGet() { return rom_version.load(); }
INT16U RomSubversionGet() { return rom_subversion.load(); }

namespace {
// Addresses, length field and SNAP header with the subtype; returns the frame length.
size_t writeHeader(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT8U subtype,
                   INT32U ethernet_data_length) {
    if (ethernet_data_length + 14u > kFrameBufferSize) return 0;
    kivo::ByteWriter w(frame, kFrameBufferSize);
    w.bytes(dst_mac, 6);
    w.bytes(src_mac, 6);
    w.be16(static_cast<INT16U>(ethernet_data_length));
    w.bytes(kSnapPrefix, sizeof(kSnapPrefix));
    w.u8(kTypeFirmware);
    w.u8(subtype);
    return 14u + ethernet_data_length;
}
}  // namespace

size_t BuildControlFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT8U subtype, INT16U length) {
    return writeHeader(frame, src_mac, dst_mac, subtype, std::max<INT32U>(length, 8));
}

size_t FinishFileDataFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT16U sequence,
                           INT16U count) {
    if (count > kMaxFilePayload) return 0;
    size_t len = writeHeader(frame, src_mac, dst_mac, SUBTYPE_DATA, std::max<INT32U>(count + 38u, 46u));
    if (len == 0) return 0;
    kivo::storeLe16(frame + 22, sequence);
    kivo::storeLe16(frame + 24, count);
    return len;
}

size_t FinishLoaderDataFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT16U sequence,
                             INT16U count, INT16U frame_length) {
    if (frame_length < kLoaderPayloadOffset - 14u || count > frame_length - (kLoaderPayloadOffset - 14u)) return 0;
    size_t len = writeHeader(frame, src_mac, dst_mac, SUBTYPE_DATA, frame_length);
    if (len == 0) return 0;
    kivo::storeLe16(frame + 22, sequence);
    kivo::storeLe16(frame + 24, count);
    return len;
}

size_t BuildInfoFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT8U subtype, const INT8U* data,
                      INT32U n) {
    if (n > kFrameBufferSize - kFilePayloadOffset) return 0;
    size_t len = writeHeader(frame, src_mac, dst_mac, subtype, std::max<INT32U>(n + 38u, 46u));
    if (len == 0) return 0;
    kivo::storeLe16(frame + 24, static_cast<INT16U>(n));
    if (n) std::memcpy(frame + kFilePayloadOffset, data, n);
    return len;
}

size_t BuildStartFrame(INT8U* frame, const INT8U* src_mac, INT8U* dst_mac, INT16U length) {
    const bool assignMac = rom_version.load() == 3 && rom_subversion.load() != 0 && length == kLoaderFrameNewerRom;
    if (!assignMac) return BuildControlFrame(frame, src_mac, dst_mac, SUBTYPE_START, length);

    INT8U romMac[6];
    uint64_t configured = upgradeRomMac.load();
    if (configured != 0) {
        wordToMac(configured, romMac);
    } else if (upgradeRandomMac.load()) {
        unsigned int seed = static_cast<unsigned int>(time(nullptr));
        int random_number = rand_r(&seed);
        std::memcpy(romMac, kPoolMac, sizeof(kPoolMac));
        romMac[4] = static_cast<INT8U>(random_number >> 8);
        romMac[5] = static_cast<INT8U>(random_number);
    } else {
        std::memcpy(romMac, kDefaultMac, 6);
    }
    size_t len = BuildControlFrame(frame, src_mac, kBroadcastMac, SUBTYPE_START, length);
    if (len == 0) return 0;
    uint64_t chip = chip_id.load();
    for (int i = 0; i < 8; ++i) frame[28 + i] = static_cast<INT8U>(chip >> (8 * i));
    std::memcpy(frame + 36, romMac, 6);
    // The device answers from, and is addressed at, its new address from now on.
    std::memcpy(dst_mac, romMac, 6);
    return len;
}

t_l2fwserverErrorCode ReceivePacket(int s, INT8U type, INT8U subtype, INT32U timeout, const INT8U* accepted_mac,
                                    std::vector<INT8U>* packet) {
    using Clock = std::chrono::steady_clock;
    const auto deadline = Clock::now() + std::chrono::milliseconds(timeout);
    // Room for the largest frame with its tag put back.
    INT8U buf[kFrameBufferSize + 4];
    const size_t minLength = subtype == SUBTYPE_ANNOUNCEMENT ? kMinAnnouncementLength
                             : subtype == SUBTYPE_DATA_ACK   ? kMinDataAckLength
                                                             : kHeaderLength;
    for (;;) {
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
        if (left < 0) left = 0;
        struct pollfd pfd = {s, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, INT_MAX)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) {
            if (ready == 0 && Clock::now() < deadline) continue;  // poll's own cap reached
            return L2FWSERVER_ERROR_TIMEOUT;
        }
        kivo::RawFrameInfo info;
        ssize_t n = kivo::RawSocketRecv(s, buf, sizeof(buf), MSG_DONTWAIT, &info);
        if (n < kMinReadLength || info.outgoing) continue;
        size_t len = static_cast<size_t>(n);
        if (buf[12] == 0x81 && buf[13] == 0x00) {
            // The tag's identifier and priority are not examined.
            std::memmove(buf + 12, buf + 16, len - 16);
            len -= 4;
        }
        if (len < minLength) continue;
        if (accepted_mac && std::memcmp(buf + 6, accepted_mac, 6) != 0) continue;
        uint64_t chipFilter = upgradeChipId.load();
        if (chipFilter & kSetBit) {
            INT8U want[6];
            wordToMac(chipFilter, want);
            if (len < kMinChipIdLength || std::memcmp(buf + 40, want, 6) != 0) continue;
        }
        if (std::memcmp(buf + 14, kSnapPrefix, sizeof(kSnapPrefix)) != 0 || buf[20] != type) continue;
        if (buf[21] != subtype) continue;
        if (packet) packet->assign(buf, buf + len);
        return L2FWSERVER_ERROR_NONE;
    }
}

t_l2fwserverErrorCode SendPacket(int s, const struct sockaddr_ll* socket_address, const void* buffer,
                                 INT32S length) {
    if (length < 14 || static_cast<size_t>(length) > kFrameBufferSize) return L2FWSERVER_ERROR_SENDTO;
    const INT8U* frame = static_cast<const INT8U*>(buffer);
    INT8U tagged[kFrameBufferSize + 4];
    size_t outLength = static_cast<size_t>(length);
    INT32U vlan = vlanSetting.load();
    if (vlan & kVlanEnabledBit) {
        std::memcpy(tagged, frame, 12);
        tagged[12] = 0x81;
        tagged[13] = 0x00;
        kivo::storeBe16(tagged + 14, static_cast<INT16U>(vlan & 0xFFFF));
        std::memcpy(tagged + 16, frame + 12, outLength - 12);
        frame = tagged;
        outLength += 4;
    }
    ssize_t r = sendto(s, frame, outLength, 0, reinterpret_cast<const struct sockaddr*>(socket_address),
                       sizeof(*socket_address));
    if (r < 0 || static_cast<size_t>(r) != outLength) return L2FWSERVER_ERROR_SENDTO;
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode waitFileRequestAnnouncement(int s, INT32S timeout, const INT8U* accepted_mac,
                                                  INT8U* mac_addr) {
    std::vector<INT8U> frame;
    t_l2fwserverErrorCode r =
        ReceivePacket(s, kTypeFirmware, SUBTYPE_ANNOUNCEMENT, announcementMs(timeout), accepted_mac, &frame);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    if (std::memcmp(frame.data() + 28, kFileRequestMbr, 4) != 0) return L2FWSERVER_ERROR_ROOM_BOOT;
    if (mac_addr) std::memcpy(mac_addr, frame.data() + 6, 6);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode waitEthLoaderAnnouncement(int s, INT32S timeout, INT8U* mac_addr, BOOLEAN* newer_boot_rom) {
    std::vector<INT8U> frame;
    t_l2fwserverErrorCode r =
        ReceivePacket(s, kTypeFirmware, SUBTYPE_ANNOUNCEMENT, announcementMs(timeout), nullptr, &frame);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    kivo::ByteReader rd(frame.data(), frame.size());
    INT8U mbr[4];
    INT16U subversion = 0;
    INT16U version = 0;
    uint64_t chip = 0;
    rd.seek(28);
    rd.bytes(mbr, 4);
    rd.le16(subversion);
    rd.le16(version);
    rd.skip(4);
    rd.le64(chip);
    if (!rd.ok()) return L2FWSERVER_ERROR_TIMEOUT;  // cannot happen: ReceivePacket checked the length
    if (std::memcmp(mbr, kBootRomMbr, 4) != 0) return L2FWSERVER_ERROR_MAGIC_WORD;
    rom_version.store(version);
    rom_subversion.store(subversion);
    chip_id.store(chip);
    if (version == 1 || version == 2) {
        if (mac_addr) std::memcpy(mac_addr, frame.data() + 6, 6);
        if (newer_boot_rom) *newer_boot_rom = FALSE;
        return L2FWSERVER_ERROR_NONE;
    }
    if (version == 3 && newer_boot_rom) {
        *newer_boot_rom = TRUE;
        if (mac_addr) std::memcpy(mac_addr, frame.data() + 6, 6);
        return L2FWSERVER_ERROR_NONE;
    }
    return L2FWSERVER_ERROR_ROM_VERSION;
}

t_l2fwserverErrorCode sendStartFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                     INT8U* dst_mac, INT16U length) {
    INT8U frame[kFrameBufferSize] = {};
    size_t len = BuildStartFrame(frame, src_mac, dst_mac, length);
    if (len == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return controlExchange(s, socket_address, dst_mac, frame, len, SUBTYPE_START_ACK);
}

t_l2fwserverErrorCode sendEndFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                   const INT8U* dst_mac, INT16U length) {
    INT8U frame[kFrameBufferSize] = {};
    size_t len = BuildControlFrame(frame, src_mac, dst_mac, SUBTYPE_END, length);
    if (len == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return controlExchange(s, socket_address, dst_mac, frame, len, SUBTYPE_END_ACK);
}

t_l2fwserverErrorCode sendChunkInfoFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                         const INT8U* dst_mac, const INT8U* chunk_info_data,
                                         INT32U chunk_info_length) {
    INT8U frame[kFrameBufferSize] = {};
    size_t len = BuildInfoFrame(frame, src_mac, dst_mac, SUBTYPE_CHUNK_INFO, chunk_info_data, chunk_info_length);
    if (len == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return controlExchange(s, socket_address, dst_mac, frame, len, SUBTYPE_CHUNK_INFO_ACK);
}

t_l2fwserverErrorCode sendEntryPointFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                          const INT8U* dst_mac, const INT8U* entry_point_data,
                                          INT32U entry_point_length) {
    INT8U frame[kFrameBufferSize] = {};
    size_t len = BuildInfoFrame(frame, src_mac, dst_mac, SUBTYPE_ENTRY_POINT, entry_point_data, entry_point_length);
    if (len == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return controlExchange(s, socket_address, dst_mac, frame, len, SUBTYPE_ENTRY_POINT_ACK);
}

bool waitForCorrectAck(int s, const INT8U* src_mac, INT16U sequence, INT32U timeout) {
    const INT32U start = GetCurrentTimeInMs();
    for (;;) {
        std::vector<INT8U> frame;
        if (ReceivePacket(s, kTypeFirmware, SUBTYPE_DATA_ACK, timeout, src_mac, &frame) != L2FWSERVER_ERROR_NONE)
            return false;
        if (kivo::loadLe16(frame.data() + 22) == sequence) return true;
        // A stale acknowledgement: keep waiting while the time limit has not passed;
        // each receive again allows the full limit.
        if (static_cast<INT32U>(GetCurrentTimeInMs() - start) >= timeout) return false;
    }
}

t_l2fwserverErrorCode sendFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                               const INT8U* dst_mac, FILE* f) {
    INT32U size = 0;
    t_l2fwserverErrorCode r = fileSize(f, &size);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    INT16U sequence = 1;
    return sendData(s, socket_address, src_mac, dst_mac, f, DataLoop{DataKind::UpgradeFile, 0, size, &sequence});
}

t_l2fwserverErrorCode sendEthLoaderFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                        const INT8U* dst_mac, FILE* f, INT16U frame_length) {
    if (frame_length <= kLoaderPayloadOffset - 14u || frame_length + 14u > kFrameBufferSize)
        return L2FWSERVER_ERROR_BAD_ARGS;
    INT32U size = 0;
    t_l2fwserverErrorCode r = fileSize(f, &size);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    INT16U sequence = 1;
    return sendData(s, socket_address, src_mac, dst_mac, f,
                    DataLoop{DataKind::Loader, frame_length, size, &sequence});
}

t_l2fwserverErrorCode sendChunk(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                const INT8U* dst_mac, FILE* f, INT32U chunk_size, INT16U* sequence) {
    return sendData(s, socket_address, src_mac, dst_mac, f, DataLoop{DataKind::Chunk, 0, chunk_size, sequence});
}

t_l2fwserverErrorCode sendChunksFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                     const INT8U* dst_mac, FILE* f) {
    if (std::fseek(f, 68, SEEK_SET) != 0) return L2FWSERVER_ERROR_READING_FILE;
    INT8U word[4];
    if (std::fread(word, 1, 4, f) != 4 || std::memcmp(word, kExpectedMagicWord, 4) != 0)
        return L2FWSERVER_ERROR_MAGIC_WORD;
    if (std::fseek(f, 8, SEEK_CUR) != 0) return L2FWSERVER_ERROR_READING_FILE;

    INT16U sequence = 1;
    for (;;) {
        if (std::fread(word, 1, 4, f) != 4) return L2FWSERVER_ERROR_READING_FILE;
        if (kivo::loadLe32(word) == 0) break;  // terminator
        // Bits 0..30: the record's length in 32-bit words, its two header words
        // included. Computed in 64 bits: a count below 2 would wrap to about 4 GiB.
        uint64_t words = kivo::loadLe32(word) & 0x7FFFFFFFu;
        if (words < 2) return L2FWSERVER_ERROR_READING_FILE;
        uint64_t chunk_size = (words - 2) * 4;
        if (chunk_size > UINT32_MAX) return L2FWSERVER_ERROR_READING_FILE;
        INT8U offset_array[4];
        if (std::fread(offset_array, 1, 4, f) != 4) return L2FWSERVER_ERROR_READING_FILE;
        t_l2fwserverErrorCode r = sendChunkInfoFrame(s, socket_address, src_mac, dst_mac, offset_array, 4);
        if (r != L2FWSERVER_ERROR_NONE) return r;
        r = sendChunk(s, socket_address, src_mac, dst_mac, f, static_cast<INT32U>(chunk_size), &sequence);
        if (r != L2FWSERVER_ERROR_NONE) return r;
    }
    INT8U entry_point[4];
    if (std::fread(entry_point, 1, 4, f) != 4) return L2FWSERVER_ERROR_READING_FILE;
    return sendEntryPointFrame(s, socket_address, src_mac, dst_mac, entry_point, 4);
}

t_l2fwserverErrorCode OpenFirmwareFile(const CHAR* path, FILE** f) {
    *f = nullptr;
    if (path == nullptr) return L2FWSERVER_ERROR_OPENING_FILE;
    // Non-blocking so that naming a FIFO cannot hang the open; only regular files
    // are sent (a device node or FIFO would put arbitrary bytes on the wire).
    int fd = open(path, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) return L2FWSERVER_ERROR_OPENING_FILE;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return L2FWSERVER_ERROR_OPENING_FILE;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags >= 0) fcntl(fd, F_SETFL, flags & ~O_NONBLOCK);
    *f = fdopen(fd, "rb");
    if (*f == nullptr) {
        close(fd);
        return L2FWSERVER_ERROR_OPENING_FILE;
    }
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace l2fw

// ==== Upgrade and Ethernet boot =============================================================

t_l2fwserverErrorCode L2FwServerUpgradeProcess(const CHAR* file, const CHAR* if_name, INT32S timeout_announcement,
                                               const INT8U* device_mac) {
    serverState.store(L2FWSERVER_STATE_WAITING);
    cancelUpgrade.store(false);
    INT8U allowed_mac[6] = {};
    const bool use_allowed_mac = device_mac != nullptr;
    if (use_allowed_mac) std::memcpy(allowed_mac, device_mac, 6);
    if (file == nullptr || if_name == nullptr) return finishOperation(L2FWSERVER_ERROR_BAD_ARGS);

    FILE* raw = nullptr;
    t_l2fwserverErrorCode result = l2fw::OpenFirmwareFile(file, &raw);
    FilePtr f(raw);
    Socket sock;
    INT8U src_mac[6] = {};
    INT8U dst_mac[6] = {};
    struct sockaddr_ll socket_address;
    std::memset(&socket_address, 0, sizeof(socket_address));

    if (result == L2FWSERVER_ERROR_NONE && !sock.open()) result = L2FWSERVER_ERROR_SOCKET;
    if (result == L2FWSERVER_ERROR_NONE && MacAddressGet(if_name, src_mac) != 0) result = L2FWSERVER_ERROR_ETH_IF_MAC;
    // The socket is not bound yet: the request is taken from whichever interface.
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::waitFileRequestAnnouncement(sock.fd(), timeout_announcement,
                                                   use_allowed_mac ? allowed_mac : nullptr, dst_mac);
    if (result == L2FWSERVER_ERROR_NONE)
        result = bindToInterface(sock.fd(), if_name, &socket_address, "L2FwServerUpgradeProcess");
    if (result == L2FWSERVER_ERROR_NONE) {
        serverState.store(L2FWSERVER_STATE_UPLOADING);
        result = l2fw::sendStartFrame(sock.fd(), &socket_address, src_mac, dst_mac, kControlFrameLength);
    }
    if (result == L2FWSERVER_ERROR_NONE) result = l2fw::sendFile(sock.fd(), &socket_address, src_mac, dst_mac, f.get());
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::sendEndFrame(sock.fd(), &socket_address, src_mac, dst_mac, kControlFrameLength);

    f.reset();
    sock.reset();
    return finishOperation(result);
}

t_l2fwserverErrorCode L2FwServerEthBootProcess(const CHAR* eth_loader_file, const CHAR* fw_file, const CHAR* if_name,
                                               INT32S timeout_announcement) {
    serverState.store(L2FWSERVER_STATE_WAITING);
    cancelUpgrade.store(false);
    if (eth_loader_file == nullptr || fw_file == nullptr || if_name == nullptr)
        return finishOperation(L2FWSERVER_ERROR_BAD_ARGS);

    FILE* raw = nullptr;
    t_l2fwserverErrorCode result = l2fw::OpenFirmwareFile(eth_loader_file, &raw);
    FilePtr loader(raw);
    FilePtr firmware;
    if (result == L2FWSERVER_ERROR_NONE) {
        result = l2fw::OpenFirmwareFile(fw_file, &raw);
        firmware.reset(raw);
    }
    Socket sock;
    INT8U src_mac[6] = {};
    INT8U dst_mac[6] = {};
    BOOLEAN newer_boot_rom = FALSE;
    struct sockaddr_ll socket_address;
    std::memset(&socket_address, 0, sizeof(socket_address));

    if (result == L2FWSERVER_ERROR_NONE && !sock.open()) result = L2FWSERVER_ERROR_SOCKET;
    if (result == L2FWSERVER_ERROR_NONE && MacAddressGet(if_name, src_mac) != 0) result = L2FWSERVER_ERROR_ETH_IF_MAC;
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::waitEthLoaderAnnouncement(sock.fd(), timeout_announcement, dst_mac, &newer_boot_rom);
    if (result == L2FWSERVER_ERROR_NONE)
        result = bindToInterface(sock.fd(), if_name, &socket_address, "L2FwServerEthBootProcess");

    // Loader phase.
    const INT16U ethboot_frame_len = newer_boot_rom ? kLoaderFrameNewerRom : kLoaderFrameOlderRom;
    if (result == L2FWSERVER_ERROR_NONE) {
        resetProgress();
        serverState.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_LOADER);
        result = l2fw::sendStartFrame(sock.fd(), &socket_address, src_mac, dst_mac, ethboot_frame_len);
    }
    if (result == L2FWSERVER_ERROR_NONE) {
        // From here on a fresh, unbound socket, sending to the device's (possibly
        // newly assigned) address on the same interface.
        if (!sock.open()) {
            result = L2FWSERVER_ERROR_SOCKET;
        } else {
            std::memcpy(socket_address.sll_addr, dst_mac, 6);
            socket_address.sll_addr[6] = 0;
            socket_address.sll_addr[7] = 0;
        }
    }
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::sendEthLoaderFile(sock.fd(), &socket_address, src_mac, dst_mac, loader.get(), ethboot_frame_len);
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::sendEndFrame(sock.fd(), &socket_address, src_mac, dst_mac, ethboot_frame_len);
    // The chip filter served the loader phase only.
    L2FwServerEthBootChipIdSet(nullptr);

    // Firmware phase: the running loader asks for its file.
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::waitFileRequestAnnouncement(sock.fd(), timeout_announcement, dst_mac, nullptr);
    if (result == L2FWSERVER_ERROR_NONE) {
        resetProgress();
        serverState.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_FW);
        result = l2fw::sendStartFrame(sock.fd(), &socket_address, src_mac, dst_mac, kControlFrameLength);
    }
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::sendChunksFile(sock.fd(), &socket_address, src_mac, dst_mac, firmware.get());
    if (result == L2FWSERVER_ERROR_NONE)
        result = l2fw::sendEndFrame(sock.fd(), &socket_address, src_mac, dst_mac, kControlFrameLength);

    loader.reset();
    firmware.reset();
    sock.reset();
    return finishOperation(result);
}

// ==== Control and status ====================================================================

namespace {

// The operations report through the module state; an allocation that fails on the
// way (a received frame is handed over in a vector) ends the operation, not the process.
void ServerUpgradeTask() {
    try {
        L2FwServerUpgradeProcess(serverFile.c_str(), serverIfName.c_str(), serverTimeoutAnnouncement,
                                 serverDeviceMacUsed ? serverDeviceMac : nullptr);
    } catch (const std::bad_alloc&) {
        finishOperation(L2FWSERVER_ERROR_MALLOC);
    }
}

void ServerEthBootTask() {
    try {
        L2FwServerEthBootProcess(serverEthLoaderFile.c_str(), serverFile.c_str(), serverIfName.c_str(),
                                 serverTimeoutAnnouncement);
    } catch (const std::bad_alloc&) {
        L2FwServerEthBootChipIdSet(nullptr);
        finishOperation(L2FWSERVER_ERROR_MALLOC);
    }
}

bool missing(const CHAR* s) { return s == nullptr || s[0] == '\0'; }

// Common part of both starts; the caller holds controlMutex, has reclaimed the
// previous thread and stored the start arguments.
t_l2fwserverErrorCode launch(void (*task)()) {
    serverState.store(L2FWSERVER_STATE_WAITING);
    serverError.store(L2FWSERVER_ERROR_NONE);
    resetProgress();
    try {
        server = std::thread(task);
    } catch (...) {
        serverError.store(L2FWSERVER_ERROR_THREAD);
        serverState.store(L2FWSERVER_STATE_ERROR);
        return L2FWSERVER_ERROR_THREAD;
    }
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace

t_l2fwserverErrorCode L2FwServerUpgradeStart(const CHAR* file, const CHAR* if_name, INT32S timeout_announcement,
                                             const INT8U* mac) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!isFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (missing(file) || missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    std::string fileCopy;
    std::string ifCopy;
    try {
        fileCopy = file;
        ifCopy = if_name;
    } catch (const std::bad_alloc&) {
        return L2FWSERVER_ERROR_MALLOC;
    }
    // A finished thread nobody waited for is reclaimed before its arguments change.
    if (server.joinable()) server.join();
    serverFile.swap(fileCopy);
    serverIfName.swap(ifCopy);
    serverTimeoutAnnouncement = timeout_announcement;
    serverDeviceMacUsed = mac != nullptr;
    if (mac) std::memcpy(serverDeviceMac, mac, 6);
    return launch(ServerUpgradeTask);
}

t_l2fwserverErrorCode L2FwServerEthBootStart(const CHAR* eth_loader_file, const CHAR* fw_file, const CHAR* if_name,
                                             INT32S timeout_announcement) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!isFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (missing(eth_loader_file) || missing(fw_file) || missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    std::string loaderCopy;
    std::string fileCopy;
    std::string ifCopy;
    try {
        loaderCopy = eth_loader_file;
        fileCopy = fw_file;
        ifCopy = if_name;
    } catch (const std::bad_alloc&) {
        return L2FWSERVER_ERROR_MALLOC;
    }
    if (server.joinable()) server.join();
    serverEthLoaderFile.swap(loaderCopy);
    serverFile.swap(fileCopy);
    serverIfName.swap(ifCopy);
    serverTimeoutAnnouncement = timeout_announcement;
    serverDeviceMacUsed = false;
    return launch(ServerEthBootTask);
}

t_l2fwserverErrorCode L2FwServerWait(void) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!server.joinable()) return L2FWSERVER_ERROR_NONE;
    if (server.get_id() == std::this_thread::get_id()) return L2FWSERVER_ERROR_THREAD;
    try {
        server.join();
    } catch (...) {
        return L2FWSERVER_ERROR_THREAD;
    }
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode L2FwServerStop(void) {
    cancelUpgrade.store(true);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverState L2FwServerStateGet(void) { return static_cast<t_l2fwserverState>(serverState.load()); }
INT32U L2FwServerUploadedBytesGet(void) { return totalBytesSent.load(); }
INT32U L2FwServerTotalBytesGet(void) { return totalBytes.load(); }
INT32U L2FwServerRetransmissionsGet(void) { return totalRetransmissions.load(); }
t_l2fwserverErrorCode L2FwServerErrorGet(void) { return static_cast<t_l2fwserverErrorCode>(serverError.load()); }
INT32U L2FwServerOperationElapsedTimeGet(void) { return 0; }

void L2FwServerUpgradeFlashEraseTimeoutSet(INT32S t) {
    upgradeFlashEraseTimeout.store(static_cast<INT32U>(t) * 1000u);
}
void L2FwServerUpgradeOsupTimeoutSet(INT32S t) { upgradeOsupTimeout.store(static_cast<INT32U>(t) * 1000u); }
void L2FwServerUpgradeRetransmissionTimeoutSet(INT32S t) { upgradeRetransmissionTimeout.store(static_cast<INT32U>(t)); }

void L2FwServerEthBootChipIdSet(const INT8U* chip_id_bytes) {
    upgradeChipId.store(chip_id_bytes ? (macToWord(chip_id_bytes) | kSetBit) : 0);
}

void L2FwServerEthBootRomMACSet(const INT8U* mac) {
    if (mac) upgradeRomMac.store(macToWord(mac));
}

void L2FwServerEthBootRandomMACSet(void) { upgradeRandomMac.store(true); }

t_l2fwserverErrorCode L2FwServerTestModeSet(t_l2fwserverTestMode n) {
    if (static_cast<INT32U>(n) > L2FWSERVER_TEST_MODE_ABORT_ETHLOADER) return L2FWSERVER_ERROR_BAD_ARGS;
    testMode.store(n);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode L2FwServerVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp) {
    if (!enable) {
        vlanSetting.fetch_and(~kVlanEnabledBit);
        return L2FWSERVER_ERROR_NONE;
    }
    if (vid > 4094 || pcp > 7) return L2FWSERVER_ERROR_BAD_ARGS;
    vlanSetting.store(kVlanEnabledBit | (static_cast<INT32U>(pcp) << 13) | vid);
    return L2FWSERVER_ERROR_NONE;
}
