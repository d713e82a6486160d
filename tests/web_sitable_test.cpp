// SI table files through the web dispatcher: the exported header's byte
// order and CRC, a NIT as long as an error code, and imports refused whole
// or taken from the request's own upload.
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

// A NIT section of total bytes (>= 16): network loop of filler, no streams;
// section number and last section number.
Bytes Section(U32 total, U8 fill, U8 number = 0, U8 last = 0)
{
    Bytes s(total, fill);
    const U32 ndl = total - 16;
    const U8 head[10] = {0x40, (U8)(0xF0 | (total - 3) >> 8), (U8)(total - 3), 0, 7, 0xC1, number, last,
                         (U8)(0xF0 | ndl >> 8), (U8)ndl};
    memcpy(s.data(), head, 10);
    s[10 + ndl] = 0xF0;
    s[11 + ndl] = 0;
    const U32 crc = Common_CRC_Calculate(s.data(), total - 4, 0);
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

// A POST through the dispatcher: {"code", "data"} of the reply (code -1 when
// nothing was written). An upload is spooled into the request's own file.
std::pair<int, std::string> Post(const std::string& path, const std::string& body, const Bytes* upload = nullptr)
{
    connection con{};
    con.request.request = buffer_init_string(("POST /" + path + " HTTP/1.1\r\nHost: x\r\n\r\n").c_str());
    con.request_content_queue = chunkqueue_init();
    if (upload != nullptr) {
        std::string form = "------b7\r\nContent-Disposition: form-data; name=\"f\"; filename=\"t\"\r\n\r\n" +
                           std::string(upload->begin(), upload->end()) + "\r\n------b7--\r\n";
        chunk* c = chunkqueue_get_append_tempfile(con.request_content_queue);
        EXPECT_EQ(write(c->file.fd, form.data(), form.size()), (ssize_t)form.size());
    } else {
        chunkqueue_append_mem(con.request_content_queue, body.c_str(), body.size() + 1);
    }
    // Another connection has spooled since: its file must not be taken.
    snprintf(g_arcUpgradeFiledir, sizeof(g_arcUpgradeFiledir), "/var/tmp/someone-else");
    buffer* out = buffer_init();
    web_ProcessData(out, nullptr, &con);
    cJSON* j = cJSON_Parse(out->ptr ? out->ptr : "");
    const cJSON* code = cJSON_GetObjectItem(j, "code");
    char* data = cJSON_PrintUnformatted(cJSON_GetObjectItem(j, "data"));
    std::pair<int, std::string> r{code ? code->valueint : -1, data ? data : ""};
    free(data);
    cJSON_Delete(j);
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    return r;
}

std::pair<int, std::string> Export(U32 channel, U32 port = 0)
{
    return Post("ExportSiTable.w", "{\"token\":\"t\",\"tableid\":64,\"port\":" + std::to_string(port) +
                                       ",\"channel\":" + std::to_string(channel) + "}");
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
        ASSERT_EQ(Send(IPCOMM_SEND_TS, Msg({TS(0), TS(1)})), 0u);
        TSP_InitOutputTempTSInfo();
        TSP_CopyOutputTempTSInfo();
    }
    void TearDown() override
    {
        EXPECT_EQ(tspwire::CheckInvariants(TSP_GetTempTSParam()), "");
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

TEST_F(SiTable, ExportHeaderAndANitAsLongAsAnErrorCode)
{
    Bytes data = Section(1024, 1, 0, 2);
    for (const Bytes& s : {Section(1024, 2, 1, 2), Section(262, 3, 2, 2)})
        data.insert(data.end(), s.begin(), s.end());
    ASSERT_EQ(data.size(), (size_t)ZR_ERR_SIP_NIT_NO_EXIST);
    Give(1, data);
    EXPECT_EQ(Export(1), std::make_pair(0, std::string("{\"uri\":\"download/TS2_NIT.table\"}")));
    std::string file = Slurp(TestBoardRoot() + "/tmp/TS2_NIT.table");
    const U32 crc = Common_CRC_Calculate(data.data(), 2310, 0);
    const U8 head[20] = {0x09, 0x20, 0, 0, 0xFD, 0xEE, 0, 0, 0, 0, 0, 0, 0x06, 0x09, 0, 0,
                         (U8)crc, (U8)(crc >> 8), (U8)(crc >> 16), (U8)(crc >> 24)};
    ASSERT_EQ(file.size(), 28u + 2310u);
    EXPECT_EQ(file.substr(0, 28), std::string((const char*)head, 20) + std::string(8, '\0'));
    EXPECT_EQ(file.substr(28), std::string(data.begin(), data.end()));
    // The link leads to the file, so the web server can hand it out.
    EXPECT_EQ(Slurp(TestBoardRoot() + "/tarvex_app/web/download/TS2_NIT.table"), file);
    EXPECT_EQ(Export(0).first, (int)ZR_ERR_SIP_NIT_NO_EXIST);
    EXPECT_EQ(Export(0, 2).first, 774) << "flat channel 8";
}

TEST_F(SiTable, ImportTakesTheRequestsUploadAndApplies)
{
    Bytes data = Section(40, 0x31, 0, 1);
    Bytes second = Section(20, 0x32, 1, 1);
    data.insert(data.end(), second.begin(), second.end());
    Bytes file = FileOf(data);
    file[0] = 0x77;  // the signature is not examined
    plat::System("rm -f " PARAMS_TSP_CONFIG_FILE);
    TSP_InitOutputTempTSInfo();  // no edit open: the import opens one from the live database
    // Its answer carries the revision after it, for the NIT page to go on with.
    auto answer = [](U32 revision) { return "{\"importdelay\":5,\"revision\":" + std::to_string(revision) + "}"; };
    const auto imported = Post("ImportSiTable.w?tableid=64&channel=1&port=0", "", &file);
    EXPECT_EQ(imported, std::make_pair(0, answer(TSP_GetTempRevision())));
    EXPECT_EQ(Stored(TSP_GetTSParam(), 1), data) << "committed";
    EXPECT_NE(TSP_FindStreamOfChannel(TSP_GetTSParam(), 0), TSP_INVALID_INDEX) << "the other stream stays";
    EXPECT_TRUE(plat::Exists(PARAMS_TSP_CONFIG_FILE)) << "applied";
    EXPECT_STREQ(g_arcUpgradeFiledir, "");

    // Another table id imports nothing but applies; no query: no reply.
    const Bytes other = FileOf(Section(16, 0));
    const auto ignored = Post("ImportSiTable.w?port=0&tableid=16&channel=0", "", &other);
    EXPECT_EQ(ignored.second, answer(TSP_GetTempRevision()));
    EXPECT_TRUE(Stored(TSP_GetTSParam(), 0).empty());
    EXPECT_EQ(Post("ImportSiTable.w?port=0", "", &other).first, -1);
}

TEST_F(SiTable, RefusedImportsChangeAndApplyNothing)
{
    const Bytes before = Section(30, 0x55);
    Give(1, before);
    const Bytes good = Section(40, 0x66);
    Bytes flipped = FileOf(good);
    flipped[40] ^= 0x01;
    Bytes cut(good.begin(), good.begin() + 30);
    Bytes trailing = good;
    trailing.insert(trailing.end(), {0x40, 0xF0});  // a second section with no room
    const std::pair<Bytes, int> cases[] = {
        {flipped, 4},
        {FileOf(Bytes(good.begin(), good.begin() + 10)), 4},
        {Bytes(good.begin(), good.begin() + 20), 4},
        {FileOf(cut), 4},
        {FileOf(trailing), 4},
    };
    plat::System("rm -f " PARAMS_TSP_CONFIG_FILE);
    for (const auto& c : cases) {
        EXPECT_EQ(Post("ImportSiTable.w?port=0&channel=1&tableid=64", "", &c.first).first, c.second);
        EXPECT_EQ(Stored(TSP_GetTempTSParam(), 1), before);
        EXPECT_EQ(Stored(TSP_GetTSParam(), 1), before);
    }
    EXPECT_EQ(Post("ImportSiTable.w?port=-1&channel=1&tableid=64", "", &flipped).first, 774);
    // No upload in this request: an earlier request's path is not used.
    EXPECT_EQ(Post("ImportSiTable.w?port=0&channel=1&tableid=64", "").first, (int)ZR_ERR_FILE_CAN_NOT_READE);
    EXPECT_FALSE(plat::Exists(PARAMS_TSP_CONFIG_FILE)) << "nothing was applied";

    // Only 20 parts of 99 characters are read: the twentieth loses its
    // "tableid" to the cut, and the one after it is never seen.
    std::string q;
    for (int i = 0; i < 19; i++)
        q += "x=1&";
    q += std::string(300, 'n') + "tableid=64&tableid=64" + std::string(3000, '&');
    EXPECT_EQ(Post("ImportSiTable.w?" + q, "", &flipped).first, 0);
}

} // namespace
