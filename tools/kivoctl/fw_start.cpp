// kivoctl fw upgrade and boot: starting transfers, and following them to their end with
// progress and Ctrl-C.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <iostream>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "cli.h"
#include "fw_chunks.h"

namespace kivoctl {

namespace {

volatile sig_atomic_t interrupts = 0;
extern "C" void OnInterrupt(int) {
    interrupts = interrupts + 1;
}

// SIGINT and SIGTERM count instead of ending the process while the guard lives.
class InterruptGuard {
   public:
    InterruptGuard() {
        interrupts = 0;
        struct sigaction sa {};
        sa.sa_handler = OnInterrupt;
        sigemptyset(&sa.sa_mask);
        sigaction(SIGINT, &sa, &oldInt_);
        sigaction(SIGTERM, &sa, &oldTerm_);
    }
    ~InterruptGuard() {
        sigaction(SIGINT, &oldInt_, nullptr);
        sigaction(SIGTERM, &oldTerm_, nullptr);
    }
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

   private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// Progress of a transfer: a bar redrawn in place on a terminal, or one line per phase.
class Progress {
   public:
    Progress(std::ostream& out, bool terminal) : out_(out), terminal_(terminal) {}

    void Update(const kc::FwStatus& s) {
        auto now = Clock::now();
        const bool phaseChange = !last_ || last_->state != s.state;
        // In the firmware phase the counts start again for every chunk.
        const bool newChunk =
            !phaseChange && s.state == 4 && (s.bytes < last_->bytes || s.total != last_->total);
        if (phaseChange || newChunk) {
            samples_.clear();
            if (s.state == 4) ++chunk_;
        }
        // The rate over the last few seconds: a flash erase or a slow start does not
        // weigh on it for the rest of the transfer.
        samples_.emplace_back(now, s.bytes);
        while (samples_.size() > 2 && now - samples_.front().first > std::chrono::seconds(3))
            samples_.pop_front();
        if (phaseChange) phaseStart_ = now;
        if (terminal_) {
            Draw(s, now);
        } else if (phaseChange) {
            out_ << kc::FwStateName(s.state) << ": " << kc::FwStateDescription(s.state);
            if (s.total > 0) out_ << " (" << s.total << " bytes)";
            out_ << std::endl;
        }
        last_ = s;
    }

    // Clears the bar before other output.
    void Finish() {
        if (terminal_ && drawn_) out_ << "\r\033[K" << std::flush;
        drawn_ = false;
    }

   private:
    void Draw(const kc::FwStatus& s, Clock::time_point now) {
        std::string line = kc::FwStateName(s.state);
        if (s.state == 4) line += " chunk " + std::to_string(chunk_);
        const double elapsed = std::chrono::duration<double>(now - phaseStart_).count();
        if (s.total > 0) {
            const double frac = std::min(1.0, static_cast<double>(s.bytes) / s.total);
            const int width = 20;
            const int filled = static_cast<int>(frac * width);
            line += "  [" + std::string(filled, '#') + std::string(width - filled, '-') + "]  ";
            char pct[16];
            std::snprintf(pct, sizeof(pct), "%3.0f%%", frac * 100);
            line += ByteText(s.bytes) + " / " + ByteText(s.total) + "  " + pct;
            double rate = 0;
            const double span = std::chrono::duration<double>(now - samples_.front().first).count();
            if (span > 0.2) rate = (s.bytes - static_cast<double>(samples_.front().second)) / span;
            if (rate > 0) {
                line += "  " + ByteText(rate) + "/s";
                line += "  ETA " + Duration((s.total - static_cast<double>(s.bytes)) / rate);
            }
        } else {
            line += "  " + kc::FwStateDescription(s.state) + "  " + Duration(elapsed);
        }
        winsize ws{};
        size_t cols = ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 && ws.ws_col > 1 ? ws.ws_col - 1 : 79;
        if (line.size() > cols) line.resize(cols);
        out_ << "\r\033[K" << line << std::flush;
        drawn_ = true;
    }

    std::ostream& out_;
    bool terminal_;
    bool drawn_ = false;
    std::optional<kc::FwStatus> last_;
    Clock::time_point phaseStart_ = Clock::now();
    std::deque<std::pair<Clock::time_point, uint32_t>> samples_;
    int chunk_ = 0;
};

// The end of a transfer kivoctl waited for: its final status, whether a Ctrl-C stopped it,
// and the exit code when waiting itself failed (reported already).
struct TransferEnd {
    kc::FwStatus status;
    bool stopSent = false;
};

// Sleeps up to 100 ms between polls (a poll every 100 ms shows the end that late at most),
// in short steps that act on a Ctrl-C at once.
void PausePoll(bool stopSent) {
    for (int i = 0; i < 4 && interrupts == (stopSent ? 1 : 0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(25));
}

// Polls the status into `end` until a final state. Ctrl-C sends Stop and keeps waiting for
// the final state; a second Ctrl-C leaves at once. Returns the exit code when waiting
// itself failed (reported already).
std::optional<int> PollTransfer(const Globals& g, kc::Client& client, const std::string& operation,
                                Progress& progress, TransferEnd& end) {
    for (;; PausePoll(end.stopSent)) {
        if (interrupts >= 2) {
            progress.Finish();
            return Report(g, kExitFailed, "interrupted",
                          operation +
                              " interrupted; a stop was sent, the transfer may still be ending "
                              "(see 'kivoctl fw status')");
        }
        if (interrupts >= 1 && !end.stopSent) {
            progress.Finish();
            std::cerr << "kivoctl: stopping the transfer (press Ctrl-C again to leave without waiting)\n";
            auto r = client.FwStop();
            if (!r) return ClientFailure(g, client, "cannot stop the transfer", r.error());
            end.stopSent = true;
        }
        auto st = client.GetFwStatus();
        if (!st || st->Final()) progress.Finish();
        if (!st) return ClientFailure(g, client, "cannot read the transfer's status", st.error());
        end.status = *st;
        if (end.status.Final()) return std::nullopt;
        progress.Update(end.status);
    }
}

// Tells how a transfer waited for ended: success with what was sent, or why it failed.
int ReportTransfer(const Globals& g, kc::Client& client, const std::string& operation, json result,
                   const std::string& sentText, const TransferEnd& end, double seconds) {
    const kc::FwStatus& s = end.status;
    result["status"] = FwStatusJson(s);
    result["seconds"] = std::round(seconds * 10) / 10;
    if (s.state == 5) {
        if (g.json) {
            PrintJson(result);
        } else {
            // The status counts the last chunk only after an Ethernet boot: the caller, who
            // knows the files, says what was sent.
            std::cout << operation << " succeeded: "
                      << (sentText.empty()
                              ? std::to_string(s.bytes) + " of " + std::to_string(s.total) + " bytes"
                              : sentText)
                      << ", " << Elapsed(seconds) << '\n';
        }
        return kExitOk;
    }
    const bool stopSent = end.stopSent;
    auto fwReason = kc::FirmwareFailureReason(client);
    std::string message = stopSent ? operation + " stopped at your request" : operation + " failed";
    message += " (" + std::to_string(s.bytes) + " of " + std::to_string(s.total) + " bytes acknowledged)";
    if (fwReason)
        message +=
            "\n  reason: " + Printable(fwReason->text) + " (code " + std::to_string(fwReason->code) + ")";
    if (!g.json) std::cout << operation << (stopSent ? " stopped" : " failed") << '\n';
    std::vector<std::string> hints;
    if (!stopSent && fwReason) {
        if (const std::string_view hint = kc::Explain(fwReason->code).remedy; !hint.empty())
            hints.emplace_back(hint);
    } else if (!stopSent) {
        hints.push_back(
            "Check the interface, the MAC address and --vlan, that the device asks for a file (upgrade) or "
            "waits in its boot ROM (boot), and the files.");
    }
    return Report(g, kExitFailed, stopSent ? "stopped" : "transfer_failed", message, hints,
                  json{{"status", FwStatusJson(s)}, {"firmware_reason", ReasonJson(fwReason)}});
}

// Follows a started transfer to its end and reports it.
int WaitTransfer(const Globals& g, kc::Client& client, const std::string& operation, json result,
                 const std::string& sentText) {
    // The transfer goes on whatever happens here: a service that answers a poll late
    // (busy with another front-end's request) is waited for rather than given up on.
    if (g.timeout <= 0) client.SetTimeout(std::chrono::seconds(30));
    const bool terminal = !g.json && isatty(STDOUT_FILENO);
    // With --json stdout holds the document alone; progress goes to a terminal on stderr.
    std::ostream& out = g.json ? std::cerr : std::cout;
    const bool show = !g.json || isatty(STDERR_FILENO);
    std::ostringstream sink;
    Progress progress(show ? out : sink, g.json ? isatty(STDERR_FILENO) : terminal);
    const auto start = Clock::now();
    TransferEnd end;
    if (auto failed = PollTransfer(g, client, operation, progress, end)) return *failed;
    // The transfer's own duration, from the service's start and end times; the time this
    // command waited (polls may be answered late) only from a service without the listing.
    double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    if (auto listing = client.GetFwTransfers())
        for (const kc::FwTransfer& t : listing->transfers)
            if (t.latest && t.endMs != 0) seconds = static_cast<double>(t.DurationMs(listing->nowMs)) / 1000;
    return ReportTransfer(g, client, operation, std::move(result), sentText, end, seconds);
}

// ---- several devices side by side ------------------------------------------------------------

// The transfer this command started for mac: the newest one listed for it since `sinceMs`.
const kc::FwTransfer* OurTransfer(const kc::FwTransfers& list, const kc::Mac& mac, uint64_t sinceMs) {
    const kc::FwTransfer* found = nullptr;
    for (const kc::FwTransfer& t : list.transfers)
        if (t.device == mac && t.startMs >= sinceMs) found = &t;
    return found;
}

std::string EndLine(const kc::FwTransfer& t, uint64_t nowMs, bool stopped) {
    const std::string who = t.device ? kc::MacText(*t.device) : std::string("?");
    const std::string took = Elapsed(static_cast<double>(t.DurationMs(nowMs)) / 1000);
    if (t.state == 5) return who + " succeeded: " + std::to_string(t.bytes) + " bytes, " + took;
    std::string line = who + (stopped && t.reason.code == 15 ? " stopped" : " failed") + " at byte " +
                       std::to_string(t.bytes) + " of " + std::to_string(t.total) + ", " + took;
    if (!t.reason.text.empty())
        line += ": " + Printable(t.reason.text) + " (code " + std::to_string(t.reason.code) + ")";
    return line;
}

// Starts the upgrade of each device; a device that does not start is told on stderr and in
// its entry. Returns the devices' entries; `started` gets the ones under way.
json StartEach(const Globals& g, kc::Client& client, const FwTarget& t, const std::vector<kc::Mac>& macs,
               const std::string& fw, std::vector<kc::Mac>& started) {
    json devices = json::array();
    for (const kc::Mac& mac : macs) {
        auto r = client.FwStartUpgrade({t.interface, t.vlan, mac, fw});
        json d{{"mac", kc::MacText(mac)}, {"started", static_cast<bool>(r)}};
        if (r) {
            started.push_back(mac);
            if (!g.json)
                std::cout << "upgrade started on " << t.interface << " for " << kc::MacText(mac) << ": " << fw
                          << '\n';
        } else {
            const std::optional<kc::Reason> reason = kc::FailureReason(client, r.error());
            std::cerr << "kivoctl: cannot start the upgrade of " << kc::MacText(mac) << ": "
                      << r.error().message
                      << (reason ? "\n  reason: " + Printable(reason->text) : std::string()) << '\n';
            d["error"] = r.error().message;
            d["reason"] = ReasonJson(reason);
        }
        devices.push_back(d);
    }
    return devices;
}

// The end of the transfers kivoctl waited for: the last listing, whether a Ctrl-C stopped
// them, and the exit code when waiting itself failed (reported already).
struct TransfersEnd {
    kc::FwTransfers list;
    bool stopSent = false;
};

// Polls the listing into `end` until every started transfer has ended, a line for each as
// it ends. Ctrl-C stops them all and keeps waiting; a second Ctrl-C leaves at once. Returns
// the exit code when waiting itself failed (reported already).
std::optional<int> PollTransfers(const Globals& g, kc::Client& client, const std::vector<kc::Mac>& started,
                                 uint64_t sinceMs, TransfersEnd& end) {
    std::set<kc::Mac> ended;
    for (;; PausePoll(end.stopSent)) {
        if (interrupts >= 2)
            return Report(
                g, kExitFailed, "interrupted",
                "upgrades interrupted; stops were sent, transfers may still be ending (see 'kivoctl fw "
                "status')");
        if (interrupts >= 1 && !end.stopSent) {
            std::cerr << "kivoctl: stopping the transfers (press Ctrl-C again to leave without waiting)\n";
            for (const kc::Mac& mac : started) client.FwStopDevice(mac);  // one that ended meanwhile: FAILED
            end.stopSent = true;
        }
        auto l = client.GetFwTransfers();
        if (!l) return ClientFailure(g, client, "cannot list the firmware transfers", l.error());
        end.list = *l;
        for (const kc::Mac& mac : started) {
            const kc::FwTransfer* tr = OurTransfer(end.list, mac, sinceMs);
            if (tr == nullptr || !tr->Final() || ended.count(mac) != 0) continue;
            ended.insert(mac);
            if (!g.json) std::cout << EndLine(*tr, end.list.nowMs, end.stopSent) << '\n' << std::flush;
        }
        if (ended.size() == started.size()) return std::nullopt;
    }
}

// Tells how the transfers waited for ended: all succeeded, or how many did not.
int ReportTransfers(const Globals& g, json result, const TransfersEnd& end, uint64_t sinceMs) {
    size_t succeeded = 0;
    for (json& d : result["devices"]) {
        if (!d["started"].get<bool>()) continue;
        const kc::FwTransfer* tr = OurTransfer(end.list, *kc::ParseMac(d["mac"].get<std::string>()), sinceMs);
        if (tr == nullptr) continue;
        d["status"] = TransferJson(*tr, end.list.nowMs);
        if (tr->state == 5) ++succeeded;
    }
    const size_t count = result["devices"].size();
    if (succeeded == count) {
        if (g.json)
            PrintJson(result);
        else
            std::cout << "All " << succeeded << " upgrades succeeded.\n";
        return kExitOk;
    }
    return Report(g, kExitFailed, end.stopSent ? "stopped" : "transfer_failed",
                  std::to_string(count - succeeded) + " of " + std::to_string(count) +
                      " upgrades did not succeed" + (end.stopSent ? " (stopped at your request)" : ""),
                  {"See each device's line above, or 'kivoctl fw status'."},
                  json{{"devices", result["devices"]}});
}

// Upgrades several devices side by side, following them with --wait.
int UpgradeMany(const Globals& g, const FwTarget& t, const std::vector<kc::Mac>& macs,
                const std::string& fw) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    // The listing tells the transfers apart; a service without it runs one at a time.
    auto before = client.GetFwTransfers();
    if (!before) {
        if (before.error().kind == kc::ErrorKind::kUnsupported)
            return Report(g, kExitFailed, "unsupported",
                          "this kivohost runs one firmware transfer at a time (it does not list transfers)",
                          {"Upgrade one device at a time, or update kivohost."});
        return ClientFailure(g, client, "cannot list the firmware transfers", before.error());
    }
    std::optional<InterruptGuard> guard;
    if (t.wait) guard.emplace();
    std::vector<kc::Mac> started;
    json devices = StartEach(g, client, t, macs, fw, started);
    json result{{"started", !started.empty()},
                {"operation", "upgrade"},
                {"interface", t.interface},
                {"vlan", t.vlan},
                {"firmware", fw},
                {"devices", devices}};
    if (!t.wait || started.empty()) {
        if (g.json)
            PrintJson(result);
        else if (!started.empty())
            std::cout << "Follow them with 'kivoctl fw status'.\n";
        return started.size() == macs.size() ? kExitOk : kExitFailed;
    }
    if (g.timeout <= 0) client.SetTimeout(std::chrono::seconds(30));
    TransfersEnd end;
    if (auto failed = PollTransfers(g, client, started, before->nowMs, end)) return *failed;
    return ReportTransfers(g, std::move(result), end, before->nowMs);
}

// Absolute path of a file that exists and is a regular file: the service resolves
// paths in its own working directory, which is not the user's.
std::optional<std::string> FirmwarePath(const std::string& path, const char* what, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) {
        error = std::string("cannot resolve the ") + what + " path '" + path + "': " + ec.message();
        return std::nullopt;
    }
    abs = abs.lexically_normal();
    auto st = fs::status(abs, ec);
    if (ec || !fs::exists(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' does not exist";
        return std::nullopt;
    }
    if (!fs::is_regular_file(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' is not a regular file";
        return std::nullopt;
    }
    if (access(abs.c_str(), R_OK) != 0) {
        error =
            std::string("the ") + what + " '" + abs.string() + "' is not readable: " + std::strerror(errno);
        return std::nullopt;
    }
    // A device that takes an empty image reports success and is left without firmware.
    if (fs::file_size(abs, ec) == 0 && !ec) {
        error = std::string("the ") + what + " '" + abs.string() +
                "' is empty (0 bytes); check that this is the right file and that it was copied whole";
        return std::nullopt;
    }
    return abs.string();
}

// Chunks of a chunked firmware file, walked with the service's own reader. Nullopt when
// the file does not read as one.
std::optional<uint32_t> ChunkCount(const std::string& path) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return std::nullopt;
    kivo::fw::ChunkReader reader(file.get());
    if (reader.Start() != kivo::fw::ChunkStatus::kRecord) return std::nullopt;
    uint32_t count = 0;
    kivo::fw::ChunkRecord record;
    for (;;) {
        switch (reader.Next(record)) {
            case kivo::fw::ChunkStatus::kEnd:
                return count;
            case kivo::fw::ChunkStatus::kRecord:
                if (!reader.SkipData(record)) return std::nullopt;
                ++count;
                break;
            default:
                return std::nullopt;
        }
    }
}

}  // namespace

int CmdFwStart(const Globals& g, const FwTarget& t, bool boot) {
    if (auto e = CheckInterface(t.interface)) return Usage(g, *e);
    std::string error;
    // A file kivoctl cannot send is no usage mistake: the message says what to do.
    auto fw = FirmwarePath(t.firmware, boot ? "firmware file" : "firmware image", error);
    if (!fw) return Report(g, kExitUsage, "usage", error);
    std::optional<std::string> loader;
    std::optional<kc::Mac> mac;
    if (boot) {
        loader = FirmwarePath(t.loader, "loader file", error);
        if (!loader) return Report(g, kExitUsage, "usage", error);
    } else {
        std::vector<kc::Mac> macs;
        for (const std::string& text : t.macs) {
            mac = kc::ParseMac(text);
            if (!mac)
                return Usage(
                    g, "'" + Printable(text) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
            if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
            if (std::find(macs.begin(), macs.end(), *mac) != macs.end())
                return Usage(g, "device " + kc::MacText(*mac) + " is given twice; give each device once");
            macs.push_back(*mac);
        }
        if (macs.size() > 1) return UpgradeMany(g, t, macs, *fw);
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    const std::string operation = boot ? "Ethernet boot" : "upgrade";
    // From before the start on: a Ctrl-C while the start is under way still stops the
    // transfer it launched.
    std::optional<InterruptGuard> guard;
    if (t.wait) guard.emplace();
    auto r = boot ? client.FwStartBoot({t.interface, t.vlan, *loader, *fw})
                  : client.FwStartUpgrade({t.interface, t.vlan, *mac, *fw});
    if (!r) return ClientFailure(g, client, "cannot start the " + operation, r.error());
    json result{{"started", true},
                {"operation", boot ? "boot" : "upgrade"},
                {"interface", t.interface},
                {"vlan", t.vlan},
                {"mac", mac ? json(kc::MacText(*mac)) : json(nullptr)},
                {"firmware", *fw},
                {"loader", loader ? json(*loader) : json(nullptr)}};
    if (!g.json)
        std::cout << operation << " started on " << t.interface << (boot ? "" : " for " + kc::MacText(*mac))
                  << ": " << *fw << '\n';
    if (!t.wait) {
        if (g.json)
            PrintJson(result);
        else
            std::cout << "Follow it with 'kivoctl fw status'.\n";
        return kExitOk;
    }
    std::string sentText;
    if (boot) {
        std::error_code ec;
        const auto loaderBytes = std::filesystem::file_size(*loader, ec);
        const auto fwBytes = std::filesystem::file_size(*fw, ec);
        if (!ec) {
            const auto chunks = ChunkCount(*fw);
            sentText =
                "the whole loader (" + std::to_string(loaderBytes) + " bytes) and firmware (" +
                std::to_string(fwBytes) + " bytes" +
                (chunks ? ", " + std::to_string(*chunks) + (*chunks == 1 ? " chunk" : " chunks") : "") +
                ") sent";
        }
    }
    return WaitTransfer(g, client, operation, std::move(result), sentText);
}

}  // namespace kivoctl
