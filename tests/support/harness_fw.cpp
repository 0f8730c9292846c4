// Firmware-server helpers for the integration tests.
#include "harness_fw.h"

#include <fstream>
#include <sstream>
#include <thread>

#include "fw_test_server.h"

namespace kivotest {

Bytes FwStartBody(const std::string& ifName, uint16_t vlan, const Mac& deviceMac, const std::string& fwFile,
                  const std::string& loaderFile) {
    Bytes b;
    PutU8(b, static_cast<uint8_t>(ifName.size()));
    PutText(b, ifName);
    PutBe16(b, vlan);
    PutMac(b, deviceMac);
    PutBe16(b, static_cast<uint16_t>(fwFile.size()));
    PutText(b, fwFile);
    PutBe16(b, static_cast<uint16_t>(loaderFile.size()));
    PutText(b, loaderFile);
    return b;
}

std::optional<FwStatus> FwStatusGet(UdpClient& client, uint8_t seq) {
    auto reply = client.Request(seq, 8, {}, std::chrono::seconds(5));
    if (!reply || reply->size() != 13 || (*reply)[3] != 8) return std::nullopt;
    const Bytes& r = *reply;
    FwStatus s;
    s.state = r[4];
    s.uploaded = (uint32_t{r[5]} << 24) | (uint32_t{r[6]} << 16) | (uint32_t{r[7]} << 8) | r[8];
    s.total = (uint32_t{r[9]} << 24) | (uint32_t{r[10]} << 16) | (uint32_t{r[11]} << 8) | r[12];
    return s;
}

std::optional<FwStatus> FwPollUntilFinal(UdpClient& client, std::chrono::milliseconds timeout,
                                         std::vector<uint8_t>* states, std::chrono::milliseconds period) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    uint8_t seq = 0;
    for (;;) {
        auto s = FwStatusGet(client, ++seq);
        if (s && states && (states->empty() || states->back() != s->state)) states->push_back(s->state);
        if (s && (s->state == 5 || s->state == 6)) return s;
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(period);
    }
}

t_l2fwserverState FwWaitFinal(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const t_l2fwserverState s = L2FwServerStateGet();
        if (s == L2FWSERVER_STATE_SUCCESSFUL || s == L2FWSERVER_STATE_ERROR) return s;
        if (std::chrono::steady_clock::now() >= deadline) return s;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

std::vector<Bytes> ReadCapture(const std::string& path, const std::string& dir) {
    std::vector<Bytes> frames;
    std::ifstream in(path);
    std::string line;
    while (std::getline(in, line)) {
        std::istringstream ls(line);
        std::string d, hex;
        ls >> d >> hex;
        if (d != dir) continue;
        Bytes f;
        for (size_t i = 0; i + 1 < hex.size(); i += 2)
            f.push_back(static_cast<uint8_t>(std::stoul(hex.substr(i, 2), nullptr, 16)));
        frames.push_back(f);
    }
    return frames;
}

Bytes Untagged(const Bytes& frame) {
    if (frame.size() >= 16 && frame[12] == 0x81 && frame[13] == 0x00) {
        Bytes b(frame.begin(), frame.begin() + 12);
        b.insert(b.end(), frame.begin() + 16, frame.end());
        return b;
    }
    return frame;
}

uint8_t FwSubtype(const Bytes& frame) {
    Bytes u = Untagged(frame);
    return u.size() > 21 ? u[21] : 0xFF;
}

Bytes ReadBinary(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

std::string AsString(const Bytes& b) {
    return std::string(b.begin(), b.end());
}

Bytes PatternBytes(size_t n, uint32_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i) {
        seed = seed * 1664525u + 1013904223u;
        b[i] = static_cast<uint8_t>(seed >> 24);
    }
    return b;
}

Bytes ChunkedImage::File() const {
    Bytes f = PatternBytes(68, 77);
    f.insert(f.end(), magic.begin(), magic.end());
    Bytes skipped = PatternBytes(8, 78);
    f.insert(f.end(), skipped.begin(), skipped.end());
    for (const auto& r : records) {
        f.insert(f.end(), r.info.begin(), r.info.end());
        f.insert(f.end(), r.offset.begin(), r.offset.end());
        f.insert(f.end(), r.data.begin(), r.data.end());
    }
    if (terminator) {
        for (int i = 0; i < 4; ++i) f.push_back(0);
        f.insert(f.end(), entry.begin(), entry.end());
    }
    return f;
}

Bytes ChunkedImage::Received() const {
    Bytes out;
    for (const auto& r : records) {
        out.insert(out.end(), r.offset.begin(), r.offset.end());
        uint32_t n = static_cast<uint32_t>(r.data.size());
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        out.insert(out.end(), r.data.begin(), r.data.end());
    }
    out.insert(out.end(), entry.begin(), entry.end());
    return out;
}

}  // namespace kivotest
