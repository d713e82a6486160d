// Lists and lookups of the output-stream database: walkers that turn a
// linked list into an index list while checking it, tail getters for
// appending, and the key lookups of streams, programs and PIDs.
#include "Common/thread.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "TSprocess/tsp.h"
#include <cstring>

namespace {

enum class Owner { TS, Program, PID };

U32 OwnerCapacity(const Output_TSInfo* pst, Owner e)
{
    switch (e) {
    case Owner::TS:
        return pst->pOutputTS ? pst->u32OutputTSNumber : 0;
    case Owner::Program:
        return pst->pOutputProgram ? pst->u32OutputProgramNumber : 0;
    case Owner::PID:
        return pst->pOutputPID ? pst->u32OutputPIDNumber : 0;
    }
    return 0;
}

U32 PIDCapacity(const Output_TSInfo* pst)
{
    return pst->pOutputPID ? pst->u32OutputPIDNumber : 0;
}

// Appends one index; a full list is logged under the caller's name.
bool AppendIndex(const char* pcFunc, IndexInfoList_t* pstList, U16 u16Index)
{
    if (pstList->u16IndexListNum >= TSP_INDEX_LIST_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d IndexListNum[%u] out or range\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, pstList->u16IndexListNum);
        return false;
    }
    pstList->aru16IndexList[pstList->u16IndexListNum++] = u16Index;
    return true;
}

// Walk of a counted PID list (EMM, other, PS-ECM, ES-ECM). A chain can hold
// no more distinct records than the array, so a longer walk is a loop.
U32 WalkCountedPIDList(const char* pcFunc, U16 u16Owner, const Output_TSInfo* pst, U16 u16Count, U16 u16Head,
                       U8 u8Type, bool bHeadOutOfRangeIsEmpty, IndexInfoList_t* pstList)
{
    pstList->u16IndexListNum = 0;
    if (u16Count == 0)
        return ZR_SUCCESS;
    const U32 u32Cap = PIDCapacity(pst);
    if (u16Head >= u32Cap) {
        if (bHeadOutOfRangeIsEmpty) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d owner[%u] list length[0] != count[%u]\r\n\n", (long)syscall(SYS_gettid), pcFunc,
                       __LINE__, u16Owner, u16Count);
            return ZR_SUCCESS;
        }
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d owner[%u] head index[%u] out of range\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16Owner, u16Head);
        return TSP_ERR_LIST_RANGE;
    }
    U32 u32Index = u16Head;
    while (u32Index < u32Cap) {
        const Output_TSPID& r = pst->pOutputPID[u32Index];
        if (r.u8ValidFlag != TSP_RECORD_VALID || r.u8PIDType != u8Type) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d owner[%u] index[%u] ValidFlag[%u] PIDType[%u] error\r\n\n",
                       (long)syscall(SYS_gettid), pcFunc, __LINE__, u16Owner, u32Index, r.u8ValidFlag, r.u8PIDType);
            return TSP_ERR_INPUT;
        }
        if (!AppendIndex(pcFunc, pstList, (U16)r.u32PIDIndex))
            return TSP_ERR_LIST_RANGE;
        u32Index = r.u32NextPIDIndex & 0xFFFFu;
    }
    if (pstList->u16IndexListNum != u16Count)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d owner[%u] list length[%u] != count[%u]\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16Owner, pstList->u16IndexListNum, u16Count);
    return ZR_SUCCESS;
}

bool BadWalkArgs(const char* pcFunc, U16 u16Owner, const Output_TSInfo* pst, const void* pOut, Owner e)
{
    if (pst == nullptr || pOut == nullptr || u16Owner >= OwnerCapacity(pst, e)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", (long)syscall(SYS_gettid),
                   pcFunc, __LINE__);
        return true;
    }
    return false;
}

// Counted PID list of one owner record (stream, program or ES): the owner's
// count and head fields pick the list.
template <class Rec>
U32 WalkOwnedPIDList(const char* pcFunc, U16 u16Owner, const Output_TSInfo* pst, Owner e,
                     Rec* Output_TSInfo::*pRecs, U16 Rec::*pCount, U16 Rec::*pHead, U8 u8Type,
                     bool bHeadOutOfRangeIsEmpty, IndexInfoList_t* pstList)
{
    if (BadWalkArgs(pcFunc, u16Owner, pst, pstList, e))
        return TSP_ERR_INPUT;
    const Rec& r = (pst->*pRecs)[u16Owner];
    return WalkCountedPIDList(pcFunc, u16Owner, pst, r.*pCount, r.*pHead, u8Type, bHeadOutOfRangeIsEmpty, pstList);
}

// Elementary streams of a program. Filtered streams stay in the chain; the
// list that the PSI/SI and routing read leaves them out, while appending
// needs every member to find the real tail.
U32 WalkESList(U16 u16InProgIndex, const Output_TSInfo* pst, bool bWithFiltered, IndexInfoList_t* pstList)
{
    pstList->u16IndexListNum = 0;
    const Output_TSProgram& p = pst->pOutputProgram[u16InProgIndex];
    if (p.u16ESNumber == 0)
        return ZR_SUCCESS;
    const U32 u32Cap = PIDCapacity(pst);
    U32 u32Index = p.u16PIDIndex;
    U32 u32Steps = 0;
    while (u32Index < u32Cap) {
        if (++u32Steps > u32Cap) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d program[%u] ES list loops\r\n\n", LOG_POS,
                       u16InProgIndex);
            return TSP_ERR_LIST_RANGE;
        }
        const Output_TSPID& r = pst->pOutputPID[u32Index];
        if (r.u8ValidFlag != TSP_RECORD_VALID || r.u8PIDType != PID_TYPE_ESPID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d program[%u] index[%u] ValidFlag[%u] PIDType[%u] error\r\n\n", LOG_POS,
                       u16InProgIndex, u32Index, r.u8ValidFlag, r.u8PIDType);
            return TSP_ERR_INPUT;
        }
        if (bWithFiltered || r.u8PIDFilterFlag == 0) {
            if (r.u32PIDIndex >= 0xFFFFu) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d PID index[%u] own index[%u] invalid\r\n\n",
                           LOG_POS, u32Index, r.u32PIDIndex);
                return TSP_ERR_LIST_RANGE;
            }
            if (!AppendIndex(__func__, pstList, (U16)r.u32PIDIndex))
                return TSP_ERR_LIST_RANGE;
        }
        u32Index = r.u32NextPIDIndex & 0xFFFFu;
    }
    return ZR_SUCCESS;
}

// Chain of one stream's records (programs, tables) from its head. A link at
// or beyond the array ends the chain as 0xFFFF does. bNIT logs each member.
template <class Rec>
U32 WalkStreamChain(const char* pcFunc, U16 u16InTSIndex, const Rec* pRecs, U32 u32Cap, U16 u16Head,
                    const char* pcNoun, U16 Rec::*pOwn, U16 Rec::*pNext, bool bNIT, IndexInfoList_t* pstList)
{
    if (u16Head >= u32Cap) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS[%u] %s head[%u] out of range\r\n\n",
                   (long)syscall(SYS_gettid), pcFunc, __LINE__, u16InTSIndex, pcNoun, u16Head);
        return TSP_ERR_LIST_RANGE;
    }
    U32 u32Index = u16Head;
    while (u32Index < u32Cap) {
        const Rec& r = pRecs[u32Index];
        if (r.u8ValidFlag != TSP_RECORD_VALID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS[%u] %s[%u] ValidFlag[%u] error\r\n\n",
                       (long)syscall(SYS_gettid), pcFunc, __LINE__, u16InTSIndex, pcNoun, u32Index, r.u8ValidFlag);
            return TSP_ERR_INPUT;
        }
        if (bNIT && pstList->u16IndexListNum < TSP_INDEX_LIST_MAX)
            log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d VALID NIT Index is [%d]\r\n\n",
                       (long)syscall(SYS_gettid), pcFunc, __LINE__, (int)(r.*pOwn));
        if (!AppendIndex(pcFunc, pstList, r.*pOwn))
            return TSP_ERR_LIST_RANGE;
        u32Index = r.*pNext;
    }
    return ZR_SUCCESS;
}

// Table chain from a stream's head (no count).
U32 WalkTableList(const char* pcFunc, U16 u16InTSIndex, const Output_TSInfo* pst, IndexInfoList_t* pstList,
                  U16 Output_TSStream::*pHead, bool bNIT)
{
    if (BadWalkArgs(pcFunc, u16InTSIndex, pst, pstList, Owner::TS))
        return TSP_ERR_INPUT;
    pstList->u16IndexListNum = 0;
    const U16 u16Head = pst->pOutputTS[u16InTSIndex].*pHead;
    if (u16Head == TSP_INVALID_INDEX) {
        if (bNIT)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT Index is INVALID!!!\r\n\n",
                       (long)syscall(SYS_gettid), pcFunc, __LINE__);
        return ZR_SUCCESS;
    }
    const U32 u32Cap = pst->pOutputTable ? pst->u32OutputTableNumber : 0;
    return WalkStreamChain(pcFunc, u16InTSIndex, pst->pOutputTable, u32Cap, u16Head, "table", &TSTable::u16Index,
                           &TSTable::u16NextIndex, bNIT, pstList);
}

U16 LastOf(const IndexInfoList_t& st)
{
    return st.u16IndexListNum ? st.aru16IndexList[st.u16IndexListNum - 1] : (U16)TSP_INVALID_INDEX;
}

} // namespace

// ---------------------------------------------------------------------------
// List walkers
// ---------------------------------------------------------------------------

U32 TSP_GetOutTSProgIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    if (BadWalkArgs(__func__, u16InTSIndex, pstParamTS, pstIndexList, Owner::TS))
        return TSP_ERR_INPUT;
    pstIndexList->u16IndexListNum = 0;
    const Output_TSStream& ts = pstParamTS->pOutputTS[u16InTSIndex];
    if (ts.u16ProgramNum == 0)
        return ZR_SUCCESS;
    const U32 u32Cap = pstParamTS->pOutputProgram ? pstParamTS->u32OutputProgramNumber : 0;
    U32 ret = WalkStreamChain(__func__, u16InTSIndex, pstParamTS->pOutputProgram, u32Cap, ts.u16ProgramIndex,
                              "program", &Output_TSProgram::u16ProgramIndex, &Output_TSProgram::u16NextProgramIndex,
                              false, pstIndexList);
    if (ret != ZR_SUCCESS)
        return ret;
    if (pstIndexList->u16IndexListNum != ts.u16ProgramNum)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS[%u] list length[%u] != ProgramNum[%u]\r\n\n",
                   LOG_POS, u16InTSIndex, pstIndexList->u16IndexListNum, ts.u16ProgramNum);
    return ZR_SUCCESS;
}

U32 TSP_GetOutTSEMMPIDIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkOwnedPIDList(__func__, u16InTSIndex, pstParamTS, Owner::TS, &Output_TSInfo::pOutputTS,
                            &Output_TSStream::u16EMMPIDNumber, &Output_TSStream::u16EMMPIDIndex, PID_TYPE_EMMPID,
                            false, pstIndexList);
}

U32 TSP_GetOutTSOtherPIDIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkOwnedPIDList(__func__, u16InTSIndex, pstParamTS, Owner::TS, &Output_TSInfo::pOutputTS,
                            &Output_TSStream::u16OtherPIDNum, &Output_TSStream::u16OtherPIDIndex, PID_TYPE_OTHERPID,
                            false, pstIndexList);
}

U32 TSP_GetOutProgPSECMPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS,
                                    IndexInfoList_t* pstIndexList)
{
    return WalkOwnedPIDList(__func__, u16InProgIndex, pstParamTS, Owner::Program, &Output_TSInfo::pOutputProgram,
                            &Output_TSProgram::u16PSECMPIDNumber, &Output_TSProgram::u16PSECMPIDIndex,
                            PID_TYPE_PS_ECMPID, true, pstIndexList);
}

U32 TSP_GetOutESECMPIDIndexList(U16 u16InPIDIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkOwnedPIDList(__func__, u16InPIDIndex, pstParamTS, Owner::PID, &Output_TSInfo::pOutputPID,
                            &Output_TSPID::u16ESECMPIDNumber, &Output_TSPID::u16ESECMPIDIndex, PID_TYPE_ES_ECMPID,
                            false, pstIndexList);
}

U32 TSP_GetOutProgESPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    if (BadWalkArgs(__func__, u16InProgIndex, pstParamTS, pstIndexList, Owner::Program))
        return TSP_ERR_INPUT;
    return WalkESList(u16InProgIndex, pstParamTS, false, pstIndexList);
}

U32 TSP_GetOutProgAllESPIDIndexList(U16 u16InProgIndex, const Output_TSInfo* pstParamTS,
                                    IndexInfoList_t* pstIndexList)
{
    if (BadWalkArgs(__func__, u16InProgIndex, pstParamTS, pstIndexList, Owner::Program))
        return TSP_ERR_INPUT;
    return WalkESList(u16InProgIndex, pstParamTS, true, pstIndexList);
}

U32 TSP_GetOutTSDescIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    if (pstIndexList == nullptr || pstParamTS == nullptr || u16InTSIndex >= OwnerCapacity(pstParamTS, Owner::TS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Input Error:pstIndexList[%p],pstParamTS[%p],u16InTSIndex[%u]\r\n", __func__, __LINE__,
                   (void*)pstIndexList, (const void*)pstParamTS, u16InTSIndex);
        return TSP_ERR_INPUT;
    }
    pstIndexList->u16IndexListNum = 0;
    const Output_TSStream& ts = pstParamTS->pOutputTS[u16InTSIndex];
    if (ts.u16DescriptorNum == 0)
        return ZR_SUCCESS;
    const U32 u32Cap = pstParamTS->pDescriptor ? pstParamTS->u32OutputDescriptorNumber : 0;
    U32 u32Index = ts.u16DescriptorIndex;
    U32 u32Steps = 0;
    while (u32Index < u32Cap) {
        if (++u32Steps > u32Cap) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Error:u16InTSIndex[%u],Too many Desc\r\n",
                       __func__, __LINE__, u16InTSIndex);
            return TSP_ERR_LIST_RANGE;
        }
        const TSDescriptor& r = pstParamTS->pDescriptor[u32Index];
        if (r.u8ValidFlag == TSP_RECORD_VALID) {
            if (pstIndexList->u16IndexListNum >= TSP_INDEX_LIST_MAX - 1) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Error:u16InTSIndex[%u],Too many Desc\r\n",
                           __func__, __LINE__, u16InTSIndex);
                return TSP_ERR_LIST_RANGE;
            }
            pstIndexList->aru16IndexList[pstIndexList->u16IndexListNum++] = (U16)u32Index;
        }
        u32Index = r.u16NextDescriptorIndex;
    }
    if (pstIndexList->u16IndexListNum != ts.u16DescriptorNum) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Error:u16InTSIndex[%u],u16IndexListNum[%u] != u16DescriptorNum[%u]\r\n", __func__, __LINE__,
                   u16InTSIndex, pstIndexList->u16IndexListNum, ts.u16DescriptorNum);
        return TSP_ERR_NOT_ENOUGH;
    }
    return ZR_SUCCESS;
}

U32 TSP_GetOutTSNITTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkTableList(__func__, u16InTSIndex, pstParamTS, pstIndexList, &Output_TSStream::u16NITIndex, true);
}

U32 TSP_GetOutTSBATTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkTableList(__func__, u16InTSIndex, pstParamTS, pstIndexList, &Output_TSStream::u16BATIndex, false);
}

U32 TSP_GetOutTSOtherNitTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS,
                                       IndexInfoList_t* pstIndexList)
{
    return WalkTableList(__func__, u16InTSIndex, pstParamTS, pstIndexList, &Output_TSStream::u16OtherNITIndex, false);
}

U32 TSP_GetOutTSOtherSdtTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS,
                                       IndexInfoList_t* pstIndexList)
{
    return WalkTableList(__func__, u16InTSIndex, pstParamTS, pstIndexList, &Output_TSStream::u16OtherSDTIndex, false);
}

U32 TSP_GetOutTSTOTTableIndexList(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, IndexInfoList_t* pstIndexList)
{
    return WalkTableList(__func__, u16InTSIndex, pstParamTS, pstIndexList, &Output_TSStream::u16TOTIndex, false);
}

// ---------------------------------------------------------------------------
// Tail getters
// ---------------------------------------------------------------------------

namespace {

using WalkFn = U32 (*)(U16, const Output_TSInfo*, IndexInfoList_t*);

U32 TailOf(const char* pcFunc, U16 u16Owner, const Output_TSInfo* pst, U16* pu16Last, Owner e, WalkFn pfWalk)
{
    if (BadWalkArgs(pcFunc, u16Owner, pst, pu16Last, e))
        return TSP_ERR_INPUT;
    IndexInfoList_t stList;
    U32 u32Ret = pfWalk(u16Owner, pst, &stList);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    *pu16Last = LastOf(stList);
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_GetOutTSProgLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return TailOf(__func__, u16InTSIndex, pstParamTS, pu16LastIndex, Owner::TS, TSP_GetOutTSProgIndexList);
}

U32 TSP_GetOutTSEMMPIDLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return TailOf(__func__, u16InTSIndex, pstParamTS, pu16LastIndex, Owner::TS, TSP_GetOutTSEMMPIDIndexList);
}

U32 TSP_GetOutTSOtherPIDLastIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return TailOf(__func__, u16InTSIndex, pstParamTS, pu16LastIndex, Owner::TS, TSP_GetOutTSOtherPIDIndexList);
}

U32 TSP_GetOutProgPIDListLastIndex(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    // The tail counts filtered streams too: appending after the last
    // unfiltered one would cut the filtered ones behind it out of the chain.
    return TailOf(__func__, u16InProgIndex, pstParamTS, pu16LastIndex, Owner::Program,
                  [](U16 u16Owner, const Output_TSInfo* pst, IndexInfoList_t* pstList) {
                      return WalkESList(u16Owner, pst, true, pstList);
                  });
}

U32 TSP_GetOutProgESPIDChainLength(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16Length)
{
    if (BadWalkArgs(__func__, u16InProgIndex, pstParamTS, pu16Length, Owner::Program))
        return TSP_ERR_INPUT;
    IndexInfoList_t stList;
    U32 u32Ret = WalkESList(u16InProgIndex, pstParamTS, true, &stList);
    if (u32Ret == ZR_SUCCESS)
        *pu16Length = stList.u16IndexListNum;
    return u32Ret;
}

U32 TSP_GetOutProgPSECMPIDLastIndex(U16 u16InProgIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return TailOf(__func__, u16InProgIndex, pstParamTS, pu16LastIndex, Owner::Program,
                  TSP_GetOutProgPSECMPIDIndexList);
}

U32 TSP_GetOutESECMPIDLastIndex(U16 u16InPIDIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return TailOf(__func__, u16InPIDIndex, pstParamTS, pu16LastIndex, Owner::PID, TSP_GetOutESECMPIDIndexList);
}

zrErrCode TSP_GetOutTSLastDescIndex(U16 u16InTSIndex, const Output_TSInfo* pstParamTS, U16* pu16LastIndex)
{
    return (zrErrCode)TailOf(__func__, u16InTSIndex, pstParamTS, pu16LastIndex, Owner::TS, TSP_GetOutTSDescIndexList);
}

// ---------------------------------------------------------------------------
// Key lookups (live database)
// ---------------------------------------------------------------------------

U32 TSP_GetOutputTSIndexByTS(U16 u16Channel, U16* pu16OutputIndex)
{
    if (pu16OutputIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSInfo* pst = TSP_GetTSParam();
    *pu16OutputIndex = TSP_INVALID_INDEX;
    const U32 u32Cap = OwnerCapacity(pst, Owner::TS);
    for (U32 i = 0; i < u32Cap; i++) {
        if (pst->pOutputTS[i].u8ValidFlag == TSP_RECORD_VALID && pst->pOutputTS[i].u16ChannelID == u16Channel) {
            *pu16OutputIndex = (U16)i;
            break;
        }
    }
    return ZR_SUCCESS;
}

U32 TSP_GetOutputTSIndexByProgram(U16 u16Channel, U16* pu16OutputIndex)
{
    return TSP_GetOutputTSIndexByTS(u16Channel, pu16OutputIndex);
}

U32 TSP_GetOutputProgramIndexByPID(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16ProgramID,
                                   U16* pu16OutputIndex)
{
    if (pu16OutputIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSInfo* pst = TSP_GetTSParam();
    *pu16OutputIndex = TSP_INVALID_INDEX;
    const U32 u32Cap = OwnerCapacity(pst, Owner::Program);
    for (U32 i = 0; i < u32Cap; i++) {
        const Output_TSProgram& r = pst->pOutputProgram[i];
        if (r.u8ValidFlag == TSP_RECORD_VALID && r.u8SourceSlotID == u8SourceSlotID &&
            r.u16SourceChannelID == u16SourceChannelID && r.u16ChannelID == u16ChannelID &&
            r.u16ProgramID == u16ProgramID) {
            *pu16OutputIndex = (U16)i;
            break;
        }
    }
    return ZR_SUCCESS;
}

U32 TSP_GetOutputPIDIndexByPID(U8 u8SourceSlotID, U16 u16SourceChannelID, U16 u16ChannelID, U16 u16PIDID,
                               U16* pu16OutputIndex)
{
    if (pu16OutputIndex == nullptr)
        return TSP_ERR_INPUT;
    const Output_TSInfo* pst = TSP_GetTSParam();
    *pu16OutputIndex = TSP_INVALID_INDEX;
    const U32 u32Cap = OwnerCapacity(pst, Owner::PID);
    for (U32 i = 0; i < u32Cap; i++) {
        const Output_TSPID& r = pst->pOutputPID[i];
        if (r.u8ValidFlag != TSP_RECORD_VALID || r.u8SourceSlotID != u8SourceSlotID ||
            r.u16SourceChannelID != u16SourceChannelID || r.u16ChannelID != u16ChannelID)
            continue;
        const U16 u16Key = (r.u8PIDType == PID_TYPE_ES_ECMPID) ? r.u16ESECMPIDIndex : r.u16PIDID;
        if (u16Key == u16PIDID) {
            *pu16OutputIndex = (U16)i;
            break;
        }
    }
    return ZR_SUCCESS;
}

U32 TSP_GetOutputBypassTSIndex(U8 u8SourceSlotID, U16 u16SourceChannelID, U16* pu16OutputIndex)
{
    if (pu16OutputIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSInfo* pst = TSP_GetTSParam();
    *pu16OutputIndex = TSP_INVALID_INDEX;
    const U32 u32Cap = pst->pOutputBypassTS ? pst->u32OutputBypassTSNumber : 0;
    for (U32 i = 0; i < u32Cap; i++) {
        const Passthrough_TSStream& r = pst->pOutputBypassTS[i];
        if (r.u8ValidFlag == TSP_RECORD_VALID && r.u8SourceSlotID == u8SourceSlotID &&
            r.u16SourceChannelID == u16SourceChannelID) {
            *pu16OutputIndex = (U16)i;
            break;
        }
    }
    return ZR_SUCCESS;
}

U32 TSP_GetDestInfoByOutTSIndex(U16 u16OutTSIndex, const Output_TSInfo* pstParamTS, U8* pu8DestSlot,
                                U16* pu16DestChannel)
{
    if (pstParamTS == nullptr || pu8DestSlot == nullptr || pu16DestChannel == nullptr ||
        u16OutTSIndex >= OwnerCapacity(pstParamTS, Owner::TS)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSStream& ts = pstParamTS->pOutputTS[u16OutTSIndex];
    if (ts.u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input OutTSIndex[%u] Invalid Flag\r\n\n", LOG_POS,
                   u16OutTSIndex);
        return TSP_ERR_INPUT;
    }
    if (ts.u8SlotID > TSP_MAX_SLOT_ID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input OutTSIndex[%u] DestSlot[%u] out of range\r\n\n",
                   LOG_POS, u16OutTSIndex, ts.u8SlotID);
        return TSP_ERR_INPUT;
    }
    *pu8DestSlot = ts.u8SlotID;
    *pu16DestChannel = ts.u16ChannelID;
    return ZR_SUCCESS;
}

U32 TSP_GetOutputTSIndexByPID(U16 u16Channel, U16* pu16OutputIndex)
{
    if (pu16OutputIndex == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    U16 u16Index = TSP_INVALID_INDEX;
    U32 u32Ret = TSP_GetOutputTSIndexByTS(u16Channel, &u16Index);
    if (u32Ret != ZR_SUCCESS)
        return u32Ret;
    if (u16Index != TSP_INVALID_INDEX) {
        *pu16OutputIndex = u16Index;
        return ZR_SUCCESS;
    }
    Output_TSInfo* pst = TSP_GetTSParam();
    u32Ret = TSP_GetUnusedOutputTSIndex(&u16Index, pst);
    if (u32Ret != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetUnusedOutputTSIndex return error\r\n\n",
                   LOG_POS);
        return u32Ret;
    }
    // A reused record is cleared first: what a deleted stream left behind
    // (its descriptor list, its sources) must not reach the new one.
    Output_TSStream* pstTS = &pst->pOutputTS[u16Index];
    memset(pstTS, 0, sizeof(*pstTS));
    u32Ret = TSP_InitOneOutputTSStream(pstTS);
    if (u32Ret != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_InitOneOutputTSStream return error\r\n\n",
                   LOG_POS);
        return u32Ret;
    }
    pstTS->u16DescriptorIndex = TSP_INVALID_INDEX;
    pstTS->u16NetworkID = 0;
    pstTS->u16TransportStreamID = 0;
    pstTS->u16OriginalNetworkID = (PARAMS_GetModulationMod() == 5) ? TSP_ISDBT_ORIGINAL_NETWORK_ID : 0;
    *pu16OutputIndex = u16Index;
    return ZR_SUCCESS;
}

U32 TSP_CheckLinks(const Output_TSInfo* pstParamTS)
{
    if (pstParamTS == nullptr)
        return TSP_ERR_INPUT;
    using StreamWalk = U32 (*)(U16, const Output_TSInfo*, IndexInfoList_t*);
    static const StreamWalk kStreamLists[] = {
        TSP_GetOutTSEMMPIDIndexList,     TSP_GetOutTSOtherPIDIndexList,     TSP_GetOutTSDescIndexList,
        TSP_GetOutTSNITTableIndexList,   TSP_GetOutTSBATTableIndexList,     TSP_GetOutTSOtherNitTableIndexList,
        TSP_GetOutTSOtherSdtTableIndexList, TSP_GetOutTSTOTTableIndexList,
    };
    IndexInfoList_t progs, l, es;
    for (U32 s = 0; s < pstParamTS->u32OutputTSNumber && s < TSP_INVALID_INDEX; s++) {
        if (pstParamTS->pOutputTS[s].u8ValidFlag != TSP_RECORD_VALID)
            continue;
        U32 ret = TSP_GetOutTSProgIndexList((U16)s, pstParamTS, &progs);
        for (StreamWalk walk : kStreamLists)
            if (ret == 0)
                ret = walk((U16)s, pstParamTS, &l);
        for (U32 i = 0; ret == 0 && i < progs.u16IndexListNum; i++) {
            const U16 p = progs.aru16IndexList[i];
            ret = TSP_GetOutProgPSECMPIDIndexList(p, pstParamTS, &l);
            if (ret == 0)
                ret = TSP_GetOutProgAllESPIDIndexList(p, pstParamTS, &es);
            for (U32 k = 0; ret == 0 && k < es.u16IndexListNum; k++)
                ret = TSP_GetOutESECMPIDIndexList(es.aru16IndexList[k], pstParamTS, &l);
        }
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex[%u] links are no chain:0x%x\r\n\n",
                       LOG_POS, s, ret);
            return ret;
        }
    }
    return 0;
}
