// PSI/SI table models filled from the output-stream database.
#include "SIprocess/SItable.h"
#include "Common/commonfun.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "Web/web_charset.h"
#include <cstring>

namespace {

const Output_TSStream* StreamAt(const Output_TSInfo* db, U32 idx)
{
    if (db == nullptr || db->pOutputTS == nullptr || idx >= db->u32OutputTSNumber)
        return nullptr;
    return &db->pOutputTS[idx];
}
Output_TSStream* StreamAt(Output_TSInfo* db, U32 idx)
{
    return const_cast<Output_TSStream*>(StreamAt(static_cast<const Output_TSInfo*>(db), idx));
}
Output_TSProgram* ProgramAt(Output_TSInfo* db, U32 idx)
{
    if (db == nullptr || db->pOutputProgram == nullptr || idx >= db->u32OutputProgramNumber)
        return nullptr;
    return &db->pOutputProgram[idx];
}
Output_TSPID* PIDAt(Output_TSInfo* db, U32 idx)
{
    if (db == nullptr || db->pOutputPID == nullptr || idx >= db->u32OutputPIDNumber)
        return nullptr;
    return &db->pOutputPID[idx];
}

// UTF-8 into UTF-16 units, a character beyond the first plane as its
// surrogate pair; a byte that starts no valid character stands as U+FFFD.
// out holds 2 x len units.
U32 Utf8Units(const U8* p, U32 len, U16* out)
{
    static const U32 kMin[4] = {0, 0x80, 0x800, 0x10000};
    U32 n = 0;
    for (U32 i = 0; i < len && p[i] != 0;) {
        U8 b = p[i];
        U32 extra = b < 0x80 ? 0 : (b & 0xE0) == 0xC0 ? 1 : (b & 0xF0) == 0xE0 ? 2 : (b & 0xF8) == 0xF0 ? 3 : 4;
        bool ok = extra < 4 && i + extra < len;
        U32 cp = extra == 0 ? b : (U32)(b & (0x3F >> extra));
        for (U32 k = 1; ok && k <= extra; k++) {
            ok = (p[i + k] & 0xC0) == 0x80;
            cp = cp << 6 | (p[i + k] & 0x3F);
        }
        if (!ok || cp < kMin[extra] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            out[n++] = 0xFFFD;
            i++;
            continue;
        }
        i += extra + 1;
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out[n++] = (U16)(0xD800 | cp >> 10);
            out[n++] = (U16)(0xDC00 | (cp & 0x3FF));
        } else {
            out[n++] = (U16)cp;
        }
    }
    return n;
}

// The VCT's short name (7 big-endian UTF-16 units, zero after the name) of a
// service name. A plain name, without a character-table selector, is widened
// byte by byte. A name with a selector (the web stores every name beyond
// ASCII so) is decoded as the web decodes it; its first whole characters go
// out, a character never cut in two, the selector never.
void ShortName(const U8* pu8Name, U32 u32Len, U8* pu8Out)
{
    memset(pu8Out, 0, 14);
    if (u32Len == 0 || pu8Name[0] == 0 || pu8Name[0] >= 0x20) {
        Common_ConvertASCToUTF16(const_cast<U8*>(pu8Name), (U16)(u32Len < 7 ? u32Len : 7), pu8Out);
        return;
    }
    U16 units[2 * 32 + 1];
    if (u32Len > 32)
        u32Len = 32;
    // The web shows UTF-8 as it is; its unit decoder keeps one plane only.
    U32 n = pu8Name[0] == 0x15 ? Utf8Units(pu8Name + 1, u32Len - 1, units) : Convert_CNCode_to_U(pu8Name, u32Len, units);
    U32 k = 0;
    for (U32 i = 0; i < n;) {
        U32 w = (units[i] >= 0xD800 && units[i] <= 0xDBFF && i + 1 < n) ? 2 : 1;
        if (k + w > 7)
            break;
        for (U32 j = 0; j < w; j++, i++, k++) {
            // Control characters show as blanks, as on the web.
            U16 u = (units[i] < 0x20 || units[i] == 0x7F) ? 0x20 : units[i];
            pu8Out[2 * k] = (U8)(u >> 8);
            pu8Out[2 * k + 1] = (U8)u;
        }
    }
}

// A descriptor loop of a record: inline up to 188 bytes, else the bytes of
// the named descriptor record. Only what arrived goes out: nothing when the
// record is missing, no more than it holds, and of those bytes the whole
// descriptors before the first that is zero fill (tag 0) or runs past them.
U32 CopyLoop(const Output_TSInfo* db, U16 u16Len, const U8* pu8Inline, U16 u16DescIndex, U8* pu8Out,
             U16* pu16OutLen, const char* pcWhat)
{
    *pu16OutLen = 0;
    if (u16Len > TSP_DESC_INFO_MAX_LEN) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s:%d out of range\r\n", LOG_POS, pcWhat,
                   (int)u16Len);
        return TSP_ERR_LIST_RANGE;
    }
    const U8* src = pu8Inline;
    U32 len = u16Len;
    if (u16Len > TSP_INFO_MAX_LEN) {
        const TSDescriptor* d = db->pDescriptor != nullptr && u16DescIndex < db->u32OutputDescriptorNumber
                                    ? &db->pDescriptor[u16DescIndex]
                                    : nullptr;
        if (d == nullptr || d->u8ValidFlag != TSP_RECORD_VALID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d %s descriptor index:%u has not arrived: left out\r\n", LOG_POS, pcWhat,
                       (unsigned)u16DescIndex);
            return 0;
        }
        src = d->u8DescriptorInfo;
        if (d->u32Length < len)
            len = d->u32Length;
    }
    U32 k = 0;
    while (k + 2 <= len && src[k] != 0 && k + 2 + src[k + 1] <= len)
        k += 2 + src[k + 1];
    if (k < len)
        log_printf(LOG_LEVEL_DEBUG, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s: %u of %u bytes are whole descriptors\r\n",
                   LOG_POS, pcWhat, k, len);
    memcpy(pu8Out, src, k);
    *pu16OutLen = (U16)k;
    return 0;
}

// Steps a version when its change flag is set, for valid records only.
void StepVersion(U8 u8Valid, U8& ver, U8& flag)
{
    if (u8Valid == TSP_RECORD_VALID && flag == 1) {
        ver = (U8)((ver + 1) & 31);
        flag = 0;
    }
}

U32 StreamVersionStep(U16 idx, Output_TSInfo* db, U8 Output_TSStream::*ver, U8 Output_TSStream::*flag)
{
    Output_TSStream* ts = StreamAt(db, idx);
    if (ts == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    StepVersion(ts->u8ValidFlag, ts->*ver, ts->*flag);
    return 0;
}

// What sets the first steps of one stream-level model apart.
struct StreamModel_t {
    const char* pcFunc;  // the model builder, as its log lines name it
    U32 (*pfIncrease)(U16, Output_TSInfo*);  // none where only the list is taken
    const char* pcIncreaseName;
    U32 (*pfList)(U16, const Output_TSInfo*, IndexInfoList_t*);
    const char* pcListName;
    U32 u32Max;
    const char* pcCountName;
    const char* pcRange;  // the last word of the bound's log line
};

// The stream's record list for a model, within the model's bound.
U32 StreamListWithin(const StreamModel_t& m, U16 idx, Output_TSInfo* db, IndexInfoList_t* list)
{
    U32 ret = m.pfList(idx, db, list);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s OutTSIndex:%d %s fail\r\n",
                   LOG_POS_OF(m.pcFunc), m.pcFunc, (int)idx, m.pcListName);
        return ret;
    }
    if (list->u16IndexListNum > m.u32Max) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s OutTSIndex:%d %s:%u out of %s\r\n",
                   LOG_POS_OF(m.pcFunc), m.pcFunc, (int)idx, m.pcCountName, (unsigned)list->u16IndexListNum,
                   m.pcRange);
        return TSP_ERR_LIST_RANGE;
    }
    return 0;
}

// Input check, cleared model, version step, then the stream's record list
// within the model's bound.
template <typename Model>
U32 StreamModelStart(const StreamModel_t& m, U16 idx, Output_TSInfo* db, Model* model, IndexInfoList_t* list)
{
    if (model == nullptr || StreamAt(db, idx) == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS_OF(m.pcFunc));
        return TSP_ERR_INPUT;
    }
    memset(model, 0, sizeof(*model));
    U32 ret = m.pfIncrease(idx, db);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s OutTSIndex:%d return error\r\n",
                   LOG_POS_OF(m.pcFunc), m.pcIncreaseName, (int)idx);
        return ret;
    }
    return StreamListWithin(m, idx, db, list);
}

constexpr U8 kCATag = 0x09;

}  // namespace

// ---------------------------------------------------------------------------
// Version steps
// ---------------------------------------------------------------------------
U32 TSP_IncreasePATVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return StreamVersionStep(u16OutTSIndex, pstParamTS, &Output_TSStream::u8PATVersionNumber,
                             &Output_TSStream::u8PATChangeFlag);
}

U32 TSP_IncreaseSDTVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return StreamVersionStep(u16OutTSIndex, pstParamTS, &Output_TSStream::u8SDTVersionNumber,
                             &Output_TSStream::u8SDTChangeFlag);
}

U32 TSP_IncreaseCATVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    return StreamVersionStep(u16OutTSIndex, pstParamTS, &Output_TSStream::u8CATVersionNumber,
                             &Output_TSStream::u8CATChangeFlag);
}

U32 TSP_IncreasePMTVersionNum(U16 u16OutProIndex, Output_TSInfo* pstParamTS)
{
    Output_TSProgram* prog = ProgramAt(pstParamTS, u16OutProIndex);
    if (prog == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    StepVersion(prog->u8ValidFlag, prog->u8PMTVersionNumber, prog->u8PMTChangeFlag);
    return 0;
}

U32 TSP_IncreaseNITVersionNum(U16 u16OutTSIndex, Output_TSInfo* pstParamTS)
{
    Output_TSStream* ts = StreamAt(pstParamTS, u16OutTSIndex);
    if (ts == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (ts->u8ValidFlag == TSP_RECORD_VALID && ts->u8NITChangeFlag == 0) {
        ts->u8NITVersionNumber = (U8)((ts->u8NITVersionNumber + 1) & 31);
        ts->u8NITChangeFlag = 1;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// CA descriptors
// ---------------------------------------------------------------------------
U32 TSP_DelAllCaDescriptors(U8* aru8Descriptors, U16* pu16Len)
{
    if (aru8Descriptors == nullptr || pu16Len == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error:aru8Descriptors[%p],pu16Len[%p]\r\n",
                   __func__, __LINE__, (void*)aru8Descriptors, (void*)pu16Len);
        return TSP_ERR_INPUT;
    }
    U32 len = *pu16Len, pos = 0;
    while (pos + 2 <= len) {
        U32 d = 2u + aru8Descriptors[pos + 1];
        if (pos + d > len)
            break;  // a broken descriptor ends the walk; its bytes stay
        if (aru8Descriptors[pos] == kCATag) {
            memmove(aru8Descriptors + pos, aru8Descriptors + pos + d, len - pos - d);
            len -= d;
        } else {
            pos += d;
        }
    }
    *pu16Len = (U16)len;
    return 0;
}

U32 TSP_DelCaDescriptors(U8* aru8Descriptors, U16* pu16Len, U16 u16CaPID)
{
    if (aru8Descriptors == nullptr || pu16Len == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error:aru8Descriptors[%p],pu16Len[%p]\r\n",
                   __func__, __LINE__, (void*)aru8Descriptors, (void*)pu16Len);
        return TSP_ERR_INPUT;
    }
    U32 len = *pu16Len, pos = 0;
    while (pos + 2 <= len) {
        U32 body = aru8Descriptors[pos + 1];
        U32 d = 2u + body;
        if (pos + d > len)
            break;
        const U8* b = aru8Descriptors + pos + 2;
        if (aru8Descriptors[pos] == kCATag && body >= 4 && (((b[2] << 8) | b[3]) & 0x1FFF) == (u16CaPID & 0x1FFF)) {
            memmove(aru8Descriptors + pos, aru8Descriptors + pos + d, len - pos - d);
            len -= d;
        } else {
            pos += d;
        }
    }
    *pu16Len = (U16)len;
    return 0;
}

U8 TSP_ModifyCaDescriptors(U8* aru8Descriptors, U16* pu16Len, Output_TSInfo* pstParamTS,
                           IndexInfoList_t* pstIndexList)
{
    if (pstParamTS == nullptr || pstIndexList == nullptr || pu16Len == nullptr ||
        (aru8Descriptors == nullptr && *pu16Len != 0)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "[%s:%d]Input Error:pstParamTS[%p],pstIndexList[%p],pu16Len[%p]\r\n", __func__, __LINE__,
                   (void*)pstParamTS, (void*)pstIndexList, (void*)pu16Len);
        return 0;
    }
    U32 len = *pu16Len, pos = 0, count = 0;
    U32 n = pstIndexList->u16IndexListNum < TSP_INDEX_LIST_MAX ? pstIndexList->u16IndexListNum : TSP_INDEX_LIST_MAX;
    while (pos + 2 <= len) {
        U32 body = aru8Descriptors[pos + 1];
        if (pos + 2 + body > len)
            break;
        U8* b = aru8Descriptors + pos + 2;
        if (aru8Descriptors[pos] == kCATag) {
            count++;
            if (body >= 4) {
                U16 sysId = (U16)((b[0] << 8) | b[1]);
                U16 caPid = (U16)(((b[2] << 8) | b[3]) & 0x1FFF);
                for (U32 i = 0; i < n; i++) {
                    const Output_TSPID* rec = PIDAt(pstParamTS, pstIndexList->aru16IndexList[i]);
                    if (rec != nullptr && rec->u16CASID == sysId && rec->u16OldPID == caPid) {
                        b[2] = (U8)(0xE0 | ((rec->u16PID >> 8) & 0x1F));
                        b[3] = (U8)rec->u16PID;
                        break;
                    }
                }
            }
        }
        pos += 2 + body;
    }
    return (U8)(count > 255 ? 255 : count);
}

// ---------------------------------------------------------------------------
// PAT, CAT, SDT models
// ---------------------------------------------------------------------------
U32 TSP_GetOutputPATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, PATTable_t* pstPAT)
{
    static const StreamModel_t kSteps = {__func__, TSP_IncreasePATVersionNum, "TSP_IncreasePATVersionNum",
                                         TSP_GetOutTSProgIndexList, "TSP_GetOutTSProgIndexList",
                                         SIP_PAT_MAX_PROGRAM, "ProgramNum", "rang"};
    IndexInfoList_t list;
    U32 ret = StreamModelStart(kSteps, u16OutTSIndex, pstParamTS, pstPAT, &list);
    if (ret != 0)
        return ret;
    const Output_TSStream* ts = StreamAt(pstParamTS, u16OutTSIndex);
    pstPAT->u16TransportStreamID = ts->u16TransportStreamID;
    pstPAT->u8VersionNum = ts->u8PATVersionNumber;
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        const Output_TSProgram* prog = ProgramAt(pstParamTS, list.aru16IndexList[i]);
        if (prog == nullptr)
            return TSP_ERR_INPUT;
        pstPAT->arstProgramInfo[i].u16ServiceId = prog->u16ServiceID;
        pstPAT->arstProgramInfo[i].u16PMTPid = prog->u16PMTPID;
        pstPAT->u16ProgramCount++;
    }
    return 0;
}

U32 TSP_GetOutputCATTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, CATTable_t* pstCAT)
{
    static const StreamModel_t kSteps = {__func__, TSP_IncreaseCATVersionNum, "TSP_IncreaseCATVersionNum",
                                         TSP_GetOutTSEMMPIDIndexList, "TSP_GetOutTSEMMPIDIndexList",
                                         SIP_CAT_MAX_CASYS, "CaSysNum", "range"};
    IndexInfoList_t list;
    U32 ret = StreamModelStart(kSteps, u16OutTSIndex, pstParamTS, pstCAT, &list);
    if (ret != 0)
        return ret;
    U32 n = 0;
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        const Output_TSPID* emm = PIDAt(pstParamTS, list.aru16IndexList[i]);
        if (emm == nullptr)
            return TSP_ERR_INPUT;
        // A CA descriptor holds at most 98 private bytes in the model: a longer
        // one is left out rather than sent cut.
        if (emm->u16ESInfoLength > 98) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d OutTSIndex:%d EMM PID 0x%x private data %u bytes too long, left out\r\n", LOG_POS,
                       (int)u16OutTSIndex, (unsigned)emm->u16PID, (unsigned)emm->u16ESInfoLength);
            continue;
        }
        CatCAInfo_t& ca = pstCAT->arstCaInfo[n++];
        ca.u16CaSysID = emm->u16CASID;
        ca.u16EmmPid = emm->u16PID;
        ca.u8DesLength = (U8)(emm->u16ESInfoLength + 4);
        memcpy(ca.u8PrivateDataByte, emm->aru8ESInfo, emm->u16ESInfoLength);
    }
    pstCAT->u8VersionNum = StreamAt(pstParamTS, u16OutTSIndex)->u8CATVersionNumber;
    pstCAT->u16CaSysNum = (U16)n;
    return 0;
}

U32 TSP_GetOutputSDTTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, SDTTable_t* pstSDT)
{
    static const StreamModel_t kSteps = {__func__, TSP_IncreaseSDTVersionNum, "TSP_IncreaseSDTVersionNum",
                                         TSP_GetOutTSProgIndexList, "TSP_GetOutTSProgIndexList",
                                         TSP_INDEX_LIST_MAX, "ServiceNum", "range"};
    IndexInfoList_t list;
    U32 ret = StreamModelStart(kSteps, u16OutTSIndex, pstParamTS, pstSDT, &list);
    if (ret != 0)
        return ret;
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        // More programs than an SDT names (a file saved so): the first ones
        // are named rather than none.
        if (i >= SIP_SDT_MAX_SERVICE) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%d ServiceNum:%u, the SDT names the "
                       "first %u\r\n", LOG_POS, (int)u16OutTSIndex, (unsigned)list.u16IndexListNum,
                       (unsigned)SIP_SDT_MAX_SERVICE);
            break;
        }
        const Output_TSProgram* prog = ProgramAt(pstParamTS, list.aru16IndexList[i]);
        if (prog == nullptr)
            return TSP_ERR_INPUT;
        SDTProgramInfo_t& s = pstSDT->arstProgInfo[i];
        s.u16ServiceID = prog->u16ServiceID;
        s.u8ServiceType = prog->u8ServiceType;
        s.u8RunningStatus = prog->u8RunningStatus;
        s.u8EITScheduleFlag = prog->u8EITScheduleFlag;
        s.u8EITPresentFollowingFlag = prog->u8EITPresentFollowingFlag;
        // The names' lengths pass as they are; the writer refuses long ones.
        s.u8ProviderNameLen = prog->u8ServiceProviderLen;
        s.u8ServiceNameLen = prog->u8ServiceNameLen;
        memcpy(s.aru8ProviderName, prog->aru8ServiceProvider,
               prog->u8ServiceProviderLen < SIP_SDT_NAME_MAX ? prog->u8ServiceProviderLen : SIP_SDT_NAME_MAX);
        memcpy(s.aru8ServiceName, prog->aru8ServiceName,
               prog->u8ServiceNameLen < SIP_SDT_NAME_MAX ? prog->u8ServiceNameLen : SIP_SDT_NAME_MAX);
        if (prog->u8CAMIndex == 0 || prog->u8CAMIndex == 1)
            s.u8FreeCAMode = 0;
        else if (prog->u8CAMIndex == 2)
            s.u8FreeCAMode = 1;
        else
            s.u8FreeCAMode = prog->u8FreeCAMode;
        if (prog->u16SDTInfoLength != 0) {
            ret = CopyLoop(pstParamTS, prog->u16SDTInfoLength, prog->aru8SDTInfo, prog->u16SDTInfoDescriptorIndex,
                           s.aru8OtherInfo, &s.u16OtherInfoLen, "SDTInfoLength");
            if (ret != 0)
                return ret;
        }
        pstSDT->u16ServiceNum++;
    }
    const Output_TSStream* ts = StreamAt(pstParamTS, u16OutTSIndex);
    pstSDT->u16TransportStreamID = ts->u16TransportStreamID;
    pstSDT->u16OriginalNetworkId = ts->u16OriginalNetworkID;
    pstSDT->u8VersionNum = ts->u8SDTVersionNumber;
    return 0;
}

// ---------------------------------------------------------------------------
// PMT model
// ---------------------------------------------------------------------------
namespace {
// The ECM records of one loop: CA descriptors pointed at their output PIDs,
// filtered ECMs' descriptors removed, the others listed in the CA list.
U32 ApplyECMs(Output_TSInfo* db, IndexInfoList_t* ecms, U8* loop, U16* len, PmtCAInfo_t* caList, U8* caNum)
{
    TSP_ModifyCaDescriptors(loop, len, db, ecms);
    *caNum = 0;
    for (U32 k = 0; k < ecms->u16IndexListNum; k++) {
        const Output_TSPID* ecm = PIDAt(db, ecms->aru16IndexList[k]);
        if (ecm == nullptr)
            return TSP_ERR_INPUT;
        if (ecm->u8PIDFilterFlag == 1) {
            TSP_DelCaDescriptors(loop, len, ecm->u16PID);
        } else if (*caNum < SIP_PMT_MAX_CASYS) {
            caList[*caNum].u16CaSysID = ecm->u16CASID;
            caList[*caNum].u16EcmPid = ecm->u16PID;
            (*caNum)++;
        }
    }
    return 0;
}
}  // namespace

U32 TSP_GetOutputPMTTable(U16 u16OutProgIndex, Output_TSInfo* pstParamTS, PMTTable_t* pstPMT)
{
    Output_TSProgram* prog = ProgramAt(pstParamTS, u16OutProgIndex);
    if (pstPMT == nullptr || prog == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(pstPMT, 0, sizeof(*pstPMT));
    U32 ret = TSP_IncreasePMTVersionNum(u16OutProgIndex, pstParamTS);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_IncreasePMTVersionNum OutProgIndex:%d return error\r\n",
                   LOG_POS, (int)u16OutProgIndex);
        return ret;
    }
    IndexInfoList_t esList;
    ret = TSP_GetOutProgESPIDIndexList(u16OutProgIndex, pstParamTS, &esList);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutProgIndex:%d TSP_GetOutProgESPIDIndexList fail\r\n",
                   LOG_POS, (int)u16OutProgIndex);
        return ret;
    }
    if (esList.u16IndexListNum > SIP_PMT_MAX_ES) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ESPid num:%d fail\r\n", LOG_POS,
                   (int)esList.u16IndexListNum);
        return TSP_ERR_LIST_RANGE;
    }
    if (prog->u16ProgramInfoLength > SIP_PMT_INFO_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ProInfoLength:%d out of range\r\n", LOG_POS,
                   (int)prog->u16ProgramInfoLength);
        return TSP_ERR_LIST_RANGE;
    }

    IndexInfoList_t ecmList;
    U32 n = 0;
    for (U32 i = 0; i < esList.u16IndexListNum; i++) {
        U16 esIndex = esList.aru16IndexList[i];
        const Output_TSPID* es = PIDAt(pstParamTS, esIndex);
        if (es == nullptr)
            return TSP_ERR_INPUT;
        if (es->u8PIDFilterFlag == 1)
            continue;
        if (es->u16ESInfoLength > SIP_PMT_INFO_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ESInfoLength:%d out of range\r\n", LOG_POS,
                       (int)es->u16ESInfoLength);
            return TSP_ERR_LIST_RANGE;
        }
        ret = TSP_GetOutESECMPIDIndexList(esIndex, pstParamTS, &ecmList);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ES PID index:%d TSP_GetOutESECMPIDIndexList fail\r\n",
                       LOG_POS, (int)esIndex);
            return ret;
        }
        if (ecmList.u16IndexListNum > SIP_PMT_MAX_CASYS) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ECM:%d out of range\r\n", LOG_POS,
                       (int)ecmList.u16IndexListNum);
            return TSP_ERR_LIST_RANGE;
        }
        PMTESInfo_t& e = pstPMT->arstPMTESInfo[n];
        e.u8Type = es->u8StreamType;
        e.u16Pid = es->u16PID;
        ret = CopyLoop(pstParamTS, es->u16ESInfoLength, es->aru8ESInfo, es->u16ESInfoDescriptorIndex, e.aru8ESInfo,
                       &e.u16ESInfoLen, "ESInfoLength");
        if (ret != 0)
            return ret;
        // Re-read after the copy: the PID record pointer stays valid (no growth here).
        ret = ApplyECMs(pstParamTS, &ecmList, e.aru8ESInfo, &e.u16ESInfoLen, e.arstCaInfo, &e.u8CaSysNum);
        if (ret != 0)
            return ret;
        n++;
    }

    ret = TSP_GetOutProgPSECMPIDIndexList(u16OutProgIndex, pstParamTS, &ecmList);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutProgIndex:%d TSP_GetOutProgPSECMPIDIndexList fail\r\n",
                   LOG_POS, (int)u16OutProgIndex);
        return ret;
    }
    if (ecmList.u16IndexListNum > SIP_PMT_MAX_CASYS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d ECM:%d out of range\r\n", LOG_POS,
                   (int)ecmList.u16IndexListNum);
        return TSP_ERR_LIST_RANGE;
    }
    ret = CopyLoop(pstParamTS, prog->u16ProgramInfoLength, prog->aru8ProgramInfo, prog->u16ProgramInfoDescriptorIndex,
                   pstPMT->aru8ProgInfo, &pstPMT->u16ProgInfoLen, "ProInfoLength");
    if (ret != 0)
        return ret;
    ret = ApplyECMs(pstParamTS, &ecmList, pstPMT->aru8ProgInfo, &pstPMT->u16ProgInfoLen, pstPMT->arstCaInfo,
                    &pstPMT->u8CaSysNum);
    if (ret != 0)
        return ret;

    pstPMT->u16ServiceId = prog->u16ServiceID;
    pstPMT->u16PCRPID = prog->u16PCRPID;
    pstPMT->u8VersionNum = prog->u8PMTVersionNumber;
    pstPMT->u8EsNum = (U8)n;
    return 0;
}

// ---------------------------------------------------------------------------
// Stored NIT sections
// ---------------------------------------------------------------------------
U32 TSP_GetOutputNITTable(U16 u16OutTSIndex, Output_TSInfo* pstParamTS, NITBuf_t* pstNITBuf)
{
    const Output_TSStream* ts = StreamAt(pstParamTS, u16OutTSIndex);
    if (ts == nullptr || pstNITBuf == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    U32 idx = ts->u16NITIndex;
    if (idx == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d TS dont have any nit table\r\n", LOG_POS);
        return 1;
    }
    if (pstParamTS->pOutputTable == nullptr || idx >= pstParamTS->u32OutputTableNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT index:%u out of range\r\n", LOG_POS,
                   (unsigned)idx);
        return TSP_ERR_LIST_RANGE;
    }
    if (pstParamTS->pOutputTable[idx].aru8TableInfo[0] != 0x40) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d not a nit table,table tag:0x%x\r\n", LOG_POS,
                   pstParamTS->pOutputTable[idx].aru8TableInfo[0]);
        return 1;
    }
    // The chain ends at 0xFFFF or a link beyond the array; it cannot be
    // longer than the array (a loop in the links would never end).
    for (U32 steps = 0; idx < pstParamTS->u32OutputTableNumber; steps++) {
        if (steps >= pstParamTS->u32OutputTableNumber) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT chain does not end\r\n", LOG_POS);
            return TSP_ERR_LIST_RANGE;
        }
        const TSTable& t = pstParamTS->pOutputTable[idx];
        if (t.u8ValidFlag != TSP_RECORD_VALID) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT record %u not valid\r\n", LOG_POS,
                       (unsigned)idx);
            return TSP_ERR_INPUT;
        }
        if (t.u8TableType != TSP_TABLE_TYPE_NIT) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Error !!!! The table not a NIT table!!!\r\n",
                       LOG_POS);
            return TSP_ERR_NOT_ENOUGH;
        }
        U32 len = (((U32)t.aru8TableInfo[1] & 0x0F) << 8 | t.aru8TableInfo[2]) + 3;
        if (len > TSP_TABLE_INFO_MAX_LEN || pstNITBuf->u32OutputNITSectionOffset + len > SIP_NITBUF_LEN) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d NIT section length:%u offset:%u out of range\r\n",
                       LOG_POS, (unsigned)len, (unsigned)pstNITBuf->u32OutputNITSectionOffset);
            return TSP_ERR_LIST_RANGE;
        }
        memcpy(pstNITBuf->aru8OutputNITSection + pstNITBuf->u32OutputNITSectionOffset, t.aru8TableInfo, len);
        pstNITBuf->u32OutputNITSectionOffset += len;
        pstNITBuf->u16NITLength = (U16)(pstNITBuf->u16NITLength + len);
        idx = t.u16NextIndex;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// ATSC virtual channels
// ---------------------------------------------------------------------------
U32 TSP_ConstructNewVCTChannelInfo(Output_TSProgram* pstProgram, Output_TSInfo* pstParamTS, U8 u8VCTTid,
                                   U8 u8ModulationMode, VCTChannelInfo_t* pstChannel)
{
    if (u8VCTTid != SIP_VCT_TID_TERRESTRIAL && u8VCTTid != SIP_VCT_TID_CABLE)
        return TSP_ERR_INPUT;
    if (pstProgram == nullptr || pstParamTS == nullptr || pstChannel == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [TSP_ConstructNewVCTChannelInfo]Input parameters is wrong!\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(pstChannel, 0, sizeof(*pstChannel));
    ShortName(pstProgram->aru8ServiceName,
              pstProgram->u8ServiceNameLen < sizeof(pstProgram->aru8ServiceName) ? pstProgram->u8ServiceNameLen
                                                                                 : sizeof(pstProgram->aru8ServiceName),
              pstChannel->aru8ShortName);
    pstChannel->u16MajorChannelNum = pstProgram->u16MajorChannelNum;
    pstChannel->u16MinorChannelNum = pstProgram->u16MinorChannelNum;
    pstChannel->u16ChannelTSID = pstProgram->u16ChannelTSID;
    pstChannel->u16ProgramNum = pstProgram->u16ServiceID;
    pstChannel->u16SourceId = pstProgram->u16ServiceID;
    pstChannel->u8ModulationMode = u8ModulationMode;
    pstChannel->u32Frequency = 0;
    pstChannel->u8ServiceType = pstProgram->u8ServiceType != 0 ? pstProgram->u8ServiceType : 2;

    U16 progIndex = pstProgram->u16ProgramIndex;
    IndexInfoList_t list;
    U32 ret = TSP_GetOutProgESPIDIndexList(progIndex, pstParamTS, &list);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [TSP_ConstructNewVCTChannelInfo]program index:%d TSP_GetOutProgESPIDIndexList fail\r\n",
                   LOG_POS, (int)progIndex);
        return ret;
    }
    U32 n = list.u16IndexListNum;
    if (n == 0 || 6 * n + 3 > 254)
        return 0;
    U8* d = pstChannel->aru8Descriptor;
    d[0] = 0xA1;  // service_location_descriptor
    d[1] = (U8)(6 * n + 3);
    d[2] = (U8)(0xE0 | ((pstProgram->u16PCRPID >> 8) & 0x1F));
    d[3] = (U8)pstProgram->u16PCRPID;
    d[4] = (U8)n;
    U8* e = d + 5;
    for (U32 i = 0; i < n; i++, e += 6) {
        const Output_TSPID* es = PIDAt(pstParamTS, list.aru16IndexList[i]);
        if (es == nullptr)
            return TSP_ERR_INPUT;
        e[0] = es->u8StreamType;
        e[1] = (U8)(0xE0 | ((es->u16PID >> 8) & 0x1F));
        e[2] = (U8)es->u16PID;
        U8 t = es->u8StreamType;
        if (t == 0x03 || t == 0x04 || t == 0x06 || t == 0x81)
            memcpy(e + 3, "eng", 3);
        else
            memset(e + 3, 0, 3);
    }
    pstChannel->u16DescriptorLength = (U16)(6 * n + 5);
    return 0;
}

U32 TSP_GetOutputVCTTable(U16 u16OutTSIndex, U8 u8VCTTid, Output_TSInfo* pstParamTS, VCTTable_t* pstVCT)
{
    const Output_TSStream* ts = StreamAt(pstParamTS, u16OutTSIndex);
    if ((u8VCTTid != SIP_VCT_TID_TERRESTRIAL && u8VCTTid != SIP_VCT_TID_CABLE) || pstVCT == nullptr ||
        ts == nullptr || ts->u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    memset(pstVCT, 0, sizeof(*pstVCT));
    static const StreamModel_t kSteps = {__func__, nullptr, nullptr,
                                         TSP_GetOutTSProgIndexList, "TSP_GetOutTSProgIndexList",
                                         SIP_VCT_MAX_CHANNELS, "Channel Number", "range"};
    IndexInfoList_t list;
    U32 ret = StreamListWithin(kSteps, u16OutTSIndex, pstParamTS, &list);
    if (ret != 0)
        return ret;
    pstVCT->u16TransportStreamId = ts->u16TransportStreamID;
    pstVCT->u8VersionNum = ts->u8PATVersionNumber;
    pstVCT->u8ProtocolVerNum = 0;
    pstVCT->u16AddDescriptorLen = 0;
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        Output_TSProgram* prog = ProgramAt(pstParamTS, list.aru16IndexList[i]);
        if (prog == nullptr)
            return TSP_ERR_INPUT;
        ret = TSP_ConstructNewVCTChannelInfo(prog, pstParamTS, u8VCTTid, ts->u8ModulationMode,
                                             &pstVCT->arstVCTChannelInfo[i]);
        if (ret != 0)
            return ret;
        pstVCT->u8ChannelsNum++;
    }
    return 0;
}

U32 TSP_ModifyChannelDescriptor(Output_TSProgram* pstProgram, Output_TSInfo* pstParamTS, U16 u16DescriptorLen,
                                U8* pu8Descriptor)
{
    if (pstProgram == nullptr || pstParamTS == nullptr || pu8Descriptor == nullptr ||
        pstProgram->u16SDTInfoLength > u16DescriptorLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    IndexInfoList_t list;
    U32 ret = TSP_GetOutProgESPIDIndexList(pstProgram->u16ProgramIndex, pstParamTS, &list);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d program index:%d TSP_GetOutProgESPIDIndexList fail\r\n",
                   LOG_POS, (int)pstProgram->u16ProgramIndex);
        return ret;
    }
    U16 len = 0;
    ret = CopyLoop(pstParamTS, pstProgram->u16SDTInfoLength, pstProgram->aru8SDTInfo,
                   pstProgram->u16SDTInfoDescriptorIndex, pu8Descriptor, &len, "SDTInfoLength");
    if (ret != 0)
        return ret;

    constexpr U32 kMaxNoted = 20;
    U16 oldPid[kMaxNoted], newPid[kMaxNoted];
    U32 noted = 0;
    bool changed = pstProgram->u16OldPCRPID != pstProgram->u16PCRPID;
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        if (noted == kMaxNoted) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d more than %u streams, rest ignored\r\n",
                       LOG_POS, (unsigned)kMaxNoted);
            break;
        }
        const Output_TSPID* es = PIDAt(pstParamTS, list.aru16IndexList[i]);
        if (es == nullptr)
            return TSP_ERR_INPUT;
        oldPid[noted] = es->u16OldPID;
        newPid[noted] = es->u16PID;
        changed = changed || es->u16OldPID != es->u16PID;
        noted++;
    }
    if (!changed || len == 0)
        return 0;

    for (U32 pos = 0; pos + 2 <= len;) {
        U32 body = pu8Descriptor[pos + 1];
        if (pos + 2 + body > len)
            break;
        if (pu8Descriptor[pos] == 0xA1 && body >= 3) {
            U8* b = pu8Descriptor + pos + 2;
            b[0] = (U8)(0xE0 | ((pstProgram->u16PCRPID >> 8) & 0x1F));
            b[1] = (U8)pstProgram->u16PCRPID;
            U32 elements = b[2];
            U8* e = b + 3;
            for (U32 k = 0; k < elements && 3 + 6 * (k + 1) <= body; k++, e += 6) {
                U16 pid = (U16)(((e[1] << 8) | e[2]) & 0x1FFF);
                for (U32 j = 0; j < noted; j++) {
                    if (oldPid[j] == pid) {
                        e[1] = (U8)((e[1] & 0xE0) | ((newPid[j] >> 8) & 0x1F));
                        e[2] = (U8)newPid[j];
                        break;
                    }
                }
            }
            break;
        }
        pos += 2 + body;
    }
    return 0;
}

// ---------------------------------------------------------------------------
// PAT PID of an output channel
// ---------------------------------------------------------------------------
zrErrCode TSP_SetPATPID(U16 u16Channel, U16 u16PATPID)
{
    if (u16PATPID > 30) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_EditPATPID error param\r\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    CARD_STATE_LOCK();
    U16 idx = TSP_INVALID_INDEX;
    Output_TSStream* ts = nullptr;
    if (TSP_GetOutputTSIndexByTS(u16Channel, &idx) == 0 && idx != TSP_INVALID_INDEX)
        ts = StreamAt(TSP_GetTempTSParam(), idx);
    if (ts == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,u16Channel[%u]\r\n", __func__, __LINE__,
                   (unsigned)u16Channel);
        return ZR_ERR_PARAMS;
    }
    ts->u16PATPID = u16PATPID;
    return ZR_SUCCESS;
}

U16 TSP_GetPATPID(U16 u16Channel, Output_TSInfo* pstTempTS)
{
    if (pstTempTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetPATPID error param\n", LOG_POS);
        return ZR_ERR_PARAMS;
    }
    CARD_STATE_LOCK();
    U16 idx = TSP_INVALID_INDEX;
    if (TSP_GetOutputTSIndexByTS(u16Channel, &idx) != 0 || idx == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,u16Channel[%u]\r\n", __func__, __LINE__,
                   (unsigned)u16Channel);
        return ZR_ERR_PARAMS;
    }
    const Output_TSStream* ts = StreamAt(pstTempTS, idx);
    if (ts == nullptr)
        return ZR_ERR_PARAMS;
    return ts->u16PATPID;
}
