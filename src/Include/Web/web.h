// Web management back end: what start-up and the other modules need.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "DTMB/dtmb_param.h"
#include "TSprocess/tsp_view.h"

U32 Web_Start(void);
// Hardware slot of a slot number as the user interface shows it; 255 = none.
U8 Web_GetRealSlot(U8 u8VRNType, U8 u8WebSlot);
// J.83 Annex B / 8VSB frequency check of a modulation set: 0 or 831.
zrErrCode web_Check_QAMB_Frequency(TParameter_DTMB* pstOldTParameter_DTMB);
// View of an output channel from the live output-stream database.
U32 Web_GetTSWebInfo(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo);
// Reboots the card (both chips) through the board manager.
zrErrCode Web_Reboot(void);

// Accessors the web back end also offers to its own handlers.
void Web_GetPSIInterval(U16* out);
void Web_SetPSIInterval(U32 value);
// Web modulation type: 0 DVB-T, 1 DTMB, 2..6 the modulation mode itself, 7 other.
U8 Web_GetBoardType(void);
U8 Web_GetPowerLevelType(void);
void Web_SetSingleMode(U32 value);
U32 _web_GetOutChannelNumbyPort(U32 port);
U32 _web_GetOutRealChannel(U32 port, U32 channel);
