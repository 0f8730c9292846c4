// kivo-exporter: serves kivohost's view of the devices to Prometheus (see man/kivo-exporter.1).
#include <httplib.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <cmath>
#include <cstdlib>
#include <iostream>
#include <memory>
#include <thread>
#include <variant>

#include "collector.h"
#include "config.h"
#include "probe.h"
#include "web.h"

#ifndef KIVO_EXPORTER_VERSION
#define KIVO_EXPORTER_VERSION "unknown"
#endif

using namespace kivo::exporter;
using namespace std::chrono_literals;

namespace {

std::optional<std::string> TimeoutHeader(const httplib::Request& req) {
    if (!req.has_header("X-Prometheus-Scrape-Timeout-Seconds")) return std::nullopt;
    return req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds");
}

constexpr char kMetricsType[] = "text/plain; version=0.0.4; charset=utf-8";

const char* kLandingPage =
    "<!DOCTYPE html><html><head><title>kivo exporter</title></head><body><h1>kivo exporter</h1>"
    "<p>Metrics of the G.hn devices kivohost manages: <a href=\"metrics\">metrics</a>.</p>"
    "<p>One device at a time, for Prometheus' multi-target form: <code>probe?target=NAME&amp;module=MODULE"
    "</code> (see man kivo-exporter).</p></body></html>\n";

void AddRoutes(httplib::Server& server, const Config& config, Collector& collector) {
    server.Get("/metrics", [&](const httplib::Request& req, httplib::Response& res) {
        const auto limit = PageTimeLimit(config.scrapeTimeout, TimeoutHeader(req));
        res.set_content(collector.Scrape(SteadyClock::now() + limit), kMetricsType);
    });
    server.Get("/probe", [&](const httplib::Request& req, httplib::Response& res) {
        const auto probe = ResolveProbe(config, req.get_param_value("target"), req.get_param_value("module"));
        if (const auto* error = std::get_if<std::string>(&probe)) {
            res.status = 400;
            res.set_content(*error + "\n", "text/plain; charset=utf-8");
            return;
        }
        const auto& p = std::get<ProbeRequest>(probe);
        const auto limit = PageTimeLimit(config.scrapeTimeout, TimeoutHeader(req));
        res.set_content(collector.Probe(p.target, p.module, SteadyClock::now() + limit), kMetricsType);
    });
    server.Get("/", [](const httplib::Request&, httplib::Response& res) {
        res.set_content(kLandingPage, "text/html; charset=utf-8");
    });
}

// Basic authentication before every route, when users are configured.
void RequireUsers(httplib::Server& server, const WebConfig& web) {
    if (web.users.empty()) return;
    server.set_pre_routing_handler([&web](const httplib::Request& req, httplib::Response& res) {
        if (CheckBasicAuth(req.get_header_value("Authorization"), web.users))
            return httplib::Server::HandlerResponse::Unhandled;
        res.status = 401;
        res.set_header("WWW-Authenticate", "Basic realm=\"kivo-exporter\", charset=\"UTF-8\"");
        res.set_content("Unauthorized\n", "text/plain");
        return httplib::Server::HandlerResponse::Handled;
    });
}

int Fail(const std::string& message) {
    std::cerr << "kivo-exporter: " << message << std::endl;
    return 1;
}

// Both files; false (after saying why) when one is wrong.
bool LoadFiles(const std::string& configFile, const std::string& webConfigFile, Config& config,
               WebConfig& web) {
    std::string reading = configFile;
    try {
        LoadConfig(configFile, config);
        reading = webConfigFile;
        if (!webConfigFile.empty()) web = LoadWebConfig(webConfigFile);
    } catch (const ConfigError& e) {
        Fail(e.what());
        return false;
    } catch (const std::exception& e) {
        // yaml-cpp's own errors beyond syntax (deep nesting, aliases) end here.
        Fail(reading + ": " + e.what() + "; check the file's YAML");
        return false;
    }
    return true;
}

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

    const auto address = ParseListenAddress(listen);
    if (!address)
        return Fail(
            "--web.listen-address '" + listen +
            "' is not HOST:PORT with an IP address, localhost or an empty host (e.g. 127.0.0.1:9551)");
    Config config;
    WebConfig web;
    if (!LoadFiles(configFile, webConfigFile, config, web)) return 1;
    // Device passwords and parameters must not reach the network in the clear, nor to
    // whoever can reach the port.
    if (!address->loopback && (!web.Tls() || web.users.empty()))
        return Fail("listening on " + listen +
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
            return Fail("cannot load the TLS certificate " + web.certFile + " or its key " + web.keyFile +
                        ": check that both are PEM files and belong together");
        server = std::move(ssl);
    } else {
        server = std::make_unique<httplib::Server>();
    }

    Collector collector(config, KIVO_EXPORTER_VERSION);
    server->set_payload_max_length(4096);
    server->set_read_timeout(10s);
    server->set_write_timeout(10s);
    RequireUsers(*server, web);
    AddRoutes(*server, config, collector);

    if (!server->bind_to_port(address->host, address->port))
        return Fail("cannot listen on " + listen +
                    ": the port is in use or the address is not on this host; choose another with "
                    "--web.listen-address");
    collector.StartDiscovery();
    std::thread serving([&server] { server->listen_after_bind(); });
    std::cout << "kivo-exporter: listening on " << (web.Tls() ? "https://" : "http://") << listen
              << "/metrics, " << config.targets.size()
              << (config.targets.size() == 1 ? " device" : " devices") << ", kivohost on UDP port "
              << config.servicePort << std::endl;

    int sig = 0;
    sigwait(&signals, &sig);
    server->stop();
    serving.join();
    std::cout << "kivo-exporter: stopped" << std::endl;
    return 0;
}
