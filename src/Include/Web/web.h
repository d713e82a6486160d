// Web management back end: what start-up needs.
#pragma once
#include "Common/types.h"

U32 Web_Start(void);
