// The plumbing under the routes: the request queue to kivohost, the folder of uploaded
// images and the events the pages listen to.
#include "plumbing.h"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "errors.h"

namespace kivoweb {

std::string IsoTime(std::chrono::system_clock::time_point t) {
    std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

Uploads::Uploads(const std::filesystem::path& parent) {
    std::string tmpl = (parent / "kivo-web-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("cannot make a folder for uploaded images in " + parent.string() + ": " +
                                 std::strerror(errno));
    dir_ = tmpl;
    // The service opens a file with its own rights once it has checked ours: its group
    // may pass (x) but not list (r), and the file names are random.
    if (chmod(dir_.c_str(), 0710) != 0)
        throw std::runtime_error("cannot set the mode of " + dir_.string() + ": " + std::strerror(errno));
}

Uploads::~Uploads() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string Uploads::Save(const std::string& content, const std::string& what) {
    unsigned char rnd[12];
    if (getrandom(rnd, sizeof(rnd), 0) != static_cast<ssize_t>(sizeof(rnd)))
        Fail(503, "Cannot store the uploaded " + what + ": no random name.", "Try again.");
    std::string name;
    {
        std::lock_guard lk(mutex_);
        name = std::to_string(++counter_) + "-";
    }
    static const char* hex = "0123456789abcdef";
    for (unsigned char c : rnd) name += {hex[c >> 4], hex[c & 15]};
    std::string path = (dir_ / (name + ".bin")).string();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) Fail(503, "Cannot store the uploaded " + what + ": " + std::strerror(errno) + ".");
    bool ok = fchmod(fd, 0640) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    const int saved = errno;
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(path.c_str());
        Fail(503, "Cannot store the uploaded " + what + ": " + std::strerror(saved) + ".",
             "Check the free space of " + dir_.parent_path().string() + ".");
    }
    return path;
}

void Uploads::Remove(const std::string& path) {
    unlink(path.c_str());
}

void Events::PublishFirmware(const json& status) {
    std::string text = Dump(status);
    {
        std::lock_guard lk(mutex_);
        if (text == s_.firmware) return;
        s_.firmware = std::move(text);
        ++s_.firmwareSeq;
    }
    cv_.notify_all();
}

void Events::PublishTransfers(const json& list) {
    std::string text = Dump(list);
    {
        std::lock_guard lk(mutex_);
        if (text == s_.transfers) return;
        s_.transfers = std::move(text);
        ++s_.transfersSeq;
    }
    cv_.notify_all();
}

void Events::PublishService(const json& state) {
    std::string text = Dump(state);
    {
        std::lock_guard lk(mutex_);
        if (text == s_.service) return;
        s_.service = std::move(text);
        ++s_.serviceSeq;
    }
    cv_.notify_all();
}

void Events::PublishDiscovery(const json& devices) {
    {
        std::lock_guard lk(mutex_);
        s_.discovery = Dump(devices);
        ++s_.discoverySeq;
    }
    cv_.notify_all();
}

Events::Snapshot Events::Wait(const Snapshot& seen, std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    cv_.wait_for(lk, timeout, [&] {
        return s_.stopping || s_.firmwareSeq != seen.firmwareSeq || s_.discoverySeq != seen.discoverySeq ||
               s_.serviceSeq != seen.serviceSeq || s_.transfersSeq != seen.transfersSeq;
    });
    return s_;
}

Events::Snapshot Events::Current() {
    std::lock_guard lk(mutex_);
    return s_;
}

void Events::Stop() {
    {
        std::lock_guard lk(mutex_);
        s_.stopping = true;
    }
    cv_.notify_all();
}

bool Events::Attach(size_t limit) {
    std::lock_guard lk(mutex_);
    if (streams_ >= limit) return false;
    ++streams_;
    return true;
}

void Events::Detach() {
    std::lock_guard lk(mutex_);
    --streams_;
}
}  // namespace kivoweb
