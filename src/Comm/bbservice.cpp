// Services for the back board: resource and upgrade-progress reports, the IP
// change, EIT information for the EIT card, configuration export and import
// over FTP and the network quality test.
#include "Comm/ipcomm.h"
#include "Comm/uartcomm.h"
#include "Common/commonfun.h"
#include "Common/oid/oiddata.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/PHY/phy.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/paramexport.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_del.h"
#include "Upgrade/upgrade.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstddef>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#pragma pack(push, 1)
typedef struct {
    U8 u8Enable;
    U8 u8ValidFlag;
    U8 u8SourceSlotID;
    U8 u8EitSlotID;
    U8 u8SlotID;
    U8 u8SrcPort;
    U16 u16SourceChannelID;
    U16 u16EitChannelID;
    U16 u16ChannelID;
    U16 u16SrcStreamId;
    U16 u16TSIndex;
    U16 u16Index;
    U16 u16ProgramID;
    U16 u16NextIndex;
    U16 u16OldServiceID;
    U16 u16ServiceID;
    U16 u16TransportStreamID;
    U16 u16OriginalNetworkId;
    U8 u8ServiceNameLen;
    U8 u8ServiceProviderLen;
    U8 aru8ServiceName[32];
    U8 aru8ServiceProvider[32];
    U8 u8EitVersionNumber;
    U8 u8Res[3];
    U32 u32Res[20];
} Output_EIT;
#pragma pack(pop)
static_assert(sizeof(Output_EIT) == 180);
static_assert(offsetof(Output_EIT, u8EitVersionNumber) == 96);

namespace {

constexpr int kReportSends = 21;
constexpr U32 kEitMax = 100;
constexpr U8 kSlotBackBoard = 16;
constexpr U8 kNoEitBoard = 17;
// An EIT board answers at once: a silent one holds the peer sender no longer.
constexpr int kEitReplyWaitMs = 3000;
constexpr size_t kIperfLineMax = 993;
const char* const kVolatile = "/var/volatile/";

#define SOCK_LOG(lvl, fmt, ...) log_printf((lvl), LOG_MODULE_SOCKET, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)
#define SYS_LOG(lvl, fmt, ...) log_printf((lvl), LOG_MODULE_SYS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

U32 BackBoardIp() { return Resource_getBoardIPAddress(kSlotBackBoard); }

std::string Dotted(U32 hostOrder)
{
    struct in_addr a;
    a.s_addr = htonl(hostOrder);
    char buf[INET_ADDRSTRLEN];
    return inet_ntop(AF_INET, &a, buf, sizeof(buf)) ? buf : "0.0.0.0";
}

std::string ArchiveName() { return std::to_string(Status_GetSlotID()) + "conf.tar"; }

// Up to 21 sends 1 s apart; the last send's result (0 on success).
S32 SendToBackBoard(U32 cmd, U8* data, U32 len)
{
    S32 ret = 0;
    for (int i = 0; i < kReportSends; i++) {
        if (i > 0)
            std::this_thread::sleep_for(std::chrono::seconds(1));
        ret = IPComm_SendData(BackBoardIp(), cmd, data, len);
        if (ret == 0)
            break;
    }
    return ret;
}

U32 Get32(const U8* p) { return (U32)p[0] | (U32)p[1] << 8 | (U32)p[2] << 16 | (U32)p[3] << 24; }

// Number words of the network test: digits, optionally with a K, M or G unit.
bool IsNumber(const std::string& w)
{
    size_t n = w.size();
    if (n > 0 && strchr("KMGkmg", w[n - 1]))
        n--;
    if (n == 0)
        return false;
    for (size_t i = 0; i < n; i++)
        if (w[i] < '0' || w[i] > '9')
            return false;
    return true;
}

bool IsDotted(const std::string& w)
{
    struct in_addr a;
    return inet_pton(AF_INET, w.c_str(), &a) == 1;
}

// An iperf3 client line of options that neither write files nor run other
// programs, with dotted addresses and numbers as their values; the words, or
// an empty vector when anything else is in the line.
std::vector<std::string> IperfWords(const char* text)
{
    static const char* const kWithValue[] = {"-c", "-p", "-t", "-b", "-l", "-P", "-i", "-w", "-n", "-k",
                                             "-O", "-M", "-S", "-B", "--cport"};
    static const char* const kFlags[] = {"-R", "-u", "-4", "-6", "-J", "-Z", "-N", "-V"};
    std::vector<std::string> words;
    if (strlen(text) > kIperfLineMax)
        return {};
    std::string cur;
    for (const char* p = text;; p++) {
        if (*p == ' ' || *p == '\0') {
            if (!cur.empty())
                words.push_back(cur);
            cur.clear();
            if (*p == '\0')
                break;
        } else {
            cur += *p;
        }
    }
    if (words.empty() || words[0] != "iperf3")
        return {};
    for (size_t i = 1; i < words.size(); i++) {
        const std::string& w = words[i];
        bool ok = false;
        for (const char* f : kFlags)
            ok = ok || w == f;
        if (ok)
            continue;
        for (const char* o : kWithValue)
            ok = ok || w == o;
        if (!ok || i + 1 >= words.size() || !(IsNumber(words[i + 1]) || IsDotted(words[i + 1])))
            return {};
        i++;
    }
    return words;
}

std::string Joined(const std::vector<std::string>& words)
{
    std::string out;
    for (const auto& w : words)
        out += (out.empty() ? "" : " ") + w;
    return out;
}

// Removes a file of /var/volatile/ left by an earlier transfer.
void RemoveStale(const std::string& name)
{
    std::string path = plat::Path(std::string(kVolatile) + name);
    unlink(path.c_str());
}

}  // namespace

zrErrCode IPComm_SendResToBackBoard(void)
{
    if (!Status_GetIPReqflag()) {
        SOCK_LOG(LOG_LEVEL_INFO, "BackBoard ip:0x%x,so Last get Ip by uart\n", BackBoardIp());
        if (UartComm_GetIpAddr(Status_GetSlotID()) == ZR_SUCCESS) {
            SOCK_LOG(LOG_LEVEL_INFO, "Last get Ip by uart\n");
            SOCK_LOG(LOG_LEVEL_INFO, "Last get backboard Ip 0x%x by uart\n", BackBoardIp());
            FPGA_ConfigIP();
        } else {
            SOCK_LOG(LOG_LEVEL_INFO, "uart last get backboard IP fail\n");
        }
    }
    SYS_LOG(LOG_LEVEL_INFO, "Start Send Resource To BackBoard:0x%x\n", BackBoardIp());
    TResource_TS self;
    {
        CARD_STATE_LOCK();
        self = *Resource_getSelfHandle();
    }
    S32 ret = SendToBackBoard(IPCOMM_SEND_RESOUR, reinterpret_cast<U8*>(&self), sizeof(self));
    if (ret != 0) {
        SYS_LOG(LOG_LEVEL_ERROR, "Send Resource To BackBoard:0x%x Fail\n", BackBoardIp());
        UartComm_SendErrorCodeToBB((U32)ret);
    }
    return ZR_SUCCESS;
}

zrErrCode IPComm_SendUpProFlagToBackBoard(U8* OldFlag)
{
    if (OldFlag == nullptr)
        return ZR_SUCCESS;
    st_ZR_UPGRADE rec;
    upgrade_CopyRecord(&rec);
    if (*OldFlag == rec.u8CurUpgradeProFlag)
        return ZR_SUCCESS;
    *OldFlag = rec.u8CurUpgradeProFlag;
    SYS_LOG(LOG_LEVEL_INFO, "Start Send PROCESS UPGRADE To BackBoard:0x%x\n", BackBoardIp());
    S32 ret = SendToBackBoard(IPCOMM_SEND_PROCESS_UPGRADE, reinterpret_cast<U8*>(&rec), sizeof(rec));
    if (ret != 0) {
        SYS_LOG(LOG_LEVEL_ERROR, "Send PROCESS UPGRADE To BackBoard:0x%x Fail\n", BackBoardIp());
        upgrade_SetCommStatus(0);
        UartComm_SendErrorCodeToBB((U32)ret);
    }
    return ZR_SUCCESS;
}

void* Send_SlotUpgradeProccessStatus(void* arg)
{
    (void)arg;
    SYS_LOG(LOG_LEVEL_INFO, "Send slot upgrade status timely To BackBoard:0x%x start\n", BackBoardIp());
    U8 sent = 0;
    for (;;) {
        if (!g_isFtpUpgrading) {
            sent = 0;
            sleep(1);
            continue;
        }
        IPComm_SendUpProFlagToBackBoard(&sent);
        IPComm_RecycleBeforeReboot();
    }
    return nullptr;
}

U32 IPComm_ChangeIP(U8 u8Slot, U8* pu8Data)
{
    if (u8Slot != kSlotBackBoard || pu8Data == nullptr) {
        SOCK_LOG(LOG_LEVEL_ERROR, "Input Para Error u32slot[%u]...\n", u8Slot);
        return 1;
    }
    U32 bb = Get32(pu8Data), self = Get32(pu8Data + 4), mask = Get32(pu8Data + 8), gate = Get32(pu8Data + 12);
    Resource_SetBackBoardIpAddr(bb);
    IPconfig_SetIP(self);
    FPGA_Set_IP0(self);
    IPconfig_SetLocalMask(mask);
    IPconfig_SetDefaultGate(gate);
    SOCK_LOG(LOG_LEVEL_INFO, "u32BBIPAddr[0x%x],u32SelfIPAddr[0x%x]\n", bb, self);
    std::this_thread::sleep_for(std::chrono::seconds(1));
    IPComm_SendResToBackBoard();
    return 0;
}

void IPComm_SendEITInfo(void)
{
    // Built under the card-state lock, sent once it is released.
    std::vector<U8> msg(4);
    U8 eitSlot;
    U32 eitAddr = 0, ownAddr = 0;
    {
        CARD_STATE_LOCK();
        const Output_TSInfo* db = TSP_GetTSParam();
        U16 channels = Resource_getSelfHandle()->u16OutputChannelNum;
        std::vector<Output_EIT> recs;
        for (U16 ch = 0; db != nullptr && ch < channels; ch++) {
            U16 ts = 0xFFFF;
            U32 ret = TSP_GetOutputTSIndexByTS(ch, &ts);
            if (ret != 0) {
                SYS_LOG(LOG_LEVEL_ERROR, "TSP_GetOutputTSIndexByTS return error[0x%x]\n", ret);
                continue;
            }
            if (ts == 0xFFFF || ts >= db->u32OutputTSNumber || db->pOutputTS[ts].u8BypassFlag)
                continue;
            auto list = std::make_unique<IndexInfoList_t>();
            ret = TSP_GetOutTSProgIndexList(ts, db, list.get());
            if (ret != 0) {
                SYS_LOG(LOG_LEVEL_ERROR, "TS[%d] TSP_GetOutTSProgIndexList fail error[0x%x]\n", ts, ret);
                continue;
            }
            if (recs.size() + list->u16IndexListNum > kEitMax) {
                SYS_LOG(LOG_LEVEL_ERROR, "u32OutputEITNumber out of range[%d]!\n",
                        (int)(recs.size() + list->u16IndexListNum));
                break;
            }
            const Output_TSStream& s = db->pOutputTS[ts];
            for (U16 i = 0; i < list->u16IndexListNum; i++) {
                U16 pi = list->aru16IndexList[i];
                if (pi >= db->u32OutputProgramNumber)
                    continue;
                const Output_TSProgram& p = db->pOutputProgram[pi];
                Output_EIT e;
                memset(&e, 0, sizeof(e));
                e.u8Enable = 1;
                e.u8SourceSlotID = p.u8SourceSlotID;
                e.u8SlotID = p.u8SlotID;
                e.u8SrcPort = p.u8SrcPort;
                e.u16SourceChannelID = p.u16SourceChannelID;
                e.u16ChannelID = p.u16ChannelID;
                e.u16SrcStreamId = p.u16SrcStreamId;
                e.u16TSIndex = p.u16TSIndex;
                e.u16Index = (U16)recs.size();
                e.u16ProgramID = p.u16ProgramID;
                e.u16OldServiceID = p.u16OldServiceID;
                e.u16ServiceID = p.u16ServiceID;
                e.u16TransportStreamID = s.u16TransportStreamID;
                e.u16OriginalNetworkId = s.u16OriginalNetworkID;
                e.u8ServiceNameLen = p.u8ServiceNameLen;
                e.u8ServiceProviderLen = p.u8ServiceProviderLen;
                memcpy(e.aru8ServiceName, p.aru8ServiceName, sizeof(e.aru8ServiceName));
                memcpy(e.aru8ServiceProvider, p.aru8ServiceProvider, sizeof(e.aru8ServiceProvider));
                e.u8EitVersionNumber = (U8)((s.u8SDTVersionNumber + 1) % 32);
                recs.push_back(e);
            }
        }
        U32 n = (U32)recs.size();
        memcpy(msg.data(), &n, 4);
        const U8* raw = reinterpret_cast<const U8*>(recs.data());
        msg.insert(msg.end(), raw, raw + n * sizeof(Output_EIT));
        eitSlot = Resource_GetEITBoardSlot();
        if (eitSlot != kNoEitBoard) {
            eitAddr = Resource_getBoardIPAddress(eitSlot);
            ownAddr = Resource_getSelfHandle()->u32IPAddress;
        }
    }
    if (eitSlot == kNoEitBoard) {
        SYS_LOG(LOG_LEVEL_ERROR, "Resource_GetEITBoardSlot error, EIT board is not exist.\n");
        return;
    }
    // This card's own frame server would take the records as a request to
    // send them again.
    if (eitAddr == 0 || eitAddr == ownAddr) {
        SYS_LOG(LOG_LEVEL_ERROR, "EIT board of slot %u names %s: EIT information not sent\n", (unsigned)eitSlot,
                eitAddr == 0 ? "no address" : "this card's own address");
        return;
    }
    // Sent by the peer sender, off the frame server, HTTP and SNMP threads;
    // only the newest records wait, and a board that takes the connection but
    // never answers holds the sender one reply wait at most.
    SSD_PostPeerMessage(TSP_SlotMessageKey(IPCOMM_SEND_EITINFO, eitSlot), std::move(msg),
                        [eitSlot, eitAddr](std::vector<U8>& d) {
                            const int wait = kEitReplyWaitMs * (int)plat::Slowness();
                            S32 rc = IPComm_SendDataWithin(eitAddr, IPCOMM_SEND_EITINFO, d.data(), (U32)d.size(), wait);
                            if (rc == 0)
                                rc = IPComm_SendCmdWithin(eitAddr, IPCOMM_SEND_EITINFO_OVER, wait);
                            if (rc != 0)
                                SYS_LOG(LOG_LEVEL_ERROR, "EIT board of slot %u did not take the EIT information (%d)\n",
                                        (unsigned)eitSlot, (int)rc);
                        });
}

zrErrCode FTP_SendBackUpPara(void)
{
    // A backup made of files that could not be written now would carry an
    // older configuration than the one in force: none is sent.
    bool saved = DATA_Save() == ZR_SUCCESS;
    OID_ModifyVersionNumber(0xFFFF);
    saved = OIDDATA_Save() == ZR_SUCCESS && saved;
    if (!saved) {
        SYS_LOG(LOG_LEVEL_ERROR, "configuration not saved, no backup sent\n");
        plat::System(std::string("rm -rf ") + TARVEX_OID_FILE);
        return ZR_ERR_NOT_SAVED;
    }
    ST_CONFIGPARA head;
    memset(&head, 0, sizeof(head));
    zrErrCode ret = PARAM_InitConfigPara(&head);
    if (ret != ZR_SUCCESS) {
        SYS_LOG(LOG_LEVEL_ERROR, "PARAM_InitConfigPara error: 0x%x\n", ret);
        return ret;
    }
    ret = PARAM_CompressConfigFile(&head);
    if (ret != ZR_SUCCESS) {
        SYS_LOG(LOG_LEVEL_ERROR, "PARAM_CompressConfigFile error: 0x%x\n", ret);
        return ret;
    }
    // Run in the folder itself: the process's working directory is left alone.
    std::string cmd = "ftpput " + Dotted(BackBoardIp()) + " " + ArchiveName();
    plat::System(cmd, kVolatile);
    plat::System(std::string("rm -rf ") + TARVEX_OID_FILE);
    return ZR_SUCCESS;
}

namespace {

// An export fetched for frame 516 that passed every check, waiting for its
// answer to go out before it is taken into force.
bool s_bImportChecked = false;

zrErrCode RefuseImport(const std::string& archive, zrErrCode code, const char* reason)
{
    // One line that says it was refused and why; the code goes back to the
    // back board in the answer to 516.
    SYS_LOG(LOG_LEVEL_ERROR, "import of %s refused: %s\n", archive.c_str(), reason);
    // Never the frame link's success (1) or data error (2).
    return code == ZR_SUCCESS || code == ZR_ERR_FAILURE || code == ZR_ERR_CONFIG_TIMEOUOT ? ZR_ERR_PARAMS_MIGRATION
                                                                                         : code;
}

}  // namespace

zrErrCode IPComm_GetTheConfParam(ST_BACKUPPARA* pstBackUpPara)
{
    s_bImportChecked = false;
    if (pstBackUpPara == nullptr)
        return ZR_ERR_FAILURE;
    std::string archive = ArchiveName();
    // Files of an earlier transfer would be imported again if this fetch failed.
    RemoveStale(archive);
    RemoveStale("param.conf");
    RemoveStale("param_new.conf");
    plat::System("ftpget " + Dotted(BackBoardIp()) + " " + archive, kVolatile);
    std::string archivePath = std::string(kVolatile) + archive;
    if (!plat::Exists(archivePath)) {
        SOCK_LOG(LOG_LEVEL_ERROR, "[IPComm_GetTheConfParam] ftpget error\n");
        return RefuseImport(archive, ZR_ERR_FILE_NOT_EXISTING, "it could not be fetched from the back board");
    }
    // Only plain members inside the folder: no links, absolute or climbing names.
    if (!plat::ArchiveIsSafe(archivePath)) {
        SYS_LOG(LOG_LEVEL_ERROR, "[IPComm_GetTheConfParam] archive %s refused\n", archive.c_str());
        RemoveStale(archive);
        return RefuseImport(archive, ZR_ERR_PARAMS_MIGRATION, "damaged: a member is not a plain file inside it");
    }
    plat::System("tar -zxvf " + archive + " param.conf param_new.conf", kVolatile);
    if (plat::Exists(PARAM_BACKUP_FILE)) {
        std::string data;
        if (!plat::ReadFile(PARAM_BACKUP_FILE, data, sizeof(ST_BACKUPPARA))) {
            SYS_LOG(LOG_LEVEL_ERROR, "[IPComm_GetTheConfParam] open error\n");
            return RefuseImport(archive, ZR_ERR_FILE_CAN_NOT_READE, "its backup cannot be read");
        }
        memcpy(pstBackUpPara, data.data(), data.size());
        // Its two files are checked whole before either is written.
        if (PARAM_WriteParaFile(pstBackUpPara) != ZR_SUCCESS)
            return RefuseImport(archive, ZR_ERR_PARAMS_MIGRATION, "its backup does not pass the start-up checks");
        return ZR_SUCCESS;
    }
    if (!plat::Exists(PARAM_EXPORT_FILE))
        return RefuseImport(archive, ZR_ERR_PARAMS_MIGRATION, "damaged: it holds no configuration");
    // Form, standard and every value; a refused file is deleted.
    std::string data;
    PARAM_Refusal why;
    if (!plat::ReadFile(PARAM_EXPORT_FILE, data) ||
        PARAM_CheckImport(reinterpret_cast<const U8*>(data.data()), data.size(), &why) != ZR_SUCCESS) {
        RemoveStale("param_new.conf");
        return RefuseImport(archive, why.enCode, why.acReason[0] ? why.acReason : "it cannot be read");
    }
    s_bImportChecked = true;
    return ZR_SUCCESS;
}

zrErrCode IPComm_SetTheConfParam(void)
{
    if (!s_bImportChecked)
        return ZR_SUCCESS;  // nothing checked to take, or a backup already restored
    s_bImportChecked = false;
    PARAM_Refusal why;
    zrErrCode rc = PARAM_ImportConfigFile(PARAM_EXPORT_FILE, &why);
    if (rc != ZR_SUCCESS && rc != ZR_ERR_NOT_SAVED)
        return RefuseImport(ArchiveName(), why.enCode, why.acReason);
    // What the view and the files now say goes on air on both chips.
    zrErrCode applied = SetDTMB_CurPara(GetDTMBPara_Handle());
    if (DATA_Save() != ZR_SUCCESS || applied == ZR_ERR_NOT_SAVED)
        rc = ZR_ERR_NOT_SAVED;
    return rc;
}

zrErrCode IPComm_GetAndSetParam(void)
{
    auto buf = std::make_unique<ST_BACKUPPARA>();
    memset(buf.get(), 0, sizeof(ST_BACKUPPARA));
    if (IPComm_GetTheConfParam(buf.get()) != ZR_SUCCESS) {
        SOCK_LOG(LOG_LEVEL_ERROR, "[IPComm_GetTheConfParam] return error\n");
        return ZR_ERR_FAILURE;
    }
    zrErrCode rc = IPComm_SetTheConfParam();
    return rc == ZR_SUCCESS || rc == ZR_ERR_NOT_SAVED ? rc : ZR_ERR_FAILURE;
}

zrErrCode IPComm_WriteParaFile(U8* pu8Data, U32 u32Len)
{
    if (u32Len < sizeof(ST_BACKUPPARA)) {
        SOCK_LOG(LOG_LEVEL_INFO, "Data length %d smaller than ST_BACKUPPARA length %d\n", u32Len,
                 (int)sizeof(ST_BACKUPPARA));
        return ZR_ERR_PARAMS;
    }
    if (pu8Data == nullptr) {
        SOCK_LOG(LOG_LEVEL_INFO, "para error\n");
        return ZR_ERR_PARAMS;
    }
    auto buf = std::make_unique<ST_BACKUPPARA>();
    memcpy(buf.get(), pu8Data, sizeof(ST_BACKUPPARA));
    return PARAM_WriteParaFile(buf.get());
}

zrErrCode NetWorkQualityTest(U8* pu8Cmd)
{
    if (pu8Cmd == nullptr) {
        SYS_LOG(LOG_LEVEL_ERROR, "[NetWorkQualityTest] error input\n");
        return ZR_ERR_PARAMS;
    }
    const char* text = reinterpret_cast<const char*>(pu8Cmd);
    // The text comes off the wire: only a checked iperf3 line runs, and as
    // an argument vector, never through a shell.
    std::vector<std::string> words = IperfWords(text);
    if (words.empty()) {
        SYS_LOG(LOG_LEVEL_ERROR, "[NetWorkQualityTest] command refused: %.64s\n", text);
        return ZR_ERR_PARAMS;
    }
    std::vector<std::string> argv = words;
    argv.push_back("-R");
    SYS_LOG(LOG_LEVEL_INFO, "TCP Uplink test command:%s\n", Joined(argv).c_str());
    plat::RunArgv(argv);
    argv = words;
    argv.push_back("-u");
    SYS_LOG(LOG_LEVEL_INFO, "UDP Downlink test command:%s\n", Joined(argv).c_str());
    plat::RunArgv(argv);
    argv.push_back("-R");
    SYS_LOG(LOG_LEVEL_INFO, "UDP Uplink test command:%s\n", Joined(argv).c_str());
    plat::RunArgv(argv);
    return ZR_SUCCESS;
}

zrErrCode Iperf3SoftwareInit(void)
{
    const char* tarFile = "/tarvex_app//app/iperf3.tar";
    if (!plat::Exists(tarFile)) {
        SYS_LOG(LOG_LEVEL_ERROR, "iperf3 software dont exist\n");
        return ZR_ERR_FAILURE;
    }
    plat::System(std::string("tar -xvf ") + tarFile, "/");
    return ZR_SUCCESS;
}
