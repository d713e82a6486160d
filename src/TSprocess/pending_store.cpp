// Operations of other modules that the apply step calls; empty until those
// modules are on the card.
#include "Common/err.h"

#define PENDING __attribute__((weak))

// Output-stream configuration file.
PENDING zrErrCode PARAMS_TSPParametersSave(void) { return ZR_SUCCESS; }

// Frame link to the back board.
#include "Comm/ipcomm.h"
PENDING S32 IPComm_SendData(U32, U32, U8*, U32) { return 0; }
