// RF chain: AD9789, ADF4351, RFDA0016 and AD5321.
#pragma once
#include "Driver/FPGA/fpga.h"

peErrCode RF_Config_Master(void);
peErrCode RF_Config_Slave(void);
// The master's hardware version as last received over the chip link (slave).
U32 Slave_GetHWVersion(void);
// SI mode of the slave chip (the master's setting in J.83 Annex B mode).
U8 Slave_GetSIMod(void);
