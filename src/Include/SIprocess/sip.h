// SI carousel and PSI/SI generation.
#pragma once
#include "Common/types.h"

void SIP_Init(void);
