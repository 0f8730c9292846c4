// What kivoctl fw's commands share with the following of transfers (fw_wait.cpp).
#ifndef KIVOCTL_FW_WAIT_H
#define KIVOCTL_FW_WAIT_H

#include <signal.h>

#include "cli.h"

namespace kivoctl {

// SIGINT and SIGTERM count instead of ending the process while the guard lives.
class InterruptGuard {
   public:
    InterruptGuard();
    ~InterruptGuard();
    InterruptGuard(const InterruptGuard&) = delete;
    InterruptGuard& operator=(const InterruptGuard&) = delete;

   private:
    struct sigaction oldInt_ {};
    struct sigaction oldTerm_ {};
};

// "12.3 s" below a minute, "m:ss" or "h:mm:ss" above.
std::string Elapsed(double seconds);
json TransferJson(const kc::FwTransfer& t, uint64_t nowMs);
// Follows the started transfer to its end (progress, Ctrl-C stops it) and reports it;
// sentText, when not empty, says what was sent on success.
int WaitTransfer(const Globals& g, kc::Client& client, const std::string& operation, json result,
                 const std::string& sentText);
// Upgrades several devices side by side, following them with --wait.
int UpgradeMany(const Globals& g, const FwTarget& t, const std::vector<kc::Mac>& macs, const std::string& fw);

}  // namespace kivoctl

#endif
