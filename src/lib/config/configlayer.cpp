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
// operation. After the legacy pass its result stands. The status of a failed operation
// is the last attempt's: an earlier attempt's silence must not stand for what the last
// one saw.
template <typename Attempt, typename Final>
kivo::Status RunPasses(INT32S maxRetries, Attempt attempt, Final isFinal) {
    kivo::Status result(CONFIGLAYER_ERROR_LCMP);
    for (t_lcmpEncryptionHash hash : kHashPasses) {
        for (INT32S n = 0;; ++n) {
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
kivo::Status ReadExchange(kivo::lcmp::Session& session, t_lcmpValueList* request,
                          const t_lcmpEncryptionConf* conf, const INT8U* mac, t_lcmpValueList** answer) {
    *answer = nullptr;
    kivo::Status rc = session.Read(LCMP_CONTROL_VENDOR, request, conf, LCMP_UNICAST, mac, answer);
    LCMPValueListDestroy(request);
    if (!rc.ok() || *answer == nullptr) {
        LCMPValueListDestroy(*answer);
        *answer = nullptr;
        return rc.Recode(CONFIGLAYER_ERROR_LCMP);
    }
    return rc;
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
// the session cannot be opened. LCMP's status (an open session may bring words).
kivo::Status SessionOpen(kivo::lcmp::Session& session, t_lcmpValueList* request) {
    kivo::Status opened = session.Open();
    if (!opened.ok()) LCMPValueListDestroy(request);
    return opened;
}

kivo::Status GetAttempt(const t_device* device, const t_configlayerOptions& options, BOOLEAN privateModel,
                        const t_lcmpEncryptionConf& conf, const t_configlayerParam* paramsInput,
                        t_configlayerParam** paramsOutput, BOOLEAN filterMac) {
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    t_lcmpValueList* request = nullptr;
    const t_configlayerErrorCode built = ReadRequestFor(privateModel, paramsInput, &request);
    if (built != CONFIGLAYER_ERROR_NONE) return built;
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    kivo::Status result = SessionOpen(session, request);
    if (!result.ok()) return result.Recode(CONFIGLAYER_ERROR_LCMP);
    t_lcmpValueList* answer = nullptr;
    result = ReadExchange(session, request, &conf, device->deviceMACAddr, &answer).Follows(result);
    if (result.ok()) result = FillParams(answer, paramsOutput, filterMac).Follows(result);
    LCMPValueListDestroy(answer);
    return result;
}

// The reads of 12 names at a time that follow the get-all exchange, for the names it
// listed (consumed). anyRefused tells whether the device refused any of them.
kivo::Status GetAllBatches(kivo::lcmp::Session& session, const t_device* device, BOOLEAN privateModel,
                           const t_lcmpEncryptionConf& conf, t_configlayerParam*& names,
                           t_configlayerParam** paramsOutput, BOOLEAN filterMac, bool& anyRefused) {
    kivo::Status result;
    t_configlayerParam* batch = nullptr;
    while (result.ok()) {
        ConfiglayerParamsDestroy(batch);
        batch = nullptr;
        for (int i = 0; i < 12; ++i) {
            t_configlayerParam* node = nullptr;
            ConfiglayerParamsShift(&names, &node);
            if (node == nullptr) break;
            ConfiglayerParamsPush(&batch, node);
        }
        if (batch == nullptr) break;
        t_lcmpValueList* request = nullptr;
        const t_configlayerErrorCode built = ReadRequestFor(privateModel, batch, &request);
        if (built != CONFIGLAYER_ERROR_NONE) {
            result = kivo::Status(built).Follows(result);
            break;
        }
        t_lcmpValueList* answer = nullptr;
        result = ReadExchange(session, request, &conf, device->deviceMACAddr, &answer).Follows(result);
        if (!result.ok()) break;
        // Appends behind the nodes of earlier batches.
        result = FillParams(answer, paramsOutput, filterMac).Follows(result);
        LCMPValueListDestroy(answer);
        if (result == CONFIGLAYER_ERROR_PARAM) {
            anyRefused = true;
            result.Recode(CONFIGLAYER_ERROR_NONE);
        }
    }
    ConfiglayerParamsDestroy(batch);
    return result;
}

kivo::Status GetAllAttempt(const t_device* device, const t_configlayerOptions& options, BOOLEAN privateModel,
                           const t_lcmpEncryptionConf& conf, t_configlayerParam** paramsOutput,
                           BOOLEAN filterMac, bool& anyRefused) {
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    t_lcmpValueList* request = nullptr;
    if (ReadRequestFor(privateModel, nullptr, &request) != CONFIGLAYER_ERROR_NONE)
        return CONFIGLAYER_ERROR_BAD_ARGS;
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    kivo::Status result = SessionOpen(session, request);
    if (!result.ok()) return result.Recode(CONFIGLAYER_ERROR_LCMP);
    t_lcmpValueList* answer = nullptr;
    result = session.Read(LCMP_CONTROL_VENDOR, request, &conf, LCMP_UNICAST, device->deviceMACAddr, &answer)
                 .Follows(result);
    LCMPValueListDestroy(request);
    t_configlayerParam* names = nullptr;
    if (!result.ok())
        result.Recode(CONFIGLAYER_ERROR_LCMP);
    else
        result = kivo::Status(AddParamsFromList(answer, &names)).Follows(result);
    LCMPValueListDestroy(answer);
    if (result.ok())
        result =
            GetAllBatches(session, device, privateModel, conf, names, paramsOutput, filterMac, anyRefused)
                .Follows(result);
    ConfiglayerParamsDestroy(names);
    return result;
}

// The write of a set attempt, in the types the type read gave (paramsOutput, replaced
// by the write's answer).
kivo::Status SetWrite(kivo::lcmp::Session& session, const t_device* device, BOOLEAN privateModel,
                      const t_lcmpEncryptionConf& conf, const t_configlayerParam* paramsInput,
                      t_configlayerParam** paramsOutput, INT32S attemptNumber) {
    t_lcmpValueList* write = nullptr;
    kivo::Status result = GenerateSetValueList(privateModel, paramsInput, *paramsOutput, &write);
    ConfiglayerParamsDestroy(*paramsOutput);
    *paramsOutput = nullptr;
    if (result.ok()) {
        t_lcmpValueList* answer = nullptr;
        result = session.Write(LCMP_CONTROL_VENDOR, write, &conf, LCMP_UNICAST, device->deviceMACAddr,
                               &answer, attemptNumber);
        if (!result.ok()) {
            Log(LogStream::kErr, "Warning: set, attempt %d: writing the values failed (code %d)\n",
                attemptNumber, static_cast<int>(result.code));
            result.Recode(CONFIGLAYER_ERROR_LCMP);
        } else {
            result = FillParams(answer, paramsOutput, FALSE).Follows(result);
        }
        LCMPValueListDestroy(answer);
    }
    LCMPValueListDestroy(write);
    return result;
}

kivo::Status SetAttempt(const t_device* device, const t_configlayerOptions& options, BOOLEAN privateModel,
                        const t_lcmpEncryptionConf& conf, const t_configlayerParam* paramsInput,
                        t_configlayerParam** paramsOutput, INT32S attemptNumber) {
    t_lcmpValueList* request = nullptr;
    const t_configlayerErrorCode built = ReadRequestFor(privateModel, paramsInput, &request);
    if (built != CONFIGLAYER_ERROR_NONE) return built;
    kivo::lcmp::Session session(device->interfaceName, options.lcmp);
    kivo::Status result = SessionOpen(session, request);
    if (!result.ok()) {
        Log(LogStream::kErr, "Warning: set, attempt %d: LCMP could not be opened on %s (code %d)\n",
            attemptNumber, device->interfaceName, static_cast<int>(result.code));
        return result.Recode(CONFIGLAYER_ERROR_LCMP);
    }
    // Type read: the device reports each parameter's type, which the write then uses.
    t_lcmpValueList* answer = nullptr;
    const kivo::Status read =
        session.Read(LCMP_CONTROL_VENDOR, request, &conf, LCMP_UNICAST, device->deviceMACAddr, &answer);
    LCMPValueListDestroy(request);
    result = kivo::Status(read).Follows(result);
    if (!read.ok())
        Log(LogStream::kErr, "Warning: set, attempt %d: reading the parameters' types failed (code %d)\n",
            attemptNumber, static_cast<int>(read.code));
    if (!read.ok() || answer == nullptr) result.Recode(CONFIGLAYER_ERROR_LCMP);
    if (result.ok()) {
        ConfiglayerParamsDestroy(*paramsOutput);
        *paramsOutput = nullptr;
        result = FillParams(answer, paramsOutput, FALSE).Follows(result);
    }
    LCMPValueListDestroy(answer);
    if (result.ok())
        result = SetWrite(session, device, privateModel, conf, paramsInput, paramsOutput, attemptNumber)
                     .Follows(result);
    return result;
}

}  // namespace

kivo::Status ConfiglayerGet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
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
        [](const kivo::Status& r) { return r == CONFIGLAYER_ERROR_NONE; });
}

kivo::Status ConfiglayerGetAll(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                               const CHAR* password, t_configlayerParam** paramsOutput, BOOLEAN filterMac,
                               const t_configlayerOptions& options) {
    if (device == nullptr || password == nullptr || paramsOutput == nullptr) return CONFIGLAYER_ERROR_LCMP;
    const BOOLEAN privateModel = publicOrPrivate == CONFIGLAYER_PRIVATE ? TRUE : FALSE;
    bool anyRefused = false;
    kivo::Status result = RunPasses(
        options.maxRetries,
        [&](t_lcmpEncryptionHash hash, INT32S) {
            const t_lcmpEncryptionConf conf = EncryptionConf(password, hash);
            return GetAllAttempt(device, options, privateModel, conf, paramsOutput, filterMac, anyRefused);
        },
        [](const kivo::Status& r) { return r == CONFIGLAYER_ERROR_NONE; });
    if (result == CONFIGLAYER_ERROR_NONE && anyRefused) result.Recode(CONFIGLAYER_ERROR_PARAM);
    return result;
}

kivo::Status ConfiglayerSet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                            const CHAR* password, const t_configlayerParam* paramsInput,
                            t_configlayerParam** paramsOutput, const t_configlayerOptions& options) {
    if (device == nullptr || password == nullptr || paramsInput == nullptr || paramsOutput == nullptr)
        return CONFIGLAYER_ERROR_BAD_ARGS;
    const BOOLEAN privateModel = publicOrPrivate == CONFIGLAYER_PRIVATE ? TRUE : FALSE;
    return RunPasses(
        options.maxRetries,
        [&](t_lcmpEncryptionHash hash, INT32S attempt) {
            const t_lcmpEncryptionConf conf = EncryptionConf(password, hash);
            return SetAttempt(device, options, privateModel, conf, paramsInput, paramsOutput, attempt);
        },
        [](const kivo::Status& r) {
            return r == CONFIGLAYER_ERROR_NONE || r == CONFIGLAYER_ERROR_PARAM || r == CONFIGLAYER_ERROR_RFA;
        });
}
