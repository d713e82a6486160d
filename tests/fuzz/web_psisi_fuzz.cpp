// The web's SI editing on a fed channel: an arbitrary NIT file imported and
// shown by GetNIT.w (its descriptor loops turned into JSON), then an
// arbitrary body for one SI editing command.
#include "Comm/maccomm.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_nit.h"
#include "Web/web.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <string>

namespace {

const char* const kKeys[] = {"GetNIT.w", "AddNITNetwork.w", "DeleteNITNetwork.w", "AddNITStream.w",
                             "DeleteNITStream.w", "DeleteLCN.w", "SetLCN.w", "SetCable.w", "SetNitVersionNum.w",
                             "AddDescriptor.w", "SetOtherDescriptor.w", "SetTSInfoDesc.w", "GetPAT.w",
                             "SetPATPid.w", "GetSubboardPSIPChannel.w", "SetSubboardPSIPChannel.w",
                             "GetTOTLocaltimeoffsetDescriptor.w", "SetTOTLocaltimeoffsetDescriptor.w"};

void Post(const char* key, const std::string& body)
{
    connection con{};
    std::string head = std::string("POST /") + key + " HTTP/1.1\r\n\r\n";
    con.request.request = buffer_init_string(head.c_str());
    con.request_content_queue = chunkqueue_init();
    chunkqueue_append_mem(con.request_content_queue, body.c_str(), body.size() + 1);
    buffer* out = buffer_init();
    web_ProcessData(out, nullptr, &con);
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
}

FuzzInput Seed(U8 key, U8 nitLen, const FuzzInput& nit, const std::string& body)
{
    FuzzInput v{key, nitLen};
    v.insert(v.end(), nit.begin(), nit.end());
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

}  // namespace

void FuzzSetUp()
{
    g_u8OutputChannelNum = 8;
    SLAVE_CHIP_IS_EXIST = 0;
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // One NIT section: a network name and an entry with a cable descriptor.
    const FuzzInput nit = {0x40, 0xF0, 0x24, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xF0, 0x04, 0x40, 0x02, 'N', 'X',
                           0xF0, 0x13, 0x00, 0x01, 0x00, 0x02, 0xF0, 0x0D, 0x44, 0x0B, 0x04, 0x74, 0x00, 0x00,
                           0x00, 0x00, 0x03, 0x00, 0x68, 0x75, 0x00, 0, 0, 0, 0};
    seeds.push_back(Seed(7, (U8)nit.size(), nit,
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"NIT\":0,\"descriptor\":0,\"editFlag\":true,"
                         "\"lcnList\":[{\"frequency\":474000,\"symbolrate\":6875,\"modulation\":3}]}"));
    seeds.push_back(Seed(9, (U8)nit.size(), nit,
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"NIT\":0,\"descriptor\":0,\"tableindex\":0,"
                         "\"tagId\":67,\"tableid\":64,\"editFlag\":false,\"data\":[0,0,0,0,0,0,0,0,0,0,0],"
                         "\"frequency\":11747,\"orbitalposition\":19,\"symbolrate\":27500}"));
    // Texts that are no time and descriptor data that is no hex (refused).
    seeds.push_back(Seed(17, 0, {},
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"streamList\":[{\"CountryCode\":[70,82,65],"
                         "\"CountryRegID\":3,\"LocalTimeOffsetPol\":0,\"LocalTimeOffset\":\"99:99\","
                         "\"NextTimeOffset\":\"02:00\",\"TimeOfChange\":\"2031/02/30 01:00:00\"}]}"));
    seeds.push_back(Seed(1, 0, {}, "{\"token\":\"t\",\"port\":0,\"channel\":0,\"tag\":\"83\",\"data\":\"zz!!\"}"));
    // Network names: mixed scripts (UTF-8) and bytes that are not UTF-8 (refused).
    seeds.push_back(Seed(1, 0, {}, "{\"token\":\"t\",\"port\":0,\"channel\":0,\"tag\":\"40\","
                                   "\"data\":\"\xD0\xA1\xD0\xB5 \xE7\xBD\x91\xE8\x87\xBA\"}"));
    seeds.push_back(Seed(1, 0, {}, "{\"token\":\"t\",\"port\":0,\"channel\":0,\"tag\":\"40\",\"data\":\"\xFF\xFE" "AB\"}"));
    seeds.push_back(Seed(15, 0, {},
                         "{\"token\":\"t\",\"portlist\":[{\"port\":0,\"channellist\":[{\"channel\":0,\"enable\":1,"
                         "\"flag\":{\"pat\":1,\"pmt\":1,\"cat\":1,\"sdt\":1,\"nit\":1,\"TDT\":1,\"TOT\":1,\"mgt\":0,"
                         "\"vct\":0,\"stt\":0,\"vcttype\":0}}]}]}"));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tspwire;
    FreshOpenStream();
    FuzzReader r(data, size);
    const char* key = kKeys[r.U8() % (sizeof(kKeys) / sizeof(kKeys[0]))];
    FuzzInput nit = r.Bytes(r.U8());
    TSP_AddNITByImport(0, nit.data(), (U32)nit.size());
    Post("GetNIT.w", "{\"token\":\"t\",\"port\":0,\"channel\":0}");
    FuzzInput rest = r.Bytes(r.Left());
    std::string body(rest.begin(), rest.end());
    Post(key, body.substr(0, strnlen(body.c_str(), body.size())));
    return 0;
}
