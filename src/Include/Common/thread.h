// Detached threads and the lock over the card's shared state.
#pragma once
#include "Common/types.h"
#include <mutex>
#include <pthread.h>

typedef void* (*ThreadFunc)(void*);

// Returns the new thread's id, or 0 on failure (logged).
pthread_t Thread_NewDetach(ThreadFunc func, void* thr_data, const char* funcname, const char* filename, U32 line);

#define THREAD_NEW_DETACH(func, arg, name) Thread_NewDetach((func), (arg), (name), __FILE__, __LINE__)

// SIGHUP, SIGTERM, SIGINT and SIGUSR1 belong to the SNMP agent's loop: every
// other thread blocks them, so that such a signal wakes the agent at once.
// Thread_Create is pthread_create with the new thread blocking them.
int Thread_Create(pthread_t* tid, const pthread_attr_t* attr, ThreadFunc func, void* arg);
// Blocks (or unblocks) them in the calling thread.
void Thread_BlockControlSignals(bool bBlock);

// One lock over the card's shared state: the output-stream database and its
// working copy, the parameter sets and the slot resource table. Handlers on
// the frame server, HTTP, SNMP and LED threads take it for the whole of a
// request. Never hold it across a blocking call to a peer. Lock order: the
// card-state lock before the SI carousel's lock.
// A recursive mutex that knows whether the calling thread holds it, so that
// a send to a peer can tell that it would wait under the lock.
class CardStateMutex {
public:
    void lock();
    void unlock();
    bool try_lock();
    // True when the calling thread holds the lock.
    static bool HeldHere();

private:
    std::recursive_mutex m_;
};
CardStateMutex& Card_StateMutex();
using CardStateGuard = std::lock_guard<CardStateMutex>;
using CardStateLock = std::unique_lock<CardStateMutex>;
#define CARD_STATE_LOCK() CardStateGuard cardStateGuard_(Card_StateMutex())
