// Configuration layer: parameter lists and the configuration layer's results.
#ifndef KIVO_CONFIGLAYER_H
#define KIVO_CONFIGLAYER_H

#include "LCMP_comm.h"
#include "conversion.h"
#include "device.h"
#include "status.h"
#include "types.h"
#include "version.h"

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

// ---------------------------------------------------------------------------
// Operations on a device's configuration layer over LCMP. Their status carries the
// configuration layer's code and, for a failure people can act on, the words of the
// layer that saw it (no interface, no answer, a refused parameter or value, ...).

// Data model selected by every request of an operation.
typedef enum e_configlayerPublicOrPrivate {
    CONFIGLAYER_PUBLIC = 0,
    CONFIGLAYER_PRIVATE = 1,
} t_configlayerPublicOrPrivate;

// Longest parameter name a request can carry, and the bound of one write value
// (name + converted value + 8 bytes of record framing).
#define CONFIGLAYER_NAME_MAX 396u
#define CONFIGLAYER_WRITE_VALUE_MAX 30000u

// How an operation reaches its device: the settings of its LCMP sessions (VLAN tag,
// reference time-out, numbering of requests) and the extra attempts per key pass after a
// failed attempt.
typedef struct s_configlayerOptions {
    kivo::lcmp::SessionSettings lcmp;
    INT32S maxRetries = 0;
} t_configlayerOptions;

// Reads the parameters named in paramsInput (values ignored) from the first device of
// the list. *paramsOutput receives one node per answered parameter in answer order;
// on CONFIGLAYER_ERROR_PARAM its last node is the refused parameter (PARAM_TYPE_ERROR,
// status text as value). The caller owns the output list, also after an error.
kivo::Status ConfiglayerGet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                            const CHAR* password, const t_configlayerParam* paramsInput,
                            t_configlayerParam** paramsOutput, BOOLEAN filterMac,
                            const t_configlayerOptions& options = {});
// Reads every parameter the device lists: one get-all exchange, then reads of 12 names
// at a time.
kivo::Status ConfiglayerGetAll(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                               const CHAR* password, t_configlayerParam** paramsOutput, BOOLEAN filterMac,
                               const t_configlayerOptions& options = {});
// Writes the text values of paramsInput: the device is first asked for the
// parameters' types, the write then carries the values in those types.
// *paramsOutput receives one PARAM_TYPE_SET_OK or PARAM_TYPE_ERROR node per parameter,
// or the type read's result when that read refused a name.
kivo::Status ConfiglayerSet(t_device* device, t_configlayerPublicOrPrivate publicOrPrivate,
                            const CHAR* password, const t_configlayerParam* paramsInput,
                            t_configlayerParam** paramsOutput, const t_configlayerOptions& options = {});
// Adds the LCMP devices that answer a multicast read on interfaceName (every host
// interface when it is null) to *device. At most one device per interface.
kivo::Status ConfiglayerDiscover(const CHAR* interfaceName, t_device** device,
                                 const t_configlayerOptions& options = {});
// Adds every LCMP device that answers the same multicast read within the listening
// time (3 s) on interfaceName (every host interface when it is null or empty) to
// *devices, as DEVICE_TORVIX_LCMP records. Finding nothing is not an error: the list
// stays as it was (the status's words say why, under code NONE). An answer that cannot be read skips
// only its device.
kivo::Status ConfiglayerDiscoverAll(const CHAR* interfaceName, t_device** devices,
                                    const t_configlayerOptions& options = {});
// Whether the LCMP device mac answers on interfaceName the clear public read of the LCMP
// discovery, sent to it alone. A device answers it whatever the password, so it tells a
// device that ignores a password from one that is not there. *answers is FALSE on any
// error (the result says which).
kivo::Status ConfiglayerDeviceAnswers(const CHAR* interfaceName, const INT8U* mac, BOOLEAN* answers,
                                      const t_configlayerOptions& options = {});

// Adds the device that answered a discovery read (its first parameter must be
// SYSTEM.PRODUCTION.MAC_ADDR) to *deviceList. A MAC text that does not read as six
// hexadecimal fields adds nothing and gives CONFIGLAYER_ERROR_BAD_FORMAT.
kivo::Status FillDeviceList(const t_lcmpValueList* read, const CHAR* interfaceName, INT8U* hostMAC,
                            t_device** deviceList);

#endif
