#include "Common/thread.h"
#include "Log/log.h"

pthread_t Thread_NewDetach(ThreadFunc func, void* thr_data, const char* funcname, const char* filename, U32 line)
{
    pthread_attr_t attr;
    pthread_t tid = 0;
    if (pthread_attr_init(&attr) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s][%s]%d: call func:pthread_attr_init failed\r\n", filename,
                   funcname, line);
        return 0;
    }
    if (pthread_attr_setdetachstate(&attr, PTHREAD_CREATE_DETACHED) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s][%s]%d: call func:pthread_attr_setdetachstate\r\n",
                   filename, funcname, line);
        pthread_attr_destroy(&attr);
        return 0;
    }
    if (pthread_create(&tid, &attr, func, thr_data) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s][%s]%d: call func:pthread_create failed\r\n", filename,
                   funcname, line);
        pthread_attr_destroy(&attr);
        return 0;
    }
    pthread_attr_destroy(&attr);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SYS, "[%s]%d: Create %s thread success!!\r\n", filename, line, funcname);
    return tid;
}

std::recursive_mutex& Card_StateMutex()
{
    static std::recursive_mutex m;
    return m;
}
