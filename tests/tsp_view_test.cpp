// The web's views with the simulated bit-rate counters, the status LED's
// judgement of the channels and the bit-rate monitor that gates PSI insertion.
// The web's records are packed: their fields are compared as copies.
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_view.h"
#include "mux_fixture.h"
#include <gtest/gtest.h>
#include <memory>

using namespace muxfix;

namespace {

class View : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        saved = *simboard::GetProfile();
        ResetDb(8, 300, 500, 100);
        SSD_FlushSubMessages();
        for (U8& e : u8PSIEnable)
            e = 1;
    }
    void TearDown() override
    {
        *simboard::GetProfile() = saved;
        g_u32ModulationMode = savedMode;
        for (U8& e : u8PSIEnable)
            e = 1;
        ResetDb();
    }
    simboard::Profile& Prof() { return *simboard::GetProfile(); }
    U32 savedMode = 0;
    simboard::Profile saved;
    std::unique_ptr<Output_WebTSInfo> ts = std::make_unique<Output_WebTSInfo>();
    std::unique_ptr<Output_WebTSBitInfo> bits = std::make_unique<Output_WebTSBitInfo>();
};

TEST_F(View, OverflowAtTheCapacityBoundaryOf8VSB)
{
    g_u32ModulationMode = 6;
    U16 t = Stream(2);
    Program(t, 3, 1, 1, 0x100, 0x101);
    Prof().channelPackets[2] = 12888;
    ASSERT_EQ(TSP_SendTSInfoToWeb(2, ts.get(), TSP_GetTSParam()), 0u);
    EXPECT_EQ(ts->u8ValidFlag, 1u);
    EXPECT_EQ((U32)ts->u32TotalBitRate, 19383u);
    EXPECT_EQ((U32)ts->u32EffectiveBitRate, 19383u);
    EXPECT_EQ(ts->bOverFlow, 0u);
    Prof().channelPackets[2] = 12889;
    ASSERT_EQ(TSP_SendTSInfoToWeb(2, ts.get(), TSP_GetTSParam()), 0u);
    EXPECT_EQ((U32)ts->u32EffectiveBitRate, 19385u);
    EXPECT_EQ(ts->bOverFlow, 1u);
}

TEST_F(View, ChannelsAreResolvedInTheDatabaseReadAndBounded)
{
    g_u32ModulationMode = 3;
    Stream(3, 0x33);
    // The working copy holds another channel's stream at the same index.
    Output_TSInfo* w = TSP_GetTempTSParam();
    ASSERT_EQ(TSP_InitOutputTempTSInfo(), 0u);
    TSP_CopyOutputTempTSInfo();
    w->pOutputTS[0].u16ChannelID = 5;
    ASSERT_EQ(TSP_SendTSInfoToWeb(3, ts.get(), w), 0u);
    EXPECT_EQ(ts->u8ValidFlag, 0xFF) << "never filled from another channel's record";
    ASSERT_EQ(TSP_SendTSInfoToWeb(5, ts.get(), w), 0u);
    EXPECT_EQ((U32)ts->u16TransportStreamID, 0x33u);
    for (U16 c : {8, 200, 0xFFFF}) {
        EXPECT_EQ(TSP_SendTSInfoToWeb(c, ts.get(), TSP_GetTSParam()), TSP_ERR_INPUT);
        EXPECT_EQ(TSP_SendTSBitInfoToWeb(c, bits.get()), TSP_ERR_INPUT);
        Output_WebProgramInfo pi;
        EXPECT_EQ(TSP_SendProgramInfoToWeb(c, 1, &pi, TSP_GetTSParam()), TSP_ERR_INPUT);
    }
    Output_WebProgramInfo pi;
    EXPECT_EQ(TSP_SendProgramInfoToWeb(3, 77, &pi, TSP_GetTSParam()), TSP_ERR_PROGRAM_NOT_FOUND);
    ASSERT_EQ(TSP_SendTSBitInfoToWeb(6, bits.get()), 0u);
    EXPECT_EQ(bits->u8ValidFlag, 0xFF);
}

TEST_F(View, PerPidStatusSortsCountsAndFilters)
{
    g_u32ModulationMode = 3;
    U16 t = Stream(0);
    U16 p = Program(t, 3, 1, 7, 0x100, 0x101);
    ES(t, p, 0x101, 0x02);                    // video, also the PCR
    U16 a = ES(t, p, 0x102, 0x04);            // audio
    U16 f = ES(t, p, 0x103, 0x02);            // filtered: left out
    TSP_GetTSParam()->pOutputPID[f].u8PIDFilterFlag = 1;
    PCR(t, p);
    Prof().pidPackets = 0;
    Prof().pidRates[0] = {0, 0, 10, 1, {0, 0, 0}}; // PAT carries traffic, CAT and SDT do not
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    ASSERT_EQ(TSP_SendTSBitInfoToWeb(0, bits.get()), 0u);
    std::vector<std::pair<U16, U8>> got;
    for (U32 i = 0; i < bits->u16PIDNum; i++) {
        const U16 pid = bits->arPIDBitInfo[i].u16PID; // packed record: copied out, not bound
        const U8 kind = bits->arPIDBitInfo[i].u8PIDType;
        got.push_back({pid, kind});
    }
    const U16 pcr = TSP_GetTSParam()->pOutputProgram[p].u16PCRPID;
    const U16 pmt = TSP_GetTSParam()->pOutputProgram[p].u16PMTPID;
    const U16 audio = TSP_GetTSParam()->pOutputPID[a].u16PID;
    std::vector<std::pair<U16, U8>> want = {{0, TSP_WEB_PID_PAT}, {pmt, TSP_WEB_PID_PMT}, {pcr, TSP_WEB_PID_PCR},
                                            {pcr, TSP_WEB_PID_VIDEO}, {audio, TSP_WEB_PID_AUDIO}};
    std::sort(want.begin() + 1, want.end(), [](auto& x, auto& y) { return x.first < y.first; });
    EXPECT_EQ(got, want);
    EXPECT_EQ((U32)bits->arPIDBitInfo[0].u32BitRate, 15u);
    for (U32 i = 0; i < bits->u16PIDNum; i++)
        if (bits->arPIDBitInfo[i].u16PID == pcr && bits->arPIDBitInfo[i].u8PIDType == TSP_WEB_PID_PCR) {
            EXPECT_EQ((U32)bits->arPIDBitInfo[i].u16SamePIDNum, 2u);
        }

    ASSERT_EQ(TSP_SendTSInfoToWeb(0, ts.get(), TSP_GetTSParam()), 0u);
    EXPECT_EQ((U32)ts->arOutputProInfo[0].u16ESNumber, 2u);
    EXPECT_EQ(ts->arOutputProInfo[0].arOutputESInfo[1].u8PIDType, TSP_WEB_PID_AUDIO);
}

TEST_F(View, ViewsStopAtTheirCapacity)
{
    g_u32ModulationMode = 3;
    U16 t = Stream(0);
    for (U16 i = 0; i < 201; i++)
        Program(t, 3, 1, (U16)(i + 1), (U16)(0x100 + i), 0x1FFF);
    ASSERT_EQ(TSP_SendTSInfoToWeb(0, ts.get(), TSP_GetTSParam()), 0u);
    EXPECT_EQ((U32)ts->u16ProgramNum, 201u);
    EXPECT_EQ((U32)ts->arOutputProInfo[199].u16ServiceID, 200u);
    EXPECT_EQ(TSP_SendTSBitInfoToWeb(0, bits.get()), TSP_ERR_TABLE_GROW);
}

TEST_F(View, LedTurnsRedOnALowRateAndReportsOncePerChange)
{
    g_u32ModulationMode = 3;
    U16 t = Stream(1);
    Program(t, 3, 1, 1, 0x100, 0x101);
    const U32 key = TSP_SlotMessageKey(IPCOMM_SEND_INDSTATUS, 16);
    TParameter_DTMB& d = *GetDTMBPara_Handle();
    const TParameter_DTMB keep = d;
    d.SymbolRate[1] = 6875; // about 38 Mbit/s: no overflow
    d.QAMMod[1] = _64QAM;
    g_stVersionInfo.bISSameFlg = 1;  // both chips run the same version
    LED_CtrlState st;
    Prof().channelPackets[1] = 133; // 200 kbit/s: normal
    LED_CtrlPass(&st);
    std::vector<U8> msg;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(key, &msg));
    EXPECT_EQ(msg, std::vector<U8>{1});
    LED_STATUS led = LED_OFF;
    FPGA_GetLEDStatus(&led);
    EXPECT_EQ(led, LED_GREEN);
    SSD_FlushSubMessages();
    LED_CtrlPass(&st);
    EXPECT_FALSE(SSD_GetPendingPeerMessage(key, nullptr)) << "nothing changed, nothing sent";

    Prof().channelPackets[1] = 132; // 198 kbit/s
    LED_CtrlPass(&st);
    ASSERT_TRUE(SSD_GetPendingPeerMessage(key, &msg));
    EXPECT_EQ(msg, std::vector<U8>{2});
    FPGA_GetLEDStatus(&led);
    EXPECT_EQ(led, LED_RED);
    SSD_FlushSubMessages();
    LED_CtrlPass(&st);
    EXPECT_FALSE(SSD_GetPendingPeerMessage(key, nullptr));
    d = keep;
}

TEST_F(View, LowBitRateStopsPsiInsertionOnThatChannelOnly)
{
    g_u32ModulationMode = 3;
    for (U32& c : Prof().channelPackets)
        c = 5000;
    Prof().channelPackets[3] = 333; // 500 kbit/s
    U16 t3 = Stream(3), t2 = Stream(2);
    Program(t3, 3, 1, 1, 0x100, 0x101);
    Program(t2, 3, 2, 2, 0x200, 0x201);
    FPGA_CheckBitrateOnce();
    FPGA_CheckBitrateOnce();
    EXPECT_EQ(u8PSIEnable[3], 0u);
    EXPECT_EQ(u8PSIEnable[2], 1u);
    GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
    ClearCaptures();
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    for (int i = 0; i < 20; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    EXPECT_TRUE(ReadPackets(3).empty());
    EXPECT_FALSE(ReadPackets(2).empty());
    Prof().channelPackets[3] = 334; // 502 kbit/s
    FPGA_CheckBitrateOnce();
    EXPECT_EQ(u8PSIEnable[3], 1u);
    for (int i = 0; i < 20; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    EXPECT_FALSE(ReadPackets(3).empty());
}

} // namespace
