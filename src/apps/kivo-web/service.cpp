#include "service.h"

#include <fcntl.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <sys/ioctl.h>
#include <sys/random.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <map>
#include <set>

#include "conversion.h"

#ifndef KIVO_WEB_VERSION
#define KIVO_WEB_VERSION "unknown"
#endif

namespace kivoweb {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr auto kPollPeriod = 250ms;
constexpr size_t kMaxNames = 512;

[[noreturn]] void Fail(int status, std::string message, std::string hint = {}) {
    throw ApiError{status, std::move(message), std::move(hint), std::nullopt};
}

// ---------------------------------------------------------------------------
// Request fields

const json& Field(const json& body, const char* key) {
    static const json kNull;
    auto it = body.find(key);
    return it == body.end() ? kNull : *it;
}

void RequireObject(const json& body) {
    if (!body.is_object())
        Fail(400, "The request body must be a JSON object.", "Send Content-Type: application/json.");
}

std::string Text(const json& body, const char* key, bool required, size_t maxLength) {
    const json& v = Field(body, key);
    if (v.is_null()) {
        if (required) Fail(400, std::string("The field \"") + key + "\" is missing.");
        return {};
    }
    if (!v.is_string()) Fail(400, std::string("The field \"") + key + "\" must be a text.");
    const auto& s = v.get_ref<const std::string&>();
    if (s.size() > maxLength)
        Fail(400, std::string("The field \"") + key + "\" is longer than " + std::to_string(maxLength) +
                      " bytes.");
    if (s.find('\0') != std::string::npos)
        Fail(400, std::string("The field \"") + key + "\" contains a zero byte.");
    return s;
}

// A number, or a number written as text (multipart form fields are texts).
uint16_t Vlan(const json& body) {
    const json& v = Field(body, "vlan");
    long long n = 0;
    if (v.is_null()) return 0;
    if (v.is_number_integer()) {
        n = v.get<long long>();
    } else if (v.is_string() && !v.get_ref<const std::string&>().empty() &&
               v.get_ref<const std::string&>().size() <= 5) {
        const auto& s = v.get_ref<const std::string&>();
        if (!std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; }))
            Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
        n = std::stoll(s);
    } else {
        Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
    }
    if (n < 0 || n > 4094) Fail(400, "The VLAN must be a whole number from 0 (untagged) to 4094.");
    return static_cast<uint16_t>(n);
}

std::string InterfaceName(const json& body, bool allowAll) {
    std::string name = Text(body, "interface", !allowAll, 64);
    if (name.empty()) {
        if (!allowAll) Fail(400, "The field \"interface\" is empty.", "Choose one of the host's interfaces.");
        return name;
    }
    if (name.size() >= IF_NAMESIZE || name.find('/') != std::string::npos ||
        std::any_of(name.begin(), name.end(), [](unsigned char c) { return c <= ' ' || c >= 0x7F; }))
        Fail(400, "\"" + name + "\" cannot be the name of a network interface.",
             "GET /api/interfaces lists the host's interfaces.");
    return name;
}

kc::Mac MacField(const json& body) {
    std::string text = Text(body, "mac", true, 64);
    auto mac = kc::ParseMac(text);
    if (!mac) Fail(400, "\"" + text + "\" is not a MAC address.", "Write it as 02:00:00:00:10:01.");
    return *mac;
}

kc::DeviceAddress Device(const json& body) {
    RequireObject(body);
    kc::DeviceAddress d;
    d.interface = InterfaceName(body, false);
    d.mac = MacField(body);
    d.vlan = Vlan(body);
    std::string protocol = Text(body, "protocol", false, 16);
    if (protocol.empty() || protocol == "lcmp")
        d.protocol = kc::Protocol::kLcmp;
    else if (protocol == "scp")
        d.protocol = kc::Protocol::kScp;
    else
        Fail(400, "The protocol must be \"lcmp\" or \"scp\", not \"" + protocol + "\".");
    d.password = Text(body, "password", false, 255);
    return d;
}

std::vector<std::string> Names(const json& body, bool required) {
    const json& v = Field(body, "names");
    std::vector<std::string> names;
    if (v.is_null() && !required) return names;
    if (!v.is_array()) Fail(400, "The field \"names\" must be a list of parameter names.");
    if (v.size() > kMaxNames) Fail(400, "At most " + std::to_string(kMaxNames) + " names fit one request.");
    for (const auto& n : v) {
        if (!n.is_string() || n.get_ref<const std::string&>().empty() ||
            n.get_ref<const std::string&>().find('\0') != std::string::npos)
            Fail(400, "Every parameter name must be a non-empty text.");
        names.push_back(n.get<std::string>());
    }
    if (required && names.empty()) Fail(400, "The field \"names\" lists no parameter.");
    return names;
}

std::string DeviceText(const kc::DeviceAddress& d) {
    return kc::MacText(d.mac) + " on " + d.interface +
           (d.vlan ? " (VLAN " + std::to_string(d.vlan) + ")" : "");
}

// ---------------------------------------------------------------------------
// Failures reported by the service

using R = kivo::protocol::Reason;

int StatusForReason(uint16_t code) {
    switch (static_cast<R>(code)) {
        case R::kNoInterface:
        case R::kInterfaceDown:
        case R::kInvalidValue:
        case R::kRequestTooLarge:
        case R::kFileMissing:
        case R::kFileNotRegular:
        case R::kFileUnreadable:
        case R::kFileTooLarge:
        case R::kFileBadMagic:
        case R::kFileEmpty:
        case R::kMalformedRequest:
            return 400;
        case R::kNotAllowed:
            return 403;
        case R::kNoDevice:
            return 404;
        case R::kBusy:
        case R::kCancelled:
            return 409;
        case R::kNoPermission:
        case R::kInternal:
            return 503;
        default:
            return 502;
    }
}

std::string HintForReason(uint16_t code) {
    switch (static_cast<R>(code)) {
        case R::kNoInterface:
            return "Choose an interface of this host (see the interface list).";
        case R::kInterfaceDown:
            return "Bring the interface up (ip link set NAME up) and try again.";
        case R::kNoPermission:
            return "kivohost needs CAP_NET_RAW: run it as the package installs it, or as root.";
        case R::kNoAnswer:
            return "Check the MAC address, the interface, the VLAN and the password (a wrong password looks "
                   "like a device that does not answer); legacy devices need the SCP protocol.";
        case R::kPasswordRejected:
            return "Check the device's password.";
        case R::kInvalidValue:
            return "Write the value as a read shows it.";
        case R::kNotAllowed:
            return "kivo-web's user must be allowed by kivohost (a member of the group kivo).";
        case R::kBusy:
            return "A firmware transfer is running: wait for its end or stop it.";
        case R::kNoDevice:
            return "Run a discovery and check that the device is powered and connected.";
        case R::kFileMissing:
        case R::kFileNotRegular:
        case R::kFileUnreadable:
            return "Give the absolute path of a file that kivo-web's user may read.";
        default:
            return {};
    }
}

ApiError ClientFailure(kc::Client& client, const std::string& what, const kc::Error& e) {
    ApiError err;
    err.message = what + ": " + e.message + ".";
    switch (e.kind) {
        case kc::ErrorKind::kNoService:
            err.status = 503;
            err.hint =
                "Start kivohost (systemctl start kivohost.socket, or scripts/run.sh), or give kivo-web "
                "its port with --service-port " +
                std::to_string(client.port()) + ".";
            return err;
        case kc::ErrorKind::kInvalidArgument:
            err.status = 400;
            return err;
        case kc::ErrorKind::kBadReply:
        case kc::ErrorKind::kUnsupported:
            err.status = 502;
            err.hint = "kivohost and kivo-web may not be of the same release.";
            return err;
        case kc::ErrorKind::kSystem:
            err.status = 503;
            return err;
        case kc::ErrorKind::kRefused:
        case kc::ErrorKind::kFailed:
            break;
    }
    err.reason = kc::FailureReason(client, e);
    if (err.reason) {
        err.status = StatusForReason(err.reason->code);
        err.hint = HintForReason(err.reason->code);
        err.message = what + ": " + err.reason->text + ".";
    } else if (e.kind == kc::ErrorKind::kRefused && e.request == kc::RequestCode::kFwStart) {
        err.status = 409;
        err.hint = HintForReason(static_cast<uint16_t>(R::kBusy));
    } else {
        err.status = 502;
    }
    return err;
}

json ParamJson(const kc::Param& p) {
    std::string_view type = p.type ? kc::ParamTypeName(*p.type) : std::string_view();
    return json{{"name", p.name},
                {"value", p.value},
                {"type", type.empty() ? json(nullptr) : json(std::string(type))},
                {"elements", p.elements ? json(*p.elements) : json(nullptr)},
                {"refused", p.refused}};
}

json ParamsJson(const kc::ParamReply& r) {
    json params = json::array();
    for (const auto& p : r.params) params.push_back(ParamJson(p));
    return json{{"protocol", r.protocol == kc::Protocol::kScp ? "scp" : "lcmp"}, {"params", params}};
}

// A number written as the service writes one: the whole text, nothing else.
std::optional<double> Number(const std::string& text) {
    size_t b = text.find_first_not_of(" \t");
    size_t e = text.find_last_not_of(" \t");
    if (b == std::string::npos) return std::nullopt;
    std::string t = text.substr(b, e - b + 1);
    char* end = nullptr;
    errno = 0;
    double v = std::strtod(t.c_str(), &end);
    if (end != t.c_str() + t.size() || errno == ERANGE || !std::isfinite(v)) return std::nullopt;
    // strtod also reads hexadecimal and "inf"; a device value is decimal.
    if (t.find_first_of("xXpP") != std::string::npos) return std::nullopt;
    return v;
}

}  // namespace

// ---------------------------------------------------------------------------
// Small pieces

json ApiError::Body() const {
    json e{{"message", message}, {"hint", hint}};
    if (reason)
        e["reason"] = {
            {"code", reason->code}, {"name", kc::ReasonName(reason->code)}, {"text", reason->text}};
    return json{{"error", e}};
}

std::string Dump(const json& j) {
    return j.dump(-1, ' ', false, json::error_handler_t::replace);
}

std::string IsoTime(std::chrono::system_clock::time_point t) {
    std::time_t s = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
    gmtime_r(&s, &tm);
    char buf[32];
    std::strftime(buf, sizeof(buf), "%Y-%m-%dT%H:%M:%SZ", &tm);
    return buf;
}

Queue::Queue(uint16_t servicePort) : client_(servicePort) {}

Queue::Ticket::Ticket(Queue& q) : q_(q) {
    std::unique_lock lk(q_.mutex_);
    const uint64_t mine = q_.next_++;
    q_.cv_.wait(lk, [&] { return q_.serving_ == mine; });
}

Queue::Ticket::~Ticket() {
    {
        std::lock_guard lk(q_.mutex_);
        ++q_.serving_;
    }
    q_.cv_.notify_all();
}

size_t Queue::Waiting() const {
    std::lock_guard lk(mutex_);
    const uint64_t inQueue = next_ - serving_;
    return inQueue > 0 ? inQueue - 1 : 0;
}

Uploads::Uploads(const std::filesystem::path& parent) {
    std::string tmpl = (parent / "kivo-web-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("cannot make a folder for uploaded images in " + parent.string() + ": " +
                                 std::strerror(errno));
    dir_ = tmpl;
    // The service opens a file with its own rights once it has checked ours: its group
    // may pass (x) but not list (r), and the file names are random.
    if (chmod(dir_.c_str(), 0710) != 0)
        throw std::runtime_error("cannot set the mode of " + dir_.string() + ": " + std::strerror(errno));
}

Uploads::~Uploads() {
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
}

std::string Uploads::Save(const std::string& content, const std::string& what) {
    unsigned char rnd[12];
    if (getrandom(rnd, sizeof(rnd), 0) != static_cast<ssize_t>(sizeof(rnd)))
        Fail(503, "Cannot store the uploaded " + what + ": no random name.", "Try again.");
    std::string name;
    {
        std::lock_guard lk(mutex_);
        name = std::to_string(++counter_) + "-";
    }
    static const char* hex = "0123456789abcdef";
    for (unsigned char c : rnd) name += {hex[c >> 4], hex[c & 15]};
    std::string path = (dir_ / (name + ".bin")).string();
    int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0640);
    if (fd < 0) Fail(503, "Cannot store the uploaded " + what + ": " + std::strerror(errno) + ".");
    bool ok = fchmod(fd, 0640) == 0;
    for (size_t done = 0; ok && done < content.size();) {
        ssize_t n = write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0)
            ok = false;
        else
            done += static_cast<size_t>(n);
    }
    const int saved = errno;
    if (close(fd) != 0) ok = false;
    if (!ok) {
        unlink(path.c_str());
        Fail(503, "Cannot store the uploaded " + what + ": " + std::strerror(saved) + ".",
             "Check the free space of " + dir_.parent_path().string() + ".");
    }
    return path;
}

void Uploads::Remove(const std::string& path) {
    unlink(path.c_str());
}

void Events::PublishFirmware(const json& status) {
    std::string text = Dump(status);
    {
        std::lock_guard lk(mutex_);
        if (text == s_.firmware) return;
        s_.firmware = std::move(text);
        ++s_.firmwareSeq;
    }
    cv_.notify_all();
}

void Events::PublishDiscovery(const json& devices) {
    {
        std::lock_guard lk(mutex_);
        s_.discovery = Dump(devices);
        ++s_.discoverySeq;
    }
    cv_.notify_all();
}

Events::Snapshot Events::Wait(const Snapshot& seen, std::chrono::milliseconds timeout) {
    std::unique_lock lk(mutex_);
    cv_.wait_for(lk, timeout, [&] {
        return s_.stopping || s_.firmwareSeq != seen.firmwareSeq || s_.discoverySeq != seen.discoverySeq;
    });
    return s_;
}

Events::Snapshot Events::Current() {
    std::lock_guard lk(mutex_);
    return s_;
}

void Events::Stop() {
    {
        std::lock_guard lk(mutex_);
        s_.stopping = true;
    }
    cv_.notify_all();
}

bool Events::Attach(size_t limit) {
    std::lock_guard lk(mutex_);
    if (streams_ >= limit) return false;
    ++streams_;
    return true;
}

void Events::Detach() {
    std::lock_guard lk(mutex_);
    --streams_;
}

// ---------------------------------------------------------------------------
// The service

Service::Service(const Options& options) : queue_(options.servicePort), uploads_(options.uploadParent) {
    discovery_ = json{{"time", nullptr}, {"interface", ""}, {"devices", json::array()}};
    monitor_ = std::thread([this] { Monitor(); });
}

Service::~Service() {
    Stop();
    if (monitor_.joinable()) monitor_.join();
    std::lock_guard lk(stateMutex_);
    for (const auto& f : transferFiles_) uploads_.Remove(f);
}

void Service::Stop() {
    {
        std::lock_guard lk(stateMutex_);
        stop_ = true;
    }
    stateCv_.notify_all();
    events_.Stop();
}

json Service::Version() {
    return queue_.Run([&](kc::Client& c) {
        auto v = c.GetVersion();
        if (!v) throw ClientFailure(c, "Cannot read kivohost's version", v.error());
        return json{{"web", KIVO_WEB_VERSION}, {"service", v->Text()}};
    });
}

json Service::Health() {
    const size_t waiting = queue_.Waiting();
    const bool up = queue_.Run([&](kc::Client& c) { return c.GetVersion().ok(); });
    std::lock_guard lk(stateMutex_);
    return json{{"service", up ? "up" : "down"},
                {"queue", waiting},
                {"transfer", lastStatus_ ? *lastStatus_ : json(nullptr)}};
}

json Service::Interfaces() {
    struct ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        Fail(503, std::string("Cannot list the host's interfaces: ") + std::strerror(errno) + ".");
    std::map<std::string, bool> found;
    for (auto* a = list; a != nullptr; a = a->ifa_next) {
        if (a->ifa_name == nullptr || (a->ifa_flags & IFF_LOOPBACK)) continue;
        found[a->ifa_name] = found[a->ifa_name] || (a->ifa_flags & IFF_UP);
    }
    freeifaddrs(list);
    json out = json::array();
    for (const auto& [name, up] : found) out.push_back({{"name", name}, {"up", up}});
    return json{{"interfaces", out}};
}

json Service::Discover(const json& body) {
    RequireObject(body);
    kc::DiscoverRequest req{InterfaceName(body, true), Vlan(body)};
    // The service answers an unknown interface as it answers silence (no device), so it is
    // checked here; kivo-web runs beside the service and sees the same interfaces.
    if (!req.interface.empty() && if_nametoindex(req.interface.c_str()) == 0)
        Fail(400, "There is no interface named " + req.interface + " on this host.",
             "Choose one of the host's interfaces.");
    auto records = queue_.Run([&](kc::Client& c) {
        std::vector<kc::DeviceRecord> all;
        auto lcmp = c.DiscoverLcmp(req);
        if (lcmp)
            all = *lcmp;
        else if (lcmp.error().kind != kc::ErrorKind::kUnsupported)
            throw ClientFailure(c, "The LCMP discovery failed", lcmp.error());
        auto legacy = c.Discover(req);
        if (!legacy) throw ClientFailure(c, "The discovery failed", legacy.error());
        all.insert(all.end(), legacy->begin(), legacy->end());
        return all;
    });
    const std::string now = IsoTime(std::chrono::system_clock::now());
    // One entry per device and interface, as the most capable kind it answered as.
    std::map<std::pair<std::string, kc::Mac>, std::set<uint8_t>> merged;
    for (const auto& r : records) merged[{r.interface, r.mac}].insert(r.type);
    auto rank = [](uint8_t t) { return t == 3 ? 0 : t == 2 ? 1 : t == 1 ? 2 : t == 0 ? 3 : 4 + t; };
    json devices = json::array();
    for (const auto& [key, types] : merged) {
        std::vector<uint8_t> v(types.begin(), types.end());
        std::sort(v.begin(), v.end(), [&](uint8_t a, uint8_t b) { return rank(a) < rank(b); });
        json kinds = json::array();
        for (uint8_t t : v) kinds.push_back(kc::DeviceKindName(t));
        devices.push_back({{"kind", kinds.front()},
                           {"kinds", kinds},
                           {"mac", kc::MacText(key.second)},
                           {"interface", key.first},
                           {"seen", now}});
    }
    json result{{"time", now}, {"interface", req.interface}, {"devices", devices}};
    {
        std::lock_guard lk(stateMutex_);
        discovery_ = result;
    }
    events_.PublishDiscovery(result);
    return result;
}

json Service::Devices() {
    std::lock_guard lk(stateMutex_);
    return discovery_;
}

json Service::ParamsRead(const json& body) {
    kc::DeviceAddress d = Device(body);
    std::vector<std::string> names = Names(body, false);
    return queue_.Run([&](kc::Client& c) {
        auto r = names.empty() ? c.GetAll(d) : c.Get(d, names);
        if (!r) throw ClientFailure(c, "Reading the parameters of " + DeviceText(d) + " failed", r.error());
        return ParamsJson(*r);
    });
}

json Service::ParamsWrite(const json& body) {
    kc::DeviceAddress d = Device(body);
    const json& v = Field(body, "values");
    if (!v.is_object() || v.empty())
        Fail(400, "The field \"values\" must map parameter names to value texts.");
    if (v.size() > kMaxNames) Fail(400, "At most " + std::to_string(kMaxNames) + " values fit one request.");
    std::vector<std::pair<std::string, std::string>> values;
    for (const auto& [name, value] : v.items()) {
        if (!value.is_string())
            Fail(400, "The value of " + name + " must be a text, written as a read shows it.");
        if (name.empty() || name.find('\0') != std::string::npos ||
            value.get_ref<const std::string&>().find('\0') != std::string::npos)
            Fail(400, "Parameter names and values may not be empty or contain a zero byte.");
        values.emplace_back(name, value.get<std::string>());
    }
    return queue_.Run([&](kc::Client& c) {
        auto r = c.Set(d, values);
        if (!r) throw ClientFailure(c, "Writing the parameters of " + DeviceText(d) + " failed", r.error());
        json out = ParamsJson(*r);
        out.erase("protocol");
        return out;
    });
}

json Service::ParamsCheck(const json& body) {
    RequireObject(body);
    std::string typeName = Text(body, "type", true, 64);
    std::string value = Text(body, "value", true, CONVERSION_VALUE_AREA_SIZE - 1);
    std::optional<t_paramType> type;
    for (INT32U code = 0; code <= PARAM_TYPE_LAST_VALUE_TYPE; ++code) {
        const CHAR* name = ConversionTypeToString(static_cast<t_paramType>(code));
        if (name != nullptr && typeName == name) type = static_cast<t_paramType>(code);
    }
    if (!type) Fail(400, "\"" + typeName + "\" is not a parameter type.", "Use the type a read shows.");
    std::vector<INT8U> area(CONVERSION_VALUE_AREA_SIZE);
    INT32U length = 0;
    const bool ok = ConversionStringToValue(*type, value.c_str(), area.data(),
                                            static_cast<INT32U>(area.size()), &length) == TRUE;
    return json{{"ok", ok},
                {"message", ok ? std::string() : "\"" + value + "\" is not a valid " + typeName + " value."}};
}

json Service::Reset(const json& body) {
    kc::DeviceAddress d = Device(body);
    return queue_.Run([&](kc::Client& c) {
        auto r = c.FactoryReset(d);
        if (!r) throw ClientFailure(c, "The factory reset of " + DeviceText(d) + " failed", r.error());
        return json{{"done", true}};
    });
}

json Service::StartTransfer(bool boot, const json& fields, const std::vector<std::string>& paths,
                            std::vector<std::string> uploaded) {
    auto cleanup = [&] {
        for (const auto& f : uploaded) uploads_.Remove(f);
    };
    try {
        std::string iface = InterfaceName(fields, false);
        uint16_t vlan = Vlan(fields);
        std::optional<kc::Mac> mac;
        if (!boot) mac = MacField(fields);
        return queue_.Run([&](kc::Client& c) {
            auto r = boot ? c.FwStartBoot({iface, vlan, paths[0], paths[1]})
                          : c.FwStartUpgrade({iface, vlan, *mac, paths[0]});
            if (!r)
                throw ClientFailure(c, boot ? "The Ethernet boot did not start" : "The upgrade did not start",
                                    r.error());
            TransferStarted(uploaded);
            uploaded.clear();
            return json{{"started", true}};
        });
    } catch (...) {
        cleanup();
        throw;
    }
}

namespace {

std::string HostPath(const json& fields, const char* key) {
    std::string p = Text(fields, key, true, 4096);
    if (p.empty() || p[0] != '/')
        Fail(400, std::string("The field \"") + key + "\" must be an absolute path on the host.");
    return p;
}

}  // namespace

json Service::FirmwareUpgrade(const json& fields, const UploadedFile& image) {
    RequireObject(fields);
    if (!image.present) return StartTransfer(false, fields, {HostPath(fields, "path")}, {});
    // Checked before the image is stored, so that a bad field leaves no file behind.
    InterfaceName(fields, false);
    MacField(fields);
    Vlan(fields);
    std::string path = uploads_.Save(image.content, "image");
    return StartTransfer(false, fields, {path}, {path});
}

json Service::FirmwareBoot(const json& fields, const UploadedFile& loader, const UploadedFile& image) {
    RequireObject(fields);
    if (!loader.present && !image.present)
        return StartTransfer(true, fields, {HostPath(fields, "loaderPath"), HostPath(fields, "path")}, {});
    if (!loader.present || !image.present)
        Fail(400, "An Ethernet boot needs two files: \"loader\" and \"image\".");
    InterfaceName(fields, false);
    Vlan(fields);
    std::string l = uploads_.Save(loader.content, "loader");
    std::string i;
    try {
        i = uploads_.Save(image.content, "image");
    } catch (...) {
        uploads_.Remove(l);
        throw;
    }
    return StartTransfer(true, fields, {l, i}, {l, i});
}

json Service::FirmwareStop() {
    return queue_.Run([&](kc::Client& c) {
        auto r = c.FwStop();
        if (!r) throw ClientFailure(c, "The transfer could not be stopped", r.error());
        return json{{"stopped", true}};
    });
}

json Service::FirmwareStatus() {
    json s = queue_.Run([&](kc::Client& c) { return ReadStatus(c); });
    // A transfer started by another front-end (kivoctl) is followed from now on too.
    if (!s["final"].get<bool>() && s["stateCode"].get<int>() != 0) {
        {
            std::lock_guard lk(stateMutex_);
            watching_ = true;
        }
        stateCv_.notify_all();
    }
    return s;
}

json Service::Watch(const json& body) {
    kc::DeviceAddress d = Device(body);
    std::vector<std::string> names = Names(body, true);
    auto reply = queue_.Run([&](kc::Client& c) {
        auto r = c.Get(d, names);
        if (!r) throw ClientFailure(c, "Reading the parameters of " + DeviceText(d) + " failed", r.error());
        return *r;
    });
    json values = json::object();
    for (const auto& p : reply.params)
        if (!p.refused)
            if (auto v = Number(p.value)) values[p.name] = *v;
    json skipped = json::array();
    for (const auto& n : names)
        if (!values.contains(n)) skipped.push_back(n);
    return json{
        {"time", IsoTime(std::chrono::system_clock::now())}, {"values", values}, {"skipped", skipped}};
}

json Service::ReadStatus(kc::Client& client) {
    auto st = client.GetFwStatus();
    if (!st) throw ClientFailure(client, "Cannot read the firmware transfer's status", st.error());
    json s{{"state", kc::FwStateName(st->state)},
           {"stateCode", st->state},
           {"description", kc::FwStateDescription(st->state)},
           {"bytes", st->bytes},
           {"total", st->total},
           {"retransmissions", st->retransmissions ? json(*st->retransmissions) : json(nullptr)},
           {"final", st->Final()}};
    if (st->state == static_cast<uint8_t>(kc::FwState::kFailed))
        if (auto reason = kc::FirmwareFailureReason(client))
            s["reason"] = {
                {"code", reason->code}, {"name", kc::ReasonName(reason->code)}, {"text", reason->text}};
    {
        std::lock_guard lk(stateMutex_);
        // Bytes per second over the last seconds of the same phase (a boot counts each
        // chunk from zero).
        const auto now = Clock::now();
        if (!samples_.empty() && (samples_.back().state != st->state || samples_.back().bytes > st->bytes))
            samples_.clear();
        samples_.push_back({now, st->bytes, st->state});
        while (samples_.size() > 2 && now - samples_.front().at > 3s) samples_.pop_front();
        const double dt = std::chrono::duration<double>(now - samples_.front().at).count();
        const bool moving = st->state >= 2 && st->state <= 4;
        s["rate"] =
            moving && dt >= 0.5 ? json(std::round((st->bytes - samples_.front().bytes) / dt)) : json(nullptr);
        const bool changed = !lastStatus_ || *lastStatus_ != s;
        lastStatus_ = s;
        if (st->Final()) TransferEnded();
        if (!changed) return s;
    }
    events_.PublishFirmware(s);
    return s;
}

void Service::TransferStarted(std::vector<std::string> files) {
    {
        std::lock_guard lk(stateMutex_);
        for (const auto& f : transferFiles_) uploads_.Remove(f);
        transferFiles_ = std::move(files);
        samples_.clear();
        watching_ = true;
    }
    stateCv_.notify_all();
}

// Called with stateMutex_ held.
void Service::TransferEnded() {
    for (const auto& f : transferFiles_) uploads_.Remove(f);
    transferFiles_.clear();
}

void Service::Monitor() {
    int failures = 0;
    int idle = 0;
    std::unique_lock lk(stateMutex_);
    while (!stop_) {
        stateCv_.wait(lk, [&] { return stop_ || watching_; });
        if (stop_) break;
        lk.unlock();
        bool done = false;
        try {
            json s = queue_.Run([&](kc::Client& c) { return ReadStatus(c); });
            // Idle for a while: stopped before it began, or the service started anew.
            idle = s["stateCode"].get<int>() == 0 ? idle + 1 : 0;
            done = s["final"].get<bool>() || idle >= 20;
            failures = 0;
        } catch (const ApiError&) {
            // A service that stopped answering took its transfer with it.
            done = ++failures >= 20;
        }
        lk.lock();
        if (done) {
            watching_ = false;
            idle = 0;
            TransferEnded();
        }
        stateCv_.wait_for(lk, kPollPeriod, [&] { return stop_; });
    }
}

}  // namespace kivoweb
