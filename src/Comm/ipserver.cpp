// The master's frame server on port 8000 and its dispatcher: one frame per
// accepted connection, acted on and answered with one reply frame.
#include "Comm/ipcomm.h"
#include "Comm/ipserver_loop.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "Driver/Socket/socket.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include "Upgrade/upgrade.h"
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <memory>
#include <netinet/in.h>
#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

#define SRV_LOG(level, fmt, ...) log_printf(level, LOG_MODULE_SOCKET, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

// An upgrade image larger than this is not taken (the flash holds less).
constexpr U64 kUpgradeMaxBytes = 64ull << 20;

// Reception state of a framed upgrade image, kept between frames.
struct UpgradeRx {
    std::vector<U8> buf;
    U32 u32Total = 0;             // frames, fixed by frame 0
    U32 u32shouldRecPackIndex = 0;
    U64 u64Bytes = 0;
    bool bWhole = false;          // every frame so far arrived in order and was stored
    bool bDropLogged = false;     // frames out of their transfer were logged once
};
UpgradeRx s_upgrade;

// Set by a 514: the server binds its socket again (the own address changed).
bool s_bRebind = false;

bool IsTSCommand(U16 c)
{
    switch (c) {
    case IPCOMM_SEND_TS: case IPCOMM_SEND_PROGRAM: case IPCOMM_SEND_PID: case IPCOMM_DEL_TS:
    case IPCOMM_DEL_PROGRAM: case IPCOMM_CHANGE_PROGRAM: case IPCOMM_CHANGE_PID: case IPCOMM_PROG_SET_DESCRAMBLE:
    case IPCOMM_DEL_SCR: case IPCOMM_SEND_NIT_TABLE: case IPCOMM_DEL_PID: case IPCOMM_MONITOR_PID:
    case IPCOMM_SEND_DESCRIPTOR: case IPCOMM_DEL_DESCRIPTOR:
        return true;
    default:
        return false;
    }
}

void FreeEntry(ST_ZR_IPCOMM_TMPData* e)
{
    if (e != nullptr)
        e->u8OccupyFlag = 0;
}

void HandleTSCommand(S32 fd, ST_ZR_IPCOMM* rec)
{
    IPCOMM_CMD cmd = (IPCOMM_CMD)rec->u16CMD;
    if (rec->u32SumTansNum == 0)
        return;  // no reply: the sender tries again
    // Records come from the chassis's slots and the back board only.
    if (rec->u8SlotID > TSP_MAX_SLOT_ID) {
        SRV_LOG(LOG_LEVEL_ERROR, "record message %u from slot %u refused: no such slot\n", (unsigned)cmd,
                rec->u8SlotID);
        IPComm_ResponseError(fd);
        return;
    }
    TSP_PlanOpenRound(rec->u8SlotID);
    // A frame after the first that is refused loses its message: the round's
    // apply says so.
    auto lost = [rec]() {
        if (rec->u32CurTansNum > 0)
            TSP_PlanNoteMessage(rec->u8SlotID, TSP_ERR_INPUT);
    };
    if (rec->u32SumTansNum == 1) {
        // Answered 1 whatever the result; a refusal is told at the apply.
        U32 rc = TSP_ConstructOutputTS(rec->pu8Data, cmd, (U16)rec->u32Length);
        TSP_PlanNoteMessage(rec->u8SlotID, rc);
        IPComm_ResponseSuccess(fd);
        SRV_LOG(LOG_LEVEL_INFO, "u32Length : %d\n", rec->u32Length);
        return;
    }
    if (IPComm_LastCombineResult() == ZR_ERR_COMM_COMBINEPACK) {
        // A message too long to join is refused whole; a program it named
        // that is not on air is held back rather than go on air half-made.
        const ST_ZR_IPCOMM_TMPData* o = IPComm_LastOverflow();
        if (o != nullptr && cmd == IPCOMM_SEND_PID && o->u32Length > 1)
            TSP_PlanPIDMessage(o->pu8Data + 1, o->pu8Data[0], o->u32Length - 1, true);
        TSP_PlanNoteMessage(rec->u8SlotID, TSP_ERR_DOES_NOT_FIT);
        IPComm_ResponseErrorCode(fd, IPCOMM_COMBINEPACK_ERROR);
        return;
    }
    ST_ZR_IPCOMM_TMPData* e = nullptr;
    for (ST_ZR_IPCOMM_TMPData& t : g_IPComm_Tmpdata)
        if (t.u8OccupyFlag && t.u16CMD == rec->u16CMD && t.u8SlotID == rec->u8SlotID) {
            e = &t;
            break;
        }
    if (e == nullptr) {
        lost();
        IPComm_ResponseErrorCode(fd, IPCOMM_IP_TEMP_FULL);
        return;
    }
    if (e->u32curPacket != rec->u32CurTansNum) {
        lost();
        IPComm_ResponseErrorCode(fd, IPCOMM_COMBINEPACK_ERROR);
        FreeEntry(e);
        return;
    }
    if (e->u32curPacket == rec->u32SumTansNum - 1) {
        U32 rc = TSP_ConstructOutputTS(e->pu8Data, cmd, (U16)e->u32Length);
        TSP_PlanNoteMessage(rec->u8SlotID, rc);
        if (rc == 0) {
            IPComm_ResponseSuccess(fd);
            SRV_LOG(LOG_LEVEL_INFO, "u32Length : %d\n", e->u32Length);
        } else {
            IPComm_ResponseErrorCode(fd, IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR);
        }
        FreeEntry(e);
        return;
    }
    IPComm_ResponseSuccess(fd);
}

// How long the master waits, after its own installation, for the slave to
// report the image's version: the slave started its installation first, and
// both take the same steps.
constexpr int kSlaveInstallWaitMs = 10000;

enum class SlaveStep { Skipped, Sent, Failed };

// Sends the image to the slave chip when it is present and the image passes
// the version rules; *pu32FileVer gets the image's version.
SlaveStep UpgradeSlaveStep(U32* pu32FileVer)
{
    U32 fileVer = 0;
    if (GetUpgradeFileSwVersion((const U8*)UPGRADE_FILE, &fileVer) != ZR_SUCCESS)
        fileVer = 0;
    *pu32FileVer = fileVer;
    U8 hwLimit = 0;
    U32 minVer = GetMiniSwVersion_SupportCurrentHw(&hwLimit);
    if (__atomic_load_n(&SLAVE_CHIP_IS_EXIST, __ATOMIC_RELAXED) != 1 || !(minVer < fileVer) || hwLimit == (U8)(fileVer >> 16))
        return SlaveStep::Skipped;
    SRV_LOG(LOG_LEVEL_INFO, "Master send upgrade file to slave and upgrade slave chip\n");
    SRV_LOG(LOG_LEVEL_INFO, "Please wait......\n");
    if (MACMasterCom_SendFile(ZR_COM_MAC_CMD_FILE_UPGRADE, (const U8*)UPGRADE_FILE) == 0)
        return SlaveStep::Sent;
    return SlaveStep::Failed;
}

// Installs the image on the master; success only once the slave, when the
// image went to it, reports the image's version as well.
void UpgradeMaster(SlaveStep step, U32 fileVer)
{
    SRV_LOG(LOG_LEVEL_INFO, "Enter mater chip upgrade...\n");
    auto slaveDone = [step, fileVer]() -> zrErrCode {
        if (step == SlaveStep::Skipped)
            return ZR_SUCCESS;
        U32 slave = 0;
        if (step == SlaveStep::Sent && MACComm_WaitSlaveVersion(fileVer, kSlaveInstallWaitMs, &slave))
            return ZR_SUCCESS;
        SRV_LOG(LOG_LEVEL_ERROR, "Slave chip did not install the image\n");
        MACComm_LogVersionsDiffer(slave);
        return ZR_ERR_SEND_UPGRADE_FILE_TO_SUBMODULE_FAIL;
    };
    if (upgrade_UpgradeSystemWith((const U8*)UPGRADE_FILE, slaveDone) == ZR_SUCCESS)
        SRV_LOG(LOG_LEVEL_INFO, "Master chip upgrade successfully\n");
    else
        SRV_LOG(LOG_LEVEL_ERROR, "Master chip upgrade failed\n");
}

void HandleUpgradeFrame(S32 fd, const ST_ZR_IPCOMM* rec)
{
    UpgradeRx& u = s_upgrade;
    U32 idx = rec->u32CurTansNum;
    if (idx == 0) {
        // Frame 0 starts (or restarts) a transfer and fixes its frame count.
        g_isUpgrading = 1;
        SRV_LOG(LOG_LEVEL_INFO, "##### Receive upgrade total packet %d\n", rec->u32SumTansNum);
        u = UpgradeRx();
        u.u32Total = rec->u32SumTansNum;
        U64 size = (U64)u.u32Total * IPCOMM_MAX_DATA_LEN;
        u.bWhole = u.u32Total > 0 && size <= kUpgradeMaxBytes;
        if (u.bWhole) {
            try {
                u.buf.resize((size_t)size);
            } catch (const std::bad_alloc&) {
                u.bWhole = false;
            }
        }
        if (!u.bWhole)
            SRV_LOG(LOG_LEVEL_ERROR, "##### IPCOMM UPGRADE CMD malloc fail\n");
    }
    if (idx != u.u32shouldRecPackIndex || idx >= u.u32Total) {
        if (u.bWhole || !u.buf.empty()) {
            g_isUpgrading = 0;
            SRV_LOG(LOG_LEVEL_ERROR, "##### IPCOMM_SEND_UPGRADE Receive packet index error sould rec %d, rec %d\n",
                    u.u32shouldRecPackIndex, idx);
        } else if (!u.bDropLogged) {
            // Frames of a transfer whose start this program never saw (it
            // restarted in between): answered, dropped, said once.
            SRV_LOG(LOG_LEVEL_ERROR,
                    "##### upgrade frame %u of %u without the frames before it (the card restarted?): the transfer's "
                    "frames are dropped up to the next frame 0\n",
                    idx, rec->u32SumTansNum);
        }
        u.bDropLogged = true;
        u.bWhole = false;
        std::vector<U8>().swap(u.buf);
    } else if (u.bWhole) {
        U64 off = (U64)idx * IPCOMM_MAX_DATA_LEN;
        memcpy(u.buf.data() + off, rec->pu8Data, rec->u32Length);
        u.u64Bytes = off + rec->u32Length;
        // Only the last frame may be short.
        if (rec->u32Length != IPCOMM_MAX_DATA_LEN && idx + 1 != u.u32Total)
            u.bWhole = false;
    }
    u.u32shouldRecPackIndex++;
    if (u.bWhole && u.u64Bytes == 0 && idx + 1 == u.u32Total) {
        // A transfer that carried no byte holds no image: nothing starts.
        SRV_LOG(LOG_LEVEL_ERROR, "##### upgrade transfer of 0 bytes: nothing installed\n");
        g_isUpgrading = 0;
        u = UpgradeRx();
        IPComm_ResponseError(fd);
        return;
    }
    IPComm_ResponseSuccess(fd);
    if (u.u32Total == 0 || idx != u.u32Total - 1)
        return;
    g_isUpgrading = 0;
    if (u.bWhole) {
        SRV_LOG(LOG_LEVEL_INFO, "##### Receive upgrade file finish\n");
        upgrade_RecieveFile(u.buf.data(), (U32)u.u64Bytes);
        U32 fileVer = 0;
        SlaveStep step = UpgradeSlaveStep(&fileVer);
        if (step == SlaveStep::Failed)
            SRV_LOG(LOG_LEVEL_ERROR, "send Upgrade File Failed\n");
        UpgradeMaster(step, fileVer);
    } else {
        SRV_LOG(LOG_LEVEL_ERROR, "##### upgrade image incomplete: not installed\n");
    }
    u = UpgradeRx();
}

void HandleFtpUpgrade(S32 fd, const ST_ZR_IPCOMM* rec)
{
    const U8* d = rec->pu8Data;
    U32 size = (U32)d[0] << 24 | (U32)d[1] << 16 | (U32)d[2] << 8 | d[3];
    SRV_LOG(LOG_LEVEL_INFO, "Upgrade file size: %d\n", size);
    IPComm_ResponseSuccess(fd);
    upgrade_FTPUpgradeMode();
    SubUpgrade_TimeoutStart();
    U32 fileVer = 0;
    SlaveStep step = UpgradeSlaveStep(&fileVer);
    if (step == SlaveStep::Failed) {
        // Neither chip installs; the reporter sends the failure and ends.
        SRV_LOG(LOG_LEVEL_ERROR, "send Upgrade File Failed!\n");
        upgrade_ReportFailure(ZR_ERR_SEND_UPGRADE_FILE_TO_SUBMODULE_FAIL);
        return;
    }
    U8 ftp = 0;
    {
        CARD_STATE_LOCK();
        TResource_TS* self = Resource_getSelfHandle();
        ftp = self ? self->u8FTPUpgrade : 0;
    }
    st_ZR_UPGRADE record;
    upgrade_CopyRecord(&record);
    if (!(record.u8CurUpgradeProFlag == UPGRADE_STAGE_FAILED && ftp > 1))
        UpgradeMaster(step, fileVer);
    else
        SRV_LOG(LOG_LEVEL_INFO, "Enter mater chip upgrade...\n");
    g_isFtpUpgrading = 0;
}

// Resource record of the sender: each slot (the back board too) gives its
// own record only, and none gives the card's own.
bool ResourceRecordOk(const ST_ZR_IPCOMM* rec)
{
    if (rec->u32Length < sizeof(TResource_TS) || rec->u8SlotID > SLOT_BB)
        return false;
    U8 recordSlot = rec->pu8Data[offsetof(TResource_TS, u8SlotID)];
    return recordSlot == rec->u8SlotID && recordSlot != Status_GetSlotID();
}

}  // namespace

void IPComm_Response(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm)
{
    if (pstIPComm == nullptr) {
        SRV_LOG(LOG_LEVEL_ERROR, "Input Param NULL\n");
        return;
    }
    ST_ZR_IPCOMM* rec = pstIPComm;
    const S32 fd = s32Socket;
    const U16 cmd = rec->u16CMD;
    const U8 slot = rec->u8SlotID;
    const U32 len = rec->u32Length;
    if (!IPComm_IsKnownCmd(cmd)) {
        IPComm_ResponseError(fd);
    } else if (IsTSCommand(cmd)) {
        HandleTSCommand(fd, rec);
    } else {
        switch (cmd) {
        case IPCOMM_SEND_RESOUR:
            if (!ResourceRecordOk(rec)) {
                IPComm_ResponseError(fd);
                break;
            }
            Resource_SetSlotResource(slot, rec->pu8Data);
            IPComm_ResponseSuccess(fd);
            break;
        case IPCOMM_SEND_DATA:
            IPComm_ResponseSuccess(fd);
            break;
        case IPCOMM_SEND_OVER:
            TSP_UpdateResourceInfo();
            IPComm_ResponseSuccess(fd);
            break;
        case IPCOMM_CLEAR_INPUT:
            ClearOneSlotInfoFromInput(slot);
            IPComm_ResponseSuccess(fd);
            TSP_SendSubFPGAMuxLUTInfo();
            TSP_SendSubFPGABypassLUTInfo();
            break;
        case IPCOMM_SEND_TSP_MUX_PROCESS: {
            // Success only when everything the sender gave in this round is
            // on air: a refused message or a record left out says 2067.
            U32 rc;
            bool whole;
            {
                // The commit of the sender's own round.
                TSP_PlanRoundApply own(slot);
                rc = TSP_MuxProcess();
                whole = TSP_PlanApplyAnswer(slot) && rc != TSP_ERR_DOES_NOT_FIT;
            }
            if (whole)
                IPComm_ResponseSuccess(fd);
            else
                IPComm_ResponseErrorCode(fd, IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR);
            TSP_SendSubFPGAMuxLUTInfo();
            TSP_SendSubFPGABypassLUTInfo();
            {
                CARD_STATE_LOCK();
                if (g_DelDestChannelNum > 0)
                    g_DelDestChannelNum--;
            }
            IPComm_SendEITInfo();
            break;
        }
        case IPCOMM_SEND_EITINFO:
            IPComm_SendEITInfo();
            IPComm_ResponseSuccess(fd);
            break;
        case IPCOMM_SEND_SUBPLUGFLAG: {
            if (len < 2) {
                IPComm_ResponseError(fd);
                break;
            }
            U16 plug = (U16)(rec->pu8Data[0] | rec->pu8Data[1] << 8);
            SRV_LOG(LOG_LEVEL_INFO, "Get subplugflag 0x%02x\n", plug);
            {
                // One step for the handlers that read both under the lock:
                // the new map never meets the records of slots it emptied.
                CARD_STATE_LOCK();
                Status_SetSubBoardPlugStatus(plug);
                Resource_Refresh();
            }
            IPComm_ResponseSuccess(fd);
            break;
        }
        case IPCOMM_SEND_IP:
            // Only the back board gives the card its addresses.
            if (len < 16 || slot != SLOT_BB) {
                IPComm_ResponseError(fd);
                break;
            }
            IPComm_ResponseSuccess(fd);
            IPComm_ChangeIP(slot, rec->pu8Data);
            s_bRebind = true;
            break;
        case IPCOMM_SEND_BACKUPPARA: {
            SRV_LOG(LOG_LEVEL_INFO, "start to import the conf file\n");
            // Answered once the archive is checked: a refusal reaches the
            // back board with its code; an accepted import is answered 1
            // before it is taken into force.
            auto backup = std::make_unique<ST_BACKUPPARA>();
            zrErrCode rc = IPComm_GetTheConfParam(backup.get());
            if (rc != ZR_SUCCESS) {
                IPComm_ResponseErrorCode(fd, (U16)rc);
                break;
            }
            IPComm_ResponseSuccess(fd);
            IPComm_SetTheConfParam();
            break;
        }
        case IPCOMM_SEND_EXPORTPARA:
            IPComm_ResponseSuccess(fd);
            FTP_SendBackUpPara();
            break;
        case IPCOMM_SEND_UPGRADE:
            HandleUpgradeFrame(fd, rec);
            break;
        case IPCOMM_REQ_REBOOT:
            // The pause and the reboot run off this thread: other frames are
            // answered meanwhile.
            IPComm_ResponseSuccess(fd);
            BMN_RebootAfter(5000);
            break;
        case IPCOMM_FTP_UPGRADE:
            if (len < 4) {
                IPComm_ResponseError(fd);
                break;
            }
            HandleFtpUpgrade(fd, rec);
            break;
        case IPCOMM_SEND_IPERF3_TO_SUBB: {
            char text[IPCOMM_MAX_DATA_LEN + 1];
            memcpy(text, rec->pu8Data, len);
            text[len] = '\0';
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_SOCKET, "%ld:%s:%d start to test the network quality\n", LOG_POS);
            NetWorkQualityTest(reinterpret_cast<U8*>(text));
            IPComm_ResponseSuccess(fd);
            break;
        }
        default:
            IPComm_ResponseError(fd);
            break;
        }
    }
    IPComm_ClearTmpData(rec);
}

struct FrameServerLoop::Conn {
    S32 fd;
    U64 u64DeadlineMs;  // the frame's whole read wait ends here
    U64 u64LastMs;      // accepted, or bytes last read
    U32 u32Got;
    bool bClosed;       // the peer closed or failed: take what came
    U8 buf[4096];
};

namespace {

// Tries (1 s apart) to listen on a new address before keeping the old one.
constexpr int kRebindTries = 5;

U64 NowMs()
{
    return (U64)std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool OpenListener(void)
{
    if (socketS_open() == ZR_SOCKETS_SUCCESS && socketS_bind() == ZR_SOCKETS_SUCCESS &&
        socketS_listen() == ZR_SOCKETS_SUCCESS) {
        // Accepted by the event loop only when a client waits.
        fcntl(socketSfd, F_SETFL, fcntl(socketSfd, F_GETFL) | O_NONBLOCK);
        return true;
    }
    socketS_close();
    return false;
}

bool AddressOf(int fd, U32& addr)
{
    struct sockaddr_in a;
    socklen_t len = sizeof(a);
    if (getsockname(fd, reinterpret_cast<struct sockaddr*>(&a), &len) != 0 || a.sin_family != AF_INET)
        return false;
    addr = ntohl(a.sin_addr.s_addr);
    return true;
}

// The address a listener bound now would get (any address on the card, the
// own address in the simulation), found with a throw-away socket.
bool NextListenAddress(U32& addr)
{
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return false;
    struct sockaddr_in a;
    memset(&a, 0, sizeof(a));
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_ANY);
    bool ok = plat::Bind(fd, &a) == 0 && AddressOf(fd, addr);
    close(fd);
    return ok;
}

// After a 514: listens on the new address; one that cannot be bound after a
// few tries leaves the server on the address it had.
void Rebind(void)
{
    // An unchanged address (a 514 repeating it, or one not taken) keeps the
    // listener: a second one on the address it holds could never be bound.
    U32 held = 0, next = 0;
    if (socketSfd >= 0 && AddressOf(socketSfd, held) && NextListenAddress(next) && held == next)
        return;
    int old = socketSfd;
    socketSfd = -1;
    for (int i = 0; i < kRebindTries; i++) {
        if (OpenListener()) {
            if (old >= 0)
                close(old);
            return;
        }
        sleep(1);
    }
    SRV_LOG(LOG_LEVEL_ERROR, "frame server cannot bind its new address: listening on the previous address again\n");
    socketSfd = old;
}

// One whole frame (or what came before the peer closed or the wait ended):
// dispatched and answered on the server thread.
void ServeFrame(S32 fd, U8* frame, U32 len)
{
    static ST_ZR_IPCOMM rec;
    // A failed check leaves no earlier frame behind: a cleared record gets 2.
    memset(&rec, 0, sizeof(rec));
    IPComm_ParseData(frame, (S32)len, &rec);
    IPComm_Response(fd, &rec);
}

}  // namespace

FrameServerLoop::FrameServerLoop(ServeFn serve, ClockFn clock) : serve_(serve), clock_(clock) {}

FrameServerLoop::~FrameServerLoop()
{
    for (auto& c : conns_)
        close(c->fd);
}

void FrameServerLoop::Read(Conn& c, U64 now)
{
    ssize_t n = recv(c.fd, c.buf + c.u32Got, sizeof(c.buf) - c.u32Got, MSG_DONTWAIT);
    if (n > 0) {
        c.u32Got += (U32)n;
        c.u64LastMs = now;
    } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
        c.bClosed = true;
    }
}

// Its frame is whole, its peer closed or its wait ended: served now.
bool FrameServerLoop::Due(const Conn& c, U64 now)
{
    return c.bClosed || now >= c.u64DeadlineMs || IPComm_FrameWhole(c.buf, c.u32Got, sizeof(c.buf));
}

// All connections open and a client waits: the one that has sent nothing
// for longest goes, if it has been idle for kIdleMs (a frame on its way is
// never cut off). False when no one goes.
bool FrameServerLoop::MakeRoom(U64 now)
{
    size_t at = conns_.size();
    for (size_t i = 0; i < conns_.size(); i++) {
        const Conn& c = *conns_[i];
        if (Due(c, now))
            return false;  // served in this round: room without closing anyone
        if (now - c.u64LastMs < kIdleMs)
            continue;
        if (at == conns_.size() || c.u64LastMs < conns_[at]->u64LastMs ||
            (c.u64LastMs == conns_[at]->u64LastMs && c.u32Got < conns_[at]->u32Got))
            at = i;
    }
    if (at == conns_.size())
        return false;
    Conn& c = *conns_[at];
    Read(c, now);  // what came since the poll still counts
    if (Due(c, now))
        return false;
    close(c.fd);
    spare_.push_back(std::move(conns_[at]));
    conns_.erase(conns_.begin() + (long)at);
    return true;
}

void FrameServerLoop::Accept(S32 listenFd, U64 now)
{
    // Non-blocking for the replies too: a peer that stops reading cannot hold
    // the server, and a reply (a 20-byte frame) always fits the empty buffer.
    S32 fd = accept4(listenFd, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (fd < 0) {
        int e = errno;
        if (e != EAGAIN && e != EWOULDBLOCK && e != EINTR && e != ECONNABORTED) {
            SRV_LOG(LOG_LEVEL_ERROR, "accept socket error: %s(errno: %d)\n", strerror(e), e);
            usleep(100000);
        }
        return;
    }
    std::unique_ptr<Conn> c;
    if (spare_.empty()) {
        c.reset(new Conn);  // the buffer is filled by reads, not cleared
    } else {
        c = std::move(spare_.back());
        spare_.pop_back();
    }
    c->fd = fd;
    c->u64DeadlineMs = now + IPCOMM_SERVER_READ_WAIT_MS;
    c->u64LastMs = now;
    c->u32Got = 0;
    c->bClosed = false;
    Read(*c, now);  // the frame is often there already
    conns_.push_back(std::move(c));
}

void FrameServerLoop::Round(S32 listenFd, int maxWaitMs)
{
    U64 now = clock_();
    const bool full = conns_.size() >= kMaxOpen;
    bool idle = false;
    int wait = maxWaitMs;
    auto until = [&](U64 t) {
        U64 left = t > now ? t - now : 0;
        if (wait < 0 || left < (U64)wait)
            wait = (int)left;
    };
    fds_.assign(1, {listenFd, POLLIN, 0});
    for (auto& c : conns_) {
        fds_.push_back({c->fd, POLLIN, 0});
        until(c->u64DeadlineMs);
        if (full && now - c->u64LastMs >= kIdleMs)
            idle = true;
        else if (full)
            until(c->u64LastMs + kIdleMs);
    }
    // Full with no one idle: waiting clients stay in the listen backlog.
    if (full && !idle)
        fds_[0].fd = -1;
    int r = poll(fds_.data(), fds_.size(), wait);
    if (r < 0) {
        int e = errno;
        if (e != EINTR) {
            SRV_LOG(LOG_LEVEL_ERROR, "poll error: %s(errno: %d)\n", strerror(e), e);
            usleep(100000);
        }
        return;
    }
    now = clock_();
    for (size_t i = 0; r > 0 && i < conns_.size(); i++)
        if (fds_[i + 1].revents != 0)
            Read(*conns_[i], now);
    // Room is made only from what was just read: after a long dispatch every
    // connection would look idle.
    if (fds_[0].fd >= 0 && fds_[0].revents != 0 && (conns_.size() < kMaxOpen || MakeRoom(now)))
        Accept(listenFd, now);
    for (size_t i = 0; i < conns_.size();) {
        Conn& c = *conns_[i];
        if (!Due(c, now)) {
            i++;
            continue;
        }
        if (!c.bClosed && !IPComm_FrameWhole(c.buf, c.u32Got, sizeof(c.buf)))
            Read(c, now);  // the wait ended: what came while others were served counts
        std::unique_ptr<Conn> d = std::move(conns_[i]);
        conns_.erase(conns_.begin() + (long)i);
        serve_(d->fd, d->buf, d->u32Got);
        close(d->fd);
        spare_.push_back(std::move(d));
        now = clock_();
    }
}

// Reads the frames of all open connections side by side, so that clients
// that send slowly or not at all delay no one; each whole frame is then
// dispatched on this thread, one after the other.
void* IPComm_Server_Service(void* arg)
{
    (void)arg;
    while (!OpenListener())
        sleep(1);
    FrameServerLoop loop(ServeFrame, NowMs);
    for (;;) {
        loop.Round(socketSfd, -1);
        if (s_bRebind) {
            s_bRebind = false;
            Rebind();
        }
    }
    return nullptr;
}


zrErrCode IPServer_Start(void)
{
    pthread_t tid;
    // Created with the control signals blocked: the SNMP agent's loop takes them.
    int rc = Thread_Create(&tid, nullptr, IPComm_Server_Service, nullptr);
    if (rc != 0) {
        SRV_LOG(LOG_LEVEL_ERROR, "IP communication thread create error :%s(errno: %d)\n", strerror(rc), rc);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    SRV_LOG(LOG_LEVEL_INFO, "IP communication create successfully!\n");
    rc = pthread_detach(tid);
    if (rc != 0) {
        SRV_LOG(LOG_LEVEL_ERROR, "IP communication thread detach error :%s(errno: %d)\n", strerror(rc), rc);
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    SRV_LOG(LOG_LEVEL_INFO, "IP communication pthread detach successfully!\n");
    return ZR_SUCCESS;
}
