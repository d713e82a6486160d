// Board pins: hardware version and the RF power range it implies.
#pragma once
#include "Common/types.h"

// 3-bit hardware version from MIO pins 24 (bit 0), 25 (bit 1) and 26 (bit 2).
U32 PIN_GetHWVersion(void);
// RF power-level type of a hardware version: 0 for 0, 2 and 4; 1 for 1;
// 2 for 3; 3 for any other.
U8 PIN_GetPowerLevelType(U32 u32HwVer);
