// Legacy SCP exchanges: one attempt of a get, set or factory reset with one device
// over an open link-layer port. A request goes out up to maxSends times; the replies
// it draws are taken by device, operation number and sequence number, deciphered
// when the operation is enciphered, checked and collected.
#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <vector>

#include "byte_io.h"
#include "clock.h"
#include "crc32.h"
#include "scp_client_legacy_internal.h"

namespace kivo::scp {
namespace {

// The header of a received message (the message buffer holds at least a header).
MessageHeader HeaderOf(const uint8_t* message) {
    MessageHeader h;
    ByteReader r(message, kMsgHeaderSize);
    MessageHeaderRead(r, h);
    return h;
}

// Turns the collected replies into the caller's info data.
Status InfoOf(const ReplyCollector& collected, std::vector<uint8_t>& info) {
    info.assign(SCP_INFO_BUFFER_SIZE, 0);
    uint32_t size = 0;
    Status r =
        ParseInfoData(collected.data(), collected.size(), info.data(), &size, false, SCP_INFO_BUFFER_SIZE);
    info.resize(std::min<uint32_t>(size, SCP_INFO_BUFFER_SIZE));
    return r;
}

}  // namespace

Status PortResult(l2::PortStatus status, PortStep step, const std::string& name) {
    if (status == l2::PortStatus::kOk) return SCP_ERROR_NONE;
    return Status(PortCode(status, step)).Explain(l2::PortFailure(status, name.c_str()));
}

t_scpErrorCode Exchange::Note(const Status& status) {
    words_.Explain(status);
    return status.as<t_scpErrorCode>();
}

t_scpErrorCode PortCode(l2::PortStatus status, PortStep step) {
    using l2::PortStatus;
    if (step == PortStep::kSend) return SCP_ERROR_SENDTO;
    if (step == PortStep::kReceive) return SCP_ERROR_TIMEOUT;
    switch (status) {
        case PortStatus::kPermission:
        case PortStatus::kSocket:
            return SCP_ERROR_SOCKET_NOT_OPENED;
        case PortStatus::kNoInterface:
            return SCP_ERROR_ETH_IF_MAC;
        default:
            return SCP_ERROR_ETH_IF;  // a name that cannot be an interface's, or one that is unusable
    }
}

t_scpErrorCode Exchange::Send(const uint8_t* message, uint32_t length) {
    if (message == nullptr || deviceMac_ == nullptr || length > kMsgMax) return SCP_ERROR_BAD_ARGS;
    // Short messages are zero-filled to kMsgMin bytes; the length field keeps the
    // unfilled size. The frame goes out as built, without further padding.
    std::array<uint8_t, kFrameSize> frame{};
    const size_t frameLength = kFrameHeaderSize + std::max(length, kMsgMin);
    ByteWriter w(frame.data(), frameLength);
    l2::EthernetWrite(w, deviceMac_, port_.mac().data(), nullptr,
                      static_cast<uint16_t>(l2::kSnapHeaderLength + length));
    l2::SnapWrite(w, kSnapPid);
    w.bytes(message, length);
    if (!w.ok()) return SCP_ERROR_BAD_ARGS;
    return Note(PortResult(port_.SendFrame(frame.data(), frameLength), PortStep::kSend, port_.name()));
}

bool Exchange::FromTheDevice(const l2::FrameView& frame) const {
    return std::equal(frame.eth.src.begin(), frame.eth.src.end(), deviceMac_) && frame.eth.dst == port_.mac();
}

t_scpErrorCode Exchange::Receive(uint8_t seq, uint8_t* message, uint32_t* payloadLength, const uint8_t* key,
                                 uint32_t timeout) {
    const Deadline deadline = Deadline::After(std::chrono::seconds(timeout));
    l2::FrameView frame;
    for (;;) {
        // Checked before every frame: a stream of frames that are not the reply must
        // not hold the wait past its end.
        if (deadline.passed()) return SCP_ERROR_TIMEOUT;
        const l2::PortStatus status = port_.Recv(frame, deadline);
        if (status != l2::PortStatus::kOk) return Note(PortResult(status, PortStep::kReceive, port_.name()));
        // Other devices' frames, other sessions' included, are not this exchange's.
        if (!FromTheDevice(frame)) continue;
        ByteReader r = frame.payloadReader();
        l2::SnapHeader snap;
        if (!l2::SnapRead(r, snap) || (snap.pid >> 8) != kSnapType) continue;
        // What lies beyond the largest SCP frame is not looked at.
        const uint32_t messageLength = static_cast<uint32_t>(std::min<size_t>(r.remaining(), kMsgMax));
        ByteReader m(r.current(), messageLength);
        MessageHeader h;
        if (!MessageHeaderRead(m, h) || h.opNumber != opNumber_ || h.seq != seq) continue;
        // The length is the sender's claim: a frame that does not hold the payload it
        // announces is not a reply of this device.
        if (h.payloadLength > m.remaining()) continue;
        std::memcpy(message, r.current(), messageLength);
        uint8_t* payload = message + kMsgHeaderSize;
        *payloadLength = h.payloadLength;
        uint32_t padding = 0;
        if (key != nullptr) {
            // Whether a reply is enciphered follows from the operation, never from the
            // frame: a payload that cannot be deciphered was not made with the key, and
            // taking it as clear text would let anyone who sees the op number answer.
            if (h.payloadLength % 8 != 0 || Decipher(payload, h.payloadLength, key) != SCP_ERROR_NONE)
                return SCP_ERROR_CRC;
            padding = PaddingPositionGet(payload, h.payloadLength, paddingCarry_);
        }
        if (crc32(payload, h.payloadLength, 0xFFFFFFFFu) != h.crc) return SCP_ERROR_CRC;
        if (padding != 0) *payloadLength = padding;
        return SCP_ERROR_NONE;
    }
}

// Sends message and waits for reply sequence number 1 with the expected opcode, at
// most maxSends sends. Failed waits set waitCode; a send failure sets sendCode (when
// given) and ends with SCP_ERROR_SENDTO.
Exchange::FirstReply Exchange::RequestFirstReply(const uint8_t* message, uint32_t messageLength,
                                                 uint8_t expectedOpcode, const uint8_t* key, uint8_t* reply,
                                                 uint32_t* replyLength, t_scpErrorTimeoutCode waitCode,
                                                 t_scpErrorTimeoutCode sendCode) {
    FirstReply out;
    for (uint32_t sends = 0; sends < settings_.maxSends; ++sends) {
        t_scpErrorCode r = Send(message, messageLength);
        if (r != SCP_ERROR_NONE) {
            if (sendCode != SCP_ERROR_TIMEOUT_NONE) timeoutCode_ = sendCode;
            out.result = SCP_ERROR_SENDTO;
            return out;
        }
        r = Receive(1, reply, replyLength, key, settings_.timeoutSeconds);
        if (r != SCP_ERROR_NONE) {
            timeoutCode_ = waitCode;
            out.result = r;
            continue;
        }
        if (HeaderOf(reply).opcode != expectedOpcode) {
            out.result = SCP_ERROR_TIMEOUT;
            continue;
        }
        out.result = SCP_ERROR_NONE;
        out.accepted = true;
        return out;
    }
    return out;
}

// Collects the first reply (already in reply) and then the messages that follow it,
// numbered 2, 3, ..., until one has the last-item flag set. A missing message sets
// the time-out code to timeoutCode.
t_scpErrorCode Exchange::CollectRemainingReplies(const uint8_t* key, uint32_t timeout,
                                                 t_scpErrorTimeoutCode timeoutCode, uint8_t* reply,
                                                 uint32_t replyLength, ReplyCollector& collected) {
    t_scpErrorCode r = collected.Append(reply + kMsgHeaderSize, replyLength);
    if (r != SCP_ERROR_NONE) return r;
    for (uint8_t seq = 2; HeaderOf(reply).lastItem == 0; ++seq) {
        r = Receive(seq, reply, &replyLength, key, timeout);
        if (r != SCP_ERROR_NONE) {
            timeoutCode_ = timeoutCode;
            return r;
        }
        r = collected.Append(reply + kMsgHeaderSize, replyLength);
        if (r != SCP_ERROR_NONE) return r;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode Exchange::Get(const uint8_t* data, uint32_t dataLength, bool isPrivate, const uint8_t* key,
                             std::vector<uint8_t>& info) {
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (dataLength != 0 && BuildGetList(data, dataLength, list.data(), &listLength) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (isPrivate && listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    const uint8_t expected = isPrivate ? kOpcodeGetpReply : kOpcodeGetReply;
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength =
        ComposeGetMessage(message.data(), list.data(), opNumber_, listLength, isPrivate, key);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    // Replies to a plain get come in clear text, those to a private get enciphered.
    const uint8_t* replyKey = isPrivate ? key : nullptr;
    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    const FirstReply first =
        RequestFirstReply(message.data(), messageLength, expected, replyKey, reply.data(), &replyLength,
                          SCP_ERROR_TIMEOUT_GET_1, SCP_ERROR_TIMEOUT_NONE);
    if (!first.accepted) {
        if (settings_.maxSends == 0) timeoutCode_ = SCP_ERROR_TIMEOUT_GET_2;
        return first.result;
    }
    ReplyCollector collected;
    const t_scpErrorCode r = CollectRemainingReplies(
        replyKey, settings_.furtherGetSeconds, SCP_ERROR_TIMEOUT_GET_3, reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    return Note(InfoOf(collected, info));
}

t_scpErrorCode Exchange::Set(t_scpOp op, const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                             std::vector<uint8_t>& info) {
    // Nothing to set: refuse before asking the device for anything.
    if (dataLength == 0) return SCP_ERROR_FORMAT;
    const bool isPrivate = op == SCP_OP_SETP;
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (Note(BuildSetList(data, dataLength, nullptr, 0, list.data(), &listLength)) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (isPrivate && listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    // The type query of a plain set goes out unenciphered and its replies are read
    // as they come.
    const uint8_t* queryKey = isPrivate ? key : nullptr;
    const uint8_t expected = isPrivate ? kOpcodeGetpReply : kOpcodeGetReply;
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength =
        ComposeGetMessage(message.data(), list.data(), opNumber_, listLength, isPrivate, queryKey);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    const FirstReply first =
        RequestFirstReply(message.data(), messageLength, expected, queryKey, reply.data(), &replyLength,
                          SCP_ERROR_TIMEOUT_SET_4, SCP_ERROR_TIMEOUT_SET_3);
    if (first.result == SCP_ERROR_SENDTO) return first.result;
    if (!first.accepted) {
        timeoutCode_ = SCP_ERROR_TIMEOUT_SET_6;
        return SCP_ERROR_TIMEOUT;
    }
    ReplyCollector collected;
    t_scpErrorCode r = CollectRemainingReplies(queryKey, settings_.timeoutSeconds, SCP_ERROR_TIMEOUT_SET_7,
                                               reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    std::vector<uint8_t> types(kCollectMax, 0);
    uint32_t typeCount = 0;
    r = Note(ParseInfoData(collected.data(), collected.size(), types.data(), &typeCount, true,
                           static_cast<uint32_t>(types.size())));
    if (r != SCP_ERROR_NONE) return r;
    // The set itself goes out under the next operation number.
    ++opNumber_;
    return SetOrder(op, data, dataLength, key, types.data(), typeCount, info);
}

t_scpErrorCode Exchange::SetOrder(t_scpOp op, const uint8_t* data, uint32_t dataLength, const uint8_t* key,
                                  const uint8_t* types, uint32_t typeCount, std::vector<uint8_t>& info) {
    const bool factory = op == SCP_OP_FACTORY_RESET;
    std::array<uint8_t, kPayloadMax + 8> list{};
    uint32_t listLength = 0;
    if (factory) {
        const t_scpErrorCode r = BuildFactoryResetList(list.data(), &listLength);
        if (r != SCP_ERROR_NONE) return r;
    } else {
        if (dataLength == 0) return SCP_ERROR_FORMAT;
        const t_scpErrorCode r =
            Note(BuildSetList(data, dataLength, types, typeCount, list.data(), &listLength));
        if (r != SCP_ERROR_NONE) return r;
    }
    // Padding must still fit the frame.
    if (listLength > kEncipheredListMax) return SCP_ERROR_FORMAT;
    const uint8_t expected =
        factory ? kOpcodeFactoryResetReply : (op == SCP_OP_SETP ? kOpcodeSetpReply : kOpcodeSetReply);
    std::array<uint8_t, kMsgMax> message;
    const uint32_t messageLength = ComposeSetMessage(message.data(), list.data(), opNumber_, listLength, key,
                                                     factory, op == SCP_OP_SETP);
    if (messageLength == 0) return SCP_ERROR_FORMAT;

    std::array<uint8_t, kMsgMax> reply;
    uint32_t replyLength = 0;
    ReplyCollector collected;
    for (;;) {
        const FirstReply first =
            RequestFirstReply(message.data(), messageLength, expected, key, reply.data(), &replyLength,
                              SCP_ERROR_TIMEOUT_SET_1, SCP_ERROR_TIMEOUT_NONE);
        if (!first.accepted) {
            // No send allowed at all is a time-out too, never a success.
            if (settings_.maxSends == 0) timeoutCode_ = SCP_ERROR_TIMEOUT_SET_1;
            return first.result;
        }
        const t_scpErrorCode r = collected.Append(reply.data() + kMsgHeaderSize, replyLength);
        if (r != SCP_ERROR_NONE) return r;
        if (HeaderOf(reply.data()).lastItem != 0) break;
    }
    return Note(InfoOf(collected, info));
}

}  // namespace kivo::scp
