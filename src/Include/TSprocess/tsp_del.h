// Deleting output-stream records: by array index (cascade and single-record
// unlinkers), by the input card's identity, and the input-slot bookkeeping
// (slot clean-up, channel clear, factory clear, slot moves).
#pragma once
#include "Common/err.h"
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

#pragma pack(push, 1)
// Records of the deletion commands (8 bytes each, little-endian).
typedef struct {
    U8 u8SourceSlotID;
    U8 u8Slot;  // destination slot, only printed
    U16 u16Res;
    U16 u16SourceChannelID;
    U16 u16ChannelID;
} Delete_TSStream;
typedef Delete_TSProgramDescriptor Delete_TSProgram;
typedef struct {
    U8 u8SourceSlotID;
    U8 u8PIDFilterFlag;  // 2: delete; any other value becomes the PID's filter flag
    U16 u16SourceChannelID;
    U16 u16ChannelID;
    U16 u16PIDID;
} Delete_TSPID;
#pragma pack(pop)
static_assert(sizeof(Delete_TSStream) == 8, "Delete_TSStream layout");
static_assert(sizeof(Delete_TSPID) == 8, "Delete_TSPID layout");

// Predecessor searches: out is the predecessor's index, 0xFFFF for a head.
U32 TSP_GetPrevOutputPIDIndex(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS, U16* pu16PrevPIDIndex);
U32 TSP_GetPrevOutputDescIndex(U16 u16OutDescIndex, Output_TSInfo* pstParamTS, U16* pu16PrevDescIndex);
U32 TSP_GetPrevOutputProgIndex(U16 u16OutProgIndex, Output_TSInfo* pstParamTS, U16* pu16PrevProgIndex);
U32 TSP_GetOutPIDESECMPIDIndexList(U16 u16OutPIDIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList);

// Cascade by output index (any database).
zrErrCode TSP_DelOutputTS(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputProg(U16 u16OutProgIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputDescriptor(U16 u16OutDescIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputEsDescriptor(U16 u16OutDescIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelOutputTsTable(U16 u16OutputTSIndex, Output_TSInfo* pstTS);
zrErrCode TSP_DelOutputNitTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputBATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputTOTTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputOtherNitTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
zrErrCode TSP_DelOutputOtherSdtTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS);
// Zero-fills a stream record together with every record that names it as owner.
void TSP_ClearStreamRecord(Output_TSInfo* pstParamTS, U16 u16TS);
// Clears, as above, every stream of an output channel the card does not have
// (a database read back from a file or a dump); returns how many went.
U32 TSP_ClearStreamsBeyondChannels(Output_TSInfo* pstParamTS);
// Zero-fills every PID record that still names the program as owner.
void TSP_ReleaseProgramOrphans(Output_TSInfo* pstParamTS, U16 u16Prog);

// Single-record unlinkers of the input path.
U32 TSP_DelOneOutputOtherPID(U16 u16OutTSIndex, U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelOneOutputEMMPID(U16 u16OutTSIndex, U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelOneOutputESPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelOneOutputPSECMPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelOneOutputESECMPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS);
U32 TSP_DelAllPIDsInOneProgram(U16 u16ProgramIndex);

// Deletions by input identity (live database).
U32 TSP_DelTSInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID);
U32 TSP_DelProgramInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID);
U32 TSP_DelPIDInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16PIDID,
                          U8 u8PIDFilterFlag);
U32 TSP_DelDescriptorInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID);

// Input-slot bookkeeping.
U32 ClearOneSlotInfoFromInput(U8 u8Slot);
zrErrCode TSP_SendDelDestChannelNumToInputBoard(U32 u32DestChannel);
U32 TSP_SendClearCmd(void);
// The clear (266) to each slot flagged in pu8Slots (TSP_MAX_SLOT_ID + 1 flags).
void TSP_SendClearCmdToSlots(const U8* pu8Slots);
U32 GetInputSlot(U8* pu8Slot);
U32 TSP_ChangePIDSrcSlotID(IndexInfoList_t* pstIndexInfoList, U8 u8OldSlot, U8 u8NewSlot, U8* pu8Changed);
// Outbox key of a message of one command to one slot.
inline U32 TSP_SlotMessageKey(U32 u32Cmd, U8 u8Slot) { return 0x100000u | (u32Cmd << 5) | u8Slot; }
