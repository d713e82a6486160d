// The apply step end to end on the simulated board: conflicts, routing,
// regenerated PSI/SI in the carousel, and the carousel's output over 30
// seconds of ticks read back by independent decoders (psidecode on libdvbpsi
// and Debian's dvbinfo): no CRC or continuity error, times near the clock.
#include "Common/commonfun.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_plan.h"
#include "mux_fixture.h"
#include "support/testboard.h"
#include <ctime>
#include <gtest/gtest.h>
#include <map>
#include <sstream>
#include <thread>
#include "Timer/timer.h"

using namespace muxfix;

namespace {


// Seconds between a DVB UTC time (MJD + BCD) and now.
long long SecondsFromNow(unsigned long long utc)
{
    unsigned mjd = (unsigned)(utc >> 24);
    auto bcd = [](unsigned v) { return (v >> 4) * 10 + (v & 15); };
    long long t = ((long long)mjd - 40587) * 86400 + bcd((utc >> 16) & 0xFF) * 3600 + bcd((utc >> 8) & 0xFF) * 60 +
                  bcd(utc & 0xFF);
    return t - (long long)time(nullptr);
}

// Stores a NIT section for a stream (as the user NIT would).
void StoreNit(U16 ts, U16 networkId)
{
    Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; i < db->u32OutputTableNumber; i++) {
        TSTable& t = db->pOutputTable[i];
        if (t.u8ValidFlag == 1)
            continue;
        memset(&t, 0, sizeof(t));
        TSP_InitOneOutputTable(&t);
        U8* p = t.aru8TableInfo;
        const U8 head[] = {0x40, 0xF0, 13, (U8)(networkId >> 8), (U8)networkId, 0xC1, 0, 0, 0xF0, 0, 0xF0, 0};
        memcpy(p, head, sizeof(head));
        U32 crc = Common_CRC_Calculate(p, 12, 0);
        p[12] = (U8)(crc >> 24), p[13] = (U8)(crc >> 16), p[14] = (U8)(crc >> 8), p[15] = (U8)crc;
        t.u16TableInfoLen = 16;
        t.u16Index = (U16)i;
        t.u8TableType = 2;
        db->pOutputTS[ts].u16NITIndex = (U16)i;
        db->pOutputTS[ts].u8NITGenerate = 1;
        return;
    }
}

class Apply : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        ResetCarousel();
        for (U8& e : u8PSIEnable)
            e = 1;
        GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
        SIPacket_ResetTickCount();
        ClearCaptures();
    }
    void TearDown() override
    {
        g_u32ModulationMode = savedMode;
        ResetDb();
        SSD_InitBroadcastSI();
    }
    // Two channels of the master with two and one programs, one of the slave.
    void BuildStreams()
    {
        U16 t0 = Stream(0, 0x10), t1 = Stream(1, 0x11), t5 = Stream(5, 0x15);
        Output_TSInfo* db = TSP_GetTSParam();
        for (U16 t : {t0, t1, t5}) {
            db->pOutputTS[t].u8TOTGenerate = 1;
            db->pOutputTS[t].u8TDTGenerate = 1;
        }
        U16 a = Program(t0, 3, 1, 101, 0x100, 0x101);
        ES(t0, a, 0x101, 0x02);
        ES(t0, a, 0x102, 0x04);
        PCR(t0, a);
        // Same ids and PIDs from another input: conflict resolution moves them.
        U16 b = Program(t0, 4, 1, 101, 0x100, 0x101);
        ES(t0, b, 0x101, 0x02);
        PCR(t0, b);
        U16 e = EMM(t0, 3, 1, 0x500);
        db->pOutputPID[e].u16CASID = 0x0B00;
        StoreNit(t0, 0x33);
        U16 c = Program(t1, 3, 2, 7, 0x200, 0x201);
        ES(t1, c, 0x201);
        U16 d = Program(t5, 3, 5, 9, 0x300, 0x301);
        ES(t5, d, 0x301);
    }
    void Ticks(int n)
    {
        for (int i = 0; i < n; i++)
            SIPacket_Tick(CHIP_TYPE_MAIN);
    }
    U32 savedMode = 0;
};

std::string Psidecode(U8 channel)
{
    return CommandOutput(std::string(MODCARD_BUILD_DIR) + "/tests/psidecode --ts " + Capture(channel));
}

void ExpectCleanCapture(U8 channel, const std::string& decoded)
{
    EXPECT_FALSE(ReadPackets(channel).empty()) << "channel " << (int)channel;
    EXPECT_EQ(0, ContinuityErrors(channel)) << "channel " << (int)channel;
    auto sections = Lines(decoded, "SECTION ");
    EXPECT_FALSE(sections.empty());
    for (const std::string& s : sections)
        EXPECT_EQ(std::string::npos, s.find("crc=bad")) << s;
    // dvbinfo reads the file through its own demultiplexer and reports
    // discontinuities and CRC failures in its debug output.
    std::string info = CommandOutput("dvbinfo -d error -f " + Capture(channel) + " 2>&1");
    EXPECT_EQ(std::string::npos, info.find("discontinuity")) << info.substr(0, 2000);
    EXPECT_EQ(std::string::npos, info.find("CRC")) << info.substr(0, 2000);
    EXPECT_EQ(std::string::npos, info.find("Error")) << info.substr(0, 2000);
}

// Every TDT and TOT tells the time within 2 s of the clock while the ticks
// ran (from and to: the clock before and after them).
void ExpectTimesNearClock(const std::string& decoded, long long from, long long to)
{
    const long long now = (long long)time(nullptr);
    for (const char* kind : {"TDT ", "TOT "}) {
        for (const auto& l : Lines(decoded, kind)) {
            unsigned long long utc = strtoull(l.substr(l.find("utc=") + 4).c_str(), nullptr, 16);
            long long t = now + SecondsFromNow(utc);
            EXPECT_GE(t, from - 2) << l;
            EXPECT_LE(t, to + 2) << l;
        }
    }
}

TEST_F(Apply, EmptyDatabaseStillWritesTablesAndFlagsTheCarousel)
{
    U32 commits = simboard::GetModels()->routing.commits;
    g_u8MuxFlag = 0;
    EXPECT_EQ(0u, TSP_MuxProcess());
    EXPECT_EQ(1, g_u8MuxFlag);
    EXPECT_EQ(commits + 2, simboard::GetModels()->routing.commits);
    EXPECT_EQ(0u, SSD_GetSIPacketParam()->u16TSPacketNum);
    // The slave gets its time-table settings (all off).
    std::vector<U8> flags;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, &flags));
    EXPECT_EQ(std::vector<U8>(8, 0), flags);
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TOT_TABLE_INFO, &flags));
    EXPECT_EQ(224u, flags.size());
}

// What the card found stored and cannot put on air (a 101st program, a PMT
// longer than one section) stays in the database, in its place in its list,
// off air, at every apply; a record that was not stored is still left out,
// and a check of a later change does not stumble over the kept ones.
TEST_F(Apply, StoredRecordsPastALimitStayInTheDatabaseOffAir)
{
    ResetDb(8, 200, 800);
    Output_TSInfo* db = TSP_GetTSParam();
    U16 t0 = Stream(0, 0x10), t1 = Stream(1, 0x11);
    for (U16 k = 0; k < 101; k++) {
        U16 p = Program(t0, 3, 1, (U16)(1 + k), (U16)(0x100 + 2 * k), (U16)(0x101 + 2 * k));
        db->pOutputProgram[p].u16ProgramID = (U16)(1 + k);
        ES(t0, p, (U16)(0x101 + 2 * k));
        PCR(t0, p);
    }
    U16 longPmt = Program(t1, 3, 2, 500, 0x400, 0x401);
    db->pOutputProgram[longPmt].u16ProgramID = 500;
    for (U16 e = 0; e < 6; e++) {
        U16 i = ES(t1, longPmt, (U16)(0x401 + e));
        db->pOutputPID[i].u16PIDID = e;
        db->pOutputPID[i].u16ESInfoLength = 188;
        db->pOutputPID[i].aru8ESInfo[0] = 0x80;
        db->pOutputPID[i].aru8ESInfo[1] = 186;
    }
    U16 fits = Program(t1, 3, 2, 501, 0x410, 0x411);
    db->pOutputProgram[fits].u16ProgramID = 501;
    ES(t1, fits, 0x411);
    auto lists = [db, t0, t1, longPmt]() {
        std::vector<U16> out;
        IndexInfoList_t l;
        for (U16 t : {t0, t1})
            if (TSP_GetOutTSProgIndexList(t, db, &l) == 0)
                out.insert(out.end(), l.aru16IndexList, l.aru16IndexList + l.u16IndexListNum);
        if (TSP_GetOutProgESPIDIndexList(longPmt, db, &l) == 0)
            out.insert(out.end(), l.aru16IndexList, l.aru16IndexList + l.u16IndexListNum);
        return out;
    };
    TSP_PlanNoteStored(db);
    const std::vector<U16> before = lists();
    // One more, not stored: it is left out as before.
    U16 extra = Program(t0, 3, 1, 102, 0x300, 0x301);
    db->pOutputProgram[extra].u16ProgramID = 102;
    ES(t0, extra, 0x301);
    for (int round = 0; round < 2; round++) {
        EXPECT_EQ(0u, TSP_PlanApply()) << round;
        EXPECT_EQ(lists(), before) << "every stored program in its place, the long PMT's six ES too";
        EXPECT_NE(db->pOutputProgram[extra].u8ValidFlag, 1) << "the program not stored is left out";
        Output_TSProgram first = db->pOutputProgram[before[0]];
        EXPECT_TRUE(TSP_PlanProgramOnAir(&first));
        EXPECT_FALSE(TSP_PlanProgramOnAir(&db->pOutputProgram[before[100]])) << "the 101st";
        EXPECT_EQ(db->pOutputTS[t0].u16ProgramNum, 101);
        EXPECT_FALSE(TSP_PlanProgramOnAir(&db->pOutputProgram[longPmt]));
        EXPECT_TRUE(TSP_PlanProgramOnAir(&db->pOutputProgram[fits]));
        EXPECT_EQ(0u, TSP_PlanCheck(nullptr, "test")) << "what is kept off air refuses no other change";
    }
}

// Stored programs whose routes do not all fit the slave's routing table
// (1,000 entries) are kept off air the same way, not deleted.
TEST_F(Apply, StoredProgramsPastTheRoutingTableStayInTheDatabase)
{
    ResetDb(8, 200, 1500);
    Output_TSInfo* db = TSP_GetTSParam();
    U16 t4 = Stream(4, 0x14);
    for (U16 k = 0; k < 100; k++) {
        U16 p = Program(t4, 3, 5, (U16)(1 + k), (U16)(0x100 + 16 * k), (U16)(0x101 + 16 * k));
        db->pOutputProgram[p].u16ProgramID = (U16)(1 + k);
        for (U16 e = 0; e < 11; e++)
            db->pOutputPID[ES(t4, p, (U16)(0x101 + 16 * k + e))].u16PIDID = (U16)(16 * k + e);
    }
    TSP_PlanNoteStored(db);
    EXPECT_EQ(0u, TSP_PlanApply());
    U32 valid = 0, onAir = 0;
    for (U32 i = 0; i < db->u32OutputProgramNumber; i++) {
        valid += db->pOutputProgram[i].u8ValidFlag == 1;
        onAir += db->pOutputProgram[i].u8ValidFlag == 1 && TSP_PlanProgramOnAir(&db->pOutputProgram[i]);
    }
    EXPECT_EQ(valid, 100u);
    EXPECT_EQ(db->pOutputTS[t4].u16ProgramNum, 100);
    EXPECT_LT(onAir, 100u) << "the routes of all of them do not fit";
    EXPECT_GT(onAir, 80u);
}

// A stream whose program list its walkers refuse (301 programs) is skipped:
// the others still get their routing and their tables.
TEST_F(Apply, UnresolvableStreamDoesNotStopTheOthers)
{
    ResetDb(8, 400);
    U16 bad = Stream(3, 0x13), good = Stream(1, 0x11);
    for (U16 k = 0; k < 301; k++)
        Program(bad, 3, 1, (U16)(k + 1), (U16)(0x100 + k), 0x1FFF);
    U16 p = Program(good, 3, 2, 7, 0x200, 0x201);
    ES(good, p, 0x201);
    U32 commits = simboard::GetModels()->routing.commits;
    EXPECT_EQ(0u, TSP_MuxProcess());
    EXPECT_EQ(commits + 2, simboard::GetModels()->routing.commits);
    EXPECT_NE(SI_LIST_END, SSD_GetLastSIPacketIndex(good));
    EXPECT_EQ(0x201, TSP_GetTSParam()->pOutputProgram[p].u16PCRPID);
}

TEST_F(Apply, BypassStreamIsRoutedAndReportedButGetsNoTables)
{
    Stream(2, 1, true, 6, 3);
    TResource_TS* self = Resource_getSelfHandle();
    ASSERT_NE(nullptr, self);
    self->u16OutputChannelNum = 8;
    memset(self->u8OutputChannelStatus, 0, sizeof(self->u8OutputChannelStatus));
    ASSERT_EQ(0u, TSP_MuxProcess());
    EXPECT_EQ(0u, SSD_GetSIPacketParam()->u16TSPacketNum);
    EXPECT_EQ(((U64)0x100 << 26) | (2 | 3 << 10 | 6 << 20), simboard::GetModels()->routing.bypassCommitted[0]);
    ASSERT_EQ(0u, TSP_UpdateResourceInfo());
    EXPECT_EQ(1, self->u8OutputChannelStatus[2]);
    std::vector<U8> rec;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(TSP_RESOURCE_REPORT_KEY, &rec));
    EXPECT_EQ(1024u, rec.size());
    SSD_FlushSubMessages();
    // Unchanged status: nothing is sent.
    ASSERT_EQ(0u, TSP_UpdateResourceInfo());
    EXPECT_FALSE(SSD_GetPendingPeerMessage(TSP_RESOURCE_REPORT_KEY, nullptr));
}

TEST_F(Apply, DvbCarouselDecodesCleanlyOverThirtySeconds)
{
    g_u32ModulationMode = 3;  // DVB-C: SI mode 0
    BuildStreams();
    ASSERT_EQ(0u, TSP_MuxProcess());
    // The first pass after the apply forwards channel 5 to the slave.
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendBroadcastSI();
    }
    std::vector<U8> rows;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &rows));
    EXPECT_EQ(0u, rows.size() % 196);
    EXPECT_GE(rows.size() / 196, 4u);  // PAT, PMT, SDT and the closing row
    std::vector<U8> flags;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TOT_ENABLE_FLAG, &flags));
    EXPECT_EQ(1, flags[5]);
    EXPECT_EQ(0, flags[2]);
    // Conflict resolution moved the second program's id and PIDs.
    Output_TSInfo* db = TSP_GetTSParam();
    EXPECT_EQ(1, db->pOutputProgram[1].u16ServiceID);
    EXPECT_EQ(51, db->pOutputProgram[1].u16PMTPID);
    const long long ticksFrom = (long long)time(nullptr);
    Ticks(310);  // 31 s at the 100 ms interval: two TDT/TOT rounds
    const long long ticksTo = (long long)time(nullptr);
    std::string d0 = Psidecode(0);
    ExpectCleanCapture(0, d0);
    EXPECT_FALSE(Lines(d0, "PAT ").empty());
    EXPECT_EQ(2u, Lines(d0, "PAT_PROGRAM").size() / Lines(d0, "PAT ").size());
    EXPECT_FALSE(Lines(d0, "PMT program=101").empty());
    EXPECT_FALSE(Lines(d0, "PMT program=1 ").empty());
    EXPECT_FALSE(Lines(d0, "SDT ").empty());
    EXPECT_FALSE(Lines(d0, "CAT ").empty());
    EXPECT_FALSE(Lines(d0, "NIT ").empty());
    auto tdt = Lines(d0, "TDT ");
    auto tot = Lines(d0, "TOT ");
    EXPECT_EQ(2u, tdt.size());
    EXPECT_EQ(2u, tot.size());
    ExpectTimesNearClock(d0, ticksFrom, ticksTo);
    EXPECT_FALSE(Lines(d0, "LTO country=\"CHN\"").empty());
    ExpectCleanCapture(1, Psidecode(1));
}

TEST_F(Apply, SlaveRepeatsForwardedTablesAndItsTimeTables)
{
    g_u32ModulationMode = 3;
    BuildStreams();
    ASSERT_EQ(0u, TSP_MuxProcess());
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendBroadcastSI();
    }
    std::vector<U8> rows, tdtFlags, totFlags, models;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_PARAMS_PSI_TABLE, &rows));
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TDT_ENABLE_FLAG, &tdtFlags));
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TOT_ENABLE_FLAG, &totFlags));
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TOT_TABLE_INFO, &models));
    SSD_FlushSubMessages();
    // What the slave's chip link does with them.
    ASSERT_EQ(0u, SSD_ReceiveSubSIInfo(rows.data(), (U32)rows.size()));
    memcpy(u8TDTEnableFlag, tdtFlags.data(), 8);
    memcpy(u8TOTEnableFlag, totFlags.data(), 8);
    memcpy(g_stTOTInfo, models.data(), sizeof(g_stTOTInfo));
    ClearCaptures();
    simboard::PokeReg(17, 1);
    FPGA_CheckChipType();
    SIPacket_ResetTickCount();
    const long long ticksFrom = (long long)time(nullptr);
    for (int i = 0; i < 310; i++)
        SIPacket_Tick(CHIP_TYPE_SUB);
    const long long ticksTo = (long long)time(nullptr);
    simboard::PokeReg(17, 0);
    FPGA_CheckChipType();
    std::string d5 = Psidecode(5);
    ExpectCleanCapture(5, d5);
    EXPECT_FALSE(Lines(d5, "PAT ").empty());
    EXPECT_FALSE(Lines(d5, "PMT program=9").empty());
    EXPECT_FALSE(Lines(d5, "SDT ").empty());
    EXPECT_EQ(2u, Lines(d5, "TDT ").size());
    EXPECT_EQ(2u, Lines(d5, "TOT ").size());
    ExpectTimesNearClock(d5, ticksFrom, ticksTo);
    EXPECT_TRUE(ReadPackets(0).empty());  // the slave writes only what it got
}

TEST_F(Apply, AtscCarouselCarriesMgtVctAndStt)
{
    g_u32ModulationMode = 6;  // 8VSB: SI mode 1
    Resource_GetHandle(16)->u8NTPZone = 12;  // UTC
    BuildStreams();
    ASSERT_EQ(0u, TSP_MuxProcess());
    const long long ticksFrom = (long long)time(nullptr);
    Ticks(310);
    const long long ticksTo = (long long)time(nullptr);  // decoding below may take seconds on a slow build
    std::string d0 = Psidecode(0);
    ExpectCleanCapture(0, d0);
    EXPECT_FALSE(Lines(d0, "PAT ").empty());
    EXPECT_FALSE(Lines(d0, "MGT ").empty());
    EXPECT_FALSE(Lines(d0, "VCT ").empty());
    auto stt = Lines(d0, "STT ");
    EXPECT_EQ(310u, Lines(d0, "SECTION pid=8187 table_id=0xcd").size());  // one STT per tick
    EXPECT_TRUE(Lines(d0, "TDT ").empty());
    EXPECT_TRUE(Lines(d0, "TOT ").empty());
    EXPECT_TRUE(Lines(d0, "SDT ").empty());
    if (!stt.empty()) {
        // GPS seconds since 1980-01-06, less the GPS-UTC offset the back board gives.
        const std::string& l = stt.back();
        long long sys = strtoll(l.substr(l.find("system_time=") + 12).c_str(), nullptr, 10);
        long long off = strtoll(l.substr(l.find("gps_utc_offset=") + 15).c_str(), nullptr, 10);
        long long utc = sys + 315964800 - off;
        EXPECT_GE(utc, ticksFrom - 2) << l;
        EXPECT_LE(utc, ticksTo + 2) << l;
    }
}

}  // namespace

namespace {

int CountTdt(U8 channel)
{
    int n = 0;
    for (const auto& p : ReadPackets(channel))
        if (PacketPid(p) == 20 && p[5] == 0x70)
            n++;
    return n;
}

TEST_F(Apply, TimeTablesFollowTheTickCount)
{
    g_u32ModulationMode = 3;
    U16 t0 = Stream(0);
    U16 p = Program(t0, 3, 1, 1, 0x100, 0x1FFF);
    ES(t0, p, 0x101);
    ASSERT_EQ(0u, TSP_MuxProcess());
    // 15000 / 1000 = 15: first on tick 16, then every 14 ticks.
    GetQAMIPMonitor_Handle()->u16PSIInterval = 1000;
    Ticks(15);
    EXPECT_EQ(0, CountTdt(0));
    Ticks(1);
    EXPECT_EQ(1, CountTdt(0));
    Ticks(13);
    EXPECT_EQ(1, CountTdt(0));
    Ticks(1);
    EXPECT_EQ(2, CountTdt(0));
    // An interval above 15 s: the time tables go out on the next tick, and
    // on every tick after it rather than only when the count wraps.
    GetQAMIPMonitor_Handle()->u16PSIInterval = 20000;
    SIPacket_ResetTickCount();
    Ticks(1);
    EXPECT_EQ(3, CountTdt(0));
    Ticks(2);
    EXPECT_EQ(5, CountTdt(0));
    // 7.5 s to 15 s (15000 / p = 1): after the first round they keep coming
    // on every tick instead of stopping.
    GetQAMIPMonitor_Handle()->u16PSIInterval = 10000;
    SIPacket_ResetTickCount();
    Ticks(2);
    EXPECT_EQ(6, CountTdt(0));
    Ticks(3);
    EXPECT_EQ(9, CountTdt(0));
    GetQAMIPMonitor_Handle()->u16PSIInterval = 100;
}

TEST_F(Apply, CarouselThreadSendsOncePerInterval)
{
    RunInChildProcess([&] {
        g_u32ModulationMode = 3;
        U16 t0 = Stream(0);
        U16 p = Program(t0, 3, 1, 1, 0x100, 0x1FFF);
        ES(t0, p, 0x101);
        ASSERT_EQ(0u, TSP_MuxProcess());
        ASSERT_EQ(0u, TSP_SetPSIInterval(20));  // the carousel thread reads it while it runs
        auto pats = [] {
            int n = 0;
            for (const auto& pk : ReadPackets(0))
                n += PacketPid(pk) == 0;
            return n;
        };
        auto start = std::chrono::steady_clock::now();
        SIP_Init();
        // At least a second, longer while a loaded machine delays the ticks.
        std::this_thread::sleep_for(std::chrono::milliseconds(1000));
        for (int i = 0; i < 100 && pats() < 20; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        // Stop the ticks; the thread then only watches the counter.
        Timer_End();
        auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start);
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        // One table per 20 ms tick at most, however late the ticks came.
        EXPECT_GE(pats(), 20);
        EXPECT_LE(pats(), ms.count() / 20 + 5);
        EXPECT_EQ(0, ContinuityErrors(0));
        ASSERT_EQ(0u, TSP_SetPSIInterval(100));
    });
}

}  // namespace
