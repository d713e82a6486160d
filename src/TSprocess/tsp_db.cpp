// The output-stream database: its two copies, capacities and growth,
// free-record search, record initialisers and debug dumps.
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/sip.h"
#include "StatusProcess/resource.h"
#include "TSprocess/tsp.h"
#include "TSprocess/tsp_nit.h"
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <type_traits>
#include <vector>

static Output_TSInfo s_stTSParam;
Output_TSInfo g_stTempTSParam;
// True while the working copy holds the live records (an edit is open); only
// then may a commit replace the live database.
static bool s_bEditOpen = false;
// Digests of the working copy and of the live database as they stood when
// the working copy was opened (the live one moved on by changes that reached
// the working copy too). A working copy that differs from its own digest
// holds the operator's edits; a live database that differs from its digest
// was changed under them (input cards, deletions, a loaded file), and a
// commit would undo that.
static U64 s_u64OpenedWork = 0;
static U64 s_u64OpenedLive = 0;
// Who made the edits the working copy holds: pages that named its revision
// (an opening that throws them away steps the revision, which tells those
// pages), and pages that named none (an opening that throws those away can
// tell no one).
static bool s_bRevisionEdits = false;
static bool s_bPlainEdits = false;
// The working copy as it stood when an answer last told a page that names no
// revision that the edits it held were not applied: throwing those away
// drops nothing unreported.
static U64 s_u64ToldWork = 0;
// Set when an opening of the working copy (a page's load, a reopening, a
// freed database) threw away edits of pages that name no revision which no
// answer reported: the next apply that names none is refused, since nothing
// tells whose edits it would apply.
static bool s_bEditDropped = false;
// Set when a refusal told a page that names no revision that the edits the
// copy held were not applied, and threw them away: they may have been another
// such page's. Until the next load the next edit or apply of such a page is
// refused too.
static bool s_bToldOther = false;
// The revision names one state of what the pages show of the working copy:
// it steps whenever that state is found changed (by an edit of any page, an
// opening, a live change carried into it) and at each closing, and at nothing
// else. It starts from the clock, so that a page loaded before a restart
// names a revision this run does not give for a long while.
static U32 s_u32TempRevision = (U32)time(nullptr) * 1024u;
// The digest of what the pages show (0: the copy is closed) as the revision
// was last given.
static U64 s_u64RevisionShown = 0;
// The revision this thread was last given (for an answer made after the
// card-state lock was let go).
static thread_local U32 t_u32Revision = 0;
// The web edit in progress: whether its request named the revision, and the
// working copy before it.
static bool s_bPendingEdit = false;
static bool s_bPendingNamed = false;
static U64 s_u64PendingBefore = 0;
// Set while a change of the live database is made by the page of the
// current revision itself: the working copy follows it as an edit would.
static bool s_bOwnChange = false;

// Links are 16-bit indexes with 0xFFFF meaning none, so no array may hold
// a record at index 0xFFFF or beyond.
static const U32 TSP_MAX_CAPACITY = 0xFFFFu;

Output_TSInfo* TSP_GetTSParam(void)
{
    return &s_stTSParam;
}

Output_TSInfo* TSP_GetTempTSParam(void)
{
    return &g_stTempTSParam;
}

namespace {

// Resizes an array to u32NewNum records; records beyond the old size read 0.
// On failure the array and its capacity stay as they were.
template <typename T>
bool ResizeArray(T*& pArray, U32& u32Num, U32 u32NewNum)
{
    if (u32NewNum == u32Num)
        return true;
    if (u32NewNum == 0) {
        free(pArray);
        pArray = nullptr;
        u32Num = 0;
        return true;
    }
    T* pNew = static_cast<T*>(realloc(pArray, (size_t)u32NewNum * sizeof(T)));
    if (pNew == nullptr)
        return false;
    if (u32NewNum > u32Num)
        memset(pNew + u32Num, 0, (size_t)(u32NewNum - u32Num) * sizeof(T));
    pArray = pNew;
    u32Num = u32NewNum;
    return true;
}

// Grows a full array by one step, never past the largest index a link can hold.
template <typename T>
bool GrowArray(T*& pArray, U32& u32Num, U32 u32Step)
{
    if (u32Num >= TSP_MAX_CAPACITY)
        return false;
    U32 u32New = u32Num + u32Step;
    if (u32New > TSP_MAX_CAPACITY)
        u32New = TSP_MAX_CAPACITY;
    return ResizeArray(pArray, u32Num, u32New);
}

// An FNV-style hash over 64-bit words: every record byte and every capacity
// counts.
class Digest
{
public:
    template <typename T>
    void Add(const T* pArray, U32 u32Num)
    {
        Word(u32Num);
        if (pArray == nullptr)
            return;
        const U8* p = reinterpret_cast<const U8*>(pArray);
        size_t n = (size_t)u32Num * sizeof(T);
        for (; n >= 8; n -= 8, p += 8) {
            U64 w;
            memcpy(&w, p, 8);
            Word(w);
        }
        U64 w = 0;
        memcpy(&w, p, n);
        Word(w);
    }
    // One record under its index.
    template <typename T>
    void Record(U32 u32Index, const T& rec)
    {
        Word(u32Index);
        Add(&rec, 1);
    }
    U64 Value() const { return m_u64; }

private:
    void Word(U64 w)
    {
        m_u64 ^= w;
        m_u64 *= 0x100000001B3ull;
        m_u64 ^= m_u64 >> 29;
    }
    U64 m_u64 = 0xCBF29CE484222325ull;
};

// The arrays a commit copies, as one digest.
U64 DigestOf(const Output_TSInfo& st)
{
    Digest d;
    d.Add(st.pOutputTS, st.u32OutputTSNumber);
    d.Add(st.pOutputProgram, st.u32OutputProgramNumber);
    d.Add(st.pOutputPID, st.u32OutputPIDNumber);
    d.Add(st.pOutputTable, st.u32OutputTableNumber);
    d.Add(st.pDescriptor, st.u32OutputDescriptorNumber);
    return d.Value();
}

// What the pages show of a database, as one digest: its valid records with
// their indexes, without the table versions and change flags that only the
// apply step reads and writes (no page shows them, and an apply that changes
// nothing else must not step the revision). Never 0.
U64 ShownDigestOf(const Output_TSInfo& st)
{
    Digest d;
    for (U32 i = 0; st.pOutputTS != nullptr && i < st.u32OutputTSNumber; i++) {
        if (st.pOutputTS[i].u8ValidFlag != TSP_RECORD_VALID)
            continue;
        Output_TSStream r = st.pOutputTS[i];
        r.u8PATVersionNumber = r.u8PATChangeFlag = r.u8SDTVersionNumber = r.u8SDTChangeFlag = 0;
        r.u8CATVersionNumber = r.u8CATChangeFlag = r.u8NITChangeFlag = r.u8BATChangeFlag = 0;
        r.u8BATVersionNumber = r.u8IsSDTChangedByUser = 0;
        r.u8VCTVersionNumber = r.u8MGTVersionNumber = r.u8PSIPKept = 0;
        r.u32VCTContent = r.u32MGTContent = 0;
        d.Record(i, r);
    }
    for (U32 i = 0; st.pOutputProgram != nullptr && i < st.u32OutputProgramNumber; i++) {
        if (st.pOutputProgram[i].u8ValidFlag != TSP_RECORD_VALID)
            continue;
        Output_TSProgram r = st.pOutputProgram[i];
        r.u8PMTVersionNumber = r.u8PMTChangeFlag = 0;
        d.Record(i, r);
    }
    for (U32 i = 0; st.pOutputPID != nullptr && i < st.u32OutputPIDNumber; i++)
        if (st.pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID)
            d.Record(i, st.pOutputPID[i]);
    for (U32 i = 0; st.pOutputTable != nullptr && i < st.u32OutputTableNumber; i++) {
        if (st.pOutputTable[i].u8ValidFlag != TSP_RECORD_VALID)
            continue;
        TSTable r = st.pOutputTable[i];
        r.u8IsChangedByUser = 0;
        d.Record(i, r);
    }
    for (U32 i = 0; st.pDescriptor != nullptr && i < st.u32OutputDescriptorNumber; i++)
        if (st.pDescriptor[i].u8ValidFlag == TSP_RECORD_VALID)
            d.Record(i, st.pDescriptor[i]);
    return d.Value() | 1;
}

// The record bytes of the five arrays a commit copies.
struct Image {
    std::vector<U8> arBytes[5];
};

template <typename T>
void TakeBytes(std::vector<U8>& v, const T* pArray, U32 u32Num)
{
    const U8* p = reinterpret_cast<const U8*>(pArray);
    v.assign(p, p == nullptr ? p : p + (size_t)u32Num * sizeof(T));
}

Image ImageOf(const Output_TSInfo& st)
{
    Image im;
    TakeBytes(im.arBytes[0], st.pOutputTS, st.u32OutputTSNumber);
    TakeBytes(im.arBytes[1], st.pOutputProgram, st.u32OutputProgramNumber);
    TakeBytes(im.arBytes[2], st.pOutputPID, st.u32OutputPIDNumber);
    TakeBytes(im.arBytes[3], st.pOutputTable, st.u32OutputTableNumber);
    TakeBytes(im.arBytes[4], st.pDescriptor, st.u32OutputDescriptorNumber);
    return im;
}

// Whether a change wrote a byte of the working copy (before: work, after:
// now) where it held an edit, that is where it differed from the live
// database as it was before the change.
bool WroteOverEdit(const Image& work, const Image& live, const Image& now)
{
    for (int k = 0; k < 5; k++) {
        const std::vector<U8>& w = work.arBytes[k];
        const std::vector<U8>& l = live.arBytes[k];
        const std::vector<U8>& n = now.arBytes[k];
        const size_t m = w.size() < n.size() ? w.size() : n.size();
        for (size_t i = 0; i < m; i++)
            if (w[i] != n[i] && (i >= l.size() || w[i] != l[i]))
                return true;
    }
    return false;
}

// Whether the copy holds edits of pages that name no revision which no answer
// has reported as not applied.
bool UnreportedPlainEdits()
{
    if (!s_bEditOpen || !s_bPlainEdits)
        return false;
    const U64 u64Work = DigestOf(g_stTempTSParam);
    return u64Work != s_u64OpenedWork && u64Work != s_u64ToldWork;
}

// Before the working copy is opened again or freed: such edits are noted as
// dropped. The copy then holds no one's edits.
void NoteThrownEdits()
{
    if (UnreportedPlainEdits())
        s_bEditDropped = true;
    s_bPlainEdits = s_bRevisionEdits = false;
}

// An answer to a page that names no revision tells it that the edits the copy
// holds are not applied.
void TellPlain()
{
    s_u64ToldWork = DigestOf(g_stTempTSParam);
    s_bPlainEdits = false;
}

// The working copy's revision, stepped first when what the pages show of it
// changed since it was last given.
U32 ObserveRevision()
{
    const U64 u64Shown = s_bEditOpen ? ShownDigestOf(g_stTempTSParam) : 0;
    if (u64Shown != s_u64RevisionShown) {
        s_u32TempRevision++;
        s_u64RevisionShown = u64Shown;
    }
    t_u32Revision = s_u32TempRevision;
    return s_u32TempRevision;
}

template <typename T>
void FreeArray(T*& pArray, U32& u32Num)
{
    free(pArray);
    pArray = nullptr;
    u32Num = 0;
}

template <typename T>
void ZeroArray(T* pArray, U32 u32Num)
{
    if (pArray != nullptr && u32Num != 0)
        memset(pArray, 0, (size_t)u32Num * sizeof(T));
}

// Copies the records both arrays hold; destination records beyond the
// source's capacity are cleared so no stale record survives the copy.
template <typename T>
void CopyRecords(T* pDst, U32 u32DstNum, const T* pSrc, U32 u32SrcNum)
{
    if (pDst == nullptr || u32DstNum == 0)
        return;
    U32 u32Copy = (pSrc == nullptr) ? 0 : (u32DstNum < u32SrcNum ? u32DstNum : u32SrcNum);
    if (u32Copy != 0)
        memcpy(pDst, pSrc, (size_t)u32Copy * sizeof(T));
    if (u32DstNum > u32Copy)
        memset(pDst + u32Copy, 0, (size_t)(u32DstNum - u32Copy) * sizeof(T));
}

void FreeMainArrays(Output_TSInfo* pst)
{
    FreeArray(pst->pOutputTS, pst->u32OutputTSNumber);
    FreeArray(pst->pOutputProgram, pst->u32OutputProgramNumber);
    FreeArray(pst->pOutputPID, pst->u32OutputPIDNumber);
    FreeArray(pst->pOutputTable, pst->u32OutputTableNumber);
    FreeArray(pst->pDescriptor, pst->u32OutputDescriptorNumber);
}

bool AllocFactory(Output_TSInfo* pst)
{
    pst->pOutputTS = static_cast<Output_TSStream*>(calloc(TSP_FACTORY_TS_NUM, sizeof(Output_TSStream)));
    pst->pOutputProgram = static_cast<Output_TSProgram*>(calloc(TSP_FACTORY_PROGRAM_NUM, sizeof(Output_TSProgram)));
    pst->pOutputPID = static_cast<Output_TSPID*>(calloc(TSP_FACTORY_PID_NUM, sizeof(Output_TSPID)));
    pst->pOutputTable = static_cast<TSTable*>(calloc(TSP_FACTORY_TABLE_NUM, sizeof(TSTable)));
    pst->pDescriptor = static_cast<TSDescriptor*>(calloc(TSP_FACTORY_DESC_NUM, sizeof(TSDescriptor)));
    if (!pst->pOutputTS || !pst->pOutputProgram || !pst->pOutputPID || !pst->pOutputTable || !pst->pDescriptor) {
        FreeMainArrays(pst);
        return false;
    }
    pst->u32OutputTSNumber = TSP_FACTORY_TS_NUM;
    pst->u32OutputProgramNumber = TSP_FACTORY_PROGRAM_NUM;
    pst->u32OutputPIDNumber = TSP_FACTORY_PID_NUM;
    pst->u32OutputTableNumber = TSP_FACTORY_TABLE_NUM;
    pst->u32OutputDescriptorNumber = TSP_FACTORY_DESC_NUM;
    return true;
}

// First record whose valid flag is not 1, or u32Num when all are in use.
template <typename T>
U32 FirstFree(const T* pArray, U32 u32Num)
{
    for (U32 i = 0; i < u32Num; i++) {
        if (pArray[i].u8ValidFlag != TSP_RECORD_VALID)
            return i;
    }
    return u32Num;
}

// Appends free indexes from index 0 until the list holds u32Need of them.
template <typename T>
void CollectFree(const T* pArray, U32 u32Num, U32 u32Need, IndexInfoList_t* pstList)
{
    pstList->u16IndexListNum = 0;
    for (U32 i = 0; i < u32Num && pstList->u16IndexListNum < u32Need; i++) {
        if (pArray[i].u8ValidFlag != TSP_RECORD_VALID)
            pstList->aru16IndexList[pstList->u16IndexListNum++] = (U16)i;
    }
}

// The single free-record search of streams, descriptors and pass-through
// records: the lowest free index, or the first record of one growth step.
template <typename T>
U32 GetUnusedOne(U16* pu16Index, T*& pArray, U32& u32Num, U32 u32Step, const char* pcFunc, const char* pcFullFmt,
                 const char* pcGrowFmt)
{
    U32 u32Free = FirstFree(pArray, u32Num);
    if (u32Free < u32Num) {
        *pu16Index = (U16)u32Free;
        return ZR_SUCCESS;
    }
    U32 u32Old = u32Num;
    if (!GrowArray(pArray, u32Num, u32Step)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, pcFullFmt, (long)syscall(SYS_gettid), pcFunc, __LINE__);
        return TSP_ERR_NO_MEMORY;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, pcGrowFmt, (long)syscall(SYS_gettid), pcFunc, __LINE__,
               u32Num - u32Old, u32Num);
    *pu16Index = (U16)u32Old;
    return ZR_SUCCESS;
}

// The list free-record search of programs and PIDs: scan, grow once, scan again.
template <typename T>
U32 GetUnusedList(IndexInfoList_t* pstList, T*& pArray, U32& u32Num, U32 u32Step, U32 u32Need, const char* pcFunc,
                  const char* pcFullFmt, const char* pcGrowFmt, const char* pcShortFmt)
{
    CollectFree(pArray, u32Num, u32Need, pstList);
    if (pstList->u16IndexListNum >= u32Need)
        return ZR_SUCCESS;
    U32 u32Old = u32Num;
    if (!GrowArray(pArray, u32Num, u32Step)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, pcFullFmt, (long)syscall(SYS_gettid), pcFunc, __LINE__);
        pstList->u16IndexListNum = 0;
        return TSP_ERR_NO_MEMORY;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, pcGrowFmt, (long)syscall(SYS_gettid), pcFunc, __LINE__,
               u32Num - u32Old, u32Num);
    CollectFree(pArray, u32Num, u32Need, pstList);
    if (pstList->u16IndexListNum < u32Need) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, pcShortFmt, (long)syscall(SYS_gettid), pcFunc, __LINE__);
        return TSP_ERR_NOT_ENOUGH;
    }
    return ZR_SUCCESS;
}

} // namespace

// ---------------------------------------------------------------------------
// Whole-database operations
// ---------------------------------------------------------------------------

namespace {

void CloseEdit()
{
    s_bEditOpen = false;
    // The working copy is closed: no page shows its state any more.
    s_u32TempRevision++;
    s_u64RevisionShown = 0;
    s_bPlainEdits = s_bRevisionEdits = false;
    // Edits a refusal dropped are gone with the rest (the note of dropped
    // edits stays).
    s_bToldOther = false;
}

} // namespace

void TSP_InitOutputTSInfo(void)
{
    CARD_STATE_LOCK();
    CloseEdit();
    for (Output_TSInfo* pst : {&s_stTSParam, &g_stTempTSParam}) {
        pst->pOutputTS = nullptr;
        pst->pOutputProgram = nullptr;
        pst->pOutputPID = nullptr;
        pst->pOutputTable = nullptr;
        pst->pDescriptor = nullptr;
        pst->u32OutputTSNumber = 0;
        pst->u32OutputProgramNumber = 0;
        pst->u32OutputPIDNumber = 0;
        pst->u32OutputTableNumber = 0;
        pst->u32OutputDescriptorNumber = 0;
    }
    SSD_InitBroadcastSI();
}

U32 TSP_FreeOutputTSInfo(void)
{
    CARD_STATE_LOCK();
    NoteThrownEdits();
    FreeMainArrays(&s_stTSParam);
    FreeMainArrays(&g_stTempTSParam);
    TSP_InitOutputTSInfo();
    return ZR_SUCCESS;
}

U32 TSP_FactoryOutputTSInfo(void)
{
    CARD_STATE_LOCK();
    TSP_FreeOutputTSInfo();
    for (Output_TSInfo* pst : {&s_stTSParam, &g_stTempTSParam}) {
        if (!AllocFactory(pst)) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d factory database allocation failed\r\n\n",
                       LOG_POS);
            TSP_FreeOutputTSInfo();
            return TSP_ERR_NO_MEMORY;
        }
    }
    return ZR_SUCCESS;
}

U32 TSP_BuildFactoryTSInfo(Output_TSInfo* pstNew)
{
    if (pstNew == nullptr)
        return TSP_ERR_INPUT;
    Output_TSInfo st{};
    CARD_STATE_LOCK();
    // Pass-through records are not the factory's to clear: they stay.
    const Output_TSInfo& l = s_stTSParam;
    bool bOk = AllocFactory(&st);
    if (bOk && l.pOutputBypassTS != nullptr && l.u32OutputBypassTSNumber != 0) {
        st.pOutputBypassTS =
            static_cast<Passthrough_TSStream*>(malloc((size_t)l.u32OutputBypassTSNumber * sizeof(Passthrough_TSStream)));
        bOk = st.pOutputBypassTS != nullptr;
        if (bOk) {
            memcpy(st.pOutputBypassTS, l.pOutputBypassTS, (size_t)l.u32OutputBypassTSNumber * sizeof(Passthrough_TSStream));
            st.u32OutputBypassTSNumber = l.u32OutputBypassTSNumber;
        }
    }
    if (!bOk) {
        TSP_ReleaseTSInfo(&st);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d factory database allocation failed\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    *pstNew = st;
    return ZR_SUCCESS;
}

void TSP_LiveReplaced(void)
{
    CARD_STATE_LOCK();
    NoteThrownEdits();
    FreeMainArrays(&g_stTempTSParam);
    CloseEdit();
}

zrErrCode TSP_InitTSInfo(Output_TSInfo* pstParamTS, TSInfoInitNum* pstTSInfoInitNum)
{
    if (pstParamTS == nullptr || pstTSInfoInitNum == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,pstParamTS[%p],pstTSInfoInitNum[%u]",
                   __func__, __LINE__, (void*)pstParamTS, pstTSInfoInitNum ? 1u : 0u);
        return ZR_ERR_PARAMS;
    }
    const TSInfoInitNum stNum = *pstTSInfoInitNum;
    // Capacities come from a stored file: a link cannot address more records.
    if (stNum.u32OutputTSNumber > TSP_MAX_CAPACITY || stNum.u32OutputProgramNumber > TSP_MAX_CAPACITY ||
        stNum.u32OutputPIDNumber > TSP_MAX_CAPACITY || stNum.u32OutputTableNumber > TSP_MAX_CAPACITY ||
        stNum.u32OutputDescriptorNumber > TSP_MAX_CAPACITY || stNum.u32OutputBypassTSNumber > TSP_MAX_CAPACITY) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]Input Error,capacity beyond [%u]\r\n", __func__,
                   __LINE__, TSP_MAX_CAPACITY);
        return ZR_ERR_PARAMS;
    }
    CARD_STATE_LOCK();
    FreeMainArrays(pstParamTS);
    FreeArray(pstParamTS->pOutputBypassTS, pstParamTS->u32OutputBypassTSNumber);
    memset(pstParamTS, 0, sizeof(*pstParamTS));

    const U32 u32TS = stNum.u32OutputTSNumber ? stNum.u32OutputTSNumber : TSP_FACTORY_TS_NUM;
    const U32 u32Prog = stNum.u32OutputProgramNumber ? stNum.u32OutputProgramNumber : TSP_FACTORY_PROGRAM_NUM;
    const U32 u32PID = stNum.u32OutputPIDNumber ? stNum.u32OutputPIDNumber : TSP_FACTORY_PID_NUM;
    const U32 u32Table = stNum.u32OutputTableNumber ? stNum.u32OutputTableNumber : TSP_FACTORY_TABLE_NUM;
    const U32 u32Desc = stNum.u32OutputDescriptorNumber ? stNum.u32OutputDescriptorNumber : TSP_FACTORY_DESC_NUM;
    const U32 u32Bypass = stNum.u32OutputBypassTSNumber ? stNum.u32OutputBypassTSNumber : TSP_FACTORY_BYPASS_NUM;

    Output_TSInfo st{};
    bool bOk = true;
    auto alloc = [&](auto*& p, U32& u32Cap, U32 u32Num, const char* pcName) {
        if (!bOk)
            return;
        using T = std::remove_reference_t<decltype(*p)>;
        p = static_cast<T*>(calloc(u32Num, sizeof(T)));
        if (p == nullptr) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "[%s:%d]calloc for %s fail,u32Num[%u],TSSize[%u]\r\n",
                       __func__, __LINE__, pcName, u32Num, (U32)sizeof(T));
            bOk = false;
            return;
        }
        u32Cap = u32Num;
    };
    alloc(st.pOutputTS, st.u32OutputTSNumber, u32TS, "pOutputTS");
    alloc(st.pOutputProgram, st.u32OutputProgramNumber, u32Prog, "pOutputProgram");
    alloc(st.pOutputPID, st.u32OutputPIDNumber, u32PID, "pOutputPID");
    alloc(st.pOutputTable, st.u32OutputTableNumber, u32Table, "pOutputTable");
    alloc(st.pDescriptor, st.u32OutputDescriptorNumber, u32Desc, "pDescriptor");
    alloc(st.pOutputBypassTS, st.u32OutputBypassTSNumber, u32Bypass, "pOutputBypassTS");
    if (!bOk) {
        FreeMainArrays(&st);
        FreeArray(st.pOutputBypassTS, st.u32OutputBypassTSNumber);
        return ZR_ERR_MALLOC_FALIURE;
    }
    *pstParamTS = st;
    return ZR_SUCCESS;
}

U32 TSP_CloneTSInfo(const Output_TSInfo* pstSrc, Output_TSInfo* pstDst)
{
    if (pstSrc == nullptr || pstDst == nullptr)
        return TSP_ERR_INPUT;
    Output_TSInfo st{};
    bool bOk = true;
    auto dup = [&bOk](auto*& pDst, U32& u32DstNum, const auto* pSrc, U32 u32Num) {
        using T = std::remove_const_t<std::remove_reference_t<decltype(*pSrc)>>;
        if (!bOk || pSrc == nullptr || u32Num == 0)
            return;
        pDst = static_cast<T*>(malloc((size_t)u32Num * sizeof(T)));
        if (pDst == nullptr) {
            bOk = false;
            return;
        }
        memcpy(pDst, pSrc, (size_t)u32Num * sizeof(T));
        u32DstNum = u32Num;
    };
    dup(st.pOutputTS, st.u32OutputTSNumber, pstSrc->pOutputTS, pstSrc->u32OutputTSNumber);
    dup(st.pOutputProgram, st.u32OutputProgramNumber, pstSrc->pOutputProgram, pstSrc->u32OutputProgramNumber);
    dup(st.pOutputPID, st.u32OutputPIDNumber, pstSrc->pOutputPID, pstSrc->u32OutputPIDNumber);
    dup(st.pOutputTable, st.u32OutputTableNumber, pstSrc->pOutputTable, pstSrc->u32OutputTableNumber);
    dup(st.pDescriptor, st.u32OutputDescriptorNumber, pstSrc->pDescriptor, pstSrc->u32OutputDescriptorNumber);
    dup(st.pOutputBypassTS, st.u32OutputBypassTSNumber, pstSrc->pOutputBypassTS, pstSrc->u32OutputBypassTSNumber);
    if (!bOk) {
        TSP_ReleaseTSInfo(&st);
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d no memory for a copy of the database\r\n\n",
                   LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    *pstDst = st;
    return ZR_SUCCESS;
}

void TSP_ReleaseTSInfo(Output_TSInfo* pst)
{
    if (pst == nullptr)
        return;
    FreeMainArrays(pst);
    FreeArray(pst->pOutputBypassTS, pst->u32OutputBypassTSNumber);
}

// ---------------------------------------------------------------------------
// Working copy
// ---------------------------------------------------------------------------

U32 TSP_InitOutputTempTSInfo(void)
{
    CARD_STATE_LOCK();
    // One shared working copy: opening it throws away the edits of every page.
    NoteThrownEdits();
    s_bEditOpen = false;
    Output_TSInfo& w = g_stTempTSParam;
    const Output_TSInfo& l = s_stTSParam;
    if (!ResizeArray(w.pOutputTS, w.u32OutputTSNumber, l.u32OutputTSNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: Get no invalid outputTS, but the memory is full\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    if (!ResizeArray(w.pOutputProgram, w.u32OutputProgramNumber, l.u32OutputProgramNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: Get no invalid outputPro, but the memory is full\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    if (!ResizeArray(w.pOutputPID, w.u32OutputPIDNumber, l.u32OutputPIDNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: Get no invalid outputPID, but the memory is full\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    if (!ResizeArray(w.pOutputTable, w.u32OutputTableNumber, l.u32OutputTableNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: Get no invalid outputTable, but the memory is full\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    if (!ResizeArray(w.pDescriptor, w.u32OutputDescriptorNumber, l.u32OutputDescriptorNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: Get no invalid outputDescriptor, but the memory is full\r\n\n",
                   LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    ZeroArray(w.pOutputTS, w.u32OutputTSNumber);
    ZeroArray(w.pOutputProgram, w.u32OutputProgramNumber);
    ZeroArray(w.pOutputPID, w.u32OutputPIDNumber);
    ZeroArray(w.pOutputTable, w.u32OutputTableNumber);
    ZeroArray(w.pDescriptor, w.u32OutputDescriptorNumber);
    return ZR_SUCCESS;
}

void TSP_CopyOutputTempTSInfo(void)
{
    CARD_STATE_LOCK();
    NoteThrownEdits();
    Output_TSInfo& w = g_stTempTSParam;
    const Output_TSInfo& l = s_stTSParam;
    bool bFits = true;
    // The live database may have grown since the edit was opened; bring the
    // working arrays along so that every live link stays inside them. Should
    // that fail, the records both hold are copied and the rest cleared.
    if (!ResizeArray(w.pOutputTS, w.u32OutputTSNumber, l.u32OutputTSNumber) ||
        !ResizeArray(w.pOutputProgram, w.u32OutputProgramNumber, l.u32OutputProgramNumber) ||
        !ResizeArray(w.pOutputPID, w.u32OutputPIDNumber, l.u32OutputPIDNumber) ||
        !ResizeArray(w.pOutputTable, w.u32OutputTableNumber, l.u32OutputTableNumber) ||
        !ResizeArray(w.pDescriptor, w.u32OutputDescriptorNumber, l.u32OutputDescriptorNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: working copy cannot follow the live database\r\n\n", LOG_POS);
        bFits = false;
    }
    CopyRecords(w.pOutputTS, w.u32OutputTSNumber, l.pOutputTS, l.u32OutputTSNumber);
    CopyRecords(w.pOutputProgram, w.u32OutputProgramNumber, l.pOutputProgram, l.u32OutputProgramNumber);
    CopyRecords(w.pOutputPID, w.u32OutputPIDNumber, l.pOutputPID, l.u32OutputPIDNumber);
    CopyRecords(w.pOutputTable, w.u32OutputTableNumber, l.pOutputTable, l.u32OutputTableNumber);
    CopyRecords(w.pDescriptor, w.u32OutputDescriptorNumber, l.pDescriptor, l.u32OutputDescriptorNumber);
    // A cut-down copy is no edit: committing it would clear live records.
    s_bEditOpen = bFits;
    s_u64OpenedWork = DigestOf(w);
    s_u64OpenedLive = DigestOf(l);
    ObserveRevision();
}

U32 TSP_OpenTempTSInfoIfClosed(void)
{
    {
        CARD_STATE_LOCK();
        if (s_bEditOpen)
            return ZR_SUCCESS;
    }
    U32 rc = TSP_InitOutputTempTSInfo();
    if (rc != ZR_SUCCESS)
        return rc;
    TSP_CopyOutputTempTSInfo();
    return ZR_SUCCESS;
}

bool TSP_IsTempTSInfoOpen(void)
{
    CARD_STATE_LOCK();
    return s_bEditOpen;
}

bool TSP_IsTempTSInfoEdited(void)
{
    CARD_STATE_LOCK();
    return s_bEditOpen && DigestOf(g_stTempTSParam) != s_u64OpenedWork;
}

U32 TSP_GetTempRevision(void)
{
    CARD_STATE_LOCK();
    return ObserveRevision();
}

U32 TSP_LastTempRevision(void)
{
    return t_u32Revision;
}

U32 TSP_ViewTemp(void)
{
    CARD_STATE_LOCK();
    if (!s_bEditOpen)
        return TSP_OpenTempTSInfoIfClosed();
    // A copy the live database left behind: an unedited one follows it, and
    // edits made on it, which no commit could take any more, are gone.
    if (DigestOf(s_stTSParam) != s_u64OpenedLive) {
        if (TSP_InitOutputTempTSInfo() != ZR_SUCCESS)
            return TSP_ERR_NO_MEMORY;
        TSP_CopyOutputTempTSInfo();
    }
    return ZR_SUCCESS;
}

void TSP_TempPageLoaded(void)
{
    CARD_STATE_LOCK();
    s_bToldOther = false;
}

void TSP_BeginTempEdit(bool bNamed)
{
    CARD_STATE_LOCK();
    TSP_EndTempEdit();
    s_bPendingEdit = true;
    s_bPendingNamed = bNamed;
    s_u64PendingBefore = DigestOf(g_stTempTSParam);
}

void TSP_EndTempEdit(void)
{
    CARD_STATE_LOCK();
    if (!s_bPendingEdit)
        return;
    s_bPendingEdit = false;
    // Whatever the answer, the state the edit left is given a revision.
    ObserveRevision();
    const U64 u64Now = DigestOf(g_stTempTSParam);
    if (!s_bEditOpen || u64Now == s_u64PendingBefore || u64Now == s_u64OpenedWork)
        return;
    if (s_bPendingNamed)
        s_bRevisionEdits = true;
    else
        s_bPlainEdits = true;
}

TSP_OwnTempChange::TSP_OwnTempChange()
{
    CARD_STATE_LOCK();
    s_bOwnChange = true;
}

TSP_OwnTempChange::~TSP_OwnTempChange()
{
    CARD_STATE_LOCK();
    s_bOwnChange = false;
}

namespace {

// The working copy opened again from the live database; its edits are gone
// (noted as dropped unless an answer reported them).
void ReopenTemp(const char* pcWhy)
{
    if (TSP_InitOutputTempTSInfo() == ZR_SUCCESS)
        TSP_CopyOutputTempTSInfo();
    else
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d working copy not reopened (%s)\r\n\n", LOG_POS,
                   pcWhy);
}

bool Edited()
{
    return s_bEditOpen && DigestOf(g_stTempTSParam) != s_u64OpenedWork;
}

// A refusal (783) of a page that names the revision; bDrop: the edits the
// copy holds are thrown away (that steps the revision).
U32 RefuseNamed(const char* pcWhy, bool bDrop)
{
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d web edit refused: %s\r\n\n", LOG_POS, pcWhy);
    if (bDrop && Edited())
        ReopenTemp(pcWhy);
    return TSP_ERR_LIVE_CHANGED;
}

// A refusal (783) of a page that names none: its answer tells it that the
// edits the copy holds are not applied. bDrop: they are thrown away, so that
// no other caller's apply puts them on air. bOther: the card knows of another
// such page whose edits were dropped, so those of pages that name no
// revision the copy held may not have been this one's, which is noted.
U32 RefusePlain(const char* pcWhy, bool bDrop, bool bOther = false)
{
    log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d web edit refused: %s\r\n\n", LOG_POS, pcWhy);
    const bool bEdited = Edited();
    const bool bHeld = UnreportedPlainEdits();
    TellPlain();
    if (bOther)
        s_bToldOther = bHeld;
    if (bDrop && bEdited)
        ReopenTemp(pcWhy);
    return TSP_ERR_LIVE_CHANGED;
}

U32 Refuse(const U32* pu32Revision, const char* pcWhy, bool bDrop)
{
    return pu32Revision != nullptr ? RefuseNamed(pcWhy, bDrop) : RefusePlain(pcWhy, bDrop);
}

// What a page that names no revision can be refused for before it edits or
// applies (0: nothing). bApply: an apply, which the dropped-edit note refuses.
U32 RefusePlainFirst(bool bApply)
{
    // The copy holds the edits of a page that names its revision: not this
    // caller's. Its own, if it has any there, are not left for that page's
    // apply either.
    if (s_bRevisionEdits && Edited())
        return RefusePlain("the working copy holds the edits of a page that names its revision", s_bPlainEdits);
    // Edits were thrown away (another page's load, a replaced database) and
    // nothing tells whose they were: this may be their page. What the copy
    // holds now is not applied, nor left for another apply; and when it held
    // edits, the next request of such a page may be theirs.
    if (bApply && s_bEditDropped) {
        s_bEditDropped = s_bToldOther = false;
        return RefusePlain("edits were dropped since the page was loaded", true, true);
    }
    if (s_bToldOther) {
        s_bToldOther = false;
        return RefusePlain("edits were dropped since the page was loaded", true);
    }
    return ZR_SUCCESS;
}

U32 Commit(const U32* pu32Revision, const std::function<U32(const Output_TSInfo*)>& check)
{
    CARD_STATE_LOCK();
    const Output_TSInfo& w = g_stTempTSParam;
    Output_TSInfo& l = s_stTSParam;
    // A page of another revision was shown another state: nothing of it is
    // applied, and the working copy, another page's, stays as it is.
    if (pu32Revision != nullptr && *pu32Revision != ObserveRevision())
        return RefuseNamed("the page shows another state", false);
    if (pu32Revision == nullptr) {
        const U32 rc = RefusePlainFirst(true);
        if (rc != ZR_SUCCESS)
            return rc;
    }
    // No edit since the opening: nothing to commit, and the live database,
    // with whatever the input cards did to it meanwhile, stays as it is.
    if (!Edited())
        return ZR_SUCCESS;
    // The edits were made on records the live database no longer holds as
    // they were: copying them back would undo its changes. Refused; the
    // working copy starts again from the live database.
    if (DigestOf(l) != s_u64OpenedLive)
        return Refuse(pu32Revision, "live database changed under the web edit", true);
    // What the edits would put on air is judged before any of it is copied;
    // a refusal keeps the edits in the working copy and the live database,
    // and its answer tells the caller.
    if (check) {
        const U32 ret = check(&w);
        if (ret != ZR_SUCCESS) {
            if (pu32Revision == nullptr)
                TellPlain();
            return ret;
        }
    }
    // Make room for every working record first, so a failure changes nothing
    // but the size of some live arrays (their new records are free).
    auto fit = [](auto*& p, U32& u32Cap, U32 u32Need) { return u32Cap >= u32Need || ResizeArray(p, u32Cap, u32Need); };
    if (!fit(l.pOutputTS, l.u32OutputTSNumber, w.u32OutputTSNumber) ||
        !fit(l.pOutputProgram, l.u32OutputProgramNumber, w.u32OutputProgramNumber) ||
        !fit(l.pOutputPID, l.u32OutputPIDNumber, w.u32OutputPIDNumber) ||
        !fit(l.pOutputTable, l.u32OutputTableNumber, w.u32OutputTableNumber) ||
        !fit(l.pDescriptor, l.u32OutputDescriptorNumber, w.u32OutputDescriptorNumber)) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d allocating memory: live database cannot take the working copy\r\n\n", LOG_POS);
        return TSP_ERR_NO_MEMORY;
    }
    // A NIT the edits changed goes on air with the next version.
    TSP_StepCommittedNITVersions(&g_stTempTSParam, &l);
    CopyRecords(l.pOutputTS, l.u32OutputTSNumber, w.pOutputTS, w.u32OutputTSNumber);
    CopyRecords(l.pOutputProgram, l.u32OutputProgramNumber, w.pOutputProgram, w.u32OutputProgramNumber);
    CopyRecords(l.pOutputPID, l.u32OutputPIDNumber, w.pOutputPID, w.u32OutputPIDNumber);
    CopyRecords(l.pOutputTable, l.u32OutputTableNumber, w.pOutputTable, w.u32OutputTableNumber);
    CopyRecords(l.pDescriptor, l.u32OutputDescriptorNumber, w.pDescriptor, w.u32OutputDescriptorNumber);
    // Committed: the copy holds no edit the live database lacks.
    s_u64OpenedWork = DigestOf(w);
    s_u64OpenedLive = DigestOf(l);
    s_bPlainEdits = s_bRevisionEdits = false;
    ObserveRevision();
    return ZR_SUCCESS;
}

} // namespace

U32 TSP_CopyOutputTSInfo(const std::function<U32(const Output_TSInfo*)>& check)
{
    return Commit(nullptr, check);
}

U32 TSP_CommitTempTSInfo(U32 u32Revision, const std::function<U32(const Output_TSInfo*)>& check)
{
    return Commit(&u32Revision, check);
}

U32 TSP_CheckTempEdit(const U32* pu32Revision)
{
    CARD_STATE_LOCK();
    if (pu32Revision != nullptr && *pu32Revision != ObserveRevision())
        return RefuseNamed("the page shows another state", false);
    if (pu32Revision == nullptr) {
        const U32 rc = RefusePlainFirst(false);
        if (rc != ZR_SUCCESS)
            return rc;
    }
    if (!s_bEditOpen) {
        // Closed (a freed database): a page that names a revision showed
        // what is gone; one that names none edits the live state as it is.
        if (pu32Revision != nullptr)
            return RefuseNamed("the working copy was closed", false);
        return TSP_OpenTempTSInfoIfClosed();
    }
    if (DigestOf(s_stTSParam) == s_u64OpenedLive)
        return ZR_SUCCESS;
    // The live database changed under the copy. Edits made on it could
    // never be committed: refused, and the copy starts again.
    if (Edited())
        return Refuse(pu32Revision, "live database changed under the web edit", true);
    // An unedited copy just follows. A page that names its revision goes on
    // when what it shows stayed the same (the apply step's own writes).
    ReopenTemp("live change under the page");
    if (pu32Revision != nullptr && *pu32Revision != ObserveRevision())
        return RefuseNamed("the live change changed what the page shows", false);
    return ZR_SUCCESS;
}

U32 TSP_ChangeLiveWithTemp(const std::function<U32(bool bEdited)>& change)
{
    CARD_STATE_LOCK();
    const bool bLiveAsOpened = s_bEditOpen && DigestOf(s_stTSParam) == s_u64OpenedLive;
    if (s_bOwnChange && s_bEditOpen) {
        // The page's own change: the working copy takes it as one of its
        // edits, and an unedited copy stays unedited.
        const bool bEdited = Edited();
        const U32 ret = change(true);
        if (!bEdited)
            s_u64OpenedWork = DigestOf(g_stTempTSParam);
        if (bLiveAsOpened)
            s_u64OpenedLive = DigestOf(s_stTSParam);
        return ret;
    }
    if (!Edited()) {
        const U32 ret = change(false);
        ReopenTemp("live change");
        return ret;
    }
    // Under edits: the same change is made to the working copy so that its
    // commit keeps it (what the pages show changed: the revision steps).
    // Where it wrote over an edit, that edit is gone; whether it was one no
    // answer reported is judged on the copy before the change, which may
    // have written the copy back to the state it was opened with.
    const Image work = ImageOf(g_stTempTSParam), live = ImageOf(s_stTSParam);
    const bool bUnreported = UnreportedPlainEdits();
    const U32 ret = change(true);
    if (WroteOverEdit(work, live, ImageOf(g_stTempTSParam))) {
        if (bUnreported)
            s_bEditDropped = true;
        ReopenTemp("edits overwritten by a live change");
        return ret;
    }
    if (ret == ZR_SUCCESS && bLiveAsOpened)
        s_u64OpenedLive = DigestOf(s_stTSParam);
    return ret;
}

U32 TSP_DeriveLive(const std::function<U32()>& apply)
{
    CARD_STATE_LOCK();
    const bool bEdited = Edited();
    const bool bLiveAsOpened = bEdited && DigestOf(s_stTSParam) == s_u64OpenedLive;
    const U32 ret = apply();
    if (s_bEditOpen && !bEdited)
        ReopenTemp("apply");
    else if (bLiveAsOpened)
        s_u64OpenedLive = DigestOf(s_stTSParam);
    // The revision after the apply, for the answer of the page that ran it.
    ObserveRevision();
    return ret;
}

// ---------------------------------------------------------------------------
// Free-record search
// ---------------------------------------------------------------------------

U32 TSP_GetUnusedOutputTSIndex(U16* pu16OutputIndex, Output_TSInfo* pstParamTS)
{
    if (pu16OutputIndex == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    return GetUnusedOne(pu16OutputIndex, pstParamTS->pOutputTS, pstParamTS->u32OutputTSNumber, TSP_GROW_TS_NUM,
                        __func__, "%ld:%s:%d allocating memory: Get no invalid outputTS, but the memory is full\r\n\n",
                        "%ld:%s:%d allocating new [%u] TS memory, now total TS number is [%u]\r\n\n");
}

U32 TSP_GetUnusedOutputDescIndex(U16* pu16OutputDescIndex, Output_TSInfo* pstParamTS)
{
    if (pu16OutputDescIndex == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    return GetUnusedOne(pu16OutputDescIndex, pstParamTS->pDescriptor, pstParamTS->u32OutputDescriptorNumber,
                        TSP_GROW_DESC_NUM, __func__,
                        "%ld:%s:%d allocating memory: Get no invalid outputDescriptor, but the memory is full\r\n\n",
                        "%ld:%s:%d allocating new [%u] Descriptor memory, now total Descriptor number is [%u]\r\n\n");
}

U32 TSP_GetUnusedOutputBypassTsIndex(U16* pu16OutputIndex, Output_TSInfo* pstParamTS)
{
    if (pu16OutputIndex == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    return GetUnusedOne(
        pu16OutputIndex, pstParamTS->pOutputBypassTS, pstParamTS->u32OutputBypassTSNumber, TSP_GROW_BYPASS_NUM,
        __func__, "%ld:%s:%d allocating memory: Get no invalid OutputBypassTS, but the memory is full\r\n\n",
        "%ld:%s:%d allocating new [%u] OutputBypassTS memory, now total OutputBypassTS number is [%u]\r\n\n");
}

U32 TSP_GetUnusedOutputProgList(IndexInfoList_t* pstIndexUnusedList, Output_TSInfo* pstParamTS, U32 u32NeedNum)
{
    if (pstIndexUnusedList == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u32NeedNum > TSP_MAX_NEED_PROGRAM) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Need Program Number beyond [%d]\r\n\n", LOG_POS,
                   (int)TSP_MAX_NEED_PROGRAM);
        return TSP_ERR_INPUT;
    }
    if (u32NeedNum == 0)
        return ZR_SUCCESS;
    CARD_STATE_LOCK();
    return GetUnusedList(pstIndexUnusedList, pstParamTS->pOutputProgram, pstParamTS->u32OutputProgramNumber,
                         TSP_GROW_PROGRAM_NUM, u32NeedNum, __func__,
                         "%ld:%s:%d allocating memory: Get no invalid outputPro, but the memory is full\r\n\n",
                         "%ld:%s:%d allocating new [%u] Pro memory, now total pro number is [%u]\r\n\n",
                         "%ld:%s:%d TSP_GetUnusedOutputProgList didn't get enouth Unused progList\r\n\n");
}

U32 TSP_GetUnusedOutputPIDIndex(IndexInfoList_t* pstIndexUnusedList, Output_TSInfo* pstParamTS, U32 u32NeedNum)
{
    if (pstIndexUnusedList == nullptr || pstParamTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d input ERROR\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    if (u32NeedNum > TSP_MAX_NEED_PID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Need PID Number beyond [%d]\n", LOG_POS,
                   (int)TSP_MAX_NEED_PID);
        return TSP_ERR_INPUT;
    }
    if (u32NeedNum == 0)
        return ZR_SUCCESS;
    // An index list holds 300 entries; a larger request could not be answered.
    if (u32NeedNum > TSP_INDEX_LIST_MAX) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Need PID Number beyond [%d]\n", LOG_POS,
                   (int)TSP_INDEX_LIST_MAX);
        return TSP_ERR_INPUT;
    }
    CARD_STATE_LOCK();
    return GetUnusedList(pstIndexUnusedList, pstParamTS->pOutputPID, pstParamTS->u32OutputPIDNumber, TSP_GROW_PID_NUM,
                         u32NeedNum, __func__,
                         "%ld:%s:%d allocating memory: Get no invalid outputPID, but the memory is full\r\n\n",
                         "%ld:%s:%d allocating new [%u] PID memory, now total PID number is [%u]\r\n\n",
                         "%ld:%s:%d TSP_GetUnusedOutputPIDListList didn't get enouth Unused PIDList\r\n\n");
}

zrErrCode TSP_GetUnusedOutputTableIndexList(IndexInfoList_t* pstIndexList, Output_TSInfo* pstParamTS, U32 u32NeedNum)
{
    if (pstIndexList == nullptr || pstParamTS == nullptr || u32NeedNum > TSP_MAX_NEED_TABLE) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS,
                   "%ld:%s:%d [%s:%d]Input Error:pstIndexList[%p],pstParamTS[%p],u32NeedNum[%u]\r\n\n", LOG_POS,
                   __func__, __LINE__, (void*)pstIndexList, (void*)pstParamTS, u32NeedNum);
        return (zrErrCode)TSP_ERR_INPUT;
    }
    if (u32NeedNum == 0)
        return ZR_SUCCESS;
    CARD_STATE_LOCK();
    for (;;) {
        CollectFree(pstParamTS->pOutputTable, pstParamTS->u32OutputTableNumber, u32NeedNum, pstIndexList);
        if (pstIndexList->u16IndexListNum >= u32NeedNum)
            return ZR_SUCCESS;
        if (!GrowArray(pstParamTS->pOutputTable, pstParamTS->u32OutputTableNumber, TSP_GROW_TABLE_NUM)) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d [%s:%d]realloc() fail\r\n\n", LOG_POS,
                       __func__, __LINE__);
            pstIndexList->u16IndexListNum = 0;
            return (zrErrCode)TSP_ERR_TABLE_GROW;
        }
    }
}

// ---------------------------------------------------------------------------
// Initialisers
// ---------------------------------------------------------------------------

U32 TSP_InitOneOutputTSStream(Output_TSStream* pstTS)
{
    if (pstTS == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstTS->u16ProgramIndex = TSP_INVALID_INDEX;
    pstTS->u16OtherPIDIndex = TSP_INVALID_INDEX;
    pstTS->u16EMMPIDIndex = TSP_INVALID_INDEX;
    pstTS->u16NITIndex = TSP_INVALID_INDEX;
    pstTS->u16BATIndex = TSP_INVALID_INDEX;
    pstTS->u16TDTIndex = TSP_INVALID_INDEX;
    pstTS->u16TOTIndex = TSP_INVALID_INDEX;
    pstTS->u16OtherNITIndex = TSP_INVALID_INDEX;
    pstTS->u16OtherSDTIndex = TSP_INVALID_INDEX;
    pstTS->u32StructVersion = 0;
    pstTS->u8ValidFlag = TSP_RECORD_VALID;
    pstTS->u16ProgramNum = 0;
    pstTS->u16OtherPIDNum = 0;
    pstTS->u16EMMPIDNumber = 0;
    pstTS->u8PATVersionNumber = 0;
    pstTS->u8PATChangeFlag = 0;
    pstTS->u8SDTVersionNumber = 0;
    pstTS->u8SDTChangeFlag = 0;
    pstTS->u8CATVersionNumber = 0;
    pstTS->u8CATChangeFlag = 0;
    pstTS->u8ModulationMode = 4;
    pstTS->u8PATGenerate = 1;
    pstTS->u8PMTGenerate = 1;
    pstTS->u8CATGenerate = 1;
    pstTS->u8SDTGenerate = 1;
    pstTS->u8TDTGenerate = 1;
    pstTS->u8MGTGenerate = 1;
    pstTS->u8VCTGenerate = 1;
    pstTS->u8STTGenerate = 1;
    pstTS->u8HasTsInfoFlag = 0;
    pstTS->u16PATPID = 0;
    // What the card kept of its own tables: nothing yet, whatever a sender's
    // record carried there.
    pstTS->u8VCTVersionNumber = pstTS->u8MGTVersionNumber = pstTS->u8PSIPKept = pstTS->u8Res2 = 0;
    pstTS->u32VCTContent = pstTS->u32MGTContent = 0;
    return ZR_SUCCESS;
}

U32 TSP_InitOneOutputTSProgram(Output_TSProgram* pstProgram)
{
    if (pstProgram == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstProgram->u16PMTPID = pstProgram->u16OldPMTPID;
    pstProgram->u16PCRPID = pstProgram->u16OldPCRPID;
    pstProgram->u16ServiceID = pstProgram->u16OldServiceID;
    pstProgram->u32StructVersion = 0;
    pstProgram->u8PMTVersionNumber = 0;
    pstProgram->u8PMTChangeFlag = 0;
    pstProgram->u16PSECMPIDNumber = 0;
    pstProgram->u16ESNumber = 0;
    pstProgram->u16TSIndex = TSP_INVALID_INDEX;
    pstProgram->u16ProgramIndex = TSP_INVALID_INDEX;
    pstProgram->u16NextProgramIndex = TSP_INVALID_INDEX;
    pstProgram->u16PSECMPIDIndex = TSP_INVALID_INDEX;
    pstProgram->u16PCRIndex = TSP_INVALID_INDEX;
    pstProgram->u16PIDIndex = TSP_INVALID_INDEX;
    pstProgram->u16ProgramInfoDescriptorIndex = TSP_INVALID_INDEX;
    pstProgram->u16SDTInfoDescriptorIndex = TSP_INVALID_INDEX;
    if (pstProgram->u16MajorChannelNum >= 1024)
        pstProgram->u16MajorChannelNum = 2;
    if (pstProgram->u16MinorChannelNum >= 1024)
        pstProgram->u16MinorChannelNum = 2;
    pstProgram->u8ValidFlag = TSP_RECORD_VALID;
    if (Resource_GetSIMode() == 1)
        pstProgram->u8ServiceType = 2;
    return ZR_SUCCESS;
}

U32 TSP_InitOneOutputTSPID(Output_TSPID* pstPID)
{
    if (pstPID == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstPID->u16PID = pstPID->u16OldPID;
    pstPID->u32StructVersion = 0;
    pstPID->u8ValidFlag = TSP_RECORD_VALID;
    pstPID->u32TSIndex = TSP_INVALID_INDEX32;
    pstPID->u32ProgramIndex = TSP_INVALID_INDEX32;
    pstPID->u32PIDIndex = TSP_INVALID_INDEX32;
    pstPID->u32NextPIDIndex = TSP_INVALID_INDEX32;
    pstPID->u16ESECMPIDNumber = 0;
    pstPID->u16ESInfoDescriptorIndex = TSP_INVALID_INDEX;
    return ZR_SUCCESS;
}

U32 TSP_InitOneOutputTable(TSTable* pstTable)
{
    if (pstTable == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstTable->u32StructVersion = 0;
    pstTable->u8ValidFlag = TSP_RECORD_VALID;
    pstTable->u16Index = TSP_INVALID_INDEX;
    pstTable->u16NextIndex = TSP_INVALID_INDEX;
    pstTable->u16PID = TSP_INVALID_INDEX;
    pstTable->u16TableID = TSP_INVALID_INDEX;
    pstTable->u16SectionNumber = TSP_INVALID_INDEX;
    pstTable->u16LastSectionNumber = TSP_INVALID_INDEX;
    return ZR_SUCCESS;
}

U32 TSP_InitOneOutputTSDescriptor(TSDescriptor* pstDesc)
{
    if (pstDesc == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstDesc->u32StructVersion = 0;
    pstDesc->u8ValidFlag = TSP_RECORD_VALID;
    pstDesc->u16TSIndex = TSP_INVALID_INDEX;
    pstDesc->u16ProgramIndex = TSP_INVALID_INDEX;
    pstDesc->u16DescriptorIndex = TSP_INVALID_INDEX;
    pstDesc->u16NextDescriptorIndex = TSP_INVALID_INDEX;
    return ZR_SUCCESS;
}

U32 TSP_InitOneOutputBypassTS(Passthrough_TSStream* pstBypass)
{
    if (pstBypass == nullptr) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    pstBypass->u32StructVersion = 0;
    pstBypass->u8ValidFlag = TSP_RECORD_VALID;
    return ZR_SUCCESS;
}

// ---------------------------------------------------------------------------
// Debug dumps
// ---------------------------------------------------------------------------

#define TSP_DUMP(fmt, ...) log_printf(LOG_LEVEL_INFO, LOG_MODULE_TSPROCESS, fmt "\r\n", __VA_ARGS__)

U32 TSP_DebugPrintOneTS(U16 u16Index)
{
    CARD_STATE_LOCK();
    const Output_TSInfo& l = s_stTSParam;
    if (l.pOutputTS == nullptr || u16Index >= l.u32OutputTSNumber ||
        l.pOutputTS[u16Index].u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSStream& r = l.pOutputTS[u16Index];
    TSP_DUMP("Ts structure length [%u]", r.u32Length);
    TSP_DUMP("Ts structure u16NetworkID [%u]", r.u16NetworkID);
    TSP_DUMP("Ts structure u16TransportStreamID [%u]", r.u16TransportStreamID);
    TSP_DUMP("Ts structure u16OriginalNetworkID [%u]", r.u16OriginalNetworkID);
    TSP_DUMP("Ts structure u8SlotID [%u]", r.u8SlotID);
    TSP_DUMP("Ts structure u16ChannelID [%u]", r.u16ChannelID);
    return ZR_SUCCESS;
}

U32 TSP_DebugPrintOneProgram(U16 u16Index)
{
    CARD_STATE_LOCK();
    const Output_TSInfo& l = s_stTSParam;
    if (l.pOutputProgram == nullptr || u16Index >= l.u32OutputProgramNumber ||
        l.pOutputProgram[u16Index].u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSProgram& r = l.pOutputProgram[u16Index];
    // Names are bounded by their arrays whatever length the record claims.
    int iNameLen = r.u8ServiceNameLen < TSP_NAME_MAX_LEN ? r.u8ServiceNameLen : (int)TSP_NAME_MAX_LEN;
    int iProvLen = r.u8ServiceProviderLen < TSP_NAME_MAX_LEN ? r.u8ServiceProviderLen : (int)TSP_NAME_MAX_LEN;
    TSP_DUMP("Program structure length [%u]", r.u32Length);
    TSP_DUMP("Program structure u8SourceSlotID [%u]", r.u8SourceSlotID);
    TSP_DUMP("Program structure u16SourceChannelID [%u]", r.u16SourceChannelID);
    TSP_DUMP("Program structure u16ChannelID [%u]", r.u16ChannelID);
    TSP_DUMP("Program structure u8SlotID [%u]", r.u8SlotID);
    TSP_DUMP("Program structure u16ProgramID [%u]", r.u16ProgramID);
    TSP_DUMP("Program structure u16OldServiceID [%u]", r.u16OldServiceID);
    TSP_DUMP("Program structure u16OldPCRPID [%u]", r.u16OldPCRPID);
    TSP_DUMP("Program structure u16OldPMTPID [%u]", r.u16OldPMTPID);
    TSP_DUMP("Program structure u8ServiceNameLen [%u]", r.u8ServiceNameLen);
    TSP_DUMP("Program structure aru8ServiceName [%.*s]", iNameLen, (const char*)r.aru8ServiceName);
    TSP_DUMP("Program structure u8ServiceProviderLen [%u]", r.u8ServiceProviderLen);
    TSP_DUMP("Program structure aru8ServiceProvider [%.*s]", iProvLen, (const char*)r.aru8ServiceProvider);
    TSP_DUMP("Program structure u8ServiceType [%u]", r.u8ServiceType);
    TSP_DUMP("Program structure u8RunningStatus [%u]", r.u8RunningStatus);
    TSP_DUMP("Program structure u8FreeCAMode [%u]", r.u8FreeCAMode);
    TSP_DUMP("Program structure u16ProgramInfoLength [%u]", r.u16ProgramInfoLength);
    TSP_DUMP("Program structure u16SDTInfoLength [%u]", r.u16SDTInfoLength);
    TSP_DUMP("Program structure u16TSIndex [%u]", r.u16TSIndex);
    TSP_DUMP("Program structure u16NextProgramIndex [%u]", r.u16NextProgramIndex);
    TSP_DUMP("Program structure u16ProgramIndex [%u]", r.u16ProgramIndex);
    TSP_DUMP("Program structure u16PCRIndex [%u]", r.u16PCRIndex);
    return ZR_SUCCESS;
}

U32 TSP_DebugPrintOnePID(U16 u16Index)
{
    CARD_STATE_LOCK();
    const Output_TSInfo& l = s_stTSParam;
    if (l.pOutputPID == nullptr || u16Index >= l.u32OutputPIDNumber ||
        l.pOutputPID[u16Index].u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Output_TSPID& r = l.pOutputPID[u16Index];
    TSP_DUMP("PID structure u8SourceSlotID [%u]", r.u8SourceSlotID);
    TSP_DUMP("PID structure u16SourceChannelID [%u]", r.u16SourceChannelID);
    TSP_DUMP("PID structure u8SlotID [%u]", r.u8SlotID);
    TSP_DUMP("PID structure u16ChannelID [%u]", r.u16ChannelID);
    TSP_DUMP("PID structure u16ProgramID [%u]", r.u16ProgramID);
    TSP_DUMP("PID structure u16PIDID [%u]", r.u16PIDID);
    TSP_DUMP("PID structure u8PIDType [%u]", r.u8PIDType);
    TSP_DUMP("PID structure u8StreamType [0x%x]", r.u8StreamType);
    TSP_DUMP("PID structure u16OldPID [%u]", r.u16OldPID);
    TSP_DUMP("PID structure u16ESInfoLength [%u]", r.u16ESInfoLength);
    TSP_DUMP("PID structure u32TSIndex [%u]", r.u32TSIndex);
    TSP_DUMP("PID structure u32ProgramIndex [%u]", r.u32ProgramIndex);
    TSP_DUMP("PID structure u32NextPIDIndex [%u]", r.u32NextPIDIndex);
    TSP_DUMP("PID structure u32PIDIndex [%u]", r.u32PIDIndex);
    return ZR_SUCCESS;
}

U32 TSP_DebugPrintOneBypassTS(U16 u16Index)
{
    CARD_STATE_LOCK();
    const Output_TSInfo& l = s_stTSParam;
    if (l.pOutputBypassTS == nullptr || u16Index >= l.u32OutputBypassTSNumber ||
        l.pOutputBypassTS[u16Index].u8ValidFlag != TSP_RECORD_VALID) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d Input error\r\n\n", LOG_POS);
        return TSP_ERR_INPUT;
    }
    const Passthrough_TSStream& r = l.pOutputBypassTS[u16Index];
    TSP_DUMP("BypassTS structure u8SourceSlotID [%u]", r.u8SourceSlotID);
    TSP_DUMP("BypassTS structure u16SourceChannelID [%u]", r.u16SourceChannelID);
    for (U32 i = 0; i < 8; i++)
        TSP_DUMP("BypassTS structure aru32BypassDestChannel[%u] [0x%x]", i, r.aru32BypassDestChannel[i]);
    return ZR_SUCCESS;
}
