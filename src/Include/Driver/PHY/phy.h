// Network addresses of eth0 (MAC, IPv4 address, mask, gateway, link wait)
// and the Ethernet PHY behind the processor's MDIO interface.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <mutex>

typedef enum { UnKnow = 0, Phy88E1510 = 1, Phy88E1111 = 2, PhyYT8521 = 3 } PhyChipType_t;

// One register patch of the PHY patch file.
typedef struct {
    int phyAddr;
    int addr;
    int mask;
    int value;
} _PhyList_st;

#define PHY_LIST_MAX 100
#define PHY_CONFIG_FILE "/tarvex_app/app/phyconfig.json"
// Ethernet controller registers: network status (bit value 4: management
// idle) and PHY maintenance.
#define GEM_NWSR_OFFSET 0x08
#define GEM_PHYMNTNC_OFFSET 0x34
#define GEM_MDIO_IDLE 0x4
// Result of an MDIO access while the management interface is busy.
#define PHY_MDIO_BUSY 1004

struct _PhyParams_st;
typedef void (*PhyHook)(struct _PhyParams_st*);
typedef BOOL (*PhyInitHook)(struct _PhyParams_st*);

struct _PhyParams_st {
    volatile U32* s_pLogicAddress;
    std::mutex* g_reg_mutex;
    BOOL g_reg_mapped;
    void* addr;
    U32 length;
    int prot;
    int flags;
    int fd;
    U32 offset;
    const char* phyConfigFile;
    PhyChipType_t chipType;
    U32 phyListNum;
    _PhyList_st stPhyList[PHY_LIST_MAX];
    PhyHook Phy_Reset;
    PhyHook Phy_Map;
    PhyInitHook Phy_init;
};

// One clause-22 access on a mapped Ethernet controller block, shared by the
// card program and mdiotool: 0, or 1004 when the management interface is
// busy before the frame or stays busy after it (bounded wait).
int Mdio_Read(volatile U32* gem, U32 phyAddr, U32 reg, U16* data);
int Mdio_Write(volatile U32* gem, U32 phyAddr, U32 reg, U16 data);

_PhyParams_st* Phy_GetPhyParams(void);
void Phy_Map(_PhyParams_st* pstPhyParams);
int Phy_Read(_PhyParams_st* pstPhyParams, U32 PhyAddress, U32 RegisterNum, U16* data);
int XEmacPs_PhyWrite(_PhyParams_st* pstPhyParams, U32 PhyAddress, U32 RegisterNum, U16 PhyData);
BOOL Phy_init(_PhyParams_st* pstPhyParams);
BOOL Phy_ParamsInit(_PhyParams_st* pstPhyParams);

zrErrCode IP_SetLocalMac(U8* pu8MAC, U8 ETHType);
void IPconfig_SetIP(U32 u32IP);
void IPconfig_SetLocalMask(U32 u32MaskIP);
void IPconfig_SetDefaultGate(U32 u32Gate);
void FPGA_ConfigIP(void);
int NetCard_IsLinkUp(void);
