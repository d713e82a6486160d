// PSI/SI generation that the carousel and the apply step call; empty until
// the generation module is on the card.
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp_nit.h"

#define PENDING __attribute__((weak))

PENDING U8 SIP_GetCurrentSIMode(void) { return 0; }
PENDING U32 TSP_ConstructPAT(U32) { return 0; }
PENDING U32 TSP_ConstructCAT(U32) { return 0; }
PENDING U32 TSP_ConstructNIT(U32) { return 0; }
PENDING U32 TSP_ConstructSDT(U32) { return 0; }
PENDING U32 TSP_ConstructPMTs(U32) { return 0; }
PENDING U32 TSP_ConstructPSIP(U32) { return 0; }
PENDING U32 TSP_ConstructSTT(void) { return 0; }
PENDING BOOL IsPSITableInOtherPID(U16, U16) { return 0; }
PENDING void TSP_GetUTCTime(U8*) {}
PENDING U16 TSP_CalMJD(U16, U16, U16) { return 0; }
PENDING U32 TSP_AddNIT(int, U32, U8*) { return 0; }
PENDING U32 TSP_DelAllCaDescriptors(U8*, U16*) { return 0; }
