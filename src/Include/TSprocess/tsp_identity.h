// Identities of the records the input cards send. A program is known by its
// source slot, source channel, output channel and program id; a PID record
// by its kind, the same four fields and its PID id (an ES-ECM also by its
// own id); a program has one PCR. The same record sent again replaces the
// one held, and a database read back holds one record per identity.
//
// Everything here runs under CARD_STATE_LOCK.
#pragma once
#include "Common/types.h"
#include "TSprocess/tsp_db.h"

bool TSP_SameProgramIdentity(const Output_TSProgram& a, const Output_TSProgram& b);
bool TSP_SamePIDIdentity(const Output_TSPID& a, const Output_TSPID& b);

// The valid record of a database with the identity of rec, or TSP_INVALID_INDEX.
U16 TSP_FindHeldProgram(const Output_TSInfo* pst, const Output_TSProgram& rec);
U16 TSP_FindHeldPID(const Output_TSInfo* pst, const Output_TSPID& rec);

// The held record takes a record sent again: what the input card describes,
// while its links, its place in its lists and what the card derived from it
// (output PIDs and service id whose input values are unchanged, versions,
// descrambling, the operator's names) stay. True when anything changed.
bool TSP_ReplaceHeldProgram(Output_TSInfo* pst, U16 u16Held, Output_TSProgram rec);
bool TSP_ReplaceHeldPID(Output_TSInfo* pst, U16 u16Held, Output_TSPID rec);

// Every record held more than once (a database that earlier firmware stored
// with records sent again appended) is kept once: the first of each list,
// the PCR its program names; each copy dropped is logged. Returns how many.
U32 TSP_MergeRepeatedRecords(Output_TSInfo* pst);
