// Tick timer of the SI carousel: a thread that counts periods of the PSI
// interval, which the carousel thread polls.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <atomic>

extern std::atomic<U32> g_u32TimerCnt;
extern std::atomic<U32> g_u32uSec;
extern std::atomic<BOOL> g_TimerEnd_flag;

zrErrCode Timer_Start(U32 u32uSec);
void Timer_Init(U32 u32uSec);
void* Timer_Service(void* arg);
void Timer_End(void);
U32 GetTimeCnt(void);
zrErrCode Timer_usleep(U32 u32uSec);
// Hour (0..23) of the current time in the back board's time zone.
U8 gettime(void);
