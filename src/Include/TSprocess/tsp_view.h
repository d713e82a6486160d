// Views of the output-stream database for the web interface and the status
// LED: one output channel with its programs and PIDs, one program, and the
// per-PID bit rates that the FPGA measures.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

#define TSP_WEB_PROGRAM_MAX 200u
#define TSP_WEB_ES_MAX 20u
#define TSP_WEB_PID_MAX 100u
#define TSP_WEB_BITINFO_MAX 500u
#define TSP_WEB_CHANNEL_MAX 8u

// Web PID kinds (not the database's PIDTYPE_E).
enum {
    TSP_WEB_PID_VIDEO = 0,
    TSP_WEB_PID_AUDIO = 1,
    TSP_WEB_PID_PCR = 2,
    TSP_WEB_PID_EMM = 3,
    TSP_WEB_PID_PSECM = 4,
    TSP_WEB_PID_ESECM = 5,
    TSP_WEB_PID_OTHER = 6,
    TSP_WEB_PID_PAT = 7,
    TSP_WEB_PID_PMT = 8,
    TSP_WEB_PID_SDT = 9,
    TSP_WEB_PID_CAT = 10,
    TSP_WEB_PID_PSIP = 11,
    TSP_WEB_PID_NIT = 13,
    TSP_WEB_PID_TDT = 14,
    TSP_WEB_PID_EIT = 16,
};

#pragma pack(push, 1)
typedef struct {
    U8 u8StreamType;
    U16 u16OldPID;
    U16 u16PID;
    U8 u8PIDType;
} Output_WebPIDInfo;

typedef struct {
    U8 u8ServiceNameLen;
    U8 u8ServiceProviderLen;
    U8 aru8ServiceName[32];
    U8 aru8ServiceProvider[32];
    U16 u16Channel;
    U8 u8SourceSlot;
    U8 u8SourcePort;
    U16 u16SourceChannel;
    U16 u16OldServiceID;
    U16 u16OldPCRPID;
    U16 u16OldPMTPID;
    U16 u16ServiceID;
    U16 u16PCRPID;
    U16 u16PMTPID;
    U16 u16MajorChannelNum;
    U16 u16MinorChannelNum;
    U16 u8ServiceType;  // 16 bits wide
    U16 u16ESNumber;
    Output_WebPIDInfo arOutputESInfo[TSP_WEB_ES_MAX];
} Output_WebProgramInfo;

typedef struct {
    U8 u8ValidFlag;
    U8 u8Port;
    U16 u16Channel;
    U8 u8BypassFlag;
    U8 u8SourceSlot;
    U16 u16SourceChannel;
    U8 u8SourcePort;
    U16 u16TransportStreamID;
    U16 u16OriginalNetworkID;
    U16 u16ProgramNum;
    U16 u16PIDNum;
    U32 u32TotalBitRate;
    U32 u32TotalBitRateSlave;
    U32 u32EffectiveBitRate;
    U32 u32Frequency;
    BOOL bOverFlow;
    BOOL bOverFlowSlave;
    U8 u8ModulationMode;
    U8 u8TDTGenerate;
    U8 u8HasTsInfoFlag;
    Output_WebProgramInfo arOutputProInfo[TSP_WEB_PROGRAM_MAX];
    Output_WebPIDInfo arOutputPIDInfo[TSP_WEB_PID_MAX];
} Output_WebTSInfo;

typedef struct {
    U16 u16SamePIDNum;
    U8 u8ServiceNameLen;
    U8 aru8ServiceName[32];
    U16 u16ServiceID;
    U16 u16PID;
    U8 u8PIDType;
    U32 u32BitRate;
    U8 U8CcNum;
} Output_WebPIDBitInfo;

typedef struct {
    U8 u8ValidFlag;
    U16 u16PIDNum;
    U32 u32TotalBitRate;
    U32 u32TotalBitRateSlave;
    Output_WebPIDBitInfo arPIDBitInfo[TSP_WEB_BITINFO_MAX];
} Output_WebTSBitInfo;
#pragma pack(pop)

static_assert(sizeof(Output_WebPIDInfo) == 6, "Output_WebPIDInfo layout");
static_assert(sizeof(Output_WebProgramInfo) == 92 + 20 * 6, "Output_WebProgramInfo layout");
static_assert(sizeof(Output_WebTSInfo) == 38 + 200 * sizeof(Output_WebProgramInfo) + 100 * 6, "Output_WebTSInfo layout");
static_assert(sizeof(Output_WebPIDBitInfo) == 45, "Output_WebPIDBitInfo layout");
static_assert(sizeof(Output_WebTSBitInfo) == 11 + 500 * 45, "Output_WebTSBitInfo layout");

// Channel view: the stream of the channel in the database given. 0 (also for a
// channel without a stream: u8ValidFlag 0xFF), 0xC0000 for bad arguments or a
// channel beyond the card's eight.
U32 TSP_SendTSInfoToWeb(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo, const Output_TSInfo* pstParamTS);
// One program of the channel by service id; 0xC0018 when none has it.
U32 TSP_SendProgramInfoToWeb(U16 u16Channel, U16 u16ServiceId, Output_WebProgramInfo* pstWebProInfo,
                             const Output_TSInfo* pstParamTS);
// Measured PIDs of the channel (live database), sorted by PID.
U32 TSP_SendTSBitInfoToWeb(U16 u16Channel, Output_WebTSBitInfo* pstWebTSBitInfo);
U32 TSP_WriteSamePIDNum(Output_WebPIDBitInfo* parPIDBitInfo, U16 u16PIDNumber);
BOOL TSP_IsVideoStreamType(U8 u8StreamType);
// The valid stream of a channel in the database given, 0xFFFF when none.
U16 TSP_FindStreamOfChannel(const Output_TSInfo* pstParamTS, U16 u16Channel);
BOOL TSP_IsAudioStreamType(U8 u8StreamType);
