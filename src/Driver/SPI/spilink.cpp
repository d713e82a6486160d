// The ends of the chip-to-chip SPI link: the SPI controller's routines on
// its register block, and the spidev master reached through the platform.
#include "Driver/SPI/spilink.h"
#include "Comm/spicomm.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <atomic>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <unistd.h>

namespace {

#define LINK_LOG(lvl, fmt, ...) log_printf((lvl), LOG_MODULE_HW, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

// A frame is clocked at 15 MHz, 8 bits per word; both ends sample on the
// second edge of an idle-high clock (the controller's options 6).
const spi_cfg_s kMasterCfg = {15000000, 0, 3, 8};
std::atomic<int> s_readWaitMs{1000};
constexpr int kWriteWaitMs = 100;

std::mutex s_masterMutex;
S32 s_masterFd = -1;

volatile U32* Block()
{
    static volatile U32* mapped = s_pSPI1Address ? s_pSPI1Address : plat::MapPhys(SPI1_BASE_ADDR, 0x1000);
    return mapped;
}

U32 Get(U32 off) { return plat::Read32(Block() + off / 4); }
void Set(U32 off, U32 v) { plat::Write32(Block() + off / 4, v); }
bool Enabled() { return Block() != nullptr && Get(XSPIPS_ER_OFFSET) != 0; }

// Polls the status register until a bit shows, for at most ms.
bool WaitStatus(U32 bit, int ms)
{
    for (int waited = 0;; waited++) {
        if (Get(XSPIPS_SR_OFFSET) & bit)
            return true;
        if (waited >= ms || !Enabled())
            return false;
        usleep(1000);
    }
}

}  // namespace

void XSpiPs_Abort(void)
{
    if (Block() == nullptr)
        return;
    Set(XSPIPS_ER_OFFSET, 0);
    while (Get(XSPIPS_SR_OFFSET) & XSPIPS_IXR_RXNEMPTY)
        (void)Get(XSPIPS_RXD_OFFSET);
    Set(XSPIPS_SR_OFFSET, 2);
}

void XSpiPs_Reset(void)
{
    XSpiPs_Abort();
    if (Block() != nullptr)
        Set(XSPIPS_CR_OFFSET, XSPIPS_CR_RESET_STATE);
}

S32 XSpiPs_SetOptions(U32 Options)
{
    static const U32 map[][2] = {{XSPIPS_MASTER_OPTION, 1u << 0},        {XSPIPS_CLK_ACTIVE_LOW_OPTION, 1u << 1},
                                 {XSPIPS_CLK_PHASE_1_OPTION, 1u << 2},   {XSPIPS_DECODE_SSELECT_OPTION, 1u << 9},
                                 {XSPIPS_FORCE_SSELECT_OPTION, 1u << 14}, {XSPIPS_MANUAL_START_OPTION, 1u << 15}};
    if (Block() == nullptr)
        return 0;
    U32 cr = Get(XSPIPS_CR_OFFSET), old = cr;
    for (const auto& m : map)
        cr = (Options & m[0]) ? cr | m[1] : cr & ~m[1];
    // The clock's polarity and phase change only while the controller is off.
    bool clock = ((cr ^ old) & 0x6u) != 0;
    if (clock)
        Set(XSPIPS_ER_OFFSET, 0);
    Set(XSPIPS_CR_OFFSET, cr);
    if (clock)
        Set(XSPIPS_ER_OFFSET, 1);
    return 0;
}

S32 SPISlaveInit(void)
{
    if (Block() == nullptr || Get(XSPIPS_MODID_OFFSET) != XSPIPS_MODULE_ID) {
        LINK_LOG(LOG_LEVEL_ERROR, "Slave SPI Failed\n\n");
        return 1;
    }
    LINK_LOG(LOG_LEVEL_INFO, "Slave SPI Success\n\n");
    XSpiPs_Reset();
    if (XSpiPs_SetOptions(XSPIPS_CLK_ACTIVE_LOW_OPTION | XSPIPS_CLK_PHASE_1_OPTION) != 0) {
        LINK_LOG(LOG_LEVEL_ERROR, "Set Options failed\n\n");
        return 1;
    }
    Set(XSPIPS_RXWR_OFFSET, SPI_LINK_FRAME_LEN);
    Set(XSPIPS_ER_OFFSET, 1);
    SPI_PthreadMux_Init();
    return 0;
}

S32 SpiSlaveRead(SPIDEV, U8* u8ReadBuff, int ByteCount)
{
    if (u8ReadBuff == nullptr || ByteCount < 0 || !Enabled())
        return -1;
    if (!WaitStatus(XSPIPS_IXR_RXFULL, s_readWaitMs))
        return Enabled() ? 0 : -1;
    for (int i = 0; i < ByteCount; i++)
        u8ReadBuff[i] = (U8)Get(XSPIPS_RXD_OFFSET);
    return ByteCount;
}

S32 SpiSlaveWrite(SPIDEV, const U8* Sendbuffer, int ByteCount)
{
    if (Sendbuffer == nullptr || ByteCount < 0 || !Enabled())
        return -1;
    int n = ByteCount < SPI_LINK_FRAME_LEN ? ByteCount : SPI_LINK_FRAME_LEN;
    for (int i = 0; i < n; i++)
        Set(XSPIPS_TXD_OFFSET, Sendbuffer[i]);
    return WaitStatus(XSPIPS_IXR_TXFULL, kWriteWaitMs) ? 0 : -1;
}

void SpiSlaveClose(void)
{
    if (Block() != nullptr)
        Set(XSPIPS_ER_OFFSET, 0);
}

void SpiSlave_SetReadWaitMs(int ms) { s_readWaitMs = ms; }

S32 spi_dev_open(const char* name, const spi_cfg_s* cfg)
{
    if (name == nullptr || cfg == nullptr)
        return -1;
    S32 fd = plat::Open(name, O_RDWR | O_CLOEXEC);
    if (fd < 0) {
        printf("spi_dev_open:open %s error.\n", name);
        return -1;
    }
    if (plat::SpiSetup(fd, cfg->mode, cfg->bits_per_word, cfg->max_speed_hz) != 0) {
        printf("spi_dev_open:set mode error.");
        close(fd);
        return -1;
    }
    return fd;
}

void spi_dev_close(S32 fd)
{
    if (fd >= 0)
        close(fd);
}

S32 spi_write(S32 fd, const U8* buf, U32 len)
{
    U8 in[SPI_LINK_FRAME_LEN];
    if (buf == nullptr || len > sizeof(in))
        return -1;
    S32 rc = plat::SpiTransfer(fd, buf, in, len, kMasterCfg.max_speed_hz, kMasterCfg.bits_per_word);
    if (rc != 0)
        printf("spi_transfer:can't send spi message,ret = %d.\n", (int)rc);
    return rc;
}

S32 spi_read(S32 fd, U8* buf, U32 len)
{
    U8 idle[SPI_LINK_FRAME_LEN];
    if (buf == nullptr || len > sizeof(idle))
        return -1;
    memset(idle, 0xB8, sizeof(idle));
    S32 rc = plat::SpiTransfer(fd, idle, buf, len, kMasterCfg.max_speed_hz, kMasterCfg.bits_per_word);
    if (rc != 0)
        printf("spi_transfer:can't send spi message,ret = %d.\n", (int)rc);
    return rc;
}

S32 SPIMasterInit(void)
{
    {
        std::lock_guard<std::mutex> lk(s_masterMutex);
        spi_dev_close(s_masterFd);
        s_masterFd = -1;
    }
    // The first device listed, named by its place in /dev (the listing of
    // the simulated board shows where the board root keeps it).
    std::string list = plat::RunCapture("ls /dev/spidev*");
    std::string first = list.substr(0, list.find_first_of(" \n"));
    size_t slash = first.rfind('/');
    std::string name = first.empty() ? "" : "/dev/" + first.substr(slash == std::string::npos ? 0 : slash + 1);
    if (name.empty()) {
        LINK_LOG(LOG_LEVEL_ERROR, "====Read SPI_DEVICE_NAME failed!\n\n");
        return -1;
    }
    LINK_LOG(LOG_LEVEL_INFO, "====SPI_DEVICE_NAME: %s\n\n", name.c_str());
    S32 fd = spi_dev_open(name.c_str(), &kMasterCfg);
    if (fd < 0) {
        LINK_LOG(LOG_LEVEL_ERROR, "Open spi [%s] failed!\n\n", name.c_str());
        return -1;
    }
    LINK_LOG(LOG_LEVEL_INFO, "Open spi [%s] successfully!\n\n", name.c_str());
    {
        std::lock_guard<std::mutex> lk(s_masterMutex);
        s_masterFd = fd;
    }
    SPI_PthreadMux_Init();
    return 0;
}

S32 SPIMasterWrite(const U8* pu8WriteData, U32 u32DataLen)
{
    U8 frame[SPI_LINK_FRAME_LEN] = {0};
    if (pu8WriteData == nullptr || u32DataLen > sizeof(frame))
        return -1;
    memcpy(frame, pu8WriteData, u32DataLen);
    std::lock_guard<std::mutex> lk(s_masterMutex);
    if (s_masterFd < 0 || spi_write(s_masterFd, frame, sizeof(frame)) != 0) {
        printf("[%s]%d SPI Write error.\n", __func__, __LINE__);
        return -1;
    }
    return 0;
}

S32 SPIMasterRead(U8* pu8ReadData)
{
    if (pu8ReadData == nullptr)
        return -1;
    std::lock_guard<std::mutex> lk(s_masterMutex);
    if (s_masterFd < 0 || spi_read(s_masterFd, pu8ReadData, SPI_LINK_FRAME_LEN) != 0) {
        printf("[%s]%d SPI Read error.\n", __func__, __LINE__);
        return -1;
    }
    return 0;
}

void SPIMasterClose(void)
{
    std::lock_guard<std::mutex> lk(s_masterMutex);
    spi_dev_close(s_masterFd);
    s_masterFd = -1;
}
