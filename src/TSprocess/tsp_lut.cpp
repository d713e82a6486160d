#include "TSprocess/tsp_lut.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Log/log.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/tdttot.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_nit.h"
#include "TSprocess/tsp_plan.h"
#include <cstdio>
#include <cstring>
#include <algorithm>
#include <new>
#include <unordered_set>
#include <vector>

U32 aru32slotBuffer0[TSP_LUT_MUX_NUM];
U32 aru32slotBuffer1[TSP_LUT_MUX_NUM];
U32 aru32slotBuffer2[TSP_LUT_MUX_NUM];
U32 aru32slotBypassBuffer0[TSP_LUT_BYPASS_NUM];
U32 aru32slotBypassBuffer1[TSP_LUT_BYPASS_NUM];
U32 aru32SubslotBuffer0[TSP_LUT_SUB_MUX_NUM];
U32 aru32SubslotBuffer1[TSP_LUT_SUB_MUX_NUM];
U32 aru32SubslotBuffer2[TSP_LUT_SUB_MUX_NUM];
U32 aru32SubslotBypassBuffer0[TSP_LUT_SUB_BYPASS_NUM];
U32 aru32SubslotBypassBuffer1[TSP_LUT_SUB_BYPASS_NUM];

namespace {

// The back board's slot is written as 63 in the table words.
U32 SlotWord(U32 slot) { return (slot == 16 ? 63u : slot) & 0x3F; }

U32 MuxSource(U32 slot, U32 stream, U32 pid) { return (pid & 0x1FFF) | ((stream & 0x3FF) << 13) | (SlotWord(slot) << 23); }

// Pairs (destination, source) of the entries a table holds now: what is on air.
std::unordered_set<U64> OnAirPairs(const U32* d, const U32* s, const U32* c, U32 capacity)
{
    std::unordered_set<U64> on;
    for (U32 n = 0; n < capacity; n++)
        if (c[n] != 0)
            on.insert((U64)d[n] << 32 | s[n]);
    return on;
}

}  // namespace

U32 TSP_CollectMuxRoutes(bool bSlave, std::vector<TSP_MuxRoute>& out, std::vector<U32>* pUnrouted)
{
    out.clear();
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr)
        return TSP_ERR_INPUT;
    try {
        out.reserve(db->u32OutputTSNumber + db->u32OutputPIDNumber);
    } catch (const std::bad_alloc&) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d no memory for %u LUT entries\r\n\n", LOG_POS,
                   db->u32OutputTSNumber + db->u32OutputPIDNumber);
        return TSP_ERR_NO_MEMORY;
    }
    U32 ret;

    // EIT of every multiplexed output channel comes from the EIT board.
    const U8 eitSlot = Resource_GetEITBoardSlot();
    if (eitSlot >= 17) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d u8EITSlot[%d] is not exist.\r\n\n", LOG_POS,
                   eitSlot);
    } else {
        for (U32 c = 0; c < db->u32OutputTSNumber && c <= 0xFFFF; c++) {
            U16 ts = TSP_INVALID_INDEX;
            ret = TSP_GetOutputTSIndexByTS((U16)c, &ts);
            if (ret != 0)
                return ret;
            if (ts == TSP_INVALID_INDEX || ts >= db->u32OutputTSNumber) {
                log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d channel[%d] is invalid.\r\n\n", LOG_POS, c);
                continue;
            }
            if (db->pOutputTS[ts].u8BypassFlag == 1)
                continue;
            printf("i[%d] u16DestChannel[%d] u8EITSlot[%d] u16SrcChannel[%d] \n", (int)out.size(), c, eitSlot, c);
            out.push_back({((c & 0x3FF) << 13) | 18, MuxSource(eitSlot, c, 18), TSP_MUX_ROUTE_EIT});
        }
    }

    for (U32 j = 0; j < db->u32OutputPIDNumber; j++) {
        Output_TSPID& p = db->pOutputPID[j];
        if (p.u8ValidFlag != 1)
            continue;
        if (eitSlot < 17 && p.u16PID == 18)
            continue;
        // The table word keeps the channel's low bits: a record of a channel
        // the card lacks would be routed onto one it has.
        if (p.u16ChannelID > TSP_MAX_CHANNEL_ID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PID record[%u] channel[%u] not routed\r\n\n",
                       LOG_POS, j, p.u16ChannelID);
            continue;
        }
        if (bSlave && p.u16ChannelID < 4)
            continue;
        U16 ts = TSP_INVALID_INDEX;
        ret = TSP_GetOutputTSIndexByTS(p.u16ChannelID, &ts);
        if (ret != 0)
            return ret;
        if (ts == TSP_INVALID_INDEX || ts >= db->u32OutputTSNumber) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d u16TSIndex is invalid Srcslot[%u],SrcChannel[%u],OldPID[%u],ChannelID[%u]\r\n\n",
                       LOG_POS, p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPID, p.u16ChannelID);
            memset(&p, 0, sizeof(p));
            continue;
        }
        const Output_TSStream& st = db->pOutputTS[ts];
        if (p.u16PID == 16 && TSP_IsNITTableChangedByUser(ts, db))
            continue;
        if (p.u16PID == 17 && st.u8IsSDTChangedByUser == 1)
            continue;
        if (p.u16PID == 20 && TSP_IsTOTTableChangedByUser(ts, db)) {
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d jump this one,TSP_IsTOTTableChangedByUser\r\n\n",
                       LOG_POS);
            continue;
        }
        if (st.u8BypassFlag == 1)
            continue;
        U16 prog = (U16)(p.u32ProgramIndex & 0xFFFF);
        bool ci = prog < db->u32OutputProgramNumber && db->pOutputProgram[prog].u8CIFlag == 1;
        if (ci && (p.u8PIDType == PID_TYPE_PS_ECMPID || p.u8PIDType == PID_TYPE_ES_ECMPID))
            continue;
        U32 d = (p.u16PID & 0x1FFF) | (((U32)p.u16ChannelID & 0x3FF) << 13);
        U32 s;
        if (ci && (p.u16CISrcPID > TSP_MAX_PID || p.u16SrcCIStreamID > TSP_MAX_STREAM_ID)) {
            // Cut to the word's bits it would route another input's packets.
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PID record[%u] CI source out of range, not routed\r\n\n",
                       LOG_POS, j);
            if (pUnrouted != nullptr)
                pUnrouted->push_back(j);
            continue;
        }
        if (ci) {
            // The descrambled copy comes back from the CI slot.
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d SrcChannel[0x%x],OldPID[%u],CIStream[0x%x],CIPID[%u],PIDType[%u]\r\n\n", LOG_POS,
                       p.u16SourceChannelID, p.u16OldPID, p.u16SrcCIStreamID, p.u16CISrcPID, p.u8PIDType);
            s = MuxSource(p.u8SourceSlotID, p.u16SrcCIStreamID, p.u16CISrcPID);
        } else {
            s = MuxSource(p.u8SourceSlotID, p.u16SrcStreamID, p.u16OldPID);
        }
        out.push_back({d, s, j});
    }
    return 0;
}

U32 TSP_FitMuxRoutes(void) { return TSP_FitMuxRoutesOf(true, nullptr); }

U32 TSP_FitMuxRoutesOf(bool bLeaveOut, std::vector<TSP_PlanMiss>* pMisses)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr)
        return TSP_ERR_INPUT;
    std::vector<TSP_MuxRoute> routes;
    std::vector<U32> unrouted;
    U32 ret = TSP_CollectMuxRoutes(false, routes, &unrouted);
    if (ret != 0)
        return ret;
    // A descrambled program whose CI source the routing word cannot carry
    // would go on air with streams that no chip routes: one not on air is
    // left out whole, and a change that would stop one on air is refused.
    if (!unrouted.empty()) {
        std::vector<U32> gone;
        for (U32 j : unrouted) {
            const Output_TSPID& r = db->pOutputPID[j];
            const U32 pi = r.u32ProgramIndex & 0xFFFF;
            if (pi >= db->u32OutputProgramNumber || db->pOutputProgram[pi].u8ValidFlag != 1)
                continue;
            const Output_TSProgram& P = db->pOutputProgram[pi];
            const bool onAir = TSP_PlanProgramOnAir(&P);
            if (onAir && bLeaveOut)
                continue;  // not routed before this change either
            char text[160];
            snprintf(text, sizeof(text), "service %u (slot %u, input channel %u, program %u) with PID 0x%x",
                     P.u16ServiceID, P.u8SourceSlotID, P.u16SourceChannelID, P.u16ProgramID, r.u16OldPID);
            if (pMisses != nullptr)
                pMisses->push_back({P.u16ChannelID, "routing of a descrambled program",
                                    "CI source PID and stream within the routing word", text, P.u8SourceSlotID,
                                    TSP_PLAN_NO_PID});
            if (!onAir && std::find(gone.begin(), gone.end(), pi) == gone.end())
                gone.push_back(pi);
        }
        if (bLeaveOut && !gone.empty()) {
            for (U32 pi : gone) {
                const Output_TSProgram P = db->pOutputProgram[pi];
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                           "%ld:%s:%d CI source out of range: program SrcSlot[%u],SrcChannel[%u],Channel[%u],"
                           "ProgramID[%u] left out and deleted\r\n\n",
                           LOG_POS, P.u8SourceSlotID, P.u16SourceChannelID, P.u16ChannelID, P.u16ProgramID);
                TSP_DelProgramInfoByInput(P.u8SourceSlotID, P.u16SourceChannelID, P.u16ChannelID, P.u16ProgramID);
            }
            if ((ret = TSP_CollectMuxRoutes(false, routes)) != 0)
                return ret;
        }
    }
    auto pairOf = [](const TSP_MuxRoute& r) { return (U64)r.u32Dest << 32 | r.u32Src; };
    // A route goes into the slave's table too when its channel is 4 or more;
    // the EIT routes go into both.
    auto onSlave = [db](const TSP_MuxRoute& r) {
        return r.u32Record == TSP_MUX_ROUTE_EIT || db->pOutputPID[r.u32Record].u16ChannelID >= 4;
    };
    std::unordered_set<U64> allM, allS;
    for (const TSP_MuxRoute& r : routes) {
        allM.insert(pairOf(r));
        if (onSlave(r))
            allS.insert(pairOf(r));
    }
    if (allM.size() <= TSP_LUT_MUX_NUM && allS.size() <= TSP_LUT_SUB_MUX_NUM)
        return 0;
    const std::unordered_set<U64> onM = OnAirPairs(aru32slotBuffer0, aru32slotBuffer1, aru32slotBuffer2, TSP_LUT_MUX_NUM);
    const std::unordered_set<U64> onS =
        OnAirPairs(aru32SubslotBuffer0, aru32SubslotBuffer1, aru32SubslotBuffer2, TSP_LUT_SUB_MUX_NUM);
    auto onAir = [&](const TSP_MuxRoute& r) { return (onSlave(r) ? onS : onM).count(pairOf(r)) != 0; };
    auto programOf = [db](U32 rec) -> U32 {
        const Output_TSPID& p = db->pOutputPID[rec];
        const bool prog = p.u8PIDType == PID_TYPE_PCRPID || p.u8PIDType == PID_TYPE_ESPID ||
                          p.u8PIDType == PID_TYPE_PS_ECMPID || p.u8PIDType == PID_TYPE_ES_ECMPID;
        U32 pi = p.u32ProgramIndex & 0xFFFF;
        return prog && pi < db->u32OutputProgramNumber && db->pOutputProgram[pi].u8ValidFlag == 1 ? pi
                                                                                                   : TSP_MUX_ROUTE_EIT;
    };
    // What is on air, and the EIT board's routes, are taken first.
    std::unordered_set<U64> takenM, takenS;
    std::vector<U8> progOnAir(db->u32OutputProgramNumber, 0);
    std::vector<std::vector<const TSP_MuxRoute*>> progRoutes(db->u32OutputProgramNumber);
    for (const TSP_MuxRoute& r : routes) {
        const bool eit = r.u32Record == TSP_MUX_ROUTE_EIT;
        if (eit || onAir(r)) {
            takenM.insert(pairOf(r));
            if (onSlave(r))
                takenS.insert(pairOf(r));
        }
        if (eit)
            continue;
        U32 pi = programOf(r.u32Record);
        if (pi != TSP_MUX_ROUTE_EIT) {
            progRoutes[pi].push_back(&r);
            if (onAir(r))
                progOnAir[pi] = 1;
        }
    }
    // The rest in record order: a program not on air as a whole, any other
    // record alone. Whatever does not fit is deleted below.
    // The table a unit did not fit, or nullptr when it fits (and is taken).
    auto fits = [&](const std::vector<const TSP_MuxRoute*>& unit) -> const char* {
        std::unordered_set<U64> newM, newS;
        for (const TSP_MuxRoute* r : unit) {
            if (takenM.count(pairOf(*r)) == 0)
                newM.insert(pairOf(*r));
            if (onSlave(*r) && takenS.count(pairOf(*r)) == 0)
                newS.insert(pairOf(*r));
        }
        if (takenM.size() + newM.size() > TSP_LUT_MUX_NUM)
            return "master routing table";
        if (takenS.size() + newS.size() > TSP_LUT_SUB_MUX_NUM)
            return "slave routing table";
        takenM.insert(newM.begin(), newM.end());
        takenS.insert(newS.begin(), newS.end());
        return nullptr;
    };
    std::vector<U8> progDone(db->u32OutputProgramNumber, 0);
    std::vector<U32> dropProgs, dropRecs;
    auto miss = [&](const char* table, U16 channel, const char* what, U8 slot) {
        if (pMisses == nullptr)
            return;
        const bool slave = strcmp(table, "slave routing table") == 0;
        char limit[64];
        snprintf(limit, sizeof(limit), "at most %u entries", slave ? TSP_LUT_SUB_MUX_NUM : TSP_LUT_MUX_NUM);
        pMisses->push_back({channel, table, limit, what, slot, TSP_PLAN_NO_PID});
    };
    char what[160];
    for (const TSP_MuxRoute& r : routes) {
        if (r.u32Record == TSP_MUX_ROUTE_EIT || onAir(r))
            continue;
        U32 pi = programOf(r.u32Record);
        const char* full = nullptr;
        if (pi != TSP_MUX_ROUTE_EIT && progOnAir[pi] == 0) {
            if (progDone[pi] == 0 && (full = fits(progRoutes[pi])) != nullptr) {
                dropProgs.push_back(pi);
                const Output_TSProgram& P = db->pOutputProgram[pi];
                snprintf(what, sizeof(what), "service %u (slot %u, input channel %u, program %u) with its %u routes",
                         P.u16ServiceID, P.u8SourceSlotID, P.u16SourceChannelID, P.u16ProgramID,
                         (U32)progRoutes[pi].size());
                miss(full, P.u16ChannelID, what, P.u8SourceSlotID);
            }
            progDone[pi] = 1;
        } else if ((full = fits({&r})) != nullptr) {
            dropRecs.push_back(r.u32Record);
            const Output_TSPID& p = db->pOutputPID[r.u32Record];
            snprintf(what, sizeof(what), "PID record[%u] type %u (slot %u, input channel %u, PID 0x%x)", r.u32Record,
                     p.u8PIDType, p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPID);
            miss(full, p.u16ChannelID, what, p.u8SourceSlotID);
        }
    }
    if (!bLeaveOut)
        return 0;
    for (U32 j : dropRecs) {
        Output_TSPID& p = db->pOutputPID[j];
        if (p.u8ValidFlag != 1 || TSP_PlanKeepOffAir(false, j))
            continue;  // went with an ES already, or found stored: kept off air
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d routing table full: PID record[%u] SrcSlot[%u],SrcChannel[%u],OldPID[%u] to "
                   "Channel[%u],PID[%u] type[%u] left out and deleted\r\n\n",
                   LOG_POS, j, p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPID, p.u16ChannelID, p.u16PID,
                   p.u8PIDType);
        U16 ts = TSP_INVALID_INDEX;
        U32 r = 0;
        switch (p.u8PIDType) {
        case PID_TYPE_ESPID:
            r = TSP_DelOneOutputESPID((U16)j, db);
            break;
        case PID_TYPE_PS_ECMPID:
            r = TSP_DelOneOutputPSECMPID((U16)j, db);
            break;
        case PID_TYPE_ES_ECMPID:
            r = TSP_DelOneOutputESECMPID((U16)j, db);
            break;
        case PID_TYPE_EMMPID:
        case PID_TYPE_OTHERPID: {
            const bool emm = p.u8PIDType == PID_TYPE_EMMPID;
            r = TSP_GetOutputTSIndexByTS(p.u16ChannelID, &ts);
            if (r == 0 && ts != TSP_INVALID_INDEX) {
                r = emm ? TSP_DelOneOutputEMMPID(ts, (U16)j, db) : TSP_DelOneOutputOtherPID(ts, (U16)j, db);
                if (r == 0 && emm)
                    db->pOutputTS[ts].u8CATChangeFlag = 1;
            }
            break;
        }
        default:
            // A PCR record is in no list: the table builder leaves its route out.
            break;
        }
        if (r != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PID record[%u] not deleted:0x%x\r\n\n", LOG_POS,
                       j, r);
    }
    for (U32 pi : dropProgs) {
        if (TSP_PlanKeepOffAir(true, pi))
            continue;
        const Output_TSProgram P = db->pOutputProgram[pi];
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d routing table full: program SrcSlot[%u],SrcChannel[%u],Channel[%u],ProgramID[%u],"
                   "ServiceID[%u] left out and deleted\r\n\n",
                   LOG_POS, P.u8SourceSlotID, P.u16SourceChannelID, P.u16ChannelID, P.u16ProgramID, P.u16ServiceID);
        U32 r = TSP_DelProgramInfoByInput(P.u8SourceSlotID, P.u16SourceChannelID, P.u16ChannelID, P.u16ProgramID);
        if (r != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d program[%u] not deleted:0x%x\r\n\n", LOG_POS,
                       pi, r);
    }
    return 0;
}

namespace {

// Builds a mux table into the given arrays (capacity entries); on0..on2 hold
// the table on air (they may be the same arrays): when the routes outnumber
// the entries, those on air keep theirs and the new ones that do not fit are
// left out.
U32 BuildMuxTable(bool bSlave, U32* dst0, U32* dst1, U32* dst2, U32 capacity, const U32* on0, const U32* on1,
                  const U32* on2)
{
    std::vector<TSP_MuxRoute> routes;
    U32 ret = TSP_CollectMuxRoutes(bSlave, routes);
    if (ret != 0)
        return ret;
    std::unordered_set<U64> onAir;
    std::vector<U32> D, S, K, DS;
    std::vector<U16> I;
    try {
        onAir = OnAirPairs(on0, on1, on2, capacity);
        // One spare entry each, so that an empty database still has arrays.
        const size_t n = routes.size() + 1;
        D.assign(n, 0);
        S.assign(n, 0);
        K.assign(n, 0);
        DS.assign(n, 0);
        I.assign(n, 0);
    } catch (const std::bad_alloc&) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d no memory for %u LUT entries\r\n\n", LOG_POS,
                   (U32)routes.size());
        return TSP_ERR_NO_MEMORY;
    }
    memset(dst0, 0, capacity * sizeof(U32));
    memset(dst1, 0, capacity * sizeof(U32));
    memset(dst2, 0, capacity * sizeof(U32));
    U32 count = (U32)routes.size();
    if (count > 0xFFFF)
        count = 0xFFFF;
    for (U32 k = 0; k < count; k++) {
        D[k] = routes[k].u32Dest;
        S[k] = routes[k].u32Src;
        K[k] = S[k];
        I[k] = (U16)k;
    }
    TSP_SortSrcInfo(K.data(), I.data(), (U16)count);
    for (U32 k = 0; k < count; k++)
        DS[k] = D[I[k]];
    TSP_DelSameSrcInfo(DS.data(), K.data(), I.data(), (U16)count);
    U32 unique = 0, kept = 0;
    for (U32 k = 0; k < count; k++) {
        if (I[k] == TSP_INVALID_INDEX)
            continue;
        unique++;
        if (onAir.count((U64)D[I[k]] << 32 | S[I[k]]) != 0)
            kept++;
    }
    // Room for the routes not on air yet, in source order.
    U32 room = unique > capacity ? (kept < capacity ? capacity - kept : 0) : capacity;
    U32 stored = 0;
    for (U32 k = 0; k < count; k++) {
        if (I[k] == TSP_INVALID_INDEX)
            continue;
        const U32 d = D[I[k]], s = S[I[k]];
        if (unique > capacity && onAir.count((U64)d << 32 | s) == 0) {
            if (room == 0) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                           "%ld:%s:%d LUT PID Number[%u] out of range: route SrcSlot[%u],SrcChannel[0x%x],SrcPID[%u] "
                           "DestChannel[%u],NewPID[%u] left out\r\n\n",
                           LOG_POS, capacity, (s >> 23) & 0x3F, (s >> 13) & 0x3FF, s & 0x1FFF, (d >> 13) & 0x3FF,
                           d & 0x1FFF);
                continue;
            }
            room--;
        }
        if (stored >= capacity)
            break;  // only with more routes on air than entries, which a table never held
        dst0[stored] = d;
        dst1[stored] = s;
        stored++;
    }
    ret = TSP_WriteSameSrcNum(dst2, dst1, (U16)stored);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_WriteSameSrcNum return error\r\n\n", LOG_POS);
        return ret;
    }
    return 0;
}

U32 BuildBypassTable(bool bSlave, U32* dst0, U32* dst1, U32 capacity, const U32* on0, const U32* on1)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr)
        return TSP_ERR_INPUT;
    // The streams bypassed now keep their entries when more ask for one
    // than the table holds; the new ones beyond it are left out.
    std::vector<U32> onAir(on0, on0 + capacity);
    for (U32 n = 0; n < capacity; n++)
        if (on1[n] == 0)
            onAir[n] = 0;
    struct Cand {
        U32 dest, key;
        bool on;
    };
    std::vector<Cand> cands;
    U32 kept = 0;
    for (U32 i = 0; i < db->u32OutputTSNumber; i++) {
        const Output_TSStream& st = db->pOutputTS[i];
        if (st.u8ValidFlag != 1 || st.u8BypassFlag != 1 || st.u16ChannelID > TSP_MAX_CHANNEL_ID)
            continue;
        if (bSlave && st.u16ChannelID < 4)
            continue;
        U32 slot = SlotWord(st.u8SrcSlotID);
        Cand c;
        c.dest = (st.u16ChannelID & 0x3FF) | (((U32)st.u16SrcStreamID & 0x3FF) << 10) | (slot << 20);
        c.key = (st.u16SrcStreamID & 0x3FF) | (slot << 10);
        c.on = c.dest != 0 && std::find(onAir.begin(), onAir.end(), c.dest) != onAir.end();
        kept += c.on ? 1 : 0;
        cands.push_back(c);
    }
    memset(dst0, 0, capacity * sizeof(U32));
    memset(dst1, 0, capacity * sizeof(U32));
    U32 dest[TSP_LUT_BYPASS_NUM];
    U32 key[TSP_LUT_BYPASS_NUM];
    U16 idx[TSP_LUT_BYPASS_NUM];
    U32 room = kept < capacity ? capacity - kept : 0, count = 0;
    for (const Cand& c : cands) {
        if (!c.on && cands.size() > capacity) {
            if (room == 0 || count >= capacity) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                           "%ld:%s:%d LUT PID Number[%u] out of range: bypass SrcSlot[%u],SrcChannel[0x%x] to "
                           "DestChannel[%u] left out\r\n\n",
                           LOG_POS, capacity, (c.dest >> 20) & 0x3F, (c.dest >> 10) & 0x3FF, c.dest & 0x3FF);
                continue;
            }
            room--;
        }
        if (count >= capacity)
            break;
        dest[count] = c.dest;
        key[count] = c.key;
        idx[count] = (U16)count;
        count++;
    }
    TSP_SortSrcInfo(key, idx, (U16)count);
    for (U32 k = 0; k < count; k++)
        dst0[k] = dest[idx[k]];
    // A stream left out is logged; the apply goes on for every other table.
    return TSP_WriteSameSrcNum(dst1, key, (U16)count);
}

// Address and data of one table entry; the caller strobes it in.
void LoadLUTWord(U32 addr, U32 high, U32 low)
{
    FPGA_REG_Write(TSP_REG_LUT_ADDR, addr);
    FPGA_REG_Write(TSP_REG_LUT_HIGH, high);
    FPGA_REG_Write(TSP_REG_LUT_LOW, low);
}

// A pulse on the commit register makes the loaded table live.
void CommitLUT()
{
    FPGA_REG_Write(TSP_REG_LUT_COMMIT, 0);
    FPGA_REG_Write(TSP_REG_LUT_COMMIT, 1);
    FPGA_REG_Write(TSP_REG_LUT_COMMIT, 0);
}

void WriteMuxEntries(const U32* d, const U32* s, const U32* c, U32 used)
{
    for (U32 n = 0; n < TSP_LUT_MUX_NUM; n++) {
        // Fields are kept to their widths: slave entries come off the wire.
        U32 dv = n < used ? d[n] & 0x7FFFFF : 0, sv = n < used ? s[n] & 0x1FFFFFFF : 0, cv = n < used ? c[n] : 0;
        U32 high = (sv >> 9) | ((cv & 0x1FF) << 20);
        U32 low = dv | (sv << 23);
        LoadLUTWord(n | 0x800, high, low);
        FPGA_REG_Write(TSP_REG_LUT_STROBE, 0);
        FPGA_REG_Write(TSP_REG_LUT_STROBE, 1);
        FPGA_REG_Write(TSP_REG_LUT_STROBE, 0);
        if (dv != 0)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Mux LUT high[0x%x],low[0x%x]\r\n\n", LOG_POS,
                       high, low);
    }
    CommitLUT();
}

void WriteBypassEntries(const U32* d, const U32* c, U32 used)
{
    for (U32 n = 0; n < TSP_LUT_BYPASS_NUM; n++) {
        U32 dv = n < used ? d[n] & 0x3FFFFFF : 0, cv = n < used ? c[n] & 0x1FF : 0;
        U32 high = cv >> 6;
        U32 low = dv | (cv << 26);
        LoadLUTWord(n, high, low);
        FPGA_REG_Write(TSP_REG_LUT_STROBE, 1);
        FPGA_REG_Write(TSP_REG_LUT_STROBE, 0);
        if (cv != 0)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Bypass LUT high[0x%x],low[0x%x]\r\n\n", LOG_POS,
                       high, low);
    }
    CommitLUT();
}

}  // namespace

void TSP_InitOutputLUTInfo(void)
{
    memset(aru32slotBuffer0, 0, sizeof(aru32slotBuffer0));
    memset(aru32slotBuffer1, 0, sizeof(aru32slotBuffer1));
    memset(aru32slotBuffer2, 0, sizeof(aru32slotBuffer2));
}

U32 TSP_SortSrcInfo(U32* pu32SrcInfo, U16* pu16SrcIndex, U16 u16Length)
{
    if (pu32SrcInfo == nullptr || pu16SrcIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u16Length < 2)
        return 0;
    // Ascending keys, equal keys in their order: what the exchange sort of
    // neighbours gives, in n log n (every plan sorts each table).
    std::vector<std::pair<U32, U16>> v(u16Length);
    for (U32 i = 0; i < u16Length; i++)
        v[i] = {pu32SrcInfo[i], pu16SrcIndex[i]};
    std::stable_sort(v.begin(), v.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
    for (U32 i = 0; i < u16Length; i++) {
        pu32SrcInfo[i] = v[i].first;
        pu16SrcIndex[i] = v[i].second;
    }
    return 0;
}

// Sorts the destinations of one group of equal sources and drops repeated
// (source, destination) pairs in it.
static void CloseGroup(U32* dest, U16* idx, U32 first, U32 len)
{
    if (len < 2)
        return;
    TSP_SortSrcInfo(dest + first, idx + first, (U16)len);
    for (U32 k = first; k + 1 < first + len; k++)
        if (dest[k] == dest[k + 1])
            idx[k] = TSP_INVALID_INDEX;
}

U32 TSP_DelSameSrcInfo(U32* pu32DestInfo, U32* pu32SrcInfo, U16* pu16SrcIndex, U16 u16Length)
{
    if (pu32DestInfo == nullptr || pu32SrcInfo == nullptr || pu16SrcIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u16Length < 2)
        return 0;
    U32 group = 1;
    for (U32 i = 0; i + 1 < u16Length; i++) {
        if (pu32SrcInfo[i] == pu32SrcInfo[i + 1]) {
            group++;
        } else {
            CloseGroup(pu32DestInfo, pu16SrcIndex, i + 1 - group, group);
            group = 1;
        }
        if (pu32DestInfo[i] == pu32DestInfo[i + 1])
            pu16SrcIndex[i] = TSP_INVALID_INDEX;
    }
    // A group that runs to the end of the table gets the same treatment.
    CloseGroup(pu32DestInfo, pu16SrcIndex, u16Length - group, group);
    return 0;
}

U32 TSP_WriteSameSrcNum(U32* pu32SlotBuffer, U32* pu32SrcInfo, U16 u16Length)
{
    if (pu32SlotBuffer == nullptr || pu32SrcInfo == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u16Length > TSP_LUT_MUX_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d [TSP_WriteSameSrcNum]LUT Buff Not enough,u16Length[%u]\r\n\n",
                   LOG_POS, u16Length);
        return TSP_ERR_TABLE_GROW;
    }
    U32 start = 0;
    while (start < u16Length) {
        U32 end = start + 1;
        while (end < u16Length && pu32SrcInfo[end] == pu32SrcInfo[start])
            end++;
        U32 word = ((end - start - 1) & 0xFF) | TSP_LUT_USED;
        for (U32 k = start; k < end; k++)
            pu32SlotBuffer[k] = word;
        start = end;
    }
    return 0;
}

U32 TSP_WriteOutputLUTInfo(void)
{
    // The arrays still hold the table on air: the builder reads them first.
    U32 ret = BuildMuxTable(false, aru32slotBuffer0, aru32slotBuffer1, aru32slotBuffer2, TSP_LUT_MUX_NUM,
                            aru32slotBuffer0, aru32slotBuffer1, aru32slotBuffer2);
    if (ret != 0)
        return ret;
    ret = TSP_SendOutputLUT();
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_SendOutputLUT return error\r\n\n", LOG_POS);
    return ret;
}

U32 TSP_WriteSubOutputLUTInfo(void)
{
    return BuildMuxTable(true, aru32SubslotBuffer0, aru32SubslotBuffer1, aru32SubslotBuffer2, TSP_LUT_SUB_MUX_NUM,
                         aru32SubslotBuffer0, aru32SubslotBuffer1, aru32SubslotBuffer2);
}

U32 TSP_WriteByPassOutputLUTInfo(void)
{
    U32 ret = BuildBypassTable(false, aru32slotBypassBuffer0, aru32slotBypassBuffer1, TSP_LUT_BYPASS_NUM,
                               aru32slotBypassBuffer0, aru32slotBypassBuffer1);
    if (ret != 0)
        return ret;
    return TSP_SendByPassOutputLUT();
}

U32 TSP_WriteByPassSubOutputLUTInfo(void)
{
    return BuildBypassTable(true, aru32SubslotBypassBuffer0, aru32SubslotBypassBuffer1, TSP_LUT_SUB_BYPASS_NUM,
                            aru32SubslotBypassBuffer0, aru32SubslotBypassBuffer1);
}

U32 TSP_PlanLUTs(TSP_LUTSet* pstSet)
{
    if (pstSet == nullptr)
        return TSP_ERR_INPUT;
    U32 ret = BuildMuxTable(false, pstSet->aru32Mux[0], pstSet->aru32Mux[1], pstSet->aru32Mux[2], TSP_LUT_MUX_NUM,
                            aru32slotBuffer0, aru32slotBuffer1, aru32slotBuffer2);
    if (ret == 0)
        ret = BuildBypassTable(false, pstSet->aru32Bypass[0], pstSet->aru32Bypass[1], TSP_LUT_BYPASS_NUM,
                               aru32slotBypassBuffer0, aru32slotBypassBuffer1);
    if (ret == 0)
        ret = BuildMuxTable(true, pstSet->aru32SubMux[0], pstSet->aru32SubMux[1], pstSet->aru32SubMux[2],
                            TSP_LUT_SUB_MUX_NUM, aru32SubslotBuffer0, aru32SubslotBuffer1, aru32SubslotBuffer2);
    if (ret == 0)
        ret = BuildBypassTable(true, pstSet->aru32SubBypass[0], pstSet->aru32SubBypass[1], TSP_LUT_SUB_BYPASS_NUM,
                               aru32SubslotBypassBuffer0, aru32SubslotBypassBuffer1);
    return ret;
}

void TSP_CommitLUTs(const TSP_LUTSet* pstSet)
{
    memcpy(aru32slotBuffer0, pstSet->aru32Mux[0], sizeof(aru32slotBuffer0));
    memcpy(aru32slotBuffer1, pstSet->aru32Mux[1], sizeof(aru32slotBuffer1));
    memcpy(aru32slotBuffer2, pstSet->aru32Mux[2], sizeof(aru32slotBuffer2));
    memcpy(aru32slotBypassBuffer0, pstSet->aru32Bypass[0], sizeof(aru32slotBypassBuffer0));
    memcpy(aru32slotBypassBuffer1, pstSet->aru32Bypass[1], sizeof(aru32slotBypassBuffer1));
    memcpy(aru32SubslotBuffer0, pstSet->aru32SubMux[0], sizeof(aru32SubslotBuffer0));
    memcpy(aru32SubslotBuffer1, pstSet->aru32SubMux[1], sizeof(aru32SubslotBuffer1));
    memcpy(aru32SubslotBuffer2, pstSet->aru32SubMux[2], sizeof(aru32SubslotBuffer2));
    memcpy(aru32SubslotBypassBuffer0, pstSet->aru32SubBypass[0], sizeof(aru32SubslotBypassBuffer0));
    memcpy(aru32SubslotBypassBuffer1, pstSet->aru32SubBypass[1], sizeof(aru32SubslotBypassBuffer1));
    TSP_SendOutputLUT();
    TSP_SendByPassOutputLUT();
}

U32 TSP_SendOutputLUT(void)
{
    WriteMuxEntries(aru32slotBuffer0, aru32slotBuffer1, aru32slotBuffer2, TSP_LUT_MUX_NUM);
    return 0;
}

U32 TSP_SendByPassOutputLUT(void)
{
    WriteBypassEntries(aru32slotBypassBuffer0, aru32slotBypassBuffer1, TSP_LUT_BYPASS_NUM);
    return 0;
}

U32 TSP_SendSubOutputLUT(void)
{
    WriteMuxEntries(aru32SubslotBuffer0, aru32SubslotBuffer1, aru32SubslotBuffer2, TSP_LUT_SUB_MUX_NUM);
    return 0;
}

U32 TSP_SendByPassSubOutputLUT(void)
{
    WriteBypassEntries(aru32SubslotBypassBuffer0, aru32SubslotBypassBuffer1, TSP_LUT_SUB_BYPASS_NUM);
    return 0;
}

void TSP_SendSubFPGAMuxLUTInfo(void)
{
    // The apply step rebuilds these arrays; take a whole table, not half of one.
    CARD_STATE_LOCK();
    std::vector<SUBFPGA_MUXLUT> recs;
    recs.reserve(TSP_LUT_SUB_MUX_NUM + 1);
    for (U32 n = 0; n < TSP_LUT_SUB_MUX_NUM; n++)
        if (aru32SubslotBuffer0[n] != 0)
            recs.push_back({aru32SubslotBuffer0[n], aru32SubslotBuffer1[n], aru32SubslotBuffer2[n]});
    // The slave's reassembly holds a full table and no more; it stops after
    // its last entry, so a full table goes without the closing record.
    if (recs.size() < TSP_LUT_SUB_MUX_NUM)
        recs.push_back({0, 0, 0});
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d %d MUX LUT send to sub FPGA\r\n\n", LOG_POS,
               (int)recs.size());
    // Sent by the peer sender thread, which holds no lock while it talks to the slave.
    SSD_PostSubMessage(ZR_COM_MAC_CMD_PARAMS_MUXER, reinterpret_cast<const U8*>(recs.data()),
                       (U32)(recs.size() * sizeof(SUBFPGA_MUXLUT)));
}

void TSP_SendSubFPGABypassLUTInfo(void)
{
    CARD_STATE_LOCK();
    std::vector<SUBFPGA_BYPASSLUT> recs;
    for (U32 n = 0; n < TSP_LUT_SUB_BYPASS_NUM; n++)
        if (aru32SubslotBypassBuffer1[n] != 0)
            recs.push_back({aru32SubslotBypassBuffer0[n], aru32SubslotBypassBuffer1[n]});
    if (recs.size() < TSP_LUT_SUB_BYPASS_NUM)
        recs.push_back({0, 0});
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d %d BYPASS LUT send to sub FPGA\r\n\n", LOG_POS,
               (int)recs.size());
    SSD_PostSubMessage(ZR_COM_MAC_CMD_PARAMS_PASSLUT, reinterpret_cast<const U8*>(recs.data()),
                       (U32)(recs.size() * sizeof(SUBFPGA_BYPASSLUT)));
}

U32 TSP_ReceiveSubFPGAMUXLUTInfo(U8* pu8Data, U32 u32DataLen)
{
    if (pu8Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(aru32SubslotBuffer0, 0, sizeof(aru32SubslotBuffer0));
    memset(aru32SubslotBuffer1, 0, sizeof(aru32SubslotBuffer1));
    memset(aru32SubslotBuffer2, 0, sizeof(aru32SubslotBuffer2));
    U32 n = 0;
    while (n < TSP_LUT_SUB_MUX_NUM && (n + 1) * sizeof(SUBFPGA_MUXLUT) <= u32DataLen) {
        SUBFPGA_MUXLUT r;
        memcpy(&r, pu8Data + n * sizeof(r), sizeof(r));
        if (r.aru32slotBuffer0 == 0)
            break;
        aru32SubslotBuffer0[n] = r.aru32slotBuffer0;
        aru32SubslotBuffer1[n] = r.aru32slotBuffer1;
        aru32SubslotBuffer2[n] = r.aru32slotBuffer2;
        n++;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d %d MUX LUT receive by sub FPGA\r\n\n", LOG_POS, n);
    return TSP_SendSubOutputLUT();
}

U32 TSP_ReceiveSubFPGABYPASSLUTInfo(U8* pu8Data, U32 u32DataLen)
{
    if (pu8Data == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(aru32SubslotBypassBuffer0, 0, sizeof(aru32SubslotBypassBuffer0));
    memset(aru32SubslotBypassBuffer1, 0, sizeof(aru32SubslotBypassBuffer1));
    U32 n = 0, used = 0;
    while (n < TSP_LUT_SUB_BYPASS_NUM && (n + 1) * sizeof(SUBFPGA_BYPASSLUT) <= u32DataLen) {
        SUBFPGA_BYPASSLUT r;
        memcpy(&r, pu8Data + n * sizeof(r), sizeof(r));
        aru32SubslotBypassBuffer0[n] = r.aru32slotBypassBuffer0;
        aru32SubslotBypassBuffer1[n] = r.aru32slotBypassBuffer1;
        n++;
        if (r.aru32slotBypassBuffer1 == 0)
            break;
        used++;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d %d BYPASS LUT receive by sub FPGA\r\n\n", LOG_POS,
               used);
    return TSP_SendByPassSubOutputLUT();
}

void TSP_PrintMuxLUT(void)
{
    for (U32 n = 0; n < TSP_LUT_MUX_NUM; n++) {
        if (aru32slotBuffer2[n] == 0)
            continue;
        U32 s = aru32slotBuffer1[n], d = aru32slotBuffer0[n];
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d main Mux LUT Num[%u],SrcSlot[%u],SrcChannel[0x%x],SrcPID[%u],DestChannel[%u],NewPID[%u]\r\n\n",
                   LOG_POS, aru32slotBuffer2[n] & 0xFF, (s >> 23) & 0x3F, (s >> 13) & 0x3FF, s & 0x1FFF,
                   (d >> 13) & 0xFF, d & 0x1FFF);
    }
}

void TSP_PrintBypassLUT(void)
{
    for (U32 n = 0; n < TSP_LUT_BYPASS_NUM; n++) {
        if (aru32slotBypassBuffer1[n] == 0)
            continue;
        U32 d = aru32slotBypassBuffer0[n];
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d main Bypass LUT Num[%u],SrcSlot[%u],SrcChannel[0x%x],DestChannel[%u]\r\n\n", LOG_POS,
                   aru32slotBypassBuffer1[n] & 0xFF, (d >> 20) & 0x3F, (d >> 10) & 0x3FF, d & 0xFF);
    }
}
