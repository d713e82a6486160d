// PSI/SI generation per output stream: what each stream gets in its SI mode,
// checked by decoding the carousel's packets with libdvbpsi.
#include "Driver/FPGA/fpga.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_db.h"
#include "support/si_fixture.h"
#include "support/testboard.h"
#include <cstring>
#include <ctime>
#include <fstream>
#include <gtest/gtest.h>
#include <iterator>
#include <mutex>
#include <set>

using sifx::Bytes;

namespace {

Output_TSInfo* Live() { return TSP_GetTSParam(); }

// Sets the card's modulation mode (and so its SI mode) for one test.
class ModeGuard {
public:
    explicit ModeGuard(U32 mode) : saved_(g_u32ModulationMode) { g_u32ModulationMode = mode; }
    ~ModeGuard() { g_u32ModulationMode = saved_; }

private:
    U32 saved_;
};

// The apply step's order for one stream; the first failure ends it.
U32 BuildStream(U16 ts)
{
    U32 (*builders[])(U32) = {TSP_ConstructPAT, TSP_ConstructCAT, TSP_ConstructNIT,
                              TSP_ConstructSDT, TSP_ConstructPMTs, TSP_ConstructPSIP};
    for (auto b : builders) {
        U32 ret = b(ts);
        if (ret != 0)
            return ret;
    }
    return 0;
}

std::string DecodeStream(U16 ts)
{
    return sifx::Decode(sifx::CarouselPackets(ts), true);
}

std::set<std::string> Pids(const std::string& out)
{
    std::set<std::string> s;
    for (auto& l : sifx::Lines(out, "SECTION"))
        s.insert(sifx::Field(l, "pid"));
    return s;
}

bool AllCrcOk(const std::string& out)
{
    for (auto& l : sifx::Lines(out, "SECTION"))
        if (sifx::Field(l, "crc") == "bad")
            return false;
    return true;
}

// A stream with two programs (video + audio each), an EMM PID and a stored NIT.
U16 DvbFixture(U16 channel)
{
    U16 ts = sifx::AddStream(channel, (U16)(0x100 + channel), 0x20);
    U16 a = sifx::AddProgram(ts, 101, 0x100, 0x101, "News", "Prov");
    sifx::AddPID(ts, a, PID_TYPE_ESPID, 0x101, 0x02);
    sifx::AddPID(ts, a, PID_TYPE_ESPID, 0x102, 0x04);
    U16 b = sifx::AddProgram(ts, 102, 0x200, 0x201, "Sport");
    sifx::AddPID(ts, b, PID_TYPE_ESPID, 0x201, 0x1B);
    sifx::AddPID(ts, b, PID_TYPE_ESPID, 0x202, 0x06);
    sifx::AddPID(ts, 0, PID_TYPE_EMMPID, 0x1F0, 0, 0x0B00, {0xAB});
    sifx::AddNITSection(ts, sifx::Sectionize({0x40, 0xF0, 0, 0x30, 0x39, 0xC1 | 3 << 1, 0, 0, 0xF0, 0, 0xF0, 6,
                                              0x01, 0x00, 0x00, 0x20, 0xF0, 0}));
    return ts;
}

}  // namespace

TEST(SIGeneration, DVBStreamGetsEveryTable)
{
    ModeGuard mode(3);  // DVB-C: SI mode 0
    sifx::ResetDb();
    U16 ts = DvbFixture(0);
    ASSERT_EQ(0u, BuildStream(ts));
    std::string out = DecodeStream(ts);
    EXPECT_TRUE(AllCrcOk(out)) << out;
    EXPECT_EQ((std::set<std::string>{"0", "1", "16", "17", "256", "512"}), Pids(out)) << out;

    auto progs = sifx::Lines(out, "PAT_PROGRAM");
    ASSERT_EQ(2u, progs.size()) << out;
    EXPECT_EQ("101", sifx::Field(progs[0], "number"));
    EXPECT_EQ("256", sifx::Field(progs[0], "pid"));
    EXPECT_EQ("512", sifx::Field(progs[1], "pid"));
    EXPECT_EQ("256", sifx::Field(sifx::Lines(out, "PAT")[0], "ts_id"));

    auto es = sifx::Lines(out, "PMT_ES");
    ASSERT_EQ(4u, es.size()) << out;
    EXPECT_EQ("0x1b", sifx::Field(es[2], "type"));
    EXPECT_EQ("0x06", sifx::Field(es[3], "type"));
    EXPECT_EQ("514", sifx::Field(es[3], "pid"));

    auto names = sifx::Lines(out, "SERVICE_DESC");
    ASSERT_EQ(2u, names.size());
    EXPECT_EQ("News", sifx::Field(names[0], "name"));
    EXPECT_EQ("Sport", sifx::Field(names[1], "name"));
    EXPECT_EQ("32", sifx::Field(sifx::Lines(out, "SDT")[0], "onid"));

    auto ca = sifx::Lines(out, "CA_DESC");
    ASSERT_EQ(1u, ca.size());
    EXPECT_EQ("496", sifx::Field(ca[0], "pid"));
    EXPECT_EQ("12345", sifx::Field(sifx::Lines(out, "NIT")[0], "network_id"));
    EXPECT_EQ(0u, sifx::Lines(out, "MGT").size());
}

TEST(SIGeneration, StreamWithoutProgramsAndPassedThroughTables)
{
    ModeGuard mode(3);
    sifx::ResetDb();
    U16 empty = sifx::AddStream(0, 1);
    ASSERT_EQ(0u, BuildStream(empty));
    EXPECT_TRUE(sifx::CarouselPackets(empty).empty());

    // PAT moved to PID 5; the input's own SDT and PMT passed through.
    U16 ts = DvbFixture(1);
    Live()->pOutputTS[ts].u16PATPID = 5;
    sifx::AddPID(ts, 0, PID_TYPE_OTHERPID, 0x11);
    sifx::AddPID(ts, 0, PID_TYPE_OTHERPID, 0x200);
    sifx::AddPID(ts, 0, PID_TYPE_OTHERPID, 0x10);
    ASSERT_EQ(0u, BuildStream(ts));
    std::string out = DecodeStream(ts);
    EXPECT_EQ((std::set<std::string>{"1", "5", "256"}), Pids(out)) << out;

    // The operator's SDT replaces the passed-through one.
    SSD_InitBroadcastSI();
    Live()->pOutputTS[ts].u8IsSDTChangedByUser = 1;
    ASSERT_EQ(0u, BuildStream(ts));
    EXPECT_EQ(1u, Pids(DecodeStream(ts)).count("17"));

    // A passed-through PAT PID: no PAT of the card's own.
    SSD_InitBroadcastSI();
    sifx::AddPID(ts, 0, PID_TYPE_OTHERPID, 5);
    ASSERT_EQ(0u, BuildStream(ts));
    EXPECT_EQ(0u, Pids(DecodeStream(ts)).count("5"));

    // Generate flags other than 1 leave their tables out.
    SSD_InitBroadcastSI();
    U16 flags = DvbFixture(2);
    Live()->pOutputTS[flags].u8SDTGenerate = 2;
    Live()->pOutputTS[flags].u8CATGenerate = 0;
    Live()->pOutputTS[flags].u8NITGenerate = 0;
    ASSERT_EQ(0u, BuildStream(flags));
    EXPECT_EQ((std::set<std::string>{"0", "256", "512"}), Pids(DecodeStream(flags)));
}

TEST(SIGeneration, FailingPartsAreSkippedOrReported)
{
    ModeGuard mode(3);
    sifx::ResetDb();
    U16 ts = DvbFixture(0);
    // EMMs whose CA data cannot be carried: no CAT, the pass goes on.
    Output_TSInfo* db = Live();
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++)
        if (db->pOutputPID[i].u8ValidFlag == 1 && db->pOutputPID[i].u8PIDType == PID_TYPE_EMMPID)
            db->pOutputPID[i].u16ESInfoLength = 120;
    // The first program's PMT cannot be built: the second is still sent.
    U16 prog = db->pOutputTS[ts].u16ProgramIndex;
    db->pOutputProgram[prog].u16ProgramInfoLength = 1025;
    ASSERT_EQ(0u, BuildStream(ts));
    std::string out = DecodeStream(ts);
    EXPECT_EQ((std::set<std::string>{"0", "16", "17", "512"}), Pids(out)) << out;

    // A service name over 32 bytes stops the pass at the SDT.
    db->pOutputProgram[prog].u16ProgramInfoLength = 0;
    db->pOutputProgram[prog].u8ServiceNameLen = 40;
    SSD_InitBroadcastSI();
    EXPECT_NE(0u, BuildStream(ts));
    EXPECT_EQ(TSP_ERR_INPUT, TSP_ConstructPAT(8));
}

TEST(SIGeneration, ATSCStreamGetsPSIP)
{
    ModeGuard mode(6);  // 8VSB: SI mode 1
    sifx::ResetDb();
    U16 cable = DvbFixture(0);
    Live()->pOutputTS[cable].u32VCTType = 0;
    Live()->pOutputTS[cable].u8PATVersionNumber = 3;
    U16 terr = DvbFixture(1);
    Live()->pOutputTS[terr].u32VCTType = 1;
    ASSERT_EQ(0u, BuildStream(cable));
    ASSERT_EQ(0u, BuildStream(terr));

    std::string out = DecodeStream(cable);
    EXPECT_TRUE(AllCrcOk(out)) << out;
    EXPECT_EQ((std::set<std::string>{"0", "256", "512", "8187"}), Pids(out)) << out;
    auto es = sifx::Lines(out, "PMT_ES");
    ASSERT_EQ(4u, es.size());
    EXPECT_EQ("0x81", sifx::Field(es[3], "type"));
    auto tables = sifx::Lines(out, "MGT_TABLE");
    ASSERT_EQ(1u, tables.size()) << out;
    EXPECT_EQ("0x0002", sifx::Field(tables[0], "type"));
    EXPECT_EQ("3", sifx::Field(tables[0], "version"));
    auto vct = sifx::Lines(out, "VCT");
    ASSERT_EQ(1u, vct.size());
    EXPECT_EQ("0xc9", sifx::Field(vct[0], "table_id"));
    EXPECT_EQ(sifx::Field(tables[0], "bytes"),
              sifx::Field(sifx::Lines(out, "SECTION")[sifx::Lines(out, "SECTION").size() - 1], "length"));
    auto ch = sifx::Lines(out, "VCT_CHANNEL");
    ASSERT_EQ(2u, ch.size());
    EXPECT_EQ("News", sifx::Field(ch[0], "name"));
    EXPECT_EQ("2", sifx::Field(ch[0], "major"));
    EXPECT_EQ("1", sifx::Field(ch[0], "minor"));
    EXPECT_EQ("2", sifx::Field(ch[1], "minor"));
    EXPECT_EQ("102", sifx::Field(ch[1], "program"));
    auto sld = sifx::Lines(out, "SLD_ELEMENT");
    ASSERT_EQ(4u, sld.size());
    EXPECT_EQ("eng", sifx::Field(sld[1], "lang"));

    out = DecodeStream(terr);
    tables = sifx::Lines(out, "MGT_TABLE");
    ASSERT_EQ(1u, tables.size()) << out;
    EXPECT_EQ("0x0000", sifx::Field(tables[0], "type"));
    EXPECT_EQ("0xc8", sifx::Field(sifx::Lines(out, "VCT")[0], "table_id"));

    // MGT alone when the VCT is not generated.
    SSD_InitBroadcastSI();
    Live()->pOutputTS[terr].u8VCTGenerate = 0;
    ASSERT_EQ(0u, TSP_ConstructPSIP(terr));
    out = DecodeStream(terr);
    EXPECT_EQ(1u, sifx::Lines(out, "MGT").size()) << out;
    EXPECT_EQ(0u, sifx::Lines(out, "VCT").size());
}

TEST(SIGeneration, STTPerChannel)
{
    ModeGuard mode(6);
    sifx::ResetDb();
    TResource_TS* bb = Resource_GetHandle(SLOT_BB);
    ASSERT_NE(nullptr, bb);
    bb->u16GPSOffset = 18;
    bb->u8NTPZone = 12;
    bb->u8DayLightFlag = 0;
    for (U16 c = 0; c < 3; c++)
        sifx::AddStream(c, 1);
    Live()->pOutputTS[2].u8STTGenerate = 0;
    for (int c = 0; c < 8; c++)
        u8MuxChannelFlag[c] = 1;
    U8 savedEnable = u8PSIEnable[1];
    u8PSIEnable[1] = 0;

    std::string dir = TestBoardRoot() + "/trace/si_ch";
    auto size = [&](int c) {
        std::ifstream f(dir + std::to_string(c) + ".ts", std::ios::binary | std::ios::ate);
        return f ? (long)f.tellg() : 0L;
    };
    long before[4];
    for (int c = 0; c < 4; c++)
        before[c] = size(c);
    // The STT carries the time of its sending, whatever the decoding costs later.
    const U32 kGpsEpoch = 315964800u, kLeap = 18u;
    const U32 sentFrom = (U32)time(nullptr) - kGpsEpoch + kLeap;
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendTimeSITableStt();
    }
    const U32 sentBy = (U32)time(nullptr) - kGpsEpoch + kLeap;
    u8PSIEnable[1] = savedEnable;
    EXPECT_EQ(188, size(0) - before[0]);
    EXPECT_EQ(0, size(1) - before[1]);  // bit rate too low for PSI
    EXPECT_EQ(0, size(2) - before[2]);  // STT generation off
    EXPECT_EQ(0, size(3) - before[3]);  // no stream

    std::ifstream f(dir + "0.ts", std::ios::binary);
    Bytes all((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    Bytes last(all.end() - 188, all.end());
    std::string out = sifx::Decode(last, true);
    auto stt = sifx::Lines(out, "STT");
    ASSERT_EQ(1u, stt.size()) << out;
    EXPECT_EQ("18", sifx::Field(stt[0], "gps_utc_offset"));
    EXPECT_EQ("8187", sifx::Field(sifx::Lines(out, "SECTION")[0], "pid"));
    U32 st = (U32)std::stoul(sifx::Field(stt[0], "system_time"));
    EXPECT_LE(sentFrom, st);
    EXPECT_LE(st, sentBy);

    // DVB SI mode: no STT at all.
    ModeGuard dvb(3);
    before[0] = size(0);
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendTimeSITableStt();
    }
    EXPECT_EQ(0, size(0) - before[0]);
}

TEST(SIGeneration, HelpersForTimeAndPIDs)
{
    EXPECT_EQ(60379, TSP_CalMJD(124, 3, 10));  // 2024-03-10
    EXPECT_EQ(45218, TSP_CalMJD(82, 9, 6));    // 1982-09-06, the worked example
    EXPECT_EQ(59580, TSP_CalMJD(122, 1, 1));   // 2022-01-01
    EXPECT_EQ(0x59, TSP_CalBCD(59));
    U8 utc[5];
    TSP_GetUTCTime(utc);
    time_t now = time(nullptr);
    struct tm t;
    gmtime_r(&now, &t);
    EXPECT_EQ(TSP_CalMJD((U16)t.tm_year, (U16)(t.tm_mon + 1), (U16)t.tm_mday), utc[0] << 8 | utc[1]);
    EXPECT_EQ(TSP_CalBCD((U8)t.tm_hour), utc[2]);

    U32 type = 9;
    U8 mod = 0;
    {
        ModeGuard m(4);
        ASSERT_EQ(0u, TSP_GetVctTypeAndModulation(&type, &mod));
        EXPECT_EQ(2u, type);
        EXPECT_EQ(2, mod);
    }
    ASSERT_EQ(0u, TSP_GetVctTypeAndModulation(&type, &mod));
    EXPECT_EQ(0u, type);
    EXPECT_EQ(TSP_ERR_INPUT, TSP_GetVctTypeAndModulation(nullptr, &mod));

    sifx::ResetDb();
    U16 ts = DvbFixture(0);
    EXPECT_TRUE(IsPIDExistInTS(ts, 0x102));    // an ES
    EXPECT_TRUE(IsPIDExistInTS(ts, 0x200));    // a PMT
    EXPECT_TRUE(IsPIDExistInTS(ts, 0x14));     // fixed set
    EXPECT_FALSE(IsPIDExistInTS(ts, 0x00));
    EXPECT_FALSE(IsPIDExistInTS(ts, 0x1FFB));
    EXPECT_FALSE(IsPIDExistInTS(ts, 0x300));
    EXPECT_FALSE(IsPIDExistInTS(0xFFFF, 0x102));
    EXPECT_FALSE(IsPSITableInOtherPID(ts, 0x11));
    sifx::AddPID(ts, 0, PID_TYPE_OTHERPID, 0x11);
    EXPECT_TRUE(IsPSITableInOtherPID(ts, 0x11));
    EXPECT_FALSE(IsPSITableInOtherPID(7, 0x11));
}

TEST(SIGeneration, ContentChangesWithoutAFlagStepTheVersion)
{
    ModeGuard mode(3);
    sifx::ResetDb();
    U16 ts = DvbFixture(0);
    Output_TSInfo* db = Live();
    Output_TSStream& s = db->pOutputTS[ts];
    U16 first = s.u16ProgramIndex;
    U16 second = db->pOutputProgram[first].u16NextProgramIndex;
    auto versions = [&]() {
        SSD_InitBroadcastSI();
        EXPECT_EQ(0u, BuildStream(ts));
        std::string out = DecodeStream(ts);
        std::string v = sifx::Field(sifx::Lines(out, "PAT")[0], "version") + "/" +
                        sifx::Field(sifx::Lines(out, "SDT")[0], "version");
        for (auto& l : sifx::Lines(out, "PMT"))
            v += "/" + sifx::Field(l, "version");
        return v;
    };
    EXPECT_EQ("0/0/0/0", versions());
    EXPECT_EQ("0/0/0/0", versions());  // nothing changed

    // What conflict resolution does: new PMT PID, new service id, new ES PID.
    db->pOutputProgram[second].u16PMTPID = 0x210;
    db->pOutputProgram[second].u16ServiceID = 202;
    db->pOutputPID[db->pOutputProgram[first].u16PIDIndex].u16PID = 0x111;
    EXPECT_EQ("1/1/1/1", versions());
    EXPECT_EQ("1/1/1/1", versions());

    // A change flag and a changed content together step once.
    db->pOutputProgram[first].u16PCRPID = 0x102;
    db->pOutputProgram[first].u8PMTChangeFlag = 1;
    EXPECT_EQ("1/1/2/1", versions());

    // ATSC: a channel number moved by conflict resolution gives the VCT
    // (which carries the PAT's version) a new version, listed in the MGT.
    ModeGuard atsc(6);
    SSD_InitBroadcastSI();
    ASSERT_EQ(0u, BuildStream(ts));
    db->pOutputProgram[second].u16MinorChannelNum = 9;
    SSD_InitBroadcastSI();
    ASSERT_EQ(0u, BuildStream(ts));
    std::string out = DecodeStream(ts);
    EXPECT_EQ("2", sifx::Field(sifx::Lines(out, "VCT")[0], "version")) << out;
    EXPECT_EQ("2", sifx::Field(sifx::Lines(out, "MGT_TABLE")[0], "version"));
    EXPECT_EQ("9", sifx::Field(sifx::Lines(out, "VCT_CHANNEL")[1], "minor"));
}
