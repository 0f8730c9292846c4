// kivo-devsim firmware module: the control frames (start, end, chunk information and
// entry point) and the acknowledgements they get.
#include <cstring>
#include <string>

#include "bootrom.h"
#include "fw_device.h"

namespace devsim::fwdev {
namespace {

// A control frame identical to the previous one is a resend after a lost ack.
bool IsRepeat(FwState& st, const FwFrame& f) {
    uint8_t key[8] = {f.subtype()};
    if (f.has(56)) std::memcpy(key + 1, &f.b[52], 4);
    bool same = std::memcmp(key, st.lastControl, sizeof(key)) == 0;
    std::memcpy(st.lastControl, key, sizeof(key));
    return same;
}

void OnStartInRom(Sim& sim, Device& d, FwState& st, const FwFrame& f) {
    BootRomInfo info = BootRomInfoGet(d);
    st.loaderLength = info.romVersion == 3 ? 990 : 222;
    const bool broadcast = f.dst() == kBroadcast;
    std::string len = " len=" + std::to_string(f.b.size());
    if (f.lengthField() != st.loaderLength || f.b.size() < 14u + st.loaderLength) {
        sim.Log(d, "fw rx start ignored: wrong length" + len);
        return;
    }
    Mac newMac = d.mac;
    if (broadcast) {
        // Only a version 3 ROM with a subversion takes an address, and only when the
        // frame names its chip.
        if (info.romVersion != 3 || info.romSubversion == 0) {
            sim.Log(d, "fw rx start ignored: broadcast to a ROM that takes no address" + len);
            return;
        }
        if (std::memcmp(&f.b[28], info.chipId, 8) != 0) {
            sim.Log(d, "fw rx start ignored: other chip " + Hex(&f.b[28], 8) + len);
            return;
        }
        std::memcpy(newMac.data(), &f.b[36], 6);
    } else if (f.dst() != d.mac) {
        return;
    }
    BeginTransfer(st, f.src());
    st.mac = newMac;
    st.loader.clear();
    StopRequests(sim, st);
    BootRomSetBooted(sim, d, true);  // no more announcements
    sim.Log(
        d, std::string("fw rx start") + (broadcast ? " broadcast" : "") + len + " from " + MacText(f.src()) +
               (broadcast ? " chip " + Hex(&f.b[28], 8) + " assigned " + MacText(newMac) : "") + VlanText(f));
    SetPhase(sim, d, st, Phase::LoaderRx);
    IsRepeat(st, f);
    AckStart(sim, d, st);
    ArmIdle(sim, d, st);
}

// A start frame outside the boot ROM: the start of an upgrade or of the chunked
// firmware, or a repeat of one whose acknowledgement was lost.
void OnStart(Sim& sim, Device& d, FwState& st, const FwFrame& f, bool repeat, const std::string& len) {
    if (f.dst() == kBroadcast) {
        // The MAC-assigning start frame again: its acknowledgement was lost.
        if (st.phase == Phase::LoaderRx && repeat && st.nextSeq == 1) {
            sim.Log(d, "fw rx start repeated" + len);
            AckStart(sim, d, st);
        }
        return;
    }
    if (st.phase == Phase::Requesting || st.phase == Phase::LoaderRun) {
        if (d.optBool("fw_refuse", false)) {
            sim.Log(d, "fw rx start refused" + len);
            return;
        }
        BeginTransfer(st, f.src());
        IsRepeat(st, f);
        StopRequests(sim, st);
        sim.Log(d, "fw rx start" + len + " from " + MacText(f.src()));
        if (st.phase == Phase::Requesting) {
            st.image.clear();
            SetPhase(sim, d, st, Phase::Receiving);
        } else {
            st.chunks.clear();
            SetPhase(sim, d, st, Phase::FirmwareRx);
        }
        AckStart(sim, d, st);
        ArmIdle(sim, d, st);
    } else if ((st.phase == Phase::Receiving || st.phase == Phase::LoaderRx ||
                st.phase == Phase::FirmwareRx) &&
               repeat && st.nextSeq == 1) {
        sim.Log(d, "fw rx start repeated" + len);
        AckStart(sim, d, st);
    } else {
        sim.Log(d, "fw rx start ignored in phase " + std::string(PhaseName(st.phase)) + len);
    }
}

// Chunk information or the entry point, during the chunked firmware.
void OnInfo(Sim& sim, Device& d, FwState& st, const FwFrame& f, bool repeat, const std::string& len) {
    const uint8_t sub = f.subtype();
    if (st.phase != Phase::FirmwareRx || !f.has(26)) return;
    uint16_t n = f.le16(24);
    if (n != 4 || !f.has(56)) {
        sim.Log(d, "fw rx " + std::string(sub == ENTRY ? "entry point" : "chunk info") +
                       " malformed n=" + std::to_string(n) + len);
        return;
    }
    if (sub == CHUNK_INFO) {
        if (!repeat) {
            Chunk c;
            std::memcpy(c.info, &f.b[52], 4);
            st.chunks.push_back(c);
        }
        sim.Log(d, "fw rx chunk info " + Hex(&f.b[52], 4) + (repeat ? " repeated" : "") + len);
        SendAck(sim, d, st, CHUNK_INFO_ACK);
    } else {
        std::memcpy(st.entry, &f.b[52], 4);
        sim.Log(d, "fw rx entry point " + Hex(&f.b[52], 4) + len);
        SendAck(sim, d, st, ENTRY_ACK);
    }
    ArmIdle(sim, d, st);
}

// The end of an Ethernet boot: the firmware is saved as, per chunk, its 4 information
// bytes, its size (LE32) and its bytes; then the 4 entry point bytes.
void FirmwareReceived(Sim& sim, Device& d, FwState& st) {
    Bytes out;
    size_t total = 0;
    for (const auto& c : st.chunks) {
        out.insert(out.end(), c.info, c.info + 4);
        uint32_t n = static_cast<uint32_t>(c.data.size());
        for (int i = 0; i < 4; ++i) out.push_back(static_cast<uint8_t>(n >> (8 * i)));
        out.insert(out.end(), c.data.begin(), c.data.end());
        total += c.data.size();
    }
    out.insert(out.end(), st.entry, st.entry + 4);
    SaveFile(sim, d, "fw_save_firmware", out);
    sim.Log(d, "fw boot complete chunks=" + std::to_string(st.chunks.size()) +
                   " bytes=" + std::to_string(total) + " entry=" + Hex(st.entry, 4));
}

void EndIdle(Sim& sim, FwState& st) {
    if (st.idleTimer) sim.Cancel(st.idleTimer);
    st.idleTimer = 0;
}

void OnEnd(Sim& sim, Device& d, FwState& st, const FwFrame& f, bool repeat, const std::string& len) {
    if (st.phase == Phase::Receiving) {
        sim.Log(d, "fw rx end" + len);
        SendAck(sim, d, st, END_ACK);
        SaveFile(sim, d, "fw_save_image", st.image);
        sim.Log(d, "fw upgrade complete bytes=" + std::to_string(st.image.size()));
        EndIdle(sim, st);
        SetPhase(sim, d, st, Phase::Running);
    } else if (st.phase == Phase::LoaderRx) {
        if (f.lengthField() != st.loaderLength) {
            sim.Log(d, "fw rx end ignored: wrong length" + len);
            return;
        }
        sim.Log(d, "fw rx end" + len);
        SendAck(sim, d, st, END_ACK);
        SaveFile(sim, d, "fw_save_loader", st.loader);
        sim.Log(d, "fw loader complete bytes=" + std::to_string(st.loader.size()));
        SetPhase(sim, d, st, Phase::LoaderRun);
        StartRequests(sim, d, st, d.optInt("fw_loader_boot_ms", 50));
        ArmIdle(sim, d, st);
    } else if (st.phase == Phase::FirmwareRx) {
        sim.Log(d, "fw rx end" + len);
        SendAck(sim, d, st, END_ACK);
        FirmwareReceived(sim, d, st);
        EndIdle(sim, st);
        SetPhase(sim, d, st, Phase::Running);
    } else if (st.phase == Phase::Running && repeat) {
        SendAck(sim, d, st, END_ACK);  // the host missed the acknowledgement
    }
}

}  // namespace

void OnControl(Sim& sim, Device& d, FwState& st, const FwFrame& f) {
    const uint8_t sub = f.subtype();
    std::string len = " len=" + std::to_string(f.b.size()) + VlanText(f);
    if (sub == START && st.phase == Phase::Rom) return OnStartInRom(sim, d, st, f);
    const bool repeat = IsRepeat(st, f);
    if (sub == START) return OnStart(sim, d, st, f, repeat, len);
    if (st.vanished) return;
    if (sub == CHUNK_INFO || sub == ENTRY) return OnInfo(sim, d, st, f, repeat, len);
    if (sub == END) OnEnd(sim, d, st, f, repeat, len);
}

}  // namespace devsim::fwdev
