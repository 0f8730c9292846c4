#include "requester.h"

#include <grp.h>
#include <pwd.h>
#include <unistd.h>

#include <algorithm>

namespace kivo {

bool Requester::inGroup(gid_t g) const {
    return known && (gid == g || std::find(groups.begin(), groups.end(), g) != groups.end());
}

Requester RequesterForUid(uid_t uid) {
    Requester r;
    r.known = true;
    r.uid = uid;
    r.gid = static_cast<gid_t>(-1);
    long size = sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buf(size > 0 ? static_cast<size_t>(size) : 16384);
    struct passwd pw;
    struct passwd* found = nullptr;
    if (getpwuid_r(uid, &pw, buf.data(), buf.size(), &found) != 0 || found == nullptr) return r;
    r.gid = pw.pw_gid;
    int count = 32;
    std::vector<gid_t> groups(static_cast<size_t>(count));
    if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) {
        groups.resize(static_cast<size_t>(count));
        if (getgrouplist(pw.pw_name, pw.pw_gid, groups.data(), &count) < 0) count = 0;
    }
    groups.resize(static_cast<size_t>(count));
    r.groups = std::move(groups);
    return r;
}

}  // namespace kivo
