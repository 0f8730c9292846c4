// The routes' work on devices: version, health, interfaces, discovery, parameters,
// factory reset and watching. The firmware transfers are in transfers.cpp.
#include "service.h"

#include <ifaddrs.h>
#include <net/if.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <map>
#include <set>

#include "fields.h"

#ifndef KIVO_WEB_VERSION
#define KIVO_WEB_VERSION "unknown"
#endif

namespace kivoweb {

namespace {

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

}  // namespace

Service::Service(const Options& options)
    : queue_(options.servicePort, {.clients = kClients, .keep = kClients, .setup = {}}),
      uploads_(options.uploadParent) {
    discovery_ = json{{"time", nullptr}, {"interface", ""}, {"devices", json::array()}};
    monitor_ = std::thread([this] { Monitor(); });
}

Service::~Service() {
    Stop();
    if (monitor_.joinable()) monitor_.join();
    std::lock_guard lk(stateMutex_);
    for (const auto& f : transferFiles_.uploaded) uploads_.Remove(f);
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
    const size_t waiting = queue_.Waiting() + firmwareWaiting_;
    // The status and the transfers are read afresh: the monitor's copy may be a poll old,
    // and a transfer that ended since must not be told as running.
    std::optional<json> fresh;
    const bool up = RunFirmware([&](kc::Client& c) {
        if (!c.GetVersion().ok()) return false;
        try {
            ReadStatus(c);
            fresh = ReadTransferList(c);
        } catch (const ApiError&) {
            // Told by the transfers the monitor read last.
        }
        return true;
    });
    ServiceSeen(up, {});
    json transfers = fresh ? *fresh : Transfers();
    std::lock_guard lk(stateMutex_);
    return json{{"service", up ? "up" : "down"},
                {"queue", waiting},
                {"transfer", lastStatus_ ? *lastStatus_ : json(nullptr)},
                {"transfers", transfers}};
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
    std::optional<std::string> note;
    auto records = queue_.Run([&](kc::Client& c) {
        std::vector<kc::DeviceRecord> all;
        auto lcmp = c.DiscoverLcmp(req);
        if (lcmp) {
            all = *lcmp;
            // Devices that answered but would not give their address are no "0 devices".
            if (all.empty()) note = kc::RefusedDiscoveryNote(c);
        } else if (lcmp.error().kind != kc::ErrorKind::kUnsupported)
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
    json result{{"time", now},
                {"interface", req.interface},
                {"devices", devices},
                {"note", note ? json(*note) : json(nullptr)}};
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
    const auto values = WriteValues(body);
    return queue_.Run([&](kc::Client& c) {
        auto r = c.Set(d, values);
        if (!r) throw ClientFailure(c, "Writing the parameters of " + DeviceText(d) + " failed", r.error());
        json out = ParamsJson(*r);
        out.erase("protocol");
        // Per name what became of it: written, refused (the device's text) or not written
        // and why; every name of the request, in its order.
        std::vector<std::string> names;
        for (const auto& [name, value] : values) names.push_back(name);
        json results = json::array();
        for (const auto& o : kc::WriteOutcomes(*r, names))
            results.push_back({{"name", o.name},
                               {"result", std::string(kc::WriteResultName(o.result))},
                               {"written", o.result == kc::WriteResult::kWritten},
                               {"text", o.text}});
        out["results"] = results;
        return out;
    });
}

json Service::ParamsCheck(const json& body) {
    return CheckValue(body);
}

json Service::Reset(const json& body) {
    kc::DeviceAddress d = Device(body);
    return queue_.Run([&](kc::Client& c) {
        auto r = c.FactoryReset(d);
        if (!r) throw ClientFailure(c, "The factory reset of " + DeviceText(d) + " failed", r.error());
        return json{{"done", true}};
    });
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

}  // namespace kivoweb
