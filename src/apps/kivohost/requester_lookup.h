// Who sent a datagram: the owner of the sending socket, as the kernel's socket
// diagnostics report it. Loopback datagrams carry no credentials, but the sender's
// socket is in this network namespace, bound to the source address and port the
// datagram came from.
#ifndef KIVO_REQUESTER_LOOKUP_H
#define KIVO_REQUESTER_LOOKUP_H

#include <netinet/in.h>

#include "requester.h"

// The user owning the local UDP socket bound to client's address and port. Unknown when
// no such socket is found, when several sockets owned by different users match, or when
// the diagnostics cannot be asked.
kivo::Requester RequesterOfDatagram(const struct sockaddr_in& client);

// The address the request being handled came from; the request loop sets it before each
// dispatch.
void CurrentClientSet(const struct sockaddr_in& client);
// The requester of the request being handled, looked up on first use (most requests
// never need it, and the lookup walks the kernel's socket table). Handlers called
// directly, without a datagram, act for this process's own user.
const kivo::Requester& CurrentRequester();

#endif
