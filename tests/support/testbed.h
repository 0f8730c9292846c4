// Test bed shared by the integration tests and the benchmarks: network namespaces
// joined by veth pairs, the real kivohost and kivo-devsim processes inside them, a UDP
// client for the request protocol. No test framework here: the benchmarks use it too.
//
// Everything a test makes is removed by destructors, also when the test fails; the
// namespaces are named "kvt<pid>-<n>" so that a run that was killed can be cleaned
// up later (tests/integration/cleanup_netns.sh).
#ifndef KIVO_TESTBED_H
#define KIVO_TESTBED_H

#include <sys/types.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "kivo_protocol.h"

namespace kivo::client {
class Client;
}

namespace kivotest {

using Bytes = std::vector<uint8_t>;
using Mac = std::array<uint8_t, 6>;
using namespace std::chrono_literals;

bool IsRoot();

// Runs a shell command; returns its exit status (or -1). Output goes to the test log.
int Shell(const std::string& command);
// Runs a shell command and returns its standard output.
std::string ShellOutput(const std::string& command);
// The text quoted for the shell (single quotes), whatever it holds.
std::string Quote(const std::string& s);
// The whole content of a file; empty when it cannot be read.
std::string ReadFile(const std::string& path);
bool Has(const std::string& text, const std::string& part);

Mac ParseMac(const std::string& text);
std::string MacText(const Mac& mac);

// Address i of a numbered series of simulated devices: 02:00:00:00:<series>:<i>.
Mac SeriesMac(uint8_t series, int i);
// The first lines of a simulated LCMP device's section: on eth1, password "pw", quiet.
std::string LcmpDeviceSection(const std::string& name, const Mac& mac);

// A named network namespace with its loopback up; deleted (with its interfaces) on destruction.
class Netns {
   public:
    Netns();
    ~Netns();
    Netns(const Netns&) = delete;
    Netns& operator=(const Netns&) = delete;

    const std::string& name() const { return name_; }
    // Runs a shell command inside the namespace; returns its exit status.
    int Run(const std::string& command) const;
    std::string RunOutput(const std::string& command) const;
    // Hardware address of an interface inside the namespace.
    Mac InterfaceMac(const std::string& ifname) const;

   private:
    std::string name_;
};

// Moves the calling thread into a namespace for the guard's lifetime. Sockets and
// threads created meanwhile belong to that namespace.
class NsGuard {
   public:
    explicit NsGuard(const Netns& ns);
    ~NsGuard();
    NsGuard(const NsGuard&) = delete;
    NsGuard& operator=(const NsGuard&) = delete;

   private:
    int original_ = -1;
};

// Creates a veth pair: ifA in nsA, ifB in nsB, both up. Optional MACs ("" keeps the
// kernel's random address). Removed when either namespace is deleted.
void AddVeth(const Netns& nsA, const std::string& ifA, const Netns& nsB, const std::string& ifB,
             const std::string& macA = "", const std::string& macB = "");

// The user a child process runs as instead of the test's (root): its user and group,
// no supplementary groups.
struct RunAs {
    uid_t uid = 0;
    gid_t gid = 0;
};
// The user "nobody" and its group, looked up in the user database.
RunAs NobodyUser();

// A child process started inside a namespace, its stdout+stderr captured to a log
// file, its stdin a pipe. Killed (SIGKILL) on destruction and whenever the test
// process dies (PR_SET_PDEATHSIG).
//
// With a user, the child drops to it after entering the namespace and runs argv[0]
// from a descriptor opened as root, so the binary may lie in a directory that user
// cannot reach. The kernel forgets the death signal when a binary with file
// capabilities starts, so such a child outlives a killed test until kivohost's own
// idle time-out; the destructor still kills it.
class Process {
   public:
    Process(const Netns* ns, const std::vector<std::string>& argv,
            const std::optional<RunAs>& user = std::nullopt);
    ~Process();
    Process(const Process&) = delete;
    Process& operator=(const Process&) = delete;

    pid_t pid() const { return pid_; }
    // All output so far.
    std::string Log() const;
    const std::string& LogPath() const { return logPath_; }
    // Polls the log until it contains text (counting from the start); true when found.
    bool WaitForLog(const std::string& text, std::chrono::milliseconds timeout = 10s) const;
    // Number of times text occurs in the log.
    int CountInLog(const std::string& text) const;
    // Writes a line to the child's stdin (a newline is appended).
    bool SendLine(const std::string& line);
    // Waits for the process to exit; returns its exit status, or nullopt on timeout
    // (or -signal when killed by a signal).
    std::optional<int> WaitExit(std::chrono::milliseconds timeout);
    bool Running();
    void Kill();

   private:
    pid_t pid_ = -1;
    int stdinFd_ = -1;
    std::string logPath_;
    std::optional<int> status_;
};

// The request protocol's client for tests: the client library (src/client) with its
// socket made inside the given namespace. Requests go out exactly as the test wrote
// them (its sequence number, any length, any byte 3), once, and wait 20 s by default,
// so that what the devices count is exactly what the test sent. Replies are checked
// and put together by the library: a damaged one is an error, never a result.
class UdpClient {
   public:
    UdpClient(const Netns& ns, uint16_t port);
    ~UdpClient();
    UdpClient(const UdpClient&) = delete;
    UdpClient& operator=(const UdpClient&) = delete;

    // Throws when the socket cannot be connected to the new port.
    void SetPort(uint16_t port);
    // Sends a datagram as it is and returns the reassembled reply: header bytes of
    // segment 0 followed by the payload of every segment (so byte 3 is the reply code),
    // or a one-byte answer as it came; nullopt on time-out or a damaged reply (the
    // reason is in lastError). The raw segments are kept in lastSegments.
    std::optional<Bytes> Request(const Bytes& request, std::chrono::milliseconds timeout = 20s);
    // Builds and sends a request: seq, 0, 0, 0, code, body.
    std::optional<Bytes> Request(uint8_t seq, uint8_t code, const Bytes& body,
                                 std::chrono::milliseconds timeout = 20s);
    // Asks for the version until the service answers; true when it did.
    bool WaitReady(std::chrono::milliseconds timeout = 10s);
    // The library client itself, for typed requests.
    kivo::client::Client& library() { return *client_; }

    std::vector<Bytes> lastSegments;
    std::string lastError;

   private:
    std::unique_ptr<kivo::client::Client> client_;
};

// A bare UDP socket to the service in a namespace, for the few measures and tests that
// send a datagram without waiting for its answer (the request client always waits).
class BareUdp {
   public:
    BareUdp(const Netns& ns, uint16_t port);
    ~BareUdp();
    BareUdp(const BareUdp&) = delete;
    BareUdp& operator=(const BareUdp&) = delete;
    bool Send(const Bytes& datagram);
    // The next datagram that arrives within timeout.
    std::optional<Bytes> Recv(std::chrono::milliseconds timeout);

   private:
    int fd_ = -1;
};

// A common topology: namespace "host" running kivohost, namespace "dev" for the
// simulator, joined by veth pairs.
class Topology {
   public:
    Topology();
    ~Topology();
    Netns& host() { return *host_; }
    Netns& dev() { return *dev_; }
    // Adds a veth pair host:hostIf <-> dev:devIf.
    void Link(const std::string& hostIf, const std::string& devIf, const std::string& hostMac = "",
              const std::string& devMac = "");
    // Starts kivohost in the host namespace on the port and waits until it answers.
    Process& StartKivohost(uint16_t port = kivo::protocol::kDefaultPort);
    // The same with a given kivohost binary, run as the given user.
    Process& StartKivohost(uint16_t port, const std::string& binary, const std::optional<RunAs>& user);
    // Writes the config text to a file and starts kivo-devsim with it in the dev
    // namespace; waits for its ready line.
    Process& StartDevsim(const std::string& config, const std::vector<std::string>& extraArgs = {});
    UdpClient& client();
    Process* kivohost() { return kivohost_.get(); }
    Process* devsim() { return devsim_.get(); }

   private:
    std::unique_ptr<Netns> host_;
    std::unique_ptr<Netns> dev_;
    std::unique_ptr<Process> kivohost_;
    std::unique_ptr<Process> devsim_;
    std::unique_ptr<UdpClient> client_;
    uint16_t port_ = kivo::protocol::kDefaultPort;
    std::string configPath_;
};

// Request-building helpers (big-endian fields).
void PutU8(Bytes& b, uint8_t v);
void PutBe16(Bytes& b, uint16_t v);
void PutBe32(Bytes& b, uint32_t v);
void PutBytes(Bytes& b, const void* p, size_t n);
void PutText(Bytes& b, const std::string& s);  // bytes only, no length
void PutMac(Bytes& b, const Mac& mac);

// Temporary file removed on destruction.
class TempFile {
   public:
    explicit TempFile(const std::string& content, const std::string& suffix = "");
    ~TempFile();
    const std::string& path() const { return path_; }

   private:
    std::string path_;
};

// Open descriptors and threads of this process (for leak checks).
int OpenFdCount();
// A number field of /proc/PID/status ("VmRSS:", "Threads:"); -1 when it cannot be read.
long ProcStatusField(pid_t pid, const char* key);
// Open descriptors of process pid.
long ProcFdCount(pid_t pid);
int ThreadCount();

}  // namespace kivotest

#endif
