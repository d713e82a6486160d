// FPGA register window and the FPGA services of the card.
#include "Driver/FPGA/fpga.h"
#include "Comm/maccomm.h"
#include "Comm/slavelink.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "StatusProcess/resource.h"
#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

static volatile U32* s_pLogicAddress = nullptr;
volatile U32* s_pGPIOAddress = nullptr;
volatile U32* s_pEthAddress = nullptr;
volatile U32* s_pSPI1Address = nullptr;
static std::mutex g_reg_mutex;
static BOOL g_reg_mapped = FALSE;
static U8 s_u8ChipType = CHIP_TYPE_MAIN;

std::atomic<BOOL> s_LEDfresh_flag{TRUE};
U8 u8PSIEnable[8] = {1, 1, 1, 1, 1, 1, 1, 1};

ST_DEBUG_SLAVE_REG_INFO stSlaveRegInfo;
sem_t g_stWriteRegVal_Sem;
sem_t g_stReadRegVal_Sem;

// Multi-register sequences that two threads may start at once.
static std::mutex s_mailboxMutex;
static std::mutex s_slaveAccessMutex;
static const int kSlaveAnswerTimeoutMs = 3000;

void REG_Map(void)
{
    std::lock_guard<std::mutex> lk(g_reg_mutex);
    if (g_reg_mapped)
        return;
    s_pLogicAddress = plat::MapPhys(FPGA_BASE_ADDR, FPGA_WINDOW_LEN);
    if (s_pLogicAddress == nullptr) {
        if (errno == ENOENT || errno == EACCES)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Can't open /dev/mem.\n\n", LOG_POS);
        else
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Can't map the memory of logic to user space.\n\n",
                       LOG_POS);
        return;
    }
    s_pGPIOAddress = plat::MapPhys(GPIO_BASE_ADDR, MAP_BLOCK_LEN);
    if (s_pGPIOAddress == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Can't map the memory of gpio to user space.\n\n", LOG_POS);
        return;
    }
    s_pEthAddress = plat::MapPhys(ETH_BASE_ADDR, MAP_BLOCK_LEN);
    if (s_pEthAddress == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Can't map the memory of eth to user space.\n\n", LOG_POS);
        return;
    }
    s_pSPI1Address = plat::MapPhys(SPI1_BASE_ADDR, MAP_BLOCK_LEN);
    if (s_pSPI1Address == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Can't map the memory of spi1 to user space.\n\n", LOG_POS);
        return;
    }
    g_reg_mapped = TRUE;
}

// Register numbers beyond the window would reach memory that is not the FPGA's.
static bool RegUsable(U32 u32Address, const char* func)
{
    if (!g_reg_mapped) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Reg Must Map Success\n\n", (long)syscall(SYS_gettid),
                   func, __LINE__);
        return false;
    }
    if (u32Address >= FPGA_REG_COUNT) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Reg %u outside the FPGA window\n\n",
                   (long)syscall(SYS_gettid), func, __LINE__, u32Address);
        return false;
    }
    return true;
}

void REG_Read(U32 u32Address, U32* pu32Data)
{
    if (pu32Data == nullptr || !RegUsable(u32Address, __func__))
        return;
    std::lock_guard<std::mutex> lk(g_reg_mutex);
    *pu32Data = plat::Read32(s_pLogicAddress + u32Address * 4);
}

void REG_Write(U32 u32Address, U32 u32Data)
{
    if (!RegUsable(u32Address, __func__))
        return;
    std::lock_guard<std::mutex> lk(g_reg_mutex);
    plat::Write32(s_pLogicAddress + u32Address * 4, u32Data);
}

void REG_04_Read(U32 u32Address, U32* pu32Data)
{
    if (pu32Data == nullptr || !RegUsable(u32Address, __func__))
        return;
    std::lock_guard<std::mutex> lk(g_reg_mutex);
    *pu32Data = plat::Read32(s_pLogicAddress + u32Address * 4);
    plat::HwDelayUs(5);
}

void REG_04_Write(U32 u32Address, U32 u32Data)
{
    plat::HwDelayUs(50000);
    if (!RegUsable(u32Address, __func__))
        return;
    std::lock_guard<std::mutex> lk(g_reg_mutex);
    plat::Write32(s_pLogicAddress + u32Address * 4, u32Data);
    plat::HwDelayUs(5);
}

void FPGA_REG_Read(U32 u32Address, U32* pu32Data) { REG_Read(u32Address, pu32Data); }
void FPGA_REG_Write(U32 u32Address, U32 u32Data) { REG_Write(u32Address, u32Data); }
void FPGA_REG_04_Write(U32 u32Address, U32 u32Data) { REG_04_Write(u32Address, u32Data); }
void FPGA_REG_Map(void) { REG_Map(); }

U32 Xil_In32(volatile U32* address) { return plat::Read32(address); }
void Xil_Out32(volatile U32* address, U32 value) { plat::Write32(address, value); }

void FPGA_Init(void)
{
    REG_Map();
    FPGA_LEDOut();
}

U32 FPGA_GetSlotID(void)
{
    U32 v = 0;
    REG_Read(16, &v);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d ****FPGA_GetSlotID: %d****\n\n", LOG_POS, (int)v);
    return v;
}

void FPGA_GetLOGVerSion(U32* pu32LogVer)
{
    if (pu32LogVer == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Param is NULL\n\n", LOG_POS);
        return;
    }
    U32 v = 0;
    REG_Read(0, &v);
    *pu32LogVer = (v << 24) | (v >> 16) | ((v << 8) & 0x00FF0000u);
}

void FPGA_CheckChipType(void)
{
    U32 v = 0;
    REG_Read(17, &v);
    s_u8ChipType = (U8)(v & 1);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d FPGA CHIP TYPE IS %u\r\n\n", LOG_POS, s_u8ChipType);
}

CHIP_TYPE FPGA_GetChipType(void) { return (CHIP_TYPE)s_u8ChipType; }

void FPGA_SetDestChannel(void)
{
    FPGA_CheckChipType();
    U32 reg;
    switch (PARAMS_GetModulationMod()) {
    case 1: reg = 1280; break;
    case 3: reg = 1536; break;
    case 4: reg = 1792; break;
    case 5: reg = 2048; break;
    case 6: reg = 2304; break;
    default: reg = 1024; break;
    }
    REG_Write(reg, s_u8ChipType == CHIP_TYPE_MAIN ? 0x03020100u : 0x07060504u);
}

void FPGA_Control_LED(LED_STATUS emStatus) { REG_Write(21, (U32)emStatus); }
void FPGA_LEDRedLight(void) { FPGA_Control_LED(LED_RED); }
void FPGA_LEDGreenLight(void) { FPGA_Control_LED(LED_GREEN); }
void FPGA_LEDOut(void) { FPGA_Control_LED(LED_OFF); }

void FPGA_GetLEDStatus(LED_STATUS* pemStatus)
{
    if (pemStatus == nullptr)
        return;
    U32 v = (U32)*pemStatus;
    REG_Read(21, &v);
    *pemStatus = (LED_STATUS)v;
}

void FPGA_PhyReset(void)
{
    REG_Write(256, 1);
    plat::HwDelayUs(200000);
    REG_Write(256, 0);
    plat::HwDelayUs(200000);
    REG_Write(256, 1);
    plat::HwDelayUs(200000);
}

static void SplitMac(const U8* mac, U32* hi, U32* lo)
{
    *hi = (U32)mac[0] * 65536 + (U32)mac[1] * 256 + mac[2];
    *lo = (U32)mac[3] * 65536 + (U32)mac[4] * 256 + mac[5];
}

void FPGA_SetMacAddr(U8* u8MacAddr, U8 ETHType)
{
    if (u8MacAddr == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Input Para Error...\n\n", LOG_POS);
        return;
    }
    U32 hi, lo;
    SplitMac(u8MacAddr, &hi, &lo);
    printf("ETHY = %d u32MacAddrH = 0x%x u32MacAddrL = 0x%x\n", ETHType, hi, lo);
    REG_Write(ETHType == 0 ? 265 : 521, hi);
    plat::HwDelayUs(20000);
    REG_Write(ETHType == 0 ? 266 : 522, lo);
}

void FPGA_SetSubChipMacAddr(U8* pu8Data)
{
    if (pu8Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Input Para Error...\n\n", LOG_POS);
        return;
    }
    U32 hi, lo;
    SplitMac(pu8Data, &hi, &lo);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d Set SubFPGA u32MacAddrH = 0x%x u32MacAddrL = 0x%x\n\n",
               LOG_POS, hi, lo);
    REG_Write(265, hi);
    plat::HwDelayUs(20000);
    REG_Write(266, lo);
}

void FPGA_SendMACToSubChip(void)
{
    U8 mac[6] = {0};
    {
        CARD_STATE_LOCK();
        TResource_TS* self = Resource_getSelfHandle();
        if (self == nullptr) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d Input Para Error...\n\n", LOG_POS);
            return;
        }
        memcpy(mac, self->u8MACAddress, sizeof(mac));
    }
    // Queued for the chip link's worker: no caller waits for the slave chip.
    SlaveLink_Post(ZR_COM_MAC_CMD_PARAMS_MAC, mac, sizeof(mac));
    log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_FPGA, "%ld:%s:%d Send MAC %02x:%02x:%02x:%02x:%02x:%02x to sub chip\n\n",
               LOG_POS, mac[0], mac[1], mac[2], mac[3], mac[4], mac[5]);
}

std::mutex& FPGA_SequenceMutex(void)
{
    static std::mutex m;
    return m;
}

static void SetIP0Registers(U32 u32IP)
{
    std::lock_guard<std::mutex> lk(FPGA_SequenceMutex());
    REG_Write(305, 1);
    REG_Write(312, 7);
    REG_Write(289, 0);
    REG_Write(290, 1234);
    REG_Write(291, u32IP);
    REG_Write(288, 1);
    plat::HwDelayUs(1000000);
    REG_Write(288, 0);
    plat::HwDelayUs(10000);
    REG_Write(267, u32IP);
}

void FPGA_Set_IP0(U32 u32IP)
{
    SetIP0Registers(u32IP);
    // Queued: the frame server's address change must not wait for the slave chip.
    SlaveLink_Post(ZR_COM_MAC_CMD_PARAMS_PSI_IP, reinterpret_cast<U8*>(&u32IP), 4);
}

void FPGA_Set_SubChipIP0(U8* pu8Data)
{
    if (pu8Data == nullptr)
        return;
    U32 ip;
    memcpy(&ip, pu8Data, 4);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_FPGA, "%ld:%s:%d Set SubFPGA IP = 0x%x\n\n", LOG_POS, ip);
    SetIP0Registers(ip);
}

void FPGA_setIP0Filter(U32 u32Addr) { REG_Write(269, u32Addr); }

static void ChipLinkInit(U32 own, U32 peer)
{
    REG_Write(34, 0);
    REG_Write(36, own);
    REG_Write(34, 4);
    REG_Write(39, 3);
    REG_Write(40, peer);
}

void FPGA_MAC_Master_Comm_Init(U32 u32Ipaddr) { ChipLinkInit(u32Ipaddr, 0xC0A8BC6Fu); }
void FPGA_MAC_Slave_Comm_Init(U32 u32Ipaddr) { ChipLinkInit(u32Ipaddr, 0xC0A8BC6Eu); }

void FPGA_Modulate_Enable_Init(void)
{
    REG_Write(1285, 3072);
    REG_04_Write(4, 0);
    REG_04_Write(4, 1);
    REG_Write(1539, 1);
    REG_Write(1794, 1);
    REG_Write(1055, 1);
    REG_Write(65, 1);
    REG_Write(66, 29);
    REG_Write(67, 0);
    REG_Write(67, 1);
    REG_Write(67, 0);
    REG_Write(2053, 6144);
}

U32 FPGA_Comm_SendData(U32* pu32Data, U32 u32DataLen)
{
    if (pu32Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d input error\r\n\n", LOG_POS);
        return 1;
    }
    std::lock_guard<std::mutex> lk(s_mailboxMutex);
    for (U32 i = 0; i < u32DataLen; i++) {
        REG_Write(803, i);
        REG_Write(804, pu32Data[i]);
        REG_Write(802, 0);
        REG_Write(802, 1);
        REG_Write(802, 0);
    }
    REG_Write(801, 0);
    REG_Write(801, 1);
    REG_Write(801, 0);
    return 0;
}

void FPGA_GetChannelBitRate(U16 u16Channel, U32* pu32LUTBitRate, U32* pu32EffBitRate)
{
    U32 lut = 0, eff = 0;
    {
        std::lock_guard<std::mutex> lk(FPGA_SequenceMutex());
        REG_Write(832, 2);
        plat::HwDelayUs(5);
        REG_Write(834, 135000000);
        plat::HwDelayUs(5);
        REG_Write(839, u16Channel);
        plat::HwDelayUs(5);
        REG_Read(840, &lut);
        plat::HwDelayUs(5);
        REG_Read(841, &eff);
    }
    if (pu32LUTBitRate)
        *pu32LUTBitRate = lut * 1504 / 1000;
    if (pu32EffBitRate)
        *pu32EffBitRate = eff * 1504 / 1000;
}

U32 FPGA_GetPIDBitInfo(U16 u16Channel, U16 u16PID, U32* pu32BitRate, U8* pu8CcNumber)
{
    if (pu32BitRate == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d pu32BitRate is null\r\n\n", LOG_POS);
        return 0xC0000;
    }
    if (pu8CcNumber == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_FPGA, "%ld:%s:%d pu8CcNumber is null\r\n\n", LOG_POS);
        return 0xC0000;
    }
    U32 count = 0, cc = 0;
    {
        std::lock_guard<std::mutex> lk(FPGA_SequenceMutex());
        REG_Write(832, 2);
        plat::HwDelayUs(5);
        REG_Write(833, u16Channel);
        plat::HwDelayUs(5);
        REG_Write(834, 135000000);
        plat::HwDelayUs(5);
        REG_Write(836, u16PID);
        plat::HwDelayUs(5);
        REG_Read(837, &count);
        plat::HwDelayUs(5);
        REG_Read(838, &cc);
    }
    *pu32BitRate = count * 1504 / 1000;
    *pu8CcNumber = (U8)(cc & 0x7F);
    return 0;
}

void FPGA_ClearPIDCc(void)
{
    std::lock_guard<std::mutex> lk(FPGA_SequenceMutex());
    REG_Write(835, 0);
    plat::HwDelayUs(5);
    REG_Write(835, 1);
    plat::HwDelayUs(5);
    REG_Write(835, 0);
}

std::mutex& FPGA_SlaveRegInfoMutex(void)
{
    static std::mutex m;
    return m;
}

void FPGA_SlaveAccessLock(void) { s_slaveAccessMutex.lock(); }
void FPGA_SlaveAccessUnlock(void) { s_slaveAccessMutex.unlock(); }

bool FPGA_WaitSlaveAnswer(sem_t* sem)
{
    // A monotonic deadline: the clock is set from the back board's time
    // while a request may be waiting.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 30)
    const clockid_t clock = CLOCK_MONOTONIC;
#else
    const clockid_t clock = CLOCK_REALTIME;
#endif
    struct timespec ts;
    clock_gettime(clock, &ts);
    ts.tv_sec += kSlaveAnswerTimeoutMs / 1000;
    ts.tv_nsec += (long)(kSlaveAnswerTimeoutMs % 1000) * 1000000L;
    if (ts.tv_nsec >= 1000000000L) {
        ts.tv_sec++;
        ts.tv_nsec -= 1000000000L;
    }
    int rc;
    do {
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 30)
        rc = sem_clockwait(sem, clock, &ts);
#else
        rc = sem_timedwait(sem, &ts);
#endif
    } while (rc != 0 && errno == EINTR);
    return rc == 0;
}

// Sends one register request to the slave and waits (bounded) for its answer.
static peErrCode SlaveRegAccess(ZR_COM_MAC_CMD cmd, sem_t* sem, const char* semName, U32 u32Add, U32 u32Val,
                                U32* pu32Val)
{
    std::lock_guard<std::mutex> lk(s_slaveAccessMutex);
    if (sem_init(sem, 0, 0) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d %s 's sem init failure\n\n", LOG_POS, semName);
        return PE_ERR_FAILURE;
    }
    ST_DEBUG_SLAVE_REG_INFO req;
    {
        std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
        memset(&stSlaveRegInfo, 0, sizeof(stSlaveRegInfo));
        stSlaveRegInfo.u8RegType = 0;
        stSlaveRegInfo.u32SlaveLogRegAdd = u32Add;
        stSlaveRegInfo.u32SlaveLogRegVal = u32Val;
        req = stSlaveRegInfo;
    }
    // Confirmed and bounded as a web request must be (the HTTP server serves
    // no one meanwhile); nothing is sent while the slave is absent.
    if (MACMasterComm_SlaveRegAccess(cmd, &req, sem) != 0)
        return PE_ERR_FAILURE;
    if (!FPGA_WaitSlaveAnswer(sem)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_MOD, "%ld:%s:%d slave register %u: no answer within %d ms\n\n",
                   LOG_POS, u32Add, kSlaveAnswerTimeoutMs);
        return PE_ERR_FAILURE;
    }
    if (pu32Val) {
        std::lock_guard<std::mutex> rec(FPGA_SlaveRegInfoMutex());
        *pu32Val = stSlaveRegInfo.u32SlaveLogRegVal;
    }
    return PE_SUCCESS;
}

peErrCode FPGA_LogRegWriteDebug(U32 u32M_or_S, U32 u32Add, U32 u32Val)
{
    if (u32M_or_S == 0) {
        // A register the window does not hold is a failure, not a silent no-op.
        if (!RegUsable(u32Add, __func__))
            return PE_ERR_FAILURE;
        REG_Write(u32Add, u32Val);
        return PE_SUCCESS;
    }
    return SlaveRegAccess(ZR_COM_MAC_CMD_REG_WRITE, &g_stWriteRegVal_Sem, "WriteRegVal", u32Add, u32Val, nullptr);
}

peErrCode FPGA_LogRegReadDebug(U32 u32M_or_S, U32 u32Add, U32* pu32Val)
{
    if (u32M_or_S == 0) {
        if (pu32Val == nullptr || !RegUsable(u32Add, __func__))
            return PE_ERR_FAILURE;
        REG_Read(u32Add, pu32Val);
        return PE_SUCCESS;
    }
    return SlaveRegAccess(ZR_COM_MAC_CMD_REG_READ, &g_stReadRegVal_Sem, "ReadRegVal", u32Add, 0, pu32Val);
}
