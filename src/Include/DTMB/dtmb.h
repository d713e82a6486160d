// Modulation parameter sets and their application.
#pragma once
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"

peErrCode SetDTMB_CurPara_ReConfig(void);
// Makes the set live, saves it and programs the hardware (master chip).
zrErrCode SetDTMB_CurPara(TParameter_DTMB* ptrDTMBPara);
