// The modulation parameter set of the eight output channels, the IP-monitor
// settings, their factory values and the payload bit-rate formulas.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

// Every enumeration is stored as a 32-bit unsigned value in the record.
typedef enum : U32 {
    _4_QAM_NR_LDPC_0_8 = 0,
    _4_QAM_LDPC_0_4 = 1,
    _4_QAM_LDPC_0_6 = 2,
    _4_QAM_LDPC_0_8 = 3,
    _16_QAM_LDPC_0_4 = 4,
    _16_QAM_LDPC_0_6 = 5,
    _16_QAM_LDPC_0_8 = 6,
    _32_QAM_LDPC_0_8 = 7,
    _64_QAM_LDPC_0_4 = 8,
    _64_QAM_LDPC_0_6 = 9,
    _64_QAM_LDPC_0_8 = 10
} eDTMB_Conste_Mod_Para;

typedef enum : U32 { SingleCarr_Mod = 0, MultiCarr_Mod = 1 } eDTMB_Carr_Mod_Para;

typedef enum : U32 { _240_INTLEAV = 240, _720_INTLEAV = 720 } eDTMB_Interleave_Para;

typedef enum : U32 {
    _420_FIXED = 0,
    _420_VARIABLE = 1,
    _595_FIXED = 2,
    _945_FIXED = 3,
    _945_VARIABLE = 4
} eDTMB_FramHead_Mod_Para;

typedef enum : U32 { _16QAM = 0, _32QAM = 1, _64QAM = 2, _128QAM = 3, _256QAM = 4 } eDVBC_QAM_Mod_Para;

typedef enum : U32 { _6M_BW = 0, _7M_BW = 1, _8M_BW = 2 } eDVBT_Bandwidth_Sel;

typedef enum : U32 { _FFT_2K = 0, _FFT_4K = 1, _FFT_8K = 2 } eDVBT_FFT_Size_Para;

typedef enum : U32 { _GadInt_1_32 = 0, _GadInt_1_16 = 1, _GadInt_1_8 = 2, _GadInt_1_4 = 3 } eDVBT_GuardInterval_Size_Para;

typedef enum : U32 { _Q_PSK = 0, _16_QAM = 1, _64_QAM = 2 } eDVBT_QAM_Mod_Para;

typedef enum : U32 { _CODE_1_2 = 0, _CODE_2_3 = 1, _CODE_3_4 = 2, _CODE_5_6 = 3, _CODE_7_8 = 4 } eDVBT_Code_Mod_Para;

typedef enum : U32 { ANNEXB_QAM64 = 0, ANNEXB_QAM256 = 1, ANNEXB_QAM_INVALID = 2 } eANNEXB_QAM_Mod_Para;

typedef enum : U32 {
    PE_QAM_INTERLEAVER_0 = 0,
    PE_QAM_INTERLEAVER_2 = 2,
    PE_QAM_INTERLEAVER_3 = 3,
    PE_QAM_INTERLEAVER_4 = 4,
    PE_QAM_INTERLEAVER_5 = 5,
    PE_QAM_INTERLEAVER_6 = 6,
    PE_QAM_INTERLEAVER_7 = 7,
    PE_QAM_INTERLEAVER_8 = 8,
    PE_QAM_INTERLEAVER_9 = 9,
    PE_QAM_INTERLEAVER_A = 10,
    PE_QAM_INTERLEAVER_C = 12,
    PE_QAM_INTERLEAVER_E = 14
} PE_QAM_INTERLEAVER;

#define DTMB_CHANNEL_NUM 8

// The modulation settings of all eight channels for every standard. The same
// 764-byte image is the modulation block of the parameter file and the
// payload of chip-link command 807, so every offset is fixed.
typedef struct {
    eDTMB_Conste_Mod_Para ConsteMod[8];
    eDTMB_Carr_Mod_Para CarrMod[8];
    eDTMB_Interleave_Para IntLeav[8];
    eDTMB_FramHead_Mod_Para FramHeadMod[8];
    U32 OutputFreq[8];  // kHz
    U8 OutputPow[8];
    U8 AD9789_Gain[8];
    U8 AD9789_SumScal[8];
    U32 AD9789_SatCnt[8];
    U32 SymbolRate[8];  // kBd
    eDVBC_QAM_Mod_Para QAMMod[8];
    eDVBT_Bandwidth_Sel Bandwidth_Sel[8];
    eDVBT_FFT_Size_Para DVBT_FFTSize[8];
    eDVBT_GuardInterval_Size_Para DVBT_GadIntSize[8];
    eDVBT_QAM_Mod_Para DVBT_QAMMod[8];
    eDVBT_Code_Mod_Para DVBT_CodeMod[8];
    eANNEXB_QAM_Mod_Para AnnexBQAMMode[8];
    PE_QAM_INTERLEAVER AnnexBIntLeav[8];
    U32 u32Enable[8];
    U32 u32ATSCChannelMode;
    U8 u8FFTMode[8];
    U8 u8GImode[8];
    U8 u8ISDBTQAMMode[8];
    U8 u8ConvolutionalCodeRate[8];
    U8 u8SingleMode;
    U8 u8SegmentMode[8];
    U8 u8RFLevelUnit[8];
    U8 u8InsertPSIEnable[8];
    U8 u8Res[2];
    U8 u8Pad;  // keeps u32Res on its 4-byte boundary; always 0
    U32 u32Res[41];
} TParameter_DTMB;
static_assert(sizeof(TParameter_DTMB) == 764, "modulation set is 764 bytes in the file and on the chip link");
static_assert(offsetof(TParameter_DTMB, CarrMod) == 32);
static_assert(offsetof(TParameter_DTMB, IntLeav) == 64);
static_assert(offsetof(TParameter_DTMB, FramHeadMod) == 96);
static_assert(offsetof(TParameter_DTMB, OutputFreq) == 128);
static_assert(offsetof(TParameter_DTMB, OutputPow) == 160);
static_assert(offsetof(TParameter_DTMB, AD9789_Gain) == 168);
static_assert(offsetof(TParameter_DTMB, AD9789_SumScal) == 176);
static_assert(offsetof(TParameter_DTMB, AD9789_SatCnt) == 184);
static_assert(offsetof(TParameter_DTMB, SymbolRate) == 216);
static_assert(offsetof(TParameter_DTMB, QAMMod) == 248);
static_assert(offsetof(TParameter_DTMB, Bandwidth_Sel) == 280);
static_assert(offsetof(TParameter_DTMB, DVBT_FFTSize) == 312);
static_assert(offsetof(TParameter_DTMB, DVBT_GadIntSize) == 344);
static_assert(offsetof(TParameter_DTMB, DVBT_QAMMod) == 376);
static_assert(offsetof(TParameter_DTMB, DVBT_CodeMod) == 408);
static_assert(offsetof(TParameter_DTMB, AnnexBQAMMode) == 440);
static_assert(offsetof(TParameter_DTMB, AnnexBIntLeav) == 472);
static_assert(offsetof(TParameter_DTMB, u32Enable) == 504);
static_assert(offsetof(TParameter_DTMB, u32ATSCChannelMode) == 536);
static_assert(offsetof(TParameter_DTMB, u8FFTMode) == 540);
static_assert(offsetof(TParameter_DTMB, u8GImode) == 548);
static_assert(offsetof(TParameter_DTMB, u8ISDBTQAMMode) == 556);
static_assert(offsetof(TParameter_DTMB, u8ConvolutionalCodeRate) == 564);
static_assert(offsetof(TParameter_DTMB, u8SingleMode) == 572);
static_assert(offsetof(TParameter_DTMB, u8SegmentMode) == 573);
static_assert(offsetof(TParameter_DTMB, u8RFLevelUnit) == 581);
static_assert(offsetof(TParameter_DTMB, u8InsertPSIEnable) == 589);
static_assert(offsetof(TParameter_DTMB, u8Res) == 597);
static_assert(offsetof(TParameter_DTMB, u32Res) == 600);

// IP-monitor output and maintenance settings (64 bytes, inside the
// parameter file).
typedef struct {
    U8 u8Enable;
    U8 u8Channel;
    U16 u16DestPort;
    U32 u32DestIPAddr;  // first octet in the most significant byte
    U16 u16IP1MaxRate;
    U16 u16PSIInterval;
    U8 u8TimeGap;     // hours between scheduled reboots
    U8 u8RebootHour;  // hour of the day of the scheduled reboot
    U8 u8Res[48];
    U8 u8Pad[2];  // tail of the 64-byte block; always 0
} QAM_IPMonitorPara;
static_assert(sizeof(QAM_IPMonitorPara) == 64, "IP-monitor block is 64 bytes in the file");
static_assert(offsetof(QAM_IPMonitorPara, u32DestIPAddr) == 4);
static_assert(offsetof(QAM_IPMonitorPara, u16IP1MaxRate) == 8);
static_assert(offsetof(QAM_IPMonitorPara, u16PSIInterval) == 10);
static_assert(offsetof(QAM_IPMonitorPara, u8TimeGap) == 12);
static_assert(offsetof(QAM_IPMonitorPara, u8RebootHour) == 13);
static_assert(offsetof(QAM_IPMonitorPara, u8Res) == 14);

// Fixed payload rates (kbit/s) of the standards without a formula.
#define ANNEXB_QAM64_BITRATE 26970u
#define ANNEXB_QAM256_BITRATE 38810u
#define ATSC_8VSB_BITRATE 19383u

// The live set, the scratch set and the IP-monitor settings; never null.
TParameter_DTMB* GetDTMBPara_Handle(void);
TParameter_DTMB* GetDTMBParaTmp_Handle(void);
QAM_IPMonitorPara* GetQAMIPMonitor_Handle(void);

// Factory values of the live sets (nothing is applied to the hardware).
void Master_DTMB_Init_Parmeter(void);
void Slave_DTMB_Init_Parmeter(void);
void Init_IPMonitor_Parmeter(void);

// Payload rates in kbit/s; 4 (ZR_ERR_PARAMS) with a null out-parameter.
zrErrCode DTMB_GetConsteModRate(eDTMB_Conste_Mod_Para eConsteMod, eDTMB_FramHead_Mod_Para eFramHeadMod,
                                U32* pu32TotalRate);
// Highest symbol rate (kBd) whose rate in Bd is still a 32-bit int, as the
// rate converter's programming takes it. A set loaded from the parameter file
// or received from the master is brought below it before use.
#define DTMB_SYMBOLRATE_MAX 2147483u
void DTMB_CheckParaRange(TParameter_DTMB* pstPara, const char* pcFrom);
zrErrCode DVBC_GetConsteModRate(U32 SymbolRate, eDVBC_QAM_Mod_Para eDVBCQAMMod, U32* pu32TotalRate);
zrErrCode DVBT_GetConsteModRate(eDVBT_Bandwidth_Sel Bandwidth, eDVBT_GuardInterval_Size_Para DVBT_GadIntSize,
                                eDVBT_QAM_Mod_Para DVBT_QAMMod, eDVBT_Code_Mod_Para DVBT_CodeMod, U32* pu32TotalRate);
zrErrCode ISDBT_GetConsteModRate(U8 u8QAMMode, U8 u8CNV, U8 u8GImode, U32* pu32TotalRate);
