// L2 firmware server: firmware upgrades of running devices and Ethernet boots of devices
// waiting in their boot ROM, over raw layer-2 frames, each transfer on a thread of its own.
//
// A Server runs one transfer per device side by side. A transfer owns its port, files,
// settings (a TransferPlan, copied at start), progress and thread; the transfer's thread
// is the only writer of its state, error code and counts. An upgrade that names no device
// and an Ethernet boot (which takes whichever boot ROM announces itself) run alone. The
// frames and their exchanges are private (internal/fw_frames.h).
#ifndef KIVO_L2FWSERVER_H
#define KIVO_L2FWSERVER_H

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "ethernet.h"
#include "requester.h"
#include "status.h"
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

// The settings one transfer runs with, copied into it at start.
struct TransferSettings {
    // Acknowledgement wait of control frames and base wait of data frames.
    uint32_t retransmissionTimeoutMs = 500;
    // Acknowledgement wait for the resends of the first data frame of an upgrade (the
    // device erases its flash first).
    uint32_t flashEraseTimeoutMs = 360000;
    // Acknowledgement wait for the late resends of the other upgrade data frames.
    uint32_t osupTimeoutMs = 20000;
    // 802.1Q tag of every frame sent; none: untagged.
    std::optional<l2::VlanTag> vlan{};
    // Loader phase of an Ethernet boot: receive only frames whose chip identifier (its
    // first six bytes) is this one.
    std::optional<std::array<uint8_t, 6>> chipId{};
    // Address given to a boot ROM by the MAC-assigning start frame; none: drawn from the
    // 00:13:9D:01:xx:xx pool when randomRomMac, else 00:13:9D:00:05:00.
    std::optional<l2::Mac> romMac{};
    bool randomRomMac = false;
    t_l2fwserverTestMode testMode = L2FWSERVER_TEST_MODE_DISABLED;
};

// The tag for a VLAN id and priority; none (and false) for an id above 4094 or a
// priority above 7, which cannot be sent.
bool VlanTagFor(uint16_t vid, uint8_t pcp, std::optional<l2::VlanTag>& tag);

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
    TransferSettings settings{};

    bool ethBoot() const { return !loader.empty(); }
    // Runs alone: an Ethernet boot, or an upgrade of whichever device asks first.
    bool exclusive() const { return ethBoot() || !device.has_value(); }
};

enum class TransferKind : uint8_t { kUpgrade = 1, kEthBoot = 2 };

// One transfer as a listing shows it.
struct TransferRecord {
    TransferKind kind = TransferKind::kUpgrade;
    std::string interfaceName;
    // The device named at start, or the one that announced itself (none before).
    std::optional<l2::Mac> device;
    t_l2fwserverState state = L2FWSERVER_STATE_WAITING;
    uint32_t sent = 0;
    uint32_t total = 0;
    uint32_t retransmissions = 0;
    t_l2fwserverErrorCode error = L2FWSERVER_ERROR_NONE;
    Status failure;
    // Milliseconds of the monotonic clock (MonotonicMs); end 0 while it runs.
    uint64_t startMs = 0;
    uint64_t endMs = 0;
    bool latest = false;  // the last one started: what Status and Stop address
};

// Milliseconds of the host's monotonic clock (CLOCK_MONOTONIC: since boot, never set).
uint64_t MonotonicMs();

class Transfer;

// The transfers of one service. Thread-safe; the destructor stops every transfer and
// waits for its thread.
class Server {
   public:
    // At most this many run at once; of the finished ones the last kFinishedKept stay
    // listed (the latest always).
    static constexpr size_t kMaxRunning = 32;
    static constexpr size_t kFinishedKept = 16;

    Server();
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Starts a transfer on a thread of its own and returns once it runs; it becomes the
    // latest. Refused without any change: L2FWSERVER_ERROR_INVALID_STATE when Refusal()
    // names a reason (the status carries it), L2FWSERVER_ERROR_BAD_ARGS
    // without an interface or a file, L2FWSERVER_ERROR_MALLOC when memory is short,
    // L2FWSERVER_ERROR_THREAD (then in the error state) when no thread can start.
    //
    // The files are opened and checked here, on the calling thread, before anything is
    // sent: a file that is missing, no regular file, not readable by the requester,
    // empty, larger than a transfer can carry or (the firmware of an Ethernet boot)
    // without the chunked file's magic word ends the transfer at once. NONE is then still
    // returned, as for a transfer that failed on its thread, but it is already in its
    // error state, nothing has been sent, and the reason (with the path) is both in the
    // returned status and kept as its failure.
    Status Start(TransferPlan plan);
    // Why a start of this plan would be refused as busy: an exclusive transfer runs, the
    // plan is exclusive and anything runs, its device has a transfer running, or
    // kMaxRunning run. Empty when it would not.
    std::optional<Status> Refusal(const TransferPlan& plan) const;

    // Waits for the thread of the latest transfer to end. Returns at once when it was
    // already joined or none was started.
    t_l2fwserverErrorCode Wait();
    // Asks the latest transfer to stop: it ends in the error state within one poll of
    // whatever it waits for (an announcement, an acknowledgement), sending nothing more. A
    // stop while nothing runs is forgotten by the next start.
    void Stop();
    // Stops the running transfer to this device (named at start or announced); false when
    // none runs.
    bool StopDevice(const l2::Mac& device);
    // Stops every running transfer; how many were asked to stop.
    size_t StopAll();

    // Whether any transfer runs.
    bool Running() const;
    // The latest transfer's state (idle before the first), counts, error and failure (empty
    // while it runs or after a success). A reader who sees a final state sees that
    // transfer's failure.
    t_l2fwserverState State() const;
    uint32_t UploadedBytes() const;
    uint32_t TotalBytes() const;
    uint32_t Retransmissions() const;
    t_l2fwserverErrorCode Error() const;
    Status LastFailure() const;

    // Every running transfer and the kept finished ones, oldest start first.
    std::vector<TransferRecord> List() const;

   private:
    std::shared_ptr<Transfer> Latest() const;

    mutable std::mutex startMutex_;  // starts one at a time
    mutable std::mutex listMutex_;   // the list and the latest
    // Running transfers and the latest; of the other finished ones only their records.
    std::vector<std::shared_ptr<Transfer>> transfers_;
    std::vector<TransferRecord> finished_;
    std::shared_ptr<Transfer> latest_;
};

}  // namespace kivo::fw

#endif
