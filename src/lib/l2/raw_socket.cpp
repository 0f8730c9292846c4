// Helpers for AF_PACKET raw sockets.
#include "raw_socket.h"

#include <linux/if_packet.h>
#include <sys/socket.h>

#include <cstring>

namespace kivo {

bool RawSocketEnableAuxdata(int fd) {
    int one = 1;
    return setsockopt(fd, SOL_PACKET, PACKET_AUXDATA, &one, sizeof(one)) == 0;
}

ssize_t RawSocketRecv(int fd, uint8_t* buf, size_t cap, int flags, RawFrameInfo* info) {
    if (buf == nullptr || cap == 0) return -1;
    struct sockaddr_ll from;
    std::memset(&from, 0, sizeof(from));
    union {
        struct cmsghdr align;
        char buf[CMSG_SPACE(sizeof(struct tpacket_auxdata))];
    } control;
    struct iovec iov;
    iov.iov_base = buf;
    iov.iov_len = cap;
    struct msghdr msg;
    std::memset(&msg, 0, sizeof(msg));
    msg.msg_name = &from;
    msg.msg_namelen = sizeof(from);
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.buf;
    msg.msg_controllen = sizeof(control.buf);
    ssize_t n = recvmsg(fd, &msg, flags);
    if (n <= 0) return n;
    size_t len = static_cast<size_t>(n);
    if (len > cap) len = cap;  // MSG_TRUNC reports the full length
    if (info != nullptr) {
        info->outgoing = from.sll_pkttype == PACKET_OUTGOING;
        info->tagReinserted = false;
        info->ifindex = from.sll_ifindex;
    }
    for (struct cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != SOL_PACKET || c->cmsg_type != PACKET_AUXDATA) continue;
        if (c->cmsg_len < CMSG_LEN(sizeof(struct tpacket_auxdata))) continue;
        struct tpacket_auxdata aux;
        std::memcpy(&aux, CMSG_DATA(c), sizeof(aux));
        bool tagged = (aux.tp_status & TP_STATUS_VLAN_VALID) != 0 || aux.tp_vlan_tci != 0;
        if (!tagged || len < 12) continue;
        uint16_t tpid = 0x8100;
        if (aux.tp_status & TP_STATUS_VLAN_TPID_VALID) tpid = aux.tp_vlan_tpid;
        // Shift everything after the two addresses by 4 bytes, dropping what no longer fits.
        size_t tail = len - 12;
        size_t newLen = len + 4 > cap ? cap : len + 4;
        if (newLen < 16) break;
        size_t keep = newLen - 16;
        if (keep > tail) keep = tail;
        std::memmove(buf + 16, buf + 12, keep);
        buf[12] = static_cast<uint8_t>(tpid >> 8);
        buf[13] = static_cast<uint8_t>(tpid);
        buf[14] = static_cast<uint8_t>(aux.tp_vlan_tci >> 8);
        buf[15] = static_cast<uint8_t>(aux.tp_vlan_tci);
        len = newLen;
        if (info != nullptr) info->tagReinserted = true;
        break;
    }
    return static_cast<ssize_t>(len);
}

}  // namespace kivo
