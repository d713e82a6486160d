// Fuzz target: the Ethernet PHY patch file (JSON) read and applied over the
// simulated MDIO interface, for each known chip type.
#include "Driver/PHY/phy.h"
#include "Platform/platform.h"
#include "support/fuzz_support.h"
#include <string>

void FuzzSeeds(std::vector<FuzzInput>& seeds)
{
    const std::string patch = R"({"PhyConfig":{"88E1510":[
        {"phyAddr":0,"addr":22,"mask":"0000","value":"0002"},
        {"phyAddr":0,"addr":16,"mask":"FF00","value":"0060"}],
      "88E1111":[{"phyAddr":1,"addr":20,"mask":"00FF","value":"0C00"}],
      "YT8521":[{"phyAddr":0,"addr":16,"mask":"0000","value":"0007"}]}})";
    seeds.emplace_back(patch.begin(), patch.end());
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
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
