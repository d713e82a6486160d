// The output planner: the whole output made from a candidate database (both
// chips' routing tables, every channel's PSI/SI in its carousel entries), its
// limits checked, and only a plan that holds made what goes on air.
#include "TSprocess/tsp_plan.h"
#include "Common/thread.h"
#include "Log/log.h"
#include "SIprocess/SIconstruct.h"
#include "SIprocess/SIgenerate.h"
#include "SIprocess/SIsend.h"
#include "TSprocess/tsp_del.h"
#include "TSprocess/tsp_identity.h"
#include "TSprocess/tsp_lut.h"
#include "TSprocess/tsp_mux.h"
#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <set>
#include <tuple>
#include <utility>
#include <vector>

namespace {

#define PLAN_LOG(fmt, ...) log_printf(LOG_LEVEL_ERROR, LOG_MODULE_TSPROCESS, "%ld:%s:%d " fmt, LOG_POS, ##__VA_ARGS__)

// A record of the candidate that a miss can be met by leaving it out.
struct Culprit {
    enum Kind { NONE, PROGRAM, PID } eKind = NONE;
    U32 u32Index = 0;
};

struct Miss {
    TSP_PlanMiss stMiss;
    Culprit stCulprit;
    bool bTableOnAir;  // without a culprit: a table on air would stop
    bool bRoute;       // a route of a record not on air
};

// Whether a miss stops a change: it names a record to refuse, or a table on
// air would stop. A table that never went on air and cannot be built stays
// off air, as it was.
bool Stops(const Miss& m) { return m.bRoute || m.stCulprit.eKind != Culprit::NONE || m.bTableOnAir; }

struct Plan {
    std::unique_ptr<TSP_LUTSet> pstLUTs;
    SIP_TablePlan stTables;
    std::vector<Miss> vecMisses;
};

// What is on air: the identities of the programs and PID records of the
// database last made on air, and its tables as (channel, PID).
using PIDKey = std::tuple<U8, U8, U16, U16, U16, U16, U16>;
std::set<U64> s_setPrograms;
std::set<PIDKey> s_setPIDs;
std::set<U32> s_setTables;
std::set<U16> s_setStreams;  // by output channel
bool s_bOnAir = false;
// New programs a PID message of which was refused: their round's apply (or
// any commit once no round of theirs is open) leaves them out, unless a PID
// message of theirs is taken first.
std::set<U64> s_setHeldBack;

// A slot's round: its record messages since its last apply (or slot clear).
struct Round {
    bool bFresh = true;
    bool bRefused = false;
    // The slot's programs on air when the round opened and held since. Another
    // road's commit may put the round's first records on air before the rest
    // came; that does not make them part of what was on air, nor does a
    // program deleted and sent again inside the round stay one.
    std::set<U64> setOnAirAtOpen;
    // The programs its program messages brought that were not on air.
    std::set<U64> setArrived;
    // The round's programs a PID message of which was taken.
    std::set<U64> setStreamsCame;
};
Round s_arRound[TSP_MAX_SLOT_ID + 1];
// The slot whose own apply is the commit under way (-1: another road's).
int s_iOwnApply = -1;

U64 ProgramKey(const Output_TSProgram& p)
{
    return (U64)p.u8SourceSlotID << 48 | (U64)p.u16SourceChannelID << 32 | (U64)p.u16ChannelID << 16 | p.u16ProgramID;
}

std::set<U64> HeldPrograms()
{
    std::set<U64> held;
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; db != nullptr && db->pOutputProgram != nullptr && i < db->u32OutputProgramNumber; i++)
        if (db->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID)
            held.insert(ProgramKey(db->pOutputProgram[i]));
    return held;
}

template <typename T>
void KeepOnly(std::set<T>& s, const std::set<T>& keep)
{
    for (auto it = s.begin(); it != s.end();)
        it = keep.count(*it) != 0 ? std::next(it) : s.erase(it);
}

// What the rounds know of programs that are no longer held is dropped: a
// program deleted and sent again is a new one.
void ForgetGone()
{
    const std::set<U64> held = HeldPrograms();
    KeepOnly(s_setHeldBack, held);
    for (Round& r : s_arRound) {
        KeepOnly(r.setOnAirAtOpen, held);
        KeepOnly(r.setArrived, held);
        KeepOnly(r.setStreamsCame, held);
    }
}

void OpenRound(U8 u8Slot)
{
    Round& r = s_arRound[u8Slot];
    if (!r.bFresh)
        return;
    r.bFresh = false;
    r.bRefused = false;
    r.setArrived.clear();
    r.setStreamsCame.clear();
    r.setOnAirAtOpen.clear();
    r.setOnAirAtOpen.insert(s_setPrograms.lower_bound((U64)u8Slot << 48),
                            s_setPrograms.lower_bound((U64)(u8Slot + 1) << 48));
    KeepOnly(r.setOnAirAtOpen, HeldPrograms());
}

bool RoundOpen(U8 u8Slot) { return u8Slot <= TSP_MAX_SLOT_ID && !s_arRound[u8Slot].bFresh; }

// On air before its input card's open round began (or now, outside one).
bool OnAirBeforeItsRound(const Output_TSProgram& p)
{
    if (RoundOpen(p.u8SourceSlotID))
        return s_arRound[p.u8SourceSlotID].setOnAirAtOpen.count(ProgramKey(p)) != 0;
    return s_setPrograms.count(ProgramKey(p)) != 0;
}

// A new program of an open round that another road's commit must keep off
// air: its streams have not come yet, or a PID message of it was refused.
bool KeptForItsRound(const Output_TSProgram& p)
{
    if (!RoundOpen(p.u8SourceSlotID) || p.u8SourceSlotID == s_iOwnApply || OnAirBeforeItsRound(p))
        return false;
    const U64 k = ProgramKey(p);
    const Round& r = s_arRound[p.u8SourceSlotID];
    return r.setArrived.count(k) != 0 && (s_setHeldBack.count(k) != 0 || r.setStreamsCame.count(k) == 0);
}

PIDKey PidKey(const Output_TSPID& p)
{
    return {p.u8PIDType, p.u8SourceSlotID, p.u16SourceChannelID, p.u16ChannelID, p.u16ProgramID, p.u16PIDID,
            p.u8PIDType == PID_TYPE_ES_ECMPID ? p.u16ESECMPIDIndex : (U16)0};
}

U32 TableKey(U16 u16Channel, U16 u16PID) { return (U32)u16Channel << 16 | u16PID; }

bool PIDOnAir(const Output_TSPID& p) { return s_setPIDs.count(PidKey(p)) != 0; }

void NoteLeftOut(U8 u8Slot)
{
    if (u8Slot <= TSP_MAX_SLOT_ID)
        s_arRound[u8Slot].bRefused = true;
}

const char* PIDKind(U8 u8Type)
{
    switch (u8Type) {
    case PID_TYPE_ESPID: return "ES";
    case PID_TYPE_EMMPID: return "EMM";
    case PID_TYPE_PS_ECMPID: return "PS-ECM";
    case PID_TYPE_ES_ECMPID: return "ES-ECM";
    case PID_TYPE_PCRPID: return "PCR";
    default: return "other";
    }
}

std::string ProgramText(const Output_TSProgram& p)
{
    char t[120];
    snprintf(t, sizeof(t), "service %u (slot %u, input channel %u, program %u)", p.u16ServiceID, p.u8SourceSlotID,
             p.u16SourceChannelID, p.u16ProgramID);
    return t;
}

std::string PIDText(const Output_TSPID& p)
{
    char t[120];
    snprintf(t, sizeof(t), "%s PID 0x%x (slot %u, input channel %u, id %u)", PIDKind(p.u8PIDType), p.u16OldPID,
             p.u8SourceSlotID, p.u16SourceChannelID, p.u16PIDID);
    return t;
}

// The misses of one plan as they are found.
class Misses
{
public:
    Misses(const Output_TSInfo* db, std::vector<Miss>& out) : m_db(db), m_out(out) {}

    void Add(U16 channel, const std::string& table, const std::string& limit, U16 tablePID, Culprit c,
             const std::string& what)
    {
        U8 slot = 0xFF;
        std::string record = what;
        if (c.eKind == Culprit::PROGRAM && !m_chosen.insert({1, c.u32Index}).second)
            return;
        if (c.eKind == Culprit::PID && !m_chosen.insert({2, c.u32Index}).second)
            return;
        if (c.eKind == Culprit::PROGRAM) {
            slot = m_db->pOutputProgram[c.u32Index].u8SourceSlotID;
            record = ProgramText(m_db->pOutputProgram[c.u32Index]);
        } else if (c.eKind == Culprit::PID) {
            slot = m_db->pOutputPID[c.u32Index].u8SourceSlotID;
            record = PIDText(m_db->pOutputPID[c.u32Index]);
        }
        const bool onAir = c.eKind == Culprit::NONE &&
                           (tablePID == TSP_PLAN_NO_PID ? s_bOnAir : s_setTables.count(TableKey(channel, tablePID)) != 0);
        m_out.push_back({{channel, table, limit, record, slot, tablePID}, c, onAir, false});
    }

private:
    const Output_TSInfo* m_db;
    std::vector<Miss>& m_out;
    std::set<std::pair<int, U32>> m_chosen;
};

// The last records of a list that are not on air, up to `count` of them,
// newest first.
std::vector<U32> NewestNotOnAir(const Output_TSInfo* db, const IndexInfoList_t& list, U32 count)
{
    std::vector<U32> out;
    for (U32 k = list.u16IndexListNum; k-- > 0 && out.size() < count;) {
        U32 j = list.aru16IndexList[k];
        if (j < db->u32OutputPIDNumber && db->pOutputPID[j].u8ValidFlag == TSP_RECORD_VALID &&
            !PIDOnAir(db->pOutputPID[j]))
            out.push_back(j);
    }
    return out;
}

bool TableFailed(const SIP_TablePlan& t, U16 ts, U16 program, const char* table)
{
    for (const SIP_TableFailure& f : t.vecFailures)
        if (f.u16OutTSIndex == ts && f.u16Program == program && strcmp(f.pcTable, table) == 0)
            return true;
    return false;
}

// The lists of one program against their limits, and its PMT.
void CheckProgram(const Output_TSInfo* db, const SIP_TablePlan& t, U16 ts, U16 prog, Misses& misses)
{
    const Output_TSProgram& p = db->pOutputProgram[prog];
    const U16 c = p.u16ChannelID;
    char table[64];
    snprintf(table, sizeof(table), "PMT of service %u", p.u16ServiceID);
    char limit[96];
    snprintf(limit, sizeof(limit), "at most %u ECMs", TSP_PLAN_ECM_MAX);
    bool counted = false;
    IndexInfoList_t ecm, es;
    std::vector<IndexInfoList_t> esEcm;
    if (TSP_GetOutProgPSECMPIDIndexList(prog, db, &ecm) != 0)
        ecm.u16IndexListNum = 0;
    if (ecm.u16IndexListNum > TSP_PLAN_ECM_MAX) {
        counted = true;
        for (U32 j : NewestNotOnAir(db, ecm, ecm.u16IndexListNum - TSP_PLAN_ECM_MAX))
            misses.Add(c, table, limit, p.u16PMTPID, {Culprit::PID, j}, "");
    }
    if (TSP_GetOutProgESPIDIndexList(prog, db, &es) != 0)
        es.u16IndexListNum = 0;
    U32 bytes = 16 + p.u16ProgramInfoLength;
    for (U32 k = 0; k < es.u16IndexListNum; k++) {
        const U16 e = es.aru16IndexList[k];
        if (e >= db->u32OutputPIDNumber)
            continue;
        bytes += 5 + db->pOutputPID[e].u16ESInfoLength;
        esEcm.emplace_back();
        if (TSP_GetOutESECMPIDIndexList(e, db, &esEcm.back()) != 0)
            esEcm.back().u16IndexListNum = 0;
        const IndexInfoList_t& l = esEcm.back();
        if (l.u16IndexListNum > TSP_PLAN_ECM_MAX) {
            counted = true;
            for (U32 j : NewestNotOnAir(db, l, l.u16IndexListNum - TSP_PLAN_ECM_MAX))
                misses.Add(c, table, limit, p.u16PMTPID, {Culprit::PID, j}, "");
        }
    }
    if (counted || !TableFailed(t, ts, prog, "PMT"))
        return;
    // A PMT that could not be built is too long for its one section: the
    // newest record not on air goes, or the whole program when it is new.
    snprintf(limit, sizeof(limit), "one section, section_length at most %u (%u bytes)",
             SIP_MAX_SECTION_LENGTH_FIELD, bytes);
    Culprit culprit;
    if (!TSP_PlanProgramOnAir(&p)) {
        culprit = {Culprit::PROGRAM, prog};
    } else {
        std::vector<U32> v = NewestNotOnAir(db, es, 1);
        for (size_t k = esEcm.size(); v.empty() && k-- > 0;)
            v = NewestNotOnAir(db, esEcm[k], 1);
        if (v.empty())
            v = NewestNotOnAir(db, ecm, 1);
        if (!v.empty())
            culprit = {Culprit::PID, v[0]};
    }
    misses.Add(c, table, limit, p.u16PMTPID, culprit, ProgramText(p));
}

// The tables of every stream and the carousel as a whole against their limits.
void CheckTables(const Output_TSInfo* db, const SIP_TablePlan& t, std::vector<Miss>& out)
{
    Misses misses(db, out);
    char limit[96];
    // The newest program not on air of the channels chosen, for a carousel
    // that does not take the whole plan.
    auto newestProgram = [db](bool slaveOnly) -> Culprit {
        for (U32 i = db->u32OutputProgramNumber; i-- > 0;) {
            const Output_TSProgram& p = db->pOutputProgram[i];
            if (p.u8ValidFlag == TSP_RECORD_VALID && (!slaveOnly || p.u16ChannelID >= 4) &&
                !TSP_PlanProgramOnAir(&p))
                return {Culprit::PROGRAM, i};
        }
        return {};
    };
    for (U32 i = 0; i < db->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++) {
        const Output_TSStream& st = db->pOutputTS[i];
        if (st.u8ValidFlag != TSP_RECORD_VALID || st.u8BypassFlag == 1)
            continue;
        const U16 c = st.u16ChannelID;
        IndexInfoList_t progs;
        if (TSP_GetOutTSProgIndexList((U16)i, db, &progs) == 0) {
            if (progs.u16IndexListNum > TSP_PLAN_PROGRAM_MAX) {
                snprintf(limit, sizeof(limit), "at most %u programs", TSP_PLAN_PROGRAM_MAX);
                U32 need = progs.u16IndexListNum - TSP_PLAN_PROGRAM_MAX;
                for (U32 k = progs.u16IndexListNum; k-- > 0 && need > 0;) {
                    const U16 p = progs.aru16IndexList[k];
                    if (p < db->u32OutputProgramNumber && !TSP_PlanProgramOnAir(&db->pOutputProgram[p])) {
                        misses.Add(c, "PAT and SDT", limit, SIP_PID_SDT, {Culprit::PROGRAM, p}, "");
                        need--;
                    }
                }
                if (need > 0)
                    misses.Add(c, "PAT and SDT", limit, SIP_PID_SDT, {}, "programs on air");
            }
            for (U32 k = 0; k < progs.u16IndexListNum; k++)
                if (progs.aru16IndexList[k] < db->u32OutputProgramNumber)
                    CheckProgram(db, t, (U16)i, progs.aru16IndexList[k], misses);
        }
        IndexInfoList_t emm;
        bool counted = false;
        if (TSP_GetOutTSEMMPIDIndexList((U16)i, db, &emm) == 0 && emm.u16IndexListNum > TSP_PLAN_CA_SYSTEM_MAX) {
            counted = true;
            snprintf(limit, sizeof(limit), "at most %u CA systems", TSP_PLAN_CA_SYSTEM_MAX);
            for (U32 j : NewestNotOnAir(db, emm, emm.u16IndexListNum - TSP_PLAN_CA_SYSTEM_MAX))
                misses.Add(c, "CAT", limit, SIP_PID_CAT, {Culprit::PID, j}, "");
        }
        // A table a builder could not make; a CAT over its one section loses
        // its newest EMM not on air.
        struct Kind {
            const char* pcBuilder;
            const char* pcTable;
            U16 u16PID;
        };
        const Kind kinds[] = {{"TSP_ConstructPAT", "PAT", st.u16PATPID}, {"TSP_ConstructCAT", "CAT", SIP_PID_CAT},
                              {"TSP_ConstructNIT", "NIT", SIP_PID_NIT}, {"TSP_ConstructSDT", "SDT", SIP_PID_SDT},
                              {"TSP_ConstructPSIP", "MGT and VCT", SIP_PID_PSIP_BASE}};
        for (const Kind& k : kinds) {
            if (!TableFailed(t, (U16)i, TSP_INVALID_INDEX, k.pcBuilder) || (counted && k.u16PID == SIP_PID_CAT))
                continue;
            Culprit culprit;
            if (k.u16PID == SIP_PID_CAT) {
                std::vector<U32> v = NewestNotOnAir(db, emm, 1);
                if (!v.empty())
                    culprit = {Culprit::PID, v[0]};
            }
            snprintf(limit, sizeof(limit), "one section, section_length at most %u", SIP_MAX_SECTION_LENGTH_FIELD);
            misses.Add(c, k.pcTable, k.u16PID == SIP_PID_CAT ? limit : "cannot be built", k.u16PID, culprit,
                       "the table");
        }
    }
    // The carousel takes every entry whole; the slave repeats what fits its
    // table of forwarded packets.
    U32 packets = 0, slaveRows = 0;
    for (size_t k = 0; k < t.vecTables.size(); k++) {
        std::vector<SSD_TablePart> parts;
        SSD_SplitTable(t.vecTables[k].data.data(), (U32)t.vecTables[k].data.size(), &parts);
        for (const SSD_TablePart& part : parts) {
            packets += part.u32Packets;
            if (t.vecChannels[k] >= 4 && t.vecChannels[k] < 8)
                slaveRows += part.u32Packets;
        }
    }
    if (t.vecTables.size() > SI_MAX_PACKET_NUM || packets > SI_MAX_PACKET_NUM) {
        snprintf(limit, sizeof(limit), "at most %u tables and %u packets (%u and %u)", SI_MAX_PACKET_NUM,
                 SI_MAX_PACKET_NUM, (U32)t.vecTables.size(), packets);
        misses.Add(0xFFFF, "SI carousel", limit, TSP_PLAN_NO_PID, newestProgram(false), "the tables");
    }
    if (slaveRows > SI_MAX_SUB_PACKET_NUM) {
        snprintf(limit, sizeof(limit), "at most %u packets (%u)", SI_MAX_SUB_PACKET_NUM, slaveRows);
        misses.Add(4, "slave's SI of channels 4-7", limit, TSP_PLAN_NO_PID, newestProgram(true), "the tables");
    }
}

// Makes the plan of the live database (the candidate, in its place). With
// bLeaveOut the routes that do not fit are left out on the way (their
// records deleted); without, they are misses. The table plan stays open for
// the caller to keep or drop.
U32 Build(bool bLeaveOut, Plan& plan)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (db == nullptr)
        return TSP_ERR_INPUT;
    TSP_ConflictProcess();
    std::vector<TSP_PlanMiss> routes;
    U32 ret = TSP_FitMuxRoutesOf(bLeaveOut, &routes);
    if (ret != 0)
        return ret;
    for (TSP_PlanMiss& m : routes) {
        if (bLeaveOut) {
            NoteLeftOut(m.u8SourceSlot);
            continue;  // already logged and deleted
        }
        plan.vecMisses.push_back({m, {}, false, true});
    }
    if (bLeaveOut) {
        plan.pstLUTs = std::make_unique<TSP_LUTSet>();
        if ((ret = TSP_PlanLUTs(plan.pstLUTs.get())) != 0)
            return ret;
    }
    if (bLeaveOut) {
        // (Those of open rounds that another road commits are parked already.)
        Misses held(db, plan.vecMisses);
        for (U32 i = 0; i < db->u32OutputProgramNumber && !s_setHeldBack.empty(); i++) {
            const Output_TSProgram& p = db->pOutputProgram[i];
            if (p.u8ValidFlag == TSP_RECORD_VALID && s_setHeldBack.count(ProgramKey(p)) != 0 &&
                !OnAirBeforeItsRound(p))
                held.Add(p.u16ChannelID, "PAT, PMT and SDT", "a program goes on air whole", p.u16PMTPID,
                         {Culprit::PROGRAM, i}, "");
        }
    }
    SIP_BeginPlan(&plan.stTables);
    for (U32 i = 0; i < db->u32OutputTSNumber; i++) {
        const Output_TSStream& st = db->pOutputTS[i];
        if (st.u8ValidFlag == TSP_RECORD_VALID && st.u8BypassFlag != 1)
            TSP_MuxTsSIProc(i);
    }
    CheckTables(db, plan.stTables, plan.vecMisses);
    return 0;
}

void LogMiss(const TSP_PlanMiss& m, const char* pcOutcome)
{
    PLAN_LOG("channel[%u] %s: %s: %s %s\r\n\n", m.u16Channel, m.strTable.c_str(), m.strLimit.c_str(),
             m.strRecord.c_str(), pcOutcome);
}

// Deletes a record the plan leaves out; true when it went.
bool LeaveOut(const Culprit& c)
{
    Output_TSInfo* db = TSP_GetTSParam();
    if (c.eKind == Culprit::PROGRAM)
        return TSP_DelOutputProg((U16)c.u32Index, db) == ZR_SUCCESS;
    if (c.eKind != Culprit::PID || c.u32Index >= db->u32OutputPIDNumber)
        return false;
    Output_TSPID& p = db->pOutputPID[c.u32Index];
    const U32 prog = p.u32ProgramIndex & 0xFFFF;
    U32 ret = TSP_ERR_TYPE;
    switch (p.u8PIDType) {
    case PID_TYPE_ESPID: ret = TSP_DelOneOutputESPID((U16)c.u32Index, db); break;
    case PID_TYPE_PS_ECMPID: ret = TSP_DelOneOutputPSECMPID((U16)c.u32Index, db); break;
    case PID_TYPE_ES_ECMPID: ret = TSP_DelOneOutputESECMPID((U16)c.u32Index, db); break;
    case PID_TYPE_EMMPID: {
        const U32 ts = p.u32TSIndex;
        ret = ts < db->u32OutputTSNumber ? TSP_DelOneOutputEMMPID((U16)ts, (U16)c.u32Index, db) : TSP_ERR_INPUT;
        if (ret == 0)
            db->pOutputTS[ts].u8CATChangeFlag = 1;
        return ret == 0;
    }
    default: break;
    }
    if (ret == 0 && prog < db->u32OutputProgramNumber)
        db->pOutputProgram[prog].u8PMTChangeFlag = 1;
    return ret == 0;
}

// What is on air after a commit.
void RememberOnAir(const SIP_TablePlan& t)
{
    const Output_TSInfo* db = TSP_GetTSParam();
    s_setPrograms.clear();
    s_setPIDs.clear();
    s_setTables.clear();
    s_setStreams.clear();
    for (U32 i = 0; i < db->u32OutputTSNumber; i++)
        if (db->pOutputTS[i].u8ValidFlag == TSP_RECORD_VALID)
            s_setStreams.insert(db->pOutputTS[i].u16ChannelID);
    for (U32 i = 0; i < db->u32OutputProgramNumber; i++)
        if (db->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID)
            s_setPrograms.insert(ProgramKey(db->pOutputProgram[i]));
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++)
        if (db->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID)
            s_setPIDs.insert(PidKey(db->pOutputPID[i]));
    for (size_t k = 0; k < t.vecTables.size(); k++)
        s_setTables.insert(TableKey(t.vecChannels[k], t.vecTables[k].u16PID));
    s_bOnAir = true;
}

// A program another road's commit keeps off air, out of the database while
// the commit is planned and made: its stream's list no longer names it and
// its records read as not valid; then it is put back as it was.
struct Parked {
    U16 u16Program;
    std::vector<U32> vecPIDs;
};

bool OwnedBy(const Output_TSPID& r, U32 u32Program)
{
    return r.u8ValidFlag == TSP_RECORD_VALID && (r.u32ProgramIndex & 0xFFFF) == u32Program &&
           (r.u8PIDType == PID_TYPE_PCRPID || r.u8PIDType == PID_TYPE_ESPID || r.u8PIDType == PID_TYPE_PS_ECMPID ||
            r.u8PIDType == PID_TYPE_ES_ECMPID);
}

std::vector<Parked> Park(Output_TSInfo* db)
{
    std::vector<Parked> out;
    for (U32 s = 0; s < db->u32OutputTSNumber && s < TSP_INVALID_INDEX; s++) {
        Output_TSStream& ts = db->pOutputTS[s];
        IndexInfoList_t progs;
        if (ts.u8ValidFlag != TSP_RECORD_VALID || TSP_GetOutTSProgIndexList((U16)s, db, &progs) != 0)
            continue;
        U16 prev = TSP_INVALID_INDEX;
        for (U32 k = 0; k < progs.u16IndexListNum; k++) {
            const U16 g = progs.aru16IndexList[k];
            Output_TSProgram& p = db->pOutputProgram[g];
            if (!KeptForItsRound(p)) {
                prev = g;
                continue;
            }
            PLAN_LOG("channel[%u] %s stays off air until its input card's apply: %s\r\n\n", p.u16ChannelID,
                     ProgramText(p).c_str(),
                     s_setHeldBack.count(ProgramKey(p)) ? "a PID message of it was refused" : "its streams have not come");
            if (prev == TSP_INVALID_INDEX)
                ts.u16ProgramIndex = p.u16NextProgramIndex;
            else
                db->pOutputProgram[prev].u16NextProgramIndex = p.u16NextProgramIndex;
            if (ts.u16ProgramNum > 0)
                ts.u16ProgramNum--;
            Parked pk{g, {}};
            for (U32 j = 0; j < db->u32OutputPIDNumber; j++)
                if (OwnedBy(db->pOutputPID[j], g)) {
                    db->pOutputPID[j].u8ValidFlag = 0;
                    pk.vecPIDs.push_back(j);
                }
            p.u8ValidFlag = 0;
            out.push_back(std::move(pk));
        }
    }
    return out;
}

// Back at the end of its stream's list, its tables to be made anew when it
// goes on air; one whose stream went meanwhile goes too.
void Unpark(Output_TSInfo* db, const std::vector<Parked>& parked)
{
    for (const Parked& pk : parked) {
        Output_TSProgram& p = db->pOutputProgram[pk.u16Program];
        const U16 s = p.u16TSIndex;
        U16 tail = TSP_INVALID_INDEX;
        if (s >= db->u32OutputTSNumber || db->pOutputTS[s].u8ValidFlag != TSP_RECORD_VALID ||
            TSP_GetOutTSProgLastIndex(s, db, &tail) != 0) {
            PLAN_LOG("channel[%u] %s left out: its stream went\r\n\n", p.u16ChannelID, ProgramText(p).c_str());
            NoteLeftOut(p.u8SourceSlotID);
            for (U32 j : pk.vecPIDs)
                memset(&db->pOutputPID[j], 0, sizeof(Output_TSPID));
            memset(&p, 0, sizeof(p));
            continue;
        }
        Output_TSStream& ts = db->pOutputTS[s];
        p.u8ValidFlag = TSP_RECORD_VALID;
        for (U32 j : pk.vecPIDs)
            db->pOutputPID[j].u8ValidFlag = TSP_RECORD_VALID;
        p.u16NextProgramIndex = TSP_INVALID_INDEX;
        if (tail == TSP_INVALID_INDEX)
            ts.u16ProgramIndex = pk.u16Program;
        else
            db->pOutputProgram[tail].u16NextProgramIndex = pk.u16Program;
        ts.u16ProgramNum++;
        p.u8PMTChangeFlag = 1;
        ts.u8PATChangeFlag = ts.u8SDTChangeFlag = 1;
    }
}

// Makes a plan that holds what goes on air, in one step.
void Commit(const Plan& plan)
{
    TSP_CommitLUTs(plan.pstLUTs.get());
    U32 notTaken = SSD_ReplaceBroadcastSI(plan.stTables.vecTables);
    if (notTaken != 0)
        PLAN_LOG("%u tables the carousel did not take\r\n\n", notTaken);
    SIP_EndPlan(true);
    SIP_PublishSTTState();
    {
        std::lock_guard<std::mutex> lk(SI_Mutex());
        g_u8MuxFlag = 1;
        memset(u8MuxChannelFlag, 0, sizeof(u8MuxChannelFlag));
    }
    RememberOnAir(plan.stTables);
}

// Leaves in the database (the copy in the live one's place) only what is on
// air, by identity: streams, programs and PID records that came since the
// last commit (an input card's round, a program held back) go from the copy.
void KeepOnlyOnAir(Output_TSInfo* db)
{
    for (U32 i = 0; i < db->u32OutputTSNumber && i < TSP_INVALID_INDEX; i++)
        if (db->pOutputTS[i].u8ValidFlag == TSP_RECORD_VALID && s_setStreams.count(db->pOutputTS[i].u16ChannelID) == 0)
            TSP_DelOutputTS((U16)i, db);
    for (U32 i = 0; i < db->u32OutputProgramNumber && i < TSP_INVALID_INDEX; i++)
        if (db->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID && !TSP_PlanProgramOnAir(&db->pOutputProgram[i]))
            TSP_DelOutputProg((U16)i, db);
    for (U32 i = 0; i < db->u32OutputPIDNumber && i < TSP_INVALID_INDEX; i++)
        if (db->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID && !PIDOnAir(db->pOutputPID[i]))
            TSP_DelOutputPID((U16)i, db);
}

// The versions and change flags the table builders wrote into the planned
// copy, for the same records of the live database.
void TakeVersions(Output_TSInfo* live, const Output_TSInfo* planned)
{
    for (U32 i = 0; i < live->u32OutputTSNumber && i < planned->u32OutputTSNumber; i++) {
        Output_TSStream& l = live->pOutputTS[i];
        const Output_TSStream& p = planned->pOutputTS[i];
        if (l.u8ValidFlag != TSP_RECORD_VALID || p.u8ValidFlag != TSP_RECORD_VALID || l.u16ChannelID != p.u16ChannelID)
            continue;
        l.u8PATVersionNumber = p.u8PATVersionNumber;
        l.u8PATChangeFlag = p.u8PATChangeFlag;
        l.u8SDTVersionNumber = p.u8SDTVersionNumber;
        l.u8SDTChangeFlag = p.u8SDTChangeFlag;
        l.u8CATVersionNumber = p.u8CATVersionNumber;
        l.u8CATChangeFlag = p.u8CATChangeFlag;
        l.u8NITVersionNumber = p.u8NITVersionNumber;
        l.u8NITChangeFlag = p.u8NITChangeFlag;
        l.u8VCTVersionNumber = p.u8VCTVersionNumber;
        l.u8MGTVersionNumber = p.u8MGTVersionNumber;
        l.u8PSIPKept = p.u8PSIPKept;
        l.u32VCTContent = p.u32VCTContent;
        l.u32MGTContent = p.u32MGTContent;
    }
    for (U32 i = 0; i < live->u32OutputProgramNumber && i < planned->u32OutputProgramNumber; i++) {
        Output_TSProgram& l = live->pOutputProgram[i];
        const Output_TSProgram& p = planned->pOutputProgram[i];
        if (l.u8ValidFlag == TSP_RECORD_VALID && p.u8ValidFlag == TSP_RECORD_VALID && ProgramKey(l) == ProgramKey(p)) {
            l.u8PMTVersionNumber = p.u8PMTVersionNumber;
            l.u8PMTChangeFlag = p.u8PMTChangeFlag;
        }
    }
}

// ---- Stored records kept off air ----
//
// A record found stored at the start is never deleted for a limit: the plan
// that cannot take it takes it out of its list and marks it free for as long
// as it plans, and it goes back into its list afterwards, so that the
// database and every file saved from it keep it. Each apply tries it again.

// The identities of the records found stored, and of those the last apply
// kept off air.
std::set<U64> s_setStoredPrograms;
std::set<PIDKey> s_setStoredPIDs;
std::set<U64> s_setKeptPrograms;
std::set<PIDKey> s_setKeptPIDs;

// The list a record is a member of: its head and count fields.
struct Chain {
    U16* pHead = nullptr;
    U16* pCount = nullptr;
};

bool ChainOf(Output_TSInfo* db, const Culprit& c, Chain& out)
{
    if (c.eKind == Culprit::PROGRAM) {
        if (c.u32Index >= db->u32OutputProgramNumber)
            return false;
        const U16 ts = db->pOutputProgram[c.u32Index].u16TSIndex;
        if (ts >= db->u32OutputTSNumber)
            return false;
        out = {&db->pOutputTS[ts].u16ProgramIndex, &db->pOutputTS[ts].u16ProgramNum};
        return true;
    }
    if (c.eKind != Culprit::PID || c.u32Index >= db->u32OutputPIDNumber)
        return false;
    const Output_TSPID& r = db->pOutputPID[c.u32Index];
    const U32 prog = r.u32ProgramIndex, ts = r.u32TSIndex, es = r.u16ESPIDIndex;
    switch (r.u8PIDType) {
    case PID_TYPE_ESPID:
    case PID_TYPE_PS_ECMPID: {
        if (prog >= db->u32OutputProgramNumber)
            return false;
        Output_TSProgram& p = db->pOutputProgram[prog];
        out = r.u8PIDType == PID_TYPE_ESPID ? Chain{&p.u16PIDIndex, &p.u16ESNumber}
                                            : Chain{&p.u16PSECMPIDIndex, &p.u16PSECMPIDNumber};
        return true;
    }
    case PID_TYPE_ES_ECMPID:
        if (es >= db->u32OutputPIDNumber)
            return false;
        out = {&db->pOutputPID[es].u16ESECMPIDIndex, &db->pOutputPID[es].u16ESECMPIDNumber};
        return true;
    case PID_TYPE_EMMPID:
    case PID_TYPE_OTHERPID:
        if (ts >= db->u32OutputTSNumber)
            return false;
        out = r.u8PIDType == PID_TYPE_EMMPID
                  ? Chain{&db->pOutputTS[ts].u16EMMPIDIndex, &db->pOutputTS[ts].u16EMMPIDNumber}
                  : Chain{&db->pOutputTS[ts].u16OtherPIDIndex, &db->pOutputTS[ts].u16OtherPIDNum};
        return true;
    default: return false;
    }
}

U32 NextOf(const Output_TSInfo* db, Culprit::Kind k, U32 i)
{
    return k == Culprit::PROGRAM ? db->pOutputProgram[i].u16NextProgramIndex : db->pOutputPID[i].u32NextPIDIndex;
}

void SetNext(Output_TSInfo* db, Culprit::Kind k, U32 i, U32 next)
{
    if (k == Culprit::PROGRAM)
        db->pOutputProgram[i].u16NextProgramIndex = (U16)next;
    else
        db->pOutputPID[i].u32NextPIDIndex = next;
}

U8& ValidOf(Output_TSInfo* db, Culprit::Kind k, U32 i)
{
    return k == Culprit::PROGRAM ? db->pOutputProgram[i].u8ValidFlag : db->pOutputPID[i].u8ValidFlag;
}

// The members of a list in order (a walk bounded by its array).
std::vector<U32> Members(const Output_TSInfo* db, Culprit::Kind k, const Chain& ch)
{
    std::vector<U32> out;
    const U32 cap = k == Culprit::PROGRAM ? db->u32OutputProgramNumber : db->u32OutputPIDNumber;
    for (U32 i = *ch.pHead; *ch.pCount != 0 && i < cap && out.size() <= cap; i = NextOf(db, k, i) & 0xFFFFu)
        out.push_back(i);
    return out;
}

}  // namespace

// A record taken out of its list for a plan, with what it needs to go back.
struct TSP_PlanHidden {
    Culprit stRecord;
    U16 u16Prev;                  // its predecessor (0xFFFF: it was the head)
    U32 u32Next;                  // its own link when it was taken out
    std::vector<U32> vecMembers;  // PID records marked free with it
};

namespace {

// Takes a program (with its PIDs) or a PID record (an ES with its ECMs) out
// of its list and marks it free; false when its list cannot tell where it is.
bool Hide(Output_TSInfo* db, const Culprit& c, std::vector<TSP_PlanHidden>& hidden)
{
    Chain ch;
    if (!ChainOf(db, c, ch))
        return false;
    U16 prev = TSP_INVALID_INDEX;
    const U32 ret = c.eKind == Culprit::PROGRAM ? TSP_GetPrevOutputProgIndex((U16)c.u32Index, db, &prev)
                                                : TSP_GetPrevOutputPIDIndex((U16)c.u32Index, db, &prev);
    if (ret != 0)
        return false;
    TSP_PlanHidden h{c, prev, NextOf(db, c.eKind, c.u32Index), {}};
    if (prev == TSP_INVALID_INDEX)
        *ch.pHead = (U16)(h.u32Next & 0xFFFFu);
    else
        SetNext(db, c.eKind, prev, h.u32Next);
    if (*ch.pCount > 0)
        (*ch.pCount)--;
    ValidOf(db, c.eKind, c.u32Index) = 0;
    for (U32 i = 0; i < db->u32OutputPIDNumber; i++) {
        Output_TSPID& r = db->pOutputPID[i];
        const bool member = c.eKind == Culprit::PROGRAM
                                ? r.u32ProgramIndex == c.u32Index &&
                                      (r.u8PIDType == PID_TYPE_PCRPID || r.u8PIDType == PID_TYPE_ESPID ||
                                       r.u8PIDType == PID_TYPE_PS_ECMPID || r.u8PIDType == PID_TYPE_ES_ECMPID)
                                : db->pOutputPID[c.u32Index].u8PIDType == PID_TYPE_ESPID &&
                                      r.u8PIDType == PID_TYPE_ES_ECMPID && r.u16ESPIDIndex == c.u32Index;
        if (r.u8ValidFlag == TSP_RECORD_VALID && member) {
            r.u8ValidFlag = 0;
            h.vecMembers.push_back(i);
        }
    }
    hidden.push_back(std::move(h));
    return true;
}

// Puts hidden records back, the last taken out first: each after its
// predecessor when that is still in its list, else at the list's end.
void Unhide(Output_TSInfo* db, std::vector<TSP_PlanHidden>& hidden)
{
    for (size_t n = hidden.size(); n-- > 0;) {
        const TSP_PlanHidden& h = hidden[n];
        const Culprit::Kind k = h.stRecord.eKind;
        const U32 idx = h.stRecord.u32Index;
        ValidOf(db, k, idx) = TSP_RECORD_VALID;
        for (U32 i : h.vecMembers)
            db->pOutputPID[i].u8ValidFlag = TSP_RECORD_VALID;
        Chain ch;
        if (!ChainOf(db, h.stRecord, ch))
            continue;
        const std::vector<U32> list = Members(db, k, ch);
        U32 after = h.u16Prev;
        bool found = after == TSP_INVALID_INDEX;
        for (U32 i : list)
            found = found || i == after;
        if (!found)
            after = list.empty() ? TSP_INVALID_INDEX : list.back();
        if (list.empty())
            SetNext(db, k, idx, (h.u32Next & 0xFFFFu) == TSP_INVALID_INDEX ? h.u32Next : TSP_INVALID_INDEX);
        else if (after == TSP_INVALID_INDEX)
            SetNext(db, k, idx, *ch.pHead);
        else
            SetNext(db, k, idx, NextOf(db, k, after));
        if (list.empty() || after == TSP_INVALID_INDEX)
            *ch.pHead = (U16)idx;
        else
            SetNext(db, k, after, idx);
        (*ch.pCount)++;
    }
    hidden.clear();
}

bool IsStored(const Output_TSInfo* db, const Culprit& c)
{
    if (c.eKind == Culprit::PROGRAM)
        return c.u32Index < db->u32OutputProgramNumber &&
               s_setStoredPrograms.count(ProgramKey(db->pOutputProgram[c.u32Index])) != 0;
    return c.eKind == Culprit::PID && c.u32Index < db->u32OutputPIDNumber &&
           s_setStoredPIDs.count(PidKey(db->pOutputPID[c.u32Index])) != 0;
}

bool WasKept(const Output_TSInfo* db, const Culprit& c)
{
    if (c.eKind == Culprit::PROGRAM)
        return s_setKeptPrograms.count(ProgramKey(db->pOutputProgram[c.u32Index])) != 0;
    return s_setKeptPIDs.count(PidKey(db->pOutputPID[c.u32Index])) != 0;
}

// Takes out of the database what the last apply kept off air.
void HideKept(Output_TSInfo* db, std::vector<TSP_PlanHidden>& hidden)
{
    for (U32 i = 0; i < db->u32OutputProgramNumber && !s_setKeptPrograms.empty(); i++)
        if (db->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID &&
            s_setKeptPrograms.count(ProgramKey(db->pOutputProgram[i])) != 0)
            Hide(db, {Culprit::PROGRAM, i}, hidden);
    for (U32 i = 0; i < db->u32OutputPIDNumber && !s_setKeptPIDs.empty(); i++)
        if (db->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID && s_setKeptPIDs.count(PidKey(db->pOutputPID[i])) != 0)
            Hide(db, {Culprit::PID, i}, hidden);
}


}  // namespace

namespace {

// What the apply under way keeps off air, for the steps it calls.
std::vector<TSP_PlanHidden>* s_pApplyHidden = nullptr;

}  // namespace

bool TSP_PlanKeepOffAir(bool bProgram, U32 u32Index)
{
    CARD_STATE_LOCK();
    Output_TSInfo* db = TSP_GetTSParam();
    const Culprit c{bProgram ? Culprit::PROGRAM : Culprit::PID, u32Index};
    if (s_pApplyHidden == nullptr || db == nullptr || !IsStored(db, c))
        return false;
    const bool before = WasKept(db, c);
    const std::string what = bProgram ? ProgramText(db->pOutputProgram[u32Index]) : PIDText(db->pOutputPID[u32Index]);
    if (!Hide(db, c, *s_pApplyHidden))
        return false;
    if (!before)
        PLAN_LOG("routing table full: %s kept off air: found stored, it stays in the saved file\r\n\n", what.c_str());
    return true;
}

void TSP_PlanNoteStored(const Output_TSInfo* pstStored)
{
    CARD_STATE_LOCK();
    s_setStoredPrograms.clear();
    s_setStoredPIDs.clear();
    for (U32 i = 0; pstStored != nullptr && i < pstStored->u32OutputProgramNumber; i++)
        if (pstStored->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID)
            s_setStoredPrograms.insert(ProgramKey(pstStored->pOutputProgram[i]));
    for (U32 i = 0; pstStored != nullptr && i < pstStored->u32OutputPIDNumber; i++)
        if (pstStored->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID)
            s_setStoredPIDs.insert(PidKey(pstStored->pOutputPID[i]));
}

bool TSP_PlanProgramOnAir(const Output_TSProgram* pstProgram)
{
    return pstProgram != nullptr && s_setPrograms.count(ProgramKey(*pstProgram)) != 0;
}

U32 TSP_PlanCheck(const Output_TSInfo* pstCandidate, const char* pcRoad)
{
    CARD_STATE_LOCK();
    Output_TSInfo* live = TSP_GetTSParam();
    Output_TSInfo copy{};
    U32 ret = TSP_CloneTSInfo(pstCandidate != nullptr ? pstCandidate : live, &copy);
    if (ret != 0)
        return ret;
    // The copy takes the live database's place while it is planned: every
    // builder reads the live one.
    std::swap(*live, copy);
    // What the last apply kept off air is no part of this change.
    std::vector<TSP_PlanHidden> kept;
    HideKept(live, kept);
    Plan plan;
    ret = Build(false, plan);
    SIP_EndPlan(false);
    std::swap(*live, copy);
    TSP_ReleaseTSInfo(&copy);
    if (ret != 0)
        return ret;
    bool refused = false;
    const std::string outcome = std::string("refused (") + (pcRoad ? pcRoad : "change") + ")";
    for (const Miss& m : plan.vecMisses) {
        if (!Stops(m))
            continue;
        LogMiss(m.stMiss, outcome.c_str());
        refused = true;
    }
    return refused ? TSP_ERR_DOES_NOT_FIT : 0;
}

U32 TSP_PlanApply(void)
{
    CARD_STATE_LOCK();
    Output_TSInfo* live = TSP_GetTSParam();
    if (live == nullptr)
        return TSP_ERR_INPUT;
    Output_TSInfo before{};
    U32 ret = TSP_CloneTSInfo(live, &before);
    if (ret != 0)
        return ret;
    ForgetGone();
    // A new program of an open round goes on air at no other road's commit
    // while its streams have not come.
    const std::vector<Parked> parked = Park(live);
    Plan plan;
    std::vector<TSP_PlanHidden> hidden;
    s_pApplyHidden = &hidden;
    struct Clear {
        ~Clear() { s_pApplyHidden = nullptr; }
    } clear;
    // Each round leaves out what the last could not take and plans again;
    // every round but the last drops a record, so the rounds end. A record
    // of the saved file is kept off air instead of deleted.
    const U32 bound = live->u32OutputProgramNumber + live->u32OutputPIDNumber + 1;
    for (U32 round = 0;; round++) {
        plan = Plan();
        ret = Build(true, plan);
        if (ret != 0)
            break;
        bool dropped = false;
        for (const Miss& m : plan.vecMisses) {
            if (m.stCulprit.eKind == Culprit::NONE)
                continue;
            if (IsStored(live, m.stCulprit)) {
                const bool before = WasKept(live, m.stCulprit);
                if (!Hide(live, m.stCulprit, hidden))
                    continue;
                if (!before)
                    LogMiss(m.stMiss, "kept off air: found stored, it stays in the saved file");
            } else if (LeaveOut(m.stCulprit)) {
                LogMiss(m.stMiss, "left out");
            } else {
                continue;
            }
            NoteLeftOut(m.stMiss.u8SourceSlot);
            dropped = true;
        }
        if (!dropped)
            break;
        SIP_EndPlan(false);
        if (round >= bound) {
            ret = TSP_ERR_DOES_NOT_FIT;
            break;
        }
    }
    // What could not be left out: a table on air that would stop refuses the
    // apply; one that never went on air stays off air.
    bool stops = false;
    for (const Miss& m : plan.vecMisses) {
        if (ret != 0)
            break;
        LogMiss(m.stMiss, Stops(m) ? "cannot be left out: apply refused" : "stays off air");
        stops = stops || Stops(m);
    }
    if (ret != 0 || stops) {
        // Nothing of it goes on air: the database is as it was.
        SIP_EndPlan(false);
        std::swap(*live, before);
        TSP_ReleaseTSInfo(&before);
        if (ret == 0)
            PLAN_LOG("apply refused: what is on air stays\r\n\n");
        return ret != 0 ? ret : TSP_ERR_DOES_NOT_FIT;
    }
    TSP_ReleaseTSInfo(&before);
    Commit(plan);
    KeepOnly(s_setHeldBack, HeldPrograms());
    for (auto it = s_setHeldBack.begin(); it != s_setHeldBack.end();)
        it = s_setPrograms.count(*it) != 0 ? s_setHeldBack.erase(it) : std::next(it);
    // What was kept off air goes back into the database it belongs to.
    s_setKeptPrograms.clear();
    s_setKeptPIDs.clear();
    for (const TSP_PlanHidden& h : hidden) {
        if (h.stRecord.eKind == Culprit::PROGRAM)
            s_setKeptPrograms.insert(ProgramKey(live->pOutputProgram[h.stRecord.u32Index]));
        else
            s_setKeptPIDs.insert(PidKey(live->pOutputPID[h.stRecord.u32Index]));
    }
    Unhide(live, hidden);
    Unpark(live, parked);
    // A stored record deleted since is stored no more.
    std::set<U64> programs;
    std::set<PIDKey> pids;
    for (U32 i = 0; i < live->u32OutputProgramNumber; i++)
        if (live->pOutputProgram[i].u8ValidFlag == TSP_RECORD_VALID &&
            s_setStoredPrograms.count(ProgramKey(live->pOutputProgram[i])) != 0)
            programs.insert(ProgramKey(live->pOutputProgram[i]));
    for (U32 i = 0; i < live->u32OutputPIDNumber; i++)
        if (live->pOutputPID[i].u8ValidFlag == TSP_RECORD_VALID && s_setStoredPIDs.count(PidKey(live->pOutputPID[i])) != 0)
            pids.insert(PidKey(live->pOutputPID[i]));
    s_setStoredPrograms.swap(programs);
    s_setStoredPIDs.swap(pids);
    return 0;
}

U32 TSP_PlanApplyTables(U32 u32ChannelMask, const char* pcRoad)
{
    CARD_STATE_LOCK();
    Output_TSInfo* live = TSP_GetTSParam();
    if (live == nullptr)
        return TSP_ERR_INPUT;
    // Nothing on air yet: there is nothing to keep apart.
    if (!s_bOnAir)
        return TSP_PlanApply();
    Output_TSInfo work{};
    U32 ret = TSP_CloneTSInfo(live, &work);
    if (ret != 0)
        return ret;
    // The copy takes the live database's place while it is planned: every
    // builder reads the live one.
    std::swap(*live, work);
    KeepOnlyOnAir(live);
    Plan plan;
    ret = Build(false, plan);
    if (ret == 0) {
        plan.pstLUTs = std::make_unique<TSP_LUTSet>();
        ret = TSP_PlanLUTs(plan.pstLUTs.get());
    }
    // What would stop a table on air, and a NIT of the channels changed that
    // cannot be built.
    bool refused = false;
    const std::string outcome = std::string("refused (") + (pcRoad ? pcRoad : "change") + ")";
    for (const Miss& m : plan.vecMisses) {
        if (ret != 0)
            break;
        const bool ours = m.stMiss.u16TablePID == SIP_PID_NIT && m.stMiss.u16Channel < 32 &&
                          (u32ChannelMask & (1u << m.stMiss.u16Channel)) != 0;
        if (!Stops(m) && !ours)
            continue;
        LogMiss(m.stMiss, outcome.c_str());
        refused = true;
    }
    if (ret != 0 || refused) {
        SIP_EndPlan(false);
        std::swap(*live, work);
        TSP_ReleaseTSInfo(&work);
        return ret != 0 ? ret : TSP_ERR_DOES_NOT_FIT;
    }
    Commit(plan);
    TakeVersions(&work, live);
    std::swap(*live, work);
    TSP_ReleaseTSInfo(&work);
    return 0;
}

TSP_LiveGuard::TSP_LiveGuard() : bHeld(false), stBefore{}
{
    Card_StateMutex().lock();
    bHeld = TSP_CloneTSInfo(TSP_GetTSParam(), &stBefore) == 0;
}

TSP_LiveGuard::~TSP_LiveGuard()
{
    TSP_ReleaseTSInfo(&stBefore);
    Card_StateMutex().unlock();
}

U32 TSP_LiveGuard::Check(const char* pcRoad)
{
    if (!bHeld)
        return TSP_ERR_NO_MEMORY;
    U32 ret = TSP_PlanCheck(nullptr, pcRoad);
    if (ret != 0)
        Restore();
    return ret;
}

void TSP_LiveGuard::Restore()
{
    if (!bHeld)
        return;
    std::swap(*TSP_GetTSParam(), stBefore);
    TSP_ReleaseTSInfo(&stBefore);
    bHeld = false;
}

namespace {

// The programs a PID message names (by the owner of each record).
std::vector<U16> ProgramsNamed(const U8* pu8Records, U32 u32Number, U32 u32Length)
{
    std::vector<U16> out;
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; pu8Records != nullptr && i < u32Number && (U64)(i + 1) * sizeof(Output_TSPID) <= u32Length; i++) {
        Output_TSPID r;
        memcpy(&r, pu8Records + (size_t)i * sizeof(r), sizeof(r));
        U16 prog = TSP_INVALID_INDEX;
        if (r.u8PIDType == PID_TYPE_ES_ECMPID) {
            U16 es = TSP_INVALID_INDEX;
            if (TSP_GetOutputPIDIndexByPID(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16PIDID, &es) ==
                    0 &&
                es < db->u32OutputPIDNumber)
                prog = (U16)(db->pOutputPID[es].u32ProgramIndex & 0xFFFF);
        } else if (r.u8PIDType == PID_TYPE_PCRPID || r.u8PIDType == PID_TYPE_ESPID ||
                   r.u8PIDType == PID_TYPE_PS_ECMPID) {
            if (TSP_GetOutputProgramIndexByPID(r.u8SourceSlotID, r.u16SourceChannelID, r.u16ChannelID, r.u16ProgramID,
                                               &prog) != 0)
                prog = TSP_INVALID_INDEX;
        }
        if (prog < db->u32OutputProgramNumber && db->pOutputProgram[prog].u8ValidFlag == TSP_RECORD_VALID)
            out.push_back(prog);
    }
    return out;
}

}  // namespace

void TSP_PlanPIDMessage(const U8* pu8Records, U32 u32Number, U32 u32Length, bool bRefused)
{
    CARD_STATE_LOCK();
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U16 prog : ProgramsNamed(pu8Records, u32Number, u32Length)) {
        const Output_TSProgram& p = db->pOutputProgram[prog];
        if (!bRefused) {
            s_setHeldBack.erase(ProgramKey(p));
            if (RoundOpen(p.u8SourceSlotID))
                s_arRound[p.u8SourceSlotID].setStreamsCame.insert(ProgramKey(p));
        } else if (!OnAirBeforeItsRound(p) && s_setHeldBack.insert(ProgramKey(p)).second) {
            PLAN_LOG("channel[%u] %s held back: a PID message of it was refused\r\n\n", p.u16ChannelID,
                     ProgramText(p).c_str());
        }
    }
}

void TSP_PlanProgramMessage(const U8* pu8Records, U32 u32Number, U32 u32Length)
{
    CARD_STATE_LOCK();
    const Output_TSInfo* db = TSP_GetTSParam();
    for (U32 i = 0; pu8Records != nullptr && i < u32Number && (U64)(i + 1) * sizeof(Output_TSProgram) <= u32Length;
         i++) {
        Output_TSProgram r;
        memcpy(&r, pu8Records + (size_t)i * sizeof(r), sizeof(r));
        const U16 g = TSP_FindHeldProgram(db, r);
        if (g != TSP_INVALID_INDEX && RoundOpen(r.u8SourceSlotID) && !OnAirBeforeItsRound(db->pOutputProgram[g]))
            s_arRound[r.u8SourceSlotID].setArrived.insert(ProgramKey(db->pOutputProgram[g]));
    }
}

void TSP_PlanNoteMessage(U8 u8Slot, U32 u32Result)
{
    if (u8Slot > TSP_MAX_SLOT_ID)
        return;
    CARD_STATE_LOCK();
    OpenRound(u8Slot);
    // Whatever the reason (a limit, a range, a record that names nothing),
    // what was refused is not on air: the round's apply says so.
    s_arRound[u8Slot].bRefused = s_arRound[u8Slot].bRefused || u32Result != 0;
    ForgetGone();
}

void TSP_PlanOpenRound(U8 u8Slot)
{
    if (u8Slot > TSP_MAX_SLOT_ID)
        return;
    CARD_STATE_LOCK();
    OpenRound(u8Slot);
}

bool TSP_PlanApplyAnswer(U8 u8Slot)
{
    if (u8Slot > TSP_MAX_SLOT_ID)
        return true;
    CARD_STATE_LOCK();
    Round& r = s_arRound[u8Slot];
    r.bFresh = true;
    return !r.bRefused;
}

void TSP_PlanResetRound(U8 u8Slot)
{
    if (u8Slot > TSP_MAX_SLOT_ID)
        return;
    CARD_STATE_LOCK();
    s_arRound[u8Slot] = Round();
    for (auto it = s_setHeldBack.begin(); it != s_setHeldBack.end();)
        it = (*it >> 48) == u8Slot ? s_setHeldBack.erase(it) : std::next(it);
}

TSP_PlanRoundApply::TSP_PlanRoundApply(U8 u8Slot) : m_lock(Card_StateMutex()), m_iPrevious(s_iOwnApply)
{
    s_iOwnApply = u8Slot <= TSP_MAX_SLOT_ID ? u8Slot : -1;
}

TSP_PlanRoundApply::~TSP_PlanRoundApply() { s_iOwnApply = m_iPrevious; }

namespace {

// The planner's memory (what is on air, what was found stored and kept off
// air, the rounds), put back with the database when a change is refused.
struct Memory {
    std::set<U64> setPrograms, setHeldBack, setStoredPrograms, setKeptPrograms;
    std::set<PIDKey> setPIDs, setStoredPIDs, setKeptPIDs;
    std::set<U32> setTables;
    std::set<U16> setStreams;
    bool bOnAir;
    std::vector<Round> vecRounds;
};

Memory Remember()
{
    return {s_setPrograms,
            s_setHeldBack,
            s_setStoredPrograms,
            s_setKeptPrograms,
            s_setPIDs,
            s_setStoredPIDs,
            s_setKeptPIDs,
            s_setTables,
            s_setStreams,
            s_bOnAir,
            std::vector<Round>(std::begin(s_arRound), std::end(s_arRound))};
}

void PutBack(Memory& m)
{
    s_setPrograms.swap(m.setPrograms);
    s_setHeldBack.swap(m.setHeldBack);
    s_setStoredPrograms.swap(m.setStoredPrograms);
    s_setKeptPrograms.swap(m.setKeptPrograms);
    s_setPIDs.swap(m.setPIDs);
    s_setStoredPIDs.swap(m.setStoredPIDs);
    s_setKeptPIDs.swap(m.setKeptPIDs);
    s_setTables.swap(m.setTables);
    s_setStreams.swap(m.setStreams);
    s_bOnAir = m.bOnAir;
    std::copy(m.vecRounds.begin(), m.vecRounds.end(), std::begin(s_arRound));
}

void MoveSlot(std::set<U64>& s, U8 u8Old, U8 u8New)
{
    std::set<U64> out;
    for (U64 k : s)
        out.insert((k >> 48) == u8Old ? (k & 0xFFFFFFFFFFFFull) | (U64)u8New << 48 : k);
    s.swap(out);
}

void MoveSlot(std::set<PIDKey>& s, U8 u8Old, U8 u8New)
{
    std::set<PIDKey> out;
    for (PIDKey k : s) {
        if (std::get<1>(k) == u8Old)
            std::get<1>(k) = u8New;
        out.insert(k);
    }
    s.swap(out);
}

}  // namespace

U32 TSP_PlanApplySlotMove(U8 u8OldSlot, U8 u8NewSlot)
{
    if (u8OldSlot > TSP_MAX_SLOT_ID || u8NewSlot > TSP_MAX_SLOT_ID)
        return TSP_ERR_INPUT;
    CARD_STATE_LOCK();
    Memory before = Remember();
    // What went on air from the old slot is on air from the new one: the plan
    // keeps it, and refuses the move rather than take it off.
    for (std::set<U64>* s : {&s_setPrograms, &s_setHeldBack, &s_setStoredPrograms, &s_setKeptPrograms})
        MoveSlot(*s, u8OldSlot, u8NewSlot);
    for (std::set<PIDKey>* s : {&s_setPIDs, &s_setStoredPIDs, &s_setKeptPIDs})
        MoveSlot(*s, u8OldSlot, u8NewSlot);
    // Neither slot's round goes on: the card announced itself anew.
    s_arRound[u8OldSlot] = Round();
    s_arRound[u8NewSlot] = Round();
    const U32 ret = TSP_PlanApply();
    if (ret != 0)
        PutBack(before);
    return ret;
}

U32 TSP_PlanReplace(Output_TSInfo* pstNew, const char* pcRoad)
{
    CARD_STATE_LOCK();
    Output_TSInfo* live = TSP_GetTSParam();
    if (live == nullptr || pstNew == nullptr)
        return TSP_ERR_INPUT;
    Memory before = Remember();
    TSP_PlanNoteStored(pstNew);
    std::swap(*live, *pstNew);
    const U32 ret = TSP_PlanApply();
    if (ret != 0) {
        std::swap(*live, *pstNew);
        PutBack(before);
        PLAN_LOG("%s refused (0x%x): the database and what is on air stay as they were\r\n\n",
                 pcRoad ? pcRoad : "replacement", ret);
        return ret;
    }
    TSP_LiveReplaced();
    return 0;
}
