// Output-stream database and the apply step.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

U32 TSP_MuxProcess(void);
void TSP_SendSubFPGAMuxLUTInfo(void);
void TSP_SendSubFPGABypassLUTInfo(void);
// Removes what one input slot contributed to the output streams.
U32 ClearOneSlotInfoFromInput(U8 u8Slot);
// Re-points every reference from one input slot to another.
U32 TSP_ChangeSrcSlotID(U8 u8OldSlot, U8 u8NewSlot);
