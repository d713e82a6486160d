// AD9789 register access for the register tools: the bus driver's write and
// read of one register, and the tools' shared argument reading.
#include "Driver/RF/ad9789reg.h"
#include "Platform/platform.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>

void Modulate_SetADChipReg(U32 u32Value, U32 u32Addr, peSPIBUS_NUM eBus)
{
    SPIBUS_Write(u32Addr, u32Value & 0xFF, SPI_DEV_AD9789, eBus);
}

U32 SPI_ReadADChip(U32 u32Addr, peSPIBUS_NUM eBus) { return SPIBUS_Read(u32Addr, SPI_DEV_AD9789, eBus); }

int Modulate_SetAD9789_up(U32 u32Value, U32 u32Addr, peSPIBUS_NUM eBus)
{
    Modulate_SetADChipReg(u32Value, u32Addr, eBus);
    plat::HwDelayUs(8000);
    U32 v = SPI_ReadADChip(u32Addr, eBus);
    printf("Result :\n Addr : 0x%x\tVal : 0x%x\r\n", u32Addr, v & 0xFF);
    return 0;
}

int AD9789Tool_ParseArgs(int argc, char** argv, const char* usage, U32 nums[2], int* pExit)
{
    int count = 0;
    for (int i = 1; i < argc; i++) {
        const char* a = argv[i];
        if (a[0] == '-') {
            if (strcmp(a, "-h") == 0) {
                fprintf(stderr, "%s", usage);
                *pExit = 1;
                return -1;
            }
            if (strcmp(a, "-e") == 0)
                continue;
            printf("Error: Unsupported option \"%s\",  you can enter -h for help!\n", a);
            *pExit = 2;
            return -1;
        }
        char* end = nullptr;
        unsigned long v = strtoul(a, &end, 16);
        bool bad = end == a || *end != '\0';
        if (count == 0 && (bad || v > AD9789_TOOL_MAX_REG)) {
            printf("Error: Unsupported option AD9789 reg addr should be 0~0x30 !\n");
            *pExit = 2;
            return -1;
        }
        if (count == 1 && (bad || v > 0xFFFFFFFFul)) {
            printf("Error: Unsupported option \"%s\",  you can enter -h for help!\n", a);
            *pExit = 2;
            return -1;
        }
        if (count < 2)
            nums[count] = (U32)v;
        count++;
    }
    return count;
}

bool AD9789Tool_Start(int argc, char** argv, const char* usage, U32 u32Want, U32 nums[2], int* pExit)
{
    SPIBUS_SetToolSetting();
    SPIBUS_Init();
    int count = AD9789Tool_ParseArgs(argc, argv, usage, nums, pExit);
    if (count < 0)
        return false;
    if ((U32)count != u32Want) {
        printf("error!! the number you enter must small be %u !!\n", u32Want);
        *pExit = 2;
        return false;
    }
    return true;
}
