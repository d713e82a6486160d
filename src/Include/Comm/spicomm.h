// SPI chip link: 128-byte frames between the master (bus master) and the
// slave chip, each request answered by one reply; block transfers of
// messages and files, and the slave's receive loop.
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include <cstddef>

#define SPI_FRAME_LEN 128
#define SPI_DATA_MAX 104
#define SPI_CMD_START 0x69

#pragma pack(push, 1)
typedef struct {
    U8 u8CmdStart;
    U8 u8CmdId;
    U16 u16CmdFlag;
    U32 u32CurIndex;
    U32 u32TotalIndex;
    U8 u8ReturnCode;
    U8 u8Reserved[2];
    U8 u8DataLen;
    U8 aru8Data[SPI_DATA_MAX];
    U32 u32Crc;
    U8 u8Reserved2[4];
} SPI_COM_DATA;
#pragma pack(pop)
static_assert(sizeof(SPI_COM_DATA) == SPI_FRAME_LEN, "SPI frame is 128 bytes");

typedef enum {
    SPI_RETURN_CODE_SUCCESS = 0x55,
    SPI_RETURN_CODE_REPLY = 0x5A,
    SPI_RETURN_CODE_CRC_ERROR = 0xA5,
} SPI_RETURN_CODE;

typedef enum _ZR_COM_SPI_CMD {
    ZR_COM_SPI_CMD_VERSION_SOFTWARE = 1,
    ZR_COM_SPI_CMD_VERSION_HARDWARE = 2,
    ZR_COM_SPI_CMD_VERSION_FPGA = 3,
    ZR_COM_SPI_CMD_FILE_UPGRADE = 17,
    ZR_COM_SPI_CMD_FILE_CONFIG = 18,
    ZR_COM_SPI_CMD_FILE_LOG = 19,
    ZR_COM_SPI_CMD_FILE_LOG_SIZE = 20,
    ZR_COM_SPI_CMD_RES_HARDVERSION = 21,
    ZR_COM_SPI_CMD_PARAMS_NET_CAS = 33,
    ZR_COM_SPI_CMD_PARAMS_NET_UNITCAST = 34,
    ZR_COM_SPI_CMD_PARAMS_NET_MULTICAST = 35,
    ZR_COM_SPI_CMD_PARAMS_NET_TS = 36,
    ZR_COM_SPI_CMD_PARAMS_MAC_CAS = 37,
    ZR_COM_SPI_CMD_PARAMS_MAC_TS = 38,
    ZR_COM_SPI_CMD_PARAMS_MUXER = 39,
    ZR_COM_SPI_CMD_PARAMS_QAM = 40,
    ZR_COM_SPI_CMD_PARAMS_MAC = 41,
    ZR_COM_SPI_CMD_STATUS_CAS = 49,
    ZR_COM_SPI_CMD_PARAMS_MUXLUT = 50,
    ZR_COM_SPI_CMD_PARAMS_PASSLUT = 51,
    ZR_COM_SPI_CMD_PARAMS_PSI_TABLE = 52,
    ZR_COM_SPI_CMD_PARAMS_PSI_INTERVAL = 53,
    ZR_COM_SPI_CMD_PARAMS_PSI_IP = 54,
    ZR_COM_SPI_CMD_SYS_RESET = 65,
    ZR_COM_SPI_CMD_SYS_REBOOT = 66,
    ZR_COM_SPI_CMD_SYS_FACTORY = 67,
    ZR_COM_SPI_CMD_REG_READ = 81,
    ZR_COM_SPI_CMD_REG_WRITE = 82,
    ZR_COM_SPI_CMD_DETE_ALIVE = 254,
} ZR_COM_SPI_CMD;

typedef enum { SPI_DATA_HANDLE_TYPE_FD = 0, SPI_DATA_HANDLE_TYPE_PTR = 1 } SPI_DATA_HANDLE_TYPE;

typedef struct {
    SPI_DATA_HANDLE_TYPE emSpiDataHandleType;
    S32 s32Fd;
    const U8* pu8Data;
} SpiDataHandle;

typedef struct {
    U8 aru8LogFilename[512];
    U32 u32LogSize;
    U32 u32CurIndex;
    U32 u32TotalIndex;
    S32 s32Fd;
} SlaveLogInfo;
extern SlaveLogInfo stSlaveLogInfo;

typedef S32 (*SpiMasterFunc)(SPI_COM_DATA* pstReply);
typedef S32 (*SpiSlaveFunc)(S32 s32Dev, SPI_COM_DATA* pstReq);
typedef struct {
    U8 u8CmdId;
    SpiMasterFunc master_func;
    SpiSlaveFunc slave_func;
} _SpiComFuncMap;

// Flag of block u32Index of u32Total.
U16 SPICom_BlockFlag(U32 u32Index, U32 u32Total);
// Fills a frame (CRC included); data copied for a length of 1 to 104.
void SPICom_BuildFrame(SPI_COM_DATA* pstFrame, U8 u8Cmd, U32 u32Index, U32 u32Total, const U8* pu8Data, U32 u32Len,
                       U8 u8ReturnCode);
U32 SPICom_FrameCrc(const SPI_COM_DATA* pstFrame);

void SPI_PthreadMux_Init(void);
void SPI_PthreadMux_Lock(void);
void SPI_PthreadMux_UnLock(void);

// Master.
S32 SPICom_SendData(S32 s32Dev, U8 u8Cmd, const U8* pu8Data, U32 u32Len);
S32 SPICom_SendFile(S32 s32Dev, U8 u8Cmd, const U8* pu8Path);
S32 SPIMaster_SendBlockData(S32 s32Dev, U8 u8Cmd, SPI_DATA_HANDLE_TYPE emType, const U8* pu8Path, const U8* pu8Data,
                            U32 u32Len);
S32 SPIMaster_SendData(S32 s32Dev, U8 u8Cmd, U32 u32Index, U32 u32Total, const U8* pu8Data, U32 u32Len);
S32 SPIMaster_RecvData(S32 s32Dev, SPI_COM_DATA* pstReply);
S32 SPIMaster_ParaseData(SPI_COM_DATA* pstReply);
S32 SPICom_GetSlaveLog(S32 s32Dev);

// Slave.
void* SPISlave_ComTask(void* arg);  // arg: the device, as an intptr_t
S32 SPISlave_RecvData(S32 s32Dev, SPI_COM_DATA* pstReq);
S32 SPISlave_ParaseData(S32 s32Dev, SPI_COM_DATA* pstReq);
S32 SPISlave_Response(S32 s32Dev, U8 u8Cmd, U32 u32Index, U32 u32Total, const U8* pu8Data, U32 u32Len,
                      U8 u8ReturnCode);
S32 SPISlave_LogFile2(S32 s32Dev, SPI_COM_DATA* pstReq);

// Single-pass detection and reboot request over the TCP chip link.
S32 ComSlaveChipDetect(void);
S32 ComGetSlaveChipSoftVersion(void);
S32 ComTellSlaveChipReboot(void);

// Test-only: how many 3 ms reads wait for one reply (about 2,000 by default).
void SPICom_SetReplyReads(U32 u32Reads);
