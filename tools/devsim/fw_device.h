// kivo-devsim firmware module, shared between its files: the frame layout as the device
// reads it, the state of a device's transfer, and the steps the frame handlers share.
#ifndef KIVO_DEVSIM_FW_DEVICE_H
#define KIVO_DEVSIM_FW_DEVICE_H

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "sim.h"

namespace devsim::fwdev {

inline constexpr uint8_t kSnap[7] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x0B};
inline constexpr Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

enum : uint8_t {
    ANNOUNCE = 0x00,
    START = 0x01,
    START_ACK = 0x02,
    DATA = 0x03,
    DATA_ACK = 0x04,
    END = 0x05,
    END_ACK = 0x07,
    CHUNK_INFO = 0x0E,
    CHUNK_INFO_ACK = 0x0F,
    ENTRY = 0x10,
    ENTRY_ACK = 0x11,
};

// A received firmware frame, tag removed.
struct FwFrame {
    Bytes b;
    bool tagged = false;
    uint16_t tci = 0;
    size_t wireLen = 0;
    uint8_t subtype() const { return b[21]; }
    Mac dst() const { return Mac{b[0], b[1], b[2], b[3], b[4], b[5]}; }
    Mac src() const { return Mac{b[6], b[7], b[8], b[9], b[10], b[11]}; }
    uint16_t lengthField() const { return static_cast<uint16_t>((b[12] << 8) | b[13]); }
    bool has(size_t n) const { return b.size() >= n; }
    // Little-endian 16-bit field; 0 when the frame is too short.
    uint16_t le16(size_t off) const {
        return has(off + 2) ? static_cast<uint16_t>(b[off] | (b[off + 1] << 8)) : 0;
    }
};

enum class Phase {
    Running,     // running firmware, nothing asked for
    Requesting,  // running firmware, file requests going out
    Receiving,   // upgrade under way
    Rom,         // waiting in the boot ROM
    LoaderRx,    // boot ROM receiving the loader
    LoaderRun,   // the loader runs and asks for the firmware
    FirmwareRx,  // the loader receiving the chunked firmware
};

struct Chunk {
    uint8_t info[4];
    Bytes data;
};

struct FwState {
    bool initialised = false;
    Phase phase = Phase::Running;
    Mac mac{};                    // current address; a boot ROM may be given another one
    Mac host{};                   // the host of the transfer under way
    uint16_t loaderLength = 222;  // ethernet_data_length of loader frames
    uint16_t nextSeq = 1;
    bool erasing = false;
    bool erased = false;
    bool vanished = false;
    long long dataFrames = 0;
    std::map<uint16_t, long long> dropped;
    uint8_t lastControl[8] = {};  // subtype and first bytes of the last control frame, for repeats
    Bytes image;
    Bytes loader;
    std::vector<Chunk> chunks;
    uint8_t entry[4] = {};
    uint64_t requestTimer = 0;
    uint64_t idleTimer = 0;
    int requestsLeft = 0;
};

const char* PhaseName(Phase p);
std::string VlanText(const FwFrame& f);
void SetPhase(Sim& sim, Device& d, FwState& st, Phase p);
void SendAck(Sim& sim, Device& d, FwState& st, uint8_t subtype, uint16_t seq = 0);
// The start acknowledgement, late by fw_start_ack_delay_ms when configured.
void AckStart(Sim& sim, Device& d, FwState& st);
// Writes content to the file named by the device's option key, when it names one.
void SaveFile(Sim& sim, Device& d, const std::string& key, const Bytes& content);
void StopRequests(Sim& sim, FwState& st);
// File requests from running firmware or a running loader, starting after delayMs.
void StartRequests(Sim& sim, Device& d, FwState& st, long long delayMs);
// (Re)starts the time after which a stalled transfer is abandoned.
void ArmIdle(Sim& sim, Device& d, FwState& st);
void BeginTransfer(FwState& st, const Mac& host);

// Start, end, chunk information and entry point frames.
void OnControl(Sim& sim, Device& d, FwState& st, const FwFrame& f);

}  // namespace devsim::fwdev

#endif
