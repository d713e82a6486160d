// Operations of the configuration store that start-up calls before the store
// is on the card. Each is an empty operation that a real definition replaces.
#include "Parameter/parameters.h"

#define PENDING __attribute__((weak))

PENDING ST_ZR_PARAMS* PARAMS_GetCurParamsHandler(void) { return nullptr; }
PENDING zrErrCode PARAMS_ParametersSave(ST_ZR_PARAMS*) { return ZR_SUCCESS; }
