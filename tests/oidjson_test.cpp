// The JSON parameter file: the names it repeats, the documents its restore
// refuses, a restore that touches one channel, and factory values of every
// standard that survive a save and a restore.
#include "DTMB/dtmb_param.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <cJSON.h>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <string>
#include <sys/wait.h>

namespace {

class OidJson : public ::testing::Test {
protected:
    void SetUp() override
    {
        saved_ = g_u32ModulationMode;
        PARAMS_InitParametersSem();
    }
    void TearDown() override { g_u32ModulationMode = saved_; }
    void Factory(U32 mode)
    {
        g_u32ModulationMode = mode;
        ASSERT_EQ(Master_PARAMS_Factory(), ZR_SUCCESS);
    }
    U32 saved_ = 0;
};

zrErrCode Apply(const char* text)
{
    cJSON* doc = cJSON_Parse(text);
    EXPECT_NE(doc, nullptr) << text;
    zrErrCode rc = DATA_Recovery_DTMBParameter(doc);
    cJSON_Delete(doc);
    return rc;
}

// Names of every channel object in file order, seen by python's json with
// object_pairs_hook (which keeps repeated names), one line per channel.
std::string ChannelNames()
{
    static const char* kScript = R"PY(
import json, sys
def hook(pairs):
    if any(k == 'channel' for k, _ in pairs):
        print(','.join(k for k, _ in pairs))
    return dict(pairs)
json.load(open(sys.argv[1]), object_pairs_hook=hook)
)PY";
    std::string script = TestBoardRoot() + "/names.py";
    std::ofstream(script) << kScript;
    std::string cmd = "/usr/bin/python3 '" + script + "' '" + plat::Path(TARVEX_OID_JSON_FILE) + "'";
    return CommandOutput(cmd);
}

int Count(const std::string& line, const std::string& name)
{
    int n = 0;
    size_t pos = 0;
    std::string s = "," + line.substr(0, line.find('\n')) + ",";
    while ((pos = s.find("," + name + ",", pos)) != std::string::npos) {
        n++;
        pos++;
    }
    return n;
}

// The members a document carries for a mode, compared between two sets.
void ExpectDocumentedEqual(const TParameter_DTMB& a, const TParameter_DTMB& b, U32 mode)
{
#define SAME(m) EXPECT_EQ(0, memcmp(a.m, b.m, sizeof(a.m))) << #m << " in mode " << mode
    SAME(u32Enable); SAME(ConsteMod); SAME(CarrMod); SAME(IntLeav); SAME(FramHeadMod); SAME(OutputFreq);
    SAME(OutputPow); SAME(Bandwidth_Sel); SAME(DVBT_FFTSize); SAME(DVBT_GadIntSize); SAME(DVBT_QAMMod);
    SAME(DVBT_CodeMod); SAME(u8InsertPSIEnable);
    if (mode == 3) { SAME(QAMMod); SAME(SymbolRate); }
    if (mode == 4) { SAME(AnnexBQAMMode); SAME(AnnexBIntLeav); SAME(SymbolRate); }
    if (mode == 5) { SAME(u8ISDBTQAMMode); SAME(u8FFTMode); SAME(u8GImode); SAME(u8ConvolutionalCodeRate);
                     SAME(u8SegmentMode); }
#undef SAME
    if (mode == 4 || mode == 6) {
        EXPECT_EQ(a.u32ATSCChannelMode, b.u32ATSCChannelMode);
    }
}

}  // namespace

TEST_F(OidJson, DocumentRepeatsTheNamesOfTheStandard)
{
    Factory(4);  // J.83 Annex B
    DATA_Save();
    std::string names = ChannelNames();
    EXPECT_EQ(std::count(names.begin(), names.end(), '\n'), 8);
    EXPECT_EQ(Count(names, "Interweave"), 2);
    EXPECT_EQ(Count(names, "fftmode"), 1);
    Factory(5);  // ISDB-T
    DATA_Save();
    names = ChannelNames();
    EXPECT_EQ(Count(names, "Interweave"), 2);
    EXPECT_EQ(Count(names, "fftmode"), 2);
    EXPECT_EQ(Count(names, "rflevelunit"), 1);
    EXPECT_EQ(Count(names, "singlemode"), 0);
}

TEST_F(OidJson, FactoryValuesSurviveASaveAndRestoreInEveryStandard)
{
    for (U32 mode : {0u, 1u, 3u, 4u, 5u, 6u}) {
        Factory(mode);
        TParameter_DTMB factory = *GetDTMBPara_Handle();
        U16 psi = GetQAMIPMonitor_Handle()->u16PSIInterval;
        DATA_Save();
        TParameter_DTMB* live = GetDTMBPara_Handle();
        memset(live, 0x5A, sizeof(*live));
        GetQAMIPMonitor_Handle()->u16PSIInterval = (U16)(psi + 7);
        EXPECT_EQ(DATA_Recovery(), 0);
        ExpectDocumentedEqual(*GetDTMBPara_Handle(), factory, mode);
        ExpectDocumentedEqual(g_stCurPE.st_DTMBParams.stDTMBParams, factory, mode);  // and saved
        EXPECT_EQ(GetQAMIPMonitor_Handle()->u16PSIInterval, psi);
    }
}

TEST_F(OidJson, RestoreChangesOnlyWhatTheDocumentNames)
{
    Factory(3);  // DVB-C: no channel standard needed
    TParameter_DTMB before = *GetDTMBPara_Handle();

    // Refused documents change nothing: a missing or mistyped member, a
    // channel beyond the card's eight, a channel whose frequency its chip
    // derives, a value the hardware does not take.
    EXPECT_EQ(Apply(R"({"psiinterval":"100","singlemode":1})"), ZR_ERR_WEB_POST_PARAM);
    EXPECT_EQ(Apply(R"({"portlist":[]})"), ZR_ERR_WEB_POST_PARAM);
    for (const char* channel : {R"({"channel":8,"frequency":1})", R"({"channel":0,"frequency":"5"})",
                                R"({"channel":0,"qammode":5})", R"({"channel":1.5,"power":30})"})
        EXPECT_EQ(Apply((std::string(R"({"psiinterval":100,"portlist":[{"port":0,"channellist":[)") + channel +
                         "]}]}").c_str()),
                  ZR_ERR_WEB_POST_PARAM)
            << channel;
    EXPECT_EQ(Apply(R"({"psiinterval":100,"portlist":[{"port":0,"channellist":[{"channel":2,"frequency":474000}]}]})"),
              ZR_ERR_WEB_FREQUENCY_DERIVED);
    EXPECT_EQ(0, memcmp(GetDTMBPara_Handle(), &before, sizeof(before)));

    // One channel; the others of its chip follow it 8 MHz apart.
    EXPECT_EQ(Apply(R"({"PSIInterval":100,"singlemode":1,"portlist":[{"port":0,"channellist":[
                 {"channel":0,"frequency":506000}]}]})"),
              ZR_SUCCESS);
    TParameter_DTMB want = before;
    for (U32 k = 0; k < 4; k++)
        want.OutputFreq[k] = 506000 + 8000 * k;
    want.u8SingleMode = 1;  // kept by the final copy
    EXPECT_EQ(0, memcmp(GetDTMBPara_Handle(), &want, sizeof(want)));
    EXPECT_EQ(0, memcmp(&g_stCurPE.st_DTMBParams.stDTMBParams, &want, sizeof(want)));
    EXPECT_EQ(GetQAMIPMonitor_Handle()->u16PSIInterval, 100);

    // Annex B and 8VSB need the channel standard.
    Factory(6);
    EXPECT_EQ(Apply(R"({"psiinterval":100})"), ZR_ERR_WEB_POST_PARAM);
    EXPECT_EQ(Apply(R"({"psiinterval":100,"channelstandard":1})"), ZR_SUCCESS);
    EXPECT_EQ(GetDTMBPara_Handle()->u32ATSCChannelMode, 1u);

    // A missing or broken file restores nothing.
    Spill(plat::Path(TARVEX_OID_JSON_FILE), "{\"psiinterval\":");
    EXPECT_EQ(DATA_Recovery(), 1);
}
