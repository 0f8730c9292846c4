// The firmware frames and their exchanges: layouts, the receive filter, the control
// frame retries and the data loops, under the settings of the transfer's link.
#include "fw_frames.h"

#include <net/if.h>
#include <poll.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string>

#include "byte_io.h"
#include "clock.h"
#include "log.h"

namespace kivo::fw {
namespace {

// Boot ROMs are given this address unless one is configured or drawn from the pool
// 00:13:9D:01:xx:xx.
constexpr l2::Mac kDefaultRomMac = {0x00, 0x13, 0x9D, 0x00, 0x05, 0x00};
constexpr std::array<uint8_t, 4> kPoolMacPrefix = {0x00, 0x13, 0x9D, 0x01};
// Running firmware (and a running loader) announce with this word where boot ROMs put
// their magic.
constexpr std::array<uint8_t, 4> kFileRequestMagic = {0x00, 0x00, 0x00, 0x00};

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

// Bytes acknowledged so far on a link (0 on one that counts nothing).
uint32_t SentOf(const Link& link) {
    return link.progress != nullptr ? link.progress->sent.load() : 0;
}

// ---------------------------------------------------------------------------
// Failure texts

// What went wrong with the interface, in the words of its port's status.
Status PortWords(l2::PortStatus status, const std::string& ifName) {
    const char* name = ifName.c_str();
    switch (status) {
        case l2::PortStatus::kBadArgs:  // a name that cannot be an interface's
            return l2::PortFailure(l2::PortStatus::kNoInterface, name);
        case l2::PortStatus::kNoInterface:
        case l2::PortStatus::kInterfaceDown:
        case l2::PortStatus::kPermission:
            return l2::PortFailure(status, name);
        case l2::PortStatus::kSocket:
        case l2::PortStatus::kClosed:
            return Because(Reason::kInternal,
                           "could not open a raw socket on %s; check the interface and start again", name);
        case l2::PortStatus::kTooLong:
            return Because(Reason::kInternal,
                           "a firmware frame does not fit the MTU of %s; raise the MTU to 1500", name);
        case l2::PortStatus::kSend:
        case l2::PortStatus::kReceive:
            return Because(Reason::kInternal, "%s on %s failed; check the interface and start again",
                           status == l2::PortStatus::kSend ? "sending" : "receiving", name);
        case l2::PortStatus::kOk:
        case l2::PortStatus::kTimeout:
        case l2::PortStatus::kWoken:
            break;
    }
    return Status();
}

// ---------------------------------------------------------------------------
// Exchanges

// Control frame exchange: up to four sends, each waiting for its acknowledgement.
t_l2fwserverErrorCode ControlExchange(const Link& link, const uint8_t* dst, const uint8_t* frame,
                                      size_t length, uint8_t ackSubtype) {
    t_l2fwserverErrorCode result = L2FWSERVER_ERROR_TIMEOUT;
    for (int attempt = 0; attempt < kControlFrameTries; ++attempt) {
        // After a stop not even the end frame goes out: the device keeps its old firmware.
        if (link.stopped()) {
            result = L2FWSERVER_ERROR_CANCELLED;
            break;
        }
        result = SendPacket(link, frame, length);
        if (result != L2FWSERVER_ERROR_NONE) continue;
        result = ReceivePacket(link, ackSubtype, link.settings.retransmissionTimeoutMs, dst);
        if (result == L2FWSERVER_ERROR_NONE || result == L2FWSERVER_ERROR_CANCELLED) break;
    }
    const char* frameName = ackSubtype == kSubtypeStartAck       ? "start"
                            : ackSubtype == kSubtypeEndAck       ? "end"
                            : ackSubtype == kSubtypeChunkInfoAck ? "chunk information"
                                                                 : "entry point";
    if (result == L2FWSERVER_ERROR_CANCELLED)
        link.words.Explain(
            Reason::kCancelled,
            "cancelled by a stop request while waiting for the acknowledgement of the %s frame at byte "
            "%u of %s",
            frameName, SentOf(link), link.file);
    if (result == L2FWSERVER_ERROR_TIMEOUT) {
        link.words.Explain(
            Reason::kAckMissing,
            "acknowledgement of the %s frame missing after %d sends to device %s at byte %u of %s; "
            "check that the device is connected and powered, then start again",
            frameName, kControlFrameTries, MacText(dst).c_str(), SentOf(link), link.file);
    }
    return result;
}

// Chunk information and entry point: information bytes, acknowledged like any control frame.
t_l2fwserverErrorCode InfoExchange(const Link& link, const uint8_t* dst, uint8_t subtype, uint8_t ackSubtype,
                                   const uint8_t* data, uint32_t n) {
    uint8_t frame[kFrameBufferSize] = {};
    const size_t length = BuildInfoFrame(frame, link.port.mac().data(), dst, link.tag(), subtype, data, n);
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
t_l2fwserverErrorCode AckMissing(const Link& link, const uint8_t* dst, uint32_t resends, uint32_t offset) {
    link.words.Explain(
        Reason::kAckMissing,
        "acknowledgement missing from device %s after %u retries at byte %u of %s; check that the device "
        "is connected and powered, then start again",
        MacText(dst).c_str(), resends, offset, link.file);
    return L2FWSERVER_ERROR_TIMEOUT;
}

t_l2fwserverErrorCode SendData(const Link& link, const uint8_t* dst, FILE* f, const DataLoop& loop) {
    uint8_t frame[kFrameBufferSize];
    const bool loader = loop.kind == DataKind::kLoader;
    const uint32_t piece =
        loader ? static_cast<uint32_t>(loop.frameLength - kLoaderDataOffset) : kMaxFilePayload;
    const t_l2fwserverTestMode abortMode =
        loader ? L2FWSERVER_TEST_MODE_ABORT_ETHLOADER : L2FWSERVER_TEST_MODE_ABORT_FILE;

    Progress uncounted;
    Progress& progress = link.progress != nullptr ? *link.progress : uncounted;
    progress.total.store(loop.size);
    progress.sent.store(0);
    progress.retransmissions.store(0);
    uint32_t sent = 0;
    uint32_t retransmissions = 0;
    uint16_t count = 0;
    size_t frameLength = 0;

    while (sent < loop.size) {
        if (link.stopped()) {
            link.words.Explain(Reason::kCancelled, "cancelled by a stop request at byte %u of %s", sent,
                               link.file);
            return L2FWSERVER_ERROR_CANCELLED;
        }
        if (retransmissions == 0) {
            std::memset(frame, 0, sizeof(frame));
            const l2::VlanTag* tag = link.tag();
            uint8_t* data = frame + BodyOffset(tag) + (loader ? kLoaderDataOffset : kFileDataOffset);
            // Never more than the bytes still owed, so the transfer is exactly `size`
            // bytes even if the file grows meanwhile (and a chunk never takes bytes
            // of the next record).
            const size_t want = std::min(piece, loop.size - sent);
            count = static_cast<uint16_t>(std::fread(data, 1, want, f));
            if (count == 0) {
                link.words.Explain(
                    Reason::kFileUnreadable,
                    "could not read %s at byte %u (it shrank or the disk failed); check the file", link.file,
                    sent);
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

        uint32_t timeout = link.settings.retransmissionTimeoutMs;
        if (loop.kind == DataKind::kUpgradeFile && retransmissions > 0) {
            if (*loop.sequence == 1)
                timeout = link.settings.flashEraseTimeoutMs;
            else if (retransmissions >= 3)
                timeout = link.settings.osupTimeoutMs;
        }
        if (WaitForCorrectAck(link, dst, *loop.sequence, timeout)) {
            sent += count;
            progress.sent.store(sent);
            ++*loop.sequence;
            retransmissions = 0;
            if (link.settings.testMode == abortMode && sent >= loop.size / 2)
                return L2FWSERVER_ERROR_TEST_ABORT;
            continue;
        }
        if (link.stopped()) continue;  // reported at the top of the loop
        if (loop.kind == DataKind::kUpgradeFile) {
            // A frame is sent at most five times; the counter holds resends made.
            if (retransmissions >= kMaxResends) return AckMissing(link, dst, retransmissions, sent);
            ++retransmissions;
            progress.retransmissions.fetch_add(1);
        } else {
            // The loader and chunk loops count the unanswered fifth send as well.
            ++retransmissions;
            progress.retransmissions.fetch_add(1);
            if (retransmissions > kMaxResends) return AckMissing(link, dst, kMaxResends, sent);
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

bool Wanted(const Link& link, const l2::FrameView& view, uint8_t subtype, const uint8_t* acceptedMac) {
    if (view.length < kMinReadLength || view.payloadLength < MinBodyLength(subtype)) return false;
    if (acceptedMac != nullptr && std::memcmp(view.src(), acceptedMac, l2::kMacLength) != 0) return false;
    ByteReader r = view.payloadReader();
    l2::SnapHeader snap;
    if (!l2::SnapRead(r, snap) || !snap.ours() || snap.pid != Pid(subtype)) return false;
    if (link.settings.chipId) {
        std::array<uint8_t, kChipFilterLength> chip{};
        if (!r.seek(kChipIdOffset) || !r.bytes(chip.data(), chip.size()) || chip != *link.settings.chipId)
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

std::string MacText(const uint8_t* mac) {
    char text[18];
    std::snprintf(text, sizeof(text), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return text;
}

// Opens the port of an operation; `who` names the operation in the line a socket that
// cannot be bound leaves.
t_l2fwserverErrorCode OpenPort(const Link& link, const char* ifName, const char* who) {
    const l2::PortStatus status = link.port.Open(ifName);
    if (status == l2::PortStatus::kSocket)
        Log(LogStream::kErr, "%s: bind to interface %s (ifindex %d) error\n", who, ifName,
            static_cast<int>(if_nametoindex(ifName)));
    link.words.Explain(PortWords(status, ifName));
    return ErrorOf(status);
}

// Size of an open file, found by seeking to its end; the position is back at the start.
t_l2fwserverErrorCode FileSize(FILE* f, uint32_t* size) {
    if (fseeko(f, 0, SEEK_END) != 0) return L2FWSERVER_ERROR_READING_FILE;
    const off_t end = ftello(f);
    if (end < 0 || static_cast<uint64_t>(end) > UINT32_MAX) return L2FWSERVER_ERROR_READING_FILE;
    if (fseeko(f, 0, SEEK_SET) != 0) return L2FWSERVER_ERROR_READING_FILE;
    *size = static_cast<uint32_t>(end);
    return L2FWSERVER_ERROR_NONE;
}

bool Link::stopped() const {
    struct pollfd p = {wake, POLLIN, 0};
    return wake >= 0 && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0;
}

bool VlanTagFor(uint16_t vid, uint8_t pcp, std::optional<l2::VlanTag>& tag) {
    tag.reset();
    if (vid > 4094 || pcp > 7) return false;
    tag = l2::VlanTag::Make(vid, pcp);
    return true;
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
                       uint16_t length, const BootRom& rom, const TransferSettings& settings) {
    const bool assignMac = rom.version == 3 && rom.subversion != 0 && length == kLoaderFrameNewerRom;
    if (!assignMac) return BuildControlFrame(frame, src, dst, tag, kSubtypeStart, length);

    l2::Mac romMac = kDefaultRomMac;
    if (settings.romMac && *settings.romMac != l2::Mac{}) {
        romMac = *settings.romMac;
    } else if (settings.randomRomMac) {
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
    w.le64(rom.chip);
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
            link.words.Explain(PortWords(status, link.port.name()));
            return ErrorOf(status);
        }
        if (!Wanted(link, view, subtype, acceptedMac)) continue;
        if (frame != nullptr) *frame = view;
        return L2FWSERVER_ERROR_NONE;
    }
}

t_l2fwserverErrorCode SendPacket(const Link& link, const uint8_t* frame, size_t length) {
    const l2::PortStatus status = link.port.SendFrame(frame, length);
    link.words.Explain(PortWords(status, link.port.name()));
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
                                                BOOLEAN* newerBootRom, BootRom* rom) {
    l2::FrameView view;
    const t_l2fwserverErrorCode r =
        ReceivePacket(link, kSubtypeAnnouncement, AnnouncementMs(timeout), nullptr, &view);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    const Announcement a = ReadAnnouncement(view);
    if (a.magic != l2::kBootRomMagic) return L2FWSERVER_ERROR_MAGIC_WORD;
    if (rom) *rom = BootRom{a.version, a.subversion, a.chip};
    const bool older = a.version == 1 || a.version == 2;
    if (!older && (a.version != 3 || newerBootRom == nullptr)) return L2FWSERVER_ERROR_ROM_VERSION;
    if (mac) std::memcpy(mac, view.src(), l2::kMacLength);
    if (newerBootRom) *newerBootRom = older ? FALSE : TRUE;
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode SendStartFrame(const Link& link, uint8_t* dst, uint16_t length) {
    uint8_t frame[kFrameBufferSize] = {};
    const size_t n =
        BuildStartFrame(frame, link.port.mac().data(), dst, link.tag(), length, link.rom, link.settings);
    if (n == 0) return L2FWSERVER_ERROR_BAD_ARGS;
    return ControlExchange(link, dst, frame, n, kSubtypeStartAck);
}

t_l2fwserverErrorCode SendEndFrame(const Link& link, const uint8_t* dst, uint16_t length) {
    uint8_t frame[kFrameBufferSize] = {};
    const size_t n = BuildControlFrame(frame, link.port.mac().data(), dst, link.tag(), kSubtypeEnd, length);
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
    ChunkReader reader(f);
    const ChunkStatus start = reader.Start();
    if (start == ChunkStatus::kBadMagic) return L2FWSERVER_ERROR_MAGIC_WORD;
    if (start != ChunkStatus::kRecord) return L2FWSERVER_ERROR_READING_FILE;

    uint16_t sequence = 1;
    ChunkRecord record;
    for (ChunkStatus next; (next = reader.Next(record)) != ChunkStatus::kEnd;) {
        if (next != ChunkStatus::kRecord) return L2FWSERVER_ERROR_READING_FILE;
        t_l2fwserverErrorCode r = SendChunkInfoFrame(link, dst, record.info.data(), record.info.size());
        if (r != L2FWSERVER_ERROR_NONE) return r;
        r = SendChunk(link, dst, f, record.size, &sequence);
        if (r != L2FWSERVER_ERROR_NONE) return r;
    }
    std::array<uint8_t, 4> entryPoint{};
    if (!reader.EntryPoint(entryPoint)) return L2FWSERVER_ERROR_READING_FILE;
    return SendEntryPointFrame(link, dst, entryPoint.data(), entryPoint.size());
}

}  // namespace kivo::fw
