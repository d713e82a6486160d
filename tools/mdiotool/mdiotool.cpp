// mdiotool: reads or writes one register of an Ethernet PHY through the
// MDIO interface of the interface's Ethernet controller.
//   mdiotool r <ethx> <addr> <reg>   /   mdiotool w <ethx> <addr> <reg> <val>
#include "Driver/PHY/phy.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <net/if.h>

namespace {

void usage(const char* prog)
{
    printf("\nUsage:\t%s r/w [ethx] [addr(dec)] [reg(dec)] [val(hex)]\neg: \t%s r eth0 0 2\neg: \t%s w eth0 0 22 0\n\n\r\n",
           prog, prog, prog);
}

int GetDeviceBaseAddress(const char* ifname, U32* base)
{
    if (strlen(ifname) >= IFNAMSIZ) {
        printf("GetDeviceBaseAddress err\r");
        return -1;
    }
    if (plat::InterfaceBase(ifname, base) != 0) {
        printf("GetDeviceBaseAddress err\r");
        return -1;
    }
    return 0;
}

// Maps the interface's controller block: the block, or nullptr with the
// result to give in *rc.
volatile U32* MapGem(const char* ifname, int* rc)
{
    U32 base = 0;
    if (GetDeviceBaseAddress(ifname, &base) != 0) {
        *rc = -1;
        return nullptr;
    }
    volatile U32* gem = plat::MapPhys(0xE0000000ull + base, 0x1000);
    if (gem == nullptr) {
        printf("Error mmap()\r");
        *rc = 1;
    }
    return gem;
}

int phy_reg_read(const char* ifname, U32 addr, U32 reg, U16* value)
{
    int rc = 0;
    volatile U32* gem = MapGem(ifname, &rc);
    if (gem == nullptr)
        return rc;
    rc = Mdio_Read(gem, addr, reg, value);
    if (rc == PHY_MDIO_BUSY) {
        printf("Error getting addr_%u Reg_%u\r\n", addr, reg);
        *value = 0;
    }
    return rc;
}

int phy_reg_write(const char* ifname, U32 addr, U32 reg, U16 value)
{
    int rc = 0;
    volatile U32* gem = MapGem(ifname, &rc);
    if (gem == nullptr)
        return rc;
    rc = Mdio_Write(gem, addr, reg, value);
    if (rc == PHY_MDIO_BUSY)
        printf("Error setting addr_%u Reg_%u Val_0x%x\r\n", addr, reg, value);
    return rc;
}

// A decimal or hexadecimal number no larger than max.
bool ParseNum(const char* text, int base, unsigned long max, U32* out)
{
    char* end = nullptr;
    errno = 0;
    if (*text == '-' || *text == '\0')
        return false;
    unsigned long v = strtoul(text, &end, base);
    if (*end != '\0' || errno != 0 || v > max)
        return false;
    *out = (U32)v;
    return true;
}

}  // namespace

int main(int argc, char** argv)
{
    bool read = argc == 5 && argv[1][0] == 'r';
    bool write = argc == 6 && argv[1][0] == 'w';
    if (!read && !write) {
        usage(argv[0]);
        return 1;
    }
    const char* ifname = argv[2];
    U32 addr = 0, reg = 0, val = 0;
    if (!ParseNum(argv[3], 10, 31, &addr) || !ParseNum(argv[4], 10, 31, &reg) ||
        (write && !ParseNum(argv[5], 16, 0xFFFF, &val))) {
        printf("Error: addr and reg must be 0~31 (decimal), val 0~ffff (hex)\r\n");
        usage(argv[0]);
        return 1;
    }
    if (read) {
        U16 v = 0;
        int rc = phy_reg_read(ifname, addr, reg, &v);
        if (rc == 0)
            printf("\n\nRead \t%s addr %u reg %u val 0x%x\n\r\n", ifname, addr, reg, v);
        else
            printf("Error Read\r");
        return rc == 0 ? 0 : 1;
    }
    int rc = phy_reg_write(ifname, addr, reg, (U16)val);
    if (rc == 0)
        printf("\n\nWrite\t%s addr %u reg %u val 0x%x\n\r\n", ifname, addr, reg, val);
    else
        printf("Error Write\r");
    return rc == 0 ? 0 : 1;
}
