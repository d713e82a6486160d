#include "Timer/timer.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/SIconstruct.h"
#include "StatusProcess/resource.h"
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <cstring>
#include <ctime>
#include <sys/select.h>

std::atomic<U32> g_u32TimerCnt{0};
std::atomic<U32> g_u32uSec{100000};
std::atomic<BOOL> g_TimerEnd_flag{1};

namespace {
// Wakes the carousel thread on each tick instead of letting it poll.
// Never destroyed: the detached timer thread may still post while the process exits.
std::mutex& s_tickMutex = *new std::mutex;
std::condition_variable& s_tickCond = *new std::condition_variable;

void SetTimerCnt(U32 v)
{
    {
        std::lock_guard<std::mutex> lk(s_tickMutex);
        g_u32TimerCnt = v;
    }
    s_tickCond.notify_all();
}
}  // namespace


// The back board's time-zone index (12 = UTC when it is not known yet).
static U8 Timer_GetNTPZone(void)
{
    TResource_TS* bb = Resource_GetHandle(16);
    return bb ? bb->u8NTPZone : 12;
}

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

U32 Timer_WaitTick(U32 u32Seen, U32 u32MaxMs)
{
    std::unique_lock<std::mutex> lk(s_tickMutex);
    s_tickCond.wait_for(lk, std::chrono::milliseconds(u32MaxMs), [u32Seen] { return g_u32TimerCnt.load() != u32Seen; });
    return g_u32TimerCnt.load();
}

void Timer_End(void) { g_TimerEnd_flag = 1; }

void* Timer_Service(void*)
{
    while (!g_TimerEnd_flag) {
        Timer_usleep(g_u32uSec.load());
        U32 next = g_u32TimerCnt.load() + 1;
        if (next > 0xFFFFFFEFu)
            next = 0;
        SetTimerCnt(next);
    }
    SetTimerCnt(0);
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
    int ret = Thread_Create(&tid, &attr, Timer_Service, nullptr);
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
            now -= (time_t)time_zone_sec[z].u32Seconds;
        else
            now += (time_t)time_zone_sec[z].u32Seconds;
    }
    struct tm tmv;
    localtime_r(&now, &tmv);
    return (U8)tmv.tm_hour;
}
