// SPI chip link: frame building and checking, the master's block transfers
// with their retries, the slave's receive loop and the handlers of both ends.
// The card's start-up runs the TCP chip link; this one is ready to be enabled.
#include "Comm/spicomm.h"
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/macreasm.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/PHY/phy.h"
#include "Driver/SPI/spilink.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <semaphore.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

SlaveLogInfo stSlaveLogInfo = {{0}, 0, 0, 0, -1};

namespace {

std::mutex SPIComMutex;
pthread_mutex_t SPIMutex;
std::atomic<U32> s_replyReads{2000};
// Blocks that used up their attempts one after another, across transfers.
U32 s_consecutiveFails = 0;
// Where the master keeps the slave's log: a file of its own.
const char kMasterLogFile[] = "/tmp/slave_log.txt";

#define SPI_ERR(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SPI_INFO(fmt, ...) log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SPI_DEBUG(fmt, ...) log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_HW, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

U32 Word(const U8* p)
{
    U32 v;
    memcpy(&v, p, 4);
    return v;
}

// ---- master handlers of replies ----

S32 ReplyOk(SPI_COM_DATA* r, const char* func)
{
    if (r == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: param = NULL\n", LOG_POS_OF(func));
        return -1;
    }
    if (r->u8ReturnCode != SPI_RETURN_CODE_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: u8ReturnCode = %u\n", LOG_POS_OF(func),
                   r->u8ReturnCode);
        return -1;
    }
    return 0;
}

S32 SPIMaster_Common(SPI_COM_DATA* r) { return ReplyOk(r, __func__); }

// The slave's versions go where the detection's comparison reads them.
S32 SPIMaster_SoftwareVersion(SPI_COM_DATA* r)
{
    if (r == nullptr)
        return ReplyOk(r, __func__);
    SPI_INFO("Software Version = 0x%x\n", Word(r->aru8Data));
    MACComm_SetSlaveVersion(false, Word(r->aru8Data));
    return 0;
}

S32 SPIMaster_FPGAVersion(SPI_COM_DATA* r)
{
    if (r == nullptr)
        return ReplyOk(r, __func__);
    SPI_INFO("Logic Version = 0x%x\n", Word(r->aru8Data));
    MACComm_SetSlaveVersion(true, Word(r->aru8Data));
    return 0;
}

S32 SPIMaster_HardwareVersion(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    SPI_INFO("Hardware Version = 0x%x\n", Word(r->aru8Data));
    CARD_STATE_LOCK();
    if (TResource_TS* self = Resource_getSelfHandle())
        self->u32HardVersion = Word(r->aru8Data);
    return 0;
}

S32 SPIMaster_LogFileSize(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    U32 size = Word(r->aru8Data);
    snprintf((char*)stSlaveLogInfo.aru8LogFilename, sizeof(stSlaveLogInfo.aru8LogFilename), "%s", kMasterLogFile);
    stSlaveLogInfo.u32LogSize = size;
    stSlaveLogInfo.u32CurIndex = 1;
    stSlaveLogInfo.u32TotalIndex = (U32)(((U64)size + SPI_DATA_MAX - 1) / SPI_DATA_MAX);
    SPI_INFO("Log File Size = %u, u32TotalIndex = %u\n", size, stSlaveLogInfo.u32TotalIndex);
    return 0;
}

S32 SPIMaster_LogFile(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    SlaveLogInfo& li = stSlaveLogInfo;
    if (li.s32Fd < 0 || r->u32CurIndex < 1 || r->u32CurIndex > li.u32TotalIndex || r->u8DataLen > SPI_DATA_MAX)
        return -1;
    off_t at = (off_t)(r->u32CurIndex - 1) * SPI_DATA_MAX;
    if (pwrite(li.s32Fd, r->aru8Data, r->u8DataLen, at) != (ssize_t)r->u8DataLen)
        return -1;
    li.u32CurIndex = r->u32CurIndex;
    return 0;
}

S32 SPIMaster_Reboot(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    SLAVE_HAVE_RECIEVE_REBOOT_CMD = 1;
    return 0;
}

S32 SPIMaster_RegRead(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    {
        std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
        memcpy(&stSlaveRegInfo, r->aru8Data, sizeof(stSlaveRegInfo));
    }
    sem_post(&g_stReadRegVal_Sem);
    return 0;
}

S32 SPIMaster_RegWrite(SPI_COM_DATA* r)
{
    if (ReplyOk(r, __func__) != 0)
        return -1;
    sem_post(&g_stWriteRegVal_Sem);
    return 0;
}

// ---- slave handlers of requests ----

// Reassembly of the block messages, blocks numbered from 1; one per
// command, so that transfers of different commands never mix.
MacReassembly s_rxMuxer(12012), s_rxMux(12012), s_rxQam(764), s_rxPsi(98196), s_rxPass(72), s_rxUpgrade(0),
    s_rxLog2(0);

// Checks a request; 0 to act, -1 after answering it with the CRC error code.
S32 Check(S32 dev, SPI_COM_DATA* q, const char* func)
{
    if (q == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: param = NULL\n", LOG_POS_OF(func));
        return -2;
    }
    U32 crc = SPICom_FrameCrc(q);
    bool bounds = q->u8DataLen <= SPI_DATA_MAX && q->u32TotalIndex >= 1 && q->u32CurIndex >= 1 &&
                  q->u32CurIndex <= q->u32TotalIndex;
    if (crc != q->u32Crc || !bounds) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: CRC error!\n", LOG_POS_OF(func));
        SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, q->aru8Data,
                          q->u8DataLen <= SPI_DATA_MAX ? q->u8DataLen : 0, SPI_RETURN_CODE_CRC_ERROR);
        return -1;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d spi-%u , recv data\n", LOG_POS_OF(func), (U32)dev);
    return 0;
}

S32 Echo(S32 dev, SPI_COM_DATA* q)
{
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, q->aru8Data, q->u8DataLen,
                             SPI_RETURN_CODE_SUCCESS);
}

S32 AnswerWord(S32 dev, SPI_COM_DATA* q, U32 v)
{
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, reinterpret_cast<U8*>(&v), 4,
                             SPI_RETURN_CODE_SUCCESS);
}

// One block into a reassembly; the whole message when it was the last.
MacReassembly::Result Feed(MacReassembly& r, const SPI_COM_DATA* q, std::vector<U8>& out)
{
    ST_ZR_IPCOMM f;
    f.u32CurTansNum = q->u32CurIndex - 1;
    f.u32SumTansNum = q->u32TotalIndex;
    f.u32Length = q->u8DataLen;
    memcpy(f.pu8Data, q->aru8Data, q->u8DataLen);
    MacReassembly::Result res = r.Feed(f, MACCOMM_FILE_MAX_BYTES);
    if (res == MacReassembly::Result::Complete)
        out = r.Take();
    return res;
}

#define SLAVE_HANDLER(name, body)                     \
    S32 name(S32 dev, SPI_COM_DATA* q)                \
    {                                                 \
        S32 c = Check(dev, q, #name);                 \
        if (c != 0)                                   \
            return -1;                                \
        body                                          \
    }

SLAVE_HANDLER(SPISlave_SoftwareVersion, { return AnswerWord(dev, q, GetRealSoftBuildVersion()); })
SLAVE_HANDLER(SPISlave_HardwareVersion, {
    U32 v = 0;
    FPGA_REG_Read(17, &v);
    return AnswerWord(dev, q, v);
})
SLAVE_HANDLER(SPISlave_FPGAVersion, {
    U32 v = 0;
    FPGA_GetLOGVerSion(&v);
    return AnswerWord(dev, q, v);
})
SLAVE_HANDLER(SPISlave_DeteAlive, { return Echo(dev, q); })

S32 BlockFile(S32 dev, SPI_COM_DATA* q, MacReassembly& r, const char* path, bool startUpgrade)
{
    std::vector<U8> whole;
    MacReassembly::Result res = Feed(r, q, whole);
    if (res == MacReassembly::Result::Complete) {
        if (MACComm_CombineFile(whole.data(), (U32)whole.size(), (const U8*)path) == 0 && startUpgrade)
            THREAD_NEW_DETACH(upgrade_FileCasTask, (void*)"/var/volatile/upgradefile", "upgrade_FileCasTask");
    }
    // A broken transfer is told so on its last block and its file is not used.
    U8 code = res == MacReassembly::Result::Broken ? SPI_RETURN_CODE_CRC_ERROR : SPI_RETURN_CODE_SUCCESS;
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, q->aru8Data, q->u8DataLen, code);
}

SLAVE_HANDLER(SPISlave_UpgradeFile, { return BlockFile(dev, q, s_rxUpgrade, "/var/volatile/upgradefile", true); })

SLAVE_HANDLER(SPISlave_LogFileSize, {
    struct stat st;
    std::string path = plat::Path("/tmp/log.txt");
    U32 size = stat(path.c_str(), &st) == 0 ? (U32)st.st_size : 0;
    SPI_INFO("Log File Size = %u\n", size);
    return AnswerWord(dev, q, size);
})

SLAVE_HANDLER(SPISlave_LogFile, {
    U8 block[SPI_DATA_MAX] = {0};
    ssize_t n = 0;
    int fd = plat::Open("/tmp/log.txt", O_RDONLY | O_CLOEXEC);
    if (fd >= 0) {
        n = pread(fd, block, sizeof(block), (off_t)(q->u32CurIndex - 1) * SPI_DATA_MAX);
        close(fd);
    }
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, block, n > 0 ? (U32)n : 0,
                             SPI_RETURN_CODE_SUCCESS);
})

SLAVE_HANDLER(SPISlave_Hardversion, {
    MACSlave_SetHardVersion(Word(q->aru8Data));
    return Echo(dev, q);
})

S32 RegAccess(S32 dev, SPI_COM_DATA* q, bool write)
{
    ST_DEBUG_SLAVE_REG_INFO r;
    memset(&r, 0, sizeof(r));
    if (q->u8DataLen >= sizeof(r)) {
        memcpy(&r, q->aru8Data, sizeof(r));
        MACSlave_RegExecute(&r, write);
    }
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, reinterpret_cast<U8*>(&r), sizeof(r),
                             SPI_RETURN_CODE_SUCCESS);
}

SLAVE_HANDLER(SPISlave_RegRead, { return RegAccess(dev, q, false); })
SLAVE_HANDLER(SPISlave_RegWrite, { return RegAccess(dev, q, true); })

std::atomic<int> s_spiRebootMs{2000};
void* SPICom_Reboot(void*)
{
    usleep((useconds_t)s_spiRebootMs * 1000);
    plat::System("reboot");
    return nullptr;
}

SLAVE_HANDLER(SPISlave_Reboot, {
    THREAD_NEW_DETACH(SPICom_Reboot, nullptr, "SPICom_Reboot");
    return Echo(dev, q);
})

SLAVE_HANDLER(SPISlave_NetTs, {
    U32 ip = Word(q->aru8Data);
    IPconfig_SetIP(ip);
    FPGA_Set_IP0(ip);
    return Echo(dev, q);
})
SLAVE_HANDLER(SPISlave_NetCas, {
    IPconfig_SetIP(Word(q->aru8Data));
    return Echo(dev, q);
})
SLAVE_HANDLER(SPISlave_MacTs, {
    IP_SetLocalMac(q->aru8Data, 0);
    return Echo(dev, q);
})
SLAVE_HANDLER(SPISlave_MacCas, {
    IP_SetLocalMac(q->aru8Data, 1);
    return Echo(dev, q);
})

template <class Deliver>
S32 Block(S32 dev, SPI_COM_DATA* q, MacReassembly& r, Deliver deliver)
{
    std::vector<U8> whole;
    MacReassembly::Result res = Feed(r, q, whole);
    if (res == MacReassembly::Result::Complete)
        deliver(whole);
    U8 code = res == MacReassembly::Result::Broken ? SPI_RETURN_CODE_CRC_ERROR : SPI_RETURN_CODE_SUCCESS;
    return SPISlave_Response(dev, q->u8CmdId, q->u32CurIndex, q->u32TotalIndex, q->aru8Data, q->u8DataLen, code);
}

SLAVE_HANDLER(SPISlave_MuxParams, { return Block(dev, q, s_rxMuxer, [](std::vector<U8>&) {}); })
SLAVE_HANDLER(SPISlave_QamParams, { return Block(dev, q, s_rxQam, MACSlave_DeliverQam); })
SLAVE_HANDLER(SPISlave_MUXLUTParams, { return Block(dev, q, s_rxMux, MACSlave_DeliverMux); })
SLAVE_HANDLER(SPISlave_PASSLUTParams, { return Block(dev, q, s_rxPass, MACSlave_DeliverPass); })
SLAVE_HANDLER(SPISlave_PSI_TABLE, { return Block(dev, q, s_rxPsi, MACSlave_DeliverPsi); })

SLAVE_HANDLER(SPISlave_MacParams, {
    FPGA_SetSubChipMacAddr(q->aru8Data);
    return Echo(dev, q);
})
SLAVE_HANDLER(SPISlave_PSI_INTERVAL, {
    U32 v = 0;
    memcpy(&v, q->aru8Data, 2);
    TSP_SetSlavePSIInterval(reinterpret_cast<U8*>(&v), 2);
    return Echo(dev, q);
})
SLAVE_HANDLER(SPISlave_PSI_IP, {
    FPGA_Set_SubChipIP0(q->aru8Data);
    return Echo(dev, q);
})

const _SpiComFuncMap arstSpiComFuncMap[100] = {
    {ZR_COM_SPI_CMD_VERSION_SOFTWARE, SPIMaster_SoftwareVersion, SPISlave_SoftwareVersion},
    {ZR_COM_SPI_CMD_VERSION_HARDWARE, SPIMaster_HardwareVersion, SPISlave_HardwareVersion},
    {ZR_COM_SPI_CMD_VERSION_FPGA, SPIMaster_FPGAVersion, SPISlave_FPGAVersion},
    {ZR_COM_SPI_CMD_FILE_UPGRADE, SPIMaster_Common, SPISlave_UpgradeFile},
    {ZR_COM_SPI_CMD_FILE_LOG, SPIMaster_LogFile, SPISlave_LogFile},
    {ZR_COM_SPI_CMD_FILE_LOG_SIZE, SPIMaster_LogFileSize, SPISlave_LogFileSize},
    {ZR_COM_SPI_CMD_RES_HARDVERSION, SPIMaster_Common, SPISlave_Hardversion},
    {ZR_COM_SPI_CMD_DETE_ALIVE, SPIMaster_Common, SPISlave_DeteAlive},
    {ZR_COM_SPI_CMD_REG_READ, SPIMaster_RegRead, SPISlave_RegRead},
    {ZR_COM_SPI_CMD_REG_WRITE, SPIMaster_RegWrite, SPISlave_RegWrite},
    {ZR_COM_SPI_CMD_SYS_REBOOT, SPIMaster_Reboot, SPISlave_Reboot},
    {ZR_COM_SPI_CMD_PARAMS_NET_TS, SPIMaster_Common, SPISlave_NetTs},
    {ZR_COM_SPI_CMD_PARAMS_NET_CAS, SPIMaster_Common, SPISlave_NetCas},
    {ZR_COM_SPI_CMD_PARAMS_MAC_TS, SPIMaster_Common, SPISlave_MacTs},
    {ZR_COM_SPI_CMD_PARAMS_MAC_CAS, SPIMaster_Common, SPISlave_MacCas},
    {ZR_COM_SPI_CMD_PARAMS_MUXER, SPIMaster_Common, SPISlave_MuxParams},
    {ZR_COM_SPI_CMD_PARAMS_QAM, SPIMaster_Common, SPISlave_QamParams},
    {ZR_COM_SPI_CMD_PARAMS_MAC, SPIMaster_Common, SPISlave_MacParams},
    {ZR_COM_SPI_CMD_PARAMS_MUXLUT, SPIMaster_Common, SPISlave_MUXLUTParams},
    {ZR_COM_SPI_CMD_PARAMS_PASSLUT, SPIMaster_Common, SPISlave_PASSLUTParams},
    {ZR_COM_SPI_CMD_PARAMS_PSI_TABLE, SPIMaster_Common, SPISlave_PSI_TABLE},
    {ZR_COM_SPI_CMD_PARAMS_PSI_INTERVAL, SPIMaster_Common, SPISlave_PSI_INTERVAL},
    {ZR_COM_SPI_CMD_PARAMS_PSI_IP, SPIMaster_Common, SPISlave_PSI_IP},
    {0, nullptr, nullptr},
};

const _SpiComFuncMap* FindRow(U8 cmd)
{
    for (const _SpiComFuncMap& row : arstSpiComFuncMap) {
        if (row.u8CmdId == 0)
            break;
        if (row.u8CmdId == cmd)
            return &row;
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: unknow cmd: %d\n", LOG_POS, (int)cmd);
    return nullptr;
}

void PauseMs(int ms) { usleep((useconds_t)ms * 1000); }

U32 NowSeconds()
{
    return (U32)std::chrono::duration_cast<std::chrono::seconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Reads block idx of the message: from memory or from the file.
S32 ReadBlock(SPI_DATA_HANDLE_TYPE type, S32 fd, const U8* data, U32 len, U32 idx, U8* out, U32* outLen)
{
    U64 off = (U64)(idx - 1) * SPI_DATA_MAX;
    U32 n = (U32)(len - off < SPI_DATA_MAX ? len - off : SPI_DATA_MAX);
    if (type == SPI_DATA_HANDLE_TYPE_PTR) {
        memcpy(out, data + off, n);
    } else if (pread(fd, out, n, (off_t)off) != (ssize_t)n) {
        return -1;
    }
    *outLen = n;
    return 0;
}

}  // namespace

U32 SPICom_FrameCrc(const SPI_COM_DATA* f)
{
    return Common_CRC_Calculate(reinterpret_cast<const U8*>(f), offsetof(SPI_COM_DATA, u32Crc), 0);
}

U16 SPICom_BlockFlag(U32 idx, U32 total)
{
    if (idx <= 1)
        return 0x000A;
    return idx == total ? 0x0A00 : 0x0050;
}

void SPICom_BuildFrame(SPI_COM_DATA* f, U8 cmd, U32 idx, U32 total, const U8* data, U32 len, U8 code)
{
    memset(f, 0, sizeof(*f));
    f->u8CmdStart = SPI_CMD_START;
    f->u8CmdId = cmd;
    f->u16CmdFlag = SPICom_BlockFlag(idx, total);
    f->u32CurIndex = idx;
    f->u32TotalIndex = total;
    f->u8ReturnCode = code;
    if (data != nullptr && len >= 1 && len <= SPI_DATA_MAX) {
        f->u8DataLen = (U8)len;
        memcpy(f->aru8Data, data, len);
    }
    f->u32Crc = SPICom_FrameCrc(f);
}

void SPICom_SetReplyReads(U32 n) { s_replyReads = n; }

void SPI_PthreadMux_Init(void)
{
    if (pthread_mutex_init(&SPIMutex, nullptr) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "Init SPI metux error.\r\n");
}

void SPI_PthreadMux_Lock(void)
{
    if (pthread_mutex_lock(&SPIMutex) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "lock SPI SIMutex error\r\n");
}

void SPI_PthreadMux_UnLock(void) { pthread_mutex_unlock(&SPIMutex); }

// The master's frames go through the spidev device that SPIMasterInit
// opened; dev names the link for the callers and is not needed here.
S32 SPIMaster_SendData(S32 dev, U8 cmd, U32 idx, U32 total, const U8* data, U32 len)
{
    (void)dev;
    SPI_COM_DATA f;
    SPICom_BuildFrame(&f, cmd, idx, total, data, len, 0);
    return SPIMasterWrite(reinterpret_cast<const U8*>(&f), sizeof(f));
}

// 0 with a reply; -1 when none came; -2 when the device is dead.
S32 SPIMaster_RecvData(S32 dev, SPI_COM_DATA* reply)
{
    (void)dev;
    if (reply == nullptr)
        return -1;
    for (U32 i = 0; i < s_replyReads; i++) {
        PauseMs(3);
        if (SPIMasterRead(reinterpret_cast<U8*>(reply)) != 0)
            return -2;
        if (reply->u8CmdStart == SPI_CMD_START)
            return 0;
    }
    return -1;
}

S32 SPIMaster_ParaseData(SPI_COM_DATA* r)
{
    if (r == nullptr || r->u8CmdStart != SPI_CMD_START) {
        SPI_ERR("Err command format!\n");
        return -1;
    }
    const _SpiComFuncMap* row = FindRow(r->u8CmdId);
    if (row == nullptr)
        return -1;
    U32 should = SPICom_FrameCrc(r);
    if (should != r->u32Crc) {
        SPI_ERR("Error: cmd[%u] CRC error, recv:0x%x, should be:0x%x!\n", r->u8CmdId, r->u32Crc, should);
        return -1;
    }
    return row->master_func(r);
}

S32 SPIMaster_SendBlockData(S32 dev, U8 cmd, SPI_DATA_HANDLE_TYPE type, const U8* path, const U8* data, U32 len)
{
    if (len == 0)
        return 0;
    if (type == SPI_DATA_HANDLE_TYPE_PTR && data == nullptr)
        return 1;
    int fd = -1;
    if (type == SPI_DATA_HANDLE_TYPE_FD) {
        fd = path ? plat::Open((const char*)path, O_RDONLY | O_CLOEXEC) : -1;
        if (fd < 0) {
            SPI_ERR("Error: can't read data\n");
            return 1;
        }
    }
    struct Closer {
        int fd;
        ~Closer() { if (fd >= 0) close(fd); }
    } closer{fd};
    U32 total = (U32)(((U64)len + SPI_DATA_MAX - 1) / SPI_DATA_MAX);
    SPI_INFO("u32TotalIndex = %u\n", total);
    U32 missing = 0;
    U32 idx = 1;
    bool lastOk = false;
    while (idx <= total) {
        bool ok = false;
        U32 cur = idx;
        for (int attempt = 0; attempt < 99 && !ok; attempt++) {
            U8 block[SPI_DATA_MAX];
            U32 blen = 0;
            if (ReadBlock(type, fd, data, len, cur, block, &blen) != 0) {
                SPI_ERR("Error: can't read data\n");
                return 1;
            }
            SPI_COM_DATA reply;
            S32 rc = SPIMaster_SendData(dev, cmd, cur, total, block, blen);
            if (rc == 0)
                rc = SPIMaster_RecvData(dev, &reply);
            else
                rc = -2;
            if (rc == -2) {
                // A closed or failed device will not answer: fail now, not after every retry.
                SPI_ERR("Error: SPI is not alive !\n");
                return 1;
            }
            if (rc != 0) {
                if (++missing <= 31) {
                    PauseMs(10);
                } else {
                    PauseMs(300);
                    SPI_ERR("Error: no recv data, try again send index[%u] ---> [retransmit]\n", cur);
                }
                continue;
            }
            if (reply.u8CmdId == cmd && reply.u32CurIndex == cur && SPIMaster_ParaseData(&reply) == 0) {
                ok = true;
                break;
            }
            PauseMs(10);
            SPI_ERR("Error: crc error, try again send index[%u] ---> [retransmit]\n", cur);
            // An intact reply names where the slave stands; an index outside
            // the message is ignored, and so is every field of a reply that
            // failed its CRC: the same block goes again.
            bool intact = reply.u8CmdStart == SPI_CMD_START && SPICom_FrameCrc(&reply) == reply.u32Crc;
            if (intact && reply.u32CurIndex >= 1 && reply.u32CurIndex <= total && reply.u32CurIndex <= cur)
                cur = reply.u32CurIndex;
        }
        if (ok) {
            s_consecutiveFails = 0;
            lastOk = cur == total;
            idx = cur + 1;
            continue;
        }
        lastOk = false;
        if (++s_consecutiveFails > 5) {
            SPI_ERR("Error: SPI is not alive !\n");
            return 1;
        }
        idx = cur + 1;
    }
    return lastOk ? 0 : 1;
}

S32 SPICom_SendData(S32 dev, U8 cmd, const U8* data, U32 len)
{
    if (BMN_GetOutputChannelNum() != 8)
        return 0;
    std::lock_guard<std::mutex> lk(SPIComMutex);
    if (SPIMaster_SendBlockData(dev, cmd, SPI_DATA_HANDLE_TYPE_PTR, nullptr, data, len) != 0) {
        SPI_ERR("Error: Send Data Failed !\n");
        return -1;
    }
    return 0;
}

S32 SPICom_SendFile(S32 dev, U8 cmd, const U8* path)
{
    if (path == nullptr) {
        SPI_ERR("File Name NULL\n");
        return -1;
    }
    int fd = plat::Open((const char*)path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        SPI_ERR("Error: Open File Failed\n");
        return -1;
    }
    struct stat st;
    bool statOk = fstat(fd, &st) == 0 && (U64)st.st_size <= 0xFFFFFFFFull;
    close(fd);
    if (!statOk) {
        SPI_ERR("Error: Call stat fialed!\n");
        return -1;
    }
    U32 size = (U32)st.st_size;
    U32 total = (U32)(((U64)size + SPI_DATA_MAX - 1) / SPI_DATA_MAX);
    SPI_INFO("u32FileSize = %u, u32TotalIndex = %u\n", size, total);
    U32 t0 = NowSeconds();
    std::lock_guard<std::mutex> lk(SPIComMutex);
    if (SPIMaster_SendBlockData(dev, cmd, SPI_DATA_HANDLE_TYPE_FD, path, nullptr, size) != 0) {
        SPI_ERR("Error: Send File Failed !\n");
        return -1;
    }
    SPI_INFO("Send File[%u KB], used time: %u s!\n", size / 1024, NowSeconds() - t0);
    return 0;
}

S32 SPICom_GetSlaveLog(S32 dev)
{
    std::lock_guard<std::mutex> lk(SPIComMutex);
    U32 t0 = NowSeconds();
    U8 zero = 0;
    stSlaveLogInfo.u32TotalIndex = 0;
    if (SPIMaster_SendBlockData(dev, ZR_COM_SPI_CMD_FILE_LOG_SIZE, SPI_DATA_HANDLE_TYPE_PTR, nullptr, &zero, 1) != 0 ||
        stSlaveLogInfo.u32TotalIndex == 0) {
        SPI_ERR("Get Slave Log File Size Failed!\n");
        return -1;
    }
    SlaveLogInfo& li = stSlaveLogInfo;
    li.s32Fd = plat::Open((const char*)li.aru8LogFilename, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (li.s32Fd < 0)
        return -1;
    S32 rc = 0;
    for (U32 i = 1; i <= li.u32TotalIndex && rc == 0; i++) {
        bool ok = false;
        for (int attempt = 0; attempt < 99 && !ok; attempt++) {
            SPI_COM_DATA reply;
            S32 r = SPIMaster_SendData(dev, ZR_COM_SPI_CMD_FILE_LOG, i, li.u32TotalIndex, nullptr, 0);
            if (r == 0)
                r = SPIMaster_RecvData(dev, &reply);
            if (r == -2)
                break;
            ok = r == 0 && reply.u32CurIndex == i && SPIMaster_ParaseData(&reply) == 0;
        }
        if (!ok)
            rc = -1;
    }
    close(li.s32Fd);
    li.s32Fd = -1;
    SPI_INFO("Get  Slave Log File[%u KB], used time: %u s!\n", li.u32LogSize / 1024, NowSeconds() - t0);
    return rc;
}

S32 SPISlave_Response(S32 dev, U8 cmd, U32 idx, U32 total, const U8* data, U32 len, U8 code)
{
    SPI_COM_DATA f;
    SPICom_BuildFrame(&f, cmd, idx, total, data, len, code);
    return SpiSlaveWrite((SPIDEV)dev, reinterpret_cast<const U8*>(&f), sizeof(f));
}

S32 SPISlave_RecvData(S32 dev, SPI_COM_DATA* req)
{
    return SpiSlaveRead((SPIDEV)dev, reinterpret_cast<U8*>(req), sizeof(*req));
}

S32 SPISlave_ParaseData(S32 dev, SPI_COM_DATA* req)
{
    if (req == nullptr || req->u8CmdStart != SPI_CMD_START) {
        SPI_ERR("Err command format!\n");
        return -1;
    }
    const _SpiComFuncMap* row = FindRow(req->u8CmdId);
    return row ? row->slave_func(dev, req) : -1;
}

void* SPISlave_ComTask(void* arg)
{
    S32 dev = (S32)(intptr_t)arg;
    for (;;) {
        SPI_COM_DATA req;
        int n = SPISlave_RecvData(dev, &req);
        // A closed device ends the loop rather than spinning on it.
        if (n < 0)
            break;
        if (n == 0 || req.u8CmdStart == 0xB8)
            continue;
        if (req.u8CmdStart != SPI_CMD_START) {
            SPI_DEBUG("Error: master send u8CmdStart = 0x69, slave receive u8CmdStart = 0x%x\n", req.u8CmdStart);
            continue;
        }
        SPISlave_ParaseData(dev, &req);
    }
    return nullptr;
}

S32 SPISlave_LogFile2(S32 dev, SPI_COM_DATA* q)
{
    if (Check(dev, q, __func__) != 0)
        return -1;
    return BlockFile(dev, q, s_rxLog2, "/tmp/file", false);
}

S32 ComGetSlaveChipSoftVersion(void) { return MACComGetSlaveChipSoftVersion(); }

S32 ComSlaveChipDetect(void)
{
    sleep(5);
    S32 rc = ComGetSlaveChipSoftVersion();
    MACComm_CompareVersions(rc == 0);
    if (rc != 0)
        MACComm_SetSameFlg(0);
    return 0;
}

S32 ComTellSlaveChipReboot(void)
{
    U8 filler[10] = {0};
    S32 rc = MACMasterCommSendData(ZR_COM_MAC_CMD_SYS_REBOOT, filler, sizeof(filler));
    if (rc != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Send reboot command to slave Error\n", LOG_POS);
    return rc;
}
