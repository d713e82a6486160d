// Long random sequences of input-card messages and web commits: after each
// step every link of the database must still hold.
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "support/tsp_wire.h"
#include <gtest/gtest.h>
#include <random>
#include <string_view>
#include <thread>

using namespace tspwire;

namespace {

class Generator {
public:
    explicit Generator(U32 seed, U16 u16ChannelBase = 0, U16 u16Channels = 8)
        : rng(seed), chBase(u16ChannelBase), chSpan(u16Channels)
    {
    }

    // The same sequence on every processor: the engine's output is fixed by
    // the standard, the library's distributions are not.
    U32 Pick(U32 lo, U32 hi) { return lo + (U32)((U64)rng() % ((U64)hi - lo + 1)); }
    U16 Channel() { return (U16)(chBase + Pick(0, chSpan - 1u)); }
    // Now and then one record names an output channel the card does not
    // have (its field at chOffset): the message must change nothing.
    void MaybeWildChannel(std::vector<Bytes>& recs, size_t chOffset, bool& bRefusedWhole)
    {
        static const U16 wild[] = {8, 259, 1024, 0xFFFF};
        if (Pick(0, 15) == 0) {
            Put16(recs[Pick(0, (U32)recs.size() - 1)], chOffset, wild[Pick(0, 3)]);
            bRefusedWhole = true;
        }
    }

    Prog RandomProgram()
    {
        Prog p;
        p.srcSlot = (U8)Pick(1, 2);
        p.srcCh = (U16)Pick(0, 1);
        p.ch = Channel();
        p.progId = (U16)Pick(0, 30);
        p.sid = (U16)Pick(0, 30);
        p.major = (U16)Pick(0, 2000);
        p.progInfoLen = (U16)(Pick(0, 3) == 0 ? Pick(189, 1024) : Pick(0, 188));
        p.cam = (U8)Pick(0, 3);
        return p;
    }

    Pid RandomPID()
    {
        Pid d;
        d.srcSlot = (U8)Pick(1, 2);
        d.srcCh = (U16)Pick(0, 1);
        d.ch = Channel();
        d.progId = (U16)Pick(0, 30);
        d.pidId = (U16)Pick(0, 60);
        d.esEcmId = (U16)Pick(0, 60);
        d.type = (U8)Pick(PID_TYPE_PCRPID, PID_TYPE_OTHERPID);
        d.oldPid = (U16)Pick(0x20, 0x1FFE);
        d.filter = (U8)(Pick(0, 5) == 0);
        return d;
    }

    Bytes DeletionRecord()
    {
        Bytes b(8, 0);
        Put8(b, 0, (U8)Pick(1, 2));
        Put16(b, 2, (U16)Pick(0, 1));
        Put16(b, 4, Channel());
        Put16(b, 6, (U16)Pick(0, 60));
        return b;
    }

    // One message; bRefusedWhole is set when it must change nothing, and
    // pfBefore is called just before such a message is sent.
    template <typename F>
    U32 Step(bool& bRefusedWhole, F pfBefore)
    {
        bRefusedWhole = false;
        std::vector<Bytes> recs;
        const U32 n = Pick(1, 6);
        U32 u32Kind = Pick(0, 12);
        if (!bDeletions && u32Kind >= 11)
            u32Kind = 1;
        switch (u32Kind) {
        case 0:
            for (U32 i = 0; i < n; i++)
                recs.push_back(TS(Channel(), (U8)Pick(0, 16), (U16)Pick(0, 9)));
            MaybeWildChannel(recs, 16, bRefusedWhole);
            pfBefore();
            return Send(IPCOMM_SEND_TS, Msg(recs));
        case 1:
        case 2:
            for (U32 i = 0; i < n; i++)
                recs.push_back(Program(RandomProgram()));
            MaybeWildChannel(recs, 12, bRefusedWhole);
            pfBefore();
            return Send(IPCOMM_SEND_PROGRAM, Msg(recs));
        case 3:
        case 4:
        case 5:
            for (U32 i = 0; i < n * 2; i++)
                recs.push_back(PID(RandomPID()));
            if (Pick(0, 9) == 0) { // one record of a type nobody handles
                Put8(recs.back(), 40, (U8)Pick(8, 255));
                bRefusedWhole = true;
            }
            MaybeWildChannel(recs, 14, bRefusedWhole);
            pfBefore();
            return Send(IPCOMM_SEND_PID, Msg(recs));
        case 6:
            recs.push_back(Descriptor((U8)Pick(1, 2), (U16)Pick(0, 1), Channel(), (U16)Pick(0, 30), Pick(189, 1024)));
            return Send(IPCOMM_SEND_DESCRIPTOR, Msg(recs));
        case 7: {
            U16 ch = Channel();
            for (U32 i = 0; i < n; i++)
                recs.push_back(NITSection(Pick(0, 3) ? ch : Channel(), 3, (U8)i, (U16)Pick(16, 1024)));
            return Send(IPCOMM_SEND_NIT_TABLE, Msg(recs));
        }
        case 8: {
            Mon m;
            m.type = (U8)Pick(PID_TYPE_PMTPID, PID_TYPE_OTHERPID);
            m.srcSlot = (U8)Pick(1, 2);
            m.srcCh = (U16)Pick(0, 1);
            m.destCh = Channel();
            m.pidId = (U16)Pick(0, 60);
            m.newPid = (U16)Pick(0x20, 0x1FFE);
            m.infoLen = (U16)Pick(0, 188);
            return Send(IPCOMM_MONITOR_PID, Monitor(m));
        }
        case 9:
            for (U32 i = 0; i < n; i++)
                recs.push_back(Program(RandomProgram()));
            return Send(Pick(0, 1) ? IPCOMM_PROG_SET_DESCRAMBLE : IPCOMM_DEL_SCR, Msg(recs));
        case 10: {
            // A message cut short: its count byte promises more than it holds.
            for (U32 i = 0; i < n; i++)
                recs.push_back(Pick(0, 1) ? Program(RandomProgram()) : PID(RandomPID()));
            Bytes m = Msg(recs);
            m.resize(m.size() - Pick(1, 300));
            bRefusedWhole = true;
            pfBefore();
            return Send(recs[0].size() == 920 ? IPCOMM_SEND_PROGRAM : IPCOMM_SEND_PID, m);
        }
        default: {
            // Deletions by input identity; 262 carries slot, destination
            // slot, reserved, source channel, channel; 274 a filter flag.
            static const IPCOMM_CMD cmds[] = {IPCOMM_DEL_TS, IPCOMM_DEL_PROGRAM, IPCOMM_DEL_PID,
                                              IPCOMM_DEL_DESCRIPTOR};
            const IPCOMM_CMD cmd = cmds[Pick(0, 3)];
            for (U32 i = 0; i < n; i++) {
                Bytes b = DeletionRecord();
                if (cmd == IPCOMM_DEL_TS) {
                    Put16(b, 6, Channel());
                    Put16(b, 4, (U16)Pick(0, 1));
                    Put16(b, 2, 0);
                } else if (cmd == IPCOMM_DEL_PID) {
                    Put8(b, 1, (U8)(Pick(0, 2) ? 2 : Pick(0, 1)));
                }
                recs.push_back(b);
            }
            MaybeWildChannel(recs, cmd == IPCOMM_DEL_TS ? 6 : 4, bRefusedWhole);
            pfBefore();
            return Send(cmd, Msg(recs));
        }
        }
    }

    // Deletions free records; without them a sequence grows the arrays.
    bool bDeletions = true;

private:
    std::mt19937 rng;
    U16 chBase, chSpan;
};

// A fingerprint of the whole database image, to prove a refusal changed nothing.
size_t Image(const Output_TSInfo* db)
{
    size_t h = 0;
    auto add = [&h](const void* p, size_t n) {
        h = h * 1000003u ^ std::hash<std::string_view>()(std::string_view(static_cast<const char*>(p), n));
    };
    add(db->pOutputTS, db->u32OutputTSNumber * sizeof(Output_TSStream));
    add(db->pOutputProgram, db->u32OutputProgramNumber * sizeof(Output_TSProgram));
    add(db->pOutputPID, db->u32OutputPIDNumber * sizeof(Output_TSPID));
    add(db->pOutputTable, db->u32OutputTableNumber * sizeof(TSTable));
    add(db->pDescriptor, db->u32OutputDescriptorNumber * sizeof(TSDescriptor));
    return h;
}

class TspRandom : public ::testing::Test {
protected:
    void SetUp() override
    {
        // Thousands of messages: keep their log lines out of the device log.
        u32Modules = Log_GetModule();
        Log_SetModule(u32Modules & ~(U32)LOG_MODULE_TSPROCESS);
        g_u32ModulationMode = 0;
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
    }
    void TearDown() override
    {
        TSP_FreeOutputTSInfo();
        g_u32ModulationMode = 0;
        Log_SetModule(u32Modules);
    }
    U32 u32Modules = 0;
};

TEST_F(TspRandom, LongSequencesKeepEveryLink)
{
    for (U32 seed = 1; seed <= 8; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        g_u32ModulationMode = (seed % 3 == 0) ? 5 : (seed % 3 == 1 ? 6 : 0);
        Generator gen(seed);
        Output_TSInfo* live = TSP_GetTSParam();
        bool bEditOpen = false;
        for (U32 step = 0; step < 500; step++) {
            SCOPED_TRACE("step " + std::to_string(step));
            const U32 u32Action = gen.Pick(0, 29);
            gen.bDeletions = step >= 200; // grow first, then delete as well
            if (u32Action == 0) { // the operator opens an edit
                ASSERT_EQ(TSP_InitOutputTempTSInfo(), 0u);
                TSP_CopyOutputTempTSInfo();
                ASSERT_EQ(CheckInvariants(TSP_GetTempTSParam()), "");
                bEditOpen = true;
            } else if (u32Action == 1 && bEditOpen) { // and commits it
                ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
                bEditOpen = false;
            } else if (u32Action == 2 && gen.bDeletions) { // an input card clears its slot
                ClearOneSlotInfoFromInput((U8)gen.Pick(1, 2));
            } else if (u32Action == 3 && gen.bDeletions) { // or turns up in another slot
                const U8 from = (U8)gen.Pick(1, 2);
                ASSERT_EQ(TSP_ChangeSrcSlotID(from, (U8)(3 - from)), 0u);
            } else {
                size_t before = 0;
                bool bRefusedWhole = false;
                U32 u32Ret = gen.Step(bRefusedWhole, [&] { before = Image(live); });
                if (bRefusedWhole) {
                    ASSERT_NE(u32Ret, 0u);
                    ASSERT_TRUE(Image(live) == before) << "a refused message changed the database";
                }
            }
            ASSERT_EQ(CheckInvariants(live), "");
        }
        ASSERT_GT(live->u32OutputProgramNumber, 100u) << "the sequence should have grown the arrays";
    }
}

// Whatever was added, deleting every identity that added it leaves no valid
// record behind.
TEST_F(TspRandom, DeletingEveryAddedIdentityLeavesNothing)
{
    for (U32 seed = 11; seed <= 14; seed++) {
        SCOPED_TRACE("seed " + std::to_string(seed));
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        Generator gen(seed);
        Output_TSInfo* live = TSP_GetTSParam();
        for (U32 step = 0; step < 300; step++) {
            bool unused;
            gen.Step(unused, [] {});
        }
        for (U16 ch = 0; ch < 8; ch++)
            for (U8 slot = 0; slot <= 16; slot++)
                for (U16 srcCh = 0; srcCh <= 2; srcCh++)
                    TSP_DelTSInfoByInput(slot, srcCh, ch);
        ASSERT_EQ(CheckInvariants(live), "");
        size_t valid = 0;
        for (U32 i = 0; i < live->u32OutputTSNumber; i++)
            valid += live->pOutputTS[i].u8ValidFlag == 1;
        for (U32 i = 0; i < live->u32OutputProgramNumber; i++)
            valid += live->pOutputProgram[i].u8ValidFlag == 1;
        for (U32 i = 0; i < live->u32OutputPIDNumber; i++)
            valid += live->pOutputPID[i].u8ValidFlag == 1;
        for (U32 i = 0; i < live->u32OutputTableNumber; i++)
            valid += live->pOutputTable[i].u8ValidFlag == 1;
        for (U32 i = 0; i < live->u32OutputDescriptorNumber; i++)
            valid += live->pDescriptor[i].u8ValidFlag == 1;
        EXPECT_EQ(valid, 0u);
    }
}

TEST_F(TspRandom, ConcurrentInputCardsAndWebCommits)
{
    // Two input cards on disjoint output channels and the operator's edits:
    // the card-state lock keeps each message and each copy whole.
    auto feed = [](U32 seed, U16 base) {
        Generator gen(seed, base, 4);
        bool unused;
        for (int i = 0; i < 300; i++)
            gen.Step(unused, [] {});
    };
    std::thread a(feed, 101, 0);
    std::thread b(feed, 202, 4);
    std::thread web([] {
        for (int i = 0; i < 40; i++) {
            TSP_InitOutputTempTSInfo();
            TSP_CopyOutputTempTSInfo();
            std::this_thread::yield();
            TSP_CopyOutputTSInfo();
        }
    });
    a.join();
    b.join();
    web.join();
    EXPECT_EQ(CheckInvariants(TSP_GetTSParam()), "");
}

} // namespace
