// Operations that start-up calls but that are built by modules not yet on
// the card. Each is an empty operation that a real definition replaces.
#include "Comm/ipcomm.h"
#include "Comm/maccomm.h"
#include "Comm/uartcomm.h"
#include "DTMB/dtmb.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "SIprocess/sip.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "Upgrade/upgrade.h"
#include "Platform/platform.h"
#include "TSprocess/tsp_view.h"
#include "Web/web.h"
#include "main/startup.h"
#include <ctime>

#define PENDING __attribute__((weak))

// Card links.
PENDING U8 SLAVE_CHIP_IS_EXIST = 1;
PENDING U8 g_u8OutputChannelNum = 8;
PENDING U8 BMN_GetOutputChannelNum(void) { return g_u8OutputChannelNum; }
PENDING zrErrCode Iperf3SoftwareInit(void) { return ZR_SUCCESS; }
PENDING void UartComm_init(void) {}
PENDING zrErrCode UartComm_GetIpAddr(U8) { return ZR_SUCCESS; }
PENDING void UartComm_GetTime(void) {}
PENDING void UartComm_GetSlotMap(void) {}
PENDING void UartComm_GetResource(void) {}
PENDING void MAC_InitDirectMACCommMaster(void) {}
PENDING void MACSlave_InitDirectMACComm(void) {}
PENDING S32 MACMasterCommSendData(ZR_COM_MAC_CMD, U8*, U32) { return 0; }
PENDING S32 MACComSlaveChipDetect(void) { return 0; }
PENDING U8 Get_VersionInfo_ISSameFlg(void) { return 1; }
PENDING void* MACCommMasterTask(void*) { return nullptr; }
PENDING void* MACSlaveCommTask(void*) { return nullptr; }
PENDING zrErrCode IPComm_SendResToBackBoard(void) { return ZR_SUCCESS; }
PENDING S32 BMN_Master_DeteSysRebootTask(void) { return 0; }
PENDING S32 BMN_Slave_DeteSysRebootTask(void) { return 0; }
// Until reboot coordination exists: a card whose master works alone reboots
// at once; a two-chip card cannot tell its slave chip yet.
PENDING zrErrCode BMN_SubBoardReboot(void)
{
    if (BMN_GetOutputChannelNum() != 4)
        return ZR_ERR_WEB_REBOOT_FAIL;
    plat::System("sync");
    plat::System("reboot");
    return ZR_SUCCESS;
}

// Back-board services and reboot coordination the frame dispatcher starts.
PENDING U32 IPComm_ChangeIP(U8, U8*) { return 0; }
PENDING zrErrCode IPComm_GetAndSetParam(void) { return ZR_SUCCESS; }
PENDING zrErrCode FTP_SendBackUpPara(void) { return ZR_SUCCESS; }
PENDING zrErrCode NetWorkQualityTest(U8*) { return ZR_SUCCESS; }
PENDING zrErrCode IPComm_RebootSubboard(void) { return ZR_SUCCESS; }
PENDING S32 MACMasterCom_SendFile(ZR_COM_MAC_CMD, const U8*) { return 0; }

// Web back end: handlers of the output-stream, PSI/SI and SI-file commands.
#define WEB_PENDING_HANDLER(name) \
    PENDING zrErrCode name(buffer*) { return ZR_ERR_WEB_NOTEXIST; }
WEB_OTHER_HANDLERS(WEB_PENDING_HANDLER)
PENDING zrErrCode web_processImportOneSiTable(buffer*, buffer*) { return ZR_ERR_WEB_NOTEXIST; }
// HTTP server thread: until it exists the thread ends at once.
PENDING int httpd_configuration(int, char**) { return -1; }
PENDING int httpd_shutdown(int) { return 0; }
PENDING bool httpd_isServerClose(void) { return true; }
// Chip-link log fetch: without the chip link no log ever arrives.
PENDING S32 MACMasterCommSendCmd(ZR_COM_MAC_CMD) { return 0; }
PENDING U8 GetLogRecieveEndFlag(void) { return 0; }
PENDING void SetLogRecieveEndFlag(U8) {}
