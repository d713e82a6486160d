// Frame link to the back board and the input cards (TCP port 8000).
#pragma once
#include "Common/err.h"
#include "Common/types.h"

// Command codes of the frame link (U16 in the frame).
typedef enum {
    IPCOMM_SUCCESS_CMD = 1,
    IPCOMM_SEND_RESOUR = 257,
    IPCOMM_SEND_DATA = 258,
    IPCOMM_SEND_TS = 259,
    IPCOMM_SEND_PROGRAM = 260,
    IPCOMM_SEND_PID = 261,
    IPCOMM_DEL_TS = 262,
    IPCOMM_DEL_PROGRAM = 263,
    IPCOMM_SEND_OVER = 264,
    IPCOMM_CLEAR_INPUT = 265,
    IPCOMM_CLEAR_OUTPUT = 266,
    IPCOMM_CHANGE_PROGRAM = 267,
    IPCOMM_CHANGE_PID = 268,
    IPCOMM_PROG_SET_DESCRAMBLE = 269,
    IPCOMM_DEL_SCR = 270,
    IPCOMM_SEND_TSP_MUX_PROCESS = 271,
    IPCOMM_SEND_NIT_TABLE = 273,
    IPCOMM_DEL_PID = 274,
    IPCOMM_MONITOR_PID = 275,
    IPCOMM_SEND_EITINFO = 278,
    IPCOMM_SEND_EITINFO_OVER = 279,
    IPCOMM_SEND_DESCRIPTOR = 288,
    IPCOMM_DEL_DESCRIPTOR = 289,
    IPCOMM_SEND_SUBPLUGFLAG = 513,
    IPCOMM_SEND_IP = 514,
    IPCOMM_SEND_INDSTATUS = 515,
    IPCOMM_SEND_BACKUPPARA = 516,
    IPCOMM_SEND_EXPORTPARA = 517,
    IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR = 2067,
    IPCOMM_SEND_DEL_DESTCHANNEL = 2068,
    IPCOMM_SEND_UPGRADE = 3841,
    IPCOMM_REQ_REBOOT = 3842,
    IPCOMM_FTP_UPGRADE = 3843,
    IPCOMM_SEND_IPERF3_TO_SUBB = 3846,
    IPCOMM_SEND_PROCESS_UPGRADE = 3847
} IPCOMM_CMD;

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
