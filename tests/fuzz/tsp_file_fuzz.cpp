// The output-stream file as the start-up check and the load read it: any
// bytes are either refused or give a database whose arrays hold the file's
// records; a loaded database is then saved, checked and walked.
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <cstdlib>

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    using namespace tspwire;
    TSP_FactoryOutputTSInfo();
    Send(IPCOMM_SEND_TS, Msg({TS(0)}));
    Prog p;
    Send(IPCOMM_SEND_PROGRAM, Msg({Program(p)}));
    Pid d;
    Send(IPCOMM_SEND_PID, Msg({PID(d)}));
    // Small capacities keep the seed short.
    Output_TSInfo* db = TSP_GetTSParam();
    db->u32OutputTSNumber = 1;
    db->u32OutputProgramNumber = 1;
    db->u32OutputPIDNumber = 1;
    db->u32OutputTableNumber = 1;
    db->u32OutputDescriptorNumber = 1;
    PARAMS_TSPParametersSave();
    std::string file;
    plat::ReadFile(PARAMS_TSP_CONFIG_FILE, file);
    seeds.emplace_back(file.begin(), file.end());
    TSP_FreeOutputTSInfo();
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    // The start-up path: the file on disk, its check, then the load.
    plat::MakeDirs("/tarvex_data");
    plat::WriteFileAtomic(PARAMS_TSP_CONFIG_FILE, data, size, false);
    if (PARAMS_VerifyTSPConfigFiles() == ZR_SUCCESS) {
        U32 n[5];
        if (PARAMS_TSPCheckImage(data, size, n) != ZR_SUCCESS)
            abort();  // the check passed the file a moment ago
        if (PARAMS_TSPLoadImage(data, size) != ZR_SUCCESS)
            abort();
        const Output_TSInfo* db = TSP_GetTSParam();
        // Walking the loaded records must stay inside the arrays, whatever links they hold.
        IndexInfoList_t l;
        for (U32 s = 0; s < db->u32OutputTSNumber && s < 0xFFFF; s++) {
            TSP_GetOutTSProgIndexList((U16)s, db, &l);
            TSP_GetOutTSOtherPIDIndexList((U16)s, db, &l);
            TSP_GetOutTSNITTableIndexList((U16)s, db, &l);
        }
        if (PARAMS_TSPParametersSave() != ZR_SUCCESS || PARAMS_VerifyTSPConfigFiles() != ZR_SUCCESS)
            abort();
    } else {
        // A refused image never loads.
        if (PARAMS_TSPLoadImage(data, size) == ZR_SUCCESS)
            abort();
    }
    TSP_FreeOutputTSInfo();
    return 0;
}
