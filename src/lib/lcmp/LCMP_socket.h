// LCMP link layer: the raw Ethernet socket for LCMP on one host interface, frame
// building with the 8-byte management message header (MMH), segmentation of long
// messages, 802.1Q tagging, the receive thread with reassembly of segmented
// messages, and the registry of callbacks to which complete messages are handed.
#ifndef KIVO_LCMP_SOCKET_H
#define KIVO_LCMP_SOCKET_H

#include "LCMP_error.h"
#include "types.h"

// LCMP opcodes: a 12-bit field of the MMH.
typedef enum e_lcmpOpcodeType {
    LCMP_READ_REQ = 352,
    LCMP_READ_CNF = 353,
    LCMP_WRITE_REQ = 354,
    LCMP_WRITE_CNF = 355,
    LCMP_CTRL_REQ = 356,
    LCMP_CTRL_CNF = 357,
    LCMP_NOTIFY_IND = 358,
    LCMP_NOTIFY_RSP = 359,
    LCMP_IND = 360,
    LCMP_RSP = 361,
    NUM_OPCODES = 362,
} t_lcmpOpcodeType;

// Receives one complete message. srcMAC and data are valid only during the call.
typedef void (*t_lcmpCallbackFunction)(INT8U* srcMAC, t_lcmpOpcodeType opcode, INT8U* data, INT16U length,
                                       void* callbackData);

// One registration; its address is the handle returned by LCMPCallBackInstall.
typedef struct s_lcmpCallback {
    t_lcmpCallbackFunction callback;
    const void* callbackData;
    BOOLEAN compareSrcMAC;
    INT8U srcMAC[6];
    t_lcmpOpcodeType opcode;
    struct s_lcmpCallback* nextCallback;
} t_lcmpCallback;

// Opens the LCMP socket for the named interface and starts the receive thread.
t_lcmpErrorCode LCMPSocketInit(const CHAR* interfaceName);
// Stops the receive thread, which frees the registrations and partial messages and
// closes the socket.
void LCMPSocketEnd();
// Sends one message of MMPLlength bytes, cut into at most 16 segments, and stores
// the sequence number it carries in *numSeq.
t_lcmpErrorCode LCMPPacketSend(const INT8U* dstMAC, t_lcmpOpcodeType opcode, INT16U MMPLlength,
                               const INT8U* MMPL, INT16U* numSeq);
// The hardware address of the interface LCMP was opened on.
t_lcmpErrorCode LCMPMyMACGet(INT8U* MyMAC);
// Turns 802.1Q tagging of outgoing frames on (vid 0..4094, pcp 0..7) or off.
t_lcmpErrorCode LCMPVLANConfigure(BOOLEAN enable, INT16U vid, INT8U pcp);

// Registers callback for messages of opcode opcodeFilter, from srcMAC only when it is
// not null. Returns the handle, or null when no memory is left.
t_lcmpCallback* LCMPCallBackInstall(t_lcmpCallbackFunction callback, const INT8U* srcMAC,
                                    t_lcmpOpcodeType opcodeFilter, const void* callbackData);
// Removes a registration; when it returns, the callback is not running and will not
// be called again.
t_lcmpErrorCode LCMPCallBackUninstall(t_lcmpCallback* callback);

#endif
