// Opening the files of a firmware start and the failure texts of what can go wrong.
#include "fw_open.h"

#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <string>

#include "fw_chunks.h"
#include "requester_file.h"

namespace kivo::fw {

namespace {

// Who the service reads files as: its user and group names (numbers when they have
// none). A file it cannot read is almost always one its user may not open, and access is
// to be given to this user, not to the person who asked: the packaged service runs as its
// own system user.
struct ServiceIdentity {
    std::string user;
    std::string group;
};
ServiceIdentity ServiceIdentityGet() {
    std::array<char, 4096> buf{};
    ServiceIdentity id{std::to_string(geteuid()), std::to_string(getegid())};
    passwd pw{};
    passwd* pwp = nullptr;
    if (getpwuid_r(geteuid(), &pw, buf.data(), buf.size(), &pwp) == 0 && pwp != nullptr) id.user = pw.pw_name;
    group gr{};
    group* grp = nullptr;
    if (getgrgid_r(getegid(), &gr, buf.data(), buf.size(), &grp) == 0 && grp != nullptr)
        id.group = gr.gr_name;
    return id;
}

// Why a file the requester's rights did not open cannot be read, in words.
Status AccessFailure(const Requester& requester, const RequesterFile& file, const char* path,
                     const char* what) {
    switch (file.access) {
        case FileAccess::kOk:
            break;
        case FileAccess::kMissing:
            return Because(Reason::kFileMissing, "%s %s does not exist; check the path", what, path);
        case FileAccess::kNotRegular:
            return Because(Reason::kFileNotRegular, "%s %s is not a regular file; name the image file itself",
                           what, path);
        case FileAccess::kNotAllowed:
            if (!requester.known)
                return Because(Reason::kNotAllowed,
                               "%s %s was not read: the user who sent the request could not be identified; "
                               "send it from a local socket of your own",
                               what, path);
            return Because(Reason::kNotAllowed,
                           "%s %s is not readable by user %u, who asked for it (files are read with the "
                           "rights of the requesting user); make it readable for that user",
                           what, path, static_cast<unsigned>(requester.uid));
        case FileAccess::kUnreadable: {
            const ServiceIdentity id = ServiceIdentityGet();
            return Because(Reason::kFileUnreadable,
                           "%s %s cannot be read by the service, which runs as user %s (%s): make it "
                           "readable to group %s (chgrp %s FILE; chmod g+r FILE; the directories above "
                           "it searchable), or copy it to a place user %s can read",
                           what, path, id.user.c_str(),
                           file.error != 0 ? std::strerror(file.error) : "it changed while being opened",
                           id.group.c_str(), id.group.c_str(), id.user.c_str());
        }
    }
    return Status{};
}

// The size checks: readable, countable in 32 bits, not empty.
t_l2fwserverErrorCode CheckSize(int fd, const char* path, const char* what, Status& failure) {
    struct stat st;
    if (fstat(fd, &st) != 0) {
        failure = Because(Reason::kFileUnreadable, "%s %s cannot be read by the service (%s); check it", what,
                          path, std::strerror(errno));
        return L2FWSERVER_ERROR_READING_FILE;
    }
    // The transfer counts its bytes in 32 bits, on the wire and in the status reply.
    if (static_cast<uint64_t>(st.st_size) > UINT32_MAX) {
        failure =
            Because(Reason::kFileTooLarge,
                    "%s %s holds %lld bytes, more than the 4294967295 a transfer can carry; check the file",
                    what, path, static_cast<long long>(st.st_size));
        return L2FWSERVER_ERROR_READING_FILE;
    }
    // An empty transfer would end in success with nothing sent.
    if (st.st_size == 0) {
        failure = Because(Reason::kFileEmpty, "%s %s is empty (0 bytes); name a file that holds the image",
                          what, path);
        return L2FWSERVER_ERROR_READING_FILE;
    }
    return L2FWSERVER_ERROR_NONE;
}

t_l2fwserverErrorCode CheckMagic(int fd, const char* path, const char* what, Status& failure) {
    std::array<uint8_t, 4> word{};
    if (pread(fd, word.data(), word.size(), kChunkFileMagicOffset) != static_cast<ssize_t>(word.size()) ||
        word != kChunkFileMagic) {
        failure = Because(Reason::kFileBadMagic,
                          "%s %s has no magic word AA 55 AA 55 at byte %ld, so it is no chunked firmware "
                          "file for an Ethernet boot; check that the right file is named",
                          what, path, kChunkFileMagicOffset);
        return L2FWSERVER_ERROR_MAGIC_WORD;
    }
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace

t_l2fwserverErrorCode OpenChecked(const Requester& requester, const char* path, const char* what,
                                  bool chunked, FilePtr& out, Status& failure) {
    RequesterFile file = OpenAsRequester(requester, path);
    if (file.access != FileAccess::kOk) {
        failure = AccessFailure(requester, file, path, what);
        return L2FWSERVER_ERROR_OPENING_FILE;
    }
    t_l2fwserverErrorCode r = CheckSize(file.fd.get(), path, what, failure);
    if (r == L2FWSERVER_ERROR_NONE && chunked) r = CheckMagic(file.fd.get(), path, what, failure);
    if (r != L2FWSERVER_ERROR_NONE) return r;
    FILE* f = fdopen(file.fd.get(), "rb");
    if (f == nullptr) {
        failure =
            Because(Reason::kInternal, "%s %s could not be opened (out of memory); start again", what, path);
        return L2FWSERVER_ERROR_MALLOC;
    }
    file.fd.Release();
    out.reset(f);
    return L2FWSERVER_ERROR_NONE;
}

}  // namespace kivo::fw
