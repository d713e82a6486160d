// Operations of modules not yet on the card that the PSI/SI generation
// calls. Each is a placeholder that the real definition replaces.
#include "Comm/maccomm.h"
#include "Driver/RF/rf.h"
#include "StatusProcess/resource.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_nit.h"
#include <ctime>

#define PENDING __attribute__((weak))

// Card status.
PENDING zrErrCode Status_GetTimeOfYearDay(U32* pTimeSec, U16* pYear, U16* pMonth, U16* pDay, U16* pHour)
{
    if (pTimeSec == nullptr || pYear == nullptr || pDay == nullptr)
        return ZR_ERR_PARAMS;
    time_t now = time(nullptr);
    struct tm t;
    gmtime_r(&now, &t);
    *pTimeSec = (U32)now;
    *pYear = (U16)(t.tm_year + 1900);
    if (pMonth)
        *pMonth = (U16)(t.tm_mon + 1);
    *pDay = (U16)t.tm_mday;
    if (pHour)
        *pHour = (U16)t.tm_hour;
    return ZR_SUCCESS;
}

// RF chain (slave's SI mode).
PENDING U8 Slave_GetSIMod(void) { return 0; }

// Chip link: ATSC time data from the master.
PENDING U8 g_u8NTPZone = 0;
PENDING U8 g_u8DayLightFlag = 0;
PENDING U16 g_u16GPSOffset = 0;

// User NIT.
PENDING U32 TSP_AddNIT(int, U32, U8*) { return 1; }
PENDING BOOL TSP_IsNITTableChangedByUser(U16, const Output_TSInfo*) { return FALSE; }

// SI carousel.
#include "SIprocess/SIsend.h"
PENDING U8 u8MuxChannelFlag[8];
PENDING U32 SSD_AddBroadcastSI(U8*, U16, U16, U16) { return 0; }
PENDING U32 SSD_AddTimeSITable(U8*, U16, U8, U16) { return 0; }

// Card links (reached by the apply step merged in here).
#include "Comm/ipcomm.h"
PENDING S32 IPComm_SendData(U32, U32, U8*, U32) { return 0; }
