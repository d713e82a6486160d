// Removal of output-stream records by array index: predecessor searches, the
// cascade from a stream down to its PIDs, descriptors and tables, and the
// single-record unlinkers that the deletions by input identity use.
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/SItable.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_del.h"
#include <cstring>
#include <vector>

namespace {

U32 PIDCap(const Output_TSInfo* p) { return p->pOutputPID ? p->u32OutputPIDNumber : 0; }
U32 ProgCap(const Output_TSInfo* p) { return p->pOutputProgram ? p->u32OutputProgramNumber : 0; }
U32 TSCap(const Output_TSInfo* p) { return p->pOutputTS ? p->u32OutputTSNumber : 0; }
U32 DescCap(const Output_TSInfo* p) { return p->pDescriptor ? p->u32OutputDescriptorNumber : 0; }
U32 TableCap(const Output_TSInfo* p) { return p->pOutputTable ? p->u32OutputTableNumber : 0; }

bool ProgValid(const Output_TSInfo* p, U32 i) { return i < ProgCap(p) && p->pOutputProgram[i].u8ValidFlag == 1; }
bool PIDValid(const Output_TSInfo* p, U32 i) { return i < PIDCap(p) && p->pOutputPID[i].u8ValidFlag == 1; }
bool DescValid(const Output_TSInfo* p, U32 i) { return i < DescCap(p) && p->pDescriptor[i].u8ValidFlag == 1; }

// Position of an index in a list, or -1.
int Position(const IndexInfoList_t& l, U16 u16Index)
{
    for (U32 i = 0; i < l.u16IndexListNum; i++)
        if (l.aru16IndexList[i] == u16Index)
            return (int)i;
    return -1;
}

// Next link of a PID record as a 16-bit head value.
U16 NextOf(const Output_TSPID& r) { return (U16)(r.u32NextPIDIndex & 0xFFFFu); }

// Takes a PID record out of a counted list: head or predecessor gets its link.
void UnlinkPID(Output_TSInfo* p, U16& u16Head, U16 u16Prev, U16 u16Index)
{
    if (u16Prev == TSP_INVALID_INDEX)
        u16Head = NextOf(p->pOutputPID[u16Index]);
    else
        p->pOutputPID[u16Prev].u32NextPIDIndex = p->pOutputPID[u16Index].u32NextPIDIndex;
}

void Decrement(U16& u16Count)
{
    if (u16Count > 0)
        u16Count--;
}

// CA descriptors naming a deleted ECM are taken out of its owner's loop; a
// long loop that shrinks to 188 bytes moves back inline.
void CleanCaDescriptors(Output_TSInfo* p, U16& u16Len, U8* pu8Inline, U16& u16DescIndex, U16 u16CaPID, bool bProgram,
                        U16 u16Owner)
{
    if (u16Len <= TSP_INFO_MAX_LEN) {
        if (TSP_DelCaDescriptors(pu8Inline, &u16Len, u16CaPID) != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_DelCaDescriptors error\n", LOG_POS);
        return;
    }
    // The record must be this owner's own loop before it is edited or released.
    const bool bOwned = DescValid(p, u16DescIndex) &&
                        (bProgram ? p->pDescriptor[u16DescIndex].u16ProgramIndex == u16Owner
                                  : p->pDescriptor[u16DescIndex].u16PIDIndex == u16Owner);
    if (!bOwned || u16Len > TSP_DESC_INFO_MAX_LEN) {
        if (bProgram)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d TSP_DelOutputPID OutProgIndex:%d u16ProInfoDescriptorIndex:%d out of range\n",
                       LOG_POS, u16Owner, u16DescIndex);
        else
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d TSP_DelOutputPID OutPidIndex:%d u16PidInfoDescriptorIndex:%d out of range\n",
                       LOG_POS, u16Owner, u16DescIndex);
        return;
    }
    TSDescriptor& d = p->pDescriptor[u16DescIndex];
    if (TSP_DelCaDescriptors(d.u8DescriptorInfo, &u16Len, u16CaPID) != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_DelCaDescriptors error\n", LOG_POS);
    if (u16Len > TSP_INFO_MAX_LEN)
        return;
    const U16 u16Keep = u16Len;
    memset(pu8Inline, 0, TSP_INFO_MAX_LEN);
    memcpy(pu8Inline, d.u8DescriptorInfo, u16Keep);
    const U32 ret = bProgram ? TSP_DelOutputDescriptor(u16DescIndex, p) : TSP_DelOutputEsDescriptor(u16DescIndex, p);
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d release descriptor[%u] error[0x%x]\n", LOG_POS,
                   u16DescIndex, ret);
    u16DescIndex = TSP_INVALID_INDEX;
    u16Len = u16Keep;
}

// The owners' loops of an ECM record that is being deleted.
void CleanEcmOwner(Output_TSInfo* p, const Output_TSPID& ecm)
{
    if (ecm.u8PIDType == PID_TYPE_PS_ECMPID && ProgValid(p, ecm.u32ProgramIndex)) {
        Output_TSProgram& pr = p->pOutputProgram[ecm.u32ProgramIndex];
        CleanCaDescriptors(p, pr.u16ProgramInfoLength, pr.aru8ProgramInfo, pr.u16ProgramInfoDescriptorIndex,
                           ecm.u16OldPID, true, (U16)ecm.u32ProgramIndex);
    } else if (ecm.u8PIDType == PID_TYPE_ES_ECMPID && PIDValid(p, ecm.u16ESPIDIndex)) {
        Output_TSPID& es = p->pOutputPID[ecm.u16ESPIDIndex];
        CleanCaDescriptors(p, es.u16ESInfoLength, es.aru8ESInfo, es.u16ESInfoDescriptorIndex, ecm.u16OldPID, false,
                           ecm.u16ESPIDIndex);
    }
}

// The ES-information descriptor record of an elementary stream, released only
// when that record really belongs to the stream; otherwise the link is dropped.
void ReleaseEsDescriptor(Output_TSInfo* p, U16 u16PID)
{
    Output_TSPID& r = p->pOutputPID[u16PID];
    const U16 d = r.u16ESInfoDescriptorIndex;
    if (d == TSP_INVALID_INDEX)
        return;
    if (DescValid(p, d) && p->pDescriptor[d].u16PIDIndex == u16PID) {
        if (TSP_DelOutputEsDescriptor(d, p) != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_DelOutputEsDescriptor[%u] error\n",
                       LOG_POS, d);
    }
    r.u16ESInfoDescriptorIndex = TSP_INVALID_INDEX;
}

U32 DelTableChain(const char* pcFunc, const char* pcWalker, U16 u16TS, Output_TSInfo* p,
                  U32 (*walk)(U16, const Output_TSInfo*, IndexInfoList_t*), U16 Output_TSStream::*pHead)
{
    if (p == nullptr || u16TS >= TSCap(p)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,pstParamTS[%p],u16OutTSIndex[%u]\r\n",
                   pcFunc, __LINE__, (void*)p, u16TS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t l;
    U32 ret = walk(u16TS, p, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]%s Error:enErrCode[%X],u16OutTSIndex[%u]\r\n",
                   pcFunc, __LINE__, pcWalker, ret, u16TS);
        return ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        const U16 t = l.aru16IndexList[i];
        if (t >= TableCap(p))
            continue;
        memset(&p->pOutputTable[t], 0, sizeof(TSTable));
        p->pOutputTable[t].u16Index = TSP_INVALID_INDEX;
    }
    p->pOutputTS[u16TS].*pHead = TSP_INVALID_INDEX;
    return 0;
}

// Common part of the other-PID and EMM unlinkers.
U32 DelOneStreamPID(const char* pcFunc, U16 u16TS, U16 u16PID, Output_TSInfo* p, bool bEMM)
{
    if (p == nullptr || u16TS >= TSCap(p) || u16PID >= PIDCap(p)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", (long)syscall(SYS_gettid),
                   pcFunc, __LINE__);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t l;
    U32 ret = bEMM ? TSP_GetOutTSEMMPIDIndexList(u16TS, p, &l) : TSP_GetOutTSOtherPIDIndexList(u16TS, p, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s return error\r\n\n", (long)syscall(SYS_gettid),
                   pcFunc, __LINE__, bEMM ? "TSP_GetOutTSEMMPIDIndexList" : "TSP_GetOutTSOtherPIDIndexList");
        return ret;
    }
    const int pos = Position(l, u16PID);
    if (pos < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   bEMM ? "%ld:%s:%d the EMM pid being deleted don't exist in ts\r\n\n"
                        : "%ld:%s:%d the other pid being deleted don't exist in ts\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__);
        return TSP_ERR_NOT_IN_LIST;
    }
    Output_TSStream& ts = p->pOutputTS[u16TS];
    U16& head = bEMM ? ts.u16EMMPIDIndex : ts.u16OtherPIDIndex;
    U16& count = bEMM ? ts.u16EMMPIDNumber : ts.u16OtherPIDNum;
    UnlinkPID(p, head, pos == 0 ? TSP_INVALID_INDEX : l.aru16IndexList[pos - 1], u16PID);
    memset(&p->pOutputPID[u16PID], 0, sizeof(Output_TSPID));
    p->pOutputPID[u16PID].u32PIDIndex = TSP_INVALID_INDEX;
    if (count == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   bEMM ? "%ld:%s:%d TS index[%u] EMMPIDNum smaller than 0 \r\n\n"
                        : "%ld:%s:%d TS index[%u] OtherPIDNum smaller than 0 \r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16TS);
        return TSP_ERR_NOT_ENOUGH;
    }
    count--;
    return 0;
}

// Common part of the PS-ECM and ES-ECM unlinkers.
U32 DelOneEcm(const char* pcFunc, U16 u16PID, Output_TSInfo* p, U8 u8Type)
{
    if (p == nullptr || u16PID >= PIDCap(p) || p->pOutputPID[u16PID].u8PIDType != u8Type) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", (long)syscall(SYS_gettid),
                   pcFunc, __LINE__);
        return TSP_ERR_INPUT;
    }
    U16 prev = TSP_INVALID_INDEX;
    U32 ret = TSP_GetPrevOutputPIDIndex(u16PID, p, &prev);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [%s:%d]TSP_GetPrevOutputPID Error:enErrCode[%X],u16OutPIDIndex[%u]\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, pcFunc, __LINE__, ret, u16PID);
        return ret;
    }
    Output_TSPID r = p->pOutputPID[u16PID];
    if (u8Type == PID_TYPE_PS_ECMPID) {
        Output_TSProgram& pr = p->pOutputProgram[r.u32ProgramIndex];
        UnlinkPID(p, pr.u16PSECMPIDIndex, prev, u16PID);
        Decrement(pr.u16PSECMPIDNumber);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d PS_ECMPID Index[%u] Pid [%u] has been deleted \r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16PID, r.u16PID);
    } else {
        Output_TSPID& es = p->pOutputPID[r.u16ESPIDIndex];
        UnlinkPID(p, es.u16ESECMPIDIndex, prev, u16PID);
        Decrement(es.u16ESECMPIDNumber);
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d ES_ECMPID Index[%u] Pid [%u] has been deleted \r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16PID, r.u16PID);
    }
    // The program's CA descriptors must not keep naming an ECM that is gone.
    CleanEcmOwner(p, r);
    memset(&p->pOutputPID[u16PID], 0, sizeof(Output_TSPID));
    p->pOutputPID[u16PID].u32PIDIndex = TSP_INVALID_INDEX;
    if (ProgValid(p, r.u32ProgramIndex))
        p->pOutputProgram[r.u32ProgramIndex].u8PMTChangeFlag = 1;
    return 0;
}

} // namespace

// ---------------------------------------------------------------------------
// Predecessor searches
// ---------------------------------------------------------------------------

U32 TSP_GetPrevOutputPIDIndex(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS, U16* pu16PrevPIDIndex)
{
    if (pstParamTS == nullptr || pu16PrevPIDIndex == nullptr || u16OutPIDIndex >= PIDCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Input Error:pstParamTS[%p],u16OutPIDIndex[%u],pu16PrevPIDIndex[%p]\r\n", __func__, __LINE__,
                   (void*)pstParamTS, u16OutPIDIndex, (void*)pu16PrevPIDIndex);
        return TSP_ERR_INPUT;
    }
    const Output_TSPID& r = pstParamTS->pOutputPID[u16OutPIDIndex];
    IndexInfoList_t l;
    l.u16IndexListNum = 0;
    // Owner fields come from records: a value a link cannot hold is refused.
    auto owner = [&](U32 v) -> U16 { return v >= TSP_INVALID_INDEX ? (U16)TSP_INVALID_INDEX : (U16)v; };
    U32 ret;
    switch (r.u8PIDType) {
    case PID_TYPE_PCRPID:
        *pu16PrevPIDIndex = TSP_INVALID_INDEX;
        return 0;
    case PID_TYPE_ESPID:
        // Filtered streams stay in the chain, so the raw chain is searched.
        ret = TSP_GetOutProgAllESPIDIndexList(owner(r.u32ProgramIndex), pstParamTS, &l);
        break;
    case PID_TYPE_EMMPID:
        ret = TSP_GetOutTSEMMPIDIndexList(owner(r.u32TSIndex), pstParamTS, &l);
        break;
    case PID_TYPE_PS_ECMPID:
        ret = TSP_GetOutProgPSECMPIDIndexList(owner(r.u32ProgramIndex), pstParamTS, &l);
        break;
    case PID_TYPE_ES_ECMPID:
        ret = TSP_GetOutESECMPIDIndexList(r.u16ESPIDIndex, pstParamTS, &l);
        break;
    case PID_TYPE_OTHERPID:
        ret = TSP_GetOutTSOtherPIDIndexList(owner(r.u32TSIndex), pstParamTS, &l);
        break;
    default:
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Error,unknown pid type:u16OutPIDIndex[%u],u8PIDType[%u]\r\n", __func__, __LINE__,
                   u16OutPIDIndex, r.u8PIDType);
        return ZR_ERR_TSP_TS_ERROR;
    }
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]walker error[%X] u16OutPIDIndex[%u]\r\n", __func__,
                   __LINE__, ret, u16OutPIDIndex);
        return ret;
    }
    if (l.u16IndexListNum == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetPrevOutputPIDIndex error:u16OutPIDIndex[%u] u16IndexListNum[%u]\r\n", __func__,
                   __LINE__, u16OutPIDIndex, l.u16IndexListNum);
        return ZR_ERR_TSP_TS_ERROR;
    }
    const int pos = Position(l, u16OutPIDIndex);
    if (pos < 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetPrevOutputPIDIndex error:u16OutPIDIndex[%u] can't find in stIndexList\r\n", __func__,
                   __LINE__, u16OutPIDIndex);
        return ZR_ERR_TSP_TS_ERROR;
    }
    *pu16PrevPIDIndex = pos == 0 ? (U16)TSP_INVALID_INDEX : l.aru16IndexList[pos - 1];
    return 0;
}

U32 TSP_GetPrevOutputDescIndex(U16 u16OutDescIndex, Output_TSInfo* pstParamTS, U16* pu16PrevDescIndex)
{
    if (pstParamTS == nullptr || pu16PrevDescIndex == nullptr || u16OutDescIndex >= DescCap(pstParamTS))
        return TSP_ERR_INPUT;
    const TSDescriptor& d = pstParamTS->pDescriptor[u16OutDescIndex];
    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSDescIndexList(d.u16TSIndex, pstParamTS, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetOutTSDescIndexList Error:u16OutProgIndex[%u],u16OutTSIndex[%u],enErrCode[%08X]\r\n",
                   __func__, __LINE__, d.u16ProgramIndex, d.u16TSIndex, ret);
        return ret;
    }
    const int pos = Position(l, u16OutDescIndex);
    if (pos < 0)
        return TSP_ERR_NOT_ENOUGH;
    *pu16PrevDescIndex = pos == 0 ? (U16)TSP_INVALID_INDEX : l.aru16IndexList[pos - 1];
    return 0;
}

U32 TSP_GetPrevOutputProgIndex(U16 u16OutProgIndex, Output_TSInfo* pstParamTS, U16* pu16PrevProgIndex)
{
    if (pstParamTS == nullptr || pu16PrevProgIndex == nullptr || u16OutProgIndex >= ProgCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Input Error:pstParamTS[%p],u16OutProgIndex[%u],pu16PrevProgIndex[%p]\r\n", __func__,
                   __LINE__, (void*)pstParamTS, u16OutProgIndex, (void*)pu16PrevProgIndex);
        return TSP_ERR_INPUT;
    }
    const U16 u16TS = pstParamTS->pOutputProgram[u16OutProgIndex].u16TSIndex;
    IndexInfoList_t l;
    U32 ret = TSP_GetOutTSProgIndexList(u16TS, pstParamTS, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetOutTSProgIndexList Error:u16OutProgIndex[%u],u16OutTSIndex[%u],enErrCode[%08X]\r\n",
                   __func__, __LINE__, u16OutProgIndex, u16TS, ret);
        return ret;
    }
    const int pos = Position(l, u16OutProgIndex);
    if (pos < 0)
        return ZR_ERR_TSP_TS_ERROR;
    *pu16PrevProgIndex = pos == 0 ? (U16)TSP_INVALID_INDEX : l.aru16IndexList[pos - 1];
    return 0;
}

U32 TSP_GetOutPIDESECMPIDIndexList(U16 u16OutPIDIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    if (pstIndexList == nullptr || pstParamTS == nullptr || u16OutPIDIndex >= PIDCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Input Error:pstIndexList[%p],pstParamTS[%p],u16OutPIDIndex[%u]\r\n", __func__, __LINE__,
                   (void*)pstIndexList, (const void*)pstParamTS, u16OutPIDIndex);
        return TSP_ERR_INPUT;
    }
    pstIndexList->u16IndexListNum = 0;
    const Output_TSPID& es = pstParamTS->pOutputPID[u16OutPIDIndex];
    if (es.u16ESECMPIDNumber == 0)
        return 0;
    const U32 cap = PIDCap(pstParamTS);
    U32 i = es.u16ESECMPIDIndex;
    while (i < cap) {
        if (pstIndexList->u16IndexListNum >= TSP_INDEX_LIST_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Error:Too many ESECMPID\r\n", __func__,
                       __LINE__);
            return TSP_ERR_LIST_RANGE;
        }
        pstIndexList->aru16IndexList[pstIndexList->u16IndexListNum++] = (U16)i;
        i = pstParamTS->pOutputPID[i].u32NextPIDIndex & 0xFFFFu;
    }
    if (pstIndexList->u16IndexListNum != es.u16ESECMPIDNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Error:ESECMPID Number Not the same,u16IndexListNum[%u],u16ESECMPIDNumber[%u]\r\n", __func__,
                   __LINE__, pstIndexList->u16IndexListNum, es.u16ESECMPIDNumber);
        return ZR_ERR_TSP_TS_ERROR;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Cascade by output index
// ---------------------------------------------------------------------------

namespace {

// Takes a descriptor record out of its stream's chain, clears it and counts it
// off; d keeps its old contents so the caller can drop its owner's link.
U32 UnchainOutputDescriptor(Output_TSInfo* p, U16 u16Index, TSDescriptor& d, const char* pszFunc)
{
    d = p->pDescriptor[u16Index];
    U16 prev = TSP_INVALID_INDEX;
    const U32 ret = TSP_GetPrevOutputDescIndex(u16Index, p, &prev);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetPrevOutputDescIndex Error:u16OutDescIndex[%u],enErrCode[%08X]\r\n", pszFunc,
                   __LINE__, u16Index, ret);
        return ret;
    }
    Output_TSStream& ts = p->pOutputTS[d.u16TSIndex];
    if (prev == TSP_INVALID_INDEX)
        ts.u16DescriptorIndex = d.u16NextDescriptorIndex;
    else
        p->pDescriptor[prev].u16NextDescriptorIndex = d.u16NextDescriptorIndex;
    memset(&p->pDescriptor[u16Index], 0, sizeof(TSDescriptor));
    Decrement(ts.u16DescriptorNum);
    return 0;
}

} // namespace

zrErrCode TSP_DelOutputDescriptor(U16 u16OutDescIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutDescIndex >= DescCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error:pstParamTS[%p],u16InDescIndex[%u]\r\n",
                   __func__, __LINE__, (void*)pstParamTS, u16OutDescIndex);
        return (zrErrCode)TSP_ERR_INPUT;
    }
    TSDescriptor d{};
    const U32 ret = UnchainOutputDescriptor(pstParamTS, u16OutDescIndex, d, __func__);
    if (ret != 0)
        return (zrErrCode)ret;
    // Only the program that really points at this record loses its loop.
    if (d.u16ProgramIndex < ProgCap(pstParamTS)) {
        Output_TSProgram& pr = pstParamTS->pOutputProgram[d.u16ProgramIndex];
        if (pr.u16ProgramInfoDescriptorIndex == u16OutDescIndex) {
            pr.u16ProgramInfoDescriptorIndex = TSP_INVALID_INDEX;
            pr.u16ProgramInfoLength = 0;
        }
    }
    return ZR_SUCCESS;
}

zrErrCode TSP_DelOutputEsDescriptor(U16 u16OutDescIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutDescIndex >= DescCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error:pstParamTS[%p],u16InDescIndex[%u]\r\n",
                   __func__, __LINE__, (void*)pstParamTS, u16OutDescIndex);
        return ZR_ERR_TSP_TS_ERROR;
    }
    TSDescriptor d{};
    const U32 ret = UnchainOutputDescriptor(pstParamTS, u16OutDescIndex, d, __func__);
    if (ret != 0)
        return (zrErrCode)ret;
    if (d.u16PIDIndex < PIDCap(pstParamTS)) {
        Output_TSPID& r = pstParamTS->pOutputPID[d.u16PIDIndex];
        if (r.u16ESInfoDescriptorIndex == u16OutDescIndex) {
            r.u16ESInfoDescriptorIndex = TSP_INVALID_INDEX;
            r.u16ESInfoLength = 0;
        }
    }
    return ZR_SUCCESS;
}

zrErrCode TSP_DelOutputPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutPIDIndex >= PIDCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,pstParamTS[%p],u16OutPIDIndex[%u]\r\n",
                   __func__, __LINE__, (void*)pstParamTS, u16OutPIDIndex);
        return (zrErrCode)TSP_ERR_INPUT;
    }
    Output_TSInfo* p = pstParamTS;
    if (p->pOutputPID[u16OutPIDIndex].u8PIDType == PID_TYPE_ESPID) {
        IndexInfoList_t l;
        U32 ret = TSP_GetOutESECMPIDIndexList(u16OutPIDIndex, p, &l);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "[%s:%d]TSP_GetOutESECMPIDIndexList Error:enErrCode[%X],u16OutPIDIndex[%u]\r\n", __func__,
                       __LINE__, ret, u16OutPIDIndex);
            return (zrErrCode)ret;
        }
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            ret = TSP_DelOutputPID(l.aru16IndexList[i], p);
            if (ret != 0) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                           "[%s:%d]TSP_DelOutputPID Error:enErrCode[%X],ESECM[%u][%u]\r\n", __func__, __LINE__, ret, i,
                           l.aru16IndexList[i]);
                return (zrErrCode)ret;
            }
        }
    }
    U16 prev = TSP_INVALID_INDEX;
    U32 ret = TSP_GetPrevOutputPIDIndex(u16OutPIDIndex, p, &prev);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetPrevOutputPIDIndex Error:enErrCode[%X],u16OutPIDIndex[%u]\r\n", __func__, __LINE__,
                   ret, u16OutPIDIndex);
        return (zrErrCode)ret;
    }
    const Output_TSPID r = p->pOutputPID[u16OutPIDIndex];
    switch (r.u8PIDType) {
    case PID_TYPE_PCRPID:
        // Only the program whose PCR this is loses it (a replaced PCR does not).
        if (r.u32ProgramIndex < ProgCap(p) && p->pOutputProgram[r.u32ProgramIndex].u16PCRIndex == u16OutPIDIndex) {
            p->pOutputProgram[r.u32ProgramIndex].u16PCRIndex = TSP_INVALID_INDEX;
            p->pOutputProgram[r.u32ProgramIndex].u16PCRPID = 0x1FFF;
        }
        break;
    case PID_TYPE_ESPID: {
        Output_TSProgram& pr = p->pOutputProgram[r.u32ProgramIndex];
        UnlinkPID(p, pr.u16PIDIndex, prev, u16OutPIDIndex);
        Decrement(pr.u16ESNumber);
        ReleaseEsDescriptor(p, u16OutPIDIndex);
        break;
    }
    case PID_TYPE_EMMPID: {
        Output_TSStream& ts = p->pOutputTS[r.u32TSIndex];
        UnlinkPID(p, ts.u16EMMPIDIndex, prev, u16OutPIDIndex);
        Decrement(ts.u16EMMPIDNumber);
        break;
    }
    case PID_TYPE_PS_ECMPID: {
        Output_TSProgram& pr = p->pOutputProgram[r.u32ProgramIndex];
        UnlinkPID(p, pr.u16PSECMPIDIndex, prev, u16OutPIDIndex);
        Decrement(pr.u16PSECMPIDNumber);
        CleanEcmOwner(p, r);
        break;
    }
    case PID_TYPE_ES_ECMPID: {
        Output_TSPID& es = p->pOutputPID[r.u16ESPIDIndex];
        UnlinkPID(p, es.u16ESECMPIDIndex, prev, u16OutPIDIndex);
        Decrement(es.u16ESECMPIDNumber);
        CleanEcmOwner(p, r);
        break;
    }
    case PID_TYPE_OTHERPID: {
        Output_TSStream& ts = p->pOutputTS[r.u32TSIndex];
        UnlinkPID(p, ts.u16OtherPIDIndex, prev, u16OutPIDIndex);
        Decrement(ts.u16OtherPIDNum);
        break;
    }
    default:
        break;
    }
    memset(&p->pOutputPID[u16OutPIDIndex], 0, sizeof(Output_TSPID));
    return ZR_SUCCESS;
}

// Every valid PID record that still names the program as its owner (a PCR
// that was replaced, members cut off a broken chain) goes with the program.
void TSP_ReleaseProgramOrphans(Output_TSInfo* p, U16 u16Prog)
{
    for (U32 i = 0; i < PIDCap(p); i++) {
        Output_TSPID& r = p->pOutputPID[i];
        if (r.u8ValidFlag != 1 || r.u32ProgramIndex != u16Prog)
            continue;
        if (r.u8PIDType == PID_TYPE_PCRPID || r.u8PIDType == PID_TYPE_ESPID || r.u8PIDType == PID_TYPE_PS_ECMPID ||
            r.u8PIDType == PID_TYPE_ES_ECMPID)
            memset(&r, 0, sizeof(r));
    }
}

zrErrCode TSP_DelOutputProg(U16 u16OutProgIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutProgIndex >= ProgCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,pstParamTS[%p],u16OutProgIndex[%u]\r\n",
                   __func__, __LINE__, (void*)pstParamTS, u16OutProgIndex);
        return (zrErrCode)TSP_ERR_INPUT;
    }
    Output_TSInfo* p = pstParamTS;
    Output_TSProgram& pr = p->pOutputProgram[u16OutProgIndex];
    if (pr.u16PCRIndex < PIDCap(p)) {
        U32 ret = TSP_DelOutputPID(pr.u16PCRIndex, p);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]TSP_DelOutputPID PCR Error:enErrCode[%X],u16Index[%u]\r\n",
                       __func__, __LINE__, ret, pr.u16PCRIndex);
            return (zrErrCode)ret;
        }
    }
    IndexInfoList_t l;
    U32 ret = TSP_GetOutProgAllESPIDIndexList(u16OutProgIndex, p, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetOutProgESPIDIndexList Error:enErrCode[%X],u16OutProgIndex[%u]\r\n", __func__,
                   __LINE__, ret, u16OutProgIndex);
        return (zrErrCode)ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        ret = TSP_DelOutputPID(l.aru16IndexList[i], p);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]TSP_DelOutputPID Error:enErrCode[%X],ES[%u][%u]\r\n",
                       __func__, __LINE__, ret, i, l.aru16IndexList[i]);
            return (zrErrCode)ret;
        }
    }
    ret = TSP_GetOutProgPSECMPIDIndexList(u16OutProgIndex, p, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetOutProgPSECMPIDIndexList Error:enErrCode[%X],u16OutProgIndex[%u]\r\n", __func__,
                   __LINE__, ret, u16OutProgIndex);
        return (zrErrCode)ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        ret = TSP_DelOutputPID(l.aru16IndexList[i], p);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "[%s:%d]TSP_DelOutputPID Error:enErrCode[%X],PSECM[%u][%u]\r\n", __func__, __LINE__, ret, i,
                       l.aru16IndexList[i]);
            return (zrErrCode)ret;
        }
    }
    if (pr.u16ProgramInfoDescriptorIndex != TSP_INVALID_INDEX && pr.u16ProgramInfoDescriptorIndex < DescCap(p)) {
        const U16 d = pr.u16ProgramInfoDescriptorIndex;
        if (DescValid(p, d) && p->pDescriptor[d].u16ProgramIndex == u16OutProgIndex) {
            ret = TSP_DelOutputDescriptor(d, p);
            if (ret != 0) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]TSP_DelOutputDescriptor Error:enErrCode[%X]\r\n",
                           __func__, __LINE__, ret);
                return (zrErrCode)ret;
            }
        }
        pr.u16ProgramInfoDescriptorIndex = TSP_INVALID_INDEX;
    }
    U16 prev = TSP_INVALID_INDEX;
    ret = TSP_GetPrevOutputProgIndex(u16OutProgIndex, p, &prev);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]TSP_GetPrevOutputProgIndex Error:enErrCode[%X],u16OutProgIndex[%u]\r\n", __func__, __LINE__,
                   ret, u16OutProgIndex);
        return (zrErrCode)ret;
    }
    Output_TSStream& ts = p->pOutputTS[pr.u16TSIndex];
    if (prev == TSP_INVALID_INDEX)
        ts.u16ProgramIndex = pr.u16NextProgramIndex;
    else
        p->pOutputProgram[prev].u16NextProgramIndex = pr.u16NextProgramIndex;
    Decrement(ts.u16ProgramNum);
    TSP_ReleaseProgramOrphans(p, u16OutProgIndex);
    memset(&pr, 0, sizeof(pr));
    return ZR_SUCCESS;
}

zrErrCode TSP_DelOutputNitTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return (zrErrCode)DelTableChain(__func__, "TSP_GetOutTSNITTableIndexList", u16OutTSIndex, pstParamTS,
                                    TSP_GetOutTSNITTableIndexList, &Output_TSStream::u16NITIndex);
}

zrErrCode TSP_DelOutputBATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return (zrErrCode)DelTableChain(__func__, "TSP_GetOutTSBATTableIndexList", u16OutTSIndex, pstParamTS,
                                    TSP_GetOutTSBATTableIndexList, &Output_TSStream::u16BATIndex);
}

zrErrCode TSP_DelOutputTOTTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return (zrErrCode)DelTableChain(__func__, "TSP_GetOutTSTOTTableIndexList", u16OutTSIndex, pstParamTS,
                                    TSP_GetOutTSTOTTableIndexList, &Output_TSStream::u16TOTIndex);
}

zrErrCode TSP_DelOutputOtherNitTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return (zrErrCode)DelTableChain(__func__, "TSP_GetOutTSOtherNitTableIndexList", u16OutTSIndex, pstParamTS,
                                    TSP_GetOutTSOtherNitTableIndexList, &Output_TSStream::u16OtherNITIndex);
}

zrErrCode TSP_DelOutputOtherSdtTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return (zrErrCode)DelTableChain(__func__, "TSP_GetOutTSOtherSdtTableIndexList", u16OutTSIndex, pstParamTS,
                                    TSP_GetOutTSOtherSdtTableIndexList, &Output_TSStream::u16OtherSDTIndex);
}

U32 TSP_DelOutputTsTable(U16 u16OutputTSIndex, Output_TSInfo* pstTS)
{
    if (pstTS == nullptr || u16OutputTSIndex >= TSCap(pstTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSStream& ts = pstTS->pOutputTS[u16OutputTSIndex];
    if (ts.u16ProgramNum != 0 || ts.u16OtherPIDNum != 0 || ts.u16EMMPIDNumber != 0)
        return 0;
    struct Remover {
        zrErrCode (*fn)(U16, Output_TSInfo*);
        const char* name;
    };
    static const Remover removers[] = {
        {TSP_DelOutputNitTable, "TSP_DelOutputNitTable"},
        {TSP_DelOutputBATTable, "TSP_DelOutputBATTable"},
        {TSP_DelOutputTOTTable, "TSP_DelOutputTOTTable"},
        {TSP_DelOutputOtherNitTable, "TSP_DelOutputOtherNitTable"},
        {TSP_DelOutputOtherSdtTable, "TSP_DelOutputOtherSdtTable"},
    };
    for (const Remover& r : removers) {
        U32 ret = r.fn(u16OutputTSIndex, pstTS);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]%s Error:enErrCode[%X],u16OutTSIndex[%u]\r\n",
                       __func__, __LINE__, r.name, ret, u16OutputTSIndex);
            return ret;
        }
    }
    return 0;
}

void TSP_ClearStreamRecord(Output_TSInfo* p, U16 u16TS)
{
    if (p == nullptr || u16TS >= TSCap(p))
        return;
    // Table chains whose walk fails (a broken chain) are swept below instead.
    p->pOutputTS[u16TS].u16ProgramNum = p->pOutputTS[u16TS].u16OtherPIDNum = p->pOutputTS[u16TS].u16EMMPIDNumber = 0;
    TSP_DelOutputTsTable(u16TS, p);
    // Whatever still names the stream as owner goes with it, so no record
    // outlives the stream that nothing reaches it through.
    for (U32 i = 0; i < ProgCap(p); i++) {
        Output_TSProgram& r = p->pOutputProgram[i];
        if (r.u8ValidFlag == 1 && r.u16TSIndex == u16TS) {
            TSP_ReleaseProgramOrphans(p, (U16)i);
            memset(&r, 0, sizeof(r));
        }
    }
    for (U32 i = 0; i < PIDCap(p); i++) {
        Output_TSPID& r = p->pOutputPID[i];
        if (r.u8ValidFlag == 1 && r.u32TSIndex == u16TS)
            memset(&r, 0, sizeof(r));
    }
    for (U32 i = 0; i < DescCap(p); i++) {
        TSDescriptor& r = p->pDescriptor[i];
        if (r.u8ValidFlag == 1 && r.u16TSIndex == u16TS)
            memset(&r, 0, sizeof(r));
    }
    // Tables written before their owner was recorded may name stream 0
    // wrongly: a table that another stream's chain reaches is kept.
    std::vector<bool> reached(TableCap(p), false);
    for (U32 s = 0; s < TSCap(p); s++) {
        const Output_TSStream& o = p->pOutputTS[s];
        if (s == u16TS || o.u8ValidFlag != 1)
            continue;
        for (U16 head : {o.u16NITIndex, o.u16BATIndex, o.u16TDTIndex, o.u16TOTIndex, o.u16OtherNITIndex,
                         o.u16OtherSDTIndex}) {
            for (U32 i = head, n = 0; i < TableCap(p) && n < TableCap(p) && !reached[i]; n++) {
                reached[i] = true;
                i = p->pOutputTable[i].u16NextIndex;
            }
        }
    }
    for (U32 i = 0; i < TableCap(p); i++) {
        TSTable& r = p->pOutputTable[i];
        if (r.u8ValidFlag == 1 && r.u16TSIndex == u16TS && !reached[i]) {
            memset(&r, 0, sizeof(r));
            r.u16Index = TSP_INVALID_INDEX;
        }
    }
    memset(&p->pOutputTS[u16TS], 0, sizeof(Output_TSStream));
}

U32 TSP_ClearStreamsBeyondChannels(Output_TSInfo* p)
{
    U32 n = 0;
    for (U32 s = 0; p != nullptr && s < TSCap(p) && s < TSP_INVALID_INDEX; s++) {
        const Output_TSStream& ts = p->pOutputTS[s];
        if (ts.u8ValidFlag != 1 || ts.u16ChannelID <= TSP_MAX_CHANNEL_ID)
            continue;
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d stream[%u] of channel[%u] dropped\r\n\n", LOG_POS,
                   s, ts.u16ChannelID);
        TSP_ClearStreamRecord(p, (U16)s);
        n++;
    }
    return n;
}

zrErrCode TSP_DelOutputTS(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutTSIndex >= TSCap(pstParamTS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,pstParamTS[%p],u16OutTSIndex[%u]\r\n",
                   __func__, __LINE__, (void*)pstParamTS, u16OutTSIndex);
        return (zrErrCode)TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = pstParamTS;
    IndexInfoList_t l;
    struct Kind {
        U32 (*walk)(U16, const Output_TSInfo*, IndexInfoList_t*);
        const char* walker;
        const char* noun;
        bool program;
    };
    static const Kind kinds[] = {
        {TSP_GetOutTSEMMPIDIndexList, "TSP_GetOutTSEMMPIDIndexList", "EMM PID", false},
        {TSP_GetOutTSOtherPIDIndexList, "TSP_GetOutTSOtherPIDIndexList", "Other PID", false},
        {TSP_GetOutTSProgIndexList, "TSP_GetOutTSProgIndexList", "Program", true},
    };
    for (const Kind& k : kinds) {
        U32 ret = k.walk(u16OutTSIndex, p, &l);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]%s Error:enErrCode[%X],u16OutTSIndex[%u]\r\n",
                       __func__, __LINE__, k.walker, ret, u16OutTSIndex);
            return (zrErrCode)ret;
        }
        for (U32 i = 0; i < l.u16IndexListNum; i++) {
            ret = k.program ? TSP_DelOutputProg(l.aru16IndexList[i], p) : TSP_DelOutputPID(l.aru16IndexList[i], p);
            if (ret != 0) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]%s Error:enErrCode[%X],%s[%u][%u]\r\n",
                           __func__, __LINE__, k.program ? "TSP_DelOutputProg" : "TSP_DelOutputPID", ret, k.noun, i,
                           l.aru16IndexList[i]);
                return (zrErrCode)ret;
            }
        }
    }
    const Output_TSStream& ts = p->pOutputTS[u16OutTSIndex];
    if (ts.u16ProgramNum != 0 || ts.u16OtherPIDNum != 0 || ts.u16EMMPIDNumber != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]ts[%u] counts disagree with its lists: program[%u] other[%u] EMM[%u]; cleared anyway\r\n",
                   __func__, __LINE__, u16OutTSIndex, ts.u16ProgramNum, ts.u16OtherPIDNum, ts.u16EMMPIDNumber);
    TSP_ClearStreamRecord(p, u16OutTSIndex);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "delete output ts index[%u]", u16OutTSIndex);
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Single-record unlinkers of the input path
// ---------------------------------------------------------------------------

U32 TSP_DelOneOutputOtherPID(U16 u16OutTSIndex, U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    CARD_STATE_LOCK();
    return DelOneStreamPID(__func__, u16OutTSIndex, u16OutPIDIndex, pstParamTS, false);
}

U32 TSP_DelOneOutputEMMPID(U16 u16OutTSIndex, U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    CARD_STATE_LOCK();
    return DelOneStreamPID(__func__, u16OutTSIndex, u16OutPIDIndex, pstParamTS, true);
}

U32 TSP_DelOneOutputESPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr || u16OutPIDIndex >= PIDCap(pstParamTS) ||
        pstParamTS->pOutputPID[u16OutPIDIndex].u8PIDType != PID_TYPE_ESPID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    Output_TSInfo* p = pstParamTS;
    IndexInfoList_t l;
    U32 ret = TSP_GetOutPIDESECMPIDIndexList(u16OutPIDIndex, p, &l);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [%s:%d]TSP_GetOutPIDESECMPIDIndexList Error:enErrCode[%X],u16OutPIDIndex[%u]\r\n\n",
                   LOG_POS, __func__, __LINE__, ret, u16OutPIDIndex);
        return ret;
    }
    for (U32 i = 0; i < l.u16IndexListNum; i++) {
        ret = TSP_DelOutputPID(l.aru16IndexList[i], p);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d [%s:%d]TSP_DelOutputPID Error:enErrCode[%X],ESECM[%u][%u]\r\n\n", LOG_POS, __func__,
                       __LINE__, ret, i, l.aru16IndexList[i]);
            return ret;
        }
    }
    U16 prev = TSP_INVALID_INDEX;
    ret = TSP_GetPrevOutputPIDIndex(u16OutPIDIndex, p, &prev);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [%s:%d]TSP_GetPrevOutputPID Error:enErrCode[%X],u16OutPIDIndex[%u]\r\n\n", LOG_POS,
                   __func__, __LINE__, ret, u16OutPIDIndex);
        return ret;
    }
    const U32 u32Prog = p->pOutputPID[u16OutPIDIndex].u32ProgramIndex;
    Output_TSProgram& pr = p->pOutputProgram[u32Prog];
    UnlinkPID(p, pr.u16PIDIndex, prev, u16OutPIDIndex);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d ES PID Index[%u] Pid [%u] has been deleted \r\n\n",
               LOG_POS, u16OutPIDIndex, p->pOutputPID[u16OutPIDIndex].u16PID);
    ReleaseEsDescriptor(p, u16OutPIDIndex);
    memset(&p->pOutputPID[u16OutPIDIndex], 0, sizeof(Output_TSPID));
    p->pOutputPID[u16OutPIDIndex].u32PIDIndex = TSP_INVALID_INDEX;
    Decrement(pr.u16ESNumber);
    pr.u8PMTChangeFlag = 1;
    return 0;
}

U32 TSP_DelOneOutputPSECMPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    CARD_STATE_LOCK();
    return DelOneEcm(__func__, u16OutPIDIndex, pstParamTS, PID_TYPE_PS_ECMPID);
}

U32 TSP_DelOneOutputESECMPID(U16 u16OutPIDIndex, Output_TSInfo* pstParamTS)
{
    CARD_STATE_LOCK();
    return DelOneEcm(__func__, u16OutPIDIndex, pstParamTS, PID_TYPE_ES_ECMPID);
}

U32 TSP_DelAllPIDsInOneProgram(U16 u16ProgramIndex)
{
    CARD_STATE_LOCK();
    Output_TSInfo* p = TSP_GetTSParam();
    if (u16ProgramIndex >= ProgCap(p)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    // Every list is walked before anything is cleared, so a broken chain
    // leaves the program whole instead of pointing at cleared records.
    IndexInfoList_t ecm, es;
    U32 ret = TSP_GetOutProgPSECMPIDIndexList(u16ProgramIndex, p, &ecm);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutProgPSECMPIDIndexList return error\r\n\n",
                   LOG_POS);
        return ret;
    }
    ret = TSP_GetOutProgAllESPIDIndexList(u16ProgramIndex, p, &es);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutProgESPIDIndexList return error\r\n\n",
                   LOG_POS);
        return ret;
    }
    std::vector<IndexInfoList_t> esEcm(es.u16IndexListNum);
    for (U32 i = 0; i < es.u16IndexListNum; i++) {
        ret = TSP_GetOutESECMPIDIndexList(es.aru16IndexList[i], p, &esEcm[i]);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutESECMPIDIndexList return error\r\n\n",
                       LOG_POS);
            return ret;
        }
    }
    const Output_TSProgram& pr = p->pOutputProgram[u16ProgramIndex];
    if (pr.u16PCRIndex < PIDCap(p)) {
        // A PCR record that another program now owns is left to that program.
        Output_TSPID& pcr = p->pOutputPID[pr.u16PCRIndex];
        if (pcr.u32ProgramIndex == u16ProgramIndex)
            memset(&pcr, 0, sizeof(pcr));
    } else {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error. u16PCRIndex[%d] out of range.\n",
                   LOG_POS, pr.u16PCRIndex);
    }
    for (U32 i = 0; i < ecm.u16IndexListNum; i++)
        memset(&p->pOutputPID[ecm.aru16IndexList[i]], 0, sizeof(Output_TSPID));
    for (U32 i = 0; i < es.u16IndexListNum; i++) {
        for (U32 j = 0; j < esEcm[i].u16IndexListNum; j++)
            memset(&p->pOutputPID[esEcm[i].aru16IndexList[j]], 0, sizeof(Output_TSPID));
        ReleaseEsDescriptor(p, es.aru16IndexList[i]);
        memset(&p->pOutputPID[es.aru16IndexList[i]], 0, sizeof(Output_TSPID));
    }
    TSP_ReleaseProgramOrphans(p, u16ProgramIndex);
    return 0;
}
