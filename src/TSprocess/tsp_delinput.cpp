// Deletions that an input card asks for by its own identity (commands 262,
// 263, 274 and 289): the identity is resolved in the live database and the
// records are removed with the unlinkers, setting the tables' change flags.
#include "Common/thread.h"
#include "Log/log.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include <cstdio>
#include <cstring>

namespace {

U32 ProgCap(const Output_TSInfo* p) { return p->pOutputProgram ? p->u32OutputProgramNumber : 0; }
U32 DescCap(const Output_TSInfo* p) { return p->pDescriptor ? p->u32OutputDescriptorNumber : 0; }
U32 TableCap(const Output_TSInfo* p) { return p->pOutputTable ? p->u32OutputTableNumber : 0; }

#define DEL_LOG(level, fmt, ...) log_printf(level, LOG_MODULE_TSPROCESS, fmt, LOG_POS, ##__VA_ARGS__)

template <typename T>
T ReadRecord(const U8* pu8Buffer, U32 u32Index)
{
    T st;
    memcpy(&st, pu8Buffer + (size_t)u32Index * sizeof(T), sizeof(T));
    return st;
}

U32 CheckMessage(const U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    if (u8Buffer == nullptr || u16Number == 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input error u8Buffer[%p],u16Number[%u]\r\n\n", (const void*)u8Buffer,
                u16Number);
        return TSP_ERR_INPUT;
    }
    if ((U32)u16Length < (U32)u16Number * 8u) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d IP Delete ts data length u16Length[%p] smaller than structure[%u]\r\n\n",
                (void*)(uintptr_t)u16Length, (U32)u16Number * 8u);
        return TSP_ERR_MSG_LENGTH;
    }
    return 0;
}

// The identity of every record is checked before the first deletion: a slot
// or output channel out of range names nothing the card has, and the message
// is refused whole.
template <typename Rec>
U32 CheckIdentities(const U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 ret = CheckMessage(u8Buffer, u16Number, u16Length);
    for (U32 i = 0; ret == 0 && i < u16Number; i++) {
        const Rec r = ReadRecord<Rec>(u8Buffer, i);
        if (r.u8SourceSlotID > TSP_MAX_SLOT_ID || r.u16ChannelID > TSP_MAX_CHANNEL_ID) {
            DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d record[%u] u8SourceSlotID[%u] u16ChannelID[%u] out of range\r\n\n", i,
                    r.u8SourceSlotID, r.u16ChannelID);
            ret = TSP_ERR_INPUT;
        }
    }
    return ret;
}

// Removes from a stream's counted PID list every member fed by one input
// channel. The list is taken before the pass; a member's predecessor is the
// nearest earlier member this pass keeps.
U32 DelMatchingStreamPIDs(Output_TSInfo* p, U16 u16TS, bool bEMM, U8 u8Slot, U16 u16SrcCh, U16 u16Ch)
{
    IndexInfoList_t l;
    U32 ret = bEMM ? TSP_GetOutTSEMMPIDIndexList(u16TS, p, &l) : TSP_GetOutTSOtherPIDIndexList(u16TS, p, &l);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, bEMM ? "%ld:%s:%d TSP_GetOutTSEMMPIDIndexList return error\r\n\n"
                                      : "%ld:%s:%d TSP_GetOutTSOtherPIDIndexList return error\r\n\n");
        return ret;
    }
    Output_TSStream& ts = p->pOutputTS[u16TS];
    U16& head = bEMM ? ts.u16EMMPIDIndex : ts.u16OtherPIDIndex;
    U16& count = bEMM ? ts.u16EMMPIDNumber : ts.u16OtherPIDNum;
    U16 prevKept = TSP_INVALID_INDEX;
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const U16 idx = l.aru16IndexList[i];
        Output_TSPID& r = p->pOutputPID[idx];
        if (r.u8SourceSlotID != u8Slot || r.u16SourceChannelID != u16SrcCh || r.u16ChannelID != u16Ch) {
            prevKept = idx;
            continue;
        }
        if (prevKept == TSP_INVALID_INDEX)
            head = (U16)(r.u32NextPIDIndex & 0xFFFFu);
        else
            p->pOutputPID[prevKept].u32NextPIDIndex = r.u32NextPIDIndex;
        memset(&r, 0, sizeof(r));
        r.u32PIDIndex = TSP_INVALID_INDEX;
        if (count == 0) {
            DEL_LOG(LOG_LEVEL_ERROR,
                    bEMM ? "%ld:%s:%d TS index[%u] EMMPIDNum smaller than 0 \r\n\n"
                         : "%ld:%s:%d TS index[%u] OtherPIDNum smaller than 0 \r\n\n",
                    u16TS);
            return TSP_ERR_NOT_ENOUGH;
        }
        count--;
        if (bEMM)
            ts.u8CATChangeFlag = 1;
    }
    return 0;
}

// NIT sections of one input slot for this channel; the operator's own NIT
// (changed by the user) is never removed by an input card.
U32 DelMatchingNIT(Output_TSInfo* p, U16 u16TS, U8 u8Slot, U16 u16Ch)
{
    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSNITTableIndexList(u16TS, p, &l);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSNITTableIndexList return error\r\n\n");
        return ret;
    }
    Output_TSStream& ts = p->pOutputTS[u16TS];
    U16 prevKept = TSP_INVALID_INDEX;
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const U16 idx = l.aru16IndexList[i];
        if (idx >= TableCap(p))
            continue;
        TSTable& t = p->pOutputTable[idx];
        if (t.u8SlotID != u8Slot || t.u16ChannelID != u16Ch || t.u8IsChangedByUser == 1) {
            prevKept = idx;
            continue;
        }
        if (prevKept == TSP_INVALID_INDEX)
            ts.u16NITIndex = t.u16NextIndex;
        else
            p->pOutputTable[prevKept].u16NextIndex = t.u16NextIndex;
        memset(&t, 0, sizeof(t));
        t.u16Index = TSP_INVALID_INDEX;
    }
    return 0;
}

// A program's own descriptor record (its program information beyond 188 bytes).
U32 ReleaseProgramDescriptor(Output_TSInfo* p, U16 u16Prog)
{
    Output_TSProgram& pr = p->pOutputProgram[u16Prog];
    const U16 d = pr.u16ProgramInfoDescriptorIndex;
    if (d == TSP_INVALID_INDEX)
        return 0;
    if (d >= DescCap(p) || p->pDescriptor[d].u8ValidFlag != 1 || p->pDescriptor[d].u16ProgramIndex != u16Prog) {
        // The index names no record of this program: drop the link only.
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d program[%u] descriptor index[%u] invalid\n", u16Prog, d);
        pr.u16ProgramInfoDescriptorIndex = TSP_INVALID_INDEX;
        pr.u16ProgramInfoLength = 0;
        return 0;
    }
    U32 ret = TSP_DelOutputDescriptor(d, p);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelOutputDescriptor Error, return enErrCode[%08x]\n", ret);
        return ret;
    }
    DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d TSP_DelOutputDescriptor Desc[%u] deleted!\n", d);
    return 0;
}

// Unlinks a program from its stream's list given its predecessor, clears it
// and counts it out; PAT and SDT are regenerated.
U32 UnlinkProgram(Output_TSInfo* p, U16 u16TS, U16 u16Prog, U16 u16Prev)
{
    Output_TSStream& ts = p->pOutputTS[u16TS];
    Output_TSProgram& pr = p->pOutputProgram[u16Prog];
    if (u16Prev == TSP_INVALID_INDEX)
        ts.u16ProgramIndex = pr.u16NextProgramIndex;
    else
        p->pOutputProgram[u16Prev].u16NextProgramIndex = pr.u16NextProgramIndex;
    TSP_ReleaseProgramOrphans(p, u16Prog);
    memset(&pr, 0, sizeof(pr));
    pr.u16ProgramIndex = TSP_INVALID_INDEX;
    if (ts.u16ProgramNum == 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TS index[%u] ProgramNum smaller than 0 \r\n\n", u16TS);
        return TSP_ERR_NOT_ENOUGH;
    }
    ts.u16ProgramNum--;
    ts.u8PATChangeFlag = 1;
    ts.u8SDTChangeFlag = 1;
    return 0;
}

// The stream goes when it holds nothing more.
void ClearIfEmpty(Output_TSInfo* p, U16 u16TS)
{
    const Output_TSStream& ts = p->pOutputTS[u16TS];
    if (ts.u8ValidFlag == 1 && ts.u16ProgramNum == 0 && ts.u16OtherPIDNum == 0 && ts.u16EMMPIDNumber == 0) {
        TSP_ClearStreamRecord(p, u16TS);
        printf("delete ts index[%u]\r\n", u16TS);
    }
}

// Stream and program of an identity. Not found: 0xC0017 and *pbNotFound.
U32 FindProgram(U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16ProgramID, U16* pu16TS, U16* pu16Prog, bool* pbNotFound)
{
    U32 ret = TSP_GetOutputTSIndexByTS(u16Ch, pu16TS);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n");
        return ret;
    }
    if (*pu16TS == TSP_INVALID_INDEX) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d the program being deleted don't find ts index\r\n\n");
        *pbNotFound = true;
        return TSP_ERR_NOT_ENOUGH;
    }
    ret = TSP_GetOutputProgramIndexByPID(u8Slot, u16SrcCh, u16Ch, u16ProgramID, pu16Prog);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputProgramIndexByPID return error\r\n\n");
        return ret;
    }
    if (*pu16Prog == TSP_INVALID_INDEX) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d the program being deleted don't exist in outputboard\r\n\n");
        *pbNotFound = true;
        return TSP_ERR_NOT_ENOUGH;
    }
    return 0;
}

// FindProgram, then the program's place in its stream's program list (-1 where
// the list does not hold it); l is that list.
U32 FindListedProgram(Output_TSInfo* p, U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16ProgramID, U16* pu16TS,
                      U16* pu16Prog, IndexInfoList_t* pList, int* pPos, bool* pbNotFound)
{
    U32 ret = FindProgram(u8Slot, u16SrcCh, u16Ch, u16ProgramID, pu16TS, pu16Prog, pbNotFound);
    if (ret != 0)
        return ret;
    ret = TSP_GetOutTSProgIndexList(*pu16TS, p, pList);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
        return ret;
    }
    *pPos = -1;
    for (U32 i = 0; i < pList->u16IndexListNum; i++)
        if (pList->aru16IndexList[i] == *pu16Prog)
            *pPos = (int)i;
    return 0;
}

U32 DelProgram(U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16ProgramID, bool* pbNotFound)
{
    if (u8Slot > TSP_MAX_SLOT_ID) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input error\r\n\n");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    U16 u16TS = TSP_INVALID_INDEX, u16Prog = TSP_INVALID_INDEX;
    IndexInfoList_t l;
    int pos = -1;
    U32 ret = FindListedProgram(p, u8Slot, u16SrcCh, u16Ch, u16ProgramID, &u16TS, &u16Prog, &l, &pos, pbNotFound);
    if (ret != 0)
        return ret;
    if (pos < 0)
        return 0;
    ret = TSP_DelAllPIDsInOneProgram(u16Prog);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelAllPIDsInOneProgram return error\r\n\n");
        return ret;
    }
    ret = ReleaseProgramDescriptor(p, u16Prog);
    if (ret != 0)
        return ret;
    ret = UnlinkProgram(p, u16TS, u16Prog, pos == 0 ? (U16)TSP_INVALID_INDEX : l.aru16IndexList[pos - 1]);
    if (ret != 0)
        return ret;
    const Output_TSStream& ts = p->pOutputTS[u16TS];
    const TResource_TS* res = Resource_GetHandle(u8Slot);
    if (res != nullptr && res->u8MuxPIDEnable == 0) {
        if (ts.u16ProgramNum == 0) {
            // What the stream still lists goes with it.
            TSP_ClearStreamRecord(p, u16TS);
            printf("delete ts index[%u] by delete all programs\r\n", u16TS);
        }
    } else {
        ClearIfEmpty(p, u16TS);
    }
    return 0;
}

U32 DelPID(U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16PIDID, U8 u8Filter, bool* pbNotFound)
{
    if (u8Slot > TSP_MAX_SLOT_ID) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input error\r\n\n");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    U16 u16TS = TSP_INVALID_INDEX, u16PID = TSP_INVALID_INDEX;
    U32 ret = TSP_GetOutputTSIndexByTS(u16Ch, &u16TS);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n");
        return ret;
    }
    if (u16TS == TSP_INVALID_INDEX) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d the pid being deleted don't find ts index\r\n\n");
        *pbNotFound = true;
        return TSP_ERR_NOT_ENOUGH;
    }
    ret = TSP_GetOutputPIDIndexByPID(u8Slot, u16SrcCh, u16Ch, u16PIDID, &u16PID);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputPIDIndexByPID return error\r\n\n");
        return ret;
    }
    if (u16PID == TSP_INVALID_INDEX) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d the pid being deleted don't exist in outputboard\r\n\n");
        *pbNotFound = true;
        return TSP_ERR_NOT_ENOUGH;
    }
    Output_TSPID& r = p->pOutputPID[u16PID];
    const U32 u32Prog = r.u32ProgramIndex;
    // A kept PID with a new filter flag changes its program's PMT.
    auto storeFlag = [&] {
        r.u8PIDFilterFlag = u8Filter;
        if (u32Prog < ProgCap(p) && p->pOutputProgram[u32Prog].u8ValidFlag == 1)
            p->pOutputProgram[u32Prog].u8PMTChangeFlag = 1;
        return 0u;
    };
    const char* pcUnlinker = nullptr;
    switch (r.u8PIDType) {
    case PID_TYPE_OTHERPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete other pid from input board\r\n\n");
        ret = TSP_DelOneOutputOtherPID(u16TS, u16PID, p);
        pcUnlinker = "TSP_DelOneOutputOtherPID";
        break;
    case PID_TYPE_EMMPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete EMM pid from input board\r\n\n");
        ret = TSP_DelOneOutputEMMPID(u16TS, u16PID, p);
        pcUnlinker = "TSP_DelOneOutputEMMPID";
        if (ret == 0)
            p->pOutputTS[u16TS].u8CATChangeFlag = 1;
        break;
    case PID_TYPE_PCRPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete PCR pid from input board\r\n\n");
        ret = storeFlag();
        break;
    case PID_TYPE_ESPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete ES pid from input board\r\n\n");
        ret = u8Filter == 2 ? TSP_DelOneOutputESPID(u16PID, p) : storeFlag();
        pcUnlinker = "TSP_DelOneOutputESPID";
        break;
    case PID_TYPE_PS_ECMPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete PS_ECM pid from input board\r\n\n");
        ret = u8Filter == 2 ? TSP_DelOneOutputPSECMPID(u16PID, p) : storeFlag();
        pcUnlinker = "TSP_DelOneOutputPSECMPID";
        break;
    case PID_TYPE_ES_ECMPID:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d delete ES_ECM pid from input board\r\n\n");
        ret = u8Filter == 2 ? TSP_DelOneOutputESECMPID(u16PID, p) : storeFlag();
        pcUnlinker = "TSP_DelOneOutputESECMPID";
        break;
    default:
        DEL_LOG(LOG_LEVEL_INFO, "%ld:%s:%d don't support delete the pid %d type %d so far\r\n\n", r.u16PID,
                r.u8PIDType);
        return 0;
    }
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d %s return error\r\n\n", pcUnlinker ? pcUnlinker : "");
        return ret;
    }
    ClearIfEmpty(p, u16TS);
    return 0;
}

U32 DelDescriptor(U8 u8Slot, U16 u16SrcCh, U16 u16Ch, U16 u16ProgramID, bool* pbNotFound)
{
    if (u8Slot > TSP_MAX_SLOT_ID) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input error\r\n\n");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    U16 u16TS = TSP_INVALID_INDEX, u16Prog = TSP_INVALID_INDEX;
    IndexInfoList_t l;
    int pos = -1;
    U32 ret = FindListedProgram(p, u8Slot, u16SrcCh, u16Ch, u16ProgramID, &u16TS, &u16Prog, &l, &pos, pbNotFound);
    if (ret != 0)
        return ret;
    if (pos < 0 || p->pOutputProgram[u16Prog].u16ProgramInfoDescriptorIndex == TSP_INVALID_INDEX)
        return 0;
    ret = ReleaseProgramDescriptor(p, u16Prog);
    if (ret == 0)
        p->pOutputProgram[u16Prog].u8PMTChangeFlag = 1; // its program information changed
    return ret;
}

// One handler loop of 263, 274 and 289: every record is processed; a record
// that names nothing only logs, any other failure is reported at the end.
template <typename Rec, typename F>
U32 ForEachRecord(U8* u8Buffer, U16 u16Number, U16 u16Length, const char* pcDel, F fn)
{
    U32 ret = CheckIdentities<Rec>(u8Buffer, u16Number, u16Length);
    if (ret != 0)
        return ret;
    CARD_STATE_LOCK();
    U32 u32First = 0;
    for (U32 i = 0; i < u16Number; i++) {
        const Rec r = ReadRecord<Rec>(u8Buffer, i);
        bool bNotFound = false;
        ret = fn(r, &bNotFound);
        if (ret != 0) {
            DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d %s return error\r\n\n", pcDel);
            if (!bNotFound && u32First == 0)
                u32First = ret;
        }
    }
    return u32First;
}

} // namespace

U32 TSP_DelTSInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID)
{
    if (u8SourceSlotID > TSP_MAX_SLOT_ID) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input error\r\n\n");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    U16 u16TS = TSP_INVALID_INDEX;
    U32 ret = TSP_GetOutputTSIndexByTS(u16ChannelID, &u16TS);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n");
        return ret;
    }
    if (u16TS == TSP_INVALID_INDEX) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d del ts index[%u] is invalid!\r\n\n", u16TS);
        return TSP_ERR_INPUT;
    }
    ret = DelMatchingStreamPIDs(p, u16TS, false, u8SourceSlotID, u16SourceChannelID, u16ChannelID);
    if (ret == 0)
        ret = DelMatchingStreamPIDs(p, u16TS, true, u8SourceSlotID, u16SourceChannelID, u16ChannelID);
    if (ret == 0)
        ret = DelMatchingNIT(p, u16TS, u8SourceSlotID, u16ChannelID);
    if (ret != 0)
        return ret;
    IndexInfoList_t l;
    ret = TSP_GetOutTSProgIndexList(u16TS, p, &l);
    if (ret != 0) {
        DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
        return ret;
    }
    U16 prevKept = TSP_INVALID_INDEX;
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const U16 idx = l.aru16IndexList[i];
        const Output_TSProgram& pr = p->pOutputProgram[idx];
        if (pr.u8SourceSlotID != u8SourceSlotID || pr.u16SourceChannelID != u16SourceChannelID ||
            pr.u16ChannelID != u16ChannelID) {
            prevKept = idx;
            continue;
        }
        ret = ReleaseProgramDescriptor(p, idx);
        if (ret != 0)
            return ret;
        ret = TSP_DelAllPIDsInOneProgram(idx);
        if (ret != 0) {
            DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelAllPIDsInOneProgram return error\r\n\n");
            return ret;
        }
        ret = UnlinkProgram(p, u16TS, idx, prevKept);
        if (ret != 0)
            return ret;
    }
    ClearIfEmpty(p, u16TS);
    return 0;
}

U32 TSP_DelProgramInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID)
{
    bool bNotFound = false;
    return DelProgram(u8SourceSlotID, u16SourceChannelID, u16ChannelID, u16ProgramID, &bNotFound);
}

U32 TSP_DelPIDInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16PIDID,
                          U8 u8PIDFilterFlag)
{
    bool bNotFound = false;
    return DelPID(u8SourceSlotID, u16SourceChannelID, u16ChannelID, u16PIDID, u8PIDFilterFlag, &bNotFound);
}

U32 TSP_DelDescriptorInfoByInput(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID)
{
    bool bNotFound = false;
    return DelDescriptor(u8SourceSlotID, u16SourceChannelID, u16ChannelID, u16ProgramID, &bNotFound);
}

U32 TSP_ConstructOutputTSByDelTS(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    U32 ret = CheckIdentities<Delete_TSStream>(u8Buffer, u16Number, u16Length);
    if (ret != 0)
        return ret;
    CARD_STATE_LOCK();
    for (U32 i = 0; i < u16Number; i++) {
        const Delete_TSStream r = ReadRecord<Delete_TSStream>(u8Buffer, i);
        printf("Del TS sourceSlot[%d],destSlot[%d],sourceChannel[%d],DestChannel[%d]\r\n", r.u8SourceSlotID, r.u8Slot,
               r.u16SourceChannelID, r.u16ChannelID);
        ret = TSP_DelTSInfoByInput(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID);
        if (ret != 0) {
            DEL_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelTSInfoByInput return error\r\n\n");
            return ret;
        }
    }
    return 0;
}

U32 TSP_ConstructOutputTSByDelProgram(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    return ForEachRecord<Delete_TSProgram>(
        u8Buffer, u16Number, u16Length, "TSP_DelProgramInfoByInput", [](const Delete_TSProgram& r, bool* pbNF) {
            printf("Del Pro sourceSlot[%d],sourceChannel[%d],DestChannel[%d],u16ProgramID[%d]\r\n", r.u8SourceSlotID,
                   r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID);
            return DelProgram(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID, pbNF);
        });
}

U32 TSP_ConstructOutputTSByDelPID(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    return ForEachRecord<Delete_TSPID>(
        u8Buffer, u16Number, u16Length, "TSP_DelPIDInfoByInput", [](const Delete_TSPID& r, bool* pbNF) {
            DEL_LOG(LOG_LEVEL_INFO,
                    "%ld:%s:%d Del PID sourceSlot[%d],sourceChannel[%d],DestChannel[%d],u16PIDID[%d],u8PIDFilterFlag[%d]"
                    "\r\n\n",
                    r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16PIDID, r.u8PIDFilterFlag);
            return DelPID(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16PIDID, r.u8PIDFilterFlag, pbNF);
        });
}

U32 TSP_ConstructOutputTSByDelDescriptors(U8* u8Buffer, U16 u16Number, U16 u16Length)
{
    return ForEachRecord<Delete_TSProgramDescriptor>(
        u8Buffer, u16Number, u16Length, "TSP_DelDescriptorInfoByInput",
        [](const Delete_TSProgramDescriptor& r, bool* pbNF) {
            DEL_LOG(LOG_LEVEL_INFO,
                    "%ld:%s:%d Del Descriptor sourceSlot[%d],sourceChannel[%d],DestChannel[%d],u16ProgramID[%d]\n",
                    r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID);
            return DelDescriptor(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID, pbNF);
        });
}
