// Deleting output-stream records: the cascade by index, the input cards'
// deletion messages and the slot bookkeeping, each leaving a database whose
// links hold and in which nothing unreachable stays valid.
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include "support/si_fixture.h"
#include "support/testboard.h"
#include "support/tsp_lookup.h"
#include "support/tsp_wire.h"
#include <cstring>
#include <gtest/gtest.h>
#include <map>
#include <tuple>
#include <unistd.h>

using namespace tspwire;

namespace {

Bytes Del(U8 slot, U16 srcCh, U16 ch, U16 id, U8 second = 0)
{
    Bytes b(8, 0);
    Put8(b, 0, slot);
    Put8(b, 1, second);
    Put16(b, 2, srcCh);
    Put16(b, 4, ch);
    Put16(b, 6, id);
    return b;
}

// 262 records: slot, destination slot, reserved, source channel, channel.
Bytes DelTS(U8 slot, U16 srcCh, U16 ch)
{
    Bytes b(8, 0);
    Put8(b, 0, slot);
    Put8(b, 1, 9);
    Put16(b, 4, srcCh);
    Put16(b, 6, ch);
    return b;
}

size_t ValidRecords(const Output_TSInfo* db)
{
    size_t n = 0;
    for (U32 i = 0; i < db->u32OutputTSNumber; i++)
        n += db->pOutputTS[i].u8ValidFlag == 1;
    for (U32 i = 0; i < db->u32OutputProgramNumber; i++)
        n += db->pOutputProgram[i].u8ValidFlag == 1;
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++)
        n += db->pOutputPID[i].u8ValidFlag == 1;
    for (U32 i = 0; i < db->u32OutputTableNumber; i++)
        n += db->pOutputTable[i].u8ValidFlag == 1;
    for (U32 i = 0; i < db->u32OutputDescriptorNumber; i++)
        n += db->pDescriptor[i].u8ValidFlag == 1;
    return n;
}

class TspDelete : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_u32ModulationMode = 0;
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        db = TSP_GetTSParam();
        SSD_FlushSubMessages();
        Resource_GetHandle(5)->u8MuxPIDEnable = 1;
    }
    void TearDown() override
    {
        EXPECT_EQ(CheckInvariants(db), "");
        TSP_FreeOutputTSInfo();
    }
    // A stream on channel ch fed from slot 5: two programs with a PCR, two
    // elementary streams (the second filtered), an ES-ECM and a program ECM,
    // plus an EMM, an other PID, a NIT section and a long descriptor.
    void Fill(U16 ch = 0, U16 idBase = 0)
    {
        ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(ch)})), 0u);
        for (U16 g = 1; g <= 2; g++) {
            Prog p;
            p.ch = ch;
            p.progId = (U16)(idBase + g);
            p.sid = (U16)(idBase + 100 + g);
            ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)})), 0u);
            std::vector<Bytes> pids;
            auto pid = [&](U16 id, U8 type, U16 oldPid, U8 filter = 0, U16 esEcm = 0) {
                Pid d;
                d.ch = ch;
                d.progId = p.progId;
                d.pidId = id;
                d.type = type;
                d.oldPid = oldPid;
                d.filter = filter;
                d.esEcmId = esEcm;
                pids.push_back(PID(d));
            };
            const U16 b = (U16)(idBase + g * 10);
            pid(b + 1, PID_TYPE_PCRPID, 0x100 + b);
            pid(b + 2, PID_TYPE_ESPID, 0x101 + b);
            pid(b + 3, PID_TYPE_ESPID, 0x102 + b, 1);
            pid(b + 2, PID_TYPE_ES_ECMPID, 0x103 + b, 0, b + 4);
            pid(b + 5, PID_TYPE_PS_ECMPID, 0x104 + b);
            ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg(pids)), 0u);
        }
        Pid emm;
        emm.ch = ch;
        emm.pidId = (U16)(idBase + 50);
        emm.type = PID_TYPE_EMMPID;
        Pid other = emm;
        other.pidId = (U16)(idBase + 51);
        other.type = PID_TYPE_OTHERPID;
        ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(emm), PID(other)})), 0u);
        ASSERT_EQ(Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(ch, 5, 0)})), 0u);
        ASSERT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, ch, (U16)(idBase + 1), 300)})), 0u);
        ASSERT_EQ(CheckInvariants(db), "");
    }
    Output_TSInfo* db = nullptr;
};

TEST_F(TspDelete, CascadeOfAStreamLeavesNoValidRecord)
{
    Fill();
    ASSERT_GT(ValidRecords(db), 15u);
    const U16 nit = db->pOutputTS[StreamOf(0)].u16NITIndex;
    EXPECT_EQ(TSP_DelOutputTS(StreamOf(0), db), ZR_SUCCESS);
    EXPECT_EQ(ValidRecords(db), 0u);
    EXPECT_EQ(db->pOutputTable[nit].u16Index, 0xFFFF);
    EXPECT_EQ(TSP_DelOutputTS(0xFFFF, db), (zrErrCode)TSP_ERR_INPUT);

    // A count that disagrees with its list does not keep the stream alive.
    Fill();
    db->pOutputTS[StreamOf(0)].u16OtherPIDNum += 2;
    EXPECT_EQ(TSP_DelOutputTS(StreamOf(0), db), ZR_SUCCESS);
    EXPECT_EQ(ValidRecords(db), 0u);
}

TEST_F(TspDelete, ClearingAStreamKeepsTablesOfAnotherStream)
{
    Fill(0);
    Fill(1, 200);
    // A table of stream 1 written before tables recorded their stream.
    IndexInfoList_t l;
    ASSERT_EQ(TSP_GetUnusedOutputTableIndexList(&l, db, 1), ZR_SUCCESS);
    TSTable& t = db->pOutputTable[l.aru16IndexList[0]];
    TSP_InitOneOutputTable(&t);
    t.u16Index = l.aru16IndexList[0];
    t.u16TSIndex = StreamOf(0);
    db->pOutputTS[StreamOf(1)].u16TOTIndex = t.u16Index;
    const U16 s1 = StreamOf(1);
    EXPECT_EQ(TSP_DelOutputTS(StreamOf(0), db), ZR_SUCCESS);
    EXPECT_EQ(t.u8ValidFlag, 1u);
    t.u16TSIndex = s1; // as a table written today names its stream
}

TEST_F(TspDelete, ProgramCascadeKeepsTheOtherProgramAndSetsNoFlag)
{
    Fill();
    const U16 ts = StreamOf(0), p1 = ProgramOf(1), p2 = ProgramOf(2);
    db->pOutputTS[ts].u8PATChangeFlag = 0;
    EXPECT_EQ(TSP_DelOutputProg(p1, db), ZR_SUCCESS);
    EXPECT_EQ(db->pOutputTS[ts].u16ProgramIndex, p2);
    EXPECT_EQ(db->pOutputTS[ts].u16ProgramNum, 1u);
    EXPECT_EQ(db->pOutputTS[ts].u8PATChangeFlag, 0u);
    EXPECT_EQ(db->pOutputTS[ts].u16DescriptorNum, 0u);
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++) {
        if (db->pOutputPID[i].u8ValidFlag == 1) {
            EXPECT_NE(db->pOutputPID[i].u32ProgramIndex, p1) << "PID " << i << " outlived its program";
        }
    }
}

TEST_F(TspDelete, UnlinkersAndPredecessorSearches)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    std::vector<Bytes> others;
    for (U16 id = 1; id <= 3; id++) {
        Pid d;
        d.pidId = id;
        d.type = PID_TYPE_OTHERPID;
        others.push_back(PID(d));
    }
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg(others)), 0u);
    const U16 ts = StreamOf(0), a = PIDOf(1), b = PIDOf(2), c = PIDOf(3);
    U16 prev = 0;
    EXPECT_EQ(TSP_GetPrevOutputPIDIndex(c, db, &prev), 0u);
    EXPECT_EQ(prev, b);
    EXPECT_EQ(TSP_DelOneOutputOtherPID(ts, a, db), 0u); // head moves on
    EXPECT_EQ(db->pOutputTS[ts].u16OtherPIDIndex, b);
    EXPECT_EQ(db->pOutputPID[a].u32PIDIndex, 0xFFFFu);
    EXPECT_EQ(TSP_DelOneOutputOtherPID(ts, c, db), 0u); // tail: predecessor relinked
    EXPECT_EQ(db->pOutputTS[ts].u16OtherPIDNum, 1u);
    EXPECT_EQ(db->pOutputPID[b].u32NextPIDIndex & 0xFFFF, 0xFFFFu);
    EXPECT_EQ(TSP_DelOneOutputEMMPID(ts, b, db), TSP_ERR_NOT_IN_LIST);
    EXPECT_EQ(db->pOutputPID[b].u8ValidFlag, 1u);

    // A PMT-type record has no list: refused, nothing changed.
    Output_TSPID& pmt = db->pOutputPID[a];
    pmt.u8ValidFlag = 1;
    pmt.u8PIDType = PID_TYPE_PMTPID;
    EXPECT_EQ(TSP_DelOutputPID(a, db), ZR_ERR_TSP_TS_ERROR);
    EXPECT_EQ(pmt.u8ValidFlag, 1u);
    memset(&pmt, 0, sizeof(pmt));
}

TEST_F(TspDelete, IdentityMessagesOfEachKind)
{
    Fill();
    const U16 ts = StreamOf(0);
    // 263: a missing program only logs; the second record is still deleted.
    db->pOutputTS[ts].u8PATChangeFlag = db->pOutputTS[ts].u8SDTChangeFlag = 0;
    EXPECT_EQ(Send(IPCOMM_DEL_PROGRAM, Msg({Del(5, 1, 0, 77), Del(5, 1, 0, 2)})), 0u);
    EXPECT_EQ(ProgramOf(2), 0xFFFF);
    EXPECT_EQ(db->pOutputTS[ts].u8PATChangeFlag, 1u);
    EXPECT_EQ(db->pOutputTS[ts].u8SDTChangeFlag, 1u);
    EXPECT_EQ(PIDOf(23), 0xFFFF) << "the filtered ES went with its program";

    // 274: a PCR is never deleted, its flag stored; an ES with flag 1 stays,
    // and its program's PMT is regenerated.
    const U16 p1 = ProgramOf(1);
    db->pOutputProgram[p1].u8PMTChangeFlag = 0;
    EXPECT_EQ(Send(IPCOMM_DEL_PID, Msg({Del(5, 1, 0, 11, 2), Del(5, 1, 0, 12, 1)})), 0u);
    EXPECT_EQ(db->pOutputPID[PIDOf(11)].u8PIDFilterFlag, 2u);
    EXPECT_EQ(db->pOutputPID[PIDOf(12)].u8PIDFilterFlag, 1u);
    EXPECT_EQ(db->pOutputProgram[p1].u8PMTChangeFlag, 1u);
    // Flag 2 deletes the ES that is filtered now, with its ES-ECM.
    EXPECT_EQ(Send(IPCOMM_DEL_PID, Msg({Del(5, 1, 0, 12, 2)})), 0u);
    EXPECT_EQ(PIDOf(12), 0xFFFF);
    EXPECT_EQ(PIDOf(14), 0xFFFF);
    // An EMM deletion regenerates the CAT.
    db->pOutputTS[ts].u8CATChangeFlag = 0;
    EXPECT_EQ(Send(IPCOMM_DEL_PID, Msg({Del(5, 1, 0, 50, 2)})), 0u);
    EXPECT_EQ(db->pOutputTS[ts].u8CATChangeFlag, 1u);

    // 289: the long descriptor goes, the PMT changes.
    db->pOutputProgram[p1].u8PMTChangeFlag = 0;
    EXPECT_EQ(Send(IPCOMM_DEL_DESCRIPTOR, Msg({Del(5, 1, 0, 1)})), 0u);
    EXPECT_EQ(db->pOutputProgram[p1].u16ProgramInfoDescriptorIndex, 0xFFFF);
    EXPECT_EQ(db->pOutputProgram[p1].u16ProgramInfoLength, 0u);
    EXPECT_EQ(db->pOutputProgram[p1].u8PMTChangeFlag, 1u);

    // A message shorter than its count is refused whole.
    Bytes shortMsg = Msg({Del(5, 1, 0, 1), Del(5, 1, 0, 1), Del(5, 1, 0, 1)});
    shortMsg.resize(21);
    EXPECT_EQ(Send(IPCOMM_DEL_PROGRAM, shortMsg), TSP_ERR_MSG_LENGTH);
    EXPECT_NE(ProgramOf(1), 0xFFFF);

    // Last program, then last other PID: the stream goes with them.
    EXPECT_EQ(Send(IPCOMM_DEL_PROGRAM, Msg({Del(5, 1, 0, 1)})), 0u);
    EXPECT_EQ(StreamOf(0), ts);
    EXPECT_EQ(Send(IPCOMM_DEL_PID, Msg({Del(5, 1, 0, 51, 2)})), 0u);
    EXPECT_EQ(StreamOf(0), 0xFFFF);
    EXPECT_EQ(ValidRecords(db), 0u);
}

TEST_F(TspDelete, StreamDeletionByInputChannel)
{
    Fill(0);
    Fill(1, 200);
    // A NIT section of another slot stays.
    ASSERT_EQ(Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(0, 6, 1)})), 0u);
    // First record names a channel without a stream: refused, the second not run.
    EXPECT_EQ(Send(IPCOMM_DEL_TS, Msg({DelTS(5, 1, 7), DelTS(5, 1, 1)})), TSP_ERR_INPUT);
    EXPECT_NE(StreamOf(1), 0xFFFF);
    EXPECT_EQ(Send(IPCOMM_DEL_TS, Msg({DelTS(5, 1, 1)})), 0u);
    EXPECT_EQ(StreamOf(1), 0xFFFF);
    EXPECT_EQ(Send(IPCOMM_DEL_TS, Msg({DelTS(5, 1, 0)})), 0u);
    // A stream holding no program or PID goes, its tables with it.
    EXPECT_EQ(StreamOf(0), 0xFFFF);
    EXPECT_EQ(ValidRecords(db), 0u);
}

TEST_F(TspDelete, LastProgramOfASingleProgramCardTakesTheStream)
{
    Fill();
    Resource_GetHandle(5)->u8MuxPIDEnable = 0;
    EXPECT_EQ(Send(IPCOMM_DEL_PROGRAM, Msg({Del(5, 1, 0, 1), Del(5, 1, 0, 2)})), 0u);
    EXPECT_EQ(StreamOf(0), 0xFFFF) << "the EMM and other PID do not keep it";
    EXPECT_EQ(ValidRecords(db), 0u);
    Resource_GetHandle(5)->u8MuxPIDEnable = 1;
}

TEST_F(TspDelete, RealErrorsAreReportedAndCADescriptorsFollowTheirECM)
{
    Fill();
    // The program ECM is named by a CA descriptor in the program information.
    const U16 p2 = ProgramOf(2);
    const U16 ecm = PIDOf(25);
    const U16 caPid = db->pOutputPID[ecm].u16OldPID;
    const U8 ca[] = {0x09, 0x04, 0x0B, 0x00, (U8)(0xE0 | (caPid >> 8)), (U8)caPid, 0x52, 0x01, 0x07};
    memcpy(db->pOutputProgram[p2].aru8ProgramInfo, ca, sizeof(ca));
    db->pOutputProgram[p2].u16ProgramInfoLength = sizeof(ca);
    EXPECT_EQ(Send(IPCOMM_DEL_PID, Msg({Del(5, 1, 0, 25, 2)})), 0u);
    EXPECT_EQ(db->pOutputProgram[p2].u16ProgramInfoLength, 3u);
    EXPECT_EQ(db->pOutputProgram[p2].aru8ProgramInfo[0], 0x52);

    // A broken ES chain is a real error, not a missing record.
    const U16 es = db->pOutputProgram[p2].u16PIDIndex;
    db->pOutputPID[es].u8PIDType = PID_TYPE_OTHERPID;
    EXPECT_NE(Send(IPCOMM_DEL_PROGRAM, Msg({Del(5, 1, 0, 2)})), 0u);
    db->pOutputPID[es].u8PIDType = PID_TYPE_ESPID;
    // Slot numbers above 16 are refused before anything is looked up.
    EXPECT_EQ(TSP_DelPIDInfoByInput(200, 1, 0, 22, 2), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_ChangeSrcSlotID(5, 40), TSP_ERR_INPUT);
    EXPECT_EQ(ClearOneSlotInfoFromInput(17), TSP_ERR_INPUT);
}

// --- Input-slot bookkeeping ---------------------------------------------

class TspSlots : public TspDelete {
protected:
    void SetUp() override
    {
        TspDelete::SetUp();
        Status_SetSlotID(9);
        Status_SetSubBoardPlugStatus((1u << 2) | (1u << 6));
    }
    void AddProgramFrom(U8 slot, U16 ch, U16 id)
    {
        Prog p;
        p.srcSlot = slot;
        p.ch = ch;
        p.progId = id;
        p.sid = id;
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)})), 0u);
        Pid d;
        d.srcSlot = slot;
        d.ch = ch;
        d.progId = id;
        d.pidId = id;
        ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(d)})), 0u);
    }
    bool Pending(U32 cmd, U8 slot, std::vector<U8>* data = nullptr)
    {
        return SSD_GetPendingPeerMessage(TSP_SlotMessageKey(cmd, slot), data);
    }
};

TEST_F(TspSlots, ChannelClearTellsEachFeedingCardOnceAndCleansEmptySlots)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(3), TS(4)})), 0u);
    AddProgramFrom(2, 3, 1);
    AddProgramFrom(2, 3, 2);
    AddProgramFrom(5, 3, 3);  // slot 5 holds no card
    AddProgramFrom(5, 4, 4);
    AddProgramFrom(9, 3, 5);  // this card's own slot
    g_DelDestChannelNum = 7;
    EXPECT_EQ(TSP_SendDelDestChannelNumToInputBoard(3), ZR_SUCCESS);
    EXPECT_EQ(g_DelDestChannelNum, 1u);
    std::vector<U8> data;
    ASSERT_TRUE(Pending(IPCOMM_SEND_DEL_DESTCHANNEL, 2, &data));
    EXPECT_EQ(data, (std::vector<U8>{3, 0, 0, 0}));
    EXPECT_FALSE(Pending(IPCOMM_SEND_DEL_DESTCHANNEL, 5));
    EXPECT_FALSE(Pending(IPCOMM_SEND_DEL_DESTCHANNEL, 9));
    // Slot 5's programs are gone from every stream, the others stay.
    U16 idx = 0;
    TSP_GetOutputProgramIndexByPID(5, 1, 4, 4, &idx);
    EXPECT_EQ(idx, 0xFFFF);
    EXPECT_EQ(StreamOf(4), 0xFFFF);
    TSP_GetOutputProgramIndexByPID(2, 1, 3, 1, &idx);
    EXPECT_NE(idx, 0xFFFF);
    EXPECT_TRUE(FileExists(plat::Path(PARAMS_TSP_CONFIG_FILE))) << "the clean-up saves";

    // A channel without a stream sends nothing.
    g_DelDestChannelNum = 0;
    EXPECT_EQ(TSP_SendDelDestChannelNumToInputBoard(6), ZR_SUCCESS);
    EXPECT_EQ(g_DelDestChannelNum, 0u);
}

TEST_F(TspSlots, FactoryClearGoesToEveryFeedingSlot)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    AddProgramFrom(1, 0, 1);
    AddProgramFrom(16, 0, 2);
    EXPECT_EQ(TSP_SendClearCmd(), 0u);
    EXPECT_TRUE(Pending(IPCOMM_CLEAR_OUTPUT, 1));
    EXPECT_TRUE(Pending(IPCOMM_CLEAR_OUTPUT, 16));
    EXPECT_FALSE(Pending(IPCOMM_CLEAR_OUTPUT, 2));
}

TEST_F(TspSlots, SlotMoveRepointsEveryRecordAndRebuildsBothChipsTables)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    AddProgramFrom(6, 0, 1);
    Pid d;
    d.srcSlot = 6;
    d.pidId = 2;
    d.progId = 1;
    d.filter = 1;  // a filtered ES moves too
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(d)})), 0u);
    unlink(plat::Path(PARAMS_TSP_CONFIG_FILE).c_str());
    SSD_FlushSubMessages();
    EXPECT_EQ(TSP_ChangeSrcSlotID(6, 9), 0u);
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++) {
        if (db->pOutputPID[i].u8ValidFlag == 1) {
            EXPECT_EQ(db->pOutputPID[i].u8SourceSlotID, 9u) << "PID " << i;
        }
    }
    U16 idx = 0;
    TSP_GetOutputProgramIndexByPID(9, 1, 0, 1, &idx);
    EXPECT_NE(idx, 0xFFFF);
    EXPECT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, nullptr));
    EXPECT_TRUE(FileExists(plat::Path(PARAMS_TSP_CONFIG_FILE)));
}

// A card moved into a slot that already holds records of the same identities:
// one record per identity afterwards, the moved card's (its description is
// the newest), a replaced program going with its streams; what it feeds stays
// on air, every PMT lists each stream once, and the file says the same.
TEST_F(TspSlots, SlotMoveOntoHeldIdentitiesKeepsOneOfEachTheMovedCardsOnAir)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    auto feed = [this](U8 slot, U16 id, U16 sid, const char* name, std::vector<U16> es) {
        Prog p;
        p.srcSlot = slot;
        p.progId = id;
        p.sid = sid;
        p.pmt = (U16)(sid + 0x100);
        p.pcr = es.empty() ? 0x1FFF : (U16)(sid + 0x200 + es[0]);
        p.name = name;
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)})), 0u);
        std::vector<Bytes> recs;
        for (U16 e : es) {
            Pid d;
            d.srcSlot = slot;
            d.progId = id;
            d.pidId = e;
            d.oldPid = (U16)(sid + 0x200 + e);
            recs.push_back(PID(d));
        }
        ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg(recs)), 0u);
    };
    feed(2, 1, 200, "Stale", {1, 7});
    feed(2, 3, 300, "Kept", {3});
    feed(6, 1, 100, "Moved", {1});
    ASSERT_EQ(TSP_MuxProcess(), 0u);
    ASSERT_EQ(TSP_ChangeSrcSlotID(6, 2), 0u);

    auto identities = [](const Output_TSInfo* d, size_t* copies) {
        std::map<std::tuple<U8, U16, U16, U16, U16, U8>, int> seen;
        for (U32 i = 0; i < d->u32OutputProgramNumber; i++) {
            const Output_TSProgram& g = d->pOutputProgram[i];
            if (g.u8ValidFlag == 1)
                seen[{g.u8SourceSlotID, g.u16SourceChannelID, g.u16ChannelID, g.u16ProgramID, 0xFFFF, 0}]++;
        }
        for (U32 i = 0; i < d->u32OutputPIDNumber; i++) {
            const Output_TSPID& r = d->pOutputPID[i];
            if (r.u8ValidFlag == 1)
                seen[{r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID, r.u16PIDID,
                      r.u8PIDType}]++;
        }
        *copies = 0;
        for (const auto& e : seen)
            *copies += (size_t)(e.second - 1);
        return seen.size();
    };
    size_t copies = 9;
    EXPECT_EQ(identities(db, &copies), 4u) << "programs 1 and 3, ES 1 and 3";
    EXPECT_EQ(copies, 0u);
    U16 moved = 0xFFFF;
    TSP_GetOutputProgramIndexByPID(2, 1, 0, 1, &moved);
    ASSERT_NE(moved, 0xFFFF);
    EXPECT_EQ(db->pOutputProgram[moved].u8SourceSlotID, 2u);
    EXPECT_EQ(std::string((const char*)db->pOutputProgram[moved].aru8ServiceName, 5), "Moved");
    EXPECT_TRUE(TSP_PlanProgramOnAir(&db->pOutputProgram[moved]));
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++)
        EXPECT_FALSE(db->pOutputPID[i].u8ValidFlag == 1 && db->pOutputPID[i].u16PIDID == 7) << "the stale ES went";

    // On air: two programs, each PMT naming its one stream once.
    const std::string air = sifx::Decode(sifx::CarouselPackets(StreamOf(0)), true);
    std::map<std::string, int> es;
    for (const std::string& l : sifx::Lines(air, "PMT_ES"))
        es[sifx::Field(l, "program") + "/" + sifx::Field(l, "pid")]++;
    EXPECT_EQ(es.size(), 2u);
    for (const auto& e : es)
        EXPECT_EQ(e.second, es.begin()->second) << e.first << " listed more often than the other stream";
    EXPECT_EQ(es.count("100/" + std::to_string(100 + 0x201)), 1u);

    // The same move again finds nothing to move and changes nothing.
    const std::vector<Output_TSProgram> progs(db->pOutputProgram, db->pOutputProgram + db->u32OutputProgramNumber);
    EXPECT_EQ(TSP_ChangeSrcSlotID(6, 2), 0u);
    EXPECT_EQ(0, memcmp(db->pOutputProgram, progs.data(), progs.size() * sizeof(Output_TSProgram)));

    // The file read back holds the same, one record per identity.
    ASSERT_EQ(PARAMS_VerifyTSPConfigFiles(), ZR_SUCCESS);
    ASSERT_EQ(PARAMS_TSP_Load(), ZR_SUCCESS);
    EXPECT_EQ(identities(db, &copies), 4u);
    EXPECT_EQ(copies, 0u);
}

} // namespace
