// Fuzz target: a configuration the back board offers for import, fetched as
// the card fetches it ("<slot>conf.tar" from the back board's FTP folder):
// the archive check and unpacking, then the raw backup ("param.conf") or the
// export ("param_new.conf") with its checks, the JSON restore and the OID
// dump. Each input starts from factory parameters and no earlier files.
//
// Input: [u8 mode][bytes...]. mode % 4: 0 an export whose header (tags,
// board type, lengths, CRC) the harness makes right, the rest being
// [u16 JSON length][JSON][OID dump]; 1 an export as it comes; 2 a raw
// backup; 3 the archive itself as it comes.
#include "Comm/ipcomm.h"
#include "Common/commonfun.h"
#include "Parameter/parameters.h"
#include "Parameter/paramexport.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "support/seed_files.h"
#include <cstdint>
#include <string>

namespace {

std::string g_ftp;

U32 Crc32(const FuzzInput& d)
{
    U32 c = 0xFFFFFFFFu;
    for (U8 b : d) {
        c ^= b;
        for (int k = 0; k < 8; k++)
            c = (c >> 1) ^ (0xEDB88320u & (0u - (c & 1)));
    }
    return ~c;
}

void Put32(FuzzInput& out, U32 v)
{
    for (int i = 0; i < 4; i++)
        out.push_back((U8)(v >> (8 * i)));
}

// A gzip stream of stored (uncompressed) deflate blocks.
FuzzInput Gzip(const FuzzInput& d)
{
    FuzzInput out{0x1f, 0x8b, 8, 0, 0, 0, 0, 0, 0, 3};
    size_t pos = 0;
    do {
        size_t n = std::min<size_t>(d.size() - pos, 65535);
        bool last = pos + n == d.size();
        out.insert(out.end(), {(U8)(last ? 1 : 0), (U8)n, (U8)(n >> 8), (U8)~n, (U8)(~n >> 8)});
        out.insert(out.end(), d.begin() + (long)pos, d.begin() + (long)(pos + n));
        pos += n;
    } while (pos < d.size());
    Put32(out, Crc32(d));
    Put32(out, (U32)d.size());
    return out;
}

FuzzInput Export(const std::string& json, const FuzzInput& dump)
{
    FuzzInput payload(json.begin(), json.end());
    payload.insert(payload.end(), dump.begin(), dump.end());
    ST_CONFIGPARA h{};
    memcpy(&h.u32StructStartTag, "ARAP", 4);
    memcpy(&h.u32StructEndTag, "DNET", 4);
    h.u8BoardType = RESOURCE_BOARD_TYPE_SELF;
    h.u32SysParamsLen = (U32)json.size();
    h.u32TsParamsLen = (U32)dump.size();
    h.u32TotalSize = (U32)payload.size();
    h.u32FileCRC = Common_CRC_Calculate(payload.data(), (U32)payload.size(), PARAMS_CRC_INIT);
    FuzzInput file(reinterpret_cast<const U8*>(&h), reinterpret_cast<const U8*>(&h) + sizeof(h));
    file.insert(file.end(), payload.begin(), payload.end());
    return file;
}

void Publish(const FuzzInput& archive)
{
    FILE* f = fopen(g_ftp.c_str(), "wb");
    if (f == nullptr || fwrite(archive.data(), 1, archive.size(), f) != archive.size() || fclose(f) != 0)
        abort();
}

}  // namespace

void FuzzSetUp()
{
    Status_SetSlotID(3);
    Resource_SetBackBoardIpAddr(0xC0A8010A);
    Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
    plat::MakeDirs("/var/volatile");
    plat::MakeDirs("/backboard_ftp");
    g_ftp = FuzzBoardRoot() + "/backboard_ftp/3conf.tar";
    PARAMS_InitParametersSem();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // Channel objects that end as the card's own standard writes them, so
    // that the values are checked.
    const std::string json = "{\"psiinterval\":150,\"portlist\":[{\"port\":0,\"channellist\":[{\"channel\":0,"
                             "\"frequency\":474000,\"power\":40,\"insertpsienable\":1,\"Interweave\":240}]}]}";
    FuzzInput s{0, (U8)json.size(), (U8)(json.size() >> 8)};
    s.insert(s.end(), json.begin(), json.end());
    FuzzInput dump = FuzzOidDump();
    s.insert(s.end(), dump.begin(), dump.end());
    seeds.push_back(s);
    FuzzInput raw{1};
    FuzzInput file = Export("{\"psiinterval\":1}", dump);
    raw.insert(raw.end(), file.begin(), file.end());
    seeds.push_back(raw);
    seeds.push_back({2, 0, 0, 0, 0, 8, 0, 0, 0});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzReader r(data, size);
    U8 mode = r.U8() % 4;
    FuzzInput archive;
    if (mode == 3) {
        archive = r.Bytes(r.Left());
    } else {
        FuzzInput file;
        if (mode == 0) {
            size_t jsonLen = r.U16();
            FuzzInput json = r.Bytes(jsonLen);
            file = Export(std::string(json.begin(), json.end()), r.Bytes(r.Left()));
        } else {
            file = r.Bytes(r.Left());
        }
        FuzzInput member = FuzzTarMember(mode == 2 ? "param.conf" : "param_new.conf", '0',
                                         std::string(file.begin(), file.end()));
        FuzzInput end = FuzzTarEnd();
        member.insert(member.end(), end.begin(), end.end());
        archive = Gzip(member);
    }
    // The same start for every input.
    Master_PARAMS_Factory();
    TSP_FactoryOutputTSInfo();
    Publish(archive);
    IPComm_GetAndSetParam();
    return 0;
}
