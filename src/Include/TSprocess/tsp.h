// Output-stream database and the apply step.
#pragma once
#include "Common/types.h"

U32 TSP_MuxProcess(void);
void TSP_SendSubFPGAMuxLUTInfo(void);
void TSP_SendSubFPGABypassLUTInfo(void);
