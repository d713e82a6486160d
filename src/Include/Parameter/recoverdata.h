// The JSON parameter file "/tarvex_data/oid.json": the modulation values of
// the master's channels under the web's keys, independent of the record
// layout, restored after a factory rebuild and carried by the export.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

#define TARVEX_OID_JSON_FILE "/tarvex_data/oid.json"

struct cJSON;

// 0, or ZR_ERR_NOT_SAVED when the file could not be written (built from the
// live set, so the next save that succeeds writes what this one could not).
zrErrCode DATA_Save(void);
U8 DATA_Save_DTMBParameter(cJSON* pData, cJSON* pEncoderParameter);
// 0, or 1 when the file is missing or does not parse, or ZR_ERR_NOT_SAVED
// when the values taken back could not be saved; always 0 on the slave.
int DATA_Recovery(void);
// 0, or 774 when "psiinterval" (or, in modes 4 and 6, "channelstandard") is
// missing, or ZR_ERR_NOT_SAVED when the values taken back were not saved.
zrErrCode DATA_Recovery_DTMBParameter(cJSON* pJson);
