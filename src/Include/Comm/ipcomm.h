// Frame link to the back board and the input cards (TCP port 8000).
#pragma once
#include "Common/err.h"
#include "Common/types.h"

S32 IPComm_SendData(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen);
S32 IPComm_SendData2Slot(U32 u32Slot, U32 u32cmd, U8* u8Data, U32 u32DataLen);
S32 IPComm_SendCmd2Slot(U32 u32Slot, U32 u32cmd);
zrErrCode IPComm_SendClearCmd2Slot(U8 u8Slot);
zrErrCode IPComm_SendResToBackBoard(void);
zrErrCode IPComm_SendUpProFlagToBackBoard(U8* OldFlag);
void IPComm_SendEITInfo(void);
zrErrCode IPServer_Start(void);
zrErrCode Iperf3SoftwareInit(void);
void SPI_PthreadMux_Init(void);
