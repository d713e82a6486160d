// PSI/SI generation per output stream: the tables of the card's SI mode,
// built from the live database and handed to the SI carousel.
#include "SIprocess/SIgenerate.h"
#include "Comm/maccomm.h"
#include "Common/thread.h"
#include "Driver/FPGA/fpga.h"
#include "Driver/RF/rf.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SIsend.h"
#include "SIprocess/SItable.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_nit.h"
#include <atomic>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace {

// One construction buffer and one model per table kind, reused by every
// build of the apply step (callers hold the card-state lock).
U8 s_aru8ConstructBuf[SIP_CONSTRUCT_BUF_LEN];
PATTable_t s_stPAT;
CATTable_t s_stCAT;
SDTTable_t s_stSDT;
PMTTable_t s_stPMT;
MGTTable_t s_stMGT;
VCTTable_t s_stTVCT;
VCTTable_t s_stCVCT;
NITBuf_t s_stNITBuf;

// What each generated table last carried. Conflict resolution and other
// edits rewrite PIDs and ids without a change flag; a table whose content
// moved while its version stood still gets the next version all the same.
enum { FP_PAT = 1, FP_CAT, FP_SDT, FP_PMT, FP_VCT, FP_MGT };
struct Fingerprint_t {
    U64 u64Hash;
    U8 u8Version;
};
std::unordered_map<U32, Fingerprint_t> s_mapFingerprint;

// VCT and MGT versions of a stream, kept in its record and so in the saved
// file: each starts at the PAT's and then steps only with its own table's
// content, so a VCT change never moves a PAT already queued, a receiver
// watching the MGT learns of every VCT change, and a restart keeps both for
// the same content. The record also keeps what each last carried, for the
// first build after a restart.
enum : U8 { PSIP_VERSIONS = 1, PSIP_VCT_CONTENT = 2, PSIP_MGT_CONTENT = 4 };

U8& PSIPVersion(U32 idx, U8 Output_TSStream::*pu8Version, U8 u8Content)
{
    Output_TSStream& ts = TSP_GetTSParam()->pOutputTS[idx];
    if ((ts.u8PSIPKept & PSIP_VERSIONS) == 0) {
        // Written by earlier firmware, or a new stream.
        ts.u8VCTVersionNumber = ts.u8MGTVersionNumber = (U8)(ts.u8PATVersionNumber & 31);
        ts.u8PSIPKept = PSIP_VERSIONS;
    } else if (ts.*pu8Version > 31) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d OutTSIndex:%u kept PSIP version %u out of range: starts from the PAT's\r\n", LOG_POS,
                   (unsigned)idx, (unsigned)(ts.*pu8Version));
        ts.*pu8Version = (U8)(ts.u8PATVersionNumber & 31);
        ts.u8PSIPKept = (U8)(ts.u8PSIPKept & ~u8Content);
    }
    return ts.*pu8Version;
}
U8& VCTVersion(U32 idx) { return PSIPVersion(idx, &Output_TSStream::u8VCTVersionNumber, PSIP_VCT_CONTENT); }
U8& MGTVersion(U32 idx) { return PSIPVersion(idx, &Output_TSStream::u8MGTVersionNumber, PSIP_MGT_CONTENT); }

// Content of sections laid end to end, without version bytes and CRCs.
U64 ContentHash(const U8* p, U32 len)
{
    U64 h = 1469598103934665603ull;
    auto mix = [&h](const U8* b, U32 n) {
        for (U32 i = 0; i < n; i++)
            h = (h ^ b[i]) * 1099511628211ull;
    };
    U32 pos = 0;
    while (pos + 3 <= len) {
        U32 secLen = ((((U32)p[pos + 1] & 0x0F) << 8) | p[pos + 2]) + 3;
        if (secLen < 10 || pos + secLen > len)
            break;
        mix(p + pos, 5);
        mix(p + pos + 6, secLen - 10);
        pos += secLen;
    }
    return h;
}

// True when the version had to be stepped: the caller then builds again.
// Without a build since the start, pu32Kept (when given) is what the table
// carried under this version before.
bool VersionDue(U32 u32Kind, U32 u32Index, const U8* p, U32 len, U8* pu8Version, const U32* pu32Kept = nullptr)
{
    U32 key = u32Kind << 16 | (u32Index & 0xFFFF);
    U64 h = ContentHash(p, len);
    auto it = s_mapFingerprint.find(key);
    bool due = it != s_mapFingerprint.end() ? it->second.u64Hash != h && it->second.u8Version == *pu8Version
                                            : pu32Kept != nullptr && *pu32Kept != (U32)h;
    if (due)
        *pu8Version = (U8)((*pu8Version + 1) & 31);
    s_mapFingerprint[key] = {h, *pu8Version};
    return due;
}

const Output_TSStream* LiveStream(U32 idx)
{
    const Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr || db->pOutputTS == nullptr || idx >= db->u32OutputTSNumber)
        return nullptr;
    return &db->pOutputTS[idx];
}

// Validates the stream index and looks up its destination.
U32 StreamAndDest(U32 idx, const Output_TSStream** ppstTS, bool bDest)
{
    *ppstTS = LiveStream(idx);
    if (*ppstTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input OutTSIndex[%u] error\r\n", LOG_POS,
                   (unsigned)idx);
        return TSP_ERR_INPUT;
    }
    if (!bDest)
        return 0;
    U8 slot = 0;
    U16 channel = 0;
    U32 ret = TSP_GetDestInfoByOutTSIndex((U16)idx, TSP_GetTSParam(), &slot, &channel);
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetDestInfoByOutTSIndex return error\r\n",
                   LOG_POS);
    return ret;
}

// The plan being made, if any, and what the tables carried before it.
SIP_TablePlan* s_pstPlan = nullptr;
struct ContentHistory {
    std::unordered_map<U32, Fingerprint_t> fingerprint;
};
ContentHistory s_stBeforePlan;

// A table goes to the carousel in entries it takes: a table of more packets
// than one entry holds (an SDT of many services, a long NIT or VCT) is cut
// between sections into several.
U32 AddToCarousel(U8* pu8Buf, U32 u32Len, U32 idx, U16 u16PID)
{
    std::vector<SSD_TablePart> parts;
    U32 ret = SSD_SplitTable(pu8Buf, u32Len, &parts);
    U8 channel = 0;
    if (ret == 0 && s_pstPlan != nullptr) {
        U8 slot = 0;
        U16 ch = 0;
        ret = TSP_GetDestInfoByOutTSIndex((U16)idx, TSP_GetTSParam(), &slot, &ch);
        channel = (U8)ch;
    }
    // The parts rotate as one table: each section once per round of all.
    U32 numbered = 0, before = 0;
    for (const SSD_TablePart& part : parts)
        numbered += part.u32Numbered;
    for (size_t k = 0; ret == 0 && k < parts.size(); k++) {
        const SSD_TablePart& part = parts[k];
        if (s_pstPlan != nullptr) {
            s_pstPlan->vecTables.push_back(
                {(U16)idx, u16PID, std::vector<U8>(pu8Buf + part.u32Offset, pu8Buf + part.u32Offset + part.u32Length),
                 (U8)(parts.size() > 1 ? numbered : 0), (U8)before});
            s_pstPlan->vecChannels.push_back(channel);
            before += part.u32Numbered;
        } else {
            ret = SSD_AddBroadcastSI(pu8Buf + part.u32Offset, (U16)part.u32Length, (U16)idx, u16PID);
        }
    }
    if (ret != 0)
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%u PID:%u SSD_AddBroadcastSI return error\r\n",
                   LOG_POS, (unsigned)idx, (unsigned)u16PID);
    return ret;
}

// What sets one stream-level table apart from the others.
template <typename Model>
struct StreamTable_t {
    Model* pstModel;
    U32 (*pfGet)(U16, Output_TSInfo*, Model*);
    const char* pcGetName;
    U32 (*pfConstruct)(Model*, U16, U8*, U16*);
    const char* pcConstructName;
    U8 Output_TSStream::*pu8Version;
    U32 u32Fingerprint;
    const U16* pu16Count;  // a table with this count at zero is not sent
    void (*pfFilter)(U32, Model*) = nullptr;  // last word on the model before it is written
};

// The steps every stream-level table takes once it is due: build, step the
// version if the content moved under it and build again, then queue it.
template <typename Model>
U32 BuildAndQueue(U32 u32OutputTsIndex, const StreamTable_t<Model>& t, U16 u16PID)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, true);
    if (ret != 0)
        return ret;
    U16 len = 0;
    auto build = [&]() -> U32 {
        memset(s_aru8ConstructBuf, 0, sizeof(s_aru8ConstructBuf));
        U32 r = t.pfGet((U16)u32OutputTsIndex, TSP_GetTSParam(), t.pstModel);
        if (r != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s return error\r\n", LOG_POS, t.pcGetName);
            return r;
        }
        if (t.pfFilter != nullptr)
            t.pfFilter(u32OutputTsIndex, t.pstModel);
        r = t.pfConstruct(t.pstModel, SIP_CONSTRUCT_BUF_LEN, s_aru8ConstructBuf, &len);
        if (r != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d %s return error\r\n", LOG_POS,
                       t.pcConstructName);
        return r;
    };
    if ((ret = build()) != 0)
        return ret;
    if (t.pu16Count != nullptr && *t.pu16Count == 0)
        return 0;
    U8* ver = &(TSP_GetTSParam()->pOutputTS[u32OutputTsIndex].*t.pu8Version);
    if (VersionDue(t.u32Fingerprint, u32OutputTsIndex, s_aru8ConstructBuf, len, ver) && (ret = build()) != 0)
        return ret;
    return AddToCarousel(s_aru8ConstructBuf, len, u32OutputTsIndex, u16PID);
}

// The PMTs of one stream, built before its PAT so that the PAT lists only
// programs whose PMT goes out: a program announced without one is unusable.
struct PMTPlan_t {
    U32 u32TSIndex = 0xFFFFFFFFu;
    struct Section {
        U16 u16PID;
        std::vector<U8> data;
    };
    std::vector<Section> vecSections;
    std::vector<U16> vecUnsent;  // PMT PIDs of programs whose PMT could not be built
    std::vector<U16> vecUnsentService;  // and their service ids
};
PMTPlan_t s_stPMTPlan;

bool PMTPlanned(U32 idx) { return s_stPMTPlan.u32TSIndex == idx; }

U32 PlanPMTs(U32 u32OutputTsIndex);

void DropUnsentPrograms(U32 idx, PATTable_t* pat)
{
    if (!PMTPlanned(idx) || s_stPMTPlan.vecUnsent.empty())
        return;
    U16 kept = 0;
    for (U16 i = 0; i < pat->u16ProgramCount && i < SIP_PAT_MAX_PROGRAM; i++) {
        const ProgramInfoInPat_t& p = pat->arstProgramInfo[i];
        bool unsent = false;
        for (U16 pid : s_stPMTPlan.vecUnsent)
            unsent = unsent || p.u16PMTPid == pid;
        if (unsent)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d OutTSIndex:%d service %d left out of the PAT: its PMT cannot be sent\r\n", LOG_POS,
                       (int)idx, (int)p.u16ServiceId);
        else
            pat->arstProgramInfo[kept++] = p;
    }
    pat->u16ProgramCount = kept;
}

// A service whose program the PAT leaves out is not named in the SDT either:
// what the SDT names as running is in the PAT.
void DropUnsentServices(U32 idx, SDTTable_t* sdt)
{
    if (!PMTPlanned(idx) || s_stPMTPlan.vecUnsentService.empty())
        return;
    U16 kept = 0;
    for (U16 i = 0; i < sdt->u16ServiceNum && i < SIP_SDT_MAX_SERVICE; i++) {
        bool unsent = false;
        for (U16 sid : s_stPMTPlan.vecUnsentService)
            unsent = unsent || sdt->arstProgInfo[i].u16ServiceID == sid;
        if (!unsent)
            sdt->arstProgInfo[kept++] = sdt->arstProgInfo[i];
    }
    sdt->u16ServiceNum = kept;
}

}  // namespace

void SIP_BeginPlan(SIP_TablePlan* pstPlan)
{
    s_pstPlan = pstPlan;
    s_stBeforePlan = {s_mapFingerprint};
}

void SIP_EndPlan(bool bKeep)
{
    if (s_pstPlan == nullptr)
        return;
    s_pstPlan = nullptr;
    if (!bKeep) {
        s_mapFingerprint.swap(s_stBeforePlan.fingerprint);
    }
    s_stBeforePlan = ContentHistory();
}

void SIP_NoteTableFailure(U16 u16OutTSIndex, U16 u16Program, const char* pcTable, U32 u32Code)
{
    if (s_pstPlan != nullptr)
        s_pstPlan->vecFailures.push_back({u16OutTSIndex, u16Program, pcTable, u32Code});
}

void SIP_ResetContentHistory(void)
{
    s_mapFingerprint.clear();
}

U8 SIP_GetCurrentSIMode(void)
{
    return FPGA_GetChipType() == CHIP_TYPE_SUB ? Slave_GetSIMod() : Resource_GetSIMode();
}

BOOL IsPSITableInOtherPID(U16 u16OutputTsIndex, U16 u16PID)
{
    Output_TSInfo* db = TSP_GetTSParam();
    IndexInfoList_t list;
    if (TSP_GetOutTSOtherPIDIndexList(u16OutputTsIndex, db, &list) != 0) {
        // Without the list the card keeps its own table: better than none.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutTSOtherPIDIndexList return error\r\n",
                   LOG_POS);
        return FALSE;
    }
    for (U32 i = 0; i < list.u16IndexListNum; i++) {
        U32 p = list.aru16IndexList[i];
        if (p < db->u32OutputPIDNumber && db->pOutputPID[p].u16PID == u16PID)
            return TRUE;
    }
    return FALSE;
}

BOOL IsPIDExistInTS(U16 u16OutputIndex, U16 u16PID)
{
    if (u16OutputIndex == TSP_INVALID_INDEX || u16PID == TSP_INVALID_INDEX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n", LOG_POS);
        return FALSE;
    }
    CARD_STATE_LOCK();
    const Output_TSInfo* db = TSP_GetTSParam();
    const Output_TSStream* ts = LiveStream(u16OutputIndex);
    if (ts == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n", LOG_POS);
        return FALSE;
    }
    if (u16PID == 0x01 || u16PID == 0x10 || u16PID == 0x11 || u16PID == 0x12 || u16PID == 0x14)
        return TRUE;
    for (U32 i = 0; db->pOutputPID != nullptr && i < db->u32OutputPIDNumber; i++) {
        const Output_TSPID& pid = db->pOutputPID[i];
        if (pid.u8ValidFlag == TSP_RECORD_VALID && pid.u16ChannelID == ts->u16ChannelID && pid.u16PID == u16PID)
            return TRUE;
    }
    IndexInfoList_t list;
    if (TSP_GetOutTSProgIndexList(u16OutputIndex, db, &list) == 0) {
        for (U32 i = 0; i < list.u16IndexListNum; i++) {
            U32 p = list.aru16IndexList[i];
            if (p < db->u32OutputProgramNumber && db->pOutputProgram[p].u16PMTPID == u16PID)
                return TRUE;
        }
    }
    return FALSE;
}

// ---------------------------------------------------------------------------
// Table builders of one output stream
// ---------------------------------------------------------------------------
U32 TSP_ConstructPAT(U32 u32OutputTsIndex)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (IsPSITableInOtherPID((U16)u32OutputTsIndex, ts->u16PATPID)) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%d  exist PAT in other pid\r\n",
                   LOG_POS, (int)u32OutputTsIndex);
        return 0;
    }
    if (ts->u16ProgramNum == 0 || ts->u8PATGenerate != 1)
        return 0;
    PlanPMTs(u32OutputTsIndex);
    return BuildAndQueue(u32OutputTsIndex,
                         StreamTable_t<PATTable_t>{&s_stPAT, TSP_GetOutputPATTable, "TSP_GetOutputPATTable",
                                                  SIP_ConstructPAT, "SIP_ConstructPAT",
                                                  &Output_TSStream::u8PATVersionNumber, FP_PAT, nullptr,
                                                  DropUnsentPrograms},
                         ts->u16PATPID);
}

U32 TSP_ConstructCAT(U32 u32OutputTsIndex)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (IsPSITableInOtherPID((U16)u32OutputTsIndex, SIP_PID_CAT)) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%d  exist CAT in other pid\r\n",
                   LOG_POS, (int)u32OutputTsIndex);
        return 0;
    }
    if (SIP_GetCurrentSIMode() != 0 || ts->u16EMMPIDNumber == 0 || ts->u8CATGenerate != 1)
        return 0;
    return BuildAndQueue(u32OutputTsIndex,
                         StreamTable_t<CATTable_t>{&s_stCAT, TSP_GetOutputCATTable, "TSP_GetOutputCATTable",
                                                  SIP_ConstructCAT, "SIP_ConstructCAT",
                                                  &Output_TSStream::u8CATVersionNumber, FP_CAT, &s_stCAT.u16CaSysNum},
                         SIP_PID_CAT);
}

U32 TSP_ConstructNIT(U32 u32OutputTsIndex)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (IsPSITableInOtherPID((U16)u32OutputTsIndex, SIP_PID_NIT) &&
        !TSP_IsNITTableChangedByUser((U16)u32OutputTsIndex, TSP_GetTSParam()))
        return 0;
    if (SIP_GetCurrentSIMode() != 0 || ts->u16NITIndex == TSP_INVALID_INDEX || ts->u8NITGenerate != 1)
        return 0;
    printf("NIT index:%d\n", (int)ts->u16NITIndex);
    if ((ret = StreamAndDest(u32OutputTsIndex, &ts, true)) != 0)
        return ret;
    s_stNITBuf.u16NITLength = 0;
    s_stNITBuf.u32OutputNITSectionOffset = 0;
    ret = TSP_GetOutputNITTable((U16)u32OutputTsIndex, TSP_GetTSParam(), &s_stNITBuf);
    if (ret == 1)
        return 0;  // the stream has no NIT after all
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputNITTable return error\r\n", LOG_POS);
        return ret;
    }
    TSP_GetTSParam()->pOutputTS[u32OutputTsIndex].u8NITChangeFlag = 0;
    return AddToCarousel(s_stNITBuf.aru8OutputNITSection, s_stNITBuf.u16NITLength, u32OutputTsIndex, SIP_PID_NIT);
}

U32 TSP_ConstructSDT(U32 u32OutputTsIndex)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (IsPSITableInOtherPID((U16)u32OutputTsIndex, SIP_PID_SDT) && ts->u8IsSDTChangedByUser != 1) {
        log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d OutTSIndex:%d exist SDT in other PID and not changed\r\n", LOG_POS,
                   (int)u32OutputTsIndex);
        return 0;
    }
    if (SIP_GetCurrentSIMode() != 0 || ts->u16ProgramNum == 0 || ts->u8SDTGenerate != 1)
        return 0;
    return BuildAndQueue(u32OutputTsIndex,
                         StreamTable_t<SDTTable_t>{&s_stSDT, TSP_GetOutputSDTTable, "TSP_GetOutputSDTTable",
                                                  SIP_ConstructSDT, "SIP_ConstructSDT",
                                                  &Output_TSStream::u8SDTVersionNumber, FP_SDT, nullptr,
                                                  DropUnsentServices},
                         SIP_PID_SDT);
}

U32 TSP_ConstructPMTForProg(U16 u16OutputProgIndex, U32 u32OutputTsIndex, U16* pu16SectionLength)
{
    if (pu16SectionLength == nullptr)
        return TSP_ERR_INPUT;
    *pu16SectionLength = 0;
    U16 len = 0;
    auto build = [&]() -> U32 {
        memset(s_aru8ConstructBuf, 0, sizeof(s_aru8ConstructBuf));
        U32 r = TSP_GetOutputPMTTable(u16OutputProgIndex, TSP_GetTSParam(), &s_stPMT);
        if (r != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                       "%ld:%s:%d OutTSIndex:%d TSP_GetOutputPMTTable return error\r\n", LOG_POS, (int)u32OutputTsIndex);
            return r;
        }
        r = SIP_ConstructPMT(u16OutputProgIndex, &s_stPMT, SIP_CONSTRUCT_BUF_LEN, s_aru8ConstructBuf, &len);
        if (r != 0)
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SIP_ConstructPMT return error\r\n", LOG_POS);
        return r;
    };
    U32 ret = build();
    if (ret != 0)
        return ret;
    U8* ver = &TSP_GetTSParam()->pOutputProgram[u16OutputProgIndex].u8PMTVersionNumber;
    if (VersionDue(FP_PMT, u16OutputProgIndex, s_aru8ConstructBuf, len, ver) && (ret = build()) != 0)
        return ret;
    *pu16SectionLength = len;
    return 0;
}

namespace {
// Builds every PMT of the stream that the card sends into the plan.
U32 PlanPMTs(U32 u32OutputTsIndex)
{
    s_stPMTPlan.u32TSIndex = 0xFFFFFFFFu;
    s_stPMTPlan.vecSections.clear();
    s_stPMTPlan.vecUnsent.clear();
    s_stPMTPlan.vecUnsentService.clear();
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutputTsIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (ts->u16ProgramNum == 0 || ts->u8PMTGenerate != 1)
        return 0;
    if ((ret = StreamAndDest(u32OutputTsIndex, &ts, true)) != 0)
        return ret;
    Output_TSInfo* db = TSP_GetTSParam();
    IndexInfoList_t progs;
    ret = TSP_GetOutTSProgIndexList((U16)u32OutputTsIndex, db, &progs);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutTSProgIndexList return error\r\n",
                   LOG_POS);
        return ret;
    }
    for (U32 i = 0; i < progs.u16IndexListNum; i++) {
        U16 p = progs.aru16IndexList[i];
        if (p >= db->u32OutputProgramNumber)
            continue;
        const Output_TSProgram& prog = db->pOutputProgram[p];
        U16 pmtPid = prog.u16PMTPID;
        if (prog.u16PSECMPIDNumber == 1) {
            // An ECM carried on the PMT PID itself takes the place of the PMT.
            IndexInfoList_t ecm;
            if (TSP_GetOutProgPSECMPIDIndexList(p, db, &ecm) == 0 && ecm.u16IndexListNum == 1 &&
                ecm.aru16IndexList[0] < db->u32OutputPIDNumber &&
                db->pOutputPID[ecm.aru16IndexList[0]].u16PID == pmtPid)
                continue;
        }
        if (IsPSITableInOtherPID((U16)u32OutputTsIndex, pmtPid)) {
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%d  exist PMT %d in other pid\r\n",
                       LOG_POS, (int)u32OutputTsIndex, (int)pmtPid);
            continue;
        }
        U16 len = 0;
        U32 why = TSP_ConstructPMTForProg(p, u32OutputTsIndex, &len);
        if (len == 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d OutTSIndex:%d PMT of service %d not built\r\n",
                       LOG_POS, (int)u32OutputTsIndex, (int)prog.u16ServiceID);
            s_stPMTPlan.vecUnsent.push_back(pmtPid);
            s_stPMTPlan.vecUnsentService.push_back(prog.u16ServiceID);
            SIP_NoteTableFailure((U16)u32OutputTsIndex, p, "PMT", why != 0 ? why : TSP_ERR_INPUT);
            continue;
        }
        s_stPMTPlan.vecSections.push_back({pmtPid, std::vector<U8>(s_aru8ConstructBuf, s_aru8ConstructBuf + len)});
    }
    s_stPMTPlan.u32TSIndex = u32OutputTsIndex;
    return 0;
}
}  // namespace

U32 TSP_ConstructPMTs(U32 u32OutputTsIndex)
{
    // The PAT builder planned them already when it ran for this stream.
    if (!PMTPlanned(u32OutputTsIndex)) {
        U32 ret = PlanPMTs(u32OutputTsIndex);
        if (ret != 0)
            return ret;
    }
    for (PMTPlan_t::Section& sec : s_stPMTPlan.vecSections)
        AddToCarousel(sec.data.data(), (U32)sec.data.size(), u32OutputTsIndex, sec.u16PID);
    s_stPMTPlan.u32TSIndex = 0xFFFFFFFFu;
    s_stPMTPlan.vecSections.clear();
    return 0;
}

namespace {
// MGT and VCT of one stream, back to back in the construction buffer.
U32 BuildPSIP(U32 u32OutTSIndex, const Output_TSStream* ts, U16* pu16MGTLen, U16* pu16VCTLen)
{
    U32 ret = 0;
    memset(&s_stMGT, 0, sizeof(s_stMGT));
    memset(&s_stTVCT, 0, sizeof(s_stTVCT));
    memset(&s_stCVCT, 0, sizeof(s_stCVCT));
    U32 vctType = 0;
    U8 modulation = 0;
    ret = TSP_GetVctTypeAndModulation(&vctType, &modulation);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetVctTypeAndModulation return error\r\n",
                   LOG_POS);
        return ret;
    }
    bool terrestrial = ts->u32VCTType != 0;
    U8 tid = terrestrial ? SIP_VCT_TID_TERRESTRIAL : SIP_VCT_TID_CABLE;
    U16 tableType = terrestrial ? 0x0000 : 0x0002;
    VCTTable_t* vct = terrestrial ? &s_stTVCT : &s_stCVCT;
    ret = TSP_GetOutputVCTTable((U16)u32OutTSIndex, tid, TSP_GetTSParam(), vct);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputVCTTable return error\r\n", LOG_POS);
        return ret;
    }
    vct->u8VersionNum = VCTVersion(u32OutTSIndex);
    U8 sections = 0;
    U16 vctTotal = 0;
    ret = SIP_GetVCTSectionInfo(vct, &sections, &vctTotal);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SIP_GetVCTSectionInfo return error\r\n", LOG_POS);
        return ret;
    }
    s_stMGT.u8VersionNum = MGTVersion(u32OutTSIndex);
    s_stMGT.u8ProtocolVersion = 0;
    if (sections != 0 && vctTotal != 0) {
        MGTTablesInfo_t& t = s_stMGT.arstMGTTablesInfo[0];
        t.u16TableType = tableType;
        t.u16TableTypePid = SIP_PID_PSIP_BASE;
        t.u8TableTypeVerNum = vct->u8VersionNum;
        t.u32NumberBytes = vctTotal;
        s_stMGT.u16TablesDefined = 1;
    }
    memset(s_aru8ConstructBuf, 0, sizeof(s_aru8ConstructBuf));
    U16 mgtLen = 0, vctLen = 0;
    *pu16MGTLen = 0;
    *pu16VCTLen = 0;
    ret = SIP_ConstructMGT(&s_stMGT, SIP_CONSTRUCT_BUF_LEN, s_aru8ConstructBuf, &mgtLen);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SIP_ConstructMGT return error\r\n", LOG_POS);
        return ret;
    }
    if (ts->u8VCTGenerate == 1 && sections != 0) {
        ret = SIP_ConstructVCT(vct, tid, (U16)(SIP_CONSTRUCT_BUF_LEN - mgtLen), s_aru8ConstructBuf + mgtLen, &vctLen);
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SIP_ConstructVCT return error\r\n", LOG_POS);
            return ret;
        }
    }
    *pu16MGTLen = mgtLen;
    *pu16VCTLen = vctLen;
    return 0;
}
}  // namespace

U32 TSP_ConstructPSIP(U32 u32OutTSIndex)
{
    const Output_TSStream* ts = nullptr;
    U32 ret = StreamAndDest(u32OutTSIndex, &ts, false);
    if (ret != 0)
        return ret;
    if (SIP_GetCurrentSIMode() != 1 || (ts->u8VCTGenerate != 1 && ts->u8MGTGenerate != 1))
        return 0;
    U16 mgtLen = 0, vctLen = 0;
    if ((ret = BuildPSIP(u32OutTSIndex, ts, &mgtLen, &vctLen)) != 0)
        return ret;
    Output_TSStream& rec = TSP_GetTSParam()->pOutputTS[u32OutTSIndex];
    // What the record kept from before a restart, while this run has built
    // nothing for the stream yet.
    auto kept = [&rec](U8 u8Content, U32 Output_TSStream::*pu32Content, U32* pu32Out) -> const U32* {
        *pu32Out = rec.*pu32Content;
        return (rec.u8PSIPKept & u8Content) != 0 ? pu32Out : nullptr;
    };
    auto keep = [&rec](U8 u8Content, U32 Output_TSStream::*pu32Content, const U8* p, U32 len) {
        rec.*pu32Content = (U32)ContentHash(p, len);
        rec.u8PSIPKept = (U8)(rec.u8PSIPKept | u8Content);
    };
    U32 before = 0;
    U8* ver = &VCTVersion(u32OutTSIndex);
    if (vctLen != 0 &&
        VersionDue(FP_VCT, u32OutTSIndex, s_aru8ConstructBuf + mgtLen, vctLen, ver,
                   kept(PSIP_VCT_CONTENT, &Output_TSStream::u32VCTContent, &before)) &&
        (ret = BuildPSIP(u32OutTSIndex, ts, &mgtLen, &vctLen)) != 0)
        return ret;
    // The MGT is measured once the VCT's version is settled: a new VCT
    // version or length is a change of the MGT's own entries.
    ver = &MGTVersion(u32OutTSIndex);
    if (VersionDue(FP_MGT, u32OutTSIndex, s_aru8ConstructBuf, mgtLen, ver,
                   kept(PSIP_MGT_CONTENT, &Output_TSStream::u32MGTContent, &before)) &&
        (ret = BuildPSIP(u32OutTSIndex, ts, &mgtLen, &vctLen)) != 0)
        return ret;
    if (vctLen != 0)
        keep(PSIP_VCT_CONTENT, &Output_TSStream::u32VCTContent, s_aru8ConstructBuf + mgtLen, vctLen);
    keep(PSIP_MGT_CONTENT, &Output_TSStream::u32MGTContent, s_aru8ConstructBuf, mgtLen);
    return AddToCarousel(s_aru8ConstructBuf, (U32)mgtLen + vctLen, u32OutTSIndex, SIP_PID_PSIP_BASE);
}

// ---------------------------------------------------------------------------
// ATSC STT, per output channel
// ---------------------------------------------------------------------------
namespace {
// What the STT build needs, published for the carousel thread so that the
// STT never waits for the card-state lock (ATSC wants one every second).
struct STTState_t {
    std::atomic<U8> u8Enabled{0};  // SI mode 1 on this chip
    std::atomic<U16> u16GPSOffset{0};
    std::atomic<U8> u8DayLight{0};
    std::atomic<U8> u8Zone{0};
    std::atomic<U8> aru8Channel[8] = {};
};
STTState_t s_stSTT;

// Master: the channels whose stream gets an STT (exists, not bypass, STT
// generation on); 0 or the failing lookup's code. Needs the card-state lock.
U32 STTChannels(U8 aru8Flags[8])
{
    memset(aru8Flags, 0, 8);
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U8 c = 0; c < 8; c++) {
        U16 idx = TSP_INVALID_INDEX;
        if (TSP_GetOutputTSIndexByTS(c, &idx) != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d TSP_GetOutputTSIndexByTS return error\r\n",
                       LOG_POS);
            return TSP_ERR_INPUT;
        }
        const Output_TSStream* ts =
            (db != nullptr && db->pOutputTS != nullptr && idx < db->u32OutputTSNumber) ? &db->pOutputTS[idx] : nullptr;
        aru8Flags[c] = ts != nullptr && ts->u8BypassFlag != 1 && ts->u8STTGenerate == 1;
    }
    return 0;
}

// Slave: the master's word on which of the slave's channels carry the STT.
std::atomic<U8> s_aru8SubSTTChannel[8] = {};
}  // namespace

void SIP_SetSTTChannels(const U8* pu8Flags)
{
    if (pu8Flags == nullptr)
        return;
    for (U8 c = 0; c < 8; c++)
        s_aru8SubSTTChannel[c] = pu8Flags[c] == 1;
}

void TSP_SendSubSTTEnableFlag(void)
{
    U8 flags[8];
    {
        CARD_STATE_LOCK();
        if (STTChannels(flags) != 0)
            return;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d STT Enable flag send to sub FPGA\r\n\n", LOG_POS);
    SSD_PostSubMessage(ZR_COM_MAC_CMD_STT_ENABLE_FLAG, flags, sizeof(flags));
}

U32 SIP_PublishSTTState(void)
{
    CARD_STATE_LOCK();
    U8 enabled = 0;
    U16 gpsOffset = 0;
    U8 dayLight = 0, zone = 0;
    U8 channels[8] = {};
    U32 ret = 0;
    if (FPGA_GetChipType() == CHIP_TYPE_SUB) {
        // The time settings and channels the master handed over.
        enabled = Slave_GetSIMod() == 1;
        gpsOffset = g_u16GPSOffset;
        dayLight = g_u8DayLightFlag;
        zone = g_u8NTPZone;
        for (U8 c = 4; c < 8; c++)
            channels[c] = s_aru8SubSTTChannel[c];
    } else {
        if (Resource_GetSIMode() == 1) {
            const TResource_TS* bb = Resource_GetHandle(SLOT_BB);
            if (bb == nullptr) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d back board record missing\r\n", LOG_POS);
                ret = TSP_ERR_INPUT;
            } else {
                enabled = 1;
                gpsOffset = bb->u16GPSOffset;
                dayLight = bb->u8DayLightFlag;
                zone = bb->u8NTPZone;
            }
        }
        U32 r = STTChannels(channels);
        ret = ret != 0 ? ret : r;
    }
    s_stSTT.u16GPSOffset = gpsOffset;
    s_stSTT.u8DayLight = dayLight;
    s_stSTT.u8Zone = zone;
    s_stSTT.u8Enabled = enabled;
    for (U8 c = 0; c < 8; c++)
        s_stSTT.aru8Channel[c] = channels[c];
    return ret;
}

U32 TSP_ConstructSTT(void)
{
    // Refreshed when the card state is free at once; otherwise the state the
    // last apply or tick published stands.
    {
        CardStateLock lock(Card_StateMutex(), std::try_to_lock);
        if (lock.owns_lock() && SIP_PublishSTTState() != 0)
            return TSP_ERR_INPUT;
    }
    if (s_stSTT.u8Enabled != 1)
        return 0;
    // A buffer of its own: the apply step may be using the shared one.
    U8 stt[32];
    U16 len = 0;
    U32 ret = SIP_ConstructSTT(s_stSTT.u16GPSOffset, s_stSTT.u8DayLight, s_stSTT.u8Zone, sizeof(stt), stt, &len);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d SIP_ConstructSTT return error\r\n", LOG_POS);
        return ret;
    }
    for (U8 c = 0; c < 8; c++) {
        if (s_stSTT.aru8Channel[c] && __atomic_load_n(&u8PSIEnable[c], __ATOMIC_RELAXED) == 1 && u8MuxChannelFlag[c] == 1)
            SSD_AddTimeSITable(stt, len, c, SIP_PID_PSIP_BASE);
    }
    return 0;
}

// ---------------------------------------------------------------------------
// Helpers
// ---------------------------------------------------------------------------
U32 TSP_GetVctTypeAndModulation(U32* pu32VctType, U8* pu8Modulation)
{
    if (pu32VctType == nullptr || pu8Modulation == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    *pu32VctType = PARAMS_GetModulationMod() == 4 ? 2 : 0;
    *pu8Modulation = 2;
    return 0;
}

U16 TSP_CalMJD(U16 u16Year, U16 u16Month, U16 u16Day)
{
    // Integer form of 14956 + D + int((Y - L) x 365.25) + int((M + 1 + L x 12) x 30.6001).
    U32 l = (u16Month == 1 || u16Month == 2) ? 1 : 0;
    U32 y = u16Year >= l ? u16Year - l : 0;
    U32 mjd = 14956u + u16Day + (y * 36525u) / 100u + ((u16Month + 1u + l * 12u) * 306001u) / 10000u;
    return (U16)mjd;
}

U8 TSP_CalBCD(U8 u8Value)
{
    if (u8Value > 99)
        return 0;
    return (U8)(((u8Value / 10) << 4) | (u8Value % 10));
}

void TSP_GetUTCTime(U8* aru8UTCTime) { TSP_UTCTimeOf(time(nullptr), aru8UTCTime); }

void TSP_UTCTimeOf(time_t tSeconds, U8* aru8UTCTime)
{
    if (aru8UTCTime == nullptr)
        return;
    struct tm t;
    if (gmtime_r(&tSeconds, &t) == nullptr) {
        memset(aru8UTCTime, 0, 5);
        return;
    }
    U16 mjd = TSP_CalMJD((U16)t.tm_year, (U16)(t.tm_mon + 1), (U16)t.tm_mday);
    aru8UTCTime[0] = (U8)(mjd >> 8);
    aru8UTCTime[1] = (U8)mjd;
    aru8UTCTime[2] = TSP_CalBCD((U8)t.tm_hour);
    aru8UTCTime[3] = TSP_CalBCD((U8)t.tm_min);
    aru8UTCTime[4] = TSP_CalBCD((U8)(t.tm_sec > 59 ? 59 : t.tm_sec));
}

void TSP_ClearAllSIInfo(void) { SSD_InitBroadcastSI(); }
