// Legacy SCP client.
//
// One operation opens a raw socket on the host interface, sends a request message in
// an LLC/SNAP frame and collects the device's reply messages. A message is a 14-byte
// header followed by an item list (name, value and error items); set and factory
// reset lists are padded with 0xE6 to a multiple of 8 and enciphered with 3DES-CBC
// under key material made from the password; every payload carries a CRC of its
// plain bytes. Every byte received is checked before it is used: a reply is only
// read within the bytes that arrived.
#include "scp_client_legacy.h"

#include <arpa/inet.h>
#include <linux/if_ether.h>
#include <linux/if_packet.h>
#include <net/if.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

#include "byte_io.h"
#include "conversion.h"
#include "conversion_legacy.h"
#include "crc32.h"
#include "device.h"
#include "scp_client_legacy_internal.h"
#include "sha2_pub.h"
#include "triple_des.h"

namespace {

using Clock = std::chrono::steady_clock;

// Settings (seconds and counts); one instance per process.
std::atomic<INT32U> scpTimeoutStandard{3};
std::atomic<INT32U> scpTimeoutLongGet{16};
std::atomic<INT32U> scpMaxNumRtx{3};
std::atomic<t_scpErrorTimeoutCode> errorTimeoutCode{SCP_ERROR_TIMEOUT_NONE};

// Where the item walk of the previous deciphered reply of this operation left off,
// counted from the start of the next reply's payload.
INT32U staticPaddingPosition = 0;

// The 8 bytes between the length field and the SCP message: LLC AA AA 03, SNAP
// organisation 00 13 9D, type 0x16, subtype 0x01.
constexpr std::array<INT8U, 8> snap_header = {0xAA, 0xAA, 0x03, 0x00, 0x13, 0x9D, 0x16, 0x01};

const CHAR factoryResetName[] = "FACTORYRESET.GENERAL.FORCE_RESET";

// Draws the operation number. The sequence is seeded once per process so that the
// numbers a spoofer would have to guess differ from run to run.
INT8U DrawOpNumber() {
    static std::mutex lock;
    static std::minstd_rand generator{std::random_device{}()};
    std::lock_guard<std::mutex> guard(lock);
    return static_cast<INT8U>(generator() & 0xFF);
}

// Closes packet sockets on a thread of its own. Releasing a packet socket waits for
// the kernel's RCU grace period (several milliseconds, more on a busy host); the
// reply to the front-end need not wait for that. The closer lives as long as the
// process and is never destroyed, so it is safe at exit.
class DeferredCloser {
public:
    static void Close(int fd) {
        static DeferredCloser* closer = new DeferredCloser();
        {
            std::lock_guard<std::mutex> guard(closer->lock_);
            closer->pending_.push_back(fd);
        }
        closer->wake_.notify_one();
    }

private:
    DeferredCloser() { std::thread([this] { Run(); }).detach(); }
    [[noreturn]] void Run() {
        for (;;) {
            std::vector<int> fds;
            {
                std::unique_lock<std::mutex> guard(lock_);
                wake_.wait(guard, [this] { return !pending_.empty(); });
                fds.swap(pending_);
            }
            for (int fd : fds) close(fd);
        }
    }
    std::mutex lock_;
    std::condition_variable wake_;
    std::vector<int> pending_;
};

// Closes the attempt's socket on every path out: at once on early failures, on the
// closer thread once the socket has been bound and used.
class SocketHolder {
public:
    explicit SocketHolder(int fd) : fd_(fd) {}
    ~SocketHolder() {
        if (fd_ < 0) return;
        if (defer_)
            DeferredCloser::Close(fd_);
        else
            close(fd_);
    }
    SocketHolder(const SocketHolder&) = delete;
    SocketHolder& operator=(const SocketHolder&) = delete;
    int fd() const { return fd_; }
    void DeferClose() { defer_ = true; }

private:
    int fd_;
    bool defer_ = false;
};

// Reply payloads collected by one exchange, bounded in bytes and in messages.
class ReplyCollector {
public:
    t_scpErrorCode Append(const INT8U* payload, INT32U length) {
        if (++messages_ > scp_internal::SCP_REPLY_MESSAGES_MAX) return SCP_ERROR_GET_TOO_BIG;
        if (length > scp_internal::SCP_COLLECT_MAX - bytes_.size()) return SCP_ERROR_GET_TOO_BIG;
        bytes_.insert(bytes_.end(), payload, payload + length);
        return SCP_ERROR_NONE;
    }
    INT8U* data() { return bytes_.data(); }
    INT32U size() const { return static_cast<INT32U>(bytes_.size()); }

private:
    std::vector<INT8U> bytes_;
    INT32U messages_ = 0;
};

// Appends one item (length field, item type, sub-type, content) to an item list of
// at most SCP_PAYLOAD_MAX bytes; false when the list would grow beyond that.
bool AppendItem(INT8U* list, INT32U* listLength, INT8U itemType, INT8U subType, const INT8U* content,
                INT32U contentLength) {
    if (contentLength > scp_internal::SCP_PAYLOAD_MAX ||
        *listLength + contentLength + 4 > scp_internal::SCP_PAYLOAD_MAX)
        return false;
    INT8U* p = list + *listLength;
    kivo::storeBe16(p, static_cast<INT16U>(contentLength + 2));
    p[2] = itemType;
    p[3] = subType;
    if (contentLength) std::memcpy(p + 4, content, contentLength);
    *listLength += contentLength + 4;
    return true;
}

// Length of the zero-terminated text starting at data[pos], or -1 when no zero byte
// follows within the data_length bytes.
long TextLength(const INT8U* data, INT32U data_length, INT32U pos) {
    if (pos >= data_length) return -1;
    const void* zero = std::memchr(data + pos, 0, data_length - pos);
    if (zero == nullptr) return -1;
    return static_cast<const INT8U*>(zero) - (data + pos);
}

// Adds n bytes and a zero byte to the info data, within its capacity.
bool AppendText(INT8U* buffer, INT32U* size, INT32U capacity, const INT8U* text, INT32U n) {
    if (*size > capacity || n >= capacity - *size) return false;
    if (n) std::memcpy(buffer + *size, text, n);
    buffer[*size + n] = 0;
    *size += n + 1;
    return true;
}

INT32U PaddedLength(INT32U length) { return (length + 7) & ~7u; }

// Builds a message: header, item list padded (when asked) and enciphered (when asked).
INT32U ComposeMessage(INT8U* scp_msg, INT8U* data, INT8U opcode, INT8U op_number, INT32U data_length,
                      bool padAndEncipher, INT8U* key) {
    using namespace scp_internal;
    std::memset(scp_msg, 0, SCP_MSG_MAX);
    INT32U length = data_length;
    if (padAndEncipher) {
        length = PaddedLength(data_length);
        if (length > SCP_PAYLOAD_MAX) return 0;
        std::memset(data + data_length, SCP_PAD_BYTE, length - data_length);
    } else if (length > SCP_PAYLOAD_MAX) {
        return 0;
    }
    INT32U crc = crc32(data, length, 0xFFFFFFFFu);
    kivo::ByteWriter w(scp_msg, SCP_MSG_MAX);
    w.u8(opcode);
    w.u8(1);
    w.u8(0);
    w.u8(op_number);
    w.u8(1);  // seq_number
    w.u8(0);  // last_item
    w.be16(0);
    w.be16(static_cast<INT16U>(length));
    w.be32(crc);
    w.bytes(data, length);
    if (padAndEncipher) scp_internal::scpClientImprovedEncipher(scp_msg + SCP_MSG_HEADER_SIZE, length, key);
    return SCP_MSG_HEADER_SIZE + length;
}

// Outcome of one wait for the first reply to a request, sent up to scpMaxNumRtx times.
struct FirstReply {
    t_scpErrorCode result = SCP_ERROR_TIMEOUT;
    bool accepted = false;
};

// Sends msg and waits for reply sequence number 1 with the expected opcode, at most
// scpMaxNumRtx sends. Failed waits set waitCode; a send failure sets sendCode (when
// given) and ends with SCP_ERROR_SENDTO.
FirstReply RequestFirstReply(const scp_internal::ScpLink& link, INT8U* msg, INT32U msgLength, INT8U op_number,
                             INT8U expectedOpcode, INT8U* key, INT8U* reply, INT32U* replyLength,
                             t_scpErrorTimeoutCode waitCode, t_scpErrorTimeoutCode sendCode) {
    FirstReply out;
    INT32U maxSends = scpMaxNumRtx.load();
    INT32U timeout = scpTimeoutStandard.load();
    for (INT32U sends = 0; sends < maxSends;) {
        t_scpErrorCode r = scp_internal::send_packet(link.s, link.socket_address, link.host_mac,
                                                     link.device_mac, msg, msgLength);
        if (r != SCP_ERROR_NONE) {
            if (sendCode != SCP_ERROR_TIMEOUT_NONE) errorTimeoutCode = sendCode;
            out.result = SCP_ERROR_SENDTO;
            return out;
        }
        INT8U op = op_number;
        INT8U seq = 1;
        r = scp_internal::receive_packet(link.s, link.host_mac, link.device_mac, &op, &seq, reply, replyLength,
                                         key, timeout);
        if (r != SCP_ERROR_NONE) {
            errorTimeoutCode = waitCode;
            out.result = r;
            ++sends;
            continue;
        }
        if (reply[0] != expectedOpcode) {
            out.result = SCP_ERROR_TIMEOUT;
            ++sends;
            continue;
        }
        out.result = SCP_ERROR_NONE;
        out.accepted = true;
        return out;
    }
    return out;
}

}  // namespace

namespace scp_internal {

INT32U StaticPaddingPositionGet() { return staticPaddingPosition; }
void StaticPaddingPositionSet(INT32U position) { staticPaddingPosition = position; }

void scpClientSHA2Hash(INT8U* hash, const INT8U* data, INT32U length) { GenerateSha256Hash(hash, data, length); }

void scpClientLegacyHash(INT8U* hash, const INT8U* data, INT32U length) { GenerateLegacyHash(hash, data, length); }

void get_key(const INT8U* password, INT8U* key, BOOLEAN scpLegacyHash) {
    static const INT8U empty[1] = {0};
    if (password == nullptr) password = empty;
    INT32U length = static_cast<INT32U>(std::strlen(reinterpret_cast<const char*>(password)));
    if (scpLegacyHash)
        scpClientLegacyHash(key, password, length);
    else
        scpClientSHA2Hash(key, password, length);
}

t_scpErrorCode scpClientImprovedEncipher(INT8U* data, INT32U length, INT8U* key) {
    if (length > 0x7FFFFFFFu) return SCP_ERROR_BAD_ARGS;
    return DES3CBCCipher(data, static_cast<INT32S>(length), key) == 0 ? SCP_ERROR_NONE : SCP_ERROR_BAD_ARGS;
}

t_scpErrorCode scpClientImprovedDecipher(INT8U* data, INT32U length, INT8U* key) {
    if (length > 0x7FFFFFFFu) return SCP_ERROR_BAD_ARGS;
    return DES3CBCDecipher(data, static_cast<INT32S>(length), key) == 0 ? SCP_ERROR_NONE : SCP_ERROR_BAD_ARGS;
}

INT32U compose_scp_get_msg(INT8U* scp_msg, INT8U* data, INT8U op_number, INT32U data_length,
                           BOOLEAN get_private, INT8U* key) {
    return ComposeMessage(scp_msg, data, get_private ? SCP_OPCODE_GETP : SCP_OPCODE_GET, op_number, data_length,
                          get_private != FALSE, key);
}

INT32U compose_scp_set_msg(INT8U* scp_msg, INT8U* data, INT8U op_number, INT32U data_length, INT8U* key,
                           BOOLEAN factory, BOOLEAN set_private) {
    INT8U opcode = factory ? SCP_OPCODE_FACTORY_RESET : (set_private ? SCP_OPCODE_SETP : SCP_OPCODE_SET);
    return ComposeMessage(scp_msg, data, opcode, op_number, data_length, true, key);
}

t_scpErrorCode send_packet(int s, struct sockaddr_ll* socket_address, const INT8U* src_mac,
                           const INT8U* dst_mac, INT8U* data, INT32U data_length) {
    if (data == nullptr || src_mac == nullptr || dst_mac == nullptr || data_length > SCP_MSG_MAX)
        return SCP_ERROR_BAD_ARGS;
    std::array<INT8U, SCP_FRAME_SIZE> frame{};
    kivo::ByteWriter w(frame.data(), frame.size());
    w.bytes(dst_mac, 6);
    w.bytes(src_mac, 6);
    w.be16(static_cast<INT16U>(data_length + 8));
    w.bytes(snap_header.data(), snap_header.size());
    w.bytes(data, data_length);
    // Short messages are zero-filled (the array is zeroed); the length field keeps
    // the unfilled size.
    size_t frameLength = SCP_FRAME_HEADER_SIZE + std::max(data_length, SCP_MSG_MIN);
    ssize_t sent = sendto(s, frame.data(), frameLength, 0, reinterpret_cast<struct sockaddr*>(socket_address),
                          socket_address ? sizeof(*socket_address) : 0);
    return sent == -1 ? SCP_ERROR_SENDTO : SCP_ERROR_NONE;
}

t_scpErrorCode receive_packet(int s, const INT8U* src_mac, const INT8U* dst_mac, INT8U* waiting_op_number,
                              INT8U* waiting_seq_number, INT8U* data, INT32U* data_length, INT8U* key,
                              INT32U timeout) {
    const Clock::time_point deadline = Clock::now() + std::chrono::seconds(timeout);
    std::array<INT8U, SCP_FRAME_SIZE> frame;
    for (;;) {
        Clock::time_point now = Clock::now();
        if (now >= deadline) return SCP_ERROR_TIMEOUT;
        auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - now).count();
        struct pollfd pfd = {s, POLLIN, 0};
        int ready = poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 0x7FFFFFFF)));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return SCP_ERROR_TIMEOUT;
        if (Clock::now() >= deadline) return SCP_ERROR_TIMEOUT;
        ssize_t n = recv(s, frame.data(), frame.size(), MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
            return SCP_ERROR_TIMEOUT;
        }
        size_t received = static_cast<size_t>(n);
        if (received < SCP_MIN_FRAME_RX || frame[20] != SCP_FRAME_TYPE) continue;
        if (std::memcmp(frame.data() + 6, dst_mac, 6) != 0 || std::memcmp(frame.data(), src_mac, 6) != 0)
            continue;
        INT32U messageLength = static_cast<INT32U>(received - SCP_FRAME_HEADER_SIZE);
        std::memcpy(data, frame.data() + SCP_FRAME_HEADER_SIZE, messageLength);
        if (data[3] != *waiting_op_number || data[4] != *waiting_seq_number) continue;
        INT32U payloadLength = kivo::loadBe16(data + 8);
        // The length is the sender's claim: a frame that does not hold the payload it
        // announces is not a reply of this device.
        if (payloadLength > messageLength - SCP_MSG_HEADER_SIZE) continue;
        INT8U* payload = data + SCP_MSG_HEADER_SIZE;
        *data_length = payloadLength;
        INT32U padding = 0;
        if (key != nullptr && key[0] != 0) {
            scpClientImprovedDecipher(payload, payloadLength, key);
            padding = paddingPositionGet(payload, payloadLength);
        }
        INT32U crc = crc32(payload, payloadLength, 0xFFFFFFFFu);
        if (crc != kivo::loadBe32(data + 10)) return SCP_ERROR_CRC;
        if (padding != 0) *data_length = padding;
        return SCP_ERROR_NONE;
    }
}

INT32U paddingPositionGet(INT8U* data, INT32U length) {
    if (length < 2) return 0;
    INT32U p = staticPaddingPosition == 0 ? kivo::loadBe16(data) + 2u : staticPaddingPosition;
    while (p <= length - 2) {
        if (data[p] == SCP_PAD_BYTE && data[p + 1] == SCP_PAD_BYTE) break;
        p += kivo::loadBe16(data + p) + 2u;
    }
    if (p < length) {
        staticPaddingPosition = 0;
        return p;
    }
    staticPaddingPosition = p - length;
    return 0;
}

t_scpErrorCode parse_get_data(const INT8U* data, INT32U data_length, INT8U* parsed_data,
                              INT32U* parsed_data_length) {
    if (data == nullptr || parsed_data == nullptr || parsed_data_length == nullptr) return SCP_ERROR_BAD_ARGS;
    *parsed_data_length = 0;
    INT32U pos = 0;
    while (pos < data_length) {
        long nameLength = TextLength(data, data_length, pos);
        if (nameLength < 0) return SCP_ERROR_FORMAT;
        if (!AppendItem(parsed_data, parsed_data_length, SCP_ITEM_NAME, SCP_NAME_SUBTYPE, data + pos,
                        static_cast<INT32U>(nameLength)))
            return SCP_ERROR_FORMAT;
        pos += static_cast<INT32U>(nameLength) + 1;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode parse_set_data(const INT8U* data, INT32U data_length, INT8U* typeOfdata_buffer,
                              INT32U typeOfdata_buffer_size, INT8U* parsed_data, INT32U* parsed_data_length) {
    if (data == nullptr || parsed_data == nullptr || parsed_data_length == nullptr) return SCP_ERROR_BAD_ARGS;
    *parsed_data_length = 0;
    std::vector<INT8U> encoded;
    if (typeOfdata_buffer != nullptr) encoded.resize(LEGACY_VALUE_AREA_SIZE);
    INT32U typeIndex = 0;
    INT32U pos = 0;
    while (pos < data_length) {
        long nameLength = TextLength(data, data_length, pos);
        if (nameLength < 0) return SCP_ERROR_FORMAT;
        if (!AppendItem(parsed_data, parsed_data_length, SCP_ITEM_NAME, SCP_NAME_SUBTYPE, data + pos,
                        static_cast<INT32U>(nameLength)))
            return SCP_ERROR_FORMAT;
        pos += static_cast<INT32U>(nameLength) + 1;
        // Every name must be followed by its value text.
        long valueLength = TextLength(data, data_length, pos);
        if (valueLength < 0 || static_cast<INT32U>(valueLength) > SCP_VALUE_TEXT_MAX) return SCP_ERROR_FORMAT;
        const INT8U* valueText = data + pos;
        pos += static_cast<INT32U>(valueLength) + 1;
        if (typeOfdata_buffer == nullptr) continue;
        if (typeIndex >= typeOfdata_buffer_size) return SCP_ERROR_FORMAT;
        INT8U type = typeOfdata_buffer[typeIndex++];
        INT32U encodedLength = 0;
        if (!stringToValue(type, valueText, &encodedLength, encoded.data(), static_cast<INT32U>(encoded.size())) ||
            encodedLength > encoded.size())
            return SCP_ERROR_FORMAT;
        if (!AppendItem(parsed_data, parsed_data_length, SCP_ITEM_VALUE, type, encoded.data(), encodedLength))
            return SCP_ERROR_FORMAT;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode factory_reset_set_data(INT8U* parsed_data, INT32U* parsed_data_length) {
    if (parsed_data == nullptr || parsed_data_length == nullptr) return SCP_ERROR_BAD_ARGS;
    *parsed_data_length = 0;
    AppendItem(parsed_data, parsed_data_length, SCP_ITEM_NAME, SCP_NAME_SUBTYPE,
               reinterpret_cast<const INT8U*>(factoryResetName), sizeof(factoryResetName) - 1);
    static const INT8U one[] = "1";
    std::array<INT8U, 8> value{};
    INT32U valueLength = 0;
    if (!stringToValue(PARAM_TYPE_INT8U, one, &valueLength, value.data(), static_cast<INT32U>(value.size())) ||
        valueLength > value.size())
        return SCP_ERROR_FORMAT;
    AppendItem(parsed_data, parsed_data_length, SCP_ITEM_VALUE, PARAM_TYPE_INT8U, value.data(), valueLength);
    return SCP_ERROR_NONE;
}

t_scpErrorCode parse_scp_info_msg(INT8U* scp_res, INT32U res_length, INT8U* buffer, INT32U* size,
                                  BOOLEAN get_type_param, INT32U buffer_capacity) {
    if (scp_res == nullptr || buffer == nullptr || size == nullptr) return SCP_ERROR_BAD_ARGS;
    *size = 0;
    t_scpErrorCode result = SCP_ERROR_NONE;
    // Scratch areas: the item's content followed by zero bytes (some renderings read
    // up to a zero byte or a fixed width), and the text rendered from it.
    std::vector<INT8U> content;
    std::vector<INT8U> text;
    INT32U pos = 0;
    while (pos < res_length) {
        if (res_length - pos < 4) return SCP_ERROR_RX_FORMAT;
        INT32U itemLength = kivo::loadBe16(scp_res + pos);
        if (itemLength < 2 || itemLength > res_length - pos - 2) return SCP_ERROR_RX_FORMAT;
        INT8U itemType = scp_res[pos + 2];
        INT8U subType = scp_res[pos + 3];
        const INT8U* itemContent = scp_res + pos + 4;
        INT32U contentLength = itemLength - 2;
        switch (itemType) {
            case SCP_ITEM_NAME:
                if (!get_type_param && !AppendText(buffer, size, buffer_capacity, itemContent, contentLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            case SCP_ITEM_VALUE: {
                if (get_type_param) {
                    if (*size >= buffer_capacity) return SCP_ERROR_GET_TOO_BIG;
                    buffer[(*size)++] = subType;
                    break;
                }
                content.assign(contentLength + 64, 0);
                std::memcpy(content.data(), itemContent, contentLength);
                // The longest rendering is five characters per value byte ("-128,").
                text.assign(5 * static_cast<size_t>(contentLength) + 128, 0);
                INT32U textLength = itemLength;
                valueToString(subType, content.data(), &textLength, text.data(), static_cast<INT32U>(text.size()));
                textLength = std::min<INT32U>(textLength, static_cast<INT32U>(text.size()));
                if (!AppendText(buffer, size, buffer_capacity, text.data(), textLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            }
            case SCP_ITEM_ERROR: {
                text.assign(256, 0);
                INT32U textLength = itemLength;
                INT32S status = errorToString(itemContent, &textLength, text.data(), static_cast<INT32U>(text.size()));
                textLength = std::min<INT32U>(textLength, static_cast<INT32U>(text.size()));
                if (status != 0) result = SCP_ERROR_PARAM_OP_FAILED;
                // A device that reports on a name while types are asked for does
                // not know that name.
                if (get_type_param) return SCP_ERROR_RX_FORMAT;
                if (!AppendText(buffer, size, buffer_capacity, text.data(), textLength))
                    return SCP_ERROR_GET_TOO_BIG;
                break;
            }
            default:
                return SCP_ERROR_RX_FORMAT;
        }
        pos += itemLength + 2;
    }
    return result;
}

// Collects the first reply (already in reply) and then the messages that follow it,
// numbered 2, 3, ..., until one has last_item set. A missing message sets
// errorTimeoutCode to timeoutCode.
t_scpErrorCode CollectRemainingReplies(const ScpLink& link, INT8U op_number, INT8U* key, INT32U timeout,
                                       t_scpErrorTimeoutCode timeoutCode, INT8U* reply, INT32U replyLength,
                                       ReplyCollector& collected) {
    t_scpErrorCode r = collected.Append(reply + SCP_MSG_HEADER_SIZE, replyLength);
    if (r != SCP_ERROR_NONE) return r;
    INT8U seq = 1;
    while (reply[5] == 0) {
        ++seq;
        INT8U op = op_number;
        r = receive_packet(link.s, link.host_mac, link.device_mac, &op, &seq, reply, &replyLength, key, timeout);
        if (r != SCP_ERROR_NONE) {
            errorTimeoutCode = timeoutCode;
            return r;
        }
        r = collected.Append(reply + SCP_MSG_HEADER_SIZE, replyLength);
        if (r != SCP_ERROR_NONE) return r;
    }
    return SCP_ERROR_NONE;
}

t_scpErrorCode getOperation(const ScpLink& link, INT8U op_number, const INT8U* data, INT32U data_length,
                            BOOLEAN get_private, INT8U* key, INT8U* scp_info_buffer,
                            INT32U* scp_info_buffer_size) {
    std::array<INT8U, SCP_PAYLOAD_MAX + 8> list{};
    INT32U listLength = 0;
    if (data_length != 0 && parse_get_data(data, data_length, list.data(), &listLength) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (get_private && listLength > SCP_ENCIPHERED_LIST_MAX) return SCP_ERROR_FORMAT;
    INT8U expected = get_private ? SCP_OPCODE_GETP_REPLY : SCP_OPCODE_GET_REPLY;
    std::array<INT8U, SCP_MSG_MAX> msg;
    INT32U msgLength = compose_scp_get_msg(msg.data(), list.data(), op_number, listLength, get_private, key);
    if (msgLength == 0) return SCP_ERROR_FORMAT;

    std::array<INT8U, SCP_MSG_MAX> reply;
    INT32U replyLength = 0;
    FirstReply first = RequestFirstReply(link, msg.data(), msgLength, op_number, expected, key, reply.data(),
                                         &replyLength, SCP_ERROR_TIMEOUT_GET_1, SCP_ERROR_TIMEOUT_NONE);
    if (!first.accepted) {
        if (scpMaxNumRtx.load() == 0) errorTimeoutCode = SCP_ERROR_TIMEOUT_GET_2;
        return first.result;
    }
    ReplyCollector collected;
    t_scpErrorCode r = CollectRemainingReplies(link, op_number, key, scpTimeoutLongGet.load(),
                                               SCP_ERROR_TIMEOUT_GET_3, reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    return parse_scp_info_msg(collected.data(), collected.size(), scp_info_buffer, scp_info_buffer_size, FALSE,
                              SCP_INFO_BUFFER_SIZE);
}

t_scpErrorCode setOperation(const ScpLink& link, t_scpOp op, INT8U op_number, const INT8U* data,
                            INT32U data_length, INT8U* key, INT8U* scp_info_buffer,
                            INT32U* scp_info_buffer_size) {
    // Nothing to set: refuse before asking the device for anything.
    if (data_length == 0) return SCP_ERROR_FORMAT;
    const bool isPrivate = op == SCP_OP_SETP;
    std::array<INT8U, SCP_PAYLOAD_MAX + 8> list{};
    INT32U listLength = 0;
    if (parse_set_data(data, data_length, nullptr, 0, list.data(), &listLength) != SCP_ERROR_NONE)
        return SCP_ERROR_FORMAT;
    if (isPrivate && listLength > SCP_ENCIPHERED_LIST_MAX) return SCP_ERROR_FORMAT;
    // The type query of a plain set goes out unenciphered and its replies are read
    // as they come.
    std::array<INT8U, SCP_KEY_SIZE> noKey{};
    INT8U* queryKey = isPrivate ? key : noKey.data();
    INT8U expected = isPrivate ? SCP_OPCODE_GETP_REPLY : SCP_OPCODE_GET_REPLY;
    std::array<INT8U, SCP_MSG_MAX> msg;
    INT32U msgLength =
        compose_scp_get_msg(msg.data(), list.data(), op_number, listLength, isPrivate ? TRUE : FALSE, queryKey);
    if (msgLength == 0) return SCP_ERROR_FORMAT;

    std::array<INT8U, SCP_MSG_MAX> reply;
    INT32U replyLength = 0;
    FirstReply first = RequestFirstReply(link, msg.data(), msgLength, op_number, expected, queryKey, reply.data(),
                                         &replyLength, SCP_ERROR_TIMEOUT_SET_4, SCP_ERROR_TIMEOUT_SET_3);
    if (first.result == SCP_ERROR_SENDTO) return first.result;
    if (!first.accepted) {
        errorTimeoutCode = SCP_ERROR_TIMEOUT_SET_6;
        return SCP_ERROR_TIMEOUT;
    }
    ReplyCollector collected;
    t_scpErrorCode r = CollectRemainingReplies(link, op_number, queryKey, scpTimeoutStandard.load(),
                                               SCP_ERROR_TIMEOUT_SET_7, reply.data(), replyLength, collected);
    if (r != SCP_ERROR_NONE) return r;
    std::vector<INT8U> types(SCP_COLLECT_MAX, 0);
    INT32U typeCount = 0;
    r = parse_scp_info_msg(collected.data(), collected.size(), types.data(), &typeCount, TRUE,
                           static_cast<INT32U>(types.size()));
    if (r != SCP_ERROR_NONE) return r;
    return setOrder(link, op, static_cast<INT8U>(op_number + 1), data, data_length, key, types.data(), typeCount,
                    scp_info_buffer, scp_info_buffer_size);
}

t_scpErrorCode setOrder(const ScpLink& link, t_scpOp op, INT8U op_number, const INT8U* data,
                        INT32U data_length, INT8U* key, INT8U* typeOfdata_buffer,
                        INT32U typeOfdata_buffer_size, INT8U* scp_info_buffer, INT32U* scp_info_buffer_size) {
    const bool factory = op == SCP_OP_FACTORY_RESET;
    std::array<INT8U, SCP_PAYLOAD_MAX + 8> list{};
    INT32U listLength = 0;
    if (factory) {
        t_scpErrorCode r = factory_reset_set_data(list.data(), &listLength);
        if (r != SCP_ERROR_NONE) return r;
    } else {
        if (data_length == 0) return SCP_ERROR_FORMAT;
        t_scpErrorCode r = parse_set_data(data, data_length, typeOfdata_buffer, typeOfdata_buffer_size,
                                          list.data(), &listLength);
        if (r != SCP_ERROR_NONE) return r;
    }
    // Padding must still fit the frame.
    if (listLength > SCP_ENCIPHERED_LIST_MAX) return SCP_ERROR_FORMAT;
    INT8U expected = factory ? SCP_OPCODE_FACTORY_RESET_REPLY
                             : (op == SCP_OP_SETP ? SCP_OPCODE_SETP_REPLY : SCP_OPCODE_SET_REPLY);
    std::array<INT8U, SCP_MSG_MAX> msg;
    INT32U msgLength = compose_scp_set_msg(msg.data(), list.data(), op_number, listLength, key,
                                           factory ? TRUE : FALSE, op == SCP_OP_SETP ? TRUE : FALSE);
    if (msgLength == 0) return SCP_ERROR_FORMAT;

    std::array<INT8U, SCP_MSG_MAX> reply;
    INT32U replyLength = 0;
    ReplyCollector collected;
    for (;;) {
        FirstReply first = RequestFirstReply(link, msg.data(), msgLength, op_number, expected, key, reply.data(),
                                             &replyLength, SCP_ERROR_TIMEOUT_SET_1, SCP_ERROR_TIMEOUT_NONE);
        if (!first.accepted) {
            // No send allowed at all is a time-out too, never a success.
            if (scpMaxNumRtx.load() == 0) errorTimeoutCode = SCP_ERROR_TIMEOUT_SET_1;
            return first.result;
        }
        t_scpErrorCode r = collected.Append(reply.data() + SCP_MSG_HEADER_SIZE, replyLength);
        if (r != SCP_ERROR_NONE) return r;
        if (reply[5] != 0) break;
    }
    return parse_scp_info_msg(collected.data(), collected.size(), scp_info_buffer, scp_info_buffer_size, FALSE,
                              SCP_INFO_BUFFER_SIZE);
}

}  // namespace scp_internal

namespace {

t_scpErrorCode ScpClientInternal(CHAR* if_name, const INT8U* device_mac, t_scpOp op, const INT8U* password,
                                 BOOLEAN legacy_hash, const INT8U* data, INT32U data_length,
                                 INT8U* scp_info_buffer, INT32U* scp_info_buffer_size) {
    using namespace scp_internal;
    errorTimeoutCode = SCP_ERROR_TIMEOUT_NONE;
    staticPaddingPosition = 0;
    if (device_mac == nullptr || if_name == nullptr) return SCP_ERROR_BAD_ARGS;
    const bool knownOp = op >= SCP_OP_SET && op <= SCP_OP_GETP;
    if (knownOp && (scp_info_buffer == nullptr || scp_info_buffer_size == nullptr)) return SCP_ERROR_BAD_ARGS;
    if (data_length != 0 && data == nullptr && op != SCP_OP_FACTORY_RESET) return SCP_ERROR_BAD_ARGS;
    // A name that does not fit an interface request with its terminator could be cut
    // to the name of another interface.
    if (strnlen(if_name, IFNAMSIZ) >= IFNAMSIZ) return SCP_ERROR_ETH_IF;

    // Opened without a protocol and given ETH_P_ALL by the bind: a socket created
    // with a protocol would have its receive hook replaced by the bind, which makes
    // the kernel wait for a grace period.
    SocketHolder sock(socket(AF_PACKET, SOCK_RAW | SOCK_CLOEXEC, 0));
    if (sock.fd() < 0) {
        std::printf("socket not opened\n");
        std::fflush(stdout);
        return SCP_ERROR_SOCKET_NOT_OPENED;
    }
    INT8U hostMac[6];
    if (MacAddressGet(if_name, hostMac) != 0) return SCP_ERROR_ETH_IF_MAC;

    struct sockaddr_ll address;
    std::memset(&address, 0, sizeof(address));
    address.sll_family = AF_PACKET;
    address.sll_protocol = htons(ETH_P_ALL);
    struct ifreq ifr;
    std::memset(&ifr, 0, sizeof(ifr));
    std::strncpy(ifr.ifr_name, if_name, IFNAMSIZ - 1);
    if (ioctl(sock.fd(), SIOCGIFINDEX, &ifr) < 0) return SCP_ERROR_ETH_IF;
    address.sll_ifindex = ifr.ifr_ifindex;
    if (bind(sock.fd(), reinterpret_cast<struct sockaddr*>(&address), sizeof(address)) < 0) {
        std::printf(" ScpClientInternat: bind %s ifindex %d error\n", if_name, address.sll_ifindex);
        std::fflush(stdout);
        return SCP_ERROR_ETH_IF;
    }
    sock.DeferClose();

    INT8U op_number = DrawOpNumber();
    ScpLink link{sock.fd(), &address, hostMac, device_mac};
    std::array<INT8U, SCP_KEY_SIZE> key{};
    switch (op) {
        case SCP_OP_SET:
            get_key(password, key.data(), legacy_hash);
            return setOperation(link, op, op_number, data, data_length, key.data(), scp_info_buffer,
                                scp_info_buffer_size);
        case SCP_OP_GET:
            return getOperation(link, op_number, data, data_length, FALSE, key.data(), scp_info_buffer,
                                scp_info_buffer_size);
        case SCP_OP_FACTORY_RESET:
            get_key(password, key.data(), legacy_hash);
            return setOrder(link, op, op_number, nullptr, 0, key.data(), nullptr, 0, scp_info_buffer,
                            scp_info_buffer_size);
        case SCP_OP_SETP:
            get_key(password, key.data(), legacy_hash);
            return setOperation(link, op, op_number, data, data_length, key.data(), scp_info_buffer,
                                scp_info_buffer_size);
        case SCP_OP_GETP:
            get_key(password, key.data(), legacy_hash);
            return getOperation(link, op_number, data, data_length, TRUE, key.data(), scp_info_buffer,
                                scp_info_buffer_size);
    }
    return SCP_ERROR_NONE;
}

}  // namespace

t_scpErrorCode ScpClient(CHAR* if_name, const INT8U* device_mac, t_scpOp op, const INT8U* password,
                         const INT8U* data, INT32U data_length, INT8U* scp_info_buffer,
                         INT32U* scp_info_buffer_size) {
    t_scpErrorCode result = ScpClientInternal(if_name, device_mac, op, password, FALSE, data, data_length,
                                              scp_info_buffer, scp_info_buffer_size);
    if (result != SCP_ERROR_NONE)
        result = ScpClientInternal(if_name, device_mac, op, password, TRUE, data, data_length, scp_info_buffer,
                                   scp_info_buffer_size);
    return result;
}

void ScpClientTimeoutSet(INT32U timeout) {
    scpTimeoutStandard = timeout;
    scpTimeoutLongGet = 5 * timeout;
}

void ScpClientMaxRetransmissionsSet(INT32U value) { scpMaxNumRtx = value; }

t_scpErrorTimeoutCode ScpClientErrorTimeoutCodeGet(void) { return errorTimeoutCode.load(); }
