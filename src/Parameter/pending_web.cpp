// Accessors of the web back end that the JSON parameter file uses. They are
// thin, and the web back end's own definitions replace them when it lands.
#include "DTMB/dtmb.h"
#include "Driver/GPIO/pin.h"
#include "MNG/bmn.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIsend.h"
#include "Web/web.h"

#define PENDING __attribute__((weak))

PENDING void Web_GetPSIInterval(U16* out)
{
    if (out != nullptr)
        TSP_GetPSIInterval(out);
}

PENDING void Web_SetPSIInterval(U32 value) { TSP_SetPSIInterval((U16)value); }

PENDING U8 Web_GetBoardType(void)
{
    U32 mode = PARAMS_GetModulationMod();
    if (mode == 1)
        return 0;
    if (mode == 0)
        return 1;
    return mode <= 6 ? (U8)mode : 7;
}

PENDING U8 Web_GetPowerLevelType(void) { return PIN_GetPowerLevelType(PIN_GetHWVersion()); }

PENDING void Web_SetSingleMode(U32 value) { QAM_SetSingleMode((U8)value); }

PENDING U32 _web_GetOutChannelNumbyPort(U32) { return BMN_GetOutputChannelNum(); }

PENDING U32 _web_GetOutRealChannel(U32 port, U32 channel) { return port * _web_GetOutChannelNumbyPort(port) + channel; }
