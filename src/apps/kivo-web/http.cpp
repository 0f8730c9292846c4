#include "http.h"

#include <fcntl.h>
#include <httplib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <set>

#include "assets.h"

namespace kivoweb {

namespace {

using namespace std::chrono_literals;

constexpr size_t kMaxJsonBody = 1u << 20;
constexpr int kMaxJsonDepth = 64;
constexpr size_t kMaxStreams = 32;
constexpr size_t kThreads = 48;
constexpr auto kKeepAliveComment = 15s;
constexpr size_t kMaxStaticFile = 16u << 20;
const char* kCookie = "kivo_token";

std::string Lower(std::string s) {
    std::transform(s.begin(), s.end(), s.begin(), [](unsigned char c) { return std::tolower(c); });
    return s;
}

void Log(const std::string& line) {
    static std::mutex m;
    std::lock_guard lk(m);
    std::fprintf(stdout, "kivo-web: %s\n", line.c_str());
    std::fflush(stdout);
}

// Compares without an early exit, so that the time taken says nothing about the token.
bool SameSecret(const std::string& a, const std::string& b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    const size_t n = std::max(a.size(), b.size());
    for (size_t i = 0; i < n; ++i)
        diff |= static_cast<unsigned char>((i < a.size() ? a[i] : 0) ^ (i < b.size() ? b[i] : 0));
    return diff == 0;
}

void SendJson(httplib::Response& res, int status, const json& body) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(Dump(body), "application/json");
}

void SendError(httplib::Response& res, const ApiError& e) {
    SendJson(res, e.status, e.Body());
}

// A page for people who opened an address in the browser: what went wrong, what to do.
void SendPage(httplib::Response& res, int status, const std::string& title, const std::string& text) {
    res.status = status;
    res.set_header("Cache-Control", "no-store");
    res.set_content(
        "<!DOCTYPE html>\n<html lang=\"en\"><head><meta charset=\"utf-8\">"
        "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">"
        "<title>kivo: " +
            title +
            "</title><style>body{font-family:system-ui,sans-serif;margin:2rem;max-width:40rem;"
            "line-height:1.4}</style></head>\n<body><h1>" +
            title + "</h1>\n<p>" + text + "</p>\n</body></html>\n",
        "text/html; charset=utf-8");
}

// Deep nesting costs the parser stack; no request of the API nests more than a few levels.
bool NestingWithin(const std::string& text, int limit) {
    int depth = 0;
    bool inString = false, escaped = false;
    for (char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
        } else if (c == '"') {
            inString = true;
        } else if (c == '[' || c == '{') {
            if (++depth > limit) return false;
        } else if (c == ']' || c == '}') {
            --depth;
        }
    }
    return true;
}

json JsonBody(const httplib::Request& req) {
    const std::string type = Lower(req.get_header_value("Content-Type"));
    if (type.rfind("application/json", 0) != 0)
        Fail(415, "The request body must be JSON.", "Send it with Content-Type: application/json.");
    if (req.body.size() > kMaxJsonBody) Fail(413, "The JSON body is larger than 1 MiB.");
    if (!NestingWithin(req.body, kMaxJsonDepth)) Fail(400, "The JSON body nests too deeply.");
    json body = json::parse(req.body, nullptr, false);
    if (body.is_discarded()) Fail(400, "The request body is not valid JSON.", "Check the JSON syntax.");
    return body;
}

std::string ContentType(const std::string& path) {
    static const std::map<std::string, std::string> types{{".html", "text/html; charset=utf-8"},
                                                          {".js", "text/javascript; charset=utf-8"},
                                                          {".mjs", "text/javascript; charset=utf-8"},
                                                          {".css", "text/css; charset=utf-8"},
                                                          {".json", "application/json"},
                                                          {".svg", "image/svg+xml"},
                                                          {".png", "image/png"},
                                                          {".ico", "image/x-icon"},
                                                          {".woff2", "font/woff2"},
                                                          {".txt", "text/plain; charset=utf-8"},
                                                          {".map", "application/json"}};
    auto dot = path.rfind('.');
    if (dot != std::string::npos) {
        auto it = types.find(Lower(path.substr(dot)));
        if (it != types.end()) return it->second;
    }
    return "application/octet-stream";
}

// A path inside a served folder: no empty, "." or ".." segment, nothing hidden.
bool SafeRelative(const std::string& path) {
    if (path.empty() || path.size() > 1024) return false;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find('/', start);
        if (end == std::string::npos) end = path.size();
        std::string seg = path.substr(start, end - start);
        if (seg.empty() || seg[0] == '.' || seg.find('\\') != std::string::npos ||
            seg.find('\0') != std::string::npos)
            return false;
        start = end + 1;
    }
    return true;
}

std::optional<std::string> ReadFile(const std::string& path) {
    int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) return std::nullopt;
    struct stat st {};
    std::optional<std::string> out;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && static_cast<size_t>(st.st_size) <= kMaxStaticFile) {
        std::string data(static_cast<size_t>(st.st_size), '\0');
        size_t done = 0;
        while (done < data.size()) {
            ssize_t n = read(fd, data.data() + done, data.size() - done);
            if (n <= 0) break;
            done += static_cast<size_t>(n);
        }
        if (done == data.size()) out = std::move(data);
    }
    close(fd);
    return out;
}

}  // namespace

struct WebServer::Impl {
    Service& service;
    HttpConfig config;
    std::unique_ptr<httplib::Server> server;
    std::set<std::string> hosts;  // accepted Host header values, lower case
    std::map<std::string, const Asset*> assets;
    int boundPort = 0;

    Impl(Service& s, HttpConfig c) : service(s), config(std::move(c)) {}

    bool tls() const { return !config.tlsCert.empty(); }

    void AllowHosts() {
        std::vector<std::string> names{"127.0.0.1", "localhost", "[::1]"};
        std::string a = config.address;
        names.push_back(a.find(':') != std::string::npos ? "[" + a + "]" : a);
        for (const auto& n : config.hostNames) names.push_back(n);
        const int standard = tls() ? 443 : 80;
        for (const auto& n : names) {
            hosts.insert(Lower(n) + ":" + std::to_string(boundPort));
            if (boundPort == standard) hosts.insert(Lower(n));
        }
    }

    std::string Token(const httplib::Request& req) const {
        const std::string auth = req.get_header_value("Authorization");
        if (auth.size() > 7 && Lower(auth.substr(0, 7)) == "bearer ") return auth.substr(7);
        auto range = req.headers.equal_range("Cookie");
        for (auto it = range.first; it != range.second; ++it) {
            const std::string& c = it->second;
            size_t pos = 0;
            while (pos < c.size()) {
                size_t end = c.find(';', pos);
                if (end == std::string::npos) end = c.size();
                std::string part = c.substr(pos, end - pos);
                part.erase(0, part.find_first_not_of(' '));
                if (part.rfind(std::string(kCookie) + "=", 0) == 0)
                    return part.substr(std::strlen(kCookie) + 1);
                pos = end + 1;
            }
        }
        return {};
    }

    // Host (DNS rebinding), token and Origin (cross-site requests), before any route.
    httplib::Server::HandlerResponse Check(const httplib::Request& req, httplib::Response& res) {
        const std::string host = Lower(req.get_header_value("Host"));
        if (hosts.count(host) == 0) {
            SendError(res, {403, "This address is not one kivo-web answers to.",
                            "Open kivo-web as http" + std::string(tls() ? "s" : "") + "://127.0.0.1:" +
                                std::to_string(boundPort) + "/ or start it with --host-name NAME.",
                            std::nullopt});
            return httplib::Server::HandlerResponse::Handled;
        }
        const bool api = req.path.rfind("/api/", 0) == 0;
        if (api && !SameSecret(Token(req), config.token)) {
            SendError(res, {401, "This request has no valid access token for kivo-web.",
                            "Open the address kivo-web printed when it started (the one ending in "
                            "?token=...), or send Authorization: Bearer TOKEN.",
                            std::nullopt});
            return httplib::Server::HandlerResponse::Handled;
        }
        if (req.method != "GET" && req.method != "HEAD") {
            const std::string self = std::string(tls() ? "https" : "http") + "://" + host;
            std::string origin = Lower(req.get_header_value("Origin"));
            const std::string referer = Lower(req.get_header_value("Referer"));
            const std::string site = Lower(req.get_header_value("Sec-Fetch-Site"));
            bool ok = true;
            if (req.has_header("Origin"))
                ok = origin == self;
            else if (req.has_header("Referer"))
                ok = referer == self || referer.rfind(self + "/", 0) == 0;
            if (!site.empty() && site != "same-origin" && site != "none") ok = false;
            if (!ok) {
                SendError(res, {403, "kivo-web refuses changes requested by another site.",
                                "Use the page kivo-web serves itself.", std::nullopt});
                return httplib::Server::HandlerResponse::Handled;
            }
        }
        return httplib::Server::HandlerResponse::Unhandled;
    }

    template <typename F>
    httplib::Server::Handler Api(F fn) {
        return [this, fn](const httplib::Request& req, httplib::Response& res) {
            try {
                SendJson(res, 200, fn(req));
            } catch (const ApiError& e) {
                SendError(res, e);
            } catch (const std::exception& e) {
                Log(std::string("error on ") + req.method + " " + req.path + ": " + e.what());
                SendError(res,
                          {500, "kivo-web failed on this request.", "See kivo-web's log.", std::nullopt});
            }
        };
    }

    // Form fields as texts, and the named file parts.
    static json FormFields(const httplib::Request& req) {
        json fields = json::object();
        for (const auto& [name, part] : req.files)
            if (name != "image" && name != "loader") fields[name] = part.content;
        return fields;
    }
    static Service::UploadedFile FormFile(const httplib::Request& req, const char* name) {
        Service::UploadedFile f;
        if (req.has_file(name)) {
            const auto& file = req.get_file_value(name);
            f.content = file.content;
            f.name = file.filename;
            f.present = true;
        }
        return f;
    }

    void EventStream(const httplib::Request&, httplib::Response& res) {
        if (!service.events().Attach(kMaxStreams)) {
            SendError(res, {503, "Too many event streams are open.", "Close some of kivo-web's tabs.",
                            std::nullopt});
            return;
        }
        struct State {
            Events::Snapshot seen;
            bool first = true;
            std::chrono::steady_clock::time_point lastWrite = std::chrono::steady_clock::now();
        };
        auto st = std::make_shared<State>();
        res.set_header("Cache-Control", "no-store");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, st](size_t, httplib::DataSink& sink) {
                Events& ev = service.events();
                std::string out;
                Events::Snapshot now;
                if (st->first) {
                    st->first = false;
                    now = ev.Current();
                    out = "retry: 3000\n\n";
                    // A new tab sees where a running transfer stands at once.
                    if (now.firmwareSeq != 0) out += "event: firmware\ndata: " + now.firmware + "\n\n";
                    if (now.serviceSeq != 0) out += "event: service\ndata: " + now.service + "\n\n";
                    if (now.transfersSeq != 0) out += "event: transfers\ndata: " + now.transfers + "\n\n";
                } else {
                    now = ev.Wait(st->seen, 1s);
                    if (now.stopping) {
                        sink.done();
                        return true;
                    }
                    if (now.firmwareSeq != st->seen.firmwareSeq)
                        out += "event: firmware\ndata: " + now.firmware + "\n\n";
                    if (now.serviceSeq != st->seen.serviceSeq)
                        out += "event: service\ndata: " + now.service + "\n\n";
                    if (now.transfersSeq != st->seen.transfersSeq)
                        out += "event: transfers\ndata: " + now.transfers + "\n\n";
                    if (now.discoverySeq != st->seen.discoverySeq)
                        out += "event: discovery\ndata: " + now.discovery + "\n\n";
                }
                st->seen = now;
                const auto t = std::chrono::steady_clock::now();
                if (out.empty() && t - st->lastWrite >= kKeepAliveComment) out = ": keep-alive\n\n";
                if (out.empty()) return true;
                st->lastWrite = t;
                return sink.write(out.data(), out.size());
            },
            [this](bool) { service.events().Detach(); });
    }

    void Static(const httplib::Request& req, httplib::Response& res) {
        if (req.path.rfind("/api/", 0) == 0 || req.path == "/api") {
            SendError(res, {404, "There is no API route " + req.path + ".", "docs/web.md lists the routes.",
                            std::nullopt});
            return;
        }
        if (req.path == "/" && req.has_param("token")) {
            if (SameSecret(req.get_param_value("token"), config.token)) {
                res.set_header("Set-Cookie", std::string(kCookie) + "=" + config.token +
                                                 "; Path=/; HttpOnly; SameSite=Strict" +
                                                 (tls() ? "; Secure" : ""));
                res.set_redirect("/", 303);
            } else {
                SendPage(
                    res, 401, "This address has an old or wrong access token",
                    "kivo-web makes a new token each time it starts, unless it reads one from its token "
                    "file. Open the address kivo-web printed when it started (it ends in "
                    "<code>?token=</code>): look in its output, or run <code>journalctl -u kivo-web</code> "
                    "where it runs as a service. Where the token comes from a file (--token-file), ask "
                    "whoever runs kivo-web for it.");
            }
            return;
        }
        const std::string path = req.path == "/" ? "/index.html" : req.path;
        std::optional<std::string> data;
        if (path.rfind("/javascript/", 0) == 0) {
            const std::string rel = path.substr(12);
            if (SafeRelative(rel)) data = ReadFile(config.javascriptDir + "/" + rel);
        } else if (!config.assetsDir.empty()) {
            if (SafeRelative(path.substr(1))) data = ReadFile(config.assetsDir + path);
        } else if (auto it = assets.find(path); it != assets.end()) {
            data = std::string(reinterpret_cast<const char*>(it->second->data), it->second->size);
        }
        if (!data) {
            res.status = 404;
            res.set_content("Not found: " + path + "\n", "text/plain; charset=utf-8");
            return;
        }
        res.set_header("Cache-Control", "no-cache");
        res.set_content(std::move(*data), ContentType(path));
    }

    void Routes() {
        auto& s = *server;
        s.Get("/api/version", Api([this](const httplib::Request&) { return service.Version(); }));
        s.Get("/api/health", Api([this](const httplib::Request&) { return service.Health(); }));
        s.Get("/api/interfaces", Api([this](const httplib::Request&) { return service.Interfaces(); }));
        s.Get("/api/devices", Api([this](const httplib::Request&) { return service.Devices(); }));
        s.Get("/api/firmware/status",
              Api([this](const httplib::Request&) { return service.FirmwareStatus(); }));
        s.Get("/api/events",
              [this](const httplib::Request& req, httplib::Response& res) { EventStream(req, res); });
        s.Post("/api/discover",
               Api([this](const httplib::Request& r) { return service.Discover(JsonBody(r)); }));
        s.Post("/api/params/read",
               Api([this](const httplib::Request& r) { return service.ParamsRead(JsonBody(r)); }));
        s.Post("/api/params/write",
               Api([this](const httplib::Request& r) { return service.ParamsWrite(JsonBody(r)); }));
        s.Post("/api/params/check",
               Api([this](const httplib::Request& r) { return service.ParamsCheck(JsonBody(r)); }));
        s.Post("/api/reset", Api([this](const httplib::Request& r) { return service.Reset(JsonBody(r)); }));
        s.Post("/api/watch", Api([this](const httplib::Request& r) { return service.Watch(JsonBody(r)); }));
        s.Get("/api/firmware/transfers",
              Api([this](const httplib::Request&) { return service.FirmwareTransfers(); }));
        s.Post("/api/firmware/stop", Api([this](const httplib::Request& r) {
                   // No body (or an empty one) stops the latest transfer, as it always did.
                   return service.FirmwareStop(r.body.empty() ? json::object() : JsonBody(r));
               }));
        s.Post("/api/firmware/upgrade", Api([this](const httplib::Request& r) {
                   if (r.is_multipart_form_data())
                       return service.FirmwareUpgrade(FormFields(r), FormFile(r, "image"));
                   return service.FirmwareUpgrade(JsonBody(r), {});
               }));
        s.Post("/api/firmware/boot", Api([this](const httplib::Request& r) {
                   if (r.is_multipart_form_data())
                       return service.FirmwareBoot(FormFields(r), FormFile(r, "loader"),
                                                   FormFile(r, "image"));
                   return service.FirmwareBoot(JsonBody(r), {}, {});
               }));
        s.Get("/.*", [this](const httplib::Request& req, httplib::Response& res) { Static(req, res); });
    }

    // cpp-httplib's own refusals (unknown route, malformed request, too large) in the
    // API's error shape.
    httplib::Server::HandlerResponse ErrorBody(const httplib::Request&, httplib::Response& res) {
        if (!res.body.empty()) return httplib::Server::HandlerResponse::Unhandled;
        ApiError e{res.status, "The request was refused (HTTP " + std::to_string(res.status) + ").", "", {}};
        switch (res.status) {
            case 400:
                e.message = "The request is not well-formed HTTP.";
                break;
            case 404:
                e.message = "There is no such route.";
                e.hint = "docs/web.md lists the routes.";
                break;
            case 413:
                e.message = "The request is larger than kivo-web accepts (" +
                            std::to_string(config.maxUpload >> 20) + " MiB).";
                e.hint =
                    "Start kivo-web with a larger --max-upload, or give the image as a path on the host.";
                break;
            case 414:
                e.message = "The request's address is too long.";
                break;
            default:
                break;
        }
        SendError(res, e);
        return httplib::Server::HandlerResponse::Handled;
    }
};

WebServer::WebServer(Service& service, HttpConfig config)
    : impl_(std::make_unique<Impl>(service, std::move(config))) {
    auto& c = impl_->config;
    if (c.tlsCert.empty())
        impl_->server = std::make_unique<httplib::Server>();
    else
        impl_->server = std::make_unique<httplib::SSLServer>(c.tlsCert.c_str(), c.tlsKey.c_str());
    for (size_t i = 0; i < kAssetCount; ++i) impl_->assets[kAssets[i].path] = &kAssets[i];
    auto& s = *impl_->server;
    s.new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
    s.set_payload_max_length(c.maxUpload + (1u << 20));
    s.set_read_timeout(10, 0);
    s.set_write_timeout(10, 0);
    s.set_keep_alive_timeout(5);
    s.set_keep_alive_max_count(1000);
    // Headers and body go out in separate writes: without this, Nagle and delayed
    // acknowledgements hold every reply back some 40 ms.
    s.set_tcp_nodelay(true);
    s.set_default_headers({{"Content-Security-Policy", "default-src 'self'"},
                           {"X-Content-Type-Options", "nosniff"},
                           {"Referrer-Policy", "no-referrer"},
                           {"X-Frame-Options", "DENY"}});
    Impl* impl = impl_.get();
    s.set_pre_routing_handler(
        [impl](const httplib::Request& req, httplib::Response& res) { return impl->Check(req, res); });
    s.set_error_handler(httplib::Server::HandlerWithResponse(
        [impl](const httplib::Request& req, httplib::Response& res) { return impl->ErrorBody(req, res); }));
    s.set_exception_handler([](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
        Log("error on " + req.method + " " + req.path);
        SendError(res, {500, "kivo-web failed on this request.", "See kivo-web's log.", std::nullopt});
    });
    s.set_logger([](const httplib::Request& req, const httplib::Response& res) {
        // The path only: the query of "/?token=" is the secret itself.
        Log(req.method + " " + req.path + " " + std::to_string(res.status) + " from " + req.remote_addr);
    });
    impl_->Routes();
}

WebServer::~WebServer() = default;

bool WebServer::Bind(std::string& error) {
    auto& c = impl_->config;
    if (!impl_->server->is_valid()) {
        error = "cannot load the TLS certificate " + c.tlsCert + " or key " + c.tlsKey +
                " (PEM files readable by kivo-web, the key matching the certificate)";
        return false;
    }
    const std::string bindAddress = c.address == "localhost" ? "127.0.0.1" : c.address;
    if (c.port == 0) {
        impl_->boundPort = impl_->server->bind_to_any_port(bindAddress);
        if (impl_->boundPort <= 0) impl_->boundPort = 0;
    } else if (impl_->server->bind_to_port(bindAddress, c.port)) {
        impl_->boundPort = c.port;
    }
    if (impl_->boundPort == 0) {
        error = "cannot listen on " + c.address + " port " + std::to_string(c.port) + ": " +
                std::strerror(errno) + " (another program may use the port: choose another with --listen)";
        return false;
    }
    impl_->AllowHosts();
    return true;
}

uint16_t WebServer::port() const {
    return static_cast<uint16_t>(impl_->boundPort);
}

void WebServer::Run() {
    impl_->server->listen_after_bind();
}

void WebServer::Stop() {
    impl_->server->stop();
}

}  // namespace kivoweb
