// The apply step: conflicts, routing tables, PSI/SI regeneration, saving
// and the slave's time-table settings; and the per-channel status report.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"
#include <atomic>

// Input cards asked to drop an output channel that have not yet answered
// with the apply command (the apply-command handler counts it down). Atomic:
// the web back end waits on it without the card-state lock.
extern std::atomic<U8> g_DelDestChannelNum;

// 0 on success, else the code of the first step that failed (logged).
U32 TSP_MuxProcess(void);
U32 TSP_ConflictProcess(void);
U32 TSP_MuxTsSIProc(U32 u32OutputTsIndex);
U32 TSP_UpdateResourceInfo(void);

// The live database replaced whole by pstNew through the planner
// (TSP_PlanReplace), then saved as an apply is. *pbInForce tells whether it
// replaced the live one (pstNew then holds the old database, for the caller
// to release); the result is the refusal, or else the save's.
U32 TSP_ReplaceProcess(Output_TSInfo* pstNew, const char* pcRoad, bool* pbInForce);

// Key of the resource report waiting in the carousel's outbox.
#define TSP_RESOURCE_REPORT_KEY (0x10000u | 257u)
