// User NIT: the stored NIT sections of each output stream, edited, imported
// and exported through the web back end (edits work on the working copy).
#pragma once
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include "SIprocess/SIconstruct.h"
#include "TSprocess/tsp_db.h"
#include <functional>

// A descriptor as the web passes it.
typedef struct {
    U8 i_tag;
    U8 i_length;
    U8 auc_data[1024];
} dvbpsi_descriptor_t;

// Storage.
U32 TSP_AddNIT(int nChannel, U32 u32BufLen, U8* pu8Buf);
U32 TSP_NITBuf2TSOutputTable(U16 u16SelectOutTSIndex, NITBuf_t* pstNITBuf);
U32 TSP_DelActualNIT(U16 u16SelectOutTSIndex);
U32 TSP_DelOneNITInfo(U16 u16OutTsIndex);
// True when any NIT record of the stream was edited by the operator.
BOOL TSP_IsNITTableChangedByUser(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS);

// Counting.
U16 TSP_GetNITSectionLen(const U8* pu8Section);
U16 TSP_GetOneTSNITSectionCnt(const NITBuf_t* pstNITBuf);
U16 TSP_GetOneTSNITSectionCnt_OneSectionBuf(const NITBuf_t* pstNITBuf);
U16 TSP_GetImportNITSectionCnt(const U8* pu8Buf, U32 u32Len);

// Edits (working copy).
U32 TSP_EditNITVersionNum(int nChannel, U16 u16VersionNum, U16 u16NetworkID);
U32 TSP_AddNetworkDescriptor(int nChannel, const dvbpsi_descriptor_t* pstDesc);
U32 TSP_DeleteNetworkDesc(int nChannel, int nNetworkDescIndex);
U32 TSP_AddNIT_TS(int nChannel, U16 u16TransportStreamID, U16 u16OriginalNetworkID);
U32 TSP_DelOneTSOfNIT(int nChannel, int nNITTSIndex);
U32 TSP_AddDescriptor2NIT_Ts(int nChannel, int nNITTSIndex, const dvbpsi_descriptor_t* pstDesc);
U32 TSP_EditOneTSDescOfNIT(int nChannel, U32 u32NITTSIndex, U32 u32NITTSDescIndex, const dvbpsi_descriptor_t* pstDesc);
U32 TSP_DeleteOneTSDescOfNIT(int nChannel, U32 u32NITTSIndex, U32 u32NITTSDescIndex);

// Readers.
U32 TSP_GetNITTableInfo(int nChannel, NITTable_t* pstNIT);
U32 TSP_GetOneTsDescInfo(int nChannel, U32 u32NITTSIndex, U32 u32DescIndex, dvbpsi_descriptor_t* pstDesc);

// The delivery system descriptor of an output channel as the RF chain is
// programmed from the set (cable 0x44 for DVB-C and J.83 Annex B,
// terrestrial 0x5A for DVB-T, ISDB-T's 0xFA): its byte length with tag and
// length, 0 where the standard gives none (DTMB, ATSC).
U32 TSP_BuildDeliveryDescriptor(const TParameter_DTMB& set, U32 u32Channel, U8 aru8Desc[13]);
// Adds that descriptor of channel u32EnableChannel to an entry of a NIT.
U32 TSP_ConstructCableDeliverySystemDescriptor(int nChannel, U32 u32OutNITIndex, U32 u32EnableChannel);
// The automatic NIT of a channel: one entry per output stream with its
// transport_stream_id, original_network_id and delivery descriptor,
// committed at once with the version stepped when its content changed.
U32 TSP_AutoAddCableDeliverySystemDescriptor2NIT(U32 u32OutTSChannel);

// Runs an operation that changes only NITs (the automatic NIT, an import)
// on the live database instead of the working copy, so that nothing else of
// the working copy is committed with it; an open working copy then gets the
// same NITs for the channels of u32ChannelMask (bit c: channel c). With
// bStepVersions the NITs are rebuilt ones: each that changed takes the next
// version of the one on air before, an unchanged one keeps it; without,
// they keep their own. The NITs then go on air through the planner with
// what is on air (TSP_PlanApplyTables); when the operation fails or the plan
// does not hold, nothing changed. Nested calls run their operation directly.
// The result is the operation's, else the plan's; the caller saves the file.
U32 TSP_ApplyNITsToLive(U32 u32ChannelMask, bool bStepVersions, const std::function<U32()>& op);

// At the commit of the working copy: each channel's NIT that the edits
// changed takes the next version of the live one, unless the operator set
// another version (SetNitVersionNum.w).
void TSP_StepCommittedNITVersions(Output_TSInfo* pstWork, Output_TSInfo* pstLive);

// Export (live database) and import (working copy): sections end to end.
// The length goes to pu32Length (0 on failure); the result is 0 or the error,
// so a length never reads as an error code.
U32 TSP_GetExportNITLength(int nChannel, U32* pu32Length);
U32 TSP_GetExportNITBuf(int nChannel, U8* pOutBuf, U32 u32BufLen);
// Refuses (nothing changed) sections that run past u32Len or are shorter
// than a NIT's fixed fields.
U32 TSP_AddNITByImport(int nChannel, const U8* pNITBuf, U32 u32Len);
