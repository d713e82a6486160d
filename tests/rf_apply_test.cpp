// Applying parameter sets: FPGA modulator registers, TS-rate words, the
// AD9789 programming against the simulated chips, and the slave copy.
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "support/framepeer.h"
#include <atomic>
#include <chrono>
#include <cstring>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <vector>

namespace {

U32 Reg(U32 n) { return simboard::PeekReg(n); }

class RfApply : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedMode_ = g_u32ModulationMode;
        savedChannels_ = g_u8OutputChannelNum;
        savedLive_ = *GetDTMBPara_Handle();
        savedRecord_ = *PARAMS_GetCurParamsHandler();
    }
    void TearDown() override
    {
        g_u32ModulationMode = savedMode_;
        g_u8OutputChannelNum = savedChannels_;
        *GetDTMBPara_Handle() = savedLive_;
        *PARAMS_GetCurParamsHandler() = savedRecord_;
    }

    // A DVB-C set: 6875 kBd, 64QAM, 8 MHz, channels from 474 MHz and 578 MHz.
    static TParameter_DTMB DvbcSet()
    {
        TParameter_DTMB s = {};
        for (int n = 0; n < 8; n++) {
            s.ConsteMod[n] = _64_QAM_LDPC_0_8;
            s.FramHeadMod[n] = _420_VARIABLE;
            s.IntLeav[n] = _240_INTLEAV;
            s.OutputFreq[n] = (n < 4 ? 474000 : 578000) + (n % 4) * 8000;
            s.OutputPow[n] = 102;
            s.SymbolRate[n] = 6875;
            s.QAMMod[n] = _64QAM;
            s.Bandwidth_Sel[n] = _8M_BW;
            s.AnnexBQAMMode[n] = ANNEXB_QAM256;
            s.u8SegmentMode[n] = 13;
            s.u8InsertPSIEnable[n] = 1;
        }
        return s;
    }

    U32 savedMode_ = 0;
    U8 savedChannels_ = 8;
    TParameter_DTMB savedLive_;
    ST_ZR_PARAMS savedRecord_;
};

}  // namespace

TEST_F(RfApply, NullSetIsRefusedAndChangesNothing)
{
    TParameter_DTMB before = *GetDTMBPara_Handle();
    EXPECT_EQ(SetDTMB_CurPara(nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(SetDTMB_CurPara_Slave(nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(memcmp(&before, GetDTMBPara_Handle(), sizeof(before)), 0);
}

TEST_F(RfApply, DvbcSetProgramsRateWordsAndTheAD9789)
{
    g_u32ModulationMode = 3;
    TParameter_DTMB set = DvbcSet();
    set.u32Enable[0] = 1;
    set.u32Enable[2] = 1;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);

    // Live set, record and the copy for the slave all hold the new set.
    EXPECT_EQ(memcmp(&set, GetDTMBPara_Handle(), sizeof(set)), 0);
    EXPECT_EQ(Reg(1540), 2u);  // 64QAM

    // TS-rate words: 38014 kbit/s on the master's channels, none on the slave's.
    for (U32 n = 0; n < 4; n++)
        EXPECT_EQ(simboard::TSRateWord(n), 0xD00029D6u) << "channel " << n;
    for (U32 n = 4; n < 8; n++)
        EXPECT_EQ(simboard::TSRateWord(n), 0u) << "channel " << n;

    // Channel enables 0 and 2.
    EXPECT_EQ(Modulate_GetAD9789Reg(5), 0x05u);
    // Tuning word of 474000 kHz: 15412402 = 0xEB2CB2, low byte first.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0A), 0xB2u);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0B), 0x2Cu);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0C), 0xEBu);
    // Band centre 486000 kHz: 16456 = 0x4048.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1C), 0x48u);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1D), 0x40u);
    // Rate converter for 6875 kBd: 15257058 = 0xE8CDE2.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x16), 0xE2u);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x17), 0xCDu);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x18), 0xE8u);
    // Gains of 474..498 MHz (band 5) on hardware version 0, and the update strobe last.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x25), 84u);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1E), 0x80u);
    // Power-level type 0 in DVB-C: the attenuator sets the level.
    EXPECT_EQ(Modulate_GetAD9789Reg(8), 0x0Du);
}

TEST_F(RfApply, SlavePayloadEqualsTheSavedModulationBlock)
{
    g_u32ModulationMode = 3;
    TParameter_DTMB set = DvbcSet();
    for (int n = 0; n < 4; n++)
        set.OutputPow[n] = 77;
    set.u32Enable[1] = 1;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);

    TParameter_DTMB sent;
    DTMB_GetSlaveSendBuffer(&sent);
    std::string file;
    ASSERT_TRUE(plat::ReadFile("/tarvex_data/K9_DTMB.conf", file));
    ASSERT_EQ(file.size(), sizeof(ST_ZR_PARAMS));
    EXPECT_EQ(memcmp(&sent, file.data() + 88, 764), 0);
    EXPECT_EQ(memcmp(&sent, &set, sizeof(set)), 0);
}

// The set for the slave chip is written and read whole: two threads resend
// two different live sets while a third reads the copy and the message queued
// for the slave; each is one set or the other, never parts of both.
TEST_F(RfApply, SlaveCopyIsNeverHalfOfTwoSets)
{
    TParameter_DTMB a, b;
    memset(&a, 0x00, sizeof(a));
    memset(&b, 0xFF, sizeof(b));
    auto whole = [&](const void* p) { return memcmp(p, &a, sizeof(a)) == 0 || memcmp(p, &b, sizeof(b)) == 0; };
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    auto resend = [&](int phase) {
        for (int i = 0; i < 20000; i++) {
            {
                CARD_STATE_LOCK();
                *GetDTMBPara_Handle() = (i + phase) % 2 ? a : b;
            }
            DTMB_ResendCurPara();
        }
    };
    {
        CARD_STATE_LOCK();
        *GetDTMBPara_Handle() = a;
    }
    DTMB_ResendCurPara();
    std::thread reader([&] {
        TParameter_DTMB copy;
        std::vector<U8> queued;
        while (!done) {
            DTMB_GetSlaveSendBuffer(&copy);
            torn += !whole(&copy);
            if (SlaveLink_Pending(ZR_COM_MAC_CMD_PARAMS_QAM, &queued))
                torn += queued.size() != sizeof(a) || !whole(queued.data());
        }
    });
    std::thread w1(resend, 0), w2(resend, 1);
    w1.join();
    w2.join();
    done = true;
    reader.join();
    EXPECT_EQ(torn, 0);
    {
        CARD_STATE_LOCK();
        *GetDTMBPara_Handle() = savedLive_;
    }
    DTMB_ResendCurPara();
}

TEST_F(RfApply, SlaveProgramsItsOwnChannelsWithItsOffset)
{
    g_u32ModulationMode = 3;
    U32 savedChip = Reg(17);
    simboard::PokeReg(17, 1);
    FPGA_CheckChipType();
    TParameter_DTMB set = DvbcSet();
    set.u32Enable[5] = 1;
    set.u32Enable[7] = 3;  // only bit 0 counts
    EXPECT_EQ(SetDTMB_CurPara_Slave(&set), ZR_SUCCESS);
    simboard::PokeReg(17, savedChip);
    FPGA_CheckChipType();

    for (U32 n = 0; n < 4; n++)
        EXPECT_EQ(simboard::TSRateWord(n), 0u);
    for (U32 n = 4; n < 8; n++)
        EXPECT_EQ(simboard::TSRateWord(n), 0xD0000000u | 10795u);
    EXPECT_EQ(Modulate_GetAD9789Reg(5), 0x0Au);
    // Tuning word of channel 4's 578000 kHz.
    DWORD ftw = 0;
    Modulate_SetFrequency(578000, &ftw);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0A), ftw & 0xFF);
}

TEST_F(RfApply, DvbcSpacingFollowsTheCurrentBandwidth)
{
    g_u32ModulationMode = 3;
    TParameter_DTMB set = DvbcSet();
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    for (int n = 0; n < 8; n++)
        set.Bandwidth_Sel[n] = _6M_BW;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    const TParameter_DTMB& rec = PARAMS_GetCurParamsHandler()->st_DTMBParams.stDTMBParams;
    EXPECT_EQ(rec.OutputFreq[1], 480000u);
    EXPECT_EQ(rec.OutputFreq[3], 492000u);
    // Centre of 474 + 6 + 3 MHz.
    DWORD fc = 0;
    Modulate_SetCenterFrequency(483000, &fc);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1C), fc & 0xFF);
}

TEST_F(RfApply, OutputLevelOfPowerTypeZero)
{
    TParameter_DTMB set = DvbcSet();
    set.OutputPow[0] = 40;
    g_u32ModulationMode = 0;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    EXPECT_EQ(Modulate_GetAD9789Reg(8), 43u);
    // DTMB: a rate word from the DTMB table (64QAM 0.8, frame head 420).
    EXPECT_EQ(simboard::TSRateWord(0), 0xD0000000u | DTMB_GetTSRateWord(32486, 0.1));

    g_u32ModulationMode = 4;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    EXPECT_EQ(Modulate_GetAD9789Reg(8), 16u);
}

TEST_F(RfApply, NoOutputChannelsSwitchesEveryOutputOff)
{
    g_u32ModulationMode = 3;
    g_u8OutputChannelNum = 0;
    TParameter_DTMB set = DvbcSet();
    for (U32& e : set.u32Enable)
        e = 1;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    EXPECT_EQ(Modulate_GetAD9789Reg(5), 0u);
}

TEST_F(RfApply, AnnexBCoresGetModeInterleaverAndRate)
{
    g_u32ModulationMode = 4;
    TParameter_DTMB set = DvbcSet();
    for (int n = 0; n < 8; n++)
        set.AnnexBIntLeav[n] = PE_QAM_INTERLEAVER_5;
    set.AnnexBQAMMode[1] = ANNEXB_QAM64;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    EXPECT_EQ(Reg(1793), 0xC7659u);
    for (U32 port = 0; port < 4; port++) {
        // 256QAM (bit 1), interleaver 5 in bits 2-5; the mode pulse is over.
        EXPECT_EQ(simboard::CoreRegister(port, 12), 0x2u | (5u << 2)) << "port " << port;
        // PCR initial value with the lost-sync flag reset.
        EXPECT_EQ(simboard::CoreRegister(port, 8), 0x80221C00u) << "port " << port;
    }
    // Channel 1 runs the constellation of the chip's one core, and says so.
    EXPECT_EQ(simboard::TSRateWord(0), 0xD0000000u | 10490u);
    EXPECT_EQ(simboard::TSRateWord(1), 0xD0000000u | 10490u);
    EXPECT_EQ(GetDTMBPara_Handle()->AnnexBQAMMode[1], ANNEXB_QAM256);
    // The filter follows channel 0's 256QAM.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1B), 0x87u);
    EXPECT_EQ(Modulate_GetAD9789Reg(7), 1u);
}

TEST_F(RfApply, IsdbtCoreWords)
{
    g_u32ModulationMode = 5;
    TParameter_DTMB set = DvbcSet();
    set.u8FFTMode[0] = 3;
    set.u8GImode[0] = 2;
    set.u8ISDBTQAMMode[0] = 3;
    set.u8ConvolutionalCodeRate[0] = 1;
    set.u8SegmentMode[0] = 13;
    set.QAMMod[0] = (eDVBC_QAM_Mod_Para)9;
    simboard::PokeReg(2055, 0xFF);
    simboard::PokeReg(2056, 0xFFFF);
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    EXPECT_EQ(Reg(2055), 0x0Fu | 0xC0u | 0x20u);
    EXPECT_EQ(Reg(2056), 0xF0u | 0x3000u | 0x100u | 0xDu);
    EXPECT_EQ(Reg(2064), 1668u);
    EXPECT_EQ(Reg(2076), 456u);
    EXPECT_EQ(Reg(1540), 4u);  // an unknown constellation loads 4
}

TEST(RfCores, WindowReachesOnePortAtATime)
{
    Modulate_WriteIpCoreReg(2, 0x12345678, 0x40);
    Modulate_WriteIpCoreReg(3, 0x9, 0x40);
    EXPECT_EQ(Modulate_ReadIpCoreReg(2, 0x40), 0x12345678u);
    EXPECT_EQ(Modulate_ReadIpCoreReg(3, 0x40), 0x9u);
    EXPECT_EQ(simboard::CoreRegister(1, 0x40), 0u);
    // Ports beyond the chip's four are refused.
    Modulate_WriteIpCoreReg(4, 0x77, 0x40);
    EXPECT_EQ(Modulate_ReadIpCoreReg(4, 0x40), 0u);

    // Setting the mode clears the interleaver; the interleaver keeps the mode.
    Modulate_QAM_SetInterLeaver(1, 0xE);
    Modulate_QAM_SetMode(1, 0);
    EXPECT_EQ(Modulate_ReadIpCoreReg(1, 12), 0u);
    Modulate_QAM_SetInterLeaver(1, 0x1C);  // only the low four bits count
    EXPECT_EQ(Modulate_ReadIpCoreReg(1, 12), 0xCu << 2);
}

TEST(RfFpga, SmallerOperations)
{
    ISDBT_SetPnseed0(1);
    EXPECT_EQ(Reg(2064), 531u);
    EXPECT_EQ(Reg(2073), 1947u);
    ISDBT_SetPnseed0(2);
    EXPECT_EQ(Reg(2064), 1166u);

    AnnexB_SetMuxBitrate(ANNEXB_QAM256);
    EXPECT_EQ(Reg(870), 8549u);
    AnnexB_SetMuxBitrate(ANNEXB_QAM_INVALID);
    EXPECT_EQ(Reg(870), 12494u);
}

TEST(RfFpga, IPMonitorOutput)
{
    ST_ZR_PARAMS saved = *PARAMS_GetCurParamsHandler();
    EXPECT_EQ(SetQAM_IPMonitor(nullptr), ZR_ERR_PARAMS);

    QAM_IPMonitorPara p = {};
    p.u8Enable = 1;
    p.u8Channel = 2;
    p.u16DestPort = 1234;
    p.u32DestIPAddr = 0xE30A145A;
    p.u16IP1MaxRate = 40;
    EXPECT_EQ(SetQAM_IPMonitor(&p), ZR_SUCCESS);
    EXPECT_EQ(Reg(309), 0u);
    EXPECT_EQ(Reg(290), 0x01005E0Au);
    EXPECT_EQ(Reg(291), 1234u | (0xE30A145Au << 16));
    EXPECT_EQ(Reg(833), 2u);
    EXPECT_EQ(Reg(845), (U32)(40.0 * 22180.85));
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_IPMonitorParams.stIPMonitorParams.u8Channel, 2);

    // Switched off: only the output register changes, nothing is saved.
    QAM_IPMonitorPara off = p;
    off.u8Enable = 0;
    off.u8Channel = 5;
    EXPECT_EQ(SetQAM_IPMonitor(&off), ZR_SUCCESS);
    EXPECT_EQ(Reg(309), 1u);
    EXPECT_EQ(Reg(833), 2u);
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_IPMonitorParams.stIPMonitorParams.u8Channel, 2);

    // A channel the card does not have is refused.
    QAM_IPMonitorPara bad = p;
    bad.u8Channel = 8;
    simboard::PokeReg(309, 7);
    EXPECT_EQ(SetQAM_IPMonitor(&bad), ZR_ERR_PARAMS);
    EXPECT_EQ(Reg(309), 7u);
    *PARAMS_GetCurParamsHandler() = saved;
}

TEST(RfChips, AtscLayoutWithoutEnabledChannelsProgramsNothing)
{
    Modulate_SetAD9789Reg(0x0A, 0x5A);
    DWORD f[4] = {57000, 63000, 69000, 79000};
    EXPECT_EQ(Modulate_QAM_SetFrequency_ATSC(0, f, 0, SPI_BUS_1), -2);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0A), 0x5Au);
    DWORD high[4] = {57000, 1000001, 69000, 79000};
    EXPECT_EQ(Modulate_QAM_SetFrequency_ATSC(0, high, 0xF, SPI_BUS_1), -2);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0A), 0x5Au);
    // Centre of the enabled channels 0 and 3: (57000 + 79000) / 2.
    EXPECT_EQ(Modulate_QAM_SetFrequency_ATSC(0, f, 0x9, SPI_BUS_1), 0);
    EXPECT_EQ(s_ulCenterFrequency, 68ul);
}

TEST(RfChips, FrequencyAboveTheLimitWritesNothing)
{
    Modulate_SetAD9789Reg(0x0A, 0x33);
    EXPECT_EQ(Modulate_QAM_SetFrequency(0, 1000001, 0, SPI_BUS_1), -2);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x0A), 0x33u);
}

TEST(RfChips, PowerUpInDvbcLeavesRegister6)
{
    U32 saved = g_u32ModulationMode;
    g_u32ModulationMode = 3;
    Modulate_SetAD9789Reg(6, 0x55);
    Modulate_QAM_ConfigAD9789_up(SPI_BUS_1);
    EXPECT_EQ(Modulate_GetAD9789Reg(6), 0x55u);
    EXPECT_EQ(Modulate_GetAD9789Reg(0x21), 0x6Bu);
    g_u32ModulationMode = 0;
    Modulate_QAM_ConfigAD9789_up(SPI_BUS_1);
    EXPECT_EQ(Modulate_GetAD9789Reg(6), 0x98u);
    g_u32ModulationMode = saved;
}

TEST(RfDebug, LocalAccessAndWriteOnlyChips)
{
    ASSERT_EQ(RF_WriteAD9789Debug(0, 0x25, 0x177), PE_SUCCESS);
    U8 v = 0;
    ASSERT_EQ(RF_ReadAD9789Debug(0, 0x25, &v), PE_SUCCESS);
    EXPECT_EQ(v, 0x77);
    EXPECT_EQ(RF_ReadAD9789Debug(0, 0x2000, &v), PE_ERR_FAILURE);
    EXPECT_EQ(RF_ReadAD9789Debug(0, 0x25, nullptr), PE_ERR_FAILURE);

    U8 keep = 0xA5;
    EXPECT_EQ(RF_ReadADF4351Debug(0, 2, &keep), PE_SUCCESS);
    EXPECT_EQ(RF_ReadRFDA0016Debug(1, 0, &keep), PE_SUCCESS);
    EXPECT_EQ(keep, 0xA5);
}

TEST(RfDebug, SlaveReadReturnsTheLowByteOfTheAnswer)
{
    ChipLinkStandIn slave;
    // Stand in for the chip-link handler of the slave's answer.
    std::thread answer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        {
            std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
            stSlaveRegInfo.u32SlaveAD9789RegVal = 0x1234;
        }
        sem_post(&g_stReadRegVal_Sem);
    });
    U8 v = 0;
    EXPECT_EQ(RF_ReadAD9789Debug(1, 0x08, &v), PE_SUCCESS);
    answer.join();
    EXPECT_EQ(v, 0x34);
    EXPECT_EQ(stSlaveRegInfo.u8RegType, 1);
    EXPECT_EQ(stSlaveRegInfo.u32SlaveAD9789RegAdd, 0x08u);
}

TEST(RfDebug, SlaveThatNeverAnswersFailsInBoundedTime)
{
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RF_WriteADF4351Debug(1, 4, 0x9C85FC), PE_ERR_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
    EXPECT_EQ(stSlaveRegInfo.u8RegType, 3);
    EXPECT_EQ(stSlaveRegInfo.u32SlaveADF4351RegVal, 0x9C85FCu);

    U8 saved = SLAVE_CHIP_IS_EXIST;
    SLAVE_CHIP_IS_EXIST = 0;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RF_WriteRFDA0016Debug(1, 0, 0x3F), PE_ERR_FAILURE);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(1));
    SLAVE_CHIP_IS_EXIST = saved;
}

namespace {

// Lines appended to trace/spi.log since a mark.
class SpiTrace {
public:
    SpiTrace() { start_ = Read().size(); }
    std::vector<std::string> Lines() const
    {
        std::string all = Read();
        std::vector<std::string> out;
        size_t pos = start_;
        while (pos < all.size()) {
            size_t end = all.find('\n', pos);
            if (end == std::string::npos)
                end = all.size();
            out.push_back(all.substr(pos, end - pos));
            pos = end + 1;
        }
        return out;
    }

private:
    static std::string Read()
    {
        std::string s;
        plat::ReadFile("/trace/spi.log", s);
        return s;
    }
    size_t start_;
};

std::vector<std::string> Matching(const std::vector<std::string>& lines, const std::string& what)
{
    std::vector<std::string> out;
    for (const std::string& l : lines)
        if (l.find(what) != std::string::npos)
            out.push_back(l.substr(l.find(what)));
    return out;
}

const std::vector<std::string> kSynthWords = {
    "ADF4351 R5 := 0x00400005", "ADF4351 R4 := 0x009c85fc", "ADF4351 R3 := 0x00000003",
    "ADF4351 R2 := 0x00006e42", "ADF4351 R1 := 0x0800a711", "ADF4351 R0 := 0x004d2060",
};

}  // namespace

TEST(RfStartup, SynthesiserGetsR5ToR0InEveryMode)
{
    U32 saved = g_u32ModulationMode;
    for (U32 mode : {0u, 1u, 3u, 4u, 5u, 6u}) {
        g_u32ModulationMode = mode;
        SpiTrace trace;
        simboard::PokeReg(23, 0);
        EXPECT_EQ(adf4351_init(SPI_BUS_1), 0);
        EXPECT_EQ(Reg(23), 4u);
        EXPECT_EQ(Matching(trace.Lines(), "ADF4351"), kSynthWords) << "mode " << mode;
    }
    g_u32ModulationMode = saved;
}

TEST(RfStartup, MasterBringsTheChainUpAndAppliesTheLiveSet)
{
    U32 savedMode = g_u32ModulationMode;
    TParameter_DTMB savedLive = *GetDTMBPara_Handle();
    ST_ZR_PARAMS savedRecord = *PARAMS_GetCurParamsHandler();
    g_u32ModulationMode = 1;
    Master_DTMB_Init_Parmeter();
    GetDTMBPara_Handle()->u32Enable[3] = 1;
    GetDTMBPara_Handle()->Bandwidth_Sel[0] = _7M_BW;

    SpiTrace trace;
    EXPECT_EQ(RF_Config_Master(), PE_SUCCESS);
    std::vector<std::string> lines = trace.Lines();
    ASSERT_FALSE(lines.empty());
    // The synthesiser first, then the DAC's power-up from its first word.
    EXPECT_EQ(Matching(lines, "ADF4351"), kSynthWords);
    std::vector<std::string> dac = Matching(lines, "AD9789 write");
    ASSERT_FALSE(dac.empty());
    EXPECT_EQ(dac.front(), "AD9789 write 0x0000 := 0x18");
    EXPECT_EQ(dac.back(), "AD9789 write 0x001e := 0x80");
    size_t lastSynth = 0, firstDac = lines.size();
    for (size_t i = 0; i < lines.size(); i++) {
        if (lines[i].find("ADF4351") != std::string::npos)
            lastSynth = i;
        if (lines[i].find("AD9789 write") != std::string::npos && firstDac == lines.size())
            firstDac = i;
    }
    EXPECT_LT(lastSynth, firstDac);

    EXPECT_EQ(Reg(1033), 1536u);  // DVB-T
    EXPECT_EQ(Modulate_GetAD9789Reg(5), 0x08u);
    // 7 MHz DVB-T filter and its channel spacing.
    EXPECT_EQ(Modulate_GetAD9789Reg(0x1B), 0x6Au);
    EXPECT_EQ(PARAMS_GetCurParamsHandler()->st_DTMBParams.stDTMBParams.OutputFreq[1], 481000u);

    *GetDTMBPara_Handle() = savedLive;
    *PARAMS_GetCurParamsHandler() = savedRecord;
    g_u32ModulationMode = savedMode;
}

TEST_F(RfApply, SlaveGainFollowsItsOwnHardwareVersionPins)
{
    // Hardware version 1 on the pins; the master has not told the slave yet.
    simboard::Profile* prof = simboard::GetProfile();
    ASSERT_NE(prof, nullptr);
    U32 saved[3] = {prof->hwVersionPins[0], prof->hwVersionPins[1], prof->hwVersionPins[2]};
    prof->hwVersionPins[0] = 1;
    prof->hwVersionPins[1] = 0;
    prof->hwVersionPins[2] = 0;
    U32 savedCmp = g_HWVersionSlaveCmp;
    g_HWVersionSlaveCmp = 0;
    g_u32ModulationMode = 3;
    U32 savedChip = Reg(17);
    simboard::PokeReg(17, 1);
    FPGA_CheckChipType();
    TParameter_DTMB set = DvbcSet();
    set.OutputFreq[4] = 474000;  // band 451-549 MHz
    EXPECT_EQ(SetDTMB_CurPara_Slave(&set), ZR_SUCCESS);
    simboard::PokeReg(17, savedChip);
    FPGA_CheckChipType();
    g_HWVersionSlaveCmp = savedCmp;
    for (int i = 0; i < 3; i++)
        prof->hwVersionPins[i] = saved[i];
    EXPECT_EQ(Modulate_GetAD9789Reg(0x25), 20u);
}

// A symbol rate whose rate in Bd is beyond an int: the master's own set is
// programmed with its conversions clamped (the sanitizer build stops on an
// out-of-range conversion), and a set from the master is brought below the
// limit before the slave stores it.
TEST_F(RfApply, OversizeSymbolRateProgramsWithoutOverflow)
{
    g_u32ModulationMode = 3;
    TParameter_DTMB set = DvbcSet();
    set.SymbolRate[0] = 3000000;
    set.SymbolRate[4] = 0xFFFFFFFF;
    ASSERT_EQ(SetDTMB_CurPara(&set), ZR_SUCCESS);
    ASSERT_EQ(SetDTMB_CurPara_Slave(&set), ZR_SUCCESS);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[0], DTMB_SYMBOLRATE_MAX);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[4], DTMB_SYMBOLRATE_MAX);
    EXPECT_EQ(GetDTMBPara_Handle()->SymbolRate[1], 6875u);
}
