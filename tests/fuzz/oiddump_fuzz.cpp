// Restore of an OID dump from any bytes: bounded copies, refused when a
// record runs past the end. Each input starts from the same live parameter
// set and a factory database.
#include "Common/oid/oiddata.h"
#include "Parameter/parameters.h"
#include "TSprocess/tsp_db.h"
#include "support/seed_files.h"
#include <cstdint>
#include <cstdlib>

namespace {

// The live set every input starts from (the restore writes its IP-monitor
// block).
ST_ZR_PARAMS g_params;

// The live database at factory capacities, every record empty: what a
// restore without counts builds, and where each input begins.
void FactoryDatabase()
{
    TSInfoInitNum none{};
    if (TSP_InitTSInfo(TSP_GetTSParam(), &none) != ZR_SUCCESS)
        abort();
}

}  // namespace

void FuzzSetUp()
{
    g_params = g_stCurPE;
    FactoryDatabase();
}

void FuzzSeeds(std::vector<FuzzInput>& seeds) { seeds.push_back(FuzzOidDump()); }

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_stCurPE = g_params;
    // A refused restore leaves the database as it was: only one that
    // rebuilt it has to be undone.
    if (OID_CreateAvlTree() == 0 && OID_LoadAllValueFromFlash(data, size) && OID_RecoveryAllParam())
        FactoryDatabase();
    destroy_avltree(sp_root);
    sp_root = nullptr;
    return 0;
}
