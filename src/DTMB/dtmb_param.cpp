// The modulation parameter sets, their factory values and the payload
// bit-rate formulas of every standard.
#include "DTMB/dtmb_param.h"
#include "Driver/GPIO/pin.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include <cmath>
#include <cstring>

static TParameter_DTMB s_DTMBPara;
static TParameter_DTMB s_DTMBParaTmp;
static QAM_IPMonitorPara s_QAMIPMonitor;

TParameter_DTMB* GetDTMBPara_Handle(void) { return &s_DTMBPara; }
TParameter_DTMB* GetDTMBParaTmp_Handle(void) { return &s_DTMBParaTmp; }
QAM_IPMonitorPara* GetQAMIPMonitor_Handle(void) { return &s_QAMIPMonitor; }

namespace {

// Channel plans of the factory values (kHz).
const U32 kFreq8MHz[8] = {474000, 482000, 490000, 498000, 578000, 586000, 594000, 602000};
const U32 kFreq6MHz[8] = {474000, 480000, 486000, 492000, 578000, 584000, 590000, 596000};
const U32 kFreqATSC[8] = {57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000};

// What the modulation mode (and, on the master, the SI mode) decides.
struct ModeDefaults {
    const U32* freq;
    U32 symbolRate;
    eDVBT_Bandwidth_Sel bandwidth;
    U32 atscChannelMode;
};

// Output level: the hardware of power-level type 0 sets DVB-T, DVB-C,
// ISDB-T and 8VSB through its 6-bit attenuator. DVB-C and 8VSB start at 38,
// the word their level 102 of old put on the attenuator (it keeps 6 bits),
// so that what the card shows is what it runs.
U8 DefaultOutputPow(U32 mode, U8 powerLevelType)
{
    if (powerLevelType == 0) {
        if (mode == 1 || mode == 5)
            return 63;
        if (mode == 3 || mode == 6)
            return 38;
    }
    return 40;
}

void FillCommonDefaults(TParameter_DTMB* p)
{
    memset(p, 0, sizeof(*p));
    for (int ch = 0; ch < DTMB_CHANNEL_NUM; ch++) {
        p->ConsteMod[ch] = _64_QAM_LDPC_0_8;
        p->CarrMod[ch] = SingleCarr_Mod;
        p->IntLeav[ch] = _240_INTLEAV;
        p->FramHeadMod[ch] = _420_VARIABLE;
        p->AD9789_Gain[ch] = 128;
        p->AD9789_SumScal[ch] = 13;
        p->AD9789_SatCnt[ch] = 0;
        p->QAMMod[ch] = _64QAM;
        p->DVBT_FFTSize[ch] = _FFT_4K;
        p->DVBT_GadIntSize[ch] = _GadInt_1_32;
        p->DVBT_QAMMod[ch] = _64_QAM;
        p->DVBT_CodeMod[ch] = _CODE_7_8;
        p->AnnexBQAMMode[ch] = ANNEXB_QAM256;
        p->AnnexBIntLeav[ch] = PE_QAM_INTERLEAVER_0;
        p->u32Enable[ch] = 0;
        p->u8FFTMode[ch] = 1;
        p->u8GImode[ch] = 0;
        p->u8ISDBTQAMMode[ch] = 3;
        p->u8ConvolutionalCodeRate[ch] = 4;
        p->u8SegmentMode[ch] = 13;
        p->u8RFLevelUnit[ch] = 0;
        p->u8InsertPSIEnable[ch] = 1;
    }
    p->u8SingleMode = 0;
}

void FillModeDefaults(TParameter_DTMB* p, U32 mode, const ModeDefaults& md, U8 powerLevelType)
{
    U8 pow = DefaultOutputPow(mode, powerLevelType);
    for (int ch = 0; ch < DTMB_CHANNEL_NUM; ch++) {
        p->OutputFreq[ch] = md.freq[ch];
        p->SymbolRate[ch] = md.symbolRate;
        p->Bandwidth_Sel[ch] = md.bandwidth;
        p->OutputPow[ch] = pow;
    }
    p->u32ATSCChannelMode = md.atscChannelMode;
}

// The live set gets the common factory values, then those the mode decides.
void FillFactoryDefaults(U32 mode, const ModeDefaults& md, U8 powerLevelType)
{
    FillCommonDefaults(&s_DTMBPara);
    FillModeDefaults(&s_DTMBPara, mode, md, powerLevelType);
}

// A missing result pointer is logged under the caller's name.
bool NoRateOut(const char* func, const U32* pu32TotalRate)
{
    if (pu32TotalRate != nullptr)
        return false;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d Input error\r\n\n", (long)syscall(SYS_gettid), func,
               __LINE__);
    return true;
}

}  // namespace

void Master_DTMB_Init_Parmeter(void)
{
    U32 mode = PARAMS_GetModulationMod();
    U8 powerLevelType = PIN_GetPowerLevelType(PIN_GetHWVersion());
    ModeDefaults md;
    switch (mode) {
    case 4:
        // J.83 Annex B: the chassis-wide SI mode picks the cable channel plan.
        if (Resource_GetSIMode() == 1)
            md = {kFreqATSC, 5361, _6M_BW, 1};
        else
            md = {kFreq6MHz, 5361, _6M_BW, 1};
        break;
    case 5: md = {kFreq6MHz, 5361, _6M_BW, 0}; break;
    case 6: md = {kFreqATSC, 6875, _8M_BW, 0}; break;
    default: md = {kFreq8MHz, 6875, _8M_BW, 0}; break;
    }
    FillFactoryDefaults(mode, md, powerLevelType);
}

void Slave_DTMB_Init_Parmeter(void)
{
    U32 mode = PARAMS_GetModulationMod();
    // The slave has no hardware-version pins of its own to trust: it uses the
    // master's version as last received over the chip link.
    U8 powerLevelType = PIN_GetPowerLevelType(Slave_GetHWVersion());
    ModeDefaults md;
    switch (mode) {
    case 4: md = {kFreq6MHz, 5361, _6M_BW, 1}; break;
    case 5: md = {kFreq6MHz, 5361, _6M_BW, 0}; break;
    case 6: md = {kFreq8MHz, 6875, _8M_BW, 1}; break;
    default: md = {kFreq8MHz, 6875, _8M_BW, 0}; break;
    }
    FillFactoryDefaults(mode, md, powerLevelType);
}

void Init_IPMonitor_Parmeter(void)
{
    s_QAMIPMonitor.u8Enable = 0;
    s_QAMIPMonitor.u8Channel = 0;
    s_QAMIPMonitor.u16DestPort = 1234;
    s_QAMIPMonitor.u32DestIPAddr = 0xE30A145A;  // 227.10.20.90
    s_QAMIPMonitor.u16IP1MaxRate = 40;
    s_QAMIPMonitor.u16PSIInterval = 100;
    s_QAMIPMonitor.u8TimeGap = 72;
    s_QAMIPMonitor.u8RebootHour = 5;
}

zrErrCode DTMB_GetConsteModRate(eDTMB_Conste_Mod_Para eConsteMod, eDTMB_FramHead_Mod_Para eFramHeadMod,
                                U32* pu32TotalRate)
{
    // kbit/s by constellation and frame-header group (420, 595, 945 symbols).
    static const U32 kRate[11][3] = {
        {5414, 5197, 4812},     {5414, 5197, 4812},     {8121, 7796, 7219},     {10828, 10395, 9625},
        {10828, 10395, 9625},   {16243, 15593, 14438},  {21657, 20791, 19251},  {27072, 25989, 24064},
        {16243, 15593, 14438},  {24364, 23390, 21657},  {32486, 31186, 28876},
    };
    if (NoRateOut(__func__, pu32TotalRate))
        return ZR_ERR_PARAMS;
    if ((U32)eConsteMod > _64_QAM_LDPC_0_8) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d invalid ConsteMod %u\r\n\n", LOG_POS,
                   (unsigned)eConsteMod);
        *pu32TotalRate = 0;
        return ZR_SUCCESS;
    }
    int group;
    switch ((U32)eFramHeadMod) {
    case _420_FIXED:
    case _420_VARIABLE: group = 0; break;
    case _595_FIXED: group = 1; break;
    case _945_FIXED:
    case _945_VARIABLE: group = 2; break;
    default: *pu32TotalRate = 0; return ZR_SUCCESS;
    }
    *pu32TotalRate = kRate[eConsteMod][group];
    return ZR_SUCCESS;
}

void DTMB_CheckParaRange(TParameter_DTMB* pstPara, const char* pcFrom)
{
    if (pstPara == nullptr)
        return;
    for (int ch = 0; ch < DTMB_CHANNEL_NUM; ch++) {
        U32& rate = pstPara->SymbolRate[ch];
        if (rate <= DTMB_SYMBOLRATE_MAX)
            continue;
        const U32 fixed = DTMB_SYMBOLRATE_MAX;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d %s: channel %d SymbolRate %u out of range, %u used\n",
                   LOG_POS, pcFrom ? pcFrom : "", ch, rate, fixed);
        rate = fixed;
    }
}

zrErrCode DVBC_GetConsteModRate(U32 SymbolRate, eDVBC_QAM_Mod_Para eDVBCQAMMod, U32* pu32TotalRate)
{
    if (NoRateOut(__func__, pu32TotalRate))
        return ZR_ERR_PARAMS;
    // Bits per symbol (4 for 16-QAM up to 8 for 256-QAM) times 188/204.
    *pu32TotalRate = SymbolRate * ((U32)eDVBCQAMMod * 188u + 752u) / 204u;
    return ZR_SUCCESS;
}

zrErrCode DVBT_GetConsteModRate(eDVBT_Bandwidth_Sel Bandwidth, eDVBT_GuardInterval_Size_Para DVBT_GadIntSize,
                                eDVBT_QAM_Mod_Para DVBT_QAMMod, eDVBT_Code_Mod_Para DVBT_CodeMod, U32* pu32TotalRate)
{
    if (NoRateOut(__func__, pu32TotalRate))
        return ZR_ERR_PARAMS;
    double b = Bandwidth == _8M_BW ? 64 : Bandwidth == _7M_BW ? 56 : 48;
    double m = DVBT_QAMMod == _Q_PSK ? 2 : DVBT_QAMMod == _16_QAM ? 4 : 6;
    double gd, gn;
    switch (DVBT_GadIntSize) {
    case _GadInt_1_32: gd = 32; gn = 33; break;
    case _GadInt_1_16: gd = 16; gn = 17; break;
    case _GadInt_1_8: gd = 8; gn = 9; break;
    default: gd = 4; gn = 5; break;
    }
    double cn, cd;
    switch (DVBT_CodeMod) {
    case _CODE_1_2: cn = 1; cd = 2; break;
    case _CODE_2_3: cn = 2; cd = 3; break;
    case _CODE_3_4: cn = 3; cd = 4; break;
    case _CODE_5_6: cn = 5; cd = 6; break;
    default: cn = 7; cd = 8; break;
    }
    *pu32TotalRate = (U32)((cn * gd * b * m) * 0.680377 * 1000 / (gn * 7 * cd));
    return ZR_SUCCESS;
}

zrErrCode ISDBT_GetConsteModRate(U8 u8QAMMode, U8 u8CNV, U8 u8GImode, U32* pu32TotalRate)
{
    // 312 times the inner code rate 1/2, 2/3, 3/4, 5/6, 7/8.
    static const double kCodeRate312[5] = {156, 208, 234, 260, 273};
    if (NoRateOut(__func__, pu32TotalRate))
        return ZR_ERR_PARAMS;
    // Out-of-range settings are clamped to the highest defined value rather
    // than read from beyond the table.
    if (u8CNV > 4)
        u8CNV = 4;
    if (u8QAMMode > 3)
        u8QAMMode = 3;
    if (u8GImode > 3)
        u8GImode = 3;
    double m = u8QAMMode == 0 ? 1 : u8QAMMode;  // half the bits per carrier
    double guard = 1.0 + std::ldexp(1.0, -(u8GImode + 2));
    *pu32TotalRate = (U32)((kCodeRate312[u8CNV] * 1504 * m) * 1000.0 / (guard * 51408.0));
    return ZR_SUCCESS;
}
