#include "TSprocess/tsp_conflict.h"
#include "Log/log.h"
#include "StatusProcess/resource.h"
#include <cstdio>
#include <cstring>

namespace {

// One byte per PID value: 1 = taken. Rebuilt for every single PID check.
U8 s_aru8PidUseFlag[8192];
// One bit per service id, for one stream's resolution.
U8 s_aru8ServiceIdMap[8192];

bool TsOk(U16 ts, const Output_TSInfo* db) { return db != nullptr && db->pOutputTS != nullptr && ts < db->u32OutputTSNumber; }

bool SameSource(U8 slot, U16 ch, U16 inputPid, const PidMuxInfo_t* r)
{
    return slot == r->u8SourceSlotID && ch == r->u16SourceChannelID && inputPid == r->u16InputPid;
}

// Marks an output PID in the map; values beyond the limit are logged only.
void Mark(U8* map, U16 pid, U16 limit, const char* what, U16 listIdx)
{
    if (pid > limit) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetPidUseListByIndex %s[%u] Pid[%u] error\r\n\n",
                   LOG_POS, what, listIdx, pid);
        return;
    }
    map[pid] = 1;
}

// Marks a PID record of the given kind unless it is R or carries R's PID.
void MarkPidRecord(U8* map, const Output_TSInfo* db, U16 idx, PIDTYPE_E kind, const PidMuxInfo_t* r, const char* what)
{
    if (idx >= db->u32OutputPIDNumber)
        return;
    const Output_TSPID& p = db->pOutputPID[idx];
    if (r->ePidType == kind && r->u16OutPutOffest == idx)
        return;
    if (SameSource(p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPID, r))
        return;
    Mark(map, p.u16PID, TSP_PID_MAX_GIVEN, what, idx);
}

using ListGetter = U32 (*)(U16, const Output_TSInfo*, IndexInfoList_t*);

// Marks a stream-level list (EMM, other). For the apply step only what ranks
// before R counts, so the walk stops at R.
U32 MarkStreamList(U8* map, ListGetter get, U16 ts, const Output_TSInfo* db, const PidMuxInfo_t* r, bool bWhole,
                   PIDTYPE_E kind, const char* what)
{
    IndexInfoList_t list;
    U32 ret = get(ts, db, &list);
    if (ret != 0)
        return ret;
    for (U16 k = 0; k < list.u16IndexListNum; k++) {
        U16 idx = list.aru16IndexList[k];
        if (!bWhole && r->ePidType == kind && r->u16OutPutOffest == idx)
            break;
        MarkPidRecord(map, db, idx, kind, r, what);
    }
    return 0;
}

// The map of PIDs taken for R. bWhole: the operator's check over the whole
// stream; otherwise the apply step's map of what ranks before R.
U32 BuildPidMap(const PidMuxInfo_t* r, U16 ts, const Output_TSInfo* db, U8* map, bool bWhole)
{
    if (Resource_GetSIMode() == 1)
        map[TSP_PSIP_BASE_PID] = 1;
    // The PIDs of the card's own tables and the null PID are never an
    // input's. A stream's other PID on 0x10-0x1F is the input's own SI,
    // passed through where the card leaves that table to it.
    for (U16 pid = 0; pid < TSP_PID_SI_END; pid++)
        if (r->ePidType != PID_TYPE_OTHERPID || pid < TSP_PID_SI_FIRST)
            map[pid] = 1;
    IndexInfoList_t progs;
    U32 ret = TSP_GetOutTSProgIndexList(ts, db, &progs);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutTSProgIndexList ts[%u] fail\r\n\n",
                   LOG_POS, ts);
        return ret;
    }
    const bool pcrSameExcluded = r->ePidType == PID_TYPE_PCRPID || r->ePidType == PID_TYPE_ESPID;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        U16 pi = progs.aru16IndexList[i];
        if (pi >= db->u32OutputProgramNumber)
            return TSP_ERR_INPUT;
        const Output_TSProgram& P = db->pOutputProgram[pi];
        // PMT PID.
        bool self = r->ePidType == PID_TYPE_PMTPID && r->u16OutPutOffest == pi;
        bool same = !bWhole && SameSource(P.u8SourceSlotID, P.u16SourceChannelID, P.u16OldPMTPID, r);
        if (!self && !same)
            Mark(map, P.u16PMTPID, TSP_PID_MAX_GIVEN, "ProgList PMTPid", pi);
        // PCR PID: the same PID only counts for a PCR or an ES under resolution.
        self = r->ePidType == PID_TYPE_PCRPID && r->u16OutPutOffest == pi;
        same = pcrSameExcluded && SameSource(P.u8SourceSlotID, P.u16SourceChannelID, P.u16OldPCRPID, r);
        if (!self && !same)
            Mark(map, P.u16PCRPID, 8191, "ProgList PCRPid", pi);
        IndexInfoList_t es;
        if (TSP_GetOutProgESPIDIndexList(pi, db, &es) != 0)
            return TSP_ERR_INPUT;
        for (U16 e = 0; e < es.u16IndexListNum; e++) {
            IndexInfoList_t ecm;
            if (TSP_GetOutESECMPIDIndexList(es.aru16IndexList[e], db, &ecm) != 0)
                return TSP_ERR_INPUT;
            for (U16 k = 0; k < ecm.u16IndexListNum; k++)
                MarkPidRecord(map, db, ecm.aru16IndexList[k], PID_TYPE_ES_ECMPID, r, "ESECMPIDList");
            MarkPidRecord(map, db, es.aru16IndexList[e], PID_TYPE_ESPID, r, "ESPIDList");
        }
        IndexInfoList_t psecm;
        if (TSP_GetOutProgPSECMPIDIndexList(pi, db, &psecm) != 0)
            return TSP_ERR_INPUT;
        for (U16 k = 0; k < psecm.u16IndexListNum; k++)
            MarkPidRecord(map, db, psecm.aru16IndexList[k], PID_TYPE_PS_ECMPID, r, "PSECMPIDList");
        if (!bWhole && pi == r->u16ProgramOffest)
            break;
    }
    if (bWhole || r->ePidType == PID_TYPE_EMMPID || r->ePidType == PID_TYPE_OTHERPID) {
        ret = MarkStreamList(map, TSP_GetOutTSEMMPIDIndexList, ts, db, r, bWhole, PID_TYPE_EMMPID, "EMMPIDList");
        if (ret != 0)
            return ret;
    }
    if (bWhole || r->ePidType == PID_TYPE_OTHERPID)
        return MarkStreamList(map, TSP_GetOutTSOtherPIDIndexList, ts, db, r, bWhole, PID_TYPE_OTHERPID,
                              "OtherPIDList");
    return 0;
}

// BuildPidMap behind the argument check of the public entries; bad input is
// logged under the caller's name.
U32 CheckedPidMap(const char* func, const PidMuxInfo_t* r, U16 ts, U16 len, const Output_TSInfo* db, U8* map,
                  bool bWhole)
{
    if (r == nullptr || map == nullptr || len < 8191 || !TsOk(ts, db)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", (long)syscall(SYS_gettid),
                   func, __LINE__);
        return TSP_ERR_INPUT;
    }
    return BuildPidMap(r, ts, db, map, bWhole);
}

// Gives every matching PID record of a list the new PID.
void ModifyList(Output_TSInfo* db, const IndexInfoList_t& list, const PidMuxInfo_t* r, U16 newPid)
{
    for (U16 k = 0; k < list.u16IndexListNum; k++) {
        U16 idx = list.aru16IndexList[k];
        if (idx >= db->u32OutputPIDNumber)
            continue;
        Output_TSPID& p = db->pOutputPID[idx];
        if (SameSource(p.u8SourceSlotID, p.u16SourceChannelID, p.u16OldPID, r))
            p.u16PID = newPid;
    }
}

void SetBit(U8* map, U16 v) { map[v >> 3] |= (U8)(1u << (v & 7)); }
bool TestBit(const U8* map, U16 v) { return (map[v >> 3] >> (v & 7)) & 1; }

// Fetches one index list. A failure is logged under the caller's name, as
// "<what> list of <of>[owner] fail:code", or with of == nullptr as
// "OutTSIndex[owner] <what> list fail:code".
U32 GetListLogged(const char* func, ListGetter get, U16 owner, const char* what, const char* of,
                  const Output_TSInfo* db, IndexInfoList_t* list)
{
    U32 ret = get(owner, db, list);
    if (ret == 0)
        return 0;
    long tid = (long)syscall(SYS_gettid);
    if (of != nullptr)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s list of %s[%u] fail:%u\r\n\n", tid, func,
                   __LINE__, what, of, owner, ret);
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex[%u] %s list fail:%u\r\n\n", tid, func,
                   __LINE__, owner, what, ret);
    return ret;
}

// Adds every PID of an index list as `kind`. A failure is logged under the
// caller's name as "<label> PID[index] fail:code".
U32 AddListPids(const char* func, U16 ts, PIDTYPE_E kind, U16 prog, const IndexInfoList_t& list, const char* label,
                Output_TSInfo* db)
{
    for (U16 k = 0; k < list.u16IndexListNum; k++) {
        U32 ret = TSP_AddOutputPidHandlePid(ts, kind, prog, list.aru16IndexList[k], db);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s PID[%u] fail:%u\r\n\n",
                       (long)syscall(SYS_gettid), func, __LINE__, label, list.aru16IndexList[k], ret);
            return ret;
        }
    }
    return 0;
}

}  // namespace

U32 TSP_CheckOutPidInfo(PIDTYPE_E ePidType, U16 u16PidOffset, const Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr)
        return TSP_ERR_INPUT;
    if (ePidType == PID_TYPE_PMTPID || ePidType == PID_TYPE_PCRPID)
        return u16PidOffset < pstParamTS->u32OutputProgramNumber ? 0 : TSP_ERR_INPUT;
    return u16PidOffset < pstParamTS->u32OutputPIDNumber ? 0 : TSP_ERR_INPUT;
}

U32 TSP_GetPidMuxInfo(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16PidOffset, const Output_TSInfo* pstParamTS,
                      PidMuxInfo_t* pstPidMuxInfo)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS) || pstPidMuxInfo == nullptr || ePidType <= PID_TYPE_INVALIDPID ||
        ePidType >= PID_TYPE_MAX_NUM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (TSP_CheckOutPidInfo(ePidType, u16PidOffset, pstParamTS) != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d TSP_GetPidMuxInfo u8OutputTSIndex:%u ePidType:%u u16PidOffset:%d error\r\n\n", LOG_POS,
                   u16OutputTSIndex, ePidType, u16PidOffset);
        return TSP_ERR_INPUT;
    }
    memset(pstPidMuxInfo, 0, sizeof(*pstPidMuxInfo));
    pstPidMuxInfo->ePidType = ePidType;
    pstPidMuxInfo->u16OutPutOffest = u16PidOffset;
    if (ePidType == PID_TYPE_PMTPID || ePidType == PID_TYPE_PCRPID) {
        const Output_TSProgram& P = pstParamTS->pOutputProgram[u16PidOffset];
        pstPidMuxInfo->u16ProgramOffest = u16PidOffset;
        pstPidMuxInfo->u8SourceSlotID = P.u8SourceSlotID;
        pstPidMuxInfo->u16SourceChannelID = P.u16SourceChannelID;
        pstPidMuxInfo->u16InputPid = ePidType == PID_TYPE_PMTPID ? P.u16OldPMTPID : P.u16OldPCRPID;
        pstPidMuxInfo->u16NewOutPutPid = ePidType == PID_TYPE_PMTPID ? P.u16PMTPID : P.u16PCRPID;
        return 0;
    }
    const Output_TSPID& p = pstParamTS->pOutputPID[u16PidOffset];
    if (p.u8PIDType != (U8)ePidType) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d TSP_GetPidMuxInfo u8OutputTSIndex:%u u16PidOffset:%d ePidType:%u PidType error\r\n\n",
                   LOG_POS, u16OutputTSIndex, u16PidOffset, ePidType);
        return TSP_ERR_INPUT;
    }
    bool streamLevel = ePidType == PID_TYPE_EMMPID || ePidType == PID_TYPE_OTHERPID;
    pstPidMuxInfo->u16ProgramOffest = streamLevel ? TSP_INVALID_INDEX : (U16)(p.u32ProgramIndex & 0xFFFF);
    pstPidMuxInfo->u8SourceSlotID = p.u8SourceSlotID;
    pstPidMuxInfo->u16SourceChannelID = p.u16SourceChannelID;
    pstPidMuxInfo->u16InputPid = p.u16OldPID;
    pstPidMuxInfo->u16NewOutPutPid = p.u16PID;
    return 0;
}

U32 TSP_GetPidUseListByIndex(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16BuffLen,
                             const Output_TSInfo* pstParamTS, U8* aru8PidList)
{
    return CheckedPidMap(__func__, pstPidMuxInfo, u16OutTSIndex, u16BuffLen, pstParamTS, aru8PidList, false);
}

U32 TSP_GetPidUseListByOutputTsIdex(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16BuffLen,
                                    const Output_TSInfo* pstParamTS, U8* aru8PidList)
{
    return CheckedPidMap(__func__, pstPidMuxInfo, u16OutTSIndex, u16BuffLen, pstParamTS, aru8PidList, true);
}

U32 TSP_GetPidUseList(U16 u16OutTSIndex, const PidMuxInfo_t* pstPidMuxInfo, U16 u16BuffLen,
                      const Output_TSInfo* pstParamTS, U8* aru8PidList)
{
    return TSP_GetPidUseListByOutputTsIdex(pstPidMuxInfo, u16OutTSIndex, u16BuffLen, pstParamTS, aru8PidList);
}

U32 TSP_ModifyOutputTSNewPid(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutTSIndex, U16 u16NewPid,
                             Output_TSInfo* pstParamTS)
{
    if (pstPidMuxInfo == nullptr || pstParamTS == nullptr || u16NewPid >= 8191) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (!TsOk(u16OutTSIndex, pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_ModifyOutputTSNewPid TsIndex:%u out of range\r\n\n",
                   LOG_POS, u16OutTSIndex);
        return TSP_ERR_INPUT;
    }
    const PidMuxInfo_t* r = pstPidMuxInfo;
    Output_TSInfo* db = pstParamTS;
    if (r->ePidType == PID_TYPE_PMTPID) {
        if (r->u16OutPutOffest >= db->u32OutputProgramNumber)
            return TSP_ERR_INPUT;
        db->pOutputProgram[r->u16OutPutOffest].u16PMTPID = u16NewPid;
        return 0;
    }
    U32 ret;
    if (r->ePidType == PID_TYPE_EMMPID || r->ePidType == PID_TYPE_OTHERPID) {
        IndexInfoList_t list;
        ret = r->ePidType == PID_TYPE_EMMPID ? TSP_GetOutTSEMMPIDIndexList(u16OutTSIndex, db, &list)
                                             : TSP_GetOutTSOtherPIDIndexList(u16OutTSIndex, db, &list);
        if (ret != 0)
            return ret;
        ModifyList(db, list, r, u16NewPid);
        return 0;
    }
    IndexInfoList_t progs;
    ret = TSP_GetOutTSProgIndexList(u16OutTSIndex, db, &progs);
    if (ret != 0)
        return ret;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        U16 pi = progs.aru16IndexList[i];
        if (pi >= db->u32OutputProgramNumber)
            continue;
        Output_TSProgram& P = db->pOutputProgram[pi];
        if (r->ePidType == PID_TYPE_PS_ECMPID) {
            IndexInfoList_t list;
            if ((ret = TSP_GetOutProgPSECMPIDIndexList(pi, db, &list)) != 0)
                return ret;
            ModifyList(db, list, r, u16NewPid);
            continue;
        }
        IndexInfoList_t es;
        if ((ret = TSP_GetOutProgESPIDIndexList(pi, db, &es)) != 0)
            return ret;
        if (r->ePidType == PID_TYPE_ES_ECMPID) {
            for (U16 e = 0; e < es.u16IndexListNum; e++) {
                IndexInfoList_t list;
                if ((ret = TSP_GetOutESECMPIDIndexList(es.aru16IndexList[e], db, &list)) != 0)
                    return ret;
                ModifyList(db, list, r, u16NewPid);
            }
            continue;
        }
        // PCR or ES: a PCR carried in an ES moves with it.
        if (SameSource(P.u8SourceSlotID, P.u16SourceChannelID, P.u16OldPCRPID, r)) {
            P.u16PCRPID = u16NewPid;
            if (P.u16PCRIndex < db->u32OutputPIDNumber)
                db->pOutputPID[P.u16PCRIndex].u16PID = u16NewPid;
        }
        ModifyList(db, es, r, u16NewPid);
    }
    return 0;
}

U32 TSP_AddOutputPidHandlePid(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16ProgramOffset, U16 u16PidOffset,
                              Output_TSInfo* pstParamTS)
{
    memset(s_aru8PidUseFlag, 0, sizeof(s_aru8PidUseFlag));
    PidMuxInfo_t r;
    U32 ret = TSP_GetPidMuxInfo(u16OutputTSIndex, ePidType, u16PidOffset, pstParamTS, &r);
    if (ret != 0)
        return ret;
    r.u16ProgramOffest = u16ProgramOffset;
    // PCR PID 8191 means "no PCR": shared by any number of programs, never moved.
    if (ePidType == PID_TYPE_PCRPID && r.u16NewOutPutPid == 8191)
        return 0;
    ret = TSP_GetPidUseListByIndex(&r, u16OutputTSIndex, sizeof(s_aru8PidUseFlag), pstParamTS, s_aru8PidUseFlag);
    if (ret != 0)
        return ret;
    s_aru8PidUseFlag[TSP_PID_NULL] = 1;  // stuffing, never a record's output
    // An output PID beyond the PID range is never kept.
    if (r.u16NewOutPutPid <= 8191 && s_aru8PidUseFlag[r.u16NewOutPutPid] == 0)
        return 0;
    U16 pid = TSP_PID_SEARCH_FIRST;
    while (pid <= TSP_PID_MAX_GIVEN && s_aru8PidUseFlag[pid] != 0)
        pid++;
    if (pid > TSP_PID_MAX_GIVEN)
        return TSP_ERR_NO_FREE_PID;
    ret = TSP_ModifyOutputTSNewPid(&r, u16OutputTSIndex, pid, pstParamTS);
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d TSP_AddOutputPidHandlePid OutTSIndex:%d TSP_ModifyOutputTSNewPid fail:%u\r\n\n", LOG_POS,
                   u16OutputTSIndex, ret);
    return ret;
}

U32 TSP_AddOutputProgramHandlePid(U16 u16OutputTSIndex, U16 u16ProgramOffset, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS) || u16ProgramOffset >= pstParamTS->u32OutputProgramNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    U32 ret = TSP_AddOutputPidHandlePid(u16OutputTSIndex, PID_TYPE_PMTPID, u16ProgramOffset, u16ProgramOffset, pstParamTS);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PMT PID of program[%u] fail:%u\r\n\n", LOG_POS,
                   u16ProgramOffset, ret);
        return ret;
    }
    ret = TSP_AddOutputPidHandlePid(u16OutputTSIndex, PID_TYPE_PCRPID, u16ProgramOffset, u16ProgramOffset, pstParamTS);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PCR PID of program[%u] fail:%u\r\n\n", LOG_POS,
                   u16ProgramOffset, ret);
        return ret;
    }
    IndexInfoList_t es;
    ret = GetListLogged(__func__, TSP_GetOutProgESPIDIndexList, u16ProgramOffset, "ES", "program", pstParamTS, &es);
    if (ret != 0)
        return ret;
    for (U16 e = 0; e < es.u16IndexListNum; e++) {
        U16 esIdx = es.aru16IndexList[e];
        IndexInfoList_t ecm;
        ret = GetListLogged(__func__, TSP_GetOutESECMPIDIndexList, esIdx, "ES-ECM", "ES", pstParamTS, &ecm);
        if (ret != 0)
            return ret;
        ret = AddListPids(__func__, u16OutputTSIndex, PID_TYPE_ES_ECMPID, u16ProgramOffset, ecm, "ES-ECM", pstParamTS);
        if (ret != 0)
            return ret;
        ret = TSP_AddOutputPidHandlePid(u16OutputTSIndex, PID_TYPE_ESPID, u16ProgramOffset, esIdx, pstParamTS);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ES PID[%u] fail:%u\r\n\n", LOG_POS, esIdx, ret);
            return ret;
        }
    }
    IndexInfoList_t psecm;
    ret = GetListLogged(__func__, TSP_GetOutProgPSECMPIDIndexList, u16ProgramOffset, "PS-ECM", "program", pstParamTS,
                        &psecm);
    if (ret != 0)
        return ret;
    return AddListPids(__func__, u16OutputTSIndex, PID_TYPE_PS_ECMPID, u16ProgramOffset, psecm, "PS-ECM", pstParamTS);
}

U32 TSP_AddOutputTSHandlePid(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t progs;
    U32 ret = GetListLogged(__func__, TSP_GetOutTSProgIndexList, u16OutputTSIndex, "program", nullptr, pstParamTS,
                            &progs);
    if (ret != 0)
        return ret;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        ret = TSP_AddOutputProgramHandlePid(u16OutputTSIndex, progs.aru16IndexList[i], pstParamTS);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex[%u] program[%u] PIDs fail:%u\r\n\n",
                       LOG_POS, u16OutputTSIndex, progs.aru16IndexList[i], ret);
            return ret;
        }
    }
    const PIDTYPE_E kinds[2] = {PID_TYPE_EMMPID, PID_TYPE_OTHERPID};
    for (PIDTYPE_E kind : kinds) {
        const bool emm = kind == PID_TYPE_EMMPID;
        IndexInfoList_t list;
        ret = GetListLogged(__func__, emm ? TSP_GetOutTSEMMPIDIndexList : TSP_GetOutTSOtherPIDIndexList,
                            u16OutputTSIndex, emm ? "EMM" : "other", nullptr, pstParamTS, &list);
        if (ret != 0)
            return ret;
        char label[32];
        snprintf(label, sizeof(label), "OutTSIndex[%u] %s", u16OutputTSIndex, emm ? "EMM" : "other");
        ret = AddListPids(__func__, u16OutputTSIndex, kind, TSP_INVALID_INDEX, list, label, pstParamTS);
        if (ret != 0)
            return ret;
    }
    return 0;
}

U32 TSP_AddOutputTSHandleServID(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(s_aru8ServiceIdMap, 0, sizeof(s_aru8ServiceIdMap));
    // Program number 0 is the PAT's pointer to the NIT, never a service.
    SetBit(s_aru8ServiceIdMap, 0);
    IndexInfoList_t progs;
    U32 ret = GetListLogged(__func__, TSP_GetOutTSProgIndexList, u16OutputTSIndex, "program", nullptr, pstParamTS,
                            &progs);
    if (ret != 0)
        return ret;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        U16 pi = progs.aru16IndexList[i];
        if (pi >= pstParamTS->u32OutputProgramNumber)
            return TSP_ERR_INPUT;
        Output_TSProgram& P = pstParamTS->pOutputProgram[pi];
        if (!TestBit(s_aru8ServiceIdMap, P.u16ServiceID)) {
            SetBit(s_aru8ServiceIdMap, P.u16ServiceID);
            continue;
        }
        U32 id = 1;
        while (id <= 0xFFFF && TestBit(s_aru8ServiceIdMap, (U16)id))
            id++;
        if (id > 0xFFFF)
            return TSP_ERR_INPUT;
        SetBit(s_aru8ServiceIdMap, (U16)id);
        P.u16ServiceID = (U16)id;
    }
    return 0;
}

U32 TSP_CheckOutputPidConflict(U16 u16OutputTSIndex, PIDTYPE_E ePidType, U16 u16PidOffset, U16 u16NewPid,
                               Output_TSInfo* pstParamTS, U8* pu8Flag)
{
    memset(s_aru8PidUseFlag, 0, sizeof(s_aru8PidUseFlag));
    if (pu8Flag == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u16NewPid > TSP_PID_MAX_GIVEN) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NewPid:%d error\r\n\n", LOG_POS, u16NewPid);
        return TSP_ERR_INPUT;
    }
    PidMuxInfo_t r;
    U32 ret = TSP_GetPidMuxInfo(u16OutputTSIndex, ePidType, u16PidOffset, pstParamTS, &r);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex[%d] TSP_GetPidMuxInfo fail\r\n\n",
                   LOG_POS, u16OutputTSIndex);
        return ret;
    }
    BOOL conflict = 0;
    ret = TSP_CheckPidConflict(&r, u16OutputTSIndex, u16NewPid, pstParamTS, &conflict);
    if (ret != 0)
        return ret;
    if (conflict) {
        *pu8Flag = 2;
        return 0;
    }
    return TSP_ModifyBroadcastPid(u16OutputTSIndex, &r, u16NewPid, pstParamTS);
}

U32 TSP_CheckPidConflict(const PidMuxInfo_t* pstPidMuxInfo, U16 u16OutputTSIndex, U16 u16NewPid,
                         const Output_TSInfo* pstParamTS, BOOL* pbIsConflict)
{
    if (pbIsConflict == nullptr || u16NewPid > 8191) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(s_aru8PidUseFlag, 0, sizeof(s_aru8PidUseFlag));
    U32 ret = TSP_GetPidUseList(u16OutputTSIndex, pstPidMuxInfo, sizeof(s_aru8PidUseFlag), pstParamTS,
                                s_aru8PidUseFlag);
    if (ret != 0)
        return ret;
    *pbIsConflict = s_aru8PidUseFlag[u16NewPid] != 0;
    return 0;
}

U32 TSP_ModifyBroadcastPid(U16 u16OutTSIndex, const PidMuxInfo_t* pstPidMuxInfo, U16 u16NewPid,
                           Output_TSInfo* pstParamTS)
{
    if (u16NewPid >= 8191) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NewPid:%d error\r\n\n", LOG_POS, u16NewPid);
        return TSP_ERR_INPUT;
    }
    return TSP_ModifyOutputTSNewPid(pstPidMuxInfo, u16OutTSIndex, u16NewPid, pstParamTS);
}

U32 TSP_AddOutProgHandleChannelNum(U16 u16OutTSIndex, U16 u16ProgramOffset, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutTSIndex, pstParamTS) || u16ProgramOffset >= pstParamTS->u32OutputProgramNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t progs;
    U32 ret = TSP_GetOutTSProgIndexList(u16OutTSIndex, pstParamTS, &progs);
    if (ret != 0)
        return ret;
    Output_TSProgram* all = pstParamTS->pOutputProgram;
    Output_TSProgram& P = all[u16ProgramOffset];
    bool renumber = P.u16MajorChannelNum >= 1024 || P.u16MinorChannelNum >= 1024;
    for (U16 i = 0; i < progs.u16IndexListNum && !renumber; i++) {
        U16 q = progs.aru16IndexList[i];
        if (q == u16ProgramOffset || q >= pstParamTS->u32OutputProgramNumber)
            continue;
        if (all[q].u16MajorChannelNum == P.u16MajorChannelNum && all[q].u16MinorChannelNum == P.u16MinorChannelNum)
            renumber = true;
    }
    if (renumber) {
        U16 m = 0;
        for (; m < 1024; m++) {
            bool taken = false;
            for (U16 i = 0; i < progs.u16IndexListNum && !taken; i++) {
                U16 q = progs.aru16IndexList[i];
                if (q < pstParamTS->u32OutputProgramNumber && all[q].u16MajorChannelNum == 0 &&
                    all[q].u16MinorChannelNum == m)
                    taken = true;
            }
            if (!taken)
                break;
        }
        if (m >= 1024)
            return TSP_ERR_CHANNEL_NUMBER;
        P.u16MajorChannelNum = 0;
        P.u16MinorChannelNum = m;
    }
    P.u16ChannelTSID = pstParamTS->pOutputTS[u16OutTSIndex].u16TransportStreamID;
    return 0;
}

U32 TSP_AddOutTSHandleChannelNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutTSIndex, pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t progs;
    U32 ret = TSP_GetOutTSProgIndexList(u16OutTSIndex, pstParamTS, &progs);
    if (ret != 0)
        return ret;
    for (int i = (int)progs.u16IndexListNum - 1; i >= 0; i--) {
        ret = TSP_AddOutProgHandleChannelNum(u16OutTSIndex, progs.aru16IndexList[i], pstParamTS);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d TSP_AddOutTSHandleChannelNum TSP_AddOutProgHandleChannelNum:[%u][%u] fail\r\n\n",
                       LOG_POS, u16OutTSIndex, progs.aru16IndexList[i]);
            return ret;
        }
    }
    return 0;
}

U32 TSP_GetTsServiceIdList(U16 u16OutputTSIndex, Output_TSInfo* pstParamTS, U32* aru32ServiceIdList)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS) || aru32ServiceIdList == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t progs;
    U32 ret = TSP_GetOutTSProgIndexList(u16OutputTSIndex, pstParamTS, &progs);
    if (ret != 0)
        return ret;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        U16 pi = progs.aru16IndexList[i];
        if (pi >= pstParamTS->u32OutputProgramNumber)
            continue;
        U16 id = pstParamTS->pOutputProgram[pi].u16ServiceID;
        aru32ServiceIdList[id >> 5] |= 1u << (id & 31);
    }
    return 0;
}

BOOL TSP_IsSeviceIdConflictInTs(U16 u16OutProgIndex, U16 u16ServiceId, U16 u16OutputTSIndex,
                                Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS))
        return 0;
    IndexInfoList_t progs;
    if (TSP_GetOutTSProgIndexList(u16OutputTSIndex, pstParamTS, &progs) != 0)
        return 0;
    for (U16 i = 0; i < progs.u16IndexListNum; i++) {
        U16 pi = progs.aru16IndexList[i];
        if (pi != u16OutProgIndex && pi < pstParamTS->u32OutputProgramNumber &&
            pstParamTS->pOutputProgram[pi].u16ServiceID == u16ServiceId)
            return 1;
    }
    return 0;
}

U32 TSP_AddOutputProgramHandleServID(U16 u16OutputTSIndex, U16 u16OutProgIndex, Output_TSInfo* pstParamTS)
{
    if (!TsOk(u16OutputTSIndex, pstParamTS) || u16OutProgIndex >= pstParamTS->u32OutputProgramNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    Output_TSProgram& P = pstParamTS->pOutputProgram[u16OutProgIndex];
    if (!TSP_IsSeviceIdConflictInTs(u16OutProgIndex, P.u16OldServiceID, u16OutputTSIndex, pstParamTS)) {
        P.u16ServiceID = P.u16OldServiceID;
        return 0;
    }
    static U32 ids[2048];
    memset(ids, 0, sizeof(ids));
    U32 ret = TSP_GetTsServiceIdList(u16OutputTSIndex, pstParamTS, ids);
    if (ret != 0)
        return ret;
    for (U32 id = 1; id <= 0xFFFF; id++) {
        if (!((ids[id >> 5] >> (id & 31)) & 1)) {
            P.u16ServiceID = (U16)id;
            return 0;
        }
    }
    return TSP_ERR_INPUT;
}
