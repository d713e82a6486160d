// GPIO lines of the processor: through the Linux GPIO files and through the
// memory-mapped GPIO block.
#pragma once
#include "Common/types.h"

// MIO pins are wired on the board, EMIO pins routed through the logic.
typedef enum : U32 { MIO = 0, EMIO = 1 } GPIOPinType_e;
typedef enum : U32 { GPIO_OUT = 0, GPIO_IN = 1 } GPIODirectionType;

typedef enum : U32 {
    ZR_GPIO_SUCCESS = 0,
    ZR_GPIO_PIN_NUM_ERR = 1,
    ZR_GPIO_DIRECT_FILE_OPEN_ERR = 2,
    ZR_GPIO_DIRECT_FILE_WRITE_ERR = 3,
    ZR_GPIO_DIRECT_PARAM_ERR = 4,
    ZR_GPIO_DIRECT_ERR = 5,
    ZR_GPIO_VALUE_FILE_OPEN_ERR = 6,
    ZR_GPIO_VALUE_FILE_WRITE_ERR = 7,
    ZR_GPIO_VALUE_FILE_READ_ERR = 8,
    ZR_GPIO_CONTROL_CREAT_ERR = 9
} GPIOErrCode;

#define GPIO_SYSFS_DIR "/sys/class/gpio"
#define GPIO_PIN_MAX 128u
#define GPIO_MIO_LINUX_BASE 906u
#define GPIO_EMIO_LINUX_BASE 960u
// Result of the mapped-block routines for a pin outside its bank range.
#define PE_ERR_GPIO_PARAMS_ERR 2306u

// Linux GPIO files.
GPIOErrCode GPIO_CreateGPIOController(U32 u32GPIONum, GPIOPinType_e ePinType);
GPIOErrCode GPIO_SetGPIODirection(U32 u32GPIONum, GPIODirectionType eDirection, GPIOPinType_e ePinType);
GPIOErrCode GPIO_SetGpio(U32 u32GPIONum, U32 u32GPIOValue, GPIOPinType_e ePinType);
GPIOErrCode GPIO_GetGpio(U32 u32GPIONum, U32* u32GPIOValue, GPIOPinType_e ePinType);
// Linux number of a pin; 0 for a pin above 128.
U32 GPIO_GetLinuxGPIONum(U32 pin, GPIOPinType_e ePinType);

// Memory-mapped GPIO block (0 or PE_ERR_GPIO_PARAMS_ERR).
U32 GPIO_Offset_By_PinN(U32* mask, U32 pin, GPIOPinType_e ePinType);
U32 GPIO_Read_By_PinN(U32 u32pinN, U32* pu32value, GPIOPinType_e ePinType);
U32 GPIO_Write_By_PinN(U32 u32pinN, U32 u32value, GPIOPinType_e ePinType);
