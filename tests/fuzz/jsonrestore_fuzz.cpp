// Restore of the JSON parameter file from any text: only channels 0-7 are
// written, members of the wrong type are skipped.
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "fuzz_board.h"
#include <cJSON.h>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBoardInit();
    static bool sem = (PARAMS_InitParametersSem(), true);
    (void)sem;
    g_u32ModulationMode = size % 7;  // every standard's members
    cJSON* doc = cJSON_ParseWithLength(reinterpret_cast<const char*>(data), size);
    if (doc != nullptr) {
        DATA_Recovery_DTMBParameter(doc);
        cJSON_Delete(doc);
    }
    return 0;
}
