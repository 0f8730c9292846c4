// Opening the files of a firmware start: with the requesting user's rights, and checked
// for what can be checked before anything is sent. Private to the firmware server.
#ifndef KIVO_FW_OPEN_H
#define KIVO_FW_OPEN_H

#include <cstdio>
#include <memory>

#include "l2fwserver.h"
#include "requester.h"

namespace kivo::fw {

struct FileCloser {
    void operator()(FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<FILE, FileCloser>;

// Opens path (named `what` in the failure texts) with the requester's rights; a chunked
// file must carry the chunked file's magic word. On failure, failure says what to do.
t_l2fwserverErrorCode OpenChecked(const Requester& requester, const char* path, const char* what,
                                  bool chunked, FilePtr& out, Status& failure);

}  // namespace kivo::fw

#endif
