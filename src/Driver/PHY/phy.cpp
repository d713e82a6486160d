// eth0's addresses through the network tools and the FPGA, the link wait,
// and the Ethernet PHY record with its identification over MDIO.
#include "Driver/PHY/phy.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

std::mutex s_phyRegMutex;

void PhyReset(_PhyParams_st*) { FPGA_PhyReset(); }

_PhyParams_st MakePhyParams()
{
    _PhyParams_st p;
    memset(&p, 0, sizeof(p));
    p.g_reg_mutex = &s_phyRegMutex;
    p.length = 0xFFF;
    p.prot = PROT_READ | PROT_WRITE;
    p.flags = MAP_SHARED;
    p.fd = -1;
    p.offset = ETH_BASE_ADDR;
    p.phyConfigFile = PHY_CONFIG_FILE;
    p.chipType = UnKnow;
    p.Phy_Reset = PhyReset;
    p.Phy_Map = Phy_Map;
    p.Phy_init = Phy_init;
    return p;
}

_PhyParams_st stPhyParams = MakePhyParams();

void RunLogged(const char* func, const char* cmd)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d u8CMD: %s\n\n", LOG_POS_OF(func), cmd);
    plat::System(cmd);
}

// Waits for the link: at most 11 tests, one second apart.
void WaitLink()
{
    for (int n = 10; n >= 0; n--) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d config the eth0 and wait, timeout: %ds \n", LOG_POS, n);
        if (NetCard_IsLinkUp()) {
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d the eth0 is working\n", LOG_POS);
            return;
        }
        sleep(1);
    }
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d the eth0 is not working, please check net!!! \r\n\n",
               LOG_POS);
}

}  // namespace

_PhyParams_st* Phy_GetPhyParams(void) { return &stPhyParams; }

void Phy_Map(_PhyParams_st* pstPhyParams)
{
    if (pstPhyParams == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d Params Error: pstPhyParams = %p\n", LOG_POS,
                   (void*)pstPhyParams);
        return;
    }
    std::lock_guard<std::mutex> lk(*pstPhyParams->g_reg_mutex);
    if (pstPhyParams->g_reg_mapped)
        return;
    volatile U32* p = plat::MapPhys(pstPhyParams->offset, pstPhyParams->length);
    if (p == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT, "%ld:%s:%d Can't map the memory to user space.\r\n\n", LOG_POS);
        return;
    }
    pstPhyParams->s_pLogicAddress = p;
    pstPhyParams->g_reg_mapped = 1;
}

int Phy_Read(_PhyParams_st* pstPhyParams, U32 PhyAddress, U32 RegisterNum, U16* data)
{
    if (pstPhyParams == nullptr || pstPhyParams->s_pLogicAddress == nullptr)
        return 1;
    std::lock_guard<std::mutex> lk(*pstPhyParams->g_reg_mutex);
    return Mdio_Read(pstPhyParams->s_pLogicAddress, PhyAddress, RegisterNum, data);
}

int XEmacPs_PhyWrite(_PhyParams_st* pstPhyParams, U32 PhyAddress, U32 RegisterNum, U16 PhyData)
{
    if (pstPhyParams == nullptr || pstPhyParams->s_pLogicAddress == nullptr)
        return 1;
    std::lock_guard<std::mutex> lk(*pstPhyParams->g_reg_mutex);
    return Mdio_Write(pstPhyParams->s_pLogicAddress, PhyAddress, RegisterNum, PhyData);
}

BOOL Phy_init(_PhyParams_st* pstPhyParams)
{
    if (pstPhyParams == nullptr)
        return 0;
    if (pstPhyParams->Phy_Reset != nullptr)
        pstPhyParams->Phy_Reset(pstPhyParams);
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_INIT,
                   "%ld:%s:%d Params Error: Phy_Reset is not init! pstPhyParams = %p\n", LOG_POS, (void*)pstPhyParams);
    U16 hi = 0, lo = 0;
    Phy_Read(pstPhyParams, 0, 2, &hi);
    Phy_Read(pstPhyParams, 0, 3, &lo);
    U32 id = (U32)hi * 65536 + lo;
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_INIT, "%ld:%s:%d phy chip id = 0x%x\n", LOG_POS, id);
    switch (id) {
    case 0x01410DD1: pstPhyParams->chipType = Phy88E1510; break;
    case 0x01410CC2: pstPhyParams->chipType = Phy88E1111; break;
    case 0x0000011A: pstPhyParams->chipType = PhyYT8521; break;
    default: pstPhyParams->chipType = UnKnow; return 0;
    }
    Phy_ParamsInit(pstPhyParams);
    return 1;
}

zrErrCode IP_SetLocalMac(U8* pu8MAC, U8 ETHType)
{
    if (pu8MAC == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d Param is NULL!\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    char mac[18];
    snprintf(mac, sizeof(mac), "%02x:%02x:%02x:%02x:%02x:%02x", pu8MAC[0], pu8MAC[1], pu8MAC[2], pu8MAC[3],
             pu8MAC[4], pu8MAC[5]);
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "ifconfig eth%d down", ETHType);
    RunLogged(__func__, cmd);
    snprintf(cmd, sizeof(cmd), "ifconfig eth%d hw ether %s", ETHType, mac);
    RunLogged(__func__, cmd);
    snprintf(cmd, sizeof(cmd), "ifconfig eth%d up", ETHType);
    RunLogged(__func__, cmd);
    Resource_SetSelfMac(pu8MAC);
    FPGA_SetMacAddr(pu8MAC, ETHType);
    return ZR_SUCCESS;
}

void IPconfig_SetIP(U32 u32IP)
{
    FPGA_setIP0Filter(u32IP);
    Resource_SetSelfIpAddr(u32IP);
    plat::System("ifconfig eth0 down");
    char cmd[96];
    snprintf(cmd, sizeof(cmd), "ifconfig eth0 %d.%d.%d.%d netmask 255.255.255.0", (int)(u32IP >> 24) & 0xFF,
             (int)(u32IP >> 16) & 0xFF, (int)(u32IP >> 8) & 0xFF, (int)u32IP & 0xFF);
    RunLogged(__func__, cmd);
    plat::System("ifconfig eth0 up");
    WaitLink();
}

void IPconfig_SetLocalMask(U32 u32MaskIP)
{
    U8 mask[32] = {0};
    Common_AddrU32toString(mask, u32MaskIP);
    char cmd[96];
    snprintf(cmd, sizeof(cmd), "ifconfig eth0 netmask %s", reinterpret_cast<char*>(mask));
    RunLogged(__func__, cmd);
}

void IPconfig_SetDefaultGate(U32 u32Gate)
{
    RunLogged(__func__, "route del default");
    U8 gw[32] = {0};
    Common_AddrU32toString(gw, u32Gate);
    char cmd[96];
    snprintf(cmd, sizeof(cmd), "route add default gw %s", reinterpret_cast<char*>(gw));
    RunLogged(__func__, cmd);
    FPGA_REG_Write(358, u32Gate);
}

void FPGA_ConfigIP(void)
{
    U32 ip = 0;
    {
        CARD_STATE_LOCK();
        TResource_TS* self = Resource_getSelfHandle();
        if (self != nullptr)
            ip = self->u32IPAddress;
    }
    FPGA_Set_IP0(ip);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d ***** set FPGA TSIP_REG_IP_ADDR = %d *****\r\n\n", LOG_POS,
               ip);
    FPGA_setIP0Filter(ip);
}

int NetCard_IsLinkUp(void)
{
    char path[128];
    snprintf(path, sizeof(path), "%s/%s/operstate", "/sys/class/net", "eth0");
    FILE* f = plat::Fopen(path, "r");
    if (f == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d file %s can't open!\n", LOG_POS, path);
        return 0;
    }
    char state[16] = {0};
    size_t n = fread(state, 1, sizeof(state) - 1, f);
    fclose(f);
    state[n] = '\0';
    if (strncasecmp(state, "up", 2) == 0) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d netcart %s is up!\n", LOG_POS, "eth0");
        return 1;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d netcart %s is down!\n", LOG_POS, "eth0");
    return 0;
}
