// Start-up of modcard in the master or slave role.
#pragma once
#include "Common/err.h"
#include "Common/types.h"

extern U32 u32ChipType;

int modcard_main(int argc, char** argv);
void master_main(void);
void slave_main(void);
void compileInfo(void);
zrErrCode SNMP_Start(void);
// Body of the SNMP agent thread.
void* Snmpd_Server(void* arg);
// Called by the agent thread when it ends: the start-up thread takes the
// signals that the agent took until then.
void SNMP_AgentEnded(void);
