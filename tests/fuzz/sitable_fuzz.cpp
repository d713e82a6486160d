// SI table files as the web imports them: a POST to ImportSiTable.w with any
// query (port, channel, table id) through the web dispatcher and the query
// parser, its upload (any bytes in the multipart envelope, a temporary file
// of the HTTP server) through the header and CRC check into the working copy
// of a card with one output stream, committed and applied (no peer answers).
//
// Input: [u8 flags][u8 n][n bytes of query][file...]. Flags bit 0 makes the
// header's CRC match, bit 1 each section's CRC_32.
#include "Common/commonfun.h"
#include "CommonModules/httpd/chunk.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_nit.h"
#include "Web/web.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <cstdlib>
#include <string>

static const char* const kUpload = "/var/tmp/sitable-upload";

void FuzzSetUp() { plat::MakeDirs("/var/tmp"); }

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // One empty NIT section behind a header whose CRC the harness fills in.
    FuzzInput s{3, 0x09, 0x20, 0, 0, 0xFD, 0xEE, 0, 0, 0, 0, 0, 0, 16, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
                0x40, 0xF0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xF0, 0x00, 0xF0, 0x00, 0x00, 0x00, 0x00, 0x00};
    // The query of an import of channel 0's NIT.
    const std::string q = "port=0&channel=0&tableid=64";
    s.insert(s.begin() + 1, (U8)q.size());
    s.insert(s.begin() + 2, q.begin(), q.end());
    seeds.push_back(s);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tspwire;
    FuzzReader r(data, size);
    const U8 flags = r.U8();
    const bool fixCrc = flags & 1;
    FuzzInput query = r.Bytes(r.U8());
    FuzzInput file = r.Bytes(r.Left());
    // Bit 1: each section's own CRC_32 is made to match too, so that the
    // sections' structure checks and the import behind them are reached.
    for (size_t pos = 28; (flags & 2) && pos + 3 <= file.size();) {
        const size_t total = ((file[pos + 1] & 0x0F) << 8 | file[pos + 2]) + 3;
        if (total < 4 || pos + total > file.size())
            break;
        U32 crc = Common_CRC_Calculate(file.data() + pos, (U32)(total - 4), 0);
        for (int i = 0; i < 4; i++)
            file[pos + total - 4 + i] = (U8)(crc >> (24 - 8 * i));
        pos += total;
    }
    if (fixCrc && file.size() >= 28) {
        U32 crc = Common_CRC_Calculate(file.data() + 28, (U32)(file.size() - 28), 0);
        for (int i = 0; i < 4; i++)
            file[16 + i] = (U8)(crc >> (8 * i));
    }
    std::string up = "------f\r\nContent-Disposition: form-data; name=\"file\"; filename=\"x\"\r\n\r\n" +
                     std::string(file.begin(), file.end()) + "\r\n------f--\r\n";
    plat::WriteFileAtomic(kUpload, up.data(), up.size(), false);

    TSP_FactoryOutputTSInfo();
    Send(IPCOMM_SEND_TS, Msg({TS(0)}));
    TSP_InitOutputTempTSInfo();
    TSP_CopyOutputTSInfo();
    // The request as the HTTP server hands it over: the upload is its
    // temporary file.
    std::string q(query.begin(), query.end());
    q = q.substr(0, strnlen(q.c_str(), q.size()));
    std::string head = "POST /ImportSiTable.w?" + q + " HTTP/1.1\r\nHost: x\r\n\r\n";
    connection con{};
    con.request.request = buffer_init_string(head.c_str());
    con.request_content_queue = chunkqueue_init();
    buffer* name = buffer_init_string(plat::Path(kUpload).c_str());
    chunkqueue_append_file(con.request_content_queue, name, 0, (off32_t)up.size());
    con.request_content_queue->last->file.is_temp = 1;
    buffer_free(name);
    buffer* out = buffer_init();
    web_ProcessData(out, nullptr, &con);
    buffer_free(out);
    buffer_free(con.request.request);
    chunkqueue_free(con.request_content_queue);
    // Whatever was taken, the working copy's links hold and a commit and
    // export of it read inside their buffers.
    std::string err = CheckInvariants(TSP_GetTempTSParam());
    if (!err.empty()) {
        fprintf(stderr, "working copy broken: %s\n", err.c_str());
        abort();
    }
    TSP_CopyOutputTSInfo();
    U32 len = 0;
    if (TSP_GetExportNITLength(0, &len) == 0 && len > 0) {
        std::vector<U8> out(len);
        TSP_GetExportNITBuf(0, out.data(), len);
    }
    return 0;
}
