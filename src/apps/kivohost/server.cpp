// kivohost's request server: the request table and its dispatch, the allow-list, the
// failure detail, the service state and reply segmentation. The socket, the scheduler
// and the idle watchdog live in scheduler.cpp, the handlers in handlers_*.cpp.
#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/mman.h>
#include <sys/socket.h>
#include <systemd/sd-daemon.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "byte_io.h"
#include "clock.h"
#include "kivo_segments.h"
#include "kivohost.h"
#include "l2fwserver.h"
#include "log.h"
#include "port.h"
#include "requester_lookup.h"
#include "service_internal.h"
#include "service_options.h"
#include "status.h"
#include "unique_fd.h"

namespace kivo::service {

namespace {

// Every request the service answers. Version and the failure detail are handled here;
// the others in handlers_params.cpp, handlers_discovery.cpp and handlers_fw.cpp.
constexpr Request kRequests[] = {
    {REQUEST_DISCOVER, DiscoverGet},
    {REQUEST_GET_ALL, GetAllGet},
    {REQUEST_GET, GetGet},
    {REQUEST_SET, SetGet},
    {REQUEST_FACTORY_RESET, FactoryResetGet},
    {REQUEST_FW_START, StartL2FwServerGet},
    {REQUEST_FW_STOP, StopL2FwServerGet},
    {REQUEST_FW_STATUS, GetStatusL2FwServerGet},
    {REQUEST_VERSION, GetKivoVersionGet},
    {REQUEST_FAILURE_DETAIL, FailureDetailGet},
    {REQUEST_DISCOVER_LCMP, DiscoverLcmpGet},
    {REQUEST_FW_TRANSFERS, FwTransfersGet},
    {REQUEST_FW_STOP_DEVICE, FwStopDeviceGet},
};

// Who may send requests; inactive (everyone) unless the command line set it.
AllowList allowList;

// The most recent request of one client answered FAILED or REFUSED.
struct FailedRequest {
    bool any = false;
    INT8U seq = 0;
    INT8U code = 0;
    kivo::Status failure;
};

// The last failed request of each client, for the failure detail: each client is told
// about its own requests only. Bounded: past kMaxClients the client that failed longest
// ago is forgotten.
class FailureTable {
   public:
    static constexpr size_t kMaxClients = 64;
    void Note(uint64_t client, const FailedRequest& failed) {
        const std::lock_guard<std::mutex> lock(mutex_);
        Forget(client);
        entries_.emplace_front(client, failed);
        if (entries_.size() > kMaxClients) entries_.pop_back();
    }
    FailedRequest Get(uint64_t client) {
        const std::lock_guard<std::mutex> lock(mutex_);
        for (const auto& [key, failed] : entries_)
            if (key == client) return failed;
        return FailedRequest{};
    }
    void Clear() {
        const std::lock_guard<std::mutex> lock(mutex_);
        entries_.clear();
    }

   private:
    void Forget(uint64_t client) {
        for (auto it = entries_.begin(); it != entries_.end(); ++it)
            if (it->first == client) {
                entries_.erase(it);
                return;
            }
    }
    std::mutex mutex_;
    std::list<std::pair<uint64_t, FailedRequest>> entries_;  // most recent first
};

FailureTable& Failures() {
    // Never destroyed: request threads may still run when the process exits.
    static FailureTable& table = *new FailureTable();
    return table;
}

// The client whose request this thread is handling.
thread_local uint64_t currentClientKey = 0;

}  // namespace

uint64_t ClientKeyOf(const struct sockaddr_in* client) {
    if (client == nullptr) return 0;
    return static_cast<uint64_t>(ntohl(client->sin_addr.s_addr)) << 16 | ntohs(client->sin_port);
}

const Request* RequestFind(INT8U code) {
    for (const Request& r : kRequests)
        if (r.code == code) return &r;
    return nullptr;
}

const char* RequestName(INT8U code) {
    // The protocol's names, spelled for the start of a sentence: "Get all request ...".
    static const auto kTitles = [] {
        std::array<std::string, 256> titles;
        for (size_t c = 0; c < titles.size(); ++c)
            titles[c] = kivo::protocol::RequestTitle(static_cast<kivo::protocol::RequestCode>(c));
        return titles;
    }();
    return RequestFind(code) != nullptr ? kTitles[code].c_str() : "Request";
}

const INT8U* RequestReader::field(size_t n) {
    if (!ok_) return nullptr;
    // An empty field is valid wherever it stands, even past a short datagram.
    if (n == 0) return msg_ + (pos_ < KIVO_MESSAGE_SIZE ? pos_ : KIVO_MESSAGE_SIZE - 1);
    if (n > len_ || pos_ > len_ - n) {
        ok_ = false;
        return nullptr;
    }
    const INT8U* p = msg_ + pos_;
    pos_ += n;
    return p;
}

uint64_t RequestReader::fixed(size_t n) {
    uint64_t v = 0;
    for (size_t i = 0; i < n; ++i) {
        INT8U b = 0;
        if (ok_ && pos_ < len_) b = msg_[pos_];
        if (pos_ < KIVO_MESSAGE_SIZE) ++pos_;
        v = (v << 8) | b;
    }
    return v;
}

ServiceState& ServiceStateGet() {
    // Never destroyed: threads of the process may still use it at exit.
    static ServiceState& state = *new ServiceState();
    return state;
}

INT16U LcmpVlanChoose(INT16U requestVlanId) {
    ServiceState& state = ServiceStateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    if (requestVlanId == 0)
        state.lcmpVlan = 0;
    else if (requestVlanId <= 4094)
        state.lcmpVlan = requestVlanId;
    return state.lcmpVlan;
}

kivo::scp::Settings ScpSettings() {
    ServiceState& state = ServiceStateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    return state.scp;
}

kivo::discovery::Settings DiscoverySettingsFor(INT16U vlanId) {
    ServiceState& state = ServiceStateGet();
    const std::lock_guard<std::mutex> lock(state.mutex);
    // A refused id leaves the tag as it was.
    state.discovery.VlanSet(vlanId != 0, vlanId, 0);
    return state.discovery;
}

kivo::discovery::Settings DiscoverySettingsUntagged() {
    return DiscoverySettingsFor(0);
}

t_configlayerOptions ConfiglayerOptionsFor(INT16U vlanId) {
    t_configlayerOptions options;
    options.lcmp.vlanId = vlanId;
    options.lcmp.numbering = &ServiceStateGet().lcmpNumbering;
    return options;
}

kivo::Status LinkFailure(const CHAR* ifName, const INT8U* mac) {
    if (ServiceStateGet().rawSocketsDenied.load()) {
        return kivo::Because(
            kivo::Reason::kNoPermission,
            "kivohost may not open raw packet sockets (CAP_NET_RAW): grant it with "
            "'setcap cap_net_raw+ep' on the kivohost binary or AmbientCapabilities=CAP_NET_RAW "
            "in its service unit, then restart it");
    }
    if (ifName != nullptr && ifName[0] != '\0' && if_nametoindex(ifName) == 0) {
        return kivo::Because(kivo::Reason::kNoInterface,
                             "there is no interface %s on this host: check the name with 'ip link'", ifName);
    }
    if (mac != nullptr)
        return kivo::Because(kivo::Reason::kNoAnswer,
                             "device %02x:%02x:%02x:%02x:%02x:%02x did not answer on %s: check that it is "
                             "powered and connected and that the password is right",
                             mac[0], mac[1], mac[2], mac[3], mac[4], mac[5], ifName);
    return kivo::Because(kivo::Reason::kNoDevice, "no device answered on %s: check the cabling and the VLAN",
                         ifName != nullptr && ifName[0] != '\0' ? ifName : "any interface");
}

kivo::Status Malformed(const char* request) {
    return kivo::Because(kivo::Reason::kMalformedRequest,
                         "%s request not well formed: a length field runs past the end of the datagram or a "
                         "text holds a zero byte",
                         request);
}

namespace {

// The reason for a failed request when its handler gave none.
kivo::Status GenericFailure(INT8U code, INT8U replyCode) {
    kivo::Status f;
    if (code == REQUEST_FW_START && replyCode == REPLY_REFUSED) {
        if (FwServerRunning()) {
            f.reason = kivo::Reason::kBusy;
            f.text = "a firmware transfer is running: wait for it to end or stop it first";
        } else {
            f.reason = kivo::Reason::kMalformedRequest;
            f.text =
                "the firmware start was refused: it needs an interface, a firmware file and a VLAN id other "
                "than 4095";
        }
    } else if (replyCode == REPLY_REFUSED) {
        f.reason = kivo::Reason::kMalformedRequest;
        f.text = std::string(RequestName(code)) + " request refused: it is not well formed";
    } else {
        f.reason = kivo::Reason::kInternal;
        f.text = std::string(RequestName(code)) + " request failed; the service's log may tell more";
    }
    return f;
}

// Keeps the detail of a request answered FAILED or REFUSED (or a firmware start whose
// transfer is already in its error state) and logs it.
void FailedRequestNote(uint64_t client, INT8U seq, INT8U code, const HandlerReply& reply, const INT8U* msg) {
    const INT32S replyLength = reply.length;
    kivo::Status failure = reply.why;
    bool failed = replyLength == 4 && (msg[3] == REPLY_FAILED || msg[3] == REPLY_REFUSED);
    if (!failed && code == REQUEST_FW_START && replyLength == 4 && msg[3] == REPLY_DONE && FwLatestFailed()) {
        failed = true;
        if (!failure.explained()) failure = FwServerLastFailure();
    }
    if (!failed) return;
    if (!failure.explained()) failure = GenericFailure(code, msg[3]);
    FailedRequest entry;
    entry.any = true;
    entry.seq = seq;
    entry.code = code;
    entry.failure = failure;
    Failures().Note(client, entry);
    kivo::Log(kivo::LogStream::kOut, "%s request (seq %u) failed: %s: %s\n", RequestName(code),
              static_cast<unsigned>(seq), kivo::ReasonName(failure.reason), failure.text.c_str());
}

// Why the allow-list keeps the sender out, logged; no words when it lets the request in.
// Version and failure detail are open to everyone: they show no device and change nothing.
kivo::Status RequestRefusal(INT8U code) {
    if (!allowList.active() || code == REQUEST_VERSION || code == REQUEST_FAILURE_DETAIL) return {};
    const kivo::Requester& requester = CurrentRequester();
    if (allowList.Allows(requester)) return {};
    if (requester.known) {
        kivo::Log(kivo::LogStream::kOut, "Refused %s request from uid %u: not in the allow-list\n",
                  RequestName(code), static_cast<unsigned>(requester.uid));
        return kivo::Because(
            kivo::Reason::kNotAllowed,
            "uid %u may not send %s requests: an administrator can add the user or one of its "
            "groups to kivohost's allow-list (--allow-user, --allow-group)",
            static_cast<unsigned>(requester.uid), RequestName(code));
    }
    kivo::Log(kivo::LogStream::kOut, "Refused %s request from an unidentified sender\n", RequestName(code));
    return kivo::Because(kivo::Reason::kNotAllowed,
                         "the sender of the %s request could not be identified, and only listed users may "
                         "send it",
                         RequestName(code));
}

// At most limit bytes of text, cut where no UTF-8 character is split.
size_t Utf8Prefix(const std::string& text, size_t limit) {
    if (text.size() <= limit) return text.size();
    size_t n = limit;
    while (n > 0 && (static_cast<unsigned char>(text[n]) & 0xC0) == 0x80) --n;
    return n;
}

// Longest text a detail reply carries; the layers' texts are a line or two.
constexpr size_t kDetailTextMax = 2000;

}  // namespace

}  // namespace kivo::service

using namespace kivo::service;

INT32U ThreadSleep(INT32U ms) {
    return kivo::SleepMsInterruptible(ms);
}

BOOLEAN UdpMsgSend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                   INT32U clientLength, INT32S seqNum, INT32S segTotal, INT32S segNum) {
    kivo::protocol::WriteSegmentHeader(
        msg, static_cast<size_t>(msgLength),
        {static_cast<INT8U>(seqNum), static_cast<INT8U>(segTotal), static_cast<INT8U>(segNum)});
    const ssize_t sent = sendto(socketFd, msg, static_cast<size_t>(msgLength), 0,
                                reinterpret_cast<struct sockaddr*>(client), clientLength);
    if (sent != msgLength) {
        kivo::Log(kivo::LogStream::kOut, "Send failed\n");
        return TRUE;
    }
    return FALSE;
}

INT32S ServerSegmentCount(INT32S msgLength) {
    if (msgLength <= KIVO_SEGMENT_SIZE) return 1;
    return static_cast<INT32S>(kivo::protocol::SegmentCount(static_cast<size_t>(msgLength)));
}

INT32S ServerReplySend(INT32S socketFd, INT8U* msg, INT32S msgLength, struct sockaddr_in* client,
                       INT32U clientLength, INT32S seqNum) {
    if (msgLength <= 0) return 0;
    if (msgLength > KIVO_MESSAGE_SIZE) msgLength = KIVO_MESSAGE_SIZE;
    const INT32S segTotal = ServerSegmentCount(msgLength);
    for (INT32S k = 0; k < segTotal; ++k) {
        // Segment k's header overwrites the last three payload bytes of the one sent before.
        const auto offset = static_cast<INT32S>(kivo::protocol::SegmentOffset(static_cast<size_t>(k)));
        const auto length = static_cast<INT32S>(
            kivo::protocol::SegmentLength(static_cast<size_t>(msgLength), static_cast<size_t>(k)));
        UdpMsgSend(socketFd, msg + offset, length, client, clientLength, seqNum, segTotal, k);
    }
    return segTotal;
}

void ServerAllowListSet(const AllowList& allow) {
    allowList = allow;
}

void ServerFailureDetailReset() {
    Failures().Clear();
}

INT32S ServerDispatch(INT32S inputLength, INT8U* msg) {
    return ServerDispatchFor(nullptr, inputLength, msg);
}

INT32S ServerDispatchFor(const struct sockaddr_in* client, INT32S inputLength, INT8U* msg) {
    // Header bytes the datagram did not carry read as zero, whatever the buffer held
    // before: a one-byte datagram is a Discover.
    for (INT32S i = inputLength > 0 ? inputLength : 0; i < 5; ++i) msg[i] = 0;
    if (msg[3] != 0) {
        kivo::Log(kivo::LogStream::kOut, "Invalid message (%d) received\n", msg[3]);
        return 1;
    }
    const INT8U seq = msg[0];
    const INT8U code = msg[4];
    // An unassigned code keeps its one-byte answer, whoever sends it.
    const Request* request = RequestFind(code);
    if (request == nullptr) return 1;
    currentClientKey = ClientKeyOf(client);
    if (client != nullptr) CurrentClientSet(*client);
    kivo::Status refusal = RequestRefusal(code);
    HandlerReply reply = refusal.explained() ? HandlerReply{ReplyCode(msg, REPLY_REFUSED), std::move(refusal)}
                                             : request->handler(inputLength, msg);
    if (code != REQUEST_FAILURE_DETAIL) FailedRequestNote(currentClientKey, seq, code, reply, msg);
    return reply.length;
}

HandlerReply GetKivoVersionGet(INT32S /*inputLength*/, INT8U* msg) {
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_VERSION);
    w.u8(KIVO_VERSION_MAJOR);
    w.u8(KIVO_VERSION_MINOR);
    w.u8(KIVO_VERSION_BUILD);
    return {static_cast<INT32S>(w.pos()), {}};
}

HandlerReply FailureDetailGet(INT32S /*inputLength*/, INT8U* msg) {
    const FailedRequest lastFailed = Failures().Get(currentClientKey);
    const kivo::Status fw = FwServerLastFailure();
    const size_t textLength = Utf8Prefix(lastFailed.failure.text, kDetailTextMax);
    const size_t fwLength = Utf8Prefix(fw.text, kDetailTextMax);
    kivo::ByteWriter w(msg, KIVO_MESSAGE_SIZE);
    w.seek(3);
    w.u8(REPLY_FAILURE_DETAIL);
    w.u8(lastFailed.any ? 1 : 0);
    w.u8(lastFailed.seq);
    w.u8(lastFailed.code);
    w.be16(static_cast<INT16U>(lastFailed.failure.reason));
    w.be16(static_cast<INT16U>(textLength));
    w.bytes(lastFailed.failure.text.data(), textLength);
    w.be16(static_cast<INT16U>(fw.reason));
    w.be16(static_cast<INT16U>(fwLength));
    w.bytes(fw.text.data(), fwLength);
    return {static_cast<INT32S>(w.pos()), {}};
}
