// Firmware upgrade.
#pragma once
#include "Common/types.h"

void FTP_UpgradeProfileInit(void);
