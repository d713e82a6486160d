// Conflict resolution of output streams: service ids, output PIDs and ATSC
// channel numbers made unique within each stream, and the operator's PID check.
// Callers hold CARD_STATE_LOCK (one PID-use map serves every caller).
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

#define TSP_ERR_NO_FREE_PID 0xC0009u
#define TSP_PID_SEARCH_FIRST 51u
#define TSP_PID_MAX_GIVEN 8190u
#define TSP_PSIP_BASE_PID 0x1FFBu
// PIDs below TSP_PID_SI_END carry the card's own tables (PAT, CAT, NIT, SDT,
// EIT, TDT/TOT and the rest of the DVB range); from TSP_PID_SI_FIRST on they
// are DVB SI an input may pass through as a stream's other PID.
#define TSP_PID_SI_FIRST 0x10u
#define TSP_PID_SI_END 0x20u
#define TSP_PID_NULL 0x1FFFu

// The PID record under resolution.
typedef struct PidMuxInfo_S {
    PIDTYPE_E ePidType;
    U16 u16OutPutOffest;     // program (PMT, PCR) or PID record (others)
    U16 u16ProgramOffest;    // owning program; 0xFFFF for EMM and other PIDs
    U8 u8SourceSlotID;
    U16 u16SourceChannelID;
    U16 u16InputPid;
    U16 u16NewOutPutPid;
    U32 u32Rvd;
} PidMuxInfo_t;

U32 TSP_AddOutputTSHandleServID(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_AddOutputTSHandlePid(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_AddOutputProgramHandlePid(U16 u16OutputTSIndex, U16 u16ProgramOffset, Output_TSInfo* pstParamTS);
U32 TSP_AddOutputPidHandlePid(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16ProgramOffset, U16 u16PidOffset,
                              Output_TSInfo* pstParamTS);
U32 TSP_GetPidMuxInfo(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16PidOffset, const Output_TSInfo* pstParamTS,
                      PidMuxInfo_t* pstPidMuxInfo);
U32 TSP_CheckOutPidInfo(PIDTYPE_E ePidType, U16 u16PidOffset, const Output_TSInfo* pstParamTS);
U32 TSP_GetPidUseListByIndex(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16BuffLen,
                             const Output_TSInfo* pstParamTS, U8* aru8PidList);
U32 TSP_GetPidUseListByOutputTsIdex(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16BuffLen,
                                    const Output_TSInfo* pstParamTS, U8* aru8PidList);
U32 TSP_GetPidUseList(U16 u16OutTSIndex, const PidMuxInfo_t* pstPidMuxInfo, U16 u16BuffLen,
                      const Output_TSInfo* pstParamTS, U8* aru8PidList);
U32 TSP_ModifyOutputTSNewPid(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16NewPid,
                             Output_TSInfo* pstParamTS);
U32 TSP_CheckOutputPidConflict(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16PidOffset, U16 u16NewPid,
                               Output_TSInfo* pstParamTS, U8* pu8Flag);
U32 TSP_CheckPidConflict(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutputTSIndex, U16 u16NewPid,
                         const Output_TSInfo* pstParamTS, BOOL* pbIsConflict);
U32 TSP_ModifyBroadcastPid(U16 u16OutTSIndex, const PidMuxInfo_t* pstPidMuxInfo, U16 u16NewPid,
                           Output_TSInfo* pstParamTS);
U32 TSP_AddOutTSHandleChannelNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
U32 TSP_AddOutProgHandleChannelNum(U16 u16OutTSIndex, U16 u16ProgramOffset, Output_TSInfo* pstParamTS);
U32 TSP_AddOutputProgramHandleServID(U16 u16OutputTSIndex, U16 u16OutProgIndex, Output_TSInfo* pstParamTS);
BOOL TSP_IsSeviceIdConflictInTs(U16 u16OutProgIndex, U16 u16ServiceId, U16 u16OutputTSIndex,
                                Output_TSInfo* pstParamTS);
U32 TSP_GetTsServiceIdList(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS, U32* aru32ServiceIdList);
