// kivohost: the UDP request server (server.cpp) and the request handlers
// (handlers_params.cpp, handlers_discovery.cpp, handlers_fw.cpp).
#ifndef KIVO_KIVOHOST_H
#define KIVO_KIVOHOST_H

#include <netinet/in.h>

#include <cstddef>

#include "kivo_protocol.h"
#include "status.h"
#include "types.h"
#include "version.h"

// The protocol's figures and codes under the service's long-standing names.
#define KIVO_DEFAULT_PORT (::kivo::protocol::kDefaultPort)
#define KIVO_MESSAGE_SIZE (static_cast<INT32S>(::kivo::protocol::kMessageSize))
#define KIVO_SEGMENT_SIZE (static_cast<INT32S>(::kivo::protocol::kSegmentSize))
#define KIVO_HEADER_SIZE (static_cast<INT32S>(::kivo::protocol::kHeaderSize))
#define KIVO_SEGMENT_PAYLOAD (KIVO_SEGMENT_SIZE - KIVO_HEADER_SIZE)

// Reply codes (byte 3 of a reply).
enum e_replyCode {
    REPLY_DONE = static_cast<int>(::kivo::protocol::ReplyCode::kDone),
    REPLY_REFUSED = static_cast<int>(::kivo::protocol::ReplyCode::kRefused),
    REPLY_FAILED = static_cast<int>(::kivo::protocol::ReplyCode::kFailed),
    REPLY_DEVICES = static_cast<int>(::kivo::protocol::ReplyCode::kDevices),
    REPLY_SCP_DATA = static_cast<int>(::kivo::protocol::ReplyCode::kScpData),
    REPLY_PARAMS = static_cast<int>(::kivo::protocol::ReplyCode::kParams),
    REPLY_FW_STATUS = static_cast<int>(::kivo::protocol::ReplyCode::kFwStatus),
    REPLY_VERSION = static_cast<int>(::kivo::protocol::ReplyCode::kVersion),
    REPLY_FAILURE_DETAIL = static_cast<int>(::kivo::protocol::ReplyCode::kDetail),
    REPLY_FW_TRANSFERS = static_cast<int>(::kivo::protocol::ReplyCode::kFwTransfers),
};

// Request codes (byte 4 of a request).
enum e_requestCode {
    REQUEST_DISCOVER = static_cast<int>(::kivo::protocol::RequestCode::kDiscover),
    REQUEST_GET_ALL = static_cast<int>(::kivo::protocol::RequestCode::kGetAll),
    REQUEST_GET = static_cast<int>(::kivo::protocol::RequestCode::kGet),
    REQUEST_SET = static_cast<int>(::kivo::protocol::RequestCode::kSet),
    REQUEST_FACTORY_RESET = static_cast<int>(::kivo::protocol::RequestCode::kFactoryReset),
    REQUEST_FW_START = static_cast<int>(::kivo::protocol::RequestCode::kFwStart),
    REQUEST_FW_STOP = static_cast<int>(::kivo::protocol::RequestCode::kFwStop),
    REQUEST_FW_STATUS = static_cast<int>(::kivo::protocol::RequestCode::kFwStatus),
    REQUEST_VERSION = static_cast<int>(::kivo::protocol::RequestCode::kVersion),
    REQUEST_FAILURE_DETAIL = static_cast<int>(::kivo::protocol::RequestCode::kFailureDetail),
    REQUEST_DISCOVER_LCMP = static_cast<int>(::kivo::protocol::RequestCode::kDiscoverLcmp),
    REQUEST_FW_TRANSFERS = static_cast<int>(::kivo::protocol::RequestCode::kFwTransfers),
    REQUEST_FW_STOP_DEVICE = static_cast<int>(::kivo::protocol::RequestCode::kFwStopDevice),
};

struct AllowList;
// Who may send requests from now on (everyone until this is called).
void ServerAllowListSet(const AllowList& allow);
// Forgets the most recent failed request (tests).
void ServerFailureDetailReset();

// Serves requests on 127.0.0.1:serverPort (or systemd's socket) until the watchdog ends
// the process; returns only when the socket cannot be had.
INT32S StartServer(INT32S serverPort);
BOOLEAN UdpMsgSend(INT32S socketFd, INT8U* message, INT32S msgLength, struct sockaddr_in* client,
                   INT32U clientLength, INT32S seqNum, INT32S segTotal, INT32S segNum);
// Sleeps ms milliseconds; returns the milliseconds left when a signal ended the sleep early.
INT32U ThreadSleep(INT32U ms);

// Sends a reply of msgLength bytes held in message (header included), cut into
// segments of at most 1400 bytes; returns the number of segments sent.
INT32S ServerReplySend(INT32S socketFd, INT8U* message, INT32S msgLength, struct sockaddr_in* client,
                       INT32U clientLength, INT32S seqNum);
// Number of segments a reply of msgLength bytes is cut into.
INT32S ServerSegmentCount(INT32S msgLength);

// What a request handler gives back: the reply length (header included), 1 for the
// one-byte answer, 0 or less for none; and for a request answered FAILED or REFUSED, why
// (the failure detail the client can ask for).
struct HandlerReply {
    HandlerReply() = default;
    HandlerReply(INT32S replyLength, kivo::Status failure = {})  // NOLINT: a reply without words
        : length(replyLength), why(std::move(failure)) {}
    INT32S length = 0;
    kivo::Status why;
};

// Request handlers: (datagram length, message buffer of KIVO_MESSAGE_SIZE bytes) -> reply.
HandlerReply DiscoverGet(INT32S inputLength, INT8U* message);
HandlerReply GetAllGet(INT32S inputLength, INT8U* message);
HandlerReply GetGet(INT32S inputLength, INT8U* message);
HandlerReply SetGet(INT32S inputLength, INT8U* message);
HandlerReply FactoryResetGet(INT32S inputLength, INT8U* message);
HandlerReply StartL2FwServerGet(INT32S inputLength, INT8U* message);
HandlerReply StopL2FwServerGet(INT32S inputLength, INT8U* message);
HandlerReply GetStatusL2FwServerGet(INT32S inputLength, INT8U* message);
HandlerReply FwTransfersGet(INT32S inputLength, INT8U* message);
HandlerReply FwStopDeviceGet(INT32S inputLength, INT8U* message);
HandlerReply GetKivoVersionGet(INT32S inputLength, INT8U* message);
// Why the most recent failed request failed, and the firmware server's last error.
HandlerReply FailureDetailGet(INT32S inputLength, INT8U* message);
// Every LCMP device answering on one interface or all of them, in the Discover layout.
HandlerReply DiscoverLcmpGet(INT32S inputLength, INT8U* message);

// Parameter requests on LCMP devices.
struct s_configlayerParam;
// Appends the parameters of a Get block (names, each zero-terminated) or, withValues,
// of a Set block (name and value text pairs) to *params. FALSE when a text is not
// terminated inside the block or a Set block ends after a name.
BOOLEAN ConfiglayerParamsInputBuild(INT32S paramslength, const INT8U* message, BOOLEAN withValues,
                                    struct s_configlayerParam** params);
// Writes the parameter records of params (name, 0, value, 0, type, nElem big-endian) at
// message and their length into *length. FALSE, with *length unchanged, when they
// would not fit the capacity bytes at message.
BOOLEAN ConfiglayerResponseToMessage(const struct s_configlayerParam* params, INT32U* length, INT8U* message,
                                     INT32U capacity);

// Dispatches one request held in message (inputLength bytes) and returns the reply length.
// Checks the allow-list first and keeps the failure detail of a FAILED or REFUSED reply
// for the client that sent it (ServerDispatch: a request without a sender).
INT32S ServerDispatch(INT32S inputLength, INT8U* message);
INT32S ServerDispatchFor(const struct sockaddr_in* client, INT32S inputLength, INT8U* message);

#endif
