// Opening a firmware or loader file on behalf of the local user who asked for it.
//
// The service usually runs with more rights than the people who drive it; without this,
// any local user could have it send (and so disclose to whoever listens on the segment)
// any file the service can read. A file is opened only when the requester could read it
// themselves: a regular file, reached by a path that user may traverse.
#ifndef KIVO_REQUESTER_FILE_H
#define KIVO_REQUESTER_FILE_H

#include "requester.h"
#include "unique_fd.h"

namespace kivo::fw {

enum class FileAccess {
    kOk,
    kMissing,     // no such file, or a path component is no directory
    kNotRegular,  // a directory, device node, FIFO, socket
    kNotAllowed,  // the requester may not read it (or is not known)
    kUnreadable,  // the service itself cannot open or read it
};

struct RequesterFile {
    UniqueFd fd;  // open for reading (blocking), only with kOk
    FileAccess access = FileAccess::kUnreadable;
    int error = 0;  // errno of the step that failed, 0 when none applies
};

// Opens path for reading with the rights of requester:
// - unknown requester: kNotAllowed, the file is not touched;
// - root: opened with the service's own rights, as before requesters were known;
// - otherwise, when the service may switch its filesystem ids (root, or CAP_SETUID and
//   CAP_SETGID), on a short-lived thread that takes the requester's filesystem uid, gid
//   and groups, so that the kernel makes every check, ACLs included; the process's own
//   ids never change;
// - otherwise (a service user holding only CAP_NET_RAW, say), the path is walked one
//   component at a time without following anything blindly, checking the search bit of
//   every directory and the read bit of the file against the requester's uid, gid and
//   groups; a component carrying an access ACL is refused unless the requester owns it
//   (ACL entries can deny what the mode bits allow). The file is then opened with the
//   service's rights, relative to the directory that was checked.
// Device nodes and FIFOs are never opened: the path is looked up first, and only a
// regular file is opened (and checked to be the same file once open).
RequesterFile OpenAsRequester(const Requester& requester, const char* path);

}  // namespace kivo::fw

#endif
