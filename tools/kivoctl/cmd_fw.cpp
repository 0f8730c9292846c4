// kivoctl fw: upgrade, boot, status and stop.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <memory>

#include "fw_chunks.h"
#include "fw_wait.h"

namespace kivoctl {

namespace {

// Absolute path of a file that exists and is a regular file: the service resolves
// paths in its own working directory, which is not the user's.
std::optional<std::string> FirmwarePath(const std::string& path, const char* what, std::string& error) {
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::path abs = fs::absolute(path, ec);
    if (ec) {
        error = std::string("cannot resolve the ") + what + " path '" + path + "': " + ec.message();
        return std::nullopt;
    }
    abs = abs.lexically_normal();
    auto st = fs::status(abs, ec);
    if (ec || !fs::exists(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' does not exist";
        return std::nullopt;
    }
    if (!fs::is_regular_file(st)) {
        error = std::string("the ") + what + " '" + abs.string() + "' is not a regular file";
        return std::nullopt;
    }
    if (access(abs.c_str(), R_OK) != 0) {
        error =
            std::string("the ") + what + " '" + abs.string() + "' is not readable: " + std::strerror(errno);
        return std::nullopt;
    }
    // A device that takes an empty image reports success and is left without firmware.
    if (fs::file_size(abs, ec) == 0 && !ec) {
        error = std::string("the ") + what + " '" + abs.string() +
                "' is empty (0 bytes); check that this is the right file and that it was copied whole";
        return std::nullopt;
    }
    return abs.string();
}

// Chunks of a chunked firmware file, walked with the service's own reader. Nullopt when
// the file does not read as one.
std::optional<uint32_t> ChunkCount(const std::string& path) {
    const std::unique_ptr<FILE, int (*)(FILE*)> file(std::fopen(path.c_str(), "rb"), &std::fclose);
    if (!file) return std::nullopt;
    kivo::fw::ChunkReader reader(file.get());
    if (reader.Start() != kivo::fw::ChunkStatus::kRecord) return std::nullopt;
    uint32_t count = 0;
    kivo::fw::ChunkRecord record;
    for (;;) {
        switch (reader.Next(record)) {
            case kivo::fw::ChunkStatus::kEnd:
                return count;
            case kivo::fw::ChunkStatus::kRecord:
                if (!reader.SkipData(record)) return std::nullopt;
                ++count;
                break;
            default:
                return std::nullopt;
        }
    }
}

}  // namespace

int CmdFwStart(const Globals& g, const FwTarget& t, bool boot) {
    if (auto e = CheckInterface(t.interface)) return Usage(g, *e);
    std::string error;
    // A file kivoctl cannot send is no usage mistake: the message says what to do.
    auto fw = FirmwarePath(t.firmware, boot ? "firmware file" : "firmware image", error);
    if (!fw) return Report(g, kExitUsage, "usage", error);
    std::optional<std::string> loader;
    std::optional<kc::Mac> mac;
    if (boot) {
        loader = FirmwarePath(t.loader, "loader file", error);
        if (!loader) return Report(g, kExitUsage, "usage", error);
    } else {
        std::vector<kc::Mac> macs;
        for (const std::string& text : t.macs) {
            mac = kc::ParseMac(text);
            if (!mac)
                return Usage(
                    g, "'" + Printable(text) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
            if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
            if (std::find(macs.begin(), macs.end(), *mac) != macs.end())
                return Usage(g, "device " + kc::MacText(*mac) + " is given twice; give each device once");
            macs.push_back(*mac);
        }
        if (macs.size() > 1) return UpgradeMany(g, t, macs, *fw);
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    const std::string operation = boot ? "Ethernet boot" : "upgrade";
    // From before the start on: a Ctrl-C while the start is under way still stops the
    // transfer it launched.
    std::optional<InterruptGuard> guard;
    if (t.wait) guard.emplace();
    auto r = boot ? client.FwStartBoot({t.interface, t.vlan, *loader, *fw})
                  : client.FwStartUpgrade({t.interface, t.vlan, *mac, *fw});
    if (!r) return ClientFailure(g, client, "cannot start the " + operation, r.error());
    json result{{"started", true},
                {"operation", boot ? "boot" : "upgrade"},
                {"interface", t.interface},
                {"vlan", t.vlan},
                {"mac", mac ? json(kc::MacText(*mac)) : json(nullptr)},
                {"firmware", *fw},
                {"loader", loader ? json(*loader) : json(nullptr)}};
    if (!g.json)
        std::cout << operation << " started on " << t.interface << (boot ? "" : " for " + kc::MacText(*mac))
                  << ": " << *fw << '\n';
    if (!t.wait) {
        if (g.json)
            PrintJson(result);
        else
            std::cout << "Follow it with 'kivoctl fw status'.\n";
        return kExitOk;
    }
    std::string sentText;
    if (boot) {
        std::error_code ec;
        const auto loaderBytes = std::filesystem::file_size(*loader, ec);
        const auto fwBytes = std::filesystem::file_size(*fw, ec);
        if (!ec) {
            const auto chunks = ChunkCount(*fw);
            sentText =
                "the whole loader (" + std::to_string(loaderBytes) + " bytes) and firmware (" +
                std::to_string(fwBytes) + " bytes" +
                (chunks ? ", " + std::to_string(*chunks) + (*chunks == 1 ? " chunk" : " chunks") : "") +
                ") sent";
        }
    }
    return WaitTransfer(g, client, operation, std::move(result), sentText);
}

int CmdFwStatus(const Globals& g) {
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    auto s = client.GetFwStatus();
    if (!s) return ClientFailure(g, client, "cannot read the firmware server's status", s.error());
    // Every transfer, when the service lists them; else the latest one's status alone.
    auto listing = client.GetFwTransfers();
    if (!listing && listing.error().kind != kc::ErrorKind::kUnsupported)
        return ClientFailure(g, client, "cannot list the firmware transfers", listing.error());
    if (g.json) {
        // The latest transfer's fields stay at the top, as before the listing.
        json doc = FwStatusJson(*s);
        json all = json::array();
        if (listing)
            for (const kc::FwTransfer& t : listing->transfers) all.push_back(TransferJson(t, listing->nowMs));
        doc["transfers"] = listing ? all : json(nullptr);
        PrintJson(doc);
        return kExitOk;
    }
    if (listing) {
        if (listing->transfers.empty()) {
            std::cout << "No firmware transfer since the service started.\n";
            return kExitOk;
        }
        std::vector<std::vector<std::string>> rows;
        for (const kc::FwTransfer& t : listing->transfers)
            rows.push_back({t.device ? kc::MacText(*t.device) : "-", kc::FwKindName(t.kind),
                            Printable(t.interface), kc::FwStateName(t.state) + (t.latest ? " *" : ""),
                            std::to_string(t.bytes), std::to_string(t.total),
                            std::to_string(t.retransmissions),
                            Elapsed(static_cast<double>(t.DurationMs(listing->nowMs)) / 1000),
                            t.reason.text.empty() ? "" : Printable(t.reason.text)});
        PrintTable({"DEVICE", "KIND", "INTERFACE", "STATE", "BYTES", "TOTAL", "RETRANS", "TIME", "REASON"},
                   rows);
        std::cout << "(* the latest transfer, which 'kivoctl fw stop' without -m stops)\n";
        return kExitOk;
    }
    std::vector<std::vector<std::string>> rows{
        {"state", kc::FwStateName(s->state) + " (" + kc::FwStateDescription(s->state) + ")"},
        {"bytes", std::to_string(s->bytes)},
        {"total", std::to_string(s->total)}};
    if (s->retransmissions) rows.push_back({"retransmissions", std::to_string(*s->retransmissions)});
    if (s->state == 6)
        if (auto reason = kc::FirmwareFailureReason(client))
            rows.push_back(
                {"reason", Printable(reason->text) + " (code " + std::to_string(reason->code) + ")"});
    PrintTable({"FIELD", "VALUE"}, rows);
    return kExitOk;
}

int CmdFwStop(const Globals& g, const std::vector<std::string>& macTexts, bool all) {
    std::vector<kc::Mac> macs;
    for (const std::string& text : macTexts) {
        auto mac = kc::ParseMac(text);
        if (!mac)
            return Usage(g, "'" + Printable(text) + "' is not a MAC address (write it as 02:00:00:00:00:01)");
        if (!kc::IsDeviceAddress(*mac)) return Usage(g, kc::GroupAddressRefusal(*mac));
        macs.push_back(*mac);
    }
    kc::Client client(g.port);
    ApplyGlobals(g, client);
    if (all || !macs.empty()) {
        json stopped = json::array();
        if (all) {
            auto r = client.FwStopAll();
            if (!r) return ClientFailure(g, client, "cannot stop the firmware transfers", r.error());
        }
        for (const kc::Mac& mac : macs) {
            auto r = client.FwStopDevice(mac);
            if (!r)
                return ClientFailure(g, client, "cannot stop the transfer of " + kc::MacText(mac), r.error(),
                                     json{{"stopped", stopped}});
            stopped.push_back(kc::MacText(mac));
        }
        if (g.json)
            PrintJson(json{{"stop_sent", true}, {"all", all}, {"devices", stopped}});
        else
            std::cout << "Stop sent"
                      << (all ? " to every running transfer"
                              : " to " + std::to_string(macs.size()) +
                                    (macs.size() == 1 ? " transfer" : " transfers"))
                      << ". Each ends within about 100 ms, whatever it waits for; see 'kivoctl fw status'.\n";
        return kExitOk;
    }
    auto r = client.FwStop();
    if (!r) return ClientFailure(g, client, "cannot stop the firmware server", r.error());
    auto s = client.GetFwStatus();
    if (g.json) {
        PrintJson(json{{"stop_sent", true}, {"status", s ? FwStatusJson(*s) : json(nullptr)}});
    } else {
        std::cout << "Stop sent. A running transfer ends within about 100 ms, whatever it waits for";
        if (s)
            std::cout << "; now: " << kc::FwStateName(s->state) << " (" << kc::FwStateDescription(s->state)
                      << ")";
        std::cout << ".\n";
    }
    return kExitOk;
}

}  // namespace kivoctl
