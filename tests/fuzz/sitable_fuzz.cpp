// SI table files as the web imports them: any bytes, wrapped in the upload's
// multipart envelope, through the header and CRC check into the working copy
// of a card with one output stream (no apply: that would talk to peers).
// The first byte picks whether the header's and the sections' CRCs are made
// to match.
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
    seeds.push_back(s);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tspwire;
    FuzzReader r(data, size);
    const U8 flags = r.U8();
    const bool fixCrc = flags & 1;
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
    TSP_CopyOutputTempTSInfo();
    snprintf(g_arcUpgradeFiledir, sizeof(g_arcUpgradeFiledir), "%s", kUpload);
    Web_ImportNIT(0);
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
