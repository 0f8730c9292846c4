// Configuration layer: finding the devices on a segment and checking that one answers.
#include <array>
#include <cstring>
#include <string>
#include <vector>

#include "LCMP_comm.h"
#include "configlayer.h"
#include "configlayer_internal.h"
#include "device.h"
#include "log.h"
#include "port.h"
#include "status.h"

kivo::Status ConfiglayerDiscover(const CHAR* interfaceName, t_device** device,
                                 const t_configlayerOptions& options) {
    if (device == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    t_configlayerErrorCode result = CONFIGLAYER_ERROR_NONE;
    kivo::Status words;  // the first trouble of any attempt
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
            kivo::Status step = session.Open();
            words.Explain(step);
            if (!step.ok()) {
                result = CONFIGLAYER_ERROR_LCMP;
                break;
            }
            t_lcmpValueList* answer = nullptr;
            step = session.Read(LCMP_CONTROL_VENDOR, request, nullptr, LCMP_MULTICAST, nullptr, &answer);
            words.Explain(step);
            if (!step.ok()) {
                result = CONFIGLAYER_ERROR_LCMP;
            } else if (answer != nullptr) {
                step = FillDeviceList(answer, i->name, hostMAC, device);
                words.Explain(step);
                result = step.as<t_configlayerErrorCode>();
            }
            LCMPValueListDestroy(answer);
        }
        InterfaceListFree(interfaces);
        ConfiglayerParamsDestroy(input);
        LCMPValueListDestroy(request);
        if (result == CONFIGLAYER_ERROR_NONE || result == CONFIGLAYER_ERROR_PARAM || attempt >= maxRetries)
            break;
    }
    return words.Recode(result);
}

namespace {

// Adds the devices of one interface's multicast answer; returns how many were new.
// The answers of every device come in one list, in arrival order: each device's values
// are taken apart by their source address and read on their own, so that one device's
// unreadable answer hides no other. words gets the first device's trouble.
size_t DevicesFromAnswer(const t_lcmpValueList* answer, const CHAR* interfaceName, INT8U* hostMAC,
                         t_device** devices, size_t& unlisted, kivo::Status& words) {
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
        const kivo::Status filled = copied ? FillDeviceList(one, interfaceName, hostMAC, devices)
                                           : kivo::Status(CONFIGLAYER_ERROR_MALLOC);
        words.Explain(filled);
        if (filled.ok() && *devices != before)
            ++found;
        else
            ++unlisted;  // it answered, but not with its address
        LCMPValueListDestroy(one);
    }
    return found;
}

}  // namespace

kivo::Status ConfiglayerDiscoverAll(const CHAR* interfaceName, t_device** devices,
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
    kivo::Status words;
    std::vector<const CHAR*> names;
    std::vector<std::array<INT8U, 6>> hostMACs;
    for (t_interface* i = interfaces; i != nullptr && result == CONFIGLAYER_ERROR_NONE; i = i->next) {
        std::array<INT8U, 6> hostMAC;
        if (MacAddressGet(i->name, hostMAC.data()) != 0) {
            if (!every) words.Explain(kivo::l2::PortFailure(kivo::l2::PortStatus::kNoInterface, i->name));
            continue;
        }
        names.push_back(i->name);
        hostMACs.push_back(hostMAC);
    }
    size_t found = 0;
    size_t unlisted = 0;
    if (!names.empty()) {
        std::vector<t_lcmpValueList*> answers(names.size(), nullptr);
        const kivo::Status sent =
            kivo::lcmp::MulticastReadEvery(LCMP_CONTROL_VENDOR, request, names.data(),
                                           static_cast<INT32U>(names.size()), answers.data(), options.lcmp);
        words.Explain(sent);
        if (!sent.ok()) result = CONFIGLAYER_ERROR_LCMP;
        for (size_t k = 0; k < names.size(); ++k) {
            if (answers[k] != nullptr)
                found +=
                    DevicesFromAnswer(answers[k], names[k], hostMACs[k].data(), devices, unlisted, words);
            LCMPValueListDestroy(answers[k]);
        }
    }
    InterfaceListFree(interfaces);
    LCMPValueListDestroy(request);
    if (result == CONFIGLAYER_ERROR_NONE && found == 0 && unlisted > 0) {
        // What the first of them said, inside the one sentence about all of them.
        const std::string said = words.text.empty() ? std::string() : " (" + words.text + ")";
        words = kivo::Because(kivo::Reason::kDeviceRefused,
                              "%zu LCMP device(s) answered on %s but refused to tell their MAC address, so "
                              "none can be listed%s",
                              unlisted, every ? "the host's interfaces" : interfaceName, said.c_str());
    } else if (result == CONFIGLAYER_ERROR_NONE && found == 0) {
        const INT32U seconds = (options.lcmp.timeoutMs + 999) / 1000;
        words.Explain(kivo::Reason::kNoDevice,
                      "no device answered on %s within %u s; check the cabling and that the devices are on",
                      every ? "any interface" : interfaceName, static_cast<unsigned>(seconds));
    }
    return words.Recode(result);
}

kivo::Status ConfiglayerDeviceAnswers(const CHAR* interfaceName, const INT8U* mac, BOOLEAN* answers,
                                      const t_configlayerOptions& options) {
    if (interfaceName == nullptr || mac == nullptr || answers == nullptr) return CONFIGLAYER_ERROR_BAD_ARGS;
    *answers = FALSE;
    t_configlayerParam* input = nullptr;
    t_lcmpValueList* request = nullptr;
    t_configlayerErrorCode result = ConfiglayerParamAdd(&input, "SYSTEM.PRODUCTION.MAC_ADDR", nullptr);
    if (result == CONFIGLAYER_ERROR_NONE) result = GenerateGetValueList(FALSE, input, &request);
    ConfiglayerParamsDestroy(input);
    kivo::lcmp::Session session(interfaceName, options.lcmp);
    kivo::Status words;
    if (result == CONFIGLAYER_ERROR_NONE) {
        words = session.Open();
        if (!words.ok()) result = CONFIGLAYER_ERROR_LCMP;
    }
    if (result == CONFIGLAYER_ERROR_NONE) {
        t_lcmpValueList* answer = nullptr;
        const kivo::Status read =
            session.Read(LCMP_CONTROL_VENDOR, request, nullptr, LCMP_UNICAST, mac, &answer);
        words.Explain(read);
        if (read.ok() && answer != nullptr) {
            for (const t_lcmpValue* v = answer->head; v != nullptr; v = v->next)
                if (std::memcmp(v->srcMAC, mac, 6) == 0) *answers = TRUE;
        }
        LCMPValueListDestroy(answer);
    }
    LCMPValueListDestroy(request);
    return words.Recode(result);
}
