// The chunked firmware file walker of an Ethernet boot: header, magic, records (size
// word, offsets, data), terminator and entry point, read from the file as it is sent.
// A peer thread plays the loader on the other end of a socket pair and acknowledges
// every frame at once, so the walk goes as far as the file lets it.
// Input: the file.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <thread>
#include <vector>

#include "fw_frames.h"
#include "l2fwserver.h"
#include "log.h"
#include "port.h"

using namespace kivo;

namespace {
l2::Port port;
const uint8_t kLoader[6] = {0, 0x13, 0x9D, 0, 0, 2};

// Answers each frame with its acknowledgement: addresses swapped, the subtype (byte 21
// of an untagged frame) turned into its answer, the sequence number kept in place.
void Loader(int fd) {
    uint8_t frame[2048];
    for (;;) {
        const ssize_t n = recv(fd, frame, sizeof(frame), 0);
        if (n <= 0) return;
        if (n < 22) continue;
        uint8_t mac[6];
        std::memcpy(mac, frame, 6);
        std::memcpy(frame, frame + 6, 6);
        std::memcpy(frame + 6, mac, 6);
        frame[21] = frame[21] == fw::kSubtypeData ? fw::kSubtypeDataAck : static_cast<uint8_t>(frame[21] + 1);
        send(fd, frame, static_cast<size_t>(n), 0);
    }
}
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LogSinkSet([](LogStream, std::string_view) {});
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    port = l2::Port::Adopt(fds[0], l2::Mac{2, 0, 0, 0, 0, 1});
    std::thread(Loader, fds[1]).detach();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0 || size > 1 << 20) return 0;
    std::vector<uint8_t> bytes(data, data + size);
    FILE* f = fmemopen(bytes.data(), bytes.size(), "rb");
    if (f == nullptr) return 0;
    fw::SendChunksFile(port, kLoader, f);
    std::fclose(f);
    port.Drain();
    return 0;
}
