// FPGA routing tables: the committed 64-bit entries of the simulated FPGA
// for the typical layouts, the slave's tables and their chip-link records.
#include "Platform/board_state.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include "mux_fixture.h"
#include "Common/thread.h"
#include <algorithm>
#include <atomic>
#include <gtest/gtest.h>
#include <thread>

using namespace muxfix;

namespace {

U64 MuxEntry(U32 count, U32 src, U32 dest) { return ((U64)count << 52) | ((U64)src << 23) | dest; }
U32 Src(U32 slot, U32 stream, U32 pid) { return pid | stream << 13 | slot << 23; }
U32 Dst(U32 channel, U32 pid) { return pid | channel << 13; }

simboard::RoutingTables& Fpga() { return simboard::GetModels()->routing; }

class Routing : public ::testing::Test {
protected:
    void SetUp() override
    {
        ResetDb();
        SetEitSlot(17);
        SSD_FlushSubMessages();
    }
    void TearDown() override { SetEitSlot(17); }
    static void SetEitSlot(U8 slot)
    {
        for (U8 s = 0; s < 17; s++) {
            TResource_TS* r = Resource_GetHandle(s);
            if (r) {
                r->u8BoardType = s == slot ? RESOURCE_BOARD_TYPE_EIT : 0;
                r->u8EitEnable = s == slot ? 1 : 0;
            }
        }
    }
    // A multiplexed program with one video ES that also carries the PCR.
    static U16 VideoProgram(U16 ts, U8 slot, U16 srcCh, U16 sid, U16 pid)
    {
        U16 p = Program(ts, slot, srcCh, sid, 0x1000 + sid, pid);
        ES(ts, p, pid);
        PCR(ts, p);
        return p;
    }
};

TEST_F(Routing, EmptyDatabaseWritesZeroTablesAndSendsClosingRecords)
{
    U32 commits = Fpga().commits;
    ASSERT_EQ(0u, TSP_WriteOutputLUTInfo());
    ASSERT_EQ(0u, TSP_WriteByPassOutputLUTInfo());
    ASSERT_EQ(0u, TSP_WriteSubOutputLUTInfo());
    ASSERT_EQ(0u, TSP_WriteByPassSubOutputLUTInfo());
    EXPECT_EQ(commits + 2, Fpga().commits);
    for (U64 e : Fpga().muxCommitted)
        ASSERT_EQ(0u, e);
    for (U64 e : Fpga().bypassCommitted)
        ASSERT_EQ(0u, e);
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    std::vector<U8> mux, bypass;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, &mux));
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PASSLUT, &bypass));
    EXPECT_EQ(std::vector<U8>(12, 0), mux);
    EXPECT_EQ(std::vector<U8>(8, 0), bypass);
}

TEST_F(Routing, SharedInputPidsAndBackBoardSource)
{
    U16 ts0 = Stream(0), ts1 = Stream(1, 2), ts2 = Stream(2, 3);
    VideoProgram(ts0, 3, 7, 1, 0x100);
    VideoProgram(ts1, 3, 7, 1, 0x100);
    U16 p2 = Program(ts2, 16, 4, 9, 0x1009, 0x1FFF);
    ES(ts2, p2, 0x200);
    ASSERT_EQ(0u, TSP_WriteOutputLUTInfo());
    const U64* m = Fpga().muxCommitted;
    // The PCR in the video PID gives one entry per channel; the two channels
    // share one source and count it in both entries.
    EXPECT_EQ(MuxEntry(0x101, Src(3, 7, 0x100), Dst(0, 0x100)), m[0]);
    EXPECT_EQ(MuxEntry(0x101, Src(3, 7, 0x100), Dst(1, 0x100)), m[1]);
    // Slot 16 (the back board) is slot 63 in the source word.
    EXPECT_EQ(MuxEntry(0x100, Src(63, 4, 0x200), Dst(2, 0x200)), m[2]);
    EXPECT_EQ(0u, m[3]);
}

TEST_F(Routing, EitBoardFeedsEveryMultiplexedChannel)
{
    SetEitSlot(5);
    U16 ts0 = Stream(0), ts4 = Stream(4, 2);
    VideoProgram(ts0, 3, 7, 1, 0x100);
    U16 p4 = VideoProgram(ts4, 3, 8, 2, 0x300);
    ES(ts4, p4, 18);  // an input's own EIT is not routed while the EIT board serves
    ASSERT_EQ(0u, TSP_WriteOutputLUTInfo());
    ASSERT_EQ(0u, TSP_WriteSubOutputLUTInfo());
    const U64* m = Fpga().muxCommitted;
    EXPECT_EQ(MuxEntry(0x100, Src(3, 7, 0x100), Dst(0, 0x100)), m[0]);
    EXPECT_EQ(MuxEntry(0x100, Src(3, 8, 0x300), Dst(4, 0x300)), m[1]);
    EXPECT_EQ(MuxEntry(0x100, Src(5, 0, 18), Dst(0, 18)), m[2]);
    EXPECT_EQ(MuxEntry(0x100, Src(5, 4, 18), Dst(4, 18)), m[3]);
    EXPECT_EQ(0u, m[4]);
    // The slave's table: its own channel and both EIT entries.
    EXPECT_EQ(Dst(4, 0x300), aru32SubslotBuffer0[0]);
    EXPECT_EQ(Src(5, 0, 18), aru32SubslotBuffer1[1]);
    EXPECT_EQ(Src(5, 4, 18), aru32SubslotBuffer1[2]);
    EXPECT_EQ(0u, aru32SubslotBuffer0[3]);

    // The slave writes what command 806 carries into its FPGA.
    TSP_SendSubFPGAMuxLUTInfo();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, &msg));
    ASSERT_EQ(4u * 12u, msg.size());
    EXPECT_EQ(TSP_ERR_INPUT, TSP_ReceiveSubFPGAMUXLUTInfo(nullptr));
    ASSERT_EQ(0u, TSP_ReceiveSubFPGAMUXLUTInfo(msg.data(), (U32)msg.size()));
    EXPECT_EQ(MuxEntry(0x100, Src(3, 8, 0x300), Dst(4, 0x300)), m[0]);
    EXPECT_EQ(MuxEntry(0x100, Src(5, 4, 18), Dst(4, 18)), m[2]);
    EXPECT_EQ(0u, m[3]);
    // A message cut inside its second record yields one entry.
    ASSERT_EQ(0u, TSP_ReceiveSubFPGAMUXLUTInfo(msg.data(), 20));
    EXPECT_NE(0u, m[0]);
    EXPECT_EQ(0u, m[1]);
}

TEST_F(Routing, BypassStreamsOnMasterAndSlave)
{
    Stream(6, 1, true, 2, 9);
    Stream(2, 1, true, 16, 1);
    ASSERT_EQ(0u, TSP_WriteByPassOutputLUTInfo());
    ASSERT_EQ(0u, TSP_WriteByPassSubOutputLUTInfo());
    const U64* b = Fpga().bypassCommitted;
    EXPECT_EQ(((U64)0x100 << 26) | (6 | 9 << 10 | 2 << 20), b[0]);
    EXPECT_EQ(((U64)0x100 << 26) | (2 | 1 << 10 | 63 << 20), b[1]);
    EXPECT_EQ(0u, b[2]);
    EXPECT_EQ((U32)(6 | 9 << 10 | 2 << 20), aru32SubslotBypassBuffer0[0]);
    EXPECT_EQ(0u, aru32SubslotBypassBuffer1[1]);
    TSP_SendSubFPGABypassLUTInfo();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PASSLUT, &msg));
    ASSERT_EQ(16u, msg.size());
    ASSERT_EQ(0u, TSP_ReceiveSubFPGABYPASSLUTInfo(msg.data(), (U32)msg.size()));
    EXPECT_EQ(((U64)0x100 << 26) | (6 | 9 << 10 | 2 << 20), b[0]);
    EXPECT_EQ(0u, b[1]);
    // Nine bypass streams on the slave's channels are more than it holds:
    // the one on air, listed last, keeps its entry; the last new one is left out.
    ResetDb(16);
    for (U16 c = 0; c < 8; c++)
        Stream((U16)(4 + (c % 4)), 1, true, 2, c);
    Stream(6, 1, true, 2, 9);
    EXPECT_EQ(0u, TSP_WriteByPassSubOutputLUTInfo());
    const U32* d = aru32SubslotBypassBuffer0;
    for (U16 n = 0; n < 8; n++)
        EXPECT_NE(0u, aru32SubslotBypassBuffer1[n]);
    EXPECT_NE(d + 8, std::find(d, d + 8, (U32)(6 | 9 << 10 | 2 << 20)));
    EXPECT_EQ(d + 8, std::find(d, d + 8, (U32)(7 | 7 << 10 | 2 << 20)));
}

TEST_F(Routing, FullSlaveTablesFitTheSlavesReassembly)
{
    // 1000 mux entries: 12,000 bytes, the whole of the slave's buffer.
    ResetDb(16, 100, 1100);
    U16 t4 = Stream(4);
    for (U16 k = 0; k < 1000; k++)
        NewPid(PID_TYPE_OTHERPID, t4, 0xFFFF, 3, 0, (U16)(0x100 + k), 0);
    ASSERT_EQ(0u, TSP_WriteSubOutputLUTInfo());
    ASSERT_NE(0u, aru32SubslotBuffer0[999]);
    TSP_SendSubFPGAMuxLUTInfo();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, &msg));
    EXPECT_EQ(12000u, msg.size());
    ASSERT_EQ(0u, TSP_ReceiveSubFPGAMUXLUTInfo(msg.data(), (U32)msg.size()));
    EXPECT_EQ(MuxEntry(0x100, Src(3, 0, 0x100 + 999), Dst(4, 0x100 + 999)), Fpga().muxCommitted[999]);
    EXPECT_EQ(0u, Fpga().muxCommitted[1000]);
    // Eight bypass entries: 64 bytes.
    for (U16 c = 0; c < 8; c++)
        Stream((U16)(4 + (c % 4)), 1, true, 2, c);
    ASSERT_EQ(0u, TSP_WriteByPassSubOutputLUTInfo());
    TSP_SendSubFPGABypassLUTInfo();
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PASSLUT, &msg));
    EXPECT_EQ(64u, msg.size());
    ASSERT_EQ(0u, TSP_ReceiveSubFPGABYPASSLUTInfo(msg.data(), (U32)msg.size()));
    for (int n = 0; n < 8; n++)
        EXPECT_NE(0u, Fpga().bypassCommitted[n]) << n;
    EXPECT_EQ(0u, Fpga().bypassCommitted[8]);
}

// The master's table holds every channel's routes: 2,048 go on air, all of
// them; a route more is refused as a change and left out by an apply, and
// every route on air stays.
TEST_F(Routing, MasterTableAtItsCapacity)
{
    ResetDb(8, 100, 2100);
    for (U16 c = 0; c < 8; c++) {
        U16 ts = Stream(c);
        for (U16 k = 0; k < (c < 4 ? 300 : 212); k++)
            Other(ts, 3, 0, (U16)(0x100 + k));
    }
    ASSERT_EQ(0u, TSP_MuxProcess());
    auto used = [] {
        std::vector<U64> v;
        for (U64 e : Fpga().muxCommitted)
            if (e != 0)
                v.push_back(e);
        return v;
    };
    const std::vector<U64> onAir = used();
    ASSERT_EQ(2048u, onAir.size());
    U16 extra = Other(4, 3, 0, 0x1F00);
    EXPECT_EQ(TSP_ERR_DOES_NOT_FIT, TSP_PlanCheck(nullptr, "test"));
    ASSERT_EQ(0u, TSP_MuxProcess());
    EXPECT_NE(1, TSP_GetTSParam()->pOutputPID[extra].u8ValidFlag);
    EXPECT_EQ(onAir, used());
}

// A change more than a table takes: a program one route too big is left out,
// the program after it lands on the table's last entry and goes on air, on
// the master's 2,048 entries and on the slave's 1,000.
TEST_F(Routing, LastProgramOfAnApplyTakesTheLastEntry)
{
    struct Case {
        U16 channel;  // of the new programs
        U32 capacity, onAir;
    } cases[] = {{0, TSP_LUT_MUX_NUM, TSP_LUT_MUX_NUM - 8}, {5, TSP_LUT_SUB_MUX_NUM, TSP_LUT_SUB_MUX_NUM - 8}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.capacity);
        ResetDb(8, 100, 2100);
        Output_TSInfo* db = TSP_GetTSParam();
        // On air: the slave's share on channel 4, the rest of the master's on 1-3.
        U16 ts[8];
        for (U16 ch = 0; ch < 8; ch++)
            ts[ch] = Stream(ch);
        U32 left = c.onAir;
        for (U16 k = 0; left > 0; k++, left--)
            Other(c.channel >= 4 ? ts[4] : ts[1 + k % 3], 3, 0, (U16)(0x100 + (c.channel >= 4 ? k : k / 3)));
        ASSERT_EQ(0u, TSP_MuxProcess());
        // Eight ES each; the first program's PCR in a ninth PID.
        U16 big = Program(ts[c.channel], 4, 1, 1, 0x1001, 0x1FF);
        U16 exact = Program(ts[c.channel], 4, 2, 2, 0x1002, 0x300);
        for (U16 k = 0; k < 8; k++) {
            ES(ts[c.channel], big, (U16)(0x200 + k));
            ES(ts[c.channel], exact, (U16)(0x300 + k));
        }
        PCR(ts[c.channel], big);
        PCR(ts[c.channel], exact);
        EXPECT_EQ(TSP_ERR_DOES_NOT_FIT, TSP_PlanCheck(nullptr, "test"));
        ASSERT_EQ(0u, TSP_MuxProcess());
        EXPECT_NE(1, db->pOutputProgram[big].u8ValidFlag);
        ASSERT_EQ(1, db->pOutputProgram[exact].u8ValidFlag);
        const U32* d = c.channel >= 4 ? aru32SubslotBuffer0 : aru32slotBuffer0;
        const U32* s = c.channel >= 4 ? aru32SubslotBuffer1 : aru32slotBuffer1;
        for (U16 k = 0; k < 8; k++)
            EXPECT_NE(d + c.capacity, std::find(d, d + c.capacity, Dst(c.channel, 0x300 + k))) << k;
        EXPECT_NE(0u, s[c.capacity - 1]);
        // Full now: one route more is refused, and left out by an apply.
        U16 extra = Other(ts[c.channel], 3, 0, 0x1F00);
        EXPECT_EQ(TSP_ERR_DOES_NOT_FIT, TSP_PlanCheck(nullptr, "test"));
        ASSERT_EQ(0u, TSP_MuxProcess());
        EXPECT_NE(1, db->pOutputPID[extra].u8ValidFlag);
        EXPECT_EQ(1, db->pOutputProgram[exact].u8ValidFlag);
    }
}

TEST_F(Routing, SlaveTableIsTakenWholeWhileAnApplyRebuildsIt)
{
    aru32SubslotBuffer0[0] = Dst(4, 0x100);
    aru32SubslotBuffer0[1] = 0;
    std::atomic<bool> held{false};
    std::thread apply([&] {
        CARD_STATE_LOCK();
        held = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        aru32SubslotBuffer0[0] = Dst(4, 0x200);
    });
    while (!held)
        std::this_thread::yield();
    TSP_SendSubFPGAMuxLUTInfo();
    apply.join();
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, &msg));
    U32 d0 = 0;
    memcpy(&d0, msg.data(), 4);
    EXPECT_EQ(Dst(4, 0x200), d0);
}

TEST(RoutingHelpers, SortAndDuplicateMarking)
{
    U32 keys[6] = {5, 3, 5, 1, 3, 3};
    U16 idx[6] = {0, 1, 2, 3, 4, 5};
    ASSERT_EQ(0u, TSP_SortSrcInfo(keys, idx, 6));
    const U32 sorted[6] = {1, 3, 3, 3, 5, 5};
    const U16 order[6] = {3, 1, 4, 5, 0, 2};  // equal keys keep their order
    for (int i = 0; i < 6; i++) {
        EXPECT_EQ(sorted[i], keys[i]);
        EXPECT_EQ(order[i], idx[i]);
    }
    // A group of equal sources at the end of the table is also cleaned.
    U32 src[4] = {1, 2, 2, 2};
    U32 dst[4] = {10, 30, 20, 30};
    U16 id[4] = {0, 1, 2, 3};
    ASSERT_EQ(0u, TSP_DelSameSrcInfo(dst, src, id, 4));
    int kept = 0;
    for (U16 v : id)
        kept += v != 0xFFFF;
    EXPECT_EQ(3, kept);
    U32 count[4];
    U32 run[4] = {1, 2, 2, 9};
    ASSERT_EQ(0u, TSP_WriteSameSrcNum(count, run, 4));
    EXPECT_EQ(0x100u, count[0]);
    EXPECT_EQ(0x101u, count[1]);
    EXPECT_EQ(0x101u, count[2]);
    EXPECT_EQ(0x100u, count[3]);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_SortSrcInfo(nullptr, idx, 2));
    EXPECT_NE(0u, TSP_WriteSameSrcNum(count, run, 2049));
}

}  // namespace
