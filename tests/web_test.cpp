// Web back end driven through web_ProcessData with hand-built requests:
// dispatch and envelope, DVB text coding, modulation, register and system
// handlers on the simulated board.
#include "Comm/maccomm.h"
#include "CommonModules/System/system.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "Platform/platform.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "Web/web.h"
#include "Web/web_charset.h"
#include "support/testboard.h"
#include <cjson/cJSON.h>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <vector>

namespace {

struct Reply {
    S32 rc;
    std::string text;
    cJSON* json;  // owned
    ~Reply() { cJSON_Delete(json); }
    int Code() const { return cJSON_GetObjectItem(json, "code") ? cJSON_GetObjectItem(json, "code")->valueint : -1; }
    cJSON* Data() const { return cJSON_GetObjectItem(json, "data"); }
};

// Posts a body (split into the given pieces) with a request head naming key.
Reply Post(const std::string& head, const std::vector<std::string>& pieces)
{
    connection con{};
    con.request.request = buffer_init_string(head.c_str());
    con.request_content_queue = chunkqueue_init();
    for (const auto& p : pieces)
        chunkqueue_append_mem(con.request_content_queue, p.c_str(), p.size() + 1);
    buffer* out = buffer_init_string("untouched");
    S32 rc = web_ProcessData(out, nullptr, &con);
    std::string text(out->ptr ? out->ptr : "");
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    return Reply{rc, text, cJSON_Parse(text.c_str())};
}

Reply Call(const char* key, const std::string& body)
{
    return Post(std::string("POST /") + key + " HTTP/1.1\r\nHost: x\r\n\r\n", {body});
}

int Num(const cJSON* o, const char* key) { return cJSON_GetObjectItem(o, key)->valueint; }

class Web : public ::testing::Test {
protected:
    void SetUp() override
    {
        mode_ = g_u32ModulationMode;
        channels_ = g_u8OutputChannelNum;
        slave_ = SLAVE_CHIP_IS_EXIST;
        live_ = *GetDTMBPara_Handle();
        monitor_ = *GetQAMIPMonitor_Handle();
        record_ = *PARAMS_GetCurParamsHandler();
        g_u8OutputChannelNum = 4;
        SLAVE_CHIP_IS_EXIST = 0;
        err_SetLanguage(EN_LANGUAGE_EN);
    }
    void TearDown() override
    {
        g_u32ModulationMode = mode_;
        g_u8OutputChannelNum = channels_;
        SLAVE_CHIP_IS_EXIST = slave_;
        *GetDTMBPara_Handle() = live_;
        *GetQAMIPMonitor_Handle() = monitor_;
        *PARAMS_GetCurParamsHandler() = record_;
    }
    U32 mode_;
    U8 channels_, slave_;
    TParameter_DTMB live_;
    QAM_IPMonitorPara monitor_;
    ST_ZR_PARAMS record_;
};

TEST_F(Web, DispatchAndEnvelope)
{
    Reply none = Post("POST /nothing.w HTTP/1.1\r\n\r\n", {"{}"});
    EXPECT_EQ(none.rc, ZR_ERR_WEB_NOTEXIST);
    EXPECT_EQ(none.text, "untouched");

    // The path's command wins over keys in the headers; only a path that
    // names none falls back to the head, and a ".w" path without a row is 770.
    Reply beat = Post("POST / HTTP/1.1\r\nReferer: http://x/Beat.w\r\n\r\n", {""});
    EXPECT_EQ(beat.rc, 0);
    EXPECT_EQ(beat.text, "{\n\t\"code\":\t0,\n\t\"description\":\tnull,\n\t\"data\":\t{\n\t}\n}");
    Reply detail = Post("POST /x/GetSubboardDetail.w?a=1 HTTP/1.1\r\nReferer: http://x/Beat.w\r\n\r\n", {"{}"});
    EXPECT_EQ(detail.Code(), 774);
    Reply unknown = Post("POST /Upgrade.w HTTP/1.1\r\nReferer: http://x/Beat.w\r\n\r\n", {""});
    EXPECT_EQ(unknown.rc, ZR_ERR_WEB_NOTEXIST);

    for (const char* body : {"", "not json", "{\"token\":5}", "{}"}) {
        Reply r = Call("GetSubboardDetail.w", body);
        EXPECT_EQ(r.rc, 0) << body;
        EXPECT_EQ(r.Code(), 774) << body;
        EXPECT_STREQ(cJSON_GetObjectItem(r.json, "description")->valuestring, "Web sent wrong parameters!");
    }
    // A body split over chunks is joined in order; past 2048 bytes it grows.
    std::string pad(3000, ' ');
    Reply split = Post("POST /GetSubboardDetail.w HTTP/1.1\r\n\r\n", {"{\"tok", "en\":\"x\"" + pad, "}"});
    EXPECT_EQ(split.Code(), 0);

    Web_SetVRNType(0);
    Call("Beat.w", "");
    Call("GetSystemParam.w", "{\"token\":\"t\",\"chassistype\":\"1\"}");
    EXPECT_EQ(Web_GetVRNType(), 0);
    Call("GetSystemParam.w", "{\"token\":\"t\",\"chassistype\":1}");
    EXPECT_EQ(Web_GetVRNType(), 1);
    Web_SetVRNType(0);

    connection con{};
    con.request.request = buffer_init_string("POST /ImportSiTable.w HTTP/1.1\r\n\r\n");
    EXPECT_EQ(web_ProcessIsLargeData(&con), 1u);
    buffer_copy_string(con.request.request, "POST /Beat.w HTTP/1.1\r\n\r\n");
    EXPECT_EQ(web_ProcessIsLargeData(&con), 0u);
    buffer_copy_string(con.request.request, "POST /Beat.w HTTP/1.1\r\nReferer: /Upgrade.w\r\n\r\n");
    EXPECT_EQ(web_ProcessIsLargeData(&con), 0u);
    EXPECT_EQ(web_ProcessIsLargeData(nullptr), 0u);
    buffer_free(con.request.request);

    // Replies print their numbers exactly as cJSON does, short or long.
    for (int count : {1, 200}) {
        cJSON* root = cJSON_CreateObject();
        cJSON* list = cJSON_AddArrayToObject(root, "n");
        for (int i = 0; i < count; ++i)
            for (double d : {0.0, -0.0, -7.0, 2147483647.0, -2147483648.0, 2147483648.0, 1.5, 1e300, 123456789012.0})
                cJSON_AddItemToArray(list, cJSON_CreateNumber(d));
        char* expected = cJSON_Print(root);
        buffer* out = buffer_init();
        _web_addToWriteBuff(root, out);
        EXPECT_STREQ(out->ptr, expected);
        cJSON_free(expected);
        buffer_free(out);
    }

    char v[20];
    web_getStringVersionFromNumber(0x01020304, v);
    EXPECT_STREQ(v, "V2.3.4");
    web_getStringLogicVersionFromNumber(0x01020304, v);
    EXPECT_STREQ(v, "V1.2.772");
}

std::string Utf8Of(const std::vector<U8>& si) { return (const char*)web_StringConvertToUTF8(si.data(), si.size()); }

TEST(WebText, SelectorExamplesAndCuts)
{
    EXPECT_EQ(Utf8Of({0x01, 0xB0}), "\xD0\x90");
    EXPECT_EQ(Utf8Of({0x09, 0xC0}), "\xC4\x84");
    EXPECT_EQ(Utf8Of({0x10, 0x00, 0x05, 0xB0}), Utf8Of({0x01, 0xB0}));
    EXPECT_EQ(Utf8Of({0x11, 0x00, 0x41, 0x4E, 0x2D}), "A\xE4\xB8\xAD");
    EXPECT_EQ(Utf8Of({'A', 'B', 'C'}), "ABC");
    EXPECT_EQ(Utf8Of({0xD6, 0xD0}), "\xE4\xB8\xAD");  // no selector, GB2312
    EXPECT_EQ(Utf8Of({0x15, 'a', 0x0A, 'b'}), "a b");

    // 100 three-byte characters: the 256-byte cut keeps whole characters only.
    std::vector<U8> longName = {0x15};
    for (int i = 0; i < 100; i++)
        longName.insert(longName.end(), {0xE4, 0xB8, 0xAD});
    std::string cut = Utf8Of(longName);
    EXPECT_EQ(cut.size(), 255u);

    auto si = [](const std::string& s) {
        U8* p = web_UTF8ToServiceName((const U8*)s.data(), s.size());
        return p ? std::string((const char*)p, strnlen((const char*)p + 1, 256) + 1) : "refused";
    };
    EXPECT_EQ(si("ABC"), "ABC");
    EXPECT_EQ(si("Ab\xD0\x90"), std::string("\x01" "Ab\xB0"));
    EXPECT_EQ(si("\xE4\xB8\xAD"), "\x13\xD6\xD0");
    // A BIG5-only name in BIG5; a name one table does not hold whole in
    // UTF-8; invalid UTF-8 refused; cuts between whole characters.
    EXPECT_EQ(si("\xE8\x87\xBA\xE7\x81\xA3"), "\x14\xBB\x4F\xC6\x57");
    EXPECT_EQ(si("Caf\xC3\xA9 \xC3\x9C"), "\x15" "Caf\xC3\xA9 \xC3\x9C");
    for (const char* bad : {"\xFF\xFE" "AB", "A\x80" "B", "AB\xE4\xB8", "\xC0\xAF", "\xED\xA0\x80"})
        EXPECT_EQ(web_UTF8ToServiceName((const U8*)bad, strlen(bad)), nullptr) << bad;
    std::string big5(1, '\x14'), utf8(1, '\x15');
    for (int i = 0; i < 20; i++)
        big5 += "\xBB\x4F", utf8 += "\xE4\xB8\xAD";
    EXPECT_EQ(web_SITextCut((const U8*)big5.data(), big5.size(), 32), 31u);
    EXPECT_EQ(web_SITextCut((const U8*)utf8.data(), utf8.size(), 32), 31u);
    // Encoding mode 1: BIG5 whenever the name fits it.
    if (TResource_TS* back = Resource_GetHandle(16)) {
        back->u8EncodingMode = 1;
        EXPECT_EQ(si("\xE4\xB8\xAD"), "\x14\xA4\xA4");
        EXPECT_EQ(si("\xC3\xA9"), "\x15\xC3\xA9");
        back->u8EncodingMode = 0;
    }
    EXPECT_EQ(web_strlen((const U8*)"ab\0c\0\0", 7), 4u);
}

// Every two-byte code and 8859 byte decodes as Python's codecs say.
TEST(WebText, TablesMatchPythonCodecs)
{
    std::string py =
        "import sys\n"
        "for c,lo,hi in (('gb2312',0xA1,0xFF),('big5',0x40,0xFF)):\n"
        " for h in range(0xA1,0xFF):\n"
        "  for l in range(lo,hi):\n"
        "   try: u=bytes([h,l]).decode(c)\n"
        "   except UnicodeDecodeError: continue\n"
        "   if len(u)==1: print(c,h<<8|l,ord(u),int.from_bytes(u.encode(c),'big'))\n"
        "for p in (1,2,3,4,5,6,7,8,9,10,11,13,14,15):\n"
        " for b in range(0xA1,0x100):\n"
        "  try: print('8859',p,b,ord(bytes([b]).decode('iso8859_%d'%p)))\n"
        "  except UnicodeDecodeError: print('8859',p,b,0)\n"
        "for p in (1251,1252):\n"
        " for b in range(0x80,0x100):\n"
        "  try: print('cp',p,b,ord(bytes([b]).decode('cp%d'%p)))\n"
        "  except UnicodeDecodeError: print('cp',p,b,0)\n";
    using Conv = U16 (*)(U8);
    const std::pair<unsigned, Conv> convs[] = {
        {1, iso8859_1_conv_to_uc16},   {2, iso8859_2_conv_to_uc16},   {3, iso8859_3_conv_to_uc16},
        {4, iso8859_4_conv_to_uc16},   {5, iso8859_5_conv_to_uc16},   {6, iso8859_6_conv_to_uc16},
        {7, iso8859_7_conv_to_uc16},   {8, iso8859_8_conv_to_uc16},   {9, iso8859_9_conv_to_uc16},
        {10, iso8859_10_conv_to_uc16}, {11, iso8859_11_conv_to_uc16}, {13, iso8859_13_conv_to_uc16},
        {14, iso8859_14_conv_to_uc16}, {15, iso8859_15_conv_to_uc16}, {1251, Windows_1251_conv_to_uc16},
        {1252, Windows_1252_conv_to_uc16}};
    auto conv = [&](unsigned part) {
        for (auto& c : convs)
            if (c.first == part)
                return c.second;
        return (Conv) nullptr;
    };
    std::string path = TestBoardRoot() + "/codecs.py";
    Spill(path, py);
    FILE* f = popen(("python3 " + path).c_str(), "r");
    ASSERT_NE(f, nullptr);
    char name[16];
    unsigned a, b, c;
    int rows = 0, bad = 0;
    while (fscanf(f, "%15s %u %u", name, &a, &b) == 3) {
        rows++;
        if (fscanf(f, "%u", &c) != 1)
            break;
        if (strcmp(name, "8859") == 0 || strcmp(name, "cp") == 0) {
            bad += name[0] == '8' && web_8859Unit(a, (U8)b) != c;
            bad += conv(a) == nullptr || conv(a)((U8)b) != c;
        } else if (strcmp(name, "gb2312") == 0) {
            bad += Convert_GB_to_U((U16)a) != b;
            U16 u[2] = {(U16)b, 0};
            U8 out[3] = {0};
            bad += Convert_U_to_GB(u, 1, out, 2) != 2 || (U32)(out[0] << 8 | out[1]) != a;
        } else {
            // A unit two codes decode to is encoded as the one a decoder expects (c).
            bad += Convert_BIG5_to_U((U16)a) != b;
            U16 u[2] = {(U16)b, 0};
            U8 out[3] = {0};
            bad += Convert_U_to_BIG5(u, 1, out, 2) != 2 || (U32)(out[0] << 8 | out[1]) != c;
        }
    }
    pclose(f);
    EXPECT_GT(rows, 20000);
    EXPECT_EQ(bad, 0);
    EXPECT_EQ(iso8859_5_conv_to_uc16(0x41), 0x41);
}

// The default table (ISO/IEC 6937) and the selector-driven decoder.
TEST(WebText, DefaultTableAndSelectorDecoder)
{
    auto units = [](const std::vector<U8>& t, U32 (*f)(const U8*, U32, U16*)) {
        std::vector<U16> out(t.size() + 1);
        U32 n = f(t.data(), (U32)t.size(), out.data());
        return std::vector<U16>(out.begin(), out.begin() + n);
    };
    // A, e with acute (0xC2 'e'), '$' (0xA4), O with stroke (0xE9), a control
    // byte dropped, u with diaeresis (0xC8 'u').
    EXPECT_EQ(units({'A', 0xC2, 'e', 0xA4, 0xE9, 0x8A, 0xC8, 'u'}, EPGMultiLanguage),
              (std::vector<U16>{'A', 0xE9, '$', 0xD8, 0xFC}));
    EXPECT_EQ(units({0x13, 0xD6, 0xD0}, Convert_CNCode_to_U), std::vector<U16>{0x4E2D});
    EXPECT_EQ(units({0x14, 0xBB, 0x4F}, Convert_CNCode_to_U), std::vector<U16>{0x81FA});
    EXPECT_EQ(units({0x01, 0xB0}, Convert_CNCode_to_U), std::vector<U16>{0x410});
    EXPECT_EQ(units({0x10, 0x00, 0x05, 0xB0}, Convert_CNCode_to_U), std::vector<U16>{0x410});
    EXPECT_EQ(units({0x10, 0x00}, Convert_CNCode_to_U), std::vector<U16>{});
    EXPECT_EQ(units({0x11, 0x4E, 0x2D}, Convert_CNCode_to_U), std::vector<U16>{0x4E2D});
    EXPECT_EQ(units({0x15, 0xE4, 0xB8, 0xAD}, Convert_CNCode_to_U), std::vector<U16>{0x4E2D});
    EXPECT_EQ(units({0xD6, 0xD0}, Convert_CNCode_to_U), std::vector<U16>{0x4E2D});  // no selector, GB2312
    U8 utf8[4] = {0};
    EXPECT_EQ(Unicode2Utf8(0x4E2D, utf8), 3u);
    EXPECT_STREQ((const char*)utf8, "\xE4\xB8\xAD");
}

TEST_F(Web, ModulationParametersRoundTripAndTheFrequencyCheck)
{
    g_u32ModulationMode = 3;  // DVB-C
    Reply get = Call("GetSubboardParam.w", "{\"token\":\"t\"}");
    ASSERT_EQ(get.Code(), 0);
    cJSON* ch = cJSON_GetArrayItem(
        cJSON_GetObjectItem(cJSON_GetArrayItem(cJSON_GetObjectItem(get.Data(), "portlist"), 0), "channellist"), 1);
    std::vector<std::string> keys;
    for (cJSON* k = ch->child; k; k = k->next)
        keys.push_back(k->string);
    ASSERT_GE(keys.size(), 3u);
    EXPECT_EQ(std::vector<std::string>(keys.end() - 3, keys.end()),
              (std::vector<std::string>{"qammode", "symbolrate", "Interweave"}));

    // Port 1 channel 0 of a four-channel card is index 4; the set is saved to
    // oid.json, channel 5 follows it.
    ::unlink(plat::Path(TARVEX_OID_JSON_FILE).c_str());
    Reply set = Call("SetSubboardParam.w", "{\"token\":\"t\",\"psiinterval\":120,\"portlist\":[{\"port\":1,"
                                           "\"channellist\":[{\"channel\":0,\"frequency\":610000}]}]}");
    EXPECT_EQ(set.Code(), 0) << set.text;
    const TParameter_DTMB* p = GetDTMBPara_Handle();
    EXPECT_EQ(p->OutputFreq[4], 610000u);
    EXPECT_EQ(p->OutputFreq[5] - p->OutputFreq[4], p->OutputFreq[1] - p->OutputFreq[0]);
    EXPECT_NE(Slurp(plat::Path(TARVEX_OID_JSON_FILE)).find("\"psiinterval\":\t120"), std::string::npos);

    // A number no U32 holds is refused before anything changes.
    Reply neg = Call("SetSubboardParam.w", "{\"token\":\"t\",\"psiinterval\":-1}");
    EXPECT_EQ(neg.Code(), 774);

    g_u32ModulationMode = 6;  // 8VSB: channels 0..3 too far apart
    TParameter_DTMB before = *GetDTMBPara_Handle();
    Reply far = Call("SetSubboardParam.w",
                     "{\"token\":\"t\",\"psiinterval\":150,\"channelstandard\":0,\"portlist\":[{\"port\":0,"
                     "\"channellist\":[{\"channel\":0,\"enable\":1,\"frequency\":474000},{\"channel\":1,\"enable\":1,"
                     "\"frequency\":482000},{\"channel\":2,\"enable\":1,\"frequency\":490000},{\"channel\":3,"
                     "\"enable\":1,\"frequency\":578000}]}]}");
    EXPECT_EQ(far.Code(), 831);
    EXPECT_EQ(memcmp(&before, GetDTMBPara_Handle(), sizeof(before)), 0);
    U16 interval = 0;
    Web_GetPSIInterval(&interval);
    EXPECT_EQ(interval, 150);
    EXPECT_EQ(Call("SetSubboardParam.w", "{\"token\":\"t\",\"psiinterval\":150}").Code(), 774);  // no standard

    // An IP-monitor channel outside the eight-channel table (index 8) changes nothing.
    QAM_IPMonitorPara monitor = *GetQAMIPMonitor_Handle();
    EXPECT_EQ(Call("SetSubboardIPMonitorParam.w", "{\"token\":\"t\",\"enable\":1,\"port\":2,\"channel\":0}").Code(),
              774);
    EXPECT_EQ(memcmp(&monitor, GetQAMIPMonitor_Handle(), sizeof(monitor)), 0);
}

TEST_F(Web, RegistersStayInsideTheWindow)
{
    EXPECT_EQ(Call("WriteReg.w", "{\"token\":\"t\",\"address\":40,\"value\":4660}").Code(), 0);
    Reply r = Call("ReadReg.w", "{\"token\":\"t\",\"address\":40}");
    EXPECT_EQ(Num(r.Data(), "value"), 4660);
    EXPECT_EQ(Call("ReadReg.w", "{\"token\":\"t\",\"address\":\"40\"}").Code(), 774);
    EXPECT_EQ(Call("ReadReg.w", "{\"token\":\"t\",\"address\":70000}").Code(), 774);
    EXPECT_EQ(Call("WriteReg.w", "{\"token\":\"t\",\"address\":70000,\"value\":1}").Code(), 774);
    EXPECT_EQ(Call("WriteReg.w", "{\"token\":\"t\",\"address\":4294967296,\"value\":1}").Code(), 774);
    Reply d = Call("Debug.w", "{\"token\":\"t\",\"type\":11,\"params\":[0,70000]}");
    EXPECT_EQ(d.Code(), 0);
    EXPECT_EQ(cJSON_GetArraySize(d.Data()), 16);
}

TEST_F(Web, SystemSettingsAreStoredWhereTheCardReadsThem)
{
    Reply set = Call("Debug.w", "{\"token\":\"t\",\"type\":22,\"params\":[12,3]}");
    EXPECT_EQ(set.Code(), 0);
    EXPECT_EQ(GetQAMIPMonitor_Handle()->u8TimeGap, 12);
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_IPMonitorParams.stIPMonitorParams.u8RebootHour, 3);
    Reply get = Call("Debug.w", "{\"token\":\"t\",\"type\":21,\"params\":[1,2,3,4,5,6,7,8,9,10,11,12,13,14,15,16,"
                                "17,18,19,20]}");
    EXPECT_EQ(cJSON_GetArrayItem(get.Data(), 0)->valueint, 12);
    EXPECT_EQ(cJSON_GetArrayItem(get.Data(), 1)->valueint, 3);
    Reply unknown = Call("Debug.w", "{\"token\":\"t\",\"type\":99}");
    EXPECT_EQ(cJSON_GetArrayItem(unknown.Data(), 0)->valueint, 0);

    U32 module = Log_GetModule(), level = Log_GetLevel();
    EXPECT_EQ(Call("SetModulesAndlevel.w", "{\"token\":\"t\",\"modulelist\":[{\"id\":8,\"value\":0}],\"error\":1}")
                  .Code(),
              774);
    EXPECT_EQ(Log_GetModule(), module);
    Reply lv = Call("SetModulesAndlevel.w", "{\"token\":\"t\",\"modulelist\":[{\"id\":8,\"value\":0}],\"error\":1,"
                                            "\"warning\":1,\"info\":1,\"debug\":1}");
    EXPECT_EQ(lv.Code(), 0);
    EXPECT_EQ(Log_GetModule() & LOG_MODULE_WEB, 0u);
    EXPECT_EQ(Log_GetLevel(), 15u);
    Reply mods = Call("GetModules", "");
    EXPECT_EQ(cJSON_GetArraySize(cJSON_GetObjectItem(mods.Data(), "modulelist")), 11);
    Log_SetModule(module);
    Log_SetLevel(level);
    LogSetting_StoreParam();
    EXPECT_EQ(Call("GetLog.w", "{\"token\":\"t\"}").Code(), 774);
}

TEST_F(Web, ExportNamesCarryNoShellText)
{
    TResource_TS* self = Resource_GetHandle(Status_GetSlotID());
    ASSERT_NE(self, nullptr);
    U8 saved[20];
    memcpy(saved, self->u8BoardDescriptor, 20);
    memcpy(self->u8BoardDescriptor, "a/b';touch x;#012345", 20);  // 20 bytes, no NUL
    plat::MakeDirs("/tarvex_data/log/");
    Spill(plat::Path(LOG_FILE_PATH), "line\n");
    Reply r = Call("ExportLogs.w", "{\"token\":\"t\"}");
    memcpy(self->u8BoardDescriptor, saved, 20);
    ASSERT_EQ(r.Code(), 0) << r.text;
    EXPECT_STREQ(cJSON_GetObjectItem(r.Data(), "uri")->valuestring, "download/a-b--touch-x--012345_log.tar.gz");
    EXPECT_TRUE(plat::Exists("/tmp/a-b--touch-x--012345_log.tar.gz"));
}

}  // namespace
