// Configuration layer: the parameter lists callers build and read.
#include <cstdlib>
#include <cstring>

#include "configlayer.h"
#include "configlayer_internal.h"

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
