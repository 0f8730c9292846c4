// The firmware frames and their exchanges, private to the firmware server: the frame
// layouts, receiving with its filter, the acknowledged control frames and the data loops,
// on the port of a transfer. Tests reach them through kivo_fw_internal.
#ifndef KIVO_FW_FRAMES_H
#define KIVO_FW_FRAMES_H

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>
#include <utility>

#include "fw_chunks.h"
#include "l2fwserver.h"
#include "port.h"

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
// What a boot ROM's announcement told: its version, subversion and chip identifier (the
// announcement's eight chip bytes, first byte lowest).
struct BootRom {
    uint16_t version = 0;
    uint16_t subversion = 0;
    uint64_t chip = 0;
};

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
// subversion, length 990) goes to every station and writes the assigned address, chosen
// by the settings, into dst.
size_t BuildStartFrame(uint8_t* frame, const uint8_t* src, uint8_t* dst, const l2::VlanTag* tag,
                       uint16_t length, const BootRom& rom = {}, const TransferSettings& settings = {});

// What a transfer has sent, for the status: written by the transfer's thread, read by
// anyone.
struct Progress {
    std::atomic<uint32_t> sent{0};  // bytes acknowledged
    std::atomic<uint32_t> total{0};
    std::atomic<uint32_t> retransmissions{0};
};

// What the exchanges below run over: the transfer's port, the descriptor that asks it to
// stop, its counts (none: counted nowhere), its settings, the boot ROM it talks to and the
// file it sends, named in the failure texts. Once `wake` is readable (it stays so) every
// wait ends with L2FWSERVER_ERROR_CANCELLED and no further frame is sent: a device may
// keep the host waiting for minutes (a flash erase), and a stop must not wait for that.
struct Link {
    Link(l2::Port& p, int w = -1, Progress* c = nullptr, TransferSettings s = {})  // NOLINT
        : port(p), wake(w), progress(c), settings(std::move(s)) {}
    l2::Port& port;
    int wake;
    Progress* progress;
    TransferSettings settings;
    BootRom rom{};
    const char* file = "the file";
    // The words of the transfer's first trouble, noted by whichever step saw it.
    mutable Status words;
    bool stopped() const;
    // The tag of every frame sent; null when frames go untagged.
    const l2::VlanTag* tag() const { return settings.vlan ? &*settings.vlan : nullptr; }
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
// The announcing boot ROM's values go to rom (when given), even when they are refused.
t_l2fwserverErrorCode WaitEthLoaderAnnouncement(const Link& link, INT32S timeout, uint8_t* mac,
                                                BOOLEAN* newerBootRom, BootRom* rom = nullptr);

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

// Frame body lengths of the control frames and of the loader's data frames by boot ROM.
inline constexpr uint16_t kControlFrameLength = 46;
inline constexpr uint16_t kLoaderFrameOlderRom = 222;
inline constexpr uint16_t kLoaderFrameNewerRom = 990;

// Opens the port of a transfer, noting what went wrong with the interface; `who` names
// the operation in the line a socket that cannot be bound leaves.
t_l2fwserverErrorCode OpenPort(const Link& link, const char* ifName, const char* who);
std::string MacText(const uint8_t* mac);

}  // namespace kivo::fw

#endif
