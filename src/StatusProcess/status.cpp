// Card status: own slot, the chassis plug map, the flags of the serial
// exchange with the back board, and the system clock.
#include "StatusProcess/status.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <atomic>
#include <cstdio>
#include <ctime>

ST_ZR_STATUS g_stStatus;

// Until the back board's first plug map no slot is known to be empty.
static std::atomic<bool> s_bPlugMapKnown{false};

zrErrCode Status_Init(void)
{
    g_stStatus.u8SlotID = 0;
    __atomic_store_n(&g_stStatus.u16SubBoardplug, 0, __ATOMIC_RELEASE);
    s_bPlugMapKnown = false;
    g_stStatus.stUartCommflag.IPConfig = false;
    g_stStatus.stUartCommflag.CommFinish = false;
    g_stStatus.u8SlotID = (U8)FPGA_GetSlotID();
    return ZR_SUCCESS;
}

U8 Status_GetSlotID(void) { return g_stStatus.u8SlotID; }
void Status_SetSlotID(U8 u8SlotID) { g_stStatus.u8SlotID = u8SlotID; }
// The frame server writes the plug map while handlers of other threads read
// it: the map is stored under the card-state lock, with the flag, and read
// atomically wherever it is read.
U16 Status_GetSubBoardPlugStatus(void) { return __atomic_load_n(&g_stStatus.u16SubBoardplug, __ATOMIC_ACQUIRE); }
void Status_SetSubBoardPlugStatus(U16 u16Plug)
{
    CARD_STATE_LOCK();
    __atomic_store_n(&g_stStatus.u16SubBoardplug, u16Plug, __ATOMIC_RELEASE);
    s_bPlugMapKnown = true;
}
bool Status_IsSubBoardPlugMapKnown(void) { return s_bPlugMapKnown; }
bool Status_GetIPReqflag(void) { return g_stStatus.stUartCommflag.IPConfig; }
void Status_SetIPReqflag(bool bFlag) { g_stStatus.stUartCommflag.IPConfig = bFlag; }
bool Status_GetCommFinishflag(void) { return g_stStatus.stUartCommflag.CommFinish; }
void Status_SetCommFinishflag(bool bFlag) { g_stStatus.stUartCommflag.CommFinish = bFlag; }
ST_ZR_STATUS* Status_GetStatusHandler(void) { return &g_stStatus; }

bool Status_CheckSubBoardPlugExist(SLOT_ID u8slotID)
{
    if ((U32)u8slotID > SLOT15) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d SlotID out of range!\n", LOG_POS);
        return false;
    }
    return (Status_GetSubBoardPlugStatus() >> (U32)u8slotID) & 1u;
}

void Status_SetSystemTime(U32 u32CurrentTime)
{
    time_t t = (time_t)u32CurrentTime;
    struct tm tmv;
    if (localtime_r(&t, &tmv) == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return;
    }
    char text[64];
    if (asctime_r(&tmv, text) == nullptr)
        text[0] = '\0';
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d ### Set System Time ### %s", LOG_POS, text);
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "date -s \"%04d-%02d-%02d %02d:%02d:%02d\"", tmv.tm_year + 1900, tmv.tm_mon + 1,
             tmv.tm_mday, tmv.tm_hour, tmv.tm_min, tmv.tm_sec);
    plat::System(cmd);
}

zrErrCode Status_GetTimeOfYearDay(U32* pTimeSec, U16* pYear, U16* pMonth, U16* pDay, U16* pHour)
{
    if (pTimeSec == nullptr || pYear == nullptr || pDay == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    time_t now = time(nullptr);
    struct tm tmv;
    gmtime_r(&now, &tmv);
    *pTimeSec = (U32)now;
    *pYear = (U16)(tmv.tm_year + 1900);
    *pDay = (U16)tmv.tm_mday;
    // Month and hour are optional outputs.
    if (pMonth != nullptr)
        *pMonth = (U16)(tmv.tm_mon + 1);
    if (pHour != nullptr)
        *pHour = (U16)tmv.tm_hour;
    return ZR_SUCCESS;
}

zrErrCode Status_GetLinuxTime(U32* pTimeSec)
{
    if (pTimeSec == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    *pTimeSec = (U32)time(nullptr);
    return ZR_SUCCESS;
}
