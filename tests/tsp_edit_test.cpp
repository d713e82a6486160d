// The operator's edits of the working copy, from the view the web shows to the
// capture after commit and apply; refused edits change nothing.
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_edit.h"
#include "mux_fixture.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <gtest/gtest.h>
#include <memory>
#include <sstream>

using namespace muxfix;

namespace {

std::string Decode(U8 channel)
{
    std::string cmd = std::string(MODCARD_BUILD_DIR) + "/tests/psidecode --ts " + Capture(channel);
    return CommandOutput(cmd);
}

class Edit : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        g_u32ModulationMode = 3;
        ResetCarousel();
        // Built as an input card sends it, so every link is as the checker wants it.
        using namespace tspwire;
        ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0, 3, 0x10)})), 0u);
        std::vector<Bytes> progs, pids;
        for (U16 g = 1; g <= 2; g++) {
            Prog pr;
            pr.progId = g;
            pr.sid = (U16)(4 + g);
            pr.pmt = (U16)(0x100 * g);
            pr.pcr = (U16)(0x100 * g + 1);
            pr.name = g == 1 ? "First" : "Second";
            progs.push_back(Program(pr));
            Pid es;
            es.progId = g;
            es.pidId = (U16)(10 * g);
            es.oldPid = (U16)(0x100 * g + 1);
            es.streamType = 0x02;
            Pid pcr = es;
            pcr.pidId = (U16)(10 * g + 1);
            pcr.type = PID_TYPE_PCRPID;
            pids.push_back(PID(es));
            pids.push_back(PID(pcr));
        }
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg(progs)), 0u);
        ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg(pids)), 0u);
        TSP_GetOutputTSIndexByTS(0, &ts);
        TSP_GetOutputProgramIndexByPID(5, 1, 0, 1, &a);
        TSP_GetOutputProgramIndexByPID(5, 1, 0, 2, &b);
        TSP_GetOutputPIDIndexByPID(5, 1, 0, 10, &esA);
        TSP_GetOutputPIDIndexByPID(5, 1, 0, 20, &esB);
        ASSERT_NE(b, 0xFFFF);
        ASSERT_EQ(TSP_MuxProcess(), 0u);
        Open();
    }
    void TearDown() override
    {
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTempTSParam()), "");
        g_u32ModulationMode = savedMode;
        ResetDb();
        SSD_InitBroadcastSI();
    }
    void Open()
    {
        TSP_InitOutputTempTSInfo();
        TSP_CopyOutputTempTSInfo();
        ASSERT_EQ(TSP_SendTSInfoToWeb(0, view.get(), TSP_GetTempTSParam()), 0u);
    }
    std::vector<U8> Work() const
    {
        const Output_TSInfo* w = TSP_GetTempTSParam();
        std::vector<U8> img;
        auto add = [&](const void* p, size_t n) {
            img.insert(img.end(), (const U8*)p, (const U8*)p + n);
        };
        add(w->pOutputTS, w->u32OutputTSNumber * sizeof(Output_TSStream));
        add(w->pOutputProgram, w->u32OutputProgramNumber * sizeof(Output_TSProgram));
        add(w->pOutputPID, w->u32OutputPIDNumber * sizeof(Output_TSPID));
        return img;
    }
    Output_TSProgram& WProg(U16 i) { return TSP_GetTempTSParam()->pOutputProgram[i]; }
    U32 savedMode = 0;
    U16 ts = 0, a = 0, b = 0, esA = 0, esB = 0;
    U8 flag = 0;
    std::unique_ptr<Output_WebTSInfo> view = std::make_unique<Output_WebTSInfo>();
};

TEST_F(Edit, RefusedStreamEditsChangeNothing)
{
    const std::vector<U8> before = Work();
    view->arOutputProInfo[1].u16ServiceID = 5;
    EXPECT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), 0x30024u);
    EXPECT_EQ(flag, 1u);
    view->arOutputProInfo[1].u16ServiceID = 6;
    view->u16PIDNum = 101;
    EXPECT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), TSP_ERR_INPUT);
    view->u16PIDNum = 0;
    view->u16TransportStreamID = 0x99;
    view->u16ProgramNum = 3; // a program count that does not match: nothing written either
    EXPECT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), TSP_ERR_COUNT_MISMATCH);
    view->u16ProgramNum = 2;
    view->arOutputProInfo[0].u8ServiceNameLen = 33;
    EXPECT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), TSP_ERR_INPUT);
    EXPECT_TRUE(Work() == before);
}

TEST_F(Edit, OnlyChangedFieldsAreWrittenAndMarked)
{
    Output_TSStream& s = TSP_GetTempTSParam()->pOutputTS[ts];
    s.u8PATChangeFlag = s.u8SDTChangeFlag = 0;
    view->u8TDTGenerate = !view->u8TDTGenerate;
    ASSERT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), 0u);
    EXPECT_EQ(s.u8PATChangeFlag + s.u8SDTChangeFlag, 0);
    view->u16TransportStreamID = 0x77;
    ASSERT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), 0u);
    EXPECT_EQ(s.u16TransportStreamID, 0x77);
    EXPECT_EQ(s.u8PATChangeFlag, 1);
    EXPECT_EQ(s.u8SDTChangeFlag, 1);
    EXPECT_EQ(WProg(a).u8PMTChangeFlag, 0);
}

TEST_F(Edit, SwappedServiceIdsAndNamesReachTheirProgramsAndTheCapture)
{
    // The web shows program a (5) and b (6); the operator swaps their ids and
    // renames both.
    const U16 first = view->arOutputProInfo[0].u16ServiceID; // packed record: no references
    view->arOutputProInfo[0].u16ServiceID = view->arOutputProInfo[1].u16ServiceID;
    view->arOutputProInfo[1].u16ServiceID = first;
    memcpy(view->arOutputProInfo[0].aru8ServiceName, "Alpha\0\0\0", 8);
    view->arOutputProInfo[0].u8ServiceNameLen = 5;
    memcpy(view->arOutputProInfo[1].aru8ServiceName, "Beta\0\0\0\0", 8);
    view->arOutputProInfo[1].u8ServiceNameLen = 4;
    ASSERT_EQ(TSP_ModifyTSInfoByWeb(view.get(), &flag), 0u);
    EXPECT_EQ(WProg(a).u16ServiceID, 6);
    EXPECT_EQ(WProg(b).u16ServiceID, 5);
    EXPECT_EQ(0, memcmp(WProg(a).aru8ServiceName, "Alpha", 5));
    EXPECT_EQ(0, memcmp(WProg(b).aru8ServiceName, "Beta", 4));

    // And moves program a's elementary stream to PID 0x456.
    Output_WebProgramInfo pv;
    ASSERT_EQ(TSP_SendProgramInfoToWeb(0, 6, &pv, TSP_GetTempTSParam()), 0u);
    pv.arOutputESInfo[0].u16PID = 0x456;
    ASSERT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), 0u);
    EXPECT_EQ(TSP_GetTempTSParam()->pOutputPID[esA].u16PID, 0x456);

    // Commit, apply, a carousel round: the capture carries the new ids, names and PID.
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
    for (U8& e : u8PSIEnable)
        e = 1;
    ClearCaptures();
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    for (int i = 0; i < 20; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    std::string d = Decode(0);
    const U16 pmtA = TSP_GetTSParam()->pOutputProgram[a].u16PMTPID;
    EXPECT_NE(d.find("PAT_PROGRAM number=6 pid=" + std::to_string(pmtA)), std::string::npos) << d;
    EXPECT_NE(d.find("SDT_SERVICE id=6"), std::string::npos) << d;
    // The service descriptor's name ("Alpha" = 416c706861) follows service 6.
    size_t at = d.find("SDT_SERVICE id=6");
    EXPECT_NE(d.find("416c706861", at), std::string::npos) << d;
    EXPECT_NE(d.find("PMT_ES program=6 type=0x02 pid=1110"), std::string::npos) << d;
}

TEST_F(Edit, ProgramEditConflictPutsBackEveryMovedPid)
{
    Output_WebProgramInfo pv;
    ASSERT_EQ(TSP_SendProgramInfoToWeb(0, 5, &pv, TSP_GetTempTSParam()), 0u);
    const std::vector<U8> before = Work();
    pv.u16PMTPID = 0x300;                                                // free: written first
    pv.arOutputESInfo[0].u16PID = TSP_GetTempTSParam()->pOutputPID[esB].u16PID; // b's ES: conflict
    EXPECT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), 0x30017u);
    EXPECT_EQ(flag, 2u);
    EXPECT_TRUE(Work() == before) << "the PMT PID moved before the conflict is back";

    // A missing program, a used service id and (in ATSC SI mode) channel numbers.
    ASSERT_EQ(TSP_SendProgramInfoToWeb(0, 5, &pv, TSP_GetTempTSParam()), 0u);
    pv.u16OldServiceID = 99;
    EXPECT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), TSP_ERR_PROGRAM_NOT_FOUND);
    pv.u16OldServiceID = 5;
    pv.u16ServiceID = 6;
    EXPECT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), 0x30024u);
    pv.u16ServiceID = 5;
    g_u32ModulationMode = 6;
    pv.u16MajorChannelNum = 1024;
    EXPECT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), TSP_ERR_CHANNEL_NUMBER);
    g_u32ModulationMode = 3;
    EXPECT_TRUE(Work() == before);

    // A good edit changes the service type and marks the SDT.
    pv.u16MajorChannelNum = 0;
    pv.u8ServiceType = 0x19;
    TSP_GetTempTSParam()->pOutputTS[ts].u8SDTChangeFlag = 0;
    EXPECT_EQ(TSP_ModifyProgramInfoByWeb(0, &pv, &flag), 0u);
    EXPECT_EQ(WProg(a).u8ServiceType, 0x19);
    EXPECT_EQ(TSP_GetTempTSParam()->pOutputTS[ts].u8SDTChangeFlag, 1u);
}

TEST_F(Edit, CommitWithoutAnOpenEditChangesNothing)
{
    TSP_InitOutputTempTSInfo(); // a fresh, empty working copy
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(TSP_GetTSParam()->pOutputProgram[a].u8ValidFlag, 1u);
    EXPECT_EQ(TSP_GetTSParam()->pOutputTS[ts].u8ValidFlag, 1u);
    Open();
}

} // namespace
