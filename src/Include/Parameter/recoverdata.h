// The JSON parameter file that keeps the modulation values.
#pragma once
#include "Common/types.h"

void DATA_Save(void);
