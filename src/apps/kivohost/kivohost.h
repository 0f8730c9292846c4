// kivohost: UDP request server and request handlers.
#ifndef KIVO_KIVOHOST_H
#define KIVO_KIVOHOST_H

#include <netinet/in.h>

#include <cstddef>

#include "types.h"
#include "version.h"

#define KIVO_DEFAULT_PORT 55567
#define KIVO_MESSAGE_SIZE 300000
#define KIVO_SEGMENT_SIZE 1400
#define KIVO_HEADER_SIZE 3
#define KIVO_SEGMENT_PAYLOAD (KIVO_SEGMENT_SIZE - KIVO_HEADER_SIZE)

// Reply codes (byte 3 of a reply).
enum e_replyCode {
    REPLY_DONE = 1,
    REPLY_REFUSED = 3,
    REPLY_FAILED = 4,
    REPLY_DEVICES = 5,
    REPLY_SCP_DATA = 6,
    REPLY_PARAMS = 7,
    REPLY_FW_STATUS = 8,
    REPLY_VERSION = 9,
    REPLY_FAILURE_DETAIL = 0xF0,
};

// Request codes (byte 4 of a request).
enum e_requestCode {
    REQUEST_DISCOVER = 0,
    REQUEST_GET_ALL = 2,
    REQUEST_GET = 3,
    REQUEST_SET = 4,
    REQUEST_FACTORY_RESET = 5,
    REQUEST_FW_START = 6,
    REQUEST_FW_STOP = 7,
    REQUEST_FW_STATUS = 8,
    REQUEST_VERSION = 9,
    REQUEST_FAILURE_DETAIL = 0xF0,
    REQUEST_DISCOVER_LCMP = 0xF1,
};

struct AllowList;
// Who may send requests from now on (everyone until this is called).
void ServerAllowListSet(const AllowList& allow);
// Forgets the most recent failed request (tests).
void ServerFailureDetailReset();

INT32S StartServer(INT32S serverPort);
void ServerRxFunction(INT32S socketFd);
BOOLEAN UdpMsgSend(INT32S socketFd, INT8U* message, INT32S msgLength, struct sockaddr_in* client,
                   INT32U clientLength, INT32S seqNum, INT32S segTotal, INT32S segNum);
// Ends the process after a minute without requests (the front-end's polling keeps it alive).
void* WatchdogThreadFunction(void* arg);
// Sleeps ms milliseconds; returns the milliseconds left when a signal ended the sleep early.
INT32U ThreadSleep(INT32U ms);

// Sends a reply of msgLength bytes held in message (header included), cut into
// segments of at most 1400 bytes; returns the number of segments sent.
INT32S ServerReplySend(INT32S socketFd, INT8U* message, INT32S msgLength, struct sockaddr_in* client,
                       INT32U clientLength, INT32S seqNum);
// Number of segments a reply of msgLength bytes is cut into.
INT32S ServerSegmentCount(INT32S msgLength);

// Request handlers: (datagram length, message buffer of KIVO_MESSAGE_SIZE bytes) ->
// reply length (header included), 1 for the one-byte answer, 0 or less for none.
INT32S DiscoverGet(INT32S inputLength, INT8U* message);
INT32S GetAllGet(INT32S inputLength, INT8U* message);
INT32S GetGet(INT32S inputLength, INT8U* message);
INT32S SetGet(INT32S inputLength, INT8U* message);
INT32S FactoryResetGet(INT32S inputLength, INT8U* message);
INT32S StartL2FwServerGet(INT32S inputLength, INT8U* message);
INT32S StopL2FwServerGet(INT32S inputLength, INT8U* message);
INT32S GetStatusL2FwServerGet(INT32S inputLength, INT8U* message);
INT32S GetKivoVersionGet(INT32S inputLength, INT8U* message);
// Why the most recent failed request failed, and the firmware server's last error.
INT32S FailureDetailGet(INT32S inputLength, INT8U* message);
// Every LCMP device answering on one interface or all of them, in the Discover layout.
INT32S DiscoverLcmpGet(INT32S inputLength, INT8U* message);

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
// Checks the allow-list first and keeps the failure detail of a FAILED or REFUSED reply.
INT32S ServerDispatch(INT32S inputLength, INT8U* message);

#endif
