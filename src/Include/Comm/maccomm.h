// Chip link between the master and the slave chip (TCP port 8050).
#pragma once
#include "Comm/framecodec.h"
#include "Common/err.h"
#include "Common/types.h"
#include "Driver/FPGA/fpga.h"
#include "Platform/platform.h"
#include <cstddef>
#include <semaphore.h>
#include <vector>

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
    ZR_COM_MAC_CMD_STT_ENABLE_FLAG = 867,
    ZR_COM_MAC_CMD_TOT_ENABLE_FLAG = 869,
    ZR_COM_MAC_CMD_TOT_TABLE_INFO = 870,
    ZR_COM_MAC_CMD_SYSTEM_TIME = 871,
    ZR_COM_MAC_CMD_DETE_ALIVE = 65535
} ZR_COM_MAC_CMD;

// 1 while the slave chip is taken to be present.
// Set by the slave detection on the first thread, read by the peer sender
// and handlers of other threads: accessed with __atomic builtins.
extern U8 SLAVE_CHIP_IS_EXIST;
// The card's output channel count: 8 with the slave chip, 4 without.
extern U8 g_u8OutputChannelNum;
// 1 once the slave chip has been told to reboot.
extern U8 SLAVE_HAVE_RECIEVE_REBOOT_CMD;


// Row of a chip-link command table; a row with command 0 ends a table.
typedef S32 (*MacComFunc)(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm);
typedef struct _MacComFuncMap {
    U32 u32CmdId;
    MacComFunc func;
} MacComFuncMap_Master, MacComFuncMap_Slaver;

// Chip-link addresses besides the two of the link itself (in socket.h).
#define MACCOMM_MASTER_ETH1_IP 0xC0A8206Eu  // 192.168.32.110
#define MACCOMM_SLAVE_ETH1_IP 0xC0A8206Fu   // 192.168.32.111
// Largest file a chip-link transfer may carry (an upgrade image fits).
#define MACCOMM_FILE_MAX_BYTES (256ull * 1024 * 1024)

// A one-shot command to the slave chip (log clear, log file, reboot, register
// access) acts only while the master still waits for it, on one connection:
// the master sends the command with its usual data and this trailer (tag
// ASK); the slave replies 1 with the trailer (tag READY) and waits for the
// master's confirmation (the command with the trailer alone, tag GO); only a
// confirmation read within MACComm_ConfirmWaitMs() of its READY, in its own
// clock, makes it act; its reply to the confirmation (1 with the result's
// data, or 2) is the outcome. A master that gave up has closed the
// connection, so a slave that reads the command late finds no confirmation.
// A command without the trailer acts at once, as an earlier master sends it.
#define MACCOMM_CONFIRM_ASK 0x4B534143u    // "CASK"
#define MACCOMM_CONFIRM_READY 0x59445243u  // "CRDY"
#define MACCOMM_CONFIRM_GO 0x4F474F43u     // "COGO"
typedef struct {
    U32 u32Tag;
    U32 u32Id;  // the master's number for this command, the same in all three
} __attribute__((packed)) ST_MACCOMM_CONFIRM;
static_assert(sizeof(ST_MACCOMM_CONFIRM) == 8, "confirmation trailer crosses the link as 8 bytes");
// The slave's wait for the confirmation after its READY (400 ms in the
// chip's own time; tests set it).
int MACComm_ConfirmWaitMs(void);
void MACComm_SetConfirmWaitMs(int ms);
// The master's waits: for the READY, and from the READY for the outcome (at
// least twice the slave's wait, so that an outcome the slave sent in time is
// read whatever the two clocks' offsets); together the bound of a web or
// SNMP request's wait on the slave chip.
#define MACCOMM_ASK_WAIT_MS (1200 * (int)plat::Slowness())
#define MACCOMM_DONE_WAIT_MS (800 * (int)plat::Slowness())

// Sends a confirmed one-shot command (see above) and waits at most askMs for
// the READY and doneMs more for the outcome. 0 when the slave chip did it
// (its result's data in *pResult; an earlier slave that acted at once
// replies 1 alone: 0 with no data); 1539 when no connection was made, 1540
// when the slave did not take it in time, 1 when it refused or failed: in
// these cases nothing was done, unless *pbMayHaveActed says that it was
// confirmed and its outcome did not come back in time.
S32 MACMasterComm_SendConfirmed(ZR_COM_MAC_CMD emCmd, const U8* pu8Data, U32 u32DataLen, int askMs, int doneMs,
                                std::vector<U8>* pResult, bool* pbMayHaveActed);
// One register access on the slave chip (836 read, 849 write), confirmed:
// the answer in stSlaveRegInfo and the command's answer semaphore posted.
// 0, or why not (1539 also while the slave chip is absent: nothing is sent).
S32 MACMasterComm_SlaveRegAccess(ZR_COM_MAC_CMD emCmd, const ST_DEBUG_SLAVE_REG_INFO* pstReq, sem_t* pAnswer);
// The result of the calling thread's last slave register access (0: none
// failed since the last reset).
zrErrCode MACComm_SlaveRegCode(void);
void MACComm_ResetSlaveRegCode(void);
// Slave end: for a one-shot command carrying the trailer after its usual
// u32BaseLen bytes, replies READY and waits for the confirmation (*pbAsked
// true; the handler then replies the outcome itself). True when the command
// is to be done now: confirmed in time, or sent without the trailer.
bool MACSlave_Confirmed(S32 s32Socket, const ST_ZR_IPCOMM* pstIPComm, U32 u32BaseLen, bool* pbAsked);

// The slave chip's log archive for one log export (master): Open removes an
// archive of an earlier export and takes the next transfer; Close ends the
// window (a transfer after it is refused) and says whether a whole archive
// came within it; one that did not is removed.
void MACComm_LogArchiveOpen(void);
bool MACComm_LogArchiveClose(void);

// Set-up of the addresses of each end.
void MAC_InitDirectMACCommMaster(void);
void MACSlave_InitDirectMACComm(void);

// Senders.
S32 MACMasterCommSendData(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen);
S32 MACMasterCommSendCmd(ZR_COM_MAC_CMD emComMacCmd);
// The same, for a caller that must answer soon: each reply awaited at most
// waitMs (0: the link's reply wait) and a silent slave not asked again.
S32 MACMasterCommSendDataWithin(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen, int waitMs);
S32 MACMasterCommSendCmdWithin(ZR_COM_MAC_CMD emComMacCmd, int waitMs);
S32 MACMasterCom_SendFile(ZR_COM_MAC_CMD emComMacCmd, const U8* pu8Path);
S32 MACSlaveCommSendData(ZR_COM_MAC_CMD emComMacCmd, U8* u8Data, U32 u32DataLen);
S32 MACSlaveCom_SendFile(ZR_COM_MAC_CMD emComMacCmd, const U8* pu8Path);

// File routines of both chips.
S32 MACComm_ReadFile(const U8* pu8Path, U8* pu8Buf, U32 u32Len);
S32 MACComm_CombineFile(const U8* pu8Buf, U32 u32Len, const U8* pu8Path);
// Takes one frame of a file transfer; 0 when the frame completed a file.
S32 MACComm_RecieveFile(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm, const U8* pu8Path);

// Servers and dispatch.
void* MACCommMasterTask(void* arg);
void* MACSlaveCommTask(void* arg);
S32 MACMasterComm_ParseCmd(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm);
S32 MACSlaveComm_ParseCmd(S32 s32Socket, ST_ZR_IPCOMM* pstIPComm);
// One accepted connection of a chip-link server: read, unpack, dispatch.
void MACComm_ServeConnection(S32 s32Socket, S32 (*parse)(S32, ST_ZR_IPCOMM*));

// Detection and versions (master).
S32 MACComSlaveChipDetect(void);
S32 MACComGetSlaveChipSoftVersion(void);
// Pushes the master's state to the slave: after the detection found it, and
// again when a slave that restarted alone announces itself.
void MACComm_ResendStartupState(void);
// Slave start-up: tells the master that this chip's program (re)started.
void MACSlave_Announce(void);
// True once a detection found the slave chip (and it counts as present):
// from then on a message it did not take is one it misses.
bool MACComm_SlaveFound(void);
// Fills the version comparison from both chips and logs its banner.
void MACComm_CompareVersions(bool bSent);
U8 Get_VersionInfo_ISSameFlg(void);
// Stores a version the slave answered (its logic version when bLogic), for
// the comparison of the detection; the SPI link's answers come here too.
void MACComm_SetSlaveVersion(bool bLogic, U32 u32Version);
void MACComm_SetSameFlg(U8 u8Same);
// Asks the slave its installed software version (the start-up request) until
// it is u32Version or waitMs has passed (plus one reply wait at most); the
// last version it answered (0: none) goes to *pu32Slave.
bool MACComm_WaitSlaveVersion(U32 u32Version, int waitMs, U32* pu32Slave);
// Logs at error level that the chips' installed versions differ (slave 0: unknown).
void MACComm_LogVersionsDiffer(U32 u32SlaveVersion);
BOOL GetLogRecieveEndFlag(void);
void SetLogRecieveEndFlag(BOOL bFlag);

// What the slave's handlers do, shared with the SPI chip link.
void MACSlave_RegExecute(ST_DEBUG_SLAVE_REG_INFO* pstReg, bool bWrite);
void MACSlave_SetHardVersion(U32 u32Version);
void MACSlave_DeliverMux(std::vector<U8>& block);
void MACSlave_DeliverPass(std::vector<U8>& block);
void MACSlave_DeliverPsi(std::vector<U8>& block);
void MACSlave_DeliverQam(std::vector<U8>& block);

// Slave reboot thread body started by the handler of 833.
void* MACCom_Reboot(void* arg);

// Test-only settings: the pauses of one detection pass and of the slave's
// reboot thread (milliseconds), and the chip-link port (0 keeps 8050).
void MACComm_SetTestPauses(int detectFirstMs, int detectSecondMs, int rebootMs);
void MACComm_SetSlaveRebootPause(int ms);
// Test-only: software-version answers the master has taken from the slave.
U32 MACComm_VersionAnswers(void);
// Search of a command table up to its 0 row; no row: logged, no reply.
S32 MACComm_Dispatch(const MacComFuncMap_Master* table, size_t rows, S32 s32Socket, ST_ZR_IPCOMM* pstIPComm);

// Upgrade of a received image (upgrade module).
void* upgrade_FileCasTask(void* arg);

// ATSC time data the master last sent the slave (command 865).
extern U8 g_u8NTPZone;
extern U8 g_u8DayLightFlag;
extern U16 g_u16GPSOffset;
