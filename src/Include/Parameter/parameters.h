// The persisted parameter record, its file and the store start-up.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include <cstddef>

#define PARAMS_CONFIG_FILE "/tarvex_data/K9_DTMB.conf"

// Tags: 32-bit words that spell the text beside them as bytes in file order.
#define PARAMS_STRUCT_START_TAG 0x50415241u  // "ARAP"
#define PARAMS_STRUCT_VERSION 0x20170310u
#define PARAMS_IPMONITOR_START_TAG 0x49504D54u  // "TMPI"
#define PARAMS_DTMB_START_TAG 0x44544D42u       // "BMTD"
#define PARAMS_STRUCT_END_TAG 0x54454E44u       // "DNET"
// Starting value of every CRC of the parameter file.
#define PARAMS_CRC_INIT 0x04C11DB7u

typedef struct {
    U32 u32StructStartTag;
    QAM_IPMonitorPara stIPMonitorParams;
    U32 u32StructCRC;  // over the start tag and the body (68 bytes)
    U32 u32StructEndTag;
} ST_ZR_IPMONITOR;
static_assert(sizeof(ST_ZR_IPMONITOR) == 76);

typedef struct {
    U32 u32StructStartTag;
    TParameter_DTMB stDTMBParams;
    U32 u32StructCRC;  // over the start tag and the body (768 bytes)
    U32 u32StructEndTag;
} ST_ZR_DTMB;
static_assert(sizeof(ST_ZR_DTMB) == 776);

// The persisted parameter record: the whole of "/tarvex_data/K9_DTMB.conf".
typedef struct ST_ZR_PARAMS {
    U32 u32StructStartTag;
    U32 u32StructVersionIndex;
    ST_ZR_IPMONITOR st_IPMonitorParams;
    ST_ZR_DTMB st_DTMBParams;
    U32 u32StructCRC;  // over bytes 0 to 859
    U32 u32StructEndTag;
} ST_ZR_PARAMS;
static_assert(sizeof(ST_ZR_PARAMS) == 868, "parameter file is 868 bytes");
static_assert(offsetof(ST_ZR_PARAMS, u32StructVersionIndex) == 4);
static_assert(offsetof(ST_ZR_PARAMS, st_IPMonitorParams) == 8);
static_assert(offsetof(ST_ZR_PARAMS, st_IPMonitorParams.stIPMonitorParams) == 12);
static_assert(offsetof(ST_ZR_PARAMS, st_IPMonitorParams.u32StructCRC) == 76);
static_assert(offsetof(ST_ZR_PARAMS, st_IPMonitorParams.u32StructEndTag) == 80);
static_assert(offsetof(ST_ZR_PARAMS, st_DTMBParams) == 84);
static_assert(offsetof(ST_ZR_PARAMS, st_DTMBParams.stDTMBParams) == 88);
static_assert(offsetof(ST_ZR_PARAMS, st_DTMBParams.u32StructCRC) == 852);
static_assert(offsetof(ST_ZR_PARAMS, st_DTMBParams.u32StructEndTag) == 856);
static_assert(offsetof(ST_ZR_PARAMS, u32StructCRC) == 860);
static_assert(offsetof(ST_ZR_PARAMS, u32StructEndTag) == 864);

// Versions of both chips, filled by the chip link.
typedef struct {
    U8 bISSameFlg;
    U32 u32MasterBuildSoftVer;
    U32 u32MasterLogVer;
    U32 u32SlaveBuildSoftVer;
    U32 u32SlaveLogVer;
} ST_VERSION_INFO;
static_assert(sizeof(ST_VERSION_INFO) == 20);

extern ST_ZR_PARAMS g_stCurPE;
extern ST_VERSION_INFO g_stVersionInfo;

// The card's modulation mode (0 DTMB, 1 DVB-T, 3 DVB-C, 4 J.83 Annex B,
// 5 ISDB-T, 6 ATSC 8VSB), set once by main from the board type.
extern U32 g_u32ModulationMode;
U32 PARAMS_GetModulationMod(void);
void PARAMS_VerCmpFlag(ST_VERSION_INFO* pstVerInfo);

// The persisted record; callers change fields in place and then save it.
ST_ZR_PARAMS* PARAMS_GetCurParamsHandler(void);
zrErrCode PARAMS_GetDTMBParams(ST_ZR_DTMB* pstDTMBParams);
zrErrCode PARAMS_GetIPMonitorParams(ST_ZR_IPMONITOR* pstIPMParams);

// The lock that serialises saves of the parameter file.
zrErrCode PARAMS_InitParametersSem(void);
void PARAMS_GetParametersSem(void);
void PARAMS_FreeParametersSem(void);

// Recomputes the three CRCs in the record and replaces the file, and on the
// master the JSON parameter file from the same record. The
// wrappers return the save's result: a set they copied in stays in the RAM
// record when the save fails, and the next save that succeeds writes it.
zrErrCode PARAMS_ParametersSave(ST_ZR_PARAMS* stModifiedParams);
zrErrCode PARAMS_SaveCurParam(void);
zrErrCode PARAMS_SetDTMBParams(TParameter_DTMB pstDTMBParams);
zrErrCode PARAMS_SetIPMonitorParams(QAM_IPMonitorPara* pstIPMParams);

// Notes the outcome of a save of a persisted file: the first failure after a
// success is logged at error level, further failures are not (the store stays
// full for a while and the log must not repeat itself), and the success that
// ends them is logged at info level.
void PARAMS_NoteSave(const char* pcFileName, bool bSaved, int err);

// Start-up check (0 good, 1 missing or damaged, 15 other size or version),
// load, and copy into the live sets.
zrErrCode PARAMS_VerifyConfigFiles(void);
// The start-up checks of a parameter record image (CRC, size, version),
// logged under the file name given; changes nothing.
zrErrCode PARAMS_CheckRecord(const U8* pu8Buf, size_t size, const char* name);
zrErrCode PARAMS_Load(void);
zrErrCode PARAMS_Update_DTMB(void);
zrErrCode Master_PARAMS_Factory(void);
zrErrCode Slave_PARAMS_Factory(void);
// The factory sets and record of a role in RAM, nothing saved (the start-up
// takes the JSON parameter file back into them before it saves).
zrErrCode PARAMS_FactoryUnsaved(bool bMaster);

// Whole-file operations. Every write replaces the file crash-safely.
zrErrCode PARAMS_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAMS_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAM_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAM_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);

// The output-stream file: the live database's five record arrays behind a
// 240-byte header, ending with a CRC. Master only.
#define PARAMS_TSP_CONFIG_FILE "/tarvex_data/K9_OutPutTSP.conf"
#define PARAMS_TSP_FILE_VERSION 0x20170310u
#define PARAMS_TSP_HEADER_LEN 240u
zrErrCode PARAMS_TSPParametersSave(void);
zrErrCode PARAMS_VerifyTSPConfigFiles(void);
zrErrCode PARAMS_TSP_Load(void);
zrErrCode PARAMS_TSP_Factory(void);
zrErrCode PARAMS_WEB_Factory(U8 u8Mode);
// Checks a whole file image (0, 1 damaged, 15 other size or version) and
// gives its five counts.
zrErrCode PARAMS_TSPCheckImage(const U8* pu8Buf, size_t len, U32 aru32Count[5]);
// Replaces the live database with a file image after checking it (0 or 1).
zrErrCode PARAMS_TSPLoadImage(const U8* pu8Buf, size_t len);

// Store start-up of each role.
zrErrCode Master_PARAMS_Init(void);
zrErrCode Slave_PARAMS_Init(void);
