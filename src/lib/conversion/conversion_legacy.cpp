// Value conversion of the legacy SCP path: big-endian multi-byte integers, the
// legacy product table, no "2500" speed, single strict MAC addresses, and the SCP
// status texts and name tables. The rendering and parsing rules themselves are the
// shared ones of the conversion module.
#include "conversion_legacy.h"

#include <cstdio>
#include <cstring>

#include "byte_io.h"
#include "conversion_internal.h"

namespace {

using namespace kivo::config;

// The legacy product table: the same shape, holding the first products only.
constexpr ProductSlots kProductTypes = MakeProductTable(kLegacyProductCount);

constexpr Codec kLegacyCodec{ByteOrder::Big, kProductTypes.slot, false, true};

constexpr const CHAR* errorCodeToString[17] = {
    "NONE",      "SOCKET_NOT_OPENED", "ETH_IF",   "ETH_IF_MAC",  "SENDTO",
    "TIMEOUT",   "DROP_PACKET",       "RECVFROM", "BIND",        "CRC",
    "FORMAT",    "BAD_ARGS",          "MALLOC",   "GET_TOO_BIG", "ETH_IF_INACTIVE",
    "RX_FORMAT", "PARAM_OP_FAILED"};

constexpr const CHAR* opToString[5] = {"SET", "GET", "FACTORY_RESET", "SETP", "GETP"};

constexpr const CHAR* kUnknownName = "UNKNOWN";

// Content length of an item whose length field is itemLength (the field counts the
// two type bytes before the content).
INT32U contentLength(INT32U itemLength) {
    return itemLength >= 2 ? itemLength - 2 : 0;
}

}  // namespace

void valueToString(INT8U type, const INT8U* getItem, INT32U* param_length, INT8U* value, INT32U valueSize) {
    if (param_length == nullptr) return;
    const INT32U length = contentLength(*param_length);
    CHAR* text = reinterpret_cast<CHAR*>(value);
    if (type > PARAM_TYPE_LAST_VALUE_TYPE) {
        CHAR buf[24];
        const int n = std::snprintf(buf, sizeof(buf), "Unknown type %d", type);
        *param_length = static_cast<INT32U>(PutText(text, valueSize, buf, static_cast<size_t>(n)));
        return;
    }
    // MAC addresses are always filtered on this path: all-zero addresses are left out.
    *param_length =
        static_cast<INT32U>(RenderValue(kLegacyCodec, type, getItem, length, text, valueSize, nullptr, true));
}

void valueToString(INT8U type, const INT8U* getItem, INT32U* param_length, INT8U* value) {
    valueToString(type, getItem, param_length, value, LEGACY_TEXT_AREA_SIZE);
}

BOOLEAN stringToValue(INT8U type, const INT8U* setItem, INT32U* param_length, INT8U* valueToSet,
                      INT32U valueToSetSize) {
    return ParseValue(kLegacyCodec, type, reinterpret_cast<const CHAR*>(setItem), valueToSet, valueToSetSize,
                      param_length)
               ? TRUE
               : FALSE;
}

BOOLEAN stringToValue(INT8U type, const INT8U* setItem, INT32U* param_length, INT8U* valueToSet) {
    return stringToValue(type, setItem, param_length, valueToSet, LEGACY_VALUE_AREA_SIZE);
}

INT32S errorToString(const INT8U* getItem, INT32U* param_length, INT8U* value, INT32U valueSize) {
    if (param_length == nullptr) return -1;
    const INT32U length = contentLength(*param_length);
    *param_length = 0;
    CHAR* text = reinterpret_cast<CHAR*>(value);
    if (text != nullptr && valueSize > 0) text[0] = '\0';
    if (getItem == nullptr || length < 4) {
        *param_length = static_cast<INT32U>(
            PutText(text, valueSize, kInvalidStatusText, std::strlen(kInvalidStatusText)));
        return -1;
    }
    // The status is -c; only the low 8 bits of c count on this path.
    const INT32U c = (0u - kivo::loadBe32(getItem)) & 0xFFu;
    CHAR buf[128];
    int n;
    if (c == 0) {
        n = std::snprintf(buf, sizeof(buf), "OK");
    } else if (const CHAR* message = DeviceErrorMessage(c, false)) {
        n = std::snprintf(buf, sizeof(buf), "ERROR -%u %s", c, message);
    } else {
        n = std::snprintf(buf, sizeof(buf), "ERROR UNKNOWN");
    }
    *param_length = static_cast<INT32U>(PutText(text, valueSize, buf, static_cast<size_t>(n)));
    return -static_cast<INT32S>(c);
}

INT32S errorToString(const INT8U* getItem, INT32U* param_length, INT8U* value) {
    return errorToString(getItem, param_length, value, LEGACY_TEXT_AREA_SIZE);
}

const CHAR* convertErrorCodeToString(t_scpErrorCode code) {
    const INT32S c = code;
    if (c > 0 || c < -16) return kUnknownName;
    return errorCodeToString[-c];
}

const CHAR* convertOpToString(t_scpOp op) {
    const INT32S o = op;
    if (o < 0 || o > 4) return kUnknownName;
    return opToString[o];
}
