// The firmware transfers: starting them, stopping them, and the monitor that follows
// them for every page (and keeps kivohost running while kivo-web does).
#include <cmath>

#include "fields.h"
#include "service.h"

namespace kivoweb {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

// A running transfer is followed closely; otherwise the status is read now and then,
// well inside the minute after which an unused kivohost ends.
constexpr auto kPollPeriod = 250ms;
constexpr auto kIdlePeriod = 2s;

}  // namespace

json Service::StartTransfer(bool boot, const json& fields, const std::vector<std::string>& paths,
                            TransferFiles files) {
    try {
        std::string iface = InterfaceName(fields, false);
        uint16_t vlan = Vlan(fields);
        std::optional<kc::Mac> mac;
        if (!boot) mac = MacField(fields);
        return RunFirmware([&](kc::Client& c) {
            auto r = boot ? c.FwStartBoot({iface, vlan, paths[0], paths[1]})
                          : c.FwStartUpgrade({iface, vlan, *mac, paths[0]});
            if (!r) {
                ApiError e = ClientFailure(
                    c, boot ? "The Ethernet boot did not start" : "The upgrade did not start", r.error());
                // The user knows the file by its own name, not by our temporary copy's.
                e.message = ReplacePaths(e.message, files.shown);
                if (e.reason) e.reason->text = ReplacePaths(e.reason->text, files.shown);
                throw e;
            }
            TransferStarted(std::move(files));
            files = {};
            return json{{"started", true}};
        });
    } catch (...) {
        for (const auto& f : files.uploaded) uploads_.Remove(f);
        throw;
    }
}

json Service::FirmwareUpgrade(const json& fields, const UploadedFile& image) {
    RequireObject(fields);
    if (!image.present) return StartTransfer(false, fields, {HostPath(fields, "path")}, {});
    // Checked before the image is stored, so that a bad field leaves no file behind.
    InterfaceName(fields, false);
    MacField(fields);
    Vlan(fields);
    std::string path = uploads_.Save(image.content, "image");
    return StartTransfer(false, fields, {path}, {{path}, {{path, ShownFileName(image.name, "the image")}}});
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
    TransferFiles files{
        {l, i}, {{l, ShownFileName(loader.name, "the loader")}, {i, ShownFileName(image.name, "the image")}}};
    return StartTransfer(true, fields, {l, i}, std::move(files));
}

json Service::FirmwareStop(const json& body) {
    RequireObject(body);
    std::optional<kc::Mac> mac;
    if (!Field(body, "mac").is_null()) mac = MacField(body);
    return RunFirmware([&](kc::Client& c) {
        if (!mac) {
            auto r = c.FwStop();
            if (!r) throw ClientFailure(c, "The transfer could not be stopped", r.error());
            return json{{"stopped", true}};
        }
        auto r = c.FwStopDevice(*mac);
        if (!r) {
            ApiError e =
                ClientFailure(c, "The transfer to " + kc::MacText(*mac) + " could not be stopped", r.error());
            if (r.error().kind == kc::ErrorKind::kFailed) {
                e.status = 409;
                e.hint = "No transfer to " + kc::MacText(*mac) +
                         " is running: it may have ended already. The Firmware view lists the transfers.";
            }
            throw e;
        }
        return json{{"stopped", true}, {"mac", kc::MacText(*mac)}};
    });
}

json Service::FirmwareTransfers() {
    return RunFirmware([&](kc::Client& c) {
        if (auto list = ReadTransferList(c)) return json{{"transfers", *list}, {"source", "list"}};
        ReadStatus(c);
        return json{{"transfers", Transfers()}, {"source", "status"}};
    });
}

json Service::FirmwareStatus() {
    json s = RunFirmware([&](kc::Client& c) { return ReadStatus(c); });
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

json Service::Transfers() {
    std::lock_guard lk(stateMutex_);
    if (transferList_) return *transferList_;
    json list = json::array();
    if (!lastStatus_ || (*lastStatus_)["stateCode"].get<int>() == 0) return list;
    json t = *lastStatus_;
    t["id"] = 0;
    t["running"] = !t["final"].get<bool>();
    list.push_back(std::move(t));
    return list;
}

namespace {

json TransferJson(const kc::FwTransfer& t, uint64_t nowMs) {
    const std::string mac = t.device ? kc::MacText(*t.device) : std::string();
    json reason = nullptr;
    if (t.reason.code != 0 || !t.reason.text.empty())
        reason = {{"code", t.reason.code}, {"name", kc::ReasonName(t.reason.code)}, {"text", t.reason.text}};
    return json{// The start and the interface tell one transfer from the next to the same device.
                {"id", std::to_string(t.startMs) + "-" + t.interface + "-" + mac},
                {"mac", t.device ? json(mac) : json(nullptr)},
                {"kind", kc::FwKindName(t.kind)},
                {"interface", t.interface},
                {"state", kc::FwStateName(t.state)},
                {"stateCode", t.state},
                {"description", kc::FwStateDescription(t.state)},
                {"bytes", t.bytes},
                {"total", t.total},
                {"retransmissions", t.retransmissions},
                {"reason", reason},
                {"running", !t.Final()},
                {"final", t.Final()},
                {"latest", t.latest},
                {"durationMs", t.DurationMs(nowMs)}};
}

}  // namespace

std::optional<json> Service::ReadTransferList(kc::Client& client) {
    auto r = client.GetFwTransfers();
    if (!r) {
        if (r.error().kind != kc::ErrorKind::kUnsupported)
            throw ClientFailure(client, "Cannot read the list of firmware transfers", r.error());
        // An older service: the status stands in for the list (asked again each time, so
        // that a service upgraded meanwhile is read in full).
        std::lock_guard lk(stateMutex_);
        transferList_.reset();
        return std::nullopt;
    }
    json list = json::array();
    for (const kc::FwTransfer& t : r->transfers) {
        json j = TransferJson(t, r->nowMs);
        // The user knows an uploaded file by its own name, not by our temporary copy's.
        if (j["reason"].is_object()) {
            std::lock_guard lk(stateMutex_);
            j["reason"]["text"] = ReplacePaths(j["reason"]["text"].get<std::string>(), uploadNames_);
        }
        list.push_back(std::move(j));
    }
    {
        std::lock_guard lk(stateMutex_);
        transferList_ = list;
    }
    events_.PublishTransfers(list);
    return list;
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
    if (st->state == static_cast<uint8_t>(kc::FwState::kFailed)) {
        // The same failed transfer read again keeps the reason asked for once.
        std::optional<json> known;
        {
            std::lock_guard lk(stateMutex_);
            if (lastStatus_ && lastStatus_->contains("reason") && (*lastStatus_)["stateCode"] == st->state &&
                (*lastStatus_)["bytes"] == st->bytes && (*lastStatus_)["total"] == st->total)
                known = (*lastStatus_)["reason"];
        }
        if (known) {
            s["reason"] = *known;
        } else if (auto reason = kc::FirmwareFailureReason(client)) {
            std::lock_guard lk(stateMutex_);
            s["reason"] = {{"code", reason->code},
                           {"name", kc::ReasonName(reason->code)},
                           {"text", ReplacePaths(reason->text, transferFiles_.shown)}};
        }
    }
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
        // Numbered in the order read, so that a page can drop an answer that arrives after a
        // newer one (a poll overtaken by the event stream).
        json previous = lastStatus_ ? *lastStatus_ : json();
        if (previous.is_object()) previous.erase("seq");
        const bool changed = previous != s;
        s["seq"] = ++statusSeq_;
        lastStatus_ = s;
        if (st->Final()) TransferEnded();
        if (!changed) return s;
    }
    events_.PublishFirmware(s);
    return s;
}

void Service::TransferStarted(TransferFiles files) {
    {
        std::lock_guard lk(stateMutex_);
        for (const auto& f : transferFiles_.uploaded) uploads_.Remove(f);
        // As many as the service lists transfers (32 running, 16 finished), two files each.
        uploadNames_.insert(uploadNames_.end(), files.shown.begin(), files.shown.end());
        constexpr size_t kNamesKept = 2 * (32 + 16);
        if (uploadNames_.size() > kNamesKept)
            uploadNames_.erase(uploadNames_.begin(),
                               uploadNames_.begin() + static_cast<long>(uploadNames_.size() - kNamesKept));
        transferFiles_ = std::move(files);
        samples_.clear();
        watching_ = true;
    }
    stateCv_.notify_all();
}

// Called with stateMutex_ held. The names stay: the failure read after the end still
// names the user's file.
void Service::TransferEnded() {
    for (const auto& f : transferFiles_.uploaded) uploads_.Remove(f);
    transferFiles_.uploaded.clear();
}

void Service::ServiceSeen(bool up, const std::string& why) {
    json state{{"service", up ? "up" : "down"}};
    if (!up) state["message"] = why;
    events_.PublishService(state);
}

// One read of the status and the transfer list for the monitor; none when the service
// did not answer.
std::optional<Service::MonitorSeen> Service::MonitorRead() {
    try {
        MonitorSeen seen = RunFirmware([&](kc::Client& c) {
            const json s = ReadStatus(c);
            MonitorSeen m;
            m.idle = s["stateCode"].get<int>() == 0;
            m.running = !s["final"].get<bool>() && !m.idle;
            if (auto list = ReadTransferList(c))
                for (const json& t : *list) m.running = m.running || t["running"].get<bool>();
            return m;
        });
        ServiceSeen(true, {});
        return seen;
    } catch (const ApiError& e) {
        if (e.status == 503) ServiceSeen(false, e.message + (e.hint.empty() ? "" : " " + e.hint));
        return std::nullopt;
    }
}

void Service::Monitor() {
    int failures = 0;
    int idle = 0;
    std::unique_lock lk(stateMutex_);
    while (!stop_) {
        const bool watching = watching_;
        lk.unlock();
        const std::optional<MonitorSeen> s = MonitorRead();
        lk.lock();
        if (s) {
            failures = 0;
            // Idle for a while: stopped before it began, or the service started anew.
            idle = s->idle ? idle + 1 : 0;
            if (!watching && s->running) watching_ = true;  // started by another front-end
            if (watching && (!s->running && (!s->idle || idle >= 20))) {
                watching_ = false;
                idle = 0;
                TransferEnded();
            }
        } else if (watching && ++failures >= 20) {
            // A service that stopped answering took its transfer with it.
            watching_ = false;
            failures = 0;
            TransferEnded();
        }
        const bool now = watching_;
        stateCv_.wait_for(lk, now ? kPollPeriod : kIdlePeriod, [&] { return stop_ || watching_ != now; });
    }
}

}  // namespace kivoweb
