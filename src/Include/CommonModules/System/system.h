// Chassis information reported by the back board.
#pragma once
#include "Common/types.h"

U32 ZRSYS_GetVrnType(void);
