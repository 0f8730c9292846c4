// Helpers for AF_PACKET raw sockets.
//
// Linux removes the 802.1Q tag from a received frame before a packet socket sees it
// and reports it only as ancillary data (PACKET_AUXDATA). Modules that must see the
// tag as it was on the wire receive through RawSocketRecv, which puts it back.
#ifndef KIVO_RAW_SOCKET_H
#define KIVO_RAW_SOCKET_H

#include <sys/types.h>

#include <cstddef>
#include <cstdint>

namespace kivo {

// Asks the kernel to report stripped VLAN tags on this socket; false on failure.
bool RawSocketEnableAuxdata(int fd);

struct RawFrameInfo {
    bool outgoing = false;  // a frame this host sent (packet sockets see those too)
    bool tagReinserted = false;
    int ifindex = 0;
};

// Receives one frame into buf (capacity cap). When the kernel stripped an 802.1Q tag,
// the 4 tag bytes are put back after the source address. Returns the number of bytes
// stored (never more than cap; a frame that does not fit is cut at cap), 0 when the
// socket reported an empty read, or -1 with errno set. flags go to recvmsg.
ssize_t RawSocketRecv(int fd, uint8_t* buf, size_t cap, int flags = 0, RawFrameInfo* info = nullptr);

}  // namespace kivo

#endif
