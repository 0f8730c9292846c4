// Hardware address of a host interface.
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <cstring>
#include <string_view>

#include "device.h"
#include "kivo_protocol.h"
#include "unique_fd.h"

INT32S MacAddressGet(const CHAR* adapter, INT8U* mac) {
    if (adapter == nullptr || mac == nullptr) return -1;
    // A name that does not fit ifr_name with its terminator would be cut and could
    // name another interface; refuse it.
    if (!kivo::protocol::InterfaceNameFits(std::string_view(adapter, strnlen(adapter, IFNAMSIZ)))) return -1;
    const kivo::UniqueFd sock(socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!sock.valid()) return -1;
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    strncpy(ifr.ifr_name, adapter, IFNAMSIZ - 1);
    if (ioctl(sock.get(), SIOCGIFHWADDR, &ifr) < 0) return -1;
    std::memcpy(mac, ifr.ifr_hwaddr.sa_data, 6);
    return 0;
}
