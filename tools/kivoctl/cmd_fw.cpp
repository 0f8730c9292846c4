// kivoctl fw: upgrade, boot, status and stop.
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <thread>

#include "cli.h"

namespace kivoctl {

// ---- firmware ---------------------------------------------------------------------------------------

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

std::string Duration(double seconds) {
    char buf[32];
    long s = static_cast<long>(seconds + 0.5);
    if (s >= 3600)
        std::snprintf(buf, sizeof(buf), "%ld:%02ld:%02ld", s / 3600, s / 60 % 60, s % 60);
    else
        std::snprintf(buf, sizeof(buf), "%ld:%02ld", s / 60, s % 60);
    return buf;
}

std::string Elapsed(double seconds) {
    if (seconds >= 60) return Duration(seconds);
    char buf[32];
    std::snprintf(buf, sizeof(buf), "%.1f s", seconds);
    return buf;
}

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

// Chunks of a chunked firmware file, walked as the service walks it: the magic word at
// byte 68, 8 bytes, then records (a little-endian length in 32-bit words, its two header
// words included, in bits 0 to 30; 4 bytes of information; the data) up to a zero word.
// Nullopt when the file does not read as one.
std::optional<uint32_t> ChunkCount(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    auto word = [&](uint32_t& v) {
        unsigned char b[4];
        if (!in.read(reinterpret_cast<char*>(b), 4)) return false;
        v = b[0] | b[1] << 8 | b[2] << 16 | static_cast<uint32_t>(b[3]) << 24;
        return true;
    };
    uint32_t magic = 0, info = 0, count = 0;
    if (!in.seekg(68) || !word(magic) || magic != 0x55AA55AAu || !in.seekg(8, std::ios::cur))
        return std::nullopt;
    while (word(info) && info != 0) {
        const uint64_t words = info & 0x7FFFFFFFu;
        if (words < 2 || !in.seekg(static_cast<std::streamoff>(4 + (words - 2) * 4), std::ios::cur))
            return std::nullopt;
        ++count;
    }
    if (!in) return std::nullopt;
    return count;
}

// Polls the status until a final state. Ctrl-C sends Stop and keeps waiting for the
// final state; a second Ctrl-C leaves at once.
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
    bool stopSent = false;
    kc::FwStatus s;
    for (;;) {
        if (interrupts >= 2) {
            progress.Finish();
            return Report(g, kExitFailed, "interrupted",
                          operation +
                              " interrupted; a stop was sent, the transfer may still be ending "
                              "(see 'kivoctl fw status')");
        }
        if (interrupts >= 1 && !stopSent) {
            progress.Finish();
            std::cerr << "kivoctl: stopping the transfer (press Ctrl-C again to leave without waiting)\n";
            auto r = client.FwStop();
            if (!r) return ClientFailure(g, client, "cannot stop the transfer", r.error());
            stopSent = true;
        }
        auto st = client.GetFwStatus();
        if (!st) {
            progress.Finish();
            return ClientFailure(g, client, "cannot read the transfer's status", st.error());
        }
        s = *st;
        if (s.Final()) break;
        progress.Update(s);
        // A poll every 100 ms shows the end that late at most; the short sleeps act on a
        // Ctrl-C at once.
        for (int i = 0; i < 4 && interrupts == (stopSent ? 1 : 0); ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(25));
    }
    progress.Finish();
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
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
    auto fwReason = kc::FirmwareFailureReason(client);
    std::string message = stopSent ? operation + " stopped at your request" : operation + " failed";
    message += " (" + std::to_string(s.bytes) + " of " + std::to_string(s.total) + " bytes acknowledged)";
    if (fwReason)
        message +=
            "\n  reason: " + Printable(fwReason->text) + " (code " + std::to_string(fwReason->code) + ")";
    if (!g.json) std::cout << operation << (stopSent ? " stopped" : " failed") << '\n';
    std::vector<std::string> hints;
    if (!stopSent && fwReason) {
        if (const std::string_view hint = kc::ReasonHint(fwReason->code); !hint.empty())
            hints.emplace_back(hint);
    } else if (!stopSent) {
        hints.push_back(
            "Check the interface, the MAC address and --vlan, that the device asks for a file (upgrade) or "
            "waits in its boot ROM (boot), and the files.");
    }
    return Report(g, kExitFailed, stopSent ? "stopped" : "transfer_failed", message, hints,
                  json{{"status", FwStatusJson(s)}, {"firmware_reason", ReasonJson(fwReason)}});
}

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
        mac = kc::ParseMac(t.mac);
        if (!mac)
            return Usage(g,
                         "'" + Printable(t.mac) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
        if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
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

int CmdFwStatus(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto s = client.GetFwStatus();
    if (!s) return ClientFailure(g, client, "cannot read the firmware server's status", s.error());
    if (g.json) {
        PrintJson(FwStatusJson(*s));
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{
        {"state", kc::FwStateName(s->state) + " (" + kc::FwStateDescription(s->state) + ")"},
        {"bytes", std::to_string(s->bytes)},
        {"total", std::to_string(s->total)}};
    if (s->retransmissions) rows.push_back({"retransmissions", std::to_string(*s->retransmissions)});
    if (s->state == 6)
        if (auto reason = kc::FirmwareFailureReason(client))
            rows.push_back(
                {"reason", Printable(reason->text) + " (code " + std::to_string(reason->code) + ")"});
    PrintTable({"FIELD", "VALUE"}, rows);
    return kExitOk;
}

int CmdFwStop(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto r = client.FwStop();
    if (!r) return ClientFailure(g, client, "cannot stop the firmware server", r.error());
    auto s = client.GetFwStatus();
    if (g.json) {
        PrintJson(json{{"stop_sent", true}, {"status", s ? FwStatusJson(*s) : json(nullptr)}});
    } else {
        std::cout << "Stop sent. A running transfer ends within about 100 ms, whatever it waits for";
        if (s)
            std::cout << "; now: " << kc::FwStateName(s->state) << " (" << kc::FwStateDescription(s->state)
                      << ")";
        std::cout << ".\n";
    }
    return kExitOk;
}

}  // namespace kivoctl
