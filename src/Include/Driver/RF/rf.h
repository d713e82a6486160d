// RF chain: AD9789, ADF4351, RFDA0016 and AD5321.
#pragma once
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/modulate.h"
#include "Driver/SPI/spi.h"

// Start-up of the RF chain of each role (once, after the parameters are loaded).
peErrCode RF_Config_Master(void);
peErrCode RF_Config_Slave(void);
int adf4351_init(peSPIBUS_NUM eSPIBus_n);
int Modulate_QAM_ConfigAD9789_up(peSPIBUS_NUM eSPIBus_n);

// Register access to the RF chips of this chip. Every access goes to SPI bus 1.
void Modulate_SetAD9789Reg(U32 u32Address, U32 u32Value);
unsigned Modulate_GetAD9789Reg(U32 u32Address);
// Write, read back and log the read-back value.
int Modulate_SetGetAD9789Reg(U32 u32Address, U32 u32Value);
void Modulate_SetADF4351Reg(U32 u32Address, U32 u32Value);
unsigned Modulate_GetADF4351Reg(U32 u32Address);
void Modulate_SetRFDA0016Reg(U32 u32Address, U32 u32Value);
unsigned Modulate_GetRFDA0016Reg(U32 u32Address);
void Modulate_SetAD5321GainValue(U32 u32Value);
unsigned Modulate_GetAD5321GainValue(void);

// What the master last told the slave chip (chip-link commands 856 and 864).
extern U32 g_HWVersionSlaveCmp;
extern U8 g_SIModSlaveCmp;
U32 Slave_GetHWVersion(void);
U8 Slave_GetSIMod(void);

// Power-up text of the AD9789, shown by the maintenance pages.
extern char info_value[150];

// Maintenance access to the RF chips: u32M_or_S 0 this chip, otherwise the
// slave chip over the chip link (bounded wait for its answer).
peErrCode RF_ReadAD9789Debug(U32 u32M_or_S, U32 u32Add, U8* pVal);
peErrCode RF_WriteAD9789Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val);
peErrCode RF_ReadRFDA0016Debug(U32 u32M_or_S, U32 u32Add, U8* pVal);
peErrCode RF_WriteRFDA0016Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val);
peErrCode RF_ReadADF4351Debug(U32 u32M_or_S, U32 u32Add, U8* pVal);
peErrCode RF_WriteADF4351Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val);

// The AD9789 interpolation filter of DVB-T for a bandwidth selection (0 6 MHz,
// 1 7 MHz, 2 8 MHz; any other writes no filter), then its fixed settings.
void Modulate_AD9789_DVBTFilter(U32 u32BandwidthSel);
