// kivo-devsim firmware module: devices that receive a firmware upgrade, and boot-ROM
// devices that can be brought up by an Ethernet boot (loader, then chunked firmware).
//
// Frames are read and written here from the wire layout, independently of the host
// library. Offsets are those of the frame without its 802.1Q tag:
//   0 dst | 6 src | 12 length (BE) | 14 AA AA 03 00 13 9D | 20 type 0B | 21 subtype
//   file request (00, D->H): 28 mbr 00 00 00 00
//   start 01 / end 05 (H->D): zero payload; start of a version 3 ROM with subversion
//     != 0 is broadcast with 28 chip id (8) | 36 assigned MAC (6)
//   data 03 (H->D): 22 seq LE | 24 count LE | 28 loader payload, or 52 file payload
//   chunk info 0E / entry point 10 (H->D): 24 n LE | 52 n bytes
//   acks 02 / 04 (22 seq LE) / 07 / 0F / 11 (D->H): 60 bytes; a boot ROM puts its chip
//     id at 40..47 so that a host filtering on it sees them.
// What a device receives is kept (and written to files when configured) so tests can
// compare it byte for byte. The control frames are handled in fw_control.cpp.
#include "fw_device.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "bootrom.h"
#include "sim.h"

namespace devsim::fwdev {

namespace {

// ---------------------------------------------------------------- frames

bool ReadFwFrame(const Frame& f, FwFrame& out) {
    if (f.len < 22) return false;
    out.wireLen = f.len;
    out.tagged = f.tagged();
    out.tci = f.vlanTci();
    if (out.tagged) {
        if (f.len < 26) return false;
        out.b.assign(f.data, f.data + 12);
        out.b.insert(out.b.end(), f.data + 16, f.data + f.len);
    } else {
        out.b.assign(f.data, f.data + f.len);
    }
    return std::memcmp(out.b.data() + 14, kSnap, sizeof(kSnap)) == 0;
}

// A 60-byte device frame (64 when the device tags its frames): sequence number at 22,
// announcement word (mbr) at 28, chip identifier at 40.
Bytes DeviceFrame(const Device& d, const Mac& dst, const Mac& src, uint8_t subtype, const uint8_t* chipId,
                  uint16_t seq = 0, uint32_t mbr = 0) {
    Bytes f(60, 0);
    std::memcpy(&f[0], dst.data(), 6);
    std::memcpy(&f[6], src.data(), 6);
    f[12] = 0x00;
    f[13] = 46;
    std::memcpy(&f[14], kSnap, sizeof(kSnap));
    f[21] = subtype;
    f[22] = static_cast<uint8_t>(seq);
    f[23] = static_cast<uint8_t>(seq >> 8);
    for (int i = 0; i < 4; ++i) f[28 + i] = static_cast<uint8_t>(mbr >> (24 - 8 * i));
    if (chipId) std::memcpy(&f[40], chipId, 8);
    long long tci = d.optInt("vlan_tci", -1);
    if (tci >= 0) {
        const uint8_t tag[4] = {0x81, 0x00, static_cast<uint8_t>(tci >> 8), static_cast<uint8_t>(tci)};
        f.insert(f.begin() + 12, tag, tag + 4);
    }
    return f;
}

// ---------------------------------------------------------------- state

bool PlaysFirmware(const Device& d) {
    return d.role == "fw" || d.optBool("fw_upgrade", false);
}
bool IsBootRom(const Device& d) {
    return d.role == "bootrom";
}

FwState& State(Sim& sim, Device& d) {
    FwState& st = sim.State<FwState>(d, "fw");
    if (!st.initialised) {
        st.initialised = true;
        st.mac = d.mac;
        st.phase = IsBootRom(d) && !BootRomIsBooted(d) ? Phase::Rom : Phase::Running;
    }
    return st;
}

// Chip identifier a boot ROM puts into its frames (none once booted).
const uint8_t* ChipIdOf(const Device& d, const BootRomInfo& info) {
    return IsBootRom(d) ? info.chipId : nullptr;
}

bool Send(Sim& sim, Device& d, const Bytes& frame) {
    Port* port = sim.port(d.interface);
    return port != nullptr && port->Send(frame);
}

void Capture(const Device& d, const char* dir, const Frame& f) {
    std::string path = d.opt("fw_capture", "");
    if (path.empty()) return;
    if (FILE* out = std::fopen(path.c_str(), "a")) {
        std::fprintf(out, "%s %s\n", dir, Hex(f.data, f.len).c_str());
        std::fclose(out);
    }
}

void CaptureSent(const Device& d, const Bytes& frame) {
    std::string path = d.opt("fw_capture", "");
    if (path.empty() || !d.optBool("fw_capture_tx", false)) return;
    if (FILE* out = std::fopen(path.c_str(), "a")) {
        std::fprintf(out, "tx %s\n", Hex(frame).c_str());
        std::fclose(out);
    }
}

// ---------------------------------------------------------------- timers

// File requests from running firmware or a running loader, repeated until the host
// answers with a start frame.
void RequestTick(Sim& sim, Device& d) {
    FwState& st = State(sim, d);
    st.requestTimer = 0;
    if (st.phase != Phase::Requesting && st.phase != Phase::LoaderRun) return;
    // A loader can be told to ask from the address it had in the boot ROM.
    Mac from =
        st.phase == Phase::LoaderRun && d.optBool("fw_loader_request_from_rom_mac", false) ? d.mac : st.mac;
    Bytes f = DeviceFrame(d, kBroadcast, from, ANNOUNCE, nullptr, 0,
                          static_cast<uint32_t>(d.optInt("fw_request_mbr", 0)));
    bool ok = Send(sim, d, f);
    sim.Log(d, "fw tx file request from " + MacText(from) + (ok ? "" : " (send failed)"));
    if (--st.requestsLeft <= 0) {
        sim.Log(d, "fw file requests given up");
        if (st.phase == Phase::Requesting) SetPhase(sim, d, st, Phase::Running);
        return;
    }
    Device* dev = &d;
    st.requestTimer = sim.After(std::chrono::milliseconds(d.optInt("fw_request_period_ms", 200)),
                                [&sim, dev] { RequestTick(sim, *dev); });
}

// A boot that stalls returns the device to its boot ROM, so a failed attempt can be
// followed by another one; an upgrade that stalls leaves the old firmware running.
void IdleExpired(Sim& sim, Device& d) {
    FwState& st = State(sim, d);
    st.idleTimer = 0;
    StopRequests(sim, st);
    st.vanished = false;
    if (st.phase == Phase::LoaderRx || st.phase == Phase::LoaderRun || st.phase == Phase::FirmwareRx) {
        sim.Log(d, "fw transfer abandoned, back in boot ROM");
        st.mac = d.mac;
        SetPhase(sim, d, st, Phase::Rom);
        BootRomSetBooted(sim, d, false);
    } else if (st.phase == Phase::Receiving) {
        sim.Log(d, "fw transfer abandoned");
        SetPhase(sim, d, st, Phase::Running);
    }
}

// ---------------------------------------------------------------- data frames

// Acknowledges `seq` the way the device is configured to: dropped, stale first,
// repeated, or late (first frame of an upgrade while the flash is erased).
void AckData(Sim& sim, Device& d, FwState& st, uint16_t seq) {
    long long dropSeq = d.optInt("fw_drop_ack_seq", -1);
    if (dropSeq == seq) {
        long long times = d.optInt("fw_drop_ack_times", -1);
        long long& n = st.dropped[seq];
        if (times < 0 || n < times) {
            ++n;
            sim.Log(d, "fw drop ack seq=" + std::to_string(seq));
            return;
        }
    }
    if (d.optBool("fw_stale_acks", false)) SendAck(sim, d, st, DATA_ACK, static_cast<uint16_t>(seq - 1));
    long long repeat = std::max(1LL, d.optInt("fw_repeat_acks", 1));
    for (long long i = 0; i < repeat; ++i) SendAck(sim, d, st, DATA_ACK, seq);
}

void OnData(Sim& sim, Device& d, FwState& st, const FwFrame& f) {
    const bool loader = st.phase == Phase::LoaderRx;
    const bool chunk = st.phase == Phase::FirmwareRx;
    if (!loader && !chunk && st.phase != Phase::Receiving) return;
    if (!f.has(26)) return;
    uint16_t seq = f.le16(22);
    uint16_t count = f.le16(24);
    const size_t payloadOffset = loader ? 28 : 52;
    const size_t maxCount = loader ? st.loaderLength - 14u : 1024u;
    const bool logData = d.optBool("fw_log_data", true);
    ++st.dataFrames;
    long long vanishAfter = d.optInt("fw_vanish_after", -1);
    if (vanishAfter >= 0 && st.dataFrames > vanishAfter) {
        if (!st.vanished) sim.Log(d, "fw vanished");
        st.vanished = true;
        return;
    }
    if (logData)
        sim.Log(d, "fw rx data seq=" + std::to_string(seq) + " count=" + std::to_string(count) +
                       " len=" + std::to_string(f.b.size()) + VlanText(f));
    // Lengths as the wire layout fixes them: loader frames always the loader length,
    // file frames count + 38 bytes but at least 46.
    const size_t wantLength = loader ? st.loaderLength : std::max<size_t>(count + 38u, 46u);
    if (count == 0 || count > maxCount || f.lengthField() != wantLength || !f.has(14 + wantLength)) {
        sim.Log(d, "fw rx data malformed seq=" + std::to_string(seq));
        return;
    }
    if (chunk && st.chunks.empty()) {
        sim.Log(d, "fw rx data before any chunk information");
        return;
    }
    if (seq == st.nextSeq) {
        Bytes& to = loader ? st.loader : chunk ? st.chunks.back().data : st.image;
        to.insert(to.end(), f.b.begin() + static_cast<long>(payloadOffset),
                  f.b.begin() + static_cast<long>(payloadOffset + count));
        ++st.nextSeq;
        std::memset(st.lastControl, 0, sizeof(st.lastControl));
        long long eraseMs = d.optInt("fw_erase_ms", 0);
        if (st.phase == Phase::Receiving && seq == 1 && !st.erased && eraseMs > 0) {
            // Busy erasing the flash: this frame is acknowledged only afterwards.
            st.erasing = true;
            st.erased = true;
            sim.Log(d, "fw erasing flash for " + std::to_string(eraseMs) + " ms");
            Device* dev = &d;
            sim.After(std::chrono::milliseconds(eraseMs), [&sim, dev] {
                FwState& s = State(sim, *dev);
                if (!s.erasing) return;
                s.erasing = false;
                sim.Log(*dev, "fw flash erased");
                AckData(sim, *dev, s, 1);
            });
            return;
        }
        long long ackDelayMs = d.optInt("fw_ack_delay_ms", 0);
        if (ackDelayMs <= 0) return AckData(sim, d, st, seq);
        // A slow device: every acknowledgement this late (a transfer that takes a known time).
        Device* dev = &d;
        sim.After(std::chrono::milliseconds(ackDelayMs),
                  [&sim, dev, seq] { AckData(sim, *dev, State(sim, *dev), seq); });
    } else if (seq == static_cast<uint16_t>(st.nextSeq - 1)) {
        // A resend of the frame already taken: its acknowledgement was lost.
        if (st.erasing) {
            sim.Log(d, "fw busy, resend ignored seq=" + std::to_string(seq));
            return;
        }
        sim.Log(d, "fw rx resend seq=" + std::to_string(seq));
        AckData(sim, d, st, seq);
    } else {
        sim.Log(d,
                "fw rx data out of order seq=" + std::to_string(seq) + " want=" + std::to_string(st.nextSeq));
    }
}

// ---------------------------------------------------------------- module

bool OnFrame(Sim& sim, Device& d, const Frame& frame) {
    if (!PlaysFirmware(d) && !IsBootRom(d)) return false;
    FwFrame f;
    if (!ReadFwFrame(frame, f)) return false;
    const uint8_t sub = f.subtype();
    if (sub != START && sub != DATA && sub != END && sub != CHUNK_INFO && sub != ENTRY) return false;
    FwState& st = State(sim, d);
    const bool romBroadcast =
        sub == START && f.dst() == kBroadcast && (st.phase == Phase::Rom || st.phase == Phase::LoaderRx);
    if (f.dst() != st.mac && !romBroadcast) return false;
    if (st.phase == Phase::Rom && sub != START) return false;
    Capture(d, "rx", frame);
    if (st.vanished) return true;
    if (sub == DATA) {
        OnData(sim, d, st, f);
        if (st.phase == Phase::Receiving || st.phase == Phase::LoaderRx || st.phase == Phase::FirmwareRx)
            ArmIdle(sim, d, st);
    } else {
        OnControl(sim, d, st, f);
    }
    return true;
}

bool OnCommand(Sim& sim, Device& d, const std::vector<std::string>& args) {
    if (args.empty() || (!PlaysFirmware(d) && !IsBootRom(d))) return false;
    FwState& st = State(sim, d);
    // Keep step with the boot-ROM state the discovery module manages (which module
    // sees the command first is not fixed, so the command itself decides).
    if (IsBootRom(d) &&
        (args[0] == "rom" || args[0] == "boot" || (args.size() >= 2 && args[1] == "booted"))) {
        bool booted = args[0] == "boot" || (args[0] != "rom" && BootRomIsBooted(d));
        StopRequests(sim, st);
        if (st.idleTimer) sim.Cancel(st.idleTimer);
        st.idleTimer = 0;
        st.mac = d.mac;
        st.vanished = false;
        SetPhase(sim, d, st, booted ? Phase::Running : Phase::Rom);
        return false;  // the discovery module reports the command
    }
    if (args[0] != "fw" || args.size() != 2) return false;
    if (args[1] == "request") {
        if (st.phase != Phase::Running && st.phase != Phase::Requesting) {
            sim.Log(d, std::string("fw cannot request in phase ") + PhaseName(st.phase));
            return true;
        }
        SetPhase(sim, d, st, Phase::Requesting);
        StartRequests(sim, d, st, 0);
        return true;
    }
    if (args[1] == "status") {
        std::string text = std::string("fw status phase=") + PhaseName(st.phase) + " mac=" + MacText(st.mac) +
                           " image=" + std::to_string(st.image.size()) +
                           " loader=" + std::to_string(st.loader.size()) +
                           " chunks=" + std::to_string(st.chunks.size());
        sim.Log(d, text);
        return true;
    }
    return false;
}

void Init(Sim& sim) {
    for (auto& dp : sim.devices()) {
        Device& d = *dp;
        if (!PlaysFirmware(d) && !IsBootRom(d)) continue;
        FwState& st = State(sim, d);
        if (st.phase == Phase::Running && d.optBool("fw_request_at_start", false)) {
            SetPhase(sim, d, st, Phase::Requesting);
            StartRequests(sim, d, st, 0);
        }
    }
}

DEVSIM_REGISTER_MODULE((Module{"fw", Init, OnFrame, OnCommand}));

}  // namespace

std::string VlanText(const FwFrame& f) {
    return f.tagged ? " vlan " + std::to_string(f.tci & 0x0FFF) + " prio " + std::to_string(f.tci >> 13) : "";
}

const char* PhaseName(Phase p) {
    switch (p) {
        case Phase::Running:
            return "running";
        case Phase::Requesting:
            return "requesting";
        case Phase::Receiving:
            return "receiving";
        case Phase::Rom:
            return "rom";
        case Phase::LoaderRx:
            return "loader-rx";
        case Phase::LoaderRun:
            return "loader-run";
        case Phase::FirmwareRx:
            return "firmware-rx";
    }
    return "?";
}

void SetPhase(Sim& sim, Device& d, FwState& st, Phase p) {
    if (st.phase == p) return;
    st.phase = p;
    sim.Log(d, std::string("fw phase ") + PhaseName(p));
}

void SaveFile(Sim& sim, Device& d, const std::string& key, const Bytes& content) {
    std::string path = d.opt(key, "");
    if (path.empty()) return;
    FILE* out = std::fopen(path.c_str(), "wb");
    bool ok = out != nullptr &&
              (content.empty() || std::fwrite(content.data(), 1, content.size(), out) == content.size());
    if (out) ok = std::fclose(out) == 0 && ok;
    if (!ok) sim.Log(d, "fw cannot write " + path);
}

void SendAck(Sim& sim, Device& d, FwState& st, uint8_t subtype, uint16_t seq) {
    // Only boot-ROM devices have boot-ROM options to read.
    BootRomInfo info;
    if (IsBootRom(d)) info = BootRomInfoGet(d);
    Bytes f = DeviceFrame(d, st.host, st.mac, subtype, ChipIdOf(d, info), seq);
    CaptureSent(d, f);
    if (!Send(sim, d, f)) sim.Log(d, "fw send failed");
}

// The start acknowledgement, late by fw_start_ack_delay_ms when configured.
void AckStart(Sim& sim, Device& d, FwState& st) {
    long long delay = d.optInt("fw_start_ack_delay_ms", 0);
    if (delay <= 0) return SendAck(sim, d, st, START_ACK);
    Device* dev = &d;
    sim.After(std::chrono::milliseconds(delay),
              [&sim, dev] { SendAck(sim, *dev, State(sim, *dev), START_ACK); });
}

void StopRequests(Sim& sim, FwState& st) {
    if (st.requestTimer) sim.Cancel(st.requestTimer);
    st.requestTimer = 0;
}

void StartRequests(Sim& sim, Device& d, FwState& st, long long delayMs) {
    StopRequests(sim, st);
    st.requestsLeft = static_cast<int>(d.optInt("fw_request_count", 100));
    Device* dev = &d;
    st.requestTimer = sim.After(std::chrono::milliseconds(delayMs > 0 ? delayMs : 0),
                                [&sim, dev] { RequestTick(sim, *dev); });
}

void ArmIdle(Sim& sim, Device& d, FwState& st) {
    if (st.idleTimer) sim.Cancel(st.idleTimer);
    Device* dev = &d;
    st.idleTimer = sim.After(std::chrono::milliseconds(d.optInt("fw_idle_ms", 15000)),
                             [&sim, dev] { IdleExpired(sim, *dev); });
}

void BeginTransfer(FwState& st, const Mac& host) {
    st.host = host;
    st.nextSeq = 1;
    st.erasing = false;
    st.erased = false;
    st.vanished = false;
    st.dataFrames = 0;
    st.dropped.clear();
    std::memset(st.lastControl, 0, sizeof(st.lastControl));
}

}  // namespace devsim::fwdev
