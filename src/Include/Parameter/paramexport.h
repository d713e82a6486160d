// Configuration export to the back board ("param_new.conf" in "%dconf.tar"),
// its import checks, and the raw backup "param.conf" with its restore.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

#define PARAM_TSP_CONFIG_FILE "/tarvex_data/K9_OutPutTSP.conf"
#define PARAM_EXPORT_DIR "/var/volatile/"
#define PARAM_EXPORT_FILE "/var/volatile/param_new.conf"
#define PARAM_BACKUP_FILE "/var/volatile/param.conf"
#define PARAM_TS_PARA_SIZE 2457600u
#define PARAM_SYS_PARA_SIZE 102400u

// Header of "param_new.conf"; the JSON file and the OID dump follow it.
typedef struct {
    U32 u32StructStartTag;  // "ARAP"
    U8 u8BoardType;
    U8 u8res[3];
    U32 u32TotalSize;       // u32SysParamsLen + u32TsParamsLen
    U32 u32SysParamsLen;    // bytes of "/tarvex_data/oid.json"
    U32 u32TsParamsLen;     // bytes of "/tarvex_data/oiddata.conf"
    U32 u32res[25];
    U32 u32FileCRC;         // of the payload, starting value 0x04C11DB7
    U32 u32StructEndTag;    // "DNET"
} ST_CONFIGPARA;
static_assert(sizeof(ST_CONFIGPARA) == 128);
static_assert(offsetof(ST_CONFIGPARA, u32TotalSize) == 8);
static_assert(offsetof(ST_CONFIGPARA, u32FileCRC) == 120);

// "param.conf": raw copies of the output-stream file and the parameter file.
typedef struct {
    U8 u8TsPara[PARAM_TS_PARA_SIZE];
    U8 u8SysPara[PARAM_SYS_PARA_SIZE];
} ST_BACKUPPARA;
static_assert(sizeof(ST_BACKUPPARA) == 2560000);

zrErrCode PARAM_InitConfigPara(ST_CONFIGPARA* pstConfigPara);
zrErrCode PARAM_CompressConfigFile(ST_CONFIGPARA* pstConfigPara);
zrErrCode PARAM_WriteParaFile(ST_BACKUPPARA* pstBackUpPara);
zrErrCode PARAM_BackUpPara(ST_BACKUPPARA* pstBackUpPara);
zrErrCode PARAM_CompressBackUpPara(ST_BACKUPPARA* pstBackUpPara);

// Why an import was refused: the code the back board is told and the reason
// the log gives.
struct PARAM_Refusal {
    zrErrCode enCode = ZR_SUCCESS;
    char acReason[192] = {0};
};

// Import of a received "param_new.conf" image: 0 when it passes every check
// of its form (board type, length, part lengths, payload CRC), else 1.
zrErrCode PARAM_CheckConfigData(const U8* pu8Data, size_t len, PARAM_Refusal* pstWhy = nullptr);
// The same on the file; a file that fails is deleted.
zrErrCode PARAM_CheckConfigFile(const char* pcFileName);
// Every check of an image before anything changes: its form, the standard
// it was made in (the header's u8res[0], mode + 1, or for an archive made
// before that the members of its modulation section, and for DTMB, DVB-T and
// ATSC 8VSB what their own members hold) and its modulation values as the
// web checks them, read as what the card ran (DATA_CheckDTMBParameter). 0, or
// the refusal's code: 16 for an archive of another standard, 15 for one of
// old whose standard cannot be told.
zrErrCode PARAM_CheckImport(const U8* pu8Data, size_t len, PARAM_Refusal* pstWhy);
// Checks the file whole (PARAM_CheckImport), then puts its JSON values in
// force (saved in the parameter file and the JSON file, as the card writes
// them) and writes the OID dump; 0, ZR_ERR_NOT_SAVED, or the refusal's code
// (the file deleted, nothing changed).
zrErrCode PARAM_ImportConfigFile(const char* pcFileName, PARAM_Refusal* pstWhy = nullptr);
