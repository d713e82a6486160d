// Fuzz target: the Ethernet PHY patch file (JSON) read and applied over the
// simulated MDIO interface, for each known chip type.
#include "Driver/PHY/phy.h"
#include "Platform/platform.h"
#include "fuzz_board.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    FuzzBoardInit();
    if (!plat::WriteFileAtomic(PHY_CONFIG_FILE, data, size, false))
        return 0;
    _PhyParams_st* p = Phy_GetPhyParams();
    Phy_Map(p);
    for (PhyChipType_t t : {Phy88E1510, Phy88E1111, PhyYT8521}) {
        p->chipType = t;
        Phy_ParamsInit(p);
    }
    return 0;
}
