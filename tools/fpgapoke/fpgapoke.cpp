// fpgapoke: writes one FPGA register and reads it back.
//   fpgapoke <reg> <value>     (both in hexadecimal)
#include "Driver/FPGA/fpgatool.h"
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 3) {
        printf("[%s:%d] Lack Param\n \r\n", "main", 29);
        return -1;
    }
    if (!Reg_Map(65536))
        return 1;
    printf("[%s:%d] Write Addr : 0x%s \t Value : 0x%s\n \r\n", __func__, __LINE__, argv[1], argv[2]);
    U32 reg = 0, value = 0;
    if (!FpgaTool_ParseHex(argv[1], &reg) || reg > 65535 || !FpgaTool_ParseHex(argv[2], &value)) {
        printf("[%s:%d] Error: register must be 0~0xffff and value a 32-bit hex number\n \r\n", __func__, __LINE__);
        return 2;
    }
    printf("[%s:%d] Write Addr : 0x%x \t Value : 0x%x\n \r\n", __func__, __LINE__, reg, value);
    FpgaTool_Write(reg, value);
    U32 back = 0;
    FpgaTool_Read(reg, &back);
    printf("Result : ");
    printf("Addr : 0x%x \t Value : 0x%x\n", reg, back);
    return 0;
}
