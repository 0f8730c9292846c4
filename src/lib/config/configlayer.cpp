// Configuration layer: parameter lists, the vendor request builders and answer readers,
// and the operations on a device's configuration layer over LCMP.
#include "configlayer.h"

#include <array>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <new>
#include <span>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "byte_io.h"
#include "configlayer_internal.h"
#include "conversion.h"
#include "device.h"
#include "log.h"
#include "port.h"
#include "reason.h"
#include "version.h"

using kivo::Log;
using kivo::LogStream;

// ---------------------------------------------------------------------------
// Parameter lists

// Appends a node for an output list; used only inside the configuration layer.
t_configlayerErrorCode ConfiglayerParamExtendedAdd(t_configlayerParam** params, const CHAR* name,
                                                   const CHAR* value, t_paramType type, INT32S nElem,
                                                   INT32S responseTime);

namespace {

CHAR* CopyString(const CHAR* s) {
    const size_t n = std::strlen(s) + 1;
    CHAR* copy = static_cast<CHAR*>(std::malloc(n));
    if (copy != nullptr) std::memcpy(copy, s, n);
    return copy;
}

void AppendNode(t_configlayerParam** params, t_configlayerParam* node) {
    node->next = nullptr;
    t_configlayerParam** link = params;
    while (*link != nullptr) link = &(*link)->next;
    *link = node;
}

}  // namespace

t_configlayerErrorCode ConfiglayerParamExtendedAdd(t_configlayerParam** params, const CHAR* name,
                                                   const CHAR* value, t_paramType type, INT32S nElem,
                                                   INT32S responseTime) {
    if (params == nullptr || name == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    t_configlayerParam* node = static_cast<t_configlayerParam*>(std::calloc(1, sizeof(t_configlayerParam)));
    if (node == nullptr) return CONFIGLAYER_ERROR_MALLOC;
    node->name = CopyString(name);
    if (node->name == nullptr) {
        std::free(node);
        return CONFIGLAYER_ERROR_MALLOC;
    }
    node->nElem = nElem;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    if (value != nullptr) {
        node->type = type;
        node->responseTime = responseTime;
        node->value = CopyString(value);
        // Without its value copy the node is still appended, and the caller told.
        if (node->value == nullptr) result = CONFIGLAYER_ERROR_MALLOC;
    } else {
        node->type = PARAM_TYPE_NOT_DEFINED;
    }
    AppendNode(params, node);
    return result;
}

t_configlayerErrorCode ConfiglayerParamAdd(t_configlayerParam** params, const CHAR* name, const CHAR* value) {
    return ConfiglayerParamExtendedAdd(params, name, value, PARAM_TYPE_STRING, 0, 0);
}

t_configlayerErrorCode ConfiglayerParamsShift(t_configlayerParam** params,
                                              t_configlayerParam** removedParam) {
    if (params == nullptr || removedParam == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    t_configlayerParam* head = *params;
    if (head != nullptr) {
        *params = head->next;
        head->next = nullptr;
    }
    *removedParam = head;
    return CONFIGLAYER_ERROR_NONE;
}

t_configlayerErrorCode ConfiglayerParamsPush(t_configlayerParam** params, t_configlayerParam* paramToPush) {
    if (params == nullptr || paramToPush == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    AppendNode(params, paramToPush);
    return CONFIGLAYER_ERROR_NONE;
}

t_configlayerErrorCode ConfiglayerParamUnshift(t_configlayerParam** params, t_configlayerParam* paramToPush) {
    if (params == nullptr || paramToPush == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    paramToPush->next = *params;
    *params = paramToPush;
    return CONFIGLAYER_ERROR_NONE;
}

void ConfiglayerParamDestroy(t_configlayerParam* param) {
    if (param == nullptr) return;
    std::free(param->name);
    std::free(param->value);
    std::free(param);
}

void ConfiglayerParamsDestroy(t_configlayerParam* params) {
    t_configlayerParam* node = nullptr;
    while (ConfiglayerParamsShift(&params, &node) == CONFIGLAYER_ERROR_NONE && node != nullptr)
        ConfiglayerParamDestroy(node);
}

t_configlayerErrorCode ConfiglayerParamsCopy(const t_configlayerParam* original, t_configlayerParam** copy) {
    if (copy == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    *copy = nullptr;
    // Appends through a tail link: the copy keeps the original's order.
    t_configlayerParam** tail = copy;
    for (const t_configlayerParam* p = original; p != nullptr; p = p->next) {
        t_configlayerParam* node =
            static_cast<t_configlayerParam*>(std::calloc(1, sizeof(t_configlayerParam)));
        if (node == nullptr) return CONFIGLAYER_ERROR_MALLOC;
        node->name = p->name ? CopyString(p->name) : nullptr;
        node->value = p->value ? CopyString(p->value) : nullptr;
        if ((p->name && node->name == nullptr) || (p->value && node->value == nullptr)) {
            ConfiglayerParamDestroy(node);
            return CONFIGLAYER_ERROR_MALLOC;
        }
        node->type = p->type;
        node->nElem = p->nElem;
        *tail = node;
        tail = &node->next;
    }
    return CONFIGLAYER_ERROR_NONE;
}

// ---------------------------------------------------------------------------
// Configuration layer messages

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

t_configlayerErrorCode GenerateSetValueList(BOOLEAN privateModel, const t_configlayerParam* params,
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
            kivo::FailureRecord(kivo::Reason::kInvalidValue, "%s", reason);
            return CONFIGLAYER_ERROR_BAD_ARGS;
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

t_configlayerErrorCode FillParams(const t_lcmpValueList* read, t_configlayerParam** params,
                                  BOOLEAN filterMac) {
    std::unique_ptr<INT8U[]> area = WorkArea(CONVERSION_TEXT_AREA_SIZE);
    if (!area) return CONFIGLAYER_ERROR_MALLOC;
    if (read == nullptr || params == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    if (!StartsWithInfoAndDataModel(read)) return CONFIGLAYER_ERROR_BAD_FORMAT;
    CHAR* text = reinterpret_cast<CHAR*>(area.get());

    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
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
                kivo::FailureRecord(kivo::Reason::kDeviceRefused, "the device refused %s: %s", name.c_str(),
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
    return result;
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

t_configlayerErrorCode FillDeviceList(const t_lcmpValueList* read, const CHAR* interfaceName, INT8U* hostMAC,
                                      t_device** deviceList) {
    if (read == nullptr || deviceList == nullptr) return CONFIGLAYER_ERROR_NONE;
    t_configlayerParam* answer = nullptr;
    t_configlayerErrorCode result = FillParams(read, &answer, TRUE);
    if (result == CONFIGLAYER_ERROR_NONE && answer != nullptr) {
        if (std::strcmp(answer->name, "SYSTEM.PRODUCTION.MAC_ADDR") != 0) {
            result = CONFIGLAYER_ERROR_PARAM;
        } else {
            INT8U mac[6];
            if (!ParseMacText(answer->value, mac))
                result = CONFIGLAYER_ERROR_BAD_FORMAT;
            else
                DeviceListAdd(deviceList, mac, interfaceName, hostMAC, DEVICE_TORVIX_LCMP);
        }
    }
    ConfiglayerParamsDestroy(answer);
    return result;
}

// ---------------------------------------------------------------------------
// Configuration layer operations

namespace {

// The two key passes: SHA-256 first, the legacy hash second.
constexpr t_lcmpEncryptionHash kHashPasses[] = {LCMP_HASH_SHA256, LCMP_HASH_LEGACY};

t_lcmpEncryptionConf EncryptionConf(const CHAR* password, t_lcmpEncryptionHash hash) {
    t_lcmpEncryptionConf conf;
    conf.password = password;
    conf.encryptAfterThisValue = LCMP_VALUE_VENDOR_TORVIX_DATAMODEL_TYPE;
    conf.originalValueLength = 1;
    conf.hashType = hash;
    return conf;
}

// Runs attempt(hash, n) for n = 0 .. maxRetries per key pass. An attempt
// that ends with NONE or PARAM ends its pass; a pass whose result isFinal ends the
// operation. After the legacy pass its result stands.
template <typename Attempt, typename Final>
t_configlayerErrorCode RunPasses(INT32S maxRetries, Attempt attempt, Final isFinal) {
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_LCMP;
    for (t_lcmpEncryptionHash hash : kHashPasses) {
        for (INT32S n = 0;; ++n) {
            // The reason of a failed operation is the last attempt's: an earlier
            // attempt's silence must not stand for what the last one saw.
            if (hash != kHashPasses[0] || n > 0) kivo::FailureClear();
            result = attempt(hash, n);
            if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM || n >= maxRetries)
                break;
        }
        if (isFinal(result)) break;
    }
    return result;
}

// One read exchange on an open session: sends request (which it consumes) and hands the
// answer list over in *answer. CONFIGLAYER_ERROR_LCMP on an LCMP error or no answer.
t_configlayerErrorCode ReadExchange(kivo::lcmp::Session& session, t_lcmpValueList* request,
                                    const t_lcmpEncryptionConf* conf, const INT8U* mac,
                                    t_lcmpValueList** answer, t_lcmpErrorCode* lcmpResult = nullptr) {
    *answer = nullptr;
    const t_lcmpErrorCode rc = session.Read(LCMP_CONTROL_VENDOR, request, conf, LCMP_UNICAST, mac, answer);
    LCMPValueListDestroy(request);
    if (lcmpResult) *lcmpResult = rc;
    if (rc != LCMP_ERROR_NONE || *answer == nullptr) {
        LCMPValueListDestroy(*answer);
        *answer = nullptr;
        return CONFIGLAYER_ERROR_LCMP;
    }
    return CONFIGLAYER_ERROR_NONE;
}

t_configlayerErrorCode GetAttempt(const t_device* device, const t_configlayerOptions& options,
                                  BOOLEAN privateModel, const t_lcmpEncryptionConf& conf,
                                  const t_configlayerParam* paramsInput, t_configlayerParam** paramsOutput,
                                  BOOLEAN filterMac) {
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = GenerateGetValueList(privateModel, paramsInput, &request);
    if (result != CONFIGLAYER_ERROR_NONE) {
        LCMPValueListDestroy(request);
        return result;
    }
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    if (session.Open() != LCMP_ERROR_NONE) {
        LCMPValueListDestroy(request);
        return CONFIGLAYER_ERROR_LCMP;
    }
    t_lcmpValueList* answer = nullptr;
    result = ReadExchange(session, request, &conf, device->deviceMACAddr, &answer);
    if (result == CONFIGLAYER_ERROR_NONE) result = FillParams(answer, paramsOutput, filterMac);
    LCMPValueListDestroy(answer);
    return result;
}

t_configlayerErrorCode GetAllAttempt(const t_device* device, const t_configlayerOptions& options,
                                     BOOLEAN privateModel, const t_lcmpEncryptionConf& conf,
                                     t_configlayerParam** paramsOutput, BOOLEAN filterMac, bool& anyRefused) {
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    t_lcmpValueList* request = nullptr;
    if (GenerateGetValueList(privateModel, nullptr, &request) != CONFIGLAYER_ERROR_NONE) {
        LCMPValueListDestroy(request);
        return CONFIGLAYER_ERROR_BAD_ARGS;
    }
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    if (session.Open() != LCMP_ERROR_NONE) {
        LCMPValueListDestroy(request);
        return CONFIGLAYER_ERROR_LCMP;
    }
    t_lcmpValueList* answer = nullptr;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    const t_lcmpErrorCode rc =
        session.Read(LCMP_CONTROL_VENDOR, request, &conf, LCMP_UNICAST, device->deviceMACAddr, &answer);
    LCMPValueListDestroy(request);
    t_configlayerParam* names = nullptr;
    if (rc != LCMP_ERROR_NONE) {
        result = CONFIGLAYER_ERROR_LCMP;
    } else {
        result = AddParamsFromList(answer, &names);
    }
    LCMPValueListDestroy(answer);

    t_configlayerParam* batch = nullptr;
    while (result == CONFIGLAYER_ERROR_NONE) {
        ConfiglayerParamsDestroy(batch);
        batch = nullptr;
        for (int i = 0; i < 12; ++i) {
            t_configlayerParam* node = nullptr;
            ConfiglayerParamsShift(&names, &node);
            if (node == nullptr) break;
            ConfiglayerParamsPush(&batch, node);
        }
        if (batch == nullptr) break;
        request = nullptr;
        result = GenerateGetValueList(privateModel, batch, &request);
        if (result != CONFIGLAYER_ERROR_NONE) {
            LCMPValueListDestroy(request);
            break;
        }
        result = ReadExchange(session, request, &conf, device->deviceMACAddr, &answer);
        if (result != CONFIGLAYER_ERROR_NONE) break;
        // Appends behind the nodes of earlier batches.
        result = FillParams(answer, paramsOutput, filterMac);
        LCMPValueListDestroy(answer);
        answer = nullptr;
        if (result == CONFIGLAYER_ERROR_PARAM) {
            anyRefused = true;
            result = CONFIGLAYER_ERROR_NONE;
        }
    }
    ConfiglayerParamsDestroy(batch);
    ConfiglayerParamsDestroy(names);
    return result;
}

t_configlayerErrorCode SetAttempt(const t_device* device, const t_configlayerOptions& options,
                                  BOOLEAN privateModel, const t_lcmpEncryptionConf& conf,
                                  const t_configlayerParam* paramsInput, t_configlayerParam** paramsOutput,
                                  INT32S attemptNumber) {
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = GenerateGetValueList(privateModel, paramsInput, &request);
    if (result != CONFIGLAYER_ERROR_NONE) {
        LCMPValueListDestroy(request);
        return result;
    }
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    t_lcmpErrorCode rc = session.Open();
    if (rc != LCMP_ERROR_NONE) {
        Log(LogStream::kErr, "Warning: set, attempt %d: LCMP could not be opened on %s (code %d)\n",
            attemptNumber, device->interfaceName, static_cast<int>(rc));
        LCMPValueListDestroy(request);
        return CONFIGLAYER_ERROR_LCMP;
    }
    // Type read: the device reports each parameter's type, which the write then uses.
    t_lcmpValueList* answer = nullptr;
    result = ReadExchange(session, request, &conf, device->deviceMACAddr, &answer, &rc);
    if (rc != LCMP_ERROR_NONE)
        Log(LogStream::kErr, "Warning: set, attempt %d: reading the parameters' types failed (code %d)\n",
            attemptNumber, static_cast<int>(rc));
    if (result == CONFIGLAYER_ERROR_NONE) {
        ConfiglayerParamsDestroy(*paramsOutput);
        *paramsOutput = nullptr;
        result = FillParams(answer, paramsOutput, FALSE);
        LCMPValueListDestroy(answer);
        answer = nullptr;
    }
    if (result == CONFIGLAYER_ERROR_NONE) {
        t_lcmpValueList* write = nullptr;
        result = GenerateSetValueList(privateModel, paramsInput, *paramsOutput, &write);
        ConfiglayerParamsDestroy(*paramsOutput);
        *paramsOutput = nullptr;
        if (result == CONFIGLAYER_ERROR_NONE) {
            rc = session.Write(LCMP_CONTROL_VENDOR, write, &conf, LCMP_UNICAST, device->deviceMACAddr,
                               &answer, attemptNumber);
            if (rc != LCMP_ERROR_NONE) {
                Log(LogStream::kErr, "Warning: set, attempt %d: writing the values failed (code %d)\n",
                    attemptNumber, static_cast<int>(rc));
                result = CONFIGLAYER_ERROR_LCMP;
            } else {
                result = FillParams(answer, paramsOutput, FALSE);
            }
            LCMPValueListDestroy(answer);
        }
        LCMPValueListDestroy(write);
    }
    return result;
}

}  // namespace

t_configlayerErrorCode ConfiglayerGet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                                      const CHAR* password, const t_configlayerParam* paramsInput,
                                      t_configlayerParam** paramsOutput, BOOLEAN filterMac,
                                      const t_configlayerOptions& options) {
    if (device == nullptr || password == nullptr || paramsInput == nullptr || paramsOutput == nullptr)
        return CONFIGLAYER_ERROR_BAD_ARGS;
    const BOOLEAN privateModel = publicOrPrivate == CONFIGLAYER_PRIVATE ? TRUE : FALSE;
    return RunPasses(
        options.maxRetries,
        [&](t_lcmpEncryptionHash hash, INT32S) {
            const t_lcmpEncryptionConf conf = EncryptionConf(password, hash);
            return GetAttempt(device, options, privateModel, conf, paramsInput, paramsOutput, filterMac);
        },
        [](t_configlayerErrorCode r) { return r == CONFIGLAYER_ERROR_NONE; });
}

t_configlayerErrorCode ConfiglayerGetAll(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                                         const CHAR* password, t_configlayerParam** paramsOutput,
                                         BOOLEAN filterMac, const t_configlayerOptions& options) {
    if (device == nullptr || password == nullptr || paramsOutput == nullptr) return CONFIGLAYER_ERROR_LCMP;
    const BOOLEAN privateModel = publicOrPrivate == CONFIGLAYER_PRIVATE ? TRUE : FALSE;
    bool anyRefused = false;
    const t_configlayerErrorCode result = RunPasses(
        options.maxRetries,
        [&](t_lcmpEncryptionHash hash, INT32S) {
            const t_lcmpEncryptionConf conf = EncryptionConf(password, hash);
            return GetAllAttempt(device, options, privateModel, conf, paramsOutput, filterMac, anyRefused);
        },
        [](t_configlayerErrorCode r) { return r == CONFIGLAYER_ERROR_NONE; });
    if (result == CONFIGLAYER_ERROR_NONE && anyRefused) return CONFIGLAYER_ERROR_PARAM;
    return result;
}

t_configlayerErrorCode ConfiglayerSet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                                      const CHAR* password, const t_configlayerParam* paramsInput,
                                      t_configlayerParam** paramsOutput,
                                      const t_configlayerOptions& options) {
    if (device == nullptr || password == nullptr || paramsInput == nullptr || paramsOutput == nullptr)
        return CONFIGLAYER_ERROR_BAD_ARGS;
    const BOOLEAN privateModel = publicOrPrivate == CONFIGLAYER_PRIVATE ? TRUE : FALSE;
    return RunPasses(
        options.maxRetries,
        [&](t_lcmpEncryptionHash hash, INT32S attempt) {
            const t_lcmpEncryptionConf conf = EncryptionConf(password, hash);
            return SetAttempt(device, options, privateModel, conf, paramsInput, paramsOutput, attempt);
        },
        [](t_configlayerErrorCode r) {
            return r == CONFIGLAYER_ERROR_NONE || r == CONFIGLAYER_ERROR_PARAM || r == CONFIGLAYER_ERROR_RFA;
        });
}

t_configlayerErrorCode ConfiglayerDiscover(const CHAR* interfaceName, t_device** device,
                                           const t_configlayerOptions& options) {
    if (device == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    const INT32S maxRetries = options.maxRetries;
    for (INT32S attempt = 0;; ++attempt) {
        result = CONFIGLAYER_ERROR_NONE;
        t_configlayerParam* input = nullptr;
        t_lcmpValueList* request = nullptr;
        t_interface* interfaces = nullptr;
        result = ConfiglayerParamAdd(&input, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
        if (result == CONFIGLAYER_ERROR_NONE) result = GenerateGetValueList(FALSE, input, &request);
        if (result == CONFIGLAYER_ERROR_NONE) {
            if (interfaceName != nullptr)
                InterfaceListAdd(&interfaces, interfaceName, nullptr);
            else
                InterfaceListGet(&interfaces);
        }
        for (t_interface* i = interfaces; i != nullptr && result == CONFIGLAYER_ERROR_NONE; i = i->next) {
            INT8U hostMAC[6];
            if (MacAddressGet(i->name, hostMAC) != 0) continue;
            kivo::lcmp::Session session(i->name, options.lcmp);
            if (session.Open() != LCMP_ERROR_NONE) {
                result = CONFIGLAYER_ERROR_LCMP;
                break;
            }
            t_lcmpValueList* answer = nullptr;
            if (session.Read(LCMP_CONTROL_VENDOR, request, nullptr, LCMP_MULTICAST, nullptr, &answer) !=
                LCMP_ERROR_NONE)
                result = CONFIGLAYER_ERROR_LCMP;
            else if (answer != nullptr)
                result = FillDeviceList(answer, i->name, hostMAC, device);
            LCMPValueListDestroy(answer);
        }
        InterfaceListFree(interfaces);
        ConfiglayerParamsDestroy(input);
        LCMPValueListDestroy(request);
        if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM || attempt >= maxRetries)
            break;
    }
    return result;
}

namespace {

// Adds the devices of one interface's multicast answer; returns how many were new.
// The answers of every device come in one list, in arrival order: each device's values
// are taken apart by their source address and read on their own, so that one device's
// unreadable answer hides no other.
size_t DevicesFromAnswer(const t_lcmpValueList* answer, const CHAR* interfaceName, INT8U* hostMAC,
                         t_device** devices, size_t& unlisted) {
    size_t found = 0;
    for (const t_lcmpValue* v = answer->head; v != nullptr; v = v->next) {
        if (v->type != LCMP_VALUE_INFO) continue;
        bool seen = false;
        for (const t_lcmpValue* e = answer->head; e != v && !seen; e = e->next)
            seen = e->type == LCMP_VALUE_INFO && std::memcmp(e->srcMAC, v->srcMAC, 6) == 0;
        if (seen) continue;
        t_lcmpValueList* one = nullptr;
        bool copied = true;
        for (const t_lcmpValue* w = v; w != nullptr && copied; w = w->next) {
            if (std::memcmp(w->srcMAC, v->srcMAC, 6) != 0) continue;
            copied = LCMPFullValueAdd(&one, const_cast<INT8U*>(w->srcMAC), w->responseTime, w->type,
                                      w->valueLength, w->value) == LCMP_ERROR_NONE;
        }
        t_device* before = *devices;
        if (copied && FillDeviceList(one, interfaceName, hostMAC, devices) == CONFIGLAYER_ERROR_NONE &&
            *devices != before)
            ++found;
        else
            ++unlisted;  // it answered, but not with its address
        LCMPValueListDestroy(one);
    }
    return found;
}

}  // namespace

t_configlayerErrorCode ConfiglayerDiscoverAll(const CHAR* interfaceName, t_device** devices,
                                              const t_configlayerOptions& options) {
    if (devices == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    const bool every = interfaceName == nullptr || interfaceName[0] == '\0';
    t_configlayerParam* input = nullptr;
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = ConfiglayerParamAdd(&input, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
    if (result == CONFIGLAYER_ERROR_NONE) result = GenerateGetValueList(FALSE, input, &request);
    ConfiglayerParamsDestroy(input);
    t_interface* interfaces = nullptr;
    if (result == CONFIGLAYER_ERROR_NONE) {
        if (every)
            InterfaceListGet(&interfaces);
        else
            InterfaceListAdd(&interfaces, interfaceName, nullptr);
    }
    // Every interface is asked at once and listened to for the same 3 s.
    std::vector<const CHAR*> names;
    std::vector<std::array<INT8U, 6>> hostMACs;
    for (t_interface* i = interfaces; i != nullptr && result == CONFIGLAYER_ERROR_NONE; i = i->next) {
        std::array<INT8U, 6> hostMAC;
        if (MacAddressGet(i->name, hostMAC.data()) != 0) {
            if (!every) kivo::l2::PortFailureRecord(kivo::l2::PortStatus::kNoInterface, i->name);
            continue;
        }
        names.push_back(i->name);
        hostMACs.push_back(hostMAC);
    }
    size_t found = 0;
    size_t unlisted = 0;
    if (!names.empty()) {
        std::vector<t_lcmpValueList*> answers(names.size(), nullptr);
        if (kivo::lcmp::MulticastReadEvery(LCMP_CONTROL_VENDOR, request, names.data(),
                                           static_cast<INT32U>(names.size()), answers.data(),
                                           options.lcmp) != LCMP_ERROR_NONE)
            result = CONFIGLAYER_ERROR_LCMP;
        for (size_t k = 0; k < names.size(); ++k) {
            if (answers[k] != nullptr)
                found += DevicesFromAnswer(answers[k], names[k], hostMACs[k].data(), devices, unlisted);
            LCMPValueListDestroy(answers[k]);
        }
    }
    InterfaceListFree(interfaces);
    LCMPValueListDestroy(request);
    if (result == CONFIGLAYER_ERROR_NONE && found == 0 && unlisted > 0) {
        // What the first of them said, inside the one sentence about all of them.
        const kivo::Failure first = kivo::FailureTake();
        const std::string said = first.text.empty() ? std::string() : " (" + first.text + ")";
        kivo::FailureRecord(
            kivo::Reason::kDeviceRefused,
            "%zu LCMP device(s) answered on %s but refused to tell their MAC address, so none "
            "can be listed%s",
            unlisted, every ? "the host's interfaces" : interfaceName, said.c_str());
    } else if (result == CONFIGLAYER_ERROR_NONE && found == 0) {
        const INT32U seconds = (options.lcmp.timeoutMs + 999) / 1000;
        kivo::FailureRecord(kivo::Reason::kNoDevice,
                            "no device answered on %s within %u s; check the cabling and that the devices "
                            "are on",
                            every ? "any interface" : interfaceName, static_cast<unsigned>(seconds));
    }
    return result;
}

t_configlayerErrorCode ConfiglayerDeviceAnswers(const CHAR* interfaceName, const INT8U* mac, BOOLEAN* answers,
                                                const t_configlayerOptions& options) {
    if (interfaceName == nullptr || mac == nullptr || answers == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    *answers = FALSE;
    t_configlayerParam* input = nullptr;
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = ConfiglayerParamAdd(&input, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
    if (result == CONFIGLAYER_ERROR_NONE) result = GenerateGetValueList(FALSE, input, &request);
    ConfiglayerParamsDestroy(input);
    kivo::lcmp::Session session(interfaceName, options.lcmp);
    if (result == CONFIGLAYER_ERROR_NONE && session.Open() != LCMP_ERROR_NONE)
        result = CONFIGLAYER_ERROR_LCMP;
    else if (result == CONFIGLAYER_ERROR_NONE) {
        t_lcmpValueList* answer = nullptr;
        if (session.Read(LCMP_CONTROL_VENDOR, request, nullptr, LCMP_UNICAST, mac, &answer) ==
                LCMP_ERROR_NONE &&
            answer != nullptr) {
            for (const t_lcmpValue* v = answer->head; v != nullptr; v = v->next)
                if (std::memcmp(v->srcMAC, mac, 6) == 0) *answers = TRUE;
        }
        LCMPValueListDestroy(answer);
    }
    LCMPValueListDestroy(request);
    return result;
}
