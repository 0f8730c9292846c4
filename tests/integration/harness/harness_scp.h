// A scripted SCP device for in-process tests of the SCP client: a link-layer port on
// an interface inside a namespace, a thread that hands every SCP frame addressed to the
// device to a test-supplied handler and sends back the frames it returns. Its frame
// and item codec is written from the wire layout, with OpenSSL for the cipher.
#ifndef KIVO_HARNESS_SCP_H
#define KIVO_HARNESS_SCP_H

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "harness.h"
#include "port.h"
#include "unique_fd.h"

namespace kivotest {

// One received SCP request, taken apart.
struct ScpRequest {
    Bytes frame;
    Mac dst{};
    Mac src{};
    uint16_t lengthField = 0;
    uint8_t opcode = 0;
    uint8_t opNumber = 0;
    uint8_t seq = 0;
    uint8_t lastItem = 0;
    uint16_t payloadLength = 0;
    uint32_t crc = 0;
    Bytes payload;  // as on the wire (possibly enciphered)
};

// Item builders: length (BE16, bytes after it), item type, sub-type, content.
Bytes ScpItem(uint8_t type, uint8_t sub, const Bytes& content);
Bytes ScpName(const std::string& name);
Bytes ScpValue(uint8_t paramType, const Bytes& value);
Bytes ScpStatus(int32_t status);
Bytes Concat(std::initializer_list<Bytes> parts);

// Check value: CRC-32 table, preset all ones, no final inversion (bitwise here).
uint32_t ScpCrc(const Bytes& data);
// Key material: SHA-256 of the password, or the legacy hash.
Bytes ScpKey(const std::string& password, bool legacy);
// 3DES-EDE-CBC over whole blocks with key bytes 0-23 and IV bytes 24-31.
Bytes ScpEncrypt(const Bytes& plain, const Bytes& key);
Bytes ScpDecrypt(const Bytes& cipher, const Bytes& key);
// Pads with 0xE6 to a multiple of 8.
Bytes ScpPad(const Bytes& items);

// Options of one reply frame built by ScpReply.
struct ScpReplyShape {
    uint8_t opcode = 4;
    int seq = -1;       // -1: the request's (always 1 for a first reply)
    int opNumber = -1;  // -1: the request's
    bool last = true;
    const Bytes* key = nullptr;  // pad, then encipher with this key material
    bool badCrc = false;
    int lengthExtra = 0;       // payload_length claims this many bytes more than sent
    const Mac* src = nullptr;  // default: the request's destination (the device)
    const Mac* dst = nullptr;  // default: the request's source (the host)
    uint8_t frameType = 0x16;
};
Bytes ScpReply(const ScpRequest& req, const Bytes& items, const ScpReplyShape& shape);

class ScpPeer {
   public:
    using Handler = std::function<std::vector<Bytes>(const ScpRequest&)>;
    // Listens on ifname inside ns for SCP frames sent to deviceMac.
    ScpPeer(const Netns& ns, const std::string& ifname, const Mac& deviceMac, Handler handler);
    ~ScpPeer();
    ScpPeer(const ScpPeer&) = delete;
    ScpPeer& operator=(const ScpPeer&) = delete;

    std::vector<ScpRequest> Requests();
    size_t RequestCount();
    // Sends frame every period until stopped (noise for the client to skip).
    void Tick(const Bytes& frame, std::chrono::milliseconds period);
    // Decrypted payload of an enciphered request.
    static Bytes Plain(const ScpRequest& req, const Bytes& key) { return ScpDecrypt(req.payload, key); }

   private:
    void Loop();
    kivo::l2::Port port_;
    kivo::UniqueFd wake_;
    Mac mac_;
    Handler handler_;
    std::mutex lock_;
    std::vector<ScpRequest> requests_;
    Bytes tick_;
    std::chrono::milliseconds period_{0};
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

}  // namespace kivotest

#endif
