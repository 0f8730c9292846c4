// kivo-web figures against the real kivo-web, kivohost and one simulated LCMP device in
// namespaces. Needs root. Prints, never asserts:
//   bench_web overhead [N]   one-parameter reads, N through kivo-web's API and N straight
//                            through the client library, interleaved in the same run
//   bench_web load [N]       N HTTP requests from 4 connections at once, two thirds of them
//                            malformed in assorted ways; prints the statuses seen, whether
//                            kivo-web still runs, and its memory, descriptors and threads
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "harness_cfg.h"
#include "kivo_client.h"
#include "testbed.h"

using namespace kivotest;
using Clock = std::chrono::steady_clock;

namespace {

const char* kToken = "bench-token-0123456789abcdef";
const char* kConfig =
    "[device d1]\nmac = 02:00:00:00:10:01\ninterface = eth1\nrole = lcmp\npassword = pw\n"
    "param = SYSTEM.INFO.UPTIME INT32U 86400\nparam = SYSTEM.GENERAL.DEVICE_NAME STRING hall\n";
const char* kReadBody =
    R"({"interface":"kv0","mac":"02:00:00:00:10:01","protocol":"lcmp","password":"pw","names":["SYSTEM.INFO.UPTIME"]})";

// One TCP connection to kivo-web; made in the caller's (namespace-switched) thread.
class Conn {
   public:
    Conn() {
        fd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8080);
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(fd_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof(one));
        timeval tv{30, 0};
        setsockopt(fd_, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        if (connect(fd_, reinterpret_cast<sockaddr*>(&a), sizeof(a)) != 0) {
            close(fd_);
            fd_ = -1;
        }
    }
    ~Conn() {
        if (fd_ >= 0) close(fd_);
    }
    bool ok() const { return fd_ >= 0; }
    bool Write(const std::string& s) {
        size_t done = 0;
        while (done < s.size()) {
            ssize_t n = send(fd_, s.data() + done, s.size() - done, MSG_NOSIGNAL);
            if (n <= 0) return false;
            done += static_cast<size_t>(n);
        }
        return true;
    }
    // Status of one response (its body read by Content-Length); 0 when the connection
    // ended or broke first.
    int ReadResponse(std::string* body = nullptr) {
        std::string buf;
        char tmp[4096];
        size_t end;
        while ((end = buf.find("\r\n\r\n")) == std::string::npos) {
            ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
            if (n <= 0) return 0;
            buf.append(tmp, static_cast<size_t>(n));
        }
        int status = buf.size() > 12 ? std::atoi(buf.c_str() + 9) : 0;
        size_t length = 0;
        auto cl = buf.find("Content-Length: ");
        if (cl != std::string::npos && cl < end) length = std::strtoul(buf.c_str() + cl + 16, nullptr, 10);
        std::string rest = buf.substr(end + 4);
        while (rest.size() < length) {
            ssize_t n = recv(fd_, tmp, sizeof(tmp), 0);
            if (n <= 0) return 0;
            rest.append(tmp, static_cast<size_t>(n));
        }
        if (body) *body = rest;
        return status;
    }

   private:
    int fd_ = -1;
};

std::string Post(const std::string& path, const std::string& body, const std::string& extra = "") {
    return "POST " + path + " HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nAuthorization: Bearer " + kToken +
           "\r\nContent-Type: application/json\r\nContent-Length: " + std::to_string(body.size()) + "\r\n" +
           extra + "\r\n" + body;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[v.size() / 2];
}
double Percentile(std::vector<double> v, double p) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 0 : v[std::min(v.size() - 1, static_cast<size_t>(p * v.size()))];
}

int Overhead(Topology& topo, long n) {
    kivo::client::Client& lib = topo.client().library();
    kivo::client::DeviceAddress d;
    d.interface = "kv0";
    d.mac = *kivo::client::ParseMac("02:00:00:00:10:01");
    d.password = "pw";
    NsGuard in(topo.host());
    auto conn = std::make_unique<Conn>();
    if (!conn->ok()) {
        std::fprintf(stderr, "bench_web: cannot connect to kivo-web\n");
        return 1;
    }
    std::vector<double> web, direct;
    long failures = 0;
    for (long i = 0; i < n + 10; ++i) {
        auto t0 = Clock::now();
        std::string body;
        int status = conn->Write(Post("/api/params/read", kReadBody)) ? conn->ReadResponse(&body) : 0;
        if (status == 0) {  // kivo-web ends a connection after 1000 requests, as browsers expect
            conn = std::make_unique<Conn>();
            t0 = Clock::now();
            status = conn->Write(Post("/api/params/read", kReadBody)) ? conn->ReadResponse(&body) : 0;
        }
        const bool okWeb = status == 200 && body.find("86400") != std::string::npos;
        auto t1 = Clock::now();
        auto r = lib.Get(d, {"SYSTEM.INFO.UPTIME"});
        auto t2 = Clock::now();
        const bool okLib = r && !r->params.empty() && r->params[0].value == "86400";
        if ((!okWeb || !okLib) && failures++ == 0)
            std::fprintf(stderr, "bench_web: first failed read: kivo-web said %s; the library: %s\n",
                         body.c_str(), r ? "fine" : r.error().message.c_str());
        if (i < 10) continue;  // warm-up: sockets, caches, the kernel's neighbour entries
        web.push_back(std::chrono::duration<double, std::milli>(t1 - t0).count());
        direct.push_back(std::chrono::duration<double, std::milli>(t2 - t1).count());
    }
    std::printf("one-parameter LCMP read, %ld of each, interleaved (ms):\n", n);
    std::printf("  %-22s median %.3f  p90 %.3f\n", "client library:", Median(direct),
                Percentile(direct, 0.9));
    std::printf("  %-22s median %.3f  p90 %.3f\n", "kivo-web API (HTTP):", Median(web), Percentile(web, 0.9));
    std::printf("  overhead of kivo-web: median %.3f ms\n", Median(web) - Median(direct));
    std::printf("  failed reads: %ld\n", failures);
    return failures == 0 ? 0 : 1;
}

int Load(Topology& topo, Process& web, long n) {
    const long rss0 = ProcStatusField(web.pid(), "VmRSS:");
    std::mutex m;
    std::map<int, long> statuses;
    std::atomic<long> next{0}, malformed{0};
    auto worker = [&](unsigned seed) {
        NsGuard in(topo.host());
        std::mt19937 rng(seed);
        std::unique_ptr<Conn> conn;
        for (long i; (i = next++) < n;) {
            if (!conn) conn = std::make_unique<Conn>();
            const unsigned kind = rng() % 12;
            std::string req;
            bool bad = true;
            switch (kind) {
                case 0:  // not HTTP at all
                    req = std::string(200, static_cast<char>(rng() % 256)) + "\r\n\r\n";
                    break;
                case 1:  // JSON cut short
                    req = Post("/api/params/check", R"({"type":"INT16U","value":)");
                    break;
                case 2:  // deep nesting
                    req = Post("/api/discover", std::string(5000, '['));
                    break;
                case 3:  // wrong field types
                    req = Post("/api/params/read", R"({"interface":7,"mac":[1],"vlan":"x"})");
                    break;
                case 4:  // a body longer than it says, then garbage
                    req =
                        Post("/api/params/check", R"({"type":"INT8U","value":"1"})") + "\x01\x02GET\r\n\r\n";
                    break;
                case 5:  // a huge header
                    req = "GET /api/version HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nX-Big: " +
                          std::string(20000, 'a') + "\r\n\r\n";
                    break;
                case 6:  // cross-site
                    req = Post("/api/params/check", R"({"type":"INT8U","value":"1"})",
                               "Origin: http://evil.example\r\n");
                    break;
                case 7:  // no token
                    req = "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";
                    break;
                case 8:
                    req = Post("/api/params/check", R"({"type":"INT16U","value":"70000"})");
                    bad = false;
                    break;
                case 9:
                    req = std::string(
                              "GET /api/devices HTTP/1.1\r\nHost: 127.0.0.1:8080\r\nAuthorization: Bearer ") +
                          kToken + "\r\n\r\n";
                    bad = false;
                    break;
                case 10:
                    req = "GET /app.js HTTP/1.1\r\nHost: 127.0.0.1:8080\r\n\r\n";
                    bad = false;
                    break;
                default:
                    req = Post("/api/params/read", kReadBody);
                    bad = false;
                    break;
            }
            if (bad) ++malformed;
            int status = conn->Write(req) ? conn->ReadResponse() : 0;
            // A malformed request may end the connection: the next one starts afresh.
            if (bad || status == 0) conn.reset();
            std::lock_guard lk(m);
            ++statuses[status];
        }
    };
    auto t0 = Clock::now();
    std::vector<std::thread> threads;
    for (unsigned i = 0; i < 4; ++i) threads.emplace_back(worker, 1000 + i);
    for (auto& t : threads) t.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - t0).count();
    std::printf("%ld requests (%ld malformed) from 4 connections in %.1f s\n", n, malformed.load(), seconds);
    std::printf("statuses:");
    for (const auto& [s, c] : statuses) std::printf(" %d:%ld", s, c);
    std::printf("   (0: connection closed without a response)\n");
    std::printf("kivo-web running afterwards: %s\n", web.Running() ? "yes" : "NO");
    std::printf("kivo-web resident memory: %ld kB before, %ld kB after; %ld descriptors, %ld threads\n", rss0,
                ProcStatusField(web.pid(), "VmRSS:"), ProcFdCount(web.pid()),
                ProcStatusField(web.pid(), "Threads:"));
    return web.Running() ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (!IsRoot()) {
        std::fprintf(stderr, "bench_web: needs root (network namespaces)\n");
        return 2;
    }
    const std::string mode = argc > 1 ? argv[1] : "overhead";
    const long n = argc > 2 ? std::atol(argv[2]) : (mode == "load" ? 20000 : 300);
    if (mode != "overhead" && mode != "load") {
        std::fprintf(stderr, "usage: bench_web overhead|load [N]\n");
        return 2;
    }
    Topology topo;
    topo.Link("kv0", "eth1");
    topo.StartDevsim(kConfig);
    topo.StartKivohost();
    WaitLinkUp(topo.host(), "kv0");
    TempFile token(std::string(kToken) + "\n");
    // kivo-web is killed at the end and cannot remove its upload folder: it goes here.
    struct Folder {
        std::string path = "/tmp/kvt-web-bench-XXXXXX";
        Folder() { mkdtemp(path.data()); }
        ~Folder() { std::filesystem::remove_all(path); }
    } uploads;
    Process web(&topo.host(), {KIVO_WEB_BIN, "--listen", "127.0.0.1:8080", "--token-file", token.path(),
                               "--upload-dir", uploads.path});
    if (!web.WaitForLog("listening on", std::chrono::seconds(20))) {
        std::fprintf(stderr, "bench_web: kivo-web did not start:\n%s\n", web.Log().c_str());
        return 1;
    }
    const int rc = mode == "load" ? Load(topo, web, n) : Overhead(topo, n);
    if (rc != 0) std::fprintf(stderr, "bench_web: kivo-web's log:\n%s\n", web.Log().c_str());
    return rc;
}
