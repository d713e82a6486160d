// GPIO lines through the Linux GPIO files and through the mapped GPIO block.
#include "Driver/GPIO/gpio.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <string>
#include <unistd.h>

U32 GPIO_GetLinuxGPIONum(U32 pin, GPIOPinType_e ePinType)
{
    if (pin > GPIO_PIN_MAX)
        return 0;
    return pin + (ePinType == MIO ? GPIO_MIO_LINUX_BASE : GPIO_EMIO_LINUX_BASE);
}

static std::string GpioPath(U32 linuxNum, const char* attr)
{
    char path[96];
    snprintf(path, sizeof(path), "%s/gpio%u/%s", GPIO_SYSFS_DIR, linuxNum, attr);
    return path;
}

static bool PinOk(U32 u32GPIONum, const char* func)
{
    if (u32GPIONum <= GPIO_PIN_MAX)
        return true;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d GPIO index %d is error!\n", (long)syscall(SYS_gettid), func,
               __LINE__, (int)u32GPIONum);
    return false;
}

GPIOErrCode GPIO_CreateGPIOController(U32 u32GPIONum, GPIOPinType_e ePinType)
{
    if (!PinOk(u32GPIONum, __func__))
        return ZR_GPIO_PIN_NUM_ERR;
    U32 linuxNum = GPIO_GetLinuxGPIONum(u32GPIONum, ePinType);
    char cmd[96];
    snprintf(cmd, sizeof(cmd), "echo %d > %s", (int)linuxNum, GPIO_SYSFS_DIR "/export");
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d Command: [%s]\n", LOG_POS, cmd);
    plat::System(cmd);
    if (!plat::Exists(GpioPath(linuxNum, ""))) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d GPIO%d create controller fail!\n", LOG_POS, (int)linuxNum);
        return ZR_GPIO_CONTROL_CREAT_ERR;
    }
    return ZR_GPIO_SUCCESS;
}

GPIOErrCode GPIO_SetGPIODirection(U32 u32GPIONum, GPIODirectionType eDirection, GPIOPinType_e ePinType)
{
    if (!PinOk(u32GPIONum, __func__))
        return ZR_GPIO_PIN_NUM_ERR;
    const char* text;
    if (eDirection == GPIO_OUT)
        text = "out";
    else if (eDirection == GPIO_IN)
        text = "in";
    else
        return ZR_GPIO_DIRECT_PARAM_ERR;
    ssize_t n = plat::WriteAttr(GpioPath(GPIO_GetLinuxGPIONum(u32GPIONum, ePinType), "direction"), text, strlen(text));
    if (n < 0)
        return ZR_GPIO_DIRECT_FILE_OPEN_ERR;
    if ((size_t)n != strlen(text))
        return ZR_GPIO_DIRECT_FILE_WRITE_ERR;
    return ZR_GPIO_SUCCESS;
}

// The pin's folder appears once it is exported.
static GPIOErrCode EnsureExported(U32 u32GPIONum, GPIOPinType_e ePinType)
{
    U32 linuxNum = GPIO_GetLinuxGPIONum(u32GPIONum, ePinType);
    if (plat::Exists(GpioPath(linuxNum, "")))
        return ZR_GPIO_SUCCESS;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d GPIO%d need to creat controller!\n", LOG_POS, (int)linuxNum);
    if (GPIO_CreateGPIOController(u32GPIONum, ePinType) != ZR_GPIO_SUCCESS)
        return ZR_GPIO_CONTROL_CREAT_ERR;
    return ZR_GPIO_SUCCESS;
}

GPIOErrCode GPIO_SetGpio(U32 u32GPIONum, U32 u32GPIOValue, GPIOPinType_e ePinType)
{
    if (!PinOk(u32GPIONum, __func__))
        return ZR_GPIO_PIN_NUM_ERR;
    GPIOErrCode rc = EnsureExported(u32GPIONum, ePinType);
    if (rc != ZR_GPIO_SUCCESS)
        return rc;
    if (GPIO_SetGPIODirection(u32GPIONum, GPIO_OUT, ePinType) != ZR_GPIO_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d GPIO set direction error!\n", LOG_POS);
        return ZR_GPIO_DIRECT_ERR;
    }
    U32 linuxNum = GPIO_GetLinuxGPIONum(u32GPIONum, ePinType);
    std::string path = GpioPath(linuxNum, "value");
    const char* text = u32GPIOValue ? "1" : "0";
    ssize_t n = plat::WriteAttr(path, text, 1);
    if (n < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Can't open gpio [%d] controller [%s]!\n", LOG_POS,
                   (int)linuxNum, path.c_str());
        return ZR_GPIO_VALUE_FILE_OPEN_ERR;
    }
    if (n != 1) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Can't write gpio [%d] controller [%s]!\n", LOG_POS,
                   (int)linuxNum, path.c_str());
        return ZR_GPIO_VALUE_FILE_WRITE_ERR;
    }
    return ZR_GPIO_SUCCESS;
}

GPIOErrCode GPIO_GetGpio(U32 u32GPIONum, U32* u32GPIOValue, GPIOPinType_e ePinType)
{
    if (!PinOk(u32GPIONum, __func__))
        return ZR_GPIO_PIN_NUM_ERR;
    if (u32GPIOValue == nullptr)
        return ZR_GPIO_VALUE_FILE_READ_ERR;
    GPIOErrCode rc = EnsureExported(u32GPIONum, ePinType);
    if (rc != ZR_GPIO_SUCCESS)
        return rc;
    if (GPIO_SetGPIODirection(u32GPIONum, GPIO_IN, ePinType) != ZR_GPIO_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d GPIO set direction error!\n", LOG_POS);
        return ZR_GPIO_DIRECT_ERR;
    }
    U32 linuxNum = GPIO_GetLinuxGPIONum(u32GPIONum, ePinType);
    std::string path = GpioPath(linuxNum, "value");
    char buf[16];
    ssize_t n = plat::ReadAttr(path, buf, sizeof(buf) - 1);
    if (n < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Can't open gpio [%d] controller [%s]!\n", LOG_POS,
                   (int)linuxNum, path.c_str());
        return ZR_GPIO_VALUE_FILE_OPEN_ERR;
    }
    if (n == 0)
        return ZR_GPIO_VALUE_FILE_READ_ERR;
    buf[n] = '\0';
    *u32GPIOValue = (U32)strtoul(buf, nullptr, 10);
    return ZR_GPIO_SUCCESS;
}

// ---- Mapped GPIO block -------------------------------------------------------
// Banks 0 and 1: MIO pins 0-31 and 32-53; banks 2 and 3: EMIO pins 0-31 and
// 32-63. The direction, output-enable and output words are kept here and
// never read back from the block.

static std::mutex s_gpioBankMutex;
static U32 s_u32GpioDirection[4];
static U32 s_u32GpioOutEnable[4];
static U32 s_u32GpioOutput[4];

static bool BankOf(U32 pin, GPIOPinType_e ePinType, U32* bank)
{
    if (ePinType == MIO && pin <= 53) {
        *bank = pin / 32;
        return true;
    }
    if (ePinType == EMIO && pin <= 63) {
        *bank = 2 + pin / 32;
        return true;
    }
    return false;
}

U32 GPIO_Offset_By_PinN(U32* mask, U32 pin, GPIOPinType_e ePinType)
{
    U32 bank;
    if (mask == nullptr || !BankOf(pin, ePinType, &bank)) {
        printf("parameter error!\n");
        return PE_ERR_GPIO_PARAMS_ERR;
    }
    *mask = 1u << (pin % 32);
    return 0;
}

static volatile U32* GpioReg(U32 byteOffset) { return s_pGPIOAddress + byteOffset / 4; }

U32 GPIO_Read_By_PinN(U32 u32pinN, U32* pu32value, GPIOPinType_e ePinType)
{
    U32 mask = 0, bank = 0;
    if (pu32value == nullptr || GPIO_Offset_By_PinN(&mask, u32pinN, ePinType) != 0 ||
        !BankOf(u32pinN, ePinType, &bank))
        return PE_ERR_GPIO_PARAMS_ERR;
    if (s_pGPIOAddress == nullptr)
        return PE_ERR_FAILURE;
    std::lock_guard<std::mutex> lk(s_gpioBankMutex);
    s_u32GpioDirection[bank] &= ~mask;
    Xil_Out32(GpioReg(0x204 + 0x40 * bank), s_u32GpioDirection[bank]);
    *pu32value = Xil_In32(GpioReg(0x60 + 4 * bank)) & mask;
    return 0;
}

U32 GPIO_Write_By_PinN(U32 u32pinN, U32 u32value, GPIOPinType_e ePinType)
{
    U32 mask = 0, bank = 0;
    if (u32value > 1 || GPIO_Offset_By_PinN(&mask, u32pinN, ePinType) != 0 || !BankOf(u32pinN, ePinType, &bank))
        return PE_ERR_GPIO_PARAMS_ERR;
    if (s_pGPIOAddress == nullptr)
        return PE_ERR_FAILURE;
    std::lock_guard<std::mutex> lk(s_gpioBankMutex);
    s_u32GpioDirection[bank] |= mask;
    s_u32GpioOutEnable[bank] |= mask;
    Xil_Out32(GpioReg(0x204 + 0x40 * bank), s_u32GpioDirection[bank]);
    Xil_Out32(GpioReg(0x208 + 0x40 * bank), s_u32GpioOutEnable[bank]);
    if (u32value)
        s_u32GpioOutput[bank] |= mask;
    else
        s_u32GpioOutput[bank] &= ~mask;
    Xil_Out32(GpioReg(0x40 + 4 * bank), s_u32GpioOutput[bank]);
    return 0;
}
