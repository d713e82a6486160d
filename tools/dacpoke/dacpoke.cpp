// dacpoke: writes one register of the master chip's AD9789 over SPI bus 1
// and reads it back.
//   dacpoke [-h] [-e] <reg> <value>
#include "Driver/RF/ad9789reg.h"
#include <cstdio>

int main(int argc, char** argv)
{
    U32 nums[2] = {0, 0};
    int status = 0;
    if (!AD9789Tool_Start(argc, argv,
                          "Usage: dacpoke [-h] [-e] <reg> <value>\n"
                          "  writes the low 8 bits of <value> (hex) to AD9789 register <reg>\n"
                          "  (hex, 0~0x30) on SPI bus 1 and reads it back\n"
                          "  -h  this text   -e  accepted, no effect\n",
                          2, nums, &status))
        return status;
    printf("Write AD9789 reg addr 0x%x, value 0x%x\n", nums[0], nums[1]);
    Modulate_SetAD9789_up(nums[1], nums[0], SPI_BUS_1);
    return 0;
}
