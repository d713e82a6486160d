// dacpeek: reads one register of the master chip's AD9789 over SPI bus 1.
//   dacpeek [-h] [-e] <reg>
#include "Driver/RF/ad9789reg.h"
#include <cstdio>

int main(int argc, char** argv)
{
    U32 nums[2] = {0, 0};
    int status = 0;
    if (!AD9789Tool_Start(argc, argv,
                          "Usage: dacpeek [-h] [-e] <reg>\n"
                          "  reads AD9789 register <reg> (hex, 0~0x30) on SPI bus 1\n"
                          "  -h  this text   -e  accepted, no effect\n",
                          1, nums, &status))
        return status;
    printf("Read Addr : 0x%x\n", nums[0]);
    U32 v = SPIBUS_Read_AD9789(nums[0]);
    printf("Result : \n Addr 0x%x, Value 0x%x\n", nums[0], v);
    return 0;
}
