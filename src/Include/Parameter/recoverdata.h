// The JSON parameter file that keeps the modulation values.
#pragma once
#include "Common/types.h"

void DATA_Save(void);
// Takes the modulation values back from the file: 0, or 1 when it is missing
// or does not parse.
int DATA_Recovery(void);
