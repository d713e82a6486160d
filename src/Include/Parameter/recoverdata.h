// The JSON parameter file "/tarvex_data/oid.json": the modulation values of
// the master's channels under the web's keys, independent of the record
// layout, restored after a factory rebuild and carried by the export.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include <cstddef>

#define TARVEX_OID_JSON_FILE "/tarvex_data/oid.json"

struct cJSON;

// 0, or ZR_ERR_NOT_SAVED when the file could not be written (built from the
// live set, so the next save that succeeds writes what this one could not).
zrErrCode DATA_Save(void);
U8 DATA_Save_DTMBParameter(cJSON* pData, cJSON* pEncoderParameter);
// 0, or 1 when the file is missing or does not parse, or ZR_ERR_NOT_SAVED
// when the values taken back could not be saved; always 0 on the slave.
int DATA_Recovery(void);
// 0, or the code of a refused document (as DATA_CheckDTMBParameter), or
// ZR_ERR_NOT_SAVED when the values taken back were not saved.
zrErrCode DATA_Recovery_DTMBParameter(cJSON* pJson);

// What a document would put in force: the modulation set, built on the live
// one, the PSI interval and the single-carrier setting.
struct DATA_Restore {
    TParameter_DTMB stSet;
    U32 u32Psi = 0;
    bool bSingle = false;
    U32 u32Single = 0;
};
// Builds what a document describes and checks it as the web checks the same
// values (whole numbers of the members' widths, channels of the card's
// table, the modulation checks, the frequency plan's 831); nothing changes.
// 0, or 774, 784 or 831 with pcWhy naming the field.
zrErrCode DATA_CheckDTMBParameter(const cJSON* pJson, DATA_Restore* pstOut, char* pcWhy, size_t whyLen);
// The web modulation type whose members a document's channel objects carry
// (3, 4, 5, or 0 for the standards with no members of their own), or -1
// when it has no channel object of any of them.
int DATA_StandardOfDocument(const cJSON* pJson);
