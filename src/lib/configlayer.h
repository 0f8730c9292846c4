// Configuration layer: parameter lists and the configuration layer's results.
#ifndef KIVO_CONFIGLAYER_H
#define KIVO_CONFIGLAYER_H

#include "conversion.h"
#include "types.h"

typedef enum e_configlayerErrorCode : INT32S {
    CONFIGLAYER_ERROR_NONE = 0,
    CONFIGLAYER_ERROR_LCMP = -1,
    CONFIGLAYER_ERROR_ETH_IF = -2,
    CONFIGLAYER_ERROR_PARAM = -8,
    CONFIGLAYER_ERROR_BAD_FORMAT = -12,
    CONFIGLAYER_ERROR_BAD_ARGS = -13,
    CONFIGLAYER_ERROR_MALLOC = -14,
    CONFIGLAYER_ERROR_WRAPPER = -18,
    CONFIGLAYER_ERROR_RFA = -77,
    CONFIGLAYER_ERROR_PARAM_NULL = -78,
} t_configlayerErrorCode;

// A named text parameter; nodes and their strings are allocated with malloc and owned
// by whoever holds the list head.
typedef struct s_configlayerParam {
    CHAR* name;
    CHAR* value;
    t_paramType type;
    INT32S nElem;
    INT32S responseTime;
    struct s_configlayerParam* next;
} t_configlayerParam;

// Appends a node with copies of name and value (type PARAM_TYPE_STRING, or
// PARAM_TYPE_NOT_DEFINED without value; nElem and responseTime 0).
t_configlayerErrorCode ConfiglayerParamAdd(t_configlayerParam** params, const CHAR* name, const CHAR* value);
// Removes the head node and hands it over (none when the list is empty).
t_configlayerErrorCode ConfiglayerParamsShift(t_configlayerParam** params, t_configlayerParam** removedParam);
// Appends a node at the tail; its followers, if any, are cut off.
t_configlayerErrorCode ConfiglayerParamsPush(t_configlayerParam** params, t_configlayerParam* paramToPush);
// Makes a node the new head.
t_configlayerErrorCode ConfiglayerParamUnshift(t_configlayerParam** params, t_configlayerParam* paramToPush);
// Frees one node with its strings (not its followers).
void ConfiglayerParamDestroy(t_configlayerParam* param);
// Frees a whole list.
void ConfiglayerParamsDestroy(t_configlayerParam* params);
// Copies a list: names, values, types and element counts (not response times).
t_configlayerErrorCode ConfiglayerParamsCopy(const t_configlayerParam* original, t_configlayerParam** copy);

#endif
