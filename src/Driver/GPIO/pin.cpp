// Board pins: the hardware version and the RF power range it implies.
#include "Driver/GPIO/pin.h"
#include "Driver/GPIO/gpio.h"

U32 PIN_GetHWVersion(void)
{
    static const U32 kVersionPins[3] = {24, 25, 26};  // bits 0, 1, 2
    U32 version = 0;
    for (U32 bit = 0; bit < 3; bit++) {
        U32 v = 0;
        if (GPIO_GetGpio(kVersionPins[bit], &v, MIO) == ZR_GPIO_SUCCESS && v == 1)
            version |= 1u << bit;
    }
    return version;
}

U8 PIN_GetPowerLevelType(U32 u32HwVer)
{
    switch (u32HwVer) {
    case 0:
    case 2:
    case 4: return 0;
    case 1: return 1;
    case 3: return 2;
    default: return 3;
    }
}
