// Operations of other modules that the apply step calls; empty until those
// modules are on the card.
#include "Common/err.h"

#define PENDING __attribute__((weak))

// Frame link to the back board.
#include "Comm/ipcomm.h"
PENDING S32 IPComm_SendData(U32, U32, U8*, U32) { return 0; }
PENDING S32 IPComm_SendData2Slot(U32, U32, U8*, U32) { return 0; }
PENDING zrErrCode IPComm_SendClearCmd2Slot(U8) { return ZR_SUCCESS; }
