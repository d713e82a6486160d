// The persisted parameter record, its file and the store start-up.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

// The card's modulation mode (0 DTMB, 1 DVB-T, 3 DVB-C, 4 J.83 Annex B,
// 5 ISDB-T, 6 ATSC 8VSB), set once by main from the board type.
extern U32 g_u32ModulationMode;
U32 PARAMS_GetModulationMod(void);

// Whole-file operations. Every write replaces the file crash-safely.
zrErrCode PARAMS_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAMS_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAM_WriteFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);
zrErrCode PARAM_ReadFile(const char* pcFileName, U8* pu8Buf, U32 u32Len);

// Store start-up of each role.
zrErrCode Master_PARAMS_Init(void);
zrErrCode Slave_PARAMS_Init(void);
