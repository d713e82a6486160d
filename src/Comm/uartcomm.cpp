// Serial link to the back board: request frames, the answer check, the
// bounded answer wait and the exchanges of start-up and the reports.
#include "Comm/uartcomm.h"
#include "Common/commonfun.h"
#include "CommonModules/System/system.h"
#include "Driver/PHY/phy.h"
#include "Driver/UART/uart.h"
#include "Log/log.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include <atomic>
#include <chrono>
#include <cerrno>
#include <cstring>
#include <mutex>
#include <pthread.h>
#include <thread>

namespace {

// Tries, reads and pauses of the exchanges; tests shorten them.
std::atomic<int> kReads{5};
std::atomic<int> kReadPauseMs{100};
std::atomic<int> kIpTries{50};
std::atomic<int> kTries{72};
constexpr U32 kFallbackBackBoard = 0xC0A8010A;  // 192.168.1.10
constexpr U32 kFallbackSelfBase = 0xC0A8010B;   // 192.168.1.11 + slot

// Two callers on different threads would otherwise take each other's answers.
std::mutex s_exchangeMutex;

#define HW_LOG(lvl, fmt, ...) log_printf((lvl), LOG_MODULE_HW, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SYS_LOG(lvl, fmt, ...) log_printf((lvl), LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

void PauseMs(int ms) { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }

U32 GetU32(const U8* p) { return (U32)p[0] | (U32)p[1] << 8 | (U32)p[2] << 16 | (U32)p[3] << 24; }

// The data length each answer must carry; anything else is no answer.
int AnswerLength(U8 cmd)
{
    switch (cmd) {
    case UARTCOMM_ANS_IP: return 16;
    case UARTCOMM_ANS_TIME: return 4;
    case UARTCOMM_ANS_SLOTMAP: return ZRSYS_SLOT_MAP_LEN;
    // answers without a fixed length (9, 5) take any; the platform flag (15)
    // is its first data byte when it has one, 0 without
    default: return -1;
    }
}

// One request and its answer under the exchange lock; true when a checked
// frame with the expected answer code and length came.
bool Exchange(U8 req, const U8* data, U16 len, ST_ZR_UARTCOMM* rec)
{
    std::lock_guard<std::mutex> lk(s_exchangeMutex);
    U8 slot = Status_GetSlotID();
    UartComm_sendData(slot, req, data, len);
    if (UartComm_RecvData(slot, rec) != ZR_SUCCESS || rec->u8CMD != (U8)(req + 1))
        return false;
    int want = AnswerLength(rec->u8CMD);
    return want < 0 || rec->u16Length == want;
}

// The shared retry scheme of time, slot map, platform flag and error report.
bool ExchangeRetried(U8 req, const U8* data, U16 len, ST_ZR_UARTCOMM* rec)
{
    for (int i = 0; i < kTries; i++) {
        if (Exchange(req, data, len, rec))
            return true;
        uart1_Flush();
    }
    return false;
}

}  // namespace

void UartComm_init(void) { uart1_Init(); }

void UartComm_SetTestTries(int tries, int reads, int readPauseMs)
{
    kTries = kIpTries = tries;
    kReads = reads;
    kReadPauseMs = readPauseMs;
}

void UartComm_sendData(U8 u8Slot, U8 u8Cmd, const U8* pu8Data, U16 u16Len)
{
    // A length without data sends an empty frame rather than undefined bytes.
    if (u16Len > 0 && pu8Data == nullptr) {
        HW_LOG(LOG_LEVEL_ERROR, "param err , dataLen > 0 while data point null\n");
        u16Len = 0;
    }
    if (u16Len > UARTCOMM_DATA_MAX)
        u16Len = UARTCOMM_DATA_MAX;
    U8 frame[UARTCOMM_DATA_MAX + 12];
    frame[0] = frame[1] = frame[2] = frame[3] = 0x47;
    frame[4] = u8Slot;
    frame[5] = u8Cmd;
    frame[6] = (U8)(u16Len & 0xFF);
    frame[7] = (U8)(u16Len >> 8);
    if (u16Len > 0)
        memcpy(frame + 8, pu8Data, u16Len);
    U32 crc = Common_CRCCalculate(frame + 4, (U32)u16Len + 4, UARTCOMM_CRC_INIT);
    for (int i = 0; i < 4; i++)
        frame[8 + u16Len + i] = (U8)(crc >> (8 * i));
    uart1_Write(frame, (S32)u16Len + 12);
}

zrErrCode UartComm_ParseData(const U8* pu8Buf, S32 s32Len, U8 u8Slot, ST_ZR_UARTCOMM* pstRecord)
{
    if (pu8Buf == nullptr || pstRecord == nullptr) {
        HW_LOG(LOG_LEVEL_ERROR, "Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    if (s32Len <= 11) {
        HW_LOG(LOG_LEVEL_ERROR, "Receive serial data too less, %d\n", s32Len);
        return ZR_ERR_COMM_UART_RECV_MISS;
    }
    memset(pstRecord, 0, sizeof(*pstRecord));
    U32 header = GetU32(pu8Buf);
    if (header != UARTCOMM_HEADER) {
        HW_LOG(LOG_LEVEL_ERROR, "Receive serial header error, %x\n", header);
        return ZR_ERR_COMM_UART_RECV_HEADER;
    }
    if (pu8Buf[4] != u8Slot) {
        HW_LOG(LOG_LEVEL_ERROR, "Receive serial slotID error [%d:%d]\n", pu8Buf[4], u8Slot);
        return ZR_ERR_COMM_UART_RECV_SLOT;
    }
    U32 len = (U32)pu8Buf[6] | (U32)pu8Buf[7] << 8;
    if ((U32)s32Len != len + 12 || len > UARTCOMM_DATA_MAX) {
        HW_LOG(LOG_LEVEL_ERROR, "Receive serial data len error, %d\n", s32Len);
        return ZR_ERR_COMM_UART_RECV_MISS;
    }
    U32 got = GetU32(pu8Buf + 8 + len);
    U32 crc = Common_CRCCalculate(const_cast<U8*>(pu8Buf) + 4, len + 4, UARTCOMM_CRC_INIT);
    if (got != crc) {
        HW_LOG(LOG_LEVEL_ERROR, "Receive serial data CRC error [%d:%d]\n", got, crc);
        return ZR_ERR_COMM_UART_RECV_MISS;
    }
    pstRecord->u32Header = header;
    pstRecord->u8SlotID = pu8Buf[4];
    pstRecord->u8CMD = pu8Buf[5];
    pstRecord->u16Length = (U16)len;
    memcpy(pstRecord->pu8Data, pu8Buf + 8, len);
    pstRecord->u32StructCRC = got;
    HW_LOG(LOG_LEVEL_INFO, "Receive serial CMD : 0x%x\n", pstRecord->u8CMD);
    return ZR_SUCCESS;
}

zrErrCode UartComm_RecvData(U8 u8Slot, ST_ZR_UARTCOMM* pstRecord)
{
    zrErrCode ret = ZR_ERR_COMM_UART_RECV_MISS;
    for (int i = 0; i < kReads; i++) {
        U8 buf[UART_READ_LEN];
        S32 len = 0;
        memset(buf, 0, sizeof(buf));
        uart1_Read(buf, &len);
        if (len > 0) {
            ret = UartComm_ParseData(buf, len, u8Slot, pstRecord);
            if (ret == ZR_SUCCESS)
                return ret;
        }
        PauseMs(kReadPauseMs);
    }
    return ret;
}

void UartComm_RequestIP(U8 u8Slot) { UartComm_sendData(u8Slot, UARTCOMM_REQ_IP, nullptr, 0); }
void UartComm_RequestBreak(U8 u8Slot) { UartComm_sendData(u8Slot, UARTCOMM_REQ_BREAK, nullptr, 0); }

zrErrCode UartComm_GetIpAddr(U8 u8slot)
{
    for (int i = 0; i < kIpTries; i++) {
        if (Status_GetIPReqflag())
            return ZR_SUCCESS;
        ST_ZR_UARTCOMM rec;
        bool answered;
        {
            std::lock_guard<std::mutex> lk(s_exchangeMutex);
            UartComm_RequestIP(u8slot);
            answered = UartComm_RecvData(u8slot, &rec) == ZR_SUCCESS && rec.u8CMD == UARTCOMM_ANS_IP &&
                       rec.u16Length == AnswerLength(UARTCOMM_ANS_IP);
        }
        if (answered) {
            U32 bb = GetU32(rec.pu8Data), self = GetU32(rec.pu8Data + 4);
            U32 mask = GetU32(rec.pu8Data + 8), gate = GetU32(rec.pu8Data + 12);
            HW_LOG(LOG_LEVEL_INFO, "BackBoard ip: %d.%d.%d.%d \n", bb >> 24, (bb >> 16) & 0xFF, (bb >> 8) & 0xFF,
                   bb & 0xFF);
            HW_LOG(LOG_LEVEL_INFO, "self ip: %d.%d.%d.%d \n", self >> 24, (self >> 16) & 0xFF, (self >> 8) & 0xFF,
                   self & 0xFF);
            Resource_SetBackBoardIpAddr(bb);
            IPconfig_SetIP(self);
            IPconfig_SetLocalMask(mask);
            IPconfig_SetDefaultGate(gate);
            Status_SetIPReqflag(true);
            return ZR_SUCCESS;
        }
        PauseMs(kReadPauseMs / 10);
        if (Status_GetIPReqflag())
            return ZR_SUCCESS;
    }
    HW_LOG(LOG_LEVEL_ERROR, "Uart Comm Error!\n");
    Resource_SetBackBoardIpAddr(kFallbackBackBoard);
    IPconfig_SetIP(kFallbackSelfBase + u8slot);
    return UARTCOMM_IP_FALLBACK;
}

void UartComm_GetTime(void)
{
    ST_ZR_UARTCOMM rec;
    if (!ExchangeRetried(UARTCOMM_REQ_TIME, nullptr, 0, &rec)) {
        log_printf(LOG_LEVEL_ALL, LOG_MODULE_HW, "%ld:%s:%d get time failed, time out cnt %d\n", LOG_POS, kTries.load() - 1);
        return;
    }
    Status_SetSystemTime(GetU32(rec.pu8Data));
}

void UartComm_GetSlotMap(void)
{
    ST_ZR_UARTCOMM rec;
    if (!ExchangeRetried(UARTCOMM_REQ_SLOTMAP, nullptr, 0, &rec)) {
        SYS_LOG(LOG_LEVEL_ERROR, "get SlotMap failed, time out cnt %d\n", kTries.load() - 1);
        return;
    }
    char text[ZRSYS_SLOT_MAP_LEN * 5 + 1];
    size_t pos = 0;
    for (int i = 0; i < ZRSYS_SLOT_MAP_LEN; i++) {
        pos += (size_t)snprintf(text + pos, sizeof(text) - pos, "0x%02x", rec.pu8Data[i]);
        // A slot number past the chassis would index the 17-entry tables
        // that take the map's values: such an entry counts as no slot.
        if (rec.pu8Data[i] > 16 && rec.pu8Data[i] != 255)
            rec.pu8Data[i] = 255;
    }
    SYS_LOG(LOG_LEVEL_INFO, "GetSlotMap %s\n", text);
    ZRSYS_SetSlotMap(rec.pu8Data);
    ZRSYS_SetSlotMapFromeBaseboard();
}

void UartComm_GetResource(void)
{
    ST_ZR_UARTCOMM rec;
    if (!ExchangeRetried(UARTCOMM_REQ_RESOURCE, nullptr, 0, &rec)) {
        SYS_LOG(LOG_LEVEL_ERROR, "get platform flag (isKxa200) failed, time out cnt %d\n", kTries.load() - 1);
        return;
    }
    BOOL isKxa200 = rec.u16Length > 0 ? rec.pu8Data[0] : 0;
    SYS_LOG(LOG_LEVEL_INFO, "GetUartResource isKxa200[%d]\n", isKxa200);
    ZRSYS_SetIsKxa200(isKxa200);
}

void UartComm_SendErrorCodeToBB(U32 u32ErrCode)
{
    U8 data[4] = {(U8)u32ErrCode, (U8)(u32ErrCode >> 8), (U8)(u32ErrCode >> 16), (U8)(u32ErrCode >> 24)};
    ST_ZR_UARTCOMM rec;
    if (!ExchangeRetried(UARTCOMM_REQ_ERRCODE, data, sizeof(data), &rec))
        HW_LOG(LOG_LEVEL_ERROR, "Send err code failed, time out cnt %d\n", kTries.load() - 1);
}

void* UartComm_Service(void*)
{
    if (uart1_Init() != ZR_UART_SUCCESS)
        return nullptr;
    U8 slot = Status_GetSlotID();
    for (;;) {
        ST_ZR_UARTCOMM rec;
        if (!Status_GetIPReqflag()) {
            std::lock_guard<std::mutex> lk(s_exchangeMutex);
            UartComm_RequestIP(slot);
            if (UartComm_RecvData(slot, &rec) == ZR_SUCCESS && rec.u8CMD == UARTCOMM_ANS_IP && rec.u16Length == 4) {
                U32 ip = GetU32(rec.pu8Data);
                HW_LOG(LOG_LEVEL_INFO, "BackBoard response ip : 0x%x\n", ip);
                printf("=========pU32IP: 0x%x=========\n", ip);
                IPconfig_SetIP(ip);
                Status_SetIPReqflag(true);
            }
            uart1_Flush();
        } else if (!Status_GetCommFinishflag()) {
            std::lock_guard<std::mutex> lk(s_exchangeMutex);
            UartComm_RequestBreak(slot);
            if (UartComm_RecvData(slot, &rec) == ZR_SUCCESS && rec.u8CMD == UARTCOMM_ANS_BREAK) {
                HW_LOG(LOG_LEVEL_INFO, "Response break up!\n");
                Status_SetCommFinishflag(true);
                return nullptr;
            }
            uart1_Flush();
        } else {
            // Both flags set: nothing to ask; re-read them now and then.
            PauseMs(kReadPauseMs);
        }
    }
}

zrErrCode UartComm_Start(void)
{
    pthread_t tid;
    int ret = pthread_create(&tid, nullptr, UartComm_Service, nullptr);
    if (ret != 0) {
        HW_LOG(LOG_LEVEL_ERROR, "serial communication thread create error :%s(errno: %d)\n", strerror(ret), ret);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    HW_LOG(LOG_LEVEL_INFO, "serial communication create successfully!\n");
    ret = pthread_detach(tid);
    if (ret != 0) {
        HW_LOG(LOG_LEVEL_ERROR, "serial communication thread detach error :%s(errno: %d)\n", strerror(ret), ret);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    HW_LOG(LOG_LEVEL_INFO, "serial communication pthread detach successfully!\n");
    return ZR_SUCCESS;
}
