// kivo-web: the browser front-end's server (see man/kivo-web.1 and docs/web.md).
#include <signal.h>
#include <sys/random.h>

#include <CLI/CLI.hpp>
#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <optional>
#include <thread>

#include "http.h"
#include "listen_address.h"
#include "service.h"

namespace {

int Refuse(const std::string& message) {
    std::cerr << "kivo-web: " << message << '\n';
    return 2;
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

// Every setting from the command line, checked.
struct Settings {
    std::string listen = "127.0.0.1:8080";
    kivoweb::Options service;
    kivoweb::HttpConfig http;
    std::string tokenFile;
    std::string uploadDir;
    size_t maxUploadMiB = 64;
    bool printToken = false;
};

// Reads the command line; an exit status when kivo-web is to end here (help, version, a
// wrong option).
std::optional<int> Parse(int argc, char** argv, Settings& s) {
    CLI::App app{"kivo-web: the browser front-end of kivohost", "kivo-web"};
    app.set_version_flag("--version", "kivo-web " KIVO_WEB_VERSION);
    app.add_option("--listen", s.listen, "address and port to serve on (default 127.0.0.1:8080)");
    app.add_option("--service-port", s.service.servicePort,
                   "UDP port of kivohost on 127.0.0.1 (default 55567)")
        ->check(CLI::Range(1, 65535));
    app.add_option("--token-file", s.tokenFile, "read the access token from the file's first line");
    app.add_option("--tls-cert", s.http.tlsCert, "TLS certificate (PEM); needed to listen beyond loopback");
    app.add_option("--tls-key", s.http.tlsKey, "TLS private key (PEM)");
    app.add_option("--assets", s.http.assetsDir,
                   "serve the page from this folder instead of the built-in files");
    app.add_option("--javascript-dir", s.http.javascriptDir, "folder served under /javascript/")
        ->capture_default_str();
    app.add_option("--host-name", s.http.hostNames, "a further name the page is opened under (Host header)");
    app.add_option("--upload-dir", s.uploadDir,
                   "folder under which uploaded images are kept during their transfer (default: "
                   "$RUNTIME_DIRECTORY, else the temporary folder)");
    app.add_option("--max-upload", s.maxUploadMiB, "largest upload in MiB (default 64)")
        ->check(CLI::Range(1, 4096));
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp& e) {
        return app.exit(e);
    } catch (const CLI::CallForVersion& e) {
        return app.exit(e);
    } catch (const CLI::ParseError& e) {
        app.exit(e);
        return 2;
    }
    return std::nullopt;
}

// The address, TLS and page folder; an exit status for settings that could only fail.
std::optional<int> CheckServing(Settings& s) {
    auto& http = s.http;
    // Host names are bound as given, and port 0 lets the kernel choose.
    const auto listen =
        kivo::client::ParseListenAddress(s.listen, {.hostNames = true, .portZero = true, .emptyHost = false});
    if (!listen)
        return Refuse("--listen needs ADDRESS:PORT, e.g. 127.0.0.1:8080 or [::1]:8080, not '" + s.listen +
                      "'");
    if (http.tlsCert.empty() != http.tlsKey.empty())
        return Refuse("--tls-cert and --tls-key go together: give both files or neither");
    http.address = listen->host;
    http.port = listen->port;
    if (!listen->loopback && http.tlsCert.empty())
        return Refuse("refusing to listen on " + http.address +
                      " without TLS: the access token and device passwords would cross the network in the "
                      "clear. Give --tls-cert FILE and --tls-key FILE, or listen on 127.0.0.1.");
    http.maxUpload = s.maxUploadMiB << 20;
    if (!http.assetsDir.empty()) {
        std::error_code ec;
        if (!std::filesystem::is_directory(http.assetsDir, ec) ||
            !std::filesystem::exists(std::filesystem::path(http.assetsDir) / "index.html", ec))
            return Refuse(
                "--assets " + http.assetsDir +
                " is not a folder with the page's index.html: give the page's folder (the web/ folder "
                "of the source tree, or /usr/share/kivo/web), or leave --assets out to serve the "
                "built-in page");
    }
    return std::nullopt;
}

// The token from its file, or a random one; an exit status when there is none.
std::optional<int> TakeToken(Settings& s) {
    const std::string& file = s.tokenFile;
    if (file.empty()) {
        auto t = RandomToken();
        if (!t) {
            std::cerr << "kivo-web: cannot make an access token: no random numbers from the kernel\n";
            return 1;
        }
        s.http.token = *t;
        s.printToken = true;
        return std::nullopt;
    }
    std::ifstream in(file);
    std::string line;
    if (!in) return Refuse("cannot read the token file " + file + ": " + std::strerror(errno));
    std::getline(in, line);
    while (!line.empty() && std::isspace(static_cast<unsigned char>(line.back()))) line.pop_back();
    if (line.empty())
        return Refuse("the token file " + file +
                      " is empty: write a token on its first line (e.g. 'openssl rand -hex 24 > " + file +
                      "')");
    if (!TokenText(line))
        return Refuse("the token in " + file +
                      " must be 16 to 256 letters, digits or '-._~' (e.g. the output of 'openssl rand "
                      "-hex 24')");
    s.http.token = line;
    return std::nullopt;
}

void ChooseUploadFolder(Settings& s) {
    if (!s.uploadDir.empty())
        s.service.uploadParent = s.uploadDir;
    else if (const char* rt = std::getenv("RUNTIME_DIRECTORY"); rt != nullptr && *rt != '\0')
        s.service.uploadParent = std::string(rt).substr(0, std::string(rt).find(':'));
    else
        s.service.uploadParent = std::filesystem::temp_directory_path();
}

void PrintAddress(const Settings& s, uint16_t port) {
    const auto& http = s.http;
    // A wildcard address is no place to open: the first --host-name is what clients use.
    const bool wildcard = http.address == "0.0.0.0" || http.address == "::";
    std::string host = http.address.find(':') != std::string::npos ? "[" + http.address + "]" : http.address;
    if (wildcard && !http.hostNames.empty()) host = http.hostNames.front();
    const std::string url = std::string(http.tlsCert.empty() ? "http" : "https") + "://" + host + ":" +
                            std::to_string(port) + "/";
    std::cout << "kivo-web " KIVO_WEB_VERSION ": listening on " << url << " (kivohost on UDP port "
              << s.service.servicePort << ")\n";
    if (s.printToken)
        std::cout << "kivo-web: open " << url << "?token=" << http.token << '\n';
    else
        std::cout << "kivo-web: open " << url << "?token=TOKEN with the token of " << s.tokenFile << '\n';
    std::cout << std::flush;
}

int Serve(const Settings& s) {
    // Signals are taken by one thread; every other thread inherits the block.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &set, nullptr);
    signal(SIGPIPE, SIG_IGN);

    std::unique_ptr<kivoweb::Service> service;
    try {
        service = std::make_unique<kivoweb::Service>(s.service);
    } catch (const std::exception& e) {
        std::cerr << "kivo-web: " << e.what() << " (choose a writable folder with --upload-dir)\n";
        return 1;
    }
    kivoweb::WebServer server(*service, s.http);
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
    PrintAddress(s, server.port());
    server.Run();
    running = false;
    signals.join();
    service->Stop();
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    if (auto end = Parse(argc, argv, s)) return *end;
    if (auto end = CheckServing(s)) return *end;
    if (auto end = TakeToken(s)) return *end;
    ChooseUploadFolder(s);
    return Serve(s);
}
