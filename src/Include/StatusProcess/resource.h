// Slot resource table: one resource record per slot and the back board.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

struct TResource_TS;

U32 Resource_Init(void);
TResource_TS* Resource_GetHandle(U8 u8Slot);
TResource_TS* Resource_getSelfHandle(void);

// SI mode: 0 DVB tables, 1 ATSC PSIP.
U8 Resource_GetSIMode(void);
