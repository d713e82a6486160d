// Chip link between the card's chips: wire bytes, the slave's reassembly and
// payload checks, the master's dispatch, detection, reboot coordination and
// the SPI link over an in-process byte pipe.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Comm/spicomm.h"
#include "Driver/SPI/spilink.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/Socket/socket.h"
#include "MNG/bmn.h"
#include "Platform/platform.h"
#include "SIprocess/tdttot.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_lut.h"
#include "support/framepeer.h"
#include "support/testboard.h"
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

namespace {

U32 Crc(const std::vector<U8>& raw) { return raw.size() < 4 ? 0 : raw[raw.size() - 4] | raw[raw.size() - 3] << 8 | raw[raw.size() - 2] << 16 | (U32)raw[raw.size() - 1] << 24; }

// One frame handed to a chip's dispatcher on a socket pair; the reply
// command (0 for none) comes back.
struct Wire {
    int fd[2];
    Wire() { socketpair(AF_UNIX, SOCK_STREAM, 0, fd); }
    ~Wire() { close(fd[0]); close(fd[1]); }
    U16 Send(S32 (*parse)(S32, ST_ZR_IPCOMM*), U16 cmd, U32 idx, U32 total, const std::vector<U8>& data,
             U8 reserved = 0)
    {
        std::vector<U8> raw = FramePeer::Build(3, cmd, idx, total, data);
        if (reserved) {
            // The sender's CRC covers the reserved byte as sent.
            raw[1] = reserved;
            U32 c = Common_CRC_Calculate(raw.data(), (U32)(IPCOMM_HEADER_LEN + data.size()), IPCOMM_CRC_INIT);
            memcpy(&raw[raw.size() - 4], &c, 4);
        }
        ST_ZR_IPCOMM rec;
        EXPECT_EQ(IPComm_MACParseData(raw.data(), (S32)raw.size(), &rec), ZR_SUCCESS);
        parse(fd[0], &rec);
        U8 buf[256];
        struct timeval tv = {0, 200000};
        setsockopt(fd[1], SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof(tv));
        ssize_t n = recv(fd[1], buf, sizeof(buf), 0);
        ST_ZR_IPCOMM rep;
        if (n <= 0 || FrameCodec_Decode(buf, (size_t)n, &rep) != ZR_SUCCESS)
            return 0;
        return rep.u16CMD;
    }
};

std::vector<U8> Bytes(size_t n, U8 seed)
{
    std::vector<U8> v(n);
    for (size_t i = 0; i < n; i++)
        v[i] = (U8)(seed + i * 7);
    return v;
}

U16 FreePort()
{
    FramePeer p(0x7F000001u, 0);
    return p.Port();
}

}  // namespace

TEST(ChipLinkWire, FramesAreByteExact)
{
    ChipLinkStandIn slave;
    Status_SetSlotID(3);
    U32 t = 0x65000000;
    ASSERT_EQ(MACMasterCommSendData(ZR_COM_MAC_CMD_SYSTEM_TIME, reinterpret_cast<U8*>(&t), 4), 0);
    ASSERT_EQ(MACMasterCommSendCmd(ZR_COM_MAC_CMD_SYS_REBOOT), 0);
    auto frames = slave.peer.Frames();
    ASSERT_EQ(frames.size(), 2u);
    EXPECT_EQ(Hex(frames[0].raw), "0300670300000000010000000400000000000065" "5615525d");
    EXPECT_EQ(Crc(frames[1].raw), 0xF3537327u);

    // The slave's answer to 771 goes to the master's server.
    FramePeer master(0x7FBC036Eu, slave.peer.Port());
    U32 v = 0x01020304;
    ASSERT_EQ(MACSlaveCommSendData(ZR_COM_MAC_CMD_VERSION_FPGA, reinterpret_cast<U8*>(&v), 4), 0);
    ASSERT_EQ(master.Count(), 1u);
    EXPECT_EQ(Crc(master.Frames()[0].raw), 0x91BDDE54u);

    SPI_COM_DATA f;
    SPICom_BuildFrame(&f, ZR_COM_SPI_CMD_DETE_ALIVE, 1, 1, nullptr, 0, 0);
    EXPECT_EQ(f.u32Crc, 0xD1E9D4B3u);
}

TEST(ChipLinkWire, AbsentSlaveSkipsDataPushesButNotCommands)
{
    ChipLinkStandIn slave;
    SLAVE_CHIP_IS_EXIST = 0;
    TParameter_DTMB set = *GetDTMBPara_Handle();
    EXPECT_EQ(MACMasterCommSendData(ZR_COM_MAC_CMD_PARAMS_QAM, reinterpret_cast<U8*>(&set), sizeof(set)), 0);
    EXPECT_EQ(slave.peer.Count(), 0u);
    EXPECT_EQ(MACMasterCommSendCmd(ZR_COM_MAC_CMD_SYS_REBOOT), 0);
    EXPECT_EQ(slave.peer.Count(), 1u);
    SLAVE_CHIP_IS_EXIST = 1;
    EXPECT_EQ(MACMasterCommSendData(ZR_COM_MAC_CMD_PARAMS_QAM, reinterpret_cast<U8*>(&set), 0), 0);
    EXPECT_EQ(slave.peer.Count(), 1u) << "length 0 sends nothing";
    Spill(TestBoardRoot() + "/tmp/empty", "");
    EXPECT_EQ(MACMasterCom_SendFile(ZR_COM_MAC_CMD_FILE_UPGRADE, (const U8*)"/tmp/empty"), ZR_ERR_PARAMS);
    EXPECT_EQ(MACMasterCom_SendFile(ZR_COM_MAC_CMD_FILE_UPGRADE, (const U8*)"/tmp/none"), ZR_ERR_PARAMS);
    EXPECT_EQ(slave.peer.Count(), 1u);
}

TEST(ChipLinkSlave, ReassemblyHandsOverWholeBlocksOnly)
{
    Wire w;
    // 1,000 mux records and the terminator: 9 frames, handed over after the ninth.
    std::vector<U8> mux(12012, 0);
    for (U32 i = 0; i < 1000; i++) {
        U32 rec[3] = {i + 1, 0x100 + i, 0x200 + i};
        memcpy(&mux[i * 12], rec, 12);
    }
    memset(aru32SubslotBuffer0, 0, sizeof(U32) * TSP_LUT_SUB_MUX_NUM);
    for (U32 i = 0; i < 9; i++) {
        std::vector<U8> part(mux.begin() + i * 1400, mux.begin() + std::min<size_t>(mux.size(), (i + 1) * 1400));
        EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_MUXER, i, 9, part), 1);
        if (i == 7) {
            EXPECT_EQ(aru32SubslotBuffer0[0], 0u) << "nothing handed over before the last frame";
        }
        if (i == 1) {  // the master's retry of a frame already taken
            EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_MUXER, i, 9, part), 1);
        }
    }
    EXPECT_EQ(aru32SubslotBuffer0[0], 1u);
    EXPECT_EQ(aru32SubslotBuffer0[999], 1000u);
    // The master's retry of the last frame (its reply was lost): 1, and the
    // block is not handed over a second time.
    aru32SubslotBuffer0[0] = 0;
    std::vector<U8> last(mux.begin() + 8 * 1400, mux.end());
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_MUXER, 8, 9, last), 1);
    EXPECT_EQ(aru32SubslotBuffer0[0], 0u);

    // A file whose middle frame is lost: acknowledged, never written, and the
    // sender learns it on the last frame.
    std::string path = TestBoardRoot() + "/var/volatile/upgradefile";
    unlink(path.c_str());
    std::vector<U8> file = Bytes(2801, 5);
    std::vector<U8> f0(file.begin(), file.begin() + 1400), f1(file.begin() + 1400, file.begin() + 2800),
        f2(file.begin() + 2800, file.end());
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 0, 3, f0), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 2, 3, f2), 2);
    EXPECT_FALSE(FileExists(path));
    // A stale half transfer does not spoil the next one: frame 0 restarts.
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 0, 3, f0), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 0, 3, f0), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 1, 3, f1), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 1, 3, f1), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 2, 3, f2), 1);
    EXPECT_EQ(Slurp(path), std::string(file.begin(), file.end()));
    // Its last frame repeated: 1, and the file is not written again.
    unlink(path.c_str());
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 2, 3, f2), 1);
    EXPECT_FALSE(FileExists(path));

    // A total that would overflow a size computed in 32 bits is refused.
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 0, 0xFFFFFFFF, f0), 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_FILE_UPGRADE, 0xFFFFFFFE, 0xFFFFFFFF, f2), 2);

    // More bypass records than the table holds: at most the table is handed on.
    std::vector<U8> pass(72, 0);
    for (int i = 0; i < 8; i++) {
        U32 rec[2] = {(U32)(0x10 + i), 1};
        memcpy(&pass[i * 8], rec, 8);
    }
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_PASSLUT, 0, 1, pass), 1);
    EXPECT_EQ(aru32SubslotBypassBuffer0[7], 0x17u);
    std::vector<U8> tooLong(80, 1);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_PASSLUT, 0, 1, tooLong), 2);
    EXPECT_EQ(aru32SubslotBypassBuffer0[7], 0x17u);
}

TEST(ChipLinkSlave, PayloadsAreCheckedBeforeUse)
{
    Wire w;
    U8 before[8];
    memcpy(before, u8TDTEnableFlag, 8);
    std::vector<U8> flags = {1, 1, 1, 1, 1, 1, 1, 1};
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, 0, 1, flags, 1), 1);
    EXPECT_EQ(memcmp(before, u8TDTEnableFlag, 8), 0) << "a CRC re-check failure applies nothing";
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, 0, 1, {1, 1}), 1);
    EXPECT_EQ(memcmp(before, u8TDTEnableFlag, 8), 0) << "a short payload applies nothing";
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, 0, 1, flags), 1);
    EXPECT_EQ(u8TDTEnableFlag[7], 1);

    std::vector<U8> time = {0x08, 0x01, 0x1E, 0x00, 0x00, 0x00, 0x00, 0x65};
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_ATSC_TIME_INFO, 0, 1, time), 1);
    EXPECT_EQ(g_u8NTPZone, 8);
    EXPECT_EQ(g_u8DayLightFlag, 1);
    EXPECT_EQ(g_u16GPSOffset, 30);

    std::string marker = TestBoardRoot() + "/tarvex_app/app/upgrade_4g.jason";
    unlink(marker.c_str());
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_RES_HARDVERSION, 0, 1, {0, 0, 0, 0}), 1);
    EXPECT_FALSE(FileExists(marker));
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_RES_HARDVERSION, 0, 1, {2, 0, 0, 0}), 1);
    EXPECT_TRUE(FileExists(marker));

    // Commands the slave has no row for, and the ignored codes: no reply.
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, ZR_COM_MAC_CMD_VERSION_HARDWARE, 0, 1, {1, 2, 3, 4}), 0);
    EXPECT_EQ(w.Send(MACSlaveComm_ParseCmd, MACOMM_SUCCESS_CMD, 0, 1, {}), 0);
}

namespace {

// A confirmed register write served by the slave's dispatcher on a socket
// pair; the master's confirmation (when given) goes out goAfterMs after the
// command. The replies come back in order.
std::vector<ST_ZR_IPCOMM> ConfirmedWrite(U32 reg, U32 val, U32 askId, int goAfterMs, U32 goId, U32 goTag = MACCOMM_CONFIRM_GO)
{
    Wire w;
    ST_DEBUG_SLAVE_REG_INFO r{};
    r.u32SlaveLogRegAdd = reg;
    r.u32SlaveLogRegVal = val;
    ST_MACCOMM_CONFIRM ask = {MACCOMM_CONFIRM_ASK, askId};
    std::vector<U8> data(sizeof(r) + (askId != 0 ? sizeof(ask) : 0));
    memcpy(data.data(), &r, sizeof(r));
    if (askId != 0)
        memcpy(data.data() + sizeof(r), &ask, sizeof(ask));
    std::vector<U8> raw = FramePeer::Build(3, ZR_COM_MAC_CMD_REG_WRITE, 0, 1, data);
    static ST_ZR_IPCOMM rec;
    EXPECT_EQ(IPComm_MACParseData(raw.data(), (S32)raw.size(), &rec), ZR_SUCCESS);
    std::thread slave([&] { MACSlaveComm_ParseCmd(w.fd[0], &rec); });
    if (goAfterMs >= 0) {
        usleep((useconds_t)goAfterMs * 1000);
        ST_MACCOMM_CONFIRM go = {goTag, goId};
        std::vector<U8> g = FramePeer::Build(3, ZR_COM_MAC_CMD_REG_WRITE, 0, 1,
                                             std::vector<U8>(reinterpret_cast<U8*>(&go), reinterpret_cast<U8*>(&go) + 8));
        EXPECT_EQ(send(w.fd[1], g.data(), g.size(), MSG_NOSIGNAL), (ssize_t)g.size());
    }
    slave.join();
    std::vector<U8> got(8192);
    ssize_t n = recv(w.fd[1], got.data(), got.size(), MSG_DONTWAIT);
    got.resize(n > 0 ? (size_t)n : 0);
    std::vector<ST_ZR_IPCOMM> out;
    for (size_t at = 0; at + IPCOMM_MIN_FRAME_LEN <= got.size();) {
        U32 len = 0;
        memcpy(&len, &got[at + 12], 4);
        size_t fl = FrameCodec_FrameLen(len);
        ST_ZR_IPCOMM f;
        if (at + fl > got.size() || FrameCodec_Decode(&got[at], fl, &f) != ZR_SUCCESS)
            break;
        out.push_back(f);
        at += fl;
    }
    return out;
}

bool IsTag(const ST_ZR_IPCOMM& f, U32 tag, U32 id)
{
    ST_MACCOMM_CONFIRM t{};
    if (f.u32Length == 8)
        memcpy(&t, f.pu8Data, 8);
    return f.u16CMD == 1 && f.u32Length == 8 && t.u32Tag == tag && t.u32Id == id;
}

}  // namespace

// A one-shot command acts only on the master's confirmation read within the
// slave's own wait; without the trailer (an earlier master) it acts at once.
TEST(ChipLinkConfirm, SlaveActsOnlyOnATimelyConfirmation)
{
    MACComm_SetConfirmWaitMs(300);
    FPGA_REG_Write(701, 0);
    auto r = ConfirmedWrite(701, 0x11, 7, 0, 7);
    U32 v = 0;
    FPGA_REG_Read(701, &v);
    EXPECT_EQ(v, 0x11u);
    ASSERT_EQ(r.size(), 2u);
    EXPECT_TRUE(IsTag(r[0], MACCOMM_CONFIRM_READY, 7));
    ASSERT_EQ(r[1].u32Length, sizeof(ST_DEBUG_SLAVE_REG_INFO)) << "the outcome carries the answer";
    EXPECT_EQ(r[1].u16CMD, 1);

    struct {
        const char* what;
        int goAfterMs;
        U32 goId, goTag;
    } refused[] = {{"no confirmation", -1, 8, MACCOMM_CONFIRM_GO},
                   {"a confirmation past the wait", 600, 8, MACCOMM_CONFIRM_GO},
                   {"a confirmation of another command", 0, 9, MACCOMM_CONFIRM_GO},
                   {"a second command instead", 0, 8, MACCOMM_CONFIRM_ASK}};
    for (const auto& c : refused) {
        FPGA_REG_Write(701, 0);
        r = ConfirmedWrite(701, 0x22, 8, c.goAfterMs, c.goId, c.goTag);
        FPGA_REG_Read(701, &v);
        EXPECT_EQ(v, 0u) << c.what;
        ASSERT_GE(r.size(), 1u) << c.what;
        EXPECT_TRUE(IsTag(r[0], MACCOMM_CONFIRM_READY, 8)) << c.what;
        EXPECT_EQ(r.size(), 1u) << c.what << ": no outcome";
    }
    // Just inside the wait it is done.
    FPGA_REG_Write(701, 0);
    ConfirmedWrite(701, 0x33, 9, 150, 9);
    FPGA_REG_Read(701, &v);
    EXPECT_EQ(v, 0x33u);
    // An earlier master's command, without the trailer.
    FPGA_REG_Write(701, 0);
    r = ConfirmedWrite(701, 0x44, 0, -1, 0);
    FPGA_REG_Read(701, &v);
    EXPECT_EQ(v, 0x44u);
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].u16CMD, 1);
    EXPECT_EQ(r[0].u32Length, 0u);
    MACComm_SetConfirmWaitMs(0);
}

// The master's side: no connection, a slave that never takes it, and an
// earlier slave that acts at once and answers 1 alone.
TEST(ChipLinkConfirm, MasterSaysWhatTheSlaveDid)
{
    U8 zero = 0;
    bool may = true;
    {
        socket_SetMacCommPort(FreePort());
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_CLEAR_LOG, &zero, 1, 500, 500, nullptr, &may),
                  ZR_ERR_SOCKET_CONNECT_FAIL);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(400));
        EXPECT_FALSE(may);
        socket_SetMacCommPort(0);
    }
    ChipLinkStandIn slave;
    slave.peer.SetMode(FramePeer::Mode::Mute);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_CLEAR_LOG, &zero, 1, 300, 500, nullptr, &may),
              ZR_ERR_IPCOMM_TIME_OUT);
    auto waited = std::chrono::steady_clock::now() - t0;
    EXPECT_GE(waited, std::chrono::milliseconds(290));
    EXPECT_LT(waited, std::chrono::milliseconds(1500));
    EXPECT_FALSE(may) << "never confirmed: nothing was done";
    slave.peer.SetMode(FramePeer::Mode::Reply);
    EXPECT_EQ(MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD_FILE_CLEAR_LOG, &zero, 1, 1000, 500, nullptr, &may), 0);
    auto frames = slave.peer.Frames();
    ASSERT_FALSE(frames.empty());
    const ST_ZR_IPCOMM& ask = frames.back().rec;
    ASSERT_EQ(ask.u32Length, 9u) << "its byte and the trailer";
    ST_MACCOMM_CONFIRM t;
    memcpy(&t, ask.pu8Data + 1, 8);
    EXPECT_EQ(t.u32Tag, MACCOMM_CONFIRM_ASK);
}

TEST(ChipLinkMaster, DispatchAndLateRegisterAnswers)
{
    Wire w;
    EXPECT_EQ(w.Send(MACMasterComm_ParseCmd, ZR_COM_MAC_CMD_PARAMS_MUXER, 0, 1, {1}), 1);
    EXPECT_EQ(w.Send(MACMasterComm_ParseCmd, ZR_COM_MAC_CMD_DETE_ALIVE, 0, 1, {}), 1);
    EXPECT_EQ(w.Send(MACMasterComm_ParseCmd, ZR_COM_MAC_CMD_FILE_CONFIG, 0, 1, {}), 0);
    EXPECT_EQ(w.Send(MACMasterComm_ParseCmd, MACOMM_SUCCESS_CMD, 0, 1, {}), 0);

    // An answer with no request outstanding changes nothing.
    sem_init(&g_stReadRegVal_Sem, 0, 0);
    memset(&stSlaveRegInfo, 0, sizeof(stSlaveRegInfo));
    ST_DEBUG_SLAVE_REG_INFO ans{};
    ans.u32SlaveLogRegAdd = 12;
    ans.u32SlaveLogRegVal = 0xBAD;
    std::vector<U8> raw(reinterpret_cast<U8*>(&ans), reinterpret_cast<U8*>(&ans) + sizeof(ans));
    EXPECT_EQ(w.Send(MACMasterComm_ParseCmd, ZR_COM_MAC_CMD_REG_READ, 0, 1, raw), 1);
    int v = -1;
    sem_getvalue(&g_stReadRegVal_Sem, &v);
    EXPECT_EQ(v, 0);
    EXPECT_EQ(stSlaveRegInfo.u32SlaveLogRegVal, 0u);
}

// The slave chip runs in a process of its own (its server up after
// slaveDelayUs); the master's server runs here. Returns the slave's pid.
pid_t StartBothChips(int firstMs, int secondMs, useconds_t slaveDelayUs)
{
    socket_SetMacCommPort(FreePort());
    IPComm_SetReplyWaitMs(2000);
    MACComm_SetTestPauses(firstMs, secondMs, 2000);
    pid_t slave = fork();
    if (slave == 0) {
        usleep(slaveDelayUs);
        MACSlaveCommTask(nullptr);
        _exit(0);
    }
    socketSfd_mac = -1;
    THREAD_NEW_DETACH(MACCommMasterTask, nullptr, "MACCommMasterTask");
    usleep(300000);
    return slave;
}

// The detection and a remote register read.
TEST(ChipLinkMaster, DetectionFindsTheSlaveAndRegisterReadsReachIt)
{
    RunInChildProcess([] {
        // The card's own wait for the answer, which comes on a connection of
        // its own: a shorter one is outrun by a busy machine.
        pid_t slave = StartBothChips(100, 3000, 0);
        const U32 before = MACComm_VersionAnswers();
        EXPECT_EQ(MACComSlaveChipDetect(), 0);
        // Counted, not timed: the pushes after the finding take their time
        // on a slow (emulated, busy) machine.
        EXPECT_EQ(MACComm_VersionAnswers() - before, 1u) << "found on the first pass";
        EXPECT_EQ(SLAVE_CHIP_IS_EXIST, 1);
        EXPECT_EQ(Get_VersionInfo_ISSameFlg(), 1);
        FPGA_REG_Write(700, 0x5A5A);
        U32 v = 0;
        EXPECT_EQ(FPGA_LogRegReadDebug(1, 700, &v), PE_SUCCESS);
        EXPECT_EQ(v, 0x5A5Au);

        kill(slave, SIGKILL);
        waitpid(slave, nullptr, 0);
        EXPECT_EQ(MACComSlaveChipDetect(), -1);
        EXPECT_EQ(SLAVE_CHIP_IS_EXIST, 0);
    });
}

// The worker's answer to a request on an idle link: every earlier message
// went through, then the slave stops (SIGSTOP) or goes (SIGKILL). The first
// ticket after the drained queue is answered with the failure of its own
// send, never as taken and not only after the worker's next try (which
// queues more); once the slave answers again it is taken.
TEST(ChipLinkMaster, IdleLinkToAStoppedSlaveAnswersTheFailure)
{
    RunInChildProcess([] {
        pid_t slave = StartBothChips(100, 3000, 0);
        ASSERT_EQ(MACComSlaveChipDetect(), 0);
        SlaveLink_Start();
        U32 t = 0x65000000;
        auto request = [&t](zrErrCode expected) {
            t++;
            U64 ticket = SlaveLink_Post(ZR_COM_MAC_CMD_SYSTEM_TIME, reinterpret_cast<U8*>(&t), 4);
            EXPECT_EQ(SlaveLink_Await(ticket, 20000), expected);
            if (expected != ZR_SUCCESS) {
                EXPECT_EQ(SlaveLink_Mark(), ticket) << "answered by a later try";
            }
        };
        request(ZR_SUCCESS);
        EXPECT_EQ(SlaveLink_Await(SlaveLink_Mark(), 10000), ZR_SUCCESS) << "the queue drained";
        EXPECT_FALSE(SlaveLink_Lost());

        kill(slave, SIGSTOP);
        request(ZR_ERR_IPCOMM_TIME_OUT);
        EXPECT_TRUE(SlaveLink_Lost());
        kill(slave, SIGCONT);
        request(ZR_SUCCESS);  // the worker tries again within its longest pause
        EXPECT_FALSE(SlaveLink_Lost());

        kill(slave, SIGKILL);
        waitpid(slave, nullptr, 0);
        request(ZR_ERR_SOCKET_CONNECT_FAIL);
    });
}

// Passes ask at 0.3, 1.5, 2.7 and 3.9 s of the detection: a slave up at 3.3 s
// answers the fourth.
TEST(ChipLinkMaster, SlaveAnsweringOnlyTheFourthPassIsFound)
{
    RunInChildProcess([] {
        pid_t slave = StartBothChips(300, 900, 3600000);
        EXPECT_EQ(MACComSlaveChipDetect(), 0);
        EXPECT_EQ(SLAVE_CHIP_IS_EXIST, 1);
        kill(slave, SIGKILL);
        waitpid(slave, nullptr, 0);
    });
}

TEST(Reboot, FourChannelCardRebootsAlone)
{
    g_u8OutputChannelNum = 4;
    EXPECT_EXIT(IPComm_RebootSubboard(), ::testing::ExitedWithCode(plat::kRebootExitStatus), "");
    // The operator's reboot with the back board unreachable still reboots,
    // after the recycle commands were recorded (none refused).
    // It answers first; the card goes a moment later.
    EXPECT_EXIT(
        {
            if (BMN_SubBoardReboot() != ZR_SUCCESS)
                _exit(1);
            sleep(20);
            _exit(2);
        },
        ::testing::ExitedWithCode(plat::kRebootExitStatus), "");
    g_u8OutputChannelNum = 8;
    std::string shell = Slurp(TestBoardRoot() + "/trace/shell.log");
    EXPECT_NE(shell.find("RECORD kill -9 $(pidof syslogd)"), std::string::npos);
    EXPECT_NE(shell.find("RECORD ubidetach -m 9"), std::string::npos);
    EXPECT_EQ(shell.find("REFUSED kill"), std::string::npos);
}

TEST(Reboot, MuteSlaveGives782AndLaterRequestsTryAgain)
{
    // Written once the mute slave's requests are over: the master must not
    // have rebooted before.
    const std::string muteDone = TestBoardRoot() + "/mute-slave-done";
    unlink(muteDone.c_str());
    EXPECT_EXIT(
        {
            ChipLinkStandIn slave;
            slave.peer.SetMode(FramePeer::Mode::Mute);
            IPComm_SetReplyWaitMs(100);
            BMN_SetRebootWaitMs(1500);
            g_u8OutputChannelNum = 8;
            if (BMN_Master_DeteSysRebootTask() != 0)
                _exit(1);
            // The stand-in records a frame when its thread gets to it, which on
            // a loaded machine can be after the master gave up waiting.
            auto reaches = [&](size_t n) {
                for (int i = 0; i < 500 && slave.peer.Count() < n; ++i)
                    usleep(10000);
                return slave.peer.Count() >= n;
            };
            // Asked until the reboot thread, started just now, is there to pass it on.
            for (int i = 0; i < 10 && slave.peer.Count() == 0; ++i)
                if (IPComm_RebootSubboard() != ZR_ERR_WEB_REBOOT_FAIL)
                    _exit(2);
            if (!reaches(1))
                _exit(3);
            size_t first = 0;  // once the tries of those requests are over
            for (int i = 0; i < 10 && first != slave.peer.Count(); ++i) {
                first = slave.peer.Count();
                usleep(1000000);
            }
            // The reboot thread still serves: the second request reaches the slave again.
            if (IPComm_RebootSubboard() != ZR_ERR_WEB_REBOOT_FAIL || !reaches(first + 1))
                _exit(3);
            // Once the slave answers, the card reboots.
            Spill(muteDone, "");
            slave.peer.SetMode(FramePeer::Mode::Reply);
            IPComm_RebootSubboard();
            sleep(20);  // the reboot thread ends the process
            _exit(4);
        },
        ::testing::ExitedWithCode(plat::kRebootExitStatus), "");
    EXPECT_TRUE(FileExists(muteDone)) << "the master rebooted while its slave was mute";
    unlink(muteDone.c_str());
}

namespace {

// The SPI wire of the test board looped back: its spidev master clocks
// frames into its own SPI controller, as the master chip's spidev does into
// the slave chip's.
struct SpiWire {
    std::string dev = TestBoardRoot() + "/dev/spidev1.0";
    SpiWire()
    {
        Spill(dev, TestBoardRoot() + "\n");
        EXPECT_EQ(SPIMasterInit(), 0);
        EXPECT_EQ(SPISlaveInit(), 0);
        SpiSlave_SetReadWaitMs(200);
    }
    ~SpiWire()
    {
        SpiSlaveClose();
        SPIMasterClose();
        unlink(dev.c_str());
    }
};

// A slave end built on the controller routines alone: answers each request
// frame as told and keeps what it got, until the sender is done.
struct SpiStandIn {
    std::vector<SPI_COM_DATA> got;
    std::thread t;
    std::atomic<bool> senderDone{false};
    int badFirst = 0;
    U32 damageAt = 0;  // the first reply to this block loses a bit of its index
    void Run()
    {
        // A slave that misses the master's polls loses the request (the oldest
        // frame goes when its FIFO is full) and the sender asks again after its
        // reply wait: it serves until the sender returns. The guard only ends
        // a sender that never would: a closed master device fails it at once.
        t = std::thread([this] {
            auto guard = std::chrono::steady_clock::now() + std::chrono::seconds(120);
            while (!senderDone) {
                if (std::chrono::steady_clock::now() > guard) {
                    SPIMasterClose();
                    return;
                }
                SPI_COM_DATA q;
                S32 n = SpiSlaveRead(SPIDEV_1, reinterpret_cast<U8*>(&q), sizeof(q));
                if (n < 0)
                    return;
                if (n == 0 || q.u8CmdStart != SPI_CMD_START)
                    continue;
                got.push_back(q);
                SPI_COM_DATA r;
                U8 code = badFirst-- > 0 ? SPI_RETURN_CODE_CRC_ERROR : SPI_RETURN_CODE_SUCCESS;
                SPICom_BuildFrame(&r, q.u8CmdId, q.u32CurIndex, q.u32TotalIndex, q.aru8Data, q.u8DataLen, code);
                if (damageAt != 0 && q.u32CurIndex == damageAt) {
                    r.u32CurIndex ^= 2;  // after the CRC: the reply fails it
                    damageAt = 0;
                }
                SpiSlaveWrite(SPIDEV_1, reinterpret_cast<U8*>(&r), sizeof(r));
            }
        });
    }
    ~SpiStandIn()
    {
        senderDone = true;
        if (t.joinable())
            t.join();
    }
};

volatile U32* SpiBlock() { return s_pSPI1Address; }
U32 SpiReg(U32 off) { return plat::Read32(SpiBlock() + off / 4); }

}  // namespace

TEST(SpiController, OptionsFifoStatusAndReset)
{
    ASSERT_NE(SpiBlock(), nullptr);
    XSpiPs_Reset();
    EXPECT_EQ(SpiReg(XSPIPS_CR_OFFSET), XSPIPS_CR_RESET_STATE);
    EXPECT_EQ(XSpiPs_SetOptions(XSPIPS_MASTER_OPTION | XSPIPS_CLK_PHASE_1_OPTION | XSPIPS_MANUAL_START_OPTION), 0);
    EXPECT_EQ(SpiReg(XSPIPS_CR_OFFSET), XSPIPS_CR_RESET_STATE | 1u | 4u | 1u << 15);
    EXPECT_EQ(SpiReg(XSPIPS_ER_OFFSET), 1u) << "enabled again after a clock-phase change";
    EXPECT_EQ(XSpiPs_SetOptions(XSPIPS_DECODE_SSELECT_OPTION | XSPIPS_FORCE_SSELECT_OPTION), 0);
    EXPECT_EQ(SpiReg(XSPIPS_CR_OFFSET), XSPIPS_CR_RESET_STATE | 1u << 9 | 1u << 14);

    SpiWire w;
    EXPECT_EQ(SpiReg(XSPIPS_CR_OFFSET) & 0x6u, 0x6u) << "slave options 6: idle-high clock, second edge";
    EXPECT_EQ(SpiReg(XSPIPS_SR_OFFSET) & (XSPIPS_IXR_RXNEMPTY | XSPIPS_IXR_RXFULL | XSPIPS_IXR_TXFULL), 0u);
    // The slave queues a frame: the transmit FIFO shows full; the master's
    // transfer clocks it out and its own bytes in.
    U8 out[SPI_LINK_FRAME_LEN], in[SPI_LINK_FRAME_LEN], frame[SPI_LINK_FRAME_LEN];
    for (int i = 0; i < SPI_LINK_FRAME_LEN; i++)
        out[i] = (U8)(i + 1), frame[i] = (U8)(0x80 + i);
    EXPECT_EQ(SpiSlaveWrite(SPIDEV_1, out, sizeof(out)), 0);
    EXPECT_TRUE(SpiReg(XSPIPS_SR_OFFSET) & XSPIPS_IXR_TXFULL);
    EXPECT_EQ(SPIMasterWrite(frame, sizeof(frame)), 0);
    EXPECT_FALSE(SpiReg(XSPIPS_SR_OFFSET) & XSPIPS_IXR_TXFULL);
    EXPECT_EQ(SpiReg(XSPIPS_SR_OFFSET) & (XSPIPS_IXR_RXNEMPTY | XSPIPS_IXR_RXFULL),
              XSPIPS_IXR_RXNEMPTY | XSPIPS_IXR_RXFULL);
    // Reading a byte takes it off the FIFO: below the threshold of 128 now.
    EXPECT_EQ(SpiReg(XSPIPS_RXD_OFFSET), 0x80u);
    EXPECT_EQ(SpiReg(XSPIPS_SR_OFFSET) & (XSPIPS_IXR_RXNEMPTY | XSPIPS_IXR_RXFULL), XSPIPS_IXR_RXNEMPTY);
    // The master's read sends idle bytes and gets nothing while nothing is queued.
    EXPECT_EQ(SPIMasterRead(in), 0);
    EXPECT_EQ(in[0], 0);
    // A reset drains the receive FIFO and drops what was queued to send.
    EXPECT_EQ(SpiSlaveWrite(SPIDEV_1, out, sizeof(out)), 0);
    XSpiPs_Reset();
    EXPECT_EQ(SpiReg(XSPIPS_SR_OFFSET) & (XSPIPS_IXR_RXNEMPTY | XSPIPS_IXR_TXFULL), 0u);
    EXPECT_EQ(SpiReg(XSPIPS_ER_OFFSET), 0u);
    EXPECT_EQ(SpiSlaveRead(SPIDEV_1, in, sizeof(in)), -1) << "a disabled controller reads nothing";
}

TEST(SpiLink, BlocksFlagsAndRetries)
{
    g_u8OutputChannelNum = 8;
    std::vector<U8> msg = Bytes(209, 1);
    SpiWire w;
    {
        SpiStandIn p;
        p.badFirst = 1;  // the first block is answered with a CRC error once
        p.Run();
        EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_PARAMS_PSI_TABLE, msg.data(), (U32)msg.size()), 0);
        p.senderDone = true;
        p.t.join();
        ASSERT_EQ(p.got.size(), 4u) << "frames the stand-in saw";
        EXPECT_EQ(p.got[0].u32CurIndex, 1u);
        EXPECT_EQ(p.got[1].u32CurIndex, 1u) << "repeated after the CRC error";
        EXPECT_EQ(p.got[1].u16CmdFlag, 0x000A);
        EXPECT_EQ(p.got[2].u16CmdFlag, 0x0050);
        EXPECT_EQ(p.got[3].u16CmdFlag, 0x0A00);
        EXPECT_EQ(p.got[1].u8DataLen, 104);
        EXPECT_EQ(p.got[3].u8DataLen, 1);
        EXPECT_EQ(p.got[3].aru8Data[0], msg[208]);
    }
    {
        // A damaged reply to block 3 names block 1: not followed, block 3 goes again.
        SpiStandIn p;
        p.damageAt = 3;
        p.Run();
        EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_PARAMS_PSI_TABLE, msg.data(), (U32)msg.size()), 0);
        p.senderDone = true;
        p.t.join();
        std::vector<U32> blocks;
        for (const SPI_COM_DATA& f : p.got)
            blocks.push_back(f.u32CurIndex);
        EXPECT_EQ(blocks, (std::vector<U32>{1, 2, 3, 3}));
    }
    {
        // A closed device fails at once instead of after every retry.
        SPIMasterClose();
        auto t0 = std::chrono::steady_clock::now();
        EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_DETE_ALIVE, msg.data(), 4), -1);
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
        EXPECT_EQ(SPIMasterInit(), 0);
    }
    {
        while (SpiReg(XSPIPS_SR_OFFSET) & XSPIPS_IXR_RXNEMPTY)  // the master's idle reads
            SpiReg(XSPIPS_RXD_OFFSET);
        g_u8OutputChannelNum = 4;
        EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_DETE_ALIVE, msg.data(), 4), 0);
        g_u8OutputChannelNum = 8;
        EXPECT_EQ(SpiReg(XSPIPS_SR_OFFSET) & XSPIPS_IXR_RXNEMPTY, 0u) << "nothing sent on a 4-channel card";
    }
}

TEST(SpiLink, SlaveAppliesWholeMessagesAndRefusesBadFrames)
{
    g_u8OutputChannelNum = 8;
    SpiWire w;
    std::thread slave(SPISlave_ComTask, (void*)(intptr_t)SPIDEV_1);
    TParameter_DTMB set = *GetDTMBPara_Handle();
    set.OutputFreq[5] = 474000 + 8000;
    EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_PARAMS_QAM, reinterpret_cast<U8*>(&set), sizeof(set)), 0);
    EXPECT_EQ(GetDTMBPara_Handle()->OutputFreq[5], 482000u);

    // The versions the slave answers are kept for the comparison.
    U8 filler[10] = {0};
    EXPECT_EQ(SPICom_SendData(SPIDEV_1, ZR_COM_SPI_CMD_VERSION_SOFTWARE, filler, sizeof(filler)), 0);
    MACComm_CompareVersions(true);
    EXPECT_EQ(g_stVersionInfo.u32SlaveBuildSoftVer, GetRealSoftBuildVersion());

    // Interleaved transfers of 39 and 50 do not mix: the routing table
    // arrives whole.
    std::vector<U8> mux(252, 0);
    for (U32 i = 0; i < 20; i++) {
        U32 rec[3] = {i + 1, 0x300 + i, 0x400 + i};
        memcpy(&mux[i * 12], rec, 12);
    }
    std::vector<U8> other = Bytes(252, 9);
    memset(aru32SubslotBuffer0, 0, sizeof(U32) * TSP_LUT_SUB_MUX_NUM);
    SPI_COM_DATA r;
    for (U32 i = 1; i <= 3; i++) {
        U32 len = i == 3 ? 44 : 104;
        EXPECT_EQ(SPIMaster_SendData(SPIDEV_1, ZR_COM_SPI_CMD_PARAMS_MUXLUT, i, 3, mux.data() + (i - 1) * 104, len), 0);
        ASSERT_EQ(SPIMaster_RecvData(SPIDEV_1, &r), 0);
        EXPECT_EQ(r.u8ReturnCode, SPI_RETURN_CODE_SUCCESS);
        EXPECT_EQ(SPIMaster_SendData(SPIDEV_1, ZR_COM_SPI_CMD_PARAMS_MUXER, i, 3, other.data() + (i - 1) * 104, len), 0);
        ASSERT_EQ(SPIMaster_RecvData(SPIDEV_1, &r), 0);
    }
    EXPECT_EQ(aru32SubslotBuffer0[0], 1u);
    EXPECT_EQ(aru32SubslotBuffer0[19], 20u);

    // A length above 104 or an index outside [1, total] is answered with 0xA5.
    SPI_COM_DATA q;
    SPICom_BuildFrame(&q, ZR_COM_SPI_CMD_DETE_ALIVE, 1, 1, nullptr, 0, 0);
    q.u8DataLen = 105;
    q.u32Crc = SPICom_FrameCrc(&q);
    SPIMasterWrite(reinterpret_cast<U8*>(&q), sizeof(q));
    ASSERT_EQ(SPIMaster_RecvData(SPIDEV_1, &r), 0);
    EXPECT_EQ(r.u8ReturnCode, SPI_RETURN_CODE_CRC_ERROR);
    SPICom_BuildFrame(&q, ZR_COM_SPI_CMD_DETE_ALIVE, 3, 2, nullptr, 0, 0);
    SPIMasterWrite(reinterpret_cast<U8*>(&q), sizeof(q));
    ASSERT_EQ(SPIMaster_RecvData(SPIDEV_1, &r), 0);
    EXPECT_EQ(r.u8ReturnCode, SPI_RETURN_CODE_CRC_ERROR);

    // The slave's log arrives in a file of its own.
    Spill(TestBoardRoot() + "/tmp/log.txt", std::string(250, 'L'));
    EXPECT_EQ(SPICom_GetSlaveLog(SPIDEV_1), 0);
    EXPECT_EQ(Slurp(TestBoardRoot() + (const char*)stSlaveLogInfo.aru8LogFilename), std::string(250, 'L'));
    SpiSlaveClose();
    slave.join();
}
