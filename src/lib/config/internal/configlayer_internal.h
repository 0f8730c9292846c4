// Configuration layer messages: the builders of the vendor read, get-all and write
// requests and the readers of the device's answers. Private to the configuration
// layer; declared here so that tests can exercise them directly.
#ifndef KIVO_CONFIGLAYER_INTERNAL_H
#define KIVO_CONFIGLAYER_INTERNAL_H

#include "LCMP_comm.h"
#include "configlayer.h"
#include "types.h"

// Appends a node for an output list; used only inside the configuration layer.
t_configlayerErrorCode ConfiglayerParamExtendedAdd(t_configlayerParam** params, const CHAR* name,
                                                   const CHAR* value, t_paramType type, INT32S nElem,
                                                   INT32S responseTime);

// Content of the INFO value that starts every request.
inline constexpr INT8U kConfiglayerInfoValue[5] = {0x9D, 0x13, 0x00, 0x00, 0x00};

// Record controls: names carry 1 in requests; value records 0 (a value) or 2 (a status).
enum {
    CONFIGLAYER_RECORD_VALUE = 0,
    CONFIGLAYER_RECORD_NAME = 1,
    CONFIGLAYER_RECORD_STATUS = 2,
};

// Appends the read request for the names of params (INFO, DATAMODEL, one READ_REQ per
// name), or the get-all request when params is null. Names longer than
// CONFIGLAYER_NAME_MAX give CONFIGLAYER_ERROR_BAD_ARGS; a value that cannot be added
// gives CONFIGLAYER_ERROR_LCMP.
t_configlayerErrorCode GenerateGetValueList(BOOLEAN privateModel, const t_configlayerParam* params,
                                            t_lcmpValueList** valueList);
// Appends the write request for the text values of params, each converted to the type
// of the node at the same position in paramsType.
kivo::Status GenerateSetValueList(BOOLEAN privateModel, const t_configlayerParam* params,
                                  t_configlayerParam* paramsType, t_lcmpValueList** valueList);
// Appends one node per parameter of a read or write answer; stops behind a refused one.
kivo::Status FillParams(const t_lcmpValueList* read, t_configlayerParam** params, BOOLEAN filterMac);
// Appends one name-only node per name of a get-all answer.
t_configlayerErrorCode AddParamsFromList(const t_lcmpValueList* read, t_configlayerParam** params);

#endif
