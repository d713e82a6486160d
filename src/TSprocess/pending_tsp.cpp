// Operations the output-stream database calls whose modules are not yet on
// the card. Each is an empty operation that a real definition replaces.
#include "TSprocess/tsp.h"

#define PENDING __attribute__((weak))

// Deletions by input identity.
PENDING U32 TSP_ConstructOutputTSByDelTS(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelProgram(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelPID(U8*, U16, U16) { return 0; }
PENDING U32 TSP_ConstructOutputTSByDelDescriptors(U8*, U16, U16) { return 0; }
