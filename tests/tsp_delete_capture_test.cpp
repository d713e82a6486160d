// Deletions as the outputs show them: after an input card deletes a program
// and an EMM and the card applies, the carousel's capture (decoded with
// libdvbpsi and dvbinfo) has lost them with new versions, and the committed
// routing table no longer routes them.
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/sip.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "mux_fixture.h"
#include "support/tsp_wire.h"
#include <gtest/gtest.h>
#include <sstream>

using namespace muxfix;

namespace {


// Version of the first table of a kind in a decode, -1 when there is none.
int Version(const std::string& text, const std::string& prefix)
{
    auto l = Lines(text, prefix);
    return l.empty() ? -1 : atoi(l.front().substr(l.front().find("version=") + 8).c_str());
}

size_t Routed()
{
    size_t n = 0;
    for (U64 e : simboard::GetModels()->routing.muxCommitted)
        n += e != 0;
    return n;
}

class DeleteCapture : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        g_u32ModulationMode = 3; // DVB-C: PAT, PMT, CAT, SDT
        ResetCarousel();
        for (U8& e : u8PSIEnable)
            e = 1;
        GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
        SIPacket_ResetTickCount();
        Resource_GetHandle(5)->u8MuxPIDEnable = 1;
    }
    void TearDown() override
    {
        g_u32ModulationMode = savedMode;
        ResetDb();
        SSD_InitBroadcastSI();
    }
    std::string ApplyAndCapture()
    {
        ClearCaptures();
        EXPECT_EQ(0u, TSP_MuxProcess());
        for (int i = 0; i < 30; i++)
            SIPacket_Tick(CHIP_TYPE_MAIN);
        std::string info = CommandOutput("dvbinfo -d error -f " + Capture(0) + " 2>&1");
        EXPECT_EQ(std::string::npos, info.find("CRC")) << info.substr(0, 2000);
        return CommandOutput(std::string(MODCARD_BUILD_DIR) + "/tests/psidecode --ts " + Capture(0));
    }
    U32 savedMode = 0;
};

TEST_F(DeleteCapture, DeletedProgramAndEmmLeaveTablesAndRouting)
{
    using namespace tspwire;
    ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0)})), 0u);
    std::vector<Bytes> pids;
    for (U16 g = 1; g <= 2; g++) {
        Prog p;
        p.progId = g;
        p.sid = (U16)(100 + g);
        p.pmt = (U16)(0x100 * g);
        p.pcr = (U16)(0x100 * g + 1);
        ASSERT_EQ(Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)})), 0u);
        Pid es;
        es.progId = g;
        es.pidId = (U16)(10 * g);
        es.oldPid = (U16)(0x100 * g + 1);
        pids.push_back(PID(es));
    }
    for (U16 id : {50, 51}) {
        Pid emm;
        emm.type = PID_TYPE_EMMPID;
        emm.pidId = id;
        emm.oldPid = (U16)(0x600 + id);
        pids.push_back(PID(emm));
    }
    ASSERT_EQ(Send(IPCOMM_SEND_PID, Msg(pids)), 0u);
    for (U16 id : {50, 51}) {
        U16 i = 0xFFFF;
        ASSERT_EQ(TSP_GetOutputPIDIndexByPID(5, 1, 0, id, &i), 0u);
        TSP_GetTSParam()->pOutputPID[i].u16CASID = 0x0B00;
    }

    std::string before = ApplyAndCapture();
    ASSERT_FALSE(Lines(before, "PMT program=102").empty()) << before;
    ASSERT_EQ(2u, Lines(before, "PAT_PROGRAM").size() / Lines(before, "PAT ").size());
    ASSERT_FALSE(Lines(before, "DESC owner=cat").empty()) << before;
    const size_t routed = Routed();
    const int patV = Version(before, "PAT "), sdtV = Version(before, "SDT "), catV = Version(before, "CAT ");
    ASSERT_TRUE(patV >= 0 && sdtV >= 0 && catV >= 0) << before;

    Bytes delProg(8, 0), delEmm(8, 0);
    Put8(delProg, 0, 5);
    Put16(delProg, 2, 1);
    Put16(delProg, 6, 2);
    Put8(delEmm, 0, 5);
    Put8(delEmm, 1, 2);
    Put16(delEmm, 2, 1);
    Put16(delEmm, 6, 50);
    ASSERT_EQ(Send(IPCOMM_DEL_PROGRAM, Msg({delProg})), 0u);
    ASSERT_EQ(Send(IPCOMM_DEL_PID, Msg({delEmm})), 0u);

    std::string after = ApplyAndCapture();
    EXPECT_TRUE(Lines(after, "PMT program=102").empty()) << after;
    EXPECT_FALSE(Lines(after, "PMT program=101").empty());
    EXPECT_EQ(1u, Lines(after, "PAT_PROGRAM").size() / Lines(after, "PAT ").size());
    EXPECT_TRUE(Lines(after, "SDT_SERVICE id=102").empty());
    EXPECT_EQ((patV + 1) % 32, Version(after, "PAT "));
    EXPECT_EQ((sdtV + 1) % 32, Version(after, "SDT "));
    EXPECT_EQ((catV + 1) % 32, Version(after, "CAT ")) << after;
    EXPECT_EQ(Lines(before, "DESC owner=cat").size() / 2, Lines(after, "DESC owner=cat").size()) << after;
    EXPECT_LT(Routed(), routed) << "the deleted PIDs are no longer routed";
}

} // namespace
