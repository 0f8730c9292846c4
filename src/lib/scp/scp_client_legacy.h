// Legacy SCP client: get, set and factory reset of older devices over LLC/SNAP
// frames (type 0x16) with an item list, a CRC and a password-based 3DES-CBC cipher.
//
// The client keeps nothing between operations: each Session carries its own settings,
// and each operation opens its own port, draws its own operation number and returns
// its answer as a value. Operations of different sessions may run at once on one
// interface: a reply is taken only from the session's device, to this host, with the
// session's operation number and the awaited sequence number.
#ifndef KIVO_SCP_CLIENT_LEGACY_H
#define KIVO_SCP_CLIENT_LEGACY_H

#include <array>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "scp_codes.h"
#include "status.h"
#include "types.h"

// Which wait of the last attempt failed last (reset at the start of every attempt).
typedef enum e_scpErrorTimeoutCode {
    SCP_ERROR_TIMEOUT_NONE = 0,
    SCP_ERROR_TIMEOUT_GET_1 = 1,   // get: a wait for the first reply failed
    SCP_ERROR_TIMEOUT_GET_2 = 2,   // get: no send was allowed
    SCP_ERROR_TIMEOUT_GET_3 = 3,   // get: a further reply did not come
    SCP_ERROR_TIMEOUT_SET_1 = 4,   // set / factory reset: a wait for the set reply failed, or no send allowed
    SCP_ERROR_TIMEOUT_SET_2 = 5,   // reserved
    SCP_ERROR_TIMEOUT_SET_3 = 6,   // set: sending the type query failed
    SCP_ERROR_TIMEOUT_SET_4 = 7,   // set: a wait for the first reply to the type query failed
    SCP_ERROR_TIMEOUT_SET_5 = 8,   // reserved
    SCP_ERROR_TIMEOUT_SET_6 = 9,   // set: the type query got no accepted reply after all its sends
    SCP_ERROR_TIMEOUT_SET_7 = 10,  // set: a further reply to the type query did not come
} t_scpErrorTimeoutCode;

// Most info data one operation returns (more gives SCP_ERROR_GET_TOO_BIG).
#define SCP_INFO_BUFFER_SIZE 80000u

namespace kivo::scp {

// The waits and sends of one session.
struct Settings {
    uint32_t timeoutSeconds = 3;      // wait for a reply after each send
    uint32_t furtherGetSeconds = 16;  // wait for each further reply of a get
    uint32_t maxSends = 3;            // sends of one request before the exchange gives up

    // A wait of seconds after each send; further replies of a get are waited for five
    // times as long.
    static Settings WithTimeout(uint32_t seconds, uint32_t sends = 3) {
        return Settings{seconds, 5 * seconds, sends};
    }
};

// What one operation came to.
struct Answer {
    // SCP's code and, for a failure people can act on, its words.
    kivo::Status result = SCP_ERROR_NONE;
    // Which wait of the last attempt failed last.
    t_scpErrorTimeoutCode timeoutCode = SCP_ERROR_TIMEOUT_NONE;
    // On SCP_ERROR_NONE and SCP_ERROR_PARAM_OP_FAILED: the info data, one
    // zero-terminated text per reply item (name, value text or error text).
    std::vector<uint8_t> info;
};

// Operations on one device behind one host interface.
class Session {
   public:
    Session(std::string interfaceName, const std::array<uint8_t, 6>& deviceMac, const Settings& settings)
        : interfaceName_(std::move(interfaceName)), deviceMac_(deviceMac), settings_(settings) {}

    // Runs op first with SHA-256 key material and, when that attempt gives anything but
    // SCP_ERROR_NONE, a second complete attempt with the legacy hash, whose answer is
    // returned.
    //  - SCP_OP_GET / SCP_OP_GETP: data holds names, each followed by a zero byte;
    //    empty data asks for every parameter.
    //  - SCP_OP_SET / SCP_OP_SETP: data holds name, zero, value text, zero pairs.
    //  - SCP_OP_FACTORY_RESET: data is not used.
    Answer Run(t_scpOp op, std::string_view password, std::span<const uint8_t> data) const;

   private:
    Answer Attempt(t_scpOp op, std::string_view password, bool legacyHash,
                   std::span<const uint8_t> data) const;

    std::string interfaceName_;
    std::array<uint8_t, 6> deviceMac_;
    Settings settings_;
};

}  // namespace kivo::scp

#endif
