// The operator's edits of the working copy: whole stream and program views,
// the one-field setters they use (on the database given) and the undo of a
// program's PIDs.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_view.h"

// Conflict flag: 1 service id used, 2 PID conflict, 0 edit done.
U32 TSP_ModifyTSInfoByWeb(Output_WebTSInfo* pstWebTSInfo, U8* pu8ConflictFlag);
U32 TSP_ModifyProgramInfoByWeb(U16 u16Channel, Output_WebProgramInfo* pstWebProInfo, U8* pu8ConflictFlag);

U32 TSP_ModifyOutTSID(U16 u16OutTSIndex, U16 u16NewTSID, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutTSModulationMode(U16 u16OutTSIndex, U8 u8ModulationMode, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutTSTDTInsert(U16 u16OutTSIndex, U8 u8TDTInsert, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutTSHasTsInfoFlag(U16 u16OutTSIndex, U8 u8HasTsInfoFlag, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutTSOriginalNetworkID(U16 u16OutTSIndex, U16 u16NewNetworkID, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutServiceName(U16 u16OutTSIndex, U16 u16ProgramIndex, U8* pu8Name, U8 u8Len, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutProviderName(U16 u16OutTSIndex, U16 u16ProgramIndex, U8* pu8Name, U8 u8Len,
                              Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutServiceID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16 u16ServiceID, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutPMTPID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16 u16PID, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutPCRPID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16 u16PID, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutESPID(U16 u16ProgramIndex, U16 u16PID, U32 u32PIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutChannelNum(U16 u16TSIndex, U16 u16ProgramIndex, U16 u16MajorChannelNum, U16 u16MinorChannelNum,
                            Output_TSInfo* pstParamTS);
U32 TSP_ModifyOutServiceType(U16 u16TSIndex, U16 u16ProgramIndex, U8 u8ServiceType, Output_TSInfo* pstParamTS);
U32 TSP_RebackTempInfo(U16 u16ProgramIndex, U16 u16PCRPID, U16 u16PMTPID, U16* pu16ESPID, U16* pu16ESIndex,
                       U16 u16ESNumber);
U8 TSP_IsEditSeviceIdConflict(U16 u16Position, U16 u16ServiceId, const Output_WebTSInfo* pstWebTSInfo);
