// Parameter value types and the conversions between binary values and text on the
// LCMP path (multi-byte integers little-endian), plus the device status texts.
#ifndef KIVO_CONVERSION_H
#define KIVO_CONVERSION_H

#include "types.h"

// Parameter value types. Travels as one byte on the wire; held in 4 bytes. The fixed
// underlying type keeps any 32-bit code representable, so callers may pass codes that
// no device should send and get the documented fallback.
typedef enum e_paramType : INT32U {
    PARAM_TYPE_EVENT = 0,
    PARAM_TYPE_INT8S = 1,
    PARAM_TYPE_INT8U = 2,
    PARAM_TYPE_INT16S = 3,
    PARAM_TYPE_INT16U = 4,
    PARAM_TYPE_INT32S = 5,
    PARAM_TYPE_INT32U = 6,
    PARAM_TYPE_BOOL = 7,
    PARAM_TYPE_MAC_ADDR = 8,
    PARAM_TYPE_IP_ADDR = 9,
    PARAM_TYPE_STRING = 10,
    PARAM_TYPE_IPV6_ADDR = 11,
    PARAM_TYPE_FLUP_SRC = 12,
    PARAM_TYPE_NODE_NODE_TYPE = 13,
    PARAM_TYPE_MPP2IGMP_PORT = 14,
    PARAM_TYPE_HW_PROD = 15,
    PARAM_TYPE_HW_REVISION = 16,
    PARAM_TYPE_ASIC = 17,
    PARAM_TYPE_POWERSAVINGMODE = 18,
    PARAM_TYPE_CONSOLE_AUTHMETHOD = 19,
    PARAM_TYPE_FORCE_NODE = 20,
    PARAM_TYPE_ETHIFDRIVER_SPEED = 21,
    PARAM_TYPE_ETHIFDRIVER_DUPLEX = 22,
    PARAM_TYPE_ETHIFDRIVER_IFACETYPE = 23,
    PARAM_TYPE_ETHIFDRIVER_MODE = 24,
    PARAM_TYPE_AKM_MICSIZE = 25,
    PARAM_TYPE_UART_SPEED = 26,
    PARAM_TYPE_UART_DATA_SIZE = 27,
    PARAM_TYPE_UART_STOP_BIT = 28,
    PARAM_TYPE_UART_PARITY = 29,
    PARAM_TYPE_TIME = 30,
    PARAM_TYPE_INT64U = 31,
    PARAM_TYPE_LOGFILE_PROTOCOL = 32,
    PARAM_TYPE_LOGFILE_DESTINATION = 33,
    PARAM_TYPE_HGF_CERTIF_VERSION = 34,
    PARAM_TYPE_FEC_RATE = 35,
    PARAM_TYPE_VLAN_PORT_CONFIG = 36,
    PARAM_TYPE_NOT_DEFINED = 253,
    PARAM_TYPE_SET_OK = 254,
    PARAM_TYPE_ERROR = 255,
} t_paramType;

// Highest code of a value type (codes above it up to 252 are unused).
#define PARAM_TYPE_LAST_VALUE_TYPE PARAM_TYPE_VLAN_PORT_CONFIG

// Result of ConversionValueToErrorString.
typedef enum e_conversionErrorCode : INT32S {
    CONVERSION_ERROR_NONE = 0,
    CONVERSION_ERROR_OTHER = -1,
    CONVERSION_ERROR_RFA = -77,
} t_conversionErrorCode;

// One entry of a hardware product table.
typedef struct s_flashProduct {
    CHAR prodName[12];  // zero-terminated, at most 11 characters
    INT32U prodId;
} t_flashProduct;

// Sizes of the callers' areas on the LCMP path: the text of one rendered value
// (terminator included) and the bytes of one parsed value.
#define CONVERSION_TEXT_AREA_SIZE 30000u
#define CONVERSION_VALUE_AREA_SIZE 30000u

// Name of a type: "EVENT" ... "VLAN_PORT_CONFIG", "NOT_DEFINED", "SET_OK", "ERROR".
// Unused codes (and codes above 255) give a null pointer.
const CHAR* ConversionTypeToString(t_paramType type);

// Renders param_length value bytes at getItem as text into value. The text starts at
// value[0] and is always zero-terminated inside the area of valueSize bytes; a text
// that would not fit stops cleanly (lists after their last whole element). nElem, when
// not null, receives the element count (1 + separators written). filterMac drops
// all-zero addresses of a MAC_ADDR list.
void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U valueSize, INT32U* nElem, BOOLEAN filterMac);
// The same for a caller's area of CONVERSION_TEXT_AREA_SIZE bytes.
void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U* nElem, BOOLEAN filterMac);

// Parses the zero-terminated text value as a value of type into valueToSet (capacity
// valueToSetSize bytes) and stores the number of bytes produced in *param_length.
// FALSE when the text is not valid for the type or would produce more bytes than the
// area holds; the area and length then hold partial results to be discarded.
BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet, INT32U valueToSetSize,
                                INT32U* param_length);
// The same for an output area of CONVERSION_VALUE_AREA_SIZE bytes.
BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet, INT32U* param_length);

// The reason given when a Set value does not convert: the value, the parameter, its type
// and, for whole numbers and BOOL, what the type accepts; it says that nothing was written
// (both paths refuse before sending). Always terminated inside out's outSize bytes.
void ConversionRefusalText(const CHAR* name, INT32U nameLength, const CHAR* value, INT32U valueLength,
                           t_paramType type, CHAR* out, INT32U outSize);

// Turns a device status value (signed 32-bit little-endian, errorLength bytes) into
// text: "OK" or "ERROR -<n> <message>". Returns a t_conversionErrorCode. A status
// shorter than 4 bytes is not trusted: it gives "ERROR INVALID STATUS VALUE" and
// CONVERSION_ERROR_OTHER. The text is zero-terminated within errorStringSize bytes.
INT32S ConversionValueToErrorString(const INT8U* errorValue, INT32U errorLength, CHAR* errorString,
                                    INT32U errorStringSize);
// The same for a 4-byte status and a text area of CONVERSION_TEXT_AREA_SIZE bytes.
INT32S ConversionValueToErrorString(const INT8U* errorValue, CHAR* errorString);

#endif
