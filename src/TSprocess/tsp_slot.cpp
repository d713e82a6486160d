// Input-slot bookkeeping of the live database: clearing what one input slot
// feeds, the channel clear towards the feeding input cards (2068), the factory
// clear (266) and moving every reference from one slot to another.
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/SIsend.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include "TSprocess/tsp_identity.h"
#include "TSprocess/tsp_plan.h"
#include <cstring>
#include <utility>

zrErrCode PARAMS_TSPParametersSave(void);

namespace {

#define SLOT_LOG(level, fmt, ...) log_printf(level, LOG_MODULE_TSPROCESS, fmt, LOG_POS, ##__VA_ARGS__)

bool Valid(const Output_TSInfo* p, U32 i) { return i < p->u32OutputTSNumber && p->pOutputTS[i].u8ValidFlag == 1; }

// Apply, publish and save; the result is the save's (a failed save logs
// itself, once while the store stays unwritable).
U32 ApplyAndSave()
{
    {
        CARD_STATE_LOCK();
        TSP_MuxProcess();
        TSP_UpdateResourceInfo();
    }
    IPComm_SendEITInfo();
    return PARAMS_TSPParametersSave();
}

// Deletes everything of one stream fed from the slot; the lists are taken
// before the deletions, records already gone read as not valid.
U32 ClearSlotInStream(Output_TSInfo* p, U16 u16TS, U8 u8Slot)
{
    IndexInfoList_t l;
    for (int kind = 0; kind < 2; kind++) {
        const bool bEMM = kind == 1;
        U32 ret = bEMM ? TSP_GetOutTSEMMPIDIndexList(u16TS, p, &l) : TSP_GetOutTSOtherPIDIndexList(u16TS, p, &l);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, bEMM ? "%ld:%s:%d TSP_GetOutTSEMMPIDIndexList return error\r\n\n"
                                           : "%ld:%s:%d TSP_GetOutTSOtherPIDIndexList return error\r\n\n");
            return ret;
        }
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            const Output_TSPID r = p->pOutputPID[l.aru16IndexList[i]];
            if (r.u8ValidFlag != 1 || r.u8SourceSlotID != u8Slot)
                continue;
            ret = TSP_DelPIDInfoByInput(u8Slot, r.u16SourceChannelID, r.u16ChannelID, r.u16PIDID, r.u8PIDFilterFlag);
            if (ret != 0) {
                SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelPIDInfoByInput return error\r\n\n");
                return ret;
            }
        }
    }
    U32 ret = TSP_GetOutTSProgIndexList(u16TS, p, &l);
    if (ret != 0) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
        return ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const Output_TSProgram r = p->pOutputProgram[l.aru16IndexList[i]];
        if (r.u8ValidFlag != 1 || r.u8SourceSlotID != u8Slot)
            continue;
        ret = TSP_DelProgramInfoByInput(u8Slot, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_DelProgramInfoByInput return error\r\n\n");
            return ret;
        }
    }
    return 0;
}

void Mark(U32& u32Mask, U8 u8Slot)
{
    if (u8Slot <= TSP_MAX_SLOT_ID)
        u32Mask |= 1u << u8Slot;
}

U32 CollectSourceSlots(const Output_TSInfo* p, U16 u16TS, U32* pu32Mask)
{
    const Output_TSStream& ts = p->pOutputTS[u16TS];
    if (ts.u8BypassFlag == 1) {
        Mark(*pu32Mask, ts.u8SrcSlotID);
        return 0;
    }
    IndexInfoList_t progs, l;
    U32 ret = TSP_GetOutTSProgIndexList(u16TS, p, &progs);
    if (ret != 0) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
        return ret;
    }
    for (U32 i = 0; i < progs.u16IndexListNum; i++) {
        Mark(*pu32Mask, p->pOutputProgram[progs.aru16IndexList[i]].u8SourceSlotID);
        ret = TSP_GetOutProgESPIDIndexList(progs.aru16IndexList[i], p, &l);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutProgESPIDIndexList return error\r\n\n");
            return ret;
        }
        for (U32 j = 0; j < l.u16IndexListNum; j++)
            Mark(*pu32Mask, p->pOutputPID[l.aru16IndexList[j]].u8SourceSlotID);
    }
    for (int kind = 0; kind < 2; kind++) {
        ret = kind ? TSP_GetOutTSOtherPIDIndexList(u16TS, p, &l) : TSP_GetOutTSEMMPIDIndexList(u16TS, p, &l);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, kind ? "%ld:%s:%d TSP_GetOutTSOtherPIDIndexList return error\r\n\n"
                                           : "%ld:%s:%d TSP_GetOutTSEMMPIDIndexList return error\r\n\n");
            return ret;
        }
        for (U32 j = 0; j < l.u16IndexListNum; j++)
            Mark(*pu32Mask, p->pOutputPID[l.aru16IndexList[j]].u8SourceSlotID);
    }
    return 0;
}

// Posts one message to an input slot; the peer sender delivers it holding no lock.
void PostToSlot(U8 u8Slot, U32 u32Cmd, std::vector<U8> data)
{
    SSD_PostPeerMessage(TSP_SlotMessageKey(u32Cmd, u8Slot), std::move(data), [u8Slot, u32Cmd](std::vector<U8>& d) {
        if (u32Cmd == IPCOMM_CLEAR_OUTPUT)
            IPComm_SendClearCmd2Slot(u8Slot);
        else
            IPComm_SendData2Slot(u8Slot, u32Cmd, d.data(), (U32)d.size());
    });
}

} // namespace

U32 ClearOneSlotInfoFromInput(U8 u8Slot)
{
    if (u8Slot > TSP_MAX_SLOT_ID) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d Input u8Slot %u error\r\n\n", u8Slot);
        return TSP_ERR_INPUT;
    }
    SLOT_LOG(LOG_LEVEL_INFO, "%ld:%s:%d u8Slot %u clear infomation\n\n", u8Slot);
    U32 u32Fail = 0;
    {
        CARD_STATE_LOCK();
        Output_TSInfo* p = TSP_GetTSParam();
        for (U32 s = 0; s < p->u32OutputTSNumber && s < TSP_INVALID_INDEX; s++) {
            if (!Valid(p, s))
                continue;
            u32Fail = ClearSlotInStream(p, (U16)s, u8Slot);
            if (u32Fail != 0)
                break;
        }
    }
    // What was deleted before a failure reaches the outputs and the file too.
    U32 ret = ApplyAndSave();
    // What the slot's round knew went with its records.
    TSP_PlanResetRound(u8Slot);
    return u32Fail != 0 ? u32Fail : ret;
}

zrErrCode TSP_SendDelDestChannelNumToInputBoard(U32 u32DestChannel)
{
    U32 u32Mask = 0;
    {
        CARD_STATE_LOCK();
        Output_TSInfo* p = TSP_GetTSParam();
        U16 u16TS = TSP_INVALID_INDEX;
        U32 ret = TSP_GetOutputTSIndexByTS((U16)(u32DestChannel & 0xFFFF), &u16TS);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n\n");
            return (zrErrCode)ret;
        }
        if (u16TS == TSP_INVALID_INDEX)
            return ZR_SUCCESS;
        g_DelDestChannelNum = 0;
        ret = CollectSourceSlots(p, u16TS, &u32Mask);
        if (ret != 0)
            return (zrErrCode)ret;
    }
    const U8 u8Self = Status_GetSlotID();
    U8 data[4];
    for (int i = 0; i < 4; i++)
        data[i] = (U8)(u32DestChannel >> (8 * i));
    for (U8 slot = 0; slot <= TSP_MAX_SLOT_ID; slot++) {
        if (!(u32Mask & (1u << slot)) || slot == u8Self)
            continue;
        // Without a plug map the slot may well be plugged: it is asked.
        if (slot < TSP_MAX_SLOT_ID && Status_IsSubBoardPlugMapKnown() &&
            !Status_CheckSubBoardPlugExist((SLOT_ID)slot)) {
            SLOT_LOG(LOG_LEVEL_INFO, "%ld:%s:%d slot[%u] is not exist, So clear this slot all configure\n\n", slot);
            ClearOneSlotInfoFromInput(slot);
            continue;
        }
        // Counted before it can be sent, so that no answer arrives uncounted.
        g_DelDestChannelNum++;
        PostToSlot(slot, IPCOMM_SEND_DEL_DESTCHANNEL, std::vector<U8>(data, data + 4));
    }
    return ZR_SUCCESS;
}

U32 GetInputSlot(U8* pu8Slot)
{
    if (pu8Slot == nullptr) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d pu8Slot is null\r\n\n");
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    const Output_TSInfo* p = TSP_GetTSParam();
    IndexInfoList_t l;
    for (U32 s = 0; s < p->u32OutputTSNumber && s < TSP_INVALID_INDEX; s++) {
        if (!Valid(p, s))
            continue;
        U32 ret = TSP_GetOutTSProgIndexList((U16)s, p, &l);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
            return ret;
        }
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            const Output_TSProgram& r = p->pOutputProgram[l.aru16IndexList[i]];
            if (r.u8ValidFlag == 1 && r.u8SourceSlotID <= TSP_MAX_SLOT_ID)
                pu8Slot[r.u8SourceSlotID] = 1;
        }
        ret = TSP_GetOutTSOtherPIDIndexList((U16)s, p, &l);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSOtherPIDIndexList return error\r\n\n");
            return ret;
        }
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            const Output_TSPID& r = p->pOutputPID[l.aru16IndexList[i]];
            if (r.u8ValidFlag == 1 && r.u8SourceSlotID <= TSP_MAX_SLOT_ID)
                pu8Slot[r.u8SourceSlotID] = 1;
        }
    }
    return 0;
}

U32 TSP_SendClearCmd(void)
{
    U8 slots[TSP_MAX_SLOT_ID + 1] = {};
    U32 ret = GetInputSlot(slots);
    if (ret != 0) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d GetInputSlot return error\r\n\n");
        return ret;
    }
    TSP_SendClearCmdToSlots(slots);
    return 0;
}

void TSP_SendClearCmdToSlots(const U8* pu8Slots)
{
    const U8* slots = pu8Slots;
    for (U8 slot = 0; slot <= TSP_MAX_SLOT_ID; slot++) {
        if (!slots[slot])
            continue;
        SLOT_LOG(LOG_LEVEL_INFO, "%ld:%s:%d clear slot %u TS \n\n", slot);
        PostToSlot(slot, IPCOMM_CLEAR_OUTPUT, {});
    }
}

U32 TSP_ChangePIDSrcSlotID(IndexInfoList_t* pstIndexInfoList, U8 u8OldSlot, U8 u8NewSlot, U8* pu8Changed)
{
    if (pstIndexInfoList == nullptr) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d pstIndexInfoList is NULL\r\n\n");
        return TSP_ERR_INPUT;
    }
    if (u8OldSlot > TSP_MAX_SLOT_ID || u8NewSlot > TSP_MAX_SLOT_ID) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d u8OldSlot[%u] u8NewSlot[%u] is error\r\n\n", u8OldSlot, u8NewSlot);
        return TSP_ERR_INPUT;
    }
    if (u8OldSlot == u8NewSlot)
        return 0;
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    for (U32 i = 0; i < pstIndexInfoList->u16IndexListNum && i < TSP_INDEX_LIST_MAX; i++) {
        const U16 idx = pstIndexInfoList->aru16IndexList[i];
        if (idx >= p->u32OutputPIDNumber || p->pOutputPID[idx].u8ValidFlag != 1) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d PID index %u invalid\r\n\n", idx);
            return TSP_ERR_NOT_ENOUGH;
        }
        if (p->pOutputPID[idx].u8SourceSlotID == u8OldSlot) {
            p->pOutputPID[idx].u8SourceSlotID = u8NewSlot;
            if (pu8Changed != nullptr)
                *pu8Changed = 1;
        }
    }
    return 0;
}

namespace {

// The new slot's records that the old slot's replace once moved: the same
// identity but for the slot. The moved card's description is the newest; a
// program it replaces goes whole, with its PID records and information.
U32 DropReplacedBy(Output_TSInfo* p, U8 u8OldSlot, U8 u8NewSlot, U8* pu8Changed)
{
    for (U32 i = 0; i < p->u32OutputProgramNumber && i < TSP_INVALID_INDEX; i++) {
        Output_TSProgram key = p->pOutputProgram[i];
        if (key.u8ValidFlag != 1 || key.u8SourceSlotID != u8OldSlot)
            continue;
        key.u8SourceSlotID = u8NewSlot;
        const U16 held = TSP_FindHeldProgram(p, key);
        if (held == TSP_INVALID_INDEX)
            continue;
        const U16 ts = p->pOutputProgram[held].u16TSIndex;
        SLOT_LOG(LOG_LEVEL_WARNING, "%ld:%s:%d program %u of slot %u (input channel %u, channel %u) replaced by slot %u's\r\n\n",
                 key.u16ProgramID, u8NewSlot, key.u16SourceChannelID, key.u16ChannelID, u8OldSlot);
        const U32 ret = TSP_DelOutputProg(held, p);
        if (ret != 0)
            return ret;
        if (Valid(p, ts)) {
            p->pOutputTS[ts].u8PATChangeFlag = 1;
            p->pOutputTS[ts].u8SDTChangeFlag = 1;
        }
        *pu8Changed = 1;
    }
    // A PCR goes with its program; the other records by their own identity.
    for (U32 i = 0; i < p->u32OutputPIDNumber && i < TSP_INVALID_INDEX; i++) {
        Output_TSPID key = p->pOutputPID[i];
        if (key.u8ValidFlag != 1 || key.u8SourceSlotID != u8OldSlot || key.u8PIDType == PID_TYPE_PCRPID)
            continue;
        key.u8SourceSlotID = u8NewSlot;
        const U16 held = TSP_FindHeldPID(p, key);
        if (held == TSP_INVALID_INDEX)
            continue;
        const Output_TSPID gone = p->pOutputPID[held];
        SLOT_LOG(LOG_LEVEL_WARNING, "%ld:%s:%d PID record %u of slot %u (input channel %u, channel %u) replaced by slot %u's\r\n\n",
                 gone.u16PIDID, u8NewSlot, gone.u16SourceChannelID, gone.u16ChannelID, u8OldSlot);
        const U32 ret = TSP_DelOutputPID(held, p);
        if (ret != 0)
            return ret;
        const U32 g = gone.u32ProgramIndex & 0xFFFF;
        if (gone.u8PIDType != PID_TYPE_EMMPID && gone.u8PIDType != PID_TYPE_OTHERPID && g < p->u32OutputProgramNumber &&
            p->pOutputProgram[g].u8ValidFlag == 1)
            p->pOutputProgram[g].u8PMTChangeFlag = 1;
        if (gone.u8PIDType == PID_TYPE_EMMPID && Valid(p, gone.u32TSIndex))
            p->pOutputTS[gone.u32TSIndex].u8CATChangeFlag = 1;
        *pu8Changed = 1;
    }
    for (U32 i = 0; p->pOutputBypassTS != nullptr && i < p->u32OutputBypassTSNumber; i++) {
        const Passthrough_TSStream& r = p->pOutputBypassTS[i];
        if (r.u8ValidFlag != 1 || r.u8SourceSlotID != u8OldSlot)
            continue;
        for (U32 j = 0; j < p->u32OutputBypassTSNumber; j++) {
            Passthrough_TSStream& h = p->pOutputBypassTS[j];
            if (h.u8ValidFlag == 1 && h.u8SourceSlotID == u8NewSlot && h.u16SourceChannelID == r.u16SourceChannelID) {
                memset(&h, 0, sizeof(h));
                *pu8Changed = 1;
            }
        }
    }
    return 0;
}

// Re-points every reference from the old slot to the new one.
U32 Repoint(Output_TSInfo* p, U8 u8OldSlot, U8 u8NewSlot, U8* pu8Changed)
{
    auto move = [&](U8& u8Field) {
        if (u8Field == u8OldSlot) {
            u8Field = u8NewSlot;
            *pu8Changed = 1;
        }
    };
    IndexInfoList_t progs, l, ecm;
    auto pids = [&](U32 ret, const char* pcWalker) -> U32 {
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d %s return error\r\n\n", pcWalker);
            return ret;
        }
        ret = TSP_ChangePIDSrcSlotID(&l, u8OldSlot, u8NewSlot, pu8Changed);
        if (ret != 0)
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_ChangePIDSrcSlotID return error\r\n\n");
        return ret;
    };
    for (U32 s = 0; s < p->u32OutputTSNumber && s < TSP_INVALID_INDEX; s++) {
        if (!Valid(p, s))
            continue;
        move(p->pOutputTS[s].u8SrcSlotID);
        U32 ret = pids(TSP_GetOutTSEMMPIDIndexList((U16)s, p, &l), "TSP_GetOutTSEMMPIDIndexList");
        if (ret == 0)
            ret = pids(TSP_GetOutTSOtherPIDIndexList((U16)s, p, &l), "TSP_GetOutTSOtherPIDIndexList");
        if (ret != 0)
            return ret;
        ret = TSP_GetOutTSProgIndexList((U16)s, p, &progs);
        if (ret != 0) {
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n\n");
            return ret;
        }
        for (U32 i = 0; i < progs.u16IndexListNum; i++) {
            const U16 g = progs.aru16IndexList[i];
            Output_TSProgram& pr = p->pOutputProgram[g];
            if (pr.u8ValidFlag != 1)
                continue;
            move(pr.u8SourceSlotID);
            if (pr.u16PCRIndex < p->u32OutputPIDNumber && p->pOutputPID[pr.u16PCRIndex].u8ValidFlag == 1)
                move(p->pOutputPID[pr.u16PCRIndex].u8SourceSlotID);
            ret = pids(TSP_GetOutProgPSECMPIDIndexList(g, p, &l), "TSP_GetOutProgPSECMPIDIndexList");
            if (ret == 0)
                ret = pids(TSP_GetOutProgAllESPIDIndexList(g, p, &l), "TSP_GetOutProgESPIDIndexList");
            if (ret != 0)
                return ret;
            ecm = l;
            for (U32 j = 0; j < ecm.u16IndexListNum; j++) {
                ret = pids(TSP_GetOutESECMPIDIndexList(ecm.aru16IndexList[j], p, &l), "TSP_GetOutESECMPIDIndexList");
                if (ret != 0)
                    return ret;
            }
        }
    }
    for (U32 i = 0; i < p->u32OutputDescriptorNumber; i++)
        if (p->pDescriptor[i].u8ValidFlag == 1)
            move(p->pDescriptor[i].u8SourceSlotID);
    for (U32 i = 0; i < p->u32OutputTableNumber; i++)
        if (p->pOutputTable[i].u8ValidFlag == 1 && p->pOutputTable[i].u8IsChangedByUser != 1)
            move(p->pOutputTable[i].u8SlotID);
    for (U32 i = 0; p->pOutputBypassTS != nullptr && i < p->u32OutputBypassTSNumber; i++)
        if (p->pOutputBypassTS[i].u8ValidFlag == 1)
            move(p->pOutputBypassTS[i].u8SourceSlotID);
    return 0;
}

} // namespace

U32 TSP_ChangeSrcSlotID(U8 u8OldSlot, U8 u8NewSlot)
{
    if (u8OldSlot > TSP_MAX_SLOT_ID || u8NewSlot > TSP_MAX_SLOT_ID) {
        SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d u8OldSlot[%u] u8NewSlot[%u] is error\r\n\n", u8OldSlot, u8NewSlot);
        return TSP_ERR_INPUT;
    }
    if (u8OldSlot == u8NewSlot)
        return 0;
    SLOT_LOG(LOG_LEVEL_INFO, "%ld:%s:%d Input subboard change slot u8OldSlot[%u] u8NewSlot[%u]\n\n", u8OldSlot,
             u8NewSlot);
    {
        CARD_STATE_LOCK();
        Output_TSInfo* p = TSP_GetTSParam();
        // The move is planned whole: a refusal or a failure on the way puts
        // the database back as it was.
        Output_TSInfo before{};
        U32 ret = TSP_CloneTSInfo(p, &before);
        if (ret != 0)
            return ret;
        U8 u8Changed = 0;
        ret = DropReplacedBy(p, u8OldSlot, u8NewSlot, &u8Changed);
        if (ret == 0)
            ret = Repoint(p, u8OldSlot, u8NewSlot, &u8Changed);
        if (ret == 0 && u8Changed) {
            // One record per identity, whatever the slots held before.
            TSP_MergeRepeatedRecords(p);
            ret = TSP_PlanApplySlotMove(u8OldSlot, u8NewSlot);
        }
        if (ret != 0) {
            std::swap(*p, before);
            SLOT_LOG(LOG_LEVEL_ERROR, "%ld:%s:%d slot %u to %u not moved (0x%x): nothing changed\r\n\n", u8OldSlot,
                     u8NewSlot, ret);
        }
        TSP_ReleaseTSInfo(&before);
        if (ret != 0 || !u8Changed)
            return ret;
    }
    // Both chips route the moved records.
    TSP_SendSubFPGAMuxLUTInfo();
    TSP_SendSubFPGABypassLUTInfo();
    return PARAMS_TSPParametersSave();
}
