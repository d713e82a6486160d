// Register access of fpgapoke and fpgapeek: a window of their own size,
// checked register numbers, and the marker file a write of register 34
// leaves first.
#include "Driver/FPGA/fpgatool.h"
#include "Driver/FPGA/fpga.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstdlib>

namespace {
volatile U32* s_pToolLogicAddress = nullptr;
volatile U32* s_pToolGPIOAddress = nullptr;
U32 s_u32RegCount = 0;
}  // namespace

bool Reg_Map(U32 regCount)
{
    s_pToolLogicAddress = plat::MapPhys(FPGA_BASE_ADDR, (size_t)regCount * 16);
    if (s_pToolLogicAddress == nullptr) {
        printf("[%s:%d] Can't map the memory to user space.\n \r\n", __func__, __LINE__);
        return false;
    }
    printf("s_pLogicAddress is 0x%lx\n", (unsigned long)(uintptr_t)s_pToolLogicAddress);
    s_pToolGPIOAddress = plat::MapPhys(GPIO_BASE_ADDR, MAP_BLOCK_LEN);
    if (s_pToolGPIOAddress == nullptr) {
        printf("[%s:%d] Can't map the memory of gpio to user space.\n \r\n", __func__, __LINE__);
        return false;
    }
    printf("s_pGPIOAddress is 0x%lx\n", (unsigned long)(uintptr_t)s_pToolGPIOAddress);
    s_u32RegCount = regCount;
    return true;
}

bool FpgaTool_Read(U32 reg, U32* value)
{
    if (s_pToolLogicAddress == nullptr || reg >= s_u32RegCount || value == nullptr)
        return false;
    *value = plat::Read32(s_pToolLogicAddress + (size_t)reg * 4);
    return true;
}

bool FpgaTool_Write(U32 reg, U32 value)
{
    if (s_pToolLogicAddress == nullptr || reg >= s_u32RegCount)
        return false;
    if (reg == 34) {
        char cmd[64];
        snprintf(cmd, sizeof(cmd), "touch /tarvex_data/%u_%u", reg, value);
        plat::System(cmd);
    }
    plat::Write32(s_pToolLogicAddress + (size_t)reg * 4, value);
    return true;
}

bool FpgaTool_ParseHex(const char* text, U32* value)
{
    if (text == nullptr || *text == '\0' || *text == '-')
        return false;
    char* end = nullptr;
    errno = 0;
    unsigned long v = strtoul(text, &end, 16);
    if (*end != '\0' || errno != 0 || v > 0xFFFFFFFFul)
        return false;
    *value = (U32)v;
    return true;
}
