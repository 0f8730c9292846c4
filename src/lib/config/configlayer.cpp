// Configuration layer: the operations on a device's configuration layer over LCMP
// (read, read all, write), each attempt on a session of its own. The parameter lists
// are in configlayer_params.cpp, the messages in configlayer_messages.cpp and the
// discovery in configlayer_discover.cpp.
#include "configlayer.h"

#include <cstdio>
#include <cstring>
#include <memory>

#include "LCMP_comm.h"
#include "configlayer_internal.h"
#include "device.h"
#include "log.h"
#include "reason.h"

using kivo::Log;
using kivo::LogStream;

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

// Builds the read request for params (null: the get-all request) into *request; on
// failure nothing is left to free.
t_configlayerErrorCode ReadRequestFor(BOOLEAN privateModel, const t_configlayerParam* params,
                                      t_lcmpValueList** request) {
    *request = nullptr;
    const t_configlayerErrorCode result = GenerateGetValueList(privateModel, params, request);
    if (result != CONFIGLAYER_ERROR_NONE) {
        LCMPValueListDestroy(*request);
        *request = nullptr;
    }
    return result;
}

// Opens the session of an exchange whose request is built; the request is freed when
// the session cannot be opened.
bool SessionOpened(kivo::lcmp::Session& session, t_lcmpValueList* request) {
    if (session.Open() == LCMP_ERROR_NONE) return true;
    LCMPValueListDestroy(request);
    return false;
}

t_configlayerErrorCode GetAttempt(const t_device* device, const t_configlayerOptions& options,
                                  BOOLEAN privateModel, const t_lcmpEncryptionConf& conf,
                                  const t_configlayerParam* paramsInput, t_configlayerParam** paramsOutput,
                                  BOOLEAN filterMac) {
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = ReadRequestFor(privateModel, paramsInput, &request);
    if (result != CONFIGLAYER_ERROR_NONE) return result;
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    if (!SessionOpened(session, request)) return CONFIGLAYER_ERROR_LCMP;
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
    if (ReadRequestFor(privateModel, nullptr, &request) != CONFIGLAYER_ERROR_NONE)
        return CONFIGLAYER_ERROR_BAD_ARGS;
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    if (!SessionOpened(session, request)) return CONFIGLAYER_ERROR_LCMP;
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
        result = ReadRequestFor(privateModel, batch, &request);
        if (result != CONFIGLAYER_ERROR_NONE) break;
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
    t_configlayerErrorCode result = ReadRequestFor(privateModel, paramsInput, &request);
    if (result != CONFIGLAYER_ERROR_NONE) return result;
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
