// Restore of the JSON parameter file from any text: only channels 0-7 are
// written, members of the wrong type are skipped.
#include "Parameter/parameters.h"
#include "Parameter/recoverdata.h"
#include "support/fuzz_support.h"
#include <cJSON.h>
#include <cstdint>

void FuzzSetUp() { PARAMS_InitParametersSem(); }

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    // The file as the card writes it from the factory set of each standard,
    // with the top-level members only an edited file carries.
    for (U32 mode : {0u, 1u, 3u, 4u, 5u, 6u}) {
        g_u32ModulationMode = mode;
        Master_PARAMS_Factory();
        cJSON* root = cJSON_CreateObject();
        DATA_Save_DTMBParameter(root, nullptr);
        cJSON_AddNumberToObject(root, "singlemode", 0);
        cJSON_AddNumberToObject(root, "rflevelunit", 1);
        char* text = cJSON_Print(root);
        seeds.emplace_back(text, text + strlen(text));
        cJSON_free(text);
        cJSON_Delete(root);
    }
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    g_u32ModulationMode = size % 7;  // every standard's members
    cJSON* doc = cJSON_ParseWithLength(reinterpret_cast<const char*>(data), size);
    if (doc != nullptr) {
        DATA_Recovery_DTMBParameter(doc);
        cJSON_Delete(doc);
    }
    return 0;
}
