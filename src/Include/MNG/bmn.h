// Reboot coordination and the card's output channel count.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

U8 BMN_GetOutputChannelNum(void);
S32 BMN_Master_DeteSysRebootTask(void);
S32 BMN_Slave_DeteSysRebootTask(void);
zrErrCode IPComm_RebootSubboard(void);
zrErrCode BMN_SubBoardReboot(void);
void IPComm_RecycleBeforeReboot(void);
// Test-only: the requester's wait for the reboot thread (3 s by default).
void BMN_SetRebootWaitMs(int ms);
