// The firmware server: transfers side by side, one per device, each an object that owns
// its port, files, settings, progress and thread. The file checks of a start are in
// fw_open.cpp.
#include "l2fwserver.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

#include "failpoint.h"
#include "fw_frames.h"
#include "fw_open.h"
#include "unique_fd.h"

namespace kivo::fw {
namespace {

// A failure nothing recorded in more words.
Status GenericFailure(t_l2fwserverErrorCode code) {
    Reason reason = Reason::kInternal;
    switch (code) {
        case L2FWSERVER_ERROR_TIMEOUT:
            reason = Reason::kNoAnswer;
            break;
        case L2FWSERVER_ERROR_CANCELLED:
        case L2FWSERVER_ERROR_TEST_ABORT:
            reason = Reason::kCancelled;
            break;
        case L2FWSERVER_ERROR_ETH_IF:
        case L2FWSERVER_ERROR_ETH_IF_MAC:
            reason = Reason::kNoInterface;
            break;
        case L2FWSERVER_ERROR_ETH_IF_INACTIVE:
            reason = Reason::kInterfaceDown;
            break;
        case L2FWSERVER_ERROR_MAGIC_WORD:
            reason = Reason::kFileBadMagic;
            break;
        case L2FWSERVER_ERROR_OPENING_FILE:
        case L2FWSERVER_ERROR_READING_FILE:
            reason = Reason::kFileUnreadable;
            break;
        case L2FWSERVER_ERROR_ROOM_BOOT:
        case L2FWSERVER_ERROR_ROM_VERSION:
            reason = Reason::kDeviceRefused;
            break;
        default:
            break;
    }
    return Because(reason, "firmware transfer failed (error %d); check the device and start again",
                   static_cast<int>(code));
}

// ---------------------------------------------------------------------------
// The transfer

}  // namespace

class Transfer {
   public:
    explicit Transfer(TransferPlan plan) : plan_(std::move(plan)) {}
    // A transfer still running when the last reference goes is stopped first: its waits
    // end within a poll.
    ~Transfer() {
        Stop();
        Join();
    }
    Transfer(const Transfer&) = delete;
    Transfer& operator=(const Transfer&) = delete;

    bool ready() const { return wake_.valid(); }
    // Opens and checks the files; NONE, or the code and why.
    t_l2fwserverErrorCode OpenFiles(Status& failure) {
        t_l2fwserverErrorCode r = L2FWSERVER_ERROR_NONE;
        if (!plan_.loader.empty())
            r = OpenChecked(plan_.requester, plan_.loader.c_str(), "loader file", false, loader_, failure);
        if (r == L2FWSERVER_ERROR_NONE)
            r = OpenChecked(plan_.requester, plan_.file.c_str(), "firmware file", !plan_.loader.empty(),
                            file_, failure);
        return r;
    }
    // Runs the transfer on its thread; false (and the error state) when none can start.
    bool Launch() {
        bool started = !FailPointHit("fw.thread");
        if (started) {
            try {
                thread_ = std::thread([this] { Run(); });
            } catch (...) {
                started = false;
            }
        }
        if (!started)
            End(L2FWSERVER_ERROR_THREAD,
                Because(Reason::kInternal,
                        "could not start the firmware transfer (no thread); free some resources and "
                        "start again"));
        return started;
    }
    void Stop() { eventfd_write(wake_.get(), 1); }
    // Any thread may join; the first does.
    t_l2fwserverErrorCode Join() {
        std::lock_guard<std::mutex> lock(joinMutex_);
        if (!thread_.joinable()) return L2FWSERVER_ERROR_NONE;
        if (thread_.get_id() == std::this_thread::get_id()) return L2FWSERVER_ERROR_THREAD;
        try {
            thread_.join();
        } catch (...) {
            return L2FWSERVER_ERROR_THREAD;
        }
        return L2FWSERVER_ERROR_NONE;
    }
    // Ends the transfer: the failure and the error code first, so that a reader who sees
    // the final state also sees them.
    void End(t_l2fwserverErrorCode result, Status why) {
        {
            std::lock_guard<std::mutex> lock(failureMutex_);
            failure_ = std::move(why);
        }
        endMs_.store(std::max<uint64_t>(MonotonicMs(), 1));
        error.store(result);
        state.store(result == L2FWSERVER_ERROR_NONE ? L2FWSERVER_STATE_SUCCESSFUL : L2FWSERVER_STATE_ERROR);
    }
    Status failure() const {
        std::lock_guard<std::mutex> lock(failureMutex_);
        return failure_;
    }
    bool running() const {
        const INT32S s = state.load();
        return s != L2FWSERVER_STATE_SUCCESSFUL && s != L2FWSERVER_STATE_ERROR;
    }
    const TransferPlan& plan() const { return plan_; }
    // The device named at start, or the one that announced itself.
    std::optional<l2::Mac> device() const {
        std::lock_guard<std::mutex> lock(failureMutex_);
        return device_;
    }
    TransferRecord Record() const {
        TransferRecord r;
        r.kind = plan_.ethBoot() ? TransferKind::kEthBoot : TransferKind::kUpgrade;
        r.interfaceName = plan_.interfaceName;
        r.endMs = endMs_.load();
        r.state = static_cast<t_l2fwserverState>(state.load());
        r.error = static_cast<t_l2fwserverErrorCode>(error.load());
        r.sent = progress.sent.load();
        r.total = progress.total.load();
        r.retransmissions = progress.retransmissions.load();
        r.startMs = startMs_;
        {
            std::lock_guard<std::mutex> lock(failureMutex_);
            r.device = device_;
            r.failure = failure_;
        }
        return r;
    }

    // Written by the transfer's thread (or by the start before it), read by anyone.
    std::atomic<INT32S> state{L2FWSERVER_STATE_WAITING};
    std::atomic<INT32S> error{L2FWSERVER_ERROR_NONE};
    Progress progress;

   private:
    // An allocation that fails on the way ends the transfer, not the process.
    void Run() {
        t_l2fwserverErrorCode result;
        try {
            result = plan_.loader.empty() ? Upgrade() : EthBoot();
        } catch (const std::bad_alloc&) {
            result = L2FWSERVER_ERROR_MALLOC;
        }
        file_.reset();
        loader_.reset();
        port_.Close();
        Status why;
        if (result != L2FWSERVER_ERROR_NONE) {
            why = link_.words;
            if (!why.explained()) why = GenericFailure(result);
        }
        End(result, std::move(why));
    }

    // Names the file being sent in the failure texts of the exchanges.
    void Label(const char* what, const std::string& path) {
        label_ = std::string(what) + " " + path;
        link_.file = label_.c_str();
    }
    void DeviceLearnt(const l2::Mac& mac) {
        std::lock_guard<std::mutex> lock(failureMutex_);
        device_ = mac;
    }
    void ResetProgress() {
        progress.sent.store(0);
        progress.total.store(0);
        progress.retransmissions.store(0);
    }

    t_l2fwserverErrorCode Upgrade() {
        Label("firmware file", plan_.file);
        const char* if_name = plan_.interfaceName.c_str();
        const INT32S timeout_announcement = plan_.announcementTimeout;
        l2::Mac dst{};
        t_l2fwserverErrorCode result = OpenPort(link_, if_name, "L2FwServerUpgradeProcess");
        if (result == L2FWSERVER_ERROR_NONE) {
            result = WaitFileRequestAnnouncement(link_, timeout_announcement,
                                                 plan_.device ? plan_.device->data() : nullptr, dst.data());
            const std::string device = plan_.device ? "device " + MacText(plan_.device->data()) : "no device";
            if (result == L2FWSERVER_ERROR_TIMEOUT)
                link_.words.Explain(
                    Reason::kNoFileRequest,
                    "%s did not ask for the file within %d s on %s; check that the device is connected and "
                    "waiting for an upgrade, then start again",
                    device.c_str(), static_cast<int>(timeout_announcement), if_name);
            else if (result == L2FWSERVER_ERROR_CANCELLED)
                link_.words.Explain(Reason::kCancelled,
                                    "cancelled by a stop request while %s had not asked for the file",
                                    device.c_str());
            else if (result == L2FWSERVER_ERROR_ROOM_BOOT)
                link_.words.Explain(
                    Reason::kDeviceRefused,
                    "the device that asked on %s is in its boot ROM and cannot be upgraded; start an "
                    "Ethernet boot (with a loader file) instead",
                    if_name);
        }
        if (result == L2FWSERVER_ERROR_NONE) {
            DeviceLearnt(dst);
            state.store(L2FWSERVER_STATE_UPLOADING);
            result = SendStartFrame(link_, dst.data(), kControlFrameLength);
        }
        if (result == L2FWSERVER_ERROR_NONE) result = SendFile(link_, dst.data(), file_.get());
        if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link_, dst.data(), kControlFrameLength);
        return result;
    }

    t_l2fwserverErrorCode EthBoot() {
        const char* if_name = plan_.interfaceName.c_str();
        const INT32S timeout_announcement = plan_.announcementTimeout;
        l2::Mac dst{};
        BOOLEAN newerBootRom = FALSE;
        t_l2fwserverErrorCode result = OpenPort(link_, if_name, "L2FwServerEthBootProcess");
        if (result == L2FWSERVER_ERROR_NONE) {
            result =
                WaitEthLoaderAnnouncement(link_, timeout_announcement, dst.data(), &newerBootRom, &link_.rom);
            if (result == L2FWSERVER_ERROR_TIMEOUT)
                link_.words.Explain(
                    Reason::kNoFileRequest,
                    "no device in its boot ROM asked for the loader within %d s on %s; check that the device "
                    "is connected and in its boot ROM, then start again",
                    static_cast<int>(timeout_announcement), if_name);
            else if (result == L2FWSERVER_ERROR_CANCELLED)
                link_.words.Explain(
                    Reason::kCancelled,
                    "cancelled by a stop request while no device in its boot ROM had asked for the loader");
        }

        // Loader phase.
        const uint16_t loaderFrameLength = newerBootRom ? kLoaderFrameNewerRom : kLoaderFrameOlderRom;
        Label("loader file", plan_.loader);
        if (result == L2FWSERVER_ERROR_NONE) {
            state.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_LOADER);
            DeviceLearnt(dst);
            result = SendStartFrame(link_, dst.data(), loaderFrameLength);
            // A newer boot ROM may have been given an address of its own.
            if (result == L2FWSERVER_ERROR_NONE) DeviceLearnt(dst);
        }
        // Announcements the boot ROM sent before it took the start frame are stale now; one
        // left waiting would be taken for the loader's file request.
        if (result == L2FWSERVER_ERROR_NONE) port_.Drain();
        if (result == L2FWSERVER_ERROR_NONE)
            result = SendEthLoaderFile(link_, dst.data(), loader_.get(), loaderFrameLength);
        if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link_, dst.data(), loaderFrameLength);
        // The chip filter served the loader phase only.
        link_.settings.chipId.reset();

        // Firmware phase: the running loader asks for its file.
        Label("firmware file", plan_.file);
        if (result == L2FWSERVER_ERROR_NONE) {
            result = WaitFileRequestAnnouncement(link_, timeout_announcement, dst.data(), nullptr);
            if (result == L2FWSERVER_ERROR_TIMEOUT)
                link_.words.Explain(
                    Reason::kNoFileRequest,
                    "device %s did not ask for the file within %d s after its loader on %s; check the loader "
                    "file and start again",
                    MacText(dst.data()).c_str(), static_cast<int>(timeout_announcement), if_name);
            else if (result == L2FWSERVER_ERROR_CANCELLED)
                link_.words.Explain(
                    Reason::kCancelled,
                    "cancelled by a stop request while device %s had not asked for the file after its loader",
                    MacText(dst.data()).c_str());
        }
        if (result == L2FWSERVER_ERROR_NONE) {
            ResetProgress();
            state.store(L2FWSERVER_STATE_UPLOADING_ETHBOOT_FW);
            result = SendStartFrame(link_, dst.data(), kControlFrameLength);
        }
        if (result == L2FWSERVER_ERROR_NONE) result = SendChunksFile(link_, dst.data(), file_.get());
        if (result == L2FWSERVER_ERROR_NONE) result = SendEndFrame(link_, dst.data(), kControlFrameLength);
        return result;
    }

    const TransferPlan plan_;
    const uint64_t startMs_ = MonotonicMs();
    std::atomic<uint64_t> endMs_{0};
    UniqueFd wake_{eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)};
    FilePtr file_;
    FilePtr loader_;
    l2::Port port_;
    Link link_{port_, wake_.get(), &progress, plan_.settings};
    std::string label_;
    mutable std::mutex failureMutex_;  // the failure and the device
    Status failure_;
    std::optional<l2::Mac> device_ = plan_.device;
    std::mutex joinMutex_;
    std::thread thread_;
};

// ---------------------------------------------------------------------------
// The server

uint64_t MonotonicMs() {
    struct timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<uint64_t>(ts.tv_sec) * 1000u + static_cast<uint64_t>(ts.tv_nsec) / 1000000u;
}

Server::Server() = default;

Server::~Server() {
    std::vector<std::shared_ptr<Transfer>> all;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        all.swap(transfers_);
        latest_.reset();
    }
    for (const auto& t : all) t->Stop();
    finished_.clear();
    all.clear();  // each joins its thread
}

std::shared_ptr<Transfer> Server::Latest() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return latest_;
}

std::optional<Status> Server::Refusal(const TransferPlan& plan) const {
    std::lock_guard<std::mutex> lock(listMutex_);
    size_t running = 0;
    for (const auto& t : transfers_) {
        if (!t->running()) continue;
        ++running;
        if (t->plan().exclusive())
            return Status{Reason::kBusy,
                          t->plan().ethBoot()
                              ? "an Ethernet boot is running, and nothing else starts beside it; stop it "
                                "(request 7) or wait for it to end"
                              : "an upgrade of whichever device asks first is running, and nothing else "
                                "starts beside it; stop it (request 7) or wait for it to end"};
        const std::optional<l2::Mac> busy = t->device();
        if (plan.device && busy && *busy == *plan.device)
            return Status{Reason::kBusy, "a firmware transfer to device " + MacText(busy->data()) +
                                             " is running; stop it or wait for it to end"};
    }
    if (running > 0 && plan.exclusive())
        return Status{Reason::kBusy,
                      std::string(plan.ethBoot() ? "an Ethernet boot" : "an upgrade that names no device") +
                          " runs alone, and " + std::to_string(running) +
                          " firmware transfer(s) are running; stop them or wait for them to end"};
    if (running >= kMaxRunning)
        return Status{Reason::kBusy, std::to_string(running) +
                                         " firmware transfers are running, as many as run at once; "
                                         "wait for one to end"};
    return std::nullopt;
}

Status Server::Start(TransferPlan plan) {
    std::lock_guard<std::mutex> control(startMutex_);
    if (std::optional<Status> busy = Refusal(plan)) return busy->Recode(L2FWSERVER_ERROR_INVALID_STATE);
    if (plan.interfaceName.empty() || plan.file.empty()) return L2FWSERVER_ERROR_BAD_ARGS;
    std::shared_ptr<Transfer> transfer;
    if (FailPointHit("fw.alloc")) return L2FWSERVER_ERROR_MALLOC;
    try {
        transfer = std::make_shared<Transfer>(std::move(plan));
    } catch (const std::bad_alloc&) {
        return L2FWSERVER_ERROR_MALLOC;
    }
    if (!transfer->ready()) return L2FWSERVER_ERROR_MALLOC;
    // A file that cannot be used ends the transfer before the reply leaves, so that a
    // start sent right after it is not refused as busy.
    Status failure;
    const t_l2fwserverErrorCode files = transfer->OpenFiles(failure);
    if (files != L2FWSERVER_ERROR_NONE)
        transfer->End(files, failure.explained() ? failure : GenericFailure(files));
    // Finished transfers other than the latest keep only their record (the newest
    // kFinishedKept of them); their threads and descriptors are reclaimed outside the lock.
    std::vector<std::shared_ptr<Transfer>> dropped;
    {
        std::lock_guard<std::mutex> lock(listMutex_);
        transfers_.push_back(transfer);
        latest_ = transfer;
        for (auto it = transfers_.begin(); it != transfers_.end();) {
            if ((*it)->running() || *it == latest_) {
                ++it;
                continue;
            }
            finished_.push_back((*it)->Record());
            dropped.push_back(*it);
            it = transfers_.erase(it);
        }
        if (finished_.size() > kFinishedKept)
            finished_.erase(finished_.begin(), finished_.begin() + static_cast<std::ptrdiff_t>(
                                                                       finished_.size() - kFinishedKept));
    }
    dropped.clear();
    if (files != L2FWSERVER_ERROR_NONE) return failure.Recode(L2FWSERVER_ERROR_NONE);
    return transfer->Launch() ? L2FWSERVER_ERROR_NONE : L2FWSERVER_ERROR_THREAD;
}

t_l2fwserverErrorCode Server::Wait() {
    const std::shared_ptr<Transfer> transfer = Latest();
    return transfer ? transfer->Join() : L2FWSERVER_ERROR_NONE;
}

void Server::Stop() {
    if (const std::shared_ptr<Transfer> transfer = Latest()) transfer->Stop();
}

bool Server::StopDevice(const l2::Mac& device) {
    std::lock_guard<std::mutex> lock(listMutex_);
    bool any = false;
    for (const auto& t : transfers_) {
        const std::optional<l2::Mac> mac = t->device();
        if (t->running() && mac && *mac == device) {
            t->Stop();
            any = true;
        }
    }
    return any;
}

size_t Server::StopAll() {
    std::lock_guard<std::mutex> lock(listMutex_);
    size_t n = 0;
    for (const auto& t : transfers_) {
        if (!t->running()) continue;
        t->Stop();
        ++n;
    }
    return n;
}

bool Server::Running() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    return std::any_of(transfers_.begin(), transfers_.end(), [](const auto& t) { return t->running(); });
}

t_l2fwserverState Server::State() const {
    const std::shared_ptr<Transfer> t = Latest();
    return static_cast<t_l2fwserverState>(t ? t->state.load() : L2FWSERVER_STATE_IDLE);
}
uint32_t Server::UploadedBytes() const {
    const std::shared_ptr<Transfer> t = Latest();
    return t ? t->progress.sent.load() : 0;
}
uint32_t Server::TotalBytes() const {
    const std::shared_ptr<Transfer> t = Latest();
    return t ? t->progress.total.load() : 0;
}
uint32_t Server::Retransmissions() const {
    const std::shared_ptr<Transfer> t = Latest();
    return t ? t->progress.retransmissions.load() : 0;
}
t_l2fwserverErrorCode Server::Error() const {
    const std::shared_ptr<Transfer> t = Latest();
    return static_cast<t_l2fwserverErrorCode>(t ? t->error.load() : L2FWSERVER_ERROR_NONE);
}
Status Server::LastFailure() const {
    const std::shared_ptr<Transfer> t = Latest();
    return t ? t->failure() : Status{};
}

std::vector<TransferRecord> Server::List() const {
    std::lock_guard<std::mutex> lock(listMutex_);
    std::vector<TransferRecord> list = finished_;
    for (const auto& t : transfers_) {
        list.push_back(t->Record());
        list.back().latest = t == latest_;
    }
    std::stable_sort(list.begin(), list.end(),
                     [](const TransferRecord& a, const TransferRecord& b) { return a.startMs < b.startMs; });
    return list;
}

}  // namespace kivo::fw
