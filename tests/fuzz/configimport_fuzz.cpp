// Checks of an imported configuration export ("param_new.conf").
#include "Common/commonfun.h"
#include "Parameter/parameters.h"
#include "Parameter/paramexport.h"
#include "StatusProcess/resource.h"
#include "support/seed_files.h"
#include <cstdint>
#include <string>

void FuzzSetUp() { Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF; }

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // The export's header, the JSON file, then the OID dump.
    const std::string json = "{\"psiinterval\":1}";
    FuzzInput payload(json.begin(), json.end());
    FuzzInput dump = FuzzOidDump();
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
    seeds.push_back(file);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    PARAM_CheckConfigData(data, size);
    return 0;
}
