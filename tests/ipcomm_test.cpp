// Frame link: byte-exact frames (references built independently with
// crcmod), frame checks, reassembly and dispatch replies, send routines
// against peers, and the frame server on its own address.
#include "Comm/ipcomm.h"
#include "Common/commonfun.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "Upgrade/upgrade.h"
#include "support/framepeer.h"
#include "support/testboard.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <sys/socket.h>
#include <unistd.h>

namespace {

std::vector<U8> Bytes(const char* hex)
{
    std::vector<U8> out;
    for (size_t i = 0; hex[i] && hex[i + 1]; i += 2)
        out.push_back((U8)std::stoi(std::string(hex + i, 2), nullptr, 16));
    return out;
}

// Runs one received frame through the checks and the dispatcher on a socket
// pair. Returns the reply's command, or -1 when no reply was sent.
int Dispatch(const std::vector<U8>& frame)
{
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    static ST_ZR_IPCOMM rec;
    memset(&rec, 0, sizeof(rec));
    std::vector<U8> buf(frame);
    IPComm_ParseData(buf.data(), (S32)buf.size(), &rec);
    IPComm_Response(sv[0], &rec);
    close(sv[0]);
    U8 r[64];
    ssize_t n = recv(sv[1], r, sizeof(r), 0);
    close(sv[1]);
    if (n <= 0)
        return -1;
    ST_ZR_IPCOMM reply;
    EXPECT_EQ(FrameCodec_Decode(r, (size_t)n, &reply), ZR_SUCCESS);
    return reply.u16CMD;
}

void ClearTable() { memset(g_IPComm_Tmpdata, 0, sizeof(g_IPComm_Tmpdata)); }

std::vector<U8> TS(U8 slot, U16 cmd, U32 idx, U32 total, size_t len = 8)
{
    return FramePeer::Build(slot, cmd, idx, total, std::vector<U8>(len, 0));
}

}  // namespace

TEST(FrameCodec, BytesMatchIndependentReferences)
{
    EXPECT_EQ(Hex(FramePeer::Build(5, IPCOMM_SEND_TSP_MUX_PROCESS, 0, 1, {})),
              "05000f01000000000100000000000000d6c085d0");
    EXPECT_EQ(Hex(FramePeer::Build(5, IPCOMM_SEND_TS, 0, 1, {0})),
              "0500030100000000010000000100000000000000571fd356");
    // The card's own reply, as the send routine writes it.
    Status_SetSlotID(3);
    int sv[2];
    socketpair(AF_UNIX, SOCK_STREAM, 0, sv);
    IPComm_ResponseSuccess(sv[0]);
    IPComm_SendTo(sv[0], IPCOMM_SEND_TS, nullptr, IPCOMM_MAX_DATA_LEN + 1, 0, 1);  // refused: too long
    close(sv[0]);
    U8 r[64];
    ssize_t n = recv(sv[1], r, sizeof(r), 0);
    close(sv[1]);
    EXPECT_EQ(Hex(std::vector<U8>(r, r + (n > 0 ? n : 0))), "0300010000000000010000000000000018e25d7b");
}

TEST(FrameCodec, RefusesShortWrappedAndCorruptFrames)
{
    ST_ZR_IPCOMM rec;
    std::vector<U8> hdr = Bytes("05000301000000000100000001000000");
    EXPECT_EQ(IPComm_ParseData(hdr.data(), (S32)hdr.size(), &rec), ZR_ERR_COMM_IP_RECV_MISS);
    // A length of 0xFFFFFFFF would wrap L + P + 20 to 20.
    std::vector<U8> wrapped = Bytes("0500030100000000" "01000000ffffffff00000000");
    EXPECT_EQ(IPComm_ParseData(wrapped.data(), (S32)wrapped.size(), &rec), ZR_ERR_COMM_IP_RECV_MISS);
    EXPECT_EQ(rec.u16CMD, 0);
    std::vector<U8> f = FramePeer::Build(5, IPCOMM_SEND_TS, 0, 1, {1, 2, 3});
    f[17] ^= 1;
    EXPECT_EQ(IPComm_ParseData(f.data(), (S32)f.size(), &rec), ZR_ERR_CRC);
    f[17] ^= 1;
    f.push_back(0);
    EXPECT_EQ(IPComm_ParseData(f.data(), (S32)f.size(), &rec), ZR_ERR_COMM_IP_RECV_MISS);
    EXPECT_EQ(Dispatch(wrapped), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(hdr), IPCOMM_DATA_ERROR);
    // Well formed, CRC right, but 1,401 data bytes declared and carried.
    std::vector<U8> big = FramePeer::Build(5, IPCOMM_SEND_TS, 0, 1, std::vector<U8>(1400, 7));
    big.insert(big.end() - 4, 4, 0);
    big[12] = 0x79;
    big[13] = 0x05;
    U32 crc = Common_CRC_Calculate(big.data(), IPCOMM_HEADER_LEN + 1401, IPCOMM_CRC_INIT);
    memcpy(&big[big.size() - 4], &crc, 4);
    EXPECT_EQ(IPComm_ParseData(big.data(), (S32)big.size(), &rec), ZR_ERR_COMM_IP_RECV_MISS);
}

TEST(FrameDispatch, ReassemblyReplies)
{
    ClearTable();
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_TS, 1, 2)), IPCOMM_IP_TEMP_FULL);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_TS, 0, 3)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_TS, 2, 3)), IPCOMM_COMBINEPACK_ERROR);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_TS, 1, 3)), IPCOMM_IP_TEMP_FULL);  // the entry was freed

    // A new frame 0 replaces an unfinished message of the same key.
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_PID, 0, 3)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_PID, 0, 3)), IPCOMM_SUCCESS_CMD);
    int used = 0;
    for (auto& e : g_IPComm_Tmpdata)
        used += e.u8OccupyFlag;
    EXPECT_EQ(used, 1);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_PID, 1, 3)), IPCOMM_SUCCESS_CMD);
    // A sender joins one message at a time; a slot the chassis lacks takes no entry.
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_PROGRAM, 0, 3)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_PID, 2, 3)), IPCOMM_IP_TEMP_FULL);
    EXPECT_EQ(Dispatch(TS(17, IPCOMM_SEND_PROGRAM, 0, 3)), IPCOMM_DATA_ERROR);
    used = 0;
    for (auto& e : g_IPComm_Tmpdata)
        used += e.u8OccupyFlag;
    EXPECT_EQ(used, 1);

    // Appends past 5,120 bytes are refused and the entry freed.
    ClearTable();
    for (U32 i = 0; i < 3; i++)
        EXPECT_EQ(Dispatch(TS(6, IPCOMM_SEND_PROGRAM, i, 5, 1400)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(TS(6, IPCOMM_SEND_PROGRAM, 3, 5, 1400)), IPCOMM_COMBINEPACK_ERROR);
    for (auto& e : g_IPComm_Tmpdata)
        EXPECT_EQ(e.u8OccupyFlag, 0);

    // Fifteen open messages fill the table; a sixteenth is refused.
    for (U8 s = 0; s < 15; s++)
        EXPECT_EQ(Dispatch(TS(s, IPCOMM_SEND_DESCRIPTOR, 0, 2)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(TS(15, IPCOMM_SEND_DESCRIPTOR, 0, 2)), IPCOMM_IP_TEMP_FULL);
    // Idle entries age out and make room.
    for (auto& e : g_IPComm_Tmpdata)
        e.u64LastUseMs -= IPCOMM_TMP_IDLE_MS + 1000;
    EXPECT_EQ(Dispatch(TS(15, IPCOMM_SEND_DESCRIPTOR, 0, 2)), IPCOMM_SUCCESS_CMD);
    ClearTable();
}

TEST(FrameDispatch, CommandReplies)
{
    EXPECT_EQ(Dispatch(TS(5, IPCOMM_SEND_TS, 0, 0)), -1);  // total 0: no reply
    EXPECT_EQ(Dispatch(FramePeer::Build(5, IPCOMM_CLEAR_OUTPUT, 0, 1, {})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(5, 0x7777, 0, 1, {})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_DATA, 0, 1, {1})), IPCOMM_SUCCESS_CMD);
    // Fixed payloads shorter than their size are refused.
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_IP, 0, 1, {})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_IP, 0, 1, std::vector<U8>(15, 1))), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_SUBPLUGFLAG, 0, 1, {1})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_FTP_UPGRADE, 0, 1, {0, 0})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_SUBPLUGFLAG, 0, 1, {0x21, 0})), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Status_GetSubBoardPlugStatus(), 0x21);

    // A sender gives its own slot's resource record only, never the card's.
    std::vector<U8> res(sizeof(TResource_TS), 0);
    res[offsetof(TResource_TS, u32IPAddress)] = 0x77;
    for (U8 other : {(U8)SLOT_BB, (U8)6, Status_GetSlotID()}) {
        res[offsetof(TResource_TS, u8SlotID)] = other;
        U32 before = Resource_GetHandle(other)->u32IPAddress;
        EXPECT_EQ(Dispatch(FramePeer::Build(5, IPCOMM_SEND_RESOUR, 0, 1, res)), IPCOMM_DATA_ERROR);
        EXPECT_EQ(Resource_GetHandle(other)->u32IPAddress, before);
    }
    res[offsetof(TResource_TS, u8SlotID)] = 5;
    EXPECT_EQ(Dispatch(FramePeer::Build(5, IPCOMM_SEND_RESOUR, 0, 1, res)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Resource_GetHandle(5)->u32IPAddress, 0x77u);
    EXPECT_EQ(Dispatch(FramePeer::Build(5, IPCOMM_SEND_RESOUR, 0, 1, {1, 2})), IPCOMM_DATA_ERROR);
}

TEST(FrameDispatch, UpgradeFramesAnsweredAndCheckedForOrder)
{
    std::vector<U8> chunk(1400, 0xAB);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 0, 3, chunk)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(g_isUpgrading, 1);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 2, 3, chunk)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(g_isUpgrading, 0);
    // A transfer claiming an absurd size is answered and never allocated.
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 0, 0xFFFFFFFF, chunk)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 1, 0xFFFFFFFF, chunk)), IPCOMM_SUCCESS_CMD);
    // Frame 0 restarts; a whole transfer ends the upgrade state.
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 0, 2, chunk)), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 1, 2, {1, 2, 3})), IPCOMM_SUCCESS_CMD);
    EXPECT_EQ(g_isUpgrading, 0);
    // A transfer of no byte holds no image: refused, nothing starts.
    EXPECT_EQ(Dispatch(FramePeer::Build(16, IPCOMM_SEND_UPGRADE, 0, 1, {})), IPCOMM_DATA_ERROR);
    EXPECT_EQ(g_isUpgrading, 0);
}

TEST(FrameSend, SplitsMessagesIntoFrames)
{
    FramePeer peer(0x7FA8011E, 8000);  // 127.168.1.30 = 192.168.1.30
    ASSERT_TRUE(peer.Listening());
    Status_SetSlotID(3);
    std::vector<U8> data(1401, 0x5A);
    EXPECT_EQ(IPComm_SendData(0xC0A8011E, IPCOMM_SEND_EITINFO, data.data(), (U32)data.size()), 0);
    auto frames = peer.Frames();
    ASSERT_EQ(frames.size(), 2u);
    ASSERT_EQ(frames[0].raw.size(), 1420u);
    EXPECT_EQ(Hex(std::vector<U8>(frames[0].raw.end() - 4, frames[0].raw.end())), "01702194");
    EXPECT_EQ(Hex(frames[1].raw), "030016010100000002000000010000005a000000c0a300ce");
    EXPECT_EQ(IPComm_SendData(0xC0A8011E, IPCOMM_SEND_EITINFO, data.data(), 0), 0);
    EXPECT_EQ(IPComm_SendData(0xC0A8011E, IPCOMM_SEND_EITINFO, nullptr, 4), ZR_ERR_PARAMS);
    EXPECT_EQ(peer.Count(), 2u);

    // Replies other than 1 are tried four times; the last reply code is the result.
    peer.SetReply(IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR);
    EXPECT_EQ(IPComm_SendData(0xC0A8011E, IPCOMM_SEND_TS, data.data(), 10), IPCOMM_CONSTRUCT_OUTPUT_TS_ERROR);
    EXPECT_EQ(peer.Count(), 6u);
    peer.SetReply(IPCOMM_SUCCESS_CMD);
    peer.FailFirst(3, IPCOMM_DATA_ERROR);
    EXPECT_EQ(IPComm_SendCmd(0xC0A8011E, IPCOMM_SEND_OVER), 0);
    EXPECT_EQ(peer.Count(), 10u);
}

TEST(FrameSend, RefusedAndMutePeersFailWithinBounds)
{
    EXPECT_EQ(IPComm_SendCmd(0xC0A80120, IPCOMM_SEND_OVER), ZR_ERR_SOCKET_CONNECT_FAIL);  // nobody on .32
    U8 d[4] = {1, 2, 3, 4};
    EXPECT_EQ(IPComm_SendData(0xC0A80120, IPCOMM_SEND_TS, d, 4), ZR_ERR_SOCKET_CONNECT_FAIL);
    EXPECT_EQ(IPComm_SendCmd(0x0A000001, IPCOMM_SEND_OVER), ZR_ERR_SOCKET_CONNECT_FAIL);  // off the chassis
    EXPECT_EQ(IPComm_SendCmd(0, IPCOMM_SEND_OVER), ZR_ERR_SOCKET_CONNECT_FAIL);           // unknown address
    EXPECT_EQ(IPComm_SendCmd2Slot(259, IPCOMM_SEND_OVER), 0);

    FramePeer mute(0x7FA8011F, 8000);  // 192.168.1.31
    ASSERT_TRUE(mute.Listening());
    mute.SetMode(FramePeer::Mode::Mute);
    IPComm_SetReplyWaitMs(300);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(IPComm_SendData(0xC0A8011F, IPCOMM_SEND_TS, d, 4), ZR_ERR_IPCOMM_TIME_OUT);
    EXPECT_EQ(IPComm_SendCmd(0xC0A8011F, IPCOMM_SEND_OVER), ZR_ERR_IPCOMM_TIME_OUT);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 6.0);
    IPComm_SetReplyWaitMs(IPCOMM_REPLY_WAIT_MS);
    EXPECT_EQ(mute.Count(), 8u);
}

TEST(FrameServer, ServesOnItsOwnAddressAndFollowsAnAddressChange)
{
    RunInChildProcess([] {
        plat::System("ifconfig eth0 192.168.1.14 netmask 255.255.255.0");
        ASSERT_EQ(IPServer_Start(), ZR_SUCCESS);
        const U32 own = 0x7FA8010E;
        std::vector<U8> r;
        for (int i = 0; i < 100 && r.empty(); i++) {
            usleep(20000);
            r = FramePeer::Exchange(own, 8000, FramePeer::Build(16, IPCOMM_SEND_DATA, 0, 1, {1}));
        }
        ST_ZR_IPCOMM rec;
        ASSERT_EQ(FrameCodec_Decode(r.data(), r.size(), &rec), ZR_SUCCESS);
        EXPECT_EQ(rec.u16CMD, IPCOMM_SUCCESS_CMD);

        // A frame arriving in several pieces is read whole.
        std::vector<U8> f = FramePeer::Build(16, IPCOMM_SEND_DATA, 0, 1, std::vector<U8>(300, 7));
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(8000);
        a.sin_addr.s_addr = htonl(own);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        send(fd, f.data(), 10, 0);
        usleep(50000);
        send(fd, f.data() + 10, 100, 0);
        usleep(50000);
        send(fd, f.data() + 110, f.size() - 110, 0);
        U8 buf[64];
        ssize_t n = recv(fd, buf, sizeof(buf), 0);
        close(fd);
        ASSERT_EQ(n, 20);
        EXPECT_EQ(buf[2], IPCOMM_SUCCESS_CMD);

        // A silent client is dropped after the read wait; the server goes on.
        int silent = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(connect(silent, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
        auto t0 = std::chrono::steady_clock::now();
        n = recv(silent, buf, sizeof(buf), 0);
        double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
        close(silent);
        EXPECT_EQ(n, 20);  // the cleared record's error reply
        EXPECT_LT(secs, 8.0);

        // After an IP change the server listens on the new address and the
        // resource report goes to the new back board (here 192.168.1.41).
        Status_SetIPReqflag(true);
        FramePeer backBoard(0x7FA80129, 8000);
        ASSERT_TRUE(backBoard.Listening());
        std::vector<U8> ipData;
        for (U32 v : {0xC0A80129u, 0xC0A80110u, 0xFFFFFF00u, 0xC0A80101u})
            for (int k = 0; k < 4; k++)
                ipData.push_back((U8)(v >> (8 * k)));
        r = FramePeer::Exchange(own, 8000, FramePeer::Build(16, IPCOMM_SEND_IP, 0, 1, ipData));
        ASSERT_EQ(FrameCodec_Decode(r.data(), r.size(), &rec), ZR_SUCCESS);
        EXPECT_EQ(rec.u16CMD, IPCOMM_SUCCESS_CMD);
        r.clear();
        // The change pauses 1 s and reports to the back board before the rebind.
        for (int i = 0; i < 300 && r.empty(); i++) {
            usleep(20000);
            r = FramePeer::Exchange(0x7FA80110, 8000, FramePeer::Build(16, IPCOMM_SEND_DATA, 0, 1, {}));
        }
        EXPECT_FALSE(r.empty());
        ASSERT_GE(backBoard.Count(), 1u);
        EXPECT_EQ(backBoard.Frames()[0].rec.u16CMD, IPCOMM_SEND_RESOUR);
        EXPECT_EQ(Resource_getBoardIPAddress(16), 0xC0A80129u);
    });
}
