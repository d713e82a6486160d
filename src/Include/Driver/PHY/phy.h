// Network addresses of eth0 and the Ethernet PHY set-up.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <mutex>

typedef enum { Phy88E1510 = 0, Phy88E1111 = 1, PhyYT8521 = 2, UnKnow = 3 } PhyChipType_t;

typedef struct {
    U32 phyAddr;
    U32 addr;
    U32 mask;
    U32 value;
} _PhyList_st;

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
    _PhyList_st stPhyList[100];
    PhyHook Phy_Reset;
    PhyHook Phy_Map;
    PhyInitHook Phy_init;
};

_PhyParams_st* Phy_GetPhyParams(void);
zrErrCode IP_SetLocalMac(U8* pu8MAC, U8 ETHType);
void FPGA_ConfigIP(void);
