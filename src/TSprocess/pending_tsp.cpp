// Operations the output-stream database calls whose modules are not yet on
// the card. Each is an empty operation that a real definition replaces.
#include "Parameter/parameters.h"
#include "SIprocess/sip.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"

#define PENDING __attribute__((weak))

// SI carousel.
PENDING void SSD_InitBroadcastSI(void) {}

// Slot resources: ATSC SI in 8VSB mode; the J.83 Annex B setting comes from
// the back board once the resource table is built.
PENDING U8 Resource_GetSIMode(void)
{
    return PARAMS_GetModulationMod() == 6 ? 1 : 0;
}

// Deletions by input identity.
PENDING U32 TSP_ConstructOutputTSByDelTS(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelProgram(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelPID(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelDescriptors(U8*, U16, U16) { return 0; }
