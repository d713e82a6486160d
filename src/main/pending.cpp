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
#include "CommonModules/httpd/connections.h"
#include <cstring>
#include <ctime>

#define PENDING __attribute__((weak))

// Card links.
PENDING zrErrCode Iperf3SoftwareInit(void) { return ZR_SUCCESS; }
PENDING void UartComm_init(void) {}
PENDING zrErrCode UartComm_GetIpAddr(U8) { return ZR_SUCCESS; }
PENDING void UartComm_GetTime(void) {}
PENDING void UartComm_GetSlotMap(void) {}
PENDING void UartComm_GetResource(void) {}
PENDING zrErrCode IPComm_SendResToBackBoard(void) { return ZR_SUCCESS; }

// Back-board services and reboot coordination the frame dispatcher starts.
PENDING U32 IPComm_ChangeIP(U8, U8*) { return 0; }
PENDING zrErrCode IPComm_GetAndSetParam(void) { return ZR_SUCCESS; }
PENDING zrErrCode FTP_SendBackUpPara(void) { return ZR_SUCCESS; }
PENDING zrErrCode NetWorkQualityTest(U8*) { return ZR_SUCCESS; }

// Web back end: handlers of the output-stream, PSI/SI and SI-file commands.
#define WEB_PENDING_HANDLER(name) \
    PENDING zrErrCode name(buffer*) { return ZR_ERR_WEB_NOTEXIST; }
WEB_OTHER_HANDLERS(WEB_PENDING_HANDLER)
PENDING zrErrCode web_processImportOneSiTable(buffer*, buffer*) { return ZR_ERR_WEB_NOTEXIST; }
