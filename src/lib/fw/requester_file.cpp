#include "requester_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <deque>
#include <string>
#include <thread>

namespace kivo::fw {
namespace {

// The 32-bit id calls where the architecture has both forms.
#ifdef SYS_setgroups32
constexpr long kSysSetgroups = SYS_setgroups32;
constexpr long kSysSetfsuid = SYS_setfsuid32;
constexpr long kSysSetfsgid = SYS_setfsgid32;
#else
constexpr long kSysSetgroups = SYS_setgroups;
constexpr long kSysSetfsuid = SYS_setfsuid;
constexpr long kSysSetfsgid = SYS_setfsgid;
#endif

constexpr int kMaxSymlinks = 40;  // as the kernel's own lookup

RequesterFile Fail(FileAccess access, int error) {
    RequesterFile r;
    r.access = access;
    r.error = error;
    return r;
}

// An open or lookup error as seen by the requester (asRequester: the kernel checked with
// the requester's ids) or by the service itself.
FileAccess AccessOfErrno(int error, bool asRequester) {
    switch (error) {
        case ENOENT:
        case ENOTDIR:
            return FileAccess::kMissing;
        case EACCES:
        case EPERM:
            return asRequester ? FileAccess::kNotAllowed : FileAccess::kUnreadable;
        default:
            return FileAccess::kUnreadable;
    }
}

// Looks name up without opening it, so that a device node (opening some has effects)
// or a FIFO is never opened; then opens the regular file found and makes sure the open
// reached the same file.
RequesterFile OpenRegular(int dirFd, const char* name, int lookupFlags, bool asRequester) {
    UniqueFd probe(openat(dirFd, name, O_PATH | O_CLOEXEC | lookupFlags));
    if (!probe.valid()) return Fail(AccessOfErrno(errno, asRequester), errno);
    struct stat looked;
    if (fstat(probe.get(), &looked) != 0) return Fail(FileAccess::kUnreadable, errno);
    if (!S_ISREG(looked.st_mode)) return Fail(FileAccess::kNotRegular, 0);
    UniqueFd fd(openat(dirFd, name, O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | lookupFlags));
    if (!fd.valid()) return Fail(AccessOfErrno(errno, asRequester), errno);
    struct stat opened;
    if (fstat(fd.get(), &opened) != 0) return Fail(FileAccess::kUnreadable, errno);
    // Replaced between the two steps: what was checked is not what would be read.
    if (!S_ISREG(opened.st_mode) || opened.st_dev != looked.st_dev || opened.st_ino != looked.st_ino)
        return Fail(FileAccess::kUnreadable, 0);
    const int flags = fcntl(fd.get(), F_GETFL);
    if (flags < 0 || fcntl(fd.get(), F_SETFL, flags & ~O_NONBLOCK) != 0)
        return Fail(FileAccess::kUnreadable, errno);
    RequesterFile r;
    r.fd = std::move(fd);
    r.access = FileAccess::kOk;
    return r;
}

// Runs the open on a thread of its own that takes the requester's filesystem ids. The
// raw calls change the calling thread only (the C library's wrappers would change every
// thread of the process), and the thread ends with the open. False when the ids could
// not be taken, i.e. the service is not privileged.
bool OpenWithRequesterIds(const Requester& requester, const char* path, RequesterFile& out) {
    bool switched = false;
    auto task = [&]() {
        if (syscall(kSysSetgroups, requester.groups.size(), requester.groups.data()) != 0) return;
        syscall(kSysSetfsgid, requester.gid);
        // An invalid id changes nothing and returns the current one: the way to check.
        if (static_cast<gid_t>(syscall(kSysSetfsgid, static_cast<gid_t>(-1))) != requester.gid) return;
        syscall(kSysSetfsuid, requester.uid);
        if (static_cast<uid_t>(syscall(kSysSetfsuid, static_cast<uid_t>(-1))) != requester.uid) return;
        switched = true;
        out = OpenRegular(AT_FDCWD, path, 0, true);
    };
    try {
        std::thread opener(task);
        opener.join();
    } catch (...) {
        return false;
    }
    return switched;
}

// Whether requester may search (bit 1) or read (bit 4) what st describes, by the mode
// bits; the first class that matches decides, as in the kernel.
bool ModeAllows(const Requester& requester, const struct stat& st, unsigned bit) {
    const unsigned mode = static_cast<unsigned>(st.st_mode);
    if (st.st_uid == requester.uid) return ((mode >> 6) & bit) != 0;
    if (requester.inGroup(st.st_gid)) return ((mode >> 3) & bit) != 0;
    return (mode & bit) != 0;
}

// True when fd's file carries an access ACL, or when that cannot be told.
bool HasAccessAcl(int fd) {
    char link[64];
    std::snprintf(link, sizeof(link), "/proc/self/fd/%d", fd);
    if (getxattr(link, "system.posix_acl_access", nullptr, 0) >= 0) return true;
    return !(errno == ENODATA || errno == ENOTSUP || errno == EOPNOTSUPP);
}

bool Allows(const Requester& requester, int fd, const struct stat& st, unsigned bit) {
    if (!ModeAllows(requester, st, bit)) return false;
    return st.st_uid == requester.uid || !HasAccessAcl(fd);
}

void PushComponents(std::deque<std::string>& parts, const std::string& path) {
    std::deque<std::string> front;
    size_t start = 0;
    while (start <= path.size()) {
        size_t slash = path.find('/', start);
        if (slash == std::string::npos) slash = path.size();
        std::string part = path.substr(start, slash - start);
        if (!part.empty() && part != ".") front.push_back(std::move(part));
        start = slash + 1;
    }
    parts.insert(parts.begin(), front.begin(), front.end());
}

RequesterFile OpenByWalk(const Requester& requester, const char* path) {
    std::deque<std::string> parts;
    PushComponents(parts, path);
    UniqueFd dir(open(path[0] == '/' ? "/" : ".", O_PATH | O_DIRECTORY | O_CLOEXEC));
    if (!dir.valid()) return Fail(AccessOfErrno(errno, false), errno);
    int links = 0;
    while (!parts.empty()) {
        const std::string name = std::move(parts.front());
        parts.pop_front();
        struct stat dirStat;
        if (fstat(dir.get(), &dirStat) != 0) return Fail(FileAccess::kUnreadable, errno);
        if (!Allows(requester, dir.get(), dirStat, 1)) return Fail(FileAccess::kNotAllowed, EACCES);
        UniqueFd next(openat(dir.get(), name.c_str(), O_PATH | O_NOFOLLOW | O_CLOEXEC));
        if (!next.valid()) return Fail(AccessOfErrno(errno, false), errno);
        struct stat st;
        if (fstat(next.get(), &st) != 0) return Fail(FileAccess::kUnreadable, errno);
        if (S_ISLNK(st.st_mode)) {
            if (++links > kMaxSymlinks) return Fail(FileAccess::kUnreadable, ELOOP);
            char target[4096];
            const ssize_t n = readlinkat(next.get(), "", target, sizeof(target));
            if (n <= 0 || static_cast<size_t>(n) >= sizeof(target))
                return Fail(FileAccess::kUnreadable, errno);
            const std::string link(target, static_cast<size_t>(n));
            // A link as the last component must lead to the file itself, not to
            // the directory holding it: nothing left means "open what it names".
            PushComponents(parts, link);
            if (link[0] == '/') {
                dir.Reset(open("/", O_PATH | O_DIRECTORY | O_CLOEXEC));
                if (!dir.valid()) return Fail(FileAccess::kUnreadable, errno);
            }
            if (parts.empty()) return Fail(FileAccess::kNotRegular, 0);  // the link named "/" or "."
            continue;
        }
        if (!parts.empty()) {
            if (!S_ISDIR(st.st_mode)) return Fail(FileAccess::kMissing, ENOTDIR);
            dir = std::move(next);
            continue;
        }
        if (!S_ISREG(st.st_mode)) return Fail(FileAccess::kNotRegular, 0);
        if (!Allows(requester, next.get(), st, 4)) return Fail(FileAccess::kNotAllowed, EACCES);
        RequesterFile r = OpenRegular(dir.get(), name.c_str(), O_NOFOLLOW, false);
        if (r.access != FileAccess::kOk) return r;
        struct stat opened;
        if (fstat(r.fd.get(), &opened) != 0 || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino)
            return Fail(FileAccess::kUnreadable, 0);
        return r;
    }
    // The path names a directory ("/", "x/.", "x/").
    return Fail(FileAccess::kNotRegular, 0);
}

}  // namespace

RequesterFile OpenAsRequester(const Requester& requester, const char* path) {
    if (!requester.known) return Fail(FileAccess::kNotAllowed, 0);
    if (path == nullptr || path[0] == '\0') return Fail(FileAccess::kMissing, ENOENT);
    if (requester.uid == 0) return OpenRegular(AT_FDCWD, path, 0, false);
    // Without a group of its own the requester is judged by the walk, which can leave
    // every group out; switching ids would have to keep the service's group instead.
    if (requester.gid != static_cast<gid_t>(-1)) {
        RequesterFile out;
        if (OpenWithRequesterIds(requester, path, out)) return out;
    }
    return OpenByWalk(requester, path);
}

}  // namespace kivo::fw
