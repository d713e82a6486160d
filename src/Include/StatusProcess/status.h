// Card status: slot id, plug map, request flags and system time.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

zrErrCode Status_Init(void);
U8 Status_GetSlotID(void);
zrErrCode Status_GetLinuxTime(U32* pTimeSec);
