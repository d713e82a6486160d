// Operations of the user NIT module that the routing tables ask about;
// empty until that module is on the card.
#include "TSprocess/tsp_nit.h"

#define PENDING __attribute__((weak))

PENDING BOOL TSP_IsNITTableChangedByUser(U16, const Output_TSInfo*) { return 0; }
