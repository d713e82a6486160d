// Firmware upgrade: image header and payload checks, the version gate, the
// installation steps, the progress record and its reporter thread.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <atomic>
#include <cstddef>
#include <functional>

#define UPGRADE_FILE "/var/volatile/upgradefile"
#define UPGRADE_DIR "/var/volatile/upgrade/"
#define UPGRADE_VERSION_FILE "/tarvex_data/upgradeVersion.json"
#define UPGRADE_HEADER_LEN 256
#define UPGRADE_SYNC_FLAG 0x99999999u
#define UPGRADE_BOARD_TYPE 34
#define UPGRADE_MACHINE_TYPE 26
#define UPGRADE_REPORT_TIMEOUT_S 240
#define UPGRADE_STAGE_FAILED 2
#define UPGRADE_STAGE_FETCH 3
#define UPGRADE_STAGE_DONE 10

// The first 256 bytes of an image file.
typedef struct {
    U32 SyncFlag;
    U32 HeaderVersion;
    U32 HeaderLength;
    U32 BoardType;
    U32 DataMaxSize;
    U32 DataTimestamp;
    U32 DataLength;  // payload bytes behind the header
    U32 PlatformType;
    U32 DataCRC32;   // CRC-32 of the payload, starting value 0xFFFFFFFF
    U8 ucFirmwareVersion[20];
    U32 FirmwareLength;
    U8 ucSoftwareVersion[20];  // "V<major>.<mid>.<minor>"
    U32 SoftwareLength;
    U8 ucHardwareVersion[4];
    U32 MachineType;
    U32 u32SWFunction;
    U32 u32OrgSize;
    U8 u8BeginKXAMainboardValid;
    U8 u8BeginKXBMainboardValid;
    U8 aru8Reserved[2];
    U8 aru8BeginKXAMainboardSWVer[20];
    U8 aru8BeginKXBMainboardSWVer[20];
    U32 u32OrgFirmSize;
    U32 aru32Reserved[26];
    U32 HeaderCRC32;
} ImageHeader_t;
static_assert(sizeof(ImageHeader_t) == UPGRADE_HEADER_LEN);
static_assert(offsetof(ImageHeader_t, ucSoftwareVersion) == 60);
static_assert(offsetof(ImageHeader_t, MachineType) == 88);
static_assert(offsetof(ImageHeader_t, aru8BeginKXAMainboardSWVer) == 104);
static_assert(offsetof(ImageHeader_t, u32OrgFirmSize) == 144);
static_assert(offsetof(ImageHeader_t, HeaderCRC32) == 252);

// The progress record sent to the back board with command 3847.
typedef struct {
    U8 u8SlotID;
    U8 u8Res[2];
    U32 u32TmpVersion;  // the minimum version the gate demanded
    U32 u32ErrorCode;
    U16 u16CMD;         // 0x0F07
    U8 u8CurUpgradeProFlag;  // stage: 0 idle, 2 failed, 3 fetching, 4-9 installing, 10 done
    U8 u8SumUpgradeProFlag;  // 10
    U8 u8CommStatusFlag;
    U8 u8UpgradeStatusFlag;
    U32 u32BoardSoftVersion;
    U32 u32BoardLogicVersion;
    U32 u32FileSoftVersion;
    U32 u32FileLogicVersion;
    U8 u8BoardType;
} st_ZR_UPGRADE;
static_assert(sizeof(st_ZR_UPGRADE) == 40);
static_assert(offsetof(st_ZR_UPGRADE, u32TmpVersion) == 4);
static_assert(offsetof(st_ZR_UPGRADE, u16CMD) == 12);
static_assert(offsetof(st_ZR_UPGRADE, u8CurUpgradeProFlag) == 14);
static_assert(offsetof(st_ZR_UPGRADE, u8UpgradeStatusFlag) == 17);
static_assert(offsetof(st_ZR_UPGRADE, u32BoardSoftVersion) == 20);
static_assert(offsetof(st_ZR_UPGRADE, u8BoardType) == 36);

extern st_ZR_UPGRADE UpgradeProFlag;
// The progress record copied whole under its lock, and its link status set.
void upgrade_CopyRecord(st_ZR_UPGRADE* pstOut);
void upgrade_SetCommStatus(U8 u8Status);
// Shared by the installation and the reporter thread.
extern std::atomic<bool> g_isUpgrading;
extern std::atomic<bool> g_isFtpUpgrading;
extern std::atomic<bool> g_isUpgardeTimeOut;
extern std::atomic<U8> g_isSendTimeOut;
extern U32 TmpVersion;
extern const U32 Rollback_Version;      // 1.2.1
extern const U32 Intermediate_Version;

zrErrCode upgrade_UpgradeSystem(const U8* u8UpgradeFileName);
// As upgrade_UpgradeSystem; once this chip has installed the image, `others`
// (none: empty) says whether the other chip installed it too. The final stage
// waits for it; a failure it returns is the installation's result and code.
zrErrCode upgrade_UpgradeSystemWith(const U8* u8UpgradeFileName, const std::function<zrErrCode()>& others);
// Ends an upgrade that stopped before this chip's installation: the code
// and the failed stage go into the progress record, the image is deleted.
void upgrade_ReportFailure(zrErrCode code);
void* upgrade_FileCasTask(void* arg);
zrErrCode upgrade_CheckUpgrade(const U8* UpgradeFileName);
zrErrCode upgrade_CheckFile(const U8* UpgradeFileName);
// The checks of upgrade_CheckFile after it has cleared earlier unpacking.
zrErrCode upgrade_CheckImageFile(const char* name);
S32 upgrade_FTPUpgradeMode(void);
zrErrCode upgrade_RecieveFile(const U8* fileData, U32 u32Datalen);
zrErrCode SubUpgrade_TimeoutStart(void);
void* Send_SubUpgradeProccessStatus(void* arg);
void upgradeCheckSubTimeout(U32 u32Time);
void FTP_UpgradeProfileInit(void);
U32 GetMiniSwVersion_SupportCurrentHw(U8* u8BigVerLimit);
zrErrCode GetUpgradeFileSwVersion(const U8* UpgradeFileName, U32* pu32SwVersion);
// Writes the version file from the header; false when it was not written.
bool storeVersionFromHeader(ImageHeader_t* pstHeader);
// Reads the version file back (repairing it through the JFFS2 side when it
// names another version); true only when it names the header's version.
bool upgrade_CheckSoftVersionModify(ImageHeader_t* pstHeader);
zrErrCode upgrade_DelNetHeader(const U8* u8UpgradeFileName);

// Test-only settings; the card never calls them. The length in milliseconds
// of one second of the upgrade's waits, reporter period and time-out
// (1000 by default), the PHY chip type the version gate sees (-1: the PHY
// driver's), and an observer of every stage change (null: none).
void upgrade_TestSetSecondMs(U32 u32Ms);
void upgrade_TestSetPhyChipType(int type);
void upgrade_TestSetStageObserver(void (*observer)(U8 stage));
