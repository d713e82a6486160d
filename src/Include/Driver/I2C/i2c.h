// Linux I2C buses and the AD5321 gain DAC.
#pragma once
#include "Common/types.h"

typedef enum : U32 {
    ZR_I2C_SUCCESS = 0,
    ZR_I2C_FAILURE = 1,
    ZR_I2C_OPEN_FAILURE = 2,
    ZR_I2C_TIMEOUT = 3
} I2C_ERROR_CODE;

#define I2C_PORT_NUM 3
// The AD5321 sits on port 2 ("/dev/i2c-1"): written at 0x18, read at 0x19.
#define I2C_AD5321_PORT 2
#define I2C_AD5321_WRITE_ADDR 0x18
#define I2C_AD5321_READ_ADDR 0x19

extern const char* g_i2c_devname[I2C_PORT_NUM];
extern int g_i2c_fd[I2C_PORT_NUM];

int ZR_I2C_Init(void);
I2C_ERROR_CODE ZR_I2C_Open(const S32 nPort);
I2C_ERROR_CODE ZR_I2C_WRITE_REG_5321(S32 nPort, U16 sChipAddr, U8 cRegAddr, U16 u16Value);
I2C_ERROR_CODE ZR_I2C_READ_REG_5321(S32 nPort, U16 sChipAddr, U8 cRegAddr, U16* u16cValue);
I2C_ERROR_CODE I2C_CHIP5321_WriteOneReg(U8 RegAddr, U16 u16RegValue);
I2C_ERROR_CODE I2C_CHIP5321_ReadOneReg(U8 RegAddr, U16* pu16Value);
