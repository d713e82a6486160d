// Reboot coordination and the card's output channel count.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

U8 BMN_GetOutputChannelNum(void);
S32 BMN_Master_DeteSysRebootTask(void);
S32 BMN_Slave_DeteSysRebootTask(void);
// Reboots the card: the slave chip told first (confirmed within the
// request's wait), then the master chip reboots at once. 0, or 782 when the
// slave chip did not take it: then neither chip reboots.
zrErrCode IPComm_RebootSubboard(void);
// The operator's reboot (web, SNMP): the slave chip told first (confirmed,
// bounded); once it took it, 0 and the master chip reboots on a thread of its
// own after a pause for the requester's answer, the file systems prepared and
// the back board told. 782 when the slave chip did not take it: nothing is
// prepared and neither chip reboots.
zrErrCode BMN_SubBoardReboot(void);
// The back board's reboot request: IPComm_RebootSubboard after pauseMs, on a
// thread of its own.
void BMN_RebootAfter(int pauseMs);
void IPComm_RecycleBeforeReboot(void);
// Test-only: the requester's wait for the reboot thread (3 s by default).
void BMN_SetRebootWaitMs(int ms);
