// Chip link between the master and the slave chip (TCP port 8050).
#pragma once
#include "Common/err.h"
#include "Common/types.h"

typedef enum _ZR_COM_MAC_CMD {
    MACOMM_NONE_CMD = 48,
    MACOMM_SUCCESS_CMD = 49,
    MACOMM_DATA_ERROR = 50,
    ZR_COM_MAC_CMD_VERSION_SOFTWARE = 769,
    ZR_COM_MAC_CMD_VERSION_HARDWARE = 770,
    ZR_COM_MAC_CMD_VERSION_FPGA = 771,
    ZR_COM_MAC_CMD_FILE_UPGRADE = 785,
    ZR_COM_MAC_CMD_FILE_CONFIG = 786,
    ZR_COM_MAC_CMD_FILE_LOG = 787,
    ZR_COM_MAC_CMD_FILE_CLEAR_LOG = 788,
    ZR_COM_MAC_CMD_PARAMS_NET_CAS = 789,
    ZR_COM_MAC_CMD_PARAMS_NET_UNITCAST = 801,
    ZR_COM_MAC_CMD_PARAMS_NET_MULTICAST = 802,
    ZR_COM_MAC_CMD_PARAMS_NET_TS = 803,
    ZR_COM_MAC_CMD_PARAMS_MAC_CAS = 804,
    ZR_COM_MAC_CMD_PARAMS_MAC_TS = 805,
    ZR_COM_MAC_CMD_PARAMS_MUXER = 806,
    ZR_COM_MAC_CMD_PARAMS_QAM = 807,
    ZR_COM_MAC_CMD_STATUS_CAS = 808,
    ZR_COM_MAC_CMD_SYS_RESET = 817,
    ZR_COM_MAC_CMD_SYS_REBOOT = 833,
    ZR_COM_MAC_CMD_SYS_FACTORY = 834,
    ZR_COM_MAC_CMD_SYS_STATUS = 835,
    ZR_COM_MAC_CMD_REG_READ = 836,
    ZR_COM_MAC_CMD_REG_WRITE = 849,
    ZR_COM_MAC_CMD_PARAMS_PSI_INTERVAL = 850,
    ZR_COM_MAC_CMD_PARAMS_PSI_TABLE = 851,
    ZR_COM_MAC_CMD_PARAMS_PASSLUT = 852,
    ZR_COM_MAC_CMD_PARAMS_INTSIP = 853,
    ZR_COM_MAC_CMD_PARAMS_MAC = 854,
    ZR_COM_MAC_CMD_PARAMS_PSI_IP = 855,
    ZR_COM_MAC_CMD_RES_HARDVERSION = 856,
    ZR_COM_MAC_CMD_TEST = 857,
    ZR_COM_MAC_CMD_MOD_SI = 864,
    ZR_COM_MAC_CMD_ATSC_TIME_INFO = 865,
    ZR_COM_MAC_CMD_TDT_ENABLE_FLAG = 866,
    ZR_COM_MAC_CMD_TOT_ENABLE_FLAG = 869,
    ZR_COM_MAC_CMD_TOT_TABLE_INFO = 870,
    ZR_COM_MAC_CMD_SYSTEM_TIME = 871,
    ZR_COM_MAC_CMD_DETE_ALIVE = 65535
} ZR_COM_MAC_CMD;

// 1 while the slave chip is taken to be present.
extern U8 SLAVE_CHIP_IS_EXIST;
// The card's output channel count: 8 with the slave chip, 4 without.
extern U8 g_u8OutputChannelNum;

void MAC_InitDirectMACCommMaster(void);
void MACSlave_InitDirectMACComm(void);
S32 MACMasterCommSendData(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen);
S32 MACMasterCom_SendFile(ZR_COM_MAC_CMD emComMacCmd, const U8* pu8Path);
S32 MACComSlaveChipDetect(void);
// A command without data to the slave chip; the slave's log arrives later
// and sets the log-received flag.
S32 MACMasterCommSendCmd(ZR_COM_MAC_CMD emComMacCmd);
U8 GetLogRecieveEndFlag(void);
void SetLogRecieveEndFlag(U8 u8Flag);
U8 Get_VersionInfo_ISSameFlg(void);
void* MACCommMasterTask(void* arg);
void* MACSlaveCommTask(void* arg);

// ATSC time data the master last sent the slave (command 865).
extern U8 g_u8NTPZone;
extern U8 g_u8DayLightFlag;
extern U16 g_u16GPSOffset;
