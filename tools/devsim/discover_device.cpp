// kivo-devsim discovery module: legacy devices answer the host's discovery probe,
// devices waiting in their boot ROM broadcast announcements until they are booted.
//
// Frames are built and read here from the wire layout, independently of the host
// library:
//   probe          FF*6 | host | [81 00 TCI] | 00 2E | AA AA 03 00 13 9D 0C 01 | zeros
//   legacy reply   host | dev  | [81 00 TCI] | 00 2E | AA AA 03 00 13 9D 0C 02 | zeros
//   announcement   FF*6 | dev  | [81 00 TCI] | 00 2E | AA AA 03 00 13 9D 0B 00 |
//                  6 zero | 2D 5A D2 A5 | subversion LE16 | version LE16 | 4 zero |
//                  chip id 8 bytes | zeros up to 60 bytes (64 tagged)
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include "bootrom.h"
#include "sim.h"

namespace devsim {

namespace {

const uint8_t kSnapPrefix[6] = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D};
const Mac kBroadcast = {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};
constexpr size_t kMinFrame = 60;

bool AnswersProbes(const Device& d) {
    return d.role == "legacy" || d.role == "scp";
}

// Ethernet header, optional tag, 802.3 length 46 and the SNAP header; the caller
// appends the rest and PadFrame fills the frame to its minimum length.
Bytes FrameStart(const Mac& dst, const Mac& src, bool tagged, uint16_t tci, uint8_t type, uint8_t subtype) {
    Bytes f(dst.begin(), dst.end());
    f.insert(f.end(), src.begin(), src.end());
    if (tagged) {
        f.push_back(0x81);
        f.push_back(0x00);
        f.push_back(static_cast<uint8_t>(tci >> 8));
        f.push_back(static_cast<uint8_t>(tci));
    }
    f.push_back(0x00);
    f.push_back(0x2E);
    f.insert(f.end(), kSnapPrefix, kSnapPrefix + 6);
    f.push_back(type);
    f.push_back(subtype);
    return f;
}

void PadFrame(Bytes& f, bool tagged) {
    f.resize(std::max(f.size(), kMinFrame + (tagged ? 4 : 0)), 0);
}

void PutLe16(Bytes& f, uint16_t v) {
    f.push_back(static_cast<uint8_t>(v));
    f.push_back(static_cast<uint8_t>(v >> 8));
}

// Whether a received frame is a discovery probe this device should see.
bool IsProbe(const Device& d, const Frame& f) {
    size_t o = f.typeOffset();
    if (f.len < o + 10) return false;
    Mac dst = f.dst();
    if (dst != kBroadcast && dst != d.mac) return false;
    if (f.etherType() > 1500) return false;  // an EtherType, not an 802.3 length
    const uint8_t* snap = f.data + o + 2;
    return std::memcmp(snap, kSnapPrefix, 6) == 0 && snap[6] == 0x0C && snap[7] == 0x01;
}

std::string VlanText(bool tagged, uint16_t tci) {
    return tagged ? " vlan " + std::to_string(tci & 0x0FFF) + " prio " + std::to_string(tci >> 13) : "";
}

// ---------------------------------------------------------------- legacy devices

void SendLegacyReply(Sim& sim, Device& d, const std::string& ifname, const Mac& host, bool tagged,
                     uint16_t tci) {
    Port* port = sim.port(ifname);
    if (port == nullptr) return;
    Bytes f = FrameStart(host, d.mac, tagged, tci, 0x0C, 0x02);
    PadFrame(f, tagged);
    long long copies = d.optInt("discover_copies", 1);
    for (long long i = 0; i < copies; ++i) {
        bool ok = port->Send(f);
        sim.Log(d, std::string("discover tx reply to ") + MacText(host) + VlanText(tagged, tci) +
                       (ok ? "" : " (send failed)"));
    }
}

bool OnLegacyFrame(Sim& sim, Device& d, const Frame& f) {
    if (!IsProbe(d, f)) return false;
    bool tagged = f.tagged();
    uint16_t tci = f.vlanTci();
    Mac host = f.src();
    sim.Log(d, "discover rx probe from " + MacText(host) + VlanText(tagged, tci));
    if (!d.optBool("discover_reply", true)) return true;
    if (d.has("discover_vlan_tci")) {
        // Answer with this tag whatever the probe carried (-1: untagged).
        long long v = d.optInt("discover_vlan_tci", -1);
        tagged = v >= 0;
        tci = tagged ? static_cast<uint16_t>(v) : 0;
    }
    long long delay = d.optInt("discover_delay_ms", 0);
    std::string ifname = f.port->name();
    if (delay <= 0) {
        SendLegacyReply(sim, d, ifname, host, tagged, tci);
    } else {
        Device* dev = &d;
        sim.After(std::chrono::milliseconds(delay), [&sim, dev, ifname, host, tagged, tci] {
            SendLegacyReply(sim, *dev, ifname, host, tagged, tci);
        });
    }
    return true;
}

// ---------------------------------------------------------------- boot-ROM devices

struct BootRomState {
    uint64_t timer = 0;  // pending periodic announcement, 0 when none
};

void Announce(Sim& sim, Device& d, const std::string& why) {
    Port* port = sim.port(d.interface);
    if (port == nullptr) return;
    BootRomInfo info = BootRomInfoGet(d);
    bool ok = port->Send(BootRomAnnouncementBuild(d));
    sim.Log(d, "bootrom tx announcement version " + std::to_string(info.romVersion) + " subversion " +
                   std::to_string(info.romSubversion) + " (" + why + ")" + (ok ? "" : " (send failed)"));
}

void ArmAnnouncements(Sim& sim, Device& d, std::chrono::milliseconds first);

void PeriodicTick(Sim& sim, Device& d) {
    auto& st = sim.State<BootRomState>(d, "bootrom");
    st.timer = 0;
    if (BootRomIsBooted(d)) return;
    Announce(sim, d, "periodic");
    long long period = d.optInt("announce_period_ms", 1000);
    if (period > 0) ArmAnnouncements(sim, d, std::chrono::milliseconds(period));
}

void ArmAnnouncements(Sim& sim, Device& d, std::chrono::milliseconds first) {
    auto& st = sim.State<BootRomState>(d, "bootrom");
    if (st.timer != 0) sim.Cancel(st.timer);
    st.timer = 0;
    if (BootRomIsBooted(d) || d.optInt("announce_period_ms", 1000) <= 0) return;
    Device* dev = &d;
    st.timer = sim.After(first, [&sim, dev] { PeriodicTick(sim, *dev); });
}

bool OnBootRomFrame(Sim& sim, Device& d, const Frame& f) {
    if (!d.optBool("announce_on_probe", false) || BootRomIsBooted(d)) return false;
    if (!IsProbe(d, f)) return false;
    sim.Log(d, "discover rx probe from " + MacText(f.src()) + VlanText(f.tagged(), f.vlanTci()));
    long long delay = d.optInt("announce_delay_ms", 0);
    Device* dev = &d;
    sim.After(std::chrono::milliseconds(delay > 0 ? delay : 0), [&sim, dev] {
        if (!BootRomIsBooted(*dev)) Announce(sim, *dev, "probe");
    });
    return true;
}

// ---------------------------------------------------------------- module

void Init(Sim& sim) {
    for (auto& d : sim.devices()) {
        if (d->role != "bootrom") continue;
        long long first = d->optInt("announce_first_ms", 0);
        ArmAnnouncements(sim, *d, std::chrono::milliseconds(first > 0 ? first : 0));
    }
}

bool OnFrame(Sim& sim, Device& d, const Frame& f) {
    if (AnswersProbes(d)) return OnLegacyFrame(sim, d, f);
    if (d.role == "bootrom") return OnBootRomFrame(sim, d, f);
    return false;
}

bool OnCommand(Sim& sim, Device& d, const std::vector<std::string>& args) {
    if (d.role != "bootrom" || args.empty()) return false;
    if (args[0] == "announce" && args.size() == 1) {
        Announce(sim, d, "command");
        return true;
    }
    if (args[0] == "boot" && args.size() == 1) {
        BootRomSetBooted(sim, d, true);
        return true;
    }
    if (args[0] == "rom" && args.size() == 1) {
        BootRomSetBooted(sim, d, false);
        return true;
    }
    // Option changes that affect the announcements (the core has already applied them).
    if ((args[0] == "set" || args[0] == "unset") && args.size() >= 2 &&
        (args[1] == "booted" || args[1] == "announce_period_ms")) {
        if (args[1] == "booted")
            sim.Log(d, BootRomIsBooted(d) ? "bootrom booted" : "bootrom back in boot ROM");
        ArmAnnouncements(sim, d, std::chrono::milliseconds(0));
        return true;
    }
    return false;
}

DEVSIM_REGISTER_MODULE((Module{"discover", Init, OnFrame, OnCommand}));

}  // namespace

BootRomInfo BootRomInfoGet(const Device& d) {
    BootRomInfo info;
    info.romVersion = static_cast<uint16_t>(d.optInt("rom_version", 3));
    info.romSubversion = static_cast<uint16_t>(d.optInt("rom_subversion", 0));
    Bytes chip;
    if (ParseHex(d.opt("chip_id", ""), chip) && !chip.empty())
        std::memcpy(info.chipId, chip.data(), std::min(chip.size(), sizeof(info.chipId)));
    return info;
}

bool BootRomIsBooted(const Device& d) {
    return d.optBool("booted", false);
}

void BootRomSetBooted(Sim& sim, Device& d, bool booted) {
    d.setOpt("booted", booted ? "yes" : "no");
    sim.Log(d, booted ? "bootrom booted" : "bootrom back in boot ROM");
    ArmAnnouncements(sim, d, std::chrono::milliseconds(0));
}

Bytes BootRomAnnouncementBuild(const Device& d) {
    BootRomInfo info = BootRomInfoGet(d);
    long long tciOpt = d.optInt("vlan_tci", -1);
    bool tagged = tciOpt >= 0;
    Bytes f = FrameStart(kBroadcast, d.mac, tagged, static_cast<uint16_t>(tagged ? tciOpt : 0), 0x0B, 0x00);
    f.resize(f.size() + 6, 0);  // not examined
    const uint8_t magic[4] = {0x2D, 0x5A, 0xD2, 0xA5};
    f.insert(f.end(), magic, magic + 4);
    PutLe16(f, info.romSubversion);
    PutLe16(f, info.romVersion);
    f.resize(f.size() + 4, 0);  // not examined
    f.insert(f.end(), info.chipId, info.chipId + 8);
    PadFrame(f, tagged);
    return f;
}

}  // namespace devsim
