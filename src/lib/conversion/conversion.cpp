// Parameter value types and the conversions between binary values and text.
//
// The rendering and parsing rules live once in conversion_render.cpp and
// conversion_parse.cpp, parameterised by a Codec (byte order, product table,
// ETHIFDRIVER_SPEED names, MAC syntax); this file is the LCMP path's front end over
// them, as conversion_legacy.cpp is the legacy SCP path's.
#include "conversion.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "byte_io.h"
#include "conversion_internal.h"
#include "kivo_protocol.h"

namespace {

using namespace kivo::config;

constexpr ProductSlots kProductTypes = MakeProductTable(kProductCount);

constexpr Codec kLcmpCodec{ByteOrder::Little, kProductTypes.slot, true, false};

// Type names by code, kept as zero-terminated texts for the C interface; the three slots after
// the last wire type hold the marker names, as they always have.
constexpr std::string_view kMarkerNames[] = {"NOT_DEFINED", "SET_OK", "ERROR"};
constexpr size_t kTypeNameSlots = kivo::protocol::kTypeNames.size() + std::size(kMarkerNames);
struct TypeNameSlots {
    std::array<CHAR, 24> text[kTypeNameSlots];
};
constexpr TypeNameSlots MakeTypeNames() {
    TypeNameSlots t{};
    for (size_t i = 0; i < kTypeNameSlots; ++i) {
        const std::string_view name = i < kivo::protocol::kTypeNames.size()
                                          ? kivo::protocol::kTypeNames[i]
                                          : kMarkerNames[i - kivo::protocol::kTypeNames.size()];
        for (size_t k = 0; k < name.size() && k + 1 < t.text[i].size(); ++k) t.text[i][k] = name[k];
    }
    return t;
}
constexpr TypeNameSlots kTypeToString = MakeTypeNames();

}  // namespace

const CHAR* ConversionTypeToString(t_paramType type) {
    switch (type) {
        case PARAM_TYPE_NOT_DEFINED:
            return "NOT_DEFINED";
        case PARAM_TYPE_SET_OK:
            return "SET_OK";
        case PARAM_TYPE_ERROR:
            return "ERROR";
        default:
            break;
    }
    const INT32U code = type;
    return code < kTypeNameSlots ? kTypeToString.text[code].data() : nullptr;
}

void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U valueSize, INT32U* nElem, BOOLEAN filterMac) {
    if (type > PARAM_TYPE_LAST_VALUE_TYPE) {
        PutText(value, valueSize, "Unknown", 7);
        if (nElem != nullptr) *nElem = 1;
        return;
    }
    RenderValue(kLcmpCodec, type, getItem, param_length, value, valueSize, nElem, filterMac != FALSE);
}

void ConversionValueToString(t_paramType type, INT32U param_length, const INT8U* getItem, CHAR* value,
                             INT32U* nElem, BOOLEAN filterMac) {
    ConversionValueToString(type, param_length, getItem, value, CONVERSION_TEXT_AREA_SIZE, nElem, filterMac);
}

BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet, INT32U valueToSetSize,
                                INT32U* param_length) {
    return ParseValue(kLcmpCodec, type, value, valueToSet, valueToSetSize, param_length) ? TRUE : FALSE;
}

BOOLEAN ConversionStringToValue(t_paramType type, const CHAR* value, INT8U* valueToSet,
                                INT32U* param_length) {
    return ConversionStringToValue(type, value, valueToSet, CONVERSION_VALUE_AREA_SIZE, param_length);
}

void ConversionRefusalText(const CHAR* name, INT32U nameLength, const CHAR* value, INT32U valueLength,
                           t_paramType type, CHAR* out, INT32U outSize) {
    const CHAR* typeName = ConversionTypeToString(type);
    const CHAR* rule = nullptr;
    switch (type) {
        case PARAM_TYPE_INT8S:
            rule = "whole numbers from -128 to 127";
            break;
        case PARAM_TYPE_INT8U:
            rule = "whole numbers from 0 to 255";
            break;
        case PARAM_TYPE_INT16S:
            rule = "whole numbers from -32768 to 32767";
            break;
        case PARAM_TYPE_INT16U:
            rule = "whole numbers from 0 to 65535";
            break;
        case PARAM_TYPE_INT32S:
            rule = "whole numbers from -2147483648 to 2147483647";
            break;
        case PARAM_TYPE_INT32U:
            rule = "whole numbers from 0 to 4294967295";
            break;
        case PARAM_TYPE_BOOL:
            rule = "YES or NO";
            break;
        default:
            break;
    }
    CHAR text[512];
    const int len = std::snprintf(
        text, sizeof(text), "the value \"%.*s\" is not valid for %.*s (type %s%s%s%s); nothing was written",
        static_cast<int>(value ? (valueLength < 200 ? valueLength : 200) : 0), value ? value : "",
        static_cast<int>(name ? (nameLength < 200 ? nameLength : 200) : 0), name ? name : "",
        typeName ? typeName : "unknown", rule ? ": " : "", rule ? rule : "",
        rule ? ", a list separated by commas with no empty element" : "");
    PutText(out, outSize, text, len > 0 ? std::min<size_t>(static_cast<size_t>(len), sizeof(text) - 1) : 0);
}

INT32S ConversionValueToErrorString(const INT8U* errorValue, INT32U errorLength, CHAR* errorString,
                                    INT32U errorStringSize) {
    if (errorValue == nullptr || errorLength < 4) {
        PutText(errorString, errorStringSize, kInvalidStatusText, std::strlen(kInvalidStatusText));
        return CONVERSION_ERROR_OTHER;
    }
    // The status is -n; n is taken as unsigned, so a positive status gives a huge n.
    const INT32U n = 0u - kivo::loadLe32(errorValue);
    if (n == 0) {
        PutText(errorString, errorStringSize, "OK", 2);
        return CONVERSION_ERROR_NONE;
    }
    const CHAR* message = DeviceErrorMessage(n, true);
    CHAR text[160];
    const int len =
        std::snprintf(text, sizeof(text), "ERROR -%u %s", n, message ? message : "Unknown error code");
    PutText(errorString, errorStringSize, text, static_cast<size_t>(len));
    if (n == 77) {
        std::fputs("LCMP failed due to Remote File Access\n", stderr);
        return CONVERSION_ERROR_RFA;
    }
    return CONVERSION_ERROR_OTHER;
}

INT32S ConversionValueToErrorString(const INT8U* errorValue, CHAR* errorString) {
    return ConversionValueToErrorString(errorValue, 4, errorString, CONVERSION_TEXT_AREA_SIZE);
}
