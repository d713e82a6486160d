// RF chain start-up and register access to the RF chips of either chip.
#include "Driver/RF/rf.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "DTMB/dtmb.h"
#include "Driver/I2C/i2c.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include <cstdio>
#include <cstring>

U32 g_HWVersionSlaveCmp = 0;
U8 g_SIModSlaveCmp = 0;
char info_value[150];

// ---- Register access --------------------------------------------------------

void Modulate_SetAD9789Reg(U32 u32Address, U32 u32Value) { SPIBUS_Write(u32Address, u32Value, SPI_DEV_AD9789, SPI_BUS_1); }

unsigned Modulate_GetAD9789Reg(U32 u32Address) { return SPIBUS_Read(u32Address, SPI_DEV_AD9789, SPI_BUS_1); }

int Modulate_SetGetAD9789Reg(U32 u32Address, U32 u32Value)
{
    Modulate_SetAD9789Reg(u32Address, u32Value);
    unsigned back = Modulate_GetAD9789Reg(u32Address);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d <<Config9789>> address[0x%x]:Data[0x%x]!\n\n", LOG_POS,
               u32Address, back);
    return 0;
}

void Modulate_SetADF4351Reg(U32 u32Address, U32 u32Value)
{
    SPIBUS_Write(u32Address, u32Value, SPI_DEV_ADF4351, SPI_BUS_1);
}

unsigned Modulate_GetADF4351Reg(U32 u32Address) { return SPIBUS_Read(u32Address, SPI_DEV_ADF4351, SPI_BUS_1); }

void Modulate_SetRFDA0016Reg(U32 u32Address, U32 u32Value)
{
    SPIBUS_Write(u32Address, u32Value, SPI_DEV_RFDA0016, SPI_BUS_1);
}

unsigned Modulate_GetRFDA0016Reg(U32 u32Address) { return SPIBUS_Read(u32Address, SPI_DEV_RFDA0016, SPI_BUS_1); }

void Modulate_SetAD5321GainValue(U32 u32Value) { I2C_CHIP5321_WriteOneReg(0, (U16)(u32Value & 0xFFFF)); }

unsigned Modulate_GetAD5321GainValue(void)
{
    U16 value = 0;
    if (I2C_CHIP5321_ReadOneReg(0, &value) != 0)
        return 0;
    return value;
}

// ---- What the master told the slave -------------------------------------------

U32 Slave_GetHWVersion(void) { return __atomic_load_n(&g_HWVersionSlaveCmp, __ATOMIC_RELAXED); }

U8 Slave_GetSIMod(void)
{
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 4)
        return __atomic_load_n(&g_SIModSlaveCmp, __ATOMIC_RELAXED);
    return mode == 6 ? 1 : 0;
}

// ---- Start-up ---------------------------------------------------------------

void Modulate_AD9789_DVBTFilter(U32 u32BandwidthSel)
{
    struct FilterSet {
        U32 r06, r1B, r1A, r19, r18, r17, r16;
    };
    static const FilterSet kSets[3] = {
        {0xC0, 0x80, 0x00, 0x00, 0xE8, 0x32, 0xB9},  // 6 MHz
        {0xD0, 0x6A, 0x00, 0x00, 0x70, 0x2B, 0x58},  // 7 MHz
        {0xD0, 0x70, 0x60, 0x00, 0x87, 0xE7, 0x3B},  // 8 MHz
    };
    if (u32BandwidthSel < 3) {
        const FilterSet& f = kSets[u32BandwidthSel];
        Modulate_SetGetAD9789Reg(0x06, f.r06);
        Modulate_SetGetAD9789Reg(0x1B, f.r1B);
        Modulate_SetGetAD9789Reg(0x1A, f.r1A);
        Modulate_SetGetAD9789Reg(0x19, f.r19);
        Modulate_SetGetAD9789Reg(0x18, f.r18);
        Modulate_SetGetAD9789Reg(0x17, f.r17);
        Modulate_SetGetAD9789Reg(0x16, f.r16);
    }
    Modulate_SetGetAD9789Reg(0x21, 0x7C);
    Modulate_SetGetAD9789Reg(0x29, 0x01);
}

int adf4351_init(peSPIBUS_NUM eSPIBus_n)
{
    if (GetDTMBPara_Handle() == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d pstDTMBParam is NULL\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    FPGA_REG_Write(23, 4);
    // Register 5 first: each word carries its register number in its low bits.
    static const U32 kWords[6] = {0x4D2060, 0x800A711, 0x6E42, 0x3, 0x9C85FC, 0x400005};
    for (int n = 5; n >= 0; n--)
        Modulate_SetADF4351Reg((U32)n, kWords[n]);
    return 0;
}

// The mode-dependent rate-converter registers; r06 < 0 leaves register 0x06 as it is.
static void SetAD9789RateRegs(int r06, U8 r21, U8 r29)
{
    if (r06 >= 0)
        Modulate_SetGetAD9789Reg(0x06, (U8)r06);
    Modulate_SetGetAD9789Reg(0x21, r21);
    Modulate_SetGetAD9789Reg(0x29, r29);
}

int Modulate_QAM_ConfigAD9789_up(peSPIBUS_NUM eSPIBus_n)
{
    static const char kStartText[] = "Config AD9789 Start UP .... \r\n";
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Config AD9789 Start UP .... \r\n\n", LOG_POS);
    snprintf(info_value, sizeof(info_value), "%s", kStartText);

    static const U8 kPowerUp[][2] = {
        {0x00, 0x18}, {0x30, 0x80}, {0x31, 0xF0}, {0x32, 0x9E}, {0x3E, 0x30}, {0x24, 0x00},
        {0x24, 0x80}, {0x36, 0x03}, {0x2F, 0xCD}, {0x33, 0x43}, {0x39, 0x4B}, {0x3A, 0x64},
        {0x03, 0x00}, {0x04, 0xFE}, {0x03, 0x0C}, {0x33, 0x43}, {0x33, 0x4B}, {0x33, 0x43},
    };
    for (const auto& w : kPowerUp)
        Modulate_SetGetAD9789Reg(w[0], w[1]);

    switch (PARAMS_GetModulationMod()) {
    case 1:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[DVB-T]###\n", LOG_POS);
        Modulate_AD9789_DVBTFilter(GetDTMBPara_Handle()->Bandwidth_Sel[0]);
        break;
    case 0:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[DTMB]###\n", LOG_POS);
        SetAD9789RateRegs(0x98, 0x6B, 0x00);
        break;
    case 3:
        // The DVB-C rate converter is set later from the symbol rate.
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[DVBC]###\n", LOG_POS);
        SetAD9789RateRegs(-1, 0x6B, 0x00);
        break;
    case 5:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[DVBC]###\n", LOG_POS);
        SetAD9789RateRegs(0x98, 0x6B, 0x00);
        break;
    case 4:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[DVBC_B]###\n", LOG_POS);
        SetAD9789RateRegs(0x81, 0x6B, 0x00);
        break;
    case 6:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d ###Config AD9789[ATSC]###\n", LOG_POS);
        SetAD9789RateRegs(0xD0, 0x7C, 0x01);
        break;
    default:
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD,
                   "%ld:%s:%d ###Config AD9789[DTMBMulti]: R06=0xd0; R21=0x7d; R29=0x00###\n", LOG_POS);
        SetAD9789RateRegs(0xD0, 0x6B, 0x00);
        break;
    }

    static const U8 kFinish[][2] = {
        {0x07, 0x07}, {0x08, 0x0D}, {0x09, 0x20}, {0x20, 0x04}, {0x22, 0x10}, {0x23, 0x73}, {0x25, 0x80},
        {0x26, 0x80}, {0x27, 0x80}, {0x28, 0x80}, {0x3C, 0x00}, {0x3D, 0x00}, {0x04, 0x00}, {0x1E, 0x80},
    };
    for (const auto& w : kFinish)
        Modulate_SetGetAD9789Reg(w[0], w[1]);
    Modulate_SetGetAD9789Reg(0x24, 0x00);
    plat::HwDelayUs(10000);
    Modulate_SetGetAD9789Reg(0x24, 0x80);
    plat::HwDelayUs(10000);
    Modulate_SetGetAD9789Reg(0x24, 0x00);

    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d Config AD9789 End! \r\n\n", LOG_POS);
    return 0;
}

static void StartSpiBus(void)
{
    if (SPIBUS_Init() == PE_SUCCESS)
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SPIBUS_Init success!\n\n", LOG_POS);
}

static void SetModulatorClockWord(void)
{
    FPGA_REG_Write(1033, PARAMS_GetModulationMod() == 1 ? 1536 : 512);
}

peErrCode RF_Config_Master(void)
{
    ZR_I2C_Init();
    StartSpiBus();
    adf4351_init(SPI_BUS_1);
    plat::HwDelayUs(500000);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d RFAD4351_init success!\n\n", LOG_POS);
    Modulate_QAM_ConfigAD9789_up(SPI_BUS_1);
    Modulate_QAM_SetAllPatams(SPI_BUS_1);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SPI_1:AD9789_init success!\n\n", LOG_POS);
    SetModulatorClockWord();
    SetDTMB_CurPara(GetDTMBPara_Handle());
    return PE_SUCCESS;
}

peErrCode RF_Config_Slave(void)
{
    StartSpiBus();
    FPGA_REG_Write(23, 4);
    Modulate_QAM_ConfigAD9789_up(SPI_BUS_1);
    Modulate_QAM_SetAllPatams_Slave(SPI_BUS_1);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_MOD, "%ld:%s:%d SPI_1:AD9789_init success!\n\n", LOG_POS);
    SetModulatorClockWord();
    return PE_SUCCESS;
}

// ---- Maintenance access -------------------------------------------------------

namespace {

enum class RfChip : U8 { AD9789 = 1, RFDA0016 = 2, ADF4351 = 3 };

// Above its 13-bit address an AD9789 instruction carries the transfer length
// and the read flag.
constexpr U32 kMaxAD9789Address = AD9789_ADDR_MASK;

bool InitAnswerSem(sem_t* sem, const char* what)
{
    if (sem_init(sem, 0, 0) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d %s 's sem init failure\n\n", LOG_POS, what);
        return false;
    }
    return true;
}

// One register access on the slave chip: fill the shared record, send it and
// wait (bounded) for the answer. Only one access may be outstanding.
peErrCode SlaveAccess(RfChip chip, bool bWrite, U32 u32Add, U32 u32Val, U8* pVal, const char* semName)
{
    FPGA_SlaveAccessLock();
    struct Unlock {
        ~Unlock() { FPGA_SlaveAccessUnlock(); }
    } unlock;
    sem_t* sem = bWrite ? &g_stWriteRegVal_Sem : &g_stReadRegVal_Sem;
    if (!InitAnswerSem(sem, semName))
        return PE_ERR_FAILURE;
    ST_DEBUG_SLAVE_REG_INFO req;
    {
        std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
        stSlaveRegInfo.u8RegType = (U8)chip;
        switch (chip) {
        case RfChip::AD9789:
            stSlaveRegInfo.u32SlaveAD9789RegAdd = u32Add;
            if (bWrite)
                stSlaveRegInfo.u32SlaveAD9789RegVal = u32Val;
            break;
        case RfChip::RFDA0016:
            stSlaveRegInfo.u32SlaveRFDA0016RegAdd = u32Add;
            if (bWrite)
                stSlaveRegInfo.u32SlaveRFDA0016RegVal = u32Val;
            break;
        case RfChip::ADF4351:
            stSlaveRegInfo.u32SlaveADF4351RegAdd = u32Add;
            if (bWrite)
                stSlaveRegInfo.u32SlaveADF4351RegVal = u32Val;
            break;
        }
        req = stSlaveRegInfo;
    }
    // Confirmed and bounded as a web request must be (the HTTP server serves
    // no one meanwhile); without the slave chip nothing is sent.
    if (MACMasterComm_SlaveRegAccess(bWrite ? ZR_COM_MAC_CMD_REG_WRITE : ZR_COM_MAC_CMD_REG_READ, &req, sem) != 0)
        return PE_ERR_FAILURE;
    if (!FPGA_WaitSlaveAnswer(sem)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d slave chip did not answer\n\n", LOG_POS);
        return PE_ERR_FAILURE;
    }
    if (pVal) {
        std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
        *pVal = (U8)(stSlaveRegInfo.u32SlaveAD9789RegVal & 0xFF);
    }
    return PE_SUCCESS;
}

// The local side initialises the answer semaphore as well, so that both
// sides fail alike when it cannot be set up.
bool LocalSemReady(bool bWrite, const char* semName)
{
    FPGA_SlaveAccessLock();
    bool ok = InitAnswerSem(bWrite ? &g_stWriteRegVal_Sem : &g_stReadRegVal_Sem, semName);
    FPGA_SlaveAccessUnlock();
    return ok;
}

// A write to a chip reached only over SPI: on the slave chip through the
// link, here straight on the bus.
peErrCode SpiChipWrite(RfChip chip, peSPIDEV dev, const char* semName, U32 u32M_or_S, U32 u32Add, U32 u32Val)
{
    if (u32M_or_S != 0)
        return SlaveAccess(chip, true, u32Add, u32Val, nullptr, semName);
    if (!LocalSemReady(true, semName))
        return PE_ERR_FAILURE;
    SPIBUS_Write(u32Add, u32Val, dev, SPI_BUS_1);
    return PE_SUCCESS;
}

bool AD9789AddressOk(U32 u32Add)
{
    if (u32Add <= kMaxAD9789Address)
        return true;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d AD9789 address 0x%x out of range\n\n", LOG_POS, u32Add);
    return false;
}

}  // namespace

peErrCode RF_ReadAD9789Debug(U32 u32M_or_S, U32 u32Add, U8* pVal)
{
    if (pVal == nullptr || !AD9789AddressOk(u32Add))
        return PE_ERR_FAILURE;
    if (u32M_or_S != 0)
        return SlaveAccess(RfChip::AD9789, false, u32Add, 0, pVal, "ReadRegVal");
    if (!LocalSemReady(false, "ReadRegVal"))
        return PE_ERR_FAILURE;
    *pVal = (U8)Modulate_GetAD9789Reg(u32Add);
    return PE_SUCCESS;
}

peErrCode RF_WriteAD9789Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val)
{
    if (!AD9789AddressOk(u32Add))
        return PE_ERR_FAILURE;
    if (u32M_or_S != 0)
        return SlaveAccess(RfChip::AD9789, true, u32Add, u32Val, nullptr, "WriteRegVal");
    if (!LocalSemReady(true, "WriteRegVal"))
        return PE_ERR_FAILURE;
    Modulate_SetAD9789Reg(u32Add, u32Val);
    return PE_SUCCESS;
}

peErrCode RF_WriteRFDA0016Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val)
{
    return SpiChipWrite(RfChip::RFDA0016, SPI_DEV_RFDA0016, "WriteRegVal", u32M_or_S, u32Add, u32Val);
}

peErrCode RF_WriteADF4351Debug(U32 u32M_or_S, U32 u32Add, U32 u32Val)
{
    return SpiChipWrite(RfChip::ADF4351, SPI_DEV_ADF4351, "Write ADF4351 RegVal", u32M_or_S, u32Add, u32Val);
}

// Both chips are write-only: there is nothing to read.
peErrCode RF_ReadRFDA0016Debug(U32 u32M_or_S, U32 u32Add, U8* pVal) { return PE_SUCCESS; }

peErrCode RF_ReadADF4351Debug(U32 u32M_or_S, U32 u32Add, U8* pVal) { return PE_SUCCESS; }
