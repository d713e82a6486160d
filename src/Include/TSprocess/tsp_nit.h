// User NIT: the stored NIT sections of each output stream, edited, imported
// and exported through the web back end.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

// Replaces the channel's NIT (working copy) with the given section(s).
U32 TSP_AddNIT(int nChannel, U32 u32BufLen, U8* pu8Buf);
// True when any NIT record of the stream was edited by the operator.
BOOL TSP_IsNITTableChangedByUser(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS);
