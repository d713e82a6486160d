// Modulation parameter sets and their application.
#pragma once
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"

peErrCode SetDTMB_CurPara_ReConfig(void);
// Makes the set live, saves it and programs the hardware (master chip).
// ZR_ERR_NOT_SAVED: the set is in force but its file was not written.
zrErrCode SetDTMB_CurPara(TParameter_DTMB* ptrDTMBPara);
// SetDTMB_CurPara in two steps: the set made live and saved (the caller
// holds the card-state lock; nonzero when it could not be saved), then, with
// the lock released, the newest stored set sent to the slave chip and the
// live set programmed into the master chip.
zrErrCode DTMB_StoreCurPara(const TParameter_DTMB* ptrDTMBPara);
void DTMB_SendCurPara(void);
// DTMB_SendCurPara for a request that answers whether the slave chip took the
// set: with the card-state lock not held, it waits at most waitMs for the slave
// chip to take what was queued for it up to the set (0), or says why it did not
// (Comm/slavelink.h). The master chip runs the set either way.
zrErrCode DTMB_SendCurParaAwait(int waitMs);
// The live set queued for the slave chip again (a re-sync).
void DTMB_ResendCurPara(void);
// The same on the slave chip, for a set received from the master.
zrErrCode SetDTMB_CurPara_Slave(TParameter_DTMB* ptrDTMBPara);

// Smaller changes of one aspect (ZR_ERR_NOT_SAVED as above).
zrErrCode QAM_SetSingleMode(U8 u8SingleMode);
zrErrCode SetQAM_IPMonitor(QAM_IPMonitorPara* IPMonitorPtr);
void FPGA_DVBC_CPU_SYNC(void);
peErrCode AnnexB_SetMuxBitrate(eANNEXB_QAM_Mod_Para enQamMode);
void ISDBT_SetPnseed0(U8 eISDBTFFTSize);

// The FPGA's transport-stream rate word of a payload rate in kbit/s, without
// its 0xD0000000 prefix. dOffset is 0.1 on the master and 0.4 on the slave.
U32 DTMB_GetTSRateWord(U32 u32RateKbps, double dOffset);
// Payload rate (kbit/s) of channel n of a set in the card's modulation mode.
U32 DTMB_GetChannelPayloadRate(const TParameter_DTMB* pstSet, U32 u32Channel);
// Whether a channel's payload rate gives it a TS-rate word on its chip.
bool DTMB_ChannelHasTSRate(const TParameter_DTMB* pstSet, U32 u32Channel);
// Copy of the last set handed to the chip link for the slave (command 807).
void DTMB_GetSlaveSendBuffer(TParameter_DTMB* pstOut);

// J.83 Annex B modulator cores, one per output port 0..3 of the chip.
void Modulate_WriteIpCoreReg(U8 u8Port, U32 u32data, U8 u8address);
U32 Modulate_ReadIpCoreReg(U8 u8Port, U8 u8address);
void Modulate_QAM_SetPcrInitReg(U8 u8Port);
void Modulate_QAM_ResetLostFrame(U8 u8Port);
void Modulate_QAM_SetInterLeaver(U8 u8Port, U8 ucInterLeaver);
void Modulate_QAM_SetMode(U8 u8Port, U8 ucQamMode0);
