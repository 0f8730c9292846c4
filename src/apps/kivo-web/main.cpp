// kivo-web: the browser front-end's server (see man/kivo-web.1 and docs/web.md).
#include <signal.h>
#include <sys/random.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cstdlib>
#include <fstream>
#include <iostream>
#include <thread>

#include "http.h"
#include "service.h"

namespace {

int Refuse(const std::string& message) {
    std::cerr << "kivo-web: " << message << '\n';
    return 2;
}

bool SplitListen(const std::string& text, std::string& address, uint16_t& port) {
    const size_t colon = text.rfind(':');
    if (colon == std::string::npos || colon + 1 == text.size()) return false;
    address = text.substr(0, colon);
    if (address.size() >= 2 && address.front() == '[' && address.back() == ']')
        address = address.substr(1, address.size() - 2);
    const std::string p = text.substr(colon + 1);
    if (address.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const unsigned long n = std::stoul(p);
    if (n > 65535) return false;
    port = static_cast<uint16_t>(n);
    return true;
}

// Tokens travel in a cookie and a URL: letters, digits and "-._~" only.
bool TokenText(const std::string& t) {
    if (t.size() < 16 || t.size() > 256) return false;
    for (unsigned char c : t)
        if (!std::isalnum(c) && c != '-' && c != '.' && c != '_' && c != '~') return false;
    return true;
}

std::optional<std::string> RandomToken() {
    unsigned char b[24];
    if (getrandom(b, sizeof(b), 0) != static_cast<ssize_t>(sizeof(b))) return std::nullopt;
    static const char* hex = "0123456789abcdef";
    std::string t;
    for (unsigned char c : b) t += {hex[c >> 4], hex[c & 15]};
    return t;
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:8080";
    kivoweb::Options serviceOptions;
    kivoweb::HttpConfig http;
    std::string tokenFile;
    std::string uploadDir;
    size_t maxUploadMiB = 64;

    CLI::App app{"kivo-web: the browser front-end of kivohost", "kivo-web"};
    app.set_version_flag("--version", "kivo-web " KIVO_WEB_VERSION);
    app.add_option("--listen", listen, "address and port to serve on (default 127.0.0.1:8080)");
    app.add_option("--service-port", serviceOptions.servicePort,
                   "UDP port of kivohost on 127.0.0.1 (default 55567)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--token-file", tokenFile, "read the access token from the file's first line");
    app.add_option("--tls-cert", http.tlsCert, "TLS certificate (PEM); needed to listen beyond loopback");
    app.add_option("--tls-key", http.tlsKey, "TLS private key (PEM)");
    app.add_option("--assets", http.assetsDir,
                   "serve the page from this folder instead of the built-in files");
    app.add_option("--javascript-dir", http.javascriptDir, "folder served under /javascript/")
        ->capture_default_str();
    app.add_option("--host-name", http.hostNames, "a further name the page is opened under (Host header)");
    app.add_option("--upload-dir", uploadDir,
                   "folder under which uploaded images are kept during their transfer (default: "
                   "$RUNTIME_DIRECTORY, else the temporary folder)");
    app.add_option("--max-upload", maxUploadMiB, "largest upload in MiB (default 64)")
        ->check(CLI::Range(1, 4096));
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }

    if (!SplitListen(listen, http.address, http.port))
        return Refuse("--listen needs ADDRESS:PORT, e.g. 127.0.0.1:8080 or [::1]:8080, not '" + listen + "'");
    if (http.tlsCert.empty() != http.tlsKey.empty())
        return Refuse("--tls-cert and --tls-key go together: give both files or neither");
    if (!kivoweb::IsLoopback(http.address) && http.tlsCert.empty())
        return Refuse("refusing to listen on " + http.address +
                      " without TLS: the access token and device passwords would cross the network in the "
                      "clear. Give --tls-cert FILE and --tls-key FILE, or listen on 127.0.0.1.");
    http.maxUpload = maxUploadMiB << 20;

    bool printToken = false;
    if (!tokenFile.empty()) {
        std::ifstream in(tokenFile);
        std::string line;
        if (!in || !std::getline(in, line)) return Refuse("cannot read the token file " + tokenFile);
        while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
        if (!TokenText(line))
            return Refuse("the token in " + tokenFile +
                          " must be 16 to 256 letters, digits or '-._~' (e.g. the output of 'openssl rand "
                          "-hex 24')");
        http.token = line;
    } else if (auto t = RandomToken()) {
        http.token = *t;
        printToken = true;
    } else {
        std::cerr << "kivo-web: cannot make an access token: no random numbers from the kernel\n";
        return 1;
    }

    if (!uploadDir.empty())
        serviceOptions.uploadParent = uploadDir;
    else if (const char* rt = std::getenv("RUNTIME_DIRECTORY"); rt != nullptr && *rt != '\0')
        serviceOptions.uploadParent = std::string(rt).substr(0, std::string(rt).find(':'));
    else
        serviceOptions.uploadParent = std::filesystem::temp_directory_path();

    // Signals are taken by one thread; every other thread inherits the block.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<kivoweb::Service> service;
    try {
        service = std::make_unique<kivoweb::Service>(serviceOptions);
    } catch (const std::exception& e) {
        std::cerr << "kivo-web: " << e.what() << " (choose a writable folder with --upload-dir)\n";
        return 1;
    }
    kivoweb::WebServer server(*service, http);
    std::string error;
    if (!server.Bind(error)) {
        std::cerr << "kivo-web: " << error << '\n';
        return 1;
    }

    std::atomic<bool> running{true};
    std::thread signals([&] {
        const timespec tick{0, 200 * 1000 * 1000};
        while (running) {
            if (sigtimedwait(&set, nullptr, &tick) > 0) {
                std::cout << "kivo-web: stopping" << std::endl;
                service->Stop();
                server.Stop();
                return;
            }
        }
    });

    const std::string host =
        http.address.find(':') != std::string::npos ? "[" + http.address + "]" : http.address;
    const std::string url = std::string(http.tlsCert.empty() ? "http" : "https") + "://" + host + ":" +
                            std::to_string(server.port()) + "/";
    std::cout << "kivo-web " KIVO_WEB_VERSION ": listening on " << url << " (kivohost on UDP port "
              << serviceOptions.servicePort << ")\n";
    if (printToken)
        std::cout << "kivo-web: open " << url << "?token=" << http.token << '\n';
    else
        std::cout << "kivo-web: open " << url << "?token=TOKEN with the token of " << tokenFile << '\n';
    std::cout << std::flush;

    server.Run();
    running = false;
    signals.join();
    service->Stop();
    return 0;
}
