// L2 firmware server: firmware upgrade of a running device and Ethernet boot of a
// device waiting in its boot ROM, over raw layer-2 frames, on a thread of its own.
//
// One server per process, one operation at a time. The request thread starts an
// operation, polls its state and byte counts, waits for the thread and may ask for a
// stop; the server thread is the only writer of the state, the error code and the
// progress counters. Every value shared between the two threads is an atomic.
#ifndef KIVO_L2FWSERVER_H
#define KIVO_L2FWSERVER_H

#include <cstddef>
#include <cstdint>
#include <cstdio>

#include "port.h"
#include "reason.h"
#include "requester.h"
#include "types.h"

typedef enum e_l2fwserverErrorCode {
    L2FWSERVER_ERROR_NONE = 0,
    L2FWSERVER_ERROR_SOCKET = -1,
    L2FWSERVER_ERROR_ETH_IF = -2,
    L2FWSERVER_ERROR_ETH_IF_MAC = -3,
    L2FWSERVER_ERROR_ETH_IF_INACTIVE = -4,
    L2FWSERVER_ERROR_SENDTO = -5,
    L2FWSERVER_ERROR_TIMEOUT = -6,
    L2FWSERVER_ERROR_DROP_PACKET = -7,
    L2FWSERVER_ERROR_RECVFROM = -8,
    L2FWSERVER_ERROR_BIND = -9,
    L2FWSERVER_ERROR_ROOM_BOOT = -10,
    L2FWSERVER_ERROR_DISCOVER = -11,
    L2FWSERVER_ERROR_NULL_MAC = -12,
    L2FWSERVER_ERROR_BAD_ARGS = -13,
    L2FWSERVER_ERROR_MALLOC = -14,
    L2FWSERVER_ERROR_OPENING_FILE = -15,
    L2FWSERVER_ERROR_INVALID_STATE = -16,
    L2FWSERVER_ERROR_THREAD = -17,
    L2FWSERVER_ERROR_READING_FILE = -18,
    L2FWSERVER_ERROR_MAGIC_WORD = -19,
    L2FWSERVER_ERROR_ROM_VERSION = -20,
    L2FWSERVER_ERROR_TEST_ABORT = -21,
    L2FWSERVER_ERROR_CANCELLED = -22,
} t_l2fwserverErrorCode;

typedef enum e_l2fwserverState {
    L2FWSERVER_STATE_IDLE = 0,
    L2FWSERVER_STATE_WAITING = 1,
    L2FWSERVER_STATE_UPLOADING = 2,
    L2FWSERVER_STATE_UPLOADING_ETHBOOT_LOADER = 3,
    L2FWSERVER_STATE_UPLOADING_ETHBOOT_FW = 4,
    L2FWSERVER_STATE_SUCCESSFUL = 5,
    L2FWSERVER_STATE_ERROR = 6,
} t_l2fwserverState;

typedef enum e_l2fwserverTestMode {
    L2FWSERVER_TEST_MODE_DISABLED = 0,
    L2FWSERVER_TEST_MODE_ABORT_FILE = 1,
    L2FWSERVER_TEST_MODE_ABORT_ETHLOADER = 2,
} t_l2fwserverTestMode;

// ---------------------------------------------------------------------------
// Operations

// Starts an upgrade of the device `mac` (none: the first device that asks) with the
// image `file`, on interface `if_name`, waiting `timeout_announcement` seconds for the
// device's file request. Returns once the server thread runs. Refused without any
// change: L2FWSERVER_ERROR_INVALID_STATE while an operation runs,
// L2FWSERVER_ERROR_BAD_ARGS when a name is missing or empty, L2FWSERVER_ERROR_MALLOC
// when the names cannot be copied.
t_l2fwserverErrorCode L2FwServerUpgradeStart(const CHAR* file, const CHAR* if_name,
                                             INT32S timeout_announcement, const INT8U* mac);
// Starts an Ethernet boot with the loader and the chunked firmware file;
// `timeout_announcement` seconds apply to each of its two announcements.
t_l2fwserverErrorCode L2FwServerEthBootStart(const CHAR* eth_loader_file, const CHAR* fw_file,
                                             const CHAR* if_name, INT32S timeout_announcement);

// The starts of the request path. The files are opened here, on the calling thread, with
// the rights of `requester` (see requester_file.h) and checked before anything is sent:
// a file that is missing, no regular file, not readable by that user, empty, larger than
// a transfer can carry or (the firmware of an Ethernet boot) without the chunked file's
// magic word ends the operation at once. NONE is then still returned, as for a transfer
// that failed on its thread, but the server is already in its error state, nothing has
// been sent, and the reason is recorded on the calling thread (kivo::FailureRecord, with
// the path) and kept as the server's last failure. Refused without any change as the
// starts above.
t_l2fwserverErrorCode L2FwServerUpgradeStartAs(const kivo::Requester& requester, const CHAR* file,
                                               const CHAR* if_name, INT32S timeout_announcement,
                                               const INT8U* mac);
t_l2fwserverErrorCode L2FwServerEthBootStartAs(const kivo::Requester& requester, const CHAR* eth_loader_file,
                                               const CHAR* fw_file, const CHAR* if_name,
                                               INT32S timeout_announcement);
// The starts above with files already open, read from their current position on. The
// server takes each FILE* whatever the result (closed when refused); the names serve the
// failure texts only.
t_l2fwserverErrorCode L2FwServerUpgradeStartFile(FILE* file, const CHAR* file_name, const CHAR* if_name,
                                                 INT32S timeout_announcement, const INT8U* mac);
t_l2fwserverErrorCode L2FwServerEthBootStartFiles(FILE* eth_loader, const CHAR* eth_loader_name, FILE* fw,
                                                  const CHAR* fw_name, const CHAR* if_name,
                                                  INT32S timeout_announcement);
// Waits for the server thread of the last start to end. Returns at once when it was
// already joined or none was started.
t_l2fwserverErrorCode L2FwServerWait(void);
// Asks the running transfer to stop: it ends in the error state within one poll of
// whatever it waits for (an announcement, an acknowledgement), sending nothing more. A
// stop while nothing runs is forgotten by the next start. Always 0.
t_l2fwserverErrorCode L2FwServerStop(void);

// The whole operations, run on the server thread (callable directly as well). The
// result is also stored as the server's error code.
t_l2fwserverErrorCode L2FwServerUpgradeProcess(const CHAR* file, const CHAR* if_name,
                                               INT32S timeout_announcement, const INT8U* device_mac);
t_l2fwserverErrorCode L2FwServerEthBootProcess(const CHAR* eth_loader_file, const CHAR* fw_file,
                                               const CHAR* if_name, INT32S timeout_announcement);

// ---------------------------------------------------------------------------
// Status

t_l2fwserverState L2FwServerStateGet(void);
INT32U L2FwServerUploadedBytesGet(void);
INT32U L2FwServerTotalBytesGet(void);
INT32U L2FwServerRetransmissionsGet(void);
t_l2fwserverErrorCode L2FwServerErrorGet(void);
// Why the last operation failed (empty while one runs, after a success, or before the
// first): the file, the device that stopped answering and where, the interface. Safe
// from any thread; a reader who sees a final state sees that operation's failure.
kivo::Failure L2FwServerLastFailure();
// Kept for callers of the interface; no operation measures its time, so always 0.
INT32U L2FwServerOperationElapsedTimeGet(void);

// ---------------------------------------------------------------------------
// Settings (kept until set again)

// Acknowledgement wait for the resends of the first data frame of an upgrade, seconds.
void L2FwServerUpgradeFlashEraseTimeoutSet(INT32S t);
// Acknowledgement wait for the late resends of the other upgrade data frames, seconds.
void L2FwServerUpgradeOsupTimeoutSet(INT32S t);
// Acknowledgement wait of control frames and base wait of data frames, milliseconds.
void L2FwServerUpgradeRetransmissionTimeoutSet(INT32S t);
// Receive only frames whose bytes 40 to 45 equal these six bytes (copied); none clears.
void L2FwServerEthBootChipIdSet(const INT8U* chip_id);
// Address given to a boot ROM by the MAC-assigning start frame; six zero bytes switch
// it off, none changes nothing.
void L2FwServerEthBootRomMACSet(const INT8U* mac);
// Draw the assigned address from the 00:13:9D:01:xx:xx pool (no way back).
void L2FwServerEthBootRandomMACSet(void);
// L2FWSERVER_ERROR_BAD_ARGS for a mode above 2, nothing changed.
t_l2fwserverErrorCode L2FwServerTestModeSet(t_l2fwserverTestMode n);
// 802.1Q tag of every frame sent. Enabling with vid above 4094 or pcp above 7 gives
// L2FWSERVER_ERROR_BAD_ARGS and changes nothing; disabling keeps vid and pcp.
t_l2fwserverErrorCode L2FwServerVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp);

// ---------------------------------------------------------------------------
// Frame layer
//
// Used by the operations above on the server thread; declared here so that the frame
// layouts and exchanges can be exercised on their own.
namespace kivo::fw {

// A firmware frame is an 802.3 frame: after the addresses (and the tag) comes the length
// of its body, and the body starts with LLC/SNAP (kivo's OUI) whose protocol id is the
// firmware type and the subtype. Offsets below are into the body.
inline constexpr size_t kMaxBodyLength = 1504;  // untagged frames of at most 1518 bytes
inline constexpr size_t kFrameBufferSize = l2::kEthHeaderLength + l2::kVlanTagLength + kMaxBodyLength;
inline constexpr uint8_t kTypeFirmware = 0x0B;
inline constexpr size_t kSequenceOffset = 8;     // LE16, data frames and their acknowledgements
inline constexpr size_t kCountOffset = 10;       // LE16, bytes carried
inline constexpr size_t kLoaderDataOffset = 14;  // loader data frames
inline constexpr size_t kFileDataOffset = 38;    // file data, chunk information, entry point
inline constexpr uint16_t kMaxFilePayload = 1024;

inline constexpr uint8_t kSubtypeAnnouncement = 0x00;
inline constexpr uint8_t kSubtypeStart = 0x01;
inline constexpr uint8_t kSubtypeStartAck = 0x02;
inline constexpr uint8_t kSubtypeData = 0x03;
inline constexpr uint8_t kSubtypeDataAck = 0x04;
inline constexpr uint8_t kSubtypeEnd = 0x05;
inline constexpr uint8_t kSubtypeEndAck = 0x07;
inline constexpr uint8_t kSubtypeChunkInfo = 0x0E;
inline constexpr uint8_t kSubtypeChunkInfoAck = 0x0F;
inline constexpr uint8_t kSubtypeEntryPoint = 0x10;
inline constexpr uint8_t kSubtypeEntryPointAck = 0x11;

// Where the body of a frame with this tag (none: null) starts.
inline size_t BodyOffset(const l2::VlanTag* tag) {
    return l2::kEthHeaderLength + (tag != nullptr ? l2::kVlanTagLength : 0);
}
// The tag the VLAN setting asks for, in tag; null when frames go untagged.
const l2::VlanTag* ConfiguredTag(l2::VlanTag& tag);

// Frame builders. `frame` is a zero-filled buffer of kFrameBufferSize bytes; each writes
// the addresses, the tag (when given), the length field and the SNAP header with the
// subtype, and returns the frame's length, or 0 when the arguments would not fit.
size_t BuildControlFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                         uint8_t subtype, uint16_t length);
// `count` payload bytes are expected at BodyOffset(tag) + kFileDataOffset already.
size_t FinishFileDataFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                           uint16_t sequence, uint16_t count);
// `count` payload bytes are expected at BodyOffset(tag) + kLoaderDataOffset already.
size_t FinishLoaderDataFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                             uint16_t sequence, uint16_t count, uint16_t length);
// Chunk information or entry point frame carrying n information bytes.
size_t BuildInfoFrame(uint8_t* frame, const uint8_t* src, const uint8_t* dst, const l2::VlanTag* tag,
                      uint8_t subtype, const uint8_t* data, uint32_t n);
// Start frame; the MAC-assigning form (after a version 3 boot ROM with a non-zero
// subversion, length 990) goes to every station and writes the assigned address into dst.
size_t BuildStartFrame(uint8_t* frame, const uint8_t* src, uint8_t* dst, const l2::VlanTag* tag,
                       uint16_t length);

// The port of a transfer and the descriptor that asks it to stop: once `wake` is
// readable (it stays so), every wait ends with L2FWSERVER_ERROR_CANCELLED and no further
// frame is sent. A device may keep the host waiting for minutes (a flash erase), and a
// stop must not wait for that.
struct Link {
    Link(l2::Port& p, int w = -1) : port(p), wake(w) {}  // NOLINT: a bare port is a link
    l2::Port& port;
    int wake;
    bool stopped() const;
};

// Waits up to timeoutMs for a firmware frame with this subtype, from acceptedMac when
// given, passing over everything else. On success *frame (when given) is the frame,
// valid until the port's next receive. A stop ends the wait within its poll, even while
// frames keep arriving.
t_l2fwserverErrorCode ReceivePacket(const Link& link, uint8_t subtype, uint32_t timeoutMs,
                                    const uint8_t* acceptedMac, l2::FrameView* frame = nullptr);
// Sends a frame built above.
t_l2fwserverErrorCode SendPacket(const Link& link, const uint8_t* frame, size_t length);

// `timeout` in seconds. The announcing device's address goes to mac.
t_l2fwserverErrorCode WaitFileRequestAnnouncement(const Link& link, INT32S timeout,
                                                  const uint8_t* acceptedMac, uint8_t* mac);
t_l2fwserverErrorCode WaitEthLoaderAnnouncement(const Link& link, INT32S timeout, uint8_t* mac,
                                                BOOLEAN* newerBootRom);

// Control frames, each sent up to four times until the device acknowledges it.
t_l2fwserverErrorCode SendStartFrame(const Link& link, uint8_t* dst, uint16_t length);
t_l2fwserverErrorCode SendEndFrame(const Link& link, const uint8_t* dst, uint16_t length);
t_l2fwserverErrorCode SendChunkInfoFrame(const Link& link, const uint8_t* dst, const uint8_t* data,
                                         uint32_t n);
t_l2fwserverErrorCode SendEntryPointFrame(const Link& link, const uint8_t* dst, const uint8_t* data,
                                          uint32_t n);
// True when the data acknowledgement of `sequence` came from src in time.
bool WaitForCorrectAck(const Link& link, const uint8_t* src, uint16_t sequence, uint32_t timeoutMs);

// The data phases; frames go to dst from the port's own address.
t_l2fwserverErrorCode SendFile(const Link& link, const uint8_t* dst, FILE* f);
t_l2fwserverErrorCode SendEthLoaderFile(const Link& link, const uint8_t* dst, FILE* f, uint16_t frameLength);
t_l2fwserverErrorCode SendChunksFile(const Link& link, const uint8_t* dst, FILE* f);
t_l2fwserverErrorCode SendChunk(const Link& link, const uint8_t* dst, FILE* f, uint32_t chunkSize,
                                uint16_t* sequence);

// Opens a firmware or loader file for reading: L2FWSERVER_ERROR_OPENING_FILE when it
// cannot be opened or is not a regular file.
t_l2fwserverErrorCode OpenFirmwareFile(const CHAR* path, FILE** f);

// Values of the last boot-ROM announcement.
uint16_t RomVersionGet();
uint16_t RomSubversionGet();

}  // namespace kivo::fw

#endif
