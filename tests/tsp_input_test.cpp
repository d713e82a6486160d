// Input cards' record messages, fed as the frame link hands them over.
#include "Parameter/parameters.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_identity.h"
#include "support/tsp_lookup.h"
#include "support/tsp_wire.h"
#include <gtest/gtest.h>

using namespace tspwire;

namespace {

class TspInput : public ::testing::Test {
protected:
    void SetUp() override
    {
        g_u32ModulationMode = 0;
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        db = TSP_GetTSParam();
    }
    void TearDown() override
    {
        EXPECT_EQ(CheckInvariants(db), "");
        TSP_FreeOutputTSInfo();
        g_u32ModulationMode = 0;
    }
    // A byte image of the whole live database, to prove a refusal changed nothing.
    Bytes Snapshot() const
    {
        Bytes b;
        auto add = [&b](const void* p, size_t n) {
            const U8* q = static_cast<const U8*>(p);
            b.insert(b.end(), q, q + n);
        };
        add(db->pOutputTS, db->u32OutputTSNumber * sizeof(Output_TSStream));
        add(db->pOutputProgram, db->u32OutputProgramNumber * sizeof(Output_TSProgram));
        add(db->pOutputPID, db->u32OutputPIDNumber * sizeof(Output_TSPID));
        add(db->pOutputTable, db->u32OutputTableNumber * sizeof(TSTable));
        add(db->pDescriptor, db->u32OutputDescriptorNumber * sizeof(TSDescriptor));
        return b;
    }
    Output_TSInfo* db = nullptr;
};

Prog P(U16 progId, U16 sid, U16 ch = 0)
{
    Prog p;
    p.progId = progId;
    p.sid = sid;
    p.ch = ch;
    return p;
}

Pid D(U16 pidId, U8 type, U16 progId, U16 oldPid, U16 ch = 0)
{
    Pid d;
    d.pidId = pidId;
    d.type = type;
    d.progId = progId;
    d.oldPid = oldPid;
    d.ch = ch;
    return d;
}

TEST_F(TspInput, StreamRecords)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(2, 3, 0x100), TS(2, 3, 0x999), TS(5, 16, 0x105)})), 0u);
    U16 s = StreamOf(2);
    ASSERT_EQ(s, 0);
    const Output_TSStream& ts = db->pOutputTS[s];
    EXPECT_EQ(ts.u16TransportStreamID, 0x100); // the second record of channel 2 is ignored
    EXPECT_EQ(ts.u16NetworkID, 0x55);
    EXPECT_EQ(ts.u16OriginalNetworkID, 0x200);
    EXPECT_EQ(ts.u8SrcSlotID, 5);
    EXPECT_EQ(ts.u16SrcChannelID, 2);
    EXPECT_EQ(ts.u16ProgramNum, 0); // the sender's counts and links are not kept
    EXPECT_EQ(ts.u16ProgramIndex, 0xFFFF);
    EXPECT_EQ(ts.u16DescriptorNum, 0);
    EXPECT_EQ(ts.u16DescriptorIndex, 0xFFFF);
    EXPECT_EQ(ts.u8ModulationMode, 4);
    EXPECT_EQ(ts.u8PATGenerate, 1);
    EXPECT_EQ(StreamOf(5), 1);

    // A later record for the channel leaves the existing stream as it is.
    Bytes before = Snapshot();
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(2, 4, 0x777)})), 0u);
    EXPECT_EQ(Snapshot(), before);

    // A destination slot beyond the back board refuses the whole message.
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(6), TS(7, 17)})), TSP_ERR_INPUT);
    EXPECT_EQ(StreamOf(6), 0xFFFF);
}

TEST_F(TspInput, ProgramsPIDsDescriptorsOfOneInput)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    Prog big = P(2, 200);
    big.progInfoLen = 300;
    big.major = 5000;
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100)), Program(big)})), 0u);
    U16 p1 = ProgramOf(1), p2 = ProgramOf(2);
    ASSERT_EQ(p1, 0);
    ASSERT_EQ(p2, 1);
    const Output_TSProgram& prog = db->pOutputProgram[p1];
    EXPECT_EQ(prog.u16ServiceID, 100);
    EXPECT_EQ(prog.u16PMTPID, 0x100);
    EXPECT_EQ(prog.u16PCRPID, 0x101);
    EXPECT_EQ(prog.u8ServiceNameLen, 4);
    EXPECT_EQ(memcmp(prog.aru8ServiceName, "News", 4), 0);
    EXPECT_EQ(prog.u16ESNumber, 0);
    EXPECT_EQ(prog.u16NextProgramIndex, p2);
    EXPECT_EQ(db->pOutputProgram[p2].u16MajorChannelNum, 2);
    const Output_TSStream& ts = db->pOutputTS[0];
    EXPECT_EQ(ts.u16ProgramNum, 2);
    EXPECT_EQ(ts.u16ProgramIndex, p1);
    EXPECT_EQ(ts.u8PATChangeFlag, 1);
    EXPECT_EQ(ts.u8SDTChangeFlag, 1);

    Pid ecm = D(12, PID_TYPE_ES_ECMPID, 1, 0x150);
    ecm.pidId = 11;   // the elementary stream it belongs to
    ecm.esEcmId = 12; // its own identifier
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(10, PID_TYPE_PCRPID, 1, 0x101)), PID(D(11, PID_TYPE_ESPID, 1, 0x101)),
                                         PID(D(13, PID_TYPE_ESPID, 1, 0x102)), PID(ecm),
                                         PID(D(14, PID_TYPE_PS_ECMPID, 1, 0x160)), PID(D(15, PID_TYPE_EMMPID, 0, 0x170)),
                                         PID(D(16, PID_TYPE_OTHERPID, 0, 0x180))})),
              0u);
    const Output_TSPID& es = db->pOutputPID[PIDOf(11)];
    EXPECT_EQ(es.u16PID, 0x101);
    EXPECT_EQ(es.u8StreamType, 0x1B);
    EXPECT_EQ(es.u32ProgramIndex, p1);
    EXPECT_EQ(es.u32TSIndex, 0u);
    EXPECT_EQ(es.u32NextPIDIndex, PIDOf(13));
    EXPECT_EQ(db->pOutputProgram[p1].u16PIDIndex, PIDOf(11));
    EXPECT_EQ(db->pOutputProgram[p1].u16ESNumber, 2);
    EXPECT_EQ(db->pOutputProgram[p1].u16PCRIndex, PIDOf(10));
    EXPECT_EQ(db->pOutputProgram[p1].u16PSECMPIDNumber, 1);
    EXPECT_EQ(es.u16ESECMPIDNumber, 1);
    U16 e = PIDOf(12);
    EXPECT_EQ(es.u16ESECMPIDIndex, e);
    EXPECT_EQ(db->pOutputPID[e].u16ESPIDIndex, PIDOf(11));
    EXPECT_EQ(db->pOutputPID[e].u32ProgramIndex, p1);
    EXPECT_EQ(ts.u16EMMPIDNumber, 1);
    EXPECT_EQ(ts.u8CATChangeFlag, 1);
    EXPECT_EQ(ts.u16OtherPIDNum, 1);
    EXPECT_EQ(db->pOutputPID[ts.u16OtherPIDIndex].u16PID, 0x180);

    // Program information longer than 188 bytes arrives in a descriptor record.
    ASSERT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 2, 300)})), 0u);
    U16 d = db->pOutputProgram[p2].u16ProgramInfoDescriptorIndex;
    ASSERT_EQ(d, 0);
    EXPECT_EQ(db->pOutputProgram[p2].u16ProgramInfoLength, 300);
    EXPECT_EQ(db->pDescriptor[d].u16ProgramIndex, p2);
    EXPECT_EQ(db->pDescriptor[d].u16TSIndex, 0);
    EXPECT_EQ(db->pDescriptor[d].u8DescriptorInfo[299], (U8)299);
    EXPECT_EQ(ts.u16DescriptorNum, 1);
    EXPECT_EQ(ts.u16DescriptorIndex, d);
    // A second one for the same program replaces the first in its place; one
    // for an unknown program and one longer than its record holds are refused.
    ASSERT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 2, 20)})), 0u);
    EXPECT_EQ(db->pOutputProgram[p2].u16ProgramInfoDescriptorIndex, d);
    EXPECT_EQ(db->pOutputProgram[p2].u16ProgramInfoLength, 20);
    EXPECT_EQ(db->pOutputProgram[p2].aru8ProgramInfo[19], (U8)19);
    EXPECT_EQ(ts.u16DescriptorNum, 1);
    EXPECT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 9, 300)})), TSP_ERR_INPUT);
    Bytes before = Snapshot();
    EXPECT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 1, 300), Descriptor(5, 1, 0, 1, 1025)})),
              TSP_ERR_INPUT);
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(TspInput, RepeatedProgramsAndOrphanPIDs)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100)), Program(P(7, 100)), Program(P(2, 101))})), 0u);
    // The stream of channel 0 was created for the first program.
    EXPECT_EQ(db->pOutputTS[0].u8ValidFlag, 1);
    EXPECT_EQ(db->pOutputTS[0].u16ChannelID, 0);
    EXPECT_EQ(db->pOutputTS[0].u8SlotID, 3);
    EXPECT_EQ(db->pOutputTS[0].u16ProgramNum, 2);
    EXPECT_EQ(ProgramOf(7), 0xFFFF); // same input service: skipped
    EXPECT_EQ(ProgramOf(2), 2);      // the skipped record's index stays free
    EXPECT_EQ(db->pOutputProgram[1].u8ValidFlag, 0);

    // An elementary stream of an unknown program is dropped; the next one is kept.
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(20, PID_TYPE_ESPID, 9, 0x200)), PID(D(21, PID_TYPE_ESPID, 2, 0x201))})),
              0u);
    EXPECT_EQ(PIDOf(20), 0xFFFF);
    EXPECT_EQ(PIDOf(21), 1);
    EXPECT_EQ(db->pOutputPID[0].u8ValidFlag, 0);
    // An ES-ECM whose named owner is not an elementary stream is dropped too.
    Pid ecm = D(30, PID_TYPE_ES_ECMPID, 2, 0x300);
    ecm.pidId = 1; // program 1's identifier, not a PID of it
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(ecm)})), 0u);
    EXPECT_EQ(db->pOutputPID[0].u8ValidFlag, 0);
}

// A record sent again replaces the one held, in its place: what the card
// derived from input values that did not change (an output PID a conflict
// moved, descrambling, the operator's names) stays. Copies that earlier
// firmware appended are merged into one when read back.
TEST_F(TspInput, RecordsSentAgainReplaceTheOnesHeld)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    Pid ecm = D(12, PID_TYPE_ES_ECMPID, 1, 0x150);
    ecm.pidId = 11;
    ecm.esEcmId = 12;
    const Bytes pids = Msg({PID(D(10, PID_TYPE_PCRPID, 1, 0x101)), PID(D(11, PID_TYPE_ESPID, 1, 0x101)), PID(ecm)});
    ASSERT_EQ(Send(IPCOMM_SEND_PID, pids), 0u);
    const U16 es = PIDOf(11);
    db->pOutputPID[es].u16PID = 0x1F0;
    db->pOutputProgram[0].u8CIFlag = 1;
    const Bytes before = Snapshot();
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, pids), 0u);
    EXPECT_EQ(Snapshot(), before);

    Prog renamed = P(1, 100);
    renamed.name = "Sport";
    Pid audio = D(11, PID_TYPE_ESPID, 1, 0x101);
    audio.streamType = 0x04;
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(renamed)})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(audio), PID(D(19, PID_TYPE_PCRPID, 1, 0x1A0))})), 0u);
    const Output_TSProgram& p = db->pOutputProgram[0];
    EXPECT_EQ(memcmp(p.aru8ServiceName, "Sport", 5), 0);
    EXPECT_EQ(p.u8CIFlag, 1);
    EXPECT_EQ(p.u16ESNumber, 1);
    EXPECT_EQ(p.u8PMTChangeFlag, 1);
    EXPECT_EQ(PIDOf(11), es);
    EXPECT_EQ(db->pOutputPID[es].u8StreamType, 0x04);
    EXPECT_EQ(db->pOutputPID[es].u16PID, 0x1F0);
    EXPECT_EQ(db->pOutputPID[es].u16ESECMPIDNumber, 1);
    EXPECT_EQ(db->pOutputPID[p.u16PCRIndex].u16OldPID, 0x1A0);  // a program has one PCR
    EXPECT_EQ(PIDOf(10), 0xFFFF);
    db->pOutputTS[0].u8IsSDTChangedByUser = 1;
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    EXPECT_EQ(memcmp(p.aru8ServiceName, "Sport", 5), 0);

    // An ES held twice at the end of its list, as a power cycle left it.
    const U16 copy = 40;
    db->pOutputPID[copy] = db->pOutputPID[es];
    db->pOutputPID[copy].u32PIDIndex = copy;
    db->pOutputPID[copy].u16ESECMPIDNumber = 0;
    db->pOutputPID[copy].u16ESECMPIDIndex = TSP_INVALID_INDEX;
    db->pOutputPID[es].u32NextPIDIndex = copy;
    db->pOutputProgram[0].u16ESNumber = 2;
    EXPECT_EQ(TSP_MergeRepeatedRecords(db), 1u);
    EXPECT_EQ(p.u16ESNumber, 1);
    EXPECT_EQ(db->pOutputPID[copy].u8ValidFlag, 0);
    EXPECT_EQ(db->pOutputPID[es].u16ESECMPIDNumber, 1);
    EXPECT_EQ(TSP_MergeRepeatedRecords(db), 0u);
}

TEST_F(TspInput, EMMCreatesTheStream)
{
    g_u32ModulationMode = 5;
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(40, PID_TYPE_EMMPID, 0, 0x20, 3))})), 0u);
    U16 s = StreamOf(3);
    ASSERT_NE(s, 0xFFFF);
    const Output_TSStream& ts = db->pOutputTS[s];
    EXPECT_EQ(ts.u16OriginalNetworkID, 700);
    EXPECT_EQ(ts.u8SlotID, 3);
    EXPECT_EQ(ts.u8CATChangeFlag, 1);
    EXPECT_EQ(ts.u16EMMPIDNumber, 1);
    EXPECT_EQ(db->pOutputPID[ts.u16EMMPIDIndex].u32TSIndex, s);
}

TEST_F(TspInput, RefusedMessagesChangeNothing)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(1, PID_TYPE_ESPID, 1, 0x101))})), 0u);
    Bytes before = Snapshot();

    // Fields cut to their low bits in the routing and the tables: a message
    // with one of them out of range is refused before its first record.
    Bytes bypass = TS(1);
    Put8(bypass, 32, 1);
    Put8(bypass, 33, 17);
    Bytes stream = PID(D(2, PID_TYPE_ESPID, 1, 0x102));
    Put16(stream, 50, 0x400);
    Bytes ci = PID(D(3, PID_TYPE_ESPID, 1, 0x103));
    Put16(ci, 244, 0x400);
    EXPECT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(1), TS(1024)})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_SEND_TS, Msg({bypass})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(2, 2, 1)), Program(P(3, 3, 259))})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(4, PID_TYPE_OTHERPID, 0, 0x104, 8))})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, Msg({stream})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_CHANGE_PID, Msg({ci})), TSP_ERR_INPUT);
    Mon mon;
    mon.destCh = 8;
    EXPECT_EQ(TSP_ConstructOutputTS(Monitor(mon).data(), IPCOMM_MONITOR_PID, 208), TSP_ERR_INPUT);
    Bytes keep(8, 0), wild(8, 0);  // deletions: the program, then a channel the card lacks
    Put8(keep, 0, 5), Put16(keep, 2, 1), Put16(keep, 6, 1);
    Put8(wild, 0, 5), Put16(wild, 2, 1), Put16(wild, 4, 1024), Put16(wild, 6, 1);
    EXPECT_EQ(Send(IPCOMM_DEL_PROGRAM, Msg({keep, wild})), TSP_ERR_INPUT);
    // A PID that carries a PMT carries nothing else of that input, and back.
    EXPECT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(5, PID_TYPE_ESPID, 1, 0x105)), PID(D(6, PID_TYPE_ESPID, 1, 0x100))})),
              TSP_ERR_INPUT);
    Prog onES = P(7, 7);
    onES.pmt = 0x101;
    EXPECT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(onES)})), TSP_ERR_INPUT);
    mon.destCh = 0;
    mon.newPid = 0x100;
    EXPECT_EQ(TSP_ConstructOutputTS(Monitor(mon).data(), IPCOMM_MONITOR_PID, 208), TSP_ERR_INPUT);

    Bytes m = Msg({Program(P(2, 1)), Program(P(3, 2)), Program(P(4, 3))});
    m.pop_back(); // 2,759 bytes of records for 3 × 920
    EXPECT_EQ(TSP_ConstructOutputTS(m.data(), IPCOMM_SEND_PROGRAM, (U16)m.size()), TSP_ERR_MSG_LENGTH);
    Prog longName = P(5, 5);
    longName.name = std::string(33, 'x');
    Bytes bad = Program(longName);
    Put8(bad, 46, 33);
    EXPECT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(6, 6)), bad})), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(1, PID_TYPE_ESPID, 1, 0x10)), PID(D(2, 9, 1, 0x11))})), TSP_ERR_TYPE);
    Pid longInfo = D(3, PID_TYPE_ESPID, 1, 0x12);
    longInfo.esInfoLen = 189;
    EXPECT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(longInfo)})), TSP_ERR_INPUT);
    // A count byte that claims more records than the message holds.
    Bytes pids = Msg({PID(D(4, PID_TYPE_ESPID, 1, 0x13))});
    pids[0] = 200;
    EXPECT_EQ(Send(IPCOMM_SEND_PID, pids), TSP_ERR_MSG_LENGTH);
    EXPECT_EQ(Send(IPCOMM_SEND_TS, Bytes{0}), TSP_ERR_INPUT); // no records
    EXPECT_EQ(TSP_ConstructOutputTS(nullptr, IPCOMM_SEND_TS, 5), TSP_ERR_INPUT);
    EXPECT_EQ(TSP_ConstructOutputTS(m.data(), IPCOMM_SEND_TS, 0), TSP_ERR_INPUT);
    EXPECT_EQ(Send(IPCOMM_CHANGE_PROGRAM, Msg({Program(P(7, 7))})), 0u);
    EXPECT_EQ(Send((IPCOMM_CMD)290, Msg({Program(P(7, 7))})), TSP_ERR_TYPE);
    EXPECT_EQ(Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(5, 3, 0)})), TSP_ERR_TYPE); // no stream on channel 5
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(TspInput, NITSections)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(2)})), 0u);
    U16 s = StreamOf(2);
    ASSERT_EQ(Send(IPCOMM_SEND_NIT_TABLE,
                   Msg({NITSection(2, 3, 0), NITSection(2, 3, 1), NITSection(2, 3, 2), NITSection(2, 3, 3)})),
              0u);
    IndexInfoList_t l{};
    ASSERT_EQ(TSP_GetOutTSNITTableIndexList(s, db, &l), 0u);
    ASSERT_EQ(l.u16IndexListNum, 4);
    for (U16 i = 0; i < 4; i++) {
        const TSTable& t = db->pOutputTable[l.aru16IndexList[i]];
        EXPECT_EQ(t.aru8TableInfo[6], i); // message order
        EXPECT_EQ(t.u16TableID, 0xFFFF);
        EXPECT_EQ(t.u16TSIndex, s);
        EXPECT_EQ(t.u16TableInfoLen, 16);
    }
    // A new NIT replaces the old one, whose records are released.
    ASSERT_EQ(Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(2, 3, 9)})), 0u);
    ASSERT_EQ(TSP_GetOutTSNITTableIndexList(s, db, &l), 0u);
    ASSERT_EQ(l.u16IndexListNum, 1);
    EXPECT_EQ(db->pOutputTable[l.aru16IndexList[0]].aru8TableInfo[6], 9);
    U32 used = 0;
    for (U32 i = 0; i < db->u32OutputTableNumber; i++)
        used += db->pOutputTable[i].u8ValidFlag == 1;
    EXPECT_EQ(used, 1u);
    EXPECT_EQ(Send(IPCOMM_SEND_NIT_TABLE, Msg({NITSection(2, 3, 0, 1025)})), TSP_ERR_INPUT);
}

TEST_F(TspInput, DescramblingAndCIPIDs)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100, 0)), Program(P(1, 100, 4))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(11, PID_TYPE_ESPID, 1, 0x101, 0))})), 0u);
    for (U16 s = 0; s < 2; s++)
        db->pOutputTS[s].u8SDTChangeFlag = 0;
    Prog scr = P(1, 100);
    scr.cam = 2;
    ASSERT_EQ(Send(IPCOMM_PROG_SET_DESCRAMBLE, Msg({Program(scr)})), 0u);
    for (U16 ch : {0, 4}) { // every output channel the input service feeds
        const Output_TSProgram& p = db->pOutputProgram[ProgramOf(1, ch)];
        EXPECT_EQ(p.u8CIFlag, 1);
        EXPECT_EQ(p.u8CAMIndex, 2);
        EXPECT_EQ(db->pOutputTS[p.u16TSIndex].u8SDTChangeFlag, 1);
    }
    ASSERT_EQ(Send(IPCOMM_DEL_SCR, Msg({Program(scr)})), 0u);
    EXPECT_EQ(db->pOutputProgram[ProgramOf(1)].u8CIFlag, 0xFF);

    Bytes ci = PID(D(0, PID_TYPE_ESPID, 0, 0x101));
    Put16(ci, 242, 0x901);
    Put16(ci, 244, 3);
    ASSERT_EQ(Send(IPCOMM_CHANGE_PID, Msg({ci})), 0u);
    EXPECT_EQ(db->pOutputPID[PIDOf(11)].u16CISrcPID, 0x901);
    EXPECT_EQ(db->pOutputPID[PIDOf(11)].u16SrcCIStreamID, 3);
}

TEST_F(TspInput, MonitoredPIDs)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(10, PID_TYPE_PCRPID, 1, 0x101)), PID(D(11, PID_TYPE_ESPID, 1, 0x101)),
                                         PID(D(16, PID_TYPE_OTHERPID, 0, 0x180))})),
              0u);
    U16 p = ProgramOf(1);

    Mon pmt;
    pmt.type = PID_TYPE_PMTPID;
    pmt.pidId = 1; // the program's identifier
    pmt.newPid = 0x400;
    pmt.infoLen = 6;
    ASSERT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(pmt)), 0u);
    EXPECT_EQ(db->pOutputProgram[p].u16PMTPID, 0x400);
    EXPECT_EQ(db->pOutputProgram[p].u16OldPMTPID, 0x400);
    EXPECT_EQ(db->pOutputProgram[p].u16ProgramInfoLength, 6);
    EXPECT_EQ(db->pOutputProgram[p].aru8ProgramInfo[5], 0xA5);
    EXPECT_EQ(db->pOutputProgram[p].u8PMTChangeFlag, 1);

    Mon es;
    es.pidId = 11;
    es.newPid = 0x301;
    es.infoLen = 3;
    ASSERT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(es)), 0u);
    const Output_TSPID& r = db->pOutputPID[PIDOf(11)];
    EXPECT_EQ(r.u16PID, 0x301);
    EXPECT_EQ(r.u16OldPID, 0x301);
    EXPECT_EQ(r.u16CISrcPID, 0x301);
    EXPECT_EQ(r.u8StreamType, 0x24);
    EXPECT_EQ(r.u16ESInfoLength, 3);
    EXPECT_EQ(r.aru8ESInfo[2], 0xA2);

    Mon pcr;
    pcr.type = PID_TYPE_PCRPID;
    pcr.pidId = 10;
    pcr.newPid = 0x333;
    ASSERT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(pcr)), 0u);
    EXPECT_EQ(db->pOutputProgram[p].u16PCRPID, 0x333);

    Bytes before = Snapshot();
    Mon wrongType = es;
    wrongType.pidId = 16; // stored as another PID, sent as an elementary stream
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(wrongType)), (U32)ZR_ERR_TSP_TS_ERROR);
    Mon unknown = es;
    unknown.pidId = 99;
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(unknown)), (U32)ZR_ERR_TSP_TS_ERROR);
    Mon longInfo = es;
    longInfo.infoLen = 200;
    longInfo.descIndex = 55; // not a descriptor record of this card
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(longInfo)), TSP_ERR_INPUT);
    longInfo.infoLen = 1025;
    longInfo.descIndex = 0xFFFF;
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(longInfo)), TSP_ERR_INPUT);
    Bytes shortMsg = Monitor(es);
    shortMsg.pop_back();
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, shortMsg), TSP_ERR_MSG_LENGTH);
    EXPECT_EQ(Snapshot(), before);
}

} // namespace

namespace {

// Passed-through PIDs of channel 0: a list no table bounds before its walkers do.
Bytes OtherMessage(U16 firstId, U16 count)
{
    std::vector<Bytes> r;
    for (U16 k = 0; k < count; k++)
        r.push_back(PID(D(firstId + k, PID_TYPE_OTHERPID, 0, (U16)(0x100 + firstId + k))));
    return Msg(r);
}

}  // namespace

// A list takes at most the 300 members its walkers report; the message that
// would pass that is refused whole, before anything is stored.
TEST_F(TspInput, MessagesThatWouldOverfillAListAreRefusedWhole)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, OtherMessage(1, 125)), 0u);
    Bytes before = Snapshot();
    EXPECT_EQ(Send(IPCOMM_SEND_PID, OtherMessage(200, 176)), TSP_ERR_LIST_RANGE);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, OtherMessage(200, 175)), 0u);
    EXPECT_EQ(db->pOutputTS[StreamOf(0)].u16OtherPIDNum, 300u);

    // A channel's programs stop at the 100 its SDT can name.
    for (U16 m = 0; m < 4; m++) {
        std::vector<Bytes> r;
        for (U16 k = 0; k < 25; k++)
            r.push_back(Program(P((U16)(100 + m * 25 + k), (U16)(100 + m * 25 + k), 1)));
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg(r)), 0u);
    }
    before = Snapshot();
    EXPECT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(999, 999, 1))})), TSP_ERR_LIST_RANGE);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(db->pOutputTS[StreamOf(1)].u16ProgramNum, 100u);
}

// Long program information of a monitored PMT may live only in a descriptor
// record of that same program.
TEST_F(TspInput, MonitoredPMTTakesOnlyItsOwnDescriptorRecord)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100)), Program(P(2, 200))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_DESCRIPTOR, Msg({Descriptor(5, 1, 0, 1, 200), Descriptor(5, 1, 0, 2, 220)})), 0u);
    Mon m;
    m.type = PID_TYPE_PMTPID;
    m.pidId = 1;
    m.infoLen = 220;
    m.descIndex = db->pOutputProgram[ProgramOf(2)].u16ProgramInfoDescriptorIndex;
    Bytes before = Snapshot();
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(m)), TSP_ERR_INPUT);
    EXPECT_EQ(Snapshot(), before);
    m.infoLen = 200;
    m.descIndex = db->pOutputProgram[ProgramOf(1)].u16ProgramInfoDescriptorIndex;
    EXPECT_EQ(Send(IPCOMM_MONITOR_PID, Monitor(m)), 0u);
}

// An ES-ECM record may take a free index below its ES (the checker in
// TearDown must find it in its list).
TEST_F(TspInput, EsEcmBelowItsEsIsListed)
{
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    // The first record's program is unknown: its index 0 stays free.
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(9, PID_TYPE_ESPID, 77, 0x109)), PID(D(2, PID_TYPE_ESPID, 1, 0x102))})),
              0u);
    Pid ecm = D(2, PID_TYPE_ES_ECMPID, 1, 0x105);
    ecm.esEcmId = 9;
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(ecm)})), 0u);
    EXPECT_LT(PIDOf(9), PIDOf(2));
}

// An ES's PMT entry names at most 20 ECMs: the message that brings the 20th
// is taken, one that brings a 21st is refused whole and changes nothing.
TEST_F(TspInput, TwentyEcmsOfOneEs)
{
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(P(1, 100))})), 0u);
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg({PID(D(1, PID_TYPE_ESPID, 1, 0x101)), PID(D(2, PID_TYPE_ESPID, 1, 0x102))})),
              0u);
    auto ecms = [](U16 es, U16 first, U16 count) {
        std::vector<Bytes> r;
        for (U16 k = first; k < first + count; k++) {
            Pid e = D(es, PID_TYPE_ES_ECMPID, 1, (U16)(0x200 + es * 0x40 + k));
            e.esEcmId = (U16)(100 + es * 100 + k);
            r.push_back(PID(e));
        }
        return Msg(r);
    };
    // 19 then the 20th alone: it lands on the limit.
    ASSERT_EQ(Send(IPCOMM_SEND_PID, ecms(1, 0, 19)), 0u);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, ecms(1, 19, 1)), 0u);
    EXPECT_EQ(db->pOutputPID[PIDOf(1)].u16ESECMPIDNumber, 20u);
    Bytes before = Snapshot();
    EXPECT_EQ(Send(IPCOMM_SEND_PID, ecms(1, 20, 1)), TSP_ERR_DOES_NOT_FIT);
    EXPECT_EQ(Snapshot(), before);
    // The other ES counts its own: 21 in one message are refused, 20 taken.
    EXPECT_EQ(Send(IPCOMM_SEND_PID, ecms(2, 0, 21)), TSP_ERR_DOES_NOT_FIT);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Send(IPCOMM_SEND_PID, ecms(2, 0, 20)), 0u);
    EXPECT_EQ(db->pOutputPID[PIDOf(2)].u16ESECMPIDNumber, 20u);
}
