// Slot resource table: one resource record per slot and the back board.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

typedef struct {
    U8 userName[20];
    U8 password[20];
    U32 u32Level;
} TUserInfo;
static_assert(sizeof(TUserInfo) == 44);

#define RESOURCE_USER_NUM 6
#define RESOURCE_BOARD_TYPE_SELF 0x22
#define RESOURCE_BOARD_TYPE_OTHER 0x40  // neither input nor output card
#define RESOURCE_BOARD_TYPE_EIT 0x41    // supplies EIT
#define RESOURCE_NO_SLOT 17
#define RESOURCE_SOFT_VERSION_FALLBACK 0x140714u

// The 1024-byte record every card of the chassis describes itself with; the
// same little-endian image on the frame link and in the table.
struct TResource_TS {
    U32 u32Version;
    U32 u8UserNum;  // a 32-bit count despite its name
    TUserInfo User[RESOURCE_USER_NUM];
    U8 u8SlotID;  // 0..15, 16 for the back board
    U8 u8BoardType;
    U8 u8MACAddress[6];
    U32 u32SoftVersion;  // Big << 16 | Mid << 8 | Min
    U32 u32LogicVersion;
    U32 u32HardVersion;
    U32 u32IPAddress;
    U8 u8BoardDescriptor[20];
    U8 u8ChangeStatus;
    U8 u8OldBoardType;
    U8 u8OldMACAddress[6];
    U32 u32OldSoftVersion;
    U32 u32OldLogicVersion;
    U32 u32OldHardVersion;
    U32 u32OldIPAddress;
    U8 u8PortNum;
    U8 u8Mac0LicFlag;
    U8 u8BoardFunctionType;
    U8 u8Standard;
    U16 u16InputChannelNum;
    U16 u16OutputChannelNum;
    U8 u8OutputChannelStatus[256];
    U32 u32UpgradeTime;
    U8 u8Language;
    U8 u8FTPUpgrade;
    U8 u8RebootEnable;
    U8 u8MuxPIDEnable;
    U8 u8NTPZone;
    U8 u8DayLightFlag;
    U16 u16GPSOffset;
    U8 au8CustomerNo[10];
    U8 u8VlanEnable;
    U8 u8DisableSSH;
    U8 u8HeartBeatEnable;
    U8 u8SNMPEnable;
    U8 u8EncodingMode;
    U8 u8isProxy;
    U32 u32SoftBuildVersion;
    U32 aru32ChipId[2];
    U16 u16EnableTrap1;
    U16 u16EnableTrap2;
    U32 u32TrapIPAdd1;
    U32 u32TrapIPAdd2;
    U8 u8EitEnable;
    U8 u8isDelChannelProg;
    U8 u8Res1[366];
};
typedef struct TResource_TS TResource_TS;
static_assert(sizeof(TResource_TS) == 1024, "resource record is 1024 bytes on the frame link");
static_assert(offsetof(TResource_TS, User) == 8);
static_assert(offsetof(TResource_TS, u8SlotID) == 272);
static_assert(offsetof(TResource_TS, u8BoardType) == 273);
static_assert(offsetof(TResource_TS, u8MACAddress) == 274);
static_assert(offsetof(TResource_TS, u32SoftVersion) == 280);
static_assert(offsetof(TResource_TS, u32LogicVersion) == 284);
static_assert(offsetof(TResource_TS, u32HardVersion) == 288);
static_assert(offsetof(TResource_TS, u32IPAddress) == 292);
static_assert(offsetof(TResource_TS, u8BoardDescriptor) == 296);
static_assert(offsetof(TResource_TS, u8ChangeStatus) == 316);
static_assert(offsetof(TResource_TS, u8OldMACAddress) == 318);
static_assert(offsetof(TResource_TS, u32OldSoftVersion) == 324);
static_assert(offsetof(TResource_TS, u32OldIPAddress) == 336);
static_assert(offsetof(TResource_TS, u8PortNum) == 340);
static_assert(offsetof(TResource_TS, u8Standard) == 343);
static_assert(offsetof(TResource_TS, u16InputChannelNum) == 344);
static_assert(offsetof(TResource_TS, u16OutputChannelNum) == 346);
static_assert(offsetof(TResource_TS, u8OutputChannelStatus) == 348);
static_assert(offsetof(TResource_TS, u32UpgradeTime) == 604);
static_assert(offsetof(TResource_TS, u8Language) == 608);
static_assert(offsetof(TResource_TS, u8NTPZone) == 612);
static_assert(offsetof(TResource_TS, u8DayLightFlag) == 613);
static_assert(offsetof(TResource_TS, u16GPSOffset) == 614);
static_assert(offsetof(TResource_TS, au8CustomerNo) == 616);
static_assert(offsetof(TResource_TS, u8VlanEnable) == 626);
static_assert(offsetof(TResource_TS, u8DisableSSH) == 627);
static_assert(offsetof(TResource_TS, u8isProxy) == 631);
static_assert(offsetof(TResource_TS, u32SoftBuildVersion) == 632);
static_assert(offsetof(TResource_TS, aru32ChipId) == 636);
static_assert(offsetof(TResource_TS, u16EnableTrap1) == 644);
static_assert(offsetof(TResource_TS, u32TrapIPAdd1) == 648);
static_assert(offsetof(TResource_TS, u8EitEnable) == 656);
static_assert(offsetof(TResource_TS, u8isDelChannelProg) == 657);
static_assert(offsetof(TResource_TS, u8Res1) == 658);

// Module state.
extern U8 u8EitSlot;                 // EIT board last acted upon; 17 = none
extern U8 g_u8SendResourceOk;        // 1 once the back board's record was taken
// Shortens the pause after the SSH service is started or stopped (tests).
void Resource_TestSetServicePauseMs(int ms);
extern U32 g_isFirstInitBackboard;   // 1 after the back board's first record
extern U8 MAC_SI_MODE;               // SI mode last taken in J.83 Annex B operation
extern U8* pu8BoardName_DTMB;        // this card's board descriptor text

// Records.
U32 Resource_Init(void);
void Resource_SetSlotResource(U32 u32slot, U8* u8Data);
void Resource_Refresh(void);
TResource_TS* Resource_GetHandle(U8 u8Slot);
TResource_TS* Resource_getSelfHandle(void);
void Resource_SetSelfMac(U8* u8MacAddr);
void Resource_SetSelfIpAddr(U32 u32IpAddr);
void Resource_SetBackBoardIpAddr(U32 u32IpAddr);

// Readers by slot; 4 when the slot is above 16.
U32 Resource_getBoardIPAddress(U8 u8Slot);
U32 Resource_getBoardDescriptor(U8 u8Slot, U8* u8Discroption);
U32 Resource_getBoardType(U8 u8Slot);
U32 Resource_getMACAddress(U8 u8Slot, U8* u8MacAddr);
U32 Resource_getBoardPortNum(U8 u8Slot);
U32 Resource_getInputChannelNum(U8 u8Slot);
U32 Resource_getOutputChannelNum(U8 u8Slot);
U32 Resource_getOutputChannelStatus(U8 u8Slot, U8 u8channel);

// Chassis-wide settings from the back board's record.
U8 Resource_GetSIMode(void);
// The back board's time settings with the clock, to the slave (the STT of
// its channels is made from them); queued for the peer sender.
void Resource_PostSlaveTimeInfo(void);
void Resource_SetErrorCodeLanguage(void);
U8 Resource_GetEITBoardSlot(void);
U8 Resource_IsAllBoardSupportDelChannelProg(void);
void Resource_SetConnectService(TResource_TS* pstResource);
void Resource_SetOutputVlanTagId(TResource_TS* pstResource);

// Software versions from the version files of the upgrade.
BOOL Resource_GetSoftVersion(U32* pu32SoftVersion);
BOOL Resource_GetSoftBuildVersion(U32* pu32SoftBuildVersion);
U32 GetRealSoftVersion(void);
U32 GetRealSoftBuildVersion(void);

U32 Resource_UpdateDesc(U8* pu8OldName, U8* pu8NewName);
void Resource_Print(U8 u8slot);
U32 Resource_CheckSubBoardChangeSlot(TResource_TS* pstResource);
