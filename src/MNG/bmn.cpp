// Reboot coordination of the card's two chips and the card's output channel
// count: the master tells the slave chip before it reboots itself.
#include "MNG/bmn.h"
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <atomic>
#include <cerrno>
#include <cstring>
#include <pthread.h>
#include <semaphore.h>
#include <unistd.h>

U8 g_u8OutputChannelNum = 8;

sem_t g_stReboot_Master_Sem;
sem_t g_stReboot_Slave_Sem;
std::atomic<bool> G_REBOOT_SUCCESS_FLAG{false};

namespace {

std::atomic<int> s_requestWaitMs{3000};
// Set once the master's reboot thread has its semaphore: a request made
// before that would post an uninitialised semaphore.
std::atomic<bool> s_masterReady{false};

#define BMN_INFO(fmt, ...) log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define BMN_ERR(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

void WaitSem(sem_t* s)
{
    while (sem_wait(s) != 0 && errno == EINTR) {
    }
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
        // Told within the request's wait: a slave that answers only after the
        // request was answered 782 must not reboot the card after all.
        if (MACMasterCommSendCmdWithin(ZR_COM_MAC_CMD_SYS_REBOOT, s_requestWaitMs * 2 / 3) == 0) {
            SLAVE_HAVE_RECIEVE_REBOOT_CMD = 1;
            G_REBOOT_SUCCESS_FLAG = true;
            usleep(50);
            BMN_INFO("#####Master chip reboot now...#####\n");
            plat::System("reboot");
        } else {
            G_REBOOT_SUCCESS_FLAG = false;
            BMN_ERR("Fail to tell slave chip reboot\n");
        }
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
    if (s_masterReady)
        sem_post(&g_stReboot_Master_Sem);
    BMN_INFO("####### G_MASTER_REBOOT_CMD #######\n");
    usleep((useconds_t)s_requestWaitMs * 1000);
    return G_REBOOT_SUCCESS_FLAG ? ZR_SUCCESS : ZR_ERR_WEB_REBOOT_FAIL;
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
    IPComm_RecycleBeforeReboot();
    IPComm_SendCmd2Slot(16, IPCOMM_REQ_REBOOT);
    zrErrCode rc = IPComm_RebootSubboard();
    if (rc != ZR_SUCCESS)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s:%d]IPComm_RebootSubboard error,enErrCode[%u]\n", __func__, __LINE__,
                   (unsigned)rc);
    return rc;
}
