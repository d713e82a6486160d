// RF programming of one chip's four channels: channel enables, tuning words
// and band centre of the AD9789, its rate converter, the per-channel gains
// and the output level (AD9789 full scale, RFDA0016 or AD5321).
#pragma once
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include "Driver/SPI/spi.h"

struct ST_ZR_PARAMS;

typedef U32 DWORD;

// Process-wide state of the RF programming (one chip per process).
extern U32 s_dwDACFrequency;     // AD9789 DAC clock, kHz
extern U32 s_ucBandWith;         // channel spacing, kHz
extern U32 s_dwFS;               // rate handed to the rate converter: kBd, or Hz in DVB-T
extern U8 s_ucValueI;            // interpolation factor of the Q word
extern unsigned long s_ulCenterFrequency;  // last band centre, MHz
extern U8 s_ucCh0FTW[3], s_ucCh1FTW[3], s_ucCh2FTW[3], s_ucCh3FTW[3];
extern U8 s_ucFC[2], s_ucFC2[2];
extern U8 s_ucValueQ[3], s_ucValueP[3];

// Calibrated AD9789 channel gains: [modulation mode][frequency band][chip].
extern const U32 u32ArrayV3GainRegVal[7][9][2];
extern const U32 u32ArrayV4GainRegVal[7][9][2];
extern const U32 u32ArrayV5GainRegVal[7][9][2];

// Whole-chip programming from the live parameter record.
int Modulate_QAM_SetAllPatams(peSPIBUS_NUM eSPIBus_n);
int Modulate_QAM_SetAllPatams_Slave(peSPIBUS_NUM eSPIBus_n);
// The frequency (kHz) channel u32Channel is programmed with from the set:
// its own on the ATSC layout, else its chip's first channel's plus the
// channel spacing for each channel after it; 0 for no such channel.
U32 Modulate_ProgrammedFreq(const TParameter_DTMB& set, U32 u32Channel);
// Whether the four channels of a chip (first channel 0 or 4) get tuning words
// and a band centre: none of their frequencies above 1000000 kHz.
bool Modulate_FrequenciesFit(const TParameter_DTMB& set, U32 u32FirstChannel);
// Whether an output level reaches the level hardware of this board as it is
// (each word within its chip's width) on the master or the slave chip.
bool Modulate_LevelFits(bool bSlave, U32 u32Level);
// The level the hardware runs for a stored level: the level itself when it
// fits, else what the level hardware made of it (the 6-bit attenuator keeps
// the low six bits); false when it has no such reading.
bool Modulate_LevelRuns(bool bSlave, U32 u32Level, U32* pu32Runs);

// Gain band of a frequency in kHz (0..8; 450 MHz alone is band 4).
U32 Modulate_GetFreqBand(U32 u32FreqKHz);
void Modulate_GetAD9789GainRegVal(unsigned u32HWVer, unsigned u32ModMode, ST_ZR_PARAMS* pstParams,
                                  unsigned* parrGainRegVal);

int Modulate_QAM_SetFrequency(int nChannelIndex, DWORD dwFrequencyKHz, unsigned char ucModRFLeveldBu,
                              peSPIBUS_NUM eSPIBus_n);
int Modulate_QAM_SetFrequency_ATSC(int nChannelIndex, DWORD* dwFrequencyKHz, DWORD dwEnableChannel,
                                   peSPIBUS_NUM eSPIBus_n);
int Modulate_SetFrequency(DWORD dwFrequencyKHZ, DWORD* dwFTW);
int Modulate_SetCenterFrequency(DWORD dwFrequencyKHZ, DWORD* dwFC);

int Modulate_QAM_SetSymbolRate(unsigned fs, peSPIBUS_NUM eSPIBus_n);
int Modulate_SetSymbolRateGroup0(float fSymbolRateHz, peSPIBUS_NUM eSPIBus_n);
int Modulate_GetValueQ(float fSymbolRateHz, DWORD* dwValueQ);
int Modulate_GetValueP(float fSymbolRateHz, DWORD* dwValueP);

int Modulate_QAM_SetChannelEnable(unsigned mask, peSPIBUS_NUM eSPIBus_n);
int Modulate_QAM_DisableOutputChannel(peSPIBUS_NUM eSPIBus_n);

// Enable mask of a chip's four channels from their enable values (bit 0 of
// each counts).
U8 Modulate_GetEnableMask(const U32* pu32Enable);
