#include "Common/thread.h"
#include "Log/log.h"
#include <csignal>

static sigset_t ControlSignals(void)
{
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGHUP);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGUSR1);
    return set;
}

void Thread_BlockControlSignals(bool bBlock)
{
    sigset_t set = ControlSignals();
    pthread_sigmask(bBlock ? SIG_BLOCK : SIG_UNBLOCK, &set, nullptr);
}

int Thread_Create(pthread_t* tid, const pthread_attr_t* attr, ThreadFunc func, void* arg)
{
    // A new thread inherits the creator's mask.
    sigset_t set = ControlSignals(), old;
    pthread_sigmask(SIG_BLOCK, &set, &old);
    int rc = pthread_create(tid, attr, func, arg);
    pthread_sigmask(SIG_SETMASK, &old, nullptr);
    return rc;
}

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
    if (Thread_Create(&tid, &attr, func, thr_data) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s][%s]%d: call func:pthread_create failed\r\n", filename,
                   funcname, line);
        pthread_attr_destroy(&attr);
        return 0;
    }
    pthread_attr_destroy(&attr);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SYS, "[%s]%d: Create %s thread success!!\r\n", filename, line, funcname);
    return tid;
}

// How deep the calling thread holds the card-state lock.
static thread_local int t_cardStateDepth = 0;

void CardStateMutex::lock()
{
    m_.lock();
    t_cardStateDepth++;
}

void CardStateMutex::unlock()
{
    t_cardStateDepth--;
    m_.unlock();
}

bool CardStateMutex::try_lock()
{
    if (!m_.try_lock())
        return false;
    t_cardStateDepth++;
    return true;
}

bool CardStateMutex::HeldHere() { return t_cardStateDepth > 0; }

CardStateMutex& Card_StateMutex()
{
    static CardStateMutex m;
    return m;
}
