// Slave end of the chip link: the command table and handlers that apply what
// the master sends (parameters, routing tables, SI, time, addresses) and
// answer its version, register and log requests.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/macreasm.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "Driver/Socket/socket.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_lut.h"
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

U8 g_u8NTPZone = 0;
U8 g_u8DayLightFlag = 0;
U16 g_u16GPSOffset = 0;

namespace {

std::atomic<int> s_rebootPauseMs{2000};

// Reassembly buffers, one per command, sized for the largest message.
constexpr size_t kMuxBytes = 12012;
constexpr size_t kQamBytes = sizeof(TParameter_DTMB);
constexpr size_t kPsiBytes = 98196;
constexpr size_t kPassBytes = 72;
static_assert(kQamBytes == 764, "modulation set crosses the link whole");

MacReassembly s_mux(kMuxBytes), s_qam(kQamBytes), s_psi(kPsiBytes), s_pass(kPassBytes);

#define SLV_ERR(mod, fmt, ...) log_printf(LOG_LEVEL_ERROR, mod, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SLV_INFO(mod, fmt, ...) log_printf(LOG_LEVEL_INFO, mod, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SLV_DEBUG(mod, fmt, ...) log_printf(LOG_LEVEL_DEBUG, mod, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

bool Guard(ST_ZR_IPCOMM* f, const char* func)
{
    if (f != nullptr)
        return true;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: param = NULL\n", LOG_POS_OF(func));
    return false;
}

// The frame's CRC computed again over the header as the record holds it
// (reserved byte 0) and its data.
bool CrcRecheck(S32 s, const ST_ZR_IPCOMM* f, const char* func)
{
    ST_ZR_IPCOMM copy = *f;
    copy.u8Res = 0;
    U8 frame[IPCOMM_MAX_FRAME_LEN];
    if (copy.u32Length <= IPCOMM_MAX_DATA_LEN) {
        U32 stored = f->u32StructCRC;
        FrameCodec_Encode(&copy, frame);
        if (copy.u32StructCRC == stored) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_HW, "%ld:%s:%d MAC-%u , recv data\n", LOG_POS_OF(func), (U32)s);
            return true;
        }
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Error: CRC error!\n", LOG_POS_OF(func));
    return false;
}

// Copies exactly n data bytes of a frame that carries at least n.
bool Payload(const ST_ZR_IPCOMM* f, void* out, size_t n, const char* func)
{
    if (f->u32Length < n) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d payload %u bytes, %zu wanted\n", LOG_POS_OF(func),
                   f->u32Length, n);
        return false;
    }
    memcpy(out, f->pu8Data, n);
    return true;
}

// A simple handler: CRC re-check, payload check, action, reply 1.
template <class Act>
S32 Simple(S32 s, ST_ZR_IPCOMM* f, const char* func, size_t need, Act act)
{
    if (!Guard(f, func))
        return -1;
    bool ok = CrcRecheck(s, f, func);
    if (ok && f->u32Length < need) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d payload %u bytes, %zu wanted\n", LOG_POS_OF(func),
                   f->u32Length, need);
        ok = false;
    }
    if (ok)
        act();
    IPComm_ResponseSuccess(s);
    return ok ? 0 : -1;
}

// One frame of a reassembled message; the receiver gets the whole block.
void LogOutOfOrder(bool psi, U32 expected, U32 got)
{
    if (psi)
        SLV_ERR(LOG_MODULE_HW, "##### mac Receive packet psi table sould rec %d, rec %d\r\n", (int)expected, (int)got);
    else
        SLV_ERR(LOG_MODULE_HW, "##### mac Receive packet index error sould rec %d, rec %d\r\n", (int)expected, (int)got);
}

template <class Deliver>
S32 Reassemble(S32 s, ST_ZR_IPCOMM* f, MacReassembly& r, bool psi, const char* done, Deliver deliver)
{
    if (f->u32CurTansNum == 0)
        SLV_INFO(LOG_MODULE_HW, "##### Receive mac total packet %d\r\n", (int)f->u32SumTansNum);
    U32 expected = r.Expected();
    MacReassembly::Result res = r.Feed(*f, ~0ull);
    switch (res) {
    case MacReassembly::Result::Complete: {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d %s", LOG_POS, done);
        std::vector<U8> block = r.Take();
        deliver(block);
        IPComm_ResponseSuccess(s);
        return 0;
    }
    case MacReassembly::Result::Broken:
        LogOutOfOrder(psi, expected, f->u32CurTansNum);
        IPComm_ResponseError(s);
        return -1;
    case MacReassembly::Result::Dropped:
    case MacReassembly::Result::Duplicate:
        LogOutOfOrder(psi, expected, f->u32CurTansNum);
        IPComm_ResponseSuccess(s);
        return -1;
    default:
        IPComm_ResponseSuccess(s);
        return 0;
    }
}


S32 MACSlave_SoftwareVersion(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    // The build version first, as ever; then the installed one, by which the
    // master sees whether an upgrade took on this chip.
    U32 v[2] = {GetRealSoftBuildVersion(), GetRealSoftVersion()};
    MACSlaveCommSendData(ZR_COM_MAC_CMD_VERSION_SOFTWARE, reinterpret_cast<U8*>(v), sizeof(v));
    return 0;
}

S32 MACSlave_FPGAVersion(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    IPComm_ResponseSuccess(s);
    U32 v = 0;
    FPGA_GetLOGVerSion(&v);
    MACSlaveCommSendData(ZR_COM_MAC_CMD_VERSION_FPGA, reinterpret_cast<U8*>(&v), 4);
    return 0;
}

S32 MACSlave_UpgradeFile(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    static const char kPath[] = "/var/volatile/upgradefile";
    if (MACComm_RecieveFile(s, f, (const U8*)kPath) == 0)
        THREAD_NEW_DETACH(upgrade_FileCasTask, (void*)kPath, "upgrade_FileCasTask");
    return 0;
}

// The log archive to the master, each frame's reply awaited a bounded time.
S32 SendLogArchive(ZR_COM_MAC_CMD cmd)
{
    std::string data;
    if (!plat::ReadFile("/tmp/cas_log.tar.gz", data, MACCOMM_FILE_MAX_BYTES) || data.empty())
        return ZR_ERR_PARAMS;
    return IPComm_SendDataWithin(MACCOMM_MASTER_IP, cmd, reinterpret_cast<U8*>(data.data()), (U32)data.size(),
                                 MACCOMM_DONE_WAIT_MS);
}

// The outcome of a confirmed one-shot command: the reply to the confirmation.
void Outcome(S32 s, bool ok, const U8* data = nullptr, U32 len = 0)
{
    if (ok)
        IPComm_SendTo(s, IPCOMM_SUCCESS_CMD, data, len, 0, 1);
    else
        IPComm_ResponseError(s);
}

S32 MACSlave_LogFile(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    bool asked = false;
    if (!MACSlave_Confirmed(s, f, 0, &asked))
        return -1;
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "tar -czf %s *", "/tmp/cas_log.tar.gz");
    // The archive is made in the log folder without moving the process's
    // working folder, which every thread shares.
    plat::System(cmd, "/tarvex_data/log/");
    SLV_INFO(LOG_MODULE_SYS, "Command: %s\n", cmd);
    // A confirmed request waits for the archive a bounded time: each frame's
    // reply is awaited that long at most, and a master that no longer waits
    // refuses the first frame.
    S32 rc = asked ? SendLogArchive((ZR_COM_MAC_CMD)f->u16CMD)
                   : MACSlaveCom_SendFile((ZR_COM_MAC_CMD)f->u16CMD, (const U8*)"/tmp/cas_log.tar.gz");
    if (rc != 0) {
        printf("MACCom_ResponseFile error,return code:%d\n", (int)rc);
        if (asked)
            Outcome(s, false);
        return rc;
    }
    if (asked)
        Outcome(s, true);
    else
        IPComm_ResponseSuccess(s);
    return 0;
}

S32 MACSlave_ClearLog(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    bool asked = false;
    if (!MACSlave_Confirmed(s, f, 1, &asked))
        return -1;
    char cmd[64];
    snprintf(cmd, sizeof(cmd), "rm %s*", "/tarvex_data/log/");
    plat::System(cmd);
    if (asked)
        Outcome(s, true);
    else
        IPComm_ResponseSuccess(s);
    return 0;
}

S32 RegAccess(S32 s, ST_ZR_IPCOMM* f, bool write, const char* func)
{
    if (!Guard(f, func))
        return -1;
    ST_DEBUG_SLAVE_REG_INFO r;
    memset(&r, 0, sizeof(r));
    bool ok = CrcRecheck(s, f, func) && Payload(f, &r, sizeof(r), func);
    bool asked = false;
    if (ok && !MACSlave_Confirmed(s, f, sizeof(r), &asked))
        return -1;
    if (!ok)
        memset(&r, 0, sizeof(r));
    else
        MACSlave_RegExecute(&r, write);
    // Confirmed, the answer is the outcome's data; else it goes to the master
    // as a request of its own, as an earlier master takes it.
    if (asked) {
        Outcome(s, true, reinterpret_cast<U8*>(&r), sizeof(r));
        return 0;
    }
    MACSlaveCommSendData((ZR_COM_MAC_CMD)f->u16CMD, reinterpret_cast<U8*>(&r), sizeof(r));
    IPComm_ResponseSuccess(s);
    return ok ? 0 : -1;
}

S32 MACSlave_RegRead(S32 s, ST_ZR_IPCOMM* f) { return RegAccess(s, f, false, __func__); }
S32 MACSlave_RegWrite(S32 s, ST_ZR_IPCOMM* f) { return RegAccess(s, f, true, __func__); }

S32 MACSlave_Reboot(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    if (!CrcRecheck(s, f, __func__)) {
        IPComm_ResponseSuccess(s);
        return -1;
    }
    bool asked = false;
    if (!MACSlave_Confirmed(s, f, 0, &asked))
        return -1;
    // The master reboots once it reads this reply: this chip reboots when the
    // reply is out, a pause later.
    IPComm_ResponseSuccess(s);
    THREAD_NEW_DETACH(MACCom_Reboot, nullptr, "MACCom_Reboot");
    return 0;
}

S32 MACSlave_MuxLUTParams(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    if (!CrcRecheck(s, f, __func__)) {
        IPComm_ResponseSuccess(s);
        return -1;
    }
    return Reassemble(s, f, s_mux, false, "##### Receive qam mac data finish\r\n", MACSlave_DeliverMux);
}

S32 MACSlave_QamParams(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    return Reassemble(s, f, s_qam, false, "##### Receive qam mac data finish\r\n", MACSlave_DeliverQam);
}

S32 MACSlave_PSI_TABLE(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    return Reassemble(s, f, s_psi, true, "##### Receive psi table mac data finish\r\n",
                      MACSlave_DeliverPsi);
}

S32 MACSlave_PASSLUTParams(S32 s, ST_ZR_IPCOMM* f)
{
    if (!Guard(f, __func__))
        return -1;
    return Reassemble(s, f, s_pass, false, "Receive qam mac data finish\r\n", MACSlave_DeliverPass);
}

S32 MACSlave_PSI_INTERVAL(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 2, [f] {
        SLV_INFO(LOG_MODULE_HW, "ReceivePSIIntervalInfo\r\n");
        U32 v = 0;
        memcpy(&v, f->pu8Data, 2);
        TSP_SetSlavePSIInterval(reinterpret_cast<U8*>(&v), 2);
    });
}

S32 MACSlave_PSI_IP(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 4, [f] { FPGA_Set_SubChipIP0(f->pu8Data); });
}

S32 MACSlave_MacParams(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 6, [f] { FPGA_SetSubChipMacAddr(f->pu8Data); });
}

S32 MACSlave_Hardversion(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 4, [f] {
        U32 v;
        memcpy(&v, f->pu8Data, 4);
        MACSlave_SetHardVersion(v);
    });
}

S32 MACSlave_SIMod(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 1, [f] {
        // The SI thread reads it as it builds the tables.
        __atomic_store_n(&g_SIModSlaveCmp, f->pu8Data[0], __ATOMIC_RELAXED);
        SLV_INFO(LOG_MODULE_HW, "g_SIModSlaveCmp = %d\n", f->pu8Data[0]);
    });
}

S32 MACSlave_AtscTimeInfo(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 8, [f] {
        U32 w[2];
        memcpy(w, f->pu8Data, 8);
        CARD_STATE_LOCK();
        g_u8NTPZone = (U8)(w[0] & 0xFF);
        g_u8DayLightFlag = (U8)((w[0] >> 8) & 0xFF);
        g_u16GPSOffset = (U16)(w[0] >> 16);
        Status_SetSystemTime(w[1]);
        SLV_INFO(LOG_MODULE_HW, "NTPZone %d, DayLightFlag %d, GPSOffset %d\n", g_u8NTPZone, g_u8DayLightFlag,
                 g_u16GPSOffset);
    });
}

// The TDT/TOT flags, tables and time zone below are read by the SI
// carousel's time-table builders under the card-state lock.
S32 MACSlave_TDTEnableFlag(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 8, [f] {
        CARD_STATE_LOCK();
        memcpy(u8TDTEnableFlag, f->pu8Data, 8);
        SLV_INFO(LOG_MODULE_HW, "Slave get TDT Enable flag finish\n");
    });
}

// The slave holds no output-stream database: which of its channels carry
// the STT is the master's word.
S32 MACSlave_STTEnableFlag(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 8, [f] {
        SIP_SetSTTChannels(f->pu8Data);
        SLV_INFO(LOG_MODULE_HW, "Slave get STT Enable flag finish\n");
    });
}

S32 MACSlave_TOTEnableFlag(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 8, [f] {
        CARD_STATE_LOCK();
        memcpy(u8TOTEnableFlag, f->pu8Data, 8);
        SLV_INFO(LOG_MODULE_HW, "Slave get TOT Enable flag finish\n");
    });
}

S32 MACSlave_TOTTableInfo(S32 s, ST_ZR_IPCOMM* f)
{
    static_assert(sizeof(g_stTOTInfo) == 224, "TOT tables cross the link as 8 records of 28 bytes");
    return Simple(s, f, __func__, sizeof(g_stTOTInfo), [f] {
        CARD_STATE_LOCK();
        memcpy(g_stTOTInfo, f->pu8Data, sizeof(g_stTOTInfo));
        SLV_INFO(LOG_MODULE_HW, "Slave get TOT Table Info finish\n");
    });
}

S32 MACSlave_SystemTime(S32 s, ST_ZR_IPCOMM* f)
{
    return Simple(s, f, __func__, 4, [f] {
        U32 t;
        memcpy(&t, f->pu8Data, 4);
        Status_SetSystemTime(t);
        SLV_INFO(LOG_MODULE_HW, "Slave get system time finish\n");
    });
}

const MacComFuncMap_Slaver arstMacComFuncMapSlaver[] = {
    {ZR_COM_MAC_CMD_VERSION_SOFTWARE, MACSlave_SoftwareVersion},
    {ZR_COM_MAC_CMD_VERSION_FPGA, MACSlave_FPGAVersion},
    {ZR_COM_MAC_CMD_FILE_UPGRADE, MACSlave_UpgradeFile},
    {ZR_COM_MAC_CMD_FILE_LOG, MACSlave_LogFile},
    {ZR_COM_MAC_CMD_FILE_CLEAR_LOG, MACSlave_ClearLog},
    {ZR_COM_MAC_CMD_REG_READ, MACSlave_RegRead},
    {ZR_COM_MAC_CMD_REG_WRITE, MACSlave_RegWrite},
    {ZR_COM_MAC_CMD_SYS_REBOOT, MACSlave_Reboot},
    {ZR_COM_MAC_CMD_PARAMS_MUXER, MACSlave_MuxLUTParams},
    {ZR_COM_MAC_CMD_PARAMS_QAM, MACSlave_QamParams},
    {ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL, MACSlave_PSI_INTERVAL},
    {ZR_COM_MAC_CMD_PARAMS_PSI_IP, MACSlave_PSI_IP},
    {ZR_COM_MAC_CMD_PARAMS_MAC, MACSlave_MacParams},
    {ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, MACSlave_PSI_TABLE},
    {ZR_COM_MAC_CMD_PARAMS_PASSLUT, MACSlave_PASSLUTParams},
    {ZR_COM_MAC_CMD_RES_HARDVERSION, MACSlave_Hardversion},
    {ZR_COM_MAC_CMD_MOD_SI, MACSlave_SIMod},
    {ZR_COM_MAC_CMD_ATSC_TIME_INFO, MACSlave_AtscTimeInfo},
    {ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, MACSlave_TDTEnableFlag},
    {ZR_COM_MAC_CMD_STT_ENABLE_FLAG, MACSlave_STTEnableFlag},
    {ZR_COM_MAC_CMD_TOT_ENABLE_FLAG, MACSlave_TOTEnableFlag},
    {ZR_COM_MAC_CMD_TOT_TABLE_INFO, MACSlave_TOTTableInfo},
    {ZR_COM_MAC_CMD_SYSTEM_TIME, MACSlave_SystemTime},
    {0, nullptr},
};

}  // namespace

void MACSlave_RegExecute(ST_DEBUG_SLAVE_REG_INFO* r, bool write)
{
    if (write) {
        switch (r->u8RegType) {
        case 0: FPGA_REG_Write(r->u32SlaveLogRegAdd, r->u32SlaveLogRegVal); break;
        case 1:
            Modulate_SetAD9789Reg(r->u32SlaveAD9789RegAdd, r->u32SlaveAD9789RegVal);
            SLV_INFO(LOG_MODULE_MOD, "SlaveAD9789RegVal = 0x%x\r\n", r->u32SlaveAD9789RegVal);
            break;
        case 2:
            Modulate_SetRFDA0016Reg(r->u32SlaveRFDA0016RegAdd, r->u32SlaveRFDA0016RegVal);
            SLV_INFO(LOG_MODULE_MOD, "SlaveRFDA0016RegVal = 0x%x\r\n", r->u32SlaveRFDA0016RegVal);
            break;
        default:
            Modulate_SetADF4351Reg(r->u32SlaveADF4351RegAdd, r->u32SlaveADF4351RegVal);
            SLV_INFO(LOG_MODULE_MOD, "SlaveADF4351RegVal = 0x%x\r\n", r->u32SlaveADF4351RegVal);
            break;
        }
        return;
    }
    switch (r->u8RegType) {
    case 1: r->u32SlaveAD9789RegVal = Modulate_GetAD9789Reg(r->u32SlaveAD9789RegAdd); break;
    case 2: r->u32SlaveRFDA0016RegVal = Modulate_GetRFDA0016Reg(r->u32SlaveRFDA0016RegAdd); break;
    case 3: r->u32SlaveADF4351RegVal = Modulate_GetADF4351Reg(r->u32SlaveADF4351RegAdd); break;
    default: FPGA_REG_Read(r->u32SlaveLogRegAdd, &r->u32SlaveLogRegVal); break;
    }
}

void MACSlave_SetHardVersion(U32 v)
{
    // Read by the RF programming on other threads; the master may send it again.
    __atomic_store_n(&g_HWVersionSlaveCmp, v, __ATOMIC_RELAXED);
    SLV_INFO(LOG_MODULE_HW, "u32HardVersion = 0x%x\n", v);
    if (v == 0)
        return;
    int fd = plat::Open("/tarvex_app/app/upgrade_4g.jason", O_RDWR | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0) {
        int e = errno;
        SLV_ERR(LOG_MODULE_PARAM, "Open upgrade_4g files error: %s(errno: %d)\n", strerror(e), e);
        return;
    }
    SLV_INFO(LOG_MODULE_PARAM, "create upgrade_4g files \n");
    close(fd);
}

void MACSlave_DeliverMux(std::vector<U8>& b)
{
    CARD_STATE_LOCK();
    // The table holds 1,000 entries: the terminator beyond them is not handed on.
    U32 n = (U32)(b.size() < TSP_SUB_MUXLUT_MSG_MAX ? b.size() : TSP_SUB_MUXLUT_MSG_MAX);
    TSP_ReceiveSubFPGAMUXLUTInfo(b.data(), n);
}

void MACSlave_DeliverPass(std::vector<U8>& b)
{
    SLV_DEBUG(LOG_MODULE_HW, "ReceiveSubFPGABYPASSLUTInfo\r\n");
    CARD_STATE_LOCK();
    U32 n = (U32)(b.size() < TSP_SUB_BYPASSLUT_MSG_MAX ? b.size() : TSP_SUB_BYPASSLUT_MSG_MAX);
    TSP_ReceiveSubFPGABYPASSLUTInfo(b.data(), n);
}

void MACSlave_DeliverPsi(std::vector<U8>& b) { SSD_ReceiveSubSIInfo(b.data(), (U32)b.size()); }

void MACSlave_DeliverQam(std::vector<U8>& b)
{
    // Only a whole set is applied: a short one would leave channels half set.
    if (b.size() != kQamBytes) {
        SLV_ERR(LOG_MODULE_HW, "modulation set of %zu bytes, %zu wanted\n", b.size(), kQamBytes);
        return;
    }
    TParameter_DTMB set;
    memcpy(&set, b.data(), sizeof(set));
    SLV_DEBUG(LOG_MODULE_HW, "=== MACSlave_QamParams: OutputFreq=%d ===\n", (int)set.OutputFreq[4]);
    SLV_DEBUG(LOG_MODULE_HW, "=== MACSlave_QamParams: OutputPow=%d ===\n", (int)set.OutputPow[4]);
    SetDTMB_CurPara_Slave(&set);
    SLV_DEBUG(LOG_MODULE_HW, "SetDTMB_CurPara_Slave\n");
    SLV_DEBUG(LOG_MODULE_HW, "Params Send ok\n");
}

S32 MACSlaveComm_ParseCmd(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm)
{
    return MACComm_Dispatch(arstMacComFuncMapSlaver, sizeof(arstMacComFuncMapSlaver) / sizeof(arstMacComFuncMapSlaver[0]),
                            s32Socket, pstIPComm);
}

void MACSlave_Announce(void)
{
    U32 v = GetRealSoftBuildVersion();
    if (MACSlaveCommSendData(ZR_COM_MAC_CMD_DETE_ALIVE, reinterpret_cast<U8*>(&v), 4) != 0)
        SLV_INFO(LOG_MODULE_HW, "master not reached: it pushes its state when it starts\n");
}

void MACComm_SetSlaveRebootPause(int ms) { s_rebootPauseMs = ms; }

void* MACCom_Reboot(void*)
{
    usleep((useconds_t)s_rebootPauseMs * 1000);
    plat::System("reboot");
    return nullptr;
}

bool MACSlave_Confirmed(S32 s32Socket, const ST_ZR_IPCOMM* f, U32 u32BaseLen, bool* pbAsked)
{
    *pbAsked = false;
    if (f == nullptr || f->u32Length != u32BaseLen + sizeof(ST_MACCOMM_CONFIRM))
        return true;
    ST_MACCOMM_CONFIRM ask;
    memcpy(&ask, f->pu8Data + u32BaseLen, sizeof(ask));
    if (ask.u32Tag != MACCOMM_CONFIRM_ASK)
        return true;
    *pbAsked = true;
    const ST_MACCOMM_CONFIRM ready = {MACCOMM_CONFIRM_READY, ask.u32Id};
    IPComm_SendTo(s32Socket, IPCOMM_SUCCESS_CMD, reinterpret_cast<const U8*>(&ready), sizeof(ready), 0, 1);
    // This chip's own clock: the wait runs from its READY, whatever the
    // master's clock says.
    const auto start = std::chrono::steady_clock::now();
    const int waitMs = MACComm_ConfirmWaitMs();
    static thread_local U8 buf[IPCOMM_MAX_FRAME_LEN];
    S32 n = IPComm_RecvFrame(s32Socket, buf, sizeof(buf), waitMs);
    const auto took =
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count();
    static thread_local ST_ZR_IPCOMM go;
    bool ok = n >= IPCOMM_MIN_FRAME_LEN && FrameCodec_Decode(buf, (size_t)n, &go) == ZR_SUCCESS &&
              go.u16CMD == f->u16CMD && go.u32Length == sizeof(ST_MACCOMM_CONFIRM);
    if (ok) {
        ST_MACCOMM_CONFIRM t;
        memcpy(&t, go.pu8Data, sizeof(t));
        ok = t.u32Tag == MACCOMM_CONFIRM_GO && t.u32Id == ask.u32Id;
    }
    if (ok && took <= waitMs)
        return true;
    SLV_ERR(LOG_MODULE_HW, "chip-link command %u not confirmed by the master within %d ms: not done\n",
            (unsigned)f->u16CMD, waitMs);
    return false;
}
