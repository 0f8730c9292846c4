#include "requester_lookup.h"

#include <arpa/inet.h>
#include <linux/inet_diag.h>
#include <linux/netlink.h>
#include <linux/sock_diag.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <optional>

#include "unique_fd.h"

namespace {

thread_local struct sockaddr_in currentClient;
thread_local bool haveClient = false;
thread_local bool looked = false;
thread_local kivo::Requester current;

// Sends one dump request for the family's UDP sockets bound to port and collects the
// owners of those whose address is the client's or a wildcard. Returns false when the
// diagnostics could not be read.
bool CollectOwners(int family, const struct sockaddr_in& client, std::optional<uid_t>& owner,
                   bool& conflict) {
    kivo::UniqueFd fd(socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG));
    if (!fd.valid()) return false;
    struct {
        nlmsghdr header;
        inet_diag_req_v2 request;
    } message;
    std::memset(&message, 0, sizeof(message));
    message.header.nlmsg_len = sizeof(message);
    message.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    message.header.nlmsg_flags = NLM_F_REQUEST | NLM_F_DUMP;
    message.request.sdiag_family = static_cast<uint8_t>(family);
    message.request.sdiag_protocol = IPPROTO_UDP;
    message.request.idiag_states = ~0u;
    struct sockaddr_nl kernel;
    std::memset(&kernel, 0, sizeof(kernel));
    kernel.nl_family = AF_NETLINK;
    if (sendto(fd.get(), &message, sizeof(message), 0, reinterpret_cast<struct sockaddr*>(&kernel),
               sizeof(kernel)) < 0)
        return false;

    const uint16_t port = client.sin_port;  // network order, as the diagnostics report it
    const uint32_t address = client.sin_addr.s_addr;
    alignas(nlmsghdr) char buf[16384];
    for (;;) {
        const ssize_t n = recv(fd.get(), buf, sizeof(buf), 0);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        int left = static_cast<int>(n);
        for (auto* h = reinterpret_cast<nlmsghdr*>(buf); NLMSG_OK(h, left); h = NLMSG_NEXT(h, left)) {
            if (h->nlmsg_type == NLMSG_DONE) return true;
            if (h->nlmsg_type == NLMSG_ERROR) return false;
            if (h->nlmsg_len < NLMSG_LENGTH(sizeof(inet_diag_msg))) continue;
            const auto* m = static_cast<const inet_diag_msg*>(NLMSG_DATA(h));
            if (m->id.idiag_sport != port) continue;
            bool match = false;
            if (family == AF_INET) {
                match = m->id.idiag_src[0] == address || m->id.idiag_src[0] == 0;
            } else {
                // An IPv6 socket receives IPv4 traffic as mapped addresses, or on "::".
                const uint32_t* a = m->id.idiag_src;
                const bool any = a[0] == 0 && a[1] == 0 && a[2] == 0 && a[3] == 0;
                const bool mapped = a[0] == 0 && a[1] == 0 && a[2] == htonl(0xFFFF) && a[3] == address;
                match = any || mapped;
            }
            if (!match) continue;
            if (owner && *owner != m->idiag_uid) conflict = true;
            owner = m->idiag_uid;
        }
        if (n == 0) return false;
    }
}

}  // namespace

kivo::Requester RequesterOfDatagram(const struct sockaddr_in& client) {
    std::optional<uid_t> owner;
    bool conflict = false;
    const bool v4 = CollectOwners(AF_INET, client, owner, conflict);
    const bool v6 = CollectOwners(AF_INET6, client, owner, conflict);
    if ((!v4 && !v6) || conflict || !owner) return kivo::Requester{};
    return kivo::RequesterForUid(*owner);
}

void CurrentClientSet(const struct sockaddr_in& client) {
    currentClient = client;
    haveClient = true;
    looked = false;
}

const kivo::Requester& CurrentRequester() {
    if (!looked) {
        current = haveClient ? RequesterOfDatagram(currentClient) : kivo::RequesterForUid(getuid());
        looked = true;
    }
    return current;
}
