// L2 firmware server: the firmware transfer frames, the upgrade, the Ethernet boot
// and the server thread with its state, progress counters and settings.
#include "l2fwserver.h"

#include <fcntl.h>
#include <grp.h>
#include <net/if.h>
#include <poll.h>
#include <pwd.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <thread>

#include "byte_io.h"
#include "clock.h"
#include "failpoint.h"
#include "log.h"
#include "requester_file.h"
#include "unique_fd.h"

namespace kivo::fw {
namespace {

// ---------------------------------------------------------------------------
// Module state
//
// Written by the server thread, read by the request thread at any time (and the other
// way round for the cancellation flag and the settings): all atomics.

std::atomic<INT32S> serverState{L2FWSERVER_STATE_IDLE};
std::atomic<INT32S> serverError{L2FWSERVER_ERROR_NONE};
std::atomic<uint32_t> totalBytesSent{0};
std::atomic<uint32_t> totalBytes{0};
std::atomic<uint32_t> totalRetransmissions{0};
std::atomic<INT32S> testMode{L2FWSERVER_TEST_MODE_DISABLED};

std::atomic<uint32_t> upgradeFlashEraseTimeout{360000};
std::atomic<uint32_t> upgradeOsupTimeout{20000};
std::atomic<uint32_t> upgradeRetransmissionTimeout{500};

// The VLAN setting in one word so that a frame never sees half of an update: bit 16
// enabled, bits 0..15 the tag's control information (priority and identifier).
constexpr uint32_t kVlanEnabledBit = 1u << 16;
std::atomic<uint32_t> vlanSetting{0};

// Six address bytes in the low 48 bits; bit 63 marks "set" where that matters.
constexpr uint64_t kSetBit = 1ull << 63;
std::atomic<uint64_t> upgradeRomMac{0};
std::atomic<bool> upgradeRandomMac{false};
std::atomic<uint64_t> upgradeChipId{0};

// From the last boot-ROM announcement; kept across operations.
std::atomic<uint16_t> romVersion{0};
std::atomic<uint16_t> romSubversion{0};
std::atomic<uint64_t> chipId{0};  // the announcement's eight chip bytes, first byte lowest

// Start arguments and the server thread. Written by the starting thread only while no
// operation runs (after the previous thread has been joined), read by the thread it
// creates.
std::mutex controlMutex;
std::thread server;
std::string serverFile;
std::string serverEthLoaderFile;
std::string serverIfName;
INT32S serverTimeoutAnnouncement = 0;
l2::Mac serverDeviceMac{};
bool serverDeviceMacUsed = false;

// Readable from a stop request until the next start: the wake descriptor of every wait
// of a transfer. Made once; a stop never takes a lock, so that it cannot wait for a join.
int StopFd() {
    static const UniqueFd fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    return fd.get();
}

// Forgets the stops made while nothing ran.
void ClearStop() {
    eventfd_t value;
    eventfd_read(StopFd(), &value);
}

// Why the last operation failed; written where an operation ends, read by anyone.
std::mutex failureMutex;
Failure lastFailure;

// What the server thread is sending, for the failure texts ("firmware file /x.bin").
thread_local const char* transferFile = nullptr;

// Boot ROMs are given this address unless one is configured or drawn from the pool
// 00:13:9D:01:xx:xx.
constexpr l2::Mac kDefaultRomMac = {0x00, 0x13, 0x9D, 0x00, 0x05, 0x00};
constexpr std::array<uint8_t, 4> kPoolMacPrefix = {0x00, 0x13, 0x9D, 0x01};
// Running firmware (and a running loader) announce with this word where boot ROMs put
// their magic.
constexpr std::array<uint8_t, 4> kFileRequestMagic = {0x00, 0x00, 0x00, 0x00};

constexpr uint16_t kLoaderFrameOlderRom = 222;
constexpr uint16_t kLoaderFrameNewerRom = 990;
constexpr uint16_t kControlFrameLength = 46;
constexpr int kControlFrameTries = 4;
constexpr uint32_t kMaxResends = 4;

// Body offsets of the start frame that assigns an address and of announcements. Devices
// in the boot ROM or its loader repeat their chip identifier at kChipIdOffset in every
// frame, which is what the chip filter compares (its first six bytes).
constexpr size_t kStartChipOffset = 14;
constexpr size_t kStartMacOffset = 22;
constexpr size_t kAnnouncementMagicOffset = 14;  // then subversion and version, LE16 each
constexpr size_t kChipIdOffset = 26;
constexpr size_t kChipIdLength = 8;
constexpr size_t kChipFilterLength = 6;
// A read shorter than this (tag included) is no firmware frame.
constexpr size_t kMinReadLength = 32;

// The chunked firmware file: a header, the magic word, eight more bytes, the records.
constexpr long kChunkFileMagicOffset = 68;
constexpr long kChunkFileRecordsGap = 8;
constexpr std::array<uint8_t, 4> kChunkFileMagic = {0xAA, 0x55, 0xAA, 0x55};

uint64_t MacToWord(const uint8_t* mac) {
    uint64_t w = 0;
    for (size_t i = 0; i < l2::kMacLength; ++i) w |= static_cast<uint64_t>(mac[i]) << (8 * i);
    return w;
}
void WordToMac(uint64_t w, uint8_t* mac) {
    for (size_t i = 0; i < l2::kMacLength; ++i) mac[i] = static_cast<uint8_t>(w >> (8 * i));
}

bool IsFinalOrIdle(INT32S state) {
    return state == L2FWSERVER_STATE_IDLE || state == L2FWSERVER_STATE_SUCCESSFUL ||
           state == L2FWSERVER_STATE_ERROR;
}

// Milliseconds, in 64 bits, from the seconds of an announcement time-out.
uint32_t AnnouncementMs(INT32S seconds) {
    if (seconds <= 0) return 0;
    const uint64_t ms = static_cast<uint64_t>(seconds) * 1000u;
    return ms > UINT32_MAX ? UINT32_MAX : static_cast<uint32_t>(ms);
}

// The SNAP protocol id of a firmware frame: the type, then the subtype.
uint16_t Pid(uint8_t subtype) {
    return static_cast<uint16_t>(kTypeFirmware << 8 | subtype);
}

// The port's outcome as the server's error code.
t_l2fwserverErrorCode ErrorOf(l2::PortStatus status) {
    switch (status) {
        case l2::PortStatus::kOk:
            return L2FWSERVER_ERROR_NONE;
        case l2::PortStatus::kTimeout:
            return L2FWSERVER_ERROR_TIMEOUT;
        case l2::PortStatus::kWoken:
            return L2FWSERVER_ERROR_CANCELLED;
        // An interface name that names nothing usable: reported as its address being
        // unreadable, as it was before the port looked the interface up.
        case l2::PortStatus::kBadArgs:
        case l2::PortStatus::kNoInterface:
            return L2FWSERVER_ERROR_ETH_IF_MAC;
        case l2::PortStatus::kInterfaceDown:
            return L2FWSERVER_ERROR_ETH_IF_INACTIVE;
        case l2::PortStatus::kPermission:
        case l2::PortStatus::kSocket:
        case l2::PortStatus::kClosed:
            return L2FWSERVER_ERROR_SOCKET;
        case l2::PortStatus::kTooLong:
        case l2::PortStatus::kSend:
            return L2FWSERVER_ERROR_SENDTO;
        case l2::PortStatus::kReceive:
            return L2FWSERVER_ERROR_RECVFROM;
    }
    return L2FWSERVER_ERROR_SOCKET;
}

// ---------------------------------------------------------------------------
// Failure texts

Failure MakeFailure(Reason reason, const char* format, ...) __attribute__((format(printf, 2, 3)));
Failure MakeFailure(Reason reason, const char* format, ...) {
    char text[512];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof(text), format, args);
    va_end(args);
    Failure f;
    f.reason = reason;
    f.text = text;
    return f;
}

const char* TransferFile() {
    return transferFile != nullptr ? transferFile : "the file";
}

// Who the service reads files as: its user and group names (numbers when they have
// none). A file it cannot read is almost always one its user may not open, and access is
// to be given to this user, not to the person who asked: the packaged service runs as its
// own system user.
struct ServiceIdentity {
    std::string user;
    std::string group;
};
ServiceIdentity ServiceIdentityGet() {
    std::array<char, 4096> buf{};
    ServiceIdentity id{std::to_string(geteuid()), std::to_string(getegid())};
    passwd pw{};
    passwd* pwp = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &pwp) == 0 && pwp != nullptr) id.user = pw.pw_name;
    group gr{};
    group* grp = nullptr;
    if (getgrgid_r(getegid(), &gr, buf.data(), buf.size(), &grp) == 0 && grp != nullptr)
        id.group = gr.gr_name;
    return id;
}

std::string MacText(const uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

// Records what went wrong with the interface, in the words of its port's status.
void RecordPortFailure(l2::PortStatus status, const std::string& ifName) {
    const char* name = ifName.c_str();
    switch (status) {
        case l2::PortStatus::kBadArgs:
        case l2::PortStatus::kNoInterface:
            FailureRecord(Reason::kNoInterface, "no network interface named \"%s\"; check the name (ip link)",
                          name);
            break;
        case l2::PortStatus::kInterfaceDown:
            FailureRecord(Reason::kInterfaceDown,
                          "interface %s is down; bring it up (ip link set %s up) and start again", name,
                          name);
            break;
        case l2::PortStatus::kPermission:
            FailureRecord(
                Reason::kNoPermission,
                "no permission to open a raw socket on %s; the service needs the CAP_NET_RAW capability",
                name);
            break;
        case l2::PortStatus::kSocket:
        case l2::PortStatus::kClosed:
            FailureRecord(Reason::kInternal,
                          "could not open a raw socket on %s; check the interface and start again", name);
            break;
        case l2::PortStatus::kTooLong:
            FailureRecord(Reason::kInternal,
                          "a firmware frame does not fit the MTU of %s; raise the MTU to 1500", name);
            break;
        case l2::PortStatus::kSend:
        case l2::PortStatus::kReceive:
            FailureRecord(Reason::kInternal, "%s on %s failed; check the interface and start again",
                          status == l2::PortStatus::kSend ? "sending" : "receiving", name);
            break;
        case l2::PortStatus::kOk:
        case l2::PortStatus::kTimeout:
        case l2::PortStatus::kWoken:
            break;
    }
}

// A failure nothing recorded in more words.
Failure GenericFailure(t_l2fwserverErrorCode code) {
    Reason reason = Reason::kInternal;
    switch (code) {
        case L2FWSERVER_ERROR_TIMEOUT:
            reason = Reason::kNoAnswer;
            break;
        case L2FWSERVER_ERROR_CANCELLED:
        case L2FWSERVER_ERROR_TEST_ABORT:
            reason = Reason::kCancelled;
            break;
        case L2FWSERVER_ERROR_ETH_IF:
        case L2FWSERVER_ERROR_ETH_IF_MAC:
            reason = Reason::kNoInterface;
            break;
        case L2FWSERVER_ERROR_ETH_IF_INACTIVE:
            reason = Reason::kInterfaceDown;
            break;
        case L2FWSERVER_ERROR_MAGIC_WORD:
            reason = Reason::kFileBadMagic;
            break;
        case L2FWSERVER_ERROR_OPENING_FILE:
        case L2FWSERVER_ERROR_READING_FILE:
            reason = Reason::kFileUnreadable;
            break;
        case L2FWSERVER_ERROR_ROOM_BOOT:
        case L2FWSERVER_ERROR_ROM_VERSION:
            reason = Reason::kDeviceRefused;
            break;
        default:
            break;
    }
    return MakeFailure(reason, "firmware transfer failed (error %d); check the device and start again",
                       static_cast<int>(code));
}

void SetLastFailure(Failure failure) {
    std::lock_guard<std::mutex> lock(failureMutex);
    lastFailure = std::move(failure);
}

// Opens the port of an operation; `who` names the operation in the line a socket that
// cannot be bound leaves.
t_l2fwserverErrorCode OpenPort(l2::Port& port, const CHAR* ifName, const char* who) {
    const l2::PortStatus status = port.Open(ifName);
    if (status == l2::PortStatus::kSocket)
        Log(LogStream::kErr, "%s: bind to interface %s (ifindex %d) error\n", who, ifName,
            static_cast<int>(if_nametoindex(ifName)));
    RecordPortFailure(status, ifName);
    return ErrorOf(status);
}

// ---------------------------------------------------------------------------
// Files

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Size of an open file, found by seeking to its end; the position is back at the start.
t_l2fwserverErrorCode FileSize(FILE* f, uint32_t* size) {
    if (fseeko(f, 0, SEEK_END) != 0) return L2FWSERVER_ERROR_READING_FILE;
    const off_t end = ftello(f);
    if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) return L2FWSERVER_ERROR_READING_FILE;
    if (fseeko(f, 0, SEEK_SET) != 0) return L2FWSERVER_ERROR_READING_FILE;
    *size = static_cast<uint32_t>(end);
    return L2FWSERVER_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Operation state

// Ends an operation: the failure and the error code first, so that a reader who sees
// the final state also sees them. The failure is the one recorded on this thread.
t_l2fwserverErrorCode FinishOperation(t_l2fwserverErrorCode result) {
    Failure failure;
    if (result != L2FWSERVER_ERROR_NONE) {
        failure = FailurePeek();
        if (failure.empty()) failure = GenericFailure(result);
    }
    SetLastFailure(std::move(failure));
    serverError.store(result);
    serverState.store(result == L2FWSERVER_ERROR_NONE ? L2FWSERVER_STATE_SUCCESSFUL : L2FWSERVER_STATE_ERROR);
    return result;
}

void ResetProgress() {
    totalBytesSent.store(0);
    totalBytes.store(0);
    totalRetransmissions.store(0);
}

// ---------------------------------------------------------------------------
// Exchanges

// Control frame exchange: up to four sends, each waiting for its acknowledgement.
t_l2fwserverErrorCode ControlExchange(const Link& link, const uint8_t* dst, const uint8_t* frame,
                                      size_t length, uint8_t ackSubtype) {
    t_l2fwserverErrorCode result = L2FWSERVER_ERROR_TIMEOUT;
    for (int attempt = 0; attempt < kControlFrameTries; ++attempt) {
        result = SendPacket(link, frame, length);
        if (result != L2FWSERVER_ERROR_NONE) continue;
        result = ReceivePacket(link, ackSubtype, upgradeRetransmissionTimeout.load(), dst);
        if (result == L2FWSERVER_ERROR_NONE || result == L2FWSERVER_ERROR_CANCELLED) break;
    }
    const char* frameName = ackSubtype == kSubtypeStartAck       ? "start"
                            : ackSubtype == kSubtypeEndAck       ? "end"
                            : ackSubtype == kSubtypeChunkInfoAck ? "chunk information"
                                                                 : "entry point";
    if (result == L2FWSERVER_ERROR_CANCELLED)
        FailureRecord(
            Reason::kCancelled,
            "cancelled by a stop request while waiting for the acknowledgement of the %s frame at byte "
            "%u of %s",
            frameName, totalBytesSent.load(), TransferFile());
    if (result == L2FWSERVER_ERROR_TIMEOUT) {
        FailureRecord(Reason::kAckMissing,
                      "acknowledgement of the %s frame missing after %d sends to device %s at byte %u of %s; "
                      "check that the device is connected and powered, then start again",
                      frameName, kControlFrameTries, MacText(dst).c_str(), totalBytesSent.load(),
                      TransferFile());
    }
    return result;
}

// Chunk information and entry point: information bytes, acknowledged like any control frame.
t_l2fwserverErrorCode InfoExchange(const Link& link, const uint8_t* dst, uint8_t subtype, uint8_t ackSubtype,
                                   const uint8_t* data, uint32_t n) {
    uint8_t frame[kFrameBufferSize] = {};
    l2::VlanTag tag;
    const size_t length =
        BuildInfoFrame(frame, link.port.mac().data(), dst, ConfiguredTag(tag), subtype, data, n);
    if (length == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return ControlExchange(link, dst, frame, length, ackSubtype);
}

// The data-frame loops of the upgrade image, the loader and the chunks share their
// shape and differ in the details below.
enum class DataKind { kUpgradeFile, kLoader, kChunk };

struct DataLoop {
    DataKind kind;
    uint16_t frameLength;  // loader frames only: their body length
    uint32_t size;         // bytes to send
    uint16_t* sequence;    // numbered from *sequence on; left at the next number
};

// A device that stopped acknowledging data: says where the transfer stopped, so that a
// technician can tell a device that vanished at once from one lost near the end.
t_l2fwserverErrorCode AckMissing(const uint8_t* dst, uint32_t resends, uint32_t offset) {
    FailureRecord(
        Reason::kAckMissing,
        "acknowledgement missing from device %s after %u retries at byte %u of %s; check that the device "
        "is connected and powered, then start again",
        MacText(dst).c_str(), resends, offset, TransferFile());
    return L2FWSERVER_ERROR_TIMEOUT;
}

t_l2fwserverErrorCode SendData(const Link& link, const uint8_t* dst, FILE* f, const DataLoop& loop) {
    uint8_t frame[kFrameBufferSize];
    const bool loader = loop.kind == DataKind::kLoader;
    const uint32_t piece =
        loader ? static_cast<uint32_t>(loop.frameLength - kLoaderDataOffset) : kMaxFilePayload;
    const t_l2fwserverTestMode abortMode =
        loader ? L2FWSERVER_TEST_MODE_ABORT_ETHLOADER : L2FWSERVER_TEST_MODE_ABORT_FILE;

    totalBytes.store(loop.size);
    totalBytesSent.store(0);
    totalRetransmissions.store(0);
    uint32_t sent = 0;
    uint32_t retransmissions = 0;
    uint16_t count = 0;
    size_t frameLength = 0;

    while (sent < loop.size) {
        if (link.stopped()) {
            FailureRecord(Reason::kCancelled, "cancelled by a stop request at byte %u of %s", sent,
                          TransferFile());
            return L2FWSERVER_ERROR_CANCELLED;
        }
        if (retransmissions == 0) {
            std::memset(frame, 0, sizeof(frame));
            l2::VlanTag tagValue;
            const l2::VlanTag* tag = ConfiguredTag(tagValue);
            uint8_t* data = frame + BodyOffset(tag) + (loader ? kLoaderDataOffset : kFileDataOffset);
            // Never more than the bytes still owed, so the transfer is exactly `size`
            // bytes even if the file grows meanwhile (and a chunk never takes bytes
            // of the next record).
            const size_t want = std::min(piece, loop.size - sent);
            count = static_cast<uint16_t>(std::fread(data, 1, want, f));
            if (count == 0) {
                FailureRecord(Reason::kFileUnreadable,
                              "could not read %s at byte %u (it shrank or the disk failed); check the file",
                              TransferFile(), sent);
                return L2FWSERVER_ERROR_READING_FILE;
            }
            frameLength =
                loader ? FinishLoaderDataFrame(frame, link.port.mac().data(), dst, tag, *loop.sequence, count,
                                               loop.frameLength)
                       : FinishFileDataFrame(frame, link.port.mac().data(), dst, tag, *loop.sequence, count);
            if (frameLength == 0) return L2FWSERVER_ERROR_BAD_ARGS;
        }
        const t_l2fwserverErrorCode r = SendPacket(link, frame, frameLength);
        if (r != L2FWSERVER_ERROR_NONE) return r;

        uint32_t timeout = upgradeRetransmissionTimeout.load();
        if (loop.kind == DataKind::kUpgradeFile && retransmissions > 0) {
            if (*loop.sequence == 1)
                timeout = upgradeFlashEraseTimeout.load();
            else if (retransmissions >= 3)
                timeout = upgradeOsupTimeout.load();
        }
        if (WaitForCorrectAck(link, dst, *loop.sequence, timeout)) {
            sent += count;
            totalBytesSent.store(sent);
            ++*loop.sequence;
            retransmissions = 0;
            if (testMode.load() == abortMode && sent >= loop.size / 2) return L2FWSERVER_ERROR_TEST_ABORT;
            continue;
        }
        if (link.stopped()) continue;  // reported at the top of the loop
        if (loop.kind == DataKind::kUpgradeFile) {
            // A frame is sent at most five times; the counter holds resends made.
            if (retransmissions >= kMaxResends) return AckMissing(dst, retransmissions, sent);
            ++retransmissions;
            totalRetransmissions.fetch_add(1);
        } else {
            // The loader and chunk loops count the unanswered fifth send as well.
            ++retransmissions;
            totalRetransmissions.fetch_add(1);
            if (retransmissions > kMaxResends) return AckMissing(dst, kMaxResends, sent);
        }
    }
    return L2FWSERVER_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Frame layouts

// Addresses, tag, length field and SNAP header with the subtype; returns the frame
// length, 0 when the body does not fit.
size_t WriteHeader(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                   uint8_t subtype, uint32_t bodyLength) {
    if (bodyLength > kMaxBodyLength) return 0;
    ByteWriter w(frame, kFrameBufferSize);
    l2::EthernetWrite(w, dst, src, tag, static_cast<uint16_t>(bodyLength));
    l2::SnapWrite(w, Pid(subtype));
    return w.ok() ? BodyOffset(tag) + bodyLength : 0;
}

// The sequence number and the byte count of a frame WriteHeader made.
void WriteCounts(uint8_t* frame, const l2::VlanTag* tag, uint16_t sequence, uint16_t count) {
    ByteWriter w(frame + BodyOffset(tag), kMaxBodyLength);
    w.seek(kSequenceOffset);
    w.le16(sequence);
    w.le16(count);
}

// Body bytes a frame of this subtype needs for the fields its reader takes.
size_t MinBodyLength(uint8_t subtype) {
    if (subtype == kSubtypeAnnouncement) return kChipIdOffset + kChipIdLength;
    if (subtype == kSubtypeDataAck) return kSequenceOffset + 2;
    return l2::kSnapHeaderLength;
}

bool Wanted(const l2::FrameView& view, uint8_t subtype, const uint8_t* acceptedMac) {
    if (view.length < kMinReadLength || view.payloadLength < MinBodyLength(subtype)) return false;
    if (acceptedMac != nullptr && std::memcmp(view.src(), acceptedMac, l2::kMacLength) != 0) return false;
    ByteReader r = view.payloadReader();
    l2::SnapHeader snap;
    if (!l2::SnapRead(r, snap) || !snap.ours() || snap.pid != Pid(subtype)) return false;
    const uint64_t chipFilter = upgradeChipId.load();
    if ((chipFilter & kSetBit) != 0) {
        uint8_t chip[kChipFilterLength];
        if (!r.seek(kChipIdOffset) || !r.bytes(chip, sizeof(chip)) ||
            (MacToWord(chip) | kSetBit) != chipFilter)
            return false;
    }
    return true;
}

struct Announcement {
    std::array<uint8_t, 4> magic{};
    uint16_t subversion = 0;
    uint16_t version = 0;
    uint64_t chip = 0;
};

// The fields of an announcement ReceivePacket took (it checked they are there).
Announcement ReadAnnouncement(const l2::FrameView& view) {
    Announcement a;
    ByteReader r = view.payloadReader();
    r.seek(kAnnouncementMagicOffset);
    r.bytes(a.magic.data(), a.magic.size());
    r.le16(a.subversion);
    r.le16(a.version);
    r.seek(kChipIdOffset);
    r.le64(a.chip);
    return a;
}

}  // namespace

// ---------------------------------------------------------------------------
// Frame layer

bool Link::stopped() const {
    struct pollfd p = {wake, POLLIN, 0};
    return wake >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

const l2::VlanTag* ConfiguredTag(l2::VlanTag& tag) {
    const uint32_t vlan = vlanSetting.load();
    if ((vlan & kVlanEnabledBit) == 0) return nullptr;
    tag = l2::VlanTag{l2::kVlanTpid, static_cast<uint16_t>(vlan)};
    return &tag;
}

uint16_t RomVersionGet() {
    return romVersion.load();
}
uint16_t RomSubversionGet() {
    return romSubversion.load();
}

size_t BuildControlFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                         uint8_t subtype, uint16_t length) {
    return WriteHeader(frame, src, dst, tag, subtype, std::max<uint32_t>(length, l2::kSnapHeaderLength));
}

size_t FinishFileDataFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                           uint16_t sequence, uint16_t count) {
    if (count > kMaxFilePayload) return 0;
    const size_t length = WriteHeader(frame, src, dst, tag, kSubtypeData,
                                      std::max<uint32_t>(count + kFileDataOffset, l2::kMinPayloadLength));
    if (length != 0) WriteCounts(frame, tag, sequence, count);
    return length;
}

size_t FinishLoaderDataFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                             uint16_t sequence, uint16_t count, uint16_t length) {
    if (length < kLoaderDataOffset || count > length - kLoaderDataOffset) return 0;
    const size_t frameLength = WriteHeader(frame, src, dst, tag, kSubtypeData, length);
    if (frameLength != 0) WriteCounts(frame, tag, sequence, count);
    return frameLength;
}

size_t BuildInfoFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                      uint8_t subtype, const uint8_t* data, uint32_t n) {
    if (n > kMaxBodyLength - kFileDataOffset) return 0;
    const size_t length = WriteHeader(frame, src, dst, tag, subtype,
                                      std::max<uint32_t>(n + kFileDataOffset, l2::kMinPayloadLength));
    if (length == 0) return 0;
    WriteCounts(frame, tag, 0, static_cast<uint16_t>(n));
    ByteWriter w(frame + BodyOffset(tag), kMaxBodyLength);
    w.seek(kFileDataOffset);
    w.bytes(data, n);
    return length;
}

size_t BuildStartFrame(uint8_t* frame, const uint8_t* src, uint8_t* dst, const l2::VlanTag* tag,
                       uint16_t length) {
    const bool assignMac =
        romVersion.load() == 3 && romSubversion.load() != 0 && length == kLoaderFrameNewerRom;
    if (!assignMac) return BuildControlFrame(frame, src, dst, tag, kSubtypeStart, length);

    l2::Mac romMac = kDefaultRomMac;
    const uint64_t configured = upgradeRomMac.load();
    if (configured != 0) {
        WordToMac(configured, romMac.data());
    } else if (upgradeRandomMac.load()) {
        unsigned int seed = static_cast<unsigned int>(time(nullptr));
        const int randomNumber = rand_r(&seed);
        std::copy(kPoolMacPrefix.begin(), kPoolMacPrefix.end(), romMac.begin());
        storeBe16(romMac.data() + kPoolMacPrefix.size(), static_cast<uint16_t>(randomNumber));
    }
    const size_t frameLength =
        BuildControlFrame(frame, src, l2::kBroadcastMac.data(), tag, kSubtypeStart, length);
    if (frameLength == 0) return 0;
    ByteWriter w(frame + BodyOffset(tag), kMaxBodyLength);
    w.seek(kStartChipOffset);
    w.le64(chipId.load());
    w.seek(kStartMacOffset);
    w.bytes(romMac.data(), romMac.size());
    // The device answers from, and is addressed at, its new address from now on.
    std::copy(romMac.begin(), romMac.end(), dst);
    return frameLength;
}

t_l2fwserverErrorCode ReceivePacket(const Link& link, uint8_t subtype, uint32_t timeoutMs,
                                    const uint8_t* acceptedMac, l2::FrameView* frame) {
    const Deadline deadline = Deadline::AfterMs(timeoutMs);
    l2::FrameView view;
    for (;;) {
        // Frames already waiting are handed over before the wake descriptor is polled.
        if (link.stopped()) return L2FWSERVER_ERROR_CANCELLED;
        const l2::PortStatus status = link.port.Recv(view, deadline, link.wake);
        // A link that went down may come back while the device still waits for its
        // frame: the wait goes on to its end, as the resends expect.
        if (status == l2::PortStatus::kInterfaceDown) continue;
        if (status != l2::PortStatus::kOk) {
            RecordPortFailure(status, link.port.name());
            return ErrorOf(status);
        }
        if (!Wanted(view, subtype, acceptedMac)) continue;
        if (frame != nullptr) *frame = view;
        return L2FWSERVER_ERROR_NONE;
    }
}

t_l2fwserverErrorCode SendPacket(const Link& link, const uint8_t* frame, size_t length) {
    const l2::PortStatus status = link.port.SendFrame(frame, length);
    RecordPortFailure(status, link.port.name());
    return ErrorOf(status);
}

t_l2fwserverErrorCode WaitFileRequestAnnouncement(const Link& link, INT32S timeout,
                                                  const uint8_t* acceptedMac, uint8_t* mac) {
    l2::FrameView view;
    const t_l2fwserverErrorCode r =
        ReceivePacket(link, kSubtypeAnnouncement, AnnouncementMs(timeout), acceptedMac, &view);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    if (ReadAnnouncement(view).magic != kFileRequestMagic) return L2FWSERVER_ERROR_ROOM_BOOT;
    if (mac) std::memcpy(mac, view.src(), l2::kMacLength);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode WaitEthLoaderAnnouncement(const Link& link, INT32S timeout, uint8_t* mac,
                                                BOOLEAN* newerBootRom) {
    l2::FrameView view;
    const t_l2fwserverErrorCode r =
        ReceivePacket(link, kSubtypeAnnouncement, AnnouncementMs(timeout), nullptr, &view);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    const Announcement a = ReadAnnouncement(view);
    if (a.magic != l2::kBootRomMagic) return L2FWSERVER_ERROR_MAGIC_WORD;
    romVersion.store(a.version);
    romSubversion.store(a.subversion);
    chipId.store(a.chip);
    const bool older = a.version == 1 || a.version == 2;
    if (!older && (a.version != 3 || newerBootRom == nullptr)) return L2FWSERVER_ERROR_ROM_VERSION;
    if (mac) std::memcpy(mac, view.src(), l2::kMacLength);
    if (newerBootRom) *newerBootRom = older ? FALSE : TRUE;
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode SendStartFrame(const Link& link, uint8_t* dst, uint16_t length) {
    uint8_t frame[kFrameBufferSize] = {};
    l2::VlanTag tag;
    const size_t n = BuildStartFrame(frame, link.port.mac().data(), dst, ConfiguredTag(tag), length);
    if (n == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return ControlExchange(link, dst, frame, n, kSubtypeStartAck);
}

t_l2fwserverErrorCode SendEndFrame(const Link& link, const uint8_t* dst, uint16_t length) {
    uint8_t frame[kFrameBufferSize] = {};
    l2::VlanTag tag;
    const size_t n =
        BuildControlFrame(frame, link.port.mac().data(), dst, ConfiguredTag(tag), kSubtypeEnd, length);
    if (n == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return ControlExchange(link, dst, frame, n, kSubtypeEndAck);
}

t_l2fwserverErrorCode SendChunkInfoFrame(const Link& link, const uint8_t* dst, const uint8_t* data,
                                         uint32_t n) {
    return InfoExchange(link, dst, kSubtypeChunkInfo, kSubtypeChunkInfoAck, data, n);
}

t_l2fwserverErrorCode SendEntryPointFrame(const Link& link, const uint8_t* dst, const uint8_t* data,
                                          uint32_t n) {
    return InfoExchange(link, dst, kSubtypeEntryPoint, kSubtypeEntryPointAck, data, n);
}

bool WaitForCorrectAck(const Link& link, const uint8_t* src, uint16_t sequence, uint32_t timeoutMs) {
    const Deadline limit = Deadline::AfterMs(timeoutMs);
    for (;;) {
        l2::FrameView view;
        if (ReceivePacket(link, kSubtypeDataAck, timeoutMs, src, &view) != L2FWSERVER_ERROR_NONE)
            return false;
        ByteReader r = view.payloadReader();
        uint16_t acked = 0;
        if (r.seek(kSequenceOffset) && r.le16(acked) && acked == sequence) return true;
        // A stale acknowledgement: keep waiting while the time limit has not passed;
        // each receive again allows the full limit.
        if (limit.passed()) return false;
    }
}

t_l2fwserverErrorCode SendFile(const Link& link, const uint8_t* dst, FILE* f) {
    uint32_t size = 0;
    const t_l2fwserverErrorCode r = FileSize(f, &size);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    uint16_t sequence = 1;
    return SendData(link, dst, f, DataLoop{DataKind::kUpgradeFile, 0, size, &sequence});
}

t_l2fwserverErrorCode SendEthLoaderFile(const Link& link, const uint8_t* dst, FILE* f, uint16_t frameLength) {
    if (frameLength <= kLoaderDataOffset || frameLength > kMaxBodyLength) return L2FWSERVER_ERROR_BAD_ARGS;
    uint32_t size = 0;
    const t_l2fwserverErrorCode r = FileSize(f, &size);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    uint16_t sequence = 1;
    return SendData(link, dst, f, DataLoop{DataKind::kLoader, frameLength, size, &sequence});
}

t_l2fwserverErrorCode SendChunk(const Link& link, const uint8_t* dst, FILE* f, uint32_t chunkSize,
                                uint16_t* sequence) {
    return SendData(link, dst, f, DataLoop{DataKind::kChunk, 0, chunkSize, sequence});
}

t_l2fwserverErrorCode SendChunksFile(const Link& link, const uint8_t* dst, FILE* f) {
    if (std::fseek(f, kChunkFileMagicOffset, SEEK_SET) != 0) return L2FWSERVER_ERROR_READING_FILE;
    std::array<uint8_t, 4> word{};
    if (std::fread(word.data(), 1, word.size(), f) != word.size() || word != kChunkFileMagic)
        return L2FWSERVER_ERROR_MAGIC_WORD;
    if (std::fseek(f, kChunkFileRecordsGap, SEEK_CUR) != 0) return L2FWSERVER_ERROR_READING_FILE;

    uint16_t sequence = 1;
    for (;;) {
        if (std::fread(word.data(), 1, word.size(), f) != word.size()) return L2FWSERVER_ERROR_READING_FILE;
        const uint32_t info = loadLe32(word.data());
        if (info == 0) break;  // terminator
        // Bits 0..30: the record's length in 32-bit words, its two header words
        // included. Computed in 64 bits: a count below 2 would wrap to about 4 GiB.
        const uint64_t words = info & 0x7FFFFFFFu;
        if (words < 2) return L2FWSERVER_ERROR_READING_FILE;
        const uint64_t chunkSize = (words - 2) * 4;
        if (chunkSize > UINT32_MAX) return L2FWSERVER_ERROR_READING_FILE;
        std::array<uint8_t, 4> offsets{};
        if (std::fread(offsets.data(), 1, offsets.size(), f) != offsets.size())
            return L2FWSERVER_ERROR_READING_FILE;
        t_l2fwserverErrorCode r = SendChunkInfoFrame(link, dst, offsets.data(), offsets.size());
        if (r != L2FWSERVER_ERROR_NONE) return r;
        r = SendChunk(link, dst, f, static_cast<uint32_t>(chunkSize), &sequence);
        if (r != L2FWSERVER_ERROR_NONE) return r;
    }
    std::array<uint8_t, 4> entryPoint{};
    if (std::fread(entryPoint.data(), 1, entryPoint.size(), f) != entryPoint.size())
        return L2FWSERVER_ERROR_READING_FILE;
    return SendEntryPointFrame(link, dst, entryPoint.data(), entryPoint.size());
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

}  // namespace kivo::fw

using namespace kivo;
using namespace kivo::fw;

// ---------------------------------------------------------------------------
// Upgrade and Ethernet boot

namespace {

// Files opened on the request path, handed to the next server thread. Written by the
// starting thread while no operation runs, taken by the thread it creates.
FilePtr serverOpenedFile;
FilePtr serverOpenedLoader;

// A file an old-style start named, opened on the server thread with the service's rights.
t_l2fwserverErrorCode OpenNamedFile(const CHAR* path, const char* what, FilePtr& f) {
    FILE* raw = nullptr;
    const t_l2fwserverErrorCode r = OpenFirmwareFile(path, &raw);
    f.reset(raw);
    if (r != L2FWSERVER_ERROR_NONE)
        FailureRecord(
            Reason::kFileUnreadable,
            "could not open the %s %s: it is missing, not a regular file or not readable; check the path",
            what, path);
    return r;
}

// The operations record their failures on the thread that runs them; a direct caller
// keeps what it had recorded before (the first recorded wins).
class CallerFailure {
   public:
    CallerFailure() : saved_(FailureTake()) {}
    ~CallerFailure() {
        if (saved_.empty()) return;
        FailureClear();
        FailureRecord(saved_.reason, "%s", saved_.text.c_str());
    }
    CallerFailure(const CallerFailure&) = delete;
    CallerFailure& operator=(const CallerFailure&) = delete;

   private:
    Failure saved_;
};

// Names the file being sent in the failure texts of this thread for one phase.
class TransferFileLabel {
   public:
    TransferFileLabel(const char* what, const CHAR* path) : label_(std::string(what) + " " + path) {
        transferFile = label_.c_str();
    }
    ~TransferFileLabel() { transferFile = nullptr; }
    TransferFileLabel(const TransferFileLabel&) = delete;
    TransferFileLabel& operator=(const TransferFileLabel&) = delete;

   private:
    std::string label_;
};

// f: the image opened already, or none to open `file` here.
t_l2fwserverErrorCode UpgradeRun(FilePtr f, const CHAR* file, const CHAR* if_name,
                                 INT32S timeout_announcement, const INT8U* device_mac) {
    serverState.store(L2FWSERVER_STATE_WAITING);
    CallerFailure caller;
    l2::Mac allowedMac{};
    const bool useAllowedMac = device_mac != nullptr;
    if (useAllowedMac) std::memcpy(allowedMac.data(), device_mac, allowedMac.size());
    if (file == nullptr || if_name == nullptr) return FinishOperation(L2FWSERVER_ERROR_BAD_ARGS);

    t_l2fwserverErrorCode result = L2FWSERVER_ERROR_NONE;
    if (!f) result = OpenNamedFile(file, "firmware file", f);
    TransferFileLabel label("firmware file", file);
    l2::Port port;
    const Link link(port, StopFd());
    l2::Mac dst{};
    if (result == L2FWSERVER_ERROR_NONE) result = OpenPort(port, if_name, "L2FwServerUpgradeProcess");
    if (result == L2FWSERVER_ERROR_NONE) {
        result = WaitFileRequestAnnouncement(link, timeout_announcement,
                                             useAllowedMac ? allowedMac.data() : nullptr, dst.data());
        const std::string device = useAllowedMac ? "device " + MacText(allowedMac.data()) : "no device";
        if (result == L2FWSERVER_ERROR_TIMEOUT)
            FailureRecord(
                Reason::kNoFileRequest,
                "%s did not ask for the file within %d s on %s; check that the device is connected and "
                "waiting for an upgrade, then start again",
                device.c_str(), static_cast<int>(timeout_announcement), if_name);
        else if (result == L2FWSERVER_ERROR_CANCELLED)
            FailureRecord(Reason::kCancelled,
                          "cancelled by a stop request while %s had not asked for the file", device.c_str());
        else if (result == L2FWSERVER_ERROR_ROOM_BOOT)
            FailureRecord(Reason::kDeviceRefused,
                          "the device that asked on %s is in its boot ROM and cannot be upgraded; start an "
                          "Ethernet boot (with a loader file) instead",
                          if_name);
    }
    if (result == L2FWSERVER_ERROR_NONE) {
        serverState.store(L2FWSERVER_STATE_UPLOADING);
        result = SendStartFrame(link, dst.data(), kControlFrameLength);
    }
    if (result == L2FWSERVER_ERROR_NONE) result = SendFile(link, dst.data(), f.get());
    if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link, dst.data(), kControlFrameLength);

    f.reset();
    port.Close();
    return FinishOperation(result);
}

t_l2fwserverErrorCode EthBootRun(FilePtr loader, const CHAR* eth_loader_file, FilePtr firmware,
                                 const CHAR* fw_file, const CHAR* if_name, INT32S timeout_announcement) {
    serverState.store(L2FWSERVER_STATE_WAITING);
    CallerFailure caller;
    if (eth_loader_file == nullptr || fw_file == nullptr || if_name == nullptr)
        return FinishOperation(L2FWSERVER_ERROR_BAD_ARGS);

    t_l2fwserverErrorCode result = L2FWSERVER_ERROR_NONE;
    if (!loader) result = OpenNamedFile(eth_loader_file, "loader file", loader);
    if (result == L2FWSERVER_ERROR_NONE && !firmware)
        result = OpenNamedFile(fw_file, "firmware file", firmware);
    l2::Port port;
    const Link link(port, StopFd());
    l2::Mac dst{};
    BOOLEAN newerBootRom = FALSE;
    if (result == L2FWSERVER_ERROR_NONE) result = OpenPort(port, if_name, "L2FwServerEthBootProcess");
    if (result == L2FWSERVER_ERROR_NONE) {
        result = WaitEthLoaderAnnouncement(link, timeout_announcement, dst.data(), &newerBootRom);
        if (result == L2FWSERVER_ERROR_TIMEOUT)
            FailureRecord(
                Reason::kNoFileRequest,
                "no device in its boot ROM asked for the loader within %d s on %s; check that the device "
                "is connected and in its boot ROM, then start again",
                static_cast<int>(timeout_announcement), if_name);
        else if (result == L2FWSERVER_ERROR_CANCELLED)
            FailureRecord(
                Reason::kCancelled,
                "cancelled by a stop request while no device in its boot ROM had asked for the loader");
    }

    // Loader phase.
    const uint16_t loaderFrameLength = newerBootRom ? kLoaderFrameNewerRom : kLoaderFrameOlderRom;
    {
        TransferFileLabel label("loader file", eth_loader_file);
        if (result == L2FWSERVER_ERROR_NONE) {
            ResetProgress();
            serverState.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_LOADER);
            result = SendStartFrame(link, dst.data(), loaderFrameLength);
        }
        // Announcements the boot ROM sent before it took the start frame are stale now;
        // one left waiting would be taken for the loader's file request.
        if (result == L2FWSERVER_ERROR_NONE) port.Drain();
        if (result == L2FWSERVER_ERROR_NONE)
            result = SendEthLoaderFile(link, dst.data(), loader.get(), loaderFrameLength);
        if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link, dst.data(), loaderFrameLength);
    }
    // The chip filter served the loader phase only.
    L2FwServerEthBootChipIdSet(nullptr);

    // Firmware phase: the running loader asks for its file.
    TransferFileLabel label("firmware file", fw_file);
    if (result == L2FWSERVER_ERROR_NONE) {
        result = WaitFileRequestAnnouncement(link, timeout_announcement, dst.data(), nullptr);
        if (result == L2FWSERVER_ERROR_TIMEOUT)
            FailureRecord(
                Reason::kNoFileRequest,
                "device %s did not ask for the file within %d s after its loader on %s; check the loader "
                "file and start again",
                MacText(dst.data()).c_str(), static_cast<int>(timeout_announcement), if_name);
        else if (result == L2FWSERVER_ERROR_CANCELLED)
            FailureRecord(
                Reason::kCancelled,
                "cancelled by a stop request while device %s had not asked for the file after its loader",
                MacText(dst.data()).c_str());
    }
    if (result == L2FWSERVER_ERROR_NONE) {
        ResetProgress();
        serverState.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_FW);
        result = SendStartFrame(link, dst.data(), kControlFrameLength);
    }
    if (result == L2FWSERVER_ERROR_NONE) result = SendChunksFile(link, dst.data(), firmware.get());
    if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link, dst.data(), kControlFrameLength);

    loader.reset();
    firmware.reset();
    port.Close();
    return FinishOperation(result);
}

}  // namespace

t_l2fwserverErrorCode L2FwServerUpgradeProcess(const CHAR* file, const CHAR* if_name,
                                               INT32S timeout_announcement, const INT8U* device_mac) {
    ClearStop();
    return UpgradeRun(nullptr, file, if_name, timeout_announcement, device_mac);
}

t_l2fwserverErrorCode L2FwServerEthBootProcess(const CHAR* eth_loader_file, const CHAR* fw_file,
                                               const CHAR* if_name, INT32S timeout_announcement) {
    ClearStop();
    return EthBootRun(nullptr, eth_loader_file, nullptr, fw_file, if_name, timeout_announcement);
}

// ---------------------------------------------------------------------------
// Control and status

namespace {

// The operations report through the module state; an allocation that fails on the
// way ends the operation, not the process.
void ServerUpgradeTask() {
    try {
        UpgradeRun(std::move(serverOpenedFile), serverFile.c_str(), serverIfName.c_str(),
                   serverTimeoutAnnouncement, serverDeviceMacUsed ? serverDeviceMac.data() : nullptr);
    } catch (const std::bad_alloc&) {
        FinishOperation(L2FWSERVER_ERROR_MALLOC);
    }
}

void ServerEthBootTask() {
    try {
        EthBootRun(std::move(serverOpenedLoader), serverEthLoaderFile.c_str(), std::move(serverOpenedFile),
                   serverFile.c_str(), serverIfName.c_str(), serverTimeoutAnnouncement);
    } catch (const std::bad_alloc&) {
        L2FwServerEthBootChipIdSet(nullptr);
        FinishOperation(L2FWSERVER_ERROR_MALLOC);
    }
}

bool Missing(const CHAR* s) {
    return s == nullptr || s[0] == '\0';
}

// Copies a start argument; false when memory is short.
bool CopyArgument(std::string& to, const CHAR* from) {
    if (FailPointHit("fw.alloc")) return false;
    try {
        to = from;
    } catch (const std::bad_alloc&) {
        return false;
    }
    return true;
}

// Common part of both starts; the caller holds controlMutex, has reclaimed the
// previous thread and stored the start arguments.
t_l2fwserverErrorCode Launch(void (*task)()) {
    ClearStop();
    SetLastFailure(Failure{});
    serverState.store(L2FWSERVER_STATE_WAITING);
    serverError.store(L2FWSERVER_ERROR_NONE);
    ResetProgress();
    bool started = !FailPointHit("fw.thread");
    if (started) {
        try {
            server = std::thread(task);
        } catch (...) {
            started = false;
        }
    }
    if (!started) {
        serverOpenedFile.reset();
        serverOpenedLoader.reset();
        SetLastFailure(
            MakeFailure(Reason::kInternal,
                        "could not start the firmware transfer (no thread); free some resources and "
                        "start again"));
        serverError.store(L2FWSERVER_ERROR_THREAD);
        serverState.store(L2FWSERVER_STATE_ERROR);
        return L2FWSERVER_ERROR_THREAD;
    }
    return L2FWSERVER_ERROR_NONE;
}

// The caller holds controlMutex and has checked the state and the arguments.
t_l2fwserverErrorCode StartUpgradeLocked(FilePtr f, const CHAR* file, const CHAR* if_name,
                                         INT32S timeout_announcement, const INT8U* mac) {
    std::string fileCopy;
    std::string ifCopy;
    if (!CopyArgument(fileCopy, file) || !CopyArgument(ifCopy, if_name)) return L2FWSERVER_ERROR_MALLOC;
    // A finished thread nobody waited for is reclaimed before its arguments change.
    if (server.joinable()) server.join();
    serverFile.swap(fileCopy);
    serverIfName.swap(ifCopy);
    serverTimeoutAnnouncement = timeout_announcement;
    serverDeviceMacUsed = mac != nullptr;
    if (mac) std::memcpy(serverDeviceMac.data(), mac, serverDeviceMac.size());
    serverOpenedFile = std::move(f);
    serverOpenedLoader.reset();
    return Launch(ServerUpgradeTask);
}

t_l2fwserverErrorCode StartEthBootLocked(FilePtr loader, const CHAR* eth_loader_file, FilePtr firmware,
                                         const CHAR* fw_file, const CHAR* if_name,
                                         INT32S timeout_announcement) {
    std::string loaderCopy;
    std::string fileCopy;
    std::string ifCopy;
    if (!CopyArgument(loaderCopy, eth_loader_file) || !CopyArgument(fileCopy, fw_file) ||
        !CopyArgument(ifCopy, if_name))
        return L2FWSERVER_ERROR_MALLOC;
    if (server.joinable()) server.join();
    serverEthLoaderFile.swap(loaderCopy);
    serverFile.swap(fileCopy);
    serverIfName.swap(ifCopy);
    serverTimeoutAnnouncement = timeout_announcement;
    serverDeviceMacUsed = false;
    serverOpenedLoader = std::move(loader);
    serverOpenedFile = std::move(firmware);
    return Launch(ServerEthBootTask);
}

// Opens a file of a request-path start with the requester's rights and checks what can
// be checked before anything is sent.
t_l2fwserverErrorCode OpenForRequester(const Requester& requester, const CHAR* path, const char* what,
                                       bool chunked, FilePtr& out, Failure& failure) {
    RequesterFile file = OpenAsRequester(requester, path);
    switch (file.access) {
        case FileAccess::kOk:
            break;
        case FileAccess::kMissing:
            failure = MakeFailure(Reason::kFileMissing, "%s %s does not exist; check the path", what, path);
            return L2FWSERVER_ERROR_OPENING_FILE;
        case FileAccess::kNotRegular:
            failure = MakeFailure(Reason::kFileNotRegular,
                                  "%s %s is not a regular file; name the image file itself", what, path);
            return L2FWSERVER_ERROR_OPENING_FILE;
        case FileAccess::kNotAllowed:
            if (!requester.known)
                failure =
                    MakeFailure(Reason::kNotAllowed,
                                "%s %s was not read: the user who sent the request could not be identified; "
                                "send it from a local socket of your own",
                                what, path);
            else
                failure =
                    MakeFailure(Reason::kNotAllowed,
                                "%s %s is not readable by user %u, who asked for it (files are read with the "
                                "rights of the requesting user); make it readable for that user",
                                what, path, static_cast<unsigned>(requester.uid));
            return L2FWSERVER_ERROR_OPENING_FILE;
        case FileAccess::kUnreadable: {
            const ServiceIdentity id = ServiceIdentityGet();
            failure =
                MakeFailure(Reason::kFileUnreadable,
                            "%s %s cannot be read by the service, which runs as user %s (%s): make it "
                            "readable to group %s (chgrp %s FILE; chmod g+r FILE; the directories above "
                            "it searchable), or copy it to a place user %s can read",
                            what, path, id.user.c_str(),
                            file.error != 0 ? std::strerror(file.error) : "it changed while being opened",
                            id.group.c_str(), id.group.c_str(), id.user.c_str());
            return L2FWSERVER_ERROR_OPENING_FILE;
        }
    }
    struct stat st;
    if (fstat(file.fd.get(), &st) != 0) {
        failure = MakeFailure(Reason::kFileUnreadable, "%s %s cannot be read by the service (%s); check it",
                              what, path, std::strerror(errno));
        return L2FWSERVER_ERROR_READING_FILE;
    }
    // The transfer counts its bytes in 32 bits, on the wire and in the status reply.
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        failure = MakeFailure(
            Reason::kFileTooLarge,
            "%s %s holds %lld bytes, more than the 4294967295 a transfer can carry; check the file", what,
            path, static_cast<long long>(st.st_size));
        return L2FWSERVER_ERROR_READING_FILE;
    }
    // An empty transfer would end in success with nothing sent.
    if (st.st_size == 0) {
        failure = MakeFailure(Reason::kFileEmpty,
                              "%s %s is empty (0 bytes); name a file that holds the image", what, path);
        return L2FWSERVER_ERROR_READING_FILE;
    }
    if (chunked) {
        std::array<uint8_t, 4> word{};
        if (pread(file.fd.get(), word.data(), word.size(), kChunkFileMagicOffset) !=
                static_cast<ssize_t>(word.size()) ||
            word != kChunkFileMagic) {
            failure =
                MakeFailure(Reason::kFileBadMagic,
                            "%s %s has no magic word AA 55 AA 55 at byte %ld, so it is no chunked firmware "
                            "file for an Ethernet boot; check that the right file is named",
                            what, path, kChunkFileMagicOffset);
            return L2FWSERVER_ERROR_MAGIC_WORD;
        }
    }
    FILE* f = fdopen(file.fd.get(), "rb");
    if (f == nullptr) {
        failure = MakeFailure(Reason::kInternal, "%s %s could not be opened (out of memory); start again",
                              what, path);
        return L2FWSERVER_ERROR_MALLOC;
    }
    file.fd.Release();
    out.reset(f);
    return L2FWSERVER_ERROR_NONE;
}

// Ends a request-path start whose file cannot be used: the server goes to its error
// state before the reply leaves, so that a start sent right after it is not refused as
// busy. The caller holds controlMutex.
t_l2fwserverErrorCode EndAtOnce(t_l2fwserverErrorCode code, const Failure& failure) {
    // A finished thread nobody waited for must not be left to overwrite this end.
    if (server.joinable()) server.join();
    ResetProgress();
    SetLastFailure(failure);
    serverError.store(code);
    serverState.store(L2FWSERVER_STATE_ERROR);
    FailureRecord(failure.reason, "%s", failure.text.c_str());
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace

t_l2fwserverErrorCode L2FwServerUpgradeStart(const CHAR* file, const CHAR* if_name,
                                             INT32S timeout_announcement, const INT8U* mac) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (Missing(file) || Missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    return StartUpgradeLocked(nullptr, file, if_name, timeout_announcement, mac);
}

t_l2fwserverErrorCode L2FwServerEthBootStart(const CHAR* eth_loader_file, const CHAR* fw_file,
                                             const CHAR* if_name, INT32S timeout_announcement) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (Missing(eth_loader_file) || Missing(fw_file) || Missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    return StartEthBootLocked(nullptr, eth_loader_file, nullptr, fw_file, if_name, timeout_announcement);
}

t_l2fwserverErrorCode L2FwServerUpgradeStartFile(FILE* file, const CHAR* file_name, const CHAR* if_name,
                                                 INT32S timeout_announcement, const INT8U* mac) {
    FilePtr f(file);
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (!f || Missing(file_name) || Missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    return StartUpgradeLocked(std::move(f), file_name, if_name, timeout_announcement, mac);
}

t_l2fwserverErrorCode L2FwServerEthBootStartFiles(FILE* eth_loader, const CHAR* eth_loader_name, FILE* fw,
                                                  const CHAR* fw_name, const CHAR* if_name,
                                                  INT32S timeout_announcement) {
    FilePtr loader(eth_loader);
    FilePtr firmware(fw);
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (!loader || !firmware || Missing(eth_loader_name) || Missing(fw_name) || Missing(if_name))
        return L2FWSERVER_ERROR_BAD_ARGS;
    return StartEthBootLocked(std::move(loader), eth_loader_name, std::move(firmware), fw_name, if_name,
                              timeout_announcement);
}

t_l2fwserverErrorCode L2FwServerUpgradeStartAs(const Requester& requester, const CHAR* file,
                                               const CHAR* if_name, INT32S timeout_announcement,
                                               const INT8U* mac) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (Missing(file) || Missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    FilePtr f;
    Failure failure;
    const t_l2fwserverErrorCode r = OpenForRequester(requester, file, "firmware file", false, f, failure);
    if (r != L2FWSERVER_ERROR_NONE) return EndAtOnce(r, failure);
    return StartUpgradeLocked(std::move(f), file, if_name, timeout_announcement, mac);
}

t_l2fwserverErrorCode L2FwServerEthBootStartAs(const Requester& requester, const CHAR* eth_loader_file,
                                               const CHAR* fw_file, const CHAR* if_name,
                                               INT32S timeout_announcement) {
    std::lock_guard<std::mutex> lock(controlMutex);
    if (!IsFinalOrIdle(serverState.load())) return L2FWSERVER_ERROR_INVALID_STATE;
    if (Missing(eth_loader_file) || Missing(fw_file) || Missing(if_name)) return L2FWSERVER_ERROR_BAD_ARGS;
    FilePtr loader;
    FilePtr firmware;
    Failure failure;
    t_l2fwserverErrorCode r =
        OpenForRequester(requester, eth_loader_file, "loader file", false, loader, failure);
    if (r == L2FWSERVER_ERROR_NONE)
        r = OpenForRequester(requester, fw_file, "firmware file", true, firmware, failure);
    if (r != L2FWSERVER_ERROR_NONE) return EndAtOnce(r, failure);
    return StartEthBootLocked(std::move(loader), eth_loader_file, std::move(firmware), fw_file, if_name,
                              timeout_announcement);
}

kivo::Failure L2FwServerLastFailure() {
    std::lock_guard<std::mutex> lock(failureMutex);
    return lastFailure;
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
    eventfd_write(StopFd(), 1);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverState L2FwServerStateGet(void) {
    return static_cast<t_l2fwserverState>(serverState.load());
}
INT32U L2FwServerUploadedBytesGet(void) {
    return totalBytesSent.load();
}
INT32U L2FwServerTotalBytesGet(void) {
    return totalBytes.load();
}
INT32U L2FwServerRetransmissionsGet(void) {
    return totalRetransmissions.load();
}
t_l2fwserverErrorCode L2FwServerErrorGet(void) {
    return static_cast<t_l2fwserverErrorCode>(serverError.load());
}
INT32U L2FwServerOperationElapsedTimeGet(void) {
    return 0;
}

void L2FwServerUpgradeFlashEraseTimeoutSet(INT32S t) {
    upgradeFlashEraseTimeout.store(static_cast<uint32_t>(t) * 1000u);
}
void L2FwServerUpgradeOsupTimeoutSet(INT32S t) {
    upgradeOsupTimeout.store(static_cast<uint32_t>(t) * 1000u);
}
void L2FwServerUpgradeRetransmissionTimeoutSet(INT32S t) {
    upgradeRetransmissionTimeout.store(static_cast<uint32_t>(t));
}

void L2FwServerEthBootChipIdSet(const INT8U* chip_id) {
    upgradeChipId.store(chip_id ? (MacToWord(chip_id) | kSetBit) : 0);
}

void L2FwServerEthBootRomMACSet(const INT8U* mac) {
    if (mac) upgradeRomMac.store(MacToWord(mac));
}

void L2FwServerEthBootRandomMACSet(void) {
    upgradeRandomMac.store(true);
}

t_l2fwserverErrorCode L2FwServerTestModeSet(t_l2fwserverTestMode n) {
    if (static_cast<uint32_t>(n) > L2FWSERVER_TEST_MODE_ABORT_ETHLOADER) return L2FWSERVER_ERROR_BAD_ARGS;
    testMode.store(n);
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode L2FwServerVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp) {
    if (!enable) {
        vlanSetting.fetch_and(~kVlanEnabledBit);
        return L2FWSERVER_ERROR_NONE;
    }
    if (vid > 4094 || pcp > 7) return L2FWSERVER_ERROR_BAD_ARGS;
    vlanSetting.store(kVlanEnabledBit | l2::VlanTag::Make(vid, pcp).tci);
    return L2FWSERVER_ERROR_NONE;
}
