// Restore of the JSON parameter file from any text, as an import and as the
// start-up reads it: only channels 0-7 are written, members of the wrong type
// refuse the import and are passed over one by one at the start-up.
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
        // As an import takes it, as the start-up takes the card's own file,
        // and the standard an archive's document is of.
        if (size % 2 == 0)
            DATA_Recovery_DTMBParameter(doc);
        else
            DATA_RecoverStoredDTMBParameter(doc, "fuzz");
        DATA_StandardOfDocument(doc);
        DATA_ModesOfDocument(doc);
        cJSON_Delete(doc);
    }
    return 0;
}
