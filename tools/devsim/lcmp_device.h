// kivo-devsim LCMP module: devices of role "lcmp" answer LCMP read, write and
// control requests with confirm messages. Other modules that give such a device
// more behaviour (for example a parameter table) use this interface: they register
// a responder that turns a decoded request into confirm messages, and the module
// encrypts, segments and sends them with the device's scripted faults.
#ifndef KIVO_DEVSIM_LCMP_DEVICE_H
#define KIVO_DEVSIM_LCMP_DEVICE_H

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "sim.h"

namespace devsim::lcmp {

constexpr uint16_t kEtherType = 0x22E3;
constexpr uint16_t kReadReq = 0x160;
constexpr uint16_t kReadCnf = 0x161;
constexpr uint16_t kWriteReq = 0x162;
constexpr uint16_t kWriteCnf = 0x163;
constexpr uint16_t kCtrlReq = 0x164;
constexpr uint16_t kCtrlCnf = 0x165;
constexpr uint16_t kNotifyInd = 0x166;

// One value of a message: type byte and data.
struct Value {
    uint8_t type = 0;
    Bytes data;
};

// Which password key opened an encrypted request.
enum class Key { kPlain, kSha256, kLegacy, kNone };
const char* KeyName(Key key);

// A request as the device understood it, values in the clear.
struct Request {
    Mac src{};  // sender's address (frame)
    Mac dst{};  // destination address (frame)
    bool tagged = false;
    uint16_t tci = 0;  // tag control information of the request, when tagged
    uint16_t opcode = 0;
    uint16_t seq = 0;
    uint8_t control = 0;
    Mac hostMac{};  // the address in the request header
    uint16_t declared = 0;
    uint16_t tid = 0;
    Key key = Key::kPlain;
    size_t markerWireLength = 0;  // length field of the marker value on the wire, 0 without one
    size_t encryptedLength = 0;   // bytes enciphered after the marker's own data
    std::vector<Value> values;    // decrypted when the key was found
};

// A responder gives the confirm messages for a request (each message a list of
// values, in order). It returns false when it does not handle the request; then
// the next responder, and at last the scripted replies of the device's
// configuration, are asked.
using Responder =
    std::function<bool(Sim&, Device&, const Request&, std::vector<std::vector<Value>>& messages)>;
void AddResponder(Responder responder);

// Sends the messages to the requester as confirms of the request's opcode (or the
// device's "reply_opcode"), with the request's transaction identifier, each
// encrypted after its last marker value with the key that opened the request, cut
// into segments, after the device's delay and with its scripted faults.
void SendConfirms(Sim& sim, Device& d, const Request& request,
                  const std::vector<std::vector<Value>>& messages);

// Parses a message script: values "TYPE:HEX" or "TYPE:len=N" (N bytes counting
// up from 0), separated by spaces; TYPE is decimal or 0x hex. False on a bad token.
bool ParseValues(const std::string& text, std::vector<Value>& out);

}  // namespace devsim::lcmp

#endif
