// The web's SI editing: descriptor, BCD and hex codings, the refusals of bad
// channels and oversized or short descriptors, the TOT texts both ways, the
// table switches and the automatic NIT on a working copy that was closed.
#include "Comm/maccomm.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "TSprocess/tsp_view.h"
#include "Web/web.h"
#include "support/tsp_wire.h"
#include "support/webcall.h"
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <memory>
#include <string>

namespace {

using webcall::Answer;

// A POST of the token and the members given.
std::unique_ptr<Answer> Call(const char* key, const std::string& members)
{
    return webcall::Post(key, "{\"token\":\"t\"" + (members.empty() ? "" : "," + members) + "}");
}

std::string Descs(const Answer& nit, int entry)
{
    cJSON* e = cJSON_GetArrayItem(cJSON_GetObjectItem(nit.Data(), "streamList"), entry);
    char* s = cJSON_PrintUnformatted(cJSON_GetObjectItem(e, "descriptors"));
    std::string out = s ? s : "";
    cJSON_free(s);
    return out;
}

cJSON* Parsed(const std::vector<U8>& loop)
{
    cJSON* arr = cJSON_CreateArray();
    EXPECT_EQ(_web_parseDescriptor(loop.data(), (U32)loop.size(), arr), ZR_SUCCESS);
    return arr;
}

TEST(WebPsiCodings, HexBcdAndDescriptorLoops)
{
    EXPECT_EQ(x2c("4a"), 0x4A);
    EXPECT_EQ(x2c("F0"), 0xF0);
    EXPECT_EQ(x2c("7"), 7);
    EXPECT_EQ(x2c(""), 0);
    EXPECT_EQ(x2c(nullptr), 0);
    EXPECT_EQ(Bcd2Hex(0), 0u);
    EXPECT_EQ(Bcd2Hex(4740000), 0x04740000u);
    EXPECT_EQ(Bcd2Hex(123456789), 0x23456789u);

    // Five empty descriptors: the fifth ends the walk.
    cJSON* arr = Parsed({1, 0, 2, 0, 3, 0, 4, 0, 5, 0, 6, 0});
    EXPECT_EQ(cJSON_GetArraySize(arr), 4);
    cJSON_Delete(arr);

    arr = Parsed({0x44, 11, 0x04, 0x74, 0x00, 0x00, 0x00, 0x00, 0x03, 0x00, 0x68, 0x75, 0x00});
    cJSON* d = cJSON_GetArrayItem(arr, 0);
    EXPECT_STREQ(cJSON_GetObjectItem(d, "tag")->valuestring, "44");
    EXPECT_STREQ(cJSON_GetObjectItem(d, "data")->valuestring, "0474000000000300687500");
    EXPECT_EQ(cJSON_GetObjectItem(d, "frequency")->valuedouble, 474000);
    EXPECT_EQ(cJSON_GetObjectItem(d, "symbolrate")->valuedouble, 6875);
    cJSON_Delete(arr);

    // Short delivery descriptors are bytes only; one running past the loop ends it.
    arr = Parsed({0x43, 3, 0x01, 0x17, 0x47, 0x40, 2, 'N', 'X', 0x44, 9, 1});
    ASSERT_EQ(cJSON_GetArraySize(arr), 2);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(arr, 0), "data")->valuestring, "011747");
    EXPECT_EQ(cJSON_GetObjectItem(cJSON_GetArrayItem(arr, 0), "frequency"), nullptr);
    EXPECT_STREQ(cJSON_GetObjectItem(cJSON_GetArrayItem(arr, 1), "data")->valuestring, "NX");
    cJSON_Delete(arr);

    U8 one = 0;
    cJSON* obj = cJSON_CreateObject();
    EXPECT_EQ(_web_parseDescriptor(&one, 0, obj), ZR_ERR_WEB_BAD_PARAM);
    EXPECT_EQ(_web_parseDescriptor(&one, 1, obj), ZR_ERR_WEB_BAD_PARAM);
    cJSON_Delete(obj);
}

class WebPsi : public ::testing::Test {
protected:
    void SetUp() override
    {
        using namespace tspwire;
        mode_ = g_u32ModulationMode;
        channels_ = g_u8OutputChannelNum;
        params_ = *GetDTMBPara_Handle();
        g_u32ModulationMode = 3;
        g_u8OutputChannelNum = 8;
        ASSERT_EQ(FreshStreams(3, true), 0u);
        TSP_InitOutputTempTSInfo();
        TSP_CopyOutputTempTSInfo();
        ASSERT_EQ(Call("AddNITStream.w", Ch(0) + ",\"tsid\":1,\"originalID\":2")->Code(), 0);
    }
    void TearDown() override
    {
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTempTSParam()), "");
        g_u32ModulationMode = mode_;
        g_u8OutputChannelNum = channels_;
        *GetDTMBPara_Handle() = params_;
        TSP_FreeOutputTSInfo();
    }
    static std::string Ch(int c, int port = 0)
    {
        return "\"port\":" + std::to_string(port) + ",\"channel\":" + std::to_string(c);
    }
    std::string Nit0() { return Descs(*Call("GetNIT.w", Ch(0)), 0); }
    U32 mode_;
    U8 channels_;
    TParameter_DTMB params_;
};

TEST_F(WebPsi, DeliveryDescriptorsEncode)
{
    auto r = Call("SetCable.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"editFlag\":false,"
                                        "\"lcnList\":[{\"frequency\":474000,\"symbolrate\":6875,\"modulation\":3}]");
    EXPECT_EQ(r->Code(), 0);
    EXPECT_NE(Nit0().find("\"data\":\"0474000000000300687500\",\"length\":11,\"frequency\":474000,"
                          "\"symbolrate\":6875"),
              std::string::npos)
        << Nit0();

    const std::string sat = Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"tableindex\":0,\"tagId\":67,\"tableid\":64,"
                                    "\"data\":[0,0,0,0,0,0,5,0,0,0,3],\"frequency\":11747,"
                                    "\"symbolrate\":27500,";
    EXPECT_EQ(Call("AddDescriptor.w", sat + "\"orbitalposition\":1000,\"editFlag\":false")->Code(), 774);
    EXPECT_EQ(Call("AddDescriptor.w", sat + "\"orbitalposition\":999,\"editFlag\":false")->Code(), 0);
    EXPECT_NE(Nit0().find("\"data\":\"0117470099900502750003\""), std::string::npos) << Nit0();
    // A number as editFlag changes nothing and still succeeds.
    const std::string before = Nit0();
    EXPECT_EQ(Call("AddDescriptor.w", sat + "\"orbitalposition\":9,\"editFlag\":1")->Code(), 0);
    // A delivery descriptor without room for its fields is refused.
    EXPECT_EQ(Call("AddDescriptor.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"tableindex\":0,\"tagId\":68,"
                                              "\"tableid\":64,\"editFlag\":false,\"data\":[1,2,3],"
                                              "\"frequency\":474000,\"symbolrate\":6875")
                  ->Code(),
              774);
    EXPECT_EQ(Nit0(), before);
}

TEST_F(WebPsi, RefusalsChangeNothing)
{
    const std::string before = Nit0();
    const std::string hex300(600, 'a');
    EXPECT_EQ(Call("SetOtherDescriptor.w", Ch(0) + ",\"tsindex\":0,\"descriptor\":0,\"tableindex\":0,"
                                                   "\"tag\":\"83\",\"editFlag\":false,\"data\":\"" + hex300 + "\"")
                  ->Code(),
              774);
    EXPECT_EQ(Call("AddNITNetwork.w", Ch(0) + ",\"tag\":\"4a\",\"data\":\"" + hex300 + "\"")->Code(), 774);
    std::string arr = "[0";
    for (int i = 1; i < 256; i++)
        arr += ",1";
    arr += "]";
    EXPECT_EQ(Call("SetLCN.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"editFlag\":false,\"tagId\":131,\"data\":" + arr)
                  ->Code(),
              774);
    // A data byte outside 0..255 has no byte value: refused, never converted.
    for (const char* bad : {"1e300", "-1e300", "256", "-1", "1e19"}) {
        EXPECT_EQ(Call("AddDescriptor.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"tableindex\":0,\"tagId\":131,"
                                                  "\"tableid\":64,\"editFlag\":false,\"data\":[1," +
                                                      std::string(bad) + "]")
                      ->Code(),
                  774)
            << bad;
        EXPECT_EQ(Call("SetTSInfoDesc.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"editFlag\":false,\"data\":[" +
                                                      std::string(bad) + ",0,0,0,0,0,0,0]")
                      ->Code(),
                  774)
            << bad;
    }
    // Channels beyond the card's eight, negative ones and channels without a stream.
    EXPECT_EQ(Call("AddNITStream.w", Ch(8) + ",\"tsid\":1,\"originalID\":2")->Code(), 774);
    EXPECT_EQ(Call("AddNITStream.w", Ch(0, 2) + ",\"tsid\":1,\"originalID\":2")->Code(), 774);
    EXPECT_EQ(Call("AddNITStream.w", Ch(-1) + ",\"tsid\":1,\"originalID\":2")->Code(), 774);
    EXPECT_EQ(Call("GetPAT.w", Ch(5))->Code(), 774);
    EXPECT_EQ(Call("SetPATPid.w", Ch(5) + ",\"pid\":3")->Code(), 774);
    EXPECT_EQ(Call("GetTOTLocaltimeoffsetDescriptor.w", Ch(5))->Code(), 774);
    EXPECT_EQ(Nit0(), before);

    // TS information descriptor: the body must hold the service ids.
    EXPECT_EQ(Call("SetTSInfoDesc.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"editFlag\":false,\"data\":[1]")->Code(),
              774);
    EXPECT_EQ(TSP_GetTempTSParam()->pOutputTS[TSP_FindStreamOfChannel(TSP_GetTempTSParam(), 0)].u8HasTsInfoFlag, 0);
    EXPECT_EQ(Call("SetTSInfoDesc.w", Ch(0) + ",\"NIT\":0,\"descriptor\":0,\"editFlag\":false,\"data\":[9,1,44]")
                  ->Code(),
              0);
    auto view = std::make_unique<Output_WebTSInfo>();
    ASSERT_EQ(Web_GetTempTSWebInfo(0, view.get()), 0u);
    EXPECT_EQ(view->arOutputProInfo[0].u16ServiceID, 0x12C);
    EXPECT_EQ(view->u8HasTsInfoFlag, 1);

    EXPECT_EQ(Call("SetPATPid.w", Ch(0) + ",\"pid\":31")->Code(), ZR_ERR_PARAMS);
    EXPECT_EQ(Call("SetPATPid.w", Ch(0) + ",\"pid\":16")->Code(), 1);
    EXPECT_EQ(Call("SetPATPid.w", Ch(0) + ",\"pid\":0")->Code(), 0);
    EXPECT_EQ(Call("SetPATPid.w", Ch(0) + ",\"pid\":30")->Code(), 0);
    EXPECT_EQ(cJSON_GetObjectItem(Call("GetPAT.w", Ch(0))->Data(), "pid")->valueint, 30);
}

TEST_F(WebPsi, TotOffsetRoundTrip)
{
    auto def = Call("GetTOTLocaltimeoffsetDescriptor.w", Ch(1));
    cJSON* d = cJSON_GetArrayItem(cJSON_GetObjectItem(def->Data(), "streamList"), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(d, "TimeOfChange")->valuestring, "2022/01/01 00:00:00");

    const char* entry = "\"streamList\":[{\"CountryCode\":[70,82,65],\"CountryRegID\":3,\"LocalTimeOffsetPol\":1,"
                        "\"LocalTimeOffset\":\"05:30\",\"NextTimeOffset\":\"06:30\","
                        "\"TimeOfChange\":\"2031/03/30 01:00:00\"}]";
    EXPECT_EQ(Call("SetTOTLocaltimeoffsetDescriptor.w", Ch(1) + "," + entry)->Code(), 0);
    auto got = Call("GetTOTLocaltimeoffsetDescriptor.w", Ch(1));
    d = cJSON_GetArrayItem(cJSON_GetObjectItem(got->Data(), "streamList"), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(d, "CountryCode")->valuestring, "465241");
    EXPECT_EQ(cJSON_GetObjectItem(d, "CountryRegID")->valueint, 3);
    EXPECT_EQ(cJSON_GetObjectItem(d, "LocalTimeOffsetPol")->valueint, 1);
    EXPECT_STREQ(cJSON_GetObjectItem(d, "LocalTimeOffset")->valuestring, "05:30");
    EXPECT_STREQ(cJSON_GetObjectItem(d, "NextTimeOffset")->valuestring, "06:30");
    EXPECT_STREQ(cJSON_GetObjectItem(d, "TimeOfChange")->valuestring, "2031/03/30 01:00:00");
    EXPECT_EQ(Call("SetTOTLocaltimeoffsetDescriptor.w", Ch(1) + ",\"streamList\":[{\"CountryCode\":[70]}]")->Code(),
              774);
}

TEST_F(WebPsi, TableSwitches)
{
    const std::string flags = "\"flag\":{\"pat\":1,\"pmt\":1,\"cat\":0,\"sdt\":1,\"nit\":1,\"TDT\":0,\"TOT\":1,"
                              "\"mgt\":0,\"vct\":0,\"stt\":0,\"vcttype\":258}";
    GetDTMBPara_Handle()->u8InsertPSIEnable[1] = 7;
    // A channel beyond the eight refuses the whole list before anything changes.
    auto bad = Call("SetSubboardPSIPChannel.w", "\"portlist\":[{\"port\":0,\"channellist\":[{\"channel\":1,"
                                                "\"enable\":1," + flags + "},{\"channel\":9,\"enable\":1," +
                                                    flags + "}]}]");
    EXPECT_EQ(bad->Code(), 774);
    EXPECT_EQ(GetDTMBPara_Handle()->u8InsertPSIEnable[1], 7);
    EXPECT_EQ(Call("SetSubboardPSIPChannel.w", "\"portlist\":[{\"port\":0,\"channellist\":[{\"channel\":1,"
                                               "\"enable\":1," + flags + "}]}]")
                  ->Code(),
              0);
    auto got = Call("GetSubboardPSIPChannel.w", "");
    cJSON* list = cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(got->Data(), "portlist"), 0),
                                      "channellist");
    ASSERT_EQ(cJSON_GetArraySize(list), 3);
    cJSON* f = cJSON_GetObjectItem(cJSON_GetArrayItem(list, 1), "flag");
    EXPECT_EQ(cJSON_GetObjectItem(f, "tdt")->valueint, 0);
    EXPECT_EQ(cJSON_GetObjectItem(f, "tot")->valueint, 1);
    EXPECT_EQ(cJSON_GetObjectItem(f, "cat")->valueint, 0);
    EXPECT_EQ(cJSON_GetObjectItem(f, "vcttype")->valueint, 2);
    EXPECT_EQ(GetDTMBPara_Handle()->u8InsertPSIEnable[1], 1);
    // The open working copy carries the switches, so a later commit keeps them.
    const Output_TSInfo* w = TSP_GetTempTSParam();
    EXPECT_EQ(w->pOutputTS[TSP_FindStreamOfChannel(w, 1)].u8TOTGenerate, 1);
    // The insertion switch is saved in the parameter record.
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_DTMBParams.stDTMBParams.u8InsertPSIEnable[1], 1);
}

TEST_F(WebPsi, AutomaticNitOpensTheWorkingCopy)
{
    // A working copy that was never filled must not replace the live database.
    TSP_InitOutputTempTSInfo();
    EXPECT_EQ(Call("AutoGenerateNITDescriptor.w", "")->Code(), 0);
    for (U16 ch = 0; ch < 3; ch++) {
        EXPECT_NE(TSP_FindStreamOfChannel(TSP_GetTSParam(), ch), TSP_INVALID_INDEX);
        auto nit = Call("GetNIT.w", Ch(ch));
        EXPECT_EQ(cJSON_GetObjectItem(nit->Data(), "networkid")->valueint, 1234);
        EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(nit->Data(), "streamList")), 3);
    }
}

TEST_F(WebPsi, ViewsAreNoEditsAndTheAutomaticNitKeepsEdits)
{
    // Reading the working copy leaves it unedited: a later change of the
    // live database does not refuse a commit that has nothing to commit.
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTempTSInfo();
    for (const char* key : {"GetNIT.w", "GetPAT.w", "GetTOTLocaltimeoffsetDescriptor.w", "GetTempTSInfo.w"})
        Call(key, Ch(1));
    Call("GetTempProgramInfo.w", Ch(1) + ",\"serviceid\":" +
                                     std::to_string(TSP_GetTSParam()->pOutputProgram[0].u16ServiceID));
    Call("GetSubboardPSIPChannel.w", "");
    EXPECT_FALSE(TSP_IsTempTSInfoEdited());
    // The opening above threw the fixture's edit away: the next commit that
    // names no revision is refused, once.
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);

    // An edit, then the page's own automatic NIT (it names its revision) of
    // a moved layout: the edit stays committable, and its commit keeps the
    // automatic NIT, with the version it stepped to.
    auto version = []() {
        return cJSON_GetObjectItem(Call("GetNIT.w", Ch(1))->Data(), "versionnumber")->valueint;
    };
    EXPECT_EQ(Call("AutoGenerateNITDescriptor.w", "")->Code(), 0);
    const int before = version();
    GetDTMBPara_Handle()->OutputFreq[0] += 8000;
    ASSERT_EQ(Call("AddNITStream.w", Ch(1) + ",\"tsid\":9,\"originalID\":9")->Code(), 0);
    ASSERT_TRUE(TSP_IsTempTSInfoEdited());
    const std::string own = "\"revision\":" + std::to_string(TSP_GetTempRevision());
    EXPECT_EQ(Call("AutoGenerateNITDescriptor.w", own)->Code(), 0);
    EXPECT_EQ(version(), (before + 1) % 32);
    ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    auto nit = Call("GetNIT.w", Ch(1));
    EXPECT_EQ(cJSON_GetObjectItem(nit->Data(), "networkid")->valueint, 1234);
    EXPECT_EQ(version(), (before + 1) % 32);

    // From another page (no revision) it keeps an edit it does not write
    // over (the PAT PID) but drops a NIT edit: that commit is refused.
    ASSERT_EQ(Call("SetPATPid.w", Ch(1) + ",\"pid\":9")->Code(), 0);
    const U32 revision = TSP_GetTempRevision();
    EXPECT_EQ(Call("AutoGenerateNITDescriptor.w", "")->Code(), 0);
    EXPECT_EQ(TSP_GetTempRevision(), revision) << "the same NIT again shows the pages nothing new";
    EXPECT_EQ(TSP_CopyOutputTSInfo(), 0u);
    ASSERT_EQ(Call("AddNITStream.w", Ch(1) + ",\"tsid\":9,\"originalID\":9")->Code(), 0);
    EXPECT_EQ(Call("AutoGenerateNITDescriptor.w", "")->Code(), 0);
    EXPECT_EQ(TSP_CopyOutputTSInfo(), TSP_ERR_LIVE_CHANGED);
    const Output_TSInfo* live = TSP_GetTSParam();
    EXPECT_EQ(live->pOutputTS[TSP_FindStreamOfChannel(live, 1)].u16PATPID, 9);
    nit = Call("GetNIT.w", Ch(1));
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(nit->Data(), "streamList")), 3) << "the automatic NIT alone";
}

}  // namespace
