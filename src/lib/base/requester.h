// The local user on whose behalf a request runs: the owner of the socket the request
// came from. The service reads files and checks its allow-list with these credentials,
// never with its own.
#ifndef KIVO_REQUESTER_H
#define KIVO_REQUESTER_H

#include <sys/types.h>

#include <vector>

namespace kivo {

struct Requester {
    bool known = false;  // false: the sender could not be identified; nothing is read for it
    uid_t uid = 0;
    gid_t gid = 0;
    std::vector<gid_t> groups;  // supplementary groups, from the user database

    bool isRoot() const { return known && uid == 0; }
    bool inGroup(gid_t g) const;
};

// The requester for uid with its primary and supplementary groups from the user
// database; a uid without an entry keeps only itself (gid = uid's own, no groups).
Requester RequesterForUid(uid_t uid);

}  // namespace kivo

#endif
