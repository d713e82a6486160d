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
// Every save of the parameter record writes this file too, from the record
// it saves (PARAMS_ParametersSave), so both files always say the same.
zrErrCode DATA_Save(void);
// The file of a set and a PSI interval; with bOnlyChanged a file that holds
// that text already is left alone. Nothing on the slave.
zrErrCode DATA_SaveSet(const TParameter_DTMB* pstSet, U16 u16Psi, bool bOnlyChanged);
// The live set's document.
U8 DATA_Save_DTMBParameter(cJSON* pData, cJSON* pEncoderParameter);
// The file taken back as an import takes it (DATA_Recovery_DTMBParameter):
// 0, or 1 when the file is missing or does not parse, or ZR_ERR_NOT_SAVED
// when the values taken back could not be saved; always 0 on the slave.
int DATA_Recovery(void);
// The card's own file taken back at start-up (DATA_RecoverStoredDTMBParameter);
// results as DATA_Recovery.
int DATA_RecoveryStored(void);
// A document put in force and saved, as it would be checked
// (DATA_CheckDTMBParameter): 0, the code of a refused document, or
// ZR_ERR_NOT_SAVED when the values taken back were not saved.
zrErrCode DATA_Recovery_DTMBParameter(cJSON* pJson);
// A document the card stored itself (or earlier firmware did): read as what
// the card ran with it, a member that cannot be read passed over alone
// (logged under pcName), never the rest; put in force and saved. 0 or
// ZR_ERR_NOT_SAVED.
zrErrCode DATA_RecoverStoredDTMBParameter(const cJSON* pJson, const char* pcName);

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
// What earlier firmware stored is read as what it ran first
// (DTMB_ReadStoredSet: a level past the attenuator's word, a value of a
// channel its chip's first channel decides when the document holds that
// one too). 0, or 774, 784 or 831 with pcWhy naming the field.
zrErrCode DATA_CheckDTMBParameter(const cJSON* pJson, DATA_Restore* pstOut, char* pcWhy, size_t whyLen);
// The web modulation type whose members a document's channel objects carry
// (3, 4, 5, or 0 for the standards with no members of their own), or -1
// when it has no channel object of any of them.
int DATA_StandardOfDocument(const cJSON* pJson);
// For a document of web type 0 (DTMB, DVB-T and ATSC 8VSB write the same
// members): the modulation modes it can be of, as bits 1 << mode (0, 1, 6),
// told from what each standard's own members hold and how its frequencies
// lie; 0 when they contradict each other.
U32 DATA_ModesOfDocument(const cJSON* pJson);
