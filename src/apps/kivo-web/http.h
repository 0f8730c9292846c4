// kivo-web's HTTP side: the JSON API, the event stream, the page's files, and the checks
// every request passes first (Host, access token, Origin). The only place that knows
// cpp-httplib.
#ifndef KIVO_WEB_HTTP_H
#define KIVO_WEB_HTTP_H

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "service.h"

namespace kivoweb {

struct HttpConfig {
    std::string address = "127.0.0.1";  // numeric IPv4 or IPv6, or "localhost"
    uint16_t port = 8080;
    std::string token;
    std::string tlsCert, tlsKey;  // both or neither
    std::string assetsDir;        // empty: the compiled-in files
    std::string javascriptDir = "/usr/share/javascript";
    std::vector<std::string> hostNames;  // further names the Host header may carry
    size_t maxUpload = 64u << 20;
};

class WebServer {
   public:
    WebServer(Service& service, HttpConfig config);
    ~WebServer();
    WebServer(const WebServer&) = delete;
    WebServer& operator=(const WebServer&) = delete;
    // Binds the listening socket; false with a sentence for people in error.
    bool Bind(std::string& error);
    // The port bound (the configured one, or the one the kernel chose for 0).
    uint16_t port() const;
    // Serves until Stop.
    void Run();
    void Stop();

   private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

}  // namespace kivoweb

#endif
