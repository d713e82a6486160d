// Frame link: send routines (one TCP connection per frame, four attempts,
// bounded waits), reply frames, frame checking and the reassembly table of
// multi-frame transport-stream records.
#include "Comm/ipcomm.h"
#include "Common/commonfun.h"
#include "Driver/Socket/socket.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

ST_ZR_IPCOMM_TMPData g_IPComm_Tmpdata[IPCOMM_TMP_NUM];

namespace {

std::atomic<int> s_replyWaitMs{IPCOMM_REPLY_WAIT_MS};
zrErrCode s_lastCombine = ZR_SUCCESS;
// The entry a frame overflowed and freed, its joined data still in place.
const ST_ZR_IPCOMM_TMPData* s_pstLastOverflow = nullptr;
constexpr int kAttempts = 4;

U64 NowMs()
{
    return (U64)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

#define SOCK_ERR(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SOCK_INFO(fmt, ...) log_printf(LOG_LEVEL_INFO, LOG_MODULE_SOCKET, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

// One attempt: a fresh connection, one frame, one reply. Returns 0 with the
// reply's command in *reply (0 when no valid reply came), or 1538/1539
// when the connection could not be made.
zrErrCode Attempt(U32 ip, U16 cmd, const U8* data, U32 len, U32 idx, U32 total, U16* reply, int waitMs)
{
    *reply = 0;
    // A slot whose address is not known has 0, which would reach this very host.
    if (ip == 0) {
        SOCK_ERR("IP communication socket connect failed!\n");
        return ZR_ERR_SOCKET_CONNECT_FAIL;
    }
    S32 fd = -1;
    if (socketC_open(&fd) != ZR_SOCKETC_SUCCESS) {
        SOCK_ERR("IP communication socket open failed!\n");
        return ZR_ERR_SOCKET_OPEN_FAIL;
    }
    if (socketC_connectTimed(fd, ip, IPCOMM_CONNECT_WAIT_MS) != ZR_SOCKETC_SUCCESS) {
        SOCK_ERR("IP communication socket connect failed!\n");
        close(fd);
        return ZR_ERR_SOCKET_CONNECT_FAIL;
    }
    plat::SetSocketTimeouts(fd, waitMs, waitMs);
    IPComm_SendTo(fd, cmd, data, len, idx, total);
    U8 buf[4096];
    S32 n = IPComm_RecvFrame(fd, buf, sizeof(buf), waitMs);
    ST_ZR_IPCOMM rec;
    // Replies never reach the reassembly table: they are checked only.
    if (n > 0 && FrameCodec_Decode(buf, (size_t)n, &rec) == ZR_SUCCESS)
        *reply = rec.u16CMD;
    close(fd);
    return ZR_SUCCESS;
}

ST_ZR_IPCOMM_TMPData* FindEntry(U16 cmd, U8 slot)
{
    for (ST_ZR_IPCOMM_TMPData& e : g_IPComm_Tmpdata)
        if (e.u8OccupyFlag && e.u16CMD == cmd && e.u8SlotID == slot)
            return &e;
    return nullptr;
}

void AgeOut(U64 now)
{
    for (ST_ZR_IPCOMM_TMPData& e : g_IPComm_Tmpdata)
        if (e.u8OccupyFlag && now - e.u64LastUseMs > IPCOMM_TMP_IDLE_MS) {
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SYS, "%ld:%s:%d Temp data slot[%d] cmd[0x%x] aged out\n",
                       LOG_POS, e.u8SlotID, e.u16CMD);
            e.u8OccupyFlag = 0;
        }
}

// Address of a slot's card; 0 (unreachable) for a number that is no slot,
// rather than the slot its low byte would name.
U32 SlotAddress(U32 slot) { return slot < MAX_SLOT_NUM ? Resource_getBoardIPAddress((U8)slot) : 0; }

}  // namespace

bool IPComm_IsKnownCmd(U16 c)
{
    switch (c) {
    case IPCOMM_SUCCESS_CMD: case IPCOMM_DATA_ERROR:
    case IPCOMM_SEND_RESOUR: case IPCOMM_SEND_DATA: case IPCOMM_SEND_TS: case IPCOMM_SEND_PROGRAM:
    case IPCOMM_SEND_PID: case IPCOMM_DEL_TS: case IPCOMM_DEL_PROGRAM: case IPCOMM_SEND_OVER:
    case IPCOMM_CLEAR_INPUT: case IPCOMM_CLEAR_OUTPUT: case IPCOMM_CHANGE_PROGRAM: case IPCOMM_CHANGE_PID:
    case IPCOMM_PROG_SET_DESCRAMBLE: case IPCOMM_DEL_SCR: case IPCOMM_SEND_TSP_MUX_PROCESS:
    case IPCOMM_SEND_NIT_TABLE: case IPCOMM_DEL_PID: case IPCOMM_MONITOR_PID: case IPCOMM_SEND_EITINFO:
    case IPCOMM_SEND_EITINFO_OVER: case IPCOMM_SEND_DESCRIPTOR: case IPCOMM_DEL_DESCRIPTOR:
    case IPCOMM_SEND_SUBPLUGFLAG: case IPCOMM_SEND_IP: case IPCOMM_SEND_INDSTATUS: case IPCOMM_SEND_BACKUPPARA:
    case IPCOMM_SEND_EXPORTPARA: case IPCOMM_IP_TEMP_FULL: case IPCOMM_COMBINEPACK_ERROR:
    case IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR: case IPCOMM_SEND_DEL_DESTCHANNEL: case IPCOMM_SEND_UPGRADE:
    case IPCOMM_REQ_REBOOT: case IPCOMM_FTP_UPGRADE: case IPCOMM_SEND_IPERF3_TO_SUBB:
    case IPCOMM_SEND_PROCESS_UPGRADE:
        return true;
    default:
        return false;
    }
}

void IPComm_SetReplyWaitMs(int ms) { s_replyWaitMs = ms; }

void IPComm_SetStruct(ST_ZR_IPCOMM* pstIPComm, U16 u16Cmd, U32 u32CurNum, U32 u32SumNum)
{
    if (pstIPComm == nullptr) {
        SOCK_ERR("Input Param NULL\n");
        return;
    }
    pstIPComm->u8SlotID = Status_GetSlotID();
    pstIPComm->u16CMD = u16Cmd;
    pstIPComm->u32CurTansNum = u32CurNum;
    pstIPComm->u32SumTansNum = u32SumNum;
}

void IPComm_LoadData(ST_ZR_IPCOMM* pstIPComm, U8* pu8Buf, U32* pu32Len)
{
    if (pstIPComm == nullptr || pu8Buf == nullptr || pu32Len == nullptr) {
        SOCK_ERR("Param NULL\n");
        return;
    }
    *pu32Len = (U32)FrameCodec_Encode(pstIPComm, pu8Buf);
}

void IPComm_SetCommST(ST_ZR_IPCOMM* pstIPComm, U8 u8SlotID, U16 u16Cmd)
{
    if (pstIPComm == nullptr) {
        SOCK_ERR("Param NULL\n");
        return;
    }
    pstIPComm->u8SlotID = u8SlotID;
    pstIPComm->u16CMD = u16Cmd;
    if (u16Cmd == IPCOMM_SEND_RESOUR) {
        pstIPComm->u32Length = 5;
        memcpy(pstIPComm->pu8Data, "text", 4);
    } else {
        pstIPComm->u32Length = 0;
    }
    U8 frame[IPCOMM_MAX_FRAME_LEN];
    FrameCodec_Encode(pstIPComm, frame);
}

void IPComm_SendTo(S32 s32Socket, U16 u16Cmd, const U8* pu8Data, U32 u32DataLen, U32 u32CurNum, U32 u32SumNum)
{
    if (u32DataLen > IPCOMM_MAX_DATA_LEN) {
        SOCK_ERR("### Over flow datalen > 1400\n");
        return;
    }
    if (u32DataLen > 0 && pu8Data == nullptr) {
        SOCK_ERR("bad param, u32DataLen>0 while data point null\n");
        return;
    }
    ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    IPComm_SetStruct(&rec, u16Cmd, u32CurNum, u32SumNum);
    rec.u32Length = u32DataLen;
    if (u32DataLen > 0)
        memcpy(rec.pu8Data, pu8Data, u32DataLen);
    U8 frame[IPCOMM_MAX_FRAME_LEN];
    U32 len = 0;
    IPComm_LoadData(&rec, frame, &len);
    if (send(s32Socket, frame, len, MSG_NOSIGNAL) != (ssize_t)len) {
        int e = errno;
        SOCK_ERR("send to client error: %s(errno: %d)\n", strerror(e), e);
    }
}

void IPComm_ResponseSuccess(S32 s32Socket) { IPComm_SendTo(s32Socket, IPCOMM_SUCCESS_CMD, nullptr, 0, 0, 1); }
void IPComm_ResponseError(S32 s32Socket) { IPComm_SendTo(s32Socket, IPCOMM_DATA_ERROR, nullptr, 0, 0, 1); }
void IPComm_ResponseErrorCode(S32 s32Socket, U16 u16Code) { IPComm_SendTo(s32Socket, u16Code, nullptr, 0, 0, 1); }

bool IPComm_FrameWhole(const U8* pu8Buf, U32 u32Got, U32 u32BufLen)
{
    if (u32Got >= u32BufLen)
        return true;
    if (u32Got < IPCOMM_HEADER_LEN)
        return false;
    // A length field above 1,400 can never make a frame: stop here.
    size_t want = FrameCodec_ExpectedLen(pu8Buf);
    return want == 0 || u32Got >= want;
}

S32 IPComm_RecvFrame(S32 s32Socket, U8* pu8Buf, U32 u32BufLen, int waitMs)
{
    U32 got = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (!IPComm_FrameWhole(pu8Buf, got, u32BufLen)) {
        int left = (int)std::chrono::duration_cast<std::chrono::milliseconds>(end - std::chrono::steady_clock::now())
                       .count();
        if (left <= 0)
            break;
        struct pollfd p = {s32Socket, POLLIN, 0};
        int pr = poll(&p, 1, left);
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr <= 0)
            break;
        ssize_t n = recv(s32Socket, pu8Buf + got, u32BufLen - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (U32)n;
    }
    return (S32)got;
}

zrErrCode IPComm_CombinePack(ST_ZR_IPCOMM* pstIPComm)
{
    if (pstIPComm == nullptr)
        return ZR_ERR_PARAMS;
    U64 now = NowMs();
    AgeOut(now);
    for (U32 i = 0; i < IPCOMM_TMP_NUM; i++)
        if (g_IPComm_Tmpdata[i].u8OccupyFlag)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Temp data cnt[%d] is occupied!\n", LOG_POS, i);
    U32 len = pstIPComm->u32Length;
    if (len > IPCOMM_MAX_DATA_LEN)
        return ZR_ERR_PARAMS;
    // Only the chassis's slots and the back board send records: a frame of
    // another slot number takes no entry.
    if (pstIPComm->u8SlotID >= MAX_SLOT_NUM) {
        SOCK_ERR("Temp data refused: slot %u is not one of the chassis\n", pstIPComm->u8SlotID);
        return ZR_ERR_COMM_IP_TEMP_FULL;
    }
    if (pstIPComm->u32CurTansNum == 0) {
        // A sender joins one message at a time: a new first frame replaces
        // its message that never completed, whatever its command, so that no
        // sender holds more than its one entry.
        ST_ZR_IPCOMM_TMPData* e = nullptr;
        for (ST_ZR_IPCOMM_TMPData& t : g_IPComm_Tmpdata)
            if (t.u8OccupyFlag && t.u8SlotID == pstIPComm->u8SlotID)
                e = &t;
        if (e != nullptr && e->u16CMD != pstIPComm->u16CMD)
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SYS,
                       "%ld:%s:%d Temp data slot[%d] cmd[0x%x] replaced by a message of cmd[0x%x]\n", LOG_POS,
                       e->u8SlotID, e->u16CMD, pstIPComm->u16CMD);
        for (U32 i = 0; e == nullptr && i < IPCOMM_TMP_NUM; i++)
            if (!g_IPComm_Tmpdata[i].u8OccupyFlag)
                e = &g_IPComm_Tmpdata[i];
        if (e == nullptr) {
            SOCK_ERR("Temp data is full!\n");
            return ZR_ERR_COMM_IP_TEMP_FULL;
        }
        memset(e, 0, sizeof(*e));
        e->u8OccupyFlag = 1;
        e->u8SlotID = pstIPComm->u8SlotID;
        e->u16CMD = pstIPComm->u16CMD;
        e->u32Length = len;
        e->u64LastUseMs = now;
        memcpy(e->pu8Data, pstIPComm->pu8Data, len);
        SOCK_INFO("Temp data combine %d success!\n", 0);
        SOCK_INFO("Temp data len = %d\n", len);
        SOCK_INFO("cnt = %d\nu8OccupyFlag = %d \nu16CMD = %d \nu8SlotID = %d \nu32curPacket = %d \n\n",
                  (int)(e - g_IPComm_Tmpdata), e->u8OccupyFlag, e->u16CMD, e->u8SlotID, e->u32curPacket);
        return ZR_SUCCESS;
    }
    ST_ZR_IPCOMM_TMPData* e = FindEntry(pstIPComm->u16CMD, pstIPComm->u8SlotID);
    if (e == nullptr || e->u32curPacket + 1 != pstIPComm->u32CurTansNum) {
        SOCK_ERR("Temp data is not exist!\n");
        return ZR_ERR_COMM_IP_TEMP_FULL;
    }
    if (e->u32Length + len > IPCOMM_TMP_DATA_LEN) {
        SOCK_ERR("Temp data overflow: %d + %d > %d\n", e->u32Length, len, IPCOMM_TMP_DATA_LEN);
        e->u8OccupyFlag = 0;
        s_pstLastOverflow = e;
        return ZR_ERR_COMM_COMBINEPACK;
    }
    memcpy(e->pu8Data + e->u32Length, pstIPComm->pu8Data, len);
    e->u32Length += len;
    e->u32curPacket = pstIPComm->u32CurTansNum;
    e->u64LastUseMs = now;
    SOCK_INFO("Temp data combine %d success!\n", pstIPComm->u32CurTansNum);
    SOCK_INFO("Temp data len = %d\n", len);
    return ZR_SUCCESS;
}

void IPComm_ClearTmpData(ST_ZR_IPCOMM* pstIPComm)
{
    if (pstIPComm == nullptr || pstIPComm->u32SumTansNum < 2)
        return;
    for (U32 i = 0; i < IPCOMM_TMP_NUM; i++) {
        ST_ZR_IPCOMM_TMPData& e = g_IPComm_Tmpdata[i];
        if (e.u8OccupyFlag && e.u16CMD == pstIPComm->u16CMD && e.u8SlotID == pstIPComm->u8SlotID &&
            e.u32curPacket == pstIPComm->u32SumTansNum - 1) {
            e.u8OccupyFlag = 0;
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Clear temp data slot[%d] cmd[0x%x] cnt[%d]\n",
                       LOG_POS, e.u8SlotID, e.u16CMD, i);
            return;
        }
    }
}

zrErrCode IPComm_LastCombineResult(void) { return s_lastCombine; }

const ST_ZR_IPCOMM_TMPData* IPComm_LastOverflow(void) { return s_pstLastOverflow; }

static zrErrCode CheckFrame(const char* func, U8* buf, S32 len, ST_ZR_IPCOMM* rec)
{
    if (buf == nullptr || rec == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d Input Param NULL\n", LOG_POS_OF(func));
        return ZR_ERR_PARAMS;
    }
    if (len < IPCOMM_MIN_FRAME_LEN) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d Receive IP data too less, %d\n", LOG_POS_OF(func),
                   len);
        return ZR_ERR_COMM_IP_RECV_MISS;
    }
    zrErrCode rc = FrameCodec_Decode(buf, (size_t)len, rec);
    if (rc == ZR_ERR_COMM_IP_RECV_MISS)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d Receive ip data len error, %d\n", LOG_POS_OF(func),
                   len);
    else if (rc == ZR_ERR_CRC) {
        U32 l = (U32)buf[12] | (U32)buf[13] << 8 | (U32)buf[14] << 16 | (U32)buf[15] << 24;
        U32 got = (U32)buf[len - 4] | (U32)buf[len - 3] << 8 | (U32)buf[len - 2] << 16 | (U32)buf[len - 1] << 24;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SOCKET, "%ld:%s:%d Receive IP data CRC error [%d:%d]\n",
                   LOG_POS_OF(func), got, Common_CRC_Calculate(buf, IPCOMM_HEADER_LEN + l, IPCOMM_CRC_INIT));
    }
    return rc;
}

zrErrCode IPComm_ParseData(U8* pu8Buf, S32 s32Len, ST_ZR_IPCOMM* pstIPComm)
{
    s_lastCombine = ZR_SUCCESS;
    s_pstLastOverflow = nullptr;
    zrErrCode rc = CheckFrame(__func__, pu8Buf, s32Len, pstIPComm);
    if (rc != ZR_SUCCESS)
        return rc;
    if (pstIPComm->u32SumTansNum > 1 && pstIPComm->u16CMD != IPCOMM_SEND_UPGRADE &&
        pstIPComm->u16CMD != IPCOMM_SEND_BACKUPPARA) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SOCKET, "%ld:%s:%d u16CMD = %d \nu8SlotID = %d \nu32curPacket = %d \n\n",
                   LOG_POS, pstIPComm->u16CMD, pstIPComm->u8SlotID, pstIPComm->u32CurTansNum);
        s_lastCombine = IPComm_CombinePack(pstIPComm);
    }
    return ZR_SUCCESS;
}

zrErrCode IPComm_MACParseData(U8* pu8Buf, S32 s32Len, ST_ZR_IPCOMM* pstIPComm)
{
    zrErrCode rc = CheckFrame(__func__, pu8Buf, s32Len, pstIPComm);
    if (rc != ZR_SUCCESS)
        return rc;
    if (pstIPComm->u32SumTansNum >= 2 && pstIPComm->u16CMD != IPCOMM_SEND_UPGRADE && pstIPComm->u16CMD != 785 &&
        pstIPComm->u16CMD != 787)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SOCKET, "%ld:%s:%d u16CMD = %d \nu8SlotID = %d \nu32curPacket = %d \n\n",
                   LOG_POS, pstIPComm->u16CMD, pstIPComm->u8SlotID, pstIPComm->u32CurTansNum);
    return ZR_SUCCESS;
}

namespace {

// Up to four attempts of one frame; with bSilentEnds a peer that let a whole
// reply wait pass ends them, as it would let the next wait pass too.
zrErrCode SendFrame(U32 ip, U16 cmd, const U8* data, U32 len, U32 idx, U32 total, int waitMs, bool bSilentEnds,
                    U16* reply)
{
    *reply = 0;
    for (int a = 0; a < kAttempts; a++) {
        U64 start = NowMs();
        zrErrCode rc = Attempt(ip, cmd, data, len, idx, total, reply, waitMs);
        if (rc != ZR_SUCCESS)
            return rc;
        if (*reply == IPCOMM_SUCCESS_CMD)
            break;
        if (*reply == 0 && bSilentEnds && NowMs() - start + 10 >= (U64)waitMs)
            break;
    }
    return ZR_SUCCESS;
}

S32 SendData(U32 ip, U32 cmd, U8* data, U32 len, int waitMs, bool bSilentEnds)
{
    if (data == nullptr) {
        SOCK_ERR("Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    U32 frames = (len + IPCOMM_MAX_DATA_LEN - 1) / IPCOMM_MAX_DATA_LEN;
    for (U32 i = 0; i < frames; i++) {
        U32 off = i * IPCOMM_MAX_DATA_LEN;
        U32 n = len - off < IPCOMM_MAX_DATA_LEN ? len - off : IPCOMM_MAX_DATA_LEN;
        U16 reply = 0;
        zrErrCode rc = SendFrame(ip, (U16)cmd, data + off, n, i, frames, waitMs, bSilentEnds, &reply);
        if (rc != ZR_SUCCESS)
            return rc;
        if (reply != IPCOMM_SUCCESS_CMD)
            // No valid reply at all is a time-out, not the cleared record's 0.
            return reply != 0 ? (S32)reply : (S32)ZR_ERR_IPCOMM_TIME_OUT;
    }
    return ZR_SUCCESS;
}

}  // namespace

S32 IPComm_SendCmd(U32 u32IpAddr, U32 u32cmd)
{
    U16 reply = 0;
    zrErrCode rc = SendFrame(u32IpAddr, (U16)u32cmd, nullptr, 0, 0, 1, s_replyWaitMs, false, &reply);
    if (rc != ZR_SUCCESS)
        return rc;
    return reply == IPCOMM_SUCCESS_CMD ? ZR_SUCCESS : ZR_ERR_IPCOMM_TIME_OUT;
}

S32 IPComm_SendCmdWithin(U32 u32IpAddr, U32 u32cmd, int waitMs)
{
    U16 reply = 0;
    zrErrCode rc = SendFrame(u32IpAddr, (U16)u32cmd, nullptr, 0, 0, 1, waitMs, true, &reply);
    if (rc != ZR_SUCCESS)
        return rc;
    return reply == IPCOMM_SUCCESS_CMD ? ZR_SUCCESS : ZR_ERR_IPCOMM_TIME_OUT;
}

S32 IPComm_SendData(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen)
{
    return IPComm_SendDataTo(u32IpAddr, u32cmd, u8Data, u32DataLen, false);
}

S32 IPComm_SendDataTo(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen, bool bSilentEnds)
{
    return SendData(u32IpAddr, u32cmd, u8Data, u32DataLen, s_replyWaitMs, bSilentEnds);
}

S32 IPComm_SendDataWithin(U32 u32IpAddr, U32 u32cmd, U8* u8Data, U32 u32DataLen, int waitMs)
{
    return SendData(u32IpAddr, u32cmd, u8Data, u32DataLen, waitMs, true);
}

S32 IPComm_SendData2Slot(U32 u32Slot, U32 u32cmd, U8* u8Data, U32 u32DataLen)
{
    if (u8Data == nullptr) {
        SOCK_ERR("Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    IPComm_SendData(SlotAddress(u32Slot), u32cmd, u8Data, u32DataLen);
    return ZR_SUCCESS;
}

S32 IPComm_SendCmd2Slot(U32 u32Slot, U32 u32cmd)
{
    IPComm_SendCmd(SlotAddress(u32Slot), u32cmd);
    return ZR_SUCCESS;
}

zrErrCode IPComm_SendClearCmd2Slot(U8 u8Slot)
{
    IPComm_SendCmd2Slot(u8Slot, IPCOMM_CLEAR_OUTPUT);
    return ZR_SUCCESS;
}

void IPComm_SendResource(S32 s32Socket) { IPComm_SendTo(s32Socket, IPCOMM_SEND_RESOUR, nullptr, 0, 0, 0); }

void IPComm_Request_SendResource(void)
{
    S32 fd = -1;
    if (socketC_open(&fd) != ZR_SOCKETC_SUCCESS)
        return;
    if (socketC_connectTimed(fd, 0xC0A8030A, IPCOMM_CONNECT_WAIT_MS) == ZR_SOCKETC_SUCCESS) {
        plat::SetSocketTimeouts(fd, s_replyWaitMs, s_replyWaitMs);
        for (int a = 0; a < kAttempts; a++) {
            IPComm_SendResource(fd);
            U8 buf[4096];
            S32 n = IPComm_RecvFrame(fd, buf, sizeof(buf), s_replyWaitMs);
            ST_ZR_IPCOMM rec;
            if (n > 0 && FrameCodec_Decode(buf, (size_t)n, &rec) == ZR_SUCCESS && rec.u16CMD == IPCOMM_SUCCESS_CMD)
                break;
        }
    }
    close(fd);
}
