// Card status: slot id, plug map, request flags and system time.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

typedef struct {
    bool IPConfig;    // own IP address received over the serial link
    bool CommFinish;  // serial exchange with the back board finished
} ST_UartCommFlag;

typedef struct {
    volatile U8 u8SlotID;          // this card's slot, from the FPGA
    volatile U16 u16SubBoardplug;  // bit n set: a board sits in slot n
    ST_UartCommFlag stUartCommflag;
} ST_ZR_STATUS;

extern ST_ZR_STATUS g_stStatus;

zrErrCode Status_Init(void);
U8 Status_GetSlotID(void);
void Status_SetSlotID(U8 u8SlotID);
U16 Status_GetSubBoardPlugStatus(void);
void Status_SetSubBoardPlugStatus(U16 u16Plug);
// Whether a plug map has arrived since start-up.
bool Status_IsSubBoardPlugMapKnown(void);
bool Status_GetIPReqflag(void);
void Status_SetIPReqflag(bool bFlag);
bool Status_GetCommFinishflag(void);
void Status_SetCommFinishflag(bool bFlag);
ST_ZR_STATUS* Status_GetStatusHandler(void);
bool Status_CheckSubBoardPlugExist(SLOT_ID u8slotID);
void Status_SetSystemTime(U32 u32CurrentTime);
zrErrCode Status_GetTimeOfYearDay(U32* pTimeSec, U16* pYear, U16* pMonth, U16* pDay, U16* pHour);
zrErrCode Status_GetLinuxTime(U32* pTimeSec);
