// Section codec: writes the PSI/SI table models as complete sections and
// parses the NIT and TOT sections the card reads back.
//
// Every writer checks all limits before it writes, so a refused table leaves
// the caller's length at 0 (the STT and TOT writers report their fixed size).
#include "SIprocess/SIconstruct.h"
#include "Common/commonfun.h"
#include "Log/log.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SItable.h"
#include "StatusProcess/status.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_nit.h"
#include <cstring>
#include <memory>
#include <new>

const TimeZoneSec_t time_zone_sec[26] = {
    {0, 43200}, {1, 39600}, {2, 36000}, {3, 32400}, {4, 28800}, {5, 25200}, {6, 21600},
    {7, 18000}, {8, 14400}, {9, 10800}, {10, 7200}, {11, 3600}, {12, 0},    {13, 3600},
    {14, 7200}, {15, 10800}, {16, 14400}, {17, 18000}, {18, 21600}, {19, 25200}, {20, 28800},
    {21, 32400}, {22, 36000}, {23, 39600}, {24, 43200}, {25, 46800},
};

// Second Sunday of March, first Sunday of November, 2019..2040.
const U8 aru8USADayLight[22][2] = {
    {10, 3}, {8, 1},  {14, 7}, {13, 6}, {12, 5}, {10, 3}, {9, 2},  {8, 1},  {14, 7}, {12, 5}, {11, 4},
    {10, 3}, {9, 2},  {14, 7}, {13, 6}, {12, 5}, {11, 4}, {9, 2},  {8, 1},  {14, 7}, {13, 6}, {11, 4},
};

namespace {

constexpr U8 kSyntaxPSI = 0xB0;      // section_syntax 1, '0', reserved 11
constexpr U8 kSyntaxPrivate = 0xF0;  // section_syntax 1, private 1, reserved 11
constexpr U8 kSyntaxShort = 0x70;    // TDT/TOT: section_syntax 0

inline void PutU16(U8* p, U32 v)
{
    p[0] = (U8)(v >> 8);
    p[1] = (U8)v;
}
inline void PutU32(U8* p, U32 v)
{
    p[0] = (U8)(v >> 24);
    p[1] = (U8)(v >> 16);
    p[2] = (U8)(v >> 8);
    p[3] = (U8)v;
}
inline void PutPID(U8* p, U32 pid)
{
    p[0] = (U8)(0xE0 | ((pid >> 8) & 0x1F));
    p[1] = (U8)pid;
}
// 12-bit length behind four reserved bits.
inline void PutLen12(U8* p, U32 len, U8 high = 0xF0)
{
    p[0] = (U8)(high | ((len >> 8) & 0x0F));
    p[1] = (U8)len;
}
inline U8 VersionByte(U8 v) { return (U8)(0xC1 | ((v & 0x1F) << 1)); }
inline U16 GetU16(const U8* p) { return (U16)((p[0] << 8) | p[1]); }
inline U16 GetLen12(const U8* p) { return (U16)(((p[0] & 0x0F) << 8) | p[1]); }

// The long-form header behind table_id's length bytes: table id extension,
// version (current), section number and last section number.
void PutHeader(U8* p, U8 u8Tid, U16 u16Ext, U8 u8Version, U8 u8Section = 0, U8 u8Last = 0)
{
    p[0] = u8Tid;
    PutU16(p + 3, u16Ext);
    p[5] = VersionByte(u8Version);
    p[6] = u8Section;
    p[7] = u8Last;
}

// Writes section_length behind table_id and the CRC at the end; total bytes
// is section_length + 3.
void FinishSection(U8* pu8Sec, U32 u32Total, U8 u8Syntax)
{
    U32 secLen = u32Total - 3;
    pu8Sec[1] = (U8)(u8Syntax | ((secLen >> 8) & 0x0F));
    pu8Sec[2] = (U8)secLen;
    U32 crc = Common_CRC_Calculate(pu8Sec, u32Total - 4, 0xFFFFFFFFu);
    PutU32(pu8Sec + u32Total - 4, crc);
}

U8 CurrentSIMode() { return SIP_GetCurrentSIMode(); }

// A constructor needs every pointer it takes; its length output starts at 0.
bool ConstructStart(const char* func, const void* model, const U8* pu8Buf, U16* pu16SectionLen)
{
    if (model == nullptr || pu8Buf == nullptr || pu16SectionLen == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS_OF(func));
        return false;
    }
    *pu16SectionLen = 0;
    return true;
}

// First steps of a section parser: both pointers given, the model cleared
// for the first section; gives section_length (0 when the buffer cannot
// hold it). False when a pointer is missing.
template <typename Model>
bool ParseStart(const char* func, const U8* pu8Section, U16 u16BufLen, Model* model, U8 u8SectionNum, U16* pu16SecLen)
{
    if (pu8Section == nullptr || model == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS_OF(func));
        return false;
    }
    if (u8SectionNum == 0)
        memset(model, 0, sizeof(*model));
    *pu16SecLen = u16BufLen >= 3 ? GetLen12(pu8Section + 1) : 0;
    return true;
}

}  // namespace

// ---------------------------------------------------------------------------
// PAT
// ---------------------------------------------------------------------------
U32 SIP_ConstructPAT(PATTable_t* pstPAT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (!ConstructStart(__func__, pstPAT, pu8Buf, pu16SectionLen))
        return SIP_ERR_PARAM;
    U32 n = pstPAT->u16ProgramCount;
    if (n > SIP_PAT_MAX_PROGRAM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ProgramCount:%d out or range\r\n", LOG_POS, (int)n);
        return SIP_ERR_RANGE;
    }
    U32 secLen = 4 * n + 9;
    if (secLen + 2 >= u16BufLen)
        return SIP_ERR_PARAM;

    U8* p = pu8Buf;
    PutHeader(p, 0x00, pstPAT->u16TransportStreamID, pstPAT->u8VersionNum);
    U32 pos = 8;
    for (U32 i = 0; i < n; i++) {
        PutU16(p + pos, pstPAT->arstProgramInfo[i].u16ServiceId);
        PutPID(p + pos + 2, pstPAT->arstProgramInfo[i].u16PMTPid);
        pos += 4;
    }
    FinishSection(p, secLen + 3, kSyntaxPSI);
    *pu16SectionLen = (U16)(secLen + 3);
    return 0;
}

// ---------------------------------------------------------------------------
// CAT
// ---------------------------------------------------------------------------
namespace {
// Whole CAT size, or 0 when a CA entry's descriptor length cannot be written
// (fewer than the 4 fixed bytes, or more private bytes than the entry holds).
U32 CATLength(const CATTable_t* pstCAT)
{
    U32 total = 12;
    for (U32 i = 0; i < pstCAT->u16CaSysNum; i++) {
        U32 d = pstCAT->arstCaInfo[i].u8DesLength;
        if (d < 4 || d > 4 + 98)
            return 0;
        total += 2 + d;
    }
    return total;
}
}  // namespace

U32 SIP_GETCATTableLen(CATTable_t* pstCAT, U16* pu16Len)
{
    if (pstCAT == nullptr || pu16Len == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    *pu16Len = 0;
    if (pstCAT->u16CaSysNum > SIP_CAT_MAX_CASYS)
        return SIP_ERR_PARAM;
    U32 len = CATLength(pstCAT);
    if (len == 0)
        return SIP_ERR_RANGE;
    *pu16Len = (U16)len;
    return 0;
}

U32 SIP_ConstructCAT(CATTable_t* pstCAT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (!ConstructStart(__func__, pstCAT, pu8Buf, pu16SectionLen))
        return SIP_ERR_PARAM;
    U32 n = pstCAT->u16CaSysNum;
    if (n > SIP_CAT_MAX_CASYS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d CaSysNum:%d out of range\r\n", LOG_POS, (int)n);
        return SIP_ERR_PARAM;
    }
    // The real size, private bytes included: the buffer must hold all of it.
    U32 total = CATLength(pstCAT);
    if (total == 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d CA descriptor length out of range\r\n", LOG_POS);
        return SIP_ERR_RANGE;
    }
    if (total > u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d BufLen:%d CatTableLen:%d return:%d\r\n", LOG_POS,
                   (int)u16BufLen, (int)total, (int)SIP_ERR_PARAM);
        return SIP_ERR_PARAM;
    }
    if (total - 3 > SIP_MAX_SECTION_LENGTH_FIELD) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d CatTableLen:%d over one section\r\n", LOG_POS,
                   (int)total);
        return SIP_ERR_RANGE;
    }

    U8* p = pu8Buf;
    PutHeader(p, 0x01, 0xFFFF, pstCAT->u8VersionNum);
    U32 pos = 8;
    for (U32 i = 0; i < n; i++) {
        const CatCAInfo_t& ca = pstCAT->arstCaInfo[i];
        p[pos] = 0x09;
        p[pos + 1] = ca.u8DesLength;
        PutU16(p + pos + 2, ca.u16CaSysID);
        PutPID(p + pos + 4, ca.u16EmmPid);
        pos += 6;
        if (ca.u8DesLength > 4) {
            memcpy(p + pos, ca.u8PrivateDataByte, ca.u8DesLength - 4u);
            pos += ca.u8DesLength - 4u;
        }
    }
    FinishSection(p, total, kSyntaxPSI);
    *pu16SectionLen = (U16)total;
    return 0;
}

// ---------------------------------------------------------------------------
// SDT actual
// ---------------------------------------------------------------------------
namespace {
constexpr U32 kSDTMaxLoop = 1009;  // 11 header + 1009 + 4 CRC = 1024

// Bytes of one service in the loop (0: left out of the table), or an error.
U32 SDTServiceLen(const SDTProgramInfo_t& s, U32* pu32Err)
{
    *pu32Err = 0;
    if (s.u8ProviderNameLen > SIP_SDT_NAME_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ProviderNameLength:%d out of range\r\n", LOG_POS,
                   (int)s.u8ProviderNameLen);
        *pu32Err = SIP_ERR_RANGE;
        return 0;
    }
    if (s.u8ServiceNameLen > SIP_SDT_NAME_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ServiceNameLengt:%d out of range\r\n", LOG_POS,
                   (int)s.u8ServiceNameLen);
        *pu32Err = SIP_ERR_RANGE;
        return 0;
    }
    if (s.u16OtherInfoLen > SIP_SDT_OTHERINFO_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d OtherInfoLen:%d out of range\r\n", LOG_POS,
                   (int)s.u16OtherInfoLen);
        *pu32Err = SIP_ERR_RANGE;
        return 0;
    }
    bool hasName = s.u8ProviderNameLen != 0 || s.u8ServiceNameLen != 0;
    if (!hasName && s.u16OtherInfoLen == 0)
        return 0;
    U32 len = 5 + s.u16OtherInfoLen;
    if (hasName)
        len += 5u + s.u8ProviderNameLen + s.u8ServiceNameLen;
    if (len > kSDTMaxLoop) {
        // Would not fit any section: refused rather than cut.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d service 0x%x needs %u bytes, more than a section holds\r\n",
                   LOG_POS, (unsigned)s.u16ServiceID, (unsigned)len);
        *pu32Err = SIP_ERR_RANGE;
        return 0;
    }
    return len;
}

// Packs the services into sections. aru8First/aru8Count receive each
// section's range of model entries (entries left out are inside ranges).
U32 SDTLayout(const SDTTable_t* pstSDT, U32* pu32Sections, U32* pu32Total, U8* aru8First, U8* aru8Count)
{
    *pu32Sections = 0;
    *pu32Total = 0;
    U32 n = pstSDT->u16ServiceNum;
    if (n > SIP_SDT_MAX_SERVICE) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ServiceNum:%d out of range\r\n", LOG_POS, (int)n);
        return SIP_ERR_PARAM;
    }
    if (n == 0)
        return 0;
    U32 sections = 1, loop = 0, total = 0;
    aru8First[0] = 0;
    aru8Count[0] = 0;
    for (U32 i = 0; i < n; i++) {
        U32 err = 0;
        U32 len = SDTServiceLen(pstSDT->arstProgInfo[i], &err);
        if (err != 0)
            return err;
        if (len != 0 && loop + len > kSDTMaxLoop) {
            total += 15 + loop;
            aru8First[sections] = (U8)i;
            aru8Count[sections] = 0;
            sections++;
            loop = 0;
        }
        loop += len;
        aru8Count[sections - 1]++;
    }
    total += 15 + loop;
    *pu32Sections = sections;
    *pu32Total = total;
    return 0;
}
}  // namespace

U32 SIP_GetSDTSectionInfo(SDTTable_t* pstSDT, U8* pu8SectionNum, U16* pu16TotalLen)
{
    if (pstSDT == nullptr || pu8SectionNum == nullptr || pu16TotalLen == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    *pu8SectionNum = 0;
    *pu16TotalLen = 0;
    U8 first[SIP_SDT_MAX_SERVICE], count[SIP_SDT_MAX_SERVICE];
    U32 sections = 0, total = 0;
    U32 ret = SDTLayout(pstSDT, &sections, &total, first, count);
    if (ret != 0)
        return ret;
    if (total > 0xFFFF)
        return SIP_ERR_PARAM;
    *pu8SectionNum = (U8)sections;
    *pu16TotalLen = (U16)total;
    return 0;
}

U32 SIP_ConstructSDT(SDTTable_t* pstSDT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (!ConstructStart(__func__, pstSDT, pu8Buf, pu16SectionLen))
        return SIP_ERR_PARAM;
    U8 first[SIP_SDT_MAX_SERVICE], count[SIP_SDT_MAX_SERVICE];
    U32 sections = 0, total = 0;
    U32 ret = SDTLayout(pstSDT, &sections, &total, first, count);
    if (ret != 0)
        return ret;
    if (sections == 0)
        return SIP_ERR_PARAM;
    if (total > u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d BufLen:%d SdtTableLen:%u\r\n", LOG_POS, (int)u16BufLen,
                   (unsigned)total);
        return SIP_ERR_PARAM;
    }

    U32 pos = 0;
    for (U32 s = 0; s < sections; s++) {
        U8* sec = pu8Buf + pos;
        PutHeader(sec, 0x42, pstSDT->u16TransportStreamID, pstSDT->u8VersionNum, (U8)s, (U8)(sections - 1));
        PutU16(sec + 8, pstSDT->u16OriginalNetworkId);
        sec[10] = 0xFF;
        U32 w = 11;
        for (U32 i = first[s]; i < (U32)first[s] + count[s]; i++) {
            const SDTProgramInfo_t& sv = pstSDT->arstProgInfo[i];
            U32 err = 0;
            U32 len = SDTServiceLen(sv, &err);
            if (len == 0)
                continue;
            U32 loopLen = len - 5;
            PutU16(sec + w, sv.u16ServiceID);
            sec[w + 2] = (U8)(0xFC | ((sv.u8EITScheduleFlag & 1) << 1) | (sv.u8EITPresentFollowingFlag & 1));
            sec[w + 3] = (U8)(((sv.u8RunningStatus & 7) << 5) | ((sv.u8FreeCAMode & 1) << 4) | ((loopLen >> 8) & 0x0F));
            sec[w + 4] = (U8)loopLen;
            w += 5;
            if (sv.u8ProviderNameLen != 0 || sv.u8ServiceNameLen != 0) {
                sec[w++] = 0x48;
                sec[w++] = (U8)(sv.u8ProviderNameLen + sv.u8ServiceNameLen + 3);
                sec[w++] = sv.u8ServiceType;
                sec[w++] = sv.u8ProviderNameLen;
                memcpy(sec + w, sv.aru8ProviderName, sv.u8ProviderNameLen);
                w += sv.u8ProviderNameLen;
                sec[w++] = sv.u8ServiceNameLen;
                memcpy(sec + w, sv.aru8ServiceName, sv.u8ServiceNameLen);
                w += sv.u8ServiceNameLen;
            }
            memcpy(sec + w, sv.aru8OtherInfo, sv.u16OtherInfoLen);
            w += sv.u16OtherInfoLen;
        }
        w += 4;
        FinishSection(sec, w, kSyntaxPrivate);
        pos += w;
    }
    *pu16SectionLen = (U16)pos;
    return 0;
}

// ---------------------------------------------------------------------------
// PMT
// ---------------------------------------------------------------------------
U32 SIP_GETPMTTableLen(PMTTable_t* pstPMT, U16* pu16Len)
{
    if (pstPMT == nullptr || pu16Len == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    *pu16Len = 0;
    if (pstPMT->u8EsNum > SIP_PMT_MAX_ES) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d EsNum:%d out of range\r\n", LOG_POS,
                   (int)pstPMT->u8EsNum);
        return SIP_ERR_PARAM;
    }
    if (pstPMT->u16ProgInfoLen > SIP_PMT_INFO_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ProgramInfoLength:%d out of range\r\n", LOG_POS,
                   (int)pstPMT->u16ProgInfoLen);
        return SIP_ERR_PARAM;
    }
    U32 len = 16u + pstPMT->u16ProgInfoLen;
    for (U32 i = 0; i < pstPMT->u8EsNum; i++) {
        U32 es = pstPMT->arstPMTESInfo[i].u16ESInfoLen;
        if (es > SIP_PMT_INFO_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d ESInfoLen:%d out of range\r\n", LOG_POS, (int)es);
            return SIP_ERR_PARAM;
        }
        len += 5 + es;
    }
    *pu16Len = len > 0xFFFF ? 0xFFFF : (U16)len;
    return 0;
}

U32 SIP_ConstructPMT(U16 u16OutProgIndex, PMTTable_t* pstPMT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (!ConstructStart(__func__, pstPMT, pu8Buf, pu16SectionLen))
        return SIP_ERR_PARAM;
    const Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr || db->pOutputProgram == nullptr || u16OutProgIndex >= db->u32OutputProgramNumber) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d OutProgIndex:%u invalid\r\n", LOG_POS,
                   (unsigned)u16OutProgIndex);
        return SIP_ERR_PARAM;
    }
    // Validate the loops before anything is changed or written.
    U16 len16 = 0;
    U32 ret = SIP_GETPMTTableLen(pstPMT, &len16);
    if (ret != 0)
        return ret;

    // Without a CAM descrambling the program the CA descriptors are dropped.
    const Output_TSProgram& prog = db->pOutputProgram[u16OutProgIndex];
    if (prog.u8CAMIndex < 2 || prog.u8DescrambFlag != 0) {
        TSP_DelAllCaDescriptors(pstPMT->aru8ProgInfo, &pstPMT->u16ProgInfoLen);
        for (U32 i = 0; i < pstPMT->u8EsNum; i++)
            TSP_DelAllCaDescriptors(pstPMT->arstPMTESInfo[i].aru8ESInfo, &pstPMT->arstPMTESInfo[i].u16ESInfoLen);
    }

    // The size once more: the CA descriptors may have gone.
    SIP_GETPMTTableLen(pstPMT, &len16);
    U32 total = len16;
    if (total > u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d BufLen:%d PmtTableLen:%d return:%d\r\n", LOG_POS,
                   (int)u16BufLen, (int)total, (int)SIP_ERR_PARAM);
        return SIP_ERR_PARAM;
    }
    if (total - 3 > SIP_MAX_SECTION_LENGTH_FIELD) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d PmtTableLen:%d over one section\r\n", LOG_POS,
                   (int)total);
        return SIP_ERR_PARAM;
    }

    bool atsc = CurrentSIMode() == 1;
    U8* p = pu8Buf;
    PutHeader(p, 0x02, pstPMT->u16ServiceId, pstPMT->u8VersionNum);
    PutPID(p + 8, pstPMT->u16PCRPID);
    PutLen12(p + 10, pstPMT->u16ProgInfoLen);
    U32 pos = 12;
    memcpy(p + pos, pstPMT->aru8ProgInfo, pstPMT->u16ProgInfoLen);
    pos += pstPMT->u16ProgInfoLen;
    for (U32 i = 0; i < pstPMT->u8EsNum; i++) {
        const PMTESInfo_t& es = pstPMT->arstPMTESInfo[i];
        p[pos] = (atsc && es.u8Type == 0x06) ? 0x81 : es.u8Type;
        PutPID(p + pos + 1, es.u16Pid);
        PutLen12(p + pos + 3, es.u16ESInfoLen);
        pos += 5;
        memcpy(p + pos, es.aru8ESInfo, es.u16ESInfoLen);
        pos += es.u16ESInfoLen;
    }
    FinishSection(p, total, kSyntaxPSI);
    *pu16SectionLen = (U16)total;
    return 0;
}

// ---------------------------------------------------------------------------
// ATSC MGT
// ---------------------------------------------------------------------------
namespace {
U32 MGTLength(const MGTTable_t* pstMGT, U32* pu32Len)
{
    *pu32Len = 0;
    if (pstMGT->u16TablesDefined > SIP_MGT_MAX_TABLES) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TablesDefined:%d out or range\r\n", LOG_POS,
                   (int)pstMGT->u16TablesDefined);
        return SIP_ERR_RANGE;
    }
    if (pstMGT->u16DescriptorLength > SIP_MGT_DESC_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d DescriptorLength:%d out or range\r\n", LOG_POS,
                   (int)pstMGT->u16DescriptorLength);
        return SIP_ERR_RANGE;
    }
    U32 len = 11 + 6 + pstMGT->u16DescriptorLength;
    for (U32 i = 0; i < pstMGT->u16TablesDefined; i++) {
        U32 d = pstMGT->arstMGTTablesInfo[i].u16TableDescriptorLen;
        if (d > SIP_MGT_TABLE_DESC_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TableDescriptorLen:%d out or range\r\n", LOG_POS,
                       (int)d);
            return SIP_ERR_RANGE;
        }
        len += 11 + d;
    }
    *pu32Len = len;
    return 0;
}
}  // namespace

U32 SIP_GetMGTSectionInfo(MGTTable_t* pstMGT, U16* pu16Len)
{
    if (pstMGT == nullptr || pu16Len == nullptr)
        return SIP_ERR_PARAM;
    *pu16Len = 0;
    U32 len = 0;
    U32 ret = MGTLength(pstMGT, &len);
    if (ret != 0)
        return ret;
    *pu16Len = len > 0xFFFF ? 0xFFFF : (U16)len;
    return 0;
}

U32 SIP_ConstructMGT(MGTTable_t* pstMGT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (pstMGT == nullptr || pu8Buf == nullptr || pu16SectionLen == nullptr)
        return SIP_ERR_PARAM;
    *pu16SectionLen = 0;
    U32 total = 0;
    U32 ret = MGTLength(pstMGT, &total);
    if (ret != 0)
        return ret;
    if (total > u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d BufLen[%d] not enough, need[%d]\r\n", LOG_POS,
                   (int)u16BufLen, (int)total);
        return SIP_ERR_RANGE;
    }
    if (total - 3 > SIP_MAX_SECTION_LENGTH_FIELD) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d MGT length %d over one section\r\n", LOG_POS,
                   (int)total);
        return SIP_ERR_RANGE;
    }

    U8* p = pu8Buf;
    PutHeader(p, 0xC7, 0x0000, pstMGT->u8VersionNum);
    p[8] = pstMGT->u8ProtocolVersion;
    PutU16(p + 9, pstMGT->u16TablesDefined);
    U32 pos = 11;
    for (U32 i = 0; i < pstMGT->u16TablesDefined; i++) {
        const MGTTablesInfo_t& t = pstMGT->arstMGTTablesInfo[i];
        PutU16(p + pos, t.u16TableType);
        PutPID(p + pos + 2, t.u16TableTypePid);
        p[pos + 4] = (U8)(0xE0 | (t.u8TableTypeVerNum & 0x1F));
        PutU32(p + pos + 5, t.u32NumberBytes);
        PutLen12(p + pos + 9, t.u16TableDescriptorLen);
        pos += 11;
        memcpy(p + pos, t.aru8Descriptor, t.u16TableDescriptorLen);
        pos += t.u16TableDescriptorLen;
    }
    PutLen12(p + pos, pstMGT->u16DescriptorLength);
    pos += 2;
    memcpy(p + pos, pstMGT->aru8Descriptor, pstMGT->u16DescriptorLength);
    pos += pstMGT->u16DescriptorLength;
    FinishSection(p, pos + 4, kSyntaxPrivate);
    *pu16SectionLen = (U16)(pos + 4);
    return 0;
}

// ---------------------------------------------------------------------------
// ATSC TVCT / CVCT
// ---------------------------------------------------------------------------
namespace {
constexpr U32 kVCTOverhead = 16;  // 10 header, 2 additional_descriptors_length, 4 CRC

struct VCTLayout_t {
    U32 u32Sections;
    U32 u32Total;
    U8 aru8First[SIP_VCT_MAX_CHANNELS + 1];
    U8 aru8Count[SIP_VCT_MAX_CHANNELS + 1];
};

U32 VCTLayout(const VCTTable_t* pstVCT, VCTLayout_t* pstLayout)
{
    pstLayout->u32Sections = 0;
    pstLayout->u32Total = 0;
    if (pstVCT->u16AddDescriptorLen > SIP_VCT_ADD_DESC_MAX || pstVCT->u8ChannelsNum > SIP_VCT_MAX_CHANNELS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d AddDescriptorLen[%d] or ChannelsNum[%d] out of range\r\n",
                   LOG_POS, (int)pstVCT->u16AddDescriptorLen, (int)pstVCT->u8ChannelsNum);
        return SIP_ERR_RANGE;
    }
    U32 n = pstVCT->u8ChannelsNum;
    for (U32 i = 0; i < n; i++) {
        U32 d = pstVCT->arstVCTChannelInfo[i].u16DescriptorLength;
        if (d > SIP_VCT_CHANNEL_DESC_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d DescriptorLength[%d] out of range\r\n", LOG_POS,
                       (int)d);
            return SIP_ERR_RANGE;
        }
    }
    if (n == 0)
        return 0;
    U32 sections = 1, cur = kVCTOverhead, total = 0;
    pstLayout->aru8First[0] = 0;
    pstLayout->aru8Count[0] = 0;
    for (U32 i = 0; i < n; i++) {
        U32 len = 32 + pstVCT->arstVCTChannelInfo[i].u16DescriptorLength;
        if (cur + len > SIP_MAX_SECTION_LEN && pstLayout->aru8Count[sections - 1] != 0) {
            total += cur;
            pstLayout->aru8First[sections] = (U8)i;
            pstLayout->aru8Count[sections] = 0;
            sections++;
            cur = kVCTOverhead;
        }
        cur += len;
        pstLayout->aru8Count[sections - 1]++;
    }
    if (cur + pstVCT->u16AddDescriptorLen > SIP_MAX_SECTION_LEN) {
        // The additional descriptors get a section of their own.
        total += cur;
        pstLayout->aru8First[sections] = (U8)n;
        pstLayout->aru8Count[sections] = 0;
        sections++;
        cur = kVCTOverhead;
    }
    total += cur + pstVCT->u16AddDescriptorLen;
    pstLayout->u32Sections = sections;
    pstLayout->u32Total = total;
    return 0;
}
}  // namespace

U32 SIP_GetVCTSectionInfo(VCTTable_t* pstVCT, U8* pu8SectionNum, U16* pu16TotalLen)
{
    if (pstVCT == nullptr || pu8SectionNum == nullptr || pu16TotalLen == nullptr)
        return SIP_ERR_PARAM;
    *pu8SectionNum = 0;
    *pu16TotalLen = 0;
    VCTLayout_t layout;
    U32 ret = VCTLayout(pstVCT, &layout);
    if (ret != 0)
        return ret;
    *pu8SectionNum = (U8)layout.u32Sections;
    *pu16TotalLen = (U16)layout.u32Total;  // at most 100 x 332 + 101 x 16 + 500
    return 0;
}

U32 SIP_ConstructVCT(VCTTable_t* pstVCT, U8 u8VCTTid, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (pstVCT == nullptr || pu8Buf == nullptr || pu16SectionLen == nullptr)
        return SIP_ERR_PARAM;
    *pu16SectionLen = 0;
    if (u8VCTTid != SIP_VCT_TID_TERRESTRIAL && u8VCTTid != SIP_VCT_TID_CABLE)
        return SIP_ERR_PARAM;
    VCTLayout_t layout;
    U32 ret = VCTLayout(pstVCT, &layout);
    if (ret != 0)
        return ret;
    if (layout.u32Sections == 0)
        return 0;
    if (layout.u32Total > u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d BufLen[%d] not enough, need[%d]\r\n", LOG_POS,
                   (int)u16BufLen, (int)layout.u32Total);
        return SIP_ERR_RANGE;
    }

    U32 pos = 0;
    for (U32 s = 0; s < layout.u32Sections; s++) {
        bool last = s + 1 == layout.u32Sections;
        U8* sec = pu8Buf + pos;
        PutHeader(sec, u8VCTTid, pstVCT->u16TransportStreamId, pstVCT->u8VersionNum, (U8)s,
                  (U8)(layout.u32Sections - 1));
        sec[8] = pstVCT->u8ProtocolVerNum;
        sec[9] = layout.aru8Count[s];
        U32 w = 10;
        for (U32 i = layout.aru8First[s]; i < (U32)layout.aru8First[s] + layout.aru8Count[s]; i++) {
            const VCTChannelInfo_t& ch = pstVCT->arstVCTChannelInfo[i];
            U32 major = ch.u16MajorChannelNum & 0x3FF, minor = ch.u16MinorChannelNum & 0x3FF;
            U8* c = sec + w;
            memcpy(c, ch.aru8ShortName, 14);
            c[14] = (U8)(0xF0 | (major >> 6));
            c[15] = (U8)((major << 2) | (minor >> 8));
            c[16] = (U8)minor;
            c[17] = ch.u8ModulationMode;
            PutU32(c + 18, ch.u32Frequency);
            PutU16(c + 22, ch.u16ChannelTSID);
            PutU16(c + 24, ch.u16ProgramNum);
            U8 low = u8VCTTid == SIP_VCT_TID_TERRESTRIAL
                         ? (U8)(0x0D | ((ch.u8HideGuide & 1) << 1))
                         : (U8)(((ch.u8PathSelect & 1) << 3) | ((ch.u8OutOfBand & 1) << 2) |
                                ((ch.u8HideGuide & 1) << 1) | 1);
            c[26] = (U8)(((ch.u8ETMLocation & 3) << 6) | ((ch.u8AccessControlled & 1) << 5) |
                         ((ch.u8Hidden & 1) << 4) | low);
            c[27] = (U8)(0xC0 | (ch.u8ServiceType & 0x3F));
            PutU16(c + 28, ch.u16SourceId);
            c[30] = (U8)(0xFC | ((ch.u16DescriptorLength >> 8) & 0x03));
            c[31] = (U8)ch.u16DescriptorLength;
            memcpy(c + 32, ch.aru8Descriptor, ch.u16DescriptorLength);
            w += 32 + ch.u16DescriptorLength;
        }
        U32 add = last ? pstVCT->u16AddDescriptorLen : 0;
        sec[w] = (U8)(0xFC | ((add >> 8) & 0x03));
        sec[w + 1] = (U8)add;
        w += 2;
        memcpy(sec + w, pstVCT->aru8Descriptor, add);
        w += add + 4;
        FinishSection(sec, w, kSyntaxPrivate);
        pos += w;
    }
    *pu16SectionLen = (U16)pos;
    return 0;
}

// ---------------------------------------------------------------------------
// ATSC STT
// ---------------------------------------------------------------------------
U32 SIP_ConstructSTTAt(U32 u32TimeSec, U16 u16Year, U16 u16Month, U16 u16Day, U16 u16Hour, U16 u16GPSOffset,
                       U8 u8DayLightFlag, U8 u8NTPZone, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (pu8Buf == nullptr || pu16SectionLen == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    const U16 u16SectionLength = 20;
    *pu16SectionLen = u16SectionLength;
    if (u16BufLen < u16SectionLength) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d u16BufLen:%d u16SectionLength:%d error\r\n", LOG_POS,
                   (int)u16BufLen, (int)u16SectionLength);
        return SIP_ERR_PARAM;
    }

    U32 systemTime = u32TimeSec;
    if (u32TimeSec > 315964799u) {
        systemTime -= 315964800u;
        // Zone indexes beyond the table carry no shift.
        if (u8NTPZone <= 12)
            systemTime -= time_zone_sec[u8NTPZone].u32Seconds;
        else if (u8NTPZone <= 25)
            systemTime += time_zone_sec[u8NTPZone].u32Seconds;
    }
    systemTime += u16GPSOffset;

    U8 ds0 = 0x60, ds1 = 0x00;
    if (u8DayLightFlag != 0 && u16Year >= 2019 && u16Year <= 2040) {
        const U8* row = aru8USADayLight[u16Year - 2019];
        if (u16Month == 3) {
            U8 d = row[0];
            if (d > u16Day || (d == u16Day && u16Hour <= 1)) {
                ds0 = (U8)(0x60 | d);
                ds1 = 0x02;
            } else {
                ds0 = 0xE0;
            }
        } else if (u16Month == 11) {
            U8 d = row[1];
            if (d > u16Day || (d == u16Day && u16Hour <= 1)) {
                ds0 = (U8)(0xE0 | d);
                ds1 = 0x02;
            }
        } else if (u16Month >= 4 && u16Month <= 10) {
            ds0 = 0xE0;
        }
    }

    U8* p = pu8Buf;
    const U8 head[9] = {0xCD, 0xF0, 0x11, 0x00, 0x00, 0xC1, 0x00, 0x00, 0x00};
    memcpy(p, head, sizeof(head));
    PutU32(p + 9, systemTime);
    p[13] = (U8)u16GPSOffset;
    p[14] = ds0;
    p[15] = ds1;
    PutU32(p + 16, Common_CRC_Calculate(p, 16, 0xFFFFFFFFu));
    return 0;
}

U32 SIP_ConstructSTT(U16 u16GPSOffset, U8 u8DayLightFlag, U8 u8NTPZone, U16 u16BufLen, U8* pu8Buf,
                     U16* pu16SectionLen)
{
    U32 sec = 0;
    U16 year = 0, month = 0, day = 0, hour = 0;
    if (Status_GetTimeOfYearDay(&sec, &year, &month, &day, &hour) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Status_GetTimeOfYearDay error\r\n", LOG_POS);
        if (pu16SectionLen != nullptr)
            *pu16SectionLen = 20;
        return SIP_ERR_PARAM;
    }
    return SIP_ConstructSTTAt(sec, year, month, day, hour, u16GPSOffset, u8DayLightFlag, u8NTPZone, u16BufLen, pu8Buf,
                              pu16SectionLen);
}

// ---------------------------------------------------------------------------
// TDT / TOT
// ---------------------------------------------------------------------------
U32 SIP_ConstructTDT(TDTTable_t* pstTDT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (!ConstructStart(__func__, pstTDT, pu8Buf, pu16SectionLen))
        return SIP_ERR_PARAM;
    // A TDT body is exactly the 5 UTC bytes the model holds.
    if (pstTDT->u8SectionLen != sizeof(pstTDT->aru8UTCTime) || pstTDT->u8SectionLen + 2 >= u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d [SIP_ConstructTDT] u16BufLen:%d u16SectionLength:%d error\r\n",
                   LOG_POS, (int)u16BufLen, (int)pstTDT->u8SectionLen);
        return SIP_ERR_PARAM;
    }
    pu8Buf[0] = 0x70;
    pu8Buf[1] = kSyntaxShort;
    pu8Buf[2] = pstTDT->u8SectionLen;
    memcpy(pu8Buf + 3, pstTDT->aru8UTCTime, pstTDT->u8SectionLen);
    *pu16SectionLen = (U16)(pstTDT->u8SectionLen + 3);
    return 0;
}

zrErrCode SIP_ConstructTOT(TOTTable_t* pstTOT, U16 u16BufLen, U8* pu8Buf, U16* pu16SectionLen)
{
    if (pstTOT == nullptr || pu8Buf == nullptr || pu16SectionLen == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    // The lengths follow the entries the model really holds (at most one).
    U32 entries = pstTOT->arstDescInfo.u8DescLen >= 13 ? 1 : 0;
    U32 descLen = 13 * entries;
    U32 loopLen = 2 + descLen;
    U32 secLen = 5 + 2 + loopLen + 4;
    *pu16SectionLen = (U16)(secLen + 3);
    if (secLen + 2 >= u16BufLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d u16BufLen:%d u16SectionLength:%d error\r\n", LOG_POS,
                   (int)u16BufLen, (int)secLen);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    U8* p = pu8Buf;
    p[0] = 0x73;
    memcpy(p + 3, pstTOT->aru8UTCTime, 5);
    PutLen12(p + 8, loopLen);
    p[10] = pstTOT->arstDescInfo.u8Tag;
    p[11] = (U8)descLen;
    U32 pos = 12;
    for (U32 i = 0; i < entries; i++) {
        const TOTDesc_t& d = pstTOT->arstDescInfo.arstDes[i];
        p[pos] = (U8)(d.u32CountryCode >> 16);
        p[pos + 1] = (U8)(d.u32CountryCode >> 8);
        p[pos + 2] = (U8)d.u32CountryCode;
        p[pos + 3] = (U8)(((d.u8CountryRegID & 0x3F) << 2) | 0x02 | (d.u8LocalTimeOffsetPol & 1));
        PutU16(p + pos + 4, d.u16LocalTimeOffset);
        memcpy(p + pos + 6, d.u8TimeOfChange, 5);
        PutU16(p + pos + 11, d.u16NextTimeOffset);
        pos += 13;
    }
    FinishSection(p, secLen + 3, kSyntaxShort);
    return ZR_SUCCESS;
}

zrErrCode SIP_ParseTOT(U8* pu8Section, U16 u16SectionBuffLen, TOTTable_t* pstTOT, U8 u8SectionNum)
{
    U16 secLen = 0;
    if (!ParseStart(__func__, pu8Section, u16SectionBuffLen, pstTOT, u8SectionNum, &secLen))
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    // 5 UTC bytes, the loop length and the CRC at least.
    // The model keeps section_length in 8 bits: a longer section is refused, not cut.
    if (u16SectionBuffLen < 3 || secLen + 2 >= u16SectionBuffLen || secLen > SIP_MAX_SECTION_LENGTH_FIELD ||
        secLen < 11 || secLen > 0xFF) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "[%s:%d]error,u16SectionBuffLen[%d],u16SectLength[%d]\r\n",
                   __func__, __LINE__, (int)u16SectionBuffLen, (int)secLen);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    U16 loopLen = GetLen12(pu8Section + 8);
    if (loopLen > secLen - 11) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "[%s:%d]error,descriptors_loop_length[%d] SectLength[%d]\r\n",
                   __func__, __LINE__, (int)loopLen, (int)secLen);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    pstTOT->u8SectionLen = (U8)secLen;
    memcpy(pstTOT->aru8UTCTime, pu8Section + 3, 5);
    if (loopLen < 2)
        return ZR_SUCCESS;
    U8 descLen = pu8Section[11];
    if (2u + descLen > loopLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "[%s:%d]error,descriptor_length[%d] loop[%d]\r\n", __func__,
                   __LINE__, (int)descLen, (int)loopLen);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    U32 entries = descLen / 13u;
    if (entries > 1) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP,
                   "[%s:%d]Description The time zone description exceeds the upper limit.u8LOTDescNum=[%d]\r\n",
                   __func__, __LINE__, (int)entries);
        return ZR_ERR_SIP_ERROR_BAD_PARAM;
    }
    pstTOT->arstDescInfo.u8Tag = pu8Section[10];
    pstTOT->arstDescInfo.u8DescLen = descLen;
    if (entries == 1) {
        const U8* e = pu8Section + 12;
        TOTDesc_t& d = pstTOT->arstDescInfo.arstDes[0];
        d.u32CountryCode = ((U32)e[0] << 16) | ((U32)e[1] << 8) | e[2];
        d.u8CountryRegID = (U8)(e[3] >> 2);
        d.u8LocalTimeOffsetPol = (U8)(e[3] & 1);
        d.u16LocalTimeOffset = GetU16(e + 4);
        memcpy(d.u8TimeOfChange, e + 6, 5);
        d.u16NextTimeOffset = GetU16(e + 11);
    }
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// NIT
// ---------------------------------------------------------------------------
U32 SIP_ParseNIT(U8* pu8Section, U16 u16SectionBuffLen, NITTable_t* pstNIT, U8 u8SectionNum)
{
    U16 secLen = 0;
    if (!ParseStart(__func__, pu8Section, u16SectionBuffLen, pstNIT, u8SectionNum, &secLen))
        return SIP_ERR_PARAM;
    if (u16SectionBuffLen < 3 || secLen > SIP_MAX_SECTION_LENGTH_FIELD || secLen + 2 >= u16SectionBuffLen) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SectionBuffLen:%d SectLength:%d error\r\n", LOG_POS,
                   (int)u16SectionBuffLen, (int)secLen);
        return SIP_ERR_PARAM;
    }
    U32 crcPos = secLen + 3u - 4u;  // the loops end where the CRC begins
    if (secLen < 13) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SectLength:%d too short\r\n", LOG_POS, (int)secLen);
        return SIP_ERR_PARAM;
    }
    U16 ndl = GetLen12(pu8Section + 8);
    if (10u + ndl + 2u > crcPos) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NetworkInfoLen:%d beyond the section\r\n", LOG_POS,
                   (int)ndl);
        return SIP_ERR_PARAM;
    }
    pstNIT->u16NetworkId = GetU16(pu8Section + 3);
    pstNIT->u8VersionNum = (U8)((pu8Section[5] >> 1) & 0x1F);
    if (u8SectionNum == 0) {
        if (ndl > SIP_NIT_INFO_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NetworkInfoLen:%d out of range\r\n", LOG_POS,
                       (int)ndl);
            return SIP_ERR_RANGE;
        }
        pstNIT->u16NetworkInfoLen = ndl;
        memcpy(pstNIT->aru8NetworkInfo, pu8Section + 10, ndl);
    }
    U32 pos = 10u + ndl;
    U32 loopLen = GetLen12(pu8Section + pos);
    pos += 2;
    if (pos + loopLen > crcPos) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TransportStreamLoopLen:%d beyond the section\r\n",
                   LOG_POS, (int)loopLen);
        return SIP_ERR_PARAM;
    }
    U32 end = pos + loopLen;
    while (pos < end) {
        if (end - pos < 6) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d broken transport stream entry\r\n", LOG_POS);
            return SIP_ERR_PARAM;
        }
        U16 dl = GetLen12(pu8Section + pos + 4);
        if (pstNIT->u16TPNumber >= SIP_NIT_MAX_TS) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TransportStreamNum:%d out of range\r\n", LOG_POS,
                       (int)pstNIT->u16TPNumber + 1);
            return SIP_ERR_RANGE;
        }
        if (dl > SIP_NIT_INFO_MAX) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TransportStream DescriptorsLen:%d out of range\r\n",
                       LOG_POS, (int)dl);
            return SIP_ERR_RANGE;
        }
        if (6u + dl > end - pos) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TransportStream DescriptorsLen:%d beyond the loop\r\n",
                       LOG_POS, (int)dl);
            return SIP_ERR_PARAM;
        }
        TSInfoStruct_t& tp = pstNIT->arstTPData[pstNIT->u16TPNumber++];
        tp.u16TSID = GetU16(pu8Section + pos);
        tp.u16OriginalNetId = GetU16(pu8Section + pos + 2);
        tp.u16DescriptorsLen = dl;
        memcpy(tp.aru8Descriptors, pu8Section + pos + 6, dl);
        pos += 6u + dl;
    }
    return 0;
}

namespace {
// Sections at the start of a NIT buffer: each starts with 0x40 and lies
// within the bytes used.
U32 CountNITSections(const NITBuf_t* pstBuf)
{
    U32 len = pstBuf->u16NITLength, pos = 0, n = 0;
    while (pos + 3 <= len && pstBuf->aru8OutputNITSection[pos] == 0x40) {
        n++;
        pos += GetLen12(pstBuf->aru8OutputNITSection + pos + 1) + 3u;
    }
    return n;
}

NITTable_t s_stBigNIT;  // the merge's parse result, kept by the module
}  // namespace

U32 SIP_ConstructBigNITSection(NITBuf_t* pstNITBufIn, NITBuf_t* pstNITBufOut)
{
    if (pstNITBufIn == nullptr || pstNITBufOut == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    memset(pstNITBufOut, 0, sizeof(*pstNITBufOut));
    if (pstNITBufIn->u16NITLength > SIP_NITBUF_LEN) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NITLength:%d error\r\n", LOG_POS,
                   (int)pstNITBufIn->u16NITLength);
        return SIP_ERR_PARAM;
    }
    U32 cnt = CountNITSections(pstNITBufIn);
    if (cnt == 0) {
        // No section to merge: nothing to build from.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d no NIT section\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    const U8* in = pstNITBufIn->aru8OutputNITSection;
    if (cnt == 1) {
        U32 len = GetLen12(in + 1) + 3u;
        if (len > pstNITBufIn->u16NITLength) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetNITTableInfo error\r\n", LOG_POS);
            return TSP_ERR_MSG_LENGTH;
        }
        memcpy(pstNITBufOut->aru8OutputNITSection, in, len);
        pstNITBufOut->u16NITLength = (U16)len;
        pstNITBufOut->u32OutputNITSectionOffset = len;
        return 0;
    }
    U32 off = 0;
    for (U32 i = 0; i < cnt; i++) {
        U32 len = GetLen12(in + off + 1) + 3u;
        if (off + len > pstNITBufIn->u16NITLength) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_GetNITTableInfo error\r\n", LOG_POS);
            return TSP_ERR_MSG_LENGTH;
        }
        U32 ret = SIP_ParseNIT((U8*)in + off, (U16)(pstNITBufIn->u16NITLength - off), &s_stBigNIT,
                               (U8)(i > 255 ? 255 : i));
        if (ret != 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIP_ParseNIT return error\r\n", LOG_POS);
            return ret;
        }
        off += len;
    }

    const NITTable_t& nit = s_stBigNIT;
    U32 loopLen = 0;
    for (U32 i = 0; i < nit.u16TPNumber; i++)
        loopLen += 6u + nit.arstTPData[i].u16DescriptorsLen;
    U32 total = 16u + nit.u16NetworkInfoLen + loopLen;
    // The working form may pass 1024 bytes, but its 12-bit lengths must hold.
    if (total > SIP_NITBUF_LEN || total - 3 > 0x0FFF) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d merged NIT of %u bytes too long\r\n", LOG_POS,
                   (unsigned)total);
        return SIP_ERR_RANGE;
    }
    U8* p = pstNITBufOut->aru8OutputNITSection;
    PutHeader(p, 0x40, nit.u16NetworkId, nit.u8VersionNum);
    PutLen12(p + 8, nit.u16NetworkInfoLen);
    U32 pos = 10;
    memcpy(p + pos, nit.aru8NetworkInfo, nit.u16NetworkInfoLen);
    pos += nit.u16NetworkInfoLen;
    PutLen12(p + pos, loopLen);
    pos += 2;
    for (U32 i = 0; i < nit.u16TPNumber; i++) {
        const TSInfoStruct_t& tp = nit.arstTPData[i];
        PutU16(p + pos, tp.u16TSID);
        PutU16(p + pos + 2, tp.u16OriginalNetId);
        PutLen12(p + pos + 4, tp.u16DescriptorsLen);
        memcpy(p + pos + 6, tp.aru8Descriptors, tp.u16DescriptorsLen);
        pos += 6u + tp.u16DescriptorsLen;
    }
    FinishSection(p, total, kSyntaxPrivate);
    pstNITBufOut->u16NITLength = (U16)total;
    pstNITBufOut->u32OutputNITSectionOffset = total;
    return 0;
}

U32 SIP_SplitNITSection(U8* pu8BuffIn, U16 u16BuffInLen, U16 u16BuffOutLen, U8* pu8BuffOut, U16* pu16OutLen)
{
    if (pu8BuffIn == nullptr || pu8BuffOut == nullptr || pu16OutLen == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NULL Pointer\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    *pu16OutLen = 0;
    if (u16BuffInLen < 3) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Section length error\r\n", LOG_POS);
        return SIP_ERR_PARAM;
    }
    U32 secLen = GetLen12(pu8BuffIn + 1);
    U32 total = secLen + 3;
    U32 crcPos = total >= 4 ? total - 4 : 0;
    // Read only what the input holds: its header may claim more.
    U32 ndl = (total >= 10 && u16BuffInLen >= 10) ? GetLen12(pu8BuffIn + 8) : 0;

    if (u16BuffInLen <= SIP_MAX_SECTION_LEN) {
        // One ordinary section: normalise the reserved bits, fresh CRC.
        if (u16BuffOutLen < u16BuffInLen) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d bufflen error buffinlen:%d BuffOutLen:%d\r\n",
                       LOG_POS, (int)u16BuffInLen, (int)u16BuffOutLen);
            return SIP_ERR_PARAM;
        }
        if (secLen == 0) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Section length error\r\n", LOG_POS);
            return SIP_ERR_PARAM;
        }
        if (total > u16BuffInLen || secLen < 13 || 10 + ndl + 2 > crcPos) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d Section length error\r\n", LOG_POS);
            return SIP_ERR_PARAM;
        }
        memcpy(pu8BuffOut, pu8BuffIn, total);
        pu8BuffOut[1] = (U8)(0xF0 | ((secLen >> 8) & 0x0F));
        pu8BuffOut[10 + ndl] |= 0xF0;
        PutU32(pu8BuffOut + crcPos, Common_CRC_Calculate(pu8BuffOut, crcPos, 0xFFFFFFFFu));
        *pu16OutLen = (U16)total;
        return 0;
    }

    // A merged section: cut into sections of at most 1024 bytes.
    if (total > u16BuffInLen || secLen < 13) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP,
                   "%ld:%s:%d bufflen error buffinlen:%d SectionLength:%d BuffOutLen:%d NitTableLen:%d\r\n", LOG_POS,
                   (int)u16BuffInLen, (int)secLen, (int)u16BuffOutLen, 0);
        return SIP_ERR_PARAM;
    }
    if (ndl > 1008) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NetworkDescriptorLength:%d out of range\r\n", LOG_POS,
                   (int)ndl);
        return SIP_ERR_PARAM;
    }
    if (10 + ndl + 2 > crcPos) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d NetworkDescriptorLength:%d beyond the section\r\n",
                   LOG_POS, (int)ndl);
        return SIP_ERR_PARAM;
    }
    U32 loopStart = 10 + ndl + 2;
    U32 loopLen = GetLen12(pu8BuffIn + 10 + ndl);
    if (loopStart + loopLen > crcPos) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TransportStreamLoopLen:%d beyond the section\r\n",
                   LOG_POS, (int)loopLen);
        return SIP_ERR_PARAM;
    }
    U32 loopEnd = loopStart + loopLen;

    // Counting pass: every entry must lie inside the loop and fit a section.
    U32 sections = 1, cur = 12 + ndl, outTotal = 0;
    for (U32 pos = loopStart; pos < loopEnd;) {
        if (loopEnd - pos < 6) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d broken transport stream entry\r\n", LOG_POS);
            return SIP_ERR_PARAM;
        }
        U32 e = 6u + GetLen12(pu8BuffIn + pos + 4);
        if (e > loopEnd - pos || 12 + e > 1020) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d transport stream entry of %u bytes\r\n", LOG_POS,
                       (unsigned)e);
            return SIP_ERR_PARAM;
        }
        if (cur + e > 1020) {
            outTotal += cur + 4;
            sections++;
            cur = 12;
        }
        cur += e;
        pos += e;
    }
    outTotal += cur + 4;
    if (outTotal > u16BuffOutLen || sections > 256) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP,
                   "%ld:%s:%d bufflen error buffinlen:%d SectionLength:%d BuffOutLen:%d NitTableLen:%d\r\n", LOG_POS,
                   (int)u16BuffInLen, (int)secLen, (int)u16BuffOutLen, (int)outTotal);
        return SIP_ERR_PARAM;
    }

    U32 out = 0, pos = loopStart;
    for (U32 s = 0; s < sections; s++) {
        U8* sec = pu8BuffOut + out;
        sec[0] = 0x40;
        sec[3] = pu8BuffIn[3];
        sec[4] = pu8BuffIn[4];
        sec[5] = (U8)(pu8BuffIn[5] | 0xC1);
        sec[6] = (U8)s;
        sec[7] = (U8)(sections - 1);
        U32 w = 8;
        if (s == 0) {
            PutLen12(sec + w, ndl);
            memcpy(sec + w + 2, pu8BuffIn + 10, ndl);
            w += 2 + ndl;
        } else {
            sec[w] = 0xF0;
            sec[w + 1] = 0x00;
            w += 2;
        }
        U32 loopPos = w;
        w += 2;
        while (pos < loopEnd) {
            U32 e = 6u + GetLen12(pu8BuffIn + pos + 4);
            if (w + e > 1020)
                break;
            memcpy(sec + w, pu8BuffIn + pos, e);
            sec[w + 4] |= 0xF0;
            w += e;
            pos += e;
        }
        PutLen12(sec + loopPos, w - loopPos - 2);
        w += 4;
        FinishSection(sec, w, kSyntaxPrivate);
        out += w;
    }
    *pu16OutLen = (U16)out;
    return 0;
}

U32 SIP_ConstructNITTable(U16 u16Channel, U16 u16NetworkID)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d SIP_ConstructNITTable\r\n", LOG_POS);
    std::unique_ptr<U8[]> buf(new (std::nothrow) U8[SIP_MAX_SECTION_LEN]);
    if (!buf) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d SIP_ConstructNITTable malloc error\r\n", LOG_POS);
        return TSP_ERR_NIT_MALLOC;
    }
    U8* p = buf.get();
    PutHeader(p, 0x40, u16NetworkID, 0);
    p[8] = 0xF0;
    p[9] = 0x00;
    p[10] = 0xF0;
    p[11] = 0x00;
    FinishSection(p, 16, kSyntaxPrivate);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SIP, "%ld:%s:%d construct table tag:0x%x\r\n", LOG_POS, p[0]);
    U32 ret = TSP_AddNIT(u16Channel, 16, p);
    if (ret != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SIP, "%ld:%s:%d TSP_AddNIT error,return[%d]\r\n", LOG_POS, (int)ret);
        return ret;
    }
    return 0;
}
