// PSI/SI table models filled from the output-stream database: version steps,
// CA descriptor rewriting, stored NIT chains, ATSC virtual channels and the
// PAT PID of each output channel.
//
// No lock is taken here: callers hold CARD_STATE_LOCK (the apply step, the
// web back end).
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "SIprocess/SIconstruct.h"
#include "TSprocess/tsp_db.h"

// Table type of a stored NIT section (TSTable.u8TableType).
#define TSP_TABLE_TYPE_NIT 2

// Version steps: (v + 1) & 31 once per change, only for valid records.
U32 TSP_IncreasePATVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_IncreaseSDTVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_IncreaseCATVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_IncreasePMTVersionNum(U16 u16OutProIndex, Output_TSInfo* pstParamTS);
U32 TSP_IncreaseNITVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);

// Model builders (each clears its model first and applies a due version step).
U32 TSP_GetOutputPATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, PATTable_t* pstPAT);
U32 TSP_GetOutputCATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, CATTable_t* pstCAT);
U32 TSP_GetOutputSDTTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, SDTTable_t* pstSDT);
U32 TSP_GetOutputPMTTable(U16 u16OutProgIndex, Output_TSInfo* pstParamTS, PMTTable_t* pstPMT);
// Appends the stream's stored NIT sections; 1 when the stream has no NIT.
U32 TSP_GetOutputNITTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, NITBuf_t* pstNITBuf);
U32 TSP_GetOutputVCTTable(U16 u16OutTSIndex, U8 u8VCTTid, Output_TSInfo* pstParamTS, VCTTable_t* pstVCT);
U32 TSP_ConstructNewVCTChannelInfo(Output_TSProgram* pstProgram, Output_TSInfo* pstParamTS, U8 u8VCTTid,
                                   U8 u8ModulationMode, VCTChannelInfo_t* pstChannel);
U32 TSP_ModifyChannelDescriptor(Output_TSProgram* pstProgram, Output_TSInfo* pstParamTS, U16 u16DescriptorLen,
                                U8* pu8Descriptor);

// CA descriptors (tag 0x09) of a raw descriptor loop, changed in place.
U32 TSP_DelAllCaDescriptors(U8* aru8Descriptors, U16* pu16Len);
U32 TSP_DelCaDescriptors(U8* aru8Descriptors, U16* pu16Len, U16 u16CaPID);
// Points CA descriptors at the output PIDs of the listed ECM records;
// returns how many CA descriptors the loop holds.
U8 TSP_ModifyCaDescriptors(U8* aru8Descriptors, U16* pu16Len, Output_TSInfo* pstParamTS,
                           IndexInfoList_t* pstIndexList);

// PAT PID of an output channel: set in the working copy (0..30), read from a database.
zrErrCode TSP_SetPATPID(U16 u16Channel, U16 u16PATPID);
U16 TSP_GetPATPID(U16 u16Channel, Output_TSInfo* pstTempTS);
