// Firmware upgrade.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

#define UPGRADE_FILE_PATH "/var/volatile/upgradefile"

// Upgrade progress record sent to the back board (40 bytes).
#pragma pack(push, 1)
typedef struct {
    U8 u8SlotID;
    U8 u8Res[3];
    U32 u32TmpVersion;
    U32 u32ErrorCode;
    U16 u16CMD;
    U8 u8CurUpgradeProFlag;
    U8 u8SumUpgradeProFlag;
    U8 u8CommStatusFlag;
    U8 u8UpgradeStatusFlag;
    U8 u8Res2[2];
    U32 u32BoardSoftVersion;
    U32 u32BoardLogicVersion;
    U32 u32FileSoftVersion;
    U32 u32FileLogicVersion;
    U8 u8BoardType;
    U8 u8Res3[3];
} st_ZR_UPGRADE;
#pragma pack(pop)
static_assert(sizeof(st_ZR_UPGRADE) == 40, "upgrade progress record is 40 bytes");
static_assert(offsetof(st_ZR_UPGRADE, u8CurUpgradeProFlag) == 14, "stage byte at 14");
static_assert(offsetof(st_ZR_UPGRADE, u8BoardType) == 36, "board type at 36");

extern st_ZR_UPGRADE UpgradeProFlag;
extern BOOL g_isUpgrading;
extern BOOL g_isFtpUpgrading;

void FTP_UpgradeProfileInit(void);
zrErrCode upgrade_RecieveFile(U8* pu8Data, U32 u32Len);
zrErrCode upgrade_UpgradeSystem(const U8* pu8Path);
zrErrCode upgrade_FTPUpgradeMode(void);
void SubUpgrade_TimeoutStart(void);
zrErrCode GetUpgradeFileSwVersion(const U8* pu8Path, U32* pu32Version);
U32 GetMiniSwVersion_SupportCurrentHw(U8* pu8HwLimit);
