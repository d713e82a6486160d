// FPGA register window, FPGA services, status LED and bit-rate threads.
#pragma once
#include <atomic>
#include "Common/err.h"
#include "Common/types.h"
#include <mutex>
#include <semaphore.h>

#define FPGA_BASE_ADDR 0x83C00000u
#define FPGA_WINDOW_LEN 0x100000u
#define FPGA_REG_COUNT 65536u
#define GPIO_BASE_ADDR 0xE000A000u
#define ETH_BASE_ADDR 0xE000B000u
#define SPI1_BASE_ADDR 0xE0007000u
#define MAP_BLOCK_LEN 0x1000u

// Fixed width: it is read back from a whole 32-bit register.
typedef enum : U32 { LED_RED = 0, LED_GREEN = 1, LED_OFF = 3 } LED_STATUS;

typedef enum { PE_SUCCESS = 0, PE_ERR_FAILURE = 1 } peErrCode;

// A register access on the slave chip, as sent over the chip link (36 bytes).
#pragma pack(push, 1)
typedef struct {
    U8 u8RegType;  // 0 FPGA, 1 AD9789, 2 RFDA0016, 3 ADF4351
    U8 aru8Res[3];
    U32 u32SlaveLogRegAdd;
    U32 u32SlaveLogRegVal;
    U32 u32SlaveAD9789RegAdd;
    U32 u32SlaveAD9789RegVal;
    U32 u32SlaveRFDA0016RegAdd;
    U32 u32SlaveRFDA0016RegVal;
    U32 u32SlaveADF4351RegAdd;
    U32 u32SlaveADF4351RegVal;
} ST_DEBUG_SLAVE_REG_INFO;
#pragma pack(pop)
static_assert(sizeof(ST_DEBUG_SLAVE_REG_INFO) == 36, "slave register record is 36 bytes on the link");

extern ST_DEBUG_SLAVE_REG_INFO stSlaveRegInfo;
extern sem_t g_stWriteRegVal_Sem;
extern sem_t g_stReadRegVal_Sem;
extern U8 u8PSIEnable[8];
// Set by the LED control thread, read by the red blinker.
extern std::atomic<BOOL> s_LEDfresh_flag;

// Mapped blocks of the processor (GPIO, Ethernet, SPI), for their drivers.
extern volatile U32* s_pGPIOAddress;
extern volatile U32* s_pEthAddress;
extern volatile U32* s_pSPI1Address;

// Register access.
void REG_Map(void);
void REG_Read(U32 u32Address, U32* pu32Data);
void REG_Write(U32 u32Address, U32 u32Data);
void REG_04_Read(U32 u32Address, U32* pu32Data);
void REG_04_Write(U32 u32Address, U32 u32Data);
void FPGA_REG_Read(U32 u32Address, U32* pu32Data);
void FPGA_REG_Write(U32 u32Address, U32 u32Data);
void FPGA_REG_04_Write(U32 u32Address, U32 u32Data);
void FPGA_REG_Map(void);
// One word inside a mapped block, without lock.
U32 Xil_In32(volatile U32* address);
void Xil_Out32(volatile U32* address, U32 value);

// Held by every multi-register sequence that shares registers with another
// (288-291: TS-over-IP address and IP monitor; 832-841: measurements and IP monitor).
std::mutex& FPGA_SequenceMutex(void);

// FPGA services.
void FPGA_Init(void);
U32 FPGA_GetSlotID(void);
void FPGA_GetLOGVerSion(U32* pu32LogVer);
void FPGA_CheckChipType(void);
CHIP_TYPE FPGA_GetChipType(void);
void FPGA_SetDestChannel(void);
void FPGA_Control_LED(LED_STATUS emStatus);
void FPGA_LEDRedLight(void);
void FPGA_LEDGreenLight(void);
void FPGA_LEDOut(void);
void FPGA_GetLEDStatus(LED_STATUS* pemStatus);
void FPGA_PhyReset(void);
void FPGA_SetMacAddr(U8* u8MacAddr, U8 ETHType);
void FPGA_SendMACToSubChip(void);
void FPGA_SetSubChipMacAddr(U8* pu8Data);
void FPGA_Set_IP0(U32 u32IP);
void FPGA_Set_SubChipIP0(U8* pu8Data);
void FPGA_setIP0Filter(U32 u32Addr);
void FPGA_MAC_Master_Comm_Init(U32 u32Ipaddr);
void FPGA_MAC_Slave_Comm_Init(U32 u32Ipaddr);
void FPGA_Modulate_Enable_Init(void);
U32 FPGA_Comm_SendData(U32* pu32Data, U32 u32DataLen);
void FPGA_GetChannelBitRate(U16 u16Channel, U32* pu32LUTBitRate, U32* pu32EffBitRate);
U32 FPGA_GetPIDBitInfo(U16 u16Channel, U16 u16PID, U32* pu32BitRate, U8* pu8CcNumber);
void FPGA_ClearPIDCc(void);
peErrCode FPGA_LogRegWriteDebug(U32 u32M_or_S, U32 u32Add, U32 u32Val);
peErrCode FPGA_LogRegReadDebug(U32 u32M_or_S, U32 u32Add, U32* pu32Val);
// Waits for the slave's answer to a register access (bounded); used by the
// RF chips' maintenance access as well.
bool FPGA_WaitSlaveAnswer(sem_t* sem);
// Serialises register accesses on the slave: the record and semaphores exist once.
void FPGA_SlaveAccessLock(void);
// Held over every read or write of stSlaveRegInfo: the request is written
// here and the chip-link handler writes the answer from its own thread.
std::mutex& FPGA_SlaveRegInfoMutex(void);
void FPGA_SlaveAccessUnlock(void);

// Status LED and bit-rate monitor threads.
zrErrCode FPGA_LEDRedfresh_Start(void);
zrErrCode FPGA_CheckBitrateStatusStart(void);
zrErrCode LED_TaskMonitoring(void);
zrErrCode FPGA_LEDGreenfresh_Start(void);
void FPGA_LEDfresh_Stop(void);
// What the LED control thread keeps between passes.
typedef struct {
    LED_STATUS emLed = LED_OFF;  // LED as last read
    U8 u8Status = 1;             // reported to the back board: 1 normal, 2 abnormal
} LED_CtrlState;
// One pass of the LED control thread and one of the bit-rate monitor.
void LED_CtrlPass(LED_CtrlState* pstState);
void FPGA_CheckBitrateOnce(void);
// The card's status (command 515) to the back board, through the outbox.
void LED_ReportStatus(U8 u8Status);
