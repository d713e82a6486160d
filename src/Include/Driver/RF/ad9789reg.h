// One AD9789 register on SPI bus 1, as the register tools reach it, and the
// argument reading the two AD9789 tools share.
#pragma once
#include "Common/types.h"
#include "Driver/SPI/spi.h"

#define AD9789_TOOL_MAX_REG 0x30

void Modulate_SetADChipReg(U32 u32Value, U32 u32Addr, peSPIBUS_NUM eBus);
U32 SPI_ReadADChip(U32 u32Addr, peSPIBUS_NUM eBus);
int Modulate_SetAD9789_up(U32 u32Value, U32 u32Addr, peSPIBUS_NUM eBus);

// Reads "[-h] [-e] <hex> ..." into at most two numbers. Returns the count
// of numbers given, or -1 after printing why the tool must end (*pExit
// holds its status).
int AD9789Tool_ParseArgs(int argc, char** argv, const char* usage, U32 nums[2], int* pExit);
// Sets up SPI bus 1 for a tool and reads exactly u32Want numbers; false after
// printing why the tool must end (*pExit holds its status).
bool AD9789Tool_Start(int argc, char** argv, const char* usage, U32 u32Want, U32 nums[2], int* pExit);
