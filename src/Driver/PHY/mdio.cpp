// Clause-22 frames on the Ethernet controller's PHY maintenance register,
// with a bounded wait for the management interface.
#include "Driver/FPGA/fpga.h"
#include "Driver/PHY/phy.h"
#include <chrono>

namespace {

// An MDIO frame takes microseconds; a controller busy this long is hung.
constexpr auto kIdleBound = std::chrono::milliseconds(100);

bool Idle(volatile U32* gem) { return (Xil_In32(gem + GEM_NWSR_OFFSET / 4) & GEM_MDIO_IDLE) != 0; }

bool WaitIdle(volatile U32* gem)
{
    auto end = std::chrono::steady_clock::now() + kIdleBound;
    while (!Idle(gem)) {
        if (std::chrono::steady_clock::now() > end)
            return false;
    }
    return true;
}

int Frame(volatile U32* gem, U32 word)
{
    if (!Idle(gem))
        return PHY_MDIO_BUSY;
    Xil_Out32(gem + GEM_PHYMNTNC_OFFSET / 4, word);
    return WaitIdle(gem) ? 0 : PHY_MDIO_BUSY;
}

}  // namespace

int Mdio_Read(volatile U32* gem, U32 phyAddr, U32 reg, U16* data)
{
    if (gem == nullptr || data == nullptr || phyAddr > 31 || reg > 31)
        return 1;
    int rc = Frame(gem, 0x60020000u | (phyAddr << 23) | (reg << 18));
    if (rc == 0)
        *data = (U16)Xil_In32(gem + GEM_PHYMNTNC_OFFSET / 4);
    return rc;
}

int Mdio_Write(volatile U32* gem, U32 phyAddr, U32 reg, U16 data)
{
    if (gem == nullptr || phyAddr > 31 || reg > 31)
        return 1;
    return Frame(gem, 0x50020000u | (phyAddr << 23) | (reg << 18) | data);
}
