// Image files from any bytes: header, announced length and payload CRC,
// the version text, and the multipart envelope of an uploaded file.
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include "Upgrade/upgrade.h"
#include "fuzz_board.h"
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBoardInit();
    const U8* file = reinterpret_cast<const U8*>(UPGRADE_FILE);
    plat::WriteFileAtomic(UPGRADE_FILE, data, size, false);
    upgrade_CheckImageFile(UPGRADE_FILE);
    U32 version = 0;
    GetUpgradeFileSwVersion(file, &version);
    plat::WriteFileAtomic(UPGRADE_FILE, data, size, false);
    upgrade_DelNetHeader(file);
    return 0;
}
