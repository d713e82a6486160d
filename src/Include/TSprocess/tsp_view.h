// Web views of an output channel: the fixed-size records that the web back
// end and the SNMP agent read, filled from the output-stream database.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

// One PID of a view; u8PIDType is a web PID kind code (6 other PID, ...).
typedef struct {
    U8 u8StreamType;
    U16 u16OldPID;
    U16 u16PID;
    U8 u8PIDType;
} Output_WebPIDInfo;

// One program of a view.
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
    Output_WebPIDInfo arOutputESInfo[20];
} Output_WebProgramInfo;

// The view of one output channel; rates in kbit/s.
typedef struct {
    U8 u8ValidFlag;  // 1, or 0xFF when the channel has no output stream
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
    Output_WebProgramInfo arOutputProInfo[200];
    Output_WebPIDInfo arOutputPIDInfo[100];
} Output_WebTSInfo;

// Fills the view of output channel u16Channel from pstParamTS; 0 or an error.
U32 TSP_SendTSInfoToWeb(U16 u16Channel, Output_WebTSInfo* pstWebTSInfo, const Output_TSInfo* pstParamTS);
