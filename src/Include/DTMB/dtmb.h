// Modulation parameter sets and their application.
#pragma once
#include "Driver/FPGA/fpga.h"

peErrCode SetDTMB_CurPara_ReConfig(void);
