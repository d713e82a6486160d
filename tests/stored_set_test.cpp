// A stored modulation set read as what the card ran with it, the checks that
// every road shares (request ranges, two carriers in one band), and JSON
// parameter documents: which standard one of old is, and the start-up's
// reading that passes over a bad member alone.
#include "DTMB/dtmb_check.h"
#include "DTMB/dtmb_param.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <cJSON.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>

namespace {

class StoredSet : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = g_u32ModulationMode;
        PARAMS_InitParametersSem();
    }
    void TearDown() override { g_u32ModulationMode = saved_; }
    // The factory set of a mode, live and returned.
    TParameter_DTMB Factory(U32 mode)
    {
        g_u32ModulationMode = mode;
        Master_PARAMS_Factory();
        return *GetDTMBPara_Handle();
    }
    U32 saved_ = 0;
};

bool Read(const TParameter_DTMB& base, TParameter_DTMB& set, bool fallBack, const bool* held = nullptr,
          DTMB_Refusal* why = nullptr)
{
    DTMB_Refusal scratch;
    return DTMB_ReadStoredSet(&base, &set, held, fallBack, nullptr, why ? why : &scratch);
}

bool Check(const TParameter_DTMB& live, TParameter_DTMB cand, DTMB_Refusal* why = nullptr,
           DTMB_Road road = DTMB_ROAD_REQUEST)
{
    DTMB_Refusal scratch;
    return DTMB_CheckCandidate(&live, &cand, why ? why : &scratch, road);
}

}  // namespace

TEST_F(StoredSet, ValuesAreReadAsWhatTheHardwareRan)
{
    // DVB-C on the 6-bit attenuator: a level keeps its low six bits.
    const TParameter_DTMB base = Factory(3);
    for (U32 level : {63u, 64u, 102u, 255u}) {
        TParameter_DTMB s = base;
        memset(s.OutputPow, (int)level, sizeof(s.OutputPow));
        ASSERT_TRUE(Read(base, s, false));
        for (U8 p : s.OutputPow)
            EXPECT_EQ(p, level & 0x3F) << level;
    }
    // Channel 1's own constellation ran as channel 0's; a symbol rate no
    // core runs falls back alone, the rest of the set kept.
    TParameter_DTMB s = base;
    s.OutputFreq[0] = 522000;
    for (U32 k = 1; k < 4; k++)
        s.OutputFreq[k] = 522000 + 8000 * k;
    s.QAMMod[0] = s.QAMMod[2] = s.QAMMod[3] = _128QAM;
    s.QAMMod[1] = _16QAM;
    s.SymbolRate[4] = 9000;
    TParameter_DTMB strict = s;
    ASSERT_TRUE(Read(base, s, true));
    EXPECT_EQ(s.QAMMod[1], _128QAM);
    EXPECT_EQ(s.SymbolRate[4], base.SymbolRate[4]);
    EXPECT_EQ(s.OutputFreq[0], 522000u);
    EXPECT_EQ(s.OutputFreq[3], 546000u);
    // Without a fallback the rate refuses the set, naming it.
    DTMB_Refusal why;
    EXPECT_FALSE(Read(base, strict, false, nullptr, &why));
    EXPECT_NE(std::string(why.acField).find("symbolrate of channel 4: 9000"), std::string::npos) << why.acField;
    // A value of channel 1 alone, its deciding channel not held, is left to
    // the checks, which refuse it.
    TParameter_DTMB alone = base;
    alone.QAMMod[1] = _16QAM;
    bool held[8] = {false, true};
    ASSERT_TRUE(Read(base, alone, false, held));
    EXPECT_EQ(alone.QAMMod[1], _16QAM);
    EXPECT_FALSE(Check(base, alone, nullptr, DTMB_ROAD_STORED));

    // DTMB drives the AD9789's full scale: past it a level has no reading.
    const TParameter_DTMB dtmb = Factory(0);
    TParameter_DTMB loud = dtmb;
    loud.OutputPow[0] = 102;
    ASSERT_TRUE(Read(dtmb, loud, true));
    EXPECT_EQ(loud.OutputPow[0], dtmb.OutputPow[0]);
    EXPECT_EQ(loud.OutputPow[3], dtmb.OutputPow[0]);
}

TEST_F(StoredSet, EveryRoadRefusesTwoCarriersInOneBandAndTheRatesTheMibOffers)
{
    // DVB-C: a request takes 4035..6952 and says so; a stored 7000 runs.
    const TParameter_DTMB dvbc = Factory(3);
    DTMB_Refusal why;
    for (U32 rate : {4034u, 4035u, 6952u, 6953u}) {
        TParameter_DTMB c = dvbc;
        c.SymbolRate[0] = rate;
        EXPECT_EQ(Check(dvbc, c, &why), rate >= 4035 && rate <= 6952) << rate;
    }
    EXPECT_NE(std::string(why.acField).find("(4035..6952)"), std::string::npos) << why.acField;
    TParameter_DTMB kept = dvbc;
    kept.SymbolRate[0] = 7000;
    EXPECT_TRUE(Check(dvbc, kept, nullptr, DTMB_ROAD_STORED));

    // DVB-T: a chip's first frequency as the MIB offers it; channel 0's band
    // (four 8 MHz channels) against channel 4's.
    const TParameter_DTMB dvbt = Factory(1);
    for (U32 f : {47999u, 48000u, 500000u, 838000u, 838001u}) {
        TParameter_DTMB c = dvbt;
        c.OutputFreq[f > 500000 ? 4 : 0] = f;
        EXPECT_EQ(Check(dvbt, c, &why), f >= 48000 && f <= 838000) << f;
    }
    EXPECT_NE(std::string(why.acField).find("(48000..838000)"), std::string::npos) << why.acField;
    for (int delta : {-32000, -31999, 0, 31999, 32000}) {
        TParameter_DTMB c = dvbt;
        c.OutputFreq[0] = (U32)((int)dvbt.OutputFreq[4] + delta);
        EXPECT_EQ(Check(dvbt, c, &why), delta <= -32000 || delta >= 32000) << delta;
    }
    EXPECT_EQ(why.enKind, DTMB_REFUSED_CLASH);

    // ATSC: a channel moved or switched on within 6 MHz of an enabled one.
    const TParameter_DTMB atsc = Factory(6);
    TParameter_DTMB on = atsc;
    for (U32& e : on.u32Enable)
        e = 1;
    ASSERT_TRUE(Check(atsc, on));
    for (U32 apart : {0u, 5999u, 6000u}) {
        TParameter_DTMB c = on;
        c.OutputFreq[4] = on.OutputFreq[5] - apart;
        EXPECT_EQ(Check(on, c), apart == 6000) << apart;
    }
    TParameter_DTMB off = on;
    off.u32Enable[5] = 0;
    TParameter_DTMB onto = off;
    onto.OutputFreq[4] = off.OutputFreq[5];
    EXPECT_TRUE(Check(off, onto)) << "no carrier on a channel switched off";
    onto.u32Enable[5] = 1;
    EXPECT_FALSE(Check(off, onto)) << "switched on onto another";
}

namespace {

cJSON* Doc(const std::string& text)
{
    cJSON* d = cJSON_Parse(text.c_str());
    EXPECT_NE(d, nullptr) << text;
    return d;
}

// A document of web type 0 with channels 0-3 given by a member list each.
std::string Family0(const std::string& extra, const U32 freq[4], int standard = 0)
{
    std::string s = "{\"psiinterval\":100,\"channelstandard\":" + std::to_string(standard) +
                    ",\"portlist\":[{\"port\":0,\"channellist\":[";
    for (int n = 0; n < 4; n++)
        s += std::string(n ? "," : "") + "{\"channel\":" + std::to_string(n) + ",\"enable\":0,\"constellation\":10," +
             "\"carrier\":0,\"Interweave\":240,\"framehead\":1,\"frequency\":" + std::to_string(freq[n]) +
             ",\"power\":40,\"bandwidth\":2,\"fftmode\":1,\"guardinterval\":0,\"constellationmode\":2,\"fec\":4," +
             "\"insertpsienable\":1" + extra + ",\"Interweave\":240}";
    return s + "]}]}";
}

}  // namespace

TEST_F(StoredSet, DocumentsOfOldAreToldByWhatTheirMembersHold)
{
    const U32 f8[4] = {474000, 482000, 490000, 498000}, fAtsc[4] = {57000, 63000, 69000, 79000};
    struct Case {
        std::string text;
        U32 modes;
    } cases[] = {
        {Family0("", f8), 1u << 0 | 1u << 1},                   // factory values: DTMB or DVB-T
        {Family0("", f8).replace(Family0("", f8).find("\"framehead\":1"), 13, "\"framehead\":3"), 1u << 0},  // DTMB's set
        {Family0("", f8).replace(Family0("", f8).find("\"fec\":4"), 7, "\"fec\":1"), 1u << 1},  // DVB-T's set
        {Family0("", fAtsc), 1u << 6},                          // each channel on its own
        {Family0("", f8, 2), 0},                                // a cable plan under DTMB's layout
    };
    for (size_t i = 0; i < sizeof(cases) / sizeof(cases[0]); i++) {
        cJSON* d = Doc(cases[i].text);
        EXPECT_EQ(DATA_StandardOfDocument(d), 0) << i;
        EXPECT_EQ(DATA_ModesOfDocument(d), cases[i].modes) << i;
        cJSON_Delete(d);
    }
    // The card's own document with a key added is still of its standard.
    Factory(3);
    cJSON* root = cJSON_CreateObject();
    DATA_Save_DTMBParameter(root, nullptr);
    cJSON* first = cJSON_GetArrayItem(cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(root, "portlist"), 0),
                                                          "channellist"),
                                      0);
    cJSON_AddNumberToObject(first, "note", 1);
    EXPECT_EQ(DATA_StandardOfDocument(root), 3);
    cJSON_Delete(root);
}

TEST_F(StoredSet, TheStartUpPassesOverABadMemberAloneAndSavesBothFiles)
{
    const TParameter_DTMB base = Factory(3);
    cJSON* d = Doc(R"({"psiinterval":"150","portlist":[{"port":0,"channellist":[
        {"channel":0,"frequency":522000,"enable":1,"power":102,"qammode":"3","symbolrate":6900},
        {"channel":1,"qammode":1}, {"channel":9,"power":1}]}]})");
    EXPECT_EQ(DATA_RecoverStoredDTMBParameter(d, "test"), ZR_SUCCESS);
    cJSON_Delete(d);
    const TParameter_DTMB& live = *GetDTMBPara_Handle();
    EXPECT_EQ(live.OutputFreq[0], 522000u);
    EXPECT_EQ(live.OutputFreq[1], 530000u);
    EXPECT_EQ(live.u32Enable[0], 1u);
    EXPECT_EQ(live.SymbolRate[0], 6900u);
    EXPECT_EQ(live.OutputPow[0], 38);
    EXPECT_EQ(live.QAMMod[0], base.QAMMod[0]) << "the mistyped member alone kept its value";
    EXPECT_EQ(live.QAMMod[1], base.QAMMod[0]) << "channel 1 runs channel 0's";
    EXPECT_EQ(GetQAMIPMonitor_Handle()->u16PSIInterval, 100);
    // The same values in both files.
    EXPECT_EQ(0, memcmp(&g_stCurPE.st_DTMBParams.stDTMBParams, &live, sizeof(live)));
    std::string text;
    ASSERT_TRUE(plat::ReadFile(TARVEX_OID_JSON_FILE, text));
    cJSON* saved = Doc(text);
    cJSON* c0 = cJSON_GetArrayItem(
        cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(saved, "portlist"), 0), "channellist"), 0);
    EXPECT_EQ(cJSON_GetObjectItem(c0, "frequency")->valuedouble, 522000);
    EXPECT_EQ(cJSON_GetObjectItem(c0, "power")->valuedouble, 38);
    cJSON_Delete(saved);
    // An import of the same document is refused whole for its mistyped member.
    d = Doc(R"({"psiinterval":100,"portlist":[{"port":0,"channellist":[{"channel":0,"qammode":"3"}]}]})");
    EXPECT_EQ(DATA_Recovery_DTMBParameter(d), ZR_ERR_WEB_POST_PARAM);
    cJSON_Delete(d);
}
