// Restore of an OID dump from any bytes: bounded copies, refused when a
// record runs past the end.
#include "Common/oid/oiddata.h"
#include "fuzz_board.h"
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBoardInit();
    if (OID_CreateAvlTree() == 0 && OID_LoadAllValueFromFlash(data, size))
        OID_RecoveryAllParam();
    destroy_avltree(sp_root);
    sp_root = nullptr;
    return 0;
}
