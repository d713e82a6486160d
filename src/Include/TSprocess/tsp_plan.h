// The output planner: every road that changes what goes on air (input-card
// records and applies, web applies, NIT imports, deletions, start-up) has the
// whole output made from the candidate database first: both chips' routing
// tables and every channel's PSI/SI cut into the carousel entries it will
// be, with every limit checked. Only a plan that holds goes to the FPGA
// tables, the carousel and the saved file, in one step; what does not fit is
// refused, or left out when it is not on air, never what is on air.
//
// Everything here runs under CARD_STATE_LOCK.
#pragma once
#include "Common/thread.h"
#include "Common/types.h"
#include "TSprocess/tsp_db.h"
#include <memory>
#include <string>
#include <vector>

#define TSP_PLAN_NO_PID 0xFFFFu
// A channel takes no more programs than its SDT (and, in ATSC mode, its
// VCT) names.
#define TSP_PLAN_PROGRAM_MAX 100u
#define TSP_PLAN_ECM_MAX 20u
#define TSP_PLAN_CA_SYSTEM_MAX 32u

// One thing of a plan that does not fit: the channel, the table, its limit,
// the record that would break it (or the table), and the input slot that
// sent the record (0xFF when none did).
struct TSP_PlanMiss {
    U16 u16Channel;
    std::string strTable;
    std::string strLimit;
    std::string strRecord;
    U8 u8SourceSlot;
    U16 u16TablePID;  // the table's PID on its channel, TSP_PLAN_NO_PID when none
};

// Plans a copy of the live database, or of pstCandidate when given; nothing
// changes. 0 when the plan holds, TSP_ERR_DOES_NOT_FIT when it does not
// (each miss logged with the road that asked), TSP_ERR_NO_MEMORY when no copy
// could be made.
U32 TSP_PlanCheck(const Output_TSInfo* pstCandidate, const char* pcRoad);

// The apply: plans the live database after conflict resolution, leaves out
// (deletes, logged) the records that do not fit and are not on air (keeps
// those of the saved file off air, see TSP_PlanNoteStored), and makes
// the plan what is on air: routing tables, carousel, slave's SI. The caller
// saves the file. TSP_ERR_DOES_NOT_FIT when what is on air would have to stop:
// nothing changed then.
U32 TSP_PlanApply(void);

// The apply of a change of tables alone (a NIT): plans what is on air, with
// the live database's tables. Records that are not on air (an input card's
// round not yet applied, a program held back) stay off air and in the
// database, for their own apply. Refused (TSP_ERR_DOES_NOT_FIT, nothing
// changed) when a table on air would stop, a limit would break, or the NIT
// of a channel in u32ChannelMask cannot be built. The caller saves the file.
U32 TSP_PlanApplyTables(U32 u32ChannelMask, const char* pcRoad);

// The whole live database replaced by pstNew (a file or dump read back, the
// factory database), whose records count as found stored: what is on air
// stays on air until the plan of pstNew holds, and then pstNew and its plan
// go on air in one step; pstNew receives the database it replaced, for the
// caller to release. When it does not hold (TSP_ERR_DOES_NOT_FIT) or cannot
// be made, nothing changed: pstNew is as it was. The caller saves the file.
U32 TSP_PlanReplace(Output_TSInfo* pstNew, const char* pcRoad);

// The apply after an input card's records were moved from one slot to
// another in the live database: what was on air from the old slot counts as
// on air from the new one, and neither slot's round goes on. On a refusal
// the planner's memory is as it was; the caller puts the database back.
U32 TSP_PlanApplySlotMove(U8 u8OldSlot, U8 u8NewSlot);

// A change of the live database judged before it stays: the guard keeps a
// copy of the database as it was; Check plans the changed one and puts the
// copy back when the plan does not hold; Restore puts it back for any other
// refusal. Without memory for the copy the change is refused.
struct TSP_LiveGuard {
    TSP_LiveGuard();
    ~TSP_LiveGuard();
    TSP_LiveGuard(const TSP_LiveGuard&) = delete;
    TSP_LiveGuard& operator=(const TSP_LiveGuard&) = delete;
    U32 Check(const char* pcRoad);
    void Restore();
    bool bHeld;
    Output_TSInfo stBefore;
};

// A record the card found stored at its start (the output-stream file, a
// restored OID dump) is never deleted for a limit: an apply that cannot take
// it keeps it in the database (and so in every file saved from it) but off
// air, logged once, and tries it again at the next apply. Called with the
// database as loaded; a stored record deleted later is stored no more.
void TSP_PlanNoteStored(const Output_TSInfo* pstStored);
// Within an apply, for a step that would delete a record that does not fit
// (the routing tables): true when the record was found stored and is kept off
// air instead (logged once); false when it is to be deleted.
bool TSP_PlanKeepOffAir(bool bProgram, U32 u32Index);

// Whether a program (by its input identity) is on air.
bool TSP_PlanProgramOnAir(const Output_TSProgram* pstProgram);
// A PID message taken or refused. The programs a refused one names that were
// not on air when their input card's round opened are held back: their
// round's apply leaves them out whole (logged) rather than put them on air
// half-made; a PID message of theirs that is taken first lets them go.
// pu8Records points at the records, u32Length bytes of them.
void TSP_PlanPIDMessage(const U8* pu8Records, U32 u32Number, U32 u32Length, bool bRefused);
// A program message taken: the programs it brought that are not on air are
// new programs of their input card's round.
void TSP_PlanProgramMessage(const U8* pu8Records, U32 u32Number, U32 u32Length);

// What an input card is told. Each record message of a slot is noted with
// its result; a slot's apply answers success only when no message of its
// round (since its last apply or slot clear) was refused, whatever the
// reason, and no record of it was left out. A round opens at the first
// frame of its first record message.
//
// A program new in an open round goes on air at its round's own apply. Any
// other road's commit (an operator's apply, the slave's re-sync, another
// card's apply) keeps it off air, in the database, while no PID message of
// it was taken or one was refused.
void TSP_PlanOpenRound(U8 u8Slot);
void TSP_PlanNoteMessage(U8 u8Slot, U32 u32Result);
bool TSP_PlanApplyAnswer(U8 u8Slot);
// A slot clear: the slot's round starts afresh.
void TSP_PlanResetRound(U8 u8Slot);
// While it lives (holding the card-state lock), a commit is the apply of
// the slot's own round.
class TSP_PlanRoundApply {
public:
    explicit TSP_PlanRoundApply(U8 u8Slot);
    ~TSP_PlanRoundApply();
    TSP_PlanRoundApply(const TSP_PlanRoundApply&) = delete;
    TSP_PlanRoundApply& operator=(const TSP_PlanRoundApply&) = delete;

private:
    CardStateLock m_lock;
    int m_iPrevious;
};
