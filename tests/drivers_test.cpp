// Serial line, sockets, network addresses, Ethernet PHY, users file and
// chassis information on the simulated board.
#include "Common/user.h"
#include "CommonModules/System/system.h"
#include "Driver/FPGA/xil_io.h"
#include "Driver/PHY/phy.h"
#include "Driver/Socket/socket.h"
#include "Driver/UART/uart.h"
#include "Platform/board_state.h"
#include "support/testboard.h"
#include <arpa/inet.h>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <vector>

namespace {

std::string RootPath(const std::string& sys) { return TestBoardRoot() + sys; }

std::string RunCmd(const std::string& cmd)
{
    std::string out;
    FILE* f = popen(cmd.c_str(), "r");
    char buf[256];
    while (f && fgets(buf, sizeof(buf), f))
        out += buf;
    if (f)
        pclose(f);
    return out;
}

// A pty whose slave end stands in for the board's serial port.
struct Pty {
    int master = -1;
    std::string slave;
    Pty()
    {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master);
        unlockpt(master);
        slave = ptsname(master);
        unlink(RootPath("/dev/ttyPS1").c_str());
        EXPECT_EQ(symlink(slave.c_str(), RootPath("/dev/ttyPS1").c_str()), 0);
    }
    ~Pty()
    {
        uart1_Close();
        close(master);
        unlink(RootPath("/dev/ttyPS1").c_str());
    }
};

}  // namespace

TEST(Uart, SettingsAndBytesThroughPty)
{
    Pty pty;
    ASSERT_EQ(uart1_Init(), ZR_UART_SUCCESS);
    EXPECT_NE(RunCmd("stty -F " + pty.slave).find("speed 115200 baud"), std::string::npos);
    int keep = g_UART1Fd;
    EXPECT_EQ(uart1_Init(), ZR_UART_ALREADY_OPEN_ERR);
    EXPECT_EQ(g_UART1Fd, keep);
    // Any speed but 2400, 4800 and 9600 becomes 115200.
    ASSERT_EQ(uart_Set(g_UART1Fd, 9600, 8, 1, 'n'), ZR_UART_SUCCESS);
    EXPECT_NE(RunCmd("stty -F " + pty.slave).find("speed 9600 baud"), std::string::npos);
    ASSERT_EQ(uart_Set(g_UART1Fd, 57600, 8, 1, 'n'), ZR_UART_SUCCESS);
    EXPECT_NE(RunCmd("stty -F " + pty.slave).find("speed 115200 baud"), std::string::npos);
    EXPECT_EQ(uart_Set(-1, 115200, 8, 1, 'n'), ZR_UART_GET_OLDCONFIG_ERR);

    U8 out[5] = {0x55, 0x00, 0xAA, 0x0D, 0x0A};
    ASSERT_EQ(uart1_Write(out, 5), ZR_UART_SUCCESS);
    U8 got[8] = {0};
    ASSERT_EQ(read(pty.master, got, sizeof(got)), 5);
    EXPECT_EQ(memcmp(got, out, 5), 0);

    U8 in[3] = {0x01, 0x02, 0x00};
    ASSERT_EQ(write(pty.master, in, 3), 3);
    U8 buf[UART_READ_LEN];
    S32 len = 0;
    for (int i = 0; i < 100 && len <= 0; i++) {
        ASSERT_EQ(uart1_Read(buf, &len), ZR_UART_SUCCESS);
        if (len <= 0)
            usleep(10000);
    }
    ASSERT_EQ(len, 3);
    EXPECT_EQ(memcmp(buf, in, 3), 0);
    // Logged by length, in hex: binary bytes are not text.
    EXPECT_NE(Slurp(RootPath("/tarvex_data/log/K9_Modulate.log")).find("uart read len 3: 01 02 00"), std::string::npos);
    EXPECT_EQ(uart1_Read(nullptr, &len), ZR_UART_PARAM_ERR);
}

TEST(Sockets, PortsAndOwnAddresses)
{
    EXPECT_EQ(socketC_PortOf(0xC0A8BC6F), 8050);
    EXPECT_EQ(socketC_PortOf(0xC0A8BC6E), 8050);
    EXPECT_EQ(socketC_PortOf(0xC0A80110), 8000);
    // The chip-link server binds the chip's own mapped address.
    ASSERT_EQ(MACsocketS_open(), ZR_SOCKETS_SUCCESS);
    int fd = socketSfd_mac;
    EXPECT_EQ(MACsocketS_open(), ZR_SOCKETS_SUCCESS);
    EXPECT_EQ(socketSfd_mac, fd);
    ASSERT_EQ(MACSlavesocketS_bind(), ZR_SOCKETS_SUCCESS);
    sockaddr_in a;
    socklen_t len = sizeof(a);
    getsockname(socketSfd_mac, reinterpret_cast<sockaddr*>(&a), &len);
    EXPECT_EQ(ntohl(a.sin_addr.s_addr), 0x7FBC036Fu);
    EXPECT_EQ(ntohs(a.sin_port), 8050);
    close(socketSfd_mac);
    socketSfd_mac = -1;
    // Addresses outside the chassis are refused at once.
    S32 c = -1;
    ASSERT_EQ(socketC_open(&c), ZR_SOCKETC_SUCCESS);
    EXPECT_EQ(socketC_connect(c, 0x08080808), ZR_SOCKETC_BIND_ERR);
    close(c);
    EXPECT_EQ(socketC_open(nullptr), ZR_SOCKETC_BIND_ERR);
}

TEST(Sockets, ConnectToPeerThatNeverAcceptsTimesOut)
{
    // A listener on 127.168.1.13:8000 (an address no other test uses) that never
    // accepts, its queue filled.
    int l = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &one, sizeof(one));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(8000);
    a.sin_addr.s_addr = htonl(0x7FA8010D);
    ASSERT_EQ(bind(l, reinterpret_cast<sockaddr*>(&a), sizeof(a)), 0);
    ASSERT_EQ(listen(l, 0), 0);
    std::vector<int> fill;
    for (int i = 0; i < 16; i++) {
        int f = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        fill.push_back(f);
        connect(f, reinterpret_cast<sockaddr*>(&a), sizeof(a));
        pollfd p = {f, POLLOUT, 0};
        if (poll(&p, 1, 300) == 0)
            break;  // this one hangs: the queue is full
    }
    S32 c = -1;
    ASSERT_EQ(socketC_open(&c), ZR_SOCKETC_SUCCESS);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(socketC_connect(c, 0xC0A8010D), ZR_SOCKETC_BIND_ERR);
    auto secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(secs, 4.0);
    EXPECT_LT(secs, 8.0);
    close(c);
    for (int f : fill)
        close(f);
    close(l);
}

class PhyTest : public ::testing::Test {
protected:
    simboard::ModelArea* m = simboard::GetModels();
    simboard::Profile* prof = simboard::GetProfile();
    _PhyParams_st* p = Phy_GetPhyParams();
    void SetUp() override
    {
        Phy_Map(p);
        ASSERT_NE(p->s_pLogicAddress, nullptr);
    }
    void TearDown() override
    {
        prof->mdioNeverIdle = 0;
        volatile U32& nwsr = p->s_pLogicAddress[GEM_NWSR_OFFSET / 4];
        nwsr = nwsr | GEM_MDIO_IDLE;
        for (int pg = 0; pg < 8; pg++)
            m->mdio[0][pg][3] = 0x0DD1;
        unlink(RootPath(PHY_CONFIG_FILE).c_str());
    }
};

TEST_F(PhyTest, PatchListOn88E1510)
{
    Spill(RootPath(PHY_CONFIG_FILE),
          R"({"PhyConfig":{"88E1510":[
               {"phyAddr":0,"addr":22,"value":"0002"},
               {"phyAddr":0,"addr":16,"mask":"FF00","value":"0060"},
               {"phyAddr":40,"addr":16,"mask":"0000","value":"0001"},
               {"phyAddr":0,"addr":33,"mask":"0000","value":"0001"},
               {"phyAddr":0,"addr":17,"mask":"FF0","value":"0001"},
               {"phyAddr":0,"addr":18,"mask":"0000","value":"12ab"}],
             "YT8521":[{"phyAddr":0,"addr":16,"mask":"0000","value":"0007"}]}})");
    m->mdio[0][2][16] = 0x1234;
    m->mdio[0][2][17] = 0xABCD;
    ASSERT_EQ(Phy_init(p), 1);
    EXPECT_EQ(p->chipType, Phy88E1510);
    // Entries that do not fit an MDIO frame are skipped; a missing or
    // three-digit mask counts as 0 and the entry stays.
    EXPECT_EQ(p->phyListNum, 4u);
    EXPECT_EQ(m->mdio[0][0][22], 2);
    EXPECT_EQ(m->mdio[0][2][16], 0x1260);
    EXPECT_EQ(m->mdio[0][2][17], 0x0001);
    EXPECT_EQ(m->mdio[0][2][18], 0x12AB) << "lower-case hex digits";
    U16 v = 0;
    m->mdio[0][0][22] = 2;
    ASSERT_EQ(Phy_Read(p, 0, 16, &v), 0);
    EXPECT_EQ(v, 0x1260);
    EXPECT_EQ(Phy_Read(p, 32, 0, &v), 1);
    EXPECT_EQ(Phy_Read(nullptr, 0, 0, &v), 1);
}

TEST_F(PhyTest, UnknownChipReadsNoPatchFile)
{
    Spill(RootPath(PHY_CONFIG_FILE), "not json");
    for (int pg = 0; pg < 8; pg++)
        m->mdio[0][pg][3] = 0x0DD0;
    p->phyListNum = 77;
    EXPECT_EQ(Phy_init(p), 0);
    EXPECT_EQ(p->chipType, UnKnow);
    EXPECT_EQ(p->phyListNum, 77u);
    EXPECT_EQ(Phy_ParamsInit(p), 0);
}

TEST_F(PhyTest, HungManagementInterfaceGivesBusyWithinBound)
{
    prof->mdioNeverIdle = 1;
    U16 v = 0;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(Phy_Read(p, 0, 2, &v), PHY_MDIO_BUSY);
    EXPECT_LT(std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count(), 2.0);
    // Busy before the frame: refused at once, nothing written.
    EXPECT_EQ(XEmacPs_PhyWrite(p, 0, 4, 0x1111), PHY_MDIO_BUSY);
    EXPECT_NE(m->mdio[0][0][4], 0x1111);
}

TEST(NetAddress, SetIPRecordsIfconfigAndLinkWait)
{
    std::string before = Slurp(RootPath("/trace/shell.log"));
    IPconfig_SetIP(0xC0A8010B);
    std::string log = Slurp(RootPath("/trace/shell.log")).substr(before.size());
    EXPECT_NE(log.find("ifconfig eth0 192.168.1.11 netmask 255.255.255.0"), std::string::npos);
    U8 mac[6] = {0, 1, 2, 3, 4, 5};
    EXPECT_EQ(IP_SetLocalMac(mac, 0), ZR_SUCCESS);
    EXPECT_EQ(IP_SetLocalMac(nullptr, 0), ZR_ERR_PARAMS);
    IPconfig_SetLocalMask(0xFFFF0000);
    IPconfig_SetDefaultGate(0xC0A80101);
    log = Slurp(RootPath("/trace/shell.log")).substr(before.size());
    EXPECT_NE(log.find("ifconfig eth0 hw ether 00:01:02:03:04:05"), std::string::npos);
    EXPECT_NE(log.find("ifconfig eth0 netmask 255.255.0.0"), std::string::npos);
    EXPECT_NE(log.find("route add default gw 192.168.1.1"), std::string::npos);
    EXPECT_EQ(simboard::PeekReg(358), 0xC0A80101u);
    EXPECT_EQ(simboard::PeekReg(269), 0xC0A8010Bu);
}

TEST(NetAddress, LinkDownWaitsElevenTries)
{
    Spill(RootPath("/sys/class/net/eth0/operstate"), "down\n");
    EXPECT_EQ(NetCard_IsLinkUp(), 0);
    auto t0 = std::chrono::steady_clock::now();
    IPconfig_SetIP(0xC0A8010B);
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    EXPECT_GT(secs, 10.5);
    EXPECT_LT(secs, 14.0);
    Spill(RootPath("/sys/class/net/eth0/operstate"), "UP\n");
    EXPECT_EQ(NetCard_IsLinkUp(), 1);
}

TEST(Users, AddFindDeleteAndFileFormat)
{
    Spill(RootPath(USER_FILE), "");
    const U8* pw = (const U8*)"secret12";
    EXPECT_EQ(user_AddUser((const U8*)"a", pw), ZR_ERR_USER_LEN_ERROR);
    // Texts that would break the line format are refused.
    EXPECT_EQ(user_AddUser((const U8*)"bad:name", pw), ZR_ERR_USER_LEN_ERROR);
    EXPECT_EQ(user_AddUser((const U8*)"bad name", pw), ZR_ERR_USER_LEN_ERROR);
    EXPECT_EQ(user_AddUser((const U8*)"admin", (const U8*)"pw\nx:y"), ZR_ERR_USER_LEN_ERROR);
    for (int i = 0; i < 10; i++) {
        std::string n = "user" + std::to_string(i);
        ASSERT_EQ(user_AddUser((const U8*)n.c_str(), pw), ZR_SUCCESS);
    }
    EXPECT_EQ(user_AddUser((const U8*)"user10", pw), ZR_ERR_USER_FULL);
    EXPECT_EQ(user_DelUser((const U8*)"user3"), ZR_SUCCESS);
    std::string file = Slurp(RootPath(USER_FILE));
    EXPECT_EQ(file.find("user3:"), std::string::npos);
    EXPECT_EQ(file.substr(0, 15), "user0:secret12\n");
    std::string before = file;
    EXPECT_EQ(user_AddUser((const U8*)"user4", pw), ZR_ERR_USER_EXIST);
    EXPECT_EQ(Slurp(RootPath(USER_FILE)), before);
    ASSERT_EQ(user_LoadUser(), ZR_SUCCESS);
    EXPECT_EQ(g_u32UserNum, 9u);
    EXPECT_EQ(user_CheckUser((const U8*)"user4", pw), ZR_SUCCESS);
    EXPECT_EQ(user_CheckUser((const U8*)"USER4", pw), ZR_ERR_USER_NOT_EXIST);
    EXPECT_EQ(user_CheckUser((const U8*)"user4", (const U8*)"secret13"), ZR_ERR_USER_PWD_ERR);
    EXPECT_EQ(user_ModifyUser((const U8*)"user4", (const U8*)"newpass"), ZR_SUCCESS);
    EXPECT_EQ(user_CheckUser((const U8*)"user4", (const U8*)"newpass"), ZR_SUCCESS);
    // Passwords never reach the log.
    EXPECT_EQ(Slurp(RootPath("/tarvex_data/log/K9_Modulate.log")).find("newpass"), std::string::npos);
    ST_USER_INFO shown[3];
    U32 n = 0;
    EXPECT_EQ(user_ShowUser(shown, 3, &n), ZR_ERR_PARAMS);
}

TEST(Users, LoadStopsAtLineWithoutColonAndCutsLongFields)
{
    Spill(RootPath(USER_FILE), "ann:pw1\nbrokenline\ncarl:pw2\n");
    ASSERT_EQ(user_LoadUser(), ZR_SUCCESS);
    EXPECT_EQ(g_u32UserNum, 1u);
    // The copy stays within the caller's array (ASan checks the bound).
    ST_USER_INFO* shown = new ST_USER_INFO[1];
    U32 n = 0;
    EXPECT_EQ(user_ShowUser(shown, 1, &n), ZR_SUCCESS);
    EXPECT_EQ(n, 1u);
    EXPECT_STREQ((const char*)shown[0].u8UserName, "ann");
    delete[] shown;
    Spill(RootPath(USER_FILE), std::string(40, 'x') + ":" + std::string(40, 'y') + "\n");
    ASSERT_EQ(user_LoadUser(), ZR_SUCCESS);
    EXPECT_EQ(strlen((const char*)g_stUserArr[0].u8UserName), 20u);
    EXPECT_EQ(strlen((const char*)g_stUserArr[0].u8UserPasswd), 20u);
    unlink(RootPath(USER_FILE).c_str());
    EXPECT_EQ(user_LoadUser(), ZR_ERR_USER_OPEN_FILE_ERROR);
}

TEST(Chassis, SlotTables)
{
    EXPECT_EQ(ZRSYS_HWSlot2UISlot(1, 10), 0);
    EXPECT_EQ(ZRSYS_UISlot2HWSlot(1, 2), 8);
    EXPECT_EQ(ZRSYS_HWSlot2UISlot(1, 3), 255);
    EXPECT_EQ(ZRSYS_UISlot2HWSlot(1, 17), 255);
    EXPECT_EQ(ZRSYS_HWSlot2UISlot(0, 10), 10);
    EXPECT_EQ(ZRSYS_UISlot2HWSlot(0, 2), 2);
    U8 map[17];
    for (int i = 0; i < 17; i++)
        map[i] = (U8)(i + 1);
    EXPECT_EQ(ZRSYS_SetSlotMap(nullptr), (U32)-1);
    ASSERT_EQ(ZRSYS_SetSlotMap(map), 0u);
    ZRSYS_SetSlotMapFromeBaseboard();
    EXPECT_EQ(ZRSYS_HWSlot2UISlot(1, 20), 20);
    EXPECT_EQ(ZRSYS_HWSlot2UISlot(1, 5), 4);
    EXPECT_EQ(ZRSYS_UISlot2HWSlot(1, 4), 5);
    EXPECT_EQ(ZRSYS_UISlot2HWSlot(1, 17), 17);
}

TEST(XilIO, NarrowAndSwappedAccessesInsideAWord)
{
    volatile U32* w = simboard::FpgaWindow() + 4 * 600;  // FPGA register 600
    *w = 0x11223344;
    volatile U8* b = reinterpret_cast<volatile U8*>(w);
    EXPECT_EQ(Xil_In8(b + 1), 0x33);
    EXPECT_EQ(Xil_In16(b + 2), 0x1122);
    Xil_Out8(b + 3, 0xAA);
    Xil_Out16(b, 0xBEEF);
    EXPECT_EQ(*w, 0xAA22BEEFu);
    EXPECT_EQ(Xil_In32BE(w), 0xEFBE22AAu);
    Xil_Out16BE(b + 2, 0x1234);
    EXPECT_EQ(*w, 0x3412BEEFu);
    EXPECT_EQ(Xil_EndianSwap16(0x1234), 0x3412);
    EXPECT_EQ(Xil_EndianSwap32(0x01020304), 0x04030201u);
}
