// L2 firmware server: firmware upgrade of a running device and Ethernet boot of a
// device waiting in its boot ROM, over raw layer-2 frames, on a thread of its own.
//
// One transfer at a time. A transfer owns its port, files, arguments, progress and
// thread; the last one started stays, with its final state, counts and failure, until the
// next start replaces it. The request thread starts it, polls it, may stop it and joins
// it; the transfer's thread is the only writer of its state, error code and counts, all
// atomics. The frames and their exchanges are private (internal/fw_frames.h).
#ifndef KIVO_L2FWSERVER_H
#define KIVO_L2FWSERVER_H

#include <cstdint>
#include <optional>
#include <string>

#include "ethernet.h"
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

namespace kivo::fw {

// What a transfer does. Without a loader it is an upgrade: the image goes to the device
// that asks for a file (`device`, when given: only that one). With a loader it is an
// Ethernet boot: the loader goes to whichever boot ROM announces itself, then the chunked
// firmware file to the loader. `announcementTimeout` seconds apply to each wait for a
// device's file request or announcement.
struct TransferPlan {
    std::string interfaceName{};
    std::string file{};
    std::string loader{};
    int32_t announcementTimeout = 10;
    std::optional<l2::Mac> device{};
    // Whose rights the files are opened with (see requester_file.h); by default the
    // service's own.
    Requester requester{true, 0, 0, {}};
};

// Starts a transfer on a thread of its own and returns once it runs. Refused without any
// change: L2FWSERVER_ERROR_INVALID_STATE while a transfer runs, L2FWSERVER_ERROR_BAD_ARGS
// without an interface or a file, L2FWSERVER_ERROR_MALLOC when memory is short,
// L2FWSERVER_ERROR_THREAD (then in the error state) when no thread can start.
//
// The files are opened and checked here, on the calling thread, before anything is sent:
// a file that is missing, no regular file, not readable by the requester, empty, larger
// than a transfer can carry or (the firmware of an Ethernet boot) without the chunked
// file's magic word ends the transfer at once. NONE is then still returned, as for a
// transfer that failed on its thread, but the server is already in its error state,
// nothing has been sent, and the reason is recorded on the calling thread
// (kivo::FailureRecord, with the path) and kept as the server's last failure.
t_l2fwserverErrorCode Start(TransferPlan plan);

}  // namespace kivo::fw

// Waits for the thread of the last transfer to end. Returns at once when it was already
// joined or none was started.
t_l2fwserverErrorCode L2FwServerWait(void);
// Asks the running transfer to stop: it ends in the error state within one poll of
// whatever it waits for (an announcement, an acknowledgement), sending nothing more. A
// stop while nothing runs is forgotten by the next start. Always 0.
t_l2fwserverErrorCode L2FwServerStop(void);

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

#endif
