// Output-stream database: capacities and growth, the working copy, list
// walks and key lookups.
#include "Parameter/parameters.h"
#include "TSprocess/tsp.h"
#include "support/tsp_wire.h"
#include <gtest/gtest.h>

namespace {

class TspDb : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_u32ModulationMode = 0;
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        live = TSP_GetTSParam();
    }
    void TearDown() override
    {
        TSP_FreeOutputTSInfo();
        g_u32ModulationMode = 0;
    }
    // A valid stream at index s of channel ch.
    Output_TSStream& Stream(U16 s, U16 ch)
    {
        Output_TSStream& ts = live->pOutputTS[s];
        memset(&ts, 0, sizeof(ts));
        TSP_InitOneOutputTSStream(&ts);
        ts.u16ChannelID = ch;
        ts.u16DescriptorIndex = TSP_INVALID_INDEX;
        return ts;
    }
    // Programs at the given indexes chained behind stream s.
    void ChainPrograms(U16 s, const std::vector<U16>& idx)
    {
        U16 prev = TSP_INVALID_INDEX;
        for (U16 i : idx) {
            Output_TSProgram& p = live->pOutputProgram[i];
            TSP_InitOneOutputTSProgram(&p);
            p.u16TSIndex = s;
            p.u16ProgramIndex = i;
            if (prev == TSP_INVALID_INDEX)
                live->pOutputTS[s].u16ProgramIndex = i;
            else
                live->pOutputProgram[prev].u16NextProgramIndex = i;
            prev = i;
        }
        live->pOutputTS[s].u16ProgramNum = (U16)idx.size();
    }
    // PID records of one type chained from a head field.
    void ChainPIDs(U16& head, U16& count, U8 type, const std::vector<U16>& idx)
    {
        U16 prev = TSP_INVALID_INDEX;
        for (U16 i : idx) {
            Output_TSPID& p = live->pOutputPID[i];
            TSP_InitOneOutputTSPID(&p);
            p.u8PIDType = type;
            p.u32PIDIndex = i;
            if (prev == TSP_INVALID_INDEX)
                head = i;
            else
                live->pOutputPID[prev].u32NextPIDIndex = i;
            prev = i;
        }
        count = (U16)idx.size();
    }
    static std::vector<U16> List(const IndexInfoList_t& l)
    {
        return std::vector<U16>(l.aru16IndexList, l.aru16IndexList + l.u16IndexListNum);
    }
    Output_TSInfo* live = nullptr;
    IndexInfoList_t list{};
};

TEST_F(TspDb, FactoryAndRebuildCapacities)
{
    EXPECT_EQ(live->u32OutputTSNumber, 8u);
    EXPECT_EQ(live->u32OutputProgramNumber, 100u);
    EXPECT_EQ(live->u32OutputPIDNumber, 500u);
    EXPECT_EQ(live->u32OutputTableNumber, 100u);
    EXPECT_EQ(live->u32OutputDescriptorNumber, 100u);
    EXPECT_EQ(TSP_GetTempTSParam()->u32OutputPIDNumber, 500u);
    EXPECT_NE(TSP_GetTempTSParam()->pOutputPID, live->pOutputPID);

    Output_TSInfo st{};
    TSInfoInitNum zero{};
    ASSERT_EQ(TSP_InitTSInfo(&st, &zero), ZR_SUCCESS);
    EXPECT_EQ(st.u32OutputTSNumber, 8u);
    EXPECT_EQ(st.u32OutputProgramNumber, 100u);
    EXPECT_EQ(st.u32OutputPIDNumber, 500u);
    EXPECT_EQ(st.u32OutputTableNumber, 100u);
    EXPECT_EQ(st.u32OutputDescriptorNumber, 100u);
    EXPECT_EQ(st.u32OutputBypassTSNumber, 8u);
    EXPECT_EQ(st.pOutputBypassTS[7].u8ValidFlag, 0);

    // Capacities from a stored file beyond what a link can address are refused.
    TSInfoInitNum big{16, 0, 0x10000, 0, 0, 0};
    EXPECT_EQ(TSP_InitTSInfo(&st, &big), ZR_ERR_PARAMS);
    EXPECT_EQ(st.u32OutputPIDNumber, 500u);
    EXPECT_EQ(TSP_InitTSInfo(nullptr, &zero), ZR_ERR_PARAMS);
    EXPECT_EQ(TSP_InitTSInfo(&st, nullptr), ZR_ERR_PARAMS);
    TSInfoInitNum none{1, 1, 1, 1, 1, 1};
    ASSERT_EQ(TSP_InitTSInfo(&st, &none), ZR_SUCCESS); // releases the previous arrays
    EXPECT_EQ(st.u32OutputTSNumber, 1u);
    free(st.pOutputTS);
    free(st.pOutputProgram);
    free(st.pOutputPID);
    free(st.pOutputTable);
    free(st.pDescriptor);
    free(st.pOutputBypassTS);
}

TEST_F(TspDb, SingleFreeSearchGrowsByStep)
{
    for (U16 i = 0; i < 8; i++)
        live->pOutputTS[i].u8ValidFlag = 1;
    U16 idx = 0;
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), 0u);
    EXPECT_EQ(idx, 8);
    EXPECT_EQ(live->u32OutputTSNumber, 16u);
    for (U16 i = 8; i < 16; i++)
        EXPECT_EQ(live->pOutputTS[i].u8ValidFlag, 0) << i;
    live->pOutputTS[3].u8ValidFlag = 0;
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), 0u);
    EXPECT_EQ(idx, 3);
    EXPECT_EQ(TSP_GetUnusedOutputTSIndex(nullptr, live), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_GetUnusedOutputDescIndex(&idx, nullptr), TSP_ERR_INPUT);

    // The pass-through array starts empty in the factory database and grows by 8.
    ASSERT_EQ(TSP_GetUnusedOutputBypassTsIndex(&idx, live), 0u);
    EXPECT_EQ(idx, 0);
    EXPECT_EQ(live->u32OutputBypassTSNumber, 8u);
}

TEST_F(TspDb, GrowthStopsAtTheLargestLinkableIndex)
{
    TSInfoInitNum num{0xFFF8, 0, 0, 0, 0, 0};
    ASSERT_EQ(TSP_InitTSInfo(live, &num), ZR_SUCCESS);
    for (U32 i = 0; i < live->u32OutputTSNumber; i++)
        live->pOutputTS[i].u8ValidFlag = 1;
    U16 idx = 0;
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), 0u);
    EXPECT_EQ(idx, 0xFFF8);
    EXPECT_EQ(live->u32OutputTSNumber, 0xFFFFu);
    for (U32 i = 0; i < live->u32OutputTSNumber; i++)
        live->pOutputTS[i].u8ValidFlag = 1;
    EXPECT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), TSP_ERR_NO_MEMORY);
    EXPECT_EQ(live->u32OutputTSNumber, 0xFFFFu);
}

TEST_F(TspDb, ListFreeSearchPrefersOldHoles)
{
    for (U16 i = 0; i < 100; i++)
        live->pOutputProgram[i].u8ValidFlag = (i == 5 || i == 97) ? 0 : 1;
    ASSERT_EQ(TSP_GetUnusedOutputProgList(&list, live, 3), 0u);
    EXPECT_EQ(List(list), (std::vector<U16>{5, 97, 100}));
    EXPECT_EQ(live->u32OutputProgramNumber, 200u);

    list.u16IndexListNum = 77;
    EXPECT_EQ(TSP_GetUnusedOutputProgList(&list, live, 0), 0u);
    EXPECT_EQ(list.u16IndexListNum, 77); // untouched
    EXPECT_EQ(TSP_GetUnusedOutputProgList(&list, live, 101), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_GetUnusedOutputPIDIndex(&list, live, 501), TSP_ERR_INPUT);
    // More than an index list holds would overrun it.
    EXPECT_EQ(TSP_GetUnusedOutputPIDIndex(&list, live, 301), TSP_ERR_INPUT);
    EXPECT_EQ(live->u32OutputPIDNumber, 500u);

    ASSERT_EQ(TSP_GetUnusedOutputTableIndexList(&list, live, 250), ZR_SUCCESS);
    EXPECT_EQ(live->u32OutputTableNumber, 300u);
    ASSERT_EQ(list.u16IndexListNum, 250);
    EXPECT_EQ(list.aru16IndexList[0], 0);
    EXPECT_EQ(list.aru16IndexList[249], 249);
    EXPECT_EQ((U32)TSP_GetUnusedOutputTableIndexList(&list, live, 301), TSP_ERR_INPUT);
}

TEST_F(TspDb, Initialisers)
{
    Output_TSProgram p{};
    p.u16MajorChannelNum = 5000;
    p.u16MinorChannelNum = 1023;
    p.u16OldServiceID = 9;
    p.u16OldPMTPID = 0x100;
    p.u8ServiceType = 0x19;
    ASSERT_EQ(TSP_InitOneOutputTSProgram(&p), 0u);
    EXPECT_EQ(p.u16MajorChannelNum, 2);
    EXPECT_EQ(p.u16MinorChannelNum, 1023);
    EXPECT_EQ(p.u16ServiceID, 9);
    EXPECT_EQ(p.u16PMTPID, 0x100);
    EXPECT_EQ(p.u8ServiceType, 0x19);
    EXPECT_EQ(p.u16ProgramInfoDescriptorIndex, 0xFFFF);
    g_u32ModulationMode = 6; // ATSC: every program starts as a digital TV service
    ASSERT_EQ(TSP_InitOneOutputTSProgram(&p), 0u);
    EXPECT_EQ(p.u8ServiceType, 2);

    Output_TSPID d{};
    d.u16OldPID = 0x101;
    ASSERT_EQ(TSP_InitOneOutputTSPID(&d), 0u);
    EXPECT_EQ(d.u16PID, 0x101);
    EXPECT_EQ(d.u32NextPIDIndex, 0xFFFFFFFFu);

    Output_TSStream s{};
    s.u16DescriptorNum = 3;
    s.u8NITGenerate = 1;
    ASSERT_EQ(TSP_InitOneOutputTSStream(&s), 0u);
    EXPECT_EQ(s.u8ModulationMode, 4);
    EXPECT_EQ(s.u16DescriptorNum, 3); // left as the caller filled it
    EXPECT_EQ(s.u8NITGenerate, 1);
    EXPECT_EQ(s.u16OtherSDTIndex, 0xFFFF);

    EXPECT_EQ(TSP_InitOneOutputTSStream(nullptr), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_InitOneOutputTable(nullptr), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_InitOneOutputTSDescriptor(nullptr), TSP_ERR_INPUT);
}

TEST_F(TspDb, WorkingCopyOpenCopyAndCommit)
{
    Output_TSInfo* work = TSP_GetTempTSParam();
    for (U16 i = 0; i < 8; i++)
        Stream(i, i);
    U16 idx;
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), 0u); // live now 16 streams
    Stream(8, 8);
    work->pOutputTS[0].u8ValidFlag = 1;
    work->pOutputTS[0].u16ChannelID = 77;
    ASSERT_EQ(TSP_InitOutputTempTSInfo(), 0u);
    EXPECT_EQ(work->u32OutputTSNumber, 16u);
    EXPECT_EQ(work->pOutputTS[0].u8ValidFlag, 0); // zero-filled before the copy
    TSP_CopyOutputTempTSInfo();
    EXPECT_EQ(work->pOutputTS[8].u16ChannelID, 8);

    // Edit, while an input card makes the live database grow again: the
    // commit is refused, changes nothing and reopens the working copy.
    work->pOutputTS[2].u16TransportStreamID = 0x4242;
    EXPECT_TRUE(TSP_IsTempTSInfoEdited());
    for (U16 i = 9; i < 16; i++)
        Stream(i, i);
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, live), 0u);
    EXPECT_EQ(idx, 16);
    Stream(16, 16);
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    EXPECT_NE(live->pOutputTS[2].u16TransportStreamID, 0x4242);
    EXPECT_EQ(live->pOutputTS[9].u8ValidFlag, 1);
    EXPECT_EQ(live->pOutputTS[16].u8ValidFlag, 1);
    EXPECT_FALSE(TSP_IsTempTSInfoEdited());
    EXPECT_EQ(work->u32OutputTSNumber, live->u32OutputTSNumber);
    EXPECT_EQ(work->pOutputTS[16].u16ChannelID, 16);

    // The same edit over the reopened copy is committed; the input cards'
    // streams stay.
    work->pOutputTS[2].u16TransportStreamID = 0x4242;
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->pOutputTS[2].u16TransportStreamID, 0x4242);
    EXPECT_EQ(live->pOutputTS[16].u8ValidFlag, 1);
    EXPECT_EQ(tspwire::CheckInvariants(live), "");

    // Without an edit nothing is copied, whatever the live database did.
    Stream(17, 17);
    live->pOutputTS[2].u16TransportStreamID = 7;
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->pOutputTS[17].u8ValidFlag, 1);
    EXPECT_EQ(live->pOutputTS[2].u16TransportStreamID, 7);

    // A working copy grown by the edit makes the live arrays follow it.
    const U32 cap = work->u32OutputTSNumber;
    for (U32 i = 18; i < cap; i++)
        Stream((U16)i, (U16)i);
    TSP_CopyOutputTempTSInfo();
    ASSERT_EQ(TSP_GetUnusedOutputTSIndex(&idx, work), 0u);
    ASSERT_EQ(idx, cap);
    work->pOutputTS[idx].u8ValidFlag = 1;
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->u32OutputTSNumber, work->u32OutputTSNumber);
    EXPECT_GT(live->u32OutputTSNumber, cap);
    EXPECT_EQ(live->pOutputTS[cap].u8ValidFlag, 1);

    // A database freed under the edit of a page that names no revision (a
    // loaded file) reports the edit as not applied, once; a commit of a
    // closed copy copies nothing.
    TSP_BeginTempEdit(false);
    work->pOutputTS[3].u16TransportStreamID = 0x4343;
    TSP_EndTempEdit();
    TSInfoInitNum small{8, 0, 0, 0, 0, 0};
    ASSERT_EQ(TSP_FreeOutputTSInfo(), 0u);
    ASSERT_EQ(TSP_InitTSInfo(live, &small), ZR_SUCCESS);
    Stream(1, 1);
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    EXPECT_NE(live->pOutputTS[3].u16TransportStreamID, 0x4343);
    EXPECT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->pOutputTS[1].u8ValidFlag, 1);

    // Rollback follows the live capacities too.
    ASSERT_EQ(TSP_InitTSInfo(live, &small), ZR_SUCCESS);
    Stream(1, 1).u16TransportStreamID = 5;
    TSP_CopyOutputTempTSInfo();
    EXPECT_EQ(work->u32OutputTSNumber, 8u);
    EXPECT_EQ(work->pOutputTS[1].u16TransportStreamID, 5);
}

TEST_F(TspDb, RevisionStepsWithWhatThePagesShowAndNotesOnlyUnreportedPlainEdits)
{
    Output_TSInfo* work = TSP_GetTempTSParam();
    Stream(0, 0);
    TSP_CopyOutputTempTSInfo();
    const U32 r0 = TSP_GetTempRevision();
    // The apply step's versions and change flags show nothing: no step. An
    // edit and its undoing are two states, each named by its own revision.
    work->pOutputTS[0].u8PATVersionNumber = 9;
    work->pOutputTS[0].u8SDTChangeFlag = 1;
    EXPECT_EQ(TSP_GetTempRevision(), r0);
    EXPECT_EQ(TSP_CheckTempEdit(&r0), 0u);
    work->pOutputTS[0].u16TransportStreamID = 0x77;
    const U32 r1 = TSP_GetTempRevision();
    work->pOutputTS[0].u16TransportStreamID = live->pOutputTS[0].u16TransportStreamID;
    EXPECT_NE(r1, r0);
    EXPECT_NE(TSP_GetTempRevision(), r1);
    EXPECT_EQ(TSP_CheckTempEdit(&r0), TSP_ERR_LIVE_CHANGED);

    // A page that names no revision: its apply refused for limits (the
    // check) is told so; a reload then drops nothing unreported.
    TSP_CopyOutputTempTSInfo();
    TSP_BeginTempEdit(false);
    work->pOutputTS[0].u16TransportStreamID = 0x78;
    TSP_EndTempEdit();
    EXPECT_EQ(TSP_CopyOutputTSInfo([](const Output_TSInfo*) { return (U32)TSP_ERR_DOES_NOT_FIT; }),
              TSP_ERR_DOES_NOT_FIT);
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTempTSInfo();
    TSP_BeginTempEdit(false);
    work->pOutputTS[0].u16TransportStreamID = 0x79;
    TSP_EndTempEdit();
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->pOutputTS[0].u16TransportStreamID, 0x79);

    // Edits of pages that name their revision, thrown away, leave no note;
    // a plain apply over them is refused and keeps them for their page.
    U32 r = TSP_GetTempRevision();
    TSP_BeginTempEdit(true);
    work->pOutputTS[0].u16TransportStreamID = 0x7A;
    TSP_EndTempEdit();
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    EXPECT_TRUE(TSP_IsTempTSInfoEdited());
    TSP_CopyOutputTempTSInfo();
    EXPECT_EQ(TSP_CommitTempTSInfo(r), TSP_ERR_LIVE_CHANGED) << "the load stepped the revision";
    TSP_BeginTempEdit(false);
    work->pOutputTS[0].u16TransportStreamID = 0x7B;
    TSP_EndTempEdit();
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);

    // A plain edit thrown away: the next plain apply is refused and drops
    // what the copy holds, and the next plain request before a load too.
    TSP_BeginTempEdit(false);
    work->pOutputTS[0].u16TransportStreamID = 0x7C;
    TSP_EndTempEdit();
    TSP_CopyOutputTempTSInfo();
    TSP_BeginTempEdit(false);
    work->pOutputTS[0].u16TransportStreamID = 0x7D;
    TSP_EndTempEdit();
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    EXPECT_FALSE(TSP_IsTempTSInfoEdited());
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    EXPECT_EQ(TSP_CopyOutputTSInfo(), 0u);
    EXPECT_EQ(live->pOutputTS[0].u16TransportStreamID, 0x7B);
}

TEST_F(TspDb, ProgramWalk)
{
    Stream(0, 0);
    ChainPrograms(0, {4, 2});
    live->pOutputTS[0].u16ProgramNum = 3; // count disagrees: logged only
    ASSERT_EQ(TSP_GetOutTSProgIndexList(0, live, &list), 0u);
    EXPECT_EQ(List(list), (std::vector<U16>{4, 2}));
    U16 last = 0;
    ASSERT_EQ(TSP_GetOutTSProgLastIndex(0, live, &last), 0u);
    EXPECT_EQ(last, 2);

    Stream(1, 1);
    ASSERT_EQ(TSP_GetOutTSProgLastIndex(1, live, &last), 0u);
    EXPECT_EQ(last, 0xFFFF);
    EXPECT_EQ(TSP_GetOutTSProgLastIndex(8, live, &last), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_GetOutTSProgIndexList(0, nullptr, &list), TSP_ERR_INPUT);

    live->pOutputProgram[2].u8ValidFlag = 0; // chain through a free record
    EXPECT_EQ(TSP_GetOutTSProgIndexList(0, live, &list), TSP_ERR_INPUT);
    live->pOutputTS[1].u16ProgramNum = 1;
    live->pOutputTS[1].u16ProgramIndex = 100; // head outside the array
    EXPECT_EQ(TSP_GetOutTSProgIndexList(1, live, &list), TSP_ERR_LIST_RANGE);

    TSInfoInitNum num{0, 400, 0, 0, 0, 0};
    ASSERT_EQ(TSP_InitTSInfo(live, &num), ZR_SUCCESS);
    Stream(1, 1);
    std::vector<U16> many;
    for (U16 i = 0; i < 301; i++)
        many.push_back(i);
    ChainPrograms(1, many);
    EXPECT_EQ(TSP_GetOutTSProgIndexList(1, live, &list), TSP_ERR_LIST_RANGE);
    // A loop is cut off by the same bound.
    ChainPrograms(1, {7, 8});
    live->pOutputProgram[8].u16NextProgramIndex = 7;
    EXPECT_EQ(TSP_GetOutTSProgIndexList(1, live, &list), TSP_ERR_LIST_RANGE);
}

TEST_F(TspDb, PIDWalks)
{
    Output_TSStream& ts = Stream(0, 0);
    ChainPIDs(ts.u16EMMPIDIndex, ts.u16EMMPIDNumber, PID_TYPE_EMMPID, {3, 1});
    ASSERT_EQ(TSP_GetOutTSEMMPIDIndexList(0, live, &list), 0u);
    EXPECT_EQ(List(list), (std::vector<U16>{3, 1}));
    live->pOutputPID[1].u8PIDType = PID_TYPE_OTHERPID;
    EXPECT_EQ(TSP_GetOutTSEMMPIDIndexList(0, live, &list), TSP_ERR_INPUT);

    ChainPrograms(0, {0});
    Output_TSProgram& p = live->pOutputProgram[0];
    p.u16PSECMPIDNumber = 1;
    p.u16PSECMPIDIndex = 600; // beyond the PID array: an empty list
    ASSERT_EQ(TSP_GetOutProgPSECMPIDIndexList(0, live, &list), 0u);
    EXPECT_EQ(list.u16IndexListNum, 0);
    ts.u16EMMPIDIndex = 600; // the same fault in the EMM list is an error
    EXPECT_EQ(TSP_GetOutTSEMMPIDIndexList(0, live, &list), TSP_ERR_LIST_RANGE);

    // Elementary streams: a filtered one is left out of the list, but the tail
    // used for appending is the real end of the chain.
    ChainPIDs(p.u16PIDIndex, p.u16ESNumber, PID_TYPE_ESPID, {10, 11, 12});
    live->pOutputPID[11].u8PIDFilterFlag = 1;
    ASSERT_EQ(TSP_GetOutProgESPIDIndexList(0, live, &list), 0u);
    EXPECT_EQ(List(list), (std::vector<U16>{10, 12}));
    live->pOutputPID[11].u8PIDFilterFlag = 0;
    live->pOutputPID[12].u8PIDFilterFlag = 1;
    U16 last = 0;
    ASSERT_EQ(TSP_GetOutProgPIDListLastIndex(0, live, &last), 0u);
    EXPECT_EQ(last, 12);
    live->pOutputPID[12].u32NextPIDIndex = 12; // a loop of filtered streams ends
    EXPECT_EQ(TSP_GetOutProgESPIDIndexList(0, live, &list), TSP_ERR_LIST_RANGE);
    live->pOutputPID[12].u32NextPIDIndex = 0xFFFFFFFF;
    p.u16ESNumber = 0;
    ASSERT_EQ(TSP_GetOutProgESPIDIndexList(0, live, &list), 0u);
    EXPECT_EQ(list.u16IndexListNum, 0);

    Output_TSPID& es = live->pOutputPID[10];
    ChainPIDs(es.u16ESECMPIDIndex, es.u16ESECMPIDNumber, PID_TYPE_ES_ECMPID, {20});
    ASSERT_EQ(TSP_GetOutESECMPIDLastIndex(10, live, &last), 0u);
    EXPECT_EQ(last, 20);
    EXPECT_EQ(TSP_GetOutESECMPIDLastIndex(500, live, &last), TSP_ERR_INPUT);
}

TEST_F(TspDb, DescriptorAndTableWalks)
{
    Output_TSStream& ts = Stream(0, 0);
    for (U16 i : {4, 5, 6})
        TSP_InitOneOutputTSDescriptor(&live->pDescriptor[i]);
    ts.u16DescriptorIndex = 4;
    live->pDescriptor[4].u16NextDescriptorIndex = 5;
    live->pDescriptor[5].u16NextDescriptorIndex = 6;
    live->pDescriptor[5].u8ValidFlag = 0;
    ts.u16DescriptorNum = 2;
    ASSERT_EQ(TSP_GetOutTSDescIndexList(0, live, &list), 0u);
    EXPECT_EQ(List(list), (std::vector<U16>{4, 6}));
    ts.u16DescriptorNum = 3;
    EXPECT_EQ(TSP_GetOutTSDescIndexList(0, live, &list), TSP_ERR_NOT_ENOUGH);
    live->pDescriptor[6].u16NextDescriptorIndex = 5; // loop through a free record
    live->pDescriptor[5].u16NextDescriptorIndex = 6;
    EXPECT_EQ(TSP_GetOutTSDescIndexList(0, live, &list), TSP_ERR_LIST_RANGE);

    IndexInfoList_t l{};
    ASSERT_EQ(TSP_GetOutTSNITTableIndexList(0, live, &l), 0u);
    EXPECT_EQ(l.u16IndexListNum, 0);
    for (U16 i : {7, 8}) {
        TSP_InitOneOutputTable(&live->pOutputTable[i]);
        live->pOutputTable[i].u16Index = i;
    }
    ts.u16TOTIndex = 7;
    live->pOutputTable[7].u16NextIndex = 8;
    live->pOutputTable[8].u16NextIndex = 4000; // neither 0xFFFF nor inside the array
    ASSERT_EQ(TSP_GetOutTSTOTTableIndexList(0, live, &l), 0u);
    EXPECT_EQ(List(l), (std::vector<U16>{7, 8}));
    ts.u16BATIndex = 100;
    EXPECT_EQ(TSP_GetOutTSBATTableIndexList(0, live, &l), TSP_ERR_LIST_RANGE);
    live->pOutputTable[8].u8ValidFlag = 0;
    EXPECT_EQ(TSP_GetOutTSTOTTableIndexList(0, live, &l), TSP_ERR_INPUT);
}

TEST_F(TspDb, KeyLookups)
{
    Stream(3, 2);
    Stream(5, 2);
    U16 idx = 0;
    ASSERT_EQ(TSP_GetOutputTSIndexByTS(2, &idx), 0u);
    EXPECT_EQ(idx, 3);
    ASSERT_EQ(TSP_GetOutputTSIndexByProgram(9, &idx), 0u);
    EXPECT_EQ(idx, 0xFFFF);
    EXPECT_EQ(TSP_GetOutputTSIndexByTS(2, nullptr), TSP_ERR_INPUT);

    // ES-ECM records are found by their own identifier.
    Output_TSPID& ecm = live->pOutputPID[9];
    TSP_InitOneOutputTSPID(&ecm);
    ecm.u8SourceSlotID = 4;
    ecm.u16PIDID = 30;
    ecm.u16ESECMPIDIndex = 31;
    ecm.u8PIDType = PID_TYPE_ES_ECMPID;
    ASSERT_EQ(TSP_GetOutputPIDIndexByPID(4, 0, 0, 31, &idx), 0u);
    EXPECT_EQ(idx, 9);
    ASSERT_EQ(TSP_GetOutputPIDIndexByPID(4, 0, 0, 30, &idx), 0u);
    EXPECT_EQ(idx, 0xFFFF);

    U8 slot = 0;
    U16 ch = 0;
    live->pOutputTS[3].u8SlotID = 7;
    ASSERT_EQ(TSP_GetDestInfoByOutTSIndex(3, live, &slot, &ch), 0u);
    EXPECT_EQ(slot, 7);
    EXPECT_EQ(ch, 2);
    live->pOutputTS[3].u8SlotID = 17;
    EXPECT_EQ(TSP_GetDestInfoByOutTSIndex(3, live, &slot, &ch), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_GetDestInfoByOutTSIndex(4, live, &slot, &ch), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_GetDestInfoByOutTSIndex(8, live, &slot, &ch), TSP_ERR_INPUT);

    // Find or create: a new stream in ISDB-T mode, on a cleared record.
    g_u32ModulationMode = 5;
    live->pOutputTS[0].u16DescriptorNum = 4; // left behind by an earlier stream
    ASSERT_EQ(TSP_GetOutputTSIndexByPID(6, &idx), 0u);
    EXPECT_EQ(idx, 0);
    EXPECT_EQ(live->pOutputTS[0].u8ValidFlag, 1);
    EXPECT_EQ(live->pOutputTS[0].u16OriginalNetworkID, 700);
    EXPECT_EQ(live->pOutputTS[0].u16DescriptorNum, 0);
    EXPECT_EQ(live->pOutputTS[0].u16DescriptorIndex, 0xFFFF);
    ASSERT_EQ(TSP_GetOutputTSIndexByPID(2, &idx), 0u);
    EXPECT_EQ(idx, 3);
}

} // namespace
