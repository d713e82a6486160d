// The OID dump: every stored field has a fixed key whose value is the array
// of that field over all records of its type, so a dump stays readable when
// record layouts gain fields. Built in an AVL tree, written in pre-order.
#include "Common/oid/oiddata.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "Parameter/parameters.h"
#include "Platform/platform.h"
#include "TSprocess/tsp_db.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_identity.h"
#include "TSprocess/tsp_mux.h"
#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <utility>
#include <vector>

AVLTree sp_root = nullptr;
BOOL InitAlltableInsertEnFlag = FALSE;

namespace {

U16 s_u16Version = OID_VERSION_UPGRADE;
// The dump being written; never destroyed, since an installation thread may
// still be saving while the program exits.
std::vector<U8>& s_vecDump = *new std::vector<U8>;

// Which record a key's elements belong to.
enum Kind : U8 { K_IPMON, K_TS, K_PROG, K_PID, K_TABLE, K_DESC, K_BYPASS, K_COUNT };

struct OidField {
    Type key;
    Kind kind;
    U16 offset;  // of the member in its record
    U16 width;   // of the member
};

#define F(k, kind, T, m) {k, kind, (U16)offsetof(T, m), (U16)sizeof(((T*)nullptr)->m)}
#define IPM(k, m) F(k, K_IPMON, QAM_IPMonitorPara, m)
#define TS(k, m) F(k, K_TS, Output_TSStream, m)
#define PG(k, m) F(k, K_PROG, Output_TSProgram, m)
#define PD(k, m) F(k, K_PID, Output_TSPID, m)
#define TB(k, m) F(k, K_TABLE, TSTable, m)
#define DS(k, m) F(k, K_DESC, TSDescriptor, m)
#define BP(k, m) F(k, K_BYPASS, Passthrough_TSStream, m)
#define CN(k, m) F(k, K_COUNT, TSInfoInitNum, m)

// In insertion order: the order fixes the tree's shape and so the dump's.
const OidField kFields[] = {
    IPM(0, u8Enable), IPM(1, u8Channel), IPM(2, u16DestPort), IPM(3, u32DestIPAddr), IPM(4, u16IP1MaxRate),
    IPM(5, u16PSIInterval),
    TS(391, u32Length),
    TS(92, u16NetworkID), TS(93, u16TransportStreamID), TS(94, u16OriginalNetworkID), TS(95, u8ValidFlag),
    TS(96, u8SlotID), TS(97, u16ChannelID), TS(98, u16ProgramNum), TS(99, u16ProgramIndex),
    TS(100, u16OtherPIDNum), TS(101, u16OtherPIDIndex), TS(102, u16EMMPIDNumber), TS(103, u16EMMPIDIndex),
    TS(104, u8PATVersionNumber), TS(105, u8PATChangeFlag), TS(106, u8BypassFlag), TS(107, u8SrcSlotID),
    TS(108, u16SrcChannelID), TS(109, u16NITIndex), TS(110, u16BATIndex), TS(111, u16TDTIndex),
    TS(112, u16TOTIndex), TS(113, u16OtherNITIndex), TS(114, u16OtherSDTIndex), TS(115, u8SDTVersionNumber),
    TS(116, u8SDTChangeFlag), TS(117, u8CATVersionNumber), TS(118, u8CATChangeFlag), TS(119, u16SrcStreamID),
    TS(120, u8SrcPort), TS(121, u8IsSDTChangedByUser),
    TS(382, u8NITVersionNumber), TS(383, u8NITChangeFlag), TS(384, u8ModulationMode), TS(385, u8TDTGenerate),
    TS(386, u8HasTsInfoFlag), TS(388, u16PATPID), TS(392, u16DescriptorNum), TS(393, u16DescriptorIndex),
    TS(410, u8PATGenerate), TS(411, u8PMTGenerate), TS(412, u8CATGenerate), TS(413, u8SDTGenerate),
    TS(415, u8BATGenerate), TS(414, u8NITGenerate), TS(417, u8TOTGenerate), TS(419, u16TransChannel),
    TS(418, u8EITGenerate), TS(420, u8BATChangeFlag), TS(421, u8BATVersionNumber), TS(422, u8MGTGenerate),
    TS(423, u8VCTGenerate), TS(424, u8STTGenerate), TS(425, u8ETTGenerate), TS(426, u32VCTType),
    PG(394, u32Length),
    PG(122, u8ValidFlag), PG(123, u8SourceSlotID), PG(124, u16SourceChannelID), PG(125, u16ChannelID),
    PG(126, u8SlotID), PG(127, u8PMTVersionNumber), PG(128, u16TSIndex), PG(129, u16ProgramIndex),
    PG(130, u16ProgramID), PG(131, u16NextProgramIndex), PG(132, u16PSECMPIDNumber), PG(133, u16PSECMPIDIndex),
    PG(134, u16OldServiceID), PG(135, u16OldPCRPID), PG(136, u16OldPMTPID), PG(137, u16ServiceID),
    PG(138, u16PCRPID), PG(139, u16PMTPID), PG(140, u16ESNumber), PG(141, u16PCRIndex), PG(142, u16PIDIndex),
    PG(143, u8ServiceNameLen), PG(144, u8ServiceProviderLen), PG(145, aru8ServiceName),
    PG(146, aru8ServiceProvider), PG(147, u8ServiceType), PG(148, u8RunningStatus), PG(149, u8FreeCAMode),
    PG(150, u8EITScheduleFlag), PG(151, u8EITPresentFollowingFlag), PG(152, u8PMTChangeFlag),
    PG(153, u16ProgramInfoLength), PG(154, aru8ProgramInfo), PG(155, u16SDTInfoLength), PG(156, u8CAMIndex),
    PG(157, u8CIFlag), PG(158, aru8SDTInfo), PG(159, u16ProgramInfoDescriptorIndex),
    PG(160, u16SDTInfoDescriptorIndex), PG(161, u16MajorChannelNum), PG(162, u16MinorChannelNum),
    PG(163, u32CarrierFrequency), PG(164, u16ChannelTSID), PG(165, u16SourceId), PG(166, u8ModulationMode),
    PG(167, u8VCTType), PG(168, u8SrcPort), PG(169, u8OtherInfo), PG(170, u16WebChannel),
    PG(171, u8DescrambFlag), PG(387, u16SrcStreamId),
    PD(395, u32Length),
    PD(172, u8ValidFlag), PD(173, u8SourceSlotID), PD(174, u16SourceChannelID), PD(175, u8SlotID),
    PD(176, u16ChannelID), PD(177, u32TSIndex), PD(178, u32ProgramIndex), PD(179, u32PIDIndex),
    PD(180, u16ProgramID), PD(181, u16PIDID), PD(182, u32NextPIDIndex), PD(183, u16ESECMPIDNumber),
    PD(184, u16ESECMPIDIndex), PD(185, u8PIDType), PD(186, u8StreamType), PD(187, u16OldPID), PD(188, u16PID),
    PD(189, u16CASID), PD(190, u16ESInfoLength), PD(191, u16SrcStreamID), PD(192, aru8ESInfo),
    PD(193, u16ESInfoDescriptorIndex), PD(194, u16CISrcPID), PD(195, u16SrcCIStreamID),
    PD(389, u8PIDFilterFlag), PD(390, u16ESPIDIndex),
    TB(396, u32Length),
    TB(197, u8ValidFlag), TB(198, u8SlotID), TB(199, u16ChannelID), TB(200, u16Index), TB(201, u16NextIndex),
    TB(202, u16TSIndex), TB(203, u8TableType), TB(204, u16PID), TB(205, u16TableID), TB(206, u16SectionNumber),
    TB(207, u16LastSectionNumber), TB(208, u16TableInfoLen), TB(209, aru8TableInfo), TB(210, u8IsChangedByUser),
    DS(397, u32Length),
    DS(211, u8ValidFlag), DS(212, u8SlotID), DS(213, u16ChannelID), DS(214, u16ProgramIndex),
    DS(215, u16PIDIndex), DS(216, u8DescriptorInfo), DS(398, u16DescriptorIndex), DS(399, u16DescriptorID),
    DS(400, u16NextDescriptorIndex), DS(401, u16TSIndex), DS(402, u16SrcStreamID), DS(403, u16SourceChannelID),
    DS(404, u8SourceSlotID),
    BP(218, u8ValidFlag), BP(219, u8SourceSlotID), BP(220, u16SourceChannelID), BP(221, aru32BypassDestChannel),
    CN(222, u32OutputTSNumber), CN(223, u32OutputProgramNumber), CN(224, u32OutputPIDNumber),
    CN(225, u32OutputTableNumber), CN(226, u32OutputDescriptorNumber), CN(227, u32OutputBypassTSNumber),
};
static_assert(sizeof(kFields) / sizeof(kFields[0]) == OID_KEY_NUM, "every key of the store");

// The records of one kind in the live database: base and count.
struct Records {
    U8* base;
    U32 count;
    size_t size;
};

Records RecordsOf(Kind kind, Output_TSInfo* db)
{
    switch (kind) {
    case K_TS: return {reinterpret_cast<U8*>(db->pOutputTS), db->u32OutputTSNumber, sizeof(Output_TSStream)};
    case K_PROG: return {reinterpret_cast<U8*>(db->pOutputProgram), db->u32OutputProgramNumber, sizeof(Output_TSProgram)};
    case K_PID: return {reinterpret_cast<U8*>(db->pOutputPID), db->u32OutputPIDNumber, sizeof(Output_TSPID)};
    case K_TABLE: return {reinterpret_cast<U8*>(db->pOutputTable), db->u32OutputTableNumber, sizeof(TSTable)};
    case K_DESC: return {reinterpret_cast<U8*>(db->pDescriptor), db->u32OutputDescriptorNumber, sizeof(TSDescriptor)};
    case K_BYPASS:
        return {reinterpret_cast<U8*>(db->pOutputBypassTS), db->u32OutputBypassTSNumber, sizeof(Passthrough_TSStream)};
    default: return {nullptr, 0, 0};
    }
}

void PutLE(std::vector<U8>& out, U32 v, int bytes)
{
    for (int i = 0; i < bytes; i++)
        out.push_back((U8)(v >> (8 * i)));
}

U32 GetLE(const U8* p, int bytes)
{
    U32 v = 0;
    for (int i = 0; i < bytes; i++)
        v |= (U32)p[i] << (8 * i);
    return v;
}

void OID_SetAllValueInAvlTree(void)
{
    QAM_IPMonitorPara* ip = &g_stCurPE.st_IPMonitorParams.stIPMonitorParams;
    CARD_STATE_LOCK();
    Output_TSInfo* db = TSP_GetTSParam();
    TSInfoInitNum counts = {db->u32OutputTSNumber, db->u32OutputProgramNumber, db->u32OutputPIDNumber,
                            db->u32OutputTableNumber, db->u32OutputDescriptorNumber, db->u32OutputBypassTSNumber};
    for (const OidField& f : kFields) {
        if (f.kind == K_IPMON) {
            OID_SetValueInAvlTree((U16)f.key, 1, 0, f.width, reinterpret_cast<U8*>(ip) + f.offset);
        } else if (f.kind == K_COUNT) {
            OID_SetValueInAvlTree((U16)f.key, 1, 0, f.width, reinterpret_cast<U8*>(&counts) + f.offset);
        } else {
            Records r = RecordsOf(f.kind, db);
            if (r.base == nullptr)
                continue;
            U16 n = (U16)r.count;
            for (U16 i = 0; i < n; i++)
                OID_SetValueInAvlTree((U16)f.key, n, i, f.width, r.base + (size_t)i * r.size + f.offset);
        }
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Set all Value params finish\n",
               LOG_POS_OF("OID_SetAllValueInAvlTree"));
}

}  // namespace

// Loads the records of a dump into the tree. False when a record runs past
// the end: such a dump is refused whole.
bool OID_LoadAllValueFromFlash(const U8* data, size_t len)
{
    size_t off = 2;
    if (data == nullptr || len < off)
        return false;
    while (len - off > OID_RECORD_HEAD_LEN) {
        Type key = (Type)GetLE(data + off, 4);
        U16 count = (U16)GetLE(data + off + 4, 2);
        U16 unit = (U16)GetLE(data + off + 6, 2);
        size_t bytes = (size_t)count * unit;
        if (bytes > len - off - OID_RECORD_HEAD_LEN) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s:%d]record of key %d runs past the end\r\n", __func__,
                       __LINE__, key);
            return false;
        }
        Node* n = avltree_search(sp_root, key);
        if (n != nullptr && bytes != 0) {
            U8* v = static_cast<U8*>(malloc(bytes));
            if (v == nullptr) {
                log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s:%d]malloc error\r\n", __func__, __LINE__);
                return true;  // what was loaded so far is kept
            }
            memcpy(v, data + off + OID_RECORD_HEAD_LEN, bytes);
            free(n->value);  // a key given twice: the later record counts
            n->value = v;
            n->valueCount = count;
            n->valueUnitLen = unit;
        }
        off += OID_RECORD_HEAD_LEN + bytes;
    }
    return true;
}

namespace {

// Copies element i of a key into a member: at most the member's width, and
// only when the key carries that element.
void CopyElement(const OidField& f, U32 i, U8* record)
{
    Node* n = avltree_search(sp_root, f.key);
    if (n == nullptr || n->value == nullptr || n->valueCount == 0 || n->valueUnitLen == 0 || i >= n->valueCount)
        return;
    memcpy(record + f.offset, n->value + (size_t)i * n->valueUnitLen, std::min(n->valueUnitLen, f.width));
}

}  // namespace

namespace {

// The tree's values into pstIP and a database of their own in pstNew; false
// (nothing built) when the dump's capacities cannot be built.
bool RecoverInto(Output_TSInfo* pstNew, QAM_IPMonitorPara* pstIP)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d begin to recovery all params\n", LOG_POS);
    TSInfoInitNum counts{};
    for (const OidField& f : kFields)
        if (f.kind == K_COUNT)
            CopyElement(f, 0, reinterpret_cast<U8*>(&counts));
    Output_TSInfo* db = pstNew;
    // Records laid over a database the dump does not describe would mix
    // the two: a dump whose capacities cannot be built is refused whole.
    if (TSP_InitTSInfo(db, &counts) != ZR_SUCCESS) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d rebuild of the database failed\n", LOG_POS);
        return false;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS,
               "%ld:%s:%d OutTS = %d OutPROM = %d OutPID = %d OutTAB = %d OutDES = %d OutBypass = %d \n\n", LOG_POS,
               db->u32OutputTSNumber, db->u32OutputProgramNumber, db->u32OutputPIDNumber, db->u32OutputTableNumber,
               db->u32OutputDescriptorNumber, db->u32OutputBypassTSNumber);
    for (const OidField& f : kFields)
        if (f.kind == K_IPMON)
            CopyElement(f, 0, reinterpret_cast<U8*>(pstIP));
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d  recovery IP monitor params finish\n", LOG_POS);
    for (int kind = K_TS; kind <= K_BYPASS; kind++) {
        if (kind == K_PROG)
            log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d begin to recovery tsoutput params\n", LOG_POS);
        Records r = RecordsOf((Kind)kind, db);
        if (r.base == nullptr)
            continue;
        for (U32 i = 0; i < r.count; i++)
            for (const OidField& f : kFields)
                if (f.kind == kind)
                    CopyElement(f, i, r.base + (size_t)i * r.size);
    }
    // As from the output-stream file: no stream of a channel the card lacks.
    TSP_ClearStreamsBeyondChannels(db);
    TSP_MergeRepeatedRecords(db);
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d end to recovery all params\n", LOG_POS);
    return true;
}

// A version-0 dump comes from firmware that did not store the generation
// flags: turn them on in the streams of the eight channels that exist.
void ForceGenerationFlags(Output_TSInfo* db)
{
    U32 n = db->pOutputTS == nullptr ? 0 : std::min<U32>(db->u32OutputTSNumber, 8);
    for (U32 i = 0; i < n; i++) {
        Output_TSStream& s = db->pOutputTS[i];
        s.u8PATGenerate = s.u8PMTGenerate = s.u8CATGenerate = s.u8SDTGenerate = 1;
        s.u8TDTGenerate = s.u8MGTGenerate = s.u8VCTGenerate = s.u8STTGenerate = 1;
    }
}

// The restored set replaces the live one as it is.
bool TakeWhole(Output_TSInfo* pstNew, const QAM_IPMonitorPara& ip)
{
    CARD_STATE_LOCK();
    std::swap(*TSP_GetTSParam(), *pstNew);
    g_stCurPE.st_IPMonitorParams.stIPMonitorParams = ip;
    return true;
}

}  // namespace

bool OID_RecoveryAllParam(void)
{
    QAM_IPMonitorPara ip = g_stCurPE.st_IPMonitorParams.stIPMonitorParams;
    Output_TSInfo st{};
    const bool built = RecoverInto(&st, &ip) && TakeWhole(&st, ip);
    TSP_ReleaseTSInfo(&st);
    return built;
}

namespace {

void RemoveDump(void)
{
    char cmd[128];
    snprintf(cmd, sizeof(cmd), "rm -rf %s", TARVEX_OID_FILE);
    plat::System(cmd);
}

}  // namespace

U8 OID_CreateAvlTree(void)
{
    for (const OidField& f : kFields) {
        AVLTree t = avltree_insert(sp_root, f.key);
        if (t == nullptr && sp_root == nullptr) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_ALL, "[%s:%d]create avl tree faile\r\n", __func__, __LINE__);
            return 1;
        }
        sp_root = t;
    }
    return 0;
}

void OID_SetValueInAvlTree(U16 key, U16 count, U16 index, U16 unitLen, void* value)
{
    Node* n = avltree_search(sp_root, key);
    if (n == nullptr || index >= count || count == 0 || unitLen == 0 || value == nullptr)
        return;
    if (n->value == nullptr) {
        n->value = static_cast<U8*>(calloc(count, unitLen));
        if (n->value == nullptr) {
            log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "[%s:%d]malloc error\r\n", __func__, __LINE__);
            return;
        }
        n->valueCount = count;
        n->valueUnitLen = unitLen;
    }
    // A later call with another shape must not write past the array.
    if (index >= n->valueCount || unitLen != n->valueUnitLen)
        return;
    memcpy(n->value + (size_t)index * unitLen, value, unitLen);
}

void OID_preorder_avltree(AVLTree tree)
{
    if (tree == nullptr)
        return;
    PutLE(s_vecDump, (U32)tree->key, 4);
    PutLE(s_vecDump, tree->value ? tree->valueCount : 0, 2);
    PutLE(s_vecDump, tree->value ? tree->valueUnitLen : 0, 2);
    if (tree->value != nullptr)
        s_vecDump.insert(s_vecDump.end(), tree->value, tree->value + (size_t)tree->valueCount * tree->valueUnitLen);
    OID_preorder_avltree(tree->left);
    OID_preorder_avltree(tree->right);
}

void OID_ModifyVersionNumber(U16 u16newVersion)
{
    s_u16Version = u16newVersion;
}

zrErrCode OIDDATA_Save(void)
{
    U8 rc = OID_CreateAvlTree();
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d Creat Oid Av Tree\n", LOG_POS);
    if (rc != 0) {
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS, "%ld:%s:%d [%s:%d]create avl tree error\r\n\n", LOG_POS, __func__,
                   __LINE__);
        destroy_avltree(sp_root);
        sp_root = nullptr;
        return ZR_ERR_NOT_SAVED;
    }
    OID_SetAllValueInAvlTree();
    s_vecDump.clear();
    PutLE(s_vecDump, s_u16Version, 2);
    OID_preorder_avltree(sp_root);
    // Written whole or not at all: a torn dump would restore half a database.
    bool saved = plat::WriteFileAtomic(TARVEX_OID_FILE, s_vecDump.data(), s_vecDump.size(), true);
    PARAMS_NoteSave(TARVEX_OID_FILE, saved, errno);
    s_vecDump.clear();
    s_vecDump.shrink_to_fit();
    destroy_avltree(sp_root);
    sp_root = nullptr;
    return saved ? ZR_SUCCESS : ZR_ERR_NOT_SAVED;
}

namespace {

// Restores a pending dump: its set goes to take, which says whether it was
// taken; 0 when it was, 1 otherwise. A dump that could not be read stays
// for another try; one whose set was refused is done with.
U8 Recover(const std::function<bool(Output_TSInfo*, const QAM_IPMonitorPara&)>& take)
{
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d start recovery all parameters!\n", LOG_POS);
    std::string data;
    if (!plat::ReadFile(TARVEX_OID_FILE, data)) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SYS, "[%s:%d]open error\r\n", "OID_LoadFlash", __LINE__);
        return 1;
    }
    if (data.empty()) {
        log_printf(LOG_LEVEL_WARNING, LOG_MODULE_SYS, "[%s:%d]%s is empty\r\n", "OID_LoadFlash", __LINE__,
                   TARVEX_OID_FILE);
        RemoveDump();
        plat::System("sync");
        return 1;
    }
    if (data.size() < 2)
        return 1;  // not even a version word
    const U8* p = reinterpret_cast<const U8*>(data.data());
    U16 version = (U16)GetLE(p, 2);
    if (version == OID_VERSION_UPGRADE) {
        InitAlltableInsertEnFlag = FALSE;
        return 1;
    }
    InitAlltableInsertEnFlag = version == 0 ? TRUE : FALSE;
    if (OID_CreateAvlTree() != 0) {
        destroy_avltree(sp_root);
        sp_root = nullptr;
        return 1;
    }
    log_printf(LOG_LEVEL_INFO, LOG_MODULE_SYS, "%ld:%s:%d oid version = %d, paramversion = %x!\r\n\n", LOG_POS, 1,
               PARAMS_STRUCT_VERSION);
    if (!OID_LoadAllValueFromFlash(p, data.size())) {
        destroy_avltree(sp_root);
        sp_root = nullptr;
        return 1;
    }
    QAM_IPMonitorPara ip = g_stCurPE.st_IPMonitorParams.stIPMonitorParams;
    Output_TSInfo st{};
    const bool built = RecoverInto(&st, &ip);
    destroy_avltree(sp_root);
    sp_root = nullptr;
    if (!built)
        return 1;  // the dump stays for another try
    if (InitAlltableInsertEnFlag)
        ForceGenerationFlags(&st);
    const bool taken = take(&st, ip);
    TSP_ReleaseTSInfo(&st);
    RemoveDump();
    return taken ? 0 : 1;
}

// The restored set replaces the live one through the planner, or not at all.
bool TakePlanned(Output_TSInfo* pstNew, const QAM_IPMonitorPara& ip)
{
    CARD_STATE_LOCK();
    bool inForce = false;
    TSP_ReplaceProcess(pstNew, "restored configuration", &inForce);
    if (!inForce) {
        // What is on air and the saved file stay; the dump is done with.
        log_printf(LOG_LEVEL_ERROR, LOG_MODULE_SYS,
                   "%ld:%s:%d the restored configuration's output streams do not fit beside what is on air: "
                   "refused, the card keeps its own\n",
                   LOG_POS);
        return false;
    }
    g_stCurPE.st_IPMonitorParams.stIPMonitorParams = ip;
    return true;
}

}  // namespace

U8 OIDDATA_Recovery(void)
{
    return Recover(TakeWhole);
}

U8 OIDDATA_RecoveryPlanned(void)
{
    return Recover(TakePlanned);
}
