// Serial lines of the card: "/dev/ttyPS1" to the back board (uart1) and
// "/dev/ttyPS0" (uart0), each with one semaphore around reads and writes.
#pragma once
#include "Common/types.h"

typedef enum {
    ZR_UART_SUCCESS = 0,
    ZR_UART_PARAM_ERR = 1,
    ZR_UART_OPEN_ERR = 2,
    ZR_UART_ALREADY_OPEN_ERR = 3,
    ZR_UART_GET_OLDCONFIG_ERR = 4,
    ZR_UART_SET_CONFIG_ERR = 5
} UARTErrCode;

// Bytes one read delivers; the caller's buffer must hold this many.
#define UART_READ_LEN 140

extern int g_UART1Fd;

int uart_OpenDev(const char* path);
UARTErrCode uart_Set(int fd, int speed, int databits, int stopbits, int parity);

UARTErrCode uart1_Init(void);
UARTErrCode uart1_Read(U8* pReadBuf, S32* ps32Readlen);
UARTErrCode uart1_Write(U8* pWriteBuf, S32 s32Writelen);
void uart1_Flush(void);
// Closes the line (tests; the card keeps it open for ever).
void uart1_Close(void);

UARTErrCode uart0_Init(void);
UARTErrCode uart0_Read(U8* pReadBuf, S32* ps32Readlen);
UARTErrCode uart0_Write(U8* pWriteBuf, S32 s32Writelen);
