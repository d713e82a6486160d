// Start-up of modcard: common steps, then the master or the slave role.
#include "main/startup.h"
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Comm/uartcomm.h"
#include "Common/thread.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/PHY/phy.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "SIprocess/sip.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "Upgrade/upgrade.h"
#include "Web/web.h"
#include <atomic>
#include <cstdio>
#include <cstring>
#include <pthread.h>
#include <string>
#include <unistd.h>

U32 u32ChipType = CHIP_TYPE_MAIN;

// Card facts that the FPGA does not report: the Ethernet MAC address and
// whether the card carries the slave chip. They ship with the application.
static const char* kCardInfoFile = "/tarvex_app/app/card.conf";

struct CardInfo {
    U8 mac[6];
    bool slaveChip;
};

static CardInfo ReadCardInfo(U8 slot)
{
    // Without a stored address one is formed from the slot id, which is
    // unique within a chassis.
    CardInfo info = {{0x00, 0x5A, 0x52, 0x4D, 0x44, slot}, true};
    std::string text;
    if (!plat::ReadFile(kCardInfoFile, text, 4096))
        return info;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t end = text.find('\n', pos);
        std::string line = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end == std::string::npos ? text.size() : end + 1;
        unsigned m[6];
        if (sscanf(line.c_str(), "mac=%x:%x:%x:%x:%x:%x", &m[0], &m[1], &m[2], &m[3], &m[4], &m[5]) == 6) {
            for (int i = 0; i < 6; i++)
                info.mac[i] = (U8)m[i];
        } else if (line.rfind("slave_chip=", 0) == 0) {
            info.slaveChip = line.substr(11) != "0";
        }
    }
    return info;
}

void compileInfo(void)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d *** *** **** *** *** **** *** ***\n", LOG_POS);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d DTV (product Ltd.) \n", LOG_POS);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d QV-DTMB/QAMA/OFDM \n", LOG_POS);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d COMPILE TIME :%s %s \n", LOG_POS, __DATE__, __TIME__);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d *** *** **** *** *** **** *** ***\n", LOG_POS);
}

zrErrCode SNMP_Start(void)
{
    pthread_t tid;
    if (pthread_create(&tid, nullptr, Snmpd_Server, nullptr) != 0) {
        printf("SNMP thread create error\n");
        return ZR_ERR_COMM_PTHREAD_CREAT;
    }
    // From now on the agent's loop takes SIGHUP, SIGTERM, SIGINT and SIGUSR1.
    Thread_BlockControlSignals(true);
    printf("SNMP thread create successfully!\n");
    return ZR_SUCCESS;
}

// Called on the agent thread as it ends. Every other thread keeps the control
// signals blocked, so a thread that only waits for them takes them from now
// on: SIGTERM ends the card again at once, whatever start-up is doing.
void SNMP_AgentEnded(void)
{
    pthread_t tid;
    if (pthread_create(&tid, nullptr, [](void*) -> void* { for (;;) pause(); }, nullptr) == 0)
        pthread_detach(tid);
}

static void IdleForever(void)
{
    for (;;)
        sleep(1);
}

// The card's own IP address from its resource record.
static U32 OwnIPAddress(void);
// Step 31: a scheduled reboot every 72 hours at 5 o'clock unless one is set.
static void SetRebootScheduleDefaults(void);

void master_main(void)
{
    Iperf3SoftwareInit();
    UartComm_init();
    Status_Init();
    MAC_InitDirectMACCommMaster();
    Master_PARAMS_Init();

    _PhyParams_st* phy = Phy_GetPhyParams();
    if (phy != nullptr && phy->Phy_Map != nullptr)
        phy->Phy_Map(phy);
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d Phy_Map is not init\n", LOG_POS);
    if (phy != nullptr && phy->Phy_init != nullptr)
        phy->Phy_init(phy);
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d Phy_init is not init\n", LOG_POS);

    CardInfo card = ReadCardInfo((U8)FPGA_GetSlotID());
    IP_SetLocalMac(card.mac, 0);
    g_u8OutputChannelNum = card.slaveChip ? 8 : 4;

    Resource_Init();
    RF_Config_Master();
    FTP_UpgradeProfileInit();

    UartComm_GetTime();
    UartComm_GetSlotMap();
    UartComm_GetResource();
    UartComm_GetIpAddr(Status_GetSlotID());

    FPGA_ConfigIP();
    FPGA_SendMACToSubChip();

    U32 now = 0;
    Status_GetLinuxTime(&now);
    SlaveLink_Post(ZR_COM_MAC_CMD_SYSTEM_TIME, reinterpret_cast<U8*>(&now), 4);

    TSP_MuxProcess();
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();

    FPGA_CheckBitrateStatusStart();
    SIP_Init();
    IPServer_Start();
    Web_Start();

    U32 addr = OwnIPAddress();
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SNMP, "%ld:%s:%d ---------address:%u------------\n\n", LOG_POS, addr);
    FPGA_setIP0Filter(addr);

    SNMP_Start();
    IPComm_SendResToBackBoard();
    LED_TaskMonitoring();
    BMN_Master_DeteSysRebootTask();
    THREAD_NEW_DETACH(MACCommMasterTask, nullptr, "MACCommMasterTask");
    MACComSlaveChipDetect();

    sleep(5);
    FPGA_Modulate_Enable_Init();
    if (PARAMS_GetModulationMod() == 4)
        SetDTMB_CurPara_ReConfig();
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d This version is a universal version\n\n", LOG_POS);
    SetRebootScheduleDefaults();
    IdleForever();
}

void slave_main(void)
{
    MACSlave_InitDirectMACComm();
    THREAD_NEW_DETACH(MACSlaveCommTask, nullptr, "MACCommSlaveTask");
    Slave_PARAMS_Init();
    FPGA_CheckBitrateStatusStart();
    RF_Config_Slave();
    SIP_Init();
    // Ready to take the master's state: one restarted alone gets it again.
    MACSlave_Announce();
    BMN_Slave_DeteSysRebootTask();
    sleep(5);
    FPGA_Modulate_Enable_Init();
    plat::System("/etc/init.d/dropbear start");
    plat::System("/etc/init.d/inetd.busybox start");
    IdleForever();
}

int modcard_main(int argc, char** argv)
{
    (void)argc;
    (void)argv;
    log_Init((U8*)LOG_FILE_PATH);
    FPGA_Init();
    FPGA_LEDRedfresh_Start();
    compileInfo();

    U32 boardType = 0;
    FPGA_REG_Read(5, &boardType);
    const char* name;
    switch (boardType) {
    case 1:
    case 10: g_u32ModulationMode = 1; name = "OFDM"; break;
    case 2: g_u32ModulationMode = 3; name = "DVBC"; break;
    case 3: g_u32ModulationMode = 4; name = "DVBC_B"; break;
    case 4: g_u32ModulationMode = 5; name = "ISDBT"; break;
    case 5: g_u32ModulationMode = 6; name = "8VSB"; break;
    default: g_u32ModulationMode = 0; name = "DTMB"; break;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d ####### BoardType: %s #######\n", LOG_POS, name);

    FPGA_SetDestChannel();
    FPGA_REG_Write(914, 8);

    FPGA_REG_Read(17, &u32ChipType);
    if (u32ChipType == CHIP_TYPE_MAIN) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d ############Master:\n\n", LOG_POS);
        master_main();
    } else if (u32ChipType == CHIP_TYPE_SUB) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d ############Slave:\n\n", LOG_POS);
        slave_main();
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Chip type error: %u\n\n", LOG_POS, u32ChipType);
    // The supervisor starts the program again at once: do not let it spin.
    sleep(3);
    return 0;
}

static U32 OwnIPAddress(void)
{
    CARD_STATE_LOCK();
    TResource_TS* self = Resource_GetHandle(Status_GetSlotID());
    return self != nullptr ? self->u32IPAddress : 0;
}

static void SetRebootScheduleDefaults(void)
{
    CARD_STATE_LOCK();
    ST_ZR_PARAMS* pe = PARAMS_GetCurParamsHandler();
    if (pe == nullptr)
        return;
    QAM_IPMonitorPara& ipm = pe->st_IPMonitorParams.stIPMonitorParams;
    if (ipm.u8TimeGap == 0 && ipm.u8RebootHour == 0) {
        ipm.u8TimeGap = 72;
        ipm.u8RebootHour = 5;
        PARAMS_ParametersSave(pe);
    }
}
