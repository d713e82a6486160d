// Checks of an imported configuration export ("param_new.conf").
#include "Parameter/paramexport.h"
#include "StatusProcess/resource.h"
#include "fuzz_board.h"
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBoardInit();
    Resource_getSelfHandle()->u8BoardType = RESOURCE_BOARD_TYPE_SELF;
    PARAM_CheckConfigData(data, size);
    return 0;
}
