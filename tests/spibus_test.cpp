// The bit-banged SPI buses, driven through the bus driver against the
// pin-level chip models of the simulated board.
#include "Driver/SPI/spi.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "support/testboard.h"
#include <cstddef>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

namespace {

simboard::RfChipModels& Chips()
{
    simboard::RfChipModels* m = simboard::GetRfChips();
    if (m == nullptr)
        throw std::runtime_error("no board state");
    return *m;
}

std::string SpiLog()
{
    std::string s;
    plat::ReadFile("/trace/spi.log", s);
    return s;
}

class SpiBus : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(SPIBUS_Init(), PE_SUCCESS); }
};

}  // namespace

TEST_F(SpiBus, Adf4351WordsLandInTheirRegisters)
{
    // The start-up words, register 5 first; each carries its number in bits 0-2.
    const U32 words[6][2] = {{5, 0x400005}, {4, 0x9C85FC}, {3, 0x3}, {2, 0x6E42}, {1, 0x800A711}, {0, 0x4D2060}};
    U32 latches = Chips().pll.sr.latches;
    for (const auto& w : words)
        SPIBUS_Write(w[0], w[1], SPI_DEV_ADF4351, SPI_BUS_1);
    const simboard::Adf4351Model& pll = Chips().pll;
    EXPECT_EQ(pll.regs[5], 0x400005u);
    EXPECT_EQ(pll.regs[4], 0x9C85FCu);
    EXPECT_EQ(pll.regs[3], 0x3u);
    EXPECT_EQ(pll.regs[2], 0x6E42u);
    EXPECT_EQ(pll.regs[1], 0x800A711u);
    EXPECT_EQ(pll.regs[0], 0x4D2060u);
    EXPECT_EQ(pll.sr.latches, latches + 6);
    EXPECT_NE(SpiLog().find("ADF4351 R5 := 0x00400005"), std::string::npos);

    // Traffic for the other chips passes the synthesiser without latching.
    SPIBUS_Write(0x21, 0x6B, SPI_DEV_AD9789, SPI_BUS_1);
    SPIBUS_Write(0, 0x15, SPI_DEV_RFDA0016, SPI_BUS_1);
    EXPECT_EQ(pll.sr.latches, latches + 6);
    EXPECT_EQ(pll.regs[5], 0x400005u);
    SPIBUS_Write(5, 0x580005, SPI_DEV_ADF4351, SPI_BUS_1);
    EXPECT_EQ(pll.regs[5], 0x580005u);
    EXPECT_EQ(Chips().att.value, 0x15u);  // and the synthesiser's word did not reach the attenuator
}

TEST_F(SpiBus, Ad9789WriteThenReadReturnsTheValue)
{
    const simboard::Ad9789Model& dac = Chips().dac[0];
    U32 writes = dac.writes, reads = dac.reads;
    SPIBUS_Write(0x12, 0xA5, SPI_DEV_AD9789, SPI_BUS_1);
    EXPECT_EQ(dac.regs[0x12], 0xA5);
    EXPECT_EQ(dac.writes, writes + 1);
    // The write is complete although the driver leaves the chip selected.
    EXPECT_EQ(dac.selected, 1u);

    EXPECT_EQ(SPIBUS_Read(0x12, SPI_DEV_AD9789, SPI_BUS_1), 0xA5u);
    EXPECT_EQ(dac.reads, reads + 1);
    EXPECT_EQ(dac.instr, 0x8012u);  // the read instruction as clocked in
    EXPECT_EQ(dac.selected, 0u);    // a read ends by deselecting
    EXPECT_EQ(dac.writes, writes + 1);

    // Every bit pattern survives the round trip, on neighbouring registers too.
    for (U32 v : {0x00u, 0xFFu, 0x80u, 0x01u, 0x5Au}) {
        SPIBUS_Write(0x30, v, SPI_DEV_AD9789, SPI_BUS_1);
        SPIBUS_Write(0x31, v ^ 0xFF, SPI_DEV_AD9789, SPI_BUS_1);
        EXPECT_EQ(SPIBUS_Read(0x30, SPI_DEV_AD9789, SPI_BUS_1), v);
        EXPECT_EQ(SPIBUS_Read(0x31, SPI_DEV_AD9789, SPI_BUS_1), v ^ 0xFF);
    }
    // Only the low eight bits of a value are sent.
    SPIBUS_Write(0x13, 0x1C3, SPI_DEV_AD9789, SPI_BUS_1);
    EXPECT_EQ(SPIBUS_Read(0x13, SPI_DEV_AD9789, SPI_BUS_1), 0xC3u);

    std::string log = SpiLog();
    EXPECT_NE(log.find("bus 1 AD9789 write 0x0012 := 0xa5"), std::string::npos);
    EXPECT_NE(log.find("bus 1 AD9789 read 0x0012 -> 0xa5"), std::string::npos);
    EXPECT_EQ(log.find("cut short"), std::string::npos);
}

TEST_F(SpiBus, Ad9789HighAddressNeverTurnsAWriteIntoARead)
{
    const simboard::Ad9789Model& dac = Chips().dac[0];
    SPIBUS_Write(0x14, 0x00, SPI_DEV_AD9789, SPI_BUS_1);
    U32 writes = dac.writes, reads = dac.reads;
    SPIBUS_Write(0x8014, 0x77, SPI_DEV_AD9789, SPI_BUS_1);
    EXPECT_EQ(dac.reads, reads);
    EXPECT_EQ(dac.writes, writes + 1);
    EXPECT_EQ(dac.instr & 0xE000, 0u);  // neither the read flag nor a transfer length
    EXPECT_EQ(dac.regs[0x14], 0x77);
    EXPECT_EQ(SPIBUS_Read(0xFFFF0014, SPI_DEV_AD9789, SPI_BUS_1), 0x77u);
}

TEST_F(SpiBus, Rfda0016TakesSixBitsOfTheValue)
{
    simboard::Rfda0016Model& att = Chips().att;
    SPIBUS_Write(0, 0x3F, SPI_DEV_RFDA0016, SPI_BUS_1);
    EXPECT_EQ(att.value, 0x3Fu);
    EXPECT_NE(SpiLog().find("RFDA0016 := 0x3f (bits 111111)"), std::string::npos);
    SPIBUS_Write(9, 0x40, SPI_DEV_RFDA0016, SPI_BUS_1);
    EXPECT_EQ(att.value, 0u);
    EXPECT_NE(SpiLog().find("RFDA0016 := 0x00 (bits 000000)"), std::string::npos);
    SPIBUS_Write(0, 0x25, SPI_DEV_RFDA0016, SPI_BUS_1);
    EXPECT_EQ(att.value, 0x25u);
}

TEST_F(SpiBus, WriteOnlyChipsReadZeroWithoutClockingButAreSelected)
{
    simboard::RfChipModels& m = Chips();
    SPIBUS_Write(0x12, 0x42, SPI_DEV_AD9789, SPI_BUS_1);  // leaves the DAC selected
    U32 edges = m.bus[0].risingEdges;
    EXPECT_EQ(SPIBUS_Read(5, SPI_DEV_ADF4351, SPI_BUS_1), 0u);
    EXPECT_EQ(m.bus[0].risingEdges, edges);
    EXPECT_EQ(m.dac[0].selected, 0u);  // the selection raised the DAC's line
    EXPECT_EQ(SPIBUS_Read(0, SPI_DEV_RFDA0016, SPI_BUS_1), 0u);
    EXPECT_EQ(m.bus[0].risingEdges, edges);

    // Unknown devices and buses clock nothing.
    EXPECT_EQ(SPIBUS_Read(0x12, SPI_DEV_NONE, SPI_BUS_1), 0u);
    SPIBUS_Write(0x12, 0x99, SPI_DEV_NONE, SPI_BUS_1);
    SPIBUS_Write(0x12, 0x99, SPI_DEV_AD9789, SPI_BUS_N);
    EXPECT_EQ(SPIBUS_Read(0x12, SPI_DEV_AD9789, SPI_BUS_N), 0u);
    EXPECT_EQ(m.bus[0].risingEdges, edges);
    EXPECT_EQ(m.dac[0].regs[0x12], 0x42);
}

TEST_F(SpiBus, Bus2AlwaysReachesTheSecondAd9789)
{
    simboard::RfChipModels& m = Chips();
    SPIBUS_Write(0x20, 0x11, SPI_DEV_AD9789, SPI_BUS_1);
    U32 edges1 = m.bus[0].risingEdges;
    U32 pll5 = m.pll.regs[5];
    SPIBUS_Write(0x20, 0x66, SPI_DEV_ADF4351, SPI_BUS_2);
    EXPECT_EQ(m.dac[1].regs[0x20], 0x66);
    EXPECT_EQ(m.dac[0].regs[0x20], 0x11);
    EXPECT_EQ(m.pll.regs[5], pll5);
    EXPECT_EQ(m.bus[0].risingEdges, edges1);
    EXPECT_EQ(SPIBUS_Read(0x20, SPI_DEV_AD9789, SPI_BUS_2), 0x66u);
    EXPECT_EQ(SPIBUS_Read(0x20, SPI_DEV_AD9789, SPI_BUS_1), 0x11u);
    EXPECT_NE(SpiLog().find("bus 2 AD9789 write 0x0020 := 0x66"), std::string::npos);
}

TEST_F(SpiBus, ConcurrentTransactionsStayWhole)
{
    // Two threads on the two buses and a third on the synthesiser: the
    // semaphore keeps every transaction in one piece.
    auto dacWorker = [](peSPIBUS_NUM bus, U32 base, int* bad) {
        for (U32 k = 0; k < 12; k++) {
            U32 reg = base + k, val = (k * 37 + base) & 0xFF;
            SPIBUS_Write(reg, val, SPI_DEV_AD9789, bus);
            if (SPIBUS_Read(reg, SPI_DEV_AD9789, bus) != val)
                (*bad)++;
        }
    };
    int bad1 = 0, bad2 = 0;
    std::thread t1(dacWorker, SPI_BUS_1, 0x100, &bad1);
    std::thread t2(dacWorker, SPI_BUS_2, 0x200, &bad2);
    std::thread t3([] {
        for (U32 k = 0; k < 6; k++)
            SPIBUS_Write(k, 0x1000u * (k + 1), SPI_DEV_ADF4351, SPI_BUS_1);
    });
    t1.join();
    t2.join();
    t3.join();
    EXPECT_EQ(bad1, 0);
    EXPECT_EQ(bad2, 0);
    for (U32 k = 0; k < 6; k++)
        EXPECT_EQ(Chips().pll.regs[k], 0x1000u * (k + 1) | k);
    EXPECT_EQ(SpiLog().find("cut short"), std::string::npos);
}

TEST_F(SpiBus, ChipStateLivesInTheBoardStateFile)
{
    // Another process (a register tool) maps the same file and sees the chips.
    SPIBUS_Write(0x2A, 0xC7, SPI_DEV_AD9789, SPI_BUS_1);
    int fd = plat::Open("/board.state", O_RDONLY);
    ASSERT_GE(fd, 0);
    U8 v = 0;
    off_t off = (off_t)(simboard::kModelOffset + offsetof(simboard::ModelArea, spiChips) +
                        offsetof(simboard::RfChipModels, dac) + 0x2A);
    ASSERT_EQ(pread(fd, &v, 1, off), 1);
    close(fd);
    EXPECT_EQ(v, 0xC7);
}
