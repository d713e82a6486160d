// Operations of modules not yet on the card that the PSI/SI generation
// calls. Each is a placeholder that the real definition replaces.
#include "Comm/maccomm.h"
#include "TSprocess/tsp_nit.h"

#define PENDING __attribute__((weak))

// Chip link: ATSC time data from the master.
PENDING U8 g_u8NTPZone = 0;
PENDING U8 g_u8DayLightFlag = 0;
PENDING U16 g_u16GPSOffset = 0;

