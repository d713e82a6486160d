// Frame link to the back board and the input cards (TCP port 8000): send
// routines, reply frames, the reassembly table and the frame server.
#pragma once
#include "Comm/framecodec.h"
#include "Common/err.h"
#include "Common/types.h"
#include "Parameter/paramexport.h"

// Command codes of the frame link, as carried in the frame's U16. A number
// from the wire is checked against the known codes before it becomes one.
typedef enum : U16 {
    IPCOMM_SUCCESS_CMD = 1,
    IPCOMM_DATA_ERROR = 2,
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
    IPCOMM_IP_TEMP_FULL = 1287,
    IPCOMM_COMBINEPACK_ERROR = 1288,
    IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR = 2067,
    IPCOMM_SEND_DEL_DESTCHANNEL = 2068,
    IPCOMM_SEND_UPGRADE = 3841,
    IPCOMM_REQ_REBOOT = 3842,
    IPCOMM_FTP_UPGRADE = 3843,
    IPCOMM_SEND_IPERF3_TO_SUBB = 3846,
    IPCOMM_SEND_PROCESS_UPGRADE = 3847
} IPCOMM_CMD;

// Reassembly entry of a multi-frame transport-stream record.
#define IPCOMM_TMP_NUM 15
#define IPCOMM_TMP_DATA_LEN 5120
typedef struct {
    U8 u8OccupyFlag;
    U8 u8SlotID;
    U16 u16CMD;
    U32 u32curPacket;
    U32 u32Length;
    U8 pu8Data[IPCOMM_TMP_DATA_LEN];
    U64 u64LastUseMs;  // when a frame was last stored (idle entries age out)
} ST_ZR_IPCOMM_TMPData;

extern ST_ZR_IPCOMM_TMPData g_IPComm_Tmpdata[IPCOMM_TMP_NUM];

// Bounded waits of the send routines (milliseconds).
#define IPCOMM_CONNECT_WAIT_MS 3000
#define IPCOMM_REPLY_WAIT_MS 10000
// How long the frame server waits for the rest of a frame.
#define IPCOMM_SERVER_READ_WAIT_MS 5000
// A reassembly entry without a new frame for this long is freed.
#define IPCOMM_TMP_IDLE_MS 60000

// True when a wire number is one of the frame link's command codes.
bool IPComm_IsKnownCmd(U16 u16Cmd);

void IPComm_SetStruct(ST_ZR_IPCOMM* pstIPComm, U16 u16Cmd, U32 u32CurNum, U32 u32SumNum);
void IPComm_LoadData(ST_ZR_IPCOMM* pstIPComm, U8* pu8Buf, U32* pu32Len);
void IPComm_SetCommST(ST_ZR_IPCOMM* pstIPComm, U8 u8SlotID, U16 u16Cmd);
void IPComm_SendTo(S32 s32Socket, U16 u16Cmd, const U8* pu8Data, U32 u32DataLen, U32 u32CurNum, U32 u32SumNum);
void IPComm_ResponseSuccess(S32 s32Socket);
void IPComm_ResponseError(S32 s32Socket);
void IPComm_ResponseErrorCode(S32 s32Socket, U16 u16Code);
zrErrCode IPComm_ParseData(U8* pu8Buf, S32 s32Len, ST_ZR_IPCOMM* pstIPComm);
zrErrCode IPComm_MACParseData(U8* pu8Buf, S32 s32Len, ST_ZR_IPCOMM* pstIPComm);
zrErrCode IPComm_CombinePack(ST_ZR_IPCOMM* pstIPComm);
void IPComm_ClearTmpData(ST_ZR_IPCOMM* pstIPComm);
// Result of the reassembly step of the last frame IPComm_ParseData stored
// (0 when it stored none): the dispatcher answers an overflow with 1288.
zrErrCode IPComm_LastCombineResult(void);
// The reassembly entry the last frame overflowed (and freed), with the data
// joined before it; nullptr when the last frame overflowed none.
const ST_ZR_IPCOMM_TMPData* IPComm_LastOverflow(void);
// Reads one frame from an accepted connection: until the header's length is
// complete, the peer closes, or the server's read wait ends. Returns the
// bytes read (at most u32BufLen).
S32 IPComm_RecvFrame(S32 s32Socket, U8* pu8Buf, U32 u32BufLen, int waitMs);
// True when the bytes read so far make a whole frame, can never make one
// (a length field above 1,400) or fill the buffer: reading stops.
bool IPComm_FrameWhole(const U8* pu8Buf, U32 u32Got, U32 u32BufLen);

S32 IPComm_SendCmd(U32 u32IpAddr, U32 u32cmd);
S32 IPComm_SendData(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen);
// As IPComm_SendData; with bSilentEnds a frame that got no reply within the
// reply wait ends the send at once (time-out) instead of being tried again.
S32 IPComm_SendDataTo(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen, bool bSilentEnds);
// As IPComm_SendDataTo with bSilentEnds, each reply awaited at most waitMs
// instead of the reply wait: for a caller that must answer its own request soon.
S32 IPComm_SendDataWithin(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen, int waitMs);
// As IPComm_SendCmd, the reply awaited at most waitMs, a silent peer not asked again.
S32 IPComm_SendCmdWithin(U32 u32IpAddr, U32 u32cmd, int waitMs);
void IPComm_Request_SendResource(void);
void IPComm_SendResource(S32 s32Socket);
// Tests shorten the reply wait of the send routines with this.
void IPComm_SetReplyWaitMs(int ms);
S32 IPComm_SendData2Slot(U32 u32Slot, U32 u32cmd, U8* u8Data, U32 u32DataLen);
S32 IPComm_SendCmd2Slot(U32 u32Slot, U32 u32cmd);
zrErrCode IPComm_SendClearCmd2Slot(U8 u8Slot);
zrErrCode IPComm_SendResToBackBoard(void);
zrErrCode IPComm_SendUpProFlagToBackBoard(U8* OldFlag);
// Thread body that nothing starts: while an FTP upgrade runs, reports its
// stage to the back board and prepares the reboot, again and again.
void* Send_SlotUpgradeProccessStatus(void* arg);
void IPComm_SendEITInfo(void);
zrErrCode IPServer_Start(void);
void* IPComm_Server_Service(void* arg);
void IPComm_Response(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm);

// Back-board services the dispatcher starts.
U32 IPComm_ChangeIP(U8 u8Slot, U8* pu8Data);
zrErrCode IPComm_GetAndSetParam(void);
// Frame 516 in two steps, so that its answer can follow the checks: the
// archive fetched, unpacked and checked whole (a raw backup restored), 0 or
// the refusal's code (never 1 or 2), logged in one line; then the checked
// export taken into force and programmed.
zrErrCode IPComm_GetTheConfParam(ST_BACKUPPARA* pstBackUpPara);
zrErrCode IPComm_SetTheConfParam(void);
zrErrCode FTP_SendBackUpPara(void);
zrErrCode NetWorkQualityTest(U8* pu8Cmd);
zrErrCode IPComm_WriteParaFile(U8* pu8Data, U32 u32Len);
zrErrCode Iperf3SoftwareInit(void);
void SPI_PthreadMux_Init(void);
