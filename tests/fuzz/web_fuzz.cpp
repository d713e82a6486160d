// Arbitrary POST bodies for every command key of the web back end, on the
// simulated board (register window, RF chips and files are its models).
// The first byte picks the key (and whether the path or a Referer names
// it); the rest is the body. Every unit starts from the parameter sets of
// the set-up and the same output streams: a fed program with an elementary
// stream in an open working copy (the stream editor's lists reach the checks
// of what each entry names), from an input card the card knows is not
// plugged (a deletion clears its records at once rather than wait up to 24 s
// for its answer). What one unit fed or changed is not met by the next, so a
// unit run again alone does what it did in the run.
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Parameter/parameters.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_mux.h"
#include "CommonModules/httpd/base.h"
#include "CommonModules/httpd/buffer.h"
#include "CommonModules/httpd/chunk.h"
#include "Web/web.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cjson/cJSON.h>
#include <cstring>
#include <string>
#include <utility>

namespace {

size_t KeyCount()
{
    size_t n = 0;
    while (arstWEBComm[n].pcStr[0] != '\0')
        n++;
    return n;
}

FuzzInput Seed(U8 key, const std::string& body)
{
    FuzzInput v{key};
    v.insert(v.end(), body.begin(), body.end());
    return v;
}

U8 KeyOf(const char* key)
{
    for (size_t i = 0; arstWEBComm[i].pcStr[0] != '\0'; i++)
        if (strcmp(arstWEBComm[i].pcStr, key) == 0)
            return (U8)i;
    return 0;
}

struct StartSets {
    TParameter_DTMB stModulation;
    QAM_IPMonitorPara stMonitor;
    ST_ZR_PARAMS stRecord;
    Output_TSInfo stStreams;
};
StartSets* s_pStart = nullptr;

// The start of every unit: the parameter sets as the set-up left them; the
// output streams it fed (copied in: feeding them again saves the file three
// times); the working copy opened from them; no deletion waiting for answers.
void StartUnit()
{
    CARD_STATE_LOCK();
    *GetDTMBPara_Handle() = s_pStart->stModulation;
    *GetQAMIPMonitor_Handle() = s_pStart->stMonitor;
    *PARAMS_GetCurParamsHandler() = s_pStart->stRecord;
    Output_TSInfo copy{};
    if (TSP_CloneTSInfo(&s_pStart->stStreams, &copy) == 0)
        std::swap(*TSP_GetTSParam(), copy);
    TSP_ReleaseTSInfo(&copy);
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTempTSInfo();
    Status_SetSubBoardPlugStatus(0);
    g_DelDestChannelNum = 0;
}

}  // namespace

void FuzzSetUp()
{
    g_u8OutputChannelNum = 4;
    SLAVE_CHIP_IS_EXIST = 0;
    // Channel 0 with program 100 (PMT 0x100, PCR 0x101) and its ES 0x101
    // from the input card in slot 5, which is not plugged.
    using namespace tspwire;
    FreshStreams(1, true);
    Send(IPCOMM_SEND_PID, Msg({PID(Pid{})}));
    s_pStart = new StartSets{*GetDTMBPara_Handle(), *GetQAMIPMonitor_Handle(), *PARAMS_GetCurParamsHandler(), {}};
    TSP_CloneTSInfo(TSP_GetTSParam(), &s_pStart->stStreams);
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    seeds.push_back(Seed(3, "{\"token\":\"t\",\"psiinterval\":100,\"portlist\":[{\"port\":0,\"channellist\":[{"
                            "\"channel\":0,\"frequency\":474000,\"enable\":1,\"power\":40},{\"channel\":1,"
                            "\"frequency\":482000,\"constellation\":10}]}]}"));
    seeds.push_back(Seed(5, "{\"token\":\"t\",\"enable\":1,\"port\":0,\"channel\":2,\"destipaddress\":3232235777}"));
    seeds.push_back(Seed(43, "{\"token\":\"t\",\"type\":9,\"params\":[0,3]}"));
    // Refused: a PSI interval outside 16 bits, a name that is not UTF-8; a
    // key named by a Referer under a path that names none.
    seeds.push_back(Seed(3, "{\"token\":\"t\",\"psiinterval\":65536,\"portlist\":[]}"));
    seeds.push_back(Seed(16, "{\"token\":\"t\",\"port\":0,\"channel\":0,\"oldserviceid\":100,"
                             "\"servicename\":\"A\x80" "B\",\"providername\":\"\xE8\x87\xBA\"}"));
    seeds.push_back(Seed(0x80 | 1, "{\"token\":\"t\"}"));
    seeds.push_back(Seed(50, "{\"token\":\"t\",\"modulelist\":[{\"id\":8,\"value\":1}],\"error\":1,\"warning\":0,"
                             "\"info\":1,\"debug\":0}"));
    // The deletion of the fed channel, whose input card is not plugged.
    seeds.push_back(Seed(KeyOf("DeleteTSConfig.w"), "{\"token\":\"t\",\"channel\":0}"));
    // Lists whose entries name what they edit, and a revision sent back.
    seeds.push_back(Seed(KeyOf("SetTsParam.w"),
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"tsid\":5,\"programlist\":[{\"servicename\":\"X\","
                         "\"src\":{\"board\":5,\"port\":0,\"channel\":1,\"serviceid\":100}},{\"src\":{}}],"
                         "\"otherpidlist\":[{\"oldpid\":9,\"newvalue\":10}]}"));
    seeds.push_back(Seed(KeyOf("SetProgramParam.w"),
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"oldserviceid\":100,\"src\":{\"serviceid\":100},"
                         "\"pids\":{\"es\":[{\"oldpid\":257,\"pid\":300},{\"oldpid\":258}]}}"));
    seeds.push_back(Seed(KeyOf("SetProgramParam.w"), "{\"token\":\"t\",\"port\":0,\"channel\":0,\"oldserviceid\":100,"
                                                     "\"revision\":1e300,\"servicename\":\"Y\"}"));
    // Members of another type, fractions and numbers past their field.
    seeds.push_back(Seed(KeyOf("SetProgramParam.w"),
                         "{\"token\":\"t\",\"port\":0,\"channel\":0,\"oldserviceid\":100,\"src\":{\"serviceid\":100.5},"
                         "\"pids\":{\"pmt\":8192,\"es\":[{\"oldpid\":\"257\",\"pid\":65536,\"streamtype\":\"Audio\"}]}}"));
    seeds.push_back(Seed(KeyOf("SetTsParam.w"), "{\"token\":\"t\",\"port\":0,\"channel\":0,\"tsid\":70000,"
                                                "\"otherpidlist\":[{\"newvalue\":9}],\"revision\":1.5}"));
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader r(data, size);
    // The key byte's top bit moves the key from the path into a Referer
    // under a path that names no command.
    const U8 k = r.U8();
    const WEBInterface& row = arstWEBComm[(k & 0x7F) % KeyCount()];
    FuzzInput rest = r.Bytes(r.Left());
    std::string body(rest.begin(), rest.end());
    body = body.substr(0, strnlen(body.c_str(), body.size()));
    if (FuzzSlowWebCommand(row.pcStr, body))
        return 0;
    StartUnit();
    connection con{};
    std::string head = (k & 0x80) ? std::string("POST /?q HTTP/1.1\r\nReferer: http://x/") + row.pcStr + "\r\n\r\n"
                                  : std::string("POST /") + row.pcStr + " HTTP/1.1\r\n\r\n";
    con.request.request = buffer_init_string(head.c_str());
    con.request_content_queue = chunkqueue_init();
    // Two chunks, so that joining is exercised too.
    size_t half = body.size() / 2;
    chunkqueue_append_mem(con.request_content_queue, body.c_str(), half + 1);
    chunkqueue_append_mem(con.request_content_queue, body.c_str() + half, body.size() - half + 1);
    buffer* out = buffer_init();
    web_ProcessData(out, nullptr, &con);
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    return 0;
}
