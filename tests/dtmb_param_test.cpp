// Payload bit rates against the broadcast standards, and the factory values
// of the modulation sets.
#include "DTMB/dtmb_param.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "StatusProcess/resource.h"
#include <cmath>
#include <cstring>
#include <gtest/gtest.h>

namespace {

// The integer part of an exactly computed rate. Where the exact value lies
// within a hair of an integer, the firmware's rounded constants may land on
// either side; both are accepted there and only there.
void ExpectTruncated(U32 got, double exact, const char* what)
{
    double whole = std::floor(exact);
    double frac = exact - whole;
    if (frac < 1e-4 || frac > 1 - 1e-4)
        EXPECT_NEAR((double)got, std::round(exact), 1.0) << what << " exact " << exact;
    else
        EXPECT_EQ(got, (U32)whole) << what << " exact " << exact;
}

// Keeps the card's modulation mode and the back board's record as a test found them.
class ModeGuard {
public:
    ModeGuard() : mode_(g_u32ModulationMode), bb_(*Resource_GetHandle(SLOT_BB)) {}
    ~ModeGuard()
    {
        g_u32ModulationMode = mode_;
        *Resource_GetHandle(SLOT_BB) = bb_;
    }

private:
    U32 mode_;
    TResource_TS bb_;
};

}  // namespace

// GB 20600: 7.56 MSymbol/s; a signal frame is a frame header of 420, 595 or
// 945 symbols plus a 3780-symbol body of which 3744 carry one 7488-bit LDPC
// block; the payload per block is 3008, 4512 or 6016 bits (BCH included) for
// code rates 0.4, 0.6, 0.8. 4QAM-NR sends 0.8-coded bits through the (8,16)
// NR code: one payload bit per two channel bits.
TEST(BitRate, DtmbAgainstFrameStructure)
{
    struct Conste { U32 bitsPerSymbol; U32 payloadPerBlock; };
    const Conste kConste[11] = {
        {1, 6016}, {2, 3008}, {2, 4512}, {2, 6016}, {4, 3008}, {4, 4512},
        {4, 6016}, {5, 6016}, {6, 3008}, {6, 4512}, {6, 6016},
    };
    const U32 kHeader[5] = {420, 420, 595, 945, 945};
    for (U32 c = 0; c <= 10; c++) {
        for (U32 h = 0; h <= 4; h++) {
            double framesPerSec = 7.56e6 / (3780.0 + kHeader[h]);
            double bitsPerFrame = 3744.0 * kConste[c].bitsPerSymbol * kConste[c].payloadPerBlock / 7488.0;
            double exact = framesPerSec * bitsPerFrame / 1000.0;
            U32 got = 0xDEAD;
            ASSERT_EQ(DTMB_GetConsteModRate((eDTMB_Conste_Mod_Para)c, (eDTMB_FramHead_Mod_Para)h, &got), ZR_SUCCESS);
            ExpectTruncated(got, exact, ("DTMB c=" + std::to_string(c) + " h=" + std::to_string(h)).c_str());
        }
    }
    U32 r = 0;
    DTMB_GetConsteModRate(_64_QAM_LDPC_0_8, _420_VARIABLE, &r);
    EXPECT_EQ(r, 32486u);
    DTMB_GetConsteModRate(_64_QAM_LDPC_0_8, _595_FIXED, &r);
    EXPECT_EQ(r, 31186u);
    DTMB_GetConsteModRate(_64_QAM_LDPC_0_8, _945_VARIABLE, &r);
    EXPECT_EQ(r, 28876u);
}

TEST(BitRate, DtmbOutOfRangeGivesZero)
{
    U32 r = 1;
    EXPECT_EQ(DTMB_GetConsteModRate(_4_QAM_NR_LDPC_0_8, (eDTMB_FramHead_Mod_Para)5, &r), ZR_SUCCESS);
    EXPECT_EQ(r, 0u);
    r = 1;
    EXPECT_EQ(DTMB_GetConsteModRate((eDTMB_Conste_Mod_Para)11, _420_FIXED, &r), ZR_SUCCESS);
    EXPECT_EQ(r, 0u);
    r = 1;
    EXPECT_EQ(DTMB_GetConsteModRate((eDTMB_Conste_Mod_Para)0xFFFFFFFF, _420_FIXED, &r), ZR_SUCCESS);
    EXPECT_EQ(r, 0u);
}

// ITU-T J.83 Annex A: payload = symbol rate x log2(M) x 188/204.
TEST(BitRate, DvbcAgainstAnnexA)
{
    const U32 kRates[] = {1000, 3456, 5000, 5057, 6875, 6900, 6952, 7000};
    const double kOrder[5] = {16, 32, 64, 128, 256};
    for (U32 sr : kRates) {
        for (U32 q = 0; q <= 4; q++) {
            double exact = sr * std::log2(kOrder[q]) * 188.0 / 204.0;
            U32 got = 0;
            ASSERT_EQ(DVBC_GetConsteModRate(sr, (eDVBC_QAM_Mod_Para)q, &got), ZR_SUCCESS);
            ExpectTruncated(got, exact, ("DVB-C sr=" + std::to_string(sr) + " q=" + std::to_string(q)).c_str());
        }
    }
    U32 r = 0;
    DVBC_GetConsteModRate(6875, _64QAM, &r);
    EXPECT_EQ(r, 38014u);
    DVBC_GetConsteModRate(6875, _256QAM, &r);
    EXPECT_EQ(r, 50686u);
}

// EN 300 744: elementary period T = 7/64 us at 8 MHz (1/8 at 7 MHz, 7/48 at
// 6 MHz); 1512 payload carriers per 2048 T symbol in 2K mode (the ratio is the
// same in 8K), outer code 188/204.
TEST(BitRate, DvbtAgainstEn300744)
{
    const double kT[3] = {7.0 / 48.0, 1.0 / 8.0, 7.0 / 64.0};  // 6, 7, 8 MHz, microseconds
    const double kBits[3] = {2, 4, 6};
    const double kGuard[4] = {1.0 / 32, 1.0 / 16, 1.0 / 8, 1.0 / 4};
    const double kCode[5] = {1.0 / 2, 2.0 / 3, 3.0 / 4, 5.0 / 6, 7.0 / 8};
    for (U32 bw = 0; bw < 3; bw++)
        for (U32 g = 0; g < 4; g++)
            for (U32 q = 0; q < 3; q++)
                for (U32 cr = 0; cr < 5; cr++) {
                    double symbolUs = 2048 * kT[bw] * (1 + kGuard[g]);
                    double exact = 1512 * kBits[q] * kCode[cr] * 188.0 / 204.0 / symbolUs * 1000.0;
                    U32 got = 0;
                    ASSERT_EQ(DVBT_GetConsteModRate((eDVBT_Bandwidth_Sel)bw, (eDVBT_GuardInterval_Size_Para)g,
                                                    (eDVBT_QAM_Mod_Para)q, (eDVBT_Code_Mod_Para)cr, &got),
                              ZR_SUCCESS);
                    // The firmware's constant 0.680377 is rounded to six places.
                    EXPECT_NEAR((double)got, exact, 1.0) << bw << g << q << cr;
                }
    U32 r = 0;
    DVBT_GetConsteModRate(_8M_BW, _GadInt_1_4, _64_QAM, _CODE_2_3, &r);
    EXPECT_EQ(r, 19905u);
    DVBT_GetConsteModRate(_8M_BW, _GadInt_1_32, _64_QAM, _CODE_2_3, &r);
    EXPECT_EQ(r, 24128u);  // EN 300 744 table: 24.13 Mbit/s
}

// ARIB STD-B31, 6 MHz, mode 1: 13 segments of 96 payload carriers, useful
// symbol 252 us, 204 symbols per frame with RS 188/204.
TEST(BitRate, IsdbtAgainstAribB31)
{
    const double kBits[4] = {2, 2, 4, 6};
    const double kCode[5] = {1.0 / 2, 2.0 / 3, 3.0 / 4, 5.0 / 6, 7.0 / 8};
    for (U8 q = 0; q < 4; q++)
        for (U8 cr = 0; cr < 5; cr++)
            for (U8 g = 0; g < 4; g++) {
                double guard = 1.0 / (4 << g);  // 1/4, 1/8, 1/16, 1/32
                double exact = 13 * 96 * kBits[q] * kCode[cr] * 188.0 / 204.0 / (252e-6 * (1 + guard)) / 1000.0;
                U32 got = 0;
                ASSERT_EQ(ISDBT_GetConsteModRate(q, cr, g, &got), ZR_SUCCESS);
                ExpectTruncated(got, exact, "ISDB-T");
            }
    U32 r = 0;
    ISDBT_GetConsteModRate(1, 0, 0, &r);
    EXPECT_EQ(r, 3651u);
    ISDBT_GetConsteModRate(3, 4, 3, &r);
    EXPECT_EQ(r, 23234u);
}

TEST(BitRate, IsdbtClampsOutOfRangeIndexes)
{
    U32 top = 0, got = 0;
    ISDBT_GetConsteModRate(3, 4, 3, &top);
    ASSERT_EQ(ISDBT_GetConsteModRate(200, 250, 255, &got), ZR_SUCCESS);
    EXPECT_EQ(got, top);
    ASSERT_EQ(ISDBT_GetConsteModRate(0, 5, 0, &got), ZR_SUCCESS);
    U32 sevenEighths = 0;
    ISDBT_GetConsteModRate(0, 4, 0, &sevenEighths);
    EXPECT_EQ(got, sevenEighths);
}

TEST(BitRate, FixedRatesOfAnnexBAnd8vsb)
{
    // J.83 Annex B: trellis 14/15 (64-QAM) or 19/20 (256-QAM); an FEC frame
    // holds 60 (88) RS(128,122) blocks of 7-bit symbols plus a 42 (40) bit sync.
    double qam64 = 5.056941e6 * 6 * 14 / 15 * (60.0 * 122 * 7) / (60.0 * 128 * 7 + 42) / 1000;
    double qam256 = 5.360537e6 * 8 * 19 / 20 * (88.0 * 122 * 7) / (88.0 * 128 * 7 + 40) / 1000;
    EXPECT_EQ(ANNEXB_QAM64_BITRATE, (U32)qam64);
    EXPECT_EQ(ANNEXB_QAM256_BITRATE, (U32)qam256);
    // ATSC A/53: 10.762238 MBd, 832-symbol segments each carrying one 188-byte
    // packet, one field-sync segment in 313. The card's fixed figure is 0.05 %
    // below the nominal rate.
    double vsb = 10.762238e6 / 832 * 312 / 313 * 188 * 8 / 1000;
    EXPECT_NEAR((double)ATSC_8VSB_BITRATE, vsb, vsb * 0.001);
    EXPECT_EQ(ATSC_8VSB_BITRATE, 19383u);
}

TEST(BitRate, NullOutputIsRefusedAndNothingWritten)
{
    EXPECT_EQ(DTMB_GetConsteModRate(_64_QAM_LDPC_0_8, _420_FIXED, nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(DVBC_GetConsteModRate(6875, _64QAM, nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(DVBT_GetConsteModRate(_8M_BW, _GadInt_1_4, _64_QAM, _CODE_2_3, nullptr), ZR_ERR_PARAMS);
    EXPECT_EQ(ISDBT_GetConsteModRate(3, 4, 3, nullptr), ZR_ERR_PARAMS);
}

TEST(Defaults, MasterPerModeAndSIMode)
{
    ModeGuard guard;
    const U32 k8M[8] = {474000, 482000, 490000, 498000, 578000, 586000, 594000, 602000};
    const U32 k6M[8] = {474000, 480000, 486000, 492000, 578000, 584000, 590000, 596000};
    const U32 kAtsc[8] = {57000, 63000, 69000, 79000, 177000, 183000, 189000, 195000};
    struct Case {
        U32 mode;
        U8 bbStandard;
        const U32* freq;
        U32 symbolRate;
        U32 bandwidth;
        U32 atsc;
        U8 pow;  // power-level type 0 hardware
    } cases[] = {
        {0, 0, k8M, 6875, 2, 0, 40},  {1, 0, k8M, 6875, 2, 0, 63},   {3, 0, k8M, 6875, 2, 0, 38},
        {4, 0, k6M, 5361, 0, 1, 40},  {4, 1, kAtsc, 5361, 0, 1, 40}, {5, 0, k6M, 5361, 0, 0, 63},
        {6, 0, kAtsc, 6875, 2, 0, 38},
    };
    for (const Case& c : cases) {
        g_u32ModulationMode = c.mode;
        Resource_GetHandle(SLOT_BB)->u8Standard = c.bbStandard;
        TParameter_DTMB* p = GetDTMBPara_Handle();
        memset(p, 0xA5, sizeof(*p));
        Master_DTMB_Init_Parmeter();
        for (int ch = 0; ch < 8; ch++) {
            EXPECT_EQ(p->OutputFreq[ch], c.freq[ch]) << "mode " << c.mode << " ch " << ch;
            EXPECT_EQ(p->SymbolRate[ch], c.symbolRate);
            EXPECT_EQ((U32)p->Bandwidth_Sel[ch], c.bandwidth);
            EXPECT_EQ(p->OutputPow[ch], c.pow) << "mode " << c.mode;
            EXPECT_EQ(p->u32Enable[ch], 0u);  // every output off until enabled
            EXPECT_EQ(p->ConsteMod[ch], _64_QAM_LDPC_0_8);
            EXPECT_EQ(p->IntLeav[ch], _240_INTLEAV);
            EXPECT_EQ(p->DVBT_CodeMod[ch], _CODE_7_8);
            EXPECT_EQ(p->AnnexBQAMMode[ch], ANNEXB_QAM256);
            EXPECT_EQ(p->u8SegmentMode[ch], 13);
            EXPECT_EQ(p->u8InsertPSIEnable[ch], 1);
        }
        EXPECT_EQ(p->u32ATSCChannelMode, c.atsc);
        // Reserved words and the padding byte are cleared, not left over.
        EXPECT_EQ(p->u8Pad, 0);
        for (U32 w : p->u32Res)
            EXPECT_EQ(w, 0u);
    }
}

TEST(Defaults, OtherHardwareUsesTheCommonOutputLevel)
{
    ModeGuard guard;
    simboard::Profile* prof = simboard::GetProfile();
    ASSERT_NE(prof, nullptr);
    U32 saved[3] = {prof->hwVersionPins[0], prof->hwVersionPins[1], prof->hwVersionPins[2]};
    prof->hwVersionPins[0] = 1;  // hardware version 3: power-level type 2
    prof->hwVersionPins[1] = 1;
    prof->hwVersionPins[2] = 0;
    for (U32 mode : {0u, 1u, 3u, 4u, 5u, 6u}) {
        g_u32ModulationMode = mode;
        Master_DTMB_Init_Parmeter();
        for (int ch = 0; ch < 8; ch++)
            EXPECT_EQ(GetDTMBPara_Handle()->OutputPow[ch], 40) << "mode " << mode;
    }
    prof->hwVersionPins[0] = 0;  // hardware version 4: power-level type 0
    prof->hwVersionPins[1] = 0;
    prof->hwVersionPins[2] = 1;
    g_u32ModulationMode = 3;
    Master_DTMB_Init_Parmeter();
    EXPECT_EQ(GetDTMBPara_Handle()->OutputPow[0], 38);
    for (int i = 0; i < 3; i++)
        prof->hwVersionPins[i] = saved[i];
}

TEST(Defaults, SlaveIgnoresSIMode)
{
    ModeGuard guard;
    g_u32ModulationMode = 4;
    Resource_GetHandle(SLOT_BB)->u8Standard = 1;
    Slave_DTMB_Init_Parmeter();
    const TParameter_DTMB* p = GetDTMBPara_Handle();
    const U32 k6M[8] = {474000, 480000, 486000, 492000, 578000, 584000, 590000, 596000};
    EXPECT_EQ(0, memcmp(p->OutputFreq, k6M, sizeof(k6M)));
    EXPECT_EQ(p->u32ATSCChannelMode, 1u);

    g_u32ModulationMode = 6;
    Slave_DTMB_Init_Parmeter();
    EXPECT_EQ(p->OutputFreq[0], 474000u);
    EXPECT_EQ(p->OutputFreq[7], 602000u);
    EXPECT_EQ(p->SymbolRate[3], 6875u);
    EXPECT_EQ(p->Bandwidth_Sel[3], _8M_BW);
    EXPECT_EQ(p->u32ATSCChannelMode, 1u);
}

TEST(Defaults, IPMonitor)
{
    QAM_IPMonitorPara* m = GetQAMIPMonitor_Handle();
    memset(m, 0, sizeof(*m));
    m->u8Res[3] = 7;
    Init_IPMonitor_Parmeter();
    EXPECT_EQ(m->u16DestPort, 1234);
    EXPECT_EQ(m->u32DestIPAddr, 0xE30A145Au);
    EXPECT_EQ(m->u16IP1MaxRate, 40);
    EXPECT_EQ(m->u16PSIInterval, 100);
    EXPECT_EQ(m->u8TimeGap, 72);
    EXPECT_EQ(m->u8RebootHour, 5);
    EXPECT_EQ(m->u8Res[3], 7);  // reserved bytes are left as they were
}
