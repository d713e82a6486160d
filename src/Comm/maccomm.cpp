// Chip link between the two chips of the card (TCP port 8050): addresses,
// send routines of both ends, file transfer, the master's server with its
// command table, the slave detection and the master's half of register access.
#include "Comm/maccomm.h"
#include "Comm/ipcomm.h"
#include "Comm/macreasm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/Socket/socket.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <poll.h>
#include <semaphore.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

U8 SLAVE_CHIP_IS_EXIST = 1;
U8 SLAVE_HAVE_RECIEVE_REBOOT_CMD = 0;

namespace {

std::atomic<U32> s_u32SoftBuildVersionSlaveCmp{0};
std::atomic<U32> s_u32LogicVersionSlaveCmp{0};
// The slave's installed software version as it answered the version request
// (its build version when it sends that alone), and a count of its answers.
std::atomic<U32> s_u32InstalledVersionSlave{0};
std::atomic<U32> s_u32VersionAnswers{0};
std::atomic<BOOL> bLogRecieveEndFlag{0};

std::atomic<int> s_detectFirstMs{2000};
std::atomic<int> s_detectSecondMs{3000};

// The register request now waiting for the slave's answer (command 0: none).
// An answer is taken only while its request is outstanding and names the
// same register, so a late answer cannot overwrite a newer request's value.
std::mutex s_regMutex;
U16 s_regPendingCmd = 0;
ST_DEBUG_SLAVE_REG_INFO s_regPending;

// One file reception per process (the master's log archive, the slave's
// upgrade image).
std::mutex s_fileMutex;
MacReassembly s_fileRx(0);

// The slave's log archive is taken only while a log export waits for it: one
// that comes later would be the archive of an export that already ended.
const char kSlaveLogArchive[] = "/tarvex_data/log/cas_log.tar.gz";
std::mutex s_logMutex;
bool s_logOpen = false;

std::atomic<int> s_confirmWaitMs{0};  // 0: the default in the chip's own time
std::atomic<U32> s_confirmId{0};
thread_local zrErrCode t_slaveRegCode = ZR_SUCCESS;

#define MAC_ERR(mod, fmt, ...) log_printf(LOG_LEVEL_ERROR, mod, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define MAC_INFO(mod, fmt, ...) log_printf(LOG_LEVEL_INFO, mod, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

void PauseMs(int ms)
{
    if (ms > 0)
        usleep((useconds_t)ms * 1000);
}

bool SameRegister(const ST_DEBUG_SLAVE_REG_INFO& a, const ST_DEBUG_SLAVE_REG_INFO& b)
{
    if (a.u8RegType != b.u8RegType)
        return false;
    switch (a.u8RegType) {
    case 1: return a.u32SlaveAD9789RegAdd == b.u32SlaveAD9789RegAdd;
    case 2: return a.u32SlaveRFDA0016RegAdd == b.u32SlaveRFDA0016RegAdd;
    case 3: return a.u32SlaveADF4351RegAdd == b.u32SlaveADF4351RegAdd;
    default: return a.u32SlaveLogRegAdd == b.u32SlaveLogRegAdd;
    }
}

S32 SendFileTo(U32 u32Peer, ZR_COM_MAC_CMD cmd, const U8* pu8Path, bool bSilentEnds)
{
    if (pu8Path == nullptr) {
        MAC_ERR(LOG_MODULE_HW, "Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    std::string path = plat::Path((const char*)pu8Path);
    struct stat st;
    if (stat(path.c_str(), &st) != 0 || (U64)st.st_size > MACCOMM_FILE_MAX_BYTES) {
        MAC_ERR(LOG_MODULE_HW, "stat error\n");
        return ZR_ERR_PARAMS;
    }
    std::vector<U8> buf((size_t)st.st_size + 1);
    S32 rc = MACComm_ReadFile(pu8Path, buf.data(), (U32)st.st_size);
    if (rc != 0)
        return rc;
    return IPComm_SendDataTo(u32Peer, cmd, buf.data(), (U32)st.st_size, bSilentEnds);
}

// Handlers of the master's table.
S32 Ack(S32 s, ST_ZR_IPCOMM*)
{
    IPComm_ResponseSuccess(s);
    return 0;
}

// Set once the start-up detection has ended: before that, the detection
// pushes the master's state itself.
std::atomic<bool> s_detectDone{false};
// Set once a detection found the slave chip.
std::atomic<bool> s_slaveFound{false};

// One re-sync at a time; an announcement during a re-sync asks for another.
std::mutex s_resyncMutex;
bool s_resyncRunning = false;
bool s_resyncPending = false;

bool DetectPass(bool bPauseFirst);

void* ResyncTask(void*)
{
    for (;;) {
        {
            std::lock_guard<std::mutex> lk(s_resyncMutex);
            if (!s_resyncPending) {
                s_resyncRunning = false;
                return nullptr;
            }
            s_resyncPending = false;
        }
        // A slave the detection did not find (it was down then) is taken
        // once it answers the version requests, as the detection takes it.
        if (__atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) != 1) {
            s_u32SoftBuildVersionSlaveCmp = 0;
            s_u32LogicVersionSlaveCmp = 0;
            s_u32InstalledVersionSlave = 0;
            __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 1, __ATOMIC_RELAXED);
            if (!DetectPass(false)) {
                __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 0, __ATOMIC_RELAXED);
                MAC_ERR(LOG_MODULE_HW, "Slave chip announced itself but did not answer the version requests\n");
                continue;
            }
            s_slaveFound = true;
        }
        MACComm_ResendStartupState();
    }
}

// The slave announces itself when its program starts: one that restarted
// alone has lost what the master had pushed, so the master pushes it again;
// one the detection did not find is taken now (on a thread of its own: the
// server must stay free for the slave).
S32 MACMaster_DeteAlive(S32 s, ST_ZR_IPCOMM*)
{
    IPComm_ResponseSuccess(s);
    if (!s_detectDone || BMN_GetOutputChannelNum() == 4)
        return 0;
    if (__atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) == 1)
        MAC_INFO(LOG_MODULE_HW, "Slave chip started again: pushing the master's state\n");
    else
        MAC_INFO(LOG_MODULE_HW, "Slave chip announced itself after the detection: taking it\n");
    std::lock_guard<std::mutex> lk(s_resyncMutex);
    s_resyncPending = true;
    if (s_resyncRunning)
        return 0;
    s_resyncRunning = THREAD_NEW_DETACH(ResyncTask, nullptr, "MACComm_Resync") != 0;
    return 0;
}

bool Guard(ST_ZR_IPCOMM* f, const char* func)
{
    if (f != nullptr)
        return true;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: param = NULL\n", LOG_POS_OF(func));
    return false;
}

U32 FirstWord(const ST_ZR_IPCOMM* f)
{
    U32 v = 0;
    memcpy(&v, f->pu8Data, f->u32Length < 4 ? f->u32Length : 4);
    return v;
}

S32 MACMaster_GuardedAck(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    return 0;
}

S32 MACMaster_SoftwareVersion(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    MACComm_SetSlaveVersion(false, FirstWord(f));
    U32 installed = FirstWord(f);
    if (f->u32Length >= 8)
        memcpy(&installed, f->pu8Data + 4, 4);
    s_u32InstalledVersionSlave = installed;
    s_u32VersionAnswers++;
    MAC_INFO(LOG_MODULE_HW, "Software Version = 0x%x, installed 0x%x\n", FirstWord(f), installed);
    return 0;
}

S32 MACMaster_HardwareVersion(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    MAC_INFO(LOG_MODULE_HW, "Hardware Version = 0x%x\n", FirstWord(f));
    CARD_STATE_LOCK();
    if (TResource_TS* self = Resource_getSelfHandle())
        self->u32HardVersion = FirstWord(f);
    return 0;
}

S32 MACMaster_FPGAVersion(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    MAC_INFO(LOG_MODULE_HW, "Slave chip Logic Version = 0x%x\n", FirstWord(f));
    MACComm_SetSlaveVersion(true, FirstWord(f));
    return 0;
}

S32 MACMaster_LogFile(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    std::lock_guard<std::mutex> lk(s_logMutex);
    if (!s_logOpen) {
        // The sender learns at its first frame that no export waits.
        if (f->u32CurTansNum == 0)
            MAC_ERR(LOG_MODULE_HW, "slave log archive while no log export waits for it: refused\n");
        IPComm_ResponseError(s);
        return -1;
    }
    // The flag tells the log export that a whole archive is there.
    if (MACComm_RecieveFile(s, f, (const U8*)kSlaveLogArchive) == 0)
        bLogRecieveEndFlag = 1;
    return 0;
}

S32 RegAnswer(S32 s, ST_ZR_IPCOMM* f, bool read)
{
    if (!Guard(f, read ? "MACMaster_RegRead" : "MACMaster_RegWrite"))
        return -1;
    ST_DEBUG_SLAVE_REG_INFO ans;
    memset(&ans, 0, sizeof(ans));
    memcpy(&ans, f->pu8Data, f->u32Length < sizeof(ans) ? f->u32Length : sizeof(ans));
    U16 cmd = read ? ZR_COM_MAC_CMD_REG_READ : ZR_COM_MAC_CMD_REG_WRITE;
    bool take;
    {
        std::lock_guard<std::mutex> lk(s_regMutex);
        take = f->u32Length == sizeof(ans) && s_regPendingCmd == cmd && SameRegister(ans, s_regPending);
        if (take) {
            s_regPendingCmd = 0;
            if (read) {
                std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
                stSlaveRegInfo = ans;
            }
        }
    }
    if (take) {
        sem_t* sem = read ? &g_stReadRegVal_Sem : &g_stWriteRegVal_Sem;
        if (read) {
            U32 first = 0;
            memcpy(&first, sem, sizeof(first));
            MAC_INFO(LOG_MODULE_HW, "addr = 0x%x, g_stReadRegVal_Sem = 0x%x\n", FirstWord(f), first);
        }
        sem_post(sem);
    } else {
        MAC_ERR(LOG_MODULE_HW, "register answer %u matches no outstanding request: dropped\n", cmd);
    }
    IPComm_ResponseSuccess(s);
    return 0;
}

S32 MACMaster_RegRead(S32 s, ST_ZR_IPCOMM* f) { return RegAnswer(s, f, true); }
S32 MACMaster_RegWrite(S32 s, ST_ZR_IPCOMM* f) { return RegAnswer(s, f, false); }

S32 MACMaster_Reboot(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    if (f->u16CMD == ZR_COM_MAC_CMD_SYS_REBOOT)
        SLAVE_HAVE_RECIEVE_REBOOT_CMD = 1;
    IPComm_ResponseSuccess(s);
    return 0;
}

const MacComFuncMap_Master arstMacComFuncMapMaster[] = {
    {ZR_COM_MAC_CMD_VERSION_SOFTWARE, MACMaster_SoftwareVersion},
    {ZR_COM_MAC_CMD_VERSION_HARDWARE, MACMaster_HardwareVersion},
    {ZR_COM_MAC_CMD_VERSION_FPGA, MACMaster_FPGAVersion},
    {ZR_COM_MAC_CMD_FILE_UPGRADE, Ack},
    {ZR_COM_MAC_CMD_FILE_LOG, MACMaster_LogFile},
    {ZR_COM_MAC_CMD_FILE_CLEAR_LOG, Ack},
    {ZR_COM_MAC_CMD_DETE_ALIVE, MACMaster_DeteAlive},
    {ZR_COM_MAC_CMD_REG_READ, MACMaster_RegRead},
    {ZR_COM_MAC_CMD_REG_WRITE, MACMaster_RegWrite},
    {ZR_COM_MAC_CMD_SYS_REBOOT, MACMaster_Reboot},
    {ZR_COM_MAC_CMD_SYS_STATUS, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_NET_TS, Ack},
    {ZR_COM_MAC_CMD_PARAMS_NET_CAS, Ack},
    {ZR_COM_MAC_CMD_PARAMS_MAC_TS, Ack},
    {ZR_COM_MAC_CMD_PARAMS_MAC_CAS, Ack},
    {ZR_COM_MAC_CMD_PARAMS_MUXER, Ack},
    {ZR_COM_MAC_CMD_PARAMS_QAM, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_PSI_IP, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_MAC, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_PARAMS_PASSLUT, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_RES_HARDVERSION, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_MOD_SI, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_ATSC_TIME_INFO, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_STT_ENABLE_FLAG, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_TOT_ENABLE_FLAG, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_TOT_TABLE_INFO, MACMaster_GuardedAck},
    {ZR_COM_MAC_CMD_SYSTEM_TIME, MACMaster_GuardedAck},
    {0, nullptr},
};

void PrintVersions(bool working)
{
    const ST_VERSION_INFO& v = g_stVersionInfo;
    auto sw = [](U32 x, int sh) { return (int)((x >> sh) & 0xFF); };
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d =========================================\n", LOG_POS);
    if (!working)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d ===  Slave chip is not working!!!   ===\n", LOG_POS);
    else
        MAC_INFO(LOG_MODULE_SYS, "===  Slave chip is working now!!!   ===\n");
    MAC_INFO(LOG_MODULE_SYS, "=========================================\n");
    MAC_INFO(LOG_MODULE_SYS, "=== Master SoftVersion: V%02d.%02d.%02d  ===\n", sw(v.u32MasterBuildSoftVer, 16),
             sw(v.u32MasterBuildSoftVer, 8), sw(v.u32MasterBuildSoftVer, 0));
    MAC_INFO(LOG_MODULE_SYS, "=== Master LogicVersion: %02d.%02d.%02d%02d ===\n", sw(v.u32MasterLogVer, 24),
             sw(v.u32MasterLogVer, 16), sw(v.u32MasterLogVer, 8), sw(v.u32MasterLogVer, 0));
    MAC_INFO(LOG_MODULE_SYS, "===   ----------------------------  ===\n");
    MAC_INFO(LOG_MODULE_SYS, "=== Slave  SoftVersion: V%02d.%02d.%02d ===\n", sw(v.u32SlaveBuildSoftVer, 16),
             sw(v.u32SlaveBuildSoftVer, 8), sw(v.u32SlaveBuildSoftVer, 0));
    MAC_INFO(LOG_MODULE_SYS, "=== Slave  LogicVersion: %02d.%02d.%02d%02d  ===\n", sw(v.u32SlaveLogVer, 24),
             sw(v.u32SlaveLogVer, 16), sw(v.u32SlaveLogVer, 8), sw(v.u32SlaveLogVer, 0));
    MAC_INFO(LOG_MODULE_SYS, "=========================================\n");
}

void InitAddresses(U32 own, void (*fpgaInit)(U32), const char* eth1)
{
    char cmd[96];
    snprintf(cmd, sizeof(cmd), "ifconfig eth1:Mac_D %u.%u.%u.%u", own >> 24, (own >> 16) & 0xFF, (own >> 8) & 0xFF,
             own & 0xFF);
    plat::System(cmd);
    fpgaInit(own);
    plat::System("ifconfig eth1 up");
    snprintf(cmd, sizeof(cmd), "ifconfig eth1 %s", eth1);
    plat::System(cmd);
}

}  // namespace

void MACComm_SetTestPauses(int detectFirstMs, int detectSecondMs, int rebootMs)
{
    s_detectFirstMs = detectFirstMs;
    s_detectSecondMs = detectSecondMs;
    MACComm_SetSlaveRebootPause(rebootMs);
}

U32 MACComm_VersionAnswers(void) { return s_u32VersionAnswers; }

bool MACComm_SlaveFound(void) { return s_slaveFound && __atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) == 1; }

void MAC_InitDirectMACCommMaster(void)
{
    // Until the detection has compared them, the chips count as alike.
    MACComm_SetSameFlg(1);
    InitAddresses(MACCOMM_MASTER_IP, FPGA_MAC_Master_Comm_Init, "192.168.32.110");
}

void MACSlave_InitDirectMACComm(void)
{
    InitAddresses(MACCOMM_SLAVE_IP, FPGA_MAC_Slave_Comm_Init, "192.168.32.111");
}

namespace {

// Every send to the slave chip waits for it: under the card-state lock that
// would stop every handler while the slave does not answer.
void WarnIfLocked(ZR_COM_MAC_CMD cmd)
{
    if (CardStateMutex::HeldHere())
        MAC_ERR(LOG_MODULE_HW, "chip-link command %u sent while holding the card-state lock\n", (unsigned)cmd);
}

// waitMs < 0: the link's four tries per frame; 0: the reply wait, a silent
// slave not asked again; above 0: at most that long for each reply.
S32 MasterSend(ZR_COM_MAC_CMD cmd, U8* data, U32 len, int waitMs)
{
    if (__atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) != 1 || len == 0)
        return 0;
    WarnIfLocked(cmd);
    bool reg = cmd == ZR_COM_MAC_CMD_REG_READ || cmd == ZR_COM_MAC_CMD_REG_WRITE;
    if (reg && data != nullptr && len >= sizeof(ST_DEBUG_SLAVE_REG_INFO)) {
        std::lock_guard<std::mutex> lk(s_regMutex);
        memcpy(&s_regPending, data, sizeof(s_regPending));
        s_regPendingCmd = (U16)cmd;
    }
    S32 rc = waitMs < 0    ? IPComm_SendData(MACCOMM_SLAVE_IP, cmd, data, len)
             : waitMs == 0 ? IPComm_SendDataTo(MACCOMM_SLAVE_IP, cmd, data, len, true)
                           : IPComm_SendDataWithin(MACCOMM_SLAVE_IP, cmd, data, len, waitMs);
    if (reg) {
        // The slave answers before it replies: whatever comes later is late.
        std::lock_guard<std::mutex> lk(s_regMutex);
        s_regPendingCmd = 0;
    }
    return rc;
}

}  // namespace

S32 MACMasterCommSendData(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen)
{
    return MasterSend(emComMacCmd, u8Data, u32DataLen, -1);
}

S32 MACMasterCommSendDataWithin(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen, int waitMs)
{
    return MasterSend(emComMacCmd, u8Data, u32DataLen, waitMs < 0 ? 0 : waitMs);
}

S32 MACMasterCommSendCmd(ZR_COM_MAC_CMD emComMacCmd)
{
    WarnIfLocked(emComMacCmd);
    return IPComm_SendCmd(MACCOMM_SLAVE_IP, emComMacCmd);
}

S32 MACMasterCommSendCmdWithin(ZR_COM_MAC_CMD emComMacCmd, int waitMs)
{
    WarnIfLocked(emComMacCmd);
    return IPComm_SendCmdWithin(MACCOMM_SLAVE_IP, emComMacCmd, waitMs);
}

S32 MACMasterCom_SendFile(ZR_COM_MAC_CMD emComMacCmd, const U8* pu8Path)
{
    WarnIfLocked(emComMacCmd);
    // A slave that stopped ends the transfer in one reply wait.
    return SendFileTo(MACCOMM_SLAVE_IP, emComMacCmd, pu8Path, true);
}

S32 MACSlaveCommSendData(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen)
{
    printf("*****MACSlaveCommSendData   cmd %d\r\n", (int)emComMacCmd);
    if (u32DataLen == 0)
        return 0;
    return IPComm_SendData(MACCOMM_MASTER_IP, emComMacCmd, u8Data, u32DataLen);
}

S32 MACSlaveCom_SendFile(ZR_COM_MAC_CMD emComMacCmd, const U8* pu8Path)
{
    return SendFileTo(MACCOMM_MASTER_IP, emComMacCmd, pu8Path, false);
}

S32 MACComm_ReadFile(const U8* pu8Path, U8* pu8Buf, U32 u32Len)
{
    if (pu8Path == nullptr || pu8Buf == nullptr || u32Len == 0) {
        MAC_ERR(LOG_MODULE_HW, "Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    FILE* f = plat::Fopen((const char*)pu8Path, "rb");
    if (f == nullptr) {
        MAC_ERR(LOG_MODULE_HW, "open error\n");
        return 1;
    }
    size_t n = fread(pu8Buf, 1, u32Len, f);
    fclose(f);
    // A file that shrank since its size was taken is not sent half.
    if (n != u32Len) {
        MAC_ERR(LOG_MODULE_HW, "open error\n");
        return 1;
    }
    return 0;
}

S32 MACComm_CombineFile(const U8* pu8Buf, U32 u32Len, const U8* pu8Path)
{
    if (pu8Buf == nullptr || pu8Path == nullptr) {
        MAC_ERR(LOG_MODULE_UPGRADE, "Null pointer!\n");
        return ZR_ERR_PARAMS;
    }
    MAC_INFO(LOG_MODULE_UPGRADE, "u32Datalen %d\n", u32Len);
    if (!plat::WriteFileAtomic((const char*)pu8Path, pu8Buf, u32Len)) {
        MAC_ERR(LOG_MODULE_UPGRADE, "Upgrade file [%s] re-open fail!\n", (const char*)pu8Path);
        return 6;
    }
    return 0;
}

S32 MACComm_RecieveFile(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm, const U8* pu8Path)
{
    if (pstIPComm == nullptr || pu8Path == nullptr) {
        MAC_ERR(LOG_MODULE_HW, "Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    std::lock_guard<std::mutex> lk(s_fileMutex);
    if (pstIPComm->u32CurTansNum == 0)
        printf("#####receive total packet %d\r\n", (int)pstIPComm->u32SumTansNum);
    U32 expected = s_fileRx.Expected();
    MacReassembly::Result r = s_fileRx.Feed(*pstIPComm, MACCOMM_FILE_MAX_BYTES);
    if (r == MacReassembly::Result::Dropped)
        printf("##debug## IPCOMM receive packet index error sould rec %d, rec %d\r\n", (int)expected,
               (int)pstIPComm->u32CurTansNum);
    if (r == MacReassembly::Result::Complete) {
        printf("###receive file finish\r\n");
        std::vector<U8> data = s_fileRx.Take();
        S32 rc = MACComm_CombineFile(data.data(), (U32)data.size(), pu8Path);
        if (rc == 0) {
            IPComm_ResponseSuccess(s32Socket);
            return 0;
        }
        IPComm_ResponseError(s32Socket);
        return rc;
    }
    if (r == MacReassembly::Result::Broken) {
        // The sender learns that this transfer produced no file.
        MAC_ERR(LOG_MODULE_HW, "Null pointer!\n");
        IPComm_ResponseError(s32Socket);
        return -1;
    }
    IPComm_ResponseSuccess(s32Socket);
    return 1;
}

void MACComm_ServeConnection(S32 s32Socket, S32 (*parse)(S32, ST_ZR_IPCOMM*))
{
    U8 buf[4096];
    S32 n = IPComm_RecvFrame(s32Socket, buf, sizeof(buf), IPCOMM_SERVER_READ_WAIT_MS);
    // A read too short for a frame is dropped: it must not act on an earlier frame.
    if (n < IPCOMM_MIN_FRAME_LEN)
        return;
    static thread_local ST_ZR_IPCOMM rec;
    IPComm_MACParseData(buf, n, &rec);
    parse(s32Socket, &rec);
}

// Listens on the chip's own link address and nowhere else. A socket that
// cannot be bound there (the address taken, or not up yet) is closed and
// tried again each second; the failure is logged at tries 1, 2, 4, 8, ...
static void OpenLinkListener(U32 u32IP)
{
    for (U32 tries = 1;; tries++) {
        const bool log = (tries & (tries - 1)) == 0;
        if (MACsocketS_open() == ZR_SOCKETS_SUCCESS && MACsocketS_bindAddress(u32IP, log) == ZR_SOCKETS_SUCCESS &&
            MACsocketS_listen() == ZR_SOCKETS_SUCCESS) {
            if (tries > 1)
                MAC_INFO(LOG_MODULE_HW, "chip-link server listens on its own address after %u tries\n", tries);
            return;
        }
        if (log)
            MAC_ERR(LOG_MODULE_HW, "chip-link server cannot listen on its own address (try %u): closed, tried again\n",
                    tries);
        MACsocketS_close();
        sleep(1);
    }
}

static void ServeForever(U32 u32IP, S32 (*parse)(S32, ST_ZR_IPCOMM*))
{
    OpenLinkListener(u32IP);
    S32 lfd = socketSfd_mac;
    for (;;) {
        S32 c = accept(lfd, nullptr, nullptr);
        if (c < 0) {
            // Out of descriptors, say: it must not spin.
            if (errno != EINTR && errno != ECONNABORTED)
                usleep(100000);
            continue;
        }
        plat::SetSocketTimeouts(c, IPCOMM_SERVER_READ_WAIT_MS, IPCOMM_SERVER_READ_WAIT_MS);
        MACComm_ServeConnection(c, parse);
        close(c);
    }
}

void* MACCommMasterTask(void*)
{
    ServeForever(MACCOMM_MASTER_IP, MACMasterComm_ParseCmd);
    return nullptr;
}

void* MACSlaveCommTask(void*)
{
    ServeForever(MACCOMM_SLAVE_IP, MACSlaveComm_ParseCmd);
    return nullptr;
}

S32 MACComm_Dispatch(const MacComFuncMap_Master* table, size_t rows, S32 s, ST_ZR_IPCOMM* f)
{
    if (f == nullptr) {
        MAC_ERR(LOG_MODULE_HW, "Input Param NULL\n");
        return ZR_ERR_PARAMS;
    }
    if (f->u16CMD == MACOMM_NONE_CMD || f->u16CMD == MACOMM_SUCCESS_CMD || f->u16CMD == MACOMM_DATA_ERROR)
        return 0;
    for (size_t i = 0; i < rows && table[i].u32CmdId != 0; i++)
        if (table[i].u32CmdId == f->u16CMD)
            return table[i].func(s, f);
    MAC_ERR(LOG_MODULE_HW, "Error: unknow cmd: %d\n", (int)f->u16CMD);
    return -1;
}

S32 MACMasterComm_ParseCmd(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm)
{
    return MACComm_Dispatch(arstMacComFuncMapMaster, sizeof(arstMacComFuncMapMaster) / sizeof(arstMacComFuncMapMaster[0]),
                            s32Socket, pstIPComm);
}

S32 MACComGetSlaveChipSoftVersion(void)
{
    U8 filler[10] = {0};
    S32 rc = MACMasterCommSendData(ZR_COM_MAC_CMD_VERSION_SOFTWARE, filler, sizeof(filler));
    if (rc == 0)
        rc = MACMasterCommSendData(ZR_COM_MAC_CMD_VERSION_FPGA, filler, sizeof(filler));
    if (rc != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Send Params Start Tag Error\n", LOG_POS);
    return rc;
}

// Pushes of the start-up that a slave not yet listening lost, sent again
// once it is found (the slave must end up with the master's state), and to a
// slave that restarted alone.
void MACComm_ResendStartupState(void)
{
    // Queued, not sent: the chip link's worker sends them in this order with
    // no lock held, and a slave that stalls holds up nothing here.
    U32 ip = 0;
    {
        CARD_STATE_LOCK();
        U32 hw = 0;
        if (TResource_TS* self = Resource_getSelfHandle()) {
            hw = self->u32HardVersion;
            ip = self->u32IPAddress;
        }
        U8 siMode = MAC_SI_MODE;
        // The slave keeps the interval it saved last: it gets the master's,
        // queued as a SET queues it, so that the later of the two wins.
        U16 psi = 0;
        TSP_GetPSIInterval(&psi);
        U8 interval[2] = {(U8)(psi & 0xFF), (U8)(psi >> 8)};
        SSD_PostSubMessage(ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL, interval, sizeof(interval));
        SSD_PostSubMessage(ZR_COM_MAC_CMD_MOD_SI, &siMode, 1);
        if (hw != 0)
            SSD_PostSubMessage(ZR_COM_MAC_CMD_RES_HARDVERSION, reinterpret_cast<U8*>(&hw), sizeof(hw));
    }
    // What the slave's STT takes from the back board.
    Resource_PostSlaveTimeInfo();
    DTMB_ResendCurPara();
    if (ip != 0)
        FPGA_Set_IP0(ip);
    FPGA_SendMACToSubChip();
    U32 now = 0;
    Status_GetLinuxTime(&now);
    SSD_PostSubMessage(ZR_COM_MAC_CMD_SYSTEM_TIME, reinterpret_cast<U8*>(&now), 4);
    {
        CARD_STATE_LOCK();
        TSP_MuxProcess();
    }
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
}

void MACComm_CompareVersions(bool bSent)
{
    U32 mlog = 0;
    FPGA_GetLOGVerSion(&mlog);
    g_stVersionInfo.u32MasterLogVer = mlog;
    g_stVersionInfo.u32MasterBuildSoftVer = GetRealSoftBuildVersion();
    g_stVersionInfo.u32SlaveBuildSoftVer = s_u32SoftBuildVersionSlaveCmp;
    g_stVersionInfo.u32SlaveLogVer = s_u32LogicVersionSlaveCmp;
    const U8 same = BMN_GetOutputChannelNum() == 4 ||
                    (g_stVersionInfo.u32MasterBuildSoftVer == g_stVersionInfo.u32SlaveBuildSoftVer &&
                     g_stVersionInfo.u32MasterLogVer == g_stVersionInfo.u32SlaveLogVer);
    MACComm_SetSameFlg(same);
    PrintVersions(bSent);
    U32 slave = s_u32InstalledVersionSlave;
    if (bSent && slave != 0 && BMN_GetOutputChannelNum() != 4 && slave != GetRealSoftVersion())
        MACComm_LogVersionsDiffer(slave);
}

void MACComm_LogVersionsDiffer(U32 u32SlaveVersion)
{
    U32 m = GetRealSoftVersion();
    auto b = [](U32 x, int sh) { return (int)((x >> sh) & 0xFF); };
    if (u32SlaveVersion == 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS,
                   "%ld:%s:%d Master and slave chips run different software versions: master V%d.%d.%d, slave "
                   "unknown\n",
                   LOG_POS, b(m, 16), b(m, 8), b(m, 0));
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS,
                   "%ld:%s:%d Master and slave chips run different software versions: master V%d.%d.%d, slave "
                   "V%d.%d.%d\n",
                   LOG_POS, b(m, 16), b(m, 8), b(m, 0), b(u32SlaveVersion, 16), b(u32SlaveVersion, 8),
                   b(u32SlaveVersion, 0));
}

bool MACComm_WaitSlaveVersion(U32 u32Version, int waitMs, U32* pu32Slave)
{
    using Clock = std::chrono::steady_clock;
    const Clock::time_point end = Clock::now() + std::chrono::milliseconds(waitMs);
    U32 seen = 0;
    for (;;) {
        U32 before = s_u32VersionAnswers;
        U8 filler[10] = {0};
        // One reply wait per question at most, so that the whole wait stays bounded.
        if (IPComm_SendDataTo(MACCOMM_SLAVE_IP, ZR_COM_MAC_CMD_VERSION_SOFTWARE, filler, sizeof(filler), true) == 0) {
            // The answer comes on a connection of its own, right after the reply.
            for (int i = 0; i < 40 && s_u32VersionAnswers == before; i++)
                usleep(50000);
            if (s_u32VersionAnswers != before)
                seen = s_u32InstalledVersionSlave;
        }
        if (seen == u32Version)
            break;
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
        if (left <= 0)
            break;
        usleep((useconds_t)(left < 1000 ? left : 1000) * 1000);
    }
    if (pu32Slave != nullptr)
        *pu32Slave = seen;
    return seen == u32Version;
}

namespace {

// One pass of the detection: the version requests, a pause for the answers
// (which come on connections of their own) and the comparison.
bool DetectPass(bool bPauseFirst)
{
    if (bPauseFirst)
        PauseMs(s_detectFirstMs);
    S32 rc = MACComGetSlaveChipSoftVersion();
    PauseMs(s_detectSecondMs);
    MACComm_CompareVersions(rc == 0);
    return g_stVersionInfo.u32SlaveLogVer != 0;
}

}  // namespace

S32 MACComSlaveChipDetect(void)
{
    // Only answers of this detection count.
    s_u32SoftBuildVersionSlaveCmp = 0;
    s_u32LogicVersionSlaveCmp = 0;
    s_u32InstalledVersionSlave = 0;
    for (int pass = 0; pass < 4; pass++) {
        if (DetectPass(true)) {
            __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 1, __ATOMIC_RELAXED);
            s_slaveFound = true;
            MACComm_ResendStartupState();
            s_detectDone = true;
            return 0;
        }
    }
    __atomic_store_n(&SLAVE_CHIP_IS_EXIST, 0, __ATOMIC_RELAXED);
    s_detectDone = true;
    return -1;
}

void MACComm_SetSlaveVersion(bool bLogic, U32 u32Version)
{
    (bLogic ? s_u32LogicVersionSlaveCmp : s_u32SoftBuildVersionSlaveCmp) = u32Version;
}

// The flag is read by the LED thread while the detection writes it.
U8 Get_VersionInfo_ISSameFlg(void) { return __atomic_load_n(&g_stVersionInfo.bISSameFlg, __ATOMIC_RELAXED); }
void MACComm_SetSameFlg(U8 u8Same) { __atomic_store_n(&g_stVersionInfo.bISSameFlg, u8Same, __ATOMIC_RELAXED); }
BOOL GetLogRecieveEndFlag(void) { return bLogRecieveEndFlag; }
void SetLogRecieveEndFlag(BOOL bFlag) { bLogRecieveEndFlag = bFlag; }

namespace {

U64 SteadyMs(void)
{
    return (U64)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// One reply frame, read until the deadline; a reply already there is read
// even when this thread comes to it after the deadline.
bool ReadReply(S32 fd, U64 u64DeadlineMs, ST_ZR_IPCOMM* pstReply)
{
    U8 buf[IPCOMM_MAX_FRAME_LEN];
    U32 got = 0;
    while (!IPComm_FrameWhole(buf, got, sizeof(buf))) {
        U64 now = SteadyMs();
        struct pollfd p = {fd, POLLIN, 0};
        int pr = poll(&p, 1, now >= u64DeadlineMs ? 0 : (int)(u64DeadlineMs - now));
        if (pr < 0 && errno == EINTR)
            continue;
        if (pr <= 0)
            break;
        ssize_t n = recv(fd, buf + got, sizeof(buf) - got, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += (U32)n;
    }
    return got >= IPCOMM_MIN_FRAME_LEN && FrameCodec_Decode(buf, got, pstReply) == ZR_SUCCESS;
}

bool IsTrailer(const ST_ZR_IPCOMM& r, U32 u32Tag, U32 u32Id)
{
    if (r.u32Length != sizeof(ST_MACCOMM_CONFIRM))
        return false;
    ST_MACCOMM_CONFIRM t;
    memcpy(&t, r.pu8Data, sizeof(t));
    return t.u32Tag == u32Tag && t.u32Id == u32Id;
}

}  // namespace

int MACComm_ConfirmWaitMs(void)
{
    int ms = s_confirmWaitMs;
    return ms > 0 ? ms : 400 * (int)plat::Slowness();
}

void MACComm_SetConfirmWaitMs(int ms) { s_confirmWaitMs = ms; }

S32 MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen, int askMs, int doneMs,
                                std::vector<U8>* pResult, bool* pbMayHaveActed)
{
    if (pbMayHaveActed != nullptr)
        *pbMayHaveActed = false;
    if (pResult != nullptr)
        pResult->clear();
    if ((pu8Data == nullptr && u32DataLen != 0) || u32DataLen + sizeof(ST_MACCOMM_CONFIRM) > IPCOMM_MAX_DATA_LEN)
        return ZR_ERR_PARAMS;
    WarnIfLocked(emCmd);
    const U64 start = SteadyMs();
    const U32 id = s_confirmId.fetch_add(1) + 1 + (U32)start * 2654435761u;
    S32 fd = -1;
    if (socketC_open(&fd) != ZR_SOCKETC_SUCCESS)
        return ZR_ERR_SOCKET_OPEN_FAIL;
    struct Closer {
        S32 fd;
        ~Closer() { close(fd); }
    } closer{fd};
    if (socketC_connectTimed(fd, MACCOMM_SLAVE_IP, askMs < IPCOMM_CONNECT_WAIT_MS ? askMs : IPCOMM_CONNECT_WAIT_MS) !=
        ZR_SOCKETC_SUCCESS)
        return ZR_ERR_SOCKET_CONNECT_FAIL;
    std::vector<U8> ask(pu8Data, pu8Data + u32DataLen);
    const ST_MACCOMM_CONFIRM askTag = {MACCOMM_CONFIRM_ASK, id};
    ask.insert(ask.end(), reinterpret_cast<const U8*>(&askTag), reinterpret_cast<const U8*>(&askTag) + sizeof(askTag));
    IPComm_SendTo(fd, (U16)emCmd, ask.data(), (U32)ask.size(), 0, 1);
    static thread_local ST_ZR_IPCOMM reply;
    if (!ReadReply(fd, start + (U64)askMs, &reply))
        return ZR_ERR_IPCOMM_TIME_OUT;
    if (reply.u16CMD != IPCOMM_SUCCESS_CMD)
        return ZR_ERR_FAILURE;
    // An earlier slave did it at once and answered 1 alone.
    if (!IsTrailer(reply, MACCOMM_CONFIRM_READY, id))
        return ZR_SUCCESS;
    const U64 ready = SteadyMs();
    const ST_MACCOMM_CONFIRM go = {MACCOMM_CONFIRM_GO, id};
    IPComm_SendTo(fd, (U16)emCmd, reinterpret_cast<const U8*>(&go), sizeof(go), 0, 1);
    if (!ReadReply(fd, ready + (U64)doneMs, &reply)) {
        if (pbMayHaveActed != nullptr)
            *pbMayHaveActed = true;
        return ZR_ERR_IPCOMM_TIME_OUT;
    }
    if (reply.u16CMD != IPCOMM_SUCCESS_CMD)
        return ZR_ERR_FAILURE;
    if (pResult != nullptr)
        pResult->assign(reply.pu8Data, reply.pu8Data + reply.u32Length);
    return ZR_SUCCESS;
}

S32 MACMasterComm_SlaveRegAccess(ZR_COM_MAC_CMD emCmd, const ST_DEBUG_SLAVE_REG_INFO* pstReq, sem_t* pAnswer)
{
    if (pstReq == nullptr || pAnswer == nullptr)
        return t_slaveRegCode = ZR_ERR_PARAMS;
    // Nothing is sent while the slave is absent: there is no one to answer.
    if (__atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) != 1)
        return t_slaveRegCode = ZR_ERR_SOCKET_CONNECT_FAIL;
    const bool read = emCmd == ZR_COM_MAC_CMD_REG_READ;
    {
        // An earlier slave answers on a connection of its own before its reply.
        std::lock_guard<std::mutex> lk(s_regMutex);
        s_regPending = *pstReq;
        s_regPendingCmd = (U16)emCmd;
    }
    std::vector<U8> ans;
    S32 rc = MACMasterComm_SendConfirmed(emCmd, reinterpret_cast<const U8*>(pstReq), sizeof(*pstReq),
                                         MACCOMM_ASK_WAIT_MS, MACCOMM_DONE_WAIT_MS, &ans, nullptr);
    bool posted = false;
    {
        std::lock_guard<std::mutex> lk(s_regMutex);
        if (rc == ZR_SUCCESS && ans.size() == sizeof(ST_DEBUG_SLAVE_REG_INFO)) {
            ST_DEBUG_SLAVE_REG_INFO a;
            memcpy(&a, ans.data(), sizeof(a));
            if (s_regPendingCmd == emCmd && SameRegister(a, s_regPending)) {
                if (read) {
                    std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
                    stSlaveRegInfo = a;
                }
                posted = true;
            } else {
                rc = ZR_ERR_FAILURE;
            }
        } else if (rc == ZR_SUCCESS && !ans.empty()) {
            rc = ZR_ERR_FAILURE;
        }
        if (rc != ZR_SUCCESS || posted)
            s_regPendingCmd = 0;
    }
    if (posted) {
        sem_post(pAnswer);
    } else if (rc == ZR_SUCCESS) {
        // An earlier slave answers on a connection of its own: awaited here
        // (bounded), and left posted for the caller.
        if (FPGA_WaitSlaveAnswer(pAnswer))
            sem_post(pAnswer);
        else
            rc = ZR_ERR_IPCOMM_TIME_OUT;
        std::lock_guard<std::mutex> lk(s_regMutex);
        s_regPendingCmd = 0;
    }
    if (rc != ZR_SUCCESS)
        SlaveLink_LogNotTaken(read ? "a register read" : "a register write", (zrErrCode)rc,
                              read ? "no value read" : "the register is not written");
    return t_slaveRegCode = (zrErrCode)rc;
}

zrErrCode MACComm_SlaveRegCode(void) { return t_slaveRegCode; }
void MACComm_ResetSlaveRegCode(void) { t_slaveRegCode = ZR_SUCCESS; }

void MACComm_LogArchiveOpen(void)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    unlink(plat::Path(kSlaveLogArchive).c_str());
    {
        // A transfer broken off earlier starts again only at its frame 0.
        std::lock_guard<std::mutex> fk(s_fileMutex);
        s_fileRx = MacReassembly(0);
    }
    bLogRecieveEndFlag = 0;
    s_logOpen = true;
}

bool MACComm_LogArchiveClose(void)
{
    std::lock_guard<std::mutex> lk(s_logMutex);
    s_logOpen = false;
    const bool whole = bLogRecieveEndFlag != 0;
    bLogRecieveEndFlag = 0;
    if (!whole)
        unlink(plat::Path(kSlaveLogArchive).c_str());
    return whole;
}
