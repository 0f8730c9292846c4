// kivo-devsim core: configuration, raw ports, event loop, timers, control commands.
#include "sim.h"

#include <poll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>

#include "pcap.h"
#include "port.h"
#include "sim_values.h"

namespace devsim {

namespace {

std::vector<Module>& Modules() {
    static std::vector<Module> modules;
    return modules;
}

void Usage(const char* prog) {
    std::printf(
        "Usage: %s -c <config file> [--pcap <capture file>]\n"
        "Plays simulated devices on the interfaces the configuration names.\n"
        "  --pcap FILE   write every frame sent and received to FILE (pcap, for Wireshark)\n"
        "Control commands are read from standard input, one per line:\n"
        "  <device> set <key> <value>   replace an option of a device\n"
        "  <device> add <key> <value>   add an option line\n"
        "  <device> unset <key>         remove an option\n"
        "  <device> <module command>    see tools/devsim/README.md\n"
        "  quit\n",
        prog);
}

}  // namespace

void RegisterModule(Module module) {
    Modules().push_back(std::move(module));
}

std::string MacText(const Mac& mac) {
    char buf[18];
    std::snprintf(buf, sizeof(buf), "%02x:%02x:%02x:%02x:%02x:%02x", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
    return buf;
}

bool ParseMac(const std::string& text, Mac& mac) {
    unsigned v[6];
    char extra;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &v[0], &v[1], &v[2], &v[3], &v[4], &v[5], &extra) !=
        6)
        return false;
    for (int i = 0; i < 6; ++i) {
        if (v[i] > 0xFF) return false;
        mac[i] = static_cast<uint8_t>(v[i]);
    }
    return true;
}

std::string Fmt(const char* fmt, ...) {
    char buf[512];
    va_list ap;
    va_start(ap, fmt);
    std::vsnprintf(buf, sizeof(buf), fmt, ap);
    va_end(ap);
    return buf;
}

std::string Hex(const uint8_t* p, size_t n) {
    static const char* digits = "0123456789abcdef";
    std::string s;
    s.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        s += digits[p[i] >> 4];
        s += digits[p[i] & 15];
    }
    return s;
}

bool ParseHex(const std::string& text, Bytes& out) {
    std::string t;
    for (char c : text)
        if (c != ' ' && c != ':' && c != '-' && c != '\t') t += c;
    if (t.size() >= 2 && t[0] == '0' && (t[1] == 'x' || t[1] == 'X')) t = t.substr(2);
    if (t.size() % 2 != 0) return false;
    Bytes b;
    for (size_t i = 0; i < t.size(); i += 2) {
        auto nib = [](char c) -> int {
            if (c >= '0' && c <= '9') return c - '0';
            if (c >= 'a' && c <= 'f') return c - 'a' + 10;
            if (c >= 'A' && c <= 'F') return c - 'A' + 10;
            return -1;
        };
        int hi = nib(t[i]), lo = nib(t[i + 1]);
        if (hi < 0 || lo < 0) return false;
        b.push_back(static_cast<uint8_t>(hi * 16 + lo));
    }
    out = std::move(b);
    return true;
}

std::vector<std::string> SplitWords(const std::string& line) {
    std::vector<std::string> words;
    std::istringstream in(line);
    std::string w;
    while (in >> w) words.push_back(w);
    return words;
}

// ---------------------------------------------------------------- Device

bool Device::has(const std::string& key) const {
    return last_.count(key) != 0;
}

std::string Device::opt(const std::string& key, const std::string& def) const {
    const auto it = last_.find(key);
    return it != last_.end() ? it->second : def;
}

std::vector<std::string> Device::optAll(const std::string& key) const {
    std::vector<std::string> out;
    for (const auto& kv : options)
        if (kv.first == key) out.push_back(kv.second);
    return out;
}

long long Device::optInt(const std::string& key, long long def) const {
    std::string v = opt(key);
    if (v.empty()) return def;
    errno = 0;
    char* end = nullptr;
    long long r = std::strtoll(v.c_str(), &end, 0);
    if (errno != 0 || end == v.c_str()) return def;
    return r;
}

bool Device::optBool(const std::string& key, bool def) const {
    std::string v = opt(key);
    if (v == "1" || v == "yes" || v == "true" || v == "on") return true;
    if (v == "0" || v == "no" || v == "false" || v == "off") return false;
    return def;
}

void Device::setOpt(const std::string& key, const std::string& value) {
    removeOpt(key);
    addOpt(key, value);
}

void Device::addOpt(const std::string& key, const std::string& value) {
    options.emplace_back(key, value);
    last_[key] = value;
    if (key == "mac") ParseMac(value, mac);
    if (key == "role") role = value;
}

void Device::removeOpt(const std::string& key) {
    options.erase(
        std::remove_if(options.begin(), options.end(), [&](const auto& kv) { return kv.first == key; }),
        options.end());
    last_.erase(key);
}

// ---------------------------------------------------------------- Port and Frame

Port::Port(kivo::l2::Port&& port)
    : name_(port.name()), port_(std::make_unique<kivo::l2::Port>(std::move(port))) {}

Port::~Port() = default;

int Port::fd() const {
    return port_->fd();
}
const Mac& Port::mac() const {
    return port_->mac();
}
int Port::mtu() const {
    return port_->mtu();
}
void Port::Close() {
    port_->Close();
}

bool Port::Send(const uint8_t* frame, size_t len) {
    return port_->SendFrame(frame, len) == kivo::l2::PortStatus::kOk;
}

Mac Frame::dst() const {
    Mac m{};
    if (len >= 6) std::memcpy(m.data(), data, 6);
    return m;
}

Mac Frame::src() const {
    Mac m{};
    if (len >= 12) std::memcpy(m.data(), data + 6, 6);
    return m;
}

bool Frame::tagged() const {
    return len >= 16 && data[12] == 0x81 && data[13] == 0x00;
}

uint16_t Frame::vlanTci() const {
    return tagged() ? static_cast<uint16_t>((data[14] << 8) | data[15]) : 0;
}

uint16_t Frame::etherType() const {
    size_t o = typeOffset();
    if (len < o + 2) return 0;
    return static_cast<uint16_t>((data[o] << 8) | data[o + 1]);
}

// ---------------------------------------------------------------- Sim

Device* Sim::device(const std::string& name) {
    for (auto& d : devices_)
        if (d->name == name) return d.get();
    return nullptr;
}

Port* Sim::port(const std::string& ifname) {
    for (auto& p : ports_)
        if (p->name() == ifname) return p.get();
    return nullptr;
}

void Sim::Log(const std::string& who, const std::string& text) {
    std::printf("%s: %s\n", who.c_str(), text.c_str());
    std::fflush(stdout);
}

uint64_t Sim::After(std::chrono::milliseconds delay, std::function<void()> fn) {
    uint64_t id = nextTimerId_++;
    timers_.push_back(Timer{Clock::now() + delay, id, std::move(fn)});
    return id;
}

void Sim::Cancel(uint64_t id) {
    timers_.erase(std::remove_if(timers_.begin(), timers_.end(), [&](const Timer& t) { return t.id == id; }),
                  timers_.end());
}

void Sim::RunTimers() {
    // Timers may add timers: take the due ones out first, in time order.
    for (;;) {
        auto now = Clock::now();
        auto due = std::min_element(timers_.begin(), timers_.end(),
                                    [](const Timer& a, const Timer& b) { return a.when < b.when; });
        if (due == timers_.end() || due->when > now) return;
        auto fn = std::move(due->fn);
        timers_.erase(due);
        fn();
    }
}

bool Sim::LoadConfig(const std::string& path) {
    std::ifstream in(path);
    if (!in) {
        std::fprintf(stderr, "devsim: cannot read %s\n", path.c_str());
        return false;
    }
    std::string line;
    int lineNo = 0;
    Device* current = nullptr;
    while (std::getline(in, line)) {
        ++lineNo;
        std::string t = Trim(line);
        if (t.empty() || t[0] == '#') continue;
        if (t.front() == '[') {
            auto words = SplitWords(
                t.substr(1, t.find(']') == std::string::npos ? std::string::npos : t.find(']') - 1));
            if (t.back() != ']' || words.size() != 2 || words[0] != "device") {
                std::fprintf(stderr, "devsim: %s:%d: expected [device NAME]\n", path.c_str(), lineNo);
                return false;
            }
            if (device(words[1]) != nullptr) {
                std::fprintf(stderr, "devsim: %s:%d: device %s defined twice\n", path.c_str(), lineNo,
                             words[1].c_str());
                return false;
            }
            devices_.push_back(std::make_unique<Device>());
            current = devices_.back().get();
            current->name = words[1];
            continue;
        }
        size_t eq = t.find('=');
        if (current == nullptr || eq == std::string::npos) {
            std::fprintf(stderr, "devsim: %s:%d: expected key = value inside a [device NAME] section\n",
                         path.c_str(), lineNo);
            return false;
        }
        std::string key = Trim(t.substr(0, eq));
        std::string value = Trim(t.substr(eq + 1));
        if (key == "mac" && !ParseMac(value, current->mac)) {
            std::fprintf(stderr, "devsim: %s:%d: bad MAC address %s\n", path.c_str(), lineNo, value.c_str());
            return false;
        }
        if (key == "interface") current->interface = value;
        current->addOpt(key, value);
    }
    for (auto& d : devices_) {
        if (d->interface.empty() || !d->has("mac") || d->role.empty()) {
            std::fprintf(stderr, "devsim: device %s needs mac, interface and role\n", d->name.c_str());
            return false;
        }
    }
    return true;
}

bool Sim::OpenPorts(const std::string& pcapPath) {
    std::shared_ptr<kivo::l2::PcapWriter> capture;
    if (!pcapPath.empty()) {
        capture = std::make_shared<kivo::l2::PcapWriter>();
        if (!capture->Open(pcapPath)) {
            std::fprintf(stderr,
                         "devsim: cannot write capture file %s: %s; check the path and its permissions\n",
                         pcapPath.c_str(), std::strerror(errno));
            return false;
        }
    }
    kivo::l2::PortOptions options;
    options.protocol = kivo::l2::kAllProtocols;
    options.skipOutgoing = true;
    // Devices have addresses of their own: see every frame on the segment.
    options.promiscuous = true;
    for (auto& d : devices_) {
        if (port(d->interface) != nullptr) continue;
        kivo::l2::Port link;
        const kivo::l2::PortStatus status = link.Open(d->interface, options);
        if (status == kivo::l2::PortStatus::kNoInterface) {
            std::fprintf(stderr, "devsim: no interface %s\n", d->interface.c_str());
            return false;
        }
        if (status != kivo::l2::PortStatus::kOk) {
            std::fprintf(stderr, "devsim: cannot open a raw port on %s: %s (%s)\n", d->interface.c_str(),
                         kivo::l2::PortStatusText(status), std::strerror(link.lastErrno()));
            return false;
        }
        link.SetCapture(capture);
        ports_.push_back(std::make_unique<Port>(std::move(link)));
    }
    return true;
}

void Sim::HandleCommand(const std::string& rawLine) {
    std::string line = Trim(rawLine);
    if (line.empty() || line[0] == '#') return;
    auto words = SplitWords(line);
    if (words[0] == "quit") {
        quit_ = true;
        Log("devsim", "command \"" + line + "\" done");
        return;
    }
    Device* d = device(words[0]);
    if (d == nullptr || words.size() < 2) {
        Log("devsim", "command \"" + line + "\" failed: unknown device or no command");
        return;
    }
    std::vector<std::string> args(words.begin() + 1, words.end());
    bool known = false;
    // Value: everything after the key, spaces kept.
    auto restAfter = [&](size_t nWords) {
        size_t pos = 0;
        for (size_t i = 0; i < nWords && pos != std::string::npos; ++i) {
            pos = line.find_first_not_of(" \t", pos);
            pos = line.find_first_of(" \t", pos);
        }
        return pos == std::string::npos ? std::string() : Trim(line.substr(pos));
    };
    if ((args[0] == "set" || args[0] == "add") && args.size() >= 3) {
        std::string value = restAfter(3);
        if (args[0] == "set")
            d->setOpt(args[1], value);
        else
            d->addOpt(args[1], value);
        known = true;
    } else if (args[0] == "unset" && args.size() == 2) {
        d->removeOpt(args[1]);
        known = true;
    }
    // Modules see option changes too, so they can react to them.
    for (auto& m : Modules())
        if (m.onCommand && m.onCommand(*this, *d, args)) known = true;
    Log("devsim", "command \"" + line + "\" " + (known ? "done" : "failed: unknown command"));
}

int Sim::NextTimerWaitMs() const {
    if (timers_.empty()) return -1;
    auto next = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
                    return a.when < b.when;
                })->when;
    auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(next - Clock::now()).count();
    return ms < 0 ? 0 : static_cast<int>(ms) + 1;
}

void Sim::DrainPort(Port* port) {
    // A pending error (an interface that went away) is read once and logged; unread, it
    // would keep the loop spinning.
    kivo::l2::FrameView view;
    kivo::l2::PortStatus status;
    while ((status = port->port_->TryRecv(view)) == kivo::l2::PortStatus::kOk) {
        Frame frame{port, view.data, view.length};
        for (auto& d : devices_) {
            if (d->interface != port->name()) continue;
            for (auto& m : Modules())
                if (m.onFrame) m.onFrame(*this, *d, frame);
        }
    }
    if (status != kivo::l2::PortStatus::kTimeout)
        Log("devsim", "port " + port->name() + ": " + std::strerror(port->port_->lastErrno()));
}

bool Sim::ReadCommands(std::string& pending) {
    char cbuf[4096];
    ssize_t n = read(0, cbuf, sizeof(cbuf));
    if (n <= 0) return false;
    pending.append(cbuf, static_cast<size_t>(n));
    size_t nl;
    while ((nl = pending.find('\n')) != std::string::npos) {
        std::string line = pending.substr(0, nl);
        pending.erase(0, nl + 1);
        HandleCommand(line);
    }
    return true;
}

int Sim::Run(int argc, char** argv) {
    std::string config;
    std::string pcapPath;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if ((a == "-c" || a == "--config") && i + 1 < argc) {
            config = argv[++i];
        } else if (a == "--pcap" && i + 1 < argc) {
            pcapPath = argv[++i];
        } else if (a == "-h" || a == "--help") {
            Usage(argv[0]);
            return 0;
        } else {
            Usage(argv[0]);
            return 2;
        }
    }
    if (config.empty()) {
        Usage(argv[0]);
        return 2;
    }
    if (!LoadConfig(config) || !OpenPorts(pcapPath)) return 1;
    for (auto& m : Modules())
        if (m.init) m.init(*this);
    for (auto& d : devices_)
        Log("devsim",
            "device " + d->name + " role " + d->role + " mac " + MacText(d->mac) + " on " + d->interface);
    Log("devsim", "ready");

    bool stdinOpen = true;
    std::string pending;
    while (!quit_) {
        std::vector<struct pollfd> fds;
        // A closed port stays in the list (fd -1 is skipped by poll) so indexes match.
        for (auto& p : ports_) fds.push_back({p->fd(), POLLIN, 0});
        if (stdinOpen) fds.push_back({0, POLLIN, 0});
        int r = poll(fds.data(), fds.size(), NextTimerWaitMs());
        if (r < 0 && errno != EINTR) {
            std::perror("devsim: poll");
            return 1;
        }
        for (size_t i = 0; r > 0 && i < ports_.size(); ++i) {
            Port* port = ports_[i].get();
            if (fds[i].revents & POLLNVAL) port->Close();
            if (!(fds[i].revents & (POLLIN | POLLERR | POLLHUP)) || port->closed()) continue;
            DrainPort(port);
        }
        if (stdinOpen && r > 0 && (fds.back().revents & (POLLIN | POLLHUP)))
            stdinOpen = ReadCommands(pending);
        RunTimers();
    }
    return 0;
}

}  // namespace devsim

int main(int argc, char** argv) {
    devsim::Sim sim;
    return sim.Run(argc, argv);
}
