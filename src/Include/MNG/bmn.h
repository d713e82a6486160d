// Reboot coordination and the card's output channel count.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

U8 BMN_GetOutputChannelNum(void);
S32 BMN_Master_DeteSysRebootTask(void);
S32 BMN_Slave_DeteSysRebootTask(void);
zrErrCode IPComm_RebootSubboard(void);
// The operator's reboot of the card: 0, or the reboot's error.
zrErrCode BMN_SubBoardReboot(void);
