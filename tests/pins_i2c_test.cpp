// GPIO files, the mapped GPIO block, board pins and the AD5321 on I2C,
// driven through the drivers against the simulated board.
#include "Driver/FPGA/fpga.h"
#include "Driver/GPIO/gpio.h"
#include "Driver/GPIO/pin.h"
#include "Driver/I2C/i2c.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <gtest/gtest.h>
#include <string>

static std::string ReadText(const std::string& sysPath)
{
    std::string s;
    plat::ReadFile(sysPath, s);
    return s;
}

TEST(Gpio, SetAndGetGoThroughTheLinuxNumbersFiles)
{
    ASSERT_EQ(GPIO_SetGpio(15, 1, EMIO), ZR_GPIO_SUCCESS);
    // EMIO 15 is Linux GPIO 975: exported through the shell, then written.
    EXPECT_NE(ReadText("/trace/shell.log").find("echo 975 > /sys/class/gpio/export"), std::string::npos);
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio975/direction"), "out");
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio975/value"), "1");
    ASSERT_EQ(GPIO_SetGpio(15, 7, EMIO), ZR_GPIO_SUCCESS);  // any non-zero value is 1
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio975/value"), "1");
    ASSERT_EQ(GPIO_SetGpio(15, 0, EMIO), ZR_GPIO_SUCCESS);
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio975/value"), "0");

    // MIO 24 is Linux GPIO 930, read as an input.
    simboard::GetProfile()->hwVersionPins[0] = 1;
    U32 v = 99;
    ASSERT_EQ(GPIO_GetGpio(24, &v, MIO), ZR_GPIO_SUCCESS);
    EXPECT_EQ(v, 1u);
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio930/direction"), "in");
    simboard::GetProfile()->hwVersionPins[0] = 0;
    ASSERT_EQ(GPIO_GetGpio(24, &v, MIO), ZR_GPIO_SUCCESS);
    EXPECT_EQ(v, 0u);

    EXPECT_EQ(GPIO_GetLinuxGPIONum(15, EMIO), 975u);
    EXPECT_EQ(GPIO_GetLinuxGPIONum(24, MIO), 930u);
    EXPECT_EQ(GPIO_GetLinuxGPIONum(129, MIO), 0u);
}

TEST(Gpio, BadPinsAndDirectionsAreRefusedBeforeAnyFile)
{
    std::string before = ReadText("/trace/shell.log");
    U32 v = 5;
    EXPECT_EQ(GPIO_SetGpio(129, 1, EMIO), ZR_GPIO_PIN_NUM_ERR);
    EXPECT_EQ(GPIO_GetGpio(129, &v, MIO), ZR_GPIO_PIN_NUM_ERR);
    EXPECT_EQ(GPIO_CreateGPIOController(129, EMIO), ZR_GPIO_PIN_NUM_ERR);
    EXPECT_EQ(GPIO_SetGPIODirection(129, GPIO_OUT, EMIO), ZR_GPIO_PIN_NUM_ERR);
    EXPECT_EQ(v, 5u);
    EXPECT_EQ(ReadText("/trace/shell.log"), before);
    EXPECT_FALSE(plat::Exists("/sys/class/gpio/gpio1089"));

    EXPECT_EQ(GPIO_SetGPIODirection(15, (GPIODirectionType)2, EMIO), ZR_GPIO_DIRECT_PARAM_ERR);
    // A pin that was never exported has no direction file.
    EXPECT_EQ(GPIO_SetGPIODirection(100, GPIO_OUT, EMIO), ZR_GPIO_DIRECT_FILE_OPEN_ERR);
    EXPECT_EQ(GPIO_GetGpio(24, nullptr, MIO), ZR_GPIO_VALUE_FILE_READ_ERR);
}

TEST(Gpio, MappedBlockKeepsItsWordsAndChecksPins)
{
    ASSERT_NE(s_pGPIOAddress, nullptr);
    volatile U32* g = s_pGPIOAddress;
    // EMIO 3 is bank 2, bit 3; EMIO 40 is bank 3, bit 8.
    ASSERT_EQ(GPIO_Write_By_PinN(3, 1, EMIO), 0u);
    ASSERT_EQ(GPIO_Write_By_PinN(40, 1, EMIO), 0u);
    EXPECT_EQ(g[(0x204 + 0x80) / 4] & 0x8, 0x8u);
    EXPECT_EQ(g[(0x208 + 0x80) / 4] & 0x8, 0x8u);
    EXPECT_EQ(g[0x48 / 4] & 0x8, 0x8u);
    EXPECT_EQ(g[0x4C / 4] & 0x100, 0x100u);
    ASSERT_EQ(GPIO_Write_By_PinN(3, 0, EMIO), 0u);
    EXPECT_EQ(g[0x48 / 4] & 0x8, 0u);
    EXPECT_EQ(g[0x4C / 4] & 0x100, 0x100u);  // the other bank keeps its word

    // A read makes the pin an input and gives its bit, masked but not shifted.
    g[(0x60 + 8) / 4] = 0x10;
    U32 v = 0;
    ASSERT_EQ(GPIO_Read_By_PinN(4, &v, EMIO), 0u);
    EXPECT_EQ(v, 0x10u);
    EXPECT_EQ(g[(0x204 + 0x80) / 4] & 0x10, 0u);
    EXPECT_EQ(g[(0x204 + 0x80) / 4] & 0x8, 0x8u);  // pin 3 is still an output

    U32 mask = 0;
    EXPECT_EQ(GPIO_Offset_By_PinN(&mask, 53, MIO), 0u);
    EXPECT_EQ(mask, 1u << 21);
    EXPECT_EQ(GPIO_Offset_By_PinN(&mask, 54, MIO), PE_ERR_GPIO_PARAMS_ERR);
    EXPECT_EQ(GPIO_Offset_By_PinN(&mask, 64, EMIO), PE_ERR_GPIO_PARAMS_ERR);
    EXPECT_EQ(GPIO_Write_By_PinN(3, 2, EMIO), PE_ERR_GPIO_PARAMS_ERR);
    EXPECT_EQ(GPIO_Read_By_PinN(3, nullptr, EMIO), PE_ERR_GPIO_PARAMS_ERR);
}

TEST(BoardPins, HardwareVersionAndPowerLevelType)
{
    simboard::Profile* p = simboard::GetProfile();
    p->hwVersionPins[0] = 1;
    p->hwVersionPins[1] = 1;
    p->hwVersionPins[2] = 0;
    U32 ver = PIN_GetHWVersion();
    EXPECT_EQ(ver, 3u);
    EXPECT_EQ(PIN_GetPowerLevelType(ver), 2);
    p->hwVersionPins[0] = 0;
    p->hwVersionPins[1] = 0;
    p->hwVersionPins[2] = 1;
    EXPECT_EQ(PIN_GetHWVersion(), 4u);
    p->hwVersionPins[2] = 0;
    EXPECT_EQ(PIN_GetHWVersion(), 0u);

    const U8 expected[8] = {0, 1, 0, 2, 0, 3, 3, 3};
    for (U32 v = 0; v < 8; v++)
        EXPECT_EQ(PIN_GetPowerLevelType(v), expected[v]) << "version " << v;
    EXPECT_EQ(PIN_GetPowerLevelType(0xFFFFFFFF), 3);
}

TEST(I2c, Ad5321WriteAndReadBack)
{
    ZR_I2C_Init();
    ASSERT_GT(g_i2c_fd[2], 0);
    simboard::I2cChipModels* m = simboard::GetI2cChips();
    ASSERT_NE(m, nullptr);

    ASSERT_EQ(I2C_CHIP5321_WriteOneReg(0, 0x0ABC), ZR_I2C_SUCCESS);
    EXPECT_EQ(m->ad5321[0], 0x0A);
    EXPECT_EQ(m->ad5321[1], 0xBC);
    U16 v = 0;
    ASSERT_EQ(I2C_CHIP5321_ReadOneReg(0, &v), ZR_I2C_SUCCESS);
    EXPECT_EQ(v, 0x0ABC);
    EXPECT_NE(ReadText("/trace/i2c.log").find("AD5321 write 0a bc"), std::string::npos);

    // Bits above the 12-bit code are not sent; the read masks the power-down bits.
    ASSERT_EQ(I2C_CHIP5321_WriteOneReg(0, 0xF123), ZR_I2C_SUCCESS);
    EXPECT_EQ(m->ad5321[0], 0x01);
    m->ad5321[0] = 0xFA;
    m->ad5321[1] = 0x12;
    ASSERT_EQ(I2C_CHIP5321_ReadOneReg(0, &v), ZR_I2C_SUCCESS);
    EXPECT_EQ(v, 0x0A12);
}

TEST(I2c, UnopenedPortsAndAbsentChipsFail)
{
    ZR_I2C_Init();
    simboard::I2cChipModels* m = simboard::GetI2cChips();
    U32 writes = m->writes;
    U16 v = 0x1234;
    // Port 1 is never opened: nothing may go out on some other descriptor.
    EXPECT_EQ(g_i2c_fd[1], -1);
    EXPECT_EQ(ZR_I2C_WRITE_REG_5321(1, 0x18, 0, 0x0123), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_READ_REG_5321(1, 0x19, 0, &v), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_WRITE_REG_5321(-1, 0x18, 0, 0x0123), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_WRITE_REG_5321(3, 0x18, 0, 0x0123), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_READ_REG_5321(2, 0x19, 0, nullptr), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_Open(7), ZR_I2C_FAILURE);
    EXPECT_EQ(m->writes, writes);
    EXPECT_EQ(v, 0x1234);

    // Bus 0 carries no AD5321, and on bus 1 only address 0x0C answers.
    EXPECT_EQ(ZR_I2C_WRITE_REG_5321(0, 0x18, 0, 0x0123), ZR_I2C_FAILURE);
    EXPECT_EQ(ZR_I2C_WRITE_REG_5321(2, 0x20, 0, 0x0123), ZR_I2C_FAILURE);
    EXPECT_EQ(m->writes, writes);

    // Re-opening replaces the descriptor rather than leaking it.
    int before = g_i2c_fd[2];
    ASSERT_EQ(ZR_I2C_Open(2), ZR_I2C_SUCCESS);
    EXPECT_EQ(g_i2c_fd[2], before);
}

// Inside a batch (one bus transaction) the pin files wait in memory and are
// written back at its end; a read through the platform still sees the line.
TEST(Gpio, PinBatchWritesFilesBackOnce)
{
    const std::string real = TestBoardRoot() + "/sys/class/gpio/gpio975/value";
    ASSERT_EQ(GPIO_SetGpio(15, 0, EMIO), ZR_GPIO_SUCCESS);
    plat::PinBatchBegin();
    ASSERT_EQ(GPIO_SetGpio(15, 1, EMIO), ZR_GPIO_SUCCESS);
    ASSERT_EQ(GPIO_SetGpio(16, 1, EMIO), ZR_GPIO_SUCCESS);
    EXPECT_EQ(Slurp(real), "0");
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio975/value"), "1");
    ASSERT_EQ(GPIO_SetGpio(15, 0, EMIO), ZR_GPIO_SUCCESS);
    plat::PinBatchEnd();
    EXPECT_EQ(Slurp(real), "0");
    EXPECT_EQ(ReadText("/sys/class/gpio/gpio976/value"), "1");
}
