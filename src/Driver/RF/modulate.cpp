// RF programming of one chip's four channels.
#include "Driver/RF/modulate.h"
#include "Common/thread.h"
#include "DTMB/dtmb_param.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/GPIO/pin.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "StatusProcess/resource.h"
#include <cmath>
#include <cstdint>
#include <cstring>

U32 s_dwDACFrequency = 1935360;
U32 s_ucBandWith = 8000;
U32 s_dwFS = 7560;
U8 s_ucValueI = 32;
unsigned long s_ulCenterFrequency = 0;
U8 s_ucCh0FTW[3], s_ucCh1FTW[3], s_ucCh2FTW[3], s_ucCh3FTW[3];
U8 s_ucFC[2], s_ucFC2[2];
U8 s_ucValueQ[3], s_ucValueP[3];

// Gains by [mode][band][chip]. Calibration data of the hardware.
const U32 u32ArrayV3GainRegVal[7][9][2] = {
    {{25, 23}, {26, 26}, {28, 30}, {31, 32}, {32, 32}, {33, 32}, {47, 40}, {49, 39}, {63, 53}},
    {{95, 97}, {107, 109}, {116, 114}, {122, 122}, {132, 132}, {145, 141}, {172, 168}, {209, 204}, {237, 232}},
    {{25, 38}, {23, 36}, {22, 34}, {22, 32}, {32, 36}, {22, 24}, {21, 23}, {21, 22}, {20, 20}},
    {{57, 61}, {60, 59}, {64, 64}, {71, 70}, {77, 77}, {84, 83}, {99, 98}, {122, 109}, {143, 140}},
    {{64, 64}, {64, 64}, {80, 80}, {92, 85}, {85, 85}, {87, 106}, {128, 121}, {136, 145}, {162, 171}},
    {{92, 94}, {104, 105}, {113, 110}, {118, 118}, {128, 128}, {140, 137}, {167, 163}, {203, 198}, {236, 225}},
    {{97, 95}, {104, 105}, {113, 110}, {118, 118}, {128, 128}, {140, 137}, {167, 163}, {203, 198}, {236, 244}},
};

const U32 u32ArrayV4GainRegVal[7][9][2] = {
    {{14, 14}, {14, 14}, {15, 16}, {16, 17}, {17, 18}, {17, 18}, {20, 21}, {23, 24}, {27, 31}},
    {{24, 26}, {26, 29}, {27, 31}, {28, 31}, {32, 36}, {30, 35}, {35, 42}, {43, 53}, {50, 62}},
    {{25, 38}, {23, 36}, {22, 34}, {22, 32}, {32, 36}, {22, 24}, {21, 23}, {21, 22}, {20, 20}},
    {{14, 15}, {14, 15}, {16, 17}, {17, 18}, {18, 19}, {18, 20}, {21, 23}, {24, 26}, {28, 33}},
    {{14, 15}, {14, 15}, {16, 17}, {17, 18}, {18, 20}, {19, 20}, {21, 23}, {24, 27}, {28, 33}},
    {{48, 50}, {49, 51}, {56, 56}, {60, 64}, {61, 65}, {65, 69}, {72, 79}, {82, 92}, {96, 111}},
    {{30, 31}, {30, 30}, {34, 34}, {36, 39}, {37, 40}, {38, 42}, {43, 48}, {49, 55}, {59, 69}},
};

const U32 u32ArrayV5GainRegVal[7][9][2] = {
    {{75, 75}, {85, 85}, {79, 80}, {79, 80}, {81, 83}, {91, 93}, {100, 102}, {116, 119}, {126, 128}},
    {{95, 97}, {107, 109}, {116, 114}, {122, 122}, {132, 132}, {145, 141}, {172, 168}, {209, 204}, {237, 232}},
    {{25, 38}, {23, 36}, {22, 34}, {22, 32}, {32, 36}, {22, 24}, {21, 23}, {21, 22}, {20, 20}},
    {{57, 61}, {60, 59}, {64, 64}, {71, 70}, {77, 77}, {84, 83}, {99, 98}, {122, 109}, {143, 140}},
    {{91, 91}, {98, 94}, {103, 105}, {114, 114}, {123, 123}, {135, 132}, {160, 157}, {194, 190}, {219, 231}},
    {{92, 94}, {104, 105}, {113, 110}, {118, 118}, {128, 128}, {140, 137}, {167, 163}, {203, 198}, {236, 225}},
    {{97, 95}, {104, 105}, {113, 110}, {118, 118}, {128, 128}, {140, 137}, {167, 163}, {203, 198}, {236, 244}},
};

namespace {

constexpr DWORD kMaxFrequencyKHz = 1000000;

// What differs between the two chips' programming.
struct ChipSide {
    bool bSlave;
    U32 u32FirstChannel;  // 0 on the master, 4 on the slave
};
constexpr ChipSide kMasterSide = {false, 0};
constexpr ChipSide kSlaveSide = {true, 4};

TParameter_DTMB* LiveRecordSet() { return &PARAMS_GetCurParamsHandler()->st_DTMBParams.stDTMBParams; }

// Converts to U32 by truncation; out-of-range values (negative, NaN,
// infinite or too large) are clamped instead of being undefined.
U32 TruncU32(double x)
{
    if (!(x > 0))
        return 0;
    if (x >= 4294967295.0)
        return 0xFFFFFFFFu;
    return (U32)x;
}

// A computed value as the int of a "%d" log argument, clamped to its range:
// a rate or frequency from a stored set may be far beyond it.
int LogInt(double x)
{
    if (!(x > -2147483648.0))
        return x != x ? 0 : INT32_MIN;
    if (x >= 2147483647.0)
        return INT32_MAX;
    return (int)x;
}

// Rounds a positive value to the nearest integer, halves downwards.
U32 RoundHalfDown(double x)
{
    U32 v = TruncU32(x);
    if (v != 0xFFFFFFFFu && (double)v + 0.5 < x)
        v++;
    return v;
}

// round(x) of the level formulas: x + 0.5 truncated.
U32 RoundLevel(double x) { return TruncU32(x + 0.5); }
U32 TruncLevel(double x) { return TruncU32(x); }

void Store3(U8* buf, U32 v)
{
    buf[0] = (U8)v;
    buf[1] = (U8)(v >> 8);
    buf[2] = (U8)(v >> 16);
}

// The channel spacing of the bandwidth selection; 0 for an unknown one.
U32 SpacingOfBandwidth(U32 bw)
{
    switch (bw) {
    case 0: return 6000;
    case 1: return 7000;
    case 2: return 8000;
    default: return 0;
    }
}

// The ATSC channel layout: four independent frequencies per chip.
bool AtscLayout(const ChipSide& side)
{
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 6)
        return true;
    if (mode != 4)
        return false;
    return (side.bSlave ? Slave_GetSIMod() : Resource_GetSIMode()) == 1;
}

// The spacing of a chip's four channels (kHz) in the card's standard; DTMB
// and a cable bandwidth without a spacing of its own keep 8 MHz.
U32 ChannelSpacing(const TParameter_DTMB& set)
{
    const U32 bw = set.Bandwidth_Sel[0];
    switch (PARAMS_GetModulationMod()) {
    case 1: return bw == 1 ? 7000 : bw == 0 ? 6000 : 8000;
    case 3: return SpacingOfBandwidth(bw) ? SpacingOfBandwidth(bw) : 8000;
    case 4: return 6000;
    case 5: return bw == 1 ? 7000 : bw == 2 ? 8000 : 6000;
    default: return 8000;
    }
}

// Writes the four tuning words and the band-centre word (with read-back) and
// strobes the update.
void WriteFrequencyRegisters()
{
    const U8* ftw[4] = {s_ucCh0FTW, s_ucCh1FTW, s_ucCh2FTW, s_ucCh3FTW};
    U32 reg = 0x0A;
    for (const U8* w : ftw)
        for (int b = 0; b < 3; b++)
            Modulate_SetGetAD9789Reg(reg++, w[b]);
    Modulate_SetGetAD9789Reg(0x1C, s_ucFC[0]);
    Modulate_SetGetAD9789Reg(0x1D, s_ucFC[1]);
    Modulate_SetGetAD9789Reg(0x1E, 0x80);
}

void ClearFrequencyBuffers()
{
    memset(s_ucCh0FTW, 0, sizeof(s_ucCh0FTW));
    memset(s_ucCh1FTW, 0, sizeof(s_ucCh1FTW));
    memset(s_ucCh2FTW, 0, sizeof(s_ucCh2FTW));
    memset(s_ucCh3FTW, 0, sizeof(s_ucCh3FTW));
    memset(s_ucFC, 0, sizeof(s_ucFC));
}

void StoreTuningWords(const DWORD ftw[4])
{
    U8* bufs[4] = {s_ucCh0FTW, s_ucCh1FTW, s_ucCh2FTW, s_ucCh3FTW};
    for (int k = 0; k < 4; k++)
        Store3(bufs[k], ftw[k]);
}

void StoreCentre(DWORD c)
{
    s_ulCenterFrequency = c / 1000;
    DWORD fc = 0;
    Modulate_SetCenterFrequency(c, &fc);
    s_ucFC[0] = (U8)fc;
    s_ucFC[1] = (U8)(fc >> 8);
}

// Clock, rate and spacing of the card's standard (step 2 of the programming).
void SelectClocks(const ChipSide& side, const TParameter_DTMB& set)
{
    const char* fn = side.bSlave ? "Modulate_QAM_SetAllPatams_Slave" : "Modulate_QAM_SetAllPatams";
    U32 first = side.u32FirstChannel;
    U32 mode = PARAMS_GetModulationMod();
    U32 bw = set.Bandwidth_Sel[0];
    switch (mode) {
    case 1:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###%s: DVB-T###\n", LOG_POS, fn);
        s_dwDACFrequency = 1935360;
        if (bw == 1) {
            s_dwFS = 8000000;
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 7M###\n", LOG_POS);
        } else if (bw == 0) {
            s_dwFS = 6857143;
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 6M###\n", LOG_POS);
        } else {
            s_dwFS = 9142857;
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 8M###\n", LOG_POS);
        }
        break;
    case 3:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Modulate_QAM_SetAllPatams: DVBC###\n", LOG_POS);
        s_dwFS = set.SymbolRate[first];
        s_dwDACFrequency = 1935360;
        break;
    case 4:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Modulate_QAM_SetAllPatams: DVBC_B###\n", LOG_POS);
        s_dwDACFrequency = 1935360;
        s_dwFS = set.AnnexBQAMMode[first] == ANNEXB_QAM64 ? 5056 : 5360;
        break;
    case 5:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###%s: ISDBT###\n", LOG_POS, fn);
        if (bw == 1)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 7M###\n", LOG_POS);
        else if (bw == 2)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 8M###\n", LOG_POS);
        else
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###select 6M###\n", LOG_POS);
        s_dwFS = 7560;
        break;
    case 6:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Modulate_QAM_SetAllPatams: ATSC###\n", LOG_POS);
        s_dwFS = 10;
        break;
    case 0:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Modulate_QAM_SetAllPatams: DTMB###\n", LOG_POS);
        s_dwDACFrequency = 1935360;
        s_dwFS = 7560;
        break;
    default:
        if (side.bSlave)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###%s: DTMB_Multicarrier###\n", LOG_POS, fn);
        else
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###%s: DTMB_Multicarrier##\n", LOG_POS, fn);
        s_dwDACFrequency = 1935360;
        s_dwFS = 7560;
        break;
    }
    // The layout follows this set, not a spacing left by an earlier programming.
    s_ucBandWith = ChannelSpacing(set);
}

// The words the output level of one chip writes for level P: the AD9789 full
// scale (register 8), the RFDA0016 attenuator (-1: none beyond its 0xFF) and,
// with the gain DAC, its code (bAd5321 false: no level defined).
struct LevelWords {
    U32 u32Reg8 = 0;
    int64_t s64Rfda = -1;
    bool bAd5321 = false;
    int64_t s64Ad5321 = 0;
};

LevelWords ComputeLevel(bool slave, U8 u8PowerType, U32 mode, U8 P)
{
    LevelWords w;
    U8 P60 = (U8)(P + 60);
    U8 P63 = (U8)(P + 63);
    if (u8PowerType == 0) {
        if (mode == 0)
            w.u32Reg8 = RoundLevel(24.0 * pow(10.0, ((double)P60 - (slave ? 94.4 : 95.0)) / 20.0));
        else if (mode == 4)
            w.u32Reg8 = RoundLevel(9.0 * pow(10.0, ((double)P60 - (slave ? 94.3 : 95.0)) / 20.0));
        if (mode == 1 || mode == 3 || mode == 5 || mode == 6)
            w.s64Rfda = P;
    } else if (u8PowerType == 1) {
        double ref = slave ? 94.4 : 95.0;
        switch (mode) {
        case 1: w.u32Reg8 = TruncLevel(26.0 * pow(10.0, ((double)P63 - (slave ? 90.9 : 92.0)) / 20.0)); break;
        case 4: w.u32Reg8 = TruncLevel(24.0 * pow(10.0, ((double)P60 - (slave ? 94.3 : 95.0)) / 20.0)); break;
        case 0:
        case 3:
        case 5:
        case 6: w.u32Reg8 = TruncLevel(24.0 * pow(10.0, ((double)P60 - ref) / 20.0)); break;
        default: break;
        }
    } else {
        static const int64_t kBase[7] = {1898, 2018, -1, 1786, 1738, 1980, 1786};
        static const U32 kReg8[7] = {0x17, 0x20, 0, 0x20, 0x18, 0x30, 0x28};
        if (mode < 7 && kBase[mode] >= 0) {
            w.u32Reg8 = kReg8[mode];
            w.bAd5321 = true;
            w.s64Ad5321 = ((int64_t)P60 - 85) * 58 + kBase[mode];
        }
    }
    return w;
}

// Output level by the hardware's power-level type (step 11).
void SetOutputLevel(const ChipSide& side, U8 u8PowerType, U8 P)
{
    U32 mode = PARAMS_GetModulationMod();
    bool slave = side.bSlave;
    LevelWords w = ComputeLevel(slave, u8PowerType, mode, P);
    if (u8PowerType == 0) {
        Modulate_SetRFDA0016Reg(0, 0xFF);
        Modulate_SetAD9789Reg(8, w.u32Reg8);
        if (w.s64Rfda >= 0) {
            Modulate_SetRFDA0016Reg(0, (U32)w.s64Rfda);
            Modulate_SetGetAD9789Reg(8, 0x0D);
        }
    } else if (u8PowerType == 1) {
        if (!slave && (mode == 1 || mode == 5))
            Modulate_SetAD9789Reg(0x32, 0x99);
        Modulate_SetAD9789Reg(8, w.u32Reg8);
    } else {
        Modulate_SetAD9789Reg(0x3C, 0xFF);
        Modulate_SetAD9789Reg(0x3D, 0x03);
        if (!w.bAd5321)
            return;  // no level defined for this standard
        Modulate_SetAD9789Reg(8, w.u32Reg8);
        Modulate_SetAD5321GainValue((U32)w.s64Ad5321 & 0xFFFF);
    }
}

int SetAllPatams(const ChipSide& side, peSPIBUS_NUM eSPIBus_n)
{
    CARD_STATE_LOCK();
    ST_ZR_PARAMS* pstParams = PARAMS_GetCurParamsHandler();
    TParameter_DTMB& set = pstParams->st_DTMBParams.stDTMBParams;
    U32 hwVer = PIN_GetHWVersion();
    U8 powerType = PIN_GetPowerLevelType(hwVer);
    U32 mode = PARAMS_GetModulationMod();
    U32 first = side.u32FirstChannel;

    SelectClocks(side, set);

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Config AllPatams Start... \r\n\n", LOG_POS);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d OutputFreq = %d\n\n", LOG_POS, (int)set.OutputFreq[first]);

    bool atsc = AtscLayout(side);
    if (!atsc)
        for (U32 k = 1; k < 4; k++)
            set.OutputFreq[first + k] = Modulate_ProgrammedFreq(set, first + k);

    U8 P = set.OutputPow[first];
    U8 level = mode == 4 ? (U8)(P + 3) : P;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d OutputPow = %d\n\n", LOG_POS, level);

    U8 mask = 0;
    if (!side.bSlave && BMN_GetOutputChannelNum() == 0) {
        Modulate_QAM_DisableOutputChannel(eSPIBus_n);
    } else {
        Modulate_SetAD9789Reg(5, 0);
        mask = Modulate_GetEnableMask(&set.u32Enable[first]);
        if (side.bSlave)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Slave Chip Enable Channel 0x%x!\n\n", LOG_POS, mask);
        else
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Master Chip Enable Channel 0x%x!\n\n", LOG_POS,
                       mask);
        Modulate_SetAD9789Reg(5, mask);
    }

    // A frequency that cannot be programmed leaves the chip's previous words.
    if (atsc)
        Modulate_QAM_SetFrequency_ATSC(0, &set.OutputFreq[first], mask, eSPIBus_n);
    else
        Modulate_QAM_SetFrequency(0, set.OutputFreq[first], level, eSPIBus_n);

    Modulate_QAM_SetSymbolRate(s_dwFS, eSPIBus_n);

    Modulate_SetAD9789Reg(0x31, 0xF0);
    Modulate_SetAD9789Reg(0x32, 0x9E);
    Modulate_SetAD9789Reg(0x3C, 0);
    Modulate_SetAD9789Reg(0x3D, 0);

    unsigned gains[8] = {};
    Modulate_GetAD9789GainRegVal(hwVer, mode, pstParams, gains);
    for (U32 k = 0; k < 4; k++)
        Modulate_SetAD9789Reg(0x25 + k, gains[first + k]);

    SetOutputLevel(side, powerType, P);

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Set Patams End!\n\n", LOG_POS);
    return 0;
}

}  // namespace

U32 Modulate_ProgrammedFreq(const TParameter_DTMB& set, U32 u32Channel)
{
    if (u32Channel >= DTMB_CHANNEL_NUM)
        return 0;
    // Each chip lays out its own four channels, with the SI mode it knows.
    if (AtscLayout(FPGA_GetChipType() == CHIP_TYPE_MAIN ? kMasterSide : kSlaveSide))
        return set.OutputFreq[u32Channel];
    const U32 first = u32Channel & ~3u;
    return set.OutputFreq[first] + (u32Channel - first) * ChannelSpacing(set);
}

int Modulate_QAM_SetAllPatams(peSPIBUS_NUM eSPIBus_n) { return SetAllPatams(kMasterSide, eSPIBus_n); }

bool Modulate_FrequenciesFit(const TParameter_DTMB& set, U32 u32FirstChannel)
{
    if (u32FirstChannel != 0 && u32FirstChannel != 4)
        return false;
    // Every word and the band centre, which lies between the first and the last.
    for (U32 k = 0; k < 4; k++)
        if (Modulate_ProgrammedFreq(set, u32FirstChannel + k) > kMaxFrequencyKHz)
            return false;
    return true;
}

bool Modulate_LevelFits(bool bSlave, U32 u32Level)
{
    // Past 192 the level's offsets (P + 60, P + 63) no longer fit their byte.
    if (u32Level > 192)
        return false;
    U8 type = PIN_GetPowerLevelType(PIN_GetHWVersion());
    LevelWords w = ComputeLevel(bSlave, type, PARAMS_GetModulationMod(), (U8)u32Level);
    // AD9789 full scale 8 bits, RFDA0016 6 bits, AD5321 a 12-bit code (its
    // bits above are power-down bits).
    return w.u32Reg8 <= 0xFF && w.s64Rfda <= 0x3F && (!w.bAd5321 || (w.s64Ad5321 >= 0 && w.s64Ad5321 <= 0xFFF));
}

bool Modulate_LevelRuns(bool bSlave, U32 u32Level, U32* pu32Runs)
{
    if (pu32Runs == nullptr)
        return false;
    if (Modulate_LevelFits(bSlave, u32Level)) {
        *pu32Runs = u32Level;
        return true;
    }
    if (u32Level > 0xFF)
        return false;
    // The RFDA0016 latches the low six bits of the word it is sent: a level
    // past them ran as those bits. The other level words have no such reading.
    U8 type = PIN_GetPowerLevelType(PIN_GetHWVersion());
    LevelWords w = ComputeLevel(bSlave, type, PARAMS_GetModulationMod(), (U8)u32Level);
    if (type != 0 || w.s64Rfda < 0 || !Modulate_LevelFits(bSlave, u32Level & 0x3F))
        return false;
    *pu32Runs = u32Level & 0x3F;
    return true;
}

int Modulate_QAM_SetAllPatams_Slave(peSPIBUS_NUM eSPIBus_n) { return SetAllPatams(kSlaveSide, eSPIBus_n); }

U8 Modulate_GetEnableMask(const U32* pu32Enable)
{
    U8 mask = 0;
    for (int k = 0; k < 4; k++)
        mask |= (U8)((pu32Enable[k] & 1) << k);
    return mask;
}

U32 Modulate_GetFreqBand(U32 u32FreqKHz)
{
    U32 mhz = u32FreqKHz / 1000;
    if (mhz < 150) return 0;
    if (mhz < 250) return 1;
    if (mhz < 350) return 2;
    if (mhz < 450) return 3;
    if (mhz == 450) return 4;
    if (mhz < 550) return 5;
    if (mhz < 650) return 6;
    if (mhz < 750) return 7;
    return 8;
}

void Modulate_GetAD9789GainRegVal(unsigned u32HWVer, unsigned u32ModMode, ST_ZR_PARAMS* pstParams,
                                  unsigned* parrGainRegVal)
{
    if (pstParams == nullptr || parrGainRegVal == nullptr || u32ModMode > 6)
        return;
    const U32(*table)[9][2] = u32HWVer == 1                    ? u32ArrayV4GainRegVal
                              : (u32HWVer == 0 || u32HWVer == 4) ? u32ArrayV3GainRegVal
                                                                 : u32ArrayV5GainRegVal;
    U32 chip = FPGA_GetChipType() == CHIP_TYPE_MAIN ? 0 : 1;
    const TParameter_DTMB& set = pstParams->st_DTMBParams.stDTMBParams;
    for (int n = 0; n < 8; n++)
        parrGainRegVal[n] = table[u32ModMode][Modulate_GetFreqBand(set.OutputFreq[n])][chip];
}

int Modulate_QAM_SetFrequency(int nChannelIndex, DWORD dwFrequencyKHz, unsigned char ucModRFLeveldBu,
                              peSPIBUS_NUM eSPIBus_n)
{
    if (dwFrequencyKHz > kMaxFrequencyKHz)
        return -2;
    ClearFrequencyBuffers();
    if (PARAMS_GetModulationMod() == 3) {
        U32 spacing = SpacingOfBandwidth(LiveRecordSet()->Bandwidth_Sel[0]);
        if (spacing == 0)
            return -2;
        s_ucBandWith = spacing;
    }
    DWORD ftw[4] = {};
    for (U32 k = 0; k < 4; k++)
        Modulate_SetFrequency(dwFrequencyKHz + k * s_ucBandWith, &ftw[k]);
    StoreTuningWords(ftw);
    StoreCentre(dwFrequencyKHz + s_ucBandWith + s_ucBandWith / 2);
    WriteFrequencyRegisters();
    return 0;
}

int Modulate_QAM_SetFrequency_ATSC(int nChannelIndex, DWORD* dwFrequencyKHz, DWORD dwEnableChannel,
                                   peSPIBUS_NUM eSPIBus_n)
{
    if (dwFrequencyKHz == nullptr)
        return -2;
    for (int k = 0; k < 4; k++)
        if (dwFrequencyKHz[k] > kMaxFrequencyKHz)
            return -2;
    DWORD ftw[4] = {};
    for (int k = 0; k < 4; k++)
        Modulate_SetFrequency(dwFrequencyKHz[k], &ftw[k]);
    U32 n = 0;
    U32 sum = 0;
    for (int k = 0; k < 4; k++) {
        if (dwEnableChannel & (1u << k)) {
            n++;
            sum += dwFrequencyKHz[k];
        }
    }
    if (n == 0)
        return -2;
    ClearFrequencyBuffers();
    StoreTuningWords(ftw);
    DWORD c = sum / n;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ATSC mode dwCenterFrequencyKHZ = %d\n\n", LOG_POS, (int)c);
    StoreCentre(c);
    WriteFrequencyRegisters();
    return 0;
}

int Modulate_SetFrequency(DWORD dwFrequencyKHZ, DWORD* dwFTW)
{
    if (dwFTW == nullptr || dwFrequencyKHZ > kMaxFrequencyKHz)
        return -2;
    double x = (double)dwFrequencyKHZ * 16777215.0 * 16.0 / (double)s_dwDACFrequency;
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_MOD, "%ld:%s:%d doubleTempFTW  : %x \r\n\n", LOG_POS, LogInt(x));
    U32 v = RoundHalfDown(x);
    *dwFTW = (v & 0xFFFFFF) + ((v >> 24) & 0xF);
    return 0;
}

int Modulate_SetCenterFrequency(DWORD dwFrequencyKHZ, DWORD* dwFC)
{
    if (dwFC == nullptr || dwFrequencyKHZ > kMaxFrequencyKHz)
        return -2;
    double x = (double)dwFrequencyKHZ * 65535.0 * 16.0 / (double)s_dwDACFrequency;
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_MOD, "%ld:%s:%d doubleBPF  : %x \r\n\n", LOG_POS, LogInt(x));
    U32 t = TruncU32(x);
    *dwFC = ((t >> 4) & 0xFFFF) + (((double)t + 0.5 < x) ? 1 : 0);
    if (PARAMS_GetModulationMod() == 4) {
        // The full-scale setting follows the band in J.83 Annex B.
        bool slave = FPGA_GetChipType() != CHIP_TYPE_MAIN;
        U32 mhz = dwFrequencyKHZ / 1000;
        U32 reg8;
        if (mhz <= 500)
            reg8 = 6;
        else if (mhz <= 600)
            reg8 = 7;
        else if (mhz <= 700)
            reg8 = slave ? 9 : 8;
        else if (mhz <= 800)
            reg8 = slave ? 10 : 8;
        else
            reg8 = slave ? 18 : 12;
        Modulate_SetAD9789Reg(8, reg8);
    }
    return 0;
}

int Modulate_QAM_SetSymbolRate(unsigned fs, peSPIBUS_NUM eSPIBus_n)
{
    double hz = PARAMS_GetModulationMod() == 1 ? (double)fs : 1000.0 * (double)fs;
    Modulate_SetSymbolRateGroup0((float)hz, eSPIBus_n);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SetSymbolRate: %d===\n\n", LOG_POS, (int)fs);
    return 0;
}

int Modulate_SetSymbolRateGroup0(float fSymbolRateHz, peSPIBUS_NUM eSPIBus_n)
{
    bool slave = FPGA_GetChipType() != CHIP_TYPE_MAIN;
    U32 mode = PARAMS_GetModulationMod();
    memset(s_ucValueQ, 0, sizeof(s_ucValueQ));
    memset(s_ucValueP, 0, sizeof(s_ucValueP));
    DWORD q = 0;
    Modulate_GetValueQ(fSymbolRateHz, &q);
    Store3(s_ucValueQ, q);
    Modulate_SetAD9789Reg(6, 0x81);

    if (mode == 6) {
        Modulate_SetAD9789Reg(0x16, 0x00);
        Modulate_SetAD9789Reg(0x17, 0x4B);
        Modulate_SetAD9789Reg(0x18, 0x96);
    } else if (mode == 4) {
        Modulate_SetAD9789Reg(0x16, 0);
        Modulate_SetAD9789Reg(0x17, 0);
        Modulate_SetAD9789Reg(0x18, 0xC0);
    } else {
        Modulate_SetAD9789Reg(0x16, s_ucValueQ[0]);
        Modulate_SetAD9789Reg(0x17, s_ucValueQ[1]);
        Modulate_SetAD9789Reg(0x18, s_ucValueQ[2]);
    }

    if (mode == 6) {
        Modulate_SetAD9789Reg(0x19, 0x00);
        Modulate_SetAD9789Reg(0x1A, 0x93);
        Modulate_SetAD9789Reg(0x1B, 0x69);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ATSC mod\n", LOG_POS);
    } else if (mode == 4) {
        Modulate_SetAD9789Reg(0x19, 0x13);
        Modulate_SetAD9789Reg(0x1A, 0x84);
        Modulate_SetAD9789Reg(0x1B, 0x8F);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d AnnexBQAMMode: ANNEXB_QAM64\n", LOG_POS);
        const TParameter_DTMB* set = LiveRecordSet();
        if (set->AnnexBQAMMode[slave ? 4 : 0] == ANNEXB_QAM256) {
            Modulate_SetAD9789Reg(0x19, 0xB1);
            Modulate_SetAD9789Reg(0x1A, 0x63);
            Modulate_SetAD9789Reg(0x1B, 0x87);
            if (slave)
                log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Slave AnnexBQAMMode: ANNEXB_QAM256\n", LOG_POS);
            else
                log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Master AnnexBQAMMode: ANNEXB_QAM256\n", LOG_POS);
        }
    } else {
        Modulate_SetAD9789Reg(0x19, 0x00);
        Modulate_SetAD9789Reg(0x1A, 0x00);
        Modulate_SetAD9789Reg(0x1B, 0x80);
    }

    Modulate_SetAD9789Reg(0x1E, 0x00);
    Modulate_SetAD9789Reg(0x1E, 0x80);
    Modulate_SetAD9789Reg(0x1E, 0x00);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SR_Group0  : %x \r\n\n", LOG_POS, q);
    return 0;
}

int Modulate_GetValueQ(float fSymbolRateHz, DWORD* dwValueQ)
{
    if (dwValueQ == nullptr)
        return 0;
    float fMHz = fSymbolRateHz / 1000000.0f;
    double x = (double)s_ucValueI * 16.0 * (double)fMHz * 8388608.0 * 1000.0 / (double)s_dwDACFrequency;
    *dwValueQ = RoundHalfDown(x);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SymbolRate: %d\n\n", LOG_POS, LogInt(fSymbolRateHz));
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d dwValueQ: %d\n\n", LOG_POS, (int)*dwValueQ);
    return 0;
}

int Modulate_GetValueP(float fSymbolRateHz, DWORD* dwValueP)
{
    if (dwValueP == nullptr)
        return 0;
    s_ucValueI = 16;
    float fMHz = fSymbolRateHz / 1000000.0f;
    double x = (double)s_dwDACFrequency * 8388608.0 / 1000.0 / ((double)fMHz * 256.0);
    *dwValueP = RoundHalfDown(x);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SymbolRate: %d\n\n", LOG_POS, LogInt(fSymbolRateHz));
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d dwValueP: %d\n\n", LOG_POS, (int)*dwValueP);
    return 0;
}

int Modulate_QAM_SetChannelEnable(unsigned mask, peSPIBUS_NUM eSPIBus_n)
{
    Modulate_SetAD9789Reg(5, mask);
    return 0;
}

int Modulate_QAM_DisableOutputChannel(peSPIBUS_NUM eSPIBus_n)
{
    Modulate_SetAD9789Reg(5, 0);
    return 0;
}
