// The transport-stream path from outside: input-card messages through the
// apply step into the carousel, read back with libdvbpsi, and the edges of
// table building, routing and input checks that a wrong change would cross.
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SItable.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_conflict.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include "mux_fixture.h"
#include "support/si_fixture.h"
#include "support/tsp_wire.h"
#include <atomic>
#include <chrono>
#include <gtest/gtest.h>
#include <thread>

namespace {

namespace w = tspwire;

class TsPath : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        g_u32ModulationMode = 3;  // DVB-C: DVB tables
        muxfix::ResetCarousel();
        SIP_ResetContentHistory();
        for (U8& e : u8PSIEnable)
            e = 1;
        GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
        SIPacket_ResetTickCount();
        muxfix::ClearCaptures();
    }
    void TearDown() override
    {
        g_u32ModulationMode = savedMode;
        muxfix::ResetCarousel();
    }
    static std::string Decode(U16 ts) { return sifx::Decode(sifx::CarouselPackets(ts), true); }
    static std::string Field(const std::string& out, const std::string& kind, const std::string& key)
    {
        auto l = sifx::Lines(out, kind);
        return l.empty() ? "" : sifx::Field(l.back(), key);
    }
    U32 savedMode = 0;
};

w::Bytes ValidNIT(U16 channel, U16 networkId)
{
    w::Bytes rec = w::NITSection(channel, 3, 0, 16);
    const U8 head[] = {0x40, 0xF0, 13, (U8)(networkId >> 8), (U8)networkId, 0xC1, 0, 0, 0xF0, 0, 0xF0, 0};
    memcpy(&rec[32], head, sizeof(head));
    U32 crc = Common_CRC_Calculate(&rec[32], 12, 0);
    for (int i = 0; i < 4; i++)
        rec[44 + i] = (U8)(crc >> (24 - 8 * i));
    return rec;
}

TEST_F(TsPath, InputMessagesReachTheCarouselAsDecodableTables)
{
    ASSERT_EQ(0u, w::Send(IPCOMM_SEND_TS, w::Msg({w::TS(0)})));
    w::Prog prog;
    ASSERT_EQ(0u, w::Send(IPCOMM_SEND_PROGRAM, w::Msg({w::Program(prog)})));
    w::Pid pcr, video, audio;
    pcr.type = PID_TYPE_PCRPID;
    video.pidId = 2;
    audio.pidId = 3, audio.oldPid = 0x102, audio.streamType = 0x04;
    ASSERT_EQ(0u, w::Send(IPCOMM_SEND_PID, w::Msg({w::PID(pcr), w::PID(video), w::PID(audio)})));
    // The NIT arrives with its own command and must be broadcast as stored.
    ASSERT_EQ(0u, w::Send(IPCOMM_SEND_NIT_TABLE, w::Msg({ValidNIT(0, 0x77)})));
    TSP_GetTSParam()->pOutputTS[0].u8NITGenerate = 1;  // the operator's choice
    ASSERT_EQ(0u, TSP_MuxProcess());
    for (int i = 0; i < 20; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);

    sifx::Bytes all;
    for (auto& pkt : muxfix::ReadPackets(0))
        all.insert(all.end(), pkt.begin(), pkt.end());
    std::string out = sifx::Decode(all, true);
    EXPECT_EQ(0, muxfix::ContinuityErrors(0));
    for (auto& l : sifx::Lines(out, "SECTION"))
        EXPECT_NE("bad", sifx::Field(l, "crc")) << l;
    EXPECT_EQ("100", Field(out, "PAT_PROGRAM", "number")) << out;
    EXPECT_EQ("256", Field(out, "PAT_PROGRAM", "pid"));
    auto es = sifx::Lines(out, "PMT_ES");
    ASSERT_LE(2u, es.size()) << out;
    EXPECT_EQ("257", sifx::Field(es[0], "pid"));
    EXPECT_EQ("258", sifx::Field(es[1], "pid"));
    EXPECT_EQ("257", Field(out, "PMT", "pcr_pid"));
    EXPECT_EQ("News", Field(out, "SERVICE_DESC", "name"));
    EXPECT_EQ("119", Field(out, "NIT", "network_id")) << out;
}

// 71 programs with long names make an SDT of more packets than one carousel
// entry takes: it goes out in several, naming every service. A sixth
// elementary stream with full information makes one PMT longer than a
// section: that program alone is missing, from the PAT and the SDT alike.
TEST_F(TsPath, ATableThatCannotBeSentLeavesTheOthers)
{
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 0x10);
    const std::string name(32, 'N'), provider(32, 'P');
    for (U16 i = 0; i < 71; i++)
        sifx::AddProgram(ts, (U16)(100 + i), (U16)(0x100 + i), 0x1FFF, name, provider);
    U16 big = sifx::AddProgram(ts, 999, 0x300, 0x1FFF, "Big");
    for (U16 e = 0; e < 6; e++)
        sifx::AddPID(ts, big, PID_TYPE_ESPID, (U16)(0x400 + e), 0x02, 0, sifx::Bytes(188, 0x0A));

    EXPECT_EQ(0u, TSP_MuxTsSIProc(ts));
    std::string out = Decode(ts);
    EXPECT_EQ(71u, sifx::Lines(out, "PAT_PROGRAM").size()) << out.substr(0, 2000);
    EXPECT_EQ(71u, sifx::Lines(out, "PMT").size());
    for (auto& l : sifx::Lines(out, "PAT_PROGRAM"))
        EXPECT_NE("999", sifx::Field(l, "number"));  // no PAT entry without a PMT
    auto services = sifx::Lines(out, "SDT_SERVICE");
    EXPECT_EQ(71u, services.size());
    for (auto& l : services)
        EXPECT_NE("999", sifx::Field(l, "id"));
}

TEST_F(TsPath, AtscVctChangeStepsOnlyTheVct)
{
    g_u32ModulationMode = 6;  // 8VSB: ATSC tables
    sifx::ResetDb();
    U16 ts = sifx::AddStream(0, 0x10);
    U16 prog = sifx::AddProgram(ts, 101, 0x100, 0x101, "News");
    sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x101, 0x02);
    ASSERT_EQ(0u, TSP_MuxTsSIProc(ts));
    std::string before = Decode(ts);
    const U8 patVersion = TSP_GetTSParam()->pOutputTS[ts].u8PATVersionNumber;

    memcpy(TSP_GetTSParam()->pOutputProgram[prog].aru8ServiceName, "Info", 4);  // VCT only
    SSD_InitBroadcastSI();
    ASSERT_EQ(0u, TSP_MuxTsSIProc(ts));
    std::string after = Decode(ts);
    EXPECT_EQ(patVersion, TSP_GetTSParam()->pOutputTS[ts].u8PATVersionNumber);
    EXPECT_EQ(Field(before, "PAT", "version"), Field(after, "PAT", "version"));
    const int vct = std::stoi(Field(before, "VCT", "version"));
    EXPECT_EQ(std::to_string((vct + 1) & 31), Field(after, "VCT", "version")) << after;
    EXPECT_EQ(Field(after, "VCT", "version"), Field(after, "MGT_TABLE", "version"));
    // The MGT lists the VCT's new version: it steps its own.
    const int mgt = std::stoi(Field(before, "MGT", "version"));
    EXPECT_EQ(std::to_string((mgt + 1) & 31), Field(after, "MGT", "version")) << after;
}

TEST_F(TsPath, SttGoesOutWhileAnApplyHoldsTheCardState)
{
    g_u32ModulationMode = 6;
    Resource_GetHandle(SLOT_BB)->u8NTPZone = 12;
    U16 ts = muxfix::Stream(0, 0x10);
    U16 p = muxfix::Program(ts, 3, 1, 101, 0x100, 0x101);
    muxfix::ES(ts, p, 0x101);
    TSP_GetTSParam()->pOutputTS[ts].u8STTGenerate = 1;
    ASSERT_EQ(0u, TSP_MuxProcess());

    std::atomic<bool> held{false}, done{false};
    std::thread apply([&] {
        CARD_STATE_LOCK();
        held = true;
        while (!done)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    });
    while (!held)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    for (int i = 0; i < 5; i++)
        SIPacket_Tick(CHIP_TYPE_MAIN);
    done = true;
    apply.join();
    int stt = 0;
    for (auto& pkt : muxfix::ReadPackets(0))
        stt += muxfix::PacketPid(pkt) == SIP_PID_PSIP_BASE && (pkt[1] & 0x40) && pkt[5] == 0xCD;
    EXPECT_EQ(5, stt);
}

// Sections end exactly at 1024 bytes: one byte more opens the next section.
TEST_F(TsPath, SdtAndVctSectionBoundaries)
{
    static SDTTable_t sdt;
    memset(&sdt, 0, sizeof(sdt));
    sdt.u16ServiceNum = 2;
    sdt.arstProgInfo[0].u16OtherInfoLen = 500;  // 5 + 500 bytes in the loop
    sdt.arstProgInfo[1].u16OtherInfoLen = 499;  // 1009 in all: 1024 with header and CRC
    static U8 buf[SIP_CONSTRUCT_BUF_LEN];
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructSDT(&sdt, sizeof(buf), buf, &len));
    EXPECT_EQ(1024, len);
    sdt.arstProgInfo[1].u16OtherInfoLen = 500;
    ASSERT_EQ(0u, SIP_ConstructSDT(&sdt, sizeof(buf), buf, &len));
    EXPECT_EQ(1, buf[7]) << "last_section_number";
    EXPECT_EQ(11u + 505 + 4, (((U32)buf[1] & 0x0F) << 8 | buf[2]) + 3u);

    static VCTTable_t vct;
    memset(&vct, 0, sizeof(vct));
    vct.u8ChannelsNum = 4;
    const U16 desc[4] = {300, 300, 280, 0};  // 16 + 4 x 32 + 880 = 1024
    for (int i = 0; i < 4; i++)
        vct.arstVCTChannelInfo[i].u16DescriptorLength = desc[i];
    U8 sections = 0;
    U16 total = 0;
    ASSERT_EQ(0u, SIP_GetVCTSectionInfo(&vct, &sections, &total));
    EXPECT_EQ(1, sections);
    EXPECT_EQ(1024, total);
    vct.arstVCTChannelInfo[3].u16DescriptorLength = 1;
    ASSERT_EQ(0u, SIP_GetVCTSectionInfo(&vct, &sections, &total));
    EXPECT_EQ(2, sections);
}

TEST_F(TsPath, VctChannelFlagBits)
{
    static VCTTable_t vct;
    memset(&vct, 0, sizeof(vct));
    vct.u8ChannelsNum = 1;
    VCTChannelInfo_t& ch = vct.arstVCTChannelInfo[0];
    ch.u8ETMLocation = 1;
    ch.u8AccessControlled = 1;
    ch.u8Hidden = 1;
    ch.u8ServiceType = 2;
    ch.u8PathSelect = 1;  // cable only
    ch.u8OutOfBand = 1;   // cable only
    static U8 buf[SIP_CONSTRUCT_BUF_LEN];
    U16 len = 0;
    ASSERT_EQ(0u, SIP_ConstructVCT(&vct, SIP_VCT_TID_TERRESTRIAL, sizeof(buf), buf, &len));
    // ETM 01, access 1, hidden 1, reserved 11, hide_guide 0, reserved 1.
    EXPECT_EQ(0x7D, buf[10 + 26]);
    EXPECT_EQ(0xC2, buf[10 + 27]);
    ch.u8HideGuide = 1;
    ASSERT_EQ(0u, SIP_ConstructVCT(&vct, SIP_VCT_TID_TERRESTRIAL, sizeof(buf), buf, &len));
    EXPECT_EQ(0x7F, buf[10 + 26]);
    ch.u8OutOfBand = 0;
    ASSERT_EQ(0u, SIP_ConstructVCT(&vct, SIP_VCT_TID_CABLE, sizeof(buf), buf, &len));
    // ETM 01, access 1, hidden 1, path_select 1, out_of_band 0, hide_guide 1, reserved 1.
    EXPECT_EQ(0x7B, buf[10 + 26]);
}

// A PCR and an elementary stream of the same input PID are one stream; a
// PMT on that PID is not, and must move.
TEST_F(TsPath, SamePidPcrExceptionOnlyForPcrAndEs)
{
    Output_TSInfo* db = TSP_GetTSParam();
    U16 ts = muxfix::Stream(0);
    U16 a = muxfix::Program(ts, 3, 7, 1, 0x1000, 0x300);
    muxfix::PCR(ts, a);
    U16 b = muxfix::Program(ts, 3, 7, 2, 0x300, 0x1FFF);
    U16 c = muxfix::Program(ts, 3, 7, 3, 0x1002, 0x300);
    ASSERT_EQ(0u, TSP_AddOutputTSHandlePid(ts, db));
    EXPECT_EQ(0x300, db->pOutputProgram[a].u16PCRPID);
    EXPECT_EQ(0x300, db->pOutputProgram[c].u16PCRPID);  // shares a's PCR
    EXPECT_NE(0x300, db->pOutputProgram[b].u16PMTPID);
}

TEST_F(TsPath, RoutingOfDuplicatesAndDescrambledPrograms)
{
    // Two sources onto one destination: only one may feed it.
    U32 src[2] = {1, 2}, dst[2] = {10, 10};
    U16 idx[2] = {0, 1};
    ASSERT_EQ(0u, TSP_DelSameSrcInfo(dst, src, idx, 2));
    EXPECT_EQ(1, (idx[0] == 0xFFFF) + (idx[1] == 0xFFFF));

    // A program descrambled by a CAM: its ECMs stay out of the output.
    U16 ts = muxfix::Stream(0);
    U16 p = muxfix::Program(ts, 3, 7, 1, 0x1000, 0x1FFF);
    muxfix::ES(ts, p, 0x100);
    muxfix::PSECM(ts, p, 0x150);
    // A CI source beyond the routing word's bits would route another input.
    Output_TSPID& wild = TSP_GetTSParam()->pOutputPID[muxfix::ES(ts, p, 0x160)];
    wild.u16CISrcPID = 0xFFFF;
    wild.u16SrcCIStreamID = 0xFFFF;
    TSP_GetTSParam()->pOutputProgram[p].u8CIFlag = 1;
    ASSERT_EQ(0u, TSP_WriteOutputLUTInfo());
    bool ecm = false, es = false, cut = false;
    for (U64 e : simboard::GetModels()->routing.muxCommitted) {
        ecm = ecm || (e != 0 && (e & 0x1FFF) == 0x150);
        es = es || (e != 0 && (e & 0x1FFF) == 0x100);
        cut = cut || (e != 0 && (e & 0x1FFF) == 0x160);
    }
    EXPECT_TRUE(es);
    EXPECT_FALSE(ecm);
    EXPECT_FALSE(cut);
}

class TsInputChecks : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        db = TSP_GetTSParam();
        ASSERT_EQ(0u, w::Send(IPCOMM_SEND_TS, w::Msg({w::TS(0)})));
        ASSERT_EQ(0u, w::Send(IPCOMM_SEND_PROGRAM, w::Msg({w::Program(w::Prog())})));
        ASSERT_EQ(0u, w::Send(IPCOMM_SEND_PID, w::Msg({w::PID(w::Pid())})));
    }
    void TearDown() override
    {
        EXPECT_EQ(w::CheckInvariants(db), "");
        muxfix::ResetDb();
    }
    Output_TSInfo* db = nullptr;
};

TEST_F(TsInputChecks, NitSectionsAreStoredAsNit)
{
    ASSERT_EQ(0u, w::Send(IPCOMM_SEND_NIT_TABLE, w::Msg({ValidNIT(0, 5)})));
    U16 ts = 0;
    ASSERT_EQ(0u, TSP_GetOutputTSIndexByTS(0, &ts));
    ASSERT_NE(TSP_INVALID_INDEX, db->pOutputTS[ts].u16NITIndex);
    EXPECT_EQ(TSP_TABLE_TYPE_NIT, db->pOutputTable[db->pOutputTS[ts].u16NITIndex].u8TableType);
}

TEST_F(TsInputChecks, LongInformationWithoutItsRecordAndWidePidsAreRefused)
{
    w::Mon pmt;
    pmt.type = PID_TYPE_PMTPID;
    pmt.infoLen = 300;  // more than a record holds, and no descriptor record
    EXPECT_EQ(TSP_ERR_INPUT, w::Send(IPCOMM_MONITOR_PID, w::Monitor(pmt)));
    w::Mon es;
    es.infoLen = 189;
    EXPECT_EQ(TSP_ERR_INPUT, w::Send(IPCOMM_MONITOR_PID, w::Monitor(es)));
    es.infoLen = 0;
    es.newPid = 0x2001;
    EXPECT_EQ(TSP_ERR_INPUT, w::Send(IPCOMM_MONITOR_PID, w::Monitor(es)));
    EXPECT_EQ(0, db->pOutputProgram[0].u16ProgramInfoLength);

    w::Pid wide;
    wide.pidId = 9;
    wide.oldPid = 0x2100;  // would be masked to 0x100 in the routing word
    EXPECT_EQ(TSP_ERR_INPUT, w::Send(IPCOMM_SEND_PID, w::Msg({w::PID(wide)})));
    w::Prog wideProg;
    wideProg.progId = 2, wideProg.pmt = 0xFFFF;
    EXPECT_EQ(TSP_ERR_INPUT, w::Send(IPCOMM_SEND_PROGRAM, w::Msg({w::Program(wideProg)})));
}

// The carousel thread reads the PSI interval while web and SNMP handlers set
// it (a race the thread-checking build reports).
TEST(PsiInterval, ReadAndWrittenFromTwoThreads)
{
    ASSERT_EQ(0u, TSP_SetPSIInterval(100));
    std::thread writer([] {
        for (int i = 0; i < 2000; i++)
            TSP_SetPSIInterval(i & 1 ? 200 : 100);
    });
    for (int i = 0; i < 2000; i++) {
        U16 v = 0;
        TSP_GetPSIInterval(&v);
        ASSERT_TRUE(v == 100 || v == 200) << v;
    }
    writer.join();
    TSP_SetPSIInterval(100);
    SSD_FlushSubMessages();
}

// The IP monitor and the per-PID measurement share registers 833/834; the
// monitor set-up waits while a measurement sequence holds the registers.
TEST(SharedRegisters, SequencesSharingRegistersTakeOneLock)
{
    const QAM_IPMonitorPara saved = *GetQAMIPMonitor_Handle();
    simboard::PokeReg(833, 0xDEAD);
    std::thread t;
    {
        std::lock_guard<std::mutex> lk(FPGA_SequenceMutex());
        t = std::thread([] {
            QAM_IPMonitorPara p = *GetQAMIPMonitor_Handle();
            p.u8Enable = 1;
            p.u8Channel = 2;
            SetQAM_IPMonitor(&p);
        });
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        EXPECT_EQ(0xDEADu, simboard::PeekReg(833));
    }
    t.join();
    EXPECT_EQ(2u, simboard::PeekReg(833));
    QAM_IPMonitorPara restore = saved;
    PARAMS_SetIPMonitorParams(&restore);
}

// A program on air gains what does not fit: six ES of 188 bytes of
// information (a PMT of 1,184 bytes), 25 program ECMs and, on its stream,
// 40 EMMs. As a change that is refused and nothing moves; an apply leaves
// out the newest records not on air until every table fits, and the
// program stays in the PAT, its PMT and the SDT.
TEST_F(TsPath, AnApplyLeavesOutWhatDoesNotFitNeverWhatIsOnAir)
{
    sifx::ResetDb();
    Output_TSInfo* db = TSP_GetTSParam();
    U16 ts = sifx::AddStream(0, 0x10);
    U16 prog = sifx::AddProgram(ts, 1000, 0x100, 0x101, "On air");
    db->pOutputProgram[prog].u16ProgramID = 1;
    U16 id = 1;
    auto add = [&](U16 owner, U8 type, U16 pid, U16 casid, const sifx::Bytes& info) {
        U16 r = sifx::AddPID(ts, owner, type, pid, type == PID_TYPE_ESPID ? 0x06 : 0, casid, info);
        db->pOutputPID[r].u16PIDID = id++;
        db->pOutputPID[r].u16ProgramID = type == PID_TYPE_EMMPID ? 0 : 1;
    };
    add(prog, PID_TYPE_ESPID, 0x101, 0, {});
    add(prog, PID_TYPE_ESPID, 0x102, 0, {});
    ASSERT_EQ(0u, TSP_MuxProcess());
    sifx::Bytes info(188, 0x0A);
    info[0] = 0x05;  // one descriptor of 186 bytes
    info[1] = 186;
    for (U16 e = 0; e < 6; e++)
        add(prog, PID_TYPE_ESPID, (U16)(0x110 + e), 0, info);
    for (U16 k = 0; k < 25; k++)
        add(prog, PID_TYPE_PS_ECMPID, (U16)(0x200 + k), (U16)(0x0B00 + k), {});
    for (U16 k = 0; k < 40; k++)
        add(ts, PID_TYPE_EMMPID, (U16)(0x300 + k), (U16)(0x0C00 + k), {});
    const std::vector<Output_TSPID> before(db->pOutputPID, db->pOutputPID + db->u32OutputPIDNumber);
    EXPECT_EQ(TSP_ERR_DOES_NOT_FIT, TSP_PlanCheck(nullptr, "test"));
    EXPECT_EQ(0, memcmp(before.data(), db->pOutputPID, before.size() * sizeof(Output_TSPID)));

    ASSERT_EQ(0u, TSP_MuxProcess());
    const Output_TSProgram& p = db->pOutputProgram[prog];
    EXPECT_EQ(7u, p.u16ESNumber);
    EXPECT_EQ(20u, p.u16PSECMPIDNumber);
    EXPECT_EQ(32u, db->pOutputTS[ts].u16EMMPIDNumber);
    std::string out = Decode(ts);
    EXPECT_EQ("1000", Field(out, "PAT_PROGRAM", "number"));
    EXPECT_EQ(7u, sifx::Lines(out, "PMT_ES program=1000").size()) << out;
    EXPECT_EQ("1000", Field(out, "SDT_SERVICE", "id"));
    EXPECT_EQ(32u, sifx::Lines(out, "DESC owner=cat").size());
}

// A new program whose one ES brings 21 ECMs: as a change it is refused; an
// apply leaves out that ES's newest ECM alone and the program goes on air
// with 20 on it, beside another ES that has exactly 20.
TEST_F(TsPath, AnEsTakesTwentyEcmsAndAnApplyLeavesOutTheTwentyFirst)
{
    sifx::ResetDb();
    Output_TSInfo* db = TSP_GetTSParam();
    U16 ts = sifx::AddStream(0, 0x10);
    U16 prog = sifx::AddProgram(ts, 1000, 0x100, 0x101, "New");
    U16 es[2] = {sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x101, 0x02, 0, {}),
                 sifx::AddPID(ts, prog, PID_TYPE_ESPID, 0x102, 0x02, 0, {})};
    U16 last[2] = {};
    for (U16 e = 0; e < 2; e++)
        for (U16 k = 0; k < 21 - e; k++)
            last[e] = sifx::AddPID(ts, es[e], PID_TYPE_ES_ECMPID, (U16)(0x200 + e * 0x40 + k), 0, (U16)(0x0B00 + k), {});
    EXPECT_EQ(TSP_ERR_DOES_NOT_FIT, TSP_PlanCheck(nullptr, "test"));
    ASSERT_EQ(0u, TSP_MuxProcess());
    ASSERT_EQ(1, db->pOutputProgram[prog].u8ValidFlag);
    EXPECT_EQ(20u, db->pOutputPID[es[0]].u16ESECMPIDNumber);
    EXPECT_EQ(20u, db->pOutputPID[es[1]].u16ESECMPIDNumber);
    EXPECT_NE(1, db->pOutputPID[last[0]].u8ValidFlag);
    EXPECT_EQ(1, db->pOutputPID[last[1]].u8ValidFlag);
    const std::string out = Decode(ts);
    EXPECT_EQ(2u, sifx::Lines(out, "PMT_ES program=1000").size()) << out;
}

}  // namespace
