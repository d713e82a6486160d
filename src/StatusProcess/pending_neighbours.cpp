// Operations of modules not yet on the card that the slot resources and the
// parameter sets call. Each is an empty operation that a real definition
// replaces.
#include "Comm/ipcomm.h"
#include "CommonModules/System/system.h"
#include "DTMB/dtmb_param.h"
#include "Parameter/recoverdata.h"
#include "TSprocess/tsp.h"
#include "Web/web.h"

#define PENDING __attribute__((weak))

// Web back end.


// Card links.

