// Records from the input cards: the messages of the frame link that add
// streams, programs, PIDs, long descriptors and NIT sections to the live
// output-stream database, or change descrambling and monitored PIDs.
//
// Every message is checked whole before the first record is entered: its
// length against the records it announces, and each record's lengths and
// identities. A message that fails these checks changes nothing.
#include "Common/thread.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_identity.h"
#include "TSprocess/tsp_plan.h"
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace {

constexpr U32 TSP_CHANNEL_PROGRAM_MAX =
    SIP_SDT_MAX_SERVICE < SIP_VCT_MAX_CHANNELS ? SIP_SDT_MAX_SERVICE : SIP_VCT_MAX_CHANNELS;

template <typename T>
T ReadRecord(const U8* pu8Buffer, U32 u32Index)
{
    T st;
    memcpy(&st, pu8Buffer + (size_t)u32Index * sizeof(T), sizeof(T));
    return st;
}

// Count and length of a message part: N records of u32Size bytes must fit
// in the length (computed in full width).
U32 CheckRecords(const char* pcFunc, const U8* pu8Buffer, U16 u16Number, U16 u16Length, U32 u32Size,
                 const char* pcWhat)
{
    if (pu8Buffer == nullptr || u16Number == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error u8Buffer[%p],u16Number[%u]\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, (const void*)pu8Buffer, u16Number);
        return TSP_ERR_INPUT;
    }
    const U32 u32Need = (U32)u16Number * u32Size;
    if (u32Need > u16Length) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d IP %s data length u16Length[%u] smaller than structure[%u]\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, pcWhat, u16Length, u32Need);
        return TSP_ERR_MSG_LENGTH;
    }
    return ZR_SUCCESS;
}

U32 RefuseRecord(const char* pcFunc, U32 u32Record, const char* pcWhy, U32 u32Value)
{
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d record[%u] %s[%u] out of range\r\n\n",
               (long)syscall(SYS_gettid), pcFunc, __LINE__, u32Record, pcWhy, u32Value);
    return TSP_ERR_INPUT;
}

// A field the card indexes, masks or matches with, and the largest value it
// takes: one beyond would be cut to its low bits and name another channel,
// slot, stream or PID.
struct FieldRange {
    const char* pcField;
    U32 u32Value;
    U32 u32Max;
};

U32 CheckFields(const char* pcFunc, U32 u32Record, std::initializer_list<FieldRange> l)
{
    for (const FieldRange& f : l)
        if (f.u32Value > f.u32Max)
            return RefuseRecord(pcFunc, u32Record, f.pcField, f.u32Value);
    return ZR_SUCCESS;
}

// An input PID that carries a program's PMT carries no PID record of the same
// input on the same output channel, whichever comes first: the PMT the card
// sends would list its own PID, and the record's route would put the input's
// packets on that PMT's PID.
template <typename Rec>
bool CarriesInput(const Rec* pRecs, U32 u32Cap, U16 Rec::*pPID, U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16PID)
{
    for (U32 i = 0; pRecs != nullptr && i < u32Cap; i++) {
        const Rec& r = pRecs[i];
        if (r.u8ValidFlag == TSP_RECORD_VALID && r.u8SourceSlotID == u8Slot && r.u16SourceChannelID == u16SrcCh &&
            r.u16ChannelID == u16Ch && r.*pPID == u16PID)
            return true;
    }
    return false;
}

bool CarriesPMT(const Output_TSInfo* pst, U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16PID)
{
    return CarriesInput(pst->pOutputProgram, pst->u32OutputProgramNumber, &Output_TSProgram::u16OldPMTPID, u8Slot,
                        u16SrcCh, u16Ch, u16PID);
}

bool CarriesPIDRecord(const Output_TSInfo* pst, U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16PID)
{
    return CarriesInput(pst->pOutputPID, pst->u32OutputPIDNumber, &Output_TSPID::u16OldPID, u8Slot, u16SrcCh, u16Ch,
                        u16PID);
}

// A list holds no more members than its walkers report: a message that would
// take one beyond is refused before it changes anything, since every later
// walk of that list, and with it the apply, would fail.
U32 CheckListRoom(const char* pcFunc, const char* pcList, U32 u32Owner, U32 u32Have, U32 u32Add, U32 u32Max)
{
    if (u32Have + u32Add <= u32Max)
        return ZR_SUCCESS;
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
               "%ld:%s:%d %s of [%u] would hold [%u] members, at most [%u]\r\n\n", (long)syscall(SYS_gettid), pcFunc,
               __LINE__, pcList, u32Owner, u32Have + u32Add, u32Max);
    return TSP_ERR_LIST_RANGE;
}

using ListWalk = U32 (*)(U16, const Output_TSInfo*, IndexInfoList_t*);

U32 ListLength(ListWalk pfWalk, U16 u16Owner, U32* pu32Length)
{
    IndexInfoList_t stList;
    stList.u16IndexListNum = 0;
    U32 u32Ret = pfWalk(u16Owner, TSP_GetTSParam(), &stList);
    *pu32Length = stList.u16IndexListNum;
    return u32Ret;
}

// A monitored PID may point its long information only at a descriptor record
// of its own program: another program's record would put that program's
// descriptors into this one's PMT. (No record at all is judged elsewhere.)
bool DescriptorOfProgram(const Output_TSInfo* pst, U16 u16Desc, U32 u32Prog)
{
    if (u16Desc == TSP_INVALID_INDEX)
        return true;
    return pst->pDescriptor != nullptr && u16Desc < pst->u32OutputDescriptorNumber &&
           pst->pDescriptor[u16Desc].u8ValidFlag == TSP_RECORD_VALID &&
           pst->pDescriptor[u16Desc].u16ProgramIndex == u32Prog;
}

bool StreamValid(const Output_TSInfo* pst, U32 u32Index)
{
    return pst->pOutputTS != nullptr && u32Index < pst->u32OutputTSNumber &&
           pst->pOutputTS[u32Index].u8ValidFlag == TSP_RECORD_VALID;
}

bool ProgramValid(const Output_TSInfo* pst, U32 u32Index)
{
    return pst->pOutputProgram != nullptr && u32Index < pst->u32OutputProgramNumber &&
           pst->pOutputProgram[u32Index].u8ValidFlag == TSP_RECORD_VALID;
}

// The stream of an output channel, created when missing; a new stream takes
// the channel and slot of the record that asked for it.
U32 FindOrCreateStream(U16 u16Channel, U8 u8Slot, U16* pu16TSIndex, bool* pbCreated)
{
    U16 u16Index = TSP_INVALID_INDEX;
    U32 u32Ret = TSP_GetOutputTSIndexByTS(u16Channel, &u16Index);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    *pbCreated = (u16Index == TSP_INVALID_INDEX);
    if (*pbCreated) {
        u32Ret = TSP_GetOutputTSIndexByPID(u16Channel, &u16Index);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        Output_TSStream& ts = TSP_GetTSParam()->pOutputTS[u16Index];
        ts.u16ChannelID = u16Channel;
        ts.u8SlotID = u8Slot;
    }
    *pu16TSIndex = u16Index;
    return ZR_SUCCESS;
}

// Appends PID record u16New to a counted PID list whose tail is u16Tail.
U32 AppendPID(Output_TSInfo* pst, U16 u16Tail, U16& u16Head, U16& u16Count, U16 u16New)
{
    if (u16Tail == TSP_INVALID_INDEX) {
        u16Head = u16New;
        u16Count = 1;
        return ZR_SUCCESS;
    }
    if (u16Tail >= pst->u32OutputPIDNumber)
        return TSP_ERR_LIST_RANGE;
    pst->pOutputPID[u16Tail].u32NextPIDIndex = u16New;
    u16Count++;
    return ZR_SUCCESS;
}

void DumpUnstoredPID(const Output_TSPID& st)
{
    const U8* p = reinterpret_cast<const U8*>(&st);
    std::string line;
    for (U32 i = 0; i < sizeof(st); i++) {
        char ac[8];
        snprintf(ac, sizeof(ac), "0x%x  ", p[i]);
        line += ac;
        if ((i + 1) % 20 == 0 || i + 1 == sizeof(st)) {
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%s\r\n", line.c_str());
            line.clear();
        }
    }
}

// Frees the NIT chain hanging from a stream, as a deletion does.
void ReleaseNITChain(Output_TSInfo* pst, Output_TSStream& ts)
{
    U32 u32Index = ts.u16NITIndex;
    U32 u32Steps = 0;
    while (u32Index < pst->u32OutputTableNumber && u32Steps++ < pst->u32OutputTableNumber) {
        TSTable& t = pst->pOutputTable[u32Index];
        if (t.u8ValidFlag != TSP_RECORD_VALID)
            break;
        U32 u32Next = t.u16NextIndex;
        memset(&t, 0, sizeof(t));
        t.u16Index = TSP_INVALID_INDEX;
        u32Index = u32Next;
    }
    ts.u16NITIndex = TSP_INVALID_INDEX;
}

} // namespace

// ---------------------------------------------------------------------------
// Entry point
// ---------------------------------------------------------------------------

U32 TSP_ConstructOutputTS(U8* u8Buffer, IPCOMM_CMD eDataType, U16 u16Length)
{
    if (u8Buffer == nullptr || u16Length == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error u8Buffer[%p],u16Length[%u]\r\n\n",
                   LOG_POS, (void*)u8Buffer, u16Length);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    const U16 u16Number = u8Buffer[0];
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Structure Number[%u]\r\n\n", LOG_POS, u16Number);
    U8* pu8Records = u8Buffer + 1;
    const U16 u16RecLen = (U16)(u16Length - 1);
    // A message changes the database whole or not at all, and only when the
    // output it leads to still holds every limit.
    TSP_LiveGuard stGuard;
    bool bPlanned = true;
    U32 u32Ret;
    switch (eDataType) {
    case IPCOMM_SEND_TS:
        u32Ret = TSP_ConstructOutputTSByAddTS(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_SEND_PROGRAM:
        u32Ret = TSP_ConstructOutputTSByAddPrograms(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_SEND_PID:
        u32Ret = TSP_ConstructOutputTSByAddPIDs(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_DEL_TS:
        u32Ret = TSP_ConstructOutputTSByDelTS(pu8Records, u16Number, u16RecLen);
        bPlanned = false;  // a deletion takes nothing beyond a limit
        break;
    case IPCOMM_DEL_PROGRAM:
        u32Ret = TSP_ConstructOutputTSByDelProgram(pu8Records, u16Number, u16RecLen);
        bPlanned = false;  // a deletion takes nothing beyond a limit
        break;
    case IPCOMM_CHANGE_PROGRAM:
        u32Ret = ZR_SUCCESS;
        bPlanned = false;
        break;
    case IPCOMM_CHANGE_PID:
        u32Ret = TSP_ConstructOutputTSBySetSCRPIDInfo(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_PROG_SET_DESCRAMBLE:
        u32Ret = TSP_ConstructOutputTSBySetSCR(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_DEL_SCR:
        u32Ret = TSP_ConstructOutputTSByDelSCRInfo(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_SEND_NIT_TABLE:
        u32Ret = TSP_ConstructOutputTSByAddNITTable(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_DEL_PID:
        u32Ret = TSP_ConstructOutputTSByDelPID(pu8Records, u16Number, u16RecLen);
        bPlanned = false;  // a deletion takes nothing beyond a limit
        break;
    case IPCOMM_MONITOR_PID:
        u32Ret = TSP_ConstructOutputTSByMonitorPID(u8Buffer, u16Length);
        break;
    case IPCOMM_SEND_DESCRIPTOR:
        u32Ret = TSP_ConstructOutputTSByAddDescriptors(pu8Records, u16Number, u16RecLen);
        break;
    case IPCOMM_DEL_DESCRIPTOR:
        u32Ret = TSP_ConstructOutputTSByDelDescriptors(pu8Records, u16Number, u16RecLen);
        bPlanned = false;  // a deletion takes nothing beyond a limit
        break;
    default:
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [TSP_ConstructOutputTS]IP data type error,eDataType[%X]\r\n\n", LOG_POS,
                   (unsigned)eDataType);
        return TSP_ERR_TYPE;
    }
    if (u32Ret != ZR_SUCCESS)
        stGuard.Restore();
    else if (bPlanned)
        u32Ret = stGuard.Check("input card record message");
    if (u32Ret != ZR_SUCCESS)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d command[%u] return error[0x%x]\r\n\n", LOG_POS,
                   (unsigned)eDataType, u32Ret);
    // A program whose PIDs were refused does not go on air half-made.
    if (eDataType == IPCOMM_SEND_PID)
        TSP_PlanPIDMessage(pu8Records, u16Number, u16RecLen, u32Ret != ZR_SUCCESS);
    else if (eDataType == IPCOMM_SEND_PROGRAM && u32Ret == ZR_SUCCESS)
        TSP_PlanProgramMessage(pu8Records, u16Number, u16RecLen);
    return u32Ret;
}

// ---------------------------------------------------------------------------
// Streams (259)
// ---------------------------------------------------------------------------

U32 TSP_ConstructOutputTSByAddTS(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Output_TSStream), "ts");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        Output_TSStream st = ReadRecord<Output_TSStream>(u8Buffer, i);
        u32Ret = CheckFields(__func__, i, {{"u16ChannelID", st.u16ChannelID, TSP_MAX_CHANNEL_ID},
                                           {"u8SlotID", st.u8SlotID, TSP_MAX_SLOT_ID}});
        // A pass-through stream is routed by its input's slot and stream.
        if (u32Ret == ZR_SUCCESS && st.u8BypassFlag == 1)
            u32Ret = CheckFields(__func__, i, {{"u8SrcSlotID", st.u8SrcSlotID, TSP_MAX_SLOT_ID},
                                               {"u16SrcStreamID", st.u16SrcStreamID, TSP_MAX_STREAM_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        Output_TSStream st = ReadRecord<Output_TSStream>(u8Buffer, i);
        U16 u16Index = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputTSIndexByTS(st.u16ChannelID, &u16Index);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Index != TSP_INVALID_INDEX)
            continue; // the channel's stream stays as it is
        Output_TSInfo* pst = TSP_GetTSParam();
        u32Ret = TSP_GetUnusedOutputTSIndex(&u16Index, pst);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        TSP_InitOneOutputTSStream(&st);
        // The sender's descriptor list means nothing here: it starts empty.
        st.u16DescriptorNum = 0;
        st.u16DescriptorIndex = TSP_INVALID_INDEX;
        pst->pOutputTS[u16Index] = st;
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Programs (260)
// ---------------------------------------------------------------------------

U32 TSP_IsProgramRepeated(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ServiceID,
                          BOOL* bRepeat)
{
    if (u8SourceSlotID > TSP_MAX_SLOT_ID || bRepeat == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SourceSlotID[%u] Input error\r\n\n", LOG_POS,
                   u8SourceSlotID);
        return TSP_ERR_INPUT;
    }
    const Output_TSInfo* pst = TSP_GetTSParam();
    *bRepeat = FALSE;
    const U32 u32Cap = pst->pOutputProgram ? pst->u32OutputProgramNumber : 0;
    for (U32 i = 0; i < u32Cap; i++) {
        const Output_TSProgram& r = pst->pOutputProgram[i];
        if (r.u8ValidFlag == TSP_RECORD_VALID && r.u8SourceSlotID == u8SourceSlotID &&
            r.u16SourceChannelID == u16SourceChannelID && r.u16ChannelID == u16ChannelID &&
            r.u16OldServiceID == u16ServiceID) {
            *bRepeat = TRUE;
            break;
        }
    }
    return ZR_SUCCESS;
}

namespace {

// A program record of a message that adds nothing: it names a program held
// (by identity, which it replaces), one of the message before it, or a
// service held already (skipped, as before).
U32 ProgramAddsNothing(const U8* u8Buffer, U32 i, BOOL* pbNothing)
{
    const Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
    *pbNothing = TSP_FindHeldProgram(TSP_GetTSParam(), st) != TSP_INVALID_INDEX;
    for (U32 j = 0; j < i && !*pbNothing; j++) {
        const Output_TSProgram o = ReadRecord<Output_TSProgram>(u8Buffer, j);
        *pbNothing = TSP_SameProgramIdentity(o, st) ||
                     (o.u8SourceSlotID == st.u8SourceSlotID && o.u16SourceChannelID == st.u16SourceChannelID &&
                      o.u16ChannelID == st.u16ChannelID && o.u16OldServiceID == st.u16OldServiceID);
    }
    if (*pbNothing)
        return ZR_SUCCESS;
    return TSP_IsProgramRepeated(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16OldServiceID,
                                 pbNothing);
}

// Programs each stream would gain from a message (records that replace or
// repeat a program add none), against the room left in its program list.
U32 CheckProgramListsRoom(const U8* u8Buffer, U16 u16Number)
{
    std::map<U16, U32> mapAdded;  // output channel -> programs added
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
        BOOL bNothing = FALSE;
        U32 u32Ret = ProgramAddsNothing(u8Buffer, i, &bNothing);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (!bNothing)
            mapAdded[st.u16ChannelID]++;
    }
    for (const auto& [u16Channel, u32Add] : mapAdded) {
        U16 u16TS = TSP_INVALID_INDEX;
        U32 u32Ret = TSP_GetOutputTSIndexByProgram(u16Channel, &u16TS);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        U32 u32Have = 0;
        if (u16TS != TSP_INVALID_INDEX)
            u32Ret = ListLength(TSP_GetOutTSProgIndexList, u16TS, &u32Have);
        // A channel carries no more programs than its SDT (and, in ATSC mode,
        // its VCT) can name: a program beyond would leave it with none.
        if (u32Ret == ZR_SUCCESS)
            u32Ret = CheckListRoom(__func__, "program list of channel", u16Channel, u32Have, u32Add,
                                   TSP_CHANNEL_PROGRAM_MAX);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_ConstructOutputTSByAddPrograms(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Output_TSProgram), "Program");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
        u32Ret = CheckFields(__func__, i, {{"u16ChannelID", st.u16ChannelID, TSP_MAX_CHANNEL_ID},
                                           {"u8SourceSlotID", st.u8SourceSlotID, TSP_MAX_SLOT_ID},
                                           {"u8SlotID", st.u8SlotID, TSP_MAX_SLOT_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (st.u8ServiceNameLen > TSP_NAME_MAX_LEN)
            return RefuseRecord(__func__, i, "u8ServiceNameLen", st.u8ServiceNameLen);
        if (st.u8ServiceProviderLen > TSP_NAME_MAX_LEN)
            return RefuseRecord(__func__, i, "u8ServiceProviderLen", st.u8ServiceProviderLen);
        if (st.u16SDTInfoLength > TSP_INFO_MAX_LEN)
            return RefuseRecord(__func__, i, "u16SDTInfoLength", st.u16SDTInfoLength);
        // Longer program information arrives later in a descriptor record.
        if (st.u16ProgramInfoLength > TSP_DESC_INFO_MAX_LEN)
            return RefuseRecord(__func__, i, "u16ProgramInfoLength", st.u16ProgramInfoLength);
        if (st.u16OldPMTPID > TSP_MAX_PID || st.u16OldPCRPID > TSP_MAX_PID)
            return RefuseRecord(__func__, i, "PID", st.u16OldPMTPID > TSP_MAX_PID ? st.u16OldPMTPID : st.u16OldPCRPID);
    }
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
        if (CarriesPIDRecord(TSP_GetTSParam(), st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                             st.u16OldPMTPID))
            return RefuseRecord(__func__, i, "u16OldPMTPID of another record", st.u16OldPMTPID);
    }
    u32Ret = CheckProgramListsRoom(u8Buffer, u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    IndexInfoList_t stFree;
    u32Ret = TSP_GetUnusedOutputProgList(&stFree, TSP_GetTSParam(), u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
        // The same program sent again replaces the one held, in its place.
        const U16 u16Held = TSP_FindHeldProgram(TSP_GetTSParam(), st);
        if (u16Held != TSP_INVALID_INDEX) {
            if (TSP_ReplaceHeldProgram(TSP_GetTSParam(), u16Held, st))
                log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                           "%ld:%s:%d Program SrcSlot[%u],SrcChannel[%u],DestChannel[%u],ProgramID[%u] replaced\r\n\n",
                           LOG_POS, st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16ProgramID);
            continue;
        }
        BOOL bRepeat = FALSE;
        u32Ret = TSP_IsProgramRepeated(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16OldServiceID,
                                       &bRepeat);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (bRepeat) {
            log_printf(LOG_LEVEL_WARNING, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d Program SrcSlot[%u],SrcChannel[%u],DestChannel[%u],OldServiceId[%u]sends repeatly\r\n\n",
                       LOG_POS, st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16OldServiceID);
            continue;
        }
        const U16 u16New = stFree.aru16IndexList[i];
        U16 u16TS = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputTSIndexByProgram(st.u16ChannelID, &u16TS);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        U16 u16Tail = TSP_INVALID_INDEX;
        if (u16TS != TSP_INVALID_INDEX) {
            u32Ret = TSP_GetOutTSProgLastIndex(u16TS, TSP_GetTSParam(), &u16Tail);
            if (u32Ret != ZR_SUCCESS)
                return u32Ret;
            if (u16Tail != TSP_INVALID_INDEX && u16Tail >= TSP_GetTSParam()->u32OutputProgramNumber)
                return TSP_ERR_LIST_RANGE;
        } else {
            bool bCreated = false;
            u32Ret = FindOrCreateStream(st.u16ChannelID, st.u8SlotID, &u16TS, &bCreated);
            if (u32Ret != ZR_SUCCESS)
                return u32Ret;
        }
        // Addresses are taken only now: the stream search may have grown an array.
        Output_TSInfo* pst = TSP_GetTSParam();
        Output_TSStream& ts = pst->pOutputTS[u16TS];
        TSP_InitOneOutputTSProgram(&st);
        st.u16TSIndex = u16TS;
        st.u16ProgramIndex = u16New;
        st.u16NextProgramIndex = TSP_INVALID_INDEX;
        pst->pOutputProgram[u16New] = st;
        if (u16Tail == TSP_INVALID_INDEX) {
            ts.u16ProgramIndex = u16New;
            ts.u16ProgramNum = 1;
        } else {
            pst->pOutputProgram[u16Tail].u16NextProgramIndex = u16New;
            ts.u16ProgramNum++;
        }
        ts.u8PATChangeFlag = 1;
        ts.u8SDTChangeFlag = 1;
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// PIDs (261)
// ---------------------------------------------------------------------------

namespace {

// Enters one PID record at index u16New. Returns 0 also when the owner is
// missing (the record is then dropped and its index stays free).
U32 AddOnePID(Output_TSPID st, U16 u16New)
{
    Output_TSInfo* pst = TSP_GetTSParam();
    TSP_InitOneOutputTSPID(&st);
    st.u32PIDIndex = u16New;
    st.u32NextPIDIndex = TSP_INVALID_INDEX32;
    if (st.u8PIDType != PID_TYPE_ES_ECMPID)
        st.u16ESPIDIndex = TSP_INVALID_INDEX;
    if (st.u8PIDType == PID_TYPE_ESPID)
        st.u16ESECMPIDIndex = TSP_INVALID_INDEX; // head of its ES-ECM list, empty for now

    auto missing = [&](const char* pcWhat) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_TSPROCESS, "%ld:%s:%d [TSP_ConstructOutputTSByAddPIDs]%s\r\n\n",
                   LOG_POS, pcWhat);
        DumpUnstoredPID(st);
        return (U32)ZR_SUCCESS;
    };

    U32 u32Ret;
    switch (st.u8PIDType) {
    case PID_TYPE_PCRPID:
    case PID_TYPE_ESPID:
    case PID_TYPE_PS_ECMPID: {
        U16 u16Prog = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputProgramIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                                                st.u16ProgramID, &u16Prog);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        // A program whose stream is gone cannot own the PID either.
        if (u16Prog == TSP_INVALID_INDEX || !StreamValid(pst, pst->pOutputProgram[u16Prog].u16TSIndex)) {
            return missing(st.u8PIDType == PID_TYPE_PCRPID ? "PCRPID find no Program index"
                           : st.u8PIDType == PID_TYPE_ESPID ? "ESPID find no Program index"
                                                            : "PS_ECMPID find no Program index");
        }
        U16 u16Tail = TSP_INVALID_INDEX;
        if (st.u8PIDType == PID_TYPE_ESPID)
            u32Ret = TSP_GetOutProgPIDListLastIndex(u16Prog, pst, &u16Tail);
        else if (st.u8PIDType == PID_TYPE_PS_ECMPID)
            u32Ret = TSP_GetOutProgPSECMPIDLastIndex(u16Prog, pst, &u16Tail);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        Output_TSProgram& prog = pst->pOutputProgram[u16Prog];
        st.u32ProgramIndex = u16Prog;
        st.u32TSIndex = prog.u16TSIndex;
        if (st.u8PIDType == PID_TYPE_PCRPID)
            prog.u16PCRIndex = u16New;
        else if (st.u8PIDType == PID_TYPE_ESPID)
            u32Ret = AppendPID(pst, u16Tail, prog.u16PIDIndex, prog.u16ESNumber, u16New);
        else
            u32Ret = AppendPID(pst, u16Tail, prog.u16PSECMPIDIndex, prog.u16PSECMPIDNumber, u16New);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        break;
    }
    case PID_TYPE_EMMPID:
    case PID_TYPE_OTHERPID: {
        U16 u16TS = TSP_INVALID_INDEX;
        bool bCreated = false;
        u32Ret = FindOrCreateStream(st.u16ChannelID, st.u8SlotID, &u16TS, &bCreated);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16TS == TSP_INVALID_INDEX)
            return missing(st.u8PIDType == PID_TYPE_EMMPID ? "EMMPID find no Ts index" : "OTHERPID find no Ts index");
        U16 u16Tail = TSP_INVALID_INDEX;
        if (st.u8PIDType == PID_TYPE_EMMPID)
            u32Ret = TSP_GetOutTSEMMPIDLastIndex(u16TS, pst, &u16Tail);
        else
            u32Ret = TSP_GetOutTSOtherPIDLastIndex(u16TS, pst, &u16Tail);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        Output_TSStream& ts = pst->pOutputTS[u16TS];
        st.u32TSIndex = u16TS;
        if (st.u8PIDType == PID_TYPE_EMMPID) {
            u32Ret = AppendPID(pst, u16Tail, ts.u16EMMPIDIndex, ts.u16EMMPIDNumber, u16New);
            ts.u8CATChangeFlag = 1;
        } else {
            u32Ret = AppendPID(pst, u16Tail, ts.u16OtherPIDIndex, ts.u16OtherPIDNum, u16New);
        }
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Tail == TSP_INVALID_INDEX) {
            ts.u16ChannelID = st.u16ChannelID;
            ts.u8SlotID = st.u8SlotID;
        }
        break;
    }
    case PID_TYPE_ES_ECMPID: {
        U16 u16ES = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputPIDIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16PIDID,
                                            &u16ES);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        // Only an elementary stream owns an ES-ECM list.
        if (u16ES == TSP_INVALID_INDEX || pst->pOutputPID[u16ES].u8PIDType != PID_TYPE_ESPID)
            return missing("ES_ECMPID find no EsPID index");
        U16 u16Tail = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutESECMPIDLastIndex(u16ES, pst, &u16Tail);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        Output_TSPID& es = pst->pOutputPID[u16ES];
        st.u32ProgramIndex = es.u32ProgramIndex;
        st.u32TSIndex = es.u32TSIndex;
        st.u16ESPIDIndex = u16ES;
        st.u8PIDType = PID_TYPE_ES_ECMPID;
        u32Ret = AppendPID(pst, u16Tail, es.u16ESECMPIDIndex, es.u16ESECMPIDNumber, u16New);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        break;
    }
    default:
        return TSP_ERR_TYPE;
    }
    pst->pOutputPID[u16New] = st;
    return ZR_SUCCESS;
}

// Members each existing list would gain from a message, against its room.
// Owners that the message itself creates start empty and cannot overflow.
U32 CheckPIDListsRoom(const U8* u8Buffer, U16 u16Number)
{
    const Output_TSInfo* pst = TSP_GetTSParam();
    std::map<std::pair<U8, U16>, U32> mapAdded;  // (PID type, owner) -> members added
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        // A record sent again replaces the one held: it adds no member.
        bool bHeld = TSP_FindHeldPID(pst, st) != TSP_INVALID_INDEX;
        for (U32 j = 0; j < i && !bHeld; j++)
            bHeld = TSP_SamePIDIdentity(ReadRecord<Output_TSPID>(u8Buffer, j), st);
        if (bHeld)
            continue;
        U16 u16Owner = TSP_INVALID_INDEX;
        U32 u32Ret = ZR_SUCCESS;
        switch (st.u8PIDType) {
        case PID_TYPE_ESPID:
        case PID_TYPE_PS_ECMPID:
            u32Ret = TSP_GetOutputProgramIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                                                    st.u16ProgramID, &u16Owner);
            break;
        case PID_TYPE_EMMPID:
        case PID_TYPE_OTHERPID:
            u32Ret = TSP_GetOutputTSIndexByTS(st.u16ChannelID, &u16Owner);
            break;
        case PID_TYPE_ES_ECMPID:
            u32Ret = TSP_GetOutputPIDIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                                                st.u16PIDID, &u16Owner);
            if (u16Owner != TSP_INVALID_INDEX && pst->pOutputPID[u16Owner].u8PIDType != PID_TYPE_ESPID)
                u16Owner = TSP_INVALID_INDEX;
            break;
        default:
            break;  // a PCR is no list member
        }
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Owner != TSP_INVALID_INDEX)
            mapAdded[{st.u8PIDType, u16Owner}]++;
    }
    for (const auto& [key, u32Add] : mapAdded) {
        const U16 u16Owner = key.second;
        U32 u32Have = 0;
        U32 u32Ret;
        const char* pcList;
        switch (key.first) {
        case PID_TYPE_ESPID: {
            U16 u16Len = 0;
            u32Ret = TSP_GetOutProgESPIDChainLength(u16Owner, pst, &u16Len);
            u32Have = u16Len;
            pcList = "ES list of program";
            break;
        }
        case PID_TYPE_PS_ECMPID:
            u32Ret = ListLength(TSP_GetOutProgPSECMPIDIndexList, u16Owner, &u32Have);
            pcList = "PS-ECM list of program";
            break;
        case PID_TYPE_EMMPID:
            u32Ret = ListLength(TSP_GetOutTSEMMPIDIndexList, u16Owner, &u32Have);
            pcList = "EMM list of stream";
            break;
        case PID_TYPE_OTHERPID:
            u32Ret = ListLength(TSP_GetOutTSOtherPIDIndexList, u16Owner, &u32Have);
            pcList = "other-PID list of stream";
            break;
        default:
            u32Ret = ListLength(TSP_GetOutESECMPIDIndexList, u16Owner, &u32Have);
            pcList = "ES-ECM list of PID";
            break;
        }
        if (u32Ret == ZR_SUCCESS)
            u32Ret = CheckListRoom(__func__, pcList, u16Owner, u32Have, u32Add, TSP_INDEX_LIST_MAX);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_ConstructOutputTSByAddPIDs(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Output_TSPID), "PID");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        if (st.u8PIDType < PID_TYPE_PCRPID || st.u8PIDType > PID_TYPE_OTHERPID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d [TSP_ConstructOutputTSByAddPIDs]PID type error,PidType[%u]\r\n\n", LOG_POS,
                       st.u8PIDType);
            return TSP_ERR_TYPE;
        }
        // The routing word has 13 bits for a PID and 10 for a stream: a larger
        // one would route another. The CI fields are carried as received here
        // (a card without CI may fill them as it likes); they are checked where
        // they route, and by the CI message.
        u32Ret = CheckFields(__func__, i, {{"u16ChannelID", st.u16ChannelID, TSP_MAX_CHANNEL_ID},
                                           {"u8SourceSlotID", st.u8SourceSlotID, TSP_MAX_SLOT_ID},
                                           {"u8SlotID", st.u8SlotID, TSP_MAX_SLOT_ID},
                                           {"u16ESInfoLength", st.u16ESInfoLength, TSP_INFO_MAX_LEN},
                                           {"u16OldPID", st.u16OldPID, TSP_MAX_PID},
                                           {"u16PID", st.u16PID, TSP_MAX_PID},
                                           {"u16SrcStreamID", st.u16SrcStreamID, TSP_MAX_STREAM_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        if (CarriesPMT(TSP_GetTSParam(), st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID, st.u16OldPID))
            return RefuseRecord(__func__, i, "u16OldPID of a PMT", st.u16OldPID);
    }
    u32Ret = CheckPIDListsRoom(u8Buffer, u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    IndexInfoList_t stFree;
    u32Ret = TSP_GetUnusedOutputPIDIndex(&stFree, TSP_GetTSParam(), u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        // The same record sent again replaces the one held, in its place.
        const U16 u16Held = TSP_FindHeldPID(TSP_GetTSParam(), st);
        if (u16Held != TSP_INVALID_INDEX) {
            TSP_ReplaceHeldPID(TSP_GetTSParam(), u16Held, st);
            continue;
        }
        u32Ret = AddOnePID(st, stFree.aru16IndexList[i]);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Long program information (288)
// ---------------------------------------------------------------------------

namespace {

// Descriptor records each stream would gain; its list holds one fewer member
// than the other lists.
U32 CheckDescriptorListsRoom(const U8* u8Buffer, U16 u16Number)
{
    const Output_TSInfo* pst = TSP_GetTSParam();
    std::map<U16, U32> mapAdded;  // stream -> descriptor records added
    for (U32 i = 0; i < u16Number; i++) {
        const TSDescriptor st = ReadRecord<TSDescriptor>(u8Buffer, i);
        U16 u16Prog = TSP_INVALID_INDEX;
        U32 u32Ret = TSP_GetOutputProgramIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                                                    st.u16ProgramIndex, &u16Prog);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        // A program that holds its record already has it replaced.
        if (u16Prog != TSP_INVALID_INDEX && StreamValid(pst, pst->pOutputProgram[u16Prog].u16TSIndex) &&
            !DescriptorOfProgram(pst, pst->pOutputProgram[u16Prog].u16ProgramInfoDescriptorIndex, u16Prog))
            mapAdded[pst->pOutputProgram[u16Prog].u16TSIndex]++;
    }
    for (const auto& [u16TS, u32Add] : mapAdded) {
        U32 u32Have = 0;
        U32 u32Ret = ListLength(TSP_GetOutTSDescIndexList, u16TS, &u32Have);
        if (u32Ret == ZR_SUCCESS)
            u32Ret = CheckListRoom(__func__, "descriptor list of stream", u16TS, u32Have, u32Add,
                                   TSP_INDEX_LIST_MAX - 1);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_ConstructOutputTSByAddDescriptors(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(TSDescriptor), "Descriptor");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        TSDescriptor st = ReadRecord<TSDescriptor>(u8Buffer, i);
        if (st.u32Length > TSP_DESC_INFO_MAX_LEN)
            return RefuseRecord(__func__, i, "u32Length", st.u32Length);
        u32Ret = CheckFields(__func__, i, {{"u16ChannelID", st.u16ChannelID, TSP_MAX_CHANNEL_ID},
                                           {"u8SourceSlotID", st.u8SourceSlotID, TSP_MAX_SLOT_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    CARD_STATE_LOCK();
    u32Ret = CheckDescriptorListsRoom(u8Buffer, u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        TSDescriptor st = ReadRecord<TSDescriptor>(u8Buffer, i);
        U16 u16Prog = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputProgramIndexByPID(st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID,
                                                st.u16ProgramIndex, &u16Prog);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Prog == TSP_INVALID_INDEX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d Can't find the relevant OutputProgram index, "
                       "u16ProgramID[%u],u8SourceSlotID[%u],u16SourceChannelID[%u],u16ChannelID[%u]\r\n\n",
                       LOG_POS, st.u16ProgramIndex, st.u8SourceSlotID, st.u16SourceChannelID, st.u16ChannelID);
            return TSP_ERR_INPUT;
        }
        Output_TSInfo* pst = TSP_GetTSParam();
        const U16 u16Held = pst->pOutputProgram[u16Prog].u16ProgramInfoDescriptorIndex;
        if (u16Held != TSP_INVALID_INDEX && DescriptorOfProgram(pst, u16Held, u16Prog)) {
            // The program's information sent again replaces what it holds.
            TSDescriptor& d = pst->pDescriptor[u16Held];
            TSDescriptor n = st;
            TSP_InitOneOutputTSDescriptor(&n);
            n.u32StructVersion = d.u32StructVersion;
            n.u16ProgramIndex = d.u16ProgramIndex;
            n.u16TSIndex = d.u16TSIndex;
            n.u16PIDIndex = d.u16PIDIndex;
            n.u16DescriptorIndex = d.u16DescriptorIndex;
            n.u16NextDescriptorIndex = d.u16NextDescriptorIndex;
            Output_TSProgram& prog = pst->pOutputProgram[u16Prog];
            const U16 u16Len = (U16)st.u32Length;
            if (memcmp(&n, &d, sizeof(n)) == 0 && prog.u16ProgramInfoLength == u16Len)
                continue;
            d = n;
            prog.u16ProgramInfoLength = u16Len;
            if (u16Len <= TSP_INFO_MAX_LEN)
                memcpy(prog.aru8ProgramInfo, d.u8DescriptorInfo, u16Len);
            prog.u8PMTChangeFlag = 1;
            continue;
        }
        if (u16Held != TSP_INVALID_INDEX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d [%s:%d]DescriptorInfo already exist in OutputProgram Index[%u]\r\n\n", LOG_POS,
                       __func__, __LINE__, u16Prog);
            return TSP_ERR_INPUT;
        }
        const U16 u16TS = pst->pOutputProgram[u16Prog].u16TSIndex;
        if (!StreamValid(pst, u16TS)) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d program[%u] stream[%u] invalid\r\n\n",
                       LOG_POS, u16Prog, u16TS);
            return TSP_ERR_INPUT;
        }
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "In ConstructTSByAddDesc, u16OutputTSIndex[%u], \r\n", u16TS);
        U16 u16New = TSP_INVALID_INDEX;
        u32Ret = TSP_GetUnusedOutputDescIndex(&u16New, pst);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        U16 u16Tail = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutTSLastDescIndex(u16TS, pst, &u16Tail);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        TSP_InitOneOutputTSDescriptor(&st);
        st.u16ProgramIndex = u16Prog;
        st.u16TSIndex = u16TS;
        st.u16PIDIndex = TSP_INVALID_INDEX; // program information belongs to no PID
        pst->pDescriptor[u16New] = st;
        Output_TSStream& ts = pst->pOutputTS[u16TS];
        if (u16Tail == TSP_INVALID_INDEX)
            ts.u16DescriptorIndex = u16New;
        else
            pst->pDescriptor[u16Tail].u16NextDescriptorIndex = u16New;
        ts.u16DescriptorNum++;
        Output_TSProgram& prog = pst->pOutputProgram[u16Prog];
        prog.u16ProgramInfoDescriptorIndex = u16New;
        prog.u16ProgramInfoLength = (U16)st.u32Length;
        // Information that fits the record is read from it.
        if (st.u32Length <= TSP_INFO_MAX_LEN)
            memcpy(prog.aru8ProgramInfo, st.u8DescriptorInfo, st.u32Length);
        prog.u8PMTChangeFlag = 1;
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// NIT sections (273)
// ---------------------------------------------------------------------------

U32 TSP_ConstructOutputTSByAddNITTable(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_ConstructOutputTSByAddTable\n\n", LOG_POS);
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(TSTable), "Table");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    CARD_STATE_LOCK();
    // Every section's stream must exist before any is stored: the sections
    // are chained to each other as they are entered.
    std::vector<U16> vecTS(u16Number);
    for (U32 i = 0; i < u16Number; i++) {
        TSTable st = ReadRecord<TSTable>(u8Buffer, i);
        if (st.u16TableInfoLen > TSP_TABLE_INFO_MAX_LEN)
            return RefuseRecord(__func__, i, "u16TableInfoLen", st.u16TableInfoLen);
        u32Ret = CheckFields(__func__, i, {{"u16ChannelID", st.u16ChannelID, TSP_MAX_CHANNEL_ID},
                                           {"u8SlotID", st.u8SlotID, TSP_MAX_SLOT_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        u32Ret = TSP_GetOutputTSIndexByTS(st.u16ChannelID, &vecTS[i]);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (vecTS[i] == TSP_INVALID_INDEX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d [TSP_ConstructOutputTSByAddTable] error,table ts not found\n\n", LOG_POS);
            return TSP_ERR_TYPE;
        }
    }
    IndexInfoList_t stFree;
    u32Ret = TSP_GetUnusedOutputTableIndexList(&stFree, TSP_GetTSParam(), u16Number);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    Output_TSInfo* pst = TSP_GetTSParam();
    // The message replaces the NIT of each stream it names; the old sections
    // are released rather than left in use with nothing pointing at them.
    for (U32 i = 0; i < u16Number; i++) {
        bool bFirst = true;
        for (U32 j = 0; j < i; j++)
            bFirst = bFirst && vecTS[j] != vecTS[i];
        if (bFirst)
            ReleaseNITChain(pst, pst->pOutputTS[vecTS[i]]);
    }
    for (U32 i = 0; i < u16Number; i++) {
        TSTable st = ReadRecord<TSTable>(u8Buffer, i);
        TSP_InitOneOutputTable(&st);
        st.u8TableType = TSP_TABLE_TYPE_NIT; // what the NIT generator looks for
        st.u16Index = stFree.aru16IndexList[i];
        st.u16TSIndex = vecTS[i];
        // Next section of the same stream in message order.
        st.u16NextIndex = TSP_INVALID_INDEX;
        for (U32 j = i + 1; j < u16Number; j++) {
            if (vecTS[j] == vecTS[i]) {
                st.u16NextIndex = stFree.aru16IndexList[j];
                break;
            }
        }
        pst->pOutputTable[st.u16Index] = st;
        Output_TSStream& ts = pst->pOutputTS[vecTS[i]];
        if (ts.u16NITIndex == TSP_INVALID_INDEX)
            ts.u16NITIndex = st.u16Index;
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Descrambling (269, 270) and CI PIDs (268)
// ---------------------------------------------------------------------------

namespace {

U32 SetDescramble(const char* pcFunc, U8* u8Buffer, U16 u16Number, U16 u16Length, U8 u8CIFlag)
{
    U32 u32Ret = CheckRecords(pcFunc, u8Buffer, u16Number, u16Length, sizeof(Output_TSProgram), "Program");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        const U8 u8Slot = ReadRecord<Output_TSProgram>(u8Buffer, i).u8SourceSlotID;
        u32Ret = CheckFields(pcFunc, i, {{"u8SourceSlotID", u8Slot, TSP_MAX_SLOT_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* pst = TSP_GetTSParam();
    const U32 u32Cap = pst->pOutputProgram ? pst->u32OutputProgramNumber : 0;
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSProgram st = ReadRecord<Output_TSProgram>(u8Buffer, i);
        for (U32 k = 0; k < u32Cap; k++) {
            Output_TSProgram& r = pst->pOutputProgram[k];
            if (r.u8ValidFlag != TSP_RECORD_VALID || r.u8SourceSlotID != st.u8SourceSlotID ||
                r.u16SourceChannelID != st.u16SourceChannelID || r.u16OldServiceID != st.u16OldServiceID)
                continue;
            r.u8CIFlag = u8CIFlag;
            if (r.u8CAMIndex != st.u8CAMIndex) {
                r.u8CAMIndex = st.u8CAMIndex;
                if (StreamValid(pst, r.u16TSIndex))
                    pst->pOutputTS[r.u16TSIndex].u8SDTChangeFlag = 1;
                log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d service id %d set camindex %d\r\n\n",
                           (long)syscall(SYS_gettid), pcFunc, __LINE__, r.u16ServiceID, r.u8CAMIndex);
            }
        }
    }
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_ConstructOutputTSBySetSCR(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    return SetDescramble(__func__, u8Buffer, u16Number, u16Length, 1);
}

U32 TSP_ConstructOutputTSByDelSCRInfo(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    return SetDescramble(__func__, u8Buffer, u16Number, u16Length, 0xFF);
}

U32 TSP_ConstructOutputTSBySetSCRPIDInfo(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Output_TSPID), "PID");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        u32Ret = CheckFields(__func__, i, {{"u8SourceSlotID", st.u8SourceSlotID, TSP_MAX_SLOT_ID},
                                           {"u16OldPID", st.u16OldPID, TSP_MAX_PID},
                                           {"u16CISrcPID", st.u16CISrcPID, TSP_MAX_PID},
                                           {"u16SrcCIStreamID", st.u16SrcCIStreamID, TSP_MAX_STREAM_ID}});
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* pst = TSP_GetTSParam();
    const U32 u32Cap = pst->pOutputPID ? pst->u32OutputPIDNumber : 0;
    for (U32 i = 0; i < u16Number; i++) {
        const Output_TSPID st = ReadRecord<Output_TSPID>(u8Buffer, i);
        for (U32 k = 0; k < u32Cap; k++) {
            Output_TSPID& r = pst->pOutputPID[k];
            if (r.u8ValidFlag == TSP_RECORD_VALID && r.u8SourceSlotID == st.u8SourceSlotID &&
                r.u16SourceChannelID == st.u16SourceChannelID && r.u16OldPID == st.u16OldPID) {
                r.u16CISrcPID = st.u16CISrcPID;
                r.u16SrcCIStreamID = st.u16SrcCIStreamID;
            }
        }
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Monitored PID (275): one record, no count byte
// ---------------------------------------------------------------------------

U32 TSP_ConstructOutputTSByMonitorPID(U8* u8Buffer, U16 u16Length)
{
    if (u8Buffer == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error u8Buffer[%p]\r\n\n", LOG_POS,
                   (void*)u8Buffer);
        return TSP_ERR_INPUT;
    }
    if (u16Length < sizeof(MonitorPID_t)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d IP Monitor PID data length u16Length[%u] smaller than structure[%u]\r\n\n", LOG_POS,
                   u16Length, (U32)sizeof(MonitorPID_t));
        return TSP_ERR_MSG_LENGTH;
    }
    const MonitorPID_t st = ReadRecord<MonitorPID_t>(u8Buffer, 0);
    CARD_STATE_LOCK();
    Output_TSInfo* pst = TSP_GetTSParam();
    const bool bLong = st.u16DescriptorInfoLength > TSP_INFO_MAX_LEN;
    if (st.u16DescriptorInfoLength > TSP_DESC_INFO_MAX_LEN)
        return RefuseRecord(__func__, 0, "u16DescriptorInfoLength", st.u16DescriptorInfoLength);
    U32 u32Check = CheckFields(__func__, 0, {{"u16NewPID", st.u16NewPID, TSP_MAX_PID},
                                             {"u8SrcSlot", st.u8SrcSlot, TSP_MAX_SLOT_ID},
                                             {"u16DestChannel", st.u16DestChannel, TSP_MAX_CHANNEL_ID}});
    if (u32Check != ZR_SUCCESS)
        return u32Check;
    // Longer information lives in a descriptor record, which must be one of ours.
    if (bLong && (st.u16DescriptorIndex == TSP_INVALID_INDEX || pst->pDescriptor == nullptr || st.u16DescriptorIndex >= pst->u32OutputDescriptorNumber ||
         pst->pDescriptor[st.u16DescriptorIndex].u8ValidFlag != TSP_RECORD_VALID))
        return RefuseRecord(__func__, 0, "u16DescriptorIndex", st.u16DescriptorIndex);

    if (st.u8PIDType == PID_TYPE_PMTPID) {
        U16 u16Prog = TSP_INVALID_INDEX;
        U32 u32Ret = TSP_GetOutputProgramIndexByPID(st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16PIDID,
                                                    &u16Prog);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Prog == TSP_INVALID_INDEX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d u8SrcSlot[%d] u16SrcChannel[%d] u16DestChannel[%d] u16PIDID[%d] get u16OutputIndex "
                       "invalid\n",
                       LOG_POS, st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16PIDID);
            return ZR_ERR_TSP_TS_ERROR;
        }
        if (bLong && !DescriptorOfProgram(pst, st.u16DescriptorIndex, u16Prog))
            return RefuseRecord(__func__, 0, "u16DescriptorIndex", st.u16DescriptorIndex);
        if (CarriesPIDRecord(pst, st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16NewPID))
            return RefuseRecord(__func__, 0, "u16NewPID of another record", st.u16NewPID);
        Output_TSProgram& prog = pst->pOutputProgram[u16Prog];
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d PMT monitor modify out PMTPid, old PMTPId[%u], new PMTPID[%u], new proginfolen[%u], old "
                   "proginfolen[%u]\n",
                   LOG_POS, prog.u16PMTPID, st.u16NewPID, st.u16DescriptorInfoLength, prog.u16ProgramInfoLength);
        prog.u16PMTPID = st.u16NewPID;
        prog.u16OldPMTPID = st.u16NewPID;
        prog.u16ProgramInfoLength = st.u16DescriptorInfoLength;
        if (bLong) {
            prog.u16ProgramInfoDescriptorIndex = st.u16DescriptorIndex;
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d ProgramInfo Length bigger than 188 Bytes!\n",
                       LOG_POS);
        } else {
            memcpy(prog.aru8ProgramInfo, st.aru8DescriptorInfo, st.u16DescriptorInfoLength);
        }
        prog.u8PMTChangeFlag = 1;
        return ZR_SUCCESS;
    }

    U16 u16PID = TSP_INVALID_INDEX;
    U32 u32Ret = TSP_GetOutputPIDIndexByPID(st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16PIDID, &u16PID);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    if (u16PID == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d u8SrcSlot[%d] u16SrcChannel[%d] u16DestChannel[%d] u16PIDID[%d] get u16OutputIndex "
                   "invalid\n",
                   LOG_POS, st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16PIDID);
        return ZR_ERR_TSP_TS_ERROR;
    }
    Output_TSPID& pid = pst->pOutputPID[u16PID];
    if (pid.u8PIDType != st.u8PIDType) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d find u16OutputIndex[%d] error! PID Type not same! old u8PIDType[%d] vs new "
                   "u8PIDType[%d]\n",
                   LOG_POS, u16PID, pid.u8PIDType, st.u8PIDType);
        return ZR_ERR_TSP_TS_ERROR;
    }
    const bool bHasProgram = ProgramValid(pst, pid.u32ProgramIndex);
    if (st.u8PIDType == PID_TYPE_PCRPID && !bHasProgram) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PCR PID[%u] program[%u] invalid\n", LOG_POS,
                   u16PID, pid.u32ProgramIndex);
        return ZR_ERR_TSP_TS_ERROR;
    }
    if (st.u8PIDType == PID_TYPE_ESPID && bLong &&
        !DescriptorOfProgram(pst, st.u16DescriptorIndex, pid.u32ProgramIndex))
        return RefuseRecord(__func__, 0, "u16DescriptorIndex", st.u16DescriptorIndex);
    if (CarriesPMT(pst, st.u8SrcSlot, st.u16SrcChannel, st.u16DestChannel, st.u16NewPID))
        return RefuseRecord(__func__, 0, "u16NewPID of a PMT", st.u16NewPID);
    switch (st.u8PIDType) {
    case PID_TYPE_PCRPID: {
        Output_TSProgram& prog = pst->pOutputProgram[pid.u32ProgramIndex];
        prog.u16PCRPID = st.u16NewPID;
        prog.u16OldPCRPID = st.u16NewPID;
        break;
    }
    case PID_TYPE_PS_ECMPID:
    case PID_TYPE_ES_ECMPID:
        pid.u16CASID = st.u16CASID;
        break;
    case PID_TYPE_ESPID:
        pid.u16ESInfoLength = st.u16DescriptorInfoLength;
        if (bLong) {
            pid.u16ESInfoDescriptorIndex = st.u16DescriptorIndex;
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d ESInfo Length bigger than 188 Bytes!\n",
                       LOG_POS);
        } else {
            memcpy(pid.aru8ESInfo, st.aru8DescriptorInfo, st.u16DescriptorInfoLength);
        }
        break;
    default:
        break;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
               "%ld:%s:%d PMT monitor modify out pid:old[0x%x] to new[0x%x], StreamType:old[%d] to new[%d]\n", LOG_POS,
               pid.u16OldPID, st.u16NewPID, pid.u8StreamType, st.u8StreamType);
    pid.u16OldPID = st.u16NewPID;
    pid.u16PID = st.u16NewPID;
    pid.u16CISrcPID = st.u16NewPID;
    if (pid.u8StreamType != st.u8StreamType)
        pid.u8StreamType = st.u8StreamType;
    if (bHasProgram)
        pst->pOutputProgram[pid.u32ProgramIndex].u8PMTChangeFlag = 1;
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Pass-through records (no command reaches them)
// ---------------------------------------------------------------------------

U32 TSP_ConstructOutputTSByAddBypassTs(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Passthrough_TSStream), "BypassTS");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        Passthrough_TSStream st = ReadRecord<Passthrough_TSStream>(u8Buffer, i);
        U16 u16Index = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputBypassTSIndex(st.u8SourceSlotID, st.u16SourceChannelID, &u16Index);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        Output_TSInfo* pst = TSP_GetTSParam();
        if (u16Index == TSP_INVALID_INDEX) {
            u32Ret = TSP_GetUnusedOutputBypassTsIndex(&u16Index, pst);
            if (u32Ret != ZR_SUCCESS)
                return u32Ret;
        }
        TSP_InitOneOutputBypassTS(&st);
        pst->pOutputBypassTS[u16Index] = st;
        TSP_DebugPrintOneBypassTS(u16Index);
    }
    return ZR_SUCCESS;
}

U32 TSP_ConstructOutputTSByDelBypassTS(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 u32Ret = CheckRecords(__func__, u8Buffer, u16Number, u16Length, sizeof(Passthrough_TSStream), "BypassTS");
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        const Passthrough_TSStream st = ReadRecord<Passthrough_TSStream>(u8Buffer, i);
        U16 u16Index = TSP_INVALID_INDEX;
        u32Ret = TSP_GetOutputBypassTSIndex(st.u8SourceSlotID, st.u16SourceChannelID, &u16Index);
        if (u32Ret != ZR_SUCCESS)
            return u32Ret;
        if (u16Index == TSP_INVALID_INDEX)
            continue;
        TSP_DebugPrintOneBypassTS(u16Index);
        memset(&TSP_GetTSParam()->pOutputBypassTS[u16Index], 0, sizeof(Passthrough_TSStream));
    }
    return ZR_SUCCESS;
}
