// Reboot coordination of the card's two chips and the card's output channel
// count: the master tells the slave chip before it reboots itself.
#include "MNG/bmn.h"
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include <atomic>
#include <cerrno>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

U8 g_u8OutputChannelNum = 8;

sem_t g_stReboot_Master_Sem;
sem_t g_stReboot_Slave_Sem;
std::atomic<bool> G_REBOOT_SUCCESS_FLAG{false};

namespace {

// The requester's wait for the reboot thread (0: 3 s in the chip's own time).
std::atomic<int> s_requestWaitMs{0};
// Set once the master's reboot thread has its semaphore: a request made
// before that would post an uninitialised semaphore.
std::atomic<bool> s_masterReady{false};
// Requests posted to the reboot thread and those it has served: a requester
// waits (bounded) for the outcome of its own.
std::mutex s_outcomeMutex;
std::condition_variable s_outcomeCond;
U64 s_u64Asked = 0;
U64 s_u64Served = 0;
zrErrCode s_emServed = ZR_ERR_WEB_REBOOT_FAIL;
// One operator's reboot at a time: a request made while the slave chip is
// being told gets that request's outcome; once the card is on its way down,
// every request is answered 0.
enum class OperatorReboot { Idle, Asking, Going };
std::mutex s_operatorMutex;
std::condition_variable s_operatorCond;
OperatorReboot s_operator = OperatorReboot::Idle;
// Time for the requester's answer to leave before the master chip goes.
constexpr int kReplyPauseMs = 2000;
// The back board's answer to the reboot notice does not hold the reboot.
constexpr int kBackBoardWaitMs = 1000;
constexpr U8 kSlotBackBoard = 16;

#define BMN_INFO(fmt, ...) log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define BMN_ERR(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

int RequestWaitMs(void)
{
    int ms = s_requestWaitMs;
    return ms > 0 ? ms : 3000 * (int)plat::Slowness();
}

void WaitSem(sem_t* s)
{
    while (sem_wait(s) != 0 && errno == EINTR) {
    }
}

// Tells the slave chip that the card reboots, confirmed within two thirds of
// a request's wait: 0 once it took it (it reboots, so this chip must); 782
// when it did not, and then neither chip reboots.
zrErrCode TellSlave(void)
{
    const int total = RequestWaitMs() * 2 / 3;
    const int done = MACCOMM_DONE_WAIT_MS < total / 2 ? MACCOMM_DONE_WAIT_MS : total / 2;
    bool may = false;
    S32 rc = MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_SYS_REBOOT, nullptr, 0, total - done, done, nullptr, &may);
    if (rc == 0) {
        SLAVE_HAVE_RECIEVE_REBOOT_CMD = 1;
        G_REBOOT_SUCCESS_FLAG = true;
        return ZR_SUCCESS;
    }
    G_REBOOT_SUCCESS_FLAG = false;
    BMN_ERR("Fail to tell slave chip reboot\n");
    SlaveLink_LogNotTaken("the reboot notice", (zrErrCode)rc,
                          may ? "the master chip does not reboot; the slave chip may have taken it"
                              : "neither chip reboots");
    return ZR_ERR_WEB_REBOOT_FAIL;
}

void* BMN_Master_SysReboot(void*)
{
    if (sem_init(&g_stReboot_Master_Sem, 0, 0) != 0) {
        BMN_ERR("Reboot 's sem init failure\n");
        return (void*)1;
    }
    s_masterReady = true;
    // The thread keeps serving after a slave that did not answer: the next
    // request tries again instead of waking nobody.
    for (;;) {
        WaitSem(&g_stReboot_Master_Sem);
        U64 asked;
        {
            std::lock_guard<std::mutex> lk(s_outcomeMutex);
            asked = s_u64Asked;
        }
        zrErrCode rc = TellSlave();
        if (rc == ZR_SUCCESS) {
            usleep(50);
            BMN_INFO("#####Master chip reboot now...#####\n");
            plat::System("reboot");
        }
        {
            std::lock_guard<std::mutex> lk(s_outcomeMutex);
            s_u64Served = asked;
            s_emServed = rc;
        }
        s_outcomeCond.notify_all();
    }
    return nullptr;
}

void* BMN_Slave_SysReboot(void*)
{
    if (sem_init(&g_stReboot_Slave_Sem, 0, 0) != 0) {
        BMN_ERR("Reboot 's sem init failure\n");
        return (void*)1;
    }
    WaitSem(&g_stReboot_Slave_Sem);
    usleep(5000);
    BMN_INFO("#####Slave chip reboot now...#####\n");
    plat::System("reboot");
    return nullptr;
}

S32 StartDetached(void* (*body)(void*))
{
    pthread_t tid;
    int rc = pthread_create(&tid, nullptr, body, nullptr);
    if (rc != 0) {
        BMN_ERR("NMGSystemReboot thread create error :%s(errno: %d)\n", strerror(rc), rc);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    BMN_INFO("NMGSystemReboot thread create successfully!\n");
    rc = pthread_detach(tid);
    if (rc != 0) {
        BMN_ERR("NMGSystemReboot thread detach error :%s(errno: %d)\n", strerror(rc), rc);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    BMN_INFO("NMGSystemReboot thread detach successfully!\n");
    return 0;
}

// The operator's reboot once the slave chip took it (or on a card without
// it): the requester's answer leaves, the file systems are prepared, the back
// board is told, and the master chip reboots.
void* OperatorRebootLater(void*)
{
    usleep((useconds_t)kReplyPauseMs * 1000);
    IPComm_RecycleBeforeReboot();
    U32 bb = Resource_getBoardIPAddress(kSlotBackBoard);
    if (bb == 0 || IPComm_SendCmdWithin(bb, IPCOMM_REQ_REBOOT, kBackBoardWaitMs * (int)plat::Slowness()) != 0)
        BMN_ERR("back board not told of the reboot: the card reboots anyway\n");
    BMN_INFO("#####Master chip reboot now...#####\n");
    plat::System("reboot");
    return nullptr;
}

void* RebootAfterPause(void* arg)
{
    usleep((useconds_t)(intptr_t)arg * 1000);
    zrErrCode rc = IPComm_RebootSubboard();
    if (rc != ZR_SUCCESS)
        BMN_ERR("the card does not reboot: %u\n", (unsigned)rc);
    return nullptr;
}

}  // namespace

void BMN_SetRebootWaitMs(int ms) { s_requestWaitMs = ms; }

U8 BMN_GetOutputChannelNum(void) { return g_u8OutputChannelNum; }

S32 BMN_Master_DeteSysRebootTask(void) { return StartDetached(BMN_Master_SysReboot); }
S32 BMN_Slave_DeteSysRebootTask(void) { return StartDetached(BMN_Slave_SysReboot); }

zrErrCode IPComm_RebootSubboard(void)
{
    if (BMN_GetOutputChannelNum() == 4) {
        BMN_INFO("#######master chip reboot only#######\n");
        BMN_INFO("Call system reboot\n");
        plat::System("reboot");
        return ZR_SUCCESS;
    }
    G_REBOOT_SUCCESS_FLAG = false;
    U64 mine;
    {
        std::lock_guard<std::mutex> lk(s_outcomeMutex);
        mine = ++s_u64Asked;
    }
    if (s_masterReady)
        sem_post(&g_stReboot_Master_Sem);
    BMN_INFO("####### G_MASTER_REBOOT_CMD #######\n");
    std::unique_lock<std::mutex> lk(s_outcomeMutex);
    bool served = s_outcomeCond.wait_for(lk, std::chrono::milliseconds(RequestWaitMs()),
                                         [mine] { return s_u64Served >= mine; });
    return served && s_emServed == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_WEB_REBOOT_FAIL;
}

void BMN_RebootAfter(int pauseMs)
{
    if (THREAD_NEW_DETACH(RebootAfterPause, (void*)(intptr_t)pauseMs, "BMN_RebootAfter") == 0)
        BMN_ERR("the card does not reboot: no thread\n");
}

void IPComm_RecycleBeforeReboot(void)
{
    BMN_INFO("End logging and umount data before reboot\n");
    plat::System("kill -9 $(pidof syslogd)");
    plat::System("sync");
    sleep(1);
    plat::System("sync");
    plat::System("umount /tarvex_data");
    char cmd[32];
    snprintf(cmd, sizeof(cmd), "ubidetach -m %d", 9);
    plat::System(cmd);
    sleep(1);
}

zrErrCode BMN_SubBoardReboot(void)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "********Reboot******\n");
    {
        std::unique_lock<std::mutex> lk(s_operatorMutex);
        if (s_operator == OperatorReboot::Asking) {
            s_operatorCond.wait_for(lk, std::chrono::milliseconds(RequestWaitMs()),
                                    [] { return s_operator != OperatorReboot::Asking; });
            return s_operator == OperatorReboot::Going ? ZR_SUCCESS : ZR_ERR_WEB_REBOOT_FAIL;
        }
        if (s_operator == OperatorReboot::Going)
            return ZR_SUCCESS;
        s_operator = OperatorReboot::Asking;
    }
    // The slave chip first: one that does not take it leaves the whole card
    // as it is (file systems mounted, nothing rebooted), and the answer says so.
    zrErrCode rc = BMN_GetOutputChannelNum() != 4 ? TellSlave() : ZR_SUCCESS;
    if (rc == ZR_SUCCESS && THREAD_NEW_DETACH(OperatorRebootLater, nullptr, "BMN_OperatorReboot") == 0)
        rc = ZR_ERR_WEB_REBOOT_FAIL;
    {
        std::lock_guard<std::mutex> lk(s_operatorMutex);
        s_operator = rc == ZR_SUCCESS ? OperatorReboot::Going : OperatorReboot::Idle;
    }
    s_operatorCond.notify_all();
    if (rc != ZR_SUCCESS)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s:%d]IPComm_RebootSubboard error,enErrCode[%u]\n", __func__,
                   __LINE__, (unsigned)rc);
    return rc;
}
