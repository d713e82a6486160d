// fpgapeek: reads one FPGA register.
//   fpgapeek <reg>     (in hexadecimal)
#include "Driver/FPGA/fpgatool.h"
#include <cstdio>

int main(int argc, char** argv)
{
    if (argc < 2) {
        printf("[%s:%d] Lack Param\n \r\n", "main", 29);
        return -1;
    }
    if (!Reg_Map(4096))
        return 1;
    printf("[%s:%d] Read Addr : 0x%s \r\n", __func__, __LINE__, argv[1]);
    U32 reg = 0;
    if (!FpgaTool_ParseHex(argv[1], &reg) || reg > 4095) {
        printf("[%s:%d] Error: register must be 0~0xfff\n \r\n", __func__, __LINE__);
        return 2;
    }
    U32 value = 0;
    FpgaTool_Read(reg, &value);
    printf("Result :");
    printf("Addr : 0x%x \t Value : 0x%x\n", reg, value);
    return 0;
}
