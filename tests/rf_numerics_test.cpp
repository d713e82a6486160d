// Tuning words, band centre, rate converter, gain bands and TS-rate words.
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include <gtest/gtest.h>

namespace {

// Runs a test in one modulation mode and puts the card's mode back after it.
class ModeGuard {
public:
    explicit ModeGuard(U32 mode) : saved_(g_u32ModulationMode) { g_u32ModulationMode = mode; }
    ~ModeGuard() { g_u32ModulationMode = saved_; }

private:
    U32 saved_;
};

// Makes this process the slave chip for the length of a test.
class SlaveChipGuard {
public:
    SlaveChipGuard() : saved_(simboard::PeekReg(17))
    {
        simboard::PokeReg(17, 1);
        FPGA_CheckChipType();
    }
    ~SlaveChipGuard()
    {
        simboard::PokeReg(17, saved_);
        FPGA_CheckChipType();
    }

private:
    U32 saved_;
};

DWORD Ftw(DWORD kHz)
{
    DWORD w = 0xDEADBEEF;
    EXPECT_EQ(Modulate_SetFrequency(kHz, &w), 0);
    return w;
}

}  // namespace

TEST(RfNumerics, TuningWordsAtTheDacClock)
{
    ASSERT_EQ(s_dwDACFrequency, 1935360u);
    EXPECT_EQ(Ftw(474000), 15412402u);
    EXPECT_EQ(Ftw(482000), 16522006u);
    // Beyond 2^24 the carry folds back into the low bits.
    EXPECT_EQ(Ftw(490000), 854395u);
    EXPECT_EQ(Ftw(1000000), 4482801u);

    DWORD w = 77;
    EXPECT_EQ(Modulate_SetFrequency(1000001, &w), -2);
    EXPECT_EQ(w, 77u);
    EXPECT_EQ(Modulate_SetFrequency(474000, nullptr), -2);
}

TEST(RfNumerics, BandCentreWord)
{
    ModeGuard mode(0);
    DWORD fc = 0;
    EXPECT_EQ(Modulate_SetCenterFrequency(486000, &fc), 0);
    EXPECT_EQ(fc, 16456u);
    EXPECT_EQ(Modulate_SetCenterFrequency(1000001, &fc), -2);
    EXPECT_EQ(Modulate_SetCenterFrequency(486000, nullptr), -2);
}

TEST(RfNumerics, RateConverterQWord)
{
    ASSERT_EQ(s_ucValueI, 32);
    DWORD q = 0;
    Modulate_GetValueQ(6875.0f * 1000.0f, &q);
    EXPECT_EQ(q, 15257058u);
    // DTMB's 7560 kBd gives exactly 2^24: all three register bytes are 0.
    Modulate_GetValueQ(7560.0f * 1000.0f, &q);
    EXPECT_EQ(q, 16777216u);
    EXPECT_EQ(q & 0xFFFFFFu, 0u);
}

TEST(RfNumerics, FrequencyBandsHaveASingle450MHzBand)
{
    EXPECT_EQ(Modulate_GetFreqBand(149999), 0u);
    EXPECT_EQ(Modulate_GetFreqBand(150000), 1u);
    EXPECT_EQ(Modulate_GetFreqBand(349999), 2u);
    EXPECT_EQ(Modulate_GetFreqBand(449000), 3u);
    EXPECT_EQ(Modulate_GetFreqBand(450000), 4u);
    EXPECT_EQ(Modulate_GetFreqBand(450999), 4u);
    EXPECT_EQ(Modulate_GetFreqBand(451000), 5u);
    EXPECT_EQ(Modulate_GetFreqBand(749999), 7u);
    EXPECT_EQ(Modulate_GetFreqBand(750000), 8u);
    EXPECT_EQ(Modulate_GetFreqBand(0xFFFFFFFFu), 8u);
}

TEST(RfNumerics, GainsByHardwareModeBandAndChip)
{
    ST_ZR_PARAMS rec = {};
    TParameter_DTMB& set = rec.st_DTMBParams.stDTMBParams;
    const U32 freqs[8] = {474000, 450000, 100000, 800000, 474000, 450000, 100000, 800000};
    for (int n = 0; n < 8; n++)
        set.OutputFreq[n] = freqs[n];

    unsigned g[8] = {};
    Modulate_GetAD9789GainRegVal(1, 3, &rec, g);  // hardware version 1, DVB-C, master
    EXPECT_EQ(g[0], 18u);
    EXPECT_EQ(g[1], 18u);
    EXPECT_EQ(g[2], 14u);
    EXPECT_EQ(g[3], 28u);
    Modulate_GetAD9789GainRegVal(4, 0, &rec, g);  // version 4 uses the same table as 0
    EXPECT_EQ(g[0], 33u);
    EXPECT_EQ(g[1], 32u);
    Modulate_GetAD9789GainRegVal(7, 4, &rec, g);  // any other version
    EXPECT_EQ(g[0], 135u);
    EXPECT_EQ(g[3], 219u);
    {
        SlaveChipGuard slave;
        Modulate_GetAD9789GainRegVal(1, 3, &rec, g);
        EXPECT_EQ(g[0], 20u);
        EXPECT_EQ(g[4], 20u);
    }
    // A mode outside the tables leaves the caller's values alone.
    unsigned keep[8] = {9, 9, 9, 9, 9, 9, 9, 9};
    Modulate_GetAD9789GainRegVal(0, 7, &rec, keep);
    EXPECT_EQ(keep[0], 9u);
}

TEST(RfNumerics, EnableMaskTakesBitZeroOnly)
{
    const U32 en[4] = {1, 2, 3, 0xFFFFFFFE};
    EXPECT_EQ(Modulate_GetEnableMask(en), 0x05);
    const U32 all[4] = {1, 1, 1, 1};
    EXPECT_EQ(Modulate_GetEnableMask(all), 0x0F);
}

TEST(RfNumerics, TSRateWord)
{
    // DVB-C 6875 kBd, 64QAM: 38014 kbit/s.
    EXPECT_EQ(DTMB_GetTSRateWord(38014, 0.1), 10710u);
    EXPECT_EQ(DTMB_GetTSRateWord(38014, 0.1) | 0xD0000000u, 0xD00029D6u);
    EXPECT_EQ(DTMB_GetTSRateWord(38014, 0.4), 10795u);
    // No rate, a rate at the offset (division by zero) or below it: no word.
    EXPECT_EQ(DTMB_GetTSRateWord(0, 0.1), 0u);
    EXPECT_EQ(DTMB_GetTSRateWord(100, 0.1), 0u);
    EXPECT_EQ(DTMB_GetTSRateWord(399, 0.4), 0u);
    // Just above the offset the word would reach into the prefix bits.
    EXPECT_EQ(DTMB_GetTSRateWord(101, 0.1), 0x0FFFFFFFu);
    EXPECT_EQ(DTMB_GetTSRateWord(0xFFFFFFFFu, 0.1) & 0xF0000000u, 0u);
}

TEST(RfNumerics, ChannelPayloadRateByMode)
{
    TParameter_DTMB set = {};
    set.SymbolRate[2] = 6875;
    set.QAMMod[2] = _64QAM;
    set.AnnexBQAMMode[1] = ANNEXB_QAM256;
    set.AnnexBQAMMode[2] = ANNEXB_QAM_INVALID;
    set.ConsteMod[0] = _64_QAM_LDPC_0_8;
    set.FramHeadMod[0] = _420_VARIABLE;
    set.FramHeadMod[3] = (eDTMB_FramHead_Mod_Para)5;
    {
        ModeGuard m(3);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 2), 38014u);
    }
    {
        ModeGuard m(4);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 0), 26970u);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 1), 38810u);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 2), 0u);
    }
    {
        ModeGuard m(6);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 5), 19383u);
    }
    {
        ModeGuard m(0);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 0), 32486u);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 3), 0u);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(&set, 8), 0u);
        EXPECT_EQ(DTMB_GetChannelPayloadRate(nullptr, 0), 0u);
    }
}
