// Serial link to the back board.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

void UartComm_init(void);
zrErrCode UartComm_GetIpAddr(U8 u8slot);
void UartComm_GetTime(void);
void UartComm_GetSlotMap(void);
void UartComm_GetResource(void);
