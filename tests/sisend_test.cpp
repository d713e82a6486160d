// SI carousel: packing, limits, rotation, continuity, gating, forwarding to
// the slave chip and the slave's own pass.
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "SIprocess/SIsend.h"
#include "Timer/timer.h"
#include "mux_fixture.h"
#include "support/testboard.h"
#include <atomic>
#include <gtest/gtest.h>
#include <memory>
#include <thread>

using namespace muxfix;

namespace {

class Carousel : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetCarousel();
        g_u8MuxFlag = 0;
        for (U8& e : u8PSIEnable)
            e = 1;
        ClearCaptures();
        ts0 = Stream(0);
        ts5 = Stream(5, 2);
    }
    void Pass()
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendBroadcastSI();
    }
    U16 ts0 = 0, ts5 = 0;
};

// Bytes of a carousel record as the FPGA receives them.
std::vector<U8> RecordBytes(const U32* words)
{
    std::vector<U8> b(196);
    for (int k = 0; k < 49; k++) {
        b[4 * k] = (U8)(words[k] >> 24);
        b[4 * k + 1] = (U8)(words[k] >> 16);
        b[4 * k + 2] = (U8)(words[k] >> 8);
        b[4 * k + 3] = (U8)words[k];
    }
    return b;
}

std::vector<std::vector<U8>> EntryRecords(U16 ts)
{
    SIPacket_t* c = SSD_GetSIPacketParam();
    std::vector<std::vector<U8>> out;
    for (U16 e = c->aru16OutTSSIInfo[ts]; e < SI_MAX_PACKET_NUM; e = c->arstSIPacketInfo[e].stList.u16NextIndex)
        for (U16 p = c->arstSIPacketInfo[e].u16TSPacketIndex; p < SI_MAX_PACKET_NUM;
             p = c->arstTSPacketInfo[p].stList.u16NextIndex)
            out.push_back(RecordBytes(c->arstTSPacketInfo[p].aru32TSPacket));
    return out;
}

TEST_F(Carousel, PacksSectionsIntoInsertionRecords)
{
    // 183 bytes fill one packet behind the pointer field; 184 need two.
    std::vector<U8> one = Section(0x42, 183);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(one.data(), (U16)one.size(), ts0, 0x11));
    std::vector<U8> two = Section(0x42, 184);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(two.data(), (U16)two.size(), ts5, 0x123));
    auto r0 = EntryRecords(ts0);
    ASSERT_EQ(1u, r0.size());
    EXPECT_EQ(1, r0[0][0]);     // packets of the table
    EXPECT_EQ(0, r0[0][1]);     // channel
    for (int i = 2; i <= 5; i++)
        EXPECT_EQ(0xFF, r0[0][i]);
    EXPECT_EQ(0, r0[0][6]);
    EXPECT_EQ(0, r0[0][7]);
    EXPECT_EQ(0x47, r0[0][8]);
    EXPECT_EQ(0x40, r0[0][9]);  // payload unit start, PID high bits 0
    EXPECT_EQ(0x11, r0[0][10]);
    EXPECT_EQ(0x10, r0[0][11]);
    EXPECT_EQ(0, r0[0][12]);    // pointer field
    EXPECT_TRUE(std::equal(one.begin(), one.end(), r0[0].begin() + 13));

    auto r5 = EntryRecords(ts5);
    ASSERT_EQ(2u, r5.size());
    EXPECT_EQ(2, r5[0][0]);
    EXPECT_EQ(5, r5[0][1]);
    EXPECT_EQ(0x41, r5[0][9]);
    EXPECT_EQ(0x01, r5[1][9]);  // no payload unit start in the continuation
    EXPECT_EQ(0x11, r5[1][11]);
    EXPECT_EQ(two.back(), r5[1][12]);
    EXPECT_EQ(0xFF, r5[1][13]);  // stuffing after the section
    EXPECT_EQ(3u, SSD_GetSIPacketParam()->u16TSPacketNum);
    EXPECT_EQ(2u, SSD_GetSIPacketParam()->u16SIInfoNum);
}

TEST_F(Carousel, RefusesBadInputAndFullPoolsWithoutChange)
{
    std::vector<U8> s = Section(0x42, 100);
    EXPECT_EQ(SSD_ERR_INPUT, SSD_AddBroadcastSI(nullptr, 10, ts0, 0x11));
    EXPECT_EQ(SSD_ERR_INPUT, SSD_AddBroadcastSI(s.data(), (U16)s.size(), 200, 0x11));
    // A section running past the buffer.
    EXPECT_EQ(SSD_ERR_DATA, SSD_AddBroadcastSI(s.data(), 50, ts0, 0x11));
    // 31 packets for one table.
    std::vector<U8> big;
    for (int i = 0; i < 6; i++) {
        auto sec = Section(0x42, 1024, (U8)i, 5);
        big.insert(big.end(), sec.begin(), sec.end());
    }
    EXPECT_EQ(SSD_ERR_RANGE, SSD_AddBroadcastSI(big.data(), (U16)big.size(), ts0, 0x11));
    EXPECT_EQ(0u, SSD_GetSIPacketParam()->u16TSPacketNum);
    EXPECT_EQ(0u, SSD_GetSIPacketParam()->u16SIInfoNum);
    // Tables of 22 packets until the 3000 packet slots run out.
    std::vector<U8> t22;
    for (int i = 0; i < 4; i++) {
        auto sec = Section(0x42, i < 3 ? 1024 : 580, (U8)i, 3);
        t22.insert(t22.end(), sec.begin(), sec.end());
    }
    U32 added = 0;
    while (SSD_AddBroadcastSI(t22.data(), (U16)t22.size(), ts0, 0x11) == 0)
        added++;
    SIPacket_t* c = SSD_GetSIPacketParam();
    EXPECT_EQ(added * 22u, c->u16TSPacketNum);
    EXPECT_GT(c->u16TSPacketNum + 22u, 3000u);
    U16 before = c->u16TSPacketNum;
    EXPECT_EQ(SSD_ERR_RANGE, SSD_AddBroadcastSI(t22.data(), (U16)t22.size(), ts0, 0x11));
    EXPECT_EQ(before, c->u16TSPacketNum);
    // Deleting one stream's tables frees every slot.
    EXPECT_EQ(0u, SSD_DelOneBroadcastSI(ts0));
    EXPECT_EQ(0u, c->u16TSPacketNum);
    EXPECT_EQ(0u, c->u16SIInfoNum);
    EXPECT_EQ(SSD_ERR_INPUT, SSD_DelOneBroadcastSI(100));
}

TEST_F(Carousel, RotatesNumberedSectionsWithUnbrokenContinuity)
{
    std::vector<U8> table;
    for (int i = 0; i < 4; i++) {
        auto sec = Section(0x42, 200, (U8)i, 3);  // two packets each
        table.insert(table.end(), sec.begin(), sec.end());
    }
    ASSERT_EQ(0u, SSD_AddBroadcastSI(table.data(), (U16)table.size(), ts0, 0x11));
    std::vector<U8> pat = Section(0x00, 20);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(pat.data(), (U16)pat.size(), ts0, 0x00));
    for (int t = 0; t < 41; t++)
        Pass();
    auto pk = ReadPackets(0);
    std::vector<int> order;
    int pats = 0;
    for (auto& p : pk) {
        if (PacketPid(p) == 0)
            pats++;
        else if (p[1] & 0x40)
            order.push_back(p[5 + 6]);  // section_number behind header and pointer
    }
    EXPECT_EQ(41, pats);  // a one-section table goes out on every tick
    ASSERT_EQ(41u, order.size());
    for (size_t i = 0; i < order.size(); i++)
        EXPECT_EQ((int)(i % 4), order[i]);
    EXPECT_EQ(0, ContinuityErrors(0));
}

TEST_F(Carousel, GatedChannelStandsStillButIsStillForwarded)
{
    std::vector<U8> s = Section(0x02, 30);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(s.data(), (U16)s.size(), ts5, 0x100));
    u8PSIEnable[5] = 0;
    g_u8MuxFlag = 1;
    Pass();
    Pass();
    EXPECT_TRUE(ReadPackets(5).empty());
    EXPECT_EQ(1, u8MuxChannelFlag[5]);
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &msg));
    ASSERT_EQ(2u * 196u, msg.size());
    u8PSIEnable[5] = 1;
    Pass();
    Pass();
    auto pk = ReadPackets(5);
    ASSERT_EQ(2u, pk.size());
    EXPECT_EQ(0, pk[0][3] & 0x0F);  // counting starts where it stood
    EXPECT_EQ(1, pk[1][3] & 0x0F);
}

TEST_F(Carousel, FirstForwardCarriesEverySectionOfChannels4To7)
{
    std::vector<U8> table;
    for (int i = 0; i < 3; i++) {
        auto sec = Section(0x42, 100, (U8)i, 2);
        table.insert(table.end(), sec.begin(), sec.end());
    }
    ASSERT_EQ(0u, SSD_AddBroadcastSI(table.data(), (U16)table.size(), ts5, 0x11));
    ASSERT_EQ(0u, SSD_AddBroadcastSI(table.data(), (U16)table.size(), ts0, 0x11));
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        g_u8MuxFlag = 1;
    }
    Pass();
    EXPECT_EQ(0, g_u8MuxFlag);
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &msg));
    // Three sections of channel 5 and the closing zero row; nothing of channel 0.
    ASSERT_EQ(4u * 196u, msg.size());
    for (int r = 0; r < 3; r++) {
        U32 w0, w1;
        memcpy(&w0, &msg[r * 196], 4);
        memcpy(&w1, &msg[r * 196 + 4], 4);
        EXPECT_EQ(5u, (w0 >> 16) & 0xFF);
        EXPECT_EQ((U32)r, w1 & 0xFF);  // section ordinal
    }
    for (int i = 0; i < 196; i++)
        ASSERT_EQ(0, msg[3 * 196 + i]);
    SSD_FlushSubMessages();
    Pass();
    EXPECT_FALSE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, nullptr));
}

TEST_F(Carousel, SlaveRepeatsReceivedRowsAndIgnoresBadChannels)
{
    EXPECT_EQ(0xFFFFu, SSD_ReceiveSubSIInfo(nullptr));
    std::vector<U8> table;
    for (int i = 0; i < 2; i++) {
        auto sec = Section(0x42, 100, (U8)i, 1);
        table.insert(table.end(), sec.begin(), sec.end());
    }
    ASSERT_EQ(0u, SSD_AddBroadcastSI(table.data(), (U16)table.size(), ts5, 0x11));
    g_u8MuxFlag = 1;
    Pass();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &msg));
    SSD_FlushSubMessages();
    // A row for channel 9 in front of the zero row is ignored by the pass.
    std::vector<U8> bad(msg.end() - 196 * 2, msg.end() - 196);
    bad[4 * 0 + 2] = 9;  // word 0 bits 23..16 in little-endian host order
    msg.insert(msg.end() - 196, bad.begin(), bad.end());
    ClearCaptures();
    ASSERT_EQ(0u, SSD_ReceiveSubSIInfo(msg.data(), (U32)msg.size()));
    for (int t = 0; t < 20; t++) {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_WriteSubBroadcastSI();
    }
    auto pk = ReadPackets(5);
    EXPECT_EQ(40u, pk.size());  // both sections on every tick
    EXPECT_EQ(0, ContinuityErrors(5));
    // A message cut short keeps only its whole rows.
    ASSERT_EQ(0u, SSD_ReceiveSubSIInfo(msg.data(), 196 + 100));
    U32(*rows)[SI_RECORD_WORDS] = SSD_GetSubPacketTable();
    EXPECT_NE(0u, rows[0][0]);
    EXPECT_EQ(0u, rows[1][0]);
}

TEST_F(Carousel, SlaveKeepsRowsThatArriveBeforeItsCarouselStarts)
{
    std::vector<U8> s = Section(0x02, 30);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(s.data(), (U16)s.size(), ts5, 0x100));
    g_u8MuxFlag = 1;
    Pass();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &msg));
    SSD_FlushSubMessages();
    ClearCaptures();
    // The slave's chip link is up before its start-up reaches SIP_Init.
    ASSERT_EQ(0u, SSD_ReceiveSubSIInfo(msg.data(), (U32)msg.size()));
    SI_PthreadMux_Init();
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_WriteSubBroadcastSI();
    }
    EXPECT_EQ(1u, ReadPackets(5).size());
}

TEST_F(Carousel, TimeTablesContinueTheSequenceOfTheirPid)
{
    // A carousel table on PID 20 and the TDT/TOT the time step stages there.
    Output_TSInfo* db = TSP_GetTSParam();
    db->pOutputTS[ts0].u8TDTGenerate = 1;
    db->pOutputTS[ts0].u8TOTGenerate = 1;
    std::vector<U8> t = Section(0x73, 60);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(t.data(), (U16)t.size(), ts0, 20));
    for (int i = 0; i < 40; i++) {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendBroadcastSI();
        SSD_SendTimeSITable();
    }
    auto pk = ReadPackets(0);
    EXPECT_EQ(120u, pk.size());  // table, TDT and TOT on every round
    EXPECT_EQ(0, ContinuityErrors(0));
    // Time tables are one packet; longer ones and bad channels are refused.
    std::vector<U8> longTable = Section(0x73, 184);
    EXPECT_EQ(SSD_ERR_DATA, SSD_AddTimeSITable(longTable.data(), (U16)longTable.size(), 0, 20));
    EXPECT_EQ(SSD_ERR_INPUT, SSD_AddTimeSITable(t.data(), (U16)t.size(), 8, 20));
}

TEST_F(Carousel, SlowPeerNeverDelaysATick)
{
    RunInChildProcess([&] {
        // Once the peer sender runs, a peer that takes long to answer holds up
        // neither the tick nor the request that posted the message.
        // The peer answers only once the tick has returned: ordered, not timed,
        // so a busy machine cannot fail it. Its wait is bounded: a tick that
        // waited for the peer ends after it and fails.
        SSD_StartPeerSender();
        auto released = std::make_shared<std::atomic<bool>>(false);
        auto answered = std::make_shared<std::atomic<int>>(-1);  // 1: after the tick
        SSD_PostPeerMessage(0x20001, {1}, [released, answered](std::vector<U8>&) {
            for (int i = 0; i < 1000 && !*released; i++)
                std::this_thread::sleep_for(std::chrono::milliseconds(10));
            *answered = *released ? 1 : 0;
        });
        SIPacket_Tick(CHIP_TYPE_MAIN);
        *released = true;
        for (int i = 0; i < 2000 && *answered < 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        EXPECT_EQ(*answered, 1) << "the tick waited for the peer (-1: the message was never sent)";
    });
}

TEST_F(Carousel, PeerSendsHappenOutsideTheCarouselLock)
{
    std::vector<U8> s = Section(0x02, 30);
    ASSERT_EQ(0u, SSD_AddBroadcastSI(s.data(), (U16)s.size(), ts5, 0x100));
    g_u8MuxFlag = 1;
    int lockedDuringSend = -1;
    SSD_PostPeerMessage(0x20000, {1}, [&](std::vector<U8>&) {
        bool got = SI_Mutex().try_lock();
        if (got)
            SI_Mutex().unlock();
        lockedDuringSend = got ? 0 : 1;
    });
    SIPacket_Tick(CHIP_TYPE_MAIN);
    EXPECT_EQ(0, lockedDuringSend);
    // The forward of channel 5 went out in the same flush.
    EXPECT_FALSE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, nullptr));
    EXPECT_EQ(0, g_u8MuxFlag);
}

TEST_F(Carousel, RequestsAreNotHeldUpWhileATickWritesPackets)
{
    // A full carousel: a tick writes a few thousand records into the mailbox.
    std::vector<U8> t22;
    for (int i = 0; i < 4; i++) {
        auto sec = Section(0x42, i < 3 ? 1024 : 580, (U8)i, 3);
        t22.insert(t22.end(), sec.begin(), sec.end());
    }
    SSD_GetSIPacketParam()->u8SendInterval = 0;  // every section on every tick
    while (SSD_AddBroadcastSI(t22.data(), (U16)t22.size(), ts0, 0x11) == 0) {
    }
    auto t0 = std::chrono::steady_clock::now();
    SIPacket_Tick(CHIP_TYPE_MAIN);
    auto pass = std::chrono::steady_clock::now() - t0;
    ASSERT_GT(pass, std::chrono::milliseconds(20));
    // A request handler that wants the card-state lock while a tick is in
    // its packet pass gets it at once: the pass does not need it.
    std::thread tick([] { SIPacket_Tick(CHIP_TYPE_MAIN); });
    std::this_thread::sleep_for(pass / 5);
    auto w0 = std::chrono::steady_clock::now();
    {
        CARD_STATE_LOCK();
    }
    auto wait = std::chrono::steady_clock::now() - w0;
    tick.join();
    EXPECT_LT(wait, pass / 3);
    ClearCaptures();
}

TEST_F(Carousel, PassOverAnUnfilledCarouselWritesNothing)
{
    // The carousel as memory holds it before anything filled or emptied it.
    memset(SSD_GetSIPacketParam(), 0, sizeof(SIPacket_t));
    auto done = std::make_shared<std::atomic<bool>>(false);
    std::thread([done] {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendBroadcastSI();
        *done = true;
    }).detach();
    for (int i = 0; i < 200 && !*done; i++)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_TRUE(*done) << "the pass keeps writing records of unused slots";
    EXPECT_TRUE(ReadPackets(0).empty());
    SSD_InitBroadcastSI();
}

TEST(CarouselSettings, PsiIntervalZeroIsRefused)
{
    QAM_IPMonitorPara* ip = GetQAMIPMonitor_Handle();
    ip->u16PSIInterval = 250;
    EXPECT_NE(0u, TSP_SetPSIInterval(0));
    U16 p = 0;
    TSP_GetPSIInterval(&p);
    EXPECT_EQ(250, p);
    ip->u16PSIInterval = 0;  // as a damaged store might hold it
    TSP_GetPSIInterval(&p);
    EXPECT_EQ(100, p);
    EXPECT_EQ(0u, TSP_SetPSIInterval(40));
    EXPECT_EQ(40000u, g_u32uSec.load());
    U8 le[2] = {0x2C, 0x01};  // 300
    EXPECT_EQ(0u, TSP_SetSlavePSIInterval(le, 2));
    EXPECT_EQ(300, ip->u16PSIInterval);
    U8 zero[2] = {0, 0};
    EXPECT_NE(0u, TSP_SetSlavePSIInterval(zero, 2));
    EXPECT_NE(0u, TSP_SetSlavePSIInterval(le, 1));
    EXPECT_EQ(300, ip->u16PSIInterval);
    ip->u16PSIInterval = 100;
}

TEST(CarouselSettings, TimerCountsTicksAndStartsOnce)
{
    RunInChildProcess([&] {
        // The carousel lock works before any start-up call.
        SI_PthreadMux_Lock();
        SI_PthreadMux_UnLock();
        ASSERT_EQ(ZR_SUCCESS, Timer_Start(2000));
        U32 first = GetTimeCnt();
        for (int i = 0; i < 200 && GetTimeCnt() == first; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        EXPECT_NE(first, GetTimeCnt());
        EXPECT_EQ(ZR_SUCCESS, Timer_Start(900000));
        EXPECT_EQ(2000u, g_u32uSec.load());
        Timer_End();
        for (int i = 0; i < 200 && GetTimeCnt() != 0; i++)
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
        g_TimerEnd_flag = 1;
    });
}

}  // namespace
