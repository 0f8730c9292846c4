// The chunked firmware file walker of an Ethernet boot: header, magic, records (size
// word, offsets, data), terminator and entry point, read from the file as it is sent.
// A peer thread plays the loader on the other end of a socket pair and acknowledges
// every frame at once, so the walk goes as far as the file lets it.
// Input: the file.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string_view>
#include <vector>

#include "fw_frames.h"
#include "fw_peer.h"
#include "l2fwserver.h"
#include "log.h"
#include "port.h"

using namespace kivo;

namespace {
const uint8_t kLoader[6] = {0, 0x13, 0x9D, 0, 0, 2};
// A loader that acknowledges every frame.
kivotest::FwPeer* peer = nullptr;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LogSinkSet([](LogStream, std::string_view) {});
    peer = new kivotest::FwPeer(kivotest::FwAckAll, l2::Mac{2, 0, 0, 0, 0, 1});
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    if (f == nullptr) return 0;
    fw::SendChunksFile(peer->port(), kLoader, f);
    std::fclose(f);
    peer->port().Drain();
    peer->Clear();
    return 0;
}
