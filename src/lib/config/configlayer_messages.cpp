// Configuration layer messages: the vendor request builders and the answer readers.
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>

#include "LCMP_comm.h"
#include "byte_io.h"
#include "configlayer.h"
#include "configlayer_internal.h"
#include "conversion.h"
#include "device.h"
#include "log.h"
#include "status.h"

using kivo::Log;
using kivo::LogStream;

namespace {

// One parameter record inside a vendor value.
struct ParamRecord {
    INT8U control = 0;
    INT8U type = 0;
    const INT8U* data = nullptr;
    size_t dataLength = 0;
};

// Reads the record at the reader's position. False when its length field is below 2
// (no room for control and type) or the record runs past the value that holds it.
bool ReadRecord(kivo::ByteReader& r, ParamRecord& rec) {
    uint16_t length = 0;
    if (!r.le16(length) || length < 2) return false;
    std::span<const uint8_t> body;
    if (!r.view(body, length)) return false;
    rec.control = body[0];
    rec.type = body[1];
    rec.data = body.data() + 2;
    rec.dataLength = length - 2u;
    return true;
}

// Writes one record (length, control, type, data).
bool WriteRecord(kivo::ByteWriter& w, INT8U control, INT8U type, const void* data, size_t dataLength) {
    if (dataLength > 0xFFFFu - 2u) return false;
    return w.le16(static_cast<uint16_t>(dataLength + 2)) && w.u8(control) && w.u8(type) &&
           w.bytes(data, dataLength);
}

// True when the list starts with an INFO value followed by a DATAMODEL value.
bool StartsWithInfoAndDataModel(const t_lcmpValueList* list) {
    const t_lcmpValue* first = list->head;
    return first != nullptr && first->type == LCMP_VALUE_INFO && first->next != nullptr &&
           first->next->type == LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE;
}

// Adds the INFO and DATAMODEL values that open every request.
bool AddRequestHead(BOOLEAN privateModel, t_lcmpValueList** valueList) {
    const INT8U model = privateModel ? LCMP_VENDOR_TORVIX_DATAMODEL_CONFIGLAYER_PRIVATE
                                     : LCMP_VENDOR_TORVIX_DATAMODEL_CONFIGLAYER_PUBLIC;
    return LCMPValueAdd(valueList, LCMP_VALUE_INFO, sizeof(kConfiglayerInfoValue), kConfiglayerInfoValue) ==
               LCMP_ERROR_NONE &&
           LCMPValueAdd(valueList, LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE, 1, &model) == LCMP_ERROR_NONE;
}

// Reads a MAC address text: exactly six fields of one or two hexadecimal digits
// separated by colons, read as unsigned integers. The text may go on only with a
// further address of a list (a comma).
bool ParseMacText(const CHAR* text, INT8U* mac) {
    if (text == nullptr) return false;
    for (int field = 0; field < 6; ++field) {
        if (field > 0 && *text++ != ':') return false;
        unsigned int v = 0;
        int digits = 0;
        for (; digits < 2; ++digits, ++text) {
            const CHAR c = *text;
            if (c >= '0' && c <= '9')
                v = v * 16 + static_cast<unsigned int>(c - '0');
            else if (c >= 'a' && c <= 'f')
                v = v * 16 + static_cast<unsigned int>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                v = v * 16 + static_cast<unsigned int>(c - 'A' + 10);
            else
                break;
        }
        if (digits == 0) return false;
        mac[field] = static_cast<INT8U>(v);
    }
    return *text == '\0' || *text == ',';
}

// A zero-filled work area; null when it cannot be had.
std::unique_ptr<INT8U[]> WorkArea(size_t size) {
    return std::unique_ptr<INT8U[]>(new (std::nothrow) INT8U[size]());
}

}  // namespace

t_configlayerErrorCode GenerateGetValueList(BOOLEAN privateModel, const t_configlayerParam* params,
                                            t_lcmpValueList** valueList) {
    if (valueList == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    // Without the DATAMODEL marker the request would go out unmarked and in the clear.
    if (!AddRequestHead(privateModel, valueList)) return CONFIGLAYER_ERROR_LCMP;
    if (params == nullptr) {
        const INT8U model = privateModel ? 1 : 0;
        if (LCMPValueAdd(valueList, LCMP_VALUE_VENDOR_TORVIX_TLV_CONFIG_LAYER_GET_ALL_REQ, 1, &model) !=
            LCMP_ERROR_NONE)
            return CONFIGLAYER_ERROR_LCMP;
        return CONFIGLAYER_ERROR_NONE;
    }
    INT8U area[CONFIGLAYER_NAME_MAX + 4];
    for (const t_configlayerParam* p = params; p != nullptr; p = p->next) {
        if (p->name == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
        const size_t nameLength = std::strlen(p->name);
        if (nameLength > CONFIGLAYER_NAME_MAX) return CONFIGLAYER_ERROR_BAD_ARGS;
        kivo::ByteWriter w(area, sizeof(area));
        WriteRecord(w, CONFIGLAYER_RECORD_NAME, PARAM_TYPE_STRING, p->name, nameLength);
        if (LCMPValueAdd(valueList, LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_REQ,
                         static_cast<INT16U>(w.pos()), area) != LCMP_ERROR_NONE) {
            Log(LogStream::kErr, "Warning: parameter %s could not be added to the request\n", p->name);
            return CONFIGLAYER_ERROR_LCMP;
        }
    }
    return CONFIGLAYER_ERROR_NONE;
}

kivo::Status GenerateSetValueList(BOOLEAN privateModel, const t_configlayerParam* params,
                                  t_configlayerParam* paramsType, t_lcmpValueList** valueList) {
    if (params == nullptr || paramsType == nullptr || valueList == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    std::unique_ptr<INT8U[]> built = WorkArea(CONFIGLAYER_WRITE_VALUE_MAX);
    std::unique_ptr<INT8U[]> converted = WorkArea(CONVERSION_VALUE_AREA_SIZE);
    if (!built || !converted) return CONFIGLAYER_ERROR_MALLOC;
    if (!AddRequestHead(privateModel, valueList)) return CONFIGLAYER_ERROR_LCMP;

    // Nodes are paired by position: the n-th type node serves the n-th input node.
    const t_configlayerParam* typeNode = paramsType;
    for (const t_configlayerParam* p = params; p != nullptr; p = p->next, typeNode = typeNode->next) {
        if (p->type != PARAM_TYPE_STRING || p->value == nullptr || p->name == nullptr ||
            typeNode == nullptr) {
            Log(LogStream::kErr, "Error: Input type is not string\n");
            return CONFIGLAYER_ERROR_BAD_ARGS;
        }
        INT32U convertedLength = 0;
        if (!ConversionStringToValue(typeNode->type, p->value, converted.get(), CONVERSION_VALUE_AREA_SIZE,
                                     &convertedLength)) {
            Log(LogStream::kErr, "Error: conversion from string to value failed\n");
            CHAR reason[512];
            ConversionRefusalText(p->name, static_cast<INT32U>(std::strlen(p->name)), p->value,
                                  static_cast<INT32U>(std::strlen(p->value)), typeNode->type, reason,
                                  sizeof(reason));
            return kivo::Status(CONFIGLAYER_ERROR_BAD_ARGS)
                .Explain(kivo::Reason::kInvalidValue, "%s", reason);
        }
        const size_t nameLength = std::strlen(p->name);
        // Name record + value record, 4 bytes of framing each.
        if (nameLength + convertedLength + 8 > CONFIGLAYER_WRITE_VALUE_MAX) return CONFIGLAYER_ERROR_BAD_ARGS;
        kivo::ByteWriter w(built.get(), CONFIGLAYER_WRITE_VALUE_MAX);
        WriteRecord(w, CONFIGLAYER_RECORD_NAME, PARAM_TYPE_STRING, p->name, nameLength);
        WriteRecord(w, CONFIGLAYER_RECORD_VALUE, static_cast<INT8U>(typeNode->type), converted.get(),
                    convertedLength);
        if (!w.ok()) return CONFIGLAYER_ERROR_BAD_ARGS;
        if (LCMPValueAdd(valueList, LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_WRITE_REQ,
                         static_cast<INT16U>(w.pos()), built.get()) != LCMP_ERROR_NONE)
            return CONFIGLAYER_ERROR_LCMP;
    }
    return CONFIGLAYER_ERROR_NONE;
}

kivo::Status FillParams(const t_lcmpValueList* read, t_configlayerParam** params, BOOLEAN filterMac) {
    std::unique_ptr<INT8U[]> area = WorkArea(CONVERSION_TEXT_AREA_SIZE);
    if (!area) return CONFIGLAYER_ERROR_MALLOC;
    if (read == nullptr || params == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    if (!StartsWithInfoAndDataModel(read)) return CONFIGLAYER_ERROR_BAD_FORMAT;
    CHAR* text = reinterpret_cast<CHAR*>(area.get());

    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    kivo::Status refused;
    for (const t_lcmpValue* v = read->head->next->next; v != nullptr && result == CONFIGLAYER_ERROR_NONE;
         v = v->next) {
        if (v->type == LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER) break;
        if (v->type != LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_READ_RESP &&
            v->type != LCMP_VALUE_VENDOR_TORVIX_CONFIG_LAYER_WRITE_RESP) {
            result = CONFIGLAYER_ERROR_BAD_FORMAT;
            break;
        }
        // A name record followed by a value record, both inside this value.
        kivo::ByteReader r(v->value, v->valueLength);
        ParamRecord nameRec;
        ParamRecord valueRec;
        if (!ReadRecord(r, nameRec) || !ReadRecord(r, valueRec)) {
            result = CONFIGLAYER_ERROR_BAD_FORMAT;
            break;
        }
        std::string name(reinterpret_cast<const CHAR*>(nameRec.data), nameRec.dataLength);
        // The conversions terminate their text inside the area; no need to clear it all.
        text[0] = '\0';
        t_paramType nodeType = PARAM_TYPE_ERROR;
        INT32U nElem = 1;
        t_configlayerErrorCode status = CONFIGLAYER_ERROR_NONE;
        if (valueRec.control == CONFIGLAYER_RECORD_VALUE) {
            nodeType = static_cast<t_paramType>(valueRec.type);
            ConversionValueToString(nodeType, static_cast<INT32U>(valueRec.dataLength), valueRec.data, text,
                                    CONVERSION_TEXT_AREA_SIZE, &nElem, filterMac);
        } else if (valueRec.control == CONFIGLAYER_RECORD_STATUS) {
            // A status is a 32-bit number; anything shorter cannot be trusted.
            if (valueRec.dataLength < 4) {
                result = CONFIGLAYER_ERROR_BAD_FORMAT;
                break;
            }
            const INT32S conv = ConversionValueToErrorString(
                valueRec.data, static_cast<INT32U>(valueRec.dataLength), text, CONVERSION_TEXT_AREA_SIZE);
            if (conv == CONVERSION_ERROR_NONE) {
                nodeType = PARAM_TYPE_SET_OK;
            } else if (conv == CONVERSION_ERROR_RFA) {
                status = CONFIGLAYER_ERROR_RFA;
            } else {
                status = CONFIGLAYER_ERROR_PARAM;
            }
            if (status != CONFIGLAYER_ERROR_NONE)
                refused.Explain(kivo::Reason::kDeviceRefused, "the device refused %s: %s", name.c_str(),
                                text);
        } else {
            std::snprintf(text, CONVERSION_TEXT_AREA_SIZE, "ERROR INVALID CONTROL TYPE");
        }
        result = status;
        const t_configlayerErrorCode added =
            ConfiglayerParamExtendedAdd(params, name.data(), text, nodeType, static_cast<INT32S>(nElem),
                                        static_cast<INT32S>(v->responseTime));
        if (result == CONFIGLAYER_ERROR_NONE) result = added;
    }
    return refused.Recode(result);
}

t_configlayerErrorCode AddParamsFromList(const t_lcmpValueList* read, t_configlayerParam** params) {
    if (read == nullptr || params == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    if (!StartsWithInfoAndDataModel(read)) return CONFIGLAYER_ERROR_BAD_FORMAT;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    for (const t_lcmpValue* v = read->head->next->next; v != nullptr && result == CONFIGLAYER_ERROR_NONE;
         v = v->next) {
        if (v->type == LCMP_VALUE_VENDOR_TORVIX_TLV_END_MARKER) break;
        // An answer of several messages repeats INFO and DATAMODEL in each.
        if (v->type == LCMP_VALUE_INFO || v->type == LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE) continue;
        if (v->type != LCMP_VALUE_VENDOR_TORVIX_TLV_CONFIG_LAYER_GET_ALL_RESP) {
            result = CONFIGLAYER_ERROR_BAD_FORMAT;
            break;
        }
        kivo::ByteReader r(v->value, v->valueLength);
        ParamRecord nameRec;
        if (!ReadRecord(r, nameRec)) {
            result = CONFIGLAYER_ERROR_BAD_FORMAT;
            break;
        }
        std::string name(reinterpret_cast<const CHAR*>(nameRec.data), nameRec.dataLength);
        result = ConfiglayerParamAdd(params, name.c_str(), nullptr);
    }
    return result;
}

kivo::Status FillDeviceList(const t_lcmpValueList* read, const CHAR* interfaceName, INT8U* hostMAC,
                            t_device** deviceList) {
    if (read == nullptr || deviceList == nullptr) return CONFIGLAYER_ERROR_NONE;
    t_configlayerParam* answer = nullptr;
    kivo::Status result = FillParams(read, &answer, TRUE);
    if (result == CONFIGLAYER_ERROR_NONE && answer != nullptr) {
        if (std::strcmp(answer->name, "SYSTEM.PRODUCTION.MAC_ADDR") != 0) {
            result.Recode(CONFIGLAYER_ERROR_PARAM);
        } else {
            INT8U mac[6];
            if (!ParseMacText(answer->value, mac))
                result.Recode(CONFIGLAYER_ERROR_BAD_FORMAT);
            else
                DeviceListAdd(deviceList, mac, interfaceName, hostMAC, DEVICE_TORVIX_LCMP);
        }
    }
    ConfiglayerParamsDestroy(answer);
    return result;
}
