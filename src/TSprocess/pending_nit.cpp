// Operations of the user NIT module that the routing tables ask about;
// empty until that module is on the card.
#include "TSprocess/tsp_db.h"

#define PENDING __attribute__((weak))

PENDING BOOL TSP_IsNITTableChangedByUser(U16, Output_TSInfo*) { return 0; }
