// kivo-exporter: serves kivohost's view of the devices to Prometheus (see man/kivo-exporter.1).
#include <httplib.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>

#include "collector.h"
#include "config.h"
#include "web.h"

#ifndef KIVO_EXPORTER_VERSION
#define KIVO_EXPORTER_VERSION "unknown"
#endif

using namespace kivo::exporter;
using namespace std::chrono_literals;

namespace {

// Prometheus' own scrape timeout, less a margin for the answer to travel back; nullopt when
// the header is missing or not a sane number.
std::optional<std::chrono::milliseconds> PrometheusTimeout(const httplib::Request& req) {
    if (!req.has_header("X-Prometheus-Scrape-Timeout-Seconds")) return std::nullopt;
    const auto text = req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
    if (text.empty() || text.size() > 20) return std::nullopt;
    char* end = nullptr;
    const double s = std::strtod(text.c_str(), &end);
    if (end != text.c_str() + text.size() || !std::isfinite(s) || s <= 0 || s > 3600) return std::nullopt;
    return std::chrono::milliseconds(static_cast<long long>(s * 1000)) - 500ms;
}

const char* kLandingPage =
    "<!DOCTYPE html><html><head><title>kivo exporter</title></head><body><h1>kivo exporter</h1>"
    "<p>Metrics of the G.hn devices kivohost manages: <a href=\"metrics\">metrics</a>.</p></body></html>\n";

}  // namespace

int main(int argc, char** argv) {
    std::string configFile = "/etc/kivo-exporter/kivo-exporter.yml";
    std::string listen = "127.0.0.1:9551";
    std::string webConfigFile;
    CLI::App app{"kivo-exporter: Prometheus exporter for the G.hn devices kivohost manages", "kivo-exporter"};
    app.add_option("--config.file", configFile, "targets and parameters to export (YAML)")
        ->capture_default_str();
    app.add_option("--web.listen-address", listen, "address and port to serve /metrics on")
        ->capture_default_str();
    app.add_option("--web.config.file", webConfigFile,
                   "TLS and basic authentication settings (YAML); required off loopback");
    app.set_version_flag("--version", std::string("kivo-exporter ") + KIVO_EXPORTER_VERSION);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        const int status = app.exit(e);  // prints help, the version or what was wrong
        return status == 0 ? 0 : 2;
    }

    auto fail = [](const std::string& message) {
        std::cerr << "kivo-exporter: " << message << std::endl;
        return 1;
    };

    const auto address = ParseListenAddress(listen);
    if (!address)
        return fail(
            "--web.listen-address '" + listen +
            "' is not HOST:PORT with an IP address, localhost or an empty host (e.g. 127.0.0.1:9551)");
    Config config;
    WebConfig web;
    std::string reading = configFile;
    try {
        LoadConfig(configFile, config);
        reading = webConfigFile;
        if (!webConfigFile.empty()) web = LoadWebConfig(webConfigFile);
    } catch (const ConfigError& e) {
        return fail(e.what());
    } catch (const std::exception& e) {
        // yaml-cpp's own errors beyond syntax (deep nesting, aliases) end here.
        return fail(reading + ": " + e.what() + "; check the file's YAML");
    }
    // Device passwords and parameters must not reach the network in the clear, nor to
    // whoever can reach the port.
    if (!address->loopback && (!web.Tls() || web.users.empty()))
        return fail("listening on " + listen +
                    ", beyond loopback, needs TLS and basic authentication: give --web.config.file with "
                    "tls_server_config and basic_auth_users, or listen on 127.0.0.1");

    // Signals are taken by sigwait below; every thread started from here on blocks them.
    sigset_t signals;
    sigemptyset(&signals);
    sigaddset(&signals, SIGINT);
    sigaddset(&signals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &signals, nullptr);

    std::unique_ptr<httplib::Server> server;
    if (web.Tls()) {
        auto ssl = std::make_unique<httplib::SSLServer>(web.certFile.c_str(), web.keyFile.c_str());
        if (!ssl->is_valid())
            return fail("cannot load the TLS certificate " + web.certFile + " or its key " + web.keyFile +
                        ": check that both are PEM files and belong together");
        server = std::move(ssl);
    } else {
        server = std::make_unique<httplib::Server>();
    }

    Collector collector(config, KIVO_EXPORTER_VERSION);
    server->set_payload_max_length(4096);
    server->set_read_timeout(10s);
    server->set_write_timeout(10s);
    if (!web.users.empty()) {
        server->set_pre_routing_handler([&web](const httplib::Request& req, httplib::Response& res) {
            if (CheckBasicAuth(req.get_header_value("Authorization"), web.users))
                return httplib::Server::HandlerResponse::Unhandled;
            res.status = 401;
            res.set_header("WWW-Authenticate", "Basic realm=\"kivo-exporter\", charset=\"UTF-8\"");
            res.set_content("Unauthorized\n", "text/plain");
            return httplib::Server::HandlerResponse::Handled;
        });
    }
    server->Get("/metrics", [&](const httplib::Request& req, httplib::Response& res) {
        auto limit = config.scrapeTimeout;
        if (const auto p = PrometheusTimeout(req); p && *p < limit)
            limit = std::max<std::chrono::milliseconds>(*p, 100ms);
        const auto text = collector.Scrape(SteadyClock::now() + limit);
        res.set_content(text, "text/plain; version=0.0.4; charset=utf-8");
    });
    server->Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kLandingPage, "text/html; charset=utf-8");
    });

    if (!server->bind_to_port(address->host, address->port))
        return fail("cannot listen on " + listen +
                    ": the port is in use or the address is not on this host; choose another with "
                    "--web.listen-address");
    collector.StartDiscovery();
    std::thread serving([&server] { server->listen_after_bind(); });
    std::cout << "kivo-exporter: listening on " << (web.Tls() ? "https://" : "http://") << listen
              << "/metrics, " << config.targets.size() << " devices, kivohost on UDP port "
              << config.servicePort << std::endl;

    int sig = 0;
    sigwait(&signals, &sig);
    server->stop();
    serving.join();
    std::cout << "kivo-exporter: stopped" << std::endl;
    return 0;
}
