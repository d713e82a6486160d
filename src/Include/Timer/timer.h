// Tick timer of the SI carousel: a thread that counts periods of the PSI
// interval and wakes the carousel thread at each count.
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
// Sleeps until the tick count differs from u32Seen, at most u32MaxMs; gives the count.
U32 Timer_WaitTick(U32 u32Seen, U32 u32MaxMs);
zrErrCode Timer_usleep(U32 u32uSec);
// Hour (0..23) of the current time in the back board's time zone.
U8 gettime(void);
