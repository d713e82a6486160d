// Modulation sets at the edges of what the chips run: the gain DAC of the
// boards of power-level types 2 and 3, a value of the slave's one core edited
// on its first channel alone, and the frequency limit that a chip's derived
// channels reach before its first one does.
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_check.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/GPIO/pin.h"
#include "Driver/I2C/i2c.h"
#include "Driver/RF/modulate.h"
#include "Driver/RF/rf.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include <cstring>
#include <gtest/gtest.h>

namespace {

class ModulationEdges : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode_ = g_u32ModulationMode;
        savedLive_ = *GetDTMBPara_Handle();
        savedRecord_ = *PARAMS_GetCurParamsHandler();
        savedChip_ = simboard::PeekReg(17);
        for (int i = 0; i < 3; i++)
            savedPins_[i] = simboard::GetProfile()->hwVersionPins[i];
    }
    void TearDown() override
    {
        AsSlave(false);
        for (int i = 0; i < 3; i++)
            simboard::GetProfile()->hwVersionPins[i] = savedPins_[i];
        g_u32ModulationMode = savedMode_;
        *GetDTMBPara_Handle() = savedLive_;
        *PARAMS_GetCurParamsHandler() = savedRecord_;
    }
    void AsSlave(bool slave)
    {
        simboard::PokeReg(17, slave ? 1 : savedChip_);
        FPGA_CheckChipType();
    }
    static void HardwareVersion(U32 v)
    {
        for (int i = 0; i < 3; i++)
            simboard::GetProfile()->hwVersionPins[i] = (v >> i) & 1;
    }
    // A DVB-C set as the master keeps it: channels from 474 MHz and 578 MHz.
    static TParameter_DTMB Dvbc()
    {
        TParameter_DTMB s = {};
        for (int n = 0; n < 8; n++) {
            s.ConsteMod[n] = _64_QAM_LDPC_0_8;
            s.IntLeav[n] = _240_INTLEAV;
            s.FramHeadMod[n] = _420_VARIABLE;
            s.OutputFreq[n] = (n < 4 ? 474000 : 578000) + (n % 4) * 8000;
            s.OutputPow[n] = 40;
            s.SymbolRate[n] = 6875;
            s.QAMMod[n] = _64QAM;
            s.Bandwidth_Sel[n] = _8M_BW;
            s.AnnexBQAMMode[n] = ANNEXB_QAM256;
            s.u8SegmentMode[n] = 13;
            s.u8FFTMode[n] = 1;
            s.u8InsertPSIEnable[n] = 1;
            s.u32Enable[n] = 1;
        }
        return s;
    }
    static U32 Ad5321Code()
    {
        const simboard::I2cChipModels* m = simboard::GetI2cChips();
        return (U32)(m->ad5321[0] & 0x0F) << 8 | m->ad5321[1];
    }

    U32 savedMode_ = 0, savedChip_ = 0;
    U32 savedPins_[3] = {};
    TParameter_DTMB savedLive_;
    ST_ZR_PARAMS savedRecord_;
};

// Hardware versions 3 (power-level type 2) and 5 (type 3) set the level with
// the AD5321: code (P + 60 - 85) * 58 + B, register 8 R, by standard. The
// levels a board takes end where the code leaves its 12 bits, on both chips;
// a standard with no level defined writes no code.
TEST_F(ModulationEdges, GainDacRangeOfPowerLevelTypesTwoAndThree)
{
    ZR_I2C_Init();
    const struct {
        U32 mode, reg8;
        int base;
    } kModes[] = {{0, 0x17, 1898}, {1, 0x20, 2018}, {3, 0x20, 1786}, {4, 0x18, 1738}, {5, 0x30, 1980}, {6, 0x28, 1786}};
    for (U32 hw : {3u, 5u}) {
        HardwareVersion(hw);
        ASSERT_EQ(PIN_GetHWVersion(), hw);
        for (const auto& m : kModes) {
            SCOPED_TRACE(testing::Message() << "hardware " << hw << " mode " << m.mode);
            g_u32ModulationMode = m.mode;
            const U32 top = 25 + (0xFFF - m.base) / 58;  // the last level whose code fits
            for (bool slave : {false, true}) {
                EXPECT_TRUE(Modulate_LevelFits(slave, 0));
                EXPECT_TRUE(Modulate_LevelFits(slave, top));
                EXPECT_FALSE(Modulate_LevelFits(slave, top + 1));
            }
            TParameter_DTMB set = Dvbc();
            set.OutputPow[0] = (U8)top;
            set.OutputPow[4] = 0;
            ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
            EXPECT_EQ(Ad5321Code(), (U32)(((int)top + 60 - 85) * 58 + m.base));
            EXPECT_EQ(Modulate_GetAD9789Reg(8), m.reg8);
            EXPECT_EQ(Modulate_GetAD9789Reg(0x3C), 0xFFu);
            EXPECT_EQ(Modulate_GetAD9789Reg(0x3D), 0x03u);
            AsSlave(true);
            ASSERT_EQ(SetDTMB_CurPara_Slave(&set), ZR_SUCCESS);
            AsSlave(false);
            EXPECT_EQ(Ad5321Code(), (U32)((60 - 85) * 58 + m.base)) << "the slave's own level";
        }
        // The refusal names the range this board takes.
        g_u32ModulationMode = 0;
        TParameter_DTMB live = Dvbc(), cand = live;
        cand.OutputPow[0] = 63;
        DTMB_Refusal why{};
        EXPECT_FALSE(DTMB_CheckCandidate(&live, &cand, &why));
        EXPECT_NE(strstr(why.acField, "power of channel 0: 63 (0..62 on this board)"), nullptr) << why.acField;
        // No level defined: no code written.
        g_u32ModulationMode = 2;
        const U32 writes = simboard::GetI2cChips()->writes;
        TParameter_DTMB set = Dvbc();
        ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
        EXPECT_EQ(simboard::GetI2cChips()->writes, writes);
    }
}

// The slave's one core runs channel 4's values for channels 4-7: an edit of
// channel 4 alone is taken for 4-7 and runs there, the master's channels keep
// theirs; channel 5's alone is refused; channel 4's bandwidth, which channel
// 0 decides for the whole card, is refused and changes nothing.
TEST_F(ModulationEdges, SlavesFirstChannelEditedAlone)
{
    g_u32ModulationMode = 3;
    const TParameter_DTMB live = Dvbc();
    DTMB_Refusal why{};
    TParameter_DTMB cand = live;
    cand.QAMMod[4] = _256QAM;
    ASSERT_TRUE(DTMB_CheckCandidate(&live, &cand, &why)) << why.acField;
    for (int n = 0; n < 8; n++)
        EXPECT_EQ(cand.QAMMod[n], n < 4 ? _64QAM : _256QAM) << n;
    AsSlave(true);
    ASSERT_EQ(SetDTMB_CurPara_Slave(&cand), ZR_SUCCESS);
    AsSlave(false);
    EXPECT_EQ(simboard::PeekReg(1540), (U32)_256QAM) << "the slave's core runs it";

    cand = live;
    cand.QAMMod[5] = _256QAM;
    EXPECT_FALSE(DTMB_CheckCandidate(&live, &cand, &why));
    EXPECT_EQ(why.enKind, DTMB_REFUSED_DERIVED);
    EXPECT_NE(strstr(why.acField, "runs channel 4's for channels 4-7"), nullptr) << why.acField;

    cand = live;
    cand.Bandwidth_Sel[4] = _6M_BW;
    const TParameter_DTMB sent = cand;
    EXPECT_FALSE(DTMB_CheckCandidate(&live, &cand, &why));
    EXPECT_EQ(why.enCode, ZR_ERR_WEB_POST_PARAM);
    EXPECT_EQ(why.enKind, DTMB_REFUSED_DERIVED);
    EXPECT_NE(strstr(why.acField, "bandwidth of channel 4: 0 (channel 0 decides it"), nullptr) << why.acField;
    EXPECT_EQ(0, memcmp(&cand, &sent, sizeof(cand)));
    // Channel 0's bandwidth sets the slave's spacing too, even in a set
    // whose channel 4 says otherwise (as one stored by earlier firmware).
    TParameter_DTMB old = live;
    for (int n = 4; n < 8; n++)
        old.Bandwidth_Sel[n] = _6M_BW;
    AsSlave(true);
    ASSERT_EQ(SetDTMB_CurPara_Slave(&old), ZR_SUCCESS);
    AsSlave(false);
    DWORD ftw = 0;
    Modulate_SetFrequency(578000 + 8000, &ftw);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0D) | Modulate_GetAD9789Reg(0x0E) << 8 | Modulate_GetAD9789Reg(0x0F) << 16, ftw);
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_DTMBParams.stDTMBParams.OutputFreq[5], 578000u + 8000);
    cand = live;
    cand.Bandwidth_Sel[0] = _6M_BW;
    ASSERT_TRUE(DTMB_CheckCandidate(&live, &cand, &why)) << why.acField;
    EXPECT_EQ(cand.Bandwidth_Sel[4], _6M_BW);
    EXPECT_EQ(cand.OutputFreq[7], 578000u + 3 * 6000);
}

// A chip lays its channels out from its first one, which a request may set
// up to 838,000 kHz, on the master and on the slave alike: the last derived
// channel then lies at 862,000 kHz, and the slave programs it.
TEST_F(ModulationEdges, DerivedChannelsFollowTheFirstChannelsLimit)
{
    g_u32ModulationMode = 3;
    const TParameter_DTMB live = Dvbc();
    DTMB_Refusal why{};
    for (U32 first : {0u, 4u}) {
        SCOPED_TRACE(first);
        TParameter_DTMB cand = live;
        if (first == 0)
            cand.OutputFreq[4] = 474000;  // the slave's group below, clear of the master's
        cand.OutputFreq[first] = 838001;
        EXPECT_FALSE(DTMB_CheckCandidate(&live, &cand, &why));
        EXPECT_EQ(why.enKind, DTMB_REFUSED_RANGE);
        EXPECT_NE(strstr(why.acField, "838001 (48000..838000)"), nullptr) << why.acField;
        cand.OutputFreq[first] = 838000;
        ASSERT_TRUE(DTMB_CheckCandidate(&live, &cand, &why)) << why.acField;
        EXPECT_EQ(cand.OutputFreq[first + 3], 838000u + 3 * 8000);
        if (first == 4) {
            AsSlave(true);
            ASSERT_EQ(SetDTMB_CurPara_Slave(&cand), ZR_SUCCESS);
            AsSlave(false);
            DWORD ftw = 0;
            ASSERT_EQ(Modulate_SetFrequency(838000 + 3 * 8000, &ftw), 0);
            EXPECT_EQ(Modulate_GetAD9789Reg(0x13) | Modulate_GetAD9789Reg(0x14) << 8 | Modulate_GetAD9789Reg(0x15) << 16,
                      ftw);
        }
    }
}

}  // namespace
