// Hardware address of a host interface.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstring>

#include "device.h"

namespace {
// Closes the descriptor on every path out.
struct FdCloser {
    int fd;
    ~FdCloser() {
        if (fd >= 0) close(fd);
    }
};
}  // namespace

INT32S MacAddressGet(const CHAR* adapter, INT8U* mac) {
    if (adapter == nullptr || mac == nullptr) return -1;
    // A name that does not fit ifr_name with its terminator would be cut and could
    // name another interface; refuse it.
    if (strnlen(adapter, IFNAMSIZ) >= IFNAMSIZ) return -1;
    FdCloser sock{socket(AF_INET, SOCK_DGRAM, 0)};
    if (sock.fd < 0) return -1;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, adapter, IFNAMSIZ - 1);
    if (ioctl(sock.fd, SIOCGIFHWADDR, &ifr) < 0) return -1;
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}
