// kivo-devsim core: simulated devices on raw Ethernet ports.
//
// The core reads the configuration file, opens one raw port per interface that a
// device sits on, and runs a single-threaded event loop: every received frame is
// offered to every protocol module for every device on that interface; timers run
// delayed work; control commands arrive as lines on standard input. Protocol
// modules (one file each) register themselves with DEVSIM_REGISTER_MODULE.
#ifndef KIVO_DEVSIM_SIM_H
#define KIVO_DEVSIM_SIM_H

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace kivo::l2 {
class Port;
}

namespace devsim {

using Mac = std::array<uint8_t, 6>;
using Bytes = std::vector<uint8_t>;
using Clock = std::chrono::steady_clock;

std::string MacText(const Mac& mac);
bool ParseMac(const std::string& text, Mac& mac);
std::string Hex(const uint8_t* p, size_t n);  // "0a1b2c"
// printf's formatting into a string of at most 511 characters.
std::string Fmt(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
inline std::string Hex(const Bytes& b) {
    return Hex(b.data(), b.size());
}
bool ParseHex(const std::string& text, Bytes& out);  // accepts "0x..." or plain hex, spaces ignored
std::vector<std::string> SplitWords(const std::string& line);

// One simulated device: a "[device NAME]" section of the configuration file.
struct Device {
    std::string name;
    Mac mac{};
    std::string interface;  // the interface the device sits on
    std::string role;       // which module plays it ("lcmp", "scp", "bootrom", ...)
    // Every "key = value" line of the section, in order ("mac", "interface" and
    // "role" included). Keys may repeat (for example "param").
    std::vector<std::pair<std::string, std::string>> options;

    bool has(const std::string& key) const;
    // Last value of key, or def.
    std::string opt(const std::string& key, const std::string& def = "") const;
    std::vector<std::string> optAll(const std::string& key) const;
    long long optInt(const std::string& key, long long def) const;  // decimal or 0x hex
    bool optBool(const std::string& key, bool def) const;           // 1/0, yes/no, true/false, on/off
    // Replaces every value of key (or adds it); used by the "set" control command.
    void setOpt(const std::string& key, const std::string& value);
    void addOpt(const std::string& key, const std::string& value);
    void removeOpt(const std::string& key);

   private:
    // The last value of each key: a device with a thousand parameters is asked for its
    // settings with every frame, and the simulator must not be what a benchmark measures.
    std::unordered_map<std::string, std::string> last_;
};

// One raw port on one interface: every frame on the segment, this host's own left out.
class Port {
   public:
    explicit Port(kivo::l2::Port&& port);
    ~Port();
    Port(const Port&) = delete;
    Port& operator=(const Port&) = delete;

    const std::string& name() const { return name_; }
    int fd() const;          // -1 once closed (poll skips it)
    const Mac& mac() const;  // the interface's own address
    int mtu() const;         // largest payload after the Ethernet header
    // Stops using the port (its interface went away); sends then fail.
    void Close();
    bool closed() const { return fd() < 0; }
    // Sends a complete frame (addresses, optional tag, type/length, payload) as is.
    bool Send(const uint8_t* frame, size_t len);
    bool Send(const Bytes& frame) { return Send(frame.data(), frame.size()); }

   private:
    friend class Sim;  // the event loop receives on the port and sets its capture
    std::string name_;
    // Held behind a pointer so that the modules never see the library's frame codecs:
    // the simulator encodes and decodes frames itself, from the wire layout.
    std::unique_ptr<kivo::l2::Port> port_;
};

// A received frame as it was on the wire: an 802.1Q tag the kernel stripped is put
// back after the source address.
struct Frame {
    Port* port;
    const uint8_t* data;
    size_t len;
    Mac dst() const;
    Mac src() const;
    bool tagged() const;       // 0x8100 after the addresses
    uint16_t vlanTci() const;  // 0 when untagged
    // Offset of the EtherType / 802.3 length field (12, or 16 when tagged).
    size_t typeOffset() const { return tagged() ? 16 : 12; }
    uint16_t etherType() const;  // the field at typeOffset(), 0 when too short
};

class Sim;

// A protocol module. Every callback is optional.
struct Module {
    std::string name;
    // After the configuration is read and the ports are open.
    std::function<void(Sim&)> init;
    // A received frame for a device on the frame's interface; return true when the
    // module handled it (other modules still see the frame).
    std::function<bool(Sim&, Device&, const Frame&)> onFrame;
    // A control command addressed to a device: words after the device name.
    // Return true when the module knew the command.
    std::function<bool(Sim&, Device&, const std::vector<std::string>&)> onCommand;
};

void RegisterModule(Module module);

#define DEVSIM_CONCAT2(a, b) a##b
#define DEVSIM_CONCAT(a, b) DEVSIM_CONCAT2(a, b)
// Registers a module at start-up: DEVSIM_REGISTER_MODULE(MakeMyModule()).
#define DEVSIM_REGISTER_MODULE(expr)                                     \
    static const bool DEVSIM_CONCAT(devsimModuleRegistered_, __LINE__) = \
        (::devsim::RegisterModule(expr), true)

class Sim {
   public:
    std::vector<std::unique_ptr<Device>>& devices() { return devices_; }
    Device* device(const std::string& name);
    Port* port(const std::string& ifname);
    const std::vector<std::unique_ptr<Port>>& ports() const { return ports_; }

    // Prints one log line "<who>: <text>" to standard output and flushes it.
    void Log(const std::string& who, const std::string& text);
    void Log(const Device& d, const std::string& text) { Log(d.name, text); }

    // Runs fn after delay on the event loop. Returns an id for Cancel.
    uint64_t After(std::chrono::milliseconds delay, std::function<void()> fn);
    void Cancel(uint64_t id);
    Clock::time_point Now() const { return Clock::now(); }

    // Module state per device: modules keep their own structure here.
    template <typename T>
    T& State(const Device& d, const std::string& module) {
        auto& slot = state_[module + "/" + d.name];
        if (!slot) slot = std::shared_ptr<void>(new T(), [](void* p) { delete static_cast<T*>(p); });
        return *static_cast<T*>(slot.get());
    }

    // Internal: run by main.
    int Run(int argc, char** argv);

   private:
    bool LoadConfig(const std::string& path);
    bool OpenPorts(const std::string& pcapPath);
    void HandleCommand(const std::string& line);
    void RunTimers();
    // The poll time-out that wakes the loop for the next timer; -1 without one.
    int NextTimerWaitMs() const;
    // Hands every frame queued on the port to the modules of its devices.
    void DrainPort(Port* port);
    // Reads standard input and runs each whole line; false once it is closed.
    bool ReadCommands(std::string& pending);

    std::vector<std::unique_ptr<Device>> devices_;
    std::vector<std::unique_ptr<Port>> ports_;
    std::map<std::string, std::shared_ptr<void>> state_;
    struct Timer {
        Clock::time_point when;
        uint64_t id;
        std::function<void()> fn;
    };
    std::vector<Timer> timers_;
    uint64_t nextTimerId_ = 1;
    bool quit_ = false;
};

}  // namespace devsim

#endif
