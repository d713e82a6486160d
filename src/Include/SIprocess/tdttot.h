// DVB time tables of the output streams: the TDT and the TOT on PID 20,
// built from the clock on the carousel's time step; the operator's TOT edits
// (working copy) and the settings the slave chip gets for its channels.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "SIprocess/SIconstruct.h"
#include "TSprocess/tsp_db.h"

#define TSP_TOT_PID 20
#define TSP_TOT_TABLE_ID 0x73
#define TSP_TABLE_TYPE_TOT 5
#define TSP_TOTBUF_LEN 40000
#define TSP_TOT_MODELS_LEN (8 * sizeof(TOTTable_t))

#pragma pack(push, 1)
typedef struct _TOTBuf {
    U16 u16TOTLength;                  // bytes used
    U32 u32OutputTOTSectionOffset;     // write offset
    U8 aru8OutputTOTSection[TSP_TOTBUF_LEN];
} TOTBuf_t;
#pragma pack(pop)

// Slave chip: what the master last sent for channels 0..7 (commands 866,
// 869 and 870, copied in by the chip link).
extern U8 u8TDTEnableFlag[8];
extern U8 u8TOTEnableFlag[8];
extern TOTTable_t g_stTOTInfo[8];

// Generation, on the carousel's time step (carousel lock held by the caller).
U32 TSP_ConstructTDT(void);
U32 TSP_ConstructTOT(void);

// Master to slave, after every apply.
void TSP_SendSubTDTEnableFlag(void);
void TSP_SendSubTOTEnableFlag(void);
void TSP_SendSubTOTTableInfo(void);

// Operator edits (working copy; the channel is looked up in the live database).
U32 TSP_GetTOTTableInfo(int nChannel, TOTTable_t* pstTOTTable);
zrErrCode TSP_EditTOT_LTODescriptor(U16 u16Channel, TOTBuf_t* stTOTBuf);
U32 TSP_DelTOT(int nChannel);
U32 TSP_TOTBuf2TSOutputTable(int nSelectOutTSIndex, TOTBuf_t* pstTOTBuf);
U32 TSP_DelActualTOT(int nSelectOutTSIndex);

// Queries and buffers.
BOOL TSP_IsTOTTableChangedByUser(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS);
U32 TSP_GetOutputTOTTable(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS, TOTBuf_t* pstTOTBuf);
U16 TSP_GetOneTSTOTSectionCnt(TOTBuf_t* pstTOTBuf);
U16 TSP_GetTOTSectionLen(const U8* pu8Section);
U16 TSP_GetOneTSTOTSectionCnt_OneSectionBuf(TOTBuf_t* pstTOTBuf);
zrErrCode TSP_InitTOT(TOTTable_t* stTOTInfo);

// Text conversions for the web pages (outputs limited to 32 bytes).
void TSP_TOTTimeW2Hex(U8* pTimeWeb, U8* aru8UTCTime);
void TSP_TOTTimeHex2W(U8* pTimeWeb, U8* aru8UTCTime);
U32 TSP_CountryCodeW2Hex(U8* pCountryCodeStr);
U32 TSP_CountryCodeHex2W(U32 u32CountryCode, U8* pCountryCodeStr);
U16 TSP_TimeOffsetW2Hex(U8* pTimeWeb);
void TSP_TimeOffsetHex2W(U16 u16TimeOffset, U8* pTimeWeb);
