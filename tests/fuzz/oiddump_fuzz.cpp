// Restore of an OID dump from any bytes: bounded copies, refused when a
// record runs past the end.
#include "Common/oid/oiddata.h"
#include "support/seed_files.h"
#include <cstdint>

void FuzzSeeds(std::vector<FuzzInput>& seeds) { seeds.push_back(FuzzOidDump()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    if (OID_CreateAvlTree() == 0 && OID_LoadAllValueFromFlash(data, size))
        OID_RecoveryAllParam();
    destroy_avltree(sp_root);
    sp_root = nullptr;
    return 0;
}
