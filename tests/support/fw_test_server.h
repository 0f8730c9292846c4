// The in-process firmware server of a test binary, reached by short names: one Server
// and the settings every transfer started here is given, as kivohost keeps them for the
// transfers its requests start. Tests that go through the request handlers use the
// service's own (kivo::service::Firmware()) instead.
#ifndef KIVO_FW_TEST_SERVER_H
#define KIVO_FW_TEST_SERVER_H

#include <algorithm>
#include <optional>
#include <utility>

#include "l2fwserver.h"

struct TestFirmwareState {
    kivo::fw::Server server;
    kivo::fw::TransferSettings settings;
};

inline TestFirmwareState& TestFirmware() {
    static TestFirmwareState state;
    return state;
}

// Starts a transfer with the test binary's current settings.
inline kivo::Status Start(kivo::fw::TransferPlan plan) {
    plan.settings = TestFirmware().settings;
    return TestFirmware().server.Start(std::move(plan));
}

inline t_l2fwserverErrorCode L2FwServerWait() {
    return TestFirmware().server.Wait();
}
inline t_l2fwserverErrorCode L2FwServerStop() {
    TestFirmware().server.Stop();
    return L2FWSERVER_ERROR_NONE;
}
inline t_l2fwserverState L2FwServerStateGet() {
    return TestFirmware().server.State();
}
inline INT32U L2FwServerUploadedBytesGet() {
    return TestFirmware().server.UploadedBytes();
}
inline INT32U L2FwServerTotalBytesGet() {
    return TestFirmware().server.TotalBytes();
}
inline INT32U L2FwServerRetransmissionsGet() {
    return TestFirmware().server.Retransmissions();
}
inline t_l2fwserverErrorCode L2FwServerErrorGet() {
    return TestFirmware().server.Error();
}
inline kivo::Status L2FwServerLastFailure() {
    return TestFirmware().server.LastFailure();
}

// Settings for the transfers started from now on (seconds for the first two).
inline void L2FwServerUpgradeFlashEraseTimeoutSet(INT32S t) {
    TestFirmware().settings.flashEraseTimeoutMs = static_cast<uint32_t>(t) * 1000u;
}
inline void L2FwServerUpgradeOsupTimeoutSet(INT32S t) {
    TestFirmware().settings.osupTimeoutMs = static_cast<uint32_t>(t) * 1000u;
}
inline void L2FwServerUpgradeRetransmissionTimeoutSet(INT32S t) {
    TestFirmware().settings.retransmissionTimeoutMs = static_cast<uint32_t>(t);
}
inline void L2FwServerEthBootChipIdSet(const INT8U* chip) {
    auto& id = TestFirmware().settings.chipId;
    if (chip == nullptr) {
        id.reset();
        return;
    }
    id.emplace();
    std::copy(chip, chip + id->size(), id->begin());
}
inline void L2FwServerEthBootRomMACSet(const INT8U* mac) {
    if (mac == nullptr) return;
    kivo::l2::Mac m{};
    std::copy(mac, mac + m.size(), m.begin());
    TestFirmware().settings.romMac = m;
}
inline void L2FwServerEthBootRandomMACSet() {
    TestFirmware().settings.randomRomMac = true;
}
inline t_l2fwserverErrorCode L2FwServerTestModeSet(t_l2fwserverTestMode n) {
    if (static_cast<uint32_t>(n) > L2FWSERVER_TEST_MODE_ABORT_ETHLOADER) return L2FWSERVER_ERROR_BAD_ARGS;
    TestFirmware().settings.testMode = n;
    return L2FWSERVER_ERROR_NONE;
}
inline t_l2fwserverErrorCode L2FwServerVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp) {
    if (!enable) {
        TestFirmware().settings.vlan.reset();
        return L2FWSERVER_ERROR_NONE;
    }
    std::optional<kivo::l2::VlanTag> tag;
    if (!kivo::fw::VlanTagFor(vid, pcp, tag)) return L2FWSERVER_ERROR_BAD_ARGS;
    TestFirmware().settings.vlan = tag;
    return L2FWSERVER_ERROR_NONE;
}

#endif
