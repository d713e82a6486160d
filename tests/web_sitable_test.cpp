// SI table files through the web dispatcher: the exported file's header and
// CRC, a NIT whose length equals an error code, and imports that are refused
// (changing nothing) or accepted from this request's own upload.
#include "Comm/maccomm.h"
#include "Common/commonfun.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp_nit.h"
#include "Web/web.h"
#include "support/testboard.h"
#include "support/tsp_wire.h"
#include <cjson/cJSON.h>
#include <gtest/gtest.h>
#include <memory>
#include <unistd.h>

namespace {

using tspwire::Bytes;

// One NIT section of total bytes (>= 16) with a network descriptor filling it.
Bytes Section(U32 total, U8 number, U8 fill)
{
    Bytes s(total, fill);
    const U32 ndl = total - 16;
    s[0] = 0x40;
    s[1] = (U8)(0xF0 | ((total - 3) >> 8));
    s[2] = (U8)(total - 3);
    s[3] = 0x00;
    s[4] = 0x07;
    s[5] = 0xC1;
    s[6] = number;
    s[7] = 0;
    s[8] = (U8)(0xF0 | (ndl >> 8));
    s[9] = (U8)ndl;
    if (ndl >= 2) {
        s[10] = 0x40;  // network name descriptor(s) of 255 bytes at most
        s[11] = (U8)std::min<U32>(ndl - 2, 255);
    }
    s[10 + ndl] = 0xF0;
    s[11 + ndl] = 0;
    const U32 crc = Common_CRC_Calculate(s.data(), total - 4, 0xFFFFFFFFu);
    for (int i = 0; i < 4; i++)
        s[total - 4 + i] = (U8)(crc >> (24 - 8 * i));
    return s;
}

Bytes FileOf(const Bytes& data)
{
    DeviceConfigureSaveFileHeader h{0x2009, 0xEEFD, 0, (U32)data.size(),
                                    Common_CRC_Calculate(data.data(), (U32)data.size(), 0), 0, 0};
    Bytes f(28);
    DeviceConfigureSaveFileHeader_Put(&h, f.data());
    f.insert(f.end(), data.begin(), data.end());
    return f;
}

std::string Multipart(const Bytes& file)
{
    return "------b7\r\nContent-Disposition: form-data; name=\"file\"; filename=\"TS1_NIT.table\"\r\n"
           "Content-Type: application/octet-stream\r\n\r\n" +
           std::string(file.begin(), file.end()) + "\r\n------b7--\r\n";
}

struct Reply {
    S32 rc;
    std::string text;
    cJSON* json;
    ~Reply() { cJSON_Delete(json); }
    int Code() const { return json && cJSON_GetObjectItem(json, "code") ? cJSON_GetObjectItem(json, "code")->valueint : -1; }
    cJSON* Data() const { return cJSON_GetObjectItem(json, "data"); }
};

// A POST through the dispatcher; upload, when given, is spooled into a
// temporary file of the request as the server does.
Reply Post(const std::string& path, const std::string& body, const std::string* upload = nullptr)
{
    connection con{};
    con.request.request = buffer_init_string(("POST /" + path + " HTTP/1.1\r\nHost: x\r\n\r\n").c_str());
    con.request_content_queue = chunkqueue_init();
    if (upload != nullptr) {
        chunk* c = chunkqueue_get_append_tempfile(con.request_content_queue);
        EXPECT_EQ(write(c->file.fd, upload->data(), upload->size()), (ssize_t)upload->size());
    } else {
        chunkqueue_append_mem(con.request_content_queue, body.c_str(), body.size() + 1);
    }
    // Another connection's spool since: the request must not take it.
    snprintf(g_arcUpgradeFiledir, sizeof(g_arcUpgradeFiledir), "/var/tmp/someone-else");
    buffer* out = buffer_init_string("untouched");
    S32 rc = web_ProcessData(out, nullptr, &con);
    std::string text(out->ptr ? out->ptr : "");
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    return Reply{rc, text, cJSON_Parse(text.c_str())};
}

Reply Export(U32 port, U32 channel, U32 tableid = 64)
{
    return Post("ExportSiTable.w", "{\"token\":\"t\",\"tableid\":" + std::to_string(tableid) + ",\"port\":" +
                                       std::to_string(port) + ",\"channel\":" + std::to_string(channel) + "}");
}

Reply Import(const std::string& query, const Bytes& file)
{
    std::string up = Multipart(file);
    return Post("ImportSiTable.w?" + query, "", &up);
}

class SiTable : public ::testing::Test {
protected:
    void SetUp() override
    {
        using namespace tspwire;
        channels_ = g_u8OutputChannelNum;
        g_u8OutputChannelNum = 4;
        plat::MakeDirs("/var/tmp");
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);
        ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0), TS(1), TS(2)})), 0u);
        TSP_InitOutputTempTSInfo();
        TSP_CopyOutputTempTSInfo();
    }
    void TearDown() override
    {
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTempTSParam()), "");
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTSParam()), "");
        g_u8OutputChannelNum = channels_;
        TSP_FreeOutputTSInfo();
    }
    // Gives a channel these sections in the live database.
    void Give(U16 ch, const Bytes& data)
    {
        ASSERT_EQ(TSP_AddNITByImport(ch, data.data(), (U32)data.size()), 0u);
        ASSERT_EQ(TSP_CopyOutputTSInfo(), 0u);
    }
    Bytes Stored(Output_TSInfo* db, U16 ch)
    {
        auto raw = std::make_unique<NITBuf_t>();
        if (TSP_GetOutputNITTable(TSP_FindStreamOfChannel(db, ch), db, raw.get()) != 0)
            return {};
        return Bytes(raw->aru8OutputNITSection, raw->aru8OutputNITSection + raw->u16NITLength);
    }
    U8 channels_ = 0;
};

TEST_F(SiTable, ExportWritesHeaderSectionsAndLink)
{
    DeviceConfigureSaveFileHeader h{0x2009, 0xEEFD, 0, 30, 0x11223344, 0, 0};
    U8 raw[28];
    DeviceConfigureSaveFileHeader_Put(&h, raw);
    const U8 want[20] = {0x09, 0x20, 0, 0, 0xFD, 0xEE, 0, 0, 0, 0, 0, 0, 30, 0, 0, 0, 0x44, 0x33, 0x22, 0x11};
    EXPECT_EQ(memcmp(raw, want, 20), 0);

    const Bytes data = Section(30, 0, 0x20);
    Give(0, data);
    Reply r = Export(0, 0);
    ASSERT_EQ(r.Code(), 0) << r.text;
    EXPECT_STREQ(cJSON_GetObjectItem(r.Data(), "uri")->valuestring, "download/TS1_NIT.table");
    std::string file = Slurp(TestBoardRoot() + "/tmp/TS1_NIT.table");
    ASSERT_EQ(file.size(), 58u);
    DeviceConfigureSaveFileHeader got{};
    DeviceConfigureSaveFileHeader_Get(reinterpret_cast<const U8*>(file.data()), &got);
    EXPECT_EQ(got.dwSignature, 0x2009u);
    EXPECT_EQ(got.dwDeviceType, 0xEEFDu);
    EXPECT_EQ(got.dwDataLength, 30u);
    EXPECT_EQ(got.dwDataCRC, Common_CRC_Calculate(data.data(), 30, 0));
    EXPECT_EQ(file.substr(28), std::string(data.begin(), data.end()));
    // The link really leads to the file, so the web server can hand it out.
    EXPECT_EQ(Slurp(TestBoardRoot() + "/tarvex_app/web/download/TS1_NIT.table"), file);

    EXPECT_EQ(Export(0, 2).Code(), (int)ZR_ERR_SIP_NIT_NO_EXIST) << "a stream without NIT";
    EXPECT_EQ(Export(1, 1).Code(), (int)ZR_ERR_SIP_NIT_NO_EXIST) << "flat channel 5 has no stream";
    EXPECT_EQ(Export(2, 0).Code(), 774) << "flat channel 8 is no channel";
    EXPECT_EQ(Post("ExportSiTable.w", "{\"token\":\"t\",\"port\":0,\"channel\":0}").Code(), 774);
    Reply other = Export(0, 0, 16);
    EXPECT_EQ(other.Code(), 0);
    EXPECT_STREQ(cJSON_GetObjectItem(other.Data(), "uri")->valuestring, "");
}

TEST_F(SiTable, ANitOfTheErrorCodesLengthExports)
{
    Bytes data = Section(1024, 0, 1);
    Bytes more = Section(1024, 1, 2);
    Bytes last = Section(262, 2, 3);
    data.insert(data.end(), more.begin(), more.end());
    data.insert(data.end(), last.begin(), last.end());
    ASSERT_EQ(data.size(), (size_t)ZR_ERR_SIP_NIT_NO_EXIST);
    Give(1, data);
    U32 len = 0;
    EXPECT_EQ(TSP_GetExportNITLength(1, &len), 0u);
    EXPECT_EQ(len, 2310u);
    Reply r = Export(0, 1);
    ASSERT_EQ(r.Code(), 0) << r.text;
    std::string file = Slurp(TestBoardRoot() + "/tmp/TS2_NIT.table");
    ASSERT_EQ(file.size(), 28u + 2310u);
    EXPECT_EQ(file.substr(28), std::string(data.begin(), data.end()));
}

TEST_F(SiTable, ImportTakesThisRequestsUploadAndApplies)
{
    Bytes data = Section(40, 0, 0x31);
    Bytes second = Section(20, 1, 0x32);
    data.insert(data.end(), second.begin(), second.end());
    // Signature and device type are not examined; order of the query is free.
    Bytes file = FileOf(data);
    file[0] = 0x77;
    plat::System("rm -f " PARAMS_TSP_CONFIG_FILE);
    Reply r = Import("tableid=64&channel=1&port=0", file);
    ASSERT_EQ(r.Code(), 0) << r.text;
    EXPECT_EQ(cJSON_GetObjectItem(r.Data(), "importdelay")->valueint, 5);
    EXPECT_EQ(Stored(TSP_GetTSParam(), 1), data) << "committed to the live database";
    EXPECT_TRUE(plat::Exists(PARAMS_TSP_CONFIG_FILE)) << "applied and saved";
    EXPECT_STREQ(g_arcUpgradeFiledir, "") << "the path belongs to the request";

    // Another table id imports nothing but still applies.
    plat::System("rm -f " PARAMS_TSP_CONFIG_FILE);
    Reply o = Import("port=0&channel=0&tableid=16", FileOf(Section(16, 0, 0)));
    EXPECT_EQ(o.Code(), 0);
    EXPECT_EQ(cJSON_GetObjectItem(o.Data(), "importdelay")->valueint, 5);
    EXPECT_TRUE(Stored(TSP_GetTSParam(), 0).empty());
    EXPECT_TRUE(plat::Exists(PARAMS_TSP_CONFIG_FILE));

    // No usable query: no reply at all.
    for (const char* q : {"", "port=0", "x"}) {
        Reply n = Post(std::string("ImportSiTable.w") + (*q ? "?" : "") + q, "");
        EXPECT_EQ(n.text, "untouched") << q;
    }
}

TEST_F(SiTable, RefusedImportsChangeAndApplyNothing)
{
    const Bytes before = Section(30, 0, 0x55);
    Give(1, before);
    const Bytes good = Section(40, 0, 0x66);
    Bytes flipped = FileOf(good);
    flipped[40] ^= 0x01;
    Bytes shortFile = FileOf(Bytes(good.begin(), good.begin() + 10));
    Bytes cut = good;
    cut.resize(30);  // section_length says 40
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x40, 0xF0});  // a second section that has no room
    Bytes notNit = good;
    notNit[0] = 0x42;
    struct Case {
        const char* what;
        Bytes file;
        int code;
    } cases[] = {
        {"a flipped byte", flipped, 4},
        {"a file shorter than one section", shortFile, 4},
        {"a section past the end", FileOf(cut), (int)TSP_ERR_LIST_RANGE},
        {"a second section past the end", FileOf(trailing), (int)TSP_ERR_LIST_RANGE},
        {"not a NIT", FileOf(notNit), 4},
        {"no header at all", Bytes(good.begin(), good.begin() + 20), 4},
    };
    plat::System("rm -f " PARAMS_TSP_CONFIG_FILE);
    for (const Case& c : cases) {
        Reply r = Import("port=0&channel=1&tableid=64", c.file);
        EXPECT_EQ(r.Code(), c.code) << c.what;
        EXPECT_EQ(Stored(TSP_GetTempTSParam(), 1), before) << c.what;
        EXPECT_EQ(Stored(TSP_GetTSParam(), 1), before) << c.what;
    }
    EXPECT_EQ(Import("port=0&channel=9&tableid=64", FileOf(good)).Code(), 774);
    EXPECT_EQ(Import("port=-1&channel=1&tableid=64", FileOf(good)).Code(), 774);
    EXPECT_FALSE(plat::Exists(PARAMS_TSP_CONFIG_FILE)) << "nothing was applied";

    // An upload that never came: the path of an earlier one is not used.
    EXPECT_EQ(Post("ImportSiTable.w?port=0&channel=1&tableid=64", "").Code(), (int)ZR_ERR_FILE_CAN_NOT_READE);
}

TEST_F(SiTable, LongQueriesStayBounded)
{
    // Parts past the twentieth, and text past 999 characters, are not read.
    std::string q;
    for (int i = 0; i < 19; i++)
        q += "x" + std::to_string(i) + "=1&";
    q += std::string(300, 'n') + "tableid=16&tableid=64&" + std::string(3000, '&');
    buffer* head = buffer_init_string(("POST /ImportSiTable.w?" + q + " HTTP/1.1\r\n").c_str());
    buffer* out = buffer_init();
    g_arcUpgradeFiledir[0] = '\0';
    // The twentieth part is cut at 99 characters, so its "tableid" is lost:
    // table id 0 only applies.
    EXPECT_EQ(web_processImportOneSiTable(out, head), ZR_SUCCESS);
    EXPECT_NE(std::string(out->ptr ? out->ptr : "").find("importdelay"), std::string::npos);
    EXPECT_EQ(web_processImportOneSiTable(nullptr, head), ZR_ERR_WEB_BAD_PARAM);
    buffer_free(head);
    buffer_free(out);

    char l[4], r[4];
    EXPECT_TRUE(splitIntoTwoParts("name==value", '=', l, r, sizeof(l)));
    EXPECT_STREQ(l, "nam");
    EXPECT_STREQ(r, "val");
    EXPECT_FALSE(splitIntoTwoParts("ab", '=', l, r, sizeof(l)));
    EXPECT_STREQ(l, "ab");
    EXPECT_STREQ(r, "");
}

} // namespace
