// The bit-banged SPI buses of the RF chips. Each bit: clock low, data,
// clock high (the chips sample on the rising edge); most significant bit
// first. One semaphore covers whole transactions on both buses.
#include "Driver/SPI/spi.h"
#include "Driver/GPIO/gpio.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <mutex>

sem_t g_stSPISem;

namespace {

std::once_flag s_spiSemOnce;
bool s_spiSemReady = false;
// Set by the register tools: their bus timing and console messages.
bool s_bToolSetting = false;

// The semaphore is created once: creating it again while a transaction
// holds it would let a second one in.
bool SpiSemReady()
{
    std::call_once(s_spiSemOnce, [] { s_spiSemReady = sem_init(&g_stSPISem, 0, 1) == 0; });
    return s_spiSemReady;
}

class SpiBusGuard {
public:
    SpiBusGuard() : m_held(SpiSemReady())
    {
        if (!m_held)
            return;
        while (sem_wait(&g_stSPISem) != 0 && errno == EINTR) {
        }
        plat::PinBatchBegin();
    }
    ~SpiBusGuard()
    {
        if (!m_held)
            return;
        plat::PinBatchEnd();
        sem_post(&g_stSPISem);
    }
    SpiBusGuard(const SpiBusGuard&) = delete;
    SpiBusGuard& operator=(const SpiBusGuard&) = delete;
    bool Held() const { return m_held; }

private:
    bool m_held;
};

struct SpiLines {
    U32 clk, dout, din;
    bool mappedDin;  // data-in read through the mapped GPIO block
};
constexpr SpiLines kBus1 = {SPI_BUS1_CLK_PIN, SPI_BUS1_DOUT_PIN, SPI_BUS1_DIN_PIN, false};
constexpr SpiLines kBus1Mapped = {SPI_BUS1_CLK_PIN, SPI_BUS1_DOUT_PIN, SPI_BUS1_DIN_PIN, true};
constexpr SpiLines kBus2 = {SPI_BUS2_CLK_PIN, SPI_BUS2_DOUT_PIN, SPI_BUS2_DIN_PIN, false};

// A wait is made of 10 us sleeps, as the bus timing was measured with them.
void SpiWaitUs(U32 us)
{
    for (U32 t = 0; t < us; t += 10)
        plat::HwDelayUs(10);
}

void Pin(U32 pin, U32 value) { GPIO_SetGpio(pin, value, EMIO); }

U32 PinIn(const SpiLines& l)
{
    U32 v = 0;
    if (l.mappedDin)
        GPIO_Read_By_PinN(l.din, &v, EMIO);
    else
        GPIO_GetGpio(l.din, &v, EMIO);
    return v != 0 ? 1 : 0;
}

void SendBit(const SpiLines& l, U32 bit)
{
    if (s_bToolSetting) {
        // Half clock period of spi_time (5) x 10 us.
        Pin(l.clk, 0);
        Pin(l.dout, bit);
        SpiWaitUs(50);
        Pin(l.clk, 1);
        SpiWaitUs(50);
        return;
    }
    Pin(l.clk, 0);
    SpiWaitUs(20);
    Pin(l.dout, bit);
    SpiWaitUs(20);
    Pin(l.clk, 1);
    SpiWaitUs(50);
}

void SendBits(const SpiLines& l, U32 value, U32 count)
{
    for (U32 k = count; k > 0; k--)
        SendBit(l, (value >> (k - 1)) & 1);
}

U32 RecvBits(const SpiLines& l, U32 count)
{
    U32 value = 0;
    for (U32 k = 0; k < count; k++) {
        Pin(l.clk, 0);
        U32 bit = PinIn(l);
        SpiWaitUs(50);
        Pin(l.clk, 1);
        SpiWaitUs(50);
        value = (value << 1) | bit;
    }
    return value;
}

// AD9789 framing on either bus: 16-bit instruction, then one data byte. The
// address is cut to the chip's 13 bits so that it can never set the read
// flag or the transfer-length bits.
void Ad9789Write(const SpiLines& l, U32 cs, U32 addr, U32 data)
{
    Pin(l.clk, 0);
    Pin(l.dout, 0);
    Pin(cs, 0);
    SpiWaitUs(50);
    SendBits(l, addr & AD9789_ADDR_MASK, 16);
    SpiWaitUs(50);
    SendBits(l, data & 0xFF, 8);
    Pin(l.clk, 0);
    SpiWaitUs(50);
    // The chip stays selected; the next selection raises its line first.
}

U32 Ad9789Read(const SpiLines& l, U32 cs, U32 addr)
{
    Pin(l.clk, 0);
    Pin(l.dout, 1);
    Pin(cs, 0);
    SpiWaitUs(50);
    SendBits(l, (addr & AD9789_ADDR_MASK) | AD9789_READ_FLAG, 16);
    U32 v = RecvBits(l, 8);
    SpiWaitUs(50);
    Pin(l.clk, 1);
    SpiWaitUs(50);
    Pin(cs, 1);
    return v;
}

void LogUnknownDevice(const char* func, int line)
{
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Not reconfignized spi-device!\n\n", (long)syscall(SYS_gettid),
               func, line);
}

}  // namespace

void SPIBUS_SetToolSetting(void) { s_bToolSetting = true; }

peErrCode SPIBUS_Init(void)
{
    if (s_bToolSetting) {
        // The tools know bus 1 only and report on the console.
        if (!SpiSemReady()) {
            printf("SPI bus 's sem init failure!\n");
            return PE_ERR_FAILURE;
        }
        SpiBusGuard guard;
        Pin(SPI_BUS1_CLK_PIN, 0);
        Pin(SPI_BUS1_DOUT_PIN, 0);
        return PE_SUCCESS;
    }
    if (!SpiSemReady()) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d SPI bus 's sem init failure!\n\n", LOG_POS);
        return PE_ERR_FAILURE;
    }
    SpiBusGuard guard;
    Pin(SPI_BUS1_CLK_PIN, 0);
    Pin(SPI_BUS1_DOUT_PIN, 0);
    Pin(SPI_BUS2_CLK_PIN, 0);
    Pin(SPI_BUS2_DOUT_PIN, 0);
    return PE_SUCCESS;
}

void SPIBUS_SelectChip(peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n)
{
    if (eSPIBus_n == SPI_BUS_1) {
        Pin(SPI_BUS1_AD9789_CS_PIN, 1);
        Pin(SPI_BUS1_ADF4351_LE_PIN, 0);
        Pin(SPI_BUS1_RFDA0016_LE_PIN, 0);
        Pin(SPI_BUS1_GS2970_CS_PIN, 1);
        switch (enDev) {
        case SPI_DEV_AD9789: Pin(SPI_BUS1_AD9789_CS_PIN, 0); break;
        case SPI_DEV_ADF4351: Pin(SPI_BUS1_ADF4351_LE_PIN, 0); break;
        case SPI_DEV_RFDA0016: Pin(SPI_BUS1_RFDA0016_LE_PIN, 0); break;
        case SPI_DEV_GS2970: Pin(SPI_BUS1_GS2970_CS_PIN, 0); break;
        default: LogUnknownDevice(__func__, __LINE__); break;
        }
    } else if (eSPIBus_n == SPI_BUS_2) {
        Pin(SPI_BUS2_AD9789_CS_PIN, 1);
        if (enDev == SPI_DEV_AD9789)
            Pin(SPI_BUS2_AD9789_CS_PIN, 0);
        else
            LogUnknownDevice(__func__, __LINE__);
    }
}

void SPIBUS_Write(U32 u32Adddr, U32 u32Data, peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n)
{
    SpiBusGuard guard;
    if (!guard.Held())
        return;
    if (eSPIBus_n == SPI_BUS_1) {
        SPIBUS_SelectChip(enDev, eSPIBus_n);
        switch (enDev) {
        case SPI_DEV_AD9789: SPIBUS_Write_AD9789(u32Adddr, u32Data); break;
        case SPI_DEV_ADF4351: SPIBUS_Write_ADF4351(u32Adddr, u32Data); break;
        case SPI_DEV_RFDA0016: SPIBUS_Write_RFDA0016(u32Adddr, u32Data); break;
        case SPI_DEV_GS2970: SPIBUS_Write_GS2970(u32Adddr, u32Data); break;
        default: LogUnknownDevice(__func__, __LINE__); break;
        }
    } else if (eSPIBus_n == SPI_BUS_2) {
        // Bus 2 carries only the second AD9789.
        SPIBUS_SelectChip(enDev, eSPIBus_n);
        SPIBUS2_Write_AD9789(u32Adddr, u32Data);
    }
}

U32 SPIBUS_Read(U32 u32Adddr, peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n)
{
    SpiBusGuard guard;
    if (!guard.Held())
        return 0;
    if (eSPIBus_n == SPI_BUS_1) {
        SPIBUS_SelectChip(enDev, eSPIBus_n);
        switch (enDev) {
        case SPI_DEV_AD9789: return SPIBUS_Read_AD9789(u32Adddr);
        case SPI_DEV_GS2970: return SPIBUS_Read_GS2970(u32Adddr);
        case SPI_DEV_ADF4351: return SPIBUS_Read_ADF4351(u32Adddr);
        case SPI_DEV_RFDA0016: return SPIBUS_Read_RFDA0016(u32Adddr);
        default:
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "[%s]%d: Not reconfignized spi-device!\n", __func__, __LINE__);
            return 0;
        }
    }
    if (eSPIBus_n == SPI_BUS_2) {
        SPIBUS_SelectChip(enDev, eSPIBus_n);
        return SPIBUS2_Read_AD9789(u32Adddr);
    }
    return 0;
}

void SPIBUS_Write_AD9789(U32 u32Addr, U32 u32Data) { Ad9789Write(kBus1, SPI_BUS1_AD9789_CS_PIN, u32Addr, u32Data); }
void SPIBUS2_Write_AD9789(U32 u32Addr, U32 u32Data) { Ad9789Write(kBus2, SPI_BUS2_AD9789_CS_PIN, u32Addr, u32Data); }
U32 SPIBUS_Read_AD9789(U32 u32Addr)
{
    // The tools read without selecting first; a select left low by another
    // program's write would otherwise run this read into that transfer.
    if (s_bToolSetting)
        Pin(SPI_BUS1_AD9789_CS_PIN, 1);
    return Ad9789Read(kBus1, SPI_BUS1_AD9789_CS_PIN, u32Addr);
}
U32 SPIBUS2_Read_AD9789(U32 u32Addr) { return Ad9789Read(kBus2, SPI_BUS2_AD9789_CS_PIN, u32Addr); }

void SPIBUS_Write_ADF4351(U32 u32Addr, U32 u32Data)
{
    // The register number rides in the word's three control bits.
    Pin(SPI_BUS1_ADF4351_LE_PIN, 0);
    Pin(SPI_BUS1_CLK_PIN, 0);
    Pin(SPI_BUS1_DOUT_PIN, 0);
    SendBits(kBus1, u32Addr | u32Data, 32);
    Pin(SPI_BUS1_CLK_PIN, 0);
    SpiWaitUs(50);
    Pin(SPI_BUS1_ADF4351_LE_PIN, 1);
    SpiWaitUs(50);
}

void SPIBUS_Write_RFDA0016(U32 u32Addr, U32 u32Data)
{
    (void)u32Addr;  // the attenuator has one 6-bit word and no address
    Pin(SPI_BUS1_CLK_PIN, 0);
    Pin(SPI_BUS1_DOUT_PIN, 0);
    Pin(SPI_BUS1_RFDA0016_LE_PIN, 0);
    SpiWaitUs(50);
    SendBits(kBus1, u32Data & 0x3F, 6);
    Pin(SPI_BUS1_CLK_PIN, 0);
    SpiWaitUs(50);
    Pin(SPI_BUS1_RFDA0016_LE_PIN, 1);
}

// The GS2970 drives its select line and is read through the mapped GPIO block.
void SPIBUS_Write_GS2970(U32 u32Addr, U32 u32Data)
{
    Pin(SPI_BUS1_CLK_PIN, 0);
    Pin(SPI_BUS1_DOUT_PIN, 0);
    GPIO_Write_By_PinN(SPI_BUS1_GS2970_CS_PIN, 0, EMIO);
    SpiWaitUs(50);
    SendBits(kBus1, u32Addr & 0x7FFF, 16);  // bit 15 is the read flag
    SpiWaitUs(50);
    SendBits(kBus1, u32Data & 0xFFFF, 16);
    Pin(SPI_BUS1_CLK_PIN, 0);
    SpiWaitUs(50);
}

U32 SPIBUS_Read_GS2970(U32 u32Addr)
{
    Pin(SPI_BUS1_CLK_PIN, 0);
    Pin(SPI_BUS1_DOUT_PIN, 1);
    GPIO_Write_By_PinN(SPI_BUS1_GS2970_CS_PIN, 0, EMIO);
    SpiWaitUs(50);
    SendBits(kBus1Mapped, (u32Addr & 0xFFFF) | 0x8000, 16);
    U32 v = RecvBits(kBus1Mapped, 16);
    SpiWaitUs(50);
    Pin(SPI_BUS1_CLK_PIN, 1);
    SpiWaitUs(50);
    GPIO_Write_By_PinN(SPI_BUS1_GS2970_CS_PIN, 1, EMIO);
    return v;
}

// Write-only chips.
U32 SPIBUS_Read_ADF4351(U32 u32Addr)
{
    (void)u32Addr;
    return 0;
}

U32 SPIBUS_Read_RFDA0016(U32 u32Addr)
{
    (void)u32Addr;
    return 0;
}
