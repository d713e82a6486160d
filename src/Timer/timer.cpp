#include "Timer/timer.h"
#include "Common/thread.h"
#include "Log/log.h"
#include <cerrno>
#include <cstring>
#include <ctime>
#include <sys/select.h>

std::atomic<U32> g_u32TimerCnt{0};
std::atomic<U32> g_u32uSec{100000};
std::atomic<BOOL> g_TimerEnd_flag{1};

namespace {
struct TimeZoneSec {
    U32 u32Index;
    U32 u32Sec;
};
// Entry n holds |n - 12| hours; index 25 is +13 hours.
const TimeZoneSec s_arstTimeZoneSec[26] = {
    {0, 43200}, {1, 39600}, {2, 36000}, {3, 32400}, {4, 28800}, {5, 25200}, {6, 21600},
    {7, 18000}, {8, 14400}, {9, 10800}, {10, 7200}, {11, 3600}, {12, 0},     {13, 3600},
    {14, 7200}, {15, 10800}, {16, 14400}, {17, 18000}, {18, 21600}, {19, 25200}, {20, 28800},
    {21, 32400}, {22, 36000}, {23, 39600}, {24, 43200}, {25, 46800},
};
}  // namespace

// The back board's time-zone index; provided by the slot resource table.
U8 Timer_GetNTPZone(void);

zrErrCode Timer_usleep(U32 u32uSec)
{
    struct timeval tv;
    tv.tv_sec = u32uSec / 1000000;
    tv.tv_usec = u32uSec % 1000000;
    int ret;
    do {
        ret = select(0, nullptr, nullptr, nullptr, &tv);
    } while (ret < 0 && errno == EINTR);
    if (ret < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Select error :%s(errno: %d)\r\n\n", LOG_POS,
                   strerror(errno), errno);
        return ZR_ERR_FAILURE;
    }
    return ZR_SUCCESS;
}

void Timer_Init(U32 u32uSec) { g_u32uSec = u32uSec; }

U32 GetTimeCnt(void) { return g_u32TimerCnt.load(); }

void Timer_End(void) { g_TimerEnd_flag = 1; }

void* Timer_Service(void*)
{
    while (!g_TimerEnd_flag) {
        Timer_usleep(g_u32uSec.load());
        U32 next = g_u32TimerCnt.load() + 1;
        if (next > 0xFFFFFFEFu)
            next = 0;
        g_u32TimerCnt = next;
    }
    g_u32TimerCnt = 0;
    return nullptr;
}

zrErrCode Timer_Start(U32 u32uSec)
{
    BOOL expected = 1;
    if (!g_TimerEnd_flag.compare_exchange_strong(expected, 0)) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SYS, "%ld:%s:%d Timer is occupy\r\n\n", LOG_POS);
        return ZR_SUCCESS;
    }
    g_u32uSec = u32uSec;
    pthread_attr_t attr;
    pthread_t tid;
    pthread_attr_init(&attr);
    int ret = pthread_create(&tid, &attr, Timer_Service, nullptr);
    pthread_attr_destroy(&attr);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Timer thread create error :%s(errno: %d)\r\n\n",
                   LOG_POS, strerror(ret), ret);
        g_TimerEnd_flag = 1;
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Timer create successfully!\r\n\n", LOG_POS);
    ret = pthread_detach(tid);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Timer thread detach error :%s(errno: %d)\r\n\n",
                   LOG_POS, strerror(ret), ret);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Timer thread detach successfully!\r\n\n", LOG_POS);
    return ZR_SUCCESS;
}

U8 gettime(void)
{
    time_t now = time(nullptr);
    U8 z = Timer_GetNTPZone();
    if (z < 26) {
        if (z < 13)
            now -= (time_t)s_arstTimeZoneSec[z].u32Sec;
        else
            now += (time_t)s_arstTimeZoneSec[z].u32Sec;
    }
    struct tm tmv;
    localtime_r(&now, &tmv);
    return (U8)tmv.tm_hour;
}
