// The two ends of the chip-to-chip SPI link: the processor's SPI controller
// in slave mode (its register block) and the master's spidev device.
#pragma once
#include "Common/types.h"

typedef enum { SPIDEV_0 = 0, SPIDEV_1 = 1 } SPIDEV;

typedef struct spi_cfg_s {
    U32 max_speed_hz;
    U8 chip_select;
    U8 mode;
    U8 bits_per_word;
} spi_cfg_s;

// Options of XSpiPs_SetOptions and the configuration bits they set.
#define XSPIPS_MASTER_OPTION 0x01u           // bit 0
#define XSPIPS_CLK_ACTIVE_LOW_OPTION 0x02u   // bit 1
#define XSPIPS_CLK_PHASE_1_OPTION 0x04u      // bit 2
#define XSPIPS_DECODE_SSELECT_OPTION 0x08u   // bit 9
#define XSPIPS_FORCE_SSELECT_OPTION 0x10u    // bit 14
#define XSPIPS_MANUAL_START_OPTION 0x20u     // bit 15

// Registers of the controller block (byte offsets) and its status bits.
#define XSPIPS_CR_OFFSET 0x00u
#define XSPIPS_SR_OFFSET 0x04u
#define XSPIPS_ER_OFFSET 0x14u
#define XSPIPS_TXD_OFFSET 0x1Cu
#define XSPIPS_RXD_OFFSET 0x20u
#define XSPIPS_RXWR_OFFSET 0x2Cu
#define XSPIPS_MODID_OFFSET 0xFCu
#define XSPIPS_MODULE_ID 0x90106u
#define XSPIPS_IXR_TXFULL 0x08u
#define XSPIPS_IXR_RXNEMPTY 0x10u
#define XSPIPS_IXR_RXFULL 0x20u
#define XSPIPS_CR_RESET_STATE 0x20000u

// One link frame: the largest transfer of either end.
#define SPI_LINK_FRAME_LEN 128

// Controller (slave chip).
void XSpiPs_Abort(void);
void XSpiPs_Reset(void);
S32 XSpiPs_SetOptions(U32 Options);
S32 SPISlaveInit(void);
// Waits (bounded) for a frame at the receive threshold and reads ByteCount
// bytes: ByteCount, 0 when none came, -1 when the controller is off.
S32 SpiSlaveRead(SPIDEV dev, U8* u8ReadBuff, int ByteCount);
// Queues up to 128 bytes and waits (bounded) for the FIFO to show them:
// 0, or -1 when the controller is off or they never showed.
S32 SpiSlaveWrite(SPIDEV dev, const U8* Sendbuffer, int ByteCount);
void SpiSlaveClose(void);

// spidev master (master chip): one full-duplex transfer of 128 bytes each.
S32 SPIMasterInit(void);
S32 SPIMasterWrite(const U8* pu8WriteData, U32 u32DataLen);
S32 SPIMasterRead(U8* pu8ReadData);
void SPIMasterClose(void);
S32 spi_dev_open(const char* name, const spi_cfg_s* cfg);
void spi_dev_close(S32 fd);
// The transfer: spi_write sends the caller's bytes (what comes back is not
// kept), spi_read sends idle bytes (0xB8) and keeps what comes back.
S32 spi_write(S32 fd, const U8* buf, U32 len);
S32 spi_read(S32 fd, U8* buf, U32 len);

// Test-only: how long SpiSlaveRead waits for a frame (1,000 ms by default).
void SpiSlave_SetReadWaitMs(int ms);
