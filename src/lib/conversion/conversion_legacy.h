// Value conversion of the legacy SCP path: the same types as the LCMP path with
// big-endian multi-byte integers, the SCP status texts and the SCP name tables.
#ifndef KIVO_CONVERSION_LEGACY_H
#define KIVO_CONVERSION_LEGACY_H

#include "conversion.h"
#include "scp_codes.h"
#include "types.h"

// Sizes of the callers' areas on the SCP path: the text of one rendered value and the
// bytes of one parsed value.
#define LEGACY_TEXT_AREA_SIZE 80000u
#define LEGACY_VALUE_AREA_SIZE 40000u

// Renders an SCP value item's content as text into value. On entry *param_length is
// the item's length field (content length + 2); on return it is the text's length.
// The text is zero-terminated when the area has room for it (valueSize bytes).
void valueToString(INT8U type, const INT8U* getItem, INT32U* param_length, INT8U* value, INT32U valueSize);
// The same for a text area of LEGACY_TEXT_AREA_SIZE bytes.
void valueToString(INT8U type, const INT8U* getItem, INT32U* param_length, INT8U* value);

// Parses the zero-terminated text setItem into valueToSet (capacity valueToSetSize)
// and sets *param_length to the number of bytes produced; FALSE when the text is not
// valid for the type or does not fit.
BOOLEAN stringToValue(INT8U type, const INT8U* setItem, INT32U* param_length, INT8U* valueToSet,
                      INT32U valueToSetSize);
// The same for an output area of LEGACY_VALUE_AREA_SIZE bytes.
BOOLEAN stringToValue(INT8U type, const INT8U* setItem, INT32U* param_length, INT8U* valueToSet);

// Turns an SCP error item's status value (signed 32-bit big-endian) into text. On
// entry *param_length is the item's length field (content length + 2); on return it
// is the text's length. Returns 0 for "OK", otherwise a negative number (the code
// taken modulo 256, negated). A status shorter than 4 bytes gives
// "ERROR INVALID STATUS VALUE" and -1.
INT32S errorToString(const INT8U* getItem, INT32U* param_length, INT8U* value, INT32U valueSize);
// The same for a text area of LEGACY_TEXT_AREA_SIZE bytes.
INT32S errorToString(const INT8U* getItem, INT32U* param_length, INT8U* value);

// Names of the SCP client's result codes and operations ("TIMEOUT", "FACTORY_RESET");
// "UNKNOWN" outside the tables.
const CHAR* convertErrorCodeToString(t_scpErrorCode code);
const CHAR* convertOpToString(t_scpOp op);

#endif
