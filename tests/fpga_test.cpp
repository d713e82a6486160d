// FPGA register window and services, checked in the shared state file and
// through the device models.
#include "Comm/maccomm.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/board_state.h"
#include "Platform/platform.h"
#include "TSprocess/tsp.h"
#include "support/framepeer.h"
#include "support/testboard.h"
#include <atomic>
#include <chrono>
#include <cstring>
#include <fstream>
#include <gtest/gtest.h>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>
#include <thread>
#include <vector>

using simboard::PeekReg;
using simboard::PokeReg;

namespace {

// The register as another process sees it: read from the state file itself.
U32 RegInFile(U32 reg)
{
    std::ifstream f(TestBoardRoot() + "/" + simboard::kStateFile, std::ios::binary);
    f.seekg((std::streamoff)(simboard::kFpgaOffset + 16ull * reg));
    U8 b[4] = {};
    f.read(reinterpret_cast<char*>(b), 4);
    return (U32)b[0] | (U32)b[1] << 8 | (U32)b[2] << 16 | (U32)b[3] << 24;
}

double Seconds(std::chrono::steady_clock::time_point since)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

}  // namespace

TEST(FpgaWindow, RegistersLieSixteenBytesApartInTheStateFile)
{
    FPGA_REG_Write(300, 0xA5A5F00Du);
    FPGA_REG_Write(301, 7);
    EXPECT_EQ(RegInFile(300), 0xA5A5F00Du);
    EXPECT_EQ(RegInFile(301), 7u);
    U32 v = 0;
    PokeReg(302, 0x12345678u);
    FPGA_REG_Read(302, &v);
    EXPECT_EQ(v, 0x12345678u);
}

TEST(FpgaWindow, RegistersOutsideTheWindowAreRefused)
{
    volatile U32* gpio = plat::MapPhys(simboard::kGpioPhys, simboard::kBlockLen);
    ASSERT_NE(gpio, nullptr);
    U32 before = gpio[0];
    FPGA_REG_Write(65536, 0xDEADBEEFu);  // would be the first word behind the window
    FPGA_REG_Write(0xFFFFFFFFu, 0xDEADBEEFu);
    EXPECT_EQ(gpio[0], before);
    U32 v = 0x5555;
    FPGA_REG_Read(65536, &v);
    EXPECT_EQ(v, 0x5555u) << "the caller's value stays";
    FPGA_REG_04_Write(70000, 1);
    EXPECT_EQ(FPGA_LogRegWriteDebug(0, 65536, 1), PE_ERR_FAILURE);
    EXPECT_EQ(FPGA_LogRegReadDebug(0, 65536, &v), PE_ERR_FAILURE);
    EXPECT_EQ(v, 0x5555u);
    // The last register still works.
    EXPECT_EQ(FPGA_LogRegWriteDebug(0, 65535, 0x77), PE_SUCCESS);
    EXPECT_EQ(FPGA_LogRegReadDebug(0, 65535, &v), PE_SUCCESS);
    EXPECT_EQ(v, 0x77u);
}

TEST(FpgaServices, IdentityRegisters)
{
    PokeReg(16, 9);
    EXPECT_EQ(FPGA_GetSlotID(), 9u);
    PokeReg(0, 0x11223344u);  // bytes b3..b0 = 11 22 33 44
    U32 ver = 0;
    FPGA_GetLOGVerSion(&ver);
    EXPECT_EQ(ver, 0x44331122u);
    FPGA_GetLOGVerSion(nullptr);

    PokeReg(17, 3);  // only bit 0 counts
    FPGA_CheckChipType();
    EXPECT_EQ(FPGA_GetChipType(), CHIP_TYPE_SUB);
    PokeReg(17, 0);
    FPGA_CheckChipType();
    EXPECT_EQ(FPGA_GetChipType(), CHIP_TYPE_MAIN);
}

TEST(FpgaServices, DestinationChannelMapPerStandardAndChip)
{
    U32 savedMode = g_u32ModulationMode;
    struct { U32 mode, reg; } map[] = {{0, 1024}, {1, 1280}, {2, 1024}, {3, 1536}, {4, 1792}, {5, 2048}, {6, 2304}};
    for (auto m : map) {
        g_u32ModulationMode = m.mode;
        for (U32 chip : {0u, 1u}) {
            PokeReg(17, chip);
            PokeReg(m.reg, 0);
            FPGA_SetDestChannel();
            EXPECT_EQ(RegInFile(m.reg), chip == 0 ? 0x03020100u : 0x07060504u) << "mode " << m.mode;
        }
    }
    PokeReg(17, 0);
    FPGA_CheckChipType();  // the driver's copy of the role, for later tests
    g_u32ModulationMode = savedMode;
}

TEST(FpgaServices, MacAddressesAndLed)
{
    U8 mac[6] = {0x00, 0x11, 0x22, 0x33, 0x44, 0x55};
    FPGA_SetMacAddr(mac, 0);
    EXPECT_EQ(PeekReg(265), 0x001122u);
    EXPECT_EQ(PeekReg(266), 0x334455u);
    U8 mac2[6] = {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF};
    FPGA_SetMacAddr(mac2, 1);
    EXPECT_EQ(PeekReg(521), 0xAABBCCu);
    EXPECT_EQ(PeekReg(522), 0xDDEEFFu);
    EXPECT_EQ(PeekReg(265), 0x001122u) << "port 1 leaves port 0 alone";
    FPGA_SetSubChipMacAddr(mac2);
    EXPECT_EQ(PeekReg(265), 0xAABBCCu);
    EXPECT_EQ(PeekReg(266), 0xDDEEFFu);
    FPGA_SetMacAddr(nullptr, 0);

    FPGA_LEDGreenLight();
    LED_STATUS s = LED_OFF;
    FPGA_GetLEDStatus(&s);
    EXPECT_EQ(s, LED_GREEN);
    FPGA_LEDRedLight();
    EXPECT_EQ(PeekReg(21), (U32)LED_RED);
    FPGA_LEDOut();
    EXPECT_EQ(PeekReg(21), (U32)LED_OFF);
    std::string led = Slurp(TestBoardRoot() + "/trace/led.log");
    size_t g = led.rfind("LED GREEN"), r = led.rfind("LED RED"), o = led.rfind("LED OFF");
    ASSERT_NE(g, std::string::npos);
    ASSERT_NE(r, std::string::npos);
    EXPECT_TRUE(g < r && r < o) << led;
}

namespace {

// The red blinker's LED writes, held just before they land by the board's
// write hook while the stop is asked for from another thread.
std::atomic<pid_t> g_blinker{0}, g_stopper{0};
std::atomic<bool> g_stopped{false}, g_lateWrite{false};

char TaskState(pid_t tid)
{
    std::string stat = Slurp("/proc/self/task/" + std::to_string(tid) + "/stat");
    size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? 'X' : stat[close + 2];
}

void HoldBlinkerWrite(U32 reg, U32)
{
    pid_t self = (pid_t)syscall(SYS_gettid);
    pid_t none = 0;
    if (reg != 21 || (!g_blinker.compare_exchange_strong(none, self) && g_blinker != self))
        return;
    if (g_stopped) {
        g_lateWrite = true;  // lands after the stop returned
        return;
    }
    if (g_stopper != 0)
        return;
    std::thread([] {
        g_stopper = (pid_t)syscall(SYS_gettid);
        FPGA_LEDfresh_Stop();
        g_stopped = true;
    }).detach();
    // Held until the stop has returned or waits for the blinker.
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_stopped && std::chrono::steady_clock::now() < end &&
           (g_stopper == 0 || TaskState(g_stopper) != 'S'))
        std::this_thread::yield();
    if (g_stopped)
        g_lateWrite = true;
}

}  // namespace

// Once the stop of the red blinker has returned, the blinker never writes
// the LED again (it would put out the green the LED control sets next),
// even when the stop comes while the blinker is writing it.
TEST(FpgaServices, TheRedBlinkerNeverWritesTheLedAfterItsStop)
{
    simboard::SetFpgaWriteHook(HoldBlinkerWrite);
    ASSERT_EQ(FPGA_LEDRedfresh_Start(), ZR_SUCCESS);
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!g_stopped && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    ASSERT_TRUE(g_stopped);
    FPGA_LEDGreenLight();
    // The blinker ends once it sees the stop.
    while (TaskState(g_blinker) != 'X' && std::chrono::steady_clock::now() < end)
        std::this_thread::yield();
    EXPECT_EQ(TaskState(g_blinker), 'X');
    simboard::SetFpgaWriteHook(nullptr);
    EXPECT_FALSE(g_lateWrite);
    EXPECT_EQ(PeekReg(21), (U32)LED_GREEN);
}

// Start-up as the card runs it: the red blinker, then the LED control
// thread, which stops the blinker itself before its first pass. Its green
// stays: no blink puts it out or turns it red again. The LED is watched
// through the writes the threads make, not by reading the register beside
// them.
static std::atomic<U32> g_ledWritten{LED_OFF};
static void WatchLed(U32 reg, U32 value)
{
    if (reg == 21)
        g_ledWritten.store(value);
}

TEST(FpgaServices, TheLedControlThreadStopsTheRedBlinkerItself)
{
    RunInChildProcess([] {
        ASSERT_EQ(TSP_FactoryOutputTSInfo(), 0u);  // no streams: every channel is well
        MACComm_SetSameFlg(1);
        PokeReg(21, LED_OFF);
        simboard::SetFpgaWriteHook(WatchLed);
        ASSERT_EQ(FPGA_LEDRedfresh_Start(), ZR_SUCCESS);
        auto until = [](U32 colour, int ms) {
            auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
            while (g_ledWritten.load() != colour && std::chrono::steady_clock::now() < end)
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return g_ledWritten.load() == colour;
        };
        ASSERT_TRUE(until(LED_RED, 3000)) << "the blinker runs";
        ASSERT_EQ(LED_TaskMonitoring(), ZR_SUCCESS);
        ASSERT_TRUE(until(LED_GREEN, 10000));
        // Three of the blinker's periods: the LED is green at every look.
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(3500);
        U32 seen = LED_GREEN;
        while (seen == LED_GREEN && std::chrono::steady_clock::now() < end) {
            seen = g_ledWritten.load();
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        EXPECT_EQ(seen, (U32)LED_GREEN);
    });
}

TEST(FpgaServices, LinkAddressesIpAndModulationEnable)
{
    FPGA_MAC_Master_Comm_Init(0xC0A8BC6Eu);
    EXPECT_EQ(PeekReg(34), 4u);
    EXPECT_EQ(PeekReg(36), 0xC0A8BC6Eu);
    EXPECT_EQ(PeekReg(39), 3u);
    EXPECT_EQ(PeekReg(40), 0xC0A8BC6Fu);
    FPGA_MAC_Slave_Comm_Init(0xC0A8BC6Fu);
    EXPECT_EQ(PeekReg(36), 0xC0A8BC6Fu);
    EXPECT_EQ(PeekReg(40), 0xC0A8BC6Eu);

    FPGA_Set_IP0(0x0A000105u);
    EXPECT_EQ(PeekReg(305), 1u);
    EXPECT_EQ(PeekReg(312), 7u);
    EXPECT_EQ(PeekReg(289), 0u);
    EXPECT_EQ(PeekReg(290), 1234u);
    EXPECT_EQ(PeekReg(291), 0x0A000105u);
    EXPECT_EQ(PeekReg(288), 0u) << "pulsed";
    EXPECT_EQ(PeekReg(267), 0x0A000105u);
    U8 ip[4] = {0x06, 0x01, 0x00, 0x0A};
    FPGA_Set_SubChipIP0(ip);
    EXPECT_EQ(PeekReg(267), 0x0A000106u);
    FPGA_setIP0Filter(0x0A0000FEu);
    EXPECT_EQ(PeekReg(269), 0x0A0000FEu);

    FPGA_PhyReset();
    EXPECT_EQ(PeekReg(256), 1u);

    PokeReg(67, 5);
    FPGA_Modulate_Enable_Init();
    const std::pair<U32, U32> want[] = {{1285, 3072}, {4, 1},  {1539, 1}, {1794, 1},   {1055, 1},
                                        {65, 1},      {66, 29}, {67, 0},  {2053, 6144}};
    for (auto [reg, val] : want)
        EXPECT_EQ(RegInFile(reg), val) << "register " << reg;
}

TEST(FpgaServices, MailboxSendsOnePacketPerRecord)
{
    const int channel = 2;
    std::string capture = TestBoardRoot() + "/trace/si_ch" + std::to_string(channel) + ".ts";
    remove(capture.c_str());
    U8 rec[196];
    memset(rec, 0, sizeof(rec));
    rec[1] = channel;
    rec[8] = 0x47;
    rec[9] = 0x40;
    rec[10] = 0x00;
    rec[11] = 0x10;
    for (int i = 12; i < 196; i++)
        rec[i] = (U8)(i * 7);
    U32 words[49];
    for (int k = 0; k < 49; k++)
        words[k] = (U32)rec[4 * k] << 24 | (U32)rec[4 * k + 1] << 16 | (U32)rec[4 * k + 2] << 8 | rec[4 * k + 3];

    EXPECT_EQ(FPGA_Comm_SendData(words, 49), 0u);
    std::string ts = Slurp(capture);
    ASSERT_EQ(ts.size(), 188u);
    EXPECT_EQ(memcmp(ts.data(), rec + 8, 188), 0);
    EXPECT_EQ(PeekReg(803), 48u) << "the last index written";
    EXPECT_EQ(PeekReg(804), words[48]);
    EXPECT_EQ(PeekReg(802), 0u);
    EXPECT_EQ(PeekReg(801), 0u);

    rec[20] = 0xEE;
    words[3] = (U32)rec[12] << 24 | (U32)rec[13] << 16 | (U32)rec[14] << 8 | rec[15];
    words[5] = (U32)rec[20] << 24 | (U32)rec[21] << 16 | (U32)rec[22] << 8 | rec[23];
    EXPECT_EQ(FPGA_Comm_SendData(words, 49), 0u);
    ts = Slurp(capture);
    ASSERT_EQ(ts.size(), 376u) << "one packet appended per send pulse";
    EXPECT_EQ((U8)ts[188 + 12], 0xEE);

    EXPECT_EQ(FPGA_Comm_SendData(nullptr, 49), 1u);
    EXPECT_EQ(Slurp(capture).size(), 376u) << "a null record writes nothing";

    // A card killed inside a write left 44 bytes of a packet (the kernel
    // stopped at a page boundary): the next card's packets stay on the grid.
    remove(capture.c_str());
    {
        std::ofstream torn(capture, std::ios::binary);
        torn.write(reinterpret_cast<const char*>(rec + 8), 188);
        torn.write(reinterpret_cast<const char*>(rec + 8), 44);
    }
    EXPECT_EQ(FPGA_Comm_SendData(words, 49), 0u);
    ts = Slurp(capture);
    ASSERT_EQ(ts.size(), 376u) << "the torn packet is dropped";
    EXPECT_EQ(memcmp(ts.data() + 188, rec + 8, 188), 0);
}

TEST(FpgaServices, BitRatesFromTheCounters)
{
    simboard::Profile* p = simboard::GetProfile();
    ASSERT_NE(p, nullptr);
    simboard::Profile saved = *p;
    p->channelPackets[1] = 665;
    p->channelPackets[2] = 0;
    U32 lut = 1, eff = 1;
    FPGA_GetChannelBitRate(0, &lut, &eff);
    EXPECT_EQ(lut, 1504u) << "1000 packets per gate by default";
    FPGA_GetChannelBitRate(1, &lut, &eff);
    EXPECT_EQ(lut, 1000u);
    EXPECT_EQ(eff, 1000u);
    EXPECT_EQ(PeekReg(832), 2u);
    EXPECT_EQ(PeekReg(834), 135000000u);
    EXPECT_EQ(PeekReg(839), 1u);
    FPGA_GetChannelBitRate(2, &lut, &eff);
    EXPECT_EQ(lut, 0u);
    EXPECT_EQ(eff, 0u);

    p->pidPackets = 665;
    PokeReg(838, 0x85);
    U32 rate = 0;
    U8 cc = 0;
    EXPECT_EQ(FPGA_GetPIDBitInfo(3, 0x1FFB, &rate, &cc), 0u);
    EXPECT_EQ(rate, 1000u);
    EXPECT_EQ(cc, 5u);
    EXPECT_EQ(PeekReg(833), 3u);
    EXPECT_EQ(PeekReg(836), 0x1FFBu);
    FPGA_ClearPIDCc();
    EXPECT_EQ(PeekReg(838), 0u) << "the clear pulse resets the error count";
    EXPECT_EQ(PeekReg(835), 0u);
    EXPECT_EQ(FPGA_GetPIDBitInfo(3, 0x100, nullptr, &cc), 0xC0000u);
    EXPECT_EQ(FPGA_GetPIDBitInfo(3, 0x100, &rate, nullptr), 0xC0000u);
    *p = saved;
}

// The slave's answer arrives on another thread, as the chip link's handler
// would deliver it.
TEST(FpgaSlaveAccess, AnswerIsReturned)
{
    ChipLinkStandIn slave;
    SLAVE_CHIP_IS_EXIST = 1;
    std::thread answer([] {
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
        {
            std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
            stSlaveRegInfo.u32SlaveLogRegVal = 0xCAFE;
        }
        sem_post(&g_stReadRegVal_Sem);
    });
    U32 v = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FPGA_LogRegReadDebug(1, 500, &v), PE_SUCCESS);
    answer.join();
    EXPECT_LT(Seconds(t0), 2.0);
    EXPECT_EQ(v, 0xCAFEu);
    EXPECT_EQ(stSlaveRegInfo.u32SlaveLogRegAdd, 500u);
}

TEST(FpgaSlaveAccess, SilentSlaveTimesOutAndAbsentSlaveIsNotAwaited)
{
    ChipLinkStandIn slave;
    SLAVE_CHIP_IS_EXIST = 1;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FPGA_LogRegWriteDebug(1, 12, 34), PE_ERR_FAILURE);
    double waited = Seconds(t0);
    EXPECT_GT(waited, 2.5);
    EXPECT_LT(waited, 4.5);

    SLAVE_CHIP_IS_EXIST = 0;
    U32 v = 99;
    t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(FPGA_LogRegReadDebug(1, 12, &v), PE_ERR_FAILURE);
    EXPECT_EQ(FPGA_LogRegWriteDebug(1, 12, 34), PE_ERR_FAILURE);
    EXPECT_LT(Seconds(t0), 0.5);
    EXPECT_EQ(v, 99u);
    SLAVE_CHIP_IS_EXIST = 1;
}
