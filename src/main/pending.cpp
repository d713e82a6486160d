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
PENDING void MAC_InitDirectMACCommMaster(void) {}
PENDING void MACSlave_InitDirectMACComm(void) {}
PENDING S32 MACMasterCommSendData(ZR_COM_MAC_CMD, U8*, U32) { return 0; }
PENDING S32 MACComSlaveChipDetect(void) { return 0; }
PENDING U8 Get_VersionInfo_ISSameFlg(void) { return 1; }
PENDING void* MACCommMasterTask(void*) { return nullptr; }
PENDING void* MACSlaveCommTask(void*) { return nullptr; }
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
PENDING zrErrCode IPComm_RebootSubboard(void) { return ZR_SUCCESS; }
PENDING S32 MACMasterCom_SendFile(ZR_COM_MAC_CMD, const U8*) { return 0; }

// Web back end.
PENDING U32 Web_Start(void) { return 0; }
