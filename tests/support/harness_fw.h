// Firmware-server helpers for the integration tests: start and status requests,
// status polling as a front-end does it, the simulator's capture files, and image
// files (plain and chunked).
#ifndef KIVO_HARNESS_FW_H
#define KIVO_HARNESS_FW_H

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "l2fwserver.h"
#include "testbed.h"

namespace kivotest {

// Body of a start request (code 6).
Bytes FwStartBody(const std::string& ifName, uint16_t vlan, const Mac& deviceMac, const std::string& fwFile,
                  const std::string& loaderFile = "");

struct FwStatus {
    uint8_t state = 0xFF;
    uint32_t uploaded = 0;
    uint32_t total = 0;
    bool operator==(const FwStatus&) const = default;
};

// One status request (code 8); nullopt when the reply is missing or not 13 bytes
// with reply code 8.
std::optional<FwStatus> FwStatusGet(UdpClient& client, uint8_t seq = 1);

// Polls the status every `period` until the state is 5 or 6 or the time is up.
// Every distinct state seen is appended to *states (in order, without repeats).
std::optional<FwStatus> FwPollUntilFinal(UdpClient& client, std::chrono::milliseconds timeout,
                                         std::vector<uint8_t>* states = nullptr,
                                         std::chrono::milliseconds period = std::chrono::milliseconds(20));

// Polls the in-process firmware server until it reaches a final state (5 or 6), or the
// time is up; the state last seen.
t_l2fwserverState FwWaitFinal(std::chrono::milliseconds timeout);

// Frames of a simulator capture file ("rx <hex>" lines), as received on the wire.
std::vector<Bytes> ReadCapture(const std::string& path, const std::string& dir = "rx");
// The frame without its 802.1Q tag.
Bytes Untagged(const Bytes& frame);
// Subtype (byte 21 of the untagged frame), or 0xFF.
uint8_t FwSubtype(const Bytes& frame);

// Contents of a file (binary).
Bytes ReadBinary(const std::string& path);
std::string AsString(const Bytes& b);

// Deterministic test data.
Bytes PatternBytes(size_t n, uint32_t seed = 1);

// A chunked firmware file: 68 header bytes, magic AA 55 AA 55, 8 skipped bytes,
// records (chunk_info LE32 given as bytes, offset_array, data), terminator, entry.
struct ChunkedImage {
    struct Record {
        Bytes info;    // 4 bytes as they appear in the file
        Bytes offset;  // 4 bytes
        Bytes data;
    };
    std::vector<Record> records;
    Bytes entry = {0xE0, 0xE1, 0xE2, 0xE3};
    Bytes magic = {0xAA, 0x55, 0xAA, 0x55};
    bool terminator = true;
    Bytes File() const;
    // What the simulator stores after a boot: per chunk info, size LE32, data; then entry.
    Bytes Received() const;
};

}  // namespace kivotest

#endif
