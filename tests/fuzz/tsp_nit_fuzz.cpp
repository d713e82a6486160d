// NIT files as the web imports them, committed, followed by edits of the
// imported NIT and their commit (which compares them with the live NIT):
// reads stay inside the bytes given and both databases' links hold.
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_nit.h"
#include "support/fuzz_support.h"
#include "support/tsp_wire.h"
#include <cstdio>
#include <cstdlib>

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // One empty NIT section (network id 1) and an edit byte.
    seeds.push_back({0x40, 0xF0, 0x0D, 0x00, 0x01, 0xC1, 0x00, 0x00, 0xF0, 0x00, 0xF0, 0x00,
                     0x00, 0x00, 0x00, 0x00, 0x03});
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    using namespace tspwire;
    FreshOpenStream();
    // The first half is the file, the rest picks edits.
    const size_t half = size / 2;
    TSP_AddNITByImport(0, data, (U32)half);
    // Committed, so that the edits' commit compares them with a live NIT.
    TSP_CopyOutputTSInfo();
    for (size_t i = half; i < size; i++) {
        dvbpsi_descriptor_t d{};
        d.i_tag = data[i];
        d.i_length = (U8)(data[i] * 7);
        switch (data[i] % 6) {
        case 0: TSP_AddNIT_TS(0, data[i], 1); break;
        case 1: TSP_AddDescriptor2NIT_Ts(0, data[i] % 4, &d); break;
        case 2: TSP_AddNetworkDescriptor(0, &d); break;
        case 3: TSP_DeleteOneTSDescOfNIT(0, data[i] % 3, 0); break;
        case 4: TSP_EditOneTSDescOfNIT(0, data[i] % 3, 0, &d); break;
        default: TSP_DelOneTSOfNIT(0, data[i] % 3); break;
        }
        std::string err = CheckInvariants(TSP_GetTempTSParam());
        if (!err.empty()) {
            fprintf(stderr, "working copy broken: %s\n", err.c_str());
            abort();
        }
    }
    TSP_CopyOutputTSInfo();
    std::string err = CheckInvariants(TSP_GetTSParam());
    if (!err.empty()) {
        fprintf(stderr, "live database broken: %s\n", err.c_str());
        abort();
    }
    return 0;
}
