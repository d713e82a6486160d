// The operator's edits of the working copy: a whole stream view or one
// program view checked against the working copy, conflicts refused, only
// changed fields written, and the tables to regenerate marked.
#include "Common/thread.h"
#include "Log/log.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_conflict.h"
#include "TSprocess/tsp_edit.h"
#include "TSprocess/tsp_view.h"
#include <cstring>
#include <vector>

#define TSP_ERR_SERVICE_ID_USED 0x30024u
#define TSP_ERR_PID_CONFLICT 0x30017u

namespace {

bool TSOk(const Output_TSInfo* p, U32 i) { return p != nullptr && p->pOutputTS != nullptr && i < p->u32OutputTSNumber; }
bool ProgOk(const Output_TSInfo* p, U32 i)
{
    return p != nullptr && p->pOutputProgram != nullptr && i < p->u32OutputProgramNumber;
}

U32 InputError(const char* func, int line, const char* fmt, U32 a, U32 b = 0)
{
    char msg[160];
    snprintf(msg, sizeof(msg), fmt, a, b);
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s\r\n\n", (long)syscall(SYS_gettid), func, line, msg);
    return TSP_ERR_INPUT;
}

// The output PIDs of a stream as they are before an edit, so that a refused
// edit puts back exactly what it moved.
struct PidSnapshot {
    std::vector<std::pair<U32, U16>> pids;                // PID record, u16PID
    std::vector<std::pair<U32, std::pair<U16, U16>>> progs; // program, PMT and PCR PID
    PidSnapshot(const Output_TSInfo* p, U16 ts)
    {
        for (U32 i = 0; i < p->u32OutputPIDNumber; i++)
            if (p->pOutputPID[i].u8ValidFlag == 1 && p->pOutputPID[i].u32TSIndex == ts)
                pids.push_back({i, p->pOutputPID[i].u16PID});
        for (U32 i = 0; i < p->u32OutputProgramNumber; i++)
            if (p->pOutputProgram[i].u8ValidFlag == 1 && p->pOutputProgram[i].u16TSIndex == ts)
                progs.push_back({i, {p->pOutputProgram[i].u16PMTPID, p->pOutputProgram[i].u16PCRPID}});
    }
    void Restore(Output_TSInfo* p) const
    {
        for (auto& e : pids)
            p->pOutputPID[e.first].u16PID = e.second;
        for (auto& e : progs) {
            p->pOutputProgram[e.first].u16PMTPID = e.second.first;
            p->pOutputProgram[e.first].u16PCRPID = e.second.second;
        }
    }
};

} // namespace

// ---------------------------------------------------------------------------
// Field setters
// ---------------------------------------------------------------------------

U32 TSP_ModifyOutTSID(U16 u16OutTSIndex, U16 u16NewTSID, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u]", u16OutTSIndex);
    Output_TSStream& s = p->pOutputTS[u16OutTSIndex];
    s.u16TransportStreamID = u16NewTSID;
    s.u8PATChangeFlag = s.u8SDTChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutTSModulationMode(U16 u16OutTSIndex, U8 u8ModulationMode, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u]", u16OutTSIndex);
    p->pOutputTS[u16OutTSIndex].u8ModulationMode = u8ModulationMode;
    p->pOutputTS[u16OutTSIndex].u8PATChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutTSTDTInsert(U16 u16OutTSIndex, U8 u8TDTInsert, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u]", u16OutTSIndex);
    p->pOutputTS[u16OutTSIndex].u8TDTGenerate = u8TDTInsert;
    return 0;
}

U32 TSP_ModifyOutTSHasTsInfoFlag(U16 u16OutTSIndex, U8 u8HasTsInfoFlag, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u]", u16OutTSIndex);
    p->pOutputTS[u16OutTSIndex].u8HasTsInfoFlag = u8HasTsInfoFlag;
    return 0;
}

U32 TSP_ModifyOutTSOriginalNetworkID(U16 u16OutTSIndex, U16 u16NewNetworkID, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u]", u16OutTSIndex);
    p->pOutputTS[u16OutTSIndex].u16OriginalNetworkID = u16NewNetworkID;
    p->pOutputTS[u16OutTSIndex].u8SDTChangeFlag = 1;
    return 0;
}

// Both name setters: every index is checked (the records lie in fixed arrays).
static U32 SetName(const char* func, U16 ts, U16 prog, const U8* name, U8 len, Output_TSInfo* p, bool bProvider)
{
    if (len > TSP_NAME_MAX_LEN || name == nullptr)
        return InputError(func, __LINE__,
                          bProvider ? "Input error ProviderNameLen[%u]" : "Input error program index[%u],ServiceNameLen[%u]",
                          bProvider ? len : prog, len);
    if (!TSOk(p, ts) || !ProgOk(p, prog))
        return InputError(func, __LINE__, "Input error ts index[%u],program index[%u]", ts, prog);
    Output_TSProgram& r = p->pOutputProgram[prog];
    if (bProvider) {
        r.u8ServiceProviderLen = len;
        memcpy(r.aru8ServiceProvider, name, TSP_NAME_MAX_LEN);
    } else {
        r.u8ServiceNameLen = len;
        memcpy(r.aru8ServiceName, name, TSP_NAME_MAX_LEN);
    }
    p->pOutputTS[ts].u8SDTChangeFlag = 1;
    p->pOutputTS[ts].u8IsSDTChangedByUser = 1;
    return 0;
}

U32 TSP_ModifyOutServiceName(U16 u16OutTSIndex, U16 u16ProgramIndex, U8* pu8Name, U8 u8Len, Output_TSInfo* p)
{
    return SetName(__func__, u16OutTSIndex, u16ProgramIndex, pu8Name, u8Len, p, false);
}

U32 TSP_ModifyOutProviderName(U16 u16OutTSIndex, U16 u16ProgramIndex, U8* pu8Name, U8 u8Len, Output_TSInfo* p)
{
    return SetName(__func__, u16OutTSIndex, u16ProgramIndex, pu8Name, u8Len, p, true);
}

U32 TSP_ModifyOutServiceID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16 u16ServiceID, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex) || !ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u],program index[%u]", u16OutTSIndex,
                          u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u16ServiceID = u16ServiceID;
    p->pOutputProgram[u16ProgramIndex].u8PMTChangeFlag = 1;
    Output_TSStream& s = p->pOutputTS[u16OutTSIndex];
    s.u8PATChangeFlag = s.u8SDTChangeFlag = s.u8IsSDTChangedByUser = 1;
    return 0;
}

U32 TSP_ModifyOutPMTPID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex) || !ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u],program index[%u]", u16OutTSIndex,
                          u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u8PMTChangeFlag = 1;
    p->pOutputTS[u16OutTSIndex].u8PATChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutPCRPID(U16 u16OutTSIndex, U16 u16ProgramIndex, U16, Output_TSInfo* p)
{
    if (!TSOk(p, u16OutTSIndex) || !ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error ts index[%u],program index[%u]", u16OutTSIndex,
                          u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u8PMTChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutESPID(U16 u16ProgramIndex, U16, U32, Output_TSInfo* p)
{
    if (!ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error program index[%u]", u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u8PMTChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutChannelNum(U16 u16TSIndex, U16 u16ProgramIndex, U16 u16Major, U16 u16Minor, Output_TSInfo* p)
{
    if (!TSOk(p, u16TSIndex) || !ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error program index[%u]", u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u16MajorChannelNum = u16Major;
    p->pOutputProgram[u16ProgramIndex].u16MinorChannelNum = u16Minor;
    p->pOutputTS[u16TSIndex].u8PATChangeFlag = 1;
    return 0;
}

U32 TSP_ModifyOutServiceType(U16 u16TSIndex, U16 u16ProgramIndex, U8 u8ServiceType, Output_TSInfo* p)
{
    if (!TSOk(p, u16TSIndex) || !ProgOk(p, u16ProgramIndex))
        return InputError(__func__, __LINE__, "Input error program index[%u]", u16ProgramIndex);
    p->pOutputProgram[u16ProgramIndex].u8ServiceType = u8ServiceType;
    // The service type is carried in the SDT's service descriptor.
    p->pOutputTS[u16TSIndex].u8PATChangeFlag = 1;
    p->pOutputTS[u16TSIndex].u8SDTChangeFlag = 1;
    return 0;
}

U32 TSP_RebackTempInfo(U16 u16ProgramIndex, U16 u16PCRPID, U16 u16PMTPID, U16* pu16ESPID, U16* pu16ESIndex,
                       U16 u16ESNumber)
{
    Output_TSInfo* p = TSP_GetTempTSParam();
    if (!ProgOk(p, u16ProgramIndex) || (u16ESNumber != 0 && (pu16ESPID == nullptr || pu16ESIndex == nullptr)) ||
        u16ESNumber > TSP_WEB_ES_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input ProgramIndex[%u],ESNumber[%u] error\r\n\n",
                   LOG_POS, u16ProgramIndex, u16ESNumber);
        return TSP_ERR_INPUT;
    }
    p->pOutputProgram[u16ProgramIndex].u16PCRPID = u16PCRPID;
    p->pOutputProgram[u16ProgramIndex].u16PMTPID = u16PMTPID;
    for (U32 i = 0; i < u16ESNumber; i++)
        if (pu16ESIndex[i] < p->u32OutputPIDNumber)
            p->pOutputPID[pu16ESIndex[i]].u16PID = pu16ESPID[i];
    return 0;
}

U8 TSP_IsEditSeviceIdConflict(U16 u16Position, U16 u16ServiceId, const Output_WebTSInfo* pstWebTSInfo)
{
    if (pstWebTSInfo == nullptr)
        return 0;
    for (U32 i = 0; i < pstWebTSInfo->u16ProgramNum && i < TSP_WEB_PROGRAM_MAX; i++)
        if (i != u16Position && pstWebTSInfo->arOutputProInfo[i].u16ServiceID == u16ServiceId)
            return 1;
    return 0;
}

// ---------------------------------------------------------------------------
// Whole-view edits
// ---------------------------------------------------------------------------

U32 TSP_ModifyTSInfoByWeb(Output_WebTSInfo* pstWebTSInfo, U8* pu8ConflictFlag)
{
    if (pstWebTSInfo == nullptr || pu8ConflictFlag == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTempTSParam();
    const Output_WebTSInfo& v = *pstWebTSInfo;
    const U16 ts = TSP_FindStreamOfChannel(p, v.u16Channel);
    if (ts == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Channel[%u] has no stream\r\n\n", LOG_POS,
                   v.u16Channel);
        return TSP_ERR_PROGRAM_NOT_FOUND;
    }
    // Everything is checked before anything is written.
    if (v.u16ProgramNum > TSP_WEB_PROGRAM_MAX || v.u16PIDNum > TSP_WEB_PID_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Other PID num %d out of range %d\r\n\n", LOG_POS,
                   v.u16PIDNum, (int)TSP_WEB_PID_MAX);
        return TSP_ERR_INPUT;
    }
    for (U32 i = 0; i < v.u16ProgramNum; i++)
        if (v.arOutputProInfo[i].u8ServiceNameLen > TSP_NAME_MAX_LEN ||
            v.arOutputProInfo[i].u8ServiceProviderLen > TSP_NAME_MAX_LEN)
            return InputError(__func__, __LINE__, "Input error program index[%u],ServiceNameLen[%u]", i,
                              v.arOutputProInfo[i].u8ServiceNameLen);
    for (U32 i = 0; i < v.u16ProgramNum; i++)
        if (TSP_IsEditSeviceIdConflict((U16)i, v.arOutputProInfo[i].u16ServiceID, &v)) {
            *pu8ConflictFlag = 1;
            return TSP_ERR_SERVICE_ID_USED;
        }
    IndexInfoList_t others, progs;
    U32 ret = TSP_GetOutTSOtherPIDIndexList(ts, p, &others);
    if (ret != 0)
        return ret;
    if (others.u16IndexListNum != v.u16PIDNum) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d ts index[%u] other pid num[%u] and web pid num[%u] are not the same\r\n\n", LOG_POS, ts,
                   others.u16IndexListNum, v.u16PIDNum);
        return TSP_ERR_COUNT_MISMATCH;
    }
    ret = TSP_GetOutTSProgIndexList(ts, p, &progs);
    if (ret != 0)
        return ret;
    if (progs.u16IndexListNum != v.u16ProgramNum) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d ts index[%u] program num[%u] and web program num[%u] are not the same\r\n\n", LOG_POS, ts,
                   progs.u16IndexListNum, v.u16ProgramNum);
        return TSP_ERR_COUNT_MISMATCH;
    }
    // Each entry is matched to its program by the old id before any id is
    // written, so that swapped ids reach the right programs.
    std::vector<U16> target(v.u16ProgramNum, TSP_INVALID_INDEX);
    for (U32 i = 0; i < v.u16ProgramNum; i++)
        for (U32 j = 0; j < progs.u16IndexListNum && target[i] == TSP_INVALID_INDEX; j++)
            if (p->pOutputProgram[progs.aru16IndexList[j]].u16ServiceID == v.arOutputProInfo[i].u16OldServiceID)
                target[i] = progs.aru16IndexList[j];
    const PidSnapshot before(p, ts);
    *pu8ConflictFlag = 0;
    for (U32 i = 0; i < others.u16IndexListNum; i++) {
        ret = TSP_CheckOutputPidConflict(ts, PID_TYPE_OTHERPID, others.aru16IndexList[i], v.arOutputPIDInfo[i].u16PID,
                                         p, pu8ConflictFlag);
        if (ret != 0 || *pu8ConflictFlag == 2) {
            before.Restore(p);
            return ret != 0 ? ret : TSP_ERR_PID_CONFLICT;
        }
    }
    const Output_TSStream& s = p->pOutputTS[ts];
    if (s.u16OriginalNetworkID != v.u16OriginalNetworkID)
        TSP_ModifyOutTSOriginalNetworkID(ts, v.u16OriginalNetworkID, p);
    if (s.u16TransportStreamID != v.u16TransportStreamID)
        TSP_ModifyOutTSID(ts, v.u16TransportStreamID, p);
    if (s.u8ModulationMode != v.u8ModulationMode)
        TSP_ModifyOutTSModulationMode(ts, v.u8ModulationMode, p);
    if (s.u8TDTGenerate != v.u8TDTGenerate)
        TSP_ModifyOutTSTDTInsert(ts, v.u8TDTGenerate, p);
    if (s.u8HasTsInfoFlag != v.u8HasTsInfoFlag)
        TSP_ModifyOutTSHasTsInfoFlag(ts, v.u8HasTsInfoFlag, p);
    for (U32 i = 0; i < v.u16ProgramNum; i++) {
        const Output_WebProgramInfo& e = v.arOutputProInfo[i];
        const U16 g = target[i];
        if (g == TSP_INVALID_INDEX)
            continue;
        const Output_TSProgram& r = p->pOutputProgram[g];
        if (r.u16ServiceID != e.u16ServiceID && (ret = TSP_ModifyOutServiceID(ts, g, e.u16ServiceID, p)) != 0)
            return ret;
        if (memcmp(r.aru8ServiceName, e.aru8ServiceName, TSP_NAME_MAX_LEN) != 0 &&
            (ret = TSP_ModifyOutServiceName(ts, g, const_cast<U8*>(e.aru8ServiceName), e.u8ServiceNameLen, p)) != 0)
            return ret;
        if (memcmp(r.aru8ServiceProvider, e.aru8ServiceProvider, TSP_NAME_MAX_LEN) != 0 &&
            (ret = TSP_ModifyOutProviderName(ts, g, const_cast<U8*>(e.aru8ServiceProvider), e.u8ServiceProviderLen,
                                             p)) != 0)
            return ret;
    }
    return 0;
}

U32 TSP_ModifyProgramInfoByWeb(U16 u16Channel, Output_WebProgramInfo* pstWebProInfo, U8* pu8ConflictFlag)
{
    if (pstWebProInfo == nullptr || pu8ConflictFlag == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (pstWebProInfo->u8ServiceNameLen > TSP_NAME_MAX_LEN || pstWebProInfo->u8ServiceProviderLen > TSP_NAME_MAX_LEN)
        return InputError(__func__, __LINE__, "Input error ServiceNameLen[%u] ProviderNameLen[%u]",
                          pstWebProInfo->u8ServiceNameLen, pstWebProInfo->u8ServiceProviderLen);
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTempTSParam();
    const Output_WebProgramInfo& v = *pstWebProInfo;
    const U16 ts = TSP_FindStreamOfChannel(p, u16Channel);
    IndexInfoList_t progs, es;
    U16 g = TSP_INVALID_INDEX;
    if (ts != TSP_INVALID_INDEX) {
        U32 ret = TSP_GetOutTSProgIndexList(ts, p, &progs);
        if (ret != 0)
            return ret;
        for (U32 i = 0; i < progs.u16IndexListNum && g == TSP_INVALID_INDEX; i++)
            if (p->pOutputProgram[progs.aru16IndexList[i]].u16ServiceID == v.u16OldServiceID)
                g = progs.aru16IndexList[i];
    }
    if (g == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Channel[%u],ServiceID[%u] program don't exist\r\n\n",
                   LOG_POS, u16Channel, v.u16OldServiceID);
        return TSP_ERR_PROGRAM_NOT_FOUND;
    }
    Output_TSProgram& r = p->pOutputProgram[g];
    if (r.u8ValidFlag != 1) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d the Program index[%u] modified by web is invalid\r\n\n",
                   LOG_POS, g);
        return TSP_ERR_NOT_ENOUGH;
    }
    for (U32 i = 0; i < progs.u16IndexListNum; i++) {
        const Output_TSProgram& o = p->pOutputProgram[progs.aru16IndexList[i]];
        if (progs.aru16IndexList[i] != g && o.u16ServiceID == v.u16ServiceID) {
            *pu8ConflictFlag = 1;
            return TSP_ERR_SERVICE_ID_USED;
        }
    }
    const bool bAtsc = Resource_GetSIMode() == 1;
    if (bAtsc) {
        if (v.u16MajorChannelNum > 1023 || v.u16MinorChannelNum > 1023)
            return TSP_ERR_CHANNEL_NUMBER;
        for (U32 i = 0; i < progs.u16IndexListNum; i++) {
            const Output_TSProgram& o = p->pOutputProgram[progs.aru16IndexList[i]];
            if (progs.aru16IndexList[i] != g && o.u16MajorChannelNum == v.u16MajorChannelNum &&
                o.u16MinorChannelNum == v.u16MinorChannelNum)
                return TSP_ERR_CHANNEL_NUMBER;
        }
    }
    U32 ret = TSP_GetOutProgESPIDIndexList(g, p, &es);
    if (ret != 0)
        return ret;
    if (es.u16IndexListNum != v.u16ESNumber || v.u16ESNumber > TSP_WEB_ES_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d program ES num[%u] and web program ES num[%u] are not the same\r\n\n", LOG_POS,
                   es.u16IndexListNum, v.u16ESNumber);
        return TSP_ERR_COUNT_MISMATCH;
    }
    // Checks first; a conflict puts back every output PID of the stream that
    // this call moved (a check may move records of other programs too).
    const PidSnapshot before(p, ts);
    *pu8ConflictFlag = 0;
    const U16 oldPMT = r.u16PMTPID, oldPCR = r.u16PCRPID;
    std::vector<U16> oldES(es.u16IndexListNum);
    for (U32 i = 0; i < es.u16IndexListNum; i++)
        oldES[i] = p->pOutputPID[es.aru16IndexList[i]].u16PID;
    auto check = [&](PIDTYPE_E type, U16 offset, U16 pid) -> U32 {
        U32 rc = TSP_CheckOutputPidConflict(ts, type, offset, pid, p, pu8ConflictFlag);
        if (rc == 0 && *pu8ConflictFlag == 2) {
            before.Restore(p);
            return TSP_ERR_PID_CONFLICT;
        }
        if (rc != 0)
            before.Restore(p);
        return rc;
    };
    if (v.u16PMTPID != oldPMT && (ret = check(PID_TYPE_PMTPID, g, v.u16PMTPID)) != 0)
        return ret;
    if (v.u16PCRPID != oldPCR && (ret = check(PID_TYPE_PCRPID, g, v.u16PCRPID)) != 0)
        return ret;
    for (U32 i = 0; i < es.u16IndexListNum; i++)
        if (v.arOutputESInfo[i].u16PID != oldES[i] &&
            (ret = check(PID_TYPE_ESPID, es.aru16IndexList[i], v.arOutputESInfo[i].u16PID)) != 0)
            return ret;
    if (bAtsc && (r.u16MajorChannelNum != v.u16MajorChannelNum || r.u16MinorChannelNum != v.u16MinorChannelNum))
        TSP_ModifyOutChannelNum(ts, g, v.u16MajorChannelNum, v.u16MinorChannelNum, p);
    if (r.u8ServiceType != (U8)v.u8ServiceType)
        TSP_ModifyOutServiceType(ts, g, (U8)v.u8ServiceType, p);
    if (r.u16ServiceID != v.u16ServiceID && (ret = TSP_ModifyOutServiceID(ts, g, v.u16ServiceID, p)) != 0)
        return ret;
    if (r.u16PCRPID != oldPCR)
        TSP_ModifyOutPCRPID(ts, g, r.u16PCRPID, p);
    if (r.u16PMTPID != oldPMT)
        TSP_ModifyOutPMTPID(ts, g, r.u16PMTPID, p);
    if (memcmp(r.aru8ServiceName, v.aru8ServiceName, TSP_NAME_MAX_LEN) != 0 &&
        (ret = TSP_ModifyOutServiceName(ts, g, const_cast<U8*>(v.aru8ServiceName), v.u8ServiceNameLen, p)) != 0)
        return ret;
    if (memcmp(r.aru8ServiceProvider, v.aru8ServiceProvider, TSP_NAME_MAX_LEN) != 0 &&
        (ret = TSP_ModifyOutProviderName(ts, g, const_cast<U8*>(v.aru8ServiceProvider), v.u8ServiceProviderLen, p)) != 0)
        return ret;
    for (U32 i = 0; i < es.u16IndexListNum; i++)
        if (p->pOutputPID[es.aru16IndexList[i]].u16PID != oldES[i])
            TSP_ModifyOutESPID(g, p->pOutputPID[es.aru16IndexList[i]].u16PID, es.aru16IndexList[i], p);
    return 0;
}
