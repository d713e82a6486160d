// Conflict resolution: service ids, output PIDs, ATSC channel numbers and
// the operator's PID check, on the examples that matter to the output.
#include "Parameter/parameters.h"
#include "TSprocess/tsp_conflict.h"
#include "mux_fixture.h"
#include <gtest/gtest.h>

using namespace muxfix;

namespace {

class Conflicts : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        db = ResetDb();
        ts = Stream(0);
    }
    void TearDown() override { g_u32ModulationMode = savedMode; }
    Output_TSProgram& P(U16 i) { return db->pOutputProgram[i]; }
    Output_TSPID& R(U16 i) { return db->pOutputPID[i]; }
    U32 savedMode = 0;
    Output_TSInfo* db = nullptr;
    U16 ts = 0;
};

TEST_F(Conflicts, ServiceIdsKeepTheFirstAndRenumberLaterOnes)
{
    U16 a = Program(ts, 3, 1, 5, 0x100, 0x1FFF);
    U16 b = Program(ts, 3, 2, 5, 0x101, 0x1FFF);
    U16 c = Program(ts, 3, 3, 1, 0x102, 0x1FFF);
    ASSERT_EQ(0u, TSP_AddOutputTSHandleServID(ts, db));
    EXPECT_EQ(5, P(a).u16ServiceID);
    EXPECT_EQ(1, P(b).u16ServiceID);
    EXPECT_EQ(2, P(c).u16ServiceID);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_AddOutputTSHandleServID(99, db));
}

TEST_F(Conflicts, SamePidSharesAndOtherSourcesMove)
{
    U16 a = Program(ts, 3, 7, 1, 0x1000, 0x1FFF);
    U16 b = Program(ts, 3, 7, 2, 0x1001, 0x1FFF);
    U16 c = Program(ts, 4, 7, 3, 0x1002, 0x1FFF);
    U16 ea = ES(ts, a, 0x100), eb = ES(ts, b, 0x100), ec = ES(ts, c, 0x100);
    ASSERT_EQ(0u, TSP_AddOutputTSHandlePid(ts, db));
    EXPECT_EQ(0x100, R(ea).u16PID);
    EXPECT_EQ(0x100, R(eb).u16PID);
    EXPECT_EQ(51, R(ec).u16PID);  // lowest free from 51
    EXPECT_EQ(0x1000, P(a).u16PMTPID);
    // Programs without a PCR all keep 8191.
    EXPECT_EQ(0x1FFF, P(c).u16PCRPID);
}

TEST_F(Conflicts, PcrCarriedInAnEsMovesWithIt)
{
    U16 a = Program(ts, 3, 7, 1, 0x1000, 0x200);
    ES(ts, a, 0x200);
    U16 b = Program(ts, 4, 7, 2, 0x1001, 0x200);
    U16 eb = ES(ts, b, 0x200);
    U16 pcrB = PCR(ts, b);
    ASSERT_EQ(0u, TSP_AddOutputTSHandlePid(ts, db));
    EXPECT_EQ(0x200, P(a).u16PCRPID);
    EXPECT_NE(0x200, P(b).u16PCRPID);
    EXPECT_EQ(P(b).u16PCRPID, R(eb).u16PID);
    EXPECT_EQ(P(b).u16PCRPID, R(pcrB).u16PID);
}

TEST_F(Conflicts, PsipBasePidIsReservedOnlyInAtscMode)
{
    U16 a = Program(ts, 3, 7, 1, 0x1000, 0x1FFF);
    U16 e = ES(ts, a, 0x1FFB);
    g_u32ModulationMode = 1;
    ASSERT_EQ(0u, TSP_AddOutputTSHandlePid(ts, db));
    EXPECT_EQ(0x1FFB, R(e).u16PID);
    g_u32ModulationMode = 6;
    ASSERT_EQ(0u, TSP_AddOutputTSHandlePid(ts, db));
    EXPECT_EQ(51, R(e).u16PID);
}

TEST_F(Conflicts, OperatorPidIsAppliedOnlyWhenFree)
{
    U16 a = Program(ts, 3, 7, 1, 0x1000, 0x1FFF);
    U16 e1 = ES(ts, a, 0x100), e2 = ES(ts, a, 0x101);
    U8 flag = 0;
    ASSERT_EQ(0u, TSP_CheckOutputPidConflict(ts, PID_TYPE_ESPID, e2, 0x100, db, &flag));
    EXPECT_EQ(2, flag);
    EXPECT_EQ(0x101, R(e2).u16PID);
    flag = 0;
    ASSERT_EQ(0u, TSP_CheckOutputPidConflict(ts, PID_TYPE_ESPID, e2, 0x101, db, &flag));
    EXPECT_EQ(0, flag);
    ASSERT_EQ(0u, TSP_CheckOutputPidConflict(ts, PID_TYPE_ESPID, e2, 0x300, db, &flag));
    EXPECT_EQ(0, flag);
    EXPECT_EQ(0x300, R(e2).u16PID);
    EXPECT_EQ(0x100, R(e1).u16PID);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_CheckOutputPidConflict(ts, PID_TYPE_ESPID, e2, 8191, db, &flag));
    // A record of another kind at that offset is refused.
    EXPECT_EQ(TSP_ERR_INPUT, TSP_CheckOutputPidConflict(ts, PID_TYPE_EMMPID, e2, 0x400, db, &flag));
}

TEST_F(Conflicts, AtscChannelNumbersRenumberFromTheEnd)
{
    U16 a = Program(ts, 3, 1, 1, 0x100, 0x1FFF);
    U16 b = Program(ts, 3, 2, 2, 0x101, 0x1FFF);
    U16 c = Program(ts, 3, 3, 3, 0x102, 0x1FFF);
    P(a).u16MajorChannelNum = 5, P(a).u16MinorChannelNum = 1;
    P(b).u16MajorChannelNum = 5, P(b).u16MinorChannelNum = 1;
    P(c).u16MajorChannelNum = 2000, P(c).u16MinorChannelNum = 3;
    db->pOutputTS[ts].u16TransportStreamID = 0x77;
    ASSERT_EQ(0u, TSP_AddOutTSHandleChannelNum(ts, db));
    EXPECT_EQ(5, P(a).u16MajorChannelNum);
    EXPECT_EQ(1, P(a).u16MinorChannelNum);
    EXPECT_EQ(0, P(b).u16MajorChannelNum);
    EXPECT_EQ(1, P(b).u16MinorChannelNum);
    EXPECT_EQ(0, P(c).u16MajorChannelNum);
    EXPECT_EQ(0, P(c).u16MinorChannelNum);
    EXPECT_EQ(0x77, P(a).u16ChannelTSID);
}

TEST(ConflictsFull, NoFreePidIsReported)
{
    // Every PID from 51 to 8190 taken by 28 programs of up to 300 ESs.
    Output_TSInfo* db = ResetDb(8, 40, 8300);
    U16 ts = Stream(0);
    U16 pid = 51;
    for (int p = 0; p < 28 && pid <= 8190; p++) {
        U16 prog = Program(ts, 3, 1, (U16)(p + 1), (U16)(0x20 + p), 0x1FFF);
        for (int e = 0; e < 300 && pid <= 8190; e++)
            ES(ts, prog, pid++);
    }
    ASSERT_EQ(8191, pid);
    U16 last = Program(ts, 4, 1, 99, 0x10, 0x1FFF);
    U16 clash = ES(ts, last, 51);
    EXPECT_EQ(TSP_ERR_NO_FREE_PID, TSP_AddOutputPidHandlePid(ts, PID_TYPE_ESPID, last, clash, db));
    EXPECT_EQ(51, db->pOutputPID[clash].u16PID);
}

}  // namespace
