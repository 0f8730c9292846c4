// Firmware server receive side: the frame filter of every wait, the file-request and
// boot-ROM announcement readers and the data acknowledgement reader, fed through a real
// port (one end of a socket pair, one whole frame per message) with waits that end at
// once when nothing acceptable is queued.
// Input: one byte choosing the reader and whether a sender address is required, then
// the frame.
#include <sys/socket.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "fw_frames.h"
#include "l2fwserver.h"
#include "log.h"
#include "port.h"

using namespace kivo;

namespace {
int peer = -1;
l2::Port port;
}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    LogSinkSet([](LogStream, std::string_view) {});
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds) != 0) __builtin_trap();
    port = l2::Port::Adopt(fds[0], l2::Mac{2, 0, 0, 0, 0, 1});
    peer = fds[1];
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1 || size > 9000) return 0;
    const uint8_t choice = data[0];
    if (size > 1 && send(peer, data + 1, size - 1, 0) < 0) return 0;
    static const uint8_t device[6] = {0, 0x13, 0x9D, 0, 0, 2};
    const uint8_t* accepted = (choice & 0x10) != 0 ? device : nullptr;
    uint8_t mac[6] = {};
    switch (choice & 3) {
        case 0: {
            l2::FrameView view;
            if (fw::ReceivePacket(port, static_cast<uint8_t>(choice >> 5), 0, accepted, &view) ==
                    L2FWSERVER_ERROR_NONE &&
                (view.data == nullptr || view.length < view.payloadLength))
                __builtin_trap();
            break;
        }
        case 1:
            fw::WaitFileRequestAnnouncement(port, 0, accepted, mac);
            break;
        case 2: {
            BOOLEAN newer = FALSE;
            fw::WaitEthLoaderAnnouncement(port, 0, mac, (choice & 0x20) != 0 ? &newer : nullptr);
            break;
        }
        default:
            fw::WaitForCorrectAck(port, device, static_cast<uint16_t>(choice >> 2), 0);
            break;
    }
    port.Drain();
    return 0;
}
