// TDT and TOT: which channels get them, the operator's TOT edit from the
// working copy to the output, the settings for the slave, the text forms.
#include "Parameter/parameters.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "mux_fixture.h"
#include "support/si_fixture.h"
#include <cstring>
#include <gtest/gtest.h>

using namespace muxfix;

namespace {

class TimeTables : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode = g_u32ModulationMode;
        g_u32ModulationMode = 3;
        ResetCarousel();
        ClearCaptures();
        for (U16 c : {0, 1, 2}) {
            U16 t = Stream(c, (U16)(0x10 + c), c == 2, 3, c);
            TSP_GetTSParam()->pOutputTS[t].u8TDTGenerate = 1;
            TSP_GetTSParam()->pOutputTS[t].u8TOTGenerate = 1;
        }
    }
    void TearDown() override { g_u32ModulationMode = savedMode; }
    void Round()
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        SSD_SendTimeSITable();
    }
    // Sections of a table id seen on PID 20 of a channel.
    std::vector<std::vector<U8>> Sections(U8 channel, U8 tid)
    {
        std::vector<std::vector<U8>> out;
        for (const auto& p : ReadPackets(channel))
            if (PacketPid(p) == 20 && p[5] == tid)
                out.emplace_back(p.begin() + 5, p.end());
        return out;
    }
    U32 savedMode = 0;
};

TEST_F(TimeTables, DefaultTotOnMultiplexedChannelsOnly)
{
    Round();
    EXPECT_EQ(1u, Sections(0, 0x70).size());
    auto tot = Sections(0, 0x73);
    ASSERT_EQ(1u, tot.size());
    // Local time offset descriptor: CHN, region 8, offset 0.
    const U8* d = tot[0].data() + 10;
    EXPECT_EQ(0x58, d[0]);
    EXPECT_EQ(13, d[1]);
    EXPECT_EQ(0, memcmp(d + 2, "CHN", 3));
    EXPECT_EQ(8, d[5] >> 2);
    EXPECT_TRUE(Sections(2, 0x70).empty());  // bypass stream
    // TDT and TOT share the counter of PID 20.
    auto pk = ReadPackets(0);
    ASSERT_EQ(2u, pk.size());
    EXPECT_EQ(((pk[0][3] & 15) + 1) & 15, pk[1][3] & 15);
    // ATSC: neither table on any channel.
    g_u32ModulationMode = 6;
    ClearCaptures();
    Round();
    EXPECT_TRUE(ReadPackets(0).empty());
}

TEST_F(TimeTables, PassedThroughPid20WinsUnlessTheTotWasEdited)
{
    U16 t1 = 1;
    Other(t1, 3, 1, 20);
    Round();
    EXPECT_TRUE(Sections(1, 0x70).empty());
    EXPECT_TRUE(Sections(1, 0x73).empty());

    // The operator edits channel 1's TOT: eight hours ahead.
    ASSERT_EQ(0u, TSP_InitOutputTempTSInfo());
    TSP_CopyOutputTempTSInfo();
    TOTTable_t model;
    TSP_InitTOT(&model);
    model.arstDescInfo.arstDes[0].u16LocalTimeOffset = 0x0800;
    model.aru8UTCTime[0] = 0xC0;  // an old date: the output still tells the time
    model.aru8UTCTime[1] = 0x00;
    TOTBuf_t* buf = new TOTBuf_t();
    U16 len = 0;
    ASSERT_EQ(ZR_SUCCESS, SIP_ConstructTOT(&model, sizeof(buf->aru8OutputTOTSection), buf->aru8OutputTOTSection, &len));
    buf->u16TOTLength = len;
    ASSERT_EQ(ZR_SUCCESS, TSP_EditTOT_LTODescriptor(1, buf));
    EXPECT_TRUE(TSP_IsTOTTableChangedByUser(t1, TSP_GetTempTSParam()));
    EXPECT_FALSE(TSP_IsTOTTableChangedByUser(t1, TSP_GetTSParam()));
    TOTTable_t back;
    ASSERT_EQ(0u, TSP_GetTOTTableInfo(1, &back));
    EXPECT_EQ(0x0800, back.arstDescInfo.arstDes[0].u16LocalTimeOffset);
    ASSERT_EQ(0u, TSP_CopyOutputTSInfo());
    EXPECT_TRUE(TSP_IsTOTTableChangedByUser(t1, TSP_GetTSParam()));
    ClearCaptures();
    Round();
    EXPECT_EQ(1u, Sections(1, 0x70).size());
    auto tot = Sections(1, 0x73);
    ASSERT_EQ(1u, tot.size());
    EXPECT_EQ(0x08, tot[0][10 + 6]);  // offset hours in BCD
    EXPECT_EQ(0, memcmp(&tot[0][3], &Sections(1, 0x70)[0][3], 2));  // same MJD as the TDT
    // The slave gets the edited model for its flags' channels as well.
    TSP_SendSubTOTTableInfo();
    std::vector<U8> models;
    ASSERT_TRUE(SSD_GetPendingPeerMessage(ZR_COM_MAC_CMD_TOT_TABLE_INFO, &models));
    ASSERT_EQ(224u, models.size());
    TOTTable_t m1;
    memcpy(&m1, models.data() + 28, 28);
    EXPECT_EQ(0x0800, m1.arstDescInfo.arstDes[0].u16LocalTimeOffset);
    TOTTable_t m2;
    memcpy(&m2, models.data() + 56, 28);
    EXPECT_EQ(0, m2.u8SectionLen);  // bypass channel: zeros
    // Deleting the edit restores the default; deleting again changes nothing.
    EXPECT_EQ(0u, TSP_DelTOT(1));
    EXPECT_EQ(0xFFFF, TSP_GetTempTSParam()->pOutputTS[t1].u16TOTIndex);
    EXPECT_EQ(0u, TSP_DelTOT(0));
    delete buf;
}

TEST(TimeTableText, Conversions)
{
    U8 cc[] = "CHN";
    EXPECT_EQ(0x43484Eu, TSP_CountryCodeW2Hex(cc));
    U8 off[] = "08:00";
    EXPECT_EQ(0x0800, TSP_TimeOffsetW2Hex(off));
    U8 text[32];
    TSP_TimeOffsetHex2W(0x0930, text);
    EXPECT_STREQ("09:30", (char*)text);
    TSP_CountryCodeHex2W(0x43484E, text);
    EXPECT_STREQ("43484e", (char*)text);
    U8 utc[5];
    U8 when[] = "2026/12/09 01:02:03";
    TSP_TOTTimeW2Hex(when, utc);
    EXPECT_EQ(0x01, utc[2]);
    EXPECT_EQ(0x03, utc[4]);
    TSP_TOTTimeHex2W(text, utc);
    EXPECT_STREQ("2026/12/09 01:02:03", (char*)text);
    U8 leap[] = "2024/02/29 23:59:59";
    TSP_TOTTimeW2Hex(leap, utc);
    TSP_TOTTimeHex2W(text, utc);
    EXPECT_STREQ("2024/02/29 23:59:59", (char*)text);
    EXPECT_EQ(4u, TSP_CountryCodeW2Hex(nullptr));
}

// Dates past 2038 and past the 16-bit MJD wrap (2038-04-22). Expected values
// from Python: (date - date(1858, 11, 17)).days & 0xFFFF, hh mm ss in BCD.
TEST(TimeTableText, DatesPast2038EncodeAndReadBack)
{
    struct {
        time_t t;
        const char* text;
        U8 utc[5];
    } cases[] = {
        {2214172798, "2040/02/29 23:59:58", {0x02, 0xA5, 0x23, 0x59, 0x58}},  // MJD 66213
        {2225005531, "2040/07/04 09:05:31", {0x03, 0x23, 0x09, 0x05, 0x31}},  // MJD 66339
    };
    for (const auto& c : cases) {
        U8 utc[5];
        TSP_UTCTimeOf(c.t, utc);
        EXPECT_EQ(0, memcmp(utc, c.utc, 5)) << c.text;
        U8 in[32], out[32];
        snprintf((char*)in, sizeof(in), "%s", c.text);
        TSP_TOTTimeW2Hex(in, utc);
        EXPECT_EQ(0, memcmp(utc, c.utc, 5)) << c.text;
        TSP_TOTTimeHex2W(out, utc);
        EXPECT_STREQ(c.text, (char*)out);

        // Both tables carry the field as it is, read back by libdvbpsi.
        char want[32];
        snprintf(want, sizeof(want), "0x%02x%02x%02x%02x%02x", c.utc[0], c.utc[1], c.utc[2], c.utc[3], c.utc[4]);
        TDTTable_t tdt{};
        tdt.u8SectionLen = 5;
        memcpy(tdt.aru8UTCTime, c.utc, 5);
        TOTTable_t tot;
        TSP_InitTOT(&tot);
        memcpy(tot.aru8UTCTime, c.utc, 5);
        U8 buf[1024];
        U16 len = 0;
        ASSERT_EQ(0u, SIP_ConstructTDT(&tdt, sizeof(buf), buf, &len));
        std::string decoded = sifx::Decode(sifx::Bytes(buf, buf + len));
        ASSERT_EQ(ZR_SUCCESS, SIP_ConstructTOT(&tot, sizeof(buf), buf, &len));
        decoded += sifx::Decode(sifx::Bytes(buf, buf + len));
        EXPECT_EQ(want, sifx::Field(sifx::Lines(decoded, "TDT")[0], "utc")) << decoded;
        EXPECT_EQ(want, sifx::Field(sifx::Lines(decoded, "TOT")[0], "utc")) << decoded;
    }
}

}  // namespace
