// The bit-banged SPI buses of the RF chips (AD9789, ADF4351, RFDA0016 and
// GS2970) on EMIO GPIO lines, under one semaphore for both buses.
#pragma once
#include "Common/types.h"
#include "Driver/FPGA/fpga.h"
#include <semaphore.h>

typedef enum : U32 {
    SPI_DEV_AD9789 = 0,
    SPI_DEV_ADF4351 = 1,
    SPI_DEV_RFDA0016 = 2,
    SPI_DEV_GS2970 = 3,
    SPI_DEV_NONE = 4
} peSPIDEV;

typedef enum : U32 { SPI_BUS_1 = 0, SPI_BUS_2 = 1, SPI_BUS_N = 2 } peSPIBUS_NUM;

// EMIO lines of the buses.
#define SPI_BUS1_CLK_PIN 15
#define SPI_BUS1_DOUT_PIN 17
#define SPI_BUS1_DIN_PIN 16
#define SPI_BUS1_AD9789_CS_PIN 18
#define SPI_BUS1_ADF4351_LE_PIN 13
#define SPI_BUS1_RFDA0016_LE_PIN 14
#define SPI_BUS1_GS2970_CS_PIN 3
#define SPI_BUS2_CLK_PIN 19
#define SPI_BUS2_DOUT_PIN 21
#define SPI_BUS2_DIN_PIN 20
#define SPI_BUS2_AD9789_CS_PIN 12

// The AD9789's instruction carries a 13-bit register address; bits 13-14
// give the transfer length and bit 15 marks a read.
#define AD9789_ADDR_MASK 0x1FFFu
#define AD9789_READ_FLAG 0x8000u

extern sem_t g_stSPISem;

// The register tools' setting of the one bus driver: their bus timing
// (half clock period 5 x 10 us), bus 1 only, messages on the console.
void SPIBUS_SetToolSetting(void);
peErrCode SPIBUS_Init(void);
void SPIBUS_Write(U32 u32Adddr, U32 u32Data, peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n);
U32 SPIBUS_Read(U32 u32Adddr, peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n);
void SPIBUS_SelectChip(peSPIDEV enDev, peSPIBUS_NUM eSPIBus_n);

// Per-device framing; callers hold g_stSPISem (SPIBUS_Write/SPIBUS_Read do).
void SPIBUS_Write_AD9789(U32 u32Addr, U32 u32Data);
void SPIBUS2_Write_AD9789(U32 u32Addr, U32 u32Data);
void SPIBUS_Write_ADF4351(U32 u32Addr, U32 u32Data);
void SPIBUS_Write_RFDA0016(U32 u32Addr, U32 u32Data);
void SPIBUS_Write_GS2970(U32 u32Addr, U32 u32Data);
U32 SPIBUS_Read_AD9789(U32 u32Addr);
U32 SPIBUS2_Read_AD9789(U32 u32Addr);
U32 SPIBUS_Read_GS2970(U32 u32Addr);
U32 SPIBUS_Read_ADF4351(U32 u32Addr);
U32 SPIBUS_Read_RFDA0016(U32 u32Addr);
