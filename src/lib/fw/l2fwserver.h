// L2 firmware server: firmware upgrade of a running device and Ethernet boot of a
// device waiting in its boot ROM, over raw layer-2 frames, on a thread of its own.
//
// One server per process, one operation at a time. The request thread starts an
// operation, polls its state and byte counts, waits for the thread and may ask for a
// stop; the server thread is the only writer of the state, the error code and the
// progress counters. Every value shared between the two threads is an atomic.
#ifndef KIVO_L2FWSERVER_H
#define KIVO_L2FWSERVER_H

#include <linux/if_packet.h>

#include <cstddef>
#include <cstdio>
#include <vector>

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

// ---- Operations -------------------------------------------------------------------

// Starts an upgrade of the device `mac` (none: the first device that asks) with the
// image `file`, on interface `if_name`, waiting `timeout_announcement` seconds for the
// device's file request. Returns once the server thread runs. Refused without any
// change: L2FWSERVER_ERROR_INVALID_STATE while an operation runs,
// L2FWSERVER_ERROR_BAD_ARGS when a name is missing or empty, L2FWSERVER_ERROR_MALLOC
// when the names cannot be copied.
t_l2fwserverErrorCode L2FwServerUpgradeStart(const CHAR* file, const CHAR* if_name, INT32S timeout_announcement,
                                             const INT8U* mac);
// Starts an Ethernet boot with the loader and the chunked firmware file;
// `timeout_announcement` seconds apply to each of its two announcements.
t_l2fwserverErrorCode L2FwServerEthBootStart(const CHAR* eth_loader_file, const CHAR* fw_file, const CHAR* if_name,
                                             INT32S timeout_announcement);
// Waits for the server thread of the last start to end. Returns at once when it was
// already joined or none was started.
t_l2fwserverErrorCode L2FwServerWait(void);
// Asks the running transfer to stop before its next data frame; always 0.
t_l2fwserverErrorCode L2FwServerStop(void);

// The whole operations, run on the server thread (callable directly as well). The
// result is also stored as the server's error code.
t_l2fwserverErrorCode L2FwServerUpgradeProcess(const CHAR* file, const CHAR* if_name, INT32S timeout_announcement,
                                               const INT8U* device_mac);
t_l2fwserverErrorCode L2FwServerEthBootProcess(const CHAR* eth_loader_file, const CHAR* fw_file, const CHAR* if_name,
                                               INT32S timeout_announcement);

// ---- Status -------------------------------------------------------------------------

t_l2fwserverState L2FwServerStateGet(void);
INT32U L2FwServerUploadedBytesGet(void);
INT32U L2FwServerTotalBytesGet(void);
INT32U L2FwServerRetransmissionsGet(void);
t_l2fwserverErrorCode L2FwServerErrorGet(void);
// Kept for callers of the interface; no operation measures its time, so always 0.
INT32U L2FwServerOperationElapsedTimeGet(void);

// ---- Settings (kept until set again) --------------------------------------------------

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

// ---- Frame layer ----------------------------------------------------------------------
// Used by the operations above on the server thread; declared here so the frame
// layouts and exchanges can be exercised on their own.
namespace l2fw {

constexpr size_t kFrameBufferSize = 1518;
constexpr size_t kHeaderLength = 22;     // addresses, length field, LLC/SNAP, type, subtype
constexpr size_t kFilePayloadOffset = 52;
constexpr size_t kLoaderPayloadOffset = 28;
constexpr INT16U kMaxFilePayload = 1024;
constexpr INT8U kTypeFirmware = 0x0B;

enum : INT8U {
    SUBTYPE_ANNOUNCEMENT = 0x00,
    SUBTYPE_START = 0x01,
    SUBTYPE_START_ACK = 0x02,
    SUBTYPE_DATA = 0x03,
    SUBTYPE_DATA_ACK = 0x04,
    SUBTYPE_END = 0x05,
    SUBTYPE_END_ACK = 0x07,
    SUBTYPE_CHUNK_INFO = 0x0E,
    SUBTYPE_CHUNK_INFO_ACK = 0x0F,
    SUBTYPE_ENTRY_POINT = 0x10,
    SUBTYPE_ENTRY_POINT_ACK = 0x11,
};

// Monotonic milliseconds, cut to 32 bits; differences are taken modulo 2^32.
INT32U GetCurrentTimeInMs();

// Frame builders. `frame` is a zero-filled buffer of kFrameBufferSize bytes; each
// returns the frame's length (14 + ethernet_data_length), or 0 when the arguments
// would not fit the buffer.
size_t BuildControlFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT8U subtype, INT16U length);
// File layout: `count` payload bytes are expected at kFilePayloadOffset already.
size_t FinishFileDataFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT16U sequence,
                           INT16U count);
// Loader layout: `count` payload bytes are expected at kLoaderPayloadOffset already.
size_t FinishLoaderDataFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT16U sequence,
                             INT16U count, INT16U frame_length);
// Chunk information or entry point frame carrying n information bytes.
size_t BuildInfoFrame(INT8U* frame, const INT8U* src_mac, const INT8U* dst_mac, INT8U subtype, const INT8U* data,
                      INT32U n);
// Start frame; the MAC-assigning form (after a version 3 boot ROM with a non-zero
// subversion, length 990) also writes the assigned address into dst_mac.
size_t BuildStartFrame(INT8U* frame, const INT8U* src_mac, INT8U* dst_mac, INT16U length);

// Waits up to `timeout` ms for a frame of the firmware type with this subtype, from
// accepted_mac when given. The frame, without any 802.1Q tag, goes to *packet.
t_l2fwserverErrorCode ReceivePacket(int s, INT8U type, INT8U subtype, INT32U timeout, const INT8U* accepted_mac,
                                    std::vector<INT8U>* packet);
// Sends `length` bytes of `buffer`, tagged when the VLAN is enabled.
t_l2fwserverErrorCode SendPacket(int s, const struct sockaddr_ll* socket_address, const void* buffer,
                                 INT32S length);

t_l2fwserverErrorCode waitFileRequestAnnouncement(int s, INT32S timeout, const INT8U* accepted_mac,
                                                  INT8U* mac_addr);
t_l2fwserverErrorCode waitEthLoaderAnnouncement(int s, INT32S timeout, INT8U* mac_addr, BOOLEAN* newer_boot_rom);

t_l2fwserverErrorCode sendStartFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                     INT8U* dst_mac, INT16U length);
t_l2fwserverErrorCode sendEndFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                   const INT8U* dst_mac, INT16U length);
t_l2fwserverErrorCode sendChunkInfoFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                         const INT8U* dst_mac, const INT8U* chunk_info_data,
                                         INT32U chunk_info_length);
t_l2fwserverErrorCode sendEntryPointFrame(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                          const INT8U* dst_mac, const INT8U* entry_point_data,
                                          INT32U entry_point_length);
// True when the data acknowledgement of `sequence` came from src_mac in time.
bool waitForCorrectAck(int s, const INT8U* src_mac, INT16U sequence, INT32U timeout);

t_l2fwserverErrorCode sendFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                               const INT8U* dst_mac, FILE* f);
t_l2fwserverErrorCode sendEthLoaderFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                        const INT8U* dst_mac, FILE* f, INT16U frame_length);
t_l2fwserverErrorCode sendChunksFile(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                     const INT8U* dst_mac, FILE* f);
t_l2fwserverErrorCode sendChunk(int s, const struct sockaddr_ll* socket_address, const INT8U* src_mac,
                                const INT8U* dst_mac, FILE* f, INT32U chunk_size, INT16U* sequence);

// Opens a firmware or loader file for reading: L2FWSERVER_ERROR_OPENING_FILE when it
// cannot be opened or is not a regular file.
t_l2fwserverErrorCode OpenFirmwareFile(const CHAR* path, FILE** f);

// Values of the last boot-ROM announcement.
INT16U RomVersionGet();
INT16U RomSubversionGet();

}  // namespace l2fw

#endif
