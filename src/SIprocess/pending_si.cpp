// Operations of modules not yet on the card that the PSI/SI generation
// calls. Each is a placeholder that the real definition replaces.
#include "Comm/maccomm.h"
#include "TSprocess/tsp_nit.h"

#define PENDING __attribute__((weak))

// User NIT: nothing can be stored yet.
PENDING U32 TSP_AddNIT(int, U32, U8*) { return 1; }
