// The master's queue for the slave chip and the worker that sends it: the
// newest message of each command, sent in order with no lock held; tickets
// that a handler may wait on (bounded); and the re-sync of a slave chip that
// answers again after it missed messages.
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace {

struct Message {
    U16 u16Cmd;
    std::vector<U8> data;
    U64 u64Seq;     // its ticket
    U64 u64Covers;  // the oldest ticket it stands for (the ones it replaced)
    bool bSending;  // taken by a sender: a newer one queues behind it
};

// Never destroyed: the detached worker may still wait on it while the
// process exits.
struct Link {
    std::mutex mutex;
    std::condition_variable cond;
    std::vector<Message> queue;
    // The last message of each state command, in the order they were
    // queued: what the slave chip must hold, sent again after it missed some.
    std::vector<std::pair<U16, std::vector<U8>>> state;
    U64 u64Last = 0;      // newest ticket
    U64 u64Done = 0;      // every ticket up to this one reached the slave
    U64 u64Failed = 0;    // every ticket up to this one not yet taken was dropped
    zrErrCode emFailCode = ZR_SUCCESS;
    bool bLost = false;
};
Link& s_link = *new Link;
// Held by whoever sends (the worker, or a caller flushing): one message on
// the wire at a time, in queue order.
std::mutex& s_wire = *new std::mutex;
std::atomic<bool> s_bRunning{false};

// Pauses of a worker whose slave chip does not answer, before it tries
// again with what the slave chip must hold.
constexpr int kRetryFirstMs = 1000;
constexpr int kRetryMaxMs = 8000;

const char kSlaveName[] = "192.168.188.111";

void RecomputeDone(Link& l)
{
    U64 oldest = l.u64Last + 1;
    for (const Message& m : l.queue)
        oldest = std::min(oldest, m.u64Covers);
    l.u64Done = std::max(l.u64Done, oldest - 1);
}

// The time messages carry the clock: sent again as it is now, not as it was.
bool IsClockCommand(U16 cmd) { return cmd == ZR_COM_MAC_CMD_SYSTEM_TIME || cmd == ZR_COM_MAC_CMD_ATSC_TIME_INFO; }

U64 PostLocked(Link& l, U16 cmd, std::vector<U8> data)
{
    U64 seq = ++l.u64Last;
    U64 covers = seq;
    for (auto it = l.queue.begin(); it != l.queue.end(); ++it) {
        if (it->u16Cmd == cmd && !it->bSending) {
            covers = std::min(covers, it->u64Covers);
            l.queue.erase(it);
            break;
        }
    }
    for (auto it = l.state.begin(); it != l.state.end(); ++it) {
        if (it->first == cmd) {
            l.state.erase(it);
            break;
        }
    }
    if (!IsClockCommand(cmd))
        l.state.emplace_back(cmd, data);
    l.queue.push_back({cmd, std::move(data), seq, covers, false});
    l.cond.notify_all();
    return seq;
}

// Everything the slave chip must hold, queued again; the clock as it is now.
void Resync(void)
{
    {
        std::lock_guard<std::mutex> lk(s_link.mutex);
        auto state = s_link.state;
        for (auto& e : state)
            PostLocked(s_link, e.first, std::move(e.second));
    }
    Resource_PostSlaveTimeInfo();
    U32 now = 0;
    Status_GetLinuxTime(&now);
    SlaveLink_Post(ZR_COM_MAC_CMD_SYSTEM_TIME, reinterpret_cast<U8*>(&now), sizeof(now));
}

// A card without the slave chip has no one to tell: what it queues counts
// as sent.
bool NoSlave(void) { return BMN_GetOutputChannelNum() == 4; }

// A card whose slave chip is absent (the detection did not find it) sends it
// nothing: what it queues is not taken, and goes to the slave chip once it
// announces itself.
bool SlaveAbsent(void) { return __atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) != 1; }

S32 SendOne(const Message& m)
{
    std::vector<U8> data = m.data;
    return MACMasterCommSendDataWithin((ZR_COM_MAC_CMD)m.u16Cmd, data.data(), (U32)data.size(), 0);
}

// Sends the oldest queued message, if any. Returns false when there was
// none; *pRecovered when the slave chip answered again after it missed some.
bool SendNext(bool* pRecovered)
{
    Message m;
    {
        std::lock_guard<std::mutex> lk(s_link.mutex);
        auto it = std::find_if(s_link.queue.begin(), s_link.queue.end(), [](const Message& q) { return !q.bSending; });
        if (it == s_link.queue.end())
            return false;
        it->bSending = true;
        m = *it;
    }
    const bool none = NoSlave();
    S32 rc = none ? 0 : SlaveAbsent() ? (S32)ZR_ERR_SOCKET_CONNECT_FAIL : SendOne(m);
    // Before the detection found the slave chip, or while it is absent, a
    // push it did not take is not missed: the detection, or the slave's
    // announcement, brings it the master's whole state. Its waiters learn
    // that it was not taken.
    const bool missed = rc != 0 && MACComm_SlaveFound();
    bool lostNow = false;
    {
        std::lock_guard<std::mutex> lk(s_link.mutex);
        Link& l = s_link;
        if (rc == 0) {
            auto it = std::find_if(l.queue.begin(), l.queue.end(), [&](const Message& q) { return q.u64Seq == m.u64Seq; });
            if (it != l.queue.end())
                l.queue.erase(it);
            RecomputeDone(l);
            if (l.bLost) {
                l.bLost = false;
                *pRecovered = !none;
            }
        } else {
            // What is queued now will not get through either: dropped, and
            // sent again (as the master then holds it) once the slave answers.
            l.u64Failed = l.u64Last;
            l.emFailCode = (zrErrCode)rc;
            l.queue.clear();
            lostNow = missed && !l.bLost;
            l.bLost = l.bLost || missed;
        }
        l.cond.notify_all();
    }
    if (lostNow)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW,
                   "%ld:%s:%d Slave chip %s did not take chip-link command %u (%d): what it misses goes to it again "
                   "once it answers\n",
                   LOG_POS, kSlaveName, (unsigned)m.u16Cmd, (int)rc);
    if (*pRecovered)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW,
                   "%ld:%s:%d Slave chip %s answers again: the master's state goes to it again\n", LOG_POS, kSlaveName);
    return true;
}

void* Worker(void*)
{
    int pause = kRetryFirstMs;
    for (;;) {
        {
            std::unique_lock<std::mutex> lk(s_link.mutex);
            auto ready = [] {
                return std::any_of(s_link.queue.begin(), s_link.queue.end(), [](const Message& q) { return !q.bSending; });
            };
            if (!s_link.bLost) {
                s_link.cond.wait(lk, ready);
                pause = kRetryFirstMs;
            } else if (!s_link.cond.wait_for(lk, std::chrono::milliseconds(pause), ready)) {
                // Nothing new to send: what the slave chip must hold, to find
                // out whether it answers again.
                pause = std::min(pause * 2, kRetryMaxMs);
                lk.unlock();
                Resync();
                continue;
            }
        }
        bool recovered = false;
        {
            std::lock_guard<std::mutex> wire(s_wire);
            SendNext(&recovered);
        }
        if (recovered)
            Resync();
    }
    return nullptr;
}

}  // namespace

U64 SlaveLink_Post(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen)
{
    if (pu8Data == nullptr && u32DataLen != 0)
        return SlaveLink_Mark();
    std::lock_guard<std::mutex> lk(s_link.mutex);
    return PostLocked(s_link, (U16)emCmd, std::vector<U8>(pu8Data, pu8Data + u32DataLen));
}

U64 SlaveLink_Mark(void)
{
    std::lock_guard<std::mutex> lk(s_link.mutex);
    return s_link.u64Last;
}

zrErrCode SlaveLink_Await(U64 u64Ticket, int waitMs)
{
    if (CardStateMutex::HeldHere())
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d slave chip awaited while holding the card-state lock\n",
                   LOG_POS);
    // Before the worker runs, the caller sends what waits itself.
    if (!s_bRunning)
        SlaveLink_Flush();
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    std::unique_lock<std::mutex> lk(s_link.mutex);
    for (;;) {
        if (s_link.u64Done >= u64Ticket)
            return ZR_SUCCESS;
        if (s_link.u64Failed >= u64Ticket)
            return s_link.emFailCode;
        if (s_link.cond.wait_until(lk, end) == std::cv_status::timeout && s_link.u64Done < u64Ticket)
            return s_link.u64Failed >= u64Ticket ? s_link.emFailCode : ZR_ERR_IPCOMM_TIME_OUT;
    }
}

BOOL SlaveLink_Pending(U32 u32Cmd, std::vector<U8>* pData)
{
    std::lock_guard<std::mutex> lk(s_link.mutex);
    for (const Message& m : s_link.queue) {
        if (m.u16Cmd == u32Cmd) {
            if (pData)
                *pData = m.data;
            return 1;
        }
    }
    return 0;
}

void SlaveLink_Flush(void)
{
    std::lock_guard<std::mutex> wire(s_wire);
    bool recovered = false;
    while (SendNext(&recovered)) {
    }
}

void SlaveLink_Start(void)
{
    if (s_bRunning.exchange(true))
        return;
    if (THREAD_NEW_DETACH(Worker, nullptr, "SlaveLink_Worker") == 0)
        s_bRunning = false;
}

bool SlaveLink_Lost(void)
{
    std::lock_guard<std::mutex> lk(s_link.mutex);
    return s_link.bLost;
}

void SlaveLink_LogNotTaken(const char* pcWhat, zrErrCode emCode, const char* pcOutcome)
{
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Slave chip %s did not take %s within %d ms (%d): %s\n",
               LOG_POS, kSlaveName, pcWhat, SLAVELINK_TAKE_WAIT_MS, (int)emCode, pcOutcome);
}
