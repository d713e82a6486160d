// Serial link to the back board: one request frame, one answer frame, on
// "/dev/ttyPS1" ("GGGG", slot, command, length, data, CRC).
#pragma once
#include "Common/err.h"
#include "Common/types.h"

#define UARTCOMM_HEADER 0x47474747u
#define UARTCOMM_DATA_MAX 560
#define UARTCOMM_CRC_INIT 0x04C11DB7u

typedef enum {
    UARTCOMM_REQ_IP = 2,
    UARTCOMM_ANS_IP = 3,
    UARTCOMM_REQ_BREAK = 4,
    UARTCOMM_ANS_BREAK = 5,
    UARTCOMM_REQ_TIME = 6,
    UARTCOMM_ANS_TIME = 7,
    UARTCOMM_REQ_ERRCODE = 8,
    UARTCOMM_ANS_ERRCODE = 9,
    UARTCOMM_REQ_SLOTMAP = 10,
    UARTCOMM_ANS_SLOTMAP = 11,
    UARTCOMM_REQ_RESOURCE = 14,
    UARTCOMM_ANS_RESOURCE = 15,
} ZR_UARTCOMM_CMD;

typedef struct {
    U32 u32Header;
    U8 u8SlotID;
    U8 u8CMD;
    U16 u16Length;
    U8 pu8Data[UARTCOMM_DATA_MAX];
    U32 u32StructCRC;
} ST_ZR_UARTCOMM;

typedef struct {
    U8 isKxa200;
} ST_ZR_UARTRESOURCE;

// Result of UartComm_GetIpAddr when the fall-back addresses were taken.
#define UARTCOMM_IP_FALLBACK ((zrErrCode)2)

void UartComm_init(void);
// Shortens the exchanges for tests: tries of each exchange, reads per try
// and the pause between reads.
void UartComm_SetTestTries(int tries, int reads, int readPauseMs);
void UartComm_sendData(U8 u8Slot, U8 u8Cmd, const U8* pu8Data, U16 u16Len);
zrErrCode UartComm_ParseData(const U8* pu8Buf, S32 s32Len, U8 u8Slot, ST_ZR_UARTCOMM* pstRecord);
zrErrCode UartComm_RecvData(U8 u8Slot, ST_ZR_UARTCOMM* pstRecord);
void UartComm_RequestIP(U8 u8Slot);
void UartComm_RequestBreak(U8 u8Slot);
zrErrCode UartComm_GetIpAddr(U8 u8slot);
void UartComm_GetTime(void);
void UartComm_GetSlotMap(void);
void UartComm_GetResource(void);
void UartComm_SendErrorCodeToBB(U32 u32ErrCode);
zrErrCode UartComm_Start(void);
void* UartComm_Service(void* arg);
