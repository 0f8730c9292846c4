// Scripted SCP device for in-process client tests (see harness_scp.h).
#include "harness_scp.h"

#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "raw_echo.h"

namespace kivotest {

namespace {

void Be16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void Be32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}

Bytes Des3(const Bytes& in, const Bytes& key, bool encrypt) {
    EVP_CIPHER_CTX* ctx = EVP_CIPHER_CTX_new();
    EVP_CipherInit_ex(ctx, EVP_des_ede3_cbc(), nullptr, key.data(), key.data() + 24, encrypt ? 1 : 0);
    EVP_CIPHER_CTX_set_padding(ctx, 0);
    Bytes out(in.size() + 16);
    int n = 0, m = 0;
    EVP_CipherUpdate(ctx, out.data(), &n, in.data(), static_cast<int>(in.size()));
    EVP_CipherFinal_ex(ctx, out.data() + n, &m);
    EVP_CIPHER_CTX_free(ctx);
    out.resize(static_cast<size_t>(n + m));
    return out;
}

}  // namespace

Bytes ScpItem(uint8_t type, uint8_t sub, const Bytes& content) {
    Bytes b;
    Be16(b, static_cast<uint16_t>(content.size() + 2));
    b.push_back(type);
    b.push_back(sub);
    b.insert(b.end(), content.begin(), content.end());
    return b;
}
Bytes ScpName(const std::string& name) {
    return ScpItem(1, 0x0A, Bytes(name.begin(), name.end()));
}
Bytes ScpValue(uint8_t paramType, const Bytes& value) {
    return ScpItem(2, paramType, value);
}
Bytes ScpStatus(int32_t status) {
    Bytes s;
    Be32(s, static_cast<uint32_t>(status));
    return ScpItem(3, 0, s);
}
Bytes Concat(std::initializer_list<Bytes> parts) {
    Bytes out;
    for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
    return out;
}

uint32_t ScpCrc(const Bytes& data) {
    uint32_t crc = 0xFFFFFFFFu;
    for (uint8_t b : data) {
        crc ^= b;
        for (int i = 0; i < 8; ++i) crc = (crc >> 1) ^ (0xEDB88320u & (0u - (crc & 1u)));
    }
    return crc;
}

Bytes ScpKey(const std::string& password, bool legacy) {
    Bytes key(32, 0);
    if (legacy) {
        size_t n = password.size();
        if (n >= 24)
            std::memcpy(key.data(), password.data(), 24);
        else if (n > 0)
            for (size_t k = 0; k < 24; ++k) key[k] = static_cast<uint8_t>(password[k % n]);
    } else {
        SHA256(reinterpret_cast<const unsigned char*>(password.data()), password.size(), key.data());
    }
    return key;
}

Bytes ScpEncrypt(const Bytes& plain, const Bytes& key) {
    return Des3(plain, key, true);
}
Bytes ScpDecrypt(const Bytes& cipher, const Bytes& key) {
    return Des3(cipher, key, false);
}

Bytes ScpPad(const Bytes& items) {
    Bytes p = items;
    while (p.size() % 8 != 0) p.push_back(0xE6);
    return p;
}

Bytes ScpReply(const ScpRequest& req, const Bytes& items, const ScpReplyShape& shape) {
    Bytes payload = shape.key ? ScpPad(items) : items;
    uint32_t crc = ScpCrc(payload);
    if (shape.badCrc) crc = ~crc;
    if (shape.key) payload = ScpEncrypt(payload, *shape.key);
    Bytes msg = {shape.opcode,
                 1,
                 0,
                 static_cast<uint8_t>(shape.opNumber < 0 ? req.opNumber : shape.opNumber),
                 static_cast<uint8_t>(shape.seq < 0 ? 1 : shape.seq),
                 static_cast<uint8_t>(shape.last ? 1 : 0),
                 0,
                 0};
    Be16(msg, static_cast<uint16_t>(payload.size() + shape.lengthExtra));
    Be32(msg, crc);
    msg.insert(msg.end(), payload.begin(), payload.end());
    const Mac& dst = shape.dst ? *shape.dst : req.src;
    const Mac& src = shape.src ? *shape.src : req.dst;
    Bytes frame(dst.begin(), dst.end());
    frame.insert(frame.end(), src.begin(), src.end());
    Be16(frame, static_cast<uint16_t>(msg.size() + 8));
    const uint8_t snap[8] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, shape.frameType, 0x01};
    frame.insert(frame.end(), snap, snap + 8);
    frame.insert(frame.end(), msg.begin(), msg.end());
    while (frame.size() < 60) frame.push_back(0);
    return frame;
}

ScpPeer::ScpPeer(const Netns& ns, const std::string& ifname, const Mac& deviceMac, Handler handler)
    : mac_(deviceMac), handler_(std::move(handler)) {
    kivo::l2::PortOptions options;
    options.promiscuous = true;  // the device's address is not the interface's
    port_ = OpenPort(ns, ifname, options);
    wake_.Reset(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    thread_ = std::thread([this] { Loop(); });
}

ScpPeer::~ScpPeer() {
    stop_ = true;
    uint64_t one = 1;
    if (write(wake_.get(), &one, sizeof(one)) < 0) {
    }
    if (thread_.joinable()) thread_.join();
}

std::vector<ScpRequest> ScpPeer::Requests() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_;
}

size_t ScpPeer::RequestCount() {
    std::lock_guard<std::mutex> g(lock_);
    return requests_.size();
}

void ScpPeer::Tick(const Bytes& frame, std::chrono::milliseconds period) {
    std::lock_guard<std::mutex> g(lock_);
    tick_ = frame;
    period_ = period;
}

void ScpPeer::Loop() {
    auto nextTick = std::chrono::steady_clock::now();
    while (!stop_) {
        int timeout = 50;
        {
            std::lock_guard<std::mutex> g(lock_);
            if (!tick_.empty()) {
                auto now = std::chrono::steady_clock::now();
                if (now >= nextTick) {
                    port_.SendFrame(tick_.data(), tick_.size());
                    nextTick = now + period_;
                }
                timeout = static_cast<int>(
                              std::chrono::duration_cast<std::chrono::milliseconds>(nextTick - now).count()) +
                          1;
            }
        }
        kivo::l2::FrameView view;
        if (port_.Recv(view, kivo::Deadline::AfterMs(timeout), wake_.get()) != kivo::l2::PortStatus::kOk)
            continue;
        const size_t n = view.length;
        const uint8_t* f = view.data;
        if (n < 36 || f[20] != 0x16 || std::memcmp(f, mac_.data(), 6) != 0) continue;
        ScpRequest req;
        req.frame.assign(f, f + n);
        std::memcpy(req.dst.data(), f, 6);
        std::memcpy(req.src.data(), f + 6, 6);
        req.lengthField = static_cast<uint16_t>((f[12] << 8) | f[13]);
        const uint8_t* m = f + 22;
        req.opcode = m[0];
        req.opNumber = m[3];
        req.seq = m[4];
        req.lastItem = m[5];
        req.payloadLength = static_cast<uint16_t>((m[8] << 8) | m[9]);
        req.crc = (static_cast<uint32_t>(m[10]) << 24) | (static_cast<uint32_t>(m[11]) << 16) |
                  (static_cast<uint32_t>(m[12]) << 8) | m[13];
        req.payload.assign(m + 14, m + 14 + std::min<size_t>(n - 36, req.payloadLength));
        {
            std::lock_guard<std::mutex> g(lock_);
            requests_.push_back(req);
        }
        for (const Bytes& reply : handler_(req))
            if (port_.SendFrame(reply.data(), reply.size()) != kivo::l2::PortStatus::kOk)
                std::fprintf(stderr, "ScpPeer: send failed\n");
    }
}

}  // namespace kivotest
