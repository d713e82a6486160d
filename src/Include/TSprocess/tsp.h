// Output-stream database and the apply step.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

U32 TSP_MuxProcess(void);
void TSP_SendSubFPGAMuxLUTInfo(void);
void TSP_SendSubFPGABypassLUTInfo(void);
