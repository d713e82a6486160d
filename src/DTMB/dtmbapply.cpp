// Applying a modulation parameter set: store, save, forward to the slave chip
// and program the FPGA modulator cores, the TS-rate words and the RF chain.
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "DTMB/dtmb_check.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include <cstdio>
#include <cstring>
#include <mutex>

namespace {

// The copy of the set handed to the chip link. It is stored under the
// card-state lock and read by senders that do not hold it, so the buffer has
// its own small lock; sends are serialised by s_sendMutex and always queue
// the newest stored set.
TParameter_DTMB s_DTMBParaSendBuf;
std::mutex s_sendBufMutex;
std::mutex s_sendMutex;

constexpr double kMasterRateOffset = 0.1;
constexpr double kSlaveRateOffset = 0.4;
constexpr U32 kTSRatePrefix = 0xD0000000u;
constexpr U32 kTSRateWordMax = 0x0FFFFFFFu;

// FPGA registers of the modulator cores.
enum : U32 {
    REG_DTMB_FRAMEHEAD_LOW = 1027,
    REG_DTMB_FRAMEHEAD_HIGH = 1028,
    REG_DTMB_LDPC = 1029,
    REG_DTMB_INTERLEAVE = 1030,
    REG_DTMB_CONSTELLATION = 1031,
    REG_DTMB_CARRIER = 1032,
    REG_DVBT_LOAD = 1284,
    REG_DVBT_FFT = 1286,
    REG_DVBT_GUARD = 1287,
    REG_DVBT_CODE = 1288,
    REG_DVBT_QAM = 1289,
    REG_QAM_CONSTELLATION = 1540,
    REG_DVBC_CPU_SYNC = 1557,
    REG_ANNEXB_CONST = 1793,
    REG_ISDBT_LOAD = 2054,
    REG_ISDBT_FFT_GI = 2055,
    REG_ISDBT_MOD_CODE = 2056,
    REG_ISDBT_PNSEED0 = 2064,
    REG_TSRATE_LOAD = 864,
    REG_TSRATE_LOAD_CHANNEL = 865,
    REG_TSRATE_STROBE = 868,
    REG_TSRATE_CHANNEL = 869,
    REG_TSRATE_WORD = 870,
    // Window to the J.83 Annex B cores.
    REG_CORE_SELECT = 1816,
    REG_CORE_READ = 1817,
    REG_CORE_WRITE = 1818,
    REG_CORE_ADDRESS = 1819,
    REG_CORE_WDATA = 1820,
    REG_CORE_RDATA = 1821,
};

// Registers inside a J.83 Annex B core.
constexpr U8 CORE_REG_PCR_INIT = 0x08;
constexpr U8 CORE_REG_CONTROL = 0x0C;
constexpr U8 kCorePorts = 4;

void Pulse(U32 reg)
{
    FPGA_REG_Write(reg, 0);
    FPGA_REG_Write(reg, 1);
    FPGA_REG_Write(reg, 0);
}

void DelayMs(U32 ms) { plat::HwDelayUs((U64)ms * 1000); }

// A 0, 1, 0 pulse with a pause after each write.
void PulseSlow(U32 reg, U32 ms)
{
    for (U32 v : {0u, 1u, 0u}) {
        FPGA_REG_Write(reg, v);
        DelayMs(ms);
    }
}

struct ChipSide {
    bool bSlave;
    U32 u32FirstChannel;
    double dRateOffset;
};
constexpr ChipSide kMasterSide = {false, 0, kMasterRateOffset};
constexpr ChipSide kSlaveSide = {true, 4, kSlaveRateOffset};

void SetDTMBCore(const TParameter_DTMB& set, U32 first)
{
    U32 conste = set.ConsteMod[first];
    U32 carr = set.CarrMod[first];
    U32 intleav = set.IntLeav[first];
    U32 head = set.FramHeadMod[first];
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eConsteMod = %d\n", LOG_POS, (int)conste);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eCarrMod = %d\n", LOG_POS, (int)carr);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eInterleaveMod = %d\n", LOG_POS, (int)intleav);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eFramHeadMod = %d\n", LOG_POS, (int)head);

    // (constellation register, LDPC register) by constellation with LDPC rate.
    static const U32 kConste[11][2] = {{0, 2}, {1, 0}, {1, 1}, {1, 2}, {2, 0}, {2, 1},
                                       {2, 2}, {3, 2}, {4, 0}, {4, 1}, {4, 2}};
    const U32* c = kConste[conste <= 10 ? conste : 10];
    FPGA_REG_Write(REG_DTMB_CONSTELLATION, c[0]);
    FPGA_REG_Write(REG_DTMB_LDPC, c[1]);
    FPGA_REG_Write(REG_DTMB_CARRIER, carr <= 1 ? carr : 0);
    FPGA_REG_Write(REG_DTMB_INTERLEAVE, intleav == _240_INTLEAV ? 0 : 1);
    // (high, low) frame-header registers.
    static const U32 kHead[5][2] = {{0, 0}, {0, 1}, {1, 0}, {2, 0}, {2, 1}};
    const U32* h = kHead[head <= 4 ? head : 4];
    FPGA_REG_Write(REG_DTMB_FRAMEHEAD_HIGH, h[0]);
    FPGA_REG_Write(REG_DTMB_FRAMEHEAD_LOW, h[1]);
}

void SetDVBTCore(const TParameter_DTMB& set, U32 first)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d DVBT_FFTSize = %d\n", LOG_POS, (int)set.DVBT_FFTSize[first]);
    FPGA_REG_Write(REG_DVBT_FFT, set.DVBT_FFTSize[first]);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d DVBT_GadIntSize = %d\n", LOG_POS,
               (int)set.DVBT_GadIntSize[first]);
    FPGA_REG_Write(REG_DVBT_GUARD, set.DVBT_GadIntSize[first]);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d DVBT_QAMMod = %d\n", LOG_POS, (int)set.DVBT_QAMMod[first]);
    FPGA_REG_Write(REG_DVBT_QAM, set.DVBT_QAMMod[first]);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d DVBT_CodeMod = %d\n", LOG_POS, (int)set.DVBT_CodeMod[first]);
    FPGA_REG_Write(REG_DVBT_CODE, set.DVBT_CodeMod[first]);
    Pulse(REG_DVBT_LOAD);
}

void SetISDBTCore(const TParameter_DTMB& set, U32 first)
{
    U8 fft = set.u8FFTMode[first];
    U8 gi = set.u8GImode[first];
    U8 qam = set.u8ISDBTQAMMode[first];
    U8 cr = set.u8ConvolutionalCodeRate[first];
    U8 seg = set.u8SegmentMode[first];
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ISDBT eFFTSize = %d\n", LOG_POS, fft);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ISDBT eGIMode = %d\n", LOG_POS, gi);

    U32 v = 0;
    FPGA_REG_Read(REG_ISDBT_FFT_GI, &v);
    v &= 0x0F;
    v |= fft == 2 ? 0x80 : fft == 3 ? 0xC0 : 0x40;
    if (gi >= 1 && gi <= 3)
        v |= (U32)gi << 4;
    FPGA_REG_Write(REG_ISDBT_FFT_GI, v);

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ISDBT eISDBTQAMMode = %d\n", LOG_POS, qam);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ISDBT eConvolutionalCodeRate = %d\n", LOG_POS, cr);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ISDBT eSegmentMode = %d\n", LOG_POS, seg);
    v = 0;
    FPGA_REG_Read(REG_ISDBT_MOD_CODE, &v);
    v &= 0xF0;
    if (qam >= 1)
        v |= (U32)(qam >= 3 ? 3 : qam) << 12;
    if (cr >= 1)
        v |= (U32)(cr >= 4 ? 4 : cr) << 8;
    v |= seg == 1 ? 0x1 : 0xD;
    FPGA_REG_Write(REG_ISDBT_MOD_CODE, v);

    ISDBT_SetPnseed0(fft);
    Pulse(REG_ISDBT_LOAD);
}

void SetAnnexBCores(const TParameter_DTMB& set, U32 first)
{
    U32 qam = set.AnnexBQAMMode[first];
    FPGA_REG_Write(REG_ANNEXB_CONST, qam == ANNEXB_QAM256 ? 0xC7659 : 0x8A402);
    for (U8 port = 0; port < kCorePorts; port++) {
        Modulate_QAM_SetMode(port, (U8)qam);
        DelayMs(10);
    }
    AnnexB_SetMuxBitrate((eANNEXB_QAM_Mod_Para)qam);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eInterleaveMod_AnnexB = %d\n", LOG_POS,
               (int)set.AnnexBIntLeav[first]);
    for (U8 port = 0; port < kCorePorts; port++) {
        Modulate_QAM_SetInterLeaver(port, (U8)set.AnnexBIntLeav[first]);
        DelayMs(10);
    }
}

// Loads one channel's TS-rate word into the FPGA.
void WriteTSRate(U32 channel, U32 word)
{
    FPGA_REG_Write(REG_TSRATE_CHANNEL, channel);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d addr[0x%x],data[0x%x]\n\n", LOG_POS, REG_TSRATE_CHANNEL,
               channel);
    FPGA_REG_Write(REG_TSRATE_WORD, word);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d addr[0x%x],data[0x%x]\n\n", LOG_POS, REG_TSRATE_WORD, word);
    Pulse(REG_TSRATE_STROBE);
    FPGA_REG_Write(REG_TSRATE_LOAD_CHANNEL, channel);
    Pulse(REG_TSRATE_LOAD);
    DelayMs(60);
}

void SetTSRates(const ChipSide& side, const TParameter_DTMB& set)
{
    for (U32 n = side.u32FirstChannel; n < side.u32FirstChannel + 4; n++) {
        U32 rate = DTMB_GetChannelPayloadRate(&set, n);
        WriteTSRate(n, DTMB_GetTSRateWord(rate, side.dRateOffset) | kTSRatePrefix);
    }
    // The other chip's channels carry nothing here.
    U32 other = side.bSlave ? 0 : 4;
    for (U32 n = other; n < other + 4; n++)
        WriteTSRate(n, 0);
}

}  // namespace

bool DTMB_ChannelHasTSRate(const TParameter_DTMB* pstSet, U32 u32Channel)
{
    if (pstSet == nullptr || u32Channel >= DTMB_CHANNEL_NUM)
        return false;
    const ChipSide& side = u32Channel < 4 ? kMasterSide : kSlaveSide;
    return DTMB_GetTSRateWord(DTMB_GetChannelPayloadRate(pstSet, u32Channel), side.dRateOffset) != 0;
}

namespace {

void SetAD9789Filter(const ChipSide& side, const TParameter_DTMB& set)
{
    switch (PARAMS_GetModulationMod()) {
    case 6: {
        static const U8 kAtsc[][2] = {{0x06, 0xD0}, {0x16, 0x00}, {0x17, 0x4B}, {0x18, 0x96}, {0x19, 0x00},
                                      {0x1A, 0x93}, {0x1B, 0x69}, {0x1E, 0x00}, {0x1E, 0x80}};
        for (const auto& w : kAtsc)
            Modulate_SetGetAD9789Reg(w[0], w[1]);
        break;
    }
    case 5:
        DelayMs(3000);
        Modulate_SetGetAD9789Reg(0x06, 0xD0);
        plat::HwDelayUs(1);
        Modulate_SetGetAD9789Reg(0x16, 0x00);
        Modulate_SetGetAD9789Reg(0x17, 0x00);
        Modulate_SetGetAD9789Reg(0x18, 0xC8);
        Modulate_SetGetAD9789Reg(0x19, 0x00);
        Modulate_SetGetAD9789Reg(0x1A, 0x0C);
        Modulate_SetGetAD9789Reg(0x1B, 0xBA);
        plat::HwDelayUs(1);
        Modulate_SetGetAD9789Reg(0x21, 0x7C);
        plat::HwDelayUs(1);
        Modulate_SetGetAD9789Reg(0x23, 0x94);
        plat::HwDelayUs(1);
        Modulate_SetGetAD9789Reg(0x24, 0x00);
        Modulate_SetGetAD9789Reg(0x24, 0x80);
        plat::HwDelayUs(1);
        Modulate_SetGetAD9789Reg(0x29, 0x01);
        Pulse(REG_ISDBT_LOAD);
        break;
    case 1:
        Modulate_AD9789_DVBTFilter(set.Bandwidth_Sel[0]);
        break;
    case 4: {
        Modulate_SetGetAD9789Reg(0x06, 0x81);
        bool q256 = set.AnnexBQAMMode[side.u32FirstChannel] == ANNEXB_QAM256;
        Modulate_SetGetAD9789Reg(0x1B, q256 ? 0x87 : 0x8F);
        Modulate_SetGetAD9789Reg(0x1A, q256 ? 0x63 : 0x84);
        Modulate_SetGetAD9789Reg(0x19, q256 ? 0xB1 : 0x13);
        Modulate_SetGetAD9789Reg(0x18, 0xC0);
        Modulate_SetGetAD9789Reg(0x17, 0x00);
        Modulate_SetGetAD9789Reg(0x16, 0x00);
        break;
    }
    case 0: {
        static const U8 kDtmb[][2] = {{0x06, 0x98}, {0x1B, 0x80}, {0x1A, 0x00}, {0x19, 0x00},
                                      {0x18, 0x80}, {0x17, 0x00}, {0x16, 0x00}};
        for (const auto& w : kDtmb)
            Modulate_SetGetAD9789Reg(w[0], w[1]);
        break;
    }
    default:
        break;
    }
}

// Steps that program this chip from a set already stored. Runs under the
// card-state lock.
void ProgramChip(const ChipSide& side, const TParameter_DTMB& set)
{
    U32 mode = PARAMS_GetModulationMod();
    U32 first = side.u32FirstChannel;

    if (mode == 4) {
        for (U8 port = 0; port < kCorePorts; port++) {
            Modulate_QAM_SetPcrInitReg(port);
            DelayMs(10);
        }
    }

    SetDTMBCore(set, first);
    if (mode == 1)
        SetDVBTCore(set, first);
    if (mode == 5)
        SetISDBTCore(set, first);
    if (mode == 3 || mode == 5) {
        U32 q = (U32)set.QAMMod[first] <= 3 ? (U32)set.QAMMod[first] : 4u;
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d eQAMMod = %d\n", LOG_POS, (int)q);
        FPGA_REG_Write(REG_QAM_CONSTELLATION, q);
    }
    if (mode == 4)
        SetAnnexBCores(set, first);

    if (side.bSlave)
        Modulate_QAM_SetAllPatams_Slave(SPI_BUS_1);
    else
        Modulate_QAM_SetAllPatams(SPI_BUS_1);

    SetTSRates(side, set);

    if (mode == 3 || mode == 5)
        FPGA_DVBC_CPU_SYNC();

    SetAD9789Filter(side, set);

    Modulate_SetGetAD9789Reg(0x1E, 0x00);
    Modulate_SetGetAD9789Reg(0x1E, 0x80);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Set DTMB Patams End!\n\n", LOG_POS);
}

// Makes the set live and saves it; the save's result. The master stores the
// values the card derives as they will run, so that what it shows, saves and
// hands the slave is what is on air; the slave keeps the master's set.
zrErrCode StoreSet(const TParameter_DTMB* ptrDTMBPara, bool bDerive)
{
    TParameter_DTMB* live = GetDTMBPara_Handle();
    if (ptrDTMBPara != live)
        memcpy(live, ptrDTMBPara, sizeof(*live));
    if (bDerive)
        DTMB_NormaliseSet(live);
    return PARAMS_SetDTMBParams(*live);
}

// Queues the newest stored set for the slave chip; its ticket. Read and
// queued in one step, so that of two senders the newer set is queued last.
U64 ForwardToSlave(void)
{
    std::lock_guard<std::mutex> sendLock(s_sendMutex);
    TParameter_DTMB copy;
    {
        std::lock_guard<std::mutex> bufLock(s_sendBufMutex);
        copy = s_DTMBParaSendBuf;
    }
    U64 ticket = SlaveLink_Post(ZR_COM_MAC_CMD_PARAMS_QAM, reinterpret_cast<U8*>(&copy), sizeof(copy));
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_MOD, "%ld:%s:%d set queued for the slave chip\n\n", LOG_POS);
    return ticket;
}

// The master chip programmed from the live set: if another application
// overtook this one, its newer set is the one in force.
void ProgramMaster(void)
{
    CARD_STATE_LOCK();
    TParameter_DTMB local = *GetDTMBPara_Handle();
    ProgramChip(kMasterSide, local);
}

}  // namespace

U32 DTMB_GetTSRateWord(U32 u32RateKbps, double dOffset)
{
    double d = (double)u32RateKbps / 1000.0 - dOffset;
    // No word for a rate at or below the offset: the formula divides by zero
    // or turns negative there.
    if (!(d > 0))
        return 0;
    double w = 2.0 * (40608.0 / d * 5.0);
    if (!(w >= 0))
        return 0;
    // Keep the word clear of the prefix bits.
    if (w >= (double)kTSRateWordMax)
        return kTSRateWordMax;
    return (U32)w;
}

U32 DTMB_GetChannelPayloadRate(const TParameter_DTMB* pstSet, U32 u32Channel)
{
    if (pstSet == nullptr || u32Channel >= DTMB_CHANNEL_NUM)
        return 0;
    const TParameter_DTMB& s = *pstSet;
    U32 n = u32Channel;
    U32 rate = 0;
    switch (PARAMS_GetModulationMod()) {
    case 3:
        DVBC_GetConsteModRate(s.SymbolRate[n], s.QAMMod[n], &rate);
        break;
    case 4:
        // A constellation without a defined rate gets no rate word.
        rate = s.AnnexBQAMMode[n] == ANNEXB_QAM64    ? ANNEXB_QAM64_BITRATE
               : s.AnnexBQAMMode[n] == ANNEXB_QAM256 ? ANNEXB_QAM256_BITRATE
                                                     : 0;
        break;
    case 5:
        if (ISDBT_GetConsteModRate(s.u8ISDBTQAMMode[n], s.u8ConvolutionalCodeRate[n], s.u8GImode[n], &rate) !=
            ZR_SUCCESS)
            rate = 0;
        break;
    case 6:
        rate = ATSC_8VSB_BITRATE;
        break;
    case 1:
        DVBT_GetConsteModRate(s.Bandwidth_Sel[n], s.DVBT_GadIntSize[n], s.DVBT_QAMMod[n], s.DVBT_CodeMod[n], &rate);
        break;
    default:
        DTMB_GetConsteModRate(s.ConsteMod[n], s.FramHeadMod[n], &rate);
        break;
    }
    return rate;
}

void DTMB_GetSlaveSendBuffer(TParameter_DTMB* pstOut)
{
    if (pstOut == nullptr)
        return;
    std::lock_guard<std::mutex> bufLock(s_sendBufMutex);
    *pstOut = s_DTMBParaSendBuf;
}

zrErrCode SetDTMB_CurPara(TParameter_DTMB* ptrDTMBPara)
{
    if (ptrDTMBPara == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d Input Para is NULL\n\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    // A set that could not be saved is applied all the same and stays in the
    // RAM record (the next save that succeeds writes it); the result says so,
    // and the caller decides whether to keep it or put the old one back.
    zrErrCode saved;
    {
        CARD_STATE_LOCK();
        saved = StoreSet(ptrDTMBPara, true);
        std::lock_guard<std::mutex> bufLock(s_sendBufMutex);
        s_DTMBParaSendBuf = *GetDTMBPara_Handle();
    }
    // Queued for the chip link's worker: no one waits for the slave here
    // (a request that answers whether it took the set awaits it).
    ForwardToSlave();
    ProgramMaster();
    return saved == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

zrErrCode SetDTMB_CurPara_Slave(TParameter_DTMB* ptrDTMBPara)
{
    if (ptrDTMBPara == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d Input Para is NULL\n\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    TParameter_DTMB received = *ptrDTMBPara;
    DTMB_CheckParaRange(&received, "set from the master");
    CARD_STATE_LOCK();
    // The master gets no answer to this set: a failed save is in the log.
    zrErrCode saved = StoreSet(&received, false);
    TParameter_DTMB local = *GetDTMBPara_Handle();
    ProgramChip(kSlaveSide, local);
    return saved == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

// The two halves of an application for a caller that edits the live set
// under the card-state lock and must not hold it while the set goes out.
zrErrCode DTMB_StoreCurPara(const TParameter_DTMB* ptrDTMBPara)
{
    if (ptrDTMBPara == nullptr)
        return ZR_ERR_PARAMS;
    CARD_STATE_LOCK();
    zrErrCode rc = StoreSet(ptrDTMBPara, true);
    TParameter_DTMB* live = GetDTMBPara_Handle();
    std::lock_guard<std::mutex> bufLock(s_sendBufMutex);
    s_DTMBParaSendBuf = *live;
    return rc;
}

void DTMB_SendCurPara(void)
{
    ForwardToSlave();
    ProgramMaster();
}

zrErrCode DTMB_SendCurParaAwait(int waitMs)
{
    ForwardToSlave();
    zrErrCode rc = SlaveLink_Await(SlaveLink_Mark(), waitMs);
    ProgramMaster();
    return rc;
}

void DTMB_ResendCurPara(void)
{
    {
        CARD_STATE_LOCK();
        std::lock_guard<std::mutex> bufLock(s_sendBufMutex);
        s_DTMBParaSendBuf = *GetDTMBPara_Handle();
    }
    ForwardToSlave();
}

peErrCode SetDTMB_CurPara_ReConfig(void)
{
    TParameter_DTMB* pstDTMBParam = GetDTMBPara_Handle();
    if (pstDTMBParam == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d pstDTMBParam is NULL\n", LOG_POS);
        return (peErrCode)ZR_ERR_PARAMS;
    }
    // A re-apply at start-up: a failed save is in the log.
    SetDTMB_CurPara(pstDTMBParam);
    return PE_SUCCESS;
}

zrErrCode QAM_SetSingleMode(U8 u8SingleMode)
{
    CARD_STATE_LOCK();
    TParameter_DTMB* live = GetDTMBPara_Handle();
    live->u8SingleMode = u8SingleMode;
    return PARAMS_SetDTMBParams(*live) == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

zrErrCode SetQAM_IPMonitor(QAM_IPMonitorPara* IPMonitorPtr)
{
    if (IPMonitorPtr == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d Input Para is NULL\n\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    QAM_IPMonitorPara p = *IPMonitorPtr;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD,
               "%ld:%s:%d u8Enable = %u u8Channel = %u u32DestIPAddr = 0x%x u16DestPort = %u BitRate = %u\n\n",
               LOG_POS, p.u8Enable, p.u8Channel, p.u32DestIPAddr, p.u16DestPort, p.u16IP1MaxRate);
    CARD_STATE_LOCK();
    if (p.u8Enable == 0) {
        FPGA_REG_Write(309, 1);
        return ZR_SUCCESS;
    }
    if (p.u8Channel >= DTMB_CHANNEL_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d channel %u out of range\n\n", LOG_POS, p.u8Channel);
        return ZR_ERR_PARAMS;
    }
    FPGA_REG_Write(309, 0);
    std::unique_lock<std::mutex> seq(FPGA_SequenceMutex());
    FPGA_REG_Write(289, 0x200);
    FPGA_REG_Write(291, p.u32DestIPAddr);
    PulseSlow(288, 10);
    FPGA_REG_Write(289, 0x300);
    // Multicast MAC 01:00:5E plus the group's third octet.
    FPGA_REG_Write(290, 0x01005E00u | ((p.u32DestIPAddr >> 16) & 0xFF));
    FPGA_REG_Write(291, (U32)p.u16DestPort | (p.u32DestIPAddr << 16));
    PulseSlow(288, 10);
    FPGA_REG_Write(833, p.u8Channel);
    FPGA_REG_Write(834, 135000000);
    seq.unlock();
    FPGA_REG_Write(845, (U32)((double)(float)p.u16IP1MaxRate * 22180.85));
    return PARAMS_SetIPMonitorParams(&p) == ZR_SUCCESS ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

void FPGA_DVBC_CPU_SYNC(void)
{
    PulseSlow(REG_DVBC_CPU_SYNC, 5);
}

peErrCode AnnexB_SetMuxBitrate(eANNEXB_QAM_Mod_Para enQamMode)
{
    FPGA_REG_Write(REG_TSRATE_WORD, enQamMode == ANNEXB_QAM256 ? 0x4F500 / 38 : 0x4F500 / 26);
    return PE_SUCCESS;
}

void ISDBT_SetPnseed0(U8 eISDBTFFTSize)
{
    static const U32 kSeeds[3][13] = {
        {1166, 208, 288, 41, 1220, 531, 1254, 1339, 871, 982, 1108, 2047, 1668},  // mode 2
        {1668, 871, 1511, 1220, 1622, 1166, 605, 41, 582, 1339, 1327, 2047, 456},  // mode 3
        {531, 756, 264, 1339, 41, 930, 111, 982, 208, 1947, 1829, 2047, 1166},     // mode 1
    };
    const U32* seeds = kSeeds[eISDBTFFTSize == 2 ? 0 : eISDBTFFTSize == 3 ? 1 : 2];
    for (U32 k = 0; k < 13; k++)
        FPGA_REG_Write(REG_ISDBT_PNSEED0 + k, seeds[k]);
}

// ---- J.83 Annex B modulator cores ----------------------------------------

void Modulate_WriteIpCoreReg(U8 u8Port, U32 u32data, U8 u8address)
{
    if (u8Port >= kCorePorts)
        return;
    FPGA_REG_Write(REG_CORE_WRITE, 0);
    FPGA_REG_Write(REG_CORE_SELECT, 0);
    FPGA_REG_Write(REG_CORE_ADDRESS, u8address);
    FPGA_REG_Write(REG_CORE_WDATA, u32data);
    FPGA_REG_Write(REG_CORE_SELECT, 1u << u8Port);
    FPGA_REG_Write(REG_CORE_WRITE, 15);
    FPGA_REG_Write(REG_CORE_WRITE, 0);
    FPGA_REG_Write(REG_CORE_SELECT, 0);
}

U32 Modulate_ReadIpCoreReg(U8 u8Port, U8 u8address)
{
    if (u8Port >= kCorePorts)
        return 0;
    U32 value = 0;
    FPGA_REG_Write(REG_CORE_SELECT, 0);
    FPGA_REG_Write(REG_CORE_READ, 0);
    FPGA_REG_Write(REG_CORE_ADDRESS, u8address);
    FPGA_REG_Write(REG_CORE_READ, 1);
    FPGA_REG_Write(REG_CORE_SELECT, 1u << u8Port);
    FPGA_REG_Read(REG_CORE_RDATA, &value);
    FPGA_REG_Write(REG_CORE_SELECT, 0);
    FPGA_REG_Write(REG_CORE_READ, 0);
    return value;
}

void Modulate_QAM_SetPcrInitReg(U8 u8Port)
{
    Modulate_WriteIpCoreReg(u8Port, 0x221C00, CORE_REG_PCR_INIT);
    printf("\n\n[%s]%d:Modulate Read REG_PCR_INIT: 0x08, data: 0x%x ... \r\n", __func__, __LINE__,
           Modulate_ReadIpCoreReg(u8Port, CORE_REG_PCR_INIT));
    DelayMs(1);
}

void Modulate_QAM_ResetLostFrame(U8 u8Port)
{
    U32 v = Modulate_ReadIpCoreReg(u8Port, CORE_REG_PCR_INIT) | 0x80000000u;
    printf("[%s]%d:Reset the sync flag: 0x%x ... \r\n", __func__, __LINE__, v);
    Modulate_WriteIpCoreReg(u8Port, v, CORE_REG_PCR_INIT);
}

void Modulate_QAM_SetInterLeaver(U8 u8Port, U8 ucInterLeaver)
{
    U32 control = (Modulate_ReadIpCoreReg(u8Port, CORE_REG_CONTROL) & ~0x3Cu) | ((U32)(ucInterLeaver & 15) << 2);
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_MOD, "[%s]%d:Modulate Set REG_CONTROL: 0x0C, data: 0x%x ... \r\n",
               __func__, __LINE__, control);
    Modulate_WriteIpCoreReg(u8Port, control, CORE_REG_CONTROL);
    DelayMs(1);
    Modulate_QAM_ResetLostFrame(u8Port);
    DelayMs(1);
}

void Modulate_QAM_SetMode(U8 u8Port, U8 ucQamMode0)
{
    U32 b = (U32)(ucQamMode0 & 1) * 2;
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_MOD, "[%s]%d:Modulate Set REG_CONTROL: 0x0C, data: 0x%x ... \r\n",
               __func__, __LINE__, b);
    // Bit 0 pulsed loads the mode; it also clears the interleaver bits.
    Modulate_WriteIpCoreReg(u8Port, b + 1, CORE_REG_CONTROL);
    printf("[%s]%d:Modulate Read REG_CONTROL: 0x0C, data: 0x%x ... \r\n", __func__, __LINE__,
           Modulate_ReadIpCoreReg(u8Port, CORE_REG_CONTROL));
    DelayMs(10);
    Modulate_WriteIpCoreReg(u8Port, b, CORE_REG_CONTROL);
    printf("[%s]%d:Modulate Read REG_CONTROL: 0x0C, data: 0x%x ... \r\n", __func__, __LINE__,
           Modulate_ReadIpCoreReg(u8Port, CORE_REG_CONTROL));
    DelayMs(10);
    Modulate_QAM_ResetLostFrame(u8Port);
    DelayMs(10);
    Modulate_SetGetAD9789Reg(7, ucQamMode0 == 1 ? 1 : 17);
    Modulate_SetAD9789Reg(0x1E, 0x80);
    DelayMs(1);
    printf("[%s]%d: ucQamMode0: %d ... \r\n", __func__, __LINE__, ucQamMode0);
}
