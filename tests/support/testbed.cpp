// Test bed: namespaces, veth pairs, child processes, UDP client.
#include "testbed.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <grp.h>
#include <poll.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "kivo_client.h"

namespace kivotest {

namespace {

std::atomic<int> counter{0};

std::string UniqueName(const char* kind) {
    return "kvt" + std::to_string(getpid()) + "-" + kind + std::to_string(counter.fetch_add(1));
}

}  // namespace

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

bool Has(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

bool IsRoot() {
    return geteuid() == 0;
}

int Shell(const std::string& command) {
    int rc = std::system(command.c_str());
    if (rc == -1) return -1;
    return WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
}

std::string ShellOutput(const std::string& command) {
    std::string out;
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) return out;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof(buf), p)) > 0) out.append(buf, n);
    pclose(p);
    return out;
}

Mac ParseMac(const std::string& text) {
    // Texts come from the kernel or `ip` with a line end after them.
    const size_t end = text.find_last_not_of(" \t\r\n");
    return kivo::protocol::ParseMac(std::string_view(text).substr(0, end == std::string::npos ? 0 : end + 1))
        .value_or(Mac{});
}

std::string MacText(const Mac& mac) {
    return kivo::protocol::MacText(mac);
}

Mac SeriesMac(uint8_t series, int i) {
    return Mac{0x02, 0, 0, 0, series, static_cast<uint8_t>(i)};
}

std::string LcmpDeviceSection(const std::string& name, const Mac& mac) {
    return "[device " + name + "]\nmac = " + MacText(mac) +
           "\ninterface = eth1\nrole = lcmp\npassword = pw\nquiet = yes\n";
}

// ---------------------------------------------------------------------------
// Netns

Netns::Netns() : name_(UniqueName("ns")) {
    if (Shell("ip netns add " + name_) != 0) throw std::runtime_error("cannot create namespace " + name_);
    Run("ip link set lo up");
}

Netns::~Netns() {
    // Processes still inside would keep the namespace (and its veth ends) alive.
    Shell("for p in $(ip netns pids " + name_ + " 2>/dev/null); do kill -9 $p 2>/dev/null; done");
    Shell("ip netns del " + name_ + " 2>/dev/null");
}

int Netns::Run(const std::string& command) const {
    return Shell("ip netns exec " + name_ + " sh -c " + Quote(command));
}

std::string Netns::RunOutput(const std::string& command) const {
    return ShellOutput("ip netns exec " + name_ + " sh -c " + Quote(command));
}

Mac Netns::InterfaceMac(const std::string& ifname) const {
    return ParseMac(RunOutput("cat /sys/class/net/" + ifname + "/address"));
}

NsGuard::NsGuard(const Netns& ns) {
    original_ = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    int fd = open(("/var/run/netns/" + ns.name()).c_str(), O_RDONLY | O_CLOEXEC);
    if (original_ < 0 || fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
        if (fd >= 0) close(fd);
        throw std::runtime_error("cannot enter namespace " + ns.name());
    }
    close(fd);
}

NsGuard::~NsGuard() {
    if (original_ >= 0) {
        if (setns(original_, CLONE_NEWNET) != 0) std::perror("setns back");
        close(original_);
    }
}

void AddVeth(const Netns& nsA, const std::string& ifA, const Netns& nsB, const std::string& ifB,
             const std::string& macA, const std::string& macB) {
    // Create under a temporary name in A so that names can repeat across namespaces.
    std::string tmpB = "kvp" + std::to_string(counter.fetch_add(1));
    std::string cmd = "ip -n " + nsA.name() + " link add " + ifA + " type veth peer name " + tmpB +
                      " netns " + nsB.name() + " && ip -n " + nsB.name() + " link set " + tmpB + " name " +
                      ifB;
    if (!macA.empty()) cmd += " && ip -n " + nsA.name() + " link set " + ifA + " address " + macA;
    if (!macB.empty()) cmd += " && ip -n " + nsB.name() + " link set " + ifB + " address " + macB;
    cmd += " && ip -n " + nsA.name() + " link set " + ifA + " up && ip -n " + nsB.name() + " link set " +
           ifB + " up";
    if (Shell(cmd) != 0) throw std::runtime_error("cannot create veth " + ifA + "/" + ifB);
}

// ---------------------------------------------------------------------------
// Process

RunAs NobodyUser() {
    struct passwd* pw = getpwnam("nobody");
    if (pw == nullptr) throw std::runtime_error("the user \"nobody\" does not exist on this machine");
    return RunAs{pw->pw_uid, pw->pw_gid};
}

Process::Process(const Netns* ns, const std::vector<std::string>& argv, const std::optional<RunAs>& user) {
    char tmpl[] = "/tmp/kvt-log-XXXXXX";
    int logFd = mkstemp(tmpl);
    if (logFd < 0) throw std::runtime_error("cannot create log file");
    logPath_ = tmpl;
    int nsFd = -1;
    if (ns != nullptr) {
        nsFd = open(("/var/run/netns/" + ns->name()).c_str(), O_RDONLY | O_CLOEXEC);
        if (nsFd < 0) {
            close(logFd);
            throw std::runtime_error("cannot open namespace " + ns->name());
        }
    }
    int binFd = -1;
    if (user) {
        binFd = open(argv.at(0).c_str(), O_RDONLY | O_CLOEXEC);
        if (binFd < 0) {
            close(logFd);
            if (nsFd >= 0) close(nsFd);
            throw std::runtime_error("cannot open " + argv[0] + ": " + std::strerror(errno));
        }
    }
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0) {
        close(logFd);
        if (nsFd >= 0) close(nsFd);
        if (binFd >= 0) close(binFd);
        throw std::runtime_error("pipe");
    }
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t parent = getpid();
    pid_t pid = fork();
    if (pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent) _exit(127);
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
        dup2(pipeFds[0], 0);
        dup2(logFd, 1);
        dup2(logFd, 2);
        if (user) {
            // Groups first: once the user changes, the group can no longer be changed.
            if (setgroups(0, nullptr) != 0 || setresgid(user->gid, user->gid, user->gid) != 0 ||
                setresuid(user->uid, user->uid, user->uid) != 0)
                _exit(125);
            // A change of user clears the death signal; set it again.
            prctl(PR_SET_PDEATHSIG, SIGKILL);
            if (getppid() != parent) _exit(127);
            fexecve(binFd, args.data(), environ);
            _exit(127);
        }
        execv(args[0], args.data());
        _exit(127);
    }
    if (binFd >= 0) close(binFd);
    close(pipeFds[0]);
    close(logFd);
    if (nsFd >= 0) close(nsFd);
    if (pid < 0) {
        close(pipeFds[1]);
        throw std::runtime_error("fork failed");
    }
    pid_ = pid;
    stdinFd_ = pipeFds[1];
}

Process::~Process() {
    Kill();
    if (stdinFd_ >= 0) close(stdinFd_);
    if (const char* keep = std::getenv("KIVO_KEEP_LOGS"); keep == nullptr || *keep == '\0')
        unlink(logPath_.c_str());
}

std::string Process::Log() const {
    return ReadFile(logPath_);
}

bool Process::WaitForLog(const std::string& text, std::chrono::milliseconds timeout) const {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        if (Log().find(text) != std::string::npos) return true;
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
}

int Process::CountInLog(const std::string& text) const {
    std::string log = Log();
    int n = 0;
    for (size_t pos = log.find(text); pos != std::string::npos; pos = log.find(text, pos + text.size())) ++n;
    return n;
}

bool Process::SendLine(const std::string& line) {
    std::string l = line + "\n";
    return stdinFd_ >= 0 && write(stdinFd_, l.data(), l.size()) == static_cast<ssize_t>(l.size());
}

std::optional<int> Process::WaitExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    if (pid_ < 0) return std::nullopt;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int st = 0;
        pid_t r = waitpid(pid_, &st, WNOHANG);
        if (r == pid_) {
            status_ = WIFEXITED(st) ? WEXITSTATUS(st) : -WTERMSIG(st);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

bool Process::Running() {
    return pid_ > 0 && !WaitExit(0ms).has_value();
}

void Process::Kill() {
    if (pid_ > 0 && !status_) {
        kill(pid_, SIGKILL);
        WaitExit(5s);
    }
}

// ---------------------------------------------------------------------------
// UdpClient

UdpClient::UdpClient(const Netns& ns, uint16_t port) {
    {
        NsGuard guard(ns);
        client_ = std::make_unique<kivo::client::Client>(port);
    }
    if (!client_->isOpen())
        throw std::runtime_error("cannot open a UDP socket in namespace " + ns.name() + " to port " +
                                 std::to_string(port));
    // Exactly one datagram per request, so that device-side counts stay exact.
    client_->SetReadAttempts(1);
    client_->SetTimeout(20s);
}

UdpClient::~UdpClient() = default;

void UdpClient::SetPort(uint16_t port) {
    if (!client_->SetPort(port))
        throw std::runtime_error("cannot connect the test client's UDP socket to port " +
                                 std::to_string(port));
}

std::optional<Bytes> UdpClient::Request(const Bytes& request, std::chrono::milliseconds timeout) {
    auto reply = client_->ExchangeRaw(request, timeout);
    lastSegments = client_->LastSegments();
    if (!reply) {
        lastError = reply.error().message;
        return std::nullopt;
    }
    lastError.clear();
    return std::move(reply.value());
}

std::optional<Bytes> UdpClient::Request(uint8_t seq, uint8_t code, const Bytes& body,
                                        std::chrono::milliseconds timeout) {
    Bytes req{seq, 0, 0, 0, code};
    req.insert(req.end(), body.begin(), body.end());
    return Request(req, timeout);
}

bool UdpClient::WaitReady(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    bool ready = false;
    while (!ready && std::chrono::steady_clock::now() < deadline) {
        // Short attempts: a service still starting up drops the first requests.
        client_->SetTimeout(500ms);
        auto version = client_->GetVersion();
        ready = version.ok();
        if (!ready) {
            lastError = version.error().message;
            // Nothing bound yet is reported at once: poll, do not spin.
            if (version.error().kind == kivo::client::ErrorKind::kNoService)
                std::this_thread::sleep_for(20ms);
        }
    }
    client_->SetTimeout(20s);
    return ready;
}

// ---------------------------------------------------------------------------
// Topology

Topology::Topology() : host_(std::make_unique<Netns>()), dev_(std::make_unique<Netns>()) {}

Topology::~Topology() {
    client_.reset();
    kivohost_.reset();
    devsim_.reset();
    if (!configPath_.empty()) unlink(configPath_.c_str());
    dev_.reset();
    host_.reset();
}

void Topology::Link(const std::string& hostIf, const std::string& devIf, const std::string& hostMac,
                    const std::string& devMac) {
    AddVeth(*host_, hostIf, *dev_, devIf, hostMac, devMac);
}

Process& Topology::StartKivohost(uint16_t port) {
    return StartKivohost(port, KIVOHOST_BIN, std::nullopt);
}

Process& Topology::StartKivohost(uint16_t port, const std::string& binary, const std::optional<RunAs>& user) {
    port_ = port;
    kivohost_ =
        std::make_unique<Process>(host_.get(), std::vector<std::string>{binary, std::to_string(port)}, user);
    client_ = std::make_unique<UdpClient>(*host_, port);
    if (!client_->WaitReady(15s)) throw std::runtime_error("kivohost did not answer: " + kivohost_->Log());
    return *kivohost_;
}

Process& Topology::StartDevsim(const std::string& config, const std::vector<std::string>& extraArgs) {
    if (configPath_.empty()) {
        char tmpl[] = "/tmp/kvt-devsim-XXXXXX";
        int fd = mkstemp(tmpl);
        if (fd < 0) throw std::runtime_error("mkstemp");
        close(fd);
        configPath_ = tmpl;
    }
    std::ofstream(configPath_) << config;
    std::vector<std::string> argv{DEVSIM_BIN, "-c", configPath_};
    argv.insert(argv.end(), extraArgs.begin(), extraArgs.end());
    devsim_ = std::make_unique<Process>(dev_.get(), argv);
    if (!devsim_->WaitForLog("devsim: ready", 15s))
        throw std::runtime_error("kivo-devsim did not start: " + devsim_->Log());
    return *devsim_;
}

UdpClient& Topology::client() {
    if (!client_) client_ = std::make_unique<UdpClient>(*host_, port_);
    return *client_;
}

// ---------------------------------------------------------------------------
// helpers

void PutU8(Bytes& b, uint8_t v) {
    b.push_back(v);
}
void PutBe16(Bytes& b, uint16_t v) {
    b.push_back(static_cast<uint8_t>(v >> 8));
    b.push_back(static_cast<uint8_t>(v));
}
void PutBe32(Bytes& b, uint32_t v) {
    for (int i = 3; i >= 0; --i) b.push_back(static_cast<uint8_t>(v >> (8 * i)));
}
void PutBytes(Bytes& b, const void* p, size_t n) {
    const uint8_t* q = static_cast<const uint8_t*>(p);
    b.insert(b.end(), q, q + n);
}
void PutText(Bytes& b, const std::string& s) {
    PutBytes(b, s.data(), s.size());
}
void PutMac(Bytes& b, const Mac& mac) {
    PutBytes(b, mac.data(), mac.size());
}

TempFile::TempFile(const std::string& content, const std::string& suffix) {
    std::string tmpl = "/tmp/kvt-file-XXXXXX" + suffix;
    std::vector<char> buf(tmpl.begin(), tmpl.end());
    buf.push_back('\0');
    int fd = mkstemps(buf.data(), static_cast<int>(suffix.size()));
    if (fd < 0) throw std::runtime_error("mkstemps");
    if (!content.empty() &&
        write(fd, content.data(), content.size()) != static_cast<ssize_t>(content.size())) {
        close(fd);
        throw std::runtime_error("write temp file");
    }
    close(fd);
    path_ = buf.data();
}

TempFile::~TempFile() {
    unlink(path_.c_str());
}

int OpenFdCount() {
    int n = 0;
    DIR* d = opendir("/proc/self/fd");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n - 1;  // the directory's own descriptor
}

int ThreadCount() {
    // A sanitizer runtime starts a helper thread at the first thread creation: make
    // that happen before anything is counted.
    static const bool warmedUp = [] {
        std::thread([] {}).join();
        return true;
    }();
    (void)warmedUp;
    int n = 0;
    DIR* d = opendir("/proc/self/task");
    if (d == nullptr) return -1;
    while (struct dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

BareUdp::BareUdp(const Netns& ns, uint16_t port) {
    NsGuard inside(ns);
    fd_ = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(port);
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (fd_ >= 0 && connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof(to)) != 0) {
        close(fd_);
        fd_ = -1;
    }
}

BareUdp::~BareUdp() {
    if (fd_ >= 0) close(fd_);
}

bool BareUdp::Send(const Bytes& datagram) {
    return fd_ >= 0 &&
           send(fd_, datagram.data(), datagram.size(), 0) == static_cast<ssize_t>(datagram.size());
}

std::optional<Bytes> BareUdp::Recv(std::chrono::milliseconds timeout) {
    if (fd_ < 0) return std::nullopt;
    pollfd p{fd_, POLLIN, 0};
    if (poll(&p, 1, static_cast<int>(timeout.count())) <= 0) return std::nullopt;
    Bytes b(65536);
    const ssize_t n = recv(fd_, b.data(), b.size(), 0);
    if (n < 0) return std::nullopt;
    b.resize(static_cast<size_t>(n));
    return b;
}

long ProcStatusField(pid_t pid, const char* key) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    return -1;
}

long ProcFdCount(pid_t pid) {
    long count = 0;
    if (DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str())) {
        while (dirent* e = readdir(d))
            if (e->d_name[0] != '.') ++count;
        closedir(d);
    }
    return count;
}

}  // namespace kivotest
