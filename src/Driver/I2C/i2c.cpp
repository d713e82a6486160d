// Linux I2C buses and the AD5321 gain DAC of the RF chain.
#include "Driver/I2C/i2c.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/i2c.h>
#include <unistd.h>

const char* g_i2c_devname[I2C_PORT_NUM] = {"/dev/i2c-0", "/dev/i2c-1", "/dev/i2c-1"};
// -1: not open. Descriptor 0 is never taken for a port.
int g_i2c_fd[I2C_PORT_NUM] = {-1, -1, -1};

static bool PortOk(S32 nPort) { return nPort >= 0 && nPort < I2C_PORT_NUM; }
static bool PortOpen(S32 nPort) { return PortOk(nPort) && g_i2c_fd[nPort] > 0; }

int ZR_I2C_Init(void)
{
    for (S32 port = 0; port < I2C_PORT_NUM; port++)
        ZR_I2C_Open(port);
    return 0;
}

I2C_ERROR_CODE ZR_I2C_Open(const S32 nPort)
{
    if (!PortOk(nPort)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d I2C port %d does not exist\n\n", LOG_POS, (int)nPort);
        return ZR_I2C_FAILURE;
    }
    if (nPort == 1)
        return ZR_I2C_SUCCESS;  // port 2 reaches the same bus
    if (g_i2c_fd[nPort] > 0)
        ::close(g_i2c_fd[nPort]);
    g_i2c_fd[nPort] = -1;
    int fd = plat::Open(g_i2c_devname[nPort], O_RDWR | O_CLOEXEC);
    if (fd <= 0) {
        if (fd == 0)
            ::close(fd);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d Bus [%s] Open Fail\n\n", LOG_POS, g_i2c_devname[nPort]);
        return ZR_I2C_FAILURE;
    }
    g_i2c_fd[nPort] = fd;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_HW, "%ld:%s:%d Bus [%s] Open Sucess\n\n", LOG_POS, g_i2c_devname[nPort]);
    return ZR_I2C_SUCCESS;
}

I2C_ERROR_CODE ZR_I2C_WRITE_REG_5321(S32 nPort, U16 sChipAddr, U8 cRegAddr, U16 u16Value)
{
    // A port that was never opened has no descriptor to send on.
    if (!PortOpen(nPort)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW, "%ld:%s:%d I2CPort: %d is not open\n\n", LOG_POS, (int)nPort);
        return ZR_I2C_FAILURE;
    }
    U8 buf[2] = {(U8)((u16Value >> 8) & 0x0F), (U8)(u16Value & 0xFF)};
    struct i2c_msg msg;
    msg.addr = (U16)(sChipAddr / 2);
    msg.flags = 0;
    msg.len = 2;
    msg.buf = buf;
    printf("I2C write: port %d addr 0x%02x reg 0x%02x data 0x%02x 0x%02x\n", (int)nPort, msg.addr, cRegAddr, buf[0],
           buf[1]);
    if (plat::I2cTransfer(g_i2c_fd[nPort], &msg, 1) < 0) {
        int err = errno;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW,
                   "%ld:%s:%d [%s]%d: I2CPort: %d chipaddr: 0x%x reg 0x%x ioctl write command error [%d], call ioctl[%s]\n\n",
                   LOG_POS, __func__, __LINE__, (int)nPort, sChipAddr, cRegAddr, err, strerror(err));
        return ZR_I2C_FAILURE;
    }
    return ZR_I2C_SUCCESS;
}

I2C_ERROR_CODE ZR_I2C_READ_REG_5321(S32 nPort, U16 sChipAddr, U8 cRegAddr, U16* u16cValue)
{
    if (u16cValue == nullptr || !PortOpen(nPort))
        return ZR_I2C_FAILURE;
    U8 buf[2] = {0, 0};
    struct i2c_msg msg;
    msg.addr = (U16)(sChipAddr / 2);
    msg.flags = I2C_M_RD;
    msg.len = 2;
    msg.buf = buf;
    if (plat::I2cTransfer(g_i2c_fd[nPort], &msg, 1) < 0) {
        int err = errno;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_HW,
                   "%ld:%s:%d [%s]%d: I2CPort: %d chipaddr: 0x%x reg 0x%x ioctl read command error [%d], call ioctl[%s]\n\n",
                   LOG_POS, __func__, __LINE__, (int)nPort, sChipAddr, cRegAddr, err, strerror(err));
        return ZR_I2C_FAILURE;
    }
    *u16cValue = (U16)(((buf[0] & 0x0F) << 8) + buf[1]);
    return ZR_I2C_SUCCESS;
}

I2C_ERROR_CODE I2C_CHIP5321_WriteOneReg(U8 RegAddr, U16 u16RegValue)
{
    return ZR_I2C_WRITE_REG_5321(I2C_AD5321_PORT, I2C_AD5321_WRITE_ADDR, RegAddr, u16RegValue);
}

I2C_ERROR_CODE I2C_CHIP5321_ReadOneReg(U8 RegAddr, U16* pu16Value)
{
    return ZR_I2C_READ_REG_5321(I2C_AD5321_PORT, I2C_AD5321_READ_ADDR, RegAddr, pu16Value);
}
