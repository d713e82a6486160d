// SI carousel and PSI/SI generation.
#pragma once
#include "Common/types.h"

void SIP_Init(void);

// Empties the whole SI carousel (every output stream's stored packets).
void SSD_InitBroadcastSI(void);
